#include "sim/sim_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include "platform/device_paths.h"
#include "server/utils.h"
#include "sim/sim_files.h"
#include "sim/sim_state_files.h"

namespace {

// A holder keeps the lock for one change; one that keeps it longer is
// stuck, and waiting on would hold up the server's only thread.
const long kWaitMs = 1000;
const long kRetryNs = 1000000;

// Per thread: a second flock on another descriptor of the same file would
// wait for the first, so nested frames only count.
thread_local int t_depth = 0;
thread_local int t_fd = -1;

void tell(char *why, size_t size, const char *what, const char *path, const char *reason)
{
    if (why == NULL || size == 0)
        return;
    memset(why, 0, size);
    snprintf(why, size, "%s %s: %s", what, path, reason);
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
        tell(why, size, "cannot lock the simulated device under", kalRoot(), "the path is too long");
        return -1;
    }
    // Owner-only: another user able to open it could hold it for ever.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        tell(why, size, "cannot open the lock file", path, strerror(errno));
        return -1;
    }
    long long start = monotonicMs();
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        if (error == EINTR)
            continue;
        if (error != EWOULDBLOCK || monotonicMs() - start >= kWaitMs) {
            tell(why, size, "cannot lock", path,
                 error == EWOULDBLOCK ? "another process has held it for a second" : strerror(error));
            close(fd);
            return -1;
        }
        struct timespec pause = {0, kRetryNs};
        nanosleep(&pause, NULL);
    }
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
