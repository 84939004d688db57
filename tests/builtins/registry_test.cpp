// The registry and the helpers of the built-ins: Env0 and Env1, the bindings of each family in its
// top environment with its form lengths, PrintStd's option words and the privileged-environment
// test.
#include "builtins/registry.h"

#include <sstream>
#include <string>
#include <vector>

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

TEST_F(RegistryTest, EveryNameInItsTopEnvironmentWithItsRegistration) {
    QVISP_ENV* e0 = new_env(nullptr);
    QVISP_ENV* e1 = new_env(e0);
    char prog[] = "prog";
    char* argv[] = {prog, nullptr};
    init_function(e0, e1, 1, argv);
    auto here = [](QVISP_ENV* env, const char* name) {
        return get_env_symbol(env, _l_string_1(std_cm, name), 0);
    };
    // The general names are bound in env0 itself, the privileged ones in env1 alone.
    auto words = [](const char* text) {
        std::vector<std::string> w;
        std::istringstream in(text);
        for (std::string n; in >> n;)
            w.push_back(n);
        return w;
    };
    const char* general =
        "Env0 While For ListLength List GetURL Parse ?xml ?qv OpenInterpreter CloseInterpreter "
        "Remote Local LocalEval CurrentEnvironment Eval If Sequence Next GetIid Switch "
        "WaitInterpreter GetElement GE ErrHandler Error Lambda Define DefineDefault "
        "NewEnvironment GetParentEnvironment SetParentEnvironment CutOut Append Print PrintStd "
        "openPrintStd closePrintStd PrintChain CutString StringLength GetChar SetChar MakeElement "
        "GetAttribute GetSymbolCore ConvertUnit GetPrefixMode Get OpenSession CloseSession "
        "RemoteSession GetLocalHostName GetLocalHostIP SetLocalHostName GetQVTime ComposePath "
        "ComposeURL Trunc Leaf Directory Prefix SetResultFormat DeleteDefine DeleteDefaultDefine "
        "MoveDefine Cast TypeOf DivideString Sort ListEval NewEnvPair NaturalJoin Projection EE "
        "ReplaceString Reverse MemoryStatistics Sleep IfDef EA SetEA GetProperCode GetVersion "
        "GetSize URLStringCode DecodeURLString SetAttribute GetTag RegCmp RegSwitch Word2String "
        "Categorize V2H h2v GetType SetUnit GetUnit GetProxy GetNativeProxy UnitSystem "
        "GetMainInterpreter GetQVIinfo IgnoreDelay Let Thread DelayAppend KillThread GetCwd UTime "
        "Rm Mv Mkdir Touch FormatEval GetListbaseEnv SetListbaseEnv DefineEval DE LaunchWWW";
    const char* privileged =
        "Env1 Exit Arg SetArg GetArg ArgOption SetMainInterpreter GetVariable Launch Load Save "
        "Shell Export SetPrefixMode SetThisAgentName SetDatabasePath SetDirectory GetQVpathpair "
        "Rule SetLogPath GetCPUStatus FindFile Test SetScriptPath SetProxy SetNativeProxy Chdir "
        "SessionEnvironment";
    EXPECT_EQ(words(general).size(), 120u);
    EXPECT_EQ(words(privileged).size(), 28u);
    for (const std::string& name : words(general))
        EXPECT_NE(here(e0, name.c_str()), nullptr) << name;
    for (const std::string& name : words(privileged)) {
        EXPECT_NE(here(e1, name.c_str()), nullptr) << name;
        EXPECT_EQ(lookup(e0, name.c_str()), nullptr) << name;
    }
    // The registration data of control flow, definitions, evaluation and strings; a keyword
    // environment "loop" is that of While and For, holding Break and Continue alone.
    struct Row {
        const char* name;
        int env;
        int order;
        int min;
        int max;
        bool loop;
    } rows[] = {{"While", 0, FUNC_NORMAL, 3, 3, true},
                {"For", 0, FUNC_NORMAL, 2, -1, true},
                {"If", 0, FUNC_NORMAL, 3, 4, false},
                {"Switch", 0, FUNC_NORMAL, 2, -1, false},
                {"RegSwitch", 0, FUNC_NORMAL, 2, -1, false},
                {"Sequence", 0, FUNC_NORMAL, 2, -1, false},
                {"Test", 1, FUNC_APPLICATIVE, 1, 1, false},
                {"Define", 0, FUNC_NORMAL, 3, 5, false},
                {"DefineDefault", 0, FUNC_NORMAL, 2, 4, false},
                {"DefineEval", 0, FUNC_NORMAL, 4, 4, false},
                {"DE", 0, FUNC_NORMAL, 4, 4, false},
                {"Lambda", 0, FUNC_NORMAL, 3, 4, false},
                {"DeleteDefine", 0, FUNC_APPLICATIVE, 2, 2, false},
                {"DeleteDefaultDefine", 0, FUNC_APPLICATIVE, 1, 1, false},
                {"MoveDefine", 0, FUNC_NORMAL, 4, 4, false},
                {"NewEnvironment", 0, FUNC_APPLICATIVE, 2, 2, false},
                {"NewEnvPair", 0, FUNC_APPLICATIVE, 3, 3, false},
                {"CurrentEnvironment", 0, FUNC_APPLICATIVE, 1, 1, false},
                {"GetParentEnvironment", 0, FUNC_APPLICATIVE, 2, 2, false},
                {"SetParentEnvironment", 0, FUNC_APPLICATIVE, 3, 3, false},
                {"GetListbaseEnv", 0, FUNC_APPLICATIVE, 2, 2, false},
                {"SetListbaseEnv", 0, FUNC_APPLICATIVE, 2, 3, false},
                {"EA", 0, FUNC_APPLICATIVE, 3, 4, false},
                {"SetEA", 0, FUNC_APPLICATIVE, 4, 4, false},
                {"Let", 0, FUNC_NORMAL, 1, -1, false},
                {"Local", 0, FUNC_NORMAL, 2, -1, false},
                {"Eval", 0, FUNC_APPLICATIVE, 3, 3, false},
                {"EE", 0, FUNC_NORMAL, 1, -1, false},
                {"ListEval", 0, FUNC_APPLICATIVE, 3, -1, false},
                {"FormatEval", 0, FUNC_APPLICATIVE, 3, -1, false},
                {"ErrHandler", 0, FUNC_NORMAL, 2, 2, false},
                {"Error", 0, FUNC_APPLICATIVE, 3, 3, false},
                {"IfDef", 0, FUNC_NORMAL, 3, 3, false},
                {"IgnoreDelay", 0, FUNC_NORMAL, 2, 3, false},
                {"CutString", 0, FUNC_APPLICATIVE, 4, 4, false},
                {"StringLength", 0, FUNC_APPLICATIVE, 2, 2, false},
                {"GetChar", 0, FUNC_APPLICATIVE, 3, 3, false},
                {"SetChar", 0, FUNC_APPLICATIVE, 2, 2, false},
                {"DivideString", 0, FUNC_APPLICATIVE, 3, 3, false},
                {"ReplaceString", 0, FUNC_APPLICATIVE, 4, 4, false},
                {"RegCmp", 0, FUNC_APPLICATIVE, 2, 2, false},
                {"Word2String", 0, FUNC_APPLICATIVE, 2, 2, false}};
    QVISP_ENV* loop = nullptr;
    for (const Row& r : rows) {
        QV_SEXP* f = here(r.env ? e1 : e0, r.name);
        ASSERT_EQ(get_type(f), QVT_FUNC) << r.name;
        EXPECT_EQ(f->func.type, FUNC_PRIM) << r.name;
        EXPECT_EQ(f->func.order, r.order) << r.name;
        EXPECT_EQ(f->func.min, r.min) << r.name;
        EXPECT_EQ(f->func.max, r.max) << r.name;
        if (!r.loop) {
            EXPECT_EQ(f->func.args_env, nullptr) << r.name;
            continue;
        }
        ASSERT_NE(f->func.args_env, nullptr) << r.name;
        if (!loop) loop = f->func.args_env;
        EXPECT_EQ(f->func.args_env, loop) << r.name;
    }
    ASSERT_NE(loop, nullptr);
    EXPECT_EQ(loop->env.parent, nullptr);
    const Row exits[] = {{"Break", 0, FUNC_APPLICATIVE, 1, 2, false},
                         {"Continue", 0, FUNC_APPLICATIVE, 1, 1, false}};
    for (const Row& r : exits) {
        QV_SEXP* f = here(loop, r.name);
        ASSERT_EQ(get_type(f), QVT_FUNC) << r.name;
        EXPECT_EQ(f->func.order, r.order) << r.name;
        EXPECT_EQ(f->func.min, r.min) << r.name;
        EXPECT_EQ(f->func.max, r.max) << r.name;
        EXPECT_EQ(lookup(e1, r.name), nullptr) << r.name;  // bound nowhere else
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
