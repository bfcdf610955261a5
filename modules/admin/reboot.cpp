// "reboot" and "restoreDefaults": hand power and factory-restore requests
// to the state control service and answer at once.
#include <cjson/cJSON.h>

#include "platform/state_control.h"
#include "server/handler.h"
#include "server/modules.h"

namespace {

enum { REBOOT_RESTART = 0, REBOOT_POWER_OFF = 1 };

enum { RESTORE_FACTORY = 0 };

const ModuleAction kRebootActions[] = {
    {REBOOT_RESTART, notifyAction<send_reboot_req>},
    {REBOOT_POWER_OFF, notifyAction<send_poweroff_req>},
};

const ModuleAction kRestoreActions[] = {
    {RESTORE_FACTORY, notifyAction<send_restore_req>},
};

}  // namespace

int rebootHandler(cJSON *request, cJSON *response)
{
    return runModule(request, response, {kRebootActions, ACTION_COUNT(kRebootActions), NULL, NULL, false, false});
}

int restoreDefaultsHandler(cJSON *request, cJSON *response)
{
    return runModule(request, response, {kRestoreActions, ACTION_COUNT(kRestoreActions), NULL, NULL, false, false});
}
