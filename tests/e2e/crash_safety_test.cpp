// SIGKILL at random moments during bursts of setting changes never leaves a
// torn or empty setting behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <set>
#include <string>

#include "tests/support/test_support.h"

namespace {

// Every value the burst may have written, plus the factory one.
const char *const kLanguages[] = {"en", "de", "fr", "es", "it", "pt", "nl", "pl"};

TEST(CrashSafety, SettingsReadBackWholeAfterSigkillMidBurst)
{
    SimDevice device;
    std::set<std::string> allowed(std::begin(kLanguages), std::end(kLanguages));
    unsigned seed = 12345;
    for (int round = 0; round < 12; round++) {
        ASSERT_TRUE(device.start()) << "round " << round << ": " << device.serverOutput();
        Client client;
        // Fire requests without waiting for replies, then kill mid-burst.
        int burst = 50 + (int)(rand_r(&seed) % 200);
        for (int i = 0; i < burst; i++) {
            std::string request = std::string("{\"module\":\"webServer\",\"action\":1,\"language\":\"") +
                                  kLanguages[rand_r(&seed) % 8] + "\"}";
            client.send(device.socketPath(), request.data(), request.size());
            if (i == burst / 2)
                usleep(rand_r(&seed) % 3000);
        }
        usleep(rand_r(&seed) % 2000);
        device.stop();

        std::string stored = SimDevice::readFile(device.statePath("config/11"));
        EXPECT_EQ(allowed.count(stored), 1u) << "round " << round << ": \"" << stored << "\"";
    }
    // The store still answers and every key file holds a whole value.
    ASSERT_TRUE(device.start());
    JsonPtr reply = device.requestJson("{\"module\":\"webServer\",\"action\":0}");
    EXPECT_EQ(allowed.count(jsonString(reply.get(), "language")), 1u);
    for (int key : {10, 11, 88, 93, 127}) {
        std::string value = SimDevice::readFile(device.statePath("config/" + std::to_string(key)));
        EXPECT_FALSE(value.empty()) << "key " << key;
    }
    // Writes cut short leave no temporary files behind after a restart.
    std::string leftovers = commandOutput("ls -a '" + device.statePath("config") + "' | grep -c tmp");
    EXPECT_EQ(leftovers, "0\n");
}

}  // namespace
