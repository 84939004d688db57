// Element and attribute built-ins.
#include "builtins/elements.h"

#include <climits>
#include <cstdint>
#include <vector>

#include "base/task.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/lexer.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "longchar/longchar.h"
#include "server/interp.h"
#include "stream/chain_stream.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"

namespace {

constexpr const char* kMismatch = "type missmatch";

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

bool same_text(const L_CHAR* a, const L_CHAR* b) {
    if (!a || !b) return a == b;
    return l_strcmp(a, b) == 0;
}

// True when x is a list whose first element is a symbol named name.
bool has_tag(QV_SEXP* x, const L_CHAR* name) {
    if (get_type(x) != QVT_PAIR) return false;
    QV_SEXP* h = x->pair.car;
    return get_type(h) == QVT_SYMBOL && same_text(h->symbol.data, name);
}

// A new list of the elements in v ending in tail. The cells are linked inside a heap section, so
// no collection marks a cell while it changes.
QV_SEXP* build_list(const std::vector<QV_SEXP*>& v, QV_SEXP* tail) {
    HeapSection hs;
    QV_SEXP* r = tail;
    for (size_t i = v.size(); i-- > 0;) {
        QV_SEXP* cell = new_sexp_node<QV_PAIR>(QVT_PAIR);
        cell->pair.car = v[i];
        cell->pair.cdr = r;
        r = cell;
    }
    return r;
}

// The end of the list s: nil for a proper list, else the atom or error ending it.
QV_SEXP* list_tail(QV_SEXP* s) {
    while (get_type(s) == QVT_PAIR)
        s = s->pair.cdr;
    return s;
}

// A decimal number read as the C library's atoi reads it, saturated instead of overflowing.
long long read_atoi(const L_CHAR* t) {
    if (!t) return 0;
    while (*t == ' ' || (*t >= '\t' && *t <= '\r'))
        t++;
    bool neg = *t == '-';
    if (*t == '-' || *t == '+') t++;
    long long v = 0;
    for (; *t >= '0' && *t <= '9'; t++) {
        if (v > (LLONG_MAX - 9) / 10) return neg ? LLONG_MIN : LLONG_MAX;
        v = v * 10 + (*t - '0');
    }
    return neg ? -v : v;
}

// The code method named by a long-character name, or std_cm. Method names are short ASCII.
CODE_METHOD* cm_named(const L_CHAR* name) {
    if (!name) return std_cm;
    char buf[64];
    size_t i = 0;
    for (; name[i]; i++) {
        if (i + 1 >= sizeof buf || name[i] < 0x20 || name[i] > 0x7e) return std_cm;
        buf[i] = static_cast<char>(name[i]);
    }
    buf[i] = 0;
    CODE_METHOD* cm = search_cm(buf);
    return cm ? cm : std_cm;
}

// ------------------------------------------------------------------------------------------------
// MakeElement

enum OP_KIND { OP_AFTER, OP_BEFORE, OP_DELETE };

// One operation applied to target (a list or nil): the new list, or an error value.
QV_SEXP* make_element_op(QVISP_ENV* env, QV_SEXP* form, QV_SEXP* op, OP_KIND kind,
                         QV_SEXP* target) {
    static const char* const names[] = {"MakeElement/InsertAfter", "MakeElement/InsertBefore",
                                        "MakeElement/Delete"};
    const char* fname = names[kind];
    int want = kind == OP_DELETE ? 2 : 3;
    int len = 0;
    QV_SEXP* c = op;
    for (; get_type(c) == QVT_PAIR && len <= want; c = c->pair.cdr)
        len++;
    if (len != want || get_type(c) != QVT_NIL)
        return bltn_error_s(form, QVE_PARAM_LENGTH, fname, "invalid parameter length");
    QV_SEXP* tag = eval(env, get_el(op, 1));
    if (is_error(tag)) return tag;
    if (get_type(tag) != QVT_SYMBOL) return bltn_error_s(form, QVE_TYPE_MISMATCH, fname, kMismatch);
    QV_SEXP* value = nullptr;
    if (kind != OP_DELETE) {
        value = eval(env, get_el(op, 2));
        if (is_error(value)) return value;
    }
    const L_CHAR* name = tag->symbol.data;
    std::vector<QV_SEXP*> out;
    bool placed = false;
    QV_SEXP* s = target;
    for (; get_type(s) == QVT_PAIR; s = s->pair.cdr) {
        QV_SEXP* e = s->pair.car;
        if (is_error(e)) return e;
        bool lead_error = get_type(e) == QVT_PAIR && is_error(e->pair.car);
        if (kind == OP_DELETE) {
            if (lead_error) return e->pair.car;
            if (!has_tag(e, name)) out.push_back(e);
            continue;
        }
        if (!placed) {
            if (lead_error) return e->pair.car;
            if (has_tag(e, name)) {
                if (kind == OP_BEFORE) out.push_back(value);
                out.push_back(e);
                if (kind == OP_AFTER) out.push_back(value);
                placed = true;
                continue;
            }
        }
        out.push_back(e);
    }
    // A list that ends in an atom: taking the atom's first element is the failure.
    if (get_type(s) != QVT_NIL) return car(s);
    if (!placed && kind != OP_DELETE) out.push_back(value);
    return build_list(out, nullptr);
}

// ------------------------------------------------------------------------------------------------
// GetElement

// The element with the tag key and every attribute of the (name value) pairs in conds.
QV_SEXP* element_by_tag(QV_SEXP* form, QV_SEXP* lst, QV_SEXP* key, QV_SEXP* conds) {
    std::vector<const L_CHAR*> want;
    for (QV_SEXP* c = conds; get_type(c) == QVT_PAIR && get_type(c->pair.cdr) == QVT_PAIR;
         c = c->pair.cdr->pair.cdr) {
        for (QV_SEXP* x : {c->pair.car, c->pair.cdr->pair.car}) {
            if (is_error(x)) return x;
            if (get_type(x) != QVT_STRING)
                return bltn_error_s(form, QVE_TYPE_MISMATCH, "GetElement", kMismatch);
            want.push_back(x->string.data);
        }
    }
    for (QV_SEXP* s = lst; get_type(s) == QVT_PAIR; s = s->pair.cdr) {
        QV_SEXP* e = s->pair.car;
        if (is_error(e)) return e;
        if (get_type(e) != QVT_PAIR) continue;
        if (is_error(e->pair.car)) return e->pair.car;
        if (!has_tag(e, key->symbol.data)) continue;
        bool ok = true;
        for (size_t i = 0; ok && i < want.size(); i += 2) {
            ok = false;
            for (QV_SYM_FIELD* f = e->pair.car->symbol.field; f && !ok; f = f->next)
                ok = same_text(f->name, want[i]) && same_text(f->data, want[i + 1]);
        }
        if (ok) return e;
    }
    return nullptr;
}

QV_SEXP* element_by_path(QV_SEXP* s, QV_SYM_FIELD* attr, const L_CHAR* path) {
    QV_SEXP* r = get_el_c(s, path, get_sf_attribute(attr, l_string(std_cm, "default")));
    const L_CHAR* el = get_sf_attribute(attr, l_string(std_cm, "el"));
    if (is_error(r) || !el || get_type(r) != QVT_PAIR) return r;
    long long n = read_atoi(el);
    if (n < 0 || n > INT_MAX) return nullptr;
    return get_el(r, static_cast<int>(n));
}

// ------------------------------------------------------------------------------------------------
// ?xml and ?qv

// The stream the form was read from when the caller is the front thread of the interpreter
// whose input that stream is, else null; *iid gets the interpreter's id.
STREAM* declaration_input(QV_SEXP* form, uint32_t* iid) {
    QV_FILE* f = form ? form->h.file : nullptr;
    if (!f) return nullptr;
    STREAM* st;
    {
        TaskLockGuard g(lex_lock);
        st = f->st;
    }
    if (!st) return nullptr;
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* qvi = _get_my_qvi();
    if (!qvi || qvi->front_thread != get_tid() || qvi->inp != st) return nullptr;
    *iid = qvi->id;
    return st;
}

// The standard place of type 'o' or 'e' gets a chain stream to the interpreter for "chain",
// else the stream the declaration was read from.
void redirect_std(char type, const L_CHAR* value, uint32_t iid, STREAM* input) {
    if (text_is(value, "chain")) {
        STREAM* c = s_open_chain(static_cast<int>(iid), type);
        if (c && s_replace_std_stream(type, c) != 0) s_close(c);
        return;
    }
    s_replace_std_stream(type, input);
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Offered to other families

void _q_xml_encoding(QV_SEXP* s, const L_CHAR* name) {
    qv_set_cm(s, cm_named(name));
}

int set_encoding_st(STREAM* st, const L_CHAR* name) {
    return s_set_cm(st, cm_named(name));
}

QV_SEXP* set_attribute_symbol(QV_SEXP* target, const L_CHAR* name, const L_CHAR* text) {
    std::vector<QV_SYM_FIELD> fields;
    fields.push_back({nullptr, copy_ltext(name), copy_ltext(text)});
    std::vector<QV_SYM_FIELD> others;
    for (QV_SYM_FIELD* f = target->symbol.field; f; f = f->next)
        if (!same_text(f->name, name)) others.push_back(*f);
    fields.insert(fields.end(), others.rbegin(), others.rend());
    QV_SEXP* r = get_symbol(target->symbol.data);
    QV_SYM_FIELD* chain = new_sym_fields(fields.data(), fields.size());
    HeapSection hs;
    r->symbol.field = chain;
    return inherit(r, target);
}

QV_SEXP* set_attribute_pair(QV_SEXP* target, const L_CHAR* name, const L_CHAR* text) {
    QV_SEXP* sym = set_attribute_symbol(target->pair.car, name, text);
    return inherit(cons(sym, target->pair.cdr), target);
}

// ------------------------------------------------------------------------------------------------
// The built-ins

QV_SEXP* qv_MakeElement(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* target = eval(env, get_el(form, 1));
    if (is_error(target)) return target;
    int t = get_type(target);
    if (t != QVT_PAIR && t != QVT_NIL)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "MakeElement", kMismatch);
    for (QV_SEXP* c = form_rest(form, 2); get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* op = c->pair.car;
        if (is_error(op)) return op;
        if (get_type(op) != QVT_PAIR)
            return bltn_error_s(form, QVE_INVALID_PARAMETER, "MakeElement",
                                "(Insert/Delete element is required)");
        QV_SEXP* h = op->pair.car;
        if (is_error(h)) return h;
        if (get_type(h) != QVT_SYMBOL)
            return bltn_error_s(form, QVE_INVALID_PARAMETER, "MakeElement",
                                "(Insert/Delete element is required(symbol))");
        OP_KIND kind;
        if (text_is(h->symbol.data, "InsertAfter"))
            kind = OP_AFTER;
        else if (text_is(h->symbol.data, "InsertBefore"))
            kind = OP_BEFORE;
        else if (text_is(h->symbol.data, "Delete"))
            kind = OP_DELETE;
        else
            return bltn_error_s(form, QVE_INVALID_PARAMETER, "MakeElement", "(Invalid tag");
        target = make_element_op(env, form, op, kind, target);
        if (is_error(target)) return target;
    }
    return target;
}

QV_SEXP* qv_GetElement(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* lst = get_el(form, 1);
    if (const L_CHAR* path = get_sf_attribute(attr, l_string(std_cm, "path")))
        return element_by_path(lst, attr, path);
    int t = get_type(lst);
    if (t == QVT_ERROR) return lst;
    if (t == QVT_NIL) return nullptr;
    if (t != QVT_PAIR) return bltn_error_s(form, QVE_TYPE_MISMATCH, "GetElement", kMismatch);
    QV_SEXP* key = get_el(form, 2);
    switch (get_type(key)) {
        case QVT_SYMBOL:
            if (get_type(list_tail(lst)) != QVT_NIL) return list_error(lst);
            return element_by_tag(form, lst, key, form_rest(form, 3));
        case QVT_INTEGER: {
            if (get_type(list_tail(lst)) != QVT_NIL) return list_error(lst);
            int64_t n = key->integer.data;
            if (n < 0)
                return bltn_error_s(form, QVE_INVALID_PARAMETER, "GetElement", "parameter error");
            return n > INT_MAX ? nullptr : get_el(lst, static_cast<int>(n));
        }
        case QVT_ERROR:
            return key;
        default:
            return bltn_error_s(form, QVE_TYPE_MISMATCH, "GetElement", kMismatch);
    }
}

QV_SEXP* qv_GetAttribute(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                         QVISP_ENV*) {
    QV_SEXP* sym = get_el(form, 1);
    if (is_error(sym)) return sym;
    if (get_type(sym) != QVT_SYMBOL)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "GetAttribute", kMismatch);
    if (get_type(form_rest(form, 2)) == QVT_PAIR) {
        QV_SEXP* name = get_el(form, 2);
        if (is_error(name)) return name;
        if (get_type(name) != QVT_STRING)
            return bltn_error_s(form, QVE_TYPE_MISMATCH, "GetAttribute", kMismatch);
        const L_CHAR* v = get_sf_attribute(sym->symbol.field, name->string.data);
        return v ? get_string(v) : nullptr;
    }
    const L_CHAR* type = attr_text(attr, "type");
    if (text_is(type, "list")) {
        // Consed from the front: the attributes come out in reverse order.
        QV_SEXP* r = nullptr;
        for (QV_SYM_FIELD* f = sym->symbol.field; f; f = f->next)
            r = cons(list(get_symbol(f->name), get_string(f->data), nullptr), r);
        return r;
    }
    if (text_is(type, "env")) {
        // Checked once before any binding: all of them go into the same environment.
        if (sym->symbol.field && !env_may_bind(env, env))
            return env_refused_text(form, "GetAttribute", "attributes");
        for (QV_SYM_FIELD* f = sym->symbol.field; f; f = f->next)
            set_env(env, f->name, get_string(f->data));
        return nullptr;
    }
    return bltn_error_s(form, QVE_TYPE_MISMATCH, "GetAttribute", kMismatch);
}

QV_SEXP* qv_SetAttribute(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* target = get_el(form, 1);
    QV_SEXP* name = get_el(form, 2);
    const L_CHAR* text = value_text(get_el(form, 3));
    if (text && get_type(name) == QVT_STRING) {
        if (get_type(target) == QVT_SYMBOL)
            return set_attribute_symbol(target, name->string.data, text);
        if (get_type(target) == QVT_PAIR && get_type(target->pair.car) == QVT_SYMBOL)
            return set_attribute_pair(target, name->string.data, text);
    }
    return bltn_error_l(form, QVE_TYPE_MISMATCH, "SetAttribute", kMismatch);
}

QV_SEXP* qv_AtachAttribute(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* target = get_el(form, 1);
    QV_SEXP* name = get_el(form, 2);
    QV_SEXP* value = get_el(form, 3);
    for (QV_SEXP* x : {target, name, value})
        if (is_error(x)) return x;
    bool is_list = get_type(target) == QVT_PAIR;
    QV_SEXP* tag = is_list ? target->pair.car : target;
    if (get_type(tag) != QVT_SYMBOL)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "AtachAttribute",
                            "then else parameter error");
    int vt = get_type(value);
    if (get_type(name) != QVT_STRING || (vt != QVT_STRING && vt != QVT_NIL))
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "AtachAttribute", kMismatch);
    QV_SYM_FIELD* fields = set_sym_field(tag->symbol.field, name->string.data,
                                         vt == QVT_STRING ? value->string.data : nullptr);
    QV_SEXP* sym = get_symbol(tag->symbol.data);
    {
        HeapSection hs;
        sym->symbol.field = fields;
    }
    inherit(sym, tag);
    return is_list ? inherit(cons(sym, target->pair.cdr), target) : sym;
}

QV_SEXP* qv_GetTag(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* sym = get_el(form, 1);
    if (get_type(sym) != QVT_SYMBOL)
        return bltn_error_l(form, QVE_TYPE_MISMATCH, "GetTag", kMismatch);
    return inherit(get_symbol(sym->symbol.data), sym);
}

QV_SEXP* qv_GetSymbolCore(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* sym = get_el(form, 1);
    if (is_error(sym)) return sym;
    if (get_type(sym) != QVT_SYMBOL)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "GetSymbolCore", kMismatch);
    return inherit(get_symbol(sym->symbol.data), sym);
}

QV_SEXP* qv_Parse(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* text = get_el(form, 1);
    if (is_error(text)) return text;
    if (get_type(text) != QVT_STRING)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "Parse", kMismatch);
    // The stream hands the reader the string's long characters as they lie in memory, four
    // bytes each, and owns a copy of them: the reading goes on after this call.
    int64_t bytes = static_cast<int64_t>(l_strlen(text->string.data)) * 4;
    if (bytes > INT_MAX) return bltn_error_s(form, QVE_NO_MEMORY, "Parse", "no memory");
    CODE_METHOD* internal = search_cm("Internal");
    STREAM* st = s_open_string_read(reinterpret_cast<const char*>(text->string.data), internal,
                                    static_cast<int>(bytes), 1);
    if (!st) return bltn_error_s(form, QVE_NO_MEMORY, "Parse", "no memory");
    QV_SEXP* top = init_parse(st, l_string(std_cm, "Parse"), nullptr);
    qv_set_cm(top, internal);
    return top;
}

QV_SEXP* _q_xml(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    uint32_t iid = 0;
    STREAM* input = declaration_input(form, &iid);
    if (!input) return nullptr;
    const L_CHAR* out = attr_text(attr, "stdout");
    const L_CHAR* err = attr_text(attr, "stderr");
    if ((out || err) && !env_is_privileged(env)) {
        QV_SEXP* head = get_el(form, 0);
        bool qv = get_type(head) == QVT_SYMBOL && text_is(head->symbol.data, "?qv");
        return permission_error(form, qv ? "?qv" : "?xml");
    }
    for (QV_SYM_FIELD* f = attr; f; f = f->next)
        if (text_is(f->name, "encoding")) _q_xml_encoding(form, f->data);
    if (out) redirect_std('o', out, iid, input);
    if (err) redirect_std('e', err, iid, input);
    return nullptr;
}

// ------------------------------------------------------------------------------------------------
// Registration

void init_MakeElement(QVISP_ENV* env) {
    bind_prim(env, "MakeElement", qv_MakeElement, FUNC_NORMAL, 2, FUNC_NO_MAX);
}

void init_GetElement(QVISP_ENV* env) {
    // One function value under both names.
    QV_SEXP* f = get_func_prim(qv_GetElement, FUNC_APPLICATIVE, nullptr, 2, FUNC_NO_MAX);
    set_env(env, l_string(std_cm, "GetElement"), f);
    set_env(env, l_string(std_cm, "GE"), f);
}

void init_GetAttribute(QVISP_ENV* env) {
    bind_prim(env, "GetAttribute", qv_GetAttribute, FUNC_APPLICATIVE, 2, 3);
}

void init_SetAttribute(QVISP_ENV* env) {
    bind_prim(env, "SetAttribute", qv_SetAttribute, FUNC_APPLICATIVE, 4, 4);
}

void init_AtachAttribute(QVISP_ENV* env) {
    bind_prim(env, "AtachAttribute", qv_AtachAttribute, FUNC_APPLICATIVE, 4, 4);
}

void init_GetTag(QVISP_ENV* env) {
    bind_prim(env, "GetTag", qv_GetTag, FUNC_APPLICATIVE, 2, 2);
}

void init_GetSymbolCore(QVISP_ENV* env) {
    bind_prim(env, "GetSymbolCore", qv_GetSymbolCore, FUNC_APPLICATIVE, 2, 2);
}

void init_Parse(QVISP_ENV* env) {
    bind_prim(env, "Parse", qv_Parse, FUNC_APPLICATIVE, 2, 2);
}

void init_q_xml(QVISP_ENV* env) {
    bind_prim(env, "?xml", _q_xml, FUNC_APPLICATIVE, 1, 1);
    bind_prim(env, "?qv", _q_xml, FUNC_APPLICATIVE, 1, 1);
}
