// The list and cast built-ins the language core shares.
#include <gtest/gtest.h>

#include "builtins/casts.h"
#include "builtins/lists.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

std::string A(const L_CHAR* s) {
    std::string r;
    for (; s && *s; s++)
        r += static_cast<char>(*s);
    return r;
}

class BuiltinListTest : public testing::Test {
  protected:
    void SetUp() override { gc_push(nullptr, nullptr, "test"); }
    void TearDown() override { gc_pop(nullptr, nullptr); }
};

TEST_F(BuiltinListTest, Reverse) {
    QV_SEXP* a = get_integer(1, nullptr);
    QV_SEXP* b = n_get_string("b");
    QV_SEXP* l = list(a, b, n_get_symbol("c"), nullptr);
    QV_SEXP* r = reverse(l);
    ASSERT_EQ(list_length(r), 3);
    EXPECT_EQ(get_el(r, 2), a);
    EXPECT_EQ(get_el(r, 1), b);
    EXPECT_EQ(get_el(l, 0), a);
    EXPECT_EQ(reverse(nullptr), nullptr);
    EXPECT_EQ(reverse(a), nullptr);
    r = reverse(cons(a, cons(b, get_integer(3, nullptr))));
    ASSERT_EQ(list_length(r), 2);
    EXPECT_EQ(get_el(r, 0), b);
}

TEST_F(BuiltinListTest, SymbolToString) {
    QV_SEXP* s = n_get_symbol("tag");
    QV_SEXP* r = cast_symbol2string(s);
    ASSERT_EQ(get_type(r), QVT_STRING);
    EXPECT_EQ(A(r->string.data), "tag");
    set_attribute(s, l_string(std_cm, "x"), l_string(std_cm, "1"));
    set_attribute(s, l_string(std_cm, "y"), l_string(std_cm, "two words"));
    // The attributes in list order (the newest first).
    r = cast_symbol2string(s);
    EXPECT_EQ(A(r->string.data), "[tag y=\"two words\" x=\"1\"]");
    EXPECT_EQ(A(s->symbol.data), "tag");
    EXPECT_EQ(cast_symbol2string(n_get_string("tag")), nullptr);
}

}  // namespace
