// The plot block: stored forms plain and compressed, refreshing from bytes, the operations with
// their results and update stamps, nearest-neighbour distances against a brute-force search, the
// cell index, the divide check, and lists mixing pool and tracked points.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "matrixops/plot_block.h"
#include "plot_util.h"

using namespace plottest;

namespace {

using Bytes = std::vector<uint8_t>;

struct Node {
    int touched = 0;
    static void touch(void* n, int) { static_cast<Node*>(n)->touched++; }
};

struct Place {
    PLOT_MATRIX m;
    int64_t dc[1 + PLOT_DIM_MAX] = {0};
    Node node;
    PP_PLACE p{};
    explicit Place(PLOT_MATRIX g) : m(g) { p = {&m, &node, 3, dc, Node::touch}; }
};

Bytes stored(PP_STRUCT_BLOCK* b) {
    int64_t n = 0;
    uint8_t* s = pp_struct2block(b, &n);
    Bytes r(s, s + n);
    d_f_ree(s);
    return r;
}

int brute_nearest(const PLOT_MATRIX& m, INTERNAL_PLOT* list, INTERNAL_PLOT* p) {
    int best = -1;
    for (INTERNAL_PLOT* q = list; q; q = q->next) {
        if (q == p) continue;
        int d = 0;
        for (int k = 0; k < m.dim; k++)
            d += std::abs(p->c[k] - q->c[k]);
        if (best < 0 || d < best) best = d;
    }
    return best;
}

TEST(PlotBlock, StoredFormsRoundTrip) {
    std::mt19937 rng(5);
    for (int round = 0; round < 200; round++) {
        Place pl(geometry(1 + static_cast<int>(rng() % 4), 8, 1));
        int flags = static_cast<int>(rng() % 4);
        PP_SB_NEW empty{nullptr, 0, flags};
        PP_STRUCT_BLOCK* b = pp_new_sb(&pl.p, &empty);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->plot, nullptr);
        if (round == 0) {
            b->flags = 0;
            EXPECT_EQ(stored(b), Bytes{0});
            b->flags = PP_ZLIB;
            int64_t n = 0;
            Bytes z = stored(b);
            uint8_t* raw = pp_inflate(z.data(), static_cast<int64_t>(z.size()), &n);
            EXPECT_EQ(Bytes(raw, raw + n), (Bytes{13, 0}));
            d_f_ree(raw);
            b->flags = flags;
        }
        ASSERT_EQ(pp_operation(7, b, random_list(pl.m, rng, static_cast<int>(rng() % 30), 256)), 0);
        Bytes s = stored(b);
        PP_SB_NEW from{s.data(), static_cast<int64_t>(s.size()), flags};
        PP_STRUCT_BLOCK* c = pp_new_sb(&pl.p, &from);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(get_internal_plot_len(b->plot), get_internal_plot_len(c->plot));
        EXPECT_EQ(stored(c), s);
        // Refreshing from the same bytes gives the same points; damaged bytes keep the old list.
        ASSERT_EQ(pp_block2struct(c, s.data(), static_cast<int64_t>(s.size())), 0);
        EXPECT_EQ(stored(c), s);
        Bytes cut(s.begin(), s.end() - 1);
        EXPECT_EQ(pp_block2struct(c, s.data(), static_cast<int64_t>(cut.size())), -1);
        EXPECT_EQ(stored(c), s);
        PP_SB_NEW bad{s.data(), static_cast<int64_t>(cut.size()), flags};
        EXPECT_EQ(pp_new_sb(&pl.p, &bad), nullptr);
        PP_STRUCT_BLOCK* d = pp_copy_sb(c);
        EXPECT_EQ(d->flags, flags & ~PP_POOL);
        EXPECT_EQ(stored(d), s);
        pp_free_sb(d);
        pp_free_sb(c);
        pp_free_sb(b);
    }
}

TEST(PlotBlock, OperationsAndStamps) {
    Place pl(geometry(2, 4, 1));
    PP_STRUCT_BLOCK* b = blk_pp_tbl.new_sb(&pl.p, nullptr);
    EXPECT_EQ(blk_pp_tbl.operation(2, b, nullptr), -1);
    for (int cmd : {0, -1, 11})
        EXPECT_EQ(pp_operation(cmd, b, nullptr), -2);
    EXPECT_EQ(pp_operation(4, b, nullptr), 0);  // no points
    int64_t crd[] = {0, 5, 6};
    PPC_INSERT_T in{0, crd, nullptr};
    ASSERT_EQ(pp_operation(1, b, &in), 0);
    in.level = -1;
    EXPECT_EQ(pp_operation(1, b, &in), -1);
    EXPECT_EQ(pl.node.touched, 1);
    // Density of one point stays -1; two at one position give each other 0.
    ASSERT_EQ(pp_operation(8, b, nullptr), 0);
    EXPECT_EQ(b->plot->min_direction, -1);
    in.level = 0;
    ASSERT_EQ(pp_operation(1, b, &in), 0);
    ASSERT_EQ(pp_operation(8, b, nullptr), 0);
    EXPECT_EQ(b->plot->min_direction, 0);
    EXPECT_EQ(b->plot->next->min_direction, 0);
    EXPECT_EQ(b->plot->next->prev, b->plot);
    // The cell index: twice the same, after density every distance -1.
    ASSERT_EQ(pp_operation(9, b, nullptr), 0);
    ASSERT_NE(b->ary, nullptr);
    EXPECT_EQ(b->ary_size[0], 16);
    EXPECT_EQ(b->ary[5 + 6 * 16], b->plot->next);  // the later point of the cell wins
    std::vector<INTERNAL_PLOT*> first(b->ary, b->ary + 256);
    ASSERT_EQ(pp_operation(9, b, nullptr), 0);
    EXPECT_EQ(std::vector<INTERNAL_PLOT*>(b->ary, b->ary + 256), first);
    EXPECT_EQ(b->plot->min_direction, -1);
    ASSERT_EQ(pp_operation(10, b, nullptr), 0);
    EXPECT_EQ(b->ary, nullptr);
    // A node at the matrix's edge has fewer cells; points beyond them get none.
    pl.m.pixel_size[0] = 4;
    INTERNAL_PLOT* far = point(pl.m, {9, 1});
    far->next = b->plot;
    b->plot = far;
    ASSERT_EQ(pp_operation(9, b, nullptr), 0);
    EXPECT_EQ(b->ary_size[0], 4);
    for (int i = 0; i < 4 * 16; i++)
        EXPECT_NE(b->ary[i], far);
    pp_operation(10, b, nullptr);
    pl.m.pixel_size[0] = 1 << 20;
    // Take, peek, replace and sort advance the stamp as the table says.
    INTERNAL_PLOT* got = nullptr;
    pp_operation(6, b, &got);
    EXPECT_EQ(got, b->plot);
    int before = pl.node.touched;
    pp_operation(5, b, &got);
    EXPECT_EQ(b->plot, nullptr);
    pp_operation(7, b, got);
    pp_operation(3, b, nullptr);
    EXPECT_EQ(pl.node.touched, before + 3);
    check_internal_plot(&pl.m, b->plot, "sorted");
    pp_free_sb(b);
}

TEST(PlotBlock, DensityIsTheNearestOtherPoint) {
    std::mt19937 rng(9);
    for (int round = 0; round < 300; round++) {
        Place pl(geometry(1 + static_cast<int>(rng() % 3), 1 + static_cast<int>(rng() % 12), 0));
        PP_STRUCT_BLOCK* b = pp_new_sb(&pl.p, nullptr);
        int span = 1 << pl.m.block_size[0];
        if (round % 5 == 0) span = 1 + static_cast<int>(rng() % 3);  // clusters and duplicates
        b->plot = random_list(pl.m, rng, static_cast<int>(rng() % 80), span, false);
        pp_operation(8, b, nullptr);
        for (INTERNAL_PLOT* p = b->plot; p; p = p->next)
            ASSERT_EQ(p->min_direction, brute_nearest(pl.m, b->plot, p)) << round;
        pp_free_sb(b);
    }
}

TEST(PlotBlock, DivideCheck) {
    Place pl(geometry(2, 4, 1));
    // 16 x 16 cells, 4 children of 8 x 8: the limit is (16 / 4) x (16 / 4) = 16 per child.
    std::vector<INTERNAL_PLOT*> v;
    for (int i = 0; i < 16; i++)
        v.push_back(point(pl.m, {static_cast<uint16_t>(i % 8), 3}));
    v.push_back(point(pl.m, {9, 9}));
    INTERNAL_PLOT* list = chain(v);
    EXPECT_EQ(pp_op_divide_check(&pl.p, list), 0);
    INTERNAL_PLOT* extra = point(pl.m, {1, 1});
    extra->next = list;
    EXPECT_EQ(pp_op_divide_check(&pl.p, extra), 1);
    EXPECT_EQ(pp_op_divide_check(&pl.p, nullptr), 0);
    free_internal_plot_list(extra);
}

TEST(PlotBlock, DivideCheckKeepsUpWithInsertsAndEveryOtherChange) {
    std::mt19937 rng(17);
    for (int round = 0; round < 60; round++) {
        int bs = 2 + static_cast<int>(rng() % 4);
        Place pl(geometry(1 + static_cast<int>(rng() % 3), bs, static_cast<int>(rng() % 3)));
        PP_STRUCT_BLOCK* b = pp_new_sb(&pl.p, nullptr);
        int64_t crd[1 + PLOT_DIM_MAX] = {0};
        for (int step = 0; step < 150; step++) {
            switch (rng() % 8) {
                case 0:
                    pp_operation(3, b, nullptr);
                    break;
                case 1: {
                    INTERNAL_PLOT* l = nullptr;
                    pp_operation(5, b, &l);
                    // Back in another order: the first point moved to the end.
                    if (l && l->next) {
                        INTERNAL_PLOT* first = l;
                        l = l->next;
                        INTERNAL_PLOT* t = l;
                        while (t->next)
                            t = t->next;
                        t->next = first;
                        first->next = nullptr;
                    }
                    pp_operation(7, b, l);
                    break;
                }
                case 2: {
                    Bytes s = stored(b);
                    ASSERT_EQ(pp_block2struct(b, s.data(), static_cast<int64_t>(s.size())), 0);
                    break;
                }
                default: {
                    for (int k = 0; k < pl.m.dim; k++)
                        crd[1 + k] = static_cast<int64_t>(rng() % (1u << bs));
                    PPC_INSERT_T in{0, crd, nullptr};
                    ASSERT_EQ(pp_operation(1, b, &in), 0);
                }
            }
            ASSERT_EQ(pp_operation(4, b, nullptr), pp_op_divide_check(&pl.p, b->plot))
                << round << " " << step;
        }
        pp_free_sb(b);
    }
}

TEST(PlotBlock, PoolAndTrackedPointsNeverMix) {
    std::mt19937 rng(13);
    Place pl(geometry(2, 8, 1));
    PP_STRUCT_BLOCK* src = pp_new_sb(&pl.p, nullptr);
    pp_operation(7, src, random_list(pl.m, rng, 40, 256));
    Bytes s = stored(src);
    for (int order = 0; order < 4; order++) {
        PP_SB_NEW from{s.data(), static_cast<int64_t>(s.size()), PP_POOL};
        PP_STRUCT_BLOCK* b = pp_new_sb(&pl.p, &from);
        ASSERT_TRUE(b->flags & PP_POOL);
        int64_t crd[] = {0, 17, 18};
        PPC_INSERT_T in{0, crd, nullptr};
        INTERNAL_PLOT* got = nullptr;
        switch (order) {
            case 0:  // insert, then free the block
                ASSERT_EQ(pp_operation(1, b, &in), 0);
                break;
            case 1:  // take the list and free it as tracked memory
                pp_operation(5, b, &got);
                free_internal_plot_list(got);
                break;
            case 2:  // refresh from bytes into the pool, replace, insert
                ASSERT_EQ(pp_block2struct(b, s.data(), static_cast<int64_t>(s.size())), 0);
                EXPECT_TRUE(b->flags & PP_POOL);
                pp_operation(7, b, copy_internal_plot(&pl.m, src->plot));
                pp_operation(1, b, &in);
                EXPECT_EQ(get_internal_plot_len(b->plot), 41);
                break;
            default:  // a copy of a pool block is tracked
                PP_STRUCT_BLOCK* c = pp_copy_sb(b);
                EXPECT_FALSE(c->flags & PP_POOL);
                pp_operation(1, c, &in);
                pp_free_sb(c);
                break;
        }
        EXPECT_FALSE(b->flags & PP_POOL && order < 3);
        pp_free_sb(b);
    }
    pp_free_sb(src);
}

// Writes stored forms for the independent check of tests/plot/plotcheck.py when it names a
// directory; does nothing otherwise.
TEST(PlotBlock, WritesSamplesForTheChecker) {
    const char* dir = getenv("VX_PLOT_SAMPLES");
    if (!dir) GTEST_SKIP() << "no sample directory";
    std::mt19937 rng(17);
    for (int i = 0; i < 20; i++) {
        Place pl(geometry(1 + i % 4, 8, 1));
        PP_SB_NEW none{nullptr, 0, PP_ZLIB};
        PP_STRUCT_BLOCK* b = pp_new_sb(&pl.p, &none);
        pp_operation(7, b, random_list(pl.m, rng, i * 7, 256));
        Bytes z = stored(b);
        b->flags = 0;
        Bytes code = stored(b);
        for (auto [ext, bytes] : {std::pair{".z", &z}, std::pair{".code", &code}}) {
            std::string path = std::string(dir) + "/sample" + std::to_string(i) + ext;
            FILE* f = fopen(path.c_str(), "wb");
            ASSERT_NE(f, nullptr);
            fwrite(bytes->data(), 1, bytes->size(), f);
            fclose(f);
        }
        pp_free_sb(b);
    }
}

}  // namespace
