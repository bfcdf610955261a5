// A shell command's output, for the modules that read the device through
// its tools.
#pragma once

// Runs command and puts its output, less one trailing newline, into buffer
// (at most size - 1 bytes). Returns 1 when the command's status is 0.
int getCommandOutput(const char *command, char *buffer, int size);

// The same into a process-wide 1024-byte buffer, valid until the next call.
// Returns null when the command cannot run or its status is not 0.
char *getCommandOutputStatic(const char *command);
