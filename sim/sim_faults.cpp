#include "sim/sim_faults.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "common/diagnostics.h"
#include "common/replace_file.h"
#include "sim/sim_files.h"

namespace {

const char *const kServiceNames[SIM_SERVICE_COUNT] = {
    "config-store", "mobile", "wlan-manager", "flowstat", "upgrade",
    "verifier", "network-manager", "state-control", "isp-update", "time",
};

const size_t kMaxFaultsFile = 4096;

// The file as last read by this thread, known by identity and change time:
// a call only stats it. Per thread, as kal_http's workers each call.
struct FaultCache {
    bool valid;
    dev_t device;
    ino_t inode;
    struct timespec changed;
    off_t bytes;
    SimFault faults[SIM_SERVICE_COUNT];
};

thread_local FaultCache t_cache;
thread_local int t_suspended = 0;
// The request under way (0: none was ever begun) and, per service, the
// request whose delay it has served already.
thread_local unsigned long t_request = 0;
thread_local unsigned long t_delayedIn[SIM_SERVICE_COUNT];

void parseFaults(const char *text, SimFault faults[SIM_SERVICE_COUNT])
{
    memset(faults, 0, sizeof(SimFault) * SIM_SERVICE_COUNT);
    const char *line = text;
    while (line != NULL && *line != '\0') {
        const char *end = strchr(line, '\n');
        char buf[128];
        memset(buf, 0, sizeof(buf));
        size_t len = end != NULL ? (size_t)(end - line) : strlen(line);
        if (len < sizeof(buf)) {
            memcpy(buf, line, len);
            char name[32], kind[16];
            memset(name, 0, sizeof(name));
            memset(kind, 0, sizeof(kind));
            int delay = 0;
            int fields = sscanf(buf, "%31s %15s %d", name, kind, &delay);
            int service = fields >= 2 ? simServiceByName(name) : -1;
            // Lines that are no fault (a comment, a typo) are skipped.
            if (service >= 0 && strcmp(kind, "fail") == 0) {
                faults[service].kind = SIM_FAULT_FAIL;
            } else if (service >= 0 && strcmp(kind, "slow") == 0 && fields == 3 && delay >= 0) {
                faults[service].kind = SIM_FAULT_SLOW;
                faults[service].delayMs = delay < SIM_FAULT_MAX_DELAY_MS ? delay : SIM_FAULT_MAX_DELAY_MS;
            }
        }
        line = end != NULL ? end + 1 : NULL;
    }
}

// The fault of service now: the cached reading while the file is the
// same, else read afresh.
SimFault currentFault(int service)
{
    SimFault none;
    memset(&none, 0, sizeof(none));
    char path[512];
    struct stat st;
    if (simStatePath(path, sizeof(path), SIM_FAULTS_FILE) != 0 || stat(path, &st) != 0) {
        t_cache.valid = false;
        return none;
    }
    bool same = t_cache.valid && t_cache.device == st.st_dev && t_cache.inode == st.st_ino &&
                t_cache.changed.tv_sec == st.st_mtim.tv_sec && t_cache.changed.tv_nsec == st.st_mtim.tv_nsec &&
                t_cache.bytes == st.st_size;
    if (!same) {
        char text[kMaxFaultsFile];
        memset(text, 0, sizeof(text));
        if (simReadFile(path, text, sizeof(text)) < 0) {
            t_cache.valid = false;
            return none;
        }
        parseFaults(text, t_cache.faults);
        t_cache.valid = true;
        t_cache.device = st.st_dev;
        t_cache.inode = st.st_ino;
        t_cache.changed = st.st_mtim;
        t_cache.bytes = st.st_size;
    }
    return t_cache.faults[service];
}

void sleepMs(int ms)
{
    struct timespec left = {ms / 1000, (long)(ms % 1000) * 1000000L};
    // A signal (the web timer's SIGUSR2) does not cut the delay short.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

const char *simServiceName(int service)
{
    return service >= 0 && service < SIM_SERVICE_COUNT ? kServiceNames[service] : NULL;
}

int simServiceByName(const char *name)
{
    for (int i = 0; name != NULL && i < SIM_SERVICE_COUNT; i++)
        if (strcmp(name, kServiceNames[i]) == 0)
            return i;
    return -1;
}

bool simServiceFails(SimService service)
{
    if (t_suspended > 0 || service < 0 || service >= SIM_SERVICE_COUNT)
        return false;
    SimFault fault = currentFault(service);
    if (fault.kind == SIM_FAULT_SLOW && fault.delayMs > 0 && (t_request == 0 || t_delayedIn[service] != t_request)) {
        if (t_request != 0) {
            t_delayedIn[service] = t_request;
            diagPrintf("simulated device: %s is slow: this request waits %d ms\n", kServiceNames[service],
                       fault.delayMs);
        }
        sleepMs(fault.delayMs);
    }
    return fault.kind == SIM_FAULT_FAIL;
}

void simFaultsNewRequest(void)
{
    t_request++;
    if (t_request == 0)
        t_request = 1;  // wrapped: 0 means none begun
}

void simFaultsSuspend(void)
{
    t_suspended++;
}

void simFaultsResume(void)
{
    if (t_suspended > 0)
        t_suspended--;
}

int simFaultsRead(SimFault faults[SIM_SERVICE_COUNT])
{
    memset(faults, 0, sizeof(SimFault) * SIM_SERVICE_COUNT);
    char path[512];
    if (simStatePath(path, sizeof(path), SIM_FAULTS_FILE) != 0)
        return -1;
    if (!simExists(path))
        return 0;
    char text[kMaxFaultsFile];
    memset(text, 0, sizeof(text));
    if (simReadFile(path, text, sizeof(text)) < 0)
        return -1;
    parseFaults(text, faults);
    return 0;
}

int simFaultsWrite(const SimFault faults[SIM_SERVICE_COUNT])
{
    char path[512];
    if (simStatePath(path, sizeof(path), SIM_FAULTS_FILE) != 0)
        return -1;
    char text[kMaxFaultsFile];
    memset(text, 0, sizeof(text));
    size_t len = 0;
    for (int i = 0; i < SIM_SERVICE_COUNT; i++) {
        int n = 0;
        if (faults[i].kind == SIM_FAULT_FAIL)
            n = snprintf(text + len, sizeof(text) - len, "%s fail\n", kServiceNames[i]);
        else if (faults[i].kind == SIM_FAULT_SLOW)
            n = snprintf(text + len, sizeof(text) - len, "%s slow %d\n", kServiceNames[i], faults[i].delayMs);
        if (n < 0 || (size_t)n >= sizeof(text) - len)
            return -1;
        len += (size_t)n;
    }
    if (len > 0)
        return replaceFile(path, text, len, 0644);
    if (unlink(path) != 0 && errno != ENOENT)
        return -1;
    return syncDirectoryOf(path);
}
