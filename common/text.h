// Text helpers shared by the server, the simulated device and the tools.
#pragma once

#include <stddef.h>
#include <string.h>

// Bounded text copy: copies at most size - 1 bytes and always terminates.
// A cut never splits a UTF-8 character: it steps back to the lead byte of a
// character that would not fit whole. Returns strlen(src), so a result >=
// size means the text was cut.
inline size_t copyText(char *dst, const char *src, size_t size)
{
    size_t len = src != NULL ? strlen(src) : 0;
    if (dst != NULL && size > 0) {
        size_t n = len < size - 1 ? len : size - 1;
        if (n < len) {
            while (n > 0 && ((unsigned char)src[n] & 0xC0) == 0x80)
                n--;
        }
        if (n > 0)
            memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return len;
}
