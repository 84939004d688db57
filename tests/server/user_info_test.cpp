// The user-information relay, the lock function and command logging, from outside: an agent whose
// main interpreter is made a connection relays GetUserInfo up to that connection's peer and puts
// its own address in front of the checked answer; the lock function holds a connection's input
// until the command named by it is answered; command logging logs each command with its peer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "base/task.h"
#include "builtins/bltn_util.h"
#include "lisp/heap.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"
#include "server/lockfunc.h"
#include "server/log.h"
#include "server/logcond.h"
#include "server/protocol.h"
#include "server/userinfo.h"
#include "server_util.h"
#include "support/lstr.h"
#include "support/sync_util.h"
#include "vxmx_run.h"

namespace {

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// A client that makes its connection the agent's main interpreter and then answers what the agent
// relays to it, with the line number the agent wrote the query on (the agent's output counts its
// lines from 1, and the greeting takes three).
struct Upstream : LineClient {
    size_t lines_before = 4;  // the line the first text in `got` starts on
    explicit Upstream(int port) : LineClient(port) {}
    // The next reply, its lines counted.
    std::string reply() {
        std::string r = answer();
        lines_before += std::count(r.begin(), r.end(), '\n');
        return r;
    }
    // Waits for the query (GetUserInfo "" "" "" "kind") and answers it with `value`: false when
    // it did not come within 15 s.
    bool answer_query(const std::string& kind, const std::string& value) {
        std::string q = "(GetUserInfo \"\" \"\" \"\" \"" + kind + "\")\n";
        read_fd_until(fd, &got, q);
        size_t at = got.find(q);
        if (at == std::string::npos) return false;
        size_t line = lines_before + std::count(got.begin(), got.begin() + at, '\n');
        lines_before = line + 1;
        got.erase(0, at + q.size());
        send("<Result> " + std::to_string(line) + " " + value + "</Result>\n");
        return true;
    }
};

// (TestUserIp): this process's get_user_ip, for a peer's command.
QV_SEXP* test_user_ip(QVISP_ENV* env, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return get_user_ip(env);
}

// The interpreter evaluating (LfHold) and (LfBlock), whether its input was held with nothing
// queued behind the command, and the release of (LfBlock).
std::atomic<int> lf_iid{0};
std::atomic<int> lf_held{0};
std::atomic<bool> lf_release{false};
constexpr uint32_t kQueued = 1u << 31;  // beside the flags: a command is queued

uint32_t flags_of(int iid) {
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* q = _search_qvi_id(static_cast<uint32_t>(iid));
    return q ? static_cast<uint32_t>(q->flags) | (q->fifo_head ? kQueued : 0) : 0;
}

// Waits up to 10 s for pred.
template <class F>
bool within(F pred) {
    for (int i = 0; i < 1000; i++) {
        if (pred()) return true;
        usleep(10000);
    }
    return false;
}

// (LfHold): waits for its front thread to hold the input and notes whether anything read after
// the command was queued; (LfBlock) then waits for the test's release as well.
QV_SEXP* lf_hold(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    int iid = static_cast<int>(command_interpreter()->id);
    lf_iid = iid;
    lf_held = within([&] { return flags_of(iid) & QVIF_LF_INPUT; }) && !(flags_of(iid) & kQueued);
    if (lstr_text(form->pair.car->symbol.data) == "LfBlock")
        within([] { return lf_release.load(); });
    return get_integer(1, nullptr);
}

}  // namespace

TEST(UserInfo, RelayedUpTheChainWithThisNodesAddressInFront) {
    SharedAgent x("user_info_x");
    Upstream up(x.admin);
    ASSERT_GE(up.fd, 0);
    up.send("(SetMainInterpreter (GetIid))\n");
    EXPECT_TRUE(has(up.reply(), " ()</Result>"));
    std::string x_ip;
    {
        LineClient c(x.port);
        x_ip = std::to_string(reply_int(c.ask("(GetLocalHostIP)")));
    }

    // X connects to this process, which asks X for its user: X relays to its main interpreter and
    // puts its own address in front of the answer.
    run_task(
        [] { bind_prim(vxlisp_top_env1, "TestUserIp", test_user_ip, FUNC_APPLICATIVE, 1, 1); });
    Listener z(true);
    ASSERT_GT(z.id, 0);
    up.send(
        "(define z (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName \"127.0.0.1\") "
        "(Port " +
        std::to_string(z.port) + ")))\n(Remote z (TestUserIp))\n");
    EXPECT_EQ(up.reply(), "<Result> 3 ^z</Result>\n");
    EXPECT_TRUE(up.answer_query("ip", "(2130706433)"));
    EXPECT_TRUE(has(up.reply(), " (" + x_ip + " 2130706433)</Result>"));

    // The main interpreter's own peer is never asked back: its GetUserInfo is evaluated here.
    up.send("(GetUserInfo \"\" \"\" \"\" \"ip\")\n");
    EXPECT_TRUE(has(up.reply(), "undefined symbol"));

    // Asked where no peer can answer: a task of no interpreter is the user's own node; an
    // internal worker has nobody to ask.
    std::string own, worker;
    run_task([&] {
        gc_push(nullptr, nullptr, "user ip");
        own = print_sexp_text(get_user_ip(vxlisp_top_env0), 0);
        gc_pop(nullptr, nullptr);
    });
    Caller w([&] { worker = print_sexp_text(get_user_ip(vxlisp_top_env0), 0); });
    ASSERT_TRUE(w.finished());
    EXPECT_EQ(own, "(" + std::to_string(own_ip_host_order()) + ")");
    EXPECT_TRUE(has(worker, "0x80030604")) << worker;

    int fds = count_fds(x.child.pid);
    int from = x.next_iid();
    {
        // A peer asking X directly; answers of the wrong chain or shape are refused.
        LineClient w(x.port);
        const std::string ask = "(GetUserInfo \"\" \"\" \"\" \"ip\")";
        struct {
            const char* answer;
            const char* refusal;
        } cases[] = {{"(167772161 2130706433)", "0x80040d10"},
                     {"5", "0x80030806"},
                     {"(\"127.0.0.1\")", "0x80030806"},
                     {"()", "0x80030806"}};
        for (const auto& c : cases) {
            w.send(ask + "\n");
            EXPECT_TRUE(up.answer_query("ip", c.answer));
            std::string e = w.answer();
            EXPECT_TRUE(has(e, c.refusal)) << c.answer << ": " << e;
            EXPECT_TRUE(has(e, std::string(c.refusal) == "0x80040d10"
                                   ? "permission denied(invalid ip chain)"
                                   : "type missmatch of return value of GetUserInfo"))
                << e;
        }
        // Two at once: the second arrives while the first waits, and is relayed all the same.
        w.send(ask + "\n" + ask + "\n");
        EXPECT_TRUE(up.answer_query("ip", "(2130706433)"));
        EXPECT_TRUE(up.answer_query("ip", "(2130706433)"));
        for (int i = 0; i < 2; i++)
            EXPECT_TRUE(has(w.answer(), " (" + x_ip + " 2130706433)</Result>"));
        // Another kind of information comes back as the peer gave it.
        w.send("(GetUserInfo \"\" \"\" \"\" \"name\")\n");
        EXPECT_TRUE(up.answer_query("name", "(\"alice\")"));
        EXPECT_TRUE(has(w.answer(), " (\"alice\")</Result>"));
        // Wrong types are not relayed: evaluated here, GetUserInfo is no function.
        std::string e = w.ask("(GetUserInfo 1 2 3 4)");
        EXPECT_TRUE(has(e, "(\"eval:undefined symbol\" 3 GetUserInfo)")) << e;
        EXPECT_EQ(reply_int(w.ask("(+ 1 2)")), 3);
    }
    EXPECT_TRUE(x.interpreters_gone(from, x.next_iid() - 1, 20000));
    EXPECT_TRUE(x.settles(fds, SharedAgent::ANY_THREADS, 2, 10000));
    x.end();
}

TEST(LockFunction, HoldsTheInputUntilTheNamedCommandIsAnswered) {
    run_task([] {
        bind_prim(vxlisp_top_env1, "LfHold", lf_hold, FUNC_APPLICATIVE, 1, 1);
        bind_prim(vxlisp_top_env1, "LfBlock", lf_hold, FUNC_APPLICATIVE, 1, 1);
    });
    Listener l(true);
    ASSERT_GT(l.id, 0);
    auto arm = [](const char* name) {
        auto n = lchars(name ? name : "");
        set_lock_function(name ? n.data() : nullptr);
    };
    arm("LfHold");
    {
        LineClient c(l.port);
        c.send("(LfHold)\n(+ 1 2)\n");
        EXPECT_EQ(c.answer(), "<Result> 2 1</Result>\n");
        EXPECT_EQ(c.answer(), "<Result> 3 3</Result>\n");
        EXPECT_EQ(lf_held, 1);
    }
    // A wait given up by the time-out lets the input go on, and that connection waits no more.
    arm("LfBlock");
    {
        LineClient c(l.port);
        c.send("(LfBlock)\n(+ 1 2)\n");
        ASSERT_TRUE(within([] { return lf_iid && (flags_of(lf_iid) & QVIF_LF_INPUT); }));
        run_task([] {
            TaskLockGuard g(qvi_lock);
            timeout_lock_function(0);
        });
        EXPECT_TRUE(within([] { return flags_of(lf_iid) & kQueued; }));
        EXPECT_TRUE(flags_of(lf_iid) & QVIF_LF_TIMEOUT);
        lf_release = true;
        EXPECT_EQ(c.answer(), "<Result> 2 1</Result>\n");
        EXPECT_EQ(c.answer(), "<Result> 3 3</Result>\n");
        EXPECT_EQ(c.ask("(+ 2 2)"), "<Result> 4 4</Result>\n");
    }
    arm(nullptr);
    run_task([] {
        TaskLockGuard g(qvi_lock);
        EXPECT_EQ(_lock_function_waiters(), 0);
    });
}

TEST(CommandLog, LogsEachCommandWithItsPeerWhileOn) {
    std::string dir = make_test_dir("command_log");
    auto file = lchars(dir + "/cmd.log");
    LOG_COND* cond = new_log_cond();
    cond->op[LF_LAYER] = LOP_EQUAL;
    cond->low.w[LF_LAYER].i = LOG_LAYER_QV;
    add_log_action(cond, LOG_ACT_SAVE, file.data(), LOG_OPT_LEVEL | LOG_OPT_DATA, 0, 0);
    set_log_condition(cond);
    Listener l(true);
    ASSERT_GT(l.id, 0);
    {
        LineClient c(l.port);
        cmd_log = true;
        EXPECT_EQ(c.ask("(+ 1 2)"), "<Result> 2 3</Result>\n");
        cmd_log = false;
        EXPECT_EQ(c.ask("(+ 3 4)"), "<Result> 3 7</Result>\n");
    }
    ASSERT_TRUE(log_sync(20000));
    reset_log_condition();
    std::string text = read_file(dir + "/cmd.log");
    EXPECT_TRUE(has(text, "[MESSAGE ] 127.0.0.1 executes\n[MESSAGE ] cmd = (+ 1 2)\n")) << text;
    EXPECT_FALSE(has(text, "(+ 3 4)")) << text;
}
