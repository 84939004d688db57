// A calibration end to end in memory: level-0 nodes written by the test, their parent built by
// a script from its children (representative sample with offsets for int16, average for rgb8)
// and stored in its channels, checked against a reference computed here; the channels go through
// Z blocks and back unchanged.
#include <algorithm>

#include "calops_util.h"
#include "matrixops/mxscript.h"

namespace {

using namespace calops;

class CalibrationTest : public CalopsTest {};

int16_t fine16(int cx, int cy, int x, int y) {
    return static_cast<int16_t>((cx * 8 + x) * 37 - (cy * 8 + y) * 91);
}
// Constant over each 2 x 2 group, so the average is exact.
uint32_t fine_rgb(int cx, int cy, int x, int y) {
    uint32_t gx = (cx * 8 + x) / 2, gy = (cy * 8 + y) / 2;
    return (gx * 17 & 255) << 24 | (gy * 29 & 255) << 16 | ((gx + gy) * 5 & 255) << 8;
}

TEST_F(CalibrationTest, ParentFromChildrenMatchesReference) {
    MATRIX* m = open({2, 16, 1, 3, 2, MXT_INT16 + MXT_VECTOR, 0});
    MATRIX_CHANNEL_INFO ci{get_matrix_data_type(MXT_RGB + MXT_VECTOR), 0, nullptr, 0};
    set_matrix_channel_info(m, 1, &ci);
    for (int s = 0; s < 3; s++)
        set_matrix_cal(m, MI_FETCH_1_TP + s, script(kReady));
    int err = 0;
    int64_t pdc[3] = {1, 0, 0};
    MATRIX_NODE* parent = get_matrix_node_wait(&err, m, pdc, 3);
    ASSERT_EQ(err, 0);
    for (int cy = 0; cy < 2; cy++)
        for (int cx = 0; cx < 2; cx++) {
            int64_t dc[3] = {0, cx * 8, cy * 8};
            MATRIX_NODE* c = get_matrix_node_wait(&err, m, dc, 3);
            ASSERT_EQ(err, 0);
            std::vector<int64_t> v16, vrgb;
            for (int y = 0; y < 8; y++)
                for (int x = 0; x < 8; x++) {
                    v16.push_back(static_cast<uint16_t>(fine16(cx, cy, x, y)));
                    vrgb.push_back(fine_rgb(cx, cy, x, y));
                }
            auto b16 = vec_bytes(MXT_INT16 + MXT_VECTOR, {8, 8}, v16);
            auto brgb = vec_bytes(MXT_RGB + MXT_VECTOR, {8, 8}, vrgb);
            gc_push(nullptr, nullptr, "child");
            EXPECT_EQ(set_channel_sexp(c, 0, get_raw(b16.data(), static_cast<int32_t>(b16.size()))),
                      1);
            EXPECT_EQ(
                set_channel_sexp(c, 1, get_raw(brgb.data(), static_cast<int32_t>(brgb.size()))), 1);
            gc_pop(nullptr, nullptr);
            unlock_node(c, nullptr);
            insert_dim_code_index(parent, dc, 0);
        }
    unlock_node(parent, nullptr);
    auto k = run_in(m,
                    "(testKeep (mxSet 0 (mxThinnedOut <mxCH type=\"children\">0</mxCH> '(1 0)))) "
                    "(testKeep (mxSet 1 <mxThinnedOut type=\"average\"><mxCH "
                    "type=\"children\">1</mxCH></mxThinnedOut>))",
                    1);
    ASSERT_EQ(k.size(), 2u);
    EXPECT_EQ(k[0].text, "1");
    EXPECT_EQ(k[1].text, "1");
    std::vector<int64_t> r16, rrgb;
    for (int j = 0; j < 8; j++)
        for (int i = 0; i < 8; i++) {
            int cx = i >> 2, cy = j >> 2;
            r16.push_back(static_cast<uint16_t>(fine16(cx, cy, 2 * (i & 3) + 1, 2 * (j & 3))));
            rrgb.push_back(fine_rgb(cx, cy, 2 * (i & 3), 2 * (j & 3)));
        }
    parent = get_matrix_node_wait(&err, m, pdc, 3);
    ASSERT_EQ(err, 0);
    auto bytes = [&](int ch) {
        auto* d = static_cast<uint8_t*>(parent->channel[ch].data);
        MATRIX_DATA_TYPE* tp = get_matrix_data_type(d[1]);
        return std::vector<uint8_t>(d, d + tp->get_size(tp, d));
    };
    EXPECT_EQ(bytes(0), vec_bytes(MXT_INT16 + MXT_VECTOR, {8, 8}, r16));
    EXPECT_EQ(bytes(1), vec_bytes(MXT_RGB + MXT_VECTOR, {8, 8}, rrgb));
    unlock_node(parent, nullptr);

    // Channels through Z blocks and back are unchanged (mxSet answers 0).
    k = run_in(m,
               "(testKeep (mxSet 0 (mxUncompressZ (mxCompressZ <mxCH>0</mxCH>)))) "
               "(testKeep (mxSet 1 (mxUncompressZ <mxCompressZ opt=\"9\"><mxCH>1</mxCH>"
               "</mxCompressZ>)))",
               1);
    EXPECT_EQ(k.size(), 2u);
    for (const Kept& x : k)
        EXPECT_EQ(x.text, "0");
}

// The nodes testFree frees; none of them is held when it runs.
std::vector<MATRIX_NODE*> probe_nodes;

// (testFree ITEM...): frees the probe nodes, as the loaded-node budget would, then records how
// many went and the element of every data item given (an item, or a list of items after a head).
QV_SEXP* qv_testFree(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    int freed = 0;
    {
        TaskLockGuard g(matrix_lock);
        for (MATRIX_NODE* n : probe_nodes)
            freed += _free_matrix_node(n) == 0;
    }
    probe_nodes.clear();
    mark("freed " + std::to_string(freed));
    for (QV_SEXP* a = cdr(form); get_type(a) == QVT_PAIR; a = cdr(a)) {
        QV_SEXP* x = car(a);
        QV_SEXP *d, *v;
        for (QV_SEXP* p = mx_data_item(x, &d, &v) ? list(x, nullptr) : cdr(x);
             get_type(p) == QVT_PAIR; p = cdr(p))
            mark(describe(get_el(car(p), 2)));
    }
    return nullptr;
}

TEST_F(CalibrationTest, ValuesOfOtherNodesOutliveTheNodes) {
    set_env(matrix_qv_env, l_string(std_cm, "testFree"),
            get_func_prim(qv_testFree, FUNC_APPLICATIVE, nullptr, 1, FUNC_NO_MAX));
    MATRIX* m = open({2, 16, 1, 3, 2, MXT_INT32 + MXT_VECTOR, 0});
    MATRIX_CHANNEL_INFO ci{get_matrix_data_type(MXT_BLOCK), 0, nullptr, 0};
    set_matrix_channel_info(m, 1, &ci);
    for (int s = 0; s < 3; s++)
        set_matrix_cal(m, MI_FETCH_1_TP + s, script(kReady));
    // Node k (the parent 0, the children 1 and 2) holds the values k*100 + i and the block "bk".
    std::vector<std::string> want(3, "20:");
    for (int k = 0; k < 3; k++)
        for (int i = 0; i < 64; i++)
            want[k] += " " + std::to_string(k * 100 + i);
    auto fill = [&](const int64_t* dc, int k) {
        int err = 0;
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
        EXPECT_EQ(err, 0);
        std::vector<int64_t> v;
        for (int i = 0; i < 64; i++)
            v.push_back(k * 100 + i);
        auto b = vec_bytes(MXT_INT32 + MXT_VECTOR, {8, 8}, v);
        std::string blk = "b" + std::to_string(k);
        EXPECT_GE(set_channel_sexp(n, 0, get_raw(b.data(), static_cast<int32_t>(b.size()))), 0);
        EXPECT_GE(set_channel_sexp(n, 1, get_raw(blk.data(), 2)), 0);
        unlock_node(n, nullptr);
        return n;
    };
    // The parent's script frees both children after reading them; the first child's script frees
    // the parent and its sibling after reading them as "parent" and as another node.
    struct Case {
        const char* script;
        int64_t level;
        std::vector<int> freed;  // 0 the parent, 1 and 2 the children
        std::vector<std::string> marks;
    } cases[] = {
        {"(testFree <mxCH type=\"children\">0</mxCH> <mxCH type=\"children\">1</mxCH>)",
         1,
         {1, 2},
         {"freed 2", want[1], want[2], "13:b1", "13:b2"}},
        {"(testFree <mxCH type=\"parent\">0</mxCH> <mxCH type=\"parent\">1</mxCH> "
         "<mxCH type=\"other\">(list 0 8 0) 0</mxCH>)",
         0,
         {0, 2},
         {"freed 2", want[0], "13:b0", want[2]}},
    };
    for (Case& c : cases) {
        int64_t codes[3][3] = {{1, 0, 0}, {0, 0, 0}, {0, 8, 0}};
        MATRIX_NODE* nodes[3];
        for (int k = 0; k < 3; k++)
            nodes[k] = fill(codes[k], k);
        insert_dim_code_index(nodes[0], codes[1], 0);
        insert_dim_code_index(nodes[0], codes[2], 0);
        probe_nodes.clear();
        for (int k : c.freed)
            probe_nodes.push_back(nodes[k]);
        take_marks();
        run_in(m, c.script, c.level);
        std::vector<std::string> got = take_marks();
        std::sort(got.begin(), got.end());
        std::sort(c.marks.begin(), c.marks.end());
        EXPECT_EQ(got, c.marks) << c.script;
    }
}

// mxTrigger and mxCH of type "matrix": a named matrix still opening parks the token, which runs
// the same call again once the matrix is ready; a ready matrix answers the null value.
TEST_F(CalibrationTest, MatrixTargetsWaitForTheOpeningAndAnswerNull) {
    MATRIX* m = ready();
    L_CHAR* key = nl_copy_str(std_cm, "calibration-other");
    MATRIX* other = open_matrix(nullptr, nullptr, key, nullptr, nullptr);  // mode 0: opening
    opened_.push_back(other);
    d_f_ree(key);
    int err = 0;
    int64_t dc[3] = {0, 0, 0};
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
    ASSERT_EQ(err, 0);
    // The first call parks the token (a kept call would keep the waiting error as its value).
    const char* text =
        "<mxCH type=\"matrix\" key=\"calibration-other\"/> (testKeep 1) "
        "(testKeep <mxTrigger type=\"matrix\" key=\"calibration-other\"/>) "
        "(testKeep <mxCH type=\"matrix\" key=\"calibration-other\"/>)";
    for (int s = 0; s < 3; s++)
        set_matrix_cal(m, MI_VISU_1_TP + s, script(text));
    kept.clear();
    matrix_trigger_access(n, MI_VISU_1_TP, 0);
    EXPECT_TRUE(wait_for([&] {
        TaskLockGuard g(matrix_lock);
        return other->wait_token != nullptr;
    }));
    set_matrix_mode(other, 1);
    EXPECT_TRUE(quiet(m));
    unlock_node(n, nullptr);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].text, "1");
    EXPECT_EQ(kept[1].text, "()");
    EXPECT_EQ(kept[2].text, "()");
}

}  // namespace
