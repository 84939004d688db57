// Configuration and script search paths, on a directory tree the test makes with its own HOME
// and QVPATH. The ".qvrc" reader is a stand-in that answers from a table by file path.
#include "base/confpath.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "longchar/codemethod.h"
#include "longchar/longchar.h"
#include "support/lstr.h"

namespace {

std::vector<L_CHAR> L(const std::string& s) {
    return lchars(s);
}
std::string take(L_CHAR* s) {
    return take_lstr(s);
}

std::string opt(const char* p) {
    return take(optimize_path(L(p).data()));
}

// The stand-in reader's table: file path -> QVPATH values in file order.
std::map<std::string, std::vector<std::string>> qvrc_files;

void table_reader(const char* path, const char* symbol, void (*each)(const L_CHAR*, void*),
                  void* work) {
    if (std::string(symbol) != "QVPATH") return;
    auto it = qvrc_files.find(path);
    if (it == qvrc_files.end()) return;
    for (const auto& v : it->second)
        each(L(v).data(), work);
}

// A scratch tree under /tmp, removed at the end.
struct Tree {
    std::string root;
    std::vector<std::string> made;
    Tree() {
        char t[] = "/tmp/vx_confpath_XXXXXX";
        root = mkdtemp(t);
    }
    std::string dir(const std::string& rel) {
        std::string p = root + "/" + rel;
        mkdir(p.c_str(), 0700);
        made.push_back(p);
        return p;
    }
    std::string file(const std::string& rel) {
        std::string p = root + "/" + rel;
        FILE* f = fopen(p.c_str(), "w");
        EXPECT_NE(f, nullptr) << p;
        if (f) fclose(f);
        made.push_back(p);
        return p;
    }
    ~Tree() {
        for (auto it = made.rbegin(); it != made.rend(); ++it)
            remove(it->c_str());
        rmdir(root.c_str());
    }
};

// Sets an environment variable for one test and restores it.
struct Env {
    std::string name;
    bool had;
    std::string old;
    Env(const char* n, const char* value) : name(n) {
        const char* o = getenv(n);
        had = o != nullptr;
        if (o) old = o;
        if (value)
            setenv(n, value, 1);
        else
            unsetenv(n);
    }
    ~Env() {
        if (had)
            setenv(name.c_str(), old.c_str(), 1);
        else
            unsetenv(name.c_str());
    }
};

}  // namespace

TEST(ConfPath, PathsAreNormalised) {
    EXPECT_EQ(opt("/x/y/../z"), "/x/z");
    EXPECT_EQ(opt("a/./b"), "a/b");
    EXPECT_EQ(opt("/a//b"), "/b");
    EXPECT_EQ(opt("/a/b/"), "/a/b/");
    EXPECT_EQ(opt("a/b/.."), "a");
    EXPECT_EQ(opt("/"), "/");
    EXPECT_EQ(opt("./x"), "./x");
    EXPECT_EQ(opt("a/."), "a/.");
    EXPECT_EQ(opt("/../x"), "/x");
    // Every ".." that cannot climb is kept, so the path still names the same place.
    EXPECT_EQ(opt("../../x"), "../../x");
    EXPECT_EQ(opt("./../x"), "../x");
    EXPECT_EQ(opt("a/../../x/"), "../x/");

    set_script_path(L("/s/t/main.qv").data());
    EXPECT_EQ(take(get_script_path()), "/s/t/");
    EXPECT_EQ(take(get_absolute_path(L("../u/v.qv").data())), "/s/u/v.qv");
    EXPECT_EQ(take(get_absolute_path(L("/abs/./w").data())), "/abs/w");
    EXPECT_EQ(take(get_relative_path(L("/s/t/sub/f").data())), "sub/f");
    EXPECT_EQ(take(get_relative_path(L("/elsewhere/f").data())), "/elsewhere/f");
    set_script_path(L("main.qv").data());
    EXPECT_EQ(take(get_script_path()), "./");
    set_script_path(nullptr);
    EXPECT_EQ(get_script_path(), nullptr);
    EXPECT_EQ(take(get_absolute_path(L("a/../b").data())), "b");
}

TEST(ConfPath, ScriptsAreFoundInOrder) {
    Tree t;
    std::string s = t.dir("s"), sp = t.dir("sp"), qa = t.dir("qa"), qb = t.dir("qb");
    std::string home = t.dir("home"), r1 = t.dir("r1"), r2 = t.dir("r2"), p1 = t.dir("p1");
    std::string main_qv = t.file("s/main.qv");
    t.file("s/vxcp_x.qv");
    t.file("sp/vxcp_y.qv");
    t.file("qb/vxcp_z.qv");
    t.file("qb/vxcp_u.qv");
    t.file("r1/vxcp_u.qv");
    t.file("r1/vxcp_w.qv");
    t.file("r2/vxcp_w.qv");
    t.file("p1/vxcp_v.qv");
    Env e_home("HOME", home.c_str());
    Env e_path("QVPATH", (qa + ":" + qb).c_str());
    qvrc_files.clear();
    qvrc_files[home + "/.qvrc"] = {r1, r2};
    qvrc_files[std::string(get_preference_path()) + "qvrc"] = {p1};
    set_qvrc_reader(table_reader);
    set_script_path(nullptr);

    auto find = [](const L_CHAR* file, const char* script) {
        return take(get_script(file, L(script).data()));
    };
    // Beside the loading file.
    EXPECT_EQ(find(L(main_qv).data(), "vxcp_x.qv"), s + "/vxcp_x.qv");
    EXPECT_EQ(find(nullptr, "vxcp_x.qv"), "<null>");
    // In the script directory.
    set_script_path(L(sp + "/main.qv").data());
    EXPECT_EQ(find(nullptr, "vxcp_y.qv"), sp + "/vxcp_y.qv");
    set_script_path(nullptr);
    // Along QVPATH: "a:b" with the file only in b.
    EXPECT_EQ(find(nullptr, "vxcp_z.qv"), qb + "/vxcp_z.qv");
    // QVPATH comes before the ".qvrc" files.
    EXPECT_EQ(find(nullptr, "vxcp_u.qv"), qb + "/vxcp_u.qv");
    // The later QVPATH entry of a ".qvrc" is searched first.
    EXPECT_EQ(find(nullptr, "vxcp_w.qv"), r2 + "/vxcp_w.qv");
    // Then the preference directory's "qvrc".
    EXPECT_EQ(find(nullptr, "vxcp_v.qv"), p1 + "/vxcp_v.qv");
    EXPECT_EQ(take(get_qvwhich(L("vxcp_v.qv").data())), p1 + "/");
    // As given, and an absolute path found nowhere.
    EXPECT_EQ(find(nullptr, (s + "/vxcp_x.qv").c_str()), s + "/vxcp_x.qv");
    EXPECT_EQ(find(L(main_qv).data(), "/nonexistent/vxcp_x.qv"), "<null>");
    EXPECT_EQ(find(nullptr, "vxcp_none.qv"), "<null>");

    // The 8-bit search along QVPATH (':', blank or tab) and along PATH.
    Env e_path2("QVPATH", (qa + " \t" + qb).c_str());
    EXPECT_STREQ(qvwhich("vxcp_z.qv"), (qb + "/").c_str());
    EXPECT_EQ(qvwhich("vxcp_none.qv"), nullptr);
    Env e_sys("PATH", (qa + ":" + qb + "/").c_str());
    EXPECT_STREQ(which("vxcp_z.qv"), (qb + "/").c_str());
    // The list form splits at ';', tab, newline, CR, blank and ':'.
    std::string list = "/nonexistent;" + qa + "\n" + qb + "/\r";
    EXPECT_EQ(take(_qvwhich(L(list).data(), L("vxcp_z.qv").data())), qb + "/");

    set_qvrc_reader(nullptr);
    EXPECT_EQ(find(nullptr, "vxcp_w.qv"), "<null>");
}

TEST(ConfPath, DirectoriesLocaleAndCodeMethod) {
    {
        char* p = make_preference_path(nullptr);
        EXPECT_STREQ(p, "/.pqvconf/");
        d_f_ree(p);
        p = make_preference_path("/h");
        EXPECT_STREQ(p, "/h/.pqvconf/");
        d_f_ree(p);
        p = make_preference_path("/h/");
        EXPECT_STREQ(p, "/h/.pqvconf/");
        d_f_ree(p);
    }
    auto peri = [](const char* start) {
        char* p = make_peripheral_path(start);
        std::string s = p;
        d_f_ree(p);
        return s;
    };
    EXPECT_EQ(peri("/usr/local/bin/"), "/usr/local/peripheral/");
    EXPECT_EQ(peri("/usr/local/bin"), "/usr/local/peripheral/");
    EXPECT_EQ(peri("/usr/local/sbin/"), "/usr/local/sbin/peripheral/");
    EXPECT_EQ(peri("bin/"), "peripheral/");
    EXPECT_EQ(peri("./"), "./peripheral/");
    EXPECT_STREQ(get_root_preference_path(), "/.pqvconf");
    EXPECT_STREQ(get_tmp_dir(), "/tmp");
    std::string pp = get_peripheral_path();
    EXPECT_GE(pp.size(), 11u);
    EXPECT_EQ(pp.substr(pp.size() - 11), "peripheral/");

    EXPECT_STREQ(get_abstract_locale("ja_JP"), "ja");
    EXPECT_STREQ(get_abstract_locale("ja"), "ja");
    EXPECT_STREQ(get_abstract_locale("ja_JP.UTF-8"), "en");
    EXPECT_STREQ(get_abstract_locale(nullptr), "en");
    {
        Env lang("LANG", "ja_JP");
        EXPECT_STREQ(get_locale(), "ja");
    }
    {
        Env lang("LANG", nullptr);
        EXPECT_STREQ(get_locale(), "en");
    }
    {
        Env code("STD_CODE", "utf-8");
        EXPECT_EQ(get_default_cm(), &utf8_cm);
    }
    {
        Env code("STD_CODE", "no-such-method");
        EXPECT_EQ(get_default_cm(), &euc_cm);
    }
    {
        Env code("STD_CODE", nullptr);
        EXPECT_EQ(get_default_cm(), &euc_cm);
    }
    {
        Env home("HOME", "/some/home");
        EXPECT_STREQ(get_homepath(), "/some/home");
    }
    EXPECT_GT(get_mem_size(), 0);
}
