// Helpers of the numeric tests: a synthetic store behind the interpolating readers' element
// reader (cell values of functions of the level-0 position, blocks and their edges as the cache
// checks them), output capture, and a fixture with the tables and a cache.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "matrix/matrix.h"
#include "matrix/mx_cache.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_types.h"
#include "matrixops/mx_interp.h"
#include "matrixops/mx_solve.h"
#include "stream/sprintf.h"
#include "stream/stream.h"
#include "stream/string_stream.h"

namespace numer_test {

using Fn = std::function<double(const double* x)>;

// A matrix of `dim` dimensions: dim_divide 1, blocks of 2^bs, `extent` cells at level 0, each
// level up halving it (rounding up); channel i holds fn[i] of the cell's lower edge in level-0
// units, as doubles, or as floats with `as_float`.
struct FakeStore {
    MATRIX m{};
    std::vector<uint8_t> dd, bsz;
    std::vector<int64_t> px;
    std::vector<std::vector<int64_t>> lv;
    std::vector<int64_t*> lvp;
    std::vector<Fn> fn;
    bool as_float = false;
    int64_t reads = 0;

    FakeStore(int dim, int bs, int64_t extent, int levels, std::vector<Fn> f) : fn(std::move(f)) {
        dd.assign(dim, 1);
        bsz.assign(dim, static_cast<uint8_t>(bs));
        px.assign(dim, extent);
        for (int l = 0; l < levels; l++)
            lv.emplace_back(dim, (extent + (int64_t{1} << l) - 1) >> l);
        for (auto& e : lv)
            lvp.push_back(e.data());
        m.p.dim = dim;
        m.p.channel_nos = static_cast<int>(fn.size());
        m.total_levels = levels;
        m.dim_divide = dd.data();
        m.block_size = bsz.data();
        m.pixel_size = px.data();
        m.pixel_size_list = lvp.data();
    }

    // The element reader: the block-bounds rule of the cache, with flags bit 0 reading a cell
    // past the block from the node that holds it.
    int read(MX_CACHE_PARAM* q) {
        reads++;
        int dim = m.p.dim;
        int64_t level = q->dc[0];
        if (level < 0 || level >= m.total_levels) return -1;
        std::vector<double> pos(dim);
        for (int d = 0; d < dim; d++) {
            int sh = static_cast<int>(level);
            int64_t cell = (q->dc[d + 1] >> sh) + (q->ofs ? q->ofs[d] : 0);
            int64_t origin = (q->dc[d + 1] >> sh) & ~((int64_t{1} << bsz[d]) - 1);
            int64_t in_block = cell - origin;
            int64_t block_len = std::min<int64_t>(int64_t{1} << bsz[d], lv[level][d] - origin);
            if (cell < 0 || cell >= lv[level][d]) return -1;  // no node there
            if (!(q->flags & 1) && in_block >= block_len) return -1;
            pos[d] = static_cast<double>(cell << sh);
        }
        for (size_t i = 0; i < fn.size(); i++) {
            MX_CACHE_PARAM_IX e = q->data_ix[i];
            if (e.x == 65535) continue;
            double v = fn[i](pos.data());
            auto* base = static_cast<uint8_t*>(q->data_ptrs[e.p]);
            if (as_float) {
                float f = static_cast<float>(v);
                memcpy(base + 4 * e.x, &f, 4);
            } else {
                memcpy(base + 8 * e.x, &v, 8);
            }
        }
        return 0;
    }
};

inline FakeStore* current_store = nullptr;
inline int fake_read(MX_CACHE_PARAM* q) {
    return current_store->read(q);
}

// The text that f writes on the standard output.
inline std::string capture(const std::function<void()>& f) {
    STREAM* saved = s_stdout;
    STREAM* st = s_open_string_write(std_cm);
    s_stdout = st;
    f();
    s_stdout = saved;
    const char* s = s_get_string(st);
    std::string r = s ? s : "";
    s_close(st);
    return r;
}

// A double vector with the given sizes and values from the cache.
inline void* dvec(MX_CACHE* c, std::vector<int> sizes, std::vector<double> v) {
    void* r = mxt_new_vector(&mx_type_double_v, static_cast<int>(sizes.size()), sizes.data(), c);
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, r);
    memset(dh.offset, 0, 8 * dh.total_element);
    memcpy(dh.offset, v.data(), 8 * std::min<size_t>(v.size(), dh.total_element));
    return r;
}

inline std::vector<double> dvals(void* v) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    std::vector<double> r(dh.total_element);
    memcpy(r.data(), dh.offset, 8 * r.size());
    return r;
}

inline std::vector<int> sizes_of(void* v) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    return std::vector<int>(dh.ix, dh.ix + dh.hd->dim);
}

class NumerTest : public testing::Test {
  protected:
    void SetUp() override {
        register_matrix_types();
        mxc_setup(&c);
        saved_hook = mx_ip_read_hook;
        mx_ip_read_hook = fake_read;
    }
    void TearDown() override {
        mxc_close(&c);
        mx_ip_read_hook = saved_hook;
        current_store = nullptr;
    }
    // Puts the cache on store s with its channels routed to buffer 0, channel i to slot i.
    void use(FakeStore& s) {
        current_store = &s;
        c.m = &s.m;
        c.ds_len = static_cast<int>(s.fn.size());
        ix.assign(s.fn.size(), MX_CACHE_PARAM_IX{0, 0});
        for (size_t i = 0; i < ix.size(); i++)
            ix[i].x = static_cast<uint16_t>(i);
    }
    // A parameter block for a point at `level`.
    MX_CACHE_PARAM at(double* coords, int level, void* out, int flags = 0) {
        MX_CACHE_PARAM p{};
        p.c = &c;
        p.data_ix = ix.data();
        p.inp_buf = coords;
        p.inp_level = level;
        p.data_ptrs[0] = out;
        p.flags = flags;
        return p;
    }
    MX_CACHE c{};
    std::vector<MX_CACHE_PARAM_IX> ix;
    int (*saved_hook)(MX_CACHE_PARAM*) = nullptr;
};

// The number of blocks in a cache's pool: flat across reads when the readers give back every
// temporary they take.
inline int64_t pooled_blocks(const MX_CACHE& c) {
    int64_t k = 0;
    for (int i = 0; i < c.mblk_hashsize; i++)
        for (MBLK* b = c.mblk_hash[i]; b; b = b->next)
            k++;
    return k;
}

}  // namespace numer_test
