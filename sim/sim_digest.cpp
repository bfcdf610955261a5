// Package digests through OpenSSL's libcrypto.
#include "sim/sim_digest.h"

#include <string.h>

#include <openssl/evp.h>

namespace {

// Finishes the digest as hex. 0 or -1.
int finishHex(EVP_MD_CTX *ctx, char out[SIM_DIGEST_HEX_SIZE])
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    memset(digest, 0, sizeof(digest));
    if (EVP_DigestFinal_ex(ctx, digest, &len) != 1 || 2 * len + 1 != SIM_DIGEST_HEX_SIZE)
        return -1;
    static const char kHex[] = "0123456789abcdef";
    for (unsigned i = 0; i < len; i++) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 0x0f];
    }
    return 0;
}

}  // namespace

int simDigestFileHex(FILE *file, long length, char out[SIM_DIGEST_HEX_SIZE])
{
    memset(out, 0, SIM_DIGEST_HEX_SIZE);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    int rc = ctx != NULL && EVP_DigestInit_ex(ctx, EVP_sha256(), NULL) == 1 ? 0 : -1;
    unsigned char buffer[8192];
    while (rc == 0 && length > 0) {
        size_t want = length < (long)sizeof(buffer) ? (size_t)length : sizeof(buffer);
        size_t got = file != NULL ? fread(buffer, 1, want, file) : 0;
        if (got == 0 || EVP_DigestUpdate(ctx, buffer, got) != 1)
            rc = -1;
        length -= (long)got;
    }
    if (rc == 0)
        rc = finishHex(ctx, out);
    EVP_MD_CTX_free(ctx);
    return rc;
}

int simDigestHex(const void *data, size_t len, char out[SIM_DIGEST_HEX_SIZE])
{
    memset(out, 0, SIM_DIGEST_HEX_SIZE);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    int rc = ctx != NULL && EVP_DigestInit_ex(ctx, EVP_sha256(), NULL) == 1 &&
                     EVP_DigestUpdate(ctx, data, len) == 1
                 ? finishHex(ctx, out)
                 : -1;
    EVP_MD_CTX_free(ctx);
    return rc;
}
