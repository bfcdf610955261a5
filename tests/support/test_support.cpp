#include "tests/support/test_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

void sleepMs(int ms)
{
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (condition())
            return true;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= timeoutMs)
            return false;
        sleepMs(20);
    }
}

JsonPtr parseJson(const std::string &text)
{
    return JsonPtr(cJSON_Parse(text.c_str()));
}

int jsonInt(const cJSON *object, const char *key, int fallback)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    return cJSON_IsNumber(item) ? item->valueint : fallback;
}

std::string jsonString(const cJSON *object, const char *key)
{
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(object, key);
    return cJSON_IsString(item) && item->valuestring != nullptr ? item->valuestring : "";
}

SimDevice::SimDevice()
{
    char dir[] = "/tmp/kal-test-XXXXXX";
    if (mkdtemp(dir) != nullptr)
        root_ = dir;
}

SimDevice::SimDevice(const std::string &root) : root_(root)
{
    mkdir(root_.c_str(), 0755);
}

SimDevice::~SimDevice()
{
    stop();
    if (!root_.empty())
        runCommand("rm -rf '" + root_ + "'");
}

bool SimDevice::writeFile(const std::string &path, const std::string &text)
{
    std::string dir = path.substr(0, path.rfind('/'));
    if (!dir.empty())
        runCommand("mkdir -p '" + dir + "'");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return bool(out);
}

std::string SimDevice::readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool SimDevice::exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool SimDevice::launch()
{
    if (root_.empty() || pid_ > 0)
        return false;
    std::string out = root_ + "/server.out";
    pid_ = fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            close(fd);
        }
        setenv("KAL_ROOT", root_.c_str(), 1);
        execl(KAL_SERVER_BIN, KAL_SERVER_BIN, (char *)nullptr);
        _exit(127);
    }
    return true;
}

bool SimDevice::start()
{
    if (!launch())
        return false;
    // Ready when it answers a request that changes nothing.
    for (int i = 0; i < 100; i++) {
        if (exists(socketPath()) && !request("{\"module\":\"webServer\",\"action\":2}", 200).empty())
            return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        sleepMs(50);
    }
    return false;
}

void SimDevice::stop()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void SimDevice::signal(int sig)
{
    if (pid_ > 0)
        kill(pid_, sig);
}

bool SimDevice::running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

int SimDevice::waitExit(int timeoutMs)
{
    for (int waited = 0; pid_ > 0 && waited <= timeoutMs; waited += 20) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        sleepMs(20);
    }
    return -1;
}

void recordExchange(const std::string &request, const std::string &reply)
{
    const char *dir = getenv(KAL_REPLY_RECORD_ENV);
    if (dir == nullptr || dir[0] == '\0' || reply.empty())
        return;
    cJSON *line = cJSON_CreateObject();
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "";
    cJSON_AddStringToObject(line, "test", name.c_str());
    // As the server reads it: up to a NUL, trailing text after the value
    // ignored. Null when it does not parse.
    cJSON *parsed = cJSON_Parse(request.c_str());
    cJSON_AddItemToObject(line, "request", parsed != nullptr ? parsed : cJSON_CreateNull());
    cJSON *answer = cJSON_Parse(reply.c_str());
    if (answer != nullptr)
        cJSON_AddItemToObject(line, "reply", answer);
    else
        cJSON_AddStringToObject(line, "replyText", reply.c_str());
    char *text = cJSON_PrintUnformatted(line);
    cJSON_Delete(line);
    if (text == nullptr)
        return;
    std::string path = std::string(dir) + "/" + std::to_string(getpid()) + ".jsonl";
    std::string out = std::string(text) + "\n";
    cJSON_free(text);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0 || write(fd, out.data(), out.size()) != (ssize_t)out.size())
        ADD_FAILURE() << "cannot record the reply in " << path << ": " << strerror(errno);
    if (fd >= 0)
        close(fd);
}

std::string SimDevice::request(const std::string &json, int timeoutMs)
{
    Client client;
    std::string reply;
    if (!client.send(socketPath(), json.data(), json.size()))
        return "";
    if (!client.receive(reply, timeoutMs))
        return "";
    recordExchange(json, reply);
    return reply;
}

JsonPtr SimDevice::requestJson(const std::string &json, int timeoutMs)
{
    return parseJson(request(json, timeoutMs));
}

JsonPtr SimDevice::requestUntil(const std::string &json, const std::function<bool(const cJSON *)> &done,
                                int timeoutMs)
{
    JsonPtr reply;
    waitFor(
        [&] {
            reply = requestJson(json);
            return done(reply.get());
        },
        timeoutMs);
    return reply;
}

std::string SimDevice::serverOutput() const
{
    return readFile(root_ + "/server.out");
}

std::string SimDevice::logBuffer(const std::string &buffer) const
{
    return readFile(statePath("log/" + buffer));
}

Client::Client()
{
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 1 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    struct sockaddr_un self;
    memset(&self, 0, sizeof(self));
    self.sun_family = AF_UNIX;
    bind(fd_, (struct sockaddr *)&self, sizeof(sa_family_t));
}

Client::~Client()
{
    if (fd_ >= 0)
        close(fd_);
}

bool Client::send(const std::string &path, const void *data, size_t len)
{
    struct sockaddr_un server;
    memset(&server, 0, sizeof(server));
    server.sun_family = AF_UNIX;
    if (path.size() >= sizeof(server.sun_path))
        return false;
    memcpy(server.sun_path, path.c_str(), path.size());
    return sendto(fd_, data, len, 0, (struct sockaddr *)&server, sizeof(server)) >= 0;
}

bool Client::receive(std::string &out, int timeoutMs)
{
    struct pollfd pfd = {fd_, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0)
        return false;
    std::string buffer(256 * 1024, '\0');
    ssize_t n = recv(fd_, &buffer[0], buffer.size(), 0);
    if (n < 0)
        return false;
    out.assign(buffer.data(), (size_t)n);
    return true;
}

int runCommand(const std::string &command)
{
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string commandOutput(const std::string &command, int *status)
{
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        if (status != nullptr)
            *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
        out.append(buf, n);
    int rc = pclose(pipe);
    if (status != nullptr)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}
