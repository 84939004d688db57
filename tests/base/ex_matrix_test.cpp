// Small dense matrices: arithmetic, the refusal of impossible sizes, and the QV form in both
// directions, including forms whose sizes or elements come from a hostile peer.
#include "lisp/ex_matrix_sexp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>

#include "lisp/collect.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/sexp.h"
#include "longchar/longchar.h"

namespace {

// Every test runs in a root frame of its own, so the nodes it makes live until it ends.
class ExMatrixTest : public testing::Test {
  protected:
    void SetUp() override { gc_push(nullptr, nullptr, "ex_matrix_test"); }
    void TearDown() override { gc_pop(nullptr, nullptr); }
};

EX_MATRIX* make(int v, int h, std::initializer_list<double> values) {
    EX_MATRIX* m = new_ex_matrix(v, h);
    int i = 0;
    for (double x : values)
        m->d[i++] = x;
    return m;
}

std::string text(const L_CHAR* s) {
    std::string r;
    for (; s && *s; s++)
        r += static_cast<char>(*s);
    return r;
}

// (head:name=value... elements...) with the attributes given as name, value pairs.
QV_SEXP* form(std::initializer_list<const char*> attrs, std::initializer_list<QV_SEXP*> elements) {
    QV_SEXP* head = n_get_symbol("matrix");
    for (auto it = attrs.begin(); it != attrs.end(); it += 2)
        set_attribute(head, l_string(std_cm, it[0]), l_string(std_cm, it[1]));
    QV_SEXP* r = nullptr;
    for (auto it = std::rbegin(elements); it != std::rend(elements); ++it)
        r = cons(*it, r);
    return cons(head, r);
}

void collect() {
    gc_tick_notin_tick(nullptr, 0);
}

QV_SEXP* I(int64_t v) {
    return get_integer(v, nullptr);
}
QV_SEXP* F(double v) {
    return get_floating(v, nullptr);
}

TEST_F(ExMatrixTest, Arithmetic) {
    EX_MATRIX* z = new_ex_matrix(2, 3);
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(z->v_size, 2);
    EXPECT_EQ(z->h_size, 3);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(z->d[i], 0.0);

    EX_MATRIX* a = make(2, 3, {1, 2, 3, 4, 5, 6});
    EX_MATRIX* b = make(2, 3, {0.5, -1, 2, 0, 10, -6});
    EX_MATRIX* sum = add_ex(a, b);
    EX_MATRIX* diff = sub_ex(a, b);
    EX_MATRIX* neg = sub_ex(a, nullptr);
    const double want_sum[] = {1.5, 1, 5, 4, 15, 0}, want_diff[] = {0.5, 3, 1, 4, -5, 12};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(sum->d[i], want_sum[i]);
        EXPECT_EQ(diff->d[i], want_diff[i]);
        EXPECT_EQ(neg->d[i], -a->d[i]);
    }
    EX_MATRIX* col = make(3, 1, {1, 10, 100});
    EXPECT_EQ(add_ex(a, col), nullptr);
    EXPECT_EQ(sub_ex(a, col), nullptr);
    EXPECT_EQ(add_ex(a, nullptr), nullptr);
    EXPECT_EQ(sub_ex(nullptr, a), nullptr);

    // 2x3 by 3x1 gives 2x1; 2x3 by 2x3 has no product.
    EX_MATRIX* p = mul_ex(a, col);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->v_size, 2);
    EXPECT_EQ(p->h_size, 1);
    EXPECT_EQ(p->d[0], 321.0);
    EXPECT_EQ(p->d[1], 654.0);
    EXPECT_EQ(mul_ex(a, b), nullptr);
    EXPECT_EQ(mul_ex(nullptr, col), nullptr);

    // The inner product takes two rows or two columns of one size, nothing else.
    int er = 5;
    EX_MATRIX* row1 = make(1, 3, {1, 2, 3});
    EX_MATRIX* row2 = make(1, 3, {4, -5, 6});
    EXPECT_EQ(inner_ex(&er, row1, row2), 12.0);
    EXPECT_EQ(er, 0);
    er = 5;
    EXPECT_EQ(inner_ex(&er, col, col), 10101.0);
    EXPECT_EQ(er, 0);
    EX_MATRIX* sq = make(2, 2, {1, 2, 3, 4});
    EXPECT_EQ(inner_ex(&er, sq, sq), 0.0);
    EXPECT_EQ(er, -1);
    er = 5;
    EXPECT_EQ(inner_ex(&er, row1, col), 0.0);
    EXPECT_EQ(er, -1);
    er = 5;
    EXPECT_EQ(inner_ex(&er, row1, nullptr), 0.0);
    EXPECT_EQ(er, -1);

    for (EX_MATRIX* m : {z, a, b, sum, diff, neg, col, p, row1, row2, sq})
        free_ex_matrix(m);
    free_ex_matrix(nullptr);
}

TEST_F(ExMatrixTest, ImpossibleSizesAreRefused) {
    EXPECT_EQ(new_ex_matrix(0, 1), nullptr);
    EXPECT_EQ(new_ex_matrix(1, -1), nullptr);
    EXPECT_EQ(new_ex_matrix(32768, 1), nullptr);
    EXPECT_EQ(new_ex_matrix(1, 40000), nullptr);
    EXPECT_EQ(new_ex_matrix(32767, 32767), nullptr);
    EX_MATRIX* tall = new_ex_matrix(32767, 1);
    ASSERT_NE(tall, nullptr);
    EXPECT_EQ(tall->v_size, 32767);
    // A column times a row of that size would be too large a result.
    EX_MATRIX* wide = new_ex_matrix(1, 32767);
    EXPECT_EQ(mul_ex(tall, wide), nullptr);
    free_ex_matrix(tall);
    free_ex_matrix(wide);
}

TEST_F(ExMatrixTest, ReadsTheQvForm) {
    // Without attributes: 1x1 from the first number, the rest ignored.
    EX_MATRIX* m = get_ex_from_sexp(form({}, {I(7), F(2.5)}));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->v_size, 1);
    EXPECT_EQ(m->h_size, 1);
    EXPECT_EQ(m->d[0], 7.0);
    free_ex_matrix(m);

    // "0" counts as 1; integers are widened, floats taken as they are.
    m = get_ex_from_sexp(form({"v", "2", "h", "0"}, {I(-3), F(0.25), I(9)}));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->v_size, 2);
    EXPECT_EQ(m->h_size, 1);
    EXPECT_EQ(m->d[0], -3.0);
    EXPECT_EQ(m->d[1], 0.25);
    free_ex_matrix(m);

    // Not a list, or a list without a symbol at its head.
    EXPECT_EQ(get_ex_from_sexp(nullptr), nullptr);
    EXPECT_EQ(get_ex_from_sexp(I(1)), nullptr);
    EXPECT_EQ(get_ex_from_sexp(cons(I(1), cons(I(2), nullptr))), nullptr);
}

TEST_F(ExMatrixTest, HostileFormsGiveNull) {
    QV_SEXP* one = I(1);
    for (const char* bad :
         {"-1", "40000", "32768", "99999999999999999999", "3x", "", " 3", "-", "1.5", "0x10"}) {
        EXPECT_EQ(get_ex_from_sexp(form({"v", bad}, {one, one, one})), nullptr) << bad;
        EXPECT_EQ(get_ex_from_sexp(form({"h", bad}, {one, one, one})), nullptr) << bad;
    }
    // Each side allowed, their product not: refused before any element is looked at.
    EXPECT_EQ(get_ex_from_sexp(form({"v", "32767", "h", "32767"}, {one})), nullptr);
    // Too few elements, an element that is not a number, an improper tail.
    EXPECT_EQ(get_ex_from_sexp(form({"v", "2", "h", "2"}, {one, one, one})), nullptr);
    EXPECT_EQ(get_ex_from_sexp(form({"h", "3"}, {one, n_get_string("2"), one})), nullptr);
    EXPECT_EQ(get_ex_from_sexp(form({"h", "2"}, {one, nullptr})), nullptr);
    QV_SEXP* improper = cons(n_get_symbol("matrix"), cons(one, one));
    set_attribute(improper->pair.car, l_string(std_cm, "h"), l_string(std_cm, "2"));
    EXPECT_EQ(get_ex_from_sexp(improper), nullptr);
    set_attribute(improper->pair.car, l_string(std_cm, "h"), l_string(std_cm, "1"));  // first wins
    EX_MATRIX* m = get_ex_from_sexp(improper);  // only the first element is needed
    ASSERT_NE(m, nullptr);
    free_ex_matrix(m);
}

TEST_F(ExMatrixTest, QvFormRoundTripIsExact) {
    const double values[] = {
        0.1, -1e300, 1.0 / 3, std::numeric_limits<double>::denorm_min(), -0.0, 12345678901234567.0};
    EX_MATRIX* m = new_ex_matrix(2, 3);
    for (int i = 0; i < 6; i++)
        m->d[i] = values[i];
    QV_SEXP* s = get_sexp_from_ex(m);
    collect();  // the form must stay whole through a collection

    ASSERT_EQ(list_length(s), 7);
    QV_SEXP* head = s->pair.car;
    ASSERT_EQ(get_type(head), QVT_SYMBOL);
    EXPECT_EQ(text(head->symbol.data), "matrix");
    EXPECT_EQ(text(get_symbol_field(head, l_string(std_cm, "v"))), "2");
    EXPECT_EQ(text(get_symbol_field(head, l_string(std_cm, "h"))), "3");
    for (int i = 0; i < 6; i++) {
        QV_SEXP* e = get_el(s, i + 1);
        ASSERT_EQ(get_type(e), QVT_FLOAT);
        EXPECT_EQ(std::memcmp(&e->floating.data, &values[i], sizeof(double)), 0) << i;
    }

    EX_MATRIX* back = get_ex_from_sexp(s);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->v_size, 2);
    EXPECT_EQ(back->h_size, 3);
    EXPECT_EQ(std::memcmp(back->d, m->d, 6 * sizeof(double)), 0);
    EXPECT_EQ(get_sexp_from_ex(nullptr), nullptr);
    free_ex_matrix(back);
    free_ex_matrix(m);
}

}  // namespace
