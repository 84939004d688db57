// Linear systems, the double inverse, the Newton iteration and its grid search.
#include "matrixops/mx_solve.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <utility>

#include "matrix/matrix.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_types.h"
#include "stream/sprintf.h"

namespace {

constexpr int DOUBLE_V = MXT_DOUBLE + MXT_VECTOR;

// A view of a double vector: its layout, or false when d is none.
bool double_view(void* d, MATRIX_DH_SET* dh) {
    if (!d || static_cast<uint8_t*>(d)[1] != DOUBLE_V) return false;
    get_matrix_dh_set(dh, d);
    return true;
}

double* values(void* d) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, d);
    return reinterpret_cast<double*>(dh.offset);
}

// A row vector {1, n} of doubles from the cache.
void* new_row(int n, MX_CACHE* c) {
    int sizes[2] = {1, n};
    return mxt_new_vector(&mx_type_double_v, 2, sizes, c);
}

// Frees pool blocks at the end of a scope.
struct Release {
    MX_CACHE* c;
    void* v[8] = {};
    explicit Release(MX_CACHE* cache) : c(cache) {}
    void* keep(void* p) {
        for (void*& s : v)
            if (!s) {
                s = p;
                break;
            }
        return p;
    }
    ~Release() {
        for (void* p : v)
            if (p) mxc_free(c, p);
    }
};

// Truncates toward zero into an int, held at the int's limits (NaN gives 0).
int to_int_held(double x) {
    if (!(x == x)) return 0;
    if (x >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (x <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(x);
}

// The estimate and targets as dim doubles each; false when they are not row vectors {1, dim}.
bool newton_vectors(MX_CACHE_PARAM* p, int dim) {
    MATRIX_DH_SET x, t;
    if (!double_view(p->ret_buf, &x) || !double_view(p->inp_buf, &t)) return false;
    auto row = [dim](const MATRIX_DH_SET& v) {
        return v.hd->dim == 2 && v.ix[0] == 1 && v.ix[1] == dim;
    };
    return row(x) && row(t);
}

bool newton_ready(MX_CACHE_PARAM* p) {
    if (!p || !p->c || !p->c->m) return false;
    int dim = p->c->m->p.dim;
    return dim >= 1 && newton_vectors(p, dim);
}

// Reads the interpolated values at coords into out (dim of them); false when the read fails.
// The read buffer holds every slot the cache's channels may be routed to.
bool values_at(MX_CACHE_PARAM* p, const double* coords, double* out, double* scratch) {
    MX_CACHE_PARAM q = *p;
    q.dc = nullptr;
    q.inp_buf = const_cast<double*>(coords);
    q.data_ptrs[0] = scratch;
    int dim = p->c->m->p.dim, n = p->c->ds_len;
    memset(scratch, 0, sizeof(double) * (dim > n ? dim : n));
    if (read_mx_ip_double(&q) != 0) return false;
    memcpy(out, scratch, sizeof(double) * dim);
    return true;
}

}  // namespace

void* resolve_equation_double(void* a, void* v, MX_CACHE* c) {
    MATRIX_DH_SET da, dv;
    if (!c || !double_view(a, &da) || !double_view(v, &dv)) return nullptr;
    if (da.hd->dim != 2 || da.ix[0] != da.ix[1] || da.ix[0] < 1) return nullptr;
    int n = da.ix[0];
    // The right-hand side: {N}, {1, N} or {N, 1}; all three keep b_r at position r.
    bool shape =
        (dv.hd->dim == 1 && dv.ix[0] == n) ||
        (dv.hd->dim == 2 && ((dv.ix[0] == 1 && dv.ix[1] == n) || (dv.ix[0] == n && dv.ix[1] == 1)));
    if (!shape) return nullptr;
    const auto* av = reinterpret_cast<const double*>(da.offset);
    const auto* bv = reinterpret_cast<const double*>(dv.offset);
    int64_t cols = n + 1;
    // Elimination with partial pivoting (equations exchanged), not on the diagonal alone: a
    // diagonal pivot refuses regular systems with a zero on the diagonal (the identity's
    // permutations, a Jacobian whose channels each follow another coordinate), which would send
    // every Newton step to the affine model and the grid search. Null only for a singular system.
    // Rows are equations (the augmented system), each with the largest magnitude of its
    // coefficients: a pivot that elimination leaves within rounding of zero against its own
    // equation's scale marks the system singular.
    auto* w = static_cast<double*>(mxc_alloc(c, 8 * (n * cols + n)));
    Release rel(c);
    rel.keep(w);
    double* scale = w + n * cols;
    for (int r = 0; r < n; r++) {
        double mx = 0.0;
        for (int m = 0; m < n; m++) {
            double e = av[m + static_cast<int64_t>(r) * n];
            w[r * cols + m] = e;
            if (!std::isfinite(e)) return nullptr;
            mx = std::fmax(mx, std::fabs(e));
        }
        w[r * cols + n] = bv[r];
        if (mx == 0.0) return nullptr;
        scale[r] = mx;
    }
    for (int k = 0; k < n; k++) {
        int piv = k;
        for (int r = k + 1; r < n; r++)
            if (std::fabs(w[r * cols + k]) > std::fabs(w[piv * cols + k])) piv = r;
        if (piv != k) {
            for (int m = 0; m <= n; m++)
                std::swap(w[k * cols + m], w[piv * cols + m]);
            std::swap(scale[k], scale[piv]);
        }
        double pv = w[k * cols + k];
        if (!(std::fabs(pv) > scale[k] * n * DBL_EPSILON)) return nullptr;
        for (int r = k + 1; r < n; r++) {
            double f = w[r * cols + k] / pv;
            if (f == 0.0) continue;
            for (int m = k; m <= n; m++)
                w[r * cols + m] -= f * w[k * cols + m];
        }
    }
    void* x = new_row(n, c);
    if (!x) return nullptr;
    double* xv = values(x);
    for (int r = n - 1; r >= 0; r--) {
        double s = w[r * cols + n];
        for (int m = r + 1; m < n; m++)
            s -= w[r * cols + m] * xv[m];
        xv[r] = s / w[r * cols + r];
        if (!std::isfinite(xv[r])) {
            mxc_free(c, x);
            return nullptr;
        }
    }
    return x;
}

void* mxt_reverse_double(void* a, MX_CACHE* c) {
    MATRIX_DH_SET da;
    if (!c || !double_view(a, &da) || da.hd->dim != 2 || da.ix[0] != da.ix[1]) return nullptr;
    int n = da.ix[0];
    int bs[1] = {n}, rs[2] = {n, n};
    void* b = mxt_new_vector(&mx_type_double_v, 1, bs, c);
    void* r = mxt_new_vector(&mx_type_double_v, 2, rs, c);
    if (!b || !r) {
        if (b) mxc_free(c, b);
        if (r) mxc_free(c, r);
        return nullptr;
    }
    double* bv = values(b);
    double* rv = values(r);
    memset(bv, 0, sizeof(double) * n);
    // Column i of the inverse solves a x = e_i.
    for (int i = 0; i < n; i++) {
        bv[i] = 1.0;
        void* x = resolve_equation_double(a, b, c);
        if (!x) {
            mxc_free(c, b);
            mxc_free(c, r);
            return nullptr;
        }
        bv[i] = 0.0;
        const double* xv = values(x);
        for (int k = 0; k < n; k++)
            rv[static_cast<int64_t>(k) * n + i] = xv[k];
        mxc_free(c, x);
    }
    mxc_free(c, b);
    return r;
}

double matrix_newton_double_loop(MX_CACHE_PARAM* p, int detail, double) {
    if (!newton_ready(p)) return 0.0;
    MX_CACHE* c = p->c;
    int dim = c->m->p.dim, n = c->ds_len;
    Release rel(c);
    void* y = rel.keep(new_row(dim, c));
    auto* scratch = static_cast<double*>(rel.keep(mxc_alloc(c, 8 * (dim > n ? dim : n))));
    double* x = values(p->ret_buf);
    MX_CACHE_PARAM q = *p;
    q.dc = nullptr;
    q.inp_buf = x;
    void* d = nullptr;
    if (values_at(p, x, values(y), scratch)) {
        if (detail == 0 || detail == 1) {
            q.data_ptrs[0] = scratch;
            d = detail == 0 ? read_mx_ipdiff_double(&q) : read_mx_ipdiff_double2(&q);
        }
        MATRIX_DH_SET dd;
        if (d && (!double_view(d, &dd) || dd.ix[0] != dim || dd.ix[1] != dim)) {
            mxc_free(c, d);  // a channel count other than the dimensions: no square system
            d = nullptr;
        }
        rel.keep(d);
    }
    void* next = nullptr;
    if (d) {
        void* rhs = rel.keep(mxt_sub_vv(p->inp_buf, y, c));
        void* delta = resolve_equation_double(d, rhs, c);
        MATRIX_DH_SET am;
        if (!delta && double_view(p->avg_mtx, &am) && am.hd->dim == 2 && am.ix[0] > dim &&
            am.ix[1] > dim) {
            // The model's leading part stands in for a singular derivative.
            double* dv = values(d);
            const auto* mv = reinterpret_cast<const double*>(am.offset);
            for (int b = 0; b < dim; b++)
                for (int a = 0; a < dim; a++)
                    dv[a + b * dim] = mv[a + static_cast<int64_t>(b) * am.ix[0]];
            delta = resolve_equation_double(d, rhs, c);
        }
        if (!delta) return 0.0;
        rel.keep(delta);
        next = mxt_add_vv(delta, p->ret_buf, c);
    } else {
        void* e = rel.keep(mxt_e_m(&mx_type_double_v, 1, c));
        void* u = rel.keep(mxt_compound_vv(p->inp_buf, e, 1, c));
        next = u ? resolve_equation_double(p->avg_mtx, u, c) : nullptr;
    }
    if (!next) return 0.0;
    rel.keep(next);
    const double* nv = values(next);
    double sum = 0.0;
    for (int k = 0; k < dim; k++) {
        double dk = x[k] - nv[k];
        sum += dk * dk;
        x[k] = nv[k];
    }
    return std::sqrt(sum);
}

void generate_rand(MX_CACHE_PARAM* p, double tr) {
    if (!newton_ready(p)) return;
    MX_CACHE* c = p->c;
    int dim = c->m->p.dim, n = c->ds_len;
    int64_t samples = 1;
    for (int d = 0; d < dim; d++)
        samples *= 11;
    Release rel(c);
    auto* w = static_cast<double*>(rel.keep(mxc_alloc(c, 8 * (3 * dim + (dim > n ? dim : n)))));
    double* coords = w;
    double* got = w + dim;
    double* t = values(p->inp_buf);
    double* x = values(p->ret_buf);
    auto* g = static_cast<int*>(rel.keep(mxc_alloc(c, 8 * dim)));
    int* best_g = g + dim;
    double best = -1.0;
    for (;;) {
        double spacing = 2.0 * to_int_held(tr / 5.0);
        best = -1.0;
        for (int d = 0; d < dim; d++)
            best_g[d] = 0;
        for (int64_t s = 0; s < samples; s++) {
            int64_t r = s;
            for (int d = 0; d < dim; d++) {
                g[d] = static_cast<int>(r % 11) - 5;
                r /= 11;
                coords[d] = x[d] + g[d] * spacing;
            }
            if (!values_at(p, coords, got, w + 2 * dim)) continue;
            double sum = 0.0;
            for (int d = 0; d < dim; d++)
                sum += (got[d] - t[d]) * (got[d] - t[d]);
            double dist = std::sqrt(sum);
            if (best < 0 || best > dist) {
                best = dist;
                memcpy(best_g, g, sizeof(int) * dim);
            }
        }
        for (int d = 0; d < dim; d++)
            x[d] += best_g[d] * spacing;
        // A tolerance of 0 or below, or a spacing that no halving ends, gives one pass.
        if (p->tolerance > 0.0 && std::isfinite(tr) && p->tolerance <= tr)
            tr /= 2;
        else
            break;
    }
    p->result_y_tolerance = best;
}

int matrix_newton_double(MX_CACHE_PARAM* p) {
    if (!p) return 0;
    p->newton_status = 0;
    p->result_y_tolerance = 0.0;
    if (!newton_ready(p)) {
        p->newton_status = 3;
        return 0;
    }
    MATRIX* m = p->c->m;
    double step = -1.0;
    int steps = 0, level0 = 0, searches = 0;
    bool first = true;
    for (;;) {
        if (p->inp_level != 0) {
            step = matrix_newton_double_loop(p, 0, step);
        } else if (level0 > 25) {
            p->newton_status = 2;
            if (level0 % 10 == 0) {
                generate_rand(p, step);
                // A search that read no sample (-1.0) has found nothing.
                if (p->y_tolerance != 0.0 && p->result_y_tolerance >= 0.0 &&
                    p->result_y_tolerance < p->y_tolerance)
                    break;
                if (++searches > 1) {
                    p->newton_status = 3;
                    break;
                }
            }
            step = matrix_newton_double_loop(p, 1, step);
        } else if (level0 > 10 && level0 > p->try_avg * 1.2) {
            p->newton_status = 1;
            step = matrix_newton_double_loop(p, 1, step);
        } else {
            step = matrix_newton_double_loop(p, 0, step);
        }
        p->result_tolerance = step;
        if (p->tolerance > step && p->inp_level == 0) break;
        if (p->try_max != 0 && p->try_max <= steps) {
            p->newton_status = 3;
            break;
        }
        steps++;
        if (p->inp_level == 0)
            level0++;
        else
            level0 = 0;
        if (first) {
            // The first step's length in tolerances, per block, sets how many levels to climb;
            // a ratio that is not a finite positive number climbs none.
            double ratio = p->tolerance > 0.0 ? step / p->tolerance : 0.0;
            int k = std::isfinite(ratio) && ratio > 0.0 ? to_int_held(ratio) : 0;
            k >>= m->block_size[0] > 31 ? 31 : m->block_size[0];
            while (k > 0) {
                k /= 2;
                p->inp_level++;
            }
            first = false;
        }
        p->inp_level--;
        if (p->inp_level > m->total_levels - 1) p->inp_level = m->total_levels - 1;
        if (p->inp_level < 0) p->inp_level = 0;
    }
    p->try_avg = p->try_avg * 0.9 + steps * 0.1;
    return 0;
}

void print_data(const char* str, const double* d, int len) {
    ss_printf("%s ", str);
    for (int i = 0; i < len; i++)
        ss_printf("%f ", d[i]);
    ss_printf("\n");
}

void print_ret_buf(const char* str, MX_CACHE_PARAM* p) {
    ss_printf("%s\n", str);
    MATRIX_DH_SET dh;
    if (!p || !double_view(p->ret_buf, &dh)) return;
    const auto* v = reinterpret_cast<const double*>(dh.offset);
    for (int64_t i = 0; i < dh.total_element; i++)
        ss_printf("\t%f\n", v[i]);
}
