// Controls of the simulated device: put it into a state worth testing
// (a low battery, a locked SIM, an incoming SMS, ...). Shared by the
// kal_sim command and the development HTTP server's console. Each control
// changes the documented state files under $KAL_ROOT exactly as a developer
// would by hand, each file replaced whole; the running server sees the
// change at its next request.
#pragma once

#include <stddef.h>

enum {
    CONTROL_OK = 0,       // done; the message says what changed
    CONTROL_REFUSED = 1,  // bad words or values; the message says which
    CONTROL_FAILED = 2,   // a state file could not be read or written
};

// Runs one control given as words, as on kal_sim's command line, for
// example {"battery", "15", "--charging"}. kalPathInit() must have
// succeeded. Writes one line without a newline into message.
int deviceControl(int argc, const char *const argv[], char *message, size_t size);

// The controls' current values as formatted JSON text (free() it), or null
// after writing why into message.
char *deviceControlsShow(char *message, size_t size);

// The control words, one usage line each.
const char *deviceControlsUsage(void);
