// libFuzzer target: every input is one datagram for the dispatcher, which
// runs against a simulated device in a temporary root. Each input must be
// answered with exactly one reply.
//
// Byte-level mutation rarely turns a request into one that is still JSON
// and carries a hostile value where a handler reads a number, so a
// structure-aware mutator does most of the work: it parses the input, changes
// one value (an integer extreme, another JSON type, a text at a size bound,
// an added or removed member) and prints it back.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "server/server.h"
#include "server/web_timer.h"
#include "tests/support/inprocess.h"

#include <cjson/cJSON.h>

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

namespace {

// Integer extremes and their neighbours, and the small bounds the modules
// check (profile and page counts, percentages, days).
const char *const kNumbers[] = {"2147483647", "2147483648",  "2147483646",       "-2147483648", "-2147483649",
                                "-2147483647", "4294967296", "4294967295",       "4294967297",  "9007199254740992",
                                "-9007199254740992", "1e300", "-1e300",          "-1",          "0",
                                "0.5",         "-0.5",       "1",                "2",           "3",
                                "15",          "16",         "17",               "20",          "21",
                                "31",          "32",         "100",              "101",         "65536"};

const char *const kOtherTypes[] = {"\"1\"", "\"\"", "1", "true", "false", "null", "[]", "{}", "[1]", "{\"a\":1}"};

// Members the handlers read, for added members.
const char *const kKeys[] = {"action",        "profileSettings", "list",           "defaultProfile", "profileID",
                             "profileName",   "pdpType",         "ipv4ApnType",    "ipv4AuthType",   "page",
                             "pageSize",      "id",              "ids",            "text",           "number",
                             "securityMode",  "mixed",           "mode",           "key",            "ssid",
                             "region",        "bandType",        "channel",        "wirelessMode",   "denyList",
                             "description",   "enable",          "powerLevel",     "autoDisableTime", "settings",
                             "limitation",    "warningPercent",  "paymentDay",     "adjustStatistics", "dhcp",
                             "leaseTime",     "language",        "username",       "password",       "login",
                             "networkSelectionMode", "dataSwitchStatus", "amountPerPage", "pageNumber", "type"};

const size_t kBounds[] = {2, 3, 4, 8, 16, 18, 32, 33, 64, 65, 128, 256};

// A text whose length in bytes is a bound or its neighbour; often with a
// multi-byte character across the bound.
std::string boundText(std::minstd_rand &random)
{
    size_t bound = kBounds[random() % (sizeof(kBounds) / sizeof(kBounds[0]))];
    size_t length = bound - 1 + random() % 3;
    std::string text;
    switch (random() % 4) {
    case 0:
        text.assign(length, 'a');
        break;
    case 3:  // not UTF-8: a lead byte without its continuation
        text.assign(length > 2 ? length - 2 : 0, 'a');
        text += "\xc3\x28";
        break;
    case 1:  // a two-byte character that starts at the last byte that fits
        text.assign(length > 1 ? length - 1 : 0, 'a');
        text += "\xc3\xa9";
        break;
    default:
        while (text.size() + 2 <= length)
            text += "\xc3\xa9";
        break;
    }
    return "\"" + text + "\"";
}

struct Node {
    cJSON *parent;
    cJSON *item;
};

void collect(cJSON *parent, std::vector<Node> &nodes)
{
    cJSON *child = nullptr;
    cJSON_ArrayForEach(child, parent)
    {
        nodes.push_back({parent, child});
        if (cJSON_IsObject(child) || cJSON_IsArray(child))
            collect(child, nodes);
    }
}

// The replacement goes in as a placeholder text and its literal is put into
// the printed text, so that numbers stay exactly as written (2^53, 1e300)
// and texts stay raw bytes.
const char kPlaceholder[] = "@@kal-mutated@@";

bool replaceWithPlaceholder(const Node &node)
{
    cJSON *placeholder = cJSON_CreateString(kPlaceholder);
    if (placeholder == nullptr)
        return false;
    if (cJSON_IsObject(node.parent) && node.item->string != nullptr)
        return cJSON_ReplaceItemInObjectCaseSensitive(node.parent, node.item->string, placeholder);
    return cJSON_ReplaceItemViaPointer(node.parent, node.item, placeholder);
}

// One structural change to root. Returns the literal that replaces the
// placeholder, or "" when the change needs none.
std::string mutateTree(cJSON *root, std::minstd_rand &random)
{
    std::vector<Node> nodes;
    collect(root, nodes);
    unsigned int choice = random() % 8;
    std::string literal;
    if (choice < 3)
        literal = kNumbers[random() % (sizeof(kNumbers) / sizeof(kNumbers[0]))];
    else if (choice < 5)
        literal = kOtherTypes[random() % (sizeof(kOtherTypes) / sizeof(kOtherTypes[0]))];
    else if (choice < 6)
        literal = boundText(random);
    if (choice == 6 || nodes.empty()) {
        // Add a member to some object (the request itself when none).
        std::vector<cJSON *> objects = {root};
        for (const Node &n : nodes) {
            if (cJSON_IsObject(n.item))
                objects.push_back(n.item);
        }
        cJSON *target = objects[random() % objects.size()];
        if (!cJSON_IsObject(target))
            return "";
        const char *key = kKeys[random() % (sizeof(kKeys) / sizeof(kKeys[0]))];
        cJSON_AddItemToObject(target, key, cJSON_CreateString(kPlaceholder));
        return random() % 2 ? kNumbers[random() % (sizeof(kNumbers) / sizeof(kNumbers[0]))] : boundText(random);
    }
    const Node &node = nodes[random() % nodes.size()];
    if (choice == 7) {
        cJSON_Delete(cJSON_DetachItemViaPointer(node.parent, node.item));
        return "";
    }
    return replaceWithPlaceholder(node) ? literal : "";
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t maxSize, unsigned int seed)
{
    std::minstd_rand random(seed);
    // A share of plain byte mutations keeps the parser and the non-JSON
    // paths covered.
    if (random() % 5 == 0)
        return LLVMFuzzerMutate(data, size, maxSize);
    cJSON *root = cJSON_ParseWithLength((const char *)data, size);
    if (root == nullptr || !(cJSON_IsObject(root) || cJSON_IsArray(root))) {
        cJSON_Delete(root);
        return LLVMFuzzerMutate(data, size, maxSize);
    }
    std::string literal = mutateTree(root, random);
    char *printed = cJSON_PrintUnformatted(root);
    cJSON_Delete(root);
    if (printed == nullptr)
        return LLVMFuzzerMutate(data, size, maxSize);
    std::string text = printed;
    cJSON_free(printed);
    std::string quoted = std::string("\"") + kPlaceholder + "\"";
    size_t at = text.find(quoted);
    if (at != std::string::npos)
        text.replace(at, quoted.size(), literal.empty() ? "null" : literal);
    if (text.size() > maxSize || text.empty())
        return LLVMFuzzerMutate(data, size, maxSize);
    memcpy(data, text.data(), text.size());
    return text.size();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char buffer[KAL_REQUEST_BUFFER_SIZE];
    static bool quiet = [] {
        // The dispatcher's diagnostics would drown the fuzzer's own output.
        if (freopen("/dev/null", "w", stdout) == nullptr)
            abort();
        return true;
    }();
    (void)quiet;
    // The server receives at most 40959 bytes and an empty datagram is
    // never dispatched.
    if (size == 0)
        return 0;
    if (size > sizeof(buffer) - 1)
        size = sizeof(buffer) - 1;
    memset(buffer, 0, sizeof(buffer));
    memcpy(buffer, data, size);
    std::string reply = dispatchText(buffer, 5000);
    if (reply.empty())
        abort();  // every dispatched datagram is answered
    // Restarts armed by the request run as they would between requests.
    webTimerRunExpired();
    return 0;
}
