// The header deadline. The HTTP library reads headers with a timeout per
// read only, so a client sending a byte a second would hold a worker for
// hours. Each worker serves one connection at a time, from its first read
// to its close, on its own thread: the relay's own recv() and close(),
// which the library calls, note per thread which connection it serves and
// whether headers are due, and refuse a read past the deadline, which ends
// that connection. They also keep the request's header lines as they came:
// the library drops a header with an empty value, which says something of
// its own (an empty Origin).
//
// The library is a shared one, so only symbols of the program itself take
// its calls: they stand for recv() and close() process-wide. A descriptor
// the deadline does not track costs one comparison before the system call.
#include "tools/header_deadline.h"

#include <errno.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

#include "common/clock.h"

namespace {

const size_t kMaxHeadBytes = 16384;
struct HeaderClock {
    int fd = -1;            // the connection this worker serves, or -1
    long long dueMs = 0;    // when its headers must have arrived; 0 while none are due
    std::string head;       // the request's header lines read so far
    bool headComplete = false;
};
thread_local HeaderClock t_headerClock;

void startHead()
{
    t_headerClock.head.clear();
    t_headerClock.headComplete = false;
}

void keepHead(const char *data, size_t length)
{
    HeaderClock &c = t_headerClock;
    if (c.headComplete)
        return;
    c.head.append(data, std::min(length, kMaxHeadBytes - c.head.size()));
    size_t end = c.head.find("\r\n\r\n");
    if (end != std::string::npos)
        c.head.resize(end + 2);
    c.headComplete = end != std::string::npos || c.head.size() >= kMaxHeadBytes;
}

}  // namespace

bool emptyHeaderSent(const char *name)
{
    const std::string &head = t_headerClock.head;
    size_t length = strlen(name);
    for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
        size_t line = at + 2;
        if (line + length >= head.size() || strncasecmp(head.c_str() + line, name, length) != 0 ||
            head[line + length] != ':')
            continue;
        size_t value = head.find_first_not_of(" \t", line + length + 1);
        if (value == std::string::npos || head.compare(value, 2, "\r\n") == 0)
            return true;
    }
    return false;
}

std::vector<std::pair<std::string, std::string>> headersAsSent()
{
    std::vector<std::pair<std::string, std::string>> out;
    const std::string &head = t_headerClock.head;
    if (!t_headerClock.headComplete || head.size() >= kMaxHeadBytes)
        return out;
    for (size_t at = head.find("\r\n"); at != std::string::npos && at + 2 < head.size();) {
        size_t line = at + 2;
        size_t end = head.find("\r\n", line);
        if (end == std::string::npos)
            break;
        size_t colon = head.find(':', line);
        if (colon != std::string::npos && colon < end) {
            size_t value = head.find_first_not_of(" \t", colon + 1);
            value = value == std::string::npos || value > end ? end : value;
            size_t last = head.find_last_not_of(" \t", end - 1);
            std::string text = last == std::string::npos || last < value ? "" : head.substr(value, last + 1 - value);
            out.emplace_back(head.substr(line, colon - line), text);
        }
        at = end;
    }
    return out;
}

size_t headBytesKept()
{
    return t_headerClock.head.size();
}

void headersArrived()
{
    t_headerClock.dueMs = 0;
}

void awaitNextHeaders()
{
    if (t_headerClock.fd >= 0)
        t_headerClock.dueMs = monotonicMs() + kHeaderDeadlineMs;
    startHead();
}

extern "C" ssize_t recv(int fd, void *buf, size_t len, int flags)
{
    // The first read of a worker that serves no connection is a new one's.
    if (t_headerClock.fd < 0) {
        t_headerClock.fd = fd;
        t_headerClock.dueMs = monotonicMs() + kHeaderDeadlineMs;
        startHead();
    }
    if (fd == t_headerClock.fd && t_headerClock.dueMs != 0 && monotonicMs() > t_headerClock.dueMs) {
        errno = ETIMEDOUT;
        return -1;
    }
    ssize_t n = (ssize_t)syscall(SYS_recvfrom, fd, buf, len, flags, NULL, NULL);
    if (fd == t_headerClock.fd && n > 0 && (flags & MSG_PEEK) == 0)
        keepHead((const char *)buf, (size_t)n);
    return n;
}

extern "C" int close(int fd)
{
    if (fd == t_headerClock.fd)
        t_headerClock.fd = -1;
    return (int)syscall(SYS_close, fd);
}
