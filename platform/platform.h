// Start-up of the platform components the server talks to. On the device
// they run as their own services and this has nothing to do; the simulated
// device prepares its root here.
#pragma once

// Returns 0, or -1 after printing one line that says what failed.
int platformStart(void);
