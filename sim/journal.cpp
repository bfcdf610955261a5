// Journals of the simulated device: requests that the stand-ins record
// instead of carrying them out, one time-stamped line each.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "common/replace_file.h"
#include "sim/sim_device.h"
#include "sim/sim_files.h"
#include "sim/sim_lock.h"

namespace {

// Older lines are dropped past this size, keeping the journal bounded.
const size_t kMaxJournal = 32 * 1024;

}  // namespace

int simJournalAppend(const char *name, const char *line)
{
    return simLocked(-1, [&] {
        char path[512];
        if (name == NULL || line == NULL || simStatePath(path, sizeof(path), name) != 0)
            return -1;
        static char text[kMaxJournal + 512];
        memset(text, 0, sizeof(text));
        long have = simReadFile(path, text, kMaxJournal);
        if (have < 0)
            have = 0;
        size_t used = (size_t)have;
        if (used + 256 > kMaxJournal) {
            // Keep the newer half, from a line start.
            const char *cut = strchr(text + used / 2, '\n');
            size_t from = cut != NULL ? (size_t)(cut + 1 - text) : used;
            memmove(text, text + from, used - from);
            used -= from;
            text[used] = '\0';
        }
        time_t now = time(NULL);
        struct tm tm;
        memset(&tm, 0, sizeof(tm));
        localtime_r(&now, &tm);
        int n = snprintf(text + used, sizeof(text) - used, "%04d-%02d-%02d %02d:%02d:%02d %s\n", tm.tm_year + 1900,
                         tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, line);
        if (n < 0 || (size_t)n >= sizeof(text) - used)
            return -1;
        return replaceFile(path, text, used + (size_t)n, 0644);
    });
}
