// The tag layer of the lexer: turns raw tokens into the tokens the parser sees. Comments are
// skipped, the bracket form "[name field="value" ...]" becomes one symbol, and a tag opener
// followed by attributes is read to its end and becomes one tag token whose symbol carries the
// attributes. Every error here is 0x80021005 ("token error 4", record name, token text, message)
// with token 0.
#include <atomic>
#include <cstring>
#include <string>
#include <unordered_map>

#include "base/panic.h"
#include "lisp/collect.h"
#include "lisp/lexer.h"
#include "lisp/list.h"

namespace {

// A collected copy of the token text; memory lock held.
L_CHAR* copy_text(const L_CHAR* t, int n) {
    auto* r = static_cast<L_CHAR*>(mmalloc((static_cast<int64_t>(n) + 1) * 4, gc_text));
    if (n > 0) memcpy(r, t, static_cast<size_t>(n) * sizeof(L_CHAR));
    return r;
}

L_CHAR* token_text(QV_FILE* f) {
    lock_mem();
    L_CHAR* t = copy_text(f->yytext, f->yylen);
    unlock_mem();
    return t;
}

// The attributes of one tag or bracket form as they are read. A name already there gets the new
// value in place; a new one is appended at the end. Names are found by a scan of a short list and
// through an index once the list is long, so a tag of many attributes is read in linear time;
// the memory lock is held for each change alone, never for a search.
struct AttrList {
    struct Hash {
        size_t operator()(const L_CHAR* s) const {
            uint64_t h = 1469598103934665603u;
            for (; *s; s++)
                h = (h ^ *s) * 1099511628211u;
            return static_cast<size_t>(h);
        }
    };
    struct Eq {
        bool operator()(const L_CHAR* a, const L_CHAR* b) const { return l_strcmp(a, b) == 0; }
    };
    // Lists up to this long are scanned; longer ones are indexed.
    static constexpr int SCAN_MAX = 16;

    QV_FILE* f;
    QV_SEXP* sym;
    QV_SYM_FIELD** tail;
    int n = 0;
    std::unordered_map<const L_CHAR*, QV_SYM_FIELD*, Hash, Eq> index;

    AttrList(QV_FILE* file, QV_SEXP* s) : f(file), sym(s), tail(&s->symbol.field) {
        for (; *tail; tail = &(*tail)->next)
            note(*tail);
    }

    void note(QV_SYM_FIELD* cell) {
        if (++n == SCAN_MAX + 1)
            for (QV_SYM_FIELD* c = sym->symbol.field; c; c = c->next)
                index.emplace(c->name, c);
        else if (n > SCAN_MAX)
            index.emplace(cell->name, cell);
    }

    QV_SYM_FIELD* find(const L_CHAR* name) const {
        if (!name) return nullptr;
        if (n > SCAN_MAX) {
            auto it = index.find(name);
            return it == index.end() ? nullptr : it->second;
        }
        for (QV_SYM_FIELD* c = sym->symbol.field; c; c = c->next)
            if (c->name && l_strcmp(c->name, name) == 0) return c;
        return nullptr;
    }

    // The texts are the caller's collected copies. What they cost counts with the tag's token.
    void append(L_CHAR* name, L_CHAR* value) {
        f->attr_cost += qv_token_cost((name ? l_strlen(name) : 0) + (value ? l_strlen(value) : 0));
        if (QV_SYM_FIELD* c = find(name)) {
            lock_mem();
            c->data = value;
            unlock_mem();
            return;
        }
        lock_mem();
        auto* cell = static_cast<QV_SYM_FIELD*>(mmalloc(sizeof(QV_SYM_FIELD), gc_vx_sym_field));
        cell->name = name;
        cell->data = value;
        *tail = cell;
        unlock_mem();
        tail = &cell->next;
        note(cell);
    }
};

L_CHAR* ascii_text(const char* s) {
    int n = static_cast<int>(strlen(s));
    lock_mem();
    auto* r = static_cast<L_CHAR*>(mmalloc((static_cast<int64_t>(n) + 1) * 4, gc_text));
    for (int i = 0; i < n; i++)
        r[i] = static_cast<unsigned char>(s[i]);
    unlock_mem();
    return r;
}

int layer_error(QV_FILE* f, const char* msg) {
    QV_SEXP* text = get_string(f->yytext);
    lex_error_add(
        f, QVE_TOKEN,
        list(n_get_string("token error 4"), get_string(f->name), text, n_get_string(msg), nullptr));
    return TK_END;
}

void upper(L_CHAR* t) {
    for (; *t; t++)
        if (*t >= 'a' && *t <= 'z') *t -= 'a' - 'A';
}

bool is_closer(int t) {
    return t >= TK_CL_CDATA && t <= TK_CL_COMMENT;
}

// "[" name, then any number of field "=" "text", then "]": one symbol with those attributes.
int bracket_form(QV_FILE* f) {
    qvf_set(f, QVF_FIELD_EQ);
    auto fail = [f](const char* msg) {
        int r = layer_error(f, msg);
        qvf_clear(f, QVF_FIELD_EQ);
        return r;
    };
    int t = _vx_lex(f, 1);
    if (t != TK_DATUM || get_type(f->sexp) != QVT_SYMBOL) return fail("symbol is required");
    QV_SEXP* sym = f->sexp;
    AttrList attrs(f, sym);
    for (;;) {
        t = _vx_lex(f, 1);
        if (t == TK_RBRACKET) break;
        if (t != TK_DATUM) return fail("only field description can be used in a tag");
        if (get_type(f->sexp) != QVT_SYMBOL) return fail("field name is required");
        L_CHAR* name = f->sexp->symbol.data;
        if (_vx_lex(f, 1) != TK_EQ) return fail("'=' is required");
        if (_vx_lex(f, 1) != TK_DATUM) return fail("text is required 2");
        if (get_type(f->sexp) != QVT_STRING) return fail("text is required 3");
        attrs.append(name, f->sexp->string.data);
    }
    qvf_clear(f, QVF_FIELD_EQ);
    lock_mem();
    f->sexp = sym;
    unlock_mem();
    return TK_DATUM;
}

// A start tag, or an HTML empty element.
int start_code(QV_FILE* f, QV_SEXP* sym) {
    return (qvf_flags(f) & QVF_HTML) && check_html_emp(sym) ? TK_EMPTY : TK_START;
}

// The attributes of an opener up to the end of the tag.
int attributes(QV_FILE* f, int opener) {
    QV_SEXP* sym = f->sexp;
    AttrList attrs(f, sym);
    bool html = qvf_flags(f) & QVF_HTML;
    int t = _vx_lex(f, 1);
    for (;;) {
        if (t == TK_QTEXT) {
            attrs.append(ascii_text("!text"), token_text(f));
            t = _vx_lex(f, 1);
            continue;
        }
        if (t == TK_NAME) {
            L_CHAR* name = token_text(f);
            if (html) upper(name);
            t = _vx_lex(f, 1);
            if (t != TK_EQ) {
                // A name alone is switched on; the token just read is the next item.
                attrs.append(name, ascii_text("!on"));
                continue;
            }
            t = _vx_lex(f, 1);
            if (t != TK_QTEXT && t != TK_NAME) return layer_error(f, "text is required 1");
            L_CHAR* value = token_text(f);
            if (html && t == TK_NAME) upper(value);
            attrs.append(name, value);
            t = _vx_lex(f, 1);
            continue;
        }
        if (t == TK_GT) {
            if (opener == TK_START_ATTR || html) return start_code(f, sym);
            return layer_error(f, "not correspond end tag");
        }
        if (is_closer(t)) {
            if (t == TK_CL_EMPTY && opener == TK_START_ATTR) return TK_EMPTY;
            if (opener >= TK_CDATA && opener <= TK_BRACKET && (t & 0xff) == (opener & 0xff))
                return opener;
            return layer_error(f, "not correspond end tag");
        }
        return layer_error(f, "attribute syntax error.");
    }
}

}  // namespace

int check_html_emp(QV_SEXP* sym) {
    if (get_type(sym) != QVT_SYMBOL) er_panic("check_html_emp");
    static const char* const names[] = {"meta",     "META", "br",  "BR",    "hr",   "HR",
                                        "!DOCTYPE", "IMG",  "img", "input", "INPUT"};
    const L_CHAR* s = sym->symbol.data;
    for (const char* n : names) {
        int i = 0;
        while (n[i] && s[i] == static_cast<unsigned char>(n[i]))
            i++;
        if (!n[i] && !s[i]) return 1;
    }
    return 0;
}

int __vx_lex(QV_FILE* f) {
    for (;;) {
        // A comment left for an error in its middle (a NUL in it) is read on to its end.
        int t = in_tag_comment(f) ? TK_COMMENT : _vx_lex(f, 1);
        switch (t) {
            case TK_COMMENT: {
                int c;
                do {
                    c = _vx_lex(f, 0);
                } while (c != TK_CL_COMMENT && c != TK_END && c != TK_CLOSED && c != TK_CANCEL);
                if (c != TK_CL_COMMENT) return c;
                continue;
            }
            case TK_LBRACKET:
                return bracket_form(f);
            case TK_START:
                return start_code(f, f->sexp);
            case TK_START_ATTR:
            case TK_CDATA:
            case TK_PI:
            case TK_BANG:
            case TK_BRACKET:
                return attributes(f, t);
            default:
                return t;
        }
    }
}

namespace {

std::atomic<int64_t> unfinished{0};

// True when the expression being read, with the token just read, passes the record's bound or
// the total of all bounded inputs. A top-level item of a bounded-per-item input begins where the
// record's stack holds only the rest of the sequence.
bool past_bound(QV_FILE* f) {
    uint64_t read = f->rb_total - static_cast<uint64_t>(f->rb_len - f->rb_ptr);
    if (f->bound == QV_BOUND_ITEM && f->stack_depth <= 1 && !f->skip) {
        f->bound_tokens = 0;
        f->bound_from = read - static_cast<uint64_t>(f->yylen);
        release_unfinished(f);
    }
    int64_t cost = qv_token_cost(f->yylen) + f->attr_cost;
    f->attr_cost = 0;
    std::atomic_ref<uint64_t>(f->read_cost)
        .fetch_add(static_cast<uint64_t>(cost), std::memory_order_relaxed);
    int64_t mine =
        std::atomic_ref<int64_t>(f->bound_cost).fetch_add(cost, std::memory_order_acq_rel) + cost;
    int64_t total = unfinished.fetch_add(cost, std::memory_order_acq_rel) + cost;
    // A record closed meanwhile by another task has given back what it held: so does this token.
    if (qvf_flags(f) & QVF_CLOSED) release_unfinished(f);
    return ++f->bound_tokens > QV_EXPR_MAX_TOKENS || read - f->bound_from > QV_EXPR_MAX_BYTES ||
           (total > QV_UNFINISHED_MAX && mine > QV_UNFINISHED_FREE);
}

}  // namespace

int64_t unfinished_cost() {
    return unfinished.load(std::memory_order_relaxed);
}

void release_unfinished(QV_FILE* f) {
    int64_t c = std::atomic_ref<int64_t>(f->bound_cost).exchange(0, std::memory_order_acq_rel);
    if (c) unfinished.fetch_sub(c, std::memory_order_acq_rel);
}

uint64_t read_cost(QV_FILE* f) {
    return std::atomic_ref<uint64_t>(f->read_cost).load(std::memory_order_relaxed);
}

int vx_lex(QV_FILE* f) {
    int t = __vx_lex(f);
    if (!f->bound) f->attr_cost = 0;
    if (!f->bound || t == TK_END || t == TK_CLOSED || !past_bound(f)) return t;
    // The peer sent more than one expression may hold: its input is closed, and the parser ends
    // the lists it was reading with an error saying so.
    f->over_bound = 1;
    vx_file_delete(f);
    return TK_CLOSED;
}
