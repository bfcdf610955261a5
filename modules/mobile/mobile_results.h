// Results the mobile modules share, and the mobile service's busy codes
// mapped onto them.
#pragma once

enum {
    MOBILE_RESULT_BUSY_SEARCHING = 3,
    MOBILE_RESULT_BUSY_CANCELLING = 4,
    MOBILE_RESULT_BUSY_REGISTERING = 5,
    MOBILE_RESULT_BUSY_SMS = 6,
};

// For a service code that says the modem is busy: logs "BUSY: ..." under
// tag and returns the busy result; for any other code returns -1.
int mobileBusyResult(int code, const char *tag);
