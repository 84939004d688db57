// A calibration end to end in memory: level-0 nodes written by the test, their parent built by
// a script from its children (representative sample with offsets for int16, average for rgb8)
// and stored in its channels, checked against a reference computed here; the channels go through
// Z blocks and back unchanged.
#include "calops_util.h"

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

}  // namespace
