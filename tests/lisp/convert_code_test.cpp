// Conversion of whole expression trees between code sets.
#include "lisp/convert_code.h"

#include <vector>

#include "lisp/list.h"
#include "lisp_util.h"

namespace {

class ConvertCodeTest : public LispTest {};

const LCZ_SET kJis[] = {{0, 0xFFFFFF80}, {LCZ_JISX0208, 0}, {LC_NONE, 0}};
const LCZ_SET kUnicode[] = {{0, 0}, {LC_NONE, 0}};

constexpr L_CHAR kA = 0xC0013021;  // U+4E9C in JIS X 0208
constexpr L_CHAR kI = 0xC0013022;  // U+5516

std::vector<L_CHAR> chars(const L_CHAR* s) {
    std::vector<L_CHAR> v;
    for (; s && *s; s++)
        v.push_back(*s);
    return v;
}

TEST_F(ConvertCodeTest, TextsOfEveryKindAreConvertedInACopy) {
    const L_CHAR name[] = {'t', 0x4E9C, 0};
    const L_CHAR attr_name[] = {0xC0124E9C, 0};
    const L_CHAR attr_value[] = {'v', 0x5516, 0};
    const L_CHAR second_value[] = {0xC0064E9C, 0};
    const L_CHAR text[] = {0x5516, 0xC0013021, 0x1F600, 0};
    const L_CHAR unit[] = {'m', 0x4E9C, 0};

    QV_SEXP* head = get_symbol(name);
    set_attribute(head, L("k"), second_value);
    set_attribute(head, attr_name, attr_value);  // now the first cell
    heap_enter();
    head->h.flags = SEXP_FLAG_TAG;
    heap_leave();
    QV_SEXP* fn = get_func_prim(nullptr, 0, nullptr, 1, 2);
    QV_SEXP* raw = get_raw("ab", 2);
    QV_SEXP* err = get_error(nullptr, 12, 0x80040503, name, list(get_string(text), nullptr));
    QV_SEXP* tree = list(head, get_string(text), get_integer(7, unit), get_floating(2.5, unit),
                         List(fn, raw, nullptr, LIST_END), err, nullptr);
    // A dotted tail is converted too.
    QV_SEXP* last = tree;
    while (last->pair.cdr)
        last = last->pair.cdr;
    QV_SEXP* dotted = get_string(name);
    heap_enter();
    last->pair.cdr = dotted;
    heap_leave();

    QV_SEXP* r = convert_code(tree, kJis, 512);
    collect();  // the copy is reachable from the frame alone
    ASSERT_NE(r, tree);
    QV_SEXP* h = get_el(r, 0);
    ASSERT_EQ(get_type(h), QVT_SYMBOL);
    EXPECT_NE(h, head);
    EXPECT_EQ(chars(h->symbol.data), (std::vector<L_CHAR>{'t', kA}));
    EXPECT_EQ(h->h.flags, SEXP_FLAG_TAG);
    // Attribute order is kept: the first cell of a name still wins.
    ASSERT_NE(h->symbol.field, nullptr);
    EXPECT_EQ(chars(h->symbol.field->name), std::vector<L_CHAR>{kA});
    EXPECT_EQ(chars(h->symbol.field->data), (std::vector<L_CHAR>{'v', kI}));
    ASSERT_NE(h->symbol.field->next, nullptr);
    EXPECT_EQ(A(h->symbol.field->next->name), "k");
    EXPECT_EQ(chars(h->symbol.field->next->data), std::vector<L_CHAR>{kA});

    EXPECT_EQ(chars(get_el(r, 1)->string.data), (std::vector<L_CHAR>{kI, kA, '?'}));
    QV_SEXP* i = get_el(r, 2);
    EXPECT_EQ(i->integer.data, 7);
    EXPECT_EQ(chars(i->integer.unit), (std::vector<L_CHAR>{'m', kA}));
    QV_SEXP* f = get_el(r, 3);
    EXPECT_EQ(f->floating.data, 2.5);
    EXPECT_EQ(chars(f->floating.unit), (std::vector<L_CHAR>{'m', kA}));
    // Functions and raw bytes are shared; nil stays nil.
    QV_SEXP* inner = get_el(r, 4);
    EXPECT_EQ(get_el(inner, 0), fn);
    EXPECT_EQ(get_el(inner, 1), raw);
    EXPECT_EQ(get_el(inner, 2), nullptr);
    EXPECT_EQ(list_length(inner), 3);
    QV_SEXP* e = get_el(r, 5);
    ASSERT_EQ(get_type(e), QVT_ERROR);
    EXPECT_NE(e, err);
    EXPECT_EQ(e->error.code, 0x80040503u);
    EXPECT_EQ(e->error.line, 12);
    EXPECT_EQ(chars(e->error.func), (std::vector<L_CHAR>{'t', kA}));
    EXPECT_EQ(chars(get_el(e->error.data, 0)->string.data), (std::vector<L_CHAR>{kI, kA, '?'}));
    QV_SEXP* tail = r;
    while (get_type(tail->pair.cdr) == QVT_PAIR)
        tail = tail->pair.cdr;
    EXPECT_EQ(chars(tail->pair.cdr->string.data), (std::vector<L_CHAR>{'t', kA}));

    // The original is untouched.
    EXPECT_EQ(chars(get_el(tree, 1)->string.data), chars(text));
    EXPECT_EQ(chars(head->symbol.field->name), chars(attr_name));

    // And back to Unicode.
    QV_SEXP* u = convert_code(r, kUnicode, 0);
    EXPECT_EQ(chars(get_el(u, 0)->symbol.data), (std::vector<L_CHAR>{'t', 0x4E9C}));
    EXPECT_EQ(chars(get_el(u, 1)->string.data), (std::vector<L_CHAR>{0x5516, 0x4E9C, '?'}));

    EXPECT_EQ(convert_code(nullptr, kJis, 0), nullptr);
    EXPECT_EQ(convert_code(fn, kJis, 0), fn);
}

TEST_F(ConvertCodeTest, DeepTreesAndLongListsDoNotUseTheMachineStack) {
    const L_CHAR s[] = {0x4E9C, 0};
    QV_SEXP* deep = get_string(s);
    for (int i = 0; i < 200000; i++)
        deep = list(deep, nullptr);
    QV_SEXP* r = convert_code(deep, kJis, 0);
    int depth = 0;
    while (get_type(r) == QVT_PAIR) {
        r = r->pair.car;
        depth++;
    }
    EXPECT_EQ(depth, 200000);
    EXPECT_EQ(chars(r->string.data), std::vector<L_CHAR>{kA});

    QV_SEXP* longl = nullptr;
    for (int i = 0; i < 200000; i++)
        longl = cons(get_string(s), longl);
    EXPECT_EQ(list_length(convert_code(longl, kJis, 0)), 200000);
}

}  // namespace
