// SIGKILL at random moments during bursts of setting changes never leaves a
// torn or empty setting behind, and every file of the simulated platform
// still parses after the restart.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/settings_catalog.h"

namespace {

TEST(CrashSafety, EverySettingReadsBackWholeAfterSigkillMidBurst)
{
    SimDevice device;
    std::vector<Setting> all = deviceSettings();
    ASSERT_TRUE(device.start()) << device.serverOutput();
    // Factory values count as "old".
    std::vector<std::set<std::string>> allowed(all.size());
    for (size_t i = 0; i < all.size(); i++) {
        JsonPtr reply = device.requestJson(all[i].read);
        ASSERT_NE(reply, nullptr) << all[i].name;
        allowed[i].insert(all[i].extract(reply.get()));
        allowed[i].insert(all[i].values.begin(), all[i].values.end());
    }

    std::vector<std::string> burst;
    for (const Setting &s : all)
        burst.insert(burst.end(), s.writes.begin(), s.writes.end());
    for (const std::string &change : otherChanges())
        burst.push_back(change);

    unsigned seed = 20261207;
    for (int round = 0; round < 10; round++) {
        if (round > 0) {
            ASSERT_TRUE(device.start()) << "round " << round << ": " << device.serverOutput();
        }
        // The killer strikes at a random moment while the burst is going in
        // (the server's receive queue is short, so sending keeps pace).
        int delayUs = 20000 + (int)(rand_r(&seed) % 250000);
        pid_t pid = device.pid();
        std::thread killer([pid, delayUs] {
            usleep((useconds_t)delayUs);
            kill(pid, SIGKILL);
        });
        Client client;
        for (int i = 0; i < 400; i++) {
            const std::string &request = burst[rand_r(&seed) % burst.size()];
            if (!client.send(device.socketPath(), request.data(), request.size()))
                break;  // the server is gone
        }
        killer.join();
        device.stop();

        expectStateFilesParse(device.root(), "round " + std::to_string(round));
        ASSERT_TRUE(device.start()) << "round " << round << ": " << device.serverOutput();
        for (const std::string &file : filesUnder(device.root()))
            EXPECT_EQ(file.find(".tmp"), std::string::npos) << "round " << round << ": left behind: " << file;
        for (size_t i = 0; i < all.size(); i++) {
            JsonPtr reply = device.requestJson(all[i].read);
            ASSERT_NE(reply, nullptr) << "round " << round << ": " << all[i].name;
            std::string value = all[i].extract(reply.get());
            EXPECT_EQ(allowed[i].count(value), 1u)
                << "round " << round << ": " << all[i].name << " reads back as \"" << value << "\"";
        }
        device.stop();
    }
}

}  // namespace
