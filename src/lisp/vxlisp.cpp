// Start-up of the language core and the site record.
#include "lisp/vxlisp.h"

#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "base/netdb.h"
#include "base/resolve.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "lisp/hostcmd.h"
#include "lisp/list.h"
#include "lisp/logic.h"
#include "lisp/operators.h"
#include "lisp/parser.h"
#include "lisp/qvrc.h"
#include "lisp/statements.h"
#include "longchar/longchar.h"

static_assert(sizeof(HOST_ADDR) == 20, "the site address is a 20-byte record");

namespace {

// The site record, under lex_lock. Replaced names are kept, never freed: a caller may still hold
// the name get_qvlisp_site gave it.
const L_CHAR* site_name;
const char* site_name8;
HOST_ADDR site_addr;
// Every name the site has had, each text once, kept for the rest of the process (never
// destroyed). A name set again takes its kept copies, so setting names over and over keeps one
// copy per name, not one per call.
struct SITE_NAME {
    const L_CHAR* name;
    const char* name8;
};
std::vector<SITE_NAME>& kept_names() {
    static auto* v = new std::vector<SITE_NAME>;
    return *v;
}

// A copy from the tracked allocator that lives for the rest of the process.
const L_CHAR* keep_ltext(const L_CHAR* s) {
    size_t n = static_cast<size_t>(l_strlen(s)) + 1;
    auto* r = static_cast<L_CHAR*>(d_alloc(static_cast<int64_t>(n * sizeof(L_CHAR))));
    memcpy(r, s, n * sizeof(L_CHAR));
    return r;
}

// The local host's name and address; the look-ups run without lex_lock held, and the first
// result to be stored wins.
void compute_site() {
    lock_task(lex_lock);
    bool known = site_name != nullptr;
    unlock_task(lex_lock, "lex_lock");
    if (known) return;
    char buf[1000];
    get_localhostname(buf, sizeof(buf));
    const L_CHAR* name = keep_ltext(l_string(std_cm, buf));
    const char* name8 = d_strdup(buf);
    HOST_ADDR addr = getHA_v4(get_localhostip());
    lock_task(lex_lock);
    if (!site_name) {
        site_addr = addr;
        site_name8 = name8;
        site_name = name;
        kept_names().push_back({name, name8});
    }
    unlock_task(lex_lock, "lex_lock");
}

HOST_ADDR site_ip_hook() {
    HOST_ADDR a;
    get_qvlisp_site_ip(&a);
    return a;
}

const char* site_name_hook() {
    compute_site();
    lock_task(lex_lock);
    const char* r = site_name8;
    unlock_task(lex_lock, "lex_lock");
    return r;
}

}  // namespace

const CORE_PRIM core_prims[] = {
    {"list", vx_list, FUNC_NORMAL, 2, FUNC_NO_MAX, 0},
    {"/", vx_div, FUNC_APPLICATIVE, 3, 3, 0},
    {"div", vx_div, FUNC_APPLICATIVE, 3, 3, 0},
    {"shift", vx_shift, FUNC_APPLICATIVE, 3, 3, 0},
    {"rem", vx_rem, FUNC_APPLICATIVE, 3, 3, 0},
    {"define", vx_define, FUNC_NORMAL, 3, FUNC_NO_MAX, 0},
    {"while", vx_while, FUNC_NORMAL, 2, FUNC_NO_MAX, 0},
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
    {"set", vx_set, FUNC_NORMAL, 3, 3, 0},
    {"quote", vx_quote_long, FUNC_NORMAL, 2, 2, 0},
    {"if", vx_if, FUNC_NORMAL, 4, 4, 0},
    {"append", vx_append, FUNC_NORMAL, 3, 3, 0},
    {"cons", vx_cons, FUNC_NORMAL, 3, 3, 0},
    {"let", vx_let, FUNC_NORMAL, 3, FUNC_NO_MAX, 0},
    {"cdr", vx_cdr, FUNC_APPLICATIVE, 2, 2, 0},
    {"car", vx_car, FUNC_APPLICATIVE, 2, 2, 0},
    {"save", vx_save, FUNC_NORMAL, 6, 6, 1},
    {"shell", vx_shell, FUNC_NORMAL, 2, FUNC_NO_MAX, 1},
    {"wait", vx_wait, FUNC_NORMAL, 2, 2, 1},
    {"lambda", vx_lambda, FUNC_NORMAL, 2, FUNC_NO_MAX, 1},
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

namespace {

// The core primitives that keep no reference to their calling environment beyond the call (a
// loop body's environment they are called in may serve the next pass; env.h).
bool keeps_no_env(QV_PRIM prim) {
    static const QV_PRIM pure[] = {
        vx_list, vx_div,    vx_shift, vx_rem, vx_define, vx_while, vx_equ,    vx_Neq,
        vx_leq,  vx_lt,     vx_geq,   vx_gt,  vx_add,    vx_mul,   vx_sub,    vx_set,
        vx_if,   vx_append, vx_cons,  vx_let, vx_cdr,    vx_car,   vx_and,    vx_or,
        vx_xor,  vx_not,    vx_And,   vx_Or,  vx_Xor,    vx_Not,   vx_lambda, vx_quote_long,
    };
    for (QV_PRIM p : pure)
        if (p == prim) return true;
    return false;
}

}  // namespace

void init_vxlisp() {
    if (vxlisp_top_env0) return;
    init_env();
    init_parse_system();
    // The script search reads its ".qvrc" files with this reader from now on.
    init_qvrc();
    // New source records carry this agent's site name.
    set_parse_site_hook(get_qvlisp_site);
    gc_push(nullptr, nullptr, "init_vxlisp");
    QVISP_ENV* e0 = new_env(nullptr);
    QVISP_ENV* e1 = new_env(e0);
    for (const CORE_PRIM* p = core_prims; p->name; p++) {
        QV_SEXP* f = get_func_prim(p->prim, p->order, nullptr, p->min, p->max);
        {
            HeapSection hs;  // no section around set_env: it takes the environment lock
            f->func.plain2 = plain_operator(p->prim);
            f->func.keeps_no_env = keeps_no_env(p->prim);
        }
        set_env(p->env ? e1 : e0, l_string(std_cm, p->name), f);
    }
    // Published under the memory lock: the collector marks them from now on.
    lock_mem();
    vxlisp_top_env0 = e0;
    vxlisp_top_env1 = e1;
    unlock_mem();
    env_privilege_changed();  // answers cached before e1 was known are not taken
    gc_pop(nullptr, nullptr);
    qvlisp_site_ip_hook = site_ip_hook;
    qvlisp_site_name_hook = site_name_hook;
}

const L_CHAR* get_qvlisp_site() {
    compute_site();
    lock_task(lex_lock);
    const L_CHAR* r = site_name;
    unlock_task(lex_lock, "lex_lock");
    return r;
}

HOST_ADDR* get_qvlisp_site_ip(HOST_ADDR* buf) {
    compute_site();
    lock_task(lex_lock);
    *buf = site_addr;
    unlock_task(lex_lock, "lex_lock");
    return buf;
}

int set_qvlisp_site(const L_CHAR* name) {
    if (!name) return -1;
    // The look-up may take long: it runs without lex_lock held.
    const char* name8 = n_string(std_cm, name);
    HOST_ENTRY* e = r_gethostbyname(name8);
    if (!e || e->ips_length < 1) return -1;
    HOST_ADDR addr = e->ips[0];
    lock_task(lex_lock);
    const SITE_NAME* kept = nullptr;
    for (const SITE_NAME& k : kept_names())
        if (l_strcmp(k.name, name) == 0) kept = &k;
    if (!kept) {
        kept_names().push_back({keep_ltext(name), d_strdup(name8)});
        kept = &kept_names().back();
    }
    site_addr = addr;
    site_name = kept->name;
    site_name8 = kept->name8;
    unlock_task(lex_lock, "lex_lock");
    return 0;
}

QV_SEXP* default_error_handler(int, QV_SEXP*) {
    return nullptr;
}
