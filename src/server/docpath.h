// Documents and system paths.
//
// Files served or loaded by an absolute name with an extension are not taken from the file system
// directly. A list of path pairs maps URL prefixes to a local documents tree ("qvdocs/") and a
// local system tree ("qvsys/"), and a hash of prefix rules, keyed by the extension, the agent's
// name and the built-in asking, says which of the two trees (and in which order) are searched.
// Beside that: the agent's name, the port read from the configuration, and the parsing of command
// text built in C.
//
// Every path handed to the resolution is checked before any look-up (`doc_path_ok`): it must be
// absolute and hold no empty, "." or ".." piece, no backslash, no NUL and no encoded '.', '/',
// '\' or NUL ("%2e" and the like), so a name can never leave its tree, however a later layer
// decodes it.
//
// Strings returned here are collected blocks (lisp/textcopy.h), rooted in the calling thread's top
// frame like every new block: the caller keeps them reachable while it uses them and never frees
// them. The path pairs, the rules and the agent's name are process-wide, each under its own
// mutex; pairs and rules are never removed.
#pragma once

#include <cstdint>

#include "base/url.h"
#include "lisp/sexp.h"
#include "server/getcode.h"

struct CODE_METHOD;

// One prefix rule. `prefix` is a file-name extension with its dot, `agent` the agent's name,
// `mode` a mode text, `cmd_sym` the name of the built-in it applies to.
struct qv_getfile {
    qv_getfile* next;  // bucket chain
    uint32_t flags;
    L_CHAR* prefix;
    L_CHAR* agent;
    L_CHAR* mode;
    L_CHAR* cmd_sym;
};
typedef qv_getfile QV_GETFILE;

// Rule flags: bits 0-1 the trees searched, bits 2-3 the call-lock mode of the readers.
constexpr uint32_t GF_TREES = 3;
constexpr uint32_t GF_SYS_ONLY = 0;
constexpr uint32_t GF_DOCS_ONLY = 1;
constexpr uint32_t GF_SYS_THEN_DOCS = 2;
constexpr uint32_t GF_DOCS_THEN_SYS = 3;
constexpr uint32_t GF_LOCK = 0xC;
constexpr uint32_t GF_LOCK_OFF = 0;
constexpr uint32_t GF_LOCK_URL = 4;
constexpr uint32_t GF_LOCK_FULL = 8;
constexpr int GETFILE_BUCKETS = 100;

// Error codes of the resolution.
constexpr uint32_t QVE_NO_AGENT_NAME = 0x80010507;  // "dbpath and agent name is undefined"
constexpr uint32_t QVE_BAD_FILE_PATH = 0x80040503;  // "invalid file path"
constexpr uint32_t QVE_NO_PREFIX = 0x8004070e;      // "undefined prefix", "undefined path pair"

// ---- the agent's name

// Replaces the agent's name by a copy of name (null clears it).
void set_agent_name(const L_CHAR* name);
// A copy of the agent's name, or null when none was set.
L_CHAR* get_agent_name();
// The agent's name into buf when it fits (its length below cap): its length, -1 when none was set.
// Takes no language memory, so any thread may call it at any time (the logging producers do).
int copy_agent_name(L_CHAR* buf, int cap);

// ---- path pairs

// Registers the pair (local "qvdocs/", local "qvsys/", url). The list stays in descending order
// of url, so the longest of nested prefixes is met first; a url already present keeps its first
// pair. 0, or -1 for a null or empty argument.
int Reg_List_pathpair(const L_CHAR* local, const L_CHAR* url);
// (docs sys url) of the first pair whose docs is a prefix of path (with a '/' added when path
// does not end with one), else nil.
QV_SEXP* get_pathpair(const L_CHAR* path);
// The URL of a local path: the first pair whose docs, failing that whose sys, is a prefix of
// local gives its url joined with the rest; else a copy of user.
L_CHAR* get_url_path(const L_CHAR* local, const L_CHAR* user);

// The local documents or system file of a URL path: the pair of the longest matching url prefix
// (else the pair of "/" with the whole path) joined with the rest of the path. A leading "//"
// counts as "/", a path without its leading "/" is taken from the root. Null when the path is
// refused (doc_path_ok) or no pair matches even "/".
L_CHAR* get_qvdocs(const L_CHAR* path);
L_CHAR* get_qvsys(const L_CHAR* path);
// The same for the path part of a URL record; the _apppath forms join a further name.
L_CHAR* get_qvdocs_path(const URL* url);
L_CHAR* get_qvsys_path(const URL* url);
L_CHAR* get_qvdocs_apppath(const URL* url, const L_CHAR* name);
L_CHAR* get_qvsys_apppath(const URL* url, const L_CHAR* name);
// name joined to the system tree of "/"; null without such a pair.
L_CHAR* get_sys_path(const L_CHAR* name);

// True when path may be looked up: absolute, no empty, "." or ".." piece, no backslash, no NUL
// and no percent-encoded '.', '/', '\' or NUL. Only a leading "//" is allowed, as "/".
bool doc_path_ok(const L_CHAR* path);

// Resolves a file path for the built-in named func. On success returns null (0), fills rule with
// a copy of the rule (collected strings, next null) and pair with one or two local paths in the
// order the rule's tree bits give (pair[1] null when one). Otherwise an error value at site (the
// call form, or null) named func:
//   QVE_NO_AGENT_NAME "dbpath and agent name is undefined"  no agent name set;
//   QVE_BAD_FILE_PATH "invalid file path"  no extension after the last '/', not absolute, or
//                                           refused by doc_path_ok;
//   QVE_NO_PREFIX "undefined prefix"       no rule for (extension, agent, func);
//   QVE_NO_PREFIX "undefined path pair"    no pair matches the path, not even "/".
QV_SEXP* get_path(L_CHAR* pair[2], QV_GETFILE* rule, const L_CHAR* path, QV_SEXP* site,
                  const char* func);

// get_path's check of the path alone: its QVE_BAD_FILE_PATH error at site named func, or null
// when path is absolute, has an extension, no ".." and passes doc_path_ok.
QV_SEXP* check_path_shape(const L_CHAR* path, QV_SEXP* site, const char* func);

// Bit 0 when the documents file of path opens for reading, bit 1 when the system file does.
int path_check(const L_CHAR* path);

// The file a tree look-up named, as opening it would reach it: local (a documents or system file
// as get_path gives it) with every symbolic link resolved. 1: *opened is that file and *url its
// URL path in the tree that local was named in (collected strings); 0: nothing is there; -1: the
// resolved file lies outside that tree (a link out of it), and must not be served.
int resolve_tree_file(const L_CHAR* local, L_CHAR** opened, L_CHAR** url);

// ---- prefix rules

// Adds the rule (prefix, agent, each name of names) or replaces its mode and flags. Every element
// of names must be a string: anything else is refused with -1 before any rule changes.
int insert_getfile(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* mode, uint32_t flags,
                   QV_SEXP* names);
void _insert_getfile(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* mode, uint32_t flags,
                     const L_CHAR* name);
// The rule of (prefix, agent, name) copied into *out (collected strings); 0, or -1 when none.
int search_getfile(QV_GETFILE* out, const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* name);
// The rules of prefix in the order of their bucket, the first after the one whose copy is
// `after` (null: from the start); 0 with a copy in *out, -1 at the end.
int search_getfile_by_prefix(QV_GETFILE* out, const L_CHAR* prefix, const QV_GETFILE* after);
// The bucket of a prefix: the sum of its characters modulo GETFILE_BUCKETS.
int getfile_bucket(const L_CHAR* prefix);

// ---- joining

// dir and name with one '/' between them: inserted when dir does not end with '/' unless name
// begins with '/' or '.', dropped once when both have it.
L_CHAR* get_synth_path(const L_CHAR* dir, const L_CHAR* name);
L_CHAR* get_append_path(const L_CHAR* dir, const char* c_name);

// ---- configuration and command text

// The integer bound to ServerPort in the privileged top environment, evaluated once and kept.
// Unbound, or bound to an error of class 0x14 (a break): 0, not kept. Another error or a value that
// is not an integer is printed on standard error ("type missmatch" and the value for the latter)
// and gives -1, not kept: a script's wrong binding fails the request that asked (a call lock with
// an event) instead of ending the agent.
int get_my_port();
// Test hook: forgets every pair, rule, the agent's name and the kept port. Only while no other
// task uses this module.
void reset_docpath();

// The concatenation of the C strings (the list ends with a null) read as QV text in code method
// cm, under the name "sexp_commands", realised completely: the list of its expressions, or the
// first error found in it.
QV_SEXP* sexp_commands(CODE_METHOD* cm, const char* text, ...);
// A 64-bit integer as "%lli", a double as "%f", in the calling task's ring of temporary text.
char* sxc_int(int64_t value);
char* sxc_float(double value);
