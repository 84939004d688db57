// The ".qvrc" entries read with the QV reader, the script search through them, and URL records
// whose strings live in collected memory.
#include "lisp/qvrc.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/confpath.h"
#include "base/url.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "lisp/urlcopy.h"
#include "lisp/vxlisp.h"
#include "lisp_util.h"

namespace {

class QvrcTest : public LispTest {
  protected:
    static void SetUpTestSuite() { init_vxlisp(); }
    void SetUp() override {
        LispTest::SetUp();
        char tmpl[] = "/tmp/qvrcXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        for (const std::string& f : made_)
            remove(f.c_str());
        rmdir(dir_.c_str());
        LispTest::TearDown();
    }
    std::string write(const std::string& name, const std::string& text) {
        std::string path = dir_ + "/" + name;
        FILE* f = fopen(path.c_str(), "w");
        fputs(text.c_str(), f);
        fclose(f);
        made_.insert(made_.begin(), path);
        return path;
    }
    std::string mkdirs(const std::string& name) {
        std::string path = dir_ + "/" + name;
        mkdir(path.c_str(), 0755);
        made_.insert(made_.begin(), path);
        return path;
    }
    std::string dir_;
    std::vector<std::string> made_;
};

TEST_F(QvrcTest, EntriesComeLastFirstAndOtherItemsAreSkipped) {
    write(".qvrc",
          "(QVPATH \"/first\")\n(Other \"x\")\nplain text\n<QVPATH>tag</QVPATH>\n<a>b</c>\n"
          "(QVPATH \"/second\" \"ignored\")\n(QVPATH (a b))\n(QVPATH)\n");
    QV_SEXP* r = get_qvrc(dir_.c_str(), ".qvrc", L("QVPATH"));
    EXPECT_EQ(print_sexp_text(r, 0), "(() (a b) \"/second\" \"tag\" \"/first\")");
    EXPECT_EQ(print_sexp_text(get_qvrc((dir_ + "/").c_str(), ".qvrc", L("Other")), 0), "(\"x\")");
    EXPECT_EQ(get_qvrc(dir_.c_str(), ".qvrc", L("None")), nullptr);
    EXPECT_EQ(get_qvrc(dir_.c_str(), "missing", L("QVPATH")), nullptr);
}

TEST_F(QvrcTest, TheScriptSearchReadsTheHomeFile) {
    std::string a = mkdirs("a");
    std::string b = mkdirs("b");
    std::string c = mkdirs("c");
    write("b/app.qv", "1");
    write("c/app.qv", "1");
    // The later entry is searched first; within one, the list goes left to right.
    write(".qvrc", "(QVPATH \"" + c + "\")\n(QVPATH \"" + a + ":" + b + "\")\n(QVPATH 5)\n");
    const char* old = getenv("HOME");
    std::string saved = old ? old : "";
    const char* old_qvpath = getenv("QVPATH");
    std::string saved_qvpath = old_qvpath ? old_qvpath : "";
    setenv("HOME", dir_.c_str(), 1);
    unsetenv("QVPATH");
    L_CHAR* hit = get_qvwhich(L("app.qv"));
    EXPECT_EQ(A(hit), b + "/");
    d_f_ree(hit);
    EXPECT_EQ(get_qvwhich(L("none.qv")), nullptr);
    if (old)
        setenv("HOME", saved.c_str(), 1);
    else
        unsetenv("HOME");
    if (old_qvpath) setenv("QVPATH", saved_qvpath.c_str(), 1);
}

// The holder of a collected URL record marks itself and the record's strings.
void gc_holder(void* p) {
    if (gc_mark_block(p)) gcv_url(static_cast<URL*>(p));
}

TEST_F(QvrcTest, CollectedUrlCopiesLiveWhileTheirHolderIsMarked) {
    URL src;
    ASSERT_EQ(get_url2(&src, L("http://host:81/@ag/d/r.qv?q=1")), 0);
    gc_push(nullptr, nullptr, "url");
    auto* holder = static_cast<URL*>(mmalloc(sizeof(URL), gc_holder));
    mcopy_url(holder, &src);
    gc_pop(holder, gc_holder);  // only the holder stays rooted
    free_url(&src);
    collect();
    EXPECT_TRUE(mem_contains(holder->proto));
    EXPECT_TRUE(mem_contains(holder->db));
    EXPECT_TRUE(mem_contains(holder->query));
    EXPECT_EQ(A(holder->proto), "http");
    EXPECT_EQ(A(holder->server), "host");
    EXPECT_EQ(holder->port, 81);
    EXPECT_EQ(A(holder->agent), "ag");
    EXPECT_EQ(A(holder->db), "/d/");
    EXPECT_EQ(A(holder->resource), "r.qv");
    EXPECT_EQ(A(holder->query), "q=1");
    EXPECT_EQ(holder->name, nullptr);
    EXPECT_EQ(holder->user, nullptr);
}

// A long start-up file is walked as it is read, in the memory of the entries asked for rather
// than of the whole file; a FIFO or a device in its place reads at once as no file.
TEST_F(QvrcTest, LongFilesAreWalkedAsReadAndFifosAreNoFiles) {
    std::string text;
    for (int i = 0; i < 120000; i++)
        text += i % 40000 == 7 ? "(QVPATH \"/p" + std::to_string(i) + "\")\n"
                               : "(Other \"entry " + std::to_string(i) + "\" (a b))\n";
    write(".qvrc", text);
    collect();
    int64_t before = get_heap_mapped();
    reset_heap_mapped_peak();
    QV_SEXP* r = get_qvrc(dir_.c_str(), ".qvrc", L("QVPATH"));
    int64_t growth = get_heap_mapped_peak() - before;
    EXPECT_EQ(print_sexp_text(r, 0), "(\"/p80007\" \"/p40007\" \"/p7\")");
    // Held whole, the parsed file took some 160 MB; walked, what the collector leaves between
    // its runs.
    EXPECT_LT(growth, 96l << 20) << (growth >> 10) << " KiB";

    std::string fifo = dir_ + "/fifo", zero = dir_ + "/zero";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    made_.insert(made_.begin(), fifo);
    ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
    made_.insert(made_.begin(), zero);
    EXPECT_EQ(get_qvrc(dir_.c_str(), "fifo", L("QVPATH")), nullptr);
    EXPECT_EQ(get_qvrc(dir_.c_str(), "zero", L("QVPATH")), nullptr);
}

}  // namespace
