// Simulated mobile service: modem settings, registration, the operator scan
// and the profile list, persisted under <root>/sim/mobile/.
#include "platform/mobile_client.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "platform/config_store.h"
#include "server/utils.h"
#include "sim/sim_card.h"
#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_files.h"
#include "sim/sim_json.h"
#include "sim/sim_lock.h"
#include "sim/sim_state_files.h"

namespace {

const char kModemFile[] = SIM_MODEM_FILE;
const char kProfileFile[] = "mobile/profiles.json";

// Connection states reported by GetConnState.
enum { CONN_DISCONNECTED = 1, CONN_CONNECTED = 2 };

// SIM states reported by GetSimStatusForWebStatus.
enum { WEB_SIM_ABSENT = 0, WEB_SIM_READY = 1, WEB_SIM_PIN = 2, WEB_SIM_PUK = 3, WEB_SIM_BLOCKED = 4 };

struct Modem {
    int dataSwitch;
    int roamingSwitch;
    int preferredMode;
    int selectionMode;
    bool registered;  // the network accepts the card once it is unlocked
    bool roamingNetwork;
    int networkType;
    int signalLevel;
    int cardType;
    unsigned int callFailReason;
    int busyCode;  // 0, or 14 to 17 to make the modem answer busy
    int searchState;
    int operatorCount;
    OperatorEntry operators[MOBILE_MAX_OPERATORS];
};

const SimField kModemFields[] = {
    {"dataSwitch", SIM_FIELD_INT, offsetof(Modem, dataSwitch), 0},
    {"roamingSwitch", SIM_FIELD_INT, offsetof(Modem, roamingSwitch), 0},
    {"preferredMode", SIM_FIELD_INT, offsetof(Modem, preferredMode), 0},
    {"selectionMode", SIM_FIELD_INT, offsetof(Modem, selectionMode), 0},
    {"registered", SIM_FIELD_BOOL, offsetof(Modem, registered), 0},
    {"roamingNetwork", SIM_FIELD_BOOL, offsetof(Modem, roamingNetwork), 0},
    {"networkType", SIM_FIELD_INT, offsetof(Modem, networkType), 0},
    {"signalLevel", SIM_FIELD_INT, offsetof(Modem, signalLevel), 0},
    {"cardType", SIM_FIELD_INT, offsetof(Modem, cardType), 0},
    {"callFailReason", SIM_FIELD_UINT, offsetof(Modem, callFailReason), 0},
    {"busyCode", SIM_FIELD_INT, offsetof(Modem, busyCode), 0},
    {"searchState", SIM_FIELD_INT, offsetof(Modem, searchState), 0},
};

const SimField kProfileFields[] = {
    {"name", SIM_FIELD_TEXT, offsetof(ConnectionProfile, name), sizeof(ConnectionProfile::name)},
    {"pdpType", SIM_FIELD_BYTE, offsetof(ConnectionProfile, pdpType), 0},
    {"apnType", SIM_FIELD_BYTE, offsetof(ConnectionProfile, apnType), 0},
    {"apn", SIM_FIELD_TEXT, offsetof(ConnectionProfile, apn), sizeof(ConnectionProfile::apn)},
    {"username", SIM_FIELD_TEXT, offsetof(ConnectionProfile, username), sizeof(ConnectionProfile::username)},
    {"password", SIM_FIELD_TEXT, offsetof(ConnectionProfile, password), sizeof(ConnectionProfile::password)},
    {"authType", SIM_FIELD_BYTE, offsetof(ConnectionProfile, authType), 0},
};

struct ProfileList {
    int defaultCount;
    int activeProfile;
    int count;
    ConnectionProfile profiles[MOBILE_MAX_PROFILES];
};

struct OperatorStateName {
    int state;
    const char *name;
};

const OperatorStateName kOperatorStates[] = {
    {OPERATOR_AVAILABLE, "available"},
    {OPERATOR_CURRENT, "current"},
    {OPERATOR_FORBIDDEN, "forbidden"},
};

void addOperator(Modem *m, const char *name, int mcc, int mnc, int state)
{
    if (m->operatorCount >= MOBILE_MAX_OPERATORS)
        return;
    OperatorEntry *e = &m->operators[m->operatorCount++];
    memset(e, 0, sizeof(*e));
    copyText(e->alphaShort, name, sizeof(e->alphaShort));
    e->mcc = mcc;
    e->mnc = mnc;
    e->state = state;
}

void modemFactory(Modem *m)
{
    memset(m, 0, sizeof(*m));
    m->dataSwitch = 1;
    m->preferredMode = 0;
    m->registered = true;
    m->networkType = 3;
    m->signalLevel = 4;
    m->cardType = 1;
    addOperator(m, "Kal Mobile", 1, 1, OPERATOR_CURRENT);
    addOperator(m, "Kal Test", 1, 2, OPERATOR_AVAILABLE);
    addOperator(m, "Kal Wide", 1, 101, OPERATOR_AVAILABLE);
    addOperator(m, "Barred Net", 1, 3, OPERATOR_FORBIDDEN);
}

int modemLoad(Modem *m)
{
    modemFactory(m);
    bool missing = false;
    cJSON *json = simLoadJson(kModemFile, &missing);
    if (json == NULL)
        return missing ? 0 : -1;
    simJsonReadFields(json, SIM_FIELDS(kModemFields), m);
    cJSON *ops = cJSON_GetObjectItemCaseSensitive(json, "operators");
    if (cJSON_IsArray(ops)) {
        m->operatorCount = 0;
        cJSON *op = NULL;
        cJSON_ArrayForEach(op, ops)
        {
            char name[MOBILE_TEXT_FIELD];
            char state[16];
            simJsonText(op, "name", name, sizeof(name), "");
            simJsonText(op, "state", state, sizeof(state), "available");
            int code = 0;
            for (const OperatorStateName &s : kOperatorStates) {
                if (strcmp(s.name, state) == 0)
                    code = s.state;
            }
            addOperator(m, name, simJsonInt(op, "mcc", 0), simJsonInt(op, "mnc", 0), code);
        }
    }
    cJSON_Delete(json);
    return 0;
}

int modemSave(const Modem *m)
{
    cJSON *json = cJSON_CreateObject();
    if (json == NULL)
        return -1;
    simJsonAddFields(json, SIM_FIELDS(kModemFields), m);
    cJSON *ops = cJSON_AddArrayToObject(json, "operators");
    for (int i = 0; ops != NULL && i < m->operatorCount; i++) {
        const OperatorEntry *e = &m->operators[i];
        cJSON *op = cJSON_CreateObject();
        cJSON_AddStringToObject(op, "name", e->alphaShort);
        cJSON_AddNumberToObject(op, "mcc", e->mcc);
        cJSON_AddNumberToObject(op, "mnc", e->mnc);
        const char *state = "unknown";
        for (const OperatorStateName &s : kOperatorStates) {
            if (s.state == e->state)
                state = s.name;
        }
        cJSON_AddStringToObject(op, "state", state);
        cJSON_AddItemToArray(ops, op);
    }
    int rc = simSaveJson(kModemFile, json, 0644);
    cJSON_Delete(json);
    return rc;
}

void setProfile(ConnectionProfile *p, const char *name, int pdpType, const char *apn)
{
    memset(p, 0, sizeof(*p));
    copyText(p->name, name, sizeof(p->name));
    copyText(p->nameCopy, name, sizeof(p->nameCopy));
    p->pdpType = (uint8_t)pdpType;
    p->apnType = apn[0] != '\0' ? 0 : 1;
    copyText(p->apn, apn, sizeof(p->apn));
}

void profilesFactory(ProfileList *list)
{
    memset(list, 0, sizeof(*list));
    setProfile(&list->profiles[0], "Kal Internet", 2, "internet");
    list->defaultCount = 1;
    list->count = 1;
    list->activeProfile = 0;
}

int profilesLoad(ProfileList *list)
{
    profilesFactory(list);
    bool missing = false;
    cJSON *json = simLoadJson(kProfileFile, &missing);
    if (json == NULL)
        return missing ? 0 : -1;
    cJSON *items = cJSON_GetObjectItemCaseSensitive(json, "profiles");
    if (cJSON_IsArray(items)) {
        list->count = 0;
        cJSON *item = NULL;
        cJSON_ArrayForEach(item, items)
        {
            if (list->count >= MOBILE_MAX_PROFILES)
                break;
            ConnectionProfile *p = &list->profiles[list->count++];
            memset(p, 0, sizeof(*p));
            simJsonReadFields(item, SIM_FIELDS(kProfileFields), p);
            copyText(p->nameCopy, p->name, sizeof(p->nameCopy));
        }
    }
    list->defaultCount = simJsonInt(json, "defaultProfile", list->defaultCount);
    list->activeProfile = simJsonInt(json, "activeProfile", 0);
    cJSON_Delete(json);
    if (list->defaultCount < 0 || list->defaultCount > list->count)
        list->defaultCount = list->count;
    if (list->activeProfile < 0 || list->activeProfile >= list->count)
        list->activeProfile = 0;
    return 0;
}

int profilesSave(const ProfileList *list)
{
    cJSON *json = cJSON_CreateObject();
    if (json == NULL)
        return -1;
    cJSON_AddNumberToObject(json, "defaultProfile", list->defaultCount);
    cJSON_AddNumberToObject(json, "activeProfile", list->activeProfile);
    cJSON *items = cJSON_AddArrayToObject(json, "profiles");
    for (int i = 0; items != NULL && i < list->count; i++) {
        cJSON *item = cJSON_CreateObject();
        simJsonAddFields(item, SIM_FIELDS(kProfileFields), &list->profiles[i]);
        cJSON_AddItemToArray(items, item);
    }
    // Profiles carry passwords.
    int rc = simSaveJson(kProfileFile, json, 0600);
    cJSON_Delete(json);
    return rc;
}

bool simReady(const SimCard *card)
{
    return card->phase == SIM_READY;
}

const OperatorEntry *currentOperator(const Modem *m)
{
    for (int i = 0; i < m->operatorCount; i++) {
        if (m->operators[i].state == OPERATOR_CURRENT)
            return &m->operators[i];
    }
    return NULL;
}

// Registration needs an unlocked card, a network that accepts it and an
// operator to be on.
bool isRegistered(const Modem *m, const SimCard *card)
{
    return simReady(card) && m->registered && currentOperator(m) != NULL;
}

struct Snapshot {
    Modem modem;
    SimCard card;
    ProfileList profiles;
};

int loadAll(Snapshot *s)
{
    memset(s, 0, sizeof(*s));
    return modemLoad(&s->modem) == 0 && simCardLoad(&s->card) == 0 && profilesLoad(&s->profiles) == 0 ? 0 : -1;
}

int connectState(const Snapshot *s)
{
    bool up = isRegistered(&s->modem, &s->card) && s->modem.dataSwitch == 1 && s->profiles.count > 0 &&
              (!s->modem.roamingNetwork || s->modem.roamingSwitch == 1);
    return up ? CONN_CONNECTED : CONN_DISCONNECTED;
}

bool validProfile(const ConnectionProfile *p)
{
    return p->name[0] != '\0' && p->pdpType <= 2 && p->apnType <= 1 && p->authType <= 2;
}

// The record comes from the caller: make every text field terminated.
void storeProfile(ConnectionProfile *dst, const ConnectionProfile *src)
{
    memcpy(dst, src, sizeof(*dst));
    dst->name[sizeof(dst->name) - 1] = '\0';
    dst->nameCopy[sizeof(dst->nameCopy) - 1] = '\0';
    dst->apn[sizeof(dst->apn) - 1] = '\0';
    dst->username[sizeof(dst->username) - 1] = '\0';
    dst->password[sizeof(dst->password) - 1] = '\0';
}

int appendProfile(const ConnectionProfile *profile, int *code, bool makeActive)
{
    ProfileList list;
    if (profilesLoad(&list) != 0)
        return 0;
    if (list.count >= MOBILE_MAX_PROFILES || !validProfile(profile)) {
        *code = MOBILE_CODE_FAILED;
        return 1;
    }
    storeProfile(&list.profiles[list.count], profile);
    if (makeActive)
        list.activeProfile = list.count;
    list.count++;
    *code = profilesSave(&list) == 0 ? MOBILE_CODE_OK : MOBILE_CODE_FAILED;
    return 1;
}

// The calls that change state files load, change and save while holding
// the device's lock: kal_sim changing the same files meanwhile neither loses
// its change nor undoes this one.
int addProfile(const ConnectionProfile *profile, int *code, bool makeActive)
{
    if (profile == NULL || code == NULL)
        return 0;
    return simLocked(0, [&] { return appendProfile(profile, code, makeActive); });
}

int busyCode(const Modem *m)
{
    return m->busyCode >= MOBILE_CODE_BUSY_SMS && m->busyCode <= MOBILE_CODE_BUSY_REGISTERING ? m->busyCode : 0;
}

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

// Loads the modem and the card and answers what value makes of them.
template <typename T, typename Value>
int radioReading(T *out, Value value)
{
    Modem m;
    SimCard card;
    if (simServiceFails(SIM_SERVICE_MOBILE) || out == NULL || modemLoad(&m) != 0 || simCardLoad(&card) != 0)
        return 0;
    *out = value(m, card);
    return 1;
}

}  // namespace

int GetAllStatus(ModemStatus *status)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
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
}

int SetAllConfig(const ModemConfig *config, int *code)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
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
}

int AddProfile(const ConnectionProfile *profile, int *code)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    return addProfile(profile, code, false);
}

int AddProfileWzd(const ConnectionProfile *profile, int *code)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    // The set-up wizard's profile is the one the user wants to use.
    return addProfile(profile, code, true);
}

int DelProfile(int index, int *code)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    if (code == NULL)
        return 0;
    return simLocked(0, [&] {
        ProfileList list;
        if (profilesLoad(&list) != 0)
            return 0;
        if (index < 0 || index >= MOBILE_MAX_PROFILES || list.defaultCount + index >= list.count) {
            *code = MOBILE_CODE_FAILED;
            return 1;
        }
        int slot = list.defaultCount + index;
        memmove(&list.profiles[slot], &list.profiles[slot + 1],
                sizeof(list.profiles[0]) * (size_t)(list.count - slot - 1));
        list.count--;
        memset(&list.profiles[list.count], 0, sizeof(list.profiles[0]));
        if (list.activeProfile == slot)
            list.activeProfile = 0;
        else if (list.activeProfile > slot)
            list.activeProfile--;
        *code = profilesSave(&list) == 0 ? MOBILE_CODE_OK : MOBILE_CODE_FAILED;
        return 1;
    });
}

int GetConnState(int *state)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    Snapshot s;
    if (state == NULL || loadAll(&s) != 0)
        return 0;
    *state = connectState(&s);
    return 1;
}

int GetNetSelStat(int *state)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    Modem m;
    if (state == NULL || modemLoad(&m) != 0)
        return 0;
    *state = m.searchState;
    return 1;
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
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    Modem m;
    if (enabled == NULL || modemLoad(&m) != 0)
        return 0;
    *enabled = m.roamingSwitch;
    return 1;
}

int GetSigLevel(int *level)
{
    return radioReading(level, [](const Modem &m, const SimCard &card) {
        return isRegistered(&m, &card) ? m.signalLevel : 0;
    });
}

int GetSimStatusForWebStatus(int *state)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    SimCard card;
    if (state == NULL || simCardLoad(&card) != 0)
        return 0;
    switch (card.phase) {
    case SIM_READY:
        *state = WEB_SIM_READY;
        break;
    case SIM_NEEDS_PIN:
        *state = WEB_SIM_PIN;
        break;
    case SIM_NEEDS_PUK:
        *state = WEB_SIM_PUK;
        break;
    case SIM_BLOCKED:
        *state = WEB_SIM_BLOCKED;
        break;
    default:
        *state = WEB_SIM_ABSENT;
        break;
    }
    return 1;
}

int GetCallFailReason(unsigned int *reason)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    Modem m;
    if (reason == NULL || modemLoad(&m) != 0)
        return 0;
    *reason = m.callFailReason;
    return 1;
}

int GetAvailableNet(AvailableNetList *list)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
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
}

int SetNetSel(NetSelRequest request, int *code)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
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
}

int AbortScanNet(int *code)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    return simLocked(0, [&] {
        Modem m;
        if (code == NULL || modemLoad(&m) != 0)
            return 0;
        m.searchState = NETSEL_IDLE;
        *code = MOBILE_CODE_OK;
        return modemSave(&m) == 0 ? 1 : 0;
    });
}

int ReloadIspFile(int *code)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    if (code != NULL)
        *code = MOBILE_CODE_OK;
    return 1;
}

int GetOperatorName(char *name)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    Modem m;
    SimCard card;
    if (name == NULL || modemLoad(&m) != 0 || simCardLoad(&card) != 0)
        return 0;
    memset(name, 0, MOBILE_TEXT_FIELD);
    const OperatorEntry *current = currentOperator(&m);
    if (isRegistered(&m, &card) && current != NULL)
        copyText(name, current->alphaShort, MOBILE_TEXT_FIELD);
    return 1;
}

int GetSimNumber(char *buffer)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    SimCard card;
    if (buffer == NULL || simCardLoad(&card) != 0)
        return 0;
    memset(buffer, 0, 64);
    copyText(buffer + 1, card.phase == SIM_READY && card.number[0] != '\0' ? card.number : "0", 63);
    return 1;
}

int GetSimIMSI(char *buffer)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    SimCard card;
    if (buffer == NULL || simCardLoad(&card) != 0)
        return 0;
    memset(buffer, 0, 64);
    copyText(buffer + 1, card.phase == SIM_READY && card.imsi[0] != '\0' ? card.imsi : "0", 63);
    return 1;
}

int GetSimStatus(SimStatus *status, int, MobileCallback)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    SimCard card;
    if (status == NULL || simCardLoad(&card) != 0)
        return 0;
    status->cardState = simCardStateCode(&card);
    status->pinState = simCardPinStateCode(&card);
    return 1;
}

int GetPinStatus(PinStatus *status, int, MobileCallback)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    SimCard card;
    if (status == NULL || simCardLoad(&card) != 0)
        return 0;
    status->pukRemainingTimes = card.pukAttempts;
    status->pinRemainingTimes = card.pinAttempts;
    return 1;
}

int SetSimLock(SimLockRequest request, int *code, int, MobileCallback)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    request.pin[sizeof(request.pin) - 1] = '\0';
    return simOperation(code, [&](SimCard *card) { return simCardSetLock(card, request.enable == 1, request.pin); });
}

int ChangePin(PinChangeRequest request, int *code, int, MobileCallback)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    request.pin[sizeof(request.pin) - 1] = '\0';
    request.newPin[sizeof(request.newPin) - 1] = '\0';
    return simOperation(code, [&](SimCard *card) { return simCardChangePin(card, request.pin, request.newPin); });
}

int EnterPin(const char *pin, int *code, int, MobileCallback)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    if (pin == NULL)
        return 0;
    char text[SIM_CODE_TEXT];
    memset(text, 0, sizeof(text));
    memcpy(text, pin, strnlen(pin, sizeof(text) - 1));
    return simOperation(code, [&](SimCard *card) { return simCardEnterPin(card, text); });
}

int EnterPuk(PukEntryRequest request, int *code, int, MobileCallback)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return 0;
    request.puk[sizeof(request.puk) - 1] = '\0';
    request.newPin[sizeof(request.newPin) - 1] = '\0';
    return simOperation(code, [&](SimCard *card) { return simCardEnterPuk(card, request.puk, request.newPin); });
}

void ReleaseMobileInstance(void)
{
    if (simServiceFails(SIM_SERVICE_MOBILE))
        return;
    // Every call reads and writes the state files itself: no session to end.
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
