// What the workbench tests share: running kal_sim against a test's device,
// and a monotonic clock in milliseconds.
#pragma once

#include <signal.h>
#include <stdlib.h>
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

// The pid a run file under the root names, or -1.
inline pid_t recordedServer(const std::string &root)
{
    std::string text = SimDevice::readFile(root + "/sim-run/kal_server.pid");
    return text.empty() ? -1 : (pid_t)atoi(text.c_str());
}

inline bool alive(pid_t pid)
{
    if (pid <= 0)
        return false;
    std::string stat = SimDevice::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z';
}

// A server that a power cycle started detached is no child of the test:
// ended here by its recorded pid.
struct DetachedServer {
    std::string root;
    ~DetachedServer()
    {
        pid_t pid = recordedServer(root);
        if (alive(pid)) {
            kill(pid, SIGKILL);
            waitFor([&] { return !alive(pid); }, 5000);
        }
    }
};
