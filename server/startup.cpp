// Start-up work that is the server's own, whatever platform it runs on.
#include <stdio.h>

#include "common/device_paths.h"
#include "common/diagnostics.h"
#include "common/replace_file.h"
#include "server/server.h"

namespace {

// Files the modules replace whole (the rest of the device's state belongs to
// the platform components, which clean up after themselves).
const char *const kReplacedFiles[] = {
    TIMEZONE_FILE_PATH,
    TEMP_TIMEZONE_FILE_PATH,
};

}  // namespace

int serverStart(void)
{
    if (kalPathInit() != 0)
        return -1;
    // Only this process writes these files, and it has just started. A
    // leftover that stays harms nothing but disk space: say so and go on.
    for (const char *file : kReplacedFiles) {
        char path[512];
        if (kalPath(path, sizeof(path), file) != 0 || replaceFileCleanup(path) != 0)
            diagPrintf("cannot remove the leftover temporary file of %s%s\n", kalRoot(), file);
    }
    return 0;
}
