// "wlan": the access point's basic settings (name, region, band, channel,
// mode, security, isolation).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "modules/wlan/wlan_client.h"
#include "modules/wlan/wlan_regions.h"
#include "platform/android_log.h"
#include "platform/config_store.h"
#include "platform/device_paths.h"
#include "platform/replace_file.h"
#include "server/handler.h"
#include "server/modules.h"
#include "server/utils.h"

namespace {

const int kMixedModeBand1 = 6;
const int kMixedModeOther = 5;
const int kChannelNoHt40 = 165;

timer_t g_wlanTimer;

bool printableText(const char *text, size_t minLen, size_t maxLen)
{
    size_t len = strlen(text);
    if (len < minLen || len > maxLen)
        return false;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

bool hexText(const char *text, size_t len)
{
    if (strlen(text) != len)
        return false;
    for (size_t i = 0; i < len; i++) {
        char c = text[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex)
            return false;
    }
    return true;
}

// A passphrase of 8 to 63 printable characters or a 64-digit hex key.
bool validKey(const char *key)
{
    return strlen(key) == 64 ? hexText(key, 64) : printableText(key, 8, 63);
}

void writeTimeZone(const char *zone)
{
    char path[512];
    memset(path, 0, sizeof(path));
    if (kalPath(path, sizeof(path), TIMEZONE_FILE_PATH) != 0)
        return;
    replaceFile(path, zone, strlen(zone), 0644);
}

int getWlan(cJSON *, cJSON *response)
{
    WLOG("Get wlan config\n");
    SYSLOG(ANDROID_LOG_INFO, "Get wlan config");
    cJSON_AddItemToObject(response, "ssid", cJSON_CreateString(wlan_setting.ssid));
    cJSON_AddItemToObject(response, "ssidBcast", cJSON_CreateBool(wlan_setting.ssid_broadcast != 0));

    char region[8];
    memset(region, 0, sizeof(region));
    copyText(region, wlan_setting.region, sizeof(region));
    char buf[8];
    if (configText(PI_PRODUCT_REGION, buf, sizeof(buf)) && strcmp(buf, "UN") == 0) {
        WLOG("PI_PRODUCT_REGION: %s", buf);
        if (configText(WLAN_FACTORY_FLAG, buf, sizeof(buf)) && atoi(buf) == 1) {
            WLOG("WLAN_FACTORY_FLAG: %s", buf);
            copyText(region, "NONE", sizeof(region));
        }
    }
    cJSON_AddItemToObject(response, "region", cJSON_CreateString(region));

    char expect[8];
    bool read = configText(MOBILE_STAT_REGION, expect, sizeof(expect));
    WLOG("MOBILE_STAT_REGION: %s", expect);
    bool useExpect = read && strcmp(expect, "null") != 0;
    cJSON_AddItemToObject(response, "expectRegion", cJSON_CreateString(useExpect ? expect : ""));

    cJSON_AddItemToObject(response, "bandType", cJSON_CreateNumber(wlan_setting.band_type));
    cJSON_AddItemToObject(response, "channel", cJSON_CreateNumber(wlan_setting.channel));
    cJSON_AddItemToObject(response, "wirelessMode", cJSON_CreateNumber(wlan_setting.wireless_mode));
    cJSON_AddItemToObject(response, "securityMode", cJSON_CreateNumber(wlan_setting.security_mode));
    cJSON_AddItemToObject(response, "apIsolation", cJSON_CreateBool(wlan_setting.ap_isolation != 0));
    cJSON *mixed = cJSON_CreateObject();
    cJSON_AddItemToObject(mixed, "mode", cJSON_CreateNumber(wlan_setting.encryption));
    cJSON_AddItemToObject(mixed, "key", cJSON_CreateString(wlan_setting.key));
    cJSON_AddItemToObject(response, "mixed", mixed);
    WLOG("Get Wlan config success\n");
    return 0;
}

// Logs why a set is refused; 1.
int reject(const char *why)
{
    logWlanFailure(why);
    return 1;
}

// Security members. 0, or 1 after the rejection has been logged.
int applySecurity(cJSON *request)
{
    // Only a number says open or secured: "1" or true counting as open
    // would open the network by mistake.
    cJSON *item = cJSON_GetObjectItem(request, "securityMode");
    if (item != NULL && !requestNumber(item, INT32_MIN, INT32_MAX, &wlan_setting.security_mode))
        return reject("security mode invalid!!");
    if (wlan_setting.security_mode == 0) {
        memset(wlan_setting.key, 0, sizeof(wlan_setting.key));
        return 0;
    }
    cJSON *mixed = cJSON_GetObjectItem(request, "mixed");
    if (mixed != NULL) {
        cJSON *mode = cJSON_GetObjectItem(mixed, "mode");
        if (mode == NULL) {
            wlan_setting.encryption = WLAN_CIPHER_AUTO;
        } else {
            if (!requestInt(mode, WLAN_CIPHER_TKIP, WLAN_CIPHER_CCMP, &wlan_setting.encryption))
                return reject("wpa encryption invalid!!");
        }
        const char *key = memberString(mixed, "key");
        if (key != NULL) {
            if (!validKey(key))
                return reject("wpa key invalid!!");
            copyText(wlan_setting.key, key, sizeof(wlan_setting.key));
        }
    }
    // A secured network needs a usable key, whether it came with this
    // request or was already configured; an open network switched to
    // secured without one could never come up.
    if (!validKey(wlan_setting.key))
        return reject("wpa key invalid!!");
    return 0;
}

int setWlan(cJSON *request)
{
    WLOG("To set wlan config...\n");
    SYSLOG(ANDROID_LOG_INFO, "To set wlan config...");

    // Every number is checked before the first change to the record.
    int bandType = 0, channel = 0, wirelessMode = 0;
    bool hasBand = cJSON_HasObjectItem(request, "bandType");
    bool hasChannel = cJSON_HasObjectItem(request, "channel");
    bool hasMode = cJSON_HasObjectItem(request, "wirelessMode");
    if (!memberInt(request, "bandType", INT32_MIN, INT32_MAX, &bandType) ||
        !memberInt(request, "channel", INT32_MIN, INT32_MAX, &channel) ||
        !memberInt(request, "wirelessMode", INT32_MIN, INT32_MAX, &wirelessMode))
        return reject("wlan number out of range!!");

    const char *ssid = memberString(request, "ssid");
    if (ssid != NULL) {
        if (!printableText(ssid, 1, 32))
            return reject("SSID invalid!!");
        copyText(wlan_setting.ssid, ssid, sizeof(wlan_setting.ssid));
    }
    memberSwitch(request, "ssidBcast", &wlan_setting.ssid_broadcast);

    int regionChanged = 0;
    int factoryFlag = 0;
    const WlanRegion *zone = NULL;
    const char *region = memberString(request, "region");
    if (region != NULL && !isUtf8(region))
        return reject("region invalid!!");
    if (region != NULL && strcmp(region, wlan_setting.region) != 0) {
        if (strcmp(region, "NONE") == 0) {
            factoryFlag = 1;
        } else {
            memset(wlan_setting.region, 0, sizeof(wlan_setting.region));
            copyText(wlan_setting.region, region, 3);
            zone = findWlanRegion(region);
            regionChanged = 1;
        }
    }

    int bandChanged = 0;
    if (hasBand && bandType != wlan_setting.band_type) {
        wlan_setting.band_type = bandType;
        bandChanged = 1;
    }
    if (hasChannel) {
        wlan_setting.channel = channel;
    } else if (bandChanged || regionChanged) {
        WLOG("Change to ACS\n");
        SYSLOG(ANDROID_LOG_INFO, "Change to ACS");
        wlan_setting.channel = 0;
    }
    if (hasMode) {
        wlan_setting.wireless_mode = wirelessMode;
    } else if (bandChanged) {
        WLOG("Change wireless mode to mixed\n");
        SYSLOG(ANDROID_LOG_INFO, "Change wireless mode to mixed");
        wlan_setting.wireless_mode = wlan_setting.band_type == 1 ? kMixedModeBand1 : kMixedModeOther;
    }
    wlan_setting.ht40 = wlan_setting.channel == kChannelNoHt40 ? 0 : 1;

    if (applySecurity(request) != 0)
        return 1;
    memberSwitch(request, "apIsolation", &wlan_setting.ap_isolation);

    if (storeWlanSetting("0") != 0)
        return 1;
    // The time zone follows the region only once the region is stored, so
    // a rejected request leaves the clock alone.
    if (zone != NULL)
        writeTimeZone(zone->timezone);
    const char *flag = factoryFlag ? "1" : "0";
    if (set_config_data_permanent(WLAN_FACTORY_FLAG, flag, 1) != 0)
        WLOG("Set wlan factory flag failed");
    if (webTimerSet(&g_wlanTimer, kRestartDelayMs, restartWlanHandler) < 0) {
        logWlanFailure("webTimerSet error!!");
        return -1;  // saved, but the restart is not scheduled
    }
    return 0;
}

int setAction(cJSON *request, cJSON *)
{
    return wlanSetAnswer(setWlan(request));
}

const ModuleAction kWlanActions[] = {
    {0, getWlan},
    {1, setAction},
};

void trace(ModuleStep step)
{
    traceWlanStep(step, "wlanHandler", ANDROID_LOG_ERROR);
}

}  // namespace

int wlanHandler(cJSON *request, cJSON *response)
{
    return runModule(request, response, {kWlanActions, ACTION_COUNT(kWlanActions), prepareWlanSetting, trace, false, false});
}
