// The lexer of QV text: source records and tokens.
//
// A source record (QV_FILE) holds everything about one stream (or generator) being read: the
// stream, its code method, a read buffer, one pushed-back character, the lexer state, the token
// text, the pending delayed nodes of the parser and the errors found so far. QV text mixes two
// syntaxes: tag mode (the default: start, end and empty tags with attributes, comments, CDATA,
// text words and numbers with units) and S-expression mode (entered by '(' or '^', left by '<' at
// its top level: atoms, strings, raw-byte literals, comments, the bracket form of symbols). The
// lexer decodes bytes with the record's code method, expands entities and numeric references,
// follows in-band code-method switches, counts lines and builds the node of every datum token
// itself (string, symbol, number with unit, raw bytes, error literal); vx_lex hands the parser
// (parser.h) one token at a time. Every record knows exactly three entities: "&lt;" ('<'),
// "&amp;" ('&') and "&quot;" (the apostrophe, 0x27); characters they and numeric references give
// carry the entity flag and never act as delimiters in words, atoms and strings.
//
// Records form one ring guarded by `lex_lock`, which also guards the closed bit and the close
// hook. At most one task reads a record at a time (the busy bit, set by the parser under the
// parse lock); the lexer itself takes no lock while it reads, and every field the collector marks
// is changed only with the memory lock held, so a collection can run while a record is read.
// Lock order: parse lock, then lex_lock, then the memory lock.
//
// Input from files and peers is bounded: a token holds at most QV_TOKEN_MAX characters and a
// raw-byte literal at most QV_RAW_MAX bytes; beyond that the token becomes an error value. A NUL
// character is never text (only raw-byte literals carry NUL bytes): each run of NULs is a token
// error on its line, and the token around it goes on.
#pragma once

#include <cstdint>

#include "base/lock.h"
#include "base/task.h"
#include "lisp/sexp.h"
#include "stream/stream.h"

constexpr int QV_RB_SIZE = 4096;           // read buffer of a record
constexpr int QV_TOKEN_MAX = 4 << 20;      // characters of one token
constexpr int32_t QV_RAW_MAX = 256 << 20;  // bytes of one raw-byte literal
constexpr int QV_SKIP_TRACK = 4096;        // levels whose mode a skipped region remembers
// One expression read from a peer or a server holds at most this many tokens and bytes of text
// (set_read_bound in parser.h); each element costs about 180 bytes once built (an integer in a
// list: the number, its pair and the pending rest), so one expression stays under about 200 MiB
// however long the peer goes on.
constexpr int64_t QV_EXPR_MAX_TOKENS = 1 << 20;
constexpr uint64_t QV_EXPR_MAX_BYTES = 64u << 20;
// What a token read from a bounded input is reckoned to cost once built: a node, its pair and
// the pending rest, and four bytes for each character of its text.
constexpr int64_t QV_TOKEN_COST = 176;
inline int64_t qv_token_cost(int chars) {
    return QV_TOKEN_COST + 4 * static_cast<int64_t>(chars);
}
// The expressions being read from all bounded inputs together (peers, servers, "http" replies)
// cost at most this much: the record whose token passes it is closed as for its own bound. The
// first QV_UNFINISHED_FREE of each expression never closes it, so a small command is read
// whatever the others hold.
constexpr int64_t QV_UNFINISHED_MAX = int64_t{256} << 20;
constexpr int64_t QV_UNFINISHED_FREE = int64_t{64} << 10;
constexpr int QV_BOUND_ITEM = 1;   // each top-level item of the input is bounded on its own
constexpr int QV_BOUND_WHOLE = 2;  // the whole input is one value: the bound covers all of it

// Record flags.
constexpr int32_t QVF_LINE_FIX = 0x1;           // lines are not counted
constexpr int32_t QVF_CLOSED = 0x2;             // input ended, read failed or record deleted
constexpr int32_t QVF_DROP_LF = 0x4;            // line breaks between tag words are dropped
constexpr int32_t QVF_DROP_SPACE = 0x8;         // spaces and tabs between tag words are dropped
constexpr int32_t QVF_HTML = 0x10;              // HTML rules
constexpr int32_t QVF_PLAIN = 0x20;             // plain text: no '(' ')' specials, no tag numbers
constexpr int32_t QVF_FIELD_EQ = 0x10000;       // '=' is a token (bracket form being read)
constexpr int32_t QVF_SEXP = 0x20000;           // S-expression mode
constexpr int32_t QVF_BUSY = 0x40000;           // a task is reading the record
constexpr int32_t QVF_KEEP_STREAM = 0x1000000;  // closing the record leaves the stream open
constexpr int32_t QVF_NEW = QVF_DROP_LF | QVF_DROP_SPACE;

// Tokens returned by vx_lex (and the internal ones of the tag layer).
enum : int {
    TK_CLOSED = -1,  // the record is closed
    TK_END = 0,      // end of input, or an error was recorded in lex_error
    TK_CANCEL = 3,
    TK_QUOTE = '\'',
    TK_OPEN = '(',
    TK_CLOSE = ')',
    TK_EQ = '=',
    TK_GT = '>',
    TK_LBRACKET = '[',
    TK_RBRACKET = ']',
    TK_QTEXT = 0x100,  // quoted attribute value
    TK_NAME = 0x200,   // attribute name or bare value
    TK_CL_CDATA = 0x302,
    TK_CL_PI = 0x303,
    TK_CL_BANG = 0x304,
    TK_CL_BRACKET = 0x305,
    TK_CL_EMPTY = 0x307,
    TK_CL_COMMENT = 0x308,
    TK_START = 0x400,
    TK_START_ATTR = 0x401,  // start tag whose attributes follow
    TK_CDATA = 0x402,
    TK_PI = 0x403,
    TK_BANG = 0x404,
    TK_BRACKET = 0x405,
    TK_END_TAG = 0x406,
    TK_EMPTY = 0x407,
    TK_COMMENT = 0x408,
    TK_DATUM = 0x500,
    TK_ERROR = 0x600,  // error literal
};

// Error codes of the reader.
constexpr uint32_t QVE_READ_FAILED = 0x80010101;
constexpr uint32_t QVE_UNTERMINATED = 0x80020507;
constexpr uint32_t QVE_BAD_ENTITY = 0x80020508;
constexpr uint32_t QVE_FILE_END = 0x80021004;
constexpr uint32_t QVE_TOKEN = 0x80021005;
constexpr uint32_t QVE_BAD_ERROR_LITERAL = 0x80021003;
constexpr uint32_t QVE_TOO_MANY_CLOSE = 0x80020301;
constexpr uint32_t QVE_NO_CLOSE = 0x80020402;
constexpr uint32_t QVE_TAG_MISMATCH = 0x80021306;
constexpr uint32_t QVE_CANCEL = 0x80011406;
constexpr uint32_t QVE_CANCEL_EAGER = 0x80011404;

typedef void (*QV_FILE_HOOK)(QV_FILE* f);
// Close hook: called with (1, work) when the record closes, (2, work) whenever it is marked.
typedef void (*QV_CLOSE_FUNC)(int why, void* work);

struct qv_file {
    QV_FILE* next;  // ring of all records, under lex_lock
    QV_FILE* prev;
    L_CHAR* name;
    L_CHAR* site;
    L_CHAR* comment;
    STREAM* st;          // null for generator records and once closed
    uint32_t st_serial;  // the stream's serial when the record took it; 0 for an unlisted stream
    CODE_METHOD* cm;
    void* cm_work;
    uint8_t rb[QV_RB_SIZE];
    uint16_t rb_len;
    uint16_t rb_ptr;
    uint32_t rb_time;  // time of the last read (atomic: the interpreter tick reads it)
    // What others may see of the read buffer (GetCPUStatus), under lex_lock: a copy the lexer
    // makes as it fills the buffer, and the position it had read to when it last asked for more.
    // The buffer itself belongs to the reading task alone and is read and written without a lock.
    uint8_t shown_rb[QV_RB_SIZE];
    uint16_t shown_len;
    uint16_t shown_ptr;
    L_CHAR buf;  // pushed-back character, 0 for none
    int buf_ent_flag;
    int error;      // -257 once the lexer was called on the closed record
    int mode;       // lexer state, -14 to 5
    int32_t flags;  // QVF_*; read and changed atomically
    int line;
    int token_head_line;
    L_CHAR* yytext;  // token text (collected block), 0-terminated
    int yylen;
    int yytextlen;       // capacity
    QV_SEXP* sexp;       // node of the last datum or tag token
    QV_DELAY* stack;     // pending delayed nodes, the top first
    QV_SEXP* lex_error;  // errors found by the lexer, newest first
    QV_FILE_HOOK func_11;
    QV_FILE_HOOK func_12;
    QV_FILE_HOOK func_14;
    void* work;
    QV_CLOSE_FUNC close_func;
    void* close_work;
    // The reader's own bookkeeping.
    int stack_depth;      // entries on `stack`
    int sleepers;         // tasks waiting for the busy bit to clear (parse lock)
    TKEY busy_tid;        // the task reading the record while busy
    int token_over;       // the current token outgrew QV_TOKEN_MAX
    int skip;             // open levels of a region skipped for its depth
    uint8_t* skip_modes;  // mode of each skipped level (collected block of QV_SKIP_TRACK bytes)
    int nul_run;          // the last character read was a NUL, already reported
    int atom_ref;         // where in the atom being read its first referenced character is, or -1
    // The bound on one expression read from a peer (set_read_bound in parser.h).
    int bound;             // QV_BOUND_*: what one bound covers; 0: the input is not bounded
    int over_bound;        // the bound was passed: the record was closed for it
    int64_t bound_tokens;  // tokens of the expression being read
    uint64_t bound_from;   // bytes of the input read before the expression began
    uint64_t rb_total;     // bytes taken from the stream so far
    // The cost (qv_token_cost) of the expression being read, counted in the total of all
    // bounded inputs until it is complete or the record closes; and of all tokens read so far.
    int64_t bound_cost;
    uint64_t read_cost;
    int64_t attr_cost;  // of the attributes of the tag token being read
};

extern SEM lex_lock;
extern QV_FILE* vx_file_root;  // one record of the ring, null when empty

// The cost of the expressions being read from all bounded inputs (QV_UNFINISHED_MAX).
int64_t unfinished_cost();
// The expression being read from f no longer counts in that total: it is complete (the parser
// calls this), or the record closes.
void release_unfinished(QV_FILE* f);
// The cost of all tokens read from the bounded record f so far: the difference of two readings
// is what was read in between.
uint64_t read_cost(QV_FILE* f);

// Creates lex_lock (once); called by init_parse_system.
void init_lexer();
// A new record in the lexer's start state (flags QVF_NEW, line 1, state 0), rooted in the
// caller's frame; not yet linked into the ring.
QV_FILE* new_qv_file(STREAM* st, const L_CHAR* name, const L_CHAR* site, const L_CHAR* comment);

// Tokens.
int vx_lex(QV_FILE* f);
int __vx_lex(QV_FILE* f);
int _vx_lex(QV_FILE* f, int ent_mode);

// Characters: the next character (0 at the end) with its flag, and one push-back. The flag is
// QV_CH_ENTITY for a character given by a reference; a NUL character in the input, which is no
// character of QV text, comes as QV_NUL_MARK with the flag QV_CH_NUL, so that it is told from the
// end and reported where it stands.
constexpr int QV_CH_ENTITY = 1;
constexpr int QV_CH_NUL = 2;
constexpr L_CHAR QV_NUL_MARK = 0xFFFFFFFFu;
L_CHAR get_1char(QV_FILE* f, int* flag);
void put_1char(QV_FILE* f, L_CHAR c, int flag);
// Raw bytes straight from the read buffer and the stream; the number read (short at the end).
int get_nchar(QV_FILE* f, uint8_t* out, int n);

// The record of node s takes code method cm (its stream too); from the task reading the record,
// or while nobody reads it.
void qv_set_cm(QV_SEXP* s, CODE_METHOD* cm);

// Ring membership and closing.
void vx_file_insert(QV_FILE* f);
void vx_file_delete(QV_FILE* f);
// Closes a record no root reaches, during a collection (no lock taken); -1 while it is busy.
int _vx_file_delete(QV_FILE* f);

// 0 when text may stand as a unit of a tag-mode number, -1 when it holds '\'', '(', ')', '<',
// '>', '[' or ']' or ends with '/'.
int check_unit_string(const L_CHAR* str);
// True while the lexer is inside a tag comment ("<!-- ... -->").
bool in_tag_comment(QV_FILE* f);
// True while no token is under way: the lexer is idle, or in a ';' comment, which ends idle.
bool between_items(QV_FILE* f);
// 1 when symbol sym names an HTML empty element.
int check_html_emp(QV_SEXP* sym);

// Record flags, line and token helpers (no caller in the system; kept with the module).
void set_parseflags(QV_FILE* f, int32_t set, int32_t clear);
void set_file_line(QV_FILE* f, int line);
void pt_line(QV_FILE* f);
QV_SEXP* get_x_symbol(QV_FILE* f);
void test_mem(const char* msg);

// Atomic access to a record's flags.
int32_t qvf_flags(QV_FILE* f);
void qvf_set(QV_FILE* f, int32_t bits);
void qvf_clear(QV_FILE* f, int32_t bits);

// Appends an error value to the record's lex_error (function "lex", the token's line).
void lex_error_add(QV_FILE* f, uint32_t code, QV_SEXP* data);
// The reader's node marking of a record (installed as the collector's reader hook).
void gc_qv_file(QV_FILE* f);
// After a collection, with the world running: a record whose stream has been closed by someone
// else forgets it (so the address can never be taken for a new stream's) and its close hook is
// called with 1 and cleared. Records being read or closed are left to their readers.
void vx_file_forget_gone_streams();
