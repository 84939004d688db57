// List operations, symbol attributes, searches by tag name and source positions over expression
// nodes (sexp.h).
//
// A list is a chain of pairs ending in nil; "proper" means it ends in nil. Every operation reads
// kinds through get_type, so a delayed node met on the way is realised first. None of them
// recurses on the machine stack: deep trees are walked with explicit stacks.
#pragma once

#include <cstdint>

#include "lisp/sexp.h"

// End mark of List(): all bits set.
inline QV_SEXP* const LIST_END = reinterpret_cast<QV_SEXP*>(~static_cast<uintptr_t>(0));

// An error is returned as is; nil and other atoms give the type-mismatch error.
QV_SEXP* car(QV_SEXP* s);
QV_SEXP* cdr(QV_SEXP* s);
QV_SEXP* get_el(QV_SEXP* s, int n);
int list_length(QV_SEXP* s);
// New list of the arguments up to a null (list) or LIST_END (List); the first argument is always
// taken. Arguments are node pointers: write nullptr, not 0.
QV_SEXP* list(QV_SEXP* a, ...);
QV_SEXP* List(QV_SEXP* a, ...);
QV_SEXP* append(QV_SEXP* a, QV_SEXP* b);
QV_SEXP* list_error(QV_SEXP* s);
QV_SEXP* search_error(QV_SEXP* s);

// A list built front to back. Each cell is linked inside a heap section, because a collection
// marking on another thread may be reading the cell before it; each new cell is rooted in the
// caller's top frame, so the list is kept while it is built.
struct ListOut {
    QV_SEXP* head = nullptr;
    QV_SEXP* tail = nullptr;
    // Appends a cell made by the caller (its car set, its cdr nil).
    void link(QV_SEXP* cell) {
        HeapSection hs;
        if (tail)
            tail->pair.cdr = cell;
        else
            head = cell;
        tail = cell;
    }
    // Appends a new cell holding v (with v's position).
    void add(QV_SEXP* v) {
        HeapSection hs;
        link(cons(v, nullptr));
    }
    // Ends the list in rest, in place of nil; nothing when the list is empty.
    void end(QV_SEXP* rest) {
        if (tail) set_cdr(tail, rest);
    }
};

// The primitives car and cdr: applied to element 1 of an evaluated call form.
QV_SEXP* vx_car(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_cdr(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);

// Symbol attributes.
QV_SEXP* set_attribute(QV_SEXP* sym, const L_CHAR* name, const L_CHAR* value);
L_CHAR* get_symbol_field(QV_SEXP* sym, const L_CHAR* name);
L_CHAR* get_sf_attribute(QV_SYM_FIELD* field, const L_CHAR* name);
QV_SYM_FIELD* set_sym_field(QV_SYM_FIELD* field, const L_CHAR* name, const L_CHAR* value);
QV_SEXP* replace_attribute(QV_SEXP* sym, const L_CHAR* name, const L_CHAR* value);

// Searches by tag name. get_el_by_symbol takes (attribute, value) pairs of long-character texts
// after the name, ended by a null pointer.
QV_SEXP* get_el_by_symbol(QV_SEXP* s, const L_CHAR* name, ...);
QV_SEXP* get_el_by_symbol_cnt(const L_CHAR* name, int n, QV_SEXP* s);
QV_SEXP* get_el_c(QV_SEXP* s, const L_CHAR* path, const L_CHAR* def);

// Source positions.
void _set_inh(QV_FILE* file, int line, QV_SEXP* s);
void search_inh(QV_FILE** file, int* line, QV_SEXP* s);
