// "storageShare" over the real socket, with the uci stand-in and the
// recorded "change_storageshare_config" calls.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

const char kGet[] = "{\"module\":\"storageShare\",\"action\":0}";

std::string setShare(const std::string &members)
{
    return "{\"module\":\"storageShare\",\"action\":1," + members + "}";
}

std::string changes(SimDevice &device)
{
    return SimDevice::readFile(device.statePath("storageshare_changes"));
}

TEST(StorageShare, ReadRepairsALiveValueFromTheFactoryCopy)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    JsonPtr reply = device.requestJson(kGet);
    ASSERT_TRUE(reply);
    EXPECT_EQ(jsonInt(reply.get(), "mode"), 1);
    EXPECT_EQ(jsonInt(reply.get(), "login"), 0);
    EXPECT_EQ(jsonInt(reply.get(), "rwPermission"), 1);
    EXPECT_EQ(jsonString(reply.get(), "username"), "admin");
    EXPECT_EQ(jsonString(reply.get(), "ftproot"), "/");
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);

    ASSERT_TRUE(SimDevice::writeFile(device.path("/etc/config/storageshare"),
                                     "config property 'property'\n\toption access_mode '2'\n\toption ifanon 'x'\n"));
    reply = device.requestJson(kGet);
    EXPECT_EQ(jsonInt(reply.get(), "mode"), 1);   // repaired from the factory value
    EXPECT_EQ(jsonInt(reply.get(), "login"), 0);  // not a digit: counts as 0, no repair
    std::string live = SimDevice::readFile(device.path("/etc/config/storageshare"));
    EXPECT_NE(live.find("option access_mode '1'"), std::string::npos) << live;
    EXPECT_NE(live.find("option ifanon 'x'"), std::string::npos) << live;
}

TEST(StorageShare, AccountBoundsAndChangeCommandArguments)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    struct Case {
        std::string members;
        int result;
    } rejected[] = {
        {"\"mode\":1,\"login\":1,\"username\":\"bad-name\"", 1},
        {"\"mode\":1,\"login\":1,\"username\":\"" + std::string(32, 'u') + "\"", 1},
        {"\"mode\":1,\"login\":1,\"username\":\"a b\"", 1},
        {"\"mode\":1,\"login\":1,\"password\":\"" + std::string(50, 'p') + "\"", 1},
        // The options hold one digit, read back as 0 or 1 only.
        {"\"mode\":-5,\"login\":1", 1},
        {"\"mode\":10,\"login\":1", 1},
        {"\"mode\":2,\"login\":1", 1},
        {"\"mode\":1,\"login\":2", 1},
        {"\"mode\":1,\"login\":-1", 1},
    };
    for (const Case &c : rejected) {
        JsonPtr reply = device.requestJson(setShare(c.members));
        EXPECT_EQ(jsonInt(reply.get(), "result"), c.result) << c.members;
    }
    EXPECT_EQ(changes(device), "");  // no change command for a rejected account

    // Unchanged account, mode 0: the login argument is 1, account flag 0.
    JsonPtr reply = device.requestJson(setShare("\"mode\":0,\"login\":0,\"username\":\"admin\",\"password\":\"admin\""));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_NE(changes(device).find("mode=0 login=1 account_changed=0"), std::string::npos) << changes(device);

    std::string user31 = "A_9" + std::string(28, 'z');
    std::string password49 = "p'\"; $(x) `y` " + std::string(35, '!');
    reply = device.requestJson(setShare("\"mode\":1,\"login\":0,\"rwPermission\":0,\"username\":\"" + user31 +
                                        "\",\"password\":\"p'\\\"; $(x) `y` " + std::string(35, '!') + "\""));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_NE(changes(device).find("mode=1 login=0 account_changed=1"), std::string::npos) << changes(device);
    reply = device.requestJson(kGet);
    EXPECT_EQ(jsonString(reply.get(), "username"), user31);
    EXPECT_EQ(jsonString(reply.get(), "password"), password49);
    EXPECT_EQ(jsonInt(reply.get(), "mode"), 1);  // applied by the device command
    EXPECT_EQ(jsonInt(reply.get(), "rwPermission"), 1);

    // A refused password stores nothing, the user name neither.
    reply = device.requestJson(setShare("\"mode\":1,\"login\":1,\"username\":\"next\",\"password\":\"" +
                                        std::string(50, 'q') + "\""));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 1);
    reply = device.requestJson(kGet);
    EXPECT_EQ(jsonString(reply.get(), "username"), user31);
    EXPECT_EQ(jsonString(reply.get(), "password"), password49);
    EXPECT_EQ(jsonInt(reply.get(), "mode"), 1);
    EXPECT_EQ(jsonInt(reply.get(), "login"), 0);

    // Without mode and login the current settings are passed on.
    reply = device.requestJson(setShare("\"username\":\"next\""));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_NE(changes(device).find("mode=1 login=0 account_changed=1"), std::string::npos) << changes(device);
    EXPECT_EQ(device.request("{\"module\":\"storageShare\",\"action\":2}"), "{\n\t\"result\":\t1\n}");
}

// The account is read into fixed buffers: a longer value stored by hand is
// cut there, and the reply still ends on a whole character.
TEST(StorageShare, ALongHandStoredAccountReadsAsWholeCharacters)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    std::string user;
    while (user.size() < 40)
        user += "\xe2\x82\xac";
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/141"), user));
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/142"), "pa\xffss"));
    std::string reply = device.request(kGet);
    JsonPtr json = parseJson(reply);
    ASSERT_TRUE(json) << reply;
    EXPECT_EQ(jsonString(json.get(), "username"), user.substr(0, 30)) << "31 bytes fit: ten whole characters";
    EXPECT_EQ(jsonString(json.get(), "password"), "pa\xef\xbf\xbdss");
}

TEST(StorageShare, UciStandInStagesCommitsAndRefusesQuotes)
{
    SimDevice device;
    ASSERT_TRUE(device.start());  // seeds the packages
    std::string uci = std::string("KAL_ROOT=") + device.root() + " " + KAL_SOURCE_DIR + "/sim/bin/uci";
    int status = -1;
    EXPECT_EQ(commandOutput(uci + " set storageshare.property.ifanon=1", &status), "");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(commandOutput(uci + " get storageshare.property.ifanon"), "1\n");  // staged changes are seen
    EXPECT_EQ(SimDevice::readFile(device.path("/etc/config/storageshare")).find("ifanon '1'"), std::string::npos);
    EXPECT_EQ(runCommand(uci + " commit storageshare"), 0);
    EXPECT_NE(SimDevice::readFile(device.path("/etc/config/storageshare")).find("ifanon '1'"), std::string::npos);
    EXPECT_EQ(commandOutput(uci + " -c " + device.path("/app/default_config") + " get storageshare.property.ifanon"),
              "0\n");
    EXPECT_NE(runCommand(uci + " -q set \"storageshare.property.ifanon=1' x\""), 0);
    EXPECT_NE(runCommand(uci + " -q get storageshare.nosuch.ifanon"), 0);
    EXPECT_NE(runCommand(uci + " -q set storageshare.nosuch.opt=1"), 0);
    EXPECT_EQ(commandOutput(uci + " get storageshare.property"), "property\n");
}

TEST(StorageShare, UciStandInKeepsValuesAsWrittenAndTheFormatsEdges)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    std::string uci = std::string("KAL_ROOT=") + device.root() + " " + KAL_SOURCE_DIR + "/sim/bin/uci";
    std::string package = device.path("/etc/config/storageshare");
    // Two sections of the same name, a repeated option, a CRLF line end.
    ASSERT_TRUE(SimDevice::writeFile(package, "config property 'property'\n"
                                              "\toption access_mode '2'\n"
                                              "\toption access_mode '3'\n"
                                              "config other 'other'\r\n"
                                              "\toption ifanon '9'\r\n"
                                              "config property 'property'\n"
                                              "\toption access_mode '4'\n"));
    EXPECT_EQ(commandOutput(uci + " get storageshare.property.access_mode"), "2\n");  // the first one
    EXPECT_EQ(commandOutput(uci + " get storageshare.other"), "other\n");
    // A backslash is part of the value, as uci stores it: no escapes.
    EXPECT_EQ(runCommand(uci + " set 'storageshare.property.note=a\\tb\\n'"), 0);
    EXPECT_EQ(commandOutput(uci + " get storageshare.property.note"), "a\\tb\\n\n");
    EXPECT_EQ(runCommand(uci + " set storageshare.property.access_mode=1"), 0);
    EXPECT_EQ(runCommand(uci + " commit storageshare"), 0);
    // The first line is replaced, the later ones dropped; a new option ends
    // its section; other lines are kept byte for byte.
    EXPECT_EQ(SimDevice::readFile(package), "config property 'property'\n"
                                            "\toption access_mode '1'\n"
                                            "\toption note 'a\\tb\\n'\n"
                                            "config other 'other'\r\n"
                                            "\toption ifanon '9'\r\n"
                                            "config property 'property'\n");
}

TEST(StorageShare, ChangeCommandCommitsStagedChangesWithItsOwn)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    std::string env = std::string("KAL_ROOT=") + device.root() + " " + KAL_SOURCE_DIR + "/sim/bin/";
    std::string package = device.path("/etc/config/storageshare");
    EXPECT_EQ(runCommand(env + "uci set storageshare.property.pending=yes"), 0);
    EXPECT_EQ(runCommand(env + "change_storageshare_config 0 1 0"), 0);
    EXPECT_FALSE(SimDevice::exists(device.path("/etc/config/.storageshare.staged")));
    std::string live = SimDevice::readFile(package);
    EXPECT_NE(live.find("option access_mode '0'"), std::string::npos) << live;
    EXPECT_NE(live.find("option ifanon '1'"), std::string::npos) << live;
    EXPECT_NE(live.find("option pending 'yes'"), std::string::npos) << live;

    // Without the section nothing is stored, the call is still recorded.
    ASSERT_TRUE(SimDevice::writeFile(package, "config other 'other'\n"));
    int status = 0;
    EXPECT_EQ(commandOutput(env + "change_storageshare_config 1 0 1 2>&1", &status), "uci: Entry not found\n");
    EXPECT_NE(status, 0);
    EXPECT_EQ(SimDevice::readFile(package), "config other 'other'\n");
    EXPECT_NE(changes(device).find("mode=1 login=0 account_changed=1"), std::string::npos) << changes(device);
}

}  // namespace
