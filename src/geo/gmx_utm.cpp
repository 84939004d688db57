// gmxImportUTM (see gmx_utm.h): the arguments and the matrix side of the zone resampling of
// utm_zone.h, whose callbacks read source cells and fetch target nodes through the entries'
// caches.
#include "geo/gmx_utm.h"

#include <cstring>
#include <string>
#include <vector>

#include "base/numtext.h"
#include "builtins/bltn_util.h"
#include "geo/gmx_attr.h"
#include "geo/gmx_io.h"
#include "geo/utm_zone.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/valutil.h"
#include "matrix/mxstore.h"

namespace {

constexpr const char* F = "gmxImportUTM";

QV_SEXP* labelled(QV_SEXP* form, uint32_t code, const char* label) {
    return gmx_error_d(
        form, code, F,
        List(n_get_string(code == GMX_PARAM ? "invalida parameter" : "type missmatch"),
             n_get_string(label), LIST_END));
}

// The two caches while a run lasts.
struct UtmCaches {
    MX_CACHE_PARAM* src;  // one 4-byte element into `cell`
    MX_CACHE* dst;        // the target run's cache
    int64_t* tdc;         // the target's dimension code (further coordinates 0)
    int dst_pos, src_pos;
    uint32_t cell;
    char text[80];
    // A source cell could not be read because the source is broken (its file names a node it
    // cannot give): the run ends and answers an error rather than leaving those cells unwritten.
    bool broken;
};

int read_cell(void* ctx, int64_t u, int64_t v, uint32_t* value, UTM_VECTOR* vec) {
    auto* k = static_cast<UtmCaches*>(ctx);
    int64_t* dc = k->src->dc;
    dc[1] = u;
    dc[2] = v;
    if (read_mx_cache(k->src) < 0) {
        if (mx_ld(k->src->c->m->flags) & 2) k->broken = true;
        return -1;
    }
    MATRIX_DH_SET* ds = &k->src->c->ds[k->src_pos];
    // Cells are shared from the node's channel vector; a channel without one is read cell by
    // cell.
    if (ds->hd && ds->hd->dim >= 2) {
        vec->data = ds->offset;
        vec->len0 = ds->ix[0];
        vec->len1 = ds->ix[1];
    } else {
        vec->data = nullptr;
        vec->len0 = vec->len1 = 0;
    }
    std::memcpy(value, &k->cell, 4);
    return 0;
}

int target_node(void* ctx, const int64_t* tile, UTM_VECTOR* vec) {
    auto* k = static_cast<UtmCaches*>(ctx);
    if (k->broken) return -2;
    std::memcpy(k->tdc, tile, 3 * sizeof(int64_t));
    if (get_mx_cache(k->dst, k->tdc) != 0) return -1;
    MATRIX_DH_SET* ds = &k->dst->ds[k->dst_pos];
    if (!ds->hd || ds->hd->dim < 2) return -1;
    vec->data = ds->offset;
    vec->len0 = ds->ix[0];
    vec->len1 = ds->ix[1];
    return 0;
}

// The matrices' create-node keys change only once a pass has blocks to visit: an import whose
// zone misses the target leaves both matrices as they were.
void begin_pass(void* ctx) {
    auto* k = static_cast<UtmCaches*>(ctx);
    set_matrix_env(k->src->c->m, "create-node", "disable");
    set_matrix_env(k->dst->m, "create-node", "enable");
}

void written(void* ctx) {
    static_cast<UtmCaches*>(ctx)->dst->dirty = 1;
}

const char* tile_text(void* ctx, const int64_t* tile) {
    auto* k = static_cast<UtmCaches*>(ctx);
    // A tile code holds the level and two coordinates; a source of more dimensions is printed
    // with the others at 0, never with what lies past the code.
    int64_t code[MXT_MAX_DIM + 1] = {tile[0], tile[1], tile[2]};
    const char* t = pt_dc(k->src->c->m, code, 2);
    snprintf(k->text, sizeof k->text, "%s", t ? t : "");
    return k->text;
}

QV_SEXP* vx_gmxImportUTM(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int id = 0, utmid = 0, ch = 0, utmch = 0;
    GmxHold dst, src;
    if (!gmx_attr_int(attr, "id", &id) || !(dst.e = search_mx_entry_by_id(id)))
        return labelled(form, GMX_PARAM, "id");
    if (!gmx_attr_int(attr, "utmid", &utmid) || !(src.e = search_mx_entry_by_id(utmid)))
        return labelled(form, GMX_PARAM, "utmid");
    if (!gmx_attr_int(attr, "ch", &ch)) return labelled(form, GMX_PARAM, "ch");
    if (!gmx_attr_int(attr, "utmch", &utmch)) utmch = ch;
    UTM_DATA ud{};
    ud.zone_width = 6.0;
    if (attr_text(attr, "zwidth")) {
        std::string t;
        if (!gmx_attr_ascii(attr, "zwidth", &t) || !text_to_double(t, &ud.zone_width))
            return labelled(form, GMX_PARAM, "zwidth");
    }
    const L_CHAR* dir = attr_text(attr, "XYdir");
    ud.XY_dir = !dir || text_is(dir, "forward");

    if (!gmx_arg_number(get_el(form, 1), &ud.offset_x))
        return labelled(form, GMX_MISMATCH, "offset_x(Arg 1)");
    if (!gmx_arg_number(get_el(form, 2), &ud.offset_y))
        return labelled(form, GMX_MISMATCH, "offset_y(Arg 2)");
    if (!gmx_arg_number(get_el(form, 3), &ud.reso_x))
        return labelled(form, GMX_MISMATCH, "reso_x(Arg 3)");
    if (!gmx_arg_number(get_el(form, 4), &ud.reso_y))
        return labelled(form, GMX_MISMATCH, "reso_y(Arg 4)");
    QV_SEXP* zone = get_el(form, 5);
    if (get_type(zone) == QVT_INTEGER) {
        if (utm_zone_check(zone->integer.data) < 0)
            return labelled(form, GMX_PARAM, "UTMno(Arg 5)");
        ud.UTMno = static_cast<int>(zone->integer.data);
    } else if (get_type(zone) == QVT_STRING) {
        if (utm_zone_from_text(gmx_arg_bytes(zone).c_str(), &ud.UTMno) < 0)
            return labelled(form, GMX_PARAM, "UTMno(Arg 5)");
    } else {
        return labelled(form, GMX_MISMATCH, "UTMno(Arg 5)");
    }
    VX_POINT p{};
    VX_RECT r{};
    if (qv_to_vx_point(&p, get_el(form, 6)) < 0)
        return labelled(form, GMX_PARAM, "zone_offset_x/y(Arg 6)");
    ud.zone_offset_x = p.x;
    ud.zone_offset_y = p.y;
    if (qv_to_vx_rect(&r, get_el(form, 7)) < 0)
        return labelled(form, GMX_PARAM, "zone_rezo_mirect(Arg 7)");
    ud.zone_minrect = R_RECT{{r.tl.x, r.tl.y}, {r.br.x, r.br.y}};
    if (qv_to_vx_point(&p, get_el(form, 8)) < 0)
        return labelled(form, GMX_PARAM, "zone_rezo_x/y(Arg 8)");
    ud.zone_reso_x = p.x;
    ud.zone_reso_y = p.y;
    if (!gmx_arg_number(get_el(form, 9), &ud.ep.a))
        return labelled(form, GMX_MISMATCH, "alipsoid-a(Arg 9)");
    if (!gmx_arg_number(get_el(form, 10), &ud.ep.b))
        return labelled(form, GMX_MISMATCH, "alipsoid-b(Arg 10)");
    if (const char* bad = utm_check_params(&ud, id, utmid)) return labelled(form, GMX_PARAM, bad);

    MATRIX* tm = dst.e->c.m;
    MATRIX* sm = src.e->c.m;
    if (tm->p.dim < 2 || sm->p.dim < 2) return labelled(form, GMX_PARAM, "id");
    int dpos = gmx_access_pos(dst.e, ch), spos = gmx_access_pos(src.e, utmch);
    if (dpos < 0) return labelled(form, GMX_PARAM, "ch");
    if (spos < 0) return labelled(form, GMX_PARAM, "utmch");
    if (gmx_channel_size(tm, ch) != 4) return labelled(form, GMX_MISMATCH, "ch");
    if (gmx_channel_size(sm, utmch) != 4) return labelled(form, GMX_MISMATCH, "utmch");

    // Both entries' locks at once, so that two imports between the same matrices in opposite
    // directions cannot wait for each other.
    std::mutex& la = gmx_entry_lock(dst.e);
    std::mutex& lb = gmx_entry_lock(src.e);
    std::unique_lock<std::mutex> ga(la, std::defer_lock), gb(lb, std::defer_lock);
    if (&la == &lb)
        ga.lock();
    else
        std::lock(ga, gb);
    int rc = 0;
    bool broken = false;
    {
        GmxRun srun(src.e, 0, -1, 3, nullptr, false);
        GmxRun trun(dst.e, 1, 2, 2, nullptr, false);
        std::vector<int64_t> sdc(sm->p.dim + 1, 0), tdc(tm->p.dim + 1, 0);
        UtmCaches k{};
        k.tdc = tdc.data();
        void* unused[1] = {nullptr};
        MX_CACHE_PARAM& sp = srun.param(sdc.data(), spos, 2, unused);
        sp.data_ptrs[2] = &k.cell;
        k.src = &sp;
        k.dst = trun.cache();
        k.dst_pos = dpos;
        k.src_pos = spos;
        UTM_IO io{&k, read_cell, target_node, written, tile_text, begin_pass};
        int64_t psize[2] = {tm->pixel_size[0], tm->pixel_size[1]};
        int64_t ssize[2] = {sm->pixel_size[0], sm->pixel_size[1]};
        // The passes' nodes are made with each matrix's own setting; the keys are set by
        // begin_pass.
        MxCreateNode src_create(sm, "disable", false), dst_create(tm, "enable", false);
        rc = utm_import(&ud, psize, tm->block_size[0], tm->block_size[1], sm->block_size[0],
                        sm->block_size[1], ssize, &io);
        broken = k.broken;
    }
    if (broken) {
        mx_cache_error = -1;
        return gmx_read_error(form, F, sm);
    }
    // Target blocks of more than 2^24 cells are not served.
    if (rc < 0) return labelled(form, GMX_PARAM, "block_size");
    return nullptr;
}

}  // namespace

void init_gmxImportUTM(QVISP_ENV*, QVISP_ENV* env1) {
    bind_prim(env1, "gmxImportUTM", vx_gmxImportUTM, FUNC_APPLICATIVE, 11, 11);
}
