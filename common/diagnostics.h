// The program's own diagnostic lines on standard output. Every line of the
// server, the simulated device and the shared helpers goes through here, so
// the server can make sure that a reader that stopped or went away never
// stalls or ends it.
#pragma once

// Longest line: a longer one is cut (at a character boundary).
#define KAL_DIAGNOSTIC_LINE_MAX 4096

// Server start-up: from now on each line is written whole in one write, or
// dropped whole when standard output cannot take it at once (a full pipe,
// a terminal on hold). The commands the server runs keep the inherited,
// blocking standard output. Until it is called (and in the tools), lines go
// through stdio's stdout as printf would write them.
void diagnosticsInit(void);

// One line, as puts writes it: text plus a newline.
void diagLine(const char *text);

// One formatted line, as printf writes it (the format ends with "\n").
void diagPrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
