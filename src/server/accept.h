// Admission of peers on a listener: the rules an accept thread applies to each new connection.
//
// A listener keeps one thread in accept. For each accepted peer it checks the descriptors in use
// against the process limit (Busy above 50/64 before anything is read, 40/64 before the
// connection interpreter is made), waits an adaptive time for the first byte, and dispatches on
// that byte: CR or LF starts the line protocol, anything else goes to the HTTP side. Failed
// accepts back off and retry instead of ending the listener, since running out of descriptors is
// usually transient.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/hostaddr.h"
#include "server/interp.h"
#include "stream/stream.h"

// Replies to refused peers and the line-protocol handshake (its %x is the output's code).
extern const char accept_busy_text[];      // "<Permission>Busy</Permission>\n"
extern const char accept_denied_text[];    // "<Permission>Denied</Permission>\n"
extern const char accept_handshake_fmt[];  // "&cx%x;\n<Permission>Allow</Permission>\n"

// Seconds an admission waits for a peer's names when a domain rule needs them. A peer whose
// names come later is judged as one whose look-up failed: its domain rules do not match.
constexpr int ACCEPT_LOOKUP_WAIT = 10;

// Bounds of the first-byte wait, in seconds.
constexpr uint32_t ACCEPT_INTERVAL_MIN = 10;
constexpr uint32_t ACCEPT_INTERVAL_MAX = 120;

// 1 when a peer may be admitted with in_use descriptors of limit: in_use < limit * 50 / 64.
int accept_admit_fds(int in_use, int limit);
// 1 when the connection interpreter may be made: in_use < limit * 40 / 64.
int accept_launch_fds(int in_use, int limit);

// The adaptive first-byte wait. State of a listener: the interval in seconds and the time (in
// seconds) it was last lengthened.
struct accept_wait {
    uint32_t interval;
    uint32_t last_dec;
};
// A peer sent nothing in time: the interval doubles (at most 120) and last_dec becomes now.
void accept_wait_silent(accept_wait* w, uint32_t now);
// A peer's first byte came after elapsed seconds: when 2*elapsed < interval and more than 119
// seconds have passed since last_dec, the interval drops by 1 (at least 10); otherwise, when
// 1.5*elapsed > interval, it doubles (at most 120) and last_dec becomes now.
void accept_wait_byte(accept_wait* w, uint32_t elapsed, uint32_t now);

// Dispatch on the first byte.
enum : int { ACCEPT_LINE = 1, ACCEPT_HTTP = 2 };
int accept_dispatch(int first_byte);

// Back-off after failed accepts in a row: 0 for none, then 100 ms doubling up to 1 s.
int accept_backoff_ms(int failures);
// 1 when an accept failure with this errno should end the listener (a bad or closed listening
// stream, or a shutdown that lets no new stream open); other failures (out of descriptors, aborted
// connections, interrupts) back off and retry.
int accept_error_is_final(int err);

// One Allow or Deny entry of a listener: its access rules and the names it was given.
struct permission_list {
    permission_list* next;
    ACCESS_PERMISSION ap;
    char** mode;  // null-terminated copies of the entry's names
};

// Appends an entry with no rules and a copy of names (null-terminated; may be null) to the
// listener's list, under qvi_lock. The entry, so that rules can be added to its `ap`.
PERMISSION_LIST* new_permission_list(QV_INTERPRETER* qvi, const char* const* names);
// The first entry whose rules accept the peer address ip (network order), or null: a listener
// without entries admits nobody. The rules are copied under qvi_lock and checked without it, so
// that a domain rule's look-up of the peer's names holds up no other peer; it waits at most
// ACCEPT_LOOKUP_WAIT seconds.
PERMISSION_LIST* check_permission_list(QV_INTERPRETER* qvi, uint32_t ip);
// Frees every entry of the listener with its rules and names, under qvi_lock.
void free_permission_list(QV_INTERPRETER* qvi);

// Admission of an accepted peer on descriptor fd from address ip (network order), with in_use
// descriptors of limit: 0 when admitted (*entry is then the admitting entry), else QVI_ERR_BUSY
// or QVI_ERR_DENIED after the refusal line has been written. The caller closes a refused peer.
int accept_admit(QV_INTERPRETER* listener, int fd, uint32_t ip, int in_use, int limit,
                 PERMISSION_LIST** entry);
// Waits at most ms milliseconds for the peer's first byte and looks at it without taking it from
// the connection: 1 with *byte set, 0 on time-out, -1 when the peer closed or failed, or when
// listener (when given) began closing or st (when given) was closed during the wait.
int accept_first_byte(int fd, int ms, uint8_t* byte, QV_INTERPRETER* listener = nullptr,
                      STREAM* st = nullptr);

// Makes and opens the connection interpreter (type 5) of an admitted peer on stream st from
// address ip, admitted by entry of listener, and greets the peer: "\n", then the handshake with
// the code of the stream's code method, before any reply. The new id, or a negative open failure
// (the stream is then closed).
int launch_accept_thread(STREAM* st, uint32_t ip, QV_INTERPRETER* listener, PERMISSION_LIST* entry);

// Keeps the listener with this id from its final close while the caller uses it (it counts as
// one of its accept threads): the record, or null when it is gone or closing. release_listener
// lets it go again (and performs the final close when it is the last).
QV_INTERPRETER* hold_listener(uint32_t id);
void release_listener(QV_INTERPRETER* l);

// The admission of one accepted peer on descriptor fd (owned from here on) from ip, with in_use
// descriptors of limit: refusal lines, the first-byte wait with the listener's adaptive interval,
// the dispatch and the connection interpreter. Its id; 0 when the peer went to the HTTP side; a
// negative code when refused (QVI_ERR_BUSY, QVI_ERR_DENIED) or silent (QVI_ERR_NO_ANSWER).
int accept_peer(QV_INTERPRETER* listener, int fd, uint32_t ip, int in_use, int limit);

// The task ids of the tasks of the last accepted peers, for inspection (a ring; slot accept_tid_pos
// is the next to be written). Under qvi_lock.
constexpr int ACCEPT_TID_RING = 1000;
extern int _accept_tid[ACCEPT_TID_RING];
extern int accept_tid_pos;

// The body of the thread in accept of a listener (data: the record; priority 1). Exactly one
// thread waits in accept; each peer it gets is handed at once to a task of its own (priority 1,
// its id recorded in _accept_tid) that admits it, and the thread accepts again. A failed accept
// backs off and tries again, unless the listener is closing or its descriptor is unusable. The
// accept thread and the peers' tasks each hold the listener; the last of them to let go of a
// closing listener performs its final close.
void _accept_thread(intptr_t data);

// Opens a listener record: a listening stream on the first free port of port .. port +
// port_limit - 1 (the port found is stored in `port`). 0, or QVI_ERR_LISTENER.
int open_listener(QV_INTERPRETER* qvi);
// A close request for a listener (qvi_lock held): marks it closing and breaks the accept wait.
void _close_listener(QV_INTERPRETER* qvi);
// Frees a chain of entries with their rules and names (no lock: the chain is the caller's).
void _free_permission_entries(PERMISSION_LIST* pl);
