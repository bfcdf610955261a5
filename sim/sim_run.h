// Who runs a simulated device: the server and its supervisor each record
// themselves in a run file under <root>/sim-run/ (beside the device, not in
// it: snapshots and resets leave these files alone), so that a power cycle
// can end exactly that server, whoever started it, and knows whether
// someone will start it again.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// <root>/sim-run: run files and the output of servers started detached.
#define SIM_RUN_DIR_PATH "/sim-run"
#define SIM_RUN_SERVER_FILE "kal_server.pid"
#define SIM_RUN_SUPERVISOR_FILE "supervisor.pid"
#define SIM_RUN_SERVER_OUTPUT "kal_server.out"
#define SIM_RUN_RELAY_OUTPUT "kal_http.out"
// Held around a power cycle, so that two never interleave.
#define SIM_RUN_POWER_LOCK "power.lock"

// The request a probe sends: it changes nothing and every server answers it.
#define SIM_PROBE_REQUEST "{\"module\":\"webServer\",\"action\":2}"

// A process as a run file names it: its pid and its start time (clock ticks
// after boot, /proc/PID/stat), which a reused pid does not share.
struct SimProcess {
    pid_t pid;
    unsigned long long start;
};

// <root>/sim-run/<name> into out. 0, or -1 when it does not fit.
int simRunPath(const char *root, const char *name, char *out, size_t size);

// The start time of a live process: 0, or -1 when there is no such process
// or it has ended (a zombie counts as ended).
int simProcessStart(pid_t pid, unsigned long long *start);

// Makes <root>/sim-run when it is missing. 0, or -1 after writing why
// ("cannot create DIR: REASON") into why.
int simRunMakeDir(const char *root, char *why, size_t size);

// A run file's text for process, "PID START\n", into out. Its length, or -1
// when it does not fit.
int simRunText(const SimProcess *process, char *out, size_t size);

// Records the calling process in <root>/sim-run/<name> (simRunText),
// replaced whole and synced; *recorded, when not null, gets what was
// recorded. 0, or -1 after writing why into why.
int simRunRecord(const char *root, const char *name, char *why, size_t size, SimProcess *recorded = NULL);

// Reads a run file. 0, or -1 when it is missing or malformed.
int simRunRead(const char *root, const char *name, SimProcess *out);

// Whether the recorded process is still that process.
bool simRunAlive(const SimProcess *process);

// Removes <root>/sim-run/<name> when it names the calling process (a file
// that another process has since written stays).
void simRunForget(const char *root, const char *name);

// Sends SIM_PROBE_REQUEST to the server socket at socketPath from an
// automatic address of its own that asks for credentials, and waits up to
// timeoutMs for the reply. 0 with *pid the answering process (the kernel's
// word, not the reply's), or -1 when nobody answered in time.
int simServerAnswers(const char *socketPath, int timeoutMs, pid_t *pid);

// In a child about to exec a server: every signal unblocked and at its
// default, as a process init starts, whatever the parent had set.
void simRunDefaultSignals(void);
