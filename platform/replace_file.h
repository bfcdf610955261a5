// Replacing a file whole: shared by the modules and the simulated device.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// Replaces the file at path with len bytes of data, created with mode: the
// data goes to path.tmp first, which is renamed over path, so a crash leaves
// the old or the new content, never an empty or cut one (and at most a
// path.tmp, which start-up removes). 0, or -1 when it could not be written
// whole; path is then unchanged and no temporary file is left.
int replaceFile(const char *path, const char *data, size_t len, mode_t mode);

// Removes the temporary file that an interrupted replaceFile(path) may have
// left. For start-up, before anything writes path. 0, or -1 when a leftover
// could not be removed.
int replaceFileCleanup(const char *path);
