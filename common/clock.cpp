#include "common/clock.h"

#include <string.h>
#include <time.h>

long long monotonicUs(void)
{
    struct timespec ts;
    memset(&ts, 0, sizeof(ts));
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

long long monotonicMs(void)
{
    return monotonicUs() / 1000;
}
