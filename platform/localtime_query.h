// Local time as the device's time service computes it, honouring the
// temporary zone that the time module writes before it asks.
#pragma once

#include <time.h>

extern "C" {
// Broken-down local time of *when, in a buffer owned by the service that
// stays valid until the next call; null when it cannot be computed.
struct tm *localtime_query(const time_t *when);
}
