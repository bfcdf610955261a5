// "status": the dashboard view of the whole device in one reply.
#pragma once

#include <stddef.h>

#include <cjson/cJSON.h>

// Fills the "wan" section. 1, or 0 with no object.
int fillWanStatus(cJSON *wan);

// "%lu" of the low 32 bits of a speed counter.
void formatSpeed(char *out, size_t size, unsigned long speed);

// "%s(%s) v%s" of product name, region and hardware version, cut to 63.
void formatHardwareVersion(char *out, size_t size, const char *name, const char *region,
                           const char *version);

// Clamped battery level: the decimal value, 0 when above 100 or negative.
int batteryLevel(const char *text);

// Splits "volume used left" as df prints it, each piece at most 15 characters.
void splitDiskSizes(const char *text, char *volume, char *used, char *left, size_t size);

int formatAmount(char *out, size_t size, double amount);
