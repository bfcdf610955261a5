// "wan": mobile data switch, roaming, preferred mode, connection profiles,
// network selection and the operator search, call failure reason and the
// ISP database update.
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <cjson/cJSON.h>

#include "modules/mobile/mobile_results.h"
#include "modules/mobile/profile_codec.h"
#include "platform/android_log.h"
#include "platform/isp_update.h"
#include "platform/mobile_client.h"
#include "server/handler.h"
#include "server/modules.h"
#include "server/utils.h"

namespace {

const char kTag[] = "WAN_HANDLER";

// Result codes.
enum {
    WAN_OK = 0,
    WAN_FAILED = 1,
    WAN_REFUSED = 2,
    WAN_BUSY_SMS = MOBILE_RESULT_BUSY_SMS,
};

// Updating the ISP database answers these.
enum { ISP_UPDATE_OK = 0, ISP_UPDATE_NO_SERVER = 1, ISP_UPDATE_BAD_FILE = 4 };
enum { WAN_ISP_UNREACHABLE = 3 };

// Statuses reported as -1 are unknown to the modem.
const int kInvalid = -1;

int fail(int result, const char *why)
{
    __android_log_print(ANDROID_LOG_INFO, kTag, "%s", why);
    return result;
}

void addNumber(cJSON *object, const char *key, double value)
{
    cJSON_AddItemToObject(object, key, cJSON_CreateNumber(value));
}

// Status record and operator list share one storage area.
union WanStorage {
    ModemStatus status;
    AvailableNetList networks;
    char bytes[MOBILE_STATUS_RECORD_SIZE];
};

cJSON *placeholderProfile(void)
{
    cJSON *p = cJSON_CreateObject();
    addNumber(p, "profileID", 0);
    cJSON_AddItemToObject(p, "profileName", cJSON_CreateString("NONE"));
    addNumber(p, "pdpType", 0);
    cJSON_AddItemToObject(p, "ipv4Apn", cJSON_CreateString(""));
    addNumber(p, "ipv4ApnType", 0);
    cJSON_AddItemToObject(p, "ipv4Username", cJSON_CreateString(""));
    cJSON_AddItemToObject(p, "ipv4Password", cJSON_CreateString(""));
    addNumber(p, "ipv4AuthType", 0);
    return p;
}

// Adds "ispVersion" and answers WAN_OK, or fails when the ISP database
// cannot say.
int addIspVersion(cJSON *response)
{
    char version[ISP_VERSION_SIZE];
    memset(version, 0, sizeof(version));
    if (getVersion(version) != 0)
        return fail(WAN_FAILED, "Get ISP information version failed.");
    version[sizeof(version) - 1] = '\0';
    cJSON_AddItemToObject(response, "ispVersion", cJSON_CreateString(version));
    return WAN_OK;
}

int getConfig(cJSON *, cJSON *response)
{
    WanStorage storage;
    memset(&storage, 0, sizeof(storage));
    ModemStatus *st = &storage.status;
    if (!GetAllStatus(st))
        return fail(WAN_FAILED, "Get modem status information failed.");
    if (st->dataSwitchStatus == kInvalid || st->roamingEnabled == kInvalid || st->connectStatus == kInvalid ||
        st->networkPreferredMode == kInvalid || st->networkSelectionMode == kInvalid ||
        st->statusWord6 == kInvalid || st->profileCount < 0)
        return fail(WAN_FAILED, "Status data validation failed.");
    addNumber(response, "dataSwitchStatus", st->dataSwitchStatus);
    addNumber(response, "roamingEnabled", st->roamingEnabled);
    addNumber(response, "networkPreferredMode", st->networkPreferredMode);
    addNumber(response, "connectStatus", st->connectStatus);
    addNumber(response, "networkSelectionMode", st->networkSelectionMode);

    cJSON *settings = cJSON_CreateObject();
    cJSON *list = cJSON_CreateArray();
    if (st->profileCount == 0) {
        cJSON_AddItemToArray(list, placeholderProfile());
        cJSON_AddItemToObject(settings, "list", list);
        addNumber(settings, "defaultProfile", 1);
        addNumber(settings, "activeProfile", 0);
    } else {
        // The record holds 16 profiles whatever count the service reports.
        int count = st->profileCount < MOBILE_MAX_PROFILES ? st->profileCount : MOBILE_MAX_PROFILES;
        for (int i = 0; i < count; i++) {
            cJSON *p = cJSON_CreateObject();
            addNumber(p, "profileID", i);
            if (encodeProfile(p, &st->profiles[i]) != 0) {
                __android_log_print(ANDROID_LOG_INFO, kTag, "Encode profile %d failed.", i);
                cJSON_Delete(p);
                cJSON_Delete(list);
                cJSON_Delete(settings);
                return WAN_FAILED;
            }
            cJSON_AddItemToArray(list, p);
        }
        cJSON_AddItemToObject(settings, "list", list);
        addNumber(settings, "defaultProfile", st->defaultProfile);
        addNumber(settings, "activeProfile", st->activeProfile);
    }
    cJSON_AddItemToObject(response, "profileSettings", settings);

    int cardType = 0;
    if (!GetCardType(&cardType))
        return fail(WAN_FAILED, "Get SIM card type failed.");
    addNumber(response, "cardType", cardType);
    int result = addIspVersion(response);
    if (result != WAN_OK)
        return result;
    int pending = 0;
    if (getNeedLocUpdate(&pending) != 0)
        return fail(WAN_FAILED, "Get ISP update indication failed.");
    cJSON_AddItemToObject(response, "isp_need_local_update", cJSON_CreateBool(pending == 1));
    return WAN_OK;
}

// First element of "profileSettings"."list", or null.
const cJSON *firstProfile(const cJSON *request, const cJSON **settingsOut)
{
    const cJSON *settings = cJSON_GetObjectItem(request, "profileSettings");
    if (settingsOut != NULL)
        *settingsOut = settings;
    const cJSON *list = cJSON_GetObjectItem(settings, "list");
    return list != NULL ? cJSON_GetArrayItem(list, 0) : NULL;
}

int setConfig(cJSON *request, cJSON *)
{
    ModemConfig config;
    memset(&config, 0, sizeof(config));
    int value = 0;
    if (requestInt(cJSON_GetObjectItem(request, "dataSwitchStatus"), 0, 1, &value)) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "Set data switch %d.", value);
        config.dataSwitchValid = 1;
        config.dataSwitch = value;
    }
    if (requestInt(cJSON_GetObjectItem(request, "roamingEnabled"), 0, 1, &value)) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "Set roaming switch %d.", value);
        config.roamingValid = 1;
        config.roaming = value;
    }
    const cJSON *settings = NULL;
    const cJSON *profile = firstProfile(request, &settings);
    int defaults = 0;
    if (profile != NULL && requestInt(cJSON_GetObjectItem(settings, "defaultProfile"), 0, MOBILE_MAX_PROFILES, &defaults)) {
        ConnectionProfile record;
        memset(&record, 0, sizeof(record));
        int id = 0;
        // An ID outside the 16 profiles names none of them.
        if (decodeProfile(profile, &record, &id) == 0 && id >= 0 && id < MOBILE_MAX_PROFILES) {
            memcpy(&config.profile, &record, sizeof(record));
            config.profileValid = 1;
            config.profileIsDefault = id < defaults ? 1 : 0;
            config.profileIndex = config.profileIsDefault ? id : id - defaults;
        }
    }
    if (requestInt(cJSON_GetObjectItem(request, "networkPreferredMode"), 0, 3, &value)) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "Set preferred network %d.", value);
        config.preferredModeValid = 1;
        config.preferredMode = value;
    }
    int code = MOBILE_CODE_OK;
    if (!SetAllConfig(&config, &code) || code != MOBILE_CODE_OK) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "Set modem configuration failed (errno = %d).", code);
        return code == MOBILE_CODE_REFUSED ? WAN_REFUSED : WAN_FAILED;
    }
    return WAN_OK;
}

int addProfile(cJSON *request, bool wizard)
{
    const cJSON *profile = firstProfile(request, NULL);
    ConnectionProfile record;
    memset(&record, 0, sizeof(record));
    int id = 0;
    if (profile == NULL || decodeProfile(profile, &record, &id) != 0)
        return fail(WAN_FAILED, "Cannot get the profile.");
    int code = MOBILE_CODE_OK;
    int ok = wizard ? AddProfileWzd(&record, &code) : AddProfile(&record, &code);
    if (!ok || code == MOBILE_CODE_FAILED)
        return fail(WAN_FAILED, "Add profile failed.");
    return WAN_OK;
}

int deleteProfile(cJSON *request, cJSON *)
{
    const cJSON *settings = cJSON_GetObjectItem(request, "profileSettings");
    const cJSON *list = cJSON_GetObjectItem(settings, "list");
    const cJSON *defaults = cJSON_GetObjectItem(settings, "defaultProfile");
    const cJSON *profile = list != NULL && defaults != NULL ? cJSON_GetArrayItem(list, 0) : NULL;
    const cJSON *id = cJSON_GetObjectItem(profile, "profileID");
    if (list == NULL || defaults == NULL || profile == NULL || id == NULL)
        return fail(WAN_FAILED, "Cannot get the profile id or active one.");
    // Default profiles come first and cannot be deleted: only a user
    // profile's index (0 or more) goes to the service. Both numbers are
    // bounded before the subtraction.
    int profileId = 0;
    int defaultCount = 0;
    if (!requestInt(id, 0, MOBILE_MAX_PROFILES - 1, &profileId) ||
        !requestInt(defaults, 0, MOBILE_MAX_PROFILES, &defaultCount) || profileId < defaultCount) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "Cannot delete profile: not a user profile.");
        return WAN_FAILED;
    }
    int index = profileId - defaultCount;
    int code = MOBILE_CODE_OK;
    if (!DelProfile(index, &code) || code == MOBILE_CODE_FAILED) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "Delete profile %d failed.", profileId);
        return WAN_FAILED;
    }
    return WAN_OK;
}

int getConnState(cJSON *, cJSON *response)
{
    int state = 0;
    if (!GetConnState(&state))
        return fail(WAN_FAILED, "Get connection status failed.");
    addNumber(response, "connectStatus", state);
    return WAN_OK;
}

// "46001" -> 460/1, "001101" -> 1/101: the first three digits are the
// MCC, the rest the MNC, so an operatorNumeric of this module round-trips.
bool splitOperator(const cJSON *item, int *mcc, int *mnc)
{
    *mcc = 0;
    *mnc = 0;
    if (item == NULL)
        return true;
    if (!cJSON_IsString(item) || item->valuestring == NULL)
        return false;
    const char *text = item->valuestring;
    size_t digits = 0;
    while (text[digits] >= '0' && text[digits] <= '9')
        digits++;
    if (digits == 0)
        return true;
    if (digits < 5 || digits > 6)
        return false;
    for (size_t i = 0; i < digits; i++) {
        int d = text[i] - '0';
        if (i < 3)
            *mcc = *mcc * 10 + d;
        else
            *mnc = *mnc * 10 + d;
    }
    return true;
}

int setSelectionMode(cJSON *request, cJSON *)
{
    const cJSON *mode = cJSON_GetObjectItem(request, "networkSelectionMode");
    NetSelRequest sel;
    memset(&sel, 0, sizeof(sel));
    // The service judges the mode; the number only has to be an int.
    if (!requestInt(mode, INT_MIN, INT_MAX, &sel.mode) ||
        !splitOperator(cJSON_GetObjectItem(request, "selectedOperator"), &sel.mcc, &sel.mnc))
        return fail(WAN_FAILED, "Set network selection mode args invalid.");
    int code = MOBILE_CODE_OK;
    if (!SetNetSel(sel, &code))
        return fail(WAN_FAILED, "Set network selection mode failed.");
    int busy = mobileBusyResult(code, kTag);
    if (busy >= 0)
        return busy;
    if (code == MOBILE_CODE_OK || code == MOBILE_CODE_OK_2)
        return fail(WAN_OK, "Operation succeed.");
    return fail(WAN_FAILED, "Unknown error.");
}

int searchNetworks(cJSON *, cJSON *)
{
    WanStorage storage;
    memset(&storage, 0, sizeof(storage));
    if (!GetAvailableNet(&storage.networks))
        return fail(WAN_FAILED, "Get available network failed.");
    if (storage.networks.status == MOBILE_CODE_LIST_SMS_SENDING)
        return fail(WAN_BUSY_SMS, "Now is busy in sending sms, cannot search.");
    return WAN_OK;
}

const char *operatorStateName(int state)
{
    static const char *const kNames[] = {"unknown", "available", "current", "forbidden"};
    static_assert(OPERATOR_AVAILABLE == 1 && OPERATOR_CURRENT == 2 && OPERATOR_FORBIDDEN == 3, "indexes kNames");
    return state > 0 && state < (int)(sizeof(kNames) / sizeof(kNames[0])) ? kNames[state] : kNames[0];
}

// Adds "networkSelectionStatus" and answers WAN_OK, or fails when the
// service cannot say.
int addSelectionStatus(cJSON *response, int *state)
{
    if (!GetNetSelStat(state))
        return fail(WAN_FAILED, "Get network selection status failed.");
    addNumber(response, "networkSelectionStatus", *state);
    return WAN_OK;
}

int getSelectionStatus(cJSON *, cJSON *response)
{
    int state = 0;
    int result = addSelectionStatus(response, &state);
    if (result != WAN_OK || state != NETSEL_RESULT_READY)
        return result;
    WanStorage storage;
    memset(&storage, 0, sizeof(storage));
    if (!GetAvailableNet(&storage.networks))
        return fail(WAN_FAILED, "Get available network failed.");
    cJSON *operators = cJSON_CreateArray();
    cJSON_AddItemToObject(response, "operatorList", operators);
    // Only 59 entries fit the storage, whatever count the service reports.
    int count = storage.networks.count < MOBILE_MAX_OPERATORS ? storage.networks.count : MOBILE_MAX_OPERATORS;
    for (int i = 0; i < count; i++) {
        const OperatorEntry *e = &storage.networks.entries[i];
        cJSON *op = cJSON_CreateObject();
        cJSON_AddItemToArray(operators, op);
        char name[MOBILE_TEXT_FIELD + 1];
        memset(name, 0, sizeof(name));
        memcpy(name, e->alphaShort, sizeof(e->alphaShort));
        char numeric[64];
        memset(numeric, 0, sizeof(numeric));
        snprintf(numeric, sizeof(numeric), "%03d%02d", e->mcc, e->mnc);
        cJSON_AddItemToObject(op, "operatorAlphaShort", cJSON_CreateString(name));
        cJSON_AddItemToObject(op, "operatorNumeric", cJSON_CreateString(numeric));
        cJSON_AddItemToObject(op, "operatorState", cJSON_CreateString(operatorStateName(e->state)));
    }
    return WAN_OK;
}

int getReason(cJSON *, cJSON *response)
{
    unsigned int reason = 0;
    if (!GetCallFailReason(&reason))
        return fail(WAN_FAILED, "Get the call fail reason information failed.");
    addNumber(response, "callFailReason", reason);
    return WAN_OK;
}

int cancelSearch(cJSON *, cJSON *response)
{
    __android_log_print(ANDROID_LOG_INFO, kTag, "Now try to abort network scanning ...");
    int code = MOBILE_CODE_OK;
    if (!AbortScanNet(&code))
        return fail(WAN_FAILED, "Abort scanning network failed.");
    int state = 0;
    return addSelectionStatus(response, &state);
}

int updateIsp(cJSON *, cJSON *response)
{
    __android_log_print(ANDROID_LOG_INFO, kTag, "update isp information by local");
    int answer = updateISPByWeb();
    if (answer != ISP_UPDATE_OK) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "failed to updateByWeb");
        if (answer == ISP_UPDATE_NO_SERVER)
            return WAN_ISP_UNREACHABLE;
        return answer == ISP_UPDATE_BAD_FILE ? WAN_FAILED : WAN_REFUSED;
    }
    int code = MOBILE_CODE_OK;
    ReloadIspFile(&code);
    if (checkNeedLocalUpdate() == 0) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "update isp resolve the problem");
        setNeedLocUpdate(0);
    }
    return addIspVersion(response);
}

int addProfileAction(cJSON *request, cJSON *)
{
    return addProfile(request, false);
}

int addWizardProfile(cJSON *request, cJSON *)
{
    return addProfile(request, true);
}

// The request's "action", what it runs and its name in the closing log line.
const ModuleAction kWanActions[] = {
    {0, getConfig, "WAN_ACTION_GET_CFG"},
    {1, setConfig, "WAN_ACTION_SET_CFG"},
    {2, addProfileAction, "WAN_ACTION_ADD_PROF"},
    {3, deleteProfile, "WAN_ACTION_DEL_PROF"},
    {6, getConnState, "WAN_ACTION_GET_CONN_STAT"},
    {7, addWizardProfile, "WAN_ACTION_ADD_PROF_WZD"},
    {8, setSelectionMode, "WAN_ACTION_SET_SEL_MODE"},
    {9, searchNetworks, "WAN_ACTION_SEARCH_NET"},
    {10, getSelectionStatus, "WAN_ACTION_GET_SEL_STAT"},
    {11, getReason, "WAN_ACTION_GET_REASON"},
    {14, cancelSearch, "WAN_ACTION_CANCEL_SEARCH"},
    {15, updateIsp, "WAN_ACTION_UPDATE_ISP"},
};

// The action's name for the closing line ("" for an unknown code).
const char *g_actionName = "";

int nameAction(cJSON *, int code)
{
    const ModuleAction *action = findAction(kWanActions, ACTION_COUNT(kWanActions), code);
    g_actionName = action != NULL ? action->name : "";
    return WAN_OK;
}

void trace(ModuleStep step)
{
    if (step == STEP_NO_REQUEST)
        __android_log_print(ANDROID_LOG_INFO, kTag, "Argument invalid.");
    else if (step == STEP_NO_ACTION)
        __android_log_print(ANDROID_LOG_INFO, kTag, "Parse json action failed.");
}

}  // namespace

int wanHandler(cJSON *request, cJSON *response)
{
    clock_t start = clock();
    __android_log_print(ANDROID_LOG_INFO, kTag, "Enter wanHandler function.");
    g_actionName = "";
    int result = runModule(request, response, {kWanActions, ACTION_COUNT(kWanActions), nameAction, trace, true, false});
    ReleaseMobileInstance();
    __android_log_print(ANDROID_LOG_INFO, kTag, "WAN action %s, elapsed %.2fms.", g_actionName,
                        (double)(clock() - start) / 1000000.0 * 1000.0);
    return result;
}
