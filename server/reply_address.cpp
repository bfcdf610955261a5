#include "server/reply_address.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/libc_compat.h"
#include "server/socket_peers.h"
#include "server/utils.h"

namespace {

// The file the request socket is bound to.
dev_t g_ownDev = 0;
ino_t g_ownIno = 0;
bool g_ownKnown = false;

// Addresses whose reply was refused lately, each reported once.
const int kRefusedRemembered = 16;
char g_refused[kRefusedRemembered][sizeof(((struct sockaddr_un *)0)->sun_path) + 1];
int g_refusedNext = 0;

// The server's own datagrams dropped since the last line about them.
const long long kOwnReportIntervalMs = 1000;
unsigned long g_ownDropped = 0;
long long g_ownReportedMs = -kOwnReportIntervalMs;

ReplyVerdict dropOwn(void)
{
    g_ownDropped++;
    long long now = monotonicMs();
    if (now - g_ownReportedMs >= kOwnReportIntervalMs) {
        printf("dropped %lu datagrams from the server's own socket\n", g_ownDropped);
        g_ownDropped = 0;
        g_ownReportedMs = now;
    }
    return REPLY_OWN;
}

// Says once per address why its reply was refused. The path is the
// sender's choice: control characters are shown as '?'.
__attribute__((format(printf, 3, 4))) ReplyVerdict refuse(const char *path, const struct ucred *cred,
                                                            const char *format, ...)
{
    for (int i = 0; i < kRefusedRemembered; i++) {
        if (strcmp(g_refused[i], path) == 0)
            return REPLY_REFUSED;
    }
    char *slot = g_refused[g_refusedNext];
    g_refusedNext = (g_refusedNext + 1) % kRefusedRemembered;
    memset(slot, 0, sizeof(g_refused[0]));
    memcpy(slot, path, strnlen(path, sizeof(g_refused[0]) - 1));

    char shown[sizeof(g_refused[0])];
    memset(shown, 0, sizeof(shown));
    memcpy(shown, slot, sizeof(shown) - 1);
    for (char *c = shown; *c != '\0'; c++) {
        if ((unsigned char)*c < 0x20 || *c == 0x7f)
            *c = '?';
    }
    char why[160];
    memset(why, 0, sizeof(why));
    va_list args;
    va_start(args, format);
    vsnprintf(why, sizeof(why), format, args);
    va_end(args);
    if (cred != NULL)
        printf("no reply to %s (sender pid %d, uid %u): %s\n", shown, (int)cred->pid, (unsigned)cred->uid, why);
    else
        printf("no reply to %s: %s\n", shown, why);
    return REPLY_REFUSED;
}

bool isOwn(const struct stat *st)
{
    return g_ownKnown && st->st_dev == g_ownDev && st->st_ino == g_ownIno;
}

// Whether path leads to the file of st through directories alone, with no
// symbolic link anywhere on the way. Where a socket can only be matched by
// the name it was bound under, a link on the way could lead that name to
// another program's socket.
bool namesWithoutLinks(const char *path, const struct stat *st)
{
    char copy[sizeof(((struct sockaddr_un *)0)->sun_path) + 1];
    memset(copy, 0, sizeof(copy));
    if (copyText(copy, path, sizeof(copy)) >= sizeof(copy))
        return false;
    int dirFd = open(copy[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    char *save = NULL;
    char *part = strtok_r(copy, "/", &save);
    while (dirFd >= 0 && part != NULL) {
        char *next = strtok_r(NULL, "/", &save);
        if (next == NULL) {
            struct stat last;
            memset(&last, 0, sizeof(last));
            bool same = fstatat(dirFd, part, &last, AT_SYMLINK_NOFOLLOW) == 0 && last.st_dev == st->st_dev &&
                        last.st_ino == st->st_ino;
            close(dirFd);
            return same;
        }
        int child = openat(dirFd, part, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(dirFd);
        dirFd = child;
        part = next;
    }
    if (dirFd >= 0)
        close(dirFd);
    return false;
}

}  // namespace

int replyAddressInit(const char *socketPath)
{
    struct stat st;
    memset(&st, 0, sizeof(st));
    if (stat(socketPath, &st) != 0)
        return -1;
    g_ownDev = st.st_dev;
    g_ownIno = st.st_ino;
    g_ownKnown = true;
    return 0;
}

ReplyVerdict replyAddressFor(const struct sockaddr_un *sender, socklen_t senderLength, const struct ucred *cred,
                             struct ReplyAddress *reply)
{
    memset(reply, 0, sizeof(*reply));
    reply->heldFd = -1;
    if (cred != NULL && cred->pid == getpid())
        return dropOwn();

    size_t length = socklenSize(senderLength);
    if (length > sizeof(reply->address))
        length = sizeof(reply->address);
    memcpy(&reply->address, sender, length);
    reply->length = (socklen_t)length;
    const size_t pathOffset = offsetof(struct sockaddr_un, sun_path);
    // Unnamed and abstract senders: no file to swap, answered as they are
    // (an unnamed one cannot be, whatever length it came with).
    if (length <= pathOffset) {
        reply->length = 0;
        return REPLY_SEND;
    }
    if (sender->sun_path[0] == '\0')
        return REPLY_SEND;

    char path[sizeof(sender->sun_path) + 1];
    memset(path, 0, sizeof(path));
    memcpy(path, sender->sun_path, length - pathOffset);
    if (cred == NULL)
        return refuse(path, cred, "no credentials came with the request");

    // Open the socket itself, not what a link in its place points to, and
    // answer that very object: a path swapped later changes nothing.
    struct stat st;
    memset(&st, 0, sizeof(st));
    int fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && fstat(fd, &st) != 0) {
        int saved = errno;
        close(fd);
        fd = -1;
        errno = saved == EBADF ? EINVAL : saved;  // kernels before 3.6 cannot fstat a path descriptor
    }
    bool held = fd >= 0;
    if (!held) {
        // Kernels without O_PATH (EINVAL, or ENXIO opening a socket):
        // check the name instead and send to it.
        if (errno != EINVAL && errno != ENXIO)
            return refuse(path, cred, "cannot open it: %s", strerror(errno));
        if (lstat(path, &st) != 0)
            return refuse(path, cred, "cannot look at it: %s", strerror(errno));
    }

    const char *wrong = NULL;
    if (isOwn(&st)) {
        if (held)
            close(fd);
        return dropOwn();
    }
    if (S_ISLNK(st.st_mode))
        wrong = "it is a symbolic link, not the sender's socket";
    else if (!S_ISSOCK(st.st_mode))
        wrong = "it is not a socket";
    if (wrong == NULL && cred->uid != 0 && st.st_uid != cred->uid) {
        // A client that bound its socket before dropping its privileges:
        // answered when it holds that very socket.
        int holds = processHoldsBoundSocket(cred->pid, st.st_dev, st.st_ino, path);
        if (holds != HOLDS_BY_FILE && (holds != HOLDS_BY_NAME || !namesWithoutLinks(path, &st))) {
            if (held)
                close(fd);
            return refuse(path, cred, "the socket there belongs to uid %u and the sender does not hold it",
                          (unsigned)st.st_uid);
        }
    }
    if (wrong != NULL) {
        if (held)
            close(fd);
        return refuse(path, cred, "%s", wrong);
    }
    if (held) {
        memset(&reply->address, 0, sizeof(reply->address));
        reply->address.sun_family = AF_UNIX;
        int n = snprintf(reply->address.sun_path, sizeof(reply->address.sun_path), "/proc/self/fd/%d", fd);
        reply->length = (socklen_t)(pathOffset + (size_t)n + 1);
        reply->heldFd = fd;
    }
    return REPLY_SEND;
}

void replyAddressRelease(struct ReplyAddress *reply)
{
    if (reply->heldFd >= 0)
        close(reply->heldFd);
    reply->heldFd = -1;
}
