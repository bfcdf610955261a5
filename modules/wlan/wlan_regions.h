// Regions the "wlan" module accepts with a time zone for each.
#pragma once

struct WlanRegion {
    char country[32];
    char code[3];
    char timezone[32];
};
static_assert(sizeof(WlanRegion) == 67, "region rows are 67 bytes");

extern const WlanRegion kWlanRegions[];
extern const int kWlanRegionCount;

// First row whose code equals the whole text, or null.
const WlanRegion *findWlanRegion(const char *code);
