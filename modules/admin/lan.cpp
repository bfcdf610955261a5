// "lan": the LAN address, netmask and DHCP server settings held by the
// network manager, with validation, DHCP pool repair and a LAN restart
// 2000 ms after a successful change.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <cjson/cJSON.h>

#include "common/text.h"
#include "platform/android_log.h"
#include "platform/network_lan.h"
#include "server/handler.h"
#include "server/web_timer.h"

namespace {

// Result codes of a set.
enum {
    LAN_OK = 0,
    LAN_FAILED = 1,
    LAN_BAD_IP = 2,
    LAN_BAD_MASK = 3,
    LAN_BAD_START = 4,
    LAN_BAD_END = 5,
    LAN_BAD_DNS1 = 6,
    LAN_BAD_DNS2 = 7,
};

const char kTag[] = "DHCP_HANDLER";

timer_t g_lanTimer;

void restartLan(int signal, siginfo_t *info, void *context)
{
    send_restart_lan_msg();
    webTimerDelete(signal, info, context);
}

// inet_aton in host order; 0 when rejected.
uint32_t textToAddress(const char *text)
{
    struct in_addr in;
    memset(&in, 0, sizeof(in));
    if (text == NULL || inet_aton(text, &in) == 0)
        return 0;
    return ntohl(in.s_addr);
}

// inet_addr in host order (a rejected text gives all ones).
uint32_t parseAddress(const char *text)
{
    return ntohl(inet_addr(text));
}

void addressToText(uint32_t address, char *out, size_t size)
{
    memset(out, 0, size);
    snprintf(out, size, "%u.%u.%u.%u", (address >> 24) & 0xff, (address >> 16) & 0xff, (address >> 8) & 0xff,
             address & 0xff);
}

int hostBitCount(uint32_t mask)
{
    int n = 0;
    while (n < 32 && (mask & (1u << n)) == 0)
        n++;
    return n;
}

// A host address: class A to C, not loopback.
bool isHostAddress(uint32_t address)
{
    uint32_t first = address >> 24;
    return first >= 1 && first <= 223 && first != 127;
}

// A netmask: ones, then zeros, and not all zeros.
bool isNetmask(uint32_t mask)
{
    return mask != 0 && (~mask & (~mask + 1)) == 0;
}

// An address that fits the netmask: neither its network part nor its
// host part is all zeros or all ones.
bool fitsNetmask(uint32_t address, uint32_t mask)
{
    uint32_t network = address & mask, host = address & ~mask;
    return network != 0 && network != mask && host != 0 && host != ~mask;
}

// A pool address: a host address in the LAN's subnet that is neither
// the subnet's own address nor its broadcast address.
bool isPoolAddress(uint32_t candidate, uint32_t lan, uint32_t mask)
{
    uint32_t host = candidate & ~mask;
    return isHostAddress(candidate) && ((candidate ^ lan) & mask) == 0 && host != 0 && host != ~mask;
}

// What the dotted texts mean, checked once their form is: only when the
// request has "dhcp" (without it nothing is stored).
int validate(const Request &request, const lan_config &current)
{
    if (!request.has("dhcp"))
        return LAN_OK;
    Request dhcp = request.nested("dhcp");
    const char *ip = request.has("ip") ? request.text("ip") : NULL;
    const char *mask = request.has("mask") ? request.text("mask") : NULL;
    if (ip != NULL && !isHostAddress(parseAddress(ip)))
        return LAN_BAD_IP;
    if (mask != NULL && !isNetmask(parseAddress(mask)))
        return LAN_BAD_MASK;
    // The pair that will be stored must fit, also when only one half is
    // given: a network or broadcast address would cut the device off.
    if (ip != NULL || mask != NULL) {
        uint32_t a = parseAddress(ip != NULL ? ip : current.address);
        uint32_t m = parseAddress(mask != NULL ? mask : current.netmask);
        if (!fitsNetmask(a, m))
            return LAN_BAD_MASK;
    }
    if (dhcp.has("start") && parseAddress(dhcp.text("start")) == 0)
        return LAN_BAD_START;
    if (dhcp.has("end") && parseAddress(dhcp.text("end")) == 0)
        return LAN_BAD_END;
    return LAN_OK;
}

// Writes the pool address given in text into field, repaired into the LAN
// subnet when it does not fit. -1 when the subnet has no room for a pool.
int setPoolAddress(char *field, const char *text, uint32_t lan, uint32_t mask, bool isEnd)
{
    copyText(field, text, sizeof(lan_config::pool_start));
    uint32_t candidate = textToAddress(field);
    if (!isPoolAddress(candidate, lan, mask)) {
        int n = hostBitCount(mask);
        if (n <= 1)
            return -1;
        uint32_t network = lan & mask;
        if (n < 8)
            candidate = isEnd ? network + (1u << n) - 2 : network + 1;
        else
            candidate = (lan & ~0xffu) | (isEnd ? 199u : 100u);
    }
    addressToText(candidate, field, sizeof(lan_config::pool_start));
    return 0;
}

// Reads the settings before any action; a failure answers every action.
int readLanConfig(cJSON *, int, Prepared *prepared)
{
    lan_config &config = *prepared->make<lan_config>();
    if (get_lan_config(&config) != 0) {
        __android_log_print(ANDROID_LOG_INFO, kTag, "get lan config failed!\n");
        return LAN_FAILED;
    }
    // The network manager's texts are fixed fields: keep them terminated.
    config.address[sizeof(config.address) - 1] = '\0';
    config.netmask[sizeof(config.netmask) - 1] = '\0';
    config.pool_start[sizeof(config.pool_start) - 1] = '\0';
    config.pool_end[sizeof(config.pool_end) - 1] = '\0';
    config.dns1[sizeof(config.dns1) - 1] = '\0';
    config.dns2[sizeof(config.dns2) - 1] = '\0';
    return LAN_OK;
}

int getLan(const Request &request, cJSON *response)
{
    const lan_config &config = request.preparedAs<lan_config>();
    cJSON_AddItemToObject(response, "ip", cJSON_CreateString(config.address));
    cJSON_AddItemToObject(response, "mask", cJSON_CreateString(config.netmask));
    cJSON *dhcp = cJSON_CreateObject();
    cJSON_AddItemToObject(dhcp, "enable", cJSON_CreateBool(config.dhcp_enable != 0));
    cJSON_AddItemToObject(dhcp, "start", cJSON_CreateString(config.pool_start));
    cJSON_AddItemToObject(dhcp, "end", cJSON_CreateString(config.pool_end));
    cJSON_AddItemToObject(dhcp, "leaseTime", cJSON_CreateNumber(config.lease_time));
    cJSON_AddItemToObject(dhcp, "dns1", cJSON_CreateString(config.dns1));
    cJSON_AddItemToObject(dhcp, "dns2", cJSON_CreateString(config.dns2));
    cJSON_AddItemToObject(response, "dhcp", dhcp);
    return LAN_OK;
}

int setLan(const Request &request, cJSON *)
{
    // The settings as read, changed by the request.
    lan_config config = request.preparedAs<lan_config>();
    lan_config previous = config;
    int result = validate(request, config);
    if (result != LAN_OK)
        return result;

    if (request.has("ip"))
        copyText(config.address, request.text("ip"), sizeof(config.address));
    if (request.has("mask"))
        copyText(config.netmask, request.text("mask"), sizeof(config.netmask));
    if (!cJSON_IsObject(request.get("dhcp").item))
        return LAN_OK;
    Request dhcp = request.nested("dhcp");
    if (dhcp.has("enable"))
        config.dhcp_enable = dhcp.number("enable");

    uint32_t lan = textToAddress(config.address);
    uint32_t netmask = textToAddress(config.netmask);
    if (dhcp.has("start") && setPoolAddress(config.pool_start, dhcp.text("start"), lan, netmask, false) != 0)
        return LAN_BAD_MASK;
    if (dhcp.has("end") && setPoolAddress(config.pool_end, dhcp.text("end"), lan, netmask, true) != 0)
        return LAN_BAD_MASK;
    if (dhcp.has("leaseTime"))
        config.lease_time = dhcp.number("leaseTime");
    if (dhcp.has("dns1")) {
        copyText(config.dns1, dhcp.text("dns1"), sizeof(config.dns1));
        // A device that was its own name server stays so at its new address.
        if (strcmp(config.address, previous.address) != 0 && strcmp(config.dns1, previous.dns1) == 0 &&
            strcmp(previous.dns1, previous.address) == 0)
            copyText(config.dns1, config.address, sizeof(config.dns1));
    }
    if (dhcp.has("dns2"))
        copyText(config.dns2, dhcp.text("dns2"), sizeof(config.dns2));

    if (set_lan_config(&config) != 0)
        return LAN_FAILED;
    webTimerSet(&g_lanTimer, kRestartDelayMs, restartLan);
    return LAN_OK;
}

// Texts are dotted addresses: a malformed one refuses the request with its
// own result; a value that is not a text is skipped.
const Member kDhcp[] = {
    booleanOrAbsent("enable", KAL_TEXT("the DHCP server on or off")),
    textOrAbsent("start", 7, 15, TEXT_DOTTED, KAL_TEXT("first pool address; repaired into the LAN subnet")).refusedWith(LAN_BAD_START),
    textOrAbsent("end", 7, 15, TEXT_DOTTED, KAL_TEXT("last pool address; repaired into the LAN subnet")).refusedWith(LAN_BAD_END),
    anyInt32("leaseTime", KAL_TEXT("lease time, as the network manager takes it")).otherwise(POLICY_TRUE_ONE).refusedWith(LAN_FAILED),
    textOrAbsent("dns1", 7, 15, TEXT_DOTTED, KAL_TEXT("first name server for the clients")).refusedWith(LAN_BAD_DNS1),
    textOrAbsent("dns2", 7, 15, TEXT_DOTTED, KAL_TEXT("second name server for the clients")).refusedWith(LAN_BAD_DNS2),
};

const Member kSetMembers[] = {
    textOrAbsent("ip", 7, 15, TEXT_DOTTED, KAL_TEXT("the device's LAN address")).refusedWith(LAN_BAD_IP),
    textOrAbsent("mask", 7, 15, TEXT_DOTTED, KAL_TEXT("the LAN netmask")).refusedWith(LAN_BAD_MASK),
    object("dhcp", kDhcp, KAL_TEXT("DHCP server settings; without it nothing is stored")).otherwise(POLICY_ZERO),
};

const ModuleAction kLanActions[] = {
    action(0, getLan, KAL_TEXT("read the LAN and DHCP settings"), KAL_TEXT("ip:text mask:text dhcp:{enable:boolean start:text end:text leaseTime:integer dns1:text dns2:text}"))
        .result(LAN_OK, KAL_TEXT("ok: the settings"))
        .result(LAN_FAILED, KAL_TEXT("failed: the record could not be read")),
    action(1, setLan, KAL_TEXT("change them; the LAN restarts 2 s after the reply"), KAL_TEXT(""), kSetMembers)
        .result(LAN_OK, KAL_TEXT("ok: stored, or nothing to store (without \"dhcp\" nothing is)"))
        .result(LAN_FAILED, KAL_TEXT("failed: the record could not be read or stored, or \"leaseTime\" out of range"))
        .result(LAN_BAD_IP, KAL_TEXT("badIp: \"ip\" is not a dotted host address"))
        .result(LAN_BAD_MASK, KAL_TEXT("badMask: \"mask\" is not a contiguous mask, the address does not fit it, or no room for a pool"))
        .result(LAN_BAD_START, KAL_TEXT("badStart: \"dhcp\".\"start\" is not a dotted address, or 0.0.0.0"))
        .result(LAN_BAD_END, KAL_TEXT("badEnd: \"dhcp\".\"end\" is not a dotted address, or 0.0.0.0"))
        .result(LAN_BAD_DNS1, KAL_TEXT("badDns1: \"dhcp\".\"dns1\" is not a dotted address"))
        .result(LAN_BAD_DNS2, KAL_TEXT("badDns2: \"dhcp\".\"dns2\" is not a dotted address")),
};

}  // namespace

KAL_MODULE(lan) = {"lan", actionsOf(kLanActions).preparedBy(readLanConfig), NULL};
