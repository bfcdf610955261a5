// The example requests: the fuzz corpus's files named "<module>-<n>.json"
// each hold one valid request of that module. The console's composer and
// docs/api.md show these; other corpus files (regression inputs, named
// otherwise) are not examples.
#pragma once

#include <stddef.h>

#include <cjson/cJSON.h>

// Loads the examples of dir as a list of {"module", "action", "request",
// "file"} ordered by module, action and file number. Null after writing
// why into message (a directory that cannot be read, or an example file
// that is not a request of the module it is named after).
cJSON *loadRequestExamples(const char *dir, char *message, size_t size);
