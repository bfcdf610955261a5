// kal_sim: put the simulated device into a state worth testing.
//
//   kal_sim battery 15 --charging
//   kal_sim sim pin-required 2468
//   kal_sim sms receive +15550100 "hello"
//   kal_sim show
//
// Changes the device's state files under $KAL_ROOT; a running kal_server
// sees the change at its next request. Exit status: 0 done, 1 refused or
// failed (one line on standard error says why), 2 usage error.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/device_paths.h"
#include "sim/controls/device_controls.h"

namespace {

void usage(FILE *out)
{
    fprintf(out, "usage: kal_sim CONTROL [VALUES...], on the simulated device under $KAL_ROOT:\n%s",
            deviceControlsUsage());
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
        usage(stdout);
        return 0;
    }
    if (kalPathInit() != 0)
        return 2;
    char message[512];
    memset(message, 0, sizeof(message));
    if (strcmp(argv[1], "show") == 0 && argc == 2) {
        char *state = deviceControlsShow(message, sizeof(message));
        if (state == NULL) {
            fprintf(stderr, "kal_sim: %s\n", message);
            return 1;
        }
        printf("%s\n", state);
        free(state);
        return 0;
    }
    int rc = deviceControl(argc - 1, (const char *const *)(argv + 1), message, sizeof(message));
    if (rc != CONTROL_OK) {
        fprintf(stderr, "kal_sim: %s\n", message);
        return 1;
    }
    printf("%s\n", message);
    return 0;
}
