// The resolver: host look-ups by name and by address with a cache of results, positive and
// negative.
//
// Only one look-up runs at a time. Callers queue for admission with a ticket; a look-up that has
// run for 2 seconds while another caller waits is interrupted ("ABOAT RESOLVE"), the waiter is
// served first, and the interrupted look-up is queued again behind the new ones; one admitted
// more than 120 seconds ago is given up (no result). The system look-up itself is made by the
// resolver task, through the blacklist; the blacklist's retries go through the same admission.
//
// Entries returned to callers belong to the cache and are never freed by them: an entry removed
// from the cache goes into a ring of the last 100 removals and is freed only when its slot is
// used again, so it stays readable meanwhile.
//
// Lock order: resolve_lock2 before the tick lock and the local-domain lock; it is never held
// across a system look-up.
#pragma once

#include <cstdint>

#include "base/hostaddr.h"
#include "base/netdb.h"

// One admission ticket, kept in the caller's frame.
struct RESOLVE_QUEUE {
    RESOLVE_QUEUE* next;
    unsigned pri : 1;     // 0 new, 1 interrupted and queued again
    unsigned status : 3;  // RQ_ values
    uint32_t start_time;
    uint32_t req_time;
    unsigned abort_flag : 1;
    unsigned running : 1;  // its job is with the resolver task
};
constexpr unsigned RQ_WAITING = 0;
constexpr unsigned RQ_ADMITTED = 1;
constexpr unsigned RQ_GIVEN_UP = 2;
constexpr unsigned RQ_FINISHED = 4;

struct RESOLVE_QUEUE_HEADER {
    RESOLVE_QUEUE* head;
    RESOLVE_QUEUE* tail;
};

// One job of the resolver task.
struct RESOLVE_REQUEST_T {
    RESOLVE_REQUEST_T* next;
    const HOST_ADDR* a;  // address to look up, or null
    const char* name;    // name to look up, or null
    HOST_ENTRY* hp;      // the result
    int ok;              // 1 when done
    bool no_thread;      // the look-up was not made (no thread) or not waited out (the abort
                         // stopped it): nothing was learnt
    bool retry;          // a blacklist retry: the system look-up without the blacklist
    bool left;           // the caller stopped waiting: the resolver task finishes the job
};

// Ring of removed entries.
constexpr int RESOLVE_DEL_RING = 100;
// Seconds a look-up runs before a waiting caller may interrupt it, and after which an
// interrupted one is given up.
constexpr uint32_t RESOLVE_SLICE = 2;
constexpr uint32_t RESOLVE_GIVE_UP = 120;
// Ages after which the sweep removes negative and positive entries.
constexpr uint32_t RESOLVE_NEGATIVE_AGE = 30;
constexpr uint32_t RESOLVE_POSITIVE_AGE = 3600;

// Creates the resolver's lock and removal ring and registers the hourly sweep (once).
void init_resolve();

// A cached entry for the name (never to be freed by the caller), or null when the name cannot be
// resolved.
HOST_ENTRY* r_gethostbyname(const char* name);
// The same by address; an address that is not IPv4 gives null.
HOST_ENTRY* r_gethostbyaddr(HOST_ADDR ha);
// As r_gethostbyaddr, waiting at most about `seconds` for the look-up (negative: no bound). Past
// the bound it gives null and nothing is remembered of the address; a look-up the resolver task
// had already begun still runs to its end, and its result then enters the cache.
HOST_ENTRY* r_gethostbyaddr_within(HOST_ADDR ha, int seconds);

// The blacklist's retry of a look-up (by name, or by the IPv4 address a when name is null): the
// system look-up, without the blacklist, admitted and interrupted like any other so that a name
// that never resolves holds up no other look-up for more than its slice. True when it found the
// host; the result is not cached.
bool resolve_retry(const char* name, const HOST_ADDR* a);

// The hourly sweep (a tick function), and one sweep at system time now.
void resolv_tick(intptr_t data, int);
void resolve_sweep(uint32_t now);

// Tickets waiting for admission (diagnostics and tests).
int resolve_waiting();
// Test hook: the admission (time slices and the give-up) takes its time from clock from now on
// (null: the system time).
void set_resolve_clock(uint32_t (*clock)());

// Appends the local domain d to the names of e: a name without a dot other than "localhost"
// becomes name.d, and a name whose text after its first dot begins d becomes its first label.d.
// The canonical name becomes the first name.
void qualify_host_names(HOST_ENTRY* e, const char* d);
