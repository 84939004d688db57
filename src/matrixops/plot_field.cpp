// Typed fields of plot points: the five rows of handlers, field arrays and their combination.
#include "matrixops/plot_field.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/numtext.h"
#include "base/panic.h"
#include "base/textutil.h"
#include "lisp/collect.h"
#include "lisp/convert_code.h"
#include "lisp/env.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "longchar/codetable.h"
#include "longchar/longchar.h"
#include "stream/sprintf.h"
#include "stream/stream.h"
#include "stream/string_stream.h"

void* sat_alloc(SIMPLE_ALLOC_T* sat, int64_t size, const char* file, int line) {
    return sat ? smp_alloc_any(sat, size) : xx_d_alloc(size, file, line);
}

char* sat_copy_str(SIMPLE_ALLOC_T* sat, const char* s, const char* file, int line) {
    if (!s) return nullptr;
    size_t n = strlen(s) + 1;
    auto* r = static_cast<char*>(sat_alloc(sat, static_cast<int64_t>(n), file, line));
    memcpy(r, s, n);
    return r;
}

bool fd_code_type_valid(int type) {
    switch (type) {
        case FD_NONE:
        case FD_STR:
        case FD_STR_INHERIT:
        case FD_STR_ERASE:
        case FD_INT_ADD:
        case FD_INT_AVG:
        case FD_INT_MAX:
        case FD_INT_MIN:
        case FD_RGBA:
            return true;
        default:
            return false;
    }
}

const FIELD_TYPE* fd_row(int type) {
    int k = (type >> 4) & 0x0f;
    if (k < 1 || k > 4) return nullptr;
    return &field_type_tbl[k];
}

bool ddmmss_int(int64_t packed, int64_t* seconds) {
    // The magnitude in unsigned arithmetic, so that the most negative value splits too; at most
    // 922337203685477 degrees, whose seconds still fit.
    uint64_t a = packed < 0 ? 0 - static_cast<uint64_t>(packed) : static_cast<uint64_t>(packed);
    uint64_t d = a / 10000, m = a / 100 % 100, s = a % 100;
    if (m >= 60 || s >= 60) return false;
    auto t = static_cast<int64_t>(d * 3600 + m * 60 + s);
    *seconds = packed < 0 ? -t : t;
    return true;
}

bool ddmmss_float(double packed, double* seconds) {
    if (!std::isfinite(packed)) return false;
    double a = std::fabs(packed);
    double whole = std::floor(a);
    double d = std::floor(whole / 10000), m = std::fmod(std::floor(whole / 100), 100),
           s = std::fmod(whole, 100) + (a - whole);
    if (m >= 60 || s >= 60) return false;
    double t = d * 3600 + m * 60 + s;
    *seconds = std::signbit(packed) ? -t : t;
    return true;
}

namespace {

int mismatch(int a, int b) {
    ss_printf("MF %x %x\n", a, b);
    return -1;
}

// ---- input helpers -------------------------------------------------------------------------

// A QV text or CSV cell as bytes of the default code method.
std::string cell_text(const L_CHAR* s) {
    if (!s) return "";
    char* b = ln_copy_str(std_cm, s);
    std::string r = b ? b : "";
    d_f_ree(b);
    return r;
}

// A long-character text as bytes of code method cm, converted to its main sets with combining.
char* text_in(const L_CHAR* t, CODE_METHOD* cm) {
    L_CHAR* c = code_convert_with_combine(t, l_strlen(t), cm->main_code, 0);
    char* r = ln_copy_str(cm, c);
    d_f_ree(c);
    return r;
}

// The text of a value in code method cm: strings converted, other values printed in it.
char* value_text(QV_SEXP* v, CODE_METHOD* cm) {
    if (get_type(v) == QVT_STRING) return text_in(reinterpret_cast<QV_STRING*>(v)->data, cm);
    QV_SEXP* conv = cm->main_code ? convert_code(v, cm->main_code, 256) : v;
    STREAM* st = s_open_string_write(cm);
    print_sexp(st, conv, 0);
    const char* t = s_get_string(st);
    char* r = d_strdup(t ? t : "");
    s_close(st);
    return r;
}

// ---- none ----------------------------------------------------------------------------------

int fd_initial_none(IP_FIELD* target, const void*, FD_OPT* opt, int) {
    if (!target) {
        opt->merge_type = FD_NONE;
        return 0;
    }
    target->d.p = nullptr;
    return 0;
}
void fd_copy_none(IP_FIELD* dest, const IP_FIELD* src, SIMPLE_ALLOC_T*) {
    dest->type = src->type;
    dest->d.p = nullptr;
}
int fd_merge_none(IP_FIELD* dest, const IP_FIELD*, const IP_FIELD*) {
    dest->type = FD_NONE;
    dest->d.p = nullptr;
    return 0;
}
int fd_diff_none(IP_FIELD* dest, const IP_FIELD*, const IP_FIELD*) {
    dest->type = FD_NONE;
    dest->d.p = nullptr;
    return 0;
}
int fd_add_none(IP_FIELD* dest, const IP_FIELD*, const IP_FIELD*, SIMPLE_ALLOC_T*) {
    dest->type = FD_NONE;
    dest->d.p = nullptr;
    return 0;
}
const uint8_t* fd_to_internal_none(IP_FIELD* dest, const uint8_t* p, const uint8_t* end,
                                   SIMPLE_ALLOC_T*) {
    if (p >= end) return nullptr;
    if (dest) dest->d.p = nullptr;
    return p + 1;
}
uint8_t* fd_to_external_none(const IP_FIELD*, uint8_t* p) {
    return p;
}
int fd_size_none(const IP_FIELD*) {
    return 0;
}
int fd_cmp_none(const IP_FIELD*, const IP_FIELD*) {
    return 0;
}

// ---- str -----------------------------------------------------------------------------------

int fd_initial_str(IP_FIELD* target, const void* data, FD_OPT* opt, int flag) {
    if (!target) {
        auto* s = static_cast<QV_SEXP*>(const_cast<void*>(data));
        if (get_type(s) != QVT_PAIR) return -1;
        QV_SEXP* name = car(s);
        if (get_type(name) != QVT_STRING) return -2;
        std::string n = cell_text(reinterpret_cast<QV_STRING*>(name)->data);
        CODE_METHOD* cm = search_cm(n.c_str());
        if (!cm) return -4;
        opt->cm = cm;
        QV_SEXP* rest = cdr(s);
        QV_SEXP* conv = get_type(rest) == QVT_PAIR ? car(rest) : nullptr;
        opt->convert = get_type(conv) == QVT_NIL ? nullptr : conv;
        opt->merge_type = FD_STR;
        if (list_length(s) >= 3) opt->init_sexp = car(cdr(rest));
        return 0;
    }
    CODE_METHOD* cm = opt->cm ? opt->cm : std_cm;
    target->d.p = nullptr;
    if (!data) {
        target->type = FD_STR_ERASE;
        return 0;
    }
    if (flag == 1) {
        target->d.str = text_in(static_cast<const L_CHAR*>(data), cm);
        target->type = FD_STR;
        return 0;
    }
    auto* v = static_cast<QV_SEXP*>(const_cast<void*>(data));
    if (get_type(v) == QVT_NIL) {
        target->type = FD_STR_ERASE;
        return 0;
    }
    gc_push(nullptr, nullptr, "fd_initial_str");
    if (opt->convert) {
        QVISP_ENV* e = new_env(vxlisp_top_env0);
        set_env(e, l_string(std_cm, "___convert"), v);
        v = eval(e, opt->convert);
        if (get_type(v) == QVT_ERROR) {
            gc_pop(nullptr, nullptr);
            return -1;
        }
    }
    target->type = FD_STR;
    target->d.str = value_text(v, cm);
    gc_pop(nullptr, nullptr);
    return 0;
}

void fd_copy_str(IP_FIELD* dest, const IP_FIELD* src, SIMPLE_ALLOC_T* pool) {
    dest->type = src->type;
    switch (src->type) {
        case FD_STR:
            dest->d.str = sat_copy_str(pool, src->d.str, __FILE__, __LINE__);
            return;
        case FD_STR_INHERIT:
        case FD_STR_ERASE:
            dest->d.p = nullptr;
            return;
        default:
            er_panic("fd_copy_Str");
    }
}

bool str_eq(const IP_FIELD* a, const IP_FIELD* b) {
    return strcmp(a->d.str ? a->d.str : "", b->d.str ? b->d.str : "") == 0;
}

int fd_merge_str(IP_FIELD* dest, const IP_FIELD* s1, const IP_FIELD* s2) {
    dest->d.p = nullptr;
    if (s1->type == FD_STR) {
        if (s2->type == FD_STR) {
            if (str_eq(s1, s2)) {
                dest->type = FD_STR;
                dest->d.str = sat_copy_str(nullptr, s1->d.str, __FILE__, __LINE__);
            } else {
                dest->type = FD_STR_ERASE;
            }
            return 0;
        }
        if (s2->type == FD_STR_ERASE) {
            dest->type = FD_STR_ERASE;
            return 0;
        }
        return mismatch(s1->type, s2->type);
    }
    if (s1->type == FD_STR_ERASE) {
        dest->type = FD_STR_ERASE;
        return 0;
    }
    return mismatch(s1->type, s2->type);
}

int fd_diff_str(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* down) {
    dest->d.p = nullptr;
    if (down->type == FD_STR_ERASE && (up->type == FD_STR || up->type == FD_STR_ERASE)) {
        dest->type = FD_STR_ERASE;
        return 0;
    }
    if (down->type == FD_STR && up->type == FD_STR && str_eq(up, down)) {
        dest->type = FD_STR_INHERIT;
        return 0;
    }
    if (down->type == FD_STR && (up->type == FD_STR || up->type == FD_STR_ERASE)) {
        dest->type = FD_STR;
        dest->d.str = sat_copy_str(nullptr, down->d.str, __FILE__, __LINE__);
        return 0;
    }
    return mismatch(up->type, down->type);
}

int fd_add_str(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* diff, SIMPLE_ALLOC_T* pool) {
    dest->d.p = nullptr;
    if (up->type != FD_STR && up->type != FD_STR_ERASE) return mismatch(up->type, diff->type);
    switch (diff->type) {
        case FD_STR:
            dest->type = FD_STR;
            dest->d.str = sat_copy_str(pool, diff->d.str, __FILE__, __LINE__);
            return 0;
        case FD_STR_INHERIT:
            if (up->type == FD_STR) {
                dest->type = FD_STR;
                dest->d.str = sat_copy_str(pool, up->d.str, __FILE__, __LINE__);
            } else {
                dest->type = FD_STR_ERASE;
            }
            return 0;
        case FD_STR_ERASE:
            dest->type = FD_STR_ERASE;
            return 0;
        default:
            return mismatch(up->type, diff->type);
    }
}

const uint8_t* fd_to_internal_str(IP_FIELD* dest, const uint8_t* p, const uint8_t* end,
                                  SIMPLE_ALLOC_T* pool) {
    if (p >= end) return nullptr;
    uint8_t t = *p++;
    if (t == FD_STR_INHERIT || t == FD_STR_ERASE) {
        if (dest) dest->d.p = nullptr;
        return p;
    }
    if (t != FD_STR) return nullptr;
    auto* z = static_cast<const uint8_t*>(memchr(p, 0, static_cast<size_t>(end - p)));
    if (!z) return nullptr;
    if (dest) {
        auto n = static_cast<int64_t>(z - p) + 1;
        dest->d.str = static_cast<char*>(sat_alloc(pool, n, __FILE__, __LINE__));
        memcpy(dest->d.str, p, static_cast<size_t>(n));
    }
    return z + 1;
}

uint8_t* fd_to_external_str(const IP_FIELD* src, uint8_t* p) {
    switch (src->type) {
        case FD_STR: {
            size_t n = strlen(src->d.str ? src->d.str : "") + 1;
            memcpy(p, src->d.str ? src->d.str : "", n);
            return p + n;
        }
        case FD_STR_INHERIT:
        case FD_STR_ERASE:
            return p;
        default:
            er_panic("fd_to_external_str");
    }
}

int fd_size_str(const IP_FIELD* f) {
    switch (f->type) {
        case FD_STR:
            return static_cast<int>(strlen(f->d.str ? f->d.str : "")) + 1;
        case FD_STR_INHERIT:
        case FD_STR_ERASE:
            return 0;
        default:
            er_panic("fd_size_str");
    }
}

int fd_cmp_str(const IP_FIELD* a, const IP_FIELD* b) {
    if (a->type != b->type) return a->type < b->type ? -1 : 1;
    if (a->type != FD_STR) return 0;
    int r = strcmp(a->d.str ? a->d.str : "", b->d.str ? b->d.str : "");
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

void fd_gc_str(FD_OPT* opt) {
    if (opt->convert) gc_vx_sexp(opt->convert);
}

// ---- int -----------------------------------------------------------------------------------

int int_width(int type) {
    switch (type) {
        case FD_INT_ADD:
        case FD_INT_MAX:
        case FD_INT_MIN:
            return 1;
        case FD_INT_AVG:
            return 2;
        default:
            return 0;
    }
}

bool number_of(QV_SEXP* s, double* d) {
    int t = get_type(s);
    if (t == QVT_INTEGER) {
        *d = static_cast<double>(reinterpret_cast<QV_INTEGER*>(s)->data);
        return true;
    }
    if (t == QVT_FLOAT) {
        *d = reinterpret_cast<QV_FLOAT*>(s)->data;
        return true;
    }
    return false;
}

// The number a text begins with, as "%lli" and "%lf" read it: 0, or FD_NO_NUMBER when it begins
// with none, FD_OUT_OF_RANGE when no field holds it.
int prefix_code(NumPrefix r) {
    return r == NUM_OK ? 0 : r == NUM_NONE ? FD_NO_NUMBER : FD_OUT_OF_RANGE;
}
int text_ll(const std::string& t, int64_t* v) {
    return prefix_code(read_prefix_ll(t, v));
}
int text_double(const std::string& t, double* v) {
    return prefix_code(read_prefix_double(t, v));
}

int fd_initial_int(IP_FIELD* target, const void* data, FD_OPT* opt, int flag) {
    if (!target) {
        auto* s = static_cast<QV_SEXP*>(const_cast<void*>(data));
        if (list_length(s) < 4) return -1;
        QV_SEXP* a[4];
        QV_SEXP* r = s;
        for (auto& x : a) {
            x = car(r);
            r = cdr(r);
        }
        if (get_type(a[0]) != QVT_INTEGER) return -2;
        int64_t fmt = reinterpret_cast<QV_INTEGER*>(a[0])->data;
        // A format outside 1..4 is kept: each value is refused by its kind (-5, -6, -7).
        double reso = 0;
        if (!number_of(a[1], &reso)) return -3;
        double off = 0;
        if (!number_of(a[2], &off)) return -9;
        int64_t offset = 0;
        if (!trunc_s64(off, &offset) || !std::isfinite(reso)) return FD_OUT_OF_RANGE;
        if (get_type(a[3]) != QVT_INTEGER) return -4;
        // A format beyond the int range is no format (never its low bits, which could name one).
        opt->type = fmt >= INT_MIN && fmt <= INT_MAX ? static_cast<int>(fmt) : 0;
        opt->reso = reso;
        opt->offset = offset;
        opt->count = reinterpret_cast<QV_INTEGER*>(a[3])->data;
        if (get_type(r) == QVT_PAIR) opt->init_sexp = car(r);
        return 0;
    }
    int64_t v = 0;
    double x = 0;
    std::string text;
    bool is_text = flag == 1;
    QV_SEXP* s = nullptr;
    if (flag == 1) {
        text = cell_text(static_cast<const L_CHAR*>(data));
    } else {
        s = static_cast<QV_SEXP*>(const_cast<void*>(data));
        if (get_type(s) == QVT_STRING) {
            text = cell_text(reinterpret_cast<QV_STRING*>(s)->data);
            is_text = true;
        }
    }
    const double off = static_cast<double>(opt->offset);
    if (is_text) {
        if (opt->type == FDIT_INT) {
            int64_t i = 0;
            if (int rc = text_ll(text, &i)) return rc;
            x = static_cast<double>(i) * opt->reso + off;
        } else if (opt->type == FDIT_FLOAT || opt->type == FDIT_DD) {
            double f = 0;
            if (int rc = text_double(text, &f)) return rc;
            x = f * opt->reso + off;
        } else if (opt->type == FDIT_DDMMSS) {
            double f = 0;
            if (int rc = text_double(text, &f)) return rc;
            if (!ddmmss_float(f, &f)) return -7;
            x = f * opt->reso + off;
        } else {
            return -7;
        }
    } else if (get_type(s) == QVT_INTEGER) {
        int64_t i = reinterpret_cast<QV_INTEGER*>(s)->data;
        if (opt->type == FDIT_DDMMSS) {
            if (!ddmmss_int(i, &i)) return -6;
        } else if (opt->type < FDIT_INT || opt->type > FDIT_DD) {
            return -6;
        }
        x = static_cast<double>(i) * opt->reso + off;
    } else if (get_type(s) == QVT_FLOAT) {
        double f = reinterpret_cast<QV_FLOAT*>(s)->data;
        if (opt->type == FDIT_DDMMSS) {
            if (!std::isfinite(f)) return FD_OUT_OF_RANGE;
            if (!ddmmss_float(f, &f)) return -5;
        } else if (opt->type < FDIT_INT || opt->type > FDIT_DD) {
            return -5;
        }
        x = f * opt->reso + off;
    } else {
        return static_cast<int>(PLOT_ERR_KIND);
    }
    if (!trunc_s64(x, &v)) return FD_OUT_OF_RANGE;
    switch (opt->merge_type) {
        case FD_INT:
            if (opt->dim < 0) return -9;
            [[fallthrough]];
        case FD_INT_ADD:
        case FD_INT_MAX:
        case FD_INT_MIN:
            target->type = static_cast<uint8_t>(opt->merge_type);
            target->d.i = static_cast<int64_t*>(d_alloc(8));
            target->d.i[0] = v;
            return 0;
        case FD_INT_AVG:
            target->type = FD_INT_AVG;
            target->d.i = static_cast<int64_t*>(d_alloc(16));
            target->d.i[0] = v;
            target->d.i[1] = opt->count;
            return 0;
        default:
            return -8;
    }
}

void fd_copy_int(IP_FIELD* dest, const IP_FIELD* src, SIMPLE_ALLOC_T* pool) {
    dest->type = src->type;
    int w = src->type == FD_INT_AVG ? 2 : 1;
    dest->d.i = static_cast<int64_t*>(sat_alloc(pool, 8 * w, __FILE__, __LINE__));
    memcpy(dest->d.i, src->d.i, static_cast<size_t>(8 * w));
}

int fd_merge_int(IP_FIELD* dest, const IP_FIELD* s1, const IP_FIELD* s2) {
    if (s1->type != s2->type || !int_width(s1->type)) return mismatch(s1->type, s2->type);
    dest->type = s1->type;
    int64_t a = s1->d.i[0], b = s2->d.i[0];
    if (s1->type == FD_INT_AVG) {
        dest->d.i = static_cast<int64_t*>(d_alloc(16));
        int64_t c1 = s1->d.i[1], c2 = s2->d.i[1];
        // The products and their sum in 128 bits: in 64 they overflow for large values or counts.
        __int128 sum = static_cast<__int128>(a) * c1 + static_cast<__int128>(b) * c2;
        __int128 cnt = static_cast<__int128>(c1) + c2;
        __int128 avg = cnt != 0 ? sum / cnt : sum / 2;
        dest->d.i[0] = static_cast<int64_t>(static_cast<uint64_t>(avg));
        dest->d.i[1] = static_cast<int64_t>(static_cast<uint64_t>(c1) + static_cast<uint64_t>(c2));
        return 0;
    }
    dest->d.i = static_cast<int64_t*>(d_alloc(8));
    switch (s1->type) {
        case FD_INT_ADD:
            dest->d.i[0] =
                static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
            break;
        case FD_INT_MAX:
            dest->d.i[0] = b > a ? b : a;
            break;
        default:
            dest->d.i[0] = b < a ? b : a;
            break;
    }
    return 0;
}

int fd_diff_int(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* down) {
    if (up->type != down->type || !int_width(up->type)) return mismatch(up->type, down->type);
    dest->type = down->type;
    if (down->type == FD_INT_AVG) {
        dest->d.i = static_cast<int64_t*>(d_alloc(16));
        dest->d.i[0] = static_cast<int64_t>(static_cast<uint64_t>(down->d.i[0]) -
                                            static_cast<uint64_t>(up->d.i[0]));
        dest->d.i[1] = down->d.i[1];
        return 0;
    }
    dest->d.i = static_cast<int64_t*>(d_alloc(8));
    dest->d.i[0] = down->d.i[0];
    return 0;
}

int fd_add_int(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* diff, SIMPLE_ALLOC_T* pool) {
    if (up->type != diff->type || !int_width(up->type)) return mismatch(up->type, diff->type);
    dest->type = diff->type;
    if (diff->type == FD_INT_AVG) {
        dest->d.i = static_cast<int64_t*>(sat_alloc(pool, 16, __FILE__, __LINE__));
        dest->d.i[0] = static_cast<int64_t>(static_cast<uint64_t>(up->d.i[0]) +
                                            static_cast<uint64_t>(diff->d.i[0]));
        dest->d.i[1] = diff->d.i[1];
        return 0;
    }
    dest->d.i = static_cast<int64_t*>(sat_alloc(pool, 8, __FILE__, __LINE__));
    dest->d.i[0] = diff->d.i[0];
    return 0;
}

const uint8_t* fd_to_internal_int(IP_FIELD* dest, const uint8_t* p, const uint8_t* end,
                                  SIMPLE_ALLOC_T* pool) {
    if (p >= end) return nullptr;
    int w = int_width(*p++);
    if (!w || end - p < 8 * w) return nullptr;
    if (dest) {
        dest->d.i = static_cast<int64_t*>(sat_alloc(pool, 8 * w, __FILE__, __LINE__));
        for (int k = 0; k < w; k++)
            dest->d.i[k] = static_cast<int64_t>(get_be64(p + 8 * k));
    }
    return p + 8 * w;
}

uint8_t* fd_to_external_int(const IP_FIELD* src, uint8_t* p) {
    int w = int_width(src->type);
    if (!w) er_panic("fd_to_external_int");
    for (int k = 0; k < w; k++)
        put_be64(p + 8 * k, static_cast<uint64_t>(src->d.i[k]));
    return p + 8 * w;
}

int fd_size_int(const IP_FIELD* f) {
    int w = int_width(f->type);
    if (!w) er_panic("fd_size_int");
    return 8 * w;
}

int fd_cmp_int(const IP_FIELD* a, const IP_FIELD* b) {
    int64_t x = a->d.i ? a->d.i[0] : 0, y = b->d.i ? b->d.i[0] : 0;
    return x < y ? -1 : x > y ? 1 : 0;
}

// ---- rgba ----------------------------------------------------------------------------------

int fd_initial_rgba(IP_FIELD* target, const void* data, FD_OPT* opt, int flag) {
    if (!target) {
        auto* s = static_cast<QV_SEXP*>(const_cast<void*>(data));
        if (get_type(s) != QVT_PAIR || get_type(car(s)) != QVT_INTEGER) return -1;
        opt->count = reinterpret_cast<QV_INTEGER*>(car(s))->data;
        opt->merge_type = FD_RGBA;
        if (get_type(cdr(s)) == QVT_PAIR) opt->init_sexp = car(cdr(s));
        return 0;
    }
    int64_t v = 0;
    if (flag == 1) {
        if (int rc = text_ll(cell_text(static_cast<const L_CHAR*>(data)), &v)) return rc;
    } else {
        auto* s = static_cast<QV_SEXP*>(const_cast<void*>(data));
        if (get_type(s) == QVT_STRING) {
            if (int rc = text_ll(cell_text(reinterpret_cast<QV_STRING*>(s)->data), &v)) return rc;
        } else if (get_type(s) == QVT_INTEGER) {
            v = reinterpret_cast<QV_INTEGER*>(s)->data;
        } else {
            print_sexp(s_stdout, s, 0);
            ss_printf("\n");
            return -2;
        }
    }
    target->type = static_cast<uint8_t>(opt->merge_type);
    target->d.rgba = static_cast<FIELD_RGBA_T*>(d_alloc(sizeof(FIELD_RGBA_T)));
    // The low 32 bits, most significant byte first: 0xRRGGBBAA.
    put_be32(target->d.rgba->rgba, static_cast<uint32_t>(v));
    target->d.rgba->count = opt->count;
    return 0;
}

void fd_copy_rgba(IP_FIELD* dest, const IP_FIELD* src, SIMPLE_ALLOC_T* pool) {
    dest->type = src->type;
    dest->d.rgba =
        static_cast<FIELD_RGBA_T*>(sat_alloc(pool, sizeof(FIELD_RGBA_T), __FILE__, __LINE__));
    *dest->d.rgba = *src->d.rgba;
}

int fd_merge_rgba(IP_FIELD* dest, const IP_FIELD* s1, const IP_FIELD* s2) {
    if (s1->type != s2->type || s1->type != FD_RGBA) return mismatch(s1->type, s2->type);
    dest->type = FD_RGBA;
    dest->d.rgba = static_cast<FIELD_RGBA_T*>(d_alloc(sizeof(FIELD_RGBA_T)));
    uint64_t c1 = static_cast<uint64_t>(s1->d.rgba->count);
    uint64_t c2 = static_cast<uint64_t>(s2->d.rgba->count);
    uint64_t cnt = c1 + c2;
    for (int k = 0; k < 4; k++) {
        uint64_t sum = s1->d.rgba->rgba[k] * c1 + s2->d.rgba->rgba[k] * c2;
        dest->d.rgba->rgba[k] = cnt ? static_cast<uint8_t>(sum / cnt)
                                    : static_cast<uint8_t>(static_cast<uint32_t>(sum) / 2);
    }
    dest->d.rgba->count = static_cast<int64_t>(cnt);
    return 0;
}

int fd_diff_rgba(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* down) {
    if (up->type != down->type || up->type != FD_RGBA) return mismatch(up->type, down->type);
    fd_copy_rgba(dest, down, nullptr);
    return 0;
}

int fd_add_rgba(IP_FIELD* dest, const IP_FIELD* up, const IP_FIELD* diff, SIMPLE_ALLOC_T* pool) {
    if (up->type != diff->type || up->type != FD_RGBA) return mismatch(up->type, diff->type);
    fd_copy_rgba(dest, diff, pool);
    return 0;
}

const uint8_t* fd_to_internal_rgba(IP_FIELD* dest, const uint8_t* p, const uint8_t* end,
                                   SIMPLE_ALLOC_T* pool) {
    if (p >= end || *p != FD_RGBA) return nullptr;
    p++;
    if (end - p < 12) return nullptr;
    if (dest) {
        dest->d.rgba =
            static_cast<FIELD_RGBA_T*>(sat_alloc(pool, sizeof(FIELD_RGBA_T), __FILE__, __LINE__));
        memcpy(dest->d.rgba->rgba, p, 4);
        dest->d.rgba->count = static_cast<int64_t>(get_be64(p + 4));
    }
    return p + 12;
}

uint8_t* fd_to_external_rgba(const IP_FIELD* src, uint8_t* p) {
    memcpy(p, src->d.rgba->rgba, 4);
    put_be64(p + 4, static_cast<uint64_t>(src->d.rgba->count));
    return p + 12;
}

int fd_size_rgba(const IP_FIELD*) {
    return 12;
}

int fd_cmp_rgba(const IP_FIELD* a, const IP_FIELD* b) {
    int r = memcmp(a->d.rgba->rgba, b->d.rgba->rgba, 4);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

}  // namespace

const FIELD_TYPE field_type_tbl[5] = {
    {},
    {fd_initial_none, fd_copy_none, fd_merge_none, fd_diff_none, fd_add_none, fd_to_internal_none,
     fd_to_external_none, fd_size_none, fd_cmp_none, nullptr},
    {fd_initial_str, fd_copy_str, fd_merge_str, fd_diff_str, fd_add_str, fd_to_internal_str,
     fd_to_external_str, fd_size_str, fd_cmp_str, fd_gc_str},
    {fd_initial_int, fd_copy_int, fd_merge_int, fd_diff_int, fd_add_int, fd_to_internal_int,
     fd_to_external_int, fd_size_int, fd_cmp_int, nullptr},
    {fd_initial_rgba, fd_copy_rgba, fd_merge_rgba, fd_diff_rgba, fd_add_rgba, fd_to_internal_rgba,
     fd_to_external_rgba, fd_size_rgba, fd_cmp_rgba, nullptr},
};

// ---- field arrays --------------------------------------------------------------------------

IP_FIELD* new_fields(uint32_t n) {
    if (n == 0) return nullptr;
    auto* f = static_cast<IP_FIELD*>(d_calloc(n, sizeof(IP_FIELD)));
    for (uint32_t i = 0; i < n; i++)
        f[i].type = FD_NONE;
    f[0].len = n;
    return f;
}

IP_FIELD* xx_copy_fields(const IP_FIELD* fd, SIMPLE_ALLOC_T* sat, const char* file, int line) {
    if (!fd) return nullptr;
    uint32_t n = fd[0].len;
    auto* r = static_cast<IP_FIELD*>(sat_alloc(sat, static_cast<int64_t>(n) * 16, file, line));
    for (uint32_t i = 0; i < n; i++) {
        const FIELD_TYPE* row = fd_row(fd[i].type);
        if (!row || !row->copy) er_panic("copy_fields");
        r[i].len = 0;
        row->copy(&r[i], &fd[i], sat);
    }
    r[0].len = n;
    return r;
}

void free_fields(IP_FIELD* fd) {
    if (!fd) return;
    for (uint32_t i = 0; i < fd[0].len; i++)
        d_f_ree(fd[i].d.p);
    d_f_ree(fd);
}

void xx_change_st_fields(IP_FIELD* fd, const char* file, int line) {
    if (!fd) return;
    for (uint32_t i = 0; i < fd[0].len; i++)
        if (fd[i].d.p) xx_change_statistics(fd[i].d.p, file, line);
    xx_change_statistics(fd, file, line);
}

bool fields_equal(const IP_FIELD* a, const IP_FIELD* b) {
    if (!a || !b) return a == b;
    if (a[0].len != b[0].len) return false;
    for (uint32_t i = 0; i < a[0].len; i++) {
        if (a[i].type != b[i].type) return false;
        const FIELD_TYPE* row = fd_row(a[i].type);
        if (row->cmp(&a[i], &b[i]) != 0) return false;
        if (a[i].type == FD_INT_AVG && a[i].d.i[1] != b[i].d.i[1]) return false;
        if (a[i].type == FD_RGBA && a[i].d.rgba->count != b[i].d.rgba->count) return false;
    }
    return true;
}

namespace {

// A field's combination into entry r; a kind mismatch prints "MF" and fails.
int combine(IP_FIELD* r, const IP_FIELD* a, const IP_FIELD* b, bool diff) {
    if ((a->type >> 4) != (b->type >> 4) || !fd_row(a->type)) return mismatch(a->type, b->type);
    const FIELD_TYPE* row = fd_row(a->type);
    return diff ? row->diff(r, a, b) : row->merge(r, a, b);
}

// Frees the first n entries' data and the array.
void drop_fields(IP_FIELD* f, uint32_t n) {
    for (uint32_t i = 0; i < n; i++)
        d_f_ree(f[i].d.p);
    d_f_ree(f);
}

}  // namespace

IP_FIELD* merge_fields(uint8_t* flags, const IP_FIELD* fd1, const IP_FIELD* fd2, uint32_t* err) {
    if (!fd1 && !fd2) return nullptr;
    if (!fd1 || !fd2) return copy_fields(fd1 ? fd1 : fd2, nullptr);
    const IP_FIELD* l = fd1[0].len >= fd2[0].len ? fd1 : fd2;
    const IP_FIELD* s = l == fd1 ? fd2 : fd1;
    uint32_t n = l[0].len;
    auto* r = static_cast<IP_FIELD*>(d_calloc(n, sizeof(IP_FIELD)));
    for (uint32_t i = 0; i < n; i++) {
        const IP_FIELD* src = &l[i];
        if (i < s[0].len && (s[i].type >> 4) != 1) {
            if ((l[i].type >> 4) == 1) {
                src = &s[i];
            } else {
                if (combine(&r[i], &s[i], &l[i], false) < 0) {
                    drop_fields(r, i);
                    *err = PLOT_ERR_KIND;
                    return nullptr;
                }
                src = nullptr;
            }
        }
        if (src) fd_row(src->type)->copy(&r[i], src, nullptr);
        r[i].len = 0;
    }
    r[0].len = n;
    *flags |= 0x08;
    return r;
}

IP_FIELD* diff_fields(const IP_FIELD* down, const IP_FIELD* up, uint32_t* err) {
    if (!down) return nullptr;
    if (!up) return copy_fields(down, nullptr);
    uint32_t n = down[0].len;
    auto* r = static_cast<IP_FIELD*>(d_calloc(n, sizeof(IP_FIELD)));
    for (uint32_t i = 0; i < n; i++) {
        bool plain = i >= up[0].len || (up[i].type >> 4) == 1 || (down[i].type >> 4) == 1;
        if (plain) {
            fd_row(down[i].type)->copy(&r[i], &down[i], nullptr);
        } else if (combine(&r[i], &up[i], &down[i], true) < 0) {
            drop_fields(r, i);
            *err = PLOT_ERR_KIND;
            return nullptr;
        }
        r[i].len = 0;
    }
    r[0].len = n;
    return r;
}
