// Start-up of the simulated device: check the root, create the device
// directories, seed factory state and put the stand-in tools on PATH.
#include "sim/sim_clock.h"
#include "sim/sim_start.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/device_paths.h"
#include "common/diagnostics.h"
#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_files.h"
#include "sim/sim_lock.h"
#include "sim/sim_state_files.h"

#ifndef KAL_SIM_BIN_DIR
#define KAL_SIM_BIN_DIR "/usr/lib/kal-sim/bin"
#endif

namespace {

// Device directories that exist on a real device.
const char *const kDeviceDirs[] = {
    "/tmp/run",
    SYSLOG_DIR_PATH,
    SIM_APP_CONFIG_DIR_PATH,
    UCI_DEFAULT_CONFIG_DIR_PATH,
    SIM_ZONEINFO_DIR_PATH,
    BLOCK_DEVICE_DIR_PATH,
    SIM_STATE_DIR_PATH,
};

// Directories whose files are replaced through temporary files: a write
// cut short by a crash leaves its temporary behind, removed at the next
// start. kal_sim and the stand-in tools write there too, but only while
// they hold the device's lock, which start-up holds meanwhile.
const char *const kReplacedDirs[] = {
    SIM_STATE_DIR_PATH,
    SIM_STATE_DIR_PATH "/config",
    SIM_STATE_DIR_PATH "/mobile",
    SIM_STATE_DIR_PATH "/wlan",
    SIM_STATE_DIR_PATH "/network",
    SIM_STATE_DIR_PATH "/flowstat",
    SIM_STATE_DIR_PATH "/upgrade",
    SIM_APP_CONFIG_DIR_PATH,
    UCI_DEFAULT_CONFIG_DIR_PATH,
    UCI_CONFIG_DIR_PATH,
};

struct SeedStep {
    const char *what;
    int (*seed)(void);
};

const SeedStep kSeedSteps[] = {
    {"configuration store", simConfigSeed},
    {"log buffers", simLogSeed},
    {"mobile service", simMobileSeed},
    {"ISP update service", simIspSeed},
    {"flow statistics", simFlowstatSeed},
    {"network manager", simNetworkSeed},
    {"SD card", simSdcardSeed},
    {"LAN record", simLanSeed},
    {"uci packages", simUciSeed},
    {"upgrade service", simUpgradeSeed},
    {"Wi-Fi manager", simWlanSeed},
};

int putToolsOnPath(void)
{
    const char *bin = getenv("KAL_SIM_BIN");
    if (bin == NULL || bin[0] == '\0')
        bin = KAL_SIM_BIN_DIR;
    const char *path = getenv("PATH");
    if (path == NULL || path[0] == '\0')
        path = "/usr/local/bin:/usr/bin:/bin";
    char buf[4096];
    memset(buf, 0, sizeof(buf));
    int n = snprintf(buf, sizeof(buf), "%s:%s", bin, path);
    if (n < 0 || (size_t)n >= sizeof(buf))
        return -1;
    // The stand-ins find the device root through the environment.
    if (setenv("PATH", buf, 1) != 0 || setenv("KAL_ROOT", kalRoot(), 1) != 0)
        return -1;
    return 0;
}

int cleanAndSeed(void)
{
    for (const char *dir : kReplacedDirs) {
        char path[512];
        if (kalPath(path, sizeof(path), dir) == 0)
            simRemoveStaleTemps(path);
    }
    for (const SeedStep &step : kSeedSteps) {
        if (step.seed() != 0) {
            diagPrintf("simulated device: cannot seed the %s under %s%s\n", step.what, kalRoot(),
                   SIM_STATE_DIR_PATH);
            return -1;
        }
    }
    return 0;
}

}  // namespace

int simSeedDevice(void)
{
    for (const char *dir : kDeviceDirs) {
        char path[512];
        if (kalPath(path, sizeof(path), dir) != 0 || simMakeDirs(path, 0755) != 0) {
            diagPrintf("simulated device: cannot create %s%s\n", kalRoot(), dir);
            return -1;
        }
    }
    // The device's own start: no service is unreachable to itself.
    simFaultsSuspend();
    int rc = simLocked(-1, cleanAndSeed);
    simFaultsResume();
    return rc;
}

int platformStart(void)
{
    if (kalPathInit() != 0)
        return -1;
    if (kalRoot()[0] == '\0') {
        diagLine("simulated device: KAL_ROOT is not set; point it at a directory for the device's "
             "files (scripts/run uses sim-root/)");
        return -1;
    }
    if (simSeedDevice() != 0)
        return -1;
    if (putToolsOnPath() != 0) {
        diagLine("simulated device: cannot put the stand-in tools on PATH");
        return -1;
    }
    return 0;
}

void platformBeforeRequest(void)
{
    simFollowStoredZone();
    simFaultsNewRequest();
}

int platformWakeFd(void)
{
    return simZoneWatchFd();
}

void platformWake(void)
{
    simZoneWatchRead();
}
