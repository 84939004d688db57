// Code tables per conditional style and size, string conversion, font selection, the merge of
// equal tables and the small conversion routines of the writing-style module.
#include "render/wct.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/textutil.h"
#include "longchar/codemethod.h"

LC_TABLE* lc_table_list = nullptr;
char* (*__get_machine_filename_string)(const L_CHAR* lstr) = nullptr;

namespace {

constexpr LCF_SET NO_ANSWER = {LC_NONE, nullptr, 0};

// The number of codes of the set with this mask.
int set_count(L_CHAR mask) {
    return static_cast<int>(static_cast<uint64_t>(static_cast<L_CHAR>(~mask)) + 1);
}

LC_TABLE* new_lc_table(int size, const LCF_SET* from, int from_len) {
    auto* t = static_cast<LC_TABLE*>(d_calloc(1, sizeof(LC_TABLE)));
    t->flags = 1;
    t->ref = 1;
    t->size = size;
    t->tbl = static_cast<LCF_SET*>(d_alloc(int64_t{size} * int64_t{sizeof(LCF_SET)}));
    int k = 0;
    for (; k < from_len && k < size; k++)
        t->tbl[k] = from[k];
    for (; k < size; k++)
        t->tbl[k] = from ? LCF_SET{0, nullptr, 0} : NO_ANSWER;
    t->next = lc_table_list;
    lc_table_list = t;
    return t;
}

bool same_table(const LC_TABLE* a, const LC_TABLE* b) {
    if (a->size != b->size) return false;
    if (!a->tbl || !b->tbl) return !a->tbl && !b->tbl;
    for (int i = 0; i < a->size; i++)
        if (a->tbl[i].ch != b->tbl[i].ch || a->tbl[i].font != b->tbl[i].font ||
            a->tbl[i].size != b->tbl[i].size)
            return false;
    return true;
}

}  // namespace

WCT* new_wct() {
    auto* w = static_cast<WCT*>(d_calloc(1, sizeof(WCT)));
    w->size = -1;
    return w;
}

WRITABLE_CODE_TABLE* _search_w(WCT* wct, L_CHAR lcz) {
    for (WRITABLE_CODE_TABLE* w = wct->list; w; w = w->next)
        if (w->lcz == lcz) return w;
    return nullptr;
}

WRITABLE_CODE_TABLE* get_wct(WCT* wct, L_CHAR ch) {
    for (WRITABLE_CODE_TABLE* w = wct->list; w; w = w->next)
        if ((ch & w->mask) == w->lcz) return w;
    return nullptr;
}

int _search_ws_font(LCF_SET* out, const FONT_PRI* fp, L_CHAR ch, int size) {
    for (; fp && fp->font; fp++) {
        LC_FONT* f = fp->font;
        L_CHAR c = code_convert(ch, f->lcz[0]);
        if (c == LC_NONE && f->lcz[1] != LC_NONE) c = code_convert(ch, f->lcz[1]);
        if (c == LC_NONE) continue;
        bool in = false;
        for (int i = 0; i < 2; i++)
            if (f->lcz[i] != LC_NONE && (c & f->mask[i]) == (f->lcz[i] & f->mask[i])) in = true;
        if (!in) continue;
        LC_FONT_SIZE_LIST* sl = _get_lc_font_size_list(f, size, fp->method);
        if (!sl) continue;
        L_CHAR code = c & ~get_lc_mask(c);
        if (code < (sl->from & ~get_lc_mask(sl->from)) || code > (sl->to & ~get_lc_mask(sl->to)))
            continue;
        int fsize = sl->size == -1 ? size : sl->size;
        if (f->fw_len && f->fw_list[0].fe->type->fe_coverage &&
            f->fw_list[0].fe->type->fe_coverage(f, fsize, c) != 0)
            continue;
        *out = {c, f, fsize};
        return 0;
    }
    return -1;
}

void _write_char_w(WRITABLE_CODE_TABLE* w, L_CHAR ch, LC_FONT* f, int f_size, L_CHAR after) {
    const int index = static_cast<int>(ch & ~w->mask);
    LC_TABLE* t = w->lc_tbl;
    if (!t || t->ref != 1 || !t->tbl || index >= t->size) {
        const int full = set_count(w->mask);
        if (!t) {
            w->lc_tbl = new_lc_table(full, nullptr, 0);
        } else if (t->ref == 1) {
            // An own table that is too small grows to the whole set.
            auto* n = static_cast<LCF_SET*>(d_alloc(int64_t{full} * int64_t{sizeof(LCF_SET)}));
            for (int i = 0; i < full; i++)
                n[i] = t->tbl && i < t->size ? t->tbl[i] : LCF_SET{0, nullptr, 0};
            if (t->tbl) d_f_ree(t->tbl);
            t->tbl = n;
            t->size = full;
            t->flags |= 1;
        } else {
            t->ref--;
            w->lc_tbl =
                new_lc_table(index < t->size ? t->size : full, t->tbl, t->tbl ? t->size : 0);
        }
    }
    w->lc_tbl->tbl[index] = {after, f, f_size};
}

WRITABLE_CODE_TABLE* _wct_setup(LC_COND_WRITING_STYLE* cws, L_CHAR ch, int size) {
    L_CHAR mask = get_lc_mask(ch);
    const L_CHAR neg = static_cast<L_CHAR>(-mask);
    if (neg == mask || neg > 65536) mask = 0xFFFF0000;
    auto* w = static_cast<WRITABLE_CODE_TABLE*>(d_calloc(1, sizeof(WRITABLE_CODE_TABLE)));
    w->lcz = ch & mask;
    w->mask = mask;
    FONT_PRI* fp = fitting_font_pri(cws, w->lcz);
    if (!fp) return w;
    const int count = set_count(mask);
    w->lc_tbl = new_lc_table(count, nullptr, 0);
    for (int c = 0; c < count; c++) {
        LCF_SET hit;
        if (_search_ws_font(&hit, fp, w->lcz | static_cast<L_CHAR>(c), size) == 0)
            _write_char_w(w, w->lcz | static_cast<L_CHAR>(c), hit.font, hit.size, hit.ch);
    }
    return w;
}

int _wct_check_scalable_fonts(const WCT* wct) {
    for (const WRITABLE_CODE_TABLE* w = wct->list; w; w = w->next) {
        const LC_TABLE* t = w->lc_tbl;
        if (!t || !t->tbl) continue;
        const LC_FONT* last = nullptr;
        for (int i = 0; i < t->size; i++) {
            const LC_FONT* f = t->tbl[i].font;
            if (!f || f == last) continue;
            last = f;
            if (f->list && f->list->size != -1) return -1;
        }
    }
    return 0;
}

WCT* _get_wct(LC_COND_WRITING_STYLE* cws, int size) {
    for (WCT* w = cws->wct; w; w = w->next)
        if (w->size == -1 || w->size == size) return w;
    WCT* w = new_wct();
    w->size = cws->wct ? size : -1;
    w->next = cws->wct;
    cws->wct = w;
    return w;
}

LCF_SET __wct_convert(LC_COND_WRITING_STYLE* cws, WCT* wct, L_CHAR ch, int size) {
    for (int round = 0; round < 2; round++) {
        if (WRITABLE_CODE_TABLE* w = get_wct(wct, ch)) {
            const LC_TABLE* t = w->lc_tbl;
            if (!t || !t->tbl) return NO_ANSWER;
            const L_CHAR index = ch & ~w->mask;
            if (index < static_cast<L_CHAR>(t->size)) {
                LCF_SET r = t->tbl[index];
                if (r.ch == 0) r.ch = LC_NONE;
                // Tables valid for every size hold scalable fonts only: they draw the size asked.
                if ((wct->size == -1 || w->any_size) && r.font) r.size = size;
                return r;
            }
        }
        if (round) break;
        WRITABLE_CODE_TABLE* w = _wct_setup(cws, ch, size);
        w->next = wct->list;
        wct->list = w;
        // A fixed-size font keeps the WCT to this size from now on; the tables filled before
        // stay valid for every size.
        if (wct->size == -1 && _wct_check_scalable_fonts(wct) != 0) wct->size = size;
        w->any_size = wct->size == -1;
    }
    return NO_ANSWER;
}

LCF_SET _wct_convert(LC_CWS* walk, L_CHAR ch, int size) {
    LCF_SET last = NO_ANSWER;
    for (size_t i = 0;; i++) {
        if (i == walk->list.size() && _next_cws_list(walk) < 0) break;
        LC_COND_WRITING_STYLE* cws = walk->list[i];
        last = __wct_convert(cws, _get_wct(cws, size), ch, size);
        if (last.ch != LC_NONE) break;
    }
    return last;
}

LCF_SET* _ws_convert(LC_WRITING_STYLE* ws, const LC_WS_COND* cond, int size, const L_CHAR* str,
                     int length, int flags) {
    LC_CWS walk = _get_cws(ws, cond);
    L_CHAR* combined = nullptr;
    const L_CHAR* s = str;
    if (str && !(flags & 1)) s = combined = combine(str, length);
    std::vector<LCF_SET> out;
    out.reserve(length > 0 ? static_cast<size_t>(length) + 1 : 16);
    for (int i = 0; s && i < length && s[i]; i++) {
        LCF_SET a = _wct_convert(&walk, s[i], size);
        if (a.ch != LC_NONE) {
            out.push_back(a);
            continue;
        }
        printf("CONVERT ERROR %x\n", s[i]);
        char text[32];
        snprintf(text, sizeof text, "&cx%x;", s[i]);
        // The mark's characters go in as far as a font draws them.
        for (const char* t = text; *t; t++) {
            LCF_SET m = _wct_convert(&walk, static_cast<unsigned char>(*t), size);
            if (m.ch != LC_NONE) out.push_back(m);
        }
    }
    out.push_back({0, nullptr, 0});
    if (combined) d_f_ree(combined);
    _free_lc_cws(&walk);
    const int n = static_cast<int>(out.size());
    if (!(flags & 16)) return uncombine_lcf(out.data(), n - 1);
    auto* r = static_cast<LCF_SET*>(d_alloc(n * int64_t{sizeof(LCF_SET)}));
    memcpy(r, out.data(), n * sizeof(LCF_SET));
    return r;
}

LCF_SET* ws_convert(LC_WRITING_STYLE* ws, const LC_WS_COND* cond, int size, const L_CHAR* str,
                    int length, int flags) {
    render_first_use();
    TaskLockGuard g(get_wct_lock());
    return _ws_convert(ws, cond, size, str, length, flags);
}

// ---------------------------------------------------------------- font selection

namespace {

void insert_select_list(LC_SELECT_FONT_LIST** list, LC_FONT* font, int size, int pri) {
    for (LC_SELECT_FONT_LIST* l = *list; l; l = l->next)
        if (l->font == font && l->size == size) {
            l->count++;
            if (pri < l->pri) l->pri = pri;
            return;
        }
    auto* n = static_cast<LC_SELECT_FONT_LIST*>(d_alloc(sizeof(LC_SELECT_FONT_LIST)));
    *n = {*list, font, size, 1, pri};
    *list = n;
}

void free_select_list(LC_SELECT_FONT_LIST* l) {
    while (l) {
        LC_SELECT_FONT_LIST* n = l->next;
        d_f_ree(l);
        l = n;
    }
}

}  // namespace

LC_FONT* __lc_select_font(int* ret_size, const L_CHAR* str, int length, LC_WRITING_STYLE* ws,
                          int size, const LC_WS_COND* cond, int flags, int* count) {
    (void)flags;
    if (!ws) {
        *count = -1;
        return nullptr;
    }
    // Without a character (a negative length counts none, as in the string conversion) there
    // is nothing to walk: the walk is over at once, so that a caller counting on it ends.
    if (!str || length <= 0 || !str[0]) {
        *count = -1;
        return nullptr;
    }
    LC_CWS walk = _get_cws(ws, cond);
    LC_SELECT_FONT_LIST* list = nullptr;
    for (int i = 0; i < length && str[i]; i++) {
        L_CHAR ch = str[i];
        FONT_PRI* fp = cws_fitting_font_pri(&walk, ch & get_lc_mask(ch), count);
        for (int k = 0; fp && fp[k].font; k++) {
            FONT_PRI one[2] = {fp[k], {nullptr, 0}};
            LCF_SET hit;
            if (_search_ws_font(&hit, one, ch, size) == 0)
                insert_select_list(&list, hit.font, hit.size, k);
        }
        if (fp) d_f_ree(fp);
    }
    LC_SELECT_FONT_LIST* best = nullptr;
    for (LC_SELECT_FONT_LIST* l = list; l; l = l->next)
        if (!best || l->count > best->count || (l->count == best->count && l->pri < best->pri))
            best = l;
    LC_FONT* r = nullptr;
    if (best) {
        r = best->font;
        if (ret_size) *ret_size = best->size;
    }
    free_select_list(list);
    _free_lc_cws(&walk);
    return r;
}

LC_FONT* _lc_select_font(int* ret_size, const L_CHAR* str, int length, LC_WRITING_STYLE* ws,
                         int size, const LC_WS_COND* cond, int flags) {
    // A negative length counts no character, as an empty string.
    if (!str || !str[0] || length <= 0) return nullptr;
    for (int count = 1;; count++) {
        int c = count;
        if (LC_FONT* f = __lc_select_font(ret_size, str, length, ws, size, cond, flags, &c))
            return f;
        if (c < 0) return nullptr;
    }
}

LC_FONT* lc_select_font(int* ret_size, const L_CHAR* str, int length, LC_WRITING_STYLE* ws,
                        int size, const LC_WS_COND* cond, int flags) {
    render_first_use();
    TaskLockGuard g(get_wct_lock());
    return _lc_select_font(ret_size, str, length, ws, size, cond, flags);
}

// ---------------------------------------------------------------- merging equal tables

void _gc_lc_table() {
    bool related = false;
    for (LC_TABLE* t = lc_table_list; t && (t->flags & 1); t = t->next) {
        for (LC_TABLE* o = t->next; o; o = o->next)
            if (same_table(t, o)) {
                t->relate = o;
                related = true;
                break;
            }
        t->flags &= ~1;
    }
    if (!related) return;
    for (LC_WRITING_STYLE* ws = ws_list; ws; ws = ws->next)
        for (LC_COND_WRITING_STYLE* c = ws->cws_list; c; c = c->next)
            for (WCT* wct = c->wct; wct; wct = wct->next)
                for (WRITABLE_CODE_TABLE* w = wct->list; w; w = w->next) {
                    if (!w->lc_tbl || !w->lc_tbl->relate) continue;
                    LC_TABLE* end = w->lc_tbl;
                    while (end->relate)
                        end = end->relate;
                    end->ref++;
                    w->lc_tbl = end;
                }
    for (LC_TABLE** pp = &lc_table_list; *pp;) {
        LC_TABLE* t = *pp;
        if (!t->relate) {
            pp = &t->next;
            continue;
        }
        *pp = t->next;
        if (t->tbl) d_f_ree(t->tbl);
        d_f_ree(t);
    }
}

void tick_lc_table(intptr_t, int) {
    TaskLockGuard g(get_wct_lock());
    _gc_lc_table();
}

// ---------------------------------------------------------------- conversion routines

LCF_SET* str2lcf(const L_CHAR* str, int len, LC_FONT* font, int size) {
    auto* r = static_cast<LCF_SET*>(d_alloc(std::max(len, 1) * int64_t{sizeof(LCF_SET)}));
    for (int i = 0; i < len; i++)
        r[i] = {str[i], font, size};
    return r;
}

const LCZ_SET* get_hit_code(const LCZ_SET* set, const L_CHAR* str, int len) {
    for (; set && set->lcz != LC_NONE; set++)
        for (int i = 0; i < len && str[i]; i++)
            if (lcz_member(set, str[i])) return set;
    return nullptr;
}

char* code_convert_lc2str(const L_CHAR* lstr, CODE_METHOD* to, int flags) {
    if (!lstr || !to) return nullptr;
    L_CHAR* c = code_convert_with_combine(lstr, l_strlen(lstr), to->main_code, flags);
    char* r = ln_copy_str(to, c);
    d_f_ree(c);
    return r;
}

char* code_convert_str(const char* str, CODE_METHOD* from, CODE_METHOD* to, int flags) {
    if (!str || !from) return nullptr;
    return code_convert_lc2str(_l_string_1(from, str), to, flags);
}

char* get_machine_filename_string(const L_CHAR* lstr) {
    if (__get_machine_filename_string) return __get_machine_filename_string(lstr);
    return code_convert_lc2str(lstr, file_cm, 0);
}

void check_str(const L_CHAR* str, int len) {
    for (int i = 0; str && i < len && str[i]; i++)
        if (str[i] == 0x79797979) er_panic("check_str");
}
