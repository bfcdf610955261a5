// SD card: in its slot while its block devices exist.
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

const char *const kCardDevices[] = {SIM_CARD_DEVICE_PATH, SIM_CARD_PARTITION_PATH};

}  // namespace

int sdcardControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    bool in = argc == 2 && strcmp(argv[1], "in") == 0;
    if (!in && !(argc == 2 && strcmp(argv[1], "out") == 0))
        return say(message, size, CONTROL_REFUSED, "sdcard needs in or out");
    if (!apply)
        return CONTROL_OK;
    for (const char *device : kCardDevices) {
        char path[600];
        if (kalPath(path, sizeof(path), device) != 0)
            return say(message, size, CONTROL_FAILED, "path of %s does not fit", device);
        if (in) {
            if (!simExists(path) && replaceFile(path, "", 0, 0644) != 0)
                return say(message, size, CONTROL_FAILED, "cannot create %s: %s", path, strerror(errno));
        } else {
            int rc = removeFile(path, message, size);
            if (rc != CONTROL_OK)
                return rc;
        }
    }
    return say(message, size, CONTROL_OK, "%s", in ? "SD card in its slot" : "SD card taken out");
}

void sdcardShow(cJSON *out)
{
    char path[600];
    bool cardIn = kalPath(path, sizeof(path), kCardDevices[0]) == 0 && simExists(path);
    cJSON_AddStringToObject(out, "sdcard", cardIn ? "in" : "out");
}
