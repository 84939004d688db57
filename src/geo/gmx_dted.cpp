// gmxImportDTED1 (see gmx_dted.h).
#include "geo/gmx_dted.h"

#include <cstdint>
#include <vector>

#include "builtins/bltn_util.h"
#include "geo/dted.h"
#include "geo/gmx_attr.h"
#include "geo/gmx_io.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "matrix/mxstore.h"
#include "stream/sprintf.h"

namespace {

constexpr const char* F = "gmxImportDTED1";

QV_SEXP* labelled(QV_SEXP* form, uint32_t code, const char* label) {
    return gmx_label_error(form, code, F, label);
}

// A number argument cut toward zero to 32 bits; false for NaN and values beyond 32 bits.
bool arg_int32(QV_SEXP* v, int64_t* out) {
    return gmx_arg_trunc(v, out) && *out >= INT32_MIN && *out <= INT32_MAX;
}

// The extent of dimension d at the level, in level-0 units (whole cells of the level).
int64_t level_extent(MATRIX* m, int d, int64_t step) {
    int64_t cells = (m->pixel_size[d] + step - 1) / step;
    return cells * step;
}

QV_SEXP* vx_gmxImportDTED1(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int id = 0, ch = 0, level = 0;
    if (!gmx_attr_int(attr, "id", &id)) return labelled(form, GMX_PARAM, "id");
    MX_ENTRY* e = search_mx_entry_by_id(id);
    if (!e) return labelled(form, GMX_PARAM, "id");
    GmxHold hold(e);
    if (!gmx_attr_int(attr, "ch", &ch)) return labelled(form, GMX_PARAM, "ch");
    gmx_attr_int(attr, "level", &level);
    QV_SEXP* a_path = get_el(form, 1);
    int64_t lon0 = 0, lat0 = 0;
    if (get_type(a_path) != QVT_STRING) return labelled(form, GMX_MISMATCH, "Filename with Path");
    if (!arg_int32(get_el(form, 2), &lon0)) return labelled(form, GMX_MISMATCH, "offset_y(Arg 2)");
    if (!arg_int32(get_el(form, 3), &lat0)) return labelled(form, GMX_MISMATCH, "reso_x(Arg 3)");
    std::string path = gmx_arg_bytes(a_path);
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return labelled(form, GMX_MISMATCH, "invalid path name ");
    MATRIX* m = e->c.m;
    int pos = gmx_access_pos(e, ch);
    // A tile needs two dimensions; that is known before any dimension's step is looked at.
    if (m->p.dim < 2) return labelled(form, GMX_MISMATCH, "ch");
    // A level the pyramid does not have is refused before its cell steps are multiplied out.
    int64_t sx = gmx_level_step(m, level, 0), sy = gmx_level_step(m, level, 1);
    if (level < 0 || level >= m->total_levels || !sx || !sy)
        return labelled(form, GMX_PARAM, "level");
    // A channel the entry does not access is refused: with every channel skipped the import
    // would answer nil having written nothing.
    if (pos < 0 || gmx_channel_size(m, ch) != 2) return labelled(form, GMX_MISMATCH, "ch");

    std::vector<int16_t> tile(size_t{DTED_SAMPLES} * DTED_SAMPLES);
    int east = 0, north = 0;
    int r = load_dted1(tile.data(), &east, &north, nullptr, path.substr(0, slash).c_str(),
                       path.substr(slash + 1).c_str(), DTED_ROWS | DTED_STRETCH);
    if (r < 0)
        return gmx_error_d(
            form, GMX_OPEN, F,
            List(n_get_string("cannot open the file or convert the file "), gmx_code(r), LIST_END));

    // Placement in level-0 units; rows and columns step by one cell of the level.
    int64_t x0 = (east - lon0) / 3, y0 = (north - lat0) / 3;
    int64_t ext0 = level_extent(m, 0, sx), ext1 = level_extent(m, 1, sy);
    ss_printf("==4 %i %i %lli\n", static_cast<int>(lat0), static_cast<int>(y0),
              static_cast<long long>(ext1 / sy));
    int64_t skip = 0, rows = DTED_SAMPLES, y = y0;
    if (ext1 <= y0) {
        skip = (y0 - (ext1 - sy) + sy - 1) / sy;
        rows = DTED_SAMPLES - skip;
        y = y0 - skip * sy;
        ss_printf("==3\n");
    }
    int64_t cskip = 0, length = DTED_SAMPLES, x = x0;
    if (x0 < 0) {
        cskip = (-x0 + sx - 1) / sx;
        ss_printf("==2\n");
        length = DTED_SAMPLES - cskip;
        x = x0 + cskip * sx;
    }
    // The row's end is worked out wide: a step of a high level times the row overflows 64 bits.
    if (length > 0 && static_cast<__int128>(x) + static_cast<__int128>(length) * sx > ext0)
        length = (ext0 - x + sx - 1) / sx;
    if (rows < 1 || length < 1) return nullptr;

    ss_printf("==1\n");
    std::vector<int64_t> dc(m->p.dim + 1, 0);
    dc[0] = level;
    dc[1] = x;
    dc[2] = y;
    std::vector<uint8_t> valid(length, 1);
    void* table[1] = {nullptr};
    GmxRun run(e, 1, 2, 2, "enable");
    MX_CACHE_PARAM& p = run.param(dc.data(), pos, 1, table);
    p.vector_len = static_cast<int>(length);
    p.vector_valid = valid.data();
    ss_printf("== %i %i %i %s\n", static_cast<int>(skip * DTED_SAMPLES), static_cast<int>(cskip),
              static_cast<int>(length), pt_dc(m, dc.data(), 1));
    for (int64_t k = 0; k < rows; k++) {
        table[0] = &tile[(skip + k) * DTED_SAMPLES + cskip];
        int w = write_mx_cache_vector(&p);
        if (w < 0) {
            ss_printf("h=%i %i %i\n", static_cast<int>(rows - k), w, mx_cache_error);
            if (gmx_node_failure(mx_cache_error)) return gmx_loading_error(form, F);
        }
        // Rows below y = 0 are refused by the cache. The step of a deep level is up to 2^61, so
        // the row position stops at the lowest value rather than wrapping back into the matrix
        // and writing a later row over an earlier one.
        dc[2] = dc[2] >= INT64_MIN + sy ? dc[2] - sy : INT64_MIN;
    }
    return nullptr;
}

}  // namespace

void init_gmxImportDTED1(QVISP_ENV*, QVISP_ENV* env1) {
    bind_prim(env1, "gmxImportDTED1", vx_gmxImportDTED1, FUNC_APPLICATIVE, 4, 4);
}
