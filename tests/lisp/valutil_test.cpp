// Typed fields, flag words, divided strings, code maps, the 3-by-3 solver, points and
// rectangles.
#include "lisp/valutil.h"

#include <string>
#include <vector>

#include "base/alloc.h"
#include "lisp/list.h"
#include "lisp_util.h"
#include "qv_text.h"

namespace {

class ValUtilTest : public LispTest {};

TEST_F(ValUtilTest, GetFieldReadsTypedFields) {
    QV_SEXP* s = qv("((n 2.9) (m -2.9) (k 7km) (t \"text\") (n 5) (e) (f 1.25m) (l (1 2)) x)");
    int i = 0, j = 0, k = 0, ri = 9, rj = 9, rk = 9;
    L_CHAR* unit = nullptr;
    L_CHAR* kunit = nullptr;
    ASSERT_EQ(get_field(s, L("n"), "i", &i, &ri, nullptr, L("m"), "i", &j, &rj, nullptr, L("k"),
                        "i", &k, &rk, &kunit, nullptr),
              0);
    EXPECT_EQ(i, 2);  // the first occurrence, truncated toward zero
    EXPECT_EQ(j, -2);
    EXPECT_EQ(k, 7);
    EXPECT_EQ(A(kunit), "km");
    EXPECT_EQ(ri + rj + rk, 0);
    float f = 0;
    double d = 0;
    int rf = 9, rd = 9;
    get_field(s, L("f"), "f", &f, &rf, &unit, L("k"), "lf", &d, &rd, nullptr, nullptr);
    EXPECT_EQ(f, 1.25f);
    EXPECT_EQ(A(unit), "m");
    EXPECT_EQ(d, 7.0);
    L_CHAR* text = nullptr;
    int rt = 9;
    get_field(s, L("t"), "s", &text, &rt, nullptr);
    EXPECT_EQ(A(text), "text");
    // A string field holding an integer leaves the destination untouched.
    L_CHAR* untouched = nullptr;
    get_field(s, L("k"), "s", &untouched, &rt, nullptr);
    EXPECT_EQ(rt, -1);
    EXPECT_EQ(untouched, nullptr);
    QV_SEXP* any = nullptr;
    int ra = 9;
    get_field(s, L("l"), "sexp", &any, &ra, nullptr);
    EXPECT_EQ(show(any), "(1 2)");
    any = n_get_symbol("before");
    get_field(s, L("e"), "sexp", &any, &ra, nullptr);
    EXPECT_EQ(ra, 0);
    EXPECT_EQ(any, nullptr);  // (e) holds nil
    // Missing fields, unknown type texts, malformed lists.
    int rm = 9;
    EXPECT_EQ(get_field(s, L("missing"), "i", &i, &rm, nullptr, nullptr), 0);
    EXPECT_EQ(rm, -2);
    int rx = 9, ry = 9;
    EXPECT_EQ(get_field(s, L("n"), "q", &i, &rx, L("n"), "i", &i, &ry, nullptr, nullptr), -1);
    EXPECT_EQ(rx, -2);
    EXPECT_EQ(ry, 9);  // reading stopped
    EXPECT_EQ(set_data(qv("((\"n\" 1))"), L("n"), GF_INT, &i, nullptr, &rx), -1);
    EXPECT_EQ(rx, -3);
    EXPECT_EQ(set_data(get_integer(1, nullptr), L("n"), GF_INT, &i, nullptr, &rx), -1);
    EXPECT_EQ(rx, -3);
}

TEST_F(ValUtilTest, AttrFlagsFollowTheTableOrder) {
    const ATTR_TABLE table[] = {{"save", 1}, {"relay", 2}, {"console", 4}, {nullptr, 0}};
    int er = 9;
    EXPECT_EQ(get_attr_flags(&er, L("save:relay"), table), 3);
    EXPECT_EQ(er, 0);
    EXPECT_EQ(get_attr_flags(&er, L("save:console"), table), 5);
    EXPECT_EQ(er, 0);
    EXPECT_EQ(get_attr_flags(&er, L("relay:save"), table), 2);
    EXPECT_EQ(er, -1);
    EXPECT_EQ(get_attr_flags(&er, L("bogus"), table), 0);
    EXPECT_EQ(er, -1);
    EXPECT_EQ(get_attr_flags(&er, L(""), table), 0);
    EXPECT_EQ(er, 0);
}

std::vector<std::string> pieces(const DIV_STR& e) {
    std::vector<std::string> out;
    if (e.type != 1) return out;
    for (DIV_STR* p = e.d.ds;; p++) {
        out.push_back(p->type == 0 ? A(p->d.str) : "[nested]");
        if (p->term == 0) break;
    }
    return out;
}

L_CHAR* owned(const char* s) {
    std::string t(s);
    auto* r = static_cast<L_CHAR*>(d_alloc((static_cast<int64_t>(t.size()) + 1) * sizeof(L_CHAR)));
    for (size_t i = 0; i <= t.size(); i++)
        r[i] = static_cast<unsigned char>(t.c_str()[i]);
    return r;
}

TEST_F(ValUtilTest, DivideStrings) {
    DIV_STR e{0, 0, 1, {owned(",a,,b,")}};
    divide_string_str(&e, L(","));
    EXPECT_EQ(pieces(e), (std::vector<std::string>{"", "a", "", "b"}));
    EXPECT_EQ(e.d.ds[3].term, 0);
    EXPECT_EQ(e.d.ds[0].flags, 1);
    free_div_str(e);

    DIV_STR empty{0, 0, 1, {owned("")}};
    divide_string_str(&empty, L(","));
    EXPECT_EQ(pieces(empty), (std::vector<std::string>{""}));
    free_div_str(empty);

    DIV_STR whole{0, 0, 1, {owned("a*b")}};
    divide_string_str(&whole, L(""));  // an empty delimiter leaves the string whole
    EXPECT_EQ(pieces(whole), (std::vector<std::string>{"a*b"}));
    free_div_str(whole);

    // A two-level division, as unit names are divided: first at '*', then at '^'. The second
    // string is not owned and stays with its caller.
    L_CHAR* shared = owned("s^-1");
    DIV_STR arr[2] = {{1, 0, 1, {owned("km*m^2")}}, {0, 0, 0, {shared}}};
    divide_string(arr, L("*"));
    divide_string(arr, L("^"));
    EXPECT_EQ(pieces(arr[0]), (std::vector<std::string>{"[nested]", "[nested]"}));
    EXPECT_EQ(pieces(arr[0].d.ds[1]), (std::vector<std::string>{"m", "2"}));
    EXPECT_EQ(pieces(arr[1].d.ds[0]), (std::vector<std::string>{"s", "-1"}));
    testing::internal::CaptureStdout();
    print_div_str(arr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[[[km ][m 2 ]][[s -1 ]]]");
    free_div_str_list(arr);
    d_f_ree(shared);

    EXPECT_EQ(cmp_part(L("abcdef"), L("cde")), 1);
    EXPECT_EQ(cmp_part(L("abcdef"), L("ced")), 0);
    EXPECT_EQ(cmp_part(L("abc"), L("")), 1);
    EXPECT_EQ(cmp_part(L("ab"), L("abc")), 0);
}

TEST_F(ValUtilTest, CodeHashMapsBothWays) {
    CODEHASH ch{7, 0, 0, nullptr, nullptr, nullptr, nullptr};
    init_codehash(&ch);
    CODEHASH_ENTRY* a = insert_codehash(&ch, 100, 0, CODEHASH_REVERSE);
    EXPECT_EQ(a->forward, 1);                      // generated
    insert_codehash(&ch, 0, 2, CODEHASH_FORWARD);  // forward 2 given, reverse generated
    CODEHASH_ENTRY* c = insert_codehash(&ch, 300, 0, CODEHASH_REVERSE);
    EXPECT_EQ(c->forward, 3);  // 2 is taken
    EXPECT_EQ(search_codehash(&ch, 0, 3, CODEHASH_FORWARD), c);
    EXPECT_EQ(search_codehash(&ch, 100, 0, 0), a);
    EXPECT_EQ(search_codehash(&ch, 0, 99, CODEHASH_FORWARD), nullptr);
    EXPECT_EQ(delete_codehash(&ch, 100, 0, 0), 0);
    EXPECT_EQ(search_codehash(&ch, 0, 1, CODEHASH_FORWARD), nullptr);
    EXPECT_EQ(delete_codehash(&ch, 100, 0, 0), -1);
    // Generation wraps to 1 after the largest code.
    ch.gen_forward = INT32_MAX;
    CODEHASH_ENTRY* w = insert_codehash(&ch, 5, 0, CODEHASH_REVERSE);
    EXPECT_EQ(w->forward, 1);
    // Negative codes hash by their unsigned value.
    insert_codehash(&ch, -7, -9, CODEHASH_FORWARD | CODEHASH_REVERSE);
    EXPECT_NE(search_codehash(&ch, -7, 0, 0), nullptr);
    for (int f : {2, 3, 1, -9})
        EXPECT_EQ(delete_codehash(&ch, 0, f, CODEHASH_FORWARD), 0);
    d_f_ree(ch.forward);
    d_f_ree(ch.reverse);
}

TEST_F(ValUtilTest, EquationSolvesThreeByThree) {
    double m[3][3] = {{2, 1, -1}, {-3, -1, 2}, {-2, 1, 2}};
    double v[3] = {8, -11, -3};
    double x[3] = {0, 0, 0};
    ASSERT_EQ(equation(x, m, v), 0);
    EXPECT_NEAR(x[0], 2, 1e-12);
    EXPECT_NEAR(x[1], 3, 1e-12);
    EXPECT_NEAR(x[2], -1, 1e-12);
    double z[3][3] = {{1, 0, 2}, {3, 0, 4}, {5, 0, 6}};  // a zero column
    double w[3] = {1, 2, 3};
    EXPECT_EQ(equation(x, z, w), -1);
    testing::internal::CaptureStdout();
    print_vector(v);
    EXPECT_EQ(testing::internal::GetCapturedStdout().substr(0, 1), "(");
}

TEST_F(ValUtilTest, PointsAndRectangles) {
    VX_POINT p;
    EXPECT_EQ(qv_to_vx_point(&p, qv("(1 2.5)")), 0);
    EXPECT_EQ(p.x, 1.0);
    EXPECT_EQ(p.y, 2.5);
    EXPECT_EQ(qv_to_vx_point(&p, qv("(1 2 3)")), -1);
    EXPECT_EQ(qv_to_vx_point(&p, qv("(1 \"2\")")), -1);
    VX_RECT r;
    EXPECT_EQ(qv_to_vx_rect(&r, qv("((0 1) (2.5 3))")), 0);
    EXPECT_EQ(r.br.x, 2.5);
    EXPECT_EQ(qv_to_vx_rect(&r, qv("((0 1))")), -1);
    EXPECT_EQ(show(vx_rect_to_qv(&r)), "((0 1) (2.5 3))");
    EXPECT_EQ(get_type(get_el(vx_point_to_qv(&r.tl), 0)), QVT_FLOAT);

    EXPECT_EQ(i_rect_type(qv("((1 2) (3 4))")), 0);
    EXPECT_EQ(i_rect_type(qv("((1 2) (3 4.0))")), -1);
    EXPECT_EQ(i_rect_type(qv("((1 2))")), -1);
    I_RECT ir = qv_to_i_rect(qv("((1 2) (4294967299 4))"));
    EXPECT_EQ(ir.tl.x, 1);
    EXPECT_EQ(ir.br.x, 3);  // low 32 bits
    I_RECT a{{0, 0}, {10, 10}};
    I_RECT b{{-5, 2}, {4, 20}};
    marge_vrect(&a, &b);
    EXPECT_EQ(a.tl.x, -5);
    EXPECT_EQ(a.tl.y, 0);
    EXPECT_EQ(a.br.x, 10);
    EXPECT_EQ(a.br.y, 20);
    I_RECT flat{{3, 3}, {3, 9}};  // tl.x equal to br.x: empty
    marge_vrect(&flat, &b);
    EXPECT_EQ(flat.tl.x, -5);
    EXPECT_EQ(flat.br.y, 20);
}

}  // namespace
