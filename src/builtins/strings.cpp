// String built-ins.
#include "builtins/strings.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/textcopy.h"
#include "longchar/longchar.h"
#include "longchar/regex.h"

namespace {

// An error whose data is the list (msg form).
QV_SEXP* form_error(QV_SEXP* form, uint32_t code, const char* func, const char* msg) {
    return eval_error(form, code, func, list(n_get_string(msg), form, nullptr));
}

QV_SEXP* no_memory(QV_SEXP* form, const char* func) {
    return bltn_error_s(form, QVE_NO_MEMORY, func, "no memory");
}

// A new string of the n characters at s. Sizes come from scripts, so a block the system refuses
// is answered with null rather than the end of the agent.
QV_SEXP* new_string(const L_CHAR* s, size_t n) {
    if (n >= INT32_MAX) return nullptr;
    auto* t = static_cast<L_CHAR*>(
        heap_try_alloc(static_cast<int64_t>((n + 1) * sizeof(L_CHAR)), gc_text));
    if (!t) return nullptr;
    if (n) memcpy(t, s, n * sizeof(L_CHAR));
    t[n] = 0;
    return get_string_set_data(t);
}

// fn applied to every element of the list x, recursing into elements that are lists, in a new
// tree of the same shape; an improper tail is kept as it is. The walk keeps its own stack.
template <class F>
QV_SEXP* map_tree(QV_SEXP* x, F fn) {
    struct FRAME {
        QV_SEXP* rest;
        ListOut out;
    };
    std::vector<FRAME> stack;
    stack.push_back({x, {}});
    for (;;) {
        FRAME& f = stack.back();
        if (get_type(f.rest) == QVT_PAIR) {
            QV_SEXP* e = f.rest->pair.car;
            f.rest = f.rest->pair.cdr;
            if (get_type(e) == QVT_PAIR)
                stack.push_back({e, {}});
            else
                f.out.add(fn(e));
            continue;
        }
        if (get_type(f.rest) != QVT_NIL) f.out.end(f.rest);
        QV_SEXP* done = f.out.head;
        stack.pop_back();
        if (stack.empty()) return done;
        stack.back().out.add(done);
    }
}

// A pattern prepared for search in linear time (Knuth-Morris-Pratt): fail[i] is the length of
// the longest proper border of the pattern's first i + 1 characters.
struct PATTERN {
    const L_CHAR* text;
    size_t len;
    std::vector<uint32_t> fail;
};

void pattern_init(PATTERN* p, const L_CHAR* text) {
    p->text = text;
    p->len = static_cast<size_t>(l_strlen(text));
    p->fail.assign(p->len, 0);
    size_t k = 0;
    for (size_t i = 1; i < p->len; i++) {
        while (k > 0 && text[i] != text[k])
            k = p->fail[k - 1];
        if (text[i] == text[k]) k++;
        p->fail[i] = static_cast<uint32_t>(k);
    }
}

// The start of the first occurrence in s[from, n), or n when there is none. Searches that each
// start behind the last occurrence found visit every character of s once.
size_t pattern_find(const PATTERN* p, const L_CHAR* s, size_t n, size_t from) {
    const L_CHAR* t = p->text;
    size_t k = 0;
    for (size_t i = from; i < n; i++) {
        while (k > 0 && s[i] != t[k])
            k = p->fail[k - 1];
        if (s[i] == t[k] && ++k == p->len) return i + 1 - p->len;
    }
    return n;
}

// The pieces of s between the occurrences of the pattern, or null when memory is refused.
QV_SEXP* divide(const PATTERN* p, const L_CHAR* s) {
    auto n = static_cast<size_t>(l_strlen(s));
    ListOut out;
    for (size_t from = 0;;) {
        size_t at = pattern_find(p, s, n, from);
        QV_SEXP* piece = new_string(s + from, at - from);
        if (!piece) return nullptr;
        out.add(piece);
        if (at == n) break;
        from = at + p->len;
    }
    return out.head;
}

// s with every occurrence replaced by to (tn characters); s itself when there is none; null when
// the result is too large for the memory left.
QV_SEXP* replace(const PATTERN* p, QV_SEXP* s, const L_CHAR* to, size_t tn) {
    const L_CHAR* t = s->string.data;
    auto n = static_cast<size_t>(l_strlen(t));
    size_t count = 0;
    for (size_t at = pattern_find(p, t, n, 0); at < n; at = pattern_find(p, t, n, at + p->len))
        count++;
    if (count == 0) return s;
    // The result is shorter than the text or at most count * (tn - len) characters longer.
    uint64_t size = n - count * p->len;
    if (tn && count > (INT32_MAX - size) / tn) return nullptr;
    size += count * tn;
    auto* r = static_cast<L_CHAR*>(
        heap_try_alloc(static_cast<int64_t>((size + 1) * sizeof(L_CHAR)), gc_text));
    if (!r) return nullptr;
    L_CHAR* w = r;
    size_t from = 0;
    for (size_t at = pattern_find(p, t, n, 0); at < n; at = pattern_find(p, t, n, from)) {
        memcpy(w, t + from, (at - from) * sizeof(L_CHAR));
        w += at - from;
        memcpy(w, to, tn * sizeof(L_CHAR));
        w += tn;
        from = at + p->len;
    }
    memcpy(w, t + from, (n - from) * sizeof(L_CHAR));
    w[n - from] = 0;
    return get_string_set_data(r);
}

// The code of a long character inside its code set, by its top bits.
uint32_t code_in_set(L_CHAR c) {
    if (c >= 0x80000000u && c <= 0xBFFFFFFFu) return c & 0xFFFFFFu;
    if (c >= 0xC0000000u && c <= 0xDFFFFFFFu) return c & 0xFFFFu;
    if (c >= 0xE0000000u && c <= 0xEFFFFFFFu) return c & 0xFFu;
    return c;
}

void put_word(std::string* out, uint32_t v, int w) {
    for (int k = w - 1; k >= 0; k--)
        out->push_back(static_cast<char>((v >> (8 * k)) & 0xFF));
}

// How word_bytes ended.
enum WordsEnd { WORDS_DONE, WORDS_TYPE, WORDS_RANGE };

// The words of value as bytes: a string one word per character, an integer one word, a list its
// elements' in order. WORDS_TYPE when value holds, at any depth, something else; WORDS_RANGE when
// an integer does not fit a 32-bit word (from -2^31, two's complement, to 2^32 - 1).
WordsEnd word_bytes(std::string* out, QV_SEXP* value, int w) {
    std::vector<QV_SEXP*> todo{value};
    while (!todo.empty()) {
        QV_SEXP* x = todo.back();
        todo.pop_back();
        switch (get_type(x)) {
            case QVT_STRING:
                for (const L_CHAR* c = x->string.data; *c; c++)
                    put_word(out, code_in_set(*c), w);
                break;
            case QVT_INTEGER: {
                int64_t n = x->integer.data;
                if (n < INT32_MIN || n > UINT32_MAX) return WORDS_RANGE;
                put_word(out, static_cast<uint32_t>(n), w);
                break;
            }
            case QVT_PAIR: {
                int rest = get_type(x->pair.cdr);
                if (rest == QVT_PAIR)
                    todo.push_back(x->pair.cdr);
                else if (rest != QVT_NIL)
                    return WORDS_TYPE;
                todo.push_back(x->pair.car);
                break;
            }
            default:
                return WORDS_TYPE;
        }
    }
    return WORDS_DONE;
}

}  // namespace

QV_SEXP* qv_CutString(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    static const char msg[] = "invalid argument in CutString";
    QV_SEXP* s = get_el(form, 1);
    QV_SEXP* start = get_el(form, 2);
    QV_SEXP* length = get_el(form, 3);
    if (get_type(s) != QVT_STRING || get_type(start) != QVT_INTEGER ||
        get_type(length) != QVT_INTEGER)
        return form_error(form, QVE_TYPE_MISMATCH, "CutString", msg);
    const L_CHAR* t = s->string.data;
    if (!t[0]) return get_string(nullptr);
    int64_t b = start->integer.data;
    int64_t n = length->integer.data;
    if (b < 0 || n < 0) return form_error(form, QVE_INVALID_PARAMETER, "CutString", msg);
    // Only the characters up to the end of the piece are visited: cutting near the front of a
    // long string costs no more than the piece.
    int64_t i = 0;
    while (i < b && t[i])
        i++;
    int64_t e = i;
    while (e - i < n && t[e])
        e++;
    QV_SEXP* r = new_string(t + i, static_cast<size_t>(e - i));
    return r ? r : no_memory(form, "CutString");
}

QV_SEXP* qv_StringLength(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* s = get_el(form, 1);
    if (get_type(s) != QVT_STRING)
        return bltn_error_l(form, QVE_TYPE_MISMATCH, "StringLength",
                            "invalid string in StringLength argument");
    return get_integer(l_strlen(s->string.data), nullptr);
}

QV_SEXP* qv_GetChar(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    static const char msg[] = "index error in GetChar argument";
    QV_SEXP* s = get_el(form, 1);
    QV_SEXP* index = get_el(form, 2);
    if (get_type(s) != QVT_STRING || get_type(index) != QVT_INTEGER)
        return bltn_error_l(form, QVE_TYPE_MISMATCH, "GetChar", msg);
    const L_CHAR* t = s->string.data;
    int64_t k = index->integer.data;
    int64_t i = 0;
    while (i < k && t[i])
        i++;
    if (k < 0 || i < k) return bltn_error_l(form, QVE_INVALID_PARAMETER, "GetChar", msg);
    return get_integer(t[k], nullptr);
}

QV_SEXP* qv_SetChar(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* code = get_el(form, 1);
    static const char msg[] = "index error in SetChar argument";
    if (get_type(code) != QVT_INTEGER) return bltn_error_l(form, QVE_TYPE_MISMATCH, "SetChar", msg);
    // A code outside the 32 bits of a long character is refused, never cut to its low bits.
    int64_t n = code->integer.data;
    if (n < 0 || n > UINT32_MAX) return bltn_error_l(form, QVE_INVALID_PARAMETER, "SetChar", msg);
    L_CHAR text[2] = {static_cast<L_CHAR>(n), 0};
    return get_string(text);
}

QV_SEXP* qv_DivideString(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* target = get_el(form, 1);
    QV_SEXP* term = get_el(form, 2);
    if (get_type(term) != QVT_STRING)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "DivideString",
                            "type missmatch in the terminate string");
    if (!term->string.data[0])
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "DivideString", "parameter error");
    PATTERN p;
    pattern_init(&p, term->string.data);
    bool refused = false;
    auto one = [&](QV_SEXP* x) -> QV_SEXP* {
        switch (get_type(x)) {
            case QVT_NIL:
                return nullptr;
            case QVT_STRING: {
                QV_SEXP* r = refused ? nullptr : divide(&p, x->string.data);
                if (!r) refused = true;
                return r;
            }
            default:
                return bltn_error_s(x, QVE_TYPE_MISMATCH, "DivideString",
                                    "type missmatch in the 1st list");
        }
    };
    QV_SEXP* r = get_type(target) == QVT_PAIR ? map_tree(target, one) : one(target);
    return refused ? no_memory(form, "DivideString") : r;
}

QV_SEXP* qv_ReplaceString(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* target = get_el(form, 1);
    QV_SEXP* from = get_el(form, 2);
    QV_SEXP* to = get_el(form, 3);
    if (get_type(from) != QVT_STRING || get_type(to) != QVT_STRING)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "ReplaceString", nullptr);
    if (!from->string.data[0])
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "ReplaceString", "parameter error");
    PATTERN p;
    pattern_init(&p, from->string.data);
    const L_CHAR* tt = to->string.data;
    auto tn = static_cast<size_t>(l_strlen(tt));
    bool refused = false;
    auto one = [&](QV_SEXP* x) -> QV_SEXP* {
        if (refused || get_type(x) != QVT_STRING) return x;
        QV_SEXP* r = replace(&p, x, tt, tn);
        if (!r) refused = true;
        return r;
    };
    QV_SEXP* r = get_type(target) == QVT_PAIR ? map_tree(target, one) : one(target);
    return refused ? no_memory(form, "ReplaceString") : r;
}

QV_SEXP* qv_RegCmp(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const L_CHAR* rex = attr_text(attr, "rex");
    if (!rex) return bltn_error_s(form, QVE_INVALID_PARAMETER, "RegCmp", "parameter error");
    QV_SEXP* s = get_el(form, 1);
    if (get_type(s) != QVT_STRING)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "RegCmp", "type missmatch");
    int why;
    AUTOMATON* a = get_fa_why(rex, &why);
    if (!a) return bltn_error_s(form, QVE_INVALID_PARAMETER, "RegCmp", fa_error_text(why));
    // A long text through a pattern whose states are built as it goes can take minutes: the run
    // offers the form to the break hook as it goes, and a break ends it.
    struct Poll {
        QV_SEXP* form;
        QV_SEXP* brk;
    } poll = {form, nullptr};
    auto stop = [](void* arg) {
        auto* p = static_cast<Poll*>(arg);
        p->brk = do_break_check(p->form);
        return p->brk != nullptr;
    };
    int shortest, longest;
    int whole = parse_dfa_str_stop(&shortest, &longest, a, s->string.data, 0, stop, &poll);
    free_automaton(a);
    if (poll.brk) return poll.brk;
    return list(get_integer(whole, nullptr), get_integer(shortest, nullptr),
                get_integer(longest, nullptr), nullptr);
}

QV_SEXP* qv_Word2String(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    CODE_METHOD* cm = std_cm;
    if (const L_CHAR* name = attr_text(attr, "encoding")) {
        cm = search_cm(n_string(std_cm, name));
        if (!cm) return bltn_error_s(form, QVE_INVALID_PARAMETER, "Word2String", "bad value");
    }
    long w = 1;
    if (const L_CHAR* word = attr_text(attr, "word")) {
        // Read as "%i" reads: decimal, octal after a 0, hexadecimal after 0x; no digits keeps 1.
        const char* text = n_string(std_cm, word);
        char* end;
        long v = strtol(text, &end, 0);
        if (end != text) w = v < 1 ? 1 : v > 4 ? 4 : v;
    }
    std::string bytes;
    WordsEnd end = word_bytes(&bytes, get_el(form, 1), static_cast<int>(w));
    if (end == WORDS_TYPE)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "Word2String", "type missmatch");
    if (end == WORDS_RANGE)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "Word2String", "value out of range");
    // The text ends at its first zero byte; four of them close every encoding's last character.
    bytes.append(4, '\0');
    return get_string_set_data(_nl_copy_mstr_1(cm, bytes.c_str()));
}

void init_CutString(QVISP_ENV* env) {
    bind_prim(env, "CutString", qv_CutString, FUNC_APPLICATIVE, 4, 4);
}

void init_StringLength(QVISP_ENV* env) {
    bind_prim(env, "StringLength", qv_StringLength, FUNC_APPLICATIVE, 2, 2);
}

void init_GetChar(QVISP_ENV* env) {
    bind_prim(env, "GetChar", qv_GetChar, FUNC_APPLICATIVE, 3, 3);
}

void init_SetChar(QVISP_ENV* env) {
    bind_prim(env, "SetChar", qv_SetChar, FUNC_APPLICATIVE, 2, 2);
}

void init_DivideString(QVISP_ENV* env) {
    bind_prim(env, "DivideString", qv_DivideString, FUNC_APPLICATIVE, 3, 3);
}

void init_ReplaceString(QVISP_ENV* env) {
    bind_prim(env, "ReplaceString", qv_ReplaceString, FUNC_APPLICATIVE, 4, 4);
}

void init_RegCmp(QVISP_ENV* env) {
    bind_prim(env, "RegCmp", qv_RegCmp, FUNC_APPLICATIVE, 2, 2);
}

void init_Word2String(QVISP_ENV* env) {
    bind_prim(env, "Word2String", qv_Word2String, FUNC_APPLICATIVE, 2, 2);
}
