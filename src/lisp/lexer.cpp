// The lexer: source records, characters, entities, the state machine and the nodes of datum
// tokens. The tag layer above the raw tokens (attributes, comments, the bracket form) is in
// lextoken.cpp.
//
// States of the machine (`mode`):
//   0 tag idle, 1 list idle (S-expression mode; behaves as 0 while QVF_SEXP is clear), 2 atom,
//   3 string, 4 comment, 5 raw-byte literal, -1 tag word, -2 tag opener, -3 quoted attribute
//   value, -4 attribute name or bare value, -5 inside a tag, -6/-7/-8 closer, -9/-10/-11 comment
//   (none, one, two '-' seen), -12 tag number, -13 blanks after a tag word, -14 CDATA.
// The token text starts empty at every call; a character may be pushed back for the next state.
#include "lisp/lexer.h"

#include <locale.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/tick.h"
#include "lisp/collect.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "stream/streamio.h"

SEM lex_lock;
QV_FILE* vx_file_root;

namespace {

enum : int {
    S_CDATA = -14,
    S_SPACE = -13,
    S_TNUM = -12,
    S_COM2 = -11,
    S_COM1 = -10,
    S_COM = -9,
    S_CLOSER8 = -8,
    S_CLOSER7 = -7,
    S_CLOSER6 = -6,
    S_INTAG = -5,
    S_ANAME = -4,
    S_AVAL = -3,
    S_OPENER = -2,
    S_WORD = -1,
    S_TAG = 0,
    S_LIST = 1,
    S_ATOM = 2,
    S_STRING = 3,
    S_COMMENT = 4,
    S_RAW = 5,
};

constexpr int NO_TOKEN = -1000;  // a state read a character and wants the next one

// Appends an error value on a given line to the record's lex_error.
void lex_error_at(QV_FILE* f, int line, uint32_t code, QV_SEXP* data) {
    static const L_CHAR lex_name[] = {'l', 'e', 'x', 0};
    QV_SEXP* e = get_error(f, line, code, lex_name, data);
    lock_mem();
    QV_SEXP* cell = cons(e, f->lex_error);
    f->lex_error = cell;
    unlock_mem();
}

locale_t c_locale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

bool is_digit(L_CHAR c) {
    return c >= '0' && c <= '9';
}
bool is_hex(L_CHAR c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int hex_value(L_CHAR c) {
    return is_digit(c) ? static_cast<int>(c - '0') : static_cast<int>((c | 0x20) - 'a' + 10);
}
bool is_blank(L_CHAR c) {
    return c == ' ' || c == '\t';
}
bool is_nl(L_CHAR c) {
    return c == '\n' || c == '\r';
}

bool plain(QV_FILE* f) {
    return qvf_flags(f) & QVF_PLAIN;
}
void count_line(QV_FILE* f) {
    if (!(qvf_flags(f) & QVF_LINE_FIX)) f->line++;
}
void head(QV_FILE* f) {
    f->token_head_line = f->line;
}

// ---------------------------------------------------------------- token text

void text_reset(QV_FILE* f) {
    f->yylen = 0;
    if (f->yytext) f->yytext[0] = 0;
}

void collect(QV_FILE* f, L_CHAR c) {
    if (f->yylen + 1 >= f->yytextlen) {
        if (f->yytextlen >= QV_TOKEN_MAX) {
            f->token_over = 1;
            return;
        }
        int cap = f->yytextlen ? f->yytextlen * 2 : 10;
        if (cap > QV_TOKEN_MAX) cap = QV_TOKEN_MAX;
        int64_t bytes = static_cast<int64_t>(cap) * static_cast<int64_t>(sizeof(L_CHAR));
        lock_mem();
        void* t = f->yytext ? mrealloc(f->yytext, bytes, gc_text) : mmalloc(bytes, gc_text);
        f->yytext = static_cast<L_CHAR*>(t);
        f->yytextlen = cap;
        unlock_mem();
    }
    f->yytext[f->yylen++] = c;
    f->yytext[f->yylen] = 0;
}

// Drops n characters from the front of the token text.
void text_drop_front(QV_FILE* f, int n) {
    if (n > f->yylen) n = f->yylen;
    memmove(f->yytext, f->yytext + n, static_cast<size_t>(f->yylen - n + 1) * sizeof(L_CHAR));
    f->yylen -= n;
}

void text_drop_back(QV_FILE* f, int n) {
    if (n > f->yylen) n = f->yylen;
    f->yylen -= n;
    f->yytext[f->yylen] = 0;
}

bool text_eq(QV_FILE* f, const char* s) {
    int n = static_cast<int>(strlen(s));
    if (f->yylen != n) return false;
    for (int i = 0; i < n; i++)
        if (f->yytext[i] != static_cast<unsigned char>(s[i])) return false;
    return true;
}

bool text_starts(QV_FILE* f, const char* s) {
    int n = static_cast<int>(strlen(s));
    if (f->yylen < n) return false;
    for (int i = 0; i < n; i++)
        if (f->yytext[i] != static_cast<unsigned char>(s[i])) return false;
    return true;
}

bool text_ends(QV_FILE* f, const char* s) {
    int n = static_cast<int>(strlen(s));
    if (f->yylen < n) return false;
    const L_CHAR* t = f->yytext + f->yylen - n;
    for (int i = 0; i < n; i++)
        if (t[i] != static_cast<unsigned char>(s[i])) return false;
    return true;
}

// The ASCII image of long characters (others become DEL), for the C number conversions.
std::string ascii(const L_CHAR* t, int n) {
    std::string r(static_cast<size_t>(n), '\x7f');
    for (int i = 0; i < n; i++)
        if (t[i] < 0x7f) r[static_cast<size_t>(i)] = static_cast<char>(t[i]);
    return r;
}

// ---------------------------------------------------------------- nodes of tokens

// A collected copy of n characters; memory lock held.
L_CHAR* copy_n(const L_CHAR* t, int n) {
    auto* r = static_cast<L_CHAR*>(mmalloc((static_cast<int64_t>(n) + 1) * 4, gc_text));
    if (n > 0) memcpy(r, t, static_cast<size_t>(n) * sizeof(L_CHAR));
    return r;
}

// A datum's node and its text are made and filled in one heap section: no collection runs before
// the node holds its text (a section keeps the collector out as the memory lock would, without a
// lock that every reading task would take for every token).
QV_SEXP* text_node(QV_FILE* f, int type, const L_CHAR* t, int n, int32_t node_flags) {
    HeapSection in;
    L_CHAR* text = copy_n(t, n);
    QV_SEXP* s = get_sexp(f, type);
    if (type == QVT_STRING)
        s->string.data = text;
    else
        s->symbol.data = text;
    s->h.flags = node_flags;
    return s;
}

QV_SEXP* number_node(QV_FILE* f, bool is_float, int64_t iv, double dv, const L_CHAR* unit,
                     int ulen) {
    HeapSection in;
    L_CHAR* u = ulen > 0 ? copy_n(unit, ulen) : nullptr;
    QV_SEXP* s;
    if (is_float) {
        s = get_sexp(f, QVT_FLOAT);
        s->floating.unit = u;
        s->floating.data = dv;
    } else {
        s = get_sexp(f, QVT_INTEGER);
        s->integer.unit = u;
        s->integer.data = iv;
    }
    return s;
}

int64_t to_int64(const std::string& num, int base) {
    errno = 0;
    return strtoll(num.c_str(), nullptr, base);  // clamps to the int64 range
}

// The C conversion of the longest prefix of num it accepts; *used, when given, receives the
// number of characters it took.
double to_double(const std::string& num, int* used = nullptr) {
    char* end = nullptr;
    double v = strtod_l(num.c_str(), &end, c_locale());
    if (used) *used = static_cast<int>(end - num.c_str());
    return v;
}

QV_SEXP* name_string(QV_FILE* f) {
    return get_string(f->name);
}

QV_SEXP* text_string(QV_FILE* f, int max) {
    int n = f->yylen < max ? f->yylen : max;
    HeapSection in;
    QV_SEXP* s = get_string(nullptr);
    s->string.data = copy_n(f->yytext, n);
    return s;
}

int file_end_error(QV_FILE* f) {
    lex_error_add(f, QVE_FILE_END,
                  list(n_get_string("unsutisfied file end"), name_string(f), nullptr));
    return TK_END;
}

int token_error(QV_FILE* f, const char* which, const char* msg) {
    QV_SEXP* data =
        msg ? list(n_get_string(which), name_string(f), text_string(f, f->yylen), n_get_string(msg),
                   nullptr)
            : list(n_get_string(which), name_string(f), text_string(f, f->yylen), nullptr);
    lex_error_add(f, QVE_TOKEN, data);
    return TK_END;
}

// A tag-mode word that is not a number: a string with the tag flag.
int word_string(QV_FILE* f) {
    text_node(f, QVT_STRING, f->yytext, f->yylen, SEXP_FLAG_TAG);
    return TK_DATUM;
}

// A tag-mode number: the "%i" rules (leading 0 octal, 0x hexadecimal) in 64 bits, or a decimal
// with one '.', then the unit.
int get_x_number(QV_FILE* f) {
    const L_CHAR* t = f->yytext;
    int n = f->yylen;
    int i = (n > 0 && (t[0] == '+' || t[0] == '-')) ? 1 : 0;
    int j;
    bool is_float = false;
    if (i + 1 < n && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
        j = i + 2;
        while (j < n && is_hex(t[j]))
            j++;
    } else {
        j = i;
        int dots = 0;
        while (j < n && (is_digit(t[j]) || t[j] == '.')) {
            if (t[j] == '.') dots++;
            j++;
        }
        if (dots > 1) return word_string(f);
        is_float = dots == 1;
    }
    const L_CHAR* unit = t + j;
    int ulen = n - j;
    if (ulen > 0 && check_unit_string(unit) < 0)
        return token_error(f, "token error 10", "invalid unit character");
    std::string num = ascii(t, j);
    if (is_float)
        number_node(f, true, 0, to_double(num), unit, ulen);
    else
        number_node(f, false, to_int64(num, 0), 0, unit, ulen);
    return TK_DATUM;
}

int get_x_text(QV_FILE* f) {
    const L_CHAR* t = f->yytext;
    int n = f->yylen;
    bool number =
        n > 0 && (is_digit(t[0]) || ((t[0] == '+' || t[0] == '-') && n > 1 && is_digit(t[1])));
    if (number && !plain(f)) return get_x_number(f);
    return word_string(f);
}

// The error literal: an error node with code 0, the record's name and site, no function name,
// the token's line; the parser fills the rest.
int error_literal(QV_FILE* f) {
    static const L_CHAR empty[1] = {0};
    QV_SEXP* e = get_error(f, f->token_head_line, 0, empty, nullptr);
    lock_mem();
    e->h.file = f;
    e->h.line = f->token_head_line;
    f->sexp = e;
    unlock_mem();
    return TK_ERROR;
}

// An S-expression atom, by its first character.
int get_token(QV_FILE* f) {
    const L_CHAR* t = f->yytext;
    int n = f->yylen;
    if (n <= 0) {
        fprintf(stderr, "get_token(1)\n");
        er_panic("get_token(1)\n");
    }
    if (t[0] == '"') {
        text_node(f, QVT_STRING, t + 1, n >= 2 ? n - 2 : 0, 0);
        return TK_DATUM;
    }
    // A character written as a reference after the first one ends the number: the unit begins
    // there, so a unit that begins with a digit, a sign or a '.' is not taken into the value.
    int lim = f->atom_ref > 0 && f->atom_ref < n ? f->atom_ref : n;
    int i = (t[0] == '+' || t[0] == '-') ? 1 : 0;
    bool zero = i < lim && t[i] == '0';
    bool decimal =
        (zero && i + 1 < lim && t[i + 1] == '.') || (i < lim && t[i] >= '1' && t[i] <= '9');
    if (decimal) {
        int j = 0;
        bool dot = false;
        while (j < lim && (is_digit(t[j]) || t[j] == '+' || t[j] == '-' || t[j] == '.')) {
            dot = dot || t[j] == '.';
            j++;
        }
        std::string whole = ascii(t, lim);
        if (dot) {
            // The conversion may take an exponent (1.5e3 is 1500.0): the unit begins after it,
            // so no character counts both in the value and in the unit (1500.0 with the unit
            // "e3" would print as a text that reads back a thousand times larger).
            int used = 0;
            double v = to_double(whole, &used);
            if (used > j) j = used;
            number_node(f, true, 0, v, t + j, n - j);
        } else
            number_node(f, false, to_int64(whole, 10), 0, t + j, n - j);
        return TK_DATUM;
    }
    if (zero) {
        int j = i + 1;
        if (j < lim && (t[j] == 'x' || t[j] == 'X')) {
            j++;
            while (j < lim && is_hex(t[j]))
                j++;
        } else {
            while (j < lim && t[j] >= '0' && t[j] <= '7')
                j++;
        }
        number_node(f, false, to_int64(ascii(t, lim), 0), 0, t + j, n - j);
        return TK_DATUM;
    }
    if (t[0] == '#') return error_literal(f);
    if (n == 2 && t[0] == '%' && t[1] == 'E') return error_literal(f);
    text_node(f, QVT_SYMBOL, t, n, 0);
    return TK_DATUM;
}

// True while the text of a raw-byte literal is '#' and hexadecimal digits only.
bool raw_head_ok(QV_FILE* f) {
    if (f->yylen > 9) return false;  // '#' and at most eight digits
    for (int i = 1; i < f->yylen; i++)
        if (!is_hex(f->yytext[i])) return false;
    return true;
}

// The raw-byte literal "#length#" (hexadecimal) and that many bytes, not decoded. The bytes are
// gathered as they arrive, so a declared length costs nothing until its data comes.
int read_raw(QV_FILE* f) {
    f->mode = S_LIST;
    const L_CHAR* t = f->yytext;
    int n = f->yylen;
    int digits = n - 2;
    int64_t len = 0;
    bool ok = digits >= 1 && digits <= 8 && t[0] == '#' && t[n - 1] == '#';
    for (int i = 1; ok && i < n - 1; i++) {
        if (!is_hex(t[i])) ok = false;
        len = len * 16 + (ok ? hex_value(t[i]) : 0);
    }
    if (!ok || len > QV_RAW_MAX) return token_error(f, "token error 4", "invalid raw length");
    std::vector<uint8_t> data;
    int64_t got = 0;
    while (got < len) {
        int64_t want = len - got < (1 << 20) ? len - got : (1 << 20);
        data.resize(static_cast<size_t>(got + want));
        int r = get_nchar(f, data.data() + got, static_cast<int>(want));
        got += r > 0 ? r : 0;
        if (r < want) break;
    }
    if (got < len) return file_end_error(f);
    lock_mem();
    auto* buf = static_cast<uint8_t*>(mmalloc(len, gc_text));
    if (len > 0) memcpy(buf, data.data(), static_cast<size_t>(len));
    QV_SEXP* s = get_sexp(f, QVT_RAW);
    s->raw.size = static_cast<int32_t>(len);
    s->raw.data = buf;
    unlock_mem();
    return TK_DATUM;
}

void upper_ascii(L_CHAR* t, int n) {
    for (int i = 0; i < n; i++)
        if (t[i] >= 'a' && t[i] <= 'z') t[i] -= 'a' - 'A';
}

// A tag opener, classified by its text.
int get_x_tag(QV_FILE* f) {
    int code;
    if (text_starts(f, "<?"))
        code = TK_PI;
    else if (text_eq(f, "<![CDATA["))
        code = TK_CDATA;
    else if (text_starts(f, "<!--")) {
        f->mode = S_COM;
        text_reset(f);
        return TK_COMMENT;
    } else if (text_starts(f, "<!"))
        code = TK_BANG;
    else if (text_eq(f, "<["))
        code = TK_BRACKET;
    else if (text_starts(f, "</"))
        code = TK_END_TAG;
    else if (text_ends(f, "/>"))
        code = TK_EMPTY;
    else
        code = TK_START;
    if (text_ends(f, ">")) {
        if (code >= TK_CDATA && code <= TK_BRACKET) return token_error(f, "token error 5", nullptr);
        text_drop_back(f, code == TK_EMPTY ? 2 : 1);
    } else if (code == TK_START) {
        code = TK_START_ATTR;
    }
    text_drop_front(f, code == TK_END_TAG ? 2 : 1);
    if (qvf_flags(f) & QVF_HTML) upper_ascii(f->yytext, f->yylen);
    text_node(f, QVT_SYMBOL, f->yytext, f->yylen, SEXP_FLAG_TAG);
    return code;
}

int get_x_tag_end(QV_FILE* f) {
    if (text_eq(f, "?>")) return TK_CL_PI;
    if (text_eq(f, "]]>")) return TK_CL_CDATA;
    if (text_starts(f, "!>")) return TK_CL_BANG;
    if (text_eq(f, "]>")) return TK_CL_BRACKET;
    if (text_eq(f, "/>")) return TK_CL_EMPTY;
    if (text_eq(f, "-->")) return TK_CL_COMMENT;
    lex_error_add(f, QVE_TOKEN, list(n_get_string("token error 1"), name_string(f), nullptr));
    return TK_END;
}

// ---------------------------------------------------------------- characters

STREAM* file_stream(QV_FILE* f) {
    return std::atomic_ref<STREAM*>(f->st).load(std::memory_order_acquire);
}

void short_pause() {
    struct timespec ts = {0, 1000000};
    nanosleep(&ts, nullptr);
}

// Shows the read buffer to others as it stands, its first n bytes copied (new since the last
// copy); the copy is made here, by the reading task, because others cannot read the buffer
// while it fills.
void show_buffer(QV_FILE* f, int n) {
    TaskLockGuard g(lex_lock);
    if (n > 0) memcpy(f->shown_rb, f->rb, static_cast<size_t>(n));
    f->shown_len = f->rb_len;
    f->shown_ptr = f->rb_ptr;
}

// Refills the read buffer; false at the end of input or on a failure (the record is closed).
bool fill(QV_FILE* f) {
    show_buffer(f, 0);
    for (;;) {
        if (qvf_flags(f) & QVF_CLOSED) return false;
        STREAM* st = file_stream(f);
        int n = st ? s_read(st, f->rb, QV_RB_SIZE) : 0;
        if (n > 0) {
            f->rb_len = static_cast<uint16_t>(n);
            f->rb_ptr = 0;
            show_buffer(f, n);
            f->rb_total += static_cast<uint64_t>(n);
            std::atomic_ref<uint32_t>(f->rb_time).store(get_qvtime(), std::memory_order_relaxed);
            return true;
        }
        int err = errno;
        if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
            // The file kind waits for data before it reads, so this is rare; do not spin.
            short_pause();
            continue;
        }
        if (n < 0 && !(qvf_flags(f) & QVF_CLOSED))
            lex_error_add(f, QVE_READ_FAILED,
                          list(n_get_string("cannot read the file"), name_string(f), nullptr));
        vx_file_delete(f);
        return false;
    }
}

// The next decoded character, 0 at the end; a NUL character is QV_NUL_MARK with *flag QV_CH_NUL.
L_CHAR get_long_char(QV_FILE* f, int* flag) {
    for (;;) {
        if (f->rb_ptr >= f->rb_len && !fill(f)) return 0;
        if (qvf_flags(f) & QVF_CLOSED) return 0;
        int b = f->rb[f->rb_ptr++];
        L_CHAR c;
        if (!f->cm->to_internal(&c, f->cm_work, b)) continue;
        if (c) return c;
        *flag = QV_CH_NUL;
        return QV_NUL_MARK;
    }
}

void switch_cm(QV_FILE* f, L_CHAR code) {
    CODE_METHOD* cm = search_cm_by_lccode(code);
    if (!cm) return;
    if (f->cm_work) f->cm->close(nullptr, f->cm_work);
    f->cm = cm;
    f->cm_work = cm->open();
}

// A character that may stand in the name of a reference.
bool entity_name_char(L_CHAR c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '.' ||
           c == '-' || c == '_' || c == ':' || c > 0x7f;
}

// "&#x...;", "&#...;", "&cx...;", "&c...;" or "&name;" after the '&'; 0 with the error recorded.
// A reference never spans lines (a line break in it is a bad character, left for the next
// state), so the error carries the line it began on, also when the end of input cuts it.
L_CHAR lex_entity(QV_FILE* f, int* ent) {
    int fl = 0;
    auto invalid = [f, &fl](L_CHAR pushed) -> L_CHAR {
        if (pushed) put_1char(f, pushed, fl);
        lex_error_at(f, f->line, QVE_BAD_ENTITY, list(n_get_string("invalid entity"), nullptr));
        return 0;
    };
    // A NUL (QV_NUL_MARK) is a bad character here too; it is pushed back to be reported.
    L_CHAR c = get_1char(f, &fl);
    if (!c) return invalid(0);
    if (c == '#' || c == 'c' || c == 'C') {
        L_CHAR d = get_1char(f, &fl);
        bool hex = d == 'x';
        if (hex) d = get_1char(f, &fl);
        uint64_t value = 0;
        int digits = 0;
        for (;; d = get_1char(f, &fl)) {
            if (!d) return invalid(0);
            if (d == ';') break;
            bool good = hex ? is_hex(d) : is_digit(d);
            if (!good || digits >= 10) return invalid(d);
            value = value * (hex ? 16 : 10) + static_cast<uint64_t>(hex ? hex_value(d) : d - '0');
            digits++;
        }
        if (digits == 0 || value == 0 || value > 0xFFFFFFFFu) return invalid(0);
        *ent = QV_CH_ENTITY;
        return static_cast<L_CHAR>(value);
    }
    // A name up to ';', of name characters only. A stray '&' stops, invalid, at the first
    // character no name holds (a blank, a quote, a parenthesis, markup, the line end), which is
    // left for the token under way: the closing quote of a text or the ')' of a list after a
    // stray '&' still ends them, so one bad reference spoils one value and not the rest of the
    // input.
    char name[16];
    int n = 0;
    for (;; c = get_1char(f, &fl)) {
        if (!c) return invalid(0);
        if (fl == QV_CH_NUL) return invalid(c);
        if (c == ';') break;
        if (!entity_name_char(c) || n >= 15) return invalid(c);
        name[n++] = c < 0x7f ? static_cast<char>(c) : '\x7f';
    }
    name[n] = 0;
    *ent = QV_CH_ENTITY;
    if (!strcmp(name, "lt")) return '<';
    if (!strcmp(name, "amp")) return '&';
    if (!strcmp(name, "quot")) return '\'';
    *ent = 0;
    return invalid(0);
}

bool tag_idle(QV_FILE* f) {
    return (f->mode == S_TAG || f->mode == S_LIST) && !(qvf_flags(f) & QVF_SEXP);
}

// States between tokens: a call starting in one of them starts a new token text. In the others
// a token is under way (an entity error returned in its middle) and its text is kept.
bool between_tokens(int mode) {
    return mode == S_TAG || mode == S_LIST || mode == S_COMMENT || mode == S_INTAG ||
           mode == S_SPACE || mode == S_COM || mode == S_COM1 || mode == S_COM2;
}

// The backslash escapes of strings and quoted attribute values; false at the end.
bool escape(QV_FILE* f) {
    int fl;
    L_CHAR d = get_1char(f, &fl);
    if (fl == QV_CH_NUL) {
        // Not escaped: the backslash stays, the NUL is reported by the caller's next step.
        collect(f, '\\');
        put_1char(f, d, fl);
        return true;
    }
    switch (d) {
        case 0:
            return false;
        case 'n':
            collect(f, '\n');
            break;
        case 'r':
            collect(f, '\r');
            break;
        case 't':
            collect(f, '\t');
            break;
        case '"':
        case '\\':
            collect(f, d);
            break;
        default:
            collect(f, '\\');
            collect(f, d);
    }
    return true;
}

// A NUL character, which QV text never holds: a token error on the NUL's own line, like any
// character a state does not accept, and reading goes on with the token under way (a NUL in a
// string cannot be kept: texts end at their first NUL). A run of NULs is one error, so zero
// padding costs one value. Blanks gathered after a tag word become their word first, as before
// any other character.
int nul_char(QV_FILE* f) {
    if (f->mode == S_SPACE && f->yylen > 0) {
        put_1char(f, QV_NUL_MARK, QV_CH_NUL);
        f->mode = S_TAG;
        return word_string(f);
    }
    if (f->nul_run) return NO_TOKEN;
    f->nul_run = 1;
    QV_SEXP* data = list(n_get_string("token error 4"), name_string(f), text_string(f, 64),
                         n_get_string("NUL character"), nullptr);
    lex_error_at(f, f->line, QVE_TOKEN, data);
    return TK_END;
}

// One character in the current state: a token, or NO_TOKEN to read on.
int step(QV_FILE* f, L_CHAR c, int ent) {
    // The two idle states are one, the mode bit (set by the parser too) choosing between them.
    if (f->mode == S_LIST || f->mode == S_TAG) f->mode = qvf_flags(f) & QVF_SEXP ? S_LIST : S_TAG;
    switch (f->mode) {
        case S_TAG:
            if (!c) return TK_END;
            if (ent) {
                head(f);
                collect(f, c);
                f->mode = S_WORD;
                return NO_TOKEN;
            }
            if (is_blank(c)) return NO_TOKEN;
            if (is_nl(c)) {
                count_line(f);
                return NO_TOKEN;
            }
            if (c == '(' && !plain(f)) {
                head(f);
                put_1char(f, c, 0);
                qvf_set(f, QVF_SEXP);
                f->mode = S_LIST;
                return NO_TOKEN;
            }
            if (c == '<') {
                head(f);
                collect(f, c);
                f->mode = S_OPENER;
                return NO_TOKEN;
            }
            if (c == '^') {
                head(f);
                qvf_set(f, QVF_SEXP);
                f->mode = S_LIST;
                return NO_TOKEN;
            }
            head(f);
            collect(f, c);
            f->mode = is_digit(c) && !plain(f) ? S_TNUM : S_WORD;
            return NO_TOKEN;

        case S_LIST: {
            if (!c) return TK_END;
            auto atom = [f, c, ent]() {
                head(f);
                f->atom_ref = ent ? 0 : -1;
                collect(f, c);
                f->mode = S_ATOM;
                return NO_TOKEN;
            };
            if (ent) return atom();
            if (is_blank(c)) return NO_TOKEN;
            if (is_nl(c)) {
                count_line(f);
                return NO_TOKEN;
            }
            switch (c) {
                case '"':
                    head(f);
                    collect(f, c);
                    f->mode = S_STRING;
                    return NO_TOKEN;
                case '#':
                    head(f);
                    collect(f, c);
                    f->mode = S_RAW;
                    return NO_TOKEN;
                case '\'':
                case '[':
                case ']':
                    head(f);
                    return static_cast<int>(c);
                case '(':
                case ')':
                    if (plain(f)) return atom();
                    head(f);
                    return static_cast<int>(c);
                case ';':
                    f->mode = S_COMMENT;
                    return NO_TOKEN;
                case '<':
                    put_1char(f, c, 0);
                    qvf_clear(f, QVF_SEXP);
                    f->mode = S_TAG;
                    return NO_TOKEN;
                case '=':
                    if (!(qvf_flags(f) & QVF_FIELD_EQ)) return atom();
                    head(f);
                    return TK_EQ;
                default:
                    return atom();
            }
        }

        case S_ATOM: {
            auto finish = [f]() {
                f->mode = S_LIST;
                return get_token(f);
            };
            if (!c) return finish();
            if (ent) {
                if (f->atom_ref < 0) f->atom_ref = f->yylen;
                collect(f, c);
                return NO_TOKEN;
            }
            if (is_blank(c)) return finish();
            if (is_nl(c)) {
                f->line++;
                return finish();
            }
            bool ends = c == '"' || c == '\'' || c == ';' || c == '<' ||
                        ((c == '(' || c == ')') && !plain(f)) ||
                        (c == '=' && (qvf_flags(f) & QVF_FIELD_EQ));
            if (ends) {
                put_1char(f, c, 0);
                return finish();
            }
            collect(f, c);
            return NO_TOKEN;
        }

        case S_STRING:
            if (!c) return file_end_error(f);
            if (ent) {
                collect(f, c);
                return NO_TOKEN;
            }
            if (c == '"') {
                collect(f, c);
                f->mode = S_LIST;
                return get_token(f);
            }
            if (c == '\\') return escape(f) ? NO_TOKEN : file_end_error(f);
            if (is_nl(c)) {
                lex_error_add(f, QVE_UNTERMINATED,
                              list(n_get_string("unterminated text"), name_string(f), nullptr));
                f->line++;
                f->mode = S_LIST;
                return get_token(f);
            }
            collect(f, c);
            return NO_TOKEN;

        case S_COMMENT:
            if (!c) return TK_END;
            if (is_nl(c)) {
                f->line++;
                f->mode = S_LIST;
            }
            return NO_TOKEN;

        case S_RAW: {
            if (!c) {
                f->mode = S_LIST;
                return get_token(f);
            }
            // Only hexadecimal digits stand between the two '#'. Any other character makes the
            // literal malformed: it runs on to where an atom would end and becomes one token
            // error there, so a stray '#' never takes the following items (up to the next '#')
            // as its text.
            bool good = raw_head_ok(f);
            if (good && c == '#' && f->yylen > 1) {
                collect(f, c);
                return read_raw(f);
            }
            if (good && is_hex(c) && f->yylen <= 8) {
                collect(f, c);
                return NO_TOKEN;
            }
            bool ends = !ent && (is_blank(c) || is_nl(c) || c == '"' || c == '\'' || c == ';' ||
                                 c == '<' || ((c == '(' || c == ')') && !plain(f)) ||
                                 (c == '=' && (qvf_flags(f) & QVF_FIELD_EQ)));
            if (!ends) {
                collect(f, c);
                return NO_TOKEN;
            }
            put_1char(f, c, 0);
            f->mode = S_LIST;
            return token_error(f, "token error 4", "invalid raw length");
        }

        case S_WORD:
            if (!c) return get_x_text(f);
            if (ent) {
                collect(f, c);
                return NO_TOKEN;
            }
            if (is_blank(c) || is_nl(c)) {
                put_1char(f, c, 0);
                f->mode = S_SPACE;
                return get_x_text(f);
            }
            if (c == '(' && !plain(f)) {
                put_1char(f, c, 0);
                f->mode = S_LIST;
                return get_x_text(f);
            }
            if (c == '<' || c == '^') {
                put_1char(f, c, 0);
                f->mode = S_TAG;
                return get_x_text(f);
            }
            collect(f, c);
            return NO_TOKEN;

        case S_OPENER:
            if (!c) return file_end_error(f);
            if (c == '>') {
                collect(f, c);
                f->mode = S_TAG;
                return get_x_tag(f);
            }
            if (c == '-') {
                collect(f, c);
                return text_eq(f, "<!--") ? get_x_tag(f) : NO_TOKEN;
            }
            if (c == '[') {
                collect(f, c);
                if (text_eq(f, "<![CDATA[")) f->mode = S_CDATA;
                return NO_TOKEN;
            }
            if (is_blank(c) || is_nl(c)) {
                if (is_nl(c)) count_line(f);
                f->mode = S_INTAG;
                return get_x_tag(f);
            }
            collect(f, c);
            return NO_TOKEN;

        case S_AVAL:
            if (!c) return file_end_error(f);
            if (c == '"') {
                collect(f, c);
                f->mode = S_INTAG;
                text_drop_front(f, 1);
                text_drop_back(f, 1);
                return TK_QTEXT;
            }
            if (c == '\\') return escape(f) ? NO_TOKEN : file_end_error(f);
            if (is_nl(c)) count_line(f);
            collect(f, c);
            return NO_TOKEN;

        case S_ANAME:
            if (!c) return file_end_error(f);
            if (is_blank(c) || c == '=' || c == '>' || is_nl(c) ||
                ((c == '(' || c == ')') && !plain(f))) {
                // A line break is counted once, by the state it is handed to.
                put_1char(f, c, 0);
                f->mode = S_INTAG;
                return TK_NAME;
            }
            collect(f, c);
            return NO_TOKEN;

        case S_INTAG:
            if (!c) return file_end_error(f);
            if (is_blank(c)) return NO_TOKEN;
            if (is_nl(c)) {
                count_line(f);
                return NO_TOKEN;
            }
            switch (c) {
                case '!':
                case '/':
                case '?':
                    collect(f, c);
                    f->mode = S_CLOSER6;
                    return NO_TOKEN;
                case '"':
                    collect(f, c);
                    f->mode = S_AVAL;
                    return NO_TOKEN;
                case '=':
                    return TK_EQ;
                case '>':
                    f->mode = S_TAG;
                    return TK_GT;
                case ']':
                    collect(f, c);
                    f->mode = S_CLOSER7;
                    return NO_TOKEN;
                default:
                    collect(f, c);
                    f->mode = S_ANAME;
                    return NO_TOKEN;
            }

        case S_CLOSER6:
        case S_CLOSER7:
        case S_CLOSER8:
            if (!c) return file_end_error(f);
            if (c == '>') {
                collect(f, c);
                f->mode = S_TAG;
                return get_x_tag_end(f);
            }
            // The rest of the tag is read as attributes again.
            lex_error_add(f, QVE_TOKEN,
                          list(n_get_string("token error 3"), text_string(f, f->yylen), nullptr));
            f->mode = S_INTAG;
            return TK_END;

        case S_COM:
            if (!c) return TK_END;
            if (is_nl(c))
                count_line(f);
            else if (c == '-')
                f->mode = S_COM1;
            return NO_TOKEN;

        case S_COM1:
            if (!c) return TK_END;
            if (is_nl(c)) count_line(f);
            f->mode = c == '-' ? S_COM2 : S_COM;
            return NO_TOKEN;

        case S_COM2:
            if (!c) return TK_END;
            if (c == '>') {
                f->mode = S_TAG;
                text_reset(f);
                return TK_CL_COMMENT;
            }
            if (is_nl(c))
                count_line(f);
            else if (c != '-')
                f->mode = S_COM;
            return NO_TOKEN;

        case S_TNUM:
            if (!c) return get_x_number(f);
            if (is_blank(c) || c == '\\') {
                f->mode = S_TAG;
                return get_x_number(f);
            }
            if (c == '<' || c == '^') {
                put_1char(f, c, ent);
                f->mode = S_TAG;
                return get_x_number(f);
            }
            if (c == '(' && !plain(f)) {
                put_1char(f, c, ent);
                f->mode = S_LIST;
                return get_x_number(f);
            }
            if (is_nl(c)) {
                count_line(f);
                f->mode = S_TAG;
                return get_x_number(f);
            }
            collect(f, c);
            return NO_TOKEN;

        case S_SPACE: {
            if (!c) return f->yylen > 0 ? word_string(f) : TK_END;
            // A character given by a reference starts the next word, even a blank one: the
            // printer writes leading blanks of a text that way.
            bool other = ent || !(is_blank(c) || is_nl(c) || c == '<' || c == '^' ||
                                  (c == '(' && !plain(f)));
            if (other) {
                put_1char(f, c, ent);
                f->mode = S_TAG;
                return f->yylen > 0 ? word_string(f) : NO_TOKEN;
            }
            if (is_nl(c)) {
                count_line(f);
                if (!(qvf_flags(f) & QVF_DROP_LF)) {
                    if (!f->yylen) head(f);
                    collect(f, c);
                }
                return NO_TOKEN;
            }
            if (is_blank(c)) {
                if (!(qvf_flags(f) & QVF_DROP_SPACE)) {
                    if (!f->yylen) head(f);
                    collect(f, c);
                }
                return NO_TOKEN;
            }
            put_1char(f, c, 0);
            text_reset(f);
            f->mode = c == '(' ? S_LIST : S_TAG;
            return NO_TOKEN;
        }

        case S_CDATA:
            if (!c) return file_end_error(f);
            if (is_nl(c)) count_line(f);
            collect(f, c);
            if (c == '>' && text_ends(f, "]]>")) {
                f->mode = S_TAG;
                return get_x_text(f);
            }
            return NO_TOKEN;

        default:
            fprintf(stderr, "vx_lex(1) %i\n", f->mode);
            er_panic("vx_lex(1)");
    }
    return TK_END;
}

}  // namespace

// ---------------------------------------------------------------- flags

int32_t qvf_flags(QV_FILE* f) {
    return std::atomic_ref<int32_t>(f->flags).load(std::memory_order_acquire);
}

void qvf_set(QV_FILE* f, int32_t bits) {
    std::atomic_ref<int32_t>(f->flags).fetch_or(bits, std::memory_order_acq_rel);
}

void qvf_clear(QV_FILE* f, int32_t bits) {
    std::atomic_ref<int32_t>(f->flags).fetch_and(~bits, std::memory_order_acq_rel);
}

// ---------------------------------------------------------------- errors

void lex_error_add(QV_FILE* f, uint32_t code, QV_SEXP* data) {
    lex_error_at(f, f->token_head_line, code, data);
}

// ---------------------------------------------------------------- characters

L_CHAR get_1char(QV_FILE* f, int* flag) {
    if (f->buf) {
        L_CHAR c = f->buf;
        *flag = f->buf_ent_flag;
        f->buf = 0;
        f->buf_ent_flag = 0;
        return c;
    }
    *flag = 0;
    return get_long_char(f, flag);
}

void put_1char(QV_FILE* f, L_CHAR c, int flag) {
    f->buf = c;
    f->buf_ent_flag = flag;
}

int get_nchar(QV_FILE* f, uint8_t* out, int n) {
    int got = 0;
    int have = f->rb_len - f->rb_ptr;
    if (have > 0) {
        int k = have < n ? have : n;
        memcpy(out, f->rb + f->rb_ptr, static_cast<size_t>(k));
        f->rb_ptr = static_cast<uint16_t>(f->rb_ptr + k);
        got = k;
    }
    while (got < n) {
        if (qvf_flags(f) & QVF_CLOSED) break;
        STREAM* st = file_stream(f);
        int r = st ? s_read(st, out + got, n - got) : 0;
        if (r > 0) {
            got += r;
            f->rb_total += static_cast<uint64_t>(r);
            std::atomic_ref<uint32_t>(f->rb_time).store(get_qvtime(), std::memory_order_relaxed);
            continue;
        }
        int err = errno;
        if (r < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
            short_pause();
            continue;
        }
        if (r < 0 && !(qvf_flags(f) & QVF_CLOSED))
            lex_error_add(f, QVE_READ_FAILED,
                          list(n_get_string("cannot read the file"), name_string(f), nullptr));
        vx_file_delete(f);
        break;
    }
    return got;
}

// ---------------------------------------------------------------- the machine

int _vx_lex(QV_FILE* f, int ent_mode) {
    if ((qvf_flags(f) & QVF_CLOSED) && !f->buf) {
        f->error = -257;
        return TK_CLOSED;
    }
    if (between_tokens(f->mode)) text_reset(f);
    for (;;) {
        int ent = 0;
        int em = f->mode == S_CDATA ? 0 : ent_mode;
        L_CHAR c = get_1char(f, &ent);
        if (ent == QV_CH_NUL) {
            int t = nul_char(f);
            if (t == NO_TOKEN) continue;
            return t;
        }
        f->nul_run = 0;
        if (c == '&' && !ent && em) {
            c = lex_entity(f, &ent);
            if (!c) return TK_END;
        }
        if (c && ent && (c >> 16) == 0xDFFFu) {
            switch_cm(f, c);
            continue;
        }
        // In-band controls act only when sent as they are; a reference to them is text.
        if (c == 3 && !ent) {
            f->mode = S_TAG;
            qvf_clear(f, QVF_FIELD_EQ | QVF_SEXP);
            count_line(f);
            head(f);
            text_reset(f);
            return TK_CANCEL;
        }
        if ((c == 11 || c == 12 || c == 14) && !ent && tag_idle(f)) {
            if (c == 11 && f->func_11) f->func_11(f);
            if (c == 14 && f->func_14) f->func_14(f);
            if (c == 12) {
                // A new page restarts the count of the lines read. The count of the lines
                // written on the same stream (a connection's replies and back-calls) is the
                // peer's to follow, and the peer reading them saw no page: it goes on.
                f->line = 0;
                if (f->func_12) f->func_12(f);
            }
            continue;
        }
        int t = step(f, c, ent);
        if (t == NO_TOKEN) continue;
        if (f->token_over) {
            // The token outgrew its bound: the whole token becomes one error.
            f->token_over = 0;
            f->yylen = f->yylen > 64 ? 64 : f->yylen;
            token_error(f, "token error 4", "token too long");
            text_reset(f);
            return TK_END;
        }
        return t;
    }
}

bool in_tag_comment(QV_FILE* f) {
    return f->mode == S_COM || f->mode == S_COM1 || f->mode == S_COM2;
}

bool between_items(QV_FILE* f) {
    return f->mode == S_TAG || f->mode == S_LIST || f->mode == S_COMMENT;
}

// ---------------------------------------------------------------- tests of texts

int check_unit_string(const L_CHAR* str) {
    if (!str) return 0;
    int n = 0;
    for (; str[n]; n++) {
        L_CHAR c = str[n];
        if (c == '\'' || c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']')
            return -1;
    }
    return n > 0 && str[n - 1] == '/' ? -1 : 0;
}

// ---------------------------------------------------------------- records

void init_lexer() {
    static std::once_flag once;
    std::call_once(once, [] { new_lock(&lex_lock); });
}

QV_FILE* new_qv_file(STREAM* st, const L_CHAR* name, const L_CHAR* site, const L_CHAR* comment) {
    auto copy = [](const L_CHAR* s) { return copy_n(s, s ? l_strlen(s) : 0); };
    lock_mem();
    auto* f = static_cast<QV_FILE*>(mmalloc(sizeof(QV_FILE), gc_vx_file));
    f->name = copy(name);
    f->site = copy(site);
    f->comment = copy(comment ? comment : name);
    f->st = st;
    f->line = 1;
    f->token_head_line = 1;
    f->flags = QVF_NEW;
    f->mode = S_TAG;
    unlock_mem();
    // Asked once: the stream may be closed by another task between two calls.
    CODE_METHOD* cm = st ? s_get_cm(st) : nullptr;
    f->st_serial = st ? s_serial(st) : 0;
    f->cm = cm ? cm : std_cm;
    f->cm_work = f->cm->open();
    std::atomic_ref<uint32_t>(f->rb_time).store(get_qvtime(), std::memory_order_relaxed);
    return f;
}

void vx_file_insert(QV_FILE* f) {
    TaskLockGuard g(lex_lock);
    if (!vx_file_root) {
        f->next = f->prev = f;
    } else {
        f->next = vx_file_root;
        f->prev = vx_file_root->prev;
        f->prev->next = f;
        vx_file_root->prev = f;
    }
    vx_file_root = f;
}

namespace {

// Unlinks f from the ring; lex_lock held (or the collector running).
void unlink_file(QV_FILE* f) {
    if (!f->next) return;
    if (f->next == f) {
        vx_file_root = nullptr;
    } else {
        f->prev->next = f->next;
        f->next->prev = f->prev;
        if (vx_file_root == f) vx_file_root = f->next;
    }
    f->next = f->prev = nullptr;
}

}  // namespace

void vx_file_delete(QV_FILE* f) {
    if (!f) return;
    {
        TaskLockGuard g(lex_lock);
        if (qvf_flags(f) & QVF_CLOSED) return;
        qvf_set(f, QVF_CLOSED);
    }
    release_unfinished(f);
    STREAM* st = std::atomic_ref<STREAM*>(f->st).exchange(nullptr, std::memory_order_acq_rel);
    if (st && !(qvf_flags(f) & QVF_KEEP_STREAM)) s_close(st);
    QV_CLOSE_FUNC func;
    void* work;
    {
        TaskLockGuard g(lex_lock);
        func = f->close_func;
        work = f->close_work;
        f->close_func = nullptr;
    }
    if (func) func(1, work);
    // The decoder's work area belongs to the task reading the record: it is released here only
    // when no other task is reading, else by that task when it stops (parser.cpp). The parse
    // lock orders this test against a reader that is about to start.
    lock_parse();
    TKEY reader = std::atomic_ref<TKEY>(f->busy_tid).load(std::memory_order_relaxed);
    if (reader == 0 || reader == get_tid()) {
        void* w = f->cm_work;
        f->cm_work = nullptr;
        if (w) f->cm->close(nullptr, w);
    }
    unlock_parse("vx_file_delete");
    TaskLockGuard g(lex_lock);
    unlink_file(f);
}

int _vx_file_delete(QV_FILE* f) {
    if (qvf_flags(f) & QVF_BUSY) return -1;
    qvf_set(f, QVF_CLOSED);
    release_unfinished(f);
    STREAM* st = std::atomic_ref<STREAM*>(f->st).exchange(nullptr, std::memory_order_acq_rel);
    // A collection must not wait for a stream: the close runs on the stream layer's close task.
    if (st && !(qvf_flags(f) & QVF_KEEP_STREAM)) s_close_queue(st);
    QV_CLOSE_FUNC func = f->close_func;
    f->close_func = nullptr;
    if (func) func(1, f->close_work);
    if (f->cm_work) f->cm->close(nullptr, f->cm_work);
    f->cm_work = nullptr;
    unlink_file(f);
    return 0;
}

void vx_file_forget_gone_streams() {
    struct Held {
        QV_FILE* f;
        STREAM* st;
        uint32_t serial;
    };
    std::vector<Held> held;
    {
        TaskLockGuard g(lex_lock);
        QV_FILE* r = vx_file_root;
        if (r) do {
                STREAM* st = std::atomic_ref<STREAM*>(r->st).load(std::memory_order_acquire);
                if (st && r->st_serial && !(qvf_flags(r) & (QVF_BUSY | QVF_CLOSED)))
                    held.push_back({r, st, r->st_serial});
                r = r->next;
            } while (r && r != vx_file_root);
    }
    // The stream layer's lock is never taken under the reader's; the caller keeps collections
    // out, so every record listed above stays in memory while this runs.
    for (const Held& h : held) {
        if (s_exist_serial(h.st, h.serial)) continue;
        QV_CLOSE_FUNC func = nullptr;
        void* work = nullptr;
        {
            TaskLockGuard g(lex_lock);
            QV_FILE* f = h.f;
            if (!f->next || (qvf_flags(f) & (QVF_BUSY | QVF_CLOSED)) || f->st_serial != h.serial)
                continue;
            STREAM* expect = h.st;
            if (!std::atomic_ref<STREAM*>(f->st).compare_exchange_strong(expect, nullptr)) continue;
            func = f->close_func;
            work = f->close_work;
            f->close_func = nullptr;
            f->close_work = nullptr;
        }
        if (func) func(1, work);
    }
}

void gc_qv_file(QV_FILE* f) {
    if (!gc_mark_block(f)) return;
    gc_text(f->name);
    gc_text(f->site);
    gc_text(f->comment);
    gc_text(f->yytext);
    gc_text(f->skip_modes);
    gc_vx_sexp(f->sexp);
    gc_vx_sexp(reinterpret_cast<QV_SEXP*>(f->stack));
    gc_vx_sexp(f->lex_error);
    if (f->close_func) f->close_func(2, f->close_work);
}

void qv_set_cm(QV_SEXP* s, CODE_METHOD* cm) {
    QV_FILE* f = s ? s->h.file : nullptr;
    if (!f || !cm) return;
    if (f->cm_work) f->cm->close(nullptr, f->cm_work);
    f->cm = cm;
    f->cm_work = cm->open();
    if (STREAM* st = file_stream(f)) s_set_cm(st, cm);
}

// ---------------------------------------------------------------- small helpers

void set_parseflags(QV_FILE* f, int32_t set, int32_t clear) {
    qvf_set(f, set);
    qvf_clear(f, clear);
}

void set_file_line(QV_FILE* f, int line) {
    f->line = line;
}

void pt_line(QV_FILE* f) {
    if (f->yylen <= 2) return;
    std::string num = ascii(f->yytext + 2, f->yylen - 2);
    f->line = static_cast<int>(strtol(num.c_str(), nullptr, 10));
}

QV_SEXP* get_x_symbol(QV_FILE* f) {
    return text_node(f, QVT_SYMBOL, f->yytext, f->yylen, SEXP_FLAG_TAG);
}

void test_mem(const char* msg) {
    fprintf(stderr, "%s...\n", msg);
    std::vector<void*> blocks;
    blocks.reserve(10000);
    for (int i = 0; i < 10000; i++)
        blocks.push_back(d_alloc(1 + (i * 7919) % 10000));
    for (void* p : blocks)
        d_f_ree(p);
    fprintf(stderr, "%s...END\n", msg);
}
