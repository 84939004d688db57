// Markup: QV expressions that describe text (strings, numbers, and the tags FONT, BR, CENTER and
// A) turned into the characters of a layout sequence (render/layout.h).
//
// A run walks the expression: a list headed by a symbol is evaluated in the run's environment,
// whose parent is the markup environment where the tags are bound; other lists are walked item by
// item; strings and numbers (with their units) are inserted with the attributes, writing style and
// size on top of the run's attribute stack. CENTER and A push an entry for their content; FONT
// changes the colour of the entry on top until that entry is popped.
//
// This is the text renderer's one use of the language layer, so it lives above both.
//
// Nothing starts with the program: the first call of any operation here starts the renderer
// (render_first_use) and makes the markup environment, bound as "___HTML" in the privileged top
// environment, once however many threads arrive at once.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "render/layout.h"

// One entry per open tag that changes attributes.
struct TR_HTML_ATTR_STACK {
    TR_HTML_ATTR_STACK* next;
    TR_ATTR* attr;  // owned
    LC_WRITING_STYLE* ws;
    int size;
};

// One markup run, made and owned by the caller.
struct TR_HTML_INFO {
    TR_BOX_OP* box_op;
    void* sq_work;
    TR_BOX_ATTR attr;     // of the boxes the text flows into
    QVISP_ENV* base_env;  // parent of the run's environment: normally html_env
    LC_WRITING_STYLE* default_ws;
    int default_size;
    struct {
        TR_PTR p;            // where the next text goes
        L_CHAR last_output;  // the last character inserted, 0 at first
        QVISP_ENV* env;      // the run's environment, binding "___html_info"
        TR_SEQUENCE* sq;
        TR_HTML_ATTR_STACK* attr_stack;
    } d;
};

extern QVISP_ENV* html_env;

// The first use (see above); every operation calls it.
void init_tr_html();

// Renders s into a new sequence of box_op in a first box: the value of the walk (an error value
// stops it). The run stays open for tr_html_roll_paper until tr_close_html.
QV_SEXP* tr_html(TR_HTML_INFO* info, QV_SEXP* s, int pri);
// Closes the run's sequence and frees its attribute stack.
void tr_close_html(TR_HTML_INFO* info);
// A new box after the last (with info's attr) and s rendered into it.
QV_SEXP* tr_html_roll_paper(TR_HTML_INFO* info, QV_SEXP* s);
// Cutting the paper has no effect: nil.
QV_SEXP* tr_html_cut_paper(TR_HTML_INFO* info, QV_SEXP* s);
// The run evaluating in env, or null.
TR_HTML_INFO* tr_get_html_info(QVISP_ENV* env);
// Inserts len characters of str (len < 0: up to its terminating 0) at the insertion point.
void tr_html_string_data(TR_HTML_INFO* info, const L_CHAR* str, int len);
void tr_push_attr_stack(TR_HTML_INFO* info);
void tr_pop_attr_stack(TR_HTML_INFO* info);
// Renders one expression of a run.
QV_SEXP* tr_html_sexp(TR_HTML_INFO* info, QV_SEXP* s);
