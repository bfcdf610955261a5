#include "common/diagnostics.h"

#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum Route {
    ROUTE_STDIO,        // not initialised, simulated build: stdio's stdout
    ROUTE_WRITE,        // a descriptor of our own (non-blocking), or a file
    ROUTE_SOCKET,       // a socket: sent without waiting
    ROUTE_SHARED_PIPE,  // the blocking pipe itself: written only when it fits now
};

// The tools of the simulated build mix these lines with their own printf
// output: through stdio, the order holds. The device build touches no stdio
// stream: bionic below API level 23 has no stdout variable.
#if KAL_PLATFORM_SIM
Route g_route = ROUTE_STDIO;
#else
Route g_route = ROUTE_WRITE;
#endif
int g_fd = STDOUT_FILENO;

void ignoreSignal(int)
{
}

// Length of text cut to at most max bytes, before a character that would
// not fit whole.
size_t cutLength(const char *text, size_t length, size_t max)
{
    if (length <= max)
        return length;
    size_t cut = max;
    while (cut > 0 && ((unsigned char)text[cut] & 0xc0) == 0x80)
        cut--;
    return cut;
}

void emit(const char *line, size_t length)
{
    switch (g_route) {
    case ROUTE_STDIO:
#if KAL_PLATFORM_SIM
        fwrite(line, 1, length, stdout);
        return;
#else
        break;
#endif
    case ROUTE_SOCKET: {
        ssize_t ignored = send(g_fd, line, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)ignored;
        return;
    }
    case ROUTE_SHARED_PIPE: {
        int queued = 0;
        int capacity = fcntl(g_fd, F_GETPIPE_SZ);
        if (ioctl(g_fd, FIONREAD, &queued) != 0 || capacity <= 0 || (size_t)(capacity - queued) < length)
            return;
        break;
    }
    case ROUTE_WRITE:
        break;
    }
    ssize_t ignored = write(g_fd, line, length);
    (void)ignored;
}

}  // namespace

void diagnosticsInit(void)
{
#if KAL_PLATFORM_SIM
    fflush(stdout);
#endif
    g_route = ROUTE_WRITE;
    g_fd = STDOUT_FILENO;
    struct stat st;
    memset(&st, 0, sizeof(st));
    if (fstat(STDOUT_FILENO, &st) == 0) {
        if (S_ISSOCK(st.st_mode)) {
            g_route = ROUTE_SOCKET;
        } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            // Opened afresh: O_NONBLOCK on the inherited descriptor would be
            // shared with every command the modules run.
            int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                g_fd = fd;
            else if (S_ISFIFO(st.st_mode))
                g_route = ROUTE_SHARED_PIPE;
        }
    }
    // A handler rather than SIG_IGN: an ignored SIGPIPE would be inherited
    // by the commands, and pipelines rely on it to stop their writers.
    struct sigaction pipe;
    memset(&pipe, 0, sizeof(pipe));
    pipe.sa_handler = ignoreSignal;
    pipe.sa_flags = SA_RESTART;
    sigemptyset(&pipe.sa_mask);
    sigaction(SIGPIPE, &pipe, NULL);
}

void diagLine(const char *text)
{
#if KAL_PLATFORM_SIM
    if (g_route == ROUTE_STDIO) {
        puts(text);
        return;
    }
#endif
    char line[KAL_DIAGNOSTIC_LINE_MAX + 1];
    memset(line, 0, sizeof(line));
    size_t length = cutLength(text, strlen(text), KAL_DIAGNOSTIC_LINE_MAX - 1);
    memcpy(line, text, length);
    line[length] = '\n';
    emit(line, length + 1);
}

void diagPrintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
#if KAL_PLATFORM_SIM
    if (g_route == ROUTE_STDIO) {
        vprintf(format, args);
        va_end(args);
        return;
    }
#endif
    char line[KAL_DIAGNOSTIC_LINE_MAX + 1];
    memset(line, 0, sizeof(line));
    int n = vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (n < 0)
        return;
    size_t length = (size_t)n;
    if (length >= sizeof(line)) {
        // Cut: keep whole characters and still end the line.
        length = cutLength(line, sizeof(line) - 1, KAL_DIAGNOSTIC_LINE_MAX - 1);
        line[length++] = '\n';
    }
    emit(line, length);
}
