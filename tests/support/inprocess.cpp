#include "tests/support/inprocess.h"

#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <vector>

#include "sim/sim_start.h"
#include "server/server.h"

namespace {

struct Device {
    std::string root;
    int client = -1;
    struct sockaddr_un clientAddress;
    socklen_t clientLength = 0;
};

Device &device();

void removeRoot()
{
    std::string command = "rm -rf '" + device().root + "'";
    if (system(command.c_str()) != 0) {
    }
}

Device &device()
{
    static Device d;
    if (!d.root.empty())
        return d;
    // Under TMPDIR when set: the fuzz script gives each run its own, and
    // removes it even when the process ends without running atexit.
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/kal-unit-XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (mkdtemp(dir.data()) == nullptr)
        abort();
    d.root = dir.data();
    atexit(removeRoot);
    setenv("KAL_ROOT", dir.data(), 1);
    if (serverStart() != 0 || platformStart() != 0)
        abort();
    // The dispatcher replies through serverSocket: give it an abstract
    // address, and a client with its own one to receive the replies.
    serverSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    d.client = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un any;
    memset(&any, 0, sizeof(any));
    any.sun_family = AF_UNIX;
    if (bind(serverSocket, (struct sockaddr *)&any, sizeof(sa_family_t)) != 0 ||
        bind(d.client, (struct sockaddr *)&any, sizeof(sa_family_t)) != 0)
        abort();
    int size = 1 << 20;
    setsockopt(d.client, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    memset(&d.clientAddress, 0, sizeof(d.clientAddress));
    d.clientLength = sizeof(d.clientAddress);
    getsockname(d.client, (struct sockaddr *)&d.clientAddress, &d.clientLength);
    return d;
}

}  // namespace

const std::string &inProcessRoot()
{
    return device().root;
}

std::string dispatchText(const char *text, int timeoutMs)
{
    Device &d = device();
    dispatchRequest(text, d.clientAddress, d.clientLength);
    struct pollfd pfd = {d.client, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0)
        return "";
    std::vector<char> buffer(256 * 1024);
    ssize_t n = recv(d.client, buffer.data(), buffer.size(), 0);
    return n < 0 ? "" : std::string(buffer.data(), (size_t)n);
}
