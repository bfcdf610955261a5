// "time", "reboot" and "restoreDefaults" over the real socket.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <string>

#include "tests/support/test_support.h"

namespace {

const char kZoneFile[] = "/system/usr/share/zoneinfo/timezone";

TEST(Time, ZoneRoundTripWholeLongNamesAndFailedWrites)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    JsonPtr reply = device.requestJson("{\"module\":\"time\",\"action\":0}");
    ASSERT_TRUE(reply);
    EXPECT_EQ(jsonString(reply.get(), "id"), "Europe/London");
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    EXPECT_EQ(jsonInt(reply.get(), "year"), tm.tm_year + 1900);
    int month = jsonInt(reply.get(), "month");
    EXPECT_TRUE(month >= 1 && month <= 12);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    const char *order[] = {"id", "year", "month", "date", "hour", "minute", "second", "result"};
    int i = 0;
    for (cJSON *item = reply->child; item != nullptr; item = item->next, i++)
        EXPECT_STREQ(item->string, order[i]);

    // A 32-byte zone comes back whole.
    const char *longZone = "America/Argentina/ComodRivadavia";
    reply = device.requestJson(std::string("{\"module\":\"time\",\"action\":1,\"id\":\"") + longZone + "\"}");
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_EQ(SimDevice::readFile(device.path(kZoneFile)), longZone);
    EXPECT_EQ(jsonString(device.requestJson("{\"module\":\"time\",\"action\":0}").get(), "id"), longZone);

    // No "id": nothing written, no "id" answered.
    reply = device.requestJson("{\"module\":\"time\",\"action\":1,\"id\":5}");
    EXPECT_EQ(cJSON_GetObjectItem(reply.get(), "id"), nullptr);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_EQ(SimDevice::readFile(device.path(kZoneFile)), longZone);

    // The temporary zone governs the time that action 2 reports.
    reply = device.requestJson("{\"module\":\"time\",\"action\":2,\"id\":\"Asia/Tokyo\"}");
    now = time(nullptr);
    gmtime_r(&now, &tm);
    EXPECT_EQ(jsonString(reply.get(), "id"), "Asia/Tokyo");
    int hour = jsonInt(reply.get(), "hour");
    if (tm.tm_min != 59 || tm.tm_sec < 58) {  // not across an hour boundary
        EXPECT_EQ(hour, (tm.tm_hour + 9) % 24);
    }
    EXPECT_EQ(SimDevice::readFile(device.path("/system/usr/share/zoneinfo/temptimezone")), "Asia/Tokyo");
    EXPECT_EQ(jsonString(device.requestJson("{\"module\":\"time\",\"action\":0}").get(), "id"), longZone);

    // A zone file that cannot be written is a failure, with the usual members.
    ASSERT_EQ(runCommand("rm -f " + device.path(kZoneFile) + " && mkdir " + device.path(kZoneFile)), 0);
    reply = device.requestJson("{\"module\":\"time\",\"action\":1,\"id\":\"Asia/Tokyo\"}");
    EXPECT_EQ(jsonInt(reply.get(), "result"), 1);
    EXPECT_EQ(jsonString(reply.get(), "id"), "Asia/Tokyo");
    EXPECT_NE(cJSON_GetObjectItem(reply.get(), "second"), nullptr);
    // Unreadable zone file: the default zone.
    EXPECT_EQ(jsonString(device.requestJson("{\"module\":\"time\",\"action\":0}").get(), "id"), "Europe/London");
    EXPECT_EQ(device.request("{\"module\":\"time\",\"action\":3}"), "{\n\t\"result\":\t1\n}");
}

// The hour action 0 answers, and whether it was read within one UTC hour
// (so that the expected hour is certain).
int hourNow(SimDevice &device, int *utcHour, bool *certain)
{
    time_t before = time(nullptr);
    JsonPtr reply = device.requestJson("{\"module\":\"time\",\"action\":0}");
    time_t after = time(nullptr);
    struct tm a, b;
    gmtime_r(&before, &a);
    gmtime_r(&after, &b);
    *utcHour = a.tm_hour;
    *certain = a.tm_hour == b.tm_hour && a.tm_min == b.tm_min;
    return jsonInt(reply.get(), "hour");
}

// As on the device, the stored zone governs the local time the server gives,
// from the request after it was stored, whoever stored it.
TEST(Time, TheStoredZoneGovernsLocalTime)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    int utc = 0;
    bool certain = false;
    device.request("{\"module\":\"time\",\"action\":1,\"id\":\"Asia/Tokyo\"}");
    int hour = hourNow(device, &utc, &certain);
    if (certain) {
        EXPECT_EQ(hour, (utc + 9) % 24);
    }
    // Changed by hand, then a zone the database does not know: the host's.
    ASSERT_TRUE(SimDevice::writeFile(device.path("/system/usr/share/zoneinfo/timezone"), "Etc/GMT+5"));
    hour = hourNow(device, &utc, &certain);
    if (certain) {
        EXPECT_EQ(hour, (utc + 19) % 24);
    }
    ASSERT_TRUE(SimDevice::writeFile(device.path("/system/usr/share/zoneinfo/timezone"), "Nowhere/Atlantis"));
    time_t now = time(nullptr);
    struct tm host;
    localtime_r(&now, &host);
    hour = hourNow(device, &utc, &certain);
    if (certain) {
        EXPECT_EQ(hour, host.tm_hour);
    }
}

TEST(RebootAndRestore, RequestsAreRecordedAndRestoreBringsBackFactoryState)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    EXPECT_EQ(device.request("{\"module\":\"reboot\",\"action\":1}"), "{\n\t\"result\":\t0\n}");
    EXPECT_EQ(device.request("{\"module\":\"reboot\",\"action\":0}"), "{\n\t\"result\":\t0\n}");
    EXPECT_EQ(device.request("{\"module\":\"reboot\",\"action\":2}"), "{\n\t\"result\":\t1\n}");
    EXPECT_EQ(device.request("{\"module\":\"restoreDefaults\",\"action\":1}"), "{\n\t\"result\":\t1\n}");
    std::string journal = SimDevice::readFile(device.statePath("state_requests"));
    EXPECT_NE(journal.find(" poweroff\n"), std::string::npos) << journal;
    EXPECT_NE(journal.find(" reboot\n"), std::string::npos) << journal;
    EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 2) << journal;
    std::string log = device.logBuffer("main");
    EXPECT_NE(log.find("[start] module:reboot, action:2"), std::string::npos);
    EXPECT_NE(log.find("[end] module:restoreDefaults, action:1, elapsed time:0 (s)"), std::string::npos);

    // Change settings in three components, then restore.
    device.requestJson("{\"module\":\"webServer\",\"action\":1,\"language\":\"de\"}");
    device.requestJson("{\"module\":\"lan\",\"action\":1,\"ip\":\"10.0.0.1\",\"mask\":\"255.0.0.0\",\"dhcp\":{}}");
    device.requestJson("{\"module\":\"storageShare\",\"action\":1,\"mode\":0,\"login\":0,\"username\":\"x\"}");
    std::string lanBefore = SimDevice::readFile(device.statePath("network/lan_config"));
    EXPECT_NE(lanBefore.find("address=10.0.0.1"), std::string::npos);
    EXPECT_EQ(device.request("{\"module\":\"restoreDefaults\",\"action\":0}"), "{\n\t\"result\":\t0\n}");
    EXPECT_EQ(SimDevice::readFile(device.statePath("config/11")), "en");
    EXPECT_EQ(SimDevice::readFile(device.statePath("config/141")), "admin");
    EXPECT_NE(SimDevice::readFile(device.statePath("network/lan_config")).find("address=192.168.0.1\n"),
              std::string::npos);
    EXPECT_EQ(SimDevice::readFile(device.path("/etc/config/storageshare")),
              SimDevice::readFile(device.path("/app/default_config/storageshare")));
    EXPECT_NE(SimDevice::readFile(device.statePath("state_requests")).find(" restore\n"), std::string::npos);
}

}  // namespace
