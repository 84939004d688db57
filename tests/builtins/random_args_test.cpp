// Random arguments of every node kind thrown at the everyday built-ins (control flow,
// definitions and environments, evaluation, strings, casts and units, lists and relations): every
// call must come back with a value or an error value, within a bounded time, without a crash. Calls
// that loop for ever by design (a While whose condition stays true) are stopped through the break
// hook.
#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <chrono>

#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "builtins/threads.h"
#include "lisp/list.h"
#include "lisp/units.h"
#include "qv_script.h"
#include "server/calllock.h"
#include "server/interp.h"

namespace {

const char* const kBuiltins[] = {
    // control flow
    "While", "For", "If", "Switch", "RegSwitch", "Sequence", "Test",
    // definitions and environments
    "Define", "DefineDefault", "DefineEval", "DE", "Lambda", "DeleteDefine", "DeleteDefaultDefine",
    "MoveDefine", "NewEnvironment", "NewEnvPair", "CurrentEnvironment", "GetParentEnvironment",
    "SetParentEnvironment", "GetListbaseEnv", "SetListbaseEnv", "EA", "SetEA", "Let", "Local",
    // evaluation
    "Eval", "EE", "ListEval", "FormatEval", "ErrHandler", "Error", "IfDef", "IgnoreDelay",
    // strings
    "CutString", "StringLength", "GetChar", "SetChar", "DivideString", "ReplaceString", "RegCmp",
    "Word2String",
    // casts, types and units
    "Cast", "TypeOf", "GetType", "GetUnit", "SetUnit", "ConvertUnit", "UnitSystem",
    // elements and attributes
    "GetElement", "GE", "MakeElement", "GetAttribute", "SetAttribute", "GetTag", "GetSymbolCore",
    "Parse", "?xml", "?qv",
    // files (in a directory of the test's own)
    // (Chdir is left out: it would move the whole process out of the test's directory.)
    "Load", "Save", "Get", "FindFile", "Directory", "ComposePath", "Leaf", "Prefix", "Trunc",
    "GetCwd", "Mkdir", "Rm", "Mv", "Touch", "UTime",
    // call locks and the lock server
    "call-lock-event", "Lock", "Unlock",
    // configuration, paths and versions
    "GetVariable", "GetVersion", "GetQVpathpair", "GetQVTime", "GetProperCode", "GetPrefixMode",
    "SetPrefixMode", "SetDatabasePath", "SetDirectory", "SetLogPath", "SetScriptPath",
    "SetThisAgentName",
    // lists and relations
    "List", "ListLength", "Append", "Next", "Reverse", "CutOut", "GetSize", "Sort", "NaturalJoin",
    "Projection", "Categorize", "V2H", "h2v",
    // the directory walk (from the test's own directory)
    "Rule",
    // threads and Sleep
    "Thread", "DelayAppend", "KillThread", "Sleep"};

// Names the random forms may use as variables: bound in the test's environment or not, never
// the name of a built-in, so a random Define or DeleteDefine cannot remove one.
const char* const kVariables[] = {"x", "s", "l", "f", "e", "nothing", "Break", "Continue"};
// ("stderr" is left out: ErrHandler ends the agent with it, by design.)
const char* const kAttributes[] = {
    "type",  "mode", "unit",  "rex",    "target", "depth", "dec",     "inherit", "encoding",
    "name",  "from", "to",    "text",   "path",   "el",    "default", "layer",   "format",
    "trace", "url",  "qvsys", "qvdocs", "lock",   "field", "sort1",   "sort2"};
const char* const kTexts[] = {"",
                              "a",
                              "abc",
                              "1",
                              "-5",
                              "0x10",
                              "1.5",
                              "m",
                              "km",
                              "ri",
                              "string",
                              "integer",
                              "floating",
                              "symbol",
                              "list",
                              "a*b",
                              "(",
                              "[",
                              "\\",
                              "new",
                              "on",
                              "xml",
                              "99999999999999999999",
                              "off",
                              "a,b",
                              "/x.qv"};

thread_local std::chrono::steady_clock::time_point call_deadline;
thread_local bool deadline_armed = false;

// Stops an evaluation of this thread once its call has run past its deadline.
QV_SEXP* deadline_break(QV_SEXP* s) {
    if (deadline_armed && std::chrono::steady_clock::now() > call_deadline)
        return eval_error(s, 0x80011404, "break", nullptr);
    return nullptr;
}

class RandomArgs : public QvScriptTest {
  protected:
    void SetUp() override {
        QvScriptTest::SetUp();
        // Files a random Save writes land in a directory of the test's own.
        char tmpl[] = "/tmp/vx_random_args_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        init_unit();       // the unit layer, as the agent's start-up brings it up
        init_call_lock();  // call-lock-event, Lock and Unlock, bound by the server layer's start-up
        init_interpreter_table();  // a Thread runs under an internal interpreter of its own
        set_sleep_step_ms(5);      // a random Sleep meets the call's deadline within milliseconds
        saved_ = break_check.exchange(deadline_break);
        bind("x", get_integer(1, nullptr));
        bind("s", n_get_string("text"));
        bind("l", list(get_integer(1, nullptr), n_get_string("b"), nullptr));
        bind("e", get_env(new_env(env_)));
        bind("f", lookup("Sequence"));
    }
    void TearDown() override {
        break_check.store(saved_);
        // Random threads end before the next test (their results were all printed).
        for (int i = 0; i < 3000 && live_thread_count() > 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(live_thread_count(), 0);
        set_sleep_step_ms(0);
        EXPECT_EQ(chdir(cwd_), 0);
        std::filesystem::remove_all(dir_);
        QvScriptTest::TearDown();
    }

    const char* pick(const char* const* v, size_t n) { return v[rng_() % n]; }
    template <size_t N>
    const char* pick(const char* const (&v)[N]) {
        return pick(v, N);
    }

    QV_SEXP* text(const char* t) { return n_get_string(t); }

    // A random node; lists nest at most `depth` deep.
    QV_SEXP* node(int depth) {
        switch (rng_() % (depth > 0 ? 13 : 11)) {
            case 0:
                return nullptr;
            case 1:
                return get_error(nullptr, 0, 0x80040503, L("random"), nullptr);
            case 2: {
                QV_SEXP* sym = n_get_symbol(pick(kVariables));
                if (rng_() % 3 == 0) set_attribute(sym, L(pick(kAttributes)), L(pick(kTexts)));
                return sym;
            }
            case 3:
                return text(pick(kTexts));
            case 4: {
                const int64_t v[] = {0,
                                     1,
                                     -1,
                                     2,
                                     7,
                                     1000000,
                                     std::numeric_limits<int64_t>::max(),
                                     std::numeric_limits<int64_t>::min()};
                return get_integer(v[rng_() % 8], rng_() % 4 == 0 ? L(pick(kTexts)) : nullptr);
            }
            case 5: {
                const double v[] = {0.0,
                                    -0.0,
                                    0.5,
                                    -3.25,
                                    1e300,
                                    std::numeric_limits<double>::infinity(),
                                    std::numeric_limits<double>::quiet_NaN()};
                return get_floating(v[rng_() % 7], rng_() % 4 == 0 ? L("m") : nullptr);
            }
            case 6:
                return lookup("Sequence");  // a function value
            case 7:
                return get_raw("\x00\x01\xff", 3);
            case 8:
                return get_env(new_env(env_));
            case 9: {
                // A long text: string built-ins must stay linear on it.
                std::string t(20000, 'a');
                t[rng_() % t.size()] = 'b';
                return n_get_string(t.c_str());
            }
            case 10:
                return n_get_symbol("f");  // bound to a function
            default: {
                int n = static_cast<int>(rng_() % 4);
                QV_SEXP* l = nullptr;
                for (int i = 0; i < n; i++)
                    l = cons(node(depth - 1), l);
                return l;
            }
        }
    }

    // (Name:attr=value arg ...) with 0 to 5 random arguments.
    QV_SEXP* form(const char* name) {
        QV_SEXP* head = n_get_symbol(name);
        int attrs = static_cast<int>(rng_() % 3);
        for (int i = 0; i < attrs; i++)
            set_attribute(head, L(pick(kAttributes)), L(pick(kTexts)));
        int n = static_cast<int>(rng_() % 6);
        QV_SEXP* args = nullptr;
        for (int i = 0; i < n; i++)
            args = cons(node(2), args);
        return cons(head, args);
    }

    std::mt19937_64 rng_{20261207};
    std::string dir_;
    char cwd_[4096] = {};
    BREAK_CHECK_FUNC saved_ = nullptr;
};

TEST_F(RandomArgs, EveryCallEndsWithAValueOrAnErrorValue) {
    // Asks every evaluating thread to consult the break hook often, so an overdue call stops
    // within milliseconds.
    struct Nudger {
        std::atomic<bool> done{false};
        std::thread t{[this] {
            while (!done) {
                request_break_check();
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }};
        ~Nudger() {
            done = true;
            t.join();
        }
    } nudger;
    for (const char* name : kBuiltins)
        ASSERT_EQ(get_type(lookup(name)), QVT_FUNC) << name << " is not bound";
    for (const char* name : kBuiltins) {
        for (int i = 0; i < 300; i++) {
            gc_push(nullptr, nullptr, "random call");
            QV_SEXP* f = form(name);
            std::string shown = show(f);
            call_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
            deadline_armed = true;
            if (getenv("RANDOM_ARGS_TRACE")) fprintf(stderr, "%s\n", shown.c_str());
            QV_SEXP* r = eval(env_, f);
            deadline_armed = false;
            int t = get_type(r);
            EXPECT_TRUE(t >= QVT_NIL && t < QVT_COUNT) << shown;
            (void)show(r);  // the result prints
            gc_pop(nullptr, nullptr);
            if (i % 100 == 99) collect();
        }
    }
}

}  // namespace
