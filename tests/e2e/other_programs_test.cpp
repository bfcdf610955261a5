// Other programs on the device share the request socket (mode 0777) and are
// not trusted: a reply goes out with its sender's own file-system identity,
// so it reaches only what the sender could reach itself; it never comes
// back to the server; and the clients take only the server's reply.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
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

#include <functional>
#include <string>

#include "tests/support/test_support.h"

namespace {

const char kKeepalive[] = "{\"module\":\"webServer\",\"action\":2}";
const char kKeepaliveReply[] = "{\n\t\"result\":\t0\n}";
const char kStatus[] = "{\"module\":\"status\",\"action\":0}";
const uid_t kNobody = 65534;

// A datagram socket bound to path (abstract when path starts with '\0');
// -1 on failure.
int boundSocket(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof(address.sun_path)) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    memcpy(address.sun_path, path.data(), path.size());
    socklen_t length = (socklen_t)(sizeof(sa_family_t) + path.size() + (path[0] == '\0' ? 0 : 1));
    if (bind(fd, (struct sockaddr *)&address, length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendText(int fd, const std::string &path, const std::string &text)
{
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return false;
    memcpy(address.sun_path, path.data(), path.size());
    socklen_t length = (socklen_t)(sizeof(sa_family_t) + path.size() + (path[0] == '\0' ? 0 : 1));
    return sendto(fd, text.data(), text.size(), 0, (struct sockaddr *)&address, length) == (ssize_t)text.size();
}

// One datagram within timeoutMs, or "" when none came.
std::string receiveText(int fd, int timeoutMs)
{
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0)
        return "";
    char buffer[65536];
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    return n > 0 ? std::string(buffer, (size_t)n) : "";
}

// Whether a datagram is waiting on fd, without waiting for one.
bool hasDatagram(int fd)
{
    char byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) >= 0;
}

// The process's user and system time so far, in clock ticks.
long cpuTicks(pid_t pid)
{
    std::string stat = SimDevice::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    if (end == std::string::npos)
        return -1;
    long utime = 0, stime = 0;
    if (sscanf(stat.c_str() + end + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime) != 2)
        return -1;
    return utime + stime;
}

// Everything the server has written: its output and the simulated log.
size_t writtenBytes(const SimDevice &device)
{
    size_t bytes = device.serverOutput().size();
    for (const char *buffer : {"main", "system", "radio", "events"})
        bytes += device.logBuffer(buffer).size();
    return bytes;
}

size_t countOf(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        count++;
    return count;
}

long long monotonicMsForTest()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// A child process running body, then waiting until release() lets it end
// (so that it is still there when the server looks at it). Its exit status
// is body's result.
class Child {
public:
    explicit Child(const std::function<int(int notify)> &body)
    {
        int ready[2], hold[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(hold, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(hold[1]);
            int result = body(ready[1]);
            close(ready[1]);
            char byte;
            while (read(hold[0], &byte, 1) > 0) {
            }
            _exit(result);
        }
        close(ready[1]);
        close(hold[0]);
        ready_ = ready[0];
        hold_ = hold[1];
    }
    ~Child() { wait(); }
    // Waits until the body wrote one byte to notify (or ended); the byte.
    char waitReady()
    {
        char byte = 0;
        struct pollfd pfd = {ready_, POLLIN, 0};
        if (poll(&pfd, 1, 10000) > 0 && read(ready_, &byte, 1) != 1)
            byte = 0;
        return byte;
    }
    pid_t pid() const { return pid_; }
    // Lets the child end; its exit status (-1 when it did not exit).
    int wait()
    {
        if (pid_ <= 0)
            return status_;
        close(hold_);
        close(ready_);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return status_;
    }

private:
    pid_t pid_ = -1;
    int ready_ = -1;
    int hold_ = -1;
    int status_ = -1;
};

// In a child: become kNobody (after binding path as root when bindFirst).
int dropToNobody()
{
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0 ? 0 : 1;
}

// A root made reachable for the unprivileged user of the tests.
void openToEveryone(const SimDevice &device, const std::string &shared)
{
    chmod(device.root().c_str(), 0755);
    mkdir(shared.c_str(), 0777);
    chmod(shared.c_str(), 0777);
}

TEST(OtherPrograms, AReplyPointedBackAtTheServerIsDropped)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    const std::string dir = device.root() + "/client";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);

    // The client's path is swapped for a link to the server's socket, and
    // then for a second name of it, while the server is stopped.
    struct Swap {
        const char *name;
        int (*replace)(const char *target, const char *at);
    };
    const Swap swaps[] = {{"symbolic link", symlink}, {"hard link", link}};
    for (const Swap &swap : swaps) {
        SCOPED_TRACE(swap.name);
        const std::string path = dir + "/" + swap.name[0] + ".sock";
        int fd = boundSocket(path);
        ASSERT_GE(fd, 0);
        long ticks = cpuTicks(device.pid());
        device.signal(SIGSTOP);
        ASSERT_TRUE(sendText(fd, device.socketPath(), kStatus));
        ASSERT_EQ(unlink(path.c_str()), 0);
        ASSERT_EQ(swap.replace(device.socketPath().c_str(), path.c_str()), 0);
        device.signal(SIGCONT);

        // Another client is answered once the trick has been handled, and
        // from then on nothing more is written: no reply loop. The reply
        // that came back to the server was queued while the first of these
        // requests waited, so it has been dropped by the time the second
        // is answered.
        EXPECT_EQ(device.request(kKeepalive), kKeepaliveReply);
        EXPECT_EQ(device.request(kKeepalive), kKeepaliveReply);
        size_t written = writtenBytes(device);
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(device.request(kKeepalive), kKeepaliveReply);
        EXPECT_EQ(writtenBytes(device), written);
        long used = cpuTicks(device.pid()) - ticks;
        RecordProperty(std::string("server_cpu_ticks_") + swap.name[0], (int)used);
        printf("server CPU during the %s trick: %ld ticks of %ld a second\n", swap.name, used, sysconf(_SC_CLK_TCK));
        EXPECT_TRUE(device.running());
        close(fd);
        unlink(path.c_str());
    }
    // Both lead the reply back to the server's own socket, where it is
    // dropped unread (the second within the same second is only counted).
    std::string output = device.serverOutput();
    EXPECT_EQ(countOf(output, "dropped 1 datagrams from the server's own socket"), 1u) << output;
    EXPECT_EQ(output.find("JSON pasre error"), std::string::npos);
    EXPECT_EQ(output.find("module name is NULL"), std::string::npos);
}

TEST(OtherPrograms, NoReplyGoesIntoAnotherProgramsSocket)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the sender runs as another user than the foreign socket's";
    SimDevice device;
    ASSERT_TRUE(device.start());
    const std::string shared = device.root() + "/shared";
    openToEveryone(device, shared);
    // Another program's socket: root's only, in a directory only root enters.
    const std::string privateDir = device.root() + "/private";
    ASSERT_EQ(mkdir(privateDir.c_str(), 0700), 0);
    const std::string foreignPath = privateDir + "/c.sock";
    int foreign = boundSocket(foreignPath);
    ASSERT_GE(foreign, 0);
    ASSERT_EQ(chmod(foreignPath.c_str(), 0600), 0);

    // An unprivileged sender binds its own path, sends, and swaps its path
    // (or a directory on the way) for a link into the private directory.
    const std::string request = "{\"module\":\"log\",\"action\":0,\"page\":1337}";
    const std::string link = shared + "/c.sock", dir = shared + "/d";
    struct Trick {
        const char *name;
        std::string bindAt;
        std::function<int()> swap;
    };
    const Trick tricks[] = {
        {"link in place of the socket", link,
         [&] { return unlink(link.c_str()) == 0 && symlink(foreignPath.c_str(), link.c_str()) == 0 ? 0 : 1; }},
        {"link in place of a directory", dir + "/c.sock",
         [&] {
             bool swapped = rename(dir.c_str(), (dir + ".old").c_str()) == 0 &&
                            symlink(privateDir.c_str(), dir.c_str()) == 0;
             return swapped ? 0 : 1;
         }},
    };
    for (const Trick &trick : tricks) {
        SCOPED_TRACE(trick.name);
        device.signal(SIGSTOP);
        Child sender([&](int notify) {
            close(foreign);  // the sender never held the foreign socket
            if (dropToNobody() != 0)
                return 2;
            mkdir(dir.c_str(), 0755);
            int fd = boundSocket(trick.bindAt);
            if (fd < 0 || !sendText(fd, device.socketPath(), request))
                return 3;
            int result = trick.swap() == 0 ? 0 : 4;
            ssize_t ignored = write(notify, "s", 1);
            (void)ignored;
            return result;
        });
        EXPECT_EQ(sender.waitReady(), 's');
        device.signal(SIGCONT);
        // The sender is still there while the server looks at it.
        EXPECT_EQ(device.request(kKeepalive), kKeepaliveReply);
        EXPECT_FALSE(hasDatagram(foreign)) << "a reply went into the foreign socket";
        EXPECT_EQ(sender.wait(), 0);
    }
    // The kernel refused the sender's own send there; the server says so
    // (the second refusal within the same second is only counted).
    std::string output = device.serverOutput();
    EXPECT_NE(output.find("no reply to " + shared + "/c.sock (sender pid"), std::string::npos) << output;
    EXPECT_NE(output.find("the sender may not send there itself: Permission denied"), std::string::npos) << output;
    close(foreign);
}

TEST(OtherPrograms, OrdinaryClientsOfEveryKindAreAnswered)
{
    SimDevice device;
    ASSERT_TRUE(device.start());

    // Autobound, abstract and bound to a path of its own: the same bytes.
    {
        Client autobound;
        std::string reply;
        ASSERT_TRUE(autobound.send(device.socketPath(), kKeepalive, strlen(kKeepalive)));
        ASSERT_TRUE(autobound.receive(reply, 5000));
        EXPECT_EQ(reply, kKeepaliveReply);
    }
    for (const std::string &name : {std::string("\0kal-test-abstract-", 19) + std::to_string(getpid()),
                                    device.root() + "/own.sock"}) {
        int fd = boundSocket(name);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendText(fd, device.socketPath(), kKeepalive));
        EXPECT_EQ(receiveText(fd, 5000), kKeepaliveReply);
        ASSERT_TRUE(sendText(fd, device.socketPath(), "{\"module\":\"Status\",\"action\":0}"));
        EXPECT_EQ(receiveText(fd, 5000), "{\"result\": -10 }");
        close(fd);
    }

    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for clients of another user";
    const std::string shared = device.root() + "/shared";
    openToEveryone(device, shared);
    // Another user's own socket, in a directory of its own and in a shared one.
    for (const std::string &path : {shared + "/nobody.sock", shared + "/home/n.sock"}) {
        SCOPED_TRACE(path);
        Child client([&](int) {
            if (dropToNobody() != 0)
                return 2;
            mkdir((shared + "/home").c_str(), 0700);
            int fd = boundSocket(path);
            if (fd < 0 || !sendText(fd, device.socketPath(), kKeepalive))
                return 3;
            return receiveText(fd, 5000) == kKeepaliveReply ? 0 : 4;
        });
        EXPECT_EQ(client.wait(), 0);
    }
    EXPECT_EQ(device.serverOutput().find("no reply to"), std::string::npos) << device.serverOutput();
}

TEST(OtherPrograms, AClientThatDroppedPrivilegesIsAnsweredWhereItMayWrite)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the client binds as root, then becomes another user";
    SimDevice device;
    ASSERT_TRUE(device.start());
    const std::string shared = device.root() + "/shared";
    openToEveryone(device, shared);
    struct Case {
        const char *name;
        mode_t mode;    // of the socket file, set before dropping
        int sockets;    // other sockets held open
        bool answered;  // whether its new user may write to its socket
    };
    const Case cases[] = {
        {"socket file writable by everyone", 0777, 0, true},
        {"the same, holding 300 sockets", 0777, 300, true},
        {"socket file only root may write", 0755, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = shared + "/dropped-" + std::to_string(c.sockets) + "-" + std::to_string(c.mode) + ".sock";
        const char *expected = c.answered ? kKeepaliveReply : "{\"marker\":1}";
        Child client([&](int notify) {
            for (int i = 0; i < c.sockets; i++) {
                if (socket(AF_UNIX, SOCK_DGRAM, 0) < 0)
                    return 5;
            }
            int fd = boundSocket(path);
            if (fd < 0 || chmod(path.c_str(), c.mode) != 0 || dropToNobody() != 0)
                return 2;
            if (!sendText(fd, device.socketPath(), kKeepalive))
                return 3;
            ssize_t ignored = write(notify, "s", 1);
            (void)ignored;
            return receiveText(fd, 5000) == expected ? 0 : 4;
        });
        ASSERT_EQ(client.waitReady(), 's');
        // Once another client is answered, the request has run: a reply
        // would have come before the test's marker.
        EXPECT_EQ(device.request(kKeepalive), kKeepaliveReply);
        if (!c.answered) {
            int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            EXPECT_TRUE(sendText(fd, path, expected));
            close(fd);
        }
        EXPECT_EQ(client.wait(), 0);
    }
    std::string output = device.serverOutput();
    EXPECT_EQ(countOf(output, "no reply to "), 1u) << output;
    EXPECT_NE(output.find("dropped-0-493.sock (sender pid"), std::string::npos) << output;
}

TEST(OtherPrograms, PidReuseGivesNoReplyIntoAnotherUsersSocket)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the victim and the sender are different users";
    SimDevice device;
    ASSERT_TRUE(device.start());
    const std::string shared = device.root() + "/shared";
    openToEveryone(device, shared);
    const std::string victimDir = device.root() + "/victim";
    ASSERT_EQ(mkdir(victimDir.c_str(), 0700), 0);
    const std::string dir = shared + "/d";

    // The sender binds d/inbox, sends while the server is stopped (a busy
    // queue), and ends. Its accomplice, the same user, turns d into a link
    // to the victim's directory, where the victim's process, given the
    // sender's pid, holds a socket of that name.
    device.signal(SIGSTOP);
    pid_t senderPid = -1;
    {
        Child sender([&](int notify) {
            if (dropToNobody() != 0 || mkdir(dir.c_str(), 0755) != 0)
                return 2;
            int fd = boundSocket(dir + "/inbox");
            if (fd < 0 || !sendText(fd, device.socketPath(), kStatus))
                return 3;
            ssize_t ignored = write(notify, "s", 1);
            (void)ignored;
            return 0;
        });
        EXPECT_NE(sender.waitReady(), 0);
        senderPid = sender.pid();
        EXPECT_EQ(sender.wait(), 0);
    }
    Child accomplice([&](int) {
        if (dropToNobody() != 0)
            return 2;
        return rename(dir.c_str(), (dir + ".old").c_str()) == 0 && symlink(victimDir.c_str(), dir.c_str()) == 0 ? 0 : 3;
    });
    EXPECT_EQ(accomplice.wait(), 0);
    // The victim's socket, held by a process given the sender's pid where
    // the kernel lets the test ask for one.
    const std::string inbox = victimDir + "/inbox";
    int victimSocket = boundSocket(inbox);
    ASSERT_GE(victimSocket, 0);
    ASSERT_EQ(chmod(inbox.c_str(), 0600), 0);
    bool reused = SimDevice::writeFile("/proc/sys/kernel/ns_last_pid", std::to_string(senderPid - 1));
    Child victim([&](int notify) {
        ssize_t ignored = write(notify, "v", 1);
        (void)ignored;
        return 0;
    });
    EXPECT_EQ(victim.waitReady(), 'v');
    printf("victim pid %d, sender pid %d%s\n", (int)victim.pid(), (int)senderPid,
           reused ? "" : " (ns_last_pid is not writable here)");
    device.signal(SIGCONT);
    EXPECT_EQ(device.request(kKeepalive), kKeepaliveReply);
    EXPECT_FALSE(hasDatagram(victimSocket)) << "a reply went into the victim's socket";
    EXPECT_EQ(victim.wait(), 0);
    close(victimSocket);
    EXPECT_TRUE(device.running());
}

// A socket bound at dir/h/s whose h then becomes the first of 40 links of
// 4 kB each (the most the kernel follows), the last leading back to it:
// every reply to it would walk 80,000 path steps.
int boundThroughLinkChain(const std::string &dir)
{
    const std::string real = dir + "/h.real", h = dir + "/h";
    std::string pad;
    while (pad.size() < 4000)
        pad += "./";
    if (mkdir(real.c_str(), 0755) != 0 || mkdir(h.c_str(), 0755) != 0)
        return -1;
    for (int i = 39; i >= 1; i--) {
        std::string next = i == 39 ? "h.real" : "L" + std::to_string(i + 1);
        if (symlink((pad + next).c_str(), (dir + "/L" + std::to_string(i)).c_str()) != 0)
            return -1;
    }
    int fd = boundSocket(h + "/s");
    bool linked = fd >= 0 && rename((h + "/s").c_str(), (real + "/s").c_str()) == 0 && rmdir(h.c_str()) == 0 &&
                  symlink((pad + "L1").c_str(), h.c_str()) == 0;
    return linked ? fd : -1;
}

TEST(OtherPrograms, AnAddressThroughALinkChainIsNotWalkedForEveryDatagram)
{
    SimDevice device;
    ASSERT_TRUE(device.start());
    const std::string dir = device.root() + "/chain";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    int fd = boundThroughLinkChain(dir);
    ASSERT_GE(fd, 0);
    // The sender reads its replies: only the walk is dear.
    int answered = 0;
    for (int i = 0; i < 20; i++) {
        ASSERT_TRUE(sendText(fd, device.socketPath(), kKeepalive));
        EXPECT_EQ(device.request(kKeepalive), kKeepaliveReply);
        while (hasDatagram(fd) && !receiveText(fd, 0).empty())
            answered++;
    }
    // The first walk showed the address dear; after it the chain is refused.
    EXPECT_LE(answered, 1);
    std::string output = device.serverOutput();
    EXPECT_NE(output.find("no reply to " + dir + "/h/s (sender pid"), std::string::npos) << output;
    EXPECT_NE(output.find("its address leads through more links than a reply follows"), std::string::npos) << output;
    // An ordinary client of that user is still answered, through the
    // bounded walk.
    int plain = boundSocket(device.root() + "/plain.sock");
    ASSERT_TRUE(sendText(plain, device.socketPath(), kKeepalive));
    EXPECT_EQ(receiveText(plain, 5000), kKeepaliveReply);
    close(plain);
    close(fd);
}

TEST(OtherPrograms, RefusedRepliesAreReportedAtMostOnceASecond)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: the senders run as another user";
    SimDevice device;
    ASSERT_TRUE(device.start());
    const std::string shared = device.root() + "/shared";
    openToEveryone(device, shared);
    const int kSenders = 300;
    long long started = monotonicMsForTest();
    // Each sender's own socket file allows no writing, not even to itself.
    Child senders([&](int) {
        if (dropToNobody() != 0)
            return 2;
        for (int i = 0; i < kSenders; i++) {
            const std::string path = shared + "/r" + std::to_string(i);
            int fd = boundSocket(path);
            if (fd < 0 || chmod(path.c_str(), 0) != 0 || !sendText(fd, device.socketPath(), kKeepalive))
                return 3;
            close(fd);
        }
        return 0;
    });
    EXPECT_EQ(senders.wait(), 0);
    EXPECT_EQ(device.request(kKeepalive), kKeepaliveReply);
    long long seconds = (monotonicMsForTest() - started) / 1000 + 1;
    size_t lines = countOf(device.serverOutput(), "no reply to ");
    EXPECT_GE(lines, 1u);
    EXPECT_LE((long long)lines, seconds + 1) << device.serverOutput();
}

TEST(OtherPrograms, TheFirstRequestAfterStartIsAnswered)
{
    // A front end sends the moment the socket takes datagrams, as at boot:
    // from a socket file of its own, which needs the sender's credentials.
    const int kStarts = 50;
    int answered = 0;
    for (int i = 0; i < kStarts; i++) {
        SimDevice device;
        const std::string own = device.root() + "/front.sock";
        int fd = boundSocket(own);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(device.launch());
        // Tried back to back at first, then every millisecond, for 30 s.
        bool sent = false;
        for (int tries = 0; tries < 32000 && !sent; tries++) {
            sent = sendText(fd, device.socketPath(), kKeepalive);
            if (!sent && tries >= 2000)
                poll(nullptr, 0, 1);
        }
        ASSERT_TRUE(sent) << "the socket never took a datagram";
        if (receiveText(fd, 5000) == kKeepaliveReply)
            answered++;
        close(fd);
    }
    EXPECT_EQ(answered, kStarts);
}

// kal_request with its output on a pipe; finish() waits for it.
class RequestProcess {
public:
    RequestProcess(const SimDevice &device, const char *timeout, const char *request)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            dup2(fds[1], STDERR_FILENO);
            setenv("KAL_ROOT", device.root().c_str(), 1);
            execl(KAL_REQUEST_BIN, KAL_REQUEST_BIN, "-t", timeout, request, (char *)nullptr);
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
    }
    ~RequestProcess() { finish(); }
    // Its exit status; what it printed goes to *output.
    int finish(std::string *output = nullptr)
    {
        if (pid_ <= 0)
            return -1;
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = read(out_, buffer, sizeof(buffer))) > 0)
            text.append(buffer, (size_t)n);
        close(out_);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (output != nullptr)
            *output = text;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
};

TEST(OtherPrograms, ClientsTakeOnlyTheServersReply)
{
    // A stand-in server bound where the server's socket goes learns the
    // client's address from its request; other programs then send to it.
    SimDevice device;
    ASSERT_EQ(runCommand("mkdir -p '" + device.path("/tmp") + "'"), 0);
    int server = boundSocket(device.socketPath());
    ASSERT_GE(server, 0);
    const bool root = geteuid() == 0;
    for (bool answer : {true, false}) {
        SCOPED_TRACE(answer ? "answered" : "never answered");
        RequestProcess client(device, answer ? "5" : "1", kKeepalive);
        struct pollfd pfd = {server, POLLIN, 0};
        ASSERT_EQ(poll(&pfd, 1, 10000), 1);
        char request[512];
        struct sockaddr_un from;
        memset(&from, 0, sizeof(from));
        socklen_t fromLength = sizeof(from);
        ASSERT_GT(recvfrom(server, request, sizeof(request), 0, (struct sockaddr *)&from, &fromLength), 0);
        std::string clientAddress(from.sun_path, fromLength - sizeof(sa_family_t));

        // Spoofers of the same user (and another, as root), alive while the
        // client looks at them: from a path, and from an unbound socket.
        const std::string spoofPath = device.root() + "/spoof.sock";
        Child spoofer([&](int notify) {
            close(server);
            int bound = boundSocket(spoofPath);
            int unbound = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            bool sent = bound >= 0 && unbound >= 0 && sendText(bound, clientAddress, "{\"spoof\":\"bound\"}") &&
                        sendText(unbound, clientAddress, "{\"spoof\":\"unbound\"}");
            if (sent && root) {
                Child other([&](int) {
                    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                    return dropToNobody() == 0 && sendText(fd, clientAddress, "{\"spoof\":\"nobody\"}") ? 0 : 1;
                });
                sent = other.wait() == 0;
            }
            ssize_t ignored = write(notify, sent ? "s" : "f", 1);
            (void)ignored;
            return sent ? 0 : 1;
        });
        // A client that took a spoof has gone: the later sends then fail.
        EXPECT_EQ(spoofer.waitReady(), 's');
        if (answer) {
            EXPECT_TRUE(sendText(server, clientAddress, "{\"real\":1}"));
        }
        std::string output;
        int status = client.finish(&output);
        EXPECT_EQ(spoofer.wait(), 0);
        unlink(spoofPath.c_str());
        EXPECT_EQ(output.find("spoof"), std::string::npos) << output;
        if (answer) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(output, "{\"real\":1}");
        } else {
            EXPECT_EQ(status, 1);
            EXPECT_NE(output.find("no reply from"), std::string::npos) << output;
        }
    }
    close(server);
}

}  // namespace
