// Rule and its guards Target, Exist and NotExist: the directory walk with Accept/Ignore patterns.
#include "builtins/rule.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/numtext.h"
#include "base/textutil.h"
#include "base/ufile.h"
#include "builtins/bltn_util.h"
#include "builtins/control.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/gchooks.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "stream/sprintf.h"

namespace {

QVISP_ENV* rule_env = nullptr;

// Bytes of path text (with a share for each component's record) the walk may hold at once.
size_t walk_limit = size_t{64} << 20;

void gc_rule_env() {
    gc_vxlisp_env(rule_env);
}

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

std::string to_bytes(const L_CHAR* text) {
    const char* b = n_string(std_cm, text);
    return b ? std::string(b) : std::string();
}

// The quiet end of a guard that is not satisfied.
QV_SEXP* guard_break(QV_SEXP* form, const char* func) {
    return bltn_error_s(form, QVE_LOOP_BREAK, func, nullptr);
}

QV_SEXP* guard_type_error(QV_SEXP* form, const char* func) {
    return bltn_error_s(form, QVE_TYPE_MISMATCH, func, nullptr);
}

// What the walk holds for one path.
size_t path_cost(const PATH_PATTERN& pp) {
    size_t n = 64 + pp.dirs.size() * sizeof(DIR_ID);
    for (const PATH_ELEMENT& e : pp.path)
        n += e.name.size() + sizeof(PATH_ELEMENT);
    return n;
}

// Lists the directory of pp (the current directory when pp is null) and adds to *out every entry
// that the patterns admit partially. A directory already listed on the way to pp (reached again
// through a symbolic link) is not listed again. False when *held went beyond the limit.
bool trace_path(const PATH_PATTERN* pp, const std::vector<PATH_PATTERN>& patterns,
                std::vector<PATH_PATTERN>* out, size_t* held) {
    std::string dir = pp ? make_name(*pp) : std::string(".");
    DIR* d = u_opendir(dir.c_str());
    if (!d) {
        fprintf(stderr, "cannot open the dir \"%s\"\n", visible_text(dir).c_str());
        return true;
    }
    struct stat st;
    DIR_ID id = {0, 0};
    if (fstat(dirfd(d), &st) == 0) id = {static_cast<unsigned long>(st.st_dev), st.st_ino};
    if (pp) {
        for (const DIR_ID& a : pp->dirs) {
            if (a.dev == id.dev && a.ino == id.ino) {
                fprintf(stderr, "directory loop at \"%s\"\n", visible_text(dir).c_str());
                closedir(d);
                return true;
            }
        }
    }
    bool ok = true;
    while (dirent* ent = u_readdir(d)) {
        if (ent->d_name[0] == '.') continue;
        std::string full = dir + "/" + ent->d_name;
        U_STAT us;
        if (u_stat(full.c_str(), &us) != 0) {
            fprintf(stderr, "\"%s\": %s\n", visible_text(full).c_str(), strerror(errno));
            continue;
        }
        int type;
        if (S_ISDIR(us.us_mode))
            type = PE_DIR;
        else if (S_ISREG(us.us_mode))
            type = PE_FILE;
        else
            continue;
        PATH_PATTERN e;
        e.type = PP_MET;
        if (pp) {
            e.path = pp->path;
            e.dirs = pp->dirs;
        }
        e.dirs.push_back(id);
        e.path.push_back({type, ent->d_name});
        if (!compare_path(e, patterns, 0)) continue;
        *held += path_cost(e);
        if (*held > walk_limit) {
            ok = false;
            break;
        }
        out->push_back(std::move(e));
    }
    closedir(d);
    return ok;
}

// One (Ignore pattern) or (Accept pattern) form, evaluated in env, added to *patterns; null, or
// the error value.
QV_SEXP* qv_ignore_accept(int type, QVISP_ENV* env, QV_SEXP* form,
                          std::vector<PATH_PATTERN>* patterns) {
    if (list_length(form) != 2)
        return bltn_error_s(form, QVE_PARAM_LENGTH, "Rule/Accept", "invalid param length");
    QV_SEXP* v = eval(env, get_el(form, 1));
    if (is_error(v)) return v;
    if (get_type(v) != QVT_STRING)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "Rule/Accept", "type missmatch");
    PATH_PATTERN pp = parse_path(to_bytes(v->string.data));
    pp.type = type;
    patterns->push_back(std::move(pp));
    return nullptr;
}

// The body once per path with `from` bound to the path; a guard's Break ends it for that path.
QV_SEXP* exec_1by1(const std::vector<std::string>& paths, QVISP_ENV* env, QV_SEXP* body) {
    for (const std::string& path : paths) {
        gc_push_literal("Rule");
        QVISP_ENV* e = new_env(env);
        set_env(e, l_string(std_cm, "from"), n_get_string(path.c_str()));
        QV_SEXP* out = nullptr;
        for (QV_SEXP* c = body; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
            if (is_error(c->pair.car)) {
                out = c->pair.car;
                break;
            }
            QV_SEXP* v = eval(e, c->pair.car);
            if (is_error(v)) {
                if (v->error.code != QVE_LOOP_BREAK) out = v;
                break;
            }
        }
        gc_pop(out, out ? gc_vx_sexp : nullptr);
        if (out) return out;
    }
    return nullptr;
}

// The body once with `from` bound to the list of the paths (in reverse order).
QV_SEXP* exec_allfor1(const std::vector<std::string>& paths, QVISP_ENV* env, QV_SEXP* body) {
    gc_push_literal("Rule allfor1");
    QV_SEXP* list = nullptr;
    for (const std::string& path : paths)
        list = cons(n_get_string(path.c_str()), list);
    QVISP_ENV* e = new_env(env);
    set_env(e, l_string(std_cm, "from"), list);
    QV_SEXP* out = nullptr;
    for (QV_SEXP* c = body; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        if (is_error(c->pair.car)) {
            out = c->pair.car;
            break;
        }
        QV_SEXP* v = eval(e, c->pair.car);
        if (is_error(v) && v->error.code == QVE_LOOP_BREAK) {
            out = nullptr;
            break;
        }
        out = v;
        if (is_error(v)) break;
    }
    gc_pop(out, out ? gc_vx_sexp : nullptr);
    return out;
}

// Nil when every dependency exists and is newer than time, else the guard's Break or an error.
// The dependency lists are walked with an explicit stack, so nesting costs no machine stack.
QV_SEXP* check_target(QV_SEXP* form, QV_SEXP* deps, int64_t time) {
    std::vector<QV_SEXP*> stack;
    stack.push_back(deps);
    while (!stack.empty()) {
        QV_SEXP* d = stack.back();
        stack.pop_back();
        switch (get_type(d)) {
            case QVT_NIL:
                break;
            case QVT_PAIR:
                if (d->pair.cdr) stack.push_back(d->pair.cdr);
                stack.push_back(d->pair.car);
                break;
            case QVT_STRING: {
                U_STAT st;
                std::string path = to_bytes(d->string.data);
                if (u_stat(path.c_str(), &st) != 0 || !(st.us_mtime_full > time))
                    return guard_break(form, "Target");
                break;
            }
            case QVT_ERROR:
                return d;
            default:
                return guard_type_error(form, "Target");
        }
    }
    return nullptr;
}

// The permission of the `mode` attribute, read as "%i" does; 0755 when absent or not a number,
// a number beyond the int range included (never the bits of its low 32).
int target_mode(QV_SYM_FIELD* attr) {
    const L_CHAR* text = attr_text(attr, "mode");
    if (!text) return 0755;
    std::string b = to_bytes(text);
    int m;
    if (read_prefix_int(b, &m) != NUM_OK) return 0755;
    return m & 07777;
}

bool path_exists(QV_SEXP* s) {
    U_STAT st;
    return u_stat(to_bytes(s->string.data).c_str(), &st) == 0;
}

}  // namespace

size_t rule_set_walk_limit(size_t limit) {
    size_t old = walk_limit;
    walk_limit = limit;
    return old;
}

PATH_PATTERN parse_path(const std::string& text) {
    PATH_PATTERN pp;
    pp.type = PP_MET;
    size_t start = 0;
    for (;;) {
        size_t slash = text.find('/', start);
        std::string name =
            text.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (slash == std::string::npos) {
            // The last component; a path ending with "/" has none.
            if (start < text.size() || text.empty())
                pp.path.push_back({name == "**" ? PE_ANY : PE_FILE, name});
            break;
        }
        if (start == 0 && name.empty()) name.assign(1, '$');
        pp.path.push_back({PE_DIR, name});
        start = slash + 1;
    }
    return pp;
}

std::string make_name(const PATH_PATTERN& pp) {
    std::string s;
    for (size_t i = 0; i < pp.path.size(); i++) {
        if (i) s += '/';
        s += pp.path[i].name;
    }
    return s;
}

size_t pp_length(const std::vector<PATH_PATTERN>& list) {
    return list.size();
}

void print_path2(const PATH_PATTERN& pp) {
    std::string t;
    for (size_t i = 0; i < pp.path.size(); i++) {
        t += pp.path[i].name;
        if (i + 1 < pp.path.size() || pp.path[i].type == PE_DIR) t += "/";
    }
    ss_printf("path:%s\n", t.empty() ? "." : t.c_str());
}

void print_path(const std::vector<PATH_PATTERN>& list) {
    for (const PATH_PATTERN& pp : list)
        print_path2(pp);
}

bool compare_dir(const std::string& name, const std::string& pattern) {
    // Every "*" takes at least one character, so a longer pattern cannot match.
    size_t n = name.size(), p = pattern.size();
    if (p > n) return false;
    // A "*" stands for 1 .. n-1 characters (one at least, also for a one-character name).
    size_t maxw = n > 1 ? n - 1 : 1;
    // ok[i]: pattern[pi..] matches name[i..]; rows computed from the end of the pattern.
    std::vector<char> ok(n + 1, 0), next(n + 1, 0);
    next[n] = 1;
    for (size_t pi = p; pi-- > 0;) {
        std::fill(ok.begin(), ok.end(), 0);
        if (pattern[pi] == '*') {
            // Count of true entries of next in (i, i+maxw], by a sliding window.
            std::vector<size_t> sum(n + 2, 0);
            for (size_t k = n + 1; k-- > 0;)
                sum[k] = sum[k + 1] + (k <= n && next[k] ? 1 : 0);
            for (size_t i = 0; i < n; i++) {
                size_t hi = std::min(n, i + maxw);
                ok[i] = sum[i + 1] - sum[hi + 1] > 0;
            }
        } else {
            for (size_t i = 0; i < n; i++)
                ok[i] = name[i] == pattern[pi] && next[i + 1];
        }
        std::swap(ok, next);
    }
    return next[0];
}

bool _compare_path(const PATH_PATTERN& pp, const PATH_PATTERN& pattern, int mode) {
    // reach[j*(n+1)+i]: the first j pattern components match the first i path components. Each
    // pattern component takes at least one path component, so only the first n+1 rows matter.
    size_t n = pp.path.size();
    size_t m = std::min(pattern.path.size(), n + 1);
    if (mode == 1 && pattern.path.size() > n) return false;
    std::vector<char> reach((m + 1) * (n + 1), 0);
    auto at = [&](size_t j, size_t i) -> char& { return reach[j * (n + 1) + i]; };
    at(0, 0) = 1;
    for (size_t j = 0; j < m; j++) {
        const PATH_ELEMENT& pe = pattern.path[j];
        bool dirs_only = pe.type == PE_DIR && pe.name == "**";
        for (size_t i = 0; i < n; i++) {
            if (!at(j, i)) continue;
            if (pe.type == PE_ANY || dirs_only) {
                for (size_t k = i; k < n; k++) {
                    if (dirs_only && pp.path[k].type != PE_DIR) break;
                    at(j + 1, k + 1) = 1;
                }
            } else if (pp.path[i].type == pe.type && compare_dir(pp.path[i].name, pe.name)) {
                at(j + 1, i + 1) = 1;
            }
        }
    }
    if (mode == 1) return at(m, n);
    for (size_t j = 0; j <= m; j++)
        if (at(j, n)) return true;
    return false;
}

bool compare_path(const PATH_PATTERN& pp, const std::vector<PATH_PATTERN>& patterns, int mode) {
    // An Ignore pattern excludes only what it matches completely, also while the walk decides
    // which directories to enter: otherwise an Ignore of "a/b/" would match "a" partially and
    // prune the whole of "a" instead of "a/b" alone.
    for (const PATH_PATTERN& pat : patterns) {
        int m = pat.type == PP_ACCEPT ? mode : 1;
        if (_compare_path(pp, pat, m)) return pat.type == PP_ACCEPT;
    }
    return false;
}

bool filter_path(const std::vector<PATH_PATTERN>& patterns, std::vector<std::string>* out) {
    // One pass per directory level: the paths met in the last pass are checked for a complete
    // match, and the directories among them are listed for the next pass.
    size_t held = 0;
    std::vector<PATH_PATTERN> pass, next;
    bool ok = trace_path(nullptr, patterns, &pass, &held);
    while (ok && !pass.empty()) {
        next.clear();
        for (const PATH_PATTERN& p : pass) {
            if (compare_path(p, patterns, 1)) {
                std::string name = make_name(p);
                held += name.size() + 32;
                out->push_back(std::move(name));
            }
            if (p.path.back().type != PE_FILE && !trace_path(&p, patterns, &next, &held)) {
                ok = false;
                break;
            }
        }
        for (const PATH_PATTERN& p : pass)
            held -= path_cost(p);
        std::swap(pass, next);
        if (held > walk_limit) ok = false;
    }
    std::sort(out->begin(), out->end());
    return ok;
}

int make_dir(const std::string& path, int mode) {
    // Each leading run of components ending with a directory component, joined as it stands
    // ("/a/b/c" gives "/a" and "/a/b"). Only directories created here get the permission: one
    // that existed already keeps its own.
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (slash == 0 || path[slash - 1] == '/') continue;
        std::string dir = path.substr(0, slash);
        if (m_mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) {
            int err = errno;
            fprintf(stderr, ">> %s\nbuf %s\n", visible_text(dir).c_str(), strerror(err));
            return -1;
        }
    }
    return 0;
}

QV_SEXP* qv_Rule(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                 QVISP_ENV*) {
    std::vector<PATH_PATTERN> patterns;
    QV_SEXP* body = form_rest(form, 1);
    for (; get_type(body) == QVT_PAIR; body = body->pair.cdr) {
        QV_SEXP* el = body->pair.car;
        if (is_error(el)) return el;
        if (get_type(el) != QVT_PAIR) break;
        QV_SEXP* head = el->pair.car;
        if (is_error(head)) return head;
        if (get_type(head) != QVT_SYMBOL) break;
        int type = text_is(head->symbol.data, "Ignore")   ? PP_IGNORE
                   : text_is(head->symbol.data, "Accept") ? PP_ACCEPT
                                                          : 0;
        if (!type) break;
        if (QV_SEXP* err = qv_ignore_accept(type, env, el, &patterns)) return err;
    }
    std::vector<std::string> paths;
    if (!filter_path(patterns, &paths))
        return bltn_error_l(form, QVE_NO_MEMORY, "Rule", "too many paths");
    patterns.clear();
    QVISP_ENV* benv = new_env_pair(args_env, env);
    if (text_is(attr_text(attr, "target"), "allfor1")) return exec_allfor1(paths, benv, body);
    return exec_1by1(paths, benv, body);
}

QV_SEXP* qv_Target(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int mode = target_mode(attr);
    bool make = text_is(attr_text(attr, "dir"), "make");
    QV_SEXP* target = get_el(form, 1);
    if (is_error(target)) return target;
    if (get_type(target) != QVT_STRING) return guard_type_error(form, "Target");
    std::string path = to_bytes(target->string.data);
    U_STAT st;
    if (u_stat(path.c_str(), &st) == 0)
        return check_target(form, form_rest(form, 2), st.us_mtime_full);
    if (!make) return guard_break(form, "Target");
    if (!env_is_privileged(env)) return permission_error(form, "Target");
    make_dir(path, mode);
    return nullptr;
}

QV_SEXP* qv_Exist(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* p = get_el(form, 1);
    if (get_type(p) != QVT_STRING) return guard_type_error(form, "Exist");
    return path_exists(p) ? nullptr : guard_break(form, "Exist");
}

QV_SEXP* qv_NotExist(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* p = get_el(form, 1);
    if (get_type(p) != QVT_STRING) return guard_type_error(form, "NotExist");
    return path_exists(p) ? guard_break(form, "NotExist") : nullptr;
}

void init_Rule(QVISP_ENV* env) {
    rule_env = new_env(nullptr);
    gc_hook_mark(gc_rule_env);  // refused as a duplicate after the first start-up: same hook
    set_env(rule_env, l_string(std_cm, "Target"),
            get_func_prim(qv_Target, FUNC_APPLICATIVE, nullptr, 3, FUNC_NO_MAX));
    set_env(rule_env, l_string(std_cm, "Exist"),
            get_func_prim(qv_Exist, FUNC_APPLICATIVE, nullptr, 2, FUNC_NO_MAX));
    set_env(rule_env, l_string(std_cm, "NotExist"),
            get_func_prim(qv_NotExist, FUNC_APPLICATIVE, nullptr, 2, FUNC_NO_MAX));
    set_env(env, l_string(std_cm, "Rule"),
            get_func_prim(qv_Rule, FUNC_NORMAL, rule_env, 2, FUNC_NO_MAX));
}
