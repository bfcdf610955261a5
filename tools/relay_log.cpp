#include "tools/relay_log.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <mutex>

#include <cjson/cJSON.h>
#include <openssl/evp.h>

#include "common/text.h"

namespace {

const char kHarVersion[] = "1.2";
const char kCreatorName[] = "kal_http";
const char kCreatorVersion[] = "1";
const char kHttpVersion[] = "HTTP/1.1";

typedef std::shared_ptr<const RelayLogEntry> EntryPtr;

std::mutex g_mutex;
std::vector<EntryPtr> g_ring;  // kRelayLogSize at most; g_next is where the next one goes once full
size_t g_next = 0;
long long g_seq = 0;

// The entries numbered above since, oldest first, with the latest number.
std::vector<EntryPtr> entriesSince(long long since, long long *latest)
{
    std::vector<EntryPtr> out;
    std::lock_guard<std::mutex> hold(g_mutex);
    *latest = g_seq;
    size_t count = g_ring.size();
    size_t oldest = count < kRelayLogSize ? 0 : g_next;
    for (size_t i = 0; i < count; i++) {
        const EntryPtr &entry = g_ring[(oldest + i) % count];
        if (entry->seq > since)
            out.push_back(entry);
    }
    return out;
}

// Standard base64 with padding, by OpenSSL's encoder.
std::string base64(const std::string &in)
{
    std::string out(4 * ((in.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock((unsigned char *)&out[0], (const unsigned char *)in.data(), (int)in.size());
    out.resize(n > 0 ? (size_t)n : 0);
    return out;
}

// Whether bytes can stand in a JSON string as they are: UTF-8 without NUL.
bool isText(const std::string &bytes)
{
    return memchr(bytes.data(), '\0', bytes.size()) == NULL && isUtf8(bytes.c_str());
}

// Adds bytes as member name: as text, or base64 with encodingName set to
// "base64" when they are not UTF-8.
void addBytes(cJSON *object, const char *name, const std::string &bytes, const char *encodingName)
{
    if (isText(bytes)) {
        cJSON_AddStringToObject(object, name, bytes.c_str());
        return;
    }
    cJSON_AddStringToObject(object, name, base64(bytes).c_str());
    cJSON_AddStringToObject(object, encodingName, "base64");
}

// 2026-12-09T01:02:03.456Z
std::string isoTime(long long epochMs)
{
    time_t seconds = (time_t)(epochMs / 1000);
    struct tm utc;
    memset(&utc, 0, sizeof(utc));
    gmtime_r(&seconds, &utc);
    char text[80];
    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, (int)(epochMs % 1000));
    return text;
}

const char *statusText(int status)
{
    static const struct {
        int status;
        const char *text;
    } kTexts[] = {
        {200, "OK"},          {400, "Bad Request"},          {401, "Unauthorized"},          {403, "Forbidden"},
        {404, "Not Found"},   {408, "Request Timeout"},      {413, "Payload Too Large"},     {429, "Too Many Requests"},
        {500, "Internal Server Error"}, {502, "Bad Gateway"}, {503, "Service Unavailable"}, {504, "Gateway Timeout"},
    };
    for (const auto &t : kTexts)
        if (t.status == status)
            return t.text;
    return "";
}

cJSON *headerList(const std::vector<std::pair<std::string, std::string>> &headers)
{
    cJSON *list = cJSON_CreateArray();
    for (const auto &h : headers) {
        cJSON *item = cJSON_CreateObject();
        addBytes(item, "name", h.first, "_nameEncoding");
        addBytes(item, "value", h.second, "_valueEncoding");
        cJSON_AddItemToArray(list, item);
    }
    return list;
}

// name=value pairs of a query string, as they are (still encoded).
cJSON *queryList(const std::string &query)
{
    cJSON *list = cJSON_CreateArray();
    size_t at = 0;
    while (at < query.size()) {
        size_t end = query.find('&', at);
        std::string pair = query.substr(at, end == std::string::npos ? std::string::npos : end - at);
        size_t equals = pair.find('=');
        cJSON *item = cJSON_CreateObject();
        addBytes(item, "name", pair.substr(0, equals), "_nameEncoding");
        addBytes(item, "value", equals == std::string::npos ? "" : pair.substr(equals + 1), "_valueEncoding");
        cJSON_AddItemToArray(list, item);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return list;
}

void addWhat(cJSON *object, const char *moduleName, const char *actionName, const RelayLogEntry &e)
{
    if (e.module.empty())
        cJSON_AddNullToObject(object, moduleName);
    else
        cJSON_AddStringToObject(object, moduleName, e.module.c_str());
    if (e.hasAction)
        cJSON_AddNumberToObject(object, actionName, (double)e.action);
    else
        cJSON_AddNullToObject(object, actionName);
}

cJSON *harEntry(const RelayLogEntry &e)
{
    cJSON *entry = cJSON_CreateObject();
    cJSON_AddStringToObject(entry, "startedDateTime", isoTime(e.startedMs).c_str());
    cJSON_AddNumberToObject(entry, "time", (double)e.ms);

    cJSON *request = cJSON_AddObjectToObject(entry, "request");
    cJSON_AddStringToObject(request, "method", e.method.c_str());
    addBytes(request, "url", e.url, "_urlEncoding");
    cJSON_AddStringToObject(request, "httpVersion", kHttpVersion);
    cJSON_AddItemToObject(request, "headers", headerList(e.requestHeaders));
    cJSON_AddItemToObject(request, "queryString", queryList(e.query));
    cJSON_AddItemToObject(request, "cookies", cJSON_CreateArray());
    cJSON *post = cJSON_AddObjectToObject(request, "postData");
    addBytes(post, "mimeType", e.requestType, "_mimeTypeEncoding");
    // Playwright reads "encoding" here as in content.
    addBytes(post, "text", e.request, "encoding");
    cJSON_AddNumberToObject(request, "headersSize", (double)e.requestHeadersSize);
    cJSON_AddNumberToObject(request, "bodySize", (double)e.request.size());

    cJSON *response = cJSON_AddObjectToObject(entry, "response");
    cJSON_AddNumberToObject(response, "status", e.status);
    cJSON_AddStringToObject(response, "statusText", statusText(e.status));
    cJSON_AddStringToObject(response, "httpVersion", kHttpVersion);
    cJSON_AddItemToObject(response, "headers", headerList(e.replyHeaders));
    cJSON_AddItemToObject(response, "cookies", cJSON_CreateArray());
    cJSON *content = cJSON_AddObjectToObject(response, "content");
    cJSON_AddNumberToObject(content, "size", (double)e.reply.size());
    if (e.replySentSize < (long long)e.reply.size())
        cJSON_AddNumberToObject(content, "compression", (double)((long long)e.reply.size() - e.replySentSize));
    addBytes(content, "mimeType", e.replyType, "_mimeTypeEncoding");
    addBytes(content, "text", e.reply, "encoding");
    cJSON_AddStringToObject(response, "redirectURL", "");
    cJSON_AddNumberToObject(response, "headersSize", -1);
    cJSON_AddNumberToObject(response, "bodySize", (double)e.replySentSize);

    cJSON_AddItemToObject(entry, "cache", cJSON_CreateObject());
    cJSON *timings = cJSON_AddObjectToObject(entry, "timings");
    cJSON_AddNumberToObject(timings, "blocked", -1);
    cJSON_AddNumberToObject(timings, "dns", -1);
    cJSON_AddNumberToObject(timings, "connect", -1);
    cJSON_AddNumberToObject(timings, "send", 0);
    cJSON_AddNumberToObject(timings, "wait", (double)e.ms);
    cJSON_AddNumberToObject(timings, "receive", 0);
    cJSON_AddNumberToObject(timings, "ssl", -1);
    cJSON_AddNumberToObject(entry, "_seq", (double)e.seq);
    addWhat(entry, "_module", "_action", e);
    return entry;
}

std::string printed(cJSON *json)
{
    char *text = json != NULL ? cJSON_PrintUnformatted(json) : NULL;
    cJSON_Delete(json);
    std::string out = text != NULL ? std::string(text) : std::string("{\"error\":\"out of memory\"}");
    cJSON_free(text);
    return out + "\n";
}

}  // namespace

void relayLogAdd(RelayLogEntry entry)
{
    std::lock_guard<std::mutex> hold(g_mutex);
    entry.seq = ++g_seq;
    EntryPtr kept = std::make_shared<const RelayLogEntry>(std::move(entry));
    if (g_ring.size() < kRelayLogSize) {
        g_ring.push_back(kept);
        return;
    }
    g_ring[g_next] = kept;
    g_next = (g_next + 1) % kRelayLogSize;
}

std::string relayLogJson(long long since)
{
    long long latest = 0;
    std::vector<EntryPtr> entries = entriesSince(since, &latest);
    cJSON *out = cJSON_CreateObject();
    cJSON_AddNumberToObject(out, "latest", (double)latest);
    cJSON *list = cJSON_AddArrayToObject(out, "entries");
    for (const EntryPtr &e : entries) {
        cJSON *item = cJSON_CreateObject();
        cJSON_AddNumberToObject(item, "seq", (double)e->seq);
        cJSON_AddStringToObject(item, "time", isoTime(e->startedMs).c_str());
        addWhat(item, "module", "action", *e);
        addBytes(item, "request", e->request, "requestEncoding");
        addBytes(item, "reply", e->reply, "replyEncoding");
        cJSON_AddNumberToObject(item, "status", e->status);
        cJSON_AddNumberToObject(item, "ms", (double)e->ms);
        cJSON_AddItemToArray(list, item);
    }
    return printed(out);
}

std::string relayLogHar(long long since)
{
    long long latest = 0;
    std::vector<EntryPtr> entries = entriesSince(since, &latest);
    cJSON *out = cJSON_CreateObject();
    cJSON *log = cJSON_AddObjectToObject(out, "log");
    cJSON_AddStringToObject(log, "version", kHarVersion);
    cJSON *creator = cJSON_AddObjectToObject(log, "creator");
    cJSON_AddStringToObject(creator, "name", kCreatorName);
    cJSON_AddStringToObject(creator, "version", kCreatorVersion);
    cJSON *list = cJSON_AddArrayToObject(log, "entries");
    for (const EntryPtr &e : entries)
        cJSON_AddItemToArray(list, harEntry(*e));
    return printed(out);
}
