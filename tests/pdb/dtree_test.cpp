// Record lists and character trees: joining pieces behind a header, next levels created and freed,
// longest and perfect matches, value lists that grow and dissolve, walks that give a key before its
// extensions in both directions, a random model comparison across reopening, and damaged levels.
#include <algorithm>
#include <map>
#include <random>

#include "pdb/recordlist64.h"
#include "tree_util.h"

using namespace pdbtest;

namespace {

// A value: the position of a small record (walks read the record a single value names).
uint64_t value_record(PDB64* p, uint32_t seed) {
    return static_cast<uint64_t>(put_record(p, 514, 24, seed));
}

FAVT64_NODE* entry_of(FAVT64_ROOT* level, L_CHAR ch) {
    int e = 0;
    FAVT64_NODE* top = root_node64(&e, level);
    return top ? favt64_search(&e, level, top, &ch, dtree64_cmp, nullptr) : nullptr;
}

struct Visit {
    std::string key;
    uint64_t value;
    bool with_record;
};

std::vector<Visit> walk(FAVT64_ROOT* root, bool descending, int* result = nullptr,
                        const std::string& stop_at = "") {
    struct W {
        std::vector<Visit> v;
        std::string stop;
    } w{{}, stop_at};
    auto f = [](uint64_t value, void* rec, DTREE64_TRACE_WORK* tw) {
        auto* w = static_cast<W*>(tw->w);
        std::string k;
        for (const L_CHAR* c = tw->target; *c; c++)
            k += static_cast<char>(*c);
        w->v.push_back({k, value, rec != nullptr});
        if (rec) {
            EXPECT_EQ(pn64_type(rec), 514);
        }
        return k == w->stop ? 5 : 0;
    };
    int e = 0;
    int r = descending ? dtree64_trace_from_large(&e, root, f, &w)
                       : dtree64_trace_from_small(&e, root, f, &w);
    if (result) *result = r;
    return w.v;
}

std::vector<std::string> keys_of(const std::vector<Visit>& v) {
    std::vector<std::string> k;
    for (const Visit& x : v)
        k.push_back(x.key);
    return k;
}

uint64_t find(FAVT64_ROOT* root, const std::string& key, int perfect, int* size = nullptr) {
    std::vector<L_CHAR> k = lkey(key);
    int e = 0;
    return search_dtree64(&e, size, root, k.data(), perfect);
}

int put(FAVT64_ROOT* root, const std::string& key, uint64_t old, uint64_t v) {
    std::vector<L_CHAR> k = lkey(key);
    int e = 0;
    return insert_dtree64(&e, root, k.data(), old, v);
}

int del(FAVT64_ROOT* root, const std::string& key, uint64_t old) {
    std::vector<L_CHAR> k = lkey(key);
    int e = 0;
    return delete_dtree64(&e, root, k.data(), old);
}

// The order of a descending walk: characters descending, a key before its extensions.
bool descending_before(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++)
        if (a[i] != b[i]) return a[i] > b[i];
    return a.size() < b.size();
}

}  // namespace

TEST(PdbRecordList, PiecesJoinBehindTheHeader) {
    // 48 bytes of fixed part and pieces of 8, 0 and 24 bytes: an 80-byte record.
    RECORD_LIST64* l = new_recordlist64(600, 48);
    EXPECT_EQ(l->enable_header, 1u);
    EXPECT_EQ(pn64_size(l->data), 48u);
    memset(l->data + 16, 'F', 32);
    auto* a = static_cast<char*>(d_alloc(8));
    memset(a, 'A', 8);
    set_recordlist_chain64(l, a, 8, 1);
    char c[24];
    memset(c, 'C', 24);
    set_recordlist_chain64(l, c, 24, 0);
    set_recordlist_chain64_middle(l, l->chain_head, nullptr, 0, 0);
    EXPECT_EQ(l->chain_head->next->len, 0);
    EXPECT_EQ(l->chain_tail->len, 24);
    // Sizing alone sets the copy's size, not the list's own header.
    setup_recordlist64_size(l);
    EXPECT_EQ(pn64_size(l->data), 80u);
    EXPECT_EQ(l->header.size, 48u);
    EXPECT_EQ(setup_recordlist64(l), 80);
    EXPECT_EQ(l->header.size, 80u);
    EXPECT_EQ(pn64_size(l->data), 80u);
    EXPECT_EQ(pn64_type(l->data), 600);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(l->data) + 16, 64),
              std::string(32, 'F') + std::string(8, 'A') + std::string(24, 'C'));
    EXPECT_EQ(l->chain_head, nullptr);
    // The cursor.
    EXPECT_EQ(check_recordlist_ptr64(l), -1);
    set_recordlist_ptr64(l, 80);
    EXPECT_EQ(check_recordlist_ptr64(l), 1);
    set_recordlist_ptr64(l, 10);
    EXPECT_EQ(l->ptr, nullptr);
    EXPECT_EQ(check_recordlist_ptr64(l), -1);

    // Size 0: a plain buffer of the pieces, no header; a list without pieces joins to nothing.
    RECORD_LIST64* plain = new_recordlist64(601, 0);
    set_recordlist_chain64(plain, c, 5, 0);
    auto* b = static_cast<char*>(d_alloc(3));
    memcpy(b, "xyz", 3);
    set_recordlist_chain64(plain, b, 3, 1);
    RECORD_LIST64* empty = new_recordlist64(602, 24);
    plain->next = empty;
    EXPECT_EQ(setup_recordlist64(plain), 8);
    EXPECT_EQ(plain->enable_header, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(plain->data), 8), "CCCCCxyz");
    EXPECT_EQ(pn64_size(empty->data), 24u);
    free_recordlist64(plain);
    free_recordlist64(l);
}

TEST(PdbRecordList, ASizeBelowTheHeaderJoinsItsPiecesBehindTheWholeHeader) {
    for (uint64_t size = 1; size < 16; size++) {
        for (int64_t len : {4, 16}) {
            SCOPED_TRACE("size " + std::to_string(size) + " piece " + std::to_string(len));
            RECORD_LIST64* l = new_recordlist64(603, size);
            auto* piece = static_cast<char*>(d_alloc(len));
            memset(piece, 'P', static_cast<size_t>(len));
            set_recordlist_chain64(l, piece, len, 1);
            setup_recordlist64_size(l);
            EXPECT_EQ(pn64_size(l->data), static_cast<uint64_t>(16 + len));
            EXPECT_EQ(setup_recordlist64(l), 16 + len);
            EXPECT_EQ(l->header.size, static_cast<uint64_t>(16 + len));
            EXPECT_EQ(pn64_size(l->data), static_cast<uint64_t>(16 + len));
            EXPECT_EQ(pn64_type(l->data), 603);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(l->data) + 16, static_cast<size_t>(len)),
                      std::string(static_cast<size_t>(len), 'P'));
            free_recordlist64(l);
        }
    }
}

TEST(PdbDtree, NextLevelsComeAndGoAndMatchesAreLongestOrPerfect) {
    TempDir d;
    PDB64* p = open_rw(d.at("t"));
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* root = alloc64_dtree(p, 258);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->type, 259);
    favt64_lock(root);
    uint64_t v1 = value_record(p, 1);
    uint64_t v2 = value_record(p, 2);
    ASSERT_EQ(put(root, "ab", 0, v1), 0);
    ASSERT_EQ(put(root, "abc", 0, v2), 0);
    // a -> level 2 holding b (value v1) -> level 3 holding c (value v2).
    FAVT64_NODE* a = entry_of(root, 'a');
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(dtree64_node(a).data, 0u);
    int e = 0;
    FAVT64_ROOT* second = get_root64(&e, p, dtree64_node(a).tree, dtree64_endian);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->type, 2);
    FAVT64_NODE* b = entry_of(second, 'b');
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(dtree64_node(b).data, v1);
    uint64_t third = dtree64_node(b).tree;
    ASSERT_NE(third, 0u);

    int size = -7;
    EXPECT_EQ(find(root, "ab", 1, &size), v1);
    EXPECT_EQ(size, 2);
    size = -7;
    EXPECT_EQ(find(root, "abx", 0, &size), v1);
    EXPECT_EQ(size, 2);
    size = -7;
    EXPECT_EQ(find(root, "abx", 1, &size), 0u);
    EXPECT_EQ(size, -7);
    EXPECT_EQ(find(root, "abcd", 0, &size), v2);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(find(root, "a", 0, &size), 0u);
    EXPECT_EQ(size, 1);
    EXPECT_EQ(find(root, "x", 0, &size), 0u);
    EXPECT_EQ(size, 0);

    // Deleting abc frees the third level and clears b's reference; b keeps its value.
    ASSERT_EQ(del(root, "abc", 0), 0);
    b = entry_of(second, 'b');
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(dtree64_node(b).tree, 0u);
    EXPECT_EQ(dtree64_node(b).data, v1);
    // Its record stays a root until the flush: the trees on file still name it.
    void* gone = read_filespace64f_header(p, third);
    EXPECT_TRUE(gone && pn64_type(gone) == PN64_TREE_ROOT_TYPE);
    d_f_ree(gone);
    EXPECT_EQ(del(root, "abc", 0), -1);
    EXPECT_EQ(del(root, "ab", v2), -1);
    // Deleting the only key empties the top level but keeps its root.
    ASSERT_EQ(del(root, "ab", 0), 0);
    EXPECT_EQ(root->node.fofs, 0u);
    EXPECT_EQ(find(root, "ab", 0, &size), 0u);
    // Empty keys are refused.
    std::vector<L_CHAR> none{0};
    EXPECT_EQ(insert_dtree64(&e, root, none.data(), 0, v1), -1);
    EXPECT_EQ(delete_dtree64(&e, root, none.data(), 0), -1);
    EXPECT_EQ(search_dtree64(&e, nullptr, root, none.data(), 0), 0u);
    uint64_t at = root->h.fofs;
    favt64_unlock(root);
    ASSERT_EQ(close_filespace64(p), 0);
    p = open_rw(d.at("t"));
    // Flushed, the third level's record is free space (or cut off with the end of the file).
    gone = read_filespace64f_header(p, third);
    EXPECT_TRUE(!gone || pn64_type(gone) == PN64_FREE_EXTENT_TYPE);
    d_f_ree(gone);
    root = get_root64(&e, p, at, dtree64_endian);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->type, 259);
    EXPECT_EQ(root->node.fofs, 0u);
    ASSERT_EQ(close_filespace64(p), 0);
    EXPECT_EQ(run_checker("--closed " + d.at("t")).status, 0);
}

TEST(PdbDtree, ValueListsGrowAndDissolve) {
    TempDir d;
    PDB64* p = open_rw(d.at("v"));
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* root = alloc64_dtree(p, 0);
    favt64_lock(root);
    uint64_t v[5];
    for (int i = 0; i < 5; i++)
        v[i] = value_record(p, static_cast<uint32_t>(i));
    ASSERT_EQ(put(root, "k", 0, v[0]), 0);
    EXPECT_EQ(put(root, "k", v[1], v[2]), -1);
    ASSERT_EQ(put(root, "k", 0, v[1]), 0);
    uint64_t list = find(root, "k", 1);
    void* rec = read_filespace64f(p, list);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(pn64_type(rec), PN64_DTREE_DATA_TYPE);
    EXPECT_EQ(pn64_size(rec), 32u);
    EXPECT_EQ(get_be64(static_cast<uint8_t*>(rec) + 16), v[0]);
    EXPECT_EQ(get_be64(static_cast<uint8_t*>(rec) + 24), v[1]);
    d_f_ree(rec);
    ASSERT_EQ(put(root, "k", 0, v[2]), 0);
    ASSERT_EQ(put(root, "k", v[1], v[3]), 0);
    EXPECT_EQ(put(root, "k", v[4], v[3]), -1);
    std::vector<Visit> w = walk(root, false);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0].value, v[0]);
    EXPECT_EQ(w[1].value, v[3]);
    EXPECT_EQ(w[2].value, v[2]);
    EXPECT_FALSE(w[0].with_record);
    // Removing keeps the others' order; at one value the list dissolves.
    ASSERT_EQ(del(root, "k", v[3]), 0);
    EXPECT_EQ(del(root, "k", v[4]), -1);
    ASSERT_EQ(del(root, "k", v[0]), 0);
    EXPECT_EQ(find(root, "k", 1), v[2]);
    w = walk(root, false);
    ASSERT_EQ(w.size(), 1u);
    EXPECT_TRUE(w[0].with_record);
    // A list removed as a whole.
    ASSERT_EQ(put(root, "k", 0, v[4]), 0);
    ASSERT_EQ(del(root, "k", 0), 0);
    EXPECT_EQ(find(root, "k", 1), 0u);
    favt64_unlock(root);
    ASSERT_EQ(close_filespace64(p), 0);
}

// A value taken out of a list of three whose shorter list cannot be written fails and leaves the
// entry naming its whole list: the list is not handed over to be freed while the entry names it.
TEST(PdbDtree, ADeleteWhoseShorterListCannotBeWrittenKeepsTheList) {
    TempDir d;
    PDB64* p = open_rw(d.at("v"));
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* root = alloc64_dtree(p, 0);
    favt64_lock(root);
    uint64_t v[3];
    for (int i = 0; i < 3; i++) {
        v[i] = value_record(p, static_cast<uint32_t>(i));
        ASSERT_EQ(put(root, "k", 0, v[i]), 0);
    }
    ASSERT_EQ(flush_filespace64(p), 0);
    // The shorter list would go where the next record is placed: the end of the file, or the
    // first free extent.
    uint64_t target = static_cast<uint64_t>(fac_lseek(&p->fac, 0, SEEK_END)) + 8;
    if (FREELIST64* x = next_freelist64(p, p->freelist_work)) target = x->fofs + 16;
    {
        PrintCapture cap;
        set_debug_target_fofs(target);
        EXPECT_EQ(del(root, "k", v[1]), -1);
        set_debug_target_fofs(~0ull);
    }
    ASSERT_EQ(flush_filespace64(p), 0);
    // A record placed now cannot take the list's room.
    uint64_t extra = value_record(p, 9);
    EXPECT_NE(extra, 0u);
    std::vector<Visit> w = walk(root, false);
    ASSERT_EQ(w.size(), 3u);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(w[i].value, v[i]);
    favt64_unlock(root);
    ASSERT_EQ(close_filespace64(p), 0);
    CheckResult c = run_checker("--closed " + d.at("v"));
    EXPECT_EQ(c.status, 0) << c.out;
}

TEST(PdbDtree, WalksGiveAKeyBeforeItsExtensionsInBothDirections) {
    NoFreelistCheck nc;
    TempDir d;
    PDB64* p = open_rw(d.at("w"));
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* root = alloc64_dtree(p, 258);
    uint64_t at = root->h.fofs;
    favt64_lock(root);
    for (const char* k : {"b", "abc", "ba", "a", "c", "ab", "bab"})
        ASSERT_EQ(put(root, k, 0, value_record(p, 9)), 0);
    EXPECT_EQ(keys_of(walk(root, false)),
              (std::vector<std::string>{"a", "ab", "abc", "b", "ba", "bab", "c"}));
    EXPECT_EQ(keys_of(walk(root, true)),
              (std::vector<std::string>{"c", "b", "ba", "bab", "a", "ab", "abc"}));
    int r = 0;
    EXPECT_EQ(keys_of(walk(root, false, &r, "ba")),
              (std::vector<std::string>{"a", "ab", "abc", "b", "ba"}));
    EXPECT_EQ(r, 5);

    // Random keys over a small alphabet against a model, across reopening and deletions.
    std::mt19937 rng(5);
    std::map<std::string, uint64_t> model;
    for (const char* k : {"b", "abc", "ba", "a", "c", "ab", "bab"})
        model[k] = find(root, k, 1);
    for (int i = 0; i < 1500; i++) {
        std::string k;
        int len = 1 + static_cast<int>(rng() % 6);
        for (int j = 0; j < len; j++)
            k += static_cast<char>('a' + rng() % 4);
        if (model.count(k)) continue;
        uint64_t v = value_record(p, static_cast<uint32_t>(i));
        ASSERT_EQ(put(root, k, 0, v), 0);
        model[k] = v;
    }
    favt64_unlock(root);
    auto check = [&] {
        int e = 0;
        root = get_root64(&e, p, at, dtree64_endian);
        ASSERT_NE(root, nullptr);
        std::vector<std::string> want;
        for (auto& kv : model)
            want.push_back(kv.first);
        EXPECT_EQ(keys_of(walk(root, false)), want);
        std::sort(want.begin(), want.end(), descending_before);
        EXPECT_EQ(keys_of(walk(root, true)), want);
        for (auto& kv : model)
            ASSERT_EQ(find(root, kv.first, 1), kv.second) << kv.first;
    };
    ASSERT_EQ(close_filespace64(p), 0);
    p = open_rw(d.at("w"));
    check();
    std::vector<std::string> all;
    for (auto& kv : model)
        all.push_back(kv.first);
    std::shuffle(all.begin(), all.end(), rng);
    for (size_t i = 0; i < all.size() / 2; i++) {
        ASSERT_EQ(del(root, all[i], 0), 0) << all[i];
        free_filespace64(p, model[all[i]]);
        model.erase(all[i]);
    }
    check();
    ASSERT_EQ(close_filespace64(p), 0);
    CheckResult c = run_checker("--closed " + d.at("w"));
    EXPECT_EQ(c.status, 0) << c.out;
}

TEST(PdbDtree, DamagedLevelsGiveErrors) {
    TempDir d;
    QuietPrint q;
    PDB64* p = open_rw(d.at("x"));
    ASSERT_NE(p, nullptr);
    FAVT64_ROOT* root = alloc64_dtree(p, 258);
    favt64_lock(root);
    ASSERT_EQ(put(root, "ab", 0, value_record(p, 1)), 0);
    // a's next level made to be the top level itself: a loop over levels.
    FAVT64_NODE* a = entry_of(root, 'a');
    ASSERT_NE(a, nullptr);
    dtree64_set_tree(a, root->h.fofs);
    int r = 0;
    walk(root, false, &r);
    EXPECT_EQ(r, FAVT64_UNREADABLE);
    // A next level that is no root, and a value that names no record.
    dtree64_set_tree(a, PN64_FREELIST_POS);
    EXPECT_EQ(find(root, "ab", 1), 0u);
    EXPECT_EQ(put(root, "ab", 0, 1), -1);
    EXPECT_EQ(del(root, "ab", 0), -1);
    walk(root, false, &r);
    EXPECT_EQ(r, FAVT64_UNREADABLE);
    dtree64_set_tree(a, 0);
    dtree64_set_data(a, 3);
    walk(root, false, &r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(put(root, "a", 0, 77), -1);
    favt64_unlock(root);
    discard_favt64_cache(p);
    ASSERT_EQ(close_filespace64(p), 0);
}

// Keys of thousands of characters: one level per character, far more levels than the record cache
// holds. Each length gets a key, a prefix of it and a key branching off it in the middle; they are
// found, walked in order both ways with the whole key at hand, and deleted down to the top root.
TEST(PdbDtree, KeysOfAnyLengthWalkAndDeleteDownToTheTopRoot) {
    NoFreelistCheck nc;
    NoRingCheck rc;
    for (size_t n : {size_t{6000}, size_t{50000}, size_t{100003}}) {
        SCOPED_TRACE(n);
        TempDir d;
        PDB64* p = open_rw(d.at("l"));
        ASSERT_NE(p, nullptr);
        FAVT64_ROOT* root = alloc64_dtree(p, 258);
        ASSERT_NE(root, nullptr);
        uint64_t at = root->h.fofs;
        ASSERT_EQ(close_filespace64(p), 0);
        off_t empty_size = file_size(d.at("l"));
        p = open_rw(d.at("l"));
        ASSERT_NE(p, nullptr);
        int e = 0;
        root = get_root64(&e, p, at, dtree64_endian);
        ASSERT_NE(root, nullptr);
        favt64_lock(root);
        std::string key;
        for (size_t i = 0; i < n; i++)
            key += static_cast<char>('b' + (i * 7 + i / 26) % 24);
        std::string prefix = key.substr(0, n / 2);
        std::string branch = key.substr(0, n / 3) + 'a' + key.substr(0, 50);
        const std::string keys[3] = {key, prefix, branch};
        uint64_t v[3];
        for (int i = 0; i < 3; i++) {
            v[i] = value_record(p, static_cast<uint32_t>(i));
            ASSERT_EQ(put(root, keys[i], 0, v[i]), 0);
        }
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(find(root, keys[i], 1), v[i]);
        int size = 0;
        EXPECT_EQ(find(root, key + "zz", 0, &size), v[0]);
        EXPECT_EQ(size, static_cast<int>(n));
        EXPECT_EQ(find(root, key + "zz", 1), 0u);

        // The branch ('a' below every other character) comes before the longer keys, and a
        // key before its extensions in both directions.
        int r = -9;
        std::vector<Visit> up = walk(root, false, &r);
        EXPECT_EQ(r, 0);
        ASSERT_EQ(up.size(), 3u);
        EXPECT_TRUE(up[0].key == branch && up[0].value == v[2] && up[0].with_record);
        EXPECT_TRUE(up[1].key == prefix && up[1].value == v[1]);
        EXPECT_TRUE(up[2].key == key && up[2].value == v[0]);
        std::vector<Visit> down = walk(root, true, &r);
        EXPECT_EQ(r, 0);
        ASSERT_EQ(down.size(), 3u);
        EXPECT_TRUE(down[0].key == prefix && down[1].key == key && down[2].key == branch);

        // The key goes first: its levels below the prefix go, the prefix and branch stay.
        ASSERT_EQ(del(root, key, 0), 0);
        EXPECT_EQ(find(root, key, 1), 0u);
        EXPECT_EQ(find(root, prefix, 1), v[1]);
        EXPECT_EQ(find(root, key, 0, &size), v[1]);
        EXPECT_EQ(size, static_cast<int>(prefix.size()));
        ASSERT_EQ(del(root, branch, 0), 0);
        ASSERT_EQ(del(root, prefix, 0), 0);
        EXPECT_EQ(del(root, prefix, 0), -1);
        EXPECT_EQ(root->node.fofs, 0u);
        EXPECT_TRUE(walk(root, false, &r).empty());
        EXPECT_EQ(r, 0);
        for (uint64_t x : v)
            ASSERT_EQ(free_filespace64(p, x), 0);
        favt64_unlock(root);
        ASSERT_EQ(close_filespace64(p), 0);
        // Every level's root and entry went back to the free list: the file is the empty tree.
        EXPECT_EQ(file_size(d.at("l")), empty_size);
        p = open_rw(d.at("l"));
        ASSERT_NE(p, nullptr);
        root = get_root64(&e, p, at, dtree64_endian);
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(root->node.fofs, 0u);
        ASSERT_EQ(close_filespace64(p), 0);
        CheckResult c = run_checker("--closed --freelist " + d.at("l"));
        EXPECT_EQ(c.status, 0) << c.out;
    }
}
