#include "sim/sim_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "common/clock.h"
#include "common/device_paths.h"
#include "sim/sim_files.h"
#include "sim/sim_state_files.h"

namespace {

// A holder keeps the lock for one change; one that keeps it longer is
// stuck, and waiting on would hold up the server's only thread. The bound
// is on one holder, not on the wait: a queue of quick holders is progress.
const long kHeldMs = 1000;
// How often a waiter wakes to see whether the lock changed hands.
const long kCheckMs = 100;
// Interrupts a waiting thread's flock() at each check. Its handler does
// nothing: the interruption is the point.
const int kTickSignalFromMax = 3;
// The holder's note at the start of the lock file: "pid P n N at MS".
const size_t kNoteBytes = 64;

// Per thread: a second flock on another descriptor of the same file would
// wait for the first, so nested frames only count.
thread_local int t_depth = 0;
thread_local int t_fd = -1;
// The holding a wait of this thread gave up on (its note and pid): later
// waits for that same holding fail at once instead of waiting again.
thread_local char t_stuckNote[kNoteBytes];
thread_local long t_stuckPid = 0;

std::atomic<unsigned> g_takes{0};
std::once_flag g_tickOnce;
bool g_tickReady = false;

int tickSignal(void)
{
    return SIGRTMAX - kTickSignalFromMax;
}

void onTick(int)
{
}

void installTick(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = onTick;
    action.sa_flags = 0;  // no SA_RESTART: the wait must come back
    sigemptyset(&action.sa_mask);
    g_tickReady = sigaction(tickSignal(), &action, NULL) == 0;
}

void tell(char *why, size_t size, const char *format, const char *path, const char *reason)
{
    if (why == NULL || size == 0)
        return;
    memset(why, 0, size);
    snprintf(why, size, format, path, reason);
}

// Who holds the lock now, as the last holder that says so wrote it. A
// script holding it with flock(1) writes nothing: the note is then an
// older holder's, which is why waiters only compare notes.
void readNote(int fd, char note[kNoteBytes])
{
    memset(note, 0, kNoteBytes);
    ssize_t n = pread(fd, note, kNoteBytes - 1, 0);
    if (n < 0)
        note[0] = '\0';
}

void writeNote(int fd)
{
    char note[kNoteBytes];
    memset(note, ' ', sizeof(note));
    char text[kNoteBytes];
    memset(text, 0, sizeof(text));
    int n = snprintf(text, sizeof(text), "pid %ld n %u at %lld", (long)getpid(), g_takes.fetch_add(1) + 1,
                     monotonicMs());
    if (n > 0 && (size_t)n < sizeof(note) - 1)
        memcpy(note, text, (size_t)n);
    note[sizeof(note) - 1] = '\n';
    // A note only helps the messages: a failed write changes nothing else.
    if (pwrite(fd, note, sizeof(note), 0) < 0) {
    }
}

// The process holding the flock on fd's file, from the kernel's list of
// locks; 0 when it does not say.
long holderPid(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    FILE *locks = fopen("/proc/locks", "re");
    if (locks == NULL)
        return 0;
    char line[256];
    long pid = 0;
    while (pid == 0 && fgets(line, sizeof(line), locks) != NULL) {
        char kind[16], mode[16], access[16], where[64];
        memset(kind, 0, sizeof(kind));
        memset(mode, 0, sizeof(mode));
        memset(access, 0, sizeof(access));
        memset(where, 0, sizeof(where));
        long owner = 0;
        // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; waiters have "->".
        if (strstr(line, "->") != NULL ||
            sscanf(line, "%*d: %15s %15s %15s %ld %63s", kind, mode, access, &owner, where) != 5 ||
            strcmp(kind, "FLOCK") != 0)
            continue;
        const char *inode = strrchr(where, ':');
        // The inode alone: an overlay file system reports another device.
        if (inode != NULL && strtoull(inode + 1, NULL, 10) == (unsigned long long)st.st_ino && owner > 0)
            pid = owner;
    }
    fclose(locks);
    return pid;
}

void describeHolder(long pid, char *out, size_t size)
{
    memset(out, 0, size);
    if (pid > 0)
        snprintf(out, size, "process %ld", pid);
    else
        snprintf(out, size, "another process");
}

// A per-thread timer interrupting the wait every kCheckMs; false when none
// can be made (the wait then polls).
bool startTicks(timer_t *timer)
{
    std::call_once(g_tickOnce, installTick);
    if (!g_tickReady)
        return false;
    struct sigevent event;
    memset(&event, 0, sizeof(event));
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = tickSignal();
    event._sigev_un._tid = (pid_t)syscall(SYS_gettid);
    if (timer_create(CLOCK_MONOTONIC, &event, timer) != 0)
        return false;
    struct itimerspec every;
    memset(&every, 0, sizeof(every));
    every.it_value.tv_nsec = kCheckMs * 1000000L;
    every.it_interval.tv_nsec = kCheckMs * 1000000L;
    if (timer_settime(*timer, 0, &every, NULL) != 0) {
        timer_delete(*timer);
        return false;
    }
    return true;
}

// Words why a wait on path gave up on the holder pid: "<holder> <how>".
void tellStuck(long pid, const char *how, const char *path, char *why, size_t size)
{
    char who[64];
    describeHolder(pid, who, sizeof(who));
    char reason[160];
    memset(reason, 0, sizeof(reason));
    snprintf(reason, sizeof(reason), "%s %s", who, how);
    tell(why, size, "cannot lock %s: %s", path, reason);
}

// Waits for the lock on fd, queued in the kernel: flock() returns as soon
// as the holder lets go. Gives up once one holding has lasted kHeldMs
// while this thread waited. 0, or -1 after writing why.
int waitForLock(int fd, const char *path, char *why, size_t size)
{
    char note[kNoteBytes];
    readNote(fd, note);
    if (t_stuckPid != 0 && strcmp(note, t_stuckNote) == 0) {
        long pid = holderPid(fd);
        if (pid == t_stuckPid) {
            tellStuck(pid, "still holds it, as it did for more than a second before", path, why, size);
            return -1;
        }
    }
    t_stuckPid = 0;
    memset(t_stuckNote, 0, sizeof(t_stuckNote));

    sigset_t tick, old;
    sigemptyset(&tick);
    sigaddset(&tick, tickSignal());
    pthread_sigmask(SIG_UNBLOCK, &tick, &old);
    timer_t timer;
    memset(&timer, 0, sizeof(timer));
    bool ticking = startTicks(&timer);
    long long seen = monotonicMs();  // when the current note was first seen
    int rc = 0;
    for (;;) {
        if (flock(fd, ticking ? LOCK_EX : LOCK_EX | LOCK_NB) == 0)
            break;
        int error = errno;
        if (error != EINTR && (ticking || error != EWOULDBLOCK)) {
            tell(why, size, "cannot lock %s: %s", path, strerror(error));
            rc = -1;
            break;
        }
        if (!ticking) {
            struct timespec pause = {0, 1000000L};
            nanosleep(&pause, NULL);
        }
        char now[kNoteBytes];
        readNote(fd, now);
        long long at = monotonicMs();
        if (strcmp(now, note) != 0) {
            memcpy(note, now, sizeof(note));
            seen = at;
            continue;
        }
        if (at - seen < kHeldMs)
            continue;
        long pid = holderPid(fd);
        tellStuck(pid, "has held it for more than a second", path, why, size);
        memcpy(t_stuckNote, note, sizeof(t_stuckNote));
        t_stuckPid = pid > 0 ? pid : -1;
        rc = -1;
        break;
    }
    if (ticking)
        timer_delete(timer);
    pthread_sigmask(SIG_SETMASK, &old, NULL);
    return rc;
}

}  // namespace

int simLockAcquire(char *why, size_t size)
{
    if (t_depth > 0) {
        t_depth++;
        return 0;
    }
    char path[512];
    if (simStatePath(path, sizeof(path), SIM_LOCK_FILE) != 0) {
        tell(why, size, "cannot lock the simulated device under %s: %s", kalRoot(), "the path is too long");
        return -1;
    }
    // Owner-only: another user able to open it could hold it for ever.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        tell(why, size, "cannot open the lock file %s: %s", path, strerror(errno));
        return -1;
    }
    int rc = 0;
    while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0 && errno != EWOULDBLOCK) {
        tell(why, size, "cannot lock %s: %s", path, strerror(errno));
        close(fd);
        return -1;
    }
    if (rc != 0 && waitForLock(fd, path, why, size) != 0) {
        close(fd);
        return -1;
    }
    writeNote(fd);
    t_fd = fd;
    t_depth = 1;
    return 0;
}

void simLockRelease(void)
{
    if (t_depth <= 0)
        return;
    if (--t_depth == 0) {
        // Closing the only descriptor of the open file lets the lock go.
        close(t_fd);
        t_fd = -1;
    }
}
