#include "common/device_paths.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/diagnostics.h"

namespace {

char g_root[KAL_ROOT_MAX + 1];
int g_state;  // 0 = not read, 1 = usable, -1 = unusable
#if KAL_PLATFORM_SIM
thread_local char t_redirect[KAL_ROOT_MAX + 1];
thread_local bool t_redirected;
#endif

// Device paths are pasted into shell commands, so the root may only hold
// characters that the shell takes literally.
bool isPlainPathChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '/' || c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == '@';
}

}  // namespace

int kalPathInit(void)
{
    if (g_state != 0)
        return g_state > 0 ? 0 : -1;
    memset(g_root, 0, sizeof(g_root));
    const char *root = getenv("KAL_ROOT");
    if (root == NULL || root[0] == '\0') {
        g_state = 1;
        return 0;
    }
    size_t len = strlen(root);
    if (root[0] != '/') {
        diagPrintf("KAL_ROOT must be an absolute path: %s\n", root);
        g_state = -1;
        return -1;
    }
    if (len > KAL_ROOT_MAX) {
        diagPrintf("KAL_ROOT is %zu characters long; at most %d fit the device paths\n", len, KAL_ROOT_MAX);
        g_state = -1;
        return -1;
    }
    for (size_t i = 0; i < len; i++) {
        if (!isPlainPathChar(root[i])) {
            diagPrintf("KAL_ROOT may hold only letters, digits and / . _ - + , @: %s\n", root);
            g_state = -1;
            return -1;
        }
    }
    memcpy(g_root, root, len);
    while (len > 1 && g_root[len - 1] == '/')
        g_root[--len] = '\0';
    if (len == 1)  // "/" is the device itself
        g_root[0] = '\0';
    g_state = 1;
    return 0;
}

const char *kalRoot(void)
{
#if KAL_PLATFORM_SIM
    if (t_redirected)
        return t_redirect;
#endif
    if (g_state == 0)
        kalPathInit();
    return g_root;
}

#if KAL_PLATFORM_SIM
int kalPathRedirect(const char *root)
{
    memset(t_redirect, 0, sizeof(t_redirect));
    t_redirected = false;
    if (root == NULL)
        return 0;
    size_t len = strlen(root);
    if (root[0] != '/' || len > KAL_ROOT_MAX)
        return -1;
    for (size_t i = 0; i < len; i++)
        if (!isPlainPathChar(root[i]))
            return -1;
    memcpy(t_redirect, root, len);
    t_redirected = true;
    return 0;
}
#endif

int kalPath(char *out, size_t size, const char *devicePath)
{
    if (out == NULL || size == 0)
        return -1;
    memset(out, 0, size);
    if (devicePath == NULL)
        return -1;
    int n = snprintf(out, size, "%s%s", kalRoot(), devicePath);
    if (n < 0 || (size_t)n >= size) {
        memset(out, 0, size);
        return -1;
    }
    return 0;
}
