// Test support: a simulated device in a temporary root, the real server
// binary running on it, and a client talking to it over its real socket.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include <cjson/cJSON.h>

struct JsonDeleter {
    void operator()(cJSON *json) const { cJSON_Delete(json); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// Parses text; null when it is not JSON.
JsonPtr parseJson(const std::string &text);

// Integer member of an object, or `fallback` when missing or not a number.
int jsonInt(const cJSON *object, const char *key, int fallback = -99999);
// String member of an object, or "" when missing or not a string.
std::string jsonString(const cJSON *object, const char *key);

class SimDevice {
public:
    SimDevice();  // creates an empty root under /tmp
    // Uses root (created here if missing), e.g. on a file system of the test's own.
    explicit SimDevice(const std::string &root);
    ~SimDevice(); // stops the server and removes the root
    SimDevice(const SimDevice &) = delete;
    SimDevice &operator=(const SimDevice &) = delete;

    const std::string &root() const { return root_; }
    // root + device path, e.g. path("/app/config/hostapd.conf").
    std::string path(const std::string &devicePath) const { return root_ + devicePath; }
    // The simulated platform's own state: root + "/sim/" + name.
    std::string statePath(const std::string &name) const { return root_ + "/sim/" + name; }
    std::string socketPath() const { return path("/tmp/vy_kal_server.sock"); }

    // Whole-file helpers; writeFile creates missing parent directories.
    static bool writeFile(const std::string &path, const std::string &text);
    static std::string readFile(const std::string &path);
    static bool exists(const std::string &path);

    // Starts build/kal_server on this root and waits until it answers.
    bool start();
    // Starts the server without waiting for it to answer; false when it
    // cannot be started at all.
    bool launch();
    // SIGKILL and reap; no-op when not running.
    void stop();
    // Sends a signal to the running server.
    void signal(int sig);
    pid_t pid() const { return pid_; }
    bool running();
    // Waits for the server to exit by itself; its exit status, or -1.
    int waitExit(int timeoutMs);

    // One request over the real socket; the reply text or "" on timeout.
    std::string request(const std::string &json, int timeoutMs = 5000);
    JsonPtr requestJson(const std::string &json, int timeoutMs = 5000);
    // Repeats a request until done(reply) holds (reply null when none came)
    // or timeoutMs have passed; the last reply.
    JsonPtr requestUntil(const std::string &json, const std::function<bool(const cJSON *)> &done, int timeoutMs);

    // Everything the server printed on standard output and error so far.
    std::string serverOutput() const;
    // One buffer of the simulated Android log ("main", "system", ...).
    std::string logBuffer(const std::string &buffer) const;

private:
    std::string root_;
    pid_t pid_ = -1;
};

// Client socket with its own bound address (abstract, automatic).
class Client {
public:
    Client();
    ~Client();
    int fd() const { return fd_; }
    // Sends len bytes to path; false when sendto fails.
    bool send(const std::string &path, const void *data, size_t len);
    // Waits for one datagram; false on timeout.
    bool receive(std::string &out, int timeoutMs);

private:
    int fd_ = -1;
};

// Checks condition every 20 ms until it holds or timeoutMs have passed;
// whether it held.
bool waitFor(const std::function<bool()> &condition, int timeoutMs);

// Where CTest has the end-to-end and workbench tests keep every request and
// its reply, one JSON line each, for Contract.RepliesMatchTheirSchemas.
#define KAL_REPLY_RECORD_ENV "KAL_REPLY_RECORD_DIR"

// Appends request and reply to this process's file in $KAL_REPLY_RECORD_DIR;
// nothing when it is not set or no reply came.
void recordExchange(const std::string &request, const std::string &reply);
// A plain pause, for where the wait is itself the scenario (nothing may
// happen before a delay, a cut some time after the last reply).
void sleepMs(int ms);

// Runs a shell command; its exit status (-1 when it could not run).
int runCommand(const std::string &command);
// Runs a command and captures its standard output.
std::string commandOutput(const std::string &command, int *status = nullptr);
