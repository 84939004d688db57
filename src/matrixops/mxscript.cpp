// The matrix-script frame and the node-lifecycle functions.
#include "matrixops/mxscript.h"

#include "base/alloc.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_types.h"
#include "matrixops/mx_compound.h"
#include "matrixops/mx_compress.h"
#include "matrixops/mx_pyramid_ops.h"
#include "matrixops/old_format.h"
#include "matrixops/plot_names.h"
#include "matrixops/plot_script.h"
#include "matrixops/sb_script.h"

namespace {

// What a call reaches from its token.
struct Frame {
    MATRIX_TOKEN* t = nullptr;
    MATRIX_NODE* n = nullptr;
    MATRIX* m = nullptr;
};

bool frame(QVISP_ENV* env, Frame* f) {
    f->t = get_env_token(env);
    if (!f->t || !f->t->process_node) return false;
    f->n = f->t->process_node;
    f->m = f->n->matrix;
    return true;
}

// Attribute names and values are compared with interned texts of the literals, each looked up
// once and kept (no conversion or table search per call).
#define lit_text(text)                                         \
    ([]() -> const L_CHAR* {                                   \
        static const L_CHAR* const k = l_string(std_cm, text); \
        return k;                                              \
    }())
#define attr_of(attr, name) get_sf_attribute((attr), lit_text(name))
#define attr_is(v, text) ((v) && l_strcmp((v), lit_text(text)) == 0)

QV_SEXP* str(const char* s) {
    return n_get_string(s);
}

QV_SEXP* lstr(const L_CHAR* s) {
    return get_string(s);
}

QV_SEXP* fail(QV_SEXP* form, uint32_t code, const char* name, QV_SEXP* data) {
    return eval_error(form, code, name, data);
}

QV_SEXP* loading_error(QV_SEXP* form, const char* name) {
    return fail(form, MXE_SCRIPT_NODE, name, str("invalid matrix loading"));
}

QV_SEXP* invalid_object(QV_SEXP* form, const char* name, const char* reason, QV_SEXP* info) {
    return fail(form, MXE_SCRIPT_NODE, name,
                List(str("invalid object in channel of NODE"), str(reason), info, LIST_END));
}

QV_SEXP* method_error(QV_SEXP* form, const char* name, const char* msg, MATRIX* m) {
    return fail(form, MXE_SCRIPT_METHOD, name,
                List(str(msg), get_integer(m->p.read_file != nullptr, nullptr),
                     get_integer(m->p.read_net != nullptr, nullptr),
                     get_integer(m->p.write_file != nullptr, nullptr), LIST_END));
}

}  // namespace

bool mx_data_item(QV_SEXP* s, QV_SEXP** d, QV_SEXP** v) {
    if (get_type(s) != QVT_PAIR || list_length(s) != 3) return false;
    QV_SEXP* head = s->pair.car;
    if (get_type(head) != QVT_SYMBOL || !attr_is(head->symbol.data, "data")) return false;
    *d = get_el(s, 1);
    *v = get_el(s, 2);
    return get_type(*d) == QVT_PAIR;
}

namespace {

// An element value a script may hand over: pointers only with the mark of element data, raw
// bytes only as a numeric or rgb8 vector whose header fits them; other values (numbers, texts)
// go to the channel type's own conversion.
bool element_value_ok(QV_SEXP* v) {
    switch (get_type(v)) {
        case QVT_PTR:
            return mtx_vector_ptr(v) || mtx_block_ptr(v);
        case QVT_RAW: {
            if (v->raw.size < 4 || !v->raw.data) return false;
            int type = v->raw.data[1];
            return type > MXT_VECTOR && type <= MXT_VECTOR + MXT_RGB;
        }
        case QVT_ERROR:
            return false;
        default:
            return true;
    }
}

// The node of a dimension-code list, fetched for the token: node and err set; the node is held
// by the token when err is 0.
MATRIX_NODE* fetch(const Frame& f, QV_SEXP* dcl, int access, int* err) {
    int64_t* dc = get_dim_code_from_sexp(f.m, dcl);
    if (!dc) {
        *err = MXE_NOT_FOUND;
        return nullptr;
    }
    MATRIX_NODE* n = get_matrix_node(err, f.m, dc, access, f.t, nullptr);
    d_f_ree(dc);
    return n;
}

QV_SEXP* parent_code(const Frame& f) {
    int64_t* dc = copy_dim_code(f.m, f.n->dim_code);
    QV_SEXP* r = nullptr;
    if (dc[0] + 1 < f.m->total_levels) {
        dc[0]++;
        normalize_dim_code(f.m, dc);
        r = get_sexp_from_dim_code(f.m, dc);
    }
    d_f_ree(dc);
    return r;
}

// The "matrix" target of mxTrigger and mxCH: the named matrix is opened when needed; a matrix
// not yet ready parks the token on it; an open, ready matrix answers the null value.
QV_SEXP* matrix_target(const Frame& f, QV_SEXP* form, QV_SYM_FIELD* attr, const char* name) {
    const L_CHAR* neturl = attr_of(attr, "neturl");
    const L_CHAR* filename = attr_of(attr, "filename");
    const L_CHAR* key = attr_of(attr, "key");
    int err = 0;
    MATRIX* m = search_matrix(&err, neturl, filename, key, f.t);
    if (err == MXE_NOT_FOUND) {
        open_matrix(neturl, filename, key, f.m->p.open_method, nullptr);
        m = search_matrix(&err, neturl, filename, key, f.t);
    }
    if (err == MXE_BUSY) return matrix_error(name, form, 1, nullptr);
    (void)m;
    return nullptr;
}

// The codes of a node's listed children, copied under the lock.
QV_SEXP* listed_children(const Frame& f) {
    QV_SEXP* r = nullptr;
    TaskLockGuard g(matrix_lock);
    for (int i = f.n->nlist_dim_addr_len - 1; i >= 0; i--)
        r = cons(get_sexp_from_dim_code(f.m, f.n->nlist_dim_addr[i]), r);
    return r;
}

// Whether triggering access on n would queue the access the token is running on its own node:
// each run would queue the next one, for ever. The access is running now: nothing is queued.
bool own_running_access(const Frame& f, MATRIX_NODE* n, int access) {
    if (n != f.n) return false;
    TaskLockGuard g(matrix_lock);
    return mx_slot_for_level(f.m, access, n->dim_code[0]) == f.t->access_target_id;
}

// The node named by the dim-code list dcl, triggered.
QV_SEXP* trigger_fetched(const Frame& f, QV_SEXP* form, QV_SEXP* dcl, int access, bool* stop) {
    int err = 0;
    MATRIX_NODE* n = fetch(f, dcl, 0, &err);
    // No usable node and nothing to wait for (a code that names no node, or a node that failed
    // for this token): the trigger fails as for a matrix that cannot load.
    if (err == MXE_NOT_OPEN || (err == MXE_NOT_FOUND && !n)) {
        *stop = true;
        return loading_error(form, "mxTrigger");
    }
    if (err) {
        *stop = true;
        return matrix_error("mxTrigger", form, 1, dcl);
    }
    if (n) {
        if (!own_running_access(f, n, access)) matrix_trigger_access(n, access, 1);
        unlock_node(n, f.t);
    }
    return nullptr;
}

// The channel value of a node the call holds only for the moment (a parent, a child, another
// node): a copy, for once released the node may be let go and freed while the value lives on.
QV_SEXP* channel_copy(MATRIX_NODE* n, int ch, QV_SEXP* form) {
    QV_SEXP* v = get_channel_data(n, ch, form);
    if (get_type(v) != QVT_PTR) return v;
    MATRIX_DATA_TYPE* tp = n->matrix->channel_info[ch].data_type;
    if (tp->type == MXT_SEXP) return v;
    QV_SEXP* c;
    {
        TaskLockGuard g(matrix_lock);
        _matrix_node_channel_lock(n);
        c = n->channel ? mtx_value_copy(tp, n->channel[ch].data) : nullptr;
        _matrix_node_channel_unlock(n, 0);
    }
    return c ? c : fail(form, MXE_SCRIPT_NODE, "mxCH", str("channel copy"));
}

// keeps_no_env: the function uses its calling environment only to find the running token, so a
// token's environment it is called in may serve the next token (lisp/env.h).
void bind(QVISP_ENV* env, const char* name, QV_PRIM prim, int order, int min, int max,
          bool keeps_no_env = false) {
    QV_SEXP* f = get_func_prim(prim, order, nullptr, min, max == 255 ? FUNC_NO_MAX : max);
    {
        HeapSection hs;
        f->func.keeps_no_env = keeps_no_env;
    }
    set_env(env, l_string(std_cm, name), f);
}

}  // namespace

QV_SEXP* qv_not_available(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    // The function's name (an ASCII literal of the registration) names the error.
    char name[40] = "matrix-script function";
    QV_SEXP* head = get_el(form, 0);
    if (get_type(head) == QVT_SYMBOL && head->symbol.data) {
        size_t i = 0;
        for (; i + 1 < sizeof name && head->symbol.data[i]; i++)
            name[i] = static_cast<char>(head->symbol.data[i] & 0x7f);
        name[i] = 0;
    }
    return eval_error(form, QVE_UNSUPPORTED, name, str("not available"));
}

int get_access(const L_CHAR* name) {
    if (!name) return -1;
    static const L_CHAR* const names[] = {
        l_string(std_cm, "MI_DEF"),     l_string(std_cm, "MI_FETCH_1"),
        l_string(std_cm, "MI_FETCH_2"), l_string(std_cm, "MI_EDIT_1"),
        l_string(std_cm, "MI_EDIT_2"),  l_string(std_cm, "MI_VISU_1"),
        l_string(std_cm, "MI_VISU_2")};
    for (int i = 0; i < 7; i++)
        if (l_strcmp(name, names[i]) == 0) return i * 3;
    return -2;
}

int get_jump_status(const L_CHAR* name) {
    if (!name) return -1;
    static const L_CHAR* const names[] = {
        l_string(std_cm, "MS_OK"), l_string(std_cm, "MS_LOADING_ERR_1"),
        l_string(std_cm, "MS_PROCESS_ERR_1"), l_string(std_cm, "MS_EDIT_ERR_1"),
        l_string(std_cm, "MS_EDIT_ERR_2")};
    for (int i = 0; i < 5; i++)
        if (l_strcmp(name, names[i]) == 0) return i + 2;
    return -2;
}

QV_SEXP* qv_mxLoad(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    Frame f;
    if (!frame(env, &f)) return nullptr;
    const L_CHAR* target = attr_of(attr, "target");
    bool create = false, net = false;
    if (!target || attr_is(target, "file")) {
    } else if (attr_is(target, "file-n-create")) {
        create = true;
    } else if (attr_is(target, "net")) {
        net = true;
    } else {
        return fail(form, QVE_INVALID_PARAMETER, "mxLoad", str("invalid parameter in mxLoad"));
    }
    int (*method)(MATRIX_TOKEN*) = net ? f.m->p.read_net : f.m->p.read_file;
    if (!method) return method_error(form, "mxLoad", "not support read_file operation", f.m);
    int r = method(f.t);
    if (r < 0 && create) {
        if (!f.m->p.write_file)
            return method_error(form, "mxLoad", "not support read_file operation", f.m);
        lock_save(f.n);
        r = f.m->p.write_file(f.t);
    }
    if (r < 0)
        return fail(form, MXE_SCRIPT_NODE, "mxLoad",
                    List(str("invalid matrix loading"), get_integer(r, nullptr), LIST_END));
    if (r > 0) return matrix_error("mxLoad", form, 2, nullptr);
    return nullptr;
}

QV_SEXP* qv_mxSave(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    Frame f;
    if (!frame(env, &f)) return nullptr;
    // A node its own slot has loaded counts as ready here, though readers see it so only when
    // the slot ends.
    auto status = [&] {
        TaskLockGuard g(matrix_lock);
        return f.n->status == MS_BUSY && f.t->loaded ? MS_OK : f.n->status;
    };
    if (status() != MS_OK)
        return fail(form, MXE_SCRIPT_NODE, "mxSave",
                    List(str("invalid matrix saving"), get_integer(0, nullptr), LIST_END));
    const L_CHAR* option = attr_of(attr, "option");
    if (attr_is(option, "clear")) {
        lock_save(f.n);
        unlock_save(f.n);
        return nullptr;
    }
    if (option && !attr_is(option, "save"))
        return fail(form, QVE_INVALID_PARAMETER, "mxSave",
                    List(str("invalid option"), lstr(option), LIST_END));
    if (!f.m->p.write_file)
        return method_error(form, "mxSave", "not support write_file operation", f.m);
    lock_save(f.n);
    // A node whose status changed meanwhile is not written, and its save lock is given back:
    // held, it would keep the node from every later save and from being let go.
    int r = MXE_REFUSED;
    if (status() == MS_OK)
        r = f.m->p.write_file(f.t);
    else
        release_save(f.n);
    if (r > 0) return matrix_error("mxSave", form, 2, nullptr);
    if (r == 0) return nullptr;
    return fail(form, MXE_SCRIPT_NODE, "mxSave",
                List(str("invalid matrix saving"), get_integer(r, nullptr), LIST_END));
}

QV_SEXP* qv_mxFinish(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    Frame f;
    if (!frame(env, &f)) return nullptr;
    static const char* const names[] = {"err-jump", "normal-jump", "err-jump-status",
                                        "normal-jump-status"};
    const L_CHAR* values[4] = {attr_of(attr, "err-jump"), attr_of(attr, "normal-jump"),
                               attr_of(attr, "err-jump-status"),
                               attr_of(attr, "normal-jump-status")};
    int v[4];
    for (int i = 0; i < 4; i++) {
        const L_CHAR* a = values[i];
        v[i] = i < 2 ? get_access(a) : get_jump_status(a);
        if (v[i] == -2)
            return fail(
                form, QVE_INVALID_PARAMETER, "mxFinish",
                List(str("invalid parameter in mxFinish"), str(names[i]), lstr(a), LIST_END));
    }
    set_access_jump(f.t, v[0], v[1], v[2], v[3]);
    return nullptr;
}

QV_SEXP* qv_mxTrigger(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    Frame f;
    if (!frame(env, &f)) return nullptr;
    int access = get_access(attr_of(attr, "access"));
    if (access == -2)
        return fail(form, QVE_INVALID_PARAMETER, "mxTrigger",
                    str("invalid parameter in mxTrigger"));
    if (access == -1) {
        TaskLockGuard g(matrix_lock);
        access = f.t->access_target_id;
    }
    if (access < 0) access = MI_FETCH_1_TP;
    const L_CHAR* type = attr_of(attr, "type");
    bool stop = false;
    if (!type || attr_is(type, "me")) {
        if (!own_running_access(f, f.n, access)) matrix_trigger_access(f.n, access, 1);
        return nullptr;
    }
    if (attr_is(type, "parent")) {
        QV_SEXP* pc = parent_code(f);
        if (!pc) return nullptr;
        return trigger_fetched(f, form, pc, access, &stop);
    }
    if (attr_is(type, "children")) {
        for (QV_SEXP* c = listed_children(f); get_type(c) == QVT_PAIR; c = c->pair.cdr) {
            QV_SEXP* r = trigger_fetched(f, form, c->pair.car, access, &stop);
            if (stop) return r;
        }
        return nullptr;
    }
    if (attr_is(type, "matrix")) return matrix_target(f, form, attr, "mxTrigger");
    QV_SEXP* dcl = get_el(form, 1);
    if (get_type(dcl) != QVT_PAIR) return fail(form, QVE_TYPE_MISMATCH, "mxTrigger", nullptr);
    return trigger_fetched(f, form, dcl, access, &stop);
}

QV_SEXP* qv_mxSet(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    Frame f;
    if (!frame(env, &f)) return nullptr;
    QV_SEXP* chs = get_el(form, 1);
    if (get_type(chs) != QVT_INTEGER) return fail(form, QVE_TYPE_MISMATCH, "mxSet", nullptr);
    int ch = static_cast<int>(chs->integer.data);
    QV_SEXP *d = nullptr, *v = nullptr;
    // Raw bytes set into a block channel are the block's bytes (a Z or JPEG block, say).
    bool block = ch >= 0 && ch < f.m->p.channel_nos && f.m->channel_info[ch].data_type &&
                 f.m->channel_info[ch].data_type->type == MXT_BLOCK;
    if (!mx_data_item(get_el(form, 2), &d, &v) ||
        !(element_value_ok(v) || (block && get_type(v) == QVT_RAW)))
        return fail(form, QVE_TYPE_MISMATCH, "mxSet",
                    List(str("type missmatch"), str("data item"), LIST_END));
    // A number set into a channel of numbers goes in as it is or not at all, by the rule of the
    // channels' defaults.
    MATRIX_DATA_TYPE* ctp =
        ch >= 0 && ch < f.m->p.channel_nos ? f.m->channel_info[ch].data_type : nullptr;
    if (ctp && !ctp->parent && ctp->type <= MXT_RGB &&
        (get_type(v) == QVT_INTEGER || get_type(v) == QVT_FLOAT) &&
        !mxt_value_in_range(ctp->type, v))
        return fail(form, QVE_TYPE_MISMATCH, "mxSet",
                    List(str("type missmatch"), str("value range"), LIST_END));
    const L_CHAR* listed = attr_of(attr, "listed-dim-code");
    MATRIX_NODE* target = f.n;
    MATRIX_NODE* held = nullptr;
    if (attr_is(listed, "on")) {
        int err = 0;
        MATRIX_NODE* n = fetch(f, d, MI_FETCH_1_TP, &err);
        QV_SEXP* info = List(get_integer(err, nullptr), d, LIST_END);
        if (err == MXE_REFUSED || !n)
            return invalid_object(form, "mxSet", "children loading(2)", info);
        if (err == MXE_NOT_OPEN) return loading_error(form, "mxSet");
        if (err) return matrix_error("mxSet", form, 1, info);
        held = target = n;
        bool empty;
        {
            TaskLockGuard g(matrix_lock);
            empty = !n->channel;
        }
        if (empty) {
            unlock_node(n, f.t);
            return invalid_object(form, "mxSet", "children loading(3)", info);
        }
    } else if (listed && !attr_is(listed, "off")) {
        return fail(form, QVE_INVALID_PARAMETER, "mxSet",
                    List(str("invalid parameter in mxSet CH = "), get_integer(ch, nullptr),
                         str("inner information = "), get_integer(0, nullptr),
                         str("listed-dim-code"), LIST_END));
    }
    int r = set_channel_sexp(target, ch, v);
    if (held) unlock_node(held, f.t);
    if (r >= 0) return get_integer(r, nullptr);
    return fail(form, QVE_INVALID_PARAMETER, "mxSet",
                List(str("invalid parameter in mxSet CH = "), get_integer(ch, nullptr),
                     str("inner information = "), get_integer(r, nullptr), form, LIST_END));
}

QV_SEXP* qv_mxCH(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    Frame f;
    if (!frame(env, &f)) return nullptr;
    gc_push(nullptr, nullptr, "mxCH");
    QV_SEXP* result = nullptr;
    const L_CHAR* type = attr_of(attr, "type");
    MATRIX_NODE* node = f.n;
    MATRIX_NODE* held = nullptr;
    QV_SEXP* info = nullptr;
    QV_SEXP* chs = get_el(form, 1);
    bool done = false;
    auto finish = [&](QV_SEXP* r) {
        result = r;
        done = true;
    };
    if (!type || attr_is(type, "me")) {
    } else if (attr_is(type, "parent")) {
        QV_SEXP* pc = parent_code(f);
        if (!pc) {
            finish(nullptr);
        } else {
            int err = 0;
            MATRIX_NODE* n = fetch(f, pc, MI_FETCH_1_TP, &err);
            info = List(str("parent"), get_integer(err, nullptr), pc, LIST_END);
            if (!n)
                finish(invalid_object(form, "mxCH", "parent", info));
            else if (err == MXE_NOT_OPEN)
                finish(loading_error(form, "mxCH"));
            else if (err)
                finish(matrix_error("mxCH", form, 1, info));
            else
                node = held = n;
        }
    } else if (attr_is(type, "children")) {
        if (get_type(chs) != QVT_INTEGER) {
            finish(fail(form, QVE_TYPE_MISMATCH, "mxCH", nullptr));
        } else {
            int ch = static_cast<int>(chs->integer.data);
            int err = 0;
            MX_DIM_CODE_LIST* l =
                get_children_list(&err, f.m, f.n->dim_code, MI_FETCH_1_TP, 0, f.t);
            if (err == MXE_REFUSED) {
                finish(invalid_object(form, "mxCH", "children-loading", nullptr));
            } else if (err == MXE_NOT_OPEN) {
                finish(loading_error(form, "mxCH"));
            } else if (err) {
                finish(matrix_error("mxCH", form, 1, nullptr));
            } else {
                QV_SEXP* items = nullptr;
                for (MX_DIM_CODE_LIST* e = l; e && !done; e = e->next) {
                    QV_SEXP* dcl = get_sexp_from_dim_code(f.m, e->dc);
                    int cerr = 0;
                    MATRIX_NODE* n =
                        get_matrix_node(&cerr, f.m, e->dc, MI_FETCH_1_TP, f.t, nullptr);
                    QV_SEXP* cinfo = List(get_integer(cerr, nullptr), dcl, LIST_END);
                    if (cerr == MXE_REFUSED || !n) {
                        finish(invalid_object(form, "mxCH", "children loading(2)", cinfo));
                    } else if (cerr == MXE_NOT_OPEN) {
                        finish(loading_error(form, "mxCH"));
                    } else if (cerr) {
                        finish(matrix_error("mxCH", form, 1, cinfo));
                    } else {
                        bool empty;
                        {
                            TaskLockGuard g(matrix_lock);
                            empty = !n->channel;
                        }
                        QV_SEXP* v = empty ? nullptr : channel_copy(n, ch, form);
                        unlock_node(n, f.t);
                        if (empty)
                            finish(invalid_object(form, "mxCH", "children loading(3)", cinfo));
                        else if (get_type(v) == QVT_ERROR)
                            finish(v);
                        else
                            items = cons(List(n_get_symbol("data"), dcl, v, LIST_END), items);
                    }
                }
                free_mx_dim_code_list(l);
                if (!done) finish(cons(n_get_symbol("Children"), items));
            }
        }
    } else if (attr_is(type, "test.children")) {
        finish(get_integer(check_children(f.n), nullptr));
    } else if (attr_is(type, "matrix")) {
        finish(matrix_target(f, form, attr, "mxCH"));
    } else {
        QV_SEXP* dcl = get_el(form, 1);
        if (get_type(dcl) != QVT_PAIR) {
            finish(fail(form, QVE_TYPE_MISMATCH, "mxCH", nullptr));
        } else {
            int err = 0;
            MATRIX_NODE* n = fetch(f, dcl, MI_FETCH_1_TP, &err);
            info = List(get_integer(err, nullptr), dcl, LIST_END);
            if (!n)
                finish(invalid_object(form, "mxCH", "others", info));
            else if (err == MXE_NOT_OPEN)
                finish(loading_error(form, "mxCH"));
            else if (err)
                finish(matrix_error("mxCH", form, 1, info));
            else
                node = held = n;
            chs = get_el(form, 2);
        }
    }
    if (!done) {
        if (get_type(chs) != QVT_INTEGER) {
            result = fail(form, QVE_TYPE_MISMATCH, "mxCH", nullptr);
        } else {
            int64_t ch = chs->integer.data;
            bool empty;
            {
                TaskLockGuard g(matrix_lock);
                empty = !node->channel;
            }
            if (ch < 0 || ch >= f.m->p.channel_nos) {
                result =
                    fail(form, QVE_INVALID_PARAMETER, "mxCH", str("invalid parameter in mxCH"));
            } else if (empty) {
                result = invalid_object(form, "mxCH", "others(2)", info);
            } else {
                QV_SEXP* v = held ? channel_copy(node, static_cast<int>(ch), form)
                                  : get_channel_data(node, static_cast<int>(ch), form);
                result = get_type(v) == QVT_ERROR
                             ? v
                             : List(n_get_symbol("data"),
                                    get_sexp_from_dim_code(f.m, node->dim_code), v, LIST_END);
            }
        }
    }
    if (held) unlock_node(held, f.t);
    gc_pop(result, gc_vx_sexp);
    return result;
}

void init_mxCH(QVISP_ENV* env) {
    bind(env, "mxCH", qv_mxCH, FUNC_APPLICATIVE, 1, 3, true);
}
void init_mxSet(QVISP_ENV* env) {
    bind(env, "mxSet", qv_mxSet, FUNC_APPLICATIVE, 3, 3, true);
}
void init_mxTrigger(QVISP_ENV* env) {
    bind(env, "mxTrigger", qv_mxTrigger, FUNC_APPLICATIVE, 1, 3, true);
}
void init_mxLoad(QVISP_ENV* env) {
    bind(env, "mxLoad", qv_mxLoad, FUNC_APPLICATIVE, 1, 1, true);
}
void init_mxSave(QVISP_ENV* env) {
    bind(env, "mxSave", qv_mxSave, FUNC_APPLICATIVE, 1, 1, true);
}
void init_mxFinish(QVISP_ENV* env) {
    bind(env, "mxFinish", qv_mxFinish, FUNC_APPLICATIVE, 1, 3, true);
}

void register_matrix_script_functions(QVISP_ENV* env) {
    init_mxCH(env);
    init_mxSet(env);
    init_mxTrigger(env);
    init_mxAdd(env);
    init_mxDiff(env);
    init_mxThinnedOut(env);
    init_mxCompressJPEG(env);
    init_mxUncompressJPEG(env);
    init_mxLoad(env);
    init_mxSave(env);
    init_mxFinish(env);
    init_mxUncompressOldFormat(env);
    init_mxCompressZ(env);
    init_mxUncomressZ(env);
    init_mxCompound(env);
    init_mxSeparate(env);
    init_mxSquash(env);
    init_mxStuffing(env);
    init_mxMax(env);
    init_mxLoadSB(env);
    init_mxSaveSB(env);
    init_mxSetSB(env);
    init_sbArray(env);
    init_sbPrimitive(env);
    init_sbHeuristicLayering(env);
    init_mxPgPlot(env);
    init_mxObjID(env);
}
