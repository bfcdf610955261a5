// Where the reply to a request may go, and with whose rights it is sent.
// The request socket is open to every program on the device and the server
// runs privileged, so each reply goes out with the file-system identity of
// its sender: the kernel then resolves the sender's address and checks
// search and write permission exactly as for the sender sending to itself.
// A link, a swapped directory or another program's socket reaches only what
// the sender could reach anyway, and there is nothing to race.
#pragma once

#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

enum ReplyVerdict {
    REPLY_SEND,     // run the request and answer the sender
    REPLY_REFUSED,  // run the request, but no reply may go out
    REPLY_OWN,      // the server's own datagram: dropped unread
};

// Learns the server's own pid, identity and socket path, and whether this
// process may take another file-system identity (it must be root, or hold
// CAP_SETUID and CAP_SETGID). Called once the socket is bound; 0, or -1
// (errno set).
int replyAddressInit(const char *socketPath);

// Decides about the datagram that just came from sender; cred holds the
// kernel's credentials of the sending process (null when none came). The
// server's own datagrams are dropped. Abstract and unnamed senders are
// answered as they are; a sender bound to a file needs credentials, and is
// answered with its identity (see replySend). Remembers the sender's
// identity for replySend until replyAddressDone.
ReplyVerdict replyAddressFor(const struct sockaddr_un *sender, socklen_t senderLength, const struct ucred *cred);

// Forgets what replyAddressFor remembered; call once the reply has gone.
void replyAddressDone(void);

enum ReplySent {
    REPLY_SENT = 0,      // on its way
    REPLY_NOT_ALLOWED,   // the sender may not be sent to at that address: reported here, at most a line a second
    REPLY_SEND_FAILED,   // could not be sent (errno set): the sender has gone, or the text does not fit
};

// Sends text from fd to the sender of the current request: with the
// server's identity when the sender's is the same (no extra system call),
// otherwise with the sender's user and group and no supplementary groups.
// Where the server cannot take another identity, only a socket (not a link)
// that belongs to the sender's user, or any socket for a root sender, is
// answered. When fd's send buffer is full the reply goes out from a one-off
// socket bound to the server's reply twin name (see replyTwinPrefix).
ReplySent replySend(int fd, const char *text, size_t length, const struct sockaddr_un *to, socklen_t toLength);
