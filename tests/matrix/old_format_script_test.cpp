// mxUncompressOldFormat through real calibration scripts: one and two arguments, the format
// attribute, the parent taken from an earlier answer, and the error values.
#include "matrixops/old_format.h"
#include "mx_util.h"
#include "server/interp.h"

namespace {

using namespace mxt;

QV_SEXP* I(int64_t v) {
    return get_integer(v, nullptr);
}

// (testOldCR W) and (testOldR64): data forms of node (0 0 0) with a one-pixel raw tile
// (10, 20, 30) at (0, 0) of a W x 2 picture, and a 2 x 1 grey R64 picture (255, 1).
QV_SEXP* qv_testOldCR(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    const char tile[] = {'n', 0, 0, 0, 0, 0, 10, 20, 30};
    QV_SEXP* payload =
        list(get_el(form, 1), I(2), list(list(I(0), I(0), I(0), I(0), nullptr), nullptr),
             list(get_raw(tile, sizeof tile), nullptr), nullptr);
    return list(n_get_symbol("data"), list(I(0), I(0), I(0), nullptr), payload, nullptr);
}
QV_SEXP* qv_testOldR64(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    const char px[] = {static_cast<char>(255), 1};
    QV_SEXP* payload = list(I(2), I(1), n_get_string("G"), get_raw(px, 2), nullptr);
    return list(n_get_symbol("data"), list(I(0), I(0), I(0), nullptr), payload, nullptr);
}
// (testOldRawParent): a data form whose element is three raw bytes, no picture.
QV_SEXP* qv_testOldRawParent(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    const char b[] = {1, 2, 3};
    return list(n_get_symbol("data"), list(I(0), I(0), I(0), nullptr), get_raw(b, 3), nullptr);
}
// (testOldShow R): records the answer's dimension code and pixels, or the error.
QV_SEXP* qv_testOldShow(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* v = eval(env, get_el(form, 1));
    if (get_type(v) == QVT_ERROR) {
        char code[16];
        snprintf(code, sizeof code, "%08x", v->error.code);
        mark(std::string("ERR ") + code);
        return nullptr;
    }
    std::string s = print_sexp_text(get_el(v, 0), 0) + " " + print_sexp_text(get_el(v, 1), 0);
    QV_SEXP* p = get_el(v, 2);
    if (get_type(p) != QVT_PTR || !p->ptr.ptr) {
        mark(s + " null");
        return nullptr;
    }
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, p->ptr.ptr);
    for (int64_t i = 0; i < dh.total_element; i++) {
        s += ' ';
        s += std::to_string(reinterpret_cast<uint32_t*>(dh.offset)[i]);
    }
    mark(s);
    return nullptr;
}

class OldFormatScriptTest : public MatrixTest {
  protected:
    void SetUp() override {
        MatrixTest::SetUp();
        set_env(matrix_qv_env, l_string(std_cm, "testOldCR"),
                get_func_prim(qv_testOldCR, FUNC_APPLICATIVE, nullptr, 2, 2));
        set_env(matrix_qv_env, l_string(std_cm, "testOldR64"),
                get_func_prim(qv_testOldR64, FUNC_APPLICATIVE, nullptr, 1, 1));
        set_env(matrix_qv_env, l_string(std_cm, "testOldShow"),
                get_func_prim(qv_testOldShow, FUNC_NORMAL, nullptr, 2, 2));
        set_env(matrix_qv_env, l_string(std_cm, "testOldRawParent"),
                get_func_prim(qv_testOldRawParent, FUNC_APPLICATIVE, nullptr, 1, 1));
    }
};

TEST_F(OldFormatScriptTest, DecodesInsideCalibrationScripts) {
    Geometry g{2, 64, 1, 3, 1, MXT_INT32 + MXT_VECTOR};
    MATRIX* m = open(g);
    set_matrix_cal(m, MI_FETCH_1_TP, script(kReady));
    set_matrix_cal(m, MI_FETCH_1_TP + 1, script(kReady));
    set_matrix_cal(m, MI_FETCH_1_TP + 2, script(kReady));
    int err = 0;
    int64_t dc[3] = {0, 0, 0};
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
    ASSERT_EQ(err, 0);
    const char* text =
        "(testOldShow (mxUncompressOldFormat (testOldCR 3))) "
        "(testOldShow (mxUncompressOldFormat (mxUncompressOldFormat (testOldCR 1)) "
        "(testOldCR 2))) "
        "(testOldShow <mxUncompressOldFormat format=\"R64\">(testOldR64)</mxUncompressOldFormat>) "
        "(testOldShow <mxUncompressOldFormat format=\"R64\">(mxUncompressOldFormat (testOldCR 1)) "
        "(testOldR64)</mxUncompressOldFormat>) "
        "(testOldShow <mxUncompressOldFormat format=\"CR\">(testOldCR 0)</mxUncompressOldFormat>) "
        "(testOldShow <mxUncompressOldFormat format=\"JPEG\">(testOldCR "
        "1)</mxUncompressOldFormat>) "
        "(testOldShow (mxUncompressOldFormat '(data (a b) 1))) "
        "(testOldShow (mxUncompressOldFormat '(data (0 0 0) 7) (testOldCR 1)))";
    for (int s = 0; s < 3; s++)
        set_matrix_cal(m, MI_VISU_1_TP + s, script(text));
    take_marks();
    testing::internal::CaptureStdout();
    matrix_trigger_access(n, MI_VISU_1_TP, 0);
    EXPECT_TRUE(quiet(m));
    std::string out = testing::internal::GetCapturedStdout();
    const std::string set = "1073741824", px = std::to_string(40 + (80 << 10) + (120 << 20));
    // Against the parent (10, 20, 30) the tile bytes 10, 20, 30 under calibration 0 mean -196,
    // -92 and 12 (below cr_inv_cal's linear range): 0, 0 (clamped) and 42.
    EXPECT_EQ(take_marks(),
              (std::vector<std::string>{
                  "^data (0 0 0) " + px + " " + set + " " + set + " " + set + " " + set + " " + set,
                  "^data (0 0 0) " + std::to_string(168 << 20) + " " + set + " " + set + " " + set,
                  "^data (0 0 0) " + std::to_string(1020 + (1020 << 10) + (1020u << 20)) + " " +
                      std::to_string(4 + (4 << 10) + (4 << 20)),
                  "^data (0 0 0) " + std::to_string(1020 + (1020 << 10) + (1020u << 20)) + " " +
                      std::to_string(4 + (4 << 10) + (4 << 20)),
                  "^data (0 0 0) null", "ERR 80040503", "ERR 80030806", "ERR 80030806"}));
    EXPECT_NE(out.find("**** "), std::string::npos);
    unlock_node(n, nullptr);

    // Outside a calibration script the function answers the null value.
    gc_pop(nullptr, nullptr);
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_INTERNAL;
    ASSERT_GT(setup_i(qvi), 0);
    QVISP_ENV* plain = new_env(matrix_qv_env);
    EXPECT_EQ(get_type(eval(plain, read_qv_item("(mxUncompressOldFormat (testOldCR 1))"))),
              QVT_NIL);
    close_self_interpreter();
    gc_push(nullptr, nullptr, "MatrixTest");
}

TEST_F(OldFormatScriptTest, AnR64PictureIgnoresItsParentAndCrStillChecksIt) {
    Geometry g{2, 64, 1, 3, 1, MXT_INT32 + MXT_VECTOR};
    MATRIX* m = open(g);
    for (int s = 0; s < 3; s++)
        set_matrix_cal(m, MI_FETCH_1_TP + s, script(kReady));
    int err = 0;
    int64_t dc[3] = {0, 0, 0};
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
    ASSERT_EQ(err, 0);
    // A parent that is no picture: R64 decodes all the same, CR refuses it.
    const char* text =
        "(testOldShow <mxUncompressOldFormat format=\"R64\">(testOldRawParent) "
        "(testOldR64)</mxUncompressOldFormat>) "
        "(testOldShow (mxUncompressOldFormat (testOldRawParent) (testOldCR 1)))";
    for (int s = 0; s < 3; s++)
        set_matrix_cal(m, MI_VISU_1_TP + s, script(text));
    take_marks();
    matrix_trigger_access(n, MI_VISU_1_TP, 0);
    EXPECT_TRUE(quiet(m));
    EXPECT_EQ(take_marks(),
              (std::vector<std::string>{"^data (0 0 0) 1070593020 4198404", "ERR 80030806"}));
    unlock_node(n, nullptr);
}

TEST_F(OldFormatScriptTest, DecodedPicturesAreStoredInTheNode) {
    Geometry g{2, 64, 1, 1, 1, MXT_UINT32 + MXT_VECTOR};
    MATRIX* m = open(g);
    for (int s = 0; s < 3; s++)
        set_matrix_cal(m, MI_FETCH_1_TP + s, script(kReady));
    int err = 0;
    int64_t dc[3] = {0, 0, 0};
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
    ASSERT_EQ(err, 0);
    const char* text =
        "(testShow (mxSet 0 (mxUncompressOldFormat (testOldCR 2)))) (testOldShow <mxCH>0</mxCH>)";
    for (int s = 0; s < 3; s++)
        set_matrix_cal(m, MI_VISU_1_TP + s, script(text));
    take_marks();
    matrix_trigger_access(n, MI_VISU_1_TP, 0);
    EXPECT_TRUE(quiet(m));
    const std::string set = "1073741824", px = std::to_string(40 + (80 << 10) + (120 << 20));
    EXPECT_EQ(take_marks(), (std::vector<std::string>{
                                "1", "^data (0 0 0) " + px + " " + set + " " + set + " " + set}));
    unlock_node(n, nullptr);
}

}  // namespace
