// kal_sim and the server changing the same state files at the same time:
// no acknowledged change is lost, nothing reported failed is stored, and a
// reader never sees a file cut short or mixed from two writers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include <cjson/cJSON.h>

#include "tests/support/test_support.h"
#include "tests/workbench/workbench_support.h"

namespace {

const int kEachWay = 60;

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
            (kalSim(dev, "sms receive +15550100 " + text).status == 0 ? received : refused).insert(text);
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
            if (kalSim(dev, "signal " + std::to_string(level)).status == 0)
                lastSignal = level;
            signals++;
        }
    });
    int answered = 0, lastRoaming = -1;
    for (int i = 0; i < kEachWay; i++) {
        int roaming = i % 2;
        std::string set = "{\"module\":\"wan\",\"action\":1,\"roamingEnabled\":" + std::to_string(roaming) + "}";
        JsonPtr reply = dev.requestJson(set);
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

// 60 kal_sim commands at once while the server sends as fast as it is
// asked: every one gets its turn, however long the queue, since each
// holder keeps the lock for one change only. Each send is found stored
// when acknowledged, then deleted to keep room in the store.
TEST(ConcurrentWriters, EveryControlGetsThroughABusyServer)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    ASSERT_TRUE(SimDevice::writeFile(dev.statePath("mobile/sms.json"), "{\"nextId\":1,\"messages\":[]}"));
    TornReads reader(dev.statePath("mobile/sms.json"));

    std::string failures;
    std::thread incoming([&] {
        std::string loop = "for i in $(seq 0 " + std::to_string(kEachWay - 1) + "); do (out=$(KAL_ROOT='" +
                           dev.root() + "' " KAL_SIM_BIN_PATH " sms receive +15550100 in-$i 2>&1) || "
                           "echo \"in-$i: $out\") & done; wait";
        int status = -1;
        failures = commandOutput(loop, &status);
    });
    int sent = 0;
    for (int i = 0; i < kEachWay; i++) {
        std::string text = "out-" + std::to_string(i);
        JsonPtr reply =
            dev.requestJson("{\"module\":\"message\",\"action\":2,\"number\":\"+15550111\",\"text\":\"" + text + "\"}");
        EXPECT_EQ(jsonInt(reply.get(), "result"), 0) << text;
        if (jsonInt(reply.get(), "result") != 0)
            continue;
        sent++;
        int count = 0;
        EXPECT_EQ(storedTexts(dev, &count).count(text), 1u) << text << " was acknowledged and is not stored";
        std::string remove = "{\"module\":\"message\",\"action\":3,\"id\":" +
                             std::to_string(jsonInt(reply.get(), "id")) + "}";
        EXPECT_EQ(jsonInt(dev.requestJson(remove).get(), "result"), 0) << text;
    }
    incoming.join();
    reader.finish();

    EXPECT_EQ(failures, "") << "kal_sim commands failed";
    EXPECT_EQ(sent, kEachWay);
    int count = 0;
    std::set<std::string> stored = storedTexts(dev, &count);
    EXPECT_EQ(count, kEachWay);
    for (int i = 0; i < kEachWay; i++)
        EXPECT_EQ(stored.count("in-" + std::to_string(i)), 1u) << "in-" << i;
    EXPECT_EQ(reader.torn.load(), 0) << "of " << reader.reads.load() << " reads";
}

// A writer that keeps the lock: each of the others gives up after about a
// second with one line saying who holds it, and changes nothing; the
// server's next request for the same holder gives up at once instead of
// waiting again. Once it lets go, they all work again.
TEST(ConcurrentWriters, AStuckLockHolderHoldsNobodyUpForLong)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    std::string lockFile = dev.statePath(".lock");
    int fd = open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << "the server did not create " << lockFile;
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    std::string modem = SimDevice::readFile(dev.statePath("mobile/modem.json"));
    std::string holder = "process " + std::to_string(getpid());

    int status = -1;
    std::string out =
        commandOutput("KAL_ROOT='" + dev.root() + "' " KAL_SIM_BIN_PATH " signal 1 2>&1", &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "kal_sim: cannot lock " + lockFile + ": " + holder + " has held it for more than a second\n");
    std::string uciSet = "KAL_ROOT='" + dev.root() + "' " KAL_SOURCE_DIR "/sim/bin/uci set storageshare.property.ifanon=1";
    out = commandOutput(uciSet + " 2>&1", &status);
    EXPECT_NE(status, 0);
    EXPECT_EQ(out, "uci: cannot lock " + lockFile + ": another process holds it\n");
    // A wide bound: the wait is one second, however slow the machine.
    long long start = nowMs();
    JsonPtr reply = dev.requestJson("{\"module\":\"wan\",\"action\":1,\"roamingEnabled\":1}");
    EXPECT_LT(nowMs() - start, 10000);
    EXPECT_NE(jsonInt(reply.get(), "result"), 0);
    EXPECT_NE(dev.serverOutput().find("simulated device: cannot lock " + lockFile + ": " + holder + " has held it"),
              std::string::npos)
        << dev.serverOutput();
    reply = dev.requestJson("{\"module\":\"wan\",\"action\":1,\"roamingEnabled\":1}");
    EXPECT_NE(jsonInt(reply.get(), "result"), 0);
    EXPECT_NE(dev.serverOutput().find(": " + holder + " still holds it"), std::string::npos) << dev.serverOutput();
    EXPECT_EQ(SimDevice::readFile(dev.statePath("mobile/modem.json")), modem);
    // What only reads takes no lock, so the holder stops none of it.
    EXPECT_EQ(dev.request("{\"module\":\"webServer\",\"action\":0}").empty(), false);
    EXPECT_EQ(jsonInt(dev.requestJson("{\"module\":\"message\",\"action\":0}").get(), "result"), 0);
    EXPECT_EQ(jsonInt(dev.requestJson("{\"module\":\"message\",\"action\":5}").get(), "result"), 0);
    for (const char *reading : {"show", "fault list", "snapshot list"}) {
        SimRun r = kalSim(dev, reading);
        EXPECT_EQ(r.status, 0) << reading << ": " << r.out;
    }
    EXPECT_EQ(dev.serverOutput().find("cannot lock", dev.serverOutput().find("still holds it") + 1), std::string::npos)
        << dev.serverOutput();

    close(fd);
    EXPECT_EQ(kalSim(dev, "signal 1").status, 0);
    EXPECT_EQ(jsonInt(dev.requestJson("{\"module\":\"wan\",\"action\":1,\"roamingEnabled\":1}").get(), "result"), 0);
    EXPECT_EQ(runCommand(uciSet), 0);
}

// Start-up removes the temporary files of writes a crash cut short, but
// not that of a writer at work: it waits for the lock the writer holds.
TEST(ConcurrentWriters, StartUpLeavesALiveWritersTemporaryFileAlone)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    dev.stop();
    std::string modem = dev.statePath("mobile/modem.json");
    std::string stale = dev.statePath("mobile/sms.json.tmp.Q1w2E3");
    ASSERT_TRUE(SimDevice::writeFile(stale, "{"));
    std::string ready = dev.root() + "/writer-ready";
    std::string script = dev.root() + "/writer.sh";
    // As kal_sim replaces a file: the lock taken before the temporary file
    // exists, let go once it is renamed. The pause is the scenario: start-up
    // runs while the temporary file is there.
    ASSERT_TRUE(SimDevice::writeFile(script, "printf '{\"signalLevel\":1}' > '" + modem + ".tmp.L1v3W0'\n"
                                             "touch '" + ready + "'\n"
                                             "sleep 0.3\n"
                                             "mv '" + modem + ".tmp.L1v3W0' '" + modem + "'\n"));
    ASSERT_EQ(runCommand("flock '" + dev.statePath(".lock") + "' sh '" + script + "' &"), 0);
    ASSERT_TRUE(waitFor([&] { return SimDevice::exists(ready); }, 5000));
    ASSERT_TRUE(dev.start()) << dev.serverOutput();
    EXPECT_FALSE(SimDevice::exists(stale));
    EXPECT_FALSE(SimDevice::exists(modem + ".tmp.L1v3W0"));
    EXPECT_EQ(jsonInt(parseJson(SimDevice::readFile(modem)).get(), "signalLevel"), 1);
    JsonPtr status = dev.requestJson("{\"module\":\"status\",\"action\":0}");
    EXPECT_EQ(jsonInt(cJSON_GetObjectItemCaseSensitive(status.get(), "wan"), "signalStrength"), 1);
}

}  // namespace
