// The registry and the helpers of the built-ins: Env0 and Env1, the bindings of each family in its
// top environment with its form lengths, PrintStd's option words and the privileged-environment
// test.
#include "builtins/registry.h"

#include "builtins/bltn_util.h"
#include "builtins/printstd.h"
#include "lisp/eval.h"
#include "lisp/lisp_util.h"
#include "lisp/list.h"
#include "lisp/vxlisp.h"

namespace {

class RegistryTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        init_vxlisp();
    }
    QV_SEXP* lookup(QVISP_ENV* env, const char* name) {
        return get_env_symbol(env, _l_string_1(std_cm, name), -1);
    }
};

TEST_F(RegistryTest, BindsEachFamilyInItsEnvironment) {
    QVISP_ENV* e0 = new_env(nullptr);
    QVISP_ENV* e1 = new_env(e0);
    char prog[] = "prog";
    char* argv[] = {prog, nullptr};
    init_function(e0, e1, 1, argv);
    // Env0 and Env1 always name the global top environments.
    QV_SEXP* env0 = lookup(e0, "Env0");
    ASSERT_EQ(get_type(env0), QVT_ENV);
    EXPECT_EQ(env0->env.data, vxlisp_top_env0);
    EXPECT_EQ(lookup(e0, "Env1"), nullptr);
    QV_SEXP* env1 = lookup(e1, "Env1");
    ASSERT_EQ(get_type(env1), QVT_ENV);
    EXPECT_EQ(env1->env.data, vxlisp_top_env1);
    struct Row {
        const char* name;
        int env;
        int min;
        int max;
    } rows[] = {{"Exit", 1, 1, 1},
                {"Arg", 1, 1, 2},
                {"SetArg", 1, 1, -1},
                {"GetArg", 1, 1, 1},
                {"ArgOption", 1, 1, 2},
                {"Print", 0, 2, 2},
                {"PrintStd", 0, 2, 2},
                {"openPrintStd", 0, 2, 2},
                {"closePrintStd", 0, 1, 1},
                {"PrintChain", 0, 1, 3},
                {"SetResultFormat", 0, 1, 1},
                {"CloseInterpreter", 0, 2, 2},
                {"WaitInterpreter", 0, 2, 2},
                {"GetIid", 0, 1, 1},
                {"GetMainInterpreter", 0, 1, 1},
                {"GetQVIinfo", 0, 2, 2},
                {"SetMainInterpreter", 1, 2, 2},
                {"Shell", 1, 2, -1},
                {"Launch", 1, 2, 2},
                {"GetCPUStatus", 1, 2, 2},
                {"LaunchWWW", 0, 2, 2},
                {"MemoryStatistics", 0, 1, 1},
                {"Progressive", 0, 1, 1},
                {"CloseProgressive", 0, 1, 1},
                {"Stage", 0, 1, 1}};
    for (const Row& r : rows) {
        QV_SEXP* f = lookup(r.env ? e1 : e0, r.name);
        ASSERT_EQ(get_type(f), QVT_FUNC) << r.name;
        EXPECT_EQ(f->func.type, FUNC_PRIM) << r.name;
        EXPECT_EQ(f->func.order, FUNC_APPLICATIVE) << r.name;
        EXPECT_EQ(f->func.min, r.min) << r.name;
        EXPECT_EQ(f->func.max, r.max) << r.name;
        EXPECT_EQ(f->func.args_env, nullptr) << r.name;
        if (r.env) {
            EXPECT_EQ(lookup(e0, r.name), nullptr) << r.name;
        }
    }
}

TEST_F(RegistryTest, OpenInterpreterKeywordEnvironments) {
    QVISP_ENV* e0 = new_env(nullptr);
    QVISP_ENV* e1 = new_env(e0);
    char prog[] = "prog";
    char* argv[] = {prog, nullptr};
    init_function(e0, e1, 1, argv);
    QV_SEXP* open = lookup(e0, "OpenInterpreter");
    ASSERT_EQ(get_type(open), QVT_FUNC);
    EXPECT_EQ(open->func.order, FUNC_NORMAL);
    EXPECT_EQ(open->func.min, 3);
    EXPECT_EQ(open->func.max, -1);
    QVISP_ENV* kw = open->func.args_env;
    ASSERT_NE(kw, nullptr);
    ASSERT_EQ(kw->type, ENV_REAL);
    EXPECT_EQ(kw->env.parent, nullptr);
    for (const char* name :
         {"Port", "IP", "HostName", "MaxConnection", "InputFileName", "OutputFileName",
          "ErrorFileName", "ConnectionTimeout", "SilentTimeout", "Environment", "InputDescripter",
          "OutputDescripter", "ErrorDescripter", "Type", "Result", "FormatMode", "FormatIndent"}) {
        QV_SEXP* f = get_env_symbol(kw, _l_string_1(std_cm, name), 0);
        ASSERT_EQ(get_type(f), QVT_FUNC) << name;
        EXPECT_EQ(f->func.order, FUNC_APPLICATIVE) << name;
        EXPECT_EQ(f->func.min, 2) << name;
        EXPECT_EQ(f->func.max, 2) << name;
        // Keywords are bound nowhere else.
        EXPECT_EQ(lookup(e1, name), nullptr) << name;
    }
    QV_SEXP* perm = get_env_symbol(kw, L("Permission"), 0);
    ASSERT_EQ(get_type(perm), QVT_FUNC);
    EXPECT_EQ(perm->func.order, FUNC_NORMAL);
    EXPECT_EQ(perm->func.min, 2);
    EXPECT_EQ(perm->func.max, -1);
    QVISP_ENV* rules = perm->func.args_env;
    ASSERT_NE(rules, nullptr);
    EXPECT_EQ(rules->env.parent, nullptr);
    for (const char* name : {"Allow", "Deny"}) {
        QV_SEXP* f = get_env_symbol(rules, _l_string_1(std_cm, name), 0);
        ASSERT_EQ(get_type(f), QVT_FUNC) << name;
        EXPECT_EQ(f->func.order, FUNC_APPLICATIVE) << name;
        EXPECT_EQ(f->func.min, 2) << name;
        EXPECT_EQ(f->func.max, 4) << name;
        EXPECT_EQ(get_env_symbol(kw, _l_string_1(std_cm, name), 0), nullptr) << name;
        EXPECT_EQ(lookup(e1, name), nullptr) << name;
    }
}

TEST_F(RegistryTest, PrintStdOptionWords) {
    auto flags = [](const char* text) {
        int f = -99;
        return printstd_flags(_l_string_1(std_cm, text), &f) == 0 ? f : -1;
    };
    EXPECT_EQ(flags(""), 16);
    EXPECT_EQ(flags("lisp"), 16);
    EXPECT_EQ(flags("xml:indent"), 1 + 128 + 16);
    EXPECT_EQ(flags("text:html"), 512 + 2 + 16);
    EXPECT_EQ(flags("lispy"), -1);  // a word matches only up to ":" or the end
    EXPECT_EQ(flags("xml:bogus"), -1);
    EXPECT_EQ(flags("xm"), -1);
}

TEST_F(RegistryTest, PrivilegedEnvironments) {
    QVISP_ENV* under1 = new_env(new_env(vxlisp_top_env1));
    QVISP_ENV* under0 = new_env(vxlisp_top_env0);
    EXPECT_TRUE(env_is_privileged(under1));
    EXPECT_TRUE(env_is_privileged(vxlisp_top_env1));
    EXPECT_FALSE(env_is_privileged(under0));
    EXPECT_FALSE(env_is_privileged(vxlisp_top_env0));
    EXPECT_FALSE(env_is_privileged(nullptr));
    // A pair reaches the privileged environment through either member.
    EXPECT_TRUE(env_is_privileged(new_env_pair(under0, under1)));
    EXPECT_TRUE(env_is_privileged(new_env_pair(under1, under0)));
    EXPECT_FALSE(env_is_privileged(new_env_pair(under0, new_env(nullptr))));
    // Creating files is refused to a caller below the general environment only.
    QV_SEXP* form = list(n_get_symbol("openPrintStd"), n_get_string("/tmp/never.txt"), nullptr);
    QV_SEXP* r = qv_openPrintStd(under0, form, nullptr, nullptr, nullptr);
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_PERMISSION_DENIED);
    QV_SYM_FIELD file = {nullptr, const_cast<L_CHAR*>(L("file")), const_cast<L_CHAR*>(L("/tmp/n"))};
    r = qv_PrintStd(under0, list(n_get_symbol("PrintStd"), get_integer(1, nullptr), nullptr),
                    nullptr, &file, nullptr);
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_PERMISSION_DENIED);
}

}  // namespace
