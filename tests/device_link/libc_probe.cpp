// Calls the bionic check must refuse (what the server once made) beside
// glibc's renamings of calls bionic has, which it must take: compiled in
// the device configuration, never linked into anything.
#include <ctype.h>
#include <errno.h>
#include <malloc.h>
#include <stdio.h>
#include <string.h>

extern "C" int kalLibcProbe(const char *text)
{
    cookie_io_functions_t functions;
    memset(&functions, 0, sizeof(functions));
    FILE *stream = fopencookie(NULL, "w", functions);  // not in bionic
    if (stream != NULL)
        stdout = stream;  // a macro over __sF below API level 23
    malloc_trim(0);       // not in bionic
    int value = 0;
    if (sscanf(text, "%d", &value) != 1)  // __isoc99_sscanf
        value = errno;                    // __errno_location
    FILE *file = fopen(text, "re");       // fopen64 with large files
    if (file != NULL)
        fclose(file);
    return value + isalpha((unsigned char)text[0]);  // __ctype_b_loc
}
