// kal_request: send one JSON request to the server and print its reply.
//
//   kal_request [-t SECONDS] [-s SOCKET] ['{"module":"webServer","action":0}']
//
// Without a request argument the request is read from standard input. The
// reply is printed exactly as received (a newline is added only for a
// terminal). Exit status: 0 reply printed, 1 no reply, 2 usage error.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/device_paths.h"
#include "common/request_client.h"

namespace {

void usage(void)
{
    fputs("usage: kal_request [-t SECONDS] [-s SOCKET] [JSON]\n"
          "  sends JSON (or standard input) to the kal_server socket, under $KAL_ROOT when set,\n"
          "  and prints the reply; -t sets how long to wait (default 5 s)\n",
          stderr);
}

// Reads all of standard input into a new buffer; null on failure.
char *readStdin(size_t *length)
{
    size_t capacity = 4096, used = 0;
    char *data = (char *)malloc(capacity);
    while (data != NULL) {
        if (used == capacity) {
            char *bigger = (char *)realloc(data, capacity * 2);
            if (bigger == NULL) {
                free(data);
                return NULL;
            }
            data = bigger;
            capacity *= 2;
        }
        size_t n = fread(data + used, 1, capacity - used, stdin);
        used += n;
        if (n == 0)
            break;
    }
    *length = used;
    return data;
}

// The request: the argument when there is one, else standard input less
// its trailing newlines. Null, after one line saying why, when there is
// none.
char *takeRequest(const char *argument, size_t *length)
{
    char *request = NULL;
    *length = 0;
    if (argument != NULL) {
        request = strdup(argument);
        *length = request != NULL ? strlen(request) : 0;
    } else {
        request = readStdin(length);
        // A here-document or echo ends the JSON with a newline; it is not part of it.
        while (request != NULL && *length > 0 && (request[*length - 1] == '\n' || request[*length - 1] == '\r'))
            (*length)--;
    }
    if (request == NULL) {
        fputs("kal_request: cannot read the request\n", stderr);
        return NULL;
    }
    if (*length == 0) {
        fputs("kal_request: the request is empty\n", stderr);
        free(request);
        return NULL;
    }
    return request;
}

// The server socket's path into path: the override, or the device's under
// $KAL_ROOT. 0, or -1 after one line saying why.
int socketPath(const char *socketOverride, char *path, size_t size)
{
    memset(path, 0, size);
    if (socketOverride != NULL) {
        if (strlen(socketOverride) >= size) {
            fprintf(stderr, "kal_request: socket path is too long: %s\n", socketOverride);
            return -1;
        }
        strncpy(path, socketOverride, size - 1);
        return 0;
    }
    if (kalPathInit() != 0)
        return -1;
    if (kalPath(path, size, KAL_SERVER_SOCKET_PATH) != 0) {
        fprintf(stderr, "kal_request: socket path %s%s does not fit a UNIX socket address\n", kalRoot(),
                KAL_SERVER_SOCKET_PATH);
        return -1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    double timeoutSeconds = 5.0;
    const char *socketOverride = NULL;
    int opt;
    while ((opt = getopt(argc, argv, "t:s:h")) != -1) {
        if (opt == 't') {
            char *end = NULL;
            timeoutSeconds = strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !(timeoutSeconds > 0) || timeoutSeconds > 86400) {
                fprintf(stderr, "kal_request: -t needs a number of seconds above 0, not \"%s\"\n", optarg);
                return 2;
            }
        } else if (opt == 's') {
            socketOverride = optarg;
        } else {
            usage();
            return opt == 'h' ? 0 : 2;
        }
    }
    if (argc - optind > 1) {
        usage();
        return 2;
    }

    size_t requestLength = 0;
    char *request = takeRequest(optind < argc ? argv[optind] : NULL, &requestLength);
    if (request == NULL)
        return 2;
    char path[sizeof(((struct sockaddr_un *)NULL)->sun_path)];
    if (socketPath(socketOverride, path, sizeof(path)) != 0) {
        free(request);
        return 2;
    }

    char *reply = (char *)malloc(kMaxReplyBytes);
    if (reply == NULL) {
        free(request);
        return 1;
    }
    // The server answers the sender's address: an automatic abstract one,
    // which needs no file and vanishes with the process.
    size_t n = 0;
    char why[512];
    memset(why, 0, sizeof(why));
    RequestStatus status = requestOnce(path, request, requestLength, (long long)(timeoutSeconds * 1000.0), reply,
                                       kMaxReplyBytes, &n, why, sizeof(why));
    free(request);
    if (status != REQUEST_OK) {
        if (status == REQUEST_NO_SERVER)
            fprintf(stderr, "kal_request: no server is listening on %s\n", path);
        else
            fprintf(stderr, "kal_request: %s\n", why);
        free(reply);
        return 1;
    }
    fwrite(reply, 1, n, stdout);
    if (isatty(STDOUT_FILENO))
        fputc('\n', stdout);
    free(reply);
    return fflush(stdout) == 0 ? 0 : 1;
}
