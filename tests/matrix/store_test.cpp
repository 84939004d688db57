// Matrices, their parameters and pyramid, dimension codes and children, the node look-up over
// statuses and accesses, the purge on the test clock, token priorities.
#include "matrix/mxfile.h"
#include "mx_util.h"

namespace {

using namespace mxt;

TEST_F(MatrixTest, LevelsBitFieldsIdsAndOnceOnlyParameters) {
    MATRIX* m = open({1, 1000, 1, 4, 1});
    EXPECT_EQ(m->total_levels, 11);
    std::vector<int64_t> want = {1000, 500, 250, 125, 63, 32, 16, 8, 4, 2, 1};
    for (int l = 0; l < 11; l++)
        EXPECT_EQ(m->pixel_size_list[l][0], want[l]) << l;
    EXPECT_EQ(open({2, 1, 1, 4, 1})->total_levels, 1);
    EXPECT_EQ(open({3, 64, 2, 4, 1})->dim_bit_field, 8);
    EXPECT_EQ(open({2, 64, 1, 4, 1})->dim_bit_field, 1);
    Geometry g14{2, 64, 7, 4, 1};
    EXPECT_EQ(open(g14)->dim_bit_field, 0);

    EXPECT_EQ(get_matrix_obj_id(m), 256);
    EXPECT_EQ(get_matrix_obj_id(m), 512);

    // A parameter set twice is refused and nothing changes.
    MATRIX_PARAM p{};
    p.dim = 3;
    p.channel_nos = 5;
    EXPECT_EQ(set_matrix_param(m, &p), -108);
    EXPECT_EQ(m->p.dim, 1);
    EXPECT_EQ(m->p.channel_nos, 1);
    p.channel_nos = 0;
    EXPECT_EQ(set_matrix_param(m, &p), -105);
    MATRIX_PARAM q{};
    q.pri_area[4] = 7;
    EXPECT_EQ(set_matrix_param(m, &q), 0);
    EXPECT_EQ(set_matrix_param(m, &q), -111);
    q = MATRIX_PARAM{};
    q.total_levels = 3;
    q.modify_time = 9;
    EXPECT_EQ(set_matrix_param(m, &q), 0);
    EXPECT_EQ(m->total_levels, 3);
    EXPECT_EQ(set_matrix_param(m, &q), -110);
    q.total_levels = 0;
    EXPECT_EQ(set_matrix_param(m, &q), -118);
    q = MATRIX_PARAM{};
    q.read_file = [](MATRIX_TOKEN*) { return 0; };
    EXPECT_EQ(set_matrix_param(m, &q), 0);
    EXPECT_EQ(set_matrix_param(m, &q), -113);
    q = MATRIX_PARAM{};
    q.flags = 2;
    EXPECT_EQ(set_matrix_param(m, &q), 0);
    EXPECT_EQ(set_matrix_param(m, &q), -114);

    EXPECT_EQ(set_matrix_dim_divide(m, 1, 1), -104);
    EXPECT_EQ(set_matrix_dim_divide(m, -1, 1), -104);
    EXPECT_EQ(set_matrix_cal(m, 24, nullptr), -104);
    EXPECT_EQ(set_matrix_cal_equ(m, 3, 24), -104);
    MATRIX_CHANNEL_INFO ci{};
    EXPECT_EQ(set_matrix_channel_info(m, 1, &ci), -104);
    MATRIX* bare = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
    opened_.push_back(bare);
    EXPECT_EQ(set_matrix_pixel_size(bare, 0, 5), -105);
}

TEST_F(MatrixTest, FileNamesSearchAndModeRequeue) {
    L_CHAR* f = nl_copy_str(std_cm, "/tmp/mx-test-file");
    MATRIX* a = open_matrix(nullptr, f, nullptr, nullptr, nullptr);
    opened_.push_back(a);
    EXPECT_EQ(open_matrix(nullptr, f, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(open_matrix_with_search(nullptr, f, nullptr, nullptr, nullptr), a);
    int err = 1;
    EXPECT_EQ(search_matrix(&err, nullptr, f, nullptr, nullptr), a);
    EXPECT_EQ(err, 0);  // not ready, but no token waits
    L_CHAR* other = nl_copy_str(std_cm, "/tmp/none");
    EXPECT_EQ(search_matrix(&err, nullptr, other, nullptr, nullptr), nullptr);
    EXPECT_EQ(err, -101);
    d_f_ree(f);
    d_f_ree(other);
    // Two matrices without a file name may be open together.
    MATRIX* b = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
    MATRIX* c = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
    opened_.push_back(b);
    opened_.push_back(c);
    EXPECT_NE(b, c);
}

TEST_F(MatrixTest, DimensionCodesChildrenAndIndexes) {
    MATRIX* m = open({2, 64, 1, 2, 1});  // 5 levels; a level-1 node spans 8 cells
    int64_t dc[3] = {1, 13, 22};
    normalize_dim_code(m, dc);
    EXPECT_EQ(dc[1], 8);
    EXPECT_EQ(dc[2], 16);
    int64_t a[3] = {1, 9, 17}, b[3] = {1, 15, 23};
    EXPECT_EQ(cmp_dim_code(m, a, b), 0);
    EXPECT_EQ(_get_node_hash(m, a), _get_node_hash(m, b));
    EXPECT_EQ(cmp_dim_code(m, nullptr, a), -1);
    EXPECT_EQ(cmp_dim_code(m, nullptr, nullptr), 0);
    EXPECT_STREQ(pt_dc(m, b, 1), "+max 7+[1 8 10 ]");

    // Children of the level-1 node (0, 0): x is the first dimension, the last varies fastest.
    MATRIX_NODE n{};
    int64_t parent[3] = {1, 0, 0};
    n.matrix = m;
    n.dim_code = parent;
    uint8_t bits[1] = {0};
    n.nlist_dim_bit_field = bits;
    n.nlist_dim_bit_field_len = 1;
    int64_t want[4][2] = {{0, 0}, {0, 4}, {4, 0}, {4, 4}};
    for (int ix = 0; ix < 4; ix++) {
        int64_t* c = get_dim_code_from_index(m, parent, ix);
        EXPECT_EQ(c[0], 0);
        EXPECT_EQ(c[1], want[ix][0]);
        EXPECT_EQ(c[2], want[ix][1]);
        EXPECT_EQ(_get_dim_code_index(&n, c), ix);
        d_f_ree(c);
    }
    int64_t child[3] = {0, 4, 0};
    EXPECT_EQ(_check_dim_code(&n, child), 0);
    {
        TaskLockGuard g(matrix_lock);
        _insert_dim_code_index(&n, child, 0);
    }
    EXPECT_EQ(bits[0], 4);
    EXPECT_EQ(_check_dim_code(&n, child), 1);

    // The list form keeps its order and is kept null-terminated.
    MATRIX* wide = open({2, 1 << 16, 7, 2, 1});
    ASSERT_EQ(wide->dim_bit_field, 0);
    MATRIX_NODE l{};
    int64_t top[3] = {1, 0, 0};
    l.matrix = wide;
    l.dim_code = top;
    int64_t k1[3] = {0, 12, 4}, k2[3] = {0, 4, 8}, k3[3] = {0, 4, 4};
    EXPECT_EQ(_check_dim_code(&l, k1), 0);
    {
        TaskLockGuard g(matrix_lock);
        _insert_dim_code_index(&l, k1, 0);
        _insert_dim_code_index(&l, k2, 0);
        _insert_dim_code_index(&l, k3, 0);
        _insert_dim_code_index(&l, k2, 0);
    }
    ASSERT_EQ(l.nlist_dim_addr_len, 3);
    EXPECT_EQ(l.nlist_dim_addr[0][1], 4);
    EXPECT_EQ(l.nlist_dim_addr[0][2], 4);
    EXPECT_EQ(l.nlist_dim_addr[2][1], 12);
    EXPECT_EQ(l.nlist_dim_addr[3], nullptr);
    EXPECT_EQ(_check_dim_code(&l, k2), 1);
    _free_nlist_dim_addr(l.nlist_dim_addr, l.nlist_dim_addr_len);

    int ix[2] = {0, 0}, inc[2] = {1, 1}, size[2] = {2, 3};
    int visits = 1;
    while (inc_ix(ix, nullptr, inc, size, 2) == 0)
        visits++;
    EXPECT_EQ(visits, 6);
    EXPECT_EQ(get_seq_from_ix(std::vector<int>{1, 2}.data(), size, 2), 5);
    int back[2];
    get_ix_from_seq(back, size, 5, 2);
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[1], 2);
    EXPECT_EQ(power_of(8, 2), 0);
    EXPECT_EQ(power_of(1, 2), 0);
    EXPECT_EQ(power_of(6, 2), -1);
    EXPECT_EQ(power_of(0, 2), -1);
}

TEST_F(MatrixTest, LookupOverStatusesAndAccesses) {
    std::atomic<int> opened{0};
    static std::atomic<int>* seen;
    seen = &opened;
    MATRIX_PARAM p{};
    p.trigger = [](int event, void*) {
        if (event == 1) seen->fetch_add(1);
    };
    MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
    opened_.push_back(m);
    p.dim = 1;
    p.channel_nos = 1;
    set_matrix_param(m, &p);
    set_matrix_dim_divide(m, 0, 1);
    set_matrix_block_size(m, 0, 2);
    set_matrix_pixel_size(m, 0, 16);
    int64_t dc[2] = {0, 0};
    int err = 0;
    EXPECT_EQ(get_matrix_node(&err, m, dc, 3, nullptr, nullptr), nullptr);
    EXPECT_EQ(err, -121);
    EXPECT_EQ(opened.load(), 0);
    set_matrix_mode(m, 1);
    EXPECT_EQ(opened.load(), 1);

    // The node is made (no fetch script: it fails when its token ends).
    MATRIX_NODE* n = get_matrix_node(&err, m, dc, 3, nullptr, nullptr);
    EXPECT_EQ(err, -103);
    ASSERT_NE(n, nullptr);
    ASSERT_TRUE(quiet(m));
    EXPECT_EQ(n->status, MS_LOADING_ERR_1);

    struct Case {
        int status, access, code;
        bool node;
    };
    const Case cases[] = {
        {0, -1, -103, true},  {0, 3, -103, true},   {1, 0, -103, true},   {2, -1, 0, true},
        {2, 3, 0, true},      {3, -1, -101, false}, {3, 3, -101, false},  {3, 0, -101, true},
        {4, -1, -101, false}, {4, 3, -101, false},  {4, 0, -101, true},   {5, -1, -102, false},
        {5, 3, 0, true},      {6, 0, 0, true},      {6, -1, -102, false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(quiet(m));
        TaskLockGuard g(matrix_lock);
        n->status = c.status;
        int e = 0;
        MATRIX_NODE* r = _get_matrix_node(&e, m, dc, c.access, 0, nullptr, 0);
        EXPECT_EQ(e, c.code) << c.status << " " << c.access;
        EXPECT_EQ(r != nullptr, c.node) << c.status << " " << c.access;
        if (c.status >= 3 && c.status <= 4 && c.access == 0) {
            EXPECT_EQ(n->status, MS_BUSY);
        }
    }
    ASSERT_TRUE(quiet(m));
    {
        TaskLockGuard g(matrix_lock);
        n->status = MS_OK;
    }
    // A missing node at a negative access is not made.
    int64_t other[2] = {0, 8};
    EXPECT_EQ(get_matrix_node(&err, m, other, -1, nullptr, nullptr), nullptr);
    EXPECT_EQ(err, -101);
    n = get_matrix_node(&err, m, dc, 3, nullptr, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(n->locked, 1);
    unlock_node(n, nullptr);
    EXPECT_EQ(n->locked, 0);
}

TEST_F(MatrixTest, PurgeFollowsTheClock) {
    MATRIX* m = open({1, 1 << 20, 1, 2, 1});
    set_matrix_cal(m, MI_FETCH_1_TP, script(kReady));
    set_matrix_cal_equ(m, 4, MI_FETCH_1_TP);
    set_matrix_cal_equ(m, 5, MI_FETCH_1_TP);
    set_matrix_cal(m, MI_SAVE_TP, script("(testMark \"save\") <mxSave option=\"clear\"/>"));
    set_matrix_cal_equ(m, MI_SAVE_MD, MI_SAVE_TP);
    set_matrix_cal_equ(m, MI_SAVE_BT, MI_SAVE_TP);
    {
        TaskLockGuard g(matrix_lock);
        total_ncache_size = 100;
    }
    uint32_t t0 = clock_now += 100000;
    int64_t x = 0;
    auto make = [&](int count) {
        for (int i = 0; i < count; i++, x += 4) {
            int err = 0;
            int64_t dc[2] = {0, x};
            get_matrix_node(&err, m, dc, 3, nullptr, nullptr);
        }
        EXPECT_TRUE(quiet(m));
    };
    auto count = [] {
        TaskLockGuard g(matrix_lock);
        return nd_cnt;
    };
    make(300);
    int base = count();
    // Mark one recent node dirty 35 seconds before the next purge.
    clock_now = t0 + 90;
    int64_t recent[2] = {0, x - 4};
    int err = 0;
    MATRIX_NODE* r = get_matrix_node(&err, m, recent, 3, nullptr, nullptr);
    ASSERT_EQ(err, 0);
    set_dirty_file(r);
    unlock_node(r, nullptr);
    clock_now = t0 + 125;
    make(1);  // over twice the target, 35 seconds after the last purge: the idle ones go
    EXPECT_TRUE(quiet(m));
    auto marks = take_marks();
    EXPECT_EQ(marks, std::vector<std::string>{"^\"save\""});
    int after = count();
    EXPECT_LT(after, base - 150);
    make(150);
    int before = count();
    EXPECT_GT(before, 200);
    clock_now = t0 + 127;
    make(1);  // within 2 seconds of the purge: none
    EXPECT_EQ(count(), before + 1);
    clock_now = t0 + 128;
    make(1);  // 3 seconds after: the old ones go
    int few = count();
    EXPECT_LT(few, before - 50);
    EXPECT_LE(few, 200);
    // Below twice the target only the 121-second rule purges.
    clock_now = t0 + 248;
    make(1);
    EXPECT_EQ(count(), few + 1);
    clock_now = t0 + 249;
    make(1);
    EXPECT_LT(count(), few - 20);
    take_marks();
}

TEST_F(MatrixTest, OnlyLevelsWithASaveScriptGetDirty) {
    MATRIX* m = open({1, 1 << 20, 1, 2, 1});
    set_matrix_cal(m, MI_FETCH_1_TP, script(kReady));
    set_matrix_cal_equ(m, 4, MI_FETCH_1_TP);
    set_matrix_cal_equ(m, 5, MI_FETCH_1_TP);
    // Only the top level can be saved.
    set_matrix_cal(m, MI_SAVE_TP, script("(testMark \"save\") <mxSave option=\"clear\"/>"));
    int64_t top = m->total_levels - 1;
    ASSERT_GT(top, 1);
    for (int64_t level : {int64_t{0}, top / 2, top}) {
        int err = 0;
        int64_t dc[2] = {level, 0};
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, MI_FETCH_1_TP);
        ASSERT_EQ(err, 0);
        ASSERT_NE(n, nullptr);
        set_dirty_file(n);
        EXPECT_EQ(n->dirty_file_time != 0, level == top) << level;
        unlock_node(n, nullptr);
    }
    // The unsaveable nodes do not hold the close back; the top one is saved on the way.
    EXPECT_TRUE(quiet(m));
    close_matrix(m);
    opened_.clear();
    EXPECT_EQ(take_marks(), std::vector<std::string>{"^\"save\""});
}

TEST_F(MatrixTest, TreeWalksChildListsAndCodeLists) {
    MATRIX* m = open({1, 16, 1, 2, 1});  // level L spans 4 << L cells
    ASSERT_EQ(m->total_levels, 5);
    set_matrix_cal(m, MI_FETCH_1_TP, script(kReady));
    set_matrix_cal_equ(m, 4, MI_FETCH_1_TP);
    set_matrix_cal_equ(m, 5, MI_FETCH_1_TP);
    int err = 0;
    int64_t dc[2] = {0, 9};
    // Looking only finds no top node; the deepest-ready walk makes the levels 1, 2, 4 ... above
    // the one asked (here 0, 1 and 3) and looks only at the others.
    EXPECT_EQ(get_matrix_tree(&err, m, dc, -1, 0), nullptr);
    EXPECT_EQ(err, -101);
    EXPECT_EQ(get_matrix_tree(&err, m, dc, 1, 0), nullptr);
    EXPECT_EQ(err, -101);
    EXPECT_EQ(dc[0], 0);
    ASSERT_TRUE(quiet(m));
    const int made[5] = {MS_OK, MS_OK, -1, MS_OK, -1};
    for (int l = 0; l < 5; l++)
        EXPECT_EQ(status_of(m, {l, 9}), made[l]) << l;
    MATRIX_NODE* n = get_matrix_tree(&err, m, dc, 1, 0);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(n->dim_code[0], 0);
    EXPECT_EQ(n->dim_code[1], 8);
    EXPECT_EQ(n->locked, 1);
    EXPECT_EQ(_sync_matrix_node(n), -1);
    unlock_node(n, nullptr);
    {
        TaskLockGuard g(matrix_lock);
        EXPECT_EQ(_sync_matrix_node(n), 0);
    }
    int last = -1;
    EXPECT_EQ(mx_last_access(&last), 0);
    EXPECT_EQ(static_cast<uint32_t>(last), clock_now.load());

    // Mode 2 makes every level and records each child in its parent; meanwhile the deepest
    // ready node on the path answers.
    int64_t far[2] = {0, 14};
    n = get_matrix_tree(&err, m, far, 2, 0);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->dim_code[0], 1);
    unlock_node(n, nullptr);
    ASSERT_TRUE(quiet(m));
    n = get_matrix_tree(&err, m, far, 2, 0);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->dim_code[1], 12);
    unlock_node(n, nullptr);
    int64_t top[2] = {4, 0};
    MX_DIM_CODE_LIST* kids = get_children_list(&err, m, top, -1, 1, nullptr);
    ASSERT_EQ(err, 0);
    ASSERT_EQ(get_mx_list_length(kids), 1);
    EXPECT_EQ(kids->dc[0], 3);
    EXPECT_EQ(kids->dc[1], 0);
    free_mx_dim_code_list(kids);
    // A one-byte field of two child positions: bits past them name no child.
    MATRIX_NODE* t = get_matrix_node(&err, m, top, -1, nullptr, nullptr);
    ASSERT_NE(t, nullptr);
    for (uint8_t stray : {uint8_t{0xFC}, uint8_t{0xFE}}) {
        {
            TaskLockGuard g(matrix_lock);
            t->nlist_dim_bit_field[0] = stray;
        }
        EXPECT_EQ(check_children(t), stray & 3 ? 1 : 0);
        kids = get_children_list(&err, m, top, -1, 1, nullptr);
        EXPECT_EQ(get_mx_list_length(kids), stray & 3 ? 1 : 0);
        free_mx_dim_code_list(kids);
    }
    unlock_node(t, nullptr);

    // Codes from lists: exactly dim + 1 integers; the int form takes any list of 2 or more.
    struct Case {
        const char* text;
        std::vector<int64_t> code;
        std::vector<int> ints;
    };
    const Case cases[] = {
        {"(1 13)", {1, 13}, {1, 13}}, {"(0 1.5)", {}, {0, 0}},   {"(0)", {}, {}},
        {"(1 2 3)", {}, {1, 2, 3}},   {"(2 \"a\")", {}, {2, 0}},
    };
    for (const Case& c : cases) {
        QV_SEXP* s = script(c.text)->pair.car;
        int64_t* code = get_dim_code_from_sexp(m, s);
        EXPECT_EQ(code != nullptr, !c.code.empty()) << c.text;
        if (code) {
            EXPECT_EQ(std::vector<int64_t>(code, code + 2), c.code) << c.text;
        }
        d_f_ree(code);
        int* ints = get_dim_code_from_sexp_int(s);
        EXPECT_EQ(ints != nullptr, !c.ints.empty()) << c.text;
        if (ints) {
            EXPECT_EQ(std::vector<int>(ints, ints + c.ints.size()), c.ints) << c.text;
        }
        d_f_ree(ints);
    }
    int64_t odd[2] = {1, 13};
    QV_SEXP* back = get_sexp_from_dim_code(m, odd);
    EXPECT_EQ(back->pair.cdr->pair.car->integer.data, 8);
    int64_t ix[3] = {7, 0, 0}, inc[3] = {0, 1, 1}, size[3] = {0, 2, 3};
    int visits = 1;
    while (inc_dim_code_ix(ix, nullptr, inc, size, 2) == 0)
        visits++;
    EXPECT_EQ(visits, 6);
    EXPECT_EQ(ix[0], 7);
}

TEST_F(MatrixTest, AnErrorAsScriptStopsWithTheErrorShown) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    MATRIX* m = open({1, 16, 1, 2, 1});
    QV_SEXP* e = eval_error(nullptr, 0x80040501, "lostScript", nullptr);
    EXPECT_DEATH(set_matrix_cal(m, 3, e), "lostScript(.|\n)*_set_matrix_cal");
}

TEST_F(MatrixTest, TokenPriorityKinds) {
    MATRIX* m = open({1, 512, 1, 0, 1});
    ASSERT_EQ(m->total_levels, 10);
    int64_t fine[2] = {0, 0}, coarse[2] = {9, 0};
    MATRIX_NODE n{};
    n.matrix = m;
    MATRIX_TOKEN t{};
    t.process_node = &n;
    t.access_target_id = 5;
    m->p.pri_area[5] = 1;  // kind 1, base 0
    n.dim_code = fine;
    EXPECT_EQ(mx_token_priority(&t), 20);
    n.dim_code = coarse;
    EXPECT_EQ(mx_token_priority(&t), 11);
    m->p.pri_area[5] = (7 << 16) | 0;
    EXPECT_EQ(mx_token_priority(&t), 16);
    m->p.pri_area[5] = (7 << 16) | 2;
    EXPECT_EQ(mx_token_priority(&t), 7);
    for (int word : {3, 5, (7 << 16) | 0xffff}) {  // kind 3, and kinds no rule has
        m->p.pri_area[5] = word;
        EXPECT_EQ(mx_token_priority(&t), 32767) << word;
    }
    t.access_target_id = -1;
    EXPECT_EQ(mx_token_priority(&t), 32767);
}

}  // namespace

namespace {

using namespace mxt;

TEST_F(MatrixTest, AccessTickAdaptsTheNodeTarget) {
    MATRIX* m = open({1, 1000, 1, 4, 1});  // 11 levels
    {
        TaskLockGuard g(matrix_lock);
        total_ncache_size = 100;
    }
    int err = 0;
    int64_t dc[2] = {10, 0};
    get_matrix_node(&err, m, dc, -1, nullptr, nullptr);  // a look-up marks the period
    auto target = [] {
        TaskLockGuard g(matrix_lock);
        return total_ncache_size;
    };
    matrix_access_tick_step();
    EXPECT_EQ(target(), 110);
    matrix_access_tick_step();
    EXPECT_EQ(target(), 110);
    matrix_access_tick_step();  // unused for two periods: the target stays
    EXPECT_EQ(target(), 110);
    TaskLockGuard g(matrix_lock);
    total_ncache_size = 100;
}

// The answers of the store's services that callers branch on: a token waiting on a matrix not
// yet ready, object ids past the 64-bit range, parameters set twice, calibration texts of a bad
// phase or without a file, the type table's bounds, the waiting error's data; and a change made
// while a node's save runs keeps the node dirty.
TEST_F(MatrixTest, ServiceAnswersAndChangesDuringASave) {
    L_CHAR* f = nl_copy_str(std_cm, "/tmp/mx-test-waiting");
    MATRIX* a = open_matrix(nullptr, f, nullptr, nullptr, nullptr);
    opened_.push_back(a);
    MATRIX_TOKEN tk{};
    int err = 0;
    EXPECT_EQ(search_matrix(&err, nullptr, f, nullptr, &tk), a);
    EXPECT_EQ(err, -103);
    EXPECT_EQ(tk.wait_matrix, a);
    EXPECT_EQ(a->wait_token, &tk);
    {
        TaskLockGuard g(matrix_lock);
        a->wait_token = nullptr;
        tk.wait_matrix = nullptr;
    }
    d_f_ree(f);

    MATRIX* m = open({1, 1 << 20, 1, 2, 1});
    m->obj_id = INT64_MAX - 100;
    EXPECT_EQ(get_matrix_obj_id(m), 256);
    EXPECT_EQ(get_matrix_obj_id(m), 512);
    struct Param {
        void (*fill)(MATRIX_PARAM*);
        int twice;
    };
    const Param params[] = {
        {[](MATRIX_PARAM* p) { p->open_method = [](MATRIX_TOKEN*) {}; }, -112},
        {[](MATRIX_PARAM* p) { p->new_token = [](MATRIX_TOKEN*, int) {}; }, -115},
        {[](MATRIX_PARAM* p) { p->free_token = [](MATRIX_TOKEN*, int) {}; }, -116},
        {[](MATRIX_PARAM* p) { p->trigger = [](int, void*) {}; }, -117},
    };
    for (const Param& c : params) {
        MATRIX_PARAM p{};
        c.fill(&p);
        EXPECT_EQ(set_matrix_param(m, &p), 0) << c.twice;
        EXPECT_EQ(set_matrix_param(m, &p), c.twice);
    }

    QV_SEXP* cals[MX_CAL_SLOTS];
    int pri[MX_CAL_SLOTS];
    std::fill(std::begin(cals), std::end(cals), script("1"));
    std::fill(std::begin(pri), std::end(pri), 7);
    EXPECT_EQ(load_mode_cal(cals, pri, m, 3), -1);
    EXPECT_EQ(cals[23], nullptr);
    EXPECT_EQ(pri[23], 0);
    EXPECT_EQ(load_mode_cal(cals, pri, m, 0), -2);  // no file
    EXPECT_EQ(save_mode_cal(m, -1, nullptr, pri), -1);
    EXPECT_EQ(save_mode_cal(m, 2, nullptr, pri), -2);

    for (int code : {-1, 0, 16, 31, 32})
        EXPECT_EQ(get_matrix_data_type(code), nullptr) << code;
    EXPECT_NE(get_matrix_data_type(MXT_INT32), nullptr);
    EXPECT_EQ(get_vdata_from_sexp(get_integer(3, nullptr)), nullptr);
    EXPECT_EQ(print_sexp_text(matrix_error("f", nullptr, 2, nullptr)->error.data, 0),
              "(\"Application System error\" 2)");
    QV_SEXP* e = matrix_error("f", nullptr, 1, get_integer(9, nullptr));
    EXPECT_EQ(e->error.code, MXE_WAIT_CODE);
    EXPECT_EQ(print_sexp_text(e->error.data, 0), "(\"Application System error\" 1 9)");

    // A save clears the dirty mark only when nothing changed while it ran.
    set_matrix_cal(m, MI_FETCH_1_TP, script(kReady));
    set_matrix_cal_equ(m, 4, MI_FETCH_1_TP);
    set_matrix_cal_equ(m, 5, MI_FETCH_1_TP);
    for (int slot = MI_SAVE_TP; slot < MI_SAVE_TP + 3; slot++)
        set_matrix_cal(m, slot, script("<mxSave option=\"clear\"/>"));
    int64_t dc[2] = {0, 0};
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, MI_FETCH_1_TP);
    ASSERT_EQ(err, 0);
    for (bool change : {true, false}) {
        set_dirty_file(n);
        lock_save(n);
        if (change) set_dirty_file(n);
        unlock_save(n);
        EXPECT_EQ(n->dirty_file_time != 0, change) << change;
    }
    unlock_node(n, nullptr);
}

}  // namespace
