// The iCalendar reader: a stream of calendar content lines becomes a lazily produced QV list.
//
// A component (the lines from "BEGIN:NAME" to its "END") becomes a list headed by the symbol
// NAME whose further items are read only when a consumer walks to them: its rest is a generator
// delay (parser.h) realised by qvcal_load. A property line "NAME;P=V;Q=W:value" becomes the
// two-item list (NAME "value") whose head symbol carries the parameters as attributes (the last
// parameter first). "END" ends the innermost open component whatever name it gives.
//
// Text: lines end in CR, LF or CRLF; a line break followed by a space or a tab is a fold and
// vanishes, wherever it falls (names, parameters, values); blank lines between content lines are
// skipped. In names, parameters and values a backslash takes the next character: \n is a line
// feed, \t a tab, any other character stands for itself (\, gives a comma, \\ one backslash). A
// parameter value may be quoted with double quotes, inside which ';' and ':' are plain text; the
// quotes themselves are dropped.
//
// Reading order: realising the pending rest of a component first reads every component opened
// inside it to its END, so the items of a list always follow the lines in order, whichever
// pending node a consumer asks for first. That reading is a loop over the open components, never
// a recursion, and the components open at once are bounded by QVCAL_MAX_DEPTH.
//
// Failures are items, all with the code QVE_ICALENDAR, and each ends the reading (the stream is
// closed; every open component gets the error as its last item, so a consumer at any level sees
// it): a BEGIN or END line with a parameter, a line that does not start with a name ended by ':'
// or ';' (a blank first line, the end of input inside a component), a content line longer than
// QVCAL_LINE_MAX characters, nesting deeper than QVCAL_MAX_DEPTH, and a failed read.
//
// The stream belongs to the reader from get_cal on: it is closed when the outermost component
// ends, after a first line that is a property or an END, on a failure, or by the collector when
// no node of the reader is reachable any more.
//
// Concurrency: any number of tasks may realise the pending nodes of one reader. All of them
// belong to one source record of the parser, whose busy mark lets one task at a time run the
// generator; the others sleep on the record and then find their node realised. Pending nodes are
// rewritten in place under the parse lock and keep the record as their source, so a task asleep
// on it keeps it alive through the node it waits for.
#pragma once

#include <cstdint>
#include <vector>

#include "lisp/sexp.h"
#include "longchar/longchar.h"
#include "stream/stream.h"

constexpr uint32_t QVE_ICALENDAR = 0x80040505;
constexpr int QVCAL_BUFFER = 1000;       // bytes read from the stream at a time
constexpr int QVCAL_LINE_MAX = 1 << 20;  // characters of one content line, folds included
constexpr int QVCAL_MAX_DEPTH = 1000;    // components open at once

// One open component: the delayed node that stands for its items not read yet. A collected
// block marked by gc_qv_cal_stack; the innermost component is first.
struct qv_cal_stack {
    qv_cal_stack* next;
    QV_SEXP* delay;
};
typedef qv_cal_stack QV_CAL_STACK;

// The reader's state, a collected block marked by qvcal_gc through every pending node.
struct qv_cal {
    DELAY_FUNC h;  // qvcal_load, qvcal_gc, no check function
    STREAM* st;    // null once the reading has ended
    CODE_METHOD* cm;
    void* cm_work;
    unsigned char buffer[QVCAL_BUFFER];
    int buffer_len;  // bytes in buffer
    int bptr;        // next byte to decode
    L_CHAR push_chr;
    int push_chr_flag;
    QV_CAL_STACK* stack;  // open components, innermost first
    int depth;            // entries of stack
    int read_state;  // 1 while input may follow, 0 after its end, else the failed read's result
    int line_len;    // characters taken by the terms of the current content line
    QV_FILE* file;   // the source record of the reader's nodes, made with the first one
};
typedef qv_cal QV_CAL;

// Starts reading stream st with code method cm (null: UTF-8) and returns the first item: a
// component (NAME . pending), a property, nil for a first line END, or an error value.
QV_SEXP* get_cal(STREAM* st, CODE_METHOD* cm);

// The generator: realises the reader's delayed node s in place and returns it.
QV_SEXP* qvcal_load(QV_SEXP* s);
// Mark functions of the reader's state and of its open components.
void qvcal_gc(DELAY_FUNC* df);
void gc_qv_cal_stack(void* p);

// The reading steps, for the reader's own use and its tests. All run in the reading task.
// One character: 1 with *c set, 0 at the end of input, negative after a failed read (the end and
// a failure are reported again on every later call).
int qvcal_read(QV_CAL* cal, L_CHAR* c);
// Pushes back one character; a second one before it is read again is a broken invariant.
void qvcal_push(QV_CAL* cal, L_CHAR c);

// Results of get_term besides the index of the terminator.
constexpr int QVCAL_TERM_END = -1;       // the end of input came first
constexpr int QVCAL_TERM_FAILED = -2;    // a read failed
constexpr int QVCAL_TERM_TOO_LONG = -3;  // the content line passed QVCAL_LINE_MAX characters
// Collects characters into text (zero-terminated) up to one of the characters of terms (ASCII;
// '\n' stands for any line break). Returns the terminator's index in terms or a QVCAL_TERM_
// value; text holds what was read before it. With quoted set, double quotes delimit plain text.
int get_term(QV_CAL* cal, const char* terms, bool quoted, std::vector<L_CHAR>& text);

// Statuses of get_cal_line.
constexpr int QVCAL_LINE_NONE = 0;  // the line does not start with a name ended by ':' or ';'
constexpr int QVCAL_LINE_BEGIN = 1;
constexpr int QVCAL_LINE_END = 2;
constexpr int QVCAL_LINE_PROPERTY = 3;
constexpr int QVCAL_LINE_ERROR = -1;
// Reads one content line: BEGIN and END give the component's name symbol in *x, a property its
// item, an error its error value; QVCAL_LINE_NONE leaves *x null.
int get_cal_line(QV_CAL* cal, QV_SEXP** x);

// Results of get_cal_component.
constexpr int QVCAL_ITEM = 0;    // *item is the next item (a BEGIN pushed its component)
constexpr int QVCAL_CLOSE = 1;   // END: the innermost component ends (or, none open, nil)
constexpr int QVCAL_FAILED = 2;  // *item is an error value and the reading has ended
// Reads the next item; ends the reading where the line requires it.
int get_cal_component(QV_CAL* cal, QV_SEXP** item);
