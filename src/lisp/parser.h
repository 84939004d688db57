// The lazy parser: QV text becomes expression trees only as far as somebody looks at them.
//
// init_parse returns at once a delayed node (kind 1) standing for the whole sequence of top-level
// items of a stream. Whenever code inspects a delayed node (get_type and every accessor realise
// it), the parser reads exactly the tokens needed to rewrite that node in place: into a pair
// (next item . pending rest) or into nil at the end. A tag becomes a list headed by its name
// symbol, which carries the attributes: <a x=1>b c</a> is (a b c) with x on a; '(' opens a list in
// S-expression mode; 'x is (quote x). Malformed text never stops the parser: each problem becomes
// an error value in the tree where it was found, and reading goes on. Generators (kind 3) produce
// lists for program code the same way: the parser calls their function.
//
// The pending nodes of a record form a stack on the heap (QV_FILE.stack): its top is the node
// the next item fills, below it the rests of the enclosing lists, at the bottom the rest of the
// top-level sequence. Nesting deeper than QV_READ_MAX_DEPTH is not built: the whole deeper region
// is read and becomes one error item, so no consumer of the tree can be driven into unbounded
// recursion by its input.
//
// Concurrency: the parse lock (recursive per task) guards every list-building step, the busy bit
// and the pending stacks; it is never held while a stream is read or a generator runs. One task
// at a time reads a record (busy bit); other tasks needing a node of that record sleep on the
// record until the reader has applied a token. Lock order: the parse lock before lex_lock and the
// memory lock; never take it while holding the environment lock. The collector takes the parse
// lock and lex_lock among its hook locks.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/lock.h"
#include "lisp/lexer.h"
#include "stream/stream.h"

constexpr int QV_READ_MAX_DEPTH = 1000;  // pending entries of a record's stack

extern SEM parse_lock;
extern std::atomic<TKEY> parse_lock_task;  // the holder, 0 when free
extern int parse_lock_cnt;                 // the holder's recursion count

// Creates the parse lock and lex_lock, registers them and the reader's special sweep with the
// collector and installs the printer (init_printer); all once. Installs the reader's node hooks
// (sexp.h) on every call. Called by the core start-up, and by init_parse when needed.
void init_parse_system();

// The source of the site name of new records (the core start-up sets it); without it the site of
// a record is empty.
void set_parse_site_hook(const L_CHAR* (*site)());

// A new source record on stream st; returns its top-level delayed node, nothing read yet. Null
// for a null stream. The record closes the stream at the end of its input.
QV_SEXP* init_parse(STREAM* st, const L_CHAR* name, const L_CHAR* comment);
// A generator delayed node (kind 3) on a new record without stream; df heads the generator's
// state and lives in collected memory marked by df->gc_func.
QV_SEXP* init_delay_func(DELAY_FUNC* df);
// Close hook of a record: func(1, work) when it closes, func(2, work) whenever the collector
// marks it (it must not keep nodes it makes then).
void set_close_func(QV_FILE* f, QV_CLOSE_FUNC func, void* work);

// Bounds what one expression read from the record of top (a delayed node of init_parse) may
// hold: QV_EXPR_MAX_TOKENS tokens and QV_EXPR_MAX_BYTES bytes of input, for each top-level item
// (QV_BOUND_ITEM) or for the whole input (QV_BOUND_WHOLE). Past it the record is closed and the
// lists being read, and the sequence, end with the error "expression too large".
void set_read_bound(QV_SEXP* top, int bound);

// Realises s when it is delayed and returns it (for a generator, the node that replaces it). May
// wait for another task reading the same record. Needs the caller to be a task.
QV_SEXP* realize_sexp(QV_SEXP* s);
// Realises every delayed list in the value s (through pairs and error data), so that printing it
// afterwards reads no input. Generators are left to the printer (realising one twice would run
// it twice). Waits, like realize_sexp, for input that has not arrived yet.
void realize_whole(QV_SEXP* s);

// Reads the delayed parts of s, in reading order, as long as their input is already in the
// record's buffer up to a line end, without waiting for the peer or for another task reading the
// record; stops at the first part that is not at hand (and after a bounded number of tokens).
// A task that hands s on to another (a command to its relay thread) saves that task the waits
// for the reader.
void realize_at_hand(QV_SEXP* s);
// The same for the next item of the pending rest of a list (the rest of a record's top-level
// sequence: its next command): the item is read as far as it is at hand, and nothing after it.
// Reading a command that has arrived whole takes the parse lock once to begin with, where
// realising the rest and then its item would take it once for each.
void realize_item_at_hand(QV_SEXP* rest);

// The recursive parse lock.
void _xx_lock_parse(const char* file, int line);
void unlock_parse(const char* msg);
#define lock_parse() _xx_lock_parse(__FILE__, __LINE__)

// The stream of the record of s, or null.
STREAM* get_sexp_stream(QV_SEXP* s);
// 1 when the record of s is being read, 3 when s is not delayed, 4 for a list or quote delay,
// else the generator's check_func(df, key) or 5 without one.
int check_delay(QV_SEXP* s, int key);
// *st = the record's stream. A delayed node whose record is not busy: a generator gives 2 with
// *buf = its DELAY_FUNC (rooted in the caller's frame), a list or quote delay gives 4. Else 3.
int get_delay_info(STREAM** st, DELAY_FUNC** buf, QV_SEXP* s);

// Reading QV text held in memory (UTF-8), for tools and tests. The text is copied.
// The lazily read sequence of its items (a delayed node, as init_parse gives).
QV_SEXP* init_parse_text(const char* text, int len, const char* name);
// All items, realised: a proper list (nil for no items). len < 0: up to the terminating 0.
QV_SEXP* read_qv_items(const char* text, int len = -1, const char* name = "text");
// The first item, or nil; the rest is never read.
QV_SEXP* read_qv_item(const char* text, int len = -1, const char* name = "text");
