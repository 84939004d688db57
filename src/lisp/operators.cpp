// The operator tables, their converters and operations, and the arithmetic and comparison
// primitives.
#include "lisp/operators.h"

#include <cmath>
#include <cstdio>
#include <type_traits>
#include <vector>

#include "lisp/env.h"
#include "lisp/list.h"
#include "lisp/units.h"
#include "longchar/longchar.h"

namespace {

int64_t wadd(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t wsub(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}
int64_t wmul(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}
int64_t wneg(int64_t a) {
    return static_cast<int64_t>(0 - static_cast<uint64_t>(a));
}
// Exact quotient truncated toward zero; the one overflowing case wraps.
int64_t wdiv(int64_t a, int64_t b) {
    return b == -1 ? wneg(a) : a / b;
}

// A double truncated toward zero into 64 bits, saturated; NaN gives 0.
int64_t trunc64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775807.0) return INT64_MAX;
    if (v <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(v);
}

QV_SEXP* truth(bool v) {
    return get_integer(v ? 1 : 0, nullptr);
}

QV_SEXP* error_at(QV_SEXP* pos, uint32_t code, const L_CHAR* func, QV_SEXP* data) {
    return get_error(pos ? pos->h.file : nullptr, pos ? pos->h.line : 0, code, func, data);
}

QV_SEXP* divide_by_zero(QV_SEXP* divisor, const L_CHAR* func) {
    return error_at(divisor, QVE_DIVISION_BY_ZERO, func, n_get_string("divide by zero"));
}

const L_CHAR* unit_of(QV_SEXP* s) {
    return sexp_raw_type(s) == QVT_INTEGER ? s->integer.unit : s->floating.unit;
}

// The dimensions of both operands in the unit environment in force.
struct DIMS {
    UNIT_ENV* ue;
    DIMENSION a[UNIT_SYSTEMS];
    DIMENSION b[UNIT_SYSTEMS];
};

void get_dims(DIMS* d, QVISP_ENV* env, const L_CHAR* ua, const L_CHAR* ub) {
    d->ue = get_uenv(env);
    name2dim(d->ue, d->a, ua);
    name2dim(d->ue, d->b, ub);
}

// The fitted vector with one operand's powers; a system the operand does not use keeps
// factor 1, so a plain number multiplies a quantity unchanged.
void with_powers(DIMENSION* out, const DIMENSION* fit, const DIMENSION* op) {
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        out[s] = {fit[s].u, op[s].p, op[s].u ? fit[s].r : 1};
}

// Powers added (mul) or subtracted (div) into f1, 16-bit and 32-bit wrapping as stored.
void combine_powers(DIMENSION* f1, const DIMENSION* f2, bool sub) {
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        f1[s].p = static_cast<int16_t>(sub ? f1[s].p - f2[s].p : f1[s].p + f2[s].p);
}

// The integer and the floating kind of a number: reading, unit conversion, normalisation and
// making, so that each operation is written once for both.
struct IntNum {
    using T = int64_t;
    static T data(QV_SEXP* s) { return s->integer.data; }
    static const L_CHAR* unit(QV_SEXP* s) { return s->integer.unit; }
    static T add(T x, T y) { return wadd(x, y); }
    static T sub(T x, T y) { return wsub(x, y); }
    static T mul(T x, T y) { return wmul(x, y); }
    static void fit(DIMENSION* f, const DIMENSION* a, const DIMENSION* b) {
        fit_dimension_integer(f, a, b);
    }
    static T conv(UNIT_ENV* ue, T v, const DIMENSION* from, const DIMENSION* to) {
        int er;
        return conv_unit_integer(&er, ue, v, from, to);
    }
    static L_CHAR* normalize(UNIT_ENV* ue, DIMENSION* f, T* v) {
        return normalize_dim_integer(ue, f, v);
    }
    static QV_SEXP* make(T v, const L_CHAR* unit) { return get_integer(v, unit); }
};

struct FloatNum {
    using T = double;
    static T data(QV_SEXP* s) { return s->floating.data; }
    static const L_CHAR* unit(QV_SEXP* s) { return s->floating.unit; }
    static T add(T x, T y) { return x + y; }
    static T sub(T x, T y) { return x - y; }
    static T mul(T x, T y) { return x * y; }
    static void fit(DIMENSION* f, const DIMENSION* a, const DIMENSION* b) {
        fit_dimension_floating(f, a, b);
    }
    static T conv(UNIT_ENV* ue, T v, const DIMENSION* from, const DIMENSION* to) {
        int er;
        return conv_unit_floating(&er, ue, v, from, to);
    }
    static L_CHAR* normalize(UNIT_ENV* ue, DIMENSION* f, T* v) {
        return normalize_dim_floating(ue, f, v);
    }
    static QV_SEXP* make(T v, const L_CHAR* unit) { return get_floating(v, unit); }
};

// Both operands converted for a product or quotient: each into the fitted units with its own
// powers (f1 for a, f2 for b).
template <class N>
void fit_with_powers(const DIMS& d, typename N::T* x, typename N::T* y, DIMENSION* f1,
                     DIMENSION* f2) {
    DIMENSION f[UNIT_SYSTEMS];
    N::fit(f, d.a, d.b);
    with_powers(f1, f, d.a);
    with_powers(f2, f, d.b);
    *x = N::conv(d.ue, *x, d.a, f1);
    *y = N::conv(d.ue, *y, d.b, f2);
}

// ---------------------------------------------------------------- addition and subtraction

template <class N, bool SUB>
QV_SEXP* addsub(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    typename N::T x = N::data(a), y = N::data(b);
    auto op = [](typename N::T p, typename N::T q) { return SUB ? N::sub(p, q) : N::add(p, q); };
    if (!N::unit(a) && !N::unit(b)) return N::make(op(x, y), nullptr);
    DIMS d;
    get_dims(&d, env, N::unit(a), N::unit(b));
    if (dim_power_cmp(d.a, d.b)) return N::make(op(x, y), nullptr);
    DIMENSION f[UNIT_SYSTEMS];
    N::fit(f, d.a, d.b);
    x = N::conv(d.ue, x, d.a, f);
    y = N::conv(d.ue, y, d.b, f);
    typename N::T r = op(x, y);
    L_CHAR* name = N::normalize(d.ue, f, &r);
    return N::make(r, name);
}

QV_SEXP* add_int(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    return addsub<IntNum, false>(env, a, b);
}
QV_SEXP* sub_int(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    return addsub<IntNum, true>(env, a, b);
}
QV_SEXP* add_float(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    return addsub<FloatNum, false>(env, a, b);
}
QV_SEXP* sub_float(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    return addsub<FloatNum, true>(env, a, b);
}

// Concatenation makes the text once, in a block that may be refused: a script doubling a
// string until memory runs out gets an error value for the expression that asked too much.
QV_SEXP* add_str(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    auto na = static_cast<size_t>(l_strlen(a->string.data));
    auto nb = static_cast<size_t>(l_strlen(b->string.data));
    size_t n = na + nb;
    L_CHAR* t = nullptr;
    if (n < INT32_MAX)
        t = static_cast<L_CHAR*>(
            heap_try_alloc(static_cast<int64_t>((n + 1) * sizeof(L_CHAR)), gc_text));
    if (!t)
        return error_at(a, QVE_NO_MEMORY, l_string(std_cm, "add(+)"), n_get_string("no memory"));
    memcpy(t, a->string.data, na * sizeof(L_CHAR));
    memcpy(t + na, b->string.data, nb * sizeof(L_CHAR));
    t[n] = 0;
    return get_string_set_data(t);
}

// ---------------------------------------------------------------- multiplication and division

template <class N>
QV_SEXP* mul(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    typename N::T x = N::data(a), y = N::data(b);
    if (!N::unit(a) && !N::unit(b)) return N::make(N::mul(x, y), nullptr);
    DIMS d;
    get_dims(&d, env, N::unit(a), N::unit(b));
    DIMENSION f1[UNIT_SYSTEMS], f2[UNIT_SYSTEMS];
    fit_with_powers<N>(d, &x, &y, f1, f2);
    combine_powers(f1, f2, false);
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        f1[s].r =
            static_cast<int32_t>(static_cast<uint32_t>(f1[s].r) * static_cast<uint32_t>(f2[s].r));
    typename N::T r = N::mul(x, y);
    L_CHAR* name = N::normalize(d.ue, f1, &r);
    return N::make(r, name);
}

QV_SEXP* mul_int(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    return mul<IntNum>(env, a, b);
}
QV_SEXP* mul_float(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    return mul<FloatNum>(env, a, b);
}

// The factor a quotient takes from the divisor's unit factors.
double quotient_factor(const DIMENSION* f2) {
    double factor = 1.0;
    for (int s = 0; s < UNIT_SYSTEMS; s++)
        if (f2[s].r) factor /= f2[s].r;
    return factor;
}

QV_SEXP* div_ii(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    int64_t x = a->integer.data, y = b->integer.data;
    if (y == 0) return divide_by_zero(b, l_string(std_cm, "div"));
    if (!a->integer.unit && !b->integer.unit) return get_integer(wdiv(x, y), nullptr);
    DIMS d;
    get_dims(&d, env, a->integer.unit, b->integer.unit);
    DIMENSION f1[UNIT_SYSTEMS], f2[UNIT_SYSTEMS];
    fit_with_powers<IntNum>(d, &x, &y, f1, f2);
    // A divisor that truncated to nothing in its new unit divides by zero just the same.
    if (y == 0) return divide_by_zero(b, l_string(std_cm, "div"));
    combine_powers(f1, f2, true);
    const double factor = quotient_factor(f2);
    // Without a factor the quotient is exact in 64 bits (a double loses integers above 2^53).
    int64_t q = factor == 1.0 ? wdiv(x, y)
                              : trunc64(static_cast<double>(x) / static_cast<double>(y) * factor);
    L_CHAR* name = normalize_dim_integer(d.ue, f1, &q);
    return get_integer(q, name);
}

QV_SEXP* div_ff(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    double x = a->floating.data, y = b->floating.data;
    if (y == 0.0) return divide_by_zero(b, l_string(std_cm, "div"));
    if (!a->floating.unit && !b->floating.unit) return get_floating(x / y, nullptr);
    DIMS d;
    get_dims(&d, env, a->floating.unit, b->floating.unit);
    DIMENSION f1[UNIT_SYSTEMS], f2[UNIT_SYSTEMS];
    fit_with_powers<FloatNum>(d, &x, &y, f1, f2);
    combine_powers(f1, f2, true);
    double q = x / y * quotient_factor(f2);
    L_CHAR* name = normalize_dim_floating(d.ue, f1, &q);
    return get_floating(q, name);
}

// ---------------------------------------------------------------- remainder

const L_CHAR* rem_unit(QV_SEXP* a, QV_SEXP* b) {
    return unit_of(a) ? unit_of(a) : unit_of(b);
}

QV_SEXP* rem_ii(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    int64_t x = a->integer.data, y = b->integer.data;
    if (y == 0) return divide_by_zero(b, l_string(std_cm, "rem"));
    // The remainder by -1 is 0; computing it would trap for the smallest integer.
    return get_integer(y == -1 ? 0 : x % y, rem_unit(a, b));
}

// Never negative: the one r = a - q x b in [0, |b|), for any integer q (fmod gives the exact
// remainder for every quotient, where a 32-bit q would go wrong past 2^31).
QV_SEXP* rem_ff(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    double x = a->floating.data, y = b->floating.data;
    if (y == 0.0) return divide_by_zero(b, l_string(std_cm, "rem"));
    double r = std::fmod(x, y);
    if (r < 0) r += std::fabs(y);
    // An exact multiple of a negative dividend leaves -0.0, which prints as "-0.0": it is 0.
    if (r >= std::fabs(y) || r == 0) r = 0;
    return get_floating(r, rem_unit(a, b));
}

// ---------------------------------------------------------------- equality

// Both values in the fitted units; false when the powers differ.
template <class N>
bool equ_conv(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b, typename N::T* x, typename N::T* y) {
    *x = N::data(a);
    *y = N::data(b);
    if (!N::unit(a) && !N::unit(b)) return true;
    DIMS d;
    get_dims(&d, env, N::unit(a), N::unit(b));
    if (dim_power_cmp(d.a, d.b)) return false;
    DIMENSION f[UNIT_SYSTEMS];
    N::fit(f, d.a, d.b);
    *x = N::conv(d.ue, *x, d.a, f);
    *y = N::conv(d.ue, *y, d.b, f);
    return true;
}

QV_SEXP* equ_int(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    int64_t x, y;
    return truth(equ_conv<IntNum>(env, a, b, &x, &y) && x == y);
}

QV_SEXP* equ_float(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    double x, y;
    return truth(equ_conv<FloatNum>(env, a, b, &x, &y) && x == y);
}

QV_SEXP* equ_str(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(l_strcmp(a->string.data, b->string.data) == 0);
}

QV_SEXP* equ_sym(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(l_strcmp(a->symbol.data, b->symbol.data) == 0 &&
                 field_equals(a->symbol.field, b->symbol.field));
}

QV_SEXP* equ_func(QVISP_ENV*, QV_SEXP*, QV_SEXP*) {
    return truth(false);
}

QV_SEXP* not_equal(QVISP_ENV*, QV_SEXP*, QV_SEXP*) {
    return truth(false);
}

bool is_list_kind(int t) {
    return t == QVT_NIL || t == QVT_PAIR;
}

// Walks both trees together with an explicit stack, elements left to right; the first error or
// inequality is the result. Nested lists never deepen the machine stack.
QV_SEXP* equ_pair(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    struct Step {
        QV_SEXP *x, *y;
        bool head;  // two elements, compared as the operator compares them
    };
    std::vector<Step> todo{{a, b, false}};
    while (!todo.empty()) {
        auto [x, y, head] = todo.back();
        todo.pop_back();
        int tx = get_type(x), ty = get_type(y);
        if (tx == QVT_ERROR) return x;
        if (ty == QVT_ERROR) return y;
        // Where the lists go on, nil with anything else is unequal, whatever the other is (a
        // list's tail may be an environment or raw bytes, which the operator table has no cell
        // for). Two elements go through the table, as they would outside a list.
        const bool nil = tx == QVT_NIL || ty == QVT_NIL;
        if (nil && (tx == ty || !head)) {
            if (tx == ty) continue;
            return truth(false);
        }
        if (!nil && is_list_kind(tx) && is_list_kind(ty)) {
            todo.push_back({x->pair.cdr, y->pair.cdr, false});
            todo.push_back({x->pair.car, y->pair.car, true});
            continue;
        }
        QV_SEXP* pos = x ? x : y;
        QV_SEXP* r = binary(equ_t, env, x, y, pos ? pos->h.file : nullptr, pos ? pos->h.line : 0);
        if (get_type(r) != QVT_INTEGER || r->integer.data == 0) return r;
    }
    return truth(true);
}

// ---------------------------------------------------------------- order

QV_SEXP* unlike(QV_SEXP* left, const char* func) {
    return error_at(left, QVE_UNLIKE_DIMENSIONS, l_string(std_cm, func), nullptr);
}

template <class N, bool OR_EQUAL>
QV_SEXP* order(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    typename N::T x, y;
    if (!equ_conv<N>(env, a, b, &x, &y)) return unlike(a, OR_EQUAL ? "<= or >=" : "< or >");
    return truth(OR_EQUAL ? x <= y : x < y);
}

QV_SEXP* lt_int(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    return order<IntNum, false>(env, a, b);
}
QV_SEXP* leq_int(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    return order<IntNum, true>(env, a, b);
}
QV_SEXP* lt_float(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    return order<FloatNum, false>(env, a, b);
}
QV_SEXP* leq_float(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    return order<FloatNum, true>(env, a, b);
}
QV_SEXP* lt_str(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(l_strcmp(a->string.data, b->string.data) < 0);
}
QV_SEXP* leq_str(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(l_strcmp(a->string.data, b->string.data) <= 0);
}
QV_SEXP* lt_sym(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(l_strcmp(a->symbol.data, b->symbol.data) < 0);
}
QV_SEXP* leq_sym(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(l_strcmp(a->symbol.data, b->symbol.data) <= 0);
}
QV_SEXP* lt_null(QVISP_ENV*, QV_SEXP*, QV_SEXP*) {
    return truth(false);
}
QV_SEXP* leq_null(QVISP_ENV*, QV_SEXP*, QV_SEXP*) {
    return truth(true);
}
QV_SEXP* lt_diff(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(get_type(a) < get_type(b));
}
QV_SEXP* leq_diff(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(get_type(a) <= get_type(b));
}

// Walks both lists while both are pairs: the first pair of unequal heads decides by the table;
// when a side ends, the two remainders decide. Nested head lists are followed in the same loop.
QV_SEXP* order_pair(const BINARY_TABLES& table, QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    while (get_type(a) == QVT_PAIR && get_type(b) == QVT_PAIR) {
        QV_SEXP* ha = a->pair.car;
        QV_SEXP* hb = b->pair.car;
        QV_SEXP* e = binary(equ_t, env, ha, hb, a->h.file, a->h.line);
        if (get_type(e) != QVT_INTEGER) return e;
        if (e->integer.data == 0) {
            a = ha;
            b = hb;
        } else {
            a = a->pair.cdr;
            b = b->pair.cdr;
        }
    }
    QV_SEXP* pos = a ? a : b;
    return binary(table, env, a, b, pos ? pos->h.file : nullptr, pos ? pos->h.line : 0);
}

QV_SEXP* lt_pair(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    return order_pair(lt_t, env, a, b);
}
QV_SEXP* leq_pair(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b) {
    return order_pair(leq_t, env, a, b);
}

// ---------------------------------------------------------------- tables

constexpr int I = QVT_INTEGER, F = QVT_FLOAT, S = QVT_STRING;

constexpr BINARY_TABLES numeric(BINARY_OP ii, BINARY_OP ff) {
    BINARY_TABLES t{};
    t.cell[I][I] = {nullptr, nullptr, ii};
    t.cell[I][F] = {conv_if, nullptr, ff};
    t.cell[F][I] = {nullptr, conv_if, ff};
    t.cell[F][F] = {nullptr, nullptr, ff};
    return t;
}

constexpr BINARY_TABLES make_add() {
    BINARY_TABLES t = numeric(add_int, add_float);
    t.cell[S][S] = {nullptr, nullptr, add_str};
    t.cell[S][I] = {nullptr, conv_is, add_str};
    t.cell[S][F] = {nullptr, conv_fs, add_str};
    t.cell[I][S] = {conv_is, nullptr, add_str};
    t.cell[F][S] = {conv_fs, nullptr, add_str};
    return t;
}

constexpr int equ_kinds[] = {QVT_NIL,     QVT_PAIR,  QVT_SYMBOL, QVT_STRING,
                             QVT_INTEGER, QVT_FLOAT, QVT_FUNC};

constexpr BINARY_TABLES make_equ() {
    BINARY_TABLES t{};
    for (int l : equ_kinds)
        for (int r : equ_kinds)
            t.cell[l][r] = {nullptr, nullptr, not_equal};
    for (int l : {QVT_NIL, QVT_PAIR})
        for (int r : {QVT_NIL, QVT_PAIR})
            t.cell[l][r] = {nullptr, nullptr, equ_pair};
    t.cell[QVT_SYMBOL][QVT_SYMBOL] = {nullptr, nullptr, equ_sym};
    t.cell[S][S] = {nullptr, nullptr, equ_str};
    t.cell[I][I] = {nullptr, nullptr, equ_int};
    t.cell[I][F] = {conv_if, nullptr, equ_float};
    t.cell[F][I] = {nullptr, conv_if, equ_float};
    t.cell[F][F] = {nullptr, nullptr, equ_float};
    t.cell[QVT_FUNC][QVT_FUNC] = {nullptr, nullptr, equ_func};
    return t;
}

constexpr BINARY_TABLES make_order(BINARY_OP null_op, BINARY_OP pair_op, BINARY_OP sym_op,
                                   BINARY_OP str_op, BINARY_OP int_op, BINARY_OP float_op,
                                   BINARY_OP diff_op) {
    BINARY_TABLES t{};
    for (int l : {QVT_NIL, QVT_PAIR, QVT_SYMBOL, QVT_STRING, QVT_INTEGER, QVT_FLOAT})
        for (int r : {QVT_NIL, QVT_PAIR, QVT_SYMBOL, QVT_STRING, QVT_INTEGER, QVT_FLOAT})
            t.cell[l][r] = {nullptr, nullptr, diff_op};
    t.cell[QVT_NIL][QVT_NIL] = {nullptr, nullptr, null_op};
    t.cell[QVT_PAIR][QVT_PAIR] = {nullptr, nullptr, pair_op};
    t.cell[QVT_SYMBOL][QVT_SYMBOL] = {nullptr, nullptr, sym_op};
    t.cell[S][S] = {nullptr, nullptr, str_op};
    t.cell[I][I] = {nullptr, nullptr, int_op};
    t.cell[I][F] = {conv_if, nullptr, float_op};
    t.cell[F][I] = {nullptr, conv_if, float_op};
    t.cell[F][F] = {nullptr, nullptr, float_op};
    return t;
}

// ---------------------------------------------------------------- converters' text

QV_SEXP* number_text(const char* digits, const L_CHAR* unit, QV_SEXP* from) {
    std::vector<L_CHAR> t;
    for (const char* c = digits; *c; c++)
        t.push_back(static_cast<unsigned char>(*c));
    for (const L_CHAR* u = unit; u && *u; u++)
        t.push_back(*u);
    t.push_back(0);
    return inherit(get_string(t.data()), from);
}

QV_SEXP* arg(QV_SEXP* form, int n) {
    return get_el(form, n);
}

}  // namespace

constexpr BINARY_TABLES add_t = make_add();
constexpr BINARY_TABLES sub_t = numeric(sub_int, sub_float);
constexpr BINARY_TABLES mul_t = numeric(mul_int, mul_float);
constexpr BINARY_TABLES div_tt = numeric(div_ii, div_ff);
constexpr BINARY_TABLES rem_t = numeric(rem_ii, rem_ff);
constexpr BINARY_TABLES equ_t = make_equ();
constexpr BINARY_TABLES lt_t =
    make_order(lt_null, lt_pair, lt_sym, lt_str, lt_int, lt_float, lt_diff);
constexpr BINARY_TABLES leq_t =
    make_order(leq_null, leq_pair, leq_sym, leq_str, leq_int, leq_float, leq_diff);

QV_SEXP* conv_if(QV_SEXP* s) {
    return inherit(get_floating(static_cast<double>(s->integer.data), s->integer.unit), s);
}

QV_SEXP* conv_is(QV_SEXP* s) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%lli", static_cast<long long>(s->integer.data));
    return number_text(buf, s->integer.unit, s);
}

QV_SEXP* conv_fs(QV_SEXP* s) {
    int n = snprintf(nullptr, 0, "%f", s->floating.data);
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    snprintf(buf.data(), buf.size(), "%f", s->floating.data);
    return number_text(buf.data(), s->floating.unit, s);
}

QV_SEXP* binary(const BINARY_TABLES& table, QVISP_ENV* env, QV_SEXP* left, QV_SEXP* right,
                QV_FILE* file, int line) {
    int tl = get_type(left);
    int tr = get_type(right);
    if (tl == QVT_ERROR) return left;
    if (tr == QVT_ERROR) return right;
    const BINARY_TABLE& c = table.cell[tl][tr];
    if (!c.binary) {
        const L_CHAR* func = tl == QVT_NIL && tr == QVT_NIL
                                 ? l_string(std_cm, "binary expression(1)")
                             : tl == QVT_NIL ? l_string(std_cm, "binary expression(2)")
                                             : l_string(std_cm, "binary expression(3)");
        return get_error(file, line, QVE_TYPE_MISMATCH, func, nullptr);
    }
    QV_SEXP* a = c.conv1 ? c.conv1(left) : left;
    QV_SEXP* b = c.conv2 ? c.conv2(right) : right;
    QV_SEXP* r = c.binary(env, a, b);
    QV_SEXP* from = a ? a : b;
    // Errors carry their own position; a fresh result takes its operand's.
    if (r && from && sexp_raw_type(r) != QVT_ERROR && (from->h.file || from->h.line))
        inherit(r, from);
    return r;
}

QV_SEXP* binary_fold(const BINARY_TABLES& table, QVISP_ENV* env, QV_SEXP* form) {
    QV_SEXP* rest = cdr(form);
    if (get_type(rest) != QVT_PAIR) return rest;
    QV_SEXP* acc = rest->pair.car;
    for (rest = rest->pair.cdr; get_type(rest) == QVT_PAIR; rest = rest->pair.cdr)
        acc = binary(table, env, acc, rest->pair.car, form->h.file, form->h.line);
    return acc;
}

QV_SEXP* vx_add(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary_fold(add_t, env, form);
}

QV_SEXP* vx_mul(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary_fold(mul_t, env, form);
}

QV_SEXP* vx_sub(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* a = arg(form, 1);
    if (list_length(form) != 2)
        return binary(sub_t, env, a, arg(form, 2), form->h.file, form->h.line);
    switch (get_type(a)) {
        case QVT_INTEGER:
            return inherit(get_integer(wneg(a->integer.data), a->integer.unit), a);
        case QVT_FLOAT:
            return inherit(get_floating(-a->floating.data, a->floating.unit), a);
        case QVT_ERROR:
            return a;
        default:
            return error_at(form, QVE_TYPE_MISMATCH, l_string(std_cm, "sub(-)"),
                            n_get_string("type missmatch"));
    }
}

QV_SEXP* vx_div(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary(div_tt, env, arg(form, 1), arg(form, 2), form->h.file, form->h.line);
}

QV_SEXP* vx_rem(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary(rem_t, env, arg(form, 1), arg(form, 2), form->h.file, form->h.line);
}

QV_SEXP* vx_shift(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const L_CHAR* dir = get_sf_attribute(attr, l_string(std_cm, "dir"));
    bool right;
    if (!dir || l_strcmp(dir, l_string(std_cm, "left")) == 0)
        right = false;
    else if (l_strcmp(dir, l_string(std_cm, "right")) == 0)
        right = true;
    else
        return error_at(form, QVE_INVALID_PARAMETER, l_string(std_cm, "shift"),
                        list(n_get_string("invalid parameter"), nullptr));
    QV_SEXP* a = arg(form, 1);
    QV_SEXP* b = arg(form, 2);
    if (get_type(a) == QVT_ERROR) return a;
    if (get_type(b) == QVT_ERROR) return b;
    if (get_type(a) != QVT_INTEGER || get_type(b) != QVT_INTEGER)
        return error_at(form, QVE_TYPE_MISMATCH, l_string(std_cm, "shift"),
                        list(n_get_string("save:type missmatch"),
                             get_string(dir ? dir : l_string(std_cm, "")), nullptr));
    int64_t v = a->integer.data;
    // The count is the low 32 bits of the right operand. Counts of 64 and more shift every bit
    // out; a negative count gives 0.
    auto count = static_cast<int32_t>(static_cast<uint32_t>(b->integer.data));
    int64_t r;
    if (count < 0)
        r = 0;
    else if (!right)
        r = count >= 64 ? 0 : static_cast<int64_t>(static_cast<uint64_t>(v) << count);
    else
        r = count >= 64 ? (v < 0 ? -1 : 0) : v >> count;
    return inherit(get_integer(r, a->integer.unit), a);
}

QV_SEXP* vx_equ(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary(equ_t, env, arg(form, 1), arg(form, 2), form->h.file, form->h.line);
}

QV_SEXP* vx_Neq(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* r = binary(equ_t, env, arg(form, 1), arg(form, 2), form->h.file, form->h.line);
    if (get_type(r) == QVT_ERROR) return r;
    return truth(get_type(r) == QVT_INTEGER && r->integer.data == 0);
}

QV_SEXP* vx_lt(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary(lt_t, env, arg(form, 1), arg(form, 2), form->h.file, form->h.line);
}

QV_SEXP* vx_leq(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary(leq_t, env, arg(form, 1), arg(form, 2), form->h.file, form->h.line);
}

// The mirrors swap the operands in a new form (nil right left), which takes the right operand's
// position.
QV_SEXP* vx_gt(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
               QVISP_ENV* sp_env) {
    QV_SEXP* f = List(nullptr, arg(form, 2), arg(form, 1), LIST_END);
    return vx_lt(env, f, args_env, attr, sp_env);
}

QV_SEXP* vx_geq(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV* sp_env) {
    QV_SEXP* f = List(nullptr, arg(form, 2), arg(form, 1), LIST_END);
    return vx_leq(env, f, args_env, attr, sp_env);
}

// ---------------------------------------------------------------- plain numbers

namespace {

enum PLAIN_OP { PLAIN_ADD, PLAIN_SUB, PLAIN_MUL, PLAIN_LT, PLAIN_LEQ, PLAIN_EQU, PLAIN_NEQ };

// The result node made in one heap section, with the position `pos` gives it.
template <class R, class V>
QV_SEXP* plain_node(int type, V value, QV_SEXP* pos) {
    HeapSection hs;
    QV_SEXP* r = new_sexp_node<R>(type);
    if constexpr (std::is_same_v<R, QV_INTEGER>)
        r->integer.data = value;
    else
        r->floating.data = value;
    if (pos) {
        r->h.file = pos->h.file;
        r->h.line = pos->h.line;
    }
    return r;
}

template <PLAIN_OP OP, class T>
QV_SEXP* plain_result(T x, T y, QV_SEXP* pos) {
    switch (OP) {
        case PLAIN_LT:
            return plain_node<QV_INTEGER, int64_t>(QVT_INTEGER, x < y, pos);
        case PLAIN_LEQ:
            return plain_node<QV_INTEGER, int64_t>(QVT_INTEGER, x <= y, pos);
        case PLAIN_EQU:
            return plain_node<QV_INTEGER, int64_t>(QVT_INTEGER, x == y, pos);
        case PLAIN_NEQ:
            return plain_node<QV_INTEGER, int64_t>(QVT_INTEGER, x != y, pos);
        default:
            break;
    }
    if constexpr (std::is_same_v<T, int64_t>)
        return plain_node<QV_INTEGER, int64_t>(QVT_INTEGER,
                                               OP == PLAIN_ADD   ? wadd(x, y)
                                               : OP == PLAIN_SUB ? wsub(x, y)
                                                                 : wmul(x, y),
                                               pos);
    else
        return plain_node<QV_FLOAT, double>(QVT_FLOAT,
                                            OP == PLAIN_ADD   ? x + y
                                            : OP == PLAIN_SUB ? x - y
                                                              : x * y,
                                            pos);
}

// What the table's operation gives two numbers of one kind without units, with the position of
// the left operand as `binary` gives it (the mirrors Gt and Gteq swap the operands first; Neq
// makes a new truth value without a position). Null for any other operands.
template <PLAIN_OP OP, bool SWAP>
QV_SEXP* plain2(QV_SEXP* left, QV_SEXP* right) {
    QV_SEXP* a = SWAP ? right : left;
    QV_SEXP* b = SWAP ? left : right;
    int ta = sexp_raw_type(a);
    // Only two numbers of one kind take the quick way; nil (a null reference) never does.
    if ((ta != QVT_INTEGER && ta != QVT_FLOAT) || ta != sexp_raw_type(b)) return nullptr;
    QV_SEXP* pos = OP != PLAIN_NEQ && (a->h.file || a->h.line) ? a : nullptr;
    if (ta == QVT_INTEGER && !a->integer.unit && !b->integer.unit)
        return plain_result<OP>(a->integer.data, b->integer.data, pos);
    if (ta == QVT_FLOAT && !a->floating.unit && !b->floating.unit)
        return plain_result<OP>(a->floating.data, b->floating.data, pos);
    return nullptr;
}

}  // namespace

PLAIN2_OP plain_operator(QV_PRIM prim) {
    if (prim == vx_add) return plain2<PLAIN_ADD, false>;
    if (prim == vx_sub) return plain2<PLAIN_SUB, false>;
    if (prim == vx_mul) return plain2<PLAIN_MUL, false>;
    if (prim == vx_lt) return plain2<PLAIN_LT, false>;
    if (prim == vx_leq) return plain2<PLAIN_LEQ, false>;
    if (prim == vx_gt) return plain2<PLAIN_LT, true>;
    if (prim == vx_geq) return plain2<PLAIN_LEQ, true>;
    if (prim == vx_equ) return plain2<PLAIN_EQU, false>;
    if (prim == vx_Neq) return plain2<PLAIN_NEQ, false>;
    return nullptr;
}

int vxb_equ(QV_SEXP* a, QV_SEXP* b) {
    QV_SEXP* r = binary(equ_t, vxlisp_top_env0, a, b, nullptr, 0);
    if (get_type(r) != QVT_INTEGER) return -1;
    return r->integer.data ? 1 : 0;
}

int field_equals(QV_SYM_FIELD* a, QV_SYM_FIELD* b) {
    if (a == b) return 1;
    for (int side = 0; side < 2; side++) {
        for (QV_SYM_FIELD* f = side ? b : a; f; f = f->next) {
            L_CHAR* va = get_sf_attribute(a, f->name);
            L_CHAR* vb = get_sf_attribute(b, f->name);
            if (!va || !vb || l_strcmp(va, vb) != 0) return 0;
        }
    }
    return 1;
}
