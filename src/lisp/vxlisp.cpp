// Start-up of the language core and the site record.
#include "lisp/vxlisp.h"

#include "lisp/env.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/logic.h"
#include "lisp/operators.h"
#include "longchar/longchar.h"

SEM lex_lock;

const CORE_PRIM core_prims[] = {
    {"/", vx_div, FUNC_APPLICATIVE, 3, 3, 0},
    {"div", vx_div, FUNC_APPLICATIVE, 3, 3, 0},
    {"shift", vx_shift, FUNC_APPLICATIVE, 3, 3, 0},
    {"rem", vx_rem, FUNC_APPLICATIVE, 3, 3, 0},
    {"=", vx_equ, FUNC_APPLICATIVE, 3, 3, 0},
    {"Equ", vx_equ, FUNC_APPLICATIVE, 3, 3, 0},
    {"Neq", vx_Neq, FUNC_APPLICATIVE, 3, 3, 0},
    {"<=", vx_leq, FUNC_APPLICATIVE, 3, 3, 0},
    {"Lteq", vx_leq, FUNC_APPLICATIVE, 3, 3, 0},
    {"Lt", vx_lt, FUNC_APPLICATIVE, 3, 3, 0},
    {"<", vx_lt, FUNC_APPLICATIVE, 3, 3, 0},
    {">=", vx_geq, FUNC_APPLICATIVE, 3, 3, 0},
    {"Gteq", vx_geq, FUNC_APPLICATIVE, 3, 3, 0},
    {"Gt", vx_gt, FUNC_APPLICATIVE, 3, 3, 0},
    {">", vx_gt, FUNC_APPLICATIVE, 3, 3, 0},
    {"+", vx_add, FUNC_APPLICATIVE, 3, FUNC_NO_MAX, 0},
    {"add", vx_add, FUNC_APPLICATIVE, 3, FUNC_NO_MAX, 0},
    {"*", vx_mul, FUNC_APPLICATIVE, 3, FUNC_NO_MAX, 0},
    {"mul", vx_mul, FUNC_APPLICATIVE, 3, FUNC_NO_MAX, 0},
    {"-", vx_sub, FUNC_APPLICATIVE, 2, 3, 0},
    {"sub", vx_sub, FUNC_APPLICATIVE, 2, 3, 0},
    {"cdr", vx_cdr, FUNC_APPLICATIVE, 2, 2, 0},
    {"car", vx_car, FUNC_APPLICATIVE, 2, 2, 0},
    {"and", vx_and, FUNC_APPLICATIVE, 3, FUNC_NO_MAX, 0},
    {"or", vx_or, FUNC_APPLICATIVE, 3, FUNC_NO_MAX, 0},
    {"xor", vx_xor, FUNC_APPLICATIVE, 3, FUNC_NO_MAX, 0},
    {"not", vx_not, FUNC_APPLICATIVE, 2, 2, 0},
    {"And", vx_And, FUNC_APPLICATIVE, 3, FUNC_NO_MAX, 0},
    {"Or", vx_Or, FUNC_APPLICATIVE, 3, FUNC_NO_MAX, 0},
    {"Xor", vx_Xor, FUNC_APPLICATIVE, 3, FUNC_NO_MAX, 0},
    {"Not", vx_Not, FUNC_APPLICATIVE, 2, 2, 0},
    {nullptr, nullptr, 0, 0, 0, 0},
};

void init_vxlisp() {
    if (vxlisp_top_env0) return;
    init_env();
    if (!lex_lock) new_lock(&lex_lock);
    gc_push(nullptr, nullptr, "init_vxlisp");
    QVISP_ENV* e0 = new_env(nullptr);
    QVISP_ENV* e1 = new_env(e0);
    for (const CORE_PRIM* p = core_prims; p->name; p++) {
        QV_SEXP* f = get_func_prim(p->prim, p->order, nullptr, p->min, p->max);
        set_env(p->env ? e1 : e0, l_string(std_cm, p->name), f);
    }
    // Published under the memory lock: the collector marks them from now on.
    lock_mem();
    vxlisp_top_env0 = e0;
    vxlisp_top_env1 = e1;
    unlock_mem();
    gc_pop(nullptr, nullptr);
}
