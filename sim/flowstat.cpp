// Simulated flow statistics service, receive speed only for now: the
// speed in bytes per second is the decimal text of <root>/sim/flowstat/rx_speed
// (0 when the file is missing). The flow statistics module extends it.
#include "platform/flowstat.h"

#include <stdlib.h>
#include <string.h>

#include "sim/sim_files.h"

extern "C" int getRxSpeed(unsigned long *speed)
{
    if (speed == NULL)
        return -1;
    char path[512];
    char text[32];
    memset(text, 0, sizeof(text));
    if (simStatePath(path, sizeof(path), "flowstat/rx_speed") != 0)
        return -1;
    if (!simExists(path)) {
        *speed = 0;
        return 0;
    }
    if (simReadFile(path, text, sizeof(text)) < 0)
        return -1;
    char *end = NULL;
    unsigned long value = strtoul(text, &end, 10);
    if (end == text || (*end != '\0' && *end != '\n') || text[0] == '-')
        return -1;
    *speed = value;
    return 0;
}
