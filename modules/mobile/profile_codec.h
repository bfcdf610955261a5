// Connection profiles between the JSON of requests and replies and the
// mobile service's packed record.
#pragma once

#include <stddef.h>

#include <cjson/cJSON.h>

#include "platform/mobile_client.h"

// Copies at most size - 1 bytes, cut at a UTF-8 character boundary, zero-fills the rest and always
// terminates; a null source gives the empty text. Returns dst.
char *copyBounded(char *dst, size_t size, const char *src);

// How a profile's "profileID" reads.
enum ProfileIdReading { PROFILE_ID_READ, PROFILE_ID_ABSENT, PROFILE_ID_OUT_OF_RANGE };

// The "profileID" of a JSON profile object (a null object has none) into
// *id when it lies in [least, most]: a number toward zero, true 1, any
// other value 0.
int profileIdOf(const cJSON *object, int least, int most, int *id);

// JSON profile object -> record; the "profileID" goes to *profileId.
// 0, or 1 after one log line saying which member is wrong.
int decodeProfile(const cJSON *object, ConnectionProfile *record, int *profileId);

// Record -> keys added to object. 0, or 1 after one log line.
int encodeProfile(cJSON *object, const ConnectionProfile *record);
