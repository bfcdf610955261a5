// Load client for the benchmarks: sends one request at a time and waits
// for its reply, like the front end does.
//
//   kal_bench -s SOCKET [-n COUNT] [-w WARMUP] [-d SECONDS] [-b DIR] JSON
//
// Prints one line: "<requests per second> <p50 µs> <p99 µs> <requests>".
// Stops after COUNT requests or SECONDS, whichever comes first. The client
// sends from an automatic abstract address, or with -b from a socket file
// of its own in DIR (as the web front end does), removed at the end.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

double nowSeconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// The client's socket file (with -b) goes with the process.
void removeSocketFile(const struct sockaddr_un *self)
{
    if (self->sun_path[0] != '\0')
        unlink(self->sun_path);
}

}  // namespace

int main(int argc, char **argv)
{
    const char *socketPath = NULL;
    const char *bindDir = NULL;
    long count = 2000, warmup = 50;
    double maxSeconds = 10.0;
    int opt;
    while ((opt = getopt(argc, argv, "s:n:w:d:b:")) != -1) {
        if (opt == 's')
            socketPath = optarg;
        else if (opt == 'b')
            bindDir = optarg;
        else if (opt == 'n')
            count = atol(optarg);
        else if (opt == 'w')
            warmup = atol(optarg);
        else if (opt == 'd')
            maxSeconds = atof(optarg);
        else
            return 2;
    }
    if (socketPath == NULL || optind != argc - 1 || count <= 0 || strlen(socketPath) >= 108) {
        fputs("usage: kal_bench -s SOCKET [-n COUNT] [-w WARMUP] [-d SECONDS] [-b DIR] JSON\n", stderr);
        return 2;
    }
    const char *request = argv[optind];
    struct sockaddr_un server;
    memset(&server, 0, sizeof(server));
    server.sun_family = AF_UNIX;
    strncpy(server.sun_path, socketPath, sizeof(server.sun_path) - 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un self;
    memset(&self, 0, sizeof(self));
    self.sun_family = AF_UNIX;
    socklen_t selfLength = sizeof(sa_family_t);
    if (bindDir != NULL) {
        int n = snprintf(self.sun_path, sizeof(self.sun_path), "%s/kal_bench.%d.sock", bindDir, (int)getpid());
        if (n < 0 || (size_t)n >= sizeof(self.sun_path)) {
            fprintf(stderr, "kal_bench: a socket path in %s does not fit a UNIX socket address\n", bindDir);
            return 2;
        }
        unlink(self.sun_path);
        selfLength = (socklen_t)sizeof(self);
    }
    if (fd < 0 || bind(fd, (struct sockaddr *)&self, selfLength) != 0) {
        fprintf(stderr, "kal_bench: cannot create the client socket: %s\n", strerror(errno));
        return 1;
    }
    static char reply[256 * 1024];
    std::vector<double> latencies;
    latencies.reserve((size_t)count);
    double started = 0;
    for (long i = 0; i < warmup + count; i++) {
        if (i == warmup)
            started = nowSeconds();
        double t0 = nowSeconds();
        if (sendto(fd, request, strlen(request), 0, (struct sockaddr *)&server, sizeof(server)) < 0) {
            fprintf(stderr, "kal_bench: cannot send to %s: %s\n", socketPath, strerror(errno));
            removeSocketFile(&self);
            return 1;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 10000) <= 0 || recv(fd, reply, sizeof(reply), 0) < 0) {
            fprintf(stderr, "kal_bench: no reply from %s within 10 s\n", socketPath);
            removeSocketFile(&self);
            return 1;
        }
        if (i >= warmup) {
            latencies.push_back((nowSeconds() - t0) * 1e6);
            if (nowSeconds() - started > maxSeconds)
                break;
        }
    }
    removeSocketFile(&self);
    double elapsed = nowSeconds() - started;
    std::sort(latencies.begin(), latencies.end());
    size_t n = latencies.size();
    double p50 = latencies[n / 2];
    double p99 = latencies[std::min(n - 1, (size_t)((double)n * 0.99))];
    printf("%.0f %.0f %.0f %zu\n", (double)n / elapsed, p50, p99, n);
    return 0;
}
