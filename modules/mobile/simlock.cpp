// "simLock": SIM PIN lock on and off, PIN change, PIN and PUK entry and the
// automatic unlock setting with the PIN that goes with it.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "modules/mobile/mobile_results.h"
#include "platform/android_log.h"
#include "platform/config_store.h"
#include "platform/mobile_client.h"
#include "server/handler.h"
#include "server/modules.h"
#include "server/utils.h"

namespace {

const char kTag[] = "SIM_HANDLER";

enum { SIM_OK = 0, SIM_FAILED = 1, SIM_DONE_18 = 2 };

enum { CODE_KIND_PIN = 1, CODE_KIND_PUK = 2 };

// Lives as long as the process, like the setting it mirrors (key 28).
int g_autoUnlock = 0;

struct SimState {
    int cardState;
    int pinState;
    int pinAttempts;
    int pukAttempts;
};

bool isPinCodeValid(const char *text, int kind)
{
    if (text == NULL)
        return false;
    size_t len = strlen(text);
    bool lengthOk = kind == CODE_KIND_PUK ? len == 8 : (len >= 4 && len <= 8);
    if (!lengthOk)
        return false;
    for (size_t i = 0; i < len; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return true;
}

bool isSimStateValid(int cardState, int pinState, int pinAttempts, int pukAttempts)
{
    return cardState >= 0 && cardState <= 2 && pinState >= 0 && pinState <= 5 && pinAttempts >= 0 &&
           pukAttempts >= 0;
}

// Text of a request member that must be a valid PIN or PUK, else null.
const char *codeMember(const cJSON *request, const char *key, int kind)
{
    const char *text = memberString(request, key);
    return isPinCodeValid(text, kind) ? text : NULL;
}

// Keeps key 29 equal to the card's PIN, so automatic unlock never spends a
// try on a stale one: the PIN in request's member key (none when key is
// null). The PIN never reaches a log line.
int storeValidPin(const cJSON *request, const char *key)
{
    const char *text = key != NULL ? memberString(request, key) : NULL;
    if (text == NULL)
        return 0;
    char pin[SIM_CODE_TEXT];
    memset(pin, 0, sizeof(pin));
    copyText(pin, text, sizeof(pin));
    return set_config_data_permanent(CFG_SIM_PIN, pin, (int)strlen(pin));
}

int saveUnlockSettings(const cJSON *request, const char *validPinKey)
{
    const cJSON *autoUnlock = cJSON_GetObjectItem(request, "autoUnlock");
    if (autoUnlock != NULL) {
        if (cJSON_IsTrue(autoUnlock))
            g_autoUnlock = 1;
        else if (cJSON_IsFalse(autoUnlock))
            g_autoUnlock = 0;
        char flag[16];
        memset(flag, 0, sizeof(flag));
        snprintf(flag, sizeof(flag), "%d", g_autoUnlock);
        if (set_config_data_permanent(CFG_SIM_AUTO_UNLOCK, flag, (int)strlen(flag)) != 0)
            return -1;
    }
    return storeValidPin(request, validPinKey);
}

void addState(cJSON *response, const SimState &s)
{
    cJSON_AddItemToObject(response, "cardState", cJSON_CreateNumber(s.cardState));
    cJSON_AddItemToObject(response, "pinState", cJSON_CreateNumber(s.pinState));
    cJSON_AddItemToObject(response, "pinRemainingTimes", cJSON_CreateNumber(s.pinAttempts));
    cJSON_AddItemToObject(response, "pukRemainingTimes", cJSON_CreateNumber(s.pukAttempts));
    cJSON_AddItemToObject(response, "autoUnlock", cJSON_CreateBool(g_autoUnlock == 1));
}

// The mobile service's PIN calls.
enum PinService { SERVICE_SET_LOCK, SERVICE_CHANGE_PIN, SERVICE_ENTER_PIN, SERVICE_ENTER_PUK };

// A PIN operation: the PIN state the card must be in, its service call and,
// for the lock, whether it is switched on.
struct PinOperation {
    int requiredPinState;
    PinService service;
    uint8_t enable;
};

const PinOperation kLockOn = {SIM_PIN_LOCK_OFF, SERVICE_SET_LOCK, 1};
const PinOperation kLockOff = {SIM_PIN_LOCK_ON, SERVICE_SET_LOCK, 0};
const PinOperation kChangePin = {SIM_PIN_LOCK_ON, SERVICE_CHANGE_PIN, 0};
const PinOperation kEnterPin = {SIM_PIN_REQUIRED, SERVICE_ENTER_PIN, 0};
const PinOperation kEnterPuk = {SIM_PUK_REQUIRED, SERVICE_ENTER_PUK, 0};

// Changing the PIN and entering the PUK also set "newPin", which then is
// the card's PIN.
bool setsNewPin(const PinOperation &op)
{
    return op.service == SERVICE_CHANGE_PIN || op.service == SERVICE_ENTER_PUK;
}

// Checks the members and makes the service call; false when the request is
// malformed or the call failed.
bool callService(const cJSON *request, const PinOperation &op, int *code)
{
    const char *first = op.service == SERVICE_ENTER_PUK ? codeMember(request, "puk", CODE_KIND_PUK)
                                                        : codeMember(request, "pin", CODE_KIND_PIN);
    if (first == NULL)
        return false;
    const char *newPin = NULL;
    if (setsNewPin(op)) {
        newPin = codeMember(request, "newPin", CODE_KIND_PIN);
        if (newPin == NULL)
            return false;
    }
    switch (op.service) {
    case SERVICE_SET_LOCK: {
        SimLockRequest r;
        memset(&r, 0, sizeof(r));
        r.enable = op.enable;
        copyText(r.pin, first, sizeof(r.pin));
        return SetSimLock(r, code, -1, NULL) != 0;
    }
    case SERVICE_CHANGE_PIN: {
        PinChangeRequest r;
        memset(&r, 0, sizeof(r));
        copyText(r.pin, first, sizeof(r.pin));
        copyText(r.newPin, newPin, sizeof(r.newPin));
        return ChangePin(r, code, -1, NULL) != 0;
    }
    case SERVICE_ENTER_PIN: {
        char pin[SIM_CODE_TEXT];
        memset(pin, 0, sizeof(pin));
        copyText(pin, first, sizeof(pin));
        return EnterPin(pin, code, -1, NULL) != 0;
    }
    default: {
        PukEntryRequest r;
        memset(&r, 0, sizeof(r));
        copyText(r.puk, first, sizeof(r.puk));
        copyText(r.newPin, newPin, sizeof(r.newPin));
        return EnterPuk(r, code, -1, NULL) != 0;
    }
    }
}

int simOperation(const cJSON *request, cJSON *response, const PinOperation &op, const SimState &stored)
{
    if (stored.cardState != SIM_CARD_PRESENT || stored.pinState != op.requiredPinState)
        return SIM_FAILED;
    int code = MOBILE_CODE_OK;
    if (!callService(request, op, &code) || code == MOBILE_CODE_FAILED)
        return SIM_FAILED;
    int busy = mobileBusyResult(code, kTag);
    if (busy >= 0)
        return busy;
    switch (code) {
    case MOBILE_CODE_OK:
    case MOBILE_CODE_OK_2:
    case MOBILE_CODE_SIM_OK_18:
        __android_log_print(ANDROID_LOG_INFO, kTag, "Operation succeed.");
        break;
    default:
        __android_log_print(ANDROID_LOG_INFO, kTag, "Unknown error.");
        return SIM_FAILED;
    }
    SimStatus sim;
    PinStatus pins;
    memset(&sim, 0, sizeof(sim));
    memset(&pins, 0, sizeof(pins));
    if (!GetSimStatus(&sim, -1, NULL) || !GetPinStatus(&pins, -1, NULL) ||
        !isSimStateValid(sim.cardState, sim.pinState, pins.pinRemainingTimes, pins.pukRemainingTimes))
        return SIM_FAILED;
    int result = SIM_OK;
    const char *validPinKey = setsNewPin(op) ? "newPin" : "pin";
    if (code == MOBILE_CODE_OK) {
        saveUnlockSettings(request, validPinKey);
    } else {
        // Codes 2 and 18 also report a done operation: the card's PIN may
        // have changed, and automatic unlock must not keep the old one.
        storeValidPin(request, validPinKey);
        result = code == MOBILE_CODE_SIM_OK_18 ? SIM_DONE_18 : SIM_OK;
    }
    SimState fresh = {sim.cardState, sim.pinState, pins.pinRemainingTimes, pins.pukRemainingTimes};
    addState(response, fresh);
    return result;
}

// The stored SIM state, read for the request being answered.
SimState g_stored;

const int kReportCode = 0;

int readSimState(cJSON *, int code)
{
    memset(&g_stored, 0, sizeof(g_stored));
    if (!configInt(CFG_SIM_CARD_STATE, &g_stored.cardState) ||
        !configInt(CFG_SIM_PIN_STATE, &g_stored.pinState) ||
        !configInt(CFG_SIM_PIN_ATTEMPTS, &g_stored.pinAttempts) ||
        !configInt(CFG_SIM_PUK_ATTEMPTS, &g_stored.pukAttempts)) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "simLockHandler: Get cardState or pinState fail!.\n");
        return SIM_FAILED;
    }
    // The flag is reported and may be rewritten by every action: take the
    // stored setting first, not the process's initial 0.
    int stored28 = 0;
    if (code != kReportCode && configInt(CFG_SIM_AUTO_UNLOCK, &stored28))
        g_autoUnlock = stored28;
    return SIM_OK;
}

int report(cJSON *, cJSON *response)
{
    if (!configInt(CFG_SIM_AUTO_UNLOCK, &g_autoUnlock))
        return SIM_FAILED;
    if (!isSimStateValid(g_stored.cardState, g_stored.pinState, g_stored.pinAttempts, g_stored.pukAttempts))
        return SIM_FAILED;
    addState(response, g_stored);
    return SIM_OK;
}

int saveAutoUnlock(cJSON *request, cJSON *response)
{
    if (g_stored.cardState != SIM_CARD_PRESENT)
        return SIM_FAILED;
    saveUnlockSettings(request, NULL);
    addState(response, g_stored);
    return SIM_OK;
}

template <const PinOperation &op>
int pinAction(cJSON *request, cJSON *response)
{
    return simOperation(request, response, op, g_stored);
}

const ModuleAction kSimLockActions[] = {
    {kReportCode, report},
    {1, pinAction<kLockOn>},
    {2, pinAction<kLockOff>},
    {3, pinAction<kChangePin>},
    {4, pinAction<kEnterPin>},
    {5, pinAction<kEnterPuk>},
    {6, saveAutoUnlock},
};

}  // namespace

int simLockHandler(cJSON *request, cJSON *response)
{
    int result =
        runModule(request, response, {kSimLockActions, ACTION_COUNT(kSimLockActions), readSimState, NULL, false, false});
    ReleaseMobileInstance();
    return result;
}
