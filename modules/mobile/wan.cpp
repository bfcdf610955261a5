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

// Stands in for the profile list when the service holds none. Front ends
// know it by its name "NONE"; it carries the IPv4 members only.
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

int getConfig(const Request &, cJSON *response)
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

// The first element of "list", or null; of a "list" sent as an object,
// its first member (cJSON's first child).
const cJSON *firstProfile(const Request &settings)
{
    return cJSON_GetArrayItem(settings.get("list").item, 0);
}

// Settings absent or out of range are left out of the record.
int setConfig(const Request &request, cJSON *)
{
    ModemConfig config;
    memset(&config, 0, sizeof(config));
    if (request.has("dataSwitchStatus")) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "Set data switch %d.", request.number("dataSwitchStatus"));
        config.dataSwitchValid = 1;
        config.dataSwitch = request.number("dataSwitchStatus");
    }
    if (request.has("roamingEnabled")) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "Set roaming switch %d.", request.number("roamingEnabled"));
        config.roamingValid = 1;
        config.roaming = request.number("roamingEnabled");
    }
    Request settings = request.nested("profileSettings");
    const cJSON *profile = firstProfile(settings);
    if (profile != NULL && settings.has("defaultProfile")) {
        int defaults = settings.number("defaultProfile");
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
    if (request.has("networkPreferredMode")) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "Set preferred network %d.", request.number("networkPreferredMode"));
        config.preferredModeValid = 1;
        config.preferredMode = request.number("networkPreferredMode");
    }
    int code = MOBILE_CODE_OK;
    if (!SetAllConfig(&config, &code) || code != MOBILE_CODE_OK) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "Set modem configuration failed (errno = %d).", code);
        return code == MOBILE_CODE_REFUSED ? WAN_REFUSED : WAN_FAILED;
    }
    return WAN_OK;
}

int addProfile(const Request &request, bool wizard)
{
    const cJSON *profile = firstProfile(request.nested("profileSettings"));
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

int deleteProfile(const Request &request, cJSON *)
{
    Request settings = request.nested("profileSettings");
    // Every "defaultProfile" sent is taken (true 1, other 0) or, out of
    // range, left out.
    const MemberValue &defaults = settings.get("defaultProfile");
    int profileId = 0;
    // No first profile has no "profileID" either.
    int found = profileIdOf(firstProfile(settings), 0, MOBILE_MAX_PROFILES - 1, &profileId);
    if ((!defaults.given && !defaults.leftOut) || found == PROFILE_ID_ABSENT)
        return fail(WAN_FAILED, "Cannot get the profile id or active one.");
    // Default profiles come first and cannot be deleted: only a user
    // profile's index (0 or more) goes to the service. Both numbers are
    // bounded before the subtraction.
    int defaultCount = defaults.number;
    if (found != PROFILE_ID_READ || !defaults.given || profileId < defaultCount) {
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

int getConnState(const Request &, cJSON *response)
{
    int state = 0;
    if (!GetConnState(&state))
        return fail(WAN_FAILED, "Get connection status failed.");
    addNumber(response, "connectStatus", state);
    return WAN_OK;
}

// "46001" -> 460/1, "001101" -> 1/101: the first three digits are the
// MCC, the rest the MNC, so an operatorNumeric of this module round-trips.
// No text, or one without leading digits, names no operator: 0/0. The
// member's form lets only none, five or six leading digits through.
void splitOperator(const char *text, int *mcc, int *mnc)
{
    *mcc = 0;
    *mnc = 0;
    for (int i = 0; text != NULL && text[i] >= '0' && text[i] <= '9'; i++) {
        int d = text[i] - '0';
        if (i < 3)
            *mcc = *mcc * 10 + d;
        else
            *mnc = *mnc * 10 + d;
    }
}

int setSelectionMode(const Request &request, cJSON *)
{
    NetSelRequest sel;
    memset(&sel, 0, sizeof(sel));
    sel.mode = request.number("networkSelectionMode");
    splitOperator(request.text("selectedOperator"), &sel.mcc, &sel.mnc);
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

int searchNetworks(const Request &, cJSON *)
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

int getSelectionStatus(const Request &, cJSON *response)
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

int getReason(const Request &, cJSON *response)
{
    unsigned int reason = 0;
    if (!GetCallFailReason(&reason))
        return fail(WAN_FAILED, "Get the call fail reason information failed.");
    addNumber(response, "callFailReason", reason);
    return WAN_OK;
}

int cancelSearch(const Request &, cJSON *response)
{
    __android_log_print(ANDROID_LOG_INFO, kTag, "Now try to abort network scanning ...");
    int code = MOBILE_CODE_OK;
    if (!AbortScanNet(&code))
        return fail(WAN_FAILED, "Abort scanning network failed.");
    int state = 0;
    return addSelectionStatus(response, &state);
}

int updateIsp(const Request &, cJSON *response)
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

int addProfileAction(const Request &request, cJSON *)
{
    return addProfile(request, false);
}

int addWizardProfile(const Request &request, cJSON *)
{
    return addProfile(request, true);
}

#ifdef KAL_CONTRACT_TEXT
// A connection profile as the profile codec reads it: the IPv4 keys for
// PDP types 0 and 2, the IPv6 keys for 1.
const Member kProfile[] = {
    anyInt32("profileID", KAL_TEXT("the profile's place in the list")).otherwise(POLICY_TRUE_ONE),
    textOrAbsent("profileName", 1, 0, TEXT_ANY, KAL_TEXT("1 or more bytes, not \"null\"")).cutTo(MOBILE_TEXT_FIELD - 1),
    integer("pdpType", 0, 2, KAL_TEXT("0 IPv4, 1 IPv6, 2 IPv4v6")).otherwise(POLICY_TRUE_ONE),
    integer("ipv4ApnType", 0, 1, KAL_TEXT("0 APN given, 1 none")).otherwise(POLICY_TRUE_ONE),
    textOrAbsent("ipv4Apn", 1, 0, TEXT_ANY, KAL_TEXT("the APN when ipv4ApnType is 0")).cutTo(MOBILE_TEXT_FIELD - 1),
    textOrAbsent("ipv4Username", 0, 0, TEXT_ANY, KAL_TEXT("the APN's user name")).cutTo(MOBILE_TEXT_FIELD - 1),
    textOrAbsent("ipv4Password", 0, 0, TEXT_ANY, KAL_TEXT("the APN's password")).cutTo(MOBILE_TEXT_FIELD - 1),
    integer("ipv4AuthType", 0, 2, KAL_TEXT("0 none, 1 PAP, 2 CHAP")).otherwise(POLICY_TRUE_ONE),
    integer("ipv6ApnType", 0, 1, KAL_TEXT("as ipv4ApnType, for PDP type 1")).otherwise(POLICY_TRUE_ONE),
    textOrAbsent("ipv6Apn", 1, 0, TEXT_ANY, KAL_TEXT("as ipv4Apn")).cutTo(MOBILE_TEXT_FIELD - 1),
    textOrAbsent("ipv6Username", 0, 0, TEXT_ANY, KAL_TEXT("as ipv4Username")).cutTo(MOBILE_TEXT_FIELD - 1),
    textOrAbsent("ipv6Password", 0, 0, TEXT_ANY, KAL_TEXT("as ipv4Password")).cutTo(MOBILE_TEXT_FIELD - 1),
    integer("ipv6AuthType", 0, 2, KAL_TEXT("as ipv4AuthType")).otherwise(POLICY_TRUE_ONE),
};

// The codec judges a profile; this table only says what it reads.
constexpr Member profileMember(Member m)
{
    return m.otherwise(POLICY_LEAVE_OUT).outOfRange(POLICY_LEAVE_OUT);
}

const Member kProfileAsRead[] = {
    profileMember(kProfile[0]), profileMember(kProfile[1]),  profileMember(kProfile[2]),  profileMember(kProfile[3]),
    profileMember(kProfile[4]), profileMember(kProfile[5]),  profileMember(kProfile[6]),  profileMember(kProfile[7]),
    profileMember(kProfile[8]), profileMember(kProfile[9]),  profileMember(kProfile[10]), profileMember(kProfile[11]),
    profileMember(kProfile[12]),
};
#endif

const Member kProfileSettings[] = {
    DOCUMENTED_LIST("list", INT_MAX, kProfileAsRead, KAL_TEXT("profiles; only the first is read"))
        .otherwise(POLICY_AS_SENT),
    integer("defaultProfile", 0, MOBILE_MAX_PROFILES, KAL_TEXT("how many default profiles come first"))
        .otherwise(POLICY_TRUE_ONE)
        .outOfRange(POLICY_LEAVE_OUT),
};

// Each setting absent or out of range is left out, the request answered.
const Member kSetConfig[] = {
    integer("dataSwitchStatus", 0, 1, KAL_TEXT("mobile data off (0) or on (1)"))
        .otherwise(POLICY_TRUE_ONE)
        .outOfRange(POLICY_LEAVE_OUT),
    integer("roamingEnabled", 0, 1, KAL_TEXT("roaming off (0) or on (1)")).otherwise(POLICY_TRUE_ONE).outOfRange(POLICY_LEAVE_OUT),
    object("profileSettings", kProfileSettings, KAL_TEXT("a profile to edit (user) or select (default); it becomes the active one"))
        .otherwise(POLICY_LEAVE_OUT)
        .outOfRange(POLICY_LEAVE_OUT),
    integer("networkPreferredMode", 0, 3, KAL_TEXT("preferred network mode"))
        .otherwise(POLICY_TRUE_ONE)
        .outOfRange(POLICY_LEAVE_OUT),
};

const Member kProfileRequest[] = {
    // The profile codec and the action judge what it holds.
    object("profileSettings", kProfileSettings, KAL_TEXT("the profile, first of \"list\""))
        .otherwise(POLICY_LEAVE_OUT)
        .documentedOnly(),
};

const Member kSelection[] = {
    anyInt32("networkSelectionMode", KAL_TEXT("0 automatic, 1 manual; the service judges it"))
        .required()
        .otherwise(POLICY_TRUE_ONE)
        .logs("Set network selection mode args invalid."),
    textOrAbsent("selectedOperator", 0, 0, TEXT_OPERATOR, KAL_TEXT("operatorNumeric: three-digit MCC, then the MNC; only the leading digits are read"))
        .otherwise(POLICY_REFUSE)
        .logs("Set network selection mode args invalid."),
};

// The request's "action" and what it runs.
const ModuleAction kWanActions[] = {
    action(0, getConfig, KAL_TEXT("read the settings and profiles"), KAL_TEXT("dataSwitchStatus:integer roamingEnabled:integer networkPreferredMode:integer connectStatus:integer networkSelectionMode:integer profileSettings:{list:[{profileID:integer profileName:text pdpType:integer ipv4ApnType:integer ipv4Apn:text ipv4Username:text ipv4Password:text ipv4AuthType:integer ipv6ApnType?:integer ipv6Apn?:text ipv6Username?:text ipv6Password?:text ipv6AuthType?:integer}] defaultProfile:integer activeProfile:integer} cardType:integer ispVersion:text isp_need_local_update:boolean"))
        .named("WAN_ACTION_GET_CFG")
        .result(WAN_OK, KAL_TEXT("ok: the settings and profiles; with no profile stored, the list holds one placeholder named \"NONE\", without the IPv6 members"))
        .result(WAN_FAILED, KAL_TEXT("failed: the modem could not be read; the members read before it"), REPLY_SO_FAR),
    action(1, setConfig, KAL_TEXT("change settings"), KAL_TEXT(""), kSetConfig)
        .named("WAN_ACTION_SET_CFG")
        .result(WAN_OK, KAL_TEXT("ok: changed"))
        .result(WAN_FAILED, KAL_TEXT("failed: the modem failed"))
        .result(WAN_REFUSED, KAL_TEXT("refused: settings refused by the modem (no unlocked SIM card)")),
    action(2, addProfileAction, KAL_TEXT("add a profile"), KAL_TEXT(""), kProfileRequest)
        .named("WAN_ACTION_ADD_PROF")
        .result(WAN_OK, KAL_TEXT("ok: added"))
        .result(WAN_FAILED, KAL_TEXT("failed: no usable profile, or the modem failed")),
    action(3, deleteProfile, KAL_TEXT("delete a user profile"), KAL_TEXT(""), kProfileRequest)
        .named("WAN_ACTION_DEL_PROF")
        .result(WAN_OK, KAL_TEXT("ok: deleted"))
        .result(WAN_FAILED, KAL_TEXT("failed: no profile named, a default or unknown profile, or the modem failed")),
    action(6, getConnState, KAL_TEXT("connection state"), KAL_TEXT("connectStatus:integer"))
        .named("WAN_ACTION_GET_CONN_STAT")
        .result(WAN_OK, KAL_TEXT("ok: the state (1 disconnected, 2 connected)"))
        .result(WAN_FAILED, KAL_TEXT("failed: the state could not be read")),
    action(7, addWizardProfile, KAL_TEXT("add a profile from the set-up wizard and make it active"), KAL_TEXT(""), kProfileRequest)
        .named("WAN_ACTION_ADD_PROF_WZD")
        .result(WAN_OK, KAL_TEXT("ok: added and active"))
        .result(WAN_FAILED, KAL_TEXT("failed: no usable profile, or the modem failed")),
    action(8, setSelectionMode, KAL_TEXT("network selection"), KAL_TEXT(""), kSelection)
        .named("WAN_ACTION_SET_SEL_MODE")
        .result(WAN_OK, KAL_TEXT("ok: selected"))
        .result(WAN_FAILED, KAL_TEXT("failed: bad arguments, an unknown or forbidden operator, or the modem failed"))
        .result(MOBILE_RESULT_BUSY_SEARCHING, KAL_TEXT("busySearching: the modem is searching"))
        .result(MOBILE_RESULT_BUSY_CANCELLING, KAL_TEXT("busyCancelling: the modem is cancelling a search"))
        .result(MOBILE_RESULT_BUSY_REGISTERING, KAL_TEXT("busyRegistering: the modem is registering"))
        .result(MOBILE_RESULT_BUSY_SMS, KAL_TEXT("busySms: an SMS is being sent")),
    action(9, searchNetworks, KAL_TEXT("start an operator search"), KAL_TEXT(""))
        .named("WAN_ACTION_SEARCH_NET")
        .result(WAN_OK, KAL_TEXT("ok: the search started"))
        .result(WAN_FAILED, KAL_TEXT("failed: the modem failed"))
        .result(WAN_BUSY_SMS, KAL_TEXT("busySms: an SMS is being sent")),
    action(10, getSelectionStatus, KAL_TEXT("selection status and the operators found"), KAL_TEXT("networkSelectionStatus:integer operatorList?:[{operatorAlphaShort:text operatorNumeric:text operatorState:text}]"))
        .named("WAN_ACTION_GET_SEL_STAT")
        .result(WAN_OK, KAL_TEXT("ok: the status (0 idle, 4 search result ready), and the operators found when 4"))
        .result(WAN_FAILED, KAL_TEXT("failed: the status or the operators could not be read; the status when it was"), REPLY_SO_FAR),
    action(11, getReason, KAL_TEXT("call failure reason of the modem"), KAL_TEXT("callFailReason:integer"))
        .named("WAN_ACTION_GET_REASON")
        .result(WAN_OK, KAL_TEXT("ok: the reason"))
        .result(WAN_FAILED, KAL_TEXT("failed: the reason could not be read")),
    action(14, cancelSearch, KAL_TEXT("cancel the search"), KAL_TEXT("networkSelectionStatus:integer"))
        .named("WAN_ACTION_CANCEL_SEARCH")
        .result(WAN_OK, KAL_TEXT("ok: cancelled; the status"))
        .result(WAN_FAILED, KAL_TEXT("failed: the modem failed, or the status could not be read")),
    action(15, updateIsp, KAL_TEXT("update the ISP database"), KAL_TEXT("ispVersion:text"))
        .named("WAN_ACTION_UPDATE_ISP")
        .result(WAN_OK, KAL_TEXT("ok: updated; the new version"))
        .result(WAN_FAILED, KAL_TEXT("failed: a bad ISP file, or the version could not be read"))
        .result(WAN_REFUSED, KAL_TEXT("refused: the update failed"))
        .result(WAN_ISP_UNREACHABLE, KAL_TEXT("unreachable: the ISP server cannot be reached")),
};

void trace(ModuleStep step, const MemberRefusal *refusal, const cJSON *)
{
    if (step == STEP_ENTRY)
        __android_log_print(ANDROID_LOG_INFO, kTag, "Enter wanHandler function.");
    // A text that is not UTF-8 is refused before the module looks at what
    // it says: no line for it.
    if (step == STEP_REFUSED && refusal->member->failure != NULL && refusal->reason != REFUSED_NOT_UTF8)
        __android_log_print(ANDROID_LOG_INFO, kTag, "%s", refusal->member->failure);
    if (step == STEP_NO_REQUEST)
        __android_log_print(ANDROID_LOG_INFO, kTag, "Argument invalid.");
    else if (step == STEP_NO_ACTION)
        __android_log_print(ANDROID_LOG_INFO, kTag, "Parse json action failed.");
}

// Every request ends with the mobile service's instance released and the
// action's name ("" when no action ran) and processor time logged.
void finish(const ModuleAction *ran, const Started &started)
{
    ReleaseMobileInstance();
    __android_log_print(ANDROID_LOG_INFO, kTag, "WAN action %s, elapsed %.2fms.", ran != NULL ? ran->name : "",
                        (double)(clock() - started.processor) / 1000000.0 * 1000.0);
}

}  // namespace

KAL_MODULE(wan) = {"wan", actionsOf(kWanActions).tracedBy(trace).finishedBy(finish).answeringMissingAction(), NULL};
