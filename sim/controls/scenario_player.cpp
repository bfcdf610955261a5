// A scenario played in real time: its steps in order of time, each a
// device control under the device's lock, until it ends, is stopped or the
// device is reset by another.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "common/clock.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/controls/scenario_parser.h"
#include "sim/sim_files.h"
#include "sim/sim_lock.h"

namespace {

const long kWaitSliceMs = 50;

// The control of a step as one text, for progress lines.
void commandText(const char *const argv[], int argc, char *out, size_t size)
{
    memset(out, 0, size);
    size_t len = 0;
    for (int i = 0; i < argc && len < size; i++) {
        bool blank = argv[i][0] == '\0' || strpbrk(argv[i], " \t") != NULL;
        int n = snprintf(out + len, size - len, blank ? "%s\"%s\"" : "%s%s", i > 0 ? " " : "", argv[i]);
        if (n > 0)
            len += (size_t)n;
    }
}

}  // namespace

int scenarioPlay(Scenario *scenario, volatile sig_atomic_t *stop, void (*progress)(const char *line, void *context),
                 void *context, bool *reset)
{
    long long start = monotonicMs();
    int failed = 0;
    // Played on this device: a reset or restore by anyone else makes it
    // another one, and the scenario stops.
    long generation = simGenerationRead();
    bool wasReset = false;
    for (int i = 0; i < scenario->lineCount; i++)
        scenario->lines[i].played = 0;
    while (stop == NULL || !*stop) {
        // The next step: the earliest due, in file order among equals.
        ScenarioLine *next = NULL;
        long due = 0;
        for (int i = 0; i < scenario->lineCount; i++) {
            ScenarioLine *line = &scenario->lines[i];
            if (line->count >= 0 && line->played >= line->count)
                continue;
            long at = line->atMs + line->played * line->stepMs;
            if (next == NULL || at < due) {
                next = line;
                due = at;
            }
        }
        if (next == NULL)
            break;
        long long wait = start + due - monotonicMs();
        if (wait > 0 && simGenerationRead() != generation) {
            wasReset = true;
            break;
        }
        if (wait > 0) {
            long slice = wait < kWaitSliceMs ? wait : kWaitSliceMs;
            struct timespec pause = {slice / 1000, (slice % 1000) * 1000000L};
            nanosleep(&pause, NULL);
            continue;
        }
        const char *argv[kScenarioMaxWords];
        char value[kScenarioMaxLineBytes];
        memset(value, 0, sizeof(value));
        scenarioOccurrence(next, next->played, argv, value, sizeof(value));
        char message[512];
        memset(message, 0, sizeof(message));
        // The check and the step under one holding of the lock: no step
        // plays on a device reset after the check. A step's own reset
        // (the lock is re-entrant) is the device it goes on with.
        int rc = CONTROL_FAILED;
        if (simLockAcquire(message, sizeof(message)) == 0) {
            if (simGenerationRead() != generation) {
                simLockRelease();
                wasReset = true;
                break;
            }
            rc = deviceControl(next->wordCount, argv, message, sizeof(message));
            generation = simGenerationRead();
            simLockRelease();
        }
        next->played++;
        char command[256];
        commandText(argv, next->wordCount, command, sizeof(command));
        char line[2048];
        memset(line, 0, sizeof(line));
        if (rc == CONTROL_OK) {
            snprintf(line, sizeof(line), "%7.1f s  %s: %s", due / 1000.0, command, message);
        } else {
            failed++;
            snprintf(line, sizeof(line), "%7.1f s  %s: failed (%s:%d): %s", due / 1000.0, command, scenario->path,
                     next->number, message);
        }
        if (progress != NULL)
            progress(line, context);
    }
    if (reset != NULL)
        *reset = wasReset;
    return failed;
}
