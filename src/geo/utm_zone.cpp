// UTM zone resampling geometry. Every double-to-integer conversion is guarded: arguments are
// checked finite up front, and products that still leave the 64-bit range saturate (tile
// ranges) or give the cell no value (source indices).
#include "geo/utm_zone.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/tick.h"
#include "stream/sprintf.h"

namespace {

constexpr double PI = 3.141592653589793;
// Tile coordinates saturate here, far inside int64 so that rounding up cannot overflow.
constexpr double TILE_LIMIT = 4611686018427387904.0;   // 2^62
constexpr double INDEX_LIMIT = 9223372036854775808.0;  // 2^63

double rad(double deg) {
    return deg * PI / 180.0;
}

int64_t trunc_s64(double d) {
    if (std::isnan(d)) return 0;
    if (d >= TILE_LIMIT) return static_cast<int64_t>(TILE_LIMIT);
    if (d <= -TILE_LIMIT) return -static_cast<int64_t>(TILE_LIMIT);
    return static_cast<int64_t>(d);
}

int64_t round_down(int64_t v, int bs) {
    return v & ~((int64_t{1} << bs) - 1);
}

int64_t round_up(int64_t v, int bs) {
    int64_t m = (int64_t{1} << bs) - 1;
    return (v & m) ? (v & ~m) + m + 1 : v;
}

double center(const UTM_DATA* ud, int zone) {
    return ud->utm_st_west[zone] + ud->zone_width / 2;
}

// The point (lon, lat) of pass `zone` on the grid. Pass 1 longitudes go 360 degrees west first.
void project(UTM_DATA* ud, int zone, double lon, double lat, double* X, double* Y) {
    utm2bl(X, Y, rad(lon - 360.0 * zone), rad(lat), &ud->ep);
}

// The text in buf: a caller's text is short-lived (one buffer for every call), so it is copied
// before the next tile is described.
const char* tile_text(const UTM_IO* io, const int64_t* tile, char* buf, size_t n) {
    if (io->tile_text) {
        const char* t = io->tile_text(io->ctx, tile);
        snprintf(buf, n, "%s", t ? t : "");
        return buf;
    }
    snprintf(buf, n, "(%lld %lld %lld)", static_cast<long long>(tile[0]),
             static_cast<long long>(tile[1]), static_cast<long long>(tile[2]));
    return buf;
}

bool finite_rect(const R_RECT& r) {
    return std::isfinite(r.tl.x) && std::isfinite(r.tl.y) && std::isfinite(r.br.x) &&
           std::isfinite(r.br.y);
}

bool usable_reso(double r) {
    return std::isfinite(r) && r != 0;
}

}  // namespace

int utm_zone_check(int64_t n) {
    return (n == 0 || n > 60 || n < -60) ? -1 : 0;
}

int utm_zone_from_text(const char* text, int* zone) {
    char buf[64];
    size_t len = 0;
    int sign = 1;
    for (const char* p = text; *p; p++) {
        if (*p == 'N' || *p == 'n') break;
        if (*p == 'S' || *p == 's') {
            sign = -1;
            break;
        }
        if (len + 1 >= sizeof buf) return -1;
        buf[len++] = *p;
    }
    buf[len] = 0;
    const char* q = buf;
    while (*q == ' ' || *q == '\t')
        q++;
    const char* d = q + ((*q == '+' || *q == '-') ? 1 : 0);
    if (*d < '0' || *d > '9') return -1;
    char* end;
    errno = 0;
    long long v = strtoll(q, &end, 10);
    if (errno == ERANGE) return -1;
    while (*end == ' ' || *end == '\t')
        end++;
    if (*end) return -1;
    v *= sign;
    if (utm_zone_check(v) < 0) return -1;
    *zone = static_cast<int>(v);
    return 0;
}

const char* utm_check_params(const UTM_DATA* ud, int64_t id, int64_t utmid) {
    if (!std::isfinite(ud->offset_x)) return "offset_x(Arg 1)";
    if (!std::isfinite(ud->offset_y)) return "offset_y(Arg 2)";
    if (!usable_reso(ud->reso_x)) return "reso_x(Arg 3)";
    if (!usable_reso(ud->reso_y)) return "reso_y(Arg 4)";
    if (utm_zone_check(ud->UTMno) < 0) return "UTMno(Arg 5)";
    if (!std::isfinite(ud->zone_offset_x) || !std::isfinite(ud->zone_offset_y))
        return "zone_offset_x/y(Arg 6)";
    if (!finite_rect(ud->zone_minrect)) return "zone_rezo_mirect(Arg 7)";
    if (!usable_reso(ud->zone_reso_x) || !usable_reso(ud->zone_reso_y))
        return "zone_rezo_x/y(Arg 8)";
    if (!(std::isfinite(ud->ep.a) && ud->ep.a > 0)) return "alipsoid-a(Arg 9)";
    if (!(std::isfinite(ud->ep.b) && ud->ep.b > 0 && ud->ep.b <= ud->ep.a))
        return "alipsoid-b(Arg 10)";
    if (!(ud->zone_width > 0 && ud->zone_width <= 360)) return "zwidth";
    if (id == utmid) return "utmid";
    return nullptr;
}

void utm_zone_bounds(UTM_DATA* ud) {
    int n;
    if (ud->UTMno >= 1) {
        ud->utm_st_south = 0;
        ud->utm_end_north = 90;
        n = ud->UTMno;
    } else {
        ud->utm_st_south = -90;
        ud->utm_end_north = 0;
        n = -ud->UTMno;
    }
    double c = 6.0 * n - 183.0;
    ud->utm_st_west[0] = c - ud->zone_width / 2;
    ud->utm_end_east[0] = c + ud->zone_width / 2;
    ud->utm_st_west[1] = ud->utm_st_west[0] + 360;
    ud->utm_end_east[1] = ud->utm_end_east[0] + 360;
}

double zone_lambda_adjust(double lambda, double center) {
    return std::fabs(lambda - center) < 90 ? lambda : lambda - 360;
}

int cross_rect_rect(const R_RECT* r1, const R_RECT* r2) {
    return (r1->tl.x <= r2->br.x && r1->br.x >= r2->tl.x && r1->tl.y <= r2->br.y &&
            r1->br.y >= r2->tl.y)
               ? 1
               : 0;
}

void insert_rect(R_RECT* r, R_POINT p) {
    if (r->tl.x > r->br.x) {
        r->tl = p;
        r->br = p;
        return;
    }
    r->tl.x = std::min(r->tl.x, p.x);
    r->tl.y = std::min(r->tl.y, p.y);
    r->br.x = std::max(r->br.x, p.x);
    r->br.y = std::max(r->br.y, p.y);
}

void utm_tile_range(const UTM_DATA* ud, int zone, int bs0, int bs1, int64_t start[3],
                    int64_t end[3]) {
    start[0] = end[0] = 0;
    start[1] = round_down(trunc_s64((ud->utm_st_west[zone] - ud->offset_x) * ud->reso_x), bs0);
    start[2] = round_down(trunc_s64((ud->utm_st_south - ud->offset_y) * ud->reso_y), bs1);
    end[1] = round_up(trunc_s64((ud->utm_end_east[zone] - ud->offset_x) * ud->reso_x), bs0);
    end[2] = round_up(trunc_s64((ud->utm_end_north - ud->offset_y) * ud->reso_y), bs1);
}

void boundary_setup(int64_t* tile, int64_t pixel_size, int block_size, int dim) {
    int64_t& v = tile[dim + 1];
    if (v < 0)
        v = 0;
    else if (v >= pixel_size)
        v = round_up(pixel_size, block_size);
    tile[0] = 0;
}

int check_in_zone(const int64_t* ix, int64_t bx, int64_t by, UTM_DATA* ud, int zone) {
    double c = center(ud, zone);
    double cx[4] = {static_cast<double>(ix[1]), static_cast<double>(ix[1] + bx),
                    static_cast<double>(ix[1]), static_cast<double>(ix[1] + bx)};
    double cy[4] = {static_cast<double>(ix[2] + by), static_cast<double>(ix[2] + by),
                    static_cast<double>(ix[2]), static_cast<double>(ix[2])};
    double lon[6], lat[6];
    for (int k = 0; k < 4; k++) {
        lat[k] = cy[k] / ud->reso_y + ud->offset_y;
        lon[k] = zone_lambda_adjust(cx[k] / ud->reso_x + ud->offset_x, c);
    }
    int np = 4;
    if (lon[0] < c && c < lon[1]) {
        // The northern edge crosses the central meridian, where the parallel bulges.
        lon[4] = c;
        lat[4] = lat[2];
        lon[5] = c;
        lat[5] = lat[0];
        np = 6;
    }
    R_RECT r{{1, 0}, {0, 0}};
    for (int k = 0; k < np; k++) {
        double X, Y;
        project(ud, zone, lon[k], lat[k], &X, &Y);
        insert_rect(&r, R_POINT{X, Y});
    }
    return cross_rect_rect(&r, &ud->zone_minrect) ? 0 : -1;
}

void utm_setup_projection(UTM_DATA* ud) {
    ud->ep.org_lambda = rad(center(ud, 0));
    ud->ep.org_X = 0;
    ud->ep.org_X_enable = 1;
    ud->ep.org_X0 = ud->UTMno < 0 ? 10000000.0 : 0.0;
    ud->ep.org_Y0 = 500000.0;
}

void utm_project_block(UTM_DATA* ud, int zone, int64_t x, int64_t y, int bw, int bh, int8_t* flag,
                       int64_t* src) {
    double west = ud->utm_st_west[zone], east = ud->utm_end_east[zone];
    double c = center(ud, zone);
    for (int j = 0; j < bh; j++) {
        double lat = static_cast<double>(y + j) / ud->reso_y + ud->offset_y;
        // The latitude's terms once per row: bit-identical to utm2bl per cell.
        TM_ROW row;
        tm_row_setup(&row, rad(lat), &ud->ep);
        for (int i = 0; i < bw; i++) {
            int c_ix = j * bw + i;
            double lon = static_cast<double>(x + i) / ud->reso_x + ud->offset_x;
            flag[c_ix] = -1;
            if (lon < west || lon >= east) continue;
            lon = zone_lambda_adjust(lon, c);
            double X, Y;
            tm_row_point(&X, &Y, &row, rad(lon - 360.0 * zone));
            double u, v;
            if (ud->XY_dir) {
                u = (X - ud->zone_offset_x) * ud->zone_reso_x;
                v = (Y - ud->zone_offset_y) * ud->zone_reso_y;
            } else {
                u = (Y - ud->zone_offset_y) * ud->zone_reso_x;
                v = (X - ud->zone_offset_x) * ud->zone_reso_y;
            }
            double ru = std::rint(u), rv = std::rint(v);
            // Not finite, negative or beyond 64 bits: no source cell.
            if (!(ru >= 0 && ru < INDEX_LIMIT && rv >= 0 && rv < INDEX_LIMIT)) continue;
            flag[c_ix] = 0;
            src[2 * c_ix] = static_cast<int64_t>(ru);
            src[2 * c_ix + 1] = static_cast<int64_t>(rv);
        }
    }
}

void utm_fill_block(int8_t* flag, const int64_t* src, uint32_t* value, uint32_t* order, int n,
                    int sbs0, int sbs1, const int64_t src_size[2], const UTM_IO* io) {
    int64_t m0 = (int64_t{1} << sbs0) - 1, m1 = (int64_t{1} << sbs1) - 1;
    int k = 0;
    for (int c = 0; c < n; c++) {
        if (flag[c] != 0) continue;
        // A cell beyond the source cannot be read; left in, its failed read would take the
        // cells of its square that do lie inside with it.
        if (src[2 * c] >= src_size[0] || src[2 * c + 1] >= src_size[1]) {
            flag[c] = -1;
            continue;
        }
        order[k++] = static_cast<uint32_t>(c);
    }
    // Cells of one source square next to each other, in cell order within the square, so that
    // each square is read once, through its first pending cell.
    auto square_less = [&](uint32_t a, uint32_t b) {
        int64_t ua = src[2 * a] & ~m0, ub = src[2 * b] & ~m0;
        if (ua != ub) return ua < ub;
        int64_t va = src[2 * a + 1] & ~m1, vb = src[2 * b + 1] & ~m1;
        if (va != vb) return va < vb;
        return a < b;
    };
    std::sort(order, order + k, square_less);
    for (int g = 0; g < k;) {
        uint32_t first = order[g];
        int h = g + 1;
        while (h < k && (src[2 * order[h]] & ~m0) == (src[2 * first] & ~m0) &&
               (src[2 * order[h] + 1] & ~m1) == (src[2 * first + 1] & ~m1))
            h++;
        UTM_VECTOR vec{};
        int r = io->read(io->ctx, src[2 * first], src[2 * first + 1], &value[first], &vec);
        flag[first] = r < 0 ? -1 : 1;
        for (int q = g + 1; q < h; q++) {
            uint32_t c = order[q];
            flag[c] = -1;
            if (r < 0) continue;
            int64_t su = src[2 * c] & m0, sv = src[2 * c + 1] & m1;
            if (su >= vec.len0 || sv >= vec.len1 || !vec.data) continue;
            const uint8_t* e = vec.data + (sv * vec.len0 + su) * 4;
            uint32_t w;
            std::memcpy(&w, e, 4);
            value[c] = w;
            flag[c] = 1;
        }
        g = h;
    }
}

int64_t utm_store_block(const int8_t* flag, const uint32_t* value, int bw, int bh,
                        const UTM_VECTOR* vec) {
    int64_t rows = std::min<int64_t>(bh, vec->len1), cols = std::min<int64_t>(bw, vec->len0);
    int64_t n = 0;
    for (int64_t j = 0; j < rows; j++)
        for (int64_t i = 0; i < cols; i++) {
            int64_t c = j * bw + i;
            if (flag[c] != 1) continue;
            std::memcpy(vec->data + (j * vec->len0 + i) * 4, &value[c], 4);
            n++;
        }
    return n;
}

int utm_load_zone(UTM_DATA* ud, int zone, const int64_t start[3], const int64_t end[3], int tbs0,
                  int tbs1, int sbs0, int sbs1, const int64_t src_size[2], const UTM_IO* io) {
    char b1[80], b2[80];
    ss_printf("load_zone-1\n");
    ss_printf("TARGET START %s\n", tile_text(io, start, b1, sizeof b1));
    ss_printf("TARGET END %s\n", tile_text(io, end, b2, sizeof b2));
    if (start[1] == end[1] || start[2] == end[2]) return 0;
    if (tbs0 < 0 || tbs1 < 0 || sbs0 < 0 || sbs1 < 0 || tbs0 > 30 || tbs1 > 30 || sbs0 > 30 ||
        sbs1 > 30 || tbs0 + tbs1 > 24)
        return -1;
    ss_printf("load_zone-2\n");
    if (io->begin) io->begin(io->ctx);
    int bw = 1 << tbs0, bh = 1 << tbs1, n = bw * bh;
    auto* flag = static_cast<int8_t*>(d_alloc(n));
    auto* src = static_cast<int64_t*>(d_alloc(int64_t{n} * 16));
    auto* value = static_cast<uint32_t*>(d_alloc(int64_t{n} * 4));
    auto* order = static_cast<uint32_t*>(d_alloc(int64_t{n} * 4));
    utm_setup_projection(ud);
    ss_printf("load_zone-3\n");
    int rc = 0;
    bool first = true;
    uint32_t last = 0;
    for (int64_t y = start[2]; y < end[2] && rc == 0; y += bh) {
        for (int64_t x = start[1]; x < end[1]; x += bw) {
            int64_t tile[3] = {0, x, y};
            uint32_t now = get_qvtime();
            if (first || now != last) {
                ss_printf("TARGET %s < %s %f\n", tile_text(io, tile, b1, sizeof b1),
                          tile_text(io, end, b2, sizeof b2),
                          100.0 * static_cast<double>(y - start[2]) /
                              static_cast<double>(end[2] - start[2]));
                first = false;
                last = now;
            }
            if (check_in_zone(tile, bw, bh, ud, zone) < 0) continue;
            utm_project_block(ud, zone, x, y, bw, bh, flag, src);
            utm_fill_block(flag, src, value, order, n, sbs0, sbs1, src_size, io);
            if (std::find(flag, flag + n, 1) == flag + n) continue;
            UTM_VECTOR vec{};
            int r = io->target(io->ctx, tile, &vec);
            if (r == -1) continue;
            if (r < 0) {
                rc = r;
                break;
            }
            utm_store_block(flag, value, bw, bh, &vec);
            if (io->written) io->written(io->ctx);
        }
    }
    d_f_ree(order);
    d_f_ree(value);
    d_f_ree(src);
    d_f_ree(flag);
    return rc;
}

int utm_import(UTM_DATA* ud, const int64_t pixel_size[2], int tbs0, int tbs1, int sbs0, int sbs1,
               const int64_t src_size[2], const UTM_IO* io) {
    ss_printf("IMPORT UTM zw=%f\n", ud->zone_width);
    ud->ep.m0 = 0.9996;
    utm_zone_bounds(ud);
    int64_t st[2][3], en[2][3];
    char b[80];
    for (int k = 0; k < 2; k++) {
        utm_tile_range(ud, k, tbs0, tbs1, st[k], en[k]);
        if (k == 0) {
            ss_printf("z1_start_tile %s\n", tile_text(io, st[0], b, sizeof b));
            ss_printf("z1_end_tile %s\n", tile_text(io, en[0], b, sizeof b));
        }
    }
    for (int k = 0; k < 2; k++) {
        for (int d = 0; d < 2; d++) {
            int bs = d == 0 ? tbs0 : tbs1;
            boundary_setup(st[k], pixel_size[d], bs, d);
            boundary_setup(en[k], pixel_size[d], bs, d);
        }
    }
    for (int k = 0; k < 2; k++) {
        int rc = utm_load_zone(ud, k, st[k], en[k], tbs0, tbs1, sbs0, sbs1, src_size, io);
        if (rc < 0) return rc;
    }
    return 0;
}
