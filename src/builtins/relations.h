// Sorting and the small relational algebra over tables: Sort, NaturalJoin and Projection.
//
// A record is a list whose elements include sub-lists headed by a field symbol, as in
// (person (name N) (age 30)); a table is a list of records. The key of a record for a field f is
// its first element that is a list headed by a symbol named f (the whole sub-list), nil when it
// has none. Two records compare field by field with the language's "<" on their keys.
//
// The sort is a merge of runs whose order of equal elements is fixed and relied upon: it is not
// stable (three equal elements at 0, 1, 2 come out as 1 2 0). It works on arrays of element
// indexes, never on the machine stack, in O(n log n) comparisons. A comparison by key fields
// reads every record's keys once and compares integers, floating values and strings without the
// operator table when both keys have the plain shape (f value).
//
// Registration (general environment, order Applicative; form length with the head): Sort 2..3,
// NaturalJoin 3, Projection 2.
#pragma once

#include <cstdint>

#include "lisp/env.h"
#include "lisp/sexp.h"

// The merge sort: a new list of the elements of list in ascending order, where x goes before y
// when (f (quote x) (quote y)), evaluated in env, is a negative integer. nil and non-lists are
// returned as they are. An error value from f, or the error "return value type missmatch of
// compare function" for a result that is not an integer, is the result.
QV_SEXP* sort_list(QVISP_ENV* env, QV_SEXP* list, QV_SEXP* f);

// Runs of a list merge sort kept as chains: a run is a chain of elements (shared list elements,
// not copies) and a sort list a chain of runs.
struct SORT_ELEMENT {
    SORT_ELEMENT* next;
    QV_SEXP* el;
};
struct SORT_LIST {
    SORT_LIST* next;
    SORT_ELEMENT* el;
};
// A diagnostic: "SL", then each run as a tab and its elements in list notation in brackets,
// each followed by ',', on the standard output stream.
void print_sort_list(SORT_LIST* sl);

// The field list of a head's attributes: the text of `field` split at every ',' into symbols
// (no trimming; an empty piece names the empty symbol), nil when absent or empty.
QV_SEXP* get_join_option(QV_SYM_FIELD* sf);
// The sort option: bit 0 "sort the first list", bit 1 "sort the second", both set unless
// `sort1` or `sort2` is exactly "off".
int get_sort_option(QV_SYM_FIELD* sf);

// The key of record r for the field symbol f: the first element of r that is a list headed by a
// symbol named like f, or nil. nil gives nil; an error value met as an element or as the head of
// one is the result; r not a list gives a type mismatch; an improper r gives list_error(r).
QV_SEXP* record_field(QV_SEXP* r, QV_SEXP* f);
// Key comparison of two records over the field list, in env: the integer -1, 0 or 1, or the
// non-integer answer (an error value) of "<" that ended it.
QV_SEXP* njoin_cmp_field_list(QVISP_ENV* env, QV_SEXP* fields, QV_SEXP* r1, QV_SEXP* r2);
// The compare primitive of the key sorts: (cmp r1 r2) compares by the field list bound to
// "field-list" in its environment; nil when that is nil.
QV_SEXP* njoin_cmp_s(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                     QVISP_ENV* sp_env);
// The joined record of x and z: x's elements, then z's without its tag symbol and without the
// key sub-lists of the fields; nil when x or what is left of z is not a proper list.
QV_SEXP* make_record(QV_SEXP* x, QV_SEXP* z, QV_SEXP* fields);

// (Sort list [compare]), or [Sort field="f1,f2"] on key fields.
QV_SEXP* qv_Sort(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);
// [NaturalJoin field=... sort1=... sort2=...] a b: the merge join of two tables on key fields,
// the joined records in reverse order of production.
QV_SEXP* qv_NaturalJoin(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                        QVISP_ENV* sp_env);
// [Projection field=... sort1=...] table: the records grouped by key, the last group first.
QV_SEXP* qv_Projection(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);

void init_Sort(QVISP_ENV* env);
void init_NaturalJoin(QVISP_ENV* env);
void init_Projection(QVISP_ENV* env);

// The most list cells one NaturalJoin may make for its joined records before it answers "no
// memory" (a join of many equal keys grows with the product of the two tables); for tests.
// Returns the limit it replaces.
int64_t set_join_cell_limit(int64_t cells);
