// Entry point: bind the request socket and serve one datagram at a time.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/device_paths.h"
#include "common/diagnostics.h"
#include "common/libc_compat.h"
#include "common/peer_credentials.h"
#include "common/text.h"
#include "platform/android_log.h"
#include "server/reply_address.h"
#include "server/server.h"
#include "server/web_timer.h"
#if KAL_PLATFORM_SIM
#include <sys/stat.h>

#include "sim/sim_run.h"
#include "sim/sim_start.h"
#endif

namespace {

// Where the socket lives (under KAL_ROOT on the simulated device). The
// SIGTERM handler is installed before the path is known, so it removes the
// file only once the path is complete.
char g_socketPath[sizeof(((struct sockaddr_un *)0)->sun_path)];
volatile sig_atomic_t g_socketPathReady = 0;

void onTerminate(int signal)
{
    if (signal == SIGTERM && g_socketPathReady)
        unlink(g_socketPath);
}

#if KAL_PLATFORM_SIM
// The simulated device stops on SIGINT, whoever started it and however it
// inherited SIGINT: the socket it bound and its run file go, and it exits
// 0. A request under way is answered first; so is start-up, which is
// counted as one (g_inRequest starts set).
volatile sig_atomic_t g_inRequest = 1;
volatile sig_atomic_t g_stopRequested = 0;
// The run file that names this server, and its exact content, for a check
// that needs nothing but open, read and memcmp.
char g_runFile[512];
char g_runText[64];
volatile sig_atomic_t g_runTextLength = 0;

// Async-signal-safe: removes what names this server, then ends it.
[[noreturn]] void stopNow()
{
    if (g_socketPathReady)
        unlink(g_socketPath);
    if (g_runTextLength > 0) {
        char text[sizeof(g_runText)];
        memset(text, 0, sizeof(text));
        int fd = open(g_runFile, O_RDONLY | O_CLOEXEC);
        ssize_t n = fd >= 0 ? read(fd, text, sizeof(text)) : -1;
        if (fd >= 0)
            close(fd);
        // A file another server has written since stays.
        if (n == (ssize_t)g_runTextLength && memcmp(text, g_runText, (size_t)n) == 0)
            unlink(g_runFile);
    }
    _exit(0);
}

void onInterrupt(int)
{
    if (g_inRequest)
        g_stopRequested = 1;
    else
        stopNow();
}

// Between requests: a stop asked for during the last one takes effect now.
void requestDone()
{
    g_inRequest = 0;
    if (g_stopRequested) {
        fflush(stdout);
        stopNow();
    }
}

// A second server on the same root would take the socket from the first
// and leave it running unreachable. Whoever answers on the socket within
// this bound is a server; a file nobody answers on is stale.
const int kProbeMs = 500;

void refuseWhileAnotherAnswers(const char *socketPath)
{
    struct stat st;
    if (lstat(socketPath, &st) != 0 || !S_ISSOCK(st.st_mode))
        return;
    pid_t other = 0;
    if (simServerAnswers(socketPath, kProbeMs, &other) != 0)
        return;
    diagPrintf("kal_server: another server (pid %d) answers on %s\n", (int)other, socketPath);
    exit(1);
}

// Records this server for power cycles (sim/sim_run.h). Without the record
// the server still serves; a power cycle then finds it through its socket.
void recordRun()
{
    char why[600];
    memset(why, 0, sizeof(why));
    SimProcess self = {0, 0};
    if (simRunPath(kalRoot(), SIM_RUN_SERVER_FILE, g_runFile, sizeof(g_runFile)) != 0 ||
        simRunRecord(kalRoot(), SIM_RUN_SERVER_FILE, why, sizeof(why), &self) != 0) {
        diagPrintf("kal_server: cannot record this server in %s%s: %s\n", kalRoot(), SIM_RUN_DIR_PATH,
                   why[0] != '\0' ? why : "its run file's path is too long");
        return;
    }
    int n = simRunText(&self, g_runText, sizeof(g_runText));
    if (n > 0)
        g_runTextLength = n;
}

void installInterrupt()
{
    struct sigaction interrupt;
    memset(&interrupt, 0, sizeof(interrupt));
    interrupt.sa_handler = onInterrupt;
    interrupt.sa_flags = SA_RESTART;
    sigemptyset(&interrupt.sa_mask);
    if (sigaction(SIGINT, &interrupt, NULL) != 0) {
        int error = errno;
        diagPrintf("kal_server: cannot install the SIGINT handler: %s\n", strerror(error));
        exit(1);
    }
}
#endif

// A start-up failure: the lines of the failing step, then why (errno as it
// was when the step failed), also in the Android log, which reaches logcat
// when standard output goes nowhere. Ends the process with a failure status
// so the supervisor (and the user at a terminal) can tell it did not start.
[[noreturn]] void startFailed(const char *first, const char *second, const char *what, const char *reason = NULL)
{
    int error = errno;
    if (first != NULL)
        diagLine(first);
    if (second != NULL)
        diagLine(second);
    diagLine(" Unable to create server socket!!: ");
    char why[320];
    memset(why, 0, sizeof(why));
    snprintf(why, sizeof(why), "kal_server: %s %s: %s", what, g_socketPath, reason != NULL ? reason : strerror(error));
    diagLine(why);
    __android_log_print(ANDROID_LOG_ERROR, "KAL_SERVER", "%s", why);
    if (serverSocket >= 0)
        close(serverSocket);
    exit(1);
}

// Binds the request socket at g_socketPath, open to every local user;
// any failure ends the process.
void openSocket()
{
#if KAL_PLATFORM_SIM
    // Again, for a server that started while this one was starting.
    refuseWhileAnotherAnswers(g_socketPath);
#endif
    unlink(g_socketPath);

    serverSocket = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (serverSocket == -1)
        startFailed("Error creating socket", "Error creating the socket!!", "cannot create the socket for");
    if (fcntl(serverSocket, F_SETFD, FD_CLOEXEC) == -1)
        startFailed("Couldn't set Close on Exec", "Error creating the socket!!", "cannot set close-on-exec on");
    struct timeval timeout = {0, 100000};
    if (setsockopt(serverSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0)
        startFailed("socket options set failed!!", NULL, "cannot set the receive timeout of");
    int flags = fcntl(serverSocket, F_GETFL);
    if (flags == -1 || fcntl(serverSocket, F_SETFL, flags | O_NONBLOCK) == -1)
        startFailed("fcntl of  the socket failed!!", NULL, "cannot make non-blocking the socket for");
    // Every program may send here: each datagram carries its sender's
    // credentials, so that its reply goes out with the sender's identity.
    // Asked for before bind, so the very first datagram has them too.
    int on = 1;
    if (setsockopt(serverSocket, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0)
        startFailed("socket options set failed!!", NULL, "cannot ask for senders' credentials on");

    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    copyText(address.sun_path, g_socketPath, sizeof(address.sun_path));

    if (unlink(g_socketPath) != 0 && errno != ENOENT)
        startFailed("unlink of socket file fail", NULL, "cannot remove the old");
    socklen_t addressLength = (socklen_t)(sizeof(address.sun_family) + strlen(address.sun_path));
    if (bind(serverSocket, (struct sockaddr *)&address, addressLength) == -1)
        startFailed("Error binding the socket", NULL, "cannot bind");

    char command[256];
    memset(command, 0, sizeof(command));
    snprintf(command, sizeof(command), "chmod 777 %s", g_socketPath);
    int status = system(command);
    if (status != 0) {
        char reason[64];
        memset(reason, 0, sizeof(reason));
        if (status != -1)
            snprintf(reason, sizeof(reason), "the command ended with status %d", status);
        startFailed("chmod of socket file failed", NULL, "cannot run chmod 777 on", status != -1 ? reason : NULL);
    }
    if (replyAddressInit(g_socketPath) != 0)
        startFailed(NULL, NULL, "cannot prepare the replies of");
}

// Receives one datagram from the server socket and answers it.
void answerOneRequest(char *buffer, size_t size)
{
    memset(buffer, 0, size);
    // The sender length starts at 128: receive into storage of that size.
    struct sockaddr_storage from;
    memset(&from, 0, sizeof(from));
    socklen_t senderLength = 128;
    struct ucred cred;
    memset(&cred, 0, sizeof(cred));
    bool hasCred = false;
    ssize_t received = receiveWithCredentials(serverSocket, buffer, size - 1, (struct sockaddr *)&from,
                                              &senderLength, &cred, &hasCred);
    if (received <= 0) {
        diagLine("recvfrom returned error");
        return;
    }
    struct sockaddr_un sender;
    memset(&sender, 0, sizeof(sender));
    size_t senderSize = socklenSize(senderLength);
    if (senderSize > sizeof(sender))
        senderSize = sizeof(sender);
    memcpy(&sender, &from, senderSize);
    ReplyVerdict verdict = replyAddressFor(&sender, (socklen_t)senderSize, hasCred ? &cred : NULL);
    if (verdict == REPLY_OWN)
        return;
#if KAL_PLATFORM_SIM
    platformBeforeRequest();
#endif
    // A refused sender's request still runs, as one from an unbound
    // socket does; only its reply stays here.
    dispatchRequest(buffer, sender, verdict == REPLY_SEND ? (socklen_t)senderSize : KAL_NO_REPLY_LENGTH);
    replyAddressDone();
    // Hand the heap a request freed back to the system: RAM is short on
    // the device, and between requests the server holds nothing.
    releaseFreeHeap();
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
#if KAL_PLATFORM_SIM
    int platformFd = platformWakeFd();
    if (platformFd >= FD_SETSIZE)
        platformFd = -1;
    if (platformFd > maxFd)
        maxFd = platformFd;
#endif
    for (;;) {
#if KAL_PLATFORM_SIM
        requestDone();
#endif
        fd_set ready = readSet;
        FD_SET(wakeFd, &ready);
#if KAL_PLATFORM_SIM
        if (platformFd >= 0)
            FD_SET(platformFd, &ready);
#endif
        if (select(maxFd + 1, &ready, NULL, NULL, NULL) == -1) {
            diagLine("Error in select");
            continue;
        }
#if KAL_PLATFORM_SIM
        g_inRequest = 1;
#endif
        bool woken = FD_ISSET(wakeFd, &ready);
#if KAL_PLATFORM_SIM
        if (platformFd >= 0 && FD_ISSET(platformFd, &ready)) {
            platformWake();
            woken = true;
        }
#endif
        // Restarts due now run here, between requests, never inside one.
        if (FD_ISSET(wakeFd, &ready))
            webTimerRunExpired();
        if (!FD_ISSET(serverSocket, &ready)) {
            if (!woken)
                diagLine("wrong msg received or not for us ");
            continue;
        }
        answerOneRequest(buffer, sizeof(buffer));
    }
}
}  // namespace

int main()
{
    // First of all: a SIGTERM from now on removes the socket file (once it
    // exists) and never ends the process. The handler stays installed, and
    // a read it interrupts (a command's output being captured) carries on
    // instead of failing with EINTR.
    struct sigaction term;
    memset(&term, 0, sizeof(term));
    term.sa_handler = onTerminate;
    term.sa_flags = SA_RESTART;
    sigemptyset(&term.sa_mask);
    if (sigaction(SIGTERM, &term, NULL) != 0) {
        int error = errno;
        diagLine("unable to register sig handler errno ");
        diagPrintf("kal_server: cannot install the SIGTERM handler: %s\n", strerror(error));
        __android_log_print(ANDROID_LOG_ERROR, "KAL_SERVER", "cannot install the SIGTERM handler: %s",
                            strerror(error));
        exit(1);
    }

    diagnosticsInit();
#if KAL_PLATFORM_SIM
    installInterrupt();
    // Before start-up touches any file the running server may be writing.
    char runningSocket[sizeof(g_socketPath)];
    memset(runningSocket, 0, sizeof(runningSocket));
    if (kalPathInit() != 0)
        exit(1);
    if (kalPath(runningSocket, sizeof(runningSocket), KAL_SERVER_SOCKET_PATH) == 0)
        refuseWhileAnotherAnswers(runningSocket);
#endif

    if (serverStart() != 0)
        exit(1);
#if KAL_PLATFORM_SIM
    if (platformStart() != 0)
        exit(1);
#endif
    char socketPath[sizeof(g_socketPath)];
    memset(socketPath, 0, sizeof(socketPath));
    if (kalPath(socketPath, sizeof(socketPath), KAL_SERVER_SOCKET_PATH) != 0) {
        diagPrintf("socket path %s%s is longer than the %zu bytes a UNIX socket address holds\n", kalRoot(),
                   KAL_SERVER_SOCKET_PATH, sizeof(g_socketPath) - 1);
        exit(1);
    }
    memcpy(g_socketPath, socketPath, sizeof(g_socketPath));
    g_socketPathReady = 1;
    if (webTimerInit() != 0) {
        diagLine("cannot create the web timer's wake-up pipe");
        exit(1);
    }

    // Until a restart is scheduled nothing listens for SIGUSR2; a stray one
    // must not end the server (its default action).
    signal(SIGUSR2, SIG_IGN);

    openSocket();
#if KAL_PLATFORM_SIM
    recordRun();
#endif
    diagPrintf("kal_server: serving on %s\n", g_socketPath);
    serve();
}
