// Run files of the simulated device's server and supervisor, and the probe
// that asks whether a server answers on a socket.
#include "sim/sim_run.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/peer_credentials.h"
#include "common/replace_file.h"
#include "common/request_client.h"
#include "common/text.h"
#include "sim/sim_files.h"

namespace {

// /proc/PID/stat: the start time is field 22, the state field 3; both come
// after the command name, which may itself hold blanks and parentheses.
const int kStartField = 22;
const int kStateField = 3;

}  // namespace

int simRunPath(const char *root, const char *name, char *out, size_t size)
{
    memset(out, 0, size);
    int n = snprintf(out, size, "%s%s/%s", root, SIM_RUN_DIR_PATH, name);
    if (n < 0 || (size_t)n >= size) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int simProcessStart(pid_t pid, unsigned long long *start)
{
    if (pid <= 0)
        return -1;
    char path[64];
    memset(path, 0, sizeof(path));
    snprintf(path, sizeof(path), "/proc/%d/stat", (int)pid);
    char text[1024];
    if (simReadFile(path, text, sizeof(text)) <= 0)
        return -1;
    char *field = strrchr(text, ')');
    if (field == NULL)
        return -1;
    field++;
    // Field 2 ends with the ')': the next word is field 3.
    for (int index = kStateField; index <= kStartField; index++) {
        while (*field == ' ')
            field++;
        if (*field == '\0')
            return -1;
        if (index == kStateField && (*field == 'Z' || *field == 'X'))
            return -1;
        if (index == kStartField) {
            char *end = NULL;
            errno = 0;
            unsigned long long value = strtoull(field, &end, 10);
            if (errno != 0 || end == field)
                return -1;
            *start = value;
            return 0;
        }
        while (*field != ' ' && *field != '\0')
            field++;
    }
    return -1;
}

int simRunMakeDir(const char *root, char *why, size_t size)
{
    char dir[512];
    memset(dir, 0, sizeof(dir));
    if (snprintf(dir, sizeof(dir), "%s%s", root, SIM_RUN_DIR_PATH) >= (int)sizeof(dir)) {
        snprintf(why, size, "the run directory's path under %s is too long", root);
        return -1;
    }
    if (mkdir(dir, 0755) != 0 && errno != EEXIST) {
        snprintf(why, size, "cannot create %s: %s", dir, strerror(errno));
        return -1;
    }
    return 0;
}

int simRunText(const SimProcess *process, char *out, size_t size)
{
    memset(out, 0, size);
    int n = snprintf(out, size, "%d %llu\n", (int)process->pid, process->start);
    return n > 0 && (size_t)n < size ? n : -1;
}

int simRunRecord(const char *root, const char *name, char *why, size_t size, SimProcess *recorded)
{
    char path[512];
    if (simRunPath(root, name, path, sizeof(path)) != 0) {
        snprintf(why, size, "the run file's path under %s is too long", root);
        return -1;
    }
    if (simRunMakeDir(root, why, size) != 0)
        return -1;
    SimProcess self = {getpid(), 0};
    if (simProcessStart(self.pid, &self.start) != 0) {
        snprintf(why, size, "cannot read this process's start time in /proc");
        return -1;
    }
    char text[64];
    int n = simRunText(&self, text, sizeof(text));
    if (n < 0 || replaceFile(path, text, (size_t)n, 0644) != 0) {
        snprintf(why, size, "cannot write %s: %s", path, strerror(errno));
        return -1;
    }
    if (recorded != NULL)
        *recorded = self;
    return 0;
}

int simRunRead(const char *root, const char *name, SimProcess *out)
{
    char path[512];
    if (simRunPath(root, name, path, sizeof(path)) != 0)
        return -1;
    char text[64];
    if (simReadFile(path, text, sizeof(text)) <= 0)
        return -1;
    int pid = 0;
    unsigned long long start = 0;
    char end = '\0';
    if (sscanf(text, "%d %llu%c", &pid, &start, &end) != 3 || end != '\n' || pid <= 0)
        return -1;
    out->pid = (pid_t)pid;
    out->start = start;
    return 0;
}

bool simRunAlive(const SimProcess *process)
{
    unsigned long long start = 0;
    return simProcessStart(process->pid, &start) == 0 && start == process->start;
}

void simRunForget(const char *root, const char *name)
{
    SimProcess recorded = {0, 0};
    char path[512];
    if (simRunRead(root, name, &recorded) != 0 || recorded.pid != getpid() ||
        simRunPath(root, name, path, sizeof(path)) != 0)
        return;
    if (unlink(path) == 0)
        syncDirectoryOf(path);
}

int simServerAnswers(const char *socketPath, int timeoutMs, pid_t *pid)
{
    const char request[] = SIM_PROBE_REQUEST;
    // Only who answers matters: a longer reply is cut, which is fine.
    char reply[512];
    memset(reply, 0, sizeof(reply));
    size_t length = 0;
    pid_t answered = 0;
    if (requestOnce(socketPath, request, sizeof(request) - 1, timeoutMs, reply, sizeof(reply), &length, NULL, 0,
                    &answered) != REQUEST_OK || answered <= 0)
        return -1;
    *pid = answered;
    return 0;
}

void simRunDefaultSignals(void)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
    for (int sig = 1; sig < NSIG; sig++)
        if (sig != SIGKILL && sig != SIGSTOP)
            signal(sig, SIG_DFL);
}
