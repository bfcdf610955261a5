// What a hostile local sender costs the server, beside an honest client.
//
//   kal_hostile -s SOCKET -p SERVER_PID -d WORKDIR [-n DATAGRAMS]
//
// For each shape, DATAGRAMS keepalive requests reach the server, and the
// server's CPU time per datagram is read from /proc/SERVER_PID/schedstat:
//   honest   a client bound to a socket file of its own, one request at a time;
//   links    a sender whose address leads through 40 symbolic links of
//            4 kB each (the most the kernel follows) to its own socket;
//   fds      a sender holding 4,000 descriptors, 300 of them sockets.
// For the two hostile shapes an honest client then sends 500 requests one
// at a time while the hostile sender floods; its p50 and p99 latency are
// printed. One line a shape: "<shape> <cpu us/datagram> <p50 us> <p99 us>".
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const char kKeepalive[] = "{\"module\":\"webServer\",\"action\":2}";
const int kLinks = 40;
const size_t kLinkBytes = 4000;

double nowUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

// The server's time on a CPU so far, in microseconds: the scheduler's own
// count in nanoseconds, finer than the clock ticks of /proc/PID/stat.
double cpuUs(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/schedstat", (int)pid);
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return -1;
    unsigned long long ns = 0;
    int fields = fscanf(f, "%llu", &ns);
    fclose(f);
    return fields == 1 ? (double)ns / 1e3 : -1;
}

struct sockaddr_un addressOf(const std::string &path)
{
    struct sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    memcpy(a.sun_path, path.data(), std::min(path.size(), sizeof(a.sun_path) - 1));
    return a;
}

int boundAt(const std::string &path)
{
    unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un a = addressOf(path);
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof(a)) != 0) {
        fprintf(stderr, "kal_hostile: cannot bind %s: %s\n", path.c_str(), strerror(errno));
        exit(1);
    }
    return fd;
}

// One request, waiting for its reply; its latency in microseconds, or -1.
double requestOnce(int fd, const struct sockaddr_un &server)
{
    double t0 = nowUs();
    if (sendto(fd, kKeepalive, strlen(kKeepalive), 0, (const struct sockaddr *)&server, sizeof(server)) < 0)
        return -1;
    struct pollfd pfd = {fd, POLLIN, 0};
    char reply[4096];
    if (poll(&pfd, 1, 10000) <= 0 || recv(fd, reply, sizeof(reply), 0) < 0)
        return -1;
    return nowUs() - t0;
}

// Sends count datagrams from fd, waiting while the server's queue is full.
void flood(int fd, const struct sockaddr_un &server, long count)
{
    for (long i = 0; count < 0 || i < count; i++) {
        while (sendto(fd, kKeepalive, strlen(kKeepalive), 0, (const struct sockaddr *)&server, sizeof(server)) < 0) {
            if (errno != EAGAIN && errno != ENOBUFS && errno != EINTR)
                _exit(1);
            poll(nullptr, 0, 1);
        }
    }
}

// The hostile sender's socket: its address leads through every link to
// the socket itself.
int linksShape(const std::string &dir)
{
    std::string real = dir + "/h.real";
    mkdir(real.c_str(), 0755);
    std::string pad;
    while (pad.size() < kLinkBytes)
        pad += "./";
    for (int i = kLinks - 1; i >= 1; i--) {
        std::string at = dir + "/L" + std::to_string(i);
        std::string next = i == kLinks - 1 ? "h.real" : "L" + std::to_string(i + 1);
        unlink(at.c_str());
        if (symlink((pad + next).c_str(), at.c_str()) != 0)
            exit(1);
    }
    // Bound at dir/h/s with h a real directory, then h swapped for the
    // first link: the reply's path now walks all of them to h.real/s.
    std::string h = dir + "/h";
    mkdir(h.c_str(), 0755);
    int fd = boundAt(h + "/s");
    rename((h + "/s").c_str(), (real + "/s").c_str());
    rmdir(h.c_str());
    if (symlink((pad + "L1").c_str(), h.c_str()) != 0)
        exit(1);
    return fd;
}

struct Latency {
    double p50, p99;
};

Latency honestDuring(const std::string &dir, const struct sockaddr_un &server, pid_t hostile)
{
    int fd = boundAt(dir + "/honest-" + std::to_string(hostile) + ".sock");
    std::vector<double> all;
    for (int i = 0; i < 500; i++) {
        double us = requestOnce(fd, server);
        if (us < 0) {
            fprintf(stderr, "kal_hostile: an honest request got no reply within 10 s\n");
            exit(1);
        }
        all.push_back(us);
    }
    close(fd);
    std::sort(all.begin(), all.end());
    return {all[all.size() / 2], all[all.size() * 99 / 100]};
}

}  // namespace

int main(int argc, char **argv)
{
    const char *socketPath = nullptr, *dir = nullptr;
    pid_t serverPid = 0;
    long count = 2000;
    int opt;
    while ((opt = getopt(argc, argv, "s:p:d:n:")) != -1) {
        if (opt == 's')
            socketPath = optarg;
        else if (opt == 'p')
            serverPid = (pid_t)atoi(optarg);
        else if (opt == 'd')
            dir = optarg;
        else if (opt == 'n')
            count = atol(optarg);
        else
            return 2;
    }
    if (socketPath == nullptr || dir == nullptr || serverPid <= 0 || count <= 0) {
        fputs("usage: kal_hostile -s SOCKET -p SERVER_PID -d WORKDIR [-n DATAGRAMS]\n", stderr);
        return 2;
    }
    struct sockaddr_un server = addressOf(socketPath);
    const std::string work = dir;

    // Honest: one at a time.
    {
        int fd = boundAt(work + "/honest.sock");
        double before = cpuUs(serverPid);
        std::vector<double> all;
        for (long i = 0; i < count; i++)
            all.push_back(requestOnce(fd, server));
        double used = cpuUs(serverPid) - before;
        std::sort(all.begin(), all.end());
        printf("honest %.1f %.0f %.0f\n", used / (double)count, all[all.size() / 2], all[all.size() * 99 / 100]);
        close(fd);
    }
    for (const char *shape : {"links", "fds"}) {
        std::string shapeDir = work + "/" + shape;
        mkdir(shapeDir.c_str(), 0755);
        int fd;
        if (strcmp(shape, "links") == 0) {
            fd = linksShape(shapeDir);
        } else {
            fd = boundAt(shapeDir + "/s");
            for (int i = 0; i < 4000; i++) {
                if ((i < 300 ? socket(AF_UNIX, SOCK_DGRAM, 0) : open("/dev/null", O_RDONLY)) < 0)
                    break;
            }
        }
        // CPU per datagram: count datagrams, then one honest request that
        // the server takes only after them.
        int sync = boundAt(shapeDir + "/sync.sock");
        double before = cpuUs(serverPid);
        flood(fd, server, count);
        requestOnce(sync, server);
        double used = cpuUs(serverPid) - before;
        // Latency of an honest client while the flood goes on.
        pid_t flooder = fork();
        if (flooder == 0) {
            flood(fd, server, -1);
            _exit(0);
        }
        Latency latency = honestDuring(shapeDir, server, flooder);
        kill(flooder, SIGKILL);
        waitpid(flooder, nullptr, 0);
        printf("%s %.1f %.0f %.0f\n", shape, used / (double)count, latency.p50, latency.p99);
        close(fd);
        close(sync);
        // Let the server drain what the flood left before the next shape.
        requestOnce(boundAt(shapeDir + "/drain.sock"), server);
    }
    return 0;
}
