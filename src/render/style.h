// Writing styles of the text renderer: named sets of font priority lists, one list for text of
// no particular language and one each for Japanese, Taiwanese, Chinese and Korean, with child
// styles that are consulted after the style itself.
//
// A font priority list is an array of FONT_PRI_NAME records ended by a record whose `font` is
// null; the names belong to the array. Lists and names are tracked blocks (base/alloc.h), never
// language nodes: styles live for the whole run and nothing removes them.
//
// Styles are kept in `ws_list`, newest first. `wct_lock` guards the list and everything
// reachable from it; the public operations take it for their whole run, and the names beginning
// with "_" are their unlocked twins for a caller that already holds it (to make several changes
// as one step). Nothing else is taken while it is held but the allocator's lock, so any caller's
// lock may be held when it is taken. The public operations start text rendering on first use
// (render_first_use).
//
// The child links form a graph without cycles: a link that would make a style its own
// descendant is refused, since every walk over a style and its descendants must end.
#pragma once

#include "base/endian.h"
#include "base/lock.h"

// Size choice of a font: how closely a drawn size must match the requested one.
enum : int { FPN_JUST = 0, FPN_NEARLY = 1, FPN_SMALL = 2, FPN_LARGE = 3 };

// One font of a priority list.
struct font_pri_name {
    L_CHAR* font;     // font name, optionally an engine kind, '/' and the name; null ends a list
    L_CHAR lcz[2];    // two code sets the font draws; an absent one is LC_NONE (0xDFFFFFFF)
    L_CHAR mask[2];   // their masks; absent 0xFFFFFFFF
    L_CHAR lcz_cov;   // the code set the font covers
    L_CHAR mask_cov;  // its mask
    int method;       // FPN_JUST .. FPN_LARGE
};
typedef font_pri_name FONT_PRI_NAME;

struct lc_writing_style;
struct lc_cond_writing_style;  // a style resolved under a condition (font selection)
typedef lc_cond_writing_style LC_COND_WRITING_STYLE;

// A list of child styles, in the order they were added.
struct lc_ws_children_list {
    lc_ws_children_list* next;
    lc_writing_style* ws;
};
typedef lc_ws_children_list LC_WS_CHILDREN_LIST;

struct lc_writing_style {
    lc_writing_style* next;           // ws_list link
    L_CHAR* stylename;                // owned copy
    LC_COND_WRITING_STYLE* cws_list;  // conditional styles; null until font selection makes one
    FONT_PRI_NAME* un_fonts_n;        // owned copies; each may be null
    FONT_PRI_NAME* ja_fonts_n;
    FONT_PRI_NAME* tw_fonts_n;
    FONT_PRI_NAME* cn_fonts_n;
    FONT_PRI_NAME* kr_fonts_n;
    LC_WS_CHILDREN_LIST* children;  // child styles, first added first
    // A one-entry list holding the style itself: where a walk over the style starts.
    LC_WS_CHILDREN_LIST self_children_list;
};
typedef lc_writing_style LC_WRITING_STYLE;

// Every style, newest first. Read and written only under wct_lock.
extern LC_WRITING_STYLE* ws_list;
// The renderer's lock, wct_lock, made by the first call from any thread (nothing else creates it).
SEM get_wct_lock();

// Lists. None takes a lock.
// The records a list of n records has room for, its end record included: the next power of two,
// at least 4. Every list made by copy_font_pri_name and by the WritingStyle built-in's insert_fpn
// has that room with every record from the end record on zero, so that a list can be appended to
// in place and its end found without walking all of it.
int fpn_room(int n);
// The number of records before the end record; 0 for null.
int fpn_len(const FONT_PRI_NAME* list);
// A new list with every record and name copied (the caller owns it), with the room of fpn_room;
// null for null.
FONT_PRI_NAME* copy_font_pri_name(const FONT_PRI_NAME* list);
// Frees the names and the array; null is ignored.
void free_font_pri_name(FONT_PRI_NAME* list);

// A new style with copies of the name and of the five lists, no children and no conditional
// styles, put in front of ws_list. An older style of the same name stays but is hidden by the
// new one. The caller keeps its own lists.
LC_WRITING_STYLE* new_ws(const L_CHAR* stylename, const FONT_PRI_NAME* un, const FONT_PRI_NAME* ja,
                         const FONT_PRI_NAME* tw, const FONT_PRI_NAME* cn, const FONT_PRI_NAME* kr);
LC_WRITING_STYLE* _new_ws(const L_CHAR* stylename, const FONT_PRI_NAME* un, const FONT_PRI_NAME* ja,
                          const FONT_PRI_NAME* tw, const FONT_PRI_NAME* cn,
                          const FONT_PRI_NAME* kr);
// The newest style of that name, or null (also for a null name).
LC_WRITING_STYLE* get_ws(const L_CHAR* stylename);
LC_WRITING_STYLE* _get_ws(const L_CHAR* stylename);
// Appends child at the end of parent's children: 0. -1, and nothing changes, when either is
// null or when child is parent or one of its ancestors (the link would close a cycle).
int set_ws_child(LC_WRITING_STYLE* parent, LC_WRITING_STYLE* child);
int _set_ws_child(LC_WRITING_STYLE* parent, LC_WRITING_STYLE* child);
// 1 when to is from itself or one of its descendants, else 0 (0 when either is null). Under
// wct_lock.
int _ws_reaches(const LC_WRITING_STYLE* from, const LC_WRITING_STYLE* to);
