// The example requests live once, in the fuzz corpus; the console's
// composer lists them and docs/api.md shows them. These checks keep the
// three in step.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <set>
#include <sstream>
#include <string>

#include <cjson/cJSON.h>

#include "server/handler.h"
#include "tests/support/test_support.h"
#include "tools/request_examples.h"

namespace {

const std::string kCorpus = std::string(KAL_SOURCE_DIR) + "/tests/fuzz/corpus";

JsonPtr loadExamples(const std::string &dir, std::string *why)
{
    char message[512];
    cJSON *list = loadRequestExamples(dir.c_str(), message, sizeof(message));
    *why = message;
    return JsonPtr(list);
}

TEST(RequestExamples, CorpusDocsAndModulesAgree)
{
    std::string why;
    JsonPtr examples = loadExamples(kCorpus, &why);
    ASSERT_TRUE(examples != nullptr) << why;

    std::set<std::string> modules, requests;
    const cJSON *e = nullptr;
    cJSON_ArrayForEach(e, examples.get())
    {
        modules.insert(jsonString(e, "module"));
        std::string request = jsonString(e, "request");
        EXPECT_TRUE(requests.insert(request).second) << "two example files hold " << request;
    }
    for (int i = 0; i < kModuleCount; i++)
        EXPECT_EQ(modules.count(kModules[i]->name), 1u) << "no example request for module " << kModules[i]->name;

    // docs/api.md shows each example request as an indented line of its own.
    std::set<std::string> documented;
    std::istringstream doc(SimDevice::readFile(std::string(KAL_SOURCE_DIR) + "/docs/api.md"));
    std::string line;
    while (std::getline(doc, line)) {
        if (line.rfind("    {\"module\"", 0) == 0)
            documented.insert(line.substr(4));
    }
    for (const std::string &r : requests)
        EXPECT_EQ(documented.count(r), 1u) << "docs/api.md does not show the example " << r;
    for (const std::string &r : documented)
        EXPECT_EQ(requests.count(r), 1u) << "docs/api.md shows " << r << ", which is no example file in the corpus";
}

TEST(RequestExamples, OnlyModuleNamedFilesAreExamples)
{
    char dir[] = "/tmp/kal-examples-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir) != nullptr);
    std::string d = dir;
    ASSERT_TRUE(SimDevice::writeFile(d + "/wlan-3.json", "{\"module\":\"wlan\",\"action\":1,\"securityMode\":0}"));
    ASSERT_TRUE(SimDevice::writeFile(d + "/lan-10.json", "{\"module\":\"lan\",\"action\":0}"));
    ASSERT_TRUE(SimDevice::writeFile(d + "/lan-2.json", "{\"module\":\"lan\",\"action\":1}"));
    // Regression inputs and other fuzzer finds are named otherwise.
    ASSERT_TRUE(SimDevice::writeFile(d + "/unknown-module.json", "{\"module\":\"nosuch\",\"action\":0}"));
    ASSERT_TRUE(SimDevice::writeFile(d + "/regress-wlan-ssid.json", "{\"module\":\"wlan\",\"action\":1,\"ssid\":1}"));
    ASSERT_TRUE(SimDevice::writeFile(d + "/crash-0a1b2c", "\x01\x02"));
    ASSERT_TRUE(SimDevice::writeFile(d + "/wlan-7.json.orig", "{"));

    std::string why;
    JsonPtr examples = loadExamples(d, &why);
    ASSERT_TRUE(examples != nullptr) << why;
    ASSERT_EQ(cJSON_GetArraySize(examples.get()), 3);
    // By module, then action.
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(examples.get(), 0), "file"), "lan-10.json");
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(examples.get(), 1), "file"), "lan-2.json");
    EXPECT_EQ(jsonInt(cJSON_GetArrayItem(examples.get(), 1), "action"), 1);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(examples.get(), 2), "request"),
              "{\"module\":\"wlan\",\"action\":1,\"securityMode\":0}");

    // An example named after one module but asking another is an error, not skipped.
    ASSERT_TRUE(SimDevice::writeFile(d + "/time-4.json", "{\"module\":\"lan\",\"action\":0}"));
    examples = loadExamples(d, &why);
    EXPECT_TRUE(examples == nullptr);
    EXPECT_NE(why.find("time-4.json"), std::string::npos) << why;

    EXPECT_EQ(runCommand("rm -rf '" + d + "'"), 0);
    examples = loadExamples(d, &why);
    EXPECT_TRUE(examples == nullptr);
    EXPECT_NE(why.find("cannot read"), std::string::npos) << why;
}

}  // namespace
