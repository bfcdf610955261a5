#include "platform/replace_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

// The temporary file a replacement of path writes first.
int tempPath(char *out, size_t size, const char *path)
{
    memset(out, 0, size);
    int n = snprintf(out, size, "%s.tmp", path);
    return n < 0 || (size_t)n >= size ? -1 : 0;
}

}  // namespace

int replaceFile(const char *path, const char *data, size_t len, mode_t mode)
{
    if (path == NULL || (data == NULL && len > 0))
        return -1;
    char tmp[512];
    if (tempPath(tmp, sizeof(tmp), path) != 0)
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
    if (close(fd) != 0 || done != len || rename(tmp, path) != 0) {
        unlink(tmp);
        return -1;
    }
    return 0;
}

int replaceFileCleanup(const char *path)
{
    char tmp[512];
    if (path == NULL || tempPath(tmp, sizeof(tmp), path) != 0)
        return -1;
    return unlink(tmp) == 0 || errno == ENOENT ? 0 : -1;
}
