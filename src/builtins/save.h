// Save: writes a value to a file as raw bytes (a list of raw-bytes nodes, such as the lazy list of
// a raw Load, so that a file of any size is copied block by block), as QV text through the
// printer, or as comma-separated values.
//
// CSV output: the column titles separated by ",", then "\n\n"; then one line per record, its
// cells separated by "," and ended by "\n". A text cell holding a double quote or a comma is
// quoted, its inner double quotes doubled; line feeds, carriage returns and tabs in a text cell
// become blanks. Columns are generated from the data (a record-type column "RECORD-TYPE", one
// column per sub-element tag and occurrence, "tp<type>" columns for other values) or given by
// the caller as a list of (title first-child) elements.
//
// Registration (privileged environment, order Applicative, form length with the head): Save 3
// to 4. Without an `option` attribute the value is saved as QV text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "stream/stream.h"

enum : int { SAVE_RAW = 0, SAVE_QV = 1, SAVE_CSV = 2 };

constexpr uint32_t QVE_CANNOT_ACCESS = 0x80040a06;  // "cannot access the file"

typedef std::basic_string<L_CHAR> LTEXT;

// One CSV column.
struct CSV_FIELD_LIST {
    LTEXT title;
    int type;         // node type the column takes; 2 the record-type column, 0 sub-elements
    LTEXT symbol;     // tag name of the sub-elements the column takes
    bool has_symbol;  // false: the column takes no sub-elements
    QV_SEXP* data;    // the value in the record being written
    int flags;        // 1 while taken in the record being examined
};
typedef std::vector<CSV_FIELD_LIST> CSV_FIELDS;

// (Save:option=raw|qv|csv:oflag=creat:trunc:append:mode=N:... file data [columns]).
QV_SEXP* qv_Save(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);

// Columns made from the data list, and columns given by the caller.
CSV_FIELDS csv_generate_field_list(QV_SEXP* list);
CSV_FIELDS csv_get_field_list(QV_SEXP* list);
// Writes the CSV of the data list with the columns; 0, or -1 when a write fails.
int qv_save_csv_pat1(STREAM* st, QV_SEXP* list, CSV_FIELDS& fields);
// The CSV text of a whole data list, as it would be written (for tests and tools).
LTEXT csv_text(QV_SEXP* list, CSV_FIELDS& fields);
// One CSV text cell.
LTEXT csv_convert_string(const L_CHAR* text);
// Writes all bytes of one raw node; 0, or -1 when a write fails.
int qv_save_write(STREAM* st, QV_SEXP* raw);

void init_Save(QVISP_ENV* env);
