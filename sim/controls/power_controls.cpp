// Power: "power cycle" brings the device up as after a power cut, server
// start-up included, so that what the device reads only at power-on (the
// SIM card's state, its PIN lock) takes effect. The server is ended as a
// cut would end it (SIGKILL), whoever started it; a supervisor registered
// for the root starts it again, otherwise the control starts it detached.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "common/clock.h"
#include "common/device_paths.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/sim_run.h"

extern char **environ;

namespace {

// How long the old server may take to be gone, and the new one to answer.
const long long kGoneMs = 5000;
const long long kAnswerMs = 10000;
// One probe's wait, and the pause between probes.
const int kProbeMs = 200;
const int kPollMs = 50;
// Descriptors below this are closed in the started server (kal_http holds
// its listening socket and connections).
const int kCloseBelow = 1024;
// The environment handed to the started server.
const int kMaxEnvironment = 512;

void pause(int ms)
{
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

// The server binary beside the running one (kal_sim, kal_http).
int serverBinary(char *out, size_t size, char *message, size_t msgSize)
{
    char self[PATH_MAX];
    memset(self, 0, sizeof(self));
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    char *slash = n > 0 ? strrchr(self, '/') : NULL;
    if (slash == NULL)
        return say(message, msgSize, CONTROL_FAILED, "power cycle: cannot tell where this program is: %s",
                   strerror(errno));
    *slash = '\0';
    if (snprintf(out, size, "%s/kal_server", self) >= (int)size)
        return say(message, msgSize, CONTROL_FAILED, "power cycle: the path of kal_server is too long");
    if (access(out, X_OK) != 0)
        return say(message, msgSize, CONTROL_FAILED, "power cycle: no kal_server beside this program at %s", out);
    return CONTROL_OK;
}

// Starts kal_server on the root, detached (a session of its own, not a
// child of the caller), its output appended to the root's server output.
int startDetached(const char *binary, char *message, size_t size)
{
    char output[600];
    char why[700];
    char rootVariable[KAL_ROOT_MAX + 16];
    memset(why, 0, sizeof(why));
    memset(rootVariable, 0, sizeof(rootVariable));
    if (simRunPath(kalRoot(), SIM_RUN_SERVER_OUTPUT, output, sizeof(output)) != 0)
        return say(message, size, CONTROL_FAILED, "power cycle: the output path under %s is too long", kalRoot());
    if (simRunMakeDir(kalRoot(), why, sizeof(why)) != 0)
        return say(message, size, CONTROL_FAILED, "power cycle: %s", why);
    snprintf(rootVariable, sizeof(rootVariable), "KAL_ROOT=%s", kalRoot());
    // Built before fork: the child of a threaded caller may only make
    // async-signal-safe calls.
    const char *environment[kMaxEnvironment + 2];
    memset(environment, 0, sizeof(environment));
    int count = 0;
    for (char **entry = environ; entry != NULL && *entry != NULL && count < kMaxEnvironment; entry++)
        if (strncmp(*entry, "KAL_ROOT=", 9) != 0)
            environment[count++] = *entry;
    environment[count] = rootVariable;
    const char *arguments[] = {binary, NULL};

    pid_t first = fork();
    if (first < 0)
        return say(message, size, CONTROL_FAILED, "power cycle: cannot start kal_server: %s", strerror(errno));
    if (first == 0) {
        setsid();
        pid_t second = fork();
        if (second != 0)
            _exit(second < 0 ? 1 : 0);
        int out = open(output, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (out < 0 || in < 0)
            _exit(127);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        for (int fd = 3; fd < kCloseBelow; fd++)
            close(fd);
        // A new server starts as from init: no signal blocked or ignored.
        simRunDefaultSignals();
        execve(binary, (char *const *)arguments, (char *const *)environment);
        _exit(127);
    }
    int status = 0;
    while (waitpid(first, &status, 0) < 0 && errno == EINTR) {
    }
    return CONTROL_OK;
}

// The server running on the root: its run file when that still names it,
// else whoever answers on the socket (the kernel names the process).
bool findServer(const char *socketPath, SimProcess *server)
{
    if (simRunRead(kalRoot(), SIM_RUN_SERVER_FILE, server) == 0 && simRunAlive(server))
        return true;
    pid_t pid = 0;
    if (simServerAnswers(socketPath, kProbeMs, &pid) == 0 && simProcessStart(pid, &server->start) == 0) {
        server->pid = pid;
        return true;
    }
    return false;
}

bool gone(const SimProcess *process, long long deadline)
{
    while (simRunAlive(process)) {
        if (monotonicMs() >= deadline)
            return false;
        pause(10);
    }
    return true;
}

// Holds <root>/sim-run/power.lock: two power cycles at once would each
// start a server.
int lockPower(int *fd, char *message, size_t size)
{
    char path[600];
    if (simRunPath(kalRoot(), SIM_RUN_POWER_LOCK, path, sizeof(path)) != 0)
        return say(message, size, CONTROL_FAILED, "power cycle: the lock path under %s is too long", kalRoot());
    char why[700];
    memset(why, 0, sizeof(why));
    if (simRunMakeDir(kalRoot(), why, sizeof(why)) != 0)
        return say(message, size, CONTROL_FAILED, "power cycle: %s", why);
    *fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (*fd < 0)
        return say(message, size, CONTROL_FAILED, "power cycle: cannot open %s: %s", path, strerror(errno));
    long long deadline = monotonicMs() + kGoneMs + kAnswerMs;
    while (flock(*fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK || monotonicMs() >= deadline) {
            int error = errno;
            close(*fd);
            return say(message, size, CONTROL_FAILED, "power cycle: cannot lock %s: %s", path,
                       error == EWOULDBLOCK ? "another power cycle holds it" : strerror(error));
        }
        pause(kPollMs);
    }
    return CONTROL_OK;
}

int cycle(char *message, size_t size)
{
    char socketPath[600];
    if (kalPath(socketPath, sizeof(socketPath), KAL_SERVER_SOCKET_PATH) != 0)
        return say(message, size, CONTROL_FAILED, "power cycle: the socket path under %s is too long", kalRoot());
    char binary[PATH_MAX + 16];
    memset(binary, 0, sizeof(binary));
    SimProcess supervisor = {0, 0};
    bool supervised = simRunRead(kalRoot(), SIM_RUN_SUPERVISOR_FILE, &supervisor) == 0 && simRunAlive(&supervisor);
    if (!supervised && serverBinary(binary, sizeof(binary), message, size) != CONTROL_OK)
        return CONTROL_FAILED;
    long long started = monotonicMs();

    SimProcess old = {0, 0};
    bool running = findServer(socketPath, &old);
    if (running) {
        // Checked a moment ago by its start time: this pid is that server.
        if (kill(old.pid, SIGKILL) != 0 && errno != ESRCH)
            return say(message, size, CONTROL_FAILED, "power cycle: cannot end kal_server %d: %s", (int)old.pid,
                       strerror(errno));
        if (!gone(&old, started + kGoneMs))
            return say(message, size, CONTROL_FAILED, "power cycle: kal_server %d still runs %lld s after SIGKILL",
                       (int)old.pid, kGoneMs / 1000);
    }
    if (!supervised && startDetached(binary, message, size) != CONTROL_OK)
        return CONTROL_FAILED;

    long long deadline = monotonicMs() + kAnswerMs;
    pid_t now = 0;
    for (;;) {
        if (simServerAnswers(socketPath, kProbeMs, &now) == 0 && now != old.pid)
            break;
        if (monotonicMs() >= deadline) {
            char output[600];
            simRunPath(kalRoot(), SIM_RUN_SERVER_OUTPUT, output, sizeof(output));
            if (supervised)
                return say(message, size, CONTROL_FAILED,
                           "power cycle: no kal_server answers %lld s after the cut (supervisor %d)", kAnswerMs / 1000,
                           (int)supervisor.pid);
            return say(message, size, CONTROL_FAILED, "power cycle: the new kal_server did not answer within %lld s (see %s)",
                       kAnswerMs / 1000, output);
        }
        pause(kPollMs);
    }
    double seconds = (double)(monotonicMs() - started) / 1000.0;
    char ended[64];
    memset(ended, 0, sizeof(ended));
    if (running)
        snprintf(ended, sizeof(ended), "kal_server %d cut, ", (int)old.pid);
    else
        snprintf(ended, sizeof(ended), "no kal_server was running, ");
    char how[64];
    memset(how, 0, sizeof(how));
    if (supervised)
        snprintf(how, sizeof(how), "(started by supervisor %d)", (int)supervisor.pid);
    else
        snprintf(how, sizeof(how), "(started detached)");
    return say(message, size, CONTROL_OK, "power cycled: %skal_server %d %s answers after %.2f s", ended, (int)now, how,
               seconds);
}

}  // namespace

int powerControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    if (argc != 2 || strcmp(argv[1], "cycle") != 0)
        return say(message, size, CONTROL_REFUSED, "power needs cycle");
    if (!apply)
        return CONTROL_OK;
    int lock = -1;
    if (lockPower(&lock, message, size) != CONTROL_OK)
        return CONTROL_FAILED;
    int rc = cycle(message, size);
    close(lock);
    return rc;
}

void powerShow(cJSON *out)
{
    SimProcess server = {0, 0};
    SimProcess supervisor = {0, 0};
    bool running = simRunRead(kalRoot(), SIM_RUN_SERVER_FILE, &server) == 0 && simRunAlive(&server);
    bool supervised = simRunRead(kalRoot(), SIM_RUN_SUPERVISOR_FILE, &supervisor) == 0 && simRunAlive(&supervisor);
    cJSON *power = cJSON_AddObjectToObject(out, "power");
    if (power == NULL)
        return;
    if (running)
        cJSON_AddNumberToObject(power, "server", server.pid);
    else
        cJSON_AddNullToObject(power, "server");
    if (supervised)
        cJSON_AddNumberToObject(power, "supervisor", supervisor.pid);
    else
        cJSON_AddNullToObject(power, "supervisor");
}
