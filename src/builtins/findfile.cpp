// FindFile and the wildcard expansion behind it.
#include "builtins/findfile.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/confpath.h"
#include "base/textutil.h"
#include "base/ufile.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "stream/sprintf.h"

namespace {

// One part of a wildcard path.
struct WPART {
    std::string text;
    bool wild;
};

// A path found so far and its kind.
struct FOUND {
    std::string name;
    int flags;
};

// DL_FILE, DL_DIR, or 0 for a missing path or one of another kind.
int kind_of(const std::string& path, U_STAT* st = nullptr) {
    U_STAT s;
    errno = 0;
    if (u_stat(path.c_str(), &s) != 0) return 0;
    if (st) *st = s;
    if (S_ISREG(s.us_mode)) return DL_FILE;
    if (S_ISDIR(s.us_mode)) return DL_DIR;
    return 0;
}

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

// The parts of a wildcard path in order: each component with "*" alone, the components between
// them joined by "/". The empty component before a leading "/" keeps the path absolute.
std::vector<WPART> get_wildcard_list(const std::string& path) {
    std::vector<WPART> parts;
    std::string plain;
    bool have_plain = false;
    size_t at = 0;
    for (;;) {
        size_t slash = path.find('/', at);
        std::string comp =
            path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (comp.find('*') != std::string::npos) {
            if (have_plain) parts.push_back({plain.empty() ? "/" : plain, false});
            parts.push_back({comp, true});
            plain.clear();
            have_plain = false;
        } else {
            plain = have_plain ? plain + "/" + comp : comp;
            have_plain = true;
        }
        if (slash == std::string::npos) break;
        at = slash + 1;
    }
    if (have_plain && !(plain.empty() && !parts.empty())) parts.push_back({plain, false});
    return parts;
}

// The names of directory dir (the current one when dir is empty) that do not begin with ".",
// sorted so that a search gives the same order every time; false when it cannot be opened.
bool list_names(const std::string& dir, std::vector<std::string>* names) {
    DIR* d = u_opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return false;
    while (dirent* e = u_readdir(d))
        if (e->d_name[0] != '.') names->emplace_back(e->d_name);
    closedir(d);
    std::sort(names->begin(), names->end());
    return true;
}

// The entries of dir that match the pattern and are of a kind in kinds. When a plain part
// follows, an entry is a directory in which that part exists as a directory or, when the plain
// part is the last, as a kind the condition wants.
void get_file_star(std::vector<FOUND>* out, const std::string& dir, int kinds,
                   const std::string& match, const WPART* up_path, bool up_last, int cond_kinds) {
    std::vector<std::string> names;
    if (!list_names(dir, &names)) {
        if (!dir.empty())
            fprintf(stderr, "Cannot open directory: %s %s\n", visible_text(dir).c_str(),
                    strerror(errno));
        return;
    }
    for (const std::string& n : names) {
        if (match_check(n.c_str(), match.c_str()) != 0) continue;
        std::string full = join(dir, n);
        int k = kind_of(full);
        if (k == 0) {
            if (errno != 0)
                fprintf(stderr, "%s stat %s\n", visible_text(full).c_str(), strerror(errno));
            continue;
        }
        if (up_path) {
            if (k != DL_DIR) continue;
            int uk = kind_of(join(full, up_path->text));
            if (uk == DL_DIR || (up_last && (uk & cond_kinds))) out->push_back({full, k});
            continue;
        }
        if (k & kinds) out->push_back({full, k});
    }
}

// Every entry at any depth below dir of a kind in kinds, each directory followed by what it
// holds. The walk keeps its own stack (no recursion per level) and does not descend through
// links, so a link back up the tree cannot make it endless.
void get_double_star(std::vector<FOUND>* out, const std::string& dir, int kinds) {
    std::vector<std::string> stack{dir};
    while (!stack.empty()) {
        std::string d = stack.back();
        stack.pop_back();
        std::vector<std::string> names;
        if (!list_names(d, &names)) continue;
        std::vector<std::string> below;
        for (const std::string& n : names) {
            std::string full = join(d, n);
            int k = kind_of(full);
            if (k == 0) {
                if (errno != 0)
                    fprintf(stderr, "%sstat %s\n", visible_text(full).c_str(), strerror(errno));
                continue;
            }
            if (k & kinds) out->push_back({full, k});
            struct stat ls;
            if (k == DL_DIR && lstat(full.c_str(), &ls) == 0 && S_ISDIR(ls.st_mode))
                below.push_back(full);
        }
        // Entries of a directory come after the rest of its parent's listing; the stack takes
        // the subdirectories in reverse so the first is walked first.
        for (auto it = below.rbegin(); it != below.rend(); ++it)
            stack.push_back(*it);
    }
}

// The target of a found name: target_dir and the rest of name behind base_dir, with the
// extension of its last component replaced by prefix (or prefix appended when it has none).
std::string target_of(const std::string& name, const std::string& base, const std::string& target,
                      const char* prefix) {
    std::string t = target + name.substr(base.size());
    if (prefix) {
        size_t slash = t.rfind('/');
        size_t dot = t.rfind('.');
        if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) t.resize(dot);
        t += prefix;
    }
    return t;
}

// The found names that exist, are of a kind the condition wants and whose targets are in the
// state it wants.
void get_no_star(std::vector<FOUND>* d, int condition, const char* base_dir, const char* target_dir,
                 const char* prefix) {
    std::vector<FOUND> kept;
    for (FOUND& f : *d) {
        U_STAT st;
        int k = kind_of(f.name, &st);
        if (k == 0 || !(k & condition)) continue;
        if (base_dir) {
            std::string base(base_dir);
            if (f.name.compare(0, base.size(), base) != 0) continue;
            U_STAT ts;
            int tk = kind_of(target_of(f.name, base, target_dir ? target_dir : "", prefix), &ts);
            if (tk == 0) {
                if (errno == ENOENT || errno == ENOTDIR) {
                    if (!(condition & FC_NOTEXIST)) continue;
                } else {
                    continue;
                }
            } else {
                if (tk != k || !(condition & FC_EXIST)) continue;
                int want = st.us_mtime_full > ts.us_mtime_full ? FC_NOTOUCH : FC_TOUCH;
                if (!(condition & want)) continue;
            }
        }
        f.flags = k;
        kept.push_back(std::move(f));
    }
    *d = std::move(kept);
}

QV_SEXP* mismatch(QV_SEXP* form) {
    return bltn_error_s(form, QVE_TYPE_MISMATCH, "FindFile", "type_missmatch");
}

// The 8-bit path of a text made absolute against the script directory.
std::string absolute_name(const L_CHAR* text) {
    L_CHAR* a = get_absolute_path(text);
    const char* b = a ? n_string(std_cm, a) : nullptr;
    std::string r = b ? b : "";
    if (a) d_f_ree(a);
    return r;
}

}  // namespace

int match_check(const char* name, const char* match) {
    std::string_view n(name), m(match);
    if (m.find_first_not_of('*') == std::string_view::npos) return 0;
    bool lead = m.front() == '*';
    bool trail = m.back() == '*';
    std::vector<std::string_view> segs;
    size_t at = 0;
    while (at < m.size()) {
        size_t star = m.find('*', at);
        size_t end = star == std::string_view::npos ? m.size() : star;
        if (end > at) segs.push_back(m.substr(at, end - at));
        at = end + 1;
    }
    size_t pos = 0;
    size_t first = 0, last = segs.size();
    if (!lead) {
        if (n.substr(0, segs[0].size()) != segs[0]) return -1;
        pos = segs[0].size();
        first = 1;
    }
    if (!trail) {
        if (last <= first) return pos == n.size() ? 0 : -1;
        std::string_view tail = segs[last - 1];
        if (n.size() < tail.size() || n.size() - tail.size() < pos) return -1;
        if (n.substr(n.size() - tail.size()) != tail) return -1;
        last--;
        n = n.substr(0, n.size() - tail.size());
    }
    for (size_t i = first; i < last; i++) {
        size_t found = n.find(segs[i], pos);
        if (found == std::string_view::npos) return -1;
        pos = found + segs[i].size();
    }
    return 0;
}

DIR_LIST* add_dir_list(DIR_LIST* dl, const char* name, int flags) {
    DIR_LIST* e = new DIR_LIST;
    e->name = strdup(name);
    e->flags = flags;
    e->next = dl;
    return e;
}

DIR_LIST* marge_dir_list(DIR_LIST* d1, DIR_LIST* d2) {
    if (!d1) return d2;
    DIR_LIST* p = d1;
    while (p->next)
        p = p->next;
    p->next = d2;
    return d1;
}

DIR_LIST* reverse_dir_list(DIR_LIST* d) {
    DIR_LIST* r = nullptr;
    while (d) {
        DIR_LIST* next = d->next;
        d->next = r;
        r = d;
        d = next;
    }
    return r;
}

void print_dir_list(const DIR_LIST* d) {
    for (; d; d = d->next)
        ss_printf("> %s\n", d->name ? d->name : "");
}

void print_wlist(char* const* argv, const int* argt, int w, int argc) {
    (void)w;
    ss_printf("== ");
    for (int i = 0; i < argc; i++)
        ss_printf("(%s %i)", argv[i] ? argv[i] : "", argt[i]);
    ss_printf("\n");
}

void free_dir_list(DIR_LIST* d) {
    while (d) {
        DIR_LIST* next = d->next;
        free(d->name);
        delete d;
        d = next;
    }
}

int get_condition(const L_CHAR* cond) {
    const char* b = cond ? n_string(std_cm, cond) : nullptr;
    std::string text = b ? b : "";
    int bits = 0;
    size_t at = 0;
    for (;;) {
        size_t comma = text.find(',', at);
        std::string w =
            text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (w == "file")
            bits |= FC_FILE;
        else if (w == "dir")
            bits |= FC_DIR;
        else if (w == "exist")
            bits |= FC_EXIST;
        else if (w == "notexist")
            bits |= FC_NOTEXIST;
        else if (w == "DCexist")
            bits |= FC_EXIST | FC_NOTEXIST;
        else if (w == "touch")
            bits |= FC_TOUCH;
        else if (w == "notouch")
            bits |= FC_NOTOUCH;
        else if (w == "DCtimestamp")
            bits |= FC_TOUCH | FC_NOTOUCH;
        else
            return -1;
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    if (!(bits & (FC_FILE | FC_DIR))) bits |= FC_FILE | FC_DIR;
    if (!(bits & (FC_EXIST | FC_NOTEXIST))) bits |= FC_EXIST | FC_NOTEXIST;
    if (!(bits & (FC_TOUCH | FC_NOTOUCH))) bits |= FC_TOUCH | FC_NOTOUCH;
    return bits;
}

DIR_LIST* get_dir(const char* wildcard, const char* base_dir, const char* target_dir,
                  const char* prefix, int condition) {
    if (!wildcard) return nullptr;
    std::vector<WPART> parts = get_wildcard_list(wildcard);
    std::vector<FOUND> cur;
    for (size_t i = 0; i < parts.size(); i++) {
        const WPART& p = parts[i];
        bool last = i + 1 == parts.size();
        if (!p.wild) {
            if (i == 0) {
                int k = kind_of(p.text);
                if (k) cur.push_back({p.text, k});
            } else {
                for (FOUND& f : cur)
                    f.name = join(f.name, p.text);
            }
            continue;
        }
        std::vector<std::string> dirs;
        if (i == 0) {
            dirs.emplace_back();
        } else {
            for (FOUND& f : cur)
                dirs.push_back(f.name);
        }
        int kinds = last ? (condition & (FC_FILE | FC_DIR)) : DL_DIR;
        const WPART* up = (!last && !parts[i + 1].wild) ? &parts[i + 1] : nullptr;
        bool up_last = i + 2 == parts.size();
        std::vector<FOUND> next;
        for (const std::string& d : dirs) {
            if (p.text == "**")
                get_double_star(&next, d, kinds);
            else
                get_file_star(&next, d, kinds, p.text, up, up_last, condition & (FC_FILE | FC_DIR));
        }
        cur = std::move(next);
    }
    get_no_star(&cur, condition, base_dir, target_dir, prefix);
    DIR_LIST* r = nullptr;
    for (auto it = cur.rbegin(); it != cur.rend(); ++it)
        r = add_dir_list(r, it->name.c_str(), it->flags);
    return r;
}

QV_SEXP* qv_FindFile(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int n = list_length(form);
    QV_SEXP* wild = get_el(form, 1);
    if (get_type(wild) != QVT_STRING) return mismatch(form);
    int condition = FC_ALL;
    if (const L_CHAR* c = attr_text(attr, "condition")) {
        condition = get_condition(c);
        if (condition < 0)
            return bltn_error_s(form, QVE_INVALID_PARAMETER, "FindFile",
                                "invalid attribute parameter (condition)");
    }
    if (n == 3)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "FindFile", "invalid parameter length");
    const L_CHAR* sp = attr_text(attr, "scriptpath");
    std::string pattern;
    if (!sp || text_is(sp, "on")) {
        pattern = absolute_name(wild->string.data);
    } else {
        const char* b = n_string(std_cm, wild->string.data);
        pattern = b ? b : "";
    }
    std::string base, target, pre;
    bool with_base = n == 4;
    if (with_base) {
        QV_SEXP* b = get_el(form, 2);
        QV_SEXP* t = get_el(form, 3);
        if (get_type(b) != QVT_STRING || get_type(t) != QVT_STRING) return mismatch(form);
        base = absolute_name(b->string.data);
        target = absolute_name(t->string.data);
    }
    const L_CHAR* prefix = attr_text(attr, "prefix");
    if (prefix) {
        const char* b = n_string(std_cm, prefix);
        pre = b ? b : "";
    }
    DIR_LIST* d = get_dir(pattern.c_str(), with_base ? base.c_str() : nullptr,
                          with_base ? target.c_str() : nullptr,
                          with_base && prefix ? pre.c_str() : nullptr, condition);
    ListOut r;
    for (DIR_LIST* e = d; e; e = e->next) {
        L_CHAR* rel = get_relative_path(std_text(e->name));
        r.add(get_string(rel));
        if (rel) d_f_ree(rel);
    }
    free_dir_list(d);
    return r.head;
}

void init_FindFile(QVISP_ENV* env) {
    bind_prim(env, "FindFile", qv_FindFile, FUNC_APPLICATIVE, 2, 4);
}
