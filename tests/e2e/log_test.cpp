// "log" over the real socket: user lines of the Android log come back
// through the logcat stand-in, pages and filters, clearing, and the
// export archive.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/test_support.h"

namespace {

std::string list(int type, int level, int perPage, int page)
{
    return "{\"module\":\"log\",\"action\":0,\"type\":" + std::to_string(type) + ",\"level\":" +
           std::to_string(level) + ",\"amountPerPage\":" + std::to_string(perPage) +
           ",\"pageNumber\":" + std::to_string(page) + "}";
}

// Appends lines to the main buffer as another process on the device would.
void appendMain(SimDevice &device, const std::string &lines)
{
    std::ofstream out(device.statePath("log/main"), std::ios::app);
    out << lines;
}

int listSize(const JsonPtr &reply)
{
    cJSON *list = cJSON_GetObjectItem(reply.get(), "logList");
    return list != nullptr ? cJSON_GetArraySize(list) : -1;
}

TEST(Log, ClearRefreshAndPages)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    // Before any refresh there is no user log.
    JsonPtr reply = device.requestJson(list(0, 0, 10, 1));
    EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 0);
    EXPECT_EQ(listSize(reply), -1);

    EXPECT_EQ(jsonInt(device.requestJson("{\"module\":\"log\",\"action\":1}").get(), "result"), 0);
    std::string lines;
    for (int i = 1; i <= 25; i++) {
        char line[160];
        snprintf(line, sizeof(line), "12-07 10:00:%02d.%03d I/WLAN_-_user( 1234): station %d joined\n", i, i, i);
        lines += line;
    }
    lines += "12-07 10:01:00.000 D/WLAN_-_user( 1234): debug lines are copied, never listed\n";
    lines += "12-07 10:01:01.000 E/DHCP_-_user( 1234): lease pool exhausted\n";
    lines += "12-07 10:01:02.000 E/ALL_-_user( 1234): not a type\n";
    lines += "12-07 10:01:03.000 I/WLAN( 1234): not for the user\n";
    lines += "12-07 10:01:04.000 W/SMS_-_user( 1234):\n";  // ends before the message: not parsed
    lines += "12-07 10:01:05.000 W/SMS_-_user( 1234): \n";
    appendMain(device, lines);
    EXPECT_EQ(jsonInt(device.requestJson("{\"module\":\"log\",\"action\":3}").get(), "result"), 0);

    std::string userLog = SimDevice::readFile(device.path("/data/data/syslog/userlog.txt"));
    EXPECT_NE(userLog.find("D/WLAN_-_user"), std::string::npos);
    EXPECT_EQ(userLog.find("I/WLAN("), std::string::npos);

    for (int page : {1, 2, 3}) {
        reply = device.requestJson(list(1, 0, 10, page));
        EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 25);
        EXPECT_EQ(listSize(reply), page < 3 ? 10 : 5) << page;
    }
    reply = device.requestJson(list(1, 0, 10, 1));
    const cJSON *first = cJSON_GetArrayItem(cJSON_GetObjectItem(reply.get(), "logList"), 0);
    EXPECT_EQ(jsonString(first, "time"), "12-07 10:00:25");  // newest first
    EXPECT_EQ(jsonInt(first, "type"), 1);
    EXPECT_EQ(jsonInt(first, "level"), 1);
    EXPECT_EQ(jsonString(first, "content"), "station 25 joined");
    reply = device.requestJson(list(1, 0, 10, 4));
    EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 25);
    EXPECT_EQ(listSize(reply), -1);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);

    // Level and type filters; the clear line is there, as level 2 SYSLOG.
    EXPECT_EQ(jsonInt(device.requestJson(list(2, 4, 5, 1)).get(), "totalNumber"), 1);
    EXPECT_EQ(jsonInt(device.requestJson(list(1, 4, 5, 1)).get(), "totalNumber"), 0);
    reply = device.requestJson(list(5, 0, 5, 1));
    ASSERT_EQ(listSize(reply), 1);
    const cJSON *cleared = cJSON_GetArrayItem(cJSON_GetObjectItem(reply.get(), "logList"), 0);
    EXPECT_EQ(jsonInt(cleared, "type"), 5);
    EXPECT_EQ(jsonInt(cleared, "level"), 2);
    EXPECT_EQ(jsonString(cleared, "content"), "User clear all logs.");
    // Two SMS lines match; the one that ends at the colon is left out.
    reply = device.requestJson(list(4, 3, 5, 1));
    EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 2);
    ASSERT_EQ(listSize(reply), 1);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(cJSON_GetObjectItem(reply.get(), "logList"), 0), "content"), "");
    // ALL counts every type, and a huge page is one page.
    reply = device.requestJson(list(0, 0, 2147483647, 1));
    EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 29);
    EXPECT_EQ(listSize(reply), 28);  // the SMS line without a message does not parse
    reply = device.requestJson(list(0, 0, 1000000000, 3));
    EXPECT_EQ(listSize(reply), -1);

    // Out of range members: only "result" 1.
    for (const std::string &bad :
         {list(7, 0, 1, 1), list(0, 5, 1, 1), list(0, 0, 0, 1), list(0, 0, 1, 0), list(-1, 0, 1, 1),
          std::string("{\"module\":\"log\",\"action\":0,\"level\":0,\"amountPerPage\":1,\"pageNumber\":1}")}) {
        EXPECT_EQ(device.request(bad), "{\n\t\"result\":\t1\n}") << bad;
    }
    EXPECT_EQ(device.request("{\"module\":\"log\",\"action\":5}"), "{\n\t\"mdLogState\":\t2,\n\t\"result\":\t0\n}");
    EXPECT_EQ(device.request("{\"module\":\"log\",\"action\":4}"), "{\n\t\"result\":\t1\n}");

    // A clear empties the log; the next refresh holds only the clear line.
    EXPECT_EQ(jsonInt(device.requestJson("{\"module\":\"log\",\"action\":1}").get(), "result"), 0);
    EXPECT_FALSE(SimDevice::exists(device.path("/data/data/syslog/userlog.txt")));
    device.requestJson("{\"module\":\"log\",\"action\":3}");
    EXPECT_EQ(jsonInt(device.requestJson(list(0, 0, 10, 1)).get(), "totalNumber"), 1);
}

TEST(Log, RefreshMakesItsDirectoryAndPagesStayAlignedPastLongLines)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    ASSERT_EQ(runCommand("rm -rf " + device.path("/data/data/syslog")), 0);
    // Oldest first here, newest first in the user log. A line too long to
    // list still counts and takes exactly its own place on its page; what
    // lies past the first 1023 bytes of one is never read as a line, even
    // when it looks like one.
    std::string prefix = "12-07 10:00:03.000 I/WLAN_-_user( 1234): ";
    std::string ghost = "12-07 10:00:09.000 E/SMS_-_user( 1234): ghost";
    appendMain(device, "12-07 10:00:01.000 I/WLAN_-_user( 1234): first\n"
                       "12-07 10:00:02.000 I/WLAN_-_user( 1234): " + std::string(600, 'm') + "\n" +
                       prefix + std::string(1023 - prefix.size(), 'l') + ghost + "\n"
                       "12-07 10:00:04.000 I/WLAN_-_user( 1234): last\n");
    EXPECT_EQ(jsonInt(device.requestJson("{\"module\":\"log\",\"action\":3}").get(), "result"), 0);
    ASSERT_TRUE(SimDevice::exists(device.path("/data/data/syslog/userlog.txt")));

    JsonPtr reply = device.requestJson(list(1, 0, 2, 1));
    EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 4);
    ASSERT_EQ(listSize(reply), 1);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(cJSON_GetObjectItem(reply.get(), "logList"), 0), "content"), "last");
    reply = device.requestJson(list(1, 0, 2, 2));
    ASSERT_EQ(listSize(reply), 1);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(cJSON_GetObjectItem(reply.get(), "logList"), 0), "content"), "first");
    reply = device.requestJson(list(0, 0, 10, 1));
    EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 4);
    EXPECT_EQ(listSize(reply), 2);
    reply = device.requestJson(list(1, 0, 1, 4));
    ASSERT_EQ(listSize(reply), 1);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(cJSON_GetObjectItem(reply.get(), "logList"), 0), "time"), "12-07 10:00:01");
}

TEST(Log, APageTooLongForOneDatagramGetsTheFailureReply)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    std::string lines;
    for (int i = 0; i < 1000; i++)
        lines += "12-07 10:00:00.000 I/WLAN_-_user( 1234): " + std::string(250, 'c') + "\n";
    appendMain(device, lines);
    EXPECT_EQ(jsonInt(device.requestJson("{\"module\":\"log\",\"action\":3}").get(), "result"), 0);
    // About 300 kB of reply: more than a datagram holds. The request is
    // still answered, with the failure reply, and the server goes on. The
    // page runs a pipeline per entry, minutes' worth under an emulator: the
    // test's own time limit bounds the wait.
    EXPECT_EQ(device.request(list(1, 0, 1000, 1), 900000), "{\"result\": -10 }");
    EXPECT_EQ(listSize(device.requestJson(list(1, 0, 10, 1))), 10);
}

TEST(Log, ExportArchiveMembersAndEmptyScratch)
{
    SimDevice device;
    ASSERT_TRUE(SimDevice::writeFile(device.path("/app/config/SMS.db"), "private messages"));
    ASSERT_TRUE(SimDevice::writeFile(device.path("/app/config/settings.conf"), "a=1\n"));
    ASSERT_TRUE(device.start());
    device.requestJson("{\"module\":\"time\",\"action\":0}");  // a main buffer line to export
    EXPECT_EQ(device.request("{\"module\":\"log\",\"action\":2}"), "{\n\t\"result\":\t0\n}");

    std::string archive = device.path("/data/data/syslog/savelog.tar.gz");
    int status = -1;
    std::string members = commandOutput("/bin/busybox tar -tzf " + archive, &status);
    ASSERT_EQ(status, 0) << members;
    for (const char *member : {"app/config/settings.conf", "app/default_config/storageshare",
                               "data/data/syslog/exported_log/logcat.txt", "data/data/syslog/exported_log/dmesg.txt",
                               "data/data/syslog/exported_log/network.txt"})
        EXPECT_NE(members.find(member), std::string::npos) << member << " in\n" << members;
    EXPECT_EQ(members.find("SMS.db"), std::string::npos) << members;
    EXPECT_EQ(commandOutput("ls -A " + device.path("/data/data/syslog/exported_log")), "");

    std::string network = commandOutput("/bin/busybox tar -xzOf " + archive + " data/data/syslog/exported_log/network.txt");
    size_t headers = 0;
    for (size_t at = network.find("############"); at != std::string::npos; at = network.find("############", at + 1))
        headers++;
    EXPECT_EQ(headers, 26u) << network;  // 13 sections, two markers each
    EXPECT_NE(network.find("Chain POSTROUTING"), std::string::npos);
    std::string logcat = commandOutput("/bin/busybox tar -xzOf " + archive + " data/data/syslog/exported_log/logcat.txt");
    EXPECT_NE(logcat.find("[start] module:time, action:0"), std::string::npos) << logcat;
}

}  // namespace
