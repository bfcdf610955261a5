// The request server: one UNIX datagram socket, one JSON request per
// datagram, one JSON reply per request.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

// Bound request socket; written once at start-up, used to send replies.
extern int serverSocket;

// Largest request read from one datagram (the buffer keeps one byte for NUL).
#define KAL_REQUEST_BUFFER_SIZE 40960

// At most this much of a malformed request is echoed on standard output.
#define KAL_REQUEST_ECHO_LIMIT 512

// An address of the family alone names no one (the kernel reports an
// unnamed sender with length 0): handed to dispatchRequest, the request
// runs but no reply goes out, for a sender that may not be answered.
#define KAL_NO_REPLY_LENGTH ((socklen_t)sizeof(sa_family_t))

// Parses text, runs the module's handler and sends exactly one reply to
// sender (the failure reply when no handler response can be sent).
void dispatchRequest(const char *text, struct sockaddr_un sender, socklen_t senderLength);

// Start-up work of the server itself, on the device as on the simulated one:
// reads KAL_ROOT and removes the temporary files that replacements cut short
// by a crash left behind. Returns 0, or -1 after printing one line that says
// why KAL_ROOT cannot be used.
int serverStart(void);
