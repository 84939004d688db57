// Text layout: sequences of long characters laid out in the background into boxes, box lines,
// language lines and elements.
//
// A sequence holds its text in a ring of character buffers (each character with its writing style,
// size and attribute list) and the room it flows into in a ring of boxes. Consecutive characters
// of one language and one attribute list form a language area; an area is cut into language lines
// by its language's line maker, and the language lines of one box line share it. What an element
// and a box line are in pixels is left to a back end (TR_BOX_OP); render/string_pic.h gives the
// one that draws string pictures.
//
// Layout is incremental. Every edit queues the position from which layout is stale, and a task per
// sequence, started on demand, works the queue: it makes the language line that must begin there,
// and queues the end of that line when what follows is not already in place, so layout ripples
// forward until it meets text that is laid out.
//
// Locks: text_render_lock guards the list of sequences, the languages and the bookkeeping of the
// system lock, a reader/writer lock whose readers are the sequence locks. A sequence lock is a
// read hold of the system lock plus ownership of the sequence. The public operations take the
// sequence lock; the names beginning with "_" are their unlocked twins for a caller that holds it.
// Language settings change under the writer side, so no layout runs meanwhile.
//
// Broken invariants of these in-memory records (links that do not agree) stop the program with
// the operation's name; input never does: a position that is not in the text is a null position,
// a negative count -1.
#pragma once

#include <cstdint>

#include "base/avl.h"
#include "base/lock.h"
#include "base/rect.h"
#include "base/task.h"
#include "render/pool.h"
#include "render/style.h"

struct TR_SEQUENCE;
struct TR_CHAR_BUF;
struct TR_BOX;
struct TR_BOX_LINE;
struct TR_LANG_AREA;
struct TR_LANG_LINE;
struct TR_ELEMENT;
struct TR_LANG;

// A character position; a null buf is no position. One past the last character of the last
// buffer is the end of the text.
struct TR_PTR {
    TR_CHAR_BUF* buf;
    int ptr;
};

// ---------------------------------------------------------------- attributes

enum : uint16_t { TRA_LINE = 1, TRA_ORNAMENT_T = 2, TRA_REFERENCE_T = 3, TRA_COLOR_T = 4 };

struct TR_ATTR_HEADER {
    TR_ATTR_HEADER* next;
    uint16_t type;
};
typedef TR_ATTR_HEADER TR_ATTR;

// Line attribute flags: 1 align set, 2 default_dir set, 4 pitch set.
struct TR_LINE_ATTR {
    uint8_t flags;
    uint8_t align;         // 1 centre, 2 justify, 3 start, 4 end, 5 by the line's return
    uint16_t default_dir;  // direction bits
    uint16_t pitch;        // tenths of ascent plus descent
};

struct TRA_LINE_ATTR {
    TR_ATTR_HEADER h;
    TR_LINE_ATTR attr;
};
struct TRA_ORNAMENT {
    TR_ATTR_HEADER h;
    int16_t flags;
};
struct TRA_REFERENECE {
    TR_ATTR_HEADER h;
    int16_t id;
};
struct TRA_COLOR {
    TR_ATTR_HEADER h;
    int32_t color;
};

struct TR_ATTR_TABLE {
    int size;
    TR_ATTR* (*copy)(const TR_ATTR* a);
    void (*free)(TR_ATTR* a);
    int (*cmp)(const TR_ATTR* a, const TR_ATTR* b);
};
extern const TR_ATTR_TABLE tr_attr_table[5];

// Direction bits of lines, language lines and languages.
enum : int { TRD_V_R2L = 1, TRD_V_L2R = 2, TRD_H_L2R = 4, TRD_H_R2L = 8 };

// ---------------------------------------------------------------- records

struct TR_CHAR_ELEMENT {
    L_CHAR ch;  // LC_NONE for an object
    union {
        int type;  // negative for an object
        struct {
            int size;
            LC_WRITING_STYLE* ws;
        } ws;
        struct {
            int type;
            void* obj;
        } obj;
    } d;
    TR_ATTR* attr;
};

// A shift of the later positions of a buffer: a language line's start at or after s_at, or its
// end at or after e_at, moves by delta.
struct TR_SHIFT {
    int s_at, e_at, delta;
};

// Characters start .. start + len - 1 of a buffer, in a block of cap. line is where a look-up of
// a position in the piece may start: a language line at or before the first one touching the
// piece, or null.
struct TR_PIECE {
    int start, len, cap;
    TR_CHAR_ELEMENT* el;
    TR_LANG_LINE* line;
};
constexpr int TR_PIECE_MAX = 2048;

struct TR_CHAR_BUF {
    TR_CHAR_BUF* next;
    TR_CHAR_BUF* prev;
    int seq;  // ordering key; 0 only for the sentinel
    int buf_len;
    // The characters in pieces of at most TR_PIECE_MAX, in order, so that an edit moves the
    // characters of one piece, however long the buffer (_tr_char_element reaches one). hot is
    // the piece reached last, its place and block copied here: look-ups mostly stay in it or go
    // on to the next.
    TR_PIECE* pieces;
    int n_pieces;
    int hot, hot_start, hot_len;
    TR_CHAR_ELEMENT* hot_el;
    // The pieces of the text a buffer is made with share one block (slab_len records) until they
    // change; it goes with the last of its slab_pieces, or when they hold little of it.
    TR_CHAR_ELEMENT* slab;
    int slab_len, slab_pieces;
    // An edit moves the language lines after it by noting a shift here instead of walking them;
    // a line takes in the shifts it has not seen when its position is read (tr_ll_start). The
    // shifts numbered shift_base .. shift_n - 1 are kept, oldest first; a long list is folded
    // into every line of the buffer and dropped, so it stays short against the text.
    uint32_t shift_base, shift_n;
    TR_SHIFT* shifts;
    TR_LANG_LINE* lang_line;  // the first language line covering or starting in the buffer
};

struct TR_BOX_ATTR {
    TR_LINE_ATTR default_lattr;
    int max_line_pixels;     // negative: unlimited
    int max_doc_dir_pixels;  // negative: unlimited
};

struct TR_BOX {
    TR_BOX* next;
    TR_BOX* prev;
    int seq;
    TR_SEQUENCE* sequence;
    int dirty_flags;  // 4 rebuild every box line, 8 check the extent
    void* work;
    int start_px_offset;
    TR_BOX_LINE* line_list;
    TR_BOX_ATTR attr;
    TR_BOX* dirty_next;
    TR_BOX_LINE* stale_line;  // the first line whose doc_start_offset may be out of date, or null
};

struct TR_METRIC {
    I_RECT size;
    int16_t desent, asent;
    I_POINT end;
};

struct TR_ELEMENT {
    TR_ELEMENT* next;  // ring of the box line in visual order
    TR_ELEMENT* prev;
    TR_ELEMENT* ll_next;  // chain of the language line
    TR_LANG_LINE* ll;     // the language line (null for a ring's sentinel)
    TR_METRIC metric;
    int16_t cr;  // 0, or the box line's default_dir for a line-return element
    void* work;
};

struct TR_BOX_LINE {
    TR_BOX_LINE* next;
    TR_BOX_LINE* prev;  // null for the box's first line; unlinking needs no walk
    TR_BOX* box;
    TR_LINE_ATTR attr;
    int16_t height;
    int16_t base_offset;
    int16_t assent, desent;
    int doc_start_offset;  // up to date once settled: read through tr_bl_offset
    int pixels;
    TR_LANG_LINE* lang_list;  // by box_next, in text order
    TR_ELEMENT el_head;       // sentinel of the element ring
    void* work;
};

struct TR_LANG_AREA {
    TR_LANG* op;  // null for the sentinel
    TR_LANG_AREA* next;
    TR_LANG_AREA* prev;
    TR_LANG_LINE* line_list;  // by area_next, in text order
    int dir;
};

// A language line's stored position: raw is its place within buf after buf's shifts numbered
// below seen (the later ones are taken in as it is read).
struct TR_LL_PTR {
    TR_CHAR_BUF* buf;
    int raw;
    uint32_t seen;
};

// The fields a walk along the lines reads (positions, the links to the next line) come first, so
// that it touches one cache line per line. The positions are read and written through
// tr_ll_start, tr_ll_end and their setters, which bring them up to date (a position's buffer is
// never shifted: start.buf and end.buf may be read as they are).
struct TR_LANG_LINE {
    TR_LL_PTR start;
    TR_LL_PTR end;  // exclusive
    TR_LANG_LINE* area_next;
    TR_LANG_AREA* lang_area;
    TR_LANG_LINE* box_next;
    int dir;
    bool edited;               // its text changed since it was laid out
    bool mapped;               // a piece may name it as where look-ups start
    TR_ELEMENT* element_list;  // by ll_next
    TR_ELEMENT* element_last;  // the last of element_list
    TR_BOX_LINE* box_line;
    TR_LANG_LINE* area_prev;  // so that stepping back in text order costs one step
};

struct TR_UNMAPPING_CHAR {
    TR_UNMAPPING_CHAR* next;
    TR_PTR p;
    int ok_subcode;  // 1: the character must begin a new box line
};

struct TR_DIRTY {
    TR_UNMAPPING_CHAR umc;
    TR_BOX* box;
};

struct TR_CHAR_INFO {
    TR_PTR p;
    TR_LANG* lang;
    TR_LANG_LINE* lang_line;
    TR_LANG_AREA* lang_area;
    TR_BOX_LINE* box_line;
    TR_BOX* box;
};

struct TR_LANG_AREA_INFO {
    TR_PTR start_char, end_char;
    TR_LANG_LINE *start_lang_line, *end_lang_line;
    TR_BOX_LINE *start_box_line, *end_box_line;
    TR_BOX *start_box, *end_box;
    TR_BOX_LINE *phys_start_box_line, *phys_end_box_line;
    TR_BOX *phys_start_box, *phys_end_box;
};

struct TR_PTR_STACK {
    TR_PTR_STACK* next;
    TR_PTR p;
};
void tr_ptr_push(TR_PTR_STACK** s, TR_PTR p);
TR_PTR tr_ptr_pop(TR_PTR_STACK** s);  // null position when empty
void tr_ptr_free(TR_PTR_STACK** s);

enum : int { TRE_OK = 0, TRE_INSERT_CHAR = -1, TRE_INSERT_LINE = -2 };
enum : int { TRE_OK_NONE = 0, TRE_OK_NEW_LINE = 1 };
struct TR_ERROR {
    int code;
    int subcode;
};
inline TR_ERROR tr_err(int code, int subcode = 0) {
    return {code, subcode};
}
const char* _xx_tr_check_error(TR_ERROR e);

// Line-maker controls given to the back end.
struct TR_LLC_HEADER {
    int cmd;  // 1 weight, 2 return code
};
struct TR_LLC_WEIGHT {
    TR_LLC_HEADER h;
    int weight;  // 1 glue, 2 ends the element
};
struct TR_LLC_RETURN_CODE {
    TR_LLC_HEADER h;
    L_CHAR ch;
    int dir;
};
union TR_LL_CTL {
    TR_LLC_HEADER h;
    TR_LLC_WEIGHT w;
    TR_LLC_RETURN_CODE r;
};

struct TR_OBJ_OP {
    void* (*copy_obj)(void* obj);
    TR_METRIC (*get_obj_metric)(void* obj);
    void (*free_obj)(void* obj);
    void (*gc_obj)(void* obj);
};

// The back end.
struct TR_BOX_OP {
    int (*new_sequence)(TR_SEQUENCE* sq, void* work);
    void (*init_thread)(TR_SEQUENCE* sq);
    void (*exit_thread)(TR_SEQUENCE* sq);
    void (*unmapping_element)(TR_ELEMENT* el);
    void (*new_box_line)(TR_SEQUENCE* sq, TR_BOX_LINE* bl);
    void (*free_box_line)(TR_SEQUENCE* sq, TR_BOX_LINE* bl);
    void (*new_box)(TR_SEQUENCE* sq, TR_BOX* b);
    void (*free_box)(TR_SEQUENCE* sq, TR_BOX* b);
    void (*start_lang_line_op)(TR_SEQUENCE* sq, TR_CHAR_INFO* ci);
    TR_ERROR (*_stop_lang_line_op)(TR_SEQUENCE* sq, TR_CHAR_INFO* ci);
    TR_ERROR (*put_box_line)(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, TR_PTR p, TR_CHAR_ELEMENT* el);
    TR_ERROR (*pop_box_line)(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, TR_PTR p);
    TR_ERROR (*lang_line_ctl)(TR_SEQUENCE* sq, TR_CHAR_INFO* ci, TR_LL_CTL* ctl);
    void (*gc_tr)(TR_SEQUENCE* sq);
    void (*waitsync)(TR_SEQUENCE* sq, WAITSYNC_CLIENT* c, int type);
    void* dummy[2];
    TR_OBJ_OP* obj_op;
    // When set, frees the back end's work of the sequence as the sequence is closed.
    void (*free_sequence)(TR_SEQUENCE* sq);
};

// The target of a link, kept in the sequence's tree by id.
struct TR_REFERENCE {
    int16_t id;
    L_CHAR* data;
    AVT_NODE node;
};

// ---------------------------------------------------------------- languages

struct TRL_ENTRY;
struct TRL_USED {
    TRL_USED* next;
    TR_LANG* lang;
};
// The languages a sequence chose for ambiguous characters, most recent first.
struct TRL_CONTEXT {
    TRL_USED* used;
    // Where the characters of a few blocks of 256 (ch >> 8) were found last, while the table
    // stays as it was (leaf_gen): text mostly keeps to a few blocks for a while. A block is
    // either one entry for all its characters or, once split, its node of single characters.
    static constexpr int LEAVES = 8;
    struct Leaf {
        const TRL_ENTRY* at;  // null: slot unused
        uint32_t block;
        bool singles;  // at is the block's node of 256 entries, indexed by ch & 255
    } leaf[LEAVES];
    uint64_t leaf_gen;
};

struct TR_LANG {
    const char* lang;
    uint16_t dir_flags;
    uint16_t sub_dir_flags;
    void (*setup_lang)(TR_LANG* lang, int type, void* work);
    void* (*get_setup)(TR_LANG* lang, void* w);
    void (*free_work)(void* w);
    TR_ERROR (*make_lang_line)(TR_SEQUENCE* sq, TR_CHAR_INFO* ci);
    void* work;
    TR_LANG* next;  // tr_lang_list
};

struct EN_WORK {
    L_CHAR* space;  // 0-terminated; null is empty
    L_CHAR* delim;
};
struct JA_WORK {
    int dir;                        // default 5
    L_CHAR* line_end_escape_delim;  // may not end a line
    L_CHAR* line_top_escape_delim;  // may not begin a line
};

extern TR_LANG en_render, ja_render, ctl_render, black_box_render;
extern TR_LANG* default_tr_lang;
extern TR_LANG* tr_lang_list;

struct TRL_LANG_LIST {
    TRL_LANG_LIST* next;
    TR_LANG* lang;
    int ref;
};
struct TRL_ENTRY {
    TRL_ENTRY* down;  // a node of 256 entries
    TRL_LANG_LIST* langs;
};
struct TR_L_CHAR_TBL2 {
    L_CHAR from, to;
    TR_LANG* lang;
};
struct TR_L_CHAR_TBL2_HEADER {
    const TR_L_CHAR_TBL2* tbl;
    const TR_L_CHAR_TBL2_HEADER* inheritance;
};
struct TR_L_CHAR_TBL {
    L_CHAR ch;
    L_CHAR mask;
    TR_LANG* lang;
    const TR_L_CHAR_TBL2_HEADER* tbl;
};
extern const TR_L_CHAR_TBL tr_l_char_table[];

void init_lang(TR_LANG* lang);
int _tr_insert_lang(TR_LANG* lang);
TR_LANG* _tr_search_lang_from_abb(const char* name);
void trl_insert_table(L_CHAR from, L_CHAR to, TR_LANG* lang, int convert_flag);
TR_LANG* trl_get_lang(TRL_CONTEXT* ctx, L_CHAR ch);
TR_LANG* _tr_search_lang(L_CHAR ch, TRL_CONTEXT* ctx);
void trl_free_context(TRL_CONTEXT* ctx);
int in_table(L_CHAR ch, const L_CHAR* list);

void setup_en_render(TR_LANG* lang, int type, void* work);
void* get_en_render(TR_LANG* lang, void* w);
void free_en_work(void* w);
void setup_ja_render(TR_LANG* lang, int type, void* work);
void* get_ja_render(TR_LANG* lang, void* w);
void free_ja_work(void* w);
// Settings of a language by name, under the writer lock (no layout runs meanwhile): 0, or -1
// for a language that takes none.
int tr_setup_lang(const char* name, int type, void* work);

TR_ERROR make_en_render(TR_SEQUENCE* sq, TR_CHAR_INFO* ci);
TR_ERROR make_ja_render(TR_SEQUENCE* sq, TR_CHAR_INFO* ci);
TR_ERROR make_ctl_render(TR_SEQUENCE* sq, TR_CHAR_INFO* ci);
TR_ERROR make_black_box_render(TR_SEQUENCE* sq, TR_CHAR_INFO* ci);

// ---------------------------------------------------------------- the sequence

struct TR_SEQUENCE {
    TR_BOX_OP* box_op;
    TKEY lock;  // owner's task id, 0 when free
    const char* lock_file;
    int lock_line;
    int thread;  // 0 no task, 1 running, -1 closing
    int pri;
    TR_BOX box_ring;  // sentinels
    TR_CHAR_BUF char_buf_ring;
    TR_LANG_AREA lang_area_ring;
    TR_UNMAPPING_CHAR* unmapping_char;
    TR_BOX* dirty_box;
    int16_t ref_id;
    AVT_NODE* ref;
    TRL_CONTEXT lang_ctx;
    void* work;
    void* callback_arg;
    void (*callback)(TR_SEQUENCE* sq, void* arg);
    WAITSYNC_SERVER waitsync;
    TR_SEQUENCE* next;
    // The language line found last: look-ups at or after its start begin there, so laying out a
    // text front to back does not walk its lines again and again.
    TR_LANG_LINE* hint;
    // Elements, box lines and language lines: a walk along the lines of a text laid out in
    // order reads memory mostly in order.
    SLOT_POOL element_pool;
    SLOT_POOL line_pool;
    SLOT_POOL lang_line_pool;
};

extern TR_SEQUENCE* sq_list;
extern SEM text_render_lock;

// Once, before anything else (render_first_use runs it).
void init_text_render();

TR_SEQUENCE* tr_new_sequence(TR_BOX_OP* op, int pri, void* msg);
TR_BOX* tr_new_box(TR_SEQUENCE* sq, TR_BOX* after, const TR_BOX_ATTR* attr);
TR_BOX* _tr_new_box(TR_SEQUENCE* sq, TR_BOX* after, const TR_BOX_ATTR* attr);
TR_PTR tr_insert_string(TR_SEQUENCE* sq, TR_PTR ptr, int len, LC_WRITING_STYLE* ws,
                        const TR_ATTR* attr, void* obj, int size, const L_CHAR* str);
TR_PTR _tr_insert_string(TR_SEQUENCE* sq, TR_PTR ptr, int len, LC_WRITING_STYLE* ws,
                         const TR_ATTR* attr, void* obj, int size, const L_CHAR* str);
TR_PTR tr_delete_string(TR_SEQUENCE* sq, TR_PTR ptr, int len);
TR_PTR _tr_delete_string(TR_SEQUENCE* sq, TR_PTR ptr, int len);
int tr_copyout(TR_SEQUENCE* sq, TR_PTR p, L_CHAR* str, int len);
int _tr_copyout(TR_SEQUENCE* sq, TR_PTR p, L_CHAR* str, int len);
// The first position of the text, and its end (both null for an empty text).
TR_PTR _tr_first_ptr(TR_SEQUENCE* sq);
TR_PTR _tr_end_ptr(TR_SEQUENCE* sq);

// The position after p; inside p's buffer without a call.
TR_PTR _tr_ptr_step(TR_PTR p, int by);
inline TR_PTR tr_ptr_next(TR_PTR p) {
    if (p.buf && p.ptr >= -1 && p.ptr + 1 < p.buf->buf_len) return {p.buf, p.ptr + 1};
    return _tr_ptr_step(p, 1);
}
TR_PTR tr_ptr_prev(TR_PTR p);
int tr_ptr_cmp(TR_PTR a, TR_PTR b);
inline bool tr_ptr_null(TR_PTR p) {
    return p.buf == nullptr;
}
inline bool tr_ptr_eq(TR_PTR a, TR_PTR b) {
    return a.buf == b.buf && (a.buf == nullptr || a.ptr == b.ptr);
}
// 2 null, 0 valid (the end of the text included), 1 ran off the end, -1 off the start; the last
// two leave p null.
int _tr_ptr_regulation(TR_SEQUENCE* sq, TR_PTR* p);
int tr_ptr_regulation(TR_SEQUENCE* sq, TR_PTR* p);
// The element at a valid position that is not the end, or null; in the piece reached last
// without a call.
TR_CHAR_ELEMENT* _tr_char_element_far(TR_PTR p);
inline TR_CHAR_ELEMENT* _tr_char_element(TR_PTR p) {
    if (!p.buf || p.ptr < 0 || p.ptr >= p.buf->buf_len) return nullptr;
    const auto off = static_cast<unsigned>(p.ptr - p.buf->hot_start);
    if (off < static_cast<unsigned>(p.buf->hot_len)) return p.buf->hot_el + off;
    return _tr_char_element_far(p);
}
// The characters from p on that lie one after another in memory (to the end of p's piece): their
// count, the first in *first; 0 and null when p holds no character.
int _tr_char_run(TR_PTR p, TR_CHAR_ELEMENT** first);

// A language line's start and end (exclusive), with the shifts of later edits taken in.
void _tr_ll_take_shifts(TR_LL_PTR* p, bool end);
inline TR_PTR tr_ll_start(TR_LANG_LINE* ll) {
    TR_LL_PTR& p = ll->start;
    if (p.buf && p.seen != p.buf->shift_n) _tr_ll_take_shifts(&p, false);
    return {p.buf, p.raw};
}
inline TR_PTR tr_ll_end(TR_LANG_LINE* ll) {
    TR_LL_PTR& p = ll->end;
    if (p.buf && p.seen != p.buf->shift_n) _tr_ll_take_shifts(&p, true);
    return {p.buf, p.raw};
}
inline void tr_ll_set_start(TR_LANG_LINE* ll, TR_PTR p) {
    ll->start = {p.buf, p.ptr, p.buf ? p.buf->shift_n : 0};
}
inline void tr_ll_set_end(TR_LANG_LINE* ll, TR_PTR p) {
    ll->end = {p.buf, p.ptr, p.buf ? p.buf->shift_n : 0};
}
// A line about to be destroyed: no position.
inline void tr_ll_clear(TR_LANG_LINE* ll) {
    ll->start = ll->end = {nullptr, 0, 0};
}

// The queue of stale positions and the dirty boxes.
void _insert_unmapping_char(TR_SEQUENCE* sq, TR_PTR p, int ok_subcode);
TR_UNMAPPING_CHAR _get_unmapping_char(TR_SEQUENCE* sq);
void _tr_disable_unmapping_char(TR_SEQUENCE* sq, TR_PTR p);
void _dirty_box(TR_SEQUENCE* sq, TR_BOX* box, int flags);
int _get_dirty(TR_SEQUENCE* sq, TR_DIRTY* d);
int get_dirty(TR_SEQUENCE* sq, TR_DIRTY* d);

// Attribute lists.
TR_ATTR* _tr_get_attr(const TR_ATTR* a, int type);
int _tr_get_attr_short_data(const TR_ATTR* a, int type);
int _tr_get_attr_int_data(const TR_ATTR* a, int type);
void _tr_set_attr_short_data(TR_ATTR** ap, int type, int data);
void _tr_set_attr_int_data(TR_ATTR** ap, int type, int data);
// 0, or -1 when every id is in use (nothing set).
int _tr_set_attr_reference(TR_SEQUENCE* sq, TR_ATTR** ap, const L_CHAR* ref);
TR_REFERENCE* _tr_get_reference(TR_SEQUENCE* sq, int id);
TR_ATTR* _tr_copy_attr(const TR_ATTR* a);
void _tr_free_attr(TR_ATTR* a);
int _tr_cmp_attr(const TR_ATTR* a, const TR_ATTR* b);
void _tr_set_default_lattr(TR_LINE_ATTR* la);

// ---------------------------------------------------------------- layout steps

void tr_unmapping_char_proc(TR_SEQUENCE* sq, TR_UNMAPPING_CHAR* umc);
void _tr_unmapping_char_proc(TR_SEQUENCE* sq, TR_UNMAPPING_CHAR* umc);
void tr_dirty_box(TR_SEQUENCE* sq, TR_BOX* box);
void _tr_dirty_box(TR_SEQUENCE* sq, TR_BOX* box);
void _tr_lang_area_proc(TR_SEQUENCE* sq, TR_CHAR_INFO* ci);
int _tr_get_char_info(TR_CHAR_INFO* ci, TR_SEQUENCE* sq, TR_PTR p);
// The language line holding position p, or null.
TR_LANG_LINE* _tr_find_lang_line(TR_SEQUENCE* sq, TR_PTR p);
int _tr_lang_area_cmp_ci(TR_SEQUENCE* sq, TR_CHAR_INFO* a, TR_CHAR_INFO* b);
int _tr_lang_area_cmp_ptr(TR_SEQUENCE* sq, TR_PTR a, TR_PTR b);
TR_LANG_LINE* _tr_next_lang_line(TR_LANG_LINE* ll);
TR_LANG_LINE* _tr_prev_lang_line(TR_LANG_LINE* ll);
TR_LANG_LINE* _tr_element_prev_lang_line(TR_LANG_LINE* ll);
TR_LANG_LINE* _tr_element_next_lang_line(TR_LANG_LINE* ll);
TR_ELEMENT* _tr_last_el(TR_LANG_LINE* ll);
TR_BOX_LINE* _tr_new_box_line(TR_SEQUENCE* sq, TR_BOX* box, TR_BOX_LINE* bl, int where, int height);
TR_LANG_AREA* _tr_new_lang_area(TR_SEQUENCE* sq, TR_LANG* lang, TR_LANG_AREA* prev);
TR_LANG_LINE* _tr_new_lang_line(TR_SEQUENCE* sq, TR_BOX_LINE* bl, TR_LANG_AREA* area,
                                TR_LANG_LINE* ll, int where);
TR_ERROR _tr_new_element(TR_ELEMENT** el_ret, TR_SEQUENCE* sq, TR_LANG_LINE* ll);
TR_ERROR _tr_stop_lang_line_op(TR_ERROR e, TR_SEQUENCE* sq, TR_CHAR_INFO* ci);
void _tr_destroy_element(TR_SEQUENCE* sq, TR_ELEMENT* el);
// Queues the line's start for layout when it has one and queue is set.
void _tr_destroy_lang_line(TR_SEQUENCE* sq, TR_LANG_LINE* ll, bool queue = true);
void _tr_destroy_lang_line_list(TR_SEQUENCE* sq, TR_BOX_LINE* bl);
void _tr_destroy_box_line(TR_SEQUENCE* sq, TR_BOX_LINE* bl);
void _tr_destroy_box_line_list(TR_SEQUENCE* sq, TR_BOX* b);
void _tr_destroy_box(TR_SEQUENCE* sq, TR_BOX* b);
void _tr_set_char_buf_lang_line(TR_LANG_LINE* ll);
// Where a walk for the lines touching buffer b may start: the mapping of b or of the nearest
// buffer before it, else the first line of the text (never a line after one touching b).
TR_LANG_LINE* _tr_walk_start(TR_SEQUENCE* sq, TR_CHAR_BUF* b);
// The same for the lines holding position p: the mapping of p's piece or of the nearest one
// before it, so that the walk is short however long the buffer.
TR_LANG_LINE* _tr_walk_start_at(TR_SEQUENCE* sq, TR_PTR p);
// Enters ll into the mappings of the pieces it touches.
void _tr_map_pieces(TR_LANG_LINE* ll);
// Pieces whose mapping names ll name repl instead.
void _tr_unmap_pieces(TR_SEQUENCE* sq, TR_LANG_LINE* ll, TR_LANG_LINE* repl);
void _tr_get_lang_area_info(TR_LANG_AREA_INFO* lai, TR_LANG_AREA* area);
int _tr_lang_area_check(TR_LANG_AREA* area, TR_LANG_LINE* ll);
TR_PTR _tr_box_line_first_ptr(TR_BOX_LINE* bl);
TR_PTR _tr_box_line_last_ptr(TR_BOX_LINE* bl);
TR_PTR _tr_box_first_ptr(TR_BOX* b);
TR_PTR _tr_box_last_ptr(TR_BOX* b);
int _tr_get_doc_dir_pixels(TR_SEQUENCE* sq, TR_BOX* b);
void _tr_acc_line_attr(TR_LINE_ATTR* acc, const TR_LINE_ATTR* attr);
void _tr_set_line_attr(const TR_LINE_ATTR* la, TR_ATTR** ap);
void _tr_copy_line_attr(TR_LINE_ATTR* to, const TR_LINE_ATTR* from);
// Notes that the offsets of the lines after st (of every line when st is null) may have changed.
void _tr_set_bl_offset(TR_BOX* b, TR_BOX_LINE* st);
// Recomputes the offsets of the lines after bl (of every line, the first at 0, when bl is null)
// at once: each is the previous line's offset plus its height.
void _tr_setup_bl_offset(TR_BOX* b, TR_BOX_LINE* bl);
// Brings the offsets up to date as far as upto (every line when null). Layout leaves the offsets
// after a change to the reader (a change in the middle of a long box so costs nothing until
// they are read): doc_start_offset is read through tr_bl_offset or after settling.
void _tr_settle_bl_offset(TR_BOX* b, TR_BOX_LINE* upto);
inline int tr_bl_offset(TR_BOX_LINE* bl) {
    if (bl->box->stale_line) _tr_settle_bl_offset(bl->box, bl);
    return bl->doc_start_offset;
}
inline bool tr_dir_vertical(int dir) {
    return (dir & 3) != 0;
}

// ---------------------------------------------------------------- task, waiting, locks

void xx_tr_lock(TR_SEQUENCE* sq, const char* file, int line);
#define tr_lock(sq) xx_tr_lock((sq), __FILE__, __LINE__)
void tr_unlock(TR_SEQUENCE* sq);
void xx_tr_rw_lock(const char* file, int line);
#define tr_rw_lock() xx_tr_rw_lock(__FILE__, __LINE__)
void tr_rw_unlock();
// The unlocked twins, for a caller holding text_render_lock (tr_system_lock): they may sleep,
// releasing it while they wait, and return with it held again.
void _tr_lock(TR_SEQUENCE* sq, const char* file, int line);
void _tr_unlock(TR_SEQUENCE* sq);
void _tr_rw_lock(const char* file, int line);
void _tr_rw_unlock();
void tr_system_lock();
void tr_system_unlock();
void gc_lock_text_render();
void gc_unlock_text_render();
void gc_text_render();
// Prints the held system lock (see the definition); *ind says whether the heading was printed.
void see_lock_tr_sys(int* ind);
void _indicate_tr_lock(int* ind);

void _wakeup_sequence(TR_SEQUENCE* sq);
void tr_wait_stable_sequence(TR_SEQUENCE* sq);
void _tr_wait_stable_sequence(TR_SEQUENCE* sq);
void tr_waitsync(TR_SEQUENCE* sq, WAITSYNC_CLIENT* c, int type);
void _tr_waitsync(TR_SEQUENCE* sq, WAITSYNC_CLIENT* c, int type);
void tr_set_callback(TR_SEQUENCE* sq, void (*func)(TR_SEQUENCE*, void*), void* arg);
void tr_close_sequence(TR_SEQUENCE* sq);
void waitsync_test(TR_SEQUENCE* sq, const char* msg);
// True while the sequence has queued work or a running task (under the sequence lock).
bool _tr_busy(TR_SEQUENCE* sq);
