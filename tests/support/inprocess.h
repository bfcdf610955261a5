// In-process dispatcher for unit tests: the first call prepares a simulated
// device in a temporary root (KAL_ROOT) for the whole test binary.
#pragma once

#include <string>

// Root of the test binary's simulated device.
const std::string &inProcessRoot();

// Runs dispatchRequest on text (null when text is null) and returns the
// reply datagram, or "" when none was sent within timeoutMs.
std::string dispatchText(const char *text, int timeoutMs = 2000);
inline std::string dispatchText(const std::string &text) { return dispatchText(text.c_str()); }
