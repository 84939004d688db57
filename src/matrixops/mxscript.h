// The matrix-script functions: the built-ins that exist only in the matrix store's script
// environment and that a calibration script calls while its token processes one node. A call
// finds its token through the work pointer of its calling environment; outside a calibration
// script every one of them answers the null value.
//
// This module holds what they share (registration, the frame, the data item, errors) and the
// node-lifecycle functions mxLoad, mxSave, mxFinish, mxTrigger, mxSet and mxCH. Functions whose
// module has not joined yet are registered as refusals with the "not available" code.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// Registers every matrix-script function in env, in the store's fixed order.
void register_matrix_script_functions(QVISP_ENV* env);

// The refusal of a function that is registered before its module joins: 0x80030604 "not
// available", named by the call form's head.
QV_SEXP* qv_not_available(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*);

// A (data D V) item: true with D and V when s has that form.
bool mx_data_item(QV_SEXP* s, QV_SEXP** d, QV_SEXP** v);

// Slot-group and status names: -1 for an absent name, -2 for one outside the table.
int get_access(const L_CHAR* name);
int get_jump_status(const L_CHAR* name);

void init_mxCH(QVISP_ENV* env);
void init_mxSet(QVISP_ENV* env);
void init_mxTrigger(QVISP_ENV* env);
void init_mxLoad(QVISP_ENV* env);
void init_mxSave(QVISP_ENV* env);
void init_mxFinish(QVISP_ENV* env);

QV_SEXP* qv_mxCH(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*);
QV_SEXP* qv_mxSet(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*);
QV_SEXP* qv_mxTrigger(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*);
QV_SEXP* qv_mxLoad(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*);
QV_SEXP* qv_mxSave(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*);
QV_SEXP* qv_mxFinish(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*);
