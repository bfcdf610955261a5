// Network manager: the platform component that owns the WAN and LAN
// interfaces. Every call returns 0 on success.
#pragma once

// Size of each address and name server text the WAN calls write.
#define NETMGR_ADDRESS_SIZE 64

extern "C" {
// Current WAN IPv4 / IPv6 address and two name servers, each written as a
// terminated text of at most NETMGR_ADDRESS_SIZE bytes. Fails while the
// mobile data connection is down.
int get_wan_ipv4_config(char *address, char *dns1, char *dns2);
int get_wan_ipv6_config(char *address, char *dns1, char *dns2);
}
