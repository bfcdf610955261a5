#include "platform/replace_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

// Temporary files are named "<file>.tmp.XXXXXX", the X's six letters and
// digits: a name no other writer of the same file uses at the same time.
const char kTempSuffix[] = ".tmp.";
const char kTempPattern[] = "XXXXXX";
const char kTempNameChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
// Names tried before giving up; a clash needs another writer of the same
// file picking the same six characters in the same instant.
const int kTempAttempts = 100;
// The process's status file, where the kernel shows the umask (Linux 4.7
// and later) and the number of threads.
const char kStatusPath[] = "/proc/self/status";
const char kStatusUmask[] = "Umask:";
const char kStatusThreads[] = "Threads:";
const mode_t kMaskUnknown = (mode_t)-1;

// The umask as it was before main, for kernels whose status file does not
// show it; kMaskUnknown when it could not be read safely.
mode_t gStartMask = kMaskUnknown;
// Differs for each name this process picks.
unsigned gTempCounter = 0;

// The directory part of path ("." or "/" where it has none). 0 or -1.
int directoryOf(char *out, size_t size, const char *path)
{
    memset(out, 0, size);
    const char *slash = strrchr(path, '/');
    const char *dir = slash == NULL ? "." : slash == path ? "/" : path;
    size_t len = slash == NULL || slash == path ? strlen(dir) : (size_t)(slash - path);
    if (len >= size)
        return -1;
    memcpy(out, dir, len);
    return 0;
}

// The number after "<name>" at the start of a line of this process's status
// file, read in base. 0 or -1 (no such line, or no status file).
int statusField(const char *name, int base, unsigned long *value)
{
    char text[4096];
    memset(text, 0, sizeof(text));
    int fd = open(kStatusPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t used = 0;
    while (used < sizeof(text) - 1) {
        ssize_t r = read(fd, text + used, sizeof(text) - 1 - used);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        used += (size_t)r;
    }
    close(fd);
    size_t nameLen = strlen(name);
    for (const char *line = text; *line != '\0';) {
        if (strncmp(line, name, nameLen) == 0) {
            char *end = NULL;
            *value = strtoul(line + nameLen, &end, base);
            return end != line + nameLen ? 0 : -1;
        }
        const char *next = strchr(line, '\n');
        if (next == NULL)
            break;
        line = next + 1;
    }
    return -1;
}

// The umask can only be read by setting it, which would race with any
// other thread creating a file; before main, with one thread, nothing else
// can. Read only where the status file cannot show it later.
__attribute__((constructor)) void readStartMask(void)
{
    unsigned long value = 0;
    if (statusField(kStatusUmask, 8, &value) == 0)
        return;
    if (statusField(kStatusThreads, 10, &value) == 0 && value != 1)
        return;
    mode_t mask = umask(0);
    umask(mask);
    gStartMask = mask;
}

// The process's file creation mask, read without setting it. 0, or -1 when
// it cannot be known.
int creationMask(mode_t *mask)
{
    unsigned long value = 0;
    if (statusField(kStatusUmask, 8, &value) == 0) {
        *mask = (mode_t)(value & 0777);
        return 0;
    }
    if (gStartMask == kMaskUnknown)
        return -1;
    *mask = gStartMask;
    return 0;
}

// Fills the six X's at x with letters and digits. The name only has to
// differ from other writers' of the same moment; O_EXCL turns a clash into
// another try, never a shared file.
void fillTempName(char *x)
{
    struct timespec now;
    memset(&now, 0, sizeof(now));
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned count = __atomic_add_fetch(&gTempCounter, 1, __ATOMIC_RELAXED);
    // Threads of one process differ in their stacks' addresses as well.
    uint64_t seed = (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
    seed ^= ((uint64_t)(unsigned)getpid() << 32) ^ ((uint64_t)count * 0x9E3779B97F4A7C15ull) ^ (uintptr_t)&now;
    // splitmix64's finaliser: every input bit moves every output bit.
    seed = (seed ^ (seed >> 30)) * 0xBF58476D1CE4E5B9ull;
    seed = (seed ^ (seed >> 27)) * 0x94D049BB133111EBull;
    seed ^= seed >> 31;
    const uint32_t base = sizeof(kTempNameChars) - 1;
    const size_t len = sizeof(kTempPattern) - 1;
    // Half the characters from each half of the seed: three of 62 fit in 32 bits.
    uint32_t halves[2] = {(uint32_t)seed, (uint32_t)(seed >> 32)};
    for (size_t i = 0; i < len; i++) {
        uint32_t &h = halves[i < len / 2 ? 0 : 1];
        x[i] = kTempNameChars[h % base];
        h /= base;
    }
}

// Creates an empty temporary file beside path with the mode a new file
// opened with mode gets. Its name goes to out; its descriptor, or -1.
int createTemp(char *out, size_t size, const char *path, mode_t mode)
{
    memset(out, 0, size);
    int n = snprintf(out, size, "%s%s%s", path, kTempSuffix, kTempPattern);
    if (n < 0 || (size_t)n >= size) {
        memset(out, 0, size);
        return -1;
    }
    char *x = out + n - (sizeof(kTempPattern) - 1);
    for (int i = 0; i < kTempAttempts; i++) {
        fillTempName(x);
        // The kernel takes the umask off mode as it creates the file.
        int fd = open(out, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

}  // namespace

int syncDirectoryOf(const char *path)
{
    if (path == NULL)
        return -1;
    char dir[512];
    if (directoryOf(dir, sizeof(dir), path) != 0)
        return -1;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = fsync(fd);
    close(fd);
    return rc == 0 ? 0 : -1;
}

namespace {

// True when path already holds exactly data, with the mode and owner a
// replacement would give it.
bool holds(const char *path, const char *data, size_t len, mode_t mode)
{
    // Without the umask the mode cannot be compared: write it anew.
    mode_t mask = 0;
    if (creationMask(&mask) != 0)
        return false;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat st;
    bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid() &&
                st.st_gid == getegid() && (st.st_mode & 07777) == (mode & ~mask & 07777) &&
                (size_t)st.st_size == len;
    char buf[4096];
    size_t done = 0;
    while (same && done < len) {
        size_t want = len - done < sizeof(buf) ? len - done : sizeof(buf);
        memset(buf, 0, sizeof(buf));
        ssize_t r = read(fd, buf, want);
        if (r < 0 && errno == EINTR)
            continue;
        same = r > 0 && memcmp(buf, data + done, (size_t)r) == 0;
        done += r > 0 ? (size_t)r : 0;
    }
    close(fd);
    return same;
}

}  // namespace

int replaceFileTemp(char *out, size_t size, const char *path)
{
    if (out == NULL || size == 0 || path == NULL)
        return -1;
    // As a shell redirection would create it. A writer may make the file's
    // directory only after naming the file, so a missing one is made here.
    int fd = createTemp(out, size, path, 0666);
    char dir[512];
    if (fd < 0 && errno == ENOENT && directoryOf(dir, sizeof(dir), path) == 0 && mkdir(dir, 0777) == 0)
        fd = createTemp(out, size, path, 0666);
    if (fd < 0) {
        memset(out, 0, size);
        return -1;
    }
    close(fd);
    return 0;
}

int replaceFile(const char *path, const char *data, size_t len, mode_t mode)
{
    if (path == NULL || (data == NULL && len > 0))
        return -1;
    // Settings are often saved unchanged; a sync per save costs more than
    // the read that spares it.
    if (holds(path, data, len, mode))
        return 0;
    char tmp[512];
    int fd = createTemp(tmp, sizeof(tmp), path, mode);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done < len) {
        ssize_t w = write(fd, data + done, len - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += (size_t)w;
    }
    // The data must reach the disk before the rename does: file systems
    // that delay allocation would otherwise leave an empty or zero-filled
    // file after a power cut.
    int synced = done == len ? fsync(fd) : -1;
    if (close(fd) != 0 || synced != 0 || rename(tmp, path) != 0) {
        unlink(tmp);
        return -1;
    }
    // The rename itself lasts only once the directory is on disk; the new
    // content is in place either way, so a failure here is not the caller's.
    syncDirectoryOf(path);
    return 0;
}

int commitFile(const char *tmp, const char *path)
{
    if (tmp == NULL || path == NULL)
        return -1;
    int fd = open(tmp, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int synced = fsync(fd);
    close(fd);
    if (synced != 0 || rename(tmp, path) != 0)
        return -1;
    return syncDirectoryOf(path);
}

int replaceFileCleanup(const char *path)
{
    char dir[512];
    char old[512];
    if (path == NULL || directoryOf(dir, sizeof(dir), path) != 0)
        return -1;
    memset(old, 0, sizeof(old));
    int n = snprintf(old, sizeof(old), "%s.tmp", path);
    if (n < 0 || (size_t)n >= sizeof(old))
        return -1;
    // "<file>.tmp" is what writers of earlier versions left.
    int rc = unlink(old) == 0 || errno == ENOENT ? 0 : -1;
    const char *slash = strrchr(path, '/');
    const char *base = slash != NULL ? slash + 1 : path;
    size_t baseLen = strlen(base);
    size_t suffixLen = strlen(kTempSuffix);
    DIR *d = opendir(dir);
    if (d == NULL)
        return errno == ENOENT ? rc : -1;
    struct dirent *entry;
    while ((entry = readdir(d)) != NULL) {
        const char *name = entry->d_name;
        if (strlen(name) != baseLen + suffixLen + strlen(kTempPattern) || strncmp(name, base, baseLen) != 0 ||
            strncmp(name + baseLen, kTempSuffix, suffixLen) != 0)
            continue;
        char leftover[1024];
        memset(leftover, 0, sizeof(leftover));
        n = snprintf(leftover, sizeof(leftover), "%s/%s", dir, name);
        if (n < 0 || (size_t)n >= sizeof(leftover) || (unlink(leftover) != 0 && errno != ENOENT))
            rc = -1;
    }
    closedir(d);
    return rc;
}
