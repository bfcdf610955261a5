// Firmware packages of the simulated device: the payload followed by the
// trailer "\nKAL-SHA256 <hex SHA-256 digest of the payload>\n", which
// sim/bin/make_update_package and the device controls write and the
// simulated verifier checks.
#pragma once

#include <stddef.h>
#include <stdio.h>

#define SIM_PACKAGE_TRAILER_TAG "\nKAL-SHA256 "
#define SIM_DIGEST_HEX_SIZE 65  // 64 hex digits and the NUL
// Tag, digest and the closing newline: 77 bytes.
#define SIM_PACKAGE_TRAILER_SIZE (sizeof(SIM_PACKAGE_TRAILER_TAG) - 1 + SIM_DIGEST_HEX_SIZE - 1 + 1)

// Hex SHA-256 digest of data into out. 0 or -1.
int simDigestHex(const void *data, size_t len, char out[SIM_DIGEST_HEX_SIZE]);

// The same for the next length bytes of file. 0, or -1 when they cannot
// all be read.
int simDigestFileHex(FILE *file, long length, char out[SIM_DIGEST_HEX_SIZE]);
