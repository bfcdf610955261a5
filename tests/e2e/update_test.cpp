// "update" over the real socket against the simulated upgrade service:
// check, download with progress, verification of intact and damaged
// packages, upgrade start and cache clearing.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

std::string action(int code)
{
    return "{\"module\":\"update\",\"action\":" + std::to_string(code) + "}";
}

// Publishes a newer firmware on the simulated update server.
void offer(SimDevice &device, const std::string &payload, const std::string &note = "note=Faster start-up\n")
{
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("upgrade/payload"), payload));
    ASSERT_EQ(runCommand(std::string(KAL_SOURCE_DIR) + "/sim/bin/make_update_package " +
                         device.statePath("upgrade/payload") + " " + device.statePath("upgrade/offer.zip")),
              0);
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("upgrade/offer"),
                                     "version=1.2.0\nurl=http://updates.invalid/fw-1.2.0.zip\n" + note +
                                         "check_ms=0\ndownload_ms=400\n"));
}

// Polls the check until it reports an outcome (any result but 3).
JsonPtr checkOutcome(SimDevice &device)
{
    return device.requestUntil(action(1), [](const cJSON *r) { return jsonInt(r, "result") != 3; }, 2000);
}

// Polls the download until 100 percent; the last progress reply.
JsonPtr downloadToEnd(SimDevice &device)
{
    auto done = [](const cJSON *r) {
        if (r == nullptr || jsonInt(r, "percentage") == 100)
            return true;
        EXPECT_EQ(jsonInt(r, "result"), 0);
        return false;
    };
    return device.requestUntil(action(4), done, 5000);
}

TEST(Update, NoNewerFirmwareAndUndefinedActions)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    JsonPtr reply = checkOutcome(device);
    ASSERT_TRUE(reply);
    EXPECT_EQ(jsonInt(reply.get(), "hasNewVersion"), 0);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    reply = device.requestJson(action(0));
    EXPECT_EQ(jsonString(reply.get(), "firmwareVersion"), "1.0.0 20261201");
    EXPECT_EQ(jsonInt(reply.get(), "hasNewVersion"), 0);
    EXPECT_NE(device.logBuffer("system").find("I/UPDATE("), std::string::npos);
    EXPECT_NE(device.logBuffer("system").find("getCheckResultState:5!"), std::string::npos);

    for (int code : {8, -1})
        EXPECT_EQ(device.request(action(code)), "{\n\t\"result\":\t1\n}") << code;
    // No download: the percentage cannot be read, the other members still come.
    // Without its state the flow statistics service fails every call.
    ASSERT_EQ(runCommand("mv '" + device.statePath("flowstat/state") + "' '" + device.statePath("flowstat/state.off") + "'"), 0);
    reply = device.requestJson(action(4));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 1);
    EXPECT_EQ(jsonInt(reply.get(), "RXSpeed"), -1);
    EXPECT_EQ(jsonInt(reply.get(), "downloadedSize"), 0);
    EXPECT_EQ(jsonInt(reply.get(), "percentage"), 0);
    EXPECT_NE(device.logBuffer("system").find("getPercentage failed!"), std::string::npos);
    EXPECT_EQ(jsonInt(device.requestJson(action(2)).get(), "result"), 1);  // nothing to download

    // An older firmware on the server is not newer.
    offer(device, "old");
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("upgrade/offer"), "version=0.9.9\nnote=x\ncheck_ms=0\n"));
    reply = checkOutcome(device);
    EXPECT_EQ(jsonInt(reply.get(), "hasNewVersion"), 0);
    // Overlong version and build leave the firmware text empty.
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/91"), std::string(200, 'v')));
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/92"), std::string(200, 'b')));
    EXPECT_EQ(jsonString(device.requestJson(action(0)).get(), "firmwareVersion"), "");
}

TEST(Update, VerifiedPackageDownloadsAndStartsTheUpgrade)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    std::string payload(100000, 'f');
    payload += "end of image";
    offer(device, payload);

    JsonPtr reply = checkOutcome(device);
    ASSERT_TRUE(reply);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_EQ(jsonInt(reply.get(), "hasNewVersion"), 1);
    EXPECT_EQ(jsonString(reply.get(), "latestVersion"), "1.2.0");
    EXPECT_EQ(jsonString(reply.get(), "releaseNote"), "Faster start-up");
    EXPECT_EQ(jsonString(reply.get(), "downloadUrl"), "http://updates.invalid/fw-1.2.0.zip");
    int size = jsonInt(reply.get(), "firmwareSize");
    EXPECT_EQ(size, (int)payload.size() + 77);
    reply = device.requestJson(action(0));
    EXPECT_EQ(jsonInt(reply.get(), "hasNewVersion"), 1);
    EXPECT_EQ(jsonString(reply.get(), "latestVersion"), "1.2.0");

    EXPECT_EQ(jsonInt(device.requestJson(action(2)).get(), "result"), 0);
    reply = device.requestJson(action(4));
    EXPECT_LT(jsonInt(reply.get(), "percentage"), 100);
    EXPECT_GE(jsonInt(reply.get(), "RXSpeed"), 0);
    reply = downloadToEnd(device);
    ASSERT_TRUE(reply);
    EXPECT_EQ(jsonInt(reply.get(), "percentage"), 100);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);  // verified
    EXPECT_EQ(jsonInt(reply.get(), "downloadedSize"), size);
    EXPECT_EQ(SimDevice::readFile(device.path("/update.zip")),
              SimDevice::readFile(device.statePath("upgrade/offer.zip")));

    EXPECT_EQ(jsonInt(device.requestJson(action(5)).get(), "result"), 0);
    EXPECT_EQ(jsonInt(device.requestJson(action(6)).get(), "result"), 0);
    EXPECT_EQ(jsonInt(device.requestJson(action(5)).get(), "result"), 1);
    EXPECT_NE(SimDevice::readFile(device.statePath("upgrade/requests")).find("upgrade started with /update.zip"),
              std::string::npos);

    EXPECT_EQ(jsonInt(device.requestJson(action(7)).get(), "result"), 0);
    EXPECT_FALSE(SimDevice::exists(device.path("/update.zip")));
    EXPECT_EQ(jsonInt(device.requestJson(action(0)).get(), "hasNewVersion"), 0);
}

TEST(Update, DamagedPackagesFailVerificationOnEveryPoll)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    offer(device, std::string(5000, 'x'));
    // One flipped byte in the payload.
    std::string package = SimDevice::readFile(device.statePath("upgrade/offer.zip"));
    package[100] = 'y';
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("upgrade/offer.zip"), package));
    ASSERT_EQ(jsonInt(checkOutcome(device).get(), "result"), 0);
    ASSERT_EQ(jsonInt(device.requestJson(action(2)).get(), "result"), 0);
    JsonPtr reply = downloadToEnd(device);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 3);
    EXPECT_EQ(jsonInt(device.requestJson(action(4)).get(), "result"), 3);
    device.requestJson(action(6));
    EXPECT_EQ(jsonInt(device.requestJson(action(5)).get(), "result"), 2);  // refused
    EXPECT_NE(SimDevice::readFile(device.statePath("upgrade/requests")).find("refused"), std::string::npos);

    // A truncated package has no trailer.
    device.requestJson(action(7));
    offer(device, std::string(5000, 'x'));
    package = SimDevice::readFile(device.statePath("upgrade/offer.zip"));
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("upgrade/offer.zip"), package.substr(0, package.size() - 10)));
    ASSERT_EQ(jsonInt(checkOutcome(device).get(), "result"), 0);
    ASSERT_EQ(jsonInt(device.requestJson(action(2)).get(), "result"), 0);
    EXPECT_EQ(jsonInt(downloadToEnd(device).get(), "result"), 2);

    // A cancelled download leaves no package; without a note the newer
    // firmware block fails.
    ASSERT_EQ(jsonInt(device.requestJson(action(2)).get(), "result"), 0);
    device.requestJson(action(7));
    offer(device, "tiny", "");
    ASSERT_EQ(jsonInt(checkOutcome(device).get(), "result"), 1);
    ASSERT_EQ(jsonInt(device.requestJson(action(2)).get(), "result"), 0);
    EXPECT_EQ(jsonInt(device.requestJson(action(3)).get(), "result"), 0);
    EXPECT_FALSE(SimDevice::exists(device.path("/update.zip")));
    reply = device.requestJson(action(0));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 1);
    EXPECT_EQ(cJSON_GetObjectItem(reply.get(), "hasNewVersion"), nullptr);
    EXPECT_NE(jsonString(reply.get(), "firmwareVersion"), "");
}

}  // namespace
