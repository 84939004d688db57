// Version records as QV lists, both ways: what GetVersion answers and what a peer's answer to it
// becomes (the session layer's remote version records).
#pragma once

#include "base/version.h"
#include "lisp/sexp.h"

// The version list of a record: (layer name publisher version date), the date "Y", "Y-M" or
// "Y-M-D" (month 0: the year alone; date 0: year and month).
QV_SEXP* version_format(const VERSION* v);
// A new record (tracked allocator; release it with free_version) from a version list: elements 0
// to 4 strings, an optional sixth string the comment; the date text read as up to three numbers
// separated by '-' (a leading 0 octal, "0x" hexadecimal). Null when a required element is missing
// or not a string.
VERSION* convert_to_version(QV_SEXP* list);
// Reads up to max numbers separated by blanks, each as "%i" reads it (a leading 0 octal, "0x"
// hexadecimal), into n; stops at the first text that is not a number. Out-of-range numbers
// saturate instead of overflowing. The count read.
int read_numbers(const char* text, long long* n, int max);
