// kal_http: development HTTP server in front of kal_server, for building the
// web front end in a browser against the simulated device.
//
//   kal_http [--listen HOST:PORT] [--www DIR] [--examples DIR]
//
//   POST /api        the body, sent as one request datagram; answers the reply
//   GET  /sim        the simulated device's controls, as JSON
//   POST /sim        {"args":["battery","15","--charging"]}: runs a control
//   GET  /examples   the example request of every module's actions
//   anything else    the front end's files (the built-in console by default)
//
// Listens on loopback unless asked. With port 0 the system picks a free
// port; the first line printed names the address in use.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <cjson/cJSON.h>
#include <httplib.h>

#include "platform/device_paths.h"
#include "sim/controls/device_controls.h"
#include "tools/request_client.h"
#include "tools/request_examples.h"

#ifndef KAL_CONSOLE_DIR
#define KAL_CONSOLE_DIR "/usr/share/kal-server/console"
#endif
#ifndef KAL_EXAMPLES_DIR
#define KAL_EXAMPLES_DIR "/usr/share/kal-server/examples"
#endif

namespace {

const char kDefaultListen[] = "127.0.0.1:8080";
const size_t kMaxRequestBytes = 40959;   // what the server reads of one datagram
const int kReplyTimeoutMs = 5000;
const size_t kMaxControlWords = 8;
// Workers: a browser keeps several connections open per tab.
const size_t kWorkers = 32;
const time_t kKeepAliveSeconds = 2;
const char kJsonType[] = "application/json";

void usage(FILE *out)
{
    fprintf(out,
            "usage: kal_http [--listen HOST:PORT] [--www DIR] [--examples DIR]\n"
            "  serves the device console (or the front end's own files in DIR) and forwards\n"
            "  POST /api to the kal_server socket under $KAL_ROOT; default %s\n",
            kDefaultListen);
}

// Request text quoted in an error: printable ASCII only, at most 100 bytes,
// so the error stays one valid line whatever the request held.
std::string printable(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size() && out.size() < 100; i++)
        out += text[i] >= 0x20 && text[i] < 0x7f ? text[i] : '?';
    return out;
}

// A one-line JSON error body.
void fail(httplib::Response &res, int status, const std::string &why)
{
    cJSON *body = cJSON_CreateObject();
    cJSON_AddStringToObject(body, "error", why.c_str());
    char *text = cJSON_PrintUnformatted(body);
    res.status = status;
    res.set_content(text != NULL ? std::string(text) + "\n" : std::string("{\"error\":\"out of memory\"}\n"), kJsonType);
    cJSON_free(text);
    cJSON_Delete(body);
}

// Sends request as one datagram from an address of its own (each browser
// request its own, so a reply can only reach the request it answers) and
// waits for the reply. Returns 200 with the reply, or an HTTP status and why.
int forward(const char *socketPath, const std::string &request, std::string *reply, std::string *why)
{
    std::string buffer(kMaxReplyBytes, '\0');
    size_t length = 0;
    char text[512];
    memset(text, 0, sizeof(text));
    switch (requestOnce(socketPath, request.data(), request.size(), kReplyTimeoutMs, &buffer[0], buffer.size(),
                        &length, text, sizeof(text))) {
    case REQUEST_OK:
        reply->assign(buffer.data(), length);
        return 200;
    case REQUEST_NO_SERVER:
        *why = std::string("no kal_server is listening on ") + socketPath;
        return 503;
    case REQUEST_TIMEOUT:
        *why = text;
        return 504;
    case REQUEST_LOCAL_ERROR:
        *why = text;
        return 500;
    default:
        *why = text;
        return 502;
    }
}

void handleApi(const char *socketPath, const httplib::Request &req, httplib::Response &res)
{
    if (req.body.size() > kMaxRequestBytes) {
        fail(res, 413, "the request is larger than one datagram (" + std::to_string(kMaxRequestBytes) + " bytes)");
        return;
    }
    if (req.body.empty()) {
        fail(res, 400, "the request body is empty: send one JSON request");
        return;
    }
    std::string reply, why;
    int status = forward(socketPath, req.body, &reply, &why);
    if (status != 200) {
        fprintf(stderr, "kal_http: POST /api: %s\n", why.c_str());
        fail(res, status, why);
        return;
    }
    res.status = 200;
    res.set_content(reply, kJsonType);
}

void handleShow(httplib::Response &res)
{
    char message[512];
    // The controls hold the device's lock, which also keeps this server's
    // workers to one control at a time.
    char *state = deviceControlsShow(message, sizeof(message));
    if (state == NULL) {
        fail(res, 500, message);
        return;
    }
    res.set_content(state, kJsonType);
    free(state);
}

// POST /sim: {"args":[word, ...]}, the words of one kal_sim command.
void handleControl(const httplib::Request &req, httplib::Response &res)
{
    cJSON *body = cJSON_ParseWithLength(req.body.data(), req.body.size());
    const cJSON *args = cJSON_GetObjectItemCaseSensitive(body, "args");
    const char *words[kMaxControlWords];
    memset(words, 0, sizeof(words));
    int count = 0;
    bool ok = cJSON_IsArray(args) && cJSON_GetArraySize(args) >= 1 &&
              cJSON_GetArraySize(args) <= (int)kMaxControlWords;
    for (const cJSON *word = ok ? args->child : nullptr; word != nullptr; word = word->next) {
        if (!cJSON_IsString(word)) {
            ok = false;
            break;
        }
        words[count++] = word->valuestring;
    }
    if (!ok) {
        cJSON_Delete(body);
        fail(res, 400, "send {\"args\":[\"battery\",\"15\"]}: one to " + std::to_string(kMaxControlWords) +
                           " words of a kal_sim command");
        return;
    }
    char message[512];
    int rc = deviceControl(count, words, message, sizeof(message));
    cJSON_Delete(body);
    if (rc != CONTROL_OK) {
        fail(res, rc == CONTROL_REFUSED ? 400 : 500, message);
        return;
    }
    cJSON *out = cJSON_CreateObject();
    cJSON_AddStringToObject(out, "message", message);
    char *text = cJSON_PrintUnformatted(out);
    res.set_content(text != NULL ? text : "{}", kJsonType);
    cJSON_free(text);
    cJSON_Delete(out);
}

void handleExamples(const char *dir, httplib::Response &res)
{
    char message[512];
    cJSON *list = loadRequestExamples(dir, message, sizeof(message));
    if (list == NULL) {
        fail(res, 500, message);
        return;
    }
    char *text = cJSON_PrintUnformatted(list);
    cJSON_Delete(list);
    if (text == NULL) {
        fail(res, 500, "out of memory");
        return;
    }
    res.set_content(text, kJsonType);
    cJSON_free(text);
}

// A page of another site may send POST requests here too (a browser does
// not ask first for a plain form post): only the pages served here may.
bool foreignOrigin(const httplib::Request &req)
{
    if (!req.has_header("Origin"))
        return false;  // not sent by a page: curl, tests, the device's own tools
    return req.get_header_value("Origin") != "http://" + req.get_header_value("Host");
}

bool isDir(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// HOST:PORT, the port 0 to 65535.
bool parseListen(const char *text, std::string *host, int *port)
{
    const char *colon = strrchr(text, ':');
    if (colon == NULL || colon == text)
        return false;
    char *end = NULL;
    errno = 0;
    long value = strtol(colon + 1, &end, 10);
    if (errno != 0 || end == colon + 1 || *end != '\0' || value < 0 || value > 65535)
        return false;
    host->assign(text, (size_t)(colon - text));
    *port = (int)value;
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *listenText = kDefaultListen;
    const char *www = KAL_CONSOLE_DIR;
    const char *examples = KAL_EXAMPLES_DIR;
    for (int i = 1; i < argc; i++) {
        bool hasValue = i + 1 < argc;
        if (strcmp(argv[i], "--listen") == 0 && hasValue) {
            listenText = argv[++i];
        } else if (strcmp(argv[i], "--www") == 0 && hasValue) {
            www = argv[++i];
        } else if (strcmp(argv[i], "--examples") == 0 && hasValue) {
            examples = argv[++i];
        } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }
    std::string host;
    int port = 0;
    if (!parseListen(listenText, &host, &port)) {
        fprintf(stderr, "kal_http: --listen needs HOST:PORT with a port from 0 to 65535, not \"%s\"\n", listenText);
        return 2;
    }
    if (!isDir(www)) {
        fprintf(stderr, "kal_http: --www: %s is not a directory\n", www);
        return 2;
    }
    if (kalPathInit() != 0)
        return 2;
    static char socketPath[sizeof(((struct sockaddr_un *)0)->sun_path)];
    memset(socketPath, 0, sizeof(socketPath));
    if (kalPath(socketPath, sizeof(socketPath), KAL_SERVER_SOCKET_PATH) != 0) {
        fprintf(stderr, "kal_http: socket path %s%s does not fit a UNIX socket address\n", kalRoot(),
                KAL_SERVER_SOCKET_PATH);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    server.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        if (req.method == "POST" && foreignOrigin(req)) {
            fail(res, 403, "POST from a page of another origin (" + printable(req.get_header_value("Origin")) + ") refused");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    // Larger bodies are refused before they are read whole.
    server.set_payload_max_length(kMaxRequestBytes);
    server.set_post_routing_handler([](const httplib::Request &, httplib::Response &res) {
        // Pages under development change all the time.
        res.set_header("Cache-Control", "no-store");
    });
    server.Post("/api", [](const httplib::Request &req, httplib::Response &res) { handleApi(socketPath, req, res); });
    server.Get("/sim", [](const httplib::Request &, httplib::Response &res) { handleShow(res); });
    server.Post("/sim", [](const httplib::Request &req, httplib::Response &res) { handleControl(req, res); });
    server.Get("/examples",
               [examples](const httplib::Request &, httplib::Response &res) { handleExamples(examples, res); });
    if (!server.set_mount_point("/", www)) {
        fprintf(stderr, "kal_http: cannot serve %s\n", www);
        return 1;
    }
    server.set_error_handler([](const httplib::Request &req, httplib::Response &res) {
        if (res.status == 413)
            fail(res, 413, "the request is larger than one datagram (" + std::to_string(kMaxRequestBytes) + " bytes)");
        else if (res.body.empty())
            fail(res, res.status, "nothing at " + printable(req.method + " " + req.path));
    });

    int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        fprintf(stderr, "kal_http: cannot listen on %s: %s\n", listenText,
                errno != 0 ? strerror(errno) : "address not usable");
        return 1;
    }
    printf("kal_http: listening on http://%s:%d/ (front end %s, server socket %s)\n", host.c_str(), bound, www, socketPath);
    fflush(stdout);
    if (!server.listen_after_bind()) {
        fprintf(stderr, "kal_http: the server stopped: cannot accept connections\n");
        return 1;
    }
    return 0;
}
