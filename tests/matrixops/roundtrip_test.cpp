// Every element type reads back from its net form byte for byte, over random shapes and values.
#include <random>

#include "mtx_test_util.h"

namespace {

using RoundTrip = MtxTest;

std::vector<int> random_shape(std::mt19937& rng) {
    std::vector<int> sizes(rng() % 5);  // dim 0 to 4
    for (int& s : sizes)
        s = static_cast<int>(rng() % 5);  // sizes from 0
    return sizes;
}

void fill_random(std::mt19937& rng, uint8_t* p, int64_t n) {
    for (int64_t i = 0; i < n; i++)
        p[i] = static_cast<uint8_t>(rng());
}

std::string random_text(std::mt19937& rng) {
    std::string t(1 + rng() % 6, 'x');
    for (char& ch : t)
        ch = static_cast<char>(1 + rng() % 255);
    return t;
}

// A random element of tp (tracked).
void* random_element(std::mt19937& rng, MATRIX_DATA_TYPE* tp) {
    if (tp->type == MXT_BLOCK) {
        std::string b(rng() % 9, '\0');
        fill_random(rng, reinterpret_cast<uint8_t*>(b.data()), b.size());
        MATRIX_BLOCK rec{{0, MXT_BLOCK, 0},
                         static_cast<int32_t>(b.size()),
                         reinterpret_cast<uint8_t*>(b.data())};
        return tp->alloc_data(tp, MXA_TRACKED, &rec, nullptr, __FILE__, __LINE__);
    }
    if (tp->type == MXT_STRING) return copy_str(random_text(rng).c_str());
    if (!tp->parent) {
        int n = tp->get_size(tp, nullptr);
        auto* p = static_cast<uint8_t*>(d_alloc(n));
        fill_random(rng, p, n);
        return p;
    }
    std::vector<int> sizes = random_shape(rng);
    void* v = make_vec<uint8_t>(tp, sizes);
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    if (tp->type == MXT_STRING + MXT_VECTOR) {
        char** s = reinterpret_cast<char**>(dh.offset);
        for (int64_t i = 0; i < dh.total_element; i++)
            s[i] = rng() % 3 ? copy_str(random_text(rng).c_str()) : nullptr;
    } else {
        fill_random(rng, dh.offset, tp->get_size(tp, v) - dh.hd->offset);
    }
    return v;
}

TEST_F(RoundTrip, HostNetHostKeepsEveryByte) {
    std::mt19937 rng(20261207);
    for (int code = 1; code < MXT_TYPE_MAX; code++) {
        MATRIX_DATA_TYPE* tp = get_matrix_data_type(code);
        if (!tp || !tp->convert_to_net) continue;
        for (int round = 0; round < 40; round++) {
            void* e = random_element(rng, tp);
            ASSERT_NE(e, nullptr) << tp->type_name;
            std::string net = net_form(tp, e);
            void* back = from_net(tp, net);
            ASSERT_NE(back, nullptr) << tp->type_name << " round " << round;
            EXPECT_EQ(tp->cmp(tp, e, back), 0) << tp->type_name;
            if (tp->type == MXT_STRING + MXT_VECTOR) {
                MATRIX_DH_SET a, b;
                get_matrix_dh_set(&a, e);
                get_matrix_dh_set(&b, back);
                EXPECT_EQ(memcmp(e, back, a.hd->offset), 0);
                for (int64_t i = 0; i < a.total_element; i++) {
                    char* x = reinterpret_cast<char**>(a.offset)[i];
                    char* y = reinterpret_cast<char**>(b.offset)[i];
                    EXPECT_EQ(x ? std::string(x) : "", y ? std::string(y) : "");
                }
            } else if (tp->type == MXT_BLOCK) {
                auto *x = static_cast<MATRIX_BLOCK*>(e), *y = static_cast<MATRIX_BLOCK*>(back);
                ASSERT_EQ(x->size, y->size);
                EXPECT_EQ(memcmp(x->block, y->block, x->size), 0);
            } else {
                int n = tp->get_size(tp, e);
                ASSERT_EQ(n, tp->get_size(tp, back)) << tp->type_name;
                EXPECT_EQ(memcmp(e, back, n), 0) << tp->type_name;
                // The net form is as long as the element and the slots convert it in place.
                EXPECT_EQ(static_cast<int>(net.size()), n);
                if (tp->parent) {
                    tp->endian_to_net(back);
                    EXPECT_EQ(memcmp(back, net.data(), n), 0) << tp->type_name;
                    tp->endian_to_host(back);
                    EXPECT_EQ(memcmp(e, back, n), 0) << tp->type_name;
                }
            }
            tp->free_data(tp, e);
            tp->free_data(tp, back);
        }
    }
}

TEST_F(RoundTrip, InPlaceConversionGivesWhatTheCopyingOneGives) {
    // Every vector type of one contiguous block turns its net form to host form where it lies;
    // bytes that are not one sound element of exactly the given size are refused untouched.
    std::mt19937 rng(7);
    int types = 0;
    for (int code = 1; code < MXT_TYPE_MAX; code++) {
        MATRIX_DATA_TYPE* tp = get_matrix_data_type(code);
        if (!tp) continue;
        bool contiguous = tp->parent && code != MXT_STRING + MXT_VECTOR;
        EXPECT_EQ(tp->convert_to_host_in_place != nullptr, contiguous || code == MXT_BLOCK)
            << tp->type_name;
        if (!contiguous) continue;
        types++;
        for (int round = 0; round < 40; round++) {
            void* e = random_element(rng, tp);
            std::string net = net_form(tp, e);
            auto n = static_cast<int64_t>(net.size());
            for (int64_t size : {n - 1, n + 1}) {
                std::string buf = net + "x";
                std::string before = buf;
                EXPECT_EQ(tp->convert_to_host_in_place(tp, buf.data(), size), nullptr);
                EXPECT_EQ(buf, before) << tp->type_name;
            }
            std::string wrong = net;
            wrong[1] = static_cast<char>(code == MXT_DOUBLE + MXT_VECTOR ? MXT_FLOAT + MXT_VECTOR
                                                                         : MXT_DOUBLE + MXT_VECTOR);
            EXPECT_EQ(tp->convert_to_host_in_place(tp, wrong.data(), n), nullptr);
            auto* b = static_cast<uint8_t*>(d_alloc(n));
            memcpy(b, net.data(), n);
            ASSERT_EQ(tp->convert_to_host_in_place(tp, b, n), b) << tp->type_name;
            ASSERT_EQ(tp->get_size(tp, b), tp->get_size(tp, e));
            EXPECT_EQ(memcmp(b, e, n), 0) << tp->type_name;
            tp->free_data(tp, b);
            tp->free_data(tp, e);
        }
    }
    EXPECT_EQ(types, 12);  // the eight integer, float, double, rgb8 and bit vectors
    // A block of any size takes over the buffer its bytes were read into: the element's record
    // owns it from then on (freeing the element frees it once).
    MATRIX_DATA_TYPE* tp = &mx_type_block;
    EXPECT_EQ(tp->convert_to_host_in_place(tp, nullptr, 0), nullptr);
    for (int round = 0; round < 40; round++) {
        void* e = random_element(rng, tp);
        std::string net = net_form(tp, e);
        auto n = static_cast<int64_t>(net.size());
        auto* b = static_cast<uint8_t*>(d_alloc(n));
        memcpy(b, net.data(), n);
        auto* r = static_cast<MATRIX_BLOCK*>(tp->convert_to_host_in_place(tp, b, n));
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->h.type, MXT_BLOCK);
        EXPECT_EQ(r->size, n);
        EXPECT_EQ(r->block, b);
        EXPECT_EQ(tp->cmp(tp, e, r), 0);
        tp->free_data(tp, r);
        tp->free_data(tp, e);
    }
}

}  // namespace
