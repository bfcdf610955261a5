// The few places where the device's C library (Android's bionic) and glibc
// differ for this server. Everything else is plain POSIX.
#pragma once

#include <malloc.h>
#include <stddef.h>
#include <sys/socket.h>

#include <type_traits>

// Hands heap freed by a request back to the system, where the C library
// can. The simulated build on glibc asks malloc_trim. The device build
// never calls malloc_trim, whatever C library it is compiled against:
// bionic has none. Bionic purges through mallopt(M_PURGE) from API level 28;
// below that nothing returns free heap on request, and nothing is done
// (bionic's allocator gives back large free blocks by itself).
inline void releaseFreeHeap(void)
{
#if KAL_PLATFORM_SIM && !defined(__ANDROID__)
    malloc_trim(0);
#elif defined(__ANDROID__) && defined(__ANDROID_API__) && __ANDROID_API__ >= 28 && defined(M_PURGE)
    mallopt(M_PURGE, 0);
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
