#include "pdb/freelist64.h"

#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <unordered_map>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/panic.h"

std::atomic<bool> freelist64_check_on{false};

// One extent in the index: a treap by position whose nodes carry the longest on-file length below
// them, so that the highest extent at least a given length long is found in one descent.
struct FL_NODE {
    uint64_t pos;
    uint64_t len;
    uint64_t maxlen;
    uint32_t prio;
    FL_NODE* l;
    FL_NODE* r;
    FREELIST64* f;
};

struct FREELIST64_INDEX {
    FL_NODE* root = nullptr;
    size_t count = 0;
    uint32_t seed = 2463534242u;
    std::unordered_map<uint64_t, std::set<uint64_t>> by_len;  // exact lengths: their positions
};

namespace {

uint64_t maxlen(const FL_NODE* n) {
    return n ? n->maxlen : 0;
}

void pull(FL_NODE* n) {
    n->maxlen = std::max({n->len, maxlen(n->l), maxlen(n->r)});
}

// Splits t into the nodes below pos and those at or above it (the depth is that of a random
// treap: logarithmic whatever the positions).
void split(FL_NODE* t, uint64_t pos, FL_NODE** below, FL_NODE** rest) {
    if (!t) {
        *below = *rest = nullptr;
        return;
    }
    if (t->pos < pos) {
        split(t->r, pos, &t->r, rest);
        *below = t;
    } else {
        split(t->l, pos, below, &t->l);
        *rest = t;
    }
    pull(t);
}

FL_NODE* merge(FL_NODE* a, FL_NODE* b) {
    if (!a) return b;
    if (!b) return a;
    if (a->prio > b->prio) {
        a->r = merge(a->r, b);
        pull(a);
        return a;
    }
    b->l = merge(a, b->l);
    pull(b);
    return b;
}

void ix_insert(FREELIST64_INDEX* x, FREELIST64* f) {
    x->seed ^= x->seed << 13;
    x->seed ^= x->seed >> 17;
    x->seed ^= x->seed << 5;
    auto* n = new FL_NODE{f->fofs, f->flen, f->flen, x->seed, nullptr, nullptr, f};
    FL_NODE *a, *b;
    split(x->root, f->fofs, &a, &b);
    x->root = merge(merge(a, n), b);
    x->by_len[f->flen].insert(f->fofs);
    x->count++;
}

void ix_erase(FREELIST64_INDEX* x, uint64_t pos, uint64_t len) {
    FL_NODE *a, *b, *m, *c;
    split(x->root, pos, &a, &b);
    split(b, pos + 1, &m, &c);
    if (!m || m->l || m->r || m->len != len) er_panic("freelist index");
    delete m;
    x->root = merge(a, c);
    auto it = x->by_len.find(len);
    it->second.erase(pos);
    if (it->second.empty()) x->by_len.erase(it);
    x->count--;
}

void ix_free(FL_NODE* n) {
    while (n) {
        ix_free(n->r);
        FL_NODE* l = n->l;
        delete n;
        n = l;
    }
}

FL_NODE* ix_find(FREELIST64_INDEX* x, uint64_t pos) {
    FL_NODE* n = x->root;
    while (n && n->pos != pos)
        n = pos < n->pos ? n->l : n->r;
    return n;
}

// The lowest extent above pos.
FREELIST64* ix_above(FREELIST64_INDEX* x, uint64_t pos) {
    FL_NODE* best = nullptr;
    for (FL_NODE* n = x->root; n;) {
        if (n->pos > pos) {
            best = n;
            n = n->l;
        } else {
            n = n->r;
        }
    }
    return best ? best->f : nullptr;
}

// The extents around pos (pos itself holds none): the lowest above it, the one above that (its
// predecessor in the list, null for the head) and the highest below it, in one descent.
struct Around {
    FREELIST64* upper;
    FREELIST64* upper_pred;
    FREELIST64* lower;
};

Around ix_around(FREELIST64_INDEX* x, uint64_t pos) {
    FL_NODE* above = nullptr;
    FL_NODE* above2 = nullptr;
    FL_NODE* below = nullptr;
    for (FL_NODE* n = x->root; n;) {
        if (n->pos > pos) {
            above2 = above;
            above = n;
            n = n->l;
        } else {
            below = n;
            n = n->r;
        }
    }
    FL_NODE* next = nullptr;
    if (above) {
        // The successor of `above`: the least of its larger side, else the ancestor passed before.
        next = above2;
        for (FL_NODE* n = above->r; n; n = n->l)
            next = n;
    }
    return Around{above ? above->f : nullptr, next ? next->f : nullptr, below ? below->f : nullptr};
}

// The first fit of the list's walk: the highest extent of exactly want bytes or of more than
// want + 12.
FREELIST64* ix_fit(FREELIST64_INDEX* x, uint64_t want) {
    FL_NODE* big = nullptr;
    uint64_t least = want + 13;
    for (FL_NODE* n = x->root; n;) {
        if (maxlen(n->r) >= least) {
            n = n->r;
        } else if (n->len >= least) {
            big = n;
            break;
        } else if (maxlen(n->l) >= least) {
            n = n->l;
        } else {
            break;
        }
    }
    FL_NODE* exact = nullptr;
    auto it = x->by_len.find(want);
    if (it != x->by_len.end()) exact = ix_find(x, *it->second.rbegin());
    if (!big || (exact && exact->pos > big->pos)) big = exact;
    return big ? big->f : nullptr;
}

// An extent moved or changed its length (it was at pos with len).
void ix_changed(PDB64* p, FREELIST64* f, uint64_t pos, uint64_t len) {
    if (!p->freelist_index) return;
    ix_erase(p->freelist_index, pos, len);
    ix_insert(p->freelist_index, f);
}

// Loads the whole list and builds its index: 0, or -1 when the list is damaged.
int ensure_index(PDB64* p) {
    if (p->freelist_index) return 0;
    std::vector<FREELIST64*> all;
    for (FREELIST64* f = next_freelist64(p, p->freelist_work); f; f = next_freelist64(p, f))
        all.push_back(f);
    if (p->freelist_broken) return -1;
    auto* x = new FREELIST64_INDEX;
    for (FREELIST64* f : all)
        ix_insert(x, f);
    p->freelist_index = x;
    return 0;
}

FREELIST64* new_node(uint16_t type, uint64_t fofs, uint64_t flen, uint64_t next) {
    auto* n = static_cast<FREELIST64*>(d_calloc(1, sizeof(FREELIST64)));
    n->f.h.type = type;
    n->f.next = next;
    n->fofs = fofs;
    n->flen = flen;
    return n;
}

bool is_head(const PDB64* p, const FREELIST64* f) {
    return f == p->freelist_work;
}

// Marks the list damaged: allocation and release are refused from now on.
void damaged(PDB64* p, uint64_t fofs, const char* what) {
    if (!p->freelist_broken)
        pdb_printf("free list damaged at %lli: %s\n", static_cast<long long>(fofs), what);
    p->freelist_broken = 1;
    errno = EIO;
}

[[noreturn]] void check_failed(const FREELIST64* prev, const FREELIST64* f, const char* label) {
    fprintf(stderr, "prv%lli ofs%lli typ%x siz%lli\n", static_cast<long long>(prev->fofs),
            static_cast<long long>(f->fofs), f->f.h.type, static_cast<long long>(f->f.h.size));
    er_panic(label);
}

// Writes the header and 8 zero bytes of a newly reserved record of size `size` at fofs.
int write_new_record(PDB64* p, uint16_t type, uint64_t size, uint64_t fofs) {
    FREELIST64 r = {};
    r.f.h.type = type;
    r.f.h.size = size;
    r.flen = pn64_onfile_length(size);
    return save_freelist64(p, &r, fofs);
}

}  // namespace

FREELIST64* new_freelist_head64() {
    FREELIST64* h = new_node(PN64_FREELIST_HEAD_TYPE, PN64_FREELIST_POS, 12, 0);
    h->f.h.size = PN64_FREELIST_SIZE;
    return h;
}

int load_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs) {
    PDB64_PHYS ph;
    if (pdb64_read_phys(p, fofs, &ph) != 0 || ph.len < static_cast<uint64_t>(ph.hlen) + 8)
        return -1;
    uint8_t next[8];
    if (fac_read(&p->fac, next, 8) != 8) return -1;
    f->f.h = PN64_HEADER{};
    f->f.h.type = ph.type;
    f->f.h.size = ph.len - static_cast<uint64_t>(ph.hlen) + PN64_HEADER_SIZE;
    f->f.next = get_be64(next);
    f->fofs = fofs;
    f->flen = ph.len;
    if (fofs == PN64_FIRST_RECORD) pdb_printf("LOAD FREELIST64\n");
    return 0;
}

namespace {

// Writes f's header and next at fofs; through: to the host file at once as well.
int put_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs, bool through) {
    uint8_t b[20];
    int hl;
    if (f->f.h.type == PN64_FREE_EXTENT_TYPE) {
        hl = pn64_put_extent_phys(b, f->f.h.type, f->flen);
        f->f.h.size = f->flen - static_cast<uint64_t>(hl) + PN64_HEADER_SIZE;
    } else {
        hl = pn64_put_phys(b, f->f.h.type, f->f.h.size);
    }
    put_be64(b + hl, f->f.next);
    int n = hl + 8;
    pdb64_map_extent(
        p, fofs, f->f.h.type == PN64_FREE_EXTENT_TYPE ? f->flen : pn64_onfile_length(f->f.h.size));
    if (fac_lseek(&p->fac, static_cast<int64_t>(fofs), SEEK_SET) < 0 ||
        (through ? fac_write_through(&p->fac, b, n) != n
                 : fa_write64(p, b, static_cast<uint64_t>(n)) < 0)) {
        damaged(p, fofs, "cannot be written");
        return -1;
    }
    return 0;
}

}  // namespace

int save_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs) {
    return put_freelist64(p, f, fofs, false);
}

FREELIST64* next_freelist64(PDB64* p, FREELIST64* f) {
    if (f->next) return f->next;
    if (f->f.next == 0 || p->freelist_broken) return nullptr;
    uint64_t pos = f->f.next;
    // Strictly descending from the first extent on, all after the head: the walk always ends.
    if (is_head(p, f) ? pos < PN64_FIRST_RECORD : pos >= f->fofs) {
        damaged(p, pos, "out of order");
        return nullptr;
    }
    FREELIST64* n = new_node(0, pos, 0, 0);
    if (load_freelist64(p, n, pos) != 0 || n->f.h.type != PN64_FREE_EXTENT_TYPE ||
        (!is_head(p, f) && n->fofs + n->flen >= f->fofs)) {
        d_f_ree(n);
        damaged(p, pos, "no free extent");
        return nullptr;
    }
    f->next = n;
    return n;
}

FREELIST64* insert_freelist64(PDB64* p, FREELIST64* f, uint64_t fofs, uint64_t flen) {
    if (flen < 12) return nullptr;
    FREELIST64* n = new_node(PN64_FREE_EXTENT_TYPE, fofs, flen, f->f.next);
    if (save_freelist64(p, n, fofs) != 0) {
        d_f_ree(n);
        return nullptr;
    }
    n->next = f->next;
    f->next = n;
    f->f.next = fofs;
    if (p->freelist_index) ix_insert(p->freelist_index, n);
    if (save_freelist64(p, f, f->fofs) != 0) return nullptr;
    return n;
}

int delete_freelist64(uint64_t* retp, PDB64* p, FREELIST64* b) {
    if (b->f.next == 0) return -1;
    FREELIST64* s = next_freelist64(p, b);
    if (!s) return -1;
    uint64_t pos = s->fofs;
    if (p->freelist_index) ix_erase(p->freelist_index, s->fofs, s->flen);
    b->f.next = s->f.next;
    b->next = s->next;
    d_f_ree(s);
    if (save_freelist64(p, b, b->fofs) != 0) return -1;
    if (retp) *retp = pos;
    return 0;
}

void free_freelist64(FREELIST64* f) {
    while (f) {
        FREELIST64* n = f->next;
        d_f_ree(f);
        f = n;
    }
}

void drop_freelist64(PDB64* p) {
    free_freelist64(p->freelist_work);
    p->freelist_work = nullptr;
    if (FREELIST64_INDEX* x = p->freelist_index) {
        ix_free(x->root);
        delete x;
        p->freelist_index = nullptr;
    }
}

int truncate_check64(PDB64* p, uint64_t length) {
    FREELIST64* head = p->freelist_work;
    if (!head) er_panic("truncate_check(1)");
    FREELIST64* first = next_freelist64(p, head);
    if (p->freelist_broken) return -1;
    if (!first || first->fofs + first->flen != length) return 0;
    uint64_t pos = first->fofs;
    if (delete_freelist64(nullptr, p, head) != 0) {
        if (p->freelist_broken) return -1;
        er_panic("truncate_cache64(1)");
    }
    return fac_truncate(&p->fac, pos);
}

int check_freelist64(PDB64* p) {
    FREELIST64* head = p->freelist_work;
    if (!head) return -1;
    if (p->freelist_broken) return -2;
    int64_t end = fac_lseek(&p->fac, 0, SEEK_END);
    FREELIST64* f = head;
    for (;;) {
        FREELIST64* n = next_freelist64(p, f);
        if (p->freelist_broken) return -2;
        if (!n) break;
        if (f->f.next != n->fofs) {
            fprintf(stderr, "prv%lli ofs%lli typ%x siz%lli\n", static_cast<long long>(f->fofs),
                    static_cast<long long>(n->fofs), n->f.h.type,
                    static_cast<long long>(n->f.h.size));
            fprintf(stderr, "f.next %lli next->fofs %lli\n", static_cast<long long>(f->f.next),
                    static_cast<long long>(n->fofs));
            fprintf(stderr, "fp %x %x\n", f->f.h.type, n->f.h.type);
            er_panic("check_freelist(-1)");
        }
        if (end < 0 || n->fofs + n->flen > static_cast<uint64_t>(end))
            check_failed(f, n, "check_freelist64(0)");
        if (n->f.h.type != PN64_FREE_EXTENT_TYPE) check_failed(f, n, "check_freelist64(1)");
        if (!is_head(p, f)) {
            if (n->fofs >= f->fofs) check_failed(f, n, "check_freelist64(2)");
            if (n->fofs + n->flen >= f->fofs) check_failed(f, n, "check_freelist64(3)");
        }
        // What the file holds must be what the list in memory says.
        FREELIST64 on_file = {};
        if (load_freelist64(p, &on_file, n->fofs) != 0 || on_file.flen != n->flen ||
            on_file.f.next != n->f.next || on_file.f.h.type != n->f.h.type)
            check_failed(f, n, "check_freelist64(4)");
        f = n;
    }
    FREELIST64 on_file = {};
    if (load_freelist64(p, &on_file, head->fofs) != 0 || on_file.f.next != head->f.next ||
        on_file.f.h.type != PN64_FREELIST_HEAD_TYPE)
        check_failed(head, head, "check_freelist64(4)");
    // The index holds exactly the list's extents.
    if (FREELIST64_INDEX* x = p->freelist_index) {
        size_t n = 0;
        uint64_t longest = 0;
        for (FREELIST64* e = head->next; e; e = e->next, n++) {
            FL_NODE* in = ix_find(x, e->fofs);
            auto it = x->by_len.find(e->flen);
            if (!in || in->f != e || in->len != e->flen || it == x->by_len.end() ||
                !it->second.count(e->fofs))
                check_failed(head, e, "check_freelist64(5)");
            longest = std::max(longest, e->flen);
        }
        if (n != x->count || maxlen(x->root) != longest)
            check_failed(head, head, "check_freelist64(5)");
    }
    return 0;
}

int rebuild_freelist64(PDB64* p) {
    FREELIST64* head = p->freelist_work;
    if (!head) return -1;
    int64_t end = fac_lseek(&p->fac, 0, SEEK_END);
    if (end < 0) return -1;
    // The free extents in the chain of records, ascending, adjacent ones taken as one.
    std::vector<std::pair<uint64_t, uint64_t>> free;  // position, on-file length
    for (auto pos = PN64_FIRST_RECORD; pos < static_cast<uint64_t>(end);) {
        PDB64_PHYS ph;
        if (pdb64_read_phys(p, pos, &ph) != 0) return -1;
        if (ph.type == PN64_FREE_EXTENT_TYPE) {
            if (!free.empty() && free.back().first + free.back().second == pos)
                free.back().second += ph.len;
            else
                free.emplace_back(pos, ph.len);
        }
        pos += ph.len;
    }
    drop_freelist64(p);
    p->freelist_work = head = new_freelist_head64();
    p->freelist_broken = 0;
    // Free space at the end leaves the file.
    if (!free.empty() && free.back().first + free.back().second == static_cast<uint64_t>(end)) {
        if (fac_truncate(&p->fac, free.back().first) != 0) return -1;
        free.pop_back();
    }
    // Descending from the head, as the list runs.
    uint64_t next = 0;
    for (auto [fofs, flen] : free) {
        FREELIST64 e = {};
        e.f.h.type = PN64_FREE_EXTENT_TYPE;
        e.f.next = next;
        e.flen = flen;
        if (save_freelist64(p, &e, fofs) != 0) return -1;
        next = fofs;
    }
    head->f.next = next;
    return save_freelist64(p, head, head->fofs);
}

namespace {

// The record a reservation writes at once: rec's first head_len bytes, then the pieces.
struct Content {
    const void* rec;
    uint64_t head_len;
    std::span<const PDB64_PIECE> pieces;
};

// Reserves room for a record of h's size and type as alloc_filespace64 does; with content, that
// record is written there too. At the file's end the record then goes in one write instead of
// zeros first and the record after them.
int64_t reserve(PDB64* p, const PN64_HEADER* h, const Content* c) {
    if (h->size < PN64_FREELIST_SIZE) er_panic("alloc_filespace sizeoerror(1)");
    FREELIST64* head = p->freelist_work;
    if (!head) er_panic("alloc_filespace(1)");
    if (p->freelist_broken) {
        errno = EIO;
        return -1;
    }
    if (freelist64_check_on && check_freelist64(p) != 0) return -1;
    uint64_t want = pn64_onfile_length(h->size);
    int64_t pos = -1;
    if (ensure_index(p) != 0) return -1;
    if (FREELIST64* cur = ix_fit(p->freelist_index, want)) {
        FREELIST64* prev = ix_above(p->freelist_index, cur->fofs);
        if (!prev) prev = head;
        if (prev->next != cur) er_panic("alloc_filespace(3)");
        pos = static_cast<int64_t>(cur->fofs);
        if (cur->flen == want) {
            if (delete_freelist64(nullptr, p, prev) != 0) {
                if (p->freelist_broken) return -1;
                er_panic("alloc_filespace(2)");
            }
            if (write_new_record(p, h->type, h->size, static_cast<uint64_t>(pos)) != 0) return -1;
        } else {
            // The record takes the lower part; the rest stays free where it is in the list. When
            // the two headers lie in different pages, the rest's reaches the host file first,
            // inside space the old header covers there: a process killed while the record's
            // pages go out never leaves a record followed by stale bytes in the chain. An extent
            // that releases joined in the cache alone is still in pieces on the host file, and
            // the rest's header could fall on the header of one of them: the old header goes
            // there first, making the extent one piece; an extent reaching past what the host
            // file holds is made one piece by writing the file's pages back.
            uint64_t was = cur->fofs;
            uint64_t len = cur->flen;
            bool apart = (was & FAC_PAGE_MASK) != ((was + want + 19) & FAC_PAGE_MASK);
            if (apart && (fac_host_holds(&p->fac, was + len) ? put_freelist64(p, cur, was, true)
                                                             : fac_flush(&p->fac)) != 0)
                return -1;
            cur->fofs += want;
            cur->flen -= want;
            ix_changed(p, cur, was, len);
            prev->f.next = cur->fofs;
            if (put_freelist64(p, cur, cur->fofs, apart) != 0 ||
                write_new_record(p, h->type, h->size, was) != 0 ||
                save_freelist64(p, prev, prev->fofs) != 0)
                return -1;
        }
    }
    if (p->freelist_broken) return -1;
    if (pos < 0) {
        if (c) {
            pos = fs_raw_write64_pieces(p, c->rec, c->head_len, c->pieces);
        } else {
            uint8_t rec[PN64_HEADER_SIZE];
            pn64_set(rec, h->type, h->size);
            pos = fs_raw_write64(p, rec, 3);
        }
        if (pos < 0) return -1;
    } else if (c && write_filespace64f_pieces(p, static_cast<uint64_t>(pos), c->rec, c->head_len,
                                              c->pieces) < 0) {
        int e = errno;
        free_filespace64(p, static_cast<uint64_t>(pos));
        errno = e;
        return -1;
    }
    if (freelist64_check_on && check_freelist64(p) != 0) return -1;
    return pos;
}

}  // namespace

int64_t alloc_filespace64(PDB64* p, const PN64_HEADER* h) {
    return reserve(p, h, nullptr);
}

int64_t put_filespace64_pieces(PDB64* p, const void* rec, uint64_t head_len,
                               std::span<const PDB64_PIECE> pieces) {
    PN64_HEADER h = {};
    h.type = pn64_type(rec);
    h.size = pn64_size(rec);
    uint64_t total = head_len;
    for (const PDB64_PIECE& c : pieces)
        total += c.len;
    if (h.size < PN64_FREELIST_SIZE || head_len < PN64_HEADER_SIZE || total != h.size) {
        errno = EINVAL;
        return -1;
    }
    Content c{rec, head_len, pieces};
    return reserve(p, &h, &c);
}

int64_t put_filespace64(PDB64* p, const void* rec) {
    PN64_HEADER h = {};
    h.type = pn64_type(rec);
    h.size = pn64_size(rec);
    int64_t pos = alloc_filespace64(p, &h);
    if (pos < 0) return -1;
    if (write_filespace64f(p, static_cast<uint64_t>(pos), const_cast<void*>(rec)) < 0) {
        free_filespace64(p, static_cast<uint64_t>(pos));
        return -1;
    }
    return pos;
}

int free_filespace64(PDB64* p, uint64_t fofs) {
    if (fofs == 0) er_panic("free_filespace64");
    FREELIST64* head = p->freelist_work;
    if (!head) er_panic("free_filespace(1)");
    if (p->freelist_broken) {
        errno = EIO;
        return -1;
    }
    if (freelist64_check_on && check_freelist64(p) != 0) return -1;
    PDB64_PHYS ph;
    if (fofs < PN64_FIRST_RECORD || pdb64_read_phys(p, fofs, &ph) != 0 ||
        ph.type == PN64_FREE_EXTENT_TYPE || ph.type == PN64_FREELIST_HEAD_TYPE) {
        errno = EINVAL;
        return -1;
    }
    uint64_t len = ph.len;
    int64_t end = fac_lseek(&p->fac, 0, SEEK_END);
    if (end >= 0 && fofs + len == static_cast<uint64_t>(end)) {
        // The last record: the file is cut, and with it a free extent right before, in one cut
        // of the host file: a writer killed between two cuts would leave a free extent at the
        // end, which the next opening could only mend by cutting the file.
        if (truncate_check64(p, fofs) != 0) return -1;
        if (fac_lseek(&p->fac, 0, SEEK_END) == end && fac_truncate(&p->fac, fofs) != 0) return -1;
    } else {
        // The neighbours in the descending list: upper above fofs, lower below it.
        if (ensure_index(p) != 0) return -1;
        Around a = ix_around(p->freelist_index, fofs);
        FREELIST64* upper = a.upper;
        FREELIST64* lower = a.lower;
        FREELIST64* upper_pred = upper ? (a.upper_pred ? a.upper_pred : head) : nullptr;
        if (p->freelist_broken) return -1;
        if ((upper && fofs + len > upper->fofs) || (lower && lower->fofs + lower->flen > fofs)) {
            // The position lies in free space: no record in use stands there.
            if (lower && lower->fofs + lower->flen > fofs)
                fprintf(stderr, "=== %lli %lli / %lli %lli\n",
                        static_cast<long long>(lower->fofs + lower->flen),
                        static_cast<long long>(fofs), static_cast<long long>(lower->f.h.size),
                        static_cast<long long>(lower->flen));
            errno = EINVAL;
            return -1;
        }
        bool upper_adj = upper && fofs + len == upper->fofs;
        bool lower_adj = lower && lower->fofs + lower->flen == fofs;
        if (upper_adj && lower_adj) {
            uint64_t was = lower->flen;
            lower->flen += len + upper->flen;
            ix_changed(p, lower, lower->fofs, was);
            if (delete_freelist64(nullptr, p, upper_pred) != 0) {
                if (p->freelist_broken) return -1;
                er_panic("free_filespace64(1)");
            }
            if (save_freelist64(p, lower, lower->fofs) != 0) return -1;
        } else if (upper_adj) {
            uint64_t was = upper->fofs;
            uint64_t was_len = upper->flen;
            upper->fofs = fofs;
            upper->flen += len;
            ix_changed(p, upper, was, was_len);
            upper_pred->f.next = fofs;
            if (save_freelist64(p, upper, fofs) != 0 ||
                save_freelist64(p, upper_pred, upper_pred->fofs) != 0)
                return -1;
        } else if (lower_adj) {
            uint64_t was = lower->flen;
            lower->flen += len;
            ix_changed(p, lower, lower->fofs, was);
            if (save_freelist64(p, lower, lower->fofs) != 0) return -1;
        } else if (!insert_freelist64(p, upper ? upper : head, fofs, len) && len >= 12) {
            return -1;
        }
    }
    if (freelist64_check_on && check_freelist64(p) != 0) return -1;
    return 0;
}
