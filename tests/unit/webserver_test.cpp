// The language and factory flag reach the configuration store and back.
#include <gtest/gtest.h>

#include "modules/admin/webserver.h"
#include "platform/config_store.h"
#include "tests/support/inprocess.h"
#include "tests/support/test_support.h"

namespace {

std::string readKey(int key)
{
    char buffer[64] = {0};
    return get_config_data(key, buffer, sizeof(buffer)) == 0 ? buffer : "<missing>";
}

TEST(WebServer, LanguageRoundTripAndRejections)
{
    inProcessRoot();
    JsonPtr reply = parseJson(dispatchText("{\"module\":\"webServer\",\"action\":1,\"language\":\"fr\"}"));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    reply = parseJson(dispatchText("{\"module\":\"webServer\",\"action\":0}"));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_EQ(jsonString(reply.get(), "language"), "fr");

    // Missing or non-string languages change nothing.
    for (const char *bad : {"{\"module\":\"webServer\",\"action\":1}",
                            "{\"module\":\"webServer\",\"action\":1,\"language\":7}",
                            "{\"module\":\"webServer\",\"action\":1,\"language\":null}"}) {
        reply = parseJson(dispatchText(bad));
        EXPECT_EQ(jsonInt(reply.get(), "result"), 1) << bad;
        EXPECT_EQ(readKey(CFG_LANGUAGE), "fr");
    }

    // A longer code is stored whole and reads back cut to the 3-character buffer.
    reply = parseJson(dispatchText("{\"module\":\"webServer\",\"action\":1,\"language\":\"zh-TW\"}"));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_EQ(readKey(CFG_LANGUAGE), "zh-TW");
    reply = parseJson(dispatchText("{\"module\":\"webServer\",\"action\":0}"));
    EXPECT_EQ(jsonString(reply.get(), "language"), "zh-");
}

TEST(WebServer, FactoryFlagAndUndefinedActions)
{
    inProcessRoot();
    ASSERT_EQ(set_config_data_permanent(CFG_FACTORY_DEFAULT_FLAG, "0", 1), 0);
    JsonPtr reply = parseJson(dispatchText("{\"module\":\"webServer\",\"action\":3}"));
    EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
    EXPECT_EQ(readKey(CFG_FACTORY_DEFAULT_FLAG), "1");

    for (const char *code : {"-1", "4", "2147483647", "-2147483648"}) {
        std::string request = std::string("{\"module\":\"webServer\",\"action\":") + code + "}";
        reply = parseJson(dispatchText(request));
        ASSERT_TRUE(reply) << request;
        EXPECT_EQ(jsonInt(reply.get(), "result"), 1) << request;
        EXPECT_EQ(cJSON_GetArraySize(reply.get()), 1) << request;
    }
}

}  // namespace
