// Start-up of the simulated device. On the device the platform components
// run as their own services and the server has nothing to start; only the
// simulated build calls this.
#pragma once

// Checks KAL_ROOT, creates the device directories, seeds factory state and
// puts the stand-in tools on PATH. Returns 0, or -1 after printing one line
// that says what failed.
int platformStart(void);

// Before each request: the simulated device's clock follows the time zone
// stored on it, as the device's does, and a slow service (a fault) delays
// the request that begins once, not each of its calls.
void platformBeforeRequest(void);

// A descriptor the server's wait watches beside its socket (-1: none), and
// what to do when it is readable: changes to the device's stored state that
// platformBeforeRequest then takes up.
int platformWakeFd(void);
void platformWake(void);
