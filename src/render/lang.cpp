// Languages: which language a character belongs to (a fixed table entered into a four-level hash),
// the languages' settings and their line makers: "en" word wrapping, "ja" character wrapping with
// forbidden line starts and ends, "ctl" line returns and "bb" embedded objects.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "longchar/codetable.h"
#include "longchar/longchar.h"
#include "render/font.h"
#include "render/layout.h"

TR_LANG en_render = {"en",         0x0004,         0x0000,  setup_en_render, get_en_render,
                     free_en_work, make_en_render, nullptr, nullptr};
TR_LANG ja_render = {"ja",         0x0004,         0x0008,  setup_ja_render, get_ja_render,
                     free_ja_work, make_ja_render, nullptr, nullptr};
TR_LANG ctl_render = {"ctl",   0x000f,          0x0000,  nullptr, nullptr,
                      nullptr, make_ctl_render, nullptr, nullptr};
TR_LANG black_box_render = {
    "bb", 0x000f, 0x0000, nullptr, nullptr, nullptr, make_black_box_render, nullptr, nullptr};
TR_LANG* default_tr_lang = &en_render;
TR_LANG* tr_lang_list = nullptr;

namespace {
const TR_L_CHAR_TBL2 unicode_ja[] = {
    {0x3040, 0x30A0, &ja_render},   {0x30A0, 0x3100, &ja_render},   {0x31F0, 0x3200, &ja_render},
    {0x3200, 0x3300, &ja_render},   {0x3300, 0x3400, &ja_render},   {0x3400, 0x4DC0, &ja_render},
    {0x4E00, 0x9FB0, &ja_render},   {0xF900, 0xFB00, &ja_render},   {0xFE30, 0xFE50, &ja_render},
    {0x20000, 0x2A6E0, &ja_render}, {0x2F800, 0x2FA20, &ja_render}, {0, 0, nullptr},
};
const TR_L_CHAR_TBL2_HEADER unicode_ja_h = {unicode_ja, nullptr};

TRL_ENTRY* trl_hash = nullptr;
// Bumped whenever the table changes: a context's remembered entry is good only for the table it
// was found in (0 is never a table's).
std::atomic<uint64_t> trl_gen{1};
}  // namespace

const TR_L_CHAR_TBL tr_l_char_table[] = {
    {0x0000000A, 0xFFFFFFFF, &ctl_render, nullptr},
    {0x0000000D, 0xFFFFFFFF, &ctl_render, nullptr},
    {0xC0060000, 0xFFFF0000, nullptr, &unicode_ja_h},
    {0xE0000100, 0xFFFFFF00, &ja_render, nullptr},
    {0xC0010000, 0xFFFF0000, &ja_render, nullptr},
    {0xC0030000, 0xFFFF0000, &ja_render, nullptr},
    {0xC0040000, 0xFFFF0000, &ja_render, nullptr},
    {0xC0050000, 0xFFFF0000, &ja_render, nullptr},
    {0xC0220000, 0xFFFF0000, &ja_render, nullptr},
    {0xC0020000, 0xFFFF0000, &ja_render, nullptr},
    {0x81000000, 0xFF000000, &ja_render, nullptr},
    {0xDFFFFFFF, 0xFFFFFFFF, &black_box_render, nullptr},
    {0, 0, nullptr, nullptr},
};

// ---------------------------------------------------------------- the hash

namespace {
void free_langs(TRL_LANG_LIST* l) {
    while (l && --l->ref == 0) {
        TRL_LANG_LIST* n = l->next;
        d_f_ree(l);
        l = n;
    }
}

TRL_ENTRY* new_entry(TRL_LANG_LIST* langs) {
    auto* e = static_cast<TRL_ENTRY*>(d_calloc(256, sizeof(TRL_ENTRY)));
    for (int i = 0; i < 256; i++)
        e[i].langs = langs;
    if (langs) langs->ref += 256;
    return e;
}

void new_langs(TRL_ENTRY* e, TR_LANG* lang) {
    for (TRL_LANG_LIST* l = e->langs; l; l = l->next)
        if (l->lang == lang) return;
    auto* n = static_cast<TRL_LANG_LIST*>(d_calloc(1, sizeof(TRL_LANG_LIST)));
    n->next = e->langs;  // the entry's reference passes to the new node
    n->lang = lang;
    n->ref = 1;
    e->langs = n;
}

// [from, to) into node, which covers 256 blocks of 2^shift characters from base.
void insert_range(uint64_t from, uint64_t to, TR_LANG* lang, TRL_ENTRY* node, int shift,
                  uint64_t base) {
    const uint64_t block = uint64_t{1} << shift;
    for (uint64_t i = (from - base) >> shift; i <= (to - 1 - base) >> shift && i < 256; i++) {
        uint64_t bs = base + i * block, be = bs + block;
        uint64_t lo = from > bs ? from : bs, hi = to < be ? to : be;
        TRL_ENTRY* e = &node[i];
        if (lo == bs && hi == be && !e->down) {
            new_langs(e, lang);
            continue;
        }
        if (!e->down) {
            e->down = new_entry(e->langs);
            free_langs(e->langs);
            e->langs = nullptr;
        }
        insert_range(lo, hi, lang, e->down, shift - 8, bs);
    }
}
}  // namespace

void trl_insert_table(L_CHAR from, L_CHAR to, TR_LANG* lang, int convert_flag) {
    uint64_t f = from, t = to;
    if (to == 0 && from != 0) t = uint64_t{1} << 32;  // a range up to the last code
    if (t <= f) return;
    trl_gen.fetch_add(1, std::memory_order_relaxed);
    if (!trl_hash) trl_hash = new_entry(nullptr);
    insert_range(f, t, lang, trl_hash, 24, 0);
    if (!convert_flag) return;
    for (uint64_t c = f; c < t; c++) {
        int n = 0;
        L_CHAR* all = get_all_l_char(&n, static_cast<L_CHAR>(c));
        for (int i = 0; all && i < n; i++)
            if (all[i] != c) insert_range(all[i], uint64_t{all[i]} + 1, lang, trl_hash, 24, 0);
        if (all) d_f_ree(all);
    }
}

TR_LANG* trl_get_lang(TRL_CONTEXT* ctx, L_CHAR ch) {
    if (!trl_hash) return nullptr;
    const uint64_t gen = trl_gen.load(std::memory_order_relaxed);
    const TRL_ENTRY* e = nullptr;
    const uint32_t block = ch >> 8;
    TRL_CONTEXT::Leaf* memo = nullptr;
    if (ctx) {
        if (ctx->leaf_gen != gen) {
            for (TRL_CONTEXT::Leaf& l : ctx->leaf)
                l.at = nullptr;
            ctx->leaf_gen = gen;
        }
        memo = &ctx->leaf[(block * 0x9E3779B1u) >> 29];
        static_assert(TRL_CONTEXT::LEAVES == 8);
        if (memo->at && memo->block == block) e = memo->singles ? &memo->at[ch & 255] : memo->at;
    }
    if (!e) {
        const TRL_ENTRY* node = trl_hash;
        e = &trl_hash[(ch >> 24) & 255];
        int covers = 24;  // e holds the characters that agree with ch above this bit
        for (int shift = 16; e->down; shift -= 8) {
            node = e->down;
            e = &node[(ch >> shift) & 255];
            covers = shift;
        }
        // An entry for a whole block holds for all its characters; a block split into single
        // characters is remembered by its node, whose entries have no level below.
        if (memo && covers >= 8)
            *memo = {e, block, false};
        else if (memo && covers == 0)
            *memo = {node, block, true};
    }
    TRL_LANG_LIST* cand = e->langs;
    if (!cand) return nullptr;
    if (!ctx || !cand->next) {
        if (ctx && (!ctx->used || ctx->used->lang != cand->lang)) {
            // Even an unambiguous choice is remembered, so the context says what came last.
            TRL_USED** pp = &ctx->used;
            while (*pp && (*pp)->lang != cand->lang)
                pp = &(*pp)->next;
            TRL_USED* u = *pp;
            if (u)
                *pp = u->next;
            else
                u = static_cast<TRL_USED*>(d_calloc(1, sizeof(TRL_USED)));
            u->lang = cand->lang;
            u->next = ctx->used;
            ctx->used = u;
        }
        return cand->lang;
    }
    for (TRL_USED** pp = &ctx->used; *pp; pp = &(*pp)->next)
        for (TRL_LANG_LIST* c = cand; c; c = c->next)
            if (c->lang == (*pp)->lang) {
                TRL_USED* u = *pp;
                *pp = u->next;
                u->next = ctx->used;
                ctx->used = u;
                return u->lang;
            }
    auto* u = static_cast<TRL_USED*>(d_calloc(1, sizeof(TRL_USED)));
    u->lang = cand->lang;
    u->next = ctx->used;
    ctx->used = u;
    return u->lang;
}

TR_LANG* _tr_search_lang(L_CHAR ch, TRL_CONTEXT* ctx) {
    TR_LANG* l = trl_get_lang(ctx, ch);
    return l ? l : default_tr_lang;
}

void trl_free_context(TRL_CONTEXT* ctx) {
    while (TRL_USED* u = ctx->used) {
        ctx->used = u->next;
        d_f_ree(u);
    }
}

int in_table(L_CHAR ch, const L_CHAR* list) {
    if (!list) return -1;
    for (; *list; list++)
        if (*list == ch || cmp_l_code(*list, ch) == 0) return 0;
    return -1;
}

// ---------------------------------------------------------------- languages

int _tr_insert_lang(TR_LANG* lang) {
    if (_tr_search_lang_from_abb(lang->lang)) return -1;
    lang->next = tr_lang_list;
    tr_lang_list = lang;
    return 0;
}

TR_LANG* _tr_search_lang_from_abb(const char* name) {
    for (TR_LANG* l = tr_lang_list; l; l = l->next)
        if (strcmp(l->lang, name) == 0) return l;
    return nullptr;
}

void init_lang(TR_LANG* lang) {
    tr_system_lock();
    if (lang->setup_lang && !_tr_search_lang_from_abb(lang->lang)) {
        lang->setup_lang(lang, 1, nullptr);
        _tr_insert_lang(lang);
    }
    tr_system_unlock();
}

void init_text_render() {
    new_lock(&text_render_lock);
    for (const TR_L_CHAR_TBL* r = tr_l_char_table; r->mask; r++) {
        if (r->lang) {
            init_lang(r->lang);
            trl_insert_table(r->ch, static_cast<L_CHAR>(uint64_t{r->ch} + ~r->mask + 1), r->lang,
                             0);
        }
        for (const TR_L_CHAR_TBL2_HEADER* h = r->tbl; h; h = h->inheritance)
            for (const TR_L_CHAR_TBL2* t = h->tbl; t->lang; t++) {
                if ((t->from & r->mask) || (t->to & r->mask)) continue;
                init_lang(t->lang);
                trl_insert_table(r->ch | t->from, r->ch | t->to, t->lang, 0);
            }
    }
    init_lang(default_tr_lang);
}

namespace {
L_CHAR* copy_list(const L_CHAR* l) {
    if (!l) return nullptr;
    int n = 0;
    while (l[n])
        n++;
    auto* c = static_cast<L_CHAR*>(d_alloc((n + 1) * int64_t{sizeof(L_CHAR)}));
    memcpy(c, l, (n + 1) * sizeof(L_CHAR));
    return c;
}
void free_list(L_CHAR* l) {
    if (l) d_f_ree(l);
}

// The codes a settings list matches, as in_table matches them (each entry and the codes of other
// code sets equal to it), sorted: built when the settings of "en" or "ja" are set, so that a line
// maker tests a character with one search instead of a code-table walk per entry. `of` is the
// list it was built from; the line makers fall back to in_table for any other.
struct CodeSet {
    const L_CHAR* of = nullptr;
    std::vector<L_CHAR> codes;

    void build(const L_CHAR* list) {
        of = list;
        codes.clear();
        for (const L_CHAR* x = list; x && *x; x++) {
            codes.push_back(*x);
            int n = 0;
            L_CHAR* all = get_all_l_char(&n, *x);
            for (int i = 0; all && i < n; i++)
                if (cmp_l_code(*x, all[i]) == 0) codes.push_back(all[i]);
            if (all) d_f_ree(all);
        }
        std::sort(codes.begin(), codes.end());
        codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    }
    // in_table(ch, list) == 0.
    bool has(L_CHAR ch, const L_CHAR* list) const {
        if (list != of) return in_table(ch, list) == 0;
        return std::binary_search(codes.begin(), codes.end(), ch);
    }
};
// Never destroyed: text is laid out by tasks that may still run while the process exits.
CodeSet& en_space_set = *new CodeSet;
CodeSet& en_delim_set = *new CodeSet;
CodeSet& ja_end_set = *new CodeSet;
CodeSet& ja_top_set = *new CodeSet;
}  // namespace

void free_en_work(void* w) {
    if (!w) return;
    auto* e = static_cast<EN_WORK*>(w);
    free_list(e->space);
    free_list(e->delim);
    d_f_ree(e);
}

void setup_en_render(TR_LANG* lang, int type, void* work) {
    if (type != 1) er_panic("setup_en_render(1)");
    auto* given = static_cast<EN_WORK*>(work);
    auto* n = static_cast<EN_WORK*>(d_calloc(1, sizeof(EN_WORK)));
    if (given) {
        n->space = copy_list(given->space);
        n->delim = copy_list(given->delim);
    }
    free_en_work(lang->work);
    lang->work = n;
    if (lang == &en_render) {
        en_space_set.build(n->space);
        en_delim_set.build(n->delim);
    }
}

void* get_en_render(TR_LANG* lang, void* w) {
    auto* r = w ? static_cast<EN_WORK*>(w) : static_cast<EN_WORK*>(d_calloc(1, sizeof(EN_WORK)));
    auto* cur = static_cast<EN_WORK*>(lang->work);
    r->space = cur ? copy_list(cur->space) : nullptr;
    r->delim = cur ? copy_list(cur->delim) : nullptr;
    return r;
}

void free_ja_work(void* w) {
    if (!w) return;
    auto* j = static_cast<JA_WORK*>(w);
    free_list(j->line_end_escape_delim);
    free_list(j->line_top_escape_delim);
    d_f_ree(j);
}

void setup_ja_render(TR_LANG* lang, int type, void* work) {
    if (type != 1) er_panic("setup_ja_render(1)");
    auto* given = static_cast<JA_WORK*>(work);
    auto* n = static_cast<JA_WORK*>(d_calloc(1, sizeof(JA_WORK)));
    n->dir = 5;
    if (given) {
        n->dir = given->dir ? given->dir : 5;
        n->line_end_escape_delim = copy_list(given->line_end_escape_delim);
        n->line_top_escape_delim = copy_list(given->line_top_escape_delim);
    }
    free_ja_work(lang->work);
    lang->work = n;
    if (lang == &ja_render) {
        ja_end_set.build(n->line_end_escape_delim);
        ja_top_set.build(n->line_top_escape_delim);
    }
}

void* get_ja_render(TR_LANG* lang, void* w) {
    auto* r = w ? static_cast<JA_WORK*>(w) : static_cast<JA_WORK*>(d_calloc(1, sizeof(JA_WORK)));
    auto* cur = static_cast<JA_WORK*>(lang->work);
    r->dir = cur ? cur->dir : 5;
    r->line_end_escape_delim = cur ? copy_list(cur->line_end_escape_delim) : nullptr;
    r->line_top_escape_delim = cur ? copy_list(cur->line_top_escape_delim) : nullptr;
    return r;
}

int tr_setup_lang(const char* name, int type, void* work) {
    render_first_use();
    tr_rw_lock();
    lock_task(text_render_lock);
    TR_LANG* l = _tr_search_lang_from_abb(name);
    unlock_task(text_render_lock, "tr_setup_lang");
    int r = -1;
    if (l && l->setup_lang) {
        l->setup_lang(l, type, work);
        r = 0;
    }
    tr_rw_unlock();
    return r;
}

// ---------------------------------------------------------------- line makers

namespace {
TR_ERROR weight(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, int w) {
    TR_LL_CTL c{};
    c.w.h.cmd = 1;
    c.w.weight = w;
    return sq->box_op->lang_line_ctl(sq, ci, &c);
}

// True when e (a character of the text or null) belongs to the line's area, whose first
// character is s.
bool in_area(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, const TR_CHAR_ELEMENT* s,
             const TR_CHAR_ELEMENT* e) {
    if (!e || e->d.type < 0) return false;
    return _tr_search_lang(e->ch, &sq->lang_ctx) == ci->lang && s &&
           (s->attr == e->attr || _tr_cmp_attr(s->attr, e->attr) == 0);
}

// The break positions of the line being made, the latest last. A line has a few dozen at most,
// which stay on the stack.
class Breaks {
  public:
    void push(TR_PTR p) {
        if (n_ < INLINE)
            inline_[n_] = p;
        else
            more_.push_back(p);
        n_++;
    }
    int size() const { return n_; }
    TR_PTR top() const { return n_ <= INLINE ? inline_[n_ - 1] : more_.back(); }
    TR_PTR pop() {
        TR_PTR p = top();
        if (n_ > INLINE) more_.pop_back();
        n_--;
        return p;
    }

  private:
    static constexpr int INLINE = 32;
    TR_PTR inline_[INLINE];
    std::vector<TR_PTR> more_;
    int n_ = 0;
};

// The line is full at p (its character not placed): take back to the last break. When the line
// begins its box line and has only its start to break at, it breaks before p instead, so a word
// longer than the line wraps by character rather than making empty lines for ever. (A line
// behind others on its box line goes back to its start and moves on to a new box line.)
TR_PTR line_full(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, Breaks& st, TR_PTR p) {
    if (st.size() == 1 && !tr_ptr_eq(st.top(), p) && tr_ptr_cmp(p, ci->p) > 0 &&
        ci->box_line->lang_list == ci->lang_line) {
        sq->box_op->pop_box_line(sq, ci, p);
        return p;
    }
    TR_PTR q = ci->p;
    while (st.size()) {
        q = st.pop();
        if (sq->box_op->pop_box_line(sq, ci, q).code == TRE_OK) break;
    }
    return q;
}

// What the en and ja line makers do with a character's answer: true when the line ends there,
// with p where the next line starts and res the maker's answer.
bool line_ends(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, Breaks& st, TR_ERROR r, TR_PTR* p,
               TR_ERROR* res) {
    if (r.code == TRE_INSERT_LINE) {
        *p = ci->p;
        *res = r;
        return true;
    }
    if (r.code == TRE_INSERT_CHAR) {
        *p = line_full(sq, ci, st, *p);
        *res = tr_err(TRE_OK, 1);
        return true;
    }
    return false;
}

int prev_line_dir(TR_CHAR_INFO* ci) {
    TR_LANG_LINE* p = _tr_prev_lang_line(ci->lang_line);
    return p ? p->dir : ci->box_line->attr.default_dir;
}
}  // namespace

TR_ERROR make_en_render(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    TR_LANG_LINE* ll = ci->lang_line;
    ll->dir = TRD_H_L2R;
    auto* w = static_cast<EN_WORK*>(en_render.work);
    const L_CHAR* space = w ? w->space : nullptr;
    const L_CHAR* delim = w ? w->delim : nullptr;
    Breaks st;
    st.push(ci->p);
    sq->box_op->start_lang_line_op(sq, ci);
    TR_ERROR res = tr_err(TRE_OK, 0);
    TR_PTR p = ci->p;
    const TR_CHAR_ELEMENT* first = _tr_char_element(ci->p);
    for (;;) {
        TR_CHAR_ELEMENT* e = _tr_char_element(p);
        if (!in_area(sq, ci, first, e)) break;
        const bool is_space = en_space_set.has(e->ch, space);
        if (tr_ptr_eq(p, ci->p) && is_space) {
            p = tr_ptr_next(p);
            continue;
        }
        const bool brk = is_space || en_delim_set.has(e->ch, delim);
        TR_ERROR r = brk ? weight(sq, ci, 2) : tr_err(TRE_OK);
        if (r.code == TRE_OK) r = sq->box_op->put_box_line(sq, ci, p, e);
        if (r.code == TRE_OK && brk) {
            st.push(p);
            r = weight(sq, ci, 2);
        }
        if (line_ends(sq, ci, st, r, &p, &res)) break;
        p = tr_ptr_next(p);
    }
    tr_ll_set_end(ll, p);
    return _tr_stop_lang_line_op(res, sq, ci);
}

TR_ERROR make_ja_render(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    TR_LANG_LINE* ll = ci->lang_line;
    auto* w = static_cast<JA_WORK*>(ja_render.work);
    int dir = w ? w->dir : 5;
    ll->dir = tr_dir_vertical(ci->box_line->attr.default_dir) ? dir & 3 : dir & 12;
    const L_CHAR* end_esc = w ? w->line_end_escape_delim : nullptr;
    const L_CHAR* top_esc = w ? w->line_top_escape_delim : nullptr;
    Breaks st;
    st.push(ci->p);
    sq->box_op->start_lang_line_op(sq, ci);
    TR_ERROR res = tr_err(TRE_OK, 0);
    TR_PTR p = ci->p;
    const TR_CHAR_ELEMENT* first = _tr_char_element(ci->p);
    TR_CHAR_ELEMENT* pe = nullptr;  // the character before p, once p is past the start
    for (;;) {
        TR_CHAR_ELEMENT* e = _tr_char_element(p);
        if (!in_area(sq, ci, first, e)) break;
        if (!tr_ptr_eq(p, ci->p)) {
            if (!(pe && ja_end_set.has(pe->ch, end_esc)) && !ja_top_set.has(e->ch, top_esc))
                st.push(p);
        }
        TR_ERROR r = weight(sq, ci, 1);
        if (r.code == TRE_OK) r = sq->box_op->put_box_line(sq, ci, p, e);
        if (r.code == TRE_OK) r = weight(sq, ci, 1);
        if (line_ends(sq, ci, st, r, &p, &res)) break;
        pe = e;
        p = tr_ptr_next(p);
    }
    tr_ll_set_end(ll, p);
    return _tr_stop_lang_line_op(res, sq, ci);
}

TR_ERROR make_ctl_render(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    TR_CHAR_ELEMENT* e = _tr_char_element(ci->p);
    if (!e || (e->ch != 10 && e->ch != 13)) er_panic("make_ctl_render");
    TR_LANG_LINE* ll = ci->lang_line;
    ll->dir = prev_line_dir(ci);
    sq->box_op->start_lang_line_op(sq, ci);
    TR_ELEMENT* el = nullptr;
    TR_ERROR r = _tr_new_element(&el, sq, ll);
    if (r.code == TRE_INSERT_CHAR) {
        tr_ll_set_end(ll, ci->p);
        return _tr_stop_lang_line_op(tr_err(TRE_OK, 1), sq, ci);
    }
    if (r.code != TRE_OK) er_panic("tr_ctl");
    TR_LL_CTL c{};
    c.r.h.cmd = 2;
    c.r.ch = 10;
    c.r.dir = ci->box_line->attr.default_dir;
    sq->box_op->lang_line_ctl(sq, ci, &c);
    el->cr = static_cast<int16_t>(ci->box_line->attr.default_dir);
    tr_ll_set_end(ll, tr_ptr_next(ci->p));
    TR_ERROR s = _tr_stop_lang_line_op(tr_err(TRE_OK, 1), sq, ci);
    if (s.code == TRE_OK) s.subcode = 1;
    return s;
}

TR_ERROR make_black_box_render(TR_SEQUENCE* sq, TR_CHAR_INFO* ci) {
    TR_LANG_LINE* ll = ci->lang_line;
    ll->dir = prev_line_dir(ci);
    sq->box_op->start_lang_line_op(sq, ci);
    TR_ERROR r = sq->box_op->put_box_line(sq, ci, ci->p, _tr_char_element(ci->p));
    TR_ERROR res;
    switch (r.code) {
        case TRE_INSERT_CHAR:
            tr_ll_set_end(ll, ci->p);
            res = tr_err(TRE_OK, 1);
            break;
        case TRE_OK:
            tr_ll_set_end(ll, tr_ptr_next(ci->p));
            res = tr_err(TRE_OK, 0);
            break;
        case TRE_INSERT_LINE:
            tr_ll_set_end(ll, ci->p);
            res = r;
            break;
        default:
            er_panic("make_black_box");
    }
    return _tr_stop_lang_line_op(res, sq, ci);
}
