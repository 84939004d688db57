// List operations, symbol attributes, searches by tag name and source positions.
#include "lisp/list.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "lisp/collect.h"
#include "longchar/longchar.h"

namespace {

bool same_text(const L_CHAR* a, const L_CHAR* b) {
    return a && b && l_strcmp(a, b) == 0;
}

QV_SEXP* type_error(QV_SEXP* pos, const L_CHAR* func, const char* msg) {
    QV_SEXP* data = list(n_get_string(msg), nullptr);
    return get_error(pos ? pos->h.file : nullptr, pos ? pos->h.line : 0, QVE_TYPE_MISMATCH, func,
                     data);
}

// A new attribute cell; inside a heap section.
QV_SYM_FIELD* new_field(L_CHAR* name, L_CHAR* data, QV_SYM_FIELD* next) {
    auto* f = static_cast<QV_SYM_FIELD*>(mmalloc(sizeof(QV_SYM_FIELD), gc_vx_sym_field));
    f->name = name;
    f->data = data;
    f->next = next;
    return f;
}

QV_SYM_FIELD* find_field(QV_SYM_FIELD* f, const L_CHAR* name) {
    for (; f; f = f->next)
        if (same_text(f->name, name)) return f;
    return nullptr;
}

// Copies the cells in front of `stop` (texts shared) and ends the copy with `tail`; heap section
// held.
QV_SYM_FIELD* copy_front(QV_SYM_FIELD* f, QV_SYM_FIELD* stop, QV_SYM_FIELD* tail) {
    QV_SYM_FIELD* head = nullptr;
    QV_SYM_FIELD** link = &head;
    for (; f && f != stop; f = f->next) {
        *link = new_field(f->name, f->data, nullptr);
        link = &(*link)->next;
    }
    *link = tail;
    return head;
}

bool head_is(QV_SEXP* e, const L_CHAR* name) {
    if (get_type(e) != QVT_PAIR) return false;
    QV_SEXP* h = e->pair.car;
    return get_type(h) == QVT_SYMBOL && same_text(h->symbol.data, name);
}

// A count written after "'" in a path step, read the way "%i" reads it (decimal, 0x hex, 0
// octal, optional sign), clamped to the int range; 0 when there is no number.
int read_count(const L_CHAR* p, const L_CHAR* end) {
    char buf[64];
    size_t n = 0;
    for (; p < end && n + 1 < sizeof buf && *p < 0x80; p++)
        buf[n++] = static_cast<char>(*p);
    buf[n] = 0;
    errno = 0;
    long long v = strtoll(buf, nullptr, 0);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

QV_SEXP* default_value(const L_CHAR* def) {
    if (def[0] == '$') return get_symbol(def + 1);
    if (def[0] == '(') return nullptr;
    return get_string(def);
}

QV_SEXP* build_list(std::vector<QV_SEXP*>& v) {
    QV_SEXP* r = nullptr;
    for (size_t i = v.size(); i-- > 0;)
        r = cons(v[i], r);
    return r;
}

}  // namespace

// ---------------------------------------------------------------- lists

QV_SEXP* car(QV_SEXP* s) {
    switch (get_type(s)) {
        case QVT_ERROR:
            return s;
        case QVT_PAIR:
            return s->pair.car;
        default:
            return type_error(s, l_string(std_cm, "car"), "type missmatch in parameter");
    }
}

QV_SEXP* cdr(QV_SEXP* s) {
    switch (get_type(s)) {
        case QVT_ERROR:
            return s;
        case QVT_PAIR:
            return s->pair.cdr;
        default:
            return type_error(s, l_string(std_cm, "cdr"), "typemismatch in parameter");
    }
}

QV_SEXP* get_el(QV_SEXP* s, int n) {
    if (n < 0) return nullptr;
    for (; n > 0; n--) {
        if (get_type(s) != QVT_PAIR) return nullptr;
        s = s->pair.cdr;
    }
    return get_type(s) == QVT_PAIR ? s->pair.car : nullptr;
}

int list_length(QV_SEXP* s) {
    int n = 0;
    for (; get_type(s) == QVT_PAIR; s = s->pair.cdr)
        n++;
    return get_type(s) == QVT_NIL ? n : -1;
}

QV_SEXP* list(QV_SEXP* a, ...) {
    std::vector<QV_SEXP*> v{a};
    va_list ap;
    va_start(ap, a);
    while (QV_SEXP* x = va_arg(ap, QV_SEXP*))
        v.push_back(x);
    va_end(ap);
    return build_list(v);
}

QV_SEXP* List(QV_SEXP* a, ...) {
    std::vector<QV_SEXP*> v{a};
    va_list ap;
    va_start(ap, a);
    for (QV_SEXP* x; (x = va_arg(ap, QV_SEXP*)) != LIST_END;)
        v.push_back(x);
    va_end(ap);
    return build_list(v);
}

QV_SEXP* append(QV_SEXP* a, QV_SEXP* b) {
    std::vector<QV_SEXP*> v;
    for (QV_SEXP* s : {a, b}) {
        for (; get_type(s) == QVT_PAIR; s = s->pair.cdr)
            v.push_back(s->pair.car);
        if (get_type(s) != QVT_NIL) return nullptr;
    }
    // The copies are rooted in a frame of their own; only the result goes to the caller's.
    gc_push(nullptr, nullptr, nullptr);
    QV_SEXP* r = build_list(v);
    gc_pop(r, gc_vx_sexp);
    return r;
}

QV_SEXP* list_error(QV_SEXP* s) {
    int t = get_type(s);
    if (t == QVT_NIL) return nullptr;
    if (t != QVT_PAIR) return s;   // an error, or an atom that is itself the tail
    std::vector<QV_SEXP*> resume;  // where each enclosing list goes on
    QV_SEXP* c = s;
    for (;;) {
        while (get_type(c) == QVT_PAIR) {
            QV_SEXP* e = c->pair.car;
            c = c->pair.cdr;
            int te = get_type(e);
            if (te == QVT_ERROR) return e;
            if (te == QVT_PAIR) {
                resume.push_back(c);
                c = e;
            }
        }
        if (get_type(c) == QVT_ERROR) return c;
        if (resume.empty()) return c;  // the tail of s: nil or the atom ending it
        c = resume.back();
        resume.pop_back();
    }
}

QV_SEXP* search_error(QV_SEXP* s) {
    while (get_type(s) == QVT_PAIR)
        s = s->pair.cdr;
    return get_type(s) == QVT_ERROR ? s : nullptr;
}

QV_SEXP* vx_car(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* e = get_el(form, 1);
    switch (get_type(e)) {
        case QVT_ERROR:
            return e;
        case QVT_PAIR:
            return e->pair.car;
        default:
            return type_error(form, l_string(std_cm, "car"), "type missmatch in parameter");
    }
}

QV_SEXP* vx_cdr(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* e = get_el(form, 1);
    switch (get_type(e)) {
        case QVT_ERROR:
            return e;
        case QVT_PAIR:
            return e->pair.cdr;
        default:
            return type_error(form, l_string(std_cm, "cdr"), "typemismatch in parameter");
    }
}

// ---------------------------------------------------------------- attributes

QV_SEXP* set_attribute(QV_SEXP* sym, const L_CHAR* name, const L_CHAR* value) {
    if (!name || get_type(sym) != QVT_SYMBOL) return sym;
    heap_enter();
    L_CHAR* n = copy_ltext(name);
    L_CHAR* v = copy_ltext(value);
    sym->symbol.field = new_field(n, v, sym->symbol.field);
    heap_leave();
    return sym;
}

L_CHAR* get_sf_attribute(QV_SYM_FIELD* field, const L_CHAR* name) {
    QV_SYM_FIELD* f = find_field(field, name);
    return f ? f->data : nullptr;
}

L_CHAR* get_symbol_field(QV_SEXP* sym, const L_CHAR* name) {
    if (get_type(sym) != QVT_SYMBOL) return nullptr;
    return get_sf_attribute(sym->symbol.field, name);
}

QV_SYM_FIELD* set_sym_field(QV_SYM_FIELD* field, const L_CHAR* name, const L_CHAR* value) {
    if (!name) return field;
    QV_SYM_FIELD* m = find_field(field, name);
    if (!m && !value) return field;
    heap_enter();
    QV_SYM_FIELD* r;
    if (!m) {
        r = new_field(copy_ltext(name), copy_ltext(value), field);
    } else if (!value) {
        r = copy_front(field, m, m->next);
    } else {
        QV_SYM_FIELD* cell = new_field(copy_ltext(name), copy_ltext(value), m->next);
        r = copy_front(field, m, cell);
    }
    heap_leave();
    return r;
}

QV_SEXP* replace_attribute(QV_SEXP* sym, const L_CHAR* name, const L_CHAR* value) {
    if (!name || get_type(sym) != QVT_SYMBOL) return sym;
    QV_SYM_FIELD* field = sym->symbol.field;
    QV_SYM_FIELD* m = find_field(field, name);
    if (m) {
        bool same = value ? same_text(m->data, value) : !m->data;
        if (same) return sym;
    } else if (!value) {
        return sym;
    }
    heap_enter();
    QV_SEXP* r = get_symbol(sym->symbol.data);
    if (!m)
        r->symbol.field = new_field(copy_ltext(name), copy_ltext(value), field);
    else if (!value)
        r->symbol.field = copy_front(field, m, m->next);
    else
        r->symbol.field = copy_front(field, m, new_field(m->name, copy_ltext(value), m->next));
    inherit(r, sym);
    heap_leave();
    return r;
}

// ---------------------------------------------------------------- searches by tag name

QV_SEXP* get_el_by_symbol(QV_SEXP* s, const L_CHAR* name, ...) {
    if (!name) return nullptr;
    // The (attribute, value) conditions, in a temporary array of the tracked allocator.
    int n = 0;
    va_list ap;
    va_start(ap, name);
    while (va_arg(ap, const L_CHAR*)) {
        va_arg(ap, const L_CHAR*);
        n++;
    }
    va_end(ap);
    auto** cond = static_cast<const L_CHAR**>(d_alloc(sizeof(L_CHAR*) * 2 * (n + 1)));
    va_start(ap, name);
    for (int i = 0; i < n; i++) {
        cond[2 * i] = va_arg(ap, const L_CHAR*);
        cond[2 * i + 1] = va_arg(ap, const L_CHAR*);
    }
    va_end(ap);
    QV_SEXP* found = nullptr;
    for (; !found && get_type(s) == QVT_PAIR; s = s->pair.cdr) {
        QV_SEXP* e = s->pair.car;
        if (!head_is(e, name)) continue;
        QV_SYM_FIELD* attrs = e->pair.car->symbol.field;
        bool ok = true;
        for (int i = 0; ok && i < n; i++)
            ok = same_text(get_sf_attribute(attrs, cond[2 * i]), cond[2 * i + 1]);
        if (ok) found = e;
    }
    d_f_ree(cond);
    return found;
}

QV_SEXP* get_el_by_symbol_cnt(const L_CHAR* name, int n, QV_SEXP* s) {
    if (n < 2) n = 1;
    bool every = !name || !name[0];
    int k = 0;
    for (QV_SEXP* c = s; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* e = c->pair.car;
        if ((every || head_is(e, name)) && ++k == n) return e;
    }
    return get_error(s ? s->h.file : nullptr, s ? s->h.line : 0, QVE_NO_OBJECT,
                     l_string(std_cm, "get_el_c"), n_get_string("no object"));
}

QV_SEXP* get_el_c(QV_SEXP* s, const L_CHAR* path, const L_CHAR* def) {
    if (!path || !path[0]) return s;
    // Split the path into (name, count) steps held in a temporary array.
    struct STEP {
        L_CHAR* name;
        int count;
    };
    int len = l_strlen(path);
    int nsteps = 1;
    for (int i = 0; i < len; i++)
        nsteps += path[i] == '/';
    auto* steps = static_cast<STEP*>(d_alloc(sizeof(STEP) * nsteps));
    auto* names = static_cast<L_CHAR*>(d_alloc(sizeof(L_CHAR) * (len + 1)));
    int k = 0;
    for (int i = 0; i <= len; k++) {
        int j = i;
        while (j < len && path[j] != '/')
            j++;
        int q = i;
        while (q < j && path[q] != '\'')
            q++;
        memcpy(names + i, path + i, sizeof(L_CHAR) * (q - i));
        names[q] = 0;
        steps[k].name = names + i;
        steps[k].count = q < j ? read_count(path + q + 1, path + j) : 0;
        i = j + 1;
    }
    QV_SEXP* cur = s;
    for (int i = 0; i < nsteps; i++) {
        QV_SEXP* r = get_el_by_symbol_cnt(steps[i].name, steps[i].count, cur);
        if (get_type(r) == QVT_ERROR) {
            cur = def ? default_value(def) : r;
            break;
        }
        cur = r;
    }
    d_f_ree(names);
    d_f_ree(steps);
    return cur;
}

// ---------------------------------------------------------------- source positions

void _set_inh(QV_FILE* file, int line, QV_SEXP* s) {
    // Positions are written inside a heap section (the collector may be reading headers); kinds
    // are read as stored, so a delayed node gets a position but is not realised.
    std::vector<QV_SEXP*> todo{s};
    heap_enter();
    while (!todo.empty()) {
        QV_SEXP* x = todo.back();
        todo.pop_back();
        for (; x; x = x->pair.cdr) {
            if (!x->h.file) {
                x->h.file = file;
                x->h.line = line;
            }
            if (sexp_raw_type(x) != QVT_PAIR) break;
            todo.push_back(x->pair.car);
        }
    }
    heap_leave();
}

void search_inh(QV_FILE** file, int* line, QV_SEXP* s) {
    // Each level walks one list; the car of a cell without a record is searched as a level of
    // its own, and a record found there stands unless a later cell of the outer list has one.
    std::vector<QV_SEXP*> resume;
    QV_SEXP* c = s;
    for (;;) {
        bool done = false;
        while (sexp_raw_type(c) == QVT_PAIR) {
            if (c->h.file) {
                *file = c->h.file;
                *line = c->h.line;
                done = true;
                break;
            }
            resume.push_back(c->pair.cdr);
            c = c->pair.car;
        }
        if (!done && c && c->h.file) {
            *file = c->h.file;
            *line = c->h.line;
        }
        if (resume.empty()) return;
        c = resume.back();
        resume.pop_back();
    }
}
