// Logical and bitwise primitives and the list builders.
#include "lisp/logic.h"

#include <vector>

#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

QV_SEXP* truth(bool v) {
    return get_integer(v ? 1 : 0, nullptr);
}

bool true_int(QV_SEXP* s) {
    return s->integer.data != 0;
}
bool true_float(QV_SEXP* s) {
    return s->floating.data != 0.0;
}

QV_SEXP* And_int(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(true_int(a) && true_int(b));
}
QV_SEXP* And_int_float(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(true_int(a) && true_float(b));
}
QV_SEXP* And_float_int(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(true_float(a) && true_int(b));
}
QV_SEXP* And_float(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(true_float(a) && true_float(b));
}
QV_SEXP* Or_int(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(true_int(a) || true_int(b));
}
QV_SEXP* Or_int_float(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(true_int(a) || true_float(b));
}
QV_SEXP* Or_float_int(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(true_float(a) || true_int(b));
}
QV_SEXP* Or_float(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(true_float(a) || true_float(b));
}
QV_SEXP* Xor_int(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(true_int(a) != true_int(b));
}
QV_SEXP* Xor_int_float(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(true_int(a) != true_float(b));
}
QV_SEXP* Xor_float_int(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(true_float(a) != true_int(b));
}
QV_SEXP* Xor_float(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return truth(true_float(a) != true_float(b));
}

const L_CHAR* bit_unit(QV_SEXP* a, QV_SEXP* b) {
    return a->integer.unit ? a->integer.unit : b->integer.unit;
}
QV_SEXP* and_int(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return get_integer(a->integer.data & b->integer.data, bit_unit(a, b));
}
QV_SEXP* or_int(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return get_integer(a->integer.data | b->integer.data, bit_unit(a, b));
}
QV_SEXP* xor_int(QVISP_ENV*, QV_SEXP* a, QV_SEXP* b) {
    return get_integer(a->integer.data ^ b->integer.data, bit_unit(a, b));
}

constexpr int I = QVT_INTEGER, F = QVT_FLOAT;

constexpr BINARY_TABLES truth_table(BINARY_OP ii, BINARY_OP i_f, BINARY_OP fi, BINARY_OP ff) {
    BINARY_TABLES t{};
    t.cell[I][I] = {nullptr, nullptr, ii};
    t.cell[I][F] = {nullptr, nullptr, i_f};
    t.cell[F][I] = {nullptr, nullptr, fi};
    t.cell[F][F] = {nullptr, nullptr, ff};
    return t;
}

constexpr BINARY_TABLES bit_table(BINARY_OP ii) {
    BINARY_TABLES t{};
    t.cell[I][I] = {nullptr, nullptr, ii};
    return t;
}

QV_SEXP* type_mismatch(QV_SEXP* form, const char* func) {
    return get_error(form->h.file, form->h.line, QVE_TYPE_MISMATCH, l_string(std_cm, func),
                     nullptr);
}

QV_SEXP* build(const std::vector<QV_SEXP*>& v) {
    QV_SEXP* r = nullptr;
    for (auto it = v.rbegin(); it != v.rend(); ++it)
        r = cons(*it, r);
    return r;
}

}  // namespace

constexpr BINARY_TABLES And_t = truth_table(And_int, And_int_float, And_float_int, And_float);
constexpr BINARY_TABLES Or_t = truth_table(Or_int, Or_int_float, Or_float_int, Or_float);
constexpr BINARY_TABLES Xor_t = truth_table(Xor_int, Xor_int_float, Xor_float_int, Xor_float);
constexpr BINARY_TABLES and_t = bit_table(and_int);
constexpr BINARY_TABLES or_t = bit_table(or_int);
constexpr BINARY_TABLES xor_t = bit_table(xor_int);

QV_SEXP* vx_And(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary_fold(And_t, env, form);
}
QV_SEXP* vx_Or(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary_fold(Or_t, env, form);
}
QV_SEXP* vx_Xor(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary_fold(Xor_t, env, form);
}
QV_SEXP* vx_and(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary_fold(and_t, env, form);
}
QV_SEXP* vx_or(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary_fold(or_t, env, form);
}
QV_SEXP* vx_xor(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return binary_fold(xor_t, env, form);
}

QV_SEXP* vx_Not(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* a = get_el(form, 1);
    switch (get_type(a)) {
        case QVT_INTEGER:
            return truth(a->integer.data == 0);
        case QVT_FLOAT:
            return truth(a->floating.data == 0.0);
        case QVT_ERROR:
            return a;
        default:
            return type_mismatch(form, "Not");
    }
}

QV_SEXP* vx_not(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* a = get_el(form, 1);
    switch (get_type(a)) {
        case QVT_INTEGER:
            return get_integer(~a->integer.data, nullptr);
        case QVT_ERROR:
            return a;
        default:
            return type_mismatch(form, "not");
    }
}

QV_SEXP* vx_list(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    std::vector<QV_SEXP*> values;
    QV_SEXP* rest = cdr(form);
    for (; get_type(rest) == QVT_PAIR; rest = rest->pair.cdr) {
        QV_SEXP* v = eval(env, rest->pair.car);
        if (get_type(v) == QVT_ERROR) return v;
        values.push_back(v);
    }
    // A form whose text ended in an error carries it as its tail.
    if (get_type(rest) == QVT_ERROR) return rest;
    return build(values);
}

namespace {

// Element 1 and 2 of the form, evaluated in order; false with the first error in *err.
bool eval_two(QVISP_ENV* env, QV_SEXP* form, QV_SEXP** a, QV_SEXP** b, QV_SEXP** err) {
    *a = eval(env, get_el(form, 1));
    if (get_type(*a) == QVT_ERROR) {
        *err = *a;
        return false;
    }
    *b = eval(env, get_el(form, 2));
    if (get_type(*b) == QVT_ERROR) {
        *err = *b;
        return false;
    }
    return true;
}

}  // namespace

QV_SEXP* vx_cons(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP *a, *b, *err;
    if (!eval_two(env, form, &a, &b, &err)) return err;
    return cons(a, b);
}

QV_SEXP* vx_append(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP *a, *b, *err;
    if (!eval_two(env, form, &a, &b, &err)) return err;
    return append(a, b);
}

QV_SEXP* vx_null_func(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return nullptr;
}
