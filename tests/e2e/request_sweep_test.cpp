// Hostile values in every member of every seed request: each number becomes
// each integer extreme, each member each other JSON type, each text a long or
// malformed one. Every request must be answered with one JSON object and the
// server must live through the whole sweep.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/text.h"
#include "tests/support/test_support.h"
#include "tools/request_examples.h"

namespace {

// Steps from the request object to one value: member names and array indexes.
struct Step {
    std::string key;  // empty for an array element
    int index = 0;
};
using Path = std::vector<Step>;

const char *const kExtremes[] = {"2147483647",  "2147483648",  "2147483646",       "-2147483648",
                                 "-2147483649", "-2147483647", "4294967296",       "4294967295",
                                 "9007199254740992", "-9007199254740992", "1e300", "-1e300",
                                 "-1",          "0.5",         "-0.5"};

// The declared integer ranges of kal_contract's tables: each member with one
// also gets its bounds and the values just outside them.
struct DeclaredRange {
    const char *module;
    int action;
    const char *path;
    long long low, high;
    const char *outside;
    int refusal;
    const char *when;
    bool judged;
};

const DeclaredRange kDeclaredRanges[] = {
#include "tests/e2e/contract_ranges.inc"
};

// Every other JSON type; a text of 300 two-byte characters and one that is
// not UTF-8 for text members.
const char *const kOtherTypes[] = {"\"1\"", "1", "true", "false", "null", "[]", "{}", "[1,\"x\"]", "{\"a\":1}"};

std::string longText()
{
    std::string text = "\"";
    for (int i = 0; i < 300; i++)
        text += "\xc3\xa9";
    return text + "\"";
}

void collectPaths(const cJSON *node, Path &path, std::vector<Path> &out)
{
    int index = 0;
    const cJSON *child = nullptr;
    cJSON_ArrayForEach(child, node)
    {
        Step step;
        if (cJSON_IsObject(node))
            step.key = child->string;
        step.index = index++;
        // The module name picks the handler; hostile values in it are only
        // unknown modules.
        if (path.empty() && step.key == "module")
            continue;
        path.push_back(step);
        out.push_back(path);
        if (cJSON_IsObject(child) || cJSON_IsArray(child))
            collectPaths(child, path, out);
        path.pop_back();
    }
}

cJSON *follow(cJSON *root, const Path &path)
{
    cJSON *node = root;
    for (const Step &step : path) {
        node = step.key.empty() ? cJSON_GetArrayItem(node, step.index)
                                : cJSON_GetObjectItemCaseSensitive(node, step.key.c_str());
        if (node == nullptr)
            return nullptr;
    }
    return node;
}

// The path as the range table names it: "a.b[0].c".
std::string pathName(const Path &path)
{
    std::string name;
    for (const Step &step : path)
        name += step.key.empty() ? "[" + std::to_string(step.index) + "]" : (name.empty() ? "" : ".") + step.key;
    return name;
}

// The seed with the value at path replaced by the raw JSON text value:
// the literal goes into the printed text unchanged, so that 2^53 stays
// exact and bytes that are not UTF-8 reach the server as they are.
std::string variant(const cJSON *seed, const Path &path, const std::string &value)
{
    const char *placeholder = "@@SWEEP@@";
    JsonPtr copy(cJSON_Duplicate(seed, 1));
    Path parentPath(path.begin(), path.end() - 1);
    cJSON *parent = follow(copy.get(), parentPath);
    if (parent == nullptr || follow(copy.get(), path) == nullptr)
        return "";
    const Step &last = path.back();
    if (last.key.empty())
        cJSON_ReplaceItemInArray(parent, last.index, cJSON_CreateString(placeholder));
    else
        cJSON_ReplaceItemInObjectCaseSensitive(parent, last.key.c_str(), cJSON_CreateString(placeholder));
    char *printed = cJSON_PrintUnformatted(copy.get());
    std::string text = printed != nullptr ? printed : "";
    cJSON_free(printed);
    size_t at = text.find(std::string("\"") + placeholder + "\"");
    if (at == std::string::npos)
        return "";
    return text.replace(at, strlen(placeholder) + 2, value);
}

// The example requests: one valid request of every action.
std::vector<std::string> seedRequests()
{
    std::vector<std::string> requests;
    char why[256] = {0};
    cJSON *examples = loadRequestExamples(KAL_SOURCE_DIR "/tests/fuzz/corpus", why, sizeof(why));
    EXPECT_NE(examples, nullptr) << why;
    for (int i = 0; i < cJSON_GetArraySize(examples); i++)
        requests.push_back(jsonString(cJSON_GetArrayItem(examples, i), "request"));
    cJSON_Delete(examples);
    return requests;
}

// Requests that end the session on purpose or run for many seconds by
// design are left to their own tests: reboot and power-off, factory
// restore, firmware update and log export.
bool harmless(const cJSON *seed)
{
    std::string module = jsonString(seed, "module");
    int action = jsonInt(seed, "action");
    if (module == "reboot" || module == "restoreDefaults" || module == "update")
        return false;
    return module != "log" || action == 0;
}

// Only requests with members of their own: reads of a whole page carry
// nothing hostile beyond the action code. They are read after the sweep.
bool sweepable(const cJSON *seed)
{
    return harmless(seed) && cJSON_GetArraySize(seed) > 2;
}

}  // namespace

TEST(RequestSweep, EveryHostileMemberIsAnsweredAndTheServerLives)
{
    std::vector<std::string> requests;
    std::vector<std::string> reads;
    for (const std::string &text : seedRequests()) {
        JsonPtr seed = parseJson(text);
        if (seed != nullptr && harmless(seed.get()) && !sweepable(seed.get()))
            reads.push_back(text);
        if (seed == nullptr || !cJSON_IsObject(seed.get()) || !sweepable(seed.get()))
            continue;
        std::vector<Path> paths;
        Path path;
        collectPaths(seed.get(), path, paths);
        for (const Path &p : paths) {
            const cJSON *node = follow(seed.get(), p);
            if (cJSON_IsNumber(node)) {
                for (const char *extreme : kExtremes)
                    requests.push_back(variant(seed.get(), p, extreme));
                for (const DeclaredRange &range : kDeclaredRanges) {
                    if (jsonString(seed.get(), "module") != range.module || jsonInt(seed.get(), "action") != range.action ||
                        pathName(p) != range.path)
                        continue;
                    for (long long value : {range.low - 1, range.low, range.high, range.high + 1})
                        requests.push_back(variant(seed.get(), p, std::to_string(value)));
                }
            }
            if (cJSON_IsString(node)) {
                requests.push_back(variant(seed.get(), p, longText()));
                requests.push_back(variant(seed.get(), p, "\"ab\xc3\x28\xff\xfe" "cd\xe2\x82\""));
            }
            for (const char *other : kOtherTypes)
                requests.push_back(variant(seed.get(), p, other));
        }
    }
    requests.erase(std::remove(requests.begin(), requests.end(), std::string()), requests.end());
    ASSERT_GT(requests.size(), 500u) << "the seed corpus gave too few requests";
    // KAL_SWEEP_DUMP=FILE: the sweep's requests, one a line, to send the
    // same to two servers (tools/compare_servers.py).
    if (const char *dump = getenv("KAL_SWEEP_DUMP")) {
        std::string lines;
        for (const std::string &request : requests)
            lines += request + "\n";
        EXPECT_TRUE(SimDevice::writeFile(dump, lines)) << dump;
    }

    SimDevice device;
    ASSERT_TRUE(device.start());
    std::vector<std::string> crashes;
    std::vector<std::string> unanswered;
    for (const std::string &request : requests) {
        std::string reply = device.request(request, 10000);
        JsonPtr json = parseJson(reply);
        // Valid UTF-8 too: a strict decoder rejects a whole reply otherwise.
        if (json != nullptr && cJSON_IsObject(json.get()) && isUtf8(reply.c_str()))
            continue;
        if (!device.running()) {
            crashes.push_back(request);
            device.stop();
            ASSERT_TRUE(device.start()) << "the server does not start again after: " << request;
        } else {
            unanswered.push_back(request + " -> " + reply);
        }
    }
    // Whatever the sweep stored, every page still reads as JSON of UTF-8.
    for (const std::string &read : reads) {
        std::string reply = device.request(read, 10000);
        JsonPtr json = parseJson(reply);
        if (json == nullptr || !cJSON_IsObject(json.get()) || !isUtf8(reply.c_str()))
            unanswered.push_back(read + " -> " + reply);
    }
    printf("sweep: %zu requests, %zu crashes, %zu not answered with one JSON object of UTF-8\n", requests.size(),
           crashes.size(), unanswered.size());
    for (const std::string &request : crashes)
        ADD_FAILURE() << "server died on: " << request;
    for (const std::string &request : unanswered)
        ADD_FAILURE() << "no JSON object for: " << request;
    EXPECT_TRUE(device.running());
}

namespace {

// Texts of the kinds that break naive cuts and decoders: runs of 2-, 3- and
// 4-byte characters after 0 to 3 ASCII bytes, so that every byte limit a
// member is cut to falls inside some character; combining marks,
// right-to-left text and its overrides, joined emoji, a byte-order mark and
// zero-width characters.
std::vector<std::string> unicodeTexts()
{
    std::vector<std::string> texts;
    for (const char *character : {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80"}) {
        for (int lead = 0; lead < 4; lead++) {
            std::string text(lead, 'a');
            while (text.size() < 80)
                text += character;
            texts.push_back(text);
        }
    }
    texts.push_back("e\xcc\x81\xcc\x81\xcc\x81 n\xcc\x83 a\xcd\xa2\xcd\xa2");
    texts.push_back("\xd9\x85\xd8\xb1\xd8\xad\xd8\xa8\xd8\xa7 \xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d");
    texts.push_back("\xe2\x80\xae" "abc\xe2\x80\xac" "def\xe2\x80\x8f");
    texts.push_back("\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x91\xa7\xf0\x9f\x87\xaf\xf0\x9f\x87\xb5");
    texts.push_back("\xef\xbb\xbf" "a\xe2\x80\x8b" "b\xe2\x80\x8d");
    return texts;
}

std::string jsonText(const std::string &text)
{
    JsonPtr value(cJSON_CreateString(text.c_str()));
    char *printed = cJSON_PrintUnformatted(value.get());
    std::string out = printed != nullptr ? printed : "";
    cJSON_free(printed);
    return out;
}

}  // namespace

// Whatever text a member is given, every reply after it, the reads that show
// the stored text included, is one JSON object of well-formed UTF-8: a store
// that keeps only a text's first bytes must never hand back half a character.
TEST(RequestSweep, EveryReadAfterUnicodeTextsIsUtf8)
{
    std::vector<std::pair<const cJSON *, Path>> members;
    std::vector<JsonPtr> seeds;
    std::vector<std::string> reads;
    for (const std::string &text : seedRequests()) {
        JsonPtr seed = parseJson(text);
        if (seed == nullptr || !cJSON_IsObject(seed.get()) || !harmless(seed.get()))
            continue;
        if (!sweepable(seed.get())) {
            reads.push_back(text);
            continue;
        }
        std::vector<Path> paths;
        Path path;
        collectPaths(seed.get(), path, paths);
        for (const Path &p : paths)
            if (cJSON_IsString(follow(seed.get(), p)))
                members.emplace_back(seed.get(), p);
        seeds.push_back(std::move(seed));
    }
    ASSERT_GT(members.size(), 20u) << "the seed corpus gave too few text members";

    SimDevice device;
    ASSERT_TRUE(device.start());
    std::vector<std::string> bad;
    size_t sent = 0;
    auto check = [&](const std::string &request, const std::string &after) {
        std::string reply = device.request(request, 10000);
        sent++;
        JsonPtr json = parseJson(reply);
        if (json == nullptr || !cJSON_IsObject(json.get()) || !isUtf8(reply.c_str()))
            bad.push_back(request + " -> " + reply + after);
    };
    for (const std::string &text : unicodeTexts()) {
        for (const auto &member : members)
            check(variant(member.first, member.second, jsonText(text)), "");
        for (const std::string &read : reads)
            check(read, " (after the texts " + jsonText(text) + ")");
        ASSERT_TRUE(device.running());
    }
    printf("unicode texts: %zu requests, %zu text members, %zu replies not JSON of UTF-8\n", sent, members.size(),
           bad.size());
    for (const std::string &line : bad)
        ADD_FAILURE() << line;
}
