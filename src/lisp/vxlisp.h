// Start-up of the language core: its global locks, the two top environments with the core
// primitives, and the site record (the name and address of this node, carried by every source
// record and error value).
//
// vxlisp_top_env0 (env.h) is the root: it holds the general built-ins and 40 of the 44 core
// primitives. vxlisp_top_env1, its child, alone holds the core statements save, shell, wait and
// lambda and, later, the privileged built-ins, so an environment descending only from
// vxlisp_top_env0 cannot call them.
#pragma once

#include "base/hostaddr.h"
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

// Creates the environment and lexer locks, makes the two top environments, binds the core
// primitives and installs the site hooks of the host-address layer. Once, on the main thread,
// before any other thread uses the language.
void init_vxlisp();

// The site record. The site name is computed on first use from the local host's name and
// address. Names handed out are never freed: a reader may go on using one after a later
// set_qvlisp_site has replaced it.
const L_CHAR* get_qvlisp_site();
// Copies the site address (IPv4: type 4, size 4) into buf and returns buf.
HOST_ADDR* get_qvlisp_site_ip(HOST_ADDR* buf);
// Makes name the site name and its first resolved address the site address: 0, or -1 when the
// name cannot be resolved (nothing changes then).
int set_qvlisp_site(const L_CHAR* name);

// An error handler that does nothing and returns nil; nothing installs it.
QV_SEXP* default_error_handler(int type, QV_SEXP* s);
