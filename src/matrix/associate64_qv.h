// Associative files with QV values: the values stored under the integer and string indexes of an
// associative file (pdb/associate64.h) are QV values, kept as their printed text in the code method
// that the file's header names and read back with the QV reader (source name "associate").
//
// This part of the associative files is the only one that needs the language, so it stands here,
// above the record store and the language core; everything else about the files (slots, indexes,
// value records) is the record store's own. The l_ forms take the record store's lock (the stream
// and parse locks are taken inside it while a value is printed or read).
#pragma once

#include "lisp/sexp.h"
#include "pdb/associate64.h"
#include "pdb/l_favt64.h"

// Stores value under the key (a signed 32-bit integer or a long-character string, as the index
// takes), replacing what was there: 0, or -1 for a bad key, slot or index, a file that cannot take
// it, or an encoding that names no code method.
int insert_associate64(int key, int index, const void* keyvalue, QV_SEXP* value);
// The value under the key, read anew, or null when absent or unreadable.
QV_SEXP* search_associate64(int key, int index, const void* keyvalue, ASSOC64_STRING_OPT* opt);
// All values of the index as a QV list: ascending keys for integer indexes; for string indexes the
// reverse of the descending walk. Null for an empty index, a bad key or an unreadable index.
QV_SEXP* get_assoc64_all(int key, int index);

int l_insert_associate64(int key, int index, const void* keyvalue, QV_SEXP* value, VX_HERE_FILE,
                         VX_HERE_LINE);
QV_SEXP* l_search_associate64(int key, int index, const void* keyvalue, ASSOC64_STRING_OPT* opt,
                              VX_HERE_FILE, VX_HERE_LINE);
QV_SEXP* l_get_assoc64_all(int key, int index, VX_HERE_FILE, VX_HERE_LINE);
