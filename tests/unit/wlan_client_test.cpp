// Wi-Fi manager record layout, the translations to and from wlan_setting,
// and the simulated manager's file round trip.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "common/text.h"
#include "modules/wlan/wlan_client.h"
#include "modules/wlan/wlan_regions.h"
#include "platform/wlan_manager.h"
#include "tests/support/inprocess.h"
#include "tests/support/test_support.h"

namespace {

const char kBaseConf[] =
    "ssid=Base\n"
    "ignore_broadcast_ssid=0\n"
    "country_code=DE\n"
    "band_type=0\n"
    "wireless_mode=5\n"
    "channel=6\n"
    "acs_mode=0\n"
    "macaddr_acl=0\n"
    "ht_capab=[SHORT-GI-20]\n"
    "wpa=3\n"
    "wpa_key_mgmt=WPA-PSK\n"
    "wpa_pairwise=CCMP\n"
    "wpa_passphrase=basebase\n";

std::string confPath()
{
    return inProcessRoot() + "/app/config/hostapd.conf";
}

void resetManager(const std::string &conf = kBaseConf)
{
    ASSERT_TRUE(SimDevice::writeFile(confPath(), conf));
    SimDevice::writeFile(inProcessRoot() + "/sim/wlan/warn_launch", "1");
    SimDevice::writeFile(inProcessRoot() + "/sim/wlan/export_product", "0");
    SimDevice::writeFile(inProcessRoot() + "/sim/wlan/sec_status", "9");
}

std::string secStatus()
{
    return SimDevice::readFile(inProcessRoot() + "/sim/wlan/sec_status");
}

// Loads the record the manager is running with.
wlan_mgr_config *runningRecord()
{
    wlan_mgr_config *rec = nullptr;
    wlan_mgr_get_config(&rec, confPath().c_str());
    return rec;
}

std::string text(const wlan_mgr_config *rec, int offset)
{
    return std::string(reinterpret_cast<const char *>(rec) + offset);
}

TEST(WlanRecord, FieldsSitAtTheirOffsetsLittleEndian)
{
    resetManager(
        "ssid=Net\nignore_broadcast_ssid=1\ncountry_code=JP\nwireless_mode=6\nchannel=11\n"
        "acs_mode=0\nband_type=1\nmacaddr_acl=3\nht_capab=[HT40-]\nwpa=3\nwpa_key_mgmt=WPA-PSK\n"
        "wpa_pairwise=CCMP TKIP\nwpa_psk=\nwpa_passphrase=secret12\nwps_state=2\neap_server=1\n"
        "ap_isolate=1\ndeny_mac=00:11:22:33:44:55 tv\n");
    wlan_mgr_config *rec = runningRecord();
    ASSERT_NE(rec, nullptr);
    const unsigned char *b = reinterpret_cast<const unsigned char *>(rec);
    EXPECT_EQ(text(rec, 0), "Net");
    EXPECT_EQ(b[36], 1);
    EXPECT_EQ(text(rec, 40), "JP");
    EXPECT_EQ(b[44], 6);
    EXPECT_EQ(b[48], 11);
    EXPECT_EQ(b[56], 1);
    EXPECT_EQ(b[60], 3);
    EXPECT_EQ(b[136], 1);  // one filter entry
    EXPECT_NE(wmcGetInt(rec, 132), 0);
    EXPECT_EQ(text(rec, 148), "[HT40-]");
    EXPECT_EQ(b[220], 3);
    EXPECT_EQ(text(rec, 224), "WPA-PSK");
    EXPECT_EQ(text(rec, 257), "CCMP TKIP");
    EXPECT_EQ(text(rec, 290), "");
    EXPECT_EQ(text(rec, 355), "secret12");
    EXPECT_EQ(b[420], 2);
    EXPECT_EQ(b[424], 1);
    EXPECT_EQ(b[428], 1);
    wlan_mac_entry *list = wmcGetAclList(rec);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list[0].mac, "00:11:22:33:44:55");
    EXPECT_STREQ(list[0].description, "tv");
    // On a 32-bit target, as on the device, the field at 132 is the list
    // pointer itself.
    if (sizeof(void *) == 4) {
        uint32_t field = 0;
        memcpy(&field, b + WMC_MAC_ACL_LIST, sizeof(field));
        EXPECT_EQ(field, (uint32_t)(uintptr_t)list);
    }

    // Integers are stored little-endian, and wider values keep every byte.
    wmcSetInt(rec, WMC_CHANNEL, 0x01020304);
    EXPECT_EQ(b[48], 0x04);
    EXPECT_EQ(b[51], 0x01);
    wmcSetInt(rec, WMC_CHANNEL, -2);
    EXPECT_EQ(wmcGetInt(rec, WMC_CHANNEL), -2);
    // A text field is cut to its size and never runs into the next field.
    wmcSetText(rec, WMC_COUNTRY_CODE, WMC_COUNTRY_CODE_SIZE, "ABCDEFG");
    EXPECT_EQ(text(rec, 40), "ABC");
    EXPECT_EQ(b[44], 6);
    wlan_mgr_free_config(&rec);
    EXPECT_EQ(rec, nullptr);
    wlan_mgr_free_config(&rec);  // a null record is accepted
}

TEST(WlanRecord, LoadTranslatesChannelCipherAndKey)
{
    resetManager(std::string(kBaseConf) + "acs_mode=4\nwpa_pairwise=TKIP CCMP\n");
    ASSERT_EQ(receive_wlan_setting(), 0);
    EXPECT_STREQ(wlan_setting.ssid, "Base");
    EXPECT_EQ(wlan_setting.ssid_broadcast, 1);
    EXPECT_STREQ(wlan_setting.region, "DE");
    EXPECT_EQ(wlan_setting.channel, 0);  // automatic selection loads as 0
    EXPECT_EQ(wlan_setting.ht40, 0);
    EXPECT_EQ(wlan_setting.encryption, WLAN_CIPHER_AUTO);
    EXPECT_STREQ(wlan_setting.key, "basebase");
    EXPECT_EQ(wlan_setting.mac_acl_list, nullptr);
    EXPECT_EQ(wlan_setting.mac_acl_count, 0);

    // Saving code 3 keeps the running cipher text; channel 0 saves as ACS 2.
    wlan_setting.ht40 = 1;
    ASSERT_EQ(set_wlan_config(), 0);
    std::string conf = SimDevice::readFile(confPath());
    EXPECT_NE(conf.find("wpa_pairwise=TKIP CCMP\n"), std::string::npos) << conf;
    EXPECT_NE(conf.find("acs_mode=2\n"), std::string::npos);
    EXPECT_NE(conf.find("channel=0\n"), std::string::npos);
    EXPECT_NE(conf.find("[HT40"), std::string::npos) << "automatic channel saves at 40 MHz";
    EXPECT_NE(conf.find("wps_state=0\n"), std::string::npos);
    EXPECT_EQ(conf.find("deny_mac="), std::string::npos);

    for (auto c : {std::make_pair("TKIP", 0), std::make_pair("CCMP TKIP", 1), std::make_pair("CCMP", 2),
                   std::make_pair("", 3), std::make_pair("ccmp", 3)}) {
        resetManager(std::string(kBaseConf) + "wpa_pairwise=" + c.first + "\n");
        ASSERT_EQ(receive_wlan_setting(), 0);
        EXPECT_EQ(wlan_setting.encryption, c.second) << c.first;
    }

    // A pre-shared key wins over a passphrase on load.
    std::string psk(64, 'a');
    resetManager(std::string(kBaseConf) + "wpa_psk=" + psk + "\n");
    ASSERT_EQ(receive_wlan_setting(), 0);
    EXPECT_EQ(std::string(wlan_setting.key), psk);
}

TEST(WlanRecord, SaveWritesKeyWidthAndSecurityStatus)
{
    resetManager();
    ASSERT_EQ(receive_wlan_setting(), 0);
    std::string psk = "0123456789abcdefABCDEF0123456789abcdefABCDEF0123456789abcdef0123";
    copyText(wlan_setting.key, psk.c_str(), sizeof(wlan_setting.key));
    wlan_setting.encryption = WLAN_CIPHER_TKIP;
    wlan_setting.channel = 14;
    copyText(wlan_setting.region, "JP", sizeof(wlan_setting.region));
    wlan_setting.ht40 = 1;
    ASSERT_EQ(set_wlan_config(), 0);
    wlan_mgr_config *rec = runningRecord();
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(text(rec, WMC_WPA_PSK), psk);
    EXPECT_EQ(text(rec, WMC_WPA_PASSPHRASE), "");
    EXPECT_EQ(text(rec, WMC_WPA_PAIRWISE), "TKIP");
    EXPECT_EQ(text(rec, WMC_HT_CAPAB).find("[HT40"), std::string::npos) << "JP channel 14 is 20 MHz";
    EXPECT_EQ(wmcGetInt(rec, WMC_ACS_MODE), 0);
    wlan_mgr_free_config(&rec);
    EXPECT_EQ(secStatus(), "1");

    // 63 characters are a passphrase.
    copyText(wlan_setting.key, psk.substr(0, 63).c_str(), sizeof(wlan_setting.key));
    wlan_setting.channel = 6;
    ASSERT_EQ(set_wlan_config(), 0);
    rec = runningRecord();
    EXPECT_EQ(text(rec, WMC_WPA_PASSPHRASE), psk.substr(0, 63));
    EXPECT_EQ(text(rec, WMC_WPA_PSK), "");
    EXPECT_NE(text(rec, WMC_HT_CAPAB).find("[HT40"), std::string::npos);
    wlan_mgr_free_config(&rec);

    // Open network without the warning feature: no status call.
    SimDevice::writeFile(inProcessRoot() + "/sim/wlan/warn_launch", "0");
    wlan_setting.security_mode = 0;
    ASSERT_EQ(set_wlan_config(), 0);
    EXPECT_EQ(secStatus(), "1");
    rec = runningRecord();
    EXPECT_EQ(wmcGetInt(rec, WMC_WPA), 0);
    EXPECT_EQ(text(rec, WMC_WPA_KEY_MGMT), "");
    EXPECT_EQ(text(rec, WMC_WPA_PASSPHRASE), "");
    wlan_mgr_free_config(&rec);

    // Automatic cipher over an empty one: export products get the mixed pair
    // without a status call, others CCMP with status 3.
    SimDevice::writeFile(inProcessRoot() + "/sim/wlan/warn_launch", "1");
    wlan_setting.security_mode = 1;
    wlan_setting.encryption = WLAN_CIPHER_AUTO;
    SimDevice::writeFile(inProcessRoot() + "/sim/wlan/export_product", "1");
    ASSERT_EQ(set_wlan_config(), 0);
    rec = runningRecord();
    EXPECT_EQ(text(rec, WMC_WPA_PAIRWISE), "CCMP TKIP");
    wlan_mgr_free_config(&rec);
    EXPECT_EQ(secStatus(), "1");
    resetManager(std::string(kBaseConf) + "wpa_pairwise=\n");
    ASSERT_EQ(receive_wlan_setting(), 0);
    ASSERT_EQ(set_wlan_config(), 0);
    rec = runningRecord();
    EXPECT_EQ(text(rec, WMC_WPA_PAIRWISE), "CCMP");
    wlan_mgr_free_config(&rec);
    EXPECT_EQ(secStatus(), "3");
}

TEST(WlanRecord, FullMacListAndHostileTextsRoundTrip)
{
    resetManager();
    ASSERT_EQ(receive_wlan_setting(), 0);
    // The network name comes back exactly, whatever the shell would make of it.
    const char *ssid = "a\"b'c;$(reboot)`x`\\ #=";
    copyText(wlan_setting.ssid, ssid, sizeof(wlan_setting.ssid));
    int n = WLAN_MAC_ACL_MAX;
    wlan_setting.mac_acl_list = (wlan_mac_entry *)calloc((size_t)n, sizeof(wlan_mac_entry));
    wlan_setting.mac_acl_count = n;
    wlan_setting.mac_acl_enable = WLAN_MAC_ACL_ON;
    std::string descriptions[3] = {"line\nbreak %41 tab\t", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac", std::string(32, 'z')};
    for (int i = 0; i < n; i++) {
        char mac[32];
        snprintf(mac, sizeof(mac), "02:00:00:00:%02x:%02X", i / 256, i % 256);
        copyText(wlan_setting.mac_acl_list[i].mac, mac, 18);
        copyText(wlan_setting.mac_acl_list[i].description, descriptions[i % 3].c_str(), 33);
    }
    ASSERT_EQ(set_wlan_config(), 0);
    std::string conf = SimDevice::readFile(confPath());
    EXPECT_NE(conf.find("macaddr_acl=3\n"), std::string::npos);
    clearWlanSetting();

    ASSERT_EQ(receive_wlan_setting(), 0);
    EXPECT_STREQ(wlan_setting.ssid, ssid);
    EXPECT_EQ(wlan_setting.mac_acl_enable, WLAN_MAC_ACL_ON);
    ASSERT_EQ(wlan_setting.mac_acl_count, n);
    for (int i = 0; i < n; i++) {
        char mac[32];
        snprintf(mac, sizeof(mac), "02:00:00:00:%02x:%02X", i / 256, i % 256);
        EXPECT_STREQ(wlan_setting.mac_acl_list[i].mac, mac);
        EXPECT_EQ(std::string(wlan_setting.mac_acl_list[i].description), descriptions[i % 3]) << i;
    }

    // A name with a control byte cannot break the file either.
    copyText(wlan_setting.ssid, "two\nlines", sizeof(wlan_setting.ssid));
    ASSERT_EQ(set_wlan_config(), 0);
    ASSERT_EQ(receive_wlan_setting(), 0);
    EXPECT_STREQ(wlan_setting.ssid, "two\nlines");
    EXPECT_EQ(wlan_setting.mac_acl_count, n);

    // Switching filtering off saves mode 0; an empty list saves no list.
    wlan_setting.mac_acl_enable = 0;
    free(wlan_setting.mac_acl_list);
    wlan_setting.mac_acl_list = nullptr;
    wlan_setting.mac_acl_count = 0;
    ASSERT_EQ(set_wlan_config(), 0);
    wlan_mgr_config *rec = runningRecord();
    EXPECT_EQ(wmcGetInt(rec, WMC_MAC_ACL_MODE), 0);
    EXPECT_EQ(wmcGetInt(rec, WMC_MAC_ACL_COUNT), 0);
    EXPECT_EQ(wmcGetAclList(rec), nullptr);
    wlan_mgr_free_config(&rec);
}

TEST(WlanRecord, ManagerUnreachableFailsEveryOperation)
{
    resetManager();
    std::string flag = inProcessRoot() + "/sim/wlan/unreachable";
    ASSERT_TRUE(SimDevice::writeFile(flag, ""));
    char buf[64] = {0};
    int size = sizeof(buf);
    int state = 0;
    EXPECT_EQ(receive_wlan_setting(), 1);
    EXPECT_EQ(set_wlan_config(), 1);
    EXPECT_EQ(getOnlineStationList(buf, &size), 1);
    EXPECT_EQ(getClientMac(buf, &size), 1);
    EXPECT_EQ(getWlanSwitch(&state), 1);
    EXPECT_EQ(restartWlan(), 1);
    EXPECT_EQ(setDisableTimer(5), 1);
    EXPECT_EQ(dispatchText("{\"module\":\"wlan\",\"action\":0}"), "{\n}");
    EXPECT_EQ(dispatchText("{\"module\":\"macFilters\",\"action\":0}"), "{\n}");
    JsonPtr reply = parseJson(dispatchText("{\"module\":\"connectedDevices\",\"action\":0}"));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 1);
    unlink(flag.c_str());
    EXPECT_EQ(receive_wlan_setting(), 0);
}

TEST(WlanText, DescriptionCutNeverSplitsACharacter)
{
    char out[33];
    copyText(out, "short", sizeof(out));
    EXPECT_STREQ(out, "short");
    // 31 ASCII bytes then a 2-byte character: the character does not fit.
    std::string s = std::string(31, 'a') + "\xc3\xa9";
    copyText(out, s.c_str(), sizeof(out));
    EXPECT_EQ(std::string(out), std::string(31, 'a'));
    // A 3-byte character ending exactly at byte 32 is kept.
    s = std::string(29, 'a') + "\xe2\x82\xac" + "b";
    copyText(out, s.c_str(), sizeof(out));
    EXPECT_EQ(std::string(out), std::string(29, 'a') + "\xe2\x82\xac");
    copyText(out, std::string(40, 'x').c_str(), sizeof(out));
    EXPECT_EQ(strlen(out), 32u);
}

TEST(WlanRegions, TableLookups)
{
    ASSERT_EQ(kWlanRegionCount, 101);
    EXPECT_STREQ(kWlanRegions[0].code, "AL");
    EXPECT_STREQ(kWlanRegions[100].code, "ZW");
    EXPECT_STREQ(kWlanRegions[100].timezone, "Africa/Harare");
    ASSERT_NE(findWlanRegion("JP"), nullptr);
    EXPECT_STREQ(findWlanRegion("JP")->timezone, "Asia/Tokyo");
    EXPECT_STREQ(findWlanRegion("AR")->timezone, "America/Argentina/Buenos_Aires");
    EXPECT_STREQ(findWlanRegion("US")->timezone, "America/New_York");
    EXPECT_EQ(findWlanRegion("JPN"), nullptr);
    EXPECT_EQ(findWlanRegion("jp"), nullptr);
    EXPECT_EQ(findWlanRegion("XX"), nullptr);
    EXPECT_EQ(findWlanRegion(""), nullptr);
    // Codes are unique, so row order never hides a region.
    for (int i = 0; i < kWlanRegionCount; i++)
        EXPECT_EQ(findWlanRegion(kWlanRegions[i].code), &kWlanRegions[i]) << kWlanRegions[i].code;
}

}  // namespace
