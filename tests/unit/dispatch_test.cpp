// The dispatcher answers every datagram exactly once, whatever it holds.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "server/handler.h"
#include "tests/support/inprocess.h"
#include "tests/support/test_support.h"

namespace {

const char kFailure[] = "{\"result\": -10 }";

TEST(Dispatch, MalformedRequestsGetTheFailureReply)
{
    const char *cases[] = {
        "",                                   // empty text
        "not json",                           // not JSON
        "{\"module\":\"webServer\"",          // cut short
        "{\"action\":0}",                     // no module
        "{\"module\":5,\"action\":0}",        // module not a string
        "{\"module\":null,\"action\":0}",     // module null
        "{\"module\":\"webServer\"}",         // no action
        "{\"module\":\"WebServer\",\"action\":0}",  // names are case-sensitive
        "{\"module\":\"webServerX\",\"action\":0}", // no prefix matches
        "{\"module\":\"\",\"action\":0}",
        "[1,2,3]",
        "\"webServer\"",
        "{\"module\":\"webServer\",\"action\":0",
    };
    for (const char *text : cases)
        EXPECT_EQ(dispatchText(text), kFailure) << "request: " << text;
    EXPECT_EQ(dispatchText((const char *)nullptr), kFailure);
    EXPECT_EQ(std::string(kFailure).size(), 16u);
}

TEST(Dispatch, ActionIsTakenByIntegerValueWithoutTypeCheck)
{
    // A string action counts as 0: the language query, not the setter.
    JsonPtr reply = parseJson(dispatchText("{\"module\":\"webServer\",\"action\":\"1\",\"language\":\"de\"}"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_FALSE(jsonString(reply.get(), "language").empty());
    EXPECT_NE(jsonString(reply.get(), "language"), "de");

    // Fractions are truncated, and null/true/objects carry no integer value.
    reply = parseJson(dispatchText("{\"module\":\"webServer\",\"action\":2.9}"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    reply = parseJson(dispatchText("{\"module\":\"webServer\",\"action\":{}}"));
    ASSERT_TRUE(reply);
    EXPECT_TRUE(cJSON_GetObjectItem(reply.get(), "language") != nullptr);
}

TEST(Dispatch, ReplyIsFormattedJsonWithoutNul)
{
    std::string reply = dispatchText("{\"module\":\"webServer\",\"action\":2}");
    EXPECT_EQ(reply, "{\n\t\"result\":\t0\n}");
    EXPECT_EQ(reply.find('\0'), std::string::npos);
}

TEST(Dispatch, DeeplyNestedAndHugeRequestsDoNotCrash)
{
    std::string deep(40000, '[');
    EXPECT_EQ(dispatchText(deep), kFailure);
    std::string big = "{\"module\":\"webServer\",\"action\":2,\"pad\":\"" + std::string(40000, 'x') + "\"}";
    EXPECT_EQ(parseJson(dispatchText(big)) != nullptr, true);
}

// The module list is the whole command set: each module is found by its wire
// name, once, and answers a request without the objects it needs with 1,
// adding at most "result" 1, whatever its policy.
TEST(ModuleList, EveryModuleIsFoundByNameAndRefusesMissingObjects)
{
    inProcessRoot();
    std::set<std::string> names;
    Started started = {0, 0};
    for (int i = 0; i < kModuleCount; i++) {
        const Module &module = *kModules[i];
        SCOPED_TRACE(module.name);
        EXPECT_TRUE(names.insert(module.name).second);
        EXPECT_EQ(findModule(module.name), &module);
        cJSON *response = cJSON_CreateObject();
        cJSON *noAction = cJSON_Parse("{\"module\":\"x\"}");
        EXPECT_EQ(handleRequest(module, nullptr, response, started), 1);
        EXPECT_EQ(handleRequest(module, noAction, nullptr, started), 1);
        if (module.handler == nullptr) {
            EXPECT_EQ(handleRequest(module, noAction, response, started), 1);
            int added = module.policy.answerMissingAction ? 1 : 0;
            // Two refusals, each adding "result" when the policy says so.
            EXPECT_EQ(cJSON_GetArraySize(response), added * 2) << cJSON_PrintUnformatted(response);
        }
        cJSON_Delete(noAction);
        cJSON_Delete(response);
    }
    EXPECT_EQ(kModuleCount, 17);
    EXPECT_EQ(findModule("nosuch"), nullptr);
    EXPECT_EQ(findModule(""), nullptr);
}

}  // namespace
