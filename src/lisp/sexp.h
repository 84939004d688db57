// Expression nodes of the QV language: every value, every piece of parsed source text and every
// failure is a QV_SEXP.
//
// A node is a block of the collected heap (heap.h). Every kind begins with QV_SEXP_HEADER, whose
// `type` selects the kind; a null reference counts as nil. Nobody frees nodes: a node lives while
// a root frame or a global root reaches it, and every constructor registers its node in the
// calling thread's top frame. Texts hanging off nodes (names, strings, units, error texts,
// attribute cells) are collected blocks of their own; constructors copy the texts they are given.
//
// Writes into a node after it was handed out (setting attributes, turning a node into another
// kind, copying a node over another) happen under the memory lock, so they never overlap a
// collector's marking. A delayed node is rewritten in place when it is realised: its `type` is
// published last with a release store and read with an acquire load by get_type.
//
// Failures of the language are error nodes returned as ordinary values; their code is 0x80, then a
// layer byte, a class byte and a number byte.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/endian.h"
#include "lisp/heap.h"

struct qv_file;
typedef qv_file QV_FILE;  // source record of the reader
union qv_sexp;
typedef qv_sexp QV_SEXP;
union qvisp_env;
typedef qvisp_env QVISP_ENV;  // environments (env.h)
struct unit_env;
typedef unit_env UNIT_ENV;  // unit environments of the unit layer

// Node kinds: the value of the header's `type`.
enum : int32_t {
    QVT_NIL = 0,
    QVT_ERROR = 1,
    QVT_PAIR = 2,
    QVT_SYMBOL = 3,
    QVT_STRING = 4,
    QVT_INTEGER = 5,
    QVT_FLOAT = 6,
    QVT_FUNC = 7,
    QVT_DELAY = 8,
    QVT_PTR = 9,
    QVT_RAW = 10,
    QVT_ENV = 11,
};
constexpr int QVT_COUNT = 12;

// Node flag set by the reader on strings and symbols read from tag text.
constexpr int32_t SEXP_FLAG_TAG = 1;

// Error codes raised by the language core.
constexpr uint32_t QVE_END_OF_INPUT = 0x80010101;
constexpr uint32_t QVE_TYPE_MISMATCH = 0x80030806;
constexpr uint32_t QVE_UNLIKE_DIMENSIONS = 0x80030809;
constexpr uint32_t QVE_DIVISION_BY_ZERO = 0x80031508;
constexpr uint32_t QVE_INVALID_PARAMETER = 0x80040503;
constexpr uint32_t QVE_NO_OBJECT = 0x8004070e;
constexpr uint32_t QVE_NO_MEMORY = 0x80031602;  // a value too large for the memory left

struct qv_header {
    QV_FILE* file;  // source record the node was read from, null when made by code
    int32_t line;   // line in that source, 0 when none
    int32_t type;   // node kind
    int32_t flags;  // 0 when made
};
typedef qv_header QV_SEXP_HEADER;

struct qv_error {
    QV_SEXP_HEADER h;
    L_CHAR* site;      // site of the failing expression
    L_CHAR* filename;  // name of its source
    int32_t line;
    L_CHAR* func;  // name of the failing operation
    uint32_t code;
    QV_SEXP* data;  // detail expression, may be nil
};
typedef qv_error QV_ERROR;

struct qv_pair {
    QV_SEXP_HEADER h;
    QV_SEXP* car;
    QV_SEXP* cdr;
};
typedef qv_pair QV_PAIR;

// One attribute of a symbol; a list searched from the front, the first cell of a name wins.
struct qv_sym_field {
    qv_sym_field* next;
    L_CHAR* name;
    L_CHAR* data;
};
typedef qv_sym_field QV_SYM_FIELD;

struct qv_symbol {
    QV_SEXP_HEADER h;
    L_CHAR* data;  // name
    QV_SYM_FIELD* field;
    // The evaluator's look-up cache (env.h): the binding found from the environment with id
    // `lk_env` while it held `lk_nos` bindings, at structure version `lk_version`. Written and
    // read as a sequence lock (`lk_seq` odd while written).
    uint32_t lk_seq;
    uint32_t lk_nos;
    uint64_t lk_env;
    struct element* lk_cell;
    uint64_t lk_version;
};
typedef qv_symbol QV_SYMBOL;

struct qv_string {
    QV_SEXP_HEADER h;
    L_CHAR* data;  // never null; the empty string holds only the terminator
};
typedef qv_string QV_STRING;

struct qv_integer {
    QV_SEXP_HEADER h;
    L_CHAR* unit;  // null for none
    int64_t data;
};
typedef qv_integer QV_INTEGER;

struct qv_float {
    QV_SEXP_HEADER h;
    L_CHAR* unit;
    double data;
};
typedef qv_float QV_FLOAT;

// A native built-in: (calling environment, call form, keyword environment, attribute list of the
// head symbol, special environment) -> value or error value.
typedef QV_SEXP* (*QV_PRIM)(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                            QVISP_ENV* sp_env);

enum : uint8_t { FUNC_PRIM = 1, FUNC_LAMBDA = 2 };
enum : uint8_t { FUNC_NORMAL = 0, FUNC_APPLICATIVE = 1, FUNC_APPLICATIVE_ELEMENT = 2 };
constexpr int FUNC_NO_MAX = -1;  // `max` with all bits set: no upper limit

struct qv_func {
    QV_SEXP_HEADER h;
    uint8_t type;  // FUNC_PRIM or FUNC_LAMBDA
    uint8_t order;
    int8_t min;  // allowed length of the whole call form, head included
    int8_t max;
    uint8_t privileged;    // 1 for a primitive of the privileged top environment (env.h)
    uint8_t keeps_no_env;  // 1 for a primitive that keeps no reference to its calling environment
    QVISP_ENV* args_env;   // keyword environment
    QVISP_ENV* sp_env;     // special environment, null for plain primitives
    QV_PRIM prim;
    QV_SEXP* l_params;
    QV_SEXP* l_body;
    // A primitive's shortcut for two operands that are plain numbers (operators.h): the value the
    // primitive would give them, or null for any other operands. Null for most primitives.
    QV_SEXP* (*plain2)(QV_SEXP* left, QV_SEXP* right);
};
typedef qv_func QV_FUNC;

// Head of a generator's state block; the generator's own state follows in the same block.
struct delay_func {
    QV_SEXP* (*func)(QV_SEXP* s);                // realises s (in place) and returns it
    void (*gc_func)(delay_func* df);             // marks the state block
    int (*check_func)(delay_func* df, int key);  // state queries, may be null
};
typedef delay_func DELAY_FUNC;

enum : int32_t { DELAY_LIST = 1, DELAY_QUOTE = 2, DELAY_GENERATOR = 3 };

struct qv_delay {
    QV_SEXP_HEADER h;
    int32_t dtype;
    union {
        struct {
            QV_FILE* f;
            QV_SEXP* tag;  // the node being read
            int32_t mode;
        } file;
        DELAY_FUNC* func;
    } d;
    qv_delay* next;  // next delayed node of the same source record
};
typedef qv_delay QV_DELAY;

struct qv_ptr {
    QV_SEXP_HEADER h;
    void* ptr;   // object the language does not know
    GC_FUNC gc;  // its mark function, may be null
};
typedef qv_ptr QV_PTR;

struct qv_raw {
    QV_SEXP_HEADER h;
    int32_t size;
    uint8_t* data;  // collected block
};
typedef qv_raw QV_RAW;

struct qv_qvisp_env {
    QV_SEXP_HEADER h;
    QVISP_ENV* data;
};
typedef qv_qvisp_env QV_QVISP_ENV;

union qv_sexp {
    QV_SEXP_HEADER h;
    QV_ERROR error;
    QV_PAIR pair;
    QV_SYMBOL symbol;
    QV_STRING string;
    QV_INTEGER integer;
    QV_FLOAT floating;
    QV_FUNC func;
    QV_DELAY delay;
    QV_PTR ptr;
    QV_RAW raw;
    QV_QVISP_ENV env;
};

// The reader (lexer and lazy parser) owns the source records and the realisation of delayed
// nodes; it installs these operations when it starts. Before that no source record and no
// delayed node exists, so nothing here needs them. gc_file runs inside a collection; file_site,
// file_name and take_sexp are called with the memory lock held and take no lock; realize and
// fix_line are called with no language lock held.
struct QV_READER_HOOKS {
    void (*gc_file)(QV_FILE* f);               // marks a source record and everything it holds
    L_CHAR* (*file_site)(QV_FILE* f);          // the record's site text (shared), may be null
    L_CHAR* (*file_name)(QV_FILE* f);          // the record's name, may be null
    int (*take_sexp)(QV_FILE* f, QV_SEXP* s);  // s becomes the record's current node; returns
                                               // the line on which the current token began
    QV_SEXP* (*realize)(QV_SEXP* s);           // realises a delayed node in place (may block)
    void (*fix_line)(QV_FILE* f, int line);    // sets the record's current line and stops line
                                               // counting (set_line_fix); may be null
    void (*after_collection)();                // run after each collection, outside it; may be null
};
void set_reader_hooks(const QV_READER_HOOKS* hooks);
const QV_READER_HOOKS* get_reader_hooks();

// The kind as stored, without realising a delayed node; 0 for null.
// The kind word as stored (a delay stays a delay); published with a release store.
inline int sexp_raw_type(const QV_SEXP* s) {
    if (!s) return QVT_NIL;
    return std::atomic_ref<int32_t>(const_cast<int32_t&>(s->h.type))
        .load(std::memory_order_acquire);
}

// Node allocation. A type outside 0..11 is a broken invariant.
int get_sexp_size(int type);
// Zeroed node of the type, registered in the caller's top frame. With a record: the record's
// position (its current token's line), and the node becomes the record's current node.
QV_SEXP* xx_get_sexp(QV_FILE* file, int type, const char* src_file, int src_line);
// The same with the position of `from`, else of the record.
QV_SEXP* xx_get_sexp_inh(QV_FILE* file, int type, QV_SEXP* from, const char* src_file,
                         int src_line);
#define get_sexp(file, type) xx_get_sexp((file), (type), __FILE__, __LINE__)
#define get_sexp_inh(file, type, from) xx_get_sexp_inh((file), (type), (from), __FILE__, __LINE__)
// Turn an existing node in place into another kind with zeroed contents (realising a delay).
void gc_vx_sexp(void* p);  // the mark function of nodes (collect.h)
// A zeroed node of kind `type` with the record T, rooted in the calling thread's top frame: the
// constructors' fast path (no source record, line 0), inside a heap section the caller holds.
template <class T>
inline QV_SEXP* new_sexp_node(int type) {
    auto* s = static_cast<QV_SEXP*>(heap_alloc_in(sizeof(T), gc_vx_sexp));
    std::atomic_ref<int32_t>(s->h.type).store(type, std::memory_order_release);
    return s;
}
QV_SEXP* set_sexp(QV_FILE* file, int type, QV_SEXP* s);
QV_SEXP* set_sexp_inh(QV_FILE* file, int type, QV_SEXP* s, QV_SEXP* from);
// Copies src over dst in place; a null src makes dst nil.
void over_write_sexp(QV_SEXP* dst, QV_SEXP* src);

// Constructors. Texts are copied; a null string text gives the empty string.
QV_SEXP* get_symbol(const L_CHAR* name);
QV_SEXP* n_get_symbol(const char* cstr);
QV_SEXP* get_string(const L_CHAR* text);
QV_SEXP* n_get_string(const char* cstr);
// A string that takes over a collected text (not copied); the text is rooted until the node is.
QV_SEXP* get_string_set_data(L_CHAR* text);
QV_SEXP* get_integer(int64_t value, const L_CHAR* unit);
QV_SEXP* n_get_integer(int32_t value, const char* unit);
QV_SEXP* get_floating(double value, const L_CHAR* unit);
QV_SEXP* n_get_floating(double value, const char* unit);
QV_SEXP* get_func_prim(QV_PRIM prim, int order, QVISP_ENV* args_env, int min, int max);
// A collected copy of the text s; null for null.
L_CHAR* copy_ltext(const L_CHAR* s);
// A chain of n collected attribute cells holding the names and data of fields[0..n-1], in order.
QV_SYM_FIELD* new_sym_fields(const QV_SYM_FIELD* fields, size_t n);
// A primitive's keyword environment is one of the system's built-ins: it is marked protected
// (env_protect in env.h), so that code without privilege cannot rebind the keywords that
// privileged callers of the primitive will meet.
QV_SEXP* get_func_prim_sp(QV_PRIM prim, int order, QVISP_ENV* args_env, QVISP_ENV* sp_env, int min,
                          int max);
// Error value: site shared with the record (else a new empty text), filename a copy of the
// record's name (else empty), func a copy; the error node itself has no source record.
QV_SEXP* get_error(QV_FILE* file, int line, uint32_t code, const L_CHAR* func, QV_SEXP* data);
QV_SEXP* get_error_line(QV_SEXP* err, int line);
QV_SEXP* get_ptr(void* ptr, GC_FUNC gc);
QV_SEXP* get_raw(const void* data, int32_t size);
QV_SEXP* get_raw_set_data(void* data, int32_t size);
QV_SEXP* get_env(QVISP_ENV* env);
// Pair with the position of a, or of b when a has none.
QV_SEXP* cons(QV_SEXP* a, QV_SEXP* b);
// Pair with the position of b.
QV_SEXP* cons_inh_2(QV_SEXP* a, QV_SEXP* b);
// Field stores into a pair: inside a heap section, because a collection marking on another
// thread may be reading the same field (a store outside any section races with the marker).
inline void set_car(QV_SEXP* p, QV_SEXP* v) {
    HeapSection hs;
    p->pair.car = v;
}
inline void set_cdr(QV_SEXP* p, QV_SEXP* v) {
    HeapSection hs;
    p->pair.cdr = v;
}
QV_SEXP* inherit(QV_SEXP* dst, QV_SEXP* src);

// Inspection.
// The kind of s; a delayed node is realised first (get_type_delayed).
int get_type_delayed(QV_SEXP* s);
inline int get_type(QV_SEXP* s) {
    int t = sexp_raw_type(s);
    return t != QVT_DELAY ? t : get_type_delayed(s);
}
int get_type_sexp(QV_SEXP* s);
int curret_check(QV_SEXP* s);
// Structural comparison: -1 when the kinds differ or the trees differ below the top; nil 0;
// symbols 0 or -1; strings -1, 0 or 1. Integers and floats compare by value then unit, raw
// nodes by bytes, every other kind by identity.
int cmp_sexp(QV_SEXP* a, QV_SEXP* b);
// Releases a node and its own text at once; delays and environments cannot be released.
void free_sexp(QV_SEXP* s);
