// "connectedDevices": the stations associated with the access point, as the
// Wi-Fi manager describes them.
#include <string.h>

#include <cjson/cJSON.h>

#include "modules/wlan/wlan_client.h"
#include "platform/android_log.h"
#include "server/handler.h"

namespace {

// Fits the manager's largest list and keeps the reply inside one datagram.
const int kStationListSize = 1600;

int listStations(const Request &, cJSON *response)
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

const ModuleAction kConnectedDevicesActions[] = {
    action(0, listStations, KAL_TEXT("the associated stations, as the Wi-Fi manager describes them"), KAL_TEXT("STAs:[{mac:text ip:text hostname:text}]"))
        .result(0, KAL_TEXT("ok: the stations"))
        .result(1, KAL_TEXT("failed: the manager cannot be reached or gives no valid list")),
};

void trace(ModuleStep step, const MemberRefusal *, const cJSON *)
{
    switch (step) {
    case STEP_ENTRY:
        WLOG("wlanConnectedDevicesHandler Entry\n");
        break;
    case STEP_NO_REQUEST:
        WLOG("wlanConnectedDevicesHandler: req or resp NULL.");
        break;
    case STEP_NO_ACTION:
        WLOG("wlanConnectedDevicesHandler: tmp CJSON obj NULL.");
        break;
    case STEP_UNDEFINED:
    case STEP_REFUSED:
        break;
    case STEP_LEAVE:
        WLOG("wlanConnectedDevicesHandler Leave\n");
        break;
    }
}

}  // namespace

KAL_MODULE(connectedDevices) = {"connectedDevices", actionsOf(kConnectedDevicesActions).tracedBy(trace).refusingWithEmptyObject(), NULL};
