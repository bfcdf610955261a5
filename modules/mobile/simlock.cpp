// "simLock": SIM PIN lock on and off, PIN change, PIN and PUK entry and the
// automatic unlock setting with the PIN that goes with it.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "common/text.h"
#include "modules/mobile/mobile_results.h"
#include "platform/android_log.h"
#include "platform/config_store.h"
#include "platform/mobile_client.h"
#include "server/handler.h"

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

bool isSimStateValid(int cardState, int pinState, int pinAttempts, int pukAttempts)
{
    return cardState >= 0 && cardState <= 2 && pinState >= 0 && pinState <= 5 && pinAttempts >= 0 &&
           pukAttempts >= 0;
}

// What a successful operation stores for automatic unlock: the PIN that is
// now the card's (none for action 6) and the flag (-1 when the request does
// not carry "autoUnlock"). A member of another type keeps the flag but is
// still stored (its member reads it as the current flag).
struct UnlockSettings {
    const char *pin;
    int flag;
};

UnlockSettings requestedUnlock(const Request &request, const char *validPinKey)
{
    UnlockSettings wanted = {validPinKey != NULL ? request.text(validPinKey) : NULL, -1};
    if (request.has("autoUnlock"))
        wanted.flag = request.number("autoUnlock");
    return wanted;
}

// Keeps key 29 equal to the card's PIN, so automatic unlock never spends a
// try on a stale one. The PIN never reaches a log line.
int storePin(const char *text)
{
    if (text == NULL)
        return 0;
    char pin[SIM_CODE_TEXT];
    memset(pin, 0, sizeof(pin));
    copyText(pin, text, sizeof(pin));
    return set_config_data_permanent(CFG_SIM_PIN, pin, (int)strlen(pin));
}

int storeFlag(int flag)
{
    char text[16];
    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text), "%d", flag);
    return set_config_data_permanent(CFG_SIM_AUTO_UNLOCK, text, (int)strlen(text));
}

// The PIN goes first: a power cut between the two writes then never leaves
// automatic unlock switched on with a PIN the card does not take. When the
// PIN cannot be stored, the flag is not switched on.
int saveUnlockSettings(const UnlockSettings &wanted)
{
    int pinStored = storePin(wanted.pin);
    if (wanted.flag < 0)
        return pinStored;
    g_autoUnlock = wanted.flag;
    if (pinStored != 0 && wanted.flag == 1)
        return -1;
    return storeFlag(wanted.flag) == 0 && pinStored == 0 ? 0 : -1;
}

// Keys 28 and 29 as they were before an operation stored them ahead of its
// call, to be put back when the card did not take it.
struct StoredUnlock {
    bool hasFlag;
    char flag[SIM_CODE_TEXT];
    char pin[SIM_CODE_TEXT];  // empty when the key held nothing
    int processFlag;
};

void rememberUnlock(StoredUnlock *old)
{
    memset(old, 0, sizeof(*old));
    old->hasFlag = get_config_data(CFG_SIM_AUTO_UNLOCK, old->flag, (int)sizeof(old->flag)) == 0;
    if (get_config_data(CFG_SIM_PIN, old->pin, (int)sizeof(old->pin)) != 0)
        memset(old->pin, 0, sizeof(old->pin));
    old->processFlag = g_autoUnlock;
}

// Puts the flag back, and the PIN too when restorePin: a PIN the card
// refused never stays stored. Only keys that changed are written.
void restoreUnlock(const StoredUnlock &old, const UnlockSettings &wanted, bool restorePin)
{
    g_autoUnlock = old.processFlag;
    if (wanted.flag >= 0 && old.hasFlag) {
        char now[SIM_CODE_TEXT];
        memset(now, 0, sizeof(now));
        if (get_config_data(CFG_SIM_AUTO_UNLOCK, now, (int)sizeof(now)) != 0 || strcmp(now, old.flag) != 0)
            set_config_data_permanent(CFG_SIM_AUTO_UNLOCK, old.flag, (int)strlen(old.flag));
    }
    // A key that held nothing goes back to an empty PIN, which automatic
    // unlock never tries.
    if (restorePin && wanted.pin != NULL && strcmp(wanted.pin, old.pin) != 0)
        set_config_data_permanent(CFG_SIM_PIN, old.pin, (int)strlen(old.pin));
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

// A PIN operation: the PIN state the card must be in, its service call,
// for the lock whether it is switched on, and whether the automatic unlock
// settings are stored before the call. They are for the operations that
// leave a locked card asking for a PIN it did not ask for before (lock on,
// PUK entry): a power cut right after the card took the operation must not
// find a stale PIN or automatic unlock still off. Until the call succeeds
// the card does not ask for that PIN at power-on, so the early settings
// are harmless, and a refused call puts the old ones back.
struct PinOperation {
    int requiredPinState;
    PinService service;
    uint8_t enable;
    bool storesFirst;
};

const PinOperation kLockOn = {SIM_PIN_LOCK_OFF, SERVICE_SET_LOCK, 1, true};
const PinOperation kLockOff = {SIM_PIN_LOCK_ON, SERVICE_SET_LOCK, 0, false};
const PinOperation kChangePin = {SIM_PIN_LOCK_ON, SERVICE_CHANGE_PIN, 0, false};
const PinOperation kEnterPin = {SIM_PIN_REQUIRED, SERVICE_ENTER_PIN, 0, false};
const PinOperation kEnterPuk = {SIM_PUK_REQUIRED, SERVICE_ENTER_PUK, 0, true};

// Changing the PIN and entering the PUK also set "newPin", which then is
// the card's PIN.
bool setsNewPin(const PinOperation &op)
{
    return op.service == SERVICE_CHANGE_PIN || op.service == SERVICE_ENTER_PUK;
}

// Makes the service call with checked codes; false when it failed.
bool callService(const PinOperation &op, const char *first, const char *newPin, int *code)
{
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

bool doneCode(int code)
{
    return code == MOBILE_CODE_OK || code == MOBILE_CODE_OK_2 || code == MOBILE_CODE_SIM_OK_18;
}

int simOperation(const Request &request, cJSON *response, const PinOperation &op, const SimState &stored)
{
    if (stored.cardState != SIM_CARD_PRESENT || stored.pinState != op.requiredPinState)
        return SIM_FAILED;
    const char *first = request.text(op.service == SERVICE_ENTER_PUK ? "puk" : "pin");
    const char *newPin = setsNewPin(op) ? request.text("newPin") : NULL;
    UnlockSettings wanted = requestedUnlock(request, setsNewPin(op) ? "newPin" : "pin");
    StoredUnlock old;
    if (op.storesFirst) {
        rememberUnlock(&old);
        saveUnlockSettings(wanted);
    }
    int code = MOBILE_CODE_OK;
    bool called = callService(op, first, newPin, &code);
    if (!called || !doneCode(code)) {
        if (op.storesFirst)
            restoreUnlock(old, wanted, true);
    } else if (!op.storesFirst) {
        // Right after the card took it: the shortest time in which a cut
        // leaves automatic unlock with a PIN the card no longer takes.
        // Codes 2 and 18 also report a done operation, so the PIN is
        // stored for them too.
        storePin(wanted.pin);
    }
    if (!called || code == MOBILE_CODE_FAILED)
        return SIM_FAILED;
    int busy = mobileBusyResult(code, kTag);
    if (busy >= 0)
        return busy;
    if (!doneCode(code)) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "Unknown error.");
        return SIM_FAILED;
    }
    __android_log_print(ANDROID_LOG_INFO, kTag, "Operation succeed.");
    SimStatus sim;
    PinStatus pins;
    memset(&sim, 0, sizeof(sim));
    memset(&pins, 0, sizeof(pins));
    if (!GetSimStatus(&sim, -1, NULL) || !GetPinStatus(&pins, -1, NULL) ||
        !isSimStateValid(sim.cardState, sim.pinState, pins.pinRemainingTimes, pins.pukRemainingTimes))
        return SIM_FAILED;
    int result = SIM_OK;
    if (code == MOBILE_CODE_OK) {
        if (!op.storesFirst && wanted.flag >= 0) {
            UnlockSettings flagOnly = {NULL, wanted.flag};
            saveUnlockSettings(flagOnly);
        }
    } else {
        // Codes 2 and 18 store no automatic unlock setting.
        if (op.storesFirst)
            restoreUnlock(old, wanted, false);
        result = code == MOBILE_CODE_SIM_OK_18 ? SIM_DONE_18 : SIM_OK;
    }
    SimState fresh = {sim.cardState, sim.pinState, pins.pinRemainingTimes, pins.pukRemainingTimes};
    addState(response, fresh);
    return result;
}

const int kReportCode = 0;

// The stored SIM state, read for the request being answered.
int readSimState(cJSON *, int code, Prepared *prepared)
{
    SimState &stored = *prepared->make<SimState>();
    if (!configInt(CFG_SIM_CARD_STATE, &stored.cardState) ||
        !configInt(CFG_SIM_PIN_STATE, &stored.pinState) ||
        !configInt(CFG_SIM_PIN_ATTEMPTS, &stored.pinAttempts) ||
        !configInt(CFG_SIM_PUK_ATTEMPTS, &stored.pukAttempts)) {
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

int report(const Request &request, cJSON *response)
{
    const SimState &stored = request.preparedAs<SimState>();
    if (!configInt(CFG_SIM_AUTO_UNLOCK, &g_autoUnlock))
        return SIM_FAILED;
    if (!isSimStateValid(stored.cardState, stored.pinState, stored.pinAttempts, stored.pukAttempts))
        return SIM_FAILED;
    addState(response, stored);
    return SIM_OK;
}

int saveAutoUnlock(const Request &request, cJSON *response)
{
    const SimState &stored = request.preparedAs<SimState>();
    if (stored.cardState != SIM_CARD_PRESENT)
        return SIM_FAILED;
    saveUnlockSettings(requestedUnlock(request, NULL));
    addState(response, stored);
    return SIM_OK;
}

template <const PinOperation &op>
int pinAction(const Request &request, cJSON *response)
{
    return simOperation(request, response, op, request.preparedAs<SimState>());
}

// Every request ends with the mobile service's instance released.
void releaseMobile(const ModuleAction *, const Started &)
{
    ReleaseMobileInstance();
}

// A PIN is 4 to 8 digits, a PUK 8; a malformed one never reaches the card.
constexpr Member pinCode(const char *name, int least, int most, const char *description)
{
    return textOrAbsent(name, least, most, TEXT_DIGITS, description).required().otherwise(POLICY_REFUSE);
}

constexpr Member kAutoUnlock = booleanOrAbsent("autoUnlock", KAL_TEXT("unlock the card at start with the PIN now valid; stored after success"))
                                   .otherwise(POLICY_CURRENT);
constexpr Member kPin = pinCode("pin", 4, 8, KAL_TEXT("the card's PIN"));
constexpr Member kNewPin = pinCode("newPin", 4, 8, KAL_TEXT("the new PIN"));
const Member kPinOnly[] = {kPin, kAutoUnlock};
const Member kPinChange[] = {kPin, kNewPin, kAutoUnlock};
const Member kPukEntry[] = {pinCode("puk", 8, 8, KAL_TEXT("the card's PUK")), kNewPin, kAutoUnlock};
const Member kUnlockOnly[] = {kAutoUnlock};

// Every action's reply: the card's state.
constexpr const char *kCardReply = KAL_TEXT("cardState:integer pinState:integer pinRemainingTimes:integer pukRemainingTimes:integer autoUnlock:boolean");

// Every action answers 1 alone when the stored state cannot be read.
#define SIM_FAILED_TEXT KAL_TEXT("failed: the stored state unreadable or invalid, the card not in the state needed, or a malformed or wrong code")
#define SIM_BUSY_RESULTS                                                                                      \
    result(MOBILE_RESULT_BUSY_SEARCHING, KAL_TEXT("busySearching: the modem is searching"))                  \
        .result(MOBILE_RESULT_BUSY_CANCELLING, KAL_TEXT("busyCancelling: the modem is cancelling a search")) \
        .result(MOBILE_RESULT_BUSY_REGISTERING, KAL_TEXT("busyRegistering: the modem is registering"))       \
        .result(MOBILE_RESULT_BUSY_SMS, KAL_TEXT("busySms: an SMS is being sent"))

// What every PIN operation answers.
constexpr ModuleAction pinResults(ModuleAction row)
{
    return row.result(SIM_OK, KAL_TEXT("ok: done; the new state"))
        .result(SIM_DONE_18, KAL_TEXT("doneAlternative: the card reported its alternative success code; the new state"), REPLY_WHOLE)
        .result(SIM_FAILED, SIM_FAILED_TEXT)
        .SIM_BUSY_RESULTS;
}

const ModuleAction kSimLockActions[] = {
    action(kReportCode, report, KAL_TEXT("report the card and PIN state"), kCardReply)
        .result(SIM_OK, KAL_TEXT("ok: the state"))
        .result(SIM_FAILED, KAL_TEXT("failed: the stored state or the automatic unlock flag unreadable or invalid")),
    pinResults(action(1, pinAction<kLockOn>, KAL_TEXT("PIN lock on (PIN state 3)"), kCardReply, kPinOnly)),
    pinResults(action(2, pinAction<kLockOff>, KAL_TEXT("PIN lock off (PIN state 2)"), kCardReply, kPinOnly)),
    pinResults(action(3, pinAction<kChangePin>, KAL_TEXT("change the PIN (PIN state 2)"), kCardReply, kPinChange)),
    pinResults(action(4, pinAction<kEnterPin>, KAL_TEXT("enter the PIN (PIN state 1)"), kCardReply, kPinOnly)),
    pinResults(action(5, pinAction<kEnterPuk>, KAL_TEXT("enter the PUK and a new PIN (PIN state 4)"), kCardReply, kPukEntry)),
    action(6, saveAutoUnlock, KAL_TEXT("report the state and store \"autoUnlock\" (card present)"), kCardReply, kUnlockOnly)
        .result(SIM_OK, KAL_TEXT("ok: stored; the state"))
        .result(SIM_FAILED, KAL_TEXT("failed: the stored state unreadable, or no card present")),
};

}  // namespace

KAL_MODULE(simLock) = {"simLock", actionsOf(kSimLockActions).preparedBy(readSimState).finishedBy(releaseMobile).currentFrom(&g_autoUnlock), NULL};
