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
#include "lisp/collect.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "server/runtime.h"
#include "server_util.h"
#include "support/stdout_text.h"

namespace {

std::atomic<int> logins{0};
std::string client_seen;
std::string agent_seen;  // the name of the last log-in
std::atomic<int> version_asks{0};

// The log-in the remote side answers: counts it and keeps the "client" attribute.
QV_SEXP* set_agent(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    logins++;
    for (QV_SYM_FIELD* f = attr; f; f = f->next)
        if (std::string(n_string(std_cm, f->name)) == "client")
            client_seen = n_string(std_cm, f->data);
    QV_SEXP* name = get_el(form, 1);
    if (get_type(name) == QVT_STRING) agent_seen = n_string(std_cm, name->string.data);
    return name;
}

// The remote side's version records: one layer "lay"; any other is an error.
QV_SEXP* get_version(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    version_asks++;
    for (QV_SYM_FIELD* f = attr; f; f = f->next)
        if (std::string(n_string(std_cm, f->name)) == "layer" &&
            std::string(n_string(std_cm, f->data)) == "lay")
            return list(n_get_string("lay"), n_get_string("nm"), n_get_string("pub"),
                        n_get_string("1.2"), n_get_string("2026-12-8"), nullptr);
    return get_error(form->h.file, form->h.line, 0x80040501, l_string(std_cm, "GetVersion"),
                     nullptr);
}

struct Server {
    Listener l{true};
    Server() {
        run_task([] {
            set_env(vxlisp_top_env1, l_string(std_cm, "SetAgent"),
                    get_func_prim(set_agent, FUNC_APPLICATIVE, nullptr, 3, 3));
            set_env(vxlisp_top_env1, l_string(std_cm, "GetVersion"),
                    get_func_prim(get_version, FUNC_APPLICATIVE, nullptr, 1, 1));
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
    // Setting the message answers the new text and replaces the old one.
    std::string kept = get_setagent_msg();
    EXPECT_STREQ(set_setagent_msg("probe/1"), "probe/1");
    EXPECT_STREQ(get_setagent_msg(), "probe/1");
    EXPECT_STREQ(set_setagent_msg(kept.c_str()), kept.c_str());
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

// A session that code without privilege opened is closed, at the next opening, once its owner
// has gone: nobody else may use it. One of privileged code, or of an owner still there, stays.
TEST(Session, ASessionWithoutPrivilegeEndsWithItsOwner) {
    Listener live(true);
    ASSERT_GT(live.id, 0);
    const uint32_t gone = 0x7ffffff0;  // names no interpreter
    ASSERT_NE(check_iid(gone), 1);
    int kept = open_session_for(1, gone, false);
    int owned = open_session_for(1, static_cast<uint32_t>(live.id), true);
    int orphan = open_session_for(1, gone, true);
    EXPECT_TRUE(session_owned_by(orphan, gone));
    int next = open_session(1);
    EXPECT_FALSE(session_owned_by(orphan, gone));
    EXPECT_TRUE(session_owned_by(kept, gone));
    EXPECT_TRUE(session_owned_by(owned, static_cast<uint32_t>(live.id)));
    for (int id : {kept, owned, next})
        close_session(id);
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

// A session attached to a server takes a relative path there against its working path (bound
// as SessionPath); on another server the path must be absolute ("invalid URL path 2"), and an
// absolute one attaches the session there.
TEST(Session, PathsAreRelativeOnTheAttachedServerAndAbsoluteOnAnother) {
    Server a, b;
    ASSERT_GT(a.l.id, 0);
    ASSERT_GT(b.l.id, 0);
    int id = open_session(1);
    struct Step {
        int port;
        const char* db;
        const char* answer;  // a part of the printed answer
        const char* path;    // SessionPath afterwards
    } steps[] = {
        {a.l.port, "/top/", "1", "/top/"},
        {a.l.port, "sub/", "1", "/top/sub/"},
        {b.l.port, "rel/", "(\"invalid URL path 2\" \"qvp://127.0.0.1:", "/top/sub/"},
        {b.l.port, "/abs/", "1", "/abs/"},
        {a.l.port, "x/", "(\"invalid URL path 2\"", "/abs/"},
    };
    for (const Step& st : steps) {
        std::string v, path;
        Caller c([&] {
            URL u;
            zero_url(&u);
            u.proto = l_string(std_cm, "qvp");
            u.server = l_string(std_cm, "127.0.0.1");
            u.port = st.port;
            u.db = l_string(std_cm, st.db);
            QV_SEXP* r =
                remote_session(vxlisp_top_env1, id, &u, l_string(std_cm, "x"), nullptr, nullptr,
                               list(read_qv_item("1"), nullptr), nullptr, 0, 1, nullptr);
            v = print_sexp_text(realize_sexp(r), 0);
            path = print_sexp_text(
                get_env_symbol(vxlisp_top_env1, l_string(std_cm, "SessionPath"), -1), 0);
        });
        ASSERT_TRUE(c.finished());
        EXPECT_NE(v.find(st.answer), std::string::npos) << st.db << " " << v;
        EXPECT_EQ(path, std::string("^\"") + st.path + "\"") << st.db;
    }
    close_session(id);
    EXPECT_TRUE(no_servers_left());
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

// A replacement rule sends the requests whose URL text it matches (a beginning and an end) to
// its agent instead of the one they name, until it is deleted.
TEST(Session, ReplacementRulesNameTheAgent) {
    Server s;
    ASSERT_GT(s.l.id, 0);
    int id = open_session(1);
    L_CHAR* url = _l_string_1(std_cm, s.url().c_str());
    L_CHAR* end = l_string(std_cm, "/");
    std::string v, first, replaced, back;
    Caller c([&] {
        v = run(id, s.url(), "a1", "(+ 1 2)");
        first = agent_seen;
        EXPECT_EQ(replace_agent(url, end, l_string(std_cm, "a2")), 0);
        EXPECT_EQ(replace_agent(url, end, l_string(std_cm, "a3")), -1);  // one rule per place
        v += run(id, s.url(), "a1", "(+ 3 4)");
        replaced = agent_seen;
        // A rule whose end does not match leaves the request alone.
        EXPECT_EQ(replace_agent(url, l_string(std_cm, ".mx"), l_string(std_cm, "a4")), 0);
        EXPECT_EQ(delete_replace_agent(url, end), 0);
        EXPECT_EQ(delete_replace_agent(url, end), -1);
        v += run(id, s.url(), "a5", "(+ 5 6)");
        back = agent_seen;
        EXPECT_EQ(delete_replace_agent(url, l_string(std_cm, ".mx")), 0);
    });
    ASSERT_TRUE(c.finished());
    EXPECT_EQ(v, "3711");
    EXPECT_EQ(first, "a1");
    EXPECT_EQ(replaced, "a2");
    EXPECT_EQ(back, "a5");
    close_session(id);
    EXPECT_TRUE(no_servers_left());
}

// A remote version record is asked for once per place and layer and kept; a layer the remote
// side does not know, and a protocol without version records, give none.
TEST(Session, RemoteVersionRecordsAreAskedOnceAndKept) {
    Server s;
    ASSERT_GT(s.l.id, 0);
    int id = open_session(1);
    URL u, h;
    get_url2(&u, _l_string_1(std_cm, (s.url() + "@ver/").c_str()));
    get_url2(&h,
             _l_string_1(std_cm, ("http://127.0.0.1:" + std::to_string(s.l.port) + "/").c_str()));
    VERSION *a = nullptr, *b = nullptr, *none = nullptr, *web = nullptr;
    int asks = 0;
    Caller c([&] {
        a = get_remote_version(id, &u, "lay");
        asks = version_asks;
        b = get_remote_version(id, &u, "lay");
        none = get_remote_version(id, &u, "other");
        web = get_remote_version(id, &h, "lay");
    });
    ASSERT_TRUE(c.finished());
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->layer, "lay");
    EXPECT_STREQ(a->name, "nm");
    EXPECT_STREQ(a->publisher, "pub");
    EXPECT_STREQ(a->version, "1.2");
    EXPECT_EQ(a->year, 2026);
    EXPECT_EQ(a->month, 12);
    EXPECT_EQ(a->date, 8);
    EXPECT_EQ(b, a);
    EXPECT_EQ(version_asks, asks + 1);  // only the unknown layer was asked again
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(web, nullptr);
    free_url(&u);
    free_url(&h);
    close_session(id);
    EXPECT_TRUE(no_servers_left());
}

// A session's deferred answer given up is not sent again: it ends with the dead connection's
// error instead of the answer. A value that is no session answer is refused.
TEST(Session, AGivenUpAnswerIsNotSentAgain) {
    Server s;
    ASSERT_GT(s.l.id, 0);
    int id = open_session(1);
    std::string v;
    int aborted = 0, other = 0;
    vxtest::StdoutText out;
    Caller c([&] {
        URL u;
        get_url2(&u, _l_string_1(std_cm, s.url().c_str()));
        QV_SEXP* d = remote_session(vxlisp_top_env1, id, &u, l_string(std_cm, "slow"), nullptr,
                                    nullptr, list(read_qv_item("(Sequence (wait 1) 5)"), nullptr),
                                    nullptr, 0, 1, nullptr);
        free_url(&u);
        other = aboat_session(get_integer(1, nullptr));
        aborted = aboat_session(d);
        v = print_sexp_text(realize_sexp(d), 0);
        np_divide_p_agent(nullptr);
    });
    ASSERT_TRUE(c.finished());
    EXPECT_EQ(other, -1);
    EXPECT_EQ(aborted, 0);
    EXPECT_NE(v, "5");
    EXPECT_TRUE(v.find("0x8004051d") != std::string::npos ||
                v.find("0x80040a12") != std::string::npos)
        << v;
    EXPECT_NE(out.text().find("SESSION-1\nDIVIDE PROXY AGENT\n"), std::string::npos) << out.text();
    close_session(id);
    EXPECT_TRUE(no_servers_left());
}

// A deferred answer that nobody realises no longer holds its closed session once the collector
// finds it dropped: the session, its server record and its connection go.
TEST(Session, ADroppedDeferredAnswerLeavesItsClosedSessionFree) {
    Server s;
    ASSERT_GT(s.l.id, 0);
    int id = open_session(1);
    int before = -1;
    Caller c([&] {
        URL u;
        get_url2(&u, _l_string_1(std_cm, s.url().c_str()));
        remote_session(vxlisp_top_env1, id, &u, l_string(std_cm, "dropped"), nullptr, nullptr,
                       list(read_qv_item("(Sequence (wait 1) 5)"), nullptr), nullptr, 0, 1,
                       nullptr);
        free_url(&u);
        close_session(id);
        before = get_session_stats().sessions;
    });
    ASSERT_TRUE(c.finished());
    EXPECT_GE(before, 1);
    EXPECT_TRUE(wait_until(
        [&] {
            gc_tick_notin_tick(nullptr, 0);
            return get_session_stats().sessions == before - 1;
        },
        20000));
    EXPECT_TRUE(no_servers_left());
}

// The tick keeps the server records used most: a server a session sent many requests to stays,
// with its connection, when the session has moved on and one record must go.
TEST(Session, TheTickKeepsTheServerUsedMost) {
    Server s;
    ASSERT_GT(s.l.id, 0);
    int id = open_session(1);
    std::string v;
    auto runs = [&](const std::vector<std::pair<const char*, const char*>>& jobs) {
        Caller c([&] {
            for (auto& [host, cmd] : jobs)
                v += run(id, s.url(host), "x", cmd);
        });
        return c.finished();
    };
    std::vector<std::pair<const char*, const char*>> jobs = {{"127.0.0.2", "(+ 1 1)"}};
    for (int i = 0; i < 20; i++)
        jobs.push_back({"127.0.0.1", "1"});
    jobs.push_back({"localhost", "(+ 2 2)"});
    ASSERT_TRUE(runs(jobs));
    // Every connection's time-out has been asked (which holds its agent for a moment).
    ASSERT_TRUE(wait_until([] {
        SESSION_STATS st = get_session_stats();
        return st.timed_agents == st.connected_agents;
    }));
    session_tick(0, 0);
    int logged = logins;
    ASSERT_TRUE(runs({{"127.0.0.1", "(+ 3 3)"}}));
    EXPECT_EQ(v, "2" + std::string(20, '1') + "46");
    EXPECT_EQ(logins, logged);  // its connection was still there
    close_session(id);
    EXPECT_TRUE(no_servers_left());
}
