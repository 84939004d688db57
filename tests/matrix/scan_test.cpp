// Scans: stored nodes visited children first and parent first with their progress, a slot group
// with no scripts, a stopped slot run, a node whose fetch failed, and the forced scan's phases.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "base/textutil.h"
#include "matrix/mxfile.h"
#include "matrix/mxscan.h"
#include "mx_util.h"
#include "server/progress.h"

namespace {

using namespace mxt;
namespace fs = std::filesystem;

const char* kFetch =
    "<mxFinish\n\tnormal-jump-status=\"MS_OK\"\n\terr-jump-status=\"MS_PROCESS_ERR_1\"/>\n"
    "<mxLoad target=\"file\"/>\n";

std::string code_text(const int64_t* dc) {
    return std::to_string(dc[0]) + " " + std::to_string(dc[1]) + " " + std::to_string(dc[2]);
}

// The node whose slot run stops (Exit), empty for none.
std::string stop_at;

// (testNode): records the code of the node the running slot serves; stops at stop_at.
QV_SEXP* qv_testNode(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    MATRIX_TOKEN* t = get_env_token(env);
    if (!t) return nullptr;
    std::string c = code_text(t->process_node->dim_code);
    mark(c);
    if (c == stop_at) return eval_error(form, MXE_STOP_CODE, "testNode", nullptr);
    return nullptr;
}

// Progress as the scan reports it.
std::vector<std::string> prog;
std::string text_of(const L_CHAR* s) {
    char* c = ln_copy_str(std_cm, s);
    std::string r = c ? c : "";
    d_f_ree(c);
    return r;
}
const MX_SCAN_PROGRESS kRecord{
    [](const L_CHAR* d, const L_CHAR* f, int) {
        prog.push_back("open " + text_of(d) + " " + text_of(f));
        return 7;
    },
    [](int id, int) { prog.push_back("close " + std::to_string(id)); },
    [](int, const L_CHAR* d, int drsp, int) {
        prog.push_back("stage " + text_of(d) + " " + std::to_string(drsp));
        return 3;
    },
    [](int, int sid, double total, int) {
        prog.push_back("next " + std::to_string(sid) + " " + std::to_string(total));
        return 0;
    },
    [](int, const L_CHAR*, double done, int) {
        prog.push_back("set " + std::to_string(done));
        return 0;
    },
};

class ScanTest : public MatrixTest {
  protected:
    void SetUp() override {
        MatrixTest::SetUp();
        set_env(matrix_qv_env, l_string(std_cm, "testNode"),
                get_func_prim(qv_testNode, FUNC_APPLICATIVE, nullptr, 2, 2));
        set_matrix_scan_progress(&kRecord);
        prog.clear();
        stop_at.clear();
        file_ = (fs::temp_directory_path() /
                 ("vx_scan_" + std::to_string(getpid()) + "_" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                    .string();
        fs::remove(file_);
    }
    void TearDown() override {
        MatrixTest::TearDown();
        MX_SCAN_PROGRESS real{new_progressive, close_progressive, new_stage, next_stage, set_stage};
        set_matrix_scan_progress(&real);
        fs::remove(file_);
    }
    MATRIX* on_file() {
        MATRIX* m =
            open_matrix(nullptr, l_string(std_cm, file_.c_str()), nullptr, nullptr, nullptr);
        opened_.push_back(m);
        return m;
    }
    // A new 2-level 2-D matrix file (blocks of 16 x 16, top nodes of 32 x 32) whose slots make
    // nodes ready at once.
    MATRIX* created() {
        MATRIX* m = on_file();
        MATRIX_PARAM p{};
        p.dim = 2;
        p.channel_nos = 1;
        p.total_levels = 2;
        EXPECT_EQ(set_matrix_param(m, &p), 0);
        methods(m);
        for (int d = 0; d < 2; d++) {
            set_matrix_dim_divide(m, d, 1);
            set_matrix_block_size(m, d, 4);
            set_matrix_pixel_size(m, d, 64);
        }
        MATRIX_CHANNEL_INFO ci{get_matrix_data_type(MXT_INT32), MX_CH_FILE, nullptr, 0};
        set_matrix_channel_info(m, 0, &ci);
        EXPECT_EQ(save_matrix_header(m), 0);
        for (int s = 0; s < MI_SAVE_TP; s++)
            set_matrix_cal(m, s, script(kReady));
        set_matrix_mode(m, 1);
        return m;
    }
    void methods(MATRIX* m) {
        MATRIX_PARAM p{};
        p.read_file = matrix_standard_read_file;
        p.write_file = matrix_standard_write_file;
        p.close_file = close_matrix_file;
        EXPECT_EQ(set_matrix_param(m, &p), 0);
    }
    // The file of created() holding the top node (1, 0, 0) with the stored children (0, 0, 0) and
    // (0, 16, 0), the top node (1, 32, 0) with (0, 32, 0), and the top node (1, 0, 32) listing the
    // child (0, 0, 32) that was never stored. Reopened with the file fetch script and the scan's
    // slots (group MI_EDIT_1) set to testNode; fetch is the fetch slots' script.
    MATRIX* stored(const std::string& fetch = kFetch) {
        MATRIX* m = created();
        std::vector<std::vector<int64_t>> nodes = {{1, 0, 0},  {0, 0, 0},  {0, 16, 0},
                                                   {1, 32, 0}, {0, 32, 0}, {1, 0, 32}};
        for (auto& c : nodes) {
            int err = 0;
            MATRIX_NODE* n = get_matrix_node_wait(&err, m, c.data(), MI_FETCH_1_TP);
            EXPECT_EQ(err, 0);
            if (c[0] == 1)
                for (auto& k : nodes)
                    if (k[0] == 0 && k[1] / 32 == c[1] / 32 && k[2] / 32 == c[2] / 32)
                        insert_dim_code_index(n, k.data(), 0);
            if (c == std::vector<int64_t>{1, 0, 32}) {
                int64_t lost[3] = {0, 0, 32};
                insert_dim_code_index(n, lost, 0);
            }
            EXPECT_EQ(save_matrix_node(n), 0);
            unlock_node(n, nullptr);
        }
        close_matrix(m);
        opened_.clear();
        m = on_file();
        EXPECT_EQ(load_matrix_header(m, O_RDWR, 0644), 0);
        methods(m);
        for (int s = 0; s < 3; s++) {
            set_matrix_cal(m, MI_FETCH_1_TP + s, script(fetch.c_str()));
            set_matrix_cal(m, MI_EDIT_1_TP + s, script("(testNode 0) (testShow create-node)"));
        }
        set_matrix_mode(m, 1);
        return m;
    }
    std::string file_;
};

std::vector<int64_t> S = {0, 0, 0}, E31 = {0, 63, 31};

// A scan run on a task of its own with a bound: its result, or 1 when it did not return in
// time (the task is left behind rather than hanging the test).
struct ScanJob {
    MATRIX* m;
    int dir, access;
    std::vector<int64_t> s, e;
    std::atomic<int> res{1};
    std::atomic<bool> done{false};
};
void scan_task(intptr_t d) {
    auto* j = reinterpret_cast<ScanJob*>(d);
    j->res = matrix_scan(j->m, j->dir, j->access, j->s.data(), j->e.data(), nullptr, nullptr);
    j->done = true;
}
int bounded_scan(MATRIX* m, int dir, int access, const std::vector<int64_t>& s,
                 const std::vector<int64_t>& e) {
    auto* j = new ScanJob{m, dir, access, s, e};
    create_task(scan_task, j, 1);
    if (!wait_for([&] { return j->done.load(); }, 20000)) return 1;
    int r = j->res;
    delete j;
    return r;
}

// A node's scripts see the create-node setting of the operation that asked for the node, whatever
// another operation of the matrix set meanwhile; with no operation of its own running they see
// the matrix's key, which the last operation set.
TEST_F(ScanTest, ScriptsSeeTheCreateNodeOfTheOperationThatAskedForTheNode) {
    MATRIX* m = stored(std::string("(testNode 0) (testShow create-node) ") + kFetch);
    take_marks();
    auto fetch = [&](std::vector<int64_t> c) {
        int err = 0;
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, c.data(), MI_FETCH_1_TP);
        EXPECT_EQ(err, 0);
        if (n) unlock_node(n, nullptr);
    };
    struct Other {
        MATRIX* m;
        std::atomic<bool> done{false};
    } other{m};
    {
        MxCreateNode mine(m, "disable");
        // Another operation of the matrix, on a task of its own, sets "enable" meanwhile.
        create_task(
            [](intptr_t d) {
                auto* o = reinterpret_cast<Other*>(d);
                { MxCreateNode theirs(o->m, "enable"); }
                o->done = true;
            },
            reinterpret_cast<intptr_t>(&other), 1);
        ASSERT_TRUE(wait_for([&] { return other.done.load(); }));
        fetch({1, 0, 0});
    }
    fetch({1, 32, 0});
    std::vector<std::string> v = take_marks();
    EXPECT_EQ(v, (std::vector<std::string>{"1 0 0", "^\"disable\"", "1 32 0", "^\"enable\""}));
}

TEST_F(ScanTest, StoredNodesInBothOrdersWithProgress) {
    MATRIX* m = stored();
    testing::internal::CaptureStdout();
    EXPECT_EQ(matrix_scan(m, 0, MI_EDIT_1_TP, S.data(), E31.data(), nullptr, nullptr), 0);
    std::string out = testing::internal::GetCapturedStdout();
    std::vector<std::string> v = take_marks();
    // Each slot run records its node, then sees create-node "disable".
    ASSERT_EQ(v.size(), 10u);
    for (size_t i = 1; i < v.size(); i += 2)
        EXPECT_EQ(v[i], "^\"disable\"");
    std::vector<std::string> order;
    for (size_t i = 0; i < v.size(); i += 2)
        order.push_back(v[i]);
    auto at = [&](const char* c) {
        return std::find(order.begin(), order.end(), c) - order.begin();
    };
    EXPECT_LT(at("0 0 0"), at("1 0 0"));
    EXPECT_LT(at("0 16 0"), at("1 0 0"));
    EXPECT_LT(at("0 32 0"), at("1 32 0"));
    EXPECT_EQ(at("1 0 32"), 5);  // out of range
    EXPECT_NE(out.find("pre-call +max 2+[1 0 0 ]\n"), std::string::npos);
    EXPECT_NE(out.find("pre-call +max 2+[0 10 0 ]\n"), std::string::npos);
    EXPECT_EQ(prog.front(), "open MATRIX SCAN .progressive");
    EXPECT_EQ(prog[1], "stage MATRIX SCAN(LEVELING) -1");
    EXPECT_EQ(prog[2], "next 3 1.000000");
    EXPECT_EQ(prog.back(), "close 7");
    EXPECT_EQ(prog[prog.size() - 2], "next 0 0.000000");

    // Parent first, one top node: its slot has run before its children's, whose range is
    // aligned to the parent's level (so both are served); each child is half of the progress.
    prog.clear();
    std::vector<int64_t> e = {0, 15, 15};
    testing::internal::CaptureStdout();
    EXPECT_EQ(matrix_scan(m, 1, MI_EDIT_1_TP, S.data(), e.data(), nullptr, nullptr), 0);
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("pre-call"), std::string::npos);
    v = take_marks();
    ASSERT_EQ(v.size(), 6u);
    EXPECT_EQ(v[0], "1 0 0");
    EXPECT_EQ(std::count(prog.begin(), prog.end(), "set 0.500000"), 1);
    EXPECT_EQ(prog[prog.size() - 3], "set 1.000000");

    // A range beside every stored top node: nothing is visited, the report opens and closes.
    prog.clear();
    std::vector<int64_t> far = {0, 64, 64}, far_end = {0, 100, 100};
    EXPECT_EQ(matrix_scan(m, 0, MI_EDIT_1_TP, far.data(), far_end.data(), nullptr, nullptr), 0);
    EXPECT_TRUE(take_marks().empty());
    EXPECT_EQ(prog.size(), 5u);
}

TEST_F(ScanTest, EmptySlotsStopsAndFailedFetches) {
    MATRIX* m = stored();
    // No script in the group: every node counts as served and the scan returns.
    testing::internal::CaptureStdout();
    EXPECT_EQ(bounded_scan(m, 0, MI_EDIT_2_TP, S, E31), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(bounded_scan(m, 1, MI_EDIT_2_TP, S, E31), 0);
    EXPECT_TRUE(take_marks().empty());

    // A stopped run ends the visits above it, not the next top-level node.
    stop_at = "0 0 0";
    testing::internal::CaptureStdout();
    EXPECT_EQ(matrix_scan(m, 0, MI_EDIT_1_TP, S.data(), E31.data(), nullptr, nullptr),
              MXE_SCAN_STOPPED);
    testing::internal::GetCapturedStdout();
    std::vector<std::string> v = take_marks();
    EXPECT_EQ(std::count(v.begin(), v.end(), "1 0 0"), 0);
    EXPECT_EQ(std::count(v.begin(), v.end(), "1 32 0"), 1);
    // Parent first: the stop ends the loop over the children.
    stop_at = "1 0 0";
    EXPECT_EQ(matrix_scan(m, 1, MI_EDIT_1_TP, S.data(), E31.data(), nullptr, nullptr),
              MXE_SCAN_STOPPED);
    v = take_marks();
    EXPECT_EQ(std::count(v.begin(), v.end(), "0 0 0"), 0);
    EXPECT_EQ(std::count(v.begin(), v.end(), "1 32 0"), 1);

    // A listed child that was never stored fails its fetch: its visit ends with -101, which
    // becomes the scan's result; the others are still served.
    stop_at.clear();
    std::vector<int64_t> all = {0, 63, 63};
    testing::internal::CaptureStdout();
    EXPECT_EQ(matrix_scan(m, 0, MI_EDIT_1_TP, S.data(), all.data(), nullptr, nullptr),
              MXE_NOT_FOUND);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("CLIST ERR -101\n"), std::string::npos);
    v = take_marks();
    EXPECT_EQ(std::count(v.begin(), v.end(), "1 0 32"), 1);
    EXPECT_EQ(std::count(v.begin(), v.end(), "1 32 0"), 1);
    EXPECT_EQ(std::count(v.begin(), v.end(), "0 0 32"), 0);
}

// A callback counting the nodes it is given (held, at their codes).
int count_cb(MATRIX_SCAN_T* mst) {
    auto* seen = static_cast<std::vector<std::string>*>(mst->work);
    if (!mst->n || mst->n->dim_code[1] != mst->dim_code[1]) return -7;
    seen->push_back(code_text(mst->dim_code));
    return 0;
}

TEST_F(ScanTest, TopLevelNodesComeInBatchesAndACallbackFailureIsKept) {
    // 230 stored top-level nodes in a row: three batches, each visited once.
    MATRIX* m = created();
    const int kTops = 230;
    for (int i = 0; i < kTops; i++) {
        std::vector<int64_t> c = {1, 32 * i, 0};
        int err = 0;
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, c.data(), MI_FETCH_1_TP);
        ASSERT_EQ(err, 0);
        EXPECT_EQ(save_matrix_node(n), 0);
        unlock_node(n, nullptr);
    }
    std::vector<std::string> seen;
    std::vector<int64_t> e = {0, 32 * kTops - 1, 31};
    testing::internal::CaptureStdout();
    EXPECT_EQ(matrix_scan(m, 0, MI_EDIT_2_TP, S.data(), e.data(), count_cb, &seen), 0);
    testing::internal::GetCapturedStdout();
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
    EXPECT_EQ(seen.size(), static_cast<size_t>(kTops));
    // A callback's failure becomes the result; the walk goes on.
    seen.clear();
    auto fail = [](MATRIX_SCAN_T* mst) {
        static_cast<std::vector<std::string>*>(mst->work)->push_back("x");
        return mst->dim_code[1] == 64 ? -9 : 0;
    };
    EXPECT_EQ(matrix_scan(m, 1, MI_EDIT_2_TP, S.data(), e.data(), fail, &seen), -9);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kTops));
}

// The forced scan: a callback that asks for descent and loads, counting what it saw.
struct Seen {
    std::vector<std::string> calls;
    int descend_below = 1;
};
int force_cb(MATRIX_SCAN_T* mst) {
    auto* s = static_cast<Seen*>(mst->work);
    s->calls.push_back(std::to_string(mst->dir) + ":" + code_text(mst->dim_code) +
                       (mst->n ? "+" : ""));
    if (mst->dir != 0) return 0;
    mst->loading_type = 1;
    mst->gn_create = MI_FETCH_1_TP;
    return (mst->dim_code[0] >= s->descend_below ? MX_SCAN_DESCEND : 0) | MX_SCAN_LOAD_AFTER;
}

TEST_F(ScanTest, ForcedScanPhasesAndLoopAmount) {
    Geometry g;
    g.dim = 1;
    MATRIX_PARAM p{};
    p.total_levels = 2;
    MATRIX* one = open(g, &p);
    std::vector<int64_t> s1 = {0, 0}, e1 = {0, 511}, top1 = {1, 0};
    EXPECT_EQ(get_loop_amount(one, s1.data(), e1.data(), top1.data()), 768);
    std::vector<int64_t> miss = {0, 1000}, miss_end = {0, 2000};
    EXPECT_EQ(get_loop_amount(one, miss.data(), miss_end.data(), top1.data()), 0);

    g.dim = 2;
    g.block = 4;
    MATRIX* m = open(g, &p);
    for (int s = 0; s < MI_SAVE_TP; s++)
        set_matrix_cal(m, s, script(kReady));
    Seen seen;
    std::vector<int64_t> s = {0, 0, 0}, e = {0, 31, 15};
    testing::internal::CaptureStdout();
    EXPECT_EQ(matrix_scan_force(m, MI_FETCH_1_TP, s.data(), e.data(), force_cb, &seen), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(seen.calls,
              (std::vector<std::string>{"0:1 0 0", "1:1 0 0", "0:0 0 0", "1:0 0 0", "2:0 0 0",
                                        "3:0 0 0+", "0:0 16 0", "1:0 16 0", "2:0 16 0", "3:0 16 0+",
                                        "2:1 0 0", "3:1 0 0+"}));
    EXPECT_NE(out.find("call-force +max 2+[1 0 0 ]"), std::string::npos);
    // Every node the scan loaded was released.
    EXPECT_TRUE(wait_for([&] {
        TaskLockGuard lk(matrix_lock);
        for (int b = 0; b < m->node_hash_size; b++)
            for (MATRIX_NODE* n = m->node_hash[b]; n; n = n->nh_next)
                if (n->locked) return false;
        return true;
    }));

    // Phase 0 answering "no descent": the top node alone, nothing loaded.
    seen = Seen{};
    seen.descend_below = 5;
    testing::internal::CaptureStdout();
    EXPECT_EQ(matrix_scan_force(m, MI_FETCH_1_TP, s.data(), e.data(), force_cb, &seen), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(seen.calls.size(), 4u);
}

// A channel load of every walk type gives back exactly the holds it took: a hold of another
// user on the node outlives the scan.
int channel_load_cb(MATRIX_SCAN_T* mst) {
    if (mst->dir == 3 && !mst->channel_data) return -8;
    if (mst->dir != 0) return 0;
    mst->loading_type = 2;
    mst->channel = 0;
    mst->gn_tree_node = *static_cast<int*>(mst->work);
    mst->gn_create = MI_FETCH_1_TP;
    return MX_SCAN_LOAD_BEFORE;
}

TEST_F(ScanTest, ForcedChannelLoadsReleaseOnlyTheirOwnHolds) {
    MATRIX* m = created();
    std::vector<int64_t> top = {1, 0, 0}, s = {0, 0, 0}, e = {0, 31, 31};
    int err = 0;
    MATRIX_NODE* mine = get_matrix_node_wait(&err, m, top.data(), MI_FETCH_1_TP);
    ASSERT_EQ(err, 0);
    ASSERT_GE(set_channel_sexp(mine, 0, get_integer(5, nullptr)), 0);
    for (int type : {0, 1, 2}) {
        SCOPED_TRACE("walk type " + std::to_string(type));
        testing::internal::CaptureStdout();
        int r = matrix_scan_force(m, MI_FETCH_1_TP, s.data(), e.data(), channel_load_cb, &type);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(r, 0);
        EXPECT_EQ(mx_node_held(mine), 1);
        EXPECT_EQ(mine->ch_lock, 0);
    }
    unlock_node(mine, nullptr);
}

// A node that a writer keeps busy is waited for however often the writer wakes it: the wait for
// unwritten nodes before a scan or copy is bounded by time, not by wake-ups.
TEST_F(ScanTest, TheWaitForUnwrittenNodesOutlastsAWritersWakeUps) {
    MATRIX* m = created();
    std::vector<int64_t> top = {1, 0, 0};
    int err = 0;
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, top.data(), MI_FETCH_1_TP);
    ASSERT_EQ(err, 0);
    unlock_node(n, nullptr);
    ASSERT_TRUE(quiet(m));
    {
        TaskLockGuard g(matrix_lock);
        n->status = MS_BUSY;
    }
    struct Sync {
        MATRIX* m;
        std::atomic<int> result{1};
    } job{m};
    std::atomic<int>& result = job.result;
    create_task(
        [](intptr_t d) {
            auto* j = reinterpret_cast<Sync*>(d);
            j->result = mx_file_sync_create_node(j->m);
        },
        &job, 1);
    // Far more wake-ups than a count of rounds would allow, sent while some task sleeps (the
    // waiting caller, once it has looked at the nodes again).
    int woken = 0;
    for (; woken < 400 && result == 1; woken++) {
        wait_for([&] { return mx_sleeping() || result != 1; });
        {
            TaskLockGuard g(matrix_lock);
            mx_wake(n);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(result.load(), 1) << "the wait ended after " << woken << " wake-ups";
    {
        TaskLockGuard g(matrix_lock);
        n->status = MS_OK;
        mx_wake(n);
    }
    ASSERT_TRUE(wait_for([&] { return result != 1; }));
    EXPECT_EQ(result.load(), 0);
}

}  // namespace
