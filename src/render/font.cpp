// Font engines, the font registry, conditions, conditional styles and walks over styles.
#include "render/font.h"

#include <cstring>
#include <mutex>

#include "base/alloc.h"
#include "base/confpath.h"
#include "base/panic.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "longchar/longchar.h"
#include "render/layout.h"
#include "render/vxf.h"
#include "render/wct.h"

LC_FONT_ENGINE* fe_list = nullptr;
LC_FONT* wfont_list = nullptr;

namespace {
std::once_flag first_use_once;
}

void init_wct() {
    get_wct_lock();
    new_tick(tick_lc_table, 10, 0);
}

void render_first_use() {
    std::call_once(first_use_once, [] {
        init_wct();
        vxf_init();
        init_text_render();
    });
}

// ---------------------------------------------------------------- engines

void _insert_font_engine(LC_FONT_ENGINE* fe) {
    fe->next = fe_list;
    fe_list = fe;
}

void insert_font_engine(LC_FONT_ENGINE* fe) {
    render_first_use();
    TaskLockGuard g(get_wct_lock());
    _insert_font_engine(fe);
}

void _delete_font_engine(LC_FONT_ENGINE* fe) {
    for (LC_FONT_ENGINE** pp = &fe_list; *pp; pp = &(*pp)->next)
        if (*pp == fe) {
            *pp = fe->next;
            fe->next = nullptr;
            return;
        }
}

void delete_font_engine(LC_FONT_ENGINE* fe) {
    render_first_use();
    TaskLockGuard g(get_wct_lock());
    _delete_font_engine(fe);
}

LC_FONT_ENGINE_TYPE* _search_fe_type(const char* name) {
    if (!name) return nullptr;
    for (LC_FONT_ENGINE* fe = fe_list; fe; fe = fe->next)
        if (fe->type && fe->type->type && strcmp(fe->type->type, name) == 0) return fe->type;
    return nullptr;
}

LC_FONT_WORK* get_font_work(LC_FONT* font, LC_FONT_ENGINE* fe) {
    for (int i = 0; i < font->fw_len; i++)
        if (font->fw_list[i].fe == fe) return &font->fw_list[i];
    return nullptr;
}

int insert_font_work(LC_FONT* font, LC_FONT_ENGINE* fe, void* work) {
    LC_FONT_ENGINE* e = fe_list;
    while (e && e != fe)
        e = e->next;
    if (!e) er_panic("insert_font_work");
    for (int i = 0; i < font->fw_len; i++)
        if (font->fw_list[i].fe == fe) {
            font->fw_list[i].work = work;
            return i;
        }
    auto* nl =
        static_cast<LC_FONT_WORK*>(d_alloc((font->fw_len + 1) * int64_t{sizeof(LC_FONT_WORK)}));
    if (font->fw_len) memcpy(nl, font->fw_list, font->fw_len * sizeof(LC_FONT_WORK));
    nl[font->fw_len] = {work, fe};
    if (font->fw_list) d_f_ree(font->fw_list);
    font->fw_list = nl;
    return font->fw_len++;
}

void _insert_lc_font_size_list(LC_FONT* font, const LC_FONT_SIZE_LIST* sl) {
    auto* n = static_cast<LC_FONT_SIZE_LIST*>(d_alloc(sizeof(LC_FONT_SIZE_LIST)));
    *n = *sl;
    n->next = font->list;
    font->list = n;
}

void insert_lc_font_size_list(LC_FONT* font, const LC_FONT_SIZE_LIST* sl) {
    render_first_use();
    TaskLockGuard g(get_wct_lock());
    _insert_lc_font_size_list(font, sl);
}

// ---------------------------------------------------------------- fonts

namespace {

// The position of the first '/' in name, or -1.
int slash_at(const L_CHAR* name) {
    for (int i = 0; name[i]; i++)
        if (name[i] == '/') return i;
    return -1;
}

// The first n characters of name as bytes (engine kinds are ASCII names); false when a character
// is not a byte or the name is too long for buf.
bool kind_name(const L_CHAR* name, int n, char* buf, int cap) {
    if (n >= cap) return false;
    for (int i = 0; i < n; i++) {
        if (name[i] == 0 || name[i] > 0x7F) return false;
        buf[i] = static_cast<char>(name[i]);
    }
    buf[n] = 0;
    return true;
}

// The kind named before the slash of name, or null.
LC_FONT_ENGINE_TYPE* kind_of(const L_CHAR* name, int slash) {
    char kind[64];
    if (!kind_name(name, slash, kind, sizeof kind)) return nullptr;
    return _search_fe_type(kind);
}

bool kind_is_named(const L_CHAR* name, int slash, const char* type) {
    char kind[64];
    return type && kind_name(name, slash, kind, sizeof kind) && strcmp(kind, type) == 0;
}

void free_font(LC_FONT* f) {
    d_f_ree(f->fontname);
    for (LC_FONT_SIZE_LIST* s = f->list; s;) {
        LC_FONT_SIZE_LIST* n = s->next;
        d_f_ree(s);
        s = n;
    }
    if (f->fw_list) d_f_ree(f->fw_list);
    d_f_ree(f);
}

}  // namespace

LC_FONT* _search_wfont(const L_CHAR* fontname) {
    if (!fontname) return nullptr;
    for (LC_FONT* f = wfont_list; f; f = f->next)
        if (l_strcmp(f->fontname, fontname) == 0) return f;
    return nullptr;
}

LC_FONT* search_wfont(const L_CHAR* fontname) {
    render_first_use();
    TaskLockGuard g(get_wct_lock());
    return _search_wfont(fontname);
}

LC_FONT* _lc_new_font(const L_CHAR* fontname, const L_CHAR* lcz, const L_CHAR* mask, L_CHAR lcz_cov,
                      L_CHAR mask_cov) {
    if (!fontname) return nullptr;
    LC_FONT_ENGINE_TYPE* kind = nullptr;
    const L_CHAR* name = fontname;
    int slash = slash_at(fontname);
    if (slash >= 0) {
        kind = kind_of(fontname, slash);
        name = fontname + slash + 1;
    }
    if (LC_FONT* f = _search_wfont(name)) return f;
    auto* f = static_cast<LC_FONT*>(d_calloc(1, sizeof(LC_FONT)));
    f->fontname = ll_copy_str(name);
    for (int i = 0; i < 2; i++) {
        f->lcz[i] = lcz ? lcz[i] : LC_NONE;
        f->mask[i] = mask ? mask[i] : 0xFFFFFFFF;
    }
    f->lcz_cov = lcz_cov;
    f->mask_cov = mask_cov;
    f->fe_type = kind;
    bool taken = false;
    for (LC_FONT_ENGINE* fe = fe_list; fe; fe = fe->next) {
        if (kind && fe->type != kind) continue;
        if (fe->type && fe->type->fe_new && fe->type->fe_new(f, fe) == 0) taken = true;
    }
    if (!taken) {
        free_font(f);
        return nullptr;
    }
    f->next = wfont_list;
    wfont_list = f;
    return f;
}

LC_FONT* lc_new_font(const L_CHAR* fontname, const L_CHAR* lcz, const L_CHAR* mask, L_CHAR lcz_cov,
                     L_CHAR mask_cov) {
    render_first_use();
    TaskLockGuard g(get_wct_lock());
    return _lc_new_font(fontname, lcz, mask, lcz_cov, mask_cov);
}

LC_FONT_SIZE_LIST* _get_lc_font_size_list(LC_FONT* font, int size, int method) {
    if (method < FPN_JUST || method > FPN_LARGE) er_panic("get_lc_font_size_list");
    LC_FONT_SIZE_LIST* best = nullptr;
    int64_t best_d = 0;
    for (LC_FONT_SIZE_LIST* s = font->list; s; s = s->next) {
        int64_t d;
        if (s->size == -1) {
            d = 1;
        } else if (method == FPN_JUST) {
            d = s->size == size ? 0 : -1;
        } else if (method == FPN_NEARLY) {
            d = s->size > size ? int64_t{s->size} - size : int64_t{size} - s->size;
        } else if (method == FPN_SMALL) {
            d = int64_t{size} - s->size;
        } else {
            d = int64_t{s->size} - size;
        }
        if (method == FPN_JUST && s->size == -1) d = -1;
        if (d < 0) continue;
        if (!best || d < best_d) {
            best = s;
            best_d = d;
        }
        if (method == FPN_JUST) break;
    }
    return best;
}

LC_FONT_SIZE_LIST* get_lc_font_size_list(LC_FONT* font, int size, int method) {
    render_first_use();
    TaskLockGuard g(get_wct_lock());
    return _get_lc_font_size_list(font, size, method);
}

void font2lcz(LCZ_SET* lset, const LC_FONT* font) {
    lset[0] = {font->lcz[0], font->mask[0]};
    lset[1] = {font->lcz[1], font->mask[1]};
    lset[2] = {LC_NONE, 0xFFFFFFFF};
}

// ---------------------------------------------------------------- conditions

int check_font_name_and_cond(const LC_WS_COND* cond, const L_CHAR* name) {
    if (cond->cond & WSC_ANY) return 0;
    int slash = slash_at(name);
    if (slash < 0) return 0;
    if (cond->cond & WSC_KIND)
        for (LC_FONT_ENGINE_TYPE** t = cond->fet; t && *t; t++)
            if (kind_is_named(name, slash, (*t)->type)) return 0;
    if (!(cond->cond & WSC_ENGINE)) return -1;
    LC_FONT_ENGINE_TYPE* kind = kind_of(name, slash);
    if (!kind) return -1;
    for (LC_FONT_ENGINE** e = cond->fe; e && *e; e++)
        if ((*e)->type == kind) return 0;
    return -1;
}

int check_font_and_cond(const LC_WS_COND* cond, const LC_FONT* font) {
    if (cond->cond & WSC_ANY) return 0;
    if (cond->cond & WSC_DRAWS)
        for (int i = 0; i < font->fw_len; i++)
            if (font->fw_list[i].fe->type->fe_get_pic) return 0;
    if (cond->cond & WSC_ENGINE)
        for (int i = 0; i < font->fw_len; i++)
            for (LC_FONT_ENGINE** e = cond->fe; e && *e; e++)
                if (*e == font->fw_list[i].fe) return 0;
    if (cond->cond & WSC_KIND)
        for (int i = 0; i < font->fw_len; i++)
            for (LC_FONT_ENGINE_TYPE** t = cond->fet; t && *t; t++)
                if (*t == font->fw_list[i].fe->type) return 0;
    return -1;
}

namespace {

template <typename T>
int null_len(T** a) {
    int n = 0;
    if (a)
        while (a[n])
            n++;
    return n;
}

template <typename T>
bool same_array(T** a, T** b) {
    int n = null_len(a);
    if (n != null_len(b)) return false;
    for (int i = 0; i < n; i++)
        if (a[i] != b[i]) return false;
    return true;
}

template <typename T>
T** copy_array(T** a) {
    if (!a) return nullptr;
    int n = null_len(a);
    auto** r = static_cast<T**>(d_alloc((n + 1) * int64_t{sizeof(T*)}));
    memcpy(r, a, (n + 1) * sizeof(T*));
    return r;
}

}  // namespace

int _lc_cmp_ws_cond(const LC_WS_COND* a, const LC_WS_COND* b) {
    if (a->cond != b->cond) return -1;
    if ((a->cond & WSC_ENGINE) && !same_array(a->fe, b->fe)) return -1;
    if ((a->cond & WSC_KIND) && !same_array(a->fet, b->fet)) return -1;
    return 0;
}

void _lc_copy_ws_cond(LC_WS_COND* to, const LC_WS_COND* from) {
    to->cond = from->cond;
    to->fe = copy_array(from->fe);
    to->fet = copy_array(from->fet);
}

void _lc_free_ws_cond(LC_WS_COND* c) {
    if (c->fe) d_f_ree(c->fe);
    if (c->fet) d_f_ree(c->fet);
    c->fe = nullptr;
    c->fet = nullptr;
}

// ---------------------------------------------------------------- conditional styles

FONT_PRI* get_font_pri(const FONT_PRI_NAME* names, const LC_WS_COND* cond) {
    if (!names) return nullptr;
    int n = fpn_len(names);
    auto* r = static_cast<FONT_PRI*>(d_alloc((n + 1) * int64_t{sizeof(FONT_PRI)}));
    int k = 0;
    for (int i = 0; i < n; i++) {
        if (check_font_name_and_cond(cond, names[i].font) != 0) continue;
        LC_FONT* f = _lc_new_font(names[i].font, names[i].lcz, names[i].mask, names[i].lcz_cov,
                                  names[i].mask_cov);
        if (f && check_font_and_cond(cond, f) == 0) r[k++] = {f, names[i].method};
    }
    r[k] = {nullptr, 0};
    return r;
}

LC_COND_WRITING_STYLE* __get_cws(LC_WRITING_STYLE* ws, const LC_WS_COND* cond) {
    for (LC_COND_WRITING_STYLE* c = ws->cws_list; c; c = c->next)
        if (_lc_cmp_ws_cond(&c->c, cond) == 0) return c;
    auto* c = static_cast<LC_COND_WRITING_STYLE*>(d_calloc(1, sizeof(LC_COND_WRITING_STYLE)));
    _lc_copy_ws_cond(&c->c, cond);
    c->un_fonts = get_font_pri(ws->un_fonts_n, cond);
    c->ja_fonts = get_font_pri(ws->ja_fonts_n, cond);
    c->tw_fonts = get_font_pri(ws->tw_fonts_n, cond);
    c->cn_fonts = get_font_pri(ws->cn_fonts_n, cond);
    c->kr_fonts = get_font_pri(ws->kr_fonts_n, cond);
    c->next = ws->cws_list;
    ws->cws_list = c;
    return c;
}

FONT_PRI* fitting_font_pri(LC_COND_WRITING_STYLE* cws, L_CHAR lcz) {
    switch (lcz) {
        case 0xC0060000:
        case 0xC00A0000:
        case 0xC00E0000:
            return cws->ja_fonts;
        case 0xC0070000:
        case 0xC00B0000:
        case 0xC00F0000:
            return cws->tw_fonts;
        case 0xC0080000:
        case 0xC00C0000:
        case 0xC0100000:
            return cws->cn_fonts;
        case 0xC0090000:
        case 0xC00D0000:
        case 0xC0110000:
            return cws->kr_fonts;
        default:
            break;
    }
    const char* loc = get_locale();
    FONT_PRI* r = nullptr;
    if (loc && strcmp(loc, "ja") == 0)
        r = cws->ja_fonts;
    else if (loc && strcmp(loc, "tw") == 0)
        r = cws->tw_fonts;
    else if (loc && strcmp(loc, "cn") == 0)
        r = cws->cn_fonts;
    else if (loc && strcmp(loc, "kr") == 0)
        r = cws->kr_fonts;
    return r ? r : cws->un_fonts;
}

// ---------------------------------------------------------------- walks

LC_CWS _get_cws(LC_WRITING_STYLE* ws, const LC_WS_COND* cond) {
    LC_CWS w;
    w.top = ws;
    _lc_copy_ws_cond(&w.cond, cond);
    if (ws) w.stack.push_back(&ws->self_children_list);
    return w;
}

LC_CWS get_cws(LC_WRITING_STYLE* ws, const LC_WS_COND* cond) {
    render_first_use();
    TaskLockGuard g(get_wct_lock());
    return _get_cws(ws, cond);
}

int _next_cws_list(LC_CWS* walk) {
    if (walk->stack.empty()) return -1;
    LC_WS_CHILDREN_LIST* at = walk->stack.back();
    walk->list.push_back(__get_cws(at->ws, &walk->cond));
    if (at->ws->children) {
        walk->stack.push_back(at->ws->children);
        return 0;
    }
    while (!walk->stack.empty() && !walk->stack.back()->next)
        walk->stack.pop_back();
    if (!walk->stack.empty()) walk->stack.back() = walk->stack.back()->next;
    return 0;
}

void _free_lc_cws(LC_CWS* walk) {
    walk->list.clear();
    walk->stack.clear();
    _lc_free_ws_cond(&walk->cond);
}

int fp_len(const FONT_PRI* list) {
    int n = 0;
    if (list)
        while (list[n].font)
            n++;
    return n;
}

FONT_PRI* merge_fp_list(FONT_PRI* list, const FONT_PRI* list2) {
    if (!list2) return list;
    int a = fp_len(list), b = fp_len(list2);
    auto* r = static_cast<FONT_PRI*>(d_alloc((a + b + 1) * int64_t{sizeof(FONT_PRI)}));
    if (a) memcpy(r, list, a * sizeof(FONT_PRI));
    memcpy(r + a, list2, (b + 1) * sizeof(FONT_PRI));
    if (list) d_f_ree(list);
    return r;
}

// Looks into the styles visited so far and, while needed, further ones. With *count positive the
// search stops once fonts are found and *count further styles were taken in this call; with
// *count 0 or less every style of the walk is taken. When the walk is over *count becomes -1.
FONT_PRI* cws_fitting_font_pri(LC_CWS* walk, L_CHAR lcz, int* count) {
    FONT_PRI* fp = nullptr;
    size_t pos = 0;
    int taken = 0;
    for (;;) {
        for (; pos < walk->list.size(); pos++) {
            fp = merge_fp_list(fp, fitting_font_pri(walk->list[pos], lcz));
            if (fp && !fp[0].font) {
                d_f_ree(fp);
                fp = nullptr;
            }
        }
        if (fp && *count > 0 && taken >= *count) return fp;
        if (_next_cws_list(walk) < 0) {
            *count = -1;
            return fp;
        }
        taken++;
    }
}
