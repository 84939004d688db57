#include "pdb/sweep64.h"

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "pdb/associate64.h"
#include "pdb/dtree64.h"
#include "pdb/favt64.h"
#include "pdb/freelist64.h"

namespace {

constexpr int32_t LEVEL_KIND = 2;           // a character tree's deeper level
constexpr int32_t MATRIX_TREE_KIND = 1025;  // a matrix file's node tree: odd, yet no character tree
constexpr uint64_t INDEX_ENTRY = 16;        // one entry of an index table

// The body of the record at pos (its memory header dropped): empty when it cannot be read.
std::vector<uint8_t> body_of(PDB64* p, uint64_t pos) {
    auto* rec = static_cast<uint8_t*>(read_filespace64f(p, pos));
    if (!rec) return {};
    uint64_t size = pn64_size(rec);
    std::vector<uint8_t> b(rec + PN64_HEADER_SIZE,
                           rec + (size > PN64_HEADER_SIZE ? size : PN64_HEADER_SIZE));
    d_f_ree(rec);
    return b;
}

bool character_kind(int32_t k) {
    return k == LEVEL_KIND || (k % 2 != 0 && k != MATRIX_TREE_KIND);
}

// What one tree and the levels below it hold, found before any of it is taken as named.
struct Reach {
    std::vector<uint64_t> roots, nodes, values;
    uint64_t fault = 0;  // where the walk met something out of place
};

struct Sweep {
    PDB64* p = nullptr;
    std::unordered_map<uint64_t, uint16_t> type;  // the records a sweep may free, by position
    std::unordered_map<uint64_t, int32_t> kind;   // tree roots
    std::unordered_set<uint64_t> named;           // roots, value lists and values found named
    std::unordered_set<uint64_t> held;            // nodes found in a named tree
    bool assoc = false;                           // an associative file: its indexes name values

    bool is(uint64_t pos, uint16_t t) const {
        auto it = type.find(pos);
        return it != type.end() && it->second == t;
    }

    // Walks the tree of the root at top and every level its entries name, into r; false (the
    // place in r.fault) when a link names no record of its kind or a record met before. An index's
    // integer tree holds value records; elsewhere an integer tree holds plain numbers. With strict
    // (trees an index table names) a character-tree entry of another size, or one naming no level,
    // is out of place too; a caller's tree of an odd kind may hold other data.
    bool reach(uint64_t top, bool index, bool strict, Reach* r) {
        std::unordered_set<uint64_t> seen;
        std::vector<uint64_t> trees{top};
        auto fault = [r](uint64_t at) {
            r->fault = at;
            return false;
        };
        while (!trees.empty()) {
            uint64_t rp = trees.back();
            trees.pop_back();
            if (!is(rp, PN64_TREE_ROOT_TYPE) || named.count(rp) || !seen.insert(rp).second)
                return fault(rp);
            r->roots.push_back(rp);
            int32_t k = kind[rp];
            std::vector<uint8_t> b = body_of(p, rp);
            std::vector<uint64_t> stack;
            if (uint64_t t = get_be64(b.data() + 4)) stack.push_back(t);
            while (!stack.empty()) {
                uint64_t n = stack.back();
                stack.pop_back();
                if (!is(n, PN64_TREE_NODE_TYPE) || held.count(n) || !seen.insert(n).second)
                    return fault(n);
                std::vector<uint8_t> nb = body_of(p, n);
                if (nb.size() < FAVT64_NODE_FIXED - PN64_HEADER_SIZE) return fault(n);
                r->nodes.push_back(n);
                for (uint64_t c : {get_be64(nb.data()), get_be64(nb.data() + 8)})
                    if (c) stack.push_back(c);
                const uint8_t* d = nb.data() + 20;
                size_t dlen = nb.size() - 20;
                if (k == ASSOC64_INTEGER_KIND && index) {
                    if (dlen != ASSOC64_INTEGER_SIZE) return fault(n);
                    r->values.push_back(get_be64(d + 4));
                } else if (character_kind(k)) {
                    // A character-tree entry: its next level and its value.
                    if (dlen != DTREE64_NODE_SIZE) {
                        if (strict) return fault(n);
                        continue;
                    }
                    uint64_t level = get_be64(d + 4);
                    if (level && is(level, PN64_TREE_ROOT_TYPE) && kind[level] == LEVEL_KIND)
                        trees.push_back(level);
                    else if (level && strict)
                        return fault(n);
                    if (uint64_t v = get_be64(d + 12)) r->values.push_back(v);
                }
            }
        }
        return true;
    }

    // Takes what r reached as named: a value list names its values too.
    void take(const Reach& r) {
        named.insert(r.roots.begin(), r.roots.end());
        held.insert(r.nodes.begin(), r.nodes.end());
        for (uint64_t v : r.values) {
            named.insert(v);
            if (!is(v, PN64_DTREE_DATA_TYPE)) continue;
            std::vector<uint8_t> b = body_of(p, v);
            for (size_t i = 0; i + 8 <= b.size(); i += 8)
                named.insert(get_be64(b.data() + i));
        }
    }
};

// The roots the index table at pos names with the kinds their types need: false (the place in
// *fault) when the table or an entry is out of place.
bool index_roots(Sweep* s, uint64_t pos, std::vector<std::pair<uint64_t, bool>>* out,
                 uint64_t* fault) {
    std::vector<uint8_t> b = body_of(s->p, pos);
    *fault = pos;
    if (b.size() % INDEX_ENTRY) return false;
    for (size_t i = 0; i < b.size(); i += INDEX_ENTRY) {
        uint64_t root = get_be64(b.data() + i);
        auto t = static_cast<int16_t>(get_be16(b.data() + i + 8));
        int32_t want = t == ASSOC64_INTEGER_INDEX  ? ASSOC64_INTEGER_KIND
                       : t == ASSOC64_STRING_INDEX ? (ASSOC64_STRING_TYPE | 1)
                                                   : 0;
        if (!want || !s->is(root, PN64_TREE_ROOT_TYPE) || s->kind[root] != want) return false;
        out->push_back({root, t == ASSOC64_INTEGER_INDEX});
    }
    return true;
}

}  // namespace

int64_t sweep_unnamed64(PDB64* p, uint64_t* damaged_at) {
    if (!p->freelist_work || p->freelist_broken) return -1;
    int64_t send = fac_lseek(&p->fac, 0, SEEK_END);
    if (send < 0) return -1;
    Sweep s;
    s.p = p;
    std::vector<uint64_t> order;
    uint64_t table = 0;
    std::vector<uint64_t> stray_tables;
    for (uint64_t pos = PN64_FIRST_RECORD; pos < static_cast<uint64_t>(send);) {
        PDB64_PHYS ph;
        if (pdb64_read_phys(p, pos, &ph) != 0 || ph.len == 0) return -1;
        switch (ph.type) {
            case PN64_ASSOC_HEADER_TYPE:
                // The first table is the one an opening reads. Another is the old or the new
                // place of a table whose move the writer did not finish; it goes, as once the
                // first went it would be read in its stead.
                if (!table)
                    table = pos;
                else
                    stray_tables.push_back(pos);
                s.assoc = true;
                break;
            case PN64_TREE_ROOT_TYPE:
            case PN64_TREE_NODE_TYPE:
            case PN64_DTREE_DATA_TYPE:
            case PN64_ASSOC_DATA_TYPE:
                s.type[pos] = ph.type;
                order.push_back(pos);
                break;
            default:
                break;
        }
        pos += ph.len;
    }
    std::vector<uint64_t> roots;
    for (uint64_t pos : order) {
        if (s.type[pos] != PN64_TREE_ROOT_TYPE) continue;
        std::vector<uint8_t> b = body_of(p, pos);
        if (b.size() < FAVT64_ROOT_SIZE - PN64_HEADER_SIZE) {
            // Too short for a root: never one a tree was made with, so named by nothing.
            s.type[pos] = PN64_TREE_NODE_TYPE;
            continue;
        }
        s.kind[pos] = static_cast<int32_t>(get_be32(b.data()));
        roots.push_back(pos);
    }
    if (s.assoc) {
        // The index table names every tree of the file: a tree it names must be whole.
        std::vector<std::pair<uint64_t, bool>> ix;
        uint64_t fault = 0;
        if (!index_roots(&s, table, &ix, &fault)) {
            *damaged_at = fault;
            return -2;
        }
        for (auto [root, integer] : ix) {
            Reach r;
            if (!s.reach(root, integer, true, &r)) {
                *damaged_at = r.fault;
                return -2;
            }
            s.take(r);
        }
    } else {
        // Only callers name these roots: each whole one, with its levels, is kept.
        for (uint64_t rp : roots) {
            Reach r;
            if (s.kind[rp] != LEVEL_KIND && !s.named.count(rp) && s.reach(rp, false, false, &r))
                s.take(r);
        }
    }
    int64_t freed = 0;
    for (uint64_t pos : stray_tables) {
        if (free_filespace64(p, pos) != 0) return -1;
        freed++;
    }
    for (uint64_t pos : order) {
        uint16_t t = s.type[pos];
        if ((t == PN64_TREE_NODE_TYPE ? s.held.count(pos) : s.named.count(pos)) ||
            (t == PN64_ASSOC_DATA_TYPE && !s.assoc))
            continue;
        if (free_filespace64(p, pos) != 0) return -1;
        freed++;
    }
    return freed;
}
