// Control flow: While, For, Break, Continue, If, Switch, Sequence and Test.
#include "builtins/control.h"

#include "builtins/bltn_util.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/gchooks.h"
#include "lisp/list.h"
#include "lisp/statements.h"
#include "longchar/longchar.h"
#include "stream/sprintf.h"
#include "stream/stream.h"
#include "stream/streamio.h"

QVISP_ENV* loop_env = nullptr;

namespace {

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

QV_SEXP* condition_type_error(QV_SEXP* form, const char* func) {
    return bltn_error_s(form, QVE_TYPE_MISMATCH, func, "condition type missmatch");
}

QV_SEXP* clause_error(QV_SEXP* form, const char* func) {
    return bltn_error_s(form, QVE_INVALID_PARAMETER, func, "then else parameter error");
}

// Keeps loop_env alive whatever scripts rebind.
void gc_loop_env() {
    gc_vxlisp_env(loop_env);
}

// How a run of loop body forms ended.
enum BodyEnd { BODY_DONE, BODY_CONTINUE, BODY_EXIT };

// Runs the body forms of For in order, each value becoming *result. A Break gives BODY_EXIT with
// its value in *result; another error BODY_EXIT with the error; a Continue BODY_CONTINUE with a
// nil result.
BodyEnd run_for_body(QVISP_ENV* lenv, QV_SEXP* body, QV_SEXP** result) {
    QV_SEXP* c = body;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* v = eval(lenv, c->pair.car);
        if (get_type(v) == QVT_ERROR) {
            if (v->error.code == QVE_LOOP_CONTINUE) {
                *result = nullptr;
                return BODY_CONTINUE;
            }
            *result = v->error.code == QVE_LOOP_BREAK ? v->error.data : v;
            return BODY_EXIT;
        }
        *result = v;
    }
    if (is_error(c)) {
        *result = c;
        return BODY_EXIT;
    }
    return BODY_DONE;
}

// The loop's carried result: each iteration runs in its own root frame and leaves only this cell
// behind, so a long loop keeps nothing of its past iterations.
struct LoopCarry {
    QV_SEXP* cell = cons(get_integer(0, nullptr), nullptr);

    // Closes the iteration's frame; the value stays carried (rooted through the cell).
    void next(QV_SEXP* value) {
        heap_enter();  // no collection between the store and the frame's end
        cell->pair.car = value;
        gc_pop(nullptr, nullptr);
        heap_leave();
    }
};

// The counter of For with dec: the test before an iteration. 1 go on, 0 end with the result,
// -1 end with *err.
int counter_test(QV_SEXP* v, QV_SEXP* form, QV_SEXP** err) {
    switch (get_type(v)) {
        case QVT_ERROR:
            *err = v;
            return -1;
        case QVT_NIL:
            return 0;
        case QVT_INTEGER:
            return v->integer.data > 0;
        case QVT_FLOAT:
            return v->floating.data > 0.0;
        case QVT_PAIR:
            return 1;
        default:
            *err = condition_type_error(form, "For");
            return -1;
    }
}

// The counter after one iteration; null when the value cannot be stepped (the next test decides).
bool counter_step(QV_SEXP* v, QV_SEXP** next) {
    switch (get_type(v)) {
        case QVT_INTEGER: {
            // The smallest integer stays as it is (the loop ends at the next test).
            int64_t n = v->integer.data;
            position_add(n, -1, &n);
            *next = get_integer(n, v->integer.unit);
            return true;
        }
        case QVT_FLOAT:
            *next = get_floating(v->floating.data - 1.0, v->floating.unit);
            return true;
        case QVT_PAIR:
            *next = v->pair.cdr;
            return true;
        default:
            return false;
    }
}

QV_SEXP* for_condition(QVISP_ENV* lenv, QV_SEXP* form) {
    QV_SEXP* cond = get_el(form, 1);
    QV_SEXP* body = form_rest(form, 2);
    LoopCarry carry;
    for (;;) {
        gc_push_literal("For");
        QV_SEXP* c = eval(lenv, cond);
        QV_SEXP* out;
        int t = sexp_truth(c);
        if (is_error(c)) {
            out = c;
        } else if (t < 0) {
            out = condition_type_error(form, "For");
        } else if (t == 0) {
            out = carry.cell->pair.car;
        } else {
            QV_SEXP* r = nullptr;
            if (run_for_body(lenv, body, &r) != BODY_EXIT) {
                carry.next(r);
                continue;
            }
            out = r;
        }
        gc_pop(out, gc_vx_sexp);
        return out;
    }
}

// The value tested before the body is the one stepped and stored back after it, so the counter
// alone decides the number of passes: a body that sets it (to 10 each time, say) neither stretches
// the loop without end nor ends it early. The look-up roots the tested value in the iteration's
// frame, so it outlives a body that rebinds the name.
QV_SEXP* for_counter(QVISP_ENV* lenv, QV_SEXP* form, const L_CHAR* name) {
    if (name[0] == '^') name++;
    QV_SEXP* var = inherit(get_symbol(name), form);
    QV_SEXP* body = form_rest(form, 1);
    LoopCarry carry;
    for (;;) {
        gc_push_literal("For dec");
        QV_SEXP* out = nullptr;
        QV_SEXP* tested = eval_symbol(lenv, var, -1);
        int t = counter_test(tested, form, &out);
        if (t == 0) out = carry.cell->pair.car;
        if (t > 0) {
            QV_SEXP* r = nullptr;
            if (run_for_body(lenv, body, &r) == BODY_EXIT) {
                out = r;
            } else {
                QV_SEXP* next;
                int set = counter_step(tested, &next) ? set_op(lenv, var, next) : 0;
                if (set == ENV_REFUSED)
                    out = env_refused(form, "For", var);
                else if (set != 0)
                    out = eval_symbol(lenv, var, -1);  // unbound meanwhile: its error
                if (!out) {
                    carry.next(r);
                    continue;
                }
            }
        }
        gc_pop(out, gc_vx_sexp);
        return out;
    }
}

// The truth of a Switch case condition: its value reduced to 32 bits. A floating value truncates
// to 0 exactly when it lies strictly between -1 and 1 (values beyond the 32-bit range, and NaN,
// reduce to a non-zero value).
bool switch_truth(QV_SEXP* v) {
    if (get_type(v) == QVT_INTEGER) return static_cast<uint32_t>(v->integer.data) != 0;
    double d = v->floating.data;
    return !(d > -1.0 && d < 1.0);
}

}  // namespace

QVISP_ENV* env_value_of(QV_SEXP* v) {
    return get_type(v) == QVT_ENV ? v->env.data : nullptr;
}

QV_SEXP* qv_While(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* cond = get_el(form, 1);
    QV_SEXP* body = get_el(form, 2);
    QVISP_ENV* lenv = new_env_pair(args_env, env);
    for (;;) {
        gc_push_literal("While");
        QV_SEXP* r = eval(lenv, body);
        QV_SEXP* out = r;
        if (get_type(r) == QVT_ERROR) {
            if (r->error.code == QVE_LOOP_CONTINUE) {
                gc_pop(nullptr, nullptr);
                continue;
            }
            if (r->error.code == QVE_LOOP_BREAK) out = r->error.data;
        } else {
            QV_SEXP* c = eval(lenv, cond);
            int t = sexp_truth(c);
            if (is_error(c)) {
                out = c;
            } else if (t < 0) {
                out = condition_type_error(form, "While");
            } else if (t > 0) {
                gc_pop(nullptr, nullptr);
                continue;
            }
        }
        gc_pop(out, gc_vx_sexp);
        return out;
    }
}

QV_SEXP* qv_For(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                QVISP_ENV*) {
    QVISP_ENV* lenv = new_env_pair(args_env, env);
    if (const L_CHAR* dec = attr_text(attr, "dec")) return for_counter(lenv, form, dec);
    return for_condition(lenv, form);
}

QV_SEXP* qv_Break(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return eval_error(form, QVE_LOOP_BREAK, "Break", get_el(form, 1));
}

QV_SEXP* qv_Continue(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return eval_error(form, QVE_LOOP_CONTINUE, "Continue", nullptr);
}

QV_SEXP* qv_If(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* c = eval(env, get_el(form, 1));
    if (is_error(c)) return c;
    int t = sexp_truth(c);
    if (t < 0) return bltn_error_s(form, QVE_TYPE_MISMATCH, "If", "type missmatch");
    // Clauses are checked only up to the one taken.
    bool seen[2] = {false, false};  // Else, Then
    for (QV_SEXP* cl = form_rest(form, 2); get_type(cl) == QVT_PAIR; cl = cl->pair.cdr) {
        QV_SEXP* clause = cl->pair.car;
        if (get_type(clause) != QVT_PAIR) return clause_error(form, "If");
        QV_SEXP* head = clause->pair.car;
        if (get_type(head) != QVT_SYMBOL) return clause_error(form, "If");
        int kind = text_is(head->symbol.data, "Then")   ? 1
                   : text_is(head->symbol.data, "Else") ? 0
                                                        : -1;
        if (kind < 0 || seen[kind]) return clause_error(form, "If");
        seen[kind] = true;
        if (kind == t) return eval_body(env, clause->pair.cdr);
    }
    return nullptr;
}

QV_SEXP* qv_Switch(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    for (QV_SEXP* cl = form_rest(form, 1); get_type(cl) == QVT_PAIR; cl = cl->pair.cdr) {
        QV_SEXP* kase = cl->pair.car;
        QV_SEXP* forms = form_rest(kase, 2);
        if (get_type(kase) != QVT_PAIR || get_type(kase->pair.car) != QVT_SYMBOL ||
            !text_is(kase->pair.car->symbol.data, "Case") || get_type(forms) != QVT_PAIR)
            return clause_error(form, "Switch");
        QV_SEXP* c = eval(env, get_el(kase, 1));
        switch (get_type(c)) {
            case QVT_ERROR:
                return c;
            case QVT_INTEGER:
            case QVT_FLOAT:
                if (switch_truth(c)) return eval_body(env, forms);
                break;
            default:
                return eval_error(form, QVE_TYPE_MISMATCH, "Switch",
                                  List(n_get_string("type missmatch"), c, LIST_END));
        }
    }
    return nullptr;
}

QV_SEXP* qv_Sequence(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* v = eval(env, get_el(form, 1));
    QVISP_ENV* target = env;
    switch (get_type(v)) {
        case QVT_ERROR:
            return v;
        case QVT_NIL:
            break;
        default:
            target = env_value_of(v);
            if (!target) return bltn_error_s(form, QVE_TYPE_MISMATCH, "Sequence", "type missmatch");
    }
    // The caller's privilege goes with it into the environment it chose (env.h).
    EnvCarry carry(env);
    return eval_body(target, form_rest(form, 2));
}

QV_SEXP* qv_Test(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    if (STREAM* st = s_stdout) {
        s_printf(st, "test for chained printing\n");
        s_flush(st);
    }
    return nullptr;
}

void init_While(QVISP_ENV* env) {
    loop_env = new_env(nullptr);
    gc_hook_mark(gc_loop_env);  // refused as a duplicate after the first start-up: same hook
    set_env(loop_env, l_string(std_cm, "Break"),
            get_func_prim(qv_Break, FUNC_APPLICATIVE, nullptr, 1, 2));
    set_env(loop_env, l_string(std_cm, "Continue"),
            get_func_prim(qv_Continue, FUNC_APPLICATIVE, nullptr, 1, 1));
    set_env(env, l_string(std_cm, "While"), get_func_prim(qv_While, FUNC_NORMAL, loop_env, 3, 3));
}

void init_For(QVISP_ENV* env) {
    set_env(env, l_string(std_cm, "For"),
            get_func_prim(qv_For, FUNC_NORMAL, loop_env, 2, FUNC_NO_MAX));
}

void init_If(QVISP_ENV* env) {
    bind_prim(env, "If", qv_If, FUNC_NORMAL, 3, 4);
}

void init_Sequence(QVISP_ENV* env) {
    bind_prim(env, "Sequence", qv_Sequence, FUNC_NORMAL, 2, FUNC_NO_MAX);
}

void init_Switch(QVISP_ENV* env) {
    bind_prim(env, "Switch", qv_Switch, FUNC_NORMAL, 2, FUNC_NO_MAX);
}

void init_Test(QVISP_ENV* env) {
    bind_prim(env, "Test", qv_Test, FUNC_APPLICATIVE, 1, 1);
}
