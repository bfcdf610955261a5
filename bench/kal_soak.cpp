// Soak client: sends the requests of a list file round-robin, one at a
// time, and compares the server's resident memory after the first 1000
// requests with its resident memory at the end.
//
//   kal_soak -s SOCKET -p PID [-n COUNT] [-g GROWTH_KIB] LIST
//
// LIST holds one JSON request per line (# comments and blank lines skipped).
// Exit status 0 when every request was answered and the growth is within
// GROWTH_KIB (default 64).
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
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
    std::vector<std::string> requests;
    std::ifstream list(argv[optind]);
    std::string line;
    while (std::getline(list, line)) {
        if (!line.empty() && line[0] != '#')
            requests.push_back(line);
    }
    if (requests.empty()) {
        fprintf(stderr, "kal_soak: no requests in %s\n", argv[optind]);
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
    for (long i = 0; i < count; i++) {
        const std::string &request = requests[(size_t)i % requests.size()];
        if (sendto(fd, request.data(), request.size(), 0, (struct sockaddr *)&server, sizeof(server)) < 0) {
            fprintf(stderr, "kal_soak: request %ld: cannot send: %s\n", i, strerror(errno));
            return 1;
        }
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 60000) <= 0 || recv(fd, reply, sizeof(reply), 0) <= 0) {
            fprintf(stderr, "kal_soak: request %ld got no reply within 60 s: %s\n", i, request.c_str());
            return 1;
        }
        if (i + 1 == 1000)
            baseline = residentKib(pid);
        if ((i + 1) % 10000 == 0) {
            printf("  %ld requests, RSS %ld KiB\n", i + 1, residentKib(pid));
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
