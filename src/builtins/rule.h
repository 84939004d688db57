// Rule: a small build tool. It walks the directory tree below the current directory, collects the
// paths that its (Accept pattern) forms admit and its (Ignore pattern) forms do not exclude, and
// runs its body once per path (`from` bound to the path) or, with target="allfor1", once with
// `from` bound to the list of all of them.
//
// Patterns are paths split at "/": a component followed by "/" stands for a directory, the last
// one for a file, a last "**" for one or more components of any kind and a "**/" for one or more
// directories. In a component "*" stands for a run of at least one character that is shorter
// than the name (a lone "*" therefore matches one-character names only). The first pattern that
// matches decides; a path no pattern matches is left out. A directory is entered only when an
// Accept pattern could still match below it and no Ignore pattern before it matches the directory
// itself, so an Ignore pattern naming a directory prunes its tree (and only that tree).
// Entries whose names begin with "." are never reached.
//
// The walk runs in passes, one directory level each, and keeps no machine-stack recursion. A
// directory met again below itself (through a symbolic link) is not listed a second time, and the
// memory of the paths held at once is limited, so neither a link loop nor a link lattice
// can make the walk run or grow for ever: beyond the limit Rule answers QVE_NO_MEMORY.
//
// Inside the body the guards Target, Exist and NotExist end the body for the current path quietly
// (with the code of Break, which Rule swallows) when they are not satisfied. `Target` with
// dir="make" creates the target's missing leading directories with the permission given by
// `mode` (default 0755); directories that existed already keep their permission. Creating them
// is refused ("permission denied") to callers whose environment does not reach the privileged
// top environment.
//
// Registration (order N = Normal, A = Applicative; form length with the head; "any": no limit):
//   Rule env1 N 2..any, keyword environment holding:
//   Target A 3..any   Exist A 2..any   NotExist A 2..any
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "lisp/env.h"
#include "lisp/sexp.h"

enum : int {
    PE_DIR = 1,   // a directory component
    PE_FILE = 2,  // a last component naming a file
    PE_ANY = 3,   // a last "**" of a pattern
};

enum : int { PP_IGNORE = 1, PP_ACCEPT = 2, PP_MET = 0, PP_RESULT = 3 };

// One component of a parsed path.
struct PATH_ELEMENT {
    int type;
    std::string name;  // "$" for the empty first component of a path beginning with "/"
};

// Identity of a directory listed by the walk.
struct DIR_ID {
    unsigned long dev;
    unsigned long ino;
};

// A parsed path: a pattern, a path met by the walk, or a result.
struct PATH_PATTERN {
    int type;
    std::vector<PATH_ELEMENT> path;
    std::vector<DIR_ID> dirs;  // walk only: the directories listed on the way to this path
};

// Splits a pattern or path text (bytes) into components.
PATH_PATTERN parse_path(const std::string& text);
// The components joined by "/".
std::string make_name(const PATH_PATTERN& pp);
// Diagnostics (no caller in the system): the number of paths of a list; each path as "path:"
// and its components, each followed by "/" except the last unless it names a directory ("."
// for an empty path), on a line of standard output.
size_t pp_length(const std::vector<PATH_PATTERN>& list);
void print_path(const std::vector<PATH_PATTERN>& list);
void print_path2(const PATH_PATTERN& pp);
// One component name against one pattern component (only "*" is special).
bool compare_dir(const std::string& name, const std::string& pattern);
// A path against one pattern: complete (mode 1) or partial (mode 0: the path could still be the
// beginning of a matching path).
bool _compare_path(const PATH_PATTERN& pp, const PATH_PATTERN& pattern, int mode);
// The first matching pattern decides: true when it is an Accept pattern. An Ignore pattern
// matches completely in either mode.
bool compare_path(const PATH_PATTERN& pp, const std::vector<PATH_PATTERN>& patterns, int mode);
// The walk from the current directory: the names of the admitted paths, sorted. False when the
// walk went beyond the limit of memory it may hold.
bool filter_path(const std::vector<PATH_PATTERN>& patterns, std::vector<std::string>* out);
// Creates the leading directories of path with the permission mode; 0, or -1 when one of them
// cannot be created.
int make_dir(const std::string& path, int mode);

// The limit of bytes of paths the walk holds at once; returns the previous one (for tests).
size_t rule_set_walk_limit(size_t limit);

QV_SEXP* qv_Rule(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV* sp_env);
QV_SEXP* qv_Target(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                   QVISP_ENV* sp_env);
QV_SEXP* qv_Exist(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                  QVISP_ENV* sp_env);
QV_SEXP* qv_NotExist(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                     QVISP_ENV* sp_env);

// Makes the keyword environment with Target, Exist and NotExist and binds Rule in env.
void init_Rule(QVISP_ENV* env);
