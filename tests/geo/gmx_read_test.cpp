// gmxGetPoint and gmxStatus over a matrix file: element values of every type at points, offsets
// and the point shapes refused, a channel's net form and a node's status, the restricted form's
// refusals, and the matrix described as the gmxCreate body that rebuilds it.
#include "gmx_read_util.h"

using namespace gmxread;

TEST_F(GmxRead, NormalReadsGiveEveryTypeItsValue) {
    EXPECT_EQ(point("", "(0 5 6)"),
              "((0 -1) (1 200) (2 65535) (3 4294967295) (4 2155905024) (5 -1) (6 -1) (7 -300) "
              "(8 -2.2500000000000000 ))");
    // Offsets count cells of the point's level; a cell never written reads 0.
    EXPECT_EQ(point("", "(0 5 6 2 3)").substr(0, 16), "((0 0) (1 17) (2");
    EXPECT_EQ(point("", "((0 7 9) (0 5 6))").substr(0, 20), "(((0 0) (1 17) (2 0)");
    EXPECT_EQ(point("", "(0 5 6 1)"), "80040503 gmxGetPoint \"param\"");
    EXPECT_EQ(point("", "(0 5.5 6)"), "80040503 gmxGetPoint \"param\"");
    // A list whose second point fails answers that error alone.
    EXPECT_EQ(point("", "((0 5 6) (0 1) (0 5 6))"), "80040503 gmxGetPoint \"param\"");
    EXPECT_EQ(point("", "\"x\""), "80030806 gmxGetPoint ()");
    EXPECT_EQ(point("", "(\"a\")"), "80040503 gmxGetPoint (\"read_point\" (\"a\"))");
    // Points that are not proper lists are refused, never echoed back as values, in every mode;
    // so is a list of points whose tail is not nil.
    struct Shape {
        const char *attrs, *pts, *want;
    } shapes[] = {
        {"", "(cons 0 (cons 5 6))", "80040503 gmxGetPoint \"param\""},
        {" mode=\"node\"", "(cons 0 (cons 5 6))", "80040503 gmxGetPoint \"param\""},
        {"", "(list (list 0 5 6) 7)", "80040503 gmxGetPoint \"param\""},
        {"", "(list (list 0 5 6) \"abc\")", "80040503 gmxGetPoint \"param\""},
        {"", "(cons (list 0 5 6) 7)", "80040503 gmxGetPoint (\"read_point\" ((0 5 6) .7))"},
    };
    for (const auto& sh : shapes) {
        std::string head =
            *sh.attrs ? std::string("([gmxGetPoint") + sh.attrs + "]" : "(gmxGetPoint";
        Val v = run(head + " \"" + path + "\" " + sh.pts + ")");
        EXPECT_EQ(v.type == QVT_ERROR ? v.error : v.text, sh.want) << sh.attrs << sh.pts;
    }
    EXPECT_EQ(point(" mode=\"pixel\"", "(0 5 6)"), "80040503 gmxGetPoint \"attribute::mode\"");
    EXPECT_EQ(point(" path-type=\"ftp\"", "(0 5 6)"),
              "80040503 gmxGetPoint \"attribute:path-type\"");
    EXPECT_EQ(err(run("(gmxGetPoint \"" + dir.at("none.mx") + "\" '(0 1 1))")),
              "80040a06 gmxGetPoint ()");
    // The restricted form opens no file by name.
    EXPECT_EQ(err(run0("(gmxGetPoint \"" + path + "\" '(0 5 6))")),
              "80040d10 gmxGetPoint \"file path\"");
    EXPECT_EQ(err(run0("([gmxGetPoint path-type=\"absolute\"] \"" + path + "\" '(0 5 6))")),
              "80040d10 gmxGetPoint \"file path\"");
}

TEST_F(GmxRead, BlockAndNodeModesReadTheNodeItself) {
    std::string one = point(" mode=\"block\" channel=\"1\"", "(0 5 6)");
    EXPECT_EQ(one.rfind("([data id=\"" + std::to_string(id) + "\"] (0 0 0) ", 0), 0u) << one;
    std::string two = point(" mode=\"block\" channel=\"1\"", "((0 5 6) (0 17 1))");
    EXPECT_EQ(two.rfind("((data (0 0 0) ", 0), 0u) << two;
    EXPECT_NE(two.find(") (data (0 16 0) "), std::string::npos) << two;
    EXPECT_EQ(point(" mode=\"block\"", "(0 5 6)"),
              "80040503 gmxGetPoint \"attribute channel is required\"");
    EXPECT_EQ(point(" mode=\"block\" channel=\"10\"", "(0 5 6)"),
              "80040503 gmxGetPoint \"invalid parameter in gmxGetPoint\"");
    EXPECT_EQ(point(" mode=\"block\" channel=\"1\"", "(0 5 6 1 1)"),
              "80040503 gmxGetPoint \"param\"");
    // Channels from the highest down; the node made ready holds no children.
    EXPECT_EQ(point(" mode=\"node\"", "(0 5 6)"),
              "(((8 27 \"exist\") (7 19 \"exist\") (6 25 \"exist\") "
              "(5 20 \"exist\") (4 28 \"exist\") (3 24 \"exist\") (2 23 \"exist\") "
              "(1 22 \"exist\") (0 18 \"exist\")) (\"bitFieldType\" () (0)))");
}

TEST_F(GmxRead, StatusDescribesTheMatrix) {
    std::string full = run("([gmxStatus id=\"" + std::to_string(id) + "\"])").text;
    EXPECT_NE(full.find("[gmxPriority pri=\"0xa\" area=\"3\"]"), std::string::npos) << full;
    EXPECT_NE(full.find("(general (dim "), std::string::npos) << full;
    // By id the entry stays open; by path a matrix a script made stays open too.
    std::string by_path = run("(gmxStatus \"" + path + "\")").text;
    EXPECT_EQ(by_path, full);
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    release_mx_entry(e);
    // The description's body rebuilds the matrix: a new file describes itself alike.
    size_t at = full.find("([gmxStatus ");
    ASSERT_NE(at, std::string::npos);
    std::string desc = full.substr(at, full.size() - at - 1);
    size_t head_end = desc.find(']');
    std::string copy = dir.at("copy-caf\xc3\xa9.mx");  // a name beyond ASCII is described whole
    int id2 = create("([gmxCreate filename=\"" + copy + "\"" + desc.substr(head_end));
    ASSERT_GT(id2, 0);
    std::string again = run("([gmxStatus id=\"" + std::to_string(id2) + "\"])").text;
    close_id(id2);
    EXPECT_NE(again.find("filename=\"" + copy + "\""), std::string::npos) << again;
    auto same = [&](std::string t, const std::string& file) {
        t.replace(t.find(file), file.size(), "F");
        size_t mt = t.find("modify_time=\"");
        t.erase(mt, t.find('"', mt + 13) - mt);
        return t;
    };
    EXPECT_EQ(same(again, copy), same(full, path));
    EXPECT_EQ(err(run0("([gmxStatus id=\"" + std::to_string(id) + "\"])")),
              "80040d10 gmxStatus \"file path(path-type = absolute, id access in Env0 mode)\"");
    EXPECT_EQ(err(run("([gmxStatus id=\"99999\"])")), "80040503 gmxStatus \"id value\"");
    EXPECT_EQ(err(run("(gmxStatus 3)")), "80030806 gmxStatus ()");
    EXPECT_EQ(err(run("([gmxStatus path-type=\"x\"] \"a\")")),
              "80040503 gmxStatus \"attribute:path-type\"");
}
