// Entry point: bind the request socket and serve one datagram at a time.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/device_paths.h"
#include "platform/libc_compat.h"
#include "server/reply_address.h"
#include "server/server.h"
#include "server/socket_peers.h"
#include "server/utils.h"
#if KAL_PLATFORM_SIM
#include "sim/sim_start.h"
#endif

namespace {

// Where the socket lives (under KAL_ROOT on the simulated device); fixed
// before the SIGTERM handler is installed, so the handler only reads it.
char g_socketPath[sizeof(((struct sockaddr_un *)0)->sun_path)];

void onTerminate(int signal)
{
    if (signal == SIGTERM)
        unlink(g_socketPath);
}

// A start-up failure is reported and ends the process with a failure status
// so the supervisor (and the user at a terminal) can tell it did not start.
[[noreturn]] void startFailed(const char *first, const char *second)
{
    if (first != NULL)
        puts(first);
    if (second != NULL)
        puts(second);
    puts(" Unable to create server socket!!: ");
    if (serverSocket >= 0)
        close(serverSocket);
    exit(1);
}

// Diagnostics go to standard output, whatever the supervisor made of it: a
// pipe whose reader has gone or stopped reading must neither end nor stall
// the one thread that serves every client. A line that cannot be written at
// once is dropped. The commands the modules run inherit the original,
// blocking standard output; only the server's own lines take this route.
const char kStdoutPath[] = "/proc/self/fd/1";
int g_diagnosticFd = STDOUT_FILENO;
bool g_diagnosticIsSocket = false;
bool g_diagnosticIsSharedPipe = false;

ssize_t writeDiagnostic(void *, const char *data, size_t size)
{
    if (g_diagnosticIsSocket) {
        ssize_t ignored = send(g_diagnosticFd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        (void)ignored;
    } else if (g_diagnosticIsSharedPipe) {
        // Blocking pipe shared with the commands: write only what fits now.
        int queued = 0;
        int capacity = fcntl(g_diagnosticFd, F_GETPIPE_SZ);
        if (ioctl(g_diagnosticFd, FIONREAD, &queued) == 0 && capacity > 0 && (size_t)(capacity - queued) >= size) {
            ssize_t ignored = write(g_diagnosticFd, data, size);
            (void)ignored;
        }
    } else {
        ssize_t ignored = write(g_diagnosticFd, data, size);
        (void)ignored;
    }
    return (ssize_t)size;
}

void ignoreSignal(int)
{
}

// Replaces stdout with a line-buffered stream over writeDiagnostic. A pipe
// or terminal is opened afresh non-blocking: O_NONBLOCK on the inherited
// descriptor would be shared with every command the modules run.
void diagnosticsInit()
{
    struct stat st;
    memset(&st, 0, sizeof(st));
    if (fstat(STDOUT_FILENO, &st) == 0) {
        if (S_ISSOCK(st.st_mode)) {
            g_diagnosticIsSocket = true;
        } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
            int fd = open(kStdoutPath, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                g_diagnosticFd = fd;
            else if (S_ISFIFO(st.st_mode))
                g_diagnosticIsSharedPipe = true;
        }
    }
    cookie_io_functions_t functions;
    memset(&functions, 0, sizeof(functions));
    functions.write = writeDiagnostic;
    FILE *stream = fopencookie(NULL, "w", functions);
    if (stream != NULL) {
        fflush(stdout);
        stdout = stream;
    }
    setvbuf(stdout, NULL, _IOLBF, KAL_DIAGNOSTIC_BUFFER_SIZE);

    // A handler rather than SIG_IGN: an ignored SIGPIPE would be inherited
    // by the commands, and pipelines rely on it to stop their writers.
    struct sigaction pipe;
    memset(&pipe, 0, sizeof(pipe));
    pipe.sa_handler = ignoreSignal;
    pipe.sa_flags = SA_RESTART;
    sigemptyset(&pipe.sa_mask);
    sigaction(SIGPIPE, &pipe, NULL);
}

// Binds the request socket at g_socketPath, open to every local user;
// any failure ends the process.
void openSocket()
{
    unlink(g_socketPath);

    serverSocket = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (serverSocket == -1)
        startFailed("Error creating socket", "Error creating the socket!!");
    if (fcntl(serverSocket, F_SETFD, FD_CLOEXEC) == -1)
        startFailed("Couldn't set Close on Exec", "Error creating the socket!!");
    struct timeval timeout = {0, 100000};
    if (setsockopt(serverSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0)
        startFailed("socket options set failed!!", NULL);
    int flags = fcntl(serverSocket, F_GETFL);
    if (flags == -1 || fcntl(serverSocket, F_SETFL, flags | O_NONBLOCK) == -1)
        startFailed("fcntl of  the socket failed!!", NULL);

    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    copyText(address.sun_path, g_socketPath, sizeof(address.sun_path));

    if (unlink(g_socketPath) != 0 && errno != ENOENT)
        startFailed("unlink of socket file fail", NULL);
    socklen_t addressLength = (socklen_t)(sizeof(address.sun_family) + strlen(address.sun_path));
    if (bind(serverSocket, (struct sockaddr *)&address, addressLength) == -1)
        startFailed("Error binding the socket", NULL);

    char command[256];
    memset(command, 0, sizeof(command));
    snprintf(command, sizeof(command), "chmod 777 %s", g_socketPath);
    if (system(command) != 0)
        startFailed("chmod of socket file failed", NULL);

    // Every program may send here: each datagram carries its sender's
    // credentials, so that a reply goes only where its sender may receive.
    int on = 1;
    if (setsockopt(serverSocket, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0)
        startFailed("socket options set failed!!", NULL);
    if (replyAddressInit(g_socketPath) != 0)
        startFailed("cannot look at the bound socket file", NULL);
}

// The receive loop: one request at a time, and the restarts that fall due
// between requests.
[[noreturn]] void serve()
{
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(serverSocket, &readSet);
    int wakeFd = webTimerWakeFd();
    static char buffer[KAL_REQUEST_BUFFER_SIZE];
    int maxFd = serverSocket > wakeFd ? serverSocket : wakeFd;
    for (;;) {
        fd_set ready = readSet;
        FD_SET(wakeFd, &ready);
        if (select(maxFd + 1, &ready, NULL, NULL, NULL) == -1) {
            puts("Error in select");
            continue;
        }
        // Restarts due now run here, between requests, never inside one.
        if (FD_ISSET(wakeFd, &ready))
            webTimerRunExpired();
        if (!FD_ISSET(serverSocket, &ready)) {
            if (!FD_ISSET(wakeFd, &ready))
                puts("wrong msg received or not for us ");
            continue;
        }
        memset(buffer, 0, sizeof(buffer));
        // The sender length starts at 128: receive into storage of that size.
        struct sockaddr_storage from;
        memset(&from, 0, sizeof(from));
        socklen_t senderLength = 128;
        struct ucred cred;
        memset(&cred, 0, sizeof(cred));
        bool hasCred = false;
        ssize_t received = receiveWithCredentials(serverSocket, buffer, sizeof(buffer) - 1, (struct sockaddr *)&from,
                                                  &senderLength, &cred, &hasCred);
        if (received <= 0) {
            puts("recvfrom returned error");
            continue;
        }
        struct sockaddr_un sender;
        memset(&sender, 0, sizeof(sender));
        size_t senderSize = socklenSize(senderLength);
        if (senderSize > sizeof(sender))
            senderSize = sizeof(sender);
        memcpy(&sender, &from, senderSize);
        struct ReplyAddress reply;
        ReplyVerdict verdict = replyAddressFor(&sender, (socklen_t)senderSize, hasCred ? &cred : NULL, &reply);
        if (verdict == REPLY_OWN)
            continue;
#if KAL_PLATFORM_SIM
        platformBeforeRequest();
#endif
        // A refused sender's request still runs, as one from an unbound
        // socket does; only its reply stays here.
        dispatchRequest(buffer, reply.address, verdict == REPLY_SEND ? reply.length : KAL_NO_REPLY_LENGTH);
        replyAddressRelease(&reply);
        // Hand the heap a request freed back to the system: RAM is short on
        // the device, and between requests the server holds nothing.
        releaseFreeHeap();
    }
}
}  // namespace

int main()
{
    diagnosticsInit();

    if (serverStart() != 0)
        exit(1);
#if KAL_PLATFORM_SIM
    if (platformStart() != 0)
        exit(1);
#endif
    memset(g_socketPath, 0, sizeof(g_socketPath));
    if (kalPath(g_socketPath, sizeof(g_socketPath), KAL_SERVER_SOCKET_PATH) != 0) {
        printf("socket path %s%s is longer than the %zu bytes a UNIX socket address holds\n", kalRoot(),
               KAL_SERVER_SOCKET_PATH, sizeof(g_socketPath) - 1);
        exit(1);
    }
    if (webTimerInit() != 0) {
        puts("cannot create the web timer's wake-up pipe");
        exit(1);
    }

    // The handler stays installed, and a read it interrupts (a command's
    // output being captured) carries on instead of failing with EINTR.
    struct sigaction term;
    memset(&term, 0, sizeof(term));
    term.sa_handler = onTerminate;
    term.sa_flags = SA_RESTART;
    sigemptyset(&term.sa_mask);
    if (sigaction(SIGTERM, &term, NULL) != 0) {
        puts("unable to register sig handler errno ");
        exit(1);
    }

    // Until a restart is scheduled nothing listens for SIGUSR2; a stray one
    // must not end the server (its default action).
    signal(SIGUSR2, SIG_IGN);

    openSocket();
    printf("kal_server: serving on %s\n", g_socketPath);
    serve();
}
