// The dashboard sees what the other modules and the simulated device change.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

const char kStatus[] = "{\"module\":\"status\",\"action\":0}";

cJSON *section(const JsonPtr &reply, const char *key)
{
    return cJSON_GetObjectItem(reply.get(), key);
}

TEST(Status, DashboardFollowsSettingsAndDeviceState)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    JsonPtr reply = device.requestJson(kStatus);
    ASSERT_TRUE(reply);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_TRUE(cJSON_IsTrue(section(reply, "factoryDefault")));
    // Keys come in the dashboard's order.
    const char *order[] = {"factoryDefault", "deviceInfo", "battery", "wan", "wlan",
                           "connectedDevices", "message", "sdcard", "result"};
    int i = 0;
    for (cJSON *item = reply->child; item != nullptr; item = item->next, i++) {
        ASSERT_LT(i, 9);
        EXPECT_STREQ(item->string, order[i]);
    }
    EXPECT_EQ(i, 9);
    EXPECT_EQ(jsonString(section(reply, "sdcard"), "volume"), "15558144");
    EXPECT_EQ(jsonInt(section(reply, "sdcard"), "status"), 1);
    EXPECT_EQ(jsonString(section(reply, "wlan"), "region"), "NONE");
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(section(reply, "wan"), "dualIPVersionSupport")));

    // Changes through the other modules and the device's files.
    EXPECT_EQ(jsonInt(device.requestJson("{\"module\":\"webServer\",\"action\":3}").get(), "result"), 0);
    EXPECT_EQ(jsonInt(device.requestJson("{\"module\":\"flowstat\",\"action\":1,\"settings\":"
                                         "{\"enableDataLimit\":true,\"limitation\":\"1\","
                                         "\"adjustStatistics\":\"5\",\"enablePaymentDay\":true,"
                                         "\"paymentDay\":3}}").get(), "result"), 0);
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/119"), "150"));
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/121"), "5"));
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/120"), "1"));
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/127"), "0"));
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/126"), "2"));
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/93"), std::string(40, 'R')));
    ASSERT_EQ(unlink(device.path("/dev/block/mmcblk0").c_str()), 0);
    ASSERT_EQ(unlink(device.path("/dev/block/mmcblk0p1").c_str()), 0);

    reply = device.requestJson(kStatus);
    ASSERT_TRUE(reply);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_FALSE(cJSON_IsTrue(section(reply, "factoryDefault")));
    cJSON *battery = section(reply, "battery");
    EXPECT_EQ(jsonInt(battery, "voltage"), 0);
    EXPECT_FALSE(cJSON_IsTrue(cJSON_GetObjectItem(battery, "connected")));
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(battery, "charging")));
    cJSON *wan = section(reply, "wan");
    EXPECT_EQ(jsonInt(wan, "dataLimit"), 2);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(wan, "enablePaymentDay")));
    EXPECT_EQ(jsonString(wan, "totalStatistics"), "5.000000");
    EXPECT_EQ(jsonString(wan, "rxSpeed"), "0");  // stopped at the limit
    EXPECT_NE(jsonString(section(reply, "wlan"), "region"), "NONE");
    cJSON *info = section(reply, "deviceInfo");
    EXPECT_LE(jsonString(info, "hardwareVer").size(), 63u);
    cJSON *sd = section(reply, "sdcard");
    EXPECT_EQ(jsonInt(sd, "status"), 0);
    EXPECT_EQ(jsonInt(sd, "mode"), 2);
    EXPECT_EQ(jsonString(sd, "volume"), "");
    EXPECT_EQ(jsonString(sd, "left"), "");

    // Unreadable sources take their defaults; the reply stays complete.
    ASSERT_EQ(unlink(device.statePath("flowstat/state").c_str()), 0);
    ASSERT_EQ(unlink(device.statePath("config/89").c_str()), 0);
    ASSERT_EQ(unlink(device.statePath("config/123").c_str()), 0);
    reply = device.requestJson(kStatus);
    ASSERT_TRUE(reply);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    wan = section(reply, "wan");
    EXPECT_EQ(jsonString(wan, "totalStatistics"), "0");
    EXPECT_EQ(jsonString(wan, "txSpeed"), "0");
    EXPECT_EQ(jsonInt(wan, "dataLimit"), 0);
    info = section(reply, "deviceInfo");
    EXPECT_EQ(jsonString(info, "model"), "");
    EXPECT_EQ(jsonString(info, "hardwareVer"), "");
    EXPECT_EQ(jsonString(info, "mac"), "00-00-00-00-00-00");
    EXPECT_NE(device.logBuffer("main").find("Failed to get total statistics"), std::string::npos);
    EXPECT_EQ(jsonInt(device.requestJson("{\"module\":\"flowstat\",\"action\":0}").get(), "result"), 1);

    EXPECT_EQ(device.request("{\"module\":\"status\",\"action\":1}"), "{\n\t\"result\":\t1\n}");
    EXPECT_EQ(device.logBuffer("main").find("[start] module:status"), std::string::npos);
}

TEST(Status, UsageGrowsWhileConnected)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    device.requestJson(kStatus);
    auto grown = [](const cJSON *r) {
        const cJSON *wan = cJSON_GetObjectItem(r, "wan");
        return atof(jsonString(wan, "totalStatistics").c_str()) > 0.0 &&
               strtoul(jsonString(wan, "rxSpeed").c_str(), nullptr, 10) > 0;
    };
    JsonPtr reply = device.requestUntil(kStatus, grown, 5000);
    ASSERT_TRUE(reply);
    cJSON *wan = section(reply, "wan");
    EXPECT_GT(std::stod(jsonString(wan, "totalStatistics")), 0.0);
    EXPECT_GT(std::stoul(jsonString(wan, "rxSpeed")), 0ul);
}

}  // namespace
