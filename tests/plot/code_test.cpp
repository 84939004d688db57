// The plot code: exact bytes of points with and without ids, bases and fields, Morton order,
// round trips with and without a pool, and damaged codes refused without a crash.
#include <vector>

#include "plot_util.h"

using namespace plottest;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const PLOT_MATRIX& m, const INTERNAL_PLOT* ip) {
    int64_t n = 0;
    uint8_t* b = internal2code(&n, &m, ip);
    Bytes r(b, b + n);
    d_f_ree(b);
    return r;
}

TEST(PlotCode, ExactBytes) {
    PLOT_MATRIX m = geometry(2, 10, 1);
    EXPECT_EQ(encode(m, nullptr), Bytes{0});
    uint32_t err = 1;
    uint8_t zero = 0;
    EXPECT_EQ(code2internal(&m, &zero, 1, nullptr, &err), nullptr);
    EXPECT_EQ(err, 0u);

    INTERNAL_PLOT* a = point(m, {0x102, 3});
    INTERNAL_PLOT* b = point(m, {4, 5}, IP_MADE, 0x0a0b, {1, -1});
    b->fields = new_fields(2);  // entry 0 none: one byte; entry 1 an erased text: one byte
    b->fields[1].type = FD_STR_ERASE;
    a->next = b;
    Bytes want = {0x01, 0,    0x01, 0x02, 0,    3,    0,  // a
                  0x61, 0,    0,    4,    0,    5,        // b: flags, c
                  0,    0,    0,    0,    0,    0,    0,    1,
                  0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,  // base
                  0,    0,    0,    0,    0,    0,    0x0a, 0x0b,  // id
                  0x10, 0x22, 0,                                   // fields
                  0};
    EXPECT_EQ(encode(m, a), want);
    int64_t n = 0;
    uint8_t* one = one_internal2code(&n, &m, a);
    EXPECT_EQ(Bytes(one, one + n), Bytes(want.begin(), want.begin() + 7));
    d_f_ree(one);

    INTERNAL_PLOT* back =
        code2internal(&m, want.data(), static_cast<int64_t>(want.size()), nullptr, &err);
    ASSERT_EQ(err, 0u);
    b->flags |= IP_ID;  // written with the id
    EXPECT_TRUE(internal_plot_equal(&m, a, back));
    EXPECT_EQ(back->base, nullptr);
    EXPECT_EQ(get_internal_plot_len(back), 2);
    EXPECT_EQ(get_internal_plot_len(nullptr), 0);
    free_internal_plot_list(back);
    free_internal_plot_list(a);
    free_internal_plot(nullptr);
}

TEST(PlotCode, DiagnosticTexts) {
    PLOT_MATRIX m = geometry(2, 8, 1);
    INTERNAL_PLOT* list =
        chain({point(m, {2, 3}, IP_MADE, 0, {int64_t{5} << 32, 0}), point(m, {1, 0x1f})});
    StdoutText out;
    print_internal_plot(&m, list, "L");
    EXPECT_EQ(out.text(), "L (21 : 2 3  : 5 0 )(1 : 1 1f  : )\n");
    check_internal_plot(&m, list, "ok");  // sorted, known field types: no stop
    free_internal_plot_list(list);
}

TEST(PlotCode, MortonOrder) {
    PLOT_MATRIX m = geometry(2, 3, 1);
    m.block_size[1] = 2;
    uint16_t p[] = {4, 0}, q[] = {0, 3};
    EXPECT_EQ(cmp_plot(&m, p, q), 1);
    EXPECT_EQ(cmp_plot(&m, q, p), -1);
    EXPECT_EQ(cmp_plot(&m, p, p), 0);
    // Bits above the block size do not count.
    uint16_t hi[] = {4 | 0x100, 0};
    EXPECT_EQ(cmp_plot(&m, p, hi), 0);
    // The keys order as cmp_plot does.
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; i++) {
        PLOT_MATRIX g =
            geometry(1 + static_cast<int>(rng() % 3), 1 + static_cast<int>(rng() % 12), 0);
        g.block_size[0] = static_cast<uint8_t>(1 + rng() % 12);
        uint16_t x[3], y[3];
        for (int k = 0; k < 3; k++) {
            x[k] = static_cast<uint16_t>(rng() % (1u << g.block_size[k]));
            y[k] = rng() % 4 ? static_cast<uint16_t>(rng() % (1u << g.block_size[k])) : x[k];
        }
        uint64_t kx = 0, ky = 0;
        ASSERT_TRUE(plot_morton_key(&g, x, &kx) && plot_morton_key(&g, y, &ky));
        int want = kx < ky ? -1 : kx > ky ? 1 : 0;
        ASSERT_EQ(cmp_plot(&g, x, y), want);
    }
}

TEST(PlotCode, RoundTripsWithAndWithoutPool) {
    std::mt19937 rng(11);
    SIMPLE_ALLOC_T pool{};
    for (int round = 0; round < 300; round++) {
        PLOT_MATRIX m = geometry(1 + static_cast<int>(rng() % 4), 6, 2);
        INTERNAL_PLOT* list = random_list(m, rng, static_cast<int>(rng() % 12), 64);
        Bytes code = encode(m, list);
        uint32_t err = 0;
        INTERNAL_PLOT* tracked =
            code2internal(&m, code.data(), static_cast<int64_t>(code.size()), nullptr, &err);
        ASSERT_EQ(err, 0u);
        INTERNAL_PLOT* pooled =
            code2internal(&m, code.data(), static_cast<int64_t>(code.size()), &pool, &err);
        ASSERT_EQ(err, 0u);
        // Flags gain 0x40 where an id is present; nothing else changes.
        for (INTERNAL_PLOT* p = list; p; p = p->next)
            if (p->id) p->flags |= IP_ID;
        EXPECT_TRUE(internal_plot_equal(&m, list, tracked));
        EXPECT_TRUE(internal_plot_equal(&m, list, pooled));
        EXPECT_EQ(encode(m, pooled), code);
        free_internal_plot_list(tracked);
        free_internal_plot_list(list);
    }
    free_smp(&pool);
}

TEST(PlotCode, DamagedCodesAreRefused) {
    PLOT_MATRIX m = geometry(2, 8, 1);
    INTERNAL_PLOT* a = point(m, {1, 2}, IP_MADE, 77, {3, 4});
    a->fields = new_fields(3);
    set_str(&a->fields[0], FD_STR, "text");
    set_int(&a->fields[1], FD_INT_AVG, 5, 6);
    set_rgba(&a->fields[2], 0x01020304, 2);
    a->next = point(m, {9, 9});
    Bytes code = encode(m, a);
    SIMPLE_ALLOC_T pool{};
    // Every cut short of the end is refused, with and without a pool.
    for (size_t cut = 0; cut < code.size(); cut++) {
        for (SIMPLE_ALLOC_T* sat : {static_cast<SIMPLE_ALLOC_T*>(nullptr), &pool}) {
            uint32_t err = 0;
            INTERNAL_PLOT* r = code2internal(&m, code.data(), static_cast<int64_t>(cut), sat, &err);
            EXPECT_EQ(r, nullptr) << cut;
            EXPECT_EQ(err, PLOT_ERR_CODE) << cut;
        }
    }
    // Field types outside the nine codes, and an id flag with id 0.
    for (uint8_t t : {0x00 + 0x05, 0x30, 0x35, 0x23, 0x50, 0xf0}) {
        Bytes bad = {0x01, 0, 0, 1, 0, 2, t, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        uint32_t err = 0;
        EXPECT_EQ(code2internal(&m, bad.data(), static_cast<int64_t>(bad.size()), nullptr, &err),
                  nullptr);
        EXPECT_EQ(err, PLOT_ERR_CODE) << int(t);
    }
    Bytes beyond = {0x01, 0, 0x01, 0, 0, 2, 0, 0};  // 256 in an 8-bit block
    uint32_t e2 = 0;
    EXPECT_EQ(code2internal(&m, beyond.data(), static_cast<int64_t>(beyond.size()), nullptr, &e2),
              nullptr);
    EXPECT_EQ(e2, PLOT_ERR_CODE);
    Bytes zero_id = {0x41, 0, 0, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    uint32_t err = 0;
    EXPECT_EQ(
        code2internal(&m, zero_id.data(), static_cast<int64_t>(zero_id.size()), nullptr, &err),
        nullptr);
    EXPECT_EQ(err, PLOT_ERR_CODE);
    free_smp(&pool);
    free_internal_plot_list(a);
}

}  // namespace
