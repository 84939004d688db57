// The file built-ins where the file system has to be arranged from outside: links that a
// recursive removal must not follow, moves that fail without losing the destination, target
// conditions on modification times, a double-star walk over a link loop, callers outside the
// privileged environment, and component matching.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "builtins/findfile.h"
#include "qv_script.h"

namespace {

bool exists(const std::string& p) {
    struct stat sb;
    return lstat(p.c_str(), &sb) == 0;
}

void write(const std::string& p, const std::string& text) {
    std::ofstream(p) << text;
}

std::string content(const std::string& p) {
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void set_mtime(const std::string& p, time_t t) {
    timeval tv[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimes(p.c_str(), tv), 0) << p;
}

class FilesTest : public QvScriptTest {
  protected:
    void SetUp() override {
        QvScriptTest::SetUp();
        char tmpl[] = "/tmp/vx_files_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::system(("chmod -R u+w " + dir_ + " 2>/dev/null; rm -rf " + dir_).c_str());
        QvScriptTest::TearDown();
    }
    std::string at(const std::string& name) { return dir_ + "/" + name; }
    // The printed value of the text evaluated in the script environment.
    std::string eval_text(const std::string& text) { return show(run(text.c_str())); }

    std::string dir_;
};

TEST_F(FilesTest, RecursiveRemovalRemovesLinksAndNeverWhatTheyPointTo) {
    ASSERT_EQ(mkdir(at("outside").c_str(), 0755), 0);
    write(at("outside/keep"), "precious");
    ASSERT_EQ(mkdir(at("tree").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("tree/deep").c_str(), 0755), 0);
    write(at("tree/deep/f"), "x");
    ASSERT_EQ(symlink(at("outside").c_str(), at("tree/deep/link").c_str()), 0);
    ASSERT_EQ(symlink(at("outside").c_str(), at("top").c_str()), 0);

    EXPECT_EQ(eval_text("([Rm flag=\"rec\"] \"" + at("tree") + "\")"), "()");
    EXPECT_FALSE(exists(at("tree")));
    EXPECT_EQ(content(at("outside/keep")), "precious");

    // A link named with a trailing '/' is still the link, not the directory it names.
    EXPECT_EQ(eval_text("([Rm flag=\"rec\"] \"" + at("top") + "/\")"), "()");
    EXPECT_FALSE(exists(at("top")));
    EXPECT_EQ(content(at("outside/keep")), "precious");
    // An empty-directory removal of a link to a directory removes nothing and says so.
    ASSERT_EQ(symlink(at("outside").c_str(), at("top").c_str()), 0);
    std::string r = eval_text("([Rm flag=\"dir\"] \"" + at("top") + "\")");
    EXPECT_NE(r.find("0x80040a06"), std::string::npos) << r;
    EXPECT_TRUE(exists(at("top")));
}

TEST_F(FilesTest, AFailedMoveLeavesTheDestinationInPlace) {
    write(at("dest"), "old");
    std::string r = eval_text("(Mv \"" + at("missing") + "\" \"" + at("dest") + "\")");
    EXPECT_NE(r.find("\"rename\" 0x80040a06"), std::string::npos) << r;
    EXPECT_NE(r.find("\"ENOENT\""), std::string::npos) << r;
    EXPECT_EQ(content(at("dest")), "old");

    // A directory cannot replace a file: the file stays, and the error names the system's code.
    ASSERT_EQ(mkdir(at("d1").c_str(), 0755), 0);
    r = eval_text("(Mv \"" + at("d1") + "\" \"" + at("dest") + "\")");
    EXPECT_NE(r.find("\"ENOTDIR\""), std::string::npos) << r;
    EXPECT_EQ(content(at("dest")), "old");

    // A successful move replaces the destination in one step.
    write(at("new"), "fresh");
    EXPECT_EQ(eval_text("(Mv \"" + at("new") + "\" \"" + at("dest") + "\")"), "()");
    EXPECT_EQ(content(at("dest")), "fresh");
    EXPECT_FALSE(exists(at("new")));

    // Into a directory: a destination past 511 characters is refused before anything moves.
    std::string longdir = at(std::string(200, 'a'));
    ASSERT_EQ(mkdir(longdir.c_str(), 0755), 0);
    longdir += "/" + std::string(200, 'b');
    ASSERT_EQ(mkdir(longdir.c_str(), 0755), 0);
    write(at(std::string(150, 'c')), "c");
    r = eval_text("(Mv \"" + at(std::string(150, 'c')) + "\" \"" + longdir + "\")");
    EXPECT_NE(r.find("\"Mv\" 0x80030503"), std::string::npos) << r;
    EXPECT_NE(r.find("\"too long filename\""), std::string::npos) << r;
    EXPECT_TRUE(exists(at(std::string(150, 'c'))));
}

TEST_F(FilesTest, TargetConditionsCompareModificationTimes) {
    for (const char* d : {"src", "obj"})
        ASSERT_EQ(mkdir(at(d).c_str(), 0755), 0);
    for (const char* f : {"src/old.c", "src/new.c", "src/lone.c", "obj/old.o", "obj/new.o"})
        write(at(f), "");
    set_mtime(at("src/old.c"), 1000000);
    set_mtime(at("obj/old.o"), 2000000);  // object newer than its source
    // A source of today against an object of 1970: times before 2001 wrap in 32 bits, and must
    // still read as older.
    set_mtime(at("src/new.c"), time(nullptr));
    set_mtime(at("obj/new.o"), 2000000);  // object older than its source
    auto find = [&](const char* cond) {
        return eval_text(std::string("([FindFile scriptpath=\"off\" prefix=\".o\" condition=\"") +
                         cond + "\"] \"" + at("src/*.c") + "\" \"" + at("src") + "\" \"" +
                         at("obj") + "\")");
    };
    EXPECT_EQ(find("file,notouch"), "(\"" + at("src/lone.c") + "\" \"" + at("src/new.c") + "\")");
    EXPECT_EQ(find("file,notouch,exist"), "(\"" + at("src/new.c") + "\")");
    EXPECT_EQ(find("touch"), "(\"" + at("src/lone.c") + "\" \"" + at("src/old.c") + "\")");
    EXPECT_EQ(find("exist,touch"), "(\"" + at("src/old.c") + "\")");
    EXPECT_EQ(find("notexist"), "(\"" + at("src/lone.c") + "\")");
    EXPECT_EQ(find("dir"), "()");
}

TEST_F(FilesTest, DoubleStarNeitherLoopsThroughLinksNorShowsHiddenNames) {
    ASSERT_EQ(mkdir(at("t").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("t/a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(at("t/.hidden").c_str(), 0755), 0);
    write(at("t/a/f"), "");
    write(at("t/.hidden/g"), "");
    ASSERT_EQ(symlink("..", at("t/a/up").c_str()), 0);
    std::string r = eval_text("([FindFile scriptpath=\"off\"] \"" + at("t/**") + "\")");
    EXPECT_EQ(r, "(\"" + at("t/a") + "\" \"" + at("t/a/f") + "\" \"" + at("t/a/up") + "\")");
    r = eval_text("([FindFile scriptpath=\"off\" condition=\"file\"] \"" + at("t/**/f") + "\")");
    EXPECT_EQ(r, "(\"" + at("t/a/f") + "\")");
}

TEST_F(FilesTest, CallersOutsideThePrivilegedEnvironmentChangeNoFile) {
    write(at("f"), "kept");
    ASSERT_EQ(mkdir(at("d").c_str(), 0755), 0);
    QVISP_ENV* general = new_env(vxlisp_top_env0);
    auto in_general = [&](const std::string& text) {
        QV_SEXP* r = nullptr;
        for (QV_SEXP* c = read_qv_items(text.c_str()); get_type(c) == QVT_PAIR; c = c->pair.cdr)
            r = eval(general, c->pair.car);
        return show(r);
    };
    for (const std::string& call :
         {"(Rm \"" + at("f") + "\")", "([Rm flag=\"rec\"] \"" + at("d") + "\")",
          "(Mv \"" + at("f") + "\" \"" + at("g") + "\")", "(Touch \"" + at("new") + "\")",
          "(Mkdir \"" + at("made") + "\")", "(UTime \"" + at("f") + "\")"}) {
        std::string r = in_general(call);
        EXPECT_NE(r.find("0x80040d10\n (\"permission denied\"))"), std::string::npos)
            << call << ": " << r;
    }
    EXPECT_EQ(content(at("f")), "kept");
    EXPECT_TRUE(exists(at("d")));
    EXPECT_FALSE(exists(at("g")));
    EXPECT_FALSE(exists(at("new")));
    EXPECT_FALSE(exists(at("made")));
    // The path built-ins stay open to everyone; FindFile and Chdir are not bound there.
    EXPECT_EQ(in_general("(Leaf 1 \"a/b\")"), "^\"b\"");
    EXPECT_NE(in_general("(FindFile \"*\")").find("0x80030705"), std::string::npos);
    EXPECT_NE(in_general("(Chdir \"/\")").find("0x80030705"), std::string::npos);
}

TEST(MatchCheck, StarsMatchRunsAndSegmentsNeverOverlap) {
    EXPECT_EQ(match_check("anything", "*"), 0);
    EXPECT_EQ(match_check("", "**"), 0);
    EXPECT_EQ(match_check("a.c", "*.c"), 0);
    EXPECT_EQ(match_check(".c", "*.c"), 0);
    EXPECT_EQ(match_check("a.cc", "*.c"), -1);
    EXPECT_EQ(match_check("c", "*.c"), -1);
    EXPECT_EQ(match_check("abc", "a*"), 0);
    EXPECT_EQ(match_check("ba", "a*"), -1);
    EXPECT_EQ(match_check("a", "a*a"), -1);
    EXPECT_EQ(match_check("aa", "a*a"), 0);
    EXPECT_EQ(match_check("xaybz", "*a*b*"), 0);
    EXPECT_EQ(match_check("xbyaz", "*a*b*"), -1);
    EXPECT_EQ(match_check("abab", "ab*ab"), 0);
    EXPECT_EQ(match_check("aba", "ab*ab"), -1);
}

TEST(FindCondition, WordsFillMissingGroupsAndRejectUnknownOnes) {
    EXPECT_EQ(get_condition(L("file")), FC_FILE | FC_EXIST | FC_NOTEXIST | FC_TOUCH | FC_NOTOUCH);
    EXPECT_EQ(get_condition(L("dir,notouch")), FC_DIR | FC_EXIST | FC_NOTEXIST | FC_NOTOUCH);
    EXPECT_EQ(get_condition(L("DCexist,DCtimestamp")), FC_ALL);
    EXPECT_EQ(get_condition(L("exist")), FC_FILE | FC_DIR | FC_EXIST | FC_TOUCH | FC_NOTOUCH);
    EXPECT_EQ(get_condition(L("")), -1);
    EXPECT_EQ(get_condition(L("file,")), -1);
    EXPECT_EQ(get_condition(L("File")), -1);
}

}  // namespace
