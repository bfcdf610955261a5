// kal_request: send one JSON request to the server and print its reply.
//
//   kal_request [-t SECONDS] [-s SOCKET] ['{"module":"webServer","action":0}']
//
// Without a request argument the request is read from standard input. The
// reply is printed exactly as received (a newline is added only for a
// terminal). Exit status: 0 reply printed, 1 no reply, 2 usage error.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "platform/device_paths.h"

namespace {

const size_t kMaxDatagram = 256 * 1024;

void usage(void)
{
    fputs("usage: kal_request [-t SECONDS] [-s SOCKET] [JSON]\n"
          "  sends JSON (or standard input) to the kal_server socket, under $KAL_ROOT when set,\n"
          "  and prints the reply; -t sets how long to wait (default 5 s)\n",
          stderr);
}

long long nowMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Reads all of standard input into a new buffer; null on failure.
char *readStdin(size_t *length)
{
    size_t capacity = 4096, used = 0;
    char *data = (char *)malloc(capacity);
    while (data != NULL) {
        if (used == capacity) {
            char *bigger = (char *)realloc(data, capacity * 2);
            if (bigger == NULL) {
                free(data);
                return NULL;
            }
            data = bigger;
            capacity *= 2;
        }
        size_t n = fread(data + used, 1, capacity - used, stdin);
        used += n;
        if (n == 0)
            break;
    }
    *length = used;
    return data;
}

}  // namespace

int main(int argc, char **argv)
{
    double timeoutSeconds = 5.0;
    const char *socketOverride = NULL;
    int opt;
    while ((opt = getopt(argc, argv, "t:s:h")) != -1) {
        if (opt == 't') {
            char *end = NULL;
            timeoutSeconds = strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !(timeoutSeconds > 0) || timeoutSeconds > 86400) {
                fprintf(stderr, "kal_request: -t needs a number of seconds above 0, not \"%s\"\n", optarg);
                return 2;
            }
        } else if (opt == 's') {
            socketOverride = optarg;
        } else {
            usage();
            return opt == 'h' ? 0 : 2;
        }
    }
    if (argc - optind > 1) {
        usage();
        return 2;
    }

    char *request = NULL;
    size_t requestLength = 0;
    if (optind < argc) {
        request = strdup(argv[optind]);
        requestLength = request != NULL ? strlen(request) : 0;
    } else {
        request = readStdin(&requestLength);
        // A here-document or echo ends the JSON with a newline; it is not part of it.
        while (request != NULL && requestLength > 0 &&
               (request[requestLength - 1] == '\n' || request[requestLength - 1] == '\r'))
            requestLength--;
    }
    if (request == NULL) {
        fputs("kal_request: cannot read the request\n", stderr);
        return 2;
    }
    if (requestLength == 0) {
        fputs("kal_request: the request is empty\n", stderr);
        free(request);
        return 2;
    }

    struct sockaddr_un server;
    memset(&server, 0, sizeof(server));
    server.sun_family = AF_UNIX;
    char path[sizeof(server.sun_path)];
    memset(path, 0, sizeof(path));
    if (socketOverride != NULL) {
        if (strlen(socketOverride) >= sizeof(path)) {
            fprintf(stderr, "kal_request: socket path is too long: %s\n", socketOverride);
            free(request);
            return 2;
        }
        strncpy(path, socketOverride, sizeof(path) - 1);
    } else {
        if (kalPathInit() != 0) {
            free(request);
            return 2;
        }
        if (kalPath(path, sizeof(path), KAL_SERVER_SOCKET_PATH) != 0) {
            fprintf(stderr, "kal_request: socket path %s%s does not fit a UNIX socket address\n", kalRoot(),
                    KAL_SERVER_SOCKET_PATH);
            free(request);
            return 2;
        }
    }
    memcpy(server.sun_path, path, sizeof(path));

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fprintf(stderr, "kal_request: cannot create a socket: %s\n", strerror(errno));
        free(request);
        return 1;
    }
    // The server answers the sender's address: bind an automatic abstract
    // one, which needs no file and vanishes with the process.
    struct sockaddr_un self;
    memset(&self, 0, sizeof(self));
    self.sun_family = AF_UNIX;
    int sndbuf = (int)kMaxDatagram;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    if (bind(fd, (struct sockaddr *)&self, sizeof(sa_family_t)) != 0) {
        fprintf(stderr, "kal_request: cannot bind a reply address: %s\n", strerror(errno));
        close(fd);
        free(request);
        return 1;
    }
    if (sendto(fd, request, requestLength, 0, (struct sockaddr *)&server, sizeof(server)) < 0) {
        int err = errno;
        if (err == ENOENT || err == ECONNREFUSED)
            fprintf(stderr, "kal_request: no server is listening on %s\n", path);
        else
            fprintf(stderr, "kal_request: cannot send the request to %s: %s\n", path, strerror(err));
        close(fd);
        free(request);
        return 1;
    }
    free(request);

    char *reply = (char *)malloc(kMaxDatagram);
    if (reply == NULL) {
        close(fd);
        return 1;
    }
    long long deadline = nowMs() + (long long)(timeoutSeconds * 1000.0);
    ssize_t n = -1;
    for (;;) {
        long long left = deadline - nowMs();
        if (left <= 0) {
            fprintf(stderr, "kal_request: no reply from %s within %g s\n", path, timeoutSeconds);
            break;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, (int)left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;  // the deadline check above reports it
        n = recv(fd, reply, kMaxDatagram, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fprintf(stderr, "kal_request: cannot receive the reply: %s\n", strerror(errno));
        break;
    }
    close(fd);
    if (n < 0) {
        free(reply);
        return 1;
    }
    fwrite(reply, 1, (size_t)n, stdout);
    if (isatty(STDOUT_FILENO))
        fputc('\n', stdout);
    free(reply);
    return fflush(stdout) == 0 ? 0 : 1;
}
