// Soak client: sends the requests of a list file round-robin, one at a
// time, and compares the server's resident memory after the first 1000
// requests with its resident memory at the end.
//
//   kal_soak -s SOCKET -p PID [-n COUNT] [-g GROWTH_KIB] LIST
//
// LIST holds one JSON request per line (# comments and blank lines skipped).
// A line "@SECONDS JSON" is sent at most once every SECONDS, so that the
// restarts such a request schedules get to run while the soak goes on.
// The baseline is read 3 s after the 1000th reply, once the delayed work
// of the first 1000 requests has run.
// Exit status 0 when every request was answered with a JSON object and the
// growth is within GROWTH_KIB (default 64).
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

long residentKib(int pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/status", pid);
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            return atol(line.c_str() + 6);
    }
    return -1;
}

double nowSeconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

struct Request {
    std::string text;
    double interval = 0;  // seconds between two sends; 0 for every round
    double lastSent = -1e9;
};

// A formatted JSON object: starts with '{' and ends with '}'.
bool looksLikeObject(const char *reply, ssize_t length)
{
    return length >= 2 && reply[0] == '{' && reply[length - 1] == '}';
}

}  // namespace

int main(int argc, char **argv)
{
    const char *socketPath = NULL;
    int pid = 0;
    long count = 100000, growthKib = 64;
    int opt;
    while ((opt = getopt(argc, argv, "s:p:n:g:")) != -1) {
        if (opt == 's')
            socketPath = optarg;
        else if (opt == 'p')
            pid = atoi(optarg);
        else if (opt == 'n')
            count = atol(optarg);
        else if (opt == 'g')
            growthKib = atol(optarg);
        else
            return 2;
    }
    if (socketPath == NULL || pid <= 0 || optind != argc - 1 || strlen(socketPath) >= 108) {
        fputs("usage: kal_soak -s SOCKET -p PID [-n COUNT] [-g GROWTH_KIB] LIST\n", stderr);
        return 2;
    }
    std::vector<Request> requests;
    std::ifstream list(argv[optind]);
    std::string line;
    while (std::getline(list, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        Request r;
        if (line[0] == '@') {
            size_t space = line.find(' ');
            r.interval = atof(line.c_str() + 1);
            if (space == std::string::npos || r.interval <= 0) {
                fprintf(stderr, "kal_soak: bad line in %s: %s\n", argv[optind], line.c_str());
                return 2;
            }
            line.erase(0, space + 1);
        }
        r.text = line;
        requests.push_back(r);
    }
    bool unlimited = false;
    for (const Request &r : requests)
        unlimited = unlimited || r.interval <= 0;
    if (!unlimited) {
        fprintf(stderr, "kal_soak: no request without an interval in %s\n", argv[optind]);
        return 2;
    }
    struct sockaddr_un server;
    memset(&server, 0, sizeof(server));
    server.sun_family = AF_UNIX;
    memcpy(server.sun_path, socketPath, strlen(socketPath));
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un self;
    memset(&self, 0, sizeof(self));
    self.sun_family = AF_UNIX;
    int size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    if (fd < 0 || bind(fd, (struct sockaddr *)&self, sizeof(sa_family_t)) != 0) {
        fputs("kal_soak: cannot create the client socket\n", stderr);
        return 1;
    }
    static char reply[256 * 1024];
    long baseline = -1;
    size_t next = 0;
    double started = nowSeconds();
    for (long i = 0; i < count; i++) {
        Request *r = &requests[next];
        next = (next + 1) % requests.size();
        // Rate-limited lines wait for their turn; at least one line of the
        // list has no limit, or every line would be skipped forever.
        double now = nowSeconds();
        while (r->interval > 0 && now - r->lastSent < r->interval) {
            r = &requests[next];
            next = (next + 1) % requests.size();
        }
        r->lastSent = now;
        const std::string &request = r->text;
        if (sendto(fd, request.data(), request.size(), 0, (struct sockaddr *)&server, sizeof(server)) < 0) {
            fprintf(stderr, "kal_soak: request %ld: cannot send: %s\n", i, strerror(errno));
            return 1;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        ssize_t got = 0;
        if (poll(&pfd, 1, 60000) <= 0 || (got = recv(fd, reply, sizeof(reply), 0)) <= 0) {
            fprintf(stderr, "kal_soak: request %ld got no reply within 60 s: %s\n", i, request.c_str());
            return 1;
        }
        if (!looksLikeObject(reply, got)) {
            fprintf(stderr, "kal_soak: request %ld was answered with something not a JSON object: %s\n", i,
                    request.c_str());
            return 1;
        }
        if (i + 1 == 1000) {
            // The baseline counts the work these requests scheduled too:
            // restarts run 2 s after the last change, a download takes 2 s.
            usleep(3000 * 1000);
            baseline = residentKib(pid);
        }
        if ((i + 1) % 10000 == 0) {
            printf("  %ld requests, RSS %ld KiB, %.0f s\n", i + 1, residentKib(pid), nowSeconds() - started);
            fflush(stdout);
        }
    }
    long final = residentKib(pid);
    printf("requests %ld, RSS after 1000: %ld KiB, at the end: %ld KiB\n", count, baseline, final);
    if (baseline > 0 && final - baseline > growthKib) {
        fprintf(stderr, "kal_soak: RSS grew by %ld KiB, more than %ld KiB\n", final - baseline, growthKib);
        return 1;
    }
    return 0;
}
