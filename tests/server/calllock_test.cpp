// Call locks between processes: this test program takes locks through a real agent started as
// the lock server, while raw connections to the same server play another process. Local tasks
// share and queue on one entry; the server parts processes; with no server configured, with a
// server that refuses, or with a server that goes away, requests fail instead of hanging.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/task.h"
#include "base/tick.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "longchar/longchar.h"
#include "server/calllock.h"
#include "server/lockserver.h"
#include "server_util.h"
#include "support/sync_util.h"
#include "vxmx_run.h"

namespace {

L_CHAR* lname(const char* s) {
    return l_string(std_cm, s);
}

// A lock request running on a task of its own; the test waits for it with a bound.
struct Request {
    Counter done;
    CALL_LOCK_DESCRIPTER d{};
    int tid = 0;
    std::string name;
    int type = 0;
    bool finished(int ms) { return done.wait_for(1, ms); }
    bool ok() { return cl_error_check(d) == 0; }
};

std::shared_ptr<Request> request(const std::string& name, int type) {
    auto r = std::make_shared<Request>();
    r->name = name;
    r->type = type;
    auto* keep = new std::shared_ptr<Request>(r);
    create_task(
        [](intptr_t p) {
            auto* k = reinterpret_cast<std::shared_ptr<Request>*>(p);
            Request& q = **k;
            q.tid = get_tid();
            q.d = call_lock(l_string(std_cm, q.name.c_str()), q.type, nullptr, nullptr);
            q.done.add();
            delete k;
        },
        keep, 2);
    return r;
}

void release(const std::shared_ptr<Request>& r) {
    ASSERT_TRUE(run_task([r] { EXPECT_EQ(call_unlock(r->d, r->tid), 0); }));
}

// Another process's connection to the lock server, speaking the line protocol by hand.
struct Peer : LineClient {
    using LineClient::LineClient;
    void lock(const std::string& type, const std::string& name) {
        send("<Lock type=\"" + type + "\" file=\"peer\" line=\"1\" data=\"1\" seq=\"0\"> " + name +
             " </Lock>\n");
    }
};

// The lock server: an agent whose listener evaluates in a child of top environment 1 (env 0:
// a listener where Lock is not bound, which refuses every lock).
struct Server {
    VxmxChild child;
    VxmxRun run;
    int port = free_port();
    explicit Server(const char* env = "Env1") {
        std::string dir = make_test_dir("calllock_server");
        write_file(dir + "/server.qv",
                   "^(define l (OpenInterpreter \"accept\" " + std::string(env) + " (Port " +
                       std::to_string(port) +
                       ") (Environment \"new\") (Permission (quote (\"local\")) (Allow \"ip\" "
                       "\"127.0.0.1\" \"255.255.255.255\"))))\n^(WaitInterpreter l)\n");
        run.args = {"server.qv", "out.txt"};
        run.dir = dir;
        run.timeout_ms = 5000;
        child = start_vxmx(run);
        int fd = -1;
        for (int i = 0; i < 400 && fd < 0; i++) {
            fd = connect_loopback(port);
            if (fd < 0) usleep(50000);
        }
        if (fd >= 0) close(fd);
        configure_lock_server(port);
    }
    void stop() { kill_vxmx(child); }
    ~Server() {
        stop();
        configure_lock_server(0);
    }
};

const int kWait = 15000;  // bound of every wait that must end
const int kHold = 500;    // how long a request must still be waiting

TEST(CallLockMessage, EscapedWholeAndRefusedOnlyWhenTooLong) {
    EXPECT_EQ(call_lock_message(lname("a/b"), CALL_LOCK_READ, "f.cpp", 12, 345, 0),
              "<Lock type=\"read\" file=\"f.cpp\" line=\"12\" data=\"345\" seq=\"0\"> a/b "
              "</Lock>");
    // Markup, entities and the characters that would end the word or open a list.
    EXPECT_EQ(call_unlock_message(lname("<a&b (c)^\"d\"\n")),
              "<Unlock> &lt;a&amp;b&#x20;&#x28;c&#x29;&#x5e;&#x22;d&#x22;\\n </Unlock>");
    EXPECT_EQ(call_lock_message(lname("x"), CALL_LOCK_WRITE, "we\"ird<.cpp", 1, 2, 3),
              "<Lock type=\"write\" file=\"we_ird_.cpp\" line=\"1\" data=\"2\" seq=\"3\"> x "
              "</Lock>");
    // A name far past 1,000 bytes of message goes out whole; beyond the limit it is refused.
    std::string long_name(5000, '&');
    std::string m = call_lock_message(lname(long_name.c_str()), CALL_LOCK_READ, "f", 1, 1, 0);
    EXPECT_GT(m.size(), 25000u);
    EXPECT_NE(m.find(" </Lock>"), std::string::npos);
    std::string huge(CALL_LOCK_MESSAGE_MAX, 'a');
    EXPECT_EQ(call_lock_message(lname(huge.c_str()), CALL_LOCK_READ, "f", 1, 1, 0), "");
    EXPECT_EQ(call_unlock_message(lname("")), "");
    EXPECT_EQ(call_unlock_message(nullptr), "");
}

TEST(CallLock, WithoutServerEveryRequestFailsAtOnce) {
    configure_lock_server(0);
    auto r = request("any/name", CALL_LOCK_WRITE);
    ASSERT_TRUE(r->finished(kWait));
    EXPECT_EQ(cl_error_check(r->d), -1);
    EXPECT_EQ(cl_error_check(cl_invalid()), -1);
    EXPECT_EQ(call_unlock(r->d, r->tid), -1);
    EXPECT_EQ(call_lock_connection_count(), 0);
    ASSERT_TRUE(run_task([] {
        gc_push(nullptr, nullptr, "error");
        QV_SEXP* e = get_cl_error(nullptr, "Load");
        ASSERT_EQ(get_type(e), QVT_ERROR);
        EXPECT_EQ(e->error.code, 0x80040503u);
        EXPECT_EQ(l_strcmp(e->error.func, lname("Load")), 0);
        gc_pop(nullptr, nullptr);
    }));
}

TEST(CallLock, TasksShareReadersAndWritersQueueLocally) {
    Server server;
    auto a = request("data/x", CALL_LOCK_READ);
    auto b = request("data/x", CALL_LOCK_READ);
    ASSERT_TRUE(a->finished(kWait));
    ASSERT_TRUE(b->finished(kWait));
    ASSERT_TRUE(a->ok());
    ASSERT_TRUE(b->ok());
    EXPECT_EQ(a->d.d, b->d.d);  // one entry, one server lock
    EXPECT_EQ(call_lock_connection_count(), 1);
    // A writer on an overlapping (shorter) name waits for both readers.
    auto w = request("data", CALL_LOCK_WRITE);
    EXPECT_FALSE(w->finished(kHold));
    EXPECT_EQ(call_unlock(a->d, 999999), -1);  // not a holder
    release(a);
    EXPECT_FALSE(w->finished(kHold));
    release(b);
    ASSERT_TRUE(w->finished(kWait));
    ASSERT_TRUE(w->ok());
    // The writer asking again for its own name joins; a longer name is a new server lock.
    CALL_LOCK_DESCRIPTER again{}, longer{};
    int tid = 0;
    ASSERT_TRUE(run_task([&] {
        tid = get_tid();
        // The writer's own task is gone; take one anew on this task.
        again = call_lock(lname("w/own"), CALL_LOCK_WRITE, nullptr, nullptr);
        CALL_LOCK_DESCRIPTER same = call_lock(lname("w/own"), CALL_LOCK_WRITE, nullptr, nullptr);
        EXPECT_EQ(same.d, again.d);
        int before = call_lock_connection_count();
        longer = call_lock(lname("w/own/deeper"), CALL_LOCK_WRITE, nullptr, nullptr);
        EXPECT_NE(longer.d, again.d);
        EXPECT_EQ(call_lock_connection_count(), before + 1);
        // A write request against its own read lock would wait on itself: refused.
        CALL_LOCK_DESCRIPTER r = call_lock(lname("solo"), CALL_LOCK_READ, nullptr, nullptr);
        EXPECT_EQ(cl_error_check(call_lock(lname("solo/x"), CALL_LOCK_WRITE, nullptr, nullptr)),
                  -1);
        EXPECT_EQ(call_unlock(r, get_tid()), 0);
        EXPECT_EQ(call_unlock(same, get_tid()), 0);
        EXPECT_EQ(call_unlock(again, get_tid()), 0);
        EXPECT_EQ(call_unlock(again, get_tid()), -1);  // already given back
        EXPECT_EQ(call_unlock(longer, get_tid()), 0);
    }));
    release(w);
    // Connections are reused, and the hourly sweep closes the unused ones.
    int open = call_lock_connection_count();
    EXPECT_GE(open, 1);
    EXPECT_LE(open, 4);
    EXPECT_EQ(call_lock_sweep(get_qvtime() + 3599), 0);
    EXPECT_EQ(call_lock_sweep(get_qvtime() + 3600), open);
    EXPECT_EQ(call_lock_connection_count(), 0);
}

TEST(CallLock, NoWaitRequestsFailInsteadOfQueuingBehindLocalHolders) {
    Server server;
    auto reader = request("nw/x", CALL_LOCK_READ);
    ASSERT_TRUE(reader->finished(kWait));
    ASSERT_TRUE(reader->ok());
    auto writer = request("nw", CALL_LOCK_WRITE | CALL_LOCK_NO_WAIT);
    ASSERT_TRUE(writer->finished(kWait));
    EXPECT_FALSE(writer->ok());
    release(reader);
    auto later = request("nw", CALL_LOCK_WRITE | CALL_LOCK_NO_WAIT);
    ASSERT_TRUE(later->finished(kWait));
    ASSERT_TRUE(later->ok());
    release(later);
}

TEST(CallLock, ProcessesExcludeEachOtherThroughTheServer) {
    Server server;
    Peer peer(server.port);
    ASSERT_GE(peer.fd, 0);
    // The other process writes a longer name: our reader of the prefix waits for it.
    peer.lock("write", "shared/a");
    EXPECT_EQ(peer.answer(), "<Result> 2 ^\"shared/a\"</Result>\n");
    auto r = request("shared", CALL_LOCK_READ);
    EXPECT_FALSE(r->finished(kHold));
    peer.send("<Unlock> shared/a </Unlock>\n");
    EXPECT_EQ(peer.answer(), "<Result> 3 ^\"shared/a\"</Result>\n");
    ASSERT_TRUE(r->finished(kWait));
    ASSERT_TRUE(r->ok());
    // Now our read lock holds the other process's writer; its reader passes.
    peer.lock("read", "shared/b");
    EXPECT_EQ(peer.answer(), "<Result> 4 ^\"shared/b\"</Result>\n");
    peer.send("<Unlock> shared/b </Unlock>\n");
    EXPECT_EQ(peer.answer(), "<Result> 5 ^\"shared/b\"</Result>\n");
    peer.lock("write", "shared/c");
    EXPECT_EQ(peer.answer(kHold), "");
    release(r);
    EXPECT_EQ(peer.answer(), "<Result> 6 ^\"shared/c\"</Result>\n");
    // A name whose message is far longer than 1,000 bytes goes out whole and is granted.
    auto big = request("big/" + std::string(3000, '<'), CALL_LOCK_WRITE);
    ASSERT_TRUE(big->finished(kWait));
    EXPECT_TRUE(big->ok());
    release(big);
    // Giving back what the connection does not hold is an error value.
    peer.send("<Unlock> nothing </Unlock>\n");
    EXPECT_NE(peer.answer().find("\"lock operation error\""), std::string::npos);
}

TEST(CallLock, ARefusingServerAndAVanishingServerFailRequests) {
    {
        Server refusing("Env0");  // Lock is not bound there: every request is refused
        auto r = request("x", CALL_LOCK_WRITE);
        ASSERT_TRUE(r->finished(kWait));
        EXPECT_EQ(cl_error_check(r->d), -1);
        EXPECT_EQ(call_lock_connection_count(), 0);
    }
    Server server;
    Peer peer(server.port);
    ASSERT_GE(peer.fd, 0);
    peer.lock("write", "gone");
    EXPECT_EQ(peer.answer(), "<Result> 2 ^\"gone\"</Result>\n");
    auto first = request("gone/1", CALL_LOCK_WRITE);  // waits for the server's answer
    EXPECT_FALSE(first->finished(kHold));
    auto second = request("gone/1", CALL_LOCK_READ);  // waits in the local table
    server.stop();
    ASSERT_TRUE(first->finished(kWait));
    ASSERT_TRUE(second->finished(kWait));
    EXPECT_EQ(cl_error_check(first->d), -1);
    EXPECT_EQ(cl_error_check(second->d), -1);
    EXPECT_EQ(call_lock_connection_count(), 0);
}

// A server that takes the connection and never greets, and one whose answer does not come (the
// lock is held elsewhere and never given back): the request gives up after its wait, closes the
// connection, and a later request is not held up by the first.
TEST(CallLock, AServerThatNeverAnswersEndsTheRequestAfterItsWait) {
    call_lock_set_wait_limit(2000);
    {
        SilentPorts silent(1);
        configure_lock_server(silent.ports[0]);
        auto r = request("s", CALL_LOCK_WRITE);
        ASSERT_TRUE(r->finished(kWait));
        EXPECT_EQ(cl_error_check(r->d), -1);
    }
    {
        Server server;
        Peer peer(server.port);
        ASSERT_GE(peer.fd, 0);
        peer.lock("write", "held");
        EXPECT_EQ(peer.answer(), "<Result> 2 ^\"held\"</Result>\n");
        for (int i = 0; i < 2; i++) {
            auto r = request("held", CALL_LOCK_WRITE);
            ASSERT_TRUE(r->finished(kWait)) << i;
            EXPECT_EQ(cl_error_check(r->d), -1);
            EXPECT_EQ(call_lock_connection_count(), 0);
        }
    }
    call_lock_set_wait_limit(-1);
}

TEST(CallLock, EventsReachTheLockWithTheirSequenceNumber) {
    Server server;
    static std::atomic<int> seen{0};
    static int marker = 7;
    seen = 0;
    CALL_LOCK_DESCRIPTER d{};
    int tid = 0;
    ASSERT_TRUE(run_task([&] {
        tid = get_tid();
        d = call_lock(
            lname("ev"), CALL_LOCK_READ,
            [](int seq, void* data) { seen = seq * 100 + *static_cast<int*>(data); }, &marker);
    }));
    ASSERT_EQ(cl_error_check(d), 0);
    int seq = get_call_lock_seq(d.d);
    ASSERT_GT(seq, 0);
    PipeInterp p;
    ASSERT_TRUE(p.open());
    p.send("(call-lock-event " + std::to_string(seq) + ")\n(call-lock-event " +
           std::to_string(seq + 1000) + ")\n");
    std::string got = p.read_until("<Result> 2 ");
    EXPECT_NE(got.find("<Result> 1 ()</Result>"), std::string::npos) << got;
    EXPECT_EQ(seen.load(), seq * 100 + 7);
    ASSERT_TRUE(run_task([&] { EXPECT_EQ(call_unlock(d, tid), 0); }));
    EXPECT_EQ(get_call_lock_seq(nullptr), 0);
}

// One end of a line-protocol connection spoken by hand. It counts the line ends it has taken, so
// that it can answer a query of the other side with the query's line, and can play a lock
// server built to the protocol alone as well as another process holding a lock.
struct Wire {
    int fd = -1;
    std::string rest;  // received, not taken yet
    int lines = 0;     // line ends in what was taken
    Wire() = default;
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;
    ~Wire() {
        if (fd >= 0) close(fd);
    }
    void send(const std::string& s) {
        ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    // What came up to and including want ("" when it did not come within ms); *line gets the
    // number of the line want is on, counted from 1 as the protocol counts it.
    std::string take(const std::string& want, int* line = nullptr, int ms = kWait) {
        read_fd_until(fd, &rest, want, ms);
        size_t at = rest.find(want);
        if (at == std::string::npos) return "";
        auto ends = [](const std::string& t, size_t n) {
            return static_cast<int>(std::count(t.begin(), t.begin() + static_cast<long>(n), '\n'));
        };
        if (line) *line = lines + ends(rest, at) + 1;
        std::string t = rest.substr(0, at + want.size());
        lines += ends(t, t.size());
        rest.erase(0, t.size());
        return t;
    }
    // A connection to the agent at port, its greeting taken.
    void open(int port) {
        fd = connect_when_up(port);
        if (fd < 0) return;
        send("\n");
        take("</Permission>\n");
    }
};

// The lock of this process that an event gives back, and what the event function was called with.
std::atomic<int> event_seen{0};
CALL_LOCK_DESCRIPTER event_lock{};
int event_tid = 0;
int event_marker = 7;

// The holder's side of an event: a lock server built to the protocol alone (written here by hand)
// sends (call-lock-event S) on the lock connection itself, and the project's own server asks for
// a lock that way when another process waits for it. This process names no port for it. The event
// may come right behind the grant, or (as a slow task taking the grant in here sees it) before
// it: it is held for the lock until the grant is taken in, never lost.
TEST(CallLock, TheServerAsksForALockBackOnTheLockConnection) {
    for (bool event_first : {false, true}) {
        SCOPED_TRACE(event_first ? "event before the grant" : "event after the grant");
        event_seen = 0;
        int port = 0;
        int lfd = listen_loopback(&port);
        ASSERT_GE(lfd, 0);
        configure_lock_server(port);
        std::string lock_text, event_answer, unlock_text;
        std::thread server([&] {
            pollfd p = {lfd, POLLIN, 0};
            if (poll(&p, 1, kWait) != 1) return;
            Wire w;
            w.fd = accept(lfd, nullptr, nullptr);
            if (w.fd < 0) return;
            w.take("\n");
            w.send("\n<Permission>Allow</Permission>\n");
            int line = 0;
            w.take("<Lock", &line);
            lock_text = w.take("</Lock>\n");
            size_t at = lock_text.find("seq=\"");
            int seq = at == std::string::npos ? 0 : atoi(lock_text.c_str() + at + 5);
            std::string grant = "<Result> " + std::to_string(line) + " ^\"ev\"</Result>\n";
            std::string event = "(call-lock-event " + std::to_string(seq) + ")\n";
            w.send(event_first ? event + grant : grant + event);
            event_answer = w.take("</Result>\n");
            w.take("<Unlock", &line);
            unlock_text = w.take("</Unlock>\n");
            w.send("<Result> " + std::to_string(line) + " ^\"ev\"</Result>\n");
        });
        auto record = [](int seq, void* data) {
            event_seen = seq * 100 + *static_cast<int*>(data);
        };
        int seq = 0;
        ASSERT_TRUE(run_task([&] {
            event_tid = get_tid();
            event_lock = call_lock(lname("ev"), CALL_LOCK_WRITE, record, &event_marker);
            seq = get_call_lock_seq(event_lock.d);
        }));
        EXPECT_EQ(cl_error_check(event_lock), 0);
        EXPECT_TRUE(wait_until([] { return event_seen.load() != 0; }, kWait));
        EXPECT_EQ(event_seen.load(), seq * 100 + 7);
        ASSERT_TRUE(run_task([] { EXPECT_EQ(call_unlock(event_lock, event_tid), 0); }));
        server.join();
        close(lfd);
        EXPECT_NE(lock_text.find(" seq=\"" + std::to_string(seq) + "\"> ev </Lock>"),
                  std::string::npos)
            << lock_text;
        EXPECT_EQ(lock_text.find("port="), std::string::npos) << lock_text;
        EXPECT_NE(event_answer.find(" ()</Result>"), std::string::npos) << event_answer;
        EXPECT_EQ(unlock_text, "> ev </Unlock>\n");
        EXPECT_EQ(call_lock_sweep(get_qvtime() + 3600), 1);
    }

    // The project's server: another process asks for the lock; the holder's event function
    // gives it back, and the other process gets it.
    Server own;
    event_seen = 0;
    auto give_back = [](int, void*) {
        event_seen = 1;
        call_unlock(event_lock, event_tid);
    };
    ASSERT_TRUE(run_task([&] {
        event_tid = get_tid();
        event_lock = call_lock(lname("hand/over"), CALL_LOCK_WRITE, give_back, nullptr);
    }));
    ASSERT_EQ(cl_error_check(event_lock), 0);
    Peer other(own.port);
    ASSERT_GE(other.fd, 0);
    other.lock("write", "hand/over");
    EXPECT_EQ(other.answer(), "<Result> 2 ^\"hand/over\"</Result>\n");
    EXPECT_EQ(event_seen.load(), 1);
}

// A holder asked for its lock that keeps it (the event reached it before it had taken in the
// grant, say) is asked again on its connection while a request waits, and the request is granted
// once it gives the lock back.
TEST(CallLock, AHolderThatKeepsTheLockAfterAnEventIsAskedAgain) {
    Server server;
    Wire holder;
    holder.open(server.port);
    ASSERT_GE(holder.fd, 0);
    Peer waiter(server.port);
    ASSERT_GE(waiter.fd, 0);
    holder.send(
        "<Lock type=\"write\" file=\"peer\" line=\"1\" data=\"1\" seq=\"5\"> kept </Lock>\n");
    EXPECT_NE(holder.take("</Result>\n").find("<Result> 2 ^\"kept\"</Result>"), std::string::npos);
    waiter.send(
        "<Lock type=\"write\" file=\"other\" line=\"1\" data=\"2\" seq=\"0\"> kept </Lock>\n");
    for (int call = 0; call < 2; call++) {
        int line = -1;
        ASSERT_NE(holder.take("(call-lock-event 5)\n", &line), "") << call;
        holder.send("<Result> " + std::to_string(line) + " ()</Result>\n");
    }
    EXPECT_EQ(waiter.answer(kHold), "");
    holder.send("<Unlock> kept </Unlock>\n");
    EXPECT_NE(holder.take("</Result>\n").find("^\"kept\"</Result>"), std::string::npos);
    EXPECT_EQ(waiter.answer(), "<Result> 2 ^\"kept\"</Result>\n");
}

}  // namespace
