// The real server binary on a temporary simulated device, over its socket.
#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

const char kFailure[] = "{\"result\": -10 }";

TEST(Server, StartsOnAStaleSocketWithMode777AndAnswers)
{
    SimDevice device;
    // A leftover regular file where the socket goes is replaced.
    ASSERT_TRUE(SimDevice::writeFile(device.socketPath(), "stale"));
    ASSERT_TRUE(device.start()) << device.serverOutput();
    struct stat st;
    ASSERT_EQ(stat(device.socketPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0777u);
    EXPECT_EQ(device.request("{\"module\":\"webServer\",\"action\":2}"), "{\n\t\"result\":\t0\n}");
    EXPECT_EQ(device.request("{\"module\":\"Status\",\"action\":0}"), kFailure);
}

TEST(Server, StartUpRemovesOnlyItsOwnInterruptedWrites)
{
    SimDevice device;
    const std::string zone = device.path("/system/usr/share/zoneinfo/");
    // A zone write and a simulated state write cut short, and a file of the
    // device's that only looks like one of ours.
    ASSERT_TRUE(SimDevice::writeFile(zone + "timezone", "UTC"));
    ASSERT_TRUE(SimDevice::writeFile(zone + "timezone.tmp", "Asia/To"));
    ASSERT_TRUE(SimDevice::writeFile(zone + "timezone.tmp.a1B2c3", "Asia/To"));
    ASSERT_TRUE(SimDevice::writeFile(zone + "temptimezone.tmp", ""));
    ASSERT_TRUE(SimDevice::writeFile(zone + "temptimezone.tmp.Zz9Yy8", ""));
    ASSERT_TRUE(SimDevice::writeFile(zone + "tzdata.tmp", "not ours"));
    ASSERT_TRUE(SimDevice::writeFile(zone + "tzdata.tmp.q7W8e9", "not ours"));
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/11.tmp"), "d"));
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/11.tmp.q7W8e9"), "d"));
    ASSERT_TRUE(device.start()) << device.serverOutput();
    EXPECT_FALSE(SimDevice::exists(zone + "timezone.tmp"));
    EXPECT_FALSE(SimDevice::exists(zone + "timezone.tmp.a1B2c3"));
    EXPECT_FALSE(SimDevice::exists(zone + "temptimezone.tmp"));
    EXPECT_FALSE(SimDevice::exists(zone + "temptimezone.tmp.Zz9Yy8"));
    EXPECT_EQ(SimDevice::readFile(zone + "timezone"), "UTC");
    EXPECT_EQ(SimDevice::readFile(zone + "tzdata.tmp"), "not ours");
    EXPECT_EQ(SimDevice::readFile(zone + "tzdata.tmp.q7W8e9"), "not ours");
    EXPECT_FALSE(SimDevice::exists(device.statePath("config/11.tmp")));
    EXPECT_FALSE(SimDevice::exists(device.statePath("config/11.tmp.q7W8e9")));
    // The zone still reads and writes after the clean-up.
    JsonPtr reply = device.requestJson("{\"module\":\"time\",\"action\":0}");
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
}

TEST(Server, DatagramSizesAndEmptyOrUnboundSenders)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    Client client;
    std::string reply;

    // Exactly 40959 bytes is dispatched whole: valid JSON padded with blanks.
    std::string request = "{\"module\":\"webServer\",\"action\":2}";
    std::string whole = request + std::string(40959 - request.size(), ' ');
    ASSERT_TRUE(client.send(device.socketPath(), whole.data(), whole.size()));
    ASSERT_TRUE(client.receive(reply, 3000));
    EXPECT_EQ(reply, "{\n\t\"result\":\t0\n}");

    // One byte more is cut, and the cut text is no longer JSON.
    std::string over = "{\"module\":\"webServer\",\"action\":2,\"x\":\"" + std::string(40959, 'a') + "\"}";
    ASSERT_TRUE(client.send(device.socketPath(), over.data(), over.size()));
    ASSERT_TRUE(client.receive(reply, 3000));
    EXPECT_EQ(reply, kFailure);

    // An empty datagram gets no reply.
    ASSERT_TRUE(client.send(device.socketPath(), "", 0));
    EXPECT_FALSE(client.receive(reply, 300));
    EXPECT_NE(device.serverOutput().find("recvfrom returned error"), std::string::npos);

    // From an unbound socket the reply cannot be sent, and the server goes on.
    int unbound = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, device.socketPath().c_str(), device.socketPath().size());
    ASSERT_GT(sendto(unbound, request.data(), request.size(), 0, (struct sockaddr *)&address, sizeof(address)), 0);
    close(unbound);
    EXPECT_EQ(device.request(request), "{\n\t\"result\":\t0\n}");
    std::string output = device.serverOutput();
    const std::string sendFailed = "Send Failed from webcli interface context numBytes\n"
                                   "Sent the response, result is failure";
    size_t at = output.find(sendFailed);
    ASSERT_NE(at, std::string::npos);
    // Reported once: a sender with no address is not sent the failure reply.
    EXPECT_EQ(output.find(sendFailed, at + 1), std::string::npos);
    EXPECT_EQ(output.find("pResponse == NULL", at), std::string::npos);

    // Binary garbage is only a parse error.
    std::string garbage("\x00\xff{\"module\"\x01", 11);
    ASSERT_TRUE(client.send(device.socketPath(), garbage.data(), garbage.size()));
    ASSERT_TRUE(client.receive(reply, 3000));
    EXPECT_EQ(reply, kFailure);
    EXPECT_TRUE(device.running());
}

TEST(Server, SigtermRemovesTheSocketAndKeepsRunning)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    device.signal(SIGTERM);
    EXPECT_TRUE(waitFor([&] { return !SimDevice::exists(device.socketPath()); }, 2000));
    EXPECT_TRUE(device.running());
    Client client;
    EXPECT_FALSE(client.send(device.socketPath(), "{}", 2));
}

TEST(Server, TimingLinesForAllButStatusAndWebServer)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    device.request("{\"module\":\"webServer\",\"action\":0}");
    EXPECT_EQ(device.logBuffer("main").find("module:webServer"), std::string::npos);
    // Unknown modules are not timed either: they never reach a handler.
    device.request("{\"module\":\"nosuch\",\"action\":0}");
    EXPECT_EQ(device.logBuffer("main").find("nosuch"), std::string::npos);
}

TEST(Server, SettingsSurviveSigkill)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    JsonPtr reply = device.requestJson("{\"module\":\"webServer\",\"action\":1,\"language\":\"de\"}");
    ASSERT_TRUE(reply);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    device.stop();
    ASSERT_TRUE(device.start());
    reply = device.requestJson("{\"module\":\"webServer\",\"action\":0}");
    EXPECT_EQ(jsonString(reply.get(), "language"), "de");
    // Seeding only fills what is missing: the setting was not reset.
    EXPECT_EQ(SimDevice::readFile(device.statePath("config/11")), "de");
}

TEST(Server, StartUpFailuresSayWhyAndExitNonZero)
{
    {
        SimDevice device;
        std::string longRoot = device.root() + "/" + std::string(90, 'r');
        ASSERT_EQ(runCommand("mkdir -p " + longRoot), 0);
        std::string out = commandOutput("KAL_ROOT=" + longRoot + " " KAL_SERVER_BIN " 2>&1; echo status=$?");
        EXPECT_NE(out.find("longer than"), std::string::npos) << out;
        EXPECT_NE(out.find("status=1"), std::string::npos) << out;
    }
    std::string out = commandOutput("KAL_ROOT='relative/dir' " KAL_SERVER_BIN " 2>&1; echo status=$?");
    EXPECT_NE(out.find("absolute"), std::string::npos) << out;
    EXPECT_NE(out.find("status=1"), std::string::npos);
    out = commandOutput("KAL_ROOT='/tmp/a b;c' " KAL_SERVER_BIN " 2>&1; echo status=$?");
    EXPECT_NE(out.find("KAL_ROOT may hold only"), std::string::npos) << out;
}

TEST(Client, PrintsTheReplyExactlyAndFailsClearly)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    std::string env = "KAL_ROOT=" + device.root() + " ";
    int status = -1;
    std::string out = commandOutput(env + KAL_REQUEST_BIN " '{\"module\":\"webServer\",\"action\":2}'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "{\n\t\"result\":\t0\n}");
    out = commandOutput("echo '{\"module\":\"webServer\",\"action\":0}' | " + env + KAL_REQUEST_BIN, &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("\"language\""), std::string::npos);

    // No reply (empty datagram never answered) -> timeout line, non-zero.
    device.stop();
    out = commandOutput(env + KAL_REQUEST_BIN " -t 0.3 '{}' 2>&1", &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(out.find("no server is listening"), std::string::npos) << out;
    out = commandOutput(env + KAL_REQUEST_BIN " -t abc '{}' 2>&1", &status);
    EXPECT_EQ(status, 2);
}

TEST(Client, TimesOutWhenNothingAnswers)
{
    SimDevice device;
    ASSERT_EQ(runCommand("mkdir -p " + device.path("/tmp")), 0);
    // A bound socket that never answers.
    int silent = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, device.socketPath().c_str(), device.socketPath().size());
    ASSERT_EQ(bind(silent, (struct sockaddr *)&address, sizeof(address)), 0);
    int status = -1;
    std::string out = commandOutput("KAL_ROOT=" + device.root() + " " KAL_REQUEST_BIN " -t 0.3 '{}' 2>&1", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("no reply from"), std::string::npos) << out;
    close(silent);
}

}  // namespace
