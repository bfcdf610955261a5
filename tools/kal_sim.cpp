// kal_sim: put the simulated device into a state worth testing.
//
//   kal_sim battery 15 --charging
//   kal_sim sim pin-required 2468
//   kal_sim sms receive +15550100 "hello"
//   kal_sim fault wlan-manager fail
//   kal_sim snapshot save before-update
//   kal_sim power cycle
//   kal_sim scenario battery-drain
//   kal_sim show
//
// Changes the device's state files under $KAL_ROOT; a running kal_server
// sees the change at its next request. "scenario FILE" plays a timeline of
// controls in the foreground, one line per step, until it ends, Ctrl-C or
// a reset of the device by another; --scenarios DIR names the directory
// of the shipped ones.
// Exit status: 0 done, 1 refused or failed (one line on standard error
// says why), 2 usage error.
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "common/clock.h"
#include "common/device_paths.h"
#include "sim/controls/device_controls.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;

void interrupted(int)
{
    g_interrupted = 1;
}

void usage(FILE *out)
{
    fprintf(out,
            "usage: kal_sim [--scenarios DIR] CONTROL [VALUES...], on the simulated device under $KAL_ROOT:\n%s"
            "--scenarios DIR: the shipped scenarios' directory (default: $KAL_SCENARIOS, else found beside kal_sim)\n",
            deviceControlsUsage());
}

void printStep(const char *line, void *)
{
    printf("%s\n", line);
    fflush(stdout);
}

int playScenario(const char *name)
{
    char message[1024];
    memset(message, 0, sizeof(message));
    char path[PATH_MAX];
    if (scenarioPath(name, path, sizeof(path), message, sizeof(message)) != CONTROL_OK) {
        fprintf(stderr, "kal_sim: %s\n", message);
        return 1;
    }
    Scenario *scenario = scenarioLoad(path, message, sizeof(message));
    if (scenario == NULL) {
        fprintf(stderr, "kal_sim: %s\n", message);
        return 1;
    }
    // Checked against the device before the first step.
    char *state = deviceControlsShow(message, sizeof(message));
    if (state == NULL) {
        fprintf(stderr, "kal_sim: %s\n", message);
        scenarioFree(scenario);
        return 1;
    }
    free(state);
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = interrupted;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    printf("scenario %s: playing%s\n", path, scenarioEnds(scenario) ? " (Ctrl-C stops it)" : " until Ctrl-C");
    fflush(stdout);
    long long start = monotonicMs();
    bool reset = false;
    int failed = scenarioPlay(scenario, &g_interrupted, printStep, NULL, &reset);
    scenarioFree(scenario);
    double seconds = (double)(monotonicMs() - start) / 1000.0;
    if (reset)
        printf("scenario %s stopped: the device was reset\n", name);
    else
        printf("scenario %s: %s after %.1f s%s\n", path, g_interrupted ? "stopped" : "ended", seconds,
               failed > 0 ? ", with steps that failed" : "");
    if (failed > 0)
        fprintf(stderr, "kal_sim: scenario %s: %d step%s failed (lines above)\n", path, failed, failed == 1 ? "" : "s");
    return failed > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "--scenarios") == 0) {
        char message[PATH_MAX + 64];
        memset(message, 0, sizeof(message));
        if (argc < 3 || deviceControlsScenarioDir(argv[2], message, sizeof(message)) != CONTROL_OK) {
            fprintf(stderr, "kal_sim: %s\n", argc < 3 ? "--scenarios needs a directory" : message);
            return 2;
        }
        argv[2] = argv[0];
        argv += 2;
        argc -= 2;
    }
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
    if (strcmp(argv[1], "scenario") == 0 && argc == 3 && strcmp(argv[2], "stop") != 0)
        return playScenario(argv[2]);
    char message[4096];
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
    // The one slow control: say what it waits for.
    if (strcmp(argv[1], "power") == 0 && argc == 3 && strcmp(argv[2], "cycle") == 0)
        fprintf(stderr, "kal_sim: power cycle of %s: waiting for kal_server to answer again\n", kalRoot());
    int rc = deviceControl(argc - 1, (const char *const *)(argv + 1), message, sizeof(message));
    if (rc != CONTROL_OK) {
        fprintf(stderr, "kal_sim: %s\n", message);
        return 1;
    }
    printf("%s\n", message);
    return 0;
}
