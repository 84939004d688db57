// The blacklist of unreachable peers.
//
// A peer is a key of bytes (a host name with its terminating zero, or an 8-byte address key) with
// one state per kind of operation: 0 host look-up, 1 connection. An operation runs through
// `bl_do`: while the same operation on the peer is in progress later callers wait for it; when
// the peer is blacklisted for it, callers fail at once; otherwise it runs and a failure
// blacklists the peer. The blacklist task retries every blacklisted peer when its time comes, at
// doubling intervals, and forgets the peer when a retry succeeds or the interval passes two days.
//
// States of a BL_STATE: 0 idle -> 1 in progress (bl_do runs the operation) -> 0 success or
// 2 blacklisted; 2 -> retried by the task -> 0 or 2; 2 -> 0 when the interval passes the limit.
// A peer with both states idle and no caller inside bl_do is freed by the task.
//
// The blacklist lock guards the list and every peer's fields; it is released while an operation
// or a retry runs.
#pragma once

#include <cstdint>

// A retry: runs the operation again for the peer's key (and, for connections, the last port);
// 0 success, 2 failure.
typedef int (*BL_RETRY)(const unsigned char* key, int key_len, int port);

constexpr int BL_IDLE = 0;
constexpr int BL_BUSY = 1;
constexpr int BL_LISTED = 2;

constexpr int BL_LOOKUP = 0;      // state index of host look-ups
constexpr int BL_CONNECTION = 1;  // state index of connections

// When a retry interval passes this, the peer is forgotten.
constexpr uint32_t BL_FORGET_INTERVAL = 172800;

struct BL_STATE {
    uint8_t state;
    BL_RETRY func;
};

struct BLACKLIST {
    BLACKLIST* next;
    unsigned char* name;  // the key, tracked copy
    int name_len;
    BL_STATE state[2];
    uint16_t port;  // last connection port
    uint32_t polling_initial;
    uint32_t polling_time;  // when the next retry is due
    uint32_t polling_interval;
    int users;  // callers inside bl_do: the peer is not freed while any is
};

// One blacklisted operation. proc runs the operation (0 success, 2 failure); it may use `peer`
// through the bl_peer_ functions below.
struct BL_CMD {
    const unsigned char* name;
    int name_len;
    int type;  // BL_LOOKUP or BL_CONNECTION
    BL_RETRY retry;
    int (*proc)(BL_CMD* cmd);
    BLACKLIST* peer;  // set by bl_do while proc runs
    int ran;          // set by bl_do when proc ran
};

// Creates the lock and starts the blacklist task; a second call ends in the panic.
void init_blacklist();
// Runs cmd through the blacklist: 0 success or 2 failure.
int bl_do(BL_CMD* cmd);

// For a running proc: the peer's state of a type, and the fields it may set.
int bl_peer_state(BLACKLIST* b, int type);
void bl_peer_set_port(BLACKLIST* b, int port);
void bl_peer_set_polling_initial(BLACKLIST* b, uint32_t seconds);
void bl_peer_reset_interval(BLACKLIST* b);

// One pass of the blacklist task at system time now (the task runs it every second).
void bl_scan(uint32_t now);
// The state of a type for the peer with this key, -1 when the peer is not listed (diagnostics).
int bl_get_state(const unsigned char* key, int key_len, int type);
// The codes of the last four steps of the task, oldest first: 0 scan start, 1 removed, 2 busy,
// 3 not due, 4 forgotten, 5 retried (diagnostics).
void bl_last_steps(int out[4]);

// Keys: a host name is its text with the terminating zero; an IPv4 address (network order) for a
// look-up is {32-bit family 2, the address}, for a connection {32-bit 0, the address}.
constexpr int BL_ADDR_KEY_LEN = 8;
void bl_lookup_addr_key(unsigned char key[8], uint32_t ip);
void bl_connect_addr_key(unsigned char key[8], uint32_t ip);
