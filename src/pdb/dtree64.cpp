#include "pdb/dtree64.h"

#include <cstring>
#include <unordered_set>

#include "base/alloc.h"
#include "pdb/freelist64.h"
#include "pdb/treelog.h"

namespace {

constexpr int OFS_CH = 0;
constexpr int OFS_TREE = 4;
constexpr int OFS_DATA = 12;
constexpr int32_t DEEPER_KIND = 2;

uint64_t get64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}

void put64(uint8_t* p, uint64_t v) {
    memcpy(p, &v, 8);
}

void changed(FAVT64_NODE* n) {
    n->h.flags |= FAVT64_CHANGED;
}

// The value list or other record at pos as the record file reads it; null when unreadable.
uint8_t* read_record(PDB64* p, uint64_t pos) {
    return pos ? static_cast<uint8_t*>(read_filespace64f(p, pos)) : nullptr;
}

// The values of a value list record (file order in rec).
std::vector<uint64_t> list_values(const uint8_t* rec) {
    uint64_t n = (pn64_size(rec) - PN64_HEADER_SIZE) / 8;
    std::vector<uint64_t> v(n);
    for (uint64_t i = 0; i < n; i++)
        v[i] = get_be64(rec + PN64_HEADER_SIZE + 8 * i);
    return v;
}

// Writes a value list at a newly reserved place: its position, or 0 when that fails.
uint64_t write_list(PDB64* p, const std::vector<uint64_t>& v) {
    uint64_t size = PN64_HEADER_SIZE + 8 * v.size();
    std::vector<uint8_t> rec(size);
    pn64_set(rec.data(), PN64_DTREE_DATA_TYPE, size);
    for (size_t i = 0; i < v.size(); i++)
        put_be64(rec.data() + PN64_HEADER_SIZE + 8 * i, v[i]);
    int64_t pos = put_filespace64(p, rec.data());
    return pos < 0 ? 0 : static_cast<uint64_t>(pos);
}

bool empty_key(const L_CHAR* key) {
    return !key || key[0] == 0;
}

// The entry for ch in a level, or null (-2 in *e when the level cannot be read).
FAVT64_NODE* find_entry(int* e, FAVT64_ROOT* level, L_CHAR ch) {
    FAVT64_NODE* top = root_node64(e, level);
    if (!top) return nullptr;
    int miss = 0;
    FAVT64_NODE* n = favt64_search(&miss, level, top, &ch, dtree64_cmp, nullptr);
    if (miss == FAVT64_UNREADABLE) *e = miss;
    return n;
}

// The next level of an entry, loaded; null when there is none or it cannot be read (-2 in *e).
FAVT64_ROOT* next_level(int* e, PDB64* p, FAVT64_NODE* entry) {
    uint64_t tree = dtree64_node(entry).tree;
    if (!tree) return nullptr;
    return get_root64(e, p, tree, dtree64_endian);
}

}  // namespace

DTREE64_NODE dtree64_node(const FAVT64_NODE* n) {
    DTREE64_NODE d;
    memcpy(&d.ch, n->data + OFS_CH, 4);
    d.tree = get64(n->data + OFS_TREE);
    d.data = get64(n->data + OFS_DATA);
    return d;
}

void dtree64_set_tree(FAVT64_NODE* n, uint64_t tree) {
    put64(n->data + OFS_TREE, tree);
    changed(n);
}

void dtree64_set_data(FAVT64_NODE* n, uint64_t data) {
    put64(n->data + OFS_DATA, data);
    changed(n);
}

int dtree64_endian(void* data, int64_t len) {
    if (len != DTREE64_NODE_SIZE) return -1;
    auto* d = static_cast<uint8_t*>(data);
    change_endian_32(d + OFS_CH);
    change_endian_64(d + OFS_TREE);
    change_endian_64(d + OFS_DATA);
    return 0;
}

int dtree64_cmp(void* node_data, void* data, void* /*work*/) {
    L_CHAR a;
    L_CHAR b;
    memcpy(&a, node_data, 4);
    memcpy(&b, data, 4);
    return a == b ? 0 : a > b ? 1 : -1;
}

FAVT64_ROOT* alloc64_dtree(PDB64* p, int32_t type) {
    return favt64_alloc_root(p, type | 1, dtree64_endian);
}

int data_segment64(FAVT64_ROOT* root, FAVT64_NODE* node, uint64_t old, uint64_t data) {
    PDB64* p = root->h.p;
    uint64_t d = dtree64_node(node).data;
    uint8_t* rec = read_record(p, d);
    if (!rec) return -1;
    int r = 0;
    if (pn64_type(rec) == PN64_DTREE_DATA_TYPE) {
        // The flushed trees may name the list: the changed one goes to a new place, and the old
        // one is freed once the next flush has committed trees that name the new one instead.
        std::vector<uint64_t> v = list_values(rec);
        size_t i = 0;
        while (old != 0 && i < v.size() && v[i] != old)
            i++;
        if (old != 0 && i == v.size()) {
            r = -1;
        } else {
            if (old != 0)
                v[i] = data;
            else
                v.push_back(data);
            uint64_t pos = write_list(p, v);
            if (pos == 0 || tree_log_release(p, d) != 0)
                r = -1;
            else
                dtree64_set_data(node, pos);
        }
    } else if (old != 0) {
        if (old != d)
            r = -1;
        else
            dtree64_set_data(node, data);
    } else {
        uint64_t pos = write_list(p, {d, data});
        if (pos == 0)
            r = -1;
        else
            dtree64_set_data(node, pos);
    }
    d_f_ree(rec);
    return r;
}

int delete_data_segment64(FAVT64_ROOT* root, FAVT64_NODE* node, uint64_t old) {
    PDB64* p = root->h.p;
    uint64_t d = dtree64_node(node).data;
    uint8_t* rec = read_record(p, d);
    if (!rec) return -1;
    int r = 0;
    if (pn64_type(rec) != PN64_DTREE_DATA_TYPE) {
        if (old != 0 && old != d)
            r = -1;
        else
            dtree64_set_data(node, 0);
    } else if (old == 0) {
        if (tree_log_release(p, d) != 0)
            r = -1;
        else
            dtree64_set_data(node, 0);
    } else {
        std::vector<uint64_t> v = list_values(rec);
        size_t i = 0;
        while (i < v.size() && v[i] != old)
            i++;
        if (i == v.size()) {
            r = -1;
        } else {
            // The shorter list is written before the old one is handed over to be freed (after
            // the next commit, as above): a failed write leaves the entry and its list as they
            // were.
            v.erase(v.begin() + static_cast<long>(i));
            uint64_t pos = v.size() == 1 ? v[0] : write_list(p, v);
            if (pos == 0 || tree_log_release(p, d) != 0)
                r = -1;
            else
                dtree64_set_data(node, pos);
        }
    }
    d_f_ree(rec);
    return r;
}

int insert_dtree64(int* errp, FAVT64_ROOT* root, const L_CHAR* key, uint64_t old, uint64_t data) {
    if (empty_key(key)) return -1;
    PDB64* p = root->h.p;
    Favt64Pins pins;
    FAVT64_ROOT* level = root;
    pins.add(level);
    for (size_t i = 0;; i++) {
        int e = 0;
        L_CHAR ch = key[i];
        FAVT64_NODE* entry = find_entry(&e, level, ch);
        if (e != 0) {
            if (errp) *errp = e;
            return -1;
        }
        if (!entry) {
            uint8_t nd[DTREE64_NODE_SIZE] = {};
            memcpy(nd + OFS_CH, &ch, 4);
            FAVT64_NODE* n = favt64_alloc_node(level, nd, DTREE64_NODE_SIZE);
            if (!n) return -1;
            entry = favt64_insert(&e, level, &level->node, n, dtree64_cmp, nullptr);
            if (entry != n) {
                favt64_free_node(n);
                if (errp && e) *errp = e;
                return -1;
            }
        }
        pins.add(entry);
        if (key[i + 1] != 0) {
            FAVT64_ROOT* next = next_level(&e, p, entry);
            if (e != 0) {
                if (errp) *errp = e;
                return -1;
            }
            if (!next) {
                next = favt64_alloc_root(p, DEEPER_KIND, dtree64_endian);
                if (!next) return -1;
                dtree64_set_tree(entry, next->h.fofs);
            }
            pins.add(next);
            level = next;
            continue;
        }
        if (dtree64_node(entry).data == 0) {
            if (old != 0) return -1;
            dtree64_set_data(entry, data);
            return 0;
        }
        return data_segment64(level, entry, old, data);
    }
}

int delete_dtree64(int* errp, FAVT64_ROOT* root, const L_CHAR* key, uint64_t old) {
    if (empty_key(key)) return -1;
    PDB64* p = root->h.p;
    Favt64Pins pins;
    std::vector<FAVT64_ROOT*> levels;
    std::vector<FAVT64_NODE*> entries;
    FAVT64_ROOT* level = root;
    for (size_t i = 0;; i++) {
        pins.add(level);
        levels.push_back(level);
        int e = 0;
        FAVT64_NODE* entry = find_entry(&e, level, key[i]);
        if (!entry) {
            if (errp && e) *errp = e;
            return -1;
        }
        pins.add(entry);
        entries.push_back(entry);
        if (key[i + 1] == 0) break;
        level = next_level(&e, p, entry);
        if (!level) {
            if (errp && e) *errp = e;
            return -1;
        }
    }
    size_t last = entries.size() - 1;
    if (dtree64_node(entries[last]).data == 0 ||
        delete_data_segment64(levels[last], entries[last], old) != 0)
        return -1;
    // Entries left with neither value nor next level go, and with them the levels they empty.
    for (size_t i = last;; i--) {
        FAVT64_NODE* entry = entries[i];
        DTREE64_NODE d = dtree64_node(entry);
        if (d.data != 0 || d.tree != 0) break;
        int e = 0;
        pins.release(&entry->h);
        FAVT64_NODE* gone =
            favt64_delete(&e, levels[i], &levels[i]->node, &d.ch, dtree64_cmp, nullptr);
        if (gone != entry) {
            // The level could not be read again: the entry stays, without value.
            if (errp && e) *errp = e;
            break;
        }
        favt64_free_node(gone);
        if (i == 0 || levels[i]->node.fofs != 0) break;
        pins.release(&levels[i]->h);
        if (favt64_free_root(levels[i]) != 0) break;
        dtree64_set_tree(entries[i - 1], 0);
    }
    return 0;
}

uint64_t search_dtree64(int* errp, int* sizep, FAVT64_ROOT* root, const L_CHAR* key,
                        int perfect_flag) {
    if (empty_key(key)) return 0;
    PDB64* p = root->h.p;
    Favt64Pins pins;
    FAVT64_ROOT* level = root;
    uint64_t value = 0;
    int matched = 0;
    for (size_t i = 0;; i++) {
        pins.add(level);
        int e = 0;
        FAVT64_NODE* entry = find_entry(&e, level, key[i]);
        if (e != 0) {
            if (errp) *errp = e;
            return 0;
        }
        if (!entry) break;
        DTREE64_NODE d = dtree64_node(entry);
        value = d.data;
        matched = static_cast<int>(i) + 1;
        if (key[i + 1] == 0) {
            if (sizep) *sizep = matched;
            return value;
        }
        if (!d.tree) break;
        level = get_root64(&e, p, d.tree, dtree64_endian);
        if (!level) {
            if (errp) *errp = e;
            return 0;
        }
    }
    if (perfect_flag) return 0;
    if (sizep) *sizep = matched;
    return value;
}

namespace {

struct Frame {
    FAVT64_ROOT* level;
    FAVT64_ITER it;
};

int dtree_trace(int* errp, FAVT64_ROOT* root, DTREE64_TRACE_FUNC func, void* work,
                bool descending) {
    PDB64* p = root->h.p;
    if (descending && favt64_check_on) check_cache64("dtree_trace_from_large...");
    std::vector<Frame> frames;
    std::vector<L_CHAR> key{0};
    DTREE64_TRACE_WORK tw = {p, func, work, descending, key.data()};
    int64_t visits = 0;
    int64_t most = 0;
    int result = 0;
    // The levels of the current path, by record: a level met again inside itself exists only in
    // a damaged file. A set keeps the test constant-time however long the key grows.
    std::unordered_set<uint64_t> on_path;
    auto enter = [&](FAVT64_ROOT* level) {
        // Pinned before its top node loads: a full cache would otherwise drop the level's root
        // (nothing of its tree is loaded yet) to make room for that node.
        favt64_lock(level);
        int e = 0;
        FAVT64_NODE* top = root_node64(&e, level);
        if (e != 0 || !on_path.insert(level->h.fofs).second) {
            favt64_unlock(level);
            return false;
        }
        frames.emplace_back();
        frames.back().level = level;
        favt64_iter_start(&frames.back().it, level, top, descending);
        return true;
    };
    if (!enter(root)) result = FAVT64_UNREADABLE;
    most = result == 0 ? frames.back().it.visit_limit : 0;
    while (result == 0 && !frames.empty()) {
        Frame& f = frames.back();
        int e = 0;
        FAVT64_NODE* entry = favt64_iter_next(&e, &f.it);
        if (e != 0) {
            result = FAVT64_UNREADABLE;
            break;
        }
        if (!entry) {
            on_path.erase(f.level->h.fofs);
            favt64_iter_end(&f.it);
            favt64_unlock(f.level);
            frames.pop_back();
            if (!frames.empty()) {
                key.pop_back();
                key.back() = 0;
            }
            continue;
        }
        if (++visits > most) {
            result = FAVT64_UNREADABLE;
            break;
        }
        if (favt64_check_on) check_cache64("dtree_trace_func");
        DTREE64_NODE d = dtree64_node(entry);
        key.back() = d.ch;
        key.push_back(0);
        tw.target = key.data();
        if (d.data) {
            uint8_t* rec = read_record(p, d.data);
            if (!rec) {
                result = -1;
                break;
            }
            if (pn64_type(rec) == PN64_DTREE_DATA_TYPE) {
                for (uint64_t v : list_values(rec)) {
                    result = func(v, nullptr, &tw);
                    if (result != 0) break;
                }
            } else {
                result = func(d.data, rec, &tw);
            }
            d_f_ree(rec);
            if (result != 0) break;
        }
        if (d.tree) {
            FAVT64_ROOT* next = get_root64(&e, p, d.tree, dtree64_endian);
            if (!next || !enter(next)) {
                result = FAVT64_UNREADABLE;
                break;
            }
            continue;
        }
        key.pop_back();
        key.back() = 0;
    }
    for (size_t i = frames.size(); i-- > 0;) {
        favt64_iter_end(&frames[i].it);
        favt64_unlock(frames[i].level);
    }
    if (descending && favt64_check_on) check_cache64("dtree_trace_from_large...2");
    if (result == FAVT64_UNREADABLE && errp) *errp = result;
    return result;
}

}  // namespace

int dtree64_trace_from_small(int* errp, FAVT64_ROOT* root, DTREE64_TRACE_FUNC func, void* work) {
    return dtree_trace(errp, root, func, work, false);
}

int dtree64_trace_from_large(int* errp, FAVT64_ROOT* root, DTREE64_TRACE_FUNC func, void* work) {
    return dtree_trace(errp, root, func, work, true);
}
