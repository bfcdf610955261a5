// The request reader: what a refusal says, the policies for values of
// another type, the operator code form and undeclared member names.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "server/handler.h"
#include "tests/support/test_support.h"

namespace {

const Member kEntry[] = {
    textOrAbsent("mac", 0, 0, TEXT_MAC, NULL).required().otherwise(POLICY_REFUSE),
    textOrAbsent("note", 0, 4, TEXT_ANY, NULL),
};

const Member kTable[] = {
    integer("level", 0, 9, NULL),
    textOrAbsent("name", 1, 0, TEXT_WORD, NULL),
    list("entries", 2, kEntry, NULL).otherwise(POLICY_REFUSE),
    textOrAbsent("code", 0, 0, TEXT_OPERATOR, NULL).otherwise(POLICY_REFUSE),
};

struct Read {
    int answer;
    MemberRefusal refusal;  // its item gone with the request
    bool sent;              // whether the refusal had the value as sent
};

Read readText(const char *json, const Member *members, int count)
{
    JsonPtr request = parseJson(json);
    Read r;
    memset(&r, 0, sizeof(r));
    Request values;
    r.answer = readMembers(request.get(), members, count, &values, &r.refusal);
    r.sent = r.refusal.item != NULL;
    return r;
}

void expectRefusal(const char *json, const char *member, int element, RefusalReason reason, bool sent)
{
    Read r = readText(json, kTable, ACTION_COUNT(kTable));
    EXPECT_EQ(r.answer, -1) << json;
    ASSERT_NE(r.refusal.member, nullptr) << json;
    EXPECT_STREQ(r.refusal.member->name, member) << json;
    EXPECT_EQ(r.refusal.element, element) << json;
    EXPECT_EQ(r.refusal.reason, reason) << json;
    EXPECT_EQ(r.sent, sent) << json;
}

TEST(RequestReader, RefusalNamesTheMemberItsElementAndWhy)
{
    EXPECT_EQ(readText("{\"level\":3,\"entries\":[{\"mac\":\"00:11:22:33:44:55\"}],\"code\":\"00101x\"}", kTable,
                       ACTION_COUNT(kTable)).answer,
              0);
    expectRefusal("{\"level\":\"3\"}", "level", -1, REFUSED_TYPE, true);
    expectRefusal("{\"level\":10}", "level", -1, REFUSED_RANGE, true);
    expectRefusal("{\"name\":\"\"}", "name", -1, REFUSED_LENGTH, true);
    expectRefusal("{\"name\":\"a b\"}", "name", -1, REFUSED_FORM, true);
    expectRefusal("{\"name\":\"a\xff\"}", "name", -1, REFUSED_NOT_UTF8, true);
    expectRefusal("{\"entries\":{}}", "entries", -1, REFUSED_TYPE, true);
    expectRefusal("{\"entries\":[{},{},{}]}", "entries", -1, REFUSED_ELEMENTS, true);
    // Element by element, each element's members in their order.
    expectRefusal("{\"entries\":[{\"mac\":\"00:11:22:33:44:55\"},{\"note\":\"toolong\"}]}", "mac", 1,
                  REFUSED_MISSING, false);
    expectRefusal("{\"entries\":[{\"mac\":\"00:11:22:33:44:55\",\"note\":\"toolong\"},{}]}", "note", 0,
                  REFUSED_LENGTH, true);
    expectRefusal("{\"entries\":[{\"mac\":7}]}", "mac", 0, REFUSED_TYPE, true);
    // An operator code: no leading digit, or five or six of them.
    for (const char *code : {"", "abc", "00101", "001101", "001011x"}) {
        std::string json = std::string("{\"code\":\"") + code + "\"}";
        EXPECT_EQ(readText(json.c_str(), kTable, ACTION_COUNT(kTable)).answer, 0) << code;
    }
    expectRefusal("{\"code\":\"00101\xff\"}", "code", -1, REFUSED_NOT_UTF8, true);
    expectRefusal("{\"code\":\"0010\"}", "code", -1, REFUSED_FORM, true);
    expectRefusal("{\"code\":\"0011011\"}", "code", -1, REFUSED_FORM, true);
    expectRefusal("{\"code\":1}", "code", -1, REFUSED_TYPE, true);
}

TEST(RequestReader, ValuesOfAnotherTypeByPolicy)
{
    const Member members[] = {
        booleanOrAbsent("flag", NULL).otherwise(POLICY_CURRENT),
        list("items", 4, kEntry, NULL).otherwise(POLICY_AS_SENT),
    };
    const int current = 7;
    JsonPtr request = parseJson("{\"flag\":\"yes\",\"items\":{\"first\":{}}}");
    Request values;
    ASSERT_EQ(readMembers(request.get(), members, 2, &values, NULL, &current), 0);
    EXPECT_TRUE(values.has("flag"));
    EXPECT_EQ(values.number("flag"), 7);
    // The object as sent, its members not read as elements.
    EXPECT_EQ(values.get("items").item, cJSON_GetObjectItem(request.get(), "items"));
    EXPECT_EQ(values.size("items"), 0);

    // Without a current value a flag of another type is as if absent.
    ASSERT_EQ(readMembers(request.get(), members, 2, &values, NULL, NULL), 0);
    EXPECT_FALSE(values.has("flag"));
    request = parseJson("{\"flag\":false}");
    ASSERT_EQ(readMembers(request.get(), members, 2, &values, NULL, &current), 0);
    EXPECT_EQ(values.number("flag"), 0);
    EXPECT_FALSE(values.has("items"));
}

#if KAL_PLATFORM_SIM
TEST(RequestReaderDeathTest, UndeclaredNameStopsTheSimulatedDevice)
{
    // Forked, not run again by exec: under qemu-user the binary cannot be
    // exec'd directly.
    GTEST_FLAG_SET(death_test_style, "fast");
    JsonPtr request = parseJson("{\"level\":1,\"nosuch\":1}");
    Request values;
    ASSERT_EQ(readMembers(request.get(), kTable, ACTION_COUNT(kTable), &values, NULL), 0);
    EXPECT_DEATH(values.get("nosuch"), "request member \"nosuch\" is not declared");
    EXPECT_DEATH(values.nested("nosuch"), "request member \"nosuch\" is not declared");
    EXPECT_DEATH(values.nested("entries", 0).has("level"), "request member \"level\" is not declared");
}
#endif

}  // namespace
