// The simulated device's clock. On the device the stored time zone governs
// every local time; here the server process follows it, the zone database
// being the host's.
#pragma once

#include <stddef.h>

// Whether name is a zone of the host's database ("Asia/Tokyo"): a plain
// database path, nothing that could climb out of it.
bool simKnownZone(const char *name);

// Makes the process's local time follow the zone stored in the "timezone"
// file: read again only when the file changed, the host's own zone while
// it holds no known zone.
void simFollowStoredZone(void);

// The server's wait also watches the zone file's directory through this
// descriptor (-1 when there is none: the file is then looked at before
// every request); simZoneWatchRead takes what it reports.
int simZoneWatchFd(void);
void simZoneWatchRead(void);
