// Built-ins of path pairs, prefix rules, the agent's name, the script directory and the log path.
#include "builtins/docpaths.h"

#include "base/confpath.h"
#include "builtins/bltn_util.h"
#include "lisp/list.h"
#include "lisp/textcopy.h"
#include "longchar/longchar.h"
#include "server/docpath.h"
#include "server/logpath.h"

namespace {

bool is_string(QV_SEXP* v) {
    return get_type(v) == QVT_STRING;
}

QV_SEXP* mismatch(QV_SEXP* form, const char* func) {
    return bltn_error_s(form, QVE_TYPE_MISMATCH, func, "type missmatch");
}

}  // namespace

QV_SEXP* qv_GetQVpathpair(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    if (!is_string(path)) return mismatch(form, "GetQVpathpair");
    return get_pathpair(path->string.data);
}

QV_SEXP* qv_GetPrefixMode(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* prefix = get_el(form, 1);
    if (!is_string(prefix)) return mismatch(form, "GetPrefixMode");
    QV_SEXP* r = nullptr;
    QV_GETFILE rule, prev;
    QV_GETFILE* after = nullptr;
    while (search_getfile_by_prefix(&rule, prefix->string.data, after) == 0) {
        QV_SEXP* one = list(get_string(rule.prefix), get_string(rule.agent), get_string(rule.mode),
                            get_integer(rule.flags, nullptr),
                            list(get_string(rule.cmd_sym), nullptr), nullptr);
        r = cons(one, r);
        prev = rule;
        after = &prev;
    }
    return r;
}

QV_SEXP* qv_SetPrefixMode(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    for (QV_SEXP* c = cdr(form); get_type(c) == QVT_PAIR; c = c->pair.cdr)
        if (!is_string(c->pair.car)) return mismatch(form, "SetPrefixMode");
    uint32_t flags = GF_DOCS_ONLY | GF_LOCK_OFF;
    for (QV_SYM_FIELD* f = attr; f; f = f->next) {
        if (text_is(f->name, "qvsys")) {
            if (text_is(f->data, "precedence")) flags = (flags & ~GF_TREES) | GF_SYS_THEN_DOCS;
            if (text_is(f->data, "only")) flags = (flags & ~GF_TREES) | GF_SYS_ONLY;
        } else if (text_is(f->name, "qvdocs")) {
            if (text_is(f->data, "precedence")) flags = (flags & ~GF_TREES) | GF_DOCS_THEN_SYS;
            if (text_is(f->data, "only")) flags = (flags & ~GF_TREES) | GF_DOCS_ONLY;
        } else if (text_is(f->name, "lock")) {
            if (text_is(f->data, "full")) flags = (flags & ~GF_LOCK) | GF_LOCK_FULL;
            if (text_is(f->data, "url")) flags = (flags & ~GF_LOCK) | GF_LOCK_URL;
            if (text_is(f->data, "off")) flags = (flags & ~GF_LOCK) | GF_LOCK_OFF;
        }
    }
    QV_SEXP* prefix = get_el(form, 1);
    insert_getfile(prefix->string.data, get_el(form, 2)->string.data, get_el(form, 3)->string.data,
                   flags, form_rest(form, 4));
    return prefix;
}

QV_SEXP* qv_SetDatabasePath(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    int n = list_length(form);
    for (int i = 1; i < n; i++)
        if (!is_string(get_el(form, i))) return mismatch(form, "SetDatabasePath");
    if (n < 3) return list(get_el(form, 1), nullptr);
    // The directory of the path, through its last '/'; "/" when it has none.
    const L_CHAR* p = get_el(form, 2)->string.data;
    int cut = -1;
    for (int i = 0; p[i]; i++)
        if (p[i] == '/') cut = i;
    L_CHAR* dir;
    if (cut < 0) {
        dir = std_text("/");
    } else {
        dir = ll_copy_mstr(p);
        dir[cut + 1] = 0;
    }
    if (Reg_List_pathpair(dir, std_text("/")) < 0)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "SetDatabasePath",
                            "Failed registory path_pair");
    return nullptr;
}

QV_SEXP* qv_SetDirectory(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    if (!is_string(path)) return mismatch(form, "SetDirectory");
    const L_CHAR* url = attr_text(attr, "url");
    if (!url) return bltn_error_s(form, QVE_INVALID_PARAMETER, "SetDirectory", "invalid path url");
    if (Reg_List_pathpair(path->string.data, url) < 0)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "SetDirectory",
                            "Failed registory path_pair");
    return list(path, nullptr);
}

QV_SEXP* qv_SetLogPath(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    QV_SEXP* size = get_el(form, 2);
    QV_SEXP* count = get_el(form, 3);
    if (!is_string(path) || get_type(size) != QVT_INTEGER || get_type(count) != QVT_INTEGER)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "SetLogPath", nullptr);
    set_log_path(path->string.data, size->integer.data, count->integer.data);
    return nullptr;
}

QV_SEXP* qv_SetScriptPath(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    if (!is_string(path)) return mismatch(form, "SetScriptPath");
    set_script_path(path->string.data);
    return nullptr;
}

QV_SEXP* qv_SetThisAgentName(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* name = get_el(form, 1);
    if (!is_string(name)) return mismatch(form, "SetThisAgentName");
    set_agent_name(name->string.data);
    return name;
}

void init_SetPrefixMode(QVISP_ENV* env) {
    bind_prim(env, "SetPrefixMode", qv_SetPrefixMode, FUNC_APPLICATIVE, 4, FUNC_NO_MAX);
}
void init_GetPrefixMode(QVISP_ENV* env) {
    bind_prim(env, "GetPrefixMode", qv_GetPrefixMode, FUNC_APPLICATIVE, 2, 2);
}
void init_SetThisAgentName(QVISP_ENV* env) {
    bind_prim(env, "SetThisAgentName", qv_SetThisAgentName, FUNC_APPLICATIVE, 2, 2);
}
void init_SetDatabasePath(QVISP_ENV* env) {
    bind_prim(env, "SetDatabasePath", qv_SetDatabasePath, FUNC_APPLICATIVE, 2, 3);
}
void init_SetDirectory(QVISP_ENV* env) {
    bind_prim(env, "SetDirectory", qv_SetDirectory, FUNC_APPLICATIVE, 2, 2);
}
void init_GetQVpathpair(QVISP_ENV* env) {
    bind_prim(env, "GetQVpathpair", qv_GetQVpathpair, FUNC_APPLICATIVE, 2, 2);
}
void init_SetLogPath(QVISP_ENV* env) {
    bind_prim(env, "SetLogPath", qv_SetLogPath, FUNC_APPLICATIVE, 4, 4);
}
void init_SetScriptPath(QVISP_ENV* env) {
    bind_prim(env, "SetScriptPath", qv_SetScriptPath, FUNC_APPLICATIVE, 2, 2);
}
