// String pictures, the string-picture layout back end and sequence pictures.
#include "render/string_pic.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "base/alloc.h"
#include "base/panic.h"
#include "base/textutil.h"
#include "render/vxf.h"
#include "render/wct.h"

namespace {
template <class T>
T* zalloc() {
    return static_cast<T*>(d_calloc(1, sizeof(T)));
}

LC_FONT_ENGINE_TYPE* drawing_type(LC_FONT* font) {
    for (int i = 0; i < font->fw_len; i++) {
        LC_FONT_ENGINE* fe = font->fw_list[i].fe;
        if (fe && fe->type && fe->type->fe_get_pic) return fe->type;
    }
    return nullptr;
}

int pic_w(const LC_STRING_PIC& p) {
    return p.r.br.x - p.r.tl.x;
}
int pic_h(const LC_STRING_PIC& p) {
    return p.r.br.y - p.r.tl.y;
}

// A buffer a run may be drawn into instead of a block of its own (see fe_get_pic_into).
struct Scratch {
    unsigned char* buf;
    int64_t cap;
};

// Draws n entries of one font; a font without a drawing engine leaves an empty picture. With a
// scratch buffer the raster may be drawn into it (sp->pic is then the buffer).
void draw_run(LC_STRING_PIC* sp, const LCF_SET* lcf, int n, int dir,
              const Scratch* scratch = nullptr) {
    *sp = {};
    LC_FONT_ENGINE_TYPE* t = lcf[0].font ? drawing_type(lcf[0].font) : nullptr;
    if (t && scratch && t->fe_get_pic_into)
        t->fe_get_pic_into(sp, dir, lcf, n, scratch->buf, scratch->cap);
    else if (t)
        t->fe_get_pic(sp, dir, lcf, n);
    sp->dir = static_cast<int16_t>(dir);
    if (!sp->pic) sp->r.br = {sp->r.tl.x, sp->r.tl.y};  // nothing drawn: no raster, no area
    if (!sp->pic) sp->r = {{0, 0}, {0, 0}};
}

// What draw_run gives but the raster: the engine measures the run when it can, else the run is
// drawn and its raster dropped.
void measure_run(LC_STRING_PIC* sp, const LCF_SET* lcf, int n, int dir) {
    *sp = {};
    LC_FONT_ENGINE_TYPE* t = lcf[0].font ? drawing_type(lcf[0].font) : nullptr;
    if (t && !t->fe_get_metric) {
        draw_run(sp, lcf, n, dir);
        free_string_pic(sp);
        return;
    }
    const int drawn = t ? t->fe_get_metric(sp, dir, lcf, n) : 0;
    sp->pic = nullptr;
    sp->dir = static_cast<int16_t>(dir);
    if (!drawn) sp->r = {{0, 0}, {0, 0}};
}

// A run of one font, drawn (into scratch when given and the engine can) or, without draw, only
// measured.
void font_run(LC_STRING_PIC* sp, LC_FONT* font, int size, const L_CHAR* str, int len, int dir,
              bool draw, const Scratch* scratch = nullptr) {
    *sp = {};
    if (len <= 0) return;
    if (!drawing_type(font)) er_panic("get_string_pic");
    auto run = [&](LC_STRING_PIC* out, const LCF_SET* lcf, int n, int d) {
        if (draw)
            draw_run(out, lcf, n, d, scratch);
        else
            measure_run(out, lcf, n, d);
    };
    // A run of a line's length is built on the stack; a longer one in a block.
    constexpr int RUN = 128;
    if (len <= RUN) {
        LCF_SET lcf[RUN];
        for (int i = 0; i < len; i++)
            lcf[i] = {str[i], font, size};
        run(sp, lcf, len, dir);
        return;
    }
    LCF_SET* lcf = str2lcf(str, len, font, size);
    run(sp, lcf, len, dir);
    d_f_ree(lcf);
}

const LC_WS_COND draws_cond = {WSC_DRAWS, nullptr, nullptr};
}  // namespace

void free_string_pic(LC_STRING_PIC* p) {
    if (p->pic) d_f_ree(p->pic);
    p->pic = nullptr;
}

void print_str(const L_CHAR* s) {
    for (; *s; s++)
        printf("%x,", *s);
    printf("\n");
}

bool compose_pic(LC_STRING_PIC* p, LC_STRING_PIC* pp) {
    I_RECT r;
    r.tl.x = p->r.tl.x;
    r.tl.y = std::min(p->r.tl.y, pp->r.tl.y);
    r.br.x = p->width + pp->r.br.x;
    r.br.y = std::max(p->r.br.y, pp->r.br.y);
    const int64_t advance = int64_t{p->width} + pp->width;
    const int64_t w = std::max<int64_t>(0, int64_t{r.br.x} - r.tl.x),
                  h = std::max<int64_t>(0, int64_t{r.br.y} - r.tl.y);
    // A picture's width is 16 bits and its area bounded as a run's is: a string that would pass
    // them gets no picture rather than one whose width wrapped.
    if (advance > INT16_MAX || !vxf_picture_fits(w, h)) {
        free_string_pic(p);
        free_string_pic(pp);
        p->r = r;
        p->width = INT16_MAX;
        return false;
    }
    unsigned char* raster = nullptr;
    if (w * h > 0) {
        raster = static_cast<unsigned char*>(d_alloc(w * h));
        memset(raster, 255, static_cast<size_t>(w) * h);
        auto blit = [&](const LC_STRING_PIC* s, int col, int row, bool ink_only) {
            if (!s->pic) return;
            const int sw = pic_w(*s), sh = pic_h(*s);
            for (int y = 0; y < sh; y++) {
                int dy = row + y;
                if (dy < 0 || dy >= h) continue;
                for (int x = 0; x < sw; x++) {
                    int dx = col + x;
                    if (dx < 0 || dx >= w) continue;
                    unsigned char v = s->pic[int64_t{y} * sw + x];
                    if (!ink_only || v < 255) raster[int64_t{dy} * w + dx] = v;
                }
            }
        };
        blit(p, 0, p->r.tl.y - r.tl.y, false);
        blit(pp, p->width - r.tl.x + pp->r.tl.x, pp->r.tl.y - r.tl.y, true);
    }
    free_string_pic(p);
    free_string_pic(pp);
    p->r = r;
    p->width = static_cast<int16_t>(advance);
    p->pic = raster;
    return true;
}

void pic_rotate_90(LC_STRING_PIC* dest, const LC_STRING_PIC* src) {
    const int W = pic_w(*src), H = pic_h(*src);
    dest->r.tl = {-src->r.br.y, src->r.tl.x};
    dest->r.br = {-src->r.tl.y, src->r.br.x};
    dest->pic = nullptr;
    if (!src->pic || W <= 0 || H <= 0) return;
    auto* out = static_cast<unsigned char*>(d_alloc(int64_t{W} * H));
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            out[int64_t{x} * H + (H - 1 - y)] = src->pic[int64_t{y} * W + x];
    dest->pic = out;
}

void get_string_pic_font(LC_STRING_PIC* sp, LC_FONT* font, int size, const L_CHAR* str, int len,
                         int dir) {
    font_run(sp, font, size, str, len, dir, true);
}

void get_string_pic(LC_STRING_PIC* sp, LC_WRITING_STYLE* ws, const L_CHAR* str, int size, int dir) {
    *sp = {};
    sp->dir = static_cast<int16_t>(dir);
    int len = 0;
    while (str[len])
        len++;
    if (len == 0) return;
    LCF_SET* lcf = ws_convert(ws, &draws_cond, size, str, len, 0);
    if (!lcf) er_panic("get_string_pic");
    bool first = true;
    for (int i = 0; lcf[i].ch;) {
        int j = i + 1;
        while (lcf[j].ch && lcf[j].font == lcf[i].font && lcf[j].size == lcf[i].size)
            j++;
        // A run no font draws is left out.
        if (lcf[i].font) {
            if (!drawing_type(lcf[i].font)) er_panic("get_string_pic");
            LC_STRING_PIC run;
            draw_run(&run, lcf + i, j - i, dir);
            if (first) {
                *sp = run;
            } else if (!compose_pic(sp, &run)) {
                break;  // too wide: the string has no picture, whatever follows
            }
            first = false;
        }
        i = j;
    }
    d_f_ree(lcf);
}

// ---------------------------------------------------------------- the back end

namespace {
// An open-addressed table, a power of two in size and at most half full: a look-up is mostly one
// probe into one array, where a node map costs a cache miss on every character. K has hash().
template <class K, class V>
class OpenTable {
  public:
    const V* find(const K& k) const {
        if (slots_.empty()) return nullptr;
        const size_t mask = slots_.size() - 1;
        for (size_t i = k.hash() & mask;; i = (i + 1) & mask) {
            if (!slots_[i].full) return nullptr;
            if (slots_[i].k == k) return &slots_[i].v;
        }
    }
    void insert(const K& k, const V& v) {
        if ((used_ + 1) * 2 > slots_.size()) {
            std::vector<Slot> old(slots_.empty() ? 64 : slots_.size() * 2);
            old.swap(slots_);
            used_ = 0;
            for (const Slot& s : old)
                if (s.full) insert(s.k, s.v);
        }
        const size_t mask = slots_.size() - 1;
        size_t i = k.hash() & mask;
        while (slots_[i].full)
            i = (i + 1) & mask;
        slots_[i] = {k, v, true};
        used_++;
    }

  private:
    struct Slot {
        K k;
        V v;
        bool full;
    };
    std::vector<Slot> slots_;
    size_t used_ = 0;
};

size_t mix(uint64_t h) {
    h *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h ^ (h >> 32));
}
}  // namespace

// What a sequence learnt about characters, asked once each: the table grows with the distinct
// characters laid out. Fonts and writing styles live as long as the process, so an answer stays
// valid.
struct SP_ADV_CACHE {
    // A short run of one font and size measured in a direction (its raster not drawn): most
    // elements are a word, a space or one character, and words recur.
    static constexpr int RUN_MAX = 12;
    static constexpr size_t RUNS_MAX = 16384;  // runs kept at most
    struct Key {
        LC_FONT* font;
        int size;
        int dir;
        int len;
        L_CHAR ch[RUN_MAX];  // 0 past len
        bool operator==(const Key&) const = default;
        size_t hash() const {
            uint64_t h = reinterpret_cast<uintptr_t>(font) ^
                         (static_cast<uint64_t>(static_cast<uint32_t>(size)) << 32) ^
                         (static_cast<uint64_t>(static_cast<uint32_t>(dir)) << 48) ^ len;
            for (int i = 0; i < len; i++)
                h = (h ^ ch[i]) * 0x100000001B3ull;
            return mix(h);
        }
    };
    OpenTable<Key, LC_STRING_PIC> measured;
    size_t runs = 0;
    // How a character of a writing style and size is placed: the font entry that draws it and
    // its advance, or font null when no font draws it.
    struct Placed {
        LCF_SET c;
        int adv;
    };
    struct WsKey {
        LC_WRITING_STYLE* ws;
        int size;
        L_CHAR ch;
        bool upright;
        bool operator==(const WsKey&) const = default;
        size_t hash() const {
            return mix(reinterpret_cast<uintptr_t>(ws) ^ (uint64_t{ch} << 1) ^
                       (static_cast<uint64_t>(static_cast<uint32_t>(size)) << 33) ^ upright);
        }
    };
    OpenTable<WsKey, Placed> placed;
};

namespace {
SP_WORK* spw(TR_SEQUENCE* sq) {
    return static_cast<SP_WORK*>(sq->work);
}
SP_ELEMENT_WORK* ew_of(TR_ELEMENT* e) {
    return static_cast<SP_ELEMENT_WORK*>(e->work);
}
bool ordinary(TR_ELEMENT* e) {
    return e->cr == 0 && e->work && ew_of(e)->len > 0;
}

// A run of one font measured as measure_run measures it (no raster); a short one is measured
// once per sequence.
LC_STRING_PIC measured_run(SP_WORK* w, LC_FONT* font, int size, const L_CHAR* str, int len,
                           int dir) {
    LC_STRING_PIC p;
    if (len > SP_ADV_CACHE::RUN_MAX) {
        font_run(&p, font, size, str, len, dir, false);
        return p;
    }
    SP_ADV_CACHE::Key k{font, size, dir, len, {}};
    std::copy(str, str + len, k.ch);
    if (const LC_STRING_PIC* hit = w->adv->measured.find(k)) return *hit;
    font_run(&p, font, size, str, len, dir, false);
    if (w->adv->runs < SP_ADV_CACHE::RUNS_MAX) {
        w->adv->measured.insert(k, p);
        w->adv->runs++;
    }
    return p;
}

// The length one character takes along its line: its pen advance, or for an upright character
// of a vertical line its height.
int char_advance(SP_WORK* w, LC_FONT* font, int size, L_CHAR ch, bool upright) {
    const LC_STRING_PIC p = measured_run(w, font, size, &ch, 1, 0);
    return upright ? pic_h(p) : p.width;
}

// The font entry and advance of one character of a writing style, converted once per sequence.
SP_ADV_CACHE::Placed placed_char(SP_WORK* w, LC_WRITING_STYLE* ws, int size, L_CHAR ch,
                                 bool upright) {
    SP_ADV_CACHE::WsKey k{ws, size, ch, upright};
    if (const SP_ADV_CACHE::Placed* hit = w->adv->placed.find(k)) return *hit;
    SP_ADV_CACHE::Placed pl{};
    LCF_SET* r = ws_convert(ws, &draws_cond, size, &ch, 1, 0);
    if (r && r[0].font && r[1].ch == 0 && drawing_type(r[0].font)) {
        pl.c = r[0];
        pl.adv = char_advance(w, pl.c.font, pl.c.size, pl.c.ch, upright);
    }
    if (r) d_f_ree(r);
    w->adv->placed.insert(k, pl);
    return pl;
}

// An element's work and room for its first characters share one block; a longer run moves its
// arrays to a block of their own. The arrays share a block: positions first (the widest
// alignment), then the characters and their advances.
constexpr int EW_INLINE = 8;
constexpr int64_t EW_PER_CHAR = sizeof(TR_PTR) + sizeof(L_CHAR) + sizeof(int);
static_assert(alignof(TR_PTR) >= alignof(L_CHAR) && alignof(L_CHAR) >= alignof(int));
static_assert(sizeof(SP_ELEMENT_WORK) % alignof(TR_PTR) == 0);

TR_PTR* ew_inline(SP_ELEMENT_WORK* ew) {
    return reinterpret_cast<TR_PTR*>(ew + 1);
}

void ew_set_arrays(SP_ELEMENT_WORK* ew, TR_PTR* q, int cap) {
    ew->ptr = q;
    ew->str = reinterpret_cast<L_CHAR*>(q + cap);
    ew->advs = reinterpret_cast<int*>(ew->str + cap);
    ew->cap = cap;
}

SP_ELEMENT_WORK* new_element_work(SP_WORK* w) {
    auto* ew = static_cast<SP_ELEMENT_WORK*>(slot_alloc(&w->work_pool));
    ew_set_arrays(ew, ew_inline(ew), EW_INLINE);
    return ew;
}

void free_element_work(SP_ELEMENT_WORK* ew) {
    free_string_pic(&ew->pic);
    if (ew->ptr && ew->ptr != ew_inline(ew)) d_f_ree(ew->ptr);
    _tr_free_attr(ew->attr);
    slot_free(ew);
}

// Frees a raster unless it is the scratch buffer.
void free_unless_scratch(LC_STRING_PIC* p, const Scratch* scratch) {
    if (scratch && p->pic == scratch->buf) p->pic = nullptr;
    free_string_pic(p);
}

// The element's picture as its line lays it: a turned run, or an upright character of a
// vertical line centred on the line. Without draw only its rectangle and width, which is all the
// layout needs; the raster is drawn when a sequence picture is made, into scratch when given
// (free it with free_unless_scratch).
void element_pic(LC_STRING_PIC* out, const SP_ELEMENT_WORK* ew, bool draw,
                 const Scratch* scratch = nullptr, SP_WORK* w = nullptr) {
    // Measuring asks the sequence's table when given.
    auto run = [&](LC_STRING_PIC* to) {
        if (!draw && w)
            *to = measured_run(w, ew->font, ew->size, ew->str, ew->len, ew->pic_dir);
        else
            font_run(to, ew->font, ew->size, ew->str, ew->len, ew->pic_dir, draw, scratch);
    };
    if (ew->rotate) {
        LC_STRING_PIC tmp;
        run(&tmp);
        pic_rotate_90(out, &tmp);
        out->width = tmp.width;
        out->dir = tmp.dir;
        free_unless_scratch(&tmp, scratch);
        return;
    }
    run(out);
    if (ew->el_dir == 3 && ew->len == 1) {
        I_RECT& r = out->r;
        int wd = r.br.x - r.tl.x;
        r.br.x = wd / 2;
        r.tl.x = r.br.x - wd;
        r.br.y -= r.tl.y;
        r.tl.y = 0;
        out->width = static_cast<int16_t>(r.br.y);
    }
}

// Measures the element as the current line lays it.
void sp_get_pic(TR_SEQUENCE* sq, TR_ELEMENT* el) {
    SP_WORK* w = spw(sq);
    SP_ELEMENT_WORK* ew = ew_of(el);
    free_string_pic(&ew->pic);
    ew->pic_dir = static_cast<int16_t>(el->ll ? el->ll->dir : 0);
    ew->rotate = w->rotate;
    ew->el_dir = w->el_dir;
    element_pic(&ew->pic, ew, false, nullptr, w);
    ew->dirty = false;
}

void append_char(SP_ELEMENT_WORK* ew, L_CHAR ch, TR_PTR p, int adv) {
    if (ew->len == ew->cap) {
        const int cap = ew->cap < 32 ? 32 : ew->cap * 2;
        auto* q = static_cast<TR_PTR*>(d_alloc(cap * EW_PER_CHAR));
        auto* s = reinterpret_cast<L_CHAR*>(q + cap);
        auto* a = reinterpret_cast<int*>(s + cap);
        memcpy(s, ew->str, ew->len * sizeof(L_CHAR));
        memcpy(q, ew->ptr, ew->len * sizeof(TR_PTR));
        memcpy(a, ew->advs, ew->len * sizeof(int));
        if (ew->ptr != ew_inline(ew)) d_f_ree(ew->ptr);
        ew_set_arrays(ew, q, cap);
    }
    ew->str[ew->len] = ch;
    ew->ptr[ew->len] = p;
    ew->advs[ew->len] = adv;
    ew->len++;
    ew->adv += adv;
    ew->dirty = true;
}

// Bumped whenever an element or a box line goes, anywhere: a kept line sum is good only while it
// stays the same (a destroyed element cannot name its sequence, nor a freed line its address).
std::atomic<uint64_t> element_gen{0};

}  // namespace

// The length of the box line's characters (the widths of the ordinary elements of all its
// language lines) and, through chars, how many there are. The sum of the line being laid out is
// kept, so that offering a character costs no walk over the line.
int sp_min_line_pixels(TR_SEQUENCE* sq, TR_BOX_LINE* bl, int* chars) {
    SP_WORK* w = spw(sq);
    const uint64_t gen = element_gen.load(std::memory_order_relaxed);
    if (w->sum_line != bl || w->sum_gen != gen) {
        int sum = 0, n = 0;
        for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next)
            if (ordinary(e)) {
                sum += ew_of(e)->adv;
                n += ew_of(e)->len;
            }
        w->sum_line = bl;
        w->sum_gen = gen;
        w->sum_pixels = sum;
        w->sum_chars = n;
    }
    if (chars) *chars = w->sum_chars;
    return w->sum_pixels;
}

namespace {
// Destroys the last language line after the current one on its box line: false when none.
bool sp_last_ll_destroy(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    TR_LANG_LINE* last = nullptr;
    for (TR_LANG_LINE* l = ci->lang_line->box_next; l; l = l->box_next)
        last = l;
    if (!last) return false;
    _tr_destroy_lang_line(sq, last);
    return true;
}

// Destroys the last element after the current one in the current language line: false when none.
bool sp_last_el_destroy(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    TR_ELEMENT* cur = spw(sq)->element_ptr;
    if (!cur) return false;
    TR_ELEMENT* last = nullptr;
    for (TR_ELEMENT* e = cur->ll_next; e; e = e->ll_next)
        last = e;
    (void)ci;
    if (!last) return false;
    _tr_destroy_element(sq, last);
    return true;
}

// The line with extra more pixels fits, once later language lines are pushed off it when
// needed. A box line's first character always fits.
bool line_fits(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, int extra) {
    const int max = ci->box->attr.max_line_pixels;
    if (max < 0) return true;
    for (;;) {
        int chars = 0;
        int64_t len = int64_t{sp_min_line_pixels(sq, ci->box_line, &chars)} + extra;
        if (len <= max) return true;
        if (sp_last_ll_destroy(sq, ci)) continue;
        if (sp_last_el_destroy(sq, ci)) continue;
        return chars + (extra ? 1 : 0) <= 1;
    }
}

TR_ERROR sp_line_check(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    return line_fits(sq, ci, 0) ? tr_err(TRE_OK) : tr_err(TRE_INSERT_CHAR);
}

TR_ERROR sp_new_element(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    TR_ELEMENT* el = nullptr;
    TR_ERROR r = _tr_new_element(&el, sq, ci->lang_line);
    if (r.code != TRE_OK) return r;
    el->work = new_element_work(spw(sq));
    spw(sq)->prev_element_ptr = spw(sq)->element_ptr;
    spw(sq)->element_ptr = el;
    return r;
}

TR_ERROR sp_flush_element(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    TR_ELEMENT* el = spw(sq)->element_ptr;
    if (!el) er_panic("sp_flush_element");
    if (el->cr != 0) return tr_err(TRE_OK);
    SP_ELEMENT_WORK* ew = ew_of(el);
    if (ew->len == 0) return tr_err(TRE_OK);
    if (ew->dirty) sp_get_pic(sq, el);
    ew->ll_dir = static_cast<int16_t>(ci->lang_line->dir);
    ew->ln_dir = static_cast<int16_t>(ci->box_line->attr.default_dir);
    return sp_line_check(sq, ci);
}

void sp_unmapping_element(TR_ELEMENT* el) {
    element_gen.fetch_add(1, std::memory_order_relaxed);
    if (el->work) free_element_work(ew_of(el));
    el->work = nullptr;
}

void sp_new_box_line(TR_SEQUENCE*, TR_BOX_LINE* bl) {
    bl->work = zalloc<SP_BOX_LINE_WORK>();
}
void sp_free_box_line(TR_SEQUENCE*, TR_BOX_LINE* bl) {
    element_gen.fetch_add(1, std::memory_order_relaxed);
    if (bl->work) d_f_ree(bl->work);
    bl->work = nullptr;
}
void sp_new_box(TR_SEQUENCE*, TR_BOX* b) {
    b->work = zalloc<SP_BOX_WORK>();
}
void sp_free_box(TR_SEQUENCE*, TR_BOX* b) {
    if (b->work) d_f_ree(b->work);
    b->work = nullptr;
}

void sp_start_lang_line_op(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    SP_WORK* w = spw(sq);
    w->ci = *ci;
    // A line is laid out afresh: the elements of its last layout go.
    while (ci->lang_line->element_list)
        _tr_destroy_element(sq, ci->lang_line->element_list);
    w->element_ptr = nullptr;
    w->prev_element_ptr = nullptr;
    const int bd = ci->box_line->attr.default_dir;
    w->el_dir = tr_dir_vertical(bd) ? 3 : 12;
    w->rotate = (ci->lang_line->dir & w->el_dir) ? 0 : 1;
    if (w->el_dir == 12)
        w->el_type = (ci->lang_line->dir & ci->lang->dir_flags) ? 1 : 2;
    else
        w->el_type = w->rotate ? 1 : 2;
}

TR_ERROR sp_put_box_line(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, TR_PTR p, TR_CHAR_ELEMENT* ce) {
    SP_WORK* w = spw(sq);
    if (ce->d.type < 0 || !ce->d.ws.ws) return tr_err(TRE_OK);
    const bool upright = w->el_dir == 3 && !w->rotate;
    const SP_ADV_CACHE::Placed pl = placed_char(w, ce->d.ws.ws, ce->d.ws.size, ce->ch, upright);
    // A character that no font draws is left out of the picture; its text stays.
    if (!pl.c.font) return tr_err(TRE_OK);
    const LCF_SET c = pl.c;
    const int adv = pl.adv;
    // Mostly the kept length of the line being laid out shows the room at once.
    const int max = ci->box->attr.max_line_pixels;
    const bool room = max < 0 || (w->sum_line == ci->box_line &&
                                  w->sum_gen == element_gen.load(std::memory_order_relaxed) &&
                                  int64_t{w->sum_pixels} + adv <= max);
    if (!room && !line_fits(sq, ci, adv)) return tr_err(TRE_INSERT_CHAR);
    TR_ELEMENT* el = w->element_ptr;
    if (el) {
        SP_ELEMENT_WORK* ew = ew_of(el);
        if (ew->len && (ew->font != c.font || ew->size != c.size || w->el_type == 2 ||
                        (ew->attr != ce->attr && _tr_cmp_attr(ew->attr, ce->attr) != 0))) {
            TR_ERROR e = sp_flush_element(sq, ci);
            if (e.code != TRE_OK) return e;
            el = nullptr;
        }
    }
    if (!el) {
        TR_ERROR e = sp_new_element(sq, ci);
        if (e.code != TRE_OK) return e;
        el = w->element_ptr;
    }
    SP_ELEMENT_WORK* ew = ew_of(el);
    if (ew->len == 0) {
        ew->font = c.font;
        ew->size = c.size;
        _tr_free_attr(ew->attr);
        ew->attr = _tr_copy_attr(ce->attr);
    }
    append_char(ew, c.ch, p, adv);
    if (w->sum_line == el->ll->box_line) {
        w->sum_pixels += adv;
        w->sum_chars++;
    }
    ew->glue_end = 0;
    return tr_err(TRE_OK);
}

}  // namespace

// Glue of the given weight after the current element's characters (before them when it has
// none); weight 2 finishes the element, so that the next character starts a new one.
TR_ERROR sp_lang_line_ctl_weight(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, TR_LL_CTL* ctl) {
    SP_WORK* w = spw(sq);
    if (!w->element_ptr) {
        TR_ERROR e = sp_new_element(sq, ci);
        if (e.code != TRE_OK) return e;
    }
    SP_ELEMENT_WORK* ew = ew_of(w->element_ptr);
    uint8_t wt = static_cast<uint8_t>(ctl->w.weight);
    if (ew->len)
        ew->glue_end = std::max(ew->glue_end, wt);
    else
        ew->glue_start = std::max(ew->glue_start, wt);
    if (ew->glue_end == 2) {
        TR_ERROR e = sp_flush_element(sq, ci);
        if (e.code != TRE_OK) return e;
        w->element_ptr = nullptr;  // the next character starts a new element
    }
    return tr_err(TRE_OK);
}

// The line return that ends the box line: its direction decides the line's alignment 5.
TR_ERROR sp_lang_line_ctl_return_code(TR_SEQUENCE*, TR_CHAR_INFO* ci, TR_LL_CTL* ctl) {
    if (auto* bw = static_cast<SP_BOX_LINE_WORK*>(ci->box_line->work))
        bw->return_dir = static_cast<int16_t>(ctl->r.dir);
    return tr_err(TRE_OK);
}

namespace {
TR_ERROR sp_lang_line_ctl(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, TR_LL_CTL* ctl) {
    switch (ctl->h.cmd) {
        case 1:
            return sp_lang_line_ctl_weight(sq, ci, ctl);
        case 2:
            return sp_lang_line_ctl_return_code(sq, ci, ctl);
        default:
            er_panic("sp_lang_line_ctl");
    }
    return tr_err(TRE_OK);
}

TR_ERROR sp_pop_box_line(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, TR_PTR p) {
    SP_WORK* w = spw(sq);
    for (TR_ELEMENT* el = ci->lang_line->element_list; el; el = el->ll_next) {
        SP_ELEMENT_WORK* ew = ew_of(el);
        if (!ew) continue;
        int k = -1;
        for (int i = 0; i < ew->len; i++)
            if (tr_ptr_eq(ew->ptr[i], p)) {
                k = i;
                break;
            }
        if (k < 0) continue;
        while (el->ll_next)
            _tr_destroy_element(sq, el->ll_next);
        if (k > 0) {
            for (int i = k; i < ew->len; i++)
                ew->adv -= ew->advs[i];
            ew->len = k;
            w->sum_line = nullptr;
            sp_get_pic(sq, el);
            w->element_ptr = el;
        } else {
            _tr_destroy_element(sq, el);
            w->element_ptr = nullptr;
        }
        break;
    }
    return sp_line_check(sq, ci);
}

}  // namespace

void sp_set_lhm(LHM_T** list, LC_FONT* font, int size, int desent, int assent) {
    LHM_T* h = sp_get_lhm(*list, font, size);
    if (!h) {
        h = zalloc<LHM_T>();
        h->font = font;
        h->size = size;
        h->next = *list;
        *list = h;
    }
    h->desent = static_cast<int16_t>(std::max<int>(h->desent, desent));
    h->assent = static_cast<int16_t>(std::max<int>(h->assent, assent));
}

LHM_T* sp_get_lhm(LHM_T* list, LC_FONT* font, int size) {
    for (; list; list = list->next)
        if (list->font == font && list->size == size) return list;
    return nullptr;
}

void sp_free_lhm(LHM_T** list) {
    while (LHM_T* h = *list) {
        *list = h->next;
        d_f_ree(h);
    }
}

void sp_line_height_metric_horizontal(TR_BOX_LINE* bl) {
    const int pitch = bl->attr.pitch;
    int asc = 0, desc = 0;
    for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next)
        if (ordinary(e)) {
            asc = std::max(asc, -ew_of(e)->pic.r.tl.y);
            desc = std::max(desc, ew_of(e)->pic.r.br.y);
        }
    bl->assent = static_cast<int16_t>(asc);
    bl->desent = static_cast<int16_t>(desc);
    bl->base_offset = static_cast<int16_t>(asc * pitch / 10);
    bl->height = static_cast<int16_t>((asc + desc) * pitch / 10);
    for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next)
        if (ordinary(e)) ew_of(e)->offset.y = bl->base_offset;
}

void sp_line_height_metric_vertical(TR_BOX_LINE* bl) {
    const int pitch = bl->attr.pitch;
    LHM_T* groups = nullptr;
    for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next)
        if (ordinary(e)) {
            const SP_ELEMENT_WORK* ew = ew_of(e);
            sp_set_lhm(&groups, ew->font, ew->size, -ew->pic.r.tl.x, ew->pic.r.br.x);
        }
    int wmax = 0;
    for (LHM_T* g = groups; g; g = g->next)
        wmax = std::max(wmax, g->desent + g->assent);
    bl->desent = static_cast<int16_t>(wmax / 2);
    bl->assent = static_cast<int16_t>(wmax - wmax / 2);
    bl->base_offset = static_cast<int16_t>(bl->assent * pitch / 10);
    bl->height = static_cast<int16_t>(wmax * pitch / 10);
    for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next)
        if (ordinary(e)) {
            const LHM_T* g = sp_get_lhm(groups, ew_of(e)->font, ew_of(e)->size);
            ew_of(e)->offset.x = (g->desent + g->assent) / 2 - g->assent - bl->base_offset;
        }
    sp_free_lhm(&groups);
}

void sp_line_height_metric(TR_BOX_LINE* bl) {
    if (tr_dir_vertical(bl->attr.default_dir))
        sp_line_height_metric_vertical(bl);
    else
        sp_line_height_metric_horizontal(bl);
}

namespace {
// The box lines' offsets after a change of the height of line bl: from bl on, as far as they
// change (the sequence picture places lines by their offsets).
void set_line_offsets(TR_BOX* b, TR_BOX_LINE* bl, bool vertical) {
    _tr_set_bl_offset(b, bl);
    _tr_settle_bl_offset(b, bl);
    if (auto* lw = static_cast<SP_BOX_LINE_WORK*>(bl->work)) {
        int o = b->start_px_offset + bl->doc_start_offset;
        lw->offset = vertical ? I_POINT{o, 0} : I_POINT{0, o};
    }
}

TR_ERROR sp_line_height_check(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    TR_BOX* b = ci->box;
    if (b->attr.max_doc_dir_pixels < 0) return tr_err(TRE_OK);
    _tr_settle_bl_offset(b, nullptr);
    for (TR_BOX_LINE* l = b->line_list; l; l = l->next) {
        if (int64_t{b->start_px_offset} + l->doc_start_offset <= b->attr.max_doc_dir_pixels)
            continue;
        // From the first line that starts beyond the box's room, nothing stays in the box.
        bool current_after = false;
        for (TR_BOX_LINE* x = l; x; x = x->next)
            current_after |= x == ci->box_line;
        if (l == ci->box_line) {
            while (l->next)
                _tr_destroy_box_line(sq, l->next);
            return tr_err(TRE_INSERT_LINE);
        }
        if (!current_after) {
            TR_BOX_LINE** pp = &b->line_list;
            while (*pp != l)
                pp = &(*pp)->next;
            while (l->next)
                _tr_destroy_box_line(sq, l->next);
            _tr_destroy_box_line(sq, l);
        }
        return tr_err(TRE_OK);
    }
    return tr_err(TRE_OK);
}

// Places the ordinary elements along the line from s, with glue g between them, the gaps never
// adding up to more than extra.
void place_elements(TR_BOX* box, TR_BOX_LINE* bl, int s, double g, int extra) {
    const bool horizontal = !tr_dir_vertical(box->attr.default_lattr.default_dir);
    int64_t pos = s;
    double acc = 0;
    int64_t given = 0;
    for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next) {
        if (!ordinary(e)) continue;
        SP_ELEMENT_WORK* ew = ew_of(e);
        (horizontal ? ew->offset.x : ew->offset.y) = static_cast<int32_t>(pos);
        pos += ew->adv;
        acc += g;
        int64_t gap = static_cast<int64_t>(acc) - given;
        if (given + gap > extra) gap = std::max<int64_t>(0, extra - given);
        pos += gap;
        given += gap;
    }
}

void sp_line_dir_metric(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    SP_WORK* w = spw(sq);
    TR_BOX_LINE* bl = ci->box_line;
    int n = 0;
    int sum = sp_min_line_pixels(sq, bl);
    for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next)
        n += ordinary(e);
    int L = ci->box->attr.max_line_pixels;
    if (L < 0) {
        w->real_line_pixels = std::max(w->real_line_pixels, sum);
        L = w->real_line_pixels;
    }
    const int extra = L - sum;
    const int dd = bl->attr.default_dir;
    auto* lw = static_cast<SP_BOX_LINE_WORK*>(bl->work);
    const int rd = lw ? lw->return_dir : 0;
    double g = 0;
    int s = 0;
    auto justify = [&]() {
        if (n > 1) {
            g = static_cast<double>(extra) / (n - 1);
            return true;
        }
        return false;
    };
    switch (bl->attr.align) {
        case 1:
            s = extra / 2;
            break;
        case 5:
            if (rd & 7)
                s = 0;
            else if (rd & 8)
                s = extra;
            else if (!justify())
                s = (dd & 8) && !(dd & 7) ? extra : 0;
            break;
        case 2:
            if (justify()) break;
            [[fallthrough]];
        case 3:
            if (!(dd & 15)) er_panic("sp");
            s = (dd & 7) ? 0 : extra;
            break;
        case 4:
            if (!(dd & 15)) er_panic("sp");
            s = (dd & 7) ? extra : 0;
            break;
        default:
            er_panic("sp_lr_line_metric");
    }
    place_elements(ci->box, bl, s, g, extra);
}

TR_ERROR sp_stop_lang_line_op(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    SP_WORK* w = spw(sq);
    if (TR_ELEMENT* el = w->element_ptr) {
        TR_ERROR e = sp_flush_element(sq, ci);
        if (e.code != TRE_OK) return e;
        if (el->cr == 0 && ew_of(el)->len == 0) _tr_destroy_element(sq, el);
        w->element_ptr = nullptr;
    }
    // Elements left without characters (glue only) go.
    for (TR_ELEMENT* el = ci->lang_line->element_list; el;) {
        TR_ELEMENT* next = el->ll_next;
        if (el->cr == 0 && (!el->work || ew_of(el)->len == 0)) _tr_destroy_element(sq, el);
        el = next;
    }
    sp_line_height_metric(ci->box_line);
    set_line_offsets(ci->box, ci->box_line, tr_dir_vertical(ci->box_line->attr.default_dir));
    TR_ERROR e = sp_line_height_check(sq, ci);
    if (e.code != TRE_OK) return e;
    sp_line_dir_metric(sq, ci);
    return tr_err(TRE_OK);
}

void sp_free_sequence(TR_SEQUENCE* sq) {
    if (SP_WORK* w = spw(sq)) {
        delete w->adv;
        d_f_ree(w);
    }
    sq->work = nullptr;
}
}  // namespace

int sp_new_sequence(TR_SEQUENCE* sq, void*) {
    auto* w = zalloc<SP_WORK>();
    w->adv = new SP_ADV_CACHE;
    slot_pool_init(&w->work_pool, int64_t{sizeof(SP_ELEMENT_WORK)} + EW_INLINE * EW_PER_CHAR);
    sq->work = w;
    return 0;
}

bool sp_draw_element(LC_STRING_PIC* out, TR_ELEMENT* el, unsigned char* buf, int64_t cap) {
    *out = {};
    // Elements are mostly drawn in line order: the next one's records are fetched meanwhile.
    if (TR_ELEMENT* n = el->next) {
        __builtin_prefetch(n->next);
        if (const char* nw = static_cast<const char*>(n->work))
            for (size_t at = 0; at < sizeof(SP_ELEMENT_WORK) + EW_INLINE * EW_PER_CHAR; at += 64)
                __builtin_prefetch(nw + at);
    }
    if (!ordinary(el)) return false;
    const SP_ELEMENT_WORK* ew = ew_of(el);
    const Scratch scratch{buf, buf ? cap : 0};
    if (pic_w(ew->pic) > 0 && pic_h(ew->pic) > 0) element_pic(out, ew, true, &scratch);
    return true;
}

void sp_free_element_pic(LC_STRING_PIC* p, const unsigned char* buf) {
    if (p->pic == buf) p->pic = nullptr;
    free_string_pic(p);
}

TR_BOX_OP string_pic_op = {
    sp_new_sequence,      nullptr,         nullptr,
    sp_unmapping_element, sp_new_box_line, sp_free_box_line,
    sp_new_box,           sp_free_box,     sp_start_lang_line_op,
    sp_stop_lang_line_op, sp_put_box_line, sp_pop_box_line,
    sp_lang_line_ctl,     nullptr,         nullptr,
    {nullptr, nullptr},   nullptr,         sp_free_sequence,
};

// ---------------------------------------------------------------- sequence pictures

namespace {
constexpr uint32_t PIC_EMPTY = 0x40000000u;

// The offset of a box line from its box's origin, following the heights as they are now (the
// offsets of the lines before it settled on the way); kept in the line's work.
I_POINT line_offset(TR_BOX_LINE* bl) {
    const int o = bl->box->start_px_offset + tr_bl_offset(bl);
    const I_POINT lo = tr_dir_vertical(bl->attr.default_dir) ? I_POINT{o, 0} : I_POINT{0, o};
    if (auto* lw = static_cast<SP_BOX_LINE_WORK*>(bl->work)) lw->offset = lo;
    return lo;
}

I_POINT box_offset(TR_BOX* b) {
    return b->work ? static_cast<SP_BOX_WORK*>(b->work)->offset : I_POINT{0, 0};
}

// Visits every ordinary element of a box line, in visual order, with the line's origin.
template <class F>
void each_line_element(TR_BOX_LINE* bl, I_POINT box_origin, F&& f) {
    const I_POINT origin = p_addi(box_origin, line_offset(bl));
    for (TR_ELEMENT* e = bl->el_head.next; e != &bl->el_head; e = e->next)
        if (ordinary(e)) f(e, origin);
}

// Visits every ordinary element of the sequence with the origin of its box line.
template <class F>
void each_element(TR_SEQUENCE* sq, F&& f) {
    for (TR_BOX* b = sq->box_ring.next; b->seq; b = b->next) {
        _tr_settle_bl_offset(b, nullptr);
        for (TR_BOX_LINE* bl = b->line_list; bl; bl = bl->next)
            each_line_element(bl, box_offset(b), f);
    }
}

int64_t pixels_of(const LC_STRING_PIC& p) {
    const int W = pic_w(p), H = pic_h(p);
    return W > 0 && H > 0 ? int64_t{W} * H : 0;
}

// Colours n pixels of a raster: ink in color, the rest empty. True when a pixel is grey (neither
// empty nor full ink). The colours are written past the caches (a large picture is far larger
// than they are and is not read back while it is made), sixteen pixels at a time where the
// destination allows.
bool colour_pixels(uint32_t* data, const unsigned char* raster, int64_t n, uint32_t color) {
    unsigned grey = 0;
    int64_t i = 0;
    auto one = [&](int64_t k) {
        const unsigned char v = raster[k];
        data[k] = v < 255 ? color : PIC_EMPTY;
        grey |= static_cast<unsigned char>(v - 1) < 254;
    };
#ifdef __SSE2__
    for (; i < n && (reinterpret_cast<uintptr_t>(data + i) & 15); i++)
        one(i);
    const __m128i zero = _mm_setzero_si128(), bg = _mm_set1_epi8(-1);
    const __m128i ink = _mm_set1_epi32(static_cast<int>(color));
    const __m128i empty = _mm_set1_epi32(static_cast<int>(PIC_EMPTY));
    __m128i mid = zero;  // 0xFF in a byte that was neither 0 nor 255
    auto put = [&](uint32_t* to, __m128i m) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(to),
                         _mm_or_si128(_mm_and_si128(m, empty), _mm_andnot_si128(m, ink)));
    };
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(raster + i));
        const __m128i e = _mm_cmpeq_epi8(v, bg);
        mid = _mm_or_si128(mid, _mm_andnot_si128(_mm_or_si128(e, _mm_cmpeq_epi8(v, zero)), bg));
        const __m128i lo = _mm_unpacklo_epi8(e, e), hi = _mm_unpackhi_epi8(e, e);
        put(data + i, _mm_unpacklo_epi16(lo, lo));
        put(data + i + 4, _mm_unpackhi_epi16(lo, lo));
        put(data + i + 8, _mm_unpacklo_epi16(hi, hi));
        put(data + i + 12, _mm_unpackhi_epi16(hi, hi));
    }
    grey |= _mm_movemask_epi8(mid) != 0;
#endif
    for (; i < n; i++)
        one(i);
    return grey != 0;
}

// Fills pe from the element at origin; its colours go to data (room for the element's pixels),
// its raster is drawn into scratch (room for any element's).
void gather_element(PIC* pi, TR_SEQUENCE* sq, TR_ELEMENT* el, I_POINT origin, PIC_ELEMENT* pe,
                    uint32_t* data, const Scratch* scratch) {
    SP_ELEMENT_WORK* ew = ew_of(el);
    pe->p = ew->pic;
    pe->p.pic = nullptr;
    const I_POINT at = p_addi(origin, ew->offset);
    pe->p.r.tl = p_addi(pe->p.r.tl, at);
    pe->p.r.br = p_addi(pe->p.r.br, at);
    if (_tr_get_attr(ew->attr, TRA_REFERENCE_T)) {
        TR_REFERENCE* ref =
            _tr_get_reference(sq, _tr_get_attr_short_data(ew->attr, TRA_REFERENCE_T));
        pe->ref = ref ? ll_copy_str(ref->data) : nullptr;
        pe->flags |= 2;
    }
    const uint32_t color = static_cast<uint32_t>(_tr_get_attr_int_data(ew->attr, TRA_COLOR_T));
    const int W = pic_w(ew->pic), H = pic_h(ew->pic);
    LC_STRING_PIC drawn;
    sp_draw_element(&drawn, el, scratch->buf, scratch->cap);
    if (drawn.pic && pic_w(drawn) == W && pic_h(drawn) == H) {
        const int64_t n = int64_t{W} * H;
        pe->data = data;
        // Grey pixels keep the raster as alpha; ink all 0 needs none.
        if (colour_pixels(pe->data, drawn.pic, n, color)) {
            pe->alpha = static_cast<uint8_t*>(d_alloc(n));
            memcpy(pe->alpha, drawn.pic, n);
        }
        if (pe->flags & 2) {
            // The link's underline in full ink.
            auto ink = [&](int x, int y) {
                pe->data[int64_t{y} * W + x] = color;
                if (pe->alpha) pe->alpha[int64_t{y} * W + x] = 0;
            };
            if (ew->ln_dir & 12) {
                for (int x = 0; x < W; x++)
                    ink(x, H - 1);
            } else {
                int x = (ew->ll_dir & 12) ? 0 : W - 1;
                for (int y = 0; y < H; y++)
                    ink(x, y);
            }
        }
    }
    sp_free_element_pic(&drawn, scratch->buf);
    insert_rect_i(&pi->rect, pe->p.r.tl);
    insert_rect_i(&pi->rect, pe->p.r.br);
}
}  // namespace

void sp_get_sequence_pic(PIC* pi, TR_SEQUENCE* sq) {
    pi->rect = {{0, 0}, {-1, -1}};
    pi->list = nullptr;
    pi->block = nullptr;
    tr_lock(sq);
    // The element records and their colours share one block, its pages mapped in at once; the
    // rasters are drawn in turn into one buffer that fits the largest.
    int64_t count = 0, pixels = 0, largest = 0;
    each_element(sq, [&](TR_ELEMENT* e, I_POINT) {
        const int64_t n = pixels_of(ew_of(e)->pic);
        count++;
        pixels += n;
        largest = std::max(largest, n);
    });
    if (count) {
        const int64_t head = (count * int64_t{sizeof(PIC_ELEMENT)} + 15) / 16 * 16;
        const int64_t bytes = head + pixels * int64_t{sizeof(uint32_t)};
        pi->block = d_alloc(bytes);
        prefault_for_write(pi->block, bytes);
        auto* pes = static_cast<PIC_ELEMENT*>(pi->block);
        auto* data = reinterpret_cast<uint32_t*>(static_cast<char*>(pi->block) + head);
        std::vector<unsigned char> buf(static_cast<size_t>(std::max<int64_t>(largest, 1)));
        const Scratch scratch{buf.data(), largest};
        // The list runs from the last element to the first.
        PIC_ELEMENT* prev = nullptr;
        each_element(sq, [&](TR_ELEMENT* e, I_POINT origin) {
            PIC_ELEMENT* pe = new (pes++) PIC_ELEMENT{};
            gather_element(pi, sq, e, origin, pe, data, &scratch);
            data += pixels_of(ew_of(e)->pic);
            pe->next = prev;
            prev = pe;
        });
        pi->list = prev;
#ifdef __SSE2__
        _mm_sfence();  // the colours written past the caches are seen by every reader after
#endif
    }
    tr_unlock(sq);
}

void sp_get_pic_element(PIC* pi, TR_SEQUENCE* sq, TR_ELEMENT* el, I_POINT p) {
    if (!ordinary(el)) return;
    // The record and its colours in one block of their own.
    const int64_t n = pixels_of(ew_of(el)->pic);
    const int64_t head = (int64_t{sizeof(PIC_ELEMENT)} + 15) / 16 * 16;
    void* block = d_alloc(head + n * int64_t{sizeof(uint32_t)});
    PIC_ELEMENT* pe = new (block) PIC_ELEMENT{};
    auto* data = reinterpret_cast<uint32_t*>(static_cast<char*>(block) + head);
    std::vector<unsigned char> buf(static_cast<size_t>(std::max<int64_t>(n, 1)));
    const Scratch scratch{buf.data(), n};
    gather_element(pi, sq, el, p, pe, data, &scratch);
    pe->alone = true;
    pe->next = pi->list;
    pi->list = pe;
}

void sp_get_pic_box_line(PIC* pi, TR_SEQUENCE* sq, TR_BOX_LINE* bl, I_POINT p) {
    each_line_element(
        bl, p, [&](TR_ELEMENT* e, I_POINT origin) { sp_get_pic_element(pi, sq, e, origin); });
}

void sp_get_pic_box(PIC* pi, TR_SEQUENCE* sq, TR_BOX* b) {
    _tr_settle_bl_offset(b, nullptr);
    for (TR_BOX_LINE* bl = b->line_list; bl; bl = bl->next)
        sp_get_pic_box_line(pi, sq, bl, box_offset(b));
}

void free_pic(PIC* pi) {
    for (PIC_ELEMENT* e = pi->list; e;) {
        PIC_ELEMENT* next = e->next;
        if (e->alpha) d_f_ree(e->alpha);
        if (e->ref) d_f_ree(e->ref);
        if (e->alone) d_f_ree(e);
        e = next;
    }
    if (pi->block) d_f_ree(pi->block);
    pi->list = nullptr;
    pi->block = nullptr;
    pi->rect = {{0, 0}, {-1, -1}};
}
