// The plot functions of calibration scripts: mxPgPlotDiff splits the children's points into the
// parent's points and each child's differences, mxPgPlotAdd rebuilds a child from its parent and
// its differences, mxPgPlotSort sorts one block, mxPgPlotInitialize installs an empty plot block
// in a channel of the node, and mxObjID gives the points of a block their object ids. They exchange
// node data as (data D V) items whose V is a block's stored bytes: plot code, or with compress="on"
// a zlib stream of the byte 13 followed by the code. Blocks they make are answered as raw values.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "matrixops/plot_code.h"

struct MATRIX;

// The plot geometry of an open matrix.
void plot_matrix_of(MATRIX* m, PLOT_MATRIX* pm);

QV_SEXP* qv_mxPgPlotDiff(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*);
QV_SEXP* qv_mxPgPlotSort(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*);
QV_SEXP* qv_mxPgPlotAdd(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*);
// Installs an empty plot block in the processing node's channel "channel", replacing the block
// the channel held; a channel without bytes also gets the empty block's stored form.
QV_SEXP* qv_mxPgPlotInitialize(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                               QVISP_ENV*);
QV_SEXP* qv_mxObjID(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*);

void init_mxObjID(QVISP_ENV* env);
