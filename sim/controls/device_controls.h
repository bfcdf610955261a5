// Controls of the simulated device: put it into a state worth testing
// (a low battery, a locked SIM, an incoming SMS, a service that fails, a
// saved device, a scenario, ...). Shared by the kal_sim command and the
// development HTTP server's console. Each control changes the documented
// state files under $KAL_ROOT exactly as a developer would by hand, each
// file replaced whole; the running server sees the change at its next
// request.
#pragma once

#include <signal.h>
#include <stddef.h>

enum {
    CONTROL_OK = 0,       // done; the message says what changed
    CONTROL_REFUSED = 1,  // bad words or values; the message says which
    CONTROL_FAILED = 2,   // a state file could not be read or written
};

// Runs one control given as words, as on kal_sim's command line, for
// example {"battery", "15", "--charging"}. kalPathInit() must have
// succeeded. Writes one line without a newline into message (a listing,
// such as "snapshot list", one line per entry).
int deviceControl(int argc, const char *const argv[], char *message, size_t size);

// Checks the words of a control as deviceControl would, changing nothing.
int deviceControlCheck(int argc, const char *const argv[], char *message, size_t size);

// The controls' current values as formatted JSON text (free() it), or null
// after writing why into message.
char *deviceControlsShow(char *message, size_t size);

// The control words, one usage line each.
const char *deviceControlsUsage(void);

// Scenarios: a timeline of controls in a text file (docs/simulated-device.md).
struct Scenario;

// Reads and checks the whole file; null after writing "file:line: why"
// (or why the file cannot be read) into message. scenarioFree() it.
Scenario *scenarioLoad(const char *path, char *message, size_t size);
void scenarioFree(Scenario *scenario);

// Whether the scenario ends by itself (no step repeats without an end).
bool scenarioEnds(const Scenario *scenario);

// Plays it from now on, calling progress with one line per step as it
// plays, until it ends, *stop is set or the device is reset or restored
// by another than the scenario itself (*reset is then set). The number of
// steps that failed.
int scenarioPlay(Scenario *scenario, volatile sig_atomic_t *stop, void (*progress)(const char *line, void *context),
                 void *context, bool *reset);

// The file of a scenario: a name without '/' is a shipped one
// ("battery-drain"); a path is a file on the device's root (relative to
// $KAL_ROOT; an absolute one must lead inside it, links followed).
// CONTROL_OK with the resolved path in out, or an error after writing why
// into message.
int scenarioPath(const char *name, char *out, size_t size, char *message, size_t messageSize);

// The directory of the shipped scenarios instead of the one found beside
// the program (or in $KAL_SCENARIOS). CONTROL_OK, or CONTROL_REFUSED
// after writing why when it is no directory.
int deviceControlsScenarioDir(const char *dir, char *message, size_t size);

// A long-running process (kal_http) may play one shipped scenario at a
// time in the background: "scenario start NAME", "scenario stop".
void deviceControlsAllowBackground(void);
