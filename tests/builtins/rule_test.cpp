// Rule: modification-time guards, directory creation and its permissions, refusal outside the
// privileged environment, symbolic link loops, the walk's memory limit and the pattern matcher.
#include "builtins/rule.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "builtins/bltn_util.h"
#include "builtins/control.h"
#include "qv_script.h"

namespace {

class RuleTest : public QvScriptTest {
  protected:
    void SetUp() override {
        QvScriptTest::SetUp();
        ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
        char tmpl[] = "/tmp/vx_rule_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        EXPECT_EQ(chdir(cwd_), 0);
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
        QvScriptTest::TearDown();
    }
    // A file with the modification time now + age seconds.
    void file(const char* name, int age = 0) {
        std::ofstream(name) << "x";
        struct timespec t[2];
        t[0].tv_sec = t[1].tv_sec = time(nullptr) + age;
        t[0].tv_nsec = t[1].tv_nsec = 0;
        ASSERT_EQ(utimensat(AT_FDCWD, name, t, 0), 0);
    }
    unsigned mode_of(const char* name) {
        struct stat st;
        if (stat(name, &st) != 0) return 0;
        return st.st_mode & 07777;
    }
    std::string walk(const char* patterns) {
        return show(
            run((std::string("([Rule target=\"allfor1\"] ") + patterns + " from)").c_str()));
    }

    char cwd_[PATH_MAX];
    std::string dir_;
};

TEST_F(RuleTest, TargetRunsTheBodyOnlyWhenEveryDependencyIsNewer) {
    ASSERT_EQ(mkdir("t", 0755), 0);
    file("t/out", -100);
    file("t/new1", 0);
    file("t/new2", 0);
    file("t/old", -200);
    const char* rule = "(Rule (Accept \"t/out\") (Target from %s) (set n (+ n 1)))";
    auto count = [&](const char* deps) {
        run("(define n 0)");
        char buf[256];
        snprintf(buf, sizeof buf, rule, deps);
        QV_SEXP* r = run(buf);
        EXPECT_EQ(get_type(r), QVT_NIL) << show(r);
        return show(run("(+ n 0)"));
    };
    EXPECT_EQ(count("\"t/new1\""), "1");
    EXPECT_EQ(count("\"t/new1\" (list \"t/new2\")"), "1");
    EXPECT_EQ(count("\"t/new1\" \"t/old\""), "0");
    EXPECT_EQ(count("(list \"t/new1\" \"t/old\")"), "0");
    EXPECT_EQ(count("\"t/new1\" \"t/missing\""), "0");
    EXPECT_EQ(count("\"t/out\""), "0");  // not later than itself
    // In a one-for-all run a guard that is not satisfied ends the single run with nil.
    EXPECT_EQ(walk("(Accept \"t/out\") (Target \"t/out\" \"t/old\")"), "()");
    EXPECT_EQ(walk("(Accept \"t/out\") (Target \"t/out\" \"t/new1\")"), "(\"t/out\")");
    // A target made before 2001 (times before then wrap in 32 bits) is older than today's files.
    file("t/1999", static_cast<int>(915148800 - time(nullptr)));
    EXPECT_EQ(walk("(Accept \"t/1999\") (Target \"t/1999\" \"t/new1\")"), "(\"t/1999\")");
}

TEST_F(RuleTest, MakeDirSetsThePermissionOnlyOnDirectoriesItCreates) {
    ASSERT_EQ(mkdir("keep", 0700), 0);
    ASSERT_EQ(chmod("keep", 0700), 0);
    QV_SEXP* r =
        run("([Rule target=\"allfor1\"] ([Target dir=\"make\" mode=\"0750\"] "
            "\"keep/a/b/obj.o\" \"src\") 1)");
    EXPECT_EQ(show(r), "1");
    EXPECT_EQ(mode_of("keep"), 0700u);  // existed already: left alone
    EXPECT_EQ(mode_of("keep/a"), 0750u);
    EXPECT_EQ(mode_of("keep/a/b"), 0750u);
    EXPECT_EQ(mode_of("keep/a/b/obj.o"), 0u);  // the target itself is not made
    // Hexadecimal and default modes; an absolute path keeps its leading "/".
    run("([Rule target=\"allfor1\"] ([Target dir=\"make\" mode=\"0x1c0\"] \"hx/\" \"src\") 1)");
    EXPECT_EQ(mode_of("hx"), 0700u);
    // A mode beyond the int range is none: the default, not its low 32 bits (2^32 + 0700).
    run("([Rule target=\"allfor1\"] ([Target dir=\"make\" mode=\"4294967744\"] \"wd/\" \"src\") "
        "1)");
    EXPECT_EQ(mode_of("wd"), 0755u);
    std::string abs =
        "([Rule target=\"allfor1\"] ([Target dir=\"make\"] \"" + dir_ + "/abs/d/f\" \"src\") 1)";
    EXPECT_EQ(show(run(abs.c_str())), "1");
    EXPECT_EQ(mode_of("abs/d"), 0755u);
}

TEST_F(RuleTest, TargetCreatesNothingForACallerOutsideThePrivilegedEnvironment) {
    // A script below env0 alone, handed the Rule function value.
    QVISP_ENV* general = new_env(vxlisp_top_env0);
    set_env(general, L("R"), lookup("Rule"));
    QV_SEXP* r = eval(general, read_qv_items("([R target=\"allfor1\"] ([Target dir=\"make\"] "
                                             "\"made/x\" \"src\") 1)")
                                   ->pair.car);
    ASSERT_EQ(get_type(r), QVT_ERROR) << show(r);
    EXPECT_EQ(r->error.code, QVE_PERMISSION_DENIED);
    EXPECT_EQ(mode_of("made"), 0u);
    // Reading guards still work there.
    r = eval(general, read_qv_items("([R target=\"allfor1\"] (NotExist \"made\") 3)")->pair.car);
    EXPECT_EQ(show(r), "3");
}

TEST_F(RuleTest, SymbolicLinkLoopsEndAndAreListedOnce) {
    ASSERT_EQ(mkdir("t", 0755), 0);
    ASSERT_EQ(mkdir("t/d", 0755), 0);
    file("t/d/f");
    ASSERT_EQ(symlink("..", "t/d/up"), 0);
    ASSERT_EQ(symlink(".", "t/d/self"), 0);
    ASSERT_EQ(symlink("d", "t/link"), 0);
    // A link to a directory elsewhere in the tree is walked like a directory; a directory that
    // comes back below itself is not listed again.
    EXPECT_EQ(walk("(Accept \"t/**/f\")"), "(\"t/link/f\" \"t/d/f\")");
    EXPECT_EQ(walk("(Accept \"t/**/\")"),
              "(\"t/link/up\" \"t/link/self\" \"t/link\" \"t/d/up\" \"t/d/self\" \"t/d\")");
}

TEST_F(RuleTest, AWalkBeyondItsMemoryLimitIsAnError) {
    ASSERT_EQ(mkdir("t", 0755), 0);
    for (int i = 0; i < 50; i++)
        file(("t/f" + std::to_string(i)).c_str());
    size_t old = rule_set_walk_limit(2000);
    QV_SEXP* r = run("(Rule (Accept \"t/**\") 1)");
    rule_set_walk_limit(old);
    ASSERT_EQ(get_type(r), QVT_ERROR) << show(r);
    EXPECT_EQ(r->error.code, QVE_NO_MEMORY);
    EXPECT_EQ(get_type(run("(Rule (Accept \"t/**\") 1)")), QVT_NIL);
}

TEST(RulePatterns, ComponentStarsAndPathGlobs) {
    // "*" takes at least one character and fewer than the whole name (one for a one-character
    // name); the other characters must match in place.
    EXPECT_TRUE(compare_dir("a", "*"));
    EXPECT_FALSE(compare_dir("ab", "*"));
    EXPECT_TRUE(compare_dir("ab", "a*"));
    EXPECT_TRUE(compare_dir("abc", "a*"));
    EXPECT_FALSE(compare_dir("a", "a*"));
    EXPECT_TRUE(compare_dir("x.c", "*.c"));
    EXPECT_FALSE(compare_dir(".c", "*.c"));
    EXPECT_TRUE(compare_dir("abcd", "*b*"));
    EXPECT_FALSE(compare_dir("abc", "*b*c"));
    EXPECT_TRUE(compare_dir("abcXd", "a*X*"));
    EXPECT_TRUE(compare_dir("", ""));
    EXPECT_FALSE(compare_dir("abc", "abd"));

    auto walked = [](const char* text, bool last_is_dir) {
        PATH_PATTERN pp = parse_path(text);
        for (PATH_ELEMENT& e : pp.path)
            e.type = PE_DIR;
        if (!last_is_dir) pp.path.back().type = PE_FILE;
        return pp;
    };
    PATH_PATTERN pat = parse_path("src/**/x");
    ASSERT_EQ(pat.path.size(), 3u);
    EXPECT_EQ(pat.path[1].type, PE_DIR);
    EXPECT_FALSE(_compare_path(walked("src/x", false), pat, 1));
    EXPECT_TRUE(_compare_path(walked("src/a/b/x", false), pat, 1));
    EXPECT_FALSE(_compare_path(walked("src/a/b/x", true), pat, 1));
    EXPECT_TRUE(_compare_path(walked("src/a", true), pat, 0));
    EXPECT_FALSE(_compare_path(walked("src/a", false), pat, 0));
    EXPECT_FALSE(_compare_path(walked("lib", true), pat, 0));
    // Many "**" against a deep path: answered at once, not by trying every combination.
    std::string many = "r/**/**/**/**/**/**/**/**/**/**/**/**/z";
    std::string deep = "r";
    for (int i = 0; i < 200; i++)
        deep += "/d";
    EXPECT_FALSE(_compare_path(walked((deep + "/y").c_str(), false), parse_path(many), 1));
    EXPECT_TRUE(_compare_path(walked((deep + "/z").c_str(), false), parse_path(many), 1));

    PATH_PATTERN abs = parse_path("/a/**");
    ASSERT_EQ(abs.path.size(), 3u);
    EXPECT_EQ(abs.path[0].name, "$");
    EXPECT_EQ(abs.path[2].type, PE_ANY);
    EXPECT_EQ(parse_path("a/").path.size(), 1u);
    EXPECT_EQ(make_name(parse_path("a//b")), "a//b");
}

}  // namespace

#include "builtins/findfile.h"
#include "support/stdout_text.h"

namespace {

// The diagnostic printers of paths and found lists, and the reversal of a found list.
TEST(PathDiagnostics, PrintersAndReversal) {
    vxtest::StdoutText out;
    std::vector<PATH_PATTERN> list = {parse_path("a/b/c"), parse_path("")};
    EXPECT_EQ(pp_length(list), 2u);
    print_path(list);
    DIR_LIST* d = add_dir_list(add_dir_list(nullptr, "x", DL_FILE), "y", DL_DIR);
    d = reverse_dir_list(d);
    print_dir_list(d);
    free_dir_list(d);
    EXPECT_EQ(out.text(), "path:a/b/c\npath:.\n> x\n> y\n");
}

}  // namespace
