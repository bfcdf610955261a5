// "macFilters": the access point's MAC deny list and its switch.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "modules/wlan/wlan_client.h"
#include "platform/android_log.h"
#include "platform/config_store.h"
#include "server/handler.h"
#include "server/modules.h"
#include "server/utils.h"

namespace {

// The only filter mode: a deny list.
const int kDenyListMode = 1;
const int kDescriptionMax = 32;

timer_t g_macFiltersTimer;
char g_clientMac[18];
int g_clientMacSize = (int)sizeof(g_clientMac);

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Six two-digit hex groups with one separator, ':' or '-', used throughout.
bool validMac(const char *text)
{
    if (text == NULL || strlen(text) != 17)
        return false;
    char sep = text[2];
    if (sep != ':' && sep != '-')
        return false;
    for (int i = 0; i < 17; i++) {
        if (i % 3 == 2) {
            if (text[i] != sep)
                return false;
        } else if (!isHex(text[i])) {
            return false;
        }
    }
    return true;
}

int getFilters(cJSON *, cJSON *response)
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
int takeDenyList(cJSON *denyList)
{
    free(wlan_setting.mac_acl_list);
    wlan_setting.mac_acl_list = NULL;
    wlan_setting.mac_acl_count = 0;
    if (denyList == NULL)
        return 0;
    int n = cJSON_GetArraySize(denyList);
    if (n > WLAN_MAC_ACL_MAX) {
        // Bounded so the list stays usable and its GET reply fits a datagram.
        WLOG("MAC filters: %d entries, at most %d allowed!!\n", n, WLAN_MAC_ACL_MAX);
        return 1;
    }
    if (n <= 0)
        return 0;
    wlan_mac_entry *list = (wlan_mac_entry *)calloc((size_t)n, sizeof(wlan_mac_entry));
    if (list == NULL) {
        WLOG("MAC filters: No enough memory!!\n");
        return 1;
    }
    wlan_setting.mac_acl_list = list;
    wlan_setting.mac_acl_count = n;
    for (int i = 0; i < n; i++) {
        cJSON *element = cJSON_GetArrayItem(denyList, i);
        const char *text = memberString(element, "mac");
        // An element without an address is as unusable as a malformed one.
        if (!validMac(text)) {
            WLOG("MAC address[index:%d]:%s invalid!!\n", i, text != NULL ? text : "");
            return 1;
        }
        copyText(list[i].mac, text, sizeof(list[i].mac));
        for (int j = 2; j < 17; j += 3)
            list[i].mac[j] = ':';
        const char *description = memberString(element, "description");
        if (description != NULL && !isUtf8(description)) {
            WLOG("MAC description[index:%d] is not UTF-8!!\n", i);
            return 1;
        }
        if (description != NULL)
            copyUtf8Prefix(list[i].description, sizeof(list[i].description), description, kDescriptionMax);
    }
    return 0;
}

// 0 on success, 1 when rejected, -1 when saved but not restarted.
int setFilters(cJSON *request)
{
    WLOG("To set mac filters...\n");
    int changed = 0;
    int enable = 0;
    if (memberSwitch(request, "enable", &enable)) {
        int value = enable ? WLAN_MAC_ACL_ON : 0;
        WLOG("mac_acl_enable: %d\n", value);
        WLOG("wlan_setting.mac_acl_enable: %d\n", wlan_setting.mac_acl_enable);
        if (value != wlan_setting.mac_acl_enable) {
            wlan_setting.mac_acl_enable = value;
            changed = 1;
        }
    }
    cJSON *mode = cJSON_GetObjectItem(request, "mode");
    int modeValue = kDenyListMode;
    if (mode != NULL && !requestInt(mode, INT_MIN, INT_MAX, &modeValue)) {
        WLOG("MAC filters: mode out of range!!\n");
        return 1;
    }
    if (modeValue != kDenyListMode)
        return 0;
    cJSON *denyList = cJSON_GetObjectItem(request, "denyList");
    if (denyList != NULL && !cJSON_IsArray(denyList)) {
        WLOG("MAC filters: denyList is not an array!!\n");
        return 1;
    }
    if (takeDenyList(denyList) != 0)
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

int setAction(cJSON *request, cJSON *)
{
    return wlanSetAnswer(setFilters(request));
}

const ModuleAction kMacFiltersActions[] = {
    {0, getFilters},
    {1, setAction},
};

void trace(ModuleStep step)
{
    traceWlanStep(step, "macFiltersHandler", 0);
}

}  // namespace

int macFiltersHandler(cJSON *request, cJSON *response)
{
    return runModule(request, response,
                     {kMacFiltersActions, ACTION_COUNT(kMacFiltersActions), prepareWlanSetting, trace, false, false});
}
