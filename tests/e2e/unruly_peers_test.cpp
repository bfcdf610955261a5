// Peers that do not play along: clients that never read their replies, and
// a standard output whose reader has gone or stopped reading. The server
// must keep answering everyone else.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

const char kKeepalive[] = "{\"module\":\"webServer\",\"action\":2}";
const char kKeepaliveReply[] = "{\n\t\"result\":\t0\n}";
const char kFailure[] = "{\"result\": -10 }";

// The server binary on device's root with stdoutFd as its standard output
// (standard error still goes to the root's server.out). Killed on scope exit.
class PipedServer {
public:
    PipedServer(SimDevice &device, int stdoutFd) : device_(device)
    {
        std::string err = device.root() + "/server.out";
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0)
                dup2(fd, STDERR_FILENO);
            dup2(stdoutFd, STDOUT_FILENO);
            setenv("KAL_ROOT", device.root().c_str(), 1);
            execl(KAL_SERVER_BIN, KAL_SERVER_BIN, (char *)nullptr);
            _exit(127);
        }
    }
    ~PipedServer()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // Polls until the server answers (or has died): true when it answers.
    bool ready()
    {
        for (int i = 0; i < 100 && alive(); i++) {
            if (device_.request(kKeepalive, 200) == kKeepaliveReply)
                return true;
            poll(nullptr, 0, 50);  // the socket may not be bound yet
        }
        return false;
    }
    bool alive()
    {
        return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
    }

private:
    SimDevice &device_;
    pid_t pid_ = -1;
};

// Reads what is in the pipe until it holds `until` (or 5 s pass).
std::string readPipeUntil(int fd, const std::string &until)
{
    std::string text;
    char buffer[4096];
    for (int i = 0; i < 100 && text.find(until) == std::string::npos; i++) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 50) > 0) {
            ssize_t n = read(fd, buffer, sizeof(buffer));
            if (n <= 0)
                break;
            text.append(buffer, (size_t)n);
        }
    }
    return text;
}

std::string replyFrom(int fd, std::string *source, int timeoutMs)
{
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0)
        return "";
    char buffer[4096];
    struct sockaddr_un from;
    memset(&from, 0, sizeof(from));
    socklen_t length = sizeof(from);
    ssize_t n = recvfrom(fd, buffer, sizeof(buffer), 0, (struct sockaddr *)&from, &length);
    if (n < 0)
        return "";
    if (source != nullptr)
        *source = length > sizeof(sa_family_t) ? std::string(from.sun_path) : std::string();
    return std::string(buffer, (size_t)n);
}

TEST(UnrulyPeers, ClientsThatNeverReadDoNotSilenceOthers)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    Client reader;
    std::string source;
    // In normal operation the reply comes from the request socket itself.
    ASSERT_TRUE(reader.send(device.socketPath(), kKeepalive, strlen(kKeepalive)));
    EXPECT_EQ(replyFrom(reader.fd(), &source, 5000), kKeepaliveReply);
    EXPECT_EQ(source, device.socketPath());

    std::vector<std::unique_ptr<Client>> silent;
    for (int i = 0; i < 64; i++) {
        silent.push_back(std::make_unique<Client>());
        for (int k = 0; k < 30; k++)
            ASSERT_TRUE(silent.back()->send(device.socketPath(), kKeepalive, strlen(kKeepalive)));
    }
    for (int i = 0; i < 100; i++) {
        ASSERT_TRUE(reader.send(device.socketPath(), kKeepalive, strlen(kKeepalive)));
        ASSERT_EQ(replyFrom(reader.fd(), &source, 1000), kKeepaliveReply) << "reply " << i;
    }
    EXPECT_EQ(source, "") << "the replies did not need the one-off socket";
    // kal_request takes only datagrams of the server's process: a reply
    // from the one-off socket is one.
    for (int i = 0; i < 3; i++) {
        int status = -1;
        std::string out = commandOutput("KAL_ROOT=" + device.root() + " " KAL_REQUEST_BIN " '" + kKeepalive + "'",
                                        &status);
        EXPECT_EQ(out, kKeepaliveReply);
        EXPECT_EQ(status, 0);
    }
    // So does a client bound to a socket file, answered at the socket the
    // server opened when its request came.
    const std::string own = device.root() + "/reader.sock";
    int bound = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, own.data(), own.size());
    ASSERT_EQ(bind(bound, (struct sockaddr *)&address, sizeof(address)), 0);
    memcpy(address.sun_path, device.socketPath().data(), device.socketPath().size() + 1);
    ASSERT_GT(sendto(bound, kKeepalive, strlen(kKeepalive), 0, (struct sockaddr *)&address, sizeof(address)), 0);
    EXPECT_EQ(replyFrom(bound, &source, 5000), kKeepaliveReply);
    EXPECT_EQ(source, "");
    close(bound);

    // Once the silent clients are gone, replies come from the request socket again.
    silent.clear();
    ASSERT_TRUE(reader.send(device.socketPath(), kKeepalive, strlen(kKeepalive)));
    EXPECT_EQ(replyFrom(reader.fd(), &source, 5000), kKeepaliveReply);
    EXPECT_EQ(source, device.socketPath());
}

TEST(UnrulyPeers, StandardOutputWhoseReaderHasGoneOrStalled)
{
    std::string big = "{\"module\":\"webServer\",\"action\":" + std::string(40900, '9');
    {
        // The reader has gone: writing a diagnostic line would raise SIGPIPE.
        SimDevice device;
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);  // the server holds only its stdout
        PipedServer server(device, fds[1]);
        close(fds[1]);
        close(fds[0]);
        ASSERT_TRUE(server.ready());
        for (int i = 0; i < 5; i++)
            EXPECT_EQ(device.request("{not json", 5000), kFailure) << i;
        EXPECT_EQ(device.request(big, 5000), kFailure);
        EXPECT_TRUE(server.alive());
        // Commands the modules run still work (the log export runs dozens).
        EXPECT_EQ(jsonInt(device.requestJson("{\"module\":\"log\",\"action\":2}", 20000).get(), "result"), 0);
    }
    {
        // The reader never reads: the pipe fills, and every request is
        // still answered. 40 requests of 40 KB would be 1.6 MB of echo.
        SimDevice device;
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);  // the server holds only its stdout
        PipedServer server(device, fds[1]);
        close(fds[1]);
        ASSERT_TRUE(server.ready());
        for (int i = 0; i < 40; i++)
            ASSERT_EQ(device.request(big, 5000), kFailure) << i;
        EXPECT_EQ(device.request(kKeepalive, 5000), kKeepaliveReply);
        EXPECT_TRUE(server.alive());

        // Once read again, whole lines follow: the echo is cut with a marker.
        char drain[65536];
        int flags = fcntl(fds[0], F_GETFL);
        fcntl(fds[0], F_SETFL, flags | O_NONBLOCK);
        while (read(fds[0], drain, sizeof(drain)) > 0) {
        }
        // "é" (2 bytes) placed across the cut: the cut goes before it.
        std::string accented = "{\"a\":\"" + std::string(505, 'x') + "\xc3\xa9" + std::string(1000, 'y');
        EXPECT_EQ(device.request(accented, 5000), kFailure);
        std::string text = readPipeUntil(fds[0], "pResponse == NULL\n");
        std::string expected = "JSON pasre error\nRequest: {\"a\":\"" + std::string(505, 'x') + "...[" +
                               std::to_string(accented.size()) + " bytes]\npResponse == NULL\n";
        EXPECT_NE(text.find(expected), std::string::npos) << text;
        close(fds[0]);
    }
}

}  // namespace
