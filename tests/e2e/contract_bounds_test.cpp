// Each member's declared range over the real socket: its bounds are taken,
// a value just outside gets the member's declared policy (refused with the
// module's usual answer and nothing stored, or left out).
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

int result(SimDevice &device, const std::string &json)
{
    JsonPtr reply = device.requestJson(json);
    return reply != nullptr ? jsonInt(reply.get(), "result") : -100;
}

std::string powerSave(const std::string &level, const std::string &time)
{
    return "{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":" + level +
           ",\"autoDisableTime\":" + time + "}";
}

TEST(ContractBounds, PowerSaveKeepsOnlyWhatItsKeysCanHold)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    const std::string get = "{\"module\":\"power_save\",\"action\":0}";
    for (const char *bound : {"-999999", "9999999", "0"}) {
        ASSERT_EQ(result(device, powerSave(bound, bound)), 0) << bound;
        JsonPtr reply = device.requestJson(get);
        EXPECT_EQ(std::to_string(jsonInt(reply.get(), "powerLevel")), bound);
        EXPECT_EQ(std::to_string(jsonInt(reply.get(), "autoDisableTime")), bound);
    }
    std::string before = device.request(get);
    for (const char *outside : {"-1000000", "10000000", "-2147483648", "2147483647"}) {
        EXPECT_EQ(device.request(powerSave(outside, "1")), "{\n}") << outside;
        EXPECT_EQ(device.request(powerSave("1", outside)), "{\n}") << outside;
    }
    EXPECT_EQ(device.request(get), before);
}

TEST(ContractBounds, LeftOutValuesAnswerZeroAndChangeNothing)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    const std::string wanGet = "{\"module\":\"wan\",\"action\":0}";
    std::string before = device.request(wanGet);
    for (const char *mode : {"4", "7", "-1"})
        EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":1,\"networkPreferredMode\":" + std::string(mode) + "}"),
                  0)
            << mode;
    EXPECT_EQ(device.request(wanGet), before);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":1,\"networkPreferredMode\":3}"), 0);
    EXPECT_EQ(jsonInt(device.requestJson(wanGet).get(), "networkPreferredMode"), 3);

    // Flow statistics values are read only while their switch is on.
    const std::string flowGet = "{\"module\":\"flowstat\",\"action\":0}";
    std::string settings = device.request(flowGet);
    EXPECT_EQ(result(device, "{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"limitation\":\"-5\","
                             "\"warningPercent\":101,\"paymentDay\":32}}"),
              0);
    EXPECT_EQ(device.request(flowGet), settings);
    EXPECT_EQ(result(device, "{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"enablePaymentDay\":true,"
                             "\"paymentDay\":32}}"),
              1);
    EXPECT_EQ(device.request(flowGet), settings);
    EXPECT_EQ(result(device, "{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"enablePaymentDay\":true,"
                             "\"paymentDay\":31}}"),
              0);
}

TEST(ContractBounds, WlanAndLanNumbersWithoutARangeArePassedOn)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    ASSERT_EQ(result(device, "{\"module\":\"wlan\",\"action\":1,\"channel\":-2147483648,\"bandType\":2147483647,"
                             "\"wirelessMode\":-1}"),
              0);
    JsonPtr wlan = device.requestJson("{\"module\":\"wlan\",\"action\":0}");
    EXPECT_EQ(jsonInt(wlan.get(), "channel"), -2147483647 - 1);
    EXPECT_EQ(jsonInt(wlan.get(), "bandType"), 2147483647);
    EXPECT_EQ(device.request("{\"module\":\"wlan\",\"action\":1,\"channel\":2147483648}"), "{\n}");
    ASSERT_EQ(result(device, "{\"module\":\"lan\",\"action\":1,\"dhcp\":{\"leaseTime\":-2147483648}}"), 0);
    JsonPtr lan = device.requestJson("{\"module\":\"lan\",\"action\":0}");
    EXPECT_EQ(jsonInt(cJSON_GetObjectItem(lan.get(), "dhcp"), "leaseTime"), -2147483647 - 1);
}

// "mixed" is read only for a network that is secured after the request:
// an open network, as sent or as stored, ignores it whatever it holds.
TEST(ContractBounds, OpenNetworkIgnoresMixed)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    const std::string get = "{\"module\":\"wlan\",\"action\":0}";
    ASSERT_EQ(result(device, "{\"module\":\"wlan\",\"action\":1,\"securityMode\":0,\"mixed\":{\"mode\":9}}"), 0);
    for (const char *mixed : {"{\"mode\":9}", "{\"key\":\"short\"}", "{\"mode\":\"x\",\"key\":5}"}) {
        std::string request = "{\"module\":\"wlan\",\"action\":1,\"mixed\":" + std::string(mixed) + "}";
        EXPECT_EQ(result(device, request), 0) << mixed;
        EXPECT_EQ(jsonInt(device.requestJson(get).get(), "securityMode"), 0);
    }
    // Secured by this request: the same values refuse it and nothing changes.
    std::string before = device.request(get);
    EXPECT_EQ(device.request("{\"module\":\"wlan\",\"action\":1,\"securityMode\":1,\"mixed\":{\"mode\":9}}"),
              "{\n}");
    EXPECT_EQ(device.request(get), before);
}

}  // namespace
