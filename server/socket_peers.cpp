#include "server/socket_peers.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Bounds on the work one look into another process costs: the descriptors
// read, the sockets among them remembered, the diagnostics waited for.
const int kMaxDescriptorsRead = 4096;
const int kMaxSocketsHeld = 256;
const struct timeval kDiagTimeout = {1, 0};

// The kernel's own encoding of a device number, as socket diagnostics
// report the device of a bound file (stat() encodes it differently).
uint32_t kernelDevice(dev_t dev)
{
    return (uint32_t)((major(dev) << 20) | (minor(dev) & 0xfffff));
}

// The socket inodes among pid's descriptors, at most kMaxSocketsHeld.
// Their count, or -1 (errno set) when the descriptors cannot be read.
int socketsOfProcess(pid_t pid, unsigned long *sockets)
{
    char dirPath[64];
    memset(dirPath, 0, sizeof(dirPath));
    snprintf(dirPath, sizeof(dirPath), "/proc/%d/fd", (int)pid);
    int dirFd = open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return -1;
    DIR *dir = fdopendir(dirFd);
    if (dir == NULL) {
        int saved = errno;
        close(dirFd);
        errno = saved;
        return -1;
    }
    int count = 0;
    int examined = 0;
    struct dirent *entry;
    while (count < kMaxSocketsHeld && examined < kMaxDescriptorsRead && (entry = readdir(dir)) != NULL) {
        if (entry->d_name[0] == '.')
            continue;
        examined++;
        char target[64];
        memset(target, 0, sizeof(target));
        ssize_t n = readlinkat(dirFd, entry->d_name, target, sizeof(target) - 1);
        unsigned long inode = 0;
        char bracket = '\0';
        if (n > 0 && sscanf(target, "socket:[%lu%c", &inode, &bracket) == 2 && bracket == ']')
            sockets[count++] = inode;
    }
    closedir(dir);
    return count;
}

bool contains(const unsigned long *sockets, int count, unsigned long inode)
{
    for (int i = 0; i < count; i++) {
        if (sockets[i] == inode)
            return true;
    }
    return false;
}

// NLMSG_OK and NLMSG_NEXT, with the remaining length kept unsigned like
// the header's own.
bool messageFits(const struct nlmsghdr *h, size_t left)
{
    return left >= sizeof(*h) && h->nlmsg_len >= sizeof(*h) && h->nlmsg_len <= left;
}

const struct nlmsghdr *nextMessage(const struct nlmsghdr *h, size_t *left)
{
    size_t step = NLMSG_ALIGN(h->nlmsg_len);
    *left = step < *left ? *left - step : 0;
    return (const struct nlmsghdr *)((const char *)h + step);
}

// Opens a socket for the kernel's socket diagnostics; -1 where they are
// not available here.
int openDiag(void)
{
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd >= 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &kDiagTimeout, sizeof(kDiagTimeout));
    return fd;
}

// Asks the kernel which file the socket with inode `socket` is bound to. 1
// with *dev and *ino set (the kernel's encodings); 0 when it is bound to no
// file or has gone; -1 when the diagnostics do not answer.
int diagBoundFile(int fd, unsigned long socket, uint32_t *dev, uint32_t *ino)
{
    struct {
        struct nlmsghdr header;
        struct unix_diag_req request;
    } message;
    memset(&message, 0, sizeof(message));
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_family = AF_UNIX;
    message.request.udiag_states = ~0u;
    message.request.udiag_ino = (uint32_t)socket;
    message.request.udiag_show = UDIAG_SHOW_VFS;
    // No cookie: the socket is named by its inode alone.
    message.request.udiag_cookie[0] = ~0u;
    message.request.udiag_cookie[1] = ~0u;
    struct sockaddr_nl kernel;
    memset(&kernel, 0, sizeof(kernel));
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, &message, sizeof(message), 0, (struct sockaddr *)&kernel, sizeof(kernel)) < 0)
        return -1;

    long buffer[1024 / sizeof(long)];
    memset(buffer, 0, sizeof(buffer));
    ssize_t n;
    do {
        n = recv(fd, buffer, sizeof(buffer), 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return -1;
    size_t left = (size_t)n;
    for (const struct nlmsghdr *h = (const struct nlmsghdr *)buffer; messageFits(h, left);
         h = nextMessage(h, &left)) {
        if (h->nlmsg_type == NLMSG_ERROR) {
            const struct nlmsgerr *error = (const struct nlmsgerr *)NLMSG_DATA(h);
            bool gone = h->nlmsg_len >= NLMSG_LENGTH(sizeof(*error)) && error->error == -ENOENT;
            return gone ? 0 : -1;
        }
        if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(struct unix_diag_msg)))
            continue;
        const struct unix_diag_msg *diag = (const struct unix_diag_msg *)NLMSG_DATA(h);
        int attrLeft = (int)(h->nlmsg_len - NLMSG_LENGTH(sizeof(*diag)));
        for (const struct rtattr *attr = (const struct rtattr *)(diag + 1); RTA_OK(attr, attrLeft);
             attr = RTA_NEXT(attr, attrLeft)) {
            if (attr->rta_type != UNIX_DIAG_VFS || RTA_PAYLOAD(attr) < sizeof(struct unix_diag_vfs))
                continue;
            struct unix_diag_vfs vfs;
            memcpy(&vfs, RTA_DATA(attr), sizeof(vfs));
            *dev = vfs.udiag_vfs_dev;
            *ino = vfs.udiag_vfs_ino;
            return 1;
        }
        return 0;
    }
    return -1;
}

// Whether one of sockets is bound to the file (dev, ino), asked of the
// kernel socket by socket: only the process's own sockets, never a dump of
// every socket on the system. 1, 0, or -1 when the diagnostics do not answer.
int diagHoldsBoundFile(const unsigned long *sockets, int count, dev_t dev, ino_t ino)
{
    int fd = openDiag();
    if (fd < 0)
        return -1;
    const uint32_t wantDev = kernelDevice(dev);
    const uint32_t wantIno = (uint32_t)ino;
    int result = 0;
    for (int i = 0; i < count && result == 0; i++) {
        uint32_t boundDev = 0, boundIno = 0;
        int found = diagBoundFile(fd, sockets[i], &boundDev, &boundIno);
        if (found < 0)
            result = -1;
        else if (found == 1 && boundDev == wantDev && boundIno == wantIno)
            result = 1;
    }
    close(fd);
    return result;
}

// Without socket diagnostics: whether one of sockets is listed in
// /proc/net/unix under the name path.
bool listedUnderName(const unsigned long *sockets, int count, const char *path)
{
    FILE *table = fopen("/proc/net/unix", "re");
    if (table == NULL)
        return false;
    bool found = false;
    char line[512];
    memset(line, 0, sizeof(line));
    while (!found && fgets(line, sizeof(line), table) != NULL) {
        unsigned long inode = 0;
        int end = 0;
        if (sscanf(line, "%*s %*s %*s %*s %*s %*s %lu%n", &inode, &end) != 1 || line[end] != ' ')
            continue;
        char *name = line + end + 1;
        name[strcspn(name, "\n")] = '\0';
        found = strcmp(name, path) == 0 && contains(sockets, count, inode);
    }
    fclose(table);
    return found;
}

}  // namespace

ssize_t receiveWithCredentials(int fd, void *buffer, size_t size, struct sockaddr *from, socklen_t *fromLength,
                               struct ucred *cred, bool *hasCred)
{
    // Room for the credentials only: descriptors someone passed along do
    // not fit, and the kernel closes them instead of handing them over.
    union {
        struct cmsghdr align;
        char bytes[CMSG_SPACE(sizeof(struct ucred))];
    } control;
    memset(&control, 0, sizeof(control));
    struct iovec iov;
    iov.iov_base = buffer;
    iov.iov_len = size;
    struct msghdr message;
    memset(&message, 0, sizeof(message));
    message.msg_name = from;
    message.msg_namelen = *fromLength;
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control.bytes;
    message.msg_controllen = sizeof(control.bytes);
    *hasCred = false;
    ssize_t received = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
    if (received < 0)
        return received;
    *fromLength = message.msg_namelen;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&message); c != NULL; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET)
            continue;
        if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(struct ucred))) {
            memcpy(cred, CMSG_DATA(c), sizeof(*cred));
            *hasCred = true;
        } else if (c->cmsg_type == SCM_RIGHTS) {
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; i++) {
                int passed = -1;
                memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                if (passed >= 0)
                    close(passed);
            }
        }
    }
    return received;
}

int processHoldsBoundSocket(pid_t pid, dev_t dev, ino_t ino, const char *path)
{
    if (pid <= 0) {
        errno = ESRCH;
        return -1;
    }
    unsigned long sockets[kMaxSocketsHeld];
    memset(sockets, 0, sizeof(sockets));
    int count = socketsOfProcess(pid, sockets);
    if (count < 0)
        return -1;
    if (count == 0)
        return 0;
    int found = diagHoldsBoundFile(sockets, count, dev, ino);
    if (found < 0)
        return listedUnderName(sockets, count, path) ? HOLDS_BY_NAME : 0;
    return found == 1 ? HOLDS_BY_FILE : 0;
}
