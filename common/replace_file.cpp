#include "common/replace_file.h"

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
constexpr const char *kTempSuffix = ".tmp.";
constexpr const char *kTempPattern = "XXXXXX";
constexpr const char *kTempNameChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
// Names tried before giving up; a clash needs another writer of the same
// file picking the same six characters in the same instant.
const int kTempAttempts = 100;
// Spreads consecutive numbers over all 32 bits (2^32 over the golden ratio).
const uint32_t kGolden = 0x9E3779B9u;
// The process's status file, where the kernel shows the umask (Linux 4.7
// and later) on its second line, after the name; and the process's
// threads, one entry each.
constexpr const char *kStatusPath = "/proc/self/status";
constexpr const char *kStatusUmask = "\nUmask:";
constexpr const char *kThreadsPath = "/proc/self/task";
// Marks gStartMask as read: a bit no mask has.
const mode_t kMaskKnown = 010000;

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

// The number (in base, at most 10) after the field name in this process's
// status file; -1 when the file does not show it.
long statusField(const char *name, long base)
{
    // Only the name line comes before it: a 15-character name, escaped.
    char text[256];
    memset(text, 0, sizeof(text));
    int fd = open(kStatusPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // One read: the kernel hands over as much as fits.
    ssize_t r = read(fd, text, sizeof(text) - 1);
    close(fd);
    const char *at = r > 0 ? strstr(text, name) : NULL;
    if (at == NULL)
        return -1;
    at += strlen(name);
    while (*at == '\t' || *at == ' ')
        at++;
    long value = -1;
    for (int digits = 0; digits < 8 && *at >= '0' && *at < '0' + base; digits++, at++)
        value = (value < 0 ? 0 : value * base) + (*at - '0');
    return value;
}

}  // namespace

// These two are file-static rather than in the unnamed namespace: their
// shorter symbol names keep the device's binary from growing.

// The umask as it was before main, with kMaskKnown, for kernels whose
// status file does not show it; 0 when it could not be read safely.
static mode_t gStartMask = 0;

// The umask can only be read by setting it, which would race with any
// other thread creating a file; before main, with one thread, nothing else
// can. For kernels whose status file does not show it.
__attribute__((constructor)) static void readStartMask(void)
{
    // Without /proc the threads cannot be counted; before main, only a
    // constructor could have started one, and none here does.
    int threads = 0;
    DIR *d = opendir(kThreadsPath);
    for (struct dirent *entry; d != NULL && (entry = readdir(d)) != NULL;)
        threads += entry->d_name[0] != '.';
    if (d != NULL)
        closedir(d);
    if (threads > 1)
        return;
    mode_t mask = umask(0);
    umask(mask);
    gStartMask = mask | kMaskKnown;
}

namespace {

// The process's file creation mask, read without setting it. 0, or -1 when
// it cannot be known.
int creationMask(mode_t *mask)
{
    long value = statusField(kStatusUmask, 8);
    if (value < 0 && gStartMask == 0)
        return -1;
    *mask = (value >= 0 ? (mode_t)value : gStartMask) & 0777;
    return 0;
}

// Fills the six X's at x with letters and digits, for the given try. The
// name only has to differ from other writers' of the same moment: the
// clock and the process tell those apart, and threads of one process have
// stacks of their own. O_EXCL turns a clash into another try, never a
// shared file.
void fillTempName(char *x, int attempt)
{
    struct timespec now;
    memset(&now, 0, sizeof(now));
    clock_gettime(CLOCK_REALTIME, &now);
    uint32_t seed = (uint32_t)now.tv_nsec ^ ((uint32_t)now.tv_sec << 7) ^ ((uint32_t)getpid() << 16) ^
                    (uint32_t)(uintptr_t)&now ^ (uint32_t)attempt * kGolden;
    for (size_t i = 0; i < strlen(kTempPattern); i++) {
        // MurmurHash3's finaliser: every input bit moves every output bit.
        seed ^= seed >> 16;
        seed *= 0x85EBCA6Bu;
        seed ^= seed >> 13;
        seed *= 0xC2B2AE35u;
        seed ^= seed >> 16;
        x[i] = kTempNameChars[seed % strlen(kTempNameChars)];
        seed += kGolden;
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
    char *x = out + n - strlen(kTempPattern);
    for (int i = 0; i < kTempAttempts; i++) {
        fillTempName(x, i);
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
