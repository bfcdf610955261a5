// kal_sim and the server changing the same state files at the same time:
// no acknowledged change is lost, nothing reported failed is stored, and a
// reader never sees a file cut short or mixed from two writers.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include <cjson/cJSON.h>

#include "tests/support/test_support.h"

namespace {

const int kEachWay = 60;

bool kalSim(const SimDevice &dev, const std::string &args)
{
    int status = -1;
    commandOutput("KAL_ROOT='" + dev.root() + "' " KAL_SIM_BIN_PATH " " + args + " 2>&1", &status);
    return status == 0;
}

// Parses path over and over until stop is set (or a bound is reached):
// how many reads did not give a JSON object.
struct TornReads {
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::atomic<int> torn{0};
    std::thread thread;

    explicit TornReads(const std::string &path)
        : thread([this, path] {
              for (int i = 0; i < 200000 && !stop; i++) {
                  std::string text = SimDevice::readFile(path);
                  JsonPtr json = parseJson(text);
                  reads++;
                  if (!cJSON_IsObject(json.get()))
                      torn++;
              }
          })
    {
    }
    void finish()
    {
        stop = true;
        thread.join();
    }
};

std::set<std::string> storedTexts(const SimDevice &dev, int *count)
{
    JsonPtr store = parseJson(SimDevice::readFile(dev.statePath("mobile/sms.json")));
    std::set<std::string> texts;
    *count = 0;
    const cJSON *m = nullptr;
    cJSON_ArrayForEach(m, cJSON_GetObjectItemCaseSensitive(store.get(), "messages"))
    {
        texts.insert(jsonString(m, "text"));
        (*count)++;
    }
    return texts;
}

TEST(ConcurrentWriters, IncomingAndSentMessagesAreAllKeptAsAnswered)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    // Room for 100 of the 120: the store's refusals, once full, must not
    // be stored either.
    ASSERT_TRUE(SimDevice::writeFile(dev.statePath("mobile/sms.json"), "{\"nextId\":1,\"messages\":[]}"));
    TornReads reader(dev.statePath("mobile/sms.json"));

    std::set<std::string> received, refused;
    std::thread incoming([&] {
        for (int i = 0; i < kEachWay; i++) {
            std::string text = "in-" + std::to_string(i);
            (kalSim(dev, "sms receive +15550100 " + text) ? received : refused).insert(text);
        }
    });
    std::set<std::string> sent, failed;
    for (int i = 0; i < kEachWay; i++) {
        std::string text = "out-" + std::to_string(i);
        JsonPtr reply =
            dev.requestJson("{\"module\":\"message\",\"action\":2,\"number\":\"+15550111\",\"text\":\"" + text + "\"}");
        (jsonInt(reply.get(), "result") == 0 ? sent : failed).insert(text);
    }
    incoming.join();
    reader.finish();

    int count = 0;
    std::set<std::string> stored = storedTexts(dev, &count);
    EXPECT_EQ(count, (int)stored.size()) << "a message stored twice";
    for (const std::set<std::string> *answered : {&received, &sent})
        for (const std::string &text : *answered)
            EXPECT_EQ(stored.count(text), 1u) << text << " was acknowledged and is lost";
    for (const std::set<std::string> *notDone : {&refused, &failed})
        for (const std::string &text : *notDone)
            EXPECT_EQ(stored.count(text), 0u) << text << " was reported failed and is stored";
    EXPECT_EQ(count, (int)(received.size() + sent.size()));
    // Both sides got through, and only a full store refused them.
    EXPECT_FALSE(received.empty());
    EXPECT_FALSE(sent.empty());
    EXPECT_EQ(count, 100);
    EXPECT_EQ(reader.torn.load(), 0) << "of " << reader.reads.load() << " reads";
    EXPECT_GT(reader.reads.load(), 0);
}

TEST(ConcurrentWriters, RoamingSetsHoldWhileTheSignalChanges)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    TornReads reader(dev.statePath("mobile/modem.json"));

    std::atomic<bool> done{false};
    std::atomic<int> lastSignal{-1};
    std::atomic<int> signals{0};
    std::thread control([&] {
        for (int i = 0; i < 1000 && !done; i++) {
            int level = i % 6;
            if (kalSim(dev, "signal " + std::to_string(level)))
                lastSignal = level;
            signals++;
        }
    });
    int answered = 0, lastRoaming = -1;
    for (int i = 0; i < kEachWay; i++) {
        int roaming = i % 2;
        JsonPtr reply = dev.requestJson("{\"module\":\"wan\",\"action\":1,\"roamingEnabled\":" + std::to_string(roaming) +
                                        "}");
        if (jsonInt(reply.get(), "result") != 0)
            continue;
        answered++;
        lastRoaming = roaming;
        JsonPtr back = dev.requestJson("{\"module\":\"wan\",\"action\":0}");
        EXPECT_EQ(jsonInt(back.get(), "roamingEnabled"), roaming) << "set " << i << " was undone";
    }
    done = true;
    control.join();
    reader.finish();

    EXPECT_EQ(answered, kEachWay);
    EXPECT_GT(signals.load(), 1) << "the controls did not run alongside";
    JsonPtr modem = parseJson(SimDevice::readFile(dev.statePath("mobile/modem.json")));
    EXPECT_EQ(jsonInt(modem.get(), "roamingSwitch"), lastRoaming);
    EXPECT_EQ(jsonInt(modem.get(), "signalLevel"), lastSignal.load());
    EXPECT_EQ(reader.torn.load(), 0) << "of " << reader.reads.load() << " reads";
}

}  // namespace
