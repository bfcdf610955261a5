// File helpers of the simulated device. Every state file is replaced whole
// through a temporary file and rename(), so a crash leaves the old or the
// new content, never a torn one.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// Reads at most size - 1 bytes of path into buf, NUL-terminated.
// Returns the number of bytes read, or -1 when the file cannot be read.
long simReadFile(const char *path, char *buf, size_t size);

// Reads the whole file, at most maxSize - 1 bytes of it, into a new
// NUL-terminated buffer sized to the file (free() it). Null when the file
// cannot be read; *length (when given) is the number of bytes read.
char *simReadFileAlloc(const char *path, size_t maxSize, long *length);

// Creates path and its missing parents, like "mkdir -p". 0 or -1.
int simMakeDirs(const char *path, mode_t mode);

// Whether path exists.
bool simExists(const char *path);

// Builds "<root>/sim/<name>" into out. 0, or -1 when it does not fit.
int simStatePath(char *out, size_t size, const char *name);

// Removes the temporary files that a write cut short by a crash left in
// dir (names containing ".tmp"). 0 or -1.
int simRemoveStaleTemps(const char *dir);

// The device's generation: a count in <root>/sim/generation that every
// reset and snapshot restore raises, so that what plays on the device (a
// scenario) sees it was given another device and stops. 0 while missing.
long simGenerationRead(void);

// Raises the generation; the caller holds the device's lock. 0 or -1.
int simGenerationBump(void);
