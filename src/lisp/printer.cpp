// The printer: the print table, the notations and the escape rules of each node kind.
#include "lisp/printer.h"

#include <time.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include "base/panic.h"
#include "lisp/eval.h"
#include "lisp/hostcmd.h"
#include "lisp/lexer.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "longchar/codemethod.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"

namespace {

// One print: the output batch and the error number of the first failure.
struct PRINT_CTX {
    S_PRINTF_SAT sat;
    STREAM* st;
    int er;
    bool flushed = false;     // part of the batch has been written
    QV_SEXP* root = nullptr;  // the value printed, measured before the batch first goes out
    int root_depth = 0;       // the depth its items print at: -1 for a list of top-level items
};

typedef int (*PT_FUNC)(PRINT_CTX* c, QV_SEXP* s, int flags, INDENT ind, int depth);

struct pt_t {
    PT_FUNC f[2];  // 0 list notation, 1 tag notation
};

int print_node(PRINT_CTX* c, QV_SEXP* s, int flags, INDENT ind, int depth);
QV_SEXP* real(QV_SEXP* s);

// ---------------------------------------------------------------- the depth bound

// One thing still to be measured: a node at its depth, or (slow set) the rest of a list whose
// items are at that depth, with the tortoise that follows its tail.
struct DEPTH_ITEM {
    QV_SEXP* s;
    QV_SEXP* slow;
    int depth;
    bool step;  // the tortoise moves at every second item
};

// True when an item of this kind holds other nodes the printer descends into.
bool has_parts(QV_SEXP* s) {
    int t = sexp_raw_type(s);
    return t == QVT_PAIR || t == QVT_ERROR || t == QVT_DELAY;
}

// Whether s, printed at depth `depth`, stays within PRINT_MAX_DEPTH levels and every list in it
// ends. The walk goes depth first and keeps its own stack on the heap, two entries a level at
// most, so it cannot overflow a task's stack however deep the value, and it stops at the first
// level beyond the bound. A list whose tail comes back to itself never ends, so it is refused as
// well (tortoise and hare along the tail).
bool fits_print_depth(QV_SEXP* s, int depth) {
    std::vector<DEPTH_ITEM> todo;
    todo.push_back({s, nullptr, depth, false});
    while (!todo.empty()) {
        DEPTH_ITEM it = todo.back();
        todo.pop_back();
        if (it.depth > PRINT_MAX_DEPTH) return false;
        QV_SEXP* p = real(it.s);
        if (!it.slow) {
            int t = sexp_raw_type(p);
            if (t == QVT_ERROR) todo.push_back({p->error.data, nullptr, it.depth + 1, false});
            if (t != QVT_PAIR) continue;
            it = {p, p, it.depth + 1, false};
            if (it.depth > PRINT_MAX_DEPTH) return false;
        }
        // The items of the list from p on; the first that has parts is measured before the rest.
        for (;;) {
            QV_SEXP* item = p->pair.car;
            QV_SEXP* next = real(p->pair.cdr);
            int nt = sexp_raw_type(next);
            if (nt != QVT_PAIR) {
                if (nt != QVT_NIL) todo.push_back({next, nullptr, it.depth, false});
                if (has_parts(item)) todo.push_back({item, nullptr, it.depth, false});
                break;
            }
            if (it.step) it.slow = real(it.slow->pair.cdr);
            it.step = !it.step;
            if (next == it.slow) return false;
            if (has_parts(item)) {
                todo.push_back({next, it.slow, it.depth, it.step});
                todo.push_back({item, nullptr, it.depth, false});
                break;
            }
            p = next;
        }
    }
    return true;
}

// ---------------------------------------------------------------- output

int flush(PRINT_CTX* c) {
    // Nothing goes out before the whole value is known to print: a value too deep is refused
    // while the stream has none of it. A value that fits in one batch is never measured.
    if (!c->flushed && c->root && !fits_print_depth(c->root, c->root_depth)) {
        c->er = ELOOP;
        return -1;
    }
    c->flushed = true;
    int e = 0;
    if (flush_spsat(&c->sat, &e) < 0) {
        c->er = e ? e : EIO;
        return -1;
    }
    return 0;
}

int put(PRINT_CTX* c, L_CHAR ch) {
    if (c->sat.str_buf_ptr >= SPSAT_BUF_CHARS && flush(c) < 0) return -1;
    c->sat.str_buf[c->sat.str_buf_ptr++] = ch;
    return 0;
}

int put_l(PRINT_CTX* c, const L_CHAR* t) {
    for (; t && *t; t++)
        if (put(c, *t) < 0) return -1;
    return 0;
}

// ASCII text.
int put_a(PRINT_CTX* c, const char* t) {
    for (; *t; t++)
        if (put(c, static_cast<unsigned char>(*t)) < 0) return -1;
    return 0;
}

int put_f(PRINT_CTX* c, const char* fmt, ...) {
    char buf[400];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return put_a(c, buf);
}

int spaces(PRINT_CTX* c, int n) {
    for (int i = 0; i < n; i++)
        if (put(c, ' ') < 0) return -1;
    return 0;
}

// A quoted text: backslash escapes for TAB, LF, CR, the double quote and the backslash,
// references for '&' and '<', and for character 3, which the reader would take as a cancel. CR
// is written as its own escape, so that it does not come back as LF.
int put_quoted(PRINT_CTX* c, const L_CHAR* t, bool caret) {
    if (caret && put(c, '^') < 0) return -1;
    if (put(c, '"') < 0) return -1;
    for (; t && *t; t++) {
        int r;
        switch (*t) {
            case '\t':
                r = put_a(c, "\\t");
                break;
            case '\n':
                r = put_a(c, "\\n");
                break;
            case '\r':
                r = put_a(c, "\\r");
                break;
            case '"':
                r = put_a(c, "\\\"");
                break;
            case '\\':
                r = put_a(c, "\\\\");
                break;
            case '&':
                r = put_a(c, "&amp;");
                break;
            case '<':
                r = put_a(c, "&lt;");
                break;
            case 3:
                r = put_a(c, "&#3;");
                break;
            default:
                r = put(c, *t);
        }
        if (r < 0) return -1;
    }
    return put(c, '"');
}

// An HTML attribute value: '"', '&' and '<' as references, so a value cannot end the attribute
// or open markup.
int put_html_value(PRINT_CTX* c, const L_CHAR* t) {
    for (; t && *t; t++) {
        int r;
        switch (*t) {
            case '"':
                r = put_a(c, "&#34;");
                break;
            case '&':
                r = put_a(c, "&amp;");
                break;
            case '<':
                r = put_a(c, "&lt;");
                break;
            default:
                r = put(c, *t);
        }
        if (r < 0) return -1;
    }
    return 0;
}

// Tag text: '&' and '<' as entities, '(' ')' and '^' as references (they would end the word),
// other characters below 33 as decimal references.
int put_tag_text(PRINT_CTX* c, const L_CHAR* t) {
    for (; *t; t++) {
        int r;
        L_CHAR ch = *t;
        if (ch == '&')
            r = put_a(c, "&amp;");
        else if (ch == '<')
            r = put_a(c, "&lt;");
        else if (ch == '(' || ch == ')' || ch == '^')
            r = put_f(c, "&cx%x;", static_cast<unsigned>(ch));
        else if (ch < 33)
            r = put_f(c, "&#%u;", static_cast<unsigned>(ch));
        else
            r = put(c, ch);
        if (r < 0) return -1;
    }
    return 0;
}

bool is_digit(L_CHAR ch) {
    return ch >= '0' && ch <= '9';
}

// True when a unit's first character would be read as part of the number before it: a digit, a
// sign or a '.', and an 'x' after a lone 0 (which would make it hexadecimal).
bool unit_joins_number(const L_CHAR* u, bool zero) {
    L_CHAR ch = u ? u[0] : 0;
    return is_digit(ch) || ch == '.' || ch == '+' || ch == '-' ||
           (zero && (ch == 'x' || ch == 'X'));
}

// A number whose unit the tag reader would cut, refuse, expand or take into the value is written
// after a '^', so that it is read as one S-expression atom (a sign after the digits is a unit
// there as well). So is an infinity, which only the S-expression reader reads back.
bool number_needs_caret(const L_CHAR* u, bool zero, bool infinite) {
    if (infinite) return true;
    if (!u) return false;
    if (unit_joins_number(u, zero) && u[0] != '+' && u[0] != '-') return true;
    for (const L_CHAR* p = u; *p; p++)
        if (*p == '^' || *p == '\\' || *p == '&' || *p <= ' ') return true;
    return check_unit_string(u) < 0;
}

// The unit of a number read as an S-expression atom. A character the reader would take into the
// value (at the start), or that would end the atom or begin a reference, is written as a
// reference: the reader ends the value at the first referenced character and keeps it in the
// unit.
int put_atom_unit(PRINT_CTX* c, const L_CHAR* u, bool zero) {
    for (const L_CHAR* p = u; p && *p; p++) {
        L_CHAR ch = *p;
        bool ref = (p == u && unit_joins_number(u, zero)) || ch <= ' ' || ch == '"' || ch == '\'' ||
                   ch == ';' || ch == '<' || ch == '(' || ch == ')' || ch == '&';
        if ((ref ? put_f(c, "&#%u;", static_cast<unsigned>(ch)) : put(c, ch)) < 0) return -1;
    }
    return 0;
}

// A node, realised: a delayed node becomes what it stands for.
QV_SEXP* real(QV_SEXP* s) {
    return sexp_raw_type(s) == QVT_DELAY ? realize_sexp(s) : s;
}

// ---------------------------------------------------------------- the kinds

int pt_null(PRINT_CTX* c, QV_SEXP*, int flags, INDENT, int) {
    return flags & PF_BARE ? 0 : put_a(c, "()");
}

int pt_error(PRINT_CTX* c, QV_SEXP* s, int flags, INDENT ind, int depth) {
    QV_ERROR& e = s->error;
    if (!(flags & PF_IN_LIST) && put(c, '^') < 0) return -1;
    if (put_a(c, "\n %E\n (") < 0) return -1;
    if (put_quoted(c, e.site, false) < 0 || put(c, ' ') < 0) return -1;
    if (put_quoted(c, e.filename, false) < 0 || put(c, ' ') < 0) return -1;
    if (put_f(c, "%i ", e.line) < 0) return -1;
    if (put_quoted(c, e.func, false) < 0 || put(c, ' ') < 0) return -1;
    if (put_f(c, "0x%x\n ", e.code) < 0) return -1;
    int dflags = (flags & ~(PF_XML | PF_HTML | PF_BARE)) | PF_IN_LIST;
    if (print_node(c, e.data, dflags, ind, depth + 1) < 0) return -1;
    return put(c, ')');
}

int pt_pair_list(PRINT_CTX* c, QV_SEXP* s, int flags, INDENT ind, int depth) {
    bool bare = flags & PF_BARE;
    if ((flags & PF_PRETTY) && (ind.flags & 1)) {
        if (put(c, '\n') < 0 || spaces(c, ind.ind) < 0) return -1;
    }
    if (!bare && put(c, '(') < 0) return -1;
    INDENT sub = {0, static_cast<uint16_t>(ind.ind + 1)};
    int iflags = flags | PF_IN_LIST;
    for (QV_SEXP* p = s;;) {
        if (print_node(c, p->pair.car, iflags, sub, depth + 1) < 0) return -1;
        sub.flags |= 1;
        QV_SEXP* next = real(p->pair.cdr);
        int t = sexp_raw_type(next);
        if (t == QVT_PAIR) {
            if (put(c, ' ') < 0) return -1;
            p = next;
            continue;
        }
        if (t != QVT_NIL) {
            if (put_a(c, " .") < 0 || print_node(c, next, iflags, sub, depth + 1) < 0) return -1;
            return put(c, ')');
        }
        break;
    }
    return bare ? 0 : put(c, ')');
}

bool valid_tag_name(const L_CHAR* n) {
    if (!n || !*n) return false;
    for (; *n; n++) {
        L_CHAR ch = *n;
        if (ch <= 32 || ch == '"' || ch == '%' || ch == '&' || ch == '\'' || ch == '(' ||
            ch == ')' || ch == '+' || ch == '/' || ch == '<' || ch == '=' || ch == '>' ||
            ch == '\\' || ch == '^')
            return false;
    }
    return true;
}

int tag_attributes(PRINT_CTX* c, QV_SEXP* sym, int flags) {
    static const L_CHAR empty[1] = {0};
    bool html = (flags & PF_HTML) && !(flags & PF_IN_LIST);
    for (QV_SYM_FIELD* f = sym->symbol.field; f; f = f->next) {
        const L_CHAR* v = f->data ? f->data : empty;
        if (put(c, ' ') < 0 || put_l(c, f->name) < 0) return -1;
        int r;
        if (!html) {
            r = put(c, '=') < 0 ? -1 : put_quoted(c, v, false);
        } else if (!v[0]) {
            r = 0;
        } else if (v[0] == '#' && v[1] == '-') {
            r = (put_a(c, "=\"#") < 0 || put_html_value(c, v + 2) < 0) ? -1 : put(c, '"');
        } else if (v[0] == '#') {
            r = (put(c, '=') < 0 || put_html_value(c, v + 1) < 0) ? -1 : put(c, ' ');
        } else {
            r = (put_a(c, "=\"") < 0 || put_html_value(c, v) < 0) ? -1 : put(c, '"');
        }
        if (r < 0) return -1;
    }
    return 0;
}

int pt_pair_tag(PRINT_CTX* c, QV_SEXP* s, int flags, INDENT ind, int depth) {
    QV_SEXP* head = real(s->pair.car);
    if (sexp_raw_type(head) != QVT_SYMBOL || !valid_tag_name(head->symbol.data))
        return pt_pair_list(c, s, flags, ind, depth);
    const L_CHAR* name = head->symbol.data;
    QV_SEXP* p = real(s->pair.cdr);
    if (put(c, '<') < 0 || put_l(c, name) < 0 || tag_attributes(c, head, flags) < 0) return -1;
    if (sexp_raw_type(p) == QVT_NIL) {
        if (flags & PF_HTML) return put(c, '>');
        return put_a(c, name[0] == '?' ? "?>" : "/>");
    }
    if (put(c, '>') < 0) return -1;
    bool pretty = flags & PF_PRETTY;
    INDENT sub = {0, static_cast<uint16_t>(ind.ind + 1)};
    int iflags = flags & ~PF_IN_LIST;
    bool first = true;
    bool line_start = false;  // the last thing written was a line break
    bool nested = false;
    for (;;) {
        bool tail = sexp_raw_type(p) != QVT_PAIR;
        QV_SEXP* item = tail ? p : real(p->pair.car);
        if (pretty && sexp_raw_type(item) == QVT_PAIR) {
            if ((!line_start && put(c, '\n') < 0) || spaces(c, sub.ind) < 0) return -1;
            if (print_node(c, item, iflags, sub, depth + 1) < 0 || put(c, '\n') < 0) return -1;
            line_start = nested = true;
        } else {
            if (line_start ? spaces(c, sub.ind) < 0 : (!first && put(c, ' ') < 0)) return -1;
            if (print_node(c, item, iflags, sub, depth + 1) < 0) return -1;
            line_start = false;
        }
        first = false;
        if (tail) break;
        p = real(p->pair.cdr);
        if (sexp_raw_type(p) == QVT_NIL) break;
    }
    if (nested && line_start && spaces(c, ind.ind) < 0) return -1;
    if (put_a(c, "</") < 0 || put_l(c, name) < 0) return -1;
    return put(c, '>');
}

int pt_symbol(PRINT_CTX* c, QV_SEXP* s, int flags, INDENT, int) {
    if (!(flags & PF_IN_LIST) && put(c, '^') < 0) return -1;
    QV_SYM_FIELD* f = s->symbol.field;
    if (!f) return put_l(c, s->symbol.data);
    if (put(c, '[') < 0 || put_l(c, s->symbol.data) < 0) return -1;
    for (; f; f = f->next) {
        if (put(c, ' ') < 0 || put_l(c, f->name) < 0 || put(c, '=') < 0) return -1;
        if (put_quoted(c, f->data, false) < 0) return -1;
    }
    return put(c, ']');
}

int pt_string_list(PRINT_CTX* c, QV_SEXP* s, int flags, INDENT, int) {
    if (flags & PF_BARE) return put_l(c, s->string.data);
    return put_quoted(c, s->string.data, !(flags & PF_IN_LIST));
}

int pt_string_tag(PRINT_CTX* c, QV_SEXP* s, int flags, INDENT ind, int depth) {
    const L_CHAR* t = s->string.data;
    bool quoted = (flags & (PF_IN_LIST | PF_BARE)) || !t[0] || t[0] == '^' || is_digit(t[0]) ||
                  ((t[0] == '+' || t[0] == '-') && is_digit(t[1]));
    if (quoted) return pt_string_list(c, s, flags, ind, depth);
    return put_tag_text(c, t);
}

// Bare text is not meant for the reader: numbers go out as they are, without caret or references.
int pt_integer(PRINT_CTX* c, QV_SEXP* s, int flags, INDENT, int) {
    const L_CHAR* u = s->integer.unit;
    bool zero = s->integer.data == 0;
    bool bare = flags & PF_BARE;
    bool atom = (flags & PF_IN_LIST) && !bare;
    if (!atom && !bare && number_needs_caret(u, zero, false)) {
        if (put(c, '^') < 0) return -1;
        atom = true;
    }
    if (put_f(c, "%lli", static_cast<long long>(s->integer.data)) < 0) return -1;
    return atom ? put_atom_unit(c, u, zero) : put_l(c, u);
}

// True when a unit would be taken for the exponent of the number before it ("e3", "E-2x").
bool unit_reads_as_exponent(const L_CHAR* u) {
    if (!u || (u[0] != 'e' && u[0] != 'E')) return false;
    const L_CHAR* p = u + 1;
    if (*p == '+' || *p == '-') p++;
    return is_digit(*p);
}

// The text of a floating value: 16 decimals, or as many more as it takes to read back as the
// same value (0.1 + 0.2 needs 17); for the reader an infinity as a decimal exponent beyond the
// range, which the S-expression reader reads back as one; NaN, and an infinity in bare text, as
// the C library writes them. Returns the length.
int float_text(double v, bool for_reader, char* buf, size_t size) {
    if (for_reader && std::isinf(v))
        return snprintf(buf, size, "%s", v < 0 ? "-1.0e999" : "1.0e999");
    if (!std::isfinite(v)) return snprintf(buf, size, "%.16f", v);
    // The same digits as "%.16f", without the cost of the format machinery.
    auto fixed = std::to_chars(buf, buf + size - 1, v, std::chars_format::fixed, 16);
    if (fixed.ec != std::errc()) return snprintf(buf, size, "%.16f", v);
    int n = static_cast<int>(fixed.ptr - buf);
    buf[n] = 0;
    double back = 0;
    auto [end, ec] = std::from_chars(buf, buf + n, back);
    if (ec == std::errc() && back == v) return n;
    // The shortest fixed text that reads back, given at least 16 decimals.
    auto res = std::to_chars(buf, buf + size - 20, v, std::chars_format::fixed);
    if (res.ec != std::errc()) return n;
    n = static_cast<int>(res.ptr - buf);
    const char* dot = static_cast<const char*>(memchr(buf, '.', static_cast<size_t>(n)));
    int decimals = dot ? static_cast<int>(buf + n - dot - 1) : 0;
    if (!dot) buf[n++] = '.';
    for (; decimals < 16; decimals++)
        buf[n++] = '0';
    buf[n] = 0;
    return n;
}

int pt_floating(PRINT_CTX* c, QV_SEXP* s, int flags, INDENT, int) {
    const L_CHAR* u = s->floating.unit;
    double v = s->floating.data;
    bool infinite = std::isinf(v);
    bool bare = flags & PF_BARE;
    bool atom = (flags & PF_IN_LIST) && !bare;
    if (!atom && !bare && number_needs_caret(u, false, infinite)) {
        if (put(c, '^') < 0) return -1;
        atom = true;
    }
    char buf[512];
    float_text(v, !bare, buf, sizeof buf);
    if (put_a(c, buf) < 0) return -1;
    if (atom) {
        // Read as an S-expression atom the number takes an exponent: one of zero written first
        // leaves a unit such as "e3" to the unit (an infinity has its own already).
        if (!infinite && unit_reads_as_exponent(u) && put_a(c, "e0") < 0) return -1;
        if (put_atom_unit(c, u, false) < 0) return -1;
    } else if (put_l(c, u) < 0) {
        return -1;
    }
    return put(c, ' ');
}

int pt_function(PRINT_CTX* c, QV_SEXP* s, int, INDENT, int) {
    QV_FUNC& f = s->func;
    if (f.type == FUNC_PRIM)
        return put_f(c, "[prim:0x%llx]",
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(f.prim)));
    if (f.type == FUNC_LAMBDA)
        return put_f(c, "[lambda:0x%llx]",
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(f.l_body)));
    return put_f(c, "[%i:]", f.type);
}

int pt_ptr(PRINT_CTX* c, QV_SEXP* s, int, INDENT, int) {
    return put_f(c, "+PTR:%llx+",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(s->ptr.ptr)));
}

int pt_env(PRINT_CTX* c, QV_SEXP* s, int, INDENT, int) {
    return put_f(c, "+ENV:%llx+",
                 static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(s->env.data)));
}

void short_pause() {
    struct timespec ts = {0, 1000000};
    nanosleep(&ts, nullptr);
}

int pt_raw(PRINT_CTX* c, QV_SEXP* s, int flags, INDENT, int) {
    if (!(flags & PF_IN_LIST) && put(c, '^') < 0) return -1;
    int32_t size = s->raw.size;
    if (put_f(c, "#%x#", static_cast<unsigned>(size)) < 0) return -1;
    if (flags & PF_NO_RAW) {
        if (put(c, ']') < 0) return -1;
    } else {
        if (flush(c) < 0) return -1;
        const uint8_t* p = s->raw.data;
        int left = size;
        int piece = 1000;
        while (left > 0) {
            int n = left < piece ? left : piece;
            int w = s_write(c->st, p, n);
            if (w > 0) {
                p += w;
                left -= w;
                piece = 1000;
                continue;
            }
            int e = errno;
            if (w < 0 && (e == EAGAIN || e == EWOULDBLOCK)) {
                piece = piece > 1 ? piece / 2 : 1;
                short_pause();
                continue;
            }
            c->er = w < 0 && e ? e : EIO;
            return -1;
        }
    }
    if (flags & PF_FREE_RAW) {
        // The bytes are forgotten, not freed: another node may share them; the collector
        // reclaims them once nothing does.
        lock_mem();
        s->raw.data = nullptr;
        s->raw.size = 0;
        unlock_mem();
    }
    return 0;
}

// One row per node kind; a delayed node still delayed after realisation (asked for by the task
// reading its own record) prints as nil.
constexpr pt_t pt_tab[QVT_COUNT] = {
    {{pt_null, pt_null}},
    {{pt_error, pt_error}},
    {{pt_pair_list, pt_pair_tag}},
    {{pt_symbol, pt_symbol}},
    {{pt_string_list, pt_string_tag}},
    {{pt_integer, pt_integer}},
    {{pt_floating, pt_floating}},
    {{pt_function, pt_function}},
    {{pt_null, pt_null}},
    {{pt_ptr, pt_ptr}},
    {{pt_raw, pt_raw}},
    {{pt_env, pt_env}},
};

int print_node(PRINT_CTX* c, QV_SEXP* s, int flags, INDENT ind, int depth) {
    if (depth > PRINT_MAX_DEPTH) {
        c->er = ELOOP;
        return -1;
    }
    s = real(s);
    int t = sexp_raw_type(s);
    if (t < 0 || t >= QVT_COUNT) {
        printf("--- %i %llx\n", t, static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(s)));
        er_panic("_get_print_table(1)");
    }
    return pt_tab[t].f[(flags & (PF_XML | PF_HTML)) ? 1 : 0](c, s, flags, ind, depth);
}

}  // namespace

namespace {

// Texts around the value go into the same batch as the value (ASCII or UTF-8, as s_printf
// takes them).
int sat_printf(PRINT_CTX* c, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = _s_printf(c->st, nullptr, fmt, ap, &c->sat);
    va_end(ap);
    return r;
}

int put_text(PRINT_CTX* c, const char* text) {
    if (!text || !*text) return 0;
    if (sat_printf(c, "%s", text) >= 0) return 0;
    c->er = EIO;
    return -1;
}

}  // namespace

int e_print_sexp_framed(STREAM* st, int* err, QV_SEXP* s, int flags, const char* before,
                        const char* after, uint32_t serial) {
    PRINT_CTX c;
    c.st = st;
    c.er = 0;
    if (new_spsat(&c.sat, st) < 0) {
        if (err) *err = EINVAL;
        return -1;
    }
    c.sat.hold = (flags & PF_HOLD) != 0;
    c.sat.serial = serial;
    flags &= ~PF_HOLD;
    c.root = s;
    c.root_depth = (flags & PF_LINES) ? -1 : 0;
    int r = put_text(&c, before);
    INDENT top = {0, 0};
    if (r == 0 && (flags & PF_LINES)) {
        // Each item on a line of its own. A value that is not a list, or the tail of one that
        // does not end in nil, is an item too: nothing given is left out of the file.
        QV_SEXP* p = real(s);
        for (; r == 0 && sexp_raw_type(p) == QVT_PAIR; p = real(p->pair.cdr)) {
            r = print_node(&c, p->pair.car, flags & ~PF_LINES, top, 0);
            if (r == 0) r = put(&c, '\n');
        }
        if (r == 0 && sexp_raw_type(p) != QVT_NIL) {
            r = print_node(&c, p, flags & ~PF_LINES, top, 0);
            if (r == 0) r = put(&c, '\n');
        }
    } else if (r == 0) {
        r = print_node(&c, s, flags, top, 0);
    }
    if (r == 0) r = put_text(&c, after);
    if (r < 0 && c.er == ELOOP && !c.flushed) {
        // Too deep: nothing at all is written, so the caller can put something in its place.
        c.sat.str_buf_ptr = 0;
        finish_spsat(&c.sat, nullptr);
        if (err) *err = ELOOP;
        return -1;
    }
    if (r < 0) {
        // Nothing of a failed print is written later; the texts around it still are, the text
        // before unless it went out already.
        c.sat.str_buf_ptr = 0;
        if (c.sat.err == 0 && !c.flushed) put_text(&c, before);
        if (c.sat.err == 0) put_text(&c, after);
        finish_spsat(&c.sat, nullptr);
        if (err) *err = c.er ? c.er : EIO;
        return -1;
    }
    int e = 0;
    if (finish_spsat(&c.sat, &e) < 0) {
        if (err) *err = e ? e : EIO;
        return -1;
    }
    return 0;
}

int e_print_sexp(STREAM* st, int* err, QV_SEXP* s, int flags) {
    return e_print_sexp_framed(st, err, s, flags, nullptr, nullptr);
}

static_assert(QVE_PRINT_TOO_DEEP == QVE_EVAL_TOO_DEEP, "one code for a value too deep");

QV_SEXP* print_depth_error(QV_SEXP* pos, const char* func) {
    QV_SEXP* data = list(n_get_string("print:value too deep to print"),
                         get_integer(PRINT_MAX_DEPTH, nullptr), nullptr);
    return eval_error(pos, QVE_PRINT_TOO_DEEP, func, data);
}

void init_printer() {
    static_assert(SAVE_PRINT_ITEMS == PF_LINES, "save prints a list of top-level items");
    set_save_printer(e_print_sexp);
}

int print_sexp(STREAM* st, QV_SEXP* s, int flags) {
    return e_print_sexp(st, nullptr, s, flags);
}

int check_valid_string(const L_CHAR* text) {
    for (; text && *text; text++) {
        L_CHAR ch = *text;
        if (ch <= 32 || ch == '%' || ch == '\'' || ch == '(' || ch == ')' || ch == '^') return -1;
    }
    return 0;
}

std::string print_sexp_text(QV_SEXP* s, int flags) {
    STREAM* st = s_open_string_write(&utf8_cm);
    if (!st) return std::string();
    std::string r;
    if (e_print_sexp(st, nullptr, s, flags) == 0) {
        const char* p = s_get_string(st);
        if (p) r.assign(p, static_cast<size_t>(st->str.size));
    }
    s_close(st);
    return r;
}
