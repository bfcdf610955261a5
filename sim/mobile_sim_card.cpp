// Simulated mobile service: the SIM card's state, numbers, PIN and PUK.
#include "platform/mobile_client.h"

#include <stddef.h>
#include <string.h>

#include "common/text.h"
#include "sim/mobile_state.h"
#include "sim/sim_card.h"
#include "sim/sim_getter.h"
#include "sim/sim_lock.h"

using namespace simmobile;

namespace {

// SIM states reported by GetSimStatusForWebStatus.
enum { WEB_SIM_ABSENT = 0, WEB_SIM_READY = 1, WEB_SIM_PIN = 2, WEB_SIM_PUK = 3, WEB_SIM_BLOCKED = 4 };

// SIM operations share one frame: load, busy check, operate, persist.
template <typename Op>
int simOperation(int *code, Op op)
{
    if (code == NULL)
        return 0;
    return simLocked(0, [&] {
        Modem modem;
        SimCard card;
        if (modemLoad(&modem) != 0 || simCardLoad(&card) != 0)
            return 0;
        int busy = busyCode(&modem);
        if (busy != 0) {
            *code = busy;
            return 1;
        }
        *code = op(&card);
        return simCardSave(&card) == 0 ? 1 : 0;
    });
}

int webSimState(const SimCard &card)
{
    switch (card.phase) {
    case SIM_READY:
        return WEB_SIM_READY;
    case SIM_NEEDS_PIN:
        return WEB_SIM_PIN;
    case SIM_NEEDS_PUK:
        return WEB_SIM_PUK;
    case SIM_BLOCKED:
        return WEB_SIM_BLOCKED;
    default:
        return WEB_SIM_ABSENT;
    }
}

// The card's number or IMSI as the service hands it: 64 bytes, the text
// from the second on, "0" while the card is locked or has none.
int cardText(char *buffer, const char *(*text)(const SimCard &card))
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        SimCard card;
        if (buffer == NULL || simCardLoad(&card) != 0)
            return 0;
        memset(buffer, 0, 64);
        const char *value = text(card);
        copyText(buffer + 1, card.phase == SIM_READY && value[0] != '\0' ? value : "0", 63);
        return 1;
    });
}

}  // namespace

int GetSimStatusForWebStatus(int *state)
{
    return simGetField<SimCard>(SIM_SERVICE_MOBILE, state, simCardLoad, webSimState);
}

int GetSimNumber(char *buffer)
{
    return cardText(buffer, [](const SimCard &card) -> const char * { return card.number; });
}

int GetSimIMSI(char *buffer)
{
    return cardText(buffer, [](const SimCard &card) -> const char * { return card.imsi; });
}

int GetSimStatus(SimStatus *status, int, MobileCallback)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        SimCard card;
        if (status == NULL || simCardLoad(&card) != 0)
            return 0;
        status->cardState = simCardStateCode(&card);
        status->pinState = simCardPinStateCode(&card);
        return 1;
    });
}

int GetPinStatus(PinStatus *status, int, MobileCallback)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        SimCard card;
        if (status == NULL || simCardLoad(&card) != 0)
            return 0;
        status->pukRemainingTimes = card.pukAttempts;
        status->pinRemainingTimes = card.pinAttempts;
        return 1;
    });
}

int SetSimLock(SimLockRequest request, int *code, int, MobileCallback)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        request.pin[sizeof(request.pin) - 1] = '\0';
        return simOperation(code, [&](SimCard *card) { return simCardSetLock(card, request.enable == 1, request.pin); });
    });
}

int ChangePin(PinChangeRequest request, int *code, int, MobileCallback)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        request.pin[sizeof(request.pin) - 1] = '\0';
        request.newPin[sizeof(request.newPin) - 1] = '\0';
        return simOperation(code, [&](SimCard *card) { return simCardChangePin(card, request.pin, request.newPin); });
    });
}

int EnterPin(const char *pin, int *code, int, MobileCallback)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        if (pin == NULL)
            return 0;
        char text[SIM_CODE_TEXT];
        memset(text, 0, sizeof(text));
        memcpy(text, pin, strnlen(pin, sizeof(text) - 1));
        return simOperation(code, [&](SimCard *card) { return simCardEnterPin(card, text); });
    });
}

int EnterPuk(PukEntryRequest request, int *code, int, MobileCallback)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        request.puk[sizeof(request.puk) - 1] = '\0';
        request.newPin[sizeof(request.newPin) - 1] = '\0';
        return simOperation(code, [&](SimCard *card) { return simCardEnterPuk(card, request.puk, request.newPin); });
    });
}
