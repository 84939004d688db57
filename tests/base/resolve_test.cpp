// The resolver: cache, negative entries and the sweep, one look-up at a time with interruption,
// and the local domain. Real look-ups use only "localhost" and 127.0.0.1; every other name comes
// from the test host database.
#include "base/resolve.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>

#include "base/blacklist.h"
#include "base/netdb.h"
#include "base/task.h"
#include "base/tick.h"
#include "hostdb_fake.h"
#include "support/full_pool.h"
#include "support/sync_util.h"

namespace {

uint32_t ip_of(const char* dotted) {
    return inet_addr(dotted);
}

bool has_ip(const HOST_ENTRY* e, const char* dotted) {
    HOST_ADDR a = getHA_v4(ip_of(dotted));
    for (int i = 0; i < e->ips_length; i++)
        if (cmp_HA(e->ips[i], a) == 0) return true;
    return false;
}

bool has_name(const HOST_ENTRY* e, const char* name) {
    for (int i = 0; e->names[i]; i++)
        if (strcmp(e->names[i], name) == 0) return true;
    return false;
}

// One look-up by name on its own task.
struct Lookup {
    const char* name = nullptr;
    std::atomic<int> done{0};
    std::atomic<HOST_ENTRY*> result{nullptr};
    std::atomic<int>* order = nullptr;
    int finished_as = -1;

    static void task(intptr_t d) {
        Lookup* l = reinterpret_cast<Lookup*>(d);
        l->result = r_gethostbyname(l->name);
        if (l->order) l->finished_as = (*l->order)++;
        l->done = 1;
    }
    void start(const char* n) {
        name = n;
        create_task(task, this, 1);
    }
};

std::string temp_file(const char* text) {
    char path[] = "/tmp/vx_resolv_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text, strlen(text)), static_cast<ssize_t>(strlen(text)));
    close(fd);
    return path;
}

}  // namespace

TEST(Resolve, LocalhostComesFromTheCacheTheSecondTime) {
    HOST_ENTRY* e = r_gethostbyname("localhost");
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(has_name(e, "localhost"));
    EXPECT_TRUE(has_ip(e, "127.0.0.1"));
    EXPECT_EQ(r_gethostbyname("localhost"), e);

    HOST_ENTRY* r = r_gethostbyaddr(getHA_v4(ip_of("127.0.0.1")));
    ASSERT_NE(r, nullptr);
    EXPECT_TRUE(has_ip(r, "127.0.0.1"));
    EXPECT_EQ(r_gethostbyaddr(getHA_v4(ip_of("127.0.0.1"))), r);
}

TEST(Resolve, AnAddressThatIsNotIPv4HasNoResult) {
    EXPECT_EQ(r_gethostbyaddr(getHA_v4(0)), nullptr);
    HOST_ADDR odd = {};
    odd.type = 6;
    odd.size = 16;
    EXPECT_EQ(r_gethostbyaddr(odd), nullptr);
    EXPECT_EQ(intr_gethostbyaddr_rr(odd), nullptr);
}

// SIGALRM never ends the process: its default action gives way to a handler that does nothing
// and breaks a blocked call (no restart); a handler already installed is kept.
TEST(Resolve, AlarmSignalGetsAHandlerOnlyWhereItWouldEndTheProcess) {
    struct sigaction saved = {}, dfl = {}, now = {};
    ASSERT_EQ(sigaction(SIGALRM, nullptr, &saved), 0);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &dfl, nullptr), 0);
    aboat_resolve_request_init();
    ASSERT_EQ(sigaction(SIGALRM, nullptr, &now), 0);
    EXPECT_NE(now.sa_handler, SIG_DFL);
    EXPECT_NE(now.sa_handler, SIG_IGN);
    EXPECT_EQ(now.sa_flags & SA_RESTART, 0);
    raise(SIGALRM);  // the test goes on
    // Another handler in place stays.
    static std::atomic<int> hits{0};
    struct sigaction mine = {};
    mine.sa_handler = [](int) { hits++; };
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &mine, nullptr), 0);
    aboat_resolve_request_init();
    raise(SIGALRM);
    EXPECT_EQ(hits.load(), 1);
    sigaction(SIGALRM, &saved, nullptr);
}

TEST(Resolve, FailedNameStaysNegativeUntilTheSweep) {
    FakeHostDb& db = FakeHostDb::get();
    EXPECT_EQ(r_gethostbyname("late.test"), nullptr);
    EXPECT_EQ(r_gethostbyname("late.test"), nullptr);

    // The name appears. The failure blacklisted it for look-ups, and the blacklist task's retry
    // now succeeds; still the negative entry answers until a sweep 30 seconds on removes it.
    db.add({"late.test", {}, {"10.1.1.1"}});
    const unsigned char* key = reinterpret_cast<const unsigned char*>("late.test");
    ASSERT_TRUE(wait_until([&] { return bl_get_state(key, 10, BL_LOOKUP) != BL_LISTED; }));
    EXPECT_EQ(r_gethostbyname("late.test"), nullptr);
    resolve_sweep(get_qvtime() + 10);
    EXPECT_EQ(r_gethostbyname("late.test"), nullptr);
    resolve_sweep(get_qvtime() + RESOLVE_NEGATIVE_AGE + 2);
    HOST_ENTRY* e = r_gethostbyname("late.test");
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(has_ip(e, "10.1.1.1"));

    // Positive entries live an hour past their last use.
    resolve_sweep(get_qvtime() + RESOLVE_NEGATIVE_AGE + 2);
    EXPECT_EQ(r_gethostbyname("late.test"), e);
    int calls = db.calls("late.test");
    resolve_sweep(get_qvtime() + RESOLVE_POSITIVE_AGE + 2);
    HOST_ENTRY* again = r_gethostbyname("late.test");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(db.calls("late.test"), calls + 1);
    // The removed entry is still readable: it waits in the removal ring.
    EXPECT_STREQ(e->names[0], "late.test");
}

TEST(Resolve, TwoCallersForOneNameLookUpInTurnAndShareTheEntry) {
    FakeHostDb& db = FakeHostDb::get();
    db.add({"twin.test", {"alias.test"}, {"10.2.2.2", "10.2.2.3"}});
    db.block("twin.test");
    Lookup a, b;
    a.start("twin.test");
    ASSERT_TRUE(wait_until([&] { return db.waiting() == 1; }));
    b.start("twin.test");
    ASSERT_TRUE(wait_until([] { return resolve_waiting() == 1; }));
    EXPECT_EQ(db.calls("twin.test"), 1);  // b waits for admission, not in the host database
    db.release("twin.test");
    ASSERT_TRUE(wait_until([&] { return a.done && b.done; }));
    EXPECT_EQ(db.calls("twin.test"), 2);
    ASSERT_NE(a.result.load(), nullptr);
    EXPECT_EQ(a.result.load(), b.result.load());
    EXPECT_TRUE(has_name(a.result, "alias.test"));
    EXPECT_TRUE(has_ip(a.result, "10.2.2.3"));
    // Found by its alias as well.
    EXPECT_EQ(r_gethostbyname("alias.test"), a.result.load());
}

namespace {

// One look-up by name or by address (dotted) on its own task, waited for without a bound.
struct AnyLookup {
    std::string key;
    bool by_addr;
    std::atomic<int> done{0};
    std::atomic<HOST_ENTRY*> result{nullptr};
    static void task(intptr_t d) {
        AnyLookup* l = reinterpret_cast<AnyLookup*>(d);
        l->result = l->by_addr ? r_gethostbyaddr(getHA_v4(ip_of(l->key.c_str())))
                               : r_gethostbyname(l->key.c_str());
        l->done = 1;
    }
    AnyLookup(std::string k, bool addr) : key(std::move(k)), by_addr(addr) {
        create_task(task, this, 1);
    }
};

// The blacklist's look-up state of a name or an address: -1 when not listed at all.
int lookup_state(const std::string& key, bool by_addr) {
    if (!by_addr)
        return bl_get_state(reinterpret_cast<const unsigned char*>(key.c_str()),
                            static_cast<int>(key.size()) + 1, BL_LOOKUP);
    unsigned char k[BL_ADDR_KEY_LEN];
    bl_lookup_addr_key(k, ip_of(key.c_str()));
    return bl_get_state(k, BL_ADDR_KEY_LEN, BL_LOOKUP);
}

std::atomic<uint32_t> admission_time{0};

// The admission's clock stands still for the test, which moves it on.
struct AdmissionClock {
    AdmissionClock() {
        admission_time = get_qvtime();
        set_resolve_clock([] { return admission_time.load(); });
    }
    ~AdmissionClock() { set_resolve_clock(nullptr); }
    void advance(uint32_t seconds) { admission_time += seconds; }
};

}  // namespace

// A look-up that runs 2 seconds while another caller waits is interrupted; the waiter goes first.
// An interruption is not a failure: the name is not blacklisted, the look-up is repeated and its
// answer is the system's; only one admitted more than 120 seconds ago gives up, with no result.
TEST(Resolve, ASlowLookUpIsInterruptedAndTheWaiterServedFirst) {
    FakeHostDb& db = FakeHostDb::get();
    struct Case {
        const char* slow;   // a name, or an address by_addr
        const char* quick;  // a name
        bool by_addr;
        bool give_up;  // the waiter takes so long that the interrupted look-up is given up
    } cases[] = {
        {"slow.test", "quick.test", false, false},
        {"10.3.4.3", "quick2.test", true, false},
        {"late-slow.test", "late-quick.test", false, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.slow);
        n++;
        std::string slow_ip = c.by_addr ? c.slow : "10.3.3." + std::to_string(n);
        db.add({c.by_addr ? std::string("named-") + c.slow : c.slow, {}, {slow_ip}});
        db.add({c.quick, {}, {"10.3.5." + std::to_string(n)}});
        AdmissionClock clock;
        db.block(c.slow);
        if (c.give_up) db.block(c.quick);
        AnyLookup slow(c.slow, c.by_addr);
        ASSERT_TRUE(wait_until([&] { return db.waiting() == 1; }));
        clock.advance(RESOLVE_SLICE + 1);
        testing::internal::CaptureStderr();
        AnyLookup quick(c.quick, false);
        bool first = false, repeated = false;
        if (c.give_up) {
            // The waiter holds the resolver; the interrupted look-up waits its turn again.
            first = wait_until([&] { return db.waiting() == 2 && resolve_waiting() == 1; });
            clock.advance(RESOLVE_GIVE_UP);
            db.release(c.quick);
            repeated = wait_until([&] { return slow.done && quick.done; });
        } else {
            // Served while the system has still not answered the slow look-up, which is then
            // asked again.
            first = wait_until([&] { return quick.done && !slow.done; });
            repeated = wait_until([&] { return db.calls(c.slow) >= 2; });
        }
        std::string err = testing::internal::GetCapturedStderr();
        db.release(c.slow);
        ASSERT_TRUE(first);
        ASSERT_TRUE(repeated);
        ASSERT_TRUE(wait_until([&] { return slow.done.load() == 1; }));
        EXPECT_NE(err.find("ABOAT RESOLVE\n"), std::string::npos);
        if (!c.give_up) {
            ASSERT_NE(quick.result.load(), nullptr);
            EXPECT_TRUE(has_ip(quick.result, ("10.3.5." + std::to_string(n)).c_str()));
        }
        // Neither the interruption nor a give-up blacklists the peer.
        int state = lookup_state(c.slow, c.by_addr);
        EXPECT_TRUE(state == BL_IDLE || state == -1) << state;
        if (c.give_up) {
            EXPECT_EQ(slow.result.load(), nullptr);
            EXPECT_EQ(db.calls(c.slow), 1);
        } else {
            ASSERT_NE(slow.result.load(), nullptr);
            EXPECT_TRUE(has_ip(slow.result, slow_ip.c_str()));
            // Cached: asked again, the system is not.
            int calls = db.calls(c.slow);
            HOST_ENTRY* again =
                c.by_addr ? r_gethostbyaddr(getHA_v4(ip_of(c.slow))) : r_gethostbyname(c.slow);
            EXPECT_EQ(again, slow.result.load());
            EXPECT_EQ(db.calls(c.slow), calls);
        }
        EXPECT_EQ(resolve_waiting(), 0);
        // The abandoned system call ends before the next case counts its look-ups.
        ASSERT_TRUE(wait_until([&] { return db.waiting() == 0; }));
    }
}

TEST(Resolve, NamesAreQualifiedWithTheLocalDomain) {
    const char* names[] = {"h", "h.lab", "h.la", "h.other", "localhost", "x.lab.example.com"};
    HOST_ENTRY* e = new_host_entry(names, 6, nullptr, 0);
    qualify_host_names(e, "lab.example.com");
    EXPECT_STREQ(e->names[0], "h.lab.example.com");
    EXPECT_STREQ(e->canonical, "h.lab.example.com");
    EXPECT_STREQ(e->names[1], "h.lab.example.com");
    EXPECT_STREQ(e->names[2], "h.lab.example.com");  // even a partial label is completed
    EXPECT_STREQ(e->names[3], "h.other");
    EXPECT_STREQ(e->names[4], "localhost");
    EXPECT_STREQ(e->names[5], "x.lab.example.com");
    free_host_entry(e);

    FakeHostDb::get().add({"node", {}, {"10.4.4.4"}});
    std::string conf = temp_file("search x\ndomain\tlab.example.com\r\n");
    set_resolv_conf_path(conf.c_str());
    EXPECT_STREQ(get_localdomainname(), "lab.example.com");
    HOST_ENTRY* q = r_gethostbyname("node");
    set_resolv_conf_path(nullptr);
    unlink(conf.c_str());
    ASSERT_NE(q, nullptr);
    EXPECT_STREQ(q->names[0], "node.lab.example.com");
    EXPECT_EQ(r_gethostbyname("node.lab.example.com"), q);
}

TEST(Resolve, LocalHostWithoutALoghostEntry) {
    std::string conf = temp_file("nameserver 127.0.0.1\nsearch a b\n");
    set_resolv_conf_path(conf.c_str());
    EXPECT_EQ(get_localdomainname(), nullptr);
    set_resolv_conf_path(nullptr);
    unlink(conf.c_str());
    // The machine's own host table has no "loghost" alias in the test environment.
    char buf[8];
    EXPECT_STREQ(get_localhostname(buf, sizeof buf), "localho");  // bounded and terminated
    char full[256];
    EXPECT_STREQ(get_localhostname(full), "localhost");
    EXPECT_EQ(get_localhostip(), ip_of("127.0.0.1"));
}

TEST(Resolve, WrappersCopyTheResultOrReportERANGE) {
    hostent he;
    char small[8];
    int herr = 0;
    errno = 0;
    EXPECT_EQ(_gethostbyname_r("localhost", &he, small, sizeof small, &herr), nullptr);
    EXPECT_EQ(errno, ERANGE);
    char buf[512];
    hostent* hp = _gethostbyname_r("localhost", &he, buf, sizeof buf, &herr);
    ASSERT_NE(hp, nullptr);
    EXPECT_STREQ(hp->h_name, "localhost");
    EXPECT_EQ(hp->h_length, 4);
    uint32_t ip;
    memcpy(&ip, hp->h_addr_list[0], 4);
    EXPECT_EQ(ip, ip_of("127.0.0.1"));
    EXPECT_GE(hp->h_name, buf);
    EXPECT_LT(hp->h_name, buf + sizeof buf);

    hostent* t = _gethostbyname_rr("localhost");  // in the temporary ring
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->h_name, "localhost");
}

namespace {

// Runs fn on a task taken before the pool is filled, once told to go.
struct Caller {
    std::function<void()> fn;
    Counter go, done;
    static void task(intptr_t d) {
        Caller* c = reinterpret_cast<Caller*>(d);
        c->go.wait_for(1);
        c->fn();
        c->done.add();
    }
};

}  // namespace

TEST(Resolve, WithoutAThreadALookUpFailsAtOnceAndIsNotRemembered) {
    FakeHostDb& db = FakeHostDb::get();
    db.add({"spare.test", {}, {"10.6.6.6"}});
    int calls = db.calls("spare.test");
    hostent he;
    char buf[512];
    int herr = 0, err = 0;
    hostent* wrapped = &he;
    HOST_ENTRY* resolved = reinterpret_cast<HOST_ENTRY*>(1);
    // Left to the task should it never come back.
    Caller* c = new Caller;
    // The resolver task's own look-up, refused for want of a thread: no answer, and the name is
    // not blacklisted.
    db.add({"spare2.test", {}, {"10.6.6.7"}});
    bool no_thread = false;
    HOST_ENTRY* direct = reinterpret_cast<HOST_ENTRY*>(1);
    c->fn = [&] {
        wrapped = _gethostbyname_r("spare.test", &he, buf, sizeof buf, &herr);
        err = errno;
        resolved = r_gethostbyname("spare.test");
        direct = intr_gethostbyname_rr("spare2.test", &no_thread);
    };
    ASSERT_NE(create_task(Caller::task, c, 1), NO_TASK);
    {
        FullPool pool;
        ASSERT_GE(pool.held(), 1);
        c->go.add();
        ASSERT_TRUE(c->done.wait_for(1, 20000)) << "a look-up waits for a task that never ran";
    }
    EXPECT_EQ(wrapped, nullptr);
    EXPECT_EQ(err, EAGAIN);
    EXPECT_EQ(herr, TRY_AGAIN);
    EXPECT_EQ(resolved, nullptr);
    EXPECT_EQ(db.calls("spare.test"), calls);
    EXPECT_EQ(direct, nullptr);
    EXPECT_TRUE(no_thread);
    EXPECT_NE(bl_get_state(reinterpret_cast<const unsigned char*>("spare2.test"), 12, BL_LOOKUP),
              BL_LISTED);
    delete c;
    HOST_ENTRY* d2 = intr_gethostbyname_rr("spare2.test", &no_thread);
    ASSERT_NE(d2, nullptr);
    EXPECT_TRUE(has_ip(d2, "10.6.6.7"));
    EXPECT_FALSE(no_thread);
    free_host_entry(d2);
    // Threads free again: the name is looked up, not answered by a remembered failure.
    HOST_ENTRY* e = r_gethostbyname("spare.test");
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(has_ip(e, "10.6.6.6"));
    EXPECT_EQ(db.calls("spare.test"), calls + 1);
}

namespace {

// One bounded look-up by address on its own task.
struct AddrLookup {
    HOST_ADDR a;
    int wait;
    std::atomic<int> done{0};
    std::atomic<HOST_ENTRY*> result{nullptr};
    static void task(intptr_t d) {
        AddrLookup* l = reinterpret_cast<AddrLookup*>(d);
        l->result = r_gethostbyaddr_within(l->a, l->wait);
        l->done = 1;
    }
    AddrLookup(const char* dotted, int w) : a(getHA_v4(ip_of(dotted))), wait(w) {
        create_task(task, this, 1);
    }
};

}  // namespace

// A caller with a time bound leaves a look-up the resolver cannot finish in time, whether its
// ticket still waits behind another look-up or its own look-up hangs; it leaves nothing queued,
// and a look-up it leaves running still teaches the cache.
TEST(Resolve, ABoundedCallerLeavesAndTheLookUpItBeganIsCached) {
    FakeHostDb& db = FakeHostDb::get();
    db.add({"hold.test", {}, {"10.8.8.1"}});
    struct Case {
        const char* addr;
        bool behind_another;  // another look-up holds the resolver, else its own hangs
        int calls_after;      // look-ups of addr the host database saw in the end
    } cases[] = {{"10.8.8.2", true, 0}, {"10.8.8.3", false, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.addr);
        db.add({std::string("named-") + c.addr, {}, {c.addr}});
        const char* held = c.behind_another ? "hold.test" : c.addr;
        db.block(held);
        Lookup other;
        if (c.behind_another) {
            other.start("hold.test");
            ASSERT_TRUE(wait_until([&] { return db.waiting() == 1; }));
        }
        AddrLookup l(c.addr, c.behind_another ? 0 : 1);
        bool left_in_time = wait_until([&] { return l.done.load() == 1; }, 15000);
        int still_held = db.waiting();
        db.release(held);
        ASSERT_TRUE(left_in_time);
        EXPECT_EQ(still_held, 1);
        EXPECT_EQ(l.result.load(), nullptr);
        if (c.behind_another) {
            ASSERT_TRUE(wait_until([&] { return other.done.load() == 1; }));
        }
        // A ticket the caller left behind is admitted or dropped once the resolver is free:
        // none stays queued.
        EXPECT_TRUE(wait_until([] { return resolve_waiting() == 0; }));
        HOST_ADDR a = getHA_v4(ip_of(c.addr));
        if (c.calls_after) {
            // Once the system has answered (the blacklist no longer has the look-up running; a
            // peer left idle is soon forgotten), the answer reaches the cache, with no look-up
            // more.
            unsigned char key[BL_ADDR_KEY_LEN];
            bl_lookup_addr_key(key, ip_of(c.addr));
            ASSERT_TRUE(wait_until([&] {
                int s = bl_get_state(key, BL_ADDR_KEY_LEN, BL_LOOKUP);
                return s == BL_IDLE || s == -1;
            }));
            ASSERT_TRUE(wait_until([&] { return r_gethostbyaddr_within(a, 0) != nullptr; }));
        }
        EXPECT_EQ(db.calls(c.addr), c.calls_after);
    }
}

// The blacklist's retry of a name takes its turn at the resolver: a retry that hangs holds up
// another look-up for no more than its slice.
TEST(Resolve, AHangingRetryHoldsUpNoOtherLookUp) {
    FakeHostDb& db = FakeHostDb::get();
    const unsigned char* key = reinterpret_cast<const unsigned char*>("gone.test");
    EXPECT_EQ(r_gethostbyname("gone.test"), nullptr);
    ASSERT_EQ(bl_get_state(key, 10, BL_LOOKUP), BL_LISTED);
    int calls = db.calls("gone.test");
    db.block("gone.test");
    ASSERT_TRUE(wait_until([&] { return db.waiting() == 1 && db.calls("gone.test") > calls; }));
    db.add({"meanwhile.test", {}, {"10.8.9.1"}});
    Lookup l;
    l.start("meanwhile.test");
    bool served = wait_until([&] { return l.done.load() == 1; }, 15000);
    int still_held = db.waiting();
    db.release("gone.test");
    ASSERT_TRUE(served);
    EXPECT_GE(still_held, 1);
    ASSERT_NE(l.result.load(), nullptr);
    EXPECT_TRUE(has_ip(l.result, "10.8.9.1"));
}
