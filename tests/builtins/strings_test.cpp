// The string built-ins where C++ reaches further than a script: their registration, lists nested
// deeper than any machine stack, long texts and the results that do not fit in memory.
#include "builtins/strings.h"

#include <initializer_list>
#include <iterator>
#include <string>

#include "builtins/registry.h"
#include "lisp/eval.h"
#include "lisp/lisp_util.h"
#include "lisp/list.h"
#include "lisp/vxlisp.h"

namespace {

class StringsTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        init_vxlisp();
        env_ = new_env(vxlisp_top_env0);
    }
    // A call form of the built-in named head on already evaluated arguments.
    static QV_SEXP* form(const char* head, std::initializer_list<QV_SEXP*> args) {
        QV_SEXP* r = nullptr;
        for (auto it = std::rbegin(args); it != std::rend(args); ++it)
            r = cons(*it, r);
        return cons(n_get_symbol(head), r);
    }
    // depth lists around the string text.
    static QV_SEXP* nest(const char* text, int depth) {
        QV_SEXP* x = n_get_string(text);
        for (int i = 0; i < depth; i++)
            x = cons(x, nullptr);
        return x;
    }
    // The depth of the first elements' chain and the string at its bottom.
    static std::string bottom(QV_SEXP* x, int* depth) {
        *depth = 0;
        for (; get_type(x) == QVT_PAIR; x = x->pair.car)
            ++*depth;
        return get_type(x) == QVT_STRING ? A(x->string.data) : "?";
    }
    QVISP_ENV* env_ = nullptr;
};

TEST_F(StringsTest, RegisteredInTheGeneralEnvironment) {
    QVISP_ENV* e0 = new_env(nullptr);
    QVISP_ENV* e1 = new_env(e0);
    char prog[] = "prog";
    char* argv[] = {prog, nullptr};
    init_function(e0, e1, 1, argv);
    const struct {
        const char* name;
        int min, max;
    } rows[] = {{"CutString", 4, 4}, {"StringLength", 2, 2}, {"GetChar", 3, 3},
                {"SetChar", 2, 2},   {"DivideString", 3, 3}, {"ReplaceString", 4, 4},
                {"RegCmp", 2, 2},    {"Word2String", 2, 2}};
    for (const auto& r : rows) {
        ASSERT_NE(search_env(e0, L(r.name)), nullptr) << r.name;
        QV_SEXP* f = search_env(e0, L(r.name))->data;
        ASSERT_EQ(get_type(f), QVT_FUNC) << r.name;
        EXPECT_EQ(f->func.type, FUNC_PRIM) << r.name;
        EXPECT_EQ(f->func.order, FUNC_APPLICATIVE) << r.name;
        EXPECT_EQ(f->func.min, r.min) << r.name;
        EXPECT_EQ(f->func.max, r.max) << r.name;
        EXPECT_EQ(f->func.args_env, nullptr) << r.name;
        EXPECT_EQ(search_env(e1, L(r.name)), nullptr) << r.name;
    }
}

// Far deeper than the machine stack would allow a recursive walk (each level is a frame): the
// results keep the shape, the strings at the bottom are converted.
TEST_F(StringsTest, DeepListsAreWalkedWithoutRecursion) {
    constexpr int DEPTH = 200000;
    int depth;
    QV_SEXP* r =
        qv_DivideString(env_, form("DivideString", {nest("a,b", DEPTH), n_get_string(",")}),
                        nullptr, nullptr, nullptr);
    EXPECT_EQ(bottom(r, &depth), "a");
    EXPECT_EQ(depth, DEPTH + 1);  // the pieces' list is one more level
    r = qv_ReplaceString(
        env_, form("ReplaceString", {nest("xax", DEPTH), n_get_string("a"), n_get_string("bb")}),
        nullptr, nullptr, nullptr);
    EXPECT_EQ(bottom(r, &depth), "xbbx");
    EXPECT_EQ(depth, DEPTH);
    r = qv_Word2String(env_, form("Word2String", {nest("AB", DEPTH)}), nullptr, nullptr, nullptr);
    ASSERT_EQ(get_type(r), QVT_STRING);
    EXPECT_EQ(A(r->string.data), "AB");
    // An element of a wrong kind at the bottom fails the whole byte conversion.
    QV_SEXP* bad = get_floating(1.5, nullptr);
    for (int i = 0; i < DEPTH; i++)
        bad = cons(bad, nullptr);
    r = qv_Word2String(env_, form("Word2String", {bad}), nullptr, nullptr, nullptr);
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_TYPE_MISMATCH);
}

// A long text against a pattern that matches almost everywhere: a search that went back over
// the text after every partial match would take minutes here, the linear one a moment.
TEST_F(StringsTest, LongTextsAndAlmostMatchingPatterns) {
    constexpr size_t N = 1 << 21;
    std::string text(N, 'a');
    std::string pattern(4096, 'a');
    pattern += "b";
    QV_SEXP* t = n_get_string(text.c_str());
    QV_SEXP* p = n_get_string(pattern.c_str());
    QV_SEXP* r = qv_ReplaceString(env_, form("ReplaceString", {t, p, n_get_string("x")}), nullptr,
                                  nullptr, nullptr);
    EXPECT_EQ(r, t);  // no occurrence: the same string value
    r = qv_DivideString(env_, form("DivideString", {t, p}), nullptr, nullptr, nullptr);
    ASSERT_EQ(list_length(r), 1);
    EXPECT_EQ(static_cast<size_t>(l_strlen(get_el(r, 0)->string.data)), N);
    // With the occurrence at the very end, and overlapping candidates all the way.
    text.replace(N - pattern.size(), pattern.size(), pattern);
    t = n_get_string(text.c_str());
    r = qv_DivideString(env_, form("DivideString", {t, p}), nullptr, nullptr, nullptr);
    ASSERT_EQ(list_length(r), 2);
    EXPECT_EQ(static_cast<size_t>(l_strlen(get_el(r, 0)->string.data)), N - pattern.size());
    EXPECT_EQ(A(get_el(r, 1)->string.data), "");
    r = qv_ReplaceString(env_, form("ReplaceString", {t, p, n_get_string("x")}), nullptr, nullptr,
                         nullptr);
    ASSERT_EQ(get_type(r), QVT_STRING);
    EXPECT_EQ(static_cast<size_t>(l_strlen(r->string.data)), N - pattern.size() + 1);
    EXPECT_EQ(r->string.data[N - pattern.size()], static_cast<L_CHAR>('x'));
}

// Results whose size a script chooses and the memory cannot hold are error values; the agent
// goes on.
TEST_F(StringsTest, ResultsTooLargeAreErrorValues) {
    std::string text(1 << 16, 'a');
    QV_SEXP* t = n_get_string(text.c_str());
    QV_SEXP* r = qv_ReplaceString(env_, form("ReplaceString", {t, n_get_string("a"), t}), nullptr,
                                  nullptr, nullptr);
    ASSERT_EQ(get_type(r), QVT_ERROR);  // 2^32 characters
    EXPECT_EQ(r->error.code, QVE_NO_MEMORY);
    EXPECT_EQ(A(r->error.func), "ReplaceString");
    // Inside a list the first refusal ends the whole call.
    r = qv_ReplaceString(
        env_, form("ReplaceString", {list(n_get_string("a"), t, nullptr), n_get_string("a"), t}),
        nullptr, nullptr, nullptr);
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_NO_MEMORY);
}

}  // namespace
