// Start-up of the language core: its global locks, the two top environments with the core
// primitives, and the site record (the name and address of this node, carried by every source
// record and error value).
//
// vxlisp_top_env0 (env.h) is the root: it holds the general built-ins and 40 of the 44 core
// primitives. vxlisp_top_env1, its child, alone holds the core statements save, shell, wait and
// lambda and, later, the privileged built-ins, so an environment descending only from
// vxlisp_top_env0 cannot call them.
#pragma once

#include "base/lock.h"
#include "lisp/sexp.h"

// The lexer lock: guards the site record and the reader's ring of source records.
extern SEM lex_lock;

// One core primitive: its name, function, evaluation order, form length limits (head included,
// -1 for no maximum) and top environment (0 or 1).
struct CORE_PRIM {
    const char* name;
    QV_PRIM prim;
    int order;
    int min;
    int max;
    int env;
};
// The core primitives in binding order, ended by a row with a null name.
extern const CORE_PRIM core_prims[];

// Creates the environment and lexer locks, makes the two top environments and binds the core
// primitives. Once, on the main thread, before any other thread uses the language.
void init_vxlisp();
