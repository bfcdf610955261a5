// "macFilters": the access point's MAC deny list and its switch.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "common/text.h"
#include "modules/wlan/wlan_client.h"
#include "platform/android_log.h"
#include "platform/config_store.h"
#include "server/handler.h"
#include "server/web_timer.h"

namespace {

// The only filter mode: a deny list.
const int kDenyListMode = 1;
const int kDescriptionMax = 32;

timer_t g_macFiltersTimer;
char g_clientMac[18];
int g_clientMacSize = (int)sizeof(g_clientMac);

int getFilters(const Request &, cJSON *response)
{
    WLOG("Get mac filters...\n");
    cJSON_AddItemToObject(response, "enable", cJSON_CreateBool(wlan_setting.mac_acl_enable != 0));
    cJSON_AddItemToObject(response, "mode", cJSON_CreateNumber(kDenyListMode));
    memset(g_clientMac, 0, sizeof(g_clientMac));
    g_clientMacSize = (int)sizeof(g_clientMac);
    if (getClientMac(g_clientMac, &g_clientMacSize) != 0)
        WLOG("get client mac failed\n");
    g_clientMac[sizeof(g_clientMac) - 1] = '\0';
    WLOG("mac_addr: %s", g_clientMac);
    if (g_clientMac[0] != '\0')
        cJSON_AddItemToObject(response, "clientMac", cJSON_CreateString(g_clientMac));
    if (wlan_setting.mac_acl_count > 0 && wlan_setting.mac_acl_list != NULL) {
        cJSON *list = cJSON_CreateArray();
        for (int i = 0; i < wlan_setting.mac_acl_count; i++) {
            const wlan_mac_entry *entry = &wlan_setting.mac_acl_list[i];
            cJSON *obj = cJSON_CreateObject();
            cJSON_AddItemToObject(obj, "mac", cJSON_CreateString(entry->mac));
            cJSON_AddItemToObject(obj, "description", cJSON_CreateString(entry->description));
            cJSON_AddItemToArray(list, obj);
        }
        cJSON_AddItemToObject(response, "denyList", list);
    }
    return 0;
}

// Builds the new deny list into wlan_setting. 0, or 1 after logging why.
int takeDenyList(const Request &request)
{
    free(wlan_setting.mac_acl_list);
    wlan_setting.mac_acl_list = NULL;
    wlan_setting.mac_acl_count = 0;
    int n = request.size("denyList");
    if (n <= 0)
        return 0;
    wlan_mac_entry *list = (wlan_mac_entry *)calloc((size_t)n, sizeof(wlan_mac_entry));
    if (list == NULL) {
        // "No enough", and kept so: the device's tools and logs know it.
        WLOG("MAC filters: No enough memory!!\n");
        return 1;
    }
    wlan_setting.mac_acl_list = list;
    wlan_setting.mac_acl_count = n;
    for (int i = 0; i < n; i++) {
        Request element = request.nested("denyList", i);
        copyText(list[i].mac, element.text("mac"), sizeof(list[i].mac));
        for (int j = 2; j < 17; j += 3)
            list[i].mac[j] = ':';
        if (element.has("description"))
            copyText(list[i].description, element.text("description"), kDescriptionMax + 1);
    }
    return 0;
}

// Logs the new switch against the current one; 1 when they differ.
int switchChange(const Request &request)
{
    if (!request.has("enable"))
        return 0;
    int value = request.number("enable") ? WLAN_MAC_ACL_ON : 0;
    WLOG("mac_acl_enable: %d\n", value);
    WLOG("wlan_setting.mac_acl_enable: %d\n", wlan_setting.mac_acl_enable);
    if (value == wlan_setting.mac_acl_enable)
        return 0;
    wlan_setting.mac_acl_enable = value;
    return 1;
}

// 0 on success, 1 when rejected, -1 when saved but not restarted.
int setFilters(const Request &request)
{
    WLOG("To set mac filters...\n");
    int changed = switchChange(request);
    if (request.number("mode") != kDenyListMode)
        return 0;
    if (takeDenyList(request) != 0)
        return 1;
    if (storeWlanSetting("1") != 0)
        return 1;
    WLOG("enable_changed: %d\n", changed);
    if (changed && webTimerSet(&g_macFiltersTimer, kRestartDelayMs, restartWlanHandler) < 0) {
        logWlanFailure("restartWlan error!!");
        return -1;
    }
    return 0;
}

int setAction(const Request &request, cJSON *)
{
    return wlanSetAnswer(setFilters(request));
}

const Member kEntry[] = {
    textOrAbsent("mac", 0, 0, TEXT_MAC, KAL_TEXT("aa:bb:cc:dd:ee:ff or with '-' throughout; stored with ':'"))
        .required()
        .otherwise(POLICY_REFUSE),
    textOrAbsent("description", 0, 0, TEXT_ANY, KAL_TEXT("what the entry is"))
        .cutTo(kDescriptionMax)
        .otherwise(POLICY_ZERO),
};

const Member kSetMembers[] = {
    onOff("enable", KAL_TEXT("the filter on (true) or off")),
    integer("mode", INT_MIN, INT_MAX, KAL_TEXT("1, the deny list; any other value changes nothing"))
        .otherwise(POLICY_TRUE_ONE)
        .byDefault(kDenyListMode),
    list("denyList", WLAN_MAC_ACL_MAX, kEntry, KAL_TEXT("the whole new list; absent: empty"))
        .otherwise(POLICY_REFUSE)
        .readWhile("mode"),
};

const ModuleAction kMacFiltersActions[] = {
    wlanReadResults(action(0, getFilters, KAL_TEXT("read the filter and its deny list"), KAL_TEXT("enable:boolean mode:integer clientMac?:text denyList?:[{mac:text description:text}]")),
                    KAL_TEXT("ok: the filter; \"clientMac\" when the requesting client is known, \"denyList\" when not empty")),
    wlanChangeResults(action(1, setAction, KAL_TEXT("replace the deny list and the switch; Wi-Fi restarts 2 s after the reply when the switch changed"), KAL_TEXT(""), kSetMembers),
                      KAL_TEXT("ok: stored (\"mode\" other than 1: nothing changed)"),
                      KAL_TEXT("refused: a member invalid, the settings unreadable or not stored; nothing stored")),
};

// Why a set is refused, in the words of the check that refused it.
void logRefusal(const MemberRefusal &refusal, const cJSON *request)
{
    WLOG("To set mac filters...\n");
    Request values;
    readMembers(request, kSetMembers, 1, &values, NULL);
    switchChange(values);
    const char *name = refusal.member->name;
    if (strcmp(name, "mode") == 0) {
        WLOG("MAC filters: mode out of range!!\n");
    } else if (strcmp(name, "denyList") == 0 && refusal.reason == REFUSED_TYPE) {
        WLOG("MAC filters: denyList is not an array!!\n");
    } else if (strcmp(name, "denyList") == 0) {
        WLOG("MAC filters: %d entries, at most %d allowed!!\n", cJSON_GetArraySize(refusal.item), WLAN_MAC_ACL_MAX);
    } else if (strcmp(name, "mac") == 0) {
        const char *text = cJSON_IsString(refusal.item) ? refusal.item->valuestring : NULL;
        WLOG("MAC address[index:%d]:%s invalid!!\n", refusal.element, text != NULL ? text : "");
    } else {
        WLOG("MAC description[index:%d] is not UTF-8!!\n", refusal.element);
    }
}

void trace(ModuleStep step, const MemberRefusal *refusal, const cJSON *request)
{
    if (step == STEP_REFUSED)
        logRefusal(*refusal, request);
    traceWlanStep(step, "macFiltersHandler", 0);
}

}  // namespace

KAL_MODULE(macFilters) = {"macFilters", actionsOf(kMacFiltersActions).preparedBy(prepareWlanSetting).tracedBy(trace).refusingWithEmptyObject(), NULL};
