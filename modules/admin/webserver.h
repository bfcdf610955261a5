// "webServer": interface language and the factory-default flag.
#pragma once

// Reads the interface language (key 11). 1 on success, 0 otherwise. The
// server exports it as a dynamic symbol for the web front end.
extern "C" int getLanguage(char *buffer, int size);

int setLanguage(const char *value, int length);
int setFactoryDefaultDone(const char *value, int length);
