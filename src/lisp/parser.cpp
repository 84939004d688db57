// The lazy parser: the parse lock, realisation of delayed nodes, the list-building steps, error
// literals, generators, delayed-node inspection and the reader's hooks into the collector.
//
// A list-building step pops the top pending node of the record's stack and rewrites it in place
// with the parse lock held: its body is written first and its type published last, so a task that
// sees the new type sees the whole node. The steps need no memory lock: a collection takes the
// parse lock before it stops the world, so none runs during a step, and the record's stack is
// changed only by the task reading it (the busy bit keeps every other reader off). Taking the
// memory lock as well would make every token pass through a second lock all tasks share.
#include "lisp/parser.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "base/gvdump.h"
#include "base/panic.h"
#include "base/task.h"
#include "lisp/collect.h"
#include "lisp/gchooks.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "longchar/codemethod.h"
#include "stream/string_stream.h"

SEM parse_lock;
std::atomic<TKEY> parse_lock_task{0};
int parse_lock_cnt;

namespace {

std::atomic<const L_CHAR* (*)()> site_hook{nullptr};

constexpr L_CHAR EMPTY[1] = {0};
// How far realize_at_hand reads ahead: a larger or deeper command is left to whoever reads it
// next, so that a long document sent as one command is not held whole by the reader.
constexpr int AT_HAND_TOKENS = 256;
constexpr int AT_HAND_DEPTH = 32;
constexpr L_CHAR PARSER[] = {'p', 'a', 'r', 's', 'e', 'r', 0};
constexpr L_CHAR QUOTE[] = {'q', 'u', 'o', 't', 'e', 0};

TKEY busy_reader(QV_FILE* f) {
    return std::atomic_ref<TKEY>(f->busy_tid).load(std::memory_order_relaxed);
}

void set_busy(QV_FILE* f, TKEY tid) {
    std::atomic_ref<TKEY>(f->busy_tid).store(tid, std::memory_order_relaxed);
    if (tid)
        qvf_set(f, QVF_BUSY);
    else
        qvf_clear(f, QVF_BUSY);
}

// The record a delayed node belongs to.
QV_FILE* record_of(QV_SEXP* s) {
    if (s->delay.dtype == DELAY_LIST || s->delay.dtype == DELAY_QUOTE) return s->delay.d.file.f;
    return s->h.file;
}

void wake(QV_FILE* f) {
    if (f && f->sleepers) wakeup_task(f);
}

// Sleeps until the reader of f wakes the record (parse lock held on entry and on return).
void wait_reader(QV_FILE* f) {
    TKEY me = parse_lock_task.load(std::memory_order_relaxed);
    int cnt = parse_lock_cnt;
    f->sleepers++;
    parse_lock_cnt = 0;
    parse_lock_task.store(0, std::memory_order_relaxed);
    sleep_task(f, parse_lock);
    lock_task(parse_lock);
    parse_lock_task.store(me, std::memory_order_relaxed);
    parse_lock_cnt = cnt;
    f->sleepers--;
}

// ---------------------------------------------------------------- list-building steps
// All with the parse lock held (which keeps the collector out: see the top of this file).

QV_SEXP* error_at(QV_FILE* f, int line, uint32_t code, QV_SEXP* data) {
    return get_error(f, line, code, PARSER, data);
}

QV_SEXP* texts(const char* a, const L_CHAR* b = nullptr, const L_CHAR* c = nullptr) {
    QV_SEXP* x = n_get_string(a);
    QV_SEXP* y = b ? get_string(b) : nullptr;
    QV_SEXP* z = c ? get_string(c) : nullptr;
    return list(x, y, z, nullptr);
}

// Pending nodes made before the parse lock is taken, for the steps of the tokens read (see
// spare_delays): allocating a node costs most of a step, and is better done outside the lock.
constexpr int SPARE_MAX = 128;
struct Spare {
    QV_SEXP* node[SPARE_MAX];
    int n = 0;
};
thread_local Spare spare;

// A new pending node pushed on the stack.
QV_SEXP* push_delay(QV_FILE* f, int dtype, QV_SEXP* tag, int mode) {
    // A spare node is stamped as a new one would be: the record's position, the record's last node.
    QV_SEXP* d = spare.n ? set_sexp(f, QVT_DELAY, spare.node[--spare.n]) : get_sexp(f, QVT_DELAY);
    d->delay.dtype = dtype;
    d->delay.d.file.f = f;
    d->delay.d.file.tag = tag;
    d->delay.d.file.mode = mode;
    d->delay.next = f->stack;
    f->stack = &d->delay;
    f->stack_depth++;
    return d;
}

QV_SEXP* pop_delay(QV_FILE* f) {
    QV_DELAY* p = f->stack;
    f->stack = p->next;
    f->stack_depth--;
    return reinterpret_cast<QV_SEXP*>(p);
}

bool at_bottom(QV_FILE* f) {
    return !f->stack || !f->stack->next;
}

// Rewrites delayed node p in place as a pair or nil.
void become(QV_SEXP* p, int type, QV_FILE* file, int line, QV_SEXP* car, QV_SEXP* cdr) {
    size_t body = static_cast<size_t>(mem_hdr(p)->m_size) - sizeof(QV_SEXP_HEADER);
    memset(reinterpret_cast<char*>(p) + sizeof(QV_SEXP_HEADER), 0, body);
    p->h.file = file;
    p->h.line = line;
    p->h.flags = 0;
    if (type == QVT_PAIR) {
        p->pair.car = car;
        p->pair.cdr = cdr;
    }
    std::atomic_ref<int32_t>(p->h.type).store(type, std::memory_order_release);
}

// The rest of a list whose pending node p is being filled: a new pending node for a list, none
// after a quoted item.
QV_SEXP* rest_of(QV_FILE* f, QV_SEXP* p) {
    if (p->delay.dtype != DELAY_LIST) return nullptr;
    QV_SEXP* rest = push_delay(f, DELAY_LIST, p->delay.d.file.tag, p->delay.d.file.mode);
    rest->h.line = p->h.line;  // a pending rest keeps the line on which its list opened
    return rest;
}

// The next item: the top pending node becomes (x . rest). Error items take the record's
// position, other items their own.
void new_data(QV_FILE* f, QV_SEXP* x, bool record_pos) {
    if (!f->stack) return;
    QV_SEXP* p = pop_delay(f);
    QV_SEXP* rest = rest_of(f, p);
    if (record_pos || !x)
        become(p, QVT_PAIR, f, f->token_head_line, x, rest);
    else
        become(p, QVT_PAIR, x->h.file, x->h.line, x, rest);
}

void new_data_set(QV_FILE* f, QV_SEXP* x) {
    new_data(f, x, true);
}

// Opens a list: the top pending node becomes (h . rest), h pending on top.
void new_pair(QV_FILE* f, QV_SEXP* tag, int mode) {
    if (!f->stack) return;
    QV_SEXP* p = pop_delay(f);
    QV_SEXP* rest = rest_of(f, p);
    QV_SEXP* h = push_delay(f, DELAY_LIST, tag, mode);
    become(p, QVT_PAIR, f, f->token_head_line, h, rest);
}

// A quote: the top pending node becomes ((quote . q) . rest), q pending on top.
void new_quote(QV_FILE* f) {
    if (!f->stack) return;
    QV_SEXP* p = pop_delay(f);
    QV_SEXP* rest = rest_of(f, p);
    QV_SEXP* q = push_delay(f, DELAY_QUOTE, nullptr, QVF_SEXP);
    QV_SEXP* sym = get_symbol(QUOTE);
    QV_SEXP* head = get_sexp(f, QVT_PAIR);
    head->pair.car = sym;
    head->pair.cdr = q;
    become(p, QVT_PAIR, f, f->token_head_line, head, rest);
}

// Ends the innermost open list (or quoted item): its pending node becomes nil.
void close_top(QV_FILE* f) {
    if (!f->stack) return;
    QV_SEXP* p = pop_delay(f);
    become(p, QVT_NIL, p->h.file, p->h.line, nullptr, nullptr);
}

// The pending node p ends its list with an error as the rest.
void end_with_error(QV_FILE* f, QV_SEXP* p, uint32_t code, const char* msg) {
    QV_SEXP* e = error_at(f, p->h.line, code, texts(msg));
    over_write_sexp(p, e);
}

void follow_mode(QV_FILE* f) {
    if (f->stack && f->stack->d.file.mode)
        qvf_set(f, QVF_SEXP);
    else
        qvf_clear(f, QVF_SEXP);
}

void cancel(QV_FILE* f) {
    if (at_bottom(f)) {
        new_data_set(f, error_at(f, f->line, QVE_CANCEL, texts("cancel")));
        return;
    }
    while (!at_bottom(f)) {
        QV_SEXP* p = pop_delay(f);
        end_with_error(f, p, QVE_CANCEL, "cancel");
    }
}

// The end of the record's input. Input closed for passing its bound ends every list being read,
// the top-level sequence too, with an error naming the bound, so that its reader learns why.
void end_of_input(QV_FILE* f) {
    if (f->over_bound) {
        while (f->stack) {
            QV_SEXP* p = pop_delay(f);
            QV_SEXP* data =
                list(n_get_string("expression too large"), get_string(f->name), nullptr);
            over_write_sexp(p, error_at(f, f->line, QVE_TOKEN, data));
        }
        return;
    }
    while (f->stack) {
        bool bottom = at_bottom(f);
        QV_SEXP* p = pop_delay(f);
        if (bottom) become(p, QVT_NIL, p->h.file, p->h.line, nullptr, nullptr);
        if (!bottom) end_with_error(f, p, QVE_NO_CLOSE, "no ) for (");
    }
}

void end_tag(QV_FILE* f, QV_SEXP* sym) {
    const L_CHAR* name = sym->symbol.data;
    if (at_bottom(f)) {
        new_data_set(
            f, error_at(f, f->line, QVE_TAG_MISMATCH, texts("not correspond tag ( to", name)));
        return;
    }
    QV_SEXP* tag = f->stack->d.file.tag;
    close_top(f);
    if (!tag)
        new_data_set(
            f, error_at(f, f->line, QVE_TAG_MISMATCH, texts("not correspond tag ( to", name)));
    else if (l_strcmp(tag->symbol.data, name) != 0)
        new_data_set(f, error_at(f, f->line, QVE_TAG_MISMATCH,
                                 texts("not correspond tag", tag->symbol.data, name)));
    // Whatever its name, the end tag closed the list: the enclosing list's mode returns, so that
    // the rest of the record is read as written (left in tag mode after a misspelt end tag, the
    // items of an enclosing S-expression would be read as tag text).
    if (f->stack && f->stack->d.file.mode) qvf_set(f, QVF_SEXP);
}

QV_SEXP* depth_error(QV_FILE* f) {
    QV_SEXP* data = list(n_get_string("nesting too deep"), get_string(f->name), nullptr);
    return error_at(f, f->line, QVE_TOKEN, data);
}

bool too_deep(QV_FILE* f) {
    return f->stack_depth >= QV_READ_MAX_DEPTH;
}

// ---------------------------------------------------------------- regions too deep to build

void skip_mode(QV_FILE* f) {
    int level = f->skip - 1;
    bool sexp = level >= QV_SKIP_TRACK || f->skip_modes[level];
    if (sexp)
        qvf_set(f, QVF_SEXP);
    else
        qvf_clear(f, QVF_SEXP);
}

void skip_push(QV_FILE* f, bool sexp) {
    if (!f->skip_modes) {
        lock_mem();
        f->skip_modes = static_cast<uint8_t*>(mmalloc(QV_SKIP_TRACK, gc_text));
        unlock_mem();
    }
    if (f->skip < QV_SKIP_TRACK) f->skip_modes[f->skip] = sexp;
    f->skip++;
    skip_mode(f);
}

// Ends a skipped region: it becomes one error item.
void skip_leave(QV_FILE* f) {
    f->skip = 0;
    lock_parse();
    new_data_set(f, depth_error(f));
    follow_mode(f);
    unlock_parse("parser");
}

// t is the token read; lex_errors when the lexer recorded errors with it. A token error comes as
// TK_END and ends nothing: the end of input closes the record, and the next token is TK_CLOSED.
void skip_token(QV_FILE* f, int t, bool lex_errors) {
    if (lex_errors && t != TK_CLOSED && t != TK_CANCEL) return;
    switch (t) {
        case TK_OPEN:
            skip_push(f, true);
            break;
        case TK_START:
            skip_push(f, false);
            break;
        case TK_CLOSE:
        case TK_END_TAG:
            if (--f->skip == 0)
                skip_leave(f);
            else
                skip_mode(f);
            break;
        case TK_QUOTE:
            qvf_set(f, QVF_SEXP);
            break;
        case TK_CANCEL:
            skip_leave(f);
            lock_parse();
            cancel(f);
            unlock_parse("parser");
            break;
        case TK_END:
        case TK_CLOSED:
            skip_leave(f);
            lock_parse();
            end_of_input(f);
            unlock_parse("parser");
            break;
        case TK_DATUM:
        case TK_ERROR:
        case TK_EMPTY:
        case TK_CDATA:
        case TK_PI:
        case TK_BANG:
        case TK_BRACKET:
            skip_mode(f);
            break;
        default:
            break;
    }
}

// ---------------------------------------------------------------- error literals

QV_SEXP* parse_from(QV_FILE* f, int t, int* flag, int depth);
void fill_error(QV_FILE* f, QV_SEXP* e, int depth);

QV_SEXP* parse_data(QV_FILE* f, int* flag, int depth) {
    int t = vx_lex(f);
    return parse_from(f, t, flag, depth);
}

// Items up to ')'.
QV_SEXP* parse_pair(QV_FILE* f, int* flag, int depth) {
    std::vector<QV_SEXP*> items;
    for (;;) {
        int t = vx_lex(f);
        if (t == TK_CLOSE) break;
        if (t == TK_CANCEL) {
            items.push_back(error_at(f, f->line, QVE_CANCEL_EAGER, texts("cancel")));
            continue;
        }
        int sub = 0;
        QV_SEXP* x = parse_from(f, t, &sub, depth);
        if (sub < 0) {
            *flag = -1;
            return nullptr;
        }
        items.push_back(x);
    }
    QV_SEXP* r = nullptr;
    for (size_t i = items.size(); i-- > 0;)
        r = cons(items[i], r);
    return r;
}

// One expression read at once (only the data of an error literal is read so).
QV_SEXP* parse_from(QV_FILE* f, int t, int* flag, int depth) {
    if (depth > QV_READ_MAX_DEPTH) {
        *flag = -1;
        return nullptr;
    }
    switch (t) {
        case TK_OPEN:
            return parse_pair(f, flag, depth + 1);
        case TK_QUOTE: {
            QV_SEXP* x = parse_data(f, flag, depth + 1);
            if (*flag < 0) return nullptr;
            return list(get_symbol(QUOTE), x, nullptr);
        }
        case TK_DATUM:
            return f->sexp;
        case TK_ERROR: {
            // An error inside an error's data: filled the same way, so that it reads back.
            QV_SEXP* e = f->sexp;
            fill_error(f, e, depth + 1);
            return e;
        }
        default:
            *flag = -1;
            return nullptr;
    }
}

bool next_string(QV_FILE* f, L_CHAR** out) {
    if (vx_lex(f) != TK_DATUM || sexp_raw_type(f->sexp) != QVT_STRING) return false;
    *out = f->sexp->string.data;
    return true;
}

bool next_integer(QV_FILE* f, uint32_t* out) {
    if (vx_lex(f) != TK_DATUM || sexp_raw_type(f->sexp) != QVT_INTEGER) return false;
    *out = static_cast<uint32_t>(f->sexp->integer.data);
    return true;
}

// Reads the fields of an error literal: "(" site file line function code data ")". At the first
// token of the wrong kind the code becomes 0x80021003 and the data nil; fields read stay.
void fill_error(QV_FILE* f, QV_SEXP* e, int depth) {
    auto fail = [e]() {
        lock_mem();
        e->error.code = QVE_BAD_ERROR_LITERAL;
        e->error.data = nullptr;
        unlock_mem();
    };
    L_CHAR* text;
    uint32_t n;
    if (vx_lex(f) != TK_OPEN) return fail();
    if (!next_string(f, &text)) return fail();
    lock_mem();
    e->error.site = text;
    unlock_mem();
    if (!next_string(f, &text)) return fail();
    lock_mem();
    e->error.filename = text;
    unlock_mem();
    if (!next_integer(f, &n)) return fail();
    e->error.line = static_cast<int32_t>(n);
    if (!next_string(f, &text)) return fail();
    lock_mem();
    e->error.func = text;
    unlock_mem();
    if (!next_integer(f, &n)) return fail();
    e->error.code = n;
    int flag = 0;
    QV_SEXP* data = parse_data(f, &flag, depth);
    if (flag < 0) return fail();
    lock_mem();
    e->error.data = data;
    unlock_mem();
    if (vx_lex(f) != TK_CLOSE) return fail();
}

// ---------------------------------------------------------------- one token

// After an error item. An error that stands where a token would begin, or that ends the token
// under way, is the whole item a '^' or a quote set the mode for: the mode of the enclosing list
// returns, as after any other item. Left in S-expression mode, the next line's '^' would be read
// as a symbol and its item as tag text; left in tag mode after a bad tag inside a list, the
// list's ')' would be read as text and the list would take in the rest of the input. A token that
// goes on after an error in its middle sets the mode when it ends.
void after_error(QV_FILE* f) {
    if (!between_items(f)) return;
    if (f->skip)
        skip_mode(f);
    else
        follow_mode(f);
}

// The errors the lexer recorded become items, most recent first as the list holds them (none
// while a region too deep is skipped).
void lex_errors_to_items(QV_FILE* f) {
    lock_mem();
    QV_SEXP* errs = f->lex_error;
    f->lex_error = nullptr;
    unlock_mem();
    if (!f->skip)
        for (QV_SEXP* c = errs; c; c = c->pair.cdr)
            new_data_set(f, c->pair.car);
}

// Applies token t read from f; the parse lock is held once on entry and on return (it is given
// back meanwhile only while an error literal's fields are read).
void apply(QV_FILE* f, int t) {
    QV_SEXP* x = f->sexp;
    if (f->lex_error) {
        lex_errors_to_items(f);
        after_error(f);
        if (f->skip) skip_token(f, t, true);
        return;
    }
    if (f->skip) return skip_token(f, t, false);
    switch (t) {
        case TK_DATUM:
            new_data(f, x, false);
            follow_mode(f);
            break;
        case TK_ERROR:
            new_data(f, x, false);
            unlock_parse("parser");
            fill_error(f, x, 0);
            lock_parse();
            // A token error met among the literal's fields is an item after it, now: left for
            // the next token, it would take that token's place.
            if (f->lex_error) lex_errors_to_items(f);
            follow_mode(f);
            break;
        case TK_START:
            if (too_deep(f)) {
                f->skip = 0;
                skip_push(f, false);
                return;
            }
            new_pair(f, x, 0);
            qvf_clear(f, QVF_SEXP);
            new_data(f, x, false);
            break;
        case TK_EMPTY:
        case TK_CDATA:
        case TK_PI:
        case TK_BANG:
        case TK_BRACKET:
            new_pair(f, x, 0);
            new_data(f, x, false);
            close_top(f);
            follow_mode(f);
            break;
        case TK_END_TAG:
            end_tag(f, x);
            break;
        case TK_OPEN:
            if (too_deep(f)) {
                f->skip = 0;
                skip_push(f, true);
                return;
            }
            new_pair(f, nullptr, QVF_SEXP);
            qvf_set(f, QVF_SEXP);
            break;
        case TK_QUOTE:
            // Too deep for another quote: the quote is dropped and the item read as it is.
            if (too_deep(f))
                new_data_set(f, depth_error(f));
            else
                new_quote(f);
            qvf_set(f, QVF_SEXP);
            break;
        case TK_CLOSE:
            if (at_bottom(f)) {
                new_data_set(f, error_at(f, f->line, QVE_TOO_MANY_CLOSE, texts("too many )")));
                after_error(f);
            } else {
                close_top(f);
                if (f->stack && !f->stack->d.file.mode) qvf_clear(f, QVF_SEXP);
            }
            break;
        case TK_CANCEL:
            cancel(f);
            break;
        case TK_END:
        case TK_CLOSED:
            end_of_input(f);
            break;
        case TK_QTEXT:
        case TK_NAME:
        case TK_EQ:
        case TK_GT:
        case TK_LBRACKET:
        case TK_RBRACKET:
        case TK_CL_CDATA:
        case TK_CL_PI:
        case TK_CL_BANG:
        case TK_CL_BRACKET:
        case TK_CL_EMPTY:
        case TK_CL_COMMENT:
            new_data_set(f, error_at(f, f->line, QVE_TOKEN, texts("token error")));
            after_error(f);
            break;
        default:
            printf("%i(%c)\n", t, t);
            er_panic("vx_parse(1)");
    }
}

// ---------------------------------------------------------------- realisation

QV_SEXP* _realize_sexp(QV_SEXP* s);

// True when the record's read buffer holds, after any blanks, the rest of a line: the next
// token is there without waiting for the peer (but for a text or tag running over the line end).
// A ')' the lexer gave back after the item it ended is a whole token by itself.
bool line_at_hand(QV_FILE* f) {
    if (f->buf == ')' && (qvf_flags(f) & QVF_SEXP)) return true;
    const uint8_t* p = f->rb + f->rb_ptr;
    const uint8_t* end = f->rb + f->rb_len;
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'))
        p++;
    return p < end && memchr(p, '\n', static_cast<size_t>(end - p)) != nullptr;
}

// How far realize_list reads: until s is no longer delayed; until the open list s is closed (a
// whole command); or until the pending rest s has its next item read whole (the next command).
enum class Reach { NODE, LIST, ITEM };

// True when reading stops, s being read or not and the record's stack that deep (start: its depth
// when reading began).
bool reach_stops(Reach reach, bool read, int stack_depth, int start) {
    return reach == Reach::LIST ? stack_depth < start
                                : read && (reach == Reach::NODE || stack_depth <= start);
}

// A character that, in S-expression mode, is a parenthesis or goes into an atom that is a symbol
// or a number and nothing else: no string, comment, tag, quote, raw bytes, error literal, entity,
// bracket form or control character.
bool plain_sexp_char(unsigned c) {
    return c > ' ' && c < 0x7f && !strchr("\"#%&';<[\\]|", static_cast<int>(c));
}

// True when the next token is made of plain characters (above) and lies whole in the record's
// read buffer, with the character that ends it: reading it reads no input, so it never waits, and
// takes no lock but the memory lock. Only the blanks before the token, the token and the one
// character after it are looked at, so that the test costs what reading the token costs, however
// long the line it stands on.
bool plain_token_at_hand(QV_FILE* f) {
    if (f->buf && (f->buf_ent_flag || f->buf > 0x7f)) return false;
    const uint8_t* p = f->rb + f->rb_ptr;
    const uint8_t* end = f->rb + f->rb_len;
    auto blank = [](unsigned c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    unsigned c = f->buf ? f->buf : (p < end ? *p++ : 0);
    while (blank(c))
        c = p < end ? *p++ : 0;
    // A parenthesis is a token by itself.
    if (c == '(' || c == ')') return true;
    // An atom goes on up to a blank, a line end or a parenthesis, which must be there too.
    for (;;) {
        if (!plain_sexp_char(c) || p == end) return false;
        c = *p++;
        if (blank(c) || c == '(' || c == ')') return true;
    }
}

// True when reading the next token reads no input: a plain token at hand in S-expression mode.
// In tag text and bracket forms the question is left open (the answer false).
bool sexp_token_at_hand(QV_FILE* f) {
    return (qvf_flags(f) & (QVF_SEXP | QVF_FIELD_EQ)) == QVF_SEXP && plain_token_at_hand(f);
}

// Tokens read ahead of their application. While the tokens read so far only open lists or add
// symbols and numbers inside S-expression lists, what applying them does is known without doing
// it: the mode stays S-expression, and the record's stack grows by one pending list per open.
// The lexer depends on nothing else the steps change, so the next token reads the same as it
// would after them; the record's stack can be looked at without the lock, since only its reader
// (this task, which holds the busy bit) changes it. The tokens are then applied in one hold of
// the parse lock, each as it would have been on its own.
constexpr int AHEAD = 64;
struct Ahead {
    int n = 0;
    int opens = 0;      // TK_OPEN among them
    int t[AHEAD];       // the tokens
    QV_SEXP* x[AHEAD];  // the record's last node after each (null: the lexer made none)
    int line[AHEAD];    // the line each began on
};

// Reads the next token into a, rooting its node until it is applied.
void lex_ahead(QV_FILE* f, Ahead& a) {
    QV_SEXP* before = f->sexp;
    int t = vx_lex(f);
    QV_SEXP* x = f->sexp;
    // The first token's node is the record's own when it is applied; a later token that made no
    // node leaves the record's as the token before's application left it.
    if (a.n > 0 && x == before) x = nullptr;
    if (x) gc_set(x, gc_vx_sexp);
    a.t[a.n] = t;
    a.x[a.n] = x;
    a.line[a.n] = f->token_head_line;
    if (t == TK_OPEN) a.opens++;
    a.n++;
}

// True when one more token is read before those in a are applied: the reading of this
// realisation would go on after them (reach, start and budget as in realize_list, the budget
// then spent for it), they leave the lexer as it is now, and the next token is plain and at hand,
// so that no other task waits on their application while this one waits for input.
bool may_read_on(QV_FILE* f, QV_SEXP* s, const Ahead& a, Reach reach, int start, int* budget) {
    int last = a.t[a.n - 1];
    if (a.n == AHEAD || (last != TK_DATUM && last != TK_OPEN)) return false;
    if (f->lex_error || f->skip || (qvf_flags(f) & (QVF_SEXP | QVF_FIELD_EQ)) != QVF_SEXP)
        return false;
    // The first token pops the top pending node: it must be a list, in S-expression mode unless
    // the token opens a list of its own; every later one then finds an S-expression list on top.
    QV_DELAY* top = f->stack;
    if (!top || top->dtype != DELAY_LIST || (a.t[0] != TK_OPEN && !top->d.file.mode)) return false;
    int depth = f->stack_depth + a.opens;
    if (depth + 1 >= QV_READ_MAX_DEPTH) return false;  // no open of them or the next is too deep
    bool read = sexp_raw_type(s) != QVT_DELAY || &s->delay == top;
    if (reach_stops(reach, read, depth, start)) return false;
    if (budget && (*budget < 1 || !line_at_hand(f))) return false;
    if (!plain_token_at_hand(f)) return false;
    if (budget) --*budget;
    return true;
}

// Makes, before the parse lock is taken, the pending nodes the steps of the tokens of a will push:
// two for an open, one for an item, while the lists they are read into are lists (not quoted
// items) and neither a skipped region nor a lexer error turns the steps aside. The nodes are
// rooted in the reader's frame; one left over (a step that took another turn) is garbage.
void spare_delays(QV_FILE* f, const Ahead& a) {
    if (f->skip || !f->stack || f->stack->dtype != DELAY_LIST) return;
    int n = f->lex_error ? a.n - 1 : a.n;
    int depth = f->stack_depth;
    for (int i = 0; i < n && spare.n + 2 <= SPARE_MAX; i++) {
        int need = a.t[i] == TK_DATUM ? 1 : 0;
        if (a.t[i] == TK_OPEN && depth++ < QV_READ_MAX_DEPTH) need = 2;
        while (need--) {
            // A pending list of no record until it is used: the collector may see it meanwhile.
            HeapSection h;
            QV_SEXP* d = get_sexp(nullptr, QVT_DELAY);
            d->delay.dtype = DELAY_LIST;
            spare.node[spare.n++] = d;
        }
    }
}

// Applies the tokens of a in order (parse lock held), each with the record's node and line it had
// when it was read. Only the last can have left a lexer error (reading on stops at one), which
// the steps of the earlier ones must not see.
void apply_ahead(QV_FILE* f, const Ahead& a) {
    if (a.n == 1) {
        apply(f, a.t[0]);
        spare.n = 0;
        return;
    }
    QV_SEXP* late = f->lex_error;
    if (late) {
        lock_mem();
        f->lex_error = nullptr;
        unlock_mem();
    }
    for (int i = 0; i < a.n; i++) {
        if (i == a.n - 1 && late) {
            lock_mem();
            f->lex_error = late;
            unlock_mem();
        }
        if (a.x[i]) f->sexp = a.x[i];
        f->token_head_line = a.line[i];
        apply(f, a.t[i]);
    }
    spare.n = 0;
}

// A list or quote delay: read tokens until s is no longer delayed (parse lock held on entry,
// released on return). With a budget, reading stops early where the next token is not at hand
// or after that many tokens; then, with s at the top of the stack, reach says how much is read.
QV_SEXP* realize_list(QV_SEXP* s, QV_FILE* f, int* budget = nullptr, Reach reach = Reach::LIST) {
    set_busy(f, get_tid());
    // Once a token is applied, everything made for it hangs from the record (which s reaches),
    // so the roots of a batch of tokens are dropped together: one realisation may read a whole
    // document without its frame growing with it.
    constexpr int BATCH = 256;
    int tokens = 0;
    // Tasks waiting for a node of the record are woken to look whether it is read now: after
    // every WAKE tokens, and before a token that may have to wait for input, so that none of them
    // waits on the peer for a node already read. Waking them after every few tokens would make a
    // task that walks a long list as it is read sleep and wake again for each few of its nodes.
    constexpr int WAKE = 1024;
    int unwoken = 0;
    // Reading ahead from the open list s at the top of the stack goes on until that list is
    // closed, not only until s itself is realised: a whole command in one call. From a pending
    // rest it goes on until the item read into s is complete: the next command at one go.
    if (!budget || f->stack != &s->delay) reach = Reach::NODE;
    int depth = f->stack_depth;
    gc_push(nullptr, nullptr, nullptr);
    Ahead a;
    for (;;) {
        if (unwoken >= WAKE || (unwoken > 0 && !sexp_token_at_hand(f))) {
            wake(f);
            unwoken = 0;
        }
        if (!f->stack) break;
        if (reach_stops(reach, sexp_raw_type(s) != QVT_DELAY, f->stack_depth, depth)) break;
        if (budget && (--*budget < 0 || !line_at_hand(f))) break;
        unlock_parse("realize_sexp");
        a.n = a.opens = 0;
        do
            lex_ahead(f, a);
        while (may_read_on(f, s, a, reach, depth, budget));
        spare_delays(f, a);
        // One hold of the parse lock for the tokens read: they are applied, and the loop's next
        // test made, in the same hold.
        lock_parse();
        apply_ahead(f, a);
        // A top-level item read whole no longer counts among the expressions being read.
        if (f->bound == QV_BOUND_ITEM && f->stack_depth <= 1 && !f->skip &&
            std::atomic_ref<int64_t>(f->bound_cost).load(std::memory_order_relaxed))
            release_unfinished(f);
        tokens += a.n;
        unwoken += a.n;
        if (tokens >= BATCH) {
            tokens = 0;
            gc_pop(nullptr, nullptr);
            gc_push(nullptr, nullptr, nullptr);
        }
    }
    set_busy(f, 0);
    if ((qvf_flags(f) & QVF_CLOSED) && f->cm_work) {
        // The record closed while this task was reading: its decoder is released here.
        void* w = f->cm_work;
        f->cm_work = nullptr;
        f->cm->close(nullptr, w);
    }
    wake(f);
    unlock_parse("realize_sexp");
    gc_pop(nullptr, nullptr);
    return s;
}

// A generator: call its function until the result is not a generator delay.
QV_SEXP* realize_generator(QV_SEXP* s, QV_FILE* f) {
    if (f) set_busy(f, get_tid());
    for (;;) {
        DELAY_FUNC* df = s->delay.d.func;
        unlock_parse("realize_sexp");
        QV_SEXP* r = df->func(s);
        gc_set(r, gc_vx_sexp);
        lock_parse();
        bool again = r != s && sexp_raw_type(r) == QVT_DELAY && r->delay.dtype == DELAY_GENERATOR;
        s = r;
        if (!again) break;
    }
    if (f) set_busy(f, 0);
    wake(f);
    unlock_parse("realize_sexp");
    // A generator may hand over a list being read from a stream.
    if (sexp_raw_type(s) == QVT_DELAY && s->delay.dtype != DELAY_GENERATOR) return _realize_sexp(s);
    return s;
}

// With the parse lock held: waits while another task reads the record of s. False when s is no
// longer delayed, or when the caller itself is its reader (a generator looking at its own
// output: waiting would never end); else true with the record (may be null) in *fp, and the
// delayed node stable until the lock is released.
bool wait_idle_delay(QV_SEXP* s, QV_FILE** fp) {
    for (;;) {
        if (sexp_raw_type(s) != QVT_DELAY) return false;
        QV_FILE* f = record_of(s);
        if (!f || !(qvf_flags(f) & QVF_BUSY)) {
            *fp = f;
            return true;
        }
        if (busy_reader(f) == get_tid()) return false;
        wait_reader(f);
    }
}

QV_SEXP* _realize_sexp(QV_SEXP* s) {
    lock_parse();
    QV_FILE* f = nullptr;
    if (!wait_idle_delay(s, &f)) {
        unlock_parse("realize_sexp");
        return s;
    }
    if (s->delay.dtype == DELAY_GENERATOR) return realize_generator(s, f);
    if (!f) {
        unlock_parse("realize_sexp");
        return s;
    }
    return realize_list(s, f);
}

// ---------------------------------------------------------------- hooks

void gc_delay_func(void* p) {
    auto* df = static_cast<DELAY_FUNC*>(p);
    if (df->gc_func) df->gc_func(df);
}

L_CHAR* file_site(QV_FILE* f) {
    return f->site;
}

L_CHAR* file_name(QV_FILE* f) {
    return f->name;
}

int take_sexp(QV_FILE* f, QV_SEXP* s) {
    f->sexp = s;
    return f->token_head_line;
}

// set_line_fix: the record's line becomes `line` and is no longer counted.
void fix_line(QV_FILE* f, int line) {
    set_file_line(f, line);
    qvf_set(f, QVF_LINE_FIX);
}

const QV_READER_HOOKS reader_hooks = {gc_qv_file,
                                      file_site,
                                      file_name,
                                      take_sexp,
                                      realize_sexp,
                                      fix_line,
                                      vx_file_forget_gone_streams};

void gc_lock_reader() {
    lock_parse();
    lock_task(lex_lock);
}

void gc_unlock_reader() {
    unlock_task(lex_lock, "collector");
    unlock_parse("collector");
}

// The special sweep: records no root reached are closed (their streams go to the close task),
// except those being read or closing, which are kept for a later collection.
void sp_gc_reader() {
    if (!vx_file_root) return;
    std::vector<QV_FILE*> all;
    QV_FILE* r = vx_file_root;
    do {
        all.push_back(r);
        r = r->next;
    } while (r && r != vx_file_root);
    for (QV_FILE* f : all) {
        if (mem_hdr(f)->m_flags & MEM_MARKED) continue;
        if ((qvf_flags(f) & (QVF_BUSY | QVF_CLOSED)) || _vx_file_delete(f) < 0) gc_qv_file(f);
    }
}

}  // namespace

// ---------------------------------------------------------------- public

// The parse lock raises no holder's priority: priorities are bookkeeping here, and nothing turns
// such a mode on. (Nor is there a step that makes a pair with a null head: nothing would call it.)
void _xx_lock_parse(const char* file, int line) {
    TKEY me = get_tid();
    if (parse_lock_task.load(std::memory_order_relaxed) == me) {
        parse_lock_cnt++;
        return;
    }
    _i_lock_task(parse_lock, file, line);
    parse_lock_task.store(me, std::memory_order_relaxed);
    parse_lock_cnt = 1;
    heap_note_collector_lock(1);  // the reader allocates under it: no wait for a collection
}

void unlock_parse(const char* msg) {
    if (parse_lock_task.load(std::memory_order_relaxed) != get_tid()) er_panic("unlock_parse");
    if (--parse_lock_cnt > 0) return;
    parse_lock_task.store(0, std::memory_order_relaxed);
    heap_note_collector_lock(-1);
    unlock_task(parse_lock, msg);
}

void init_parse_system() {
    static std::once_flag once;
    std::call_once(once, [] {
        new_lock(&parse_lock);
        init_lexer();
        gc_hook_lock(GC_LOCK_PARSE, gc_lock_reader, gc_unlock_reader);
        gc_hook_sp(sp_gc_reader);
        init_printer();
        sg("SEM", "parse_lock", &parse_lock);
        sg("int", "parse_lock_task", &parse_lock_task);
        sg("int", "parse_lock_cnt", &parse_lock_cnt);
    });
    set_reader_hooks(&reader_hooks);
}

void set_parse_site_hook(const L_CHAR* (*site)()) {
    site_hook.store(site);
}

QV_SEXP* init_parse(STREAM* st, const L_CHAR* name, const L_CHAR* comment) {
    if (!st) return nullptr;
    init_parse_system();
    auto hook = site_hook.load();
    const L_CHAR* site = hook ? hook() : nullptr;
    QV_FILE* f = new_qv_file(st, name, site ? site : EMPTY, comment);
    lock_parse();
    lock_mem();
    QV_SEXP* top = push_delay(f, DELAY_LIST, nullptr, 0);
    unlock_mem();
    unlock_parse("init_parse");
    vx_file_insert(f);
    return top;
}

QV_SEXP* init_delay_func(DELAY_FUNC* df) {
    init_parse_system();
    auto hook = site_hook.load();
    const L_CHAR* site = hook ? hook() : nullptr;
    QV_FILE* f = new_qv_file(nullptr, EMPTY, site ? site : EMPTY, nullptr);
    lock_mem();
    QV_SEXP* d = get_sexp(f, QVT_DELAY);
    d->delay.dtype = DELAY_GENERATOR;
    d->delay.d.func = df;
    unlock_mem();
    vx_file_insert(f);
    return d;
}

void set_close_func(QV_FILE* f, QV_CLOSE_FUNC func, void* work) {
    if (!f) return;
    TaskLockGuard g(lex_lock);
    f->close_func = func;
    f->close_work = work;
}

void set_read_bound(QV_SEXP* top, int bound) {
    if (sexp_raw_type(top) != QVT_DELAY || top->delay.dtype == DELAY_GENERATOR) return;
    lock_parse();
    top->delay.d.file.f->bound = bound;
    unlock_parse("set_read_bound");
}

QV_SEXP* realize_sexp(QV_SEXP* s) {
    if (sexp_raw_type(s) != QVT_DELAY) return s;
    // Nodes made while reading are rooted in a frame of their own, popped at the end. A node
    // realised in place stays where the caller holds it; only a generator's replacement node is
    // handed to the caller's frame.
    gc_push(nullptr, nullptr, nullptr);
    gc_set(s, gc_vx_sexp);
    QV_SEXP* r = _realize_sexp(s);
    gc_pop(r != s ? r : nullptr, gc_vx_sexp);
    return r;
}

// True when s is (still) a generator's delayed node. Its kind is read only while no task is
// reading its record: the reader turns delayed nodes into what they stand for without the lock.
static bool delayed_generator(QV_SEXP* s) {
    lock_parse();
    QV_FILE* f = nullptr;
    bool generator = wait_idle_delay(s, &f) && s->delay.dtype == DELAY_GENERATOR;
    unlock_parse("realize_whole");
    return generator;
}

namespace {

// Reads the delayed node n as far as its input is at hand, without waiting for the peer or for
// another reader; true when n is no longer delayed.
bool realize_ready(QV_SEXP* n, int* budget, Reach reach = Reach::LIST) {
    // A node once realised stays so: most nodes of a command read ahead are looked at without
    // the lock.
    if (sexp_raw_type(n) != QVT_DELAY) return true;
    lock_parse();
    if (sexp_raw_type(n) != QVT_DELAY) {
        unlock_parse("realize_at_hand");
        return true;
    }
    QV_FILE* f = record_of(n);
    if (!f || n->delay.dtype == DELAY_GENERATOR || (qvf_flags(f) & QVF_BUSY)) {
        unlock_parse("realize_at_hand");
        return false;
    }
    realize_list(n, f, budget, reach);
    return sexp_raw_type(n) != QVT_DELAY;
}

// The walk of realize_at_hand in reading order: false at the first node left delayed.
bool at_hand_walk(QV_SEXP* n, int* budget, int depth) {
    for (;;) {
        if (!realize_ready(n, budget)) return false;
        if (sexp_raw_type(n) != QVT_PAIR) return true;
        if (depth >= AT_HAND_DEPTH || !at_hand_walk(n->pair.car, budget, depth + 1)) return false;
        n = n->pair.cdr;
    }
}

}  // namespace

void realize_at_hand(QV_SEXP* s) {
    int budget = AT_HAND_TOKENS;
    at_hand_walk(s, &budget, 0);
}

void realize_item_at_hand(QV_SEXP* rest) {
    int budget = AT_HAND_TOKENS;
    realize_ready(rest, &budget, Reach::ITEM);
}

void realize_whole(QV_SEXP* s) {
    // Most replies are atoms: nothing to walk, nothing to allocate.
    int t = sexp_raw_type(s);
    if (t != QVT_PAIR && t != QVT_ERROR && t != QVT_DELAY) return;
    std::vector<QV_SEXP*> todo{s};
    std::unordered_set<QV_SEXP*> seen;  // values may share or even loop
    while (!todo.empty()) {
        QV_SEXP* n = todo.back();
        todo.pop_back();
        if (!n || !seen.insert(n).second) continue;
        if (sexp_raw_type(n) == QVT_DELAY) {
            if (delayed_generator(n)) continue;
            n = realize_sexp(n);
        }
        switch (sexp_raw_type(n)) {
            case QVT_PAIR:
                todo.push_back(n->pair.cdr);
                todo.push_back(n->pair.car);
                break;
            case QVT_ERROR:
                todo.push_back(n->error.data);
                break;
            default:
                break;
        }
    }
}

STREAM* get_sexp_stream(QV_SEXP* s) {
    if (!s) return nullptr;
    QV_FILE* f = nullptr;
    lock_parse();
    f = sexp_raw_type(s) == QVT_DELAY ? record_of(s) : s->h.file;
    STREAM* st = f ? std::atomic_ref<STREAM*>(f->st).load(std::memory_order_acquire) : nullptr;
    unlock_parse("get_sexp_stream");
    return st;
}

int check_delay(QV_SEXP* s, int key) {
    if (!s) return 3;
    lock_parse();
    int r;
    bool delayed = sexp_raw_type(s) == QVT_DELAY;
    QV_FILE* f = delayed ? record_of(s) : s->h.file;
    if (f && (qvf_flags(f) & QVF_BUSY))
        r = 1;
    else if (!delayed)
        r = 3;
    else if (s->delay.dtype != DELAY_GENERATOR)
        r = 4;
    else {
        DELAY_FUNC* df = s->delay.d.func;
        unlock_parse("check_delay");
        return df->check_func ? df->check_func(df, key) : 5;
    }
    unlock_parse("check_delay");
    return r;
}

int get_delay_info(STREAM** st, DELAY_FUNC** buf, QV_SEXP* s) {
    *st = nullptr;
    if (!s) return 3;
    lock_parse();
    bool delayed = sexp_raw_type(s) == QVT_DELAY;
    QV_FILE* f = delayed ? record_of(s) : s->h.file;
    if (f) *st = std::atomic_ref<STREAM*>(f->st).load(std::memory_order_acquire);
    int r = 3;
    if (delayed && !(f && (qvf_flags(f) & QVF_BUSY))) {
        if (s->delay.dtype == DELAY_GENERATOR) {
            DELAY_FUNC* df = s->delay.d.func;
            if (f) set_busy(f, get_tid());
            *buf = df;
            gc_set(df, gc_delay_func);
            if (f) set_busy(f, 0);
            wake(f);
            r = 2;
        } else {
            r = 4;
        }
    }
    unlock_parse("get_delay_info");
    return r;
}

QV_SEXP* init_parse_text(const char* text, int len, const char* name) {
    if (!text) text = "";
    if (len < 0) len = static_cast<int>(strlen(text));
    STREAM* st = s_open_string_read(text, &utf8_cm, len, 1);
    if (!st) return nullptr;
    return init_parse(st, _l_string_1(&utf8_cm, name ? name : ""), nullptr);
}

QV_SEXP* read_qv_items(const char* text, int len, const char* name) {
    QV_SEXP* top = init_parse_text(text, len, name);
    for (QV_SEXP* p = top; get_type(p) == QVT_PAIR; p = p->pair.cdr) {
    }
    return top;
}

QV_SEXP* read_qv_item(const char* text, int len, const char* name) {
    QV_SEXP* top = init_parse_text(text, len, name);
    return get_type(top) == QVT_PAIR ? top->pair.car : nullptr;
}
