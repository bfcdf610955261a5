// Simulated state control service: reboot, power-off and factory restore
// requests are recorded in <root>/sim/state_requests; a factory restore
// also puts the configuration store, the LAN record and the uci packages
// back to their factory state. Nothing touches the host.
#include "platform/state_control.h"

#include <stdio.h>

#include "common/diagnostics.h"
#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_getter.h"
#include "sim/sim_lock.h"

namespace {

const char kJournal[] = "state_requests";

}  // namespace

extern "C" int send_reboot_req(void)
{
    return simServe(SIM_SERVICE_STATE_CONTROL, -1, [&] {
        return simJournalAppend(kJournal, "reboot");
    });
}

extern "C" int send_poweroff_req(void)
{
    return simServe(SIM_SERVICE_STATE_CONTROL, -1, [&] {
        return simJournalAppend(kJournal, "poweroff");
    });
}

extern "C" int send_restore_req(void)
{
    return simServe(SIM_SERVICE_STATE_CONTROL, -1, [&] {
        return simLocked(-1, [&] {
            int result = 0;
            if (simConfigRestoreFactory() != 0 || simLanRestoreFactory() != 0 || simUciRestoreFactory() != 0) {
                diagLine("simulated state control: factory restore incomplete");
                result = -1;
            }
            if (simJournalAppend(kJournal, result == 0 ? "restore" : "restore failed") != 0)
                result = -1;
            return result;
        });
    });
}
