// Upgrade service (firmware check, download and upgrade) and the signature
// verifier of downloaded packages. The service owns its check and download
// threads; callers only start, poll and stop them.
#pragma once

extern "C" {
// Full path of the update package for name (e.g. "/update.zip").
void getFilePath(char *path, const char *name, int size);
// Running firmware version and build, always terminated.
void getFirmwareVer(char *text, int size);
void getBuildInfo(char *text, int size);

// Results of the last completed check.
int hasNewVersion(void);
void getLatestVersion(char *text, int size);
// *note becomes a malloc'd text (the caller frees it), or stays null.
void getReleaseNote(char **note);
void getFileSize(int *size);
void getDownloadUrl(char *text, int size);

// Check state: after a finished check 0 = results can be read, 5 = no newer
// firmware, 2 = the check failed; 3 while it runs; 1 when idle.
int getCheckResultState(void);
// Starts or polls the background check: 0 started or running, 2 ended,
// 1 cannot check now (a download is running).
int httpReqForCheckUpdate(void);
void initCheckThreadState(void);

// 0 when the download started.
int startDownload(void);
void cancelDownThread(void);
// Non-zero when the percentage was read.
int getPercentage(int *percentage);
int getDownSize(int *size);
int getUploadState(int *state);
void startUpdateForWeb(void);
void clearCache(void);

// Verifies the package at path: 0 when it is intact and authentic.
int verify_update_file(const char *path);
}
