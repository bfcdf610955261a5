// State control service: reboot, power-off and factory restore. Each call
// only hands the request over; the service acts on it in its own time.
#pragma once

extern "C" {
int send_reboot_req(void);
int send_poweroff_req(void);
int send_restore_req(void);
}
