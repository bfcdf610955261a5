// SIGUSR2 and SIGTERM arriving while requests are handled never lose a
// reply, cut a command's output short, or lose a scheduled restart.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/test_support.h"

namespace {

// SIGTERM removes the socket's name: a socket connected beforehand still
// reaches the server.
int connectedClient(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un self;
    memset(&self, 0, sizeof(self));
    self.sun_family = AF_UNIX;
    struct sockaddr_un server;
    memset(&server, 0, sizeof(server));
    server.sun_family = AF_UNIX;
    memcpy(server.sun_path, path.data(), path.size());
    if (fd < 0 || bind(fd, (struct sockaddr *)&self, sizeof(sa_family_t)) != 0 ||
        connect(fd, (struct sockaddr *)&server, sizeof(server)) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

JsonPtr ask(int fd, const std::string &request)
{
    if (send(fd, request.data(), request.size(), 0) != (ssize_t)request.size())
        return nullptr;
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 10000) <= 0)
        return nullptr;
    static char reply[256 * 1024];
    ssize_t n = recv(fd, reply, sizeof(reply) - 1, 0);
    if (n <= 0)
        return nullptr;
    reply[n] = '\0';
    return parseJson(reply);
}

int lineCount(const std::string &path)
{
    std::string text = SimDevice::readFile(path);
    int lines = 0;
    for (char c : text)
        lines += c == '\n' ? 1 : 0;
    return lines;
}

TEST(Signals, UsrAndTermDuringRequestsLoseNoReplyNorRestart)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    // A stray SIGUSR2 before any restart was scheduled is ignored.
    device.signal(SIGUSR2);
    int fd = connectedClient(device.socketPath());
    ASSERT_GE(fd, 0);

    std::atomic<bool> stop(false);
    pid_t pid = device.pid();
    std::thread storm([&stop, pid] {
        while (!stop.load()) {
            kill(pid, SIGUSR2);
            usleep(150);
            kill(pid, SIGTERM);
            usleep(150);
        }
    });
    // Stops the storm on every way out, failed assertions included.
    struct Join {
        std::atomic<bool> &stop;
        std::thread &thread;
        ~Join()
        {
            stop = true;
            if (thread.joinable())
                thread.join();
        }
    } join{stop, storm};

    const std::string restarts = device.statePath("wlan/restarts");
    int restartsAtLastChange = 0;
    for (int i = 0; i < 60; i++) {
        SCOPED_TRACE("request round " + std::to_string(i));
        // Commands whose output is read through a pipe while signals land.
        JsonPtr status = ask(fd, "{\"module\":\"status\",\"action\":0}");
        ASSERT_NE(status, nullptr);
        cJSON *sdcard = cJSON_GetObjectItem(status.get(), "sdcard");
        EXPECT_EQ(jsonString(sdcard, "volume"), "15558144");
        EXPECT_EQ(jsonString(sdcard, "left"), "13215232");
        JsonPtr share = ask(fd, "{\"module\":\"storageShare\",\"action\":0}");
        ASSERT_NE(share, nullptr);
        EXPECT_EQ(jsonInt(share.get(), "mode"), 1);
        EXPECT_EQ(jsonString(share.get(), "username"), "admin");
        JsonPtr refresh = ask(fd, "{\"module\":\"log\",\"action\":3}");
        ASSERT_NE(refresh, nullptr);
        EXPECT_EQ(jsonInt(refresh.get(), "result"), 0);
        // A change that schedules a restart, again and again.
        std::string ssid = "Storm " + std::to_string(i);
        JsonPtr set = ask(fd, "{\"module\":\"wlan\",\"action\":1,\"ssid\":\"" + ssid + "\"}");
        ASSERT_NE(set, nullptr);
        EXPECT_EQ(jsonInt(set.get(), "result"), 0);
        restartsAtLastChange = lineCount(restarts);
        JsonPtr get = ask(fd, "{\"module\":\"wlan\",\"action\":0}");
        ASSERT_NE(get, nullptr);
        EXPECT_EQ(jsonString(get.get(), "ssid"), ssid);
    }
    // The last change's restart runs about 2 s later, once, storm or not.
    EXPECT_TRUE(waitFor([&] { return lineCount(restarts) > restartsAtLastChange; }, 5000));
    stop = true;
    storm.join();
    close(fd);
    EXPECT_EQ(lineCount(restarts), restartsAtLastChange + 1) << SimDevice::readFile(restarts);

    EXPECT_TRUE(device.running());
}

}  // namespace
