// The element and attribute built-ins where C++ reaches further than a script: lists holding
// error values (a script's quote surfaces them first), hostile text given to Parse, long lists,
// encoding switches on streams, and the attribute edit that no name is bound to.
#include "builtins/elements.h"

#include <string>

#include "lisp/lexer.h"
#include "lisp/list.h"
#include "qv_script.h"
#include "stream/string_stream.h"

namespace {

class ElementsTest : public QvScriptTest {
  protected:
    QV_SEXP* err() { return eval_error(nullptr, QVE_UNDEFINED, "probe", nullptr); }
    // The calling form of head on evaluated arguments.
    static QV_SEXP* call(const char* head, QV_SEXP* a, QV_SEXP* b = nullptr, QV_SEXP* c = nullptr) {
        return list(n_get_symbol(head), a, b, c, nullptr);
    }
    // True when v is the error of the code, named func.
    static bool is_err(QV_SEXP* v, uint32_t code, const char* func) {
        return get_type(v) == QVT_ERROR && v->error.code == code && A(v->error.func) == func;
    }
};

TEST_F(ElementsTest, ErrorValuesInsideTargetsAndLists) {
    bind("e", err());
    QV_SEXP* t = list(n_get_symbol("t"), n_get_integer(1, nullptr), nullptr);
    // A list element whose head is an error, after the insertion point, stays in place...
    bind("l", list(t, list(err(), n_get_integer(2, nullptr), nullptr), nullptr));
    QV_SEXP* r = run("^(MakeElement l (InsertAfter (quote t) 0))");
    ASSERT_EQ(get_type(r), QVT_PAIR);
    EXPECT_EQ(list_length(r), 3);
    EXPECT_EQ(get_el(r, 1)->integer.data, 0);
    // ...but ends the operation before it, and anywhere for Delete.
    EXPECT_TRUE(is_err(run("^(MakeElement l (Delete (quote u)))"), QVE_UNDEFINED, "probe"));
    bind("l", list(list(err(), nullptr), t, nullptr));
    EXPECT_TRUE(is_err(run("^(MakeElement l (InsertBefore (quote t) 0))"), QVE_UNDEFINED, "probe"));
    // An element that is itself an error ends every operation wherever it stands.
    bind("l", list(t, err(), nullptr));
    EXPECT_TRUE(is_err(run("^(MakeElement l (InsertAfter (quote t) 0))"), QVE_UNDEFINED, "probe"));
    // The target, an operation or its head may be an error value: it is the result.
    EXPECT_TRUE(is_err(run("^(MakeElement e)"), QVE_UNDEFINED, "probe"));
    EXPECT_TRUE(
        is_err(qv_MakeElement(env_, List(n_get_symbol("MakeElement"), nullptr, err(), LIST_END),
                              nullptr, nullptr, nullptr),
               QVE_UNDEFINED, "probe"));
    EXPECT_TRUE(is_err(
        qv_MakeElement(env_,
                       List(n_get_symbol("MakeElement"), nullptr, list(err(), nullptr), LIST_END),
                       nullptr, nullptr, nullptr),
        QVE_UNDEFINED, "probe"));

    // GetElement meets an error element or head before a match and answers with it; after the
    // match it is never reached.
    QV_SEXP* a = list(n_get_symbol("a"), nullptr);
    QV_SEXP* before = list(list(err(), nullptr), a, nullptr);
    EXPECT_TRUE(is_err(
        qv_GetElement(env_, call("GE", before, n_get_symbol("a")), nullptr, nullptr, nullptr),
        QVE_UNDEFINED, "probe"));
    QV_SEXP* after = list(a, err(), nullptr);
    EXPECT_EQ(qv_GetElement(env_, call("GE", after, n_get_symbol("a")), nullptr, nullptr, nullptr),
              a);
    // Error arguments pass through the built-ins that take them.
    EXPECT_TRUE(is_err(qv_GetElement(env_, call("GE", after, err()), nullptr, nullptr, nullptr),
                       QVE_UNDEFINED, "probe"));
    EXPECT_TRUE(
        is_err(qv_GetSymbolCore(env_, call("GetSymbolCore", err()), nullptr, nullptr, nullptr),
               QVE_UNDEFINED, "probe"));
    EXPECT_TRUE(is_err(qv_GetTag(env_, call("GetTag", err()), nullptr, nullptr, nullptr),
                       QVE_TYPE_MISMATCH, "GetTag"));
    EXPECT_TRUE(is_err(qv_Parse(env_, call("Parse", err()), nullptr, nullptr, nullptr),
                       QVE_UNDEFINED, "probe"));
}

TEST_F(ElementsTest, ParseGivesErrorValuesForHostileText) {
    // Nesting far deeper than any stack, unterminated tags and strings, an over-long token and a
    // raw literal announcing more bytes than exist: each comes back as values holding errors.
    const std::string texts[] = {
        std::string(200000, '('),
        std::string(50000, '<') + "a",
        [] {
            std::string s;
            for (int i = 0; i < 20000; i++)
                s += "<a>";
            return s;
        }(),
        "<a b=\"unterminated",
        "(\"open",
        "<![CDATA[ never ends",
        "(#7fffffff#abc)",
        "(#0fffffff#abc)",
        "(" + std::string(QV_TOKEN_MAX + 10, 'x') + ")",
    };
    for (const std::string& s : texts) {
        bind("s", n_get_string(s.c_str()));
        QV_SEXP* r = run("^(Parse s)");
        realize_whole(r);
        EXPECT_NE(get_type(r), QVT_DELAY);
        EXPECT_NE(get_type(list_error(r)), QVT_NIL) << s.substr(0, 40);
    }
}

TEST_F(ElementsTest, LongListsAreWalkedWithoutRecursion) {
    std::string text;
    for (int i = 0; i < 100000; i++)
        text += "(a " + std::to_string(i) + ") ";
    text += "<b k=\"v\">last</b>";
    bind("s", n_get_string(text.c_str()));
    run("^(Define l (Parse s))");
    EXPECT_EQ(show(run("^(GE l (quote b) \"k\" \"v\")")), "([b k=\"v\"] \"last\")");
    EXPECT_EQ(show(run("^(GE l 99999)")), "(a 99999)");
    QV_SEXP* r = run("^(MakeElement l (Delete (quote a)) (InsertBefore (quote b) 1))");
    EXPECT_EQ(show(r), "(1 ([b k=\"v\"] \"last\"))");
    EXPECT_EQ(list_length(lookup("l")), 100001);  // the target itself is unchanged
}

TEST_F(ElementsTest, EncodingSwitchesOfStreamsAndRecords) {
    STREAM* st = s_open_string_read("x", std_cm, 1, 1);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(set_encoding_st(st, L("euc-jp")), 0);
    EXPECT_EQ(st->h.cm, search_cm("EUC-JP"));
    set_encoding_st(st, L("no such method"));
    EXPECT_EQ(st->h.cm, std_cm);
    set_encoding_st(st, L("Shift_JIS"));
    static const L_CHAR odd[] = {'U', 'T', 'F', 0x2010, '8', 0};
    set_encoding_st(st, odd);
    EXPECT_EQ(st->h.cm, std_cm);
    s_close(st);

    // A record switched by a declaration decodes the rest of its text with the new method.
    STREAM* in = s_open_string_read("\xa4\xa2 \xa4\xa2", search_cm("UTF-8"), 5, 1);
    QV_SEXP* top = init_parse(in, L("probe"), nullptr);
    _q_xml_encoding(top, L("eUc-Jp"));
    ASSERT_EQ(get_type(top), QVT_PAIR);
    ASSERT_EQ(get_type(top->pair.car), QVT_STRING);
    EXPECT_EQ(l_strlen(top->pair.car->string.data), 1);
    EXPECT_EQ(top->pair.car->string.data[0], 0xC0010000u | 0x2422u);
}

TEST_F(ElementsTest, DeclarationsOutsideAnInterpreterDoNothing) {
    // No interpreter owns this thread: even the privileged options are silently without effect,
    // and the standard streams stay where they were.
    STREAM* out = s_stdout;
    STREAM* err = s_stderr;
    EXPECT_EQ(run("^([?qv stdout=\"chain\" stderr=\"x\" encoding=\"EUC-JP\"])"), nullptr);
    env_ = new_env(vxlisp_top_env0);
    EXPECT_EQ(run("^([?xml stdout=\"chain\"])"), nullptr);
    EXPECT_EQ(s_stdout, out);
    EXPECT_EQ(s_stderr, err);
    // Both names and both GetElement names are bound in the general environment.
    for (const char* name : {"?xml", "?qv", "GetElement", "GE", "Parse", "MakeElement"})
        EXPECT_EQ(get_type(get_env_symbol(vxlisp_top_env0, L(name), 0)), QVT_FUNC) << name;
    EXPECT_EQ(get_env_symbol(vxlisp_top_env0, L("GE"), 0),
              get_env_symbol(vxlisp_top_env0, L("GetElement"), 0));
    EXPECT_EQ(get_env_symbol(vxlisp_top_env0, L("AtachAttribute"), 0), nullptr);
}

TEST_F(ElementsTest, AtachAttributeEditsInPlaceOfItsName) {
    init_AtachAttribute(env_);
    EXPECT_EQ(show(run("^(AtachAttribute (quote [t a=\"1\" b=\"2\"]) \"a\" \"9\")")),
              "^[t a=\"9\" b=\"2\"]");
    EXPECT_EQ(show(run("^(AtachAttribute (quote [t a=\"1\" b=\"2\"]) \"c\" \"3\")")),
              "^[t c=\"3\" a=\"1\" b=\"2\"]");
    EXPECT_EQ(show(run("^(AtachAttribute (quote [t a=\"1\" b=\"2\"]) \"a\" ())")), "^[t b=\"2\"]");
    EXPECT_EQ(show(run("^(AtachAttribute (quote ([t a=\"1\"] x)) \"a\" \"2\")")),
              "([t a=\"2\"] x)");
    run("^(Define o (quote [t a=\"1\"]))");
    run("^(AtachAttribute o \"a\" \"2\")");
    EXPECT_EQ(show(lookup("o")), "^[t a=\"1\"]");
    EXPECT_TRUE(is_err(run("^(AtachAttribute (quote (1 x)) \"a\" \"2\")"), QVE_INVALID_PARAMETER,
                       "AtachAttribute"));
    EXPECT_TRUE(
        is_err(run("^(AtachAttribute (quote t) \"a\" 5)"), QVE_TYPE_MISMATCH, "AtachAttribute"));
    EXPECT_TRUE(
        is_err(run("^(AtachAttribute (quote t) 5 \"v\")"), QVE_TYPE_MISMATCH, "AtachAttribute"));
    EXPECT_TRUE(is_err(qv_AtachAttribute(env_, call("A", n_get_symbol("t"), err(), nullptr),
                                         nullptr, nullptr, nullptr),
                       QVE_UNDEFINED, "probe"));
}

}  // namespace
