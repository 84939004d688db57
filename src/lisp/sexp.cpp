// Expression nodes: allocation, constructors, error values, kinds and comparison.
//
// Every constructor fills its node inside a heap section: no collection runs meanwhile, so the
// collector never sees a node half filled, and a node registered in a frame is complete by the
// time anyone can mark it.
#include "lisp/sexp.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/panic.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "longchar/longchar.h"

namespace {

std::atomic<const QV_READER_HOOKS*> reader_hooks{nullptr};

constexpr int sexp_sizes[QVT_COUNT] = {
    sizeof(QV_SEXP_HEADER), sizeof(QV_ERROR),   sizeof(QV_PAIR),      sizeof(QV_SYMBOL),
    sizeof(QV_STRING),      sizeof(QV_INTEGER), sizeof(QV_FLOAT),     sizeof(QV_FUNC),
    sizeof(QV_SEXP),  // a delay can become any kind in place
    sizeof(QV_PTR),         sizeof(QV_RAW),     sizeof(QV_QVISP_ENV),
};

constexpr size_t BODY = sizeof(QV_SEXP_HEADER);

void publish_type(QV_SEXP* s, int type) {
    std::atomic_ref<int32_t>(s->h.type).store(type, std::memory_order_release);
}

L_CHAR* empty_ltext() {
    return static_cast<L_CHAR*>(mmalloc(sizeof(L_CHAR), gc_text));
}

// Stamps a node with a record's position; inside a heap section.
void take_position(QV_FILE* file, QV_SEXP* s) {
    s->h.file = file;
    s->h.line = 0;
    if (!file) return;
    const QV_READER_HOOKS* h = reader_hooks.load(std::memory_order_acquire);
    if (h && h->take_sexp) s->h.line = h->take_sexp(file, s);
}

// Checks that a node's block can hold a node of the kind (a delay can hold any).
void check_room(QV_SEXP* s, int type, const char* who) {
    if (mem_hdr(s)->m_size < get_sexp_size(type)) er_panic(who);
}

int cmp_text(const L_CHAR* a, const L_CHAR* b) {
    static const L_CHAR empty[1] = {0};
    return l_strcmp(a ? a : empty, b ? b : empty);
}

// Compares two atoms of the same kind: -1, 0 or 1.
int cmp_atom(int t, QV_SEXP* a, QV_SEXP* b) {
    switch (t) {
        case QVT_NIL:
            return 0;
        case QVT_SYMBOL:
            return cmp_text(a->symbol.data, b->symbol.data) ? -1 : 0;
        case QVT_STRING:
            return cmp_text(a->string.data, b->string.data);
        case QVT_INTEGER:
            if (a->integer.data != b->integer.data)
                return a->integer.data < b->integer.data ? -1 : 1;
            return cmp_text(a->integer.unit, b->integer.unit);
        case QVT_FLOAT:
            if (a->floating.data < b->floating.data) return -1;
            if (a->floating.data > b->floating.data) return 1;
            if (a->floating.data != b->floating.data) return -1;  // NaN
            return cmp_text(a->floating.unit, b->floating.unit);
        case QVT_RAW: {
            if (a->raw.size != b->raw.size) return a->raw.size < b->raw.size ? -1 : 1;
            int r = a->raw.size > 0 ? memcmp(a->raw.data, b->raw.data, a->raw.size) : 0;
            return r < 0 ? -1 : r > 0 ? 1 : 0;
        }
        default:
            return a == b ? 0 : -1;
    }
}

}  // namespace

void set_reader_hooks(const QV_READER_HOOKS* hooks) {
    reader_hooks.store(hooks, std::memory_order_release);
}

const QV_READER_HOOKS* get_reader_hooks() {
    return reader_hooks.load(std::memory_order_acquire);
}

int get_sexp_size(int type) {
    if (type < 0 || type >= QVT_COUNT) {
        fprintf(stderr, "get_sexp_size(1) %i\n", type);
        er_panic("get_sexp_size(1)");
    }
    return sexp_sizes[type];
}

QV_SEXP* xx_get_sexp(QV_FILE* file, int type, const char*, int) {
    int size = get_sexp_size(type);
    heap_enter();
    auto* s = static_cast<QV_SEXP*>(heap_alloc_in(size, gc_vx_sexp));
    if (file) take_position(file, s);
    publish_type(s, type);
    heap_leave();
    return s;
}

QV_SEXP* xx_get_sexp_inh(QV_FILE* file, int type, QV_SEXP* from, const char* src_file,
                         int src_line) {
    heap_enter();
    QV_SEXP* s = xx_get_sexp(file, type, src_file, src_line);
    if (from) {
        s->h.file = from->h.file;
        s->h.line = from->h.line;
    }
    heap_leave();
    return s;
}

QV_SEXP* set_sexp(QV_FILE* file, int type, QV_SEXP* s) {
    if (!s) return s;
    check_room(s, type, "set_sexp(1)");
    heap_enter();
    memset(reinterpret_cast<char*>(s) + BODY, 0, static_cast<size_t>(mem_hdr(s)->m_size) - BODY);
    s->h.flags = 0;
    take_position(file, s);
    publish_type(s, type);
    heap_leave();
    return s;
}

QV_SEXP* set_sexp_inh(QV_FILE* file, int type, QV_SEXP* s, QV_SEXP* from) {
    if (!s) return s;
    heap_enter();
    set_sexp(file, type, s);
    if (from) {
        s->h.file = from->h.file;
        s->h.line = from->h.line;
    }
    heap_leave();
    return s;
}

void over_write_sexp(QV_SEXP* dst, QV_SEXP* src) {
    if (!dst || dst == src) return;
    int type = sexp_raw_type(src);
    check_room(dst, type, "over_write_sexp(1)");
    heap_enter();
    size_t room = static_cast<size_t>(mem_hdr(dst)->m_size) - BODY;
    memset(reinterpret_cast<char*>(dst) + BODY, 0, room);
    if (src) {
        dst->h.file = src->h.file;
        dst->h.line = src->h.line;
        dst->h.flags = src->h.flags;
        memcpy(reinterpret_cast<char*>(dst) + BODY, reinterpret_cast<char*>(src) + BODY,
               static_cast<size_t>(get_sexp_size(type)) - BODY);
    }
    publish_type(dst, type);
    heap_leave();
}

// ---------------------------------------------------------------- constructors

QV_SEXP* get_symbol(const L_CHAR* name) {
    heap_enter();
    L_CHAR* t = name ? copy_ltext(name) : empty_ltext();
    QV_SEXP* s = get_sexp(nullptr, QVT_SYMBOL);
    s->symbol.data = t;
    heap_leave();
    return s;
}

QV_SEXP* n_get_symbol(const char* cstr) {
    return get_symbol(cstr ? _l_string_1(std_cm, cstr) : nullptr);
}

QV_SEXP* get_string(const L_CHAR* text) {
    heap_enter();
    L_CHAR* t = text ? copy_ltext(text) : empty_ltext();
    QV_SEXP* s = get_sexp(nullptr, QVT_STRING);
    s->string.data = t;
    heap_leave();
    return s;
}

QV_SEXP* get_string_set_data(L_CHAR* text) {
    heap_enter();
    QV_SEXP* s = new_sexp_node<QV_STRING>(QVT_STRING);
    s->string.data = text;
    heap_leave();
    return s;
}

QV_SEXP* n_get_string(const char* cstr) {
    return get_string(cstr ? _l_string_1(std_cm, cstr) : nullptr);
}

QV_SEXP* get_integer(int64_t value, const L_CHAR* unit) {
    heap_enter();
    L_CHAR* u = unit ? copy_ltext(unit) : nullptr;
    QV_SEXP* s = new_sexp_node<QV_INTEGER>(QVT_INTEGER);
    s->integer.unit = u;
    s->integer.data = value;
    heap_leave();
    return s;
}

QV_SEXP* n_get_integer(int32_t value, const char* unit) {
    return get_integer(value, unit ? _l_string_1(std_cm, unit) : nullptr);
}

QV_SEXP* get_floating(double value, const L_CHAR* unit) {
    heap_enter();
    L_CHAR* u = unit ? copy_ltext(unit) : nullptr;
    QV_SEXP* s = new_sexp_node<QV_FLOAT>(QVT_FLOAT);
    s->floating.unit = u;
    s->floating.data = value;
    heap_leave();
    return s;
}

QV_SEXP* n_get_floating(double value, const char* unit) {
    return get_floating(value, unit ? _l_string_1(std_cm, unit) : nullptr);
}

QV_SEXP* get_func_prim_sp(QV_PRIM prim, int order, QVISP_ENV* args_env, QVISP_ENV* sp_env, int min,
                          int max) {
    if (args_env) env_protect(args_env);
    heap_enter();
    QV_SEXP* s = get_sexp(nullptr, QVT_FUNC);
    s->func.type = FUNC_PRIM;
    s->func.order = static_cast<uint8_t>(order);
    s->func.min = static_cast<int8_t>(min);
    s->func.max = static_cast<int8_t>(max);
    s->func.args_env = args_env;
    s->func.sp_env = sp_env;
    s->func.prim = prim;
    heap_leave();
    return s;
}

QV_SEXP* get_func_prim(QV_PRIM prim, int order, QVISP_ENV* args_env, int min, int max) {
    return get_func_prim_sp(prim, order, args_env, nullptr, min, max);
}

QV_SEXP* get_error(QV_FILE* file, int line, uint32_t code, const L_CHAR* func, QV_SEXP* data) {
    const QV_READER_HOOKS* h = get_reader_hooks();
    heap_enter();
    L_CHAR* site = file && h && h->file_site ? h->file_site(file) : nullptr;
    if (!site) site = empty_ltext();
    L_CHAR* name = file && h && h->file_name ? h->file_name(file) : nullptr;
    name = name ? copy_ltext(name) : empty_ltext();
    L_CHAR* fn = func ? copy_ltext(func) : empty_ltext();
    QV_SEXP* s = get_sexp(nullptr, QVT_ERROR);
    s->error.site = site;
    s->error.filename = name;
    s->error.line = line;
    s->error.func = fn;
    s->error.code = code;
    s->error.data = data;
    heap_leave();
    return s;
}

QV_SEXP* get_error_line(QV_SEXP* err, int line) {
    if (sexp_raw_type(err) != QVT_ERROR) return err;
    heap_enter();
    QV_SEXP* s = get_sexp(nullptr, QVT_ERROR);
    s->error = err->error;
    s->error.h = QV_SEXP_HEADER{nullptr, 0, QVT_ERROR, 0};
    s->error.line = line;
    heap_leave();
    return s;
}

QV_SEXP* get_ptr(void* ptr, GC_FUNC gc) {
    heap_enter();
    QV_SEXP* s = get_sexp(nullptr, QVT_PTR);
    s->ptr.ptr = ptr;
    s->ptr.gc = gc;
    heap_leave();
    return s;
}

QV_SEXP* get_raw(const void* data, int32_t size) {
    if (size < 0) size = 0;
    heap_enter();
    auto* buf = static_cast<uint8_t*>(mmalloc(size, gc_text));
    if (data && size > 0) memcpy(buf, data, static_cast<size_t>(size));
    QV_SEXP* s = get_sexp(nullptr, QVT_RAW);
    s->raw.size = size;
    s->raw.data = buf;
    heap_leave();
    return s;
}

QV_SEXP* get_raw_set_data(void* data, int32_t size) {
    heap_enter();
    QV_SEXP* s = get_sexp(nullptr, QVT_RAW);
    s->raw.size = data && size > 0 ? size : 0;
    s->raw.data = static_cast<uint8_t*>(data);
    heap_leave();
    return s;
}

QV_SEXP* get_env(QVISP_ENV* env) {
    env_note_reached(env);  // a loop body's environment can now be reached from elsewhere
    heap_enter();
    QV_SEXP* s = get_sexp(nullptr, QVT_ENV);
    s->env.data = env;
    heap_leave();
    return s;
}

QV_SEXP* cons(QV_SEXP* a, QV_SEXP* b) {
    heap_enter();
    QV_SEXP* s = new_sexp_node<QV_PAIR>(QVT_PAIR);
    s->pair.car = a;
    s->pair.cdr = b;
    QV_SEXP* from = (!a || !a->h.file) && b ? b : a;
    if (from) {
        s->h.file = from->h.file;
        s->h.line = from->h.line;
    }
    heap_leave();
    return s;
}

QV_SEXP* cons_inh_2(QV_SEXP* a, QV_SEXP* b) {
    heap_enter();
    QV_SEXP* s = new_sexp_node<QV_PAIR>(QVT_PAIR);
    s->pair.car = a;
    s->pair.cdr = b;
    if (b) {
        s->h.file = b->h.file;
        s->h.line = b->h.line;
    }
    heap_leave();
    return s;
}

QV_SEXP* inherit(QV_SEXP* dst, QV_SEXP* src) {
    if (!dst) return dst;
    heap_enter();  // a node's position is written while no collector reads it
    dst->h.file = src ? src->h.file : nullptr;
    dst->h.line = src ? src->h.line : 0;
    heap_leave();
    return dst;
}

// ---------------------------------------------------------------- inspection

int get_type_delayed(QV_SEXP* s) {
    int t = sexp_raw_type(s);
    if (t != QVT_DELAY) return t;
    const QV_READER_HOOKS* h = get_reader_hooks();
    if (!h || !h->realize) return t;
    return sexp_raw_type(h->realize(s));
}

int get_type_sexp(QV_SEXP* s) {
    return get_type(s);
}

int curret_check(QV_SEXP* s) {
    switch (get_type(s)) {
        case QVT_NIL:
        case QVT_PAIR:
        case QVT_INTEGER:
        case QVT_FLOAT:
            return 0;
        default:
            return 1;
    }
}

int cmp_sexp(QV_SEXP* a, QV_SEXP* b) {
    // Pairs are compared car first, then cdr, with an explicit stack of pending comparisons.
    std::vector<std::pair<QV_SEXP*, QV_SEXP*>> todo;
    todo.emplace_back(a, b);
    bool top = true;
    while (!todo.empty()) {
        auto [x, y] = todo.back();
        todo.pop_back();
        int tx = get_type(x);
        int ty = get_type(y);
        if (tx != ty) return -1;
        if (tx == QVT_PAIR) {
            if (x == y) {
                top = false;
                continue;
            }
            todo.emplace_back(x->pair.cdr, y->pair.cdr);
            todo.emplace_back(x->pair.car, y->pair.car);
        } else {
            int r = cmp_atom(tx, x, y);
            if (r) return top ? r : -1;
        }
        top = false;
    }
    return 0;
}

void free_sexp(QV_SEXP* s) {
    if (!s) return;
    int t = sexp_raw_type(s);
    void* text = nullptr;
    switch (t) {
        case QVT_NIL:
        case QVT_ERROR:
        case QVT_PAIR:
        case QVT_FUNC:
        case QVT_PTR:
            break;
        case QVT_SYMBOL:
            text = s->symbol.data;
            break;
        case QVT_STRING:
            text = s->string.data;
            break;
        case QVT_INTEGER:
            text = s->integer.unit;
            break;
        case QVT_FLOAT:
            text = s->floating.unit;
            break;
        case QVT_RAW:
            text = s->raw.data;
            break;
        default:
            er_panic("free_sexp(1)");
    }
    if (text) mfree(text);
    mfree(s);
}

L_CHAR* copy_ltext(const L_CHAR* s) {
    if (!s) return nullptr;
    int64_t n = l_strlen(s) + 1;
    auto* r = static_cast<L_CHAR*>(mmalloc(n * static_cast<int64_t>(sizeof(L_CHAR)), gc_text));
    memcpy(r, s, static_cast<size_t>(n) * sizeof(L_CHAR));
    return r;
}

QV_SYM_FIELD* new_sym_fields(const QV_SYM_FIELD* fields, size_t n) {
    QV_SYM_FIELD* head = nullptr;
    heap_enter();
    for (size_t i = n; i-- > 0;) {
        auto* c = static_cast<QV_SYM_FIELD*>(mmalloc(sizeof(QV_SYM_FIELD), gc_vx_sym_field));
        c->name = fields[i].name;
        c->data = fields[i].data;
        c->next = head;
        head = c;
    }
    heap_leave();
    return head;
}
