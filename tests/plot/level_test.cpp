// Plot level algorithms: parents and differences, rebuilding children with their ids, moving
// points between levels, splicing, sorting and coordinates; seeded property runs over random
// lists with every field kind.
#include <vector>

#include "plot_util.h"

using namespace plottest;

namespace {

std::vector<std::vector<uint16_t>> coords(const PLOT_MATRIX& m, INTERNAL_PLOT* p) {
    std::vector<std::vector<uint16_t>> r;
    for (; p; p = p->next)
        r.emplace_back(p->c, p->c + m.dim);
    return r;
}

using PlotLevel = PlotTest;

TEST_F(PlotLevel, ParentsAndDifferences) {
    PLOT_MATRIX m = geometry(2, 4, 1);
    // Distinct parent pixels: one parent per child, every difference starts a run.
    INTERNAL_PLOT* down =
        sort_plot(&m, chain({point(m, {0, 0}), point(m, {2, 0}), point(m, {5, 7})}));
    INTERNAL_PLOT* diff = nullptr;
    uint32_t err = 0;
    INTERNAL_PLOT* up;
    {
        StdoutText out;
        up = diff_pp(&m, &diff, down, &err);
        EXPECT_EQ(out.text(), "diff-1\ndiff-2\n");
    }
    ASSERT_EQ(err, 0u);
    EXPECT_EQ(get_internal_plot_len(up), 3);
    for (INTERNAL_PLOT* p = up; p; p = p->next)
        EXPECT_FALSE(p->flags & IP_MERGED);
    for (INTERNAL_PLOT* q = diff; q; q = q->next)
        EXPECT_TRUE(q->flags & IP_RUN);
    EXPECT_EQ(coords(m, diff), (std::vector<std::vector<uint16_t>>{{0, 0}, {0, 0}, {1, 1}}));
    free_internal_plot_list(up);
    free_internal_plot_list(diff);
    free_internal_plot_list(down);

    // Two children in one parent pixel: one merged parent; the second difference has no 0x10.
    INTERNAL_PLOT* a = point(m, {2, 2}, IP_MADE, 512);
    INTERNAL_PLOT* b = point(m, {3, 2}, IP_MADE, 768);
    a->fields = new_fields(1);
    b->fields = new_fields(1);
    set_int(&a->fields[0], FD_INT_ADD, 4);
    set_int(&b->fields[0], FD_INT_ADD, 6);
    down = chain({a, b});
    StdoutText out;
    up = diff_pp(&m, &diff, down, &err);
    ASSERT_EQ(get_internal_plot_len(up), 1);
    EXPECT_TRUE(up->flags & IP_MERGED);
    EXPECT_EQ(up->id, 512);
    EXPECT_EQ(up->fields[0].d.i[0], 10);
    EXPECT_EQ(up->c[0], 1);
    ASSERT_EQ(get_internal_plot_len(diff), 2);
    EXPECT_TRUE(diff->flags & IP_RUN);
    EXPECT_FALSE(diff->next->flags & IP_RUN);
    EXPECT_EQ(diff->next->c[0], 1);

    // Rebuilding: ids as kept; a difference id 1 takes the parent's, 0 in a longer run a new one.
    int64_t dc[] = {0, 0, 0};
    IdSource ids;
    m.get_obj_id = IdSource::get;
    m.owner = &ids;
    diff->id = 1;
    diff->next->id = 0;
    INTERNAL_PLOT* child = add_diff(&m, up, diff, dc, nullptr, &err);
    ASSERT_EQ(err, 0u);
    EXPECT_EQ(coords(m, child), coords(m, down));
    EXPECT_EQ(child->id, 512);
    EXPECT_EQ(child->next->id, 256);
    EXPECT_EQ(child->next->fields[0].d.i[0], 6);
    free_internal_plot_list(child);

    // A parent field of another kind is an error value, not a stop.
    free_fields(up->fields);
    up->fields = new_fields(1);
    set_rgba(&up->fields[0], 0, 1);
    size_t before = out.text().size();
    EXPECT_EQ(add_diff(&m, up, diff, dc, nullptr, &err), nullptr);
    EXPECT_EQ(out.text().substr(before), "MF 40 31\n");
    EXPECT_EQ(err, PLOT_ERR_KIND);
    free_internal_plot_list(up);
    free_internal_plot_list(diff);
    // Children whose fields do not merge.
    free_fields(b->fields);
    b->fields = new_fields(1);
    set_str(&b->fields[0], FD_STR, "x");
    EXPECT_EQ(diff_pp(&m, &diff, down, &err), nullptr);
    EXPECT_EQ(err, PLOT_ERR_KIND);
    EXPECT_EQ(diff, nullptr);
    free_internal_plot_list(down);
}

TEST_F(PlotLevel, MovingBetweenLevels) {
    PLOT_MATRIX m = geometry(2, 4, 1);
    // Level 1 points, each position in level-0 units c << 1 plus base.
    INTERNAL_PLOT* list = chain({point(m, {1, 1}, IP_MADE, 0, {1, 0}),  // (3, 2): inside
                                 point(m, {2, 0}, IP_MADE, 0, {0, 0}),  // (4, 0): inside
                                 point(m, {9, 0})});                    // (18, 0): outside
    int64_t dc[] = {0, 0, 0};  // the level-0 block at the origin (16 wide)
    INTERNAL_PLOT* under = shift_under_plot(&m, list, 1, dc);
    EXPECT_EQ(coords(m, under), (std::vector<std::vector<uint16_t>>{{3, 2}, {4, 0}}));
    // Level 0 has no remainder: both bases are dropped with their flag.
    EXPECT_EQ(under->base, nullptr);
    EXPECT_EQ(under->next->base, nullptr);
    EXPECT_EQ(under->flags & IP_BASE, 0);
    free_internal_plot_list(under);
    free_internal_plot_list(list);

    // make_plot: a whole pixel has no base; get_plot_crd returns the position.
    int64_t whole[] = {0, 8, 4}, part[] = {0, 9, 4}, out[3];
    INTERNAL_PLOT* p = make_plot(&m, 2, whole, nullptr);
    EXPECT_EQ(p->flags, IP_MADE);
    EXPECT_EQ(p->base, nullptr);
    EXPECT_EQ(coords(m, p), (std::vector<std::vector<uint16_t>>{{2, 1}}));
    INTERNAL_PLOT* q = make_plot(&m, 2, part, nullptr);
    EXPECT_EQ(q->flags, IP_MADE | IP_BASE);
    get_plot_crd(out, &m, q, 2);
    EXPECT_EQ(std::vector<int64_t>(out, out + 3), (std::vector<int64_t>{2, 9, 4}));
    EXPECT_EQ(make_plot(&m, -1, part, nullptr), nullptr);
    EXPECT_EQ(make_plot(&m, 64, part, nullptr), nullptr);
    free_internal_plot(p);
    free_internal_plot(q);

    // Splicing a child's parent-level points; lists that would interleave are refused intact.
    INTERNAL_PLOT* target = chain({point(m, {0, 0}), point(m, {15, 15})});
    INTERNAL_PLOT* ip = chain({point(m, {1, 1}), point(m, {2, 2})});
    int64_t child[] = {0, 16, 0};  // offset 8 in dimension 0
    ASSERT_EQ(shift_insert_plot(&m, &target, ip, child), 0);
    EXPECT_EQ(coords(m, target),
              (std::vector<std::vector<uint16_t>>{{0, 0}, {9, 1}, {10, 2}, {15, 15}}));
    INTERNAL_PLOT* wide = chain({point(m, {0, 1}), point(m, {12, 12})});
    EXPECT_EQ(shift_insert_plot(&m, &target, wide, dc), -1);
    EXPECT_EQ(coords(m, wide), (std::vector<std::vector<uint16_t>>{{0, 1}, {12, 12}}));
    EXPECT_EQ(wide->next->next, nullptr);
    EXPECT_EQ(get_internal_plot_len(target), 4);
    free_internal_plot_list(wide);
    free_internal_plot_list(target);
}

TEST_F(PlotLevel, SortMatchesTheListSortWithTies) {
    std::mt19937 rng(3);
    for (int round = 0; round < 400; round++) {
        PLOT_MATRIX m = geometry(1 + static_cast<int>(rng() % 3), 3, 1);
        if (round % 7 == 0) m = geometry(5, 16, 1);  // keys do not fit: the comparison path
        std::vector<INTERNAL_PLOT*> v;
        int n = static_cast<int>(rng() % 60);
        for (int i = 0; i < n; i++) {
            std::vector<uint16_t> c(static_cast<size_t>(m.dim));
            for (auto& x : c)
                x = static_cast<uint16_t>(rng() % 3);
            v.push_back(point(m, c, IP_MADE, i + 2));  // ids tell equal points apart
        }
        std::vector<INTERNAL_PLOT*> v2;
        for (INTERNAL_PLOT* p : v)
            v2.push_back(copy_one_plot(&m, p, nullptr));
        INTERNAL_PLOT* fast = sort_plot(&m, chain(v));
        INTERNAL_PLOT* slow = literal_sort(&m, chain(v2));
        ASSERT_TRUE(internal_plot_equal(&m, fast, slow)) << round;
        check_internal_plot(&m, fast, "sorted");
        // A sorted list of distinct points keeps its order.
        free_internal_plot_list(fast);
        free_internal_plot_list(slow);
    }
}

TEST_F(PlotLevel, DifferencesRebuildChildrenExactly) {
    std::mt19937 rng(42);
    SIMPLE_ALLOC_T pool{};
    StdoutText out;
    for (int round = 0; round < 2000; round++) {
        int dim = 1 + static_cast<int>(rng() % 3);
        int bs = 2 + static_cast<int>(rng() % 5), dd = 1 + static_cast<int>(rng() % 2);
        PLOT_MATRIX m = geometry(dim, bs, dd);
        IdSource ids;
        m.get_obj_id = IdSource::get;
        m.owner = &ids;
        INTERNAL_PLOT* down = random_list(m, rng, static_cast<int>(rng() % 25), 1 << bs);
        // The child sits at a random place of its parent block.
        int64_t dc[1 + 3] = {0};
        for (int k = 0; k < dim; k++)
            dc[1 + k] = static_cast<int64_t>(rng() % (1u << dd)) << bs;
        INTERNAL_PLOT* diff = nullptr;
        uint32_t err = 0;
        INTERNAL_PLOT* up = diff_pp(&m, &diff, down, &err);
        ASSERT_EQ(err, 0u);
        ASSERT_EQ(get_internal_plot_len(diff), get_internal_plot_len(down));
        // The parent block holds other children's points around this child's.
        INTERNAL_PLOT* parent = nullptr;
        ASSERT_EQ(shift_insert_plot(&m, &parent, up, dc), 0);
        SIMPLE_ALLOC_T* sat = round % 2 ? &pool : nullptr;
        if (sat) free_smp(sat);
        INTERNAL_PLOT* back = add_diff(&m, parent, diff, dc, sat, &err);
        ASSERT_EQ(err, 0u);
        ASSERT_EQ(get_internal_plot_len(back), get_internal_plot_len(down));
        // Expected ids: kept, or by the run rule for id 0.
        INTERNAL_PLOT* q = diff;
        const INTERNAL_PLOT* par = parent;
        int64_t next_new = 0;
        for (INTERNAL_PLOT *c = down, *b = back; c; c = c->next, b = b->next, q = q->next) {
            if (q->flags & IP_RUN && q != diff) par = par->next;
            ASSERT_EQ(memcmp(c->c, b->c, 2 * static_cast<size_t>(dim)), 0);
            ASSERT_EQ(!c->base, !b->base);
            if (c->base) {
                ASSERT_EQ(memcmp(c->base, b->base, 8 * static_cast<size_t>(dim)), 0);
            }
            ASSERT_TRUE(fields_equal(c->fields, b->fields)) << round;
            bool alone = (q->flags & IP_RUN) && (!q->next || (q->next->flags & IP_RUN));
            int64_t want = c->id ? c->id : alone ? par->id : (next_new += 256);
            ASSERT_EQ(b->id, want) << round;
        }
        // The rebuilt child carries run marks; diffing it again marks the same runs.
        INTERNAL_PLOT* diff2 = nullptr;
        INTERNAL_PLOT* up2 = diff_pp(&m, &diff2, back, &err);
        for (INTERNAL_PLOT *x = diff, *y = diff2; x; x = x->next, y = y->next)
            ASSERT_EQ(x->flags & IP_RUN, y->flags & IP_RUN);
        free_internal_plot_list(up2);
        free_internal_plot_list(diff2);
        if (!sat) free_internal_plot_list(back);
        free_internal_plot_list(parent);
        free_internal_plot_list(diff);
        free_internal_plot_list(down);
    }
    free_smp(&pool);
}

}  // namespace
