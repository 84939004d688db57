// Tokens running calibration scripts: slot choice by level, jumps, empty slots, waiting codes,
// the stop error; the matrix-script functions through real scripts.
#include "mx_util.h"
#include "server/interp.h"

namespace {

using namespace mxt;

QV_SEXP* qv_testStop(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return eval_error(form, MXE_STOP_CODE, "Exit", nullptr);
}

// Fills channel 0 of the token's node with its first coordinate.
std::atomic<int> reads{0}, writes{0};
int test_read(MATRIX_TOKEN* t) {
    reads++;
    MATRIX_NODE* n = t->process_node;
    gc_push(nullptr, nullptr, "test_read");
    int r = set_channel_sexp(n, 0, get_integer(n->dim_code[1], nullptr));
    gc_pop(nullptr, nullptr);
    return r >= 0 ? 0 : -1;
}
int test_write(MATRIX_TOKEN* t) {
    writes++;
    unlock_save(t->process_node);
    return 0;
}

class ScriptTest : public MatrixTest {
  protected:
    void SetUp() override {
        MatrixTest::SetUp();
        set_env(matrix_qv_env, l_string(std_cm, "testStop"),
                get_func_prim(qv_testStop, FUNC_APPLICATIVE, nullptr, 1, 1));
    }
    // Sets the three slots of a group.
    void group(MATRIX* m, int first, const char* tp, const char* md, const char* bt) {
        if (tp) set_matrix_cal(m, first, script(tp));
        if (md) set_matrix_cal(m, first + 1, script(md));
        if (bt) set_matrix_cal(m, first + 2, script(bt));
    }
    MATRIX_NODE* node(MATRIX* m, int64_t level, int64_t x, int access = 3) {
        int err = 0;
        int64_t dc[2] = {level, x};
        return get_matrix_node(&err, m, dc, access, nullptr, nullptr);
    }
    // The node, ready and held.
    MATRIX_NODE* ready(MATRIX* m, int64_t level, int64_t x) {
        int err = 0;
        int64_t dc[2] = {level, x};
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
        EXPECT_EQ(err, 0);
        return n;
    }
    // Runs a script on a ready node through slot group MI_VISU_1 and returns what it recorded.
    std::vector<std::string> run_on(MATRIX* m, MATRIX_NODE* n, const char* text) {
        group(m, MI_VISU_1_TP, text, text, text);
        take_marks();
        matrix_trigger_access(n, MI_VISU_1_TP, 0);
        EXPECT_TRUE(quiet(m));
        return take_marks();
    }
};

// The worker may give a token the environment an earlier token's script left as it was made:
// each token still sees its own level, and nothing an earlier script bound or changed.
TEST_F(ScriptTest, EachTokenSeesAFreshEnvironment) {
    MATRIX* m = open({1, 16, 1, 2, 1});
    std::string changes_level =
        std::string("(testMark mxThisLevel) (set mxThisLevel 99) ") + kReady;
    group(m, MI_FETCH_1_TP, changes_level.c_str(), changes_level.c_str(), changes_level.c_str());
    for (auto [level, x] : {std::pair{0, 0}, {1, 0}, {0, 4}, {0, 8}, {2, 0}, {0, 12}}) {
        MATRIX_NODE* n = ready(m, level, x);
        unlock_node(n, nullptr);
    }
    EXPECT_EQ(take_marks(), (std::vector<std::string>{"0", "1", "0", "0", "2", "0"}));
    MATRIX* m2 = open({1, 16, 1, 2, 1});
    std::string binds =
        std::string("(testShow probe) (define probe 7) (testMark mxThisLevel) ") + kReady;
    group(m2, MI_FETCH_1_TP, binds.c_str(), binds.c_str(), binds.c_str());
    for (int64_t x : {0, 4, 8}) {
        MATRIX_NODE* n = ready(m2, 0, x);
        unlock_node(n, nullptr);
    }
    std::vector<std::string> marks = take_marks();
    ASSERT_EQ(marks.size(), 6u);
    for (size_t i = 0; i < marks.size(); i += 2) {
        EXPECT_EQ(marks[i], marks[0]) << i;  // probe unbound each time
        EXPECT_EQ(marks[i + 1], "0") << i;
    }
    EXPECT_NE(marks[0].find("undefined symbol"), std::string::npos) << marks[0];
}

TEST_F(ScriptTest, SlotsByLevelJumpsAndEmptySlots) {
    MATRIX* m = open({1, 16, 1, 2, 1});  // 5 levels
    ASSERT_EQ(m->total_levels, 5);
    group(m, MI_FETCH_1_TP, "(testMark 3) <mxFinish normal-jump=\"MI_EDIT_1\"/>",
          "(testMark 4) <mxFinish normal-jump=\"MI_EDIT_1\"/>",
          "(testMark 5) <mxFinish normal-jump=\"MI_EDIT_1\"/>");
    group(m, MI_EDIT_1_TP, "(testMark 9) <mxFinish normal-jump-status=\"MS_OK\"/>",
          "(testMark 10) <mxFinish normal-jump-status=\"MS_OK\"/>",
          "(testMark 11) <mxFinish normal-jump-status=\"MS_OK\"/>");
    const std::vector<std::vector<std::string>> want = {{"5", "11"}, {"4", "10"}, {"3", "9"}};
    const int64_t levels[] = {0, 2, 4};
    for (int i = 0; i < 3; i++) {
        node(m, levels[i], 0);
        ASSERT_TRUE(quiet(m));
        EXPECT_EQ(take_marks(), want[i]) << levels[i];
        EXPECT_EQ(status_of(m, {levels[i], 0}), MS_OK);
    }
    // An empty slot is passed over, and its group counts as run for the scans.
    MATRIX_NODE* n = ready(m, 2, 0);
    {
        TaskLockGuard g(matrix_lock);
        memset(n->scan_call, 0, sizeof n->scan_call);
        MATRIX_TOKEN* t = _new_matrix_token(n);
        _xx_insert_access_list(t, MI_FETCH_2_TP);
        _xx_insert_access_list(t, MI_EDIT_1_TP);
        _xx_insert_matrix_access(t, matrix_exec_cal, __FILE__, __LINE__);
    }
    ASSERT_TRUE(quiet(m));
    EXPECT_EQ(take_marks(), std::vector<std::string>{"10"});
    EXPECT_EQ(n->scan_call[2], 1);
    EXPECT_EQ(n->scan_call[3], 1);
    unlock_node(n, nullptr);

    // A one-level matrix runs the top slot on its only node.
    MATRIX* one = open({1, 1, 1, 2, 1});
    ASSERT_EQ(one->total_levels, 1);
    group(one, MI_FETCH_1_TP, "(testMark \"TP\") <mxFinish normal-jump-status=\"MS_OK\"/>", nullptr,
          "(testMark \"BT\")");
    node(one, 0, 0);
    ASSERT_TRUE(quiet(one));
    EXPECT_EQ(take_marks(), std::vector<std::string>{"^\"TP\""});
}

// Ended tokens serve again: each run sees its own node's level and a fresh environment, with
// nothing an earlier run defined.
TEST_F(ScriptTest, TokensServeAgainClean) {
    MATRIX* m = open({1, 16, 1, 2, 1});  // 5 levels
    const char* s =
        "(testShow mxThisLevel) (testShow left) (Define left 1) "
        "<mxFinish normal-jump-status=\"MS_OK\"/>";
    group(m, MI_FETCH_1_TP, s, s, s);
    for (int64_t level : {0, 3, 4, 1, 2}) {
        node(m, level, 0);
        ASSERT_TRUE(quiet(m));
        std::vector<std::string> marks = take_marks();
        ASSERT_EQ(marks.size(), 2u) << level;
        EXPECT_EQ(marks[0], std::to_string(level));
        EXPECT_EQ(marks[1].rfind("ERR ", 0), 0u) << marks[1];
        EXPECT_EQ(status_of(m, {level, 0}), MS_OK);
    }
}

TEST_F(ScriptTest, WaitingCodesResumeOrRepeat) {
    for (int code : {1, 2}) {
        MATRIX* m = open({1, 16, 1, 2, 1});
        char text[160];
        snprintf(text, sizeof text,
                 "(testMark \"a\") (testWait %d 0 8) (testMark \"b\") "
                 "<mxFinish normal-jump-status=\"MS_OK\"/>",
                 code);
        group(m, MI_FETCH_1_TP, nullptr, text,
              "(testMark \"B\") <mxFinish normal-jump-status=\"MS_OK\"/>");
        node(m, 1, 0);
        ASSERT_TRUE(quiet(m));
        std::vector<std::string> want = {"^\"a\"", "W", "^\"B\"", "W", "^\"b\""};
        if (code == 2) want = {"^\"a\"", "W", "^\"B\"", "^\"b\""};
        EXPECT_EQ(take_marks(), want) << code;
        EXPECT_EQ(status_of(m, {1, 0}), MS_OK);
    }
}

TEST_F(ScriptTest, StopEndsTheTokenAndReadersReturn) {
    MATRIX* m = open({1, 16, 1, 2, 1});
    group(m, MI_FETCH_1_TP, "(testStop)", "(testStop)", "(testMark 1) (testStop) (testMark 2)");
    int64_t dc[2] = {0, 4};
    int err = 0;
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
    EXPECT_EQ(n, nullptr);
    EXPECT_EQ(err, -101);
    ASSERT_TRUE(quiet(m));
    EXPECT_EQ(take_marks(), std::vector<std::string>{"1"});
    EXPECT_EQ(status_of(m, {0, 4}), MS_LOADING_ERR_1);
    TaskLockGuard g(matrix_lock);
    EXPECT_EQ(m->token_cnt, 0);
    MATRIX_NODE* k = m->node_hash[_get_node_hash(m, dc)];
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->scan_call[1], 131);
    EXPECT_EQ(k->process_token, nullptr);
}

TEST_F(ScriptTest, LifecycleFunctionsThroughScripts) {
    // Outside a calibration script every function answers the null value.
    // (The test thread evaluates as an internal interpreter, as any caller of scripts does; the
    // interpreter's close wants the thread's frames empty.)
    gc_pop(nullptr, nullptr);
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_INTERNAL;
    ASSERT_GT(setup_i(qvi), 0);
    QVISP_ENV* plain = new_env(matrix_qv_env);
    for (const char* f : {"<mxLoad/>", "<mxSave/>", "<mxFinish err-jump=\"x\"/>", "<mxTrigger/>",
                          "<mxCH>0</mxCH>", "(mxSet 0 1)"})
        EXPECT_EQ(get_type(eval(plain, read_qv_item(f))), QVT_NIL) << f;
    close_self_interpreter();
    gc_push(nullptr, nullptr, "MatrixTest");

    Geometry g{1, 16, 1, 2, 1, MXT_INT32};
    MATRIX_PARAM p{};
    p.read_file = test_read;
    p.write_file = test_write;
    MATRIX* m = open(g, &p);
    const char* fetch = "(testShow <mxSave/>) <mxLoad/> <mxFinish normal-jump-status=\"MS_OK\"/>";
    group(m, MI_FETCH_1_TP, fetch, fetch, fetch);
    MATRIX_NODE* top = ready(m, 4, 0);
    EXPECT_EQ(take_marks(), std::vector<std::string>{"ERR 80040501 (\"invalid matrix saving\" 0)"});
    EXPECT_EQ(
        run_on(m, top,
               "(testShow <mxFinish err-jump=\"bad\"/>) "
               "(testShow <mxFinish normal-jump-status=\"MS_NOPE\"/>) "
               "(testShow <mxFinish/>) (testShow <mxTrigger type=\"parent\"/>) "
               "(testShow <mxLoad target=\"disk\"/>) (testShow <mxSave option=\"keep\"/>) "
               "(testShow (mxPgPlotInitialize)) (testShow <mxLoad target=\"net\"/>)"),
        (std::vector<std::string>{
            "ERR 80040503 (\"invalid parameter in mxFinish\" \"err-jump\" \"bad\")",
            "ERR 80040503 (\"invalid parameter in mxFinish\" \"normal-jump-status\" \"MS_NOPE\")",
            "()", "()", "ERR 80040503 ^\"invalid parameter in mxLoad\"",
            "ERR 80040503 (\"invalid option\" \"keep\")",
            "ERR 80040503 (\"invalid parameter in mxPgPlotInitialize\" \"channel range\")",
            "ERR 80040609 (\"not support read_file operation\" 1 0 1)"}));
    int w = writes.load();
    EXPECT_EQ(run_on(m, top, "(testShow <mxSave option=\"clear\"/>) (testShow <mxSave/>)"),
              (std::vector<std::string>{"()", "()"}));
    EXPECT_EQ(writes.load(), w + 1);  // clear wrote nothing; save wrote once

    // Children: recorded in the level-1 node, read last child first, fetched when missing.
    MATRIX_NODE* parent = ready(m, 1, 0);
    unlock_node(ready(m, 0, 0), nullptr);
    unlock_node(ready(m, 0, 4), nullptr);
    take_marks();
    int64_t c0[2] = {0, 0}, c1[2] = {0, 4};
    insert_dim_code_index(parent, c0, 0);
    insert_dim_code_index(parent, c1, 0);
    EXPECT_EQ(
        run_on(m, parent,
               "(testShow <mxCH type=\"children\">0</mxCH>) "
               "(testShow <mxCH type=\"test.children\">0</mxCH>) "
               "(testShow <mxCH>0</mxCH>) (testShow <mxCH>-1</mxCH>) "
               "(testShow <mxCH>1</mxCH>) (testShow (mxSet 0 <mxCH>0</mxCH>))"),
        (std::vector<std::string>{"(Children (data (0 4) 4) (data (0 0) 0))", "1", "(data (1 0) 0)",
                                  "ERR 80040503 ^\"invalid parameter in mxCH\"",
                                  "ERR 80040503 ^\"invalid parameter in mxCH\"", "0"}));
    // mxSet refuses a value that is not a data item.
    EXPECT_EQ(run_on(m, parent, "(testShow (mxSet 0 5))"),
              std::vector<std::string>{"ERR 80030806 (\"type missmatch\" \"data item\")"});
    unlock_node(parent, nullptr);
    unlock_node(top, nullptr);
}

}  // namespace

namespace {

using namespace mxt;

// The open method runs as the opening token on its own worker: it sets the parameters and opens
// the matrix; a node token that reached the matrix before waits and then runs.
std::atomic<int> open_runs{0};
void open_method(MATRIX_TOKEN* t) {
    open_runs++;
    MATRIX* m = t->wait_matrix;
    MATRIX_PARAM p{};
    p.dim = 1;
    p.channel_nos = 1;
    set_matrix_param(m, &p);
    set_matrix_dim_divide(m, 0, 1);
    set_matrix_block_size(m, 0, 2);
    set_matrix_pixel_size(m, 0, 16);
    set_matrix_mode(m, 1);
}

TEST_F(ScriptTest, OpeningTokenAndWaitingTokens) {
    open_runs = 0;
    L_CHAR* key = nl_copy_str(std_cm, "opening-test");
    MATRIX* m = open_matrix(nullptr, nullptr, key, open_method, nullptr);
    opened_.push_back(m);
    wait_matrix_mode(m);
    EXPECT_EQ(m->mode, 1);
    EXPECT_EQ(open_runs.load(), 1);
    EXPECT_EQ(open_matrix_with_search(nullptr, nullptr, key, open_method, nullptr), m);
    d_f_ree(key);
    ASSERT_TRUE(wait_for([] { return get_active_que_thread(&matrix_que) <= 1; }));
    EXPECT_EQ(open_runs.load(), 1);

    // A matrix closed while its opening token is still to run waits for it.
    MATRIX* quick = open_matrix(nullptr, nullptr, nullptr, open_method, nullptr);
    close_matrix(quick);
    EXPECT_EQ(open_runs.load(), 2);

    // A token that meets a matrix not yet open waits on it and runs once the mode changes.
    MATRIX* later = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
    opened_.push_back(later);
    MATRIX_PARAM p{};
    p.dim = 1;
    p.channel_nos = 1;
    set_matrix_param(later, &p);
    set_matrix_dim_divide(later, 0, 1);
    set_matrix_block_size(later, 0, 2);
    set_matrix_pixel_size(later, 0, 16);
    group(later, MI_FETCH_1_TP, nullptr, nullptr,
          "(testMark \"ran\") <mxFinish normal-jump-status=\"MS_OK\"/>");
    set_matrix_mode(later, 1);
    {
        // The node's token is queued while the lock is held, and finds the matrix not ready.
        TaskLockGuard g(matrix_lock);
        int err = 0;
        int64_t dc[2] = {0, 0};
        ASSERT_NE(_get_matrix_node(&err, later, dc, 3, 0, nullptr, 0), nullptr);
        _set_matrix_mode(later, 0);
    }
    EXPECT_TRUE(wait_for([&] {
        TaskLockGuard g(matrix_lock);
        return later->wait_token != nullptr;
    }));
    EXPECT_TRUE(take_marks().empty());
    set_matrix_mode(later, 1);
    ASSERT_TRUE(quiet(later));
    EXPECT_EQ(take_marks(), std::vector<std::string>{"^\"ran\""});
    EXPECT_EQ(status_of(later, {0, 0}), MS_OK);
}

}  // namespace

namespace {

using namespace mxt;

// A fetch script that reads its own node's children does not wait for itself.
TEST_F(ScriptTest, OwnNodeDuringItsFetch) {
    Geometry g{1, 16, 1, 2, 1, MXT_INT32};
    MATRIX* m = open(g);
    group(m, MI_FETCH_1_TP, nullptr,
          "(testShow <mxCH type=\"test.children\">0</mxCH>) "
          "(testShow <mxCH type=\"children\">0</mxCH>) "
          "<mxFinish normal-jump-status=\"MS_OK\"/>",
          nullptr);
    node(m, 1, 0);
    ASSERT_TRUE(quiet(m));
    EXPECT_EQ(take_marks(), (std::vector<std::string>{"0", "(Children)"}));
    EXPECT_EQ(status_of(m, {1, 0}), MS_OK);
}

}  // namespace

namespace {

using namespace mxt;

// A waiting answer that parked the token nowhere fails the slot instead of repeating for ever.
TEST_F(ScriptTest, WaitingOnNothingFails) {
    MATRIX* m = open({1, 16, 1, 2, 1});
    group(m, MI_FETCH_1_TP, nullptr, nullptr,
          "<mxFinish err-jump-status=\"MS_EDIT_ERR_1\"/> (testWait 1 9 0) (testMark \"after\")");
    node(m, 0, 0);
    ASSERT_TRUE(quiet(m));
    EXPECT_EQ(take_marks(), std::vector<std::string>{"W"});
    EXPECT_EQ(status_of(m, {0, 0}), MS_EDIT_ERR_1);
}

}  // namespace

namespace {

using namespace mxt;

std::atomic<bool> gate_open{false}, gate_entered{false};
QV_SEXP* qv_testGate(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    gate_entered = true;
    wait_for([] { return gate_open.load(); });
    return nullptr;
}

// A parked token, and one the worker is running, keep the script they started and their
// environment even when their slots are set anew and collections run meanwhile.
TEST_F(ScriptTest, ParkedTokenKeepsItsScript) {
    set_env(matrix_qv_env, l_string(std_cm, "testGate"),
            get_func_prim(qv_testGate, FUNC_APPLICATIVE, nullptr, 1, 1));
    gate_open = false;
    gate_entered = false;
    MATRIX* m = open({1, 16, 1, 2, 1});
    group(m, MI_FETCH_1_TP, nullptr,
          "(testMark \"a\") (testWait 1 0 8) (testMark \"b\") (testMark mxThisLevel) "
          "<mxFinish normal-jump-status=\"MS_OK\"/>",
          "(testGate) (testMark mxThisLevel) <mxFinish normal-jump-status=\"MS_OK\"/>");
    node(m, 1, 0);
    ASSERT_TRUE(wait_for([&] {
        TaskLockGuard g(matrix_lock);
        MATRIX_NODE* b = m->node_hash[_get_node_hash(m, std::vector<int64_t>{0, 8}.data())];
        return b && b->wait_token;
    }));
    // The level-0 token the parked one waits for is in its gate on the worker.
    ASSERT_TRUE(wait_for([] { return gate_entered.load(); }));
    set_matrix_cal(m, MI_FETCH_1_TP + 1, script("(testMark \"new\")"));
    set_matrix_cal(m, MI_FETCH_1_TP + 2, script("(testMark \"new\")"));
    gc_tick_notin_tick(nullptr, 0);
    gc_tick_notin_tick(nullptr, 0);
    gate_open = true;
    ASSERT_TRUE(quiet(m));
    EXPECT_EQ(take_marks(), (std::vector<std::string>{"^\"a\"", "W", "0", "W", "^\"b\"", "1"}));
    EXPECT_EQ(status_of(m, {1, 0}), MS_OK);
    EXPECT_EQ(status_of(m, {0, 8}), MS_OK);
}

}  // namespace

namespace {

using namespace mxt;

// The trigger over a box asks the slot on every block of the box at the start level, making the
// missing nodes.
TEST_F(ScriptTest, TriggerOverABox) {
    MATRIX* m = open({2, 64, 1, 2, 1});
    group(m, MI_FETCH_1_TP, kReady, kReady, kReady);
    // The node's code shows in the reason of reading its empty channel.
    group(m, MI_VISU_1_TP, nullptr, nullptr, "(testShow <mxCH>0</mxCH>)");
    int64_t from[3] = {0, 8, 0}, to[3] = {0, 20, 4};
    matrix_peano_trigger(m, from, to, MI_VISU_1_TP);
    ASSERT_TRUE(quiet(m));
    // x 8..20 by 4, y 0 and 4, two by two inside their parents.
    std::vector<std::string> order;
    for (const std::string& s : take_marks())
        order.push_back(s.substr(s.find("(0 ")));
    EXPECT_EQ(order, (std::vector<std::string>{"(0 8 0) 0)", "(0 12 0) 0)", "(0 8 4) 0)",
                                               "(0 12 4) 0)", "(0 16 0) 0)", "(0 20 0) 0)",
                                               "(0 16 4) 0)", "(0 20 4) 0)"}));
    for (int64_t x = 8; x <= 20; x += 4)
        EXPECT_EQ(status_of(m, {0, x, 4}), MS_OK);
    EXPECT_EQ(status_of(m, {0, 24, 0}), -1);
}

TEST_F(ScriptTest, ATriggerOfTheRunningAccessOfItsOwnNodeRunsItOnce) {
    // Each script triggers the access it runs in on its own node (queueing it again would run it
    // for ever); another access of the node is still queued.
    struct {
        const char* trigger;
        std::vector<std::string> marks;
    } cases[] = {
        {"<mxTrigger/>", {"V"}},
        {"<mxTrigger type=\"me\"/>", {"V"}},
        {"<mxTrigger access=\"MI_VISU_1\"/>", {"V"}},
        {"(mxTrigger (list 0 4))", {"V"}},
        {"<mxTrigger access=\"MI_EDIT_1\"/>", {"V", "E"}},
    };
    Geometry g{1, 16, 1, 2, 1, MXT_INT32};
    MATRIX* m = open(g);
    group(m, MI_FETCH_1_TP, kReady, kReady, kReady);
    group(m, MI_EDIT_1_TP, "(testMark 'E)", "(testMark 'E)", "(testMark 'E)");
    MATRIX_NODE* n = ready(m, 0, 4);
    for (const auto& c : cases) {
        std::string text = std::string("(testMark 'V) ") + c.trigger;
        std::vector<std::string> got = run_on(m, n, text.c_str());
        for (std::string& x : got)
            x = x.substr(x.size() - 1);
        EXPECT_EQ(got, c.marks) << c.trigger;
    }
    unlock_node(n, nullptr);
}

}  // namespace

namespace {

using namespace mxt;

// A node in an edit error repaired with its error cleared runs the repair group of its error; a
// slot ended as failed from outside gives the node its error status and goes on with the jump.
TEST_F(ScriptTest, RepairSlotFollowsTheEditErrorAndFailedSlotsJump) {
    for (auto [status, name, want] : {std::tuple{MS_EDIT_ERR_1, "MS_EDIT_ERR_1", "1"},
                                      std::tuple{MS_EDIT_ERR_2, "MS_EDIT_ERR_2", "2"}}) {
        MATRIX* m = open({1, 16, 1, 2, 1});
        std::string fail = std::string("<mxFinish err-jump-status=\"") + name + "\"/> (noSuchFn)";
        group(m, MI_FETCH_1_TP, fail.c_str(), fail.c_str(), fail.c_str());
        const char* e1 = "(testMark 1) <mxFinish normal-jump-status=\"MS_OK\"/>";
        const char* e2 = "(testMark 2) <mxFinish normal-jump-status=\"MS_OK\"/>";
        group(m, MI_EDIT_1_TP, e1, e1, e1);
        group(m, MI_EDIT_2_TP, e2, e2, e2);
        MATRIX_NODE* n = node(m, 0, 0);
        ASSERT_TRUE(quiet(m));
        take_marks();
        EXPECT_EQ(status_of(m, {0, 0}), status);
        matrix_trigger_access(n, MI_VISU_1_TP, 1);
        ASSERT_TRUE(quiet(m));
        EXPECT_EQ(take_marks(), std::vector<std::string>{want}) << name;
        EXPECT_EQ(status_of(m, {0, 0}), MS_OK);
        {
            TaskLockGuard g(matrix_lock);
            MATRIX_TOKEN* t = _new_matrix_token(n);
            t->err_jump_status = status;
            t->err_jump = MI_EDIT_1_TP;
        }
        matrix_token_error(n->process_token);
        ASSERT_TRUE(quiet(m));
        EXPECT_EQ(take_marks(), std::vector<std::string>{"1"}) << name;
        EXPECT_EQ(status_of(m, {0, 0}), MS_OK);
    }
}

}  // namespace
