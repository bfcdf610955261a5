// Snapshots, reset, faults and scenarios of the simulated device, seen in
// the running server's replies over its socket.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <cjson/cJSON.h>
#include <httplib.h>

#include "tests/support/test_support.h"
#include "tests/workbench/workbench_support.h"

namespace {

const cJSON *section(const JsonPtr &s, const char *name)
{
    return cJSON_GetObjectItemCaseSensitive(s.get(), name);
}

int battery(SimDevice &dev)
{
    return jsonInt(section(dev.requestJson("{\"module\":\"status\",\"action\":0}"), "battery"), "voltage");
}

int stations(SimDevice &dev)
{
    return jsonInt(section(dev.requestJson("{\"module\":\"status\",\"action\":0}"), "connectedDevices"), "number");
}

// A program on the device's root, its output in a file; ended with SIGKILL
// if still running when it goes.
struct Spawned {
    pid_t pid = -1;
    std::string outPath;
    ~Spawned()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    bool start(const SimDevice &dev, const std::vector<std::string> &args)
    {
        // A file of its own, created before it runs: the output of an
        // earlier program is never taken for this one's.
        static int spawned = 0;
        outPath = dev.root() + "/spawned-" + std::to_string(++spawned) + ".out";
        if (!SimDevice::writeFile(outPath, ""))
            return false;
        pid = fork();
        if (pid == 0) {
            int fd = open(outPath.c_str(), O_WRONLY | O_APPEND, 0644);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            setenv("KAL_ROOT", dev.root().c_str(), 1);
            std::vector<const char *> argv;
            for (const std::string &a : args)
                argv.push_back(a.c_str());
            argv.push_back(nullptr);
            execv(argv[0], (char *const *)argv.data());
            _exit(127);
        }
        return pid > 0;
    }
    std::string output() const { return SimDevice::readFile(outPath); }
    // Its exit status once it ends within timeoutMs, else -1.
    int wait(int timeoutMs)
    {
        int status = 0;
        bool ended = waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
        if (!ended)
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

// kal_http on the device's root, with its port once it listens (0 when it
// does not).
int startHttp(const SimDevice &dev, Spawned *http, const std::vector<std::string> &more = {})
{
    std::vector<std::string> args = {KAL_HTTP_BIN, "--listen", "127.0.0.1:0", "--quiet"};
    args.insert(args.end(), more.begin(), more.end());
    if (!http->start(dev, args))
        return 0;
    int port = 0;
    waitFor([&] {
        std::string out = http->output();
        size_t at = out.find("127.0.0.1:");
        port = at == std::string::npos ? 0 : atoi(out.c_str() + at + 10);
        return port > 0;
    }, 15000);
    return port;
}

std::string postSim(httplib::Client &client, const std::string &args)
{
    auto res = client.Post("/sim", "{\"args\":" + args + "}", "application/json");
    return res ? std::to_string(res->status) + " " + res->body : std::string("no answer");
}

JsonPtr getSim(httplib::Client &client)
{
    auto res = client.Get("/sim");
    return parseJson(res ? res->body : "");
}

// Every file under dir (relative path to content).
void filesUnder(const std::string &dir, const std::string &rel, std::map<std::string, std::string> &out)
{
    DIR *d = opendir((dir + rel).c_str());
    if (d == nullptr)
        return;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        std::string path = dir + rel + "/" + name;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            filesUnder(dir, rel + "/" + name, out);
        else if (S_ISREG(st.st_mode))
            out[rel + "/" + name] = SimDevice::readFile(path);
    }
    closedir(d);
}

// Saves "first" (battery 33, two stations, the SD card in, no update offer,
// no zone file), then changes all of it, by kal_sim and by the server's own
// writes, and saves "second".
void saveTwoSnapshots(SimDevice &dev)
{
    ASSERT_EQ(kalSim(dev, "battery 33").status, 0);
    ASSERT_EQ(kalSim(dev, "station add 02:00:00:00:00:09 phone").status, 0);
    SimRun r = kalSim(dev, "snapshot save first");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("snapshot first saved"), std::string::npos) << r.out;
    ASSERT_EQ(kalSim(dev, "battery 12 --charging").status, 0);
    ASSERT_EQ(kalSim(dev, "station clear").status, 0);
    ASSERT_EQ(kalSim(dev, "sdcard out").status, 0);
    ASSERT_EQ(kalSim(dev, "update offer 1.1.0").status, 0);
    JsonPtr zone = dev.requestJson("{\"module\":\"time\",\"action\":1,\"id\":\"Asia/Tokyo\"}");
    ASSERT_EQ(jsonInt(zone.get(), "result"), 0);
    ASSERT_TRUE(SimDevice::exists(dev.path("/system/usr/share/zoneinfo/timezone")));
    ASSERT_EQ(kalSim(dev, "snapshot save second").status, 0);
    EXPECT_EQ(battery(dev), 12);
    EXPECT_EQ(stations(dev), 0);
}

TEST(Snapshots, RestoreGivesTheSavedDeviceBackToTheRunningServer)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    ASSERT_NO_FATAL_FAILURE(saveTwoSnapshots(dev));
    ASSERT_EQ(kalSim(dev, "snapshot restore second").status, 0);
    // The server answers the old values, and files made after the save
    // are gone.
    SimRun r = kalSim(dev, "snapshot restore first");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("removed"), std::string::npos) << r.out;
    EXPECT_EQ(battery(dev), 33);
    EXPECT_EQ(stations(dev), 2);
    JsonPtr s = dev.requestJson("{\"module\":\"status\",\"action\":0}");
    EXPECT_EQ(jsonInt(section(s, "sdcard"), "status"), 1);
    EXPECT_FALSE(SimDevice::exists(dev.statePath("upgrade/offer")));
    EXPECT_FALSE(SimDevice::exists(dev.path("/system/usr/share/zoneinfo/timezone")));
    struct stat st;
    ASSERT_EQ(stat(dev.statePath("config/119").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // modes come back too
}

TEST(Snapshots, RestoresNeverTearAFileAReaderReadsNorStopTheServer)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    ASSERT_NO_FATAL_FAILURE(saveTwoSnapshots(dev));
    // Restores back and forth while a reader checks every file it reads
    // and the dashboard keeps answering.
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::string tornWhat;
    std::thread reader([&] {
        const std::vector<std::string> jsonFiles = {dev.statePath("wlan/stations.json"),
                                                    dev.statePath("mobile/modem.json")};
        while (!done) {
            std::string level = SimDevice::readFile(dev.statePath("config/119"));
            if (level != "12" && level != "33") {
                torn++;
                tornWhat = "config/119: \"" + level + "\"";
            }
            for (const std::string &f : jsonFiles) {
                if (parseJson(SimDevice::readFile(f)) == nullptr) {
                    torn++;
                    tornWhat = f;
                }
            }
            std::string conf = SimDevice::readFile(dev.path("/app/config/hostapd.conf"));
            if (conf.find("ssid") == std::string::npos || conf.back() != '\n') {
                torn++;
                tornWhat = "hostapd.conf";
            }
            reads++;
        }
    });
    int answered = 0;
    for (int i = 0; i < 6; i++) {
        SimRun r = kalSim(dev, i % 2 == 0 ? "snapshot restore first" : "snapshot restore second");
        EXPECT_EQ(r.status, 0) << r.out;
        if (dev.requestJson("{\"module\":\"status\",\"action\":0}") != nullptr)
            answered++;
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0) << tornWhat;
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(answered, 6);
}

TEST(Snapshots, NamesAreCheckedListedAndDeleted)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    ASSERT_NO_FATAL_FAILURE(saveTwoSnapshots(dev));
    SimRun r = kalSim(dev, "snapshot list");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("first"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("second"), std::string::npos) << r.out;
    for (const char *bad : {"snapshot save ../up", "snapshot save .hidden", "snapshot save 'a b'", "snapshot restore none",
                            "snapshot save", "snapshot restore"}) {
        r = kalSim(dev, bad);
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << bad << ": " << r.out;
    }
    EXPECT_FALSE(SimDevice::exists(dev.root() + "/up"));
    EXPECT_EQ(kalSim(dev, "snapshot delete second").status, 0);
    EXPECT_EQ(kalSim(dev, "snapshot list").out.find("second"), std::string::npos);
}

TEST(Snapshots, ResetGivesTheFactoryDevice)
{
    SimDevice fresh;
    ASSERT_TRUE(fresh.start());
    fresh.stop();
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    ASSERT_EQ(kalSim(dev, "battery 9").status, 0);
    ASSERT_EQ(kalSim(dev, "sim absent").status, 0);
    ASSERT_EQ(kalSim(dev, "sms receive +1 hi").status, 0);
    ASSERT_EQ(kalSim(dev, "sdcard out").status, 0);
    ASSERT_EQ(kalSim(dev, "fault mobile fail").status, 0);
    JsonPtr lan = dev.requestJson("{\"module\":\"lan\",\"action\":0}");
    ASSERT_EQ(jsonInt(dev.requestJson("{\"module\":\"webServer\",\"action\":1,\"language\":\"de\"}").get(), "result"), 0);

    SimRun r = kalSim(dev, "reset");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(battery(dev), 80);
    JsonPtr s = dev.requestJson("{\"module\":\"status\",\"action\":0}");
    EXPECT_EQ(jsonInt(section(s, "wan"), "simStatus"), 1);
    EXPECT_EQ(jsonInt(section(s, "message"), "unreadMessages"), 1);
    EXPECT_EQ(jsonInt(section(s, "sdcard"), "status"), 1);
    EXPECT_EQ(jsonInt(dev.requestJson("{\"module\":\"wan\",\"action\":0}").get(), "result"), 0);  // no fault left
    EXPECT_FALSE(SimDevice::exists(dev.statePath("faults")));

    // File for file what a new device is seeded with (logs aside: the
    // server writes them as it runs).
    std::map<std::string, std::string> want, got;
    for (const char *area : {"/sim/config", "/sim/mobile", "/sim/wlan", "/sim/network", "/sim/flowstat", "/app",
                             "/etc/config", "/dev/block"}) {
        filesUnder(fresh.root(), area, want);
        filesUnder(dev.root(), area, got);
    }
    want.erase("/sim/flowstat/state");  // it holds the time of its accounting
    got.erase("/sim/flowstat/state");
    EXPECT_FALSE(want.empty());
    for (const auto &[path, text] : want)
        EXPECT_EQ(got[path], text) << path;
    for (const auto &[path, text] : got)
        EXPECT_TRUE(want.count(path) > 0) << path << " is no factory file";
    EXPECT_EQ(kalSim(dev, "reset now").status, 1);
}

TEST(Faults, EachKindFailsOrSlowsTheServersRequestsAndClearRestores)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    struct Case {
        const char *service;
        const char *request;
    };
    // The replies a front end sees when the service does not answer.
    const Case cases[] = {
        {"mobile", "{\"module\":\"wan\",\"action\":0}"},
        {"wlan-manager", "{\"module\":\"wlan\",\"action\":0}"},
        {"flowstat", "{\"module\":\"flowstat\",\"action\":0}"},
    };
    for (const Case &c : cases) {
        std::string normal = dev.request(c.request);
        ASSERT_FALSE(normal.empty());
        SimRun r = kalSim(dev, std::string("fault ") + c.service + " fail");
        ASSERT_EQ(r.status, 0) << r.out;
        JsonPtr failed = dev.requestJson(c.request);
        ASSERT_TRUE(failed != nullptr) << c.service;
        bool failedReply = cJSON_GetArraySize(failed.get()) == 0 || jsonInt(failed.get(), "result") == 1;
        EXPECT_TRUE(failedReply) << c.service << ": " << dev.request(c.request);
        EXPECT_NE(kalSim(dev, "fault list").out.find(std::string(c.service) + " fail"), std::string::npos);

        ASSERT_EQ(kalSim(dev, std::string("fault ") + c.service + " slow 300").status, 0);
        long long started = nowMs();
        std::string slow = dev.request(c.request, 20000);
        long long slowMs = nowMs() - started;
        // Late, and the same answer (the traffic counts run on meanwhile).
        JsonPtr slowReply = parseJson(slow), normalReply = parseJson(normal);
        EXPECT_EQ(jsonInt(slowReply.get(), "result"), jsonInt(normalReply.get(), "result")) << c.service;
        EXPECT_EQ(cJSON_GetArraySize(slowReply.get()), cJSON_GetArraySize(normalReply.get())) << c.service;
        EXPECT_GE(slowMs, 300) << c.service;

        ASSERT_EQ(kalSim(dev, std::string("fault ") + c.service + " clear").status, 0);
        started = nowMs();
        JsonPtr cleared = dev.requestJson(c.request);
        EXPECT_EQ(jsonInt(cleared.get(), "result"), jsonInt(normalReply.get(), "result")) << c.service;
        EXPECT_EQ(cJSON_GetArraySize(cleared.get()), cJSON_GetArraySize(normalReply.get())) << c.service;
        long long clearMs = nowMs() - started;
        printf("fault %s: slow 300 ms took %lld ms, cleared %lld ms\n", c.service, slowMs, clearMs);
    }
    // Faults are the server's: kal_sim's own controls still work.
    ASSERT_EQ(kalSim(dev, "fault config-store fail").status, 0);
    EXPECT_EQ(kalSim(dev, "battery 20").status, 0);
    EXPECT_EQ(SimDevice::readFile(dev.statePath("config/119")), "20");
    EXPECT_EQ(dev.request("{\"module\":\"webServer\",\"action\":0}").find("\"en\""), std::string::npos);
    EXPECT_EQ(kalSim(dev, "fault clear").status, 0);
    EXPECT_NE(dev.request("{\"module\":\"webServer\",\"action\":0}").find("\"en\""), std::string::npos);

    for (const char *bad : {"fault modem fail", "fault mobile slow", "fault mobile slow 10001", "fault mobile slow -1",
                            "fault mobile broken", "fault"}) {
        SimRun r = kalSim(dev, bad);
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << bad << ": " << r.out;
    }
    EXPECT_FALSE(SimDevice::exists(dev.statePath("faults")));
}

// A flowstat reading makes several calls of the service: slow, it is one
// delay per request, each announced by one line of the server.
TEST(Faults, ASlowServiceDelaysEachRequestOnce)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    ASSERT_EQ(kalSim(dev, "fault flowstat slow 100").status, 0);
    const std::string line = "simulated device: flowstat is slow: this request waits 100 ms\n";
    auto delays = [&] {
        std::string out = dev.serverOutput();
        int n = 0;
        for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1))
            n++;
        return n;
    };
    for (int i = 1; i <= 3; i++) {
        JsonPtr reply = dev.requestJson("{\"module\":\"flowstat\",\"action\":0}", 20000);
        EXPECT_EQ(jsonInt(reply.get(), "result"), 0);
        EXPECT_EQ(delays(), i) << dev.serverOutput();
    }
    // A request that does not reach the service is not delayed.
    EXPECT_EQ(jsonInt(dev.requestJson("{\"module\":\"lan\",\"action\":0}").get(), "result"), 0);
    EXPECT_EQ(delays(), 3);
    ASSERT_EQ(kalSim(dev, "fault flowstat clear").status, 0);
    EXPECT_EQ(jsonInt(dev.requestJson("{\"module\":\"flowstat\",\"action\":0}").get(), "result"), 0);
    EXPECT_EQ(delays(), 3);
}

TEST(Scenarios, AFilePlaysStepByStepAndABadOneIsRefusedWhole)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    std::string bad = dev.root() + "/bad.txt";
    struct BadFile {
        const char *text;
        const char *where;
    };
    for (const BadFile &b : {BadFile{"0 battery 10\n# fine\nevery 0.2 until 1 signal 1|2|9\n", ":3: signal"},
                             BadFile{"0 battery 10\n0.5 teleport\n", ":2: unknown control"},
                             BadFile{"1 battery 5..9\n", ":1: "},
                             BadFile{"every 0 battery 5\n", ":1: every"},
                             BadFile{"\n\n1 sms receive +1 \"open\n", ":3: a double quote"},
                             BadFile{"every 1 scenario stop\n", ":1: "},
                             BadFile{"soon battery 5\n", ":1: "}}) {
        ASSERT_TRUE(SimDevice::writeFile(bad, b.text));
        SimRun r = kalSim(dev, "scenario " + bad);
        EXPECT_EQ(r.status, 1) << b.text;
        EXPECT_NE(r.out.find(bad + b.where), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
    }
    EXPECT_EQ(battery(dev), 80);  // nothing of a refused file played

    std::string file = dev.root() + "/short.txt";
    ASSERT_TRUE(SimDevice::writeFile(file, "# a short one\n"
                                           "0          battery 50 --not-charging\n"
                                           "every 0.2 from 0.2 battery 49..46\n"
                                           "every 0.2 until 0.4 signal 1|3\n"
                                           "0.5        fault flowstat fail\n"
                                           "0.7        fault flowstat clear\n"
                                           "0.9        sms receive +15550100 \"scenario says hi\"\n"));
    Spawned player;
    ASSERT_TRUE(player.start(dev, {KAL_SIM_BIN_PATH, "scenario", file}));
    // The server sees each step as it plays.
    std::vector<int> seen;
    EXPECT_TRUE(waitFor([&] {
        int level = battery(dev);
        if (seen.empty() || seen.back() != level)
            seen.push_back(level);
        return level == 46;
    }, 10000));
    EXPECT_GE(seen.size(), 2u);
    EXPECT_EQ(player.wait(10000), 0) << player.output();
    std::string out = player.output();
    for (const char *step : {"0.0 s  battery 50 --not-charging: battery at 50 %", "0.2 s  battery 49",
                             "0.8 s  battery 46", "0.4 s  signal 1", "0.5 s  fault flowstat fail", "0.9 s  sms receive",
                             "ended after"})
        EXPECT_NE(out.find(step), std::string::npos) << step << " in " << out;
    JsonPtr s = dev.requestJson("{\"module\":\"status\",\"action\":0}");
    EXPECT_EQ(jsonInt(section(s, "wan"), "signalStrength"), 1);
    EXPECT_EQ(jsonInt(section(s, "message"), "unreadMessages"), 2);
    EXPECT_FALSE(SimDevice::exists(dev.statePath("faults")));

    // An endless one stops at Ctrl-C.
    ASSERT_TRUE(SimDevice::writeFile(file, "every 0.1 battery 10|20\n"));
    Spawned endless;
    ASSERT_TRUE(endless.start(dev, {KAL_SIM_BIN_PATH, "scenario", file}));
    EXPECT_TRUE(waitFor([&] { return endless.output().find("battery 20") != std::string::npos; }, 10000));
    kill(endless.pid, SIGINT);
    EXPECT_EQ(endless.wait(5000), 0);
    EXPECT_NE(endless.output().find("until Ctrl-C"), std::string::npos) << endless.output();
    EXPECT_NE(endless.output().find("stopped after"), std::string::npos) << endless.output();
}

TEST(Scenarios, KalHttpPlaysAShippedOneAndShowsItUntilStopped)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    Spawned http;
    ASSERT_TRUE(http.start(dev, {KAL_HTTP_BIN, "--listen", "127.0.0.1:0", "--quiet"}));
    int port = 0;
    ASSERT_TRUE(waitFor([&] {
        std::string out = http.output();
        size_t at = out.find("127.0.0.1:");
        port = at == std::string::npos ? 0 : atoi(out.c_str() + at + 10);
        return port > 0;
    }, 15000)) << http.output();
    httplib::Client client("127.0.0.1", port);
    auto control = [&](const std::string &args) {
        auto res = client.Post("/sim", "{\"args\":" + args + "}", "application/json");
        return res ? std::to_string(res->status) + " " + res->body : std::string("no answer");
    };
    auto shown = [&] {
        auto res = client.Get("/sim");
        return parseJson(res ? res->body : "");
    };
    JsonPtr before = shown();
    ASSERT_TRUE(before != nullptr);
    const cJSON *names = cJSON_GetObjectItemCaseSensitive(before.get(), "scenarios");
    EXPECT_EQ(cJSON_GetArraySize(names), 3);
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItemCaseSensitive(before.get(), "scenario")));
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(before.get(), "services")), 10);

    EXPECT_EQ(control("[\"scenario\",\"start\",\"battery-drain\"]").rfind("200 ", 0), 0u);
    EXPECT_EQ(control("[\"scenario\",\"start\",\"busy-day\"]").rfind("400 ", 0), 0u);  // one at a time
    EXPECT_TRUE(waitFor([&] { return battery(dev) == 79; }, 5000)) << battery(dev);
    JsonPtr playing = shown();
    const cJSON *scenario = cJSON_GetObjectItemCaseSensitive(playing.get(), "scenario");
    EXPECT_EQ(jsonString(scenario, "name"), "battery-drain");
    EXPECT_GE(jsonInt(scenario, "steps"), 2);
    EXPECT_EQ(control("[\"scenario\",\"stop\"]"), "200 {\"message\":\"scenario battery-drain stopped\"}");
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItemCaseSensitive(shown().get(), "scenario")));
    int stoppedAt = battery(dev);
    EXPECT_GE(stoppedAt, 70);
    EXPECT_EQ(control("[\"scenario\",\"start\",\"../battery-drain\"]").rfind("400 ", 0), 0u);

    // Faults, snapshots and reset through the same door.
    EXPECT_EQ(control("[\"fault\",\"mobile\",\"fail\"]").rfind("200 ", 0), 0u);
    EXPECT_EQ(jsonString(cJSON_GetObjectItemCaseSensitive(shown().get(), "faults"), "mobile"), "fail");
    EXPECT_EQ(control("[\"snapshot\",\"save\",\"drained\"]").rfind("200 ", 0), 0u);
    EXPECT_EQ(control("[\"reset\"]").rfind("200 ", 0), 0u);
    EXPECT_EQ(battery(dev), 80);
    EXPECT_EQ(control("[\"snapshot\",\"restore\",\"drained\"]").rfind("200 ", 0), 0u);
    EXPECT_EQ(battery(dev), stoppedAt);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(shown().get(), "snapshots")), 1);
}

// A reset by another stops a scenario kal_sim plays, before any step of
// it reaches the factory device; a scenario's own reset does not.
TEST(Scenarios, AResetStopsAScenarioPlayingInTheForeground)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    std::string file = dev.root() + "/endless.txt";
    ASSERT_TRUE(SimDevice::writeFile(file, "every 0.05 battery 10|20\n"));
    Spawned player;
    ASSERT_TRUE(player.start(dev, {KAL_SIM_BIN_PATH, "scenario", file}));
    ASSERT_TRUE(waitFor([&] { return player.output().find("battery 20") != std::string::npos; }, 10000))
        << player.output();
    SimRun r = kalSim(dev, "reset");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(player.wait(5000), 0) << player.output();
    EXPECT_NE(player.output().find("scenario " + file + " stopped: the device was reset\n"), std::string::npos)
        << player.output();
    EXPECT_EQ(battery(dev), 80);
    EXPECT_EQ(SimDevice::readFile(dev.statePath("config/119")), "80");

    // A snapshot restore is another device too.
    ASSERT_EQ(kalSim(dev, "snapshot save factory").status, 0);
    Spawned again;
    ASSERT_TRUE(again.start(dev, {KAL_SIM_BIN_PATH, "scenario", file}));
    ASSERT_TRUE(waitFor([&] { return again.output().find("battery 20") != std::string::npos; }, 10000));
    ASSERT_EQ(kalSim(dev, "snapshot restore factory").status, 0);
    EXPECT_EQ(again.wait(5000), 0) << again.output();
    EXPECT_NE(again.output().find("stopped: the device was reset"), std::string::npos) << again.output();
    EXPECT_EQ(battery(dev), 80);

    ASSERT_TRUE(SimDevice::writeFile(file, "0 battery 33\n0.1 reset\n0.2 battery 44\n"));
    Spawned own;
    ASSERT_TRUE(own.start(dev, {KAL_SIM_BIN_PATH, "scenario", file}));
    EXPECT_EQ(own.wait(10000), 0) << own.output();
    EXPECT_NE(own.output().find("ended after"), std::string::npos) << own.output();
    EXPECT_EQ(battery(dev), 44);
}

// The same for kal_http's background player: a reset through /sim (or by
// kal_sim) stops it, and the next test may start its own at once.
TEST(Scenarios, AResetStopsKalHttpsBackgroundScenario)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    ASSERT_EQ(mkdir((dev.root() + "/mine").c_str(), 0755), 0);
    ASSERT_TRUE(SimDevice::writeFile(dev.root() + "/mine/endless.txt", "every 0.05 battery 10|20\n"));
    Spawned http;
    int port = startHttp(dev, &http);
    ASSERT_GT(port, 0) << http.output();
    httplib::Client client("127.0.0.1", port);
    auto playing = [&] { return !cJSON_IsNull(cJSON_GetObjectItemCaseSensitive(getSim(client).get(), "scenario")); };

    EXPECT_EQ(postSim(client, "[\"scenario\",\"start\",\"mine/endless.txt\"]").rfind("200 ", 0), 0u);
    ASSERT_TRUE(waitFor([&] { return battery(dev) != 80; }, 5000));
    EXPECT_EQ(postSim(client, "[\"reset\"]").rfind("200 ", 0), 0u);
    EXPECT_TRUE(waitFor([&] { return !playing(); }, 5000));
    EXPECT_EQ(battery(dev), 80);
    EXPECT_NE(http.output().find("scenario mine/endless.txt stopped: the device was reset\n"), std::string::npos)
        << http.output();

    // Started, then reset by kal_sim and started again straight away.
    EXPECT_EQ(postSim(client, "[\"scenario\",\"start\",\"mine/endless.txt\"]").rfind("200 ", 0), 0u);
    ASSERT_TRUE(waitFor([&] { return battery(dev) != 80; }, 5000));
    ASSERT_EQ(kalSim(dev, "reset").status, 0);
    std::string started = postSim(client, "[\"scenario\",\"start\",\"mine/endless.txt\"]");
    EXPECT_EQ(started.rfind("200 ", 0), 0u) << started;
    EXPECT_TRUE(waitFor([&] { return battery(dev) != 80; }, 5000));
    EXPECT_EQ(postSim(client, "[\"scenario\",\"stop\"]").rfind("200 ", 0), 0u);
    EXPECT_FALSE(playing());
}

// A file of one's own is read from the device's root and nowhere else;
// the shipped ones come from beside the program or from --scenarios DIR.
TEST(Scenarios, FilesOfOnesOwnComeFromTheDeviceRootOnly)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    SimDevice elsewhere;  // a second root: outside the first
    ASSERT_EQ(mkdir((dev.root() + "/mine").c_str(), 0755), 0);
    ASSERT_TRUE(SimDevice::writeFile(dev.root() + "/mine/one.txt", "0 battery 42\n"));
    SimRun r = kalSim(dev, "scenario mine/one.txt");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(battery(dev), 42);

    std::string outside = elsewhere.root() + "/out.txt";
    ASSERT_TRUE(SimDevice::writeFile(outside, "0 battery 7\n"));
    ASSERT_EQ(symlink(outside.c_str(), (dev.root() + "/mine/link.txt").c_str()), 0);
    for (const std::string &bad : {outside, std::string("mine/link.txt"), std::string("../out.txt"),
                                   dev.root() + "/mine/../../out.txt"}) {
        r = kalSim(dev, "scenario '" + bad + "'");
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << bad << ": " << r.out;
    }
    EXPECT_NE(kalSim(dev, "scenario " + outside).out.find("is outside the device root"), std::string::npos);
    r = kalSim(dev, "scenario one");  // no '/': a shipped one
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("no shipped scenario \"one\" in /"), std::string::npos) << r.out;
    EXPECT_EQ(battery(dev), 42);

    std::string shipped = elsewhere.root() + "/shipped";
    ASSERT_EQ(mkdir(shipped.c_str(), 0755), 0);
    ASSERT_TRUE(SimDevice::writeFile(shipped + "/hello.txt", "0 battery 55\n"));
    r = kalSim(dev, "--scenarios " + shipped + " scenario hello");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(battery(dev), 55);
    EXPECT_EQ(kalSim(dev, "--scenarios " + shipped + "/none scenario hello").status, 2);

    Spawned http;
    int port = startHttp(dev, &http, {"--scenarios", shipped});
    ASSERT_GT(port, 0) << http.output();
    httplib::Client client("127.0.0.1", port);
    JsonPtr shown = getSim(client);
    const cJSON *names = cJSON_GetObjectItemCaseSensitive(shown.get(), "scenarios");
    ASSERT_EQ(cJSON_GetArraySize(names), 1);
    EXPECT_STREQ(cJSON_GetArrayItem(names, 0)->valuestring, "hello");
    for (const std::string &bad : {outside, std::string("mine/link.txt"), std::string("battery-drain")}) {
        std::string answer = postSim(client, "[\"scenario\",\"start\",\"" + bad + "\"]");
        EXPECT_EQ(answer.rfind("400 ", 0), 0u) << bad << ": " << answer;
    }
    EXPECT_EQ(postSim(client, "[\"scenario\",\"start\",\"mine/one.txt\"]").rfind("200 ", 0), 0u);
    EXPECT_TRUE(waitFor([&] { return battery(dev) == 42; }, 5000));
}

}  // namespace
