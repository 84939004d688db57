// The host database: serialised wrappers around the system's look-ups, the look-ups through the
// blacklist that the resolver task makes, and the local host's name, address and domain.
//
// The system's look-ups by name and by address cannot be interrupted by a signal, so each runs on
// a helper task while the caller waits; the abort installed around the call (`set_resolve_abort`)
// stops that wait, and the call then fails as an interrupted call would. An abandoned helper
// finishes by itself and frees what it made.
//
// Locks, outer first: `netutils_lock` (the host-table scan and what it finds), the wrappers'
// lock, the abort lock (innermost, guards the installed abort and the helpers' records). No lock
// of this module is held while a look-up through the blacklist waits for the system: other
// tasks, the resolver's own among them, never wait behind a name that does not resolve.
#pragma once

#include <netdb.h>

#include <cstddef>
#include <cstdint>

#include "base/hostaddr.h"
#include "base/lock.h"

// One cached look-up result.
struct HOST_ENTRY {
    HOST_ENTRY* next;  // cache list
    uint32_t flags;
    char* canonical;  // the first name (names[0]), or null
    char** names;     // null-terminated; each a tracked copy
    int ips_length;
    HOST_ADDR* ips;
    uint32_t timer;   // 0 once the entry is in the cache
    uint32_t access;  // system time of the last successful return
};
constexpr uint32_t HE_PERMANENT = 0x1;  // never expires (a "loghost" entry)
constexpr uint32_t HE_NEGATIVE = 0x10000;

// A new entry with the given names (copied) and addresses; frees every part of an entry.
HOST_ENTRY* new_host_entry(const char* const* names, int n_names, const HOST_ADDR* ips, int n_ips);
void free_host_entry(HOST_ENTRY* e);

// Guards the host-table scan for the local host and its results; no look-up is made under it.
extern SEM netutils_lock;
// Creates netutils_lock, the wrappers' lock and the abort lock (once per process).
void init_netutils();

// The system's look-ups, replaceable for tests; same contract as gethostbyname_r and
// gethostbyaddr_r. They run on helper tasks and must not take any lock of the system.
struct HOSTDB_CALLS {
    int (*by_name)(const char* name, hostent* ret, char* buf, size_t buflen, hostent** result,
                   int* h_errnop);
    int (*by_addr)(const void* addr, socklen_t len, int type, hostent* ret, char* buf,
                   size_t buflen, hostent** result, int* h_errnop);
};
// Null restores the system's own.
void set_hostdb_calls(const HOSTDB_CALLS* calls);

// Makes SIGALRM harmless to the process and able to break a blocked call: when it still has the
// default action (which ends the process), it gets a handler that does nothing, installed without
// restart. A handler already in place (the task system's counting one) is kept. The look-ups
// themselves are not broken by the signal (see above).
void aboat_resolve_request_init();

// The abort of the look-up now running: func(work) is called, under the abort lock, to stop it.
// A null func clears it.
void set_resolve_abort(void (*func)(void* work), void* work);
// Calls the installed abort function, if any. Returns 1 when one was installed.
int send_resolve_abort();
// The abort function the wrappers install: work is the running look-up, which stops waiting.
// Called with the abort lock held.
void res_abort(void* work);

// The wrappers: each takes the wrappers' lock, makes the call and copies the result into buf
// (official name, alias pointers and texts, address pointers and bytes). A result that does not
// fit gives null with *h_errnop set and errno ERANGE.
hostent* _gethostbyname_r(const char* name, hostent* result, char* buf, int buflen, int* h_errnop);
hostent* _gethostbyaddr_r(const void* addr, int len, int type, hostent* result, char* buf,
                          int buflen, int* h_errnop);
hostent* _gethostent_r(hostent* result, char* buf, int buflen, int* h_errnop);
void _sethostent_r(int stay_open);
void _endhostent_r();

// The tracked forms: the record and its buffer go to the calling task's temporary ring.
hostent* _gethostbyname_rr(const char* name);
hostent* _gethostbyaddr_rr(const void* addr, int len, int type);
hostent* gethostent_rr();
void sethostent_rr(int stay_open);
void endhostent_rr();

// The system look-up by name, or by the IPv4 address a when name is null, without the blacklist:
// a new entry (the caller owns it) or null; *no_thread and *interrupted as below.
HOST_ENTRY* sys_gethost_rr(const char* name, const HOST_ADDR* a, bool* no_thread,
                           bool* interrupted);
// The look-ups the resolver task makes, through the blacklist: a new entry (the caller owns it)
// or null. An address that is not IPv4 gives null. *no_thread (when given) says that the look-up
// could not be made for lack of a thread, *interrupted that the installed abort stopped the wait
// before the system answered. Neither is a failure of the peer: it is not blacklisted, its retry
// interval is left as it was, and nothing is to be remembered of the name.
HOST_ENTRY* intr_gethostbyname_rr(const char* name, bool* no_thread = nullptr,
                                  bool* interrupted = nullptr);
HOST_ENTRY* intr_gethostbyaddr_rr(const HOST_ADDR& a, bool* no_thread = nullptr,
                                  bool* interrupted = nullptr);

// The local domain from the resolver configuration ("domain" line), or null. Found once and kept.
const char* get_localdomainname();
// The local host's IPv4 address (network order): the first address of the "loghost" entry, else
// 127.0.0.1.
uint32_t get_localhostip();
// Writes the local host's name into buf (at most size bytes, always terminated); returns buf.
char* get_localhostname(char* buf, size_t size = 256);

// Test hook: read the local domain from this file from now on (null: the system's file).
void set_resolv_conf_path(const char* path);

// The network service task (nothing in the system starts it; a task function, data unused): it
// becomes the loop task of the call sequencer, wakes under netutils_lock the tasks sleeping on
// its own address (&netdb_task) to tell them it is up, and runs the sequencer's loop for ever.
[[noreturn]] void netdb_task(intptr_t data);
