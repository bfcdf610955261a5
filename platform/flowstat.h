// Flow statistics service: traffic counters and speeds of the mobile data
// link. Only the receive speed is declared so far; the flow statistics
// module extends this interface with the counters and limits it needs.
#pragma once

extern "C" {
// Current receive speed. 0 when it was read, non-zero otherwise.
int getRxSpeed(unsigned long *speed);
}
