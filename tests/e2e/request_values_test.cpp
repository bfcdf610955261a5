// Request numbers outside their range and texts that are not UTF-8, over the
// real socket: refused with the module's usual failure, nothing stored, the
// server alive; long texts are cut between characters.
#include <gtest/gtest.h>

#include <string>

#include "common/text.h"
#include "tests/support/test_support.h"

namespace {

const std::string kNotUtf8 = "ab\xc3\x28\xff";

std::string profile(const std::string &id, const std::string &name, const std::string &defaults = "1")
{
    return "{\"list\":[{\"profileID\":" + id + ",\"profileName\":\"" + name +
           "\",\"pdpType\":0,\"ipv4ApnType\":0,\"ipv4Apn\":\"apn\",\"ipv4Username\":\"u\","
           "\"ipv4Password\":\"p\",\"ipv4AuthType\":1}],\"defaultProfile\":" +
           defaults + "}";
}

int result(SimDevice &device, const std::string &json)
{
    JsonPtr reply = device.requestJson(json);
    return reply != nullptr ? jsonInt(reply.get(), "result") : -100;
}

std::string wan(const std::string &action, const std::string &rest)
{
    return "{\"module\":\"wan\",\"action\":" + action + "," + rest + "}";
}

const cJSON *profileList(const JsonPtr &config)
{
    return cJSON_GetObjectItem(cJSON_GetObjectItem(config.get(), "profileSettings"), "list");
}

TEST(Request, WanNumbersBeyondTheirRangeAreRefusedAndChangeNothing)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    ASSERT_EQ(result(device, wan("2", "\"profileSettings\":" + profile("0", "Office"))), 0);
    std::string before = device.request("{\"module\":\"wan\",\"action\":0}");

    // Deleting: an index near 2^31 once reached the service's memmove.
    for (const char *id : {"-2147483648", "-2147483649", "2147483648", "4294967297", "-1e300", "1e300"})
        EXPECT_EQ(result(device, wan("3", "\"profileSettings\":{\"defaultProfile\":1,\"list\":[{\"profileID\":" +
                                              std::string(id) + "}]}")),
                  1)
            << id;
    for (const char *defaults : {"-2147483648", "-2147483647", "2147483648", "-1e300", "17"})
        EXPECT_EQ(result(device, wan("3", "\"profileSettings\":{\"defaultProfile\":" + std::string(defaults) +
                                              ",\"list\":[{\"profileID\":1}]}")),
                  1)
            << defaults;
    // Editing: an out-of-range count of default profiles leaves the profile
    // out, like any out-of-range setting; an unusable ID refuses it.
    EXPECT_EQ(result(device, wan("1", "\"profileSettings\":" + profile("1", "Edited", "-2147483648"))), 0);
    EXPECT_EQ(result(device, wan("1", "\"profileSettings\":" + profile("1", "Edited", "1e300"))), 0);
    EXPECT_EQ(result(device, wan("1", "\"profileSettings\":" + profile("2147483648", "Edited"))), 0);
    EXPECT_EQ(result(device, wan("1", "\"dataSwitchStatus\":4294967297,\"networkPreferredMode\":-4294967296")), 0);
    EXPECT_EQ(result(device, wan("2", "\"profileSettings\":" + profile("1e300", "Other"))), 1);
    EXPECT_EQ(result(device, wan("8", "\"networkSelectionMode\":2147483648")), 1);
    EXPECT_EQ(device.request("{\"module\":\"wan\",\"action\":0}"), before);
    EXPECT_TRUE(device.running());

    // The same requests within range still work.
    EXPECT_EQ(result(device, wan("1", "\"profileSettings\":" + profile("1", "Edited"))), 0);
    JsonPtr config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(profileList(config), 1), "profileName"), "Edited");
    EXPECT_EQ(result(device, wan("3", "\"profileSettings\":{\"defaultProfile\":1,\"list\":[{\"profileID\":1}]}")), 0);
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_EQ(cJSON_GetArraySize(profileList(config)), 1);
}

TEST(Request, MessagePagesAndIdsBeyondIntAreEmptyOrRefused)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    JsonPtr page = device.requestJson("{\"module\":\"message\",\"action\":0,\"page\":2147483647,\"pageSize\":20}");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(jsonInt(page.get(), "result"), 0);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(page.get(), "messages")), 0);
    for (const char *bad : {"\"page\":2147483648", "\"page\":1e300", "\"page\":-2147483649", "\"pageSize\":4294967306"})
        EXPECT_NE(result(device, "{\"module\":\"message\",\"action\":0," + std::string(bad) + "}"), 0) << bad;
    // 2^32 + 2 once saturated to an int; it names no message.
    EXPECT_NE(result(device, "{\"module\":\"message\",\"action\":1,\"id\":4294967298}"), 0);
    EXPECT_NE(result(device, "{\"module\":\"message\",\"action\":3,\"ids\":[1e300]}"), 0);
    EXPECT_EQ(result(device, "{\"module\":\"message\",\"action\":1,\"id\":2}"), 0);
    EXPECT_TRUE(device.running());
}

TEST(Request, TextsAreCutBetweenCharactersAndMalformedOnesRefused)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    std::string e20;
    for (int i = 0; i < 20; i++)
        e20 += "\xc3\xa9";
    // 40 bytes into a 31-byte name: 15 whole characters, never half of one.
    ASSERT_EQ(result(device, wan("2", "\"profileSettings\":" + profile("0", e20))), 0);
    std::string reply = device.request("{\"module\":\"wan\",\"action\":0}");
    EXPECT_TRUE(isUtf8(reply.c_str()));
    JsonPtr config = parseJson(reply);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(profileList(config), 1), "profileName"), e20.substr(0, 30));
    EXPECT_EQ(result(device, wan("2", "\"profileSettings\":" + profile("0", kNotUtf8))), 1);
    EXPECT_EQ(result(device, wan("2", "\"profileSettings\":{\"list\":[{\"profileID\":0,\"profileName\":\"n\","
                                      "\"pdpType\":0,\"ipv4ApnType\":0,\"ipv4Apn\":\"apn\",\"ipv4Username\":\"" +
                                          kNotUtf8 + "\",\"ipv4Password\":\"p\",\"ipv4AuthType\":1}]}")),
              1);
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_EQ(cJSON_GetArraySize(profileList(config)), 2);

    // A zone id read back is cut at 63 bytes, before a character that
    // would not fit whole.
    std::string zone = std::string(62, 'Z') + "\xc3\xa9" + "x";
    EXPECT_EQ(result(device, "{\"module\":\"time\",\"action\":1,\"id\":\"" + zone + "\"}"), 0);
    JsonPtr time = device.requestJson("{\"module\":\"time\",\"action\":0}");
    EXPECT_EQ(jsonString(time.get(), "id"), std::string(62, 'Z'));
    std::string zoneFile = device.path("/system/usr/share/zoneinfo/timezone");
    std::string storedZone = SimDevice::readFile(zoneFile);
    reply = device.request("{\"module\":\"time\",\"action\":1,\"id\":\"" + kNotUtf8 + "\"}");
    EXPECT_TRUE(isUtf8(reply.c_str()));
    EXPECT_EQ(jsonInt(parseJson(reply).get(), "result"), 1);
    EXPECT_EQ(SimDevice::readFile(zoneFile), storedZone);

    // Each module's usual failure, and nothing stored.
    EXPECT_EQ(result(device, "{\"module\":\"webServer\",\"action\":1,\"language\":\"" + kNotUtf8 + "\"}"), 1);
    EXPECT_EQ(jsonString(device.requestJson("{\"module\":\"webServer\",\"action\":0}").get(), "language"), "en");
    EXPECT_EQ(device.request("{\"module\":\"macFilters\",\"action\":1,\"enable\":true,\"denyList\":[{\"mac\":"
                             "\"02:00:00:00:00:0A\",\"description\":\"" +
                             kNotUtf8 + "\"}]}"),
              "{\n}");
    EXPECT_EQ(device.request("{\"module\":\"wlan\",\"action\":1,\"region\":\"" + kNotUtf8 + "\"}"), "{\n}");
    EXPECT_EQ(result(device, "{\"module\":\"storageShare\",\"action\":1,\"password\":\"" + kNotUtf8 + "\"}"), 1);
    EXPECT_NE(result(device, "{\"module\":\"message\",\"action\":2,\"number\":\"123\",\"text\":\"" + kNotUtf8 + "\"}"),
              0);
    EXPECT_EQ(result(device, "{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"adjustStatistics\":\"1" +
                                 kNotUtf8 + "\"}}"),
              1);
    for (const char *request : {"{\"module\":\"webServer\",\"action\":0}", "{\"module\":\"macFilters\",\"action\":0}",
                                "{\"module\":\"wlan\",\"action\":0}", "{\"module\":\"storageShare\",\"action\":0}",
                                "{\"module\":\"message\",\"action\":0,\"box\":\"sent\"}"})
        EXPECT_TRUE(isUtf8(device.request(request).c_str())) << request;
    JsonPtr sent = device.requestJson("{\"module\":\"message\",\"action\":0,\"box\":\"sent\"}");
    EXPECT_EQ(jsonInt(sent.get(), "total"), 0);
}

TEST(Request, SecurityModeMustBeANumber)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    ASSERT_EQ(result(device, "{\"module\":\"wlan\",\"action\":1,\"securityMode\":1,"
                             "\"mixed\":{\"mode\":2,\"key\":\"passw0rd!\"}}"),
              0);
    std::string hostapd = SimDevice::readFile(device.path("/app/config/hostapd.conf"));
    ASSERT_FALSE(hostapd.empty());
    // "1" once counted as 0 and opened the network.
    for (const char *mode : {"\"1\"", "\"0\"", "true", "null", "[1]", "{}", "2147483648", "-1e300"})
        EXPECT_EQ(device.request("{\"module\":\"wlan\",\"action\":1,\"securityMode\":" + std::string(mode) + "}"),
                  "{\n}")
            << mode;
    EXPECT_EQ(SimDevice::readFile(device.path("/app/config/hostapd.conf")), hostapd);
    JsonPtr wlan = device.requestJson("{\"module\":\"wlan\",\"action\":0}");
    EXPECT_EQ(jsonInt(wlan.get(), "securityMode"), 1);
    EXPECT_EQ(jsonString(cJSON_GetObjectItem(wlan.get(), "mixed"), "key"), "passw0rd!");
    // Numbers beyond an int in the other members are refused the same way.
    EXPECT_EQ(device.request("{\"module\":\"wlan\",\"action\":1,\"channel\":4294967302}"), "{\n}");
    EXPECT_EQ(device.request("{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"autoDisableTime\":1e300}"),
              "{\n}");
    EXPECT_EQ(SimDevice::readFile(device.path("/app/config/hostapd.conf")), hostapd);
    EXPECT_EQ(result(device, "{\"module\":\"wlan\",\"action\":1,\"securityMode\":0}"), 0);
    wlan = device.requestJson("{\"module\":\"wlan\",\"action\":0}");
    EXPECT_EQ(jsonInt(wlan.get(), "securityMode"), 0);
}

TEST(Request, AmountTextsOfAnyLengthGiveTheirLeadingNumber)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    std::string limitation = std::string(70, '0') + "1024.5";
    std::string adjust = "12" + std::string(80, ' ') + "MB";
    ASSERT_EQ(result(device, "{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"enableDataLimit\":true,"
                             "\"limitation\":\"" +
                                 limitation + "\",\"warningPercent\":80,\"adjustStatistics\":\"" + adjust + "\"}}"),
              0);
    JsonPtr settings = device.requestJson("{\"module\":\"flowstat\",\"action\":0}");
    const cJSON *s = cJSON_GetObjectItem(settings.get(), "settings");
    EXPECT_EQ(jsonString(s, "limitation"), "1024.500000");
    EXPECT_EQ(jsonString(s, "adjustStatistics"), "12.000000");
    EXPECT_EQ(jsonInt(s, "warningPercent"), 80);
    // Out-of-range numbers: refused, nothing changed.
    EXPECT_EQ(result(device, "{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"enableDataLimit\":true,"
                             "\"limitation\":\"5\",\"warningPercent\":4294967376}}"),
              1);
    EXPECT_EQ(result(device, "{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"enablePaymentDay\":true,"
                             "\"paymentDay\":-4294967293}}"),
              1);
    EXPECT_EQ(result(device, "{\"module\":\"lan\",\"action\":1,\"dhcp\":{\"leaseTime\":2147483648}}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"storageShare\",\"action\":1,\"mode\":1e300}"), 1);
    settings = device.requestJson("{\"module\":\"flowstat\",\"action\":0}");
    s = cJSON_GetObjectItem(settings.get(), "settings");
    EXPECT_EQ(jsonString(s, "limitation"), "1024.500000");
    EXPECT_EQ(jsonInt(s, "warningPercent"), 80);
}

}  // namespace
