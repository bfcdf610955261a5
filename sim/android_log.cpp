// Simulated Android log: every line is appended to <root>/sim/log/<buffer>
// in the "logcat -v time" format, e.g.
//   12-07 01:25:15.123 I/KAL_SERVER( 4242): [start] module:time, action:0
// A buffer past kMaxBufferBytes moves to <buffer>.1 (the older half), like
// the device's ring buffers. Clearing a buffer truncates both files.
#include "platform/android_log.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "common/replace_file.h"
#include "sim/sim_device.h"
#include "sim/sim_files.h"

namespace {

const char *const kBufferNames[] = {"main", "radio", "events", "system", "crash"};
const int kBufferCount = (int)(sizeof(kBufferNames) / sizeof(kBufferNames[0]));
const off_t kMaxBufferBytes = 512 * 1024;

// Open append descriptors, kept between lines: the logged request path
// must not pay an open() per line.
int g_fds[kBufferCount] = {-1, -1, -1, -1, -1};

int bufferPath(char *out, size_t size, int id, bool older)
{
    char name[32];
    memset(name, 0, sizeof(name));
    snprintf(name, sizeof(name), "log/%s%s", kBufferNames[id], older ? ".1" : "");
    return simStatePath(out, size, name);
}

int openBuffer(int id)
{
    char path[512];
    if (bufferPath(path, sizeof(path), id, false) != 0)
        return -1;
    return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

// Returns a usable descriptor, reopening when the file was removed and
// rotating when it has grown past its limit.
int bufferFd(int id)
{
    int fd = g_fds[id];
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0) {
        if (st.st_nlink > 0 && st.st_size < kMaxBufferBytes)
            return fd;
        if (st.st_nlink > 0) {
            // The rename drops the older buffer: what this one holds must be
            // on disk first, or a power cut could leave neither.
            fsync(fd);
            char from[512], to[512];
            if (bufferPath(from, sizeof(from), id, false) == 0 && bufferPath(to, sizeof(to), id, true) == 0)
                rename(from, to);
        }
    }
    if (fd >= 0)
        close(fd);
    g_fds[id] = openBuffer(id);
    return g_fds[id];
}

char priorityLetter(int prio)
{
    switch (prio) {
    case ANDROID_LOG_VERBOSE: return 'V';
    case ANDROID_LOG_DEBUG: return 'D';
    case ANDROID_LOG_INFO: return 'I';
    case ANDROID_LOG_WARN: return 'W';
    case ANDROID_LOG_ERROR: return 'E';
    case ANDROID_LOG_FATAL: return 'F';
    default: return 'I';
    }
}

int writeLog(int id, int prio, const char *tag, const char *fmt, va_list ap)
{
    if (id < 0 || id >= kBufferCount)
        return -1;
    char msg[1024];
    memset(msg, 0, sizeof(msg));
    vsnprintf(msg, sizeof(msg), fmt != NULL ? fmt : "", ap);

    struct timeval tv;
    gettimeofday(&tv, NULL);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char prefix[160];
    memset(prefix, 0, sizeof(prefix));
    int plen = snprintf(prefix, sizeof(prefix), "%02d-%02d %02d:%02d:%02d.%03ld %c/%s(%5d): ", tm.tm_mon + 1,
                        tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, (long)(tv.tv_usec / 1000),
                        priorityLetter(prio), tag != NULL ? tag : "", (int)getpid());
    if (plen < 0 || plen >= (int)sizeof(prefix))
        plen = (int)strlen(prefix);

    // One output line per message line, as logcat shows them; a trailing
    // newline ends the message and makes no empty line.
    char out[4096];
    memset(out, 0, sizeof(out));
    size_t used = 0;
    const char *line = msg;
    size_t msgLen = strlen(msg);
    while (msgLen > 0 && (msg[msgLen - 1] == '\n' || msg[msgLen - 1] == '\r'))
        msg[--msgLen] = '\0';
    do {
        const char *nl = strchr(line, '\n');
        size_t len = nl != NULL ? (size_t)(nl - line) : strlen(line);
        if (used + (size_t)plen + len + 1 > sizeof(out))
            break;
        memcpy(out + used, prefix, (size_t)plen);
        used += (size_t)plen;
        memcpy(out + used, line, len);
        used += len;
        out[used++] = '\n';
        line = nl != NULL ? nl + 1 : NULL;
    } while (line != NULL);

    int fd = bufferFd(id);
    if (fd < 0)
        return -1;
    // One write per message keeps lines whole when another process appends.
    return write(fd, out, used) == (ssize_t)used ? (int)used : -1;
}

}  // namespace

extern "C" int __android_log_print(int prio, const char *tag, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = writeLog(LOG_ID_MAIN, prio, tag, fmt, ap);
    va_end(ap);
    return r;
}

extern "C" int __android_log_buf_print(int bufID, int prio, const char *tag, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = writeLog(bufID, prio, tag, fmt, ap);
    va_end(ap);
    return r;
}

int simLogSeed(void)
{
    char dir[512];
    if (simStatePath(dir, sizeof(dir), "log") != 0 || simMakeDirs(dir, 0755) != 0)
        return -1;
    for (int id = 0; id < kBufferCount; id++) {
        char path[512];
        if (bufferPath(path, sizeof(path), id, false) != 0)
            return -1;
        if (!simExists(path) && replaceFile(path, "", 0, 0644) != 0)
            return -1;
    }
    return 0;
}
