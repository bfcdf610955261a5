// "reboot" and "restoreDefaults": hand power and factory-restore requests
// to the state control service and answer at once.
#include <cjson/cJSON.h>

#include "platform/state_control.h"
#include "server/handler.h"
#include "server/modules.h"

namespace {

const ModuleAction kRebootActions[] = {
    action(0, notifyAction<send_reboot_req>, KAL_TEXT("restart the device")),
    action(1, notifyAction<send_poweroff_req>, KAL_TEXT("power the device off")),
};

const ModuleAction kRestoreActions[] = {
    action(0, notifyAction<send_restore_req>, KAL_TEXT("restore the factory settings")),
};

}  // namespace

int rebootHandler(cJSON *request, cJSON *response)
{
    return runModule(request, response, kRebootActions);
}

int restoreDefaultsHandler(cJSON *request, cJSON *response)
{
    return runModule(request, response, kRestoreActions);
}
