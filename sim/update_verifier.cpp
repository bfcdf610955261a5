// Simulated signature verifier of the packages sim/sim_digest.h describes.
// A truncated or altered package fails.
//   0 intact; 1 missing or unreadable; 2 no trailer; 3 digest mismatch
#include "platform/upgrade_service.h"

#include <stdio.h>
#include <string.h>

#include "sim/sim_digest.h"
#include "sim/sim_faults.h"

namespace {

const char kTrailerTag[] = SIM_PACKAGE_TRAILER_TAG;
const size_t kTrailerSize = SIM_PACKAGE_TRAILER_SIZE;

}  // namespace

extern "C" int verify_update_file(const char *path)
{
    if (simServiceFails(SIM_SERVICE_VERIFIER))
        return 1;  // as for a missing package
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
    rewind(file);
    char digest[SIM_DIGEST_HEX_SIZE];
    int rc = simDigestFileHex(file, size - (long)kTrailerSize, digest);
    fclose(file);
    if (rc != 0)
        return 1;
    return memcmp(digest, trailer + sizeof(kTrailerTag) - 1, 64) == 0 ? 0 : 3;
}
