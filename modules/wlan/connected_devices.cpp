// "connectedDevices": the stations associated with the access point, as the
// Wi-Fi manager describes them.
#include <string.h>

#include <cjson/cJSON.h>

#include "modules/wlan/wlan_client.h"
#include "platform/android_log.h"
#include "server/modules.h"

namespace {

enum {
    CONNECTED_DEVICES_LIST = 0,
};

// Fits the manager's largest list and keeps the reply inside one datagram.
const int kStationListSize = 1600;
const char kTag[] = "WLAN";

#define WLOG(...) __android_log_print(ANDROID_LOG_INFO, kTag, __VA_ARGS__)

int listStations(cJSON *response)
{
    WLOG("Get Connected Devices\n");
    char buffer[kStationListSize];
    memset(buffer, 0, sizeof(buffer));
    int size = kStationListSize;
    if (getOnlineStationList(buffer, &size) != 0) {
        WLOG("get wlan station list failed\n");
        return 1;
    }
    buffer[sizeof(buffer) - 1] = '\0';
    cJSON *stations = cJSON_Parse(buffer);
    if (stations == NULL) {
        WLOG("data is null;\n");
        return 1;
    }
    cJSON_AddItemToObject(response, "STAs", stations);
    return 0;
}

}  // namespace

int wlanConnectedDevicesHandler(cJSON *request, cJSON *response)
{
    WLOG("wlanConnectedDevicesHandler Entry\n");
    if (request == NULL || response == NULL) {
        WLOG("wlanConnectedDevicesHandler: req or resp NULL.");
        return 1;
    }
    cJSON *action = cJSON_GetObjectItem(request, "action");
    if (action == NULL) {
        WLOG("wlanConnectedDevicesHandler: tmp CJSON obj NULL.");
        return 1;
    }
    int result = 1;
    switch (action->valueint) {
    case CONNECTED_DEVICES_LIST:
        result = listStations(response);
        break;
    default:
        result = 1;
        break;
    }
    cJSON_AddItemToObject(response, "result", cJSON_CreateNumber(result));
    WLOG("wlanConnectedDevicesHandler Leave\n");
    return result;
}
