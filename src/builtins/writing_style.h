// The WritingStyle built-in: declares writing styles, which say by language which fonts draw
// which characters, and hands them to the text renderer's style registry (render/style.h). The
// renderer stands beside the language layers, on the long-character layer; this built-in is the
// one place of this layer that calls it.
//
//   <WritingStyle stylename="S" [childof="P"] [parentof="C"]>
//     <Font fontname="F" [method="just|nearly|small|large"] [lcz0= mask0= lcz1= mask1= lcz2=
//           mask2=]/>
//     <Locale locale="ja|tw|cn|kr"> <Font .../> ... </Locale>
//   </WritingStyle>
//
// Fonts before the first Locale serve every language, ahead of each language's own fonts. Inside
// a Locale of one of the four languages fonts go to that language's list; after the first Locale,
// a Font outside any Locale or inside a Locale of another name goes to all four lists. The code
// sets and masks are integers (decimal, negative, or with a 0x or 0 prefix as in C); their low 32
// bits are kept.
//
// The body is taken as written, never evaluated. It is walked with a stack of our own, so Locale
// elements nested to any depth cannot exhaust the machine stack. A declaration registers nothing
// unless it succeeds as a whole: the body is checked completely, and the existence of the style
// and of the styles named by childof and parentof, and the absence of cycles, are checked before
// anything changes. A style of an existing name can only gain links: a second declaration with a
// body fails.
//
// The start-up does not bind the built-in: a program that wants it calls init_WritingStyle.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "render/style.h"

// The state of one declaration.
struct ws_work {
    int mode;                // 0 until the first Locale, then 1
    FONT_PRI_NAME** target;  // the list of the Locale being walked, or null
    FONT_PRI_NAME* un;       // each may be null (empty)
    FONT_PRI_NAME* ja;
    FONT_PRI_NAME* tw;
    FONT_PRI_NAME* cn;
    FONT_PRI_NAME* kr;
};

// Binds "WritingStyle" in env: arguments unevaluated, form length at least 1, no maximum.
void init_WritingStyle(QVISP_ENV* env);

// The built-in: nil, or an error value (0x80040503 for a missing or bad attribute, 0x80030806 for
// a body element of the wrong kind).
QV_SEXP* qv_WritingStyle(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                         QVISP_ENV* sp_env);

// The body walkers; each gives nil or the first error value. A head that is not a symbol is the
// error "WritingStyle:loop 1".
// A Font element, given by its head symbol: one record into the lists.
QV_SEXP* qv_Font(ws_work* work, QV_SEXP* head);
// A Locale element: its body walked with the Locale's list as target, which is then restored.
QV_SEXP* qv_Locale(ws_work* work, QV_SEXP* element);
// The Font and Locale elements of list; elements that are not lists are skipped. An error value
// met as an element or as the list's tail ends the walk and is returned.
QV_SEXP* ws_loop(ws_work* work, QV_SEXP* list);

// list with a copy of rec (the name copied) appended: the grown array (a new one for null). The
// array grows by doubling within the room of fpn_room (render/style.h), so list must be null or
// a list that insert_fpn or copy_font_pri_name returned.
FONT_PRI_NAME* insert_fpn(FONT_PRI_NAME* list, const FONT_PRI_NAME* rec);
// Frees the five lists and empties them.
void free_ws_work(ws_work* work);
