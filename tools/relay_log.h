// kal_http's request log: the last kRelayLogSize /api requests with their
// bodies and replies, for a test runner to read (GET /log) or replay
// (GET /log.har, HAR 1.2). A ring of shared entries behind a mutex: the
// HTTP server's workers add to it and read it at once.
#pragma once

#include <string>
#include <utility>
#include <vector>

const size_t kRelayLogSize = 1000;

struct RelayLogEntry {
    long long seq = 0;        // set when added: 1, 2, ... in the order the requests were answered
    long long startedMs = 0;  // wall clock, milliseconds since the epoch, when the request arrived
    long long ms = 0;         // from arrival to the answer
    std::string module;       // empty when the request names none
    bool hasAction = false;
    long long action = 0;
    std::string method, url, query;
    std::vector<std::pair<std::string, std::string>> requestHeaders, replyHeaders;
    long long requestHeadersSize = -1;  // the request line and headers as sent, -1 unknown
    std::string requestType;  // the request's Content-Type, or ""
    std::string request;      // the body, at most one datagram
    int status = 0;
    std::string replyType;
    std::string reply;             // uncompressed
    long long replySentSize = 0;   // the body as sent, compressed or not
};

// Adds an entry (numbering it), the oldest going once there are
// kRelayLogSize.
void relayLogAdd(RelayLogEntry entry);

// The entries numbered above since, oldest first, as
// {"latest": N, "entries": [...]}, or as a HAR 1.2 document.
std::string relayLogJson(long long since);
std::string relayLogHar(long long since);
