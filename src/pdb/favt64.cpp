#include "pdb/favt64.h"

#include <errno.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/panic.h"
#include "pdb/freelist64.h"
#include "pdb/pagecache.h"
#include "pdb/treelog.h"

std::atomic<bool> favt64_check_on{false};

namespace {

FAVT64_HEADER favt64_h = {&favt64_h, &favt64_h, nullptr, 0, 0, 0, 0, 0};
int favt64_count = 0;
uint64_t favt64_clock = 0;
// Every record from the least recently used end up to this one (stamps up to hint_stamp) was found
// unevictable by a clearing and none has become evictable since; null: nothing known. The next
// clearing goes on from here instead of walking them again.
FAVT64_HEADER* hint = nullptr;
uint64_t hint_stamp = 0;

void set_hint(FAVT64_HEADER* h) {
    hint = h == &favt64_h ? nullptr : h;
    hint_stamp = hint ? h->stamp : 0;
}
int favt64_limit = FAVT64_DEFAULT_LIMIT;
AVT_NODE* fr64_tree = nullptr;

constexpr int64_t MIN_NODE_ONFILE = 24;  // 4-byte header, small, large, level
constexpr int STACK_RECORD = 512;        // records up to this size are written from the stack

void set_err(int* errp, int e) {
    if (errp) *errp = e;
}

// ---- Record memory: freed blocks are kept for reuse by size (the nodes of a tree share one
// size), a few hundred of each of a few sizes, so that a cache that loads and evicts all the time
// allocates next to nothing.

constexpr int SPARE_SIZES = 8;
constexpr int SPARE_EACH = 256;

struct Spare {
    Spare* next;
};

struct SpareSize {
    int64_t size;
    Spare* head;
    int count;
};

SpareSize spares[SPARE_SIZES];
int spare_next_slot = 0;

int64_t record_bytes(const FAVT64_HEADER* h) {
    if (h->type == PN64_TREE_ROOT_TYPE) return static_cast<int64_t>(sizeof(FAVT64_ROOT));
    return static_cast<int64_t>(sizeof(FAVT64_NODE)) +
           reinterpret_cast<const FAVT64_NODE*>(h)->data_len;
}

void* record_alloc(int64_t size) {
    for (SpareSize& s : spares) {
        if (s.size == size && s.head) {
            Spare* b = s.head;
            s.head = b->next;
            s.count--;
            return b;
        }
    }
    return d_alloc(size);
}

void record_free(FAVT64_HEADER* h) {
    int64_t size = record_bytes(h);
    SpareSize* to = nullptr;
    for (SpareSize& s : spares)
        if (s.size == size) to = &s;
    if (!to) {
        // A size not kept yet takes the place of one whose spares are all in use.
        for (int i = 0; i < SPARE_SIZES && !to; i++) {
            SpareSize& s = spares[(spare_next_slot + i) % SPARE_SIZES];
            if (!s.head) to = &s;
        }
        spare_next_slot = (spare_next_slot + 1) % SPARE_SIZES;
        if (to) *to = SpareSize{size, nullptr, 0};
    }
    if (!to || to->count >= SPARE_EACH) {
        d_f_ree(h);
        return;
    }
    auto* b = reinterpret_cast<Spare*>(h);
    b->next = to->head;
    to->head = b;
    to->count++;
}

FAVT64_ROOT* as_root(FAVT64_HEADER* h) {
    return reinterpret_cast<FAVT64_ROOT*>(h);
}
FAVT64_NODE* as_node(FAVT64_HEADER* h) {
    return reinterpret_cast<FAVT64_NODE*>(h);
}

// ---- The ring

void ring_unlink(FAVT64_HEADER* h) {
    if (h == hint) set_hint(h->next);
    h->prev->next = h->next;
    h->next->prev = h->prev;
    h->next = h->prev = h;
}

void ring_push_front(FAVT64_HEADER* h) {
    h->stamp = ++favt64_clock;
    h->next = favt64_h.next;
    h->prev = &favt64_h;
    favt64_h.next->prev = h;
    favt64_h.next = h;
}

void touch(FAVT64_HEADER* h) {
    if (favt64_h.next == h) return;
    if (h == hint) set_hint(h->next);
    h->prev->next = h->next;
    h->next->prev = h->prev;
    ring_push_front(h);
}

// ---- The registry of loaded roots, by (file handle, offset)

int cmp_favt64(void* node_data, void* key) {
    auto* a = static_cast<FAVT64_HEADER*>(node_data);
    auto* b = static_cast<FAVT64_HEADER*>(key);
    auto pa = reinterpret_cast<uintptr_t>(a->p);
    auto pb = reinterpret_cast<uintptr_t>(b->p);
    if (pa != pb) return pa > pb ? 1 : -1;
    if (a->fofs != b->fofs) return a->fofs > b->fofs ? 1 : -1;
    return 0;
}

void register_root(FAVT64_ROOT* r) {
    r->reg = AVT_NODE{0, nullptr, nullptr, &r->h};
    if (avt_insert(&fr64_tree, &r->reg, cmp_favt64) != &r->reg) er_panic("insert_favt64_tree");
}

FAVT64_ROOT* find_root(PDB64* p, uint64_t fofs) {
    FAVT64_HEADER key = {};
    key.p = p;
    key.fofs = fofs;
    AVT_NODE* n = avt_search(fr64_tree, &key, cmp_favt64);
    return n ? as_root(static_cast<FAVT64_HEADER*>(n->data)) : nullptr;
}

// ---- Records

bool due(FAVT64_HEADER* h) {
    if (h->flags & FAVT64_CHANGED) return true;
    if (h->type == PN64_TREE_ROOT_TYPE) return as_root(h)->node.flags & FAVT64_CHANGED;
    FAVT64_NODE* n = as_node(h);
    return (n->small.flags | n->large.flags) & FAVT64_CHANGED;
}

bool evictable(FAVT64_HEADER* h) {
    if (h->pins) return false;
    if (h->type == PN64_TREE_ROOT_TYPE) return as_root(h)->loaded == 0;
    FAVT64_NODE* n = as_node(h);
    return n->parent && !n->small.ptr && !n->large.ptr;
}

// A record that may have just become evictable: the clearing must look at it again.
void note(FAVT64_HEADER* h) {
    if (h && hint && h->stamp <= hint_stamp && evictable(h)) set_hint(h->next);
}

// Writes the record in one piece, to the tree log or else at its own offset: 0, or -1 (remembered
// on the handle for its next flush).
int write_record(FAVT64_HEADER* h) {
    PDB64* p = h->p;
    uint8_t small_buf[STACK_RECORD];
    uint8_t* buf = small_buf;
    uint64_t size;
    int hl;
    if (h->type == PN64_TREE_ROOT_TYPE) {
        FAVT64_ROOT* r = as_root(h);
        size = FAVT64_ROOT_SIZE;
        hl = pn64_put_phys(buf, PN64_TREE_ROOT_TYPE, size);
        put_be32(buf + hl, static_cast<uint32_t>(r->type));
        put_be64(buf + hl + 4, r->node.fofs);
    } else {
        FAVT64_NODE* n = as_node(h);
        size = FAVT64_NODE_FIXED + static_cast<uint64_t>(n->data_len);
        if (size > STACK_RECORD) buf = static_cast<uint8_t*>(d_alloc(static_cast<int64_t>(size)));
        hl = pn64_put_phys(buf, PN64_TREE_NODE_TYPE, size);
        uint8_t* b = buf + hl;
        put_be64(b, n->small.fofs);
        put_be64(b + 8, n->large.fofs);
        put_be32(b + 16, static_cast<uint32_t>(n->level));
        if (n->data_len > 0) {
            memcpy(b + 20, n->data, static_cast<size_t>(n->data_len));
            if (n->root->endian_func) n->root->endian_func(b + 20, n->data_len);
        }
    }
    uint64_t onfile = size - PN64_HEADER_SIZE + static_cast<uint64_t>(hl);
    int r = 0;
    // A writer's trees change on file only as a whole, at the flush: until then the record goes
    // to the file's tree log.
    if (tree_log_on(p) ? tree_log_put(p, h->fofs, buf, onfile) != 0
                       : fac_lseek(&p->fac, static_cast<int64_t>(h->fofs), SEEK_SET) < 0 ||
                             fa_write64(p, buf, onfile) < 0) {
        r = -1;
        p->tree_write_error = 1;
    }
    if (buf != small_buf) d_f_ree(buf);
    // Written or not, the change cannot be held for ever: a failed write is reported at the flush.
    h->flags &= static_cast<uint16_t>(~FAVT64_CHANGED);
    if (h->type == PN64_TREE_ROOT_TYPE) {
        as_root(h)->node.flags &= static_cast<uint16_t>(~FAVT64_CHANGED);
    } else {
        as_node(h)->small.flags &= static_cast<uint16_t>(~FAVT64_CHANGED);
        as_node(h)->large.flags &= static_cast<uint16_t>(~FAVT64_CHANGED);
    }
    return r;
}

void write_all_due() {
    for (FAVT64_HEADER* h = favt64_h.next; h != &favt64_h; h = h->next)
        if (due(h)) write_record(h);
}

// Takes a record out of the cache and frees its memory.
void drop(FAVT64_HEADER* h) {
    ring_unlink(h);
    favt64_count--;
    if (h->type == PN64_TREE_ROOT_TYPE) {
        FAVT64_ROOT* r = as_root(h);
        if (!avt_delete(&fr64_tree, &r->h, cmp_favt64)) er_panic("favt64 registry");
    } else {
        FAVT64_NODE* n = as_node(h);
        if (n->small.ptr || n->large.ptr) er_panic("clear_cache(2)");
        n->root->loaded--;
        note(&n->root->h);
        if (n->parent) {
            n->parent->ptr = nullptr;
            note(n->parent->holder);
        }
    }
    record_free(h);
}

// Evicts least recently used records while the ring is over its limit: each time the record
// nearest the least recently used end that is not pinned and has nothing loaded below it. The
// records walked past stay unevictable until something noted changes that (an unpin, a child
// dropped, a node linked into its tree), so the walk goes on where the last one stopped; and a
// record dropped can make only its parent and its root evictable, which are looked at at once, so
// a long chain of loaded parents goes in one pass.
void clear_cache() {
    if (favt64_count <= favt64_limit) return;
    FAVT64_HEADER* scan = hint && hint->stamp == hint_stamp ? hint->prev : favt64_h.prev;
    FAVT64_HEADER* victim = nullptr;
    while (favt64_count > favt64_limit) {
        if (!victim) {
            while (scan != &favt64_h && !evictable(scan)) {
                set_hint(scan);
                scan = scan->prev;
            }
            if (scan == &favt64_h) return;
            victim = scan;
            scan = scan->prev;
        }
        uint64_t stamp = victim->stamp;
        FAVT64_HEADER* again[2] = {nullptr, nullptr};
        if (victim->type == PN64_TREE_NODE_TYPE) {
            FAVT64_NODE* n = as_node(victim);
            again[0] = n->parent->holder;
            again[1] = &n->root->h;
        }
        if (due(victim)) write_all_due();
        drop(victim);
        victim = nullptr;
        for (FAVT64_HEADER* h : again)
            if (h && h->stamp < stamp && evictable(h) && (!victim || h->stamp < victim->stamp))
                victim = h;
    }
}

// A new record enters the cache: most recently used, pinned across the clearing that follows.
void enter(FAVT64_HEADER* h) {
    ring_push_front(h);
    favt64_count++;
    h->pins++;
    clear_cache();
    h->pins--;
}

// The number of node records a file can hold: no walk visits more.
int64_t visit_limit(PDB64* p) {
    int64_t end = fac_lseek(&p->fac, 0, SEEK_END);
    return end < 0 ? 0 : end / MIN_NODE_ONFILE + 1;
}

constexpr int HEAD_READ = 128;  // bytes read at once: whole records of the usual data sizes

// Reads the record at fofs, which must be of type want, into *out: its body (without the physical
// header) in a buffer of at least `fixed` bytes, the start in `buf` or, for longer bodies, in a
// tracked block. The body length, or -1 when it cannot be read.
int64_t read_record(PDB64* p, uint64_t fofs, uint16_t want, uint8_t (&buf)[HEAD_READ],
                    uint8_t** out) {
    PDB64_PHYS ph;
    int64_t logged = fofs ? tree_log_fetch(p, fofs, buf, HEAD_READ) : -1;
    if (logged == -2) return -1;
    if (logged >= 0) {
        // Changed since the last flush: the newest form is in the tree log.
        auto len = static_cast<uint64_t>(logged);
        uint8_t* at = len <= HEAD_READ ? buf : static_cast<uint8_t*>(d_alloc(logged));
        int hl = at == buf || tree_log_read(p, fofs, at, len) == 0
                     ? pn64_get_phys(at, static_cast<int>(len < 12 ? len : 12), &ph)
                     : -1;
        if (hl <= 0 || ph.type != want || ph.len != len) {
            if (at != buf) d_f_ree(at);
            return -1;
        }
        int64_t body = logged - hl;
        if (at != buf) memmove(at, at + hl, static_cast<size_t>(body));
        *out = at == buf ? buf + hl : at;
        return body;
    }
    int got = fofs ? pdb64_read_head(p, fofs, buf, HEAD_READ, &ph) : -1;
    if (got < 0 || ph.type != want) return -1;
    int64_t body = static_cast<int64_t>(ph.len) - ph.hlen;
    int64_t have = got - ph.hlen;
    if (have >= body) {
        *out = buf + ph.hlen;
        return body;
    }
    auto* big = static_cast<uint8_t*>(d_alloc(body));
    memcpy(big, buf + ph.hlen, static_cast<size_t>(have));
    if (pdb64_read_exact(p, big + have, static_cast<uint64_t>(body - have)) != 0) {
        d_f_ree(big);
        return -1;
    }
    *out = big;
    return body;
}

void release_record(uint8_t (&buf)[HEAD_READ], uint8_t* body) {
    if (body && (body < buf || body >= buf + HEAD_READ)) d_f_ree(body);
}

// Follows ref (of parent, or of the root when parent is null): the node, loaded when needed and
// made most recently used; null when ref is empty, or with -2 when the node cannot be read.
FAVT64_NODE* load_child(int* errp, FAVT64_ROOT* root, FAVT64_NODE* parent, FAVT64_PTR* ref) {
    if (ref->ptr) {
        touch(&ref->ptr->h);
        return ref->ptr;
    }
    if (ref->fofs == 0) return nullptr;
    PDB64* p = root->h.p;
    uint8_t buf[HEAD_READ];
    uint8_t* body = nullptr;
    int64_t blen = read_record(p, ref->fofs, PN64_TREE_NODE_TYPE, buf, &body);
    int32_t level = blen >= 20 ? static_cast<int32_t>(get_be32(body + 16)) : 0;
    // Levels fall strictly along every path, so no damaged file can lead a walk in a circle.
    if (blen < 20 || level < 1 || (parent && level >= parent->level)) {
        release_record(buf, body);
        set_err(errp, FAVT64_UNREADABLE);
        return nullptr;
    }
    int64_t dlen = blen - 20;
    auto* n =
        static_cast<FAVT64_NODE*>(record_alloc(static_cast<int64_t>(sizeof(FAVT64_NODE)) + dlen));
    memset(n, 0, sizeof(FAVT64_NODE));
    n->data = reinterpret_cast<uint8_t*>(n + 1);
    n->data_len = dlen;
    if (dlen > 0) memcpy(n->data, body + 20, static_cast<size_t>(dlen));
    n->small = FAVT64_PTR{get_be64(body), PN64_TREE_NODE_TYPE, nullptr, 0, &n->h};
    n->large = FAVT64_PTR{get_be64(body + 8), PN64_TREE_NODE_TYPE, nullptr, 0, &n->h};
    release_record(buf, body);
    if (root->endian_func && root->endian_func(n->data, dlen) != 0) {
        record_free(&n->h);
        set_err(errp, FAVT64_UNREADABLE);
        return nullptr;
    }
    n->h.p = p;
    n->h.fofs = ref->fofs;
    n->h.type = PN64_TREE_NODE_TYPE;
    n->level = level;
    n->data_len = dlen;
    n->root = root;
    n->parent = ref;
    ref->ptr = n;
    root->loaded++;
    enter(&n->h);
    return n;
}

// Levels of nodes that the running insert or delete read without loading them: a node that is
// not cached stays as it is on file while the operation runs, and only its level counts there.
// Never destroyed: tasks may still use it while the process exits.
std::unordered_map<uint64_t, int>& peeked = *new std::unordered_map<uint64_t, int>;

// The level a reference stands for; its node must be cached or its level read (the operations
// read before they change).
int level_of(const FAVT64_PTR* ref) {
    if (ref->fofs == 0) return 0;
    if (ref->ptr) return ref->ptr->level;
    auto it = peeked.find(ref->fofs);
    if (it == peeked.end()) er_panic("favt64 level");
    return it->second;
}

void set_level(FAVT64_NODE* n) {
    int s = level_of(&n->small);
    int l = level_of(&n->large);
    int want = 1 + (s > l ? s : l);
    if (n->level != want) {
        n->level = want;
        n->h.flags |= FAVT64_CHANGED;
    }
}

void set_ref(FAVT64_PTR* ref, FAVT64_NODE* n) {
    ref->fofs = n ? n->h.fofs : 0;
    ref->ptr = n;
    ref->flags |= FAVT64_CHANGED;
    if (n) n->parent = ref;
    note(ref->holder);
    if (n) note(&n->h);
}

void move_ref(FAVT64_PTR* dst, FAVT64_PTR* src) {
    set_ref(dst, src->ptr);
    dst->fofs = src->fofs;
}

using Pins = Favt64Pins;

// Reads the levels of n's children, which the level rule at n looks at, without loading the
// children that are not cached (a cached child may be evicted meanwhile: its level is noted too).
// False with -2 when one cannot be read.
bool peek_children(int* errp, FAVT64_ROOT* root, FAVT64_NODE* n) {
    if (!n) return true;
    for (FAVT64_PTR* ref : {&n->small, &n->large}) {
        if (!ref->fofs || peeked.count(ref->fofs)) continue;
        if (ref->ptr) {
            peeked[ref->fofs] = ref->ptr->level;
            continue;
        }
        uint8_t buf[32];
        PDB64_PHYS ph;
        int64_t logged = tree_log_fetch(root->h.p, ref->fofs, buf, sizeof buf);
        int got = -1;
        if (logged == -1) {
            got = pdb64_read_head(root->h.p, ref->fofs, buf, sizeof buf, &ph);
        } else if (logged >= 0) {
            int n = logged < 32 ? static_cast<int>(logged) : 32;
            if (pn64_get_phys(buf, n < 12 ? n : 12, &ph) > 0) got = n;
        }
        int32_t level = 0;
        if (got >= 0 && ph.type == PN64_TREE_NODE_TYPE && got >= ph.hlen + 20)
            level = static_cast<int32_t>(get_be32(buf + ph.hlen + 16));
        if (level < 1 || level >= n->level) {
            set_err(errp, FAVT64_UNREADABLE);
            return false;
        }
        peeked[ref->fofs] = level;
    }
    return true;
}

// Loads (and pins) the child a reference of n names, and reads its children's levels.
FAVT64_NODE* load_for_rule(int* errp, FAVT64_ROOT* root, FAVT64_NODE* n, FAVT64_PTR* ref,
                           Pins& pins) {
    FAVT64_NODE* c = load_child(errp, root, n, ref);
    if (!c) return nullptr;
    pins.add(&c->h);
    return peek_children(errp, root, c) ? c : nullptr;
}

// One rebalancing step at a reference: a single rotation when one side is at least two higher.
// The rising child is loaded and its children's levels read first; when that fails (a damaged
// file) the step is left undone, with -2 in errp, and the tree stays whole.
void rebalance(int* errp, FAVT64_ROOT* root, FAVT64_PTR* ref, Pins& pins) {
    FAVT64_NODE* a = ref->ptr;
    if (!a) return;
    int s = level_of(&a->small);
    int l = level_of(&a->large);
    if (s + 1 >= l && l + 1 >= s) return;
    FAVT64_NODE* b = load_for_rule(errp, root, a, s + 1 < l ? &a->large : &a->small, pins);
    if (!b) return;
    if (s + 1 < l) {
        move_ref(&a->large, &b->small);
        set_ref(&b->small, a);
    } else {
        move_ref(&a->small, &b->large);
        set_ref(&b->large, a);
    }
    set_ref(ref, b);
    set_level(a);
    set_level(b);
}

// The node a reference of the walk down leads to: pinned; null with -2 when unreadable.
FAVT64_NODE* step(int* errp, FAVT64_ROOT* root, FAVT64_NODE* parent, FAVT64_PTR* ref, Pins& pins) {
    FAVT64_NODE* n = load_child(errp, root, parent, ref);
    if (n) pins.add(&n->h);
    return n;
}

// The node that owns a reference of the path (null for the reference the operation started at).
FAVT64_NODE* owner(const std::vector<FAVT64_PTR*>& refs, size_t i) {
    return i == 0 ? nullptr : refs[i - 1]->ptr;
}

FAVT64_NODE* node_at(FAVT64_PTR* ref) {
    return ref->ptr;
}

int trace(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start, FAVT64_TRACE_FUNC func, void* work,
          bool descending) {
    FAVT64_ITER it;
    favt64_iter_start(&it, root, start, descending);
    int e = 0;
    int r = 0;
    while (FAVT64_NODE* n = favt64_iter_next(&e, &it)) {
        r = func(n, work);
        if (r != 0) break;
    }
    favt64_iter_end(&it);
    if (e != 0) {
        set_err(errp, e);
        return e;
    }
    return r;
}

}  // namespace

// -------------------------------------------------------------------------------------------------

void init_favt64() {
    fac_init_general();
    if (favt64_count == 0) favt64_limit = FAVT64_DEFAULT_LIMIT;
}

int favt64_set_limit(int records) {
    int old = favt64_limit;
    favt64_limit = records < 1 ? 1 : records;
    clear_cache();
    return old;
}

int favt64_cache_count() {
    return favt64_count;
}

void favt64_lock(FAVT64_HEADER* rec) {
    rec->pins++;
    rec->flags |= FAVT64_PINNED;
}

void favt64_unlock(FAVT64_HEADER* rec) {
    if (rec->pins > 0) rec->pins--;
    if (rec->pins == 0) {
        rec->flags &= static_cast<uint16_t>(~FAVT64_PINNED);
        note(rec);
    }
}

Favt64Pins::~Favt64Pins() {
    for (FAVT64_HEADER* h : v_)
        favt64_unlock(h);
    // What the operation held beyond the limit can go now, but not the record it hands back.
    if (keep_) favt64_lock(keep_);
    clear_cache();
    if (keep_) favt64_unlock(keep_);
}

void Favt64Pins::add(FAVT64_HEADER* h) {
    favt64_lock(h);
    v_.push_back(h);
}

void Favt64Pins::release(FAVT64_HEADER* h) {
    for (size_t i = v_.size(); i-- > 0;) {
        if (v_[i] == h) {
            favt64_unlock(h);
            v_.erase(v_.begin() + static_cast<long>(i));
            return;
        }
    }
}

FAVT64_ROOT* favt64_alloc_root(PDB64* p, int32_t type, FAVT64_ENDIAN endian_func) {
    PN64_HEADER h = {};
    h.type = PN64_TREE_ROOT_TYPE;
    h.size = FAVT64_ROOT_SIZE;
    if (!p->freelist_work) er_panic("favt64_alloc_root");
    int64_t pos = alloc_filespace64(p, &h);
    if (pos < 0) return nullptr;
    auto* r = static_cast<FAVT64_ROOT*>(record_alloc(sizeof(FAVT64_ROOT)));
    memset(r, 0, sizeof(FAVT64_ROOT));
    r->h.p = p;
    r->h.fofs = static_cast<uint64_t>(pos);
    r->h.type = PN64_TREE_ROOT_TYPE;
    r->h.flags = FAVT64_CHANGED;
    r->type = type;
    r->endian_func = endian_func;
    r->node.type = PN64_TREE_NODE_TYPE;
    r->node.holder = &r->h;
    register_root(r);
    enter(&r->h);
    return r;
}

FAVT64_ROOT* get_root64(int* errp, PDB64* p, uint64_t fofs, FAVT64_ENDIAN endian_func) {
    if (FAVT64_ROOT* r = find_root(p, fofs)) {
        touch(&r->h);
        return r;
    }
    uint8_t buf[HEAD_READ];
    uint8_t* body = nullptr;
    int64_t blen = read_record(p, fofs, PN64_TREE_ROOT_TYPE, buf, &body);
    uint8_t b[12];
    if (blen >= 12) memcpy(b, body, 12);
    release_record(buf, body);
    if (blen < 12) {
        set_err(errp, FAVT64_UNREADABLE);
        return nullptr;
    }
    auto* r = static_cast<FAVT64_ROOT*>(record_alloc(sizeof(FAVT64_ROOT)));
    memset(r, 0, sizeof(FAVT64_ROOT));
    r->h.p = p;
    r->h.fofs = fofs;
    r->h.type = PN64_TREE_ROOT_TYPE;
    r->type = static_cast<int32_t>(get_be32(b));
    r->endian_func = endian_func;
    r->node = FAVT64_PTR{get_be64(b + 4), PN64_TREE_NODE_TYPE, nullptr, 0, &r->h};
    register_root(r);
    enter(&r->h);
    return r;
}

FAVT64_NODE* root_node64(int* errp, FAVT64_ROOT* root) {
    return load_child(errp, root, nullptr, &root->node);
}

FAVT64_NODE* small_node64(int* errp, FAVT64_ROOT* root, FAVT64_NODE* node) {
    return load_child(errp, root, node, &node->small);
}

FAVT64_NODE* large_node64(int* errp, FAVT64_ROOT* root, FAVT64_NODE* node) {
    return load_child(errp, root, node, &node->large);
}

FAVT64_NODE* favt64_alloc_node(FAVT64_ROOT* root, const void* data, int64_t data_size) {
    if (data_size < 0) er_panic("favt64_alloc_node");
    PDB64* p = root->h.p;
    PN64_HEADER h = {};
    h.type = PN64_TREE_NODE_TYPE;
    h.size = FAVT64_NODE_FIXED + static_cast<uint64_t>(data_size);
    if (!p->freelist_work) er_panic("favt64_alloc_node");
    int64_t pos = alloc_filespace64(p, &h);
    if (pos < 0) return nullptr;
    auto* n = static_cast<FAVT64_NODE*>(
        record_alloc(static_cast<int64_t>(sizeof(FAVT64_NODE)) + data_size));
    memset(n, 0, sizeof(FAVT64_NODE));
    n->data = reinterpret_cast<uint8_t*>(n + 1);
    if (data_size > 0) memcpy(n->data, data, static_cast<size_t>(data_size));
    n->h.p = p;
    n->h.fofs = static_cast<uint64_t>(pos);
    n->h.type = PN64_TREE_NODE_TYPE;
    n->h.flags = FAVT64_CHANGED;
    n->small.type = n->large.type = PN64_TREE_NODE_TYPE;
    n->small.holder = n->large.holder = &n->h;
    n->data_len = data_size;
    n->root = root;
    root->loaded++;
    enter(&n->h);
    return n;
}

FAVT64_NODE* favt64_insert(int* errp, FAVT64_ROOT* root, FAVT64_PTR* ref, FAVT64_NODE* node,
                           FAVT64_CMP cmp, void* work) {
    if (!node || !node->data || node->parent || node->root != root) er_panic("avt_insert(1)");
    peeked.clear();
    Pins pins;
    pins.add(&node->h);
    // Down to the empty reference where the node belongs.
    std::vector<FAVT64_PTR*> refs;
    refs.push_back(ref);
    FAVT64_PTR* cur = ref;
    while (cur->fofs) {
        FAVT64_NODE* n = step(errp, root, owner(refs, refs.size() - 1), cur, pins);
        if (!n) return nullptr;
        int c = cmp(n->data, node->data, work);
        if (c == 0) {
            pins.keep(&n->h);
            return n;
        }
        if (c == 1)
            cur = &n->small;
        else if (c == -1)
            cur = &n->large;
        else
            return nullptr;
        refs.push_back(cur);
    }
    // Everything the level rule on the way up looks at.
    for (size_t i = 0; i + 1 < refs.size(); i++)
        if (!peek_children(errp, root, node_at(refs[i]))) return nullptr;
    // Link, then the level rule and one rebalancing step at every reference on the way up.
    set_ref(cur, node);
    node->small = FAVT64_PTR{0, PN64_TREE_NODE_TYPE, nullptr, 0, &node->h};
    node->large = FAVT64_PTR{0, PN64_TREE_NODE_TYPE, nullptr, 0, &node->h};
    node->level = 1;
    node->h.flags |= FAVT64_CHANGED;
    for (size_t i = refs.size() - 1; i-- > 0;) {
        set_level(refs[i]->ptr);
        rebalance(errp, root, refs[i], pins);
    }
    pins.keep(&node->h);
    return node;
}

FAVT64_NODE* favt64_search(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start, void* data,
                           FAVT64_CMP cmp, void* work) {
    FAVT64_NODE* n = start;
    if (!n) {
        set_err(errp, FAVT64_NOT_FOUND);
        return nullptr;
    }
    favt64_lock(&n->h);
    for (;;) {
        int c = cmp(n->data, data, work);
        if (c == 0) {
            favt64_unlock(&n->h);
            return n;
        }
        FAVT64_PTR* ref;
        if (c == 1)
            ref = &n->small;
        else if (c == -1)
            ref = &n->large;
        else
            er_panic("favt_search(1)");
        if (!ref->fofs) {
            favt64_unlock(&n->h);
            set_err(errp, FAVT64_NOT_FOUND);
            return nullptr;
        }
        FAVT64_NODE* child = load_child(errp, root, n, ref);
        if (!child) {
            favt64_unlock(&n->h);
            return nullptr;
        }
        favt64_lock(&child->h);
        favt64_unlock(&n->h);
        n = child;
    }
}

FAVT64_NODE* favt64_delete(int* errp, FAVT64_ROOT* root, FAVT64_PTR* ref, void* data,
                           FAVT64_CMP cmp, void* work) {
    peeked.clear();
    Pins pins;
    std::vector<FAVT64_PTR*> refs;
    refs.push_back(ref);
    FAVT64_PTR* cur = ref;
    FAVT64_NODE* n;
    for (;;) {
        if (!cur->fofs) {
            set_err(errp, FAVT64_NOT_FOUND);
            return nullptr;
        }
        n = step(errp, root, owner(refs, refs.size() - 1), cur, pins);
        if (!n) return nullptr;
        int c = cmp(n->data, data, work);
        if (c == 0) break;
        if (c == 1)
            cur = &n->small;
        else if (c == -1)
            cur = &n->large;
        else
            er_panic("favt_delete(!)");
        refs.push_back(cur);
    }
    // Read first: the path with the levels of the children along it, and the way to the node that
    // takes n's place.
    for (FAVT64_PTR* r : refs)
        if (!peek_children(errp, root, r->ptr)) return nullptr;
    bool both = n->small.fofs && n->large.fofs;
    bool from_large = both && level_of(&n->small) < level_of(&n->large);
    std::vector<FAVT64_PTR*> qrefs;  // the way to the replacement m, inside n's subtree
    if (both) {
        FAVT64_PTR* q = from_large ? &n->large : &n->small;
        if (!load_for_rule(errp, root, n, q, pins)) return nullptr;
        qrefs.push_back(q);
        for (;;) {
            FAVT64_NODE* qn = q->ptr;
            FAVT64_PTR* next = from_large ? &qn->small : &qn->large;
            if (!next->fofs) break;
            if (!load_for_rule(errp, root, qn, next, pins)) return nullptr;
            q = next;
            qrefs.push_back(q);
        }
        FAVT64_NODE* m = q->ptr;
        FAVT64_PTR* rest = from_large ? &m->large : &m->small;
        if (rest->fofs && !load_for_rule(errp, root, m, rest, pins)) return nullptr;
    } else {
        FAVT64_PTR* only = n->small.fofs ? &n->small : &n->large;
        if (only->fofs && !load_for_rule(errp, root, n, only, pins)) return nullptr;
    }

    // Now change.
    n->parent = nullptr;
    if (!both) {
        move_ref(cur, n->small.fofs ? &n->small : &n->large);
        if (cur->ptr) set_level(cur->ptr);
        rebalance(errp, root, cur, pins);
    } else {
        FAVT64_PTR* q = qrefs.back();
        FAVT64_NODE* m = q->ptr;
        move_ref(q, from_large ? &m->large : &m->small);
        rebalance(errp, root, q, pins);
        for (size_t i = qrefs.size() - 1; i-- > 0;)
            set_level(qrefs[i]->ptr);
        move_ref(&m->small, &n->small);
        move_ref(&m->large, &n->large);
        set_ref(cur, m);
        set_level(m);
        rebalance(errp, root, cur, pins);
    }
    n->small.ptr = nullptr;
    n->large.ptr = nullptr;
    for (size_t i = refs.size() - 1; i-- > 0;)
        set_level(refs[i]->ptr);
    return n;
}

int favt64_free_node(FAVT64_NODE* node) {
    if (node->parent || node->small.ptr || node->large.ptr) return -1;
    PDB64* p = node->h.p;
    uint64_t fofs = node->h.fofs;
    ring_unlink(&node->h);
    favt64_count--;
    node->root->loaded--;
    note(&node->root->h);
    record_free(&node->h);
    return tree_log_release(p, fofs);
}

int favt64_free_root(FAVT64_ROOT* root) {
    if (root->loaded > 0) return -1;
    PDB64* p = root->h.p;
    uint64_t fofs = root->h.fofs;
    ring_unlink(&root->h);
    favt64_count--;
    if (!avt_delete(&fr64_tree, &root->h, cmp_favt64)) er_panic("favt64 registry");
    record_free(&root->h);
    return tree_log_release(p, fofs);
}

BOUND64_LIST* favt64_bound_search(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start, void* data_min,
                                  void* data_max, int limit, FAVT64_CMP cmp, void* work) {
    BOUND64_LIST* head = nullptr;
    BOUND64_LIST* tail = nullptr;
    int count = 0;
    int64_t visits = 0;
    int64_t most = start ? visit_limit(start->h.p) : 0;
    std::vector<FAVT64_NODE*> stack;
    bool failed = false;
    // Down the smaller side as far as nodes above data_min lead.
    auto descend = [&](FAVT64_NODE* n) {
        while (n) {
            favt64_lock(&n->h);
            stack.push_back(n);
            if (cmp(n->data, data_min, work) <= 0 || !n->small.fofs) break;
            n = load_child(errp, root, n, &n->small);
            if (!n) failed = true;
        }
    };
    descend(start);
    while (!failed && !stack.empty()) {
        FAVT64_NODE* n = stack.back();
        stack.pop_back();
        if (++visits > most) {
            set_err(errp, FAVT64_UNREADABLE);
            failed = true;
            favt64_unlock(&n->h);
            break;
        }
        int cmax = cmp(n->data, data_max, work);
        if (cmax <= 0 && cmp(n->data, data_min, work) >= 0) {
            if (limit >= 0 && count >= limit) {
                set_err(errp, FAVT64_LIMIT);
                favt64_unlock(&n->h);
                break;
            }
            auto* e = static_cast<BOUND64_LIST*>(d_alloc(sizeof(BOUND64_LIST)));
            e->next = nullptr;
            e->data_len = n->data_len;
            e->data = d_alloc(n->data_len > 0 ? n->data_len : 1);
            if (n->data_len > 0) memcpy(e->data, n->data, static_cast<size_t>(n->data_len));
            if (tail)
                tail->next = e;
            else
                head = e;
            tail = e;
            count++;
        }
        FAVT64_NODE* next = nullptr;
        if (cmax < 0 && n->large.fofs) {
            next = load_child(errp, root, n, &n->large);
            if (!next) failed = true;
        }
        favt64_unlock(&n->h);
        if (next) descend(next);
    }
    for (FAVT64_NODE* n : stack)
        favt64_unlock(&n->h);
    if (failed) {
        free_bound_list64(head);
        return nullptr;
    }
    return head;
}

void free_bound_list64(BOUND64_LIST* list) {
    while (list) {
        BOUND64_LIST* next = list->next;
        d_f_ree(list->data);
        d_f_ree(list);
        list = next;
    }
}

void favt64_iter_start(FAVT64_ITER* it, FAVT64_ROOT* root, FAVT64_NODE* start, bool descending) {
    it->root = root;
    it->descending = descending;
    it->failed = false;
    it->current = nullptr;
    it->stack.clear();
    it->visits = 0;
    it->visit_limit = start ? visit_limit(start->h.p) : 0;
    for (FAVT64_NODE* n = start; n;) {
        favt64_lock(&n->h);
        it->stack.push_back(n);
        FAVT64_PTR* ref = descending ? &n->large : &n->small;
        if (!ref->fofs) break;
        FAVT64_NODE* c = load_child(nullptr, root, n, ref);
        if (!c) it->failed = true;
        n = c;
    }
}

FAVT64_NODE* favt64_iter_next(int* errp, FAVT64_ITER* it) {
    if (FAVT64_NODE* r = it->current) {
        // The far side of the node given last, then down its near side.
        it->current = nullptr;
        FAVT64_PTR* far = it->descending ? &r->small : &r->large;
        FAVT64_NODE* n = nullptr;
        if (!it->failed && far->fofs) {
            n = load_child(nullptr, it->root, r, far);
            if (!n) it->failed = true;
        }
        favt64_unlock(&r->h);
        while (n) {
            favt64_lock(&n->h);
            it->stack.push_back(n);
            FAVT64_PTR* near = it->descending ? &n->large : &n->small;
            if (!near->fofs) break;
            FAVT64_NODE* c = load_child(nullptr, it->root, n, near);
            if (!c) it->failed = true;
            n = c;
        }
    }
    if (!it->failed && !it->stack.empty() && ++it->visits > it->visit_limit) it->failed = true;
    if (it->failed) {
        set_err(errp, FAVT64_UNREADABLE);
        favt64_iter_end(it);
        return nullptr;
    }
    if (it->stack.empty()) return nullptr;
    it->current = it->stack.back();
    it->stack.pop_back();
    return it->current;
}

void favt64_iter_end(FAVT64_ITER* it) {
    if (it->current) favt64_unlock(&it->current->h);
    it->current = nullptr;
    for (FAVT64_NODE* n : it->stack)
        favt64_unlock(&n->h);
    it->stack.clear();
    clear_cache();
}

int favt64_trace_from_small(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start,
                            FAVT64_TRACE_FUNC func, void* work) {
    return trace(errp, root, start, func, work, false);
}

int favt64_trace_from_large(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start,
                            FAVT64_TRACE_FUNC func, void* work) {
    return trace(errp, root, start, func, work, true);
}

namespace {

// Drops every record of p, children before their parents.
void drop_file(PDB64* p) {
    for (bool again = true; again;) {
        again = false;
        bool left = false;
        for (FAVT64_HEADER* h = favt64_h.next; h != &favt64_h;) {
            FAVT64_HEADER* next = h->next;
            if (h->p == p) {
                bool free_now = h->type == PN64_TREE_ROOT_TYPE
                                    ? as_root(h)->loaded == 0
                                    : !as_node(h)->small.ptr && !as_node(h)->large.ptr;
                if (free_now) {
                    drop(h);
                    again = true;
                } else {
                    left = true;
                }
            }
            h = next;
        }
        if (!again && left) er_panic("flush_favt64_cache");
    }
}

}  // namespace

int flush_favt64_cache(PDB64* p) {
    int r = 0;
    for (FAVT64_HEADER* h = favt64_h.next; h != &favt64_h; h = h->next)
        if (h->p == p && due(h) && write_record(h) != 0) r = -1;
    if (tree_log_commit(p) != 0) r = -1;
    if (p->tree_write_error) r = -1;
    p->tree_write_error = 0;
    drop_file(p);
    return r;
}

void discard_favt64_cache(PDB64* p) {
    drop_file(p);
    tree_log_discard(p);
    p->tree_write_error = 0;
}

namespace {

[[noreturn]] void cache_fault(const char* label, const char* what) {
    pdb_printf("%s\n", label ? label : "");
    er_panic(what);
}

void check_tree(const char* label, FAVT64_ROOT* r) {
    FAVT64_NODE* top = r->node.ptr;
    if (top->h.fofs != r->node.fofs || top->parent != &r->node) cache_fault(label, "cc_root");
    std::vector<FAVT64_NODE*> todo{top};
    while (!todo.empty()) {
        FAVT64_NODE* n = todo.back();
        todo.pop_back();
        if (!n->parent || n->parent->ptr != n) cache_fault(label, "cc_node(3)");
        if (FAVT64_NODE* c = n->large.ptr) {
            if (c->parent != &n->large) cache_fault(label, "cc_node(1)");
            if (c->h.fofs != n->large.fofs) cache_fault(label, "cc_node(1-1)");
            todo.push_back(c);
        }
        if (FAVT64_NODE* c = n->small.ptr) {
            if (c->parent != &n->small) cache_fault(label, "cc_node(2)");
            if (c->h.fofs != n->small.fofs) cache_fault(label, "cc_node(2-1)");
            todo.push_back(c);
        }
    }
}

}  // namespace

void check_cache64(const char* label) {
    int count = 0;
    for (FAVT64_HEADER* h = favt64_h.next; h != &favt64_h; h = h->next) {
        if (h->next->prev != h || h->prev->next != h) cache_fault(label, "check_cache(1)");
        if (h->type != PN64_TREE_ROOT_TYPE && h->type != PN64_TREE_NODE_TYPE)
            cache_fault(label, "check_cache(3)");
        if (h->type == PN64_TREE_ROOT_TYPE && as_root(h)->node.ptr) check_tree(label, as_root(h));
        count++;
    }
    if (count != favt64_count) cache_fault(label, "check_cache(2)");
}

int64_t favt64_test(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start, FAVT64_CMP cmp) {
    FAVT64_ITER it;
    favt64_iter_start(&it, root, start, false);
    int e = 0;
    int64_t count = 0;
    int64_t result = 0;
    std::vector<uint8_t> prev;
    bool have_prev = false;
    while (FAVT64_NODE* n = favt64_iter_next(&e, &it)) {
        int32_t first = 0;
        if (n->data_len >= 4) memcpy(&first, n->data, 4);
        pdb_printf("=%i\n", first);
        if (have_prev && cmp(n->data, prev.data(), nullptr) < 0) {
            pdb_printf("favt error 1\n");
            result = -3;
            break;
        }
        prev.assign(n->data, n->data + n->data_len);
        have_prev = true;
        FAVT64_NODE* s = small_node64(&e, root, n);
        if (e == 0 && s) favt64_lock(&s->h);
        FAVT64_NODE* l = e == 0 ? large_node64(&e, root, n) : nullptr;
        if (s) favt64_unlock(&s->h);
        if (e != 0) break;
        int sl = s ? s->level : 0;
        int ll = l ? l->level : 0;
        const char* fault = nullptr;
        if (n->level <= sl)
            fault = "favt error 2";
        else if (n->level <= ll)
            fault = "favt error 3";
        else if (n->level != sl + 1 && n->level != ll + 1)
            fault = "favt error 4";
        if (fault) {
            pdb_printf("%s\n", fault);
            result = -5;
            break;
        }
        count++;
    }
    favt64_iter_end(&it);
    if (e != 0) {
        set_err(errp, e);
        return e;
    }
    return result < 0 ? result : count;
}
