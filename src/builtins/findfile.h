// FindFile: the files and directories that a wildcard path names, optionally kept or dropped by
// the state of a corresponding file in a target tree (exists, missing, older or newer), as a
// build tool decides which sources to translate.
//
// A wildcard path is cut into parts: components holding "*" are wildcard parts, the text between
// them plain parts. "*" in a component stands for any run of characters; a component "**" stands
// for every entry at any depth. Names beginning with "." are never found by a wildcard.
//
// Registration: privileged environment, order Applicative, form length 2 to 4 with the head.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"

// One found path in a singly linked list.
struct DIR_LIST {
    char* name;  // owned
    int flags;   // DL_FILE or DL_DIR
    DIR_LIST* next;
};

constexpr int DL_FILE = 1;
constexpr int DL_DIR = 2;

// Bits of a find condition: the kinds kept, then the state of the corresponding target.
constexpr int FC_FILE = 1;
constexpr int FC_DIR = 2;
constexpr int FC_EXIST = 4;     // the target exists and is of the same kind
constexpr int FC_NOTEXIST = 8;  // the target does not exist
constexpr int FC_TOUCH = 16;    // the target exists and the entry is not newer
constexpr int FC_NOTOUCH = 32;  // the target exists and the entry is newer
constexpr int FC_ALL = 63;

// 0 when name matches the component pattern match ("*" any run of characters), else -1.
int match_check(const char* name, const char* match);
// A new entry in front of dl.
DIR_LIST* add_dir_list(DIR_LIST* dl, const char* name, int flags);
// d2 appended to d1; the joined list.
DIR_LIST* marge_dir_list(DIR_LIST* d1, DIR_LIST* d2);
void free_dir_list(DIR_LIST* d);
// Diagnostics (no caller in the system): the list reversed in place (its new head); each entry
// as "> NAME" on a line of standard output; the parts of a wildcard as "== " and "(TEXT TYPE)"
// for each of the argc parts, then a line end (w, the part being expanded, is not shown).
DIR_LIST* reverse_dir_list(DIR_LIST* d);
void print_dir_list(const DIR_LIST* d);
void print_wlist(char* const* argv, const int* argt, int w, int argc);
// The condition bits of a text of words separated by ","; -1 for an unknown (or empty) word.
int get_condition(const L_CHAR* cond);
// The paths that wildcard names and condition keeps. With base_dir, every path must lie below
// it and its target is target_dir followed by the rest of the path (with the extension replaced
// by prefix when prefix is given).
DIR_LIST* get_dir(const char* wildcard, const char* base_dir, const char* target_dir,
                  const char* prefix, int condition);

// (FindFile wildcard [base target]) with condition, scriptpath and prefix: the found names.
QV_SEXP* qv_FindFile(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                     QVISP_ENV* sp_env);
void init_FindFile(QVISP_ENV* env);
