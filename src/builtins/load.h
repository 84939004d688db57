// Load: reads a file into the running system, by load type: raw 4096-byte blocks as a lazy list,
// the file's QV expressions as a lazily parsed list, its text cut at a terminator pattern as a
// lazy list of strings, an iCalendar reading, or the value of its expressions evaluated in order.
//
// A lazy result is produced on demand: the list's tail is a generator delay that reads the next
// piece from the still open file when somebody first looks at it. Nothing else keeps the pieces,
// so a file of any size can be walked or copied (Save of type raw) in flat memory: the pieces
// already passed become collectable. A lazy load lives in a DELAY_LOAD_T, chained in df_list;
// the generator closes the file at its end, and the collector's special pass closes the file of
// every load no lazy list refers to any more.
//
// Registration (privileged environment, order Applicative, form length with the head): Load 2.
#pragma once

#include <cstdint>

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "longchar/regex.h"
#include "stream/stream.h"

// Load types, the numbers load_file takes.
enum : int {
    LOAD_RAW = 0,
    LOAD_QV = 1,
    LOAD_EXEC = 2,
    LOAD_TEXT = 3,
    LOAD_HTML = 4,
    LOAD_TEXT_ESCAPE = 5,
    LOAD_ICALENDAR = 6,
};

constexpr int LOAD_BLOCK = 4096;                  // bytes of one raw block
constexpr uint32_t QVE_CANNOT_OPEN = 0x80040a06;  // "cannot open the file"
constexpr uint32_t QVE_CANNOT_READ = 0x80010101;  // "cannot read the file"

// Close function of a load: (1, work) when the load ends or is abandoned, (2, work) while the
// collector marks the load, so that it marks what work holds.
typedef void (*LOAD_CLOSE_FUNC)(int op, void* work);

// One lazy load in progress: a collected block marked by qv_load_gc.
struct DELAY_LOAD_T {
    DELAY_FUNC h;  // qv_delay_load or qv_delay_load_text, qv_load_gc, no check function
    STREAM* st;    // the open file; null once closed
    void* work;
    LOAD_CLOSE_FUNC close_func;
    DELAY_LOAD_T* next;  // df_list
    AUTOMATON* term_a;   // terminator of a text load, null for none
    L_CHAR* backbuffer;  // characters read ahead behind a terminator match (malloc'ed)
    int32_t bb_size;
    int32_t bb_ptr;   // the back buffer is empty when bb_size <= bb_ptr
    int escapeflag;   // non-zero: "&cx" escapes are decoded in every record
    QV_FILE* file;    // the source record of the load's delayed nodes, made with the first one
    CODE_METHOD* cm;  // decoder of a text load
    void* cm_work;
    int32_t rb_len;  // bytes in rb
    int32_t rb_ptr;  // next byte of rb to decode
    uint8_t rb[LOAD_BLOCK];
};

// The result of one terminator test (en_state_checker).
enum : int { SC_MATCH = 0, SC_NO_MATCH = 1, SC_MORE = 2 };

// The terminator matcher of one text record.
struct STATE_CHECKER {
    AUTOMATON* a;
    int stptr;   // candidate start of the terminator in the record's text
    int endptr;  // just behind the match, -1 until one is found
    // Where the run from the current start stopped for more text: its state (null when none),
    // the text it has read and the end of the longest match on its way. The next test goes on
    // from there, so a long record costs time in proportion to its length.
    A_STATE* state;
    int pos;
    int best;
    A_STATE* start;  // the automaton's start state, found on the first test
};

// (Load:option=TYPE:format.text=on:encoding=NAME:terminate=REGEX name).
QV_SEXP* qv_Load(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);
// The loader: form is the call form (its source record and line feed the error values and the
// file search), flags are reader flags for the qv types, func and work the load's close function.
// term_a belongs to the load from here on (freed when the type does not use it). The close
// function is called with 1 exactly once: before an error is returned, or when the load ends.
QV_SEXP* load_file(QVISP_ENV* env, QV_SEXP* form, int type, const L_CHAR* filename,
                   CODE_METHOD* encode, AUTOMATON* term_a, int flags, LOAD_CLOSE_FUNC func,
                   void* work);

// The generators: each turns the delayed node d in place into the next pair or into nil.
QV_SEXP* qv_delay_load(QV_SEXP* d);
QV_SEXP* qv_delay_load_text(QV_SEXP* d);

// One terminator test over the record text data[0, len): SC_MATCH with sc->endptr set and
// sc->stptr at the match, SC_NO_MATCH, or SC_MORE when a match may still grow or complete.
int en_state_checker(STATE_CHECKER* sc, const L_CHAR* data, int len);
// Decodes the "&cx" escapes of the text in place; returns the new length.
int escape_handling(L_CHAR* text, int len);
// Applies an encoding declaration (a "?xml" or "?qv" element with `encoding`) found among the
// first two top-level elements of a loaded list: 1 when one was applied, else 0.
int set_encoding(QV_SEXP* list);

// Collector hooks: the mark function of a load, and the special pass that closes the loads no
// collection reached.
void qv_load_gc(DELAY_FUNC* df);
void sp_gc_load();

// Lazy loads in progress (df_list), for tests and reports.
int load_count();

// Creates df_lock and the collector hooks (once) and binds Load in env.
void init_Load(QVISP_ENV* env);
