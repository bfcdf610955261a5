// Wi-Fi manager client: load and save of wlan_setting, the connection
// wrappers and the restart expiry functions.
#include "modules/wlan/wlan_client.h"

#include <stdlib.h>
#include <string.h>

#include "common/device_paths.h"
#include "common/text.h"
#include "platform/android_log.h"
#include "platform/config_store.h"
#include "server/web_timer.h"

WlanSetting wlan_setting;

namespace {

intptr_t connectManager(void)
{
    char local[512];
    char server[512];
    memset(local, 0, sizeof(local));
    memset(server, 0, sizeof(server));
    if (kalPath(local, sizeof(local), WM_LOCAL_SOCKET_PATH) != 0 ||
        kalPath(server, sizeof(server), WM_SERVER_SOCKET_PATH) != 0)
        return 0;
    return wm_connect(local, server);
}

// Copies one entry, keeping at most 17 address bytes and 32 description
// bytes (cut at a character boundary) and always terminating both.
void copyEntry(wlan_mac_entry *dst, const wlan_mac_entry *src)
{
    memset(dst, 0, sizeof(*dst));
    char mac[sizeof(src->mac) + 1];
    char description[sizeof(src->description) + 1];
    memset(mac, 0, sizeof(mac));
    memset(description, 0, sizeof(description));
    memcpy(mac, src->mac, sizeof(src->mac));
    memcpy(description, src->description, sizeof(src->description));
    copyText(dst->mac, mac, sizeof(dst->mac));
    copyText(dst->description, description, sizeof(dst->description));
}

// Allocates count zeroed entries copied from src. Returns 0 with *out set
// (null for an empty list), or 1 when memory runs out.
int copyList(const wlan_mac_entry *src, int count, wlan_mac_entry **out)
{
    *out = NULL;
    if (count <= 0 || src == NULL)
        return 0;
    wlan_mac_entry *list = (wlan_mac_entry *)calloc((size_t)count, sizeof(wlan_mac_entry));
    if (list == NULL)
        return 1;
    for (int i = 0; i < count; i++)
        copyEntry(&list[i], &src[i]);
    *out = list;
    return 0;
}

int cipherFromText(const char *pairwise)
{
    if (strcmp(pairwise, "TKIP") == 0)
        return WLAN_CIPHER_TKIP;
    if (strcmp(pairwise, "CCMP TKIP") == 0)
        return WLAN_CIPHER_CCMP_TKIP;
    if (strcmp(pairwise, "CCMP") == 0)
        return WLAN_CIPHER_CCMP;
    return WLAN_CIPHER_AUTO;
}

void reportSecStatus(int status)
{
    if (getWlanwarnLaunch() != 0)
        uci_set_wlan_sec_status(status);
}

// Fills the record's security; the status code for the warning feature,
// or -1 when none is reported.
int saveSecurity(wlan_mgr_config *record)
{
    if (wlan_setting.security_mode == 0) {
        wmcSetInt(record, WMC_WPA, 0);
        wmcSetText(record, WMC_WPA_KEY_MGMT, WMC_WPA_KEY_MGMT_SIZE, "");
        wmcSetText(record, WMC_WPA_PAIRWISE, WMC_WPA_PAIRWISE_SIZE, "");
        wmcSetText(record, WMC_WPA_PSK, WMC_WPA_PSK_SIZE, "");
        wmcSetText(record, WMC_WPA_PASSPHRASE, WMC_WPA_PASSPHRASE_SIZE, "");
        return 0;
    }
    int status = -1;
    wmcSetInt(record, WMC_WPA, 3);
    wmcSetText(record, WMC_WPA_KEY_MGMT, WMC_WPA_KEY_MGMT_SIZE, "WPA-PSK");
    switch (wlan_setting.encryption) {
    case WLAN_CIPHER_TKIP:
        wmcSetText(record, WMC_WPA_PAIRWISE, WMC_WPA_PAIRWISE_SIZE, "TKIP");
        status = 1;
        break;
    case WLAN_CIPHER_CCMP_TKIP:
        wmcSetText(record, WMC_WPA_PAIRWISE, WMC_WPA_PAIRWISE_SIZE, "CCMP TKIP");
        status = 2;
        break;
    case WLAN_CIPHER_CCMP:
        wmcSetText(record, WMC_WPA_PAIRWISE, WMC_WPA_PAIRWISE_SIZE, "CCMP");
        status = 3;
        break;
    default: {
        char pairwise[WMC_WPA_PAIRWISE_SIZE];
        memset(pairwise, 0, sizeof(pairwise));
        wmcGetText(record, WMC_WPA_PAIRWISE, WMC_WPA_PAIRWISE_SIZE, pairwise, sizeof(pairwise));
        if (pairwise[0] != '\0')
            break;  // keep the configured cipher
        if (is_export_product() != 0) {
            wmcSetText(record, WMC_WPA_PAIRWISE, WMC_WPA_PAIRWISE_SIZE, "CCMP TKIP");
        } else {
            wmcSetText(record, WMC_WPA_PAIRWISE, WMC_WPA_PAIRWISE_SIZE, "CCMP");
            status = 3;
        }
        break;
    }
    }
    if (strlen(wlan_setting.key) == 64) {
        wmcSetText(record, WMC_WPA_PSK, WMC_WPA_PSK_SIZE, wlan_setting.key);
        wmcSetText(record, WMC_WPA_PASSPHRASE, WMC_WPA_PASSPHRASE_SIZE, "");
    } else {
        wmcSetText(record, WMC_WPA_PASSPHRASE, WMC_WPA_PASSPHRASE_SIZE, wlan_setting.key);
        wmcSetText(record, WMC_WPA_PSK, WMC_WPA_PSK_SIZE, "");
    }
    return status;
}

typedef int (*ManagerCall)(intptr_t handle, void *arg, int value);

// The common shape of every wrapper: connect, one call, disconnect.
int withManager(ManagerCall call, void *arg, int value, const char *entry, const char *failure,
                const char *leave)
{
    WLOG("%s", entry);
    intptr_t handle = connectManager();
    if (handle == 0) {
        WLOG("socket connect failed\n");
        return 1;
    }
    if (call(handle, arg, value) != 0) {
        WLOG("%s", failure);
        wm_disconnect(handle);
        return 1;
    }
    wm_disconnect(handle);
    WLOG("%s", leave);
    return 0;
}

int callStaList(intptr_t h, void *arg, int value)
{
    char **args = (char **)arg;
    (void)value;
    return wm_get_wlan_sta_list(h, args[0], (int *)args[1]);
}

int callClientMac(intptr_t h, void *arg, int value)
{
    char **args = (char **)arg;
    (void)value;
    return wm_get_wlan_client_mac(h, args[0], (int *)args[1]);
}

int callGetSwitch(intptr_t h, void *arg, int value)
{
    (void)value;
    return wm_get_wlan_switch(h, (int *)arg);
}

int callSetSwitch(intptr_t h, void *arg, int value)
{
    (void)arg;
    return wm_set_wlan_switch(h, value);
}

int callAutoDown(intptr_t h, void *arg, int value)
{
    (void)arg;
    return wm_set_wlan_auto_down_time(h, value);
}

}  // namespace

void clearWlanSetting(void)
{
    free(wlan_setting.mac_acl_list);
    memset(&wlan_setting, 0, sizeof(wlan_setting));
}

int recordToSetting(const wlan_mgr_config *record)
{
    clearWlanSetting();
    wmcGetText(record, WMC_SSID, WMC_SSID_SIZE, wlan_setting.ssid, sizeof(wlan_setting.ssid));
    wlan_setting.ssid_broadcast = wmcGetInt(record, WMC_HIDE_SSID) == 0 ? 1 : 0;
    wmcGetText(record, WMC_COUNTRY_CODE, WMC_COUNTRY_CODE_SIZE, wlan_setting.region,
               sizeof(wlan_setting.region));
    wlan_setting.band_type = wmcGetInt(record, WMC_BAND_TYPE);
    int acs = wmcGetInt(record, WMC_ACS_MODE);
    wlan_setting.channel = (acs >= 1 && acs <= 6) ? 0 : wmcGetInt(record, WMC_CHANNEL);
    wlan_setting.wireless_mode = wmcGetInt(record, WMC_WIRELESS_MODE);
    char text[WMC_HT_CAPAB_SIZE];
    memset(text, 0, sizeof(text));
    wmcGetText(record, WMC_HT_CAPAB, WMC_HT_CAPAB_SIZE, text, sizeof(text));
    wlan_setting.ht40 = strstr(text, "[HT40") != NULL ? 1 : 0;
    wlan_setting.security_mode = wmcGetInt(record, WMC_WPA) != 0 ? 1 : 0;
    memset(text, 0, sizeof(text));
    wmcGetText(record, WMC_WPA_PAIRWISE, WMC_WPA_PAIRWISE_SIZE, text, sizeof(text));
    wlan_setting.encryption = cipherFromText(text);
    memset(text, 0, sizeof(text));
    wmcGetText(record, WMC_WPA_PSK, WMC_WPA_PSK_SIZE, text, sizeof(text));
    if (text[0] == '\0')
        wmcGetText(record, WMC_WPA_PASSPHRASE, WMC_WPA_PASSPHRASE_SIZE, text, sizeof(text));
    copyText(wlan_setting.key, text, sizeof(wlan_setting.key));
    wlan_setting.mac_acl_enable = wmcGetInt(record, WMC_MAC_ACL_MODE);
    wlan_setting.ap_isolation = wmcGetInt(record, WMC_AP_ISOLATE);

    int count = wmcGetInt(record, WMC_MAC_ACL_COUNT);
    const wlan_mac_entry *list = wmcGetAclList(record);
    if (count > 0 && list == NULL)
        count = 0;  // a count without a list is no list
    if (copyList(list, count, &wlan_setting.mac_acl_list) != 0) {
        // "No enough", and kept so: the device's tools and logs know it.
        WLOG("MAC filters: No enough memory!!\n");
        return 1;
    }
    wlan_setting.mac_acl_count = count > 0 ? count : 0;
    return 0;
}

int settingToRecord(wlan_mgr_config *record, int *secStatus)
{
    wmcSetText(record, WMC_SSID, WMC_SSID_SIZE, wlan_setting.ssid);
    wmcSetInt(record, WMC_HIDE_SSID, wlan_setting.ssid_broadcast == 0 ? 1 : 0);
    wmcSetText(record, WMC_COUNTRY_CODE, WMC_COUNTRY_CODE_SIZE, wlan_setting.region);

    int channel = wlan_setting.channel;
    wmcSetInt(record, WMC_CHANNEL, channel);
    wmcSetInt(record, WMC_ACS_MODE, channel == 0 ? 2 : 0);
    wmcSetInt(record, WMC_BAND_TYPE, wlan_setting.band_type);
    wmcSetInt(record, WMC_WIRELESS_MODE, wlan_setting.wireless_mode);

    char country[WMC_COUNTRY_CODE_SIZE];
    memset(country, 0, sizeof(country));
    wmcGetText(record, WMC_COUNTRY_CODE, WMC_COUNTRY_CODE_SIZE, country, sizeof(country));
    int width40 = 0;
    if (wlan_setting.ht40 != 0)
        width40 = channel == 0 ? 1 : get_chan_width_support(country, (uint8_t)channel);
    if (strcmp(country, "JP") == 0 && channel == 14)
        width40 = 0;  // channel 14 is 20 MHz only
    set_ht_cw_capab(width40, record);

    *secStatus = saveSecurity(record);

    int mode = wmcGetInt(record, WMC_MAC_ACL_MODE);
    if (wlan_setting.mac_acl_enable == 0)
        wmcSetInt(record, WMC_MAC_ACL_MODE, 0);
    else if (mode == 0)
        wmcSetInt(record, WMC_MAC_ACL_MODE, WLAN_MAC_ACL_ON);

    free(wmcGetAclList(record));
    wmcSetAclList(record, NULL);
    wmcSetInt(record, WMC_MAC_ACL_COUNT, 0);
    wlan_mac_entry *list = NULL;
    if (copyList(wlan_setting.mac_acl_list, wlan_setting.mac_acl_count, &list) != 0) {
        // "No enough", and kept so: the device's tools and logs know it.
        WLOG("MAC filters: No enough memory!!\n");
        return 1;
    }
    wmcSetAclList(record, list);
    wmcSetInt(record, WMC_MAC_ACL_COUNT, list != NULL ? wlan_setting.mac_acl_count : 0);

    wmcSetInt(record, WMC_WPS_STATE, wlan_setting.wps_enable != 0 ? 2 : 0);
    wmcSetInt(record, WMC_EAP_SERVER, wlan_setting.wps_enable != 0 ? 1 : 0);
    wmcSetInt(record, WMC_AP_ISOLATE, wlan_setting.ap_isolation);
    return 0;
}

int receive_wlan_setting(void)
{
    WLOG("receive_wlan_setting Entry");
    intptr_t handle = connectManager();
    if (handle == 0) {
        WLOG("socket connect failed\n");
        return 1;
    }
    wlan_mgr_config *record = NULL;
    if (wm_get_wlan_config(handle, &record) != 0 || record == NULL) {
        WLOG("Get wlan config failed\n");
        wm_disconnect(handle);
        wlan_mgr_free_config(&record);
        return 1;
    }
    wm_disconnect(handle);
    int rc = recordToSetting(record);
    wlan_mgr_free_config(&record);
    if (rc != 0)
        return 1;
    WLOG("receive_wlan_setting LEAVE");
    return 0;
}

int set_wlan_config(void)
{
    WLOG("set_wlan_config");
    char path[512];
    memset(path, 0, sizeof(path));
    wlan_mgr_config *record = NULL;
    if (kalPath(path, sizeof(path), HOSTAPD_CONF_PATH) == 0)
        wlan_mgr_get_config(&record, path);
    if (record == NULL) {
        WLOG("set wlan config failed\n");
        return 1;  // never save without the file's record as the base
    }
    int secStatus = -1;
    if (settingToRecord(record, &secStatus) != 0) {
        wlan_mgr_free_config(&record);
        return 1;
    }
    intptr_t handle = connectManager();
    if (handle == 0) {
        WLOG("socket connect failed\n");
        wlan_mgr_free_config(&record);
        return 1;
    }
    // The warning feature hears of an open network before it opens and of
    // a secured one once it is saved: a cut in between never has it take
    // an open network for a secured one.
    if (secStatus == 0)
        reportSecStatus(secStatus);
    if (wm_set_wlan_config(handle, record) != 0) {
        WLOG("set wlan config failed\n");
        wlan_mgr_free_config(&record);
        wm_disconnect(handle);
        return 1;
    }
    wm_disconnect(handle);
    wlan_mgr_free_config(&record);
    if (secStatus > 0)
        reportSecStatus(secStatus);
    WLOG("set_wlan_config LEAVE");
    return 0;
}

int getOnlineStationList(char *buffer, int *size)
{
    void *args[2] = {buffer, size};
    return withManager(callStaList, args, 0, "Get online station list Entry",
                       "Get online station list failed\n", "Get online station list Leave");
}

int getClientMac(char *buffer, int *size)
{
    void *args[2] = {buffer, size};
    return withManager(callClientMac, args, 0, "Get client mac Entry", "Get client mac failed\n",
                       "Get client mac list Leave");
}

int getWlanSwitch(int *state)
{
    return withManager(callGetSwitch, state, 0, "Get wlan switch Entry", "Get wlan switch failed\n",
                       "Get wlan switch Leave");
}

int restartWlan(void)
{
    return withManager(callSetSwitch, NULL, WLAN_SWITCH_RESTART, "Restart Wlan Entry",
                       "restart wlan failed\n", "restart Wlan Leave");
}

int restartWlanWithReloadKo(void)
{
    return withManager(callSetSwitch, NULL, WLAN_SWITCH_RESTART_RELOAD_KO,
                       "restartWlanWithReloadKo Entry", "restartWlanWithReloadKo failed\n",
                       "restartWlanWithReloadKo Leave");
}

int setDisableTimer(int time)
{
    return withManager(callAutoDown, NULL, time, "Set disable timer Entry",
                       "Set disable timer failed\n", "Set disable timer Leave");
}

void restartWlanHandler(int signal, siginfo_t *info, void *context)
{
    WLOG("restartWlanHandler() caught signal %d\n", signal);
    restartWlan();
    webTimerDelete(signal, info, context);
}

void restartWlanWithLoadKoHandler(int signal, siginfo_t *info, void *context)
{
    WLOG("restartWlanWithLoadKoHandler() caught signal %d\n", signal);
    restartWlanWithReloadKo();
    webTimerDelete(signal, info, context);
}

void logWlanFailure(const char *why)
{
    WLOG("%s\n", why);
    SYSLOG(ANDROID_LOG_ERROR, "%s", why);
}

void traceWlanStep(ModuleStep step, const char *name, int leavePriority)
{
    bool system = leavePriority != 0;
    switch (step) {
    case STEP_ENTRY:
        WLOG("%s Entry", name);
        if (system)
            SYSLOG(ANDROID_LOG_INFO, "%s Entry", name);
        break;
    case STEP_NO_REQUEST:
        WLOG("pCJSONrequest == NULL || pCJSONresponse == NULL\n");
        if (system)
            SYSLOG(ANDROID_LOG_ERROR, "pCJSONrequest == NULL || pCJSONresponse == NULL");
        break;
    case STEP_NO_ACTION:
        WLOG("pCJSONtmp == NULL\n");
        if (system)
            SYSLOG(ANDROID_LOG_ERROR, "pCJSONtmp == NULL");
        break;
    case STEP_REFUSED:
        break;  // the module logs why
    case STEP_UNDEFINED:
        if (system) {
            WLOG("Error operation!!\n");
            SYSLOG(ANDROID_LOG_ERROR, "Error operation!!");
        }
        break;
    case STEP_LEAVE:
        WLOG("%s LEAVE", name);
        if (system)
            SYSLOG(leavePriority, "%s LEAVE!!", name);
        break;
    }
}

int prepareWlanSetting(cJSON *, int, Prepared *)
{
    WLOG("To get wlan config...\n");
    SYSLOG(ANDROID_LOG_INFO, "To get wlan config...");
    if (receive_wlan_setting() != 0) {
        WLOG("Get wlan config failed\n");
        SYSLOG(ANDROID_LOG_INFO, "Get wlan config failed");
        return kActionRejected;
    }
    return 0;
}

int storeWlanSetting(const char *aclChanged)
{
    if (set_config_data_permanent(WLAN_IS_ACL_CHANGED, aclChanged, 1) != 0)
        WLOG("Set wlan is_acl_changed failed");
    if (set_wlan_config() != 0) {
        WLOG("set config failed\n");
        SYSLOG(ANDROID_LOG_ERROR, "set config failed\n");
        return 1;
    }
    return 0;
}
