// Text helpers shared by the server, the simulated device and the tools.
#pragma once

#include <stdarg.h>
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

// vsnprintf into out, zeroed first and always terminated; a text cut to fit
// never ends inside a UTF-8 character.
void formatText(char *out, size_t size, const char *format, va_list args);

// True when text is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF).
bool isUtf8(const char *text);

// NULL when text is well-formed UTF-8 already; otherwise a well-formed copy
// (cJSON's allocator; free with cJSON_free): a character cut short at the
// end is left out, any other byte that starts no character becomes U+FFFD.
char *wellFormedUtf8(const char *text);

// True when every byte of text is printable ASCII (space to tilde).
bool isPrintableText(const char *text);

// True when text is exactly length hexadecimal digits (either case).
bool isHexText(const char *text, size_t length);

// True when text is a MAC address: six two-digit hex groups split by one
// separator, ':' or '-', the same throughout.
bool isMacText(const char *text);

// Reads the longest leading decimal number of text. -1 when the text holds
// no digits or the number is not finite; *amount is then untouched.
int parseAmount(const char *text, double *amount);
