// The argument built-ins: script arguments after the first "/", options, replacement of the list.
#include "builtins/arg.h"

#include <cstdint>
#include <string>
#include <vector>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/lisp_util.h"
#include "lisp/list.h"

namespace {

class ArgTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        env_ = new_env(nullptr);
        init_Arg(env_);
        set_env(env_, L("q"), get_func_prim(quote_prim, FUNC_NORMAL, nullptr, 2, 2));
    }
    static QV_SEXP* quote_prim(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
        return get_el(form, 1);
    }
    // (q v): v unevaluated.
    static QV_SEXP* Q(QV_SEXP* v) { return cons(n_get_symbol("q"), cons(v, nullptr)); }
    void set(std::vector<const char*> args) {
        std::vector<char*> v;
        for (const char* a : args)
            v.push_back(const_cast<char*>(a));
        v.push_back(nullptr);
        init_sh_arg(static_cast<int>(args.size()), v.data());
    }
    // Evaluates (head [attr=value] args...) in the test environment.
    QV_SEXP* call(const char* head, std::vector<QV_SEXP*> args, const char* attr = nullptr,
                  const char* value = nullptr) {
        QV_SEXP* sym = n_get_symbol(head);
        if (attr) sym = set_attribute(sym, _l_string_1(std_cm, attr), _l_string_1(std_cm, value));
        QV_SEXP* rest = nullptr;
        for (size_t i = args.size(); i > 0; i--)
            rest = cons(args[i - 1], rest);
        return eval(env_, cons(sym, rest));
    }
    static std::string str(QV_SEXP* s) {
        if (get_type(s) == QVT_STRING) return A(s->string.data);
        if (get_type(s) == QVT_INTEGER) return std::to_string(s->integer.data);
        if (get_type(s) == QVT_ERROR) {
            char buf[32];
            snprintf(buf, sizeof buf, "E%x", s->error.code);
            std::string d =
                get_type(s->error.data) == QVT_STRING ? A(s->error.data->string.data) : "";
            return std::string(buf) + ":" + A(s->error.func) + ":" + d;
        }
        return "?";
    }
    static std::string strs(QV_SEXP* l) {
        std::string r;
        for (; get_type(l) == QVT_PAIR; l = l->pair.cdr)
            r += "[" + str(l->pair.car) + "]";
        return r;
    }
    QVISP_ENV* env_ = nullptr;
};

QV_SEXP* I(long long v) {
    return get_integer(v, nullptr);
}

TEST_F(ArgTest, PositionsAfterTheSlash) {
    set({"prog", "script", "/", "a", "b"});
    EXPECT_EQ(str(call("Arg", {})), "3");
    EXPECT_EQ(str(call("Arg", {I(1)})), "a");
    EXPECT_EQ(str(call("Arg", {get_floating(2.9, nullptr)})), "b");
    EXPECT_EQ(str(call("Arg", {I(0)})), "/");
    EXPECT_EQ(str(call("Arg", {I(3)})), "E80030502:Arg:shell argments length over");
    EXPECT_EQ(str(call("Arg", {I(-3)})), "E80030502:Arg:shell argments length over");
    EXPECT_EQ(str(call("Arg", {I(-2)})), "prog");  // a negative n reaches before the "/"
    EXPECT_EQ(str(call("Arg", {n_get_string("1")})), "E80030806:Arg:");
    // The form's length is checked before the call.
    EXPECT_EQ(call("Arg", {I(1), I(2)})->error.code, QVE_PARAM_LENGTH);
}

TEST_F(ArgTest, IndexAtTheEndsOfTheRange) {
    set({"prog", "script", "/", "a", "b"});
    const char over[] = "E80030502:Arg:shell argments length over";
    for (int64_t n : {INT64_MAX, INT64_MAX - 1, INT64_MIN, INT64_MIN + 1})
        EXPECT_EQ(str(call("Arg", {I(n)})), over) << n;
    for (double d : {9.3e18, -9.3e18, 1e300, -1e300})
        EXPECT_EQ(str(call("Arg", {get_floating(d, nullptr)})), over) << d;
}

TEST_F(ArgTest, WithoutSlash) {
    set({"prog", "script", "out"});
    EXPECT_EQ(str(call("Arg", {})), "0");
    EXPECT_EQ(str(call("Arg", {I(1)})), "E80030502:Arg:shell argments length over");
    EXPECT_EQ(call("GetArg", {}, "v-offset", "on"), nullptr);
    EXPECT_EQ(strs(call("GetArg", {})), "[prog][script][out]");
    EXPECT_EQ(strs(call("GetArg", {}, "v-offset", "off")), "[prog][script][out]");
}

TEST_F(ArgTest, Options) {
    set({"prog", "mode=slow", "/", "modex=1", "mode=fast", "mode=last"});
    EXPECT_EQ(str(call("ArgOption", {}, "name", "mode")), "fast");
    EXPECT_EQ(str(call("ArgOption", {n_get_string("dflt")}, "name", "level")), "dflt");
    EXPECT_EQ(str(call("ArgOption", {}, "name", "level")),
              "E80040501:ArgOption:no option that name");
    EXPECT_EQ(str(call("ArgOption", {})),
              "E80040503:ArgOption:invalid parameter(Attribute option required)");
    EXPECT_EQ(strs(call("GetArg", {}, "v-offset", "on")), "[modex=1][mode=fast][mode=last]");
}

TEST_F(ArgTest, SetArgReplacesTheList) {
    set({"prog", "/", "old"});
    EXPECT_EQ(call("SetArg",
                   {Q(n_get_symbol("x")), n_get_string("/"), I(10), get_floating(1.5, nullptr)}),
              nullptr);
    EXPECT_EQ(strs(call("GetArg", {})), "[x][/][10][1.5000000000000000]");
    EXPECT_EQ(str(call("Arg", {I(1)})), "10");
    EXPECT_EQ(str(call("Arg", {})), "3");
    // Units follow the number; other kinds become InvalidType.
    call("SetArg", {get_integer(5, L("km")), get_floating(0.25, L("m")), get_raw("ab", 2)});
    EXPECT_EQ(strs(call("GetArg", {})), "[5km][0.2500000000000000m][InvalidType]");
    // With list="on" the first argument is the list; an empty one leaves no arguments.
    call("SetArg", {Q(list(n_get_string("p"), n_get_string("/"), n_get_string("z"), nullptr))},
         "list", "on");
    EXPECT_EQ(str(call("Arg", {I(1)})), "z");
    call("SetArg", {nullptr}, "list", "on");
    EXPECT_EQ(call("GetArg", {}), nullptr);
    EXPECT_EQ(str(call("Arg", {I(1)})), "E80010507:Arg:shell argments initializing is required");
}

TEST_F(ArgTest, SetArgFromSeveralThreads) {
    // Readers never see a list being replaced (run under the sanitizers).
    set({"prog", "/", "a"});
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++)
        ts.emplace_back([t] {
            for (int i = 0; i < 200; i++) {
                std::vector<char*> v = {const_cast<char*>("p"), const_cast<char*>("/"),
                                        const_cast<char*>(t % 2 ? "odd" : "even"), nullptr};
                if (t < 2)
                    init_sh_arg(3, v.data());
                else
                    set_arg(3, v.data(), 1);
            }
        });
    for (auto& t : ts)
        t.join();
    std::string a = str(call("Arg", {I(1)}));
    EXPECT_TRUE(a == "odd" || a == "even") << a;
}

}  // namespace
