// Two-operand operators: arithmetic and comparison on integers, floating values, strings and
// lists, with physical units on numbers.
//
// Every operator reduces to one mechanism: a table of 12 x 12 cells indexed by the node kinds of
// the left and the right operand. A cell names a converter for each operand (or none) and the
// operation that combines the converted operands; a cell without an operation refuses the pair.
// The operations on numbers ask the unit environment in force for the dimensions of both unit
// names, bring both values to common units, compute and name the result's unit (units.h).
// Integer arithmetic is 64-bit two's complement and wraps; no operand makes an operator fail
// other than by an error value.
#pragma once

#include "lisp/sexp.h"

typedef QV_SEXP* (*BINARY_CONV)(QV_SEXP* s);
typedef QV_SEXP* (*BINARY_OP)(QVISP_ENV* env, QV_SEXP* left, QV_SEXP* right);

// One cell: converters of the left and the right operand, and the operation (null: refused).
struct BINARY_TABLE {
    BINARY_CONV conv1;
    BINARY_CONV conv2;
    BINARY_OP binary;
};
// A whole table, indexed [left kind][right kind].
struct BINARY_TABLES {
    BINARY_TABLE cell[QVT_COUNT][QVT_COUNT];
};

extern const BINARY_TABLES add_t, sub_t, mul_t, div_tt, rem_t, equ_t, lt_t, leq_t;

// Converters: integer to floating (same unit), integer and floating to their printed text with
// the unit name appended.
QV_SEXP* conv_if(QV_SEXP* s);
QV_SEXP* conv_is(QV_SEXP* s);
QV_SEXP* conv_fs(QV_SEXP* s);

// Combines two operands through a table. An error operand is the result (the left one first);
// a refused pair gives error 0x80030806 at (file, line). The result carries the position of the
// converted left operand, else of the right one.
QV_SEXP* binary(const BINARY_TABLES& table, QVISP_ENV* env, QV_SEXP* left, QV_SEXP* right,
                QV_FILE* file, int line);
// Left fold of a table over the arguments of an evaluated call form (at least one).
QV_SEXP* binary_fold(const BINARY_TABLES& table, QVISP_ENV* env, QV_SEXP* form);

// The primitives; every one receives its arguments evaluated.
QV_SEXP* vx_add(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_sub(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_mul(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_div(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_rem(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
// Direction from the head attribute `dir`: absent or "left", or "right" (arithmetic).
QV_SEXP* vx_shift(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
QV_SEXP* vx_equ(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_Neq(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_lt(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
               QVISP_ENV* sp_env);
QV_SEXP* vx_leq(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);
QV_SEXP* vx_gt(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
               QVISP_ENV* sp_env);
QV_SEXP* vx_geq(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env);

// The shortcut of a two-operand primitive for plain numbers (QV_FUNC's `plain2`): two integers,
// or two floating values, neither with a unit, give exactly the value and position the primitive
// gives them; other operands give null. Null for a primitive without one.
typedef QV_SEXP* (*PLAIN2_OP)(QV_SEXP* left, QV_SEXP* right);
PLAIN2_OP plain_operator(QV_PRIM prim);

// Equality for native code, in the root environment: 1 or 0, -1 when the comparison failed.
int vxb_equ(QV_SEXP* a, QV_SEXP* b);

// Attribute lists equal: the same list, or every attribute of each present in the other with the
// same value.
int field_equals(QV_SYM_FIELD* a, QV_SYM_FIELD* b);
