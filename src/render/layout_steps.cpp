// The layout steps the sequence task runs: from a queued position to language areas, language
// lines, box lines and elements, rippling forward until the text after is already in place.
#include <algorithm>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "longchar/longchar.h"
#include "render/layout.h"

namespace {
template <class T>
T* zalloc() {
    return static_cast<T*>(d_calloc(1, sizeof(T)));
}

TR_LANG* lang_of(TR_SEQUENCE* sq, TR_PTR p) {
    TR_CHAR_ELEMENT* e = _tr_char_element(p);
    if (!e) return default_tr_lang;
    return _tr_search_lang(e->ch, &sq->lang_ctx);
}
}  // namespace

// ---------------------------------------------------------------- text-order neighbours

TR_LANG_LINE* _tr_next_lang_line(TR_LANG_LINE* ll) {
    if (ll->area_next) return ll->area_next;
    for (TR_LANG_AREA* a = ll->lang_area->next; a->op; a = a->next)
        if (a->line_list) return a->line_list;
    return nullptr;
}

TR_LANG_LINE* _tr_prev_lang_line(TR_LANG_LINE* ll) {
    if (ll->area_prev) return ll->area_prev;
    if (ll->lang_area->line_list != ll) er_panic("_tr_prev_lang_line");
    for (TR_LANG_AREA* a = ll->lang_area->prev; a->op; a = a->prev)
        if (TR_LANG_LINE* l = a->line_list) {
            while (l->area_next)
                l = l->area_next;
            return l;
        }
    return nullptr;
}

TR_LANG_LINE* _tr_element_prev_lang_line(TR_LANG_LINE* ll) {
    for (ll = _tr_prev_lang_line(ll); ll && !ll->element_list; ll = _tr_prev_lang_line(ll)) {
    }
    return ll;
}

TR_LANG_LINE* _tr_element_next_lang_line(TR_LANG_LINE* ll) {
    for (ll = _tr_next_lang_line(ll); ll && !ll->element_list; ll = _tr_next_lang_line(ll)) {
    }
    return ll;
}

TR_LANG_LINE* _tr_walk_start(TR_SEQUENCE* sq, TR_CHAR_BUF* b) {
    for (; b->seq; b = b->prev)
        if (b->lang_line) return b->lang_line;
    for (TR_LANG_AREA* a = sq->lang_area_ring.next; a->op; a = a->next)
        if (a->line_list) return a->line_list;
    return nullptr;
}

TR_ELEMENT* _tr_last_el(TR_LANG_LINE* ll) {
    return ll->element_last;
}

// ---------------------------------------------------------------- character information

TR_LANG_LINE* _tr_find_lang_line(TR_SEQUENCE* sq, TR_PTR p) {
    TR_LANG_LINE* ll = _tr_walk_start_at(sq, p);
    // The line found last is usually near: forward from it, or back from it a few lines (no
    // further than the mapping's line of p's piece, which is never far from p).
    if (TR_LANG_LINE* h = sq->hint) {
        if (tr_ptr_cmp(tr_ll_start(h), p) <= 0) {
            if (!ll || tr_ptr_cmp(tr_ll_start(h), tr_ll_start(ll)) > 0) ll = h;
        } else {
            TR_LANG_LINE* b = h;
            for (int steps = 0; b && steps < 32 && tr_ptr_cmp(tr_ll_start(b), p) > 0 &&
                                (!ll || tr_ptr_cmp(tr_ll_start(b), tr_ll_start(ll)) > 0);
                 steps++)
                b = _tr_prev_lang_line(b);
            if (b && tr_ptr_cmp(tr_ll_start(b), p) <= 0 &&
                (!ll || tr_ptr_cmp(tr_ll_start(b), tr_ll_start(ll)) >= 0))
                ll = b;
        }
    }
    for (; ll; ll = _tr_next_lang_line(ll)) {
        if (tr_ptr_cmp(tr_ll_start(ll), p) > 0) return nullptr;
        if (tr_ptr_cmp(tr_ll_end(ll), p) > 0) {
            sq->hint = ll;
            return ll;
        }
    }
    return nullptr;
}

int _tr_get_char_info(TR_CHAR_INFO* ci, TR_SEQUENCE* sq, TR_PTR p) {
    *ci = {};
    if (_tr_ptr_regulation(sq, &p) != 0 || !p.buf) return -1;
    ci->p = p;
    TR_LANG_LINE* ll = _tr_find_lang_line(sq, p);
    if (ll) {
        ci->lang_line = ll;
        ci->lang_area = ll->lang_area;
        ci->box_line = ll->box_line;
        ci->box = ll->box_line->box;
    } else {
        ci->box = sq->box_ring.next->seq ? sq->box_ring.next : nullptr;
        if (!ci->box) return -1;
    }
    ci->lang = lang_of(sq, p);
    return 0;
}

namespace {
// 0 when the characters at a and b belong to one language area (langs given).
int area_cmp(TR_PTR a, TR_LANG* la, TR_PTR b, TR_LANG* lb) {
    TR_CHAR_ELEMENT* x = _tr_char_element(a);
    TR_CHAR_ELEMENT* y = _tr_char_element(b);
    if (!x || !y || x->d.type < 0 || y->d.type < 0 || la != lb) return -1;
    return _tr_cmp_attr(x->attr, y->attr) == 0 ? 0 : -1;
}
}  // namespace

int _tr_lang_area_cmp_ci(TR_SEQUENCE* sq, TR_CHAR_INFO* a, TR_CHAR_INFO* b) {
    (void)sq;
    return area_cmp(a->p, a->lang, b->p, b->lang);
}

int _tr_lang_area_cmp_ptr(TR_SEQUENCE* sq, TR_PTR a, TR_PTR b) {
    return area_cmp(a, lang_of(sq, a), b, lang_of(sq, b));
}

// ---------------------------------------------------------------- records

namespace {
// True when b follows a on their box: searched both ways from a at once, so the answer costs
// the distance between them, not the length of the box.
bool follows_in_box(TR_BOX_LINE* a, TR_BOX_LINE* b) {
    for (TR_BOX_LINE *f = a->next, *r = a->prev; f || r;) {
        if (f == b) return true;
        if (r == b) return false;
        if (f) f = f->next;
        if (r) r = r->prev;
    }
    return false;
}
}  // namespace

// Offsets are not walked forward on every change of a line: the box notes the first line whose
// offset may be out of date, and a reader brings the lines it needs up to date. A change in the
// middle of a long box so costs one walk over the lines after it per layout run, not one per
// line laid out.
void _tr_set_bl_offset(TR_BOX* b, TR_BOX_LINE* st) {
    TR_BOX_LINE* l = st ? st->next : b->line_list;
    if (!l) return;
    if (!b->stale_line || (b->stale_line != l && follows_in_box(l, b->stale_line)))
        b->stale_line = l;
}

void _tr_settle_bl_offset(TR_BOX* b, TR_BOX_LINE* upto) {
    TR_BOX_LINE* l = b->stale_line;
    if (!l) return;
    if (upto && upto != l && !follows_in_box(l, upto)) return;  // upto is up to date
    for (;; l = l->next) {
        l->doc_start_offset = l->prev ? l->prev->doc_start_offset + l->prev->height : 0;
        if (l == upto || !l->next) {
            b->stale_line = l->next;
            return;
        }
    }
}

void _tr_setup_bl_offset(TR_BOX* b, TR_BOX_LINE* bl) {
    _tr_set_bl_offset(b, bl);
    _tr_settle_bl_offset(b, nullptr);
}

TR_BOX_LINE* _tr_new_box_line(TR_SEQUENCE* sq, TR_BOX* box, TR_BOX_LINE* bl, int where,
                              int height) {
    if (where < 0 || where > 3) er_panic("_tr_new_box_line");
    // The last line is needed for a box with a limit and to append (boxes without a limit may
    // hold very many lines).
    TR_BOX_LINE* last = nullptr;
    if (box->attr.max_doc_dir_pixels >= 0 || where == 1)
        for (last = box->line_list; last && last->next; last = last->next) {
        }
    if (box->attr.max_doc_dir_pixels >= 0) {
        _tr_settle_bl_offset(box, nullptr);
        int64_t room = int64_t{box->start_px_offset} + box->attr.max_doc_dir_pixels;
        int64_t need = last ? int64_t{last->doc_start_offset} + last->height + height : height;
        if (room < need) return nullptr;
    }
    auto* n = static_cast<TR_BOX_LINE*>(slot_alloc(&sq->line_pool));
    n->height = static_cast<int16_t>(height);
    n->box = box;
    n->el_head.next = n->el_head.prev = &n->el_head;
    if (where == 1 && last) {
        n->attr = last->attr;
    } else {
        n->attr = box->attr.default_lattr;
        for (TR_BOX* pb = box->prev; pb->seq; pb = pb->prev)
            if (TR_BOX_LINE* l = pb->line_list) {
                while (l->next)
                    l = l->next;
                n->attr = l->attr;
                break;
            }
    }
    TR_BOX_LINE* from = nullptr;
    if (where == 0 || (where == 2 && !bl)) {
        n->next = box->line_list;
        box->line_list = n;
    } else if (where == 1) {
        n->prev = last;
        if (last)
            last->next = n;
        else
            box->line_list = n;
        from = last;
    } else {
        n->next = bl->next;
        n->prev = bl;
        bl->next = n;
        from = bl;
    }
    if (n->next) n->next->prev = n;
    if (sq->box_op->new_box_line) sq->box_op->new_box_line(sq, n);
    if (from) {
        _tr_set_bl_offset(box, from);
    } else {
        n->doc_start_offset = 0;
        _tr_set_bl_offset(box, n);
    }
    return n;
}

TR_LANG_AREA* _tr_new_lang_area(TR_SEQUENCE* sq, TR_LANG* lang, TR_LANG_AREA* prev) {
    auto* a = zalloc<TR_LANG_AREA>();
    a->op = lang;
    if (!prev) prev = &sq->lang_area_ring;
    a->prev = prev;
    a->next = prev->next;
    prev->next->prev = a;
    prev->next = a;
    return a;
}

TR_LANG_LINE* _tr_new_lang_line(TR_SEQUENCE* sq, TR_BOX_LINE* bl, TR_LANG_AREA* area,
                                TR_LANG_LINE* ll, int where) {
    auto* n = static_cast<TR_LANG_LINE*>(slot_alloc(&sq->lang_line_pool));
    n->lang_area = area;
    n->box_line = bl;
    TR_LANG_LINE* after = nullptr;  // the area's line it follows, or null for the head
    switch (where) {
        case 0:
            break;
        case 1:
            for (after = area->line_list; after && after->area_next; after = after->area_next) {
            }
            break;
        case 2:
            if (!ll || ll->lang_area != area) er_panic("_tr_new_lang_line");
            after = ll;
            break;
        case 3:
            if (!ll || ll->lang_area != area) er_panic("_tr_new_lang_line");
            after = ll->area_prev;
            break;
        default:
            er_panic("_tr_new_lang_line");
    }
    n->area_prev = after;
    n->area_next = after ? after->area_next : area->line_list;
    if (n->area_next) n->area_next->area_prev = n;
    if (after)
        after->area_next = n;
    else
        area->line_list = n;
    // Into the box line, keeping its list in text order.
    TR_LANG_LINE* pred = _tr_prev_lang_line(n);
    TR_LANG_LINE** pp = &bl->lang_list;
    if (pred && pred->box_line == bl) {
        while (*pp && *pp != pred)
            pp = &(*pp)->box_next;
        if (!*pp) er_panic("_tr_new_lang_line");
        pp = &(*pp)->box_next;
    }
    n->box_next = *pp;
    *pp = n;
    return n;
}

namespace {
bool dir_forward(int dir, int bl_dir) {
    if (dir & 7) return true;
    if (dir & 8) return false;
    return (bl_dir & 7) != 0;
}
bool ll_forward(TR_LANG_LINE* ll) {
    return dir_forward(ll->dir, ll->box_line->attr.default_dir);
}

// The last line of the run of forward lines (with elements, on ll's box line) that starts at ll.
TR_LANG_LINE* _tr_forward(TR_LANG_LINE* ll) {
    for (TR_LANG_LINE* x = _tr_element_next_lang_line(ll);
         x && x->box_line == ll->box_line && ll_forward(x); x = _tr_element_next_lang_line(x))
        ll = x;
    return ll;
}

// The earliest line of the run of backward lines (with elements, on ll's box line) that ends
// at ll.
TR_LANG_LINE* _tr_reverse(TR_LANG_LINE* ll) {
    for (TR_LANG_LINE* x = _tr_element_prev_lang_line(ll);
         x && x->box_line == ll->box_line && !ll_forward(x); x = _tr_element_prev_lang_line(x))
        ll = x;
    return ll;
}

// The element after which the next element of ll goes in the box line's ring.
TR_ELEMENT* element_anchor(TR_LANG_LINE* ll) {
    TR_BOX_LINE* bl = ll->box_line;
    TR_ELEMENT* head = &bl->el_head;
    const bool fwd = ll_forward(ll);
    const bool bl_fwd = (bl->attr.default_dir & 7) != 0;
    if (ll->element_list) {
        TR_ELEMENT* last = _tr_last_el(ll);
        return fwd ? last : last->prev;
    }
    TR_LANG_LINE* pll = _tr_element_prev_lang_line(ll);
    TR_LANG_LINE* nll = _tr_element_next_lang_line(ll);
    auto from_nll = [&]() -> TR_ELEMENT* {
        if (ll_forward(nll)) {
            if (fwd || bl_fwd) return nll->element_list->prev;
            return _tr_last_el(_tr_forward(nll));
        }
        // A backward run is laid out in reverse: the new element goes after nll's first one,
        // unless both the line and the box line run forward, when it leads the box line.
        return fwd && bl_fwd ? head : nll->element_list;
    };
    if (nll && nll->box_line == bl && ll_forward(nll) == fwd) return from_nll();
    if (pll && pll->box_line == bl) {
        if (ll_forward(pll)) {
            if (fwd || bl_fwd) return _tr_last_el(pll);
            // Before the forward run that ends at pll.
            TR_LANG_LINE* l = pll;
            for (TR_LANG_LINE* x = _tr_element_prev_lang_line(l);
                 x && x->box_line == bl && ll_forward(x); x = _tr_element_prev_lang_line(x))
                l = x;
            return l->element_list->prev;
        }
        if (!fwd || !bl_fwd) return _tr_last_el(pll)->prev;
        // After the backward run that ends at pll: its earliest line's first element is the
        // run's visual end.
        return _tr_reverse(pll)->element_list;
    }
    if (nll && nll->box_line == bl) return from_nll();
    return head;
}
}  // namespace

TR_ERROR _tr_new_element(TR_ELEMENT** el_ret, TR_SEQUENCE* sq, TR_LANG_LINE* ll) {
    TR_BOX_LINE* bl = ll->box_line;
    TR_ELEMENT* head = &bl->el_head;
    TR_ELEMENT* anchor = element_anchor(ll);
    // A line return closes its visual line.
    if ((anchor == head && head->next != head && (head->next->cr & 8)) ||
        (anchor->next == head && anchor != head && (anchor->cr & 7)))
        return tr_err(TRE_INSERT_CHAR);
    auto* e = static_cast<TR_ELEMENT*>(slot_alloc(&sq->element_pool));
    e->ll = ll;
    e->prev = anchor;
    e->next = anchor->next;
    anchor->next->prev = e;
    anchor->next = e;
    if (TR_ELEMENT* last = _tr_last_el(ll))
        last->ll_next = e;
    else
        ll->element_list = e;
    ll->element_last = e;
    if (el_ret) *el_ret = e;
    return tr_err(TRE_OK);
}

// ---------------------------------------------------------------- line attributes

void _tr_acc_line_attr(TR_LINE_ATTR* acc, const TR_LINE_ATTR* a) {
    if (a->flags & ~7) er_panic("_tr_acc_line_attr");
    // A later setting of a field replaces an earlier one.
    if (a->flags & 1) acc->align = a->align;
    if (a->flags & 2) acc->default_dir = a->default_dir;
    if (a->flags & 4) acc->pitch = a->pitch;
    acc->flags |= a->flags;
}

void _tr_copy_line_attr(TR_LINE_ATTR* to, const TR_LINE_ATTR* from) {
    if (from->flags & 1) to->align = from->align;
    if (from->flags & 2) to->default_dir = from->default_dir;
    if (from->flags & 4) to->pitch = from->pitch;
}

void _tr_set_line_attr(const TR_LINE_ATTR* la, TR_ATTR** ap) {
    if (la->flags & ~7) er_panic("_tr_set_line_attr");
    auto* r = reinterpret_cast<TRA_LINE_ATTR*>(_tr_get_attr(*ap, TRA_LINE));
    if (!r) {
        _tr_set_attr_int_data(ap, TRA_LINE, 0);
        r = reinterpret_cast<TRA_LINE_ATTR*>(_tr_get_attr(*ap, TRA_LINE));
        r->attr = *la;
        return;
    }
    _tr_copy_line_attr(&r->attr, la);
    r->attr.flags |= la->flags;
}

namespace {
// Visits the characters of the line in order while f answers true; a buffer at a time, so
// that a step costs no position arithmetic.
template <class F>
void for_chars(TR_LANG_LINE* ll, F f) {
    const TR_PTR s = tr_ll_start(ll), end = tr_ll_end(ll);
    if (!s.buf || !end.buf || tr_ptr_cmp(s, end) >= 0 || !_tr_char_element(s)) return;
    for (TR_CHAR_BUF* b = s.buf; b->seq; b = b->next) {
        const int from = b == s.buf ? s.ptr : 0;
        const int to = b == end.buf ? end.ptr : b->buf_len;
        for (int i = from; i < to;) {
            TR_CHAR_ELEMENT* e;
            const int n = std::min(_tr_char_run({b, i}, &e), to - i);
            if (n <= 0) return;
            for (int k = 0; k < n; k++)
                if (!f(e + k)) return;
            i += n;
        }
        if (b == end.buf) return;
    }
}
}  // namespace

TR_ERROR _tr_stop_lang_line_op(TR_ERROR e, TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    TR_BOX_LINE* bl = ci->box_line;
    TR_LINE_ATTR acc{};
    // Characters mostly share their attribute list with the one before, which folded in again
    // changes nothing. Once every field is set, the rest of a language line is passed over.
    const TR_ATTR* last = nullptr;
    bool any = false;
    for (TR_LANG_LINE* l = bl->lang_list; l; l = l->box_next)
        for_chars(l, [&](TR_CHAR_ELEMENT* c) {
            if (any && c->attr == last) return true;
            last = c->attr;
            any = true;
            if (auto* r = reinterpret_cast<TRA_LINE_ATTR*>(_tr_get_attr(c->attr, TRA_LINE)))
                _tr_acc_line_attr(&acc, &r->attr);
            return acc.flags != 7;
        });
    _tr_copy_line_attr(&bl->attr, &acc);
    // Nothing set on any character: no empty line-attribute record is added to each of them.
    if (acc.flags)
        for (TR_LANG_LINE* l = bl->lang_list; l; l = l->box_next)
            for_chars(l, [&](TR_CHAR_ELEMENT* c) {
                _tr_set_line_attr(&acc, &c->attr);
                return true;
            });
    TR_ERROR r = sq->box_op->_stop_lang_line_op(sq, ci);
    return r.code != TRE_OK ? r : e;
}

// ---------------------------------------------------------------- destruction

void _tr_destroy_element(TR_SEQUENCE* sq, TR_ELEMENT* el) {
    TR_LANG_LINE* ll = el->ll;
    TR_ELEMENT** pp = &ll->element_list;
    TR_ELEMENT* before = nullptr;
    while (*pp && *pp != el) {
        before = *pp;
        pp = &(*pp)->ll_next;
    }
    if (!*pp) er_panic("_tr_Destroy_element");
    *pp = el->ll_next;
    if (ll->element_last == el) ll->element_last = before;
    el->prev->next = el->next;
    el->next->prev = el->prev;
    sq->box_op->unmapping_element(el);
    slot_free(el);
}

void _tr_set_char_buf_lang_line(TR_LANG_LINE* ll) {
    if (!tr_ll_start(ll).buf || !tr_ll_end(ll).buf) return;
    for (TR_CHAR_BUF* b = tr_ll_start(ll).buf; b->seq; b = b->next) {
        if (b != tr_ll_start(ll).buf && tr_ptr_cmp(TR_PTR{b, 0}, tr_ll_end(ll)) >= 0) break;
        if (!b->lang_line || tr_ptr_cmp(tr_ll_start(ll), tr_ll_start(b->lang_line)) < 0)
            b->lang_line = ll;
        if (b == tr_ll_end(ll).buf) break;
    }
    _tr_map_pieces(ll);
}

namespace {
void destroy_lang_line(TR_SEQUENCE* sq, TR_LANG_LINE* ll, bool queue) {
    // Mappings that named the line fall back to the line before it (an earlier line only makes
    // a look-up walk further), or to the one after it when it was the first.
    TR_LANG_LINE* pred = _tr_prev_lang_line(ll);
    TR_LANG_LINE* repl = pred ? pred : _tr_next_lang_line(ll);
    for (TR_CHAR_BUF* b = sq->char_buf_ring.next; b->seq; b = b->next)
        if (b->lang_line == ll) b->lang_line = repl;
    if (ll->mapped && sq->thread != -1) _tr_unmap_pieces(sq, ll, repl);
    if (sq->hint == ll) sq->hint = pred;
    TR_LANG_LINE** pp = &ll->box_line->lang_list;
    while (*pp && *pp != ll)
        pp = &(*pp)->box_next;
    if (!*pp) er_panic("_tr_destory_lang_line");
    *pp = ll->box_next;
    TR_LANG_AREA* a = ll->lang_area;
    if (ll->area_prev)
        ll->area_prev->area_next = ll->area_next;
    else if (a->line_list == ll)
        a->line_list = ll->area_next;
    else
        er_panic("_tr_destroy_lang_line");
    if (ll->area_next) ll->area_next->area_prev = ll->area_prev;
    if (!a->line_list) {
        a->prev->next = a->next;
        a->next->prev = a->prev;
        d_f_ree(a);
    }
    // A closing sequence lays nothing out again; queuing every line's start would only make the
    // close quadratic in the number of lines.
    if (queue && sq->thread != -1 && ll->start.buf) _insert_unmapping_char(sq, tr_ll_start(ll), 0);
    while (ll->element_list)
        _tr_destroy_element(sq, ll->element_list);
    slot_free(ll);
}
}  // namespace

void _tr_destroy_lang_line(TR_SEQUENCE* sq, TR_LANG_LINE* ll, bool queue) {
    TR_BOX_LINE* bl = ll->box_line;
    destroy_lang_line(sq, ll, queue);
    // A box line left without text goes: kept, its height would hold room in its box that the
    // text after it needs.
    if (!bl->lang_list && sq->thread != -1) _tr_destroy_box_line(sq, bl);
}

void _tr_destroy_lang_line_list(TR_SEQUENCE* sq, TR_BOX_LINE* bl) {
    while (bl->lang_list)
        destroy_lang_line(sq, bl->lang_list, true);
}

void _tr_destroy_box_line(TR_SEQUENCE* sq, TR_BOX_LINE* bl) {
    _tr_destroy_lang_line_list(sq, bl);
    // Line-return elements of lines already gone, if any, go with the line.
    while (bl->el_head.next != &bl->el_head) {
        TR_ELEMENT* e = bl->el_head.next;
        e->prev->next = e->next;
        e->next->prev = e->prev;
        sq->box_op->unmapping_element(e);
        slot_free(e);
    }
    sq->box_op->free_box_line(sq, bl);
    // The room it held in a box with a limit may take text that found none: the box's extent is
    // checked once this piece of layout is done.
    if (sq->thread != -1 && bl->box->attr.max_doc_dir_pixels >= 0) _dirty_box(sq, bl->box, 8);
    // The lines after it move up.
    if (bl->box->stale_line == bl)
        bl->box->stale_line = bl->next;
    else
        _tr_set_bl_offset(bl->box, bl);
    if (bl->prev)
        bl->prev->next = bl->next;
    else if (bl->box->line_list == bl)
        bl->box->line_list = bl->next;
    if (bl->next) bl->next->prev = bl->prev;
    slot_free(bl);
}

void _tr_destroy_box_line_list(TR_SEQUENCE* sq, TR_BOX* b) {
    while (b->line_list)
        _tr_destroy_box_line(sq, b->line_list);
}

void _tr_destroy_box(TR_SEQUENCE* sq, TR_BOX* b) {
    _tr_destroy_box_line_list(sq, b);
    if (sq->box_op->free_box) sq->box_op->free_box(sq, b);
    for (TR_BOX** pp = &sq->dirty_box; *pp; pp = &(*pp)->dirty_next)
        if (*pp == b) {
            *pp = b->dirty_next;
            break;
        }
    b->prev->next = b->next;
    b->next->prev = b->prev;
    d_f_ree(b);
}

// ---------------------------------------------------------------- positions of boxes

TR_PTR _tr_box_line_first_ptr(TR_BOX_LINE* bl) {
    for (TR_LANG_LINE* l = bl->lang_list; l; l = l->box_next) {
        if (tr_ll_start(l).buf) return tr_ll_start(l);
        if (tr_ll_end(l).buf) return tr_ll_end(l);
    }
    return {nullptr, 0};
}

TR_PTR _tr_box_line_last_ptr(TR_BOX_LINE* bl) {
    TR_PTR r{nullptr, 0};
    for (TR_LANG_LINE* l = bl->lang_list; l; l = l->box_next) {
        if (tr_ll_end(l).buf)
            r = tr_ll_end(l);
        else if (tr_ll_start(l).buf)
            r = tr_ll_start(l);
    }
    return r;
}

TR_PTR _tr_box_first_ptr(TR_BOX* b) {
    return b->line_list ? _tr_box_line_first_ptr(b->line_list) : TR_PTR{nullptr, 0};
}

TR_PTR _tr_box_last_ptr(TR_BOX* b) {
    TR_BOX_LINE* l = b->line_list;
    while (l && l->next)
        l = l->next;
    return l ? _tr_box_line_last_ptr(l) : TR_PTR{nullptr, 0};
}

int _tr_get_doc_dir_pixels(TR_SEQUENCE* sq, TR_BOX* b) {
    (void)sq;
    int s = 0;
    for (TR_BOX_LINE* l = b->line_list; l; l = l->next)
        s += l->height;
    return s;
}

int _tr_lang_area_check(TR_LANG_AREA* area, TR_LANG_LINE* ll) {
    for (TR_LANG_LINE* l = area->line_list; l; l = l->area_next)
        if (l == ll) return 0;
    return -1;
}

void _tr_get_lang_area_info(TR_LANG_AREA_INFO* lai, TR_LANG_AREA* area) {
    *lai = {};
    TR_LANG_LINE* first = area->line_list;
    if (!first) return;
    TR_LANG_LINE* last = first;
    while (last->area_next)
        last = last->area_next;
    lai->start_char = tr_ll_start(first);
    lai->end_char = tr_ll_end(last);
    lai->start_lang_line = first;
    lai->end_lang_line = last;
    lai->start_box_line = first->box_line;
    lai->end_box_line = last->box_line;
    lai->start_box = first->box_line->box;
    lai->end_box = last->box_line->box;
    lai->phys_start_box_line = lai->start_box_line;
    lai->phys_end_box_line = lai->end_box_line;
    lai->phys_start_box = lai->start_box;
    lai->phys_end_box = lai->end_box;
    bool swap = lai->end_box->seq < lai->start_box->seq;
    if (!swap && lai->end_box == lai->start_box) {
        _tr_settle_bl_offset(lai->end_box, nullptr);
        swap = lai->end_box_line->doc_start_offset < lai->start_box_line->doc_start_offset;
    }
    if (swap) {
        std::swap(lai->phys_start_box_line, lai->phys_end_box_line);
        std::swap(lai->phys_start_box, lai->phys_end_box);
    }
}

// ---------------------------------------------------------------- dirty boxes

namespace {
// How far a box's lines reach along the document direction: its start plus their heights.
int64_t _tr_box_doc_dir_pixels(TR_SEQUENCE* sq, TR_BOX* box) {
    return int64_t{box->start_px_offset} + _tr_get_doc_dir_pixels(sq, box);
}
}  // namespace

void _tr_dirty_box(TR_SEQUENCE* sq, TR_BOX* box) {
    int flags = box->dirty_flags;
    box->dirty_flags = 0;
    // Called for a box still waiting in the list (not by the task), it leaves the list: a box
    // marked again while it acts must be entered anew.
    for (TR_BOX** pp = &sq->dirty_box; *pp; pp = &(*pp)->dirty_next)
        if (*pp == box) {
            *pp = box->dirty_next;
            box->dirty_next = nullptr;
            break;
        }
    if (flags & 4) {
        _tr_destroy_box_line_list(sq, box);
        // Text that found no room before this box existed flows on from the last placed
        // position before it, or from the start when nothing before it is placed.
        TR_PTR p{nullptr, 0};
        for (TR_BOX* b = box->prev; b->seq && !p.buf; b = b->prev)
            p = _tr_box_last_ptr(b);
        if (!p.buf) p = _tr_first_ptr(sq);
        if (p.buf && _tr_char_element(p)) _insert_unmapping_char(sq, p, 0);
        return;
    }
    if (!(flags & 8) || box->attr.max_doc_dir_pixels < 0) return;
    const int64_t used = _tr_box_doc_dir_pixels(sq, box);
    int64_t limit = box->attr.max_doc_dir_pixels;
    if (used < limit) {
        TR_PTR p = _tr_box_last_ptr(box);
        if (p.buf && _tr_char_element(p)) _insert_unmapping_char(sq, p, 0);
    } else if (used > limit) {
        _tr_settle_bl_offset(box, nullptr);
        for (TR_BOX_LINE* l = box->line_list; l; l = l->next)
            if (int64_t{box->start_px_offset} + l->doc_start_offset + l->height > limit) {
                TR_PTR p = _tr_box_line_first_ptr(l);
                while (l->next)
                    _tr_destroy_box_line(sq, l->next);
                if (p.buf) _insert_unmapping_char(sq, p, 0);
                break;
            }
    }
}

// ---------------------------------------------------------------- processing a position

namespace {
// Destroys the box lines strictly between a and b when b follows a in the same box: true.
bool _tr_box_line_adjust(TR_SEQUENCE* sq, TR_BOX_LINE* a, TR_BOX_LINE* b) {
    if (a->box != b->box || a == b) return false;
    if (!follows_in_box(a, b)) return false;
    while (a->next != b)
        _tr_destroy_box_line(sq, a->next);
    _tr_set_bl_offset(a->box, a);
    return true;
}
}  // namespace

namespace {
// A new area for lang right after line pll in text order. When pll's area goes on after pll,
// its later lines move to an area of their own behind the new one, so that areas stay in text
// order.
TR_LANG_AREA* area_after_line(TR_SEQUENCE* sq, TR_LANG* lang, TR_LANG_LINE* pll) {
    TR_LANG_AREA* a = pll->lang_area;
    if (TR_LANG_LINE* tail = pll->area_next) {
        TR_LANG_AREA* rest = _tr_new_lang_area(sq, a->op, a);
        rest->dir = a->dir;
        pll->area_next = nullptr;
        tail->area_prev = nullptr;
        rest->line_list = tail;
        for (TR_LANG_LINE* l = tail; l; l = l->area_next)
            l->lang_area = rest;
    }
    return _tr_new_lang_area(sq, lang, a);
}
}  // namespace

void _tr_lang_area_proc(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    // What the line was before: when it comes out the same, the text after it is in place.
    const TR_PTR old_start = tr_ll_start(ci->lang_line), old_end = tr_ll_end(ci->lang_line);
    TR_BOX_LINE* const old_bl = ci->lang_line->box_line;
    bool moved = false;  // to another box (old_bl may be gone)
    const bool was_edited = ci->lang_line->edited;
    ci->lang_line->edited = false;
    TR_ERROR e;
    for (;;) {
        e = ci->lang->make_lang_line(sq, ci);
        if (e.code != TRE_INSERT_LINE) break;
        // The line does not fit its box line: it moves whole to the next box.
        TR_LANG_LINE* old = ci->lang_line;
        TR_LANG_LINE* after = old->area_prev;
        const bool area_goes = !after && !old->area_next;
        int h = old->box_line->height;
        TR_BOX* nb = ci->box->next;
        moved = true;
        tr_ll_clear(old);
        _tr_destroy_lang_line(sq, old, false);
        if (area_goes) {
            // The area went with its only line: make it again at the same place.
            TR_PTR pp = tr_ptr_prev(ci->p);
            TR_CHAR_INFO pci;
            if (pp.buf && _tr_get_char_info(&pci, sq, pp) == 0 && pci.lang_line)
                ci->lang_area = area_after_line(sq, ci->lang, pci.lang_line);
            else
                ci->lang_area = _tr_new_lang_area(sq, ci->lang, nullptr);
        }
        TR_BOX_LINE* bl = nullptr;
        if (nb->seq) bl = nb->line_list ? nb->line_list : _tr_new_box_line(sq, nb, nullptr, 0, h);
        if (!bl) {
            _tr_disable_unmapping_char(sq, ci->p);
            return;
        }
        TR_LANG_LINE* ll = _tr_new_lang_line(sq, bl, ci->lang_area, after, after ? 2 : 0);
        tr_ll_set_start(ll, ci->p);
        ci->lang_line = ll;
        ci->box_line = bl;
        ci->box = nb;
    }
    if (e.code != TRE_OK) er_panic("_tr_lang_area_proc");
    const int s = e.subcode;
    TR_LANG_LINE* ll = ci->lang_line;
    _tr_disable_unmapping_char(sq, tr_ll_end(ll));
    // A line cut short by a character of another area leaves the rest of its area's lines
    // behind that character: they are laid out again from there.
    if (s == 0 && _tr_char_element(tr_ll_end(ll)) &&
        tr_ptr_cmp(tr_ll_start(ll), tr_ll_end(ll)) < 0 &&
        _tr_lang_area_cmp_ptr(sq, tr_ll_start(ll), tr_ll_end(ll)) != 0)
        while (ll->area_next) {
            TR_LANG_LINE* x = ll->area_next;
            tr_ll_clear(x);
            _tr_destroy_lang_line(sq, x, false);
        }
    const bool at_end = !_tr_char_element(tr_ll_end(ll));
    const bool same = !was_edited && old_end.buf && tr_ptr_eq(old_end, tr_ll_end(ll)) &&
                      tr_ptr_eq(old_start, tr_ll_start(ll)) && !moved && old_bl == ll->box_line;
    for (TR_LANG_LINE* n = _tr_next_lang_line(ll);;) {
        if (!n) {
            if (!at_end) _insert_unmapping_char(sq, tr_ll_end(ll), s);
            break;
        }
        int c = tr_ptr_cmp(tr_ll_start(n), tr_ll_end(ll));
        if (c < 0) {
            // Overlapped by the new layout.
            TR_LANG_LINE* next = _tr_next_lang_line(n);
            tr_ll_clear(n);
            _tr_destroy_lang_line(sq, n, false);
            n = next;
            continue;
        }
        if (c > 0) {
            if (!at_end) _insert_unmapping_char(sq, tr_ll_end(ll), s);
        } else if (s == 1) {
            // The next line begins the following box line: in place when this line came out
            // as it was.
            if (!_tr_box_line_adjust(sq, ll->box_line, n->box_line) || !same)
                _insert_unmapping_char(sq, tr_ll_end(ll), 1);
        } else {
            // The next line should follow on this box line, and the room left to it may have
            // changed (a line before it on the box line may have changed): it is made again.
            _insert_unmapping_char(sq, tr_ll_end(ll), 0);
        }
        break;
    }
    if (tr_ptr_cmp(tr_ll_start(ll), tr_ll_end(ll)) >= 0) {
        tr_ll_clear(ll);
        _tr_destroy_lang_line(sq, ll, false);
    } else {
        _tr_set_char_buf_lang_line(ll);
    }
}

namespace {
// True when b is where a box line after a goes: later in a's box, or, when a ends a box that has
// no room for another line, the first line of the next box.
bool next_box_line_place(TR_BOX_LINE* a, TR_BOX_LINE* b) {
    if (a->box == b->box) return follows_in_box(a, b);
    TR_BOX* box = a->box;
    if (a->next || b->box != box->next || b != b->box->line_list) return false;
    if (box->attr.max_doc_dir_pixels < 0) return false;
    _tr_settle_bl_offset(box, a);
    return int64_t{box->start_px_offset} + box->attr.max_doc_dir_pixels <
           int64_t{a->doc_start_offset} + a->height;
}
}  // namespace

namespace {
// A new box line (height 0) after bl in box, at its head for a null bl. The box lines after
// the place hold text that comes later: when the box has no room left for a line there, its
// last lines go (their text is queued to be laid out again, after this line) until it has.
TR_BOX_LINE* new_box_line_with_room(TR_SEQUENCE* sq, TR_BOX* box, TR_BOX_LINE* bl) {
    for (;;) {
        if (TR_BOX_LINE* n = _tr_new_box_line(sq, box, bl, bl ? 2 : 0, 0)) return n;
        TR_BOX_LINE* last = box->line_list;
        while (last && last->next)
            last = last->next;
        if (!last || last == bl) return nullptr;
        _tr_destroy_box_line(sq, last);
    }
}
}  // namespace

void _tr_unmapping_char_proc(TR_SEQUENCE* sq, TR_UNMAPPING_CHAR* umc) {
    TR_PTR p = umc->p;
    if (_tr_ptr_regulation(sq, &p) != 0 || !_tr_char_element(p)) return;
    TR_CHAR_INFO ci;
    if (_tr_get_char_info(&ci, sq, p) < 0) return;
    TR_PTR pp = tr_ptr_prev(p);
    TR_CHAR_INFO pci{};
    bool has_prev = pp.buf && _tr_get_char_info(&pci, sq, pp) == 0;
    // What follows a line return always begins a new box line, however it was queued.
    TR_UNMAPPING_CHAR u = *umc;
    umc = &u;
    if (has_prev && (_tr_char_element(pp)->ch == 10 || _tr_char_element(pp)->ch == 13))
        u.ok_subcode = 1;
    if (ci.lang_line && !tr_ptr_eq(tr_ll_start(ci.lang_line), p) && umc->ok_subcode != 1) {
        // A change inside a line that begins its box line: the line may now follow the text
        // before it. It is made again from its start, as if queued there.
        TR_PTR q = tr_ll_start(ci.lang_line);
        TR_PTR pq = tr_ptr_prev(q);
        TR_CHAR_INFO qci;
        if (pq.buf && _tr_char_element(pq)->ch != 10 && _tr_char_element(pq)->ch != 13 &&
            _tr_get_char_info(&qci, sq, pq) == 0 && qci.lang_line &&
            qci.box_line != ci.lang_line->box_line) {
            p = q;
            pp = pq;
            pci = qci;
            _tr_get_char_info(&ci, sq, p);
        }
    }
    if (ci.lang_line && has_prev && pci.lang_line && tr_ptr_eq(tr_ll_start(ci.lang_line), p)) {
        const bool same_bl = pci.box_line == ci.lang_line->box_line;
        if ((umc->ok_subcode == 1 && !next_box_line_place(pci.box_line, ci.lang_line->box_line)) ||
            (umc->ok_subcode != 1 && !same_bl)) {
            // The line must begin a new box line but still shares the previous one; or it
            // need not, and may now follow the text before it on its box line: it is made
            // again from there (a line that does not fit there moves on to a new box line).
            TR_LANG_LINE* x = ci.lang_line;
            tr_ll_clear(x);
            _tr_destroy_lang_line(sq, x, false);
            ci.lang_line = nullptr;
        } else if (umc->ok_subcode != 1 && pci.lang_area != ci.lang_area &&
                   _tr_lang_area_cmp_ptr(sq, pp, p) == 0) {
            // One area again (what separated them is gone): the earlier line takes it over.
            ci = pci;
        }
    }
    if (!ci.lang_line) {
        TR_LANG_LINE* ll;
        if (has_prev) {
            if (!pci.lang_line) return;  // the text before is not placed: nor is this
            if (umc->ok_subcode != 1 && _tr_lang_area_cmp_ci(sq, &pci, &ci) == 0 &&
                pci.lang_area->op == ci.lang) {
                ci = pci;
                ll = ci.lang_line;
            } else if (umc->ok_subcode != 1) {
                TR_LANG_AREA* a = area_after_line(sq, ci.lang, pci.lang_line);
                ll = _tr_new_lang_line(sq, pci.box_line, a, nullptr, 0);
                tr_ll_set_start(ll, p);
                ci.lang_area = a;
                ci.box_line = pci.box_line;
                ci.box = pci.box;
                ci.lang_line = ll;
            } else {
                // A new box line after the previous character's, or, when its box is full, at
                // the head of the next box that has room.
                TR_BOX* box = pci.box;
                TR_BOX_LINE* bl = new_box_line_with_room(sq, box, pci.box_line);
                while (!bl && box->next->seq) {
                    box = box->next;
                    bl = new_box_line_with_room(sq, box, nullptr);
                }
                if (!bl) {
                    _tr_disable_unmapping_char(sq, p);
                    return;
                }
                TR_LANG_AREA* a = area_after_line(sq, ci.lang, pci.lang_line);
                ll = _tr_new_lang_line(sq, bl, a, nullptr, 0);
                tr_ll_set_start(ll, p);
                ci.lang_area = a;
                ci.box_line = bl;
                ci.box = box;
                ci.lang_line = ll;
            }
        } else {
            TR_BOX* b = sq->box_ring.next;
            if (!b->seq) return;
            TR_BOX_LINE* bl = new_box_line_with_room(sq, b, nullptr);
            if (!bl) return;
            TR_LANG_AREA* a = _tr_new_lang_area(sq, ci.lang, nullptr);
            ll = _tr_new_lang_line(sq, bl, a, nullptr, 1);
            tr_ll_set_start(ll, p);
            ci.lang_area = a;
            ci.box_line = bl;
            ci.box = b;
            ci.lang_line = ll;
        }
    }
    if (!tr_ll_start(ci.lang_line).buf) er_panic("_tr_char_buf_proc");
    ci.p = tr_ll_start(ci.lang_line);
    ci.lang = ci.lang_area->op;
    _tr_lang_area_proc(sq, &ci);
}
