// One request to the server socket: sent as one datagram from an automatic
// abstract address of its own (so a reply can only reach the request it
// answers), then one reply awaited: the first datagram that the server sent,
// any other program's being ignored. Shared by the clients, the simulated
// device's power controls and the server's start-up check.
#pragma once

#include <stddef.h>
#include <sys/types.h>

enum RequestStatus {
    REQUEST_OK = 0,
    REQUEST_LOCAL_ERROR,     // no socket or no reply address here
    REQUEST_NO_SERVER,       // nothing listening on the socket path
    REQUEST_SEND_FAILED,
    REQUEST_TIMEOUT,
    REQUEST_RECEIVE_FAILED,
};

// The largest reply taken: more than any reply datagram.
const size_t kMaxReplyBytes = 256 * 1024;

// Sends length bytes of request to socketPath and waits for the reply, all
// within timeoutMs (a server whose queue is full is a timeout too). The
// reply goes into reply (size bytes) with its length in
// *replyLength. On failure why holds one line saying why; each tool words
// REQUEST_NO_SERVER its own way (why may be null). answeredBy, when not
// null, gets the pid of the process that answered.
RequestStatus requestOnce(const char *socketPath, const char *request, size_t length, long long timeoutMs,
                          char *reply, size_t size, size_t *replyLength, char *why, size_t whySize,
                          pid_t *answeredBy = NULL);
