// The plot functions of calibration scripts (see plot_script.h).
#include "matrixops/plot_script.h"

#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "matrix/mx_sb.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_types.h"
#include "matrixops/mx_item.h"
#include "matrixops/plot_block.h"
#include "matrixops/plot_level.h"
#include "matrixops/plot_sb.h"
#include "stream/sprintf.h"
#include "stream/stream.h"

namespace {

int64_t obj_id(void* owner) {
    return get_matrix_obj_id(static_cast<MATRIX*>(owner));
}

// What a call reaches from its token.
struct Call {
    MATRIX_NODE* n = nullptr;
    MATRIX* m = nullptr;
    PLOT_MATRIX pm{};
};

bool call_frame(QVISP_ENV* env, Call* c) {
    c->n = mx_script_node(env);
    if (!c->n) return false;
    c->m = c->n->matrix;
    plot_matrix_of(c->m, &c->pm);
    return true;
}

QV_SEXP* str(const char* s) {
    return n_get_string(s);
}

std::string invalid(const char* name) {
    return std::string("invalid parameter in ") + name;
}

QV_SEXP* param_error(QV_SEXP* form, const char* name, const char* detail, bool with_form = false) {
    return eval_error(
        form, PLOT_ERR_CODE, name,
        List(str(invalid(name).c_str()), str(detail), with_form ? form : LIST_END, LIST_END));
}

QV_SEXP* type_error(QV_SEXP* form, const char* name, const char* detail, bool with_form = false) {
    return eval_error(
        form, PLOT_ERR_KIND, name,
        List(str("type missmatch"), str(detail), with_form ? form : LIST_END, LIST_END));
}

// "on" true, absent or "off" false; anything else -1.
int on_off(QV_SYM_FIELD* attr, const char* name) {
    const L_CHAR* v = get_sf_attribute(attr, l_string(std_cm, name));
    if (!v || l_strcmp(v, l_string(std_cm, "off")) == 0) return 0;
    if (l_strcmp(v, l_string(std_cm, "on")) == 0) return 1;
    return -1;
}

// A tracked buffer released at the end of its scope.
struct Buf {
    uint8_t* p = nullptr;
    Buf() = default;
    Buf(const Buf&) = delete;
    Buf& operator=(const Buf&) = delete;
    ~Buf() {
        if (p) d_f_ree(p);
    }
};

// A pool released at the end of its scope.
struct Pool {
    SIMPLE_ALLOC_T sat;
    Pool() { smp_init(&sat); }
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    ~Pool() { free_smp(&sat); }
};

// A tracked point list released at the end of its scope.
struct List_ {
    INTERNAL_PLOT* p = nullptr;
    List_() = default;
    List_(const List_&) = delete;
    List_& operator=(const List_&) = delete;
    ~List_() { free_internal_plot_list(p); }
};

enum ItemFault { ITEM_OK, NOT_LIST, NOT_SYMBOL, NOT_DATA, NO_DATA, BAD_DIM };

// One (data D V) item: its dim code (tracked) and the stored bytes of its block.
struct Item {
    int64_t* dc = nullptr;
    const uint8_t* bytes = nullptr;
    int64_t size = 0;
    Item() = default;
    Item(const Item&) = delete;
    Item& operator=(const Item&) = delete;
    ~Item() {
        if (dc) d_f_ree(dc);
    }
};

// The stored bytes of a block value: a raw value is the block's bytes, a pointer only one made
// from a block record; nothing else holds a block.
bool block_of(QV_SEXP* v, const uint8_t** bytes, int64_t* size) {
    switch (get_type(v)) {
        case QVT_RAW:
            if (v->raw.size < 0 || (v->raw.size > 0 && !v->raw.data)) return false;
            *bytes = reinterpret_cast<const uint8_t*>(v->raw.data);
            *size = v->raw.size;
            return true;
        case QVT_PTR: {
            if (!mtx_block_ptr(v) || !v->ptr.ptr) return false;
            auto* b = static_cast<MATRIX_BLOCK*>(v->ptr.ptr);
            if (b->h.type != MXT_BLOCK || b->size < 0 || (b->size > 0 && !b->block)) return false;
            *bytes = b->block;
            *size = b->size;
            return true;
        }
        default:
            return false;
    }
}

ItemFault read_item(MATRIX* m, QV_SEXP* s, Item* it, bool check_head) {
    if (get_type(s) != QVT_PAIR) return NOT_LIST;
    if (check_head) {
        QV_SEXP* head = s->pair.car;
        if (get_type(head) != QVT_SYMBOL) return NOT_SYMBOL;
        if (l_strcmp(head->symbol.data, l_string(std_cm, "data")) != 0) return NOT_DATA;
    }
    if (list_length(s) != 3) return NOT_DATA;
    if (!block_of(get_el(s, 2), &it->bytes, &it->size)) return NO_DATA;
    QV_SEXP* d = get_el(s, 1);
    for (QV_SEXP* p = d; get_type(p) == QVT_PAIR; p = p->pair.cdr)
        if (get_type(p->pair.car) != QVT_INTEGER) return BAD_DIM;
    // One entry for the level and one per dimension, the level inside the pyramid.
    it->dc = get_dim_code_from_sexp(m, d);
    if (!it->dc || it->dc[0] < 0 || it->dc[0] >= m->total_levels) return BAD_DIM;
    return ITEM_OK;
}

// The plot code of stored bytes: with compress inflated into buf and its first byte dropped.
bool plot_code(const Item& it, bool compress, Buf* buf, const uint8_t** code, int64_t* len) {
    if (!compress) {
        *code = it.bytes;
        *len = it.size;
        return true;
    }
    int64_t n = 0;
    buf->p = pp_inflate(it.bytes, it.size, &n);
    if (!buf->p) return false;
    *code = buf->p + 1;
    *len = n - 1;
    return true;
}

// The stored form of a list as a raw value; null when the compressor fails.
QV_SEXP* stored_value(const PLOT_MATRIX* pm, const INTERNAL_PLOT* ip, bool compress,
                      int64_t* code_size = nullptr) {
    Buf code, z;
    int64_t size = 0;
    code.p = internal2code(&size, pm, ip);
    if (code_size) *code_size = size;
    if (!compress) return get_raw(code.p, static_cast<int32_t>(size));
    int64_t zs = 0;
    z.p = pp_deflate(code.p, size, &zs);
    if (!z.p) return nullptr;
    return get_raw(z.p, static_cast<int32_t>(zs));
}

// (data D v); v stays rooted while the rest is made.
QV_SEXP* data_item(MATRIX* m, const int64_t* dc, QV_SEXP* v) {
    gc_push(v, gc_vx_sexp, "plot data item");
    QV_SEXP* r = List(n_get_symbol("data"), get_sexp_from_dim_code(m, dc), v, LIST_END);
    gc_pop(r, gc_vx_sexp);
    return r;
}

// Whether dc names a node one level below the processing node and inside it. An item that is
// no child is refused: its differences would be taken from points that are not its own and
// stored where no reader of the child looks.
bool child_of(const Call& c, const int64_t* dc) {
    const int64_t* pc = c.n->dim_code;
    if (dc[0] != pc[0] - 1) return false;
    for (int d = 0; d < c.m->p.dim; d++) {
        int s = static_cast<int>(pc[0]) * c.m->dim_divide[d] + c.m->block_size[d];
        if (s < 63 && (dc[d + 1] >> s) != (pc[d + 1] >> s)) return false;
    }
    return true;
}

const char* pt(MATRIX* m, const int64_t* dc) {
    return pt_dc(m, dc, 1);
}

}  // namespace

void plot_matrix_of(MATRIX* m, PLOT_MATRIX* pm) {
    *pm = PLOT_MATRIX{};
    pm->dim = m->p.dim < PLOT_DIM_MAX ? m->p.dim : PLOT_DIM_MAX;
    for (int d = 0; d < pm->dim; d++) {
        pm->block_size[d] = m->block_size[d];
        pm->dim_divide[d] = m->dim_divide[d];
        pm->pixel_size[d] = m->pixel_size[d];
    }
    pm->get_obj_id = obj_id;
    pm->owner = m;
}

QV_SEXP* qv_mxPgPlotDiff(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                         QVISP_ENV*) {
    static const char* const name = "mxPgPlotDiff";
    ss_printf("mxPgPlotDiff\n");
    Call c;
    if (!call_frame(env, &c)) return nullptr;
    ss_printf("mxPgPlotDiff-1\n");
    int compress = on_off(attr, "compress");
    if (compress < 0) return param_error(form, name, "compress");
    ss_printf("mxPgPlotDiff-2\n");
    int sort = on_off(attr, "sort");
    if (sort < 0) return param_error(form, name, "sort");
    ss_printf("mxPgPlotDiff-3\n");
    if (plot_matrix_check(&c.pm) < 0) return param_error(form, name, "block_size");
    QV_SEXP* target = get_el(form, 1);
    if (get_type(target) != QVT_PAIR) return type_error(form, name, "target-list not a LIST", true);
    QV_SEXP* head = target->pair.car;
    if (get_type(head) != QVT_SYMBOL)
        return type_error(form, name, "target-list SYMBOL not aSYMBOL", true);
    QV_SEXP* items;
    if (l_strcmp(head->symbol.data, l_string(std_cm, "data")) == 0)
        items = cons(target, nullptr);
    else if (l_strcmp(head->symbol.data, l_string(std_cm, "Children")) == 0)
        items = target->pair.cdr;
    else
        return type_error(form, name, "target-list data or Children is required", true);
    ss_printf("mxPgPlotDiff-4\n");
    print_sexp(s_stdout, items, 0);
    ss_printf("\n");

    gc_push(nullptr, nullptr, "mxPgPlotDiff");
    QV_SEXP* result = nullptr;  // the children's items, last first
    QV_SEXP* err = nullptr;
    List_ parent;
    for (QV_SEXP* p = items; get_type(p) == QVT_PAIR && !err; p = p->pair.cdr) {
        Item it;
        switch (read_item(c.m, p->pair.car, &it, true)) {
            case ITEM_OK:
                break;
            case NO_DATA:
                err = type_error(form, name, "CH data type(2)", true);
                continue;
            case BAD_DIM:
                err = type_error(form, name, "dim_code");
                continue;
            default:
                err = type_error(form, name, "target-list data or Children is required", true);
                continue;
        }
        if (!child_of(c, it.dc)) {
            err = type_error(form, name, "dim_code");
            continue;
        }
        ss_printf("mxPgPlotDiff-5-prev %i\n", static_cast<int>(it.size));
        Buf inflated;
        const uint8_t* code = nullptr;
        int64_t len = 0;
        if (!plot_code(it, compress, &inflated, &code, &len)) {
            err = param_error(form, name, "zlib uncompress");
            continue;
        }
        ss_printf("mxPgPlotDiff-5 %i\n", static_cast<int>(len));
        uint32_t e = 0;
        List_ down;
        down.p = code2internal(&c.pm, code, len, nullptr, &e);
        if (e) {
            err = param_error(form, name, "internal plot code");
            continue;
        }
        if (sort) down.p = sort_plot(&c.pm, down.p);
        ss_printf("mxPgPlotDiff-7 %s %p\n", pt(c.m, it.dc), static_cast<void*>(down.p));
        List_ diff, up;
        up.p = diff_pp(&c.pm, &diff.p, down.p, &e);
        if (e) {
            err = type_error(form, name, "field kind");
            continue;
        }
        ss_printf("mxPgPlotDiff-8\n");
        if (up.p) {
            if (shift_insert_plot(&c.pm, &parent.p, up.p, it.dc) < 0) {
                err = param_error(form, name, "item order");
                continue;
            }
            up.p = nullptr;
        }
        ss_printf("mxPgPlotDiff-9 %i\n", get_internal_plot_len(parent.p));
        QV_SEXP* v = stored_value(&c.pm, diff.p, compress);
        ss_printf("mxPgPlotDiff-10\n");
        if (!v) {
            err = param_error(form, name, "zlib compress");
            continue;
        }
        result = cons(data_item(c.m, it.dc, v), result);
        ss_printf("mxPgPlotDiff-11\n");
    }
    if (!err) {
        ss_printf("mxPgPlotDiff-6 %i\n", get_internal_plot_len(parent.p));
        int64_t code_size = 0;
        QV_SEXP* v = stored_value(&c.pm, parent.p, compress, &code_size);
        ss_printf("mxPgPlotDiff-6 c-size = %i %s\n", static_cast<int>(code_size),
                  pt(c.m, c.n->dim_code));
        if (!v) {
            err = param_error(form, name, "zlib compress");
        } else {
            ss_printf("mxPgPlotDiff-END %i\n", static_cast<int>(v->raw.size));
            QV_SEXP* in_order = nullptr;
            for (QV_SEXP* p = result; get_type(p) == QVT_PAIR; p = p->pair.cdr)
                in_order = cons(p->pair.car, in_order);
            result = cons(data_item(c.m, c.n->dim_code, v), in_order);
        }
    }
    if (err) result = err;
    gc_pop(result, gc_vx_sexp);
    return result;
}

// The item of a function that takes one (the form's first argument) as plot code, inflated into
// buf when compressed: null, or the error the function gives.
QV_SEXP* one_plot_code(QV_SEXP* form, const char* name, const Call& c, bool fine, int compress,
                       Item* it, Buf* buf, const uint8_t** code, int64_t* len) {
    switch (read_item(c.m, get_el(form, 1), it, fine)) {
        case ITEM_OK:
            break;
        case BAD_DIM:
            return type_error(form, name, "dim_code");
        default:
            return type_error(form, name, "CH data type(2)");
    }
    if (!plot_code(*it, compress, buf, code, len))
        return param_error(form, name, "zlib uncompress");
    return nullptr;
}

QV_SEXP* qv_mxPgPlotSort(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                         QVISP_ENV*) {
    static const char* const name = "mxPgPlotSort";
    Call c;
    if (!call_frame(env, &c)) return nullptr;
    int compress = on_off(attr, "compress");
    if (compress < 0) return param_error(form, name, "compress");
    Item it;
    Buf inflated;
    const uint8_t* code = nullptr;
    int64_t len = 0;
    if (QV_SEXP* bad = one_plot_code(form, name, c, false, compress, &it, &inflated, &code, &len))
        return bad;
    uint32_t e = 0;
    List_ l;
    l.p = code2internal(&c.pm, code, len, nullptr, &e);
    if (!l.p) return param_error(form, name, "internal plot code");
    l.p = sort_plot(&c.pm, l.p);
    QV_SEXP* v = stored_value(&c.pm, l.p, compress);
    if (!v) return param_error(form, name, "zlib compress");
    return data_item(c.m, it.dc, v);
}

QV_SEXP* qv_mxPgPlotAdd(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    static const char* const name = "mxPgPlotAdd";
    Call c;
    if (!call_frame(env, &c)) return nullptr;
    int compress = on_off(attr, "compress");
    if (compress < 0) return param_error(form, name, "compress", true);
    if (plot_matrix_check(&c.pm) < 0) return param_error(form, name, "block_size");
    Item items[2];
    static const char* const who[2] = {"parent", "child"};
    for (int k = 0; k < 2; k++) {
        std::string w = who[k];
        switch (read_item(c.m, get_el(form, 1 + k), &items[k], true)) {
            case ITEM_OK:
                break;
            case NOT_LIST:
                return type_error(form, name, (w + " not a LIST").c_str(), true);
            case NOT_SYMBOL:
                return type_error(form, name, (w + " SYMBOL not aSYMBOL").c_str(), true);
            case NOT_DATA:
                return type_error(form, name, (w + " data is required").c_str(), true);
            case NO_DATA:
                return type_error(form, name, (w + " CH data type(2)").c_str(), true);
            case BAD_DIM:
                return type_error(form, name, "dim_code");
        }
    }
    Pool pools[3];
    INTERNAL_PLOT* lists[2] = {};
    for (int k = 0; k < 2; k++) {
        std::string w = who[k];
        Buf inflated;
        const uint8_t* code = nullptr;
        int64_t len = 0;
        if (!plot_code(items[k], compress, &inflated, &code, &len))
            return param_error(form, name, ("zlib uncompress " + w).c_str(), true);
        uint32_t e = 0;
        lists[k] = code2internal(&c.pm, code, len, &pools[k].sat, &e);
        if (!lists[k]) return param_error(form, name, (w + " internal plot code").c_str(), true);
    }
    uint32_t e = 0;
    INTERNAL_PLOT* child = add_diff(&c.pm, lists[0], lists[1], items[1].dc, &pools[2].sat, &e);
    if (e == PLOT_ERR_KIND) return type_error(form, name, "field kind");
    if (e) return param_error(form, name, "child internal plot code", true);
    QV_SEXP* v = stored_value(&c.pm, child, compress);
    if (!v) return param_error(form, name, "zlib compress");
    return data_item(c.m, c.n->dim_code, v);
}

QV_SEXP* qv_mxObjID(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    static const char* const name = "mxObjID";
    Call c;
    if (!call_frame(env, &c)) return nullptr;
    int compress = on_off(attr, "compress");
    if (compress < 0) return param_error(form, name, "compress");
    Item it;
    Buf inflated;
    const uint8_t* code = nullptr;
    int64_t len = 0;
    if (QV_SEXP* bad = one_plot_code(form, name, c, true, compress, &it, &inflated, &code, &len))
        return bad;
    Pool pool;
    uint32_t e = 0;
    INTERNAL_PLOT* l = code2internal(&c.pm, code, len, &pool.sat, &e);
    if (!l) return param_error(form, name, "internal plot code");
    for (INTERNAL_PLOT* p = l; p; p = p->next) {
        if (p->flags & IP_ID) continue;
        p->flags |= IP_ID;
        p->id = get_matrix_obj_id(c.m);
        ss_printf("---IP %p %x\n", static_cast<void*>(p),
                  static_cast<unsigned>(static_cast<uint64_t>(p->id) >> 32));
    }
    QV_SEXP* v = stored_value(&c.pm, l, compress);
    if (!v) return param_error(form, name, "zlib compress");
    return data_item(c.m, it.dc, v);
}

QV_SEXP* qv_mxPgPlotInitialize(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                               QVISP_ENV*) {
    static const char* const name = "mxPgPlotInitialize";
    Call c;
    if (!call_frame(env, &c)) return nullptr;
    int compress = on_off(attr, "compress");
    if (compress < 0) return param_error(form, name, "compress");
    // Positions are 16 bits per dimension, and the lists rely on one block size and divide in
    // every dimension.
    if (plot_matrix_check(&c.pm) < 0) return param_error(form, name, "block_size");
    // No "channel" reads as -1: out of range like any other channel the matrix lacks.
    int64_t ch;
    if (!mx_attr_number(get_sf_attribute(attr, l_string(std_cm, "channel")), &ch)) ch = -1;
    MATRIX_NODE* n = c.n;
    {
        TaskLockGuard g(matrix_lock);
        if (!n->channel)
            n->channel =
                static_cast<MATRIX_CHANNEL*>(d_calloc(c.m->p.channel_nos, sizeof(MATRIX_CHANNEL)));
    }
    matrix_node_channel_lock(n);
    const char* fault = nullptr;
    int sat = on_off(attr, "sat");
    if (ch < 0 || ch >= c.m->p.channel_nos)
        fault = "channel range";
    else if (!c.m->channel_info[ch].data_type || c.m->channel_info[ch].data_type->type != MXT_BLOCK)
        fault = "channel data type is not BLOCK";
    else if (sat < 0)
        fault = "attribute sat";
    if (fault) {
        matrix_node_channel_unlock(n, 0);
        return param_error(form, name, fault);
    }
    MX_SB_NEW at{c.m, n, static_cast<int>(ch)};
    PP_SB_NEW empty{nullptr, 0, (compress ? PP_ZLIB : 0) | (sat ? PP_POOL : 0)};
    MX_STRUCT_BLOCK* b = blk_pp_sb_tbl.new_sb(&at, &empty);
    if (!b) er_panic("insert");
    MATRIX_CHANNEL* mc = &n->channel[ch];
    free_struct_block(mc->sb);
    mc->sb = b;
    // A channel without bytes gets the empty block's stored form: the matrix cache reaches a
    // node only through data in every channel it accesses, and the bytes decode to the block.
    if (!mc->data) {
        MATRIX_ALLOC_BLOCK_PARAM* bytes = b->tbl->struct2block(b);
        if (bytes) {
            bytes->h = MATRIX_DATA_HEADER{0, MXT_BLOCK, 0};
            mc->data = bytes;
        }
    }
    matrix_node_channel_unlock(n, 0);
    return nullptr;
}

void init_mxObjID(QVISP_ENV* env) {
    set_env(env, l_string(std_cm, "mxObjID"),
            get_func_prim(qv_mxObjID, FUNC_APPLICATIVE, nullptr, 1, 2));
}
