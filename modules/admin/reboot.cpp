// "reboot" and "restoreDefaults": hand power and factory-restore requests
// to the state control service and answer at once.
#include <cjson/cJSON.h>

#include "platform/state_control.h"
#include "server/modules.h"

namespace {

enum {
    REBOOT_RESTART = 0,
    REBOOT_POWER_OFF = 1,
};

enum {
    RESTORE_FACTORY = 0,
};

}  // namespace

int rebootHandler(cJSON *request, cJSON *response)
{
    if (request == NULL || response == NULL)
        return 1;
    cJSON *action = cJSON_GetObjectItem(request, "action");
    if (action == NULL)
        return 1;
    int result = 0;
    switch ((unsigned int)action->valueint) {
    case REBOOT_RESTART:
        send_reboot_req();
        break;
    case REBOOT_POWER_OFF:
        send_poweroff_req();
        break;
    default:
        result = 1;
        break;
    }
    cJSON_AddItemToObject(response, "result", cJSON_CreateNumber(result));
    return result;
}

int restoreDefaultsHandler(cJSON *request, cJSON *response)
{
    if (request == NULL || response == NULL)
        return 1;
    cJSON *action = cJSON_GetObjectItem(request, "action");
    if (action == NULL)
        return 1;
    int result = 0;
    switch ((unsigned int)action->valueint) {
    case RESTORE_FACTORY:
        send_restore_req();
        break;
    default:
        result = 1;
        break;
    }
    cJSON_AddItemToObject(response, "result", cJSON_CreateNumber(result));
    return result;
}
