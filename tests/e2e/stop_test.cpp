// A simulated server that scripts can stop: SIGINT ends it in order however
// it inherited SIGINT, and a second server on the same root refuses to
// start while the first one answers.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

const char kKeepalive[] = "{\"module\":\"webServer\",\"action\":0}";

std::string runFile(const SimDevice &dev)
{
    return dev.path("/sim-run/kal_server.pid");
}

// A shell that starts a program in the background leaves SIGINT ignored in
// it: the server is started that way here.
bool startWithInterruptIgnored(SimDevice &dev)
{
    struct sigaction ignore, old;
    memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, &old);
    bool started = dev.start();
    sigaction(SIGINT, &old, nullptr);
    return started;
}

TEST(Stop, InterruptEndsTheServerInOrderEvenWhenInheritedIgnored)
{
    SimDevice dev;
    ASSERT_TRUE(startWithInterruptIgnored(dev)) << dev.serverOutput();
    // The run file names the server: its pid and start time.
    std::string recorded = SimDevice::readFile(runFile(dev));
    EXPECT_EQ(recorded.compare(0, std::to_string(dev.pid()).size() + 1, std::to_string(dev.pid()) + " "), 0)
        << recorded;
    ASSERT_FALSE(dev.request(kKeepalive).empty());

    // SIGTERM still only removes the socket file.
    dev.signal(SIGTERM);
    EXPECT_TRUE(waitFor([&] { return !SimDevice::exists(dev.socketPath()); }, 5000));
    EXPECT_TRUE(dev.running());

    dev.signal(SIGINT);
    EXPECT_EQ(dev.waitExit(5000), 0) << dev.serverOutput();
    EXPECT_FALSE(SimDevice::exists(dev.socketPath()));
    EXPECT_FALSE(SimDevice::exists(runFile(dev)));

    // Started again with SIGINT ignored, it stops as well: the socket it
    // bound goes with it.
    ASSERT_TRUE(startWithInterruptIgnored(dev)) << dev.serverOutput();
    ASSERT_TRUE(SimDevice::exists(dev.socketPath()));
    dev.signal(SIGINT);
    EXPECT_EQ(dev.waitExit(5000), 0) << dev.serverOutput();
    EXPECT_FALSE(SimDevice::exists(dev.socketPath()));
    EXPECT_FALSE(SimDevice::exists(runFile(dev)));
}

TEST(Stop, SecondServerRefusesWhileTheFirstAnswers)
{
    SimDevice first;
    ASSERT_TRUE(first.start()) << first.serverOutput();
    std::string recorded = SimDevice::readFile(runFile(first));

    SimDevice second(first.root());
    ASSERT_TRUE(second.launch());
    EXPECT_EQ(second.waitExit(5000), 1);
    std::string said = second.serverOutput();
    std::string expected = "kal_server: another server (pid " + std::to_string(first.pid()) + ") answers on " +
                           first.socketPath() + "\n";
    EXPECT_NE(said.find(expected), std::string::npos) << said;
    // The first still has its socket and its run file.
    EXPECT_FALSE(first.request(kKeepalive).empty());
    EXPECT_EQ(SimDevice::readFile(runFile(first)), recorded);

    // A socket file nobody answers on (the server was cut) is stale: a new
    // server takes its place and records itself.
    first.stop();
    ASSERT_TRUE(SimDevice::exists(first.socketPath()));
    SimDevice third(first.root());
    ASSERT_TRUE(third.start()) << third.serverOutput();
    EXPECT_EQ(SimDevice::readFile(runFile(third)).compare(0, std::to_string(third.pid()).size() + 1,
                                                        std::to_string(third.pid()) + " "),
              0);
}

}  // namespace
