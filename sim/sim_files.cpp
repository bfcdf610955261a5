#include "sim/sim_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "sim/sim_state_files.h"

long simReadFile(const char *path, char *buf, size_t size)
{
    if (path == NULL || buf == NULL || size == 0)
        return -1;
    memset(buf, 0, size);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t done = 0;
    while (done < size - 1) {
        ssize_t r = read(fd, buf + done, size - 1 - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            close(fd);
            memset(buf, 0, size);
            return -1;
        }
        if (r == 0)
            break;
        done += (size_t)r;
    }
    close(fd);
    return (long)done;
}

char *simReadFileAlloc(const char *path, size_t maxSize, long *length)
{
    if (length != NULL)
        *length = -1;
    if (path == NULL || maxSize == 0)
        return NULL;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return NULL;
    // Sized by the file rather than by the largest one allowed: state files
    // are read on every call and are mostly a few hundred bytes. Two bytes
    // more than the file: the terminator, and room to see the end at once.
    struct stat st;
    size_t size = 4096;
    if (fstat(fd, &st) == 0 && st.st_size > 0 && (size_t)st.st_size + 2 > size)
        size = (size_t)st.st_size + 2;
    if (size > maxSize)
        size = maxSize;
    char *buf = (char *)calloc(1, size);
    size_t done = 0;
    while (buf != NULL && done < maxSize - 1) {
        if (done == size - 1) {
            // The file grew since fstat: keep reading up to the limit.
            size_t grown = size * 2 < maxSize ? size * 2 : maxSize;
            char *bigger = (char *)realloc(buf, grown);
            if (bigger == NULL) {
                free(buf);
                buf = NULL;
                break;
            }
            memset(bigger + size, 0, grown - size);
            buf = bigger;
            size = grown;
        }
        ssize_t r = read(fd, buf + done, size - 1 - done);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            free(buf);
            buf = NULL;
            break;
        }
        if (r == 0)
            break;
        done += (size_t)r;
    }
    close(fd);
    if (buf != NULL && length != NULL)
        *length = (long)done;
    return buf;
}

int simMakeDirs(const char *path, mode_t mode)
{
    if (path == NULL || path[0] == '\0')
        return -1;
    char buf[512];
    memset(buf, 0, sizeof(buf));
    size_t len = strlen(path);
    if (len >= sizeof(buf))
        return -1;
    memcpy(buf, path, len);
    for (size_t i = 1; i <= len; i++) {
        if (buf[i] != '/' && buf[i] != '\0')
            continue;
        char saved = buf[i];
        buf[i] = '\0';
        if (mkdir(buf, mode) != 0 && errno != EEXIST)
            return -1;
        buf[i] = saved;
    }
    return 0;
}

bool simExists(const char *path)
{
    struct stat st;
    return path != NULL && stat(path, &st) == 0;
}

int simStatePath(char *out, size_t size, const char *name)
{
    if (out == NULL || size == 0 || name == NULL)
        return -1;
    memset(out, 0, size);
    int n = snprintf(out, size, "%s%s/%s", kalRoot(), SIM_STATE_DIR_PATH, name);
    if (n < 0 || (size_t)n >= size) {
        memset(out, 0, size);
        return -1;
    }
    return 0;
}

int simRemoveStaleTemps(const char *dir)
{
    DIR *d = opendir(dir);
    if (d == NULL)
        return -1;
    struct dirent *entry;
    while ((entry = readdir(d)) != NULL) {
        if (strstr(entry->d_name, ".tmp") == NULL)
            continue;
        char path[512];
        memset(path, 0, sizeof(path));
        int n = snprintf(path, sizeof(path), "%s/%s", dir, entry->d_name);
        if (n > 0 && (size_t)n < sizeof(path))
            unlink(path);
    }
    closedir(d);
    return 0;
}

long simGenerationRead(void)
{
    char path[512], text[32];
    if (simStatePath(path, sizeof(path), SIM_GENERATION_FILE) != 0 || simReadFile(path, text, sizeof(text)) <= 0)
        return 0;
    char *end = NULL;
    long value = strtol(text, &end, 10);
    return end != text && value > 0 ? value : 0;
}

int simGenerationBump(void)
{
    char path[512];
    if (simStatePath(path, sizeof(path), SIM_GENERATION_FILE) != 0)
        return -1;
    long next = simGenerationRead();
    next = next < 1000000000L ? next + 1 : 1;
    char text[32];
    memset(text, 0, sizeof(text));
    int n = snprintf(text, sizeof(text), "%ld\n", next);
    return n > 0 && (size_t)n < sizeof(text) ? replaceFile(path, text, (size_t)n, 0644) : -1;
}
