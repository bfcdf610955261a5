// Simulated time service: local time in the temporary zone when one is
// recorded and known to the system's zone database, else in the process's
// own zone.
#include "platform/localtime_query.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/device_paths.h"
#include "sim/sim_clock.h"
#include "sim/sim_faults.h"
#include "sim/sim_files.h"

namespace {

struct tm g_result;

}  // namespace

extern "C" struct tm *localtime_query(const time_t *when)
{
    if (when == NULL || simServiceFails(SIM_SERVICE_TIME))
        return NULL;
    memset(&g_result, 0, sizeof(g_result));
    char path[512];
    char zone[128];
    memset(zone, 0, sizeof(zone));
    if (kalPath(path, sizeof(path), TEMP_TIMEZONE_FILE_PATH) != 0 || simReadFile(path, zone, sizeof(zone)) < 0 ||
        !simKnownZone(zone))
        return localtime_r(when, &g_result);

    char saved[256];
    memset(saved, 0, sizeof(saved));
    const char *old = getenv("TZ");
    bool hadTz = old != NULL;
    if (hadTz)
        snprintf(saved, sizeof(saved), "%s", old);
    char tz[160];
    memset(tz, 0, sizeof(tz));
    snprintf(tz, sizeof(tz), ":%s", zone);
    setenv("TZ", tz, 1);
    tzset();
    struct tm *result = localtime_r(when, &g_result);
    if (hadTz)
        setenv("TZ", saved, 1);
    else
        unsetenv("TZ");
    tzset();
    return result;
}
