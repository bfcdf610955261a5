// "reboot" and "restoreDefaults": hand power and factory-restore requests
// to the state control service and answer at once.
#include <cjson/cJSON.h>

#include "platform/state_control.h"
#include "server/handler.h"
#include "server/modules.h"

namespace {

enum {
    REBOOT_RESTART = 0,
    REBOOT_POWER_OFF = 1,
};

enum {
    RESTORE_FACTORY = 0,
};

int restart(cJSON *, cJSON *)
{
    send_reboot_req();
    return 0;
}

int powerOff(cJSON *, cJSON *)
{
    send_poweroff_req();
    return 0;
}

int restoreFactory(cJSON *, cJSON *)
{
    send_restore_req();
    return 0;
}

const ModuleAction kRebootActions[] = {
    {REBOOT_RESTART, restart},
    {REBOOT_POWER_OFF, powerOff},
};

const ModuleAction kRestoreActions[] = {
    {RESTORE_FACTORY, restoreFactory},
};

}  // namespace

int rebootHandler(cJSON *request, cJSON *response)
{
    return runModule(request, response, {kRebootActions, ACTION_COUNT(kRebootActions), NULL, NULL, false});
}

int restoreDefaultsHandler(cJSON *request, cJSON *response)
{
    return runModule(request, response, {kRestoreActions, ACTION_COUNT(kRestoreActions), NULL, NULL, false});
}
