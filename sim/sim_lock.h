// One writer at a time on the simulated device. The server's simulated
// platform, kal_sim, kal_http's controls and the shell stand-ins all change
// the same state files; each holds an flock on <root>/sim/.lock around a
// read-modify-write of a state file (or a change that spans several), so
// that no writer saves over a change it did not see. Plain reads need no
// lock: every file is replaced whole by rename.
#pragma once

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "common/diagnostics.h"

// Takes the lock, waiting in the kernel's queue for the holder to let go
// (each holds it for one change: a few milliseconds). Gives up when one
// holder has kept it for a second of the wait, however many came and went
// before; a later wait of the same thread for that same holder gives up at
// once. The holder writes a one-line note (its pid) at the start of the
// lock file. Re-entrant within a thread; each thread of a process holds it
// on a descriptor of its own, so threads exclude each other as processes
// do. 0, or -1 after writing into why (when given) what failed and who
// holds it; nothing is then held.
int simLockAcquire(char *why, size_t size);

// Lets go of one simLockAcquire that succeeded.
void simLockRelease(void);

// Runs change() holding the lock and answers its result; answers failed,
// after printing one line saying why, when the lock cannot be taken.
// For the stand-ins' read-modify-write frames.
template <typename Result, typename Change>
Result simLocked(Result failed, Change change)
{
    char why[600];
    memset(why, 0, sizeof(why));
    if (simLockAcquire(why, sizeof(why)) != 0) {
        diagPrintf("simulated device: %s\n", why);
        return failed;
    }
    Result result = change();
    simLockRelease();
    return result;
}
