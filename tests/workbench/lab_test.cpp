// Power cycles of the simulated device, whoever started its server, and
// kal_lab's isolated devices: each its own root, server and relay, started
// again after a cut or a crash, and nothing left once kal_lab ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <httplib.h>

#include "tests/workbench/workbench_support.h"

namespace {

const char kSimState[] = "{\"module\":\"simLock\",\"action\":0}";
const char kStatus[] = "{\"module\":\"status\",\"action\":0}";
// simLock's PIN states: waiting for the PIN, lock on (unlocked), lock off.
const int kPinWanted = 1;
const int kPinLockOn = 2;
const int kPinLockOff = 3;

int pinState(SimDevice &dev)
{
    JsonPtr reply = dev.requestJson(kSimState);
    return reply ? jsonInt(reply.get(), "pinState") : -1;
}

TEST(PowerCycle, ServerStartsAgainWithWhatPowerOnReads)
{
    SimDevice dev;
    DetachedServer detached{dev.root()};
    ASSERT_TRUE(dev.start()) << dev.serverOutput();
    pid_t first = dev.pid();
    SimRun run = kalSim(dev, "sim pin-required 2468");
    ASSERT_EQ(run.status, 0) << run.out;
    // Read only at power-on.
    EXPECT_EQ(pinState(dev), kPinLockOff);

    run = kalSim(dev, "power cycle");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("kal_server " + std::to_string(first) + " cut"), std::string::npos) << run.out;
    EXPECT_TRUE(waitFor([&] { return !dev.running(); }, 5000));
    pid_t second = recordedServer(dev.root());
    EXPECT_TRUE(alive(second));
    EXPECT_NE(second, first);
    EXPECT_EQ(pinState(dev), kPinWanted);

    // The PIN entered with automatic unlock: the next power-on tries it
    // once, as a new process does with nothing kept from the last one.
    JsonPtr entered = dev.requestJson("{\"module\":\"simLock\",\"action\":4,\"pin\":\"2468\",\"autoUnlock\":true}");
    ASSERT_NE(entered, nullptr);
    EXPECT_EQ(jsonInt(entered.get(), "result"), 0);
    run = kalSim(dev, "power cycle");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_FALSE(alive(second));
    JsonPtr state = dev.requestJson(kSimState);
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(jsonInt(state.get(), "pinState"), kPinLockOn);
    EXPECT_EQ(jsonInt(state.get(), "pinRemainingTimes"), 3);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(state.get(), "autoUnlock")));
    EXPECT_NE(SimDevice::readFile(dev.path("/sim-run/kal_server.out")).find("kal_server: serving on"),
              std::string::npos);
}

TEST(PowerCycle, PidOfAnotherProcessIsNeverKilled)
{
    SimDevice dev;
    DetachedServer detached{dev.root()};
    ASSERT_TRUE(dev.start()) << dev.serverOutput();
    dev.stop();
    // A run file naming this test's pid with another start time: a pid
    // reused since the server it named ended.
    ASSERT_TRUE(SimDevice::writeFile(dev.path("/sim-run/kal_server.pid"), std::to_string(getpid()) + " 1\n"));
    SimRun run = kalSim(dev, "power cycle");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("no kal_server was running"), std::string::npos) << run.out;
    EXPECT_FALSE(dev.request(kSimState).empty());
    EXPECT_NE(recordedServer(dev.root()), getpid());

    // Words it does not know change nothing.
    run = kalSim(dev, "power off");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("power needs cycle"), std::string::npos) << run.out;
}

// kal_lab as a test runner starts it: its standard input a pipe, its
// output read here.
struct Lab {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    std::string errPath;
    std::string document;

    bool start(const std::vector<std::string> &args, const std::string &errFile)
    {
        errPath = errFile;
        int inPipe[2], outPipe[2];
        if (pipe(inPipe) != 0 || pipe(outPipe) != 0)
            return false;
        pid = fork();
        if (pid == 0) {
            // The crash below leaves no core file behind.
            struct rlimit noCore = {0, 0};
            setrlimit(RLIMIT_CORE, &noCore);
            dup2(inPipe[0], STDIN_FILENO);
            dup2(outPipe[1], STDOUT_FILENO);
            int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (err >= 0)
                dup2(err, STDERR_FILENO);
            close(inPipe[1]);
            close(outPipe[0]);
            std::vector<const char *> argv = {KAL_LAB_BIN};
            for (const std::string &arg : args)
                argv.push_back(arg.c_str());
            argv.push_back(nullptr);
            execv(KAL_LAB_BIN, (char *const *)argv.data());
            _exit(127);
        }
        close(inPipe[0]);
        close(outPipe[1]);
        in = inPipe[1];
        out = outPipe[0];
        document = readLine(out, 60000);
        return !document.empty();
    }

    static std::string readLine(int fd, int timeoutMs)
    {
        std::string line;
        char c = 0;
        while (line.find('\n') == std::string::npos) {
            struct pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, timeoutMs) <= 0 || read(fd, &c, 1) != 1)
                return "";
            line += c;
        }
        return line;
    }

    int wait(int timeoutMs)
    {
        int status = 0;
        if (pid <= 0 || !waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs))
            return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    ~Lab()
    {
        if (in >= 0)
            close(in);
        if (out >= 0)
            close(out);
        if (pid > 0) {
            kill(pid, SIGTERM);
            if (wait(10000) == -1 && pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    }
};

struct LabDevice {
    std::string root, socket, url;
    pid_t server, relay;
    int port;
};

std::vector<LabDevice> devicesOf(const std::string &document)
{
    std::vector<LabDevice> devices;
    JsonPtr json = parseJson(document);
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, cJSON_GetObjectItem(json.get(), "devices"))
    {
        LabDevice device;
        device.root = jsonString(item, "root");
        device.socket = jsonString(item, "socket");
        device.url = jsonString(item, "url");
        device.server = jsonInt(item, "server_pid");
        device.relay = jsonInt(item, "relay_pid");
        size_t colon = device.url.rfind(':');
        device.port = colon == std::string::npos ? 0 : atoi(device.url.c_str() + colon + 1);
        devices.push_back(device);
    }
    return devices;
}

JsonPtr post(const LabDevice &device, const std::string &path, const std::string &body)
{
    httplib::Client client("127.0.0.1", device.port);
    client.set_read_timeout(15, 0);
    auto res = client.Post(path, body, "application/json");
    return res && res->status == 200 ? parseJson(res->body) : nullptr;
}

int battery(const LabDevice &device)
{
    JsonPtr status = post(device, "/api", kStatus);
    return status ? jsonInt(cJSON_GetObjectItem(status.get(), "battery"), "voltage") : -1;
}

TEST(Lab, DevicesOfTheirOwnSupervisedAndRemoved)
{
    char errDir[] = "/tmp/kal-lab-test-XXXXXX";
    ASSERT_NE(mkdtemp(errDir), nullptr);
    const std::string err = std::string(errDir) + "/kal_lab.err";
    std::vector<LabDevice> devices;
    {
        Lab lab;
        ASSERT_TRUE(lab.start({"--devices", "2", "--until-stdin-closes"}, err)) << SimDevice::readFile(err);
        devices = devicesOf(lab.document);
        ASSERT_EQ(devices.size(), 2u) << lab.document;
        EXPECT_NE(devices[0].root, devices[1].root);
        EXPECT_EQ(devices[0].socket, devices[0].root + "/tmp/vy_kal_server.sock");
        EXPECT_EQ(recordedServer(devices[0].root), devices[0].server);

        // One device's change is that device's alone.
        ASSERT_NE(post(devices[0], "/sim", "{\"args\":[\"battery\",\"15\"]}"), nullptr);
        EXPECT_EQ(battery(devices[0]), 15);
        EXPECT_EQ(battery(devices[1]), 80);

        // A power cycle through the relay: kal_lab starts the server again.
        ASSERT_NE(post(devices[0], "/sim", "{\"args\":[\"sim\",\"absent\"]}"), nullptr);
        JsonPtr cycled = post(devices[0], "/sim", "{\"args\":[\"power\",\"cycle\"]}");
        ASSERT_NE(cycled, nullptr) << SimDevice::readFile(err);
        EXPECT_NE(jsonString(cycled.get(), "message").find("started by supervisor"), std::string::npos)
            << jsonString(cycled.get(), "message");
        EXPECT_FALSE(alive(devices[0].server));
        pid_t restarted = recordedServer(devices[0].root);
        EXPECT_TRUE(alive(restarted));
        JsonPtr card = post(devices[0], "/api", kSimState);
        ASSERT_NE(card, nullptr);
        EXPECT_EQ(jsonInt(card.get(), "cardState"), 0);

        // A crash: the server is started again on the same root.
        kill(devices[1].server, SIGSEGV);
        EXPECT_TRUE(waitFor([&] {
            pid_t now = recordedServer(devices[1].root);
            return now != devices[1].server && alive(now) && battery(devices[1]) == 80;
        }, 10000)) << SimDevice::readFile(err);
        EXPECT_NE(SimDevice::readFile(err).find("kal_server " + std::to_string(devices[1].server) + " ended"),
                  std::string::npos);

        // Standard input closes: everything stops, the roots go.
        close(lab.in);
        lab.in = -1;
        EXPECT_EQ(lab.wait(15000), 0) << SimDevice::readFile(err);
        for (const LabDevice &device : devices) {
            EXPECT_FALSE(SimDevice::exists(device.root));
            EXPECT_FALSE(alive(device.relay));
        }
        EXPECT_FALSE(alive(restarted));
        EXPECT_FALSE(alive(recordedServer(devices[1].root)));
    }
    runCommand(std::string("rm -rf ") + errDir);
}

TEST(Lab, NothingOutlivesItsParent)
{
    char dir[] = "/tmp/kal-lab-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string out = std::string(dir) + "/out";
    const std::string root = std::string(dir) + "/devices";
    // A parent between the test and kal_lab, which the test then kills.
    pid_t parent = fork();
    if (parent == 0) {
        pid_t lab = fork();
        if (lab == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            execl(KAL_LAB_BIN, KAL_LAB_BIN, "--devices", "2", "--root", root.c_str(), (char *)nullptr);
            _exit(127);
        }
        for (;;)
            pause();
    }
    ASSERT_GT(parent, 0);
    std::vector<LabDevice> devices;
    EXPECT_TRUE(waitFor([&] {
        std::string text = SimDevice::readFile(out);
        size_t at = text.find("{\"devices\"");
        if (at == std::string::npos || text.find('\n', at) == std::string::npos)
            return false;
        devices = devicesOf(text.substr(at, text.find('\n', at) - at));
        return true;
    }, 60000));
    kill(parent, SIGKILL);
    waitpid(parent, nullptr, 0);
    ASSERT_EQ(devices.size(), 2u) << SimDevice::readFile(out);
    EXPECT_EQ(devices[1].root, root + "/2");
    EXPECT_TRUE(waitFor([&] { return !SimDevice::exists(root); }, 10000)) << SimDevice::readFile(out);
    for (const LabDevice &device : devices) {
        EXPECT_FALSE(alive(device.server));
        EXPECT_FALSE(alive(device.relay));
    }
    runCommand(std::string("rm -rf ") + dir);
}

TEST(Lab, RefusesARootThatAnotherServerServes)
{
    SimDevice dev;
    ASSERT_TRUE(dev.start()) << dev.serverOutput();
    const std::string err = dev.root() + "/kal_lab.err";
    Lab lab;
    EXPECT_FALSE(lab.start({"--devices", "1", "--root", dev.root()}, err));
    EXPECT_EQ(lab.wait(10000), 1);
    EXPECT_NE(SimDevice::readFile(err).find("another server (pid " + std::to_string(dev.pid()) + ") answers"),
              std::string::npos)
        << SimDevice::readFile(err);
    // The root was there before: kal_lab leaves it, and its server, alone.
    EXPECT_TRUE(dev.running());
    EXPECT_FALSE(dev.request(kSimState).empty());
    EXPECT_FALSE(SimDevice::exists(dev.path("/sim-run/supervisor.pid")));
}

// The front-end recipe: Playwright with two workers, each on a device of
// its own from kal_lab (tests/workbench/playwright/playwright.lab.config.ts),
// in Debian's Chromium.
TEST(Playwright, LabDevicePerWorker)
{
    const std::string dir = KAL_SOURCE_DIR "/tests/workbench/playwright";
    if (access((dir + "/node_modules/.bin/playwright").c_str(), X_OK) != 0)
        GTEST_SKIP() << "Playwright is not installed: scripts/test installs it (npm ci in tests/workbench/playwright)";
    char output[] = "/tmp/kal-playwright-XXXXXX";
    ASSERT_NE(mkdtemp(output), nullptr);
    int status = -1;
    std::string said = commandOutput("cd '" + dir + "' && KAL_LAB='" KAL_LAB_BIN "' KAL_PLAYWRIGHT_OUTPUT='" +
                                         output + "' CI=1 node_modules/.bin/playwright test -c playwright.lab.config.ts 2>&1",
                                     &status);
    runCommand(std::string("rm -rf ") + output);
    EXPECT_EQ(status, 0) << said;
    EXPECT_NE(said.find("6 passed"), std::string::npos) << said;
    EXPECT_NE(said.find("using 2 workers"), std::string::npos) << said;
}

}  // namespace
