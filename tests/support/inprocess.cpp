#include "tests/support/inprocess.h"

#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "server/server.h"
#include "server/web_timer.h"
#include "sim/sim_start.h"

namespace {

struct Device {
    std::string root;
    std::string path;  // PATH before the simulated device put its tools first
    int client = -1;
    struct sockaddr_un clientAddress;
    socklen_t clientLength = 0;
};

Device &device();

void removeRoot()
{
    std::string command = "rm -rf '" + device().root + "'";
    if (system(command.c_str()) != 0) {
    }
}

Device &device()
{
    static Device d;
    if (!d.root.empty())
        return d;
    // Under TMPDIR when set: the fuzz script gives each run its own, and
    // removes it even when the process ends without running atexit.
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kal-unit-XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data()) == nullptr)
        abort();
    d.root = dir.data();
    atexit(removeRoot);
    setenv("KAL_ROOT", dir.data(), 1);
    const char *path = getenv("PATH");
    d.path = path != nullptr ? path : "";
    if (serverStart() != 0 || platformStart() != 0)
        abort();
    // The dispatcher replies through serverSocket: give it an abstract
    // address, and a client with its own one to receive the replies.
    serverSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    d.client = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un any;
    memset(&any, 0, sizeof(any));
    any.sun_family = AF_UNIX;
    if (bind(serverSocket, (struct sockaddr *)&any, sizeof(sa_family_t)) != 0 ||
        bind(d.client, (struct sockaddr *)&any, sizeof(sa_family_t)) != 0)
        abort();
    int size = 1 << 20;
    setsockopt(d.client, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    memset(&d.clientAddress, 0, sizeof(d.clientAddress));
    d.clientLength = sizeof(d.clientAddress);
    getsockname(d.client, (struct sockaddr *)&d.clientAddress, &d.clientLength);
    return d;
}

// The restart delays are 2 s: whatever is still armed after this is stuck.
const int kTimerSettleMs = 5000;

// Cancels the restarts an earlier test armed, as their expiry would, but
// without running them. The timer variables are the modules' own: the
// kernel's list of this process's timers gives their addresses. Where that
// list cannot be read, the timers run out instead.
void settleTimers()
{
    std::vector<uintptr_t> variables;
    if (FILE *list = fopen("/proc/self/timers", "r")) {
        char line[256];
        memset(line, 0, sizeof(line));
        while (fgets(line, sizeof(line), list) != nullptr) {
            int signo = 0;
            unsigned long long value = 0;
            if (sscanf(line, "signal: %d/%llx", &signo, &value) == 2 && signo == SIGUSR2)
                variables.push_back((uintptr_t)value);
        }
        fclose(list);
    }
    for (uintptr_t variable : variables) {
        siginfo_t info;
        memset(&info, 0, sizeof(info));
        info.si_signo = SIGUSR2;
        info.si_code = SI_TIMER;
        info.si_value.sival_ptr = (void *)variable;
        webTimerDelete(SIGUSR2, &info, nullptr);
    }
    for (int waited = 0; webTimerArmedCount() > 0 && waited < kTimerSettleMs; waited += 50) {
        struct pollfd pfd = {webTimerWakeFd(), POLLIN, 0};
        poll(&pfd, 1, 50);
        webTimerRunExpired();
    }
    if (webTimerArmedCount() > 0) {
        fprintf(stderr, "in-process device: %d timers still armed after %d ms\n", webTimerArmedCount(),
                kTimerSettleMs);
        abort();
    }
}

}  // namespace

void inProcessRenew()
{
    settleTimers();
    Device &d = device();
    // Replies that a test gave up waiting for must not answer the next one.
    char drain[64];
    while (recv(d.client, drain, sizeof(drain), MSG_DONTWAIT) >= 0) {
    }
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(d.root, error)) {
        if (std::filesystem::remove_all(entry.path(), error) == (std::uintmax_t)-1)
            break;
    }
    // Seeding puts the stand-in tools before PATH again: start from the
    // original one so that it does not grow test by test.
    setenv("PATH", d.path.c_str(), 1);
    if (error || platformStart() != 0) {
        fprintf(stderr, "in-process device: cannot renew %s: %s\n", d.root.c_str(),
                error ? error.message().c_str() : "seeding failed");
        abort();
    }
}

const std::string &inProcessRoot()
{
    return device().root;
}

std::string dispatchText(const char *text, int timeoutMs)
{
    Device &d = device();
    dispatchRequest(text, d.clientAddress, d.clientLength);
    struct pollfd pfd = {d.client, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0)
        return "";
    std::vector<char> buffer(256 * 1024);
    ssize_t n = recv(d.client, buffer.data(), buffer.size(), 0);
    return n < 0 ? "" : std::string(buffer.data(), (size_t)n);
}
