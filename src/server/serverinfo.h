// Server information: what this node has learnt about the servers it connects to.
//
// One record per server, found by name or by IPv4 address, holding a status bit set, the
// address and a smoothed throughput. Outgoing connections write it when they open (by name, with
// the peer's address) and in their periodic check (by address, with the measured throughput).
//
// Records are kept in two hash tables of 13 chains: by name, and by address. A record with a name
// is on the chain of its name; a record whose address is known (flag SI_IP and an address other
// than 0) is on the chain of that address, and moves when the address changes. Records are never
// removed. `serverinfo_lock` guards both tables and every record; it takes no other lock.
#pragma once

#include <cstdint>

#include "base/lock.h"

// Bits of active_flags: which fields are meaningful.
enum : int {
    SI_STATUS = 0x1,
    SI_IP = 0x2,
    SI_NAME = 0x4,
    SI_THPUT = 0x8,
    SI_DATA = 0x10,
};

// Commands of set_serverinfo for the thput and data fields.
enum : int {
    SI_CMD_SET = 1,        // set the field
    SI_CMD_SET_EMPTY = 2,  // data: set only while it is 0
    SI_CMD_SMOOTH = 3,     // thput: smooth a lower value into the old one
};

// The public record, the argument of set_serverinfo and get_serverinfo.
struct server_info {
    int active_flags;
    int status;   // bit set: 1 by default, 16 written by connection set-up
    char* name;   // the caller's text; the stored record keeps its own copy
    uint32_t ip;  // IPv4 in network order (in_addr.s_addr)
    int thput;    // bytes per second
    int data;
};
typedef server_info SERVER_INFO;

// The stored record.
struct _server_info {
    SERVER_INFO i;
    uint32_t w_time;        // system time of the last write
    uint32_t r_time;        // system time of the last read, 0 before any
    _server_info* next;     // name chain
    _server_info* ip_next;  // address chain
};
typedef _server_info _SERVER_INFO;

constexpr int SERVERINFO_HASH = 13;
extern _SERVER_INFO* serverinfo_hash[SERVERINFO_HASH];     // by name
extern _SERVER_INFO* serverinfo_ip_hash[SERVERINFO_HASH];  // by address
extern SEM serverinfo_lock;

// Chain of a name: its bytes taken as signed values, summed into an unsigned 32-bit value,
// modulo 13. Chain of an address: the address modulo 13.
int serverinfo_name_key(const char* name);
int serverinfo_ip_key(uint32_t ip);

// Creates serverinfo_lock. Once, at start-up.
void init_serverinfo();

// Writes si into the record of its server, under serverinfo_lock:
// 1. The record is found by name when si has SI_NAME and a name, else by address (SI_IP and an
//    address other than 0 are then required, else -1).
// 2. None found: one is made with si's SI_IP and SI_NAME fields, status 1 and SI_STATUS.
// 3. When the record's status shares no bit with set_if: -2, nothing more changes (-1 accepts
//    every status).
// 4. SI_STATUS and SI_IP copy status and ip.
// 5. SI_THPUT: cmd 1 sets it; cmd 3 on a record that existed before, whose thput is at least the
//    new value, makes it 0.9 * old + 0.1 * new truncated to an integer, else the new value;
//    another cmd makes the result -1.
// 6. SI_DATA: cmd 1 sets it; cmd 2 sets it only while it is 0, else the result is -2; another
//    cmd makes the result -1.
// 7. The record gains si's flags; w_time = now.
// 0 when everything was applied.
int set_serverinfo(SERVER_INFO* si, int cmd, int set_if);

// Reads the record of si's server (by name when si has SI_NAME, else by its address when it has
// SI_IP and an address other than 0) into si, all fields but the name pointer, and sets the
// record's r_time. 0 when found, else -1.
int get_serverinfo(SERVER_INFO* si);
