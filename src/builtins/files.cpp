// Built-ins of paths and of the file system.
#include "builtins/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/textutil.h"
#include "base/ufile.h"
#include "base/url.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/hostcmd.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/docpath.h"

namespace {

using LText = std::basic_string<L_CHAR>;

// Guards the process's current directory: a change and a reading never interleave.
SEM cwd_lock = nullptr;

void make_cwd_lock() {
    static std::once_flag once;
    std::call_once(once, [] { new_lock(&cwd_lock); });
}

// Longest destination a move builds from a directory and a leaf.
constexpr size_t MV_PATH_MAX = 511;

bool is_string(QV_SEXP* v) {
    return get_type(v) == QVT_STRING;
}

bool is_error(QV_SEXP* v) {
    return get_type(v) == QVT_ERROR;
}

// The 8-bit file name of a string in the standard code method (copied out of the temporary
// buffer that the conversion uses).
std::string file_name(QV_SEXP* s) {
    const char* b = n_string(std_cm, s->string.data);
    return b ? std::string(b) : std::string();
}

QV_SEXP* text_value(const LText& t) {
    return get_string(t.c_str());
}

// The error data ("filename", msg) of the file-changing built-ins.
QV_SEXP* filename_data(const char* msg) {
    return list(n_get_string("filename"), n_get_string(msg), nullptr);
}

QV_SEXP* filename_error(QV_SEXP* form, uint32_t code, const char* func, const char* msg) {
    return eval_error(form, code, func, filename_data(msg));
}

// The name without trailing '/' (a lone "/" stays): a link named with a trailing '/' would be
// looked at through the link.
std::string strip_slashes(std::string p) {
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

// The symbolic name of a system error, for the data of a failed move.
const char* errno_name(int e) {
    const char* n = strerrorname_np(e);
    return n ? n : "EUNKNOWN";
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Taking paths apart

QV_SEXP* qv_Directory(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    if (is_error(path)) return path;
    if (!is_string(path))
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "Directory", "type missmatch");
    const L_CHAR* mode = attr_text(attr, "mode");
    const L_CHAR* p = path->string.data;
    if (!mode || text_is(mode, "name")) {
        int cut = -1;
        for (int i = 0; p[i]; i++)
            if (p[i] == '/') cut = i;
        if (cut < 0) return n_get_string(".");
        return text_value(LText(p, static_cast<size_t>(cut) + 1));
    }
    if (text_is(mode, "URL")) {
        L_CHAR* url = get_url_path(p, nullptr);
        if (!url) return nullptr;
        QV_SEXP* r = get_string(url);
        d_f_ree(url);
        return r;
    }
    return bltn_error_s(form, QVE_INVALID_PARAMETER, "Directory", "invalid attribute mode");
}

QV_SEXP* qv_ComposePath(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* base = get_el(form, 1);
    QV_SEXP* rel = get_el(form, 2);
    if (!is_string(base) || !is_string(rel))
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "ComposePath", nullptr);
    L_CHAR* r = compose_path(base->string.data, rel->string.data);
    if (!r)
        return bltn_error_s(form, QVE_INVALID_PARAMETER, "ComposePath", "invalid path argments");
    QV_SEXP* v = get_string(r);
    d_f_ree(r);
    return v;
}

QV_SEXP* qv_Leaf(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* cnt = get_el(form, 1);
    QV_SEXP* path = get_el(form, 2);
    if (is_error(cnt)) return cnt;
    if (is_error(path)) return path;
    int64_t count;
    if (get_type(cnt) == QVT_INTEGER) {
        count = cnt->integer.data;
    } else if (get_type(cnt) == QVT_FLOAT && std::isfinite(cnt->floating.data)) {
        double d = std::trunc(cnt->floating.data);
        count = d > 1e15 ? static_cast<int64_t>(1e15) : d < 0 ? 0 : static_cast<int64_t>(d);
    } else {
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "Leaf", nullptr);
    }
    if (!is_string(path)) return bltn_error_s(form, QVE_TYPE_MISMATCH, "Leaf", nullptr);
    if (count < 0) count = 0;
    LText p(path->string.data);
    const L_CHAR* dir = attr_text(attr, "dir");
    if (dir && text_is(dir, "reverse")) {
        // Drop one trailing '/', then the last count components with the '/' before each.
        if (!p.empty() && p.back() == '/') p.pop_back();
        for (int64_t i = 0; i < count; i++) {
            size_t slash = p.rfind('/');
            if (slash == LText::npos) return n_get_string("");
            p.resize(slash);
        }
        return text_value(p);
    }
    if (dir && text_is(dir, "file")) {
        // The last count components; one trailing '/' is not counted but kept.
        if (count == 0) return n_get_string("");
        size_t end = p.size();
        if (end > 0 && p[end - 1] == '/') end--;
        size_t at = end;
        for (int64_t i = 0; i < count; i++) {
            size_t slash = at == 0 ? LText::npos : p.rfind('/', at - 1);
            if (slash == LText::npos) return text_value(p);
            at = slash;
        }
        return text_value(p.substr(at + 1));
    }
    // forward: one leading '/' off, then count leading components with their '/'.
    size_t at = (!p.empty() && p[0] == '/') ? 1 : 0;
    for (int64_t i = 0; i < count && at < p.size(); i++) {
        size_t slash = p.find('/', at);
        at = slash == LText::npos ? p.size() : slash + 1;
    }
    return text_value(p.substr(at));
}

QV_SEXP* qv_Prefix(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    if (is_error(path)) return path;
    if (!is_string(path)) return bltn_error_s(form, QVE_TYPE_MISMATCH, "Prefix", nullptr);
    LText p(path->string.data);
    size_t slash = p.rfind('/');
    size_t leaf = slash == LText::npos ? 0 : slash + 1;
    size_t dot = p.rfind('.');
    // A last component without '.' gives the empty text in either mode, so a script can tell a
    // name without extension by the empty result.
    if (dot == LText::npos || dot < leaf) return n_get_string("");
    const L_CHAR* mode = attr_text(attr, "mode");
    if (mode && text_is(mode, "file")) return text_value(p.substr(0, dot));
    return text_value(p.substr(dot));
}

QV_SEXP* qv_Trunc(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* text = get_el(form, 1);
    QV_SEXP* suffix = get_el(form, 2);
    if (is_error(text)) return text;
    if (is_error(suffix)) return suffix;
    if (!is_string(text) || !is_string(suffix))
        return bltn_error_s(form, QVE_TYPE_MISMATCH, "Trunc", nullptr);
    LText t(text->string.data);
    LText s(suffix->string.data);
    if (s.size() <= t.size() && t.compare(t.size() - s.size(), s.size(), s) == 0)
        return text_value(t.substr(0, t.size() - s.size()));
    return text;
}

// ------------------------------------------------------------------------------------------------
// The current directory

QV_SEXP* qv_GetCwd(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    // A buffer of the system's path limit, so that a deep current directory is still read.
    char buf[PATH_MAX + 1];
    bool ok;
    int e;
    {
        TaskLockGuard g(cwd_lock);
        ok = getcwd(buf, sizeof buf) != nullptr;
        e = errno;
    }
    if (!ok)
        return eval_error(form, QVE_ACCESS_FILE, "GetCwd",
                          list(n_get_string("cannot read the current directory"),
                               n_get_string(strerror(e)), nullptr));
    return n_get_string(buf);
}

QV_SEXP* qv_Chdir(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    if (!is_string(path)) return bltn_error_s(form, QVE_TYPE_MISMATCH, "Chdir", nullptr);
    std::string p = file_name(path);
    int r, e;
    {
        TaskLockGuard g(cwd_lock);
        r = chdir(p.c_str());
        e = errno;
    }
    // A change that failed is said: the caller would go on in another directory than it asked.
    if (r != 0)
        return eval_error(form, QVE_ACCESS_FILE, "Chdir",
                          list(path, n_get_string("cannot change directory"),
                               n_get_string(strerror(e)), nullptr));
    return nullptr;
}

// ------------------------------------------------------------------------------------------------
// Changes to files

QV_SEXP* qv_Mkdir(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    if (!is_string(path))
        return bltn_error_l(form, QVE_TYPE_MISMATCH, "Mkdir", "directory name is type missmatch");
    if (!env_is_privileged(env)) return permission_error(form, "Mkdir");
    int mode = 493;
    if (const L_CHAR* m = attr_text(attr, "mode")) {
        const char* b = n_string(std_cm, m);
        mode = b ? atoi(b) : 0;
    }
    // Permission bits only: a script asks for access rights, not for set-id bits.
    mode &= 0777;
    return get_integer(u_mkdir(file_name(path).c_str(), mode) == 0 ? 0 : -1, nullptr);
}

QV_SEXP* qv_Rm(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    if (!is_string(path)) return filename_error(form, QVE_TYPE_MISMATCH, "Rm", "is type missmatch");
    std::string p = file_name(path);
    if (!is_safe_as_filename(p.c_str()))
        return filename_error(form, QVE_FORMAT, "Rm", "is invalid");
    if (!env_is_privileged(env)) return permission_error(form, "Rm");
    int flags = 0;
    bool any = false;
    for (QV_SYM_FIELD* f = attr; f; f = f->next) {
        if (!text_is(f->name, "flag")) continue;
        any = true;
        if (text_is(f->data, "rec")) flags |= U_RM_ALL;
        if (text_is(f->data, "file")) flags |= U_RM_FILE;
        if (text_is(f->data, "dir")) flags |= U_RM_EMPTY_DIR;
    }
    if (!any) flags = U_RM_FILE;
    u_rm(p.c_str(), flags);
    // The name itself (a link is not looked through) must be gone.
    struct stat sb;
    if (!p.empty() && lstat(strip_slashes(p).c_str(), &sb) == 0)
        return filename_error(form, QVE_ACCESS_FILE, "Rm", "cannot remove");
    return nullptr;
}

QV_SEXP* qv_Mv(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* from = get_el(form, 1);
    QV_SEXP* to = get_el(form, 2);
    if (!is_string(from) || !is_string(to))
        return filename_error(form, QVE_TYPE_MISMATCH, "Mv", "is type missmatch");
    if (!env_is_privileged(env)) return permission_error(form, "Mv");
    std::string f = file_name(from);
    std::string dest = file_name(to);
    struct stat sb;
    if (stat(dest.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode)) {
        // Into the directory under the source's own name; trailing '/' of the source are not a
        // name (an empty leaf would make the directory itself the destination).
        std::string src = strip_slashes(f);
        size_t slash = src.rfind('/');
        std::string leaf = slash == std::string::npos ? src : src.substr(slash + 1);
        if (dest.empty() || dest.back() != '/') dest += '/';
        dest += leaf;
        if (dest.size() > MV_PATH_MAX)
            return eval_error(form, QVE_FORMAT, "Mv",
                              list(from, to, n_get_string("too long filename"), nullptr));
    }
    // rename replaces an existing destination in one step, so a failed move leaves it in place;
    // across file systems it fails (EXDEV) and nothing is copied or removed.
    if (u_rename(f.c_str(), dest.c_str()) != 0) {
        int e = errno;
        return eval_error(
            form, QVE_ACCESS_FILE, "rename",
            list(from, n_get_string(dest.c_str()), n_get_string(errno_name(e)), nullptr));
    }
    return nullptr;
}

QV_SEXP* qv_Touch(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    if (!is_string(path))
        return bltn_error_l(form, QVE_TYPE_MISMATCH, "Touch", "filename is type missmatch");
    if (!env_is_privileged(env)) return permission_error(form, "Touch");
    std::string p = file_name(path);
    if (utime(p.c_str(), nullptr) == 0) return get_integer(0, nullptr);
    // Only a file that is not there is created: an existing one whose times could not be set
    // (or a dangling link) is reported rather than claimed as new.
    int fd = u_open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0)
        return eval_error(form, QVE_ACCESS_FILE, "Touch",
                          list(path, n_get_string(" can not create file "), nullptr));
    u_close(fd);
    return get_integer(-1, nullptr);
}

QV_SEXP* qv_UTime(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* path = get_el(form, 1);
    if (!is_string(path))
        return filename_error(form, QVE_TYPE_MISMATCH, "UTime", "is type missmatch");
    if (!env_is_privileged(env)) return permission_error(form, "UTime");
    return get_integer(utime(file_name(path).c_str(), nullptr) == 0 ? 0 : -1, nullptr);
}

// ------------------------------------------------------------------------------------------------
// Registration

void init_Directory(QVISP_ENV* env) {
    bind_prim(env, "Directory", qv_Directory, FUNC_APPLICATIVE, 2, 2);
}
void init_ComposePath(QVISP_ENV* env) {
    bind_prim(env, "ComposePath", qv_ComposePath, FUNC_APPLICATIVE, 3, 3);
}
void init_Leaf(QVISP_ENV* env) {
    bind_prim(env, "Leaf", qv_Leaf, FUNC_APPLICATIVE, 3, 3);
}
void init_Prefix(QVISP_ENV* env) {
    bind_prim(env, "Prefix", qv_Prefix, FUNC_APPLICATIVE, 2, 2);
}
void init_Trunc(QVISP_ENV* env) {
    bind_prim(env, "Trunc", qv_Trunc, FUNC_APPLICATIVE, 3, 3);
}
void init_GetCwd(QVISP_ENV* env) {
    make_cwd_lock();
    bind_prim(env, "GetCwd", qv_GetCwd, FUNC_NORMAL, 1, 1);
}
void init_Chdir(QVISP_ENV* env) {
    make_cwd_lock();
    bind_prim(env, "Chdir", qv_Chdir, FUNC_APPLICATIVE, 2, 2);
}
void init_Mkdir(QVISP_ENV* env) {
    bind_prim(env, "Mkdir", qv_Mkdir, FUNC_APPLICATIVE, 2, 2);
}
void init_Rm(QVISP_ENV* env) {
    bind_prim(env, "Rm", qv_Rm, FUNC_APPLICATIVE, 2, 2);
}
void init_Mv(QVISP_ENV* env) {
    bind_prim(env, "Mv", qv_Mv, FUNC_APPLICATIVE, 3, 3);
}
void init_Touch(QVISP_ENV* env) {
    bind_prim(env, "Touch", qv_Touch, FUNC_APPLICATIVE, 2, 2);
}
void init_UTime(QVISP_ENV* env) {
    bind_prim(env, "UTime", qv_UTime, FUNC_APPLICATIVE, 2, 2);
}
