// The monotonic clock, for deadlines and elapsed times.
#pragma once

// Milliseconds and microseconds of the monotonic clock: for deadlines and
// elapsed times.
long long monotonicMs(void);
long long monotonicUs(void);
