// kal_http in front of a simulated device: /api forwards one datagram and
// answers its reply exactly, failures are one-line JSON errors with their
// own status, and the console works in a real (headless) browser.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <cjson/cJSON.h>
#include <httplib.h>

#include "tests/support/test_support.h"
#include "tests/workbench/workbench_support.h"

namespace {

const char kChromium[] = "/usr/bin/chromium";
const char kChromedriver[] = "/usr/bin/chromedriver";
const char kElementKey[] = "element-6066-11e4-a52e-4f735466cecf";

// POSTs body to kal_http's /api; a reply the server gave (status 200) is
// recorded for the reply schema check.
httplib::Result postApi(httplib::Client &client, const std::string &body, const std::string &type,
                        const httplib::Headers &headers = {})
{
    httplib::Result res = client.Post("/api", headers, body, type);
    if (res && res->status == 200)
        recordExchange(body, res->body);
    return res;
}

// A TCP port on loopback that nothing listens on right now.
int freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    int port = 0;
    if (bind(fd, (struct sockaddr *)&addr, sizeof(addr)) == 0 && getsockname(fd, (struct sockaddr *)&addr, &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

// What fd gives until its text holds want (or timeoutMs pass, or it ends).
std::string readUntil(int fd, const std::string &want, int timeoutMs)
{
    std::string text;
    long long deadline = nowMs() + timeoutMs;
    while (text.find(want) == std::string::npos && nowMs() < deadline) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0)
            continue;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0)
            break;
        text.append(buf, (size_t)n);
    }
    return text;
}

// A child process in a process group of its own, ended with the group.
struct Child {
    pid_t pid = -1;
    ~Child() { stop(); }
    void stop()
    {
        if (pid <= 0)
            return;
        kill(-pid, SIGTERM);
        for (int i = 0; i < 100 && waitpid(pid, nullptr, WNOHANG) == 0; i++)
            sleepMs(20);
        if (waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(-pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
    }
};

// Starts kal_http on the device's root with a port of the system's choice;
// the port, or 0 after printing why.
int startKalHttp(Child &child, const SimDevice &dev, const std::vector<std::string> &extra = {})
{
    int out[2];
    if (pipe(out) != 0)
        return 0;
    child.pid = fork();
    if (child.pid == 0) {
        setpgid(0, 0);
        dup2(out[1], STDOUT_FILENO);
        int err = open((dev.root() + "/kal_http.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (err >= 0)
            dup2(err, STDERR_FILENO);
        close(out[0]);
        setenv("KAL_ROOT", dev.root().c_str(), 1);
        std::vector<const char *> argv = {KAL_HTTP_BIN, "--listen", "127.0.0.1:0"};
        for (const std::string &arg : extra)
            argv.push_back(arg.c_str());
        argv.push_back(nullptr);
        execv(KAL_HTTP_BIN, (char *const *)argv.data());
        _exit(127);
    }
    setpgid(child.pid, child.pid);  // whichever of the two runs first
    close(out[1]);
    std::string line = readUntil(out[0], "\n", 15000);
    close(out[0]);
    size_t at = line.find("127.0.0.1:");
    int port = at == std::string::npos ? 0 : atoi(line.c_str() + at + 10);
    if (port <= 0)
        fprintf(stderr, "kal_http did not start: \"%s\" %s\n", line.c_str(),
                SimDevice::readFile(dev.root() + "/kal_http.err").c_str());
    return port;
}

// /api forwards one datagram and answers its reply exactly; each failure is
// a one-line JSON error with a status of its own. Each test has a relay in
// front of a device whose server it starts when it needs one.
class Forwarding : public ::testing::Test {
protected:
    const std::string request = "{\"module\":\"webServer\",\"action\":0}";
    SimDevice dev;
    Child http;
    int port = 0;
    std::unique_ptr<httplib::Client> client;

    void SetUp() override
    {
        port = startKalHttp(http, dev);
        ASSERT_GT(port, 0);
        client.reset(new httplib::Client("127.0.0.1", port));
        client->set_read_timeout(10, 0);
    }
};

TEST_F(Forwarding, NoServerIs503)
{
    auto res = postApi(*client, request, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 503);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(res->body.find('\n'), res->body.size() - 1) << res->body;
    EXPECT_NE(jsonString(parseJson(res->body).get(), "error").find("no kal_server is listening"), std::string::npos);
}

TEST_F(Forwarding, TheReplyExactlyAsTheServerSendsIt)
{
    ASSERT_TRUE(dev.start());
    auto res = postApi(*client, request, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, dev.request(request));
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    res = postApi(*client, "not json", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "{\"result\": -10 }");
}

// One datagram at most: the server reads 40959 bytes.
TEST_F(Forwarding, OneDatagramAtMost)
{
    ASSERT_TRUE(dev.start());
    auto res = postApi(*client, std::string(40959, ' '), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    res = client->Post("/api", std::string(40960, ' '), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 413);
    EXPECT_NE(jsonString(parseJson(res->body).get(), "error").find("larger than one datagram"), std::string::npos)
        << res->body;
    res = postApi(*client, "", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
}

// Only the pages served here may post; another site's page may not.
TEST_F(Forwarding, OnlyThePagesServedHereMayPost)
{
    ASSERT_TRUE(dev.start());
    httplib::Headers foreign = {{"Origin", "http://pages.invalid"}};
    auto res = postApi(*client, request, "application/json", foreign);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = client->Post("/sim", foreign, "{\"args\":[\"sdcard\",\"out\"]}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    EXPECT_TRUE(SimDevice::exists(dev.path("/dev/block/mmcblk0")));
    httplib::Headers own = {{"Origin", "http://127.0.0.1:" + std::to_string(port)}};
    res = postApi(*client, request, "application/json", own);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

TEST_F(Forwarding, ConcurrentRequestsEachGetTheirOwnReply)
{
    ASSERT_TRUE(dev.start());
    const char *const requests[][2] = {
        {"{\"module\":\"webServer\",\"action\":0}", "\"language\""},
        {"{\"module\":\"lan\",\"action\":0}", "\"dhcp"},
        {"{\"module\":\"time\",\"action\":0}", "\"minute\""},
        {"{\"module\":\"power_save\",\"action\":0}", "\"powerLevel\""},
        {"{\"module\":\"macFilters\",\"action\":0}", "\"clientMac\""},
        {"{\"module\":\"flowstat\",\"action\":0}", "\"warningPercent\""},
        {"{\"module\":\"connectedDevices\",\"action\":0}", "\"STAs\""},
        {"{\"module\":\"update\",\"action\":0}", "\"firmwareVersion\""},
    };
    std::atomic<int> wrong{0}, done{0};
    std::vector<std::thread> threads;
    for (const auto &r : requests) {
        threads.emplace_back([&, r]() {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(10, 0);
            for (int i = 0; i < 10; i++) {
                auto got = postApi(c, r[0], "application/json");
                if (!got || got->status != 200 || got->body.find(r[1]) == std::string::npos)
                    wrong++;
                done++;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(done.load(), 80);
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(Forwarding, AServerThatNeverAnswersIs504)
{
    ASSERT_TRUE(dev.start());
    dev.stop();
    unlink(dev.socketPath().c_str());
    int silent = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", dev.socketPath().c_str());
    ASSERT_EQ(bind(silent, (struct sockaddr *)&addr, sizeof(addr)), 0);
    auto res = postApi(*client, request, "application/json");
    close(silent);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 504);
    EXPECT_NE(jsonString(parseJson(res->body).get(), "error").find("within 5 s"), std::string::npos) << res->body;
}

TEST(KalHttp, ServesControlsExamplesAndPages)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    const std::string www = dev.root() + "/www";  // removed with the device
    ASSERT_TRUE(SimDevice::writeFile(www + "/index.html", "<p>my page</p>"));
    Child console, own;
    int port = startKalHttp(console, dev);
    int ownPort = startKalHttp(own, dev, {"--www", www});
    ASSERT_GT(port, 0);
    ASSERT_GT(ownPort, 0);
    httplib::Client client("127.0.0.1", port);

    auto res = client.Get("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("Device console"), std::string::npos);
    res = client.Get("/nothing-here/%ff%0a" + std::string(300, 'x'));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    EXPECT_EQ(jsonString(parseJson(res->body).get(), "error"), "nothing at GET /nothing-here/??" + std::string(80, 'x'))
        << res->body;

    httplib::Client ownClient("127.0.0.1", ownPort);
    res = ownClient.Get("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "<p>my page</p>");
    res = postApi(ownClient, "{\"module\":\"webServer\",\"action\":2}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);

    // Every module has an example request.
    res = client.Get("/examples");
    ASSERT_TRUE(res);
    JsonPtr examples = parseJson(res->body);
    ASSERT_TRUE(cJSON_IsArray(examples.get()));
    std::string modules;
    const cJSON *e = nullptr;
    cJSON_ArrayForEach(e, examples.get()) modules += jsonString(e, "module") + " ";
    for (const char *m : {"lan", "log", "status", "wlan", "macFilters", "power_save", "simLock", "message"})
        EXPECT_NE(modules.find(std::string(m) + " "), std::string::npos) << m;

    // The controls: the same words as kal_sim.
    res = client.Post("/sim", "{\"args\":[\"battery\",\"15\",\"--charging\"]}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    EXPECT_EQ(jsonInt(cJSON_GetObjectItemCaseSensitive(dev.requestJson("{\"module\":\"status\",\"action\":0}").get(),
                                                       "battery"),
                      "voltage"),
              15);
    res = client.Get("/sim");
    ASSERT_TRUE(res);
    JsonPtr shown = parseJson(res->body);
    EXPECT_EQ(jsonInt(cJSON_GetObjectItemCaseSensitive(shown.get(), "battery"), "level"), 15);
    for (const char *bad : {"{\"args\":[\"battery\",\"150\"]}", "{\"args\":[]}", "{\"args\":[\"battery\",15]}",
                            "{\"args\":\"battery 15\"}", "not json",
                            "{\"args\":[\"a\",\"b\",\"c\",\"d\",\"e\",\"f\",\"g\",\"h\",\"i\"]}"}) {
        res = client.Post("/sim", bad, "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << bad;
        EXPECT_FALSE(jsonString(parseJson(res->body).get(), "error").empty()) << bad << ": " << res->body;
    }
}

// The request schema is the committed file, byte for byte, whatever tree
// serves the pages.
TEST(KalHttp, ServesTheRequestSchema)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    const std::string www = dev.root() + "/www";  // removed with the device
    ASSERT_TRUE(SimDevice::writeFile(www + "/api/schema", "not the schema"));
    Child relay;
    int port = startKalHttp(relay, dev, {"--www", www});
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    auto res = client.Get("/api/schema");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(res->body, SimDevice::readFile(KAL_SOURCE_DIR "/docs/kal-api.request.schema.json"));
    JsonPtr schema = parseJson(res->body);
    EXPECT_EQ(jsonString(schema.get(), "$schema"), "https://json-schema.org/draft/2020-12/schema");
    EXPECT_TRUE(cJSON_IsObject(cJSON_GetObjectItemCaseSensitive(
        cJSON_GetObjectItemCaseSensitive(schema.get(), "$defs"), "wlan.1")));
    // And the reply schema beside it.
    ASSERT_TRUE(SimDevice::writeFile(www + "/api/reply-schema", "not the schema"));
    res = client.Get("/api/reply-schema");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(res->body, SimDevice::readFile(KAL_SOURCE_DIR "/docs/kal-api.reply.schema.json"));
}

// POST /sim with words of one control; the status and the parsed answer.
struct Posted {
    int status = 0;
    JsonPtr body;
};
Posted postSim(httplib::Client &client, const std::string &args)
{
    Posted out;
    auto res = client.Post("/sim", "{\"args\":" + args + "}", "application/json");
    if (res) {
        out.status = res->status;
        out.body = parseJson(res->body);
    }
    return out;
}

std::string relayFaultsShown(httplib::Client &client)
{
    auto res = client.Get("/sim");
    JsonPtr shown = parseJson(res ? res->body : "");
    cJSON *faults = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(shown.get(), "relay"), "faults");
    char *text = cJSON_PrintUnformatted(faults);
    std::string out = text != nullptr ? text : "";
    cJSON_free(text);
    return out;
}

// The relay's own faults: replies held longer, an error answered in the
// server's stead (the request never reaches it), a reply dropped after
// the server took the request; by module.action or by module, the first
// winning; shown with the device's controls, cleared by word. Each test
// has a relay that waits 700 ms for a reply.
class RelayFaults : public ::testing::Test {
protected:
    const std::string setFrench = "{\"module\":\"webServer\",\"action\":1,\"language\":\"fr\"}";
    const std::string setGerman = "{\"module\":\"webServer\",\"action\":1,\"language\":\"de\"}";
    SimDevice dev;
    Child relay;
    int port = 0;
    std::unique_ptr<httplib::Client> client;

    void SetUp() override
    {
        ASSERT_TRUE(dev.start());
        port = startKalHttp(relay, dev, {"--timeout", "700"});
        ASSERT_GT(port, 0);
        client.reset(new httplib::Client("127.0.0.1", port));
        client->set_read_timeout(10, 0);
    }

    std::string language()
    {
        return jsonString(dev.requestJson("{\"module\":\"webServer\",\"action\":0}").get(), "language");
    }
};

// An error: answered at once with its status, the server never asked.
TEST_F(RelayFaults, AnErrorAnswersInTheServersStead)
{
    EXPECT_EQ(postSim(*client, "[\"error\",\"webServer.1\",\"503\"]").status, 200);
    auto res = client->Post("/api", setFrench, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 503);
    EXPECT_EQ(res->body.find('\n'), res->body.size() - 1) << res->body;
    EXPECT_NE(jsonString(parseJson(res->body).get(), "error").find("webServer.1"), std::string::npos) << res->body;
    EXPECT_EQ(language(), "en");
    // Other actions of the module go through.
    res = client->Post("/api", "{\"module\":\"webServer\",\"action\":0}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

// A drop: the server takes the request, the client gets the relay's
// timeout; a delay on top holds that longer still.
TEST_F(RelayFaults, ADropAnswersTheTimeoutAfterTheServerTookIt)
{
    EXPECT_EQ(postSim(*client, "[\"drop\",\"webServer.1\"]").status, 200);
    EXPECT_EQ(postSim(*client, "[\"delay\",\"webServer.1\",\"300\"]").status, 200);
    long long start = nowMs();
    auto res = client->Post("/api", setFrench, "application/json");
    long long took = nowMs() - start;
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 504);
    EXPECT_NE(jsonString(parseJson(res->body).get(), "error").find("within 0.7 s"), std::string::npos) << res->body;
    EXPECT_GE(took, 1000);
    EXPECT_EQ(language(), "fr");
}

// The module's rule covers its other actions; module.action's wins over it.
TEST_F(RelayFaults, ModuleActionsRuleWinsOverTheModules)
{
    EXPECT_EQ(postSim(*client, "[\"drop\",\"webServer.1\"]").status, 200);
    EXPECT_EQ(postSim(*client, "[\"delay\",\"webServer.1\",\"300\"]").status, 200);
    EXPECT_EQ(postSim(*client, "[\"error\",\"webServer\",\"429\"]").status, 200);
    auto res = client->Post("/api", "{\"module\":\"webServer\",\"action\":2}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 429);
    EXPECT_EQ(relayFaultsShown(*client), "{\"webServer.1\":\"delay 300, drop\",\"webServer\":\"error 429\"}");
    EXPECT_EQ(postSim(*client, "[\"relay\",\"clear\",\"webServer.1\"]").status, 200);
    res = client->Post("/api", setGerman, "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 429);
    EXPECT_EQ(language(), "en");
}

// A delay alone: the reply as the server sent it, later.
TEST_F(RelayFaults, ADelayAloneHoldsTheServersReply)
{
    EXPECT_EQ(postSim(*client, "[\"error\",\"webServer\",\"429\"]").status, 200);
    EXPECT_EQ(postSim(*client, "[\"relay\",\"clear\"]").status, 200);
    EXPECT_EQ(relayFaultsShown(*client), "{}");
    EXPECT_EQ(postSim(*client, "[\"delay\",\"flowstat\",\"400\"]").status, 200);
    long long start = nowMs();
    auto res = client->Post("/api", "{\"module\":\"flowstat\",\"action\":0}", "application/json");
    long long took = nowMs() - start;
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, dev.request("{\"module\":\"flowstat\",\"action\":0}"));
    EXPECT_GE(took, 400);
    // Set back to 0, the rule goes.
    EXPECT_EQ(postSim(*client, "[\"delay\",\"flowstat\",\"0\"]").status, 200);
    EXPECT_EQ(relayFaultsShown(*client), "{}");
}

// GET /sim and POST /sim "show" show the timeout with the device.
TEST_F(RelayFaults, ShownWithTheDevice)
{
    Posted shown = postSim(*client, "[\"show\"]");
    EXPECT_EQ(shown.status, 200);
    EXPECT_EQ(jsonInt(cJSON_GetObjectItemCaseSensitive(shown.body.get(), "battery"), "level"), 80);
    EXPECT_EQ(jsonInt(cJSON_GetObjectItemCaseSensitive(shown.body.get(), "relay"), "timeoutMs"), 700);
    EXPECT_EQ(postSim(*client, "[\"relay\",\"list\"]").status, 200);
}

// Bad words change nothing, each with its reason.
TEST_F(RelayFaults, BadWordsChangeNothing)
{
    EXPECT_EQ(postSim(*client, "[\"drop\",\"wlan.1\"]").status, 200);
    for (const char *bad : {"[\"delay\",\"flowstat.0\",\"60001\"]", "[\"delay\",\"flowstat.0\",\"-1\"]",
                            "[\"delay\",\"flowstat.0\"]", "[\"error\",\"status.0\",\"399\"]",
                            "[\"error\",\"status.0\",\"600\"]", "[\"error\",\"status.0\",\"5o3\"]",
                            "[\"drop\",\"nosuch.1\"]", "[\"drop\",\"wlan.1000\"]", "[\"drop\",\"wlan.\"]",
                            "[\"drop\",\"wlan.-1\"]", "[\"drop\",\"wl an\"]", "[\"relay\",\"wipe\"]",
                            "[\"relay\"]"}) {
        Posted refused = postSim(*client, bad);
        EXPECT_EQ(refused.status, 400) << bad;
        EXPECT_FALSE(jsonString(refused.body.get(), "error").empty()) << bad;
    }
    EXPECT_EQ(relayFaultsShown(*client), "{\"wlan.1\":\"drop\"}");
    // They are the relay's words: kal_sim does not know them.
    EXPECT_NE(kalSim(dev, "drop wlan.1").status, 0);
}

// A timeout out of range is refused at the start.
TEST(KalHttp, RefusesATimeoutOutOfRange)
{
    SimDevice dev;
    for (const char *timeout : {"0", "600001", "5s", ""}) {
        std::string out = commandOutput("KAL_ROOT='" + dev.root() + "' timeout 5 " KAL_HTTP_BIN " --listen 127.0.0.1:0 --timeout '" +
                                            timeout + "' 2>&1",
                                        nullptr);
        EXPECT_NE(out.find("--timeout needs milliseconds"), std::string::npos) << timeout << ": " << out;
    }
}

// GET the path and parse it; null unless it answers 200.
JsonPtr getJson(httplib::Client &client, const std::string &path, const httplib::Headers &headers = {})
{
    auto res = client.Get(path.c_str(), headers);
    return res && res->status == 200 ? parseJson(res->body) : JsonPtr(nullptr);
}

// The request log: every /api request with its body and reply, numbered
// in the order they were answered (also when they come at once), the
// last 1000 kept; ?since=N for what came after N; the same as HAR 1.2;
// readable by the relay's own pages and allowed origins only. Each test
// starts with five requests logged: a read, one not UTF-8, an empty one,
// one too large and one with a query.
class RequestLog : public ::testing::Test {
protected:
    const std::string read = "{\"module\":\"webServer\",\"action\":0}";
    const std::string notUtf8 = "{\"module\":\"webServer\",\"action\":0,\"x\":\"\xff\xfe\"}";
    SimDevice dev;
    Child relay;
    int port = 0;
    std::unique_ptr<httplib::Client> client;
    std::string reply;  // the read's

    void SetUp() override
    {
        ASSERT_TRUE(dev.start());
        port = startKalHttp(relay, dev, {"--quiet", "--allow-origin", "http://localhost:5173"});
        ASSERT_GT(port, 0);
        client.reset(new httplib::Client("127.0.0.1", port));
        client->set_read_timeout(10, 0);
        auto res = client->Post("/api", read, "application/json");
        ASSERT_TRUE(res);
        reply = res->body;
        ASSERT_TRUE(client->Post("/api", notUtf8, "application/json"));
        ASSERT_TRUE(client->Post("/api", "", "application/json"));
        ASSERT_TRUE(client->Post("/api", std::string(40960, ' '), "application/json"));
        ASSERT_TRUE(client->Post("/api?from=test&n=1", "{\"module\":\"lan\",\"action\":0}", "text/plain"));
    }
};

TEST_F(RequestLog, KeepsEachApiRequestWithItsReply)
{
    JsonPtr log = getJson(*client, "/log");
    ASSERT_TRUE(log);
    EXPECT_EQ(jsonInt(log.get(), "latest"), 5);
    const cJSON *entries = cJSON_GetObjectItemCaseSensitive(log.get(), "entries");
    ASSERT_EQ(cJSON_GetArraySize(entries), 5);
    const cJSON *first = cJSON_GetArrayItem(entries, 0);
    EXPECT_EQ(jsonInt(first, "seq"), 1);
    EXPECT_EQ(jsonString(first, "module"), "webServer");
    EXPECT_EQ(jsonInt(first, "action"), 0);
    EXPECT_EQ(jsonString(first, "request"), read);
    EXPECT_EQ(jsonString(first, "reply"), reply);
    EXPECT_EQ(jsonInt(first, "status"), 200);
    EXPECT_GE(jsonInt(first, "ms"), 0);
    std::string time = jsonString(first, "time");
    EXPECT_EQ(time.size(), 24u) << time;
    EXPECT_EQ(time.back(), 'Z') << time;
    // Bytes that are not UTF-8 come as base64.
    const cJSON *binary = cJSON_GetArrayItem(entries, 1);
    EXPECT_EQ(jsonString(binary, "requestEncoding"), "base64");
    EXPECT_EQ(jsonString(binary, "request"), "eyJtb2R1bGUiOiJ3ZWJTZXJ2ZXIiLCJhY3Rpb24iOjAsIngiOiL//iJ9");
    // Refused ones too, with the relay's error.
    EXPECT_EQ(jsonInt(cJSON_GetArrayItem(entries, 2), "status"), 400);
    EXPECT_EQ(jsonInt(cJSON_GetArrayItem(entries, 3), "status"), 413);
    EXPECT_TRUE(cJSON_IsNull(cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(entries, 3), "module")));
    EXPECT_NE(jsonString(cJSON_GetArrayItem(entries, 3), "reply").find("larger than one datagram"), std::string::npos);
}

TEST_F(RequestLog, SinceGivesWhatCameAfterAndRefusesBadNumbers)
{
    JsonPtr later = getJson(*client, "/log?since=3");
    ASSERT_TRUE(later);
    const cJSON *entries = cJSON_GetObjectItemCaseSensitive(later.get(), "entries");
    ASSERT_EQ(cJSON_GetArraySize(entries), 2);
    EXPECT_EQ(jsonInt(cJSON_GetArrayItem(entries, 0), "seq"), 4);
    later = getJson(*client, "/log?since=5");
    ASSERT_TRUE(later);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(later.get(), "entries")), 0);
    for (const char *bad : {"/log?since=-1", "/log?since=x", "/log?since=1&since=2", "/log?since=",
                            "/log.har?since=99999999999999999999"}) {
        auto res = client->Get(bad);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 400) << bad;
    }
}

// Each HAR entry has every member HAR 1.2 asks for.
TEST_F(RequestLog, HarEntriesAreComplete)
{
    JsonPtr har = getJson(*client, "/log.har");
    ASSERT_TRUE(har);
    const cJSON *harLog = cJSON_GetObjectItemCaseSensitive(har.get(), "log");
    EXPECT_EQ(jsonString(harLog, "version"), "1.2");
    EXPECT_EQ(jsonString(cJSON_GetObjectItemCaseSensitive(harLog, "creator"), "name"), "kal_http");
    EXPECT_FALSE(jsonString(cJSON_GetObjectItemCaseSensitive(harLog, "creator"), "version").empty());
    const cJSON *harEntries = cJSON_GetObjectItemCaseSensitive(harLog, "entries");
    ASSERT_EQ(cJSON_GetArraySize(harEntries), 5);
    const cJSON *e = nullptr;
    cJSON_ArrayForEach(e, harEntries)
    {
        for (const char *member : {"startedDateTime", "time", "request", "response", "cache", "timings"})
            EXPECT_NE(cJSON_GetObjectItemCaseSensitive(e, member), nullptr) << member;
        const cJSON *request = cJSON_GetObjectItemCaseSensitive(e, "request");
        for (const char *member : {"method", "url", "httpVersion", "headers", "queryString", "postData",
                                   "headersSize", "bodySize", "cookies"})
            EXPECT_NE(cJSON_GetObjectItemCaseSensitive(request, member), nullptr) << member;
        const cJSON *response = cJSON_GetObjectItemCaseSensitive(e, "response");
        for (const char *member : {"status", "statusText", "httpVersion", "headers", "content", "redirectURL",
                                   "headersSize", "bodySize", "cookies"})
            EXPECT_NE(cJSON_GetObjectItemCaseSensitive(response, member), nullptr) << member;
        const cJSON *timings = cJSON_GetObjectItemCaseSensitive(e, "timings");
        for (const char *member : {"send", "wait", "receive"})
            EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(timings, member))) << member;
    }
}

// HAR entries oldest first, each request and reply as they went.
TEST_F(RequestLog, HarEntriesHoldTheRequestsAndReplies)
{
    JsonPtr har = getJson(*client, "/log.har");
    ASSERT_TRUE(har);
    const cJSON *harEntries =
        cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(har.get(), "log"), "entries");
    ASSERT_EQ(cJSON_GetArraySize(harEntries), 5);
    const cJSON *e = nullptr;
    const cJSON *harFirst = cJSON_GetArrayItem(harEntries, 0);
    const cJSON *request = cJSON_GetObjectItemCaseSensitive(harFirst, "request");
    EXPECT_EQ(jsonString(request, "method"), "POST");
    EXPECT_EQ(jsonString(request, "url"), "http://127.0.0.1:" + std::to_string(port) + "/api");
    EXPECT_EQ(jsonString(cJSON_GetObjectItemCaseSensitive(request, "postData"), "text"), read);
    EXPECT_EQ(jsonString(cJSON_GetObjectItemCaseSensitive(request, "postData"), "mimeType"), "application/json");
    EXPECT_EQ(jsonInt(request, "bodySize"), (int)read.size());
    std::string headerNames;
    cJSON_ArrayForEach(e, cJSON_GetObjectItemCaseSensitive(request, "headers")) headerNames += jsonString(e, "name") + " ";
    EXPECT_NE(headerNames.find("Host "), std::string::npos) << headerNames;
    EXPECT_EQ(headerNames.find("REMOTE_ADDR"), std::string::npos) << headerNames;
    const cJSON *response = cJSON_GetObjectItemCaseSensitive(harFirst, "response");
    EXPECT_EQ(jsonInt(response, "status"), 200);
    EXPECT_EQ(jsonString(response, "statusText"), "OK");
    const cJSON *content = cJSON_GetObjectItemCaseSensitive(response, "content");
    EXPECT_EQ(jsonString(content, "text"), reply);
    EXPECT_EQ(jsonString(content, "mimeType"), "application/json");
    EXPECT_EQ(jsonInt(content, "size"), (int)reply.size());
    EXPECT_EQ(jsonString(cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(harEntries, 1), "request"), "url").find("?"),
              std::string::npos);
    const cJSON *query = cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(harEntries, 4), "request");
    EXPECT_NE(jsonString(query, "url").find("/api?from=test&n=1"), std::string::npos);
    EXPECT_EQ(jsonString(cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(query, "queryString"), 1), "name"), "n");
    EXPECT_EQ(jsonString(cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(
                             cJSON_GetArrayItem(harEntries, 1), "request"), "postData"), "encoding"),
              "base64");
    har = getJson(*client, "/log.har?since=4");
    ASSERT_TRUE(har);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(har.get(), "log"),
                                                                  "entries")),
              1);
}

// Pages of other origins read nothing; an allowed one is granted.
TEST_F(RequestLog, OnlyTrustedPagesReadIt)
{
    auto res = client->Get("/log", {{"Origin", "http://evil.example"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = client->Get("/log.har", {{"Referer", "http://evil.example/page"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = client->Get("/log.har", {{"Host", "evil.example:" + std::to_string(port)}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    res = client->Get("/log", {{"Origin", "http://localhost:5173"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), "http://localhost:5173");
    EXPECT_EQ(jsonInt(getJson(*client, "/log").get(), "latest"), 5);
}

// From several workers at once, then past the ring's size: the last
// 1000, each number once, in order.
TEST_F(RequestLog, KeepsTheLastThousandInReplyOrderFromManyWorkers)
{
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; t++) {
        posters.emplace_back([&, t] {
            httplib::Client c("127.0.0.1", port);
            for (int i = 0; i < 250; i++)
                c.Post("/api", "{\"module\":\"nosuch\",\"action\":" + std::to_string(t * 1000 + i) + "}",
                       "application/json");
        });
    }
    for (std::thread &t : posters)
        t.join();
    for (int i = 0; i < 10; i++)
        ASSERT_TRUE(client->Post("/api", read, "application/json"));
    JsonPtr log = getJson(*client, "/log?since=0");
    ASSERT_TRUE(log);
    EXPECT_EQ(jsonInt(log.get(), "latest"), 1015);
    const cJSON *entries = cJSON_GetObjectItemCaseSensitive(log.get(), "entries");
    ASSERT_EQ(cJSON_GetArraySize(entries), 1000);
    int expected = 16, misnumbered = 0, wrongReply = 0;
    const cJSON *e = nullptr;
    cJSON_ArrayForEach(e, entries)
    {
        misnumbered += jsonInt(e, "seq") != expected++;
        wrongReply += jsonString(e, "module") == "nosuch" && jsonString(e, "reply") != "{\"result\": -10 }";
    }
    EXPECT_EQ(misnumbered, 0);
    EXPECT_EQ(wrongReply, 0);
}

// A browser's reply goes out compressed; the log keeps it as the server
// sent it, and its HAR headers are those of that text.
TEST_F(RequestLog, KeepsACompressedReplyAsTheServerSentIt)
{
    auto res = client->Post("/api", {{"Accept-Encoding", "gzip, deflate, br"}}, "{\"module\":\"status\",\"action\":0}",
                            "application/json");
    ASSERT_TRUE(res);
    JsonPtr log = getJson(*client, "/log?since=5");
    ASSERT_TRUE(log);
    const cJSON *status = cJSON_GetArrayItem(cJSON_GetObjectItemCaseSensitive(log.get(), "entries"), 0);
    EXPECT_EQ(jsonInt(parseJson(jsonString(status, "reply")).get(), "result"), 0) << jsonString(status, "reply");
    JsonPtr har = getJson(*client, "/log.har?since=5");
    ASSERT_TRUE(har);
    const cJSON *statusEntry = cJSON_GetArrayItem(
        cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(har.get(), "log"), "entries"), 0);
    const cJSON *statusReply = cJSON_GetObjectItemCaseSensitive(statusEntry, "response");
    std::string replyHeaders;
    const cJSON *e = nullptr;
    cJSON_ArrayForEach(e, cJSON_GetObjectItemCaseSensitive(statusReply, "headers"))
        replyHeaders += jsonString(e, "name") + ": " + jsonString(e, "value") + "\n";
    const std::string statusText = jsonString(cJSON_GetObjectItemCaseSensitive(statusReply, "content"), "text");
    EXPECT_EQ(replyHeaders.find("Content-Encoding"), std::string::npos) << replyHeaders;
    EXPECT_NE(replyHeaders.find("Content-Length: " + std::to_string(statusText.size()) + "\n"), std::string::npos)
        << replyHeaders;
}

// --no-log keeps none.
TEST_F(RequestLog, NoLogKeepsNone)
{
    Child quiet;
    int quietPort = startKalHttp(quiet, dev, {"--no-log"});
    ASSERT_GT(quietPort, 0);
    httplib::Client quietClient("127.0.0.1", quietPort);
    ASSERT_TRUE(quietClient.Post("/api", read, "application/json"));
    auto res = quietClient.Get("/log");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
}

// Controls posted at once to several of kal_http's workers, while the
// server stores sent messages in the same store: every message answered as
// received or sent is kept.
TEST(KalHttp, ControlsPostedAtOnceLoseNothing)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    ASSERT_TRUE(SimDevice::writeFile(dev.statePath("mobile/sms.json"), "{\"nextId\":1,\"messages\":[]}"));
    Child console;
    int port = startKalHttp(console, dev);
    ASSERT_GT(port, 0);
    const int kPosters = 4, kEach = 10;
    std::vector<std::vector<std::string>> received(kPosters);
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; p++) {
        posters.emplace_back([&, p] {
            httplib::Client client("127.0.0.1", port);
            for (int i = 0; i < kEach; i++) {
                std::string text = "in-" + std::to_string(p) + "-" + std::to_string(i);
                auto res = client.Post("/sim", "{\"args\":[\"sms\",\"receive\",\"+15550100\",\"" + text + "\"]}",
                                       "application/json");
                if (res && res->status == 200)
                    received[p].push_back(text);
            }
        });
    }
    std::vector<std::string> sent;
    for (int i = 0; i < kEach; i++) {
        std::string text = "out-" + std::to_string(i);
        JsonPtr reply =
            dev.requestJson("{\"module\":\"message\",\"action\":2,\"number\":\"+15550111\",\"text\":\"" + text + "\"}");
        if (jsonInt(reply.get(), "result") == 0)
            sent.push_back(text);
    }
    for (std::thread &t : posters)
        t.join();
    std::string store = SimDevice::readFile(dev.statePath("mobile/sms.json"));
    size_t answered = sent.size();
    for (const std::string &text : sent)
        EXPECT_NE(store.find("\"" + text + "\""), std::string::npos) << text << " is lost";
    for (const std::vector<std::string> &texts : received) {
        EXPECT_EQ(texts.size(), (size_t)kEach);
        answered += texts.size();
        for (const std::string &text : texts)
            EXPECT_NE(store.find("\"" + text + "\""), std::string::npos) << text << " is lost";
    }
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(parseJson(store).get(), "messages")), (int)answered);
}

// What one raw HTTP exchange answers: the status line and body of the
// response to text, sent as it is on a connection of its own.
std::string rawHttp(int port, const std::string &text)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (fd >= 0 && connect(fd, (struct sockaddr *)&addr, sizeof(addr)) == 0 &&
        write(fd, text.data(), text.size()) == (ssize_t)text.size()) {
        char buf[4096];
        for (;;) {
            struct pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, 5000) <= 0)
                break;
            ssize_t n = read(fd, buf, sizeof(buf));
            if (n <= 0)
                break;
            reply.append(buf, (size_t)n);
        }
    }
    if (fd >= 0)
        close(fd);
    return reply;
}

// Another site's page, or its name rebound to 127.0.0.1, reaches nothing:
// Host must name the relay, and a page that changes something must be one
// served here or of an origin given with --allow-origin. Each test has a
// relay serving a tree of its own, with links out of it.
class OtherSites : public ::testing::Test {
protected:
    const std::string read = "{\"module\":\"wlan\",\"action\":0}";
    const std::string change = "{\"module\":\"webServer\",\"action\":1,\"language\":\"fr\"}";
    SimDevice dev;
    Child http;
    int port = 0;
    std::string p;  // the port as text
    std::unique_ptr<httplib::Client> client;

    void SetUp() override
    {
        ASSERT_TRUE(dev.start());
        const std::string www = dev.root() + "/www";  // removed with the device
        ASSERT_TRUE(SimDevice::writeFile(www + "/index.html", "<p>my page</p>"));
        ASSERT_TRUE(SimDevice::writeFile(dev.root() + "/secret.svg", "<svg/>"));
        ASSERT_EQ(symlink((dev.root() + "/secret.svg").c_str(), (www + "/leak.svg").c_str()), 0);
        ASSERT_EQ(symlink(dev.root().c_str(), (www + "/root").c_str()), 0);
        port = startKalHttp(http, dev,
                            {"--www", www, "--allow-origin", "http://localhost:5173", "--allow-host", "hotspot.test"});
        ASSERT_GT(port, 0);
        p = std::to_string(port);
        client.reset(new httplib::Client("127.0.0.1", port));
    }

    // The status of a request, 0 without an answer.
    int status(const char *method, const std::string &path, const httplib::Headers &headers,
               const std::string &body = "")
    {
        auto res = std::string(method) == "GET" ? client->Get(path.c_str(), headers)
                   : std::string(method) == "OPTIONS"
                       ? client->Options(path.c_str(), headers)
                       : client->Post(path.c_str(), headers, body, "application/json");
        if (!res)
            return 0;
        // Every refusal is one line of JSON.
        if (res->status >= 400) {
            EXPECT_FALSE(jsonString(parseJson(res->body).get(), "error").empty()) << path << ": " << res->body;
        }
        return res->status;
    }
};

// A rebound name gets nothing on any path, the Wi-Fi key least of all.
TEST_F(OtherSites, HostMustNameTheRelay)
{
    httplib::Headers rebound = {{"Host", "evil.example:" + p}, {"Origin", "http://evil.example:" + p}};
    EXPECT_EQ(status("POST", "/api", rebound, read), 403);
    EXPECT_EQ(status("POST", "/sim", rebound, "{\"args\":[\"sdcard\",\"out\"]}"), 403);
    EXPECT_EQ(status("GET", "/sim", {{"Host", "evil.example:" + p}}), 403);
    EXPECT_EQ(status("GET", "/", {{"Host", "evil.example:" + p}}), 403);
    EXPECT_EQ(status("GET", "/", {{"Host", "localhost:1"}}), 403);
    for (const std::string &host : std::vector<std::string>{"127.0.0.1:" + p, "localhost:" + p, "[::1]:" + p, "hotspot.test",
                                    "hotspot.test:8443", "LOCALHOST:" + p})
        EXPECT_EQ(status("GET", "/", {{"Host", host}}), 200) << host;
}

// Pages of other origins, and origins no page has, may not change anything;
// the pages served here, an allowed origin, and command-line clients may.
TEST_F(OtherSites, OnlyTrustedPagesChangeAnything)
{
    EXPECT_EQ(status("POST", "/api", {{"Origin", "null"}}, change), 403);
    // An empty Origin, which the HTTP library would take for none.
    std::string emptyOrigin = rawHttp(port, "POST /api HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\nOrigin: \r\n" +
                                                "Content-Length: " + std::to_string(change.size()) + "\r\n\r\n" + change);
    EXPECT_EQ(emptyOrigin.compare(0, 12, "HTTP/1.1 403"), 0) << emptyOrigin;
    EXPECT_EQ(status("POST", "/api", {{"Origin", "http://localhost:" + p}, {"Origin", "http://localhost:" + p}},
                     change),
              403);
    EXPECT_EQ(status("POST", "/api", {{"Referer", "http://evil.example/page"}}, change), 403);
    EXPECT_EQ(status("POST", "/api", {{"Referer", "http://127.0.0.1:" + p + "/page"}, {"Referer", "http://a/"}},
                     change),
              403);
    EXPECT_EQ(status("POST", "/sim", {{"Origin", "http://localhost:5174"}}, "{\"args\":[\"sdcard\",\"out\"]}"), 403);
    EXPECT_EQ(jsonString(dev.requestJson("{\"module\":\"webServer\",\"action\":0}").get(), "language"), "en");
    EXPECT_TRUE(SimDevice::exists(dev.path("/dev/block/mmcblk0")));
    EXPECT_EQ(status("POST", "/api", {{"Origin", "http://127.0.0.1:" + p}}, read), 200);
    EXPECT_EQ(status("POST", "/api", {{"Host", "localhost:" + p}, {"Referer", "http://localhost:" + p + "/x?y"}},
                     read),
              200);
    EXPECT_EQ(status("POST", "/api", {}, read), 200);
}

// Cross-origin: only the allowed origin is granted, on /api.
TEST_F(OtherSites, CrossOriginOnlyForTheAllowedOrigin)
{
    auto res = client->Options("/api", {{"Origin", "http://localhost:5173"}, {"Access-Control-Request-Method", "POST"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 204);
    EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), "http://localhost:5173");
    EXPECT_EQ(res->get_header_value_count("Access-Control-Allow-Origin"), 1u);
    EXPECT_NE(res->get_header_value("Access-Control-Allow-Headers").find("Content-Type"), std::string::npos);
    res = postApi(*client, read, "application/json", {{"Origin", "http://localhost:5173"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), "http://localhost:5173");
    res = client->Options("/api", {{"Origin", "http://localhost:5174"}, {"Access-Control-Request-Method", "POST"}});
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    EXPECT_FALSE(res->has_header("Access-Control-Allow-Origin"));
    res = postApi(*client, read, "application/json", {{"Origin", "http://127.0.0.1:" + p}});
    ASSERT_TRUE(res);
    EXPECT_FALSE(res->has_header("Access-Control-Allow-Origin"));
}

TEST_F(OtherSites, FilesNeverComeFromOutsideTheTree)
{
    EXPECT_EQ(status("GET", "/leak.svg", {}), 403);
    EXPECT_EQ(status("GET", "/root/secret.svg", {}), 403);
    EXPECT_EQ(status("GET", "/index.html%00.svg", {}), 403);
    EXPECT_EQ(status("GET", "/root%2fsecret.svg", {}), 403);
    EXPECT_EQ(status("GET", "/index.html", {}), 200);
}

// Conflicting lengths are refused before anything is read; the body of a
// refused request is never taken for the next request.
TEST_F(OtherSites, FramingCannotSmuggleARequest)
{
    std::string raw = rawHttp(port, "POST /api HTTP/1.1\r\nHost: 127.0.0.1:" + p +
                                        "\r\nContent-Length: 5\r\nContent-Length: 28\r\n\r\n" + read);
    EXPECT_EQ(raw.compare(0, 12, "HTTP/1.1 400"), 0) << raw;
    std::string smuggled = "GET /sim HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\n\r\n";
    raw = rawHttp(port, "POST /api HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\nOrigin: http://evil.example\r\n" +
                            "Content-Length: " + std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled);
    EXPECT_EQ(raw.compare(0, 12, "HTTP/1.1 403"), 0) << raw;
    EXPECT_EQ(raw.find("HTTP/1.1 200"), std::string::npos) << raw;
}

// One datagram of any content type: a form-encoded body too.
TEST_F(OtherSites, AnyContentTypeUpToOneDatagram)
{
    std::string padded = read + std::string(20000, ' ');
    auto res = postApi(*client, padded, "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("\"ssid\""), std::string::npos);
    res = client->Post("/api", std::string(40960, ' '), "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 413);
}

// The access log: one line a request, /api's naming what it asked.
TEST_F(OtherSites, AccessLogNamesEachRequest)
{
    EXPECT_EQ(status("POST", "/api", {}, read), 200);
    EXPECT_EQ(status("GET", "/", {{"Host", "evil.example:" + p}}), 403);
    // A line is written once its reply has gone out.
    std::string log;
    for (long long until = nowMs() + 10000; log.find("kal_http: GET / 403 ") == std::string::npos && nowMs() < until;
         sleepMs(20))
        log = SimDevice::readFile(dev.root() + "/kal_http.err");
    http.stop();
    log = SimDevice::readFile(dev.root() + "/kal_http.err");
    EXPECT_NE(log.find("kal_http: POST /api 200 "), std::string::npos) << log;
    EXPECT_NE(log.find(" ms wlan action 0\n"), std::string::npos) << log;
    EXPECT_NE(log.find("kal_http: GET / 403 "), std::string::npos) << log;
}

// A connection to kal_http on loopback, or -1.
int connectTo(int port)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, (struct sockaddr *)&addr, sizeof(addr)) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Whether the relay has ended fd, taking into text whatever it sent first.
bool endedByRelay(int fd, std::string *text)
{
    for (;;) {
        char buf[512];
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) {
            text->append(buf, (size_t)n);
            continue;
        }
        return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    }
}

// A client sending its headers a byte at a time is cut off at the header
// deadline, on a new connection as on one that has had a reply, while
// another client is served.
TEST(HeaderDeadline, CutsOffHeadersSentAByteAtATime)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    Child http;
    int port = startKalHttp(http, dev, {"--quiet"});
    ASSERT_GT(port, 0);
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    int fresh = connectTo(port);
    int replied = connectTo(port);
    ASSERT_GE(fresh, 0);
    ASSERT_GE(replied, 0);
    const std::string whole = "GET /sim HTTP/1.1\r\n" + host + "\r\n";
    ASSERT_EQ(send(replied, whole.data(), whole.size(), MSG_NOSIGNAL), (ssize_t)whole.size());
    std::string repliedText = readUntil(replied, "\r\n\r\n", 10000);
    ASSERT_EQ(repliedText.compare(0, 15, "HTTP/1.1 200 OK"), 0) << repliedText;

    // Headers that would take 25 s at a byte every 100 ms; the deadline is 5 s.
    const std::string slow = "GET /examples HTTP/1.1\r\n" + host + "X-Slow: " + std::string(250, 'a');
    int fds[2] = {fresh, replied};
    bool cut[2] = {false, false};
    std::string text[2];
    bool servedBeforeCut = false;
    httplib::Client client("127.0.0.1", port);
    long long giveUp = nowMs() + 20000;
    for (size_t at = 0; at < slow.size() && !(cut[0] && cut[1]) && nowMs() < giveUp; at++) {
        for (int i = 0; i < 2; i++) {
            if (!cut[i])
                cut[i] = send(fds[i], &slow[at], 1, MSG_NOSIGNAL) != 1 || endedByRelay(fds[i], &text[i]);
        }
        if (at == 10 && !cut[0] && !cut[1]) {
            auto res = client.Get("/examples");
            servedBeforeCut = res && res->status == 200 && !cut[0] && !cut[1];
        }
        sleepMs(100);
    }
    close(fresh);
    close(replied);
    EXPECT_TRUE(servedBeforeCut);
    EXPECT_TRUE(cut[0]) << "a new connection's headers were never cut off";
    EXPECT_TRUE(cut[1]) << "the headers after a reply were never cut off";
    // The relay ends the connection; nothing answers the unfinished request.
    EXPECT_EQ(text[0], "");
    EXPECT_EQ(text[1].find("HTTP/1.1"), std::string::npos) << text[1];
}

// Clients that send their headers a byte at a time hold a worker each only
// until the header deadline; meanwhile ordinary requests are answered.
TEST(KalHttp, SlowClientsDoNotStopOthers)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    Child http;
    int port = startKalHttp(http, dev, {"--quiet"});
    ASSERT_GT(port, 0);
    const int kSlow = 200;
    std::vector<int> slow;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < kSlow; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(fd, (struct sockaddr *)&addr, sizeof(addr)), 0);
        slow.push_back(fd);
    }
    // One byte of headers every 200 ms on each, for at most 15 s.
    std::atomic<int> cut{0};
    std::thread dripper([&]() {
        const std::string headers = "GET /examples HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                    "\r\nX-Slow: " + std::string(200, 'a');
        std::vector<bool> open(slow.size(), true);
        long long deadline = nowMs() + 15000;
        for (size_t at = 0; at < headers.size() && cut.load() < kSlow && nowMs() < deadline; at++) {
            for (size_t i = 0; i < slow.size(); i++) {
                char byte = 0;
                if (open[i] && (send(slow[i], &headers[at], 1, MSG_NOSIGNAL) != 1 ||
                                recv(slow[i], &byte, 1, MSG_DONTWAIT) == 0)) {
                    open[i] = false;
                    cut++;
                }
            }
            sleepMs(200);
        }
    });
    std::vector<long long> ms;
    int failed = 0;
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10, 0);
    while (cut.load() < kSlow && ms.size() < 1000) {
        long long start = nowMs();
        auto res = client.Get("/examples");
        if (!res || res->status != 200)
            failed++;
        ms.push_back(nowMs() - start);
        sleepMs(20);
    }
    dripper.join();
    for (int fd : slow)
        close(fd);
    std::sort(ms.begin(), ms.end());
    ASSERT_FALSE(ms.empty());
    printf("slow clients: %d of %d cut at their header deadline; %zu ordinary requests meanwhile, p50 %lld ms, "
           "p99 %lld ms\n",
           cut.load(), kSlow, ms.size(), ms[ms.size() / 2], ms[ms.size() * 99 / 100]);
    EXPECT_EQ(cut.load(), kSlow);
    EXPECT_EQ(failed, 0);
}

// A server that has stopped reading: every relay still ends within its
// deadline (its datagram cannot even be queued once the server's queue is
// full), and the relay's own pages are served meanwhile.
TEST(KalHttp, AStalledServerWedgesNothing)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    Child http;
    int port = startKalHttp(http, dev, {"--quiet"});
    ASSERT_GT(port, 0);
    ASSERT_EQ(kill(dev.pid(), SIGSTOP), 0);
    const int kRelays = 45;
    std::atomic<int> timedOut{0}, other{0};
    std::atomic<long long> slowest{0};
    std::vector<std::thread> relays;
    for (int i = 0; i < kRelays; i++) {
        relays.emplace_back([&]() {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(30, 0);
            long long start = nowMs();
            auto res = postApi(c, "{\"module\":\"webServer\",\"action\":0}", "application/json");
            long long took = nowMs() - start;
            if (took > slowest.load())
                slowest = took;
            if (res && res->status == 504)
                timedOut++;
            else
                other++;
        });
    }
    // While they wait: the console and the examples.
    std::vector<long long> ms;
    httplib::Client client("127.0.0.1", port);
    for (int i = 0; i < 20; i++) {
        long long start = nowMs();
        auto page = client.Get(i % 2 == 0 ? "/" : "/examples");
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 200);
        ms.push_back(nowMs() - start);
        sleepMs(50);
    }
    for (std::thread &t : relays)
        t.join();
    kill(dev.pid(), SIGCONT);
    std::sort(ms.begin(), ms.end());
    printf("stalled server: %d of %d relays answered 504, the slowest after %lld ms; pages meanwhile: p50 %lld ms, "
           "max %lld ms\n",
           timedOut.load(), kRelays, slowest.load(), ms[ms.size() / 2], ms.back());
    EXPECT_EQ(timedOut.load(), kRelays);
    EXPECT_EQ(other.load(), 0);
    // And kal_request keeps its deadline in the send as well: with the
    // server's queue full, -t 1 ends on its own with "no reply" (1), not
    // when timeout(1) kills it (124).
    ASSERT_EQ(kill(dev.pid(), SIGSTOP), 0);
    int filler = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct sockaddr_un server;
    memset(&server, 0, sizeof(server));
    server.sun_family = AF_UNIX;
    snprintf(server.sun_path, sizeof(server.sun_path), "%s", dev.socketPath().c_str());
    int queued = 0;
    while (queued < 1000 && sendto(filler, "{}", 2, 0, (struct sockaddr *)&server, sizeof(server)) == 2)
        queued++;
    int status = runCommand("KAL_ROOT='" + dev.root() + "' timeout 20 " KAL_REQUEST_BIN
                            " -t 1 '{\"module\":\"webServer\",\"action\":0}' >/dev/null 2>&1");
    close(filler);
    kill(dev.pid(), SIGCONT);
    EXPECT_LT(queued, 1000) << "the server's queue never filled";
    EXPECT_EQ(status, 1);
}

// Chromium through chromedriver's WebDriver API.
class Browser {
public:
    bool start(const std::string &profileDir, std::string *why)
    {
        if (access(kChromium, X_OK) != 0 || access(kChromedriver, X_OK) != 0) {
            *why = "chromium or chromium-driver is not installed (scripts/test installs them)";
            return false;
        }
        port_ = freePort();
        driver_.pid = fork();
        if (driver_.pid == 0) {
            setpgid(0, 0);
            int null = ::open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            std::string portArg = "--port=" + std::to_string(port_);
            execl(kChromedriver, kChromedriver, portArg.c_str(), (char *)nullptr);
            _exit(127);
        }
        setpgid(driver_.pid, driver_.pid);
        client_.reset(new httplib::Client("127.0.0.1", port_));
        client_->set_read_timeout(60, 0);
        bool ready = false;
        for (long long deadline = nowMs() + 30000; !ready && nowMs() < deadline; sleepMs(100)) {
            JsonPtr status = call("GET", "/status", "");
            ready = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(status.get(), "ready"));
        }
        if (!ready) {
            *why = "chromedriver did not get ready on port " + std::to_string(port_);
            return false;
        }
        std::string caps =
            "{\"capabilities\":{\"alwaysMatch\":{\"browserName\":\"chrome\",\"goog:chromeOptions\":{\"binary\":\"" +
            std::string(kChromium) +
            "\",\"args\":[\"--headless\",\"--no-sandbox\",\"--disable-gpu\",\"--disable-quic\",\"--no-first-run\","
            "\"--disable-background-networking\",\"--disable-component-update\",\"--disable-sync\","
            "\"--window-size=1280,960\",\"--user-data-dir=" +
            profileDir + "\"]}}}}";
        JsonPtr session = call("POST", "/session", caps);
        session_ = jsonString(session.get(), "sessionId");
        if (session_.empty()) {
            *why = "chromium did not start: " + lastError_;
            return false;
        }
        return true;
    }

    ~Browser()
    {
        if (!session_.empty())
            call("DELETE", "/session/" + session_, "");
        driver_.stop();
    }

    // The "value" of a session command; null on an error (lastError says which).
    JsonPtr command(const std::string &method, const std::string &path, const std::string &body)
    {
        return call(method, "/session/" + session_ + path, body);
    }

    bool open(const std::string &url) { return command("POST", "/url", "{\"url\":\"" + url + "\"}") != nullptr; }

    std::string element(const std::string &css)
    {
        cJSON *sel = cJSON_CreateObject();
        cJSON_AddStringToObject(sel, "using", "css selector");
        cJSON_AddStringToObject(sel, "value", css.c_str());
        char *text = cJSON_PrintUnformatted(sel);
        JsonPtr found = command("POST", "/element", text);
        cJSON_free(text);
        cJSON_Delete(sel);
        return jsonString(found.get(), kElementKey);
    }

    bool click(const std::string &css) { return command("POST", "/element/" + element(css) + "/click", "{}") != nullptr; }

    bool type(const std::string &css, const std::string &keys)
    {
        std::string id = element(css);
        return command("POST", "/element/" + id + "/clear", "{}") != nullptr &&
               command("POST", "/element/" + id + "/value", "{\"text\":\"" + keys + "\"}") != nullptr;
    }

    // Runs a script that returns a string.
    std::string script(const std::string &js)
    {
        cJSON *body = cJSON_CreateObject();
        cJSON_AddStringToObject(body, "script", js.c_str());
        cJSON_AddArrayToObject(body, "args");
        char *text = cJSON_PrintUnformatted(body);
        JsonPtr value = command("POST", "/execute/sync", text);
        cJSON_free(text);
        cJSON_Delete(body);
        return cJSON_IsString(value.get()) ? value->valuestring : "";
    }

    // Runs a script that calls its last argument with a string, once.
    std::string scriptAsync(const std::string &js)
    {
        cJSON *body = cJSON_CreateObject();
        cJSON_AddStringToObject(body, "script", js.c_str());
        cJSON_AddArrayToObject(body, "args");
        char *text = cJSON_PrintUnformatted(body);
        JsonPtr value = command("POST", "/execute/async", text);
        cJSON_free(text);
        cJSON_Delete(body);
        return cJSON_IsString(value.get()) ? value->valuestring : "";
    }

    // Polls until the script returns want; milliseconds taken, or -1.
    long long waitScript(const std::string &js, const std::string &want, int timeoutMs = 20000)
    {
        long long start = nowMs();
        while (nowMs() - start < timeoutMs) {
            if (script(js) == want)
                return nowMs() - start;
            sleepMs(10);
        }
        return -1;
    }

    // The page's viewport: width by height CSS pixels.
    bool viewport(int width, int height)
    {
        std::string metrics = "{\"cmd\":\"Emulation.setDeviceMetricsOverride\",\"params\":{\"width\":" +
                              std::to_string(width) + ",\"height\":" + std::to_string(height) +
                              ",\"deviceScaleFactor\":1,\"mobile\":false}}";
        return command("POST", "/goog/cdp/execute", metrics) != nullptr;
    }

    std::string text(const std::string &id)
    {
        return script("var e = document.getElementById('" + id + "'); return e ? e.textContent : '';");
    }

    // Polls until the element's text contains want; milliseconds taken, or -1.
    long long waitText(const std::string &id, const std::string &want, int timeoutMs = 20000)
    {
        long long start = nowMs();
        while (nowMs() - start < timeoutMs) {
            if (text(id).find(want) != std::string::npos)
                return nowMs() - start;
            sleepMs(10);
        }
        return -1;
    }

    std::string screenshotPng()
    {
        JsonPtr value = command("GET", "/screenshot", "");
        return cJSON_IsString(value.get()) ? decodeBase64(value->valuestring) : "";
    }

    const std::string &lastError() const { return lastError_; }

private:

    static std::string decodeBase64(const std::string &in)
    {
        std::string out;
        int bits = 0;
        unsigned value = 0;
        for (char c : in) {
            const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
            const char *at = c != '\0' ? strchr(alphabet, c) : nullptr;
            if (at == nullptr)
                continue;
            value = ((value << 6) | (unsigned)(at - alphabet)) & 0xffffu;
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                out.push_back((char)((value >> bits) & 0xff));
            }
        }
        return out;
    }

    JsonPtr call(const std::string &method, const std::string &path, const std::string &body)
    {
        httplib::Result res = method == "GET"      ? client_->Get(path.c_str())
                              : method == "DELETE" ? client_->Delete(path.c_str())
                                                   : client_->Post(path.c_str(), body, "application/json");
        if (!res) {
            lastError_ = "no answer from chromedriver to " + method + " " + path;
            return nullptr;
        }
        JsonPtr reply = parseJson(res->body);
        cJSON *value = cJSON_DetachItemFromObjectCaseSensitive(reply.get(), "value");
        if (res->status != 200) {
            lastError_ = method + " " + path + ": " + jsonString(value, "message");
            cJSON_Delete(value);
            return nullptr;
        }
        // Null values (a click's answer) still mean success.
        return JsonPtr(value != nullptr ? value : cJSON_CreateNull());
    }

    Child driver_;
    int port_ = 0;
    std::unique_ptr<httplib::Client> client_;
    std::string session_;
    std::string lastError_;
};

void keepScreenshot(Browser &browser, const char *name)
{
    std::string png = browser.screenshotPng();
    EXPECT_EQ(png.compare(0, 4, "\x89PNG"), 0) << "no screenshot: " << browser.lastError();
    const char *dir = getenv("KAL_SCREENSHOT_DIR");
    if (dir != nullptr && dir[0] != '\0') {
        EXPECT_TRUE(SimDevice::writeFile(std::string(dir) + "/" + name, png));
    }
}

// The value of a form field of the page.
std::string fieldJs(const std::string &id, const char *property = "value")
{
    return "return String(document.getElementById('" + id + "')." + property + ");";
}

// The console in a browser, on a device with its relay: each test opens
// the console's page once the link to the server is up.
class ConsoleBrowserDashboard : public ::testing::Test {
protected:
    SimDevice dev;
    Child http;
    int port = 0;
    Browser browser;
    std::string kalSim;  // the command line of kal_sim on this device
    std::unique_ptr<httplib::Client> client;

    void SetUp() override
    {
        ASSERT_TRUE(dev.start());
        port = startKalHttp(http, dev);
        ASSERT_GT(port, 0);
        std::string why;
        ASSERT_TRUE(browser.start(dev.root() + "/chromium-profile", &why)) << why;
        std::string base = "http://127.0.0.1:" + std::to_string(port) + "/";
        ASSERT_TRUE(browser.open(base)) << browser.lastError();
        kalSim = "KAL_ROOT='" + dev.root() + "' " KAL_SIM_BIN_PATH " ";
        client.reset(new httplib::Client("127.0.0.1", port));
        ASSERT_GE(browser.waitText("link", "server answering"), 0) << browser.text("link");
    }
};

// Live values from "status".
TEST_F(ConsoleBrowserDashboard, ShowsLiveStatus)
{
    EXPECT_GE(browser.waitText("battery", "80 %"), 0) << browser.text("battery");
    EXPECT_GE(browser.waitText("link", "server answering"), 0) << browser.text("link");
    EXPECT_EQ(browser.text("unread"), "1");
    EXPECT_EQ(browser.text("stations"), "1");
    EXPECT_EQ(browser.text("sdcard"), "in");
    EXPECT_EQ(browser.text("wifi"), "on");
}

// Compose: the module's examples come from the corpus; the reply is shown formatted.
TEST_F(ConsoleBrowserDashboard, ComposerSendsAModulesExample)
{
    browser.script("var m = document.getElementById('module'); m.value = 'webServer';"
                   "m.dispatchEvent(new Event('change')); return m.value;");
    EXPECT_NE(browser.script("return document.getElementById('request').value;").find("\"module\":\"webServer\""),
              std::string::npos);
    EXPECT_GE(browser.script("return String(document.getElementById('example').options.length);"), "4");
    ASSERT_TRUE(browser.click("#send")) << browser.lastError();
    EXPECT_GE(browser.waitText("reply", "\"language\": \"en\""), 0) << browser.text("reply");
    EXPECT_NE(browser.text("reply-status").find("HTTP 200"), std::string::npos);
    keepScreenshot(browser, "console-dashboard.png");
}

// A control in the console, seen on the dashboard.
TEST_F(ConsoleBrowserDashboard, ControlsShowOnTheDashboard)
{
    ASSERT_TRUE(browser.type("#ctl-battery-level", "15")) << browser.lastError();
    ASSERT_TRUE(browser.click("#ctl-battery-apply")) << browser.lastError();
    long long batteryMs = browser.waitText("battery", "15 %");
    EXPECT_GE(batteryMs, 0) << browser.text("battery");
    EXPECT_EQ(SimDevice::readFile(dev.statePath("config/119")), "15");
    ASSERT_TRUE(browser.click("#ctl-sms-receive")) << browser.lastError();
    long long smsMs = browser.waitText("unread", "2");
    EXPECT_GE(smsMs, 0) << browser.text("unread");
    EXPECT_NE(browser.text("ctl-message").find("received"), std::string::npos) << browser.text("ctl-message");
    printf("console: console control to dashboard: battery %lld ms, SMS %lld ms\n", batteryMs, smsMs);
}

// Changes made elsewhere reach the controls within a poll, without a
// reload: through the relay as a script would, and with kal_sim.
TEST_F(ConsoleBrowserDashboard, ChangesMadeElsewhereReachTheControls)
{
    for (const char *args : {"[\"battery\",\"44\",\"--charging\"]", "[\"update\",\"offer\",\"1.2.0\"]",
                             "[\"signal\",\"2\"]", "[\"roaming\",\"on\"]", "[\"sim\",\"absent\"]"}) {
        auto res = client->Post("/sim", std::string("{\"args\":") + args + "}", "application/json");
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200) << args << ": " << res->body;
    }
    ASSERT_EQ(runCommand(kalSim + "wifi unreachable >/dev/null && " + kalSim + "sdcard out >/dev/null"), 0);
    long long liveMs = browser.waitScript(fieldJs("ctl-battery-level"), "44");
    EXPECT_GE(liveMs, 0) << browser.script(fieldJs("ctl-battery-level"));
    EXPECT_GE(browser.waitScript(fieldJs("ctl-wifi", "checked"), "false"), 0);
    EXPECT_EQ(browser.script(fieldJs("ctl-battery-charging", "checked")), "true");
    EXPECT_EQ(browser.text("ctl-update-state"), "offering 1.2.0");
    EXPECT_EQ(browser.script(fieldJs("ctl-signal")), "2");
    EXPECT_EQ(browser.script(fieldJs("ctl-roaming", "checked")), "true");
    EXPECT_EQ(browser.script(fieldJs("ctl-sim-state")), "absent");
    EXPECT_EQ(browser.script(fieldJs("ctl-sdcard", "checked")), "false");
    ASSERT_EQ(runCommand(kalSim + "wifi reachable >/dev/null && " + kalSim + "sdcard in >/dev/null && " + kalSim +
                         "sim ready >/dev/null && " + kalSim + "update none >/dev/null"),
              0);
    EXPECT_GE(browser.waitText("ctl-update-state", "nothing on offer"), 0) << browser.text("ctl-update-state");
    EXPECT_GE(browser.waitScript(fieldJs("ctl-sim-state"), "ready"), 0);
    printf("console: other changes to the controls %lld ms\n", liveMs);
}

// A field being typed in keeps what was typed while the device changes;
// its Set applies it, and from then on it follows the device again.
TEST_F(ConsoleBrowserDashboard, AFieldBeingTypedInKeepsItsText)
{
    ASSERT_TRUE(browser.type("#ctl-battery-level", "7"));
    ASSERT_EQ(runCommand(kalSim + "battery 45 >/dev/null"), 0);
    EXPECT_GE(browser.waitText("battery", "45 %"), 0) << browser.text("battery");
    EXPECT_EQ(browser.script(fieldJs("ctl-battery-level")), "7");
    ASSERT_TRUE(browser.click("#ctl-battery-apply"));
    EXPECT_GE(browser.waitText("battery", "7 %"), 0) << browser.text("battery");
    ASSERT_EQ(runCommand(kalSim + "battery 46 >/dev/null"), 0);
    EXPECT_GE(browser.waitScript(fieldJs("ctl-battery-level"), "46"), 0);
}

// A refused value shows its one line and changes nothing.
TEST_F(ConsoleBrowserDashboard, ARefusedValueChangesNothing)
{
    ASSERT_EQ(runCommand(kalSim + "battery 46 >/dev/null"), 0);
    EXPECT_GE(browser.waitScript(fieldJs("ctl-battery-level"), "46"), 0);
    ASSERT_TRUE(browser.type("#ctl-battery-level", "150"));
    ASSERT_TRUE(browser.click("#ctl-battery-apply"));
    EXPECT_GE(browser.waitText("ctl-message", "0 to 100"), 0) << browser.text("ctl-message");
    EXPECT_EQ(SimDevice::readFile(dev.statePath("config/119")), "46");
    EXPECT_EQ(browser.script(fieldJs("ctl-battery-level")), "150");
    ASSERT_TRUE(browser.type("#ctl-battery-level", "46"));
    ASSERT_TRUE(browser.click("#ctl-battery-apply"));
    EXPECT_GE(browser.waitText("ctl-message", "46"), 0) << browser.text("ctl-message");
}

// The station list is the device's: one that leaves goes from the list,
// and the remove button removes one that is there.
TEST_F(ConsoleBrowserDashboard, TheStationListIsTheDevices)
{
    ASSERT_EQ(runCommand(kalSim + "station add 02:00:00:00:00:09 phone >/dev/null"), 0);
    long long pollMs = browser.waitText("stations", "2");
    EXPECT_GE(pollMs, 0) << browser.text("stations");
    EXPECT_GE(browser.waitText("ctl-station-list", "02:00:00:00:00:09"), 0) << browser.text("ctl-station-list");
    browser.script("document.getElementById('request').value = '{\"module\":\"wlan\",\"action\":1,\"ssid\":\"\"}';"
                   "return '';");
    ASSERT_TRUE(browser.click("#send"));
    EXPECT_GE(browser.waitText("reply-kind", "refused"), 0) << browser.text("reply-kind");
    keepScreenshot(browser, "console-controls.png");
    ASSERT_EQ(runCommand(kalSim + "station remove 02:00:00:00:00:09 >/dev/null"), 0);
    EXPECT_GE(browser.waitScript("return String(document.getElementById('ctl-station-list').textContent"
                                 ".includes('02:00:00:00:00:09'));",
                                 "false"),
              0)
        << browser.text("ctl-station-list");
    ASSERT_TRUE(browser.click("#ctl-station-list li button"));
    EXPECT_GE(browser.waitText("ctl-message", "left"), 0) << browser.text("ctl-message");
    EXPECT_GE(browser.waitText("ctl-station-list", "none connected"), 0) << browser.text("ctl-station-list");
    EXPECT_GE(browser.waitText("stations", "0"), 0) << browser.text("stations");
    printf("console: kal_sim to dashboard: station %lld ms\n", pollMs);
}

// How long a command-line change takes to show: up to one polling period.
TEST_F(ConsoleBrowserDashboard, CommandLineChangesShowWithinAPoll)
{
    std::vector<long long> polled;
    for (int level = 21; level <= 25; level++) {
        std::string word = std::to_string(level);
        ASSERT_EQ(runCommand(kalSim + "battery " + word + " >/dev/null"), 0);
        long long ms = browser.waitText("battery", word + " %");
        EXPECT_GE(ms, 0) << browser.text("battery");
        polled.push_back(ms);
    }
    std::sort(polled.begin(), polled.end());
    printf("console: kal_sim to dashboard: battery min %lld / median %lld / max %lld ms\n", polled.front(),
           polled[polled.size() / 2], polled.back());
}

// While the server does not answer (stopped: each poll ends in 504
// after 5 s) the tiles are greyed and say so; then they come back.
TEST_F(ConsoleBrowserDashboard, TilesGreyWhileTheServerDoesNotAnswer)
{
    dev.signal(SIGSTOP);
    long long greyMs = browser.waitScript("return document.getElementById('dashboard').className;", "stale");
    std::string stale = browser.text("stale");
    std::string link = browser.text("link");
    std::string opacity = browser.script(
        "return getComputedStyle(document.querySelector('.tiles')).opacity;");
    dev.signal(SIGCONT);
    EXPECT_GE(greyMs, 0) << "tiles not greyed within 20 s";
    EXPECT_NE(stale.find("not answering"), std::string::npos) << stale;
    EXPECT_EQ(link, "server not answering");
    EXPECT_LT(atof(opacity.c_str()), 1.0) << opacity;
    long long backMs = browser.waitScript("return document.getElementById('dashboard').className;", "");
    EXPECT_GE(backMs, 0);
    EXPECT_EQ(browser.script("return String(document.getElementById('stale').hidden);"), "true");
    EXPECT_GE(browser.waitText("link", "server answering"), 0);
    EXPECT_EQ(browser.script("return getComputedStyle(document.querySelector('.tiles')).opacity;"), "1");
    printf("console: server stopped to tiles greyed %lld ms, resumed to tiles back %lld ms\n", greyMs, backMs);
}

// A phone's width: nothing scrolls sideways.
TEST_F(ConsoleBrowserDashboard, NothingScrollsSidewaysAtAPhonesWidth)
{
    ASSERT_TRUE(browser.viewport(390, 844)) << browser.lastError();
    EXPECT_GE(browser.waitScript("return String(window.innerWidth);", "390"), 0);
    std::string width = browser.script("return String(document.documentElement.scrollWidth);");
    EXPECT_LE(atoi(width.c_str()), 390) << width;
    browser.script("window.scrollTo(0, 0); return '';");
    keepScreenshot(browser, "console-dashboard-390.png");
    browser.script("document.getElementById('controls').scrollIntoView(); return '';");
    keepScreenshot(browser, "console-controls-390.png");
    size_t pageBytes = 0;
    for (const char *file : {"/", "/console.css", "/console.js"}) {
        auto res = client->Get(file);
        ASSERT_TRUE(res);
        pageBytes += res->body.size();
    }
    printf("console: page weight %zu bytes\n", pageBytes);
}

// The relay's faults set in the console and shown with the device's; the
// power cycle and a scenario file under the device root sent as kal_sim's
// words; the network type shown as the reply gives it, with what is known
// of it; at a phone's width an input stays beside its unit.
TEST(ConsoleBrowser, RelayFaultsPowerCycleAndScenarioFile)
{
    SimDevice dev;
    DetachedServer detached{dev.root()};
    ASSERT_TRUE(dev.start());
    Child http;
    int port = startKalHttp(http, dev);
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    Browser browser;
    std::string why;
    ASSERT_TRUE(browser.start(dev.root() + "/chromium-profile", &why)) << why;
    ASSERT_TRUE(browser.open("http://127.0.0.1:" + std::to_string(port) + "/")) << browser.lastError();
    EXPECT_GE(browser.waitText("link", "server answering"), 0) << browser.text("link");

    // The code as it comes, and a tooltip that claims no meaning for it.
    EXPECT_GE(browser.waitText("network-type", "type 3"), 0) << browser.text("network");
    std::string tooltip = browser.script("return document.getElementById('network-type').title;");
    EXPECT_NE(tooltip.find("wan.networkType 3"), std::string::npos) << tooltip;
    EXPECT_NE(tooltip.find("not documented"), std::string::npos) << tooltip;

    // An error on the dashboard's own request: its tiles say what the relay answers.
    auto choose = [&](const std::string &id, const std::string &value) {
        browser.script("var e = document.getElementById('" + id + "'); e.value = '" + value +
                       "'; e.dispatchEvent(new Event('change')); return '';");
    };
    ASSERT_TRUE(browser.type("#ctl-relay-target", "status.0"));
    choose("ctl-relay-kind", "error");
    EXPECT_EQ(browser.text("ctl-relay-unit"), "HTTP");
    EXPECT_EQ(browser.script(fieldJs("ctl-relay-value")), "503");
    ASSERT_TRUE(browser.click("#ctl-relay-apply"));
    EXPECT_GE(browser.waitText("ctl-message", "status.0: error 503"), 0) << browser.text("ctl-message");
    EXPECT_GE(browser.waitText("stale", "relay answers 503"), 0) << browser.text("stale");
    EXPECT_GE(browser.waitText("ctl-relay-state", "status.0 error 503"), 0) << browser.text("ctl-relay-state");
    ASSERT_TRUE(browser.click("#ctl-relay-clear"));
    EXPECT_GE(browser.waitScript("return document.getElementById('dashboard').className;", ""), 0);
    EXPECT_GE(browser.waitText("ctl-relay-state", "every request relayed"), 0) << browser.text("ctl-relay-state");
    // A delay; a drop takes no value.
    ASSERT_TRUE(browser.type("#ctl-relay-target", "flowstat.0"));
    choose("ctl-relay-kind", "delay");
    ASSERT_TRUE(browser.click("#ctl-relay-apply"));
    EXPECT_GE(browser.waitText("ctl-relay-state", "flowstat.0 delay 800"), 0) << browser.text("ctl-relay-state");
    EXPECT_EQ(relayFaultsShown(client), "{\"flowstat.0\":\"delay 800\"}");
    choose("ctl-relay-kind", "drop");
    EXPECT_EQ(browser.script(fieldJs("ctl-relay-amount", "hidden")), "true");
    ASSERT_TRUE(browser.type("#ctl-relay-target", "wlan.1"));
    ASSERT_TRUE(browser.click("#ctl-relay-apply"));
    EXPECT_GE(browser.waitText("ctl-relay-state", "wlan.1 drop"), 0) << browser.text("ctl-relay-state");

    // The words each button sends to /sim.
    browser.script("window.sentSim = []; var f = window.fetch; window.fetch = function (url, init) {"
                   "  if (url === '/sim' && init && init.body) window.sentSim.push(init.body);"
                   "  return f.apply(this, arguments); }; return '';");
    ASSERT_TRUE(browser.click("#ctl-power-cycle"));
    ASSERT_TRUE(browser.type("#ctl-scenario-path", "sim/mine.scenario"));
    ASSERT_TRUE(browser.click("#ctl-scenario-file"));
    EXPECT_GE(browser.waitScript("return window.sentSim.join(' ');",
                                 "{\"args\":[\"power\",\"cycle\"]} {\"args\":[\"scenario\",\"start\",\"sim/mine.scenario\"]}"),
              0)
        << browser.script("return window.sentSim.join(' ');");

    // A phone's width: each input on the line of its unit, nothing sideways.
    ASSERT_TRUE(browser.viewport(390, 844)) << browser.lastError();
    EXPECT_GE(browser.waitScript("return String(window.innerWidth);", "390"), 0);
    for (const char *input : {"ctl-fault-ms", "ctl-relay-value"}) {
        choose("ctl-relay-kind", "delay");
        std::string lines = browser.script("var i = document.getElementById('" + std::string(input) +
                                           "'); return String(i.parentElement.getBoundingClientRect().height < "
                                           "2 * i.getBoundingClientRect().height);");
        EXPECT_EQ(lines, "true") << input;
    }
    std::string width = browser.script("return String(document.documentElement.scrollWidth);");
    EXPECT_LE(atoi(width.c_str()), 390) << width;
}

// Lines of the relay's access log for /api requests other than the
// dashboard's poll.
int composedRequests(const SimDevice &dev)
{
    std::string log = SimDevice::readFile(dev.root() + "/kal_http.err");
    int count = 0;
    for (size_t at = log.find("POST /api "); at != std::string::npos; at = log.find("POST /api ", at + 1)) {
        if (log.substr(at, log.find('\n', at) - at).find("status action 0") == std::string::npos)
            count++;
    }
    return count;
}

// The console as a team serving its own pages sees it, under /_console/:
// each kind of reply in its own style, JSON checked before it goes, and
// a history whose entries come back into the composer and whose curl
// command and fetch call send the same request.
// The composer's form for an action comes from the request schema: an input
// a member, with its range; the form writes the raw JSON, a hand edit of
// the JSON fills the form, and a value outside its range is marked.
TEST(ConsoleBrowser, ActionFormsFromTheSchema)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    Child http;
    int port = startKalHttp(http, dev);
    ASSERT_GT(port, 0);
    Browser browser;
    std::string why;
    ASSERT_TRUE(browser.start(dev.root() + "/chromium-profile", &why)) << why;
    ASSERT_TRUE(browser.open("http://127.0.0.1:" + std::to_string(port) + "/")) << browser.lastError();
    EXPECT_GE(browser.waitScript("return String(document.getElementById('module').options.length > 10);", "true"), 0);
    const std::string level = "document.querySelector('#form [data-path=\\'[\"powerLevel\"]\\']')";
    const std::string request = "return document.getElementById('request').value;";
    auto edit = [&](const std::string &input, const std::string &value) {
        browser.script(input + ".value = '" + value + "'; " + input +
                       ".dispatchEvent(new Event('input')); return '';");
    };

    // power_save action 1: its members, each with its declared range.
    browser.script("var r = document.getElementById('request');"
                   "r.value = '{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":2}';"
                   "r.dispatchEvent(new Event('input')); return '';");
    EXPECT_GE(browser.waitScript("return " + level + " ? " + level + ".value : '';", "2"), 0);
    EXPECT_EQ(browser.script("return " + level + ".min + ' ' + " + level + ".max;"), "-999999 9999999");
    EXPECT_EQ(browser.script("return String(document.querySelectorAll('#form [data-path]').length);"), "3");

    // The form writes the request, absent members left out.
    edit(level, "5");
    EXPECT_EQ(browser.script(request), "{\"module\":\"power_save\",\"action\":1,\"enable\":1,\"powerLevel\":5}");
    edit(level, "");
    EXPECT_EQ(browser.script(request), "{\"module\":\"power_save\",\"action\":1,\"enable\":1}");
    // Outside the range: marked, and still sendable to see the server refuse it.
    edit(level, "10000000");
    EXPECT_NE(browser.text("form-check").find("powerLevel"), std::string::npos) << browser.text("form-check");
    ASSERT_TRUE(browser.click("#send"));
    EXPECT_GE(browser.waitText("reply-kind", "refused"), 0) << browser.text("reply-kind");

    // Nested members: flowstat's settings, a boolean as a choice.
    browser.script("var m = document.getElementById('module'); m.value = 'flowstat';"
                   "m.dispatchEvent(new Event('change')); var e = document.getElementById('example');"
                   "e.value = [...e.options].find(o => o.value.includes('\"action\":1')).value;"
                   "e.dispatchEvent(new Event('change')); return '';");
    const std::string limit = "document.querySelector('#form [data-path=\\'[\"settings\",\"enableDataLimit\"]\\']')";
    EXPECT_EQ(browser.script("return " + limit + ".tagName;"), "SELECT");
    edit("document.querySelector('#form [data-path=\\'[\"settings\",\"warningPercent\"]\\']')", "80");
    EXPECT_NE(browser.script(request).find("\"warningPercent\":80"), std::string::npos) << browser.script(request);
    ASSERT_TRUE(browser.click("#send"));
    EXPECT_GE(browser.waitText("reply-kind", "success"), 0) << browser.text("reply");
    keepScreenshot(browser, "console-forms.png");
}

// The console's composer and history in a browser, the console under
// /_console/ beside a tree of the front end's own.
class ConsoleBrowserComposer : public ::testing::Test {
protected:
    const std::string quoted = "{\"module\":\"webServer\",\"action\":0,\"note\":\"it's \\\"$HOME\\\" `id` \\\\ ok\"}";
    const std::string tooLarge = "{\"module\":\"webServer\",\"action\":0,\"pad\":\"" + std::string(41000, 'x') + "\"}";
    SimDevice dev;
    Child http;
    int port = 0;
    Browser browser;
    std::unique_ptr<httplib::Client> client;

    void SetUp() override
    {
        ASSERT_TRUE(dev.start());
        const std::string www = dev.root() + "/www";  // removed with the device
        ASSERT_TRUE(SimDevice::writeFile(www + "/index.html", "<p>my page</p>"));
        port = startKalHttp(http, dev, {"--www", www});
        ASSERT_GT(port, 0);
        client.reset(new httplib::Client("127.0.0.1", port));
        std::string why;
        ASSERT_TRUE(browser.start(dev.root() + "/chromium-profile", &why)) << why;
        ASSERT_TRUE(browser.open("http://127.0.0.1:" + std::to_string(port) + "/_console/")) << browser.lastError();
        EXPECT_GE(browser.waitText("link", "server answering"), 0) << browser.text("link");
        EXPECT_GE(browser.waitScript("return String(document.getElementById('module').options.length > 10);", "true"),
                  0);
    }

    // Sends text from the composer; the word shown with the reply, once it came.
    std::string compose(const std::string &text)
    {
        cJSON *literalText = cJSON_CreateString(text.c_str());
        char *literal = cJSON_PrintUnformatted(literalText);
        browser.script(std::string("document.getElementById('request').value = ") + literal +
                       "; document.getElementById('reply-status').textContent = ''; return '';");
        cJSON_free(literal);
        cJSON_Delete(literalText);
        browser.click("#send");
        browser.waitScript("return String(/ms$|not sent/.test(document.getElementById('reply-status').textContent));",
                           "true");
        return browser.text("reply-kind");
    }

    std::string replyColour()
    {
        return browser.script("return getComputedStyle(document.getElementById('reply')).borderLeftColor;");
    }

    // The history's entry n, newest first.
    std::string entry(int n)
    {
        return browser.script("var e = document.querySelectorAll('#history-list li')[" + std::to_string(n) +
                              "]; return e ? e.textContent : '';");
    }

    // Six requests in the history, one of each kind, the oldest quoted.
    void sendSix()
    {
        EXPECT_EQ(compose(quoted), "success");
        EXPECT_EQ(compose("{\"module\":\"nosuch\",\"action\":0}"), "failure");
        EXPECT_EQ(compose("{\"module\":\"webServer\",\"action\":9}"), "failure");
        EXPECT_EQ(compose("{\"module\":\"wlan\",\"action\":1,\"ssid\":\"\"}"), "refused");
        EXPECT_EQ(compose(tooLarge), "HTTP error");
        EXPECT_EQ(compose("{\"module\":\"webServer\",\"action\":2}"), "success");
    }
};

TEST_F(ConsoleBrowserComposer, TheConsoleIsServedBesideTheFrontEndsOwnPages)
{
    auto res = client->Get("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "<p>my page</p>");
    res = client->Get("/_console");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Location"), "/_console/");
}

// Each kind in a word and a colour of its own.
TEST_F(ConsoleBrowserComposer, EachReplyKindHasAWordAndAColour)
{
    EXPECT_EQ(compose(quoted), "success");
    std::string success = replyColour();
    EXPECT_EQ(compose("{\"module\":\"nosuch\",\"action\":0}"), "failure");
    EXPECT_NE(browser.text("reply").find("-10"), std::string::npos) << browser.text("reply");
    std::string failure = replyColour();
    EXPECT_EQ(compose("{\"module\":\"webServer\",\"action\":9}"), "failure");
    EXPECT_EQ(replyColour(), failure);
    EXPECT_EQ(compose("{\"module\":\"wlan\",\"action\":1,\"ssid\":\"\"}"), "refused");
    std::string refused = replyColour();
    EXPECT_EQ(compose(tooLarge), "HTTP error");
    EXPECT_NE(browser.text("reply-status").find("larger than one datagram"), std::string::npos)
        << browser.text("reply-status");
    std::string httpError = replyColour();
    std::vector<std::string> colours = {success, failure, refused, httpError};
    std::sort(colours.begin(), colours.end());
    EXPECT_EQ(std::unique(colours.begin(), colours.end()), colours.end())
        << success << " " << failure << " " << refused << " " << httpError;
    EXPECT_EQ(browser.script("return document.getElementById('reply').className;"), "http");
}

// Text that is not JSON stays here, with the parser's word on where.
TEST_F(ConsoleBrowserComposer, TextThatIsNotJsonIsNotSent)
{
    int relayed = composedRequests(dev);
    EXPECT_EQ(compose("{\"module\":\"webServer\",\"action\":}"), "");
    EXPECT_NE(browser.text("reply-status").find("not sent"), std::string::npos) << browser.text("reply-status");
    std::string complaint = browser.text("json-check");
    EXPECT_NE(complaint.find("Not JSON: "), std::string::npos) << complaint;
    EXPECT_NE(complaint.find("\"action\":}"), std::string::npos) << complaint;
    EXPECT_EQ(browser.script("return document.getElementById('request').getAttribute('aria-invalid');"), "true");
    EXPECT_EQ(compose("{\"module\":\"webServer\" \"action\":2}"), "");
    complaint = browser.text("json-check");
    EXPECT_NE(complaint.find("position 22"), std::string::npos) << complaint;
    EXPECT_EQ(browser.script("return String(document.getElementById('request').selectionStart);"), "22");
    EXPECT_EQ(compose("{\"module\":\"webServer\",\"action\":2}"), "success");
    EXPECT_EQ(browser.text("json-check"), "");
    EXPECT_EQ(composedRequests(dev), relayed + 1);
}

// Newest first: time, module and action, result, milliseconds.
TEST_F(ConsoleBrowserComposer, HistoryShowsEachRequestNewestFirst)
{
    sendSix();
    EXPECT_EQ(browser.script("return String(document.querySelectorAll('#history-list li').length);"), "6");
    std::string newest = entry(0);
    EXPECT_NE(newest.find("webServer action 2"), std::string::npos) << newest;
    EXPECT_NE(newest.find("result 0"), std::string::npos) << newest;
    EXPECT_NE(newest.find(" ms"), std::string::npos) << newest;
    EXPECT_NE(entry(1).find("HTTP 413"), std::string::npos) << entry(1);
    EXPECT_NE(entry(2).find("refused"), std::string::npos) << entry(2);
    EXPECT_NE(entry(3).find("result 1"), std::string::npos) << entry(3);
    EXPECT_NE(entry(4).find("nosuch action 0"), std::string::npos) << entry(4);
    EXPECT_NE(entry(4).find("result -10"), std::string::npos) << entry(4);
}

// An entry goes back into the composer; its curl command, run by the
// shell, and its fetch call get the reply the relay gives the request.
TEST_F(ConsoleBrowserComposer, AnEntryComesBackAsTextCurlAndFetch)
{
    sendSix();
    ASSERT_TRUE(browser.click("#history-list li:nth-child(6) .entry"));
    EXPECT_EQ(browser.script("return document.getElementById('request').value;"), quoted);
    auto res = postApi(*client, quoted, "application/json");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    ASSERT_TRUE(browser.click("#history-list li:nth-child(6) .copy-curl"));
    EXPECT_GE(browser.waitText("copy-status", "curl command"), 0) << browser.text("copy-status");
    std::string curl = browser.script("return document.getElementById('copy-text').value;");
    EXPECT_EQ(curl.compare(0, 23, "curl -X POST --data '{\""), 0) << curl;
    EXPECT_EQ(commandOutput(curl + " 2>/dev/null"), res->body) << curl;
    ASSERT_TRUE(browser.click("#history-list li:nth-child(6) .copy-fetch"));
    EXPECT_GE(browser.waitText("copy-status", "fetch call"), 0) << browser.text("copy-status");
    std::string fetchCall = browser.script("return document.getElementById('copy-text').value;");
    EXPECT_EQ(fetchCall.compare(0, 39, "fetch('/api', {method: 'POST', body: \"{"), 0) << fetchCall;
    EXPECT_EQ(browser.scriptAsync("var done = arguments[arguments.length - 1];"
                                  "(0, eval)(document.getElementById('copy-text').value)"
                                  ".then(function (r) { return r.text(); }).then(done, String);"),
              res->body);
}

// The last 100, newest first.
TEST_F(ConsoleBrowserComposer, HistoryKeepsTheLastHundred)
{
    browser.scriptAsync("var done = arguments[arguments.length - 1]; (async function () {"
                        "  for (var i = 0; i < 101; i++) {"
                        "    document.getElementById('request').value = '{\"module\":\"webServer\",\"action\":0,\"n\":' + i + '}';"
                        "    await send();"
                        "  }"
                        "})().then(function () { done(''); }, function (e) { done(String(e)); });");
    EXPECT_EQ(browser.script("return String(document.querySelectorAll('#history-list li').length);"), "100");
    EXPECT_NE(entry(0).find("webServer action 0"), std::string::npos);
    EXPECT_NE(browser.script("return document.querySelector('#history-list li .entry').title;").find("\"n\":100}"),
              std::string::npos);
    EXPECT_NE(browser.script("return document.querySelector('#history-list li:last-child .entry').title;")
                  .find("\"n\":1}"),
              std::string::npos);
}

// No server: an HTTP error with the relay's word, and greyed tiles
// until it is back.
TEST_F(ConsoleBrowserComposer, NoServerIsAnHttpErrorAndGreyedTiles)
{
    dev.stop();
    EXPECT_EQ(compose("{\"module\":\"webServer\",\"action\":0}"), "HTTP error");
    EXPECT_NE(browser.text("reply-status").find("no kal_server is listening"), std::string::npos)
        << browser.text("reply-status");
    EXPECT_GE(browser.waitScript("return document.getElementById('dashboard').className;", "stale"), 0);
    // A poll under way when the server went reports its own timeout; the
    // next one says why.
    EXPECT_GE(browser.waitText("stale", "no kal_server is listening"), 0) << browser.text("stale");
    ASSERT_TRUE(dev.start());
    EXPECT_GE(browser.waitScript("return document.getElementById('dashboard').className;", ""), 0);
}

// Runs the HAR recipe's Playwright tests matching grep against the relay
// at relay; its exit status, with what it printed in *out.
int runHarRecipe(const SimDevice &dev, const std::string &relay, const std::string &grep, std::string *out)
{
    const std::string dir = KAL_SOURCE_DIR "/tests/workbench/playwright";
    return runCommand("cd '" + dir + "' && KAL_HTTP='" + relay + "' KAL_HAR_FILE='" + dev.root() +
                          "/recorded.har' KAL_PLAYWRIGHT_OUT='" + dev.root() +
                          "/playwright-out' NO_COLOR=1 node_modules/.bin/playwright test -c playwright.har.config.ts -g '" +
                          grep + "' >'" + dev.root() + "/playwright.log' 2>&1") == 0
               ? (*out = SimDevice::readFile(dev.root() + "/playwright.log"), 0)
               : (*out = SimDevice::readFile(dev.root() + "/playwright.log"), 1);
}

}  // namespace

// A front-end team's Playwright suite records replies through kal_http
// (GET /log.har) and replays them with page.routeFromHAR once the relay is
// gone: the page's fetch('/api') gets each recorded reply, an HTTP error
// of the relay's own included.
TEST(PlaywrightHar, RecordedRepliesReplayWithoutTheRelay)
{
    const std::string playwright = KAL_SOURCE_DIR "/tests/workbench/playwright/node_modules/.bin/playwright";
    if (access(playwright.c_str(), X_OK) != 0)
        GTEST_SKIP() << "playwright is not installed: scripts/test installs it (npm ci in tests/workbench/playwright)";
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    // A page of its own: the console would add its polls to the recording.
    const std::string www = dev.root() + "/www";  // removed with the device
    ASSERT_TRUE(SimDevice::writeFile(www + "/index.html", "<!doctype html><title>recording</title>"));
    Child http;
    int port = startKalHttp(http, dev, {"--www", www, "--quiet"});
    ASSERT_GT(port, 0);
    const std::string relay = "127.0.0.1:" + std::to_string(port);
    std::string said;
    ASSERT_EQ(runHarRecipe(dev, relay, "records replies", &said), 0) << said;
    EXPECT_NE(said.find("1 passed"), std::string::npos) << said;
    http.stop();
    dev.stop();
    EXPECT_EQ(runHarRecipe(dev, relay, "replays recorded", &said), 0) << said;
    EXPECT_NE(said.find("1 passed"), std::string::npos) << said;
}

// A front-end team's own dev server (Vite, from npm: scripts/test installs
// it) proxies /api to kal_http, and its pages show live status in a real
// browser; kal_http grants cross-origin reads to the allowed origin only.
TEST(DevServer, ViteProxyAndAllowedOriginInABrowser)
{
    const std::string dir = KAL_SOURCE_DIR "/tests/workbench/devserver";
    const std::string vite = dir + "/node_modules/.bin/vite";
    if (access(vite.c_str(), X_OK) != 0)
        GTEST_SKIP() << "vite is not installed: scripts/test installs it (npm ci in tests/workbench/devserver)";
    long long started = nowMs();
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    int vitePort = freePort();
    ASSERT_GT(vitePort, 0);
    const std::string allowed = "http://localhost:" + std::to_string(vitePort);
    Child http;
    int port = startKalHttp(http, dev, {"--allow-origin", allowed, "--quiet"});
    ASSERT_GT(port, 0);

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    Child devServer;
    devServer.pid = fork();
    if (devServer.pid == 0) {
        setpgid(0, 0);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        setenv("KAL_HTTP", ("127.0.0.1:" + std::to_string(port)).c_str(), 1);
        setenv("NO_COLOR", "1", 1);
        setenv("KAL_VITE_CACHE", (dev.root() + "/vite-cache").c_str(), 1);
        std::string portText = std::to_string(vitePort);
        execl(vite.c_str(), vite.c_str(), "--port", portText.c_str(), "--strictPort", "--host", "127.0.0.1",
              "--clearScreen", "false", (char *)nullptr);
        _exit(127);
    }
    setpgid(devServer.pid, devServer.pid);
    close(out[1]);
    std::string said = readUntil(out[0], "ready", 30000);
    close(out[0]);
    ASSERT_NE(said.find("ready"), std::string::npos) << "vite did not start: " << said;

    Browser browser;
    std::string why;
    ASSERT_TRUE(browser.start(dev.root() + "/chromium-profile", &why)) << why;
    const std::string relay = "?relay=127.0.0.1:" + std::to_string(port);

    // Through the proxy: live status, a change of the device shown by the next poll.
    ASSERT_TRUE(browser.open(allowed + "/" + relay)) << browser.lastError();
    EXPECT_GE(browser.waitText("battery", "80"), 0) << browser.text("battery");
    EXPECT_GE(browser.waitText("direct", "HTTP 200 80"), 0) << browser.text("direct");
    httplib::Client client("127.0.0.1", port);
    auto res = client.Post("/sim", "{\"args\":[\"battery\",\"42\"]}", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_GE(browser.waitText("battery", "42"), 0) << browser.text("battery");

    // The same page from an origin that was not allowed: refused both ways.
    ASSERT_TRUE(browser.open("http://127.0.0.1:" + std::to_string(vitePort) + "/" + relay)) << browser.lastError();
    EXPECT_GE(browser.waitText("battery", "HTTP 403"), 0) << browser.text("battery");
    EXPECT_GE(browser.waitText("direct", "blocked"), 0) << browser.text("direct");
    printf("dev server test: %lld ms\n", nowMs() - started);
}

// The generated module's send(), compiled as a bundler would and run by
// node against kal_http: a typed reply when the server answers, an Error
// with the relay's own words when it cannot.
TEST(KalHttp, GeneratedSendReturnsRepliesAndRejectsRelayErrors)
{
    const std::string tsc = KAL_SOURCE_DIR "/tests/contract/ts/node_modules/.bin/tsc";
    if (access(tsc.c_str(), X_OK) != 0 || runCommand("command -v node >/dev/null") != 0)
        GTEST_SKIP() << "tsc or node is missing: npm ci in tests/contract/ts";
    SimDevice dev;
    ASSERT_TRUE(dev.start());
    Child http;
    int port = startKalHttp(http, dev, {"--quiet"});
    ASSERT_GT(port, 0);
    const std::string out = dev.root() + "/client";
    int status = 0;
    std::string compiled = commandOutput("'" + tsc + "' --outDir '" + out + "' --target es2020 --module es2020 --strict " +
                                             "--isolatedModules --verbatimModuleSyntax '" KAL_SOURCE_DIR
                                             "/docs/kal-api.ts' 2>&1",
                                         &status);
    ASSERT_EQ(status, 0) << compiled;
    // ES modules by their extension: the compiled file is .js.
    ASSERT_TRUE(SimDevice::writeFile(out + "/package.json", "{\"type\":\"module\"}\n"));
    ASSERT_TRUE(SimDevice::writeFile(out + "/run.mjs",
                                     "import { KalResults, send } from './kal-api.js';\n"
                                     "const base = process.argv[2];\n"
                                     "try {\n"
                                     "  const read = await send({ module: 'webServer', action: 0 }, { base });\n"
                                     "  const lan = await send({ module: 'lan', action: 1, ip: '127.0.0.1', dhcp: {} }, { base });\n"
                                     "  console.log(JSON.stringify({ language: read.language, badIp: lan.result === "
                                     "KalResults['lan.1'].BadIp }));\n"
                                     "} catch (error) {\n"
                                     "  console.log(error instanceof Error ? 'Error: ' + error.message : 'not an Error');\n"
                                     "}\n"));
    const std::string run = "node '" + out + "/run.mjs' http://127.0.0.1:" + std::to_string(port) + " 2>&1";
    std::string answered = commandOutput(run, &status);
    EXPECT_EQ(status, 0) << answered;
    EXPECT_EQ(answered, "{\"language\":\"en\",\"badIp\":true}\n");

    dev.stop();
    std::string refused = commandOutput(run, &status);
    EXPECT_EQ(status, 0) << refused;
    EXPECT_EQ(refused.rfind("Error: kal_http 503: ", 0), 0u) << refused;
    EXPECT_NE(refused.find("no kal_server is listening"), std::string::npos) << refused;
}
