// File AVL trees and the record cache: the stored shapes (single rotations only), the bytes of
// root and node records, deletion and bound searches, 100,000 keys across reopening, the cache's
// limit, pins and write-back before eviction, damaged files, and degenerate trees far deeper than
// any stack.
#include <algorithm>
#include <numeric>
#include <random>
#include <set>

#include "pdb/treelog.h"
#include "tree_util.h"

using namespace pdbtest;

namespace {

uint64_t root_pos_of(FAVT64_ROOT* r) {
    return r->h.fofs;
}

std::string hex_at(const std::string& bytes, uint64_t pos, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n && pos + i < bytes.size(); i++) {
        snprintf(b, sizeof b, "%02x", static_cast<uint8_t>(bytes[pos + i]));
        s += b;
    }
    return s;
}

std::vector<int32_t> bound_keys(FAVT64_ROOT* r, int32_t lo, int32_t hi, int limit, int* err) {
    int e = 0;
    FAVT64_NODE* top = root_node64(&e, r);
    std::vector<uint8_t> a = int_data(lo, 0);
    std::vector<uint8_t> b = int_data(hi, 0);
    BOUND64_LIST* l =
        favt64_bound_search(&e, r, top, a.data(), b.data(), limit, cmp_assoc64_integer, nullptr);
    std::vector<int32_t> keys;
    for (BOUND64_LIST* x = l; x; x = x->next) {
        int32_t k;
        memcpy(&k, x->data, 4);
        keys.push_back(k);
    }
    free_bound_list64(l);
    *err = e;
    return keys;
}

// Appends a raw 258 record (small, large, level, key, value) at the end: its position.
int64_t raw_node(PDB64* p, uint64_t small, uint64_t large, int32_t level, int32_t key) {
    std::vector<uint8_t> r(48);
    pn64_set(r.data(), PN64_TREE_NODE_TYPE, 48);
    put_be64(r.data() + 16, small);
    put_be64(r.data() + 24, large);
    put_be32(r.data() + 32, static_cast<uint32_t>(level));
    put_be32(r.data() + 36, static_cast<uint32_t>(key));
    put_be64(r.data() + 40, static_cast<uint64_t>(key) * 3);
    return fs_raw_write64(p, r.data(), 0);
}

int64_t raw_root(PDB64* p, uint64_t node) {
    std::vector<uint8_t> r(28);
    pn64_set(r.data(), PN64_TREE_ROOT_TYPE, 28);
    put_be32(r.data() + 16, ASSOC64_INTEGER_KIND);
    put_be64(r.data() + 20, node);
    return fs_raw_write64(p, r.data(), 0);
}

}  // namespace

TEST(PdbFavt, InsertKeepsTheStoredShapeAndBytes) {
    TempDir d;
    PDB64* p = open_rw(d.at("t"));
    ASSERT_NE(p, nullptr);
    // Ascending keys: single rotations keep every node's children within one level.
    FAVT64_ROOT* r = new_int_tree(p);
    ASSERT_NE(r, nullptr);
    for (int32_t k = 1; k <= 7; k++)
        ASSERT_NE(put_key(r, k, k * 10), nullptr);
    EXPECT_EQ(shape(r), "(4 (2 (1 - -) (3 - -)) (6 (5 - -) (7 - -)))");
    EXPECT_EQ(tree_test(r), 7);
    // An equal key returns the node already there and changes nothing.
    FAVT64_NODE* again = put_key(r, 5, 999);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(value_of(again), 50);
    uint64_t first = root_pos_of(r);

    // 3, 1, 2 would need a double rotation; the single one is made, as on every peer's file.
    FAVT64_ROOT* z = new_int_tree(p);
    for (int32_t k : {3, 1, 2})
        ASSERT_NE(put_key(z, k, k), nullptr);
    EXPECT_EQ(shape(z), "(1 - (3 (2 - -) -))");
    EXPECT_EQ(tree_test(z), 3);
    uint64_t second = root_pos_of(z);
    ASSERT_EQ(close_filespace64(p), 0);

    // The records as written: a root (kind 256, top node) and the top node (children, level,
    // the key and value big-endian).
    std::string bytes = file_bytes(d.at("t"));
    std::string root = hex_at(bytes, first, 16);
    EXPECT_EQ(root.substr(0, 16), "0101001000000100") << root;
    uint64_t top = std::stoull(root.substr(16), nullptr, 16);
    std::string node = hex_at(bytes, top, 36);
    EXPECT_EQ(node.substr(0, 8), "01020024");
    EXPECT_EQ(node.substr(40, 32), "00000003000000040000000000000028") << node;

    p = open_rw(d.at("t"));
    ASSERT_NE(p, nullptr);
    r = int_tree_at(p, first);
    z = int_tree_at(p, second);
    ASSERT_NE(r, nullptr);
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(shape(r), "(4 (2 (1 - -) (3 - -)) (6 (5 - -) (7 - -)))");
    EXPECT_EQ(shape(z), "(1 - (3 (2 - -) -))");
    ASSERT_EQ(close_filespace64(p), 0);
    EXPECT_EQ(run_checker("--closed " + d.at("t")).status, 0);
}

TEST(PdbFavt, DeleteSearchAndBoundSearch) {
    TempDir d;
    PDB64* p = open_rw(d.at("t"));
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* r = new_int_tree(p);
    for (int32_t k = 1; k <= 7; k++)
        put_key(r, k, k);
    // Both children of equal level: the largest of the smaller side takes the place.
    int e = 0;
    EXPECT_TRUE(drop_key(r, 4, &e));
    EXPECT_EQ(shape(r), "(3 (2 (1 - -) -) (6 (5 - -) (7 - -)))");
    EXPECT_TRUE(drop_key(r, 3));
    EXPECT_EQ(shape(r), "(2 (1 - -) (6 (5 - -) (7 - -)))");
    // The smaller side lower: the smallest of the larger side.
    EXPECT_TRUE(drop_key(r, 2));
    EXPECT_EQ(shape(r), "(5 (1 - -) (6 - (7 - -)))");
    EXPECT_FALSE(drop_key(r, 4, &e));
    EXPECT_EQ(e, FAVT64_NOT_FOUND);
    EXPECT_EQ(tree_test(r), 4);

    // Bound searches: everything in range ascending; a limit that is reached gives -4.
    e = 0;
    EXPECT_EQ(bound_keys(r, 2, 6, -1, &e), (std::vector<int32_t>{5, 6}));
    EXPECT_EQ(e, 0);
    EXPECT_EQ(bound_keys(r, 2, 6, 0, &e), (std::vector<int32_t>{}));
    EXPECT_EQ(e, FAVT64_LIMIT);
    e = 0;
    EXPECT_EQ(bound_keys(r, 0, 100, 2, &e), (std::vector<int32_t>{1, 5}));
    EXPECT_EQ(e, FAVT64_LIMIT);
    e = 0;
    EXPECT_EQ(bound_keys(r, 3, 4, -1, &e), (std::vector<int32_t>{}));
    EXPECT_EQ(e, 0);

    // A node in the tree cannot be freed.
    FAVT64_NODE* n = find_key(r, 6);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(favt64_free_node(n), -1);
    // Deleting every node leaves the root with no top node; a search then finds nothing.
    for (int32_t k : {1, 5, 6, 7})
        EXPECT_TRUE(drop_key(r, k));
    EXPECT_EQ(r->node.fofs, 0u);
    e = 0;
    EXPECT_EQ(find_key(r, 6, &e), nullptr);
    int32_t six = 6;
    EXPECT_EQ(favt64_search(&e, r, nullptr, &six, cmp_assoc64_integer, nullptr), nullptr);
    EXPECT_EQ(e, FAVT64_NOT_FOUND);
    uint64_t pos = root_pos_of(r);
    ASSERT_EQ(close_filespace64(p), 0);
    // Only the file header, the free-list head and the root are left.
    EXPECT_EQ(file_size(d.at("t")), static_cast<off_t>(pos + 16));
    EXPECT_EQ(run_checker("--closed " + d.at("t")).status, 0);
}

TEST(PdbFavt, HundredThousandKeysSurviveReopening) {
    NoFreelistCheck nc;
    TempDir d;
    const int32_t n = 100000;
    std::vector<int32_t> keys(n);
    std::iota(keys.begin(), keys.end(), -n / 2);
    std::mt19937 rng(11);
    std::shuffle(keys.begin(), keys.end(), rng);
    PDB64* p = open_rw(d.at("big"));
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* r = new_int_tree(p);
    uint64_t at = root_pos_of(r);
    int most = 0;
    for (int32_t k : keys) {
        ASSERT_NE(put_key(r, k, static_cast<int64_t>(k) * 3), nullptr);
        most = std::max(most, favt64_cache_count());
    }
    EXPECT_LE(most, FAVT64_DEFAULT_LIMIT);
    ASSERT_EQ(close_filespace64(p), 0);
    EXPECT_EQ(favt64_cache_count(), 0);

    std::set<int32_t> model(keys.begin(), keys.end());
    auto check = [&](const std::string& when) {
        SCOPED_TRACE(when);
        p = open_rw(d.at("big"));
        ASSERT_NE(p, nullptr);
        r = int_tree_at(p, at);
        ASSERT_NE(r, nullptr);
        int e = 0;
        std::vector<int32_t> up = walk_keys(r, false, &e);
        EXPECT_EQ(e, 0);
        EXPECT_TRUE(std::equal(up.begin(), up.end(), model.begin(), model.end()));
        std::vector<int32_t> down = walk_keys(r, true);
        EXPECT_TRUE(std::equal(down.begin(), down.end(), model.rbegin(), model.rend()));
        EXPECT_EQ(tree_test(r), static_cast<int64_t>(model.size()));
        for (int i = 0; i < 50; i++) {
            int32_t lo = static_cast<int32_t>(rng() % (n + 200)) - n / 2 - 100;
            int32_t hi = lo + static_cast<int32_t>(rng() % 3000);
            std::vector<int32_t> got = bound_keys(r, lo, hi, -1, &e);
            std::vector<int32_t> want(model.lower_bound(lo), model.upper_bound(hi));
            ASSERT_EQ(got, want) << lo << ".." << hi;
            ASSERT_EQ(e, 0);
        }
        for (int i = 0; i < 1000; i++) {
            int32_t k = static_cast<int32_t>(rng() % (n + 20)) - n / 2 - 10;
            FAVT64_NODE* f = find_key(r, k);
            ASSERT_EQ(f != nullptr, model.count(k) == 1) << k;
            if (f) {
                ASSERT_EQ(value_of(f), static_cast<int64_t>(k) * 3);
            }
        }
    };
    check("reopened");
    // A third of the keys go, and the rest survive another reopening.
    for (int32_t i = 0; i < n / 3; i++) {
        ASSERT_TRUE(drop_key(r, keys[static_cast<size_t>(i)])) << keys[static_cast<size_t>(i)];
        model.erase(keys[static_cast<size_t>(i)]);
    }
    ASSERT_EQ(close_filespace64(p), 0);
    check("after deletes");
    ASSERT_EQ(close_filespace64(p), 0);
    CheckResult c = run_checker("--closed " + d.at("big"));
    EXPECT_EQ(c.status, 0) << c.out;
}

TEST(PdbRecordCache, LimitPinsAndWriteBackBeforeEviction) {
    NoFreelistCheck nc;
    TempDir d;
    CacheLimit limit(64);
    PDB64* p = open_rw(d.at("c"));
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* r = new_int_tree(p);
    favt64_lock(r);
    for (int32_t k = 0; k < 3000; k++) {
        ASSERT_NE(put_key(r, k * 2, k), nullptr);
        ASSERT_LE(favt64_cache_count(), 64);
    }
    // A pinned leaf stays cached and linked while everything else comes and goes.
    FAVT64_NODE* pinned = find_key(r, 2 * 1500);
    ASSERT_NE(pinned, nullptr);
    favt64_lock(pinned);
    // A change made in place reaches the file only with the flush, eviction or not.
    FAVT64_NODE* changed = find_key(r, 2 * 10);
    ASSERT_NE(changed, nullptr);
    uint64_t changed_at = changed->h.fofs;
    int64_t v = 777777;
    memcpy(changed->data + 4, &v, 8);
    changed->h.flags |= FAVT64_CHANGED;
    for (int32_t k = 0; k < 3000; k++) {
        ASSERT_NE(find_key(r, k * 2), nullptr);
        ASSERT_NE(put_key(r, k * 2 + 1, k), nullptr);
        ASSERT_LE(favt64_cache_count(), 64);
        ASSERT_EQ(pinned->parent->ptr, pinned);
    }
    EXPECT_EQ(key_of(pinned), 3000);
    void* rec = read_filespace64f(p, changed_at);
    ASSERT_NE(rec, nullptr);
    EXPECT_NE(get_be64(static_cast<uint8_t*>(rec) + 16 + 24), 777777u);
    d_f_ree(rec);
    FAVT64_NODE* again = find_key(r, 2 * 10);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(memcmp(again->data + 4, &v, 8), 0);
    favt64_unlock(pinned);
    favt64_unlock(r);
    check_cache64("cache test");
    // Flushing writes and drops every record of the file.
    ASSERT_EQ(flush_filespace64(p), 0);
    EXPECT_EQ(favt64_cache_count(), 0);
    rec = read_filespace64f(p, changed_at);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(get_be64(static_cast<uint8_t*>(rec) + 16 + 24), 777777u);
    d_f_ree(rec);
    ASSERT_EQ(close_filespace64(p), 0);
    EXPECT_EQ(run_checker("--closed " + d.at("c")).status, 0);
}

TEST(PdbRecordCache, TheRecordPastTheLimitEvictsTheLeastRecentlyUsed) {
    NoFreelistCheck nc;
    TempDir d;
    PDB64* p = open_rw(d.at("e"));
    ASSERT_NE(p, nullptr);
    // Roots are easy to count: each tree's root is one record.
    std::vector<FAVT64_ROOT*> roots;
    for (int i = 0; i < FAVT64_DEFAULT_LIMIT; i++)
        roots.push_back(new_int_tree(p));
    EXPECT_EQ(favt64_cache_count(), FAVT64_DEFAULT_LIMIT);
    std::vector<uint64_t> where;
    for (FAVT64_ROOT* r : roots)
        where.push_back(r->h.fofs);
    // The first root is pinned: the 10001st record evicts the second, which was changed, so every
    // changed record is written first (to the tree log: the file has them after the flush).
    favt64_lock(roots[0]);
    FAVT64_ROOT* extra = new_int_tree(p);
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(favt64_cache_count(), FAVT64_DEFAULT_LIMIT);
    EXPECT_EQ(roots[0]->h.fofs, where[0]);
    void* written = read_filespace64f(p, where[5000]);
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(get_be32(static_cast<uint8_t*>(written) + 16), 0u);
    d_f_ree(written);
    favt64_unlock(roots[0]);
    // The evicted root loads again from its record.
    int e = 0;
    FAVT64_ROOT* back = get_root64(&e, p, where[1], integer_endian64);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->type, ASSOC64_INTEGER_KIND);
    ASSERT_EQ(close_filespace64(p), 0);
    p = open_rw(d.at("e"));
    ASSERT_NE(p, nullptr);
    written = read_filespace64f(p, where[5000]);
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(get_be32(static_cast<uint8_t*>(written) + 16), 256u);
    d_f_ree(written);
    ASSERT_EQ(close_filespace64(p), 0);
}

TEST(PdbFavt, DamagedTreesGiveErrorsNotCrashes) {
    TempDir d;
    QuietPrint q;
    PDB64* p = open_rw(d.at("x"));
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* r = new_int_tree(p);
    for (int32_t k = 1; k <= 7; k++)
        put_key(r, k, k);
    uint64_t root_at = r->h.fofs;
    FAVT64_NODE* top = root_node64(nullptr, r);
    uint64_t top_at = top->h.fofs;
    uint64_t small_at = top->small.fofs;
    ASSERT_EQ(close_filespace64(p), 0);
    std::string good = file_bytes(d.at("x"));

    auto patched = [&](uint64_t pos, uint64_t v) {
        std::string b = good;
        uint8_t x[8];
        put_be64(x, v);
        b.replace(pos, 8, reinterpret_cast<char*>(x), 8);
        put_file(d.at("x"), b);
        return open_rw(d.at("x"));
    };
    int e = 0;
    // A root position that holds a node, and one that holds the file header.
    p = open_rw(d.at("x"));
    EXPECT_EQ(get_root64(&e, p, top_at, integer_endian64), nullptr);
    EXPECT_EQ(e, FAVT64_UNREADABLE);
    e = 0;
    EXPECT_EQ(get_root64(&e, p, 0, integer_endian64), nullptr);
    EXPECT_EQ(e, FAVT64_UNREADABLE);
    // Data of the wrong length for the tree's byte order.
    FAVT64_ROOT* wrong = get_root64(&e, p, root_at, dtree64_endian);
    ASSERT_NE(wrong, nullptr);
    e = 0;
    EXPECT_EQ(root_node64(&e, wrong), nullptr);
    EXPECT_EQ(e, FAVT64_UNREADABLE);
    ASSERT_EQ(close_filespace64(p), 0);

    // The top node's smaller child leads back to the top: levels do not fall, so no walk, search,
    // insert or delete goes round in circles.
    p = patched(top_at + 4, top_at);
    r = int_tree_at(p, root_at);
    ASSERT_NE(r, nullptr);
    e = 0;
    walk_keys(r, false, &e);
    EXPECT_EQ(e, FAVT64_UNREADABLE);
    e = 0;
    EXPECT_EQ(find_key(r, 1, &e), nullptr);
    EXPECT_EQ(e, FAVT64_UNREADABLE);
    e = 0;
    EXPECT_EQ(put_key(r, 0, 0, &e), nullptr);
    EXPECT_EQ(e, FAVT64_UNREADABLE);
    // The readable side is untouched.
    EXPECT_NE(find_key(r, 7), nullptr);
    EXPECT_FALSE(drop_key(r, 6, &e));
    EXPECT_EQ(e, FAVT64_UNREADABLE);
    EXPECT_NE(find_key(r, 6), nullptr);
    ASSERT_EQ(close_filespace64(p), 0);

    // A child reference into the free-list head.
    p = patched(top_at + 4, PN64_FREELIST_POS);
    r = int_tree_at(p, root_at);
    e = 0;
    EXPECT_EQ(find_key(r, 1, &e), nullptr);
    EXPECT_EQ(e, FAVT64_UNREADABLE);
    ASSERT_EQ(close_filespace64(p), 0);
    (void)small_at;

    // A chain of 64 levels whose every node has both children at the next: 2^64 paths. The walk
    // stops once it has visited more nodes than the file can hold.
    put_file(d.at("dag"), "");
    p = open_rw(d.at("dag"));
    ASSERT_NE(p, nullptr);
    int64_t base = raw_root(p, 0) + 16;
    for (int i = 0; i < 64; i++) {
        uint64_t next = i < 63 ? static_cast<uint64_t>(base + (i + 1) * 36) : 0;
        ASSERT_EQ(raw_node(p, next, next, 64 - i, i), base + i * 36);
    }
    ASSERT_EQ(flush_filespace64(p), 0);
    void* root_rec = read_filespace64f(p, static_cast<uint64_t>(base - 16));
    ASSERT_NE(root_rec, nullptr);
    put_be64(static_cast<uint8_t*>(root_rec) + 20, static_cast<uint64_t>(base));
    ASSERT_GT(write_filespace64f(p, static_cast<uint64_t>(base - 16), root_rec), 0);
    d_f_ree(root_rec);
    r = int_tree_at(p, static_cast<uint64_t>(base - 16));
    ASSERT_NE(r, nullptr);
    e = 0;
    walk_keys(r, false, &e);
    EXPECT_EQ(e, FAVT64_UNREADABLE);
    e = 0;
    bound_keys(r, 0, 1000, -1, &e);
    EXPECT_EQ(e, FAVT64_UNREADABLE);
    discard_favt64_cache(p);
    ASSERT_EQ(close_filespace64(p), 0);
}

TEST(PdbFavt, DegenerateTreesDeeperThanAnyStack) {
    NoFreelistCheck nc;
    TempDir d;
    // A chain of 100,000 nodes, each the larger child of the one before: a shape no insertion
    // makes, but a file may hold. Every operation goes the whole way down without recursing.
    const int n = 100000;
    PDB64* p = open_rw(d.at("deep"));
    ASSERT_NE(p, nullptr);
    int64_t root_at = raw_root(p, 0);
    int64_t base = root_at + 16;
    for (int i = 0; i < n; i++) {
        uint64_t next = i + 1 < n ? static_cast<uint64_t>(base + (i + 1) * 36) : 0;
        ASSERT_EQ(raw_node(p, 0, next, n - i, i), base + i * 36);
    }
    void* rec = read_filespace64f(p, static_cast<uint64_t>(root_at));
    put_be64(static_cast<uint8_t*>(rec) + 20, static_cast<uint64_t>(base));
    ASSERT_GT(write_filespace64f(p, static_cast<uint64_t>(root_at), rec), 0);
    d_f_ree(rec);

    FAVT64_ROOT* r = int_tree_at(p, static_cast<uint64_t>(root_at));
    ASSERT_NE(r, nullptr);
    favt64_lock(r);
    std::vector<int32_t> up = walk_keys(r);
    ASSERT_EQ(up.size(), static_cast<size_t>(n));
    EXPECT_TRUE(std::is_sorted(up.begin(), up.end()));
    EXPECT_EQ(walk_keys(r, true).front(), n - 1);
    FAVT64_NODE* last = find_key(r, n - 1);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(value_of(last), static_cast<int64_t>(n - 1) * 3);
    int e = 0;
    EXPECT_EQ(bound_keys(r, n - 5, n + 5, -1, &e).size(), 5u);
    // Inserting at the bottom rotates at every level on the way up; deleting goes down again.
    ASSERT_NE(put_key(r, n, 0), nullptr);
    EXPECT_TRUE(drop_key(r, n - 2));
    EXPECT_TRUE(drop_key(r, 0));
    EXPECT_EQ(tree_test(r), n - 1);
    EXPECT_LE(favt64_cache_count(), FAVT64_DEFAULT_LIMIT);
    favt64_unlock(r);
    ASSERT_EQ(close_filespace64(p), 0);
    CheckResult c = run_checker("--closed " + d.at("deep"));
    EXPECT_EQ(c.status, 0) << c.out;
}

// Between two flushes the tree log holds one image of each record written back, however often it
// was: N nodes changed K times each under a small record cache give N images, kept in memory or
// written to the log file at once; the flush leaves the log empty and its file cut to nothing,
// and the next opening finds every change.
TEST(PdbFavt, TheTreeLogHoldsOneImagePerRecordAndIsEmptyAfterTheFlush) {
    constexpr int N = 300, K = 4;
    constexpr uint64_t NODE_ON_FILE = 4 + 20 + 12, ENTRY = 12 + NODE_ON_FILE, HEAD = 16;
    for (size_t memory : {size_t{32} << 20, size_t{0}}) {
        SCOPED_TRACE(memory);
        size_t was = tree_log_set_memory(memory);
        TempDir d;
        std::string path = d.at("logged");
        PDB64* p = open_rw(path);
        ASSERT_NE(p, nullptr);
        FAVT64_ROOT* r = new_int_tree(p);
        ASSERT_NE(r, nullptr);
        uint64_t root_at = r->h.fofs;
        for (int32_t key = 0; key < N; key++)
            ASSERT_NE(put_key(r, key, 0), nullptr);
        ASSERT_EQ(flush_filespace64(p), 0);
        uint64_t images = 1;
        EXPECT_EQ(tree_log_size(p, &images), 0u);
        EXPECT_EQ(images, 0u);
        {
            CacheLimit c(24);
            for (int64_t k = 1; k <= K; k++) {
                r = int_tree_at(p, root_at);
                ASSERT_NE(r, nullptr);
                favt64_lock(r);
                for (int32_t key = 0; key < N; key++) {
                    FAVT64_NODE* n = find_key(r, key);
                    ASSERT_NE(n, nullptr);
                    memcpy(n->data + 4, &k, 8);
                    n->h.flags |= FAVT64_CHANGED;
                }
                favt64_unlock(r);
            }
        }
        uint64_t bytes = tree_log_size(p, &images);
        EXPECT_EQ(images, uint64_t{N});
        EXPECT_EQ(bytes, HEAD + N * ENTRY);
        if (memory == 0) {
            EXPECT_EQ(file_size(path + ".tlog"), static_cast<off_t>(bytes));
        }
        ASSERT_EQ(flush_filespace64(p), 0);
        EXPECT_EQ(tree_log_size(p, &images), 0u);
        EXPECT_EQ(images, 0u);
        EXPECT_EQ(file_size(path + ".tlog"), 0);
        ASSERT_EQ(close_filespace64(p), 0);
        p = open_rw(path);
        r = int_tree_at(p, root_at);
        ASSERT_NE(r, nullptr);
        favt64_lock(r);
        for (int32_t key = 0; key < N; key++) {
            FAVT64_NODE* n = find_key(r, key);
            EXPECT_TRUE(n && value_of(n) == K) << key;
        }
        favt64_unlock(r);
        ASSERT_EQ(close_filespace64(p), 0);
        tree_log_set_memory(was);
    }
}

// A committed tree log of the earlier form (its commit the hash of every byte before it), left by
// a writer of an earlier build killed after its commit, is completed by the next writer; the same
// log with a damaged byte is dropped.
TEST(PdbFavt, ACommittedLogOfTheEarlierFormIsCompleted) {
    QuietPrint q;
    for (bool damaged : {false, true}) {
        TempDir d;
        std::string path = d.at("old");
        PDB64* p = open_rw(path);
        FAVT64_ROOT* r = new_int_tree(p);
        ASSERT_NE(r, nullptr);
        uint64_t root_at = r->h.fofs;
        ASSERT_NE(put_key(r, 5, 1), nullptr);
        uint64_t node_at = find_key(r, 5)->h.fofs;
        ASSERT_EQ(close_filespace64(p), 0);
        std::string node = file_bytes(path).substr(node_at, 36);
        node[35] = 2;  // the value, big-endian, now 2
        std::string log = std::string("VXTLOG01") + std::string(8, '\0');
        uint8_t eh[12];
        put_be64(eh, node_at);
        put_be32(eh + 8, 36);
        log += std::string(reinterpret_cast<char*>(eh), 12) + node;
        uint64_t h = 0xcbf29ce484222325ull;
        for (unsigned char c : log)
            h = (h ^ c) * 0x100000001b3ull;
        uint8_t commit[20] = {};
        put_be32(commit + 8, 8);
        put_be64(commit + 12, h);
        log += std::string(reinterpret_cast<char*>(commit), 20);
        if (damaged) log[30] ^= 1;
        put_file(path + ".tlog", log);
        p = open_rw(path);
        ASSERT_NE(p, nullptr);
        r = int_tree_at(p, root_at);
        ASSERT_NE(r, nullptr);
        FAVT64_NODE* n = find_key(r, 5);
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(value_of(n), damaged ? 1 : 2);
        ASSERT_EQ(close_filespace64(p), 0);
    }
}
