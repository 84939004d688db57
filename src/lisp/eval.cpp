// The evaluator: forms, symbols, the call-form length check, the three evaluation orders, lambda
// and environment application, default handlers, caret substitution and the break check.
#include "lisp/eval.h"

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/panic.h"
#include "base/tick.h"
#include "lisp/collect.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

std::atomic<BREAK_CHECK_FUNC> break_check{nullptr};

// The name `__args_env` as a collected text that lives as long as the program (marked with the
// top environments), so that every lambda call binds it without copying it.
static std::atomic<L_CHAR*> args_env_name{nullptr};

void gc_eval_texts() {
    gc_text(args_env_name.load(std::memory_order_acquire));
}

namespace {

// The break check's clock. `break_epoch` moves on once a second (a small ticker thread) and at
// every request for a prompt check (a close, a cancel, the end of a peer's input); each thread
// offers its expression to the break hook when the epoch differs from the one it last saw. So the
// check at the start of every evaluation is one load and one compare, every thread looks at its
// own interpreter at least once a second (no other thread's check can hide a break meant for it),
// and a request reaches every thread at its next evaluation. The epoch never takes the value 0,
// which a thread stores to ask again at its next evaluation.
std::atomic<uint64_t> break_epoch{1};
thread_local uint64_t break_seen;

// Sleepers of `break_sleep` wait here for a request.
std::mutex break_sleep_mutex;
// Never destroyed: tasks may still use it while the process exits.
std::condition_variable& break_sleep_cv = *new std::condition_variable;

void start_break_ticker() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::thread([] {
            for (;;) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
                break_epoch.fetch_add(1, std::memory_order_relaxed);
            }
        }).detach();
    });
}

// The calling thread's stack: the lowest address evaluation may reach (0 when unknown).
struct STACK_LIMIT {
    bool known;
    uintptr_t floor;
};
thread_local STACK_LIMIT stack_limit;

uintptr_t stack_floor() {
    STACK_LIMIT& l = stack_limit;
    if (!l.known) {
        l.known = true;
        pthread_attr_t a;
        if (pthread_getattr_np(pthread_self(), &a) == 0) {
            void* base = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&a, &base, &size) == 0 && base && size) {
                size_t reserve = size / 2 < EVAL_STACK_RESERVE ? size / 2 : EVAL_STACK_RESERVE;
                l.floor = reinterpret_cast<uintptr_t>(base) + reserve;
            }
            pthread_attr_destroy(&a);
        }
    }
    return l.floor;
}

// A long-character copy of a short ASCII name on the caller's stack.
struct AsciiName {
    L_CHAR text[64];
    explicit AsciiName(const char* s) {
        size_t i = 0;
        for (; s[i] && i + 1 < sizeof text / sizeof text[0]; i++)
            text[i] = static_cast<unsigned char>(s[i]);
        text[i] = 0;
    }
};

// The kind of a node as get_type gives it, without a call for a node that is not delayed (the
// kind word is published with a release store; see sexp.h).
inline int node_type(QV_SEXP* s) {
    if (!s) return QVT_NIL;
    int t = std::atomic_ref<int32_t>(s->h.type).load(std::memory_order_acquire);
    return t != QVT_DELAY ? t : get_type(s);
}

bool is_error(QV_SEXP* s) {
    return node_type(s) == QVT_ERROR;
}

// The error of a symbol bound nowhere.
QV_SEXP* undefined_symbol(QV_SEXP* s) {
    QV_SEXP* data =
        List(n_get_string("eval:undefined symbol"), get_integer(QVT_SYMBOL, nullptr), s, LIST_END);
    return eval_error(s, QVE_UNDEFINED, "eval(symbol)", data);
}

// A new pair (car . cdr) with the source record, line and flags of the cell `like`; inside a heap
// section.
inline QV_SEXP* cell_like_in(QV_SEXP* like, QV_SEXP* car, QV_SEXP* cdr) {
    QV_SEXP* s = new_sexp_node<QV_PAIR>(QVT_PAIR);
    s->pair.car = car;
    s->pair.cdr = cdr;
    if (like) {
        s->h.file = like->h.file;
        s->h.line = like->h.line;
        s->h.flags = like->h.flags;
    }
    return s;
}

QV_SEXP* cell_like(QV_SEXP* like, QV_SEXP* car, QV_SEXP* cdr) {
    HeapSection hs;
    return cell_like_in(like, car, cdr);
}

// Binds every head attribute as a string variable, in list order.
void bind_attributes(QVISP_ENV* env, QV_SYM_FIELD* sf) {
    for (; sf; sf = sf->next)
        if (sf->name) set_env(env, sf->name, get_string(sf->data));
}

QV_SEXP* length_error(QV_SEXP* form, const QV_FUNC& fn, const char* text) {
    QV_SEXP* data = List(n_get_string(text), n_get_string("minimum"), get_integer(fn.min, nullptr),
                         n_get_string("maximum"), get_integer(fn.max, nullptr), form, LIST_END);
    return eval_error(form, QVE_PARAM_LENGTH, "eval", data);
}

// A form that is not a proper list: the error inside it; a plain atom ending it is reported as a
// length error rather than handed back as if it were the form's value.
QV_SEXP* improper_form(QV_SEXP* form, const QV_FUNC& fn, const char* text) {
    QV_SEXP* e = list_error(form);
    return is_error(e) ? e : length_error(form, fn, text);
}

// The length check of the whole call form, head included; nil when it passes. *length is the
// form's length when the check counted it whole (-1 when it stopped at `min`).
QV_SEXP* check_length(QV_SEXP* form, const QV_FUNC& fn, int* length) {
    *length = -1;
    if (fn.max == FUNC_NO_MAX && fn.order != FUNC_APPLICATIVE) {
        // Only the first `min` cells are realised: the rest of a lazily read form stays unread
        // until the primitive walks it.
        int n = 0;
        for (QV_SEXP* c = form; node_type(c) == QVT_PAIR; c = c->pair.cdr)
            if (++n >= fn.min) return nullptr;
        if (list_length(form) >= 0) return length_error(form, fn, "invalid parameters length(2)");
        return improper_form(form, fn, "invalid parameters length(2)");
    }
    int n = 0;
    QV_SEXP* c = form;
    for (; node_type(c) == QVT_PAIR; c = c->pair.cdr)
        n++;
    if (node_type(c) != QVT_NIL) return improper_form(form, fn, "invalid parameters length");
    if (n < fn.min || (fn.max != FUNC_NO_MAX && n > fn.max))
        return length_error(form, fn, "invalid parameters length");
    *length = n;
    return nullptr;
}

// Nodes kept on the stack while there are few of them.
class NodeList {
  public:
    void push(QV_SEXP* v) {
        if (n_ < SHORT)
            short_[n_] = v;
        else
            long_.push_back(v);
        n_++;
    }
    QV_SEXP* operator[](size_t i) const { return i < SHORT ? short_[i] : long_[i - SHORT]; }
    size_t size() const { return n_; }

  private:
    static constexpr size_t SHORT = 8;
    QV_SEXP* short_[SHORT];
    std::vector<QV_SEXP*> long_;
    size_t n_ = 0;
};

// "Applicative": the head followed by the values of the arguments, or the first error. The values
// come first (each stays rooted in the caller's frame); the new form's cells are then made in
// one heap section. A long form is built front to back as its values come.
constexpr int SHORT_FORM = 8;

// An argument's value: numbers and strings are their own values at once (what eval answers for
// them); everything else goes through eval.
inline QV_SEXP* eval_arg(QVISP_ENV* env, QV_SEXP* a) {
    int t = a ? std::atomic_ref<int32_t>(a->h.type).load(std::memory_order_acquire) : QVT_NIL;
    if (t == QVT_INTEGER || t == QVT_FLOAT || t == QVT_STRING) return a;
    return eval(env, a);
}

QV_SEXP* applicative_long(QVISP_ENV* aenv, QV_SEXP* form) {
    QV_SEXP* head = cell_like(form, form->pair.car, nullptr);
    QV_SEXP* last = head;
    QV_SEXP* c = form->pair.cdr;
    for (; node_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* v = eval_arg(aenv, c->pair.car);
        if (is_error(v)) return v;
        HeapSection hs;
        QV_SEXP* cell = cell_like_in(c, v, nullptr);
        last->pair.cdr = cell;
        last = cell;
    }
    if (is_error(c)) return c;
    return head;
}

// The arguments of a short form evaluated in order into values[] (their cells in cells[], their
// count in *n): null, or the first error.
QV_SEXP* eval_short_args(QVISP_ENV* aenv, QV_SEXP* form, QV_SEXP** cells, QV_SEXP** values,
                         int* n) {
    *n = 0;
    QV_SEXP* c = form->pair.cdr;
    // The bound holds the arrays even if another task lengthened the form meanwhile.
    for (; node_type(c) == QVT_PAIR && *n < SHORT_FORM; c = c->pair.cdr) {
        QV_SEXP* v = eval_arg(aenv, c->pair.car);
        if (is_error(v)) return v;
        cells[*n] = c;
        values[(*n)++] = v;
    }
    if (is_error(c)) return c;
    if (node_type(c) == QVT_PAIR)
        return eval_error(form, QVE_PARAM_LENGTH, "eval",
                          list(n_get_string("invalid parameters length"), nullptr));
    return nullptr;
}

// The call form of evaluated arguments: the head, then values[] in cells like cells[].
QV_SEXP* short_form(QV_SEXP* form, QV_SEXP* const* cells, QV_SEXP* const* values, int n) {
    HeapSection hs;
    QV_SEXP* r = nullptr;
    for (int i = n; i-- > 0;)
        r = cell_like_in(cells[i], values[i], r);
    return cell_like_in(form, form->pair.car, r);
}

// `length` is the form's length, head included (the length check counted it), so that the way
// is chosen before any argument is evaluated.
QV_SEXP* applicative_form(QVISP_ENV* aenv, QV_SEXP* form, int length) {
    if (length < 0 || length - 1 > SHORT_FORM) return applicative_long(aenv, form);
    QV_SEXP* cells[SHORT_FORM];
    QV_SEXP* values[SHORT_FORM];
    int n;
    if (QV_SEXP* e = eval_short_args(aenv, form, cells, values, &n)) return e;
    return short_form(form, cells, values, n);
}

// A two-operand primitive with a shortcut for plain numbers (QV_FUNC's `plain2`): the operands
// are evaluated as for any applicative primitive; when the shortcut answers, no call form is
// made; otherwise the primitive is called as usual.
QV_SEXP* apply_plain2(QVISP_ENV* env, QV_SEXP* form, const QV_FUNC& fn, QV_SYM_FIELD* sf) {
    QV_SEXP* cells[SHORT_FORM];
    QV_SEXP* values[SHORT_FORM];
    int n;
    if (QV_SEXP* e = eval_short_args(env, form, cells, values, &n)) return e;
    if (n == 2) {
        if (QV_SEXP* r = fn.plain2(values[0], values[1])) return r;
    }
    QV_SEXP* call = short_form(form, cells, values, n);
    if (!fn.keeps_no_env) env_note_reached(env);
    GC_STACK* point = get_gc_check_point();
    QV_SEXP* r = fn.prim(env, call, fn.args_env, sf, fn.sp_env);
    compare_gc_check_point("eval", point);
    return r;
}

// "ApplicativeElement": keyword items (name value) become one argument per parameter, in
// parameter order, after a nil head; or the first error.
QV_SEXP* element_form(QVISP_ENV* aenv, QV_SEXP* form, QV_SEXP* params) {
    int np = list_length(params);
    if (np < 0) np = 0;
    std::vector<QV_SEXP*> values(static_cast<size_t>(np), nullptr);
    std::vector<QV_SEXP*> where(static_cast<size_t>(np), nullptr);
    QV_SEXP* c = form->pair.cdr;
    for (; node_type(c) == QVT_PAIR; c = c->pair.cdr) {
        gc_push_literal("t");
        QV_SEXP* item = c->pair.car;
        QV_SEXP* r;
        if (node_type(item) != QVT_PAIR || node_type(item->pair.car) != QVT_SYMBOL) {
            r = eval_error(c, QVE_INVALID_PARAMETER, "eval",
                           List(n_get_string("invalid parameter (1)"), item, LIST_END));
        } else {
            QV_SEXP* key = item->pair.car;
            int k = get_args_symbol(params, key->symbol.data);
            if (k < 0) {
                r = eval_error(
                    c, QVE_INVALID_PARAMETER, "eval",
                    List(n_get_string("invalid parameter(symbol error) (2)"), item, LIST_END));
            } else {
                r = eval(aenv, get_el(item, 1));
                if (!is_error(r)) {
                    values[static_cast<size_t>(k)] = r;
                    where[static_cast<size_t>(k)] = key;
                }
            }
        }
        gc_pop(r, gc_vx_sexp);
        if (is_error(r)) return r;
    }
    if (is_error(c)) return c;
    QV_SEXP* r = nullptr;
    for (size_t i = values.size(); i-- > 0;)
        r = cell_like(where[i] ? where[i] : form, values[i], r);
    return cell_like(form, nullptr, r);
}

const L_CHAR* args_env_text() {
    L_CHAR* t = args_env_name.load(std::memory_order_acquire);
    if (t) return t;
    static std::mutex once;
    std::lock_guard<std::mutex> g(once);
    t = args_env_name.load(std::memory_order_relaxed);
    if (!t) {
        HeapSection hs;  // no collection between the allocation and its publication
        t = copy_ltext(l_string(std_cm, "__args_env"));
        args_env_name.store(t, std::memory_order_release);
    }
    return t;
}

// A lambda's environment with `__args_env` and the head attributes bound.
QVISP_ENV* lambda_env(QVISP_ENV* env, const QV_FUNC& fn, QV_SYM_FIELD* sf) {
    QVISP_ENV* lenv = new_call_env(env);
    set_env_fresh(lenv, args_env_text(), fn.args_env ? get_env(fn.args_env) : nullptr);
    bind_attributes(lenv, sf);
    return lenv;
}

// Binds a lambda's parameter list, in order, to the values (nil for a missing one) and runs the
// body in its environment.
QV_SEXP* run_lambda(QVISP_ENV* env, const QV_FUNC& fn, QV_SYM_FIELD* sf, const NodeList& values) {
    QVISP_ENV* lenv = lambda_env(env, fn, sf);
    size_t i = 0;
    for (QV_SEXP* p = fn.l_params; node_type(p) == QVT_PAIR; p = p->pair.cdr, i++) {
        QV_SEXP* name = p->pair.car;
        if (node_type(name) != QVT_SYMBOL) er_panic("get_args_symbol");
        set_env_fresh(lenv, name->symbol.data, i < values.size() ? values[i] : nullptr);
    }
    return eval_body(lenv, fn.l_body);
}

// A lambda applied to a form already built by the evaluation order.
QV_SEXP* apply_lambda(QVISP_ENV* env, QV_SEXP* call, const QV_FUNC& fn, QV_SYM_FIELD* sf) {
    if (node_type(fn.l_params) == QVT_SYMBOL) {
        QVISP_ENV* lenv = lambda_env(env, fn, sf);
        set_env_fresh(lenv, fn.l_params->symbol.data, call);  // the whole form, head included
        return eval_body(lenv, fn.l_body);
    }
    NodeList values;
    for (QV_SEXP* a = call->pair.cdr; node_type(a) == QVT_PAIR; a = a->pair.cdr)
        values.push(a->pair.car);
    return run_lambda(env, fn, sf, values);
}

// An applicative lambda with a parameter list: the arguments are evaluated and bound directly,
// since the new form would only carry them to the parameters.
QV_SEXP* apply_lambda_args(QVISP_ENV* env, QV_SEXP* form, const QV_FUNC& fn, QV_SYM_FIELD* sf) {
    QVISP_ENV* aenv = fn.args_env ? new_env_pair(fn.args_env, env) : env;
    NodeList values;
    QV_SEXP* c = form->pair.cdr;
    for (; node_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* v = eval_arg(aenv, c->pair.car);
        if (is_error(v)) return v;
        values.push(v);
    }
    if (is_error(c)) return c;
    return run_lambda(env, fn, sf, values);
}

QV_SEXP* call_function(QVISP_ENV* env, QV_SEXP* form, QV_SEXP* fnode, QV_SYM_FIELD* sf) {
    const QV_FUNC& fn = fnode->func;
    int length;
    if (QV_SEXP* e = check_length(form, fn, &length)) return e;
    if (fn.type == FUNC_LAMBDA && fn.order == FUNC_APPLICATIVE &&
        node_type(fn.l_params) == QVT_PAIR)
        return apply_lambda_args(env, form, fn, sf);
    // The shortcut is taken only where the primitive would see nothing else: no head attributes,
    // no keyword environment, no privilege rule.
    if (fn.plain2 && length == 3 && !sf && !fn.args_env && !fn.privileged)
        return apply_plain2(env, form, fn, sf);
    QV_SEXP* call = form;
    if (fn.order == FUNC_APPLICATIVE || fn.order == FUNC_APPLICATIVE_ELEMENT) {
        QVISP_ENV* aenv = fn.args_env ? new_env_pair(fn.args_env, env) : env;
        if (fn.order == FUNC_APPLICATIVE) {
            call = applicative_form(aenv, form, length);
        } else {
            if (fn.type != FUNC_LAMBDA) er_panic("FO_APPLICATIVE_EL");
            call = element_form(aenv, form, fn.l_params);
        }
        if (is_error(call)) return call;
    }
    switch (fn.type) {
        case FUNC_PRIM: {
            // A primitive of the privileged top environment reached in an evaluation carried
            // for code without privilege (an environment handed to Eval and the like).
            if (__builtin_expect(fn.privileged, 0) && env_carried_privilege() < 0)
                return eval_error(
                    form, QVE_PERMISSION_DENIED, "eval",
                    List(n_get_string("permission denied"), form->pair.car, LIST_END));
            if (!fn.keeps_no_env) env_note_reached(env);
            GC_STACK* point = get_gc_check_point();
            QV_SEXP* r = fn.prim(env, call, fn.args_env, sf, fn.sp_env);
            compare_gc_check_point("eval", point);
            return r;
        }
        case FUNC_LAMBDA:
            return apply_lambda(env, call, fn, sf);
        default:
            return eval_error(form, QVE_UNSUPPORTED, "eval",
                              List(n_get_string("eval:unsupport lambda"), form, LIST_END));
    }
}

QV_SEXP* apply_function(QVISP_ENV* env, QV_SEXP* form, QV_SEXP* fnode, QV_SYM_FIELD* sf) {
    gc_push_literal("eval_p2");
    QV_SEXP* r = call_function(env, form, fnode, sf);
    gc_pop(r, gc_vx_sexp);
    return r;
}

// The rest of the form evaluated in the applied environment (raw) or in a new child of it, with
// the privilege of the code that applied it (env.h).
[[gnu::noinline]] QV_SEXP* apply_env(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* target,
                                     QV_SYM_FIELD* sf) {
    EnvCarry carry(env);
    const L_CHAR* type = get_sf_attribute(sf, l_string(std_cm, "type"));
    bool raw = type && l_strcmp(type, l_string(std_cm, "raw")) == 0;
    // Raw, the attributes are bound in the applied environment itself.
    if (raw && sf && !env_may_bind(env, target))
        return eval_error(form, QVE_PERMISSION_DENIED, "eval",
                          List(n_get_string("permission denied"), form->pair.car, LIST_END));
    gc_push_literal("eval env 1");
    QVISP_ENV* benv = target;
    if (!raw) {
        benv = new_env(target);
        set_env(benv, l_string(std_cm, "Local"), get_env(env));
    }
    bind_attributes(benv, sf);
    QV_SEXP* r = nullptr;
    for (QV_SEXP* c = form->pair.cdr; node_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* e = c->pair.car;
        if (is_error(e)) {
            r = e;
            break;
        }
        gc_push_literal("eval env");
        r = eval(benv, e);
        gc_pop(r, gc_vx_sexp);
        if (is_error(r)) break;
    }
    gc_pop(r, gc_vx_sexp);
    return r;
}

bool has_caret(QV_SYM_FIELD* sf) {
    for (; sf; sf = sf->next)
        if (sf->data && sf->data[0] == '^') return true;
    return false;
}

}  // namespace

// ---------------------------------------------------------------- helpers

QV_SEXP* eval_error(QV_SEXP* pos, uint32_t code, const char* func, QV_SEXP* data) {
    AsciiName name(func);
    return get_error(pos ? pos->h.file : nullptr, pos ? pos->h.line : 0, code, name.text, data);
}

L_CHAR* l_text_join(const char* a, const L_CHAR* b) {
    size_t na = strlen(a);
    size_t nb = b ? static_cast<size_t>(l_strlen(b)) : 0;
    auto* r = static_cast<L_CHAR*>(
        mmalloc(static_cast<int64_t>((na + nb + 1) * sizeof(L_CHAR)), gc_text));
    for (size_t i = 0; i < na; i++)
        r[i] = static_cast<unsigned char>(a[i]);
    if (nb) memcpy(r + na, b, nb * sizeof(L_CHAR));
    r[na + nb] = 0;
    return r;
}

L_CHAR* number_unit_text(QV_SEXP* v) {
    char buf[512];
    switch (node_type(v)) {
        case QVT_INTEGER:
            snprintf(buf, sizeof buf, "%lli", static_cast<long long>(v->integer.data));
            return l_text_join(buf, v->integer.unit);
        case QVT_FLOAT:
            snprintf(buf, sizeof buf, "%f", v->floating.data);
            return l_text_join(buf, v->floating.unit);
        default:
            return nullptr;
    }
}

int sexp_truth(QV_SEXP* v) {
    switch (node_type(v)) {
        case QVT_INTEGER:
            return v->integer.data != 0;
        case QVT_FLOAT:
            return v->floating.data != 0.0;
        default:
            return -1;
    }
}

QV_SEXP* eval_depth_check(QV_SEXP* pos) {
    // The stack grows downward on every host this runs on.
    auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (here >= stack_floor()) return nullptr;
    return eval_error(pos, QVE_EVAL_TOO_DEEP, "eval",
                      list(n_get_string("eval:nesting too deep"), nullptr));
}

QV_SEXP* eval_body(QVISP_ENV* env, QV_SEXP* body) {
    QV_SEXP* r = nullptr;
    QV_SEXP* c = body;
    for (; node_type(c) == QVT_PAIR; c = c->pair.cdr) {
        r = eval(env, c->pair.car);
        if (is_error(r)) return r;
    }
    if (node_type(c) != QVT_NIL) r = eval(env, c);  // an improper tail is the last expression
    return r;
}

// ---------------------------------------------------------------- evaluation

QV_SEXP* eval(QVISP_ENV* env, QV_SEXP* s) {
    if (__builtin_expect(break_epoch.load(std::memory_order_relaxed) != break_seen, 0)) {
        if (QV_SEXP* b = break_check_now(s)) return b;
    }
    switch (node_type(s)) {
        case QVT_PAIR: {
            if (__builtin_expect(
                    reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stack_limit.floor,
                    0) ||
                __builtin_expect(!stack_limit.known, 0)) {
                if (QV_SEXP* e = eval_depth_check(s)) return e;
            }
            return eval_pair(env, s);
        }
        case QVT_SYMBOL: {
            QV_SEXP* v;
            return eval_symbol_node(&v, env, s) == 0 ? v : undefined_symbol(s);
        }
        default:
            return s;
    }
}

QV_SEXP* eval_pair(QVISP_ENV* env, QV_SEXP* form) {
    if (node_type(form) != QVT_PAIR) return eval(env, form);
    QV_SEXP* head = form->pair.car;
    bool head_symbol = node_type(head) == QVT_SYMBOL;
    QV_SYM_FIELD* sf = nullptr;
    if (head_symbol) {
        sf = head->symbol.field;
        if (has_caret(sf)) {
            if (QV_SEXP* e = get_sym_field(&sf, env, head)) return e;
        }
    }
    QV_SEXP* f;
    if (head_symbol) {
        // A look-up roots the value it finds in the caller's top frame, which is where the frame
        // below would hand it: the frame is not needed. The form's own evaluation has just made
        // the break check.
        QV_SEXP* v;
        f = eval_symbol_node(&v, env, head) == 0 ? v : undefined_symbol(head);
    } else {
        gc_push_literal("eval_p1");
        f = eval(env, head);
        gc_pop(f, gc_vx_sexp);
    }

    QV_SEXP* head_error = nullptr;
    for (;;) {
        switch (node_type(f)) {
            case QVT_FUNC:
                return apply_function(env, form, f, sf);
            case QVT_ENV:
                return apply_env(env, form, f->env.data, sf);
            case QVT_ERROR:
                // An unbound head symbol goes to the nearest default handler, once: a handler
                // that is itself an unbound-symbol error ends here instead of looping.
                if (head_symbol && !head_error && f->error.code == QVE_UNDEFINED) {
                    QV_SEXP* h = nullptr;
                    if (_eval_default_symbol(&h, env) == 0) {
                        head_error = f;
                        f = h;
                        continue;
                    }
                }
                if (head_error && f->error.code == QVE_UNDEFINED) return head_error;
                return f;
            default:
                return eval_error(head ? head : form, QVE_NO_FUNCTION, "eval",
                                  List(n_get_string("execute no function"), form, LIST_END));
        }
    }
}

QV_SEXP* eval_symbol(QVISP_ENV* env, QV_SEXP* s, int depth) {
    QV_SEXP* v = nullptr;
    if (node_type(s) == QVT_SYMBOL) {
        int r =
            depth < 0 ? eval_symbol_node(&v, env, s) : _eval_symbol(&v, env, s->symbol.data, depth);
        if (r == 0) return v;
    }
    return undefined_symbol(s);
}

// ---------------------------------------------------------------- carets

QV_SEXP* get_sym_field(QV_SYM_FIELD** sfp, QVISP_ENV* env, QV_SEXP* s) {
    std::vector<QV_SYM_FIELD> out;
    for (QV_SYM_FIELD* f = node_type(s) == QVT_SYMBOL ? s->symbol.field : nullptr; f; f = f->next) {
        L_CHAR* d = f->data;
        if (d && d[0] == '^' && d[1] == '^') {
            heap_enter();
            d = copy_ltext(f->data + 1);
            heap_leave();
        } else if (d && d[0] == '^' && d[1] != 0) {
            QV_SEXP* v = nullptr;
            if (_eval_symbol(&v, env, f->data + 1, -1) != 0) {
                QV_SEXP* data = List(n_get_string("eval:undefined symbol-1"), s,
                                     get_string(f->data + 1), LIST_END);
                return eval_error(s, QVE_UNDEFINED, "eval(attribute symbol)", data);
            }
            switch (node_type(v)) {
                case QVT_STRING:
                    d = v->string.data;
                    break;
                case QVT_INTEGER:
                case QVT_FLOAT:
                    d = number_unit_text(v);
                    break;
                case QVT_ERROR:
                    return v;
                default:
                    return eval_error(s, QVE_TYPE_MISMATCH, "eval(attribute symbol)",
                                      List(n_get_string("eval:type missmatch"), s, LIST_END));
            }
        }
        out.push_back({nullptr, f->name, d});
    }
    QV_SYM_FIELD* head = new_sym_fields(out.data(), out.size());
    *sfp = head;
    return nullptr;
}

L_CHAR* eval_carret(QV_SEXP** retp, QVISP_ENV* env, L_CHAR* str, QV_SEXP* arg) {
    if (!str || str[0] != '^') return str;
    if (str[1] == '^') {
        heap_enter();
        L_CHAR* r = copy_ltext(str + 1);
        heap_leave();
        return r;
    }
    QV_SEXP* sym = inherit(get_symbol(str + 1), arg);
    QV_SEXP* v = eval(env, sym);
    switch (node_type(v)) {
        case QVT_STRING:
            return v->string.data;
        case QVT_INTEGER:
        case QVT_FLOAT:
            return number_unit_text(v);
        case QVT_ERROR:
            break;
        default:
            v = eval_error(
                arg, QVE_TYPE_MISMATCH, "eval(attribute symbol)",
                List(n_get_string("symbol attr field:type missmatch"), get_string(str), LIST_END));
    }
    if (retp) *retp = v;
    return nullptr;
}

int get_args_symbol(QV_SEXP* params, const L_CHAR* name) {
    int i = 0;
    for (QV_SEXP* p = params; node_type(p) == QVT_PAIR; p = p->pair.cdr, i++) {
        QV_SEXP* e = p->pair.car;
        if (node_type(e) != QVT_SYMBOL) er_panic("get_args_symbol");
        if (name && l_strcmp(e->symbol.data, name) == 0) return i;
    }
    return -1;
}

// ---------------------------------------------------------------- break check

void request_break_check() {
    request_break_check_async();
    // Taking the mutex orders the change of the epoch before a sleeper's test of it.
    { std::lock_guard<std::mutex> g(break_sleep_mutex); }
    break_sleep_cv.notify_all();
}

void request_break_check_async() {
    break_epoch.fetch_add(1, std::memory_order_relaxed);
}

QV_SEXP* do_break_check(QV_SEXP* s) {
    if (break_epoch.load(std::memory_order_relaxed) == break_seen) return nullptr;
    return break_check_now(s);
}

QV_SEXP* break_check_now(QV_SEXP* s) {
    start_break_ticker();
    break_seen = break_epoch.load(std::memory_order_relaxed);
    BREAK_CHECK_FUNC hook = break_check.load(std::memory_order_acquire);
    if (!hook) return nullptr;
    QV_SEXP* r = hook(s);
    if (!is_error(r)) return nullptr;
    break_seen = 0;  // the next evaluation asks again
    return r;
}

QV_SEXP* break_sleep(QV_SEXP* s, int64_t ms) {
    using clock = std::chrono::steady_clock;
    // Saturated: a huge ms is the longest wait, never an overflow of the clock's nanoseconds.
    auto deadline = clock::now() + std::chrono::milliseconds(clamp_wait_ms(ms));
    for (;;) {
        if (QV_SEXP* b = break_check_now(s)) return b;
        auto now = clock::now();
        if (now >= deadline) return nullptr;
        // Woken by a request; at the latest once a second the hook is asked again (a break whose
        // cause made no request, such as the interrupt signal, is seen then).
        auto until =
            deadline - now > std::chrono::seconds(1) ? now + std::chrono::seconds(1) : deadline;
        std::unique_lock<std::mutex> g(break_sleep_mutex);
        uint64_t e = break_epoch.load(std::memory_order_relaxed);
        break_sleep_cv.wait_until(g, until,
                                  [&] { return break_epoch.load(std::memory_order_relaxed) != e; });
    }
}
