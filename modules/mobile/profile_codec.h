// Connection profiles between the JSON of requests and replies and the
// mobile service's packed record.
#pragma once

#include <stddef.h>

#include <cjson/cJSON.h>

#include "platform/mobile_client.h"

// Copies at most size - 1 bytes, cut at a UTF-8 character boundary, zero-fills the rest and always
// terminates; a null source gives the empty text. Returns dst.
char *copyBounded(char *dst, size_t size, const char *src);

// JSON profile object -> record; the "profileID" goes to *profileId.
// 0, or 1 after one log line saying which member is wrong.
int decodeProfile(const cJSON *object, ConnectionProfile *record, int *profileId);

// Record -> keys added to object. 0, or 1 after one log line.
int encodeProfile(cJSON *object, const ConnectionProfile *record);
