// "status": factory flag, device information, battery, network, Wi-Fi,
// stations, unread messages and SD card, read at the moment of the request.
// An unreadable source takes its default and logs one line; the reply is
// always complete.
#include "modules/status/status.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/device_paths.h"
#include "common/text.h"
#include "platform/android_log.h"
#include "platform/config_store.h"
#include "platform/mobile_client.h"
#include "platform/wlan_manager.h"
#include "server/command_output.h"
#include "server/handler.h"

#define STATUS_LOG(text) __android_log_print(ANDROID_LOG_INFO, "STATUS", "%s", text)

namespace {

const char kSmsCountRequest[] = "{\"module\":\"message\",\"action\":8}";
const char kSdcardDevice[] = "mmcblk0";

// Bounded append: dst keeps at most size - 1 characters.
void appendText(char *dst, const char *src, size_t size)
{
    size_t len = strlen(dst);
    if (len < size)
        copyText(dst + len, src, size - len);
}

// A SIM text the mobile service puts from the second byte of a 64-byte
// buffer; "0" there means none. Left empty, after a log line, when the
// service cannot say.
void simText(int (*get)(char *), char *out, size_t size, const char *failure)
{
    char buffer[64];
    memset(buffer, 0, sizeof(buffer));
    if (get(buffer) != 1) {
        STATUS_LOG(failure);
        return;
    }
    buffer[sizeof(buffer) - 1] = '\0';
    if (strcmp(buffer + 1, "0") != 0)
        copyText(out, buffer + 1, size);
}

void fillDeviceInfo(cJSON *info)
{
    char name[32], region[16], hardware[16], hardwareVer[64];
    memset(hardwareVer, 0, sizeof(hardwareVer));
    if (!configText(CFG_PRODUCT_NAME, name, sizeof(name)))
        STATUS_LOG("Failed to get product name\n");
    else if (!configText(PI_PRODUCT_REGION, region, sizeof(region)))
        STATUS_LOG("Failed to get product region\n");
    else if (!configText(CFG_HARDWARE_VERSION, hardware, sizeof(hardware)))
        STATUS_LOG("Failed to get hardware version\n");
    else
        formatHardwareVersion(hardwareVer, sizeof(hardwareVer), name, region, hardware);

    char firmware[64], build[64], firmwareVer[64];
    memset(firmwareVer, 0, sizeof(firmwareVer));
    if (!configText(CFG_FIRMWARE_VERSION, firmware, sizeof(firmware))) {
        STATUS_LOG("Failed to get firmware version\n");
    } else if (!configText(CFG_FIRMWARE_BUILD, build, sizeof(build))) {
        STATUS_LOG("Failed to get firmware ver build\n");
        copyText(firmwareVer, firmware, sizeof(firmwareVer));
    } else {
        copyText(firmwareVer, firmware, sizeof(firmwareVer));
        appendText(firmwareVer, " ", sizeof(firmwareVer));
        appendText(firmwareVer, build, sizeof(firmwareVer));
    }

    char mac[18];
    if (!configText(CFG_MAC_ADDRESS, mac, sizeof(mac))) {
        copyText(mac, "00-00-00-00-00-00", sizeof(mac));
        STATUS_LOG("Failed to get mac address\n");
    }
    char imei[16];
    if (!configText(CFG_IMEI, imei, sizeof(imei)))
        STATUS_LOG("Failed to get IMEI\n");

    char number[32], imsi[16];
    memset(number, 0, sizeof(number));
    memset(imsi, 0, sizeof(imsi));
    simText(GetSimNumber, number, sizeof(number), "Failed to get phone number\n");
    simText(GetSimIMSI, imsi, sizeof(imsi), "Failed to get imsi\n");
    char productId[16];
    if (!configText(CFG_PRODUCT_ID, productId, sizeof(productId)))
        STATUS_LOG("Failed to get product id\n");

    cJSON_AddItemToObject(info, "model", cJSON_CreateString(name));
    cJSON_AddItemToObject(info, "hardwareVer", cJSON_CreateString(hardwareVer));
    cJSON_AddItemToObject(info, "firmwareVer", cJSON_CreateString(firmwareVer));
    cJSON_AddItemToObject(info, "mac", cJSON_CreateString(mac));
    cJSON_AddItemToObject(info, "imei", cJSON_CreateString(imei));
    cJSON_AddItemToObject(info, "simNumber", cJSON_CreateString(number));
    cJSON_AddItemToObject(info, "imsi", cJSON_CreateString(imsi));
    cJSON_AddItemToObject(info, "productID", cJSON_CreateString(productId));
}

void fillBattery(cJSON *battery)
{
    char value[4];
    bool connected = false, charging = false;
    int level = 0;
    if (!configText(CFG_BATTERY_HEALTH, value, 2))
        STATUS_LOG("Failed to get battery health state\n");
    else
        connected = strcmp(value, "5") != 0;
    if (!configText(CFG_BATTERY_CHARGING, value, 2))
        STATUS_LOG("Failed to get battery charging state\n");
    else
        charging = strcmp(value, "1") == 0;
    if (!configText(CFG_BATTERY_LEVEL, value, sizeof(value)))
        STATUS_LOG("Failed to get power level\n");
    else
        level = batteryLevel(value);
    cJSON_AddItemToObject(battery, "connected", cJSON_CreateBool(connected));
    cJSON_AddItemToObject(battery, "charging", cJSON_CreateBool(charging));
    cJSON_AddItemToObject(battery, "voltage", cJSON_CreateNumber(level));
}

void fillWlan(cJSON *wlan)
{
    intptr_t handle = wm_connect(WM_STATE_SOCKET_PATH, WM_SERVER_SOCKET_PATH);
    if (handle == 0) {
        STATUS_LOG("Failed to wm_connect\n");
        return;
    }
    int sw = 0;
    if (wm_get_wlan_switch(handle, &sw) != 0) {
        STATUS_LOG("Failed to get wlan switch\n");
        sw = 0;
    }
    wlan_mgr_config *config = NULL;
    if (wm_get_wlan_config(handle, &config) == 0 && config != NULL) {
        char region[WMC_COUNTRY_CODE_SIZE + 1], ssid[WMC_SSID_SIZE + 1], flag[8];
        wmcGetText(config, WMC_COUNTRY_CODE, WMC_COUNTRY_CODE_SIZE, region, sizeof(region));
        if (configText(WLAN_FACTORY_FLAG, flag, sizeof(flag)) && atoi(flag) == 1)
            copyText(region, "NONE", sizeof(region));
        wmcGetText(config, WMC_SSID, WMC_SSID_SIZE, ssid, sizeof(ssid));
        cJSON_AddItemToObject(wlan, "region", cJSON_CreateString(region));
        cJSON_AddItemToObject(wlan, "enable", cJSON_CreateNumber(sw));
        cJSON_AddItemToObject(wlan, "channel", cJSON_CreateNumber(wmcGetInt(config, WMC_CHANNEL)));
        cJSON_AddItemToObject(wlan, "ssid", cJSON_CreateString(ssid));
        cJSON_AddItemToObject(wlan, "mode", cJSON_CreateNumber(wmcGetInt(config, WMC_WPA)));
        cJSON_AddItemToObject(wlan, "bandType", cJSON_CreateNumber(wmcGetInt(config, WMC_BAND_TYPE)));
    } else {
        STATUS_LOG("Failed to get wlan config\n");
        cJSON_AddItemToObject(wlan, "enable", cJSON_CreateNumber(sw));
        cJSON_AddItemToObject(wlan, "channel", cJSON_CreateNumber(0));
        cJSON_AddItemToObject(wlan, "ssid", cJSON_CreateString(""));
        cJSON_AddItemToObject(wlan, "region", cJSON_CreateString(""));
        cJSON_AddItemToObject(wlan, "mode", cJSON_CreateNumber(0));
        cJSON_AddItemToObject(wlan, "bandType", cJSON_CreateNumber(0));
    }
    cJSON_AddItemToObject(wlan, "disableWPS", cJSON_CreateTrue());
    cJSON_AddItemToObject(wlan, "disable5G", cJSON_CreateTrue());
    if (config != NULL)
        wlan_mgr_free_config(&config);
    wm_disconnect(handle);
}

void fillConnectedDevices(cJSON *devices)
{
    int count = 0;
    intptr_t handle = wm_connect(WM_STATE_SOCKET_PATH, WM_SERVER_SOCKET_PATH);
    if (handle == 0) {
        STATUS_LOG("Failed to wm_connect\n");
    } else {
        if (wm_get_wlan_sta_num(handle, &count) != 0) {
            STATUS_LOG("Failed to get wlan sta num\n");
            count = 0;
        }
        wm_disconnect(handle);
    }
    cJSON_AddItemToObject(devices, "number", cJSON_CreateNumber(count));
}

void fillMessages(cJSON *message)
{
    char reply[SMS_COUNT_REPLY_SIZE];
    memset(reply, 0, sizeof(reply));
    SmsHandler(kSmsCountRequest, reply);
    // Nothing past the buffer is read, terminated or not.
    reply[sizeof(reply) - 1] = '\0';
    int count = 0;
    cJSON *parsed = cJSON_Parse(reply);
    cJSON *item = cJSON_GetObjectItem(parsed, "count");
    if (cJSON_IsNumber(item))
        count = item->valueint;
    else
        STATUS_LOG("Failed to get unread sms count\n");
    cJSON_Delete(parsed);
    cJSON_AddItemToObject(message, "unreadMessages", cJSON_CreateNumber(count));
}

void fillSdcard(cJSON *sdcard)
{
    char blockDir[KAL_ROOT_MAX + 20];
    if (kalPath(blockDir, sizeof(blockDir), BLOCK_DEVICE_DIR_PATH) != 0)
        blockDir[0] = '\0';
    char command[256], output[128];
    memset(command, 0, sizeof(command));
    memset(output, 0, sizeof(output));
    snprintf(command, sizeof(command), "ls %s | grep %s", blockDir, kSdcardDevice);
    getCommandOutput(command, output, sizeof(output));
    int present = output[0] != '\0' ? 1 : 0;

    char value[2];
    int mode = 0;
    if (!configText(CFG_SD_ACCESS_MODE, value, sizeof(value)))
        STATUS_LOG("Failed to get sd card access mode\n");
    else
        mode = atoi(value);

    char sizes[256], volume[16], used[16], left[16];
    char dfCommand[512];
    memset(sizes, 0, sizeof(sizes));
    memset(volume, 0, sizeof(volume));
    memset(used, 0, sizeof(used));
    memset(left, 0, sizeof(left));
    memset(dfCommand, 0, sizeof(dfCommand));
    snprintf(dfCommand, sizeof(dfCommand),
             "busybox df | busybox grep %s/%s | busybox head -1 | busybox awk '{print $2, $3, $4}'",
             blockDir, kSdcardDevice);
    if (getCommandOutput(dfCommand, sizes, sizeof(sizes)) == 1)
        splitDiskSizes(sizes, volume, used, left, sizeof(volume));

    cJSON_AddItemToObject(sdcard, "status", cJSON_CreateNumber(present));
    cJSON_AddItemToObject(sdcard, "mode", cJSON_CreateNumber(mode));
    cJSON_AddItemToObject(sdcard, "volume", cJSON_CreateString(volume));
    cJSON_AddItemToObject(sdcard, "used", cJSON_CreateString(used));
    cJSON_AddItemToObject(sdcard, "left", cJSON_CreateString(left));
}

struct Section {
    const char *key;
    void (*fill)(cJSON *section);
};

void fillWan(cJSON *wan)
{
    fillWanStatus(wan);
}

const Section kSections[] = {
    {"deviceInfo", fillDeviceInfo},
    {"battery", fillBattery},
    {"wan", fillWan},
    {"wlan", fillWlan},
    {"connectedDevices", fillConnectedDevices},
    {"message", fillMessages},
    {"sdcard", fillSdcard},
};

int getDashboard(const Request &, cJSON *response)
{
    char flag[2];
    bool factory = false;
    if (!configText(CFG_FACTORY_DEFAULT_FLAG, flag, sizeof(flag)))
        STATUS_LOG("get factory default status failed");
    else
        factory = strcmp(flag, "0") == 0;
    cJSON_AddItemToObject(response, "factoryDefault", cJSON_CreateBool(factory));
    for (const Section &s : kSections) {
        cJSON *section = cJSON_CreateObject();
        if (section == NULL)
            return 1;
        s.fill(section);
        cJSON_AddItemToObject(response, s.key, section);
    }
    return 0;
}

}  // namespace

void formatHardwareVersion(char *out, size_t size, const char *name, const char *region,
                           const char *version)
{
    char text[64];
    memset(text, 0, sizeof(text));
    copyText(text, name, sizeof(text));
    appendText(text, "(", sizeof(text));
    appendText(text, region, sizeof(text));
    appendText(text, ") v", sizeof(text));
    appendText(text, version, sizeof(text));
    copyText(out, text, size);
}

int batteryLevel(const char *text)
{
    int level = atoi(text);
    return level > 100 || level < 0 ? 0 : level;
}

void splitDiskSizes(const char *text, char *volume, char *used, char *left, size_t size)
{
    memset(volume, 0, size);
    memset(used, 0, size);
    memset(left, 0, size);
    const char *space = strchr(text, ' ');
    size_t n = space != NULL ? (size_t)(space - text) : strlen(text);
    if (n > size - 1)
        n = size - 1;
    memcpy(volume, text, n);
    if (space == NULL)
        return;
    const char *rest = space + 1;
    space = strchr(rest, ' ');
    n = space != NULL ? (size_t)(space - rest) : strlen(rest);
    if (n > size - 1)
        n = size - 1;
    memcpy(used, rest, n);
    if (space != NULL)
        copyText(left, space + 1, size);
}

// The dashboard's sections; "wlan" is empty when the Wi-Fi manager cannot
// be reached.
#define STATUS_HEAD "factoryDefault:boolean deviceInfo:{model:text hardwareVer:text firmwareVer:text mac:text imei:text simNumber:text imsi:text productID:text} battery:{connected:boolean charging:boolean voltage:integer} wan:{connectStatus:integer ipv4:text dns1v4:text dns2v4:text ipv6:text dns1v6:text dns2v6:text networkType:integer roaming:integer signalStrength:integer registerStatus:integer dualIPVersionSupport:boolean roamingEnabled:boolean totalStatistics:text dailyStatistics:text enablePaymentDay:boolean txSpeed:text rxSpeed:text dataLimit:integer simStatus:integer operatorName:text}"
#define STATUS_WLAN "wlan:{region:text enable:integer channel:integer ssid:text mode:integer bandType:integer disableWPS:boolean disable5G:boolean}"
#define STATUS_TAIL " connectedDevices:{number:integer} message:{unreadMessages:integer} sdcard:{status:integer mode:integer volume:text used:text left:text}"

const ModuleAction kStatusActions[] = {
    action(0, getDashboard, KAL_TEXT("the dashboard: the whole device at the moment of the request"), KAL_TEXT(STATUS_HEAD " " STATUS_WLAN STATUS_TAIL))
        .result(0, KAL_TEXT("ok: the dashboard; an unreadable source takes its default"))
        .resultWith(0, KAL_TEXT("ok: the dashboard without the Wi-Fi manager"), KAL_TEXT(STATUS_HEAD " wlan:{}" STATUS_TAIL))
        .result(1, KAL_TEXT("failed: out of memory; the sections so far"), REPLY_SO_FAR),
};

KAL_MODULE(status) = {"status", actionsOf(kStatusActions), NULL};
