#include "sim/sim_card.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "common/diagnostics.h"
#include "common/text.h"
#include "platform/config_store.h"
#include "sim/sim_json.h"
#include "sim/sim_state_files.h"

namespace {

const char kSimFile[] = SIM_CARD_FILE;

struct PhaseName {
    SimCardPhase phase;
    const char *name;
};

const PhaseName kPhaseNames[] = {
    {SIM_READY, "ready"},         {SIM_NEEDS_PIN, "pin_required"}, {SIM_NEEDS_PUK, "puk_required"},
    {SIM_ABSENT, "absent"},       {SIM_BLOCKED, "blocked"},
};

bool isDigits(const char *text, size_t minLen, size_t maxLen)
{
    if (text == NULL)
        return false;
    size_t len = strnlen(text, SIM_CODE_TEXT);
    if (len < minLen || len > maxLen)
        return false;
    for (size_t i = 0; i < len; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return true;
}

bool sameCode(const char *given, const char *stored)
{
    return given != NULL && strncmp(given, stored, SIM_CODE_TEXT) == 0;
}

// A wrong PIN spends a try; the last one leaves only the PUK.
void pinFailed(SimCard *card)
{
    if (card->pinAttempts > 0)
        card->pinAttempts--;
    if (card->pinAttempts == 0)
        card->phase = SIM_NEEDS_PUK;
}

void publish(int key, int value)
{
    char text[16];
    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text), "%d", value);
    set_config_data_permanent(key, text, (int)strlen(text));
}

}  // namespace

// The members after "state", which has words of its own.
const SimField kCardFields[] = {
    {"pinLock", SIM_FIELD_BOOL, offsetof(SimCard, lockOn), 0},
    {"pin", SIM_FIELD_TEXT, offsetof(SimCard, pin), sizeof(SimCard::pin)},
    {"puk", SIM_FIELD_TEXT, offsetof(SimCard, puk), sizeof(SimCard::puk)},
    {"pinAttempts", SIM_FIELD_INT, offsetof(SimCard, pinAttempts), 0},
    {"pukAttempts", SIM_FIELD_INT, offsetof(SimCard, pukAttempts), 0},
    {"successCode", SIM_FIELD_INT, offsetof(SimCard, successCode), 0},
    {"number", SIM_FIELD_TEXT, offsetof(SimCard, number), sizeof(SimCard::number)},
    {"imsi", SIM_FIELD_TEXT, offsetof(SimCard, imsi), sizeof(SimCard::imsi)},
};

void simCardFactory(SimCard *card)
{
    memset(card, 0, sizeof(*card));
    card->phase = SIM_READY;
    card->lockOn = false;
    copyText(card->pin, "1234", sizeof(card->pin));
    copyText(card->puk, "12345678", sizeof(card->puk));
    card->pinAttempts = SIM_PIN_TRIES;
    card->pukAttempts = SIM_PUK_TRIES;
    copyText(card->number, "+10015550100", sizeof(card->number));
    copyText(card->imsi, "001010123456789", sizeof(card->imsi));
}

int simCardStateCode(const SimCard *card)
{
    switch (card->phase) {
    case SIM_ABSENT:
        return SIM_CARD_ABSENT;
    case SIM_BLOCKED:
        return SIM_CARD_ERROR;
    default:
        return SIM_CARD_PRESENT;
    }
}

int simCardPinStateCode(const SimCard *card)
{
    switch (card->phase) {
    case SIM_READY:
        return card->lockOn ? SIM_PIN_LOCK_ON : SIM_PIN_LOCK_OFF;
    case SIM_NEEDS_PIN:
        return SIM_PIN_REQUIRED;
    case SIM_NEEDS_PUK:
        return SIM_PUK_REQUIRED;
    case SIM_BLOCKED:
        return SIM_PIN_BLOCKED;
    default:
        return SIM_PIN_UNKNOWN;
    }
}

int simCardSetLock(SimCard *card, bool enable, const char *pin)
{
    if (card->phase != SIM_READY || card->lockOn == enable || !isDigits(pin, 4, 8))
        return MOBILE_CODE_FAILED;
    if (!sameCode(pin, card->pin)) {
        pinFailed(card);
        return MOBILE_CODE_FAILED;
    }
    card->lockOn = enable;
    card->pinAttempts = SIM_PIN_TRIES;
    return card->successCode;
}

int simCardChangePin(SimCard *card, const char *pin, const char *newPin)
{
    if (card->phase != SIM_READY || !card->lockOn || !isDigits(pin, 4, 8) || !isDigits(newPin, 4, 8))
        return MOBILE_CODE_FAILED;
    if (!sameCode(pin, card->pin)) {
        pinFailed(card);
        return MOBILE_CODE_FAILED;
    }
    copyText(card->pin, newPin, sizeof(card->pin));
    card->pinAttempts = SIM_PIN_TRIES;
    return card->successCode;
}

int simCardEnterPin(SimCard *card, const char *pin)
{
    if (card->phase != SIM_NEEDS_PIN || !isDigits(pin, 4, 8))
        return MOBILE_CODE_FAILED;
    if (!sameCode(pin, card->pin)) {
        pinFailed(card);
        return MOBILE_CODE_FAILED;
    }
    card->phase = SIM_READY;
    card->pinAttempts = SIM_PIN_TRIES;
    return card->successCode;
}

int simCardEnterPuk(SimCard *card, const char *puk, const char *newPin)
{
    if (card->phase != SIM_NEEDS_PUK || !isDigits(puk, 8, 8) || !isDigits(newPin, 4, 8))
        return MOBILE_CODE_FAILED;
    if (!sameCode(puk, card->puk)) {
        if (card->pukAttempts > 0)
            card->pukAttempts--;
        if (card->pukAttempts == 0)
            card->phase = SIM_BLOCKED;
        return MOBILE_CODE_FAILED;
    }
    copyText(card->pin, newPin, sizeof(card->pin));
    card->phase = SIM_READY;
    card->lockOn = true;  // a card unblocked by PUK keeps asking for its PIN
    card->pinAttempts = SIM_PIN_TRIES;
    card->pukAttempts = SIM_PUK_TRIES;
    return card->successCode;
}

void simCardPowerOn(SimCard *card, const char *autoPin)
{
    if (card->phase == SIM_READY && card->lockOn)
        card->phase = SIM_NEEDS_PIN;
    if (card->phase == SIM_NEEDS_PIN && autoPin != NULL && autoPin[0] != '\0')
        simCardEnterPin(card, autoPin);
}

int simCardLoad(SimCard *card)
{
    simCardFactory(card);
    bool missing = false;
    cJSON *json = simLoadJson(kSimFile, &missing);
    if (json == NULL)
        return missing ? 0 : -1;
    char phase[32];
    simJsonText(json, "state", phase, sizeof(phase), "ready");
    bool known = false;
    for (const PhaseName &p : kPhaseNames) {
        if (strcmp(p.name, phase) == 0) {
            card->phase = p.phase;
            known = true;
        }
    }
    if (!known)
        diagPrintf("simulated device: unknown SIM state \"%s\" in sim/%s; taking \"ready\"\n", phase, kSimFile);
    simJsonReadFields(json, SIM_FIELDS(kCardFields), card);
    cJSON_Delete(json);
    if (card->pinAttempts < 0 || card->pinAttempts > SIM_PIN_TRIES)
        card->pinAttempts = SIM_PIN_TRIES;
    if (card->pukAttempts < 0 || card->pukAttempts > SIM_PUK_TRIES)
        card->pukAttempts = SIM_PUK_TRIES;
    if (card->successCode != MOBILE_CODE_OK_2 && card->successCode != MOBILE_CODE_SIM_OK_18)
        card->successCode = MOBILE_CODE_OK;
    return 0;
}

int simCardSave(const SimCard *card)
{
    cJSON *json = cJSON_CreateObject();
    if (json == NULL)
        return -1;
    const char *phase = "ready";
    for (const PhaseName &p : kPhaseNames) {
        if (p.phase == card->phase)
            phase = p.name;
    }
    cJSON_AddStringToObject(json, "state", phase);
    simJsonAddFields(json, SIM_FIELDS(kCardFields), card);
    int rc = simSaveJson(kSimFile, json, 0600);
    cJSON_Delete(json);
    publish(CFG_SIM_CARD_STATE, simCardStateCode(card));
    publish(CFG_SIM_PIN_STATE, simCardPinStateCode(card));
    publish(CFG_SIM_PIN_ATTEMPTS, card->pinAttempts);
    publish(CFG_SIM_PUK_ATTEMPTS, card->pukAttempts);
    return rc;
}
