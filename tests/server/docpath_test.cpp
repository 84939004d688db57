// Documents and system paths: the tree search through path pairs, the resolution through prefix
// rules with its refusals, joining, the file check, command text and the configured port.
#include "server/docpath.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "base/url.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "server_util.h"

namespace {

const L_CHAR* L(const char* s) {
    return _l_string_1(std_cm, s);
}

std::string A(const L_CHAR* s) {
    return s ? n_string(std_cm, s) : "(null)";
}

// Runs fn on a task inside a root frame, with the tables emptied before and after.
void in_task(const std::function<void()>& fn) {
    ASSERT_TRUE(run_task([&] {
        reset_docpath();
        gc_push(nullptr, nullptr, "docpath");
        fn();
        gc_pop(nullptr, nullptr);
        reset_docpath();
    }));
}

// "CODE FUNC DATA" of an error value, or "ok" for null.
std::string err(QV_SEXP* e) {
    if (!e) return "ok";
    if (get_type(e) != QVT_ERROR) return "not an error";
    char code[16];
    snprintf(code, sizeof code, "%08x", e->error.code);
    return std::string(code) + " " + A(e->error.func) + " " + print_sexp_text(e->error.data, 0);
}

TEST(DocPath, TreeSearchTakesTheLongestPrefixAndFallsBackToTheRoot) {
    in_task([] {
        EXPECT_EQ(get_qvdocs(L("/x.qv")), nullptr);  // no pair at all: nothing, no search again
        ASSERT_EQ(Reg_List_pathpair(L("/base"), L("/")), 0);
        ASSERT_EQ(Reg_List_pathpair(L("/other/"), L("/a/")), 0);
        ASSERT_EQ(Reg_List_pathpair(L("/deep"), L("/a/b/")), 0);
        ASSERT_EQ(Reg_List_pathpair(L("/second"), L("/")), 0);  // the first pair of "/" stays
        EXPECT_EQ(Reg_List_pathpair(L(""), L("/z/")), -1);

        EXPECT_EQ(A(get_qvdocs(L("/a/b/x.qv"))), "/deep/qvdocs/x.qv");
        EXPECT_EQ(A(get_qvdocs(L("/a/c/x.qv"))), "/other/qvdocs/c/x.qv");
        EXPECT_EQ(A(get_qvsys(L("/a/x.qv"))), "/other/qvsys/x.qv");
        EXPECT_EQ(A(get_qvdocs(L("/q/x.qv"))), "/base/qvdocs/q/x.qv");
        EXPECT_EQ(A(get_qvdocs(L("//a/x.qv"))), "/other/qvdocs/x.qv");
        EXPECT_EQ(A(get_qvdocs(L("a/x.qv"))), "/other/qvdocs/x.qv");
        EXPECT_EQ(A(get_sys_path(L("etc/conf"))), "/base/qvsys/etc/conf");
        // Refused before any look-up.
        EXPECT_EQ(get_qvdocs(L("/a/../../etc/passwd")), nullptr);
        EXPECT_EQ(get_qvsys(L("/a/%2e%2e/x")), nullptr);

        URL u;
        ASSERT_EQ(get_url2(&u, L("http://host/a/b/r.qv")), 0);
        EXPECT_EQ(A(get_qvdocs_path(&u)), "/deep/qvdocs/r.qv");
        EXPECT_EQ(A(get_qvsys_apppath(&u, L("more"))), "/deep/qvsys/r.qv/more");
        free_url(&u);

        // The pairs of a local path, and the URL of a local path.
        EXPECT_EQ(print_sexp_text(get_pathpair(L("/other/qvdocs")), 0),
                  "(\"/other/qvdocs/\" \"/other/qvsys/\" \"/a/\")");
        EXPECT_EQ(get_pathpair(L("/nowhere/")), nullptr);
        EXPECT_EQ(A(get_url_path(L("/other/qvdocs/k/l.qv"), L("user"))), "/a/k/l.qv");
        EXPECT_EQ(A(get_url_path(L("/deep/qvsys/m"), L("user"))), "/a/b/m");
        EXPECT_EQ(A(get_url_path(L("/elsewhere/m"), L("user"))), "user");
    });
}

TEST(DocPath, ResolutionRefusesBadPathsBeforeAnyLookUp) {
    in_task([] {
        L_CHAR* pair[2];
        QV_GETFILE rule;
        EXPECT_EQ(err(get_path(pair, &rule, L("/a/x.qv"), nullptr, "Load")),
                  "80010507 Load ^\"dbpath and agent name is undefined\"");
        set_agent_name(L("ag"));
        const char* bad[] = {
            "x.qv",           "a/x.qv",    "/a/b",         "/a.d/b",   "/../x.qv",
            "/a/../x.qv",     "/a/./x.qv", "/./x.qv",      "/a//x.qv", "/a/%2e%2e/x.qv",
            "/a/%2E%2e/x.qv", "/a%2fb.qv", "/a/..%5cx.qv", "/a\\b.qv", "/%252e%252e/x.qv",
            "/a/x.qv/..",     "/a/%00.qv", "/a/.../x.qv",  "/a/b..qv"};
        for (const char* p : bad)
            EXPECT_EQ(err(get_path(pair, &rule, L(p), nullptr, "Load")),
                      "80040503 Load ^\"invalid file path\"")
                << p;
        EXPECT_EQ(err(get_path(pair, &rule, L("/a/x.qv"), nullptr, "Load")),
                  "8004070e Load ^\"undefined prefix\"");
        _insert_getfile(L(".qv"), L("ag"), L("m"), GF_DOCS_ONLY, L("Load"));
        // Rules belong to one agent and one built-in.
        EXPECT_EQ(err(get_path(pair, &rule, L("/a/x.qv"), nullptr, "Get")),
                  "8004070e Get ^\"undefined prefix\"");
        // No pair matches, not even the root.
        ASSERT_EQ(Reg_List_pathpair(L("/t"), L("/b/")), 0);
        EXPECT_EQ(err(get_path(pair, &rule, L("/a/x.qv"), nullptr, "Load")),
                  "8004070e Load ^\"undefined path pair\"");
        ASSERT_EQ(Reg_List_pathpair(L("/r"), L("/")), 0);

        // The trees in the order the rule gives; a dot inside a directory's name is a plain name.
        const char* want[] = {"/r/qvsys/a/.b/x.qv ", "/r/qvdocs/a/.b/x.qv ",
                              "/r/qvsys/a/.b/x.qv /r/qvdocs/a/.b/x.qv",
                              "/r/qvdocs/a/.b/x.qv /r/qvsys/a/.b/x.qv"};
        for (uint32_t trees = 0; trees < 4; trees++) {
            _insert_getfile(L(".qv"), L("ag"), L("mode"), trees | GF_LOCK_URL, L("Load"));
            ASSERT_EQ(get_path(pair, &rule, L("/a/.b/x.qv"), nullptr, "Load"), nullptr);
            EXPECT_EQ(A(pair[0]) + " " + (pair[1] ? A(pair[1]) : ""), want[trees]);
            EXPECT_EQ(rule.flags, trees | GF_LOCK_URL);
            EXPECT_EQ(A(rule.mode), "mode");
            EXPECT_EQ(A(rule.cmd_sym), "Load");
        }
        EXPECT_TRUE(doc_path_ok(L("/a/%41b.qv")));  // only encoded separators and dots are refused
        EXPECT_TRUE(doc_path_ok(L("//a/b.qv")));
        EXPECT_FALSE(doc_path_ok(nullptr));
    });
}

TEST(DocPath, RulesAreUpdatedInPlaceAndListedByPrefix) {
    in_task([] {
        QV_SEXP* names = list(n_get_string("Load"), n_get_string("Get"), nullptr);
        ASSERT_EQ(insert_getfile(L(".qv"), L("ag"), L("m1"), 1, names), 0);
        // ".vq" has the same bucket as ".qv" and is never listed for it.
        ASSERT_EQ(getfile_bucket(L(".vq")), getfile_bucket(L(".qv")));
        _insert_getfile(L(".vq"), L("ag"), L("m"), 1, L("Load"));
        // A name that is not a string refuses the whole call.
        EXPECT_EQ(insert_getfile(L(".qv"), L("ag"), L("m9"), 9,
                                 list(n_get_string("Save"), n_get_integer(1, nullptr), nullptr)),
                  -1);
        QV_GETFILE r;
        EXPECT_EQ(search_getfile(&r, L(".qv"), L("ag"), L("Save")), -1);
        ASSERT_EQ(
            insert_getfile(L(".qv"), L("ag"), L("m2"), 6, list(n_get_string("Load"), nullptr)), 0);
        ASSERT_EQ(search_getfile(&r, L(".qv"), L("ag"), L("Load")), 0);
        EXPECT_EQ(A(r.mode), "m2");
        EXPECT_EQ(r.flags, 6u);
        std::string seen;
        QV_GETFILE prev;
        const QV_GETFILE* after = nullptr;
        while (search_getfile_by_prefix(&r, L(".qv"), after) == 0) {
            seen += A(r.cmd_sym) + ":" + A(r.mode) + " ";
            prev = r;
            after = &prev;
        }
        EXPECT_EQ(seen, "Get:m1 Load:m2 ");  // newest first in the bucket
    });
}

TEST(DocPath, JoiningAndTheFileCheck) {
    in_task([] {
        EXPECT_EQ(A(get_synth_path(L("a"), L("b"))), "a/b");
        EXPECT_EQ(A(get_synth_path(L("a/"), L("b"))), "a/b");
        EXPECT_EQ(A(get_synth_path(L("a/"), L("/b"))), "a/b");
        EXPECT_EQ(A(get_synth_path(L("a"), L("/b"))), "a/b");
        EXPECT_EQ(A(get_synth_path(L("a"), L(".b"))), "a.b");
        EXPECT_EQ(A(get_synth_path(L("a/"), L(".b"))), "a/.b");
        EXPECT_EQ(A(get_append_path(L("dir"), "name")), "dir/name");

        char tmpl[] = "/tmp/docpathXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        std::string root = tmpl;
        mkdir((root + "/qvdocs").c_str(), 0755);
        mkdir((root + "/qvsys").c_str(), 0755);
        for (const char* f :
             {"/qvdocs/d.qv", "/qvsys/s.qv", "/qvdocs/b.qv", "/qvsys/b.qv", "/x.qv"})
            fclose(fopen((root + f).c_str(), "w"));
        ASSERT_EQ(Reg_List_pathpair(L(root.c_str()), L("/")), 0);
        EXPECT_EQ(path_check(L("/d.qv")), 1);
        EXPECT_EQ(path_check(L("/s.qv")), 2);
        EXPECT_EQ(path_check(L("/b.qv")), 3);
        EXPECT_EQ(path_check(L("/none.qv")), 0);
        EXPECT_EQ(path_check(L("/../x.qv")), 0);  // outside the trees, though it exists
        for (const char* f : {"/qvdocs/d.qv", "/qvsys/s.qv", "/qvdocs/b.qv", "/qvsys/b.qv", "/x.qv",
                              "/qvdocs", "/qvsys", ""})
            remove((root + f).c_str());
    });
}

TEST(DocPath, CommandTextAndNumbers) {
    in_task([] {
        QV_SEXP* r = sexp_commands(std_cm, "(a ", "b)", " (c ", "\"d\")", nullptr);
        EXPECT_EQ(print_sexp_text(r, 0), "((a b) (c \"d\"))");
        EXPECT_EQ(sexp_commands(std_cm, "", nullptr), nullptr);
        EXPECT_EQ(get_type(sexp_commands(std_cm, "(a <b>c</d>)", nullptr)), QVT_ERROR);
        std::string text = std::string("(+ ") + sxc_int(-5) + " " + sxc_int(INT64_MAX) + ")";
        EXPECT_EQ(text, "(+ -5 9223372036854775807)");
        EXPECT_STREQ(sxc_float(1.5), "1.500000");
    });
}

TEST(DocPath, PortFromTheConfiguration) {
    in_task([] {
        const L_CHAR* name = L("ServerPort");
        del_env(vxlisp_top_env1, name);
        EXPECT_EQ(get_my_port(), 0);  // unbound: no port yet, asked again next time
        set_env(vxlisp_top_env1, name, n_get_integer(9090, nullptr));
        EXPECT_EQ(get_my_port(), 9090);
        set_env(vxlisp_top_env1, name, n_get_integer(1, nullptr));
        EXPECT_EQ(get_my_port(), 9090);  // kept
        reset_docpath();
        set_env(vxlisp_top_env1, name, n_get_string("x"));
        EXPECT_EQ(get_my_port(), -1);  // reported, never the end of the agent
        del_env(vxlisp_top_env1, name);
    });
}

}  // namespace
