// The chain kind 'c': an output-only stream whose bytes are printed by another interpreter.
//
// Everything written is collected in the stream's 4096-byte buffer; a carrier task of the stream
// takes what is waiting, one batch at a time, and sends it to the interpreter with the stream's
// `iid` as the call (PrintChain "o" raw-bytes) or (PrintChain "e" raw-bytes), which prints it on
// that interpreter's standard output or error. Text is written in "EXTUCS-4" (long characters,
// four bytes big-endian), so no character is lost on the way.
//
// This module reaches up two layers: the carrier runs as an internal interpreter of its own
// (server/interp.h: access type 7, setup_i, close_self_interpreter) and builds the call form as
// QV nodes in a root frame of the language heap. Sending the form and waiting for the answer
// belongs to remote evaluation; the interpreter layer installs it with set_chain_query. Until it
// does, nothing could carry the bytes, and s_open_chain refuses.
//
// Closing: the stream core clears `tbl` first, so later writes fail with -1. The kind's close
// then waits, with the stream lock released (delivery reaches the target's output streams, which
// need it), until the writers inside have finished and the carrier has delivered what they
// wrote; only then does it set `iid` to -1 and wake the carrier, which ends. When the carrier
// ends on its own (the answer is an error value: the target is gone or closing), `iid` is set to
// -1 at once, so writers waiting for room return -1 and later writes fail; the carrier then
// closes the stream itself.
//
// A receiver that does not answer holds up nobody but the carrier: once the carrier has been
// delivering one batch for CHAIN_STALL_SEC seconds, writers no longer wait for room (what does not
// fit in the buffer is dropped, and when the carrier gets on again it sends a note of how many
// characters were dropped after the bytes queued before them) and flushes no longer wait for it.
// A close still waits for the carrier to end, so it never frees the record under the carrier.
//
// Locking: every S_CHAIN field changes under `chain_lock`; the wake-up key of a stream is the
// address of its `iid`. Lock order: stream lock before chain_lock. The carrier never holds
// chain_lock while it allocates language memory or calls out, so a collection or a close that
// holds the stream lock never waits for it.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "stream/stream.h"

extern SEM chain_lock;
// Seconds one batch may take to deliver before the carrier counts as stalled.
constexpr int CHAIN_STALL_SEC = 3;
extern S_TABLE s_chain_table;

// Sends cmd_sexp (or the text cmd_str) to the interpreter with id `id` for evaluation in env and
// returns the answer value: an error value when the interpreter is unknown or closing, null when
// it takes no queries.
typedef QV_SEXP* (*CHAIN_QUERY)(int id, QVISP_ENV* env, const L_CHAR* cmd_str, QV_SEXP* cmd_sexp);

// Installs the sender used by every carrier (null removes it: carriers running then end at
// their next batch).
void set_chain_query(CHAIN_QUERY fn);
CHAIN_QUERY get_chain_query();

// Creates chain_lock and registers the kind (called by init_stream).
void init_chain_stream();

// A chain stream to interpreter iid, type 'o' (its standard output) or 'e' (its standard error),
// with its carrier task started; null for any other type, an iid below 1, or while no sender is
// installed.
STREAM* s_open_chain(int iid, char type);

// The open chain stream whose iid is iid, or null.
STREAM* s_get_chain_from_iid(int iid);

// 1 when s is an open chain stream, else 0.
int s_is_chain(STREAM* s);

// Replaces the process-wide standard output and error by chain streams of types 'o' and 'e' to
// interpreter iid: 0, or -1 when they cannot be opened (nothing changes then). Chain streams
// replaced by a later call are closed in the background. When a carrier of a chain stream in one
// of these places ends on its own, the place gets back the stream it held before the first
// replacement, so the output goes on there.
// Bytes a writer queued that the carrier had not yet sent are not lost with it: they, and the
// note of what was dropped while it was stalled, go to the place given back.
int s_replace_std_chain(int iid);

// Replaces the process-wide standard output (type 'o') or error ('e') by s alone: 0, or -1 for
// a null s or another type. A chain stream replaced is closed in the background, and the stream
// the place held before its first chain stream is kept as s_replace_std_chain keeps it.
int s_replace_std_stream(char type, STREAM* s);

// Prints data (long characters of four bytes each, big-endian, as a chain carries them; zeros
// left out) to target as text: 0, or -1 when target refused it.
int s_print_long_chars(STREAM* target, const uint8_t* data, int size);

// The kind's slots. write returns len, or -1 when the stream closed (or its carrier ended)
// before all bytes were taken (bytes dropped while the carrier is stalled count as taken); read
// has no input (0); flush waits until everything written was carried or the carrier is stalled
// (-1 when the carrier has ended); close is described above.
int s_write_chain(STREAM* s, const void* data, int len);
int s_read_chain(STREAM* s, void* data, int len);
int s_flush_chain(STREAM* s);
int s_close_chain(STREAM* s);
