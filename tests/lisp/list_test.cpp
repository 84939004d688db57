// Lists, symbol attributes, searches by tag name and source positions.
#include "lisp/list.h"

#include "lisp_util.h"

namespace {

class ListTest : public LispTest {};

QV_SEXP* I(int64_t v) {
    return get_integer(v, nullptr);
}

QV_SEXP* S(const char* s) {
    return n_get_symbol(s);
}

// (name child ...) with attributes given as "name=value" pairs on the head symbol.
QV_SEXP* tag(const char* name, const char* attr = nullptr, const char* value = nullptr) {
    QV_SEXP* h = S(name);
    if (attr) set_attribute(h, L(attr), L(value));
    return h;
}

void expect_type_error(QV_SEXP* e, const char* func, const char* text) {
    ASSERT_EQ(get_type(e), QVT_ERROR);
    EXPECT_EQ(e->error.code, QVE_TYPE_MISMATCH);
    EXPECT_EQ(A(e->error.func), func);
    ASSERT_EQ(list_length(e->error.data), 1);
    EXPECT_EQ(A(get_el(e->error.data, 0)->string.data), text);
}

TEST_F(ListTest, CarAndCdr) {
    expect_type_error(car(nullptr), "car", "type missmatch in parameter");
    expect_type_error(cdr(nullptr), "cdr", "typemismatch in parameter");
    expect_type_error(car(I(1)), "car", "type missmatch in parameter");
    QV_SEXP* err = get_error(nullptr, 0, 1, L("x"), nullptr);
    EXPECT_EQ(car(err), err);
    EXPECT_EQ(cdr(err), err);
    QV_SEXP* one = list(I(5), nullptr);
    EXPECT_EQ(get_el(cdr(one), 0), nullptr);
    EXPECT_EQ(cdr(one), nullptr);
    EXPECT_EQ(car(one)->integer.data, 5);
    EXPECT_EQ(get_el(nullptr, 0), nullptr);
    EXPECT_EQ(get_el(one, 3), nullptr);
    EXPECT_EQ(get_el(I(1), 0), nullptr);

    // The primitives report a mismatch at the call form's position.
    QV_FILE* f = test_file("form.qv", "", 21);
    QV_SEXP* form = list(get_sexp(f, QVT_SYMBOL), I(3), nullptr);
    QV_SEXP* e = vx_car(nullptr, form, nullptr, nullptr, nullptr);
    expect_type_error(e, "car", "type missmatch in parameter");
    EXPECT_EQ(e->error.line, 21);
    expect_type_error(vx_cdr(nullptr, form, nullptr, nullptr, nullptr), "cdr",
                      "typemismatch in parameter");
    QV_SEXP* ok = list(S("car"), list(I(1), I(2), nullptr), nullptr);
    EXPECT_EQ(vx_car(nullptr, ok, nullptr, nullptr, nullptr)->integer.data, 1);
    EXPECT_EQ(list_length(vx_cdr(nullptr, ok, nullptr, nullptr, nullptr)), 1);
    QV_SEXP* with_err = list(S("car"), err, nullptr);
    EXPECT_EQ(vx_car(nullptr, with_err, nullptr, nullptr, nullptr), err);
}

TEST_F(ListTest, LengthListAndAppend) {
    EXPECT_EQ(list_length(nullptr), 0);
    QV_SEXP* improper = cons(I(1), cons(I(2), I(3)));
    EXPECT_EQ(list_length(improper), -1);
    EXPECT_EQ(list_length(I(3)), -1);

    QV_SEXP* x = S("x");
    QV_SEXP* y = S("y");
    QV_SEXP* l1 = list(x, nullptr, y, nullptr);
    ASSERT_EQ(list_length(l1), 1);
    EXPECT_EQ(get_el(l1, 0), x);
    QV_SEXP* l2 = List(x, nullptr, y, LIST_END);
    ASSERT_EQ(list_length(l2), 3);
    EXPECT_EQ(get_el(l2, 1), nullptr);
    EXPECT_EQ(get_el(l2, 2), y);
    QV_SEXP* l3 = list(nullptr, nullptr);
    EXPECT_EQ(list_length(l3), 1);

    EXPECT_EQ(append(l2, improper), nullptr);
    EXPECT_EQ(append(nullptr, nullptr), nullptr);
    QV_SEXP* a = list(I(1), I(2), nullptr);
    QV_SEXP* b = list(I(3), nullptr);
    QV_SEXP* ab = append(a, b);
    ASSERT_EQ(list_length(ab), 3);
    EXPECT_EQ(get_el(ab, 0), get_el(a, 0));  // elements shared
    EXPECT_EQ(get_el(ab, 2), get_el(b, 0));
    for (QV_SEXP* c = ab; c; c = c->pair.cdr)
        EXPECT_NE(c, b);  // cells copied
    collect();
    EXPECT_EQ(get_el(ab, 2)->integer.data, 3);
}

TEST_F(ListTest, ErrorSearches) {
    QV_SEXP* e1 = get_error(nullptr, 1, 1, L("one"), nullptr);
    QV_SEXP* e2 = get_error(nullptr, 2, 2, L("two"), nullptr);
    QV_SEXP* nested = list(I(1), list(I(2), list(e1, nullptr), nullptr), e2, nullptr);
    EXPECT_EQ(list_error(nested), e1);
    EXPECT_EQ(list_error(list(I(1), I(2), nullptr)), nullptr);
    QV_SEXP* tail = I(9);
    EXPECT_EQ(list_error(cons(I(1), tail)), tail);
    EXPECT_EQ(list_error(tail), tail);
    EXPECT_EQ(list_error(e2), e2);
    EXPECT_EQ(list_error(nullptr), nullptr);

    EXPECT_EQ(search_error(e1), e1);
    EXPECT_EQ(search_error(cons(I(1), cons(I(2), e2))), e2);
    EXPECT_EQ(search_error(nested), nullptr);  // elements are not searched

    // A deeply nested error is found without recursion.
    QV_SEXP* deep = list(e1, nullptr);
    for (int i = 0; i < 100000; i++)
        deep = list(deep, nullptr);
    EXPECT_EQ(list_error(deep), e1);
}

TEST_F(ListTest, SymbolAttributes) {
    QV_SEXP* s = S("a");
    EXPECT_EQ(set_attribute(s, L("x"), L("1")), s);
    set_attribute(s, L("x"), L("2"));
    EXPECT_EQ(A(get_symbol_field(s, L("x"))), "2");  // the first cell wins
    EXPECT_EQ(get_symbol_field(s, L("y")), nullptr);
    EXPECT_EQ(get_symbol_field(I(1), L("x")), nullptr);
    set_attribute(I(1), L("x"), L("1"));  // no effect on other kinds

    // Three cells a=1 b=2 c=3; replace the second.
    QV_SEXP* t = S("t");
    set_attribute(t, L("c"), L("3"));
    set_attribute(t, L("b"), L("2"));
    set_attribute(t, L("a"), L("1"));
    QV_SYM_FIELD* old = t->symbol.field;
    QV_SYM_FIELD* r = set_sym_field(old, L("b"), L("20"));
    ASSERT_NE(r, nullptr);
    EXPECT_NE(r, old);
    EXPECT_EQ(r->name, old->name);  // first cell copied, texts shared
    ASSERT_NE(r->next, nullptr);
    EXPECT_EQ(A(r->next->data), "20");
    EXPECT_EQ(r->next->next, old->next->next);  // the third cell itself
    EXPECT_EQ(r->next->next->next, nullptr);
    EXPECT_EQ(A(get_sf_attribute(old, L("b"))), "2");  // the given list is untouched

    QV_SYM_FIELD* removed = set_sym_field(old, L("b"), nullptr);
    EXPECT_EQ(get_sf_attribute(removed, L("b")), nullptr);
    EXPECT_EQ(removed->next, old->next->next);
    EXPECT_EQ(set_sym_field(old, L("z"), nullptr), old);
    QV_SYM_FIELD* added = set_sym_field(old, L("z"), L("9"));
    EXPECT_EQ(added->next, old);
    EXPECT_EQ(A(added->data), "9");

    EXPECT_EQ(replace_attribute(t, L("b"), L("2")), t);  // same value
    EXPECT_EQ(replace_attribute(t, L("q"), nullptr), t);
    QV_SEXP* t2 = replace_attribute(t, L("b"), L("7"));
    EXPECT_NE(t2, t);
    EXPECT_EQ(A(t2->symbol.data), "t");
    EXPECT_NE(t2->symbol.data, t->symbol.data);
    EXPECT_EQ(A(get_symbol_field(t2, L("b"))), "7");
    EXPECT_EQ(A(get_symbol_field(t, L("b"))), "2");
    EXPECT_EQ(t2->symbol.field->next->name, old->next->name);  // same name text
    QV_SEXP* t3 = replace_attribute(t, L("new"), L("v"));
    EXPECT_EQ(t3->symbol.field->next, old);
    QV_SEXP* t4 = replace_attribute(t, L("a"), nullptr);
    EXPECT_EQ(t4->symbol.field, old->next);
    EXPECT_EQ(replace_attribute(I(1), L("a"), L("b"))->integer.data, 1);

    collect();
    EXPECT_EQ(A(get_sf_attribute(r, L("c"))), "3");
    EXPECT_EQ(A(get_symbol_field(t3, L("new"))), "v");
}

TEST_F(ListTest, SearchesByTagName) {
    // (root (a (b "1") (b "2")) (a x=k (b "3")) (c))
    QV_SEXP* b1 = list(tag("b"), n_get_string("1"), nullptr);
    QV_SEXP* b2 = list(tag("b"), n_get_string("2"), nullptr);
    QV_SEXP* b3 = list(tag("b"), n_get_string("3"), nullptr);
    QV_SEXP* a1 = list(tag("a"), b1, b2, nullptr);
    QV_SEXP* a2 = list(tag("a", "x", "k"), b3, nullptr);
    QV_SEXP* c = list(tag("c"), nullptr);
    QV_SEXP* root = list(S("root"), a1, a2, c, nullptr);

    EXPECT_EQ(get_el_by_symbol(root, L("a"), nullptr), a1);
    EXPECT_EQ(get_el_by_symbol(root, L("a"), L("x"), L("k"), nullptr), a2);
    EXPECT_EQ(get_el_by_symbol(root, L("a"), L("x"), L("z"), nullptr), nullptr);
    EXPECT_EQ(get_el_by_symbol(root, L("zz"), nullptr), nullptr);

    EXPECT_EQ(get_el_by_symbol_cnt(L("a"), 2, root), a2);
    EXPECT_EQ(get_el_by_symbol_cnt(L("a"), -4, root), a1);
    EXPECT_EQ(get_el_by_symbol_cnt(L(""), 2, root), a1);  // counts every element
    QV_SEXP* miss = get_el_by_symbol_cnt(L("a"), 3, root);
    ASSERT_EQ(get_type(miss), QVT_ERROR);
    EXPECT_EQ(miss->error.code, QVE_NO_OBJECT);
    EXPECT_EQ(A(miss->error.func), "get_el_c");
    EXPECT_EQ(A(miss->error.data->string.data), "no object");

    EXPECT_EQ(get_el_c(root, L("a/b'2"), L("$none")), b2);
    EXPECT_EQ(get_el_c(root, L("a/b"), nullptr), b1);
    EXPECT_EQ(get_el_c(root, L("a'2/b"), nullptr), b3);
    EXPECT_EQ(get_el_c(root, L("a/b'0x2"), nullptr), b2);
    QV_SEXP* none = get_el_c(root, L("a'2/b'2"), L("$none"));
    ASSERT_EQ(get_type(none), QVT_SYMBOL);
    EXPECT_EQ(A(none->symbol.data), "none");
    EXPECT_EQ(get_el_c(root, L("a'2/b'2"), L("(")), nullptr);
    QV_SEXP* text = get_el_c(root, L("q"), L("fallback"));
    ASSERT_EQ(get_type(text), QVT_STRING);
    EXPECT_EQ(A(text->string.data), "fallback");
    QV_SEXP* err = get_el_c(root, L("a/q"), nullptr);
    ASSERT_EQ(get_type(err), QVT_ERROR);
    EXPECT_EQ(err->error.code, QVE_NO_OBJECT);
}

// A pair without a source position, whatever its elements carry.
QV_SEXP* P(QV_SEXP* a, QV_SEXP* b) {
    return inherit(cons(a, b), nullptr);
}

TEST_F(ListTest, SourcePositions) {
    QV_FILE* f = test_file("p.qv", "", 4);
    QV_FILE* g = test_file("q.qv", "", 8);
    QV_SEXP* read = get_sexp(f, QVT_NIL);  // line 4 of f

    // _set_inh gives g to every node without a record: cells, cars, sub-lists, the final tail.
    QV_SEXP* inner = P(I(1), P(I(2), nullptr));
    QV_SEXP* tail = I(3);
    QV_SEXP* tree = P(I(0), P(inner, P(read, tail)));
    _set_inh(g, 8, tree);
    EXPECT_EQ(tree->h.file, g);
    EXPECT_EQ(tree->h.line, 8);
    EXPECT_EQ(get_el(tree, 0)->h.file, g);
    EXPECT_EQ(get_el(inner, 1)->h.file, g);
    EXPECT_EQ(inner->pair.cdr->h.file, g);
    EXPECT_EQ(read->h.file, f);  // had a record already
    EXPECT_EQ(read->h.line, 4);
    EXPECT_EQ(tail->h.file, g);

    // search_inh: a record found in a car subtree stands ...
    QV_FILE* out = nullptr;
    int line = -1;
    search_inh(&out, &line, P(P(I(1), P(read, nullptr)), P(I(2), nullptr)));
    EXPECT_EQ(out, f);
    EXPECT_EQ(line, 4);
    // ... unless a later cell or the tail of the list supplies one,
    QV_SEXP* late = get_sexp(g, QVT_INTEGER);  // line 8 of g
    search_inh(&out, &line, P(P(read, nullptr), P(I(2), late)));
    EXPECT_EQ(out, g);
    EXPECT_EQ(line, 8);
    // and the first cell with a record ends the walk.
    QV_SEXP* cell = get_sexp(g, QVT_PAIR);
    cell->pair.car = read;
    search_inh(&out, &line, P(I(1), cell));
    EXPECT_EQ(out, g);
    out = nullptr;
    line = -1;
    search_inh(&out, &line, P(I(1), nullptr));
    EXPECT_EQ(out, nullptr);  // nothing found: the outputs are left alone
    EXPECT_EQ(line, -1);
}

}  // namespace
