#include "pdb/associate64.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "pdb/dtree64.h"
#include "pdb/favt64.h"
#include "pdb/freelist64.h"
#include "pdb/treelog.h"

namespace {

ASSOC64_KEY as_key64[ASSOC64_SLOTS];

constexpr int OFS_KEY = 0;
constexpr int OFS_FOFS = 4;

ASSOC64_KEY* slot(int key) {
    if (key < 1 || key >= ASSOC64_SLOTS || !as_key64[key].p) return nullptr;
    return &as_key64[key];
}

const ASSOC64_INDEX* index_of(ASSOC64_KEY* k, int index) {
    if (!k || index < 0 || index >= k->assoc_len) return nullptr;
    return &k->assoc[index];
}

bool writable(const ASSOC64_KEY* k) {
    return k->p->freelist_work && !k->p->fac.read_only;
}

int64_t node_fofs(const FAVT64_NODE* n) {
    int64_t v;
    memcpy(&v, n->data + OFS_FOFS, 8);
    return v;
}

void set_node_fofs(FAVT64_NODE* n, int64_t v) {
    memcpy(n->data + OFS_FOFS, &v, 8);
    n->h.flags |= FAVT64_CHANGED;
}

// The index's root, loaded; null when it cannot be read.
FAVT64_ROOT* index_root(ASSOC64_KEY* k, const ASSOC64_INDEX* ix) {
    if (ix->fofs <= 0) return nullptr;
    FAVT64_ENDIAN e = ix->type == ASSOC64_INTEGER_INDEX ? integer_endian64 : dtree64_endian;
    int err = 0;
    return get_root64(&err, k->p, static_cast<uint64_t>(ix->fofs), e);
}

// Writes a value record holding the text: its position, or 0.
uint64_t write_value(PDB64* p, const char* text, int64_t len) {
    if (len < 0) return 0;
    int64_t area = len + 1 < ASSOC64_MIN_AREA ? ASSOC64_MIN_AREA : len + 1;
    uint64_t size = PN64_HEADER_SIZE + static_cast<uint64_t>(area);
    auto* rec = static_cast<uint8_t*>(d_calloc(static_cast<int64_t>(size), 1));
    pn64_set(rec, PN64_ASSOC_DATA_TYPE, size);
    if (len > 0) memcpy(rec + PN64_HEADER_SIZE, text, static_cast<size_t>(len));
    int64_t pos = put_filespace64(p, rec);
    d_f_ree(rec);
    return pos < 0 ? 0 : static_cast<uint64_t>(pos);
}

// The value record at pos: its text area moved to the front of the buffer (tracked, one 0 byte
// after it), its length in *lenp; null when pos holds no value record.
char* read_value(PDB64* p, uint64_t pos, int64_t* lenp) {
    if (pos == 0) return nullptr;
    auto* rec = static_cast<char*>(read_filespace64f(p, pos));
    if (!rec) return nullptr;
    if (pn64_type(rec) != PN64_ASSOC_DATA_TYPE) {
        d_f_ree(rec);
        return nullptr;
    }
    int64_t area = static_cast<int64_t>(pn64_size(rec)) - PN64_HEADER_SIZE;
    auto* text = static_cast<char*>(d_alloc(area + 1));
    memcpy(text, rec + PN64_HEADER_SIZE, static_cast<size_t>(area));
    text[area] = 0;
    d_f_ree(rec);
    if (lenp) *lenp = area;
    return text;
}

// Gives up a value record an index named. The flushed trees may still name it, so its space is
// freed only once the next flush has committed trees that no longer do (at once without a log).
void release_value(PDB64* p, uint64_t pos) {
    if (pos != 0) tree_log_release(p, pos);
}

// Moves the index table to a new place of its size (v its entries). A file knows its table only
// as the first table record of its chain, so the old table is let go only once the new one stands
// in the host file, and its space is given to nothing before its release stands there too: a
// writer killed at any moment leaves one or two whole tables, each naming trees that stand in the
// file, and the next writer frees the one after the first (sweep64.h). The trees the new table
// names must stand in the file before it does: the caller commits them first. 0, or -1 with the
// old table kept as the file's and k's.
int save_table(ASSOC64_KEY* k, const std::vector<ASSOC64_INDEX>& v) {
    PDB64* p = k->p;
    uint64_t size = PN64_HEADER_SIZE + ASSOC64_ENTRY_SIZE * v.size();
    std::vector<uint8_t> rec(size, 0);
    pn64_set(rec.data(), PN64_ASSOC_HEADER_TYPE, size);
    for (size_t i = 0; i < v.size(); i++) {
        uint8_t* e = rec.data() + PN64_HEADER_SIZE + ASSOC64_ENTRY_SIZE * i;
        put_be64(e, static_cast<uint64_t>(v[i].fofs));
        put_be16(e + 8, static_cast<uint16_t>(v[i].type));
        put_be16(e + 10, static_cast<uint16_t>(v[i].name));
    }
    int64_t pos = put_filespace64(p, rec.data());
    if (pos < 0) return -1;
    uint64_t old = k->assoc_fofs;
    if (fac_flush(&p->fac) != 0 || (old && free_filespace64(p, old) != 0)) {
        free_filespace64(p, static_cast<uint64_t>(pos));
        return -1;
    }
    k->assoc_fofs = static_cast<uint64_t>(pos);
    // The table has moved whatever follows: a write-back that fails here fails again at the
    // close, which then leaves the file to the next writer's recovery.
    if (old) fac_flush(&p->fac);
    return 0;
}

void load_table(ASSOC64_KEY* k) {
    // The first index table after the file header.
    uint64_t pos = 0;
    auto* rec = static_cast<uint8_t*>(get_file_record64(&pos, k->p, PN64_ASSOC_HEADER_TYPE, 0));
    if (!rec) return;
    uint64_t n = (pn64_size(rec) - PN64_HEADER_SIZE) / ASSOC64_ENTRY_SIZE;
    if (n > INT32_MAX) n = 0;
    k->assoc_len = static_cast<int>(n);
    k->assoc_fofs = pos;
    k->assoc =
        n ? static_cast<ASSOC64_INDEX*>(d_calloc(static_cast<int64_t>(n), sizeof(ASSOC64_INDEX)))
          : nullptr;
    for (uint64_t i = 0; i < n; i++) {
        const uint8_t* e = rec + PN64_HEADER_SIZE + ASSOC64_ENTRY_SIZE * i;
        k->assoc[i].fofs = static_cast<int64_t>(get_be64(e));
        k->assoc[i].type = static_cast<int16_t>(get_be16(e + 8));
        k->assoc[i].name = static_cast<int16_t>(get_be16(e + 10));
    }
    d_f_ree(rec);
}

// ---- Listing

struct ListWork {
    PDB64* p;
    ASSOC64_VALUE_FUNC func;
    void* work;
    bool damaged;
};

int give_value(ListWork* lw, uint64_t pos) {
    int64_t len = 0;
    char* text = read_value(lw->p, pos, &len);
    if (!text) {
        lw->damaged = true;
        return FAVT64_UNREADABLE;
    }
    int r = lw->func(text, len, lw->work);
    d_f_ree(text);
    return r;
}

int list_integer(FAVT64_NODE* n, void* work) {
    return give_value(static_cast<ListWork*>(work), static_cast<uint64_t>(node_fofs(n)));
}

int list_string(uint64_t value, void* record, DTREE64_TRACE_WORK* tw) {
    auto* lw = static_cast<ListWork*>(tw->w);
    if (!record) return give_value(lw, value);
    if (pn64_type(record) != PN64_ASSOC_DATA_TYPE) {
        lw->damaged = true;
        return FAVT64_UNREADABLE;
    }
    const char* rec = static_cast<const char*>(record);
    int64_t area = static_cast<int64_t>(pn64_size(rec)) - PN64_HEADER_SIZE;
    return lw->func(rec + PN64_HEADER_SIZE, area, lw->work);
}

}  // namespace

int integer_endian64(void* data, int64_t len) {
    if (len != ASSOC64_INTEGER_SIZE) return -1;
    auto* d = static_cast<uint8_t*>(data);
    change_endian_32(d + OFS_KEY);
    change_endian_64(d + OFS_FOFS);
    return 0;
}

int cmp_assoc64_integer(void* node_data, void* data, void* /*work*/) {
    int32_t a;
    int32_t b;
    memcpy(&a, node_data, 4);
    memcpy(&b, data, 4);
    return a == b ? 0 : a > b ? 1 : -1;
}

int open_associate64(const char* filename, int oflags, int mode, int32_t flags, int32_t type,
                     const char* encoding) {
    int key = 1;
    while (key < ASSOC64_SLOTS && as_key64[key].p)
        key++;
    if (key >= ASSOC64_SLOTS) return -1;
    PDB64* p = open_filespace64(filename, oflags, mode, flags, type, encoding);
    if (!p) return -1;
    ASSOC64_KEY* k = &as_key64[key];
    *k = ASSOC64_KEY{};
    if (read_file_header64(p, &k->fheader) != 0) {
        close_filespace64(p);
        return -1;
    }
    k->p = p;
    load_table(k);
    return key;
}

int close_associate64(int key) {
    ASSOC64_KEY* k = slot(key);
    if (!k) return -1;
    int r = close_filespace64(k->p);
    d_f_ree(k->assoc);
    *k = ASSOC64_KEY{};
    return r == 0 ? 0 : -1;
}

int new_index64(int key, int type, int name) {
    ASSOC64_KEY* k = slot(key);
    if (!k || (type != ASSOC64_INTEGER_INDEX && type != ASSOC64_STRING_INDEX) || !writable(k))
        return -1;
    // Names are stored in 16 bits: a wider one would be stored cut and never found again.
    if (name < INT16_MIN || name > INT16_MAX) return -1;
    if (get_index64(key, name) >= 0) return -1;
    FAVT64_ROOT* root = type == ASSOC64_INTEGER_INDEX
                            ? favt64_alloc_root(k->p, ASSOC64_INTEGER_KIND, integer_endian64)
                            : alloc64_dtree(k->p, ASSOC64_STRING_TYPE);
    if (!root) return -1;
    auto at = static_cast<int64_t>(root->h.fofs);
    std::vector<ASSOC64_INDEX> v(k->assoc, k->assoc + k->assoc_len);
    v.push_back({at, static_cast<int16_t>(type), static_cast<int16_t>(name)});
    // The new root reaches its place in a commit before any table names it (the flush drops the
    // record from the cache: only its position is kept).
    if (flush_filespace64(k->p) != 0 || save_table(k, v) != 0) {
        int e = 0;
        FAVT64_ENDIAN endian = type == ASSOC64_INTEGER_INDEX ? integer_endian64 : dtree64_endian;
        if (FAVT64_ROOT* r = get_root64(&e, k->p, static_cast<uint64_t>(at), endian))
            favt64_free_root(r);
        return -1;
    }
    d_f_ree(k->assoc);
    k->assoc = static_cast<ASSOC64_INDEX*>(
        d_calloc(static_cast<int64_t>(v.size()), sizeof(ASSOC64_INDEX)));
    memcpy(k->assoc, v.data(), v.size() * sizeof(ASSOC64_INDEX));
    k->assoc_len = static_cast<int>(v.size());
    return k->assoc_len - 1;
}

int get_index64(int key, int name) {
    ASSOC64_KEY* k = slot(key);
    if (!k) return -1;
    for (int i = 0; i < k->assoc_len; i++)
        if (k->assoc[i].name == name) return i;
    return -1;
}

int get_index_type64(int key, int index) {
    const ASSOC64_INDEX* ix = index_of(slot(key), index);
    return ix ? ix->type : -1;
}

int64_t get_index_root64(int key, int index) {
    const ASSOC64_INDEX* ix = index_of(slot(key), index);
    return ix ? ix->fofs : -1;
}

int get_associate64_encoding(int key, char out[8]) {
    ASSOC64_KEY* k = slot(key);
    if (!k) return -1;
    memcpy(out, k->fheader.encoding, 8);
    return 0;
}

PDB64* associate64_file(int key) {
    ASSOC64_KEY* k = slot(key);
    return k ? k->p : nullptr;
}

int insert_associate64_text(int key, int index, const void* keyvalue, const char* text,
                            int64_t len) {
    ASSOC64_KEY* k = slot(key);
    const ASSOC64_INDEX* ix = index_of(k, index);
    if (!ix || !keyvalue || !writable(k)) return -1;
    FAVT64_ROOT* root = index_root(k, ix);
    if (!root) return -1;
    Favt64Pins pins;
    pins.add(root);
    PDB64* p = k->p;
    int e = 0;
    if (ix->type == ASSOC64_INTEGER_INDEX) {
        int32_t kv;
        memcpy(&kv, keyvalue, 4);
        FAVT64_NODE* top = root_node64(&e, root);
        FAVT64_NODE* n =
            top ? favt64_search(&e, root, top, &kv, cmp_assoc64_integer, nullptr) : nullptr;
        if (e == FAVT64_UNREADABLE) return -1;
        if (n) {
            pins.add(n);
            // The new value is written before the old one is let go: a failed write leaves the
            // key with its old value, never naming a record that the next commit releases.
            uint64_t pos = write_value(p, text, len);
            if (!pos) return -1;
            release_value(p, static_cast<uint64_t>(node_fofs(n)));
            set_node_fofs(n, static_cast<int64_t>(pos));
            return 0;
        }
        uint64_t pos = write_value(p, text, len);
        if (!pos) return -1;
        uint8_t d[ASSOC64_INTEGER_SIZE];
        memcpy(d + OFS_KEY, &kv, 4);
        int64_t sp = static_cast<int64_t>(pos);
        memcpy(d + OFS_FOFS, &sp, 8);
        FAVT64_NODE* nn = favt64_alloc_node(root, d, ASSOC64_INTEGER_SIZE);
        FAVT64_NODE* got =
            nn ? favt64_insert(&e, root, &root->node, nn, cmp_assoc64_integer, nullptr) : nullptr;
        if (got != nn || !nn) {
            if (nn) favt64_free_node(nn);
            free_filespace64(p, pos);
            return -1;
        }
        return 0;
    }
    auto* lkey = static_cast<const L_CHAR*>(keyvalue);
    uint64_t cur = search_dtree64(&e, nullptr, root, lkey, 1);
    if (e == FAVT64_UNREADABLE || lkey[0] == 0) return -1;
    uint64_t pos = write_value(p, text, len);
    if (!pos) return -1;
    if (insert_dtree64(&e, root, lkey, cur, pos) != 0) {
        free_filespace64(p, pos);
        return -1;
    }
    release_value(p, cur);
    return 0;
}

char* search_associate64_text(int key, int index, const void* keyvalue, ASSOC64_STRING_OPT* opt,
                              int64_t* lenp) {
    ASSOC64_KEY* k = slot(key);
    const ASSOC64_INDEX* ix = index_of(k, index);
    if (!ix || !keyvalue) return nullptr;
    FAVT64_ROOT* root = index_root(k, ix);
    if (!root) return nullptr;
    Favt64Pins pins;
    pins.add(root);
    int e = 0;
    uint64_t pos = 0;
    if (ix->type == ASSOC64_INTEGER_INDEX) {
        int32_t kv;
        memcpy(&kv, keyvalue, 4);
        FAVT64_NODE* top = root_node64(&e, root);
        FAVT64_NODE* n =
            top ? favt64_search(&e, root, top, &kv, cmp_assoc64_integer, nullptr) : nullptr;
        if (!n) return nullptr;
        pos = static_cast<uint64_t>(node_fofs(n));
    } else {
        int size = 0;
        pos = search_dtree64(&e, &size, root, static_cast<const L_CHAR*>(keyvalue),
                             opt ? opt->flags : 1);
        if (opt) opt->size = size;
    }
    return read_value(k->p, pos, lenp);
}

int delete_associate64(int key, int index, const void* keyvalue) {
    ASSOC64_KEY* k = slot(key);
    const ASSOC64_INDEX* ix = index_of(k, index);
    if (!ix || ix->type != ASSOC64_STRING_INDEX || !keyvalue || !writable(k)) return -1;
    FAVT64_ROOT* root = index_root(k, ix);
    if (!root) return -1;
    Favt64Pins pins;
    pins.add(root);
    auto* lkey = static_cast<const L_CHAR*>(keyvalue);
    int e = 0;
    uint64_t cur = search_dtree64(&e, nullptr, root, lkey, 1);
    if (cur == 0 || delete_dtree64(&e, root, lkey, 0) != 0) return -1;
    release_value(k->p, cur);
    return 0;
}

int get_assoc64_all_text(int key, int index, ASSOC64_VALUE_FUNC func, void* work) {
    ASSOC64_KEY* k = slot(key);
    const ASSOC64_INDEX* ix = index_of(k, index);
    if (!ix) return -1;
    if (favt64_check_on) check_cache64("assoc 1");
    FAVT64_ROOT* root = index_root(k, ix);
    if (favt64_check_on) check_cache64("assoc 2");
    if (!root) return FAVT64_UNREADABLE;
    Favt64Pins pins;
    pins.add(root);
    ListWork lw = {k->p, func, work, false};
    int e = 0;
    int r;
    if (ix->type == ASSOC64_INTEGER_INDEX) {
        FAVT64_NODE* top = root_node64(&e, root);
        if (e != 0) return FAVT64_UNREADABLE;
        r = top ? favt64_trace_from_large(&e, root, top, list_integer, &lw) : 0;
    } else if (ix->type == ASSOC64_STRING_INDEX) {
        r = dtree64_trace_from_large(&e, root, list_string, &lw);
    } else {
        return -1;
    }
    if (e != 0 || lw.damaged || r == -1) return FAVT64_UNREADABLE;
    return r;
}
