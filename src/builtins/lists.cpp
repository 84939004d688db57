// List built-ins.
#include "builtins/lists.h"

#include <cstdint>
#include <vector>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

// A new proper list of the elements, built back to front in a root frame of its own, so that only
// the result is left in the caller's frame.
QV_SEXP* list_of(const std::vector<QV_SEXP*>& v) {
    if (v.empty()) return nullptr;
    gc_push(nullptr, nullptr, "list");
    QV_SEXP* r = nullptr;
    for (size_t i = v.size(); i-- > 0;)
        r = cons(v[i], r);
    gc_pop(r, gc_vx_sexp);
    return r;
}

// The elements of a proper list into v; false when s does not end in nil.
bool proper_elements(QV_SEXP* s, std::vector<QV_SEXP*>* v) {
    for (; get_type(s) == QVT_PAIR; s = s->pair.cdr)
        v->push_back(s->pair.car);
    return get_type(s) == QVT_NIL;
}

int64_t atom_size(QV_SEXP* s) {
    switch (get_type(s)) {
        case QVT_SYMBOL:
            return l_strlen(s->symbol.data);
        case QVT_STRING:
            return l_strlen(s->string.data);
        case QVT_INTEGER:
        case QVT_FLOAT:
            return 8;
        case QVT_RAW:
            return s->raw.size;
        default:
            return 0;
    }
}

// A new symbol named like a's head whose attributes are a's with b's set over them in b's order:
// a name both have takes b's value in its place, a name only b has goes in front.
QV_SEXP* merged_head(QV_SEXP* ha, QV_SEXP* hb) {
    QV_SYM_FIELD* fields = ha->symbol.field;
    for (QV_SYM_FIELD* f = hb->symbol.field; f; f = f->next)
        fields = set_sym_field(fields, f->name, f->data);
    QV_SEXP* r = inherit(get_symbol(ha->symbol.data), ha);
    HeapSection hs;
    r->symbol.field = fields;
    return r;
}

}  // namespace

QV_SEXP* reverse(QV_SEXP* s) {
    QV_SEXP* r = nullptr;
    for (; get_type(s) == QVT_PAIR; s = s->pair.cdr)
        r = cons(s->pair.car, r);
    return r;
}

int64_t get_size(QV_SEXP* s) {
    int64_t total = 0;
    std::vector<QV_SEXP*> todo{s};
    while (!todo.empty()) {
        QV_SEXP* c = todo.back();
        todo.pop_back();
        for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
            QV_SEXP* e = c->pair.car;
            if (get_type(e) == QVT_PAIR)
                todo.push_back(e);
            else
                total += atom_size(e);
        }
        total += atom_size(c);
    }
    return total;
}

QV_SEXP* qv_List(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    std::vector<QV_SEXP*> v;
    for (QV_SEXP* c = form_rest(form, 1); get_type(c) == QVT_PAIR; c = c->pair.cdr)
        v.push_back(c->pair.car);
    return list_of(v);
}

QV_SEXP* qv_ListLength(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    int64_t n = 0;
    QV_SEXP* s = get_el(form, 1);
    for (; get_type(s) == QVT_PAIR; s = s->pair.cdr)
        n++;
    return get_integer(get_type(s) == QVT_NIL ? n : -1, nullptr);
}

QV_SEXP* qv_Append(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* a = get_el(form, 1);
    QV_SEXP* b = get_el(form, 2);
    if (get_type(a) == QVT_NIL) return b;
    if (get_type(b) == QVT_NIL) return a;
    std::vector<QV_SEXP*> v;
    if (get_type(a) != QVT_PAIR || get_type(b) != QVT_PAIR || !proper_elements(a, &v) ||
        !proper_elements(b, &v))
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "Append", nullptr);
    gc_push(nullptr, nullptr, "Append");
    QV_SEXP* ha = a->pair.car;
    QV_SEXP* hb = b->pair.car;
    if (get_type(ha) == QVT_SYMBOL && get_type(hb) == QVT_SYMBOL) v[0] = merged_head(ha, hb);
    QV_SEXP* r = list_of(v);
    gc_pop(r, gc_vx_sexp);
    return r;
}

QV_SEXP* qv_Next(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* l = get_el(form, 1);
    switch (get_type(l)) {
        case QVT_ERROR:
            return l;
        case QVT_PAIR:
            return l->pair.cdr;
        default:
            return bltn_error_s(form, QVE_TYPE_MISMATCH, "Next", "type missmatch");
    }
}

QV_SEXP* qv_Reverse(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    gc_push(nullptr, nullptr, "Reverse");
    QV_SEXP* r = reverse(get_el(form, 1));
    gc_pop(r, gc_vx_sexp);
    return r;
}

QV_SEXP* qv_CutOut(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* x = get_el(form, 1);
    QV_SEXP* from_v = get_el(form, 2);
    bool has_to = get_type(form_rest(form, 3)) == QVT_PAIR;
    QV_SEXP* to_v = has_to ? get_el(form, 3) : nullptr;
    if (get_type(from_v) != QVT_INTEGER || (has_to && get_type(to_v) != QVT_INTEGER))
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "CutOut", nullptr);
    // Positions are whole 64-bit values: one past the 32-bit range lies past the end, never on a
    // position its low bits name.
    int64_t from = from_v->integer.data;
    int64_t to = has_to ? to_v->integer.data : 0;
    if (has_to && from > to) return bltn_error_s(form, QVE_INVALID_PARAMETER, "CutOut", nullptr);
    switch (get_type(x)) {
        case QVT_PAIR: {
            std::vector<QV_SEXP*> v;
            int64_t pos = 0;
            for (QV_SEXP* c = x; get_type(c) == QVT_PAIR; c = c->pair.cdr, pos++) {
                if (has_to && pos > to) break;
                if (pos >= from) v.push_back(c->pair.car);
            }
            return list_of(v);
        }
        case QVT_RAW: {
            // Only offsets inside the data (or just past its end) can be read; anything else is
            // a bad parameter rather than a read outside the block.
            int64_t size = x->raw.size;
            if (from < 0 || from > size)
                return bltn_error_s(form, QVE_INVALID_PARAMETER, "CutOut", nullptr);
            int64_t end = (has_to && to >= 0 && to < size) ? to : size;
            return get_raw(x->raw.data + from, static_cast<int32_t>(end - from));
        }
        default:
            return bltn_error_s(form, QVE_TYPE_MISMATCH, "CutOut", nullptr);
    }
}

QV_SEXP* qv_GetSize(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return get_integer(get_size(get_el(form, 1)), nullptr);
}

void init_ListLength(QVISP_ENV* env) {
    bind_prim(env, "ListLength", qv_ListLength, FUNC_APPLICATIVE, 2, 2);
}
void init_List(QVISP_ENV* env) {
    bind_prim(env, "List", qv_List, FUNC_APPLICATIVE, 1, FUNC_NO_MAX);
}
void init_Next(QVISP_ENV* env) {
    bind_prim(env, "Next", qv_Next, FUNC_APPLICATIVE, 2, 2);
}
void init_CutOut(QVISP_ENV* env) {
    bind_prim(env, "CutOut", qv_CutOut, FUNC_APPLICATIVE, 3, 4);
}
void init_Append(QVISP_ENV* env) {
    bind_prim(env, "Append", qv_Append, FUNC_APPLICATIVE, 3, 3);
}
void init_Reverse(QVISP_ENV* env) {
    bind_prim(env, "Reverse", qv_Reverse, FUNC_APPLICATIVE, 2, 2);
}
void init_GetSize(QVISP_ENV* env) {
    bind_prim(env, "GetSize", qv_GetSize, FUNC_APPLICATIVE, 2, 2);
}
