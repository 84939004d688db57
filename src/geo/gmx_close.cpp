// gmxCache, gmxClose and gmxCopy (see gmx_close.h).
#include "geo/gmx_close.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "builtins/bltn_util.h"
#include "geo/gmx_attr.h"
#include "geo/open_mx.h"
#include "lisp/list.h"
#include "matrix/mxstore.h"
#include "matrix/mxtransfer.h"
#include "pdb/pagecache.h"

namespace {

// The registered entry named by the decimal id in attribute name, held; null when none.
MX_ENTRY* entry_of(QV_SYM_FIELD* attr, const char* name) {
    int id = 0;
    return gmx_attr_int(attr, name, &id) ? search_mx_entry_by_id(id) : nullptr;
}

// gmxCache and gmxClose are bound where every peer reaches them: only a privileged caller may
// change the store's cache for all, or close a matrix that others read.
QV_SEXP* vx_gmxCache(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    if (!env_is_privileged(env)) return permission_error(form, "gmxCache");
    std::string size;
    int pages = 0;
    if (!gmx_attr_ascii(attr, "size", &size) || !gmx_cache_pages(size.c_str(), &pages))
        return gmx_error(form, GMX_PARAM, "gmxCache", nullptr);
    fac_set_limit(pages);
    return nullptr;
}

QV_SEXP* vx_gmxClose(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    if (!env_is_privileged(env)) return permission_error(form, "gmxClose");
    MX_ENTRY* e = entry_of(attr, "id");
    if (!e) return gmx_error(form, GMX_PARAM, "gmxClose", nullptr);
    // The changes are saved first: when some cannot be (a full disk) the close answers so and
    // the matrix stays open with them, so that a close once there is room saves them.
    if (int64_t left = e->c.m ? mx_save_changes(e->c.m) : 0) {
        QV_SEXP* r = gmx_unsaved_error(form, "gmxClose", e->c.m, left);
        release_mx_entry(e);
        return r;
    }
    // Another caller may close the same id between the look-up and this close.
    if (close_mx_entry(e) < 0) return gmx_error(form, GMX_PARAM, "gmxClose", nullptr);
    return nullptr;
}

// The copy flags by name; their bits are those of the channel flags.
int copy_flag(const L_CHAR* name) {
    static const struct {
        const char* name;
        int bit;
    } flags[] = {{"MF_SEND", 0x01},
                 {"MF_FILE", 0x02},
                 {"MF_VISU", 0x04},
                 {"MF_SEND_FILE", 0x10},
                 {"MF_SEND_VISU", 0x20}};
    for (const auto& f : flags)
        if (text_is(name, f.name)) return f.bit;
    return 0;
}

QV_SEXP* vx_gmxCopy(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const char* F = "gmxCopy";
    MX_ENTRY* src = entry_of(attr, "src");
    if (!src) return gmx_error_d(form, GMX_PARAM, F, gmx_param_data(n_get_string("attribute src")));
    MX_ENTRY* dest = entry_of(attr, "dest");
    if (!dest) {
        release_mx_entry(src);
        return gmx_error_d(form, GMX_PARAM, F, gmx_param_data(n_get_string("attribute dest")));
    }
    // Channel numbers and flag names: the arguments, or the elements of a list first argument.
    QV_SEXP* list = form_rest(form, 1);
    if (get_type(get_el(form, 1)) == QVT_PAIR) list = get_el(form, 1);
    std::vector<int> channels;
    int flags = 0;
    QV_SEXP* r = nullptr;
    for (QV_SEXP* c = list; get_type(c) == QVT_PAIR && !r; c = c->pair.cdr) {
        QV_SEXP* v = c->pair.car;
        int bit = 0;
        // A channel number outside 0 .. INT_MAX names no channel: refused as an element of the
        // wrong kind, never cut to its low 32 bits (a negative one would end the list early and
        // leave out the channels after it).
        if (get_type(v) == QVT_INTEGER && v->integer.data >= 0 && v->integer.data <= INT_MAX)
            channels.push_back(static_cast<int>(v->integer.data));
        else if (get_type(v) == QVT_STRING && (bit = copy_flag(v->string.data)) != 0)
            flags |= bit;
        else
            r = gmx_error_d(c, GMX_MISMATCH, F, nullptr);
    }
    if (!r) {
        channels.push_back(-1);
        // The destination's scripts may create nodes while the copy runs.
        MxCreateNode create(dest->c.m, "enable");
        int code = matrix_copy(dest->c.m, src->c.m, channels.data(), flags);
        if (code < 0) r = gmx_error_d(form, GMX_PARAM, F, gmx_param_data(gmx_code(code)));
    }
    release_mx_entry(dest);
    release_mx_entry(src);
    return r;
}

}  // namespace

bool gmx_cache_pages(const char* text, int* pages) {
    errno = 0;
    char* end = nullptr;
    long long size = strtoll(text, &end, 0);
    if (end == text || *end || errno == ERANGE) return false;
    long long p = size / 4096;
    // Below one page the cache would count as not started and never write its pages.
    *pages = p < 1 ? 1 : p > INT_MAX ? INT_MAX : static_cast<int>(p);
    return true;
}

void init_gmxClose(QVISP_ENV* env0, QVISP_ENV*) {
    bind_prim(env0, "gmxClose", vx_gmxClose, FUNC_APPLICATIVE, 1, 1);
}

void init_gmxCache(QVISP_ENV* env0, QVISP_ENV*) {
    bind_prim(env0, "gmxCache", vx_gmxCache, FUNC_APPLICATIVE, 1, 1);
}

void init_gmxCopy(QVISP_ENV*, QVISP_ENV* env1) {
    bind_prim(env1, "gmxCopy", vx_gmxCopy, FUNC_APPLICATIVE, 2, FUNC_NO_MAX);
}
