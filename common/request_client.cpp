#include "common/request_client.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/libc_compat.h"
#include "common/peer_credentials.h"
#include "common/text.h"

namespace {

// Closes fd (when open) and words why.
__attribute__((format(printf, 5, 6))) RequestStatus failWith(int fd, RequestStatus status, char *why,
                                                             size_t whySize, const char *fmt, ...)
{
    if (fd >= 0)
        close(fd);
    va_list args;
    va_start(args, fmt);
    formatText(why, whySize, fmt, args);
    va_end(args);
    return status;
}

// The server's socket, as found once the request went out.
struct ServerSocket {
    const char *path;
    struct stat file;
    char twin[sizeof(((struct sockaddr_un *)0)->sun_path)];
    size_t twinLength;
};

// Whether a datagram is the server's reply. Every program on the device may
// send to the client's address; the reply comes from a process running as
// root or as the server socket's owner, and from the server's own address:
// its socket, or the one-off socket with the server's twin name that it
// answers from when its own send buffer is full.
bool fromServer(const ServerSocket &server, const struct ucred &cred, const struct sockaddr_un &from,
                socklen_t fromLength)
{
    if (cred.uid != 0 && cred.uid != server.file.st_uid)
        return false;
    const size_t offset = offsetof(struct sockaddr_un, sun_path);
    size_t length = socklenSize(fromLength) > offset ? socklenSize(fromLength) - offset : 0;
    if (length == 0)
        return false;
    if (from.sun_path[0] == '\0')
        return server.twinLength > 0 && length > server.twinLength &&
               memcmp(from.sun_path, server.twin, server.twinLength) == 0;
    size_t pathLength = strlen(server.path);
    // A path address may come with or without its terminating NUL.
    return (length == pathLength || (length == pathLength + 1 && from.sun_path[pathLength] == '\0')) &&
           memcmp(from.sun_path, server.path, pathLength) == 0;
}

// How often a send the server's full queue refused is tried again.
const int kSendRetryMs = 10;

// Sends the request before the deadline. A server that has stopped reading
// leaves its queue full: the send is tried again until the deadline rather
// than blocking past it. 0, or -1 with errno (EAGAIN when time ran out).
int sendBefore(int fd, const char *request, size_t length, const struct sockaddr_un *server, long long deadline)
{
    for (;;) {
        if (sendto(fd, request, length, 0, (const struct sockaddr *)server, sizeof(*server)) >= 0)
            return 0;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        long long left = deadline - monotonicMs();
        if (left <= 0) {
            errno = EAGAIN;
            return -1;
        }
        poll(NULL, 0, left < kSendRetryMs ? (int)left : kSendRetryMs);
    }
}

}  // namespace

RequestStatus requestOnce(const char *socketPath, const char *request, size_t length, long long timeoutMs,
                          char *reply, size_t size, size_t *replyLength, char *why, size_t whySize,
                          pid_t *answeredBy)
{
    struct sockaddr_un server;
    memset(&server, 0, sizeof(server));
    server.sun_family = AF_UNIX;
    if (strlen(socketPath) >= sizeof(server.sun_path))
        return failWith(-1, REQUEST_LOCAL_ERROR, why, whySize, "socket path is too long: %s", socketPath);
    memcpy(server.sun_path, socketPath, strlen(socketPath));

    long long deadline = monotonicMs() + timeoutMs;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return failWith(-1, REQUEST_LOCAL_ERROR, why, whySize, "cannot create a socket: %s", strerror(errno));
    struct sockaddr_un self;
    memset(&self, 0, sizeof(self));
    self.sun_family = AF_UNIX;
    int sndbuf = (int)kMaxReplyBytes;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0)
        return failWith(fd, REQUEST_LOCAL_ERROR, why, whySize, "cannot ask for senders' credentials: %s",
                        strerror(errno));
    if (bind(fd, (struct sockaddr *)&self, sizeof(sa_family_t)) != 0)
        return failWith(fd, REQUEST_LOCAL_ERROR, why, whySize, "cannot bind a reply address: %s",
                        strerror(errno));
    if (sendBefore(fd, request, length, &server, deadline) != 0) {
        int err = errno;
        if (err == ENOENT || err == ECONNREFUSED)
            return failWith(fd, REQUEST_NO_SERVER, why, whySize, "nothing is listening on %s", socketPath);
        if (err == EAGAIN)
            return failWith(fd, REQUEST_TIMEOUT, why, whySize,
                            "%s did not take the request within %g s: its queue is full", socketPath,
                            (double)timeoutMs / 1000.0);
        return failWith(fd, REQUEST_SEND_FAILED, why, whySize, "cannot send the request to %s: %s", socketPath,
                        strerror(err));
    }

    ServerSocket listening;
    memset(&listening, 0, sizeof(listening));
    listening.path = socketPath;
    if (stat(socketPath, &listening.file) != 0)
        return failWith(fd, REQUEST_NO_SERVER, why, whySize, "nothing is listening on %s", socketPath);
    listening.twinLength = replyTwinPrefix(socketPath, listening.twin, sizeof(listening.twin));

    for (;;) {
        long long left = deadline - monotonicMs();
        if (left <= 0) {
            return failWith(fd, REQUEST_TIMEOUT, why, whySize, "no reply from %s within %g s", socketPath,
                            (double)timeoutMs / 1000.0);
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, (int)left) <= 0)
            continue;  // EINTR, or the deadline check above reports it
        struct sockaddr_un from;
        memset(&from, 0, sizeof(from));
        socklen_t fromLength = sizeof(from);
        struct ucred cred;
        memset(&cred, 0, sizeof(cred));
        bool hasCred = false;
        ssize_t n = receiveWithCredentials(fd, reply, size, (struct sockaddr *)&from, &fromLength, &cred, &hasCred);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < 0)
            return failWith(fd, REQUEST_RECEIVE_FAILED, why, whySize, "cannot receive the reply: %s",
                            strerror(errno));
        if (!hasCred || !fromServer(listening, cred, from, fromLength))
            continue;  // someone else's datagram: not the reply
        close(fd);
        *replyLength = (size_t)n;
        if (answeredBy != NULL)
            *answeredBy = cred.pid;
        return REQUEST_OK;
    }
}
