// "wan", "simLock" and "message" over the real socket on a simulated modem.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/test_support.h"

namespace {

std::string profile(int id, const std::string &name, int defaults = 1)
{
    return "{\"list\":[{\"profileID\":" + std::to_string(id) + ",\"profileName\":\"" + name +
           "\",\"pdpType\":0,\"ipv4ApnType\":0,\"ipv4Apn\":\"apn." + std::to_string(id) +
           "\",\"ipv4Username\":\"u\",\"ipv4Password\":\"secret\",\"ipv4AuthType\":1}],\"defaultProfile\":" +
           std::to_string(defaults) + "}";
}

int result(SimDevice &device, const std::string &json)
{
    JsonPtr reply = device.requestJson(json);
    return reply != nullptr ? jsonInt(reply.get(), "result") : -100;
}

const cJSON *profileList(const cJSON *config)
{
    return cJSON_GetObjectItem(cJSON_GetObjectItem(config, "profileSettings"), "list");
}

std::string simState(SimDevice &device)
{
    JsonPtr r = device.requestJson("{\"module\":\"simLock\",\"action\":0}");
    if (r == nullptr)
        return "no reply";
    return std::to_string(jsonInt(r.get(), "pinState")) + "/" + std::to_string(jsonInt(r.get(), "pinRemainingTimes")) +
           "/" + std::to_string(jsonInt(r.get(), "pukRemainingTimes"));
}

TEST(Wan, ProfilesAddEditDeleteAndBounds)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    JsonPtr config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(jsonInt(config.get(), "result"), 0);
    EXPECT_EQ(cJSON_GetArraySize(profileList(config.get())), 1);
    EXPECT_EQ(jsonString(config.get(), "ispVersion"), "2026.11.1");

    // A 40-character name is kept as its first 31.
    std::string longName(40, 'L');
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":2,\"profileSettings\":" + profile(0, longName) + "}"), 0);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":7,\"profileSettings\":" + profile(0, "Wizard") + "}"), 0);
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    const cJSON *list = profileList(config.get());
    ASSERT_EQ(cJSON_GetArraySize(list), 3);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(list, 1), "profileName"), longName.substr(0, 31));
    EXPECT_EQ(jsonInt(cJSON_GetObjectItem(config.get(), "profileSettings"), "activeProfile"), 2);

    // A profile named "null" is refused, and the list stays readable.
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":2,\"profileSettings\":" + profile(0, "null") + "}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":0}"), 0);

    // Editing user profile 1 (index 0 behind the one default profile).
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":1,\"profileSettings\":" + profile(1, "Edited") + "}"), 0);
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    list = profileList(config.get());
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(list, 1), "profileName"), "Edited");
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(list, 1), "ipv4Apn"), "apn.1");
    EXPECT_EQ(jsonInt(cJSON_GetObjectItem(config.get(), "profileSettings"), "activeProfile"), 1);
    // Out-of-range settings are left out; the rest still applies.
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":1,\"dataSwitchStatus\":2,\"networkPreferredMode\":3}"), 0);
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_EQ(jsonInt(config.get(), "dataSwitchStatus"), 1);
    EXPECT_EQ(jsonInt(config.get(), "networkPreferredMode"), 3);

    // The default profile cannot be deleted, nor a negative index reached.
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":3,\"profileSettings\":" + profile(0, "x") + "}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":3,\"profileSettings\":" + profile(-3, "x") + "}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":3,\"profileSettings\":" + profile(9, "x") + "}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":3,\"profileSettings\":" + profile(2, "x") + "}"), 0);
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_EQ(cJSON_GetArraySize(profileList(config.get())), 2);

    // The list holds 16 profiles; the 17th is refused.
    for (int i = 0; i < 14; i++)
        EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":2,\"profileSettings\":" + profile(0, "P" + std::to_string(i)) + "}"), 0);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":2,\"profileSettings\":" + profile(0, "Full") + "}"), 1);
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_EQ(cJSON_GetArraySize(profileList(config.get())), 16);
    EXPECT_EQ(device.readFile(device.statePath("mobile/profiles.json")).find("Full"), std::string::npos);

    // Undefined actions, and the elapsed-time line with its name.
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":4}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":16}"), 1);
    std::string log = device.logBuffer("main");
    EXPECT_NE(log.find("WAN action WAN_ACTION_GET_CFG, elapsed "), std::string::npos);
    EXPECT_NE(log.find("WAN action , elapsed "), std::string::npos);
    EXPECT_NE(log.find("Cannot get the profile name."), std::string::npos);
}

// The main log lines one request adds.
std::string loggedBy(SimDevice &device, const std::string &json, int *answer)
{
    size_t before = device.logBuffer("main").size();
    *answer = result(device, json);
    std::string after = device.logBuffer("main");
    return after.size() >= before ? after.substr(before) : after;
}

// Whether the request answers result and logs line (none: logs no line of
// the module's refusals).
void expectAnswer(SimDevice &device, const std::string &json, int answer, const char *line)
{
    int got = 0;
    std::string log = loggedBy(device, json, &got);
    EXPECT_EQ(got, answer) << json;
    if (line != nullptr) {
        EXPECT_NE(log.find(line), std::string::npos) << json << "\n" << log;
    }
    for (const char *refusal : {"Cannot get the profile", "Cannot delete profile", "args invalid"}) {
        if (line == nullptr || strstr(line, refusal) == nullptr) {
            EXPECT_EQ(log.find(refusal), std::string::npos) << json << "\n" << log;
        }
    }
}

// Profiles sent in shapes of their own: what each action takes of them.
TEST(Wan, ProfileMembersOfOtherTypes)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    const std::string add = "{\"module\":\"wan\",\"action\":2,\"profileSettings\":";
    const std::string del = "{\"module\":\"wan\",\"action\":3,\"profileSettings\":";
    const std::string one =
        "{\"profileID\":0,\"profileName\":\"Obj\",\"pdpType\":0,\"ipv4ApnType\":0,\"ipv4Apn\":\"a\","
        "\"ipv4Username\":\"\",\"ipv4Password\":\"\",\"ipv4AuthType\":0}";
    // A "list" that is an object: its first member is the profile.
    expectAnswer(device, add + "{\"list\":{\"first\":" + one + "}}}", 0, nullptr);
    JsonPtr config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    ASSERT_EQ(cJSON_GetArraySize(profileList(config.get())), 2);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(profileList(config.get()), 1), "profileName"), "Obj");
    expectAnswer(device, add + "{\"list\":\"x\"}}", 1, "Cannot get the profile.");
    expectAnswer(device, add + "[{\"list\":[" + one + "]}]}", 1, "Cannot get the profile.");
    expectAnswer(device, add + "{\"list\":[5]}}", 1, "Cannot get the profile ID.");
    expectAnswer(device, "{\"module\":\"wan\",\"action\":7}", 1, "Cannot get the profile.");

    const char *none = "Cannot get the profile id or active one.";
    const char *notUser = "Cannot delete profile: not a user profile.";
    expectAnswer(device, "{\"module\":\"wan\",\"action\":3}", 1, none);
    expectAnswer(device, del + "5}", 1, none);
    expectAnswer(device, del + "{\"list\":[{\"profileID\":1}]}}", 1, none);
    expectAnswer(device, del + "{\"list\":[],\"defaultProfile\":1}}", 1, none);
    expectAnswer(device, del + "{\"list\":[{}],\"defaultProfile\":1}}", 1, none);
    expectAnswer(device, del + "{\"list\":\"x\",\"defaultProfile\":1}}", 1, none);
    // Any "defaultProfile" counts as given; out of range, or a profile ID
    // out of range, names no user profile.
    expectAnswer(device, del + "{\"list\":[{\"profileID\":99}],\"defaultProfile\":1}}", 1, notUser);
    expectAnswer(device, del + "{\"list\":[{\"profileID\":1e99}],\"defaultProfile\":1}}", 1, notUser);
    expectAnswer(device, del + "{\"list\":[{\"profileID\":1}],\"defaultProfile\":99}}", 1, notUser);
    expectAnswer(device, del + "{\"list\":[{\"profileID\":1}],\"defaultProfile\":-1}}", 1, notUser);
    expectAnswer(device, del + "{\"list\":[{\"profileID\":null}],\"defaultProfile\":true}}", 1, notUser);
    expectAnswer(device, del + "{\"list\":{\"first\":{\"profileID\":true}},\"defaultProfile\":true}}", 0, nullptr);
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_EQ(cJSON_GetArraySize(profileList(config.get())), 1);

    // Editing takes the object "list" too.
    expectAnswer(device, add + "{\"list\":[" + one + "]}}", 0, nullptr);
    std::string edited = one;
    edited.replace(edited.find("Obj"), 3, "Edited");
    edited.replace(edited.find("\"profileID\":0"), 13, "\"profileID\":1");
    expectAnswer(device, "{\"module\":\"wan\",\"action\":1,\"profileSettings\":{\"list\":{\"x\":" + edited +
                             "},\"defaultProfile\":true}}",
                 0, nullptr);
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(profileList(config.get()), 1), "profileName"), "Edited");
}

// An operator code: its leading digits, none or five or six of them.
TEST(Wan, SelectedOperatorOfEveryShape)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    const std::string select = "{\"module\":\"wan\",\"action\":8,\"networkSelectionMode\":";
    const char *invalid = "Set network selection mode args invalid.";
    expectAnswer(device, select + "1,\"selectedOperator\":\"00101 trailing\"}", 0, nullptr);
    expectAnswer(device, select + "0,\"selectedOperator\":\"none\"}", 0, nullptr);
    expectAnswer(device, select + "0,\"selectedOperator\":\"\"}", 0, nullptr);
    expectAnswer(device, select + "1,\"selectedOperator\":\"0010\"}", 1, invalid);
    expectAnswer(device, select + "1,\"selectedOperator\":\"0011011\"}", 1, invalid);
    expectAnswer(device, select + "1,\"selectedOperator\":null}", 1, invalid);
    expectAnswer(device, select + "1,\"selectedOperator\":[\"00101\"]}", 1, invalid);
    expectAnswer(device, "{\"module\":\"wan\",\"action\":8,\"selectedOperator\":7}", 1, invalid);
    // A text that is not UTF-8 is refused without the module's line.
    expectAnswer(device, select + "1,\"selectedOperator\":\"00101\xff\"}", 1, nullptr);
}

TEST(Wan, OperatorSearchSelectionAndBusyModem)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    JsonPtr stat = device.requestJson("{\"module\":\"wan\",\"action\":10}");
    EXPECT_EQ(jsonInt(stat.get(), "networkSelectionStatus"), 0);
    EXPECT_EQ(cJSON_GetObjectItem(stat.get(), "operatorList"), nullptr);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":9}"), 0);
    stat = device.requestJson("{\"module\":\"wan\",\"action\":10}");
    ASSERT_EQ(jsonInt(stat.get(), "networkSelectionStatus"), 4);
    const cJSON *ops = cJSON_GetObjectItem(stat.get(), "operatorList");
    ASSERT_EQ(cJSON_GetArraySize(ops), 4);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(ops, 0), "operatorNumeric"), "00101");
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(ops, 2), "operatorNumeric"), "001101");

    // The server's own operatorNumeric selects that very operator.
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":8,\"networkSelectionMode\":1,\"selectedOperator\":\"001101\"}"), 0);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":9}"), 0);
    stat = device.requestJson("{\"module\":\"wan\",\"action\":10}");
    ops = cJSON_GetObjectItem(stat.get(), "operatorList");
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(ops, 2), "operatorState"), "current");
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(ops, 0), "operatorState"), "available");
    JsonPtr config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_EQ(jsonInt(config.get(), "networkSelectionMode"), 1);

    // Forbidden or malformed operators, and no mode at all.
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":8,\"networkSelectionMode\":1,\"selectedOperator\":\"00103\"}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":8,\"networkSelectionMode\":1,\"selectedOperator\":\"0010\"}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":8,\"networkSelectionMode\":1,\"selectedOperator\":101}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":8,\"selectedOperator\":\"00101\"}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":8,\"networkSelectionMode\":0}"), 0);

    JsonPtr cancel = device.requestJson("{\"module\":\"wan\",\"action\":14}");
    EXPECT_EQ(jsonInt(cancel.get(), "result"), 0);
    EXPECT_EQ(jsonInt(cancel.get(), "networkSelectionStatus"), 0);
    JsonPtr reason = device.requestJson("{\"module\":\"wan\",\"action\":11}");
    EXPECT_EQ(jsonInt(reason.get(), "callFailReason"), 0);
    JsonPtr conn = device.requestJson("{\"module\":\"wan\",\"action\":6}");
    EXPECT_EQ(jsonInt(conn.get(), "connectStatus"), 2);

    // A busy modem: each busy code has its own result.
    std::string modem = device.readFile(device.statePath("mobile/modem.json"));
    const int codes[][2] = {{14, 6}, {15, 3}, {16, 4}, {17, 5}};
    for (const auto &c : codes) {
        JsonPtr m = parseJson(modem);
        cJSON_ReplaceItemInObject(m.get(), "busyCode", cJSON_CreateNumber(c[0]));
        char *text = cJSON_Print(m.get());
        ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/modem.json"), text));
        cJSON_free(text);
        EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":8,\"networkSelectionMode\":0}"), c[1]) << c[0];
    }
    // Only an SMS being sent stops a search.
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":9}"), 0);

    // An unreadable modem file fails the request instead of inventing values.
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/modem.json"), "{broken"));
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":0}"), 1);
    EXPECT_EQ(device.readFile(device.statePath("mobile/modem.json")), "{broken");
}

TEST(Wan, SearchWhileSendingSmsAndIspUpdate)
{
    SimDevice device;
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/modem.json"), "{\"busyCode\":14}"));
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/isp.json"),
                                     "{\"version\":\"1.0\",\"availableVersion\":\"2.0\",\"needLocalUpdate\":1,\"updateResult\":1}"));
    ASSERT_TRUE(device.start());
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":9}"), 6);
    JsonPtr config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(config.get(), "isp_need_local_update")));

    JsonPtr update = device.requestJson("{\"module\":\"wan\",\"action\":15}");
    EXPECT_EQ(jsonInt(update.get(), "result"), 3);
    EXPECT_EQ(cJSON_GetObjectItem(update.get(), "ispVersion"), nullptr);
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/isp.json"),
                                     "{\"version\":\"1.0\",\"availableVersion\":\"2.0\",\"needLocalUpdate\":1,\"updateResult\":4}"));
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":15}"), 1);
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/isp.json"),
                                     "{\"version\":\"1.0\",\"availableVersion\":\"2.0\",\"needLocalUpdate\":1,\"updateResult\":0}"));
    update = device.requestJson("{\"module\":\"wan\",\"action\":15}");
    EXPECT_EQ(jsonInt(update.get(), "result"), 0);
    EXPECT_EQ(jsonString(update.get(), "ispVersion"), "2.0");
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(config.get(), "isp_need_local_update")));
}

std::string storedProfiles(int defaults, int active, const std::string &names)
{
    std::string list;
    size_t start = 0;
    while (start <= names.size()) {
        size_t comma = names.find(',', start);
        std::string name = names.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!list.empty())
            list += ",";
        list += "{\"name\":\"" + name + "\",\"pdpType\":0,\"apnType\":0,\"apn\":\"a." + name +
                "\",\"username\":\"\",\"password\":\"\",\"authType\":0}";
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return "{\"defaultProfile\":" + std::to_string(defaults) + ",\"activeProfile\":" + std::to_string(active) +
           ",\"profiles\":[" + list + "]}";
}

TEST(Wan, ProfileIdsMapToDefaultAndUserIndexes)
{
    SimDevice device;
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/profiles.json"), storedProfiles(3, 0, "D0,D1,D2,U3,U4,U5")));
    ASSERT_TRUE(device.start());

    // ID 5 behind 3 default profiles is user index 2: edited and selected.
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":1,\"profileSettings\":" + profile(5, "New5", 3) + "}"), 0);
    JsonPtr config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    const cJSON *list = profileList(config.get());
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(list, 5), "profileName"), "New5");
    EXPECT_EQ(jsonInt(cJSON_GetObjectItem(config.get(), "profileSettings"), "activeProfile"), 5);
    // ID 1 is default profile 1: selected, its settings kept.
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":1,\"profileSettings\":" + profile(1, "Renamed", 3) + "}"), 0);
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    list = profileList(config.get());
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(list, 1), "profileName"), "D1");
    EXPECT_EQ(jsonInt(cJSON_GetObjectItem(config.get(), "profileSettings"), "activeProfile"), 1);
    // IDs past the list or negative change nothing.
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":1,\"profileSettings\":" + profile(6, "X", 3) + "}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":1,\"profileSettings\":" + profile(-1, "X", 3) + "}"), 0);
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_EQ(jsonInt(cJSON_GetObjectItem(config.get(), "profileSettings"), "activeProfile"), 1);

    // DEL_PROF ID 4 with 3 defaults deletes user index 1 ("U4").
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":3,\"profileSettings\":" + profile(4, "x", 3) + "}"), 0);
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    list = profileList(config.get());
    ASSERT_EQ(cJSON_GetArraySize(list), 5);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(list, 4), "profileName"), "New5");
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":3,\"profileSettings\":{\"list\":[{}],\"defaultProfile\":3}}"), 1);
}

TEST(Wan, EmptyAndUnreadableStoredProfiles)
{
    SimDevice device;
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/profiles.json"),
                                     "{\"defaultProfile\":0,\"activeProfile\":0,\"profiles\":[]}"));
    ASSERT_TRUE(device.start());
    JsonPtr config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    const cJSON *settings = cJSON_GetObjectItem(config.get(), "profileSettings");
    const cJSON *placeholder = cJSON_GetArrayItem(profileList(config.get()), 0);
    EXPECT_EQ(jsonString(placeholder, "profileName"), "NONE");
    // The placeholder's own shape, which front ends may rely on: the IPv4
    // members only.
    for (const char *key : {"ipv4Apn", "ipv4Username", "ipv4Password"})
        EXPECT_TRUE(cJSON_IsString(cJSON_GetObjectItem(placeholder, key))) << key;
    EXPECT_EQ(cJSON_GetObjectItem(placeholder, "ipv6Apn"), nullptr);
    EXPECT_EQ(jsonInt(settings, "defaultProfile"), 1);
    EXPECT_EQ(jsonInt(settings, "activeProfile"), 0);
    EXPECT_EQ(jsonInt(config.get(), "connectStatus"), 1);  // nothing to connect with

    // A stored record the encoder refuses fails the read, keeping the status values.
    device.stop();
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/profiles.json"), storedProfiles(1, 0, "D0,null")));
    ASSERT_TRUE(device.start());
    config = device.requestJson("{\"module\":\"wan\",\"action\":0}");
    EXPECT_EQ(jsonInt(config.get(), "result"), 1);
    EXPECT_EQ(jsonInt(config.get(), "dataSwitchStatus"), 1);
    EXPECT_EQ(cJSON_GetObjectItem(config.get(), "profileSettings"), nullptr);
    EXPECT_NE(device.logBuffer("main").find("Encode profile 1 failed."), std::string::npos);
    // It can still be deleted by its ID.
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":3,\"profileSettings\":" + profile(1, "x", 1) + "}"), 0);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":0}"), 0);
}

TEST(SimLock, PublishedStateDecidesWhatIsAllowed)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    ASSERT_EQ(result(device, "{\"module\":\"simLock\",\"action\":1,\"pin\":\"1234\"}"), 0);
    // PIN state 2: entering a PIN or switching the lock on again is refused.
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":4,\"pin\":\"1234\"}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":1,\"pin\":\"1234\"}"), 1);
    EXPECT_EQ(simState(device), "2/3/10");

    // Action 6 answers the stored values unchecked; action 0 checks them.
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("config/26"), "-5"));
    JsonPtr r = device.requestJson("{\"module\":\"simLock\",\"action\":6}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_EQ(jsonInt(r.get(), "pinRemainingTimes"), -5);
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":0}"), 1);

    // An unreadable PIN state fails every action.
    ASSERT_EQ(unlink(device.statePath("config/25").c_str()), 0);
    for (int action = 0; action <= 7; action++) {
        r = device.requestJson("{\"module\":\"simLock\",\"action\":" + std::to_string(action) + ",\"pin\":\"1234\"}");
        EXPECT_EQ(jsonInt(r.get(), "result"), 1) << action;
        EXPECT_EQ(cJSON_GetArraySize(r.get()), 1) << action;
    }
    EXPECT_NE(device.logBuffer("main").find("simLockHandler: Get cardState or pinState fail!."), std::string::npos);
    // The card was not touched.
    EXPECT_NE(device.readFile(device.statePath("mobile/sim.json")).find("\"pinLock\":\ttrue"), std::string::npos);
}

TEST(SimLock, PinLockRunsIntoPukAndBack)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    EXPECT_EQ(simState(device), "3/3/10");

    // Malformed PINs are refused before the card sees them.
    for (const char *pin : {"12a4", "123", "123456789", ""})
        EXPECT_EQ(result(device, std::string("{\"module\":\"simLock\",\"action\":1,\"pin\":\"") + pin + "\"}"), 1) << pin;
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":1,\"pin\":1234}"), 1);
    EXPECT_EQ(simState(device), "3/3/10");
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":4,\"pin\":\"1234\"}"), 1);  // not waiting for a PIN

    JsonPtr on = device.requestJson("{\"module\":\"simLock\",\"action\":1,\"pin\":\"1234\",\"autoUnlock\":true}");
    EXPECT_EQ(jsonInt(on.get(), "result"), 0);
    EXPECT_EQ(jsonInt(on.get(), "pinState"), 2);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(on.get(), "autoUnlock")));
    EXPECT_EQ(device.readFile(device.statePath("config/28")), "1");
    EXPECT_EQ(device.readFile(device.statePath("config/29")), "1234");

    // Three wrong PINs leave only the PUK; the stored PIN is not replaced.
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":2,\"pin\":\"9999\"}"), 1);
    EXPECT_EQ(simState(device), "2/2/10");
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":3,\"pin\":\"9999\",\"newPin\":\"4444\"}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":2,\"pin\":\"9999\"}"), 1);
    EXPECT_EQ(simState(device), "4/0/10");
    EXPECT_EQ(device.readFile(device.statePath("config/29")), "1234");
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":2,\"pin\":\"1234\"}"), 1);

    // A 7-digit PUK is refused untried; a wrong one spends a try.
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":5,\"puk\":\"1234567\",\"newPin\":\"5678\"}"), 1);
    EXPECT_EQ(simState(device), "4/0/10");
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":5,\"puk\":\"87654321\",\"newPin\":\"5678\"}"), 1);
    EXPECT_EQ(simState(device), "4/0/9");
    JsonPtr back = device.requestJson("{\"module\":\"simLock\",\"action\":5,\"puk\":\"12345678\",\"newPin\":\"5678\"}");
    EXPECT_EQ(jsonInt(back.get(), "result"), 0);
    EXPECT_EQ(jsonInt(back.get(), "pinState"), 2);
    EXPECT_EQ(jsonInt(back.get(), "pukRemainingTimes"), 10);
    EXPECT_EQ(device.readFile(device.statePath("config/29")), "5678");

    // The PIN lives only in owner-readable files and never in the log.
    struct stat st;
    ASSERT_EQ(stat(device.statePath("config/29").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
    ASSERT_EQ(stat(device.statePath("mobile/sim.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
    std::string log = device.logBuffer("main");
    EXPECT_EQ(log.find("5678"), std::string::npos);
    EXPECT_EQ(log.find("12345678"), std::string::npos);

    // Ten wrong PUKs block the card for good.
    for (int i = 0; i < 3; i++)
        result(device, "{\"module\":\"simLock\",\"action\":2,\"pin\":\"0000\"}");
    for (int i = 0; i < 10; i++)
        result(device, "{\"module\":\"simLock\",\"action\":5,\"puk\":\"00000000\",\"newPin\":\"5678\"}");
    JsonPtr blocked = device.requestJson("{\"module\":\"simLock\",\"action\":0}");
    EXPECT_EQ(jsonInt(blocked.get(), "cardState"), 2);
    EXPECT_EQ(jsonInt(blocked.get(), "pinState"), 5);
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":6,\"autoUnlock\":false}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":7}"), 1);
}

TEST(SimLock, AutoUnlockKeepsTheValidPinAcrossRestarts)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    ASSERT_EQ(result(device, "{\"module\":\"simLock\",\"action\":1,\"pin\":\"1234\",\"autoUnlock\":true}"), 0);
    ASSERT_EQ(result(device, "{\"module\":\"simLock\",\"action\":3,\"pin\":\"1234\",\"newPin\":\"24680\"}"), 0);
    EXPECT_EQ(device.readFile(device.statePath("config/29")), "24680");

    // A new process: the stored flag is reported and kept before any action 0,
    // and the card was unlocked at start with the current PIN, spending no try.
    device.stop();
    ASSERT_TRUE(device.start());
    JsonPtr r = device.requestJson("{\"module\":\"simLock\",\"action\":6}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 0);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(r.get(), "autoUnlock")));
    EXPECT_EQ(jsonInt(r.get(), "pinState"), 2);
    EXPECT_EQ(jsonInt(r.get(), "pinRemainingTimes"), 3);
    EXPECT_EQ(device.readFile(device.statePath("config/28")), "1");

    // A modem that reports success as code 18 or 2: the new PIN is stored all
    // the same, and 18 answers result 2 with the fresh state.
    JsonPtr sim = parseJson(device.readFile(device.statePath("mobile/sim.json")));
    cJSON_ReplaceItemInObject(sim.get(), "successCode", cJSON_CreateNumber(18));
    char *text = cJSON_Print(sim.get());
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/sim.json"), text));
    cJSON_free(text);
    r = device.requestJson("{\"module\":\"simLock\",\"action\":3,\"pin\":\"24680\",\"newPin\":\"1357\",\"autoUnlock\":false}");
    EXPECT_EQ(jsonInt(r.get(), "result"), 2);
    EXPECT_EQ(jsonInt(r.get(), "pinState"), 2);
    EXPECT_EQ(device.readFile(device.statePath("config/29")), "1357");
    EXPECT_EQ(device.readFile(device.statePath("config/28")), "1");  // 18 stores no setting

    device.stop();
    ASSERT_TRUE(device.start());
    EXPECT_EQ(simState(device), "2/3/10");
    // Without automatic unlock the locked card waits for its PIN at start.
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":6,\"autoUnlock\":false}"), 0);
    EXPECT_EQ(device.readFile(device.statePath("config/28")), "0");
    device.stop();
    ASSERT_TRUE(device.start());
    EXPECT_EQ(simState(device), "1/3/10");
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":4,\"pin\":\"1357\"}"), 2);
    EXPECT_EQ(simState(device), "2/3/10");
}

// "autoUnlock" of another type stores the flag the module holds; absent,
// nothing is stored. The stored text shows whether it was written.
TEST(SimLock, AutoUnlockOfAnotherTypeStoresTheCurrentFlag)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    const std::string key = device.statePath("config/28");
    const std::string save = "{\"module\":\"simLock\",\"action\":6";
    ASSERT_TRUE(SimDevice::writeFile(key, "01"));
    EXPECT_EQ(result(device, save + "}"), 0);
    EXPECT_EQ(device.readFile(key), "01");
    for (const char *other : {"\"yes\"", "null", "1", "[false]", "{}"}) {
        ASSERT_TRUE(SimDevice::writeFile(key, "01"));
        JsonPtr r = device.requestJson(save + ",\"autoUnlock\":" + other + "}");
        EXPECT_EQ(jsonInt(r.get(), "result"), 0) << other;
        EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(r.get(), "autoUnlock"))) << other;
        EXPECT_EQ(device.readFile(key), "1") << other;
    }
    ASSERT_TRUE(SimDevice::writeFile(key, "00"));
    EXPECT_EQ(result(device, save + ",\"autoUnlock\":0}"), 0);
    EXPECT_EQ(device.readFile(key), "0");
    EXPECT_EQ(result(device, save + ",\"autoUnlock\":true}"), 0);
    EXPECT_EQ(device.readFile(key), "1");
    // A PIN operation stores it too once the card took it.
    ASSERT_TRUE(SimDevice::writeFile(key, "00"));
    EXPECT_EQ(result(device, "{\"module\":\"simLock\",\"action\":1,\"pin\":\"1234\",\"autoUnlock\":\"on\"}"), 0);
    EXPECT_EQ(device.readFile(key), "0");
}

TEST(Message, SmsStoreThroughTheModule)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    JsonPtr count = device.requestJson("{\"module\":\"message\",\"action\":8}");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(jsonInt(count.get(), "result"), 0);
    EXPECT_EQ(jsonInt(count.get(), "count"), 1);

    JsonPtr page = device.requestJson("{\"module\":\"message\",\"action\":0,\"page\":1,\"pageSize\":1}");
    EXPECT_EQ(jsonInt(page.get(), "total"), 2);
    const cJSON *newest = cJSON_GetArrayItem(cJSON_GetObjectItem(page.get(), "messages"), 0);
    EXPECT_EQ(jsonInt(newest, "id"), 2);  // newest first
    JsonPtr read = device.requestJson("{\"module\":\"message\",\"action\":1,\"id\":2}");
    EXPECT_EQ(jsonString(cJSON_GetObjectItem(read.get(), "message"), "text"), "Your data plan is active.");
    EXPECT_EQ(jsonInt(device.requestJson("{\"module\":\"message\",\"action\":8}").get(), "count"), 0);

    JsonPtr sent = device.requestJson(
        "{\"module\":\"message\",\"action\":2,\"number\":\"+15550100\",\"text\":\"caf\\u00e9 \\\"quoted\\\"\",\"extra\":[1]}");
    EXPECT_EQ(jsonInt(sent.get(), "result"), 0);
    int id = jsonInt(sent.get(), "id");
    JsonPtr again = device.requestJson("{\"module\":\"message\",\"action\":1,\"id\":" + std::to_string(id) + "}");
    EXPECT_EQ(jsonString(cJSON_GetObjectItem(again.get(), "message"), "text"), "caf\xc3\xa9 \"quoted\"");
    EXPECT_EQ(result(device, "{\"module\":\"message\",\"action\":2,\"number\":\"12ab\",\"text\":\"x\"}"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"message\",\"action\":2,\"number\":\"123\",\"text\":\"" + std::string(641, 'y') + "\"}"), 1);

    // Deleting names every id or changes nothing.
    EXPECT_EQ(result(device, "{\"module\":\"message\",\"action\":3,\"ids\":[1,999]}"), 2);
    JsonPtr counts = device.requestJson("{\"module\":\"message\",\"action\":5}");
    EXPECT_EQ(jsonInt(counts.get(), "inbox"), 2);
    EXPECT_EQ(jsonInt(counts.get(), "sent"), 1);
    EXPECT_EQ(result(device, "{\"module\":\"message\",\"action\":3,\"ids\":[1," + std::to_string(id) + "]}"), 0);
    counts = device.requestJson("{\"module\":\"message\",\"action\":5}");
    EXPECT_EQ(jsonInt(counts.get(), "inbox"), 1);
    EXPECT_EQ(jsonInt(counts.get(), "sent"), 0);
    EXPECT_EQ(result(device, "{\"module\":\"message\",\"action\":42}"), 1);

    // A broken store answers a failure, never an empty datagram, and is kept.
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/sms.json"), "[1,"));
    EXPECT_EQ(result(device, "{\"module\":\"message\",\"action\":8}"), 1);
    EXPECT_EQ(device.readFile(device.statePath("mobile/sms.json")), "[1,");
}

TEST(Message, FullStoreOfLongMessagesReadsWhole)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    // A full store of the longest texts is about 70 kB of state file.
    std::string store = "{\"nextId\":101,\"messages\":[";
    for (int id = 1; id <= 100; id++) {
        store += std::string(id > 1 ? "," : "") + "{\"id\":" + std::to_string(id) +
                 ",\"box\":\"inbox\",\"number\":\"10086\",\"text\":\"" + std::string(640, 't') +
                 "\",\"time\":\"2026-12-01 09:00:00\",\"read\":" + (id % 2 == 0 ? "true" : "false") + "}";
    }
    store += "]}";
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/sms.json"), store));
    JsonPtr counts = device.requestJson("{\"module\":\"message\",\"action\":5}");
    EXPECT_EQ(jsonInt(counts.get(), "result"), 0);
    EXPECT_EQ(jsonInt(counts.get(), "inbox"), 100);
    EXPECT_EQ(jsonInt(counts.get(), "unread"), 50);
    EXPECT_EQ(result(device, "{\"module\":\"message\",\"action\":2,\"number\":\"123\",\"text\":\"x\"}"), 3);

    // Past the 1 MiB a state file may hold, the store is unreadable (and kept).
    store.insert(store.size() - 2, std::string(1100000, ' '));
    ASSERT_TRUE(SimDevice::writeFile(device.statePath("mobile/sms.json"), store));
    EXPECT_EQ(result(device, "{\"module\":\"message\",\"action\":5}"), 1);
    EXPECT_EQ(device.readFile(device.statePath("mobile/sms.json")).size(), store.size());
}

}  // namespace
