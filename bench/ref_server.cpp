// Reference server for the benchmarks: the least a server of this protocol
// can do per request (receive, parse, build and print a reply, send), with
// no module work. kal_server's figures are reported as a ratio to it.
//
//   kal_ref_server SOCKET
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cjson/cJSON.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fputs("usage: kal_ref_server SOCKET\n", stderr);
        return 2;
    }
    struct sockaddr_un address;
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (strlen(argv[1]) >= sizeof(address.sun_path)) {
        fprintf(stderr, "kal_ref_server: socket path too long: %s\n", argv[1]);
        return 1;
    }
    strncpy(address.sun_path, argv[1], sizeof(address.sun_path) - 1);
    unlink(argv[1]);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, (struct sockaddr *)&address, sizeof(address)) != 0) {
        fprintf(stderr, "kal_ref_server: cannot bind %s\n", argv[1]);
        return 1;
    }
    static char buffer[40960];
    for (;;) {
        struct sockaddr_storage from;
        socklen_t fromLength = sizeof(from);
        memset(buffer, 0, sizeof(buffer));
        ssize_t n = recvfrom(fd, buffer, sizeof(buffer) - 1, 0, (struct sockaddr *)&from, &fromLength);
        if (n <= 0)
            continue;
        cJSON *request = cJSON_Parse(buffer);
        cJSON *response = cJSON_CreateObject();
        cJSON_AddItemToObject(response, "result", cJSON_CreateNumber(request != NULL ? 0 : -10));
        char *text = cJSON_Print(response);
        if (text != NULL) {
            sendto(fd, text, strlen(text), 0, (struct sockaddr *)&from, fromLength);
            cJSON_free(text);
        }
        cJSON_Delete(request);
        cJSON_Delete(response);
    }
}
