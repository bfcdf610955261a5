#include "server/reply_address.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/sockios.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/fsuid.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "common/clock.h"
#include "common/diagnostics.h"
#include "common/libc_compat.h"
#include "common/peer_credentials.h"
#include "common/text.h"

namespace {

const size_t kPathOffset = offsetof(struct sockaddr_un, sun_path);
const size_t kPathSize = sizeof(((struct sockaddr_un *)0)->sun_path);

// Learnt once at start-up: nothing of it changes while the server runs.
struct Self {
    bool known;
    pid_t pid;
    uid_t uid;  // the server's own file-system identity
    gid_t gid;
    bool canSwitch;  // may take another file-system user and group
    int groupCount;  // supplementary groups, dropped while sending as a sender
    gid_t groups[64];
    char socketPath[kPathSize + 1];
    char twin[kPathSize];  // replyTwinPrefix of the socket path
    size_t twinLength;
    int random;  // /dev/urandom, for the twin names; -1 when none
};
Self g_self = {false, 0, 0, 0, false, 0, {0}, {0}, {0}, 0, -1};

enum Identity {
    SEND_AS_SERVER,  // the sender's identity is the server's own
    SEND_AS_SENDER,  // switch to the sender's identity for the send
};

// The sender of the request being handled.
struct Current {
    Identity identity;
    pid_t pid;
    uid_t uid;
    gid_t gid;
};
Current g_current = {SEND_AS_SERVER, 0, 0, 0};

// At most one line a second about each kind of datagram left unanswered,
// with the count of those not reported since.
const long long kReportIntervalMs = 1000;
struct Report {
    unsigned long unreported;
    long long lastMs;
};
Report g_ownReport = {0, -kReportIntervalMs};
Report g_refusedReport = {0, -kReportIntervalMs};

bool reportDue(Report *report)
{
    report->unreported++;
    long long now = monotonicMs();
    if (now - report->lastMs < kReportIntervalMs)
        return false;
    report->lastMs = now;
    return true;
}

ReplyVerdict dropOwn(void)
{
    if (reportDue(&g_ownReport)) {
        diagPrintf("dropped %lu datagrams from the server's own socket\n", g_ownReport.unreported);
        g_ownReport.unreported = 0;
    }
    return REPLY_OWN;
}

// The path of a file address as text (at most the address's room).
void pathOf(const struct sockaddr_un *to, socklen_t toLength, char (&path)[kPathSize + 1])
{
    memset(path, 0, sizeof(path));
    size_t length = socklenSize(toLength) > kPathOffset ? socklenSize(toLength) - kPathOffset : 0;
    memcpy(path, to->sun_path, length < kPathSize ? length : kPathSize);
}

// Says why a reply did not go out, at most once a second. The path is the
// sender's choice: control characters are shown as '?'.
void reportRefused(const struct sockaddr_un *to, socklen_t toLength, const char *why)
{
    if (!reportDue(&g_refusedReport))
        return;
    char shown[kPathSize + 1];
    pathOf(to, toLength, shown);
    for (char *c = shown; *c != '\0'; c++) {
        if ((unsigned char)*c < 0x20 || *c == 0x7f)
            *c = '?';
    }
    char others[64];
    memset(others, 0, sizeof(others));
    if (g_refusedReport.unreported > 1)
        snprintf(others, sizeof(others), " (and %lu more since the last line)", g_refusedReport.unreported - 1);
    g_refusedReport.unreported = 0;
    if (g_current.pid > 0)
        diagPrintf("no reply to %s (sender pid %d, uid %u): %s%s\n", shown, (int)g_current.pid,
                   (unsigned)g_current.uid, why, others);
    else
        diagPrintf("no reply to %s: %s%s\n", shown, why, others);
}

// Takes the file-system user and group, and no supplementary groups; true
// when each change reads back as asked.
bool becomeSender(uid_t uid, gid_t gid)
{
    if (g_self.groupCount > 0 && setgroups(0, NULL) != 0)
        return false;
    setfsgid(gid);
    if ((gid_t)setfsgid((gid_t)-1) != gid)
        return false;
    setfsuid(uid);
    return (uid_t)setfsuid((uid_t)-1) == uid;
}

// Back to the server's own identity. A server that cannot get it back must
// not go on with another user's rights: it ends, and its supervisor
// restarts it.
void becomeServer(void)
{
    setfsuid(g_self.uid);
    setfsgid(g_self.gid);
    bool back = (uid_t)setfsuid((uid_t)-1) == g_self.uid && (gid_t)setfsgid((gid_t)-1) == g_self.gid;
    if (back && g_self.groupCount > 0)
        back = setgroups((size_t)g_self.groupCount, g_self.groups) == 0;
    if (!back) {
        diagLine("kal_server: cannot take back the server's own identity after a reply; stopping");
        abort();
    }
}

// Whether this process may take another file-system identity: tried once.
bool probeSwitch(void)
{
    int count = getgroups((int)(sizeof(g_self.groups) / sizeof(g_self.groups[0])), g_self.groups);
    if (count < 0)
        return false;
    g_self.groupCount = count;
    if (count > 0 && setgroups((size_t)count, g_self.groups) != 0)
        return false;
    uid_t otherUid = g_self.uid == 0 ? 1 : 0;
    gid_t otherGid = g_self.gid == 0 ? 1 : 0;
    setfsuid(otherUid);
    bool uidOk = (uid_t)setfsuid((uid_t)-1) == otherUid;
    setfsuid(g_self.uid);
    setfsgid(otherGid);
    bool gidOk = (gid_t)setfsgid((gid_t)-1) == otherGid;
    setfsgid(g_self.gid);
    return uidOk && gidOk && (uid_t)setfsuid((uid_t)-1) == g_self.uid && (gid_t)setfsgid((gid_t)-1) == g_self.gid;
}

// Sends from a socket of its own, bound to a twin name that clients
// recognise as the server's. Used when the request socket's send buffer is
// full of replies nobody reads.
ssize_t sendFromTwin(const char *text, size_t length, const struct sockaddr_un *to, socklen_t toLength)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    static unsigned long long counter = 0;
    for (int attempt = 0; g_self.twinLength > 0 && attempt < 3; attempt++) {
        unsigned long long suffix = ++counter ^ (unsigned long long)monotonicMs() << 20;
        if (g_self.random >= 0) {
            unsigned long long bytes = 0;
            if (read(g_self.random, &bytes, sizeof(bytes)) == (ssize_t)sizeof(bytes))
                suffix = bytes;
        }
        struct sockaddr_un self;
        memset(&self, 0, sizeof(self));
        self.sun_family = AF_UNIX;
        memcpy(self.sun_path, g_self.twin, g_self.twinLength);
        int n = snprintf(self.sun_path + g_self.twinLength, kPathSize - g_self.twinLength, "%016llx", suffix);
        socklen_t selfLength = (socklen_t)(kPathOffset + g_self.twinLength + (size_t)n);
        if (bind(fd, (struct sockaddr *)&self, selfLength) == 0 || errno != EADDRINUSE)
            break;
    }
    ssize_t sent = sendto(fd, text, length, 0, (const struct sockaddr *)to, toLength);
    int saved = errno;
    close(fd);
    errno = saved;
    return sent;
}

// Whether fd's own send buffer is what refused a send: replies nobody
// reads fill it. A receiver whose queue is full refuses the same way, and
// another socket would not help there: the sender's address is not walked
// a second time for nothing.
bool ownBufferFull(int fd)
{
    static int knownFd = -1;
    static int sendBuffer = 0;
    if (fd != knownFd) {
        socklen_t size = sizeof(sendBuffer);
        if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &size) != 0)
            return true;
        knownFd = fd;
    }
    int queued = 0;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0)
        return true;
    return queued >= sendBuffer / 2;
}

ssize_t sendOnce(int fd, const char *text, size_t length, const struct sockaddr_un *to, socklen_t toLength)
{
    ssize_t sent = sendto(fd, text, length, 0, (const struct sockaddr *)to, toLength);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)) {
        int saved = errno;
        if (!ownBufferFull(fd)) {
            errno = saved;
            return sent;
        }
        sent = sendFromTwin(text, length, to, toLength);
    }
    return sent;
}

// The path walk of a reply to another user's address, done here rather
// than left to sendto: an address may lead through links whose walk costs
// far more than a request (40 links of 4 kB each are 80,000 steps), and the
// kernel would take that walk again for every datagram of such a sender.
// Bounded to what a socket address of 107 bytes plausibly needs.
const int kWalkLinks = 8;
const size_t kWalkLinkBytes = 1024;
const int kWalkSteps = 64;

// Where a walked address ends: the directory holding its last component
// (an O_PATH descriptor) and that component's name.
struct Walked {
    int dirFd;
    char last[kPathSize + 1];
};

// Takes the next component off the front of *rest (advancing it) into out;
// false when none is left.
bool nextComponent(const char **rest, char *out, size_t size)
{
    const char *p = *rest;
    while (*p == '/')
        p++;
    size_t length = strcspn(p, "/");
    if (length == 0 || length >= size)
        return false;
    memcpy(out, p, length);
    out[length] = '\0';
    *rest = p + length;
    return true;
}

bool onlySlashes(const char *text)
{
    return text[strspn(text, "/")] == '\0';
}

// Walks path with the process's current file-system identity, following at
// most kWalkLinks links of kWalkLinkBytes in all and kWalkSteps components.
// 0 with *out filled (close out->dirFd), or -1 with errno: ELOOP beyond the
// bounds, or what the walk met (EACCES, ENOENT, ENOTDIR, ...).
int walkBounded(const char *path, Walked *out)
{
    memset(out, 0, sizeof(*out));
    // The text still to walk: a link's target goes in front of the rest.
    char pending[kPathSize + kWalkLinkBytes + 2];
    memset(pending, 0, sizeof(pending));
    copyText(pending, path, sizeof(pending));
    int dir = open(pending[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;
    int links = 0;
    size_t linkBytes = 0;
    const char *rest = pending;
    char name[kPathSize + 1];
    for (int step = 0; step < kWalkSteps; step++) {
        memset(name, 0, sizeof(name));
        if (!nextComponent(&rest, name, sizeof(name))) {
            close(dir);
            errno = ENOENT;
            return -1;
        }
        bool final = onlySlashes(rest);
        if (!final) {
            int next = openat(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next >= 0) {
                close(dir);
                dir = next;
                continue;
            }
            if (errno != ELOOP && errno != ENOTDIR) {
                int saved = errno;
                close(dir);
                errno = saved;
                return -1;
            }
        }
        char target[kWalkLinkBytes + 1];
        memset(target, 0, sizeof(target));
        ssize_t n = readlinkat(dir, name, target, sizeof(target));
        if (n < 0 && final && errno == EINVAL) {  // not a link: the end
            out->dirFd = dir;
            copyText(out->last, name, sizeof(out->last));
            return 0;
        }
        if (n < 0 || ++links > kWalkLinks || (linkBytes += (size_t)n) > kWalkLinkBytes) {
            int saved = n < 0 ? errno : ELOOP;
            close(dir);
            errno = saved == EINVAL ? ENOTDIR : saved;
            return -1;
        }
        // The target, then what was left after the link.
        char joined[sizeof(pending)];
        memset(joined, 0, sizeof(joined));
        int length = snprintf(joined, sizeof(joined), "%s/%s", target, rest);
        if (length < 0 || (size_t)length >= sizeof(joined)) {
            close(dir);
            errno = ELOOP;
            return -1;
        }
        memcpy(pending, joined, sizeof(pending));
        rest = pending;
        if (target[0] == '/') {
            close(dir);
            dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (dir < 0)
                return -1;
        }
    }
    close(dir);
    errno = ELOOP;
    return -1;
}

// The address of what a walk ended at: the directory through its
// descriptor, then the name; false when that does not fit an address.
bool walkedAddress(const Walked *walked, struct sockaddr_un *address, socklen_t *length)
{
    memset(address, 0, sizeof(*address));
    address->sun_family = AF_UNIX;
    int n = snprintf(address->sun_path, kPathSize, "/proc/self/fd/%d/%s", walked->dirFd, walked->last);
    if (n < 0 || (size_t)n >= kPathSize)
        return false;
    *length = (socklen_t)(kPathOffset + (size_t)n + 1);
    return true;
}

// Where the server cannot take the sender's identity: the socket itself is
// opened (not what a link in its place leads to) and must belong to the
// sender's user; the reply goes to that very object.
ReplySent sendToOwnedSocket(int fd, const char *text, size_t length, const struct sockaddr_un *to,
                            socklen_t toLength)
{
    char path[kPathSize + 1];
    pathOf(to, toLength, path);
    Walked walked;
    if (walkBounded(path, &walked) != 0) {
        char why[128];
        memset(why, 0, sizeof(why));
        snprintf(why, sizeof(why), "cannot follow it: %s", strerror(errno));
        reportRefused(to, toLength, why);
        return REPLY_NOT_ALLOWED;
    }
    int held = openat(walked.dirFd, walked.last, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    close(walked.dirFd);
    struct stat st;
    memset(&st, 0, sizeof(st));
    const char *wrong = NULL;
    if (held < 0 || fstat(held, &st) != 0)
        wrong = "cannot look at it";
    else if (!S_ISSOCK(st.st_mode))
        wrong = "it is not a socket";
    else if (g_current.uid != 0 && st.st_uid != g_current.uid)
        wrong = "the socket there belongs to another user than the sender";
    if (wrong != NULL) {
        if (held >= 0)
            close(held);
        reportRefused(to, toLength, wrong);
        return REPLY_NOT_ALLOWED;
    }
    struct sockaddr_un object;
    memset(&object, 0, sizeof(object));
    object.sun_family = AF_UNIX;
    int n = snprintf(object.sun_path, kPathSize, "/proc/self/fd/%d", held);
    socklen_t objectLength = (socklen_t)(kPathOffset + (size_t)n + 1);
    ssize_t sent = sendOnce(fd, text, length, &object, objectLength);
    int saved = errno;
    close(held);
    errno = saved;
    return sent >= 0 ? REPLY_SENT : REPLY_SEND_FAILED;
}

// Sends as the sender, along the walk done with the sender's identity: the
// directories on the way were searched with its rights, and the socket is
// written to with them.
ssize_t sendAlongWalk(int fd, const char *text, size_t length, const struct sockaddr_un *to, socklen_t toLength)
{
    char path[kPathSize + 1];
    pathOf(to, toLength, path);
    Walked walked;
    if (walkBounded(path, &walked) != 0)
        return -1;
    struct sockaddr_un address;
    socklen_t addressLength = 0;
    ssize_t sent;
    if (walkedAddress(&walked, &address, &addressLength))
        sent = sendOnce(fd, text, length, &address, addressLength);
    else
        sent = sendOnce(fd, text, length, to, toLength);  // a last name too long to go behind the descriptor
    int saved = errno;
    close(walked.dirFd);
    errno = saved;
    return sent;
}

bool isPathAddress(const struct sockaddr_un *to, socklen_t toLength)
{
    return socklenSize(toLength) > kPathOffset && to->sun_path[0] != '\0';
}

}  // namespace

int replyAddressInit(const char *socketPath)
{
    memset(&g_self, 0, sizeof(g_self));
    g_self.random = -1;
    if (strlen(socketPath) > kPathSize) {
        errno = ENAMETOOLONG;
        return -1;
    }
    copyText(g_self.socketPath, socketPath, sizeof(g_self.socketPath));
    g_self.pid = getpid();
    g_self.uid = geteuid();
    g_self.gid = getegid();
    g_self.canSwitch = probeSwitch();
    g_self.twinLength = replyTwinPrefix(socketPath, g_self.twin, sizeof(g_self.twin));
    g_self.random = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    g_self.known = true;
    return 0;
}

ReplyVerdict replyAddressFor(const struct sockaddr_un *sender, socklen_t senderLength, const struct ucred *cred)
{
    memset(&g_current, 0, sizeof(g_current));
    g_current.identity = SEND_AS_SERVER;
    if (cred != NULL) {
        g_current.pid = cred->pid;
        g_current.uid = cred->uid;
        g_current.gid = cred->gid;
    }
    // From this very process: the request socket itself, or a one-off reply
    // socket whose reply was led back here.
    if (cred != NULL && g_self.known && cred->pid == g_self.pid)
        return dropOwn();
    if (!isPathAddress(sender, senderLength))
        return REPLY_SEND;  // unnamed or abstract: no file, nobody's rights to use
    char path[kPathSize + 1];
    pathOf(sender, senderLength, path);
    if (g_self.known && strcmp(path, g_self.socketPath) == 0)
        return dropOwn();
    if (cred == NULL) {
        g_current.pid = 0;
        reportRefused(sender, senderLength, "no credentials came with the request");
        return REPLY_REFUSED;
    }
    if (cred->uid != g_self.uid || cred->gid != g_self.gid)
        g_current.identity = SEND_AS_SENDER;
    return REPLY_SEND;
}

void replyAddressDone(void)
{
    memset(&g_current, 0, sizeof(g_current));
    g_current.identity = SEND_AS_SERVER;
}

namespace {

// A sender of the server's own identity is answered with a plain sendto,
// the kernel walking its address. An address whose walk turned out dear
// (links of links, beyond what the bounded walk follows) marks its user
// for a while: that user's replies then take the bounded walk too, so such
// addresses cost a dear walk at most once in a while, whatever they send.
const long long kDearSendUs = 200;
const long long kDearUserMs = 10000;
struct DearUser {
    uid_t uid;
    long long untilMs;
};
DearUser g_dearUsers[8];

bool isDearUser(uid_t uid)
{
    long long now = monotonicMs();
    for (const DearUser &dear : g_dearUsers) {
        if (dear.untilMs > now && dear.uid == uid)
            return true;
    }
    return false;
}

bool walksWithinBounds(const struct sockaddr_un *to, socklen_t toLength)
{
    char path[kPathSize + 1];
    pathOf(to, toLength, path);
    Walked walked;
    if (walkBounded(path, &walked) != 0)
        return errno != ELOOP;
    close(walked.dirFd);
    return true;
}

void markDearUser(uid_t uid)
{
    DearUser *slot = &g_dearUsers[0];
    for (DearUser &dear : g_dearUsers) {
        if (dear.uid == uid || dear.untilMs < slot->untilMs)
            slot = &dear;
        if (dear.uid == uid)
            break;
    }
    slot->uid = uid;
    slot->untilMs = monotonicMs() + kDearUserMs;
}

ReplySent sendAsServer(int fd, const char *text, size_t length, const struct sockaddr_un *to, socklen_t toLength)
{
    if (!isPathAddress(to, toLength))
        return sendOnce(fd, text, length, to, toLength) >= 0 ? REPLY_SENT : REPLY_SEND_FAILED;
    if (g_current.pid > 0 && isDearUser(g_current.uid)) {
        if (sendAlongWalk(fd, text, length, to, toLength) >= 0)
            return REPLY_SENT;
        if (errno == ELOOP) {
            reportRefused(to, toLength, "its address leads through more links than a reply follows");
            return REPLY_NOT_ALLOWED;
        }
        return REPLY_SEND_FAILED;
    }
    long long started = monotonicUs();
    ssize_t sent = sendOnce(fd, text, length, to, toLength);
    int saved = errno;
    // A slow send may only have been a busy machine: the address is dear
    // when the bounded walk cannot follow it either.
    if (g_current.pid > 0 && monotonicUs() - started > kDearSendUs && !walksWithinBounds(to, toLength))
        markDearUser(g_current.uid);
    errno = saved;
    return sent >= 0 ? REPLY_SENT : REPLY_SEND_FAILED;
}

}  // namespace

ReplySent replySend(int fd, const char *text, size_t length, const struct sockaddr_un *to, socklen_t toLength)
{
    if (g_current.identity == SEND_AS_SERVER || !isPathAddress(to, toLength))
        return sendAsServer(fd, text, length, to, toLength);
    if (!g_self.canSwitch)
        return sendToOwnedSocket(fd, text, length, to, toLength);
    if (!becomeSender(g_current.uid, g_current.gid)) {
        becomeServer();
        return sendToOwnedSocket(fd, text, length, to, toLength);
    }
    ssize_t sent = sendAlongWalk(fd, text, length, to, toLength);
    int saved = errno;
    becomeServer();
    errno = saved;
    if (sent >= 0)
        return REPLY_SENT;
    if (saved == EACCES || saved == EPERM || saved == ELOOP || saved == ENOTDIR || saved == ENAMETOOLONG) {
        char why[128];
        memset(why, 0, sizeof(why));
        snprintf(why, sizeof(why), "the sender may not send there itself: %s", strerror(saved));
        reportRefused(to, toLength, why);
        return REPLY_NOT_ALLOWED;
    }
    return REPLY_SEND_FAILED;
}
