#include "common/text.h"

#include <ctype.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cjson/cJSON.h>

namespace {

// Removes a UTF-8 character that a bounded copy left incomplete at the end.
void trimIncompleteUtf8(char *text)
{
    size_t end = strlen(text);
    size_t i = end;
    while (i > 0 && end - i < 3 && ((unsigned char)text[i - 1] & 0xc0) == 0x80)
        i--;
    if (i == 0)
        return;
    unsigned char lead = (unsigned char)text[i - 1];
    size_t need = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 1;
    if (need > 1 && end - (i - 1) < need)
        text[i - 1] = '\0';
}

}  // namespace

void formatText(char *out, size_t size, const char *format, va_list args)
{
    if (out == NULL || size == 0)
        return;
    memset(out, 0, size);
    vsnprintf(out, size, format, args);
    trimIncompleteUtf8(out);
}

namespace {

// Bytes of the well-formed UTF-8 character at p (1 to 4; no overlong
// forms, surrogates or code points above U+10FFFF), 0 when none starts
// there. Reads no further than the text's terminator.
size_t utf8CharLength(const unsigned char *p)
{
    unsigned char c = *p;
    size_t extra = 0;
    unsigned int low = 0x80;
    unsigned int high = 0xBF;  // allowed range of the second byte
    if (c < 0x80) {
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        if (c == 0xE0)
            low = 0xA0;  // overlong
        else if (c == 0xED)
            high = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        if (c == 0xF0)
            low = 0x90;  // overlong
        else if (c == 0xF4)
            high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    for (size_t i = 1; i <= extra; i++) {
        unsigned int b = p[i];
        if (i == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80)
            return 0;
    }
    return extra + 1;
}

// True when p holds what is left of a character that a cut or a store
// ended short: a lead byte and fewer continuation bytes than it needs, up
// to the end of the text.
bool cutShortAtEnd(const unsigned char *p)
{
    unsigned char c = *p;
    size_t need = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    size_t n = 1;
    while (n < need && (p[n] & 0xC0) == 0x80)
        n++;
    return need > 0 && n < need && p[n] == 0;
}

const char kReplacement[] = "\xef\xbf\xbd";  // U+FFFD

}  // namespace

bool isUtf8(const char *text)
{
    if (text == NULL)
        return false;
    for (const unsigned char *p = (const unsigned char *)text; *p != 0;) {
        size_t n = utf8CharLength(p);
        if (n == 0)
            return false;
        p += n;
    }
    return true;
}

char *wellFormedUtf8(const char *text)
{
    if (text == NULL || isUtf8(text))
        return NULL;
    size_t size = strlen(text) * 3 + 1;
    char *out = (char *)cJSON_malloc(size);
    if (out == NULL)
        return NULL;
    memset(out, 0, size);
    size_t at = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p != 0;) {
        size_t n = utf8CharLength(p);
        if (n > 0) {
            memcpy(out + at, p, n);
            at += n;
            p += n;
        } else if (cutShortAtEnd(p)) {
            break;
        } else {
            memcpy(out + at, kReplacement, 3);
            at += 3;
            p++;
        }
    }
    return out;
}

bool isPrintableText(const char *text)
{
    for (const char *p = text; *p != '\0'; p++) {
        if ((unsigned char)*p < 0x20 || (unsigned char)*p > 0x7E)
            return false;
    }
    return true;
}

const char kHexDigits[] = "0123456789abcdefABCDEF";

bool isHexText(const char *text, size_t length)
{
    return strlen(text) == length && strspn(text, kHexDigits) == length;
}

bool isMacText(const char *text)
{
    if (text == NULL || strlen(text) != 17 || (text[2] != ':' && text[2] != '-'))
        return false;
    for (int i = 0; i < 17; i++) {
        if (i % 3 == 2 ? text[i] != text[2] : strspn(text + i, kHexDigits) == 0)
            return false;
    }
    return true;
}

int parseAmount(const char *text, double *amount)
{
    if (text == NULL || amount == NULL)
        return -1;
    // The longest leading decimal number: sign, digits, fraction, exponent.
    const char *p = text;
    while (isspace((unsigned char)*p))
        p++;
    const char *start = p;
    if (*p == '+' || *p == '-')
        p++;
    int digits = 0;
    while (isdigit((unsigned char)*p)) {
        p++;
        digits++;
    }
    if (*p == '.') {
        p++;
        while (isdigit((unsigned char)*p)) {
            p++;
            digits++;
        }
    }
    // No digit at all ("abc", "nan", "inf", ""): not an amount.
    if (digits == 0)
        return -1;
    if (*p == 'e' || *p == 'E') {
        const char *e = p + 1;
        if (*e == '+' || *e == '-')
            e++;
        if (isdigit((unsigned char)*e)) {
            while (isdigit((unsigned char)*e))
                e++;
            p = e;
        }
    }
    // Only the span found above goes to strtod, which would also read
    // forms this amount does not allow ("0x10", "infinity"). The span may be
    // as long as the request: a copy of exactly its length.
    char *number = strndup(start, (size_t)(p - start));
    if (number == NULL)
        return -1;
    double value = strtod(number, NULL);
    free(number);
    if (!isfinite(value))
        return -1;
    *amount = value;
    return 0;
}
