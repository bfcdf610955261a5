// "wlan": the access point's basic settings (name, region, band, channel,
// mode, security, isolation).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "common/text.h"
#include "modules/wlan/wlan_client.h"
#include "modules/wlan/wlan_regions.h"
#include "platform/android_log.h"
#include "platform/config_store.h"
#include "server/handler.h"
#include "server/web_timer.h"

namespace {

const int kMixedModeBand1 = 6;
const int kMixedModeOther = 5;
const int kChannelNoHt40 = 165;

timer_t g_wlanTimer;

void writeTimeZone(const char *zone)
{
    char path[512];
    memset(path, 0, sizeof(path));
    if (kalPath(path, sizeof(path), TIMEZONE_FILE_PATH) != 0)
        return;
    replaceFile(path, zone, strlen(zone), 0644);
}

int getWlan(const Request &, cJSON *response)
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
int applySecurity(const Request &request)
{
    if (request.has("securityMode"))
        wlan_setting.security_mode = request.number("securityMode");
    if (wlan_setting.security_mode == 0) {
        memset(wlan_setting.key, 0, sizeof(wlan_setting.key));
        return 0;
    }
    if (request.has("mixed")) {
        Request mixed = request.nested("mixed");
        wlan_setting.encryption = mixed.has("mode") ? mixed.number("mode") : WLAN_CIPHER_AUTO;
        if (mixed.has("key"))
            copyText(wlan_setting.key, mixed.text("key"), sizeof(wlan_setting.key));
    }
    // A secured network needs a usable key, whether it came with this
    // request or was already configured; an open network switched to
    // secured without one could never come up.
    if (strlen(wlan_setting.key) == 64 ? !isHexText(wlan_setting.key, 64)
                                       : strlen(wlan_setting.key) < 8 || !isPrintableText(wlan_setting.key))
        return reject("wpa key invalid!!");
    return 0;
}

int setWlan(const Request &request)
{
    WLOG("To set wlan config...\n");
    SYSLOG(ANDROID_LOG_INFO, "To set wlan config...");
    if (request.has("ssid"))
        copyText(wlan_setting.ssid, request.text("ssid"), sizeof(wlan_setting.ssid));
    if (request.has("ssidBcast"))
        wlan_setting.ssid_broadcast = request.number("ssidBcast");

    int regionChanged = 0;
    int factoryFlag = 0;
    const WlanRegion *zone = NULL;
    const char *region = request.text("region");
    if (request.has("region") && strcmp(region, wlan_setting.region) != 0) {
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
    if (request.has("bandType") && request.number("bandType") != wlan_setting.band_type) {
        wlan_setting.band_type = request.number("bandType");
        bandChanged = 1;
    }
    if (request.has("channel")) {
        wlan_setting.channel = request.number("channel");
    } else if (bandChanged || regionChanged) {
        WLOG("Change to ACS\n");
        SYSLOG(ANDROID_LOG_INFO, "Change to ACS");
        wlan_setting.channel = 0;
    }
    if (request.has("wirelessMode")) {
        wlan_setting.wireless_mode = request.number("wirelessMode");
    } else if (bandChanged) {
        WLOG("Change wireless mode to mixed\n");
        SYSLOG(ANDROID_LOG_INFO, "Change wireless mode to mixed");
        wlan_setting.wireless_mode = wlan_setting.band_type == 1 ? kMixedModeBand1 : kMixedModeOther;
    }
    wlan_setting.ht40 = wlan_setting.channel == kChannelNoHt40 ? 0 : 1;

    if (applySecurity(request) != 0)
        return 1;
    if (request.has("apIsolation"))
        wlan_setting.ap_isolation = request.number("apIsolation");

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

int setAction(const Request &request, cJSON *)
{
    return wlanSetAnswer(setWlan(request));
}

const Member kMixed[] = {
    integer("mode", WLAN_CIPHER_TKIP, WLAN_CIPHER_AUTO,
            KAL_TEXT("cipher: 0 TKIP, 1 CCMP+TKIP, 2 CCMP, 3 automatic; absent while \"mixed\" is given: 3"))
        .otherwise(POLICY_TRUE_ONE)
        .logs("wpa encryption invalid!!"),
    textOrAbsent("key", 8, 64, TEXT_WPA_KEY, KAL_TEXT("8 to 63 printable characters, or 64 hex digits"))
        .logs("wpa key invalid!!"),
};

// Numbers first: they are checked before anything else. Band, channel and
// mode go to the Wi-Fi manager as they come.
const Member kSetMembers[] = {
    anyInt32("bandType", KAL_TEXT("band; 1 pairs with wireless mode 6, any other with 5"))
        .otherwise(POLICY_TRUE_ONE)
        .logs("wlan number out of range!!"),
    anyInt32("channel", KAL_TEXT("channel, 0 automatic; absent with a new band or region: automatic"))
        .otherwise(POLICY_TRUE_ONE)
        .logs("wlan number out of range!!"),
    anyInt32("wirelessMode", KAL_TEXT("wireless mode; absent with a new band: that band's mixed mode"))
        .otherwise(POLICY_TRUE_ONE)
        .logs("wlan number out of range!!"),
    textOrAbsent("ssid", 1, 32, TEXT_PRINTABLE, KAL_TEXT("network name, printable ASCII")).logs("SSID invalid!!"),
    onOff("ssidBcast", KAL_TEXT("broadcast the network name")),
    textOrAbsent("region", 0, 0, TEXT_REGION, KAL_TEXT("upper-case letters, the first two stored as the region (a whole known code sets the time zone), or \"NONE\""))
        .logs("region invalid!!"),
    anyInt32("securityMode", KAL_TEXT("0 open, any other value secured (needs a usable key); absent: unchanged"))
        .currentWhenAbsent()
        .logs("security mode invalid!!"),
    object("mixed", kMixed, KAL_TEXT("cipher and key; absent: the stored cipher and key are kept; not read while the network stays open"))
        .otherwise(POLICY_ZERO)
        .readUnlessZero("securityMode"),
    onOff("apIsolation", KAL_TEXT("isolate the stations from each other")),
};

const ModuleAction kWlanActions[] = {
    wlanReadResults(action(0, getWlan, KAL_TEXT("read the access point's settings"), KAL_TEXT("ssid:text ssidBcast:boolean region:text expectRegion:text bandType:integer channel:integer wirelessMode:integer securityMode:integer apIsolation:boolean mixed:{mode:integer key:text}")),
                    KAL_TEXT("ok: the settings")),
    wlanChangeResults(action(1, setAction, KAL_TEXT("change the settings given, every member optional; Wi-Fi restarts 2 s after the reply"), KAL_TEXT(""), kSetMembers),
                      KAL_TEXT("ok: stored"),
                      KAL_TEXT("refused: a member invalid, no usable key for a secured network, the settings unreadable or not stored; nothing stored")),
};

void trace(ModuleStep step, const MemberRefusal *refusal, const cJSON *)
{
    if (step == STEP_REFUSED) {
        WLOG("To set wlan config...\n");
        SYSLOG(ANDROID_LOG_INFO, "To set wlan config...");
        logWlanFailure(refusal->member->failure);
    }
    traceWlanStep(step, "wlanHandler", ANDROID_LOG_ERROR);
}

}  // namespace

KAL_MODULE(wlan) = {"wlan", actionsOf(kWlanActions).preparedBy(prepareWlanSetting).tracedBy(trace).refusingWithEmptyObject().currentFrom(&wlan_setting.security_mode), NULL};
