// Wi-Fi changes over the real socket: the restart reaches the simulated
// manager about 2 s later, and the settings survive a server restart.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/support/test_support.h"

namespace {

int restartCount(SimDevice &device, const std::string &command)
{
    std::istringstream in(SimDevice::readFile(device.statePath("wlan/restarts")));
    std::string ms, cmd;
    int n = 0;
    while (in >> ms >> cmd)
        n += cmd == command ? 1 : 0;
    return n;
}

TEST(WlanE2E, ChangeRestartsOnceAndSurvivesServerRestart)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    JsonPtr r = device.requestJson(
        "{\"module\":\"wlan\",\"action\":1,\"ssid\":\"Caf\\\" ; $(touch /tmp/x) `id`\","
        "\"region\":\"FR\",\"mixed\":{\"mode\":1,\"key\":\"p4ss'word\"}}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    // A rejected request schedules nothing.
    EXPECT_EQ(device.request("{\"module\":\"wlan\",\"action\":1,\"ssid\":\"\"}"), "{\n}");
    // That nothing comes early only shows by waiting.
    sleepMs(1200);
    EXPECT_EQ(restartCount(device, "2"), 0) << "not before 2 s";
    EXPECT_TRUE(waitFor([&] { return restartCount(device, "2") > 0; }, 5000));
    EXPECT_EQ(restartCount(device, "2"), 1);
    EXPECT_EQ(SimDevice::readFile(device.path("/system/usr/share/zoneinfo/timezone")), "Europe/Amsterdam");

    r = device.requestJson("{\"module\":\"macFilters\",\"action\":1,\"enable\":true,"
                           "\"denyList\":[{\"mac\":\"02-00-00-00-00-0A\",\"description\":\"tv; rm -rf /\"}]}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    r = device.requestJson("{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":3,\"autoDisableTime\":20}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_TRUE(waitFor([&] { return restartCount(device, "2") > 1 && restartCount(device, "3") > 0; }, 5000));
    EXPECT_EQ(restartCount(device, "2"), 2);
    EXPECT_EQ(restartCount(device, "3"), 1);

    device.stop();
    ASSERT_TRUE(device.start()) << device.serverOutput();
    JsonPtr g = device.requestJson("{\"module\":\"wlan\",\"action\":0}");
    EXPECT_EQ(jsonString(g.get(), "ssid"), "Caf\" ; $(touch /tmp/x) `id`");
    EXPECT_EQ(jsonString(g.get(), "region"), "FR");
    EXPECT_EQ(jsonString(cJSON_GetObjectItem(g.get(), "mixed"), "key"), "p4ss'word");
    g = device.requestJson("{\"module\":\"macFilters\",\"action\":0}");
    cJSON *list = cJSON_GetObjectItem(g.get(), "denyList");
    ASSERT_EQ(cJSON_GetArraySize(list), 1);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(list, 0), "mac"), "02:00:00:00:00:0A");
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(list, 0), "description"), "tv; rm -rf /");
    g = device.requestJson("{\"module\":\"power_save\",\"action\":0}");
    EXPECT_EQ(jsonInt(g.get(), "enable"), 1);
    EXPECT_EQ(jsonInt(g.get(), "powerLevel"), 3);
    g = device.requestJson("{\"module\":\"connectedDevices\",\"action\":0}");
    EXPECT_EQ(jsonInt(g.get(), "result"), 0);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(g.get(), "STAs")), 1);
    EXPECT_FALSE(SimDevice::exists("/tmp/x"));
}

}  // namespace
