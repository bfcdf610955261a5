// Simulated SD card. The card is in its slot while the block devices
// <root>/dev/block/mmcblk0 and mmcblk0p1 exist (remove them to take it out);
// its sizes, in 1-kilobyte blocks, are in <root>/sim/sdcard, which the
// stand-in "busybox df" (sim/bin/busybox) reports as the card's line.
#include <string.h>

#include "common/device_paths.h"
#include "common/replace_file.h"
#include "sim/sim_device.h"
#include "sim/sim_files.h"
#include "sim/sim_state_files.h"

namespace {

const char kFactorySizes[] = "total=15558144\nused=2342912\nfree=13215232\n";
const char *const kCardDevices[] = {SIM_CARD_DEVICE_PATH, SIM_CARD_PARTITION_PATH};

}  // namespace

int simSdcardSeed(void)
{
    char sizes[512];
    if (simStatePath(sizes, sizeof(sizes), "sdcard") != 0)
        return -1;
    // The card goes in only on the first start: one taken out stays out.
    if (simExists(sizes))
        return 0;
    for (const char *device : kCardDevices) {
        char path[600];
        if (kalPath(path, sizeof(path), device) != 0)
            return -1;
        if (!simExists(path) && replaceFile(path, "", 0, 0644) != 0)
            return -1;
    }
    return replaceFile(sizes, kFactorySizes, strlen(kFactorySizes), 0644);
}
