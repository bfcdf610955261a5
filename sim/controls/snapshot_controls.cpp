// Snapshots and reset: the whole simulated device saved under
// <root>/sim-snapshots/NAME, given back, or put back to the factory state.
// A snapshot holds every file the device keeps (its state under sim/ and
// the device files: the Wi-Fi configuration, uci packages, time zone
// files, block devices, logs, the update package) at the same paths as
// under the root. A restore runs holding the device's lock and replaces
// each file atomically, so a running server reads the old or the new
// content of every file, never a cut one.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "common/text.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_files.h"
#include "sim/sim_lock.h"
#include "sim/sim_state_files.h"

namespace {

// What the device keeps under the root.
const char *const kDeviceAreas[] = {
    SIM_STATE_DIR_PATH, SIM_APP_CONFIG_DIR_PATH, UCI_DEFAULT_CONFIG_DIR_PATH, UCI_CONFIG_DIR_PATH,
    SIM_ZONEINFO_DIR_PATH, BLOCK_DEVICE_DIR_PATH, SYSLOG_DIR_PATH, UPDATE_PACKAGE_PATH,
};
// Files of the workbench rather than of the device: neither saved nor
// replaced nor removed (the lock is in use; faults are set by hand; the
// generation counts the restores themselves).
const char *const kNotDevice[] = {
    SIM_STATE_DIR_PATH "/" SIM_LOCK_FILE,
    SIM_STATE_DIR_PATH "/" SIM_FAULTS_FILE,
    SIM_STATE_DIR_PATH "/" SIM_GENERATION_FILE,
};

const int kMaxDepth = 8;
const size_t kMaxFileBytes = 256 * 1024 * 1024;
const int kMaxSnapshots = 200;

struct Counts {
    int files;
    long long bytes;
    int removed;
};

int snapshotsDir(char *out, size_t size)
{
    return kalPath(out, size, SIM_SNAPSHOTS_DIR_PATH);
}

int snapshotDir(char *out, size_t size, const char *name)
{
    char dir[600];
    if (snapshotsDir(dir, sizeof(dir)) != 0)
        return -1;
    int n = snprintf(out, size, "%s/%s", dir, name);
    return n > 0 && (size_t)n < size ? 0 : -1;
}

bool isDir(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool deviceFile(const char *rel)
{
    for (const char *other : kNotDevice)
        if (strcmp(rel, other) == 0)
            return false;
    // Temporaries of a replacement cut short.
    const char *base = strrchr(rel, '/');
    return strstr(base != NULL ? base : rel, ".tmp") == NULL;
}

// Calls visit(rel) for every regular file at or under base + rel, never
// following a link. 0, or the first non-zero visit() answer, or -1.
template <typename Visit>
int walk(const char *base, const char *rel, int depth, Visit visit)
{
    char path[1024];
    int n = snprintf(path, sizeof(path), "%s%s", base, rel);
    if (n < 0 || (size_t)n >= sizeof(path))
        return -1;
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? 0 : -1;
    if (S_ISREG(st.st_mode))
        return deviceFile(rel) ? visit(rel) : 0;
    if (!S_ISDIR(st.st_mode) || depth >= kMaxDepth)
        return 0;
    DIR *d = opendir(path);
    if (d == NULL)
        return -1;
    int rc = 0;
    struct dirent *entry;
    while (rc == 0 && (entry = readdir(d)) != NULL) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        char child[1024];
        n = snprintf(child, sizeof(child), "%s/%s", rel, entry->d_name);
        rc = n > 0 && (size_t)n < sizeof(child) ? walk(base, child, depth + 1, visit) : -1;
    }
    closedir(d);
    return rc;
}

// Walks every area of the device under base.
template <typename Visit>
int walkDevice(const char *base, Visit visit)
{
    for (const char *area : kDeviceAreas) {
        int rc = walk(base, area, 0, visit);
        if (rc != 0)
            return rc;
    }
    return 0;
}

// Copies base + rel to target + rel, replacing it atomically with the
// same mode (a file that already holds it is left as it is).
int copyFile(const char *base, const char *target, const char *rel, Counts *counts, char *message, size_t size)
{
    char from[1024], to[1024], dir[1024];
    if (snprintf(from, sizeof(from), "%s%s", base, rel) >= (int)sizeof(from) ||
        snprintf(to, sizeof(to), "%s%s", target, rel) >= (int)sizeof(to))
        return say(message, size, CONTROL_FAILED, "the path of %s does not fit", rel);
    struct stat st;
    if (lstat(from, &st) != 0)
        return say(message, size, CONTROL_FAILED, "cannot read %s: %s", from, strerror(errno));
    if ((unsigned long long)st.st_size >= kMaxFileBytes)
        return say(message, size, CONTROL_FAILED, "%s is larger than %zu MB", from, kMaxFileBytes >> 20);
    memset(dir, 0, sizeof(dir));
    memcpy(dir, to, strlen(to));
    char *slash = strrchr(dir, '/');
    if (slash != NULL)
        *slash = '\0';
    if (!isDir(dir) && simMakeDirs(dir, 0755) != 0)
        return say(message, size, CONTROL_FAILED, "cannot create %s: %s", dir, strerror(errno));
    long length = 0;
    char *data = simReadFileAlloc(from, kMaxFileBytes, &length);
    if (data == NULL)
        return say(message, size, CONTROL_FAILED, "cannot read %s: %s", from, strerror(errno));
    int rc = replaceFile(to, data, (size_t)length, st.st_mode & 07777);
    free(data);
    if (rc != 0)
        return say(message, size, CONTROL_FAILED, "cannot write %s: %s", to, strerror(errno));
    counts->files++;
    counts->bytes += length;
    return CONTROL_OK;
}

// Removes a tree that is ours (a snapshot), never following a link.
void removeTree(const char *path, int depth)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return;
    if (S_ISDIR(st.st_mode) && depth < kMaxDepth + 2) {
        DIR *d = opendir(path);
        struct dirent *entry;
        while (d != NULL && (entry = readdir(d)) != NULL) {
            if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
                continue;
            char child[1024];
            int n = snprintf(child, sizeof(child), "%s/%s", path, entry->d_name);
            if (n > 0 && (size_t)n < sizeof(child))
                removeTree(child, depth + 1);
        }
        if (d != NULL)
            closedir(d);
        rmdir(path);
    } else {
        unlink(path);
    }
}

// Makes the device under the root what base holds: each of its files
// replaced atomically, and the device's files base lacks removed. It is
// then another device, even when cut short: the generation goes up first,
// so that a scenario playing stops before its next step.
int restoreFrom(const char *base, Counts *counts, char *message, size_t size)
{
    const char *root = kalRoot();
    if (simGenerationBump() != 0)
        return say(message, size, CONTROL_FAILED, "cannot write the device's generation under %s%s", root,
                   SIM_STATE_DIR_PATH);
    int rc = walkDevice(base, [&](const char *rel) { return copyFile(base, root, rel, counts, message, size); });
    if (rc != CONTROL_OK)
        return rc < 0 ? say(message, size, CONTROL_FAILED, "cannot read the files under %s", base) : rc;
    rc = walkDevice(root, [&](const char *rel) -> int {
        char kept[1024], live[1024];
        if (snprintf(kept, sizeof(kept), "%s%s", base, rel) >= (int)sizeof(kept) ||
            snprintf(live, sizeof(live), "%s%s", root, rel) >= (int)sizeof(live))
            return say(message, size, CONTROL_FAILED, "the path of %s does not fit", rel);
        struct stat st;
        if (lstat(kept, &st) == 0)
            return CONTROL_OK;
        counts->removed++;
        return removeFile(live, message, size);
    });
    if (rc < 0)
        return say(message, size, CONTROL_FAILED, "cannot read the device's files under %s", root);
    return rc;
}

int save(const char *name, char *message, size_t size)
{
    char dir[600], tmp[700], target[700], old[700];
    if (snapshotsDir(dir, sizeof(dir)) != 0 || snapshotDir(target, sizeof(target), name) != 0)
        return say(message, size, CONTROL_FAILED, "the snapshot's path does not fit");
    if (!isDir(dir) && mkdir(dir, 0755) != 0)
        return say(message, size, CONTROL_FAILED, "cannot create %s: %s", dir, strerror(errno));
    // Built aside and renamed into place: a snapshot is whole or absent.
    snprintf(tmp, sizeof(tmp), "%s/.%s.tmp.XXXXXX", dir, name);
    if (mkdtemp(tmp) == NULL)
        return say(message, size, CONTROL_FAILED, "cannot create a directory in %s: %s", dir, strerror(errno));
    Counts counts;
    memset(&counts, 0, sizeof(counts));
    const char *root = kalRoot();
    int rc = walkDevice(root, [&](const char *rel) { return copyFile(root, tmp, rel, &counts, message, size); });
    if (rc < 0)
        rc = say(message, size, CONTROL_FAILED, "cannot read the device's files under %s", root);
    snprintf(old, sizeof(old), "%s/.%s.old.%ld", dir, name, (long)getpid());
    bool replaced = false;
    if (rc == CONTROL_OK && isDir(target)) {
        replaced = true;
        if (rename(target, old) != 0)
            rc = say(message, size, CONTROL_FAILED, "cannot move the old snapshot %s aside: %s", target, strerror(errno));
    }
    if (rc == CONTROL_OK && rename(tmp, target) != 0)
        rc = say(message, size, CONTROL_FAILED, "cannot rename %s to %s: %s", tmp, target, strerror(errno));
    if (rc == CONTROL_OK && syncDirectoryOf(target) != 0)
        rc = say(message, size, CONTROL_FAILED, "cannot sync %s: %s", dir, strerror(errno));
    removeTree(rc == CONTROL_OK ? old : tmp, 0);
    if (rc != CONTROL_OK)
        return rc;
    return say(message, size, CONTROL_OK, "snapshot %s %s: %d files, %lld kB", name, replaced ? "replaced" : "saved",
                counts.files, (counts.bytes + 1023) / 1024);
}

int restore(const char *name, char *message, size_t size)
{
    char target[700];
    if (snapshotDir(target, sizeof(target), name) != 0)
        return say(message, size, CONTROL_FAILED, "the snapshot's path does not fit");
    Counts counts;
    memset(&counts, 0, sizeof(counts));
    int rc = restoreFrom(target, &counts, message, size);
    if (rc != CONTROL_OK)
        return rc;
    return say(message, size, CONTROL_OK, "snapshot %s restored: %d files, %d removed", name, counts.files,
               counts.removed);
}

// Names of the snapshots, sorted, into names[max]; how many.
int listNames(char names[][kMaxEntryName + 1], int max)
{
    char dir[600];
    if (snapshotsDir(dir, sizeof(dir)) != 0)
        return 0;
    DIR *d = opendir(dir);
    if (d == NULL)
        return 0;
    int count = 0;
    struct dirent *entry;
    while (count < max && (entry = readdir(d)) != NULL) {
        char path[1024];
        int n = snprintf(path, sizeof(path), "%s/%s", dir, entry->d_name);
        if (!isEntryName(entry->d_name) || n < 0 || (size_t)n >= sizeof(path) || !isDir(path))
            continue;
        memset(names[count], 0, kMaxEntryName + 1);
        copyText(names[count], entry->d_name, kMaxEntryName + 1);
        count++;
    }
    closedir(d);
    qsort(names, (size_t)count, kMaxEntryName + 1, [](const void *a, const void *b) {
        return strcmp((const char *)a, (const char *)b);
    });
    return count;
}

int list(char *message, size_t size)
{
    char names[kMaxSnapshots][kMaxEntryName + 1];
    int count = listNames(names, kMaxSnapshots);
    if (count == 0)
        return say(message, size, CONTROL_OK, "no snapshots: save one with snapshot save NAME");
    memset(message, 0, size);
    size_t len = 0;
    for (int i = 0; i < count && len < size; i++) {
        char path[700];
        struct stat st;
        char when[32];
        memset(when, 0, sizeof(when));
        if (snapshotDir(path, sizeof(path), names[i]) == 0 && stat(path, &st) == 0) {
            struct tm tm;
            localtime_r(&st.st_mtime, &tm);
            strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &tm);
        }
        int n = snprintf(message + len, size - len, "%s%-24s saved %s", i > 0 ? "\n" : "", names[i], when);
        if (n > 0)
            len += (size_t)n;
    }
    return CONTROL_OK;
}

}  // namespace

int snapshotControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    const char *verb = argc >= 2 ? argv[1] : "";
    bool listing = argc == 2 && strcmp(verb, "list") == 0;
    bool named = argc == 3 && (strcmp(verb, "save") == 0 || strcmp(verb, "restore") == 0 || strcmp(verb, "delete") == 0);
    if (!listing && !named)
        return say(message, size, CONTROL_REFUSED, "snapshot needs: save NAME, restore NAME, delete NAME or list");
    if (named && !isEntryName(argv[2]))
        return say(message, size, CONTROL_REFUSED,
                   "snapshot: \"%s\" is no name: 1 to %zu letters, digits, - _ and ., not starting with .",
                   quote(argv[2]).text, kMaxEntryName);
    char target[700];
    if (named && strcmp(verb, "save") != 0 &&
        (snapshotDir(target, sizeof(target), argv[2]) != 0 || !isDir(target)))
        return say(message, size, CONTROL_REFUSED, "snapshot: there is no snapshot %s (snapshot list shows them)", argv[2]);
    if (!apply)
        return CONTROL_OK;
    if (listing)
        return list(message, size);
    if (strcmp(verb, "save") == 0)
        return save(argv[2], message, size);
    if (strcmp(verb, "restore") == 0)
        return restore(argv[2], message, size);
    removeTree(target, 0);
    if (isDir(target))
        return say(message, size, CONTROL_FAILED, "cannot remove %s", target);
    return say(message, size, CONTROL_OK, "snapshot %s deleted", argv[2]);
}

int resetControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    (void)argv;
    if (argc != 1)
        return say(message, size, CONTROL_REFUSED, "reset takes no values");
    if (!apply)
        return CONTROL_OK;
    // The factory state is what a new root is seeded with: one is seeded
    // aside, then restored like a snapshot.
    char dir[600], fresh[700];
    if (snapshotsDir(dir, sizeof(dir)) != 0)
        return say(message, size, CONTROL_FAILED, "the snapshots' path does not fit");
    if (!isDir(dir) && mkdir(dir, 0755) != 0)
        return say(message, size, CONTROL_FAILED, "cannot create %s: %s", dir, strerror(errno));
    snprintf(fresh, sizeof(fresh), "%s/.factory.XXXXXX", dir);
    if (mkdtemp(fresh) == NULL)
        return say(message, size, CONTROL_FAILED, "cannot create a directory in %s: %s", dir, strerror(errno));
    int rc = CONTROL_OK;
    if (kalPathRedirect(fresh) != 0) {
        rc = say(message, size, CONTROL_FAILED, "%s is too long a path for a device root", fresh);
    } else {
        int seeded = simSeedDevice();
        kalPathRedirect(NULL);
        if (seeded != 0)
            rc = say(message, size, CONTROL_FAILED, "cannot seed a new device under %s", fresh);
    }
    Counts counts;
    memset(&counts, 0, sizeof(counts));
    if (rc == CONTROL_OK)
        rc = restoreFrom(fresh, &counts, message, size);
    removeTree(fresh, 0);
    SimFault none[SIM_SERVICE_COUNT];
    memset(none, 0, sizeof(none));
    if (rc == CONTROL_OK && simFaultsWrite(none) != 0)
        rc = say(message, size, CONTROL_FAILED, "cannot clear the faults");
    if (rc != CONTROL_OK)
        return rc;
    return say(message, size, CONTROL_OK, "device reset to its factory state: %d files, %d removed, no faults",
               counts.files, counts.removed);
}

void snapshotShow(cJSON *out)
{
    char names[kMaxSnapshots][kMaxEntryName + 1];
    int count = listNames(names, kMaxSnapshots);
    cJSON *list = cJSON_AddArrayToObject(out, "snapshots");
    for (int i = 0; i < count; i++)
        cJSON_AddItemToArray(list, cJSON_CreateString(names[i]));
}
