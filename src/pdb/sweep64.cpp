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

constexpr int32_t LEVEL_KIND = 2;  // a character tree's deeper level

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

struct Sweep {
    PDB64* p = nullptr;
    std::unordered_map<uint64_t, uint16_t> type;  // the records a sweep may free, by position
    std::unordered_map<uint64_t, int32_t> kind;   // tree roots
    std::unordered_set<uint64_t> named;           // roots, value lists and values found named
    std::unordered_set<uint64_t> held;            // nodes found in a tree
    bool assoc = false;                           // an associative file: its indexes name values
    std::vector<uint64_t> roots;                  // roots found named, not yet walked
    bool sound = true;

    bool is(uint64_t pos, uint16_t t) const {
        auto it = type.find(pos);
        return it != type.end() && it->second == t;
    }

    // Marks a value an entry names: a value list and its values, or a value record.
    void value(uint64_t v) {
        named.insert(v);
        if (!is(v, PN64_DTREE_DATA_TYPE)) return;
        std::vector<uint8_t> b = body_of(p, v);
        for (size_t i = 0; i + 8 <= b.size(); i += 8)
            named.insert(get_be64(b.data() + i));
    }

    // Walks the tree of the root at rp: its nodes, and what their entries name.
    void walk(uint64_t rp) {
        std::vector<uint8_t> b = body_of(p, rp);
        if (b.size() < 12) {
            sound = false;
            return;
        }
        int32_t k = static_cast<int32_t>(get_be32(b.data()));
        std::vector<uint64_t> stack;
        if (uint64_t top = get_be64(b.data() + 4)) stack.push_back(top);
        while (sound && !stack.empty()) {
            uint64_t n = stack.back();
            stack.pop_back();
            if (!is(n, PN64_TREE_NODE_TYPE) || !held.insert(n).second) {
                sound = false;
                return;
            }
            std::vector<uint8_t> nb = body_of(p, n);
            if (nb.size() < 20) {
                sound = false;
                return;
            }
            for (uint64_t c : {get_be64(nb.data()), get_be64(nb.data() + 8)})
                if (c) stack.push_back(c);
            const uint8_t* d = nb.data() + 20;
            size_t dlen = nb.size() - 20;
            if (k == ASSOC64_INTEGER_KIND && dlen == ASSOC64_INTEGER_SIZE) {
                // An index's value; elsewhere an integer tree holds plain numbers.
                if (assoc) named.insert(get_be64(d + 4));
            } else if ((k == LEVEL_KIND || k % 2 != 0) && dlen == DTREE64_NODE_SIZE) {
                // A character-tree entry: its next level and its value.
                uint64_t tree = get_be64(d + 4);
                if (tree && is(tree, PN64_TREE_ROOT_TYPE) && kind[tree] == LEVEL_KIND &&
                    named.insert(tree).second)
                    roots.push_back(tree);
                if (uint64_t v = get_be64(d + 12)) value(v);
            }
        }
    }
};

}  // namespace

int64_t sweep_unnamed64(PDB64* p) {
    if (!p->freelist_work || p->freelist_broken) return -1;
    int64_t send = fac_lseek(&p->fac, 0, SEEK_END);
    if (send < 0) return -1;
    Sweep s;
    s.p = p;
    std::vector<uint64_t> order;
    for (uint64_t pos = PN64_FIRST_RECORD; pos < static_cast<uint64_t>(send);) {
        PDB64_PHYS ph;
        if (pdb64_read_phys(p, pos, &ph) != 0 || ph.len == 0) return -1;
        switch (ph.type) {
            case PN64_ASSOC_HEADER_TYPE:
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
    for (uint64_t pos : order) {
        if (s.type[pos] != PN64_TREE_ROOT_TYPE) continue;
        std::vector<uint8_t> b = body_of(p, pos);
        if (b.size() < 12) return -1;
        s.kind[pos] = static_cast<int32_t>(get_be32(b.data()));
        // Roots other than deeper levels are named from outside the trees (an index table, a
        // matrix header, a caller): each is kept, and what it holds.
        if (s.kind[pos] != LEVEL_KIND) {
            s.named.insert(pos);
            s.roots.push_back(pos);
        }
    }
    while (s.sound && !s.roots.empty()) {
        uint64_t rp = s.roots.back();
        s.roots.pop_back();
        s.walk(rp);
    }
    if (!s.sound) return -1;
    int64_t freed = 0;
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
