// String pictures and the layout back end that draws them.
//
// A string picture (LC_STRING_PIC, render/font.h) is a run of characters drawn in one or more
// fonts: an 8-bit raster (255 empty, 0 full ink) with its rectangle relative to the pen origin
// (tl.y is minus the ascent), the pen's advance and a direction. get_string_pic draws a string in
// a writing style, choosing a font per character; get_string_pic_font draws a run in one font.
//
// string_pic_op is the back end of the layout (render/layout.h): an element is a run of characters
// of one font, size and attribute list forming one string picture; a box line measures its
// elements, takes its height and base line from them and spaces them by its alignment. Layout
// only measures; the picture of a whole laid-out sequence (PIC) draws every element, placed and
// coloured, with the targets of links and links underlined.
//
// Line lengths are measured in pen advances: every character's advance is known when it is
// offered, so a character that would make its box line too long is refused before it is placed
// (the first character of a box line is always taken, so a word longer than its line still
// wraps). A turned run keeps the advance of the run it was drawn from.
#pragma once

#include <cstdint>

#include "render/font.h"
#include "render/layout.h"

// ---------------------------------------------------------------- string pictures

// Draws str (0-terminated) in ws at size; characters that no font draws are left out.
void get_string_pic(LC_STRING_PIC* sp, LC_WRITING_STYLE* ws, const L_CHAR* str, int size, int dir);
// Draws len characters in one font.
void get_string_pic_font(LC_STRING_PIC* sp, LC_FONT* font, int size, const L_CHAR* str, int len,
                         int dir);
// p becomes p followed by pp (pp drawn with its pen origin at p's advance); both rasters are
// freed and p takes the new one. False, with p left without a picture (its rectangle the whole
// extent, its width INT16_MAX), when the result would be wider than 16 bits or larger than a
// run may be.
bool compose_pic(LC_STRING_PIC* p, LC_STRING_PIC* pp);
// dest becomes src turned a quarter turn clockwise (a new raster); width and dir are not set.
void pic_rotate_90(LC_STRING_PIC* dest, const LC_STRING_PIC* src);
void free_string_pic(LC_STRING_PIC* p);
// Prints each code with "%x," and then a line end (for debugging).
void print_str(const L_CHAR* s);

// ---------------------------------------------------------------- the back end

struct SP_ADV_CACHE;

struct SP_WORK {
    TR_CHAR_INFO ci;
    TR_ELEMENT* prev_element_ptr;
    TR_ELEMENT* element_ptr;
    uint8_t el_type;  // 1 a run per element, 2 one character per element
    uint8_t rotate;   // 1 the line's text is drawn turned
    uint8_t el_dir;   // 3 vertical box line, 12 horizontal
    int real_line_pixels;
    SP_ADV_CACHE* adv;  // advances of characters already measured
    // The length and character count of the ordinary elements of sum_line (null: none kept), as
    // of generation sum_gen of the elements.
    TR_BOX_LINE* sum_line;
    uint64_t sum_gen;
    int sum_pixels, sum_chars;
    SLOT_POOL work_pool;  // the elements' work
};

struct SP_BOX_WORK {
    I_POINT offset;
};

struct SP_BOX_LINE_WORK {
    I_POINT offset;
    int16_t return_dir;
};

struct SP_ELEMENT_WORK {
    LC_STRING_PIC pic;  // rectangle and width; the raster is drawn when a sequence picture is made
    I_POINT offset;
    LC_FONT* font;
    int size;
    int len;
    int cap;
    L_CHAR* str;
    TR_PTR* ptr;
    TR_ATTR* attr;
    uint8_t glue_start, glue_end;
    int16_t ll_dir;
    int16_t ln_dir;
    void* obj;
    int adv;     // the element's length along its line
    int* advs;   // each character's share of it
    bool dirty;  // characters changed since the run was measured
    // How the run is drawn, as it was measured: turned, the box line's direction bits (3 for an
    // upright character centred on a vertical line) and the language line's direction.
    uint8_t rotate;
    uint8_t el_dir;
    int16_t pic_dir;
};

extern TR_BOX_OP string_pic_op;

// Steps of the back end's layout, callable on their own for a sequence of this back end.

// The length of a box line: the widths of the ordinary elements of all its language lines; the
// number of their characters through chars when given.
int sp_min_line_pixels(TR_SEQUENCE* sq, TR_BOX_LINE* bl, int* chars = nullptr);

// Per font and size, the extents of a vertical line's characters left (desent) and right
// (assent) of their origin.
struct LHM_T {
    LHM_T* next;
    LC_FONT* font;
    int size;
    int16_t desent, assent;
};
// Raises the extents kept for font and size in *list to at least desent and assent, adding an
// entry for a pair not yet there.
void sp_set_lhm(LHM_T** list, LC_FONT* font, int size, int desent, int assent);
// The entry of font and size, or null.
LHM_T* sp_get_lhm(LHM_T* list, LC_FONT* font, int size);
// Frees every entry; *list becomes null.
void sp_free_lhm(LHM_T** list);

// A box line's height, base line, ascent and descent from its ordinary elements, in tenths of
// its pitch, and each element's offset across the line: by its direction, or as given.
void sp_line_height_metric(TR_BOX_LINE* bl);
void sp_line_height_metric_horizontal(TR_BOX_LINE* bl);
void sp_line_height_metric_vertical(TR_BOX_LINE* bl);

// The two line controls: glue of a weight (cmd 1) and the line return that ends the box line
// (cmd 2).
TR_ERROR sp_lang_line_ctl_weight(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, TR_LL_CTL* ctl);
TR_ERROR sp_lang_line_ctl_return_code(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, TR_LL_CTL* ctl);

int sp_new_sequence(TR_SEQUENCE* sq, void* work);

// The 8-bit picture of a laid-out element (under its sequence's lock), as the sequence picture
// draws it: the rectangle and width it was measured with, its raster drawn into buf when it
// takes at most cap bytes, else into a block of its own. False, with an empty picture, for an
// element without characters. A caller drawing many elements in turn reuses one buffer.
bool sp_draw_element(LC_STRING_PIC* out, TR_ELEMENT* el, unsigned char* buf, int64_t cap);
// Frees a picture of sp_draw_element unless its raster is buf.
void sp_free_element_pic(LC_STRING_PIC* p, const unsigned char* buf);

// ---------------------------------------------------------------- sequence pictures

struct PIC_ELEMENT {
    PIC_ELEMENT* next;
    LC_STRING_PIC p;  // rectangle in the sequence picture; no raster
    uint32_t* data;   // colour per pixel; 0x40000000 where empty (in the picture's block)
    uint8_t* alpha;   // raster, or null when every ink pixel is 0
    int line;
    int flags;    // 2: a link
    L_CHAR* ref;  // the link's target, or null
    bool alone;   // gathered by itself: the record and its colours are a block of their own
};

struct PIC {
    I_RECT rect;  // (0, 0)-(-1, -1) when empty
    PIC_ELEMENT* list;
    void* block;  // the element records and their colours
};

// The picture of a laid-out sequence (under its lock).
void sp_get_sequence_pic(PIC* pi, TR_SEQUENCE* sq);
// Parts of it, added to pi (set empty, or from an earlier gathering), under the sequence's lock:
// a box at its offset; a box line with p as its box's origin (the line adds its own offset); an
// element with p as its box line's origin.
void sp_get_pic_box(PIC* pi, TR_SEQUENCE* sq, TR_BOX* b);
void sp_get_pic_box_line(PIC* pi, TR_SEQUENCE* sq, TR_BOX_LINE* bl, I_POINT p);
void sp_get_pic_element(PIC* pi, TR_SEQUENCE* sq, TR_ELEMENT* el, I_POINT p);
void free_pic(PIC* pi);

// A colour of a type-4 attribute from 0xRRGGBB: red << 2, green << 12, blue << 22.
inline int32_t tr_pack_color(uint32_t rgb) {
    return static_cast<int32_t>(((rgb >> 16) & 0xFF) << 2 | ((rgb >> 8) & 0xFF) << 12 |
                                (rgb & 0xFF) << 22);
}
