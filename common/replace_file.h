// Replacing a file whole: shared by the modules and the simulated device.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// Replaces the file at path with len bytes of data, created with mode (less
// the umask): the data goes to a new temporary file beside it,
// path.tmp.XXXXXX (created exclusively: no two writers ever share one; the
// process's umask is never set, so threads may call this at once), is
// synced to disk and renamed over path, and the directory is synced, so a
// crash or a power cut leaves the old or the new content, never an empty
// or cut one (and at most a temporary file, which start-up removes). A file
// that already holds exactly data, with that mode, is left as it is. 0, or
// -1 when it could not be written whole; path is then unchanged and no
// temporary file is left.
int replaceFile(const char *path, const char *data, size_t len, mode_t mode);

// Syncs the directory that holds path, so that a rename or a new file in it
// survives a power cut. 0 or -1.
int syncDirectoryOf(const char *path);

// Creates the temporary file for a replacement of path (path.tmp.XXXXXX,
// empty, with the mode a shell redirection would give it) and writes its
// name into out, for writers that fill it themselves (a command's "> tmp")
// and then commitFile it, or unlink it when they give up. Makes path's
// directory when that alone is missing. 0, or -1 when it cannot be created
// (out is then empty).
int replaceFileTemp(char *out, size_t size, const char *path);

// Makes the finished file tmp the file at path: synced, renamed over path,
// and the directory synced, as replaceFile does for data in memory. For
// files that a command writes. 0 or -1 (path is then unchanged).
int commitFile(const char *tmp, const char *path);

// Removes the temporary files that interrupted replacements of path may
// have left (path.tmp.XXXXXX, and path.tmp of earlier versions). For
// start-up, before anything writes path. 0, or -1 when a leftover could not
// be removed.
int replaceFileCleanup(const char *path);
