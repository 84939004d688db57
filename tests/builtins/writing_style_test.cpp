// Writing styles: the WritingStyle declaration (fonts per language, attributes, links, failures
// that register nothing, deep bodies) and the renderer's style registry it feeds.
#include "builtins/writing_style.h"

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lisp/eval.h"
#include "lisp/lisp_util.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/vxlisp.h"
#include "support/lstr.h"

namespace {

// The font names of a list, comma-separated; "<null>" for no list.
std::string names(const FONT_PRI_NAME* l) {
    if (!l) return "<null>";
    std::string r;
    for (; l->font; l++)
        r += (r.empty() ? "" : ",") + lstr_text(l->font);
    return r;
}

LC_WRITING_STYLE* ws(const char* name) {
    return get_ws(lchars(name).data());
}

// The names of a style's children in order.
std::string children(const LC_WRITING_STYLE* w) {
    std::string r;
    for (const LC_WS_CHILDREN_LIST* c = w->children; c; c = c->next)
        r += (r.empty() ? "" : ",") + lstr_text(c->ws->stylename);
    return r;
}

// A declaration with the head attributes and the body given.
std::string S(const std::string& attrs, const std::string& body = "") {
    return "<WritingStyle " + attrs + ">" + body + "</WritingStyle>";
}

class WritingStyleTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        init_vxlisp();
        env_ = new_env(nullptr);
        init_WritingStyle(env_);
    }
    QV_SEXP* decl(const std::string& text) { return eval(env_, read_qv_item(text.c_str())); }
    // "code func data" of an error, the data when it is a string; "ok" for nil.
    std::string run(const std::string& text) {
        QV_SEXP* r = decl(text);
        if (!r) return "ok";
        if (get_type(r) != QVT_ERROR) return "not an error";
        char code[16];
        snprintf(code, sizeof code, "%x", r->error.code);
        std::string d = get_type(r->error.data) == QVT_STRING ? A(r->error.data->string.data) : "";
        return std::string(code) + " " + A(r->error.func) + " " + d;
    }
    QVISP_ENV* env_ = nullptr;
};

TEST_F(WritingStyleTest, FailuresAreErrorValuesAndRegisterNothing) {
    const std::string f1 = "stylename=\"f1\"";
    const std::string bad_link = "80040503 WritingStyle invalid stylename (parentof/childof)";
    std::pair<std::string, std::string> rows[] = {
        {S("", "<Font fontname=\"a\"/>"), "80040503 WritingStyle stylename is required"},
        {S(f1, "<Font/>"), "80040503 WritingStyle:Font fontname is required"},
        {S(f1, "<Font fontname=\"a\" method=\"exact\"/>"),
         "80040503 WritingStyle:Font method value"},
        {S(f1, "<Font fontname=\"a\" mask1=\"12x\"/>"), "80040503 WritingStyle:Font mask1 value"},
        {S(f1, "<Locale><Font fontname=\"a\"/></Locale>"),
         "80040503 WritingStyle:Locale locale is required"},
        {S(f1, "<Font fontname=\"a\"/><Image/>"), "80030806 WritingStyle:loop 2 "},
        {S(f1, "^((1 2))"), "80030806 WritingStyle:loop 1 "},
        {S(f1 + " childof=\"f1.none\""), bad_link},
        {S(f1 + " parentof=\"f1.none\"", "<Font fontname=\"a\"/>"), bad_link},
    };
    for (auto& [text, want] : rows)
        EXPECT_EQ(run(text), want) << text;
    // A wrongly headed element travels as the error's data.
    QV_SEXP* e = decl(S(f1, "<Locale locale=\"ja\"><Image n=\"1\"/></Locale>"));
    ASSERT_EQ(get_type(e), QVT_ERROR);
    ASSERT_EQ(get_type(e->error.data), QVT_PAIR);
    EXPECT_EQ(A(get_symbol_field(e->error.data->pair.car, L("n"))), "1");
    EXPECT_EQ(ws("f1"), nullptr);
}

TEST_F(WritingStyleTest, FontsGoToTheListsOfTheirLocale) {
    ASSERT_EQ(run(S("stylename=\"l1\"", "<Font fontname=\"A\"/><Font fontname=\"B\"/>")), "ok");
    LC_WRITING_STYLE* w = ws("l1");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(names(w->un_fonts_n), "A,B");
    EXPECT_EQ(names(w->ja_fonts_n), "<null>");
    // Fonts before the first Locale come first everywhere; an unknown locale and a Font outside
    // any Locale after the first one feed all four; nested Locales restore their outer target.
    ASSERT_EQ(run(S("stylename=\"l2\"",
                    "<Font fontname=\"A\"/><Locale locale=\"ja\"><Font fontname=\"J\"/></Locale>"
                    "<Locale locale=\"xx\"><Font fontname=\"X\"/></Locale><Font fontname=\"B\"/>"
                    "<Locale locale=\"cn\"><Locale locale=\"kr\"><Font fontname=\"K\"/></Locale>"
                    "<Font fontname=\"C\"/></Locale><Locale locale=\"tw\"/>")),
              "ok");
    w = ws("l2");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(names(w->un_fonts_n), "<null>");
    EXPECT_EQ(names(w->ja_fonts_n), "A,J,X,B");
    EXPECT_EQ(names(w->tw_fonts_n), "A,X,B");
    EXPECT_EQ(names(w->cn_fonts_n), "A,X,B,C");
    EXPECT_EQ(names(w->kr_fonts_n), "A,X,B,K");
    EXPECT_EQ(w->self_children_list.ws, w);
    // Many fonts, before and after the first Locale, in their order.
    std::string body;
    for (int i = 0; i < 3000; i++)
        body += "<Font fontname=\"u" + std::to_string(i) + "\"/>";
    body += "<Locale locale=\"tw\">";
    for (int i = 0; i < 1000; i++)
        body += "<Font fontname=\"t" + std::to_string(i) + "\"/>";
    ASSERT_EQ(run(S("stylename=\"l3\"", body + "</Locale>")), "ok");
    w = ws("l3");
    EXPECT_EQ(fpn_len(w->ja_fonts_n), 3000);
    ASSERT_EQ(fpn_len(w->tw_fonts_n), 4000);
    EXPECT_EQ(lstr_text(w->tw_fonts_n[2999].font), "u2999");
    EXPECT_EQ(lstr_text(w->tw_fonts_n[3999].font), "t999");
    // The body is taken as written: a '$' value is a name like any other.
    ASSERT_EQ(run(S("stylename=\"l4\"", "<Font fontname=\"$f\"/>")), "ok");
    EXPECT_EQ(names(ws("l4")->un_fonts_n), "$f");
}

TEST_F(WritingStyleTest, FontAttributes) {
    ASSERT_EQ(run(S("stylename=\"a1\"",
                    "<Font fontname=\"d\"/><Font fontname=\"n\" method=\"nearly\" lcz0=\"-1\""
                    " mask0=\"3221291008\" lcz1=\"0xC0010000\" mask1=\"4294967297\""
                    " lcz2=\"-2147483648\" mask2=\"18446744073709551615\"/>"
                    "<Font fontname=\"s\" method=\"small\"/><Font fontname=\"l\" method=\"large\"/>"
                    "<Font fontname=\"j\" method=\"just\" lcz2=\"0\"/>")),
              "ok");
    // lcz0 mask0 lcz1 mask1 lcz2 mask2 method, per font: absent sets and masks take their
    // defaults; negative, unsigned, hexadecimal and wider numbers keep their low 32 bits.
    const char* want[] = {"dfffffff ffffffff dfffffff ffffffff dfffffff ffffffff 0",
                          "ffffffff c0010000 c0010000 1 80000000 ffffffff 1",
                          "dfffffff ffffffff dfffffff ffffffff dfffffff ffffffff 2",
                          "dfffffff ffffffff dfffffff ffffffff dfffffff ffffffff 3",
                          "dfffffff ffffffff dfffffff ffffffff 0 ffffffff 0"};
    const FONT_PRI_NAME* f = ws("a1")->un_fonts_n;
    ASSERT_EQ(fpn_len(f), 5);
    for (int i = 0; i < 5; i++) {
        char buf[128];
        snprintf(buf, sizeof buf, "%x %x %x %x %x %x %d", f[i].lcz[0], f[i].mask[0], f[i].lcz[1],
                 f[i].mask[1], f[i].lcz_cov, f[i].mask_cov, f[i].method);
        EXPECT_EQ(buf, std::string(want[i])) << i;
    }
    for (const char* bad : {"", "abc", "99999999999999999999999", "-99999999999999999999"})
        EXPECT_EQ(
            run(S("stylename=\"a2\"", std::string("<Font fontname=\"x\" lcz0=\"") + bad + "\"/>")),
            "80040503 WritingStyle:Font lcz0 value")
            << bad;
    EXPECT_EQ(ws("a2"), nullptr);
}

TEST_F(WritingStyleTest, RedeclarationOnlyAddsLinks) {
    ASSERT_EQ(run(S("stylename=\"r.p\"")), "ok");
    ASSERT_EQ(run(S("stylename=\"r.c\"", "<Font fontname=\"c\"/>")), "ok");
    LC_WRITING_STYLE* p = ws("r.p");
    LC_WRITING_STYLE* c = ws("r.c");
    // With a body an existing style is refused; a body error is reported first.
    EXPECT_EQ(run(S("stylename=\"r.c\"", "<Font fontname=\"d\"/>")),
              "80040503 WritingStyle invalid stylename argment (Font)");
    EXPECT_EQ(run(S("stylename=\"r.c\"", "<Font/>")),
              "80040503 WritingStyle:Font fontname is required");
    EXPECT_EQ(ws("r.c"), c);
    EXPECT_EQ(names(c->un_fonts_n), "c");
    // Without a body the links are added to the existing style.
    ASSERT_EQ(run(S("stylename=\"r.c\" childof=\"r.p\"")), "ok");
    EXPECT_EQ(ws("r.c"), c);
    EXPECT_EQ(children(p), "r.c");
    // A new style between them: r.p -> r.c and r.p -> r.m -> r.c.
    ASSERT_EQ(run(S("stylename=\"r.m\" childof=\"r.p\" parentof=\"r.c\"")), "ok");
    LC_WRITING_STYLE* m = ws("r.m");
    EXPECT_EQ(children(p), "r.c,r.m");
    EXPECT_EQ(children(m), "r.c");
    // Links that would close a cycle are refused and change nothing.
    for (const char* attrs :
         {"stylename=\"r.p\" childof=\"r.c\"", "stylename=\"r.c\" parentof=\"r.p\"",
          "stylename=\"r.m\" childof=\"r.m\"", "stylename=\"r.n\" childof=\"r.c\" parentof=\"r.p\"",
          "stylename=\"r.n\" childof=\"r.c\" parentof=\"r.c\""})
        EXPECT_EQ(run(S(attrs)), "80040503 WritingStyle invalid stylename (parentof/childof)")
            << attrs;
    EXPECT_EQ(ws("r.n"), nullptr);
    EXPECT_EQ(children(p), "r.c,r.m");
    EXPECT_EQ(children(m), "r.c");
    EXPECT_EQ(c->children, nullptr);
}

TEST_F(WritingStyleTest, DeepBodiesAreWalkedOrRefusedWithoutCrashing) {
    // Nested far beyond what the reader builds: the walk keeps its own stack.
    const int depth = 100000;
    QV_SEXP* loc = set_attribute(n_get_symbol("Locale"), L("locale"), L("kr"));
    QV_SEXP* inner = list(set_attribute(n_get_symbol("Font"), L("fontname"), L("deep")), nullptr);
    for (int i = 0; i < depth; i++)
        inner = list(loc, inner, nullptr);
    QV_SEXP* head = set_attribute(n_get_symbol("WritingStyle"), L("stylename"), L("deep1"));
    QV_SEXP* form = cons(head, cons(inner, list(list(n_get_symbol("Font"), nullptr), nullptr)));
    QV_SEXP* r = eval(env_, form);
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(A(r->error.func), "WritingStyle:Font");
    EXPECT_EQ(ws("deep1"), nullptr);
    head = set_attribute(n_get_symbol("WritingStyle"), L("stylename"), L("deep2"));
    form = cons(head, list(inner, nullptr));
    EXPECT_EQ(eval(env_, form), nullptr);
    ASSERT_NE(ws("deep2"), nullptr);
    EXPECT_EQ(names(ws("deep2")->kr_fonts_n), "deep");
    EXPECT_EQ(names(ws("deep2")->ja_fonts_n), "<null>");
    // Read from text, a body nested deeper than the reader builds holds the reader's error, which
    // the walk does not skip.
    std::string open, close;
    for (int i = 0; i < 3000; i++) {
        open += "<Locale locale=\"ja\">";
        close += "</Locale>";
    }
    std::string body = open + close;
    r = decl(S("stylename=\"deep3\"", body));
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(A(r->error.func), "parser");
    EXPECT_EQ(ws("deep3"), nullptr);
}

// ---------------------------------------------------------------- the style registry

FONT_PRI_NAME fpn(const L_CHAR* name, int method) {
    FONT_PRI_NAME r{};
    r.font = const_cast<L_CHAR*>(name);
    r.lcz[0] = r.lcz[1] = r.lcz_cov = 0xDFFFFFFF;
    r.mask[0] = r.mask[1] = r.mask_cov = 0xFFFFFFFF;
    r.method = method;
    return r;
}

// A new style without fonts.
LC_WRITING_STYLE* mk(const std::string& name) {
    return new_ws(lchars(name).data(), nullptr, nullptr, nullptr, nullptr, nullptr);
}

TEST(StyleRegistryTest, ListsAreCopiedDeeply) {
    EXPECT_EQ(fpn_len(nullptr), 0);
    EXPECT_EQ(copy_font_pri_name(nullptr), nullptr);
    auto a = lchars("a"), b = lchars("b");
    FONT_PRI_NAME a_rec = fpn(a.data(), 2), b_rec = fpn(b.data(), 3);
    FONT_PRI_NAME* l = insert_fpn(nullptr, &a_rec);
    l = insert_fpn(l, &b_rec);
    FONT_PRI_NAME* c = copy_font_pri_name(l);
    free_font_pri_name(l);
    ASSERT_EQ(fpn_len(c), 2);
    EXPECT_EQ(names(c), "a,b");
    EXPECT_EQ(c[1].method, 3);
    EXPECT_EQ(c[1].lcz[0], 0xDFFFFFFFu);
    // An empty list copies to an empty list, not to none.
    FONT_PRI_NAME end{};
    FONT_PRI_NAME* e = copy_font_pri_name(&end);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(fpn_len(e), 0);
    // A style keeps copies: the caller's lists may go.
    LC_WRITING_STYLE* w = new_ws(lchars("reg.copy").data(), c, nullptr, e, nullptr, nullptr);
    free_font_pri_name(c);
    free_font_pri_name(e);
    EXPECT_EQ(names(w->un_fonts_n), "a,b");
    EXPECT_EQ(names(w->ja_fonts_n), "<null>");
    EXPECT_EQ(names(w->tw_fonts_n), "");
}

TEST(StyleRegistryTest, CopiesOfEveryLengthTakeMoreFonts) {
    // A copy of n fonts, appended to up to 40 (across every doubling of its room): every record
    // stays in order and nothing is read or written outside the blocks (the sanitizer build).
    auto font = [](int i) { return lchars("f" + std::to_string(i)); };
    auto want = [](int n) {
        std::string s;
        for (int i = 0; i < n; i++)
            s += (i ? ",f" : "f") + std::to_string(i);
        return s;
    };
    for (int n = 0; n <= 17; n++) {
        FONT_PRI_NAME end{};
        FONT_PRI_NAME* l = copy_font_pri_name(&end);
        for (int i = 0; i < n; i++) {
            auto name = font(i);
            FONT_PRI_NAME rec = fpn(name.data(), i % 4);
            l = insert_fpn(l, &rec);
        }
        FONT_PRI_NAME* c = copy_font_pri_name(l);
        free_font_pri_name(l);
        const int total = 40;
        for (int i = n; i < total; i++) {
            auto name = font(i);
            FONT_PRI_NAME rec = fpn(name.data(), i % 4);
            c = insert_fpn(c, &rec);
            ASSERT_EQ(fpn_len(c), i + 1) << n;
        }
        EXPECT_EQ(names(c), want(total)) << n;
        EXPECT_EQ(c[total - 1].method, (total - 1) % 4) << n;
        free_font_pri_name(c);
    }
}

TEST(StyleRegistryTest, NewestOfANameAndChildrenInOrder) {
    EXPECT_EQ(get_ws(nullptr), nullptr);
    EXPECT_EQ(ws("reg.none"), nullptr);
    LC_WRITING_STYLE* old = mk("reg.x");
    LC_WRITING_STYLE* neu = mk("reg.x");
    EXPECT_NE(old, neu);
    EXPECT_EQ(ws("reg.x"), neu);
    LC_WRITING_STYLE* k[3] = {mk("reg.k0"), mk("reg.k1"), mk("reg.k2")};
    EXPECT_EQ(set_ws_child(neu, k[1]), 0);
    EXPECT_EQ(set_ws_child(neu, k[0]), 0);
    EXPECT_EQ(set_ws_child(neu, k[2]), 0);
    EXPECT_EQ(set_ws_child(k[2], k[0]), 0);
    EXPECT_EQ(children(neu), "reg.k1,reg.k0,reg.k2");
    // Itself, or an ancestor, cannot become a child.
    EXPECT_EQ(set_ws_child(neu, neu), -1);
    EXPECT_EQ(set_ws_child(k[0], neu), -1);
    EXPECT_EQ(set_ws_child(k[0], k[2]), -1);
    EXPECT_EQ(set_ws_child(nullptr, k[0]), -1);
    EXPECT_EQ(children(k[0]), "");
    EXPECT_EQ(children(old), "");
}

TEST(StyleRegistryTest, ManyThreadsMakeAndFindStyles) {
    constexpr int threads = 4;
    constexpr int per_thread = 200;
    auto name = [](int t, int i) {
        return "reg.mt." + std::to_string(t) + "." + std::to_string(i);
    };
    std::atomic<int> misses{0};
    std::vector<std::thread> pool;
    // Each thread makes a chain of styles, finding each one and its parent by name.
    for (int t = 0; t < threads; t++)
        pool.emplace_back([t, &misses, &name] {
            for (int i = 0; i < per_thread; i++) {
                LC_WRITING_STYLE* w = mk(name(t, i));
                if (ws(name(t, i).c_str()) != w) misses++;
                LC_WRITING_STYLE* p = i > 0 ? ws(name(t, i - 1).c_str()) : nullptr;
                if (i > 0 && (!p || set_ws_child(p, w) != 0)) misses++;
            }
        });
    for (auto& th : pool)
        th.join();
    EXPECT_EQ(misses.load(), 0);
    for (int t = 0; t < threads; t++) {
        LC_WRITING_STYLE* w = ws(name(t, 0).c_str());
        int chain = 1;
        for (; w && w->children; w = w->children->ws)
            chain++;
        EXPECT_EQ(chain, per_thread);
    }
}

}  // namespace
