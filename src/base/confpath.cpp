// Configuration and script search paths.
//
// Whether a file "can be opened" is asked through the file primitives (`u_open` read-only, which
// always runs locally), in `opens_for_reading` only.
#include "base/confpath.h"

#include <errno.h>
#include <fcntl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/entry.h"
#include "base/socket.h"
#include "base/sysparam.h"
#include "base/task.h"
#include "base/ufile.h"
#include "longchar/codemethod.h"
#include "longchar/longchar.h"

namespace {

using LV = std::vector<L_CHAR>;

constexpr const char* PREF_DIR = ".pqvconf/";
constexpr const char* ROOT_PREF_DIR = "/.pqvconf";
constexpr const char* QVRC = ".qvrc";
constexpr const char* PREF_QVRC = "qvrc";
constexpr const char* PERIPHERAL = "peripheral/";
constexpr const char* TMP_DIR = "/tmp";
constexpr const char* QVPATH = "QVPATH";

struct LOCALE_PAIR {
    const char* lang;
    const char* locale;
};
constexpr LOCALE_PAIR locale_lt[] = {
    {"ja_JP", "ja"},
    {"ja", "ja"},
    {nullptr, nullptr},
};

std::mutex script_mx;
L_CHAR* script_path = nullptr;  // under script_mx

std::atomic<QVRC_READER> qvrc_reader{nullptr};

L_CHAR* dup_range(const L_CHAR* s, size_t n) {
    L_CHAR* p = static_cast<L_CHAR*>(d_alloc(static_cast<int64_t>((n + 1) * sizeof(L_CHAR))));
    if (n) memcpy(p, s, n * sizeof(L_CHAR));
    p[n] = 0;
    return p;
}
L_CHAR* dup_str(const L_CHAR* s) {
    return s ? dup_range(s, static_cast<size_t>(l_strlen(s))) : nullptr;
}
L_CHAR* dup_vec(const LV& v) {
    return dup_range(v.data(), v.size());
}
void append(LV& v, const L_CHAR* s) {
    while (s && *s)
        v.push_back(*s++);
}
LV to_vec(const L_CHAR* s) {
    LV v;
    append(v, s);
    return v;
}
bool starts_with(const L_CHAR* s, const L_CHAR* prefix) {
    while (*prefix)
        if (*s++ != *prefix++) return false;
    return true;
}

bool opens_for_reading(const char* path) {
    // Never waits: a FIFO in the search would hold the open for ever.
    int fd = u_open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
    // Out of descriptors, a file that is there would read as absent: the streams nothing uses
    // any more (lazy loads left behind) are released once and the open tried again.
    if (fd < 0 && errno == EMFILE && socket_gc_hook && socket_gc_hook() == 0)
        fd = u_open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
    if (fd < 0) return false;
    u_close(fd);
    return true;
}

bool lc_opens(const LV& path) {
    LV z = path;
    z.push_back(0);
    return opens_for_reading(n_string(std_cm, z.data()));
}

// Searches 8-bit directories for app; the directory with its separator, in the temporary ring.
char* search_dirs(const char* list, const char* seps, const char* app, bool empty_is_here) {
    if (!list || !app) return nullptr;
    std::string s(list);
    size_t pos = 0;
    for (;;) {
        size_t end = s.find_first_of(seps, pos);
        std::string dir = s.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (dir.empty() && empty_is_here) dir.assign(1, '.');
        if (!dir.empty()) {
            if (dir.back() != '/') dir += '/';
            if (opens_for_reading((dir + app).c_str())) {
                char* out = d_strdup(dir.c_str());
                set_buffer(out);
                return out;
            }
        }
        if (end == std::string::npos) return nullptr;
        pos = end + 1;
    }
}

void collect_value(const L_CHAR* value, void* work) {
    static_cast<std::vector<LV>*>(work)->push_back(to_vec(value));
}

// Directory part of p through its last '/', empty when it has none.
LV dir_part(const L_CHAR* p) {
    LV v = to_vec(p);
    size_t last = v.size();
    for (size_t i = 0; i < v.size(); i++)
        if (v[i] == '/') last = i;
    v.resize(last == v.size() ? 0 : last + 1);
    return v;
}

}  // namespace

const char* get_homepath() {
    return getenv("HOME");
}

char* make_preference_path(const char* home) {
    std::string s = home ? home : "/";
    if (s.empty() || s.back() != '/') s += '/';
    s += PREF_DIR;
    return d_strdup(s.c_str());
}

const char* get_preference_path() {
    static const char* path = make_preference_path(getenv("HOME"));
    return path;
}

const char* get_root_preference_path() {
    return ROOT_PREF_DIR;
}

const char* get_tmp_dir() {
    return TMP_DIR;
}

// Only a whole last "bin/" component is replaced: "/usr/local/sbin/" keeps its "sbin".
char* make_peripheral_path(const char* start) {
    std::string s = start ? start : "./";
    if (s.empty() || s.back() != '/') s += '/';
    if (s == "bin/" || (s.size() >= 5 && s.compare(s.size() - 5, 5, "/bin/") == 0))
        s.resize(s.size() - 4);
    s += PERIPHERAL;
    return d_strdup(s.c_str());
}

const char* get_peripheral_path() {
    static const char* path = [] {
        const char* start = getenv("GV_PERIPHERAL");
        if (!start && command_arg) start = which(command_arg);
        return make_peripheral_path(start ? start : "./");
    }();
    return path;
}

const char* get_abstract_locale(const char* str) {
    for (const LOCALE_PAIR* p = locale_lt; str && p->lang; p++)
        if (strcmp(p->lang, str) == 0) return p->locale;
    return "en";
}

const char* get_locale() {
    return get_abstract_locale(getenv("LANG"));
}

CODE_METHOD* get_default_cm() {
    const char* name = getenv("STD_CODE");
    CODE_METHOD* cm = name ? search_cm(name) : nullptr;
    return cm ? cm : &euc_cm;
}

int64_t get_mem_size() {
    return _get_mem_size();
}

unsigned get_fd_max() {
    return _get_fd_max();
}

int set_fd_max(unsigned max) {
    return _set_fd_max(max);
}

char* which(const char* app) {
    return search_dirs(getenv("PATH"), ":", app, true);
}

char* qvwhich(const char* app) {
    return search_dirs(getenv(QVPATH), ": \t", app, false);
}

L_CHAR* _qvwhich(const L_CHAR* list, const L_CHAR* app) {
    if (!list || !app) return nullptr;
    const L_CHAR* p = list;
    for (;;) {
        const L_CHAR* e = p;
        while (*e && *e != ';' && *e != '\t' && *e != '\n' && *e != '\r' && *e != ' ' && *e != ':')
            e++;
        LV dir(p, e);
        if (dir.empty() || (dir.back() != '/' && dir.back() != '\\')) dir.push_back('/');
        LV path = dir;
        append(path, app);
        if (lc_opens(path)) return dup_vec(dir);
        if (!*e) return nullptr;
        p = e + 1;
    }
}

L_CHAR* in_qvrc(const char* dir, const char* file, const L_CHAR* app) {
    QVRC_READER reader = qvrc_reader.load();
    if (!reader || !dir || !file) return nullptr;
    std::string path = dir;
    if (path.empty() || path.back() != '/') path += '/';
    path += file;
    std::vector<LV> values;
    reader(path.c_str(), QVPATH, collect_value, &values);
    // The last entry in the file is searched first.
    for (auto it = values.rbegin(); it != values.rend(); ++it) {
        it->push_back(0);
        if (L_CHAR* hit = _qvwhich(it->data(), app)) return hit;
    }
    return nullptr;
}

L_CHAR* get_qvwhich(const L_CHAR* app) {
    if (const char* env = getenv(QVPATH))
        if (L_CHAR* hit = _qvwhich(_l_string_1(std_cm, env), app)) return hit;
    if (const char* home = get_homepath())
        if (L_CHAR* hit = in_qvrc(home, QVRC, app)) return hit;
    if (L_CHAR* hit = in_qvrc(get_preference_path(), PREF_QVRC, app)) return hit;
    if (L_CHAR* hit = in_qvrc("/", QVRC, app)) return hit;
    return in_qvrc(ROOT_PREF_DIR, PREF_QVRC, app);
}

L_CHAR* get_script(const L_CHAR* file, const L_CHAR* script) {
    if (!script) return nullptr;
    LV s = to_vec(script);
    if (lc_opens(s)) return dup_str(script);
    if (script[0] == '/') return nullptr;
    if (file) {
        LV path = dir_part(file);
        append(path, script);
        if (lc_opens(path)) return dup_vec(path);
    }
    if (L_CHAR* sp = get_script_path()) {
        LV path = to_vec(sp);
        d_f_ree(sp);
        append(path, script);
        if (lc_opens(path)) return dup_vec(path);
    }
    if (L_CHAR* dir = get_qvwhich(script)) {
        LV path = to_vec(dir);
        d_f_ree(dir);
        append(path, script);
        return dup_vec(path);
    }
    return nullptr;
}

void set_script_path(const L_CHAR* script) {
    L_CHAR* sp = nullptr;
    if (script) {
        LV d = dir_part(script);
        if (d.empty()) d = {'.', '/'};
        sp = dup_vec(d);
    }
    std::lock_guard<std::mutex> g(script_mx);
    d_f_ree(script_path);
    script_path = sp;
}

L_CHAR* get_script_path() {
    std::lock_guard<std::mutex> g(script_mx);
    return dup_str(script_path);
}

L_CHAR* get_absolute_path(const L_CHAR* path) {
    if (!path) return nullptr;
    if (path[0] == '/') return optimize_path(path);
    LV full;
    if (L_CHAR* sp = get_script_path()) {
        append(full, sp);
        d_f_ree(sp);
    }
    append(full, path);
    full.push_back(0);
    return optimize_path(full.data());
}

L_CHAR* get_relative_path(const L_CHAR* path) {
    if (!path) return nullptr;
    L_CHAR* sp = get_script_path();
    L_CHAR* out = sp && starts_with(path, sp) ? dup_str(path + l_strlen(sp)) : dup_str(path);
    d_f_ree(sp);
    return out;
}

// Components are pushed on a stack: ".." removes the last real component (or is kept when there
// is none to remove, so "../../x" stays as it is); "." is kept only where it is all there is; an
// empty component (the root, or what two slashes in a row leave) ends the path that counts.
L_CHAR* optimize_path(const L_CHAR* path) {
    if (!path) return nullptr;
    std::vector<LV> stack;
    const L_CHAR* p = path;
    // Never destroyed: tasks may still use it while the process exits.
    static const LV& dot = *new LV{'.'};
    static const LV& dotdot = *new LV{'.', '.'};
    for (;;) {
        const L_CHAR* e = p;
        while (*e && *e != '/')
            e++;
        LV comp(p, e);
        bool last = !*e;
        if (comp == dotdot) {
            if (stack.empty() || stack.back() == dotdot)
                stack.push_back(dotdot);
            else if (stack.back() == dot)
                stack.back() = dotdot;
            else if (!stack.back().empty())
                stack.pop_back();
        } else if (comp == dot) {
            if (last ? !stack.empty() : stack.empty()) stack.push_back(dot);
        } else if (!(last && comp.empty())) {
            stack.push_back(comp);
        }
        if (last) break;
        p = e + 1;
    }
    size_t from = 0;
    bool rooted = path[0] == '/';
    for (size_t i = stack.size(); i > 0; i--) {
        if (stack[i - 1].empty()) {
            from = i;
            rooted = true;
            break;
        }
    }
    LV out;
    if (rooted) out.push_back('/');
    for (size_t i = from; i < stack.size(); i++) {
        if (i > from) out.push_back('/');
        out.insert(out.end(), stack[i].begin(), stack[i].end());
    }
    size_t n = static_cast<size_t>(l_strlen(path));
    if (n > 0 && path[n - 1] == '/' && (out.empty() || out.back() != '/')) out.push_back('/');
    return dup_vec(out);
}

void set_qvrc_reader(QVRC_READER reader) {
    qvrc_reader.store(reader);
}
