// The wlan, macFilters, power_save and connectedDevices modules through the
// dispatcher, on the simulated Wi-Fi manager.
#include <gtest/gtest.h>

#include <string>

#include "platform/config_store.h"
#include "tests/support/inprocess.h"
#include "tests/support/test_support.h"

namespace {

const char kConf[] =
    "ssid=Home\nignore_broadcast_ssid=0\ncountry_code=DE\nband_type=0\nwireless_mode=5\n"
    "channel=6\nacs_mode=0\nmacaddr_acl=0\nht_capab=[HT40+]\nwpa=3\nwpa_key_mgmt=WPA-PSK\n"
    "wpa_pairwise=CCMP\nwpa_passphrase=homehome\n";
const char kOpenConf[] =
    "ssid=Open\nignore_broadcast_ssid=0\ncountry_code=DE\nchannel=6\nwpa=0\n";

std::string conf()
{
    return SimDevice::readFile(inProcessRoot() + "/app/config/hostapd.conf");
}

std::string zone()
{
    return SimDevice::readFile(inProcessRoot() + "/system/usr/share/zoneinfo/timezone");
}

std::string key(int k)
{
    char buf[64] = {0};
    return get_config_data(k, buf, sizeof(buf)) == 0 ? buf : "<missing>";
}

void reset(const char *text = kConf)
{
    ASSERT_TRUE(SimDevice::writeFile(inProcessRoot() + "/app/config/hostapd.conf", text));
    SimDevice::writeFile(inProcessRoot() + "/system/usr/share/zoneinfo/timezone", "UTC");
    SimDevice::writeFile(inProcessRoot() + "/sim/wlan/switch", "1");
}

JsonPtr call(const std::string &json)
{
    return parseJson(dispatchText(json));
}

JsonPtr wlanGet()
{
    return call("{\"module\":\"wlan\",\"action\":0}");
}

// A rejection answers the empty object and leaves the files as they were.
void expectRejected(const std::string &json)
{
    std::string before = conf();
    std::string tz = zone();
    EXPECT_EQ(dispatchText(json), "{\n}") << json;
    EXPECT_EQ(conf(), before) << json;
    EXPECT_EQ(zone(), tz) << json;
}

TEST(WlanModule, SsidAndKeyBounds)
{
    reset();
    std::string ok32(32, 'q');
    ok32[3] = ' ';
    ok32[7] = '"';
    JsonPtr r = call("{\"module\":\"wlan\",\"action\":1,\"ssid\":\"" + std::string(ok32).replace(7, 1, "\\\"") + "\"}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_EQ(jsonString(wlanGet().get(), "ssid"), ok32);

    expectRejected("{\"module\":\"wlan\",\"action\":1,\"ssid\":\"" + std::string(33, 'q') + "\"}");
    expectRejected("{\"module\":\"wlan\",\"action\":1,\"ssid\":\"\"}");
    expectRejected("{\"module\":\"wlan\",\"action\":1,\"ssid\":\"a\\tb\"}");
    expectRejected("{\"module\":\"wlan\",\"action\":1,\"ssid\":\"caf\xc3\xa9\"}");
    expectRejected("{\"module\":\"wlan\",\"action\":1,\"ssid\":\"a\\nb\"}");

    std::string hex64 = "0123456789abcdefABCDEF0123456789abcdefABCDEF0123456789abcdef0123";
    std::string bad64 = hex64.substr(0, 63) + "g";
    expectRejected("{\"module\":\"wlan\",\"action\":1,\"mixed\":{\"key\":\"" + bad64 + "\"}}");
    expectRejected("{\"module\":\"wlan\",\"action\":1,\"mixed\":{\"key\":\"short12\"}}");
    expectRejected("{\"module\":\"wlan\",\"action\":1,\"mixed\":{\"key\":\"" + hex64 + "0\"}}");
    expectRejected("{\"module\":\"wlan\",\"action\":1,\"mixed\":{\"mode\":4}}");
    expectRejected("{\"module\":\"wlan\",\"action\":1,\"mixed\":{\"mode\":-1}}");
    // 3, automatic, as a read may answer it, is taken as "mixed" without
    // a mode is.
    r = call("{\"module\":\"wlan\",\"action\":1,\"mixed\":{}}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    std::string automatic = conf();
    r = call("{\"module\":\"wlan\",\"action\":1,\"mixed\":{\"mode\":3}}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_EQ(conf(), automatic);

    r = call("{\"module\":\"wlan\",\"action\":1,\"mixed\":{\"mode\":0,\"key\":\"" + bad64.substr(0, 63) + "\"}}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_NE(conf().find("wpa_passphrase=" + bad64.substr(0, 63) + "\n"), std::string::npos);
    EXPECT_NE(conf().find("wpa_pairwise=TKIP\n"), std::string::npos);
    r = call("{\"module\":\"wlan\",\"action\":1,\"mixed\":{\"mode\":2,\"key\":\"" + hex64 + "\"}}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_NE(conf().find("wpa_psk=" + hex64 + "\n"), std::string::npos);
    JsonPtr g = wlanGet();
    EXPECT_EQ(jsonString(cJSON_GetObjectItem(g.get(), "mixed"), "key"), hex64);
    EXPECT_EQ(jsonInt(cJSON_GetObjectItem(g.get(), "mixed"), "mode"), 2);
}

TEST(WlanModule, SecuritySwitching)
{
    // Open to secured needs a usable key.
    reset(kOpenConf);
    expectRejected("{\"module\":\"wlan\",\"action\":1,\"securityMode\":1}");
    expectRejected("{\"module\":\"wlan\",\"action\":1,\"securityMode\":1,\"mixed\":{\"mode\":2}}");
    JsonPtr r = call("{\"module\":\"wlan\",\"action\":1,\"securityMode\":1,\"mixed\":{\"mode\":2,\"key\":\"goodpass\"}}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_NE(conf().find("wpa=3\n"), std::string::npos);

    // Back to open ignores an invalid "mixed" and clears the key.
    r = call("{\"module\":\"wlan\",\"action\":1,\"securityMode\":0,\"mixed\":{\"mode\":9,\"key\":\"x\"}}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    JsonPtr g = wlanGet();
    EXPECT_EQ(jsonInt(g.get(), "securityMode"), 0);
    EXPECT_EQ(jsonString(cJSON_GetObjectItem(g.get(), "mixed"), "key"), "");
    EXPECT_NE(conf().find("wpa=0\n"), std::string::npos);
}

// What a read answers can be sent back as it is: the automatic cipher 3
// included. Regions are upper-case codes only, so that nothing but a code a
// country table can hold reaches the access point's configuration.
TEST(WlanModule, ReadBackIsAcceptedAndRegionsAreCodes)
{
    // A cipher the settings do not name reads as 3, automatic.
    std::string other = kConf;
    reset(other.replace(other.find("wpa_pairwise=CCMP"), 17, "wpa_pairwise=GCMP").c_str());
    JsonPtr g = wlanGet();
    ASSERT_EQ(jsonInt(cJSON_GetObjectItem(g.get(), "mixed"), "mode"), 3);
    cJSON_DeleteItemFromObject(g.get(), "result");
    char *back = cJSON_PrintUnformatted(g.get());
    std::string sent = std::string("{\"module\":\"wlan\",\"action\":1,") + (back + 1);
    cJSON_free(back);
    JsonPtr r = call(sent);
    EXPECT_EQ(jsonInt(r.get(), "result"), 0) << sent;
    EXPECT_NE(conf().find("wpa_pairwise=GCMP\n"), std::string::npos) << "automatic keeps the configured cipher";

    for (const char *region : {"undefined", "jp", "Jp", "J", "", "J1", "\u00c9U", "NONE "})
        expectRejected(std::string("{\"module\":\"wlan\",\"action\":1,\"region\":\"") + region + "\"}");
    EXPECT_NE(conf().find("country_code=DE\n"), std::string::npos);
}

TEST(WlanModule, RegionBandChannelAndFlags)
{
    reset();
    // A rejected request with a region leaves the time zone alone.
    expectRejected("{\"module\":\"wlan\",\"action\":1,\"region\":\"JP\",\"ssid\":\"\"}");

    JsonPtr r = call("{\"module\":\"wlan\",\"action\":1,\"region\":\"JP\",\"ssidBcast\":1}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_EQ(zone(), "Asia/Tokyo");
    EXPECT_EQ(key(WLAN_FACTORY_FLAG), "0");
    EXPECT_EQ(key(WLAN_IS_ACL_CHANGED), "0");
    JsonPtr g = wlanGet();
    EXPECT_EQ(jsonString(g.get(), "region"), "JP");
    EXPECT_EQ(jsonInt(g.get(), "channel"), 0) << "a new region selects the channel automatically";
    EXPECT_FALSE(cJSON_IsTrue(cJSON_GetObjectItem(g.get(), "ssidBcast"))) << "1 is not true";

    // Unknown two-letter code: stored, no time zone; three letters store two.
    r = call("{\"module\":\"wlan\",\"action\":1,\"region\":\"QQ\",\"channel\":6}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_EQ(zone(), "Asia/Tokyo");
    r = call("{\"module\":\"wlan\",\"action\":1,\"region\":\"FRX\",\"channel\":6}");
    EXPECT_EQ(zone(), "Asia/Tokyo");
    EXPECT_EQ(jsonString(wlanGet().get(), "region"), "FR");

    // "NONE" keeps the region and sets the factory flag; a "UN" product then
    // reports "NONE".
    ASSERT_EQ(set_config_data_permanent(PI_PRODUCT_REGION, "UN", 2), 0);
    r = call("{\"module\":\"wlan\",\"action\":1,\"region\":\"NONE\"}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_EQ(key(WLAN_FACTORY_FLAG), "1");
    EXPECT_NE(conf().find("country_code=FR\n"), std::string::npos);
    g = wlanGet();
    EXPECT_EQ(jsonString(g.get(), "region"), "NONE");
    EXPECT_EQ(jsonInt(g.get(), "channel"), 6);
    ASSERT_EQ(set_config_data_permanent(MOBILE_STAT_REGION, "JP", 2), 0);
    EXPECT_EQ(jsonString(wlanGet().get(), "expectRegion"), "JP");
    ASSERT_EQ(set_config_data_permanent(MOBILE_STAT_REGION, "null", 4), 0);
    EXPECT_EQ(jsonString(wlanGet().get(), "expectRegion"), "");

    // Band changes pick automatic channel and the mixed mode of the band.
    r = call("{\"module\":\"wlan\",\"action\":1,\"bandType\":1}");
    g = wlanGet();
    EXPECT_EQ(jsonInt(g.get(), "channel"), 0);
    EXPECT_EQ(jsonInt(g.get(), "wirelessMode"), 6);
    r = call("{\"module\":\"wlan\",\"action\":1,\"bandType\":0,\"channel\":165}");
    g = wlanGet();
    EXPECT_EQ(jsonInt(g.get(), "wirelessMode"), 5);
    EXPECT_EQ(conf().find("[HT40"), std::string::npos) << "channel 165 is 20 MHz";
    r = call("{\"module\":\"wlan\",\"action\":1,\"wirelessMode\":2,\"apIsolation\":true}");
    r = call("{\"module\":\"wlan\",\"action\":1,\"bandType\":0}");
    g = wlanGet();
    EXPECT_EQ(jsonInt(g.get(), "wirelessMode"), 2) << "the same band changes nothing";
    EXPECT_EQ(jsonInt(g.get(), "channel"), 165);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(g.get(), "apIsolation")));

    r = call("{\"module\":\"wlan\",\"action\":7}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 1);
    EXPECT_EQ(cJSON_GetArraySize(r.get()), 1);
}

TEST(MacFiltersModule, DenyListRulesAndBounds)
{
    reset();
    SimDevice::writeFile(inProcessRoot() + "/sim/wlan/client_mac", "");
    JsonPtr g = call("{\"module\":\"macFilters\",\"action\":0}");
    EXPECT_FALSE(cJSON_IsTrue(cJSON_GetObjectItem(g.get(), "enable")));
    EXPECT_EQ(jsonInt(g.get(), "mode"), 1);
    EXPECT_EQ(cJSON_GetObjectItem(g.get(), "clientMac"), nullptr);
    EXPECT_EQ(cJSON_GetObjectItem(g.get(), "denyList"), nullptr);

    JsonPtr r = call("{\"module\":\"macFilters\",\"action\":1,\"enable\":true,\"denyList\":["
                     "{\"mac\":\"aA-bB-cC-dD-eE-fF\",\"description\":\"" + std::string(40, 'd') + "\"},"
                     "{\"mac\":\"00:11:22:33:44:55\",\"description\":\"" + std::string(31, 'x') + "\xc3\xa9\"}]}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_EQ(key(WLAN_IS_ACL_CHANGED), "1");
    SimDevice::writeFile(inProcessRoot() + "/sim/wlan/client_mac", "02:aa:bb:cc:dd:ee");
    g = call("{\"module\":\"macFilters\",\"action\":0}");
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(g.get(), "enable")));
    EXPECT_EQ(jsonString(g.get(), "clientMac"), "02:aa:bb:cc:dd:ee");
    cJSON *list = cJSON_GetObjectItem(g.get(), "denyList");
    ASSERT_EQ(cJSON_GetArraySize(list), 2);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(list, 0), "mac"), "aA:bB:cC:dD:eE:fF");
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(list, 0), "description"), std::string(32, 'd'));
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(list, 1), "description"), std::string(31, 'x'));

    // Bad addresses, a missing one and one entry too many are rejected whole.
    std::string bad[] = {"00:11:22-33:44:55", "00:11:22:33:44:5", "00:11:22:33:44:555", "00:11:22:33:44:5g"};
    for (const std::string &mac : bad)
        expectRejected("{\"module\":\"macFilters\",\"action\":1,\"denyList\":[{\"mac\":\"00:00:00:00:00:01\"},"
                       "{\"mac\":\"" + mac + "\"}]}");
    expectRejected("{\"module\":\"macFilters\",\"action\":1,\"denyList\":[{\"description\":\"no mac\"}]}");
    expectRejected("{\"module\":\"macFilters\",\"action\":1,\"denyList\":[{\"mac\":5}]}");
    expectRejected("{\"module\":\"macFilters\",\"action\":1,\"denyList\":{\"mac\":\"00:00:00:00:00:01\"}}");
    auto listOf = [](int n) {
        std::string s = "{\"module\":\"macFilters\",\"action\":1,\"enable\":true,\"denyList\":[";
        for (int i = 0; i < n; i++) {
            char mac[32];
            snprintf(mac, sizeof(mac), "02:00:00:00:%02x:%02x", i / 256, i % 256);
            s += std::string(i ? "," : "") + "{\"mac\":\"" + mac + "\",\"description\":\"" +
                 std::string(32, 'w') + "\"}";
        }
        return s + "]}";
    };
    expectRejected(listOf(65));
    r = call(listOf(64));
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    std::string reply = dispatchText("{\"module\":\"macFilters\",\"action\":0}");
    EXPECT_LT(reply.size(), 40960u);
    g = parseJson(reply);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(g.get(), "denyList")), 64);

    // Mode other than 1 stores nothing; no list empties it.
    std::string before = conf();
    r = call("{\"module\":\"macFilters\",\"action\":1,\"mode\":0,\"enable\":false}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_EQ(conf(), before);
    r = call("{\"module\":\"macFilters\",\"action\":1,\"enable\":false}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_EQ(conf().find("deny_mac="), std::string::npos);
    EXPECT_NE(conf().find("macaddr_acl=0\n"), std::string::npos);
    EXPECT_EQ(jsonInt(call("{\"module\":\"macFilters\",\"action\":2}").get(), "result"), 1);
}

// The main log lines one request adds.
std::string loggedBy(const std::string &json)
{
    std::string path = inProcessRoot() + "/sim/log/main";
    size_t before = SimDevice::readFile(path).size();
    dispatchText(json);
    std::string after = SimDevice::readFile(path);
    // A rotation starts the buffer anew.
    return after.size() >= before ? after.substr(before) : after;
}

// One line says why a set was refused, about the first member that broke
// its rules: element by element, each element's address before its
// description.
TEST(MacFiltersModule, RefusalSaysWhich)
{
    reset();
    const std::string set = "{\"module\":\"macFilters\",\"action\":1,";
    const struct {
        std::string members;
        const char *line;
    } cases[] = {
        {"\"mode\":3e9}", "MAC filters: mode out of range!!\n"},
        {"\"mode\":true,\"denyList\":5}", "MAC filters: denyList is not an array!!\n"},
        {"\"denyList\":null}", "MAC filters: denyList is not an array!!\n"},
        {"\"denyList\":[{\"mac\":\"02:00:00:00:00:01\"},{\"mac\":\"bad one\",\"description\":\"\xff\"}]}",
         "MAC address[index:1]:bad one invalid!!\n"},
        {"\"denyList\":[{\"mac\":\"02:00:00:00:00:01\",\"description\":\"\xff\"},{\"mac\":\"bad\"}]}",
         "MAC description[index:0] is not UTF-8!!\n"},
        {"\"denyList\":[{\"mac\":\"02:00:00:00:00:01\",\"description\":7},{\"mac\":7}]}",
         "MAC address[index:1]: invalid!!\n"},
        {"\"denyList\":[{\"mac\":\"02:00:00:00:00:01\"},null]}", "MAC address[index:1]: invalid!!\n"},
        {"\"denyList\":[{\"mac\":\"02:00:00:00:00:0\xff\"}]}", "MAC address[index:0]:02:00:00:00:00:0\xff invalid!!\n"},
    };
    for (const auto &c : cases) {
        std::string log = loggedBy(set + c.members);
        EXPECT_NE(log.find(c.line), std::string::npos) << c.members << "\n" << log;
        size_t first = log.find("MAC ");
        EXPECT_EQ(log.find("MAC ", first + 1), std::string::npos) << "one line only\n" << log;
    }
    std::string many = set + "\"denyList\":[";
    for (int i = 0; i < 70; i++)
        many += std::string(i ? "," : "") + "{\"mac\":\"x\"}";
    std::string log = loggedBy(many + "]}");
    EXPECT_NE(log.find("MAC filters: 70 entries, at most 64 allowed!!\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("MAC address"), std::string::npos) << log;
}

TEST(PowerSaveModule, Transitions)
{
    reset();
    auto set = [](int k, const char *v) { set_config_data_permanent(k, v, (int)strlen(v)); };
    set(WLAN_POWER_SAVE_STATUS, "0");
    set(WLAN_POWER_LEVEL_USER, "0");
    set(WLAN_DISABLE_TIME_USER, "0");
    SimDevice::writeFile(inProcessRoot() + "/sim/wlan/auto_down_time", "0");
    JsonPtr r = call("{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":0,\"autoDisableTime\":30}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_EQ(key(WLAN_POWER_SAVE_STATUS), "1");
    EXPECT_EQ(key(WLAN_DISABLE_TIME), "30");
    EXPECT_EQ(SimDevice::readFile(inProcessRoot() + "/sim/wlan/auto_down_time"), "30");

    r = call("{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":2,\"autoDisableTime\":45}");
    EXPECT_EQ(key(WLAN_POWER_LEVEL), "2");
    EXPECT_EQ(key(WLAN_POWER_LEVEL_USER), "2");
    EXPECT_EQ(key(WLAN_DISABLE_TIME_USER), "45");
    EXPECT_EQ(SimDevice::readFile(inProcessRoot() + "/sim/wlan/auto_down_time"), "30") << "restart, no timer";

    r = call("{\"module\":\"power_save\",\"action\":1,\"enable\":0}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_EQ(key(WLAN_POWER_SAVE_STATUS), "0");
    EXPECT_EQ(key(WLAN_POWER_LEVEL), "0");
    EXPECT_EQ(key(WLAN_DISABLE_TIME), "0");
    JsonPtr g = call("{\"module\":\"power_save\",\"action\":0}");
    EXPECT_EQ(jsonInt(g.get(), "enable"), 0);
    EXPECT_EQ(jsonInt(g.get(), "powerLevel"), 2);
    EXPECT_EQ(jsonInt(g.get(), "autoDisableTime"), 45);
    EXPECT_EQ(jsonInt(g.get(), "wlanOnOff"), 1);

    // No transition: nothing written.
    for (const char *req : {"{\"module\":\"power_save\",\"action\":1,\"enable\":0,\"powerLevel\":5}",
                            "{\"module\":\"power_save\",\"action\":1,\"enable\":2,\"powerLevel\":5}"}) {
        r = call(req);
        EXPECT_EQ(jsonInt(r.get(), "result"), 0);
        EXPECT_EQ(key(WLAN_POWER_LEVEL_USER), "2");
    }
    // Wi-Fi off: keys change, the manager is not told.
    SimDevice::writeFile(inProcessRoot() + "/sim/wlan/switch", "0");
    r = call("{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"autoDisableTime\":7}");
    EXPECT_EQ(key(WLAN_POWER_LEVEL), "0");
    EXPECT_EQ(key(WLAN_DISABLE_TIME), "7");
    EXPECT_EQ(SimDevice::readFile(inProcessRoot() + "/sim/wlan/auto_down_time"), "30");
    EXPECT_EQ(jsonInt(call("{\"module\":\"power_save\",\"action\":0}").get(), "wlanOnOff"), 0);
    EXPECT_EQ(jsonInt(call("{\"module\":\"power_save\",\"action\":3}").get(), "result"), 1);
}

// The missing level is noted exactly when "powerLevel" is absent, whatever
// the type of a level sent.
TEST(PowerSaveModule, AbsentLevelIsNoted)
{
    reset();
    const char *noted = "KEY_PWRLVL in json is NULL!";
    const std::string set = "{\"module\":\"power_save\",\"action\":1,\"enable\":0";
    EXPECT_NE(loggedBy(set + "}").find(noted), std::string::npos);
    EXPECT_NE(loggedBy(set + ",\"level\":1}").find(noted), std::string::npos);
    for (const char *level : {"2", "null", "\"3\"", "true", "[]", "{}"}) {
        std::string log = loggedBy(set + ",\"powerLevel\":" + level + "}");
        EXPECT_NE(log.find("To set power save config..."), std::string::npos) << level;
        EXPECT_EQ(log.find(noted), std::string::npos) << level;
    }
    EXPECT_EQ(loggedBy(set + ",\"PowerLevel\":1}").find(noted), std::string::npos);
    EXPECT_EQ(loggedBy(set + ",\"powerLevel\":1e20}").find(noted), std::string::npos);
}

TEST(ConnectedDevicesModule, StationListShapes)
{
    std::string stations = inProcessRoot() + "/sim/wlan/stations.json";
    ASSERT_TRUE(SimDevice::writeFile(stations, "[]"));
    JsonPtr r = call("{\"module\":\"connectedDevices\",\"action\":0}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_TRUE(cJSON_IsArray(cJSON_GetObjectItem(r.get(), "STAs")));
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(r.get(), "STAs")), 0);

    ASSERT_TRUE(SimDevice::writeFile(stations, ""));
    EXPECT_EQ(dispatchText("{\"module\":\"connectedDevices\",\"action\":0}"), "{\n\t\"result\":\t1\n}");

    // A list longer than the 1600-byte buffer keeps its first stations.
    std::string big = "[";
    for (int i = 0; i < 40; i++)
        big += std::string(i ? "," : "") + "{\"mac\":\"02:00:00:00:00:" + (i < 10 ? "0" : "") +
               std::to_string(i) + "\",\"hostname\":\"device-number-" + std::to_string(i) + "\"}";
    big += "]";
    ASSERT_TRUE(SimDevice::writeFile(stations, big));
    r = call("{\"module\":\"connectedDevices\",\"action\":0}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    cJSON *list = cJSON_GetObjectItem(r.get(), "STAs");
    EXPECT_GT(cJSON_GetArraySize(list), 10);
    EXPECT_LT(cJSON_GetArraySize(list), 40);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(list, 0), "hostname"), "device-number-0");

    EXPECT_EQ(dispatchText("{\"module\":\"connectedDevices\",\"action\":1}"), "{\n\t\"result\":\t1\n}");
}

}  // namespace
