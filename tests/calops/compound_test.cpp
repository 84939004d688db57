// Compound blocks through calibration scripts: the stored bytes, the reverse order of separated
// items, and damaged blocks refused within their bytes.
#include <zlib.h>

#include "calops_util.h"

namespace {

using namespace calops;

class CompoundTest : public CalopsTest {};

TEST_F(CompoundTest, CompoundBytesAndSeparateInReverse) {
    // 1: type 5, code of 8, 8 bytes; 2.5: type 11, code, 0x4004000000000000; "ab": type 14.
    std::vector<uint8_t> want = {5,  0, 8, 0, 0, 0, 0, 0, 0,  0, 1, 11,  0,  8,
                                 64, 4, 0, 0, 0, 0, 0, 0, 14, 0, 2, 'a', 'b'};
    given = {{5, 0, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9},
             {5, 0, 8, 1, 2},
             {14, 0x80},
             {99, 0, 1, 0},
             {13, 0, 2, 'x', 'y', 6, 0, 1, 7}};
    auto k =
        run("(testKeep (mxCompound '(1 2.5 \"ab\"))) "
            "(testKeep (mxSeparate (testCdr (mxCompound '(1 2.5 \"ab\"))))) "
            "(testKeep <mxCompound type=\"\">1 2.5 \"ab\"</mxCompound>) "
            "(testKeep (mxSeparate (mxCompound '(1 2.5 \"ab\")))) "
            "(testKeep (mxCompound (list '(a b (c))))) "
            "(testKeep (mxCompound (list 'x))) "
            "(testKeep (mxSeparate (testCdr (mxCompound (list (testVec 22 3 2) \"\"))))) "
            "(testKeep (mxSeparate 5)) "
            "(testKeep (mxSeparate (testCdr (testBytes 0)))) "
            "(testKeep (mxSeparate (testCdr (testBytes 1)))) "
            "(testKeep (mxSeparate (testCdr (testBytes 2)))) "
            "(testKeep (mxSeparate (testCdr (testBytes 3)))) "
            "(testKeep (mxSeparate (testCdr (testBytes 4)))) "
            "(testKeep (mxSeparate (testCdr (testRaw))))");
    ASSERT_EQ(k.size(), 14u);
    EXPECT_EQ(k[0].raw.size(), 27u);
    EXPECT_EQ(k[0].raw, want);
    EXPECT_EQ(k[1].text.substr(0, 9), "(\"ab\" 2.5") << k[1].text;
    EXPECT_EQ(k[1].text.back(), ')');
    EXPECT_NE(k[1].text.find(" 1)"), std::string::npos) << k[1].text;
    // Positional items (the text in the body is taken with its quotes).
    ASSERT_GE(k[2].raw.size(), 22u);
    EXPECT_EQ(std::vector<uint8_t>(k[2].raw.begin(), k[2].raw.begin() + 22),
              std::vector<uint8_t>(want.begin(), want.begin() + 22));
    EXPECT_EQ(k[3].code, QVE_INVALID_PARAMETER);
    EXPECT_EQ(k[3].text, "^\"invalid parameter in mxSeparate\"");
    EXPECT_EQ(k[4].code, QVE_INVALID_PARAMETER);
    EXPECT_EQ(k[5].code, QVE_TYPE_MISMATCH);
    EXPECT_EQ(k[6].text.substr(0, 4), "(\"\" ") << k[6].text;
    EXPECT_NE(k[6].text.find("(data (0 0 0) "), std::string::npos);
    for (int i = 7; i <= 11; i++)
        EXPECT_EQ(k[i].code, QVE_INVALID_PARAMETER) << i << " " << k[i].text;
    EXPECT_EQ(k[13].text, "()");
    EXPECT_EQ(outside_type("(mxCompound '(1))"), QVT_NIL);
    EXPECT_EQ(outside_type("(mxSeparate 1)"), QVT_NIL);
}

TEST_F(CompoundTest, EveryVectorTypeSurvivesCompoundAndSeparate) {
    // Bit, numeric and rgb8 vectors (17 to 28) and string vectors (30), each packed alone and
    // unpacked again, compared by their type's own comparison.
    std::vector<std::string> items;
    for (int type = MXT_VECTOR + MXT_BIT; type <= MXT_VECTOR + MXT_RGB; type++)
        items.push_back("(testVec " + std::to_string(type) + " 3 2)");
    items.push_back("(testStrV \"a\" \"\" \"bc\")");
    std::string text;
    for (const std::string& x : items)
        text += "(testKeep (testSame " + x + " (car (mxSeparate (testCdr (mxCompound (list " + x +
                ")))))))";
    auto k = run(text);
    ASSERT_EQ(k.size(), items.size());
    for (size_t i = 0; i < k.size(); i++)
        EXPECT_EQ(k[i].text, "^same") << items[i] << " " << k[i].code;
}

// A stored compound block may hold scalar elements (type byte and net form): each separates into
// a data item of its value when its payload is exactly its type's size, else the block is refused.
TEST_F(CompoundTest, ScalarElementsOfStoredBlocksSeparate) {
    given = {{4, 0, 4, 0xff, 0xff, 0xff, 0xfe},  // int32 -2
             {6, 0, 1, 200},                     // uint8 200
             {10, 0, 4, 0x3f, 0xc0, 0, 0},       // float 1.5
             {4, 0, 3, 0, 0, 1},                 // int32 of three bytes
             {6, 0, 2, 1, 2}};                   // uint8 of two bytes
    auto k = run(
        "(testKeep (mxSeparate (testCdr (testBytes 0)))) (testKeep (mxSeparate (testCdr (testBytes "
        "1)))) (testKeep (mxSeparate (testCdr (testBytes 2)))) (testKeep (mxSeparate (testCdr "
        "(testBytes 3)))) (testKeep (mxSeparate (testCdr (testBytes 4))))");
    ASSERT_EQ(k.size(), 5u);
    EXPECT_EQ(k[0].text, "((data (0 0 0) -2))");
    EXPECT_EQ(k[1].text, "((data (0 0 0) 200))");
    EXPECT_EQ(k[2].text.rfind("((data (0 0 0) 1.5", 0), 0u) << k[2].text;
    for (int i : {3, 4})
        EXPECT_EQ(k[i].text, "^\"invalid parameter in mxSeparate\"") << i;
}

// Blocks that matrix-script functions make (compound blocks, Z blocks) are raw bytes; packing takes
// them as blocks (type 13 and their bytes), so a separated block packs again to the same bytes and
// blocks nest. mxCompressZ takes them the same way, and zlib's default level -1.
TEST_F(CompoundTest, BlocksMadeByScriptsPackAsBlocks) {
    const std::string inner = "(mxCompound '(1 2.5 \"ab\"))";
    const std::string outer = "(mxCompound (list " + inner + "))";
    auto k = run("(testKeep " + inner + ") (testKeep " + outer +
                 ") (testKeep (mxCompound (mxSeparate (testCdr " + outer +
                 ")))) (testKeep (car (mxSeparate (testCdr " + outer +
                 ")))) (testKeep (mxCompound (list (mxCompressZ (testVec 22 3 2))))) "
                 "(testKeep (mxCompressZ " +
                 inner + ")) (testKeep (mxUncompressZ (mxCompressZ " + inner +
                 "))) (testKeep (mxUncompressZ (mxUncompressZ (mxCompressZ (mxCompressZ " + inner +
                 "))))) (testKeep <mxCompressZ opt=\"-1\">" + inner +
                 "</mxCompressZ>) (testKeep <mxCompressZ opt=\"-2\">" + inner + "</mxCompressZ>)");
    ASSERT_EQ(k.size(), 10u);
    const std::vector<uint8_t> in = k[0].raw;
    ASSERT_EQ(in.size(), 27u);
    auto with = [](std::vector<uint8_t> head, const std::vector<uint8_t>& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    auto inflated = [](const std::vector<uint8_t>& z) {
        std::vector<uint8_t> out(4096);
        uLongf len = out.size();
        if (uncompress(out.data(), &len, z.data(), z.size()) != Z_OK) return std::vector<uint8_t>{};
        out.resize(len);
        return out;
    };
    struct Row {
        int at;
        bool z;  // compare the inflated bytes
        std::vector<uint8_t> want;
    } rows[] = {
        {1, false, with({13, 0, 27}, in)},  // a block of blocks
        {2, false, with({13, 0, 27}, in)},  // separate, then compound again: the same bytes
        {3, false, in},                     // the block item holds the inner block
        {5, true, with({13}, in)},          // Z of a block: type 13 and its bytes
        {6, false, in},                     // and back
        {7, false, in},                     // Z of a Z block and back twice
        {8, true, with({13}, in)},          // zlib's default level
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.at);
        EXPECT_EQ(k[r.at].code, 0u) << k[r.at].text;
        EXPECT_EQ(r.z ? inflated(k[r.at].raw) : k[r.at].raw, r.want);
    }
    // A Z block packs as a block: type 13, its length, its bytes.
    ASSERT_GE(k[4].raw.size(), 3u);
    EXPECT_EQ(k[4].raw[0], MXT_BLOCK);
    EXPECT_EQ(k[4].raw.size(), 3u + k[4].raw[2]);
    EXPECT_EQ(inflated(std::vector<uint8_t>(k[4].raw.begin() + 3, k[4].raw.end()))[0], 22);
    EXPECT_EQ(k[9].text, "^\"invalid parameter in mxCompressZ\"");
}

}  // namespace
