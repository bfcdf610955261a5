#include "server/reply_address.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/diagnostics.h"
#include "common/peer_credentials.h"
#include "platform/libc_compat.h"
#include "server/utils.h"

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

// Says why a reply did not go out, at most once a second. The path is the
// sender's choice: control characters are shown as '?'.
void reportRefused(const struct sockaddr_un *to, socklen_t toLength, const char *why)
{
    if (!reportDue(&g_refusedReport))
        return;
    char shown[kPathSize + 1];
    memset(shown, 0, sizeof(shown));
    size_t length = socklenSize(toLength) > kPathOffset ? socklenSize(toLength) - kPathOffset : 0;
    memcpy(shown, to->sun_path, length < kPathSize ? length : kPathSize);
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

ssize_t sendOnce(int fd, const char *text, size_t length, const struct sockaddr_un *to, socklen_t toLength)
{
    ssize_t sent = sendto(fd, text, length, 0, (const struct sockaddr *)to, toLength);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS))
        sent = sendFromTwin(text, length, to, toLength);
    return sent;
}

// Where the server cannot take the sender's identity: the socket itself is
// opened (not what a link in its place leads to) and must belong to the
// sender's user; the reply goes to that very object.
ReplySent sendToOwnedSocket(int fd, const char *text, size_t length, const struct sockaddr_un *to,
                            socklen_t toLength)
{
    char path[kPathSize + 1];
    memset(path, 0, sizeof(path));
    memcpy(path, to->sun_path, socklenSize(toLength) - kPathOffset);
    int held = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    memset(&st, 0, sizeof(st));
    if (held >= 0 && fstat(held, &st) != 0) {
        close(held);
        held = -1;
        errno = EINVAL;  // kernels before 3.6 cannot fstat a path descriptor
    }
    if (held < 0) {
        // Kernels without O_PATH: the name is checked instead, and sent to.
        if ((errno != EINVAL && errno != ENXIO) || lstat(path, &st) != 0) {
            char why[128];
            memset(why, 0, sizeof(why));
            snprintf(why, sizeof(why), "cannot look at it: %s", strerror(errno));
            reportRefused(to, toLength, why);
            return REPLY_NOT_ALLOWED;
        }
    }
    const char *wrong = NULL;
    if (S_ISLNK(st.st_mode))
        wrong = "it is a symbolic link, not the sender's socket";
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
    memcpy(&object, to, sizeof(object));
    socklen_t objectLength = toLength;
    if (held >= 0) {
        memset(&object, 0, sizeof(object));
        object.sun_family = AF_UNIX;
        int n = snprintf(object.sun_path, kPathSize, "/proc/self/fd/%d", held);
        objectLength = (socklen_t)(kPathOffset + (size_t)n + 1);
    }
    ssize_t sent = sendOnce(fd, text, length, &object, objectLength);
    int saved = errno;
    if (held >= 0)
        close(held);
    errno = saved;
    return sent >= 0 ? REPLY_SENT : REPLY_SEND_FAILED;
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
    size_t length = socklenSize(senderLength);
    if (!isPathAddress(sender, senderLength))
        return REPLY_SEND;  // unnamed or abstract: no file, nobody's rights to use
    if (g_self.known && length - kPathOffset <= kPathSize &&
        strncmp(sender->sun_path, g_self.socketPath, length - kPathOffset) == 0 &&
        g_self.socketPath[length - kPathOffset] == '\0')
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

ReplySent replySend(int fd, const char *text, size_t length, const struct sockaddr_un *to, socklen_t toLength)
{
    if (g_current.identity == SEND_AS_SERVER || !isPathAddress(to, toLength))
        return sendOnce(fd, text, length, to, toLength) >= 0 ? REPLY_SENT : REPLY_SEND_FAILED;
    if (!g_self.canSwitch)
        return sendToOwnedSocket(fd, text, length, to, toLength);
    if (!becomeSender(g_current.uid, g_current.gid)) {
        becomeServer();
        return sendToOwnedSocket(fd, text, length, to, toLength);
    }
    ssize_t sent = sendOnce(fd, text, length, to, toLength);
    int saved = errno;
    becomeServer();
    errno = saved;
    if (sent >= 0)
        return REPLY_SENT;
    if (saved == EACCES || saved == EPERM || saved == ELOOP || saved == ENOTDIR) {
        char why[128];
        memset(why, 0, sizeof(why));
        snprintf(why, sizeof(why), "the sender may not send there itself: %s", strerror(saved));
        reportRefused(to, toLength, why);
        return REPLY_NOT_ALLOWED;
    }
    return REPLY_SEND_FAILED;
}
