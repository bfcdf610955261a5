// The fuzzer's committed corpus (a valid request for every action, and the
// inputs of faults found so far) replayed through the dispatcher in every
// build, sanitizer build included: each datagram gets one JSON object back.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include <cjson/cJSON.h>

#include "server/web_timer.h"
#include "tests/support/inprocess.h"
#include "tests/support/test_support.h"

namespace {

std::vector<std::string> corpusFiles()
{
    std::vector<std::string> files;
    std::string dir = std::string(KAL_SOURCE_DIR) + "/tests/fuzz/corpus";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return files;
    while (struct dirent *entry = readdir(d)) {
        if (entry->d_name[0] != '.')
            files.push_back(dir + "/" + entry->d_name);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

TEST(CorpusReplay, EveryInputIsAnsweredWithOneObject)
{
    std::vector<std::string> files = corpusFiles();
    ASSERT_GE(files.size(), 60u) << "corpus missing";
    // Twice: the second pass meets the state the first one left.
    for (int pass = 0; pass < 2; pass++) {
        for (const std::string &file : files) {
            std::string input = SimDevice::readFile(file);
            // The server cuts a datagram at 40959 bytes and NUL-terminates it.
            input = input.substr(0, 40959).c_str();
            std::string reply = dispatchText(input.c_str(), 5000);
            cJSON *json = cJSON_Parse(reply.c_str());
            EXPECT_TRUE(cJSON_IsObject(json)) << file << " answered: \"" << reply << "\"";
            cJSON_Delete(json);
            webTimerRunExpired();
        }
    }
}

}  // namespace
