// "log" over the real socket: user lines of the Android log come back
// through the logcat stand-in, pages and filters, clearing, and the
// export archive.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/support/test_support.h"

namespace {

const char kClear[] = "{\"module\":\"log\",\"action\":1}";
const char kRefresh[] = "{\"module\":\"log\",\"action\":3}";
const char kExport[] = "{\"module\":\"log\",\"action\":2}";

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

// A started device whose log was cleared (the clear line is its one
// SYSLOG line) and then refreshed with these user lines: 25 WLAN lines,
// a debug line, a DHCP error, lines of no type or not for the user, and
// two SMS lines, one ending before its message.
void startWithUserLines(SimDevice &device)
{
    ASSERT_TRUE(device.start());
    EXPECT_EQ(jsonInt(device.requestJson(kClear).get(), "result"), 0);
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
    EXPECT_EQ(jsonInt(device.requestJson(kRefresh).get(), "result"), 0);
}

TEST(Log, NoUserLogBeforeARefresh)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    JsonPtr reply = device.requestJson(list(0, 0, 10, 1));
    EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 0);
    EXPECT_EQ(listSize(reply), -1);
}

TEST(Log, RefreshCopiesTheUserLinesOnly)
{
    SimDevice device;
    ASSERT_NO_FATAL_FAILURE(startWithUserLines(device));
    std::string userLog = SimDevice::readFile(device.path("/data/data/syslog/userlog.txt"));
    EXPECT_NE(userLog.find("D/WLAN_-_user"), std::string::npos);
    EXPECT_EQ(userLog.find("I/WLAN("), std::string::npos);
}

TEST(Log, PagesListTheNewestFirst)
{
    SimDevice device;
    ASSERT_NO_FATAL_FAILURE(startWithUserLines(device));
    for (int page : {1, 2, 3}) {
        JsonPtr reply = device.requestJson(list(1, 0, 10, page));
        EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 25);
        EXPECT_EQ(listSize(reply), page < 3 ? 10 : 5) << page;
    }
    JsonPtr reply = device.requestJson(list(1, 0, 10, 1));
    const cJSON *first = cJSON_GetArrayItem(cJSON_GetObjectItem(reply.get(), "logList"), 0);
    EXPECT_EQ(jsonString(first, "time"), "12-07 10:00:25");
    EXPECT_EQ(jsonInt(first, "type"), 1);
    EXPECT_EQ(jsonInt(first, "level"), 1);
    EXPECT_EQ(jsonString(first, "content"), "station 25 joined");
    // Past the last page: nothing listed, and no failure.
    reply = device.requestJson(list(1, 0, 10, 4));
    EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 25);
    EXPECT_EQ(listSize(reply), -1);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
}

TEST(Log, LevelAndTypeFilters)
{
    SimDevice device;
    ASSERT_NO_FATAL_FAILURE(startWithUserLines(device));
    EXPECT_EQ(jsonInt(device.requestJson(list(2, 4, 5, 1)).get(), "totalNumber"), 1);
    EXPECT_EQ(jsonInt(device.requestJson(list(1, 4, 5, 1)).get(), "totalNumber"), 0);
    // The clear line is there, as level 2 SYSLOG.
    JsonPtr reply = device.requestJson(list(5, 0, 5, 1));
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
}

TEST(Log, AllCountsEveryTypeAndALargePageListsItWhole)
{
    SimDevice device;
    ASSERT_NO_FATAL_FAILURE(startWithUserLines(device));
    JsonPtr reply = device.requestJson(list(0, 0, 50, 1));
    EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 29);
    EXPECT_EQ(listSize(reply), 28);  // the SMS line without a message does not parse
    reply = device.requestJson(list(0, 0, 10, 2147483647));
    EXPECT_EQ(listSize(reply), -1);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    for (int perPage : {51, 2147483647}) {
        reply = device.requestJson(list(0, 0, perPage, 1));
        EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 29) << perPage;
        EXPECT_EQ(listSize(reply), 28) << perPage;
        EXPECT_EQ(jsonInt(reply.get(), "result"), 0) << perPage;
    }
}

// Out of range members and numbers beyond int among them: only "result" 1.
TEST(Log, OutOfRangeMembersAndActionsGetResultOne)
{
    SimDevice device;
    ASSERT_NO_FATAL_FAILURE(startWithUserLines(device));
    std::string head = "{\"module\":\"log\",\"action\":0,\"type\":0,\"level\":0,";
    for (const std::string &bad :
         {list(7, 0, 1, 1), list(0, 5, 1, 1), list(0, 0, 0, 1), list(0, 0, 1, 0), list(-1, 0, 1, 1),
          list(0, -2147483647 - 1, 1, 1),
          head + "\"amountPerPage\":4294967297,\"pageNumber\":1}", head + "\"amountPerPage\":10,\"pageNumber\":1e300}",
          head + "\"amountPerPage\":0.5,\"pageNumber\":1}", head + "\"amountPerPage\":10,\"pageNumber\":-1e300}",
          std::string("{\"module\":\"log\",\"action\":0,\"level\":0,\"amountPerPage\":1,\"pageNumber\":1}")}) {
        EXPECT_EQ(device.request(bad), "{\n\t\"result\":\t1\n}") << bad;
    }
    EXPECT_EQ(device.request("{\"module\":\"log\",\"action\":5}"), "{\n\t\"mdLogState\":\t2,\n\t\"result\":\t0\n}");
    EXPECT_EQ(device.request("{\"module\":\"log\",\"action\":5.9}"), "{\n\t\"mdLogState\":\t2,\n\t\"result\":\t0\n}");
    for (const char *action : {"4", "6", "-1", "4294967301", "1e300", "-1e300"})
        EXPECT_EQ(device.request(std::string("{\"module\":\"log\",\"action\":") + action + "}"),
                  "{\n\t\"result\":\t1\n}")
            << action;
}

// The next refresh holds only the clear line.
TEST(Log, AClearEmptiesTheLog)
{
    SimDevice device;
    ASSERT_NO_FATAL_FAILURE(startWithUserLines(device));
    EXPECT_EQ(jsonInt(device.requestJson(kClear).get(), "result"), 0);
    EXPECT_FALSE(SimDevice::exists(device.path("/data/data/syslog/userlog.txt")));
    device.requestJson(kRefresh);
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
    EXPECT_EQ(jsonInt(device.requestJson(kRefresh).get(), "result"), 0);
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

TEST(Log, LargePagesAreListedOrGetTheFailureReplyWhenTooLongForADatagram)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    // The longest element: a 31-byte time and a 255-byte message, every
    // byte a control character that prints as a six-byte escape.
    std::string worst;
    for (int i = 0; i < 60; i++)
        worst += std::string(31, '\x01') + ".000 I/WLAN_-_user( 1234): " + std::string(300, '\x02') + "\n";
    // A message cut at its 255th byte must not end inside a character.
    worst += "12-07 10:00:00.000 I/WLAN_-_user( 1234): " + std::string(254, 'a') + "\xc3\xa9tail\n";
    appendMain(device, worst);
    EXPECT_EQ(jsonInt(device.requestJson(kRefresh).get(), "result"), 0);

    std::string text = device.request(list(1, 0, 50, 1));
    JsonPtr reply = parseJson(text);
    EXPECT_EQ(jsonInt(reply.get(), "totalNumber"), 61);
    ASSERT_EQ(listSize(reply), 50);
    const cJSON *first = cJSON_GetArrayItem(cJSON_GetObjectItem(reply.get(), "logList"), 0);
    EXPECT_EQ(jsonString(first, "content"), std::string(254, 'a'));
    const cJSON *longest = cJSON_GetArrayItem(cJSON_GetObjectItem(reply.get(), "logList"), 1);
    EXPECT_EQ(jsonString(longest, "time"), std::string(31, '\x01'));
    EXPECT_EQ(jsonString(longest, "content"), std::string(255, '\x02'));
    // Within the smallest default datagram of a 32-bit kernel.
    EXPECT_LT(text.size(), 114000u);

    EXPECT_EQ(listSize(device.requestJson(list(1, 0, 50, 2))), 11);
    // The whole log of the longest elements: listed whole, or, when the
    // reply does not fit one datagram, the failure reply; never a cut page.
    text = device.request(list(1, 0, 1000, 1));
    reply = parseJson(text);
    if (text != "{\"result\": -10 }") {
        EXPECT_EQ(listSize(reply), 61) << text.size();
    }
    EXPECT_TRUE(device.running());
}

TEST(Log, ExportArchiveMembersAndEmptyScratch)
{
    SimDevice device;
    ASSERT_TRUE(SimDevice::writeFile(device.path("/app/config/SMS.db"), "private messages"));
    ASSERT_TRUE(SimDevice::writeFile(device.path("/app/config/settings.conf"), "a=1\n"));
    // The stand-in tools, with busybox recording its arguments: the route
    // and ARP dumps must not resolve names (an unreachable name server
    // would hold the server for tens of seconds).
    std::string bin = device.path("/test-bin");
    ASSERT_EQ(runCommand("mkdir -p " + bin + " && ln -s " KAL_SOURCE_DIR "/sim/bin/* " + bin + " && rm " + bin +
                         "/busybox"),
              0);
    ASSERT_TRUE(SimDevice::writeFile(bin + "/busybox", "#!/bin/sh\necho \"$*\" >> \"$KAL_ROOT/busybox.calls\"\n"
                                                       "exec " KAL_SOURCE_DIR "/sim/bin/busybox \"$@\"\n"));
    ASSERT_EQ(runCommand("chmod 755 " + bin + "/busybox"), 0);
    setenv("KAL_SIM_BIN", bin.c_str(), 1);
    bool started = device.start();
    unsetenv("KAL_SIM_BIN");
    ASSERT_TRUE(started);
    device.requestJson("{\"module\":\"time\",\"action\":0}");  // a main buffer line to export
    EXPECT_EQ(device.request(kExport), "{\n\t\"result\":\t0\n}");

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
    std::string calls = SimDevice::readFile(device.path("/busybox.calls"));
    EXPECT_NE(calls.find("route -n\n"), std::string::npos) << calls;
    EXPECT_NE(calls.find("arp -n\n"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("route\n"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("arp\n"), std::string::npos) << calls;
}

// A small filesystem mounted over a directory of the device; unmounted
// (lazily, should something still hold it) on scope exit.
class SmallDisk {
public:
    explicit SmallDisk(const std::string &dir) : dir_(dir)
    {
        runCommand("mkdir -p " + dir_);
        mounted_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=1m") == 0;
    }
    ~SmallDisk()
    {
        if (mounted_)
            umount2(dir_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    void fill() { runCommand("dd if=/dev/zero of=" + dir_ + "/fill bs=64k 2>/dev/null"); }
    void free() { runCommand("rm -f " + dir_ + "/fill"); }

private:
    std::string dir_;
    bool mounted_ = false;
};

TEST(Log, AFullDiskFailsTheExportAndKeepsTheOldUserLog)
{
    if (geteuid() != 0)
        FAIL() << "the full-disk test mounts a 1 MB tmpfs and must run as root (CI runs as root)";
    SimDevice device;
    SmallDisk disk(device.path("/data/data/syslog"));
    ASSERT_TRUE(disk.mounted()) << "cannot mount a tmpfs on " << device.path("/data/data/syslog");
    ASSERT_TRUE(device.start());
    std::string userLog = device.path("/data/data/syslog/userlog.txt");
    std::string archive = device.path("/data/data/syslog/savelog.tar.gz");

    appendMain(device, "12-07 10:00:01.000 I/WLAN_-_user( 1234): before the disk filled\n");
    EXPECT_EQ(jsonInt(device.requestJson(kRefresh).get(), "result"), 0);
    EXPECT_EQ(jsonInt(device.requestJson(kExport, 20000).get(), "result"), 0);
    std::string oldLog = SimDevice::readFile(userLog);
    ASSERT_NE(oldLog.find("before the disk filled"), std::string::npos);
    std::string oldArchive = SimDevice::readFile(archive);

    disk.fill();
    appendMain(device, "12-07 10:00:02.000 I/WLAN_-_user( 1234): after the disk filled\n");
    EXPECT_EQ(jsonInt(device.requestJson(kRefresh).get(), "result"), 1);
    EXPECT_EQ(SimDevice::readFile(userLog), oldLog);
    EXPECT_EQ(jsonInt(device.requestJson(list(0, 0, 10, 1)).get(), "totalNumber"), 1);
    EXPECT_EQ(jsonInt(device.requestJson(kExport, 20000).get(), "result"), 1);
    EXPECT_TRUE(SimDevice::readFile(archive) == oldArchive) << "the last whole archive must stay";
    EXPECT_FALSE(SimDevice::exists(userLog + ".tmp"));
    EXPECT_FALSE(SimDevice::exists(archive + ".tmp"));
    EXPECT_EQ(commandOutput("ls -A " + device.path("/data/data/syslog/exported_log")), "");

    disk.free();
    EXPECT_EQ(jsonInt(device.requestJson(kRefresh).get(), "result"), 0);
    EXPECT_EQ(jsonInt(device.requestJson(list(0, 0, 10, 1)).get(), "totalNumber"), 2);
    EXPECT_EQ(jsonInt(device.requestJson(kExport, 20000).get(), "result"), 0);
    int status = -1;
    std::string members = commandOutput("/bin/busybox tar -tzf " + archive, &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(members.find("data/data/syslog/exported_log/logcat.txt"), std::string::npos) << members;
}

}  // namespace
