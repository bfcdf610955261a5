// kal_lab: isolated simulated devices on demand, for test runners with
// parallel workers.
//
//   kal_lab --devices N [--root DIR] [--server PATH] [--http PATH]
//           [--no-relay] [--foreground] [--until-stdin-closes]
//
// Starts N devices, each with a root, a kal_server and a kal_http relay of
// its own, waits until each answers through its relay and prints them as
// one JSON document on standard output. Then it supervises: a server that
// ends (a power cycle, a crash) is started again on the same root, a relay
// on the same port. It stops everything and removes the roots it created on
// SIGINT, SIGTERM, when its parent dies, and with --until-stdin-closes when
// standard input closes. Progress and failures go to standard error.
// Exit status: 0 after an orderly stop, 1 when the devices could not be
// started, 2 for a usage error.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <cjson/cJSON.h>
#include <httplib.h>

#include "common/clock.h"
#include "common/device_paths.h"
#include "common/text.h"
#include "sim/sim_run.h"

namespace {

const int kMaxDevices = 64;
// Until every device answers; a server's first start seeds its root.
const long long kReadyMs = 60000;
// The relay's first line, naming its port.
const long long kRelayLineMs = 10000;
// How long children get to stop in order before SIGKILL.
const long long kStopMs = 3000;
// A server that fails sooner than this after its start is started again
// only after kRestartPauseMs, so that one that cannot start does not spin.
const long long kQuickExitMs = 2000;
const long long kRestartPauseMs = 1000;
// The main loop's longest sleep: the parent check's period.
const int kTickMs = 250;
const int kProbeMs = 200;
// The server's own bound for whether another one answers.
const int kBusyProbeMs = 500;
const char kRelayHost[] = "127.0.0.1";

struct Device {
    int index;
    char root[KAL_ROOT_MAX + 1];
    bool created;
    pid_t server;
    long long serverStarted;
    long long serverDue;  // a restart waiting for its time, or 0
    pid_t relay;
    int relayOut;  // the relay's standard output, drained
    int port;
    long long relayDue;
};

struct Options {
    int devices = 0;
    const char *root = NULL;
    char server[PATH_MAX];
    char http[PATH_MAX];
    bool relay = true;
    bool foreground = false;
    bool untilStdinCloses = false;
};

Device g_devices[kMaxDevices];
int g_count = 0;
Options g_options;
pid_t g_parent = 0;
pid_t g_self = 0;
// --root DIR of several devices was made here.
bool g_parentCreated = false;
int g_wake[2] = {-1, -1};
volatile sig_atomic_t g_stop = 0;

void onStop(int)
{
    g_stop = 1;
    char byte = 's';
    ssize_t ignored = write(g_wake[1], &byte, 1);
    (void)ignored;
}

void onChild(int)
{
    char byte = 'c';
    ssize_t ignored = write(g_wake[1], &byte, 1);
    (void)ignored;
}

void usage(FILE *out)
{
    fprintf(out,
            "usage: kal_lab --devices N [--root DIR] [--server PATH] [--http PATH]\n"
            "               [--no-relay] [--foreground] [--until-stdin-closes]\n"
            "  --devices N           1 to %d simulated devices, each with its own root, kal_server and kal_http\n"
            "  --root DIR            the device's root (N = 1) or DIR/1 ... DIR/N, instead of fresh temporary ones\n"
            "  --server, --http      the binaries (default: beside kal_lab)\n"
            "  --no-relay            no kal_http: the devices are reached through their sockets only\n"
            "  --foreground          the servers' output to this terminal, not <root>/sim-run/kal_server.out\n"
            "  --until-stdin-closes  also stop when standard input closes\n",
            kMaxDevices);
}

void pauseMs(int ms)
{
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

bool parentGone()
{
    return getppid() != g_parent;
}

// The child's side of a start: its own process group (a terminal's Ctrl-C
// reaches kal_lab alone, which stops the children in order), and it ends
// with kal_lab.
void childCommon()
{
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != g_self)
        _exit(127);
    simRunDefaultSignals();
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0) {
        dup2(in, STDIN_FILENO);
        close(in);
    }
}

int openOutput(const Device &device, const char *name)
{
    char path[600];
    if (simRunPath(device.root, name, path, sizeof(path)) != 0)
        return -1;
    return open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

bool startServer(Device &device)
{
    int out = g_options.foreground ? -1 : openOutput(device, SIM_RUN_SERVER_OUTPUT);
    if (!g_options.foreground && out < 0) {
        fprintf(stderr, "kal_lab: device %d: cannot open its server output under %s%s: %s\n", device.index,
                device.root, SIM_RUN_DIR_PATH, strerror(errno));
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "kal_lab: device %d: cannot start kal_server: %s\n", device.index, strerror(errno));
        if (out >= 0)
            close(out);
        return false;
    }
    if (pid == 0) {
        childCommon();
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        setenv("KAL_ROOT", device.root, 1);
        execl(g_options.server, g_options.server, (char *)NULL);
        fprintf(stderr, "kal_lab: cannot run %s: %s\n", g_options.server, strerror(errno));
        _exit(127);
    }
    if (out >= 0)
        close(out);
    device.server = pid;
    device.serverStarted = monotonicMs();
    device.serverDue = 0;
    return true;
}

bool startRelay(Device &device)
{
    int out = openOutput(device, SIM_RUN_RELAY_OUTPUT);
    int pipeFds[2] = {-1, -1};
    if (out < 0 || pipe2(pipeFds, O_CLOEXEC) != 0) {
        fprintf(stderr, "kal_lab: device %d: cannot prepare kal_http's output: %s\n", device.index, strerror(errno));
        if (out >= 0)
            close(out);
        return false;
    }
    char listen[64];
    memset(listen, 0, sizeof(listen));
    snprintf(listen, sizeof(listen), "%s:%d", kRelayHost, device.port);
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "kal_lab: device %d: cannot start kal_http: %s\n", device.index, strerror(errno));
        close(out);
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (pid == 0) {
        childCommon();
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        setenv("KAL_ROOT", device.root, 1);
        execl(g_options.http, g_options.http, "--listen", listen, "--quiet", (char *)NULL);
        fprintf(stderr, "kal_lab: cannot run %s: %s\n", g_options.http, strerror(errno));
        _exit(127);
    }
    close(out);
    close(pipeFds[1]);
    device.relay = pid;
    device.relayOut = pipeFds[0];
    device.relayDue = 0;
    // "kal_http: listening on http://HOST:PORT/ ...": the port, once.
    char line[512];
    memset(line, 0, sizeof(line));
    size_t length = 0;
    long long deadline = monotonicMs() + kRelayLineMs;
    while (strchr(line, '\n') == NULL && length < sizeof(line) - 1) {
        long long left = deadline - monotonicMs();
        struct pollfd pfd = {device.relayOut, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, (int)left) <= 0)
            break;
        ssize_t n = read(device.relayOut, line + length, sizeof(line) - 1 - length);
        if (n <= 0)
            break;
        length += (size_t)n;
    }
    const char *at = strstr(line, "listening on http://");
    const char *colon = at != NULL ? strchr(at + strlen("listening on http://"), ':') : NULL;
    int port = colon != NULL ? atoi(colon + 1) : 0;
    if (port <= 0 || port > 65535) {
        char *end = strchr(line, '\n');
        if (end != NULL)
            *end = '\0';
        fprintf(stderr, "kal_lab: device %d: kal_http named no port within %lld s (it said \"%s\"; see %s%s/%s)\n",
                device.index, kRelayLineMs / 1000, line, device.root, SIM_RUN_DIR_PATH, SIM_RUN_RELAY_OUTPUT);
        return false;
    }
    device.port = port;
    return true;
}

void socketOf(const Device &device, char *out, size_t size)
{
    memset(out, 0, size);
    snprintf(out, size, "%s%s", device.root, KAL_SERVER_SOCKET_PATH);
}

bool answers(const Device &device)
{
    if (!g_options.relay) {
        char socketPath[600];
        socketOf(device, socketPath, sizeof(socketPath));
        pid_t pid = 0;
        return simServerAnswers(socketPath, kProbeMs, &pid) == 0;
    }
    httplib::Client client(kRelayHost, device.port);
    client.set_connection_timeout(0, kProbeMs * 1000);
    client.set_read_timeout(1, 0);
    auto res = client.Post("/api", SIM_PROBE_REQUEST, "application/json");
    return res && res->status == 200;
}

int removeEntry(const char *path, const struct stat *, int type, struct FTW *)
{
    if ((type == FTW_DP ? rmdir(path) : unlink(path)) != 0 && errno != ENOENT)
        fprintf(stderr, "kal_lab: cannot remove %s: %s\n", path, strerror(errno));
    return 0;
}

void removeTree(const char *root)
{
    nftw(root, removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// Reaps what ended; a server or relay that ended while kal_lab runs on is
// started again (the server on the same root, the relay on the same port).
void reap()
{
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            return;
        char how[64];
        memset(how, 0, sizeof(how));
        if (WIFSIGNALED(status))
            snprintf(how, sizeof(how), "killed by signal %d", WTERMSIG(status));
        else
            snprintf(how, sizeof(how), "exit status %d", WEXITSTATUS(status));
        for (int i = 0; i < g_count; i++) {
            Device &device = g_devices[i];
            if (pid == device.server) {
                device.server = 0;
                if (g_stop)
                    break;
                // A cut (SIGKILL: a power cycle) is followed by power-on
                // at once; a server that fails soon after its start waits.
                bool cut = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
                bool quick = !cut && monotonicMs() - device.serverStarted < kQuickExitMs;
                device.serverDue = monotonicMs() + (quick ? kRestartPauseMs : 0);
                fprintf(stderr, "kal_lab: device %d: kal_server %d ended (%s); starting it again%s\n", device.index,
                        (int)pid, how, quick ? " in 1 s" : "");
            } else if (pid == device.relay) {
                device.relay = 0;
                if (device.relayOut >= 0)
                    close(device.relayOut);
                device.relayOut = -1;
                if (g_stop)
                    break;
                device.relayDue = monotonicMs() + kRestartPauseMs;
                fprintf(stderr, "kal_lab: device %d: kal_http %d ended (%s); starting it again on port %d\n",
                        device.index, (int)pid, how, device.port);
            }
        }
    }
}

void restartDue()
{
    long long now = monotonicMs();
    for (int i = 0; i < g_count; i++) {
        Device &device = g_devices[i];
        if (device.serverDue != 0 && now >= device.serverDue && startServer(device))
            fprintf(stderr, "kal_lab: device %d: kal_server %d started on %s\n", device.index, (int)device.server,
                    device.root);
        else if (device.serverDue != 0 && now >= device.serverDue)
            device.serverDue = now + kRestartPauseMs;
        if (device.relayDue != 0 && now >= device.relayDue && !startRelay(device))
            device.relayDue = now + kRestartPauseMs;
    }
}

// Servers get SIGINT (they remove their socket and run file), relays
// SIGTERM; what still runs after kStopMs gets SIGKILL. Then the roots that
// kal_lab made go.
void stopAll()
{
    g_stop = 1;
    for (int i = 0; i < g_count; i++) {
        if (g_devices[i].server > 0)
            kill(g_devices[i].server, SIGINT);
        if (g_devices[i].relay > 0)
            kill(g_devices[i].relay, SIGTERM);
    }
    long long deadline = monotonicMs() + kStopMs;
    for (;;) {
        reap();
        bool running = false;
        for (int i = 0; i < g_count; i++)
            running = running || g_devices[i].server > 0 || g_devices[i].relay > 0;
        if (!running)
            break;
        if (monotonicMs() >= deadline) {
            for (int i = 0; i < g_count; i++) {
                if (g_devices[i].server > 0)
                    kill(g_devices[i].server, SIGKILL);
                if (g_devices[i].relay > 0)
                    kill(g_devices[i].relay, SIGKILL);
            }
            deadline = monotonicMs() + kStopMs;
        }
        pauseMs(10);
    }
    for (int i = 0; i < g_count; i++) {
        Device &device = g_devices[i];
        if (device.relayOut >= 0)
            close(device.relayOut);
        device.relayOut = -1;
        simRunForget(device.root, SIM_RUN_SUPERVISOR_FILE);
        if (device.created)
            removeTree(device.root);
    }
    if (g_parentCreated)
        rmdir(g_options.root);  // only when nothing else was put in it
}

// Beside this program, unless given.
bool defaultBinary(char *out, size_t size, const char *name)
{
    if (out[0] != '\0')
        return true;
    char self[PATH_MAX];
    memset(self, 0, sizeof(self));
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    char *slash = n > 0 ? strrchr(self, '/') : NULL;
    if (slash == NULL)
        return false;
    *slash = '\0';
    return snprintf(out, size, "%s/%s", self, name) < (int)size;
}

bool parseOptions(int argc, char **argv)
{
    memset(g_options.server, 0, sizeof(g_options.server));
    memset(g_options.http, 0, sizeof(g_options.http));
    for (int i = 1; i < argc; i++) {
        bool hasValue = i + 1 < argc;
        if (strcmp(argv[i], "--devices") == 0 && hasValue) {
            char *end = NULL;
            long n = strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || n < 1 || n > kMaxDevices) {
                fprintf(stderr, "kal_lab: --devices needs a number from 1 to %d, not \"%s\"\n", kMaxDevices, argv[i]);
                return false;
            }
            g_options.devices = (int)n;
        } else if (strcmp(argv[i], "--root") == 0 && hasValue) {
            g_options.root = argv[++i];
        } else if ((strcmp(argv[i], "--server") == 0 || strcmp(argv[i], "--http") == 0) && hasValue) {
            char *out = argv[i][2] == 's' ? g_options.server : g_options.http;
            if (copyText(out, argv[i + 1], PATH_MAX) >= PATH_MAX) {
                fprintf(stderr, "kal_lab: %s: the path is too long\n", argv[i]);
                return false;
            }
            i++;
        } else if (strcmp(argv[i], "--no-relay") == 0) {
            g_options.relay = false;
        } else if (strcmp(argv[i], "--foreground") == 0) {
            g_options.foreground = true;
        } else if (strcmp(argv[i], "--until-stdin-closes") == 0) {
            g_options.untilStdinCloses = true;
        } else {
            fprintf(stderr, "kal_lab: unknown or incomplete option \"%s\"\n", argv[i]);
            return false;
        }
    }
    if (g_options.devices == 0) {
        fprintf(stderr, "kal_lab: --devices N is required\n");
        return false;
    }
    if (!defaultBinary(g_options.server, sizeof(g_options.server), "kal_server") ||
        !defaultBinary(g_options.http, sizeof(g_options.http), "kal_http")) {
        fprintf(stderr, "kal_lab: cannot tell where this program is, to find kal_server and kal_http beside it\n");
        return false;
    }
    return true;
}

// A directory for the device: made (and later removed) when missing, an
// absolute path without links either way, short enough for the socket.
bool makeRoot(Device &device)
{
    char wanted[PATH_MAX];
    memset(wanted, 0, sizeof(wanted));
    if (g_options.root == NULL) {
        const char *tmp = getenv("TMPDIR");
        snprintf(wanted, sizeof(wanted), "%s/kal-lab-XXXXXX", tmp != NULL && tmp[0] == '/' ? tmp : "/tmp");
        if (mkdtemp(wanted) == NULL) {
            fprintf(stderr, "kal_lab: device %d: cannot create a root under %s: %s\n", device.index,
                    tmp != NULL ? tmp : "/tmp", strerror(errno));
            return false;
        }
        device.created = true;
    } else {
        if (g_options.devices > 1) {
            if (mkdir(g_options.root, 0755) == 0)
                g_parentCreated = true;
            else if (errno != EEXIST) {
                fprintf(stderr, "kal_lab: cannot create %s: %s\n", g_options.root, strerror(errno));
                return false;
            }
            snprintf(wanted, sizeof(wanted), "%s/%d", g_options.root, device.index);
        } else {
            copyText(wanted, g_options.root, sizeof(wanted));
        }
        if (mkdir(wanted, 0755) == 0)
            device.created = true;
        else if (errno != EEXIST) {
            fprintf(stderr, "kal_lab: device %d: cannot create its root %s: %s\n", device.index, wanted,
                    strerror(errno));
            return false;
        }
    }
    char real[PATH_MAX];
    memset(real, 0, sizeof(real));
    if (realpath(wanted, real) == NULL) {
        fprintf(stderr, "kal_lab: device %d: cannot resolve its root %s: %s\n", device.index, wanted, strerror(errno));
        return false;
    }
    if (copyText(device.root, real, sizeof(device.root)) >= sizeof(device.root)) {
        fprintf(stderr, "kal_lab: device %d: its root %s is longer than %d bytes\n", device.index, real, KAL_ROOT_MAX);
        return false;
    }
    char why[700];
    memset(why, 0, sizeof(why));
    if (simRunMakeDir(device.root, why, sizeof(why)) != 0) {
        fprintf(stderr, "kal_lab: device %d: %s\n", device.index, why);
        return false;
    }
    return true;
}

void printDevices()
{
    cJSON *out = cJSON_CreateObject();
    cJSON *list = cJSON_AddArrayToObject(out, "devices");
    for (int i = 0; i < g_count; i++) {
        const Device &device = g_devices[i];
        cJSON *entry = cJSON_CreateObject();
        char socketPath[600];
        socketOf(device, socketPath, sizeof(socketPath));
        cJSON_AddStringToObject(entry, "root", device.root);
        cJSON_AddStringToObject(entry, "socket", socketPath);
        if (g_options.relay) {
            char url[64];
            memset(url, 0, sizeof(url));
            snprintf(url, sizeof(url), "http://%s:%d", kRelayHost, device.port);
            cJSON_AddStringToObject(entry, "url", url);
        } else {
            cJSON_AddNullToObject(entry, "url");
        }
        cJSON_AddNumberToObject(entry, "server_pid", device.server);
        if (g_options.relay)
            cJSON_AddNumberToObject(entry, "relay_pid", device.relay);
        else
            cJSON_AddNullToObject(entry, "relay_pid");
        cJSON_AddItemToArray(list, entry);
    }
    char *text = cJSON_PrintUnformatted(out);
    cJSON_Delete(out);
    if (text != NULL)
        printf("%s\n", text);
    fflush(stdout);
    cJSON_free(text);
}

bool startDevices()
{
    long long started = monotonicMs();
    for (int i = 0; i < g_options.devices; i++) {
        Device &device = g_devices[i];
        memset(&device, 0, sizeof(device));
        device.index = i + 1;
        device.relayOut = -1;
        g_count = i + 1;
        if (!makeRoot(device))
            return false;
        // A root that a server already serves (of another kal_lab, say) is
        // not this one's to supervise.
        char socketPath[600];
        socketOf(device, socketPath, sizeof(socketPath));
        pid_t other = 0;
        if (simServerAnswers(socketPath, kBusyProbeMs, &other) == 0) {
            fprintf(stderr, "kal_lab: device %d: another server (pid %d) answers on %s\n", device.index, (int)other,
                    socketPath);
            return false;
        }
        char why[600];
        memset(why, 0, sizeof(why));
        // Registered before its server starts: a power cycle from now on
        // leaves the restart to kal_lab.
        if (simRunRecord(device.root, SIM_RUN_SUPERVISOR_FILE, why, sizeof(why)) != 0) {
            fprintf(stderr, "kal_lab: device %d: cannot register as its supervisor: %s\n", device.index, why);
            return false;
        }
        if (!startServer(device))
            return false;
    }
    // The servers seed their roots meanwhile; each relay names its port.
    for (int i = 0; i < g_count; i++)
        if (g_options.relay && !startRelay(g_devices[i]))
            return false;
    long long deadline = started + kReadyMs;
    for (int i = 0; i < g_count; i++) {
        Device &device = g_devices[i];
        while (!answers(device)) {
            reap();
            restartDue();
            if (g_stop || monotonicMs() >= deadline) {
                fprintf(stderr, "kal_lab: device %d: %s within %lld s (see %s%s/)\n", device.index,
                        g_stop ? "stopped before it answered" : "no answer", kReadyMs / 1000, device.root,
                        SIM_RUN_DIR_PATH);
                return false;
            }
            pauseMs(20);
        }
        fprintf(stderr, "kal_lab: device %d: kal_server %d%s on %s\n", device.index, (int)device.server,
                g_options.relay ? (" and kal_http " + std::to_string(device.relay) + " at http://" + kRelayHost + ":" +
                                   std::to_string(device.port))
                                      .c_str()
                                : "",
                device.root);
    }
    fprintf(stderr, "kal_lab: %d device%s after %.2f s\n", g_count, g_count == 1 ? " answers" : "s answer",
            (double)(monotonicMs() - started) / 1000.0);
    return true;
}

// Drains what the relays print after their first line; stops on stdin's end.
void serveLoop()
{
    while (!g_stop) {
        struct pollfd fds[kMaxDevices + 2];
        memset(fds, 0, sizeof(fds));
        int n = 0;
        fds[n++] = {g_wake[0], POLLIN, 0};
        int stdinAt = -1;
        if (g_options.untilStdinCloses) {
            stdinAt = n;
            fds[n++] = {STDIN_FILENO, POLLIN, 0};
        }
        int relaysAt = n;
        for (int i = 0; i < g_count; i++)
            fds[n++] = {g_devices[i].relayOut, POLLIN, 0};
        poll(fds, (nfds_t)n, kTickMs);
        char buffer[4096];
        if (fds[0].revents & POLLIN) {
            while (read(g_wake[0], buffer, sizeof(buffer)) > 0) {
            }
        }
        if (stdinAt >= 0 && fds[stdinAt].revents != 0) {
            ssize_t got = read(STDIN_FILENO, buffer, sizeof(buffer));
            if (got <= 0) {
                fprintf(stderr, "kal_lab: standard input closed: stopping\n");
                return;
            }
        }
        for (int i = 0; i < g_count; i++)
            if (fds[relaysAt + i].fd >= 0 && fds[relaysAt + i].revents != 0 &&
                read(fds[relaysAt + i].fd, buffer, sizeof(buffer)) <= 0) {
                close(g_devices[i].relayOut);
                g_devices[i].relayOut = -1;
            }
        if (parentGone()) {
            fprintf(stderr, "kal_lab: its parent ended: stopping\n");
            return;
        }
        reap();
        restartDue();
    }
    fprintf(stderr, "kal_lab: stopping\n");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0)) {
        usage(stdout);
        return 0;
    }
    if (!parseOptions(argc, argv)) {
        usage(stderr);
        return 2;
    }
    // Ends with its parent; a parent gone before this line is caught by
    // the check that follows it.
    g_parent = getppid();
    g_self = getpid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        fprintf(stderr, "kal_lab: cannot create its wake-up pipe: %s\n", strerror(errno));
        return 1;
    }
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = onStop;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGHUP, &action, NULL);
    action.sa_handler = onChild;
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigaction(SIGCHLD, &action, NULL);
    // A test runner that stops reading the output must not end kal_lab
    // before it has stopped its children.
    signal(SIGPIPE, SIG_IGN);
    if (parentGone())
        return 0;

    if (!startDevices()) {
        stopAll();
        return 1;
    }
    printDevices();
    serveLoop();
    stopAll();
    return 0;
}
