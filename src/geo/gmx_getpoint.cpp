// gmxGetPoint (see gmx_getpoint.h).
#include "geo/gmx_getpoint.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "builtins/bltn_util.h"
#include "geo/gmx_attr.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "matrix/mx_sb.h"
#include "matrix/mxcache.h"
#include "matrix/mxfile.h"
#include "matrix/mxstore.h"
#include "pdb/recordlist64.h"
#include "server/auth.h"
#include "server/docpath.h"
#include "stream/sprintf.h"

namespace {

constexpr uint32_t GMX_PATH_REFUSED = 0x80040d10;
constexpr uint32_t GMX_GET_MODE = 0x80040608;
const char* const F = "gmxGetPoint";

// The trace lines of one call, written in large pieces rather than one write per channel.
struct Trace {
    std::string buf;
    void add(int x, const void* p) {
        char line[64];
        int n = snprintf(line, sizeof line, "G %i %p\n", x, p);
        buf.append(line, n > 0 ? static_cast<size_t>(n) : 0);
        if (buf.size() >= 16384) flush();
    }
    void flush() {
        if (!buf.empty()) ss_printf("%s", buf.c_str());
        buf.clear();
    }
    ~Trace() { flush(); }
};

// One call's reading state: a private cache over the entry's channel table, so that readers of
// one entry never share a current node or a pool, and the four element buffers from its pool.
struct PointReader {
    MX_ENTRY* e;
    MX_CACHE c{};
    void* bufs[4]{};
    Trace trace;
    QV_SYM_FIELD* attr;

    PointReader(MX_ENTRY* entry, QV_SYM_FIELD* a) : e(entry), attr(a) {
        c.m = e->c.m;
        c.access_ch = e->c.access_ch;
        c.ds_len = e->c.ds_len;
        c.gn_tree_node = e->c.gn_tree_node;
        c.gn_create = e->c.gn_create;
        c.gn_wait = e->c.gn_wait;
        mxc_setup(&c);
        int n = c.m->p.channel_nos > 0 ? c.m->p.channel_nos : 1;
        for (int k = 0; k < 4; k++)
            bufs[k] = mxc_alloc(&c, static_cast<int64_t>(n) << k);
    }
    ~PointReader() {
        for (void* b : bufs)
            mxc_free(&c, b);
        mxc_close(&c);
    }
};

QV_SEXP* param_error(QV_SEXP* pos, const char* what) {
    return gmx_error_d(pos, GMX_PARAM, F, n_get_string(what));
}

// An element as a value: signed types sign-extend, unsigned ones (and rgb8) zero-extend, 64-bit
// types keep their bit pattern.
QV_SEXP* element_value(int code, const uint8_t* p) {
    switch (code % 16) {
        case MXT_BIT:
        case MXT_INT8:
            return get_integer(static_cast<int8_t>(*p), nullptr);
        case MXT_UINT8:
            return get_integer(*p, nullptr);
        case MXT_INT16: {
            int16_t v;
            memcpy(&v, p, 2);
            return get_integer(v, nullptr);
        }
        case MXT_UINT16: {
            uint16_t v;
            memcpy(&v, p, 2);
            return get_integer(v, nullptr);
        }
        case MXT_INT32: {
            int32_t v;
            memcpy(&v, p, 4);
            return get_integer(v, nullptr);
        }
        case MXT_UINT32:
        case MXT_RGB: {
            uint32_t v;
            memcpy(&v, p, 4);
            return get_integer(v, nullptr);
        }
        case MXT_INT64:
        case MXT_UINT64: {
            int64_t v;
            memcpy(&v, p, 8);
            return get_integer(v, nullptr);
        }
        case MXT_FLOAT: {
            float v;
            memcpy(&v, p, 4);
            return get_floating(v, nullptr);
        }
        case MXT_DOUBLE: {
            double v;
            memcpy(&v, p, 8);
            return get_floating(v, nullptr);
        }
        default:
            return nullptr;
    }
}

QV_SEXP* read_1point_normal(PointReader* r, QV_SEXP* inp) {
    int len = list_length(inp);
    if (len < 0) {
        // A point that is not a proper list answers the error value it holds, else "param" as
        // block and node reads do; its atoms are never echoed back as if they were read.
        QV_SEXP* le = list_error(inp);
        return get_type(le) == QVT_ERROR ? le : param_error(inp, "param");
    }
    MATRIX* m = r->c.m;
    int dim = m->p.dim;
    if (len != dim + 1 && len != 2 * dim + 1) return param_error(inp, "param");
    int64_t dc[MXT_MAX_DIM + 1];
    int ofs[MXT_MAX_DIM];
    int i = 0;
    for (QV_SEXP* p = inp; get_type(p) == QVT_PAIR; p = p->pair.cdr, i++) {
        QV_SEXP* v = p->pair.car;
        if (get_type(v) != QVT_INTEGER) return param_error(inp, "param");
        if (i <= dim)
            dc[i] = v->integer.data;
        else
            ofs[i - dim - 1] = static_cast<int32_t>(static_cast<uint32_t>(v->integer.data));
    }
    MX_CACHE_PARAM p = r->e->p;
    p.c = &r->c;
    p.dc = dc;
    p.ofs = len == 2 * dim + 1 ? ofs : nullptr;
    for (int k = 0; k < 4; k++)
        p.data_ptrs[k] = r->bufs[k];
    if (read_mx_cache(&p) < 0) {
        // A file that names nodes it does not hold (cut short) says so, with the file code.
        if (mx_ld(m->flags) & MX_DAMAGED_FILE)
            return gmx_error_d(inp, MXE_SCRIPT_NODE, F,
                               List(n_get_string("object"), gmx_code(MXF_DAMAGED), LIST_END));
        return gmx_error_d(inp, MXE_SCRIPT_NODE, F, n_get_string("object"));
    }
    QV_SEXP* head = nullptr;
    QV_SEXP* tail = nullptr;
    for (int k = 0; k < r->c.ds_len; k++) {
        MX_CACHE_PARAM_IX ix = r->e->p.data_ix[k];
        if (ix.x == 65535) continue;
        const uint8_t* el =
            static_cast<uint8_t*>(r->bufs[ix.p]) + (static_cast<size_t>(ix.x) << ix.p);
        r->trace.add(ix.x, el);
        int ch = r->c.access_ch[k];
        gmx_push(&head, &tail,
                 List(get_integer(ch, nullptr),
                      element_value(m->channel_info[ch].data_type->type, el), LIST_END));
    }
    return head;
}

// The dimension code of a block or node point, refused before any fetch when it does not fit.
int64_t* node_code(MATRIX* m, QV_SEXP* inp) {
    if (list_length(inp) != m->p.dim + 1) return nullptr;
    for (QV_SEXP* p = inp; get_type(p) == QVT_PAIR; p = p->pair.cdr)
        if (get_type(p->pair.car) != QVT_INTEGER) return nullptr;
    return get_dim_code_from_sexp(m, inp);
}

QV_SEXP* node_error(QV_SEXP* pos, const char* reason, int err, QV_SEXP* origin) {
    QV_SEXP* data = List(n_get_string("invalid object in channel of NODE"), n_get_string(reason),
                         List(get_integer(err, nullptr), origin, LIST_END), LIST_END);
    return gmx_error_d(pos, MXE_SCRIPT_NODE, F, data);
}

// The node of a block or node read, held; or null with the error value in *errv.
MATRIX_NODE* fetch_node(MATRIX* m, QV_SEXP* inp, QV_SEXP** errv) {
    int64_t* dc = node_code(m, inp);
    if (!dc) {
        *errv = param_error(inp, "param");
        return nullptr;
    }
    MxCreateNode create(m, "disable");
    int err = 0;
    MATRIX_NODE* n = gmx_wait_node(m, dc, &err);
    if (!n) {
        if (err == MXE_NOT_OPEN)
            *errv = gmx_error_d(inp, MXE_SCRIPT_NODE, F, n_get_string("invalid matrix loading"));
        else
            *errv = node_error(inp, "others", err, get_sexp_from_dim_code(m, dc));
    }
    d_f_ree(dc);
    return n;
}

QV_SEXP* read_node_channel(MX_ENTRY* e, QV_SEXP* inp, int ch) {
    MATRIX* m = e->c.m;
    QV_SEXP* r = nullptr;
    MATRIX_NODE* n = fetch_node(m, inp, &r);
    if (!n) return r;
    QV_SEXP* origin = get_sexp_from_dim_code(m, n->dim_code);
    if (ch < 0 || ch >= m->p.channel_nos) {
        r = gmx_error_d(inp, GMX_PARAM, F, n_get_string("invalid parameter in gmxGetPoint"));
    } else if (!n->channel) {
        r = node_error(inp, "others(2)", 0, origin);
    } else {
        MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
        matrix_node_channel_lock(n);
        // A structure block edited since its bytes were made (points inserted, say) is read as
        // it now stands, not as it was last loaded or saved.
        int step = sb_bytes_in_step(n, ch);
        void* d = n->channel[ch].data;
        if (step < 0) {
            r = node_error(inp, "structure block", step, origin);
        } else if (!tp || !tp->convert_to_net) {
            r = node_error(inp, "channel not exist", 0, origin);
        } else if (!d) {
            r = node_error(inp, "channel data not exist", 0, origin);
        } else {
            RECORD_LIST64* rl = new_recordlist64(0, 0);
            tp->convert_to_net(tp, rl, d);
            int64_t len = setup_recordlist64(rl);
            r = List(n_get_symbol("data"), origin, get_raw(rl->data, static_cast<int32_t>(len)),
                     LIST_END);
            free_recordlist64(rl);
        }
        matrix_node_channel_unlock(n, 0);
    }
    unlock_node(n, nullptr);
    return r;
}

QV_SEXP* read_node_status(MX_ENTRY* e, QV_SEXP* inp) {
    MATRIX* m = e->c.m;
    QV_SEXP* r = nullptr;
    MATRIX_NODE* n = fetch_node(m, inp, &r);
    if (!n) return r;
    QV_SEXP* channels = nullptr;
    QV_SEXP* children = nullptr;
    {
        // The channel table and the child records change only under the store's lock.
        TaskLockGuard g(matrix_lock);
        for (int ch = 0; n->channel && ch < m->p.channel_nos; ch++) {
            MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
            if (!tp) continue;
            channels = cons(List(get_integer(ch, nullptr), get_integer(tp->type, nullptr),
                                 n_get_string(n->channel[ch].data ? "exist" : "empty"), LIST_END),
                            channels);
        }
        if (n->nlist_dim_bit_field) {
            int sum = 0;
            for (int d = 0; d < m->p.dim; d++)
                sum += m->dim_divide[d];
            int64_t bits = int64_t{1} << (sum < 30 ? sum : 30);
            int64_t bytes = (bits + 7) / 8;
            if (bytes > n->nlist_dim_bit_field_len) {
                bytes = n->nlist_dim_bit_field_len;
                bits = bytes * 8;
            }
            QV_SEXP* kids = nullptr;
            for (int64_t i = bits - 1; i >= 0; i--) {
                if (!(n->nlist_dim_bit_field[i / 8] & (1u << (i % 8)))) continue;
                int64_t* cdc = get_dim_code_from_index(m, n->dim_code, static_cast<int>(i));
                if (!cdc) continue;
                kids = cons(get_sexp_from_dim_code(m, cdc), kids);
                d_f_ree(cdc);
            }
            QV_SEXP* vals = nullptr;
            for (int64_t i = bytes - 1; i >= 0; i--)
                vals = cons(get_integer(n->nlist_dim_bit_field[i], nullptr), vals);
            children = List(n_get_string("bitFieldType"), kids, vals, LIST_END);
        } else if (n->nlist_dim_addr && n->nlist_dim_addr_len > 0) {
            QV_SEXP* kids = nullptr;
            for (int i = 0; i < n->nlist_dim_addr_len; i++)
                if (n->nlist_dim_addr[i])
                    kids = cons(get_sexp_from_dim_code(m, n->nlist_dim_addr[i]), kids);
            children = List(n_get_string("ListType"), kids, LIST_END);
        } else {
            children = List(n_get_string("NoChildren"), LIST_END);
        }
    }
    unlock_node(n, nullptr);
    return List(channels, children, LIST_END);
}

QV_SEXP* read_1point(PointReader* r, QV_SEXP* inp) {
    const L_CHAR* mode = attr_text(r->attr, "mode");
    if (!mode || text_is(mode, "normal")) return read_1point_normal(r, inp);
    if (text_is(mode, "block")) {
        int ch = 0;
        if (!gmx_attr_int(r->attr, "channel", &ch))
            return param_error(inp, "attribute channel is required");
        return read_node_channel(r->e, inp, ch);
    }
    if (text_is(mode, "node")) return read_node_status(r->e, inp);
    return param_error(inp, "attribute::mode");
}

QV_SEXP* read_point(MX_ENTRY* e, QV_SEXP* inp, QV_SYM_FIELD* attr) {
    PointReader r(e, attr);
    // A list of points that does not end in nil is refused whole: its tail would be dropped.
    if (get_type(inp) == QVT_PAIR && get_type(inp->pair.car) == QVT_PAIR && list_length(inp) >= 0) {
        QV_SEXP* head = nullptr;
        QV_SEXP* tail = nullptr;
        for (QV_SEXP* p = inp; get_type(p) == QVT_PAIR; p = p->pair.cdr) {
            QV_SEXP* v = read_1point(&r, p->pair.car);
            if (get_type(v) == QVT_ERROR) return v;
            gmx_push(&head, &tail, v);
        }
        return head;
    }
    if (get_type(inp) == QVT_PAIR &&
        (get_type(inp->pair.car) == QVT_INTEGER || get_type(inp->pair.car) == QVT_FLOAT))
        return read_1point(&r, inp);
    return gmx_error_d(inp, GMX_PARAM, F, List(n_get_string("read_point"), inp, LIST_END));
}

// The reply marked with the answering entry's id on a symbol first element.
QV_SEXP* mark_reply(QV_SEXP* reply, MX_ENTRY* e) {
    if (get_type(reply) != QVT_PAIR || get_type(reply->pair.car) != QVT_SYMBOL) return reply;
    char id[16];
    snprintf(id, sizeof id, "%i", e->id);
    QV_SEXP* sym = set_attribute(reply->pair.car, l_string(std_cm, "id"), l_string(std_cm, id));
    return cons(sym, reply->pair.cdr);
}

QV_SEXP* vx_gmxGetPoint(int s_flag, QV_SEXP* s, QV_SYM_FIELD* attr) {
    const L_CHAR* type = attr_text(attr, "path-type");
    if (s_flag == 0 && (!type || text_is(type, "absolute")))
        return gmx_error(s, GMX_PATH_REFUSED, F, "file path");
    QV_SEXP* file = get_el(s, 1);
    QV_SEXP* pts = get_el(s, 2);
    if (get_type(file) != QVT_STRING || get_type(pts) != QVT_PAIR)
        return gmx_error_d(s, GMX_MISMATCH, F, nullptr);
    const L_CHAR* name = file->string.data;
    MX_ENTRY* e = nullptr;
    bool made = false;
    if (!type || text_is(type, "absolute")) {
        e = open_mxread(nullptr, name, nullptr, 0, &made);
    } else if (text_is(type, "related")) {
        if (QV_SEXP* err = open_mxread_related(name, s, F, &e, &made)) return err;
    } else if (text_is(type, "network")) {
        e = open_mxread(name, nullptr, nullptr, 1, &made);
    } else if (text_is(type, "key")) {
        e = open_mxread(nullptr, nullptr, name, 0, &made);
    } else {
        return gmx_error_d(s, GMX_PARAM, F, n_get_string("attribute:path-type"));
    }
    if (!e) return gmx_error_d(s, GMX_OPEN, F, nullptr);
    QV_SEXP* r = read_point(e, pts, attr);
    if (get_type(r) != QVT_ERROR) r = mark_reply(r, e);
    // A matrix this read opened for itself is closed by its last reader, so that the file is free
    // again for every opener; one a script or a server has open stays open.
    close_mx_entry_if_alone(e, made);
    return r;
}

QV_SEXP* vx_gmxGetPoint_n(QVISP_ENV*, QV_SEXP* s, QVISP_ENV*, QV_SYM_FIELD* a, QVISP_ENV*) {
    return vx_gmxGetPoint(0, s, a);
}

QV_SEXP* vx_gmxGetPoint_s(QVISP_ENV*, QV_SEXP* s, QVISP_ENV*, QV_SYM_FIELD* a, QVISP_ENV*) {
    return vx_gmxGetPoint(1, s, a);
}

}  // namespace

QV_SEXP* open_mxread_related(const L_CHAR* path, QV_SEXP* form, const char* func, MX_ENTRY** ep,
                             bool* made) {
    *ep = nullptr;
    L_CHAR* pair[2] = {nullptr, nullptr};
    QV_GETFILE rule{};
    if (QV_SEXP* err = get_path(pair, &rule, path, form, "Get")) return err;
    // A published matrix answers to the ".qvaccess" files of its path as Get does.
    if (QV_SEXP* denied = auth_filepath_passive(get_string(path), "Get")) return denied;
    if (!text_is(rule.mode, "lod"))
        return eval_error(form, GMX_GET_MODE, "Get", n_get_string("unsupport Get mode"));
    for (L_CHAR* cand : pair) {
        if (!cand) continue;
        // A file reached through links answers to the access files where it lies, and one whose
        // links lead out of its tree counts as absent.
        L_CHAR* opened = nullptr;
        if (QV_SEXP* denied = auth_served_file(&opened, cand, path, "Get")) return denied;
        if (!opened) continue;
        if ((*ep = open_mxread(nullptr, cand, nullptr, 1, made)) != nullptr) return nullptr;
    }
    return gmx_error_d(form, GMX_OPEN, func, nullptr);
}

MATRIX_NODE* gmx_wait_node(MATRIX* m, const int64_t* dc, int* errp) {
    // The store wakes the waiter at every end of production; a node that nothing produces, or
    // whose fetch failed, is answered at once. The loaded-node budget is kept before the node
    // is loaded, as for every walk over a matrix.
    mx_keep_budget();
    return get_matrix_node_wait(errp, m, dc, MI_FETCH_1_TP);
}

void init_gmxGetPoint(QVISP_ENV* env0, QVISP_ENV* env1) {
    bind_prim(env0, "gmxGetPoint", vx_gmxGetPoint_n, FUNC_APPLICATIVE, 3, 3);
    bind_prim(env1, "gmxGetPoint", vx_gmxGetPoint_s, FUNC_APPLICATIVE, 3, 3);
}
