// Who is at the other end of a UNIX datagram: the credentials the kernel
// attaches to it, and the address the server answers from when its own
// socket cannot send. Shared by the server and its clients.
#pragma once

#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>

// recvmsg on a socket with SO_PASSCRED set: at most size bytes into buffer,
// the sender's address into from (*fromLength holds its size on entry, the
// address length on return) and the kernel's credentials of the sending
// process into *cred. *hasCred is false when none came: a datagram sent
// before the receiver asked for credentials carries pid 0 and the overflow
// user, which is no identity. Descriptors another program passed along are
// closed, never kept. Returns what recvmsg does.
ssize_t receiveWithCredentials(int fd, void *buffer, size_t size, struct sockaddr *from, socklen_t *fromLength,
                               struct ucred *cred, bool *hasCred);

// Replies that clients never read fill the server socket's send buffer;
// the server then answers from a one-off socket bound to an abstract name
// that starts with this prefix, made from the server's socket path, and
// ends in random characters nobody can claim beforehand. The prefix (its
// first byte is '\0') goes into out; its length, or 0 when it does not fit.
size_t replyTwinPrefix(const char *socketPath, char *out, size_t size);
