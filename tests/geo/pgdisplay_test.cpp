// gmxPgDisplay: the readable form of stored plot bytes, compressed or not, and its refusals.
#include "geo/pgplot.h"
#include "gmx_util.h"
#include "lisp/list.h"
#include "matrixops/plot_block.h"
#include "matrixops/plot_code.h"

using namespace gmxtest;

namespace {

std::vector<uint8_t> raw_bytes;
QV_SEXP* qv_testPlotBytes(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return get_raw(raw_bytes.data(), static_cast<int32_t>(raw_bytes.size()));
}

// Two points of a 2-dimensional block: one with base, id and four fields, one bare.
std::vector<uint8_t> two_points() {
    std::vector<uint8_t> b = {IP_MADE | IP_BASE | IP_ID, 0, 0, 3, 0, 1};
    auto be64 = [&](int64_t v) {
        for (int k = 7; k >= 0; k--)
            b.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * k)));
    };
    be64(5);
    be64(-2);
    be64(0x300);
    b.push_back(FD_STR);
    for (char c : std::string("caf\xc3\xa9"))
        b.push_back(static_cast<uint8_t>(c));
    b.push_back(0);
    b.push_back(FD_INT_AVG);
    be64(7);
    be64(2);
    b.push_back(FD_RGBA);
    for (int c : {0x11, 0x22, 0x33, 0x44})
        b.push_back(static_cast<uint8_t>(c));
    be64(3);
    b.push_back(FD_NONE);
    b.push_back(0);
    for (int c : {int{IP_MADE}, 0, 0, 1, 0, 2, 0})
        b.push_back(static_cast<uint8_t>(c));
    b.push_back(0);
    return b;
}

}  // namespace

class PgDisplayTest : public GmxTest {
  protected:
    void SetUp() override {
        GmxTest::SetUp();
        set_env(vxlisp_top_env0, L("testPlotBytes"),
                get_func_prim(qv_testPlotBytes, FUNC_APPLICATIVE, nullptr, 1, 1));
        id_ = create(
            "(gmxCreate ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
            " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"])"
            " ([gmxMatrixDimDivide dim=\"1\" value=\"1\"])"
            " ([gmxMatrixBlockSize dim=\"0\" value=\"4\"])"
            " ([gmxMatrixBlockSize dim=\"1\" value=\"4\"])"
            " ([gmxMatrixPixelSize dim=\"0\" value=\"64\"])"
            " ([gmxMatrixPixelSize dim=\"1\" value=\"64\"]))");
    }
    void TearDown() override {
        if (id_ > 0) close_id(id_);
    }
    std::string display(const std::vector<uint8_t>& bytes, const std::string& attrs) {
        raw_bytes = bytes;
        Val v = run0("([gmxPgDisplay " + attrs + "] (list 'data '(0 0 0) (testPlotBytes)))");
        return v.type == QVT_ERROR ? "ERR " + v.error : v.text;
    }
    int id_ = -1;
};

TEST_F(PgDisplayTest, FormsOfPointsAndFields) {
    ASSERT_GT(id_, 0);
    std::string ids = "id=\"" + std::to_string(id_) + "\"";
    std::vector<uint8_t> code = two_points();
    std::string pts =
        "(point 97 (c 3 1) (base 5 -2) (fields (STRING 32 \"caf\xc3\xa9\") (INT 50 7 2) (INT 64 "
        "287454020 3) (NONE 16))) (point 1 (c 1 2) () ())";
    std::string n = std::to_string(code.size());
    EXPECT_EQ(display(code, ids), "(pg " + n + " " + n + " 2 (ip " + pts + "))");
    // Empty code.
    EXPECT_EQ(display({0}, ids), "(pg 1 1 0 (ip))");
    // Compressed: S is the inflated length (the leading byte included), T the stored size.
    int64_t zs = 0;
    uint8_t* z = pp_deflate(code.data(), static_cast<int64_t>(code.size()), &zs);
    std::vector<uint8_t> zb(z, z + zs);
    d_f_ree(z);
    EXPECT_EQ(display(zb, ids + " compress=\"on\""), "(pg " + std::to_string(code.size() + 1) +
                                                         " " + std::to_string(zs) + " 2 (ip " +
                                                         pts + "))");
}

TEST_F(PgDisplayTest, Refusals) {
    ASSERT_GT(id_, 0);
    std::string ids = "id=\"" + std::to_string(id_) + "\"";
    EXPECT_EQ(display({0}, "id=\"99999\""), "ERR 80040503 gmxPgDisplay \"attribute:path-type\"");
    EXPECT_EQ(display({1, 2, 3}, ids + " compress=\"on\""),
              "ERR 80040503 gmxPgDisplay (\"invalid parameter in gmxPgDisplay\" \"zlib "
              "uncompress\")");
    // Damaged codes: cut short, a field type outside the nine, a coordinate beyond the block.
    std::vector<uint8_t> code = two_points();
    for (auto bad : {std::vector<uint8_t>(code.begin(), code.end() - 3),
                     std::vector<uint8_t>{IP_MADE, 0, 0, 1, 0, 1, 0x55, 0, 0},
                     std::vector<uint8_t>{IP_MADE, 0, 0, 16, 0, 1, 0, 0}})
        EXPECT_EQ(display(bad, ids),
                  "ERR 80040503 gmxPgDisplay (\"invalid parameter in gmxPgDisplay\" \"internal "
                  "plot code\")");
    Val v = run0("([gmxPgDisplay id=\"" + std::to_string(id_) + "\"] '(data (0 0 0) 5))");
    EXPECT_EQ(v.error, "80030806 gmxPgDisplay ()");
    v = run0("([gmxPgDisplay id=\"" + std::to_string(id_) + "\"] '(data (0 0 0)))");
    EXPECT_EQ(v.error, "80030806 gmxPgDisplay ()");
}

namespace {

// (testOpts set): the options of a set as (csv dim label type) lists, last first, then
// last_label.
QV_SEXP* qv_testOpts(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* p = get_el(form, 1);
    if (get_type(p) != QVT_PTR || p->ptr.gc != gc_fd_opt_ptr) return nullptr;
    auto* set = static_cast<FD_OPT_PTR*>(p->ptr.ptr);
    QV_SEXP* r = get_integer(set->last_label, nullptr);
    r = cons(r, nullptr);
    for (FD_OPT_ENTRY* o = set->opt; o; o = o->next) {
        QV_SEXP* one = List(get_integer(o->csv_label, nullptr), get_integer(o->opt.dim, nullptr),
                            get_integer(o->target_label, nullptr),
                            get_integer(o->opt.merge_type, nullptr), LIST_END);
        r = cons(one, r);
    }
    return r;
}

}  // namespace

TEST_F(PgDisplayTest, FieldOptionsAreCheckedAndSortedByColumn) {
    ASSERT_GT(id_, 0);
    set_env(vxlisp_top_env1, L("testOpts"),
            get_func_prim(qv_testOpts, FUNC_APPLICATIVE, nullptr, 2, 2));
    std::string base = "([gmxPgPlotField id=\"" + std::to_string(id_) + "\"])";
    // Options listed last first: three columns (BA 52, B 1, AA 26) and one without a column.
    Val v =
        run("(testOpts ([gmxPgPlotField merge-type=\"16\" csv=\"BA\"] "
            "([gmxPgPlotField merge-type=\"49\" dim=\"1\" label=\"3\" csv=\"B\"] "
            "([gmxPgPlotField merge-type=\"32\" label=\"1\" csv=\"AA\"] "
            "([gmxPgPlotField merge-type=\"16\" dim=\"0\"] " +
            base + " 7) \"UTF-8\") 1 1.0 0 0)))");
    EXPECT_EQ(v.text, "((52 -1 -1 16) (26 -1 1 32) (1 1 3 49) (-1 0 -1 16) 3)") << v.error;
    EXPECT_EQ(fd_csv_column("A"), 0);
    EXPECT_EQ(fd_csv_column("z"), 25);
    EXPECT_EQ(fd_csv_column("12x"), 12);
    EXPECT_EQ(fd_csv_column("A1"), 0);
    // A name holding a character beyond ASCII is no letter name either: it reads as a number
    // from its start.
    const struct {
        const char *csv, *column;
    } names[] = {{"\xc3\xa9", "0"},  {"3\xc3\xa9", "3"},    {"\xc3\xa9 7", "0"},
                 {"B\xc3\xa9", "0"}, {" 12\xc3\xa9", "12"}, {"-2\xc3\xa9", "-1"}};
    for (const auto& n : names) {
        Val o = run("(testOpts ([gmxPgPlotField merge-type=\"16\" csv=\"" + std::string(n.csv) +
                    "\"] " + base + " 7))");
        EXPECT_EQ(o.text, "((" + std::string(n.column) + " -1 -1 16) 0)") << n.csv << o.error;
    }

    const std::string P = "80040503 gmxPgPlotField (\"invalid parameter in gmxPgPlotField\" ";
    EXPECT_EQ(err(run("(gmxPgPlotField)")), P + "\"id required\")");
    EXPECT_EQ(err(run("([gmxPgPlotField id=\"99999\"])")), P + "\"invalid id\")");
    EXPECT_EQ(err(run("(gmxPgPlotField 5 1)")),
              "80030806 gmxPgPlotField (\"type missmatch\" \"opt_list\")");
    struct {
        std::string attrs, args, detail;
    } rows[] = {
        // A format outside 1..4 is refused value by value; one that is no integer at once.
        {"merge-type=\"49\"", "\"5\" 1.0 0 0", "\"initialize\" -2"},
        {"merge-type=\"80\"", "1", "\"merge-type\""},
        {"merge-type=\"0\"", "1", "\"merge-type\""},
        {"merge-type=\"16\" dim=\"2\"", "1", "\"dim\""},
        {"merge-type=\"16\" label=\"5000\"", "1", "\"label\""},
    };
    for (auto& r : rows)
        EXPECT_EQ(err(run("([gmxPgPlotField " + r.attrs + "] " + base + " " + r.args + ")")),
                  P + r.detail + ")")
            << r.attrs;
}
