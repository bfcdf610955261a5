// Wi-Fi manager: reachable, or refusing every connection.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/sim_files.h"
#include "sim/sim_state_files.h"

namespace {

const char kUnreachableFile[] = SIM_WLAN_UNREACHABLE_FILE;

}  // namespace

int wifiControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    bool reachable = argc == 2 && strcmp(argv[1], "reachable") == 0;
    if (!reachable && !(argc == 2 && strcmp(argv[1], "unreachable") == 0))
        return say(message, size, CONTROL_REFUSED, "wifi needs reachable or unreachable");
    if (!apply)
        return CONTROL_OK;
    int rc;
    if (reachable) {
        char path[600];
        rc = statePath(path, sizeof(path), kUnreachableFile, message, size);
        if (rc == CONTROL_OK)
            rc = removeFile(path, message, size);
    } else {
        rc = writeState(kUnreachableFile, "", 0, 0644, message, size);
    }
    return rc == CONTROL_OK
               ? say(message, size, CONTROL_OK, "%s", reachable ? "Wi-Fi manager reachable" : "Wi-Fi manager refuses every connection")
               : rc;
}

void wifiShow(cJSON *out)
{
    char path[600];
    bool unreachable = simStatePath(path, sizeof(path), kUnreachableFile) == 0 && simExists(path);
    cJSON_AddStringToObject(out, "wifi", unreachable ? "unreachable" : "reachable");
}
