#include "platform/replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int syncDirectoryOf(const char *path)
{
    if (path == NULL)
        return -1;
    char dir[512];
    memset(dir, 0, sizeof(dir));
    const char *slash = strrchr(path, '/');
    if (slash == NULL) {
        dir[0] = '.';
    } else if (slash == path) {
        dir[0] = '/';
    } else {
        size_t len = (size_t)(slash - path);
        if (len >= sizeof(dir))
            return -1;
        memcpy(dir, path, len);
    }
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
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    mode_t mask = umask(0);
    umask(mask);
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
    memset(out, 0, size);
    int n = snprintf(out, size, "%s.tmp", path);
    return n < 0 || (size_t)n >= size ? -1 : 0;
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
    if (replaceFileTemp(tmp, sizeof(tmp), path) != 0)
        return -1;
    int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
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
    char tmp[512];
    if (path == NULL || replaceFileTemp(tmp, sizeof(tmp), path) != 0)
        return -1;
    return unlink(tmp) == 0 || errno == ENOENT ? 0 : -1;
}
