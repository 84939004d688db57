// The core start-up: placement of the core primitives in the two top environments, and the site
// record.
#include "lisp/vxlisp.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <string>

#include "base/netdb.h"
#include "lisp/env.h"
#include "lisp/logic.h"
#include "lisp/operators.h"
#include "lisp/statements.h"
#include "node_util.h"

namespace {

class CoreStartTest : public LispTest {
  protected:
    static void SetUpTestSuite() { init_vxlisp(); }

    // The binding of name in one real environment, or null.
    static QV_SEXP* own(QVISP_ENV* env, const char* name) {
        lock_task(vx_env_lock);
        ELEMENT* e = search_env(env, L(name));
        QV_SEXP* r = e ? e->data : nullptr;
        unlock_task(vx_env_lock, "test");
        return r;
    }
};

// The core primitives: name, order, form length limits and environment.
struct Placement {
    const char* name;
    int order, min, max, env;
};
const Placement placements[] = {
    {"list", 0, 2, -1, 0}, {"/", 1, 3, 3, 0},       {"div", 1, 3, 3, 0},    {"shift", 1, 3, 3, 0},
    {"rem", 1, 3, 3, 0},   {"define", 0, 3, -1, 0}, {"while", 0, 2, -1, 0}, {"=", 1, 3, 3, 0},
    {"Equ", 1, 3, 3, 0},   {"Neq", 1, 3, 3, 0},     {"<=", 1, 3, 3, 0},     {"Lteq", 1, 3, 3, 0},
    {"Lt", 1, 3, 3, 0},    {"<", 1, 3, 3, 0},       {">=", 1, 3, 3, 0},     {"Gteq", 1, 3, 3, 0},
    {"Gt", 1, 3, 3, 0},    {">", 1, 3, 3, 0},       {"+", 1, 3, -1, 0},     {"add", 1, 3, -1, 0},
    {"*", 1, 3, -1, 0},    {"mul", 1, 3, -1, 0},    {"-", 1, 2, 3, 0},      {"sub", 1, 2, 3, 0},
    {"set", 0, 3, 3, 0},   {"quote", 0, 2, 2, 0},   {"if", 0, 4, 4, 0},     {"append", 0, 3, 3, 0},
    {"cons", 0, 3, 3, 0},  {"let", 0, 3, -1, 0},    {"cdr", 1, 2, 2, 0},    {"car", 1, 2, 2, 0},
    {"save", 0, 6, 6, 1},  {"shell", 0, 2, -1, 1},  {"wait", 0, 2, 2, 1},   {"lambda", 0, 2, -1, 1},
    {"and", 1, 3, -1, 0},  {"or", 1, 3, -1, 0},     {"xor", 1, 3, -1, 0},   {"not", 1, 2, 2, 0},
    {"And", 1, 3, -1, 0},  {"Or", 1, 3, -1, 0},     {"Xor", 1, 3, -1, 0},   {"Not", 1, 2, 2, 0},
};

TEST_F(CoreStartTest, EveryCorePrimitiveIsBoundWhereItBelongs) {
    ASSERT_NE(vxlisp_top_env0, nullptr);
    ASSERT_NE(vxlisp_top_env1, nullptr);
    EXPECT_EQ(vxlisp_top_env1->env.parent, vxlisp_top_env0);
    EXPECT_EQ(vxlisp_top_env0->env.parent, nullptr);
    ASSERT_NE(lex_lock, nullptr);
    int rows = 0;
    for (const CORE_PRIM* p = core_prims; p->name; p++)
        rows++;
    int in_env0 = 0, in_env1 = 0;
    for (const Placement& pl : placements) {
        SCOPED_TRACE(pl.name);
        QV_SEXP* f0 = own(vxlisp_top_env0, pl.name);
        QV_SEXP* f1 = own(vxlisp_top_env1, pl.name);
        QV_SEXP* f = pl.env ? f1 : f0;
        // Each primitive lives in exactly one of the two environments.
        EXPECT_EQ(pl.env ? f0 : f1, nullptr);
        if (!f) continue;
        (pl.env ? in_env1 : in_env0)++;
        ASSERT_EQ(get_type(f), QVT_FUNC);
        EXPECT_EQ(f->func.type, FUNC_PRIM);
        EXPECT_EQ(f->func.order, pl.order);
        EXPECT_EQ(f->func.min, pl.min);
        EXPECT_EQ(f->func.max, pl.max);
        EXPECT_EQ(f->func.args_env, nullptr);
        // The lookup from the child finds the same function.
        EXPECT_EQ(get_env_symbol(vxlisp_top_env1, L(pl.name), -1), f);
    }
    EXPECT_EQ(rows, 44);
    EXPECT_EQ(in_env0, 40);
    EXPECT_EQ(in_env1, 4);
    // The word forms share the function of their symbols.
    for (auto [a, b] : {std::pair{"/", "div"},
                        {"=", "Equ"},
                        {"<=", "Lteq"},
                        {"<", "Lt"},
                        {">=", "Gteq"},
                        {">", "Gt"},
                        {"+", "add"},
                        {"*", "mul"},
                        {"-", "sub"}})
        EXPECT_EQ(own(vxlisp_top_env0, a)->func.prim, own(vxlisp_top_env0, b)->func.prim);
    EXPECT_EQ(own(vxlisp_top_env0, "and")->func.prim, vx_and);
    EXPECT_EQ(own(vxlisp_top_env0, "And")->func.prim, vx_And);
    EXPECT_EQ(own(vxlisp_top_env0, ">")->func.prim, vx_gt);
    EXPECT_EQ(own(vxlisp_top_env0, "list")->func.prim, vx_list);
    EXPECT_EQ(own(vxlisp_top_env0, "quote")->func.prim, vx_quote_long);
    EXPECT_EQ(own(vxlisp_top_env1, "lambda")->func.prim, vx_lambda);
    // The start-up runs once.
    QVISP_ENV* e0 = vxlisp_top_env0;
    init_vxlisp();
    EXPECT_EQ(vxlisp_top_env0, e0);
}

TEST_F(CoreStartTest, TopEnvironmentsSurviveCollections) {
    collect();
    collect();
    QV_SEXP* f = get_env_symbol(vxlisp_top_env1, L("+"), -1);
    ASSERT_EQ(get_type(f), QVT_FUNC);
    EXPECT_EQ(f->func.prim, vx_add);
}

// A host table holding one name, for the site record's look-ups.
int fake_by_name(const char* name, hostent* ret, char* buf, size_t buflen, hostent** result,
                 int* h_errnop) {
    *result = nullptr;
    if (strcmp(name, "site-a.test") != 0) {
        *h_errnop = HOST_NOT_FOUND;
        return 0;
    }
    struct Layout {
        char* addrs[2];
        char* aliases[1];
        in_addr addr;
        char name[16];
    };
    auto p = reinterpret_cast<uintptr_t>(buf);
    size_t pad = (alignof(Layout) - p % alignof(Layout)) % alignof(Layout);
    if (buflen < pad + sizeof(Layout)) {
        *h_errnop = NETDB_INTERNAL;
        return ERANGE;
    }
    auto* l = reinterpret_cast<Layout*>(buf + pad);
    inet_pton(AF_INET, "192.0.2.7", &l->addr);
    snprintf(l->name, sizeof(l->name), "site-a.test");
    l->addrs[0] = reinterpret_cast<char*>(&l->addr);
    l->addrs[1] = nullptr;
    l->aliases[0] = nullptr;
    ret->h_name = l->name;
    ret->h_aliases = l->aliases;
    ret->h_addrtype = AF_INET;
    ret->h_length = 4;
    ret->h_addr_list = l->addrs;
    *result = ret;
    return 0;
}

int fake_by_addr(const void*, socklen_t, int, hostent*, char*, size_t, hostent** result,
                 int* h_errnop) {
    *result = nullptr;
    *h_errnop = HOST_NOT_FOUND;
    return 0;
}

TEST_F(CoreStartTest, SiteRecord) {
    // The address is known before the name was ever asked for.
    HOST_ADDR a;
    EXPECT_EQ(get_qvlisp_site_ip(&a), &a);
    EXPECT_EQ(a.type, 4);
    EXPECT_EQ(a.size, 4);
    HOST_ADDR local = getHA_v4(get_localhostip());
    EXPECT_EQ(cmp_HA(a, local), 0);
    const L_CHAR* name = get_qvlisp_site();
    char host[1000];
    get_localhostname(host, sizeof(host));
    EXPECT_EQ(A(name), host);
    EXPECT_EQ(get_qvlisp_site(), name);
    // The host-address layer sees the same site.
    EXPECT_EQ(cmp_HA(site_ip(), a), 0);
    EXPECT_EQ(localhostcmp(a, host), 0);

    static const HOSTDB_CALLS calls = {fake_by_name, fake_by_addr};
    set_hostdb_calls(&calls);
    // An unknown name changes nothing.
    EXPECT_EQ(set_qvlisp_site(L("no-such-site.test")), -1);
    EXPECT_EQ(get_qvlisp_site(), name);
    HOST_ADDR b;
    get_qvlisp_site_ip(&b);
    EXPECT_EQ(cmp_HA(a, b), 0);
    // A known one replaces both; the old name stays readable.
    EXPECT_EQ(set_qvlisp_site(L("site-a.test")), 0);
    const L_CHAR* site_a = get_qvlisp_site();
    // Setting the same name again takes the copy kept the first time: no copy per call.
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(set_qvlisp_site(L("site-a.test")), 0);
    EXPECT_EQ(get_qvlisp_site(), site_a);
    set_hostdb_calls(nullptr);
    EXPECT_EQ(A(get_qvlisp_site()), "site-a.test");
    get_qvlisp_site_ip(&b);
    EXPECT_EQ(cmp_HA(b, getHA_v4(inet_addr("192.0.2.7"))), 0);
    EXPECT_EQ(A(name), host);
    EXPECT_EQ(localhostcmp(b, "site-a.test"), 0);
    EXPECT_EQ(default_error_handler(0, nullptr), nullptr);
}

}  // namespace
