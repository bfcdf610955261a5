// The simulated mobile service's state files: loading, saving and what
// the service's calls read from them.
#include "sim/mobile_state.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "common/text.h"
#include "sim/sim_json.h"
#include "sim/sim_state_files.h"

using namespace simmobile;

namespace {

const char kModemFile[] = SIM_MODEM_FILE;
const char kProfileFile[] = "mobile/profiles.json";

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

}  // namespace

namespace simmobile {

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

bool isRegistered(const Modem *m, const SimCard *card)
{
    return simReady(card) && m->registered && currentOperator(m) != NULL;
}

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

void storeProfile(ConnectionProfile *dst, const ConnectionProfile *src)
{
    memcpy(dst, src, sizeof(*dst));
    dst->name[sizeof(dst->name) - 1] = '\0';
    dst->nameCopy[sizeof(dst->nameCopy) - 1] = '\0';
    dst->apn[sizeof(dst->apn) - 1] = '\0';
    dst->username[sizeof(dst->username) - 1] = '\0';
    dst->password[sizeof(dst->password) - 1] = '\0';
}

int busyCode(const Modem *m)
{
    return m->busyCode >= MOBILE_CODE_BUSY_SMS && m->busyCode <= MOBILE_CODE_BUSY_REGISTERING ? m->busyCode : 0;
}

// SIM operations share one frame: load, busy check, operate, persist.
}  // namespace simmobile
