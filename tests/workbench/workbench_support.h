// What the workbench tests share: running kal_sim against a test's device,
// and a monotonic clock in milliseconds.
#pragma once

#include <time.h>

#include <string>

#include "tests/support/test_support.h"

// One kal_sim command's exit status and what it printed.
struct SimRun {
    int status;
    std::string out;  // standard output and error
};

inline SimRun kalSim(const SimDevice &dev, const std::string &args)
{
    SimRun r;
    r.out = commandOutput("KAL_ROOT='" + dev.root() + "' " KAL_SIM_BIN_PATH " " + args + " 2>&1", &r.status);
    return r;
}

inline long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}
