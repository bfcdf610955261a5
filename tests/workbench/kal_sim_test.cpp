// kal_sim on a running simulated device: each control shows in the
// server's own replies over its socket, bad values are refused with one
// line and change nothing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <cjson/cJSON.h>

#include "tests/support/test_support.h"
#include "tests/workbench/workbench_support.h"

namespace {

// One line, without the tool's name repeated or a second line.
bool oneLine(const std::string &text)
{
    return !text.empty() && text.find('\n') == text.size() - 1;
}

JsonPtr status(SimDevice &dev)
{
    return dev.requestJson("{\"module\":\"status\",\"action\":0}");
}

const cJSON *section(const JsonPtr &s, const char *name)
{
    return cJSON_GetObjectItemCaseSensitive(s.get(), name);
}

bool boolMember(const cJSON *object, const char *key)
{
    return cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(object, key));
}

mode_t modeOf(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(KalSim, BatteryAndMobileNetworkShowOnTheDashboard)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    SimRun r = kalSim(dev, "battery 15 --charging");
    EXPECT_EQ(r.status, 0) << r.out;
    JsonPtr s = status(dev);
    EXPECT_EQ(jsonInt(section(s, "battery"), "voltage"), 15);
    EXPECT_TRUE(boolMember(section(s, "battery"), "charging"));
    EXPECT_EQ(SimDevice::readFile(dev.statePath("config/119")), "15");
    EXPECT_EQ(modeOf(dev.statePath("config/119")), 0600u);

    // Without a flag the charging state stays as it is.
    EXPECT_EQ(kalSim(dev, "battery 100").status, 0);
    s = status(dev);
    EXPECT_EQ(jsonInt(section(s, "battery"), "voltage"), 100);
    EXPECT_TRUE(boolMember(section(s, "battery"), "charging"));

    for (const char *bad : {"battery 101", "battery -1", "battery 1e2", "battery ' 5'", "battery", "battery 5 --fast",
                            "battery 99999999999999999999"}) {
        r = kalSim(dev, bad);
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_TRUE(oneLine(r.out)) << bad << ": " << r.out;
        EXPECT_EQ(r.out.rfind("kal_sim: ", 0), 0u) << r.out;
    }
    EXPECT_EQ(SimDevice::readFile(dev.statePath("config/119")), "100");

    EXPECT_EQ(kalSim(dev, "signal 2").status, 0);
    EXPECT_EQ(kalSim(dev, "roaming on").status, 0);
    s = status(dev);
    EXPECT_EQ(jsonInt(section(s, "wan"), "signalStrength"), 2);
    EXPECT_EQ(jsonInt(section(s, "wan"), "roaming"), 1);
    EXPECT_EQ(kalSim(dev, "registration off").status, 0);
    s = status(dev);
    EXPECT_NE(jsonInt(section(s, "wan"), "registerStatus"), 1);
    EXPECT_EQ(jsonInt(section(s, "wan"), "signalStrength"), 0);
    EXPECT_EQ(kalSim(dev, "registration on").status, 0);
    EXPECT_EQ(jsonInt(section(status(dev), "wan"), "registerStatus"), 1);
    EXPECT_EQ(kalSim(dev, "signal 6").status, 1);
    EXPECT_EQ(kalSim(dev, "roaming maybe").status, 1);
    // Members the controls do not own survive, as with an edit by hand.
    JsonPtr modem = parseJson(SimDevice::readFile(dev.statePath("mobile/modem.json")));
    EXPECT_EQ(jsonInt(modem.get(), "preferredMode"), 0);
    EXPECT_NE(cJSON_GetObjectItemCaseSensitive(modem.get(), "operators"), nullptr);
}

TEST(KalSim, LockedSimAppliesAtPowerOn)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    EXPECT_EQ(kalSim(dev, "sim pin-required 12ab").status, 1);
    EXPECT_EQ(kalSim(dev, "sim pin-required 123").status, 1);
    EXPECT_EQ(kalSim(dev, "sim pin-required").status, 1);
    EXPECT_EQ(kalSim(dev, "sim locked").status, 1);

    SimRun r = kalSim(dev, "sim pin-required 2468");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("power-on"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("power cycle"), std::string::npos) << r.out;
    EXPECT_EQ(modeOf(dev.statePath("mobile/sim.json")), 0600u);

    // Powered on with the card: it asks for its PIN, and takes 2468.
    dev.stop();
    ASSERT_TRUE(dev.start());
    EXPECT_EQ(jsonInt(section(status(dev), "wan"), "simStatus"), 2);
    JsonPtr unlock = dev.requestJson("{\"module\":\"simLock\",\"action\":4,\"pin\":\"2468\"}");
    EXPECT_EQ(jsonInt(unlock.get(), "result"), 0) << dev.serverOutput();
    EXPECT_EQ(jsonInt(section(status(dev), "wan"), "simStatus"), 1);

    EXPECT_EQ(kalSim(dev, "sim puk-required").status, 0);
    dev.stop();
    ASSERT_TRUE(dev.start());
    EXPECT_EQ(jsonInt(section(status(dev), "wan"), "simStatus"), 3);
    EXPECT_EQ(kalSim(dev, "sim absent").status, 0);
    EXPECT_EQ(jsonInt(section(status(dev), "wan"), "simStatus"), 0);
    EXPECT_EQ(kalSim(dev, "sim ready").status, 0);
    dev.stop();
    ASSERT_TRUE(dev.start());
    EXPECT_EQ(jsonInt(section(status(dev), "wan"), "simStatus"), 1);
}

TEST(KalSim, IncomingSmsAndStations)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    int unread = jsonInt(section(status(dev), "message"), "unreadMessages");
    SimRun r = kalSim(dev, "sms receive +15550100 'hello, ünïcode'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(jsonInt(section(status(dev), "message"), "unreadMessages"), unread + 1);
    std::string list = dev.request("{\"module\":\"message\",\"action\":0,\"box\":\"inbox\",\"page\":1,\"pageSize\":10}");
    EXPECT_NE(list.find("hello, ünïcode"), std::string::npos) << list;
    // The factory messages are still there.
    EXPECT_NE(list.find("Welcome to Kal Mobile."), std::string::npos) << list;
    EXPECT_EQ(modeOf(dev.statePath("mobile/sms.json")), 0600u);

    for (const char *bad : {"sms receive 555-0100 hi", "sms receive +1555010012345678901234 hi", "sms receive +1 ''",
                            "sms receive +1 \"$(printf 'bad\\377')\"", "sms receive +1 \"$(printf 'bell\\007')\"", "sms send +1 hi"}) {
        r = kalSim(dev, bad);
        EXPECT_EQ(r.status, 1) << bad << ": " << r.out;
        EXPECT_TRUE(oneLine(r.out)) << r.out;
    }
    EXPECT_EQ(kalSim(dev, "sms receive +1 " + std::string(641, 'x')).status, 1);
    EXPECT_EQ(kalSim(dev, "sms receive +1 " + std::string(640, 'x')).status, 0);
    EXPECT_EQ(jsonInt(section(status(dev), "message"), "unreadMessages"), unread + 2);

    EXPECT_EQ(jsonInt(section(status(dev), "connectedDevices"), "number"), 1);
    r = kalSim(dev, "station add 02:00:00:00:00:09 phone");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(jsonInt(section(status(dev), "connectedDevices"), "number"), 2);
    std::string stations = dev.request("{\"module\":\"connectedDevices\",\"action\":0}");
    EXPECT_NE(stations.find("phone"), std::string::npos) << stations;
    EXPECT_EQ(kalSim(dev, "station add 02-00-00-00-00-09 again").status, 1);  // same station
    EXPECT_EQ(kalSim(dev, "station add 02:00:00:00:00 x").status, 1);
    EXPECT_EQ(kalSim(dev, "station add 02:00:00:00:00:0g x").status, 1);
    EXPECT_EQ(kalSim(dev, "station remove 02:00:00:00:00:0A").status, 1);  // not connected
    EXPECT_EQ(kalSim(dev, "station remove 02:00:00:00:00:09").status, 0);
    EXPECT_EQ(jsonInt(section(status(dev), "connectedDevices"), "number"), 1);
    for (int i = 0; i < 15; i++) {
        char mac[32];
        snprintf(mac, sizeof(mac), "02:00:00:00:01:%02x", i);
        ASSERT_EQ(kalSim(dev, std::string("station add ") + mac).status, 0);
    }
    r = kalSim(dev, "station add 02:00:00:00:02:00");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(jsonInt(section(status(dev), "connectedDevices"), "number"), 16);
    EXPECT_EQ(kalSim(dev, "station clear").status, 0);
    EXPECT_EQ(jsonInt(section(status(dev), "connectedDevices"), "number"), 0);

    // A broken file is reported, not overwritten.
    ASSERT_TRUE(SimDevice::writeFile(dev.statePath("wlan/stations.json"), "[{"));
    r = kalSim(dev, "station add 02:00:00:00:00:09");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("fix or delete it"), std::string::npos) << r.out;
    EXPECT_EQ(SimDevice::readFile(dev.statePath("wlan/stations.json")), "[{");
}

TEST(KalSim, SdCardUpdateOfferWifiManagerAndShow)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    EXPECT_EQ(kalSim(dev, "sdcard out").status, 0);
    JsonPtr s = status(dev);
    EXPECT_EQ(jsonInt(section(s, "sdcard"), "status"), 0);
    EXPECT_EQ(jsonString(section(s, "sdcard"), "volume"), "");
    EXPECT_EQ(kalSim(dev, "sdcard out").status, 0);  // already out
    EXPECT_EQ(kalSim(dev, "sdcard in").status, 0);
    EXPECT_EQ(jsonInt(section(status(dev), "sdcard"), "status"), 1);

    EXPECT_EQ(kalSim(dev, "update offer 1.x").status, 1);
    EXPECT_EQ(kalSim(dev, "update offer 1..2").status, 1);
    SimRun r = kalSim(dev, "update offer 1.1.0 'Fixes the modem'");
    EXPECT_EQ(r.status, 0) << r.out;
    // The update module finds it, downloads it and the verifier accepts it.
    JsonPtr check = dev.requestUntil("{\"module\":\"update\",\"action\":1}",
                                     [](const cJSON *r) { return jsonInt(r, "hasNewVersion") == 1; }, 5000);
    EXPECT_EQ(jsonString(check.get(), "latestVersion"), "1.1.0");
    EXPECT_EQ(jsonString(check.get(), "releaseNote"), "Fixes the modem");
    EXPECT_EQ(jsonInt(dev.requestJson("{\"module\":\"update\",\"action\":2}").get(), "result"), 0);
    JsonPtr progress = dev.requestUntil("{\"module\":\"update\",\"action\":4}",
                                        [](const cJSON *r) { return jsonInt(r, "percentage") == 100; }, 10000);
    EXPECT_EQ(jsonInt(progress.get(), "percentage"), 100);
    EXPECT_EQ(jsonInt(progress.get(), "result"), 0) << "the verifier refused the offered package";
    EXPECT_EQ(kalSim(dev, "update none").status, 0);
    EXPECT_FALSE(SimDevice::exists(dev.statePath("upgrade/offer")));

    EXPECT_EQ(kalSim(dev, "wifi unreachable").status, 0);
    s = status(dev);
    EXPECT_EQ(cJSON_GetArraySize(section(s, "wlan")), 0);
    EXPECT_EQ(jsonInt(section(s, "connectedDevices"), "number"), 0);

    r = kalSim(dev, "show");
    EXPECT_EQ(r.status, 0);
    JsonPtr shown = parseJson(r.out);
    ASSERT_TRUE(shown != nullptr) << r.out;
    EXPECT_EQ(jsonString(shown.get(), "wifi"), "unreachable");
    EXPECT_EQ(jsonString(shown.get(), "sdcard"), "in");
    EXPECT_EQ(jsonInt(cJSON_GetObjectItemCaseSensitive(shown.get(), "battery"), "level"), 80);
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItemCaseSensitive(shown.get(), "update")));

    EXPECT_EQ(kalSim(dev, "wifi reachable").status, 0);
    EXPECT_EQ(jsonInt(section(status(dev), "connectedDevices"), "number"), 1);

    r = kalSim(dev, "teleport now");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(oneLine(r.out)) << r.out;
    // A long word is quoted cut at a character boundary, never inside one.
    std::string accents;
    for (int i = 0; i < 39; i++)
        accents += "\xc3\xa9";
    r = kalSim(dev, "'a" + accents + "'");
    EXPECT_EQ(r.status, 1);
    std::string cut = "a";
    for (int i = 0; i < 19; i++)
        cut += "\xc3\xa9";
    EXPECT_NE(r.out.find("\"" + cut + "\"\n"), std::string::npos) << r.out;
    EXPECT_EQ(kalSim(dev, "").status, 2);  // usage
}

TEST(KalSim, RefusesWithoutADevice)
{
    SimDevice dev;  // never started: no device state yet
    SimRun r = kalSim(dev, "battery 15");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("start kal_server once"), std::string::npos) << r.out;
    EXPECT_TRUE(oneLine(r.out)) << r.out;
    EXPECT_FALSE(SimDevice::exists(dev.statePath("config/119")));
    int status = 0;
    std::string out = commandOutput("env -u KAL_ROOT " KAL_SIM_BIN_PATH " battery 15 2>&1", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("KAL_ROOT is not set"), std::string::npos) << out;
}

}  // namespace
