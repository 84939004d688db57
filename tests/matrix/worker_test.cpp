// The queue worker runs a stream of node tokens in the queue's order and tells the matrix's
// trigger as before; readers waiting for nodes get them whether the node is made within their
// short watch or long after it.
#include <atomic>
#include <thread>

#include "base/task.h"
#include "mx_util.h"

namespace {

using namespace mxt;

std::atomic<int> made_ready{0}, last_token{0}, seen_not_ready{0};

TEST_F(MatrixTest, StreamedTokensRunInQueueOrderAndTellTheTrigger) {
    made_ready = last_token = seen_not_ready = 0;
    MATRIX_PARAM p{};
    p.trigger = [](int event, void* data) {
        // The node is told ready once its status already says so.
        if (event == 2 && static_cast<MATRIX_TOKEN*>(data)->process_node->status != MS_OK)
            seen_not_ready++;
        if (event == 2) made_ready++;
        if (event == 4) last_token++;
    };
    MATRIX* m = open({1, 512, 1, 0, 1}, &p);
    ASSERT_EQ(m->total_levels, 10);
    QV_SEXP* s = script("(testMark mxThisLevel) <mxFinish normal-jump-status=\"MS_OK\"/>");
    for (int slot = MI_FETCH_1_TP; slot < MI_FETCH_1_TP + 3; slot++)
        set_matrix_cal(m, slot, s);
    {
        // Queued at once, lowest priority first (a node's priority is its level here): the worker
        // may take the first before the others come, then runs them highest first.
        TaskLockGuard g(matrix_lock);
        for (int64_t level = 0; level < 10; level++) {
            int err = 0;
            int64_t dc[2] = {level, 0};
            ASSERT_NE(_get_matrix_node(&err, m, dc, MI_FETCH_1_TP, level, nullptr, 0), nullptr);
        }
    }
    ASSERT_TRUE(quiet(m));
    std::vector<std::string> marks = take_marks();
    ASSERT_EQ(marks.size(), 10u);
    for (size_t i = 2; i < marks.size(); i++)
        EXPECT_GT(std::stoi(marks[i - 1]), std::stoi(marks[i])) << i;
    EXPECT_EQ(made_ready.load(), 10);
    EXPECT_EQ(seen_not_ready.load(), 0);
    EXPECT_GE(last_token.load(), 1);
    for (int64_t level = 0; level < 10; level++)
        EXPECT_EQ(status_of(m, {level, 0}), MS_OK) << level;
}

// The worker gives a token the environment an earlier token left as it was made, keeping the
// number bound to mxThisLevel when it is the new node's level: what a script bound there instead
// (here a text that prints as the level) is never taken for the number.
TEST_F(MatrixTest, ReusedEnvironmentsBindEachNodesLevel) {
    std::string rebinds = std::string("(testMark mxThisLevel) (set mxThisLevel \"0\") ") + kReady;
    std::string keeps = std::string("(testMark mxThisLevel) ") + kReady;
    for (const std::string& text : {rebinds, keeps}) {
        MATRIX* m = open({1, 512, 1, 0, 1});
        QV_SEXP* s = script(text.c_str());
        for (int slot = MI_FETCH_1_TP; slot < MI_FETCH_1_TP + 3; slot++)
            set_matrix_cal(m, slot, s);
        std::vector<std::string> want;
        int64_t x = 0;
        for (int64_t level : {0, 0, 2, 2, 0, 9, 0}) {
            int err = 0;
            x += 8;  // a new node each time (level 9 has only one)
            int64_t dc[2] = {level, level == 9 ? 0 : x};
            MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, MI_FETCH_1_TP);
            EXPECT_EQ(err, 0);
            if (n) unlock_node(n, nullptr);
            want.push_back(std::to_string(level));
        }
        ASSERT_TRUE(quiet(m));
        EXPECT_EQ(take_marks(), want) << text;
    }
}

// A look-up that may make a node has the block made before it takes the store's lock (after a
// look-up of its thread made a node); a look-up that finds its node (here a failed one, answered
// -101) gives that block back, and the look-ups after it make none.
TEST_F(MatrixTest, LookupsThatFindTheirNodeGiveTheBlockBack) {
    MATRIX* m = open({1, 512, 1, 0, 1});  // no scripts: a new node's token ends and the node fails
    int64_t dc[2] = {0, 0};
    int err = 0;
    get_matrix_node(&err, m, dc, MI_FETCH_1_TP, nullptr, nullptr);
    ASSERT_TRUE(quiet(m));
    ASSERT_EQ(status_of(m, {0, 0}), MS_LOADING_ERR_1);
    auto look = [&] {
        err = 0;
        EXPECT_EQ(get_matrix_node(&err, m, dc, MI_FETCH_1_TP, nullptr, nullptr), nullptr);
        EXPECT_EQ(err, MXE_NOT_FOUND);
    };
    auto held = [] { return get_d_used_memory() - get_mem_free_info_count() * MEM_RECORD_SIZE; };
    int grew = 0;
    for (int i = 1; i <= 20; i++) {
        int64_t fresh[2] = {0, 8 * i};
        get_matrix_node(&err, m, fresh, MI_FETCH_1_TP, nullptr, nullptr);  // makes a node
        ASSERT_TRUE(quiet(m));
        int64_t before = held();
        int nodes = nd_cnt;
        for (int k = 0; k < 10; k++)
            look();
        grew += held() > before;
        EXPECT_EQ(nd_cnt, nodes);
    }
    // A block kept by the look-ups would grow every round; the memory count is the process's,
    // and its own tasks (the collector, ticks) now and then allocate during a round.
    EXPECT_LE(grew, 3);
}

// A token's first access-list entry lives in the token and the others apart: the list keeps its
// order and its slots whichever entries leave and come back, and the token still runs them.
TEST_F(MatrixTest, AccessListEntriesInTheTokenAndApart) {
    MATRIX* m = open({1, 512, 1, 0, 1});
    QV_SEXP* s = script(kReady);
    for (int slot = MI_FETCH_1_TP; slot < MI_FETCH_1_TP + 3; slot++)
        set_matrix_cal(m, slot, s);
    set_matrix_cal(m, MI_VISU_1_TP + 2, script("(testMark \"visu\")"));
    int err = 0;
    int64_t dc[2] = {0, 8};
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, MI_FETCH_1_TP);
    ASSERT_NE(n, nullptr);
    ASSERT_TRUE(quiet(m));
    auto ids = [](MATRIX_TOKEN* t) {
        std::vector<int> v;
        for (MATRIX_ACCESS_LIST* e = t->access_list; e; e = e->next)
            v.push_back(e->id);
        return v;
    };
    {
        TaskLockGuard g(matrix_lock);
        MATRIX_TOKEN* t = _new_matrix_token(n);
        for (int id : {MI_EDIT_1_TP, MI_EDIT_2_TP, MI_VISU_2_TP, MI_EDIT_2_TP})
            _xx_insert_access_list(t, id);
        EXPECT_EQ(t->access_list, &t->own_entry);
        EXPECT_EQ(ids(t), (std::vector<int>{MI_EDIT_1_TP, MI_EDIT_2_TP, MI_VISU_2_TP}));
        EXPECT_EQ(_delete_access_list(t), MI_EDIT_1_TP);
        _xx_insert_access_list(t, MI_VISU_1_TP);  // the token's own entry again, at the end
        EXPECT_EQ(ids(t), (std::vector<int>{MI_EDIT_2_TP, MI_VISU_2_TP, MI_VISU_1_TP}));
        EXPECT_EQ(t->access_list->next->next, &t->own_entry);
        EXPECT_EQ(_delete_access_list(t), MI_EDIT_2_TP);
        EXPECT_EQ(_delete_access_list(t), MI_VISU_2_TP);
        _xx_insert_access_list(t, MI_EDIT_1_TP);  // from the pool: the token's own is taken
        EXPECT_EQ(ids(t), (std::vector<int>{MI_VISU_1_TP, MI_EDIT_1_TP}));
        _xx_insert_matrix_access(t, matrix_exec_cal, __FILE__, __LINE__);
    }
    ASSERT_TRUE(quiet(m));
    EXPECT_EQ(take_marks(), std::vector<std::string>{"^\"visu\""});
    unlock_node(n, nullptr);
}

// (testPause): every fifth node of a line takes 20 ms to make.
QV_SEXP* qv_testPause(QVISP_ENV* env, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    MATRIX_TOKEN* t = get_env_token(env);
    if (t && t->process_node->dim_code[1] / 4 % 5 == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return nullptr;
}

constexpr int kWaitNodes = 40;
MATRIX* wait_matrix = nullptr;
std::atomic<int> wait_wrong{0}, waiters_done{0};

void node_waiter(intptr_t r) {
    for (int i = 0; i < kWaitNodes; i++) {
        int err = 0;
        int64_t dc[2] = {0, ((i + r * 7) % kWaitNodes) * 4};
        MATRIX_NODE* n = get_matrix_node_wait(&err, wait_matrix, dc, MI_FETCH_1_TP);
        if (err != 0 || !n || mx_ld(n->status) != MS_OK || n->dim_code[1] != dc[1]) {
            wait_wrong++;
            continue;
        }
        unlock_node(n, nullptr);
    }
    waiters_done++;
}

TEST_F(MatrixTest, WaitingReadersGetQuickAndSlowNodes) {
    set_env(matrix_qv_env, l_string(std_cm, "testPause"),
            get_func_prim(qv_testPause, FUNC_APPLICATIVE, nullptr, 1, 1));
    MATRIX* m = wait_matrix = open({1, 1 << 20, 1, 2, 1});
    QV_SEXP* s = script("(testPause) <mxFinish normal-jump-status=\"MS_OK\"/>");
    for (int slot = MI_FETCH_1_TP; slot < MI_FETCH_1_TP + 3; slot++)
        set_matrix_cal(m, slot, s);
    wait_wrong = waiters_done = 0;
    for (int r = 0; r < 4; r++)
        create_task(node_waiter, r, 1);
    ASSERT_TRUE(wait_for([] { return waiters_done.load() == 4; }, 60000));
    EXPECT_EQ(wait_wrong.load(), 0);
    ASSERT_TRUE(quiet(m));
    for (int i = 0; i < kWaitNodes; i++)
        EXPECT_EQ(status_of(m, {0, i * 4}), MS_OK) << i;
}

}  // namespace
