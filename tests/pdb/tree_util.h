// Helpers of the tree tests: integer-keyed file AVL trees (the layout of integer indexes: key s32,
// value s64), their shapes, and character-tree keys.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "lisp/heap.h"
#include "pdb/associate64.h"
#include "pdb/dtree64.h"
#include "pdb/favt64.h"
#include "pdb/l_favt64.h"
#include "pdb_util.h"

namespace pdbtest {

// Diagnostic lines dropped for one scope.
class QuietPrint {
  public:
    QuietPrint() { set_pdb_print(quiet); }
    ~QuietPrint() { set_pdb_print(nullptr); }
    QuietPrint(const QuietPrint&) = delete;
    QuietPrint& operator=(const QuietPrint&) = delete;

  private:
    static int quiet(const char*, va_list) { return 0; }
};

// Roots the language values the calling thread makes, for one scope. The collector task runs on
// its own and takes whatever no frame of a thread holds, so a value a test keeps in a local (read
// from text, or handed back by the store) needs one.
class GcFrame {
  public:
    GcFrame() { gc_push(nullptr, nullptr, "pdb test"); }
    ~GcFrame() { gc_pop(nullptr, nullptr); }
    GcFrame(const GcFrame&) = delete;
    GcFrame& operator=(const GcFrame&) = delete;
};

// The record cache's limit for one scope.
class CacheLimit {
  public:
    explicit CacheLimit(int records) : old_(favt64_set_limit(records)) {}
    ~CacheLimit() { favt64_set_limit(old_); }
    CacheLimit(const CacheLimit&) = delete;
    CacheLimit& operator=(const CacheLimit&) = delete;

  private:
    int old_;
};

// The full free-list check switched off for one scope (it walks the whole list each time).
class NoFreelistCheck {
  public:
    NoFreelistCheck() : was_(freelist64_check_on.exchange(false)) {}
    ~NoFreelistCheck() { freelist64_check_on = was_; }

  private:
    bool was_;
};

// The record cache's ring checks switched off for one scope (each walks the whole cache).
class NoRingCheck {
  public:
    NoRingCheck() : was_(favt64_check_on.exchange(false)) {}
    ~NoRingCheck() { favt64_check_on = was_; }

  private:
    bool was_;
};

inline std::vector<uint8_t> int_data(int32_t key, int64_t value) {
    std::vector<uint8_t> d(12);
    memcpy(d.data(), &key, 4);
    memcpy(d.data() + 4, &value, 8);
    return d;
}

inline int32_t key_of(const FAVT64_NODE* n) {
    int32_t k;
    memcpy(&k, n->data, 4);
    return k;
}

inline int64_t value_of(const FAVT64_NODE* n) {
    int64_t v;
    memcpy(&v, n->data + 4, 8);
    return v;
}

inline FAVT64_ROOT* new_int_tree(PDB64* p) {
    return favt64_alloc_root(p, ASSOC64_INTEGER_KIND, integer_endian64);
}

inline FAVT64_ROOT* int_tree_at(PDB64* p, uint64_t fofs, int* err = nullptr) {
    int e = 0;
    FAVT64_ROOT* r = get_root64(&e, p, fofs, integer_endian64);
    if (err) *err = e;
    return r;
}

// Inserts key with value: the node standing for the key (a new node that loses is freed).
inline FAVT64_NODE* put_key(FAVT64_ROOT* r, int32_t key, int64_t value, int* err = nullptr) {
    std::vector<uint8_t> d = int_data(key, value);
    FAVT64_NODE* n = favt64_alloc_node(r, d.data(), 12);
    if (!n) return nullptr;
    int e = 0;
    FAVT64_NODE* got = favt64_insert(&e, r, &r->node, n, cmp_assoc64_integer, nullptr);
    if (got != n) favt64_free_node(n);
    if (err) *err = e;
    return got;
}

inline FAVT64_NODE* find_key(FAVT64_ROOT* r, int32_t key, int* err = nullptr) {
    int e = 0;
    FAVT64_NODE* top = root_node64(&e, r);
    FAVT64_NODE* n = top ? favt64_search(&e, r, top, &key, cmp_assoc64_integer, nullptr) : nullptr;
    if (err) *err = e;
    return n;
}

// Deletes and frees key's node: true when it was there.
inline bool drop_key(FAVT64_ROOT* r, int32_t key, int* err = nullptr) {
    int e = 0;
    FAVT64_NODE* n = favt64_delete(&e, r, &r->node, &key, cmp_assoc64_integer, nullptr);
    if (err) *err = e;
    if (!n) return false;
    return favt64_free_node(n) == 0;
}

// The keys in walk order (ascending or descending); err gets the walk's error.
inline std::vector<int32_t> walk_keys(FAVT64_ROOT* r, bool descending = false, int* err = nullptr) {
    std::vector<int32_t> keys;
    int e = 0;
    FAVT64_NODE* top = root_node64(&e, r);
    if (top) {
        auto f = [](FAVT64_NODE* n, void* w) {
            static_cast<std::vector<int32_t>*>(w)->push_back(key_of(n));
            return 0;
        };
        if (descending)
            favt64_trace_from_large(&e, r, top, f, &keys);
        else
            favt64_trace_from_small(&e, r, top, f, &keys);
    }
    if (err) *err = e;
    return keys;
}

// The tree as text: (key small large), "-" for none; loads everything.
inline std::string shape(FAVT64_ROOT* r) {
    std::function<std::string(FAVT64_NODE*)> s = [&](FAVT64_NODE* n) -> std::string {
        if (!n) return "-";
        favt64_lock(n);
        int e = 0;
        std::string a = s(small_node64(&e, r, n));
        std::string b = s(large_node64(&e, r, n));
        favt64_unlock(n);
        return "(" + std::to_string(key_of(n)) + " " + a + " " + b + ")";
    };
    int e = 0;
    return s(root_node64(&e, r));
}

// Checks order and levels (favt64_test): the node count, or a negative code.
inline int64_t tree_test(FAVT64_ROOT* r) {
    QuietPrint q;
    int e = 0;
    FAVT64_NODE* top = root_node64(&e, r);
    if (!top) return e ? e : 0;
    return favt64_test(&e, r, top, cmp_assoc64_integer);
}

// A long-character key from ASCII text.
inline std::vector<L_CHAR> lkey(const std::string& s) {
    std::vector<L_CHAR> k(s.begin(), s.end());
    k.push_back(0);
    return k;
}

}  // namespace pdbtest
