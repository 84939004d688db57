// Plot points of open matrices: gmxPgPlotField declares, one option at a time, how an input
// record becomes a point's coordinates and fields; gmxPgDisplay turns the stored bytes of a plot
// block into a readable list.
#pragma once

#include <cstdint>
#include <string>

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "matrixops/plot_code.h"
#include "matrixops/plot_field.h"

// One field option: the input column it reads (-1: its init_sexp), the coordinate and the field
// it sets (-1: none), and the kind's options. Collected, marked by gc_fd_opt.
struct FD_OPT_ENTRY {
    FD_OPT_ENTRY* next;  // sorted by csv_label, ascending
    int csv_label;
    int target_label;
    FD_OPT opt;  // opt.dim is the coordinate
};

// One option set, handed to scripts as a pointer value (mark gc_fd_opt_ptr). It names its
// matrix by the registry entry's id and serial, never by address: a set whose matrix was closed
// finds no entry (a later matrix may sit at the same address, or even get the same id).
struct FD_OPT_PTR {
    FD_OPT_ENTRY* opt;
    int id;
    uint64_t serial;
    int last_label;  // the largest target_label so far: a point gets last_label + 1 fields
    int startline;
};

// Field labels above this are refused (a label sizes every point's field array).
constexpr int FD_LABEL_CAP = 4096;

// The entry of the set's matrix, held (release_mx_entry); null once that matrix is closed.
struct MX_ENTRY;
MX_ENTRY* fd_set_entry(const FD_OPT_PTR* set);

void gc_fd_opt(void* p);
void gc_fd_opt_ptr(void* p);
// A "csv" column name: letters count as spreadsheet columns (A 0, Z 25, AA 26, BA 52), other
// text as a decimal number from its start (blanks and a sign allowed, as atoi reads it); -1 for
// a negative number or nothing usable.
int fd_csv_column(const std::string& name);

QV_SEXP* qv_gmxPgPlotField(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                           QVISP_ENV*);
void init_gmxPgPlotField(QVISP_ENV* env0, QVISP_ENV* env1);

// The readable form (pg S T N (ip P ...)) of a plot block's stored bytes (with compress a zlib
// stream of the byte 13 and the code); null with *fault "zlib uncompress" or "internal plot
// code" for bytes that do not decode. The caller keeps the result rooted.
QV_SEXP* pg_display_form(const PLOT_MATRIX* pm, const uint8_t* bytes, int64_t stored, bool compress,
                         const char** fault);
QV_SEXP* qv_gmxPgDisplay(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*);
void init_gmxPgDisplay(QVISP_ENV* env0, QVISP_ENV* env1);
