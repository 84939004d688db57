// The level pyramid's fine-to-coarse mapping and the walks of the pyramid handlers, shared by
// every numeric, rgb8 and string vector type.
//
// Two blocks k levels apart (k = `parent`): per dimension d, shift s[d] = dim_divide[d] * k, so
// one coarse value covers 2^s[d] fine values; the fine block's footprint starts in the coarse
// block at base[d] = ((c[d] >> (dim_divide[d] * L)) >> s[d]) & (2^block_size[d] - 1), the coarse
// cell of its first value (L and c[d] the fine block's level and coordinate). While s[d] <
// block_size[d] that is 2^(block_size[d] - s[d]) * ((c[d] >> (dim_divide[d] * L +
// block_size[d])) & (2^s[d] - 1)); a fine block one coarse cell wide or narrower keeps its own
// cell rather than the first. Fine index j maps to coarse index base[d] + (j[d] >> s[d]). Shifts
// are 64-bit; one of 63 places or more leaves only the sign.
//
// The walks go row by row along dimension 0 with plain loops inside a row; only the rows are
// counted off dimension by dimension. Fine values whose coarse index would fall outside the
// coarse block are not visited, so no handler reads or writes outside its vectors.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "matrix/matrix.h"
#include "matrix/mtx_type.h"

struct PYR_GEOM {
    int dim;                        // dimensions walked (1 for a vector of dim 0)
    int s[MXT_MAX_DIM];             // shift per dimension
    int64_t base[MXT_MAX_DIM];      // footprint start in the coarse block
    int64_t n_fine[MXT_MAX_DIM];    // fine sizes
    int64_t n_coarse[MXT_MAX_DIM];  // coarse sizes
    int64_t jmax[MXT_MAX_DIM];      // fine extent walked (values that map inside the coarse)
    int64_t st_fine[MXT_MAX_DIM];   // element strides
    int64_t st_coarse[MXT_MAX_DIM];
};

// Fills g for the fine vector `fine` and the coarse vector `coarse` (both of the matrix's dim);
// -1 when the geometry is unusable (parent negative, a block wider than a vector can be).
int pyr_geom(PYR_GEOM* g, MATRIX* m, int64_t* dim_code, int parent, void* fine, void* coarse);

// For averages: with the matrix's extra cell per block (MXP_INDEX_HEM), a fine block's last value
// along d repeats the first value of the next block. Where that value's coarse cell is one of the
// coarse block's own cells, the sibling that holds the next block covers the cell and gives it
// its mean, so the repeated value is left out and no parent cell depends on the order the
// children come in. Where it falls on the coarse block's extra cell, no sibling covers that cell
// and the repeated values stay its only source.
void pyr_avg_skip_hems(PYR_GEOM* g, MATRIX* m);

// 1 when the vector d has the matrix's number of dimensions.
inline bool pyr_dim_ok(MATRIX* m, void* d) {
    return d && static_cast<MATRIX_DATA_HEADER*>(d)->dim == m->p.dim;
}

template <class T>
inline T* pyr_values(void* d) {
    return reinterpret_cast<T*>(static_cast<uint8_t*>(d) +
                                static_cast<MATRIX_DATA_HEADER*>(d)->offset);
}

// Calls f(j) for every tuple j of dimensions 1..dim-1 with j[d] = start[d] + t * step[d] below
// end[d] (j[0] is left 0). Nothing when some dimension has no value.
template <class F>
void pyr_rows(int dim, const int64_t* start, const int64_t* step, const int64_t* end, F&& f) {
    int64_t j[MXT_MAX_DIM];  // only the first dim entries are used
    j[0] = 0;
    for (int d = 1; d < dim; d++) {
        if (start[d] >= end[d]) return;
        j[d] = start[d];
    }
    for (;;) {
        f(static_cast<const int64_t*>(j));
        int d = 1;
        for (; d < dim; d++) {
            j[d] += step[d];
            if (j[d] < end[d]) break;
            j[d] = start[d];
        }
        if (d >= dim) return;
    }
}

inline int64_t pyr_step(int s) {
    return int64_t{1} << s;
}

// Coarse offset of the row of fine tuple j (dimensions 1..), plus base[0].
inline int64_t pyr_coarse_row(const PYR_GEOM& g, const int64_t* j) {
    int64_t off = g.base[0];
    for (int d = 1; d < g.dim; d++)
        off += (g.base[d] + (j[d] >> g.s[d])) * g.st_coarse[d];
    return off;
}

inline int64_t pyr_fine_row(const PYR_GEOM& g, const int64_t* j) {
    int64_t off = 0;
    for (int d = 1; d < g.dim; d++)
        off += j[d] * g.st_fine[d];
    return off;
}

// Thinning by representative: coarse value at the mapped index of every fine index rep + t *
// 2^s. Values are copied by `put(dst_index, src_index)`.
template <class PUT>
int pyr_thinned_rep(const PYR_GEOM& g, const int* rep, PUT&& put) {
    int64_t start[MXT_MAX_DIM] = {0}, step[MXT_MAX_DIM];
    for (int d = 0; d < g.dim; d++) {
        if (rep[d] < 0) return -1;
        start[d] = rep[d];
        step[d] = pyr_step(g.s[d]);
    }
    if (start[0] >= g.jmax[0]) return 0;
    pyr_rows(g.dim, start, step, g.jmax, [&](const int64_t* j) {
        int64_t src = pyr_fine_row(g, j);
        int64_t dst = pyr_coarse_row(g, j) + (start[0] >> g.s[0]);
        for (int64_t j0 = start[0]; j0 < g.jmax[0]; j0 += step[0])
            put(dst++, src + j0);
    });
    return 0;
}

// One row of representatives: o[i] = s[i * step], with the usual steps unrolled for the compiler.
template <class T>
inline void pyr_pick_row(T* __restrict o, const T* __restrict s, int64_t n, int64_t step) {
    if (step == 1) {
        std::copy(s, s + n, o);
    } else if (step == 2) {
        for (int64_t i = 0; i < n; i++)
            o[i] = s[2 * i];
    } else {
        for (int64_t i = 0; i < n; i++)
            o[i] = s[i * step];
    }
}

template <class T>
int pyr_thinned_rep_values(const PYR_GEOM& g, const int* rep, void* dest, void* src) {
    int64_t start[MXT_MAX_DIM], step[MXT_MAX_DIM];
    for (int d = 0; d < g.dim; d++) {
        if (rep[d] < 0) return -1;
        start[d] = rep[d];
        step[d] = pyr_step(g.s[d]);
    }
    if (start[0] >= g.jmax[0]) return 0;
    int64_t n = g.s[0] >= 32 ? 1 : (g.jmax[0] - start[0] + step[0] - 1) >> g.s[0];
    T* dv = pyr_values<T>(dest) + g.base[0] + (start[0] >> g.s[0]);
    const T* sv = pyr_values<T>(src) + start[0];
    if (g.dim == 2) {
        // Planes, the common case, without counting rows off dimension by dimension.
        for (int64_t j1 = start[1]; j1 < g.jmax[1]; j1 += step[1])
            pyr_pick_row(dv + (g.base[1] + (j1 >> g.s[1])) * g.st_coarse[1], sv + j1 * g.st_fine[1],
                         n, step[0]);
        return 0;
    }
    pyr_rows(g.dim, start, step, g.jmax, [&](const int64_t* j) {
        pyr_pick_row(dv + pyr_coarse_row(g, j) - g.base[0], sv + pyr_fine_row(g, j), n, step[0]);
    });
    return 0;
}

// Adds one fine row to the sums of its cells along dimension 0 (the first row of a group sets
// them), element by element in index order, so floating sums round as a plain loop's would.
template <class A, class T>
inline void pyr_sum_row(A* __restrict a, const T* __restrict row, int64_t n0, int64_t step0,
                        bool first) {
    if (step0 == 1) {
        if (first)
            for (int64_t i = 0; i < n0; i++)
                a[i] = row[i];
        else
            for (int64_t i = 0; i < n0; i++)
                a[i] += row[i];
    } else if (step0 == 2) {
        int64_t full = n0 / 2;
        if (first) {
            for (int64_t i = 0; i < full; i++) {
                A x = row[2 * i];
                x += row[2 * i + 1];
                a[i] = x;
            }
            if (n0 & 1) a[full] = row[n0 - 1];
        } else {
            for (int64_t i = 0; i < full; i++) {
                A x = a[i];
                x += row[2 * i];
                x += row[2 * i + 1];
                a[i] = x;
            }
            if (n0 & 1) a[full] += row[n0 - 1];
        }
    } else {
        for (int64_t i = 0, t = 0; t < n0; i++) {
            int64_t e = std::min(t + step0, n0);
            A x = first ? A(row[t++]) : a[i];
            for (; t < e; t++)
                x += row[t];
            a[i] = x;
        }
    }
}

// out[i] = the mean of r0[2i], r0[2i + 1], r1[2i], r1[2i + 1], summed in that order.
template <class Tr, class A, class T>
inline void pyr_mean_2x2(T* __restrict out, const T* __restrict r0, const T* __restrict r1,
                         int64_t n, int bits) {
    if constexpr (std::is_floating_point_v<A>) {
        A scale = std::ldexp(A{1}, -bits);
        for (int64_t i = 0; i < n; i++) {
            A x = r0[2 * i];
            x += r0[2 * i + 1];
            x += r1[2 * i];
            x += r1[2 * i + 1];
            out[i] = static_cast<T>(x * scale);
        }
    } else {
        if constexpr (requires(T * o, const T* a) { Tr::mean_2x2_quarter(o, a, a, int64_t{0}); }) {
            // A type that can take the quarter of four values in one go.
            if (bits == 2) {
                Tr::mean_2x2_quarter(out, r0, r1, n);
                return;
            }
        }
        auto run = [&](int k) {
            for (int64_t i = 0; i < n; i++) {
                A x = r0[2 * i];
                x += r0[2 * i + 1];
                x += r1[2 * i];
                x += r1[2 * i + 1];
                out[i] = Tr::mean_pow2(x, k);
            }
        };
        // Four values to a cell is the common case; a constant shift keeps the lanes narrow.
        if (bits == 2)
            run(2);
        else
            run(bits);
    }
}

// Thinning by average. Tr gives T (the value), Acc (the sum, Acc += T), Acc32 and Acc16 (narrower
// sums that hold any group of at most 65536 and 256 values) and mean(sum, count), mean_pow2(sum,
// log2 count).
template <class Tr, class Acc>
int pyr_thinned_avg_with(const PYR_GEOM& g, void* dest, void* src) {
    using T = typename Tr::T;
    T* dv = pyr_values<T>(dest);
    const T* sv = pyr_values<T>(src);
    int64_t zero[MXT_MAX_DIM] = {0}, step[MXT_MAX_DIM];
    int bits = 0;  // log2 of a full cell's count
    for (int d = 0; d < g.dim; d++) {
        step[d] = pyr_step(g.s[d]);
        bits += g.s[d];
    }
    int64_t n0 = g.jmax[0];
    if (n0 <= 0) return 0;
    int64_t cells0 = g.s[0] >= 32 ? 1 : (n0 + step[0] - 1) >> g.s[0];
    std::vector<Acc> acc(cells0);
    pyr_rows(g.dim, zero, step, g.jmax, [&](const int64_t* o) {
        // The rows of this group.
        int64_t gstart[MXT_MAX_DIM], gend[MXT_MAX_DIM], one[MXT_MAX_DIM];
        int64_t rows = 1;
        bool full_rows = true;
        for (int d = 1; d < g.dim; d++) {
            gstart[d] = o[d];
            gend[d] = std::min(o[d] + step[d], g.jmax[d]);
            one[d] = 1;
            rows *= gend[d] - gstart[d];
            full_rows = full_rows && gend[d] - gstart[d] == step[d];
        }
        T* out = dv + pyr_coarse_row(g, o);
        if (rows == 2 && step[0] == 2 && full_rows && !(n0 & 1) && bits < 62) {
            // Two rows of cells two wide (one level up with dim_divide 1): one pass.
            const T* rp[2];
            int k = 0;
            pyr_rows(g.dim, gstart, one, gend,
                     [&](const int64_t* r) { rp[k++] = sv + pyr_fine_row(g, r); });
            pyr_mean_2x2<Tr, Acc>(out, rp[0], rp[1], n0 / 2, bits);
            return;
        }
        bool first = true;
        pyr_rows(g.dim, gstart, one, gend, [&](const int64_t* r) {
            pyr_sum_row(acc.data(), sv + pyr_fine_row(g, r), n0, step[0], first);
            first = false;
        });
        const Acc* a = acc.data();
        // Full cells count 2^bits values: a shift (or an exact scaling) instead of a division.
        int64_t full = full_rows && bits < 62 && g.s[0] < 32 ? n0 >> g.s[0] : 0;
        if constexpr (std::is_floating_point_v<Acc>) {
            // Scaling by an exact power of two gives the quotient's very bits.
            Acc scale = std::ldexp(Acc{1}, -bits);
            for (int64_t i = 0; i < full; i++)
                out[i] = static_cast<T>(a[i] * scale);
        } else {
            for (int64_t i = 0; i < full; i++)
                out[i] = Tr::mean_pow2(a[i], bits);
        }
        for (int64_t i = full; i < cells0; i++) {
            int64_t c0 = std::min(step[0], n0 - (i << g.s[0]));
            out[i] = Tr::mean(a[i], c0 * rows);
        }
    });
    return 0;
}

template <class Tr>
int pyr_thinned_avg(const PYR_GEOM& g, void* dest, void* src) {
    int64_t group = 1;
    for (int d = 0; d < g.dim && group <= 65536; d++)
        group *= std::min(pyr_step(g.s[d]), std::max<int64_t>(g.jmax[d], 1));
    if (group <= 256) return pyr_thinned_avg_with<Tr, typename Tr::Acc16>(g, dest, src);
    if (group <= 65536) return pyr_thinned_avg_with<Tr, typename Tr::Acc32>(g, dest, src);
    return pyr_thinned_avg_with<Tr, typename Tr::Acc>(g, dest, src);
}

// dest(j) = op(coarse(mapped j), fine(j)) for every fine j; dest has the fine vector's shape.
template <class T, class OP>
void pyr_spread(const PYR_GEOM& g, void* dest, void* coarse, void* fine, OP&& op) {
    T* dv = pyr_values<T>(dest);
    const T* cv = pyr_values<T>(coarse);
    const T* fv = pyr_values<T>(fine);
    int64_t zero[MXT_MAX_DIM] = {0}, one[MXT_MAX_DIM];
    for (int d = 0; d < g.dim; d++)
        one[d] = 1;
    int64_t n0 = g.jmax[0];
    if (n0 <= 0) return;
    int64_t step0 = pyr_step(g.s[0]);
    pyr_rows(g.dim, zero, one, g.jmax, [&](const int64_t* j) {
        int64_t fo = pyr_fine_row(g, j);
        const T* c = cv + pyr_coarse_row(g, j);
        const T* f = fv + fo;
        T* o = dv + fo;
        if (step0 == 1) {
            for (int64_t t = 0; t < n0; t++)
                o[t] = op(c[t], f[t]);
            return;
        }
        for (int64_t t = 0, i = 0; t < n0; i++) {
            T a = c[i];
            int64_t e = std::min(t + step0, n0);
            for (; t < e; t++)
                o[t] = op(a, f[t]);
        }
    });
}

// The checks of v_add and v_sub: the three vectors of tp's type and the matrix's dim, dest of
// the fine vector's sizes, a level of at least 1. 0 when they pass, else -1.
int pyr_spread_check(MATRIX_DATA_TYPE* tp, MATRIX* m, int64_t* dim_code, void* dest, void* src1,
                     void* src2);
