#include "lisp/convert_code.h"

#include <vector>

#include "base/panic.h"
#include "lisp/heap.h"

namespace {

struct Frame {
    QV_SEXP* src;
    int stage;  // children already pushed
};

// The new node takes the source's position and flags.
QV_SEXP* like(QV_SEXP* dst, const QV_SEXP* src) {
    heap_enter();
    dst->h.file = src->h.file;
    dst->h.line = src->h.line;
    dst->h.flags = src->h.flags;
    heap_leave();
    return dst;
}

QV_SEXP* convert_symbol(QV_SEXP* s, const LCZ_SET* set, int flags) {
    QV_SEXP* r = get_symbol(cc_string(s->symbol.data, set, flags));
    std::vector<QV_SYM_FIELD> fields;
    for (QV_SYM_FIELD* f = s->symbol.field; f; f = f->next) {
        // Each copy is a new collected block, rooted in this thread's top frame until the symbol
        // holds it.
        QV_SYM_FIELD c{};
        c.name = copy_ltext(cc_string(f->name, set, flags));
        c.data = copy_ltext(cc_string(f->data, set, flags));
        fields.push_back(c);
    }
    if (!fields.empty()) {
        QV_SYM_FIELD* chain = new_sym_fields(fields.data(), fields.size());
        heap_enter();
        r->symbol.field = chain;
        heap_leave();
    }
    return r;
}

QV_SEXP* convert_error(QV_SEXP* s, QV_SEXP* data, const LCZ_SET* set, int flags) {
    L_CHAR* func = copy_ltext(cc_string(s->error.func, set, flags));
    heap_enter();
    QV_SEXP* r = get_sexp(nullptr, QVT_ERROR);
    r->error = s->error;
    r->error.h = QV_SEXP_HEADER{nullptr, 0, QVT_ERROR, 0};
    r->error.func = func;
    r->error.data = data;
    heap_leave();
    return r;
}

QV_SEXP* convert_atom(QV_SEXP* s, int type, const LCZ_SET* set, int flags) {
    switch (type) {
        case QVT_NIL:
            return nullptr;
        case QVT_SYMBOL:
            return like(convert_symbol(s, set, flags), s);
        case QVT_STRING:
            return like(get_string(cc_string(s->string.data, set, flags)), s);
        case QVT_INTEGER:
            return like(get_integer(s->integer.data, cc_string(s->integer.unit, set, flags)), s);
        case QVT_FLOAT:
            return like(get_floating(s->floating.data, cc_string(s->floating.unit, set, flags)), s);
        case QVT_FUNC:
        case QVT_PTR:
        case QVT_RAW:
        case QVT_ENV:
            return s;
        default:
            er_panic("ConvertCode");
    }
}

}  // namespace

QV_SEXP* convert_code(QV_SEXP* st, const LCZ_SET* set, int flags) {
    // Post-order: a pair or an error is rebuilt once its children are converted; `done` holds the
    // converted children (rooted in this thread's top frame as they are made).
    std::vector<Frame> todo{{st, 0}};
    std::vector<QV_SEXP*> done;
    while (!todo.empty()) {
        Frame& f = todo.back();
        QV_SEXP* s = f.src;
        const int type = get_type(s);
        if (type == QVT_PAIR && f.stage < 2) {
            QV_SEXP* next = f.stage == 0 ? s->pair.car : s->pair.cdr;
            f.stage++;
            todo.push_back({next, 0});
            continue;
        }
        if (type == QVT_ERROR && f.stage < 1) {
            f.stage++;
            todo.push_back({s->error.data, 0});
            continue;
        }
        todo.pop_back();
        QV_SEXP* r;
        if (type == QVT_PAIR) {
            QV_SEXP* cdr = done.back();
            done.pop_back();
            QV_SEXP* car = done.back();
            done.pop_back();
            r = like(cons(car, cdr), s);
        } else if (type == QVT_ERROR) {
            QV_SEXP* data = done.back();
            done.pop_back();
            r = convert_error(s, data, set, flags);
        } else {
            r = convert_atom(s, type, set, flags);
        }
        done.push_back(r);
    }
    return done.back();
}
