// "lan" over the real socket: validation codes, pool repair, the name
// server rule and the delayed LAN restart of the simulated network manager.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <string>

#include "tests/support/test_support.h"

namespace {

const char kFactoryRecord[] = "address=192.168.0.1\nnetmask=255.255.255.0\ndhcp_enable=1\npool_start=192.168.0.100\n"
                              "pool_end=192.168.0.199\nlease_time=86400\ndns1=192.168.0.1\ndns2=0.0.0.0\n";

std::string set(const std::string &members)
{
    return "{\"module\":\"lan\",\"action\":1," + members + "}";
}

std::string recordText(SimDevice &device)
{
    return SimDevice::readFile(device.statePath("network/lan_config"));
}

const cJSON *dhcpOf(const JsonPtr &reply)
{
    return cJSON_GetObjectItem(reply.get(), "dhcp");
}

TEST(Lan, ValidationTableStoresNothingAndRestartsNothing)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    struct Case {
        const char *members;
        int result;
    } cases[] = {
        {"\"ip\":\"10.0.0.300\",\"dhcp\":{}", 2},
        {"\"ip\":\"127.0.0.1\",\"dhcp\":{}", 2},
        {"\"ip\":\"0.1.2.3\",\"dhcp\":{}", 2},
        {"\"ip\":\"224.0.0.1\",\"dhcp\":{}", 2},
        {"\"ip\":\"192.168.1.1a\",\"dhcp\":{}", 2},
        {"\"ip\":\"1.2.3.4\",\"mask\":\"255.0.255.0\",\"dhcp\":{}", 3},
        {"\"mask\":\"0.0.0.0\",\"dhcp\":{}", 3},
        {"\"ip\":\"192.168.1.0\",\"mask\":\"255.255.255.0\",\"dhcp\":{}", 3},
        {"\"ip\":\"192.168.1.255\",\"mask\":\"255.255.255.0\",\"dhcp\":{}", 3},
        // Only one half given: the pair with the stored half must still fit.
        {"\"ip\":\"192.168.0.0\",\"dhcp\":{}", 3},
        {"\"dhcp\":{\"start\":\"0.0.0.0\"}", 4},
        {"\"dhcp\":{\"start\":\"1.2.3\"}", 4},
        {"\"dhcp\":{\"end\":\"0.0.0.0\"}", 5},
        {"\"dhcp\":{\"end\":\".1.2.3.4\"}", 5},
        {"\"dhcp\":{\"dns1\":\"8.8.8\"}", 6},
        {"\"dhcp\":{\"dns2\":\"1.2.3.4.5\"}", 7},
        {"\"dhcp\":{\"dns2\":\"10.0.0.\"}", 7},
        {"\"dhcp\":{\"dns2\":\"10..0.1\"}", 7},
        // A text that is not UTF-8 is a bad address, not a missing one.
        {"\"ip\":\"192.168.1.1\xc3\",\"dhcp\":{}", 2},
        {"\"dhcp\":{\"dns1\":\"8.8.8.\xff\"}", 6},
        // Syntax before meaning, and in key order.
        {"\"ip\":\"127.0.0.1\",\"mask\":\"255.255.255\",\"dhcp\":{}", 3},
        {"\"ip\":\"127.0.0.1\",\"dhcp\":{\"dns2\":\"x\"}", 7},
    };
    for (const Case &c : cases) {
        JsonPtr reply = device.requestJson(set(c.members));
        ASSERT_TRUE(reply) << c.members;
        EXPECT_EQ(jsonInt(reply.get(), "result"), c.result) << c.members;
        EXPECT_EQ(recordText(device), kFactoryRecord) << c.members;
    }
    // A set without "dhcp" passes syntax only and changes nothing.
    JsonPtr reply = device.requestJson(set("\"ip\":\"10.9.9.9\",\"mask\":\"255.0.0.0\""));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_EQ(recordText(device), kFactoryRecord);
    reply = device.requestJson(set("\"ip\":\"10.0.0.300\""));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 2);
    // A restart would come 2 s after the reply: only waiting shows that none does.
    sleepMs(2600);
    EXPECT_FALSE(SimDevice::exists(device.statePath("network/lan_restarts")));

    // Undefined action: the record is read, nothing else happens.
    EXPECT_EQ(device.request("{\"module\":\"lan\",\"action\":2}"), "{\n\t\"result\":\t1\n}");
}

TEST(Lan, PoolRepairAndStoredTexts)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    JsonPtr reply = device.requestJson(
        set("\"ip\":\"192.168.5.1\",\"mask\":\"255.255.255.0\",\"dhcp\":{\"start\":\"192.168.0.100\","
            "\"end\":\"10.0.0.1\",\"leaseTime\":\"12\",\"enable\":1}"));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    reply = device.requestJson("{\"module\":\"lan\",\"action\":0}");
    EXPECT_EQ(jsonString(reply.get(), "ip"), "192.168.5.1");
    EXPECT_EQ(jsonString(dhcpOf(reply), "start"), "192.168.5.100");
    EXPECT_EQ(jsonString(dhcpOf(reply), "end"), "192.168.5.199");
    EXPECT_EQ(jsonInt(dhcpOf(reply), "leaseTime"), 0);  // a text lease counts as 0
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(dhcpOf(reply), "enable")));  // a number leaves it

    // A small subnet repairs to its first and last host.
    reply = device.requestJson(set("\"ip\":\"10.1.1.1\",\"mask\":\"255.255.255.248\",\"dhcp\":{\"start\":"
                                   "\"10.1.2.1\",\"end\":\"10.1.1.7\",\"enable\":false}"));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    reply = device.requestJson("{\"module\":\"lan\",\"action\":0}");
    EXPECT_EQ(jsonString(dhcpOf(reply), "start"), "10.1.1.1");
    EXPECT_EQ(jsonString(dhcpOf(reply), "end"), "10.1.1.6");
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(dhcpOf(reply), "enable")));

    // A pool address that fits is stored in plain dotted form (octal groups read as such).
    reply = device.requestJson(set("\"dhcp\":{\"start\":\"012.1.1.05\",\"leaseTime\":3600}"));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    reply = device.requestJson("{\"module\":\"lan\",\"action\":0}");
    EXPECT_EQ(jsonString(dhcpOf(reply), "start"), "10.1.1.5");
    EXPECT_EQ(jsonInt(dhcpOf(reply), "leaseTime"), 3600);

    // No room for a pool in a 31-bit subnet: nothing stored.
    std::string before = recordText(device);
    reply = device.requestJson(set("\"mask\":\"255.255.255.254\",\"dhcp\":{\"start\":\"10.1.1.5\"}"));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 3);
    EXPECT_EQ(recordText(device), before);
}

TEST(Lan, OwnNameServerFollowsTheAddressAndRestartComesLater)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    JsonPtr reply = device.requestJson(
        set("\"ip\":\"192.168.1.1\",\"mask\":\"255.255.255.0\",\"dhcp\":{\"dns1\":\"192.168.0.1\","
            "\"dns2\":\"192.168.1.53\"}"));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    // The restart waits 2000 ms after the reply.
    EXPECT_FALSE(SimDevice::exists(device.statePath("network/lan_restarts")));
    reply = device.requestJson("{\"module\":\"lan\",\"action\":0}");
    EXPECT_EQ(jsonString(dhcpOf(reply), "dns1"), "192.168.1.1");
    EXPECT_EQ(jsonString(dhcpOf(reply), "dns2"), "192.168.1.53");
    EXPECT_EQ(jsonString(dhcpOf(reply), "start"), "192.168.0.100");  // not given, not repaired

    // A name server other than the old address is kept as sent.
    reply = device.requestJson(set("\"ip\":\"192.168.2.1\",\"dhcp\":{\"dns1\":\"192.168.1.53\"}"));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    reply = device.requestJson("{\"module\":\"lan\",\"action\":0}");
    EXPECT_EQ(jsonString(dhcpOf(reply), "dns1"), "192.168.1.53");

    std::string restarts;
    EXPECT_TRUE(waitFor(
        [&] {
            restarts = SimDevice::readFile(device.statePath("network/lan_restarts"));
            return restarts.find("192.168.2.1") != std::string::npos;
        },
        5000));
    // Two changes within 2 s give one restart, with the last record.
    EXPECT_EQ(std::count(restarts.begin(), restarts.end(), '\n'), 1) << restarts;
    EXPECT_NE(restarts.find("restart address=192.168.2.1 netmask=255.255.255.0"), std::string::npos) << restarts;

    // An unreadable record fails every action and is logged.
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("network/lan_config"), "address=123456789012345678\n"));
    EXPECT_EQ(device.request("{\"module\":\"lan\",\"action\":0}"), "{\n\t\"result\":\t1\n}");
    EXPECT_NE(device.logBuffer("main").find("I/DHCP_HANDLER("), std::string::npos);
    EXPECT_NE(device.logBuffer("main").find("get lan config failed!"), std::string::npos);
}

}  // namespace
