// The page cache under tiny page limits: partial pages, refused holes, eviction that skips dirty
// pages, the three-quarter write-back, truncation of dirty pages, reported write-back errors,
// flushes of the dirty pages alone and long reads that pass uncached pages by.
#include <fcntl.h>

#include <cstring>

#include "base/task.h"
#include "pdb_util.h"
#include "support/sync_util.h"

using namespace pdbtest;

namespace {

// A host file under the cache, opened directly (without a record-file header).
struct CachedFile {
    int fd = -1;
    FAC_INFO info = {};
    CachedFile(const std::string& path, int oflags = O_RDWR | O_CREAT) {
        fd = open(path.c_str(), oflags, 0644);
        info.fd = fd;
        info.long_file = 1;
        info.read_only = (oflags & O_ACCMODE) == O_RDONLY;
        fac_init(&info);
    }
    ~CachedFile() {
        fac_close(&info);
        close(fd);
    }
    int write_at(uint64_t pos, const std::string& s) {
        if (fac_lseek(&info, static_cast<int64_t>(pos), SEEK_SET) < 0) return -9;
        return fac_write(&info, s.data(), static_cast<int>(s.size()));
    }
    std::string read_at(uint64_t pos, int n) {
        std::string s(static_cast<size_t>(n), '\0');
        if (fac_lseek(&info, static_cast<int64_t>(pos), SEEK_SET) < 0) return "<seek>";
        int r = fac_read(&info, s.data(), n);
        if (r < 0) return "<error>";
        s.resize(static_cast<size_t>(r));
        return s;
    }
    bool dirty(uint64_t pos) { return fac_page_state(&info, pos) >= 0x10000; }
    bool cached(uint64_t pos) { return fac_page_state(&info, pos) >= 0; }
};

std::string pattern(size_t n, char seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(seed + i % 53);
    return s;
}

}  // namespace

TEST(PdbPageCache, PartialPagesSeeksAndHoles) {
    TempDir d;
    PageLimit limit(4);
    CachedFile f(d.at("p"));
    std::string data = pattern(5000, 'a');
    ASSERT_EQ(f.write_at(0, data), 5000);
    EXPECT_EQ(f.info.file_size, 5000u);
    EXPECT_EQ(file_size(d.at("p")), 0);  // nothing written back yet
    EXPECT_EQ(fac_page_state(&f.info, 0), 4096 + 0x10000);
    EXPECT_EQ(fac_page_state(&f.info, 4096), 904 + 0x10000);
    ASSERT_EQ(fac_flush(&f.info), 0);
    EXPECT_EQ(file_bytes(d.at("p")), data);
    EXPECT_EQ(fac_page_state(&f.info, 4096), 904);  // clean and still cached

    // Positions: beyond the length -3, negative -2, unknown whence -1; the end itself is fine.
    EXPECT_EQ(fac_lseek(&f.info, 5001, SEEK_SET), -3);
    EXPECT_EQ(fac_lseek(&f.info, -5001, SEEK_END), -2);
    EXPECT_EQ(fac_lseek(&f.info, 0, 7), -1);
    EXPECT_EQ(fac_lseek(&f.info, -1000, SEEK_END), 4000);
    EXPECT_EQ(fac_lseek(&f.info, 10, SEEK_CUR), 4010);

    // A read across the page boundary, from pages that must be loaded again; then the end.
    put_file(d.at("other"), std::string(8 * 4096, 'o'));
    auto evict_all = [&] {
        CachedFile g(d.at("other"));
        for (int i = 0; i < 8; i++)
            g.read_at(static_cast<uint64_t>(i) * 4096, 1);
    };
    evict_all();
    EXPECT_FALSE(f.cached(0));
    int64_t loads = fac_stats().page_loads;
    EXPECT_EQ(f.read_at(4000, 200), data.substr(4000, 200));
    EXPECT_EQ(fac_stats().page_loads, loads + 2);
    EXPECT_EQ(f.read_at(4900, 200), data.substr(4900));
    EXPECT_EQ(f.read_at(5000, 10), "");

    // A write past the valid content of its page is refused: the cache never leaves a hole.
    f.info.seek_point = 5010;
    EXPECT_EQ(fac_write(&f.info, "x", 1), -1);
    EXPECT_EQ(errno, EIO);
    f.info.seek_point = 5000;

    // A partial write into a page that is not cached loads it first and keeps the rest.
    evict_all();
    loads = fac_stats().page_loads;
    ASSERT_EQ(f.write_at(4100, "XYZ"), 3);
    EXPECT_EQ(fac_stats().page_loads, loads + 1);
    data.replace(4100, 3, "XYZ");
    EXPECT_EQ(f.read_at(0, 5000), data);
}

TEST(PdbPageCache, AppendingAtAPageBoundaryReadsNothing) {
    TempDir d;
    PageLimit limit(4);
    put_file(d.at("b"), pattern(8192, 'c'));
    CachedFile f(d.at("b"));
    int64_t loads = fac_stats().page_loads;
    ASSERT_EQ(f.write_at(8192, pattern(100, 'q')), 100);
    EXPECT_EQ(fac_stats().page_loads, loads);
    EXPECT_EQ(fac_page_state(&f.info, 8192), 100 + 0x10000);
    ASSERT_EQ(fac_flush(&f.info), 0);
    EXPECT_EQ(file_bytes(d.at("b")), pattern(8192, 'c') + pattern(100, 'q'));
}

TEST(PdbPageCache, EvictionSkipsDirtyPagesAndKeepsTheRecentOnes) {
    TempDir d;
    PageLimit limit(8);
    put_file(d.at("b"), std::string(12 * 4096, 'b'));
    CachedFile a(d.at("a"));
    CachedFile b(d.at("b"));
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(a.write_at(static_cast<uint64_t>(i) * 4096, std::string(4096, 'a')), 4096);
    // Ten clean pages of another file pass through: the dirty ones stay, three clean ones fit.
    for (int i = 0; i < 10; i++)
        ASSERT_EQ(b.read_at(static_cast<uint64_t>(i) * 4096, 1), "b");
    FAC_STATS s = fac_stats();
    EXPECT_EQ(s.entries_nos, 8);
    EXPECT_EQ(s.dirty_nos, 5);
    for (int i = 0; i < 5; i++)
        EXPECT_TRUE(a.dirty(static_cast<uint64_t>(i) * 4096)) << i;
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(b.cached(static_cast<uint64_t>(i) * 4096), i >= 7) << i;
    // Touching page 7 makes 8 the least recently used clean page.
    b.read_at(7 * 4096, 1);
    b.read_at(10 * 4096, 1);
    EXPECT_TRUE(b.cached(7 * 4096));
    EXPECT_FALSE(b.cached(8 * 4096));
    EXPECT_TRUE(b.cached(9 * 4096));

    // Below the dirty count, the cache holds more than its limit: dirty pages are never evicted.
    fac_set_limit(2);
    b.read_at(11 * 4096, 1);
    s = fac_stats();
    EXPECT_EQ(s.entries_nos, 6);
    EXPECT_EQ(s.total_entries, 2);
    EXPECT_TRUE(b.cached(11 * 4096));
    // A limit below one page counts as one.
    fac_set_limit(0);
    EXPECT_EQ(fac_stats().total_entries, 1);
    fac_set_limit(8);
    ASSERT_EQ(fac_flush(&a.info), 0);
    EXPECT_EQ(file_bytes(d.at("a")), std::string(5 * 4096, 'a'));
}

TEST(PdbPageCache, ThreeQuartersDirtyWritesEveryFileBack) {
    TempDir d;
    PageLimit limit(8);
    CachedFile a(d.at("a"));
    CachedFile b(d.at("b"));
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(a.write_at(static_cast<uint64_t>(i) * 4096, std::string(4096, 'a')), 4096);
    ASSERT_EQ(b.write_at(0, std::string(4096 * 2, 'b')), 8192);
    EXPECT_EQ(fac_stats().dirty_nos, 5);
    EXPECT_EQ(file_size(d.at("a")), 0);
    // The sixth dirty page (6 >= 0.75 x 8) writes both files back.
    ASSERT_EQ(b.write_at(8192, "tail"), 4);
    EXPECT_EQ(fac_stats().dirty_nos, 0);
    EXPECT_EQ(file_bytes(d.at("a")), std::string(3 * 4096, 'a'));
    EXPECT_EQ(file_bytes(d.at("b")), std::string(8192, 'b') + "tail");
    EXPECT_FALSE(a.dirty(0));
    EXPECT_TRUE(a.cached(0));  // written-back pages stay, clean
}

TEST(PdbPageCache, TruncationDropsDirtyPagesUnwritten) {
    TempDir d;
    PageLimit limit(8);
    CachedFile f(d.at("t"));
    std::string data = pattern(10000, 'k');
    ASSERT_EQ(f.write_at(0, data), 10000);
    EXPECT_EQ(fac_truncate(&f.info, 10001), -1);
    ASSERT_EQ(fac_truncate(&f.info, 5000), 0);
    EXPECT_EQ(f.info.seek_point, 5000u);
    EXPECT_FALSE(f.cached(8192));
    EXPECT_EQ(fac_page_state(&f.info, 4096), 904 + 0x10000);
    EXPECT_EQ(fac_stats().dirty_nos, 2);
    EXPECT_EQ(file_size(d.at("t")), 0);  // the host file was shorter: nothing to cut
    int64_t writes = fac_stats().page_writes;
    ASSERT_EQ(fac_flush(&f.info), 0);
    EXPECT_EQ(fac_stats().page_writes, writes + 2);
    EXPECT_EQ(file_bytes(d.at("t")), data.substr(0, 5000));
    // A host file longer than the new length is cut at once.
    ASSERT_EQ(fac_truncate(&f.info, 4096), 0);
    EXPECT_EQ(file_size(d.at("t")), 4096);
    EXPECT_EQ(fac_page_state(&f.info, 4096), 0);  // the page at the new end keeps no bytes
    ASSERT_EQ(f.write_at(4096, "more"), 4);
    ASSERT_EQ(fac_flush(&f.info), 0);
    EXPECT_EQ(file_bytes(d.at("t")), data.substr(0, 4096) + "more");
}

TEST(PdbPageCache, WriteBackFailuresAreReportedAndReadOnlyFilesRefuseWrites) {
    TempDir d;
    PageLimit limit(8);
    put_file(d.at("ro"), "0123456789");
    {
        CachedFile ro(d.at("ro"), O_RDONLY);
        EXPECT_EQ(ro.write_at(0, "x"), -1);
        EXPECT_EQ(errno, EBADF);
        EXPECT_EQ(fac_truncate(&ro.info, 0), -1);
        EXPECT_EQ(ro.read_at(2, 3), "234");
    }
    // A descriptor that cannot be written (as a full disk or a lost device): the bytes stay in
    // the cache as dirty pages, and the flush, the three-quarter write-back and the close report
    // it.
    CachedFile f(d.at("ro"), O_RDONLY);
    f.info.read_only = 0;
    ASSERT_EQ(f.write_at(10, "abc"), 3);
    EXPECT_EQ(fac_flush(&f.info), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(f.dirty(0));
    EXPECT_EQ(fac_purge_all(), -1);
    EXPECT_EQ(f.read_at(8, 5), "89abc");
    EXPECT_EQ(fac_close(&f.info), -1);
    EXPECT_EQ(fac_stats().dirty_nos, 0);
    EXPECT_EQ(file_bytes(d.at("ro")), "0123456789");
}

// A flush writes the dirty pages alone, in order, adjacent ones together, however many clean
// pages are cached; a long read of pages not cached takes them from the host file without caching
// them, and still sees the dirty pages among them.
TEST(PdbPageCache, FlushWritesTheDirtyPagesAndLongReadsPassUncachedPagesBy) {
    TempDir d;
    PageLimit limit(64);
    std::string data = pattern(32 * 4096, 'f');
    put_file(d.at("f"), data);
    CachedFile f(d.at("f"));
    for (int i = 0; i < 32; i++)
        ASSERT_EQ(f.read_at(static_cast<uint64_t>(i) * 4096, 1), data.substr(i * 4096, 1));
    std::string run = pattern(3 * 4096, 'R');
    ASSERT_EQ(f.write_at(3 * 4096, run), 3 * 4096);
    ASSERT_EQ(f.write_at(20 * 4096 + 7, "mid"), 3);
    ASSERT_EQ(f.write_at(10 * 4096, "ten"), 3);
    data.replace(3 * 4096, run.size(), run);
    data.replace(20 * 4096 + 7, 3, "mid");
    data.replace(10 * 4096, 3, "ten");
    ASSERT_EQ(f.write_at(32 * 4096, "tail"), 4);  // grows the file: a short last page
    data += "tail";
    int64_t writes = fac_stats().page_writes;
    ASSERT_EQ(fac_flush(&f.info), 0);
    EXPECT_EQ(fac_stats().page_writes, writes + 6);
    EXPECT_EQ(fac_stats().dirty_nos, 0);
    EXPECT_EQ(file_bytes(d.at("f")), data);
    EXPECT_EQ(fac_page_state(&f.info, 4 * 4096), 4096);  // clean and still cached
    EXPECT_EQ(fac_flush(&f.info), 0);
    EXPECT_EQ(fac_stats().page_writes, writes + 6);

    std::string other = pattern(40 * 4096, 'o');
    put_file(d.at("long"), other);
    CachedFile g(d.at("long"));
    ASSERT_EQ(g.write_at(5 * 4096 + 100, "dirty"), 5);
    other.replace(5 * 4096 + 100, 5, "dirty");
    int64_t loads = fac_stats().page_loads;
    EXPECT_EQ(g.read_at(0, 40 * 4096), other);
    EXPECT_EQ(fac_stats().page_loads, loads + 39);
    EXPECT_FALSE(g.cached(0));
    EXPECT_FALSE(g.cached(39 * 4096));
    EXPECT_TRUE(g.dirty(5 * 4096));
    // Unaligned: the partial pages at both ends are cached, the whole ones between are not.
    EXPECT_EQ(g.read_at(100, 3 * 4096), other.substr(100, 3 * 4096));
    EXPECT_TRUE(g.cached(0));
    EXPECT_FALSE(g.cached(4096));
    EXPECT_FALSE(g.cached(2 * 4096));
    EXPECT_TRUE(g.cached(3 * 4096));
    // Reads past the end stop there.
    EXPECT_EQ(g.read_at(38 * 4096, 4 * 4096), other.substr(38 * 4096));

    // A refused write of adjacent pages leaves all of them dirty.
    CachedFile ro(d.at("long"), O_RDONLY);
    ro.info.read_only = 0;
    ASSERT_EQ(ro.write_at(0, pattern(3 * 4096, 'x')), 3 * 4096);
    EXPECT_EQ(fac_flush(&ro.info), -1);
    EXPECT_EQ(errno, EBADF);
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(ro.dirty(static_cast<uint64_t>(i) * 4096)) << i;
    EXPECT_EQ(fac_close(&ro.info), -1);
    EXPECT_EQ(file_bytes(d.at("long")), pattern(40 * 4096, 'o'));
}

// Several tasks work on files of their own through the one shared cache, with a limit small
// enough that every task's look-ups evict the others' pages and trigger the write-back of all.
namespace {

struct ShareWork {
    std::string path;
    uint32_t seed;
    int bad = 0;
    Counter* done;
};

void share_task(intptr_t data) {
    auto* w = reinterpret_cast<ShareWork*>(data);
    PDB64* p = open_rw(w->path);
    if (!p) {
        w->bad++;
        w->done->add();
        return;
    }
    std::vector<std::pair<int64_t, uint32_t>> live;
    uint32_t x = w->seed;
    for (uint32_t i = 0; i < 400; i++) {
        x = x * 1103515245u + 12345u;
        if (live.size() > 20 && x % 3 == 0) {
            size_t k = (x >> 4) % live.size();
            auto [pos, seed] = live[k];
            if (!record_is(p, static_cast<uint64_t>(pos), 300, 24 + seed % 9000, seed)) w->bad++;
            if (free_filespace64(p, static_cast<uint64_t>(pos)) != 0) w->bad++;
            live.erase(live.begin() + static_cast<long>(k));
            continue;
        }
        uint32_t seed = (x >> 8) % 9000 + 9000u * i;
        int64_t pos = put_record(p, 300, 24 + seed % 9000, seed);
        if (pos < 0) w->bad++;
        live.push_back({pos, seed});
        if (i % 97 == 0 && flush_filespace64(p) != 0) w->bad++;
    }
    for (auto& [pos, seed] : live)
        if (!record_is(p, static_cast<uint64_t>(pos), 300, 24 + seed % 9000, seed)) w->bad++;
    if (close_filespace64(p) != 0) w->bad++;
    w->done->add();
}

}  // namespace

TEST(PdbPageCache, TasksShareTheCache) {
    TempDir d;
    PageLimit limit(16);
    constexpr int kTasks = 4;
    Counter done;
    std::vector<ShareWork> work(kTasks);
    for (int t = 0; t < kTasks; t++) {
        std::string name(1, 'f');
        name += std::to_string(t);
        work[t].path = d.at(name);
        work[t].seed = static_cast<uint32_t>(t) * 7919u + 1;
        work[t].done = &done;
        create_task(share_task, &work[t], 1);
    }
    ASSERT_TRUE(done.wait_for(kTasks, 120000));
    for (int t = 0; t < kTasks; t++) {
        EXPECT_EQ(work[t].bad, 0) << t;
        CheckResult c = run_checker("--closed --freelist " + work[t].path);
        EXPECT_EQ(c.status, 0) << c.out;
    }
    EXPECT_EQ(fac_stats().dirty_nos, 0);
}

TEST(PdbPageCache, LongAppendsGoStraightToTheFileAndKeepTheTailPageTrue) {
    TempDir d;
    PageLimit limit(64);
    CachedFile f(d.at("w"));
    std::string data = pattern(100, 'a');
    ASSERT_EQ(f.write_at(0, data), 100);
    ASSERT_EQ(fac_flush(&f.info), 0);
    ASSERT_TRUE(f.cached(0));  // the tail page, clean, 100 bytes
    // Pieces past everything the host file holds, long enough: one host write, the cached tail
    // page given its share, and of the pages written only the one the write ends in taken, with
    // the bytes that end there.
    std::string a = pattern(3 * 4096, 'k'), b = pattern(20 * 4096 + 7, 'q');
    iovec v[3] = {{a.data(), a.size()}, {nullptr, 0}, {b.data(), b.size()}};
    int64_t entries = fac_stats().entries_nos;
    ASSERT_EQ(fac_lseek(&f.info, 100, SEEK_SET), 100);
    ASSERT_EQ(fac_writev(&f.info, v, 3), static_cast<int>(a.size() + b.size()));
    data += a + b;
    uint64_t last = data.size() & FAC_PAGE_MASK;
    EXPECT_EQ(fac_stats().entries_nos, entries + 1);
    EXPECT_EQ(fac_page_state(&f.info, last), static_cast<int>(data.size() - last));
    EXPECT_FALSE(f.cached(last - 4096));
    EXPECT_EQ(fac_stats().dirty_nos, 0);
    EXPECT_EQ(f.info.file_size, data.size());
    EXPECT_EQ(f.info.seek_point, data.size());
    EXPECT_EQ(file_bytes(d.at("w")), data);
    EXPECT_EQ(fac_page_state(&f.info, 0), 4096);
    EXPECT_EQ(f.read_at(0, 5000), data.substr(0, 5000));
    int64_t loads = fac_stats().page_loads;
    EXPECT_EQ(f.read_at(last, 4096), data.substr(last));
    EXPECT_EQ(fac_stats().page_loads, loads);
    // A short write into the last page goes there without reading it back, then a long one
    // while it waits unwritten: that one goes through the cache as well, and the file is right
    // once flushed.
    ASSERT_EQ(f.write_at(data.size(), "tail"), 4);
    EXPECT_EQ(fac_stats().page_loads, loads);
    data += "tail";
    ASSERT_EQ(fac_writev(&f.info, v, 3), static_cast<int>(a.size() + b.size()));
    data += a + b;
    EXPECT_GT(fac_stats().dirty_nos, 0);
    EXPECT_EQ(f.read_at(0, static_cast<int>(data.size())), data);
    ASSERT_EQ(fac_flush(&f.info), 0);
    EXPECT_EQ(file_bytes(d.at("w")), data);
    // FAC_DIRECT_MIN bytes are long enough; a write ending on a page boundary takes no page.
    std::string c = pattern(FAC_DIRECT_MIN + (4096 - data.size() % 4096) % 4096, 'c');
    iovec one[1] = {{c.data(), c.size()}};
    entries = fac_stats().entries_nos;
    ASSERT_EQ(fac_lseek(&f.info, 0, SEEK_END), static_cast<int64_t>(data.size()));
    ASSERT_EQ(fac_writev(&f.info, one, 1), static_cast<int>(c.size()));
    data += c;
    EXPECT_EQ(data.size() % 4096, 0u);
    EXPECT_EQ(fac_stats().entries_nos, entries);
    EXPECT_EQ(fac_stats().dirty_nos, 0);
    EXPECT_EQ(file_bytes(d.at("w")), data);
    // Short appends and a read-only file are refused as fac_write refuses them.
    CachedFile ro(d.at("w"), O_RDONLY);
    ASSERT_EQ(fac_lseek(&ro.info, 0, SEEK_END), static_cast<int64_t>(data.size()));
    errno = 0;
    EXPECT_EQ(fac_writev(&ro.info, v, 3), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(file_bytes(d.at("w")), data);
}
