// Device paths and the simulated configuration store.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <string>

#include "platform/config_store.h"
#include "platform/device_paths.h"
#include "tests/support/inprocess.h"
#include "tests/support/test_support.h"

namespace {

TEST(DevicePaths, LiveUnderTheRootAndNeverCut)
{
    const std::string &root = inProcessRoot();
    char path[256];
    ASSERT_EQ(kalPath(path, sizeof(path), KAL_SERVER_SOCKET_PATH), 0);
    EXPECT_EQ(std::string(path), root + "/tmp/vy_kal_server.sock");
    char tiny[8];
    EXPECT_EQ(kalPath(tiny, sizeof(tiny), KAL_SERVER_SOCKET_PATH), -1);
    EXPECT_STREQ(tiny, "");
    EXPECT_EQ(kalPath(path, sizeof(path), nullptr), -1);
}

TEST(ConfigStore, FactoryValuesWritesAndBounds)
{
    inProcessRoot();
    char buffer[32] = {0};
    ASSERT_EQ(get_config_data(PI_PRODUCT_REGION, buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "UN");

    // Values read back exactly, cut to the reader's buffer.
    const char value[] = "line one\nwith \"quotes\" $(x) ;";
    ASSERT_EQ(set_config_data_permanent(CFG_STORAGE_SHARE_USER, value, (int)strlen(value)), 0);
    char big[64] = {0};
    ASSERT_EQ(get_config_data(CFG_STORAGE_SHARE_USER, big, sizeof(big)), 0);
    EXPECT_STREQ(big, value);
    char four[4] = {0};
    ASSERT_EQ(get_config_data(CFG_STORAGE_SHARE_USER, four, sizeof(four)), 0);
    EXPECT_STREQ(four, "lin");

    // Length counts: only that many bytes are stored.
    ASSERT_EQ(set_config_data_permanent(CFG_STORAGE_SHARE_USER, "abcdef", 3), 0);
    ASSERT_EQ(get_config_data(CFG_STORAGE_SHARE_USER, big, sizeof(big)), 0);
    EXPECT_STREQ(big, "abc");
    ASSERT_EQ(set_config_data_permanent(CFG_STORAGE_SHARE_USER, "", 0), 0);
    ASSERT_EQ(get_config_data(CFG_STORAGE_SHARE_USER, big, sizeof(big)), 0);
    EXPECT_STREQ(big, "");

    // Only 0 and -1 ever come back.
    EXPECT_EQ(get_config_data(9999, big, sizeof(big)), -1);
    EXPECT_EQ(get_config_data(-5, big, sizeof(big)), -1);
    EXPECT_EQ(get_config_data(CFG_LANGUAGE, nullptr, 8), -1);
    EXPECT_EQ(get_config_data(CFG_LANGUAGE, big, 0), -1);
    EXPECT_EQ(set_config_data_permanent(CFG_LANGUAGE, nullptr, 3), -1);
    EXPECT_EQ(set_config_data_permanent(CFG_LANGUAGE, "en", -1), -1);
    EXPECT_EQ(set_config_data_permanent(-1, "en", 2), -1);
}

TEST(ConfigStore, ValuesAreOwnerOnlyFiles)
{
    const std::string file = inProcessRoot() + "/sim/config/29";
    ASSERT_EQ(set_config_data_permanent(CFG_SIM_PIN, "1234", 4), 0);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(SimDevice::readFile(file), "1234");
}

}  // namespace
