// Remote queries inside one process: a pipe interpreter plays the peer (the test reads the
// commands written on its output and writes the answers to its input), and a loopback socket
// plays an agent that an outgoing connection reaches.
#include "server/remote.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "base/textutil.h"
#include "lisp/collect.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/connect.h"
#include "server/protocol.h"
#include "server_util.h"
#include "stream/streamio.h"
#include "support/collections.h"
#include "support/sync_util.h"

namespace {

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

// The answer of a query, printed ("" for none).
std::string ask(int id, const char* cmd_text, const char* cmd_str = nullptr) {
    QV_SEXP* v = remote_query(id, vxlisp_top_env1, cmd_str ? l_string(std_cm, cmd_str) : nullptr,
                              cmd_text ? read_qv_item(cmd_text) : nullptr);
    get_type(v);
    return print_sexp_text(v, 0);
}

int pending_on(int id) {
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* q = _search_qvi_id(static_cast<uint32_t>(id));
    int n = 0;
    for (QV_RESULT* r = q ? q->result_head : nullptr; r; r = r->next)
        n++;
    return n;
}

}  // namespace

TEST(Remote, AnswersAreMatchedByTheLinesTheCommandTook) {
    PipeInterp peer;
    ASSERT_TRUE(peer.open());
    std::string first, second;
    Caller a([&] { first = ask(peer.id, "(first 1)"); });
    ASSERT_TRUE(peer.read_until("(first 1)\n").size());
    Caller b([&] { second = ask(peer.id, nullptr, "(second\n 2)"); });
    peer.read_until("(second\n 2)\n");
    // Line 1 holds the first command, lines 2 and 3 the second. Answers naming no pending line,
    // or carrying no line number, are ignored; the second command is answered first, by the
    // second of its lines.
    peer.send("<Result> 9 no</Result>\n<Result> x no</Result>\n(Result)\n");
    peer.send("<Result> 3 ^\"two\"</Result>\n");
    EXPECT_TRUE(b.finished());
    EXPECT_EQ(second, "^\"two\"");
    EXPECT_FALSE(a.finished(50));
    peer.send("<Result> 1 (\"one\" 1)</Result>\n");
    EXPECT_TRUE(a.finished());
    EXPECT_EQ(first, "(\"one\" 1)");
    // A remote error comes back named "remote call", the remote fields as its data.
    std::string err;
    Caller c([&] { err = ask(peer.id, "(third)"); });
    peer.read_until("(third)\n");
    peer.send("<Result> 4 ^%E(\"far\" \"f.qv\" 7 \"car\" 0x80030806 (\"x\"))</Result>\n");
    EXPECT_TRUE(c.finished());
    EXPECT_TRUE(has(err, "\"remote call\" 0x80030806")) << err;
    EXPECT_TRUE(has(err, "(\"far\" \"f.qv\" 7 \"car\" 2147682310 (\"x\"))")) << err;
    EXPECT_EQ(cmp_round(0x7fffffff, static_cast<int>(0x80000000u)), -1);
    EXPECT_EQ(cmp_round(5, 5), 0);
    EXPECT_EQ(cmp_round(-5, 3), -1);
}

// A command several times larger than a pipe holds: its writer stays in the write until the
// test reads it, so the test can answer while the command is still being written.
namespace {

std::string big_command() {
    return "(big \"" + std::string(1 << 18, 'x') + "\")";
}

}  // namespace

TEST(Remote, AnswersArrivingWhileTheCommandIsWrittenAreMatchedByItsLines) {
    PipeInterp peer;
    ASSERT_TRUE(peer.open());
    std::string big = big_command(), v;
    Caller c([&] { v = ask(peer.id, big.c_str()); });
    ASSERT_TRUE(wait_until([&] { return pending_on(peer.id) == 1; }));
    // The command takes line 1 only: an answer naming the next line is ignored, one naming line
    // 1 is taken, both before the writer is done.
    peer.send("<Result> 2 ^\"no\"</Result>\n<Result> 1 ^\"yes\"</Result>\n");
    EXPECT_TRUE(wait_until([&] { return pending_on(peer.id) == 0; }));
    peer.read_until(big + "\n");
    EXPECT_TRUE(c.finished());
    EXPECT_EQ(v, "^\"yes\"");
}

TEST(Remote, APeerLostWhileTheCommandIsWrittenFailsTheQueryOneWay) {
    std::string big = big_command();
    // by_input: the end of the peer's input is met while the command is written, and the write
    // fails after; by_write: the write fails while the input is still open.
    std::string by_input, by_write;
    for (bool input_first : {true, false}) {
        PipeInterp peer;
        ASSERT_TRUE(peer.open());
        std::string& v = input_first ? by_input : by_write;
        Caller c([&] { v = ask(peer.id, big.c_str()); });
        ASSERT_TRUE(wait_until([&] { return pending_on(peer.id) == 1; }));
        if (input_first) {
            peer.end_input();
            ASSERT_TRUE(wait_until([&] { return pending_on(peer.id) == 0; }));
        }
        s_close(peer.from_interp);
        peer.from_interp = nullptr;
        EXPECT_TRUE(c.finished());
        peer.end_input();
        EXPECT_TRUE(wait_closed(peer.id));
    }
    EXPECT_TRUE(has(by_input, "\"stream error\" 0x80040a12")) << by_input.substr(0, 300);
    // The command's first characters, not the whole of it.
    EXPECT_TRUE(has(by_input, "(\"(big \\\"xxx")) << by_input.substr(0, 300);
    EXPECT_TRUE(has(by_input, "xxx...\")")) << by_input.substr(0, 300);
    EXPECT_LT(by_input.size(), 1000u);
    EXPECT_TRUE(by_input == by_write) << by_write.substr(0, 300);
}

TEST(Remote, BackCallsRunInTheQuerysEnvironmentAlsoOnTheWaitingThread) {
    PipeInterp peer;
    ASSERT_TRUE(peer.open());
    // The peer's own relay thread sends a query on its own connection and waits: the back-call
    // and a wrong one that arrive meanwhile are evaluated by that waiting thread.
    peer.send("(define x 40)\n(Remote (GetIid) (+ x 1))\n");
    peer.read_until("(+ x 1)\n");
    size_t at = peer.got.find("(+ x 1)");
    int line = 1 + static_cast<int>(std::count(peer.got.begin(), peer.got.begin() + at, '\n'));
    peer.send("(LocalEval " + std::to_string(line) + " (+ x 2))\n(LocalEval 99 1)\n");
    peer.read_until("<Result> 3 42</Result>\n");
    peer.read_until("\"local evaluation error\" 2)");
    peer.send("<Result> " + std::to_string(line) + " 41</Result>\n");
    EXPECT_TRUE(has(peer.read_until("<Result> 2 41</Result>\n"), "<Result> 2 41</Result>\n"));
    // No query pending at all.
    peer.send("(LocalEval 1 1)\n");
    EXPECT_TRUE(has(peer.read_until("\"local evaluation error\" 1)"), "error\" 1)"));
    // Local from an interpreter with no peer to ask.
    std::string v;
    ASSERT_TRUE(run_task([&] {
        QV_SEXP* r = local_query(vxlisp_top_env1, nullptr, nullptr, read_qv_item("1"));
        v = print_sexp_text(r, 0);
    }));
    EXPECT_TRUE(has(v, "0x8004051d")) << v;
}

TEST(Remote, PendingQueriesFailWhenTheirPeerOrCallerGoes) {
    PipeInterp peer;
    ASSERT_TRUE(peer.open());
    // A query whose delayed value nobody holds leaves the pending list at the next collection,
    // and its late answer is ignored.
    ASSERT_TRUE(run_task([&] {
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_INTERNAL;
        setup_i(q);
        gc_push(nullptr, nullptr, "dropped");
        remote_query(peer.id, vxlisp_top_env1, nullptr, read_qv_item("(dropped)"));
        gc_pop(nullptr, nullptr);
        close_self_interpreter();
    }));
    EXPECT_EQ(pending_on(peer.id), 1);
    gc_tick_notin_tick(nullptr, 0);
    EXPECT_EQ(pending_on(peer.id), 0);
    peer.send("<Result> 1 late</Result>\n");
    // A cancelled caller gives up, and the cancel goes on to the peer.
    std::string v;
    Caller c([&] { v = ask(peer.id, "(slow)"); });
    peer.read_until("(slow)\n");
    ASSERT_TRUE(wait_until([&] { return c.iid->load() > 0; }));
    send_cancel(static_cast<uint32_t>(c.iid->load()));
    EXPECT_TRUE(c.finished());
    EXPECT_TRUE(has(v, "\"cancel\" 0x80011406")) << v;
    EXPECT_TRUE(has(peer.read_until("<Cancel/>\n"), "<Cancel/>\n"));
    // The end of the peer's input fails what is pending with the stream error.
    Caller d([&] { v = ask(peer.id, "(never)"); });
    peer.read_until("(never)\n");
    peer.end_input();
    EXPECT_TRUE(d.finished());
    EXPECT_TRUE(has(v, "\"stream error\" 0x80040a12")) << v;
    EXPECT_TRUE(has(v, "((never))")) << v;
    EXPECT_TRUE(wait_closed(peer.id));
}

// The locking forms of the queue steps: a flush fails what is pending on a target that stays
// open, and a query can be unlinked from its caller's list and from its target's.
TEST(Remote, LockingQueueStepsFlushAndUnlinkQueries) {
    PipeInterp peer;
    ASSERT_TRUE(peer.open());
    auto target = [&] {
        TaskLockGuard g(qvi_lock);
        return _search_qvi_id(static_cast<uint32_t>(peer.id));
    };
    auto head = [&] {
        TaskLockGuard g(qvi_lock);
        QV_INTERPRETER* q = _search_qvi_id(static_cast<uint32_t>(peer.id));
        return q ? q->result_head : nullptr;
    };
    std::string v;
    Caller a([&] { v = ask(peer.id, "(flushed)"); });
    peer.read_until("(flushed)\n");
    flush_result_queue(target());
    EXPECT_TRUE(a.finished());
    EXPECT_TRUE(has(v, "\"stream error\" 0x80040a12")) << v;
    EXPECT_EQ(pending_on(peer.id), 0);
    flush_result_queue(target());  // nothing pending: nothing happens

    // A query nobody waits on yet (its caller goes on): unlinked from its caller, then from its
    // target, it is on neither list, and its late answer is ignored.
    ASSERT_TRUE(run_task([&] {
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_INTERNAL;
        setup_i(q);
        gc_push(nullptr, nullptr, "unlinked");
        QV_SEXP* node = remote_query(peer.id, vxlisp_top_env1, nullptr, read_qv_item("(unlinked)"));
        gc_set(node, gc_vx_sexp);
        EXPECT_EQ(check_result_list(q), 1);
        QV_RESULT* r = head();
        ASSERT_NE(r, nullptr);
        delete_result_list(r);
        EXPECT_EQ(check_result_list(q), 0);
        EXPECT_EQ(pending_on(peer.id), 1);
        delete_result_queue(target(), r);
        EXPECT_EQ(pending_on(peer.id), 0);
        gc_pop(nullptr, nullptr);
        close_self_interpreter();
    }));
    peer.send("<Result> 2 ignored</Result>\n");
    // The connection goes on: a later query is answered.
    Caller c([&] { v = ask(peer.id, "(after)"); });
    peer.read_until("(after)\n");
    peer.send("<Result> 3 after</Result>\n");
    EXPECT_TRUE(c.finished());
    EXPECT_EQ(v, "^\"after\"");
}

// The collector marks a query's record from its caller's frame as soon as the record exists,
// on the collector's own thread: queries made while collections run one after another are whole
// when marked (the thread sanitizer names the race when a field is filled after the record
// became reachable) and each is written to the peer.
TEST(Remote, QueriesMadeWhileCollectionsRunAreMarkedWhole) {
    PipeInterp peer;
    ASSERT_TRUE(peer.open());
    BackgroundCollections collections;
    constexpr int kRounds = 200;
    std::atomic<int> made{0};
    std::atomic<bool> done{false};
    Caller maker([&] {
        for (; made < kRounds || collections.count() < 20; made++) {
            gc_push(nullptr, nullptr, "queries");
            remote_query(peer.id, vxlisp_top_env1, nullptr, read_qv_item("(q)"));
            remote_query(peer.id, vxlisp_top_env1, l_string(std_cm, "(t)"), nullptr);
            gc_pop(nullptr, nullptr);
        }
        done = true;
    });
    // The peer reads what comes meanwhile, so that the pipe keeps room.
    EXPECT_TRUE(wait_until(
        [&] {
            peer.read_until("never", 20);
            return done.load();
        },
        120000));
    EXPECT_TRUE(maker.finished());
    EXPECT_TRUE(collections.end());
    // Every command reached the peer.
    auto count = [&](const std::string& what) {
        int n = 0;
        for (size_t at = peer.got.find(what); at != std::string::npos;
             at = peer.got.find(what, at + 1))
            n++;
        return n;
    };
    EXPECT_TRUE(wait_until([&] {
        peer.read_until("never", 20);
        return count("(t)\n") == made;
    }));
    EXPECT_EQ(count("(q)\n"), made.load());
    gc_tick_notin_tick(nullptr, 0);
    EXPECT_EQ(pending_on(peer.id), 0);
    peer.end_input();
    EXPECT_TRUE(wait_closed(peer.id));
}

TEST(Remote, DeferredValuesAreAnsweredLater) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    // The thread's value is pending while the next command runs: that one is answered first.
    p.send("(define g 0)\n(Thread (while (= g 0) (wait 1)) 5)\n(set g 1)\n");
    std::string out = p.read_until("<Result> 2 5</Result>\n");
    size_t third = out.find("<Result> 3 ");
    ASSERT_NE(third, std::string::npos) << out;
    EXPECT_LT(third, out.find("<Result> 2 5</Result>"));
    // A sender that ends its input still gets the answers owed to it.
    p.send("(Thread (wait 1) 6)\n");
    p.end_input();
    EXPECT_TRUE(has(p.read_until("<Result> 4 6</Result>\n"), "<Result> 4 6</Result>\n"));

    // A deferred value completed by another task, once.
    D_SEXP* d = nullptr;
    std::string seen;
    ASSERT_TRUE(run_task([&] {
        gc_push(nullptr, nullptr, "d_sexp");
        QV_SEXP* node = new_d_sexp(&d);
        QV_SEXP* l = list(get_integer(1, nullptr), node, nullptr);
        EXPECT_EQ(search_d_sexp(l), d);
        EXPECT_EQ(search_d_sexp(get_integer(1, nullptr)), nullptr);
        sexp_reconnect(node);
        set_d_sexp(d, get_integer(8, nullptr));
        set_d_sexp(d, get_integer(9, nullptr));
        // The background realisation turns the node into the value.
        EXPECT_TRUE(wait_until([&] { return sexp_raw_type(node) != QVT_DELAY; }, 20000));
        seen = print_sexp_text(l, 0);
        gc_pop(nullptr, nullptr);
    }));
    EXPECT_EQ(seen, "(1 8)");
}

namespace {

// (testLate): a generator of a fresh list, pending when the relay thread looks and then ready
// though not at once (state 3), so the delay thread hands it to a reply task.
QV_SEXP* late_realize(QV_SEXP* s) {
    QV_SEXP* v = list(get_integer(1, nullptr), n_get_string("two"),
                      list(get_integer(3, nullptr), nullptr), nullptr);
    lock_parse();
    over_write_sexp(s, v);
    unlock_parse("late_realize");
    return s;
}
void gc_late(DELAY_FUNC* df) {
    gc_mark_block(df);
}
void gc_late_block(void* p) {
    gc_mark_block(p);
}
int late_check(DELAY_FUNC*, int key) {
    return key ? 3 : 1;
}
QV_SEXP* qv_testLate(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    auto* d = static_cast<DELAY_FUNC*>(mmalloc(sizeof(DELAY_FUNC), gc_late_block));
    d->func = late_realize;
    d->gc_func = gc_late;
    d->check_func = late_check;
    return init_delay_func(d);
}

}  // namespace

TEST(Remote, ADeferredReplySurvivesACollectionWhileItIsHandedOver) {
    set_env(vxlisp_top_env1, l_string(std_cm, "testLate"),
            get_func_prim(qv_testLate, FUNC_APPLICATIVE, nullptr, 1, 1));
    // Each reply task forces a collection before it roots the value it was handed.
    static std::atomic<int> forced{0};
    delay_reply_hook = [] {
        forced++;
        gc_tick_notin_tick(nullptr, 0);
    };
    PipeInterp p;
    ASSERT_TRUE(p.open());
    p.send("(testLate)\n(testLate)\n");
    // The two reply tasks run side by side, so either reply may come first.
    p.read_until("<Result> 1 (1 \"two\" (3))</Result>\n");
    std::string out = p.read_until("<Result> 2 (1 \"two\" (3))</Result>\n");
    delay_reply_hook = nullptr;
    EXPECT_TRUE(has(out, "<Result> 1 (1 \"two\" (3))</Result>\n")) << out;
    EXPECT_TRUE(has(out, "<Result> 2 (1 \"two\" (3))</Result>\n")) << out;
    EXPECT_EQ(forced.load(), 2);
    p.end_input();
    EXPECT_TRUE(wait_closed(p.id));
}

namespace {

// A loopback agent stand-in: accepts one connection at a time and plays a script on it.
struct FakeAgent {
    int fd = -1;
    int port = 0;
    std::atomic<int> accepted{0};
    FakeAgent() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t n = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
        listen(fd, 8);
    }
    ~FakeAgent() { close(fd); }
    // Accepts the next connection, takes the client's "\n" and answers `greeting`.
    int serve(const std::string& greeting) {
        int c = accept(fd, nullptr, nullptr);
        accepted++;
        std::string got;
        read_fd_until(c, &got, "\n", 10000);
        if (write(c, greeting.data(), greeting.size()) < 0) {
        }
        return c;
    }
};

int open_connect(const char* host, int port, int silent_timeout = -1) {
    int id = 0;
    run_task([&] {
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_CONNECT;
        q->env = vxlisp_top_env1;
        q->hostname = _xx_nl_copy_str_1(std_cm, host, __FILE__, __LINE__);
        q->port = port;
        q->silent_timeout = silent_timeout;
        id = setup_i(q);
    });
    return id;
}

}  // namespace

TEST(Remote, OutgoingConnectionsAnswersAndSilentPeers) {
    FakeAgent fake;
    for (auto [answer, code] :
         {std::pair<const char*, int>{"Denied", QVI_ERR_DENIED}, {"Busy", QVI_ERR_BUSY}}) {
        std::thread t([&, answer = answer] {
            close(fake.serve(std::string("<Permission>") + answer + "</Permission>\n"));
        });
        EXPECT_EQ(open_connect("127.0.0.1", fake.port), code);
        t.join();
    }
    // A peer that allows, then answers garbage and out of window and falls silent: the
    // connection's silent time-out closes it, and the pending query fails with the stream error.
    int peer = -1;
    std::thread t([&] { peer = fake.serve("\n&cxdfff0016;\n<Permission>Allow</Permission>\n"); });
    int id = open_connect("127.0.0.1", fake.port, 1);
    t.join();
    ASSERT_GT(id, 0);
    std::string got, v;
    read_fd_until(peer, &got, "\n", 10000);  // its code set
    Caller c([&] { v = ask(id, "(List 1 2)"); });
    read_fd_until(peer, &got, "(List 1 2)\n", 10000);
    std::string junk = "<Result> 77 1</Result>\n<Result>zz</Result>\n)(\n";
    ASSERT_EQ(write(peer, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
    for (int i = 0; i < 40 && !c.finished(500); i++)
        qvi_tick();
    EXPECT_TRUE(c.finished());
    EXPECT_TRUE(has(v, "\"stream error\" 0x80040a12")) << v;
    EXPECT_TRUE(wait_closed(id));
    close(peer);
    // A host that took the connection and hung up without an answer, or answered nonsense, is
    // not listed: the next attempt connects again.
    for (const char* greeting : {"", "<Permission>Maybe</Permission>\n"}) {
        std::thread h([&] { close(fake.serve(greeting)); });
        EXPECT_EQ(open_connect("localhost", fake.port), QVI_ERR_NO_PERMISSION) << greeting;
        h.join();
    }
    // One that stays silent for the whole permission wait is listed: the next attempt fails at
    // once, without connecting. (The wait's end is brought forward for the test.)
    int silent = -1;
    std::thread h([&] { silent = fake.serve(""); });
    int r = 0;
    Caller opener([&] { r = open_connect("localhost", fake.port); });
    bool waited = false;
    for (int i = 0; i < 2000 && !opener.finished(10); i++) {
        run_task([&] {
            TaskLockGuard g(qvi_lock);
            for (QV_INTERPRETER* b : interpreter_hash)
                for (QV_INTERPRETER* q = b; q; q = q->next)
                    if ((q->flags & QVIF_WAIT_PERMISSION) && q->open_timeout) {
                        q->open_timeout = 1;
                        waited = true;
                    }
        });
        if (waited) run_task([] { qvi_tick(); });
    }
    ASSERT_TRUE(opener.finished());
    h.join();
    EXPECT_EQ(r, QVI_ERR_NO_ANSWER);
    close(silent);
    int before = fake.accepted.load();
    EXPECT_EQ(open_connect("localhost", fake.port), QVI_ERR_BLACKLISTED);
    EXPECT_EQ(fake.accepted.load(), before);
}
