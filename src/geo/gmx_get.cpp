// Get of the matrix application (see gmx_get.h).
#include "geo/gmx_get.h"

#include "base/alloc.h"
#include "builtins/bltn_util.h"
#include "geo/gmx_attr.h"
#include "geo/gmx_function.h"
#include "geo/gmx_getpoint.h"
#include "geo/gmx_status.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "matrix/mx_sb.h"
#include "matrix/mxstore.h"
#include "matrix/mxtransfer.h"
#include "server/auth.h"
#include "server/docpath.h"

namespace {

const char* const F = "Get(vxmx)";

QV_SEXP* no_node(QV_SEXP* s, QV_SEXP* code_list) {
    return gmx_error_d(s, MXE_SCRIPT_NODE, F,
                       List(n_get_string("get_matrix there is no node"), code_list, LIST_END));
}

// Whether dc names a node of m: a level of its pyramid and, along every dimension, a node whose
// first cell (in level-0 cells, as codes count) is a cell of the matrix.
bool inside_matrix(MATRIX* m, const int64_t* dc) {
    if (dc[0] < 0 || dc[0] >= m->total_levels || !m->pixel_size) return false;
    for (int d = 0; d < m->p.dim; d++) {
        int64_t first = dc[d + 1] & ~mx_axis_shift_mask(mx_node_shift(m, dc[0], d));
        if (dc[d + 1] < 0 || first >= m->pixel_size[d]) return false;
    }
    return true;
}

// The node at dc: encoded when ready, its deferred value while it is being produced.
QV_SEXP* answer_node(QV_SEXP* s, MATRIX* m, const int64_t* dc, QV_SEXP* code_list) {
    int err = 0;
    QV_SEXP* later = nullptr;
    // A peer walking a matrix node by node loads each: the loaded-node budget is kept first, so
    // serving follows the budget, not the matrix.
    mx_keep_budget();
    MATRIX_NODE* n = get_matrix_node(&err, m, dc, MI_FETCH_1_TP, nullptr, &later);
    if (err == 0 && n) {
        // The channels are sent as they stand: block channels in step with their structure.
        matrix_node_channel_lock(n);
        int step = 0;
        for (int ch = 0; ch < m->p.channel_nos && step >= 0; ch++)
            step = sb_bytes_in_step(n, ch);
        QV_SEXP* r = step < 0 ? no_node(s, code_list) : encode_matrix_node(n);
        matrix_node_channel_unlock(n, 0);
        unlock_node(n, nullptr);
        return r;
    }
    // Only code 0 holds the node: on every other code nothing is released here.
    if (err == MXE_BUSY && later) return later;
    if (err == MXE_NOT_OPEN)
        return gmx_error_d(s, GMX_OPEN, F,
                           List(n_get_string("get_matrix error"), gmx_code(err), LIST_END));
    return no_node(s, code_list);
}

QV_SEXP* vx_gmxGet(QVISP_ENV*, QV_SEXP* s, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* path = get_el(s, 1);
    if (get_type(path) != QVT_STRING) return gmx_error(s, GMX_MISMATCH, F, "filename");
    // A path no rule could ever resolve is answered as one before the access files are asked,
    // which refuse it too but as a denial.
    if (QV_SEXP* bad = check_path_shape(path->string.data, s, "Get")) return bad;
    if (QV_SEXP* denied = auth_filepath_passive(path, "Get")) return denied;
    const L_CHAR* mode = attr_text(attr, "mode");
    if (!mode || text_is(mode, "data")) return open_mxread_server_related(path->string.data, s);
    if (text_is(mode, "meta")) return open_status_related(0, path->string.data, s, F);
    return gmx_error_d(s, GMX_PARAM, F, n_get_string("mode value"));
}

}  // namespace

QV_SEXP* open_mxread_server_related(const L_CHAR* path, QV_SEXP* s) {
    gc_push(nullptr, nullptr, "Get");
    QV_SEXP* r = nullptr;
    L_CHAR* pair[2] = {nullptr, nullptr};
    QV_GETFILE rule{};
    QV_SEXP* code_list = get_el(s, 2);
    MX_ENTRY* e = nullptr;
    if ((r = get_path(pair, &rule, path, s, "Get")) != nullptr) {
        // the resolution's own error
    } else if (!text_is(rule.mode, "lod")) {
        r = gmx_error_d(s, 0x80040608, F, n_get_string("unsupport Get mode"));
    } else if (get_type(code_list) != QVT_PAIR) {
        r = gmx_error(s, GMX_MISMATCH, F, "dim_code");
    } else {
        // A file reached through links answers to the access files where it lies, and one whose
        // links lead out of its tree counts as absent.
        for (L_CHAR* cand : pair) {
            L_CHAR* opened = nullptr;
            if (cand && !e && !r && !(r = auth_served_file(&opened, cand, path, "Get")) && opened)
                e = open_mxread(nullptr, cand, nullptr, 1);
        }
        if (!e && !r) r = gmx_error_d(s, GMX_OPEN, F, nullptr);
    }
    if (e) {
        // What Get opened stays open and registered for the next request.
        keep_mx_entry(e);
        MATRIX* m = e->c.m;
        int64_t* dc = get_dim_code_from_sexp(m, code_list);
        if (!dc || list_length(code_list) != m->p.dim + 1) {
            r = gmx_error_d(s, GMX_PARAM, F, n_get_string("dim_code format"));
        } else if (!inside_matrix(m, dc)) {
            // A level or a place outside the matrix names no node: none is made for the peer.
            r = no_node(s, code_list);
        } else {
            r = answer_node(s, m, dc, code_list);
        }
        if (dc) d_f_ree(dc);
        release_mx_entry(e);
    }
    gc_pop(r, gc_vx_sexp);
    return r;
}

void init_gmxGet(QVISP_ENV* env0) {
    bind_prim(env0, "Get", vx_gmxGet, FUNC_APPLICATIVE, 2, 3);
}
