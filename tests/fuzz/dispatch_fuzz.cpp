// libFuzzer target: every input is one datagram for the dispatcher, which
// runs against a simulated device in a temporary root. Each input must be
// answered with exactly one reply.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "server/server.h"
#include "server/utils.h"
#include "tests/support/inprocess.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static char buffer[KAL_REQUEST_BUFFER_SIZE];
    static bool quiet = [] {
        // The dispatcher's diagnostics would drown the fuzzer's own output.
        if (freopen("/dev/null", "w", stdout) == nullptr)
            abort();
        return true;
    }();
    (void)quiet;
    // The server receives at most 40959 bytes and an empty datagram is
    // never dispatched.
    if (size == 0)
        return 0;
    if (size > sizeof(buffer) - 1)
        size = sizeof(buffer) - 1;
    memset(buffer, 0, sizeof(buffer));
    memcpy(buffer, data, size);
    std::string reply = dispatchText(buffer, 5000);
    if (reply.empty())
        abort();  // every dispatched datagram is answered
    // Restarts armed by the request run as they would between requests.
    webTimerRunExpired();
    return 0;
}
