// Firmware update: an offer and its package on the simulated update server.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <cjson/cJSON.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "sim/controls/control_support.h"
#include "sim/controls/control_table.h"
#include "sim/sim_digest.h"
#include "sim/sim_files.h"
#include "sim/sim_kv.h"
#include "sim/sim_state_files.h"

namespace {

const char kOfferFile[] = SIM_UPDATE_OFFER_FILE;
const char kOfferPackageFile[] = SIM_UPDATE_PACKAGE_FILE;
const size_t kMaxVersion = 15;
const size_t kMaxNote = 200;
const size_t kOfferPayloadBytes = 256 * 1024;  // large enough for a download to show progress

bool validVersion(const char *version)
{
    size_t len = strlen(version);
    if (len == 0 || len > kMaxVersion || !isdigit((unsigned char)version[0]) ||
        !isdigit((unsigned char)version[len - 1]))
        return false;
    for (size_t i = 0; i < len; i++)
        if (!isdigit((unsigned char)version[i]) && !(version[i] == '.' && version[i + 1] != '.'))
            return false;
    return true;
}

// The package the simulated verifier accepts (sim/sim_digest.h).
int writeOfferPackage(const char *version, char *message, size_t size)
{
    size_t total = kOfferPayloadBytes + SIM_PACKAGE_TRAILER_SIZE;
    unsigned char *data = (unsigned char *)calloc(1, total + 1);
    if (data == NULL)
        return say(message, size, CONTROL_FAILED, "out of memory");
    // A recognisable, version-specific payload.
    char seed[64];
    memset(seed, 0, sizeof(seed));
    int seedLen = snprintf(seed, sizeof(seed), "simulated firmware %s\n", version);
    for (size_t i = 0; i < kOfferPayloadBytes; i++)
        data[i] = (unsigned char)seed[i % (size_t)seedLen];
    char digest[SIM_DIGEST_HEX_SIZE];
    if (simDigestHex(data, kOfferPayloadBytes, digest) != 0) {
        free(data);
        return say(message, size, CONTROL_FAILED, "cannot compute the package digest");
    }
    snprintf((char *)data + kOfferPayloadBytes, SIM_PACKAGE_TRAILER_SIZE + 1, "%s%s\n", SIM_PACKAGE_TRAILER_TAG, digest);
    int rc = writeState(kOfferPackageFile, (const char *)data, total, 0644, message, size);
    free(data);
    return rc;
}

}  // namespace

int updateControl(int argc, const char *const argv[], bool apply, char *message, size_t size)
{
    bool none = argc == 2 && strcmp(argv[1], "none") == 0;
    bool offer = (argc == 3 || argc == 4) && strcmp(argv[1], "offer") == 0;
    if (!none && !offer)
        return say(message, size, CONTROL_REFUSED, "update needs: offer VERSION [NOTE] or none");
    if (none) {
        char path[600];
        int rc = statePath(path, sizeof(path), kOfferFile, message, size);
        if (rc == CONTROL_OK)
            rc = removeFile(path, message, size);
        if (rc == CONTROL_OK)
            rc = statePath(path, sizeof(path), kOfferPackageFile, message, size);
        if (rc == CONTROL_OK)
            rc = removeFile(path, message, size);
        return rc == CONTROL_OK ? say(message, size, CONTROL_OK, "no firmware update on offer") : rc;
    }
    const char *version = argv[2];
    const char *note = argc == 4 ? argv[3] : "Simulated update";
    if (!validVersion(version))
        return say(message, size, CONTROL_REFUSED, "update: \"%s\" is not a version like 1.1.0", quote(version).text);
    if (strlen(note) > kMaxNote || !cleanUtf8(note, false))
        return say(message, size, CONTROL_REFUSED, "update: the note must be up to %zu bytes of UTF-8 without control characters",
                   kMaxNote);
    if (!apply)
        return CONTROL_OK;
    // The package first: an offer is never seen without its package.
    int rc = writeOfferPackage(version, message, size);
    if (rc != CONTROL_OK)
        return rc;
    char offerText[512];
    memset(offerText, 0, sizeof(offerText));
    int n = snprintf(offerText, sizeof(offerText), "version=%s\nurl=http://updates.invalid/fw-%s.zip\nnote=%s\n", version,
                     version, note);
    if (n < 0 || (size_t)n >= sizeof(offerText))
        return say(message, size, CONTROL_REFUSED, "update: the offer is too long");
    rc = writeState(kOfferFile, offerText, (size_t)n, 0644, message, size);
    return rc == CONTROL_OK ? say(message, size, CONTROL_OK, "firmware %s on offer (newer only when above key 91)", version)
                            : rc;
}

void updateShow(cJSON *out)
{
    char path[600];
    char offer[1024];
    memset(offer, 0, sizeof(offer));
    char version[32];
    memset(version, 0, sizeof(version));
    if (simStatePath(path, sizeof(path), kOfferFile) == 0 && simReadFile(path, offer, sizeof(offer)) >= 0)
        simKvValue(offer, "version", version, sizeof(version));
    if (version[0] != '\0')
        cJSON_AddStringToObject(out, "update", version);
    else
        cJSON_AddNullToObject(out, "update");
}
