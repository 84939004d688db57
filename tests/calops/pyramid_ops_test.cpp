// Pyramid operations through calibration scripts: sums and differences of coarse and fine
// elements, thinning children into a parent, maxima, squashed and stuffed grids, and the checks
// made before any walk.
#include "calops_util.h"

namespace {

using namespace calops;

class PyramidOpsTest : public CalopsTest {};

uint8_t pattern(int i) {
    return static_cast<uint8_t>(i * 7 + 1);
}

TEST_F(PyramidOpsTest, DiffThenAddGiveCoarseMinusFineAndCoarsePlusDifference) {
    // Fine values 3i + 1 (at most 190) under a coarse node of 200 everywhere: no saturation.
    // The fine node is at level 1 (the handlers refuse level 0), the coarse one at level 2.
    std::string fine = "(testAt 1 (testVec 22 8 8";
    std::vector<int64_t> fv;
    for (int i = 0; i < 64; i++) {
        fine += " " + std::to_string(3 * i + 1);
        fv.push_back(3 * i + 1);
    }
    fine += "))";
    auto k = run("(testKeep (mxDiff (testAt 2 (testVec 22 8 8 200)) " + fine +
                 ")) "
                 "(testKeep (mxAdd (testAt 2 (testVec 22 8 8 50)) " +
                 fine +
                 ")) "
                 "(testKeep <mxAdd option=\"ROUND\">(testVec 22 8 8) (testVec 22 8 8)</mxAdd>) "
                 "(testKeep (mxAdd (testVec 22 8 8) (testVec 19 8 8))) "
                 "(testKeep <mxDiff option=\"TRUNC\">(testAt 2 (testVec 22 8 8 200)) " +
                 fine + "</mxDiff>)");
    ASSERT_EQ(k.size(), 5u);
    std::vector<int64_t> diff, sum;
    for (int64_t v : fv) {
        diff.push_back(200 - v);
        sum.push_back(50 + v);
    }
    EXPECT_EQ(k[0].raw, vec_bytes(22, {8, 8}, diff)) << k[0].text;
    EXPECT_EQ(k[0].text.substr(0, 14), "(data (1 0 0) ");
    EXPECT_EQ(k[1].raw, vec_bytes(22, {8, 8}, sum)) << k[1].text;
    EXPECT_EQ(k[2].code, QVE_INVALID_PARAMETER);
    EXPECT_EQ(k[2].text, "^\"invalid parameter in mxAdd\"");
    EXPECT_EQ(k[3].code, QVE_TYPE_MISMATCH);
    EXPECT_EQ(k[4].raw, vec_bytes(22, {8, 8}, diff)) << k[4].text;
    for (const char* f : {"(mxAdd '(data (0 0 0) 1) '(data (0 0 0) 1))",
                          "(mxDiff '(data (0 0 0) 1) '(data (0 0 0) 1))"})
        EXPECT_EQ(outside_type(f), QVT_NIL) << f;
}

TEST_F(PyramidOpsTest, ThinnedOutTakesSamplesOrAveragesOfChildren) {
    auto k =
        run("(testKeep (mxThinnedOut (list 'Children (testVec 22 8 8)))) "
            "(testKeep (mxThinnedOut (list 'Children (testVec 22 8 8)) '(1 0))) "
            "(testKeep <mxThinnedOut type=\"average\">(list 'Children (testVec 22 8 8 10))"
            "</mxThinnedOut>) "
            "(testKeep (mxThinnedOut (testVec 22 8 8))) "
            "(testKeep <mxThinnedOut type=\"middle\">(testVec 22 8 8)</mxThinnedOut>) "
            "(testKeep (mxThinnedOut (list 'Children))) "
            "(testKeep (mxThinnedOut 5)) "
            "(testKeep (mxThinnedOut '(foo))) "
            "(testKeep (mxThinnedOut (list 'Children (testVec 22 8 8) (testVec 19 8 8)))) "
            "(testKeep (mxThinnedOut (list 'Children (testVec 22 8 8)) '(2 0))) "
            "(testKeep <mxThinnedOut channel=\"7\">(testVec 22 8 8)</mxThinnedOut>)",
            1);
    ASSERT_EQ(k.size(), 11u);
    std::vector<int64_t> rep0(64, 0), rep1(64, 0), avg(64, 0);
    for (int j = 0; j < 4; j++)
        for (int i = 0; i < 4; i++) {
            rep0[i + 8 * j] = pattern(2 * i + 16 * j);
            rep1[i + 8 * j] = pattern(2 * i + 1 + 16 * j);
            avg[i + 8 * j] = 10;
        }
    EXPECT_EQ(k[0].raw, vec_bytes(22, {8, 8}, rep0)) << k[0].text;
    EXPECT_EQ(k[0].text.substr(0, 14), "(data (1 0 0) ");
    EXPECT_EQ(k[1].raw, vec_bytes(22, {8, 8}, rep1));
    EXPECT_EQ(k[2].raw, vec_bytes(22, {8, 8}, avg));
    EXPECT_EQ(k[3].raw, k[0].raw);
    EXPECT_EQ(k[4].code, QVE_INVALID_PARAMETER);
    EXPECT_EQ(k[5].text, "^\"CH data type\"");
    EXPECT_EQ(k[6].text, "^\"target-list not a LIST\"");
    EXPECT_EQ(k[7].text, "^\"target-list data or Children is required\"");
    EXPECT_EQ(k[8].text, "^\"CH data type(2)\"");
    EXPECT_EQ(k[9].code, QVE_INVALID_PARAMETER);
    EXPECT_EQ(k[10].code, QVE_INVALID_PARAMETER);
    EXPECT_EQ(outside_type("(mxThinnedOut '(data (0 0 0) 1))"), QVT_NIL);
}

TEST_F(PyramidOpsTest, MaxSquashAndStuffing) {
    auto k =
        run("(testKeep (mxMax (list 'Children '(data (0 0 0) 3) '(data (0 0 0) 3.0)))) "
            "(testKeep (mxMax (list 'Children '(data (0 0 0) 2) '(data (0 0 0) 2.5)))) "
            "(testKeep (mxMax (list 'Children))) "
            "(testKeep (mxMax (list 'Children (testVec 22 2 2)))) "
            "(testKeep (mxSquash (testVec 22 4 4) () '(1 0))) "
            "(testKeep (mxSquash (testVec 22 4 4) 9)) "
            "(testKeep (mxSquash (testVec 22 4 4) () '(4 0))) "
            "(testKeep (mxSquash 5)) "
            "(testKeep (mxStuffing (testVec 22 4 4 0) (testVec 22 3 1 5 6 7) '(1 1))) "
            "(testKeep (mxStuffing (testVec 22 4 4 0) (testVec 19 3 1))) "
            "(testKeep (mxSquash (testVec 22 4 4) \"x\"))");
    ASSERT_EQ(k.size(), 11u);
    EXPECT_EQ(k[0].text, "(data (0 0 0) 3)");
    EXPECT_EQ(k[1].text.substr(0, 18), "(data (0 0 0) 2.50");
    EXPECT_EQ(k[2].text, "()");
    EXPECT_EQ(k[3].code, QVE_TYPE_MISMATCH);
    EXPECT_EQ(k[3].text, "(\"type missmatch\" \"CH data type(2)\")");
    std::vector<int64_t> sq(16), nine(16);
    for (int i = 0; i < 16; i++) {
        int x = i % 4, y = i / 4;
        sq[i] = (x % 2 == 1 && y % 2 == 0) ? 0 : pattern(i);
        nine[i] = (x % 2 == 0 && y % 2 == 0) ? 9 : pattern(i);
    }
    EXPECT_EQ(k[4].raw, vec_bytes(22, {4, 4}, sq));
    EXPECT_EQ(k[5].raw, vec_bytes(22, {4, 4}, nine));
    EXPECT_EQ(k[6].code, QVE_INVALID_PARAMETER);
    EXPECT_EQ(k[7].code, QVE_TYPE_MISMATCH);
    // Grid (1 1), (3 1), then (1 3): the source's three values, then the walk stops.
    std::vector<int64_t> st(16, 0);
    st[1 + 4] = 5;
    st[3 + 4] = 6;
    st[1 + 12] = 7;
    EXPECT_EQ(k[8].raw, vec_bytes(22, {4, 4}, st));
    EXPECT_EQ(k[9].code, QVE_INVALID_PARAMETER);
    EXPECT_EQ(k[10].code, QVE_INVALID_PARAMETER);
    for (const char* f : {"(mxMax '(data (0 0 0) 1))", "(mxSquash '(data (0 0 0) 1))",
                          "(mxStuffing '(data (0 0 0) 1) 2)"})
        EXPECT_EQ(outside_type(f), QVT_NIL) << f;
}

}  // namespace

namespace {

using namespace calops;

// Saturation and CURVE companding of uint8, and per-channel saturation of rgb8.
TEST_F(PyramidOpsTest, OptionsSaturateAndCompand) {
    auto k = run(
        "(testKeep (mxDiff (testAt 2 (testVec 22 8 8 0)) (testAt 1 (testVec 22 8 8 5)))) "
        "(testKeep <mxDiff option=\"CURVE\">(testAt 2 (testVec 22 8 8 100)) (testAt 1 (testVec 22 "
        "8 8 100))</mxDiff>) "
        "(testKeep <mxDiff option=\"CURVE\">(testAt 2 (testVec 22 8 8 0)) (testAt 1 (testVec 22 8 "
        "8 255))</mxDiff>) "
        "(testKeep <mxDiff option=\"CURVE\">(testAt 2 (testVec 22 8 8 255)) (testAt 1 (testVec 22 "
        "8 8 0))</mxDiff>) "
        "(testKeep <mxAdd option=\"CURVE\">(testAt 2 (testVec 22 8 8 100)) (testAt 1 (testVec 22 8 "
        "8 127))</mxAdd>) "
        "(testKeep (mxAdd (testAt 2 (testVec 22 8 8 200)) (testAt 1 (testVec 22 8 8 100)))) "
        "(testKeep (mxDiff (testAt 2 (testVec 28 8 8 270544896)) (testAt 1 (testVec 28 8 8 "
        "537923584))))");
    ASSERT_EQ(k.size(), 7u);
    EXPECT_EQ(k[0].raw, vec_bytes(22, {8, 8}, {0}));
    EXPECT_EQ(k[1].raw, vec_bytes(22, {8, 8}, {127}));
    EXPECT_EQ(k[2].raw, vec_bytes(22, {8, 8}, {0}));
    EXPECT_EQ(k[3].raw, vec_bytes(22, {8, 8}, {255}));
    // The companded 0 reads back at or below it: 100 + U(127) is 99.
    EXPECT_EQ(k[4].raw, vec_bytes(22, {8, 8}, {99}));
    EXPECT_EQ(k[5].raw, vec_bytes(22, {8, 8}, {255}));
    // 0x10203000 - 0x20101000 per channel: 0, 0x10, 0x20, 0.
    EXPECT_EQ(k[6].raw, vec_bytes(28, {8, 8}, {0x00102000}));
}

}  // namespace

namespace {

using namespace calops;

// (testStrGrid x y): a data item at (0 x y) holding an 8 x 8 string vector whose value (i, j)
// is the text "X.Y" of its level-0 cell X = x + i, Y = y + j.
QV_SEXP* qv_testStrGrid(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    int64_t x = get_el(form, 1)->integer.data, y = get_el(form, 2)->integer.data;
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(MXT_STRING + MXT_VECTOR);
    int sizes[2] = {8, 8};
    MATRIX_ALLOC_VECTOR_PARAM vp{2, sizes, nullptr, nullptr};
    void* v = tp->alloc_data(tp, MXA_COLLECTED, &vp, nullptr, __FILE__, __LINE__);
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    for (int j = 0; j < 8; j++)
        for (int i = 0; i < 8; i++)
            reinterpret_cast<char**>(dh.offset)[i + 8 * j] =
                copy_mstr((std::to_string(x + i) + "." + std::to_string(y + j)).c_str());
    return List(
        n_get_symbol("data"),
        List(get_integer(0, nullptr), get_integer(x, nullptr), get_integer(y, nullptr), LIST_END),
        get_ptr(v, mtx_gc_vector), LIST_END);
}

// (testTexts item): the texts of a data item's string vector, space-separated, "-" for none.
QV_SEXP* qv_testTexts(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* item = get_el(form, 1);
    if (get_type(item) == QVT_ERROR) return item;
    MxElement e;
    if (!mx_item_element(get_el(item, 2), false, &e) || e.tp->type != MXT_STRING + MXT_VECTOR)
        return n_get_string("not texts");
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, e.d);
    std::string s;
    for (int64_t i = 0; i < dh.total_element; i++) {
        const char* t = reinterpret_cast<char**>(dh.offset)[i];
        s += (i ? " " : "") + std::string(t ? t : "-");
    }
    return n_get_string(s.c_str());
}

// String channels are thinned by sample: the parent owns copies of the children's texts, in any
// order of the children; an average of texts is refused.
TEST_F(PyramidOpsTest, ThinnedOutSamplesStringVectors) {
    set_env(matrix_qv_env, l_string(std_cm, "testStrGrid"),
            get_func_prim(qv_testStrGrid, FUNC_APPLICATIVE, nullptr, 3, 3));
    set_env(matrix_qv_env, l_string(std_cm, "testTexts"),
            get_func_prim(qv_testTexts, FUNC_APPLICATIVE, nullptr, 2, 2));
    MATRIX* m = ready({MXT_STRING + MXT_VECTOR});
    MATRIX_CHANNEL_INFO ci{get_matrix_data_type(MXT_STRING + MXT_VECTOR), MX_CH_FILE,
                           const_cast<char*>("none"), 0};
    ASSERT_EQ(set_matrix_channel_info(m, 0, &ci), 0);
    const std::string four =
        "(testStrGrid 0 0) (testStrGrid 8 0) (testStrGrid 0 8) (testStrGrid 8 8)";
    const std::string back =
        "(testStrGrid 8 8) (testStrGrid 0 8) (testStrGrid 8 0) (testStrGrid 0 0)";
    auto k = run_in(
        m,
        "(testKeep (testTexts (mxThinnedOut (list 'Children " + four +
            ") '(1 0)))) "
            "(testKeep (testTexts (mxThinnedOut (list 'Children " +
            back +
            ") '(1 0)))) "
            "(testKeep (testTexts <mxThinnedOut channel=\"0\">(list 'Children (testStrGrid 8 0))"
            "</mxThinnedOut>)) "
            "(testKeep <mxThinnedOut type=\"average\">(list 'Children " +
            four +
            ")</mxThinnedOut>) "
            "(testKeep (mxThinnedOut (list 'Children (testStrGrid 0 0) (testVec 22 8 8)))) "
            "(testKeep (mxThinnedOut (list 'Children (testVec 22 8 8) (testStrGrid 0 0))))",
        1);
    ASSERT_EQ(k.size(), 6u);
    std::string all, one;
    for (int q = 0; q < 8; q++)
        for (int p = 0; p < 8; p++) {
            std::string t = std::to_string(2 * p + 1) + "." + std::to_string(2 * q);
            all += (p || q ? " " : "") + t;
            one += std::string(p || q ? " " : "") +
                   (p >= 4 && q < 4 ? std::to_string(2 * p) + "." + std::to_string(2 * q) : "none");
        }
    EXPECT_EQ(k[0].text, "^\"" + all + "\"");
    EXPECT_EQ(k[1].text, k[0].text);
    EXPECT_EQ(k[2].text, "^\"" + one + "\"");
    EXPECT_EQ(k[3].code, QVE_TYPE_MISMATCH);
    EXPECT_EQ(k[3].text, "(\"CH data type\" \"average\")");
    EXPECT_EQ(k[4].text, "^\"CH data type(2)\"");
    EXPECT_EQ(k[5].text, "^\"CH data type(2)\"");
}

}  // namespace
