#include "server/command_output.h"

#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include "common/text.h"

namespace {

char g_staticOutput[1024];

// Reads one fread's worth of the command's output into buffer and returns
// the command's exit status, or -1 when it could not be started.
int captureOutput(const char *command, char *buffer, int size)
{
    FILE *pipe = popen(command, "r");
    if (pipe == NULL)
        return -1;
    memset(buffer, 0, (size_t)size);
    size_t n = fread(buffer, 1, (size_t)size - 1, pipe);
    if (n > 0 && buffer[n - 1] == '\n')
        buffer[n - 1] = '\0';
    // Drain what did not fit: closing early would kill the command with
    // SIGPIPE and turn a long but successful output into a failure.
    char rest[512];
    while (fread(rest, 1, sizeof(rest), pipe) > 0) {
    }
    return pclose(pipe);
}

}  // namespace

int getCommandOutput(const char *command, char *buffer, int size)
{
    if (buffer == NULL || size <= 0 || command == NULL)
        return 0;
    return captureOutput(command, buffer, size) == 0 ? 1 : 0;
}

char *getCommandOutputStatic(const char *command)
{
    if (command == NULL)
        return NULL;
    int status = captureOutput(command, g_staticOutput, (int)sizeof(g_staticOutput));
    return status == 0 ? g_staticOutput : NULL;
}
