// The simulated device's services failing on demand: every call of a
// failing service answers as its library does when the service is
// unreachable, and leaves what it was handed as it was.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <string>

#include "platform/config_store.h"
#include "platform/flowstat.h"
#include "platform/isp_update.h"
#include "platform/mobile_client.h"
#include "platform/network_lan.h"
#include "platform/network_manager.h"
#include "platform/state_control.h"
#include "platform/upgrade_service.h"
#include "platform/wlan_manager.h"
#include "tests/support/inprocess.h"
#include "tests/support/test_support.h"

namespace {

const char kAllFail[] =
    "mobile fail\nwlan-manager fail\nflowstat fail\nupgrade fail\nnetwork-manager fail\n"
    "state-control fail\nisp-update fail\nconfig-store fail\n";

TEST(SimFaults, AFailingServiceAnswersEveryKindOfCallAsUnreachable)
{
    inProcessRenew();
    std::string faults = inProcessRoot() + "/sim/faults";
    ASSERT_TRUE(SimDevice::writeFile(faults, kAllFail));

    int value = 77;
    int code = 77;
    char text[64];
    memset(text, 'x', sizeof(text));
    // Mobile: getters, the card's and the profiles' calls answer 0.
    EXPECT_EQ(GetConnState(&value), 0);
    EXPECT_EQ(GetNetSelStat(&value), 0);
    EXPECT_EQ(GetRegStat(&value), 0);
    EXPECT_EQ(GetSimStatusForWebStatus(&value), 0);
    EXPECT_EQ(EnterPin("1234", &code, 0, nullptr), 0);
    EXPECT_EQ(DelProfile(0, &code), 0);
    EXPECT_EQ(GetSimNumber(text), 0);
    EXPECT_EQ(text[0], 'x');
    // Wi-Fi manager: no connection, and -1 for a call on one.
    EXPECT_EQ(wm_connect("/tmp/kal-local", "/tmp/kal-server"), 0);
    EXPECT_EQ(wm_get_wlan_switch(1, &value), -1);
    // Flowstat: -1 for readings and settings alike.
    double amount = 5;
    EXPECT_EQ(getLimit(&amount), -1);
    EXPECT_EQ(amount, 5);
    EXPECT_EQ(setDue(3), -1);
    // Upgrade: empty texts, and each call's own failure value.
    getFirmwareVer(text, (int)sizeof(text));
    EXPECT_STREQ(text, "");
    memset(text, 'x', sizeof(text));
    getLatestVersion(text, (int)sizeof(text));
    EXPECT_STREQ(text, "");
    EXPECT_EQ(hasNewVersion(), 0);
    EXPECT_EQ(httpReqForCheckUpdate(), 2);
    EXPECT_EQ(startDownload(), 1);
    EXPECT_EQ(getCheckResultState(), 2);
    EXPECT_EQ(getUploadState(&value), -1);
    // ISP update: 1 is the update server unreachable.
    EXPECT_EQ(updateISPByWeb(), 1);
    EXPECT_EQ(getNeedLocUpdate(&value), -1);
    EXPECT_EQ(send_reboot_req(), -1);
    EXPECT_EQ(get_config_data(CFG_FIRMWARE_VERSION, text, (int)sizeof(text)), -1);
    lan_config lan;
    memset(&lan, 0, sizeof(lan));
    EXPECT_EQ(get_lan_config(&lan), -1);
    char address[64], dns1[64], dns2[64];
    EXPECT_EQ(get_wan_ipv4_config(address, dns1, dns2), -1);
    EXPECT_EQ(value, 77);
    EXPECT_EQ(code, 77);

    // Cleared, the same calls answer from the device's state.
    ASSERT_EQ(unlink(faults.c_str()), 0);
    EXPECT_EQ(GetConnState(&value), 1);
    EXPECT_EQ(GetSimStatusForWebStatus(&value), 1);
    EXPECT_EQ(value, 1);  // the factory card is ready
    EXPECT_EQ(GetSimNumber(text), 1);
    EXPECT_EQ(wm_get_wlan_switch(1, &value), 0);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(getLimit(&amount), 0);
    getFirmwareVer(text, (int)sizeof(text));
    EXPECT_STRNE(text, "");
    EXPECT_EQ(getNeedLocUpdate(&value), 0);
    EXPECT_EQ(get_config_data(CFG_FIRMWARE_VERSION, text, (int)sizeof(text)), 0);
    EXPECT_EQ(get_lan_config(&lan), 0);
}

}  // namespace
