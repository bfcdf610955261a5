// The server stopped at every call that changes a file, one write request
// at a time: a preloaded library counts those calls across the server and
// the commands it runs and kills the whole process group at the chosen one.
// The server is then started again on the same root, as the device powers
// on after a cut, and must answer; every state file must parse; every
// setting must read back as before the request, as after it, or as a mix of
// the two in which no forbidden state shows:
//   - a SIM card waiting for its PIN at power-on, or with a try spent, where
//     neither the old nor the new settings would leave it so (automatic
//     unlock without the card's PIN);
//   - an open network where the request asked for a secured one;
//   - LAN settings that cannot work together.
// Prints a table: request, crash points, old, new, harmless mixed,
// forbidden, with the mixes seen (the settings that were already new).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/crash/crash_counter.h"
#include "tests/support/settings_catalog.h"

namespace {

#ifdef KAL_CRASH_SHIM
const char kShim[] = KAL_CRASH_SHIM;
#else
const char kShim[] = "";
#endif

using State = std::map<std::string, std::string>;

const char kPing[] = "{\"module\":\"webServer\",\"action\":2}";

// The counter page, in a file of its own.
class CounterPage {
public:
    CounterPage()
    {
        char name[] = "/tmp/kal-crash-counter-XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0)
            return;
        path_ = name;
        if (ftruncate(fd, 4096) == 0) {
            void *map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (map != MAP_FAILED)
                page_ = static_cast<CrashCounter *>(map);
        }
        close(fd);
    }
    ~CounterPage()
    {
        if (page_ != nullptr)
            munmap(page_, 4096);
        if (!path_.empty())
            unlink(path_.c_str());
    }
    bool ok() const { return page_ != nullptr; }
    const std::string &path() const { return path_; }
    void arm(int limit)
    {
        __atomic_store_n(&page_->count, 0, __ATOMIC_SEQ_CST);
        __atomic_store_n(&page_->fired, 0, __ATOMIC_SEQ_CST);
        __atomic_store_n(&page_->limit, limit, __ATOMIC_SEQ_CST);
        __atomic_store_n(&page_->armed, 1, __ATOMIC_SEQ_CST);
    }
    void disarm() { __atomic_store_n(&page_->armed, 0, __ATOMIC_SEQ_CST); }
    int count() const { return __atomic_load_n(&page_->count, __ATOMIC_SEQ_CST); }

private:
    std::string path_;
    CrashCounter *page_ = nullptr;
};

// A server in a process group of its own, with or without the shim.
class Server {
public:
    Server(const std::string &root, const CounterPage *counter) : root_(root)
    {
        pid_ = fork();
        if (pid_ > 0)
            setpgid(pid_, pid_);  // whichever of the two runs first
        if (pid_ != 0)
            return;
        setpgid(0, 0);
        int fd = open((root + "/server.out").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            close(fd);
        }
        setenv("KAL_ROOT", root.c_str(), 1);
        // Without the shim (sanitizer builds) the test skips before here.
#ifdef KAL_CRASH_SHIM
        if (counter != nullptr) {
            setenv("LD_PRELOAD", kShim, 1);
            setenv(KAL_CRASH_COUNTER_ENV, counter->path().c_str(), 1);
        }
#else
        (void)counter;
#endif
        execl(KAL_SERVER_BIN, KAL_SERVER_BIN, (char *)nullptr);
        _exit(127);
    }
    ~Server() { stop(); }

    std::string socketPath() const { return root_ + "/tmp/vy_kal_server.sock"; }

    // Waits until it answers a request that changes nothing.
    bool ready()
    {
        // Polled closely: the test starts a server twice per crash point.
        struct timespec pause = {0, 2000000};
        for (int tries = 0; tries < 5000 && alive(); tries++) {
            if (SimDevice::exists(socketPath()) && !request(kPing, 100).empty())
                return true;
            nanosleep(&pause, nullptr);
        }
        return false;
    }

    bool alive()
    {
        if (pid_ <= 0)
            return false;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_)
            pid_ = -1;
        return pid_ > 0;
    }

    // The reply, or "" when none came in time or the server died first.
    std::string request(const std::string &json, int timeoutMs = 5000)
    {
        Client client;
        if (!client.send(socketPath(), json.data(), json.size()))
            return "";
        std::string reply;
        for (int waited = 0; waited < timeoutMs && alive(); waited += 10) {
            if (client.receive(reply, 10))
                return reply;
        }
        return "";
    }

    void stop()
    {
        if (pid_ <= 0)
            return;
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    std::string root_;
    pid_t pid_ = -1;
};

// What a power-on can see of a root: every file and its content, but of
// a temporary file only its name and of the log buffers nothing (they only
// grow by a line). Points that leave the same one need checking once.
std::string diskState(const std::string &root)
{
    std::string key;
    for (const std::string &file : filesUnder(root)) {
        std::string name = file.substr(root.size());
        if (name == "/server.out" || name.compare(0, 9, "/sim/log/") == 0)
            continue;
        key += name;
        key += '\0';
        if (name.find(".tmp") == std::string::npos)
            key += SimDevice::readFile(file);
        key += '\0';
    }
    return key;
}

bool copyTree(const std::string &from, const std::string &to)
{
    return runCommand("rm -rf '" + to + "' && cp -a '" + from + "' '" + to + "' && rm -f '" + to +
                      "/server.out'") == 0;
}

// Members whose value moves by itself (clock, traffic, radio).
const std::set<std::string> kVolatile = {"result", "year", "month", "date", "hour", "minute", "second", "time",
                                         "dataLimit", "adjustStatistics", "connectStatus", "clientMac",
                                         "wlanOnOff"};

void flatten(const cJSON *item, const std::string &path, State &out)
{
    if (cJSON_IsObject(item) || cJSON_IsArray(item)) {
        int i = 0;
        for (const cJSON *child = item->child; child != nullptr; child = child->next, i++) {
            std::string key = cJSON_IsObject(item) ? std::string(child->string) : std::to_string(i);
            if (kVolatile.count(key) != 0)
                continue;
            flatten(child, path + "." + key, out);
        }
        if (i == 0)
            out[path] = cJSON_IsObject(item) ? "{}" : "[]";
        return;
    }
    if (cJSON_IsString(item))
        out[path] = item->valuestring;
    else if (cJSON_IsBool(item))
        out[path] = cJSON_IsTrue(item) ? "true" : "false";
    else if (cJSON_IsNumber(item))
        out[path] = std::to_string(item->valuedouble);
    else
        out[path] = "null";
}

const std::vector<std::pair<std::string, std::string>> kViews = {
    {"webServer", "{\"module\":\"webServer\",\"action\":0}"},
    {"time", "{\"module\":\"time\",\"action\":0}"},
    {"wlan", "{\"module\":\"wlan\",\"action\":0}"},
    {"macFilters", "{\"module\":\"macFilters\",\"action\":0}"},
    {"power_save", "{\"module\":\"power_save\",\"action\":0}"},
    {"lan", "{\"module\":\"lan\",\"action\":0}"},
    {"flowstat", "{\"module\":\"flowstat\",\"action\":0}"},
    {"storageShare", "{\"module\":\"storageShare\",\"action\":0}"},
    {"simLock", "{\"module\":\"simLock\",\"action\":0}"},
    {"wan", "{\"module\":\"wan\",\"action\":0}"},
    {"inbox", "{\"module\":\"message\",\"action\":0,\"box\":\"inbox\",\"page\":1,\"pageSize\":20}"},
    {"sent", "{\"module\":\"message\",\"action\":0,\"box\":\"sent\",\"page\":1,\"pageSize\":20}"},
};

// Stored values that no page shows but the device acts on.
const std::vector<std::pair<std::string, std::string>> kFiles = {
    {"key28", "/sim/config/28"},
    {"key29", "/sim/config/29"},
    {"key127", "/sim/config/127"},
    {"key128", "/sim/config/128"},
    {"key131", "/sim/config/131"},
    {"key140", "/sim/config/140"},
    {"secStatus", "/sim/wlan/sec_status"},
    {"timezone", "/system/usr/share/zoneinfo/timezone"},
    {"temptimezone", "/system/usr/share/zoneinfo/temptimezone"},
};

// Starts a plain server on root (the power-on) and reads every setting;
// false when it does not start or a page does not answer.
bool readState(const std::string &root, State &state, std::string &why)
{
    state.clear();
    Server server(root, nullptr);
    if (!server.ready()) {
        why = "the server does not start: " + SimDevice::readFile(root + "/server.out");
        return false;
    }
    for (const auto &view : kViews) {
        JsonPtr reply = parseJson(server.request(view.second));
        if (reply == nullptr) {
            why = view.first + " does not answer";
            return false;
        }
        flatten(reply.get(), view.first, state);
    }
    for (const auto &file : kFiles)
        state[file.first] = SimDevice::exists(root + file.second) ? SimDevice::readFile(root + file.second)
                                                                  : "<none>";
    return true;
}

std::string at(const State &s, const std::string &key)
{
    auto it = s.find(key);
    return it == s.end() ? "<missing>" : it->second;
}

int number(const State &s, const std::string &key)
{
    return atoi(at(s, key).c_str());
}

bool lanWorks(const State &s)
{
    struct in_addr ip, mask, start, end;
    if (inet_aton(at(s, "lan.ip").c_str(), &ip) == 0 || inet_aton(at(s, "lan.mask").c_str(), &mask) == 0 ||
        inet_aton(at(s, "lan.dhcp.start").c_str(), &start) == 0 ||
        inet_aton(at(s, "lan.dhcp.end").c_str(), &end) == 0)
        return false;
    uint32_t a = ntohl(ip.s_addr), m = ntohl(mask.s_addr), b = ntohl(start.s_addr), e = ntohl(end.s_addr);
    if (m == 0 || ((~m + 1) & ~m) != 0)
        return false;  // not contiguous
    auto host = [&](uint32_t x) { return ((x ^ a) & m) == 0 && (x & ~m) != 0 && (x & ~m) != ~m; };
    return host(a) && host(b) && host(e) && b <= e;
}

// The forbidden states; "" when there is none.
std::string forbidden(const State &old, const State &now, const State &crash)
{
    std::string why;
    const char *waits = "simLock.pinState";
    if (number(crash, waits) == 1 && number(old, waits) != 1 && number(now, waits) != 1)
        why += " SIM waits for its PIN at power-on;";
    int tries = std::min(number(old, "simLock.pinRemainingTimes"), number(now, "simLock.pinRemainingTimes"));
    if (number(crash, "simLock.pinRemainingTimes") < tries)
        why += " a PIN try spent;";
    const char *secured = "wlan.securityMode";
    if (number(old, secured) != 0 && number(now, secured) != 0 && number(crash, secured) == 0)
        why += " an open network where a secured one was asked for;";
    // The warning feature must never take an open network for a secured one.
    auto openUnwarned = [&](const State &s) { return number(s, secured) == 0 && at(s, "secStatus") != "0"; };
    if (openUnwarned(crash) && !openUnwarned(old) && !openUnwarned(now))
        why += " an open network reported secured;";
    if (!lanWorks(crash))
        why += " LAN settings that cannot work together;";
    for (const auto &entry : crash) {
        if (entry.second != at(old, entry.first) && entry.second != at(now, entry.first))
            why += " " + entry.first + " reads \"" + entry.second + "\" (old \"" + at(old, entry.first) +
                   "\", new \"" + at(now, entry.first) + "\");";
    }
    for (const auto &entry : old) {
        if (crash.count(entry.first) == 0 && now.count(entry.first) != 0)
            why += " " + entry.first + " is missing;";
    }
    return why;
}

// The settings that already read as new in a mixed state.
std::string mixOf(const State &old, const State &crash)
{
    std::string text;
    for (const auto &entry : crash) {
        if (entry.second != at(old, entry.first))
            text += (text.empty() ? "" : " ") + entry.first;
    }
    return text;
}

struct Case {
    const char *name;
    std::vector<std::string> setup;  // requests that make the state the request starts from
    std::string request;
    // Changing the PIN of a card with automatic unlock: the card and key 29
    // take the new PIN through two calls, and between them a cut makes the
    // power-on try the old PIN once (of the three tries the change has just
    // restored) and wait for the new one. No order of the two closes it.
    bool pinGap = false;
};

// The state of a cut between the card taking a new PIN and key 29: as after
// the change, but with the old PIN in key 29, one try spent on it and the
// card waiting for its PIN.
bool inPinGap(const State &old, const State &now, const State &crash)
{
    State expected = now;
    expected["key29"] = at(old, "key29");
    expected["simLock.pinState"] = std::to_string(1.0);
    expected["simLock.pinRemainingTimes"] = std::to_string(number(now, "simLock.pinRemainingTimes") - 1.0);
    return crash == expected;
}

struct Row {
    std::string name;
    int points = 0, old = 0, fresh = 0, mixed = 0, gap = 0, bad = 0;
    std::set<std::string> mixes;
    std::vector<std::string> failures;
};

const char kLockOnAuto[] = "{\"module\":\"simLock\",\"action\":1,\"pin\":\"1234\",\"autoUnlock\":true}";

std::vector<Case> cases()
{
    const std::string wrongPinOff = "{\"module\":\"simLock\",\"action\":2,\"pin\":\"0000\"}";
    const std::string flowOn = "{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"enableDataLimit\":true,"
                               "\"limitation\":\"1024.5\",\"warningPercent\":75,\"enablePaymentDay\":true,"
                               "\"paymentDay\":3}}";
    const std::string powerOn = "{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":1,"
                                "\"autoDisableTime\":30}";
    const std::string open = "{\"module\":\"wlan\",\"action\":1,\"securityMode\":0}";
    const std::string profile = "{\"module\":\"wan\",\"action\":2,\"profileSettings\":{\"list\":[{\"profileID\":0,"
                                "\"profileName\":\"Office\",\"pdpType\":0,\"ipv4ApnType\":0,\"ipv4Apn\":\"corp.apn\","
                                "\"ipv4Username\":\"me\",\"ipv4Password\":\"pw\",\"ipv4AuthType\":1}],"
                                "\"defaultProfile\":1}}";
    return {
        {"simLock lock on, autoUnlock", {}, kLockOnAuto},
        {"simLock lock on, autoUnlock kept", {"{\"module\":\"simLock\",\"action\":6,\"autoUnlock\":true}"},
         "{\"module\":\"simLock\",\"action\":1,\"pin\":\"1234\"}"},
        {"simLock lock off", {kLockOnAuto},
         "{\"module\":\"simLock\",\"action\":2,\"pin\":\"1234\",\"autoUnlock\":false}"},
        {"simLock change PIN", {kLockOnAuto},
         "{\"module\":\"simLock\",\"action\":3,\"pin\":\"1234\",\"newPin\":\"4321\"}", true},
        {"simLock enter PIN, autoUnlock", {"{\"module\":\"simLock\",\"action\":1,\"pin\":\"1234\"}"},
         "{\"module\":\"simLock\",\"action\":4,\"pin\":\"1234\",\"autoUnlock\":true}"},
        {"simLock enter PUK", {kLockOnAuto, wrongPinOff, wrongPinOff, wrongPinOff},
         "{\"module\":\"simLock\",\"action\":5,\"puk\":\"12345678\",\"newPin\":\"5678\"}"},
        {"simLock autoUnlock on", {"{\"module\":\"simLock\",\"action\":1,\"pin\":\"1234\"}"},
         "{\"module\":\"simLock\",\"action\":6,\"autoUnlock\":true}"},
        {"wlan secured, new region", {},
         "{\"module\":\"wlan\",\"action\":1,\"ssid\":\"My \\\"net\\\"\",\"ssidBcast\":true,\"region\":\"FR\","
         "\"bandType\":0,\"channel\":6,\"wirelessMode\":5,\"securityMode\":1,\"apIsolation\":false,"
         "\"mixed\":{\"mode\":2,\"key\":\"passw0rd!\"}}"},
        {"wlan open", {}, open},
        {"wlan open to secured", {open},
         "{\"module\":\"wlan\",\"action\":1,\"securityMode\":1,\"mixed\":{\"mode\":1,\"key\":\"new secret 1\"}}"},
        {"wlan region NONE", {"{\"module\":\"wlan\",\"action\":1,\"region\":\"DE\"}"},
         "{\"module\":\"wlan\",\"action\":1,\"region\":\"NONE\"}"},
        {"macFilters on", {},
         "{\"module\":\"macFilters\",\"action\":1,\"enable\":true,\"mode\":1,\"denyList\":[{\"mac\":"
         "\"AA-bb-CC-dd-EE-01\",\"description\":\"living room tv\"},{\"mac\":\"02:00:00:00:00:02\"}]}"},
        {"power_save on", {}, powerOn},
        {"power_save new level", {powerOn},
         "{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":3,\"autoDisableTime\":60}"},
        {"power_save off", {powerOn}, "{\"module\":\"power_save\",\"action\":1,\"enable\":0}"},
        {"lan", {},
         "{\"module\":\"lan\",\"action\":1,\"ip\":\"10.8.0.1\",\"mask\":\"255.255.0.0\",\"dhcp\":{\"enable\":true,"
         "\"start\":\"192.168.0.100\",\"end\":\"10.8.3.250\",\"leaseTime\":43200,\"dns1\":\"192.168.0.1\","
         "\"dns2\":\"0.0.0.0\"}}"},
        {"flowstat limit on", {}, flowOn},
        {"flowstat limit off", {flowOn},
         "{\"module\":\"flowstat\",\"action\":1,\"settings\":{\"enableDataLimit\":false,\"enablePaymentDay\":false}}"},
        {"storageShare account", {},
         "{\"module\":\"storageShare\",\"action\":1,\"mode\":1,\"login\":0,\"rwPermission\":1,"
         "\"username\":\"share_user\",\"password\":\"secret pass\"}"},
        {"webServer language", {}, "{\"module\":\"webServer\",\"action\":1,\"language\":\"fr\"}"},
        {"webServer factory done", {}, "{\"module\":\"webServer\",\"action\":3}"},
        {"time zone", {}, "{\"module\":\"time\",\"action\":1,\"id\":\"Asia/Tokyo\"}"},
        {"time temporary zone", {}, "{\"module\":\"time\",\"action\":2,\"id\":\"America/New_York\"}"},
        {"wan settings", {},
         "{\"module\":\"wan\",\"action\":1,\"dataSwitchStatus\":0,\"roamingEnabled\":1,\"networkPreferredMode\":2}"},
        {"wan add profile", {}, profile},
        {"wan edit profile", {profile},
         "{\"module\":\"wan\",\"action\":1,\"profileSettings\":{\"list\":[{\"profileID\":1,\"profileName\":\"Office\","
         "\"pdpType\":0,\"ipv4ApnType\":0,\"ipv4Apn\":\"corp2.apn\",\"ipv4Username\":\"me\",\"ipv4Password\":\"pw\","
         "\"ipv4AuthType\":1}],\"defaultProfile\":1}}"},
        {"wan delete profile", {profile},
         "{\"module\":\"wan\",\"action\":3,\"profileSettings\":{\"list\":[{\"profileID\":1}],\"defaultProfile\":1}}"},
        {"wan manual operator", {},
         "{\"module\":\"wan\",\"action\":8,\"networkSelectionMode\":1,\"selectedOperator\":\"00102\"}"},
        {"message send", {}, "{\"module\":\"message\",\"action\":2,\"number\":\"+15550100\",\"text\":\"Hello\"}"},
        {"message delete", {}, "{\"module\":\"message\",\"action\":4,\"ids\":[1,2]}"},
    };
}

enum Kind { KIND_OLD, KIND_NEW, KIND_MIXED, KIND_GAP, KIND_FORBIDDEN };

struct Verdict {
    Kind kind;
    std::string detail;  // the mix, or what is forbidden
};

// Powers the device on after the cut and reads it back.
Verdict judge(const Case &c, const State &old, const State &now, const std::string &root)
{
    State crash;
    std::string why;
    if (!readState(root, crash, why))
        return {KIND_FORBIDDEN, " " + why};
    if (crash == old)
        return {KIND_OLD, ""};
    if (crash == now)
        return {KIND_NEW, ""};
    std::string bad = forbidden(old, now, crash);
    if (bad.empty())
        return {KIND_MIXED, mixOf(old, crash)};
    if (c.pinGap && inPinGap(old, now, crash))
        return {KIND_GAP, ""};
    return {KIND_FORBIDDEN, bad};
}

void tally(Row &row, const Verdict &v, const std::string &label)
{
    switch (v.kind) {
    case KIND_OLD:
        row.old++;
        break;
    case KIND_NEW:
        row.fresh++;
        break;
    case KIND_MIXED:
        row.mixed++;
        row.mixes.insert(v.detail);
        break;
    case KIND_GAP:
        row.gap++;
        break;
    default:
        row.bad++;
        row.failures.push_back(label + ":" + v.detail);
    }
}

// Runs the request on a copy of the template with the shim armed to stop at
// call `limit` (0: never); the number of calls counted.
int runCounted(const std::string &templ, const std::string &root, CounterPage &counter, const std::string &request,
               int limit, std::string &why)
{
    if (!copyTree(templ, root)) {
        why = "cannot copy the device";
        return -1;
    }
    Server server(root, &counter);
    if (!server.ready()) {
        why = "the server does not start with the shim: " + SimDevice::readFile(root + "/server.out");
        return -1;
    }
    counter.arm(limit);
    // The ping makes sure the request's last lines are written too.
    if (!server.request(request).empty())
        server.request(kPing);
    counter.disarm();
    server.stop();
    return counter.count();
}

TEST(CrashPoints, EveryWriteRequestLeavesASafeDeviceAtEveryCrashPoint)
{
    if (kShim[0] == '\0')
        GTEST_SKIP() << "no crash shim in this build (sanitizers or emulated stage)";
    CounterPage counter;
    ASSERT_TRUE(counter.ok());
    SimDevice scratch;  // holds the template and the copies
    const std::string templ = scratch.path("/template");
    const std::string work = scratch.path("/work");
    const std::string check = scratch.path("/check");

    std::vector<Row> rows;
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.name);
        Row row;
        row.name = c.name;
        {
            // The starting state: a fresh device, then the set-up requests.
            runCommand("rm -rf '" + templ + "' && mkdir -p '" + templ + "'");
            Server server(templ, nullptr);
            ASSERT_TRUE(server.ready()) << SimDevice::readFile(templ + "/server.out");
            for (const std::string &r : c.setup)
                ASSERT_FALSE(server.request(r).empty()) << r;
        }
        std::string why;
        State old, now;
        ASSERT_TRUE(copyTree(templ, check));
        ASSERT_TRUE(readState(check, old, why)) << why;
        int points = runCounted(templ, work, counter, c.request, 0, why);
        ASSERT_GT(points, 0) << why;
        ASSERT_TRUE(readState(work, now, why)) << why;
        row.points = points;
        std::map<std::string, Verdict> verdicts;

        for (int k = 1; k <= points; k++) {
            std::string label = std::string(c.name) + ", crash point " + std::to_string(k);
            ASSERT_GE(runCounted(templ, work, counter, c.request, k, why), 0) << label << ": " << why;
            std::string disk = diskState(work);
            auto seen = verdicts.find(disk);
            if (seen == verdicts.end()) {
                expectStateFilesParse(work, label);
                seen = verdicts.emplace(disk, judge(c, old, now, work)).first;
            }
            tally(row, seen->second, label);
        }
        rows.push_back(row);
    }

    printf("\n%-34s %7s %5s %5s %8s %7s %10s\n", "request", "points", "old", "new", "harmless", "PIN gap",
           "forbidden");
    int total = 0;
    for (const Row &r : rows) {
        printf("%-34s %7d %5d %5d %8d %7d %10d\n", r.name.c_str(), r.points, r.old, r.fresh, r.mixed, r.gap, r.bad);
        total += r.bad;
    }
    printf("\nMixed states seen (the settings already new):\n");
    for (const Row &r : rows) {
        for (const std::string &m : r.mixes)
            printf("  %s: %s\n", r.name.c_str(), m.c_str());
    }
    fflush(stdout);
    for (const Row &r : rows) {
        for (const std::string &f : r.failures)
            ADD_FAILURE() << f;
    }
    EXPECT_EQ(total, 0);
}

}  // namespace
