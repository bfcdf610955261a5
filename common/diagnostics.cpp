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

#include "common/text.h"

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

// text and a newline, cut if need be before a character that would not fit
// whole.
void emitLine(const char *text)
{
    char line[KAL_DIAGNOSTIC_LINE_MAX + 1];
    memset(line, 0, sizeof(line));
    copyText(line, text, KAL_DIAGNOSTIC_LINE_MAX);
    size_t length = strlen(line);
    line[length] = '\n';
    emit(line, length + 1);
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
    emitLine(text);
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
    char formatted[KAL_DIAGNOSTIC_LINE_MAX + 1];
    memset(formatted, 0, sizeof(formatted));
    int n = vsnprintf(formatted, sizeof(formatted), format, args);
    va_end(args);
    if (n < 0)
        return;
    if ((size_t)n < sizeof(formatted)) {
        emit(formatted, (size_t)n);
        return;
    }
    // Cut to a line: whole characters, and still its newline.
    emitLine(formatted);
}
