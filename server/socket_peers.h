// Who is at the other end of a UNIX datagram: the credentials the kernel
// attaches to it, and whether a process holds the socket bound at a file.
// Shared by the server (who may get a reply) and its clients (whose
// datagram is the reply).
#pragma once

#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>

// recvmsg on a socket with SO_PASSCRED set: at most size bytes into buffer,
// the sender's address into from (*fromLength holds its size on entry, the
// address length on return) and the kernel's credentials of the sending
// process into *cred; *hasCred is false when none came. Descriptors another
// program passed along are closed, never kept. Returns what recvmsg does.
ssize_t receiveWithCredentials(int fd, void *buffer, size_t size, struct sockaddr *from, socklen_t *fromLength,
                               struct ucred *cred, bool *hasCred);

enum {
    HOLDS_BY_FILE = 1,  // by the kernel's socket diagnostics: the file the socket is bound to
    HOLDS_BY_NAME = 2,  // no diagnostics here: a socket bound under the name path (/proc/net/unix)
};

// Whether process pid holds open the socket bound at the file (dev, ino),
// named path. HOLDS_BY_FILE or HOLDS_BY_NAME: it does, matched so (a name
// match says nothing of where the name leads now); 0: it does not (or no
// socket is bound there); -1: its descriptors cannot be read, errno saying
// why (EACCES or EPERM for another user's process, ENOENT when it has
// gone). Reads at most a bounded number of descriptors.
int processHoldsBoundSocket(pid_t pid, dev_t dev, ino_t ino, const char *path);
