// ISP update service: the carrier profile database of the modem. Each call
// answers 0 on success.
#pragma once

#define ISP_VERSION_SIZE 64

int getVersion(char *version);  // ISP_VERSION_SIZE bytes
int getNeedLocUpdate(int *pending);
int updateISPByWeb(void);  // 1, 4 and other values are distinct failures
int checkNeedLocalUpdate(void);
int setNeedLocUpdate(int pending);
