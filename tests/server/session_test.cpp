// Sessions inside one process: a listener of the test process plays the remote server, its
// connections log in through a SetAgent primitive the test binds. Several tasks share the one
// connection of an agent; the tick frees server records nobody uses and closes their
// connections; a closed session with a deferred answer pending stays until the answer arrives.
#include "server/session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/url.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "server/runtime.h"
#include "server_util.h"

namespace {

std::atomic<int> logins{0};
std::string client_seen;

// The log-in the remote side answers: counts it and keeps the "client" attribute.
QV_SEXP* set_agent(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    logins++;
    for (QV_SYM_FIELD* f = attr; f; f = f->next)
        if (std::string(n_string(std_cm, f->name)) == "client")
            client_seen = n_string(std_cm, f->data);
    return get_el(form, 1);
}

struct Server {
    Listener l{true};
    Server() {
        run_task([] {
            set_env(vxlisp_top_env1, l_string(std_cm, "SetAgent"),
                    get_func_prim(set_agent, FUNC_APPLICATIVE, nullptr, 3, 3));
        });
    }
    std::string url(const char* host = "127.0.0.1") const {
        return std::string("qvp://") + host + ":" + std::to_string(l.port) + "/";
    }
};

// One command list sent to agent on the URL through session id; the printed answer.
std::string run(int id, const std::string& url, const char* agent, const char* cmd) {
    URL u;
    get_url2(&u, _l_string_1(std_cm, url.c_str()));
    QV_SEXP* v = remote_session(vxlisp_top_env1, id, &u, agent ? l_string(std_cm, agent) : nullptr,
                                nullptr, l_string(std_cm, "Get"), list(read_qv_item(cmd), nullptr),
                                nullptr, 0, 1, nullptr);
    free_url(&u);
    get_type(v);
    return print_sexp_text(v, 0);
}

// Ticks until no server record is left (the records of earlier tests included).
bool no_servers_left() {
    return wait_until(
        [] {
            session_tick(0, 0);
            return get_session_stats().servers == 0;
        },
        20000);
}

}  // namespace

TEST(Session, TasksShareOneLoggedInConnectionPerAgent) {
    Server s;
    ASSERT_GT(s.l.id, 0);
    int id = open_session(1);
    int before = logins;
    constexpr int kTasks = 6, kJobs = 15;
    std::atomic<int> right{0};
    std::vector<std::unique_ptr<Caller>> callers;
    for (int t = 0; t < kTasks; t++)
        callers.push_back(std::make_unique<Caller>([&, t] {
            for (int i = 0; i < kJobs; i++) {
                std::string cmd = "(+ " + std::to_string(t * 1000) + " " + std::to_string(i) + ")";
                if (run(id, s.url(), "shared", cmd.c_str()) == std::to_string(t * 1000 + i))
                    right++;
            }
        }));
    for (auto& c : callers)
        ASSERT_TRUE(c->finished());
    EXPECT_EQ(right, kTasks * kJobs);
    // One connection for the agent, logged in once, with this agent's name.
    EXPECT_EQ(logins - before, 1);
    EXPECT_EQ(client_seen, get_setagent_msg());
    EXPECT_EQ(get_session_stats().connected_agents, 1);
    // Another agent of the same server gets a connection of its own.
    std::string v;
    ASSERT_TRUE(run_task([&] {
        Caller c([&] { v = run(id, s.url(), "other#2", "(* 6 7)"); });
        c.finished();
    }));
    EXPECT_EQ(v, "42");
    EXPECT_EQ(logins - before, 2);
    close_session(id);
    EXPECT_TRUE(no_servers_left());
    EXPECT_EQ(get_session_stats().connected_agents, 0);
}

TEST(Session, TheTickFreesServersNobodyUsesAndTheirConnections) {
    Server s;
    ASSERT_GT(s.l.id, 0);
    int a = open_session(1);
    int b = open_session(1);
    std::string va, vb;
    Caller c([&] {
        va = run(a, s.url("127.0.0.1"), "x", "(+ 1 1)");
        vb = run(b, s.url("localhost"), "x", "(+ 2 2)");
    });
    ASSERT_TRUE(c.finished());
    EXPECT_EQ(va, "2");
    EXPECT_EQ(vb, "4");
    // Two server records, each with its agent's connection, while their sessions are open.
    session_tick(0, 0);
    EXPECT_GE(get_session_stats().servers, 2);
    close_session(a);
    close_session(b);
    EXPECT_TRUE(no_servers_left());
    EXPECT_EQ(get_session_stats().connected_agents, 0);
}

TEST(Session, AClosedSessionWaitsForItsDeferredAnswer) {
    Server s;
    ASSERT_GT(s.l.id, 0);
    int id = open_session(1);
    int during = -1, after = -1;
    EXPECT_EQ(set_initial_sexp(999999, vxlisp_top_env1, nullptr), -1);
    std::string v;
    Counter closed;
    Caller c([&] {
        URL u;
        get_url2(&u, _l_string_1(std_cm, s.url().c_str()));
        QV_SEXP* d = remote_session(vxlisp_top_env1, id, &u, l_string(std_cm, "slow"), nullptr,
                                    nullptr, list(read_qv_item("(Sequence (wait 1) 5)"), nullptr),
                                    nullptr, 0, 1, nullptr);
        free_url(&u);
        // Closed while the answer is on its way: the session stays until it arrives.
        close_session(id);
        during = get_session_stats().sessions;
        closed.add();
        v = print_sexp_text(realize_sexp(d), 0);
        after = get_session_stats().sessions;
    });
    ASSERT_TRUE(closed.wait_for(1));
    ASSERT_TRUE(c.finished());
    EXPECT_EQ(v, "5");
    EXPECT_GE(during, 1);
    EXPECT_EQ(after, during - 1);
    EXPECT_TRUE(no_servers_left());
}
