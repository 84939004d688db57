// gmxPgPlotInsert: CSV lines and list records become points of the first childless node on their
// way down; crowded nodes pass their points to the children that hold them, creating no empty
// child; the cache settings come back on every road out; the refusals carry their data.
#include <string>
#include <vector>

#include "builtins/threads.h"
#include "geo/geo_util.h"
#include "geo/pgplot_insert.h"
#include "gmx_util.h"
#include "lisp/list.h"
#include "matrix/mx_sb.h"
#include "matrixops/plot_block.h"
#include "matrixops/plot_sb.h"
#include "support/collections.h"
#include "support/stdout_text.h"

using namespace gmxtest;

namespace {

// The node of the code when the matrix holds it (not created, not held).
MATRIX_NODE* find_node(MATRIX* m, std::vector<int64_t> dc) {
    TaskLockGuard g(matrix_lock);
    for (MATRIX_NODE* k = m->node_hash[_get_node_hash(m, dc.data())]; k; k = k->nh_next)
        if (_cmp_dim_code(m, k->dim_code, dc.data()) == 0) return k;
    return nullptr;
}

// (testNodeBytes id level x y): the stored form of the node's plot block in channel 1; nil when
// there is none.
QV_SEXP* qv_testNodeBytes(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    MX_ENTRY* e = search_mx_entry_by_id(static_cast<int>(get_el(form, 1)->integer.data));
    if (!e) return nullptr;
    MATRIX_NODE* n =
        find_node(e->c.m, {get_el(form, 2)->integer.data, get_el(form, 3)->integer.data,
                           get_el(form, 4)->integer.data});
    release_mx_entry(e);
    auto* sb = n ? static_cast<MX_STRUCT_BLOCK*>(get_channel_struct_block(n, 1)) : nullptr;
    if (!sb) return nullptr;
    int64_t size = 0;
    uint8_t* b = pp_struct2block(reinterpret_cast<PP_SB*>(sb)->pp, &size);
    matrix_node_channel_unlock(n, 0);
    QV_SEXP* r = get_raw(b, static_cast<int32_t>(size));
    d_f_ree(b);
    return r;
}

// (testKeep v): v bound as "kept" in the top environment, for the runs after this one.
QV_SEXP* qv_testKeep(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    set_env(vxlisp_top_env1, L("kept"), get_el(form, 1));
    return nullptr;
}

// A 2-dimensional matrix of side `side` in blocks of 4 x 4 (dimension 1's block size bs1):
// channel 0 int16, channel 1 the plot block, which every new node installs (but those of the
// middle levels without middle_block).
std::string plot_matrix(int side, int divide, int bs1, bool middle_block = true) {
    auto dims = [](const char* form, int v0, int v1) {
        return std::string(" ([") + form + " dim=\"0\" value=\"" + std::to_string(v0) + "\"]) ([" +
               form + " dim=\"1\" value=\"" + std::to_string(v1) + "\"])";
    };
    std::string r = "(gmxCreate ([gmxMatrixParam channel_nos=\"2\" dim=\"2\"])" +
                    dims("gmxMatrixDimDivide", divide, divide) +
                    dims("gmxMatrixBlockSize", 2, bs1) + dims("gmxMatrixPixelSize", side, side) +
                    " ([gmxChannelInfo channel=\"0\" type=\"int16_v\"])"
                    " ([gmxChannelInfo channel=\"1\" type=\"block\"])"
                    " ([gmxPhase area=\"0\"] ([mxPgPlotInitialize channel=\"1\"]) "
                    "([mxFinish normal-jump-status=\"MS_OK\"]))";
    if (!middle_block) r += " ([gmxPhase area=\"1\"] ([mxFinish normal-jump-status=\"MS_OK\"]))";
    for (int a = 1; a <= 5; a++)
        if (middle_block || (a != 1 && a != 4))
            r += " ([gmxPhase area=\"" + std::to_string(a) + "\" type=\"equ\" equ=\"0\"])";
    if (!middle_block) r += " ([gmxPhase area=\"4\" type=\"equ\" equ=\"1\"])";
    return r + ")";
}

}  // namespace

class PgInsertTest : public GmxTest {
  protected:
    void SetUp() override {
        GmxTest::SetUp();
        set_env(vxlisp_top_env1, L("testNodeBytes"),
                get_func_prim(qv_testNodeBytes, FUNC_APPLICATIVE, nullptr, 5, 5));
        set_env(vxlisp_top_env1, L("testKeep"),
                get_func_prim(qv_testKeep, FUNC_APPLICATIVE, nullptr, 2, 2));
    }
    void TearDown() override {
        for (int id : ids_)
            close_id(id);
    }
    int make(int side, int divide = 1, int bs1 = 2, bool middle_block = true) {
        int id = create(plot_matrix(side, divide, bs1, middle_block));
        if (id > 0) ids_.push_back(id);
        return id;
    }
    // x from column A, y from B, a UTF-8 text field 0 from C, in the variable s.
    static std::string options(int id) {
        std::string f = "([gmxPgPlotField id=\"" + std::to_string(id) + "\"])";
        return "(Define s " + f +
               ") (Define s ([gmxPgPlotField merge-type=\"48\" dim=\"0\" csv=\"A\"] s 1 1 0 0))"
               " (Define s ([gmxPgPlotField merge-type=\"48\" dim=\"1\" csv=\"B\"] s 1 1 0 0))"
               " (Define s ([gmxPgPlotField merge-type=\"32\" label=\"0\" csv=\"C\"] s "
               "\"UTF-8\")) ";
    }
    static std::string insert(int id, const std::string& attrs, const std::string& data) {
        return "([gmxPgPlotInsert id=\"" + std::to_string(id) + "\" channel=\"1\" " + attrs +
               "] s " + data + ")";
    }
    // The readable form of a node's plot block.
    std::string shown(int id, int64_t level, int64_t x, int64_t y) {
        std::string ids = std::to_string(id);
        std::string at = std::to_string(level) + " " + std::to_string(x) + " " + std::to_string(y);
        Val v = run("([gmxPgDisplay id=\"" + ids + "\"] (list 'data '(0 0 0) (testNodeBytes " +
                    ids + " " + at + ")))");
        return v.type == QVT_ERROR ? "ERR " + v.error : v.text;
    }
    MATRIX* matrix(int id) {
        MX_ENTRY* e = search_mx_entry_by_id(id);
        MATRIX* m = e ? e->c.m : nullptr;
        if (e) release_mx_entry(e);
        return m;
    }
    std::vector<int> ids_;
};

TEST_F(PgInsertTest, ThreeLevelsPassEveryPointDownCreatingOnlyTheNodesThatHoldPoints) {
    // Side 16 in blocks of 4 with 16 children a node: levels 0 to 2, and the two upper levels
    // hold too few cells to keep any point.
    int id = make(16, 2);
    ASSERT_GT(id, 0);
    MATRIX* m = matrix(id);
    ASSERT_EQ(m->total_levels, 3);
    // The header is skipped, 7 is no record, "3" is short: y 0 and no text.
    Val v = run(options(id) + insert(id, "csv=\"on\" startline=\"1\"",
                                     "'(\"x,y,name\" \"1,1,a\" \"9,1,b\" \"2,2,c\" 7 \"3\")"));
    EXPECT_EQ(v.type, QVT_NIL) << v.error;
    EXPECT_EQ(shown(id, 2, 0, 0), "(pg 1 1 0 (ip))");
    EXPECT_EQ(shown(id, 1, 0, 0), "(pg 1 1 0 (ip))");
    EXPECT_EQ(shown(id, 0, 8, 0),
              "(pg 11 11 1 (ip (point 1 (c 1 1) () (fields (STRING 32 \"b\")))))");
    EXPECT_EQ(shown(id, 0, 0, 0),
              "(pg 29 29 3 (ip (point 1 (c 3 0) () (fields (NONE 16))) (point 1 (c 2 2) () "
              "(fields (STRING 32 \"c\"))) (point 1 (c 1 1) () (fields (STRING 32 \"a\")))))");
    for (int64_t y = 0; y < 16; y += 4)
        for (int64_t x = 0; x < 16; x += 4)
            EXPECT_EQ(find_node(m, {0, x, y}) != nullptr, y == 0 && (x == 0 || x == 8))
                << x << " " << y;
}

// The collector marks a field set and its options from the call that makes them, on its own
// task: sets and options made while collections run one after another are whole when marked
// (the thread sanitizer names the race when a field is filled after the record became
// reachable) and serve the insert that follows.
TEST_F(PgInsertTest, FieldSetsMadeWhileCollectionsRunAreMarkedWhole) {
    int id = make(16, 2);
    ASSERT_GT(id, 0);
    BackgroundCollections collections(std::chrono::microseconds(50));
    for (int i = 0; i < 50 || (collections.count() < 20 && i < 1000); i++) {
        Val v = run(options(id) + "(Define s2 s)");
        ASSERT_EQ(v.error, "") << i;
    }
    Val v = run(options(id) + insert(id, "csv=\"on\"", "'(\"1,1,a\")"));
    EXPECT_EQ(v.type, QVT_NIL) << v.error;
    EXPECT_TRUE(collections.end());
    EXPECT_NE(shown(id, 0, 0, 0).find("(fields (STRING 32 \"a\"))"), std::string::npos)
        << shown(id, 0, 0, 0);
}

TEST_F(PgInsertTest, CrowdedNodesPassTheirPointsToTheChildrenThatHoldThem) {
    // Side 16 in blocks of 4, divide 1: levels 0 to 4; a node of levels 1 and 2 keeps one point
    // per quarter.
    int id = make(16);
    ASSERT_GT(id, 0);
    MATRIX* m = matrix(id);
    ASSERT_EQ(m->total_levels, 5);
    Val v = run(options(id) + insert(id, "csv=\"on\" startline=\"1\"",
                                     "'(\"x,y,name\" \"1,1,a\" \"9,1,b\" \"2,2,c\" 7 \"3\")"));
    EXPECT_EQ(v.type, QVT_NIL) << v.error;
    // a and c crowded the first quarter of level-2 node (0, 0): it passed all three down, and
    // level-1 node (0, 0) passed a and c on to level 0. b stays alone at level 1, its remainder
    // below the level's cell as a base.
    EXPECT_EQ(shown(id, 2, 0, 0), "(pg 1 1 0 (ip))");
    EXPECT_EQ(shown(id, 1, 0, 0), "(pg 1 1 0 (ip))");
    EXPECT_EQ(shown(id, 1, 8, 0),
              "(pg 27 27 1 (ip (point 33 (c 0 0) (base 1 1) (fields (STRING 32 \"b\")))))");
    EXPECT_EQ(shown(id, 0, 0, 0),
              "(pg 29 29 3 (ip (point 1 (c 3 0) () (fields (NONE 16))) (point 1 (c 2 2) () "
              "(fields (STRING 32 \"c\"))) (point 1 (c 1 1) () (fields (STRING 32 \"a\")))))");
    for (std::vector<int64_t> dc : {std::vector<int64_t>{1, 0, 8},
                                    {1, 8, 8},
                                    {0, 4, 0},
                                    {0, 0, 4},
                                    {0, 4, 4},
                                    {0, 8, 0},
                                    {0, 12, 0}})
        EXPECT_EQ(find_node(m, dc), nullptr) << dc[0] << " " << dc[1] << " " << dc[2];
    // Later points go straight to the childless node that holds their place.
    v = run(options(id) + insert(id, "csv=\"on\"", "'(\"15,3,d\")"));
    EXPECT_EQ(v.type, QVT_NIL) << v.error;
    EXPECT_EQ(shown(id, 1, 8, 0),
              "(pg 53 53 2 (ip (point 33 (c 3 1) (base 1 1) (fields (STRING 32 \"d\"))) (point 33 "
              "(c 0 0) (base 1 1) (fields (STRING 32 \"b\")))))");

    // A start line past the end inserts nothing and makes no node.
    int id2 = make(16);
    ASSERT_GT(id2, 0);
    v = run(options(id2) + insert(id2, "csv=\"on\" startline=\"9\"", "'(\"1,1,a\")"));
    EXPECT_EQ(v.type, QVT_NIL) << v.error;
    EXPECT_EQ(find_node(matrix(id2), {4, 0, 0}), nullptr);
}

TEST_F(PgInsertTest, OneLevelNeverDividesAndListRecordsAreColumns) {
    int id = make(1);
    ASSERT_GT(id, 0);
    ASSERT_EQ(matrix(id)->total_levels, 1);
    std::string recs;
    for (int i = 0; i < 5; i++)
        recs += insert(id, "", "'(0 0 \"p" + std::to_string(i) + "\")") + " ";
    Val v = run(options(id) + recs);
    EXPECT_EQ(v.type, QVT_NIL) << v.error;
    std::string shown0 = shown(id, 0, 0, 0);
    EXPECT_EQ(shown0.substr(0, 13), "(pg 56 56 5 (") << shown0;
    EXPECT_EQ(shown0.find("(point 1 (c 0 0) () (fields (STRING 32 \"p4\")))"), 16u) << shown0;
    // A list record leaves no node current in the entry's cache.
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->c.n, nullptr);
    release_mx_entry(e);
}

// An int field of input format 4 (mxPgFDIT_DDMMSS) takes packed degrees, minutes and seconds
// from list values and CSV cells as seconds, times the resolution plus the offset; 60 minutes
// or seconds are refused with the value kind's code, the records before staying inserted.
TEST_F(PgInsertTest, PackedDegreesMinutesSecondsFieldsAreSeconds) {
    int id = make(1);
    ASSERT_GT(id, 0);
    const std::string dms = options(id) +
                            "(Define s ([gmxPgPlotField merge-type=\"51\" label=\"1\" "
                            "csv=\"D\"] s mxPgFDIT_DDMMSS 10 5 0)) ";
    Val v = run(dms + insert(id, "", "'(0 0 \"a\" -451530)") + " " +
                insert(id, "csv=\"on\"", "'(\"0,0,b,0451530.5\")"));
    ASSERT_EQ(v.type, QVT_NIL) << v.error;
    std::string s = shown(id, 0, 0, 0);
    EXPECT_NE(s.find("(fields (STRING 32 \"a\") (INT 51 -1629295))"), std::string::npos) << s;
    EXPECT_NE(s.find("(fields (STRING 32 \"b\") (INT 51 1629310))"), std::string::npos) << s;
    EXPECT_EQ(err(run(dms + insert(id, "", "'(0 0 \"c\" 456030)"))),
              "fffffffa gmxPgPlotInsert (\"type missmatch or others\" \"get data\")");
    EXPECT_EQ(err(run(dms + insert(id, "csv=\"on\"", "'(\"0,0,d,451560\")"))),
              "fffffff9 gmxPgPlotInsert (\"type missmatch or others\" \"get data2\")");
    EXPECT_EQ(shown(id, 0, 0, 0), s);
}

// A number field whose cell or string holds no number (an empty CSV cell, "n/a") is left without
// a value, as a missing column leaves it, and the insertion goes on; a coordinate without a
// number and a number no field holds still refuse the record.
TEST_F(PgInsertTest, ANumberFieldWithoutANumberIsLeftWithoutAValue) {
    int id = make(1);
    ASSERT_GT(id, 0);
    const std::string opts = options(id) +
                             "(Define s ([gmxPgPlotField merge-type=\"49\" label=\"1\" "
                             "csv=\"D\"] s mxPgFDIT_INT 1 0 0)) ";
    Val v = run(
        opts + insert(id, "csv=\"on\"", "'(\"0,0,a,5\" \"0,0,b,\" \"0,0,c,n/a\" \"0,0,d\")") + " " +
        insert(id, "", "'(0 0 \"e\" \"\")") + " " + insert(id, "", "'(0 0 \"f\" \" 7\")"));
    ASSERT_EQ(v.type, QVT_NIL) << v.error;
    std::string s = shown(id, 0, 0, 0);
    struct {
        const char* text;
        const char* field;
    } rows[] = {{"a", "(INT 49 5)"}, {"b", "(NONE 16)"}, {"c", "(NONE 16)"},
                {"d", "(NONE 16)"},  {"e", "(NONE 16)"}, {"f", "(INT 49 7)"}};
    for (auto& r : rows)
        EXPECT_NE(s.find(std::string("(fields (STRING 32 \"") + r.text + "\") " + r.field + ")"),
                  std::string::npos)
            << r.text << " " << s;
    struct {
        std::string data, want;
    } refused[] = {
        {"'(\"0,,g,1\")", "fffffff5 gmxPgPlotInsert (\"type missmatch or others\" \"getDim1\")"},
        {"'(\"0,0,h,99999999999999999999\")",
         "fffffff4 gmxPgPlotInsert (\"type missmatch or others\" \"get data2\")"},
    };
    for (auto& r : refused)
        EXPECT_EQ(err(run(opts + insert(id, "csv=\"on\"", r.data))), r.want) << r.data;
    EXPECT_EQ(shown(id, 0, 0, 0), s);
}

TEST_F(PgInsertTest, RefusalsCarryTheirDataAndAFailingRecordPutsTheSettingsBack) {
    int id = make(16);
    ASSERT_GT(id, 0);
    int other = make(16);
    ASSERT_GT(other, 0);
    int uneven = make(16, 1, 3);
    ASSERT_GT(uneven, 0);
    const std::string P = "80040503 gmxPgPlotInsert (\"invalid parameter in gmxPgPlotInsert\" \"";
    const std::string ids = std::to_string(id);
    struct {
        std::string call, want;
    } rows[] = {
        {"([gmxPgPlotInsert id=\"99999\" channel=\"1\"] s '(1 1))", P + "matrix id\")"},
        {"([gmxPgPlotInsert id=\"" + ids + "\" channel=\"1\"] 5 '(1 1))",
         "80030806 gmxPgPlotInsert (\"type missmatch\" \"fd option\")"},
        {"([gmxPgPlotInsert id=\"" + std::to_string(other) + "\" channel=\"1\"] s '(1 1))",
         P + "matrix in the id and fd ptr\")"},
        {"([gmxPgPlotInsert id=\"" + ids + "\"] s '(1 1))", P + "channel\")"},
        {"([gmxPgPlotInsert id=\"" + ids + "\" channel=\"0\"] s '(1 1))",
         P + "cannot get channel block\")"},
        {insert(id, "", "'(1 16)"), P + "coordinate\")"},
        {insert(id, "", "'(-1 0)"), P + "coordinate\")"},
        {insert(id, "", "'(\"zz\" 1)"),
         "fffffff5 gmxPgPlotInsert (\"type missmatch or others\" \"getDim\")"},
        {insert(id, "csv=\"on\"", "'(\"1,zz\")"),
         "fffffff5 gmxPgPlotInsert (\"type missmatch or others\" \"getDim1\")"},
        {"([gmxPgPlotInsert id=\"" + ids + "\" channel=\"1\"] s (car 1))",
         "80030806 car (\"type missmatch in parameter\")"},
        // A text option feeding a coordinate.
        {"([gmxPgPlotInsert id=\"" + ids +
             "\" channel=\"1\"] ([gmxPgPlotField merge-type=\"32\" dim=\"0\" csv=\"D\"] s "
             "\"UTF-8\") '(1 1 \"n\" \"x\"))",
         "80030806 gmxPgPlotInsert (\"type missmatch\" \"dimmention data type missmatch\")"},
    };
    for (auto& r : rows)
        EXPECT_EQ(err(run(options(id) + r.call)), r.want) << r.call;
    Val v = run(options(uneven) + insert(uneven, "", "'(1 1)"));
    EXPECT_EQ(err(v), P + "block_size\")");

    // A failing record ends the call with the settings and the node put back; the records
    // before it stay inserted.
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    int before[3] = {e->c.gn_tree_node, e->c.gn_create, e->c.gn_wait};
    v = run(options(id) + insert(id, "csv=\"on\"", "'(\"1,1,a\" \"99,1,b\" \"2,1,c\")"));
    EXPECT_EQ(err(v), P + "coordinate\")");
    EXPECT_EQ(e->c.gn_tree_node, before[0]);
    EXPECT_EQ(e->c.gn_create, before[1]);
    EXPECT_EQ(e->c.gn_wait, before[2]);
    EXPECT_EQ(e->c.n, nullptr);
    release_mx_entry(e);
    EXPECT_EQ(shown(id, 2, 0, 0),
              "(pg 27 27 1 (ip (point 33 (c 0 0) (base 1 1) (fields (STRING 32 \"a\")))))");
}

// A set names the matrix it was made for: once that matrix is closed, declaring a field with the
// set or inserting with it is refused, also on the matrix that took the closed one's id.
TEST_F(PgInsertTest, ASetOfAClosedMatrixIsRefusedByTheMatrixThatTakesItsId) {
    int id = create(plot_matrix(16, 1, 2));
    ASSERT_GT(id, 0);
    run(options(id) + "(testKeep s)");
    close_id(id);
    set_mx_entry_counter(id - 1);
    int again = make(16);
    ASSERT_EQ(again, id);
    EXPECT_EQ(err(run("([gmxPgPlotField merge-type=\"48\" dim=\"1\" csv=\"D\"] kept 1 1 0 0)")),
              "80040503 gmxPgPlotField (\"invalid parameter in gmxPgPlotField\" \"matrix "
              "closed\")");
    EXPECT_EQ(err(run("([gmxPgPlotInsert id=\"" + std::to_string(id) +
                      "\" channel=\"1\"] kept '(1 1 \"a\"))")),
              "80040503 gmxPgPlotInsert (\"invalid parameter in gmxPgPlotInsert\" \"matrix in "
              "the id and fd ptr\")");
    // A set of its own serves the new matrix.
    Val v = run(options(again) + insert(again, "", "'(1 1 \"a\")"));
    EXPECT_NE(v.type, QVT_ERROR) << v.error;
    EXPECT_EQ(shown(again, 2, 0, 0),
              "(pg 27 27 1 (ip (point 33 (c 0 0) (base 1 1) (fields (STRING 32 \"a\")))))");
}

TEST_F(PgInsertTest, PointsAPushCannotPlaceStayInTheirNode) {
    // The middle level's nodes get no plot block (nor bytes in its channel): the cache reaches
    // them with that channel empty, and the top cannot pass its points down.
    int id = make(16, 2, 2, false);
    ASSERT_GT(id, 0);
    Val v = run(options(id) + insert(id, "csv=\"on\"", "'(\"1,1,a\" \"9,1,b\")"));
    EXPECT_EQ(err(v),
              "80040503 gmxPgPlotInsert (\"invalid parameter in gmxPgPlotInsert\" "
              "\"cannot get channel block\")");
    EXPECT_EQ(shown(id, 2, 0, 0),
              "(pg 27 27 1 (ip (point 33 (c 0 0) (base 1 1) (fields (STRING 32 \"a\")))))");
}

TEST_F(PgInsertTest, PointsAreReadAsInsertedBeforeASaveAndTakenByNodesLoadedAgain) {
    // A matrix file whose nodes are loaded (a plot block installed and rebuilt from the bytes,
    // after a pause in which the node must not yet be handed to anyone waiting for it) or made
    // with an empty plot block, and whose save turns changed blocks into bytes first.
    set_sleep_step_ms(100);
    struct Restore {
        ~Restore() { set_sleep_step_ms(1000); }
    } restore;
    geotest::TempDir dir;
    const std::string file = dir.at("p.mx");
    std::string body =
        "([gmxCreate filename=\"" + file + "\"] ([gmxMatrixParam channel_nos=\"2\" dim=\"2\"])";
    for (const char* d : {"0", "1"})
        body += std::string(" ([gmxMatrixDimDivide dim=\"") + d + "\" value=\"2\"])" +
                " ([gmxMatrixBlockSize dim=\"" + d + "\" value=\"2\"])" +
                " ([gmxMatrixPixelSize dim=\"" + d + "\" value=\"16\"])";
    body +=
        " ([gmxChannelInfo channel=\"0\" type=\"int16_v\"])"
        " ([gmxChannelInfo channel=\"1\" type=\"block\" file=\"on\"])"
        " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\" err-jump=\"MI_FETCH_2\"])"
        " (mxLoad) (Sleep 1) ([mxPgPlotInitialize channel=\"1\"]) (mxLoadSB))"
        " ([gmxPhase area=\"6\"] ([mxFinish normal-jump-status=\"MS_OK\"])"
        " ([mxPgPlotInitialize channel=\"1\"]))"
        " ([gmxPhase area=\"21\"] (mxSaveSB) (mxSave))";
    // Areas 4 and 5 load as 3 does, 7 and 8 make nodes as 6 does, 22 and 23 save as 21 does.
    const int same[][2] = {{4, 3}, {5, 3}, {7, 6}, {8, 6}, {22, 21}, {23, 21}};
    for (auto [area, equ] : same)
        body += " ([gmxPhase area=\"" + std::to_string(area) + "\" type=\"equ\" equ=\"" +
                std::to_string(equ) + "\"])";
    body += ")";
    int id = create(body);
    ASSERT_GT(id, 0);
    // The node's channel as readers get it: its bytes, shown.
    auto read = [&](int at, const std::string& pt) {
        Val v =
            run("([gmxPgDisplay id=\"" + std::to_string(at) +
                "\"] ([gmxGetPoint mode=\"block\" channel=\"1\"] \"" + file + "\" '" + pt + "))");
        return v.type == QVT_ERROR ? "ERR " + v.error : v.text;
    };
    EXPECT_EQ(read(id, "(0 9 1)"), "(pg 1 1 0 (ip))");
    Val v = run(options(id) + insert(id, "csv=\"on\"", "'(\"1,1,a\" \"9,1,b\" \"10,2,c\")"));
    ASSERT_EQ(v.type, QVT_NIL) << v.error;
    const std::string b =
        "(pg 21 21 2 (ip (point 1 (c 2 2) () (fields (STRING 32 \"c\"))) (point 1 (c 1 1) () "
        "(fields (STRING 32 \"b\")))))";
    const std::string a = "(pg 11 11 1 (ip (point 1 (c 1 1) () (fields (STRING 32 \"a\")))))";
    EXPECT_EQ(read(id, "(0 9 1)"), b);
    EXPECT_EQ(read(id, "(0 0 0)"), a);
    // A later insert into a node already read is seen too.
    v = run(options(id) + insert(id, "csv=\"on\"", "'(\"3,3,d\")"));
    ASSERT_EQ(v.type, QVT_NIL) << v.error;
    const std::string ad =
        "(pg 21 21 2 (ip (point 1 (c 3 3) () (fields (STRING 32 \"d\"))) (point 1 (c 1 1) () "
        "(fields (STRING 32 \"a\")))))";
    EXPECT_EQ(read(id, "(0 0 0)"), ad);

    // Closing saves what was read. In the reopened file a loaded node takes further points
    // beside those it was stored with, once its load script has ended; the rest reads the same.
    close_id(id);
    id = create(body);
    ASSERT_GT(id, 0);
    ids_.push_back(id);
    v = run(options(id) + insert(id, "csv=\"on\"", "'(\"2,0,e\")"));
    ASSERT_EQ(v.type, QVT_NIL) << v.error;
    std::string ade = read(id, "(0 0 0)");
    EXPECT_EQ(ade.substr(0, 12), "(pg 31 31 3 ") << ade;
    EXPECT_NE(ade.find("(point 1 (c 2 0) () (fields (STRING 32 \"e\")))"), std::string::npos)
        << ade;
    EXPECT_NE(ade.find(ad.substr(ad.find("(point"), ad.size() - ad.find("(point") - 2)),
              std::string::npos)
        << ade;
    EXPECT_EQ(read(id, "(0 9 1)"), b);
}

// A field text shown character by character, so that a look-alike character stands out.
TEST(PgInsertSeeCode, ShowsEveryLongCharacterInHex) {
    vxtest::StdoutText out;
    L_CHAR text[] = {'a', 'b', 0x3042, 0};
    EXPECT_EQ(see_code(text), 3);
    EXPECT_EQ(see_code(nullptr), 0);
    EXPECT_EQ(out.text(), "SEE  61 62 3042\nSEE \n");
}
