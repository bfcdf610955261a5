// In-process dispatcher for unit tests and the fuzzer: a simulated device in
// a temporary root (KAL_ROOT), prepared on first use.
#pragma once

#include <string>

// Root of the simulated device.
const std::string &inProcessRoot();

// Runs dispatchRequest on text (null when text is null) and returns the
// reply datagram, or "" when none was sent within timeoutMs.
std::string dispatchText(const char *text, int timeoutMs = 2000);
inline std::string dispatchText(const std::string &text) { return dispatchText(text.c_str()); }

// Gives the next test a device of its own: runs out the restarts an earlier
// test left armed, then empties the root and seeds it again as at power-on.
// The root keeps its path: the device paths are read once per process.
void inProcessRenew();
