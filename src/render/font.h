// Fonts, font engines and font priorities of the text renderer.
//
// A font (LC_FONT) is made once by name and offered to every registered font engine; an engine
// that can draw it attaches its work to the font. A font lists the sizes it draws, each with the
// range of characters drawn at that size. A writing style (render/style.h) resolved under a
// condition (which engines may draw) becomes a conditional style holding the style's priority
// lists as fonts; a walk visits a style and its descendants depth first.
//
// Everything here is guarded by wct_lock (get_wct_lock()). The public operations take it; the
// names beginning with "_" are their unlocked twins. Nothing of text rendering starts with the
// program: the first call of any public operation initialises it (render_first_use).
#pragma once

#include <cstdint>
#include <vector>

#include "base/endian.h"
#include "base/rect.h"
#include "longchar/codetable.h"
#include "render/style.h"

struct LC_FONT_ENGINE;
struct LC_FONT_WORK;
struct WCT;

// A drawn run: one byte per pixel, row by row, 255 background and 0 full ink; `pic` is null for
// an empty picture. A row holds `width` bytes; r runs from (0, top) to (width, bottom).
struct LC_STRING_PIC {
    I_RECT r;
    int16_t width;
    int16_t dir;
    unsigned char* pic;  // tracked block, freed with d_f_ree
};

// A kind of font engine.
struct LC_FONT_ENGINE_TYPE {
    const char* type;
    // Offered every new font: 0 when the engine attached work to it, else -1.
    int (*fe_new)(LC_FONT* font, LC_FONT_ENGINE* fe);
    // Draws a run of characters sharing one font and size.
    void (*fe_get_pic)(LC_STRING_PIC* p, int dir, const LCF_SET* str, int len);
    // 0 when the font draws the character at that size; null: every character in range counts.
    int (*fe_coverage)(LC_FONT* font, int size, L_CHAR ch);
    uint16_t d[2];
    LC_FONT_ENGINE_TYPE* next;
    // When set: the rectangle and width fe_get_pic gives the run, with no raster drawn (pic
    // null); 1 when fe_get_pic would draw one, else 0. Layout measures through it.
    int (*fe_get_metric)(LC_STRING_PIC* p, int dir, const LCF_SET* str, int len);
    // When set: fe_get_pic drawing into buf (p->pic is then buf) when the raster takes at most
    // cap bytes, else into a block of its own as fe_get_pic does. A caller drawing many runs in
    // turn keeps one buffer instead of a block per run.
    void (*fe_get_pic_into)(LC_STRING_PIC* p, int dir, const LCF_SET* str, int len,
                            unsigned char* buf, int64_t cap);
};

// A registered engine.
struct LC_FONT_ENGINE {
    LC_FONT_ENGINE* next;
    const char* name;
    LC_FONT_ENGINE_TYPE* type;
    void* work;
};

// The work of one engine for one font.
struct LC_FONT_WORK {
    void* work;
    LC_FONT_ENGINE* fe;
};

// One size of a font; size -1 draws any size. from and to are the first and last character.
struct LC_FONT_SIZE_LIST {
    LC_FONT_SIZE_LIST* next;
    int size;
    L_CHAR from;
    L_CHAR to;
};

struct LC_FONT {
    LC_FONT* next;     // wfont_list
    L_CHAR* fontname;  // without the engine kind
    L_CHAR lcz[2];     // the two code sets drawn; an absent one is LC_NONE
    L_CHAR mask[2];
    L_CHAR lcz_cov;
    L_CHAR mask_cov;
    LC_FONT_SIZE_LIST* list;
    LC_FONT_WORK* fw_list;
    int fw_len;
    LC_FONT_ENGINE_TYPE* fe_type;  // the kind the font is bound to, or null
};

// A resolved priority list, ended by a null font.
struct FONT_PRI {
    LC_FONT* font;
    int method;
};

// Condition bits: which fonts a use of a style accepts.
enum : int { WSC_ANY = 1, WSC_ENGINE = 2, WSC_KIND = 4, WSC_DRAWS = 8 };
struct LC_WS_COND {
    int cond;
    LC_FONT_ENGINE** fe;        // null-terminated, for WSC_ENGINE
    LC_FONT_ENGINE_TYPE** fet;  // null-terminated, for WSC_KIND
};

struct lc_cond_writing_style {
    lc_cond_writing_style* next;
    WCT* wct;  // code tables per size
    LC_WS_COND c;
    FONT_PRI* un_fonts;
    FONT_PRI* ja_fonts;
    FONT_PRI* tw_fonts;
    FONT_PRI* cn_fonts;
    FONT_PRI* kr_fonts;
};

// A walk over a style and its descendants, for one conversion or selection. `list` holds the
// conditional styles visited so far in visiting order; `stack` the positions still to visit.
struct LC_CWS {
    std::vector<LC_COND_WRITING_STYLE*> list;
    LC_WRITING_STYLE* top = nullptr;
    std::vector<LC_WS_CHILDREN_LIST*> stack;
    LC_WS_COND cond{};
};

extern LC_FONT_ENGINE* fe_list;
extern LC_FONT* wfont_list;

// First use: runs init_wct, vxf_init and init_text_render once, however many threads arrive at
// once.
void render_first_use();
// Makes the lock and schedules the merge of code tables every 10 seconds.
void init_wct();

// Engines.
void insert_font_engine(LC_FONT_ENGINE* fe);
void _insert_font_engine(LC_FONT_ENGINE* fe);
void delete_font_engine(LC_FONT_ENGINE* fe);
void _delete_font_engine(LC_FONT_ENGINE* fe);
LC_FONT_ENGINE_TYPE* _search_fe_type(const char* name);
LC_FONT_WORK* get_font_work(LC_FONT* font, LC_FONT_ENGINE* fe);
int insert_font_work(LC_FONT* font, LC_FONT_ENGINE* fe, void* work);
void insert_lc_font_size_list(LC_FONT* font, const LC_FONT_SIZE_LIST* sl);
void _insert_lc_font_size_list(LC_FONT* font, const LC_FONT_SIZE_LIST* sl);

// Fonts. lcz and mask hold two entries each.
LC_FONT* lc_new_font(const L_CHAR* fontname, const L_CHAR* lcz, const L_CHAR* mask, L_CHAR lcz_cov,
                     L_CHAR mask_cov);
LC_FONT* _lc_new_font(const L_CHAR* fontname, const L_CHAR* lcz, const L_CHAR* mask, L_CHAR lcz_cov,
                      L_CHAR mask_cov);
LC_FONT* search_wfont(const L_CHAR* fontname);
LC_FONT* _search_wfont(const L_CHAR* fontname);
// Size choice by method (FPN_JUST .. FPN_LARGE); a size of -1 fits any request at distance 1.
LC_FONT_SIZE_LIST* get_lc_font_size_list(LC_FONT* font, int size, int method);
LC_FONT_SIZE_LIST* _get_lc_font_size_list(LC_FONT* font, int size, int method);
void font2lcz(LCZ_SET* lset, const LC_FONT* font);  // three entries

// Conditions.
int check_font_name_and_cond(const LC_WS_COND* cond, const L_CHAR* name);
int check_font_and_cond(const LC_WS_COND* cond, const LC_FONT* font);
int _lc_cmp_ws_cond(const LC_WS_COND* a, const LC_WS_COND* b);
void _lc_copy_ws_cond(LC_WS_COND* to, const LC_WS_COND* from);
void _lc_free_ws_cond(LC_WS_COND* c);

// Conditional styles and walks.
LC_COND_WRITING_STYLE* __get_cws(LC_WRITING_STYLE* ws, const LC_WS_COND* cond);
// A new priority list (tracked, ended by a null font) of the names that pass cond; null for null.
FONT_PRI* get_font_pri(const FONT_PRI_NAME* names, const LC_WS_COND* cond);
// The conditional style's list for a code set (owned by the style), or null.
FONT_PRI* fitting_font_pri(LC_COND_WRITING_STYLE* cws, L_CHAR lcz);
LC_CWS get_cws(LC_WRITING_STYLE* ws, const LC_WS_COND* cond);
LC_CWS _get_cws(LC_WRITING_STYLE* ws, const LC_WS_COND* cond);
// Visits one more style: 0, or -1 when the walk is over.
int _next_cws_list(LC_CWS* walk);
void _free_lc_cws(LC_CWS* walk);
// The merged lists of the walk for a code set, a new tracked list (or null); *count as described
// at the definition.
FONT_PRI* cws_fitting_font_pri(LC_CWS* walk, L_CHAR lcz, int* count);
// A new list: list's entries then list2's; list (when not null) is freed, list2 kept.
FONT_PRI* merge_fp_list(FONT_PRI* list, const FONT_PRI* list2);
int fp_len(const FONT_PRI* list);
