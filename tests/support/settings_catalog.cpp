#include "tests/support/settings_catalog.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

std::string member(const cJSON *reply, const char *key)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(reply, key);
    if (item == nullptr)
        return "<missing>";
    if (cJSON_IsString(item))
        return item->valuestring;
    if (cJSON_IsBool(item))
        return cJSON_IsTrue(item) ? "true" : "false";
    return std::to_string(item->valueint);
}

std::string memberOf(const cJSON *reply, const char *object, const char *key)
{
    return member(cJSON_GetObjectItemCaseSensitive(reply, object), key);
}

std::string lanRecord(const cJSON *reply)
{
    return member(reply, "ip") + " " + member(reply, "mask") + " " + memberOf(reply, "dhcp", "start") + " " +
           memberOf(reply, "dhcp", "end") + " " + memberOf(reply, "dhcp", "leaseTime");
}

std::string denyList(const cJSON *reply)
{
    std::string text = member(reply, "enable");
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(reply, "denyList");
    for (int i = 0; i < cJSON_GetArraySize(list); i++)
        text += " " + member(cJSON_GetArrayItem(list, i), "mac") + "/" +
                member(cJSON_GetArrayItem(list, i), "description");
    return text;
}

}  // namespace

std::vector<Setting> deviceSettings()
{
    const std::string lanA = "{\"module\":\"lan\",\"action\":1,\"ip\":\"192.168.0.1\",\"mask\":\"255.255.255.0\","
                             "\"dhcp\":{\"enable\":true,\"start\":\"192.168.0.100\",\"end\":\"192.168.0.199\","
                             "\"leaseTime\":86400,\"dns1\":\"192.168.0.1\",\"dns2\":\"0.0.0.0\"}}";
    const std::string lanB = "{\"module\":\"lan\",\"action\":1,\"ip\":\"10.8.0.1\",\"mask\":\"255.255.0.0\","
                             "\"dhcp\":{\"enable\":true,\"start\":\"10.8.0.20\",\"end\":\"10.8.3.250\","
                             "\"leaseTime\":43200,\"dns1\":\"10.8.0.1\",\"dns2\":\"0.0.0.0\"}}";
    auto flowstat = [](const char *limit, int day) {
        return std::string("{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"enableDataLimit\":true,"
                           "\"limitation\":\"") +
               limit + "\",\"warningPercent\":" + std::to_string(50 + day) +
               ",\"enablePaymentDay\":true,\"paymentDay\":" + std::to_string(day) + "}}";
    };
    return {
        {"language",
         {"{\"module\":\"webServer\",\"action\":1,\"language\":\"de\"}",
          "{\"module\":\"webServer\",\"action\":1,\"language\":\"fr\"}"},
         {"de", "fr"},
         "{\"module\":\"webServer\",\"action\":0}",
         [](const cJSON *r) { return member(r, "language"); }},
        {"ssid",
         {"{\"module\":\"wlan\",\"action\":1,\"ssid\":\"Crash A\"}",
          "{\"module\":\"wlan\",\"action\":1,\"ssid\":\"Crash \\\"B\\\"\"}"},
         {"Crash A", "Crash \"B\""},
         "{\"module\":\"wlan\",\"action\":0}",
         [](const cJSON *r) { return member(r, "ssid"); }},
        {"wlan key",
         {"{\"module\":\"wlan\",\"action\":1,\"mixed\":{\"mode\":2,\"key\":\"crashkey1\"}}",
          "{\"module\":\"wlan\",\"action\":1,\"mixed\":{\"mode\":2,\"key\":\"crash key 2!\"}}"},
         {"crashkey1", "crash key 2!"},
         "{\"module\":\"wlan\",\"action\":0}",
         [](const cJSON *r) { return memberOf(r, "mixed", "key"); }},
        {"deny list",
         {"{\"module\":\"macFilters\",\"action\":1,\"enable\":true,\"mode\":1,\"denyList\":["
          "{\"mac\":\"02:00:00:00:00:0a\",\"description\":\"tv\"},{\"mac\":\"02:00:00:00:00:0b\","
          "\"description\":\"phone\"}]}",
          "{\"module\":\"macFilters\",\"action\":1,\"enable\":false,\"mode\":1}"},
         {"true 02:00:00:00:00:0a/tv 02:00:00:00:00:0b/phone", "false"},
         "{\"module\":\"macFilters\",\"action\":0}",
         denyList},
        {"power level",
         {"{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":1,\"autoDisableTime\":30}",
          "{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":3,\"autoDisableTime\":60}"},
         {"1", "3"},
         "{\"module\":\"power_save\",\"action\":0}",
         [](const cJSON *r) { return member(r, "powerLevel"); }},
        {"switch-off time",
         {"{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":1,\"autoDisableTime\":30}",
          "{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":3,\"autoDisableTime\":60}"},
         {"30", "60"},
         "{\"module\":\"power_save\",\"action\":0}",
         [](const cJSON *r) { return member(r, "autoDisableTime"); }},
        {"lan record", {lanA, lanB},
         {"192.168.0.1 255.255.255.0 192.168.0.100 192.168.0.199 86400",
          "10.8.0.1 255.255.0.0 10.8.0.20 10.8.3.250 43200"},
         "{\"module\":\"lan\",\"action\":0}",
         lanRecord},
        // The module saves these through separate calls of the flow
        // statistics service, so a cut between them may leave one value of
        // each write: each is checked on its own.
        {"data limit",
         {flowstat("1024.5", 3), flowstat("2048.25", 17)},
         {"1024.500000", "2048.250000"},
         "{\"module\":\"flowstat\",\"action\":0}",
         [](const cJSON *r) { return memberOf(r, "settings", "limitation"); }},
        {"payment day",
         {flowstat("1024.5", 3), flowstat("2048.25", 17)},
         {"3", "17"},
         "{\"module\":\"flowstat\",\"action\":0}",
         [](const cJSON *r) { return memberOf(r, "settings", "paymentDay"); }},
        {"warning percent",
         {flowstat("1024.5", 3), flowstat("2048.25", 17)},
         {"53", "67"},
         "{\"module\":\"flowstat\",\"action\":0}",
         [](const cJSON *r) { return memberOf(r, "settings", "warningPercent"); }},
        {"share account",
         {"{\"module\":\"storageShare\",\"action\":1,\"mode\":1,\"login\":1,\"username\":\"crash_a\"}",
          "{\"module\":\"storageShare\",\"action\":1,\"mode\":1,\"login\":0,\"username\":\"crash_b\"}"},
         {"crash_a", "crash_b"},
         "{\"module\":\"storageShare\",\"action\":0}",
         [](const cJSON *r) { return member(r, "username"); }},
        {"share login",
         {"{\"module\":\"storageShare\",\"action\":1,\"mode\":1,\"login\":1,\"username\":\"crash_a\"}",
          "{\"module\":\"storageShare\",\"action\":1,\"mode\":1,\"login\":0,\"username\":\"crash_b\"}"},
         {"1", "0"},
         "{\"module\":\"storageShare\",\"action\":0}",
         [](const cJSON *r) { return member(r, "login"); }},
        {"mobile settings",
         {"{\"module\":\"wan\",\"action\":1,\"roamingEnabled\":1,\"networkPreferredMode\":2}",
          "{\"module\":\"wan\",\"action\":1,\"roamingEnabled\":0,\"networkPreferredMode\":3}"},
         {"1 2", "0 3"},
         "{\"module\":\"wan\",\"action\":0}",
         [](const cJSON *r) { return member(r, "roamingEnabled") + " " + member(r, "networkPreferredMode"); }},
        {"automatic unlock",
         {"{\"module\":\"simLock\",\"action\":6,\"autoUnlock\":true}",
          "{\"module\":\"simLock\",\"action\":6,\"autoUnlock\":false}"},
         {"true", "false"},
         "{\"module\":\"simLock\",\"action\":0}",
         [](const cJSON *r) { return member(r, "autoUnlock"); }},
        {"time zone",
         {"{\"module\":\"time\",\"action\":1,\"id\":\"Asia/Tokyo\"}",
          "{\"module\":\"time\",\"action\":1,\"id\":\"America/Argentina/ComodRivadavia\"}"},
         {"Asia/Tokyo", "America/Argentina/ComodRivadavia"},
         "{\"module\":\"time\",\"action\":0}",
         [](const cJSON *r) { return member(r, "id"); }},
    };
}

std::vector<std::string> otherChanges()
{
    return {
        "{\"module\":\"message\",\"action\":2,\"number\":\"+15550100\",\"text\":\"crash test\"}",
        "{\"module\":\"message\",\"action\":4,\"id\":1}",
        "{\"module\":\"wan\",\"action\":2,\"profileSettings\":{\"list\":[{\"profileID\":0,\"profileName\":\"Crash\","
        "\"pdpType\":0,\"ipv4ApnType\":0,\"ipv4Apn\":\"crash.apn\",\"ipv4Username\":\"\",\"ipv4Password\":\"\","
        "\"ipv4AuthType\":0}],\"defaultProfile\":1}}",
        "{\"module\":\"wan\",\"action\":3,\"profileSettings\":{\"list\":[{\"profileID\":1}],\"defaultProfile\":1}}",
        "{\"module\":\"webServer\",\"action\":3}",
        "{\"module\":\"update\",\"action\":1}",
    };
}

std::vector<std::string> filesUnder(const std::string &dir)
{
    std::string list = commandOutput("find '" + dir + "' -type f | sort");
    std::vector<std::string> files;
    std::istringstream in(list);
    std::string line;
    while (std::getline(in, line))
        files.push_back(line);
    return files;
}

// Every state file in its own format: JSON objects, "name=value" lines,
// uci packages, and configuration keys that hold a value. Temporary files
// of writes cut short are skipped: the next start removes them.
void expectStateFilesParse(const std::string &root, const std::string &label)
{
    SCOPED_TRACE(label);
    for (const std::string &file : filesUnder(root)) {
        if (file.find(".tmp") != std::string::npos)
            continue;
        std::string text = SimDevice::readFile(file);
        std::string name = file.substr(root.size());
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) {
            JsonPtr json = parseJson(text);
            EXPECT_TRUE(cJSON_IsObject(json.get()) || cJSON_IsArray(json.get())) << name << ":\n" << text;
        } else if (name == "/app/config/hostapd.conf" || name == "/sim/network/lan_config" ||
                   name == "/sim/network/wan" || name == "/sim/flowstat/state" || name == "/sim/upgrade/state" ||
                   name == "/sim/sdcard") {
            EXPECT_FALSE(text.empty()) << name;
            EXPECT_EQ(text.back(), '\n') << name << " is cut short";
            std::istringstream lines(text);
            std::string line;
            while (std::getline(lines, line)) {
                if (!line.empty() && line[0] != '#') {
                    EXPECT_NE(line.find('='), std::string::npos) << name << ": \"" << line << "\"";
                }
            }
        } else if (name == "/etc/config/storageshare" || name == "/app/default_config/storageshare") {
            EXPECT_NE(text.find("config property"), std::string::npos) << name << ":\n" << text;
            EXPECT_NE(text.find("option access_mode '"), std::string::npos) << name << ":\n" << text;
            EXPECT_NE(text.find("option ifanon '"), std::string::npos) << name << ":\n" << text;
        } else if (name.compare(0, 12, "/sim/config/") == 0 && name != "/sim/config/29") {
            EXPECT_FALSE(text.empty()) << "configuration key " << name.substr(12) << " is empty";
        }
    }
}

