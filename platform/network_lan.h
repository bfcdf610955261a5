// Network manager, LAN side: the LAN address and DHCP server record,
// exchanged whole, and the request to restart the LAN with it.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct lan_config {
    char address[16];   // LAN address of the device, dotted decimal
    char netmask[16];
    int32_t dhcp_enable;  // 1 on, 0 off
    char pool_start[16];
    char pool_end[16];
    int32_t lease_time;   // as the front end gives it
    char dns1[16];
    char dns2[16];
};

// The network manager reads and writes this layout as is.
static_assert(sizeof(lan_config) == 104, "LAN record layout");
static_assert(offsetof(lan_config, dhcp_enable) == 32, "LAN record layout");
static_assert(offsetof(lan_config, lease_time) == 68, "LAN record layout");
static_assert(offsetof(lan_config, dns2) == 88, "LAN record layout");

extern "C" {
// Fills *config. 0, or non-zero when the record cannot be read.
int get_lan_config(lan_config *config);
// Stores *config. 0 on success.
int set_lan_config(const lan_config *config);
// Asks for the LAN (address and DHCP server) to restart with the stored record.
int send_restart_lan_msg(void);
}
