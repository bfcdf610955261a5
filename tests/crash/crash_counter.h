// The page shared by the crash-point test and its preloaded shim: the test
// arms it and picks the call to stop at; every process of the server's
// group counts into it.
#pragma once

// Names the file that holds the page.
#define KAL_CRASH_COUNTER_ENV "KAL_CRASH_COUNTER"

struct CrashCounter {
    int armed;  // nonzero: count calls
    int limit;  // kill the group at this call (1 = the first); 0: never
    int count;  // calls counted since armed
    int fired;  // set once the group was killed
};
