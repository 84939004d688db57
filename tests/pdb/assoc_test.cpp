// Associative files: the nine slots, the index table and its bytes, QV values stored under integer
// and string indexes and listed, replaced values giving their space back, values in the file's
// encoding, persistence across runs, and several threads through the locked interface.
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <thread>

#include "lisp/parser.h"
#include "lisp/printer.h"
#include "lisp/sexp.h"
#include "longchar/codemethod.h"
#include "longchar/longchar.h"
#include "matrix/associate64_qv.h"
#include "tree_util.h"

using namespace pdbtest;

namespace {

QV_SEXP* qv(const char* text) {
    return read_qv_item(text);
}

std::string text_of(QV_SEXP* v) {
    return v ? print_sexp_text(v, 0) : "<null>";
}

int open_assoc(const std::string& path, const char* encoding = nullptr) {
    return l_open_associate64(path.c_str(), OPEN_RW, 0644, WITH_FREELIST, 12, encoding);
}

}  // namespace

TEST(PdbAssoc, SlotsAndTheIndexTable) {
    GcFrame gc;
    TempDir d;
    QuietPrint q;
    std::vector<int> keys;
    for (int i = 0; i < 9; i++)
        keys.push_back(open_assoc(d.at("f" + std::to_string(i))));
    EXPECT_EQ(keys, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(open_assoc(d.at("tenth")), -1);
    ASSERT_EQ(l_close_associate64(4), 0);
    EXPECT_EQ(l_close_associate64(4), -1);
    EXPECT_EQ(open_assoc(d.at("again")), 4);
    for (int k : {2, 3, 4, 5, 6, 7, 8, 9})
        ASSERT_EQ(l_close_associate64(k), 0);
    EXPECT_EQ(l_close_associate64(0), -1);
    EXPECT_EQ(l_close_associate64(10), -1);

    // The first index is number 0 and creates the table record; names are unique.
    int k = 1;
    EXPECT_EQ(l_get_index64(k, 7), -1);
    EXPECT_EQ(l_new_index64(k, ASSOC64_INTEGER_INDEX, 7), 0);
    EXPECT_EQ(l_new_index64(k, ASSOC64_STRING_INDEX, 7), -1);
    EXPECT_EQ(l_new_index64(k, 3, 9), -1);
    EXPECT_EQ(l_new_index64(k, ASSOC64_STRING_INDEX, -2), 1);
    EXPECT_EQ(l_get_index64(k, -2), 1);
    EXPECT_EQ(l_get_index_type64(k, 0), ASSOC64_INTEGER_INDEX);
    EXPECT_EQ(l_get_index_type64(k, 1), ASSOC64_STRING_INDEX);
    EXPECT_EQ(l_get_index_type64(k, 2), -1);
    EXPECT_EQ(l_get_index_type64(k, -1), -1);
    EXPECT_EQ(l_get_index_type64(5, 0), -1);
    int32_t one = 1;
    EXPECT_EQ(l_insert_associate64(k, 2, &one, qv("1")), -1);
    EXPECT_EQ(l_search_associate64(k, 0, &one, nullptr), nullptr);
    PDB64* p = associate64_file(k);
    ASSERT_NE(p, nullptr);
    uint64_t pos = 0;
    void* table = get_file_record64(&pos, p, PN64_ASSOC_HEADER_TYPE, 0);
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(pn64_size(table), 48u);
    const auto* t = static_cast<const uint8_t*>(table);
    uint64_t int_root = get_be64(t + 16);
    EXPECT_EQ(get_be16(t + 24), 1);
    EXPECT_EQ(get_be16(t + 26), 7);
    EXPECT_EQ(get_be32(t + 28), 0u);
    EXPECT_EQ(get_be16(t + 40), 2);
    EXPECT_EQ(get_be16(t + 42), 0xFFFE);
    d_f_ree(table);
    ASSERT_EQ(l_close_associate64(k), 0);
    // The roots: an integer tree of kind 256 and a character tree of kind 259.
    p = open_filespace64(d.at("f0").c_str(), O_RDONLY, 0, 0, 0, nullptr);
    ASSERT_NE(p, nullptr);
    int e = 0;
    FAVT64_ROOT* r = get_root64(&e, p, int_root, integer_endian64);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->type, ASSOC64_INTEGER_KIND);
    ASSERT_EQ(close_filespace64(p), 0);
}

TEST(PdbAssoc, QvValuesUnderIntegerAndStringIndexesAcrossRuns) {
    GcFrame gc;
    TempDir d;
    QuietPrint q;
    std::string path = d.at("a");
    int k = open_assoc(path);
    ASSERT_GT(k, 0);
    int ix = l_new_index64(k, ASSOC64_INTEGER_INDEX, 1);
    int sx = l_new_index64(k, ASSOC64_STRING_INDEX, 2);
    int32_t n3 = 3, n1 = 1, n2 = 2, n9 = -9;
    ASSERT_EQ(l_insert_associate64(k, ix, &n3, qv("(three (nested 3) \"x y\")")), 0);
    ASSERT_EQ(l_insert_associate64(k, ix, &n1, qv("^\"one\"")), 0);
    ASSERT_EQ(l_insert_associate64(k, ix, &n2, qv("22")), 0);
    EXPECT_EQ(text_of(l_get_assoc64_all(k, ix)), "(\"one\" 22 (three (nested 3) \"x y\"))");
    EXPECT_EQ(text_of(l_search_associate64(k, ix, &n2, nullptr)), "22");
    EXPECT_EQ(l_search_associate64(k, ix, &n9, nullptr), nullptr);

    // A replaced value's record is released once the next flush has committed the tree that no
    // longer names it: until then its space is kept, then reused. A short text takes an 8-byte
    // area.
    PDB64* p = associate64_file(k);
    ASSERT_EQ(l_insert_associate64(k, ix, &n2, qv("111")), 0);
    int64_t end = fac_lseek(&p->fac, 0, SEEK_END);
    ASSERT_EQ(l_insert_associate64(k, ix, &n2, qv("222")), 0);
    EXPECT_GT(fac_lseek(&p->fac, 0, SEEK_END), end);
    ASSERT_EQ(l_flush_filespace64(p), 0);
    end = fac_lseek(&p->fac, 0, SEEK_END);
    ASSERT_EQ(l_insert_associate64(k, ix, &n2, qv("333")), 0);
    EXPECT_EQ(fac_lseek(&p->fac, 0, SEEK_END), end);
    int64_t len = 0;
    char* area = l_search_associate64_text(k, ix, &n2, nullptr, &len);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(len, 8);
    EXPECT_EQ(std::string(area, 4), std::string("333\0", 4));
    d_f_ree(area);
    // Integer indexes keep their values.
    EXPECT_EQ(l_delete_associate64(k, ix, &n2), -1);
    EXPECT_EQ(text_of(l_search_associate64(k, ix, &n2, nullptr)), "333");

    // String keys: perfect matches by default, the longest with options.
    std::vector<L_CHAR> alpha = lkey("alpha"), alp = lkey("alp"), beta = lkey("beta"),
                        alpine = lkey("alpine"), al = lkey("al");
    ASSERT_EQ(l_insert_associate64(k, sx, alpha.data(), qv("(a 1)")), 0);
    ASSERT_EQ(l_insert_associate64(k, sx, alp.data(), qv("(a 2)")), 0);
    ASSERT_EQ(l_insert_associate64(k, sx, beta.data(), qv("(b 1)")), 0);
    ASSERT_EQ(l_insert_associate64(k, sx, alpha.data(), qv("(a 3)")), 0);
    EXPECT_EQ(text_of(l_search_associate64(k, sx, alpha.data(), nullptr)), "(a 3)");
    EXPECT_EQ(l_search_associate64(k, sx, alpine.data(), nullptr), nullptr);
    ASSOC64_STRING_OPT opt = {0, -1};
    EXPECT_EQ(text_of(l_search_associate64(k, sx, alpine.data(), &opt)), "(a 2)");
    EXPECT_EQ(opt.size, 3);
    opt = {0, -1};
    EXPECT_EQ(l_search_associate64(k, sx, al.data(), &opt), nullptr);
    EXPECT_EQ(text_of(l_get_assoc64_all(k, sx)), "((a 3) (a 2) (b 1))");
    ASSERT_EQ(l_delete_associate64(k, sx, alp.data()), 0);
    EXPECT_EQ(l_delete_associate64(k, sx, alp.data()), -1);
    EXPECT_EQ(text_of(l_search_associate64(k, sx, alpha.data(), nullptr)), "(a 3)");
    ASSERT_EQ(l_close_associate64(k), 0);
    CheckResult c = run_checker("--closed " + path);
    EXPECT_EQ(c.status, 0) << c.out;

    // The next run finds everything again.
    k = open_assoc(path);
    ASSERT_GT(k, 0);
    EXPECT_EQ(l_get_index64(k, 1), ix);
    EXPECT_EQ(l_get_index64(k, 2), sx);
    EXPECT_EQ(text_of(l_get_assoc64_all(k, ix)), "(\"one\" 333 (three (nested 3) \"x y\"))");
    EXPECT_EQ(text_of(l_get_assoc64_all(k, sx)), "((a 3) (b 1))");
    EXPECT_EQ(text_of(l_search_associate64(k, sx, beta.data(), nullptr)), "(b 1)");
    ASSERT_EQ(l_close_associate64(k), 0);

    // Read-only: values are found, nothing can be stored.
    k = l_open_associate64(path.c_str(), O_RDONLY, 0, 0, 0, nullptr);
    ASSERT_GT(k, 0);
    EXPECT_EQ(text_of(l_search_associate64(k, ix, &n3, nullptr)), "(three (nested 3) \"x y\")");
    EXPECT_EQ(l_insert_associate64(k, ix, &n9, qv("1")), -1);
    EXPECT_EQ(l_new_index64(k, ASSOC64_INTEGER_INDEX, 5), -1);
    ASSERT_EQ(l_close_associate64(k), 0);
}

// A replacing store whose write fails leaves the key its old value, under both kinds of index:
// the old record is still the key's after the next flush, when another key's value is stored
// and the file is read again.
TEST(PdbAssoc, AFailedReplacingStoreKeepsTheOldValue) {
    TempDir d;
    QuietPrint q;
    std::string path = d.at("f");
    int k = open_assoc(path);
    ASSERT_GT(k, 0);
    int ix = l_new_index64(k, ASSOC64_INTEGER_INDEX, 1);
    int sx = l_new_index64(k, ASSOC64_STRING_INDEX, 2);
    int32_t five = 5, seven = 7;
    std::vector<L_CHAR> a = lkey("a"), b = lkey("b");
    const struct {
        int index;
        const void *key, *other;
    } rows[] = {{ix, &five, &seven}, {sx, a.data(), b.data()}};
    auto put = [&](int index, const void* key, const std::string& v) {
        return l_insert_associate64_text(k, index, key, v.c_str(), static_cast<int64_t>(v.size()));
    };
    auto get = [&](int index, const void* key) {
        int64_t len = 0;
        char* area = l_search_associate64_text(k, index, key, nullptr, &len);
        std::string v = area ? std::string(area) : "<none>";
        d_f_ree(area);
        return v;
    };
    PDB64* p = associate64_file(k);
    for (const auto& r : rows) {
        ASSERT_EQ(put(r.index, r.key, "old-value"), 0);
        ASSERT_EQ(l_flush_filespace64(p), 0);
        p->freelist_broken = 1;  // no room can be reserved for the new value
        EXPECT_EQ(put(r.index, r.key, "new-value"), -1) << r.index;
        p->freelist_broken = 0;
        EXPECT_EQ(get(r.index, r.key), "old-value") << r.index;
        ASSERT_EQ(l_flush_filespace64(p), 0);
        ASSERT_EQ(put(r.index, r.other, "intruder!"), 0);
        ASSERT_EQ(l_flush_filespace64(p), 0);
        EXPECT_EQ(get(r.index, r.key), "old-value") << r.index;
    }
    ASSERT_EQ(l_close_associate64(k), 0);
    EXPECT_EQ(run_checker("--closed " + path).status, 0);
    k = open_assoc(path);
    ASSERT_GT(k, 0);
    for (const auto& r : rows) {
        EXPECT_EQ(get(r.index, r.key), "old-value") << r.index;
        EXPECT_EQ(get(r.index, r.other), "intruder!") << r.index;
    }
    ASSERT_EQ(l_close_associate64(k), 0);
}

// Adding an index moves the index table to a place of its new size: when the moved table cannot
// reach the host file (here, a file that may not grow), the index is refused and the file keeps
// its table and every index in it, in this opening and the next.
TEST(PdbAssoc, AnIndexTableThatCannotGrowIsKept) {
    TempDir d;
    QuietPrint q;
    std::string path = d.at("g");
    int k = open_assoc(path);
    ASSERT_GT(k, 0);
    int32_t one = 1;
    auto get = [&] {
        int64_t len = 0;
        char* area = l_search_associate64_text(k, 0, &one, nullptr, &len);
        std::string v = area ? std::string(area) : "<none>";
        d_f_ree(area);
        return v;
    };
    ASSERT_EQ(l_new_index64(k, ASSOC64_INTEGER_INDEX, 1), 0);
    // The replaced 11-byte value leaves a hole, away from the table, that the new root fills
    // exactly; the grown table fits nowhere but at the end of the file.
    int32_t two = 2;
    ASSERT_EQ(l_insert_associate64_text(k, 0, &two, "x", 1), 0);
    ASSERT_EQ(l_insert_associate64_text(k, 0, &one, "eleven-char", 11), 0);
    ASSERT_EQ(l_insert_associate64_text(k, 0, &one, "kept", 4), 0);
    ASSERT_EQ(l_close_associate64(k), 0);
    k = open_assoc(path);
    ASSERT_GT(k, 0);
    rlimit was{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    rlimit cap = was;
    cap.rlim_cur = file_bytes(path).size();
    sighandler_t sig = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &cap), 0);
    int grown = l_new_index64(k, ASSOC64_STRING_INDEX, 2);
    setrlimit(RLIMIT_FSIZE, &was);
    signal(SIGXFSZ, sig);
    EXPECT_EQ(grown, -1);
    EXPECT_EQ(l_get_index64(k, 1), 0);
    EXPECT_EQ(l_get_index64(k, 2), -1);
    EXPECT_EQ(get(), "kept");
    ASSERT_EQ(l_close_associate64(k), 0);
    CheckResult c = run_checker("--closed --freelist " + path);
    EXPECT_EQ(c.status, 0) << c.out;
    k = open_assoc(path);
    ASSERT_GT(k, 0);
    EXPECT_EQ(l_get_index64(k, 1), 0);
    EXPECT_EQ(get(), "kept");
    EXPECT_EQ(l_new_index64(k, ASSOC64_STRING_INDEX, 2), 1);
    ASSERT_EQ(l_close_associate64(k), 0);
}

// Index names are stored in 16 bits: a name beyond them is refused, never stored cut.
TEST(PdbAssoc, IndexNamesOutsideSixteenBitsAreRefused) {
    TempDir d;
    QuietPrint q;
    int k = open_assoc(d.at("n"));
    ASSERT_GT(k, 0);
    const struct {
        int name, index;
    } rows[] = {{32767, 0},   {-32768, 1},     {32768, -1},     {65534, -1},
                {-32769, -1}, {INT32_MAX, -1}, {INT32_MIN, -1}, {65534, -1}};
    for (const auto& r : rows) {
        EXPECT_EQ(l_new_index64(k, ASSOC64_INTEGER_INDEX, r.name), r.index) << r.name;
        EXPECT_EQ(l_get_index64(k, r.name), r.index) << r.name;
    }
    EXPECT_EQ(l_get_index64(k, -2), -1);  // 65534 cut to 16 bits
    ASSERT_EQ(l_close_associate64(k), 0);
}

TEST(PdbAssoc, ValuesAreKeptInTheFilesEncoding) {
    GcFrame gc;
    TempDir d;
    QuietPrint q;
    int k = open_assoc(d.at("e"), "EUC-JP");
    ASSERT_GT(k, 0);
    int ix = l_new_index64(k, ASSOC64_INTEGER_INDEX, 1);
    int32_t one = 1;
    // A string of two EUC-JP characters is stored as their EUC-JP bytes and read back the same.
    QV_SEXP* nihon = get_string(_l_string_1(&euc_cm, "\xC6\xFC\xCB\xDC"));
    std::string printed = text_of(nihon);
    ASSERT_EQ(l_insert_associate64(k, ix, &one, nihon), 0);
    int64_t len = 0;
    char* area = l_search_associate64_text(k, ix, &one, nullptr, &len);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ(std::string(area), "^\"\xC6\xFC\xCB\xDC\"");
    d_f_ree(area);
    EXPECT_EQ(text_of(l_search_associate64(k, ix, &one, nullptr)), printed);
    ASSERT_EQ(l_close_associate64(k), 0);
    // An encoding that names no code method stores nothing.
    k = open_assoc(d.at("u"), "NOPE");
    ix = l_new_index64(k, ASSOC64_INTEGER_INDEX, 1);
    EXPECT_EQ(l_insert_associate64(k, ix, &one, qv("1")), -1);
    ASSERT_EQ(l_close_associate64(k), 0);
}

TEST(PdbAssoc, ThreadsShareTheStoreThroughItsLock) {
    TempDir d;
    QuietPrint q;
    std::atomic<int> bad{0};
    auto work = [&](int t) {
        std::string path = d.at("t" + std::to_string(t));
        int k = l_open_associate64(path.c_str(), OPEN_RW, 0644, WITH_FREELIST, 12, nullptr);
        if (k < 0) {
            bad++;
            return;
        }
        int ix = l_new_index64(k, ASSOC64_INTEGER_INDEX, 1);
        for (int32_t i = 0; i < 300; i++) {
            std::string v = std::to_string(t * 1000 + i);
            if (l_insert_associate64_text(k, ix, &i, v.c_str(), static_cast<int64_t>(v.size())) !=
                0)
                bad++;
        }
        for (int32_t i = 0; i < 300; i++) {
            int64_t len = 0;
            char* a = l_search_associate64_text(k, ix, &i, nullptr, &len);
            if (!a || std::string(a) != std::to_string(t * 1000 + i)) bad++;
            d_f_ree(a);
        }
        if (l_close_associate64(k) != 0) bad++;
    };
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++)
        ts.emplace_back(work, t);
    for (auto& t : ts)
        t.join();
    EXPECT_EQ(bad, 0);
    for (int t = 0; t < 4; t++) {
        std::string args = "--closed ";
        args += d.at("t" + std::to_string(t));
        EXPECT_EQ(run_checker(args).status, 0);
    }
}
