// Unit environments, unit names, dimension vectors and conversion between units.
#include "lisp/units.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/gchooks.h"
#include "longchar/longchar.h"

SEM unit_lock;

const CU_TABLE cu_table[] = {
    {"length", {{"inch", 39.37007874015748}, {"mm", 1000}, {"cm", 100}, {"m", 1}, {"km", -1000}}},
    {"resolution", {{"dpi", 0.0254}, {"dot/cm", -100}, {"dot/m", 1}, {"dot/km", 1000}}},
    {"", {}},
};

namespace {

UNIT_ENV* ue_name_list;  // named environments; unit_lock for changes, memory lock for links
UNIT_ENV* default_uenv;

bool same(const L_CHAR* a, const L_CHAR* b) {
    return a && b && l_strcmp(a, b) == 0;
}

void gc_system_unit(void* p) {
    auto* su = static_cast<SYSTEM_UNIT*>(p);
    if (gc_mark_block(su)) gc_text(su->name);
}

void gc_unit_alias(void* p) {
    auto* ua = static_cast<UNIT_ALIAS*>(p);
    if (gc_mark_block(ua)) gc_text(ua->name);
}

// 64-bit value of a factor: truncated toward zero, saturated, NaN as 0.
int64_t to_int64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775807.0) return INT64_MAX;
    if (v <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(v);
}

int64_t saturate(__int128 v) {
    if (v > INT64_MAX) return INT64_MAX;
    if (v < INT64_MIN) return INT64_MIN;
    return static_cast<int64_t>(v);
}

SYSTEM_UNIT* unit_of(UNIT_ENV* ue, int sys, int no) {
    if (!ue || no <= 0 || no >= ue->no2su_len[sys]) return nullptr;
    return ue->no2su[sys][no];
}

// Renumbers a system's units in list order and rebuilds its number table; memory lock held.
void renumber(UNIT_ENV* ue, int sys) {
    int n = 0;
    for (SYSTEM_UNIT* su = ue->sys_unit[sys]; su; su = su->next)
        su->no = static_cast<int16_t>(++n);
    if (n + 1 > ue->no2su_len[sys]) {
        int len = ue->no2su_len[sys] ? ue->no2su_len[sys] : 8;
        while (len < n + 1)
            len *= 2;
        ue->no2su[sys] = static_cast<SYSTEM_UNIT**>(
            mmalloc(static_cast<int64_t>(len * sizeof(SYSTEM_UNIT*)), gc_text));
        ue->no2su_len[sys] = len;
    }
    for (SYSTEM_UNIT* su = ue->sys_unit[sys]; su; su = su->next)
        ue->no2su[sys][su->no] = su;
}

// The power text of a factor, read like "%i" (sign, then 0x hex, 0 octal or decimal); a text
// without digits gives 1. Saturated to the 16-bit range.
int16_t read_power(const L_CHAR* s, const L_CHAR* end) {
    bool neg = false;
    if (s < end && (*s == '-' || *s == '+')) neg = *s++ == '-';
    int base = 10;
    if (s < end && *s == '0') {
        base = 8;
        if (s + 1 < end && (s[1] == 'x' || s[1] == 'X')) {
            base = 16;
            s += 2;
        }
    }
    int64_t v = 0;
    int digits = 0;
    for (; s < end; s++) {
        int d;
        if (*s >= '0' && *s <= '9')
            d = static_cast<int>(*s - '0');
        else if (*s >= 'a' && *s <= 'f')
            d = static_cast<int>(*s - 'a') + 10;
        else if (*s >= 'A' && *s <= 'F')
            d = static_cast<int>(*s - 'A') + 10;
        else
            break;
        if (d >= base) break;
        digits++;
        if (v < 100000) v = v * base + d;
    }
    if (!digits) return 1;
    if (neg) v = -v;
    if (v > INT16_MAX) return INT16_MAX;
    if (v < INT16_MIN) return INT16_MIN;
    return static_cast<int16_t>(v);
}

// The temporary text of an ASCII name plus long characters.
L_CHAR* temp_text(const std::vector<L_CHAR>& v) {
    auto* r = static_cast<L_CHAR*>(d_alloc(static_cast<int64_t>((v.size() + 1) * sizeof(L_CHAR))));
    memcpy(r, v.data(), v.size() * sizeof(L_CHAR));
    r[v.size()] = 0;
    set_buffer(r);
    return r;
}

char* temp_cstr(const std::string& s) {
    auto* r = static_cast<char*>(d_alloc(static_cast<int64_t>(s.size() + 1)));
    memcpy(r, s.c_str(), s.size() + 1);
    set_buffer(r);
    return r;
}

// The name of a default alias and the unit power it stands for.
struct DEFAULT_ALIAS {
    const char* name;
    const char* dim;
    int32_t r;
};

const DEFAULT_ALIAS default_aliases[] = {
    {"a", "m^2", 100},        {"l", "cm^3", 1000},    {"dl", "cm^3", 100},
    {"dpi", "inch^-1", 1},    {"dot/mm", "mm^-1", 1}, {"dot/cm", "cm^-1", 1},
    {"dot/m", "m^-1", 1},     {"dot/km", "km^-1", 1}, {"dot/degree", "degree^-1", 1},
    {"dot/rad", "rad^-1", 1},
};

bool uses(const DIMENSION& d) {
    return d.u != 0;
}

}  // namespace

// Unit environments.

void gc_unit_env_mark(UNIT_ENV* ue) {
    if (!gc_mark_block(ue)) return;
    gc_text(ue->name);
    for (int i = 0; i < UNIT_HASH; i++) {
        for (UNIT_ALIAS* a = ue->name_hash[i]; a; a = a->n_next)
            gc_unit_alias(a);
        for (UNIT_ALIAS* a = ue->dim_hash[i]; a; a = a->d_next)
            gc_unit_alias(a);
    }
    for (int s = 0; s < UNIT_SYSTEMS; s++) {
        for (SYSTEM_UNIT* su = ue->sys_unit[s]; su; su = su->next)
            gc_system_unit(su);
        gc_text(ue->no2su[s]);
    }
}

void gc_unit() {
    gc_unit_env(default_uenv);
    for (UNIT_ENV* ue = ue_name_list; ue; ue = ue->next)
        gc_unit_env(ue);
}

UNIT_ENV* new_uenv() {
    return static_cast<UNIT_ENV*>(mmalloc(sizeof(UNIT_ENV), gc_unit_env));
}

int new_su(UNIT_ENV* ue, int sys, const L_CHAR* name, double shi, double bo) {
    if (!ue || !name || sys < 0 || sys >= UNIT_SYSTEMS) return -1;
    // A unit worth nothing or infinitely much would make conversions divide by zero.
    if (!(shi > 0) || !(bo > 0) || !std::isfinite(shi) || !std::isfinite(bo)) return -1;
    if (search_system_unit(ue, sys, name)) return -1;
    lock_mem();
    auto* su = static_cast<SYSTEM_UNIT*>(mmalloc(sizeof(SYSTEM_UNIT), gc_system_unit));
    su->name = copy_ltext(name);
    su->shi = shi;
    su->bo = bo;
    su->shi_int = to_int64(shi);
    su->bo_int = to_int64(bo);
    double v = shi / bo;
    SYSTEM_UNIT** pp = &ue->sys_unit[sys];
    while (*pp && (*pp)->shi / (*pp)->bo >= v)
        pp = &(*pp)->next;
    su->next = *pp;
    *pp = su;
    renumber(ue, sys);
    unlock_mem();
    return 0;
}

int n_new_su(UNIT_ENV* ue, int sys, const char* name, double shi, double bo) {
    return new_su(ue, sys, l_string(std_cm, name), shi, bo);
}

int new_ua(UNIT_ENV* ue, const DIMENSION* dim, const L_CHAR* name) {
    if (!ue || !dim || !name) return -1;
    if (search_alias_by_name(ue, name) || search_alias_by_dim(ue, dim)) return -1;
    lock_mem();
    auto* a = static_cast<UNIT_ALIAS*>(mmalloc(sizeof(UNIT_ALIAS), gc_unit_alias));
    a->name = copy_ltext(name);
    memcpy(a->dim, dim, sizeof(a->dim));
    uint32_t nk = name_hash_key(name);
    uint32_t dk = dim_hash_key(dim);
    a->n_next = ue->name_hash[nk];
    ue->name_hash[nk] = a;
    a->d_next = ue->dim_hash[dk];
    ue->dim_hash[dk] = a;
    unlock_mem();
    return 0;
}

int n_new_ua(UNIT_ENV* ue, const DIMENSION* dim, const char* name) {
    return new_ua(ue, dim, l_string(std_cm, name));
}

void system_unit_alias(UNIT_ENV* ue) {
    for (int s = 0; s < UNIT_SYSTEMS; s++) {
        for (SYSTEM_UNIT* su = ue->sys_unit[s]; su; su = su->next) {
            DIMENSION d[UNIT_SYSTEMS];
            zero_unit(d);
            d[s] = {static_cast<uint16_t>(su->no), 1, 1};
            new_ua(ue, d, su->name);
        }
    }
}

SYSTEM_UNIT* search_system_unit(UNIT_ENV* ue, int d, const L_CHAR* name) {
    if (!ue || !name || d < 0 || d >= UNIT_SYSTEMS) return nullptr;
    for (SYSTEM_UNIT* su = ue->sys_unit[d]; su; su = su->next)
        if (same(su->name, name)) return su;
    return nullptr;
}

UNIT_ALIAS* search_alias_by_name(UNIT_ENV* ue, const L_CHAR* name) {
    if (!ue || !name) return nullptr;
    for (UNIT_ALIAS* a = ue->name_hash[name_hash_key(name)]; a; a = a->n_next)
        if (same(a->name, name)) return a;
    return nullptr;
}

UNIT_ALIAS* search_alias_by_dim(UNIT_ENV* ue, const DIMENSION* dim) {
    if (!ue || !dim) return nullptr;
    for (UNIT_ALIAS* a = ue->dim_hash[dim_hash_key(dim)]; a; a = a->d_next)
        if (dim_cmp(a->dim, dim) == 0) return a;
    return nullptr;
}

UNIT_ENV* copy_uenv1(UNIT_ENV* ue) {
    UNIT_ENV* n = new_uenv();
    if (!ue) return n;
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        for (SYSTEM_UNIT* su = ue->sys_unit[s]; su; su = su->next)
            new_su(n, s, su->name, su->shi, su->bo);
    return n;
}

void copy_uenv2(UNIT_ENV* to, UNIT_ENV* from) {
    if (!to || !from) return;
    for (int i = 0; i < UNIT_HASH; i++) {
        for (UNIT_ALIAS* a = from->name_hash[i]; a; a = a->n_next) {
            DIMENSION d[UNIT_SYSTEMS];
            memcpy(d, a->dim, sizeof(d));
            for (int s = 0; s < UNIT_SYSTEMS; s++) {
                if (!d[s].u) continue;
                SYSTEM_UNIT* fu = unit_of(from, s, d[s].u);
                SYSTEM_UNIT* tu = fu ? search_system_unit(to, s, fu->name) : nullptr;
                if (!tu) er_panic("copy_uenv2(1)");
                d[s].u = static_cast<uint16_t>(tu->no);
            }
            new_ua(to, d, a->name);
        }
    }
}

void set_uenv_name(UNIT_ENV* ue, const L_CHAR* name) {
    if (!ue || !name) return;
    lock_task(unit_lock);
    lock_mem();
    for (UNIT_ENV** pp = &ue_name_list; *pp; pp = &(*pp)->next) {
        if (*pp == ue) {
            *pp = ue->next;
            break;
        }
    }
    ue->name = copy_ltext(name);
    ue->next = ue_name_list;
    ue_name_list = ue;
    unlock_mem();
    unlock_task(unit_lock, "unit_lock");
}

void del_uenv_name(const L_CHAR* name) {
    if (!name) return;
    lock_task(unit_lock);
    lock_mem();
    for (UNIT_ENV** pp = &ue_name_list; *pp; pp = &(*pp)->next) {
        if (same((*pp)->name, name)) {
            UNIT_ENV* ue = *pp;
            *pp = ue->next;
            ue->next = nullptr;
            break;
        }
    }
    unlock_mem();
    unlock_task(unit_lock, "unit_lock");
}

UNIT_ENV* search_uenv_name(const L_CHAR* name) {
    if (!name) return nullptr;
    lock_task(unit_lock);
    UNIT_ENV* r = nullptr;
    for (UNIT_ENV* ue = ue_name_list; ue && !r; ue = ue->next)
        if (same(ue->name, name)) r = ue;
    unlock_task(unit_lock, "unit_lock");
    return r;
}

UNIT_ENV* get_default_uenv() {
    return default_uenv;
}

void init_unit() {
    if (unit_lock) return;
    new_lock(&unit_lock);
    set_gc_unit_env(gc_unit_env_mark);
    gc_push(nullptr, nullptr, "init_unit");
    UNIT_ENV* ue = new_uenv();
    n_new_su(ue, US_LENGTH, "inch", 10000, 254);
    n_new_su(ue, US_LENGTH, "feet", 10000, 3048);
    n_new_su(ue, US_LENGTH, "yard", 10000, 9144);
    n_new_su(ue, US_LENGTH, "mm", 1000, 1);
    n_new_su(ue, US_LENGTH, "cm", 100, 1);
    n_new_su(ue, US_LENGTH, "m", 1, 1);
    n_new_su(ue, US_LENGTH, "km", 1, 1000);
    n_new_su(ue, US_TIME, "sec", 60, 1);
    n_new_su(ue, US_TIME, "min", 1, 1);
    n_new_su(ue, US_TIME, "h", 1, 60);
    n_new_su(ue, US_MASS, "mg", 1000, 1);
    n_new_su(ue, US_MASS, "g", 1, 1);
    n_new_su(ue, US_MASS, "kg", 1, 1000);
    constexpr double pi = std::numbers::pi;
    n_new_su(ue, US_ANGLE, "rad", 1, 1);
    n_new_su(ue, US_ANGLE, "degree", 180, pi);
    n_new_su(ue, US_ANGLE, "'", 10800, pi);
    n_new_su(ue, US_ANGLE, "''", 648000, pi);
    system_unit_alias(ue);
    for (const DEFAULT_ALIAS& a : default_aliases) {
        DIMENSION d[UNIT_SYSTEMS];
        name2dim(ue, d, l_string(std_cm, a.dim));
        for (DIMENSION& e : d)
            if (e.p) e.r = a.r;
        n_new_ua(ue, d, a.name);
    }
    lock_mem();
    default_uenv = ue;
    unlock_mem();
    gc_pop(nullptr, nullptr);
    set_uenv(vxlisp_top_env0, ue);
    gc_hook_mark(gc_unit);
}

// Names and dimensions.

uint32_t name_hash_key(const L_CHAR* name) {
    uint32_t sum = 0;
    for (; name && *name; name++)
        sum += *name;
    return sum % UNIT_HASH;
}

uint32_t dim_hash_key(const DIMENSION* dim) {
    uint32_t sum = 0;
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        sum += static_cast<uint32_t>(dim[s].p) + dim[s].u + static_cast<uint32_t>(dim[s].r);
    return sum % UNIT_HASH;
}

int dim_cmp(const DIMENSION* d1, const DIMENSION* d2) {
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        if (d1[s].u != d2[s].u || d1[s].p != d2[s].p || d1[s].r != d2[s].r) return -1;
    return 0;
}

int dim_power_cmp(const DIMENSION* d1, const DIMENSION* d2) {
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        if (d1[s].p != d2[s].p) return -1;
    return 0;
}

void zero_unit(DIMENSION* dim) {
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        dim[s] = {0, 0, 1};
}

int name2dim(UNIT_ENV* ue, DIMENSION* dim, const L_CHAR* name) {
    zero_unit(dim);
    if (!name) return 0;
    if (UNIT_ALIAS* a = search_alias_by_name(ue, name)) {
        memcpy(dim, a->dim, sizeof(a->dim));
        return 0;
    }
    std::vector<L_CHAR> unit;
    const L_CHAR* p = name;
    while (true) {
        const L_CHAR* end = p;
        while (*end && *end != '*')
            end++;
        const L_CHAR* caret = p;
        while (caret < end && *caret != '^')
            caret++;
        unit.assign(p, caret);
        unit.push_back(0);
        int16_t power = caret < end ? read_power(caret + 1, end) : 1;
        for (int s = 0; s < UNIT_SYSTEMS; s++) {
            if (SYSTEM_UNIT* su = search_system_unit(ue, s, unit.data())) {
                dim[s] = {static_cast<uint16_t>(su->no), power, 1};
                break;
            }
        }
        if (!*end) break;
        p = end + 1;
    }
    return 0;
}

L_CHAR* dim2name(UNIT_ENV* ue, const DIMENSION* dim) {
    bool any = false;
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        any = any || dim[s].p != 0;
    if (!any) return nullptr;
    if (UNIT_ALIAS* a = search_alias_by_dim(ue, dim)) return a->name;
    // A factor left in any system has no name of its own (a zero power included: its factor
    // still scales the value).
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        if (dim[s].r != 1) return nullptr;
    std::vector<L_CHAR> out;
    for (int s = 0; s < UNIT_SYSTEMS; s++) {
        if (!dim[s].p) continue;
        SYSTEM_UNIT* su = unit_of(ue, s, dim[s].u);
        if (!su) return nullptr;
        if (!out.empty()) out.push_back('*');
        for (const L_CHAR* c = su->name; *c; c++)
            out.push_back(*c);
        if (dim[s].p != 1) {
            char buf[16];
            snprintf(buf, sizeof(buf), "^%i", static_cast<int>(dim[s].p));
            for (const char* c = buf; *c; c++)
                out.push_back(static_cast<unsigned char>(*c));
        }
    }
    return temp_text(out);
}

L_CHAR* get_base_unit(QV_SEXP* s) {
    std::vector<QV_SEXP*> todo{s};
    while (!todo.empty()) {
        QV_SEXP* x = todo.back();
        todo.pop_back();
        switch (get_type(x)) {
            case QVT_INTEGER:
                if (x->integer.unit) return x->integer.unit;
                break;
            case QVT_FLOAT:
                if (x->floating.unit) return x->floating.unit;
                break;
            case QVT_PAIR:
                todo.push_back(x->pair.cdr);
                todo.push_back(x->pair.car);
                break;
            default:
                break;
        }
    }
    return nullptr;
}

void print_dim(const DIMENSION* d) {
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        printf("u%i^%i(%i)", d[s].u, d[s].p, d[s].r);
}

// Conversion.

double conv_unit_floating(int* er, UNIT_ENV* ue, double inp, const DIMENSION* from,
                          const DIMENSION* to) {
    if (dim_power_cmp(from, to)) {
        if (er) *er = -1;
        return inp;
    }
    double v = inp;
    for (int s = 0; s < UNIT_SYSTEMS; s++) {
        int p = from[s].p;
        if (from[s].u == to[s].u || p == 0) continue;
        SYSTEM_UNIT* f = unit_of(ue, s, from[s].u);
        SYSTEM_UNIT* t = unit_of(ue, s, to[s].u);
        if (!f || !t) continue;
        for (int i = 0; i < p; i++)
            v = v * t->shi * f->bo / (t->bo * f->shi);
        for (int i = 0; i < -p; i++)
            v = v * t->bo * f->shi / (t->shi * f->bo);
    }
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        if (from[s].r != to[s].r && to[s].r != 0) v = v * from[s].r / to[s].r;
    if (er) *er = 0;
    return v;
}

namespace {

// value x a x b / (c x d) in 128-bit arithmetic, truncated toward zero and saturated; when an
// integer factor is zero (a unit finer than a whole base unit's worth) or the product leaves
// 128 bits, the same in double.
int64_t mul_div(int64_t v, int64_t a, int64_t b, int64_t c, int64_t d) {
    __int128 num, den;
    if (c != 0 && d != 0 && !__builtin_mul_overflow(static_cast<__int128>(v), a, &num) &&
        !__builtin_mul_overflow(num, static_cast<__int128>(b), &num) &&
        !__builtin_mul_overflow(static_cast<__int128>(c), d, &den))
        return saturate(num / den);
    double r = static_cast<double>(v) * static_cast<double>(a) * static_cast<double>(b) /
               (static_cast<double>(c) * static_cast<double>(d));
    return to_int64(r);
}

}  // namespace

int64_t conv_unit_integer(int* er, UNIT_ENV* ue, int64_t inp, const DIMENSION* from,
                          const DIMENSION* to) {
    if (dim_power_cmp(from, to)) {
        if (er) *er = -1;
        return inp;
    }
    int64_t v = inp;
    for (int s = 0; s < UNIT_SYSTEMS; s++) {
        int p = from[s].p;
        if (from[s].u == to[s].u || p == 0) continue;
        SYSTEM_UNIT* f = unit_of(ue, s, from[s].u);
        SYSTEM_UNIT* t = unit_of(ue, s, to[s].u);
        if (!f || !t) continue;
        if (f->shi_int == 0 || f->bo_int == 0 || t->shi_int == 0 || t->bo_int == 0) {
            // A unit whose integer factors truncate to zero converts in double.
            double dv = static_cast<double>(v);
            for (int i = 0; i < p; i++)
                dv = dv * t->shi * f->bo / (t->bo * f->shi);
            for (int i = 0; i < -p; i++)
                dv = dv * t->bo * f->shi / (t->shi * f->bo);
            v = to_int64(std::trunc(dv));
            continue;
        }
        for (int i = 0; i < p; i++)
            v = mul_div(v, t->shi_int, f->bo_int, t->bo_int, f->shi_int);
        for (int i = 0; i < -p; i++)
            v = mul_div(v, t->bo_int, f->shi_int, t->shi_int, f->bo_int);
    }
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        if (from[s].r != to[s].r && to[s].r != 0) v = mul_div(v, from[s].r, 1, to[s].r, 1);
    if (er) *er = 0;
    return v;
}

double conv_unit(int* er, UNIT_ENV* ue, double inp, const L_CHAR* from, const L_CHAR* to) {
    if (!ue) {
        if (er) *er = 0;
        return inp;
    }
    DIMENSION f[UNIT_SYSTEMS], t[UNIT_SYSTEMS];
    name2dim(ue, f, from);
    name2dim(ue, t, to);
    double r = conv_unit_floating(er, ue, inp, f, t);
    double whole = std::trunc(inp);
    if (whole == inp && std::fabs(whole) < 9.0e18) {
        int e2;
        int64_t ri = conv_unit_integer(&e2, ue, static_cast<int64_t>(whole), f, t);
        if (e2 == 0 && static_cast<double>(ri) == r) return static_cast<double>(ri);
    }
    return r;
}

void fit_dimension_integer(DIMENSION* dest, const DIMENSION* s1, const DIMENSION* s2) {
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        dest[s] = uses(s1[s]) && (!uses(s2[s]) || s1[s].u < s2[s].u) ? s1[s] : s2[s];
}

void fit_dimension_floating(DIMENSION* dest, const DIMENSION* s1, const DIMENSION* s2) {
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        dest[s] = uses(s1[s]) && (!uses(s2[s]) || s1[s].u > s2[s].u) ? s1[s] : s2[s];
}

L_CHAR* normalize_dim_floating(UNIT_ENV* ue, DIMENSION* dim, double* data) {
    if (L_CHAR* n = dim2name(ue, dim)) return n;
    for (int s = 0; s < UNIT_SYSTEMS; s++) {
        if (dim[s].r != 1) {
            *data *= dim[s].r;
            dim[s].r = 1;
        }
    }
    return dim2name(ue, dim);
}

L_CHAR* normalize_dim_integer(UNIT_ENV* ue, DIMENSION* dim, int64_t* data) {
    if (L_CHAR* n = dim2name(ue, dim)) return n;
    for (int s = 0; s < UNIT_SYSTEMS; s++) {
        if (dim[s].r != 1) {
            // Wrapping, like all integer arithmetic of the language.
            *data = static_cast<int64_t>(static_cast<uint64_t>(*data) *
                                         static_cast<uint64_t>(static_cast<int64_t>(dim[s].r)));
            dim[s].r = 1;
        }
    }
    return dim2name(ue, dim);
}

// Resolution units and the unit table.

char* reso_c_unit(const COORDINATE_UNIT* u) {
    return reso_c_unit_str(u ? u->unit : nullptr);
}

char* reso_c_unit_str(const char* str) {
    return temp_cstr(std::string(str ? str : "") + "^-1");
}

void free_c_unit(COORDINATE_UNIT* u) {
    if (!u) return;
    if (u->system) d_f_ree(u->system);
    if (u->unit) d_f_ree(u->unit);
    if (u->url) d_f_ree(u->url);
    u->system = u->unit = u->url = nullptr;
}

void zero_c_unit(COORDINATE_UNIT* u) {
    if (u) *u = {};
}

int table_search(const CU_TABLE** t, const char* name) {
    if (!name) return -1;
    for (const CU_TABLE* row = cu_table; row->system[0]; row++) {
        for (int i = 0; i < 10 && row->unit[i].name; i++) {
            if (strcmp(row->unit[i].name, name) == 0) {
                if (t) *t = row;
                return i;
            }
        }
    }
    return -1;
}

int standard_unit(const CU_TABLE* t) {
    if (!t) return -1;
    for (int i = 0; i < 10 && t->unit[i].name; i++)
        if (t->unit[i].rate == 1.0) return i;
    return -1;
}
