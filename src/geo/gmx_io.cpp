// Argument numbers, channel sizes and cache runs of the importing and exporting built-ins (see
// gmx_io.h).
#include "geo/gmx_io.h"

#include <cmath>
#include <cstring>

#include "base/alloc.h"
#include "base/numtext.h"
#include "base/textutil.h"
#include "geo/gmx_attr.h"
#include "lisp/list.h"
#include "matrix/mxfile.h"
#include "matrix/mxstore.h"

bool gmx_arg_int(QV_SEXP* v, int64_t* out) {
    if (get_type(v) != QVT_INTEGER) return false;
    *out = v->integer.data;
    return true;
}

bool gmx_arg_number(QV_SEXP* v, double* out) {
    if (get_type(v) == QVT_INTEGER) {
        *out = static_cast<double>(v->integer.data);
        return true;
    }
    if (get_type(v) != QVT_FLOAT || !std::isfinite(v->floating.data)) return false;
    *out = v->floating.data;
    return true;
}

bool gmx_arg_trunc(QV_SEXP* v, int64_t* out) {
    if (get_type(v) == QVT_INTEGER) return gmx_arg_int(v, out);
    return get_type(v) == QVT_FLOAT && trunc_s64(v->floating.data, out);
}

bool gmx_arg_rint(QV_SEXP* v, int64_t* out) {
    if (get_type(v) == QVT_INTEGER) return gmx_arg_int(v, out);
    return get_type(v) == QVT_FLOAT && rint_s64(v->floating.data, out);
}

std::string gmx_arg_bytes(QV_SEXP* v) {
    if (get_type(v) != QVT_STRING) return "";
    char* b = ln_copy_str(std_cm, v->string.data);
    std::string r = b ? b : "";
    if (b) d_f_ree(b);
    return r;
}

int gmx_channel_size(MATRIX* m, int64_t ch) {
    if (ch < 0 || ch >= m->p.channel_nos || !m->channel_info) return 0;
    MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    if (!tp || !tp->parent) return 0;
    MATRIX_DATA_TYPE* s = tp->parent;
    return s->get_size ? s->get_size(s, nullptr) : 0;
}

int gmx_access_pos(MX_ENTRY* e, int64_t ch) {
    for (int i = 0; i < e->c.ds_len; i++)
        if (e->c.access_ch[i] == ch) return i;
    return -1;
}

int64_t gmx_level_step(MATRIX* m, int64_t level, int d) {
    if (d < 0 || d >= m->p.dim) return 0;
    if (level <= 0) return 1;
    int64_t s = level * m->dim_divide[d];
    return s > 61 ? 0 : int64_t{1} << s;
}

QV_SEXP* gmx_loading_error(QV_SEXP* form, const char* func) {
    return gmx_error_d(
        form, 0x80040501, func,
        List(n_get_string("invalid matrix loading"), gmx_code(mx_cache_error), LIST_END));
}

QV_SEXP* gmx_read_error(QV_SEXP* form, const char* func, MATRIX* m) {
    int code = (mx_ld(m->flags) & MX_DAMAGED_FILE) ? MXF_DAMAGED : mx_cache_error;
    return gmx_error_d(form, 0x80040501, func,
                       List(n_get_string("invalid matrix loading"), gmx_code(code), LIST_END));
}

QV_SEXP* gmx_label_error(QV_SEXP* form, uint32_t code, const char* func, const char* label) {
    const char* kind = code == GMX_PARAM ? "invalida parameter" : "type missmatch";
    return gmx_error_d(form, code, func, List(n_get_string(kind), n_get_string(label), LIST_END));
}

std::mutex& gmx_entry_lock(MX_ENTRY* e) {
    static std::mutex locks[64];
    return locks[(reinterpret_cast<uintptr_t>(e) >> 4) % 64];
}

GmxRun::GmxRun(MX_ENTRY* e, int tree_node, int create, int wait, const char* create_node,
               bool take_lock)
    : e_(e), lock_(gmx_entry_lock(e), std::defer_lock) {
    if (take_lock) lock_.lock();
    // The run's own cache over the entry's channel table (fixed once the entry is open): the
    // fetch options are the run's, and the entry's cache, which readers copy theirs from, keeps
    // its own.
    c_.m = e->c.m;
    c_.access_ch = e->c.access_ch;
    c_.ds_len = e->c.ds_len;
    c_.gn_tree_node = tree_node;
    c_.gn_create = create;
    c_.gn_wait = wait;
    mxc_setup(&c_);
    if (create_node) create_.emplace(c_.m, create_node);
}

GmxRun::~GmxRun() {
    mxc_close(&c_);
    if (ix_) d_f_ree(ix_);
}

MX_CACHE_PARAM& GmxRun::param(int64_t* dc, int pos, int buf, void** table) {
    p_ = e_->p;
    p_.c = &c_;
    p_.dc = dc;
    p_.ofs = nullptr;
    for (auto& d : p_.data_ptrs)
        d = nullptr;
    p_.data_ptrs[buf] = table;
    if (!ix_) {
        int n = e_->c.ds_len > 0 ? e_->c.ds_len : 1;
        ix_ = static_cast<MX_CACHE_PARAM_IX*>(d_alloc(n * sizeof(MX_CACHE_PARAM_IX)));
    }
    for (int i = 0; i < e_->c.ds_len; i++)
        ix_[i] = i == pos ? MX_CACHE_PARAM_IX{static_cast<uint16_t>(buf), 0}
                          : MX_CACHE_PARAM_IX{0, 65535};
    p_.data_ix = ix_;
    p_.vector_valid = nullptr;
    return p_;
}
