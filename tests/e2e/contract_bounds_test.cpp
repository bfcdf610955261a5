// Each member's declared range over the real socket: its bounds are taken,
// a value just outside gets the member's declared policy (refused with the
// module's usual answer and nothing stored, or left out).
#include <gtest/gtest.h>

#include <limits.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tools/request_examples.h"

namespace {

// One declared integer range of kal_contract's tables.
struct DeclaredRange {
    const char *module;
    int action;
    const char *path;
    long long low, high;
    const char *outside;  // "refused" or "left out"
    int refusal;          // the refused request's "result"; -1 the empty object
    const char *when;     // a switch that must be on for the member to be read
    bool judged;          // by the action or a service, not by the reader
};

const DeclaredRange kDeclaredRanges[] = {
#include "tests/e2e/contract_ranges.inc"
};

// Puts value at path ("a.b[0].c") of request, making what leads there.
void place(cJSON *request, const std::string &path, cJSON *value)
{
    cJSON *node = request;
    size_t at = 0;
    while (true) {
        size_t end = path.find_first_of(".[", at);
        std::string key = path.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (end == std::string::npos) {
            cJSON_DeleteItemFromObjectCaseSensitive(node, key.c_str());
            cJSON_AddItemToObject(node, key.c_str(), value);
            return;
        }
        cJSON *child = cJSON_GetObjectItemCaseSensitive(node, key.c_str());
        bool list = path[end] == '[';
        if (child == nullptr || (list ? !cJSON_IsArray(child) : !cJSON_IsObject(child))) {
            cJSON_DeleteItemFromObjectCaseSensitive(node, key.c_str());
            child = list ? cJSON_CreateArray() : cJSON_CreateObject();
            cJSON_AddItemToObject(node, key.c_str(), child);
        }
        if (list) {
            // Only a list's first element is declared.
            if (cJSON_GetArraySize(child) == 0)
                cJSON_AddItemToArray(child, cJSON_CreateObject());
            child = cJSON_GetArrayItem(child, 0);
            end = path.find('.', end);
        }
        node = child;
        at = end + 1;
    }
}

// The example of module's action with the value at range's path: the literal
// goes into the text as it is, so that no bound is rounded.
std::string withValue(const cJSON *examples, const DeclaredRange &range, long long value)
{
    JsonPtr request(cJSON_CreateObject());
    for (int i = 0; i < cJSON_GetArraySize(examples); i++) {
        const cJSON *e = cJSON_GetArrayItem(examples, i);
        if (jsonString(e, "module") == range.module && jsonInt(e, "action") == range.action) {
            request = parseJson(jsonString(e, "request"));
            break;
        }
    }
    cJSON_AddStringToObject(request.get(), "module", range.module);
    if (!cJSON_HasObjectItem(request.get(), "action"))
        cJSON_AddNumberToObject(request.get(), "action", range.action);
    if (range.when[0] != '\0')
        place(request.get(), range.when, cJSON_CreateTrue());
    place(request.get(), range.path, cJSON_CreateString("@@VALUE@@"));
    char *text = cJSON_PrintUnformatted(request.get());
    std::string out = text;
    cJSON_free(text);
    return out.replace(out.find("\"@@VALUE@@\""), 11, std::to_string(value));
}

int result(SimDevice &device, const std::string &json)
{
    JsonPtr reply = device.requestJson(json);
    return reply != nullptr ? jsonInt(reply.get(), "result") : -100;
}

std::string powerSave(const std::string &level, const std::string &time)
{
    return "{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":" + level +
           ",\"autoDisableTime\":" + time + "}";
}

TEST(ContractBounds, PowerSaveKeepsOnlyWhatItsKeysCanHold)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    const std::string get = "{\"module\":\"power_save\",\"action\":0}";
    for (const char *bound : {"-999999", "9999999", "0"}) {
        ASSERT_EQ(result(device, powerSave(bound, bound)), 0) << bound;
        JsonPtr reply = device.requestJson(get);
        EXPECT_EQ(std::to_string(jsonInt(reply.get(), "powerLevel")), bound);
        EXPECT_EQ(std::to_string(jsonInt(reply.get(), "autoDisableTime")), bound);
    }
    std::string before = device.request(get);
    for (const char *outside : {"-1000000", "10000000", "-2147483648", "2147483647"}) {
        EXPECT_EQ(device.request(powerSave(outside, "1")), "{\n}") << outside;
        EXPECT_EQ(device.request(powerSave("1", outside)), "{\n}") << outside;
    }
    EXPECT_EQ(device.request(get), before);
}

TEST(ContractBounds, LeftOutValuesAnswerZeroAndChangeNothing)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    const std::string wanGet = "{\"module\":\"wan\",\"action\":0}";
    std::string before = device.request(wanGet);
    for (const char *mode : {"4", "7", "-1"})
        EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":1,\"networkPreferredMode\":" + std::string(mode) + "}"),
                  0)
            << mode;
    EXPECT_EQ(device.request(wanGet), before);
    EXPECT_EQ(result(device, "{\"module\":\"wan\",\"action\":1,\"networkPreferredMode\":3}"), 0);
    EXPECT_EQ(jsonInt(device.requestJson(wanGet).get(), "networkPreferredMode"), 3);

    // Flow statistics values are read only while their switch is on.
    const std::string flowGet = "{\"module\":\"flowstat\",\"action\":0}";
    std::string settings = device.request(flowGet);
    EXPECT_EQ(result(device, "{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"limitation\":\"-5\","
                             "\"warningPercent\":101,\"paymentDay\":32}}"),
              0);
    EXPECT_EQ(device.request(flowGet), settings);
    EXPECT_EQ(result(device, "{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"enablePaymentDay\":true,"
                             "\"paymentDay\":32}}"),
              1);
    EXPECT_EQ(device.request(flowGet), settings);
    EXPECT_EQ(result(device, "{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"enablePaymentDay\":true,"
                             "\"paymentDay\":31}}"),
              0);
}

TEST(ContractBounds, WlanAndLanNumbersWithoutARangeArePassedOn)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    ASSERT_EQ(result(device, "{\"module\":\"wlan\",\"action\":1,\"channel\":-2147483648,\"bandType\":2147483647,"
                             "\"wirelessMode\":-1}"),
              0);
    JsonPtr wlan = device.requestJson("{\"module\":\"wlan\",\"action\":0}");
    EXPECT_EQ(jsonInt(wlan.get(), "channel"), -2147483647 - 1);
    EXPECT_EQ(jsonInt(wlan.get(), "bandType"), 2147483647);
    EXPECT_EQ(device.request("{\"module\":\"wlan\",\"action\":1,\"channel\":2147483648}"), "{\n}");
    ASSERT_EQ(result(device, "{\"module\":\"lan\",\"action\":1,\"dhcp\":{\"leaseTime\":-2147483648}}"), 0);
    JsonPtr lan = device.requestJson("{\"module\":\"lan\",\"action\":0}");
    EXPECT_EQ(jsonInt(cJSON_GetObjectItem(lan.get(), "dhcp"), "leaseTime"), -2147483647 - 1);
}

// "mixed" is read only for a network that is secured after the request:
// an open network, as sent or as stored, ignores it whatever it holds.
TEST(ContractBounds, OpenNetworkIgnoresMixed)
{
    SimDevice device;
    ASSERT_TRUE(device.start()) << device.serverOutput();
    const std::string get = "{\"module\":\"wlan\",\"action\":0}";
    ASSERT_EQ(result(device, "{\"module\":\"wlan\",\"action\":1,\"securityMode\":0,\"mixed\":{\"mode\":9}}"), 0);
    for (const char *mixed : {"{\"mode\":9}", "{\"key\":\"short\"}", "{\"mode\":\"x\",\"key\":5}"}) {
        std::string request = "{\"module\":\"wlan\",\"action\":1,\"mixed\":" + std::string(mixed) + "}";
        EXPECT_EQ(result(device, request), 0) << mixed;
        EXPECT_EQ(jsonInt(device.requestJson(get).get(), "securityMode"), 0);
    }
    // Secured by this request: the same values refuse it and nothing changes.
    std::string before = device.request(get);
    EXPECT_EQ(device.request("{\"module\":\"wlan\",\"action\":1,\"securityMode\":1,\"mixed\":{\"mode\":9}}"),
              "{\n}");
    EXPECT_EQ(device.request(get), before);
}

// Every range the reader applies, over the socket, each on a fresh device:
// a value just outside gets the member's policy (the module's refusal, or
// an answer of 0 without the member); the bounds of a range narrower than
// any 32-bit integer get past it (what a service makes of INT_MIN is its
// own affair).
TEST(ContractBounds, EveryDeclaredRangeOverTheSocket)
{
    char why[256] = {0};
    JsonPtr examples(loadRequestExamples(KAL_SOURCE_DIR "/tests/fuzz/corpus", why, sizeof(why)));
    ASSERT_NE(examples, nullptr) << why;
    int checked = 0;
    for (const DeclaredRange &range : kDeclaredRanges) {
        if (range.judged)
            continue;
        SimDevice device;
        ASSERT_TRUE(device.start()) << device.serverOutput();
        std::string refused = range.refusal < 0 ? "{\n}" : "result " + std::to_string(range.refusal);
        auto answer = [&](long long value) {
            std::string reply = device.request(withValue(examples.get(), range, value));
            JsonPtr json = parseJson(reply);
            return reply == "{\n}" ? reply : "result " + std::to_string(jsonInt(json.get(), "result"));
        };
        std::string what = std::string(range.module) + "." + std::to_string(range.action) + " " + range.path;
        for (long long bound : {range.low, range.high}) {
            if (range.low != INT_MIN || range.high != INT_MAX) {
                EXPECT_NE(answer(bound), refused) << what << " = " << bound << " is refused";
            }
        }
        for (long long outside : {range.low - 1, range.high + 1}) {
            std::string expected = std::string(range.outside) == "refused" ? refused : "result 0";
            EXPECT_EQ(answer(outside), expected) << what << " = " << outside;
        }
        checked++;
    }
    EXPECT_GT(checked, 20);
}

}  // namespace
