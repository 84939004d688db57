// Z and JPEG-family blocks through calibration scripts: the stored bytes, round trips, the form
// chosen by picture size, and the refusal of damaged or foreign blocks.
#include <zlib.h>

#include "calops_util.h"

namespace {

using namespace calops;

std::vector<uint8_t> inflate_all(const std::vector<uint8_t>& z) {
    std::vector<uint8_t> out(1 << 16);
    uLongf len = out.size();
    EXPECT_EQ(uncompress(out.data(), &len, z.data(), z.size()), Z_OK);
    out.resize(len);
    return out;
}
std::vector<uint8_t> deflate_all(const std::vector<uint8_t>& b) {
    std::vector<uint8_t> out(compressBound(b.size()));
    uLongf len = out.size();
    EXPECT_EQ(compress2(out.data(), &len, b.data(), b.size(), 6), Z_OK);
    out.resize(len);
    return out;
}

class CompressTest : public CalopsTest {};

TEST_F(CompressTest, ZBlocksHoldTypeByteAndNetFormAndRoundTrip) {
    given = {deflate_all({99, 1, 2}), deflate_all({22, 12, 22, 0, 2, 0, 0, 0, 3}),
             deflate_all({13, 'a', 'b'}), deflate_all({})};
    auto k =
        run("(testKeep (mxCompressZ (testVec 22 3 2))) "
            "(testKeep (mxUncompressZ (mxCompressZ (testVec 22 3 2)))) "
            "(testKeep (mxUncompressZ <mxCompressZ opt=\"0\">(testVec 28 2 2)</mxCompressZ>)) "
            "(testKeep (mxUncompressZ (mxCompressZ (testVec 19 4 3)))) "
            "(testKeep <mxCompressZ opt=\"12\">(testVec 22 3 2)</mxCompressZ>) "
            "(testKeep (mxCompressZ (testRaw 1 2 3))) "
            "(testKeep (mxUncompressZ (testRaw 1 2 3))) "
            "(testKeep (mxUncompressZ 5)) "
            "(testKeep (mxUncompressZ (testBytes 0))) "
            "(testKeep (mxUncompressZ (testBytes 1))) "
            "(testKeep (mxUncompressZ (testBytes 2))) "
            "(testKeep (mxUncompressZ (testBytes 3)))");
    ASSERT_EQ(k.size(), 12u);
    std::vector<uint8_t> want = {22, 12, 22, 0, 2, 0, 0, 0, 3, 0, 0, 0, 2, 1, 8, 15, 22, 29, 36};
    EXPECT_EQ(inflate_all(k[0].raw), want);
    EXPECT_EQ(k[0].text.substr(0, 14), "(data (0 0 0) ") << k[0].text;
    EXPECT_EQ(k[1].raw, vec_bytes(22, {3, 2}, {}));
    EXPECT_EQ(k[2].raw, vec_bytes(28, {2, 2}, {}));
    EXPECT_EQ(k[3].raw, vec_bytes(19, {4, 3}, {}));
    EXPECT_EQ(k[4].code, QVE_INVALID_PARAMETER);
    EXPECT_EQ(k[4].text, "^\"invalid parameter in mxCompressZ\"");
    // Raw bytes that are no vector are a block's bytes.
    EXPECT_EQ(inflate_all(k[5].raw), (std::vector<uint8_t>{13, 1, 2, 3}));
    EXPECT_EQ(k[6].code, QVE_INVALID_PARAMETER);
    EXPECT_EQ(k[6].text.rfind("(\"invalid parameter\" ", 0), 0u) << k[6].text;
    EXPECT_EQ(k[7].code, QVE_TYPE_MISMATCH);
    EXPECT_EQ(k[8].text, "(\"invalid parameter\" \"type\")");
    EXPECT_EQ(k[9].text, "(\"invalid parameter\" \"data\")");
    EXPECT_EQ(k[10].raw, (std::vector<uint8_t>{'a', 'b'}));
    EXPECT_EQ(k[11].text, "(\"invalid parameter\" \"stream\")");

    EXPECT_EQ(outside_type("(mxCompressZ '(data (0 0 0) 1))"), QVT_NIL);
    EXPECT_EQ(outside_type("(mxUncompressZ '(data (0 0 0) 1))"), QVT_NIL);
}

// A block channel takes a Z or JPEG block's raw bytes as they are; a vector channel still refuses
// raw bytes that are no vector.
TEST_F(CompressTest, BlockChannelsHoldCompressedBlocks) {
    MATRIX* m = ready({MXT_UINT8 + MXT_VECTOR, MXT_BLOCK});
    auto k = run_in(m,
                    "(testKeep (mxSet 0 (testVec 22 8 8))) "
                    "(testKeep (mxSet 1 (mxCompressZ (mxCH 0)))) "
                    "(testKeep (mxUncompressZ (mxCH 1))) "
                    "(testKeep (mxSet 1 (mxCompressJPEG (mxCH 0)))) "
                    "(testKeep (mxUncompressJPEG (mxCH 1))) "
                    "(testKeep (mxSet 0 (testRaw 1 2 3)))");
    ASSERT_EQ(k.size(), 6u);
    EXPECT_EQ(k[0].text, "1");
    EXPECT_EQ(k[1].text, "1");
    EXPECT_EQ(k[2].raw, vec_bytes(22, {8, 8}, {}));
    EXPECT_EQ(k[3].text, "1");
    EXPECT_EQ(k[4].raw, vec_bytes(22, {8, 8}, {}));
    EXPECT_EQ(k[5].text, "(\"type missmatch\" \"data item\")");
}

TEST_F(CompressTest, JpegFamilyFormsBySizeAndTheirDecoding) {
    auto k =
        run("(testKeep (mxCompressJPEG (testVec 22 19 100))) "
            "(testKeep (mxCompressJPEG (testVec 22 20 20 100))) "
            "(testKeep (mxCompressJPEG (testVec 28 300 10 4294967295))) "
            "(testKeep (mxCompressJPEG (testVec 28 2 2 287454020 16777216))) "
            "(testKeep (mxUncompressJPEG (mxCompressJPEG (testVec 28 2 2 287454020 16777216)))) "
            "(testKeep (mxUncompressJPEG (mxCompressJPEG (testVec 22 19 100)))) "
            "(testKeep (mxUncompressJPEG (mxCompressJPEG (testVec 22 20 20 100)))) "
            "(testKeep (mxUncompressJPEG (mxCompressJPEG (testVec 28 300 10 4294967295)))) "
            "(testKeep (mxCompressJPEG (testVec 22 0 300))) "
            "(testKeep (mxCompressJPEG (testVec 19 4 4))) "
            "(testKeep (mxCompressJPEG 5)) "
            "(testKeep (mxCompressJPEG '(1 2))) "
            "(testKeep (mxUncompressJPEG (testRaw 103 110 3 3 1 2 3))) "
            "(testKeep (mxUncompressJPEG (testRaw 99 110 1 1 1 2))) "
            "(testKeep (mxUncompressJPEG (testRaw 120 121 1 1 1))) "
            "(testKeep (mxUncompressJPEG (testRaw 99 106 1 2 3 4 5))) "
            "(testKeep (mxUncompressJPEG (testRaw 103 110 1 1 7 8)))");
    ASSERT_EQ(k.size(), 17u);
    ASSERT_GE(k[0].raw.size(), 2u);
    EXPECT_EQ(k[0].raw.size(), 4u + 19 * 100);
    EXPECT_EQ(std::string(k[0].raw.begin(), k[0].raw.begin() + 4), std::string("gn\x13\x64"));
    EXPECT_EQ(std::string(k[1].raw.begin(), k[1].raw.begin() + 2), "gj");
    EXPECT_EQ(std::string(k[2].raw.begin(), k[2].raw.begin() + 2), "cj");
    EXPECT_EQ(k[3].raw, (std::vector<uint8_t>{'c', 'n', 2, 2, 0x11, 0x22, 0x33, 1, 0, 0, 0x11, 0x22,
                                              0x33, 1, 0, 0}));
    // 'cn' keeps bits 31 to 8.
    EXPECT_EQ(k[4].raw, vec_bytes(28, {2, 2}, {0x11223300, 0x01000000}));
    EXPECT_EQ(k[5].raw, vec_bytes(22, {19, 100}, {}));
    // A flat grey picture comes back within the JPEG's rounding.
    std::vector<uint8_t> flat = vec_bytes(22, {20, 20}, {100});
    ASSERT_EQ(k[6].raw.size(), flat.size());
    for (size_t i = 12; i < flat.size(); i++)
        EXPECT_NEAR(k[6].raw[i], 100, 2) << i;
    ASSERT_EQ(k[7].raw.size(), vec_bytes(28, {300, 10}, {}).size());
    EXPECT_EQ(k[8].code, QVE_INVALID_PARAMETER);
    EXPECT_EQ(k[9].text, "(\"type missmatch\" \"UINT8 or RGB8 is required\")");
    EXPECT_EQ(k[10].text, "(\"invalid parameter in mxCompressJPEG\" list is required for CH data)");
    EXPECT_EQ(k[11].code, QVE_INVALID_PARAMETER);
    for (int i = 12; i <= 15; i++)
        EXPECT_EQ(k[i].code, QVE_INVALID_PARAMETER) << i << " " << k[i].text;
    // Bytes past the picture are not read.
    EXPECT_EQ(k[16].raw, vec_bytes(22, {1, 1}, {7}));
    EXPECT_EQ(outside_type("(mxCompressJPEG '(data (0 0 0) 1))"), QVT_NIL);
    EXPECT_EQ(outside_type("(mxUncompressJPEG '(data (0 0 0) 1))"), QVT_NIL);
}

// Every element mxCompressZ packs comes back from mxUncompressZ as it went in: bit, numeric and
// rgb8 vectors (17 to 28) and string vectors (30).
TEST_F(CompressTest, EveryVectorTypeSurvivesZ) {
    std::vector<std::string> items;
    for (int type = MXT_VECTOR + MXT_BIT; type <= MXT_VECTOR + MXT_RGB; type++)
        items.push_back("(testVec " + std::to_string(type) + " 3 2)");
    items.push_back("(testStrV \"a\" \"\" \"bc\")");
    std::string text;
    for (const std::string& x : items)
        text += "(testKeep (testSame " + x + " (mxUncompressZ (mxCompressZ " + x + "))))";
    auto k = run(text);
    ASSERT_EQ(k.size(), items.size());
    for (size_t i = 0; i < k.size(); i++)
        EXPECT_EQ(k[i].text, "^same") << items[i] << " " << k[i].code << " " << k[i].text;
}

}  // namespace
