// Documents and system paths: path pairs, prefix rules, the agent's name, the configured port and
// command text.
#include "server/docpath.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/alloc.h"
#include "base/task.h"
#include "base/ufile.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "lisp/textcopy.h"
#include "longchar/longchar.h"
#include "stream/string_stream.h"

namespace {

using LS = std::basic_string<L_CHAR>;

// One path pair; the list is kept in descending order of url, without two equal urls.
struct PATH_PAIR {
    LS sys;
    LS docs;
    LS url;
    PATH_PAIR* next;
};

std::mutex pair_mutex;
PATH_PAIR* start = nullptr;  // under pair_mutex; entries are never removed

std::mutex rule_mutex;
QV_GETFILE* getfile_hash[GETFILE_BUCKETS];  // under rule_mutex; rules are never removed

std::mutex agent_mutex;
// Never destroyed: tasks may still use it while the process exits.
LS& agent_name = *new LS;  // under agent_mutex
bool agent_name_set = false;

std::mutex port_mutex;
bool port_cached = false;
int port_value = 0;

LS to_ls(const L_CHAR* s) {
    return s ? LS(s) : LS();
}

LS ascii(const char* s) {
    LS r;
    for (; s && *s; s++)
        r.push_back(static_cast<unsigned char>(*s));
    return r;
}

L_CHAR* out(const LS& s) {
    return ll_copy_mstr(s.c_str());
}

bool starts_with(const LS& s, const LS& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

LS synth(const LS& dir, const LS& name) {
    bool dir_slash = !dir.empty() && dir.back() == '/';
    bool name_slash = !name.empty() && name[0] == '/';
    if (dir_slash && name_slash) return dir + name.substr(1);
    if (!dir_slash && !name_slash && !(name.size() && name[0] == '.'))
        return dir + static_cast<L_CHAR>('/') + name;
    return dir + name;
}

L_CHAR* tracked(const LS& s) {
    auto* p = static_cast<L_CHAR*>(d_alloc(static_cast<int64_t>((s.size() + 1) * sizeof(L_CHAR))));
    memcpy(p, s.c_str(), (s.size() + 1) * sizeof(L_CHAR));
    return p;
}

int hexval(L_CHAR c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

// The tree search: the local file for path in the documents (docs true) or system tree, found
// under pair_mutex. False when no pair matches.
bool tree_file(LS* ret, const LS& given, bool docs) {
    LS path = given;
    if (path.size() >= 2 && path[0] == '/' && path[1] == '/') path.erase(0, 1);
    if (path.empty() || path[0] != '/') path.insert(path.begin(), '/');
    std::lock_guard<std::mutex> g(pair_mutex);
    const PATH_PAIR* hit = nullptr;
    LS rest;
    for (const PATH_PAIR* p = start; p; p = p->next)
        if (!p->url.empty() && starts_with(path, p->url)) {
            hit = p;
            rest = path.substr(p->url.size() - 1);
            break;
        }
    if (!hit) {
        // The pair of the root takes the whole path; without one there is nothing to search
        // (and never a second search).
        for (const PATH_PAIR* p = start; p; p = p->next)
            if (starts_with(LS(1, '/'), p->url)) {
                hit = p;
                rest = path;
                break;
            }
    }
    if (!hit) return false;
    *ret = synth(docs ? hit->docs : hit->sys, rest);
    return true;
}

L_CHAR* tree_path(const L_CHAR* path, bool docs) {
    if (!path) return nullptr;
    // A URL path without its leading '/' is taken from the root of the URLs.
    LS p = to_ls(path);
    if (p.empty() || p[0] != '/') p.insert(p.begin(), '/');
    if (!doc_path_ok(p.c_str())) return nullptr;
    LS r;
    return tree_file(&r, p, docs) ? out(r) : nullptr;
}

bool opens(const LS& path) {
    int fd = u_open(n_string(std_cm, path.c_str()), O_RDONLY);
    if (fd < 0) return false;
    close(fd);
    return true;
}

void copy_rule(QV_GETFILE* dst, const QV_GETFILE* src) {
    dst->next = nullptr;
    dst->flags = src->flags;
    dst->prefix = ll_copy_mstr(src->prefix);
    dst->agent = ll_copy_mstr(src->agent);
    dst->mode = ll_copy_mstr(src->mode);
    dst->cmd_sym = ll_copy_mstr(src->cmd_sym);
}

constexpr L_CHAR EMPTY[1] = {0};

bool same(const L_CHAR* a, const L_CHAR* b) {
    return l_strcmp(a ? a : EMPTY, b ? b : EMPTY) == 0;
}

// The rule of (prefix, agent, name); under rule_mutex.
QV_GETFILE* find_rule(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* name) {
    for (QV_GETFILE* r = getfile_hash[getfile_bucket(prefix)]; r; r = r->next)
        if (same(r->prefix, prefix) && same(r->agent, agent) && same(r->cmd_sym, name)) return r;
    return nullptr;
}

QV_SEXP* path_error(QV_SEXP* site, uint32_t code, const char* func, const char* msg) {
    return eval_error(site, code, func ? func : "get_path", n_get_string(msg));
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// The agent's name

void set_agent_name(const L_CHAR* name) {
    std::lock_guard<std::mutex> g(agent_mutex);
    agent_name = to_ls(name);
    agent_name_set = name != nullptr;
}

L_CHAR* get_agent_name() {
    LS copy;
    {
        std::lock_guard<std::mutex> g(agent_mutex);
        if (!agent_name_set) return nullptr;
        copy = agent_name;
    }
    return out(copy);
}

int copy_agent_name(L_CHAR* buf, int cap) {
    std::lock_guard<std::mutex> g(agent_mutex);
    if (!agent_name_set) return -1;
    int n = static_cast<int>(agent_name.size());
    if (n < cap) {
        std::copy(agent_name.begin(), agent_name.end(), buf);
        buf[n] = 0;
    }
    return n;
}

// ------------------------------------------------------------------------------------------------
// Path pairs

int Reg_List_pathpair(const L_CHAR* local, const L_CHAR* url) {
    if (!local || !url || !*local || !*url) return -1;
    LS l = to_ls(local);
    LS u = to_ls(url);
    std::lock_guard<std::mutex> g(pair_mutex);
    PATH_PAIR** at = &start;
    for (; *at; at = &(*at)->next) {
        int c = l_strcmp((*at)->url.c_str(), u.c_str());
        if (c == 0) return 0;
        if (c < 0) break;
    }
    *at = new PATH_PAIR{synth(l, ascii("qvsys/")), synth(l, ascii("qvdocs/")), u, *at};
    return 0;
}

QV_SEXP* get_pathpair(const L_CHAR* path) {
    if (!path) return nullptr;
    LS p = to_ls(path);
    if (p.empty() || p.back() != '/') p.push_back('/');
    LS docs, sys, url;
    {
        std::lock_guard<std::mutex> g(pair_mutex);
        const PATH_PAIR* hit = nullptr;
        for (const PATH_PAIR* e = start; e && !hit; e = e->next)
            if (starts_with(p, e->docs)) hit = e;
        if (!hit) return nullptr;
        docs = hit->docs;
        sys = hit->sys;
        url = hit->url;
    }
    return list(get_string(docs.c_str()), get_string(sys.c_str()), get_string(url.c_str()),
                nullptr);
}

L_CHAR* get_url_path(const L_CHAR* local, const L_CHAR* user) {
    LS l = to_ls(local);
    LS r;
    bool found = false;
    {
        std::lock_guard<std::mutex> g(pair_mutex);
        for (int tree = 0; tree < 2 && !found; tree++)
            for (const PATH_PAIR* e = start; e && !found; e = e->next) {
                const LS& base = tree == 0 ? e->docs : e->sys;
                if (local && starts_with(l, base)) {
                    r = synth(e->url, l.substr(base.size()));
                    found = true;
                }
            }
    }
    if (!found) return user ? ll_copy_mstr(user) : nullptr;
    return out(r);
}

L_CHAR* get_qvdocs(const L_CHAR* path) {
    return tree_path(path, true);
}

L_CHAR* get_qvsys(const L_CHAR* path) {
    return tree_path(path, false);
}

L_CHAR* get_qvdocs_path(const URL* url) {
    if (!url) return nullptr;
    L_CHAR* p = get_url_filepath(url);
    L_CHAR* r = get_qvdocs(p);
    d_f_ree(p);
    return r;
}

L_CHAR* get_qvsys_path(const URL* url) {
    if (!url) return nullptr;
    L_CHAR* p = get_url_filepath(url);
    L_CHAR* r = get_qvsys(p);
    d_f_ree(p);
    return r;
}

L_CHAR* get_qvdocs_apppath(const URL* url, const L_CHAR* name) {
    L_CHAR* d = get_qvdocs_path(url);
    return d ? get_synth_path(d, name) : nullptr;
}

L_CHAR* get_qvsys_apppath(const URL* url, const L_CHAR* name) {
    L_CHAR* d = get_qvsys_path(url);
    return d ? get_synth_path(d, name) : nullptr;
}

L_CHAR* get_sys_path(const L_CHAR* name) {
    LS root;
    if (!tree_file(&root, LS(1, '/'), false)) return nullptr;
    return out(synth(root, to_ls(name)));
}

bool doc_path_ok(const L_CHAR* path) {
    if (!path || path[0] != '/') return false;
    const L_CHAR* p = path[1] == '/' ? path + 1 : path;
    // Walk the pieces after each '/'.
    while (*p == '/') {
        const L_CHAR* e = p + 1;
        while (*e && *e != '/')
            e++;
        size_t n = static_cast<size_t>(e - (p + 1));
        LS piece(p + 1, n);
        if (n == 0 && *e == '/') return false;  // an empty piece inside the path
        if (piece == ascii(".") || piece == ascii("..")) return false;
        for (size_t i = 0; i < n; i++) {
            L_CHAR c = piece[i];
            if (c == '\\') return false;
            if (c == '%' && i + 2 < n) {
                int h = hexval(piece[i + 1]);
                int l = hexval(piece[i + 2]);
                // An encoded '.', '/', '\', NUL or '%' (a second round of decoding) is refused.
                if (h >= 0 && l >= 0) {
                    int v = h * 16 + l;
                    if (v == '.' || v == '/' || v == '\\' || v == 0 || v == '%') return false;
                }
            }
        }
        p = e;
    }
    return *p == 0;
}

// The extension of path: its last '.' when no '/' follows it, else null.
static const L_CHAR* path_extension(const L_CHAR* path) {
    const L_CHAR* last = nullptr;
    for (const L_CHAR* c = path; c && *c; c++)
        if (*c == '.' || *c == '/') last = c;
    return last && *last == '.' ? last : nullptr;
}

QV_SEXP* check_path_shape(const L_CHAR* path, QV_SEXP* site, const char* func) {
    // No ".." anywhere in a published path, inside a name too ("/a/.../x.qv").
    bool dots = false;
    for (const L_CHAR* c = path; c && c[0] && !dots; c++)
        dots = c[0] == '.' && c[1] == '.';
    if (!path_extension(path) || dots || !doc_path_ok(path))
        return path_error(site, QVE_BAD_FILE_PATH, func, "invalid file path");
    return nullptr;
}

QV_SEXP* get_path(L_CHAR* pair[2], QV_GETFILE* rule, const L_CHAR* path, QV_SEXP* site,
                  const char* func) {
    pair[0] = pair[1] = nullptr;
    L_CHAR* agent = get_agent_name();
    if (!agent)
        return path_error(site, QVE_NO_AGENT_NAME, func, "dbpath and agent name is undefined");
    if (QV_SEXP* bad = check_path_shape(path, site, func)) return bad;
    const L_CHAR* dot = path_extension(path);
    QV_GETFILE found;
    if (search_getfile(&found, dot, agent, ascii(func ? func : "").c_str()) < 0)
        return path_error(site, QVE_NO_PREFIX, func, "undefined prefix");
    LS docs, sys;
    LS p = to_ls(path);
    if (!tree_file(&docs, p, true) || !tree_file(&sys, p, false))
        return path_error(site, QVE_NO_PREFIX, func, "undefined path pair");
    switch (found.flags & GF_TREES) {
        case GF_SYS_ONLY:
            pair[0] = out(sys);
            break;
        case GF_DOCS_ONLY:
            pair[0] = out(docs);
            break;
        case GF_SYS_THEN_DOCS:
            pair[0] = out(sys);
            pair[1] = out(docs);
            break;
        default:
            pair[0] = out(docs);
            pair[1] = out(sys);
            break;
    }
    if (rule) *rule = found;
    return nullptr;
}

int resolve_tree_file(const L_CHAR* local, L_CHAR** opened, L_CHAR** url) {
    *opened = *url = nullptr;
    if (!local) return 0;
    LS l = to_ls(local);
    // The tree local was named in: of every pair's two, the longest root that holds it.
    LS root, base_url;
    {
        std::lock_guard<std::mutex> g(pair_mutex);
        for (const PATH_PAIR* e = start; e; e = e->next)
            for (const LS* tree : {&e->docs, &e->sys})
                if (starts_with(l, *tree) && tree->size() > root.size()) {
                    root = *tree;
                    base_url = e->url;
                }
    }
    if (root.empty()) return -1;
    std::string file_bytes = n_string(std_cm, l.c_str());
    std::string root_bytes = n_string(std_cm, root.c_str());
    char* real_file = realpath(file_bytes.c_str(), nullptr);
    if (!real_file) return 0;
    char* real_root = realpath(root_bytes.c_str(), nullptr);
    std::string file = real_file, tree = real_root ? real_root : "";
    free(real_file);
    free(real_root);
    if (tree.empty()) return -1;
    if (tree.back() != '/') tree.push_back('/');
    if (file.size() <= tree.size() || file.compare(0, tree.size(), tree) != 0) return -1;
    *opened = _nl_copy_mstr_1(std_cm, file.c_str());
    LS rest = to_ls(_l_string_1(std_cm, file.c_str() + tree.size()));
    *url = out(synth(base_url.empty() ? LS(1, '/') : base_url, rest));
    return 1;
}

int path_check(const L_CHAR* path) {
    if (!doc_path_ok(path)) return 0;
    LS p = to_ls(path);
    LS docs, sys;
    int r = 0;
    if (tree_file(&docs, p, true) && opens(docs)) r |= 1;
    if (tree_file(&sys, p, false) && opens(sys)) r |= 2;
    return r;
}

// ------------------------------------------------------------------------------------------------
// Prefix rules

int getfile_bucket(const L_CHAR* prefix) {
    uint32_t sum = 0;
    for (const L_CHAR* c = prefix; c && *c; c++)
        sum += *c;
    return static_cast<int>(sum % GETFILE_BUCKETS);
}

void _insert_getfile(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* mode, uint32_t flags,
                     const L_CHAR* name) {
    LS m = to_ls(mode);
    std::lock_guard<std::mutex> g(rule_mutex);
    if (QV_GETFILE* r = find_rule(prefix, agent, name)) {
        d_f_ree(r->mode);
        r->mode = tracked(m);
        r->flags = flags;
        return;
    }
    auto* r = static_cast<QV_GETFILE*>(d_alloc(sizeof(QV_GETFILE)));
    r->flags = flags;
    r->prefix = tracked(to_ls(prefix));
    r->agent = tracked(to_ls(agent));
    r->mode = tracked(m);
    r->cmd_sym = tracked(to_ls(name));
    int b = getfile_bucket(prefix);
    r->next = getfile_hash[b];
    getfile_hash[b] = r;
}

int insert_getfile(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* mode, uint32_t flags,
                   QV_SEXP* names) {
    for (QV_SEXP* c = names; get_type(c) == QVT_PAIR; c = c->pair.cdr)
        if (get_type(c->pair.car) != QVT_STRING) return -1;
    for (QV_SEXP* c = names; get_type(c) == QVT_PAIR; c = c->pair.cdr)
        _insert_getfile(prefix, agent, mode, flags, c->pair.car->string.data);
    return 0;
}

int search_getfile(QV_GETFILE* out_rule, const L_CHAR* prefix, const L_CHAR* agent,
                   const L_CHAR* name) {
    QV_GETFILE copy;
    {
        std::lock_guard<std::mutex> g(rule_mutex);
        QV_GETFILE* r = find_rule(prefix, agent, name);
        if (!r) return -1;
        copy = *r;
        // The strings are copied below, outside the lock; the mode may be replaced meanwhile,
        // so it is copied now.
        LS m = to_ls(r->mode);
        copy.mode = tracked(m);
    }
    L_CHAR* m = copy.mode;
    copy_rule(out_rule, &copy);
    d_f_ree(m);
    return 0;
}

int search_getfile_by_prefix(QV_GETFILE* out_rule, const L_CHAR* prefix, const QV_GETFILE* after) {
    QV_GETFILE copy;
    {
        std::lock_guard<std::mutex> g(rule_mutex);
        QV_GETFILE* r = getfile_hash[getfile_bucket(prefix)];
        if (after) {
            while (r && !(same(r->prefix, after->prefix) && same(r->agent, after->agent) &&
                          same(r->cmd_sym, after->cmd_sym)))
                r = r->next;
            if (r) r = r->next;
        }
        while (r && !same(r->prefix, prefix))
            r = r->next;
        if (!r) return -1;
        copy = *r;
        copy.mode = tracked(to_ls(r->mode));
    }
    L_CHAR* m = copy.mode;
    copy_rule(out_rule, &copy);
    d_f_ree(m);
    return 0;
}

// ------------------------------------------------------------------------------------------------
// Joining

L_CHAR* get_synth_path(const L_CHAR* dir, const L_CHAR* name) {
    return out(synth(to_ls(dir), to_ls(name)));
}

L_CHAR* get_append_path(const L_CHAR* dir, const char* c_name) {
    return out(synth(to_ls(dir), to_ls(_l_string_1(std_cm, c_name ? c_name : ""))));
}

// ------------------------------------------------------------------------------------------------
// Configuration and command text

int get_my_port() {
    {
        std::lock_guard<std::mutex> g(port_mutex);
        if (port_cached) return port_value;
    }
    if (!vxlisp_top_env1) return 0;
    // The binding itself is read: a task without an interpreter would otherwise meet the
    // break check first.
    QV_SEXP* v = nullptr;
    if (_eval_symbol(&v, vxlisp_top_env1, l_string(std_cm, "ServerPort"), -1) != 0) return 0;
    switch (get_type(v)) {
        case QVT_INTEGER: {
            int port = static_cast<int>(v->integer.data);
            std::lock_guard<std::mutex> g(port_mutex);
            port_cached = true;
            port_value = port;
            return port;
        }
        case QVT_ERROR:
            // A break: no port known yet.
            if (((v->error.code >> 8) & 0xff) == 0x14) return 0;
            fprintf(stderr, "%s\n", print_sexp_text(v, 0).c_str());
            return -1;
        default:
            fprintf(stderr, "type missmatch%s\n", print_sexp_text(v, 0).c_str());
            return -1;
    }
}

void reset_docpath() {
    {
        std::lock_guard<std::mutex> g(port_mutex);
        port_cached = false;
        port_value = 0;
    }
    set_agent_name(nullptr);
    {
        std::lock_guard<std::mutex> g(pair_mutex);
        while (PATH_PAIR* p = start) {
            start = p->next;
            delete p;
        }
    }
    std::lock_guard<std::mutex> g(rule_mutex);
    for (QV_GETFILE*& head : getfile_hash)
        while (QV_GETFILE* r = head) {
            head = r->next;
            d_f_ree(r->prefix);
            d_f_ree(r->agent);
            d_f_ree(r->mode);
            d_f_ree(r->cmd_sym);
            d_f_ree(r);
        }
}

QV_SEXP* sexp_commands(CODE_METHOD* cm, const char* text, ...) {
    std::string all;
    va_list ap;
    va_start(ap, text);
    for (const char* s = text; s; s = va_arg(ap, const char*))
        all += s;
    va_end(ap);
    STREAM* st = s_open_string_read(all.data(), cm ? cm : std_cm, static_cast<int>(all.size()), 1);
    if (!st) return nullptr;
    QV_SEXP* top = init_parse(st, l_string(std_cm, "sexp_commands"), nullptr);
    realize_whole(top);
    if (get_type(top) == QVT_NIL) return nullptr;
    if (QV_SEXP* err = list_error(top); get_type(err) == QVT_ERROR) return err;
    return top;
}

char* sxc_int(int64_t value) {
    char* b = static_cast<char*>(d_alloc(100));
    snprintf(b, 100, "%lli", static_cast<long long>(value));
    set_buffer(b);
    return b;
}

char* sxc_float(double value) {
    char* b = static_cast<char*>(d_alloc(100));
    snprintf(b, 100, "%f", value);
    set_buffer(b);
    return b;
}
