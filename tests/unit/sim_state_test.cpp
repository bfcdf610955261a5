// State files of the simulated device as front-end developers seed them by
// hand, and the package verifier's digest.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "platform/flowstat.h"
#include "platform/isp_update.h"
#include "platform/mobile_client.h"
#include "platform/upgrade_service.h"
#include "tests/support/inprocess.h"
#include "tests/support/test_support.h"

namespace {

TEST(SimStateFiles, HandSeededNameValueLines)
{
    std::string path = inProcessRoot() + "/sim/flowstat/state";
    std::string before = SimDevice::readFile(path);
    ASSERT_FALSE(before.empty());

    // Exponents read; a number no int can hold, a value that is no number,
    // an unknown name and a line without "=" are passed over.
    ASSERT_TRUE(SimDevice::writeFile(path, "limit_enable=7\nlimit=2.5e3\nwarning_percent=1e300\n"
                                           "payment_day=abc\nmonthly_enable=1\ncolour=blue\nno value here\n"));
    int value = -1;
    double amount = 0;
    ASSERT_EQ(isLimitEnable(&value), 0);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(getLimit(&amount), 0);
    EXPECT_EQ(amount, 2500.0);
    ASSERT_EQ(getWarningPercent(&value), 0);
    EXPECT_EQ(value, 90);
    ASSERT_EQ(getDue(&value), 0);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(isMonthlyEnable(&value), 0);
    EXPECT_EQ(value, 1);
    // The accounting wrote the file back whole, every field in its order.
    std::string saved = SimDevice::readFile(path);
    EXPECT_EQ(saved.rfind("limit_enable=1\nlimit=2500\nwarning_percent=90\nmonthly_enable=1\npayment_day=1\n"
                          "monthly=0\ndaily=0\nday=",
                          0),
              0u)
        << saved;
    EXPECT_NE(saved.find("\nuser_modified=0\naccounted="), std::string::npos) << saved;

    // Of a name given twice the last line counts; a fraction is cut.
    ASSERT_TRUE(SimDevice::writeFile(path, "warning_percent=75\nwarning_percent=85.9\npayment_day=3e0\n"));
    ASSERT_EQ(getWarningPercent(&value), 0);
    EXPECT_EQ(value, 85);
    ASSERT_EQ(getDue(&value), 0);
    EXPECT_EQ(value, 3);

    ASSERT_TRUE(SimDevice::writeFile(path, before));
}

TEST(SimStateFiles, MembersLeftOutOfJsonStateTakeTheirFactoryValues)
{
    std::string isp = inProcessRoot() + "/sim/mobile/isp.json";
    std::string card = inProcessRoot() + "/sim/mobile/sim.json";
    std::string ispBefore = SimDevice::readFile(isp);
    std::string cardBefore = SimDevice::readFile(card);
    ASSERT_FALSE(ispBefore.empty());
    ASSERT_FALSE(cardBefore.empty());

    ASSERT_TRUE(SimDevice::writeFile(isp, "{\"needLocalUpdate\":1,\"version\":7}"));
    char version[ISP_VERSION_SIZE] = {0};
    ASSERT_EQ(getVersion(version), 0);
    EXPECT_STREQ(version, "2026.11.1");
    int pending = 0;
    ASSERT_EQ(getNeedLocUpdate(&pending), 0);
    EXPECT_EQ(pending, 1);

    ASSERT_TRUE(SimDevice::writeFile(card, "{\"state\":\"ready\",\"pin\":\"2468\"}"));
    char number[64] = {0};
    ASSERT_EQ(GetSimNumber(number), 1);
    EXPECT_STREQ(number + 1, "+10015550100");

    ASSERT_TRUE(SimDevice::writeFile(isp, ispBefore));
    ASSERT_TRUE(SimDevice::writeFile(card, cardBefore));
}

TEST(SimStateFiles, PackageDigestMatchesTheStandardVectors)
{
    char dir[] = "/tmp/kal-package-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string package = std::string(dir) + "/update.zip";
    const std::string abc = "\nKAL-SHA256 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n";
    const std::string million = "\nKAL-SHA256 cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0\n";
    ASSERT_TRUE(SimDevice::writeFile(package, "abc" + abc));
    EXPECT_EQ(verify_update_file(package.c_str()), 0);
    // Read in many pieces.
    ASSERT_TRUE(SimDevice::writeFile(package, std::string(1000000, 'a') + million));
    EXPECT_EQ(verify_update_file(package.c_str()), 0);
    ASSERT_TRUE(SimDevice::writeFile(package, "abd" + abc));
    EXPECT_EQ(verify_update_file(package.c_str()), 3);
    ASSERT_TRUE(SimDevice::writeFile(package, "abc" + abc.substr(0, abc.size() - 1)));
    EXPECT_EQ(verify_update_file(package.c_str()), 2);
    EXPECT_EQ(verify_update_file((std::string(dir) + "/none.zip").c_str()), 1);
    EXPECT_EQ(verify_update_file(nullptr), 1);
    std::string cleanup = std::string("rm -rf ") + dir;
    EXPECT_EQ(system(cleanup.c_str()), 0);
}

}  // namespace
