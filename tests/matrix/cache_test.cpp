// The matrix cache's node side, caches on several threads while the worker runs scripts, closing,
// and memory that stays flat after many look-ups and tokens.
#include <functional>
#include <utility>

#include "base/task.h"
#include "mx_util.h"

namespace {

using namespace mxt;

struct Cache {
    MX_CACHE c{};
    int ch[1] = {0};
    explicit Cache(MATRIX* m, int create = 3, int wait = 3) {
        c.m = m;
        c.access_ch = ch;
        c.ds_len = 1;
        c.gn_tree_node = 0;
        c.gn_create = create;
        c.gn_wait = wait;
        mxc_setup(&c);
    }
    ~Cache() { mxc_close(&c); }
};

// A parameter block over one int32 channel: a run buffer, or a single value.
struct Param {
    MX_CACHE_PARAM p{};
    MX_CACHE_PARAM_IX ix{0, 0};
    int64_t dc[3] = {0, 0, 0};
    int32_t* run_ptr[1] = {nullptr};
    int32_t one = 0;
    Param(MX_CACHE* c, int64_t x, int32_t* run, int len) {
        dc[1] = x;
        p.c = c;
        p.dc = dc;
        p.data_ix = &ix;
        run_ptr[0] = run;
        p.data_ptrs[0] = run ? static_cast<void*>(run_ptr) : static_cast<void*>(&one);
        p.vector_len = len;
    }
};

MATRIX* ready_matrix(MatrixTest* t, int64_t pixel, std::function<MATRIX*(const Geometry&)> open) {
    (void)t;
    MATRIX* m = open({1, pixel, 1, 8, 1});
    for (int s = MI_FETCH_1_TP; s <= MI_FETCH_1_TP + 2; s++)
        set_matrix_cal(m, s, script(kReady));
    return m;
}

class CacheTest : public MatrixTest {
  protected:
    MATRIX* ready1(int64_t pixel) {
        return ready_matrix(this, pixel, [this](const Geometry& g) { return open(g); });
    }
};

// A node whose channel holds a vector of more dimensions than its matrix (as a damaged file could
// bring) is read and written inside that vector.
TEST_F(CacheTest, AVectorOfMoreDimensionsStaysInside) {
    MATRIX* m = ready1(1024);
    int err = 0;
    int64_t dc[2] = {0, 0};
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
    ASSERT_EQ(err, 0);
    MATRIX_DATA_TYPE* tp = m->channel_info[0].data_type;
    int sizes[3] = {256, 1, 1};
    MATRIX_ALLOC_VECTOR_PARAM vp{3, sizes, nullptr, nullptr};
    void* wide = tp->alloc_data(tp, MXA_TRACKED, &vp, nullptr, __FILE__, __LINE__);
    ASSERT_NE(wide, nullptr);
    void* old = nullptr;
    {
        TaskLockGuard g(matrix_lock);
        old = n->channel[0].data;
        n->channel[0].data = wide;
    }
    tp->free_data(tp, old);
    unlock_node(n, nullptr);
    {
        Cache w(m);
        Param p(&w.c, 255, nullptr, 0);
        p.one = 77;
        EXPECT_EQ(write_mx_cache(&p.p), 0);
        Param r(&w.c, 255, nullptr, 0);
        EXPECT_EQ(read_mx_cache(&r.p), 0);
        EXPECT_EQ(r.one, 77);
    }
    EXPECT_TRUE(quiet(m));
}

// A run that goes on into a node whose vector is smaller than the block (a damaged file's or a
// peer's), or empty, stops there with -2 after the cells of the first node: it is never written
// past that vector, nor does it go on for ever with no element to take.
TEST_F(CacheTest, RunsStopAtASmallerVectorInTheNextNode) {
    MATRIX* m = open({2, 1024, 1, 8, 1});
    for (int s = MI_FETCH_1_TP; s <= MI_FETCH_1_TP + 2; s++)
        set_matrix_cal(m, s, script(kReady));
    MATRIX_DATA_TYPE* tp = m->channel_info[0].data_type;
    struct Case {
        int64_t y;
        int sizes[2];
    } cases[] = {{5, {256, 1}}, {0, {0, 256}}};
    std::vector<int32_t> src(300, 9);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.y);
        int err = 0;
        int64_t dc[3] = {0, 256, 0};
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
        ASSERT_EQ(err, 0);
        MATRIX_ALLOC_VECTOR_PARAM vp{2, const_cast<int*>(k.sizes), nullptr, nullptr};
        void* small = tp->alloc_data(tp, MXA_TRACKED, &vp, nullptr, __FILE__, __LINE__);
        ASSERT_NE(small, nullptr);
        void* old = nullptr;
        {
            TaskLockGuard g(matrix_lock);
            old = n->channel[0].data;
            n->channel[0].data = small;
        }
        tp->free_data(tp, old);
        unlock_node(n, nullptr);
        Cache w(m);
        Param p(&w.c, 200, src.data(), 300);
        p.dc[2] = k.y;
        mx_cache_error = 0;
        EXPECT_EQ(write_mx_cache_vector(&p.p), -1);
        EXPECT_EQ(mx_cache_error, -2);
        Param r(&w.c, 255, nullptr, 0);
        r.dc[2] = k.y;
        EXPECT_EQ(read_mx_cache(&r.p), 0);
        EXPECT_EQ(r.one, 9);
    }
}

TEST_F(CacheTest, RunsAcrossNodesBoundsAndMissingNodes) {
    MATRIX* m = ready1(1024);
    std::vector<int32_t> src(300);
    for (int i = 0; i < 300; i++)
        src[i] = 1000 + i;
    {
        Cache w(m);
        Param p(&w.c, 200, src.data(), 300);
        EXPECT_EQ(write_mx_cache_vector(&p.p), 300);
        EXPECT_EQ(w.c.dirty, 1);
        // 56 went to the first node, 244 to the next; its element 244 is untouched.
        Param r(&w.c, 255, nullptr, 0);
        EXPECT_EQ(read_mx_cache(&r.p), 0);
        EXPECT_EQ(r.one, 1055);
        r.dc[1] = 256;
        EXPECT_EQ(read_mx_cache(&r.p), 0);
        EXPECT_EQ(r.one, 1056);
        r.dc[1] = 499;
        EXPECT_EQ(read_mx_cache(&r.p), 0);
        EXPECT_EQ(r.one, 1299);
        r.dc[1] = 500;
        EXPECT_EQ(read_mx_cache(&r.p), 0);
        EXPECT_EQ(r.one, 0);
        int64_t hits = w.c.hit_cnt;
        EXPECT_EQ(read_mx_cache(&r.p), 0);
        EXPECT_EQ(w.c.hit_cnt, hits + 1);
        // An index past the block's edge: refused, or read from the node that holds it.
        int ofs[1] = {1};
        r.dc[1] = 255;
        r.p.ofs = ofs;
        EXPECT_EQ(read_mx_cache(&r.p), -1);
        r.p.flags = 1;
        EXPECT_EQ(read_mx_cache(&r.p), 0);
        EXPECT_EQ(r.one, 1056);
        r.p.ofs = nullptr;
        r.p.flags = 0;
        // Single writes.
        r.one = 77;
        r.dc[1] = 3;
        EXPECT_EQ(write_mx_cache(&r.p), 0);
        r.one = 0;
        EXPECT_EQ(read_mx_cache(&r.p), 0);
        EXPECT_EQ(r.one, 77);
        // Runs that start at or past the matrix's extent fail with their reason.
        Param bad(&w.c, 1024, src.data(), 10);
        EXPECT_EQ(write_mx_cache_vector(&bad.p), -1);
        EXPECT_EQ(mx_cache_error, -3);
        Param neg(&w.c, -1, src.data(), 10);
        EXPECT_EQ(write_mx_cache_vector(&neg.p), -1);
        EXPECT_EQ(mx_cache_error, -4);
        Param none(&w.c, 0, src.data(), 10);
        none.ix.x = 65535;
        EXPECT_EQ(write_mx_cache_vector(&none.p), -1);
        EXPECT_EQ(mx_cache_error, -7);
    }
    // A reader that only looks: the missing node's part of the run is left as it was.
    {
        Cache rd(m, -1, -1);
        std::vector<int32_t> got(600, -7);
        Param r(&rd.c, 256, got.data(), 600);
        EXPECT_EQ(read_mx_cache_vector(&r.p), 600);
        EXPECT_EQ(got[0], 1056);
        EXPECT_EQ(got[243], 1299);
        EXPECT_EQ(got[244], 0);
        EXPECT_EQ(got[256], -7);
        EXPECT_EQ(got[599], -7);
    }
    // Closed caches hold nothing: the nodes can go.
    TaskLockGuard g(matrix_lock);
    for (int b = 0; b < m->node_hash_size; b++)
        for (MATRIX_NODE* n = m->node_hash[b]; n; n = n->nh_next) {
            EXPECT_EQ(n->locked, 0);
            EXPECT_EQ(n->ch_lock, 0);
        }
}

// Cells before the matrix's start (a negative coordinate, or an offset leading there) are refused
// by every single-cell read and write, redirected or not, and no node is made for them: a reader
// of such a cell would otherwise make a node, and a matrix open for writing keep it.
TEST_F(CacheTest, CellsBeforeTheMatrixAreRefusedAndMakeNoNode) {
    MATRIX* m = ready1(1024);
    auto nodes = [m] {
        TaskLockGuard g(matrix_lock);
        int n = 0;
        for (int b = 0; b < m->node_hash_size; b++)
            for (MATRIX_NODE* x = m->node_hash[b]; x; x = x->nh_next)
                n++;
        return n;
    };
    Cache w(m);
    Param first(&w.c, 0, nullptr, 0);
    ASSERT_EQ(read_mx_cache(&first.p), 0);  // the node at 0 exists from now on
    int before = nodes();
    int back[1] = {-1};
    struct Case {
        const char* what;
        int64_t x;
        int* ofs;
        int flags;
        std::function<int(MX_CACHE_PARAM*)> op;
    } cases[] = {
        {"read -1", -1, nullptr, 0, read_mx_cache},
        {"read -256", -256, nullptr, 0, read_mx_cache},
        {"read far before", INT64_MIN / 4, nullptr, 1, read_mx_cache},
        {"read redirected from 0 to -1", 0, back, 1, read_mx_cache},
        {"write -1", -1, nullptr, 0, write_mx_cache},
        {"write -300", -300, nullptr, 0, write_mx_cache},
        {"cell read -1", -1, nullptr, 0,
         [](MX_CACHE_PARAM* p) { return read_mx_cache_cell(p, 4); }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Param p(&w.c, k.x, nullptr, 0);
        p.p.ofs = k.ofs;
        p.p.flags = k.flags;
        p.one = 5;
        EXPECT_LT(k.op(&p.p), 0);
        EXPECT_EQ(nodes(), before);
    }
}

// A run read is checked against the matrix as a write is: one that starts at or past its extent,
// before it, or runs on past it answers -1 with the write's reason and reads nothing outside;
// missing nodes inside it are still passed over. A broken matrix's runs fail instead.
TEST_F(CacheTest, RunReadsAreCheckedAgainstTheMatrix) {
    MATRIX* m = ready1(1024);
    std::vector<int32_t> src(1024);
    for (int i = 0; i < 1024; i++)
        src[i] = 5000 + i;
    {
        Cache w(m);
        Param p(&w.c, 768, src.data() + 768, 256);
        ASSERT_EQ(write_mx_cache_vector(&p.p), 256);
    }
    Cache rd(m, -1, -1);
    std::vector<int32_t> got(600, -7);
    struct Case {
        int64_t x;
        int len, code;
    } cases[] = {{1024, 100, -3}, {5000, 10, -3}, {-300, 100, -4}, {-1, 1, -4}, {900, 400, -8}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.x);
        std::fill(got.begin(), got.end(), -7);
        mx_cache_error = 0;
        Param r(&rd.c, k.x, got.data(), k.len);
        EXPECT_EQ(read_mx_cache_vector(&r.p), -1);
        EXPECT_EQ(mx_cache_error, k.code);
    }
    // 900 + 400: the cells up to the edge were read before the run left the matrix.
    EXPECT_EQ(got[0], 5900);
    EXPECT_EQ(got[123], 6023);
    EXPECT_EQ(got[124], -7);
    // Up to the edge exactly, across a node that was never made.
    std::fill(got.begin(), got.end(), -7);
    Param edge(&rd.c, 500, got.data(), 524);
    EXPECT_EQ(read_mx_cache_vector(&edge.p), 524);
    EXPECT_EQ(got[0], -7);
    EXPECT_EQ(got[267], -7);
    EXPECT_EQ(got[268], 5768);
    EXPECT_EQ(got[523], 6023);
    // A broken matrix gives no node: its runs fail rather than read as missing.
    flush_mx_cache(&rd.c, 0);
    {
        TaskLockGuard g(matrix_lock);
        m->flags |= 2;
    }
    Param broken(&rd.c, 0, got.data(), 10);
    EXPECT_EQ(read_mx_cache_vector(&broken.p), -1);
    EXPECT_EQ(mx_cache_error, -1);
    TaskLockGuard g(matrix_lock);
    m->flags &= ~2;
}

// On a level whose cells span most of the coordinates a matrix may have, a run that goes on past
// the level's edge: writes and reads both stop there with the past-the-extent reason, after the
// cells that lay inside.
TEST_F(CacheTest, CoarseRunsStopAtTheCoordinateRange) {
    // The coarsest pyramid a matrix may have: the largest divide over the largest extent, level-1
    // cells of 2^30 and two of them.
    MATRIX* m = open({1, INT32_MAX, 30, 1, 1});
    ASSERT_EQ(m->total_levels, 3);
    for (int s = MI_FETCH_1_TP; s <= MI_FETCH_1_TP + 2; s++)
        set_matrix_cal(m, s, script(kReady));
    int32_t src[4] = {11, 12, 13, 14};
    struct Case {
        int64_t x;
        int len, done;
    } cases[] = {{0, 3, 2}, {int64_t{1} << 30, 2, 1}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.x);
        Cache w(m);
        Param p(&w.c, k.x, src, k.len);
        p.dc[0] = 1;
        mx_cache_error = 0;
        EXPECT_EQ(write_mx_cache_vector(&p.p), -1);
        EXPECT_EQ(mx_cache_error, -8);
        int32_t got[4] = {-7, -7, -7, -7};
        Param r(&w.c, k.x, got, k.len);
        r.dc[0] = 1;
        mx_cache_error = 0;
        EXPECT_EQ(read_mx_cache_vector(&r.p), -1);
        EXPECT_EQ(mx_cache_error, -8);
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(got[i], i < k.done ? src[i] : -7) << i;
    }
}

// A cell write that makes its node through a tree walk with creation (as imports write) records
// the node in every ancestor, the ancestors the same write makes included, so that a walk down
// the children from the top reaches it. Both child forms: bit field and sorted list.
TEST_F(CacheTest, CreatingWriteRecordsTheNodeInEveryNewAncestor) {
    for (int divide : {1, 7}) {
        SCOPED_TRACE(divide);
        MATRIX* m = open({2, divide == 1 ? 64 : 1 << 16, divide, 2, 1});
        ASSERT_EQ(m->dim_bit_field == 0, divide == 7);
        for (int s = MI_FETCH_1_TP; s <= MI_FETCH_1_TP + 2; s++)
            set_matrix_cal(m, s, script(kReady));
        const std::vector<std::vector<int64_t>> cells = {{0, 5, 9}, {0, 62, 1}};
        {
            Cache w(m, 2, 2);
            w.c.gn_tree_node = 1;
            for (const auto& cell : cells) {
                MX_CACHE_PARAM p{};
                MX_CACHE_PARAM_IX ix{0, 0};
                int32_t one = 7;
                int64_t dc[3] = {cell[0], cell[1], cell[2]};
                p.c = &w.c;
                p.dc = dc;
                p.data_ix = &ix;
                p.data_ptrs[0] = &one;
                EXPECT_EQ(write_mx_cache(&p), 0);
            }
        }
        ASSERT_TRUE(quiet(m));
        // Every node on each cell's path lists the path's next node below it.
        for (const auto& cell : cells)
            for (int64_t level = m->total_levels - 1; level > 0; level--) {
                int64_t dc[3] = {level, cell[1], cell[2]};
                int64_t child[3] = {level - 1, cell[1], cell[2]};
                normalize_dim_code(m, child);
                int err = 0;
                MX_DIM_CODE_LIST* l = get_children_list(&err, m, dc, 3, 1, nullptr);
                EXPECT_EQ(err, 0);
                bool found = false;
                for (MX_DIM_CODE_LIST* e = l; e; e = e->next)
                    found = found || _cmp_dim_code(m, e->dc, child) == 0;
                EXPECT_TRUE(found) << "level " << level << " cell " << cell[1] << "," << cell[2];
                free_mx_dim_code_list(l);
            }
    }
}

// Threads work on their own caches and nodes while the worker runs the scripts that make them.
std::atomic<int> done_threads{0};
MATRIX* shared_matrix = nullptr;
void cache_worker(intptr_t k) {
    Cache c(shared_matrix);
    std::vector<int32_t> run(256);
    int64_t base = k * 1024;
    for (int round = 0; round < 20; round++) {
        for (int i = 0; i < 256; i++)
            run[i] = static_cast<int32_t>(k * 100000 + round * 1000 + i);
        for (int64_t x = base; x < base + 1024; x += 256) {
            Param w(&c.c, x, run.data(), 256);
            if (write_mx_cache_vector(&w.p) != 256) return;
        }
        std::vector<int32_t> back(1024, -1);
        Param r(&c.c, base, back.data(), 1024);
        if (read_mx_cache_vector(&r.p) != 1024) return;
        if (back[1023] != run[255]) return;
    }
    flush_mx_cache(&c.c, 0);
    done_threads++;
}

TEST_F(CacheTest, ThreadsOnTheirOwnCaches) {
    shared_matrix = ready1(4 * 1024);
    MATRIX* busy = open({1, 1 << 16, 1, 2, 1});
    for (int s = MI_FETCH_1_TP; s <= MI_FETCH_1_TP + 2; s++)
        set_matrix_cal(busy, s, script("(testMark 1) <mxFinish normal-jump-status=\"MS_OK\"/>"));
    done_threads = 0;
    for (int k = 0; k < 4; k++)
        create_task(cache_worker, k, 1);
    for (int64_t x = 0; x < 400 * 4; x += 4) {
        int err = 0;
        int64_t dc[2] = {0, x};
        get_matrix_node(&err, busy, dc, 3, nullptr, nullptr);
    }
    EXPECT_TRUE(wait_for([] { return done_threads.load() == 4; }, 30000));
    EXPECT_TRUE(quiet(busy));
    EXPECT_EQ(take_marks().size(), 400u);
}

// A task that takes a node's channel lock while a cache holds it: asleep until the cache lets go,
// then keeps it until told.
std::atomic<int> ch_stage{0};
MATRIX_NODE* ch_node = nullptr;
void channel_taker(intptr_t) {
    matrix_node_channel_lock(ch_node);
    ch_stage = 1;
    wait_for([] { return ch_stage.load() == 2; });
    matrix_node_channel_unlock(ch_node, 0);
    ch_stage = 3;
}

// The cache's node change takes a ready node and its channel lock without the store's lock and
// gives the previous node back the same way: the holds are those of the locked way, another
// task's channel lock is respected, a task asleep on the channel lock is woken by the release,
// and a written node whose level has a save script is still marked dirty when given back.
TEST_F(CacheTest, NodeChangeWithoutTheStoreLock) {
    MATRIX* m = ready1(1024);
    std::vector<int32_t> src(512);
    for (int i = 0; i < 512; i++)
        src[i] = 5000 + i;
    auto node_at = [&](int64_t x) {
        TaskLockGuard g(matrix_lock);
        int64_t dc[2] = {0, x};
        normalize_dim_code(m, dc);
        for (MATRIX_NODE* k = m->node_hash[_get_node_hash(m, dc)]; k; k = k->nh_next)
            if (_cmp_dim_code(m, k->dim_code, dc) == 0) return k;
        return static_cast<MATRIX_NODE*>(nullptr);
    };
    auto holds = [&](MATRIX_NODE* n) {
        TaskLockGuard g(matrix_lock);
        return std::pair<int, int>(mx_node_held(n), n->ch_lock);
    };
    {
        Cache w(m);
        Param p(&w.c, 0, src.data(), 512);
        ASSERT_EQ(write_mx_cache_vector(&p.p), 512);
    }
    MATRIX_NODE* a = node_at(0);
    MATRIX_NODE* b = node_at(256);
    ASSERT_TRUE(a && b);
    Cache r(m);
    Param q(&r.c, 0, nullptr, 0);
    // Back and forth: the first changes go the locked way, the later ones through the reader;
    // the node held is held once with one channel hold, the other not at all.
    for (int i = 0; i < 8; i++) {
        q.dc[1] = (i & 1) ? 256 + i : i;
        ASSERT_EQ(read_mx_cache(&q.p), 0);
        EXPECT_EQ(q.one, 5000 + q.dc[1]);
        EXPECT_EQ(holds((i & 1) ? b : a), std::make_pair(1, 1));
        EXPECT_EQ(holds((i & 1) ? a : b), std::make_pair(0, 0));
    }
    // The reader's take and release themselves (it may decline across a second: tried again).
    int64_t db[2] = {0, 300};
    MATRIX_NODE* t = nullptr;
    for (int k = 0; k < 5 && !t; k++) {
        q.dc[1] = 260;
        ASSERT_EQ(read_mx_cache(&q.p), 0);
        t = mx_take_resident_channels(m, db, 2);
    }
    ASSERT_EQ(t, b);
    EXPECT_EQ(holds(b), std::make_pair(2, 3));
    EXPECT_TRUE(mx_release_channels(b, 2, 0));
    EXPECT_EQ(holds(b), std::make_pair(1, 1));
    // A task waiting for the held node's channel lock is woken when the cache moves on.
    ch_node = b;
    ch_stage = 0;
    create_task(channel_taker, 0, 1);
    ASSERT_TRUE(wait_for([] { return mx_hold_watch.load() > 0; }));
    q.dc[1] = 10;
    ASSERT_EQ(read_mx_cache(&q.p), 0);
    EXPECT_TRUE(wait_for([] { return ch_stage.load() == 1; }));
    // Its channel lock keeps the reader off the node until it lets go.
    EXPECT_EQ(mx_take_resident_channels(m, db, 1), nullptr);
    EXPECT_EQ(holds(b), std::make_pair(0, 1));
    ch_stage = 2;
    EXPECT_TRUE(wait_for([] { return ch_stage.load() == 3; }));
    q.dc[1] = 300;
    ASSERT_EQ(read_mx_cache(&q.p), 0);
    EXPECT_EQ(q.one, 5300);
    flush_mx_cache(&r.c, 0);
    EXPECT_EQ(holds(a), std::make_pair(0, 0));
    EXPECT_EQ(holds(b), std::make_pair(0, 0));
    // A written node is marked dirty when given back, where its level can be saved.
    for (int s = MI_SAVE_TP; s <= MI_SAVE_TP + 2; s++)
        set_matrix_cal(m, s, script(kReady));
    {
        Cache w(m);
        for (int i = 0; i < 4; i++) {
            Param p(&w.c, (i & 1) ? 256 : 0, src.data(), 1);
            ASSERT_EQ(write_mx_cache_vector(&p.p), 1);
        }
        EXPECT_NE(a->dirty_file_time, 0u);
    }
    EXPECT_NE(b->dirty_file_time, 0u);
    EXPECT_EQ(holds(a), std::make_pair(0, 0));
    EXPECT_EQ(holds(b), std::make_pair(0, 0));
    // Nothing to save here: the marks are taken back before the matrix closes.
    TaskLockGuard g(matrix_lock);
    _clear_dirty_file(a);
    _clear_dirty_file(b);
}

int64_t held() {
    return get_d_used_memory() - get_mem_free_info_count() * MEM_RECORD_SIZE;
}

void collect() {
    gc_tick_notin_tick(nullptr, 0);
    gc_tick_notin_tick(nullptr, 0);
}

TEST_F(CacheTest, MemoryFlatAfterLookupsTokensPurgeAndClose) {
    // The script is read once: a read source keeps its text for a while after it is dropped.
    QV_SEXP* ready_script = script(kReady);
    auto cycle = [&](int lookups, int tokens) {
        MATRIX* m = make_matrix({1, 1 << 12, 1, 2, 1});
        for (int s = 0; s < MX_CAL_SLOTS; s++)
            set_matrix_cal(m, s, ready_script);
        std::vector<MATRIX_NODE*> nodes;
        for (int64_t x = 0; x < 64 * 4; x += 4) {
            int err = 0;
            int64_t dc[2] = {0, x};
            nodes.push_back(get_matrix_node_wait(&err, m, dc, 3));
            EXPECT_EQ(err, 0);
        }
        for (MATRIX_NODE* n : nodes)
            unlock_node(n, nullptr);
        for (int i = 0; i < lookups; i++) {
            int err = 0;
            int64_t dc[2] = {0, (i * 7 % 64) * 4};
            MATRIX_NODE* n = get_matrix_node(&err, m, dc, 3, nullptr, nullptr);
            if (err == 0) unlock_node(n, nullptr);
        }
        for (int i = 0; i < tokens; i++) {
            matrix_trigger_access(nodes[i % 64], MI_VISU_1_TP, 0);
            if (i % 1000 == 999) {
                EXPECT_TRUE(quiet(m));
            }
        }
        EXPECT_TRUE(quiet(m));
        mx_purge(0);
        close_matrix(m);
    };
    // Measured once the worker has ended (it stays a moment for more work; its interpreter goes
    // with it) and the released holders are collected. The tick wheel's slots of the closing
    // time-outs come and go with the clock, hence the small margin; a leak per look-up or token
    // would show as megabytes.
    auto settled = [] {
        EXPECT_TRUE(wait_for([] { return get_active_que_thread(&matrix_que) == 0; }));
        collect();
        return held();
    };
    cycle(1000, 1000);
    int64_t before = settled();
    int nodes_before = nd_cnt;
    cycle(1000000, 100000);
    EXPECT_NEAR(settled(), before, 1024);
    EXPECT_EQ(nd_cnt, nodes_before);
}

TEST_F(CacheTest, CloseReturnsWithWorkStillQueued) {
    MATRIX* m = make_matrix({1, 1 << 12, 1, 2, 1});
    for (int s = 0; s < MX_CAL_SLOTS; s++)
        set_matrix_cal(m, s, script("(testMark 1) <mxFinish normal-jump-status=\"MS_OK\"/>"));
    for (int64_t x = 0; x < 200 * 4; x += 4) {
        int err = 0;
        int64_t dc[2] = {0, x};
        get_matrix_node(&err, m, dc, 3, nullptr, nullptr);
    }
    close_matrix(m);
    EXPECT_EQ(matrix_que_count(), 0);
    size_t marks = take_marks().size();
    EXPECT_EQ(marks, 200u);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(take_marks().size(), 0u);
}

}  // namespace
