// Data usage settings through the flow statistics service, and the values
// the dashboard computes from its sources.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "common/text.h"
#include "modules/admin/flowstat.h"
#include "modules/status/status.h"
#include "platform/flowstat.h"
#include "tests/support/inprocess.h"
#include "tests/support/test_support.h"

namespace {

JsonPtr flowstat(const std::string &settings)
{
    return parseJson(dispatchText("{\"module\":\"flowstat\",\"action\":1,\"settings\":" + settings + "}"));
}

cJSON *settingsOf(const JsonPtr &reply)
{
    return cJSON_GetObjectItem(reply.get(), "settings");
}

TEST(Flowstat, SettingsRoundTripAndRejectionsChangeNothing)
{
    inProcessRoot();
    JsonPtr reply = flowstat("{\"enableDataLimit\":true,\"limitation\":\"1024.5\","
                             "\"enablePaymentDay\":true,\"paymentDay\":0,\"adjustStatistics\":\"12\"}");
    ASSERT_EQ(jsonInt(reply.get(), "result"), 0);
    reply = parseJson(dispatchText("{\"module\":\"flowstat\",\"action\":0}"));
    cJSON *s = settingsOf(reply);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(s, "enableDataLimit")));
    EXPECT_EQ(jsonString(s, "limitation"), "1024.500000");
    EXPECT_EQ(jsonInt(s, "warningPercent"), 90);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(s, "enablePaymentDay")));
    EXPECT_EQ(jsonInt(s, "paymentDay"), 0);
    double used = 0;
    ASSERT_EQ(getMonthly(&used), 0);
    EXPECT_GE(used, 12.0);
    EXPECT_LT(used, 13.0);

    // Each of these fails before anything changes; text with no number is
    // no amount at all, not a zero.
    for (const char *bad : {"{\"enableDataLimit\":true,\"limitation\":\"abc\"}",
                            "{\"enableDataLimit\":true,\"limitation\":\"nan\"}",
                            "{\"enableDataLimit\":true,\"limitation\":\"inf\"}",
                            "{\"enableDataLimit\":true,\"limitation\":\"1e999\"}",
                            "{\"enableDataLimit\":true,\"limitation\":\"-1\"}",
                            "{\"enableDataLimit\":true,\"limitation\":500}",
                            "{\"enableDataLimit\":true}",
                            "{\"enableDataLimit\":true,\"limitation\":\"5\",\"warningPercent\":101}",
                            "{\"enablePaymentDay\":true,\"paymentDay\":32}",
                            "{\"enablePaymentDay\":true}",
                            "{\"adjustStatistics\":\"-3\",\"enableDataLimit\":false}",
                            "{\"adjustStatistics\":\"abc\",\"enableDataLimit\":false}",
                            "{\"adjustStatistics\":\"\",\"enableDataLimit\":false}"}) {
        reply = flowstat(bad);
        EXPECT_EQ(jsonInt(reply.get(), "result"), 1) << bad;
        int enabled = 0;
        double limit = 0;
        ASSERT_EQ(isLimitEnable(&enabled), 0);
        ASSERT_EQ(getLimit(&limit), 0);
        EXPECT_EQ(enabled, 1) << bad;
        EXPECT_EQ(limit, 1024.5) << bad;
        ASSERT_EQ(getMonthly(&used), 0);
        EXPECT_GE(used, 12.0) << bad;
    }

    // Off with a negative amount is fine; a number 1 is not true.
    EXPECT_EQ(jsonInt(flowstat("{\"enableDataLimit\":false,\"limitation\":\"-5\"}").get(), "result"), 0);
    EXPECT_EQ(jsonInt(flowstat("{\"enableDataLimit\":1,\"enablePaymentDay\":1}").get(), "result"), 0);
    int enabled = 1, monthly = 1;
    ASSERT_EQ(isLimitEnable(&enabled), 0);
    ASSERT_EQ(isMonthlyEnable(&monthly), 0);
    EXPECT_EQ(enabled, 0);
    EXPECT_EQ(monthly, 0);
    EXPECT_EQ(jsonInt(flowstat("{}").get(), "result"), 0);
    EXPECT_EQ(jsonInt(parseJson(dispatchText("{\"module\":\"flowstat\",\"action\":1}")).get(), "result"), 1);
    EXPECT_EQ(jsonInt(parseJson(dispatchText("{\"module\":\"flowstat\",\"action\":2}")).get(), "result"), 1);
}

// The state file's inode: each replacement of the file gives it a new one.
ino_t stateInode()
{
    struct stat st;
    return stat((inProcessRoot() + "/sim/flowstat/state").c_str(), &st) == 0 ? st.st_ino : 0;
}

bool stateHolds(const std::string &line)
{
    std::string text = "\n" + SimDevice::readFile(inProcessRoot() + "/sim/flowstat/state");
    return text.find("\n" + line + "\n") != std::string::npos;
}

TEST(Flowstat, ASetterSavesWhatItChangesBeforeReturningAndNothingElse)
{
    inProcessRoot();
    // A power cut after any setter keeps what that setter was given.
    ASSERT_EQ(setLimit(2048), 0);
    EXPECT_TRUE(stateHolds("limit=2048"));
    ASSERT_EQ(setWarningPercent(75), 0);
    EXPECT_TRUE(stateHolds("warning_percent=75"));
    ASSERT_EQ(setDue(9), 0);
    EXPECT_TRUE(stateHolds("payment_day=9"));
    ASSERT_EQ(enableLimit(1), 0);
    EXPECT_TRUE(stateHolds("limit_enable=1"));
    ASSERT_EQ(enableMonthly(1), 0);
    EXPECT_TRUE(stateHolds("monthly_enable=1"));
    ASSERT_EQ(setUserModifiedConfig(1), 0);
    EXPECT_TRUE(stateHolds("user_modified=1"));
    ASSERT_EQ(setMonthly(3.5), 0);
    EXPECT_TRUE(stateHolds("monthly=3.5"));

    // Saving the settings as they are, setter by setter or as the page
    // does, replaces nothing.
    ino_t before = stateInode();
    ASSERT_NE(before, 0u);
    EXPECT_EQ(setLimit(2048), 0);
    EXPECT_EQ(setWarningPercent(75), 0);
    EXPECT_EQ(setDue(9), 0);
    EXPECT_EQ(enableLimit(1), 0);
    EXPECT_EQ(enableMonthly(1), 0);
    EXPECT_EQ(setUserModifiedConfig(1), 0);
    EXPECT_EQ(stateInode(), before);
    EXPECT_EQ(jsonInt(flowstat("{\"enableDataLimit\":true,\"limitation\":\"2048\",\"warningPercent\":75,"
                               "\"enablePaymentDay\":true,\"paymentDay\":9}").get(), "result"), 0);
    EXPECT_EQ(stateInode(), before);

    // A change after the no-ops still lands.
    ASSERT_EQ(setLimit(4096), 0);
    EXPECT_TRUE(stateHolds("limit=4096"));
    EXPECT_NE(stateInode(), before);
}

TEST(Flowstat, LimitStateAndStoppedTraffic)
{
    inProcessRoot();
    ASSERT_EQ(jsonInt(flowstat("{\"enableDataLimit\":true,\"limitation\":\"10\",\"warningPercent\":50,"
                               "\"adjustStatistics\":\"6\"}").get(), "result"), 0);
    int state = -1;
    ASSERT_EQ(isLimitReached(&state), 0);
    EXPECT_EQ(state, FLOW_LIMIT_WARNING);
    ASSERT_EQ(jsonInt(flowstat("{\"adjustStatistics\":\"10\"}").get(), "result"), 0);
    ASSERT_EQ(isLimitReached(&state), 0);
    EXPECT_EQ(state, FLOW_LIMIT_REACHED);
    unsigned long rx = 1, tx = 1;
    ASSERT_EQ(getRxSpeed(&rx), 0);
    ASSERT_EQ(getTxSpeed(&tx), 0);
    EXPECT_EQ(rx, 0u);
    EXPECT_EQ(tx, 0u);
    ASSERT_EQ(jsonInt(flowstat("{\"enableDataLimit\":false,\"adjustStatistics\":\"0\"}").get(), "result"), 0);
    ASSERT_EQ(getRxSpeed(&rx), 0);
    EXPECT_GT(rx, 0u);
}

TEST(Flowstat, AmountTextsAndComputedStatusValues)
{
    char text[32];
    ASSERT_EQ(formatAmount(text, sizeof(text), 1.5), 0);
    EXPECT_STREQ(text, "1.500000");
    ASSERT_EQ(formatAmount(text, sizeof(text), 1e40), 0);  // too long for %f: not cut
    EXPECT_STREQ(text, "1.000000e+40");
    double v = -1;
    EXPECT_EQ(parseAmount("500abc", &v), 0);
    EXPECT_EQ(v, 500.0);
    EXPECT_EQ(parseAmount(".5", &v), 0);
    EXPECT_EQ(v, 0.5);
    EXPECT_EQ(parseAmount("0x10", &v), 0);  // decimal only: the leading 0
    EXPECT_EQ(v, 0.0);
    EXPECT_EQ(parseAmount("-", &v), -1);
    // The leading number, however long the text or the number is.
    EXPECT_EQ(parseAmount((std::string(200, '0') + "42.25").c_str(), &v), 0);
    EXPECT_EQ(v, 42.25);
    EXPECT_EQ(parseAmount(("7" + std::string(100, ' ') + "x").c_str(), &v), 0);
    EXPECT_EQ(v, 7.0);
    EXPECT_EQ(parseAmount(("1" + std::string(400, '0')).c_str(), &v), -1);  // not finite

    formatSpeed(text, sizeof(text), 4294967295ul);
    EXPECT_STREQ(text, "4294967295");
    formatSpeed(text, sizeof(text), (unsigned long)((1ull << 32) + 7));  // 32-bit counter
    EXPECT_STREQ(text, "7");

    EXPECT_EQ(batteryLevel("100"), 100);
    EXPECT_EQ(batteryLevel("150"), 0);
    EXPECT_EQ(batteryLevel("-3"), 0);

    char hw[64];
    formatHardwareVersion(hw, sizeof(hw), "Name", "UN", "1.0");
    EXPECT_STREQ(hw, "Name(UN) v1.0");
    formatHardwareVersion(hw, sizeof(hw), std::string(40, 'n').c_str(), "UN", std::string(30, '9').c_str());
    EXPECT_EQ(strlen(hw), 63u);

    char volume[16], used[16], left[16];
    splitDiskSizes("15558144 2342912 13215232", volume, used, left, sizeof(volume));
    EXPECT_STREQ(volume, "15558144");
    EXPECT_STREQ(used, "2342912");
    EXPECT_STREQ(left, "13215232");
    splitDiskSizes("12345678901234567890 1", volume, used, left, sizeof(volume));
    EXPECT_EQ(strlen(volume), 15u);
    EXPECT_STREQ(used, "1");
    EXPECT_STREQ(left, "");
}

}  // namespace
