// The printer: writes an expression to a stream as QV text, in list notation or in tag notation
// (XML or HTML rules), so that the reader reads the same tree back wherever the notation can
// express it.
//
// Every node kind has a row of two print functions (pt_t): slot 0 list notation, slot 1 tag
// notation; delayed nodes are realised before their kind is read. Text is gathered in the stream
// layer's formatted-output batch and written in blocks; raw bytes bypass it. A failed write
// anywhere abandons the whole print at once: the batch is discarded, nothing more is written and
// the caller gets -1 with the error number. Printing recurses once per nesting level of lists;
// a value nested beyond PRINT_MAX_DEPTH levels (or a list whose tail never ends) is refused with
// ELOOP, so no value can overflow a task's stack, and it is refused before any byte of it goes
// out: a value larger than one batch is measured (a walk on the heap) before the batch is first
// written, so a reader never gets a cut text. The printer takes no lock of its own.
//
// What reads back: nil; proper lists in list notation (head attributes through the bracket form
// "[name field="value"]"); lists in XML tag notation whose head is a symbol with a valid tag
// name; symbols and strings (a '^' before an item outside a list makes the reader take that item
// in S-expression mode); strings of any content except that CR comes back as LF in list notation;
// integers with units; error values through the "%E" literal, also inside an error's data; raw
// bytes. Not: improper lists, floats beyond 16 decimal places, symbol names holding delimiters,
// functions, foreign pointers and environments (they read back as text).
#pragma once

#include <cstdint>
#include <string>

#include "lisp/sexp.h"
#include "stream/stream.h"

// Print flags.
constexpr int PF_XML = 0x1;        // tag notation, XML rules
constexpr int PF_HTML = 0x2;       // tag notation, HTML rules
constexpr int PF_NO_RAW = 0x10;    // raw bytes are not written: "]" follows their length
constexpr int PF_FREE_RAW = 0x20;  // a raw node forgets its bytes once written
constexpr int PF_LINES = 0x40;     // the value is a list of top-level items, one per line
constexpr int PF_PRETTY = 0x80;    // nested lists on new lines, indented one space per level
constexpr int PF_IN_LIST = 0x100;  // set by the printer inside a list: no '^', strings quoted
constexpr int PF_BARE = 0x200;     // no parentheses, nil prints nothing, strings as raw text
// The printed bytes may be held back to go out with the stream's next write (a reply to a command
// while more are queued); only e_print_sexp_framed looks at it.
constexpr int PF_HOLD = 0x400;

constexpr int PRINT_MAX_DEPTH = 4000;  // nesting levels printed
// The code of the error value given in place of a value too deep to print: the evaluator's
// nesting guard's, which the compact printer (Print) also gives for such a value.
constexpr uint32_t QVE_PRINT_TOO_DEEP = 0x80031601;

struct INDENT {
    uint16_t flags;  // bit 1: an item has already been printed at this level
    uint16_t ind;    // nesting depth
};

// Installs the printer where other modules call it (save's kind "vxlisp"); called by the
// reader's start-up (init_parse_system).
void init_printer();

// Prints s; 0, or -1 with the error number stored through err (when not null): 22 when the
// output batch cannot be set up, the stream's error number of a failed write, ELOOP when the
// value nests too deeply.
int e_print_sexp(STREAM* st, int* err, QV_SEXP* s, int flags);
int print_sexp(STREAM* st, QV_SEXP* s, int flags);
// The same between the texts before and after (either may be null), all in one batch, so that
// a short line goes out in one write. When the value fails to print, the two texts are still
// written, as separate writes around a failed print would have left them. With a serial number,
// every write first checks that st is still the stream of that number, and the print fails with
// 22 when it is not.
// A value too deep to print (ELOOP) writes nothing at all, the texts neither, so that the caller
// can print something in its place.
int e_print_sexp_framed(STREAM* st, int* err, QV_SEXP* s, int flags, const char* before,
                        const char* after, uint32_t serial = 0);

// The error value given in place of a value too deep to print, at pos's source position (none
// when pos is nil); func (ASCII) names the caller.
QV_SEXP* print_depth_error(QV_SEXP* pos, const char* func);

// 0 when no character of text is 0 to 32, '%', '\'', '(', ')' or '^' (no caller in the system).
int check_valid_string(const L_CHAR* text);

// The printed text of s as UTF-8, for tools and tests; empty when printing failed.
std::string print_sexp_text(QV_SEXP* s, int flags);
