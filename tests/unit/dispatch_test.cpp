// The dispatcher answers every datagram exactly once, whatever it holds.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
