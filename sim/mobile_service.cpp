// Simulated mobile service: modem settings, registration and the operator
// scan; its state lives in mobile_state.cpp, the card's calls in
// mobile_sim_card.cpp and the profiles' in mobile_profiles.cpp.
#include "platform/mobile_client.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "common/text.h"
#include "platform/config_store.h"
#include "sim/mobile_state.h"
#include "sim/sim_card.h"
#include "sim/sim_device.h"
#include "sim/sim_files.h"
#include "sim/sim_getter.h"
#include "sim/sim_lock.h"

using namespace simmobile;

namespace {

struct Radio {
    Modem modem;
    SimCard card;
};

int loadRadio(Radio *r)
{
    return modemLoad(&r->modem) != 0 || simCardLoad(&r->card) != 0 ? -1 : 0;
}

// Loads the modem and the card and answers what value makes of them.
template <typename T, typename Value>
int radioReading(T *out, Value value)
{
    return simGetField<Radio>(SIM_SERVICE_MOBILE, out, loadRadio, [&](const Radio &r) { return value(r.modem, r.card); });
}

}  // namespace

int GetAllStatus(ModemStatus *status)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        if (status == NULL)
            return 0;
        Snapshot s;
        if (loadAll(&s) != 0)
            return 0;
        memset(status, 0, sizeof(*status));
        status->dataSwitchStatus = s.modem.dataSwitch;
        status->roamingEnabled = s.modem.roamingSwitch;
        status->connectStatus = connectState(&s);
        status->networkPreferredMode = s.modem.preferredMode;
        status->networkSelectionMode = s.modem.selectionMode;
        status->statusWord6 = 0;
        memcpy(status->profiles, s.profiles.profiles, sizeof(status->profiles));
        status->defaultProfile = s.profiles.defaultCount;
        status->profileCount = s.profiles.count;
        status->activeProfile = s.profiles.activeProfile;
        return 1;
    });
}

int SetAllConfig(const ModemConfig *config, int *code)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        if (config == NULL || code == NULL)
            return 0;
        return simLocked(0, [&] {
            Snapshot s;
            if (loadAll(&s) != 0)
                return 0;
            bool any =
                config->dataSwitchValid || config->roamingValid || config->profileValid || config->preferredModeValid;
            if (any && !simReady(&s.card)) {
                *code = MOBILE_CODE_REFUSED;  // the modem takes no settings without an unlocked card
                return 1;
            }
            int slot = -1;
            if (config->profileValid) {
                // Bounded first, so that the slot arithmetic cannot overflow.
                bool indexValid = config->profileIndex >= 0 && config->profileIndex < MOBILE_MAX_PROFILES;
                slot = !indexValid ? -1
                       : config->profileIsDefault ? config->profileIndex
                                                  : s.profiles.defaultCount + config->profileIndex;
                bool inRange =
                    indexValid && slot < s.profiles.count &&
                    (config->profileIsDefault ? slot < s.profiles.defaultCount : slot >= s.profiles.defaultCount);
                if (!inRange || !validProfile(&config->profile)) {
                    *code = MOBILE_CODE_FAILED;
                    return 1;
                }
            }
            if ((config->dataSwitchValid && (config->dataSwitch < 0 || config->dataSwitch > 1)) ||
                (config->roamingValid && (config->roaming < 0 || config->roaming > 1)) ||
                (config->preferredModeValid && (config->preferredMode < 0 || config->preferredMode > 3))) {
                *code = MOBILE_CODE_FAILED;
                return 1;
            }
            if (config->dataSwitchValid)
                s.modem.dataSwitch = config->dataSwitch;
            if (config->roamingValid)
                s.modem.roamingSwitch = config->roaming;
            if (config->preferredModeValid)
                s.modem.preferredMode = config->preferredMode;
            if (slot >= 0) {
                // Default profiles come from the carrier: selecting one keeps its settings.
                if (!config->profileIsDefault)
                    storeProfile(&s.profiles.profiles[slot], &config->profile);
                s.profiles.activeProfile = slot;
            }
            int rc = modemSave(&s.modem);
            if (rc == 0 && slot >= 0)
                rc = profilesSave(&s.profiles);
            *code = rc == 0 ? MOBILE_CODE_OK : MOBILE_CODE_FAILED;
            return 1;
        });
    });
}

int GetConnState(int *state)
{
    return simGetField<Snapshot>(SIM_SERVICE_MOBILE, state, loadAll, [](const Snapshot &s) { return connectState(&s); });
}

int GetNetSelStat(int *state)
{
    return simGetField<Modem>(SIM_SERVICE_MOBILE, state, modemLoad, [](const Modem &m) { return m.searchState; });
}

int GetCardType(int *type)
{
    return radioReading(type, [](const Modem &m, const SimCard &card) {
        return card.phase == SIM_ABSENT ? 0 : m.cardType;
    });
}

int GetRegStat(int *state)
{
    return radioReading(state, [](const Modem &m, const SimCard &card) {
        return isRegistered(&m, &card) ? 1 : 0;
    });
}

int GetNetType(int *type)
{
    return radioReading(type, [](const Modem &m, const SimCard &card) {
        return isRegistered(&m, &card) ? m.networkType : 0;
    });
}

int GetRoamStat(int *state)
{
    return radioReading(state, [](const Modem &m, const SimCard &card) {
        return isRegistered(&m, &card) && m.roamingNetwork ? 1 : 0;
    });
}

int GetRoamSwitch(int *enabled)
{
    return simGetField<Modem>(SIM_SERVICE_MOBILE, enabled, modemLoad, [](const Modem &m) { return m.roamingSwitch; });
}

int GetSigLevel(int *level)
{
    return radioReading(level, [](const Modem &m, const SimCard &card) {
        return isRegistered(&m, &card) ? m.signalLevel : 0;
    });
}

int GetCallFailReason(unsigned int *reason)
{
    return simGetField<Modem>(SIM_SERVICE_MOBILE, reason, modemLoad, [](const Modem &m) { return m.callFailReason; });
}

int GetAvailableNet(AvailableNetList *list)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        return simLocked(0, [&] {
            Modem m;
            if (list == NULL || modemLoad(&m) != 0)
                return 0;
            memset(list, 0, sizeof(*list));
            if (busyCode(&m) == MOBILE_CODE_BUSY_SMS) {
                list->status = MOBILE_CODE_LIST_SMS_SENDING;
                return 1;
            }
            // The simulated scan finishes at once: the next status poll sees the result.
            for (int i = 0; i < m.operatorCount && i < MOBILE_MAX_OPERATORS; i++)
                list->entries[list->count++] = m.operators[i];
            m.searchState = NETSEL_RESULT_READY;
            return modemSave(&m) == 0 ? 1 : 0;
        });
    });
}

int SetNetSel(NetSelRequest request, int *code)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        return simLocked(0, [&] {
            Modem m;
            if (code == NULL || modemLoad(&m) != 0)
                return 0;
            int busy = busyCode(&m);
            if (busy != 0) {
                *code = busy;
                return 1;
            }
            int chosen = -1;
            if (request.mode == 0) {
                const OperatorEntry *current = currentOperator(&m);
                for (int i = 0; i < m.operatorCount && chosen < 0; i++) {
                    if (current != NULL ? &m.operators[i] == current : m.operators[i].state == OPERATOR_AVAILABLE)
                        chosen = i;
                }
            } else if (request.mode == 1) {
                for (int i = 0; i < m.operatorCount && chosen < 0; i++) {
                    const OperatorEntry *e = &m.operators[i];
                    if (e->mcc == request.mcc && e->mnc == request.mnc && e->state != OPERATOR_FORBIDDEN)
                        chosen = i;
                }
            }
            if (chosen < 0) {
                *code = MOBILE_CODE_FAILED;
                return 1;
            }
            for (int i = 0; i < m.operatorCount; i++) {
                if (m.operators[i].state == OPERATOR_CURRENT)
                    m.operators[i].state = OPERATOR_AVAILABLE;
            }
            m.operators[chosen].state = OPERATOR_CURRENT;
            m.selectionMode = request.mode;
            m.searchState = NETSEL_IDLE;
            *code = modemSave(&m) == 0 ? MOBILE_CODE_OK : MOBILE_CODE_FAILED;
            return 1;
        });
    });
}

int AbortScanNet(int *code)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        return simLocked(0, [&] {
            Modem m;
            if (code == NULL || modemLoad(&m) != 0)
                return 0;
            m.searchState = NETSEL_IDLE;
            *code = MOBILE_CODE_OK;
            return modemSave(&m) == 0 ? 1 : 0;
        });
    });
}

int ReloadIspFile(int *code)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        if (code != NULL)
            *code = MOBILE_CODE_OK;
        return 1;
    });
}

int GetOperatorName(char *name)
{
    return simServe(SIM_SERVICE_MOBILE, 0, [&] {
        Modem m;
        SimCard card;
        if (name == NULL || modemLoad(&m) != 0 || simCardLoad(&card) != 0)
            return 0;
        memset(name, 0, MOBILE_TEXT_FIELD);
        const OperatorEntry *current = currentOperator(&m);
        if (isRegistered(&m, &card) && current != NULL)
            copyText(name, current->alphaShort, MOBILE_TEXT_FIELD);
        return 1;
    });
}

void ReleaseMobileInstance(void)
{
    // Every call reads and writes the state files itself: no session to end.
    simServeVoid(SIM_SERVICE_MOBILE, [] {});
}

int simMobileSeed(void)
{
    char dir[512];
    if (simStatePath(dir, sizeof(dir), "mobile") != 0 || simMakeDirs(dir, 0700) != 0)
        return -1;
    Snapshot s;
    if (loadAll(&s) != 0)
        return -1;
    // Power-on: a locked card asks for its PIN, which automatic unlock
    // answers from configuration keys 28 and 29.
    char flag[9];
    char pin[SIM_CODE_TEXT];
    memset(flag, 0, sizeof(flag));
    memset(pin, 0, sizeof(pin));
    bool autoUnlock = get_config_data(CFG_SIM_AUTO_UNLOCK, flag, (int)sizeof(flag)) == 0 && strcmp(flag, "1") == 0;
    if (!autoUnlock || get_config_data(CFG_SIM_PIN, pin, (int)sizeof(pin)) != 0)
        memset(pin, 0, sizeof(pin));
    simCardPowerOn(&s.card, pin);
    s.modem.searchState = NETSEL_IDLE;
    return modemSave(&s.modem) == 0 && simCardSave(&s.card) == 0 && profilesSave(&s.profiles) == 0 ? 0 : -1;
}

int simModemRadio(int *signalLevel, bool *registered, bool *roamingNetwork)
{
    Modem m;
    if (signalLevel == NULL || registered == NULL || roamingNetwork == NULL || modemLoad(&m) != 0)
        return -1;
    *signalLevel = m.signalLevel;
    *registered = m.registered;
    *roamingNetwork = m.roamingNetwork;
    return 0;
}
