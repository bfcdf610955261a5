#include "sim/sim_clock.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "common/device_paths.h"
#include "sim/sim_files.h"

namespace {

// The zone file as last seen, so that an unchanged one costs one stat.
struct stat g_seen;
bool g_seenValid = false;
// The zone file's directory, watched so that an unchanged zone costs
// nothing at all: it is looked at again only after a change there, or on
// every request while there is no watch (the directory is missing, or was
// replaced).
int g_notify = -1;
int g_watch = -1;
bool g_changed = true;
const uint32_t kWatchEvents = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_CLOSE_WRITE | IN_MODIFY |
                              IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The host's TZ, to go back to while no known zone is stored.
char g_hostTz[256];
bool g_hostHadTz = false;
bool g_hostSaved = false;

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

void useHostZone(void)
{
    if (g_hostHadTz)
        setenv("TZ", g_hostTz, 1);
    else
        unsetenv("TZ");
    tzset();
}

}  // namespace

bool simKnownZone(const char *name)
{
    if (name[0] == '\0' || name[0] == '/' || strstr(name, "..") != NULL)
        return false;
    for (const char *c = name; *c != '\0'; c++) {
        bool ok = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '/' ||
                  *c == '_' || *c == '-' || *c == '+';
        if (!ok)
            return false;
    }
    char path[512];
    memset(path, 0, sizeof(path));
    int n = snprintf(path, sizeof(path), "/usr/share/zoneinfo/%s", name);
    return n > 0 && (size_t)n < sizeof(path) && simExists(path);
}

int simZoneWatchFd(void)
{
    if (g_notify < 0)
        g_notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return g_notify;
}

void simZoneWatchRead(void)
{
    union {
        struct inotify_event event;
        char bytes[4096];
    } buffer;
    ssize_t n;
    while ((n = read(g_notify, buffer.bytes, sizeof(buffer.bytes))) > 0) {
        for (ssize_t at = 0; at + (ssize_t)sizeof(struct inotify_event) <= n;) {
            struct inotify_event event;
            memcpy(&event, buffer.bytes + at, sizeof(event));
            // The directory itself went: no watch until it is back.
            if ((event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_Q_OVERFLOW)) != 0 && g_watch >= 0) {
                inotify_rm_watch(g_notify, g_watch);
                g_watch = -1;
            }
            at += (ssize_t)sizeof(struct inotify_event) + (ssize_t)event.len;
        }
    }
    g_changed = true;
}

void simFollowStoredZone(void)
{
    if (g_watch >= 0 && !g_changed)
        return;
    if (!g_hostSaved) {
        memset(g_hostTz, 0, sizeof(g_hostTz));
        const char *tz = getenv("TZ");
        g_hostHadTz = tz != NULL;
        if (g_hostHadTz)
            snprintf(g_hostTz, sizeof(g_hostTz), "%s", tz);
        g_hostSaved = true;
    }
    // Looked at before every request: the path is made once.
    static char path[512];
    static int pathMade = -1;
    if (pathMade < 0)
        pathMade = kalPath(path, sizeof(path), TIMEZONE_FILE_PATH) == 0 ? 1 : 0;
    // Watched before it is looked at, so that no change falls in between.
    if (g_watch < 0 && g_notify >= 0 && pathMade == 1) {
        char dir[sizeof(path)];
        memcpy(dir, path, sizeof(dir));
        char *slash = strrchr(dir, '/');
        if (slash != NULL) {
            *slash = '\0';
            g_watch = inotify_add_watch(g_notify, dir, kWatchEvents);
        }
    }
    g_changed = false;
    struct stat st;
    memset(&st, 0, sizeof(st));
    if (pathMade == 0 || stat(path, &st) != 0) {
        if (g_seenValid)
            useHostZone();
        g_seenValid = false;
        return;
    }
    if (g_seenValid && sameFile(st, g_seen))
        return;
    g_seen = st;
    g_seenValid = true;
    // The zone is the file's first line, as the time module reads it.
    char zone[128];
    memset(zone, 0, sizeof(zone));
    if (simReadFile(path, zone, sizeof(zone)) < 0)
        zone[0] = '\0';
    zone[strcspn(zone, "\r\n")] = '\0';
    if (!simKnownZone(zone)) {
        useHostZone();
        return;
    }
    char tz[160];
    memset(tz, 0, sizeof(tz));
    snprintf(tz, sizeof(tz), ":%s", zone);
    setenv("TZ", tz, 1);
    tzset();
}
