// gmxCache, gmxClose and gmxCopy (see gmx_close.h).
#include "geo/gmx_close.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "builtins/bltn_util.h"
#include "geo/gmx_attr.h"
#include "geo/open_mx.h"
#include "matrixops/mxscript.h"
#include "pdb/pagecache.h"

namespace {

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
    int id = 0;
    MX_ENTRY* e = gmx_attr_int(attr, "id", &id) ? search_mx_entry_by_id(id) : nullptr;
    // Another caller may close the same id between the look-up and this close.
    if (!e || close_mx_entry(e) < 0) return gmx_error(form, GMX_PARAM, "gmxClose", nullptr);
    return nullptr;
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
    // Copying joins with the matrix file layer.
    bind_prim(env1, "gmxCopy", qv_not_available, FUNC_APPLICATIVE, 2, FUNC_NO_MAX);
}
