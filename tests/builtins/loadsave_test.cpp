// Load and Save: large raw copies in flat memory, lazy loads closed by the collector, the
// terminator matcher and escape decoding, CSV read back by a standard CSV reader, QV round trips
// and the files Save creates.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "builtins/load.h"
#include "builtins/save.h"
#include "lisp/collect.h"
#include "lisp/list.h"
#include "qv_script.h"
#include "support/collections.h"
#include "support/fd_util.h"

namespace {

long resident_bytes() {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f) return 0;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(f);
    return resident * sysconf(_SC_PAGESIZE);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<L_CHAR> lchars(const char* s) {
    std::vector<L_CHAR> v;
    for (; *s; s++)
        v.push_back(static_cast<unsigned char>(*s));
    return v;
}

class LoadSaveTest : public QvScriptTest {
  protected:
    void SetUp() override {
        QvScriptTest::SetUp();
        char tmpl[] = "/tmp/vx_loadsave_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
        QvScriptTest::TearDown();
    }
    std::string path(const char* name) { return dir_ + "/" + name; }
    // Runs QV text in which every "@" stands for the test's directory.
    QV_SEXP* run_here(const std::string& text) {
        std::string t;
        for (char c : text)
            if (c == '@')
                t += dir_;
            else
                t += c;
        return run(t.c_str());
    }
    std::string dir_;
};

TEST_F(LoadSaveTest, RawCopyOfALargeFileRunsInFlatMemory) {
    // A 200 MB file, sparse apart from marks at known places that the copy must keep.
    const off_t size = 200l << 20;
    std::string src = path("big.bin");
    int fd = open(src.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    const off_t marks[] = {0, 4095, 4096, 100l << 20, size - 1};
    for (off_t at : marks)
        ASSERT_EQ(pwrite(fd, "M", 1, at), 1);
    close(fd);

    collect();
    long rss_before = resident_bytes();
    int64_t heap_before = get_heap_mapped();
    reset_heap_mapped_peak();
    QV_SEXP* r = run_here(
        "([Save option=\"raw\" oflag=\"creat:trunc\"] \"@/copy.bin\" "
        "([Load option=\"raw\"] \"@/big.bin\"))");
    EXPECT_EQ(get_type(r), QVT_NIL) << show(r);
    int64_t heap_growth = get_heap_mapped_peak() - heap_before;
    long rss_growth = resident_bytes() - rss_before;
    fprintf(stderr, "raw copy of 200 MB: heap peak growth %lld KiB, resident growth %ld KiB\n",
            static_cast<long long>(heap_growth >> 10), rss_growth >> 10);
    EXPECT_LT(heap_growth, 80l << 20);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers keep freed blocks in a quarantine of their own (256 MiB by default), which
    // the resident size counts; the heap's own figure above is what the copy holds.
    (void)rss_growth;
#else
    EXPECT_LT(rss_growth, 120l << 20);
#endif

    struct stat st;
    ASSERT_EQ(stat(path("copy.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);
    int cfd = open(path("copy.bin").c_str(), O_RDONLY);
    ASSERT_GE(cfd, 0);
    for (off_t at : marks) {
        char c = 0;
        ASSERT_EQ(pread(cfd, &c, 1, at), 1);
        EXPECT_EQ(c, 'M') << at;
        if (at + 1 < size) {
            ASSERT_EQ(pread(cfd, &c, 1, at + 1), 1);
            EXPECT_EQ(c, at + 1 == 4096 ? 'M' : '\0') << at + 1;
        }
    }
    close(cfd);
}

TEST_F(LoadSaveTest, BlocksAndTheEndOfARawLoad) {
    write_file(path("4096.bin"), std::string(4096, 'x'));
    write_file(path("4097.bin"), std::string(4097, 'y'));
    write_file(path("empty.bin"), "");
    QV_SEXP* l = run_here("([Load option=\"raw\"] \"@/4096.bin\")");
    ASSERT_EQ(get_type(l), QVT_PAIR);
    EXPECT_EQ(get_type(l->pair.car), QVT_RAW);
    EXPECT_EQ(l->pair.car->raw.size, 4096);
    EXPECT_EQ(get_type(l->pair.cdr), QVT_NIL);  // looking at the tail reads the end

    l = run_here("([Load option=\"raw\"] \"@/4097.bin\")");
    ASSERT_EQ(list_length(l), 2);
    EXPECT_EQ(l->pair.cdr->pair.car->raw.size, 1);
    EXPECT_EQ(l->pair.cdr->pair.car->raw.data[0], 'y');

    EXPECT_EQ(get_type(run_here("([Load option=\"raw\"] \"@/empty.bin\")")), QVT_NIL);
    EXPECT_EQ(get_type(run_here("([Load option=\"text\"] \"@/empty.bin\")")), QVT_NIL);
}

TEST_F(LoadSaveTest, AnAbandonedLazyLoadIsClosedByTheCollector) {
    write_file(path("f.bin"), std::string(3 * 4096, 'z'));
    write_file(path("t.txt"), "a\nb\nc\n");
    collect();
    int loads = load_count();
    std::vector<int> fds = open_fd_list();
    gc_push(nullptr, nullptr, "abandoned");
    QV_SEXP* raw = run_here("([Load option=\"raw\"] \"@/f.bin\")");
    ASSERT_EQ(get_type(raw), QVT_PAIR);  // the first block read, the file still open
    QV_SEXP* text = run_here("([Load option=\"text\" terminate=\"\\n\"] \"@/t.txt\")");
    ASSERT_EQ(get_type(text), QVT_PAIR);
    EXPECT_EQ(load_count(), loads + 2);
    EXPECT_TRUE(fds_beyond_settle(fds, 2)) << fds_beyond(fds);
    gc_pop(nullptr, nullptr);
    // The items the fixture read keep nothing of the loads; two collections let go of both.
    collect();
    collect();
    EXPECT_EQ(load_count(), loads);
    // The files go to the stream layer's close task.
    EXPECT_TRUE(fds_beyond_settle(fds, 0)) << fds_beyond(fds);
}

// Lazy loads left behind hold their files until a collection closes them: under a low descriptor
// limit, the search for the file and its opening each release them when descriptors run out (the
// collection, then its closes) and go on, so every one of many more loads than the limit allows
// at once succeeds.
TEST_F(LoadSaveTest, LoadsBeyondTheDescriptorLimitReleaseTheAbandonedOnes) {
    write_file(path("f.bin"), std::string(2 * 4096, 'z'));
    collect();
    std::vector<int> fds = open_fd_list();
    ASSERT_FALSE(fds.empty());
    rlimit was{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &was), 0);
    // The agent's start-up makes the stream layer's release a collection, as here.
    struct Restore {
        rlimit r;
        void (*gc)();
        ~Restore() {
            setrlimit(RLIMIT_NOFILE, &r);
            stream_gc = gc;
        }
    } restore{was, stream_gc};
    stream_gc = collect;
    rlimit low = was;
    low.rlim_cur = static_cast<rlim_t>(fds.back() + 1 + 16);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    // Three times as many loads as descriptors are free.
    int loads = 3 * (static_cast<int>(low.rlim_cur) - static_cast<int>(fds.size()));
    int opened = 0;
    std::string failure;
    for (int i = 0; i < loads; i++) {
        gc_push(nullptr, nullptr, "many loads");
        QV_SEXP* l = run_here("([Load option=\"raw\"] \"@/f.bin\")");
        if (get_type(l) == QVT_PAIR)
            opened++;  // the first block read, the file left open
        else if (failure.empty())
            failure = show(l);
        gc_pop(nullptr, nullptr);
    }
    // The checks report with the descriptors back (the sanitizers' reports need some).
    setrlimit(RLIMIT_NOFILE, &was);
    EXPECT_EQ(opened, loads) << failure;
}

// The collector marks a lazy load's record from its starter's frame as soon as the record
// exists, on the collector's own task, and calls its close function: loads started while
// collections run one after another are whole when marked (the thread sanitizer names the race
// when a field is filled after the record became reachable) and each reads its file.
TEST_F(LoadSaveTest, LoadsStartedWhileCollectionsRunAreMarkedWhole) {
    write_file(path("t.txt"), "a\nb\nc\n");
    BackgroundCollections collections(std::chrono::microseconds(50));
    for (int i = 0; i < 100 || (collections.count() < 20 && i < 2000); i++) {
        gc_push(nullptr, nullptr, "loads");
        QV_SEXP* l = run_here("([Load option=\"text\" terminate=\"\\n\"] \"@/t.txt\")");
        EXPECT_EQ(list_length(l), 3) << i;
        gc_pop(nullptr, nullptr);
    }
    EXPECT_TRUE(collections.end());
}

TEST_F(LoadSaveTest, TerminatorMatcher) {
    AUTOMATON* nl = get_fa(L("\n"));
    ASSERT_NE(nl, nullptr);
    auto t = lchars("ab\ncd");
    STATE_CHECKER sc{nl, 0, -1, nullptr, 0, -1, nullptr};
    EXPECT_EQ(en_state_checker(&sc, t.data(), 2), SC_NO_MATCH);
    EXPECT_EQ(en_state_checker(&sc, t.data(), 3), SC_MATCH);
    EXPECT_EQ(sc.stptr, 2);
    EXPECT_EQ(sc.endptr, 3);

    // A match that may still grow waits for more text; the longest one wins.
    AUTOMATON* crlf = get_fa(L("\r?\n|\r"));
    auto u = lchars("x\r\ny");
    STATE_CHECKER s2{crlf, 0, -1, nullptr, 0, -1, nullptr};
    EXPECT_EQ(en_state_checker(&s2, u.data(), 2), SC_MORE);
    EXPECT_EQ(en_state_checker(&s2, u.data(), 3), SC_MATCH);
    EXPECT_EQ(s2.stptr, 1);
    EXPECT_EQ(s2.endptr, 3);

    // A later start is tried at once when an earlier one fails: "ab" inside "aab".
    AUTOMATON* alt = get_fa(L("aaab|ab"));
    auto v = lchars("aab");
    STATE_CHECKER s3{alt, 0, -1, nullptr, 0, -1, nullptr};
    EXPECT_EQ(en_state_checker(&s3, v.data(), 1), SC_MORE);
    EXPECT_EQ(en_state_checker(&s3, v.data(), 2), SC_MORE);
    EXPECT_EQ(en_state_checker(&s3, v.data(), 3), SC_MATCH);
    EXPECT_EQ(s3.stptr, 1);
    EXPECT_EQ(s3.endptr, 3);

    // A pattern that accepts the empty text never gives an empty match.
    AUTOMATON* star = get_fa(L("x*"));
    auto w = lchars("ab");
    STATE_CHECKER s4{star, 0, -1, nullptr, 0, -1, nullptr};
    EXPECT_EQ(en_state_checker(&s4, w.data(), 2), SC_NO_MATCH);

    // A run waiting for more text goes on where it stopped: a long record that keeps a match
    // open is read in linear time.
    AUTOMATON* ab = get_fa(L("a*b"));
    std::vector<L_CHAR> as(200000, 'a');
    STATE_CHECKER s5{ab, 0, -1, nullptr, 0, -1, nullptr};
    for (int n = 1; n <= static_cast<int>(as.size()); n++)
        ASSERT_EQ(en_state_checker(&s5, as.data(), n), SC_MORE);
    as.push_back('b');
    EXPECT_EQ(en_state_checker(&s5, as.data(), static_cast<int>(as.size())), SC_MATCH);
    EXPECT_EQ(s5.stptr, 0);
    free_automaton(ab);

    STATE_CHECKER none{nullptr, 0, -1, nullptr, 0, -1, nullptr};
    EXPECT_EQ(en_state_checker(&none, t.data(), 5), SC_NO_MATCH);
    for (AUTOMATON* a : {nl, crlf, alt, star})
        free_automaton(a);
}

TEST_F(LoadSaveTest, EscapeDecoding) {
    auto check = [](const char* in, const std::vector<L_CHAR>& want) {
        auto t = lchars(in);
        int n = escape_handling(t.data(), static_cast<int>(t.size()));
        t.resize(static_cast<size_t>(n));
        EXPECT_EQ(t, want) << in;
    };
    check("&cx41;", {0x41});
    check("a&CX42;b", {'a', 0x42, 'b'});
    check("&cX41", {0x41});  // closed by the end of the text
    check("&cxdfff0016;z", {0xdfff0016, 'z'});
    check("x&cx000000041;", {'x', 0x41});  // more than 8 digits, the value within 32 bits
    // Left as they stand: no digits, another character after the digits, no hexadecimal digit
    // after "&cx", a value beyond 32 bits, the value 0 (which would end the text).
    check("a&cx;b", lchars("a&cx;b"));
    check("&cx41 ", lchars("&cx41 "));
    check("&cxZ;", lchars("&cxZ;"));
    check("&cx123456789;", lchars("&cx123456789;"));
    check("&cx0;x", lchars("&cx0;x"));
    check("&c", lchars("&c"));
}

TEST_F(LoadSaveTest, CsvReadsBackWithAStandardReader) {
    if (system("python3 -c 'import csv' >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
    QV_SEXP* r = run_here(
        "([Save option=\"csv\" oflag=\"creat:trunc\"] \"@/t.csv\" (quote ("
        "(row (a \"plain\") (b \"x,y\")) "
        "(row (a \"say \\\"hi\\\"\") (b \"q\\\"\")) "
        "(row (a \"tab\there\") (b \"\\\"\")) "
        "(row (a 12) (b 1.5)))))");
    ASSERT_EQ(get_type(r), QVT_NIL) << show(r);
    std::string cmd =
        "python3 -c 'import csv,sys\nfor row in csv.reader(open(sys.argv[1])): "
        "print(\"|\".join(row))' " +
        path("t.csv") + " > " + path("rows.txt");
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(read_file(path("rows.txt")),
              "RECORD-TYPE|a|b\n"
              "\n"
              "row|plain|x,y\n"
              "row|say \"hi\"|q\"\n"
              "row|tab here|\"\n"
              "row|12|1.500000\n");
}

TEST_F(LoadSaveTest, QvSavedAndLoadedBackIsTheSameTree) {
    QV_SEXP* tree = read_qv_item(
        "^((a \"text with \\\"quotes\\\" and\ttab\" 12km -5 sym) () (((deep 1))) \"\" 0x10)");
    ASSERT_EQ(get_type(tree), QVT_PAIR);
    bind("tree", tree);
    QV_SEXP* r = run_here("([Save oflag=\"creat:trunc\"] \"@/t.qv\" tree)");
    ASSERT_EQ(get_type(r), QVT_NIL) << show(r);
    QV_SEXP* back = run_here("(Load \"@/t.qv\")");
    EXPECT_EQ(cmp_sexp(back, tree), 0) << show(back) << " vs " << show(tree);
}

// An encoding no code method has reads a QV file in the program's default code method, not in
// the one the file declares, as a known name reads it in that one.
TEST_F(LoadSaveTest, AnUnknownEncodingReadsInTheDefaultCodeMethod) {
    // Two euro signs, three bytes each in UTF-8.
    write_file(path("enc.qv"), "<?qv encoding=\"UTF-8\"?>\n^\"\xE2\x82\xAC\xE2\x82\xAC\"\n");
    auto length = [&](const std::string& attrs) {
        QV_SEXP* v = run_here("(StringLength (car (cdr (" + attrs + " \"@/enc.qv\"))))");
        return get_type(v) == QVT_INTEGER ? v->integer.data : -1;
    };
    EXPECT_EQ(length("Load"), 2);
    std::string by_default = std::string("[Load encoding=\"") + std_cm->name + "\"]";
    EXPECT_EQ(length("[Load encoding=\"no-such-code\"]"), length(by_default));
}

TEST_F(LoadSaveTest, FilesSaveCreatesAndWritesOver) {
    ::umask(022);
    run_here("([Save oflag=\"creat\"] \"@/default\" 1)");
    run_here("([Save oflag=\"creat\" mode=\"0644\"] \"@/octal\" 1)");
    run_here("([Save oflag=\"creat\" mode=\"0x1a4\"] \"@/hex\" 1)");
    run_here("([Save oflag=\"creat\" mode=\"rw\"] \"@/nonumber\" 1)");
    run_here("([Save oflag=\"creat\" mode=\"4294967717\"] \"@/wide\" 1)");  // 2^32 + 0645
    auto perm = [this](const char* name) {
        struct stat st;
        EXPECT_EQ(stat(path(name).c_str(), &st), 0) << name;
        return st.st_mode & 07777;
    };
    EXPECT_EQ(perm("default"), 0600u);
    EXPECT_EQ(perm("octal"), 0644u);
    EXPECT_EQ(perm("hex"), 0644u);
    EXPECT_EQ(perm("nonumber"), 0600u);
    EXPECT_EQ(perm("wide"), 0600u);  // no mode, not that of its low 32 bits

    // Without "trunc" the file is written over from its start and keeps its longer tail.
    write_file(path("old"), "0123456789");
    EXPECT_EQ(get_type(run_here("([Save format.text=\"on\"] \"@/old\" (quote (\"ab\")))")),
              QVT_NIL);
    EXPECT_EQ(read_file(path("old")), "ab\n3456789");
    run_here("([Save oflag=\"append\" format.text=\"on\"] \"@/old\" (quote (\"z\")))");
    EXPECT_EQ(read_file(path("old")), "ab\n3456789z\n");
    // Without "creat" a missing file is an error, and nothing is created.
    QV_SEXP* e = run_here("(Save \"@/missing\" 1)");
    ASSERT_EQ(get_type(e), QVT_ERROR);
    EXPECT_EQ(e->error.code, QVE_CANNOT_ACCESS);
    EXPECT_NE(access(path("missing").c_str(), F_OK), 0);
}

}  // namespace

// A FIFO or a device in place of the file is refused at once with every load type, never waited
// on; text cut inside a string escape is an error, never a string.
TEST_F(LoadSaveTest, FilesThatAreNoRegularFilesAreRefusedAtOnce) {
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink(path("fifo").c_str(), path("link").c_str()), 0);
    // Each answer comes at once: an open that waited would hold the test until its time limit.
    std::vector<std::string> answers;
    for (const char* file : {"fifo", "link", "/dev/zero"})
        for (const char* option :
             {"raw", "qv", "exec", "text", "html", "text.escape", "icalendar"}) {
            std::string name = file[0] == '/' ? file : "@/" + std::string(file);
            answers.push_back(
                show(run_here("([Load option=\"" + std::string(option) + "\"] \"" + name + "\")")));
        }
    ASSERT_EQ(answers.size(), 21u);
    for (const std::string& a : answers)
        EXPECT_NE(a.find("\"cannot open the file\""), std::string::npos) << a;

    struct Cut {
        const char* text;
        const char* error;
    } cuts[] = {
        {"(a \"x\\", "unsutisfied file end"},
        {"^\"x\\", "unsutisfied file end"},
        {"^ \"\\", "unsutisfied file end"},
        {"<a x=\"y\\", "unsutisfied file end"},
    };
    for (const Cut& c : cuts) {
        write_file(path("cut.qv"), c.text);
        EXPECT_NE(show(run_here("(Load \"@/cut.qv\")")).find(c.error), std::string::npos) << c.text;
    }
}

// Every value given to a qv Save reaches the file: a lone atom or tag is one item, and so is the
// tail of a list that does not end in nil; a list is one item a line.
TEST_F(LoadSaveTest, QvSaveWritesEveryValueItWasGiven) {
    const struct {
        const char* value;
        const char* file;
    } cases[] = {
        {"12", "12\n"},       {"\"hello\"", "^\"hello\"\n"},
        {"'(1 2)", "1\n2\n"}, {"(cons 1 2)", "1\n2\n"},
        {"()", ""},
    };
    for (const auto& c : cases) {
        QV_SEXP* r =
            run_here(std::string("([Save oflag=\"creat:trunc\"] \"@/v.qv\" ") + c.value + ")");
        EXPECT_EQ(get_type(r), QVT_NIL) << c.value << ": " << show(r);
        EXPECT_EQ(read_file(path("v.qv")), c.file) << c.value;
    }
}
