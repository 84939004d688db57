// Helpers of the element-type tests: vectors built from values, net forms as byte strings, a
// matrix geometry for the pyramid handlers, and a fixture with a root frame and the tables.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "lisp/heap.h"
#include "matrix/matrix.h"
#include "matrix/mtx_type.h"
#include "matrix/mx_cache.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_types.h"
#include "pdb/recordlist64.h"

// A tracked vector of tp with the given sizes and values (as many as given, in index order).
template <class T>
void* make_vec(MATRIX_DATA_TYPE* tp, std::vector<int> sizes, std::vector<T> values = {}) {
    MATRIX_ALLOC_VECTOR_PARAM vp{static_cast<int>(sizes.size()), sizes.data(), nullptr, nullptr};
    void* v = tp->alloc_data(tp, MXA_TRACKED, &vp, nullptr, __FILE__, __LINE__);
    if (v && !values.empty()) {
        MATRIX_DH_SET dh;
        get_matrix_dh_set(&dh, v);
        memcpy(dh.offset, values.data(), values.size() * sizeof(T));
    }
    return v;
}

template <class T>
std::vector<T> values_of(void* v) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    std::vector<T> r(dh.total_element);
    memcpy(r.data(), dh.offset, r.size() * sizeof(T));
    return r;
}

inline std::vector<int> sizes_of(void* v) {
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    return std::vector<int>(dh.ix, dh.ix + dh.hd->dim);
}

// The net form of d through its table.
inline std::string net_form(MATRIX_DATA_TYPE* tp, void* d) {
    RECORD_LIST64* rl = new_recordlist64(0, 0);
    tp->convert_to_net(tp, rl, d);
    int64_t n = setup_recordlist64(rl);
    std::string r(reinterpret_cast<char*>(rl->data), n);
    free_recordlist64(rl);
    return r;
}

inline std::string bytes(std::initializer_list<int> b) {
    std::string r;
    for (int x : b)
        r += static_cast<char>(x);
    return r;
}

inline void* from_net(MATRIX_DATA_TYPE* tp, const std::string& s) {
    return tp->convert_to_host(tp, const_cast<char*>(s.data()), static_cast<int64_t>(s.size()),
                               MXA_TRACKED, nullptr, __FILE__, __LINE__);
}

// A matrix of `dim` dimensions: dim_divide 1, block_size bs, extent `extent` at level 0 (each
// level up halves it, rounding up), `levels` levels.
struct TestMatrix {
    MATRIX m{};
    std::vector<uint8_t> dd, bsz;
    std::vector<int64_t> px;
    std::vector<std::vector<int64_t>> lv;
    std::vector<int64_t*> lvp;
    TestMatrix(int dim, int bs, int64_t extent, int levels = 4) {
        dd.assign(dim, 1);
        bsz.assign(dim, static_cast<uint8_t>(bs));
        px.assign(dim, extent);
        for (int l = 0; l < levels; l++) {
            std::vector<int64_t> e(dim);
            for (int d = 0; d < dim; d++)
                e[d] = (extent + (int64_t{1} << l) - 1) >> l;
            lv.push_back(e);
        }
        for (auto& e : lv)
            lvp.push_back(e.data());
        m.p.dim = dim;
        m.total_levels = levels;
        m.dim_divide = dd.data();
        m.block_size = bsz.data();
        m.pixel_size = px.data();
        m.pixel_size_list = lvp.data();
    }
};

// Every test: a root frame for language values, the tables registered, a matrix cache.
class MtxTest : public testing::Test {
  protected:
    void SetUp() override {
        register_matrix_types();
        gc_push(nullptr, nullptr, "mtx");
        mxc_setup(&c);
    }
    void TearDown() override {
        mxc_close(&c);
        gc_pop(nullptr, nullptr);
    }
    MX_CACHE c{};
};
