// Entries of the ".qvrc" configuration files, read with the QV reader.
//
// An entry is a top-level list of the file whose head symbol is the key and whose second element
// is the value: (QVPATH "/opt/qv/lib:/usr/local/qv"). The search for script files (base/confpath)
// reads its QVPATH entries through the reader installed here by the language core's start-up.
#pragma once

#include "base/endian.h"
#include "lisp/sexp.h"

// The values of the entries named symbol in the file dir/file (a '/' added when dir does not end
// with one), the last one in the file first; nil when the file cannot be opened or has none.
// Items of the file that are not such lists are skipped, error items among them.
QV_SEXP* get_qvrc(const char* dir, const char* file, const L_CHAR* symbol);

// Installs the configuration-file reader of the script search (set_qvrc_reader).
void init_qvrc();
