// Where the reply to a request may go. The request socket is open to every
// program on the device, and the server runs privileged: a reply goes only
// to a socket its sender owns, and never to the server itself.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

enum ReplyVerdict {
    REPLY_SEND,     // answer at the address handed back
    REPLY_REFUSED,  // run the request, but its sender may not get a reply
    REPLY_OWN,      // the server's own datagram (or one whose reply would come back to it): dropped
};

// The address the dispatcher sends the reply to. For a sender bound to a
// file this is "/proc/self/fd/N", the socket opened and checked when the
// request came, so that a path swapped afterwards changes nothing.
struct ReplyAddress {
    struct sockaddr_un address;
    socklen_t length;
    int heldFd;  // the checked socket, opened as a path; -1 when none
};

// Records which file the request socket is bound to, so that the server
// knows its own. Called once the socket is bound; 0, or -1 (errno set).
int replyAddressInit(const char *socketPath);

// Decides where the reply to a datagram from sender goes; cred holds the
// kernel's credentials of the sending process (null when none came).
// Abstract and unnamed senders are answered at their own address. A sender
// bound to a file is answered only when that file is a socket (not a link)
// owned by the sender's user, any socket for a root sender, or one the
// sending process holds open (a client that bound it before dropping its
// privileges). A refusal is reported once per address; the server's own
// datagrams are counted, at most one line a second.
ReplyVerdict replyAddressFor(const struct sockaddr_un *sender, socklen_t senderLength, const struct ucred *cred,
                             struct ReplyAddress *reply);

// Closes what replyAddressFor held open; call once the reply has gone.
void replyAddressRelease(struct ReplyAddress *reply);
