// The few places where the device's C library (Android's bionic) and glibc
// differ for this server. Everything else is plain POSIX.
#pragma once

#include <malloc.h>
#include <stddef.h>
#include <sys/socket.h>

#include <type_traits>

// Hands heap freed by a request back to the system. glibc keeps it unless
// asked; bionic has no malloc_trim and purges through mallopt instead.
inline void releaseFreeHeap(void)
{
#if defined(__ANDROID__)
#if defined(M_PURGE)
    mallopt(M_PURGE, 0);
#endif
#else
    malloc_trim(0);
#endif
}

// socklen_t is unsigned in glibc but a signed int on 32-bit bionic: compare
// address lengths as sizes, a negative one counting as 0.
template <typename Length>
inline size_t lengthAsSize(Length length)
{
    if constexpr (std::is_signed<Length>::value) {
        if (length < 0)
            return 0;
    }
    return static_cast<size_t>(length);
}

inline size_t socklenSize(socklen_t length)
{
    return lengthAsSize(length);
}
