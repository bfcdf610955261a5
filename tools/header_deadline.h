// The relay's header deadline, and the request's header lines as they came.
#pragma once

#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

// A request's headers must arrive within this many milliseconds of the
// connection (or the previous reply on it).
const long long kHeaderDeadlineMs = 5000;

// Headers are in: the body and the reply take their own time.
void headersArrived();

// A reply went out: the next request's headers are due.
void awaitNextHeaders();

// Whether the request came with a header name whose value is empty.
bool emptyHeaderSent(const char *name);

// The header lines of the request as they came (the library's own list
// holds entries of its own, such as the peer's address), or empty when
// they were longer than the relay keeps.
std::vector<std::pair<std::string, std::string>> headersAsSent();

// The size of the request's head as kept, without its closing blank line.
size_t headBytesKept();
