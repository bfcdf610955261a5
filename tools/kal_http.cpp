// kal_http: development HTTP server in front of kal_server, for building the
// web front end in a browser against the simulated device.
//
//   kal_http [--listen HOST:PORT] [--www DIR] [--examples DIR] [--timeout MS]
//            [--allow-origin ORIGIN]... [--allow-host NAME]... [--quiet] [--no-log]
//
//   POST /api        the body, sent as one request datagram; answers the reply
//   GET  /sim        the simulated device's controls and the relay's faults, as JSON
//   POST /sim        {"args":["battery","15","--charging"]}: runs a control
//                    ({"args":["delay","flowstat.0","800"]}: a fault of the relay's own)
//   GET  /log        the last /api requests and their replies (?since=N: after number N)
//   GET  /log.har    the same as HAR 1.2
//   GET  /examples   the example request of every module's actions
//   GET  /api/schema, /api/reply-schema   the request and reply schemas
//   GET  /_console/  the built-in console, whatever --www serves
//   anything else    the front end's files (the built-in console by default)
//
// Listens on loopback unless asked. With port 0 the system picks a free
// port; the first line printed names the address in use.
//
// Only the pages served here, and the origins named with --allow-origin,
// may drive it: a request must name this relay in its Host header (so a
// name of another site that rebinds to 127.0.0.1 gets nothing), and a
// state-changing request sent by a page must come from one of those
// origins.
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <cjson/cJSON.h>
#include <httplib.h>

#include "common/clock.h"
#include "common/device_paths.h"
#include "common/integer_reader.h"
#include "common/request_client.h"
#include "sim/controls/control_support.h"
#include "sim/controls/device_controls.h"
#include "tools/header_deadline.h"
#include "tools/relay_faults.h"
#include "tools/relay_log.h"
#include "tools/request_examples.h"

#ifndef KAL_CONSOLE_DIR
#define KAL_CONSOLE_DIR "/usr/share/kal-server/console"
#endif
#ifndef KAL_SCHEMA_FILE
#define KAL_SCHEMA_FILE "/usr/share/kal-server/kal-api.request.schema.json"
#endif
#ifndef KAL_REPLY_SCHEMA_FILE
#define KAL_REPLY_SCHEMA_FILE "/usr/share/kal-server/kal-api.reply.schema.json"
#endif
#ifndef KAL_EXAMPLES_DIR
#define KAL_EXAMPLES_DIR "/usr/share/kal-server/examples"
#endif

namespace {

const char kDefaultListen[] = "127.0.0.1:8080";
const size_t kMaxRequestBytes = 40959;   // what the server reads of one datagram
// How long a relay waits for the server's reply (--timeout).
const long kDefaultReplyTimeoutMs = 5000;
const long kMaxReplyTimeoutMs = 600000;
long g_replyTimeoutMs = kDefaultReplyTimeoutMs;
// The highest ?since= of GET /log.
const long long kMaxLogSeq = 1000000000000000LL;
const size_t kMaxControlWords = 8;
// Workers: a browser keeps several connections open per tab, relays may
// wait out a stalled server, and clients that send slowly each hold one
// until their deadline: enough that hundreds of those leave room.
const size_t kWorkers = 512;
const time_t kKeepAliveSeconds = 2;
const char kJsonType[] = "application/json";
// The built-in console is also served here, beside pages of --www.
const char kConsoleMount[] = "/_console/";

// Hosts a browser may name in Host besides those given with --allow-host,
// each followed by the relay's port.
const char *const kLoopbackHosts[] = {"127.0.0.1", "[::1]", "localhost"};
// Paths that pages of an allowed origin may reach across origins.
const char *const kCorsPaths[] = {"/api", "/api/schema", "/api/reply-schema", "/log", "/log.har"};
// Paths that hold what pages sent: read, like a POST, only by trusted origins.
const char *const kLogPaths[] = {"/log", "/log.har"};
const int kCorsMaxAgeSeconds = 600;

// Who may drive the relay: fixed before the first request is served.
struct Access {
    int port = 0;
    std::string listenHost;                   // --listen's host, when it names one
    std::vector<std::string> allowedHosts;    // --allow-host
    std::vector<std::string> allowedOrigins;  // --allow-origin
};
Access g_access;

// For the access log: when the request a worker is answering arrived, and
// for /api the module and action it asked for.
thread_local long long t_requestStartMs = 0;
thread_local std::string t_requestWhat;
thread_local long long t_requestStartWallMs = 0;
bool g_quiet = false;  // --quiet: no access log
bool g_keepLog = true;  // --no-log: no request log

// The /api request a worker is answering, for the request log: set when
// it passes the guards, its body and what it asks once its body is read.
struct ApiRequest {
    bool active = false;
    std::string body;
    std::string module;
    bool hasAction = false;
    long long action = 0;
    // The reply as the handler made it: by the time it is logged the
    // library may have compressed it for the client.
    bool replyKept = false;
    std::string reply;
    bool logged = false;  // its request log entry is kept
};
thread_local ApiRequest t_api;

void keepReply(const httplib::Response &res)
{
    if (!t_api.active)
        return;
    t_api.replyKept = true;
    t_api.reply = res.body;
}

void usage(FILE *out)
{
    fprintf(out,
            "usage: kal_http [--listen HOST:PORT] [--www DIR] [--examples DIR] [--timeout MS]\n"
            "                [--allow-origin ORIGIN]... [--allow-host NAME]... [--quiet] [--no-log]\n"
            "  serves the device console (or the front end's own files in DIR) and forwards\n"
            "  POST /api to the kal_server socket under $KAL_ROOT; default %s\n"
            "  --timeout MS                          how long a relay waits for the server's reply\n"
            "                                        (1-%ld ms, default %ld)\n"
            "  --allow-origin http://localhost:5173  pages of that origin (a dev server) may use /api\n"
            "  --allow-host NAME                     requests may name this relay NAME in Host\n"
            "  --quiet                               no access log (one line per request on standard error)\n"
            "  --scenarios DIR                       the shipped scenarios (default: $KAL_SCENARIOS, or beside kal_http)\n"
            "  --no-log                              no request log: GET /log and /log.har answer 404\n",
            kDefaultListen, kMaxReplyTimeoutMs, kDefaultReplyTimeoutMs);
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
    switch (requestOnce(socketPath, request.data(), request.size(), g_replyTimeoutMs, &buffer[0], buffer.size(),
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

void failTooLarge(httplib::Response &res)
{
    fail(res, 413, "the request is larger than one datagram (" + std::to_string(kMaxRequestBytes) + " bytes)");
}

void sleepForMs(long long ms)
{
    long long until = monotonicMs() + ms;
    for (long long left = ms; left > 0; left = until - monotonicMs()) {
        struct timespec ts;
        memset(&ts, 0, sizeof(ts));
        ts.tv_sec = (time_t)(left / 1000);
        ts.tv_nsec = (long)(left % 1000) * 1000000L;
        nanosleep(&ts, NULL);
    }
}

// "module.N" (or "module") of what a request asks, for messages.
std::string targetOf(const ApiRequest &api)
{
    return printable(api.module) + (api.hasAction ? "." + std::to_string(api.action) : "");
}

// Its body has been read whole (withBody), so it fits one datagram. A
// fault of the relay's own may answer instead of the server, hold the
// answer back, or drop the reply.
void handleApi(const char *socketPath, const httplib::Request &req, httplib::Response &res)
{
    if (req.body.empty()) {
        fail(res, 400, "the request body is empty: send one JSON request");
        return;
    }
    RelayFault fault;
    memset(&fault, 0, sizeof(fault));
    if (!t_api.module.empty())
        relayFaultFor(t_api.module.c_str(), t_api.hasAction, (long)t_api.action, &fault);
    long long started = monotonicMs();
    std::string reply, why;
    int status = 0;
    if (fault.status != 0) {
        status = fault.status;
        why = "the relay answers " + std::to_string(status) + " to " + targetOf(t_api) +
              " (an error fault: relay clear ends it)";
    } else {
        status = forward(socketPath, req.body, &reply, &why);
    }
    if (fault.drop) {
        // As a reply that never comes: the relay's whole wait, then 504.
        sleepForMs(started + g_replyTimeoutMs - monotonicMs());
        status = 504;
        char text[160];
        memset(text, 0, sizeof(text));
        snprintf(text, sizeof(text), "no reply within %g s: the relay drops the replies to %s (a drop fault: relay clear ends it)",
                 (double)g_replyTimeoutMs / 1000.0, targetOf(t_api).c_str());
        why = text;
    }
    if (fault.delayMs > 0)
        sleepForMs(fault.delayMs);
    if (status != 200) {
        fprintf(stderr, "kal_http: POST /api: %s\n", why.c_str());
        fail(res, status, why);
        return;
    }
    res.status = 200;
    res.set_content(reply, kJsonType);
}

// Whether the request schema names a module: a relay fault of another
// module's would never match. Any module when the schema cannot be read.
bool knownModule(const char *module)
{
    std::ifstream in(KAL_SCHEMA_FILE, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    cJSON *schema = cJSON_ParseWithLength(text.str().data(), text.str().size());
    const cJSON *defs = cJSON_GetObjectItemCaseSensitive(schema, "$defs");
    bool known = !cJSON_IsObject(defs);
    std::string prefix = std::string(module) + ".";
    for (const cJSON *def = cJSON_IsObject(defs) ? defs->child : nullptr; def != nullptr && !known; def = def->next)
        known = def->string != NULL && strncmp(def->string, prefix.c_str(), prefix.size()) == 0;
    cJSON_Delete(schema);
    return known;
}

// The device's controls, as kal_sim show prints them, and the relay's own
// faults and timeout under "relay".
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
    cJSON *shown = cJSON_Parse(state);
    free(state);
    if (!cJSON_IsObject(shown)) {
        cJSON_Delete(shown);
        fail(res, 500, "the device's controls are not a JSON object");
        return;
    }
    cJSON *relay = cJSON_AddObjectToObject(shown, "relay");
    cJSON_AddNumberToObject(relay, "timeoutMs", (double)g_replyTimeoutMs);
    relayFaultsShow(relay, "faults");
    char *text = cJSON_Print(shown);
    cJSON_Delete(shown);
    if (text == NULL) {
        fail(res, 500, "out of memory");
        return;
    }
    res.set_content(text, kJsonType);
    cJSON_free(text);
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
    // "show" is no row of the control table: kal_sim prints it itself.
    if (count == 1 && strcmp(words[0], "show") == 0) {
        cJSON_Delete(body);
        handleShow(res);
        return;
    }
    char message[2048];
    memset(message, 0, sizeof(message));
    int rc = relayFaultWord(words[0]) ? relayFaultControl(count, words, knownModule, message, sizeof(message))
                                      : deviceControl(count, words, message, sizeof(message));
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

// A schema, read at each request: a refreshed file is served without a
// restart.
void handleSchema(httplib::Response &res, const char *file, const char *what)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in || text.str().empty()) {
        fail(res, 500, std::string("the ") + what + " cannot be read at " + file);
        return;
    }
    res.set_content(text.str(), kJsonType);
}

// GET /log and /log.har: ?since=N, the entries numbered above N.
void handleLog(const httplib::Request &req, httplib::Response &res, bool har)
{
    if (!g_keepLog) {
        fail(res, 404, "the request log is off (kal_http --no-log)");
        return;
    }
    long long since = 0;
    size_t given = req.get_param_value_count("since");
    if (given > 0) {
        std::string text = req.get_param_value("since");
        char *end = NULL;
        errno = 0;
        long long value = text.empty() || text[0] < '0' || text[0] > '9' ? -1 : strtoll(text.c_str(), &end, 10);
        if (given > 1 || errno != 0 || end == NULL || *end != '\0' || value < 0 || value > kMaxLogSeq) {
            fail(res, 400, "since needs one number from 0 to " + std::to_string(kMaxLogSeq) + ", not \"" +
                               printable(text) + "\"");
            return;
        }
        since = value;
    }
    res.set_content(har ? relayLogHar(since) : relayLogJson(since), kJsonType);
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

bool equalsIgnoringCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool contains(const std::vector<std::string> &list, const std::string &value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

// Whether Host names this relay: a loopback name or --listen's host with
// the relay's port (or none on port 80), or a name given with --allow-host
// (with any port). Any other name reached us through a resolver an
// attacker may control.
bool knownHost(const std::string &host)
{
    size_t colon = host.rfind(':');
    bool hasPort = colon != std::string::npos && host.find(']', colon) == std::string::npos;
    std::string name = hasPort ? host.substr(0, colon) : host;
    std::string port = hasPort ? host.substr(colon + 1) : std::string();
    for (const std::string &allowed : g_access.allowedHosts) {
        if (equalsIgnoringCase(name, allowed) &&
            (!hasPort || (!port.empty() && port.find_first_not_of("0123456789") == std::string::npos)))
            return true;
    }
    bool portMatches = hasPort ? port == std::to_string(g_access.port) : g_access.port == 80;
    if (!portMatches)
        return false;
    for (const char *loopback : kLoopbackHosts) {
        if (equalsIgnoringCase(name, loopback))
            return true;
    }
    return !g_access.listenHost.empty() && equalsIgnoringCase(name, g_access.listenHost);
}

// "scheme://authority" of a URL, or empty when it has none.
std::string originOf(const std::string &url)
{
    size_t scheme = url.find("://");
    if (scheme == std::string::npos || scheme == 0)
        return "";
    size_t end = url.find_first_of("/?#", scheme + 3);
    return url.substr(0, end);
}

// Whether a page of origin may drive the relay: one served here (the
// origin the browser reached us by) or one given with --allow-origin.
bool trustedOrigin(const httplib::Request &req, const std::string &origin)
{
    return origin == "http://" + req.get_header_value("Host") || contains(g_access.allowedOrigins, origin);
}

// Why a request may not go on, or empty when it may. Every request must name
// the relay in Host; one that changes something and comes from a page must
// come from a trusted origin. A request from neither a page nor a link (a
// command-line client sends neither Origin nor Referer) may.
std::string refusal(const httplib::Request &req)
{
    if (req.get_header_value_count("Host") != 1)
        return "a request must carry one Host header";
    if (!knownHost(req.get_header_value("Host")))
        return "Host " + printable(req.get_header_value("Host")) +
               " does not name this relay (start it with --allow-host NAME to use another name)";
    if (req.get_header_value_count("Content-Length") > 1) {
        for (size_t i = 1; i < req.get_header_value_count("Content-Length"); i++) {
            if (req.get_header_value("Content-Length", i) != req.get_header_value("Content-Length"))
                return "conflicting Content-Length headers";
        }
    }
    if (req.has_header("Content-Length") && req.has_header("Transfer-Encoding"))
        return "both Content-Length and Transfer-Encoding";
    bool logPath = false;
    for (const char *path : kLogPaths)
        logPath = logPath || req.path == path;
    if (req.method != "POST" && !logPath)
        return "";
    size_t origins = req.get_header_value_count("Origin");
    if (origins > 1)
        return "more than one Origin header";
    if (origins == 0 && emptyHeaderSent("Origin"))
        return "an empty Origin header: no page of any origin";
    if (origins == 1) {
        std::string origin = req.get_header_value("Origin");
        if (trustedOrigin(req, origin))
            return "";
        return printable(req.method) + " from a page of another origin (" + printable(origin) +
               ") refused; start kal_http with --allow-origin ORIGIN to allow it";
    }
    size_t referers = req.get_header_value_count("Referer");
    if (referers == 0)
        return "";
    std::string origin = originOf(req.get_header_value("Referer"));
    if (referers == 1 && !origin.empty() && trustedOrigin(req, origin))
        return "";
    return printable(req.method) + " from a page of another origin (Referer " +
           printable(req.get_header_value("Referer")) + ") refused";
}

// The status a refusal answers: malformed framing is a bad request.
int refusalStatus(const std::string &why)
{
    return why.find("Content-Length") != std::string::npos ? 400 : 403;
}

bool corsPath(const std::string &path)
{
    for (const char *p : kCorsPaths) {
        if (path == p)
            return true;
    }
    return false;
}

// Grants a page of an allowed origin the reply of a cross-origin request.
void grantCors(const httplib::Request &req, httplib::Response &res)
{
    if (!corsPath(req.path) || req.get_header_value_count("Origin") != 1 ||
        res.has_header("Access-Control-Allow-Origin"))
        return;
    std::string origin = req.get_header_value("Origin");
    if (!contains(g_access.allowedOrigins, origin))
        return;
    res.set_header("Access-Control-Allow-Origin", origin);
    res.set_header("Vary", "Origin");
}

// OPTIONS: the browser asks before a cross-origin POST of JSON. Only the
// origins given with --allow-origin get a grant.
void handlePreflight(const httplib::Request &req, httplib::Response &res)
{
    std::string origin = req.get_header_value("Origin");
    if (!corsPath(req.path)) {
        fail(res, 404, "nothing at " + printable(req.method + " " + req.path));
        return;
    }
    if (req.get_header_value_count("Origin") != 1 || !contains(g_access.allowedOrigins, origin)) {
        fail(res, 403, "origin " + printable(origin) + " is not allowed; start kal_http with --allow-origin ORIGIN");
        return;
    }
    res.status = 204;
    res.set_header("Access-Control-Allow-Origin", origin);
    res.set_header("Access-Control-Allow-Methods", req.path == "/api" ? "POST, OPTIONS" : "GET, OPTIONS");
    res.set_header("Access-Control-Allow-Headers", "Content-Type");
    res.set_header("Access-Control-Max-Age", std::to_string(kCorsMaxAgeSeconds));
    res.set_header("Vary", "Origin");
}

// Why a static path may not be served, or empty. Files never come from
// outside the served tree: no encoded separator or NUL (which would cut the
// name the file is opened by, not the one its type is guessed from), and
// no symbolic link that leads out. path is req.path within the tree root.
std::string staticRefusal(const httplib::Request &req, const std::string &root, const std::string &path)
{
    std::string raw = req.target.substr(0, req.target.find('?'));
    for (const char *encoded : {"%00", "%2f", "%5c"}) {
        for (size_t i = 0; i + 3 <= raw.size(); i++) {
            if (strncasecmp(raw.c_str() + i, encoded, 3) == 0)
                return "an encoded separator or NUL in the path";
        }
    }
    if (req.path.find('\0') != std::string::npos || req.path.find('\\') != std::string::npos)
        return "a NUL or backslash in the path";
    std::string file = root + path;
    if (!file.empty() && file.back() == '/')
        file += "index.html";
    char resolved[PATH_MAX];
    memset(resolved, 0, sizeof(resolved));
    if (realpath(file.c_str(), resolved) == NULL)
        return "";  // nothing there: the file handler answers 404
    std::string inside(resolved);
    if (inside != root && inside.compare(0, root.size() + 1, root + "/") != 0)
        return "the path leads out of the served directory";
    return "";
}

// Reads a body of at most kMaxRequestBytes, as it arrives. False when it is
// longer (or cannot be read).
bool readBody(const httplib::ContentReader &reader, std::string *body)
{
    body->clear();
    bool fits = true;
    bool read = reader([&](const char *data, size_t length) {
        fits = body->size() + length <= kMaxRequestBytes;
        if (fits)
            body->append(data, length);
        return fits;
    });
    return read && fits;
}

// A POST handler that gets the whole body, read as it comes whatever its
// type (a form-encoded one would otherwise meet a smaller limit than one
// datagram); a longer body is refused before it is read whole.
template <typename Handle>
httplib::Server::HandlerWithContentReader withBody(Handle handle)
{
    return [handle](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader) {
        httplib::Request whole = req;
        if (readBody(reader, &whole.body))
            handle(whole, res);
        else
            failTooLarge(res);
    };
}

// The request log's entry of the /api request just answered.
void keepApiRequest(const httplib::Request &req, const httplib::Response &res)
{
    RelayLogEntry entry;
    entry.startedMs = t_requestStartWallMs;
    entry.ms = monotonicMs() - t_requestStartMs;
    entry.module = t_api.module;
    entry.hasAction = t_api.hasAction;
    entry.action = t_api.action;
    entry.method = req.method;
    size_t query = req.target.find('?');
    entry.url = "http://" + req.get_header_value("Host") + req.target;
    entry.query = query == std::string::npos ? "" : req.target.substr(query + 1);
    entry.requestHeaders = headersAsSent();
    if (!entry.requestHeaders.empty())
        entry.requestHeadersSize = (long long)headBytesKept() + 2;
    entry.requestType = req.get_header_value("Content-Type");
    entry.request = t_api.body;
    entry.status = res.status;
    // The reply as the handler made it, with the headers that go with it
    // uncompressed, so that a replay serves it as it is.
    entry.reply = t_api.replyKept ? t_api.reply : res.body;
    // The size before the library compresses it for the client, if it does.
    entry.replySentSize = (long long)res.body.size();
    for (const auto &h : res.headers) {
        if (!equalsIgnoringCase(h.first, "Content-Encoding") && !equalsIgnoringCase(h.first, "Content-Length"))
            entry.replyHeaders.emplace_back(h.first, h.second);
    }
    entry.replyHeaders.emplace_back("Content-Length", std::to_string(entry.reply.size()));
    entry.replyType = res.get_header_value("Content-Type");
    relayLogAdd(std::move(entry));
}

// The request log's entry, once: from the route when it answers, else (a
// body the library itself refused) from the access log.
void keepApiRequestOnce(const httplib::Request &req, const httplib::Response &res)
{
    if (!t_api.active || t_api.logged || !g_keepLog)
        return;
    t_api.logged = true;
    keepApiRequest(req, res);
}

// One access log line: method, path, status, milliseconds, and for /api the
// module and action asked for. The request log takes /api's here, once
// the reply is whole.
void logAccess(const httplib::Request &req, const httplib::Response &res)
{
    keepApiRequestOnce(req, res);
    t_api.active = false;
    t_api.logged = false;
    awaitNextHeaders();
    if (g_quiet)
        return;
    fprintf(stderr, "kal_http: %s %s %d %lld ms%s\n", printable(req.method).c_str(), printable(req.path).c_str(),
            res.status, monotonicMs() - t_requestStartMs, t_requestWhat.c_str());
}

// What a request text asks, as far as it names it, into api; the access
// log's " MODULE action N".
std::string readRequest(const std::string &body, ApiRequest *api)
{
    api->body = body;
    api->module.clear();
    api->hasAction = false;
    api->action = 0;
    std::string what;
    cJSON *request = cJSON_ParseWithLength(body.data(), body.size());
    const cJSON *module = cJSON_GetObjectItemCaseSensitive(request, "module");
    const cJSON *action = cJSON_GetObjectItemCaseSensitive(request, "action");
    if (cJSON_IsString(module)) {
        api->module = module->valuestring;
        what = " " + printable(module->valuestring);
    }
    // A whole number in range, as the dispatcher takes an action.
    int value = 0;
    if (cJSON_IsNumber(action) && readInteger(action, NON_NUMBER_REFUSED, INT_MIN, INT_MAX, &value)) {
        api->hasAction = true;
        api->action = value;
    }
    if (cJSON_IsNumber(action))
        what += " action " + std::to_string(action->valueint);
    cJSON_Delete(request);
    return what;
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

// What the command line asks for.
struct Options {
    const char *listenText = kDefaultListen;
    const char *www = KAL_CONSOLE_DIR;
    const char *examples = KAL_EXAMPLES_DIR;
    std::string host;  // --listen's
    int port = 0;
};

// Milliseconds of --timeout into g_replyTimeoutMs; false, said why, when out of range.
bool readTimeout(const char *text)
{
    long value = 0;
    if (text[0] < '0' || text[0] > '9' || !parseInt(text, 1, kMaxReplyTimeoutMs, &value)) {
        fprintf(stderr, "kal_http: --timeout needs milliseconds from 1 to %ld, not \"%s\"\n", kMaxReplyTimeoutMs,
                text);
        return false;
    }
    g_replyTimeoutMs = value;
    return true;
}

// --allow-origin's origin into g_access; false, said why, when it is none.
bool readOrigin(const char *text)
{
    std::string origin = text;
    if (originOf(origin) != origin || origin.compare(0, 4, "http") != 0) {
        fprintf(stderr, "kal_http: --allow-origin needs an origin such as http://localhost:5173, not \"%s\"\n",
                origin.c_str());
        return false;
    }
    g_access.allowedOrigins.push_back(origin);
    return true;
}

// The command line into options (and the settings it makes). Returns -1 to
// go on, else the exit status.
int readOptions(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; i++) {
        bool hasValue = i + 1 < argc;
        if (strcmp(argv[i], "--listen") == 0 && hasValue) {
            options->listenText = argv[++i];
        } else if (strcmp(argv[i], "--www") == 0 && hasValue) {
            options->www = argv[++i];
        } else if (strcmp(argv[i], "--examples") == 0 && hasValue) {
            options->examples = argv[++i];
        } else if (strcmp(argv[i], "--scenarios") == 0 && hasValue) {
            char message[PATH_MAX + 64];
            memset(message, 0, sizeof(message));
            if (deviceControlsScenarioDir(argv[++i], message, sizeof(message)) != CONTROL_OK) {
                fprintf(stderr, "kal_http: %s\n", message);
                return 2;
            }
        } else if (strcmp(argv[i], "--allow-origin") == 0 && hasValue) {
            if (!readOrigin(argv[++i]))
                return 2;
        } else if (strcmp(argv[i], "--quiet") == 0) {
            g_quiet = true;
        } else if (strcmp(argv[i], "--no-log") == 0) {
            g_keepLog = false;
        } else if (strcmp(argv[i], "--timeout") == 0 && hasValue) {
            if (!readTimeout(argv[++i]))
                return 2;
        } else if (strcmp(argv[i], "--allow-host") == 0 && hasValue) {
            g_access.allowedHosts.push_back(argv[++i]);
        } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (!parseListen(options->listenText, &options->host, &options->port)) {
        fprintf(stderr, "kal_http: --listen needs HOST:PORT with a port from 0 to 65535, not \"%s\"\n",
                options->listenText);
        return 2;
    }
    return -1;
}

// Where the relay finds what it serves and the server it forwards to,
// fixed before the first request.
struct Roots {
    char www[PATH_MAX];
    char console[PATH_MAX];  // empty when the console is not installed
    char socket[sizeof(((struct sockaddr_un *)0)->sun_path)];
    const char *examples;
};
Roots g_roots;

// The roots of options; false, said why, when one is unusable.
bool findRoots(const Options &options)
{
    memset(&g_roots, 0, sizeof(g_roots));
    g_roots.examples = options.examples;
    if (!isDir(options.www) || realpath(options.www, g_roots.www) == NULL) {
        fprintf(stderr, "kal_http: --www: %s is not a directory\n", options.www);
        return false;
    }
    if (!isDir(KAL_CONSOLE_DIR) || realpath(KAL_CONSOLE_DIR, g_roots.console) == NULL) {
        fprintf(stderr, "kal_http: the console is not installed in %s: nothing at %s\n", KAL_CONSOLE_DIR,
                kConsoleMount);
        g_roots.console[0] = '\0';
    }
    if (kalPathInit() != 0)
        return false;
    if (kalPath(g_roots.socket, sizeof(g_roots.socket), KAL_SERVER_SOCKET_PATH) != 0) {
        fprintf(stderr, "kal_http: socket path %s%s does not fit a UNIX socket address\n", kalRoot(),
                KAL_SERVER_SOCKET_PATH);
        return false;
    }
    return true;
}

// Every request, before its route: the guards, and the routes that must
// win over the mounted trees.
httplib::Server::HandlerResponse preRoute(const httplib::Request &req, httplib::Response &res)
{
    headersArrived();
    t_requestStartMs = monotonicMs();
    struct timeval now;
    memset(&now, 0, sizeof(now));
    gettimeofday(&now, NULL);
    t_requestStartWallMs = (long long)now.tv_sec * 1000 + now.tv_usec / 1000;
    t_requestWhat.clear();
    t_api = ApiRequest();
    std::string why = refusal(req);
    bool dynamic = req.path == "/api" || req.path == "/sim" || req.path == "/examples" ||
                   req.path == "/api/schema" || req.path == "/api/reply-schema" || req.path == "/log" ||
                   req.path == "/log.har";
    t_api.active = why.empty() && req.method == "POST" && req.path == "/api";
    t_api.logged = false;
    if (why.empty() && (req.method == "GET" || req.method == "HEAD") && !dynamic) {
        const size_t inMount = sizeof(kConsoleMount) - 2;  // the path keeps the mount's last '/'
        if (g_roots.console[0] != '\0' && req.path.compare(0, inMount + 1, kConsoleMount) == 0)
            why = staticRefusal(req, g_roots.console, req.path.substr(inMount));
        else
            why = staticRefusal(req, g_roots.www, req.path);
    }
    // Before the mounted trees, which would otherwise serve a file of
    // the same name.
    bool get = req.method == "GET" || req.method == "HEAD";
    if (why.empty() && get && req.path == "/api/schema") {
        handleSchema(res, KAL_SCHEMA_FILE, "request schema");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (why.empty() && get && req.path == "/api/reply-schema") {
        handleSchema(res, KAL_REPLY_SCHEMA_FILE, "reply schema");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (why.empty() && get && (req.path == "/log" || req.path == "/log.har")) {
        handleLog(req, res, req.path == "/log.har");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (why.empty())
        return httplib::Server::HandlerResponse::Unhandled;
    fail(res, refusalStatus(why), why);
    // The body of a refused request is never read: the connection ends
    // here rather than take it for the next request.
    res.set_header("Connection", "close");
    return httplib::Server::HandlerResponse::Handled;
}

// The library's own socket options, and a note of the listening socket:
// its backlog of 5 is raised once it listens, so that a burst of
// connections waits for a worker instead of being dropped.
int g_listening = -1;
void setSocketOptions(int fd)
{
    g_listening = fd;
    httplib::default_socket_options(fd);
    // Inherited by each connection: a reply's headers and body go out
    // as two writes, and a keep-alive client's delayed ACK would
    // otherwise hold the body some 40 ms.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

// The workers, the guards and every route; false, said why, when the
// front end's tree cannot be served.
bool addRoutes(httplib::Server &server, const Options &options)
{
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server.set_socket_options(setSocketOptions);
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    server.set_pre_routing_handler(preRoute);
    // Larger bodies are refused before they are read whole.
    server.set_payload_max_length(kMaxRequestBytes);
    server.set_post_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        // Pages under development change all the time.
        res.set_header("Cache-Control", "no-store");
        grantCors(req, res);
    });
    auto api = withBody([](const httplib::Request &req, httplib::Response &res) {
        t_requestWhat = readRequest(req.body, &t_api);
        handleApi(g_roots.socket, req, res);
        keepReply(res);
    });
    // Logged before the reply goes out, so that a client which has its reply
    // finds it in /log, and entries are numbered in the order of the replies
    // whichever workers serve them.
    server.Post("/api", [api](const httplib::Request &req, httplib::Response &res, const httplib::ContentReader &reader) {
        api(req, res, reader);
        keepApiRequestOnce(req, res);
    });
    server.Options(R"(/.*)", handlePreflight);
    server.set_logger(logAccess);
    server.Get("/sim", [](const httplib::Request &, httplib::Response &res) { handleShow(res); });
    server.Post("/sim", withBody(handleControl));
    server.Get("/examples",
               [](const httplib::Request &, httplib::Response &res) { handleExamples(g_roots.examples, res); });
    // Mounted first: the console's own files win over a --www tree's.
    if (g_roots.console[0] != '\0') {
        server.set_mount_point(kConsoleMount, g_roots.console);
        server.Get(std::string(kConsoleMount, sizeof(kConsoleMount) - 2),
                   [](const httplib::Request &, httplib::Response &res) { res.set_redirect(kConsoleMount); });
    }
    if (!server.set_mount_point("/", options.www)) {
        fprintf(stderr, "kal_http: cannot serve %s\n", options.www);
        return false;
    }
    server.set_error_handler([](const httplib::Request &req, httplib::Response &res) {
        if (res.status == 413)
            failTooLarge(res);
        else if (res.body.empty())
            fail(res, res.status, "nothing at " + printable(req.method + " " + req.path));
        keepReply(res);
    });
    return true;
}

// Binds, names the address in use on the first line, and serves until the
// library stops. Returns the exit status.
int serve(httplib::Server &server, const Options &options)
{
    const std::string &host = options.host;
    int port = options.port;
    int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        fprintf(stderr, "kal_http: cannot listen on %s: %s\n", options.listenText,
                errno != 0 ? strerror(errno) : "address not usable");
        return 1;
    }
    g_access.port = bound;
    if (g_listening >= 0)
        listen(g_listening, SOMAXCONN);
    // A wildcard address is no name a browser uses.
    if (host != "0.0.0.0" && host != "::" && host != "[::]")
        g_access.listenHost = host;
    printf("kal_http: listening on http://%s:%d/ (front end %s, server socket %s)\n", host.c_str(), bound,
           options.www, g_roots.socket);
    fflush(stdout);
    if (!server.listen_after_bind()) {
        fprintf(stderr, "kal_http: the server stopped: cannot accept connections\n");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    int status = readOptions(argc, argv, &options);
    if (status >= 0)
        return status;
    if (!findRoots(options))
        return 2;
    signal(SIGPIPE, SIG_IGN);
    // POST /sim may start a shipped scenario, played by a thread of this server.
    deviceControlsAllowBackground();
    httplib::Server server;
    if (!addRoutes(server, options))
        return 1;
    return serve(server, options);
}
