#include "common/peer_credentials.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

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
            *hasCred = cred->pid > 0;
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

size_t replyTwinPrefix(const char *socketPath, char *out, size_t size)
{
    // FNV-1a: the same short name for the same path, in server and client.
    uint64_t hash = 14695981039346656037ull;
    for (const char *c = socketPath; *c != '\0'; c++) {
        hash ^= (unsigned char)*c;
        hash *= 1099511628211ull;
    }
    memset(out, 0, size);
    int n = snprintf(out, size, "%ckal-reply:%016llx:", '\0', (unsigned long long)hash);
    return n > 0 && (size_t)n < size ? (size_t)n : 0;
}
