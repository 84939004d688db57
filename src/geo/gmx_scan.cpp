// gmxScan (see gmx_scan.h).
#include "geo/gmx_scan.h"

#include <string>

#include "base/alloc.h"
#include "builtins/bltn_util.h"
#include "geo/gmx_attr.h"
#include "geo/open_mx.h"
#include "lisp/list.h"
#include "matrix/mxscan.h"

namespace {

// Every refusal: ("invalida parameter (attribute id)" detail).
QV_SEXP* refuse(QV_SEXP* form, const char* detail) {
    return gmx_error_d(
        form, GMX_PARAM, "gmxScan",
        List(n_get_string("invalida parameter (attribute id)"), n_get_string(detail), LIST_END));
}

QV_SEXP* vx_gmxScan(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int id = 0;
    if (!gmx_attr_int(attr, "id", &id)) return refuse(form, "id");
    MX_ENTRY* e = search_mx_entry_by_id(id);
    if (!e) return refuse(form, "value of id");
    QV_SEXP* r = nullptr;
    int dir = 0, area = 0;
    std::string call_dir;
    if (attr_text(attr, "call-dir")) {
        if (!gmx_attr_ascii(attr, "call-dir", &call_dir) ||
            (call_dir != "pre" && call_dir != "post"))
            r = refuse(form, "value of call-dir");
        else
            dir = call_dir == "post";
    }
    if (!r && !gmx_attr_int(attr, "area", &area)) r = refuse(form, "area");
    if (!r && (area < 0 || area >= MX_CAL_SLOTS)) r = refuse(form, "area boundary");
    int64_t* start = nullptr;
    int64_t* end = nullptr;
    if (!r && !(start = get_dim_code_from_sexp(e->c.m, get_el(form, 1))))
        r = refuse(form, "dim_code format (start)");
    if (!r && !(end = get_dim_code_from_sexp(e->c.m, get_el(form, 2))))
        r = refuse(form, "dim_code format (end)");
    if (!r) r = get_integer(matrix_scan(e->c.m, dir, area, start, end, nullptr, nullptr), nullptr);
    d_f_ree(start);
    d_f_ree(end);
    release_mx_entry(e);
    return r;
}

}  // namespace

void init_gmxScan(QVISP_ENV*, QVISP_ENV* env1) {
    bind_prim(env1, "gmxScan", vx_gmxScan, FUNC_APPLICATIVE, 3, 3);
}
