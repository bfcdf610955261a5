// Faults on demand: a platform service of the simulated device that fails
// every call, as it would when unreachable, or answers each call late.
// They are kept in <root>/sim/faults, one line per service:
//
//   mobile fail
//   flowstat slow 1500
//
// and read by the stand-ins at each call (a stat, and a reread only when
// the file changed), so a change applies from the server's next call on.
#pragma once

#include <stddef.h>

enum SimService {
    SIM_SERVICE_CONFIG_STORE,
    SIM_SERVICE_MOBILE,
    SIM_SERVICE_WLAN_MANAGER,
    SIM_SERVICE_FLOWSTAT,
    SIM_SERVICE_UPGRADE,
    SIM_SERVICE_VERIFIER,
    SIM_SERVICE_NETWORK_MANAGER,
    SIM_SERVICE_STATE_CONTROL,
    SIM_SERVICE_ISP_UPDATE,
    SIM_SERVICE_TIME,
    SIM_SERVICE_COUNT,
};

#define SIM_FAULTS_FILE "faults"
// A slow service answers at most this late.
#define SIM_FAULT_MAX_DELAY_MS 10000

enum SimFaultKind {
    SIM_FAULT_NONE = 0,
    SIM_FAULT_FAIL = 1,
    SIM_FAULT_SLOW = 2,
};

struct SimFault {
    int kind;     // SimFaultKind
    int delayMs;  // of a slow one, 0 to SIM_FAULT_MAX_DELAY_MS
};

// The service's name in faults and in kal_sim ("wlan-manager"), or null.
const char *simServiceName(int service);
// The service of a name, or -1.
int simServiceByName(const char *name);

// At the start of every call of a platform service: waits out a slow
// fault, then answers whether the call fails. False while suspended. A
// slow service delays a request once: its first call within the request
// waits (and prints one line saying so), the later ones answer at once.
// Where no request begins (a program calling the stand-ins directly),
// every call waits.
bool simServiceFails(SimService service);

// A request begins (the server calls it through platformBeforeRequest).
void simFaultsNewRequest(void);

// The simulated device's own work (start-up seeding, kal_sim and the
// console's controls) reaches the services without their faults, within
// the calling thread, until resumed. Nests.
void simFaultsSuspend(void);
void simFaultsResume(void);

// Reads the faults file into faults[SIM_SERVICE_COUNT]; a missing file
// holds none. 0, or -1 when it cannot be read.
int simFaultsRead(SimFault faults[SIM_SERVICE_COUNT]);

// Replaces the faults file with faults (removed when none is set); the
// caller holds the device's lock. 0 or -1.
int simFaultsWrite(const SimFault faults[SIM_SERVICE_COUNT]);
