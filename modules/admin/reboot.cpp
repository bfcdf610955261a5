// "reboot" and "restoreDefaults": hand power and factory-restore requests
// to the state control service and answer at once.
#include <cjson/cJSON.h>

#include "platform/state_control.h"
#include "server/handler.h"

namespace {

const ModuleAction kRebootActions[] = {
    action(0, notifyAction<send_reboot_req>, KAL_TEXT("restart the device"), KAL_TEXT(""))
        .result(0, KAL_TEXT("ok: handed to the state control service, whatever it answers")),
    action(1, notifyAction<send_poweroff_req>, KAL_TEXT("power the device off"), KAL_TEXT(""))
        .result(0, KAL_TEXT("ok: handed to the state control service, whatever it answers")),
};

const ModuleAction kRestoreActions[] = {
    action(0, notifyAction<send_restore_req>, KAL_TEXT("restore the factory settings"), KAL_TEXT(""))
        .result(0, KAL_TEXT("ok: handed to the state control service, whatever it answers")),
};

}  // namespace


KAL_MODULE(reboot) = {"reboot", actionsOf(kRebootActions), NULL};
KAL_MODULE(restoreDefaults) = {"restoreDefaults", actionsOf(kRestoreActions), NULL};
