// The layout model: sequences, character buffers, boxes, positions, edits, the queue of stale
// positions, attribute lists and references; and the sequence task, waiting, closing and the
// locks.
#include "render/layout.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "longchar/longchar.h"
#include "render/font.h"

TR_SEQUENCE* sq_list = nullptr;
SEM text_render_lock = nullptr;

namespace {
// The system lock's bookkeeping, under text_render_lock: positive the sequence locks held,
// negative the writer's depth.
int tr_rw_lock_count = 0;
TKEY tr_rw_lock_tid = 0;
const char* tr_rw_lock_file = nullptr;
int tr_rw_lock_line = 0;
uint32_t tr_rw_lock_time = 0;

template <class T>
T* zalloc() {
    return static_cast<T*>(d_calloc(1, sizeof(T)));
}
}  // namespace

// ---------------------------------------------------------------- position stacks

void tr_ptr_push(TR_PTR_STACK** s, TR_PTR p) {
    auto* n = zalloc<TR_PTR_STACK>();
    n->p = p;
    n->next = *s;
    *s = n;
}

TR_PTR tr_ptr_pop(TR_PTR_STACK** s) {
    TR_PTR_STACK* n = *s;
    if (!n) return {nullptr, 0};
    *s = n->next;
    TR_PTR p = n->p;
    d_f_ree(n);
    return p;
}

void tr_ptr_free(TR_PTR_STACK** s) {
    while (*s)
        tr_ptr_pop(s);
}

const char* _xx_tr_check_error(TR_ERROR e) {
    switch (e.code) {
        case TRE_OK:
            return e.subcode == TRE_OK_NONE ? "TRE_OK_NONE"
                   : e.subcode == 1         ? "TRE_OK(1)"
                                            : "undef";
        case TRE_INSERT_CHAR:
            return "TRE_INSERT_CHAR";
        case TRE_INSERT_LINE:
            return "TRE_INSERT_LINE";
        default:
            return "undef";
    }
}

// ---------------------------------------------------------------- numbering

namespace {
// Links n after prev in a ring whose sentinel has number 0, numbering it as the ring requires.
template <class T>
void link_numbered(T* n, T* prev) {
    T* next = prev->next;
    n->prev = prev;
    n->next = next;
    prev->next = n;
    next->prev = n;
    if (next->seq == 0) {
        n->seq = prev->seq + 10;
    } else if (next->seq - prev->seq > 1) {
        n->seq = static_cast<int>((static_cast<int64_t>(prev->seq) + next->seq) / 2);
    } else {
        n->seq = prev->seq + 1;
        int last = n->seq;
        for (T* c = next; c->seq != 0 && c->seq <= last; c = c->next) {
            c->seq = last + 1;
            last = c->seq;
        }
    }
}

template <class T>
void unlink_ring(T* n) {
    n->prev->next = n->next;
    n->next->prev = n->prev;
    n->next = n->prev = nullptr;
}
}  // namespace

// ---------------------------------------------------------------- positions

int tr_ptr_cmp(TR_PTR a, TR_PTR b) {
    if (!a.buf) return b.buf ? -1 : 0;
    if (!b.buf) return 1;
    if (a.buf != b.buf) return a.buf->seq < b.buf->seq ? -1 : 1;
    return a.ptr < b.ptr ? -1 : a.ptr > b.ptr ? 1 : 0;
}

int _tr_ptr_regulation(TR_SEQUENCE* sq, TR_PTR* p) {
    (void)sq;
    if (!p->buf) return 2;
    while (p->ptr >= p->buf->buf_len) {
        if (p->buf->next->seq != 0) {
            p->ptr -= p->buf->buf_len;
            p->buf = p->buf->next;
        } else if (p->ptr == p->buf->buf_len) {
            return 0;
        } else {
            *p = {nullptr, 0};
            return 1;
        }
    }
    while (p->ptr < 0) {
        if (p->buf->prev->seq == 0) {
            *p = {nullptr, 0};
            return -1;
        }
        p->buf = p->buf->prev;
        p->ptr += p->buf->buf_len;
    }
    return 0;
}

int tr_ptr_regulation(TR_SEQUENCE* sq, TR_PTR* p) {
    tr_lock(sq);
    int r = _tr_ptr_regulation(sq, p);
    tr_unlock(sq);
    return r;
}

TR_PTR _tr_ptr_step(TR_PTR p, int by) {
    if (!p.buf) return p;
    p.ptr += by;
    _tr_ptr_regulation(nullptr, &p);
    return p;
}

TR_PTR tr_ptr_prev(TR_PTR p) {
    return _tr_ptr_step(p, -1);
}

namespace {
void set_hot(TR_CHAR_BUF* b, int k) {
    b->hot = k;
    b->hot_start = b->pieces[k].start;
    b->hot_len = b->pieces[k].len;
    b->hot_el = b->pieces[k].el;
}

// The piece of b holding character i (0 <= i < buf_len), found from the one reached last.
TR_PIECE* find_piece(TR_CHAR_BUF* b, int i) {
    auto holds = [b, i](int k) {
        return k >= 0 && k < b->n_pieces && i >= b->pieces[k].start &&
               i < b->pieces[k].start + b->pieces[k].len;
    };
    int k = b->hot + 1;
    if (!holds(k) && !holds(k = b->hot - 1) && !holds(k = b->hot)) {
        int lo = 0, hi = b->n_pieces - 1;
        while (lo < hi) {
            const int mid = (lo + hi + 1) / 2;
            if (b->pieces[mid].start <= i)
                lo = mid;
            else
                hi = mid - 1;
        }
        k = lo;
    }
    set_hot(b, k);
    return b->pieces + k;
}

__attribute__((noinline)) TR_CHAR_ELEMENT* far_slot(TR_CHAR_BUF* b, int i) {
    TR_PIECE* pc = find_piece(b, i);
    return pc->el + (i - pc->start);
}

// Character i of b.
inline TR_CHAR_ELEMENT* slot(TR_CHAR_BUF* b, int i) {
    const auto off = static_cast<unsigned>(i - b->hot_start);
    if (off < static_cast<unsigned>(b->hot_len)) return b->hot_el + off;
    return far_slot(b, i);
}
}  // namespace

TR_CHAR_ELEMENT* _tr_char_element_far(TR_PTR p) {
    return far_slot(p.buf, p.ptr);
}

int _tr_char_run(TR_PTR p, TR_CHAR_ELEMENT** first) {
    *first = _tr_char_element(p);
    // Reaching p made its piece the one reached last.
    return *first ? p.buf->hot_start + p.buf->hot_len - p.ptr : 0;
}

void _tr_ll_take_shifts(TR_LL_PTR* p, bool end) {
    TR_CHAR_BUF* b = p->buf;
    const uint32_t from = p->seen - b->shift_base, to = b->shift_n - b->shift_base;
    if (from > to) er_panic("_tr_ll_take_shifts");  // a shift dropped before the line took it
    for (uint32_t i = from; i < to; i++) {
        const TR_SHIFT& sh = b->shifts[i];
        if (p->raw >= (end ? sh.e_at : sh.s_at)) p->raw += sh.delta;
    }
    p->seen = b->shift_n;
}

TR_LANG_LINE* _tr_walk_start_at(TR_SEQUENCE* sq, TR_PTR p) {
    TR_CHAR_BUF* b = p.buf;
    if (b->n_pieces) {
        int k = p.ptr >= 0 && p.ptr < b->buf_len
                    ? static_cast<int>(find_piece(b, p.ptr) - b->pieces)
                    : b->n_pieces - 1;
        for (; k >= 0; k--)
            if (TR_LANG_LINE* l = b->pieces[k].line) return l;
    }
    return _tr_walk_start(sq, b);
}

void _tr_map_pieces(TR_LANG_LINE* ll) {
    const TR_PTR s = tr_ll_start(ll), e = tr_ll_end(ll);
    for (TR_CHAR_BUF* b = s.buf; b->seq; b = b->next) {
        const int from = b == s.buf ? s.ptr : 0;
        const int to = b == e.buf ? e.ptr : b->buf_len;  // exclusive
        if (from < to && b->n_pieces) {
            int k = static_cast<int>(find_piece(b, from) - b->pieces);
            for (; k < b->n_pieces && b->pieces[k].start < to; k++) {
                TR_PIECE& pc = b->pieces[k];
                if (pc.line && tr_ptr_cmp(tr_ll_start(pc.line), s) <= 0) continue;
                // A line made before the lines ahead of it on the piece names the first of them.
                TR_LANG_LINE* first = ll;
                for (TR_LANG_LINE* pl = _tr_prev_lang_line(first);
                     pl && tr_ptr_cmp(tr_ll_end(pl), TR_PTR{b, pc.start}) > 0;
                     pl = _tr_prev_lang_line(pl))
                    first = pl;
                if (!pc.line || tr_ptr_cmp(tr_ll_start(first), tr_ll_start(pc.line)) < 0) {
                    pc.line = first;
                    first->mapped = true;
                }
            }
        }
        if (b == e.buf) break;
    }
}

void _tr_unmap_pieces(TR_SEQUENCE* sq, TR_LANG_LINE* ll, TR_LANG_LINE* repl) {
    for (TR_CHAR_BUF* b = sq->char_buf_ring.next; b->seq; b = b->next)
        for (int k = 0; k < b->n_pieces; k++)
            if (b->pieces[k].line == ll) {
                b->pieces[k].line = repl;
                if (repl) repl->mapped = true;
            }
}

TR_PTR _tr_first_ptr(TR_SEQUENCE* sq) {
    TR_CHAR_BUF* b = sq->char_buf_ring.next;
    return b->seq ? TR_PTR{b, 0} : TR_PTR{nullptr, 0};
}

TR_PTR _tr_end_ptr(TR_SEQUENCE* sq) {
    TR_CHAR_BUF* b = sq->char_buf_ring.prev;
    return b->seq ? TR_PTR{b, b->buf_len} : TR_PTR{nullptr, 0};
}

// ---------------------------------------------------------------- attributes

namespace {
TR_ATTR* tr_copy_default(const TR_ATTR* a) {
    int size = tr_attr_table[a->type].size;
    auto* n = static_cast<TR_ATTR*>(d_alloc(size));
    memcpy(n, a, size);
    n->next = nullptr;
    return n;
}
void tr_free_default(TR_ATTR* a) {
    d_f_ree(a);
}
int tr_cmp_short(const TR_ATTR* a, const TR_ATTR* b) {
    int16_t x = reinterpret_cast<const TRA_ORNAMENT*>(a)->flags;
    int16_t y = reinterpret_cast<const TRA_ORNAMENT*>(b)->flags;
    return x < y ? -1 : x > y ? 1 : 0;
}
int tr_cmp_int(const TR_ATTR* a, const TR_ATTR* b) {
    int32_t x = reinterpret_cast<const TRA_COLOR*>(a)->color;
    int32_t y = reinterpret_cast<const TRA_COLOR*>(b)->color;
    return x < y ? -1 : x > y ? 1 : 0;
}
}  // namespace

static_assert(offsetof(TRA_ORNAMENT, flags) == offsetof(TRA_REFERENECE, id));

const TR_ATTR_TABLE tr_attr_table[5] = {
    {0, nullptr, nullptr, nullptr},
    {sizeof(TRA_LINE_ATTR), tr_copy_default, tr_free_default, nullptr},
    {sizeof(TRA_ORNAMENT), tr_copy_default, tr_free_default, tr_cmp_short},
    {sizeof(TRA_REFERENECE), tr_copy_default, tr_free_default, tr_cmp_short},
    {sizeof(TRA_COLOR), tr_copy_default, tr_free_default, tr_cmp_int},
};

TR_ATTR* _tr_get_attr(const TR_ATTR* a, int type) {
    while (a && a->type < type)
        a = a->next;
    return a && a->type == type ? const_cast<TR_ATTR*>(a) : nullptr;
}

int _tr_get_attr_short_data(const TR_ATTR* a, int type) {
    TR_ATTR* r = _tr_get_attr(a, type);
    return r ? reinterpret_cast<TRA_ORNAMENT*>(r)->flags : 0;
}

int _tr_get_attr_int_data(const TR_ATTR* a, int type) {
    TR_ATTR* r = _tr_get_attr(a, type);
    return r ? reinterpret_cast<TRA_COLOR*>(r)->color : 0;
}

namespace {
// The record of the type, made and linked in order when missing.
TR_ATTR* attr_slot(TR_ATTR** ap, int type) {
    if (type <= 0 || type > 4) er_panic("_tr_set_attr");
    TR_ATTR** pp = ap;
    while (*pp && (*pp)->type <= type) {
        if ((*pp)->type == type) return *pp;
        pp = &(*pp)->next;
    }
    auto* n = static_cast<TR_ATTR*>(d_calloc(1, tr_attr_table[type].size));
    n->type = static_cast<uint16_t>(type);
    n->next = *pp;
    *pp = n;
    return n;
}
}  // namespace

void _tr_set_attr_short_data(TR_ATTR** ap, int type, int data) {
    reinterpret_cast<TRA_ORNAMENT*>(attr_slot(ap, type))->flags = static_cast<int16_t>(data);
}

void _tr_set_attr_int_data(TR_ATTR** ap, int type, int data) {
    reinterpret_cast<TRA_COLOR*>(attr_slot(ap, type))->color = data;
}

TR_ATTR* _tr_copy_attr(const TR_ATTR* a) {
    TR_ATTR* head = nullptr;
    TR_ATTR** tail = &head;
    for (; a; a = a->next) {
        *tail = tr_attr_table[a->type].copy(a);
        tail = &(*tail)->next;
    }
    return head;
}

void _tr_free_attr(TR_ATTR* a) {
    while (a) {
        TR_ATTR* n = a->next;
        tr_attr_table[a->type].free(a);
        a = n;
    }
}

int _tr_cmp_attr(const TR_ATTR* a, const TR_ATTR* b) {
    for (;;) {
        if (!a || !b) return !a && !b ? 0 : a ? 1 : -1;
        if (a->type == 0 || a->type > 4 || b->type == 0 || b->type > 4) er_panic("_tr_cmp_attr");
        if (a->type < b->type) return -1;
        if (a->type > b->type) return 1;
        if (auto cmp = tr_attr_table[a->type].cmp)
            if (int r = cmp(a, b)) return r;
        a = a->next;
        b = b->next;
    }
}

void _tr_set_default_lattr(TR_LINE_ATTR* la) {
    la->flags = 7;
    la->align = 3;
    la->default_dir = TRD_H_L2R;
    la->pitch = 15;
}

// ---------------------------------------------------------------- references

namespace {
int ref_cmp(void* node_data, void* key) {
    int a = static_cast<TR_REFERENCE*>(node_data)->id;
    int b = static_cast<int>(reinterpret_cast<intptr_t>(key));
    return a == b ? 0 : a > b ? 1 : -1;
}
void* id_key(int id) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(id));
}
}  // namespace

TR_REFERENCE* _tr_get_reference(TR_SEQUENCE* sq, int id) {
    AVT_NODE* n = avt_search(sq->ref, id_key(id), ref_cmp);
    return n ? static_cast<TR_REFERENCE*>(n->data) : nullptr;
}

int _tr_set_attr_reference(TR_SEQUENCE* sq, TR_ATTR** ap, const L_CHAR* ref) {
    // Ids run 1 .. 32767 and wrap; one round over them all finds a free one or gives up.
    int id = sq->ref_id;
    for (int tries = 0;; tries++) {
        if (tries >= 32767) return -1;
        id = id + 1 > 32767 || id + 1 <= 0 ? 1 : id + 1;
        if (!_tr_get_reference(sq, id)) break;
    }
    sq->ref_id = static_cast<int16_t>(id);
    auto* r = zalloc<TR_REFERENCE>();
    r->id = static_cast<int16_t>(id);
    static const L_CHAR empty[1] = {0};
    r->data = ll_copy_str(ref ? ref : empty);
    r->node.data = r;
    avt_insert(&sq->ref, &r->node, [](void* nd, void* key) {
        return ref_cmp(nd, id_key(static_cast<TR_REFERENCE*>(key)->id));
    });
    _tr_set_attr_short_data(ap, TRA_REFERENCE_T, id);
    return 0;
}

// ---------------------------------------------------------------- sequences and boxes

TR_SEQUENCE* tr_new_sequence(TR_BOX_OP* op, int pri, void* msg) {
    render_first_use();
    auto* sq = zalloc<TR_SEQUENCE>();
    sq->box_op = op;
    sq->pri = pri;
    sq->box_ring.next = sq->box_ring.prev = &sq->box_ring;
    sq->char_buf_ring.next = sq->char_buf_ring.prev = &sq->char_buf_ring;
    sq->lang_area_ring.next = sq->lang_area_ring.prev = &sq->lang_area_ring;
    slot_pool_init(&sq->element_pool, sizeof(TR_ELEMENT));
    slot_pool_init(&sq->line_pool, sizeof(TR_BOX_LINE));
    slot_pool_init(&sq->lang_line_pool, sizeof(TR_LANG_LINE));
    if (op->new_sequence(sq, msg) < 0) er_panic("tr_new_sequence(1)");
    lock_task(text_render_lock);
    sq->next = sq_list;
    sq_list = sq;
    unlock_task(text_render_lock, "tr_new_sequence");
    return sq;
}

TR_BOX* _tr_new_box(TR_SEQUENCE* sq, TR_BOX* after, const TR_BOX_ATTR* attr) {
    auto* b = zalloc<TR_BOX>();
    b->sequence = sq;
    b->attr = *attr;
    link_numbered(b, after ? after : sq->box_ring.prev);
    if (sq->box_op->new_box) sq->box_op->new_box(sq, b);
    _dirty_box(sq, b, 12);
    return b;
}

TR_BOX* tr_new_box(TR_SEQUENCE* sq, TR_BOX* after, const TR_BOX_ATTR* attr) {
    tr_lock(sq);
    TR_BOX* b = _tr_new_box(sq, after, attr);
    tr_unlock(sq);
    return b;
}

// ---------------------------------------------------------------- buffers

namespace {
// A block of old_n records resized to n (its content kept up to the shorter), never null.
template <class T>
T* resize_block(T* p, int64_t old_n, int64_t n) {
    const int64_t bytes = std::max<int64_t>(n, 1) * int64_t{sizeof(T)};
    if (void* q = d_re_alloc(p, bytes)) return static_cast<T*>(q);
    // Refused: a fresh block, which waits for memory as every allocation does.
    auto* q = static_cast<T*>(d_alloc(bytes));
    if (p) memcpy(static_cast<void*>(q), p, std::min(old_n, n) * int64_t{sizeof(T)});
    d_f_ree(p);
    return q;
}

// The records a piece list of n pieces has room for: the next power of two.
int list_room(int n) {
    int r = 1;
    while (r < n)
        r *= 2;
    return r;
}

// Room for n more pieces at index k of b's list (their records are left to the caller).
void open_pieces(TR_CHAR_BUF* b, int k, int n) {
    const int need = list_room(b->n_pieces + n);
    if (need > list_room(b->n_pieces) || !b->pieces)
        b->pieces = resize_block(b->pieces, b->n_pieces, need);
    memmove(b->pieces + k + n, b->pieces + k, sizeof(TR_PIECE) * (b->n_pieces - k));
    b->n_pieces += n;
}

bool in_slab(const TR_CHAR_BUF* b, const TR_CHAR_ELEMENT* el) {
    return b->slab && el >= b->slab && el < b->slab + b->slab_len;
}

// Gives back a piece's block; a piece of the slab frees the slab with the last of them.
void drop_block(TR_CHAR_BUF* b, TR_CHAR_ELEMENT* el) {
    if (!in_slab(b, el)) {
        d_f_ree(el);
    } else if (--b->slab_pieces == 0) {
        d_f_ree(b->slab);
        b->slab = nullptr;
        b->slab_len = 0;
    }
}

// The piece in a block of its own of cap records (at least its length).
void own_block(TR_CHAR_BUF* b, TR_PIECE& pc, int cap) {
    if (in_slab(b, pc.el)) {
        auto* el = static_cast<TR_CHAR_ELEMENT*>(
            d_alloc(std::max(cap, 1) * int64_t{sizeof(TR_CHAR_ELEMENT)}));
        memcpy(static_cast<void*>(el), pc.el, sizeof(TR_CHAR_ELEMENT) * pc.len);
        drop_block(b, pc.el);
        pc.el = el;
    } else {
        pc.el = resize_block(pc.el, pc.len, cap);
    }
    pc.cap = cap;
}

void close_piece(TR_CHAR_BUF* b, int k) {
    drop_block(b, b->pieces[k].el);
    memmove(b->pieces + k, b->pieces + k + 1, sizeof(TR_PIECE) * (b->n_pieces - k - 1));
    b->n_pieces--;
}

// The pieces' starts from piece k on, after their lengths changed.
void number_pieces(TR_CHAR_BUF* b, int k) {
    for (int j = std::max(k, 1); j < b->n_pieces; j++)
        b->pieces[j].start = b->pieces[j - 1].start + b->pieces[j - 1].len;
    if (k == 0 && b->n_pieces) b->pieces[0].start = 0;
    set_hot(b, std::min(b->hot, b->n_pieces - 1));
}

// Makes pieces k .. from the characters src[0, o), n cleared ones, then src[o, len): as few as
// hold them at three quarters of the most, so that an insertion there later grows a piece
// instead of cutting it. Each starts its look-ups at line (the piece they come from).
void fill_pieces(TR_CHAR_BUF* b, int k, const TR_CHAR_ELEMENT* src, int o, int len, int n,
                 TR_LANG_LINE* line) {
    const int64_t total = int64_t{len} + n;
    const int64_t fill = TR_PIECE_MAX * 3 / 4;
    const int m = static_cast<int>(std::max<int64_t>(1, (total + fill - 1) / fill));
    open_pieces(b, k, m);
    // A buffer's first text lies in one cleared block, as long texts are made in one go.
    const bool slab = !src && !b->slab && b->n_pieces == m;
    if (slab) {
        b->slab = static_cast<TR_CHAR_ELEMENT*>(d_calloc(total, sizeof(TR_CHAR_ELEMENT)));
        b->slab_len = static_cast<int>(total);
        b->slab_pieces = m;
    }
    int64_t at = 0;
    for (int j = 0; j < m; j++) {
        const int q = static_cast<int>(total / m + (j < total % m ? 1 : 0));
        auto* el =
            slab ? b->slab + at
                 : static_cast<TR_CHAR_ELEMENT*>(d_alloc(int64_t{q} * sizeof(TR_CHAR_ELEMENT)));
        b->pieces[k + j] = {0, q, q, el, line};
        // The part of each of the three runs that falls into [at, at + q).
        auto part = [&](int64_t from, int64_t to, const TR_CHAR_ELEMENT* s) {
            const int64_t a = std::max(from, at), e = std::min(to, at + q);
            if (a >= e) return;
            if (s)
                memcpy(static_cast<void*>(el + (a - at)), s + (a - from),
                       (e - a) * sizeof(TR_CHAR_ELEMENT));
            else
                memset(static_cast<void*>(el + (a - at)), 0, (e - a) * sizeof(TR_CHAR_ELEMENT));
        };
        if (!slab) {  // the slab came cleared
            part(0, o, src);
            part(o, int64_t{o} + n, nullptr);
            part(int64_t{o} + n, total, src ? src + o : nullptr);
        }
        at += q;
    }
}

// n cleared characters at i of b.
void open_chars(TR_CHAR_BUF* b, int i, int n) {
    if (!b->n_pieces) {
        fill_pieces(b, 0, nullptr, 0, 0, n, nullptr);
        number_pieces(b, 0);
    } else {
        int k = i < b->buf_len ? static_cast<int>(find_piece(b, i) - b->pieces) : b->n_pieces - 1;
        // At a piece's start, the end of the piece before serves when it has room.
        if (k > 0 && i == b->pieces[k].start && b->pieces[k - 1].len + n <= b->pieces[k - 1].cap)
            k--;
        TR_PIECE& pc = b->pieces[k];
        const int o = i - pc.start;
        if (int64_t{pc.len} + n <= TR_PIECE_MAX) {
            if (pc.len + n > pc.cap)
                own_block(b, pc, std::min(TR_PIECE_MAX, std::max(pc.len + n, pc.len + pc.len / 2)));
            memmove(static_cast<void*>(pc.el + o + n), pc.el + o,
                    sizeof(TR_CHAR_ELEMENT) * (pc.len - o));
            memset(static_cast<void*>(pc.el + o), 0, sizeof(TR_CHAR_ELEMENT) * n);
            pc.len += n;
        } else {
            // Too many for the piece: it is cut into new ones with the new characters.
            TR_PIECE old = pc;
            memmove(b->pieces + k, b->pieces + k + 1, sizeof(TR_PIECE) * (b->n_pieces - k - 1));
            b->n_pieces--;
            fill_pieces(b, k, old.el, o, old.len, n, old.line);
            drop_block(b, old.el);
        }
        number_pieces(b, k);
    }
    b->buf_len += n;
}

TR_CHAR_BUF* new_char_buf(TR_CHAR_BUF* prev, int len) {
    auto* b = zalloc<TR_CHAR_BUF>();
    open_chars(b, 0, len);
    link_numbered(b, prev);
    return b;
}

void free_elements(TR_SEQUENCE* sq, TR_CHAR_ELEMENT* e, int n) {
    for (int i = 0; i < n; i++) {
        _tr_free_attr(e[i].attr);
        if (e[i].d.type < 0 && sq->box_op->obj_op) sq->box_op->obj_op->free_obj(e[i].d.obj.obj);
    }
}

// The first language line that may hold a position after p: the line holding p, moved back
// over any line before it that still reaches past p. Lines before it end at or before p, and an
// insertion at p leaves them as they are. Without a line holding p, the piece's mapping.
TR_LANG_LINE* first_line_reaching(TR_SEQUENCE* sq, TR_PTR p) {
    TR_LANG_LINE* ll = _tr_find_lang_line(sq, p);
    if (!ll) return _tr_walk_start_at(sq, p);
    for (TR_LANG_LINE* pl = _tr_prev_lang_line(ll);
         pl && (!tr_ll_end(pl).buf || tr_ptr_cmp(tr_ll_end(pl), p) > 0);
         pl = _tr_prev_lang_line(pl))
        ll = pl;
    return ll;
}

// Brings every language line holding a position in b up to date with b's shifts and drops them.
// Most positions lie before every shift's place, or after all of them: for the shifts from i on,
// a position below low[i] keeps its place, and one at or above high[i] passes every shift and
// moves by sum[i]. Only a position between edits takes them in one by one.
void fold_shifts(TR_SEQUENCE* sq, TR_CHAR_BUF* b) {
    const uint32_t k = b->shift_n - b->shift_base;
    std::vector<int64_t> low[2], high[2], sum(k + 1, 0);
    for (int e = 0; e < 2; e++) {
        low[e].assign(k + 1, int64_t{1} << 40);  // beyond any position
        high[e].assign(k + 1, -(int64_t{1} << 40));
    }
    for (uint32_t i = k; i-- > 0;) {
        const TR_SHIFT& sh = b->shifts[i];
        sum[i] = sum[i + 1] + sh.delta;
        for (int e = 0; e < 2; e++) {
            const int64_t at = e ? sh.e_at : sh.s_at;
            low[e][i] = std::min(low[e][i + 1], at);
            high[e][i] = std::max(at, high[e][i + 1] - sh.delta);
        }
    }
    auto take = [&](TR_LL_PTR* p, int e) {
        if (p->buf != b || p->seen == b->shift_n) return;
        const uint32_t i = p->seen - b->shift_base;
        if (i > k) er_panic("fold_shifts");
        if (p->raw >= high[e][i])
            p->raw = static_cast<int>(p->raw + sum[i]);
        else if (p->raw >= low[e][i])
            _tr_ll_take_shifts(p, e != 0);
        p->seen = b->shift_n;
    };
    // The buffer's mapping names the first line covering a character of it; a line before that
    // one may still end at the buffer's start, and it must take the shifts too.
    TR_LANG_LINE* first = _tr_walk_start(sq, b);
    for (TR_LANG_LINE* pl = first ? _tr_prev_lang_line(first) : nullptr;
         pl && (pl->end.buf == b || pl->start.buf == b); pl = _tr_prev_lang_line(pl))
        first = pl;
    for (TR_LANG_LINE* ll = first; ll; ll = _tr_next_lang_line(ll)) {
        take(&ll->start, 0);
        take(&ll->end, 1);
        if (ll->start.buf && ll->start.buf->seq > b->seq) break;
    }
    b->shift_base = b->shift_n;
    d_f_ree(b->shifts);
    b->shifts = nullptr;
}

// Notes a shift of b's later positions. The list is kept to a length a fold repays (folding walks
// the buffer's lines, about one per few dozen characters) and short enough that a line long
// unread takes in its shifts quickly.
void add_shift(TR_SEQUENCE* sq, TR_CHAR_BUF* b, TR_SHIFT sh) {
    uint32_t kept = b->shift_n - b->shift_base;
    if (kept >= std::clamp<int64_t>(b->buf_len / 64, 16, 1024)) {
        fold_shifts(sq, b);
        kept = 0;
    }
    // The list's block holds 4, then the next power of two.
    if (kept == 0)
        b->shifts = resize_block(b->shifts, 0, 4);
    else if (kept >= 4 && (kept & (kept - 1)) == 0)
        b->shifts = resize_block(b->shifts, kept, int64_t{kept} * 2);
    b->shifts[kept] = sh;
    b->shift_n++;
}

// Frees n characters at i of b (not all of them). A piece left small joins a neighbour, and a
// block far larger than what it holds is cut down, so memory follows the text.
void close_chars(TR_SEQUENCE* sq, TR_CHAR_BUF* b, int i, int n) {
    const int cut = n, had = b->n_pieces;
    int k = static_cast<int>(find_piece(b, i) - b->pieces);
    const int first = k;
    for (int o = i - b->pieces[k].start; n > 0; o = 0) {
        TR_PIECE& pc = b->pieces[k];
        const int c = std::min(n, pc.len - o);
        free_elements(sq, pc.el + o, c);
        memmove(static_cast<void*>(pc.el + o), pc.el + o + c,
                sizeof(TR_CHAR_ELEMENT) * (pc.len - o - c));
        pc.len -= c;
        n -= c;
        if (pc.len == 0)
            close_piece(b, k);
        else
            k++;
    }
    b->buf_len -= cut;
    // The pieces around the cut: neighbours that fit in half a piece, or a small one with a
    // neighbour it fits with, merge; a block far larger than what it holds is cut down.
    const int lo = std::max(first - 1, 0);
    int hi = std::min(k, b->n_pieces - 1);
    for (int j = lo; j < hi;) {
        TR_PIECE &pc = b->pieces[j], &nx = b->pieces[j + 1];
        const int sum = pc.len + nx.len;
        if (sum > TR_PIECE_MAX ||
            (sum > TR_PIECE_MAX / 2 && std::min(pc.len, nx.len) >= TR_PIECE_MAX / 8)) {
            j++;
            continue;
        }
        if (sum > pc.cap) own_block(b, pc, sum);
        memcpy(static_cast<void*>(pc.el + pc.len), nx.el, sizeof(TR_CHAR_ELEMENT) * nx.len);
        pc.len += nx.len;
        close_piece(b, j + 1);
        hi--;
    }
    for (int j = lo; j <= hi; j++) {
        TR_PIECE& pc = b->pieces[j];
        if (pc.cap > 2 * pc.len + 16) own_block(b, pc, pc.len);
    }
    // A slab that holds little text any more is given back: its pieces move out.
    int64_t in = 0;
    for (int j = 0; b->slab && j < b->n_pieces; j++)
        if (in_slab(b, b->pieces[j].el)) in += b->pieces[j].len;
    if (b->slab && in < b->slab_len / 4)
        for (int j = 0; b->slab && j < b->n_pieces; j++)
            if (in_slab(b, b->pieces[j].el)) own_block(b, b->pieces[j], b->pieces[j].len);
    if (list_room(b->n_pieces) < list_room(had))
        b->pieces = resize_block(b->pieces, b->n_pieces, list_room(b->n_pieces));
    number_pieces(b, lo);
}

void destroy_char_buf(TR_SEQUENCE* sq, TR_CHAR_BUF* b) {
    for (int k = 0; k < b->n_pieces; k++) {
        free_elements(sq, b->pieces[k].el, b->pieces[k].len);
        if (!in_slab(b, b->pieces[k].el)) d_f_ree(b->pieces[k].el);
    }
    d_f_ree(b->slab);
    unlink_ring(b);
    d_f_ree(b->pieces);
    d_f_ree(b->shifts);
    d_f_ree(b);
}

}  // namespace

TR_PTR _tr_insert_string(TR_SEQUENCE* sq, TR_PTR ptr, int len, LC_WRITING_STYLE* ws,
                         const TR_ATTR* attr, void* obj, int size, const L_CHAR* str) {
    if (!ws && len != 1) return {nullptr, 0};
    if (len <= 0) {
        _tr_ptr_regulation(sq, &ptr);
        return ptr;
    }
    if (!ws && !sq->box_op->obj_op) er_panic("insert_string");
    _tr_ptr_regulation(sq, &ptr);
    TR_CHAR_BUF* b;
    int at = 0;
    if (!ptr.buf) {
        b = new_char_buf(sq->char_buf_ring.prev, len);
    } else if (ptr.ptr > 0) {
        b = ptr.buf;
        at = ptr.ptr;
        open_chars(b, at, len);
        // Lines that begin before the point and reach past it hold the new text. The lines
        // after it only move up (starts at the point, ends after it: a line ending at the point
        // keeps its text), which a shift of the buffer does as they are read.
        const TR_PTR here{b, at};
        for (TR_LANG_LINE* ll = first_line_reaching(sq, here);
             ll && tr_ptr_cmp(tr_ll_start(ll), here) < 0; ll = _tr_next_lang_line(ll))
            if (tr_ptr_cmp(tr_ll_end(ll), here) > 0) ll->edited = true;
        add_shift(sq, b, {at, at + 1, len});
        for (TR_UNMAPPING_CHAR* u = sq->unmapping_char; u; u = u->next)
            if (u->p.buf == b && u->p.ptr >= at) u->p.ptr += len;
    } else {
        // A line that ended where the new buffer goes keeps its text: it now ends at the new
        // buffer's start. The new buffer maps as its predecessor does (an earlier line is
        // always a safe start for a look-up).
        TR_LANG_LINE* before = nullptr;
        TR_PTR last = tr_ptr_prev(ptr);
        if (last.buf) before = _tr_find_lang_line(sq, last);
        TR_LANG_LINE* map = nullptr;
        for (TR_CHAR_BUF* x = ptr.buf->prev; x->seq && !map; x = x->prev)
            map = x->lang_line;
        b = new_char_buf(ptr.buf->prev, len);
        b->lang_line = map;
        if (before && tr_ptr_eq(tr_ll_end(before), ptr))
            tr_ll_set_end(before, {b, 0});
        else if (before && tr_ptr_cmp(tr_ll_end(before), ptr) > 0)
            before->edited = true;  // the new text lies inside it
    }
    for (int i = 0; i < len; i++) {
        TR_CHAR_ELEMENT& e = *slot(b, at + i);
        if (ws) {
            e.ch = str[i];
            e.d.ws.size = size;
            e.d.ws.ws = ws;
        } else {
            e.ch = LC_NONE;
            e.d.obj.type = -1;
            e.d.obj.obj = sq->box_op->obj_op->copy_obj(obj);
        }
        e.attr = _tr_copy_attr(attr);
    }
    _insert_unmapping_char(sq, {b, at}, 0);
    // The line before the new text may break differently now that something else follows it:
    // it is laid out again too.
    TR_PTR before = tr_ptr_prev(TR_PTR{b, at});
    if (before.buf) _insert_unmapping_char(sq, before, 0);
    TR_PTR r{b, at + len};
    _tr_ptr_regulation(sq, &r);
    return r;
}

TR_PTR tr_insert_string(TR_SEQUENCE* sq, TR_PTR ptr, int len, LC_WRITING_STYLE* ws,
                        const TR_ATTR* attr, void* obj, int size, const L_CHAR* str) {
    tr_lock(sq);
    waitsync_test(sq, "7");
    TR_PTR r = _tr_insert_string(sq, ptr, len, ws, attr, obj, size, str);
    waitsync_test(sq, "8");
    tr_unlock(sq);
    return r;
}

namespace {
// Every stored position in b that lies in [at, at + n] becomes point; later ones move down by n.
// n < 0: the whole buffer goes, and every position in it becomes point.
void remap_pos(TR_PTR* p, TR_CHAR_BUF* b, int at, int n, TR_PTR point) {
    if (p->buf != b) return;
    if (n < 0 || p->ptr <= at + n) {
        if (n < 0 || p->ptr >= at) *p = point;
    } else {
        p->ptr -= n;
    }
}

// One step of a deletion: n characters from at out of b (all of them when whole). The language
// lines and queued positions that lay in them move to the deletion point; the point is returned.
TR_PTR cut_step(TR_SEQUENCE* sq, TR_CHAR_BUF* b, int at, int n, bool whole) {
    // The lines holding positions in the cut: from the first reaching past its start (for a whole
    // buffer, with the lines before that end at the buffer's start). Those after the cut only
    // move down, their text unchanged: a shift of the buffer moves them as they are read, so
    // that laying them out again finds them in place.
    TR_LANG_LINE* ll = first_line_reaching(sq, {b, at});
    if (whole)
        for (TR_LANG_LINE* pl = ll ? _tr_prev_lang_line(ll) : nullptr; pl && tr_ll_end(pl).buf == b;
             pl = _tr_prev_lang_line(pl))
            ll = pl;
    struct Held {
        TR_LANG_LINE* l;
        TR_PTR s, e;
    };
    std::vector<Held> lines;
    for (; ll; ll = _tr_next_lang_line(ll)) {
        const TR_PTR s0 = tr_ll_start(ll);
        if (s0.buf->seq > b->seq || (!whole && s0.buf == b && s0.ptr > at + n)) break;
        lines.push_back({ll, s0, tr_ll_end(ll)});
    }

    TR_PTR point;
    if (whole) {
        if (b->next->seq)
            point = {b->next, 0};
        else if (b->prev->seq)
            point = {b->prev, b->prev->buf_len};
        else
            point = {nullptr, 0};
    } else {
        close_chars(sq, b, at, n);
        point = {b, at};
        if (at == b->buf_len && b->next->seq) point = {b->next, 0};
        add_shift(sq, b, {at + n + 1, at + n + 1, -n});
    }
    const int rn = whole ? -1 : n;
    for (const Held& h : lines) {
        TR_PTR s1 = h.s, e1 = h.e;
        remap_pos(&s1, b, at, rn, point);
        remap_pos(&e1, b, at, rn, point);
        tr_ll_set_start(h.l, s1);
        tr_ll_set_end(h.l, e1);
        if (!tr_ptr_eq(h.s, s1) || !tr_ptr_eq(h.e, e1) ||
            (point.buf && tr_ptr_cmp(s1, point) <= 0 && tr_ptr_cmp(point, e1) < 0))
            h.l->edited = true;
    }
    for (TR_UNMAPPING_CHAR** up = &sq->unmapping_char; *up;) {
        remap_pos(&(*up)->p, b, at, rn, point);
        // A null entry has nothing left to lay out (the order is restored afterwards).
        TR_UNMAPPING_CHAR* u = *up;
        if (!u->p.buf) {
            *up = u->next;
            d_f_ree(u);
            continue;
        }
        up = &u->next;
    }
    if (whole) destroy_char_buf(sq, b);
    // Lines left without text go; the survivors are entered again into the mappings.
    for (const Held& h : lines) {
        TR_LANG_LINE* l = h.l;
        if (!tr_ll_start(l).buf || !tr_ll_end(l).buf ||
            tr_ptr_cmp(tr_ll_start(l), tr_ll_end(l)) >= 0) {
            tr_ll_clear(l);
            _tr_destroy_lang_line(sq, l);
        } else {
            _tr_set_char_buf_lang_line(l);
        }
    }
    return point;
}

// Restores the queue's order after remapping (entries stay sorted except where several moved to
// one point; equal neighbours are merged).
void resort_queue(TR_SEQUENCE* sq) {
    std::vector<TR_UNMAPPING_CHAR*> v;
    for (TR_UNMAPPING_CHAR* u = sq->unmapping_char; u; u = u->next)
        v.push_back(u);
    for (size_t i = 1; i < v.size(); i++)
        for (size_t j = i; j > 0 && tr_ptr_cmp(v[j - 1]->p, v[j]->p) > 0; j--)
            std::swap(v[j - 1], v[j]);
    TR_UNMAPPING_CHAR** tail = &sq->unmapping_char;
    TR_UNMAPPING_CHAR* last = nullptr;
    for (TR_UNMAPPING_CHAR* u : v) {
        if (last && tr_ptr_cmp(last->p, u->p) == 0) {
            last->ok_subcode |= u->ok_subcode;
            d_f_ree(u);
            continue;
        }
        *tail = u;
        tail = &u->next;
        last = u;
    }
    *tail = nullptr;
}
}  // namespace

TR_PTR _tr_delete_string(TR_SEQUENCE* sq, TR_PTR ptr, int len) {
    _tr_ptr_regulation(sq, &ptr);
    if (!ptr.buf) return ptr;
    TR_PTR point = ptr;
    bool first = true;
    while (len > 0 && ptr.buf && ptr.buf->seq) {
        TR_CHAR_BUF* b = ptr.buf;
        if (ptr.ptr >= b->buf_len) break;  // the end of the text
        int avail = b->buf_len - ptr.ptr;
        int n = len < avail ? len : avail;
        bool whole = ptr.ptr == 0 && n == b->buf_len;
        TR_CHAR_BUF* next = b->next;
        const int at = ptr.ptr;
        TR_PTR pt = cut_step(sq, b, at, n, whole);
        len -= n;
        // The deletion point is the first step's, moved along by the later steps.
        if (first)
            point = pt;
        else
            remap_pos(&point, b, at, whole ? -1 : n, pt);
        first = false;
        ptr = next->seq ? TR_PTR{next, 0} : TR_PTR{nullptr, 0};
    }
    resort_queue(sq);
    _tr_ptr_regulation(sq, &point);
    if (point.buf) {
        _insert_unmapping_char(sq, point, 0);
        // The line that held the characters before the point may have lost its tail: it is
        // laid out again too.
        TR_PTR before = tr_ptr_prev(point);
        if (before.buf) _insert_unmapping_char(sq, before, 0);
    }
    return point;
}

TR_PTR tr_delete_string(TR_SEQUENCE* sq, TR_PTR ptr, int len) {
    tr_lock(sq);
    TR_PTR r = _tr_delete_string(sq, ptr, len);
    tr_unlock(sq);
    return r;
}

int _tr_copyout(TR_SEQUENCE* sq, TR_PTR p, L_CHAR* str, int len) {
    if (len < 0) return -1;
    _tr_ptr_regulation(sq, &p);
    int n = 0;
    while (p.buf && p.buf->seq && n < len) {
        if (p.ptr >= p.buf->buf_len) {
            p = {p.buf->next, 0};
            continue;
        }
        int k = p.buf->buf_len - p.ptr;
        if (k > len - n) k = len - n;
        for (int i = 0; i < k; i++)
            str[n + i] = slot(p.buf, p.ptr + i)->ch;
        n += k;
        p.ptr += k;
    }
    return n;
}

int tr_copyout(TR_SEQUENCE* sq, TR_PTR p, L_CHAR* str, int len) {
    tr_lock(sq);
    int r = _tr_copyout(sq, p, str, len);
    tr_unlock(sq);
    return r;
}

// ---------------------------------------------------------------- queue and dirty boxes

namespace {
// The key a wait for stable layout sleeps on: woken when the task ends or the queue is dropped,
// not on every release of the sequence, so a waiter does not wake once per laid-out line.
const void* stable_key(TR_SEQUENCE* sq) {
    return &sq->thread;
}

}  // namespace

void _insert_unmapping_char(TR_SEQUENCE* sq, TR_PTR p, int ok_subcode) {
    if (!p.buf) er_panic("_insert_unmapping_char");
    TR_UNMAPPING_CHAR** pp = &sq->unmapping_char;
    while (*pp && tr_ptr_cmp((*pp)->p, p) < 0)
        pp = &(*pp)->next;
    if (*pp && tr_ptr_cmp((*pp)->p, p) == 0) {
        // Queued already: the newer word on whether it must begin a box line holds.
        (*pp)->ok_subcode = ok_subcode;
        return;
    }
    auto* u = zalloc<TR_UNMAPPING_CHAR>();
    u->p = p;
    u->ok_subcode = ok_subcode;
    u->next = *pp;
    *pp = u;
    _wakeup_sequence(sq);
}

TR_UNMAPPING_CHAR _get_unmapping_char(TR_SEQUENCE* sq) {
    TR_UNMAPPING_CHAR r{};
    if (TR_UNMAPPING_CHAR* u = sq->unmapping_char) {
        sq->unmapping_char = u->next;
        r = *u;
        r.next = nullptr;
        d_f_ree(u);
    }
    wakeup_task(sq);
    return r;
}

void _tr_disable_unmapping_char(TR_SEQUENCE* sq, TR_PTR p) {
    while (sq->unmapping_char && (!p.buf || tr_ptr_cmp(sq->unmapping_char->p, p) < 0)) {
        TR_UNMAPPING_CHAR* u = sq->unmapping_char;
        sq->unmapping_char = u->next;
        d_f_ree(u);
        wakeup_task(sq);
        wakeup_task(stable_key(sq));
    }
}

void _dirty_box(TR_SEQUENCE* sq, TR_BOX* box, int flags) {
    if (box->dirty_flags) {
        box->dirty_flags |= flags;
    } else {
        TR_BOX** pp = &sq->dirty_box;
        while (*pp && (*pp)->seq < box->seq)
            pp = &(*pp)->dirty_next;
        if (*pp && (*pp)->seq == box->seq) er_panic("panic");
        box->dirty_next = *pp;
        *pp = box;
        box->dirty_flags = flags;
    }
    _wakeup_sequence(sq);
}

int _get_dirty(TR_SEQUENCE* sq, TR_DIRTY* d) {
    *d = {};
    if (TR_BOX* b = sq->dirty_box) {
        sq->dirty_box = b->dirty_next;
        b->dirty_next = nullptr;
        d->box = b;
        return 0;
    }
    if (!sq->unmapping_char) return -1;
    d->umc = _get_unmapping_char(sq);
    return 0;
}

int get_dirty(TR_SEQUENCE* sq, TR_DIRTY* d) {
    tr_lock(sq);
    int r = _get_dirty(sq, d);
    tr_unlock(sq);
    return r;
}

void tr_dirty_box(TR_SEQUENCE* sq, TR_BOX* box) {
    tr_lock(sq);
    _tr_dirty_box(sq, box);
    tr_unlock(sq);
}

void tr_unmapping_char_proc(TR_SEQUENCE* sq, TR_UNMAPPING_CHAR* umc) {
    tr_lock(sq);
    _tr_unmapping_char_proc(sq, umc);
    tr_unlock(sq);
}

// ---------------------------------------------------------------- locks

void tr_system_lock() {
    lock_task(text_render_lock);
}
void tr_system_unlock() {
    unlock_task(text_render_lock, "tr_system_unlock");
}

// Under text_render_lock: the read side of the system lock and the sequence's ownership.
void _tr_lock(TR_SEQUENCE* sq, const char* file, int line) {
    while (tr_rw_lock_count < 0) {
        sleep_task(&tr_rw_lock_count, text_render_lock);
        lock_task(text_render_lock);
    }
    tr_rw_lock_count++;
    tr_rw_lock_time = get_qvtime();
    tr_rw_lock_file = file;
    tr_rw_lock_line = line;
    while (sq->lock) {
        sleep_task(sq, text_render_lock);
        lock_task(text_render_lock);
    }
    sq->lock = get_tid();
    sq->lock_file = file;
    sq->lock_line = line;
}

void _tr_unlock(TR_SEQUENCE* sq) {
    if (sq->lock != get_tid()) er_panic("tr_unlock");
    sq->lock = 0;
    sq->lock_file = nullptr;
    sq->lock_line = 0;
    tr_rw_lock_count--;
    tr_rw_lock_file = nullptr;
    tr_rw_lock_line = 0;
    wakeup_task(sq);
    wakeup_task(&tr_rw_lock_count);
}

namespace {
// Releases the sequence, sleeps until key is woken and takes the sequence again.
void sleep_sq_position(TR_SEQUENCE* sq, const void* key) {
    const char* file = sq->lock_file;
    int line = sq->lock_line;
    lock_task(text_render_lock);
    _tr_unlock(sq);
    sleep_task(key, text_render_lock);
    lock_task(text_render_lock);
    _tr_lock(sq, file, line);
    unlock_task(text_render_lock, "sleep_sq");
}
}  // namespace

void xx_tr_lock(TR_SEQUENCE* sq, const char* file, int line) {
    lock_task(text_render_lock);
    _tr_lock(sq, file, line);
    unlock_task(text_render_lock, "tr_lock");
}

void tr_unlock(TR_SEQUENCE* sq) {
    lock_task(text_render_lock);
    _tr_unlock(sq);
    unlock_task(text_render_lock, "tr_unlock");
}

void _tr_rw_lock(const char* file, int line) {
    TKEY me = get_tid();
    while (tr_rw_lock_count > 0 || (tr_rw_lock_count < 0 && tr_rw_lock_tid != me)) {
        sleep_task(&tr_rw_lock_count, text_render_lock);
        lock_task(text_render_lock);
    }
    tr_rw_lock_count--;
    tr_rw_lock_tid = me;
    tr_rw_lock_file = file;
    tr_rw_lock_line = line;
    tr_rw_lock_time = get_qvtime();
}
void _tr_rw_unlock() {
    if (tr_rw_lock_count >= 0 || tr_rw_lock_tid != get_tid()) er_panic("_tr_rw_unlock");
    if (++tr_rw_lock_count == 0) {
        tr_rw_lock_tid = 0;
        tr_rw_lock_file = nullptr;
        tr_rw_lock_line = 0;
        wakeup_task(&tr_rw_lock_count);
    }
}

void xx_tr_rw_lock(const char* file, int line) {
    lock_task(text_render_lock);
    _tr_rw_lock(file, line);
    unlock_task(text_render_lock, "tr_rw_lock");
}

void tr_rw_unlock() {
    lock_task(text_render_lock);
    _tr_rw_unlock();
    unlock_task(text_render_lock, "tr_rw_unlock");
}

void gc_lock_text_render() {
    render_first_use();
    lock_task(text_render_lock);
    _tr_rw_lock(__FILE__, __LINE__);
}

void gc_unlock_text_render() {
    _tr_rw_unlock();
    unlock_task(text_render_lock, "gc_unlock_text_render");
}

void gc_text_render() {
    for (TR_SEQUENCE* sq = sq_list; sq; sq = sq->next) {
        TR_OBJ_OP* oo = sq->box_op->obj_op;
        if (oo && oo->gc_obj)
            for (TR_CHAR_BUF* b = sq->char_buf_ring.next; b->seq; b = b->next)
                for (int i = 0; i < b->buf_len; i++)
                    if (slot(b, i)->d.type < 0) oo->gc_obj(slot(b, i)->d.obj.obj);
        if (sq->box_op->gc_tr) sq->box_op->gc_tr(sq);
    }
}

void _indicate_tr_lock(int* ind) {
    if (!tr_rw_lock_file || !debug_th_timeout_check(tr_rw_lock_time)) return;
    if (*ind == 0) {
        fputs("LOCK INFO ====\n", stderr);
        *ind = 1;
    }
    fprintf(stderr, "LOCK_TR (SYS) %isec :: %s %i\n",
            static_cast<int>(get_qvtime() - tr_rw_lock_time), tr_rw_lock_file, tr_rw_lock_line);
}

void see_lock_tr_sys(int* ind) {
    render_first_use();
    lock_task(text_render_lock);
    _indicate_tr_lock(ind);
    unlock_task(text_render_lock, "see_lock_tr_sys");
}

// ---------------------------------------------------------------- the sequence task

void waitsync_test(TR_SEQUENCE* sq, const char* msg) {
    auto v = reinterpret_cast<uintptr_t>(sq->waitsync.list);
    if (v != 0 && v < 4096) er_panic(msg);
}

bool _tr_busy(TR_SEQUENCE* sq) {
    return sq->unmapping_char || sq->dirty_box || sq->thread == 1;
}

namespace {
void tr_sequence_task(intptr_t data) {
    auto* sq = reinterpret_cast<TR_SEQUENCE*>(data);
    if (sq->box_op->init_thread) sq->box_op->init_thread(sq);
    for (bool first = true;; first = false) {
        tr_lock(sq);
        if (first) waitsync_test(sq, "3");  // the record is read under its lock
        // One piece of work is taken and done under one hold, so that an edit in between
        // cannot free what the piece names.
        TR_DIRTY d;
        if (_get_dirty(sq, &d) < 0) break;
        if (d.box)
            _tr_dirty_box(sq, d.box);
        else
            _tr_unmapping_char_proc(sq, &d.umc);
        auto cb = sq->callback;
        void* arg = sq->callback_arg;
        tr_unlock(sq);
        if (cb) cb(sq, arg);
    }
    if (sq->box_op->exit_thread) sq->box_op->exit_thread(sq);
    wakeup_task(sq);
    if (sq->thread != -1) sq->thread = 0;
    wakeup_task(stable_key(sq));
    waitsync_wakeup(&sq->waitsync);
    tr_unlock(sq);
}
}  // namespace

namespace {
// Starts the sequence's task when none runs (sequence held, which the task takes first: no wait
// for a thread). Without a thread the flag stays clear, so that the next wake-up or a wait for
// stable layout starts it.
void start_sequence_task(TR_SEQUENCE* sq) {
    if (sq->thread != 0) return;
    sq->thread = 1;
    if (try_create_task(tr_sequence_task, sq, sq->pri) == NO_TASK) sq->thread = 0;
}
}  // namespace

void _wakeup_sequence(TR_SEQUENCE* sq) {
    waitsync_test(sq, "4");
    wakeup_task(sq);
    start_sequence_task(sq);
}

void _tr_wait_stable_sequence(TR_SEQUENCE* sq) {
    while (_tr_busy(sq)) {
        // Work left without a task (no thread could be had) is started again here, and while
        // none can be had the wait looks again a second later.
        start_sequence_task(sq);
        if (sq->thread == 0) {
            del_timeout(stable_key(sq));
            new_timeout(stable_key(sq), 1);
        }
        sleep_sq_position(sq, stable_key(sq));
    }
}

void tr_wait_stable_sequence(TR_SEQUENCE* sq) {
    tr_lock(sq);
    _tr_wait_stable_sequence(sq);
    tr_unlock(sq);
}

void _tr_waitsync(TR_SEQUENCE* sq, WAITSYNC_CLIENT* c, int type) {
    if (sq->thread == -1) return;
    if (_tr_busy(sq)) waitsync_ack(c, &sq->waitsync, type);
    if (sq->box_op->waitsync) sq->box_op->waitsync(sq, c, type);
}

void tr_waitsync(TR_SEQUENCE* sq, WAITSYNC_CLIENT* c, int type) {
    tr_lock(sq);
    waitsync_test(sq, "5");
    _tr_waitsync(sq, c, type);
    waitsync_test(sq, "6");
    tr_unlock(sq);
}

void tr_set_callback(TR_SEQUENCE* sq, void (*func)(TR_SEQUENCE*, void*), void* arg) {
    tr_lock(sq);
    sq->callback = func;
    sq->callback_arg = arg;
    tr_unlock(sq);
}

namespace {
int free_ref_node(AVT_NODE* n, void*) {
    auto* r = static_cast<TR_REFERENCE*>(n->data);
    d_f_ree(r->data);
    return 0;
}
void free_ref_tree(AVT_NODE* n) {
    if (!n) return;
    free_ref_tree(n->small);
    free_ref_tree(n->large);
    free_ref_node(n, nullptr);
    d_f_ree(n->data);  // the node is embedded in the record
}
}  // namespace

void tr_close_sequence(TR_SEQUENCE* sq) {
    tr_lock(sq);
    _tr_wait_stable_sequence(sq);
    sq->thread = -1;
    lock_task(text_render_lock);
    TR_SEQUENCE** pp = &sq_list;
    while (*pp && *pp != sq)
        pp = &(*pp)->next;
    if (!*pp) er_panic("tr_close_sequence");
    *pp = sq->next;
    unlock_task(text_render_lock, "tr_close_sequence");
    _tr_disable_unmapping_char(sq, {nullptr, 0});
    // Nothing is looked up any more: the lines go without the pieces' mappings kept.
    for (TR_CHAR_BUF* b = sq->char_buf_ring.next; b->seq; b = b->next)
        for (int k = 0; k < b->n_pieces; k++)
            b->pieces[k].line = nullptr;
    while (sq->box_ring.next != &sq->box_ring)
        _tr_destroy_box(sq, sq->box_ring.next);
    _tr_disable_unmapping_char(sq, {nullptr, 0});
    while (sq->char_buf_ring.next != &sq->char_buf_ring)
        destroy_char_buf(sq, sq->char_buf_ring.next);
    free_ref_tree(sq->ref);
    sq->ref = nullptr;
    trl_free_context(&sq->lang_ctx);
    waitsync_wakeup(&sq->waitsync);
    // The sequence task, when it ended with this close, still reads thread under the lock.
    sq->thread = -1;
    if (sq->box_op->free_sequence) sq->box_op->free_sequence(sq);
    tr_unlock(sq);
    memset(static_cast<void*>(sq), 0xF7, sizeof *sq);
    d_f_ree(sq);
}
