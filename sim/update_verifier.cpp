// Simulated signature verifier. A package is its payload followed by the
// 77-byte trailer "\nKAL-SHA256 <64 hex digits>\n", the SHA-256 digest of
// the payload (sim/bin/make_update_package writes it). A truncated or
// altered package fails.
//   0 intact; 1 missing or unreadable; 2 no trailer; 3 digest mismatch
#include "platform/upgrade_service.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace {

const char kTrailerTag[] = "\nKAL-SHA256 ";
const size_t kTrailerSize = 77;

struct Sha256 {
    uint32_t h[8];
    uint8_t block[64];
    size_t used;
    uint64_t length;
};

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

uint32_t rotr(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

void compress(Sha256 &s)
{
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)s.block[4 * i] << 24 | (uint32_t)s.block[4 * i + 1] << 16 |
               (uint32_t)s.block[4 * i + 2] << 8 | s.block[4 * i + 3];
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = s.h[0], b = s.h[1], c = s.h[2], d = s.h[3], e = s.h[4], f = s.h[5], g = s.h[6], h = s.h[7];
    for (int i = 0; i < 64; i++) {
        uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    s.h[0] += a; s.h[1] += b; s.h[2] += c; s.h[3] += d;
    s.h[4] += e; s.h[5] += f; s.h[6] += g; s.h[7] += h;
}

void shaInit(Sha256 &s)
{
    static const uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memset(&s, 0, sizeof(s));
    memcpy(s.h, kInit, sizeof(kInit));
}

void shaUpdate(Sha256 &s, const uint8_t *data, size_t len)
{
    for (size_t i = 0; i < len; i++) {
        s.block[s.used++] = data[i];
        if (s.used == 64) {
            compress(s);
            s.used = 0;
        }
    }
    s.length += len;
}

void shaHex(Sha256 &s, char out[65])
{
    uint64_t bits = s.length * 8;
    uint8_t pad = 0x80;
    shaUpdate(s, &pad, 1);
    pad = 0;
    while (s.used != 56)
        shaUpdate(s, &pad, 1);
    for (int i = 7; i >= 0; i--) {
        uint8_t byte = (uint8_t)(bits >> (8 * i));
        shaUpdate(s, &byte, 1);
    }
    for (int i = 0; i < 8; i++)
        snprintf(out + 8 * i, 9, "%08x", s.h[i]);
}

}  // namespace

extern "C" int verify_update_file(const char *path)
{
    if (path == NULL)
        return 1;
    FILE *file = fopen(path, "rbe");
    if (file == NULL)
        return 1;
    long size = -1;
    if (fseek(file, 0, SEEK_END) == 0)
        size = ftell(file);
    if (size < (long)kTrailerSize || fseek(file, size - (long)kTrailerSize, SEEK_SET) != 0) {
        fclose(file);
        return size < 0 ? 1 : 2;
    }
    char trailer[kTrailerSize + 1];
    memset(trailer, 0, sizeof(trailer));
    if (fread(trailer, 1, kTrailerSize, file) != kTrailerSize ||
        memcmp(trailer, kTrailerTag, sizeof(kTrailerTag) - 1) != 0 || trailer[kTrailerSize - 1] != '\n') {
        fclose(file);
        return 2;
    }
    Sha256 sha;
    shaInit(sha);
    rewind(file);
    long left = size - (long)kTrailerSize;
    uint8_t buffer[8192];
    while (left > 0) {
        size_t want = left < (long)sizeof(buffer) ? (size_t)left : sizeof(buffer);
        size_t got = fread(buffer, 1, want, file);
        if (got == 0)
            break;
        shaUpdate(sha, buffer, got);
        left -= (long)got;
    }
    fclose(file);
    if (left != 0)
        return 1;
    char digest[65];
    memset(digest, 0, sizeof(digest));
    shaHex(sha, digest);
    return memcmp(digest, trailer + sizeof(kTrailerTag) - 1, 64) == 0 ? 0 : 3;
}
