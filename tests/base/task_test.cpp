#include "base/task.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <deque>
#include <set>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "support/child.h"
#include "support/sync_util.h"

// Each test runs in its own process (ctest runs them one by one), so the task table starts with
// the main thread and whatever the runtime's start-up created.

namespace {

uint32_t system_now() {
    return static_cast<uint32_t>(time(nullptr) - 978307200);
}

struct Probe {
    TKEY id = 0;
    pthread_t thread{};
    pid_t os_tid = 0;  // the system's id of the thread it ran on
    int pri = -1;
    Counter started;
    Counter release;
};

// Records who it is, then waits (boundedly) until the test lets it end.
void probe_task(intptr_t data) {
    auto* p = reinterpret_cast<Probe*>(data);
    p->id = get_tid();
    p->thread = pthread_self();
    p->os_tid = static_cast<pid_t>(syscall(SYS_gettid));
    p->pri = get_pri(0);
    p->started.add();
    p->release.wait_for(1);
}

// True while the thread of this process with the system id tid runs.
bool thread_alive(pid_t tid) {
    return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0;
}

}  // namespace

TEST(Task, MainThreadIsTaskTwoAndTasksAreKnownByTheirIds) {
    EXPECT_EQ(get_tid(), 2);
    EXPECT_EQ(thread_exist(2), 0);
    EXPECT_EQ(thread_exist(0), 0);
    bool fresh = task_thread_count() == 0;

    auto* p = new Probe;
    TKEY id = create_task(probe_task, p, 4);
    if (fresh) {
        EXPECT_EQ(id, 3);  // the first task ever created
    }
    EXPECT_GT(id, 2);
    ASSERT_TRUE(p->started.wait_for(1));
    EXPECT_EQ(p->id, id);
    EXPECT_EQ(p->pri, 4);
    EXPECT_EQ(thread_exist(id), 0);
    HTID h = get_hard_tid(id);
    EXPECT_EQ(h.valid, 1u);
    EXPECT_TRUE(pthread_equal(h.tid, p->thread));
    change_pri(id, 9);
    EXPECT_EQ(get_pri(id), 5);

    p->release.add();
    ASSERT_TRUE(wait_until([&] { return thread_exist(id) == -1; }));
    // An ended task: no thread, priority 0, an alarm to it does nothing.
    EXPECT_EQ(get_hard_tid(id).valid, 0u);
    EXPECT_EQ(get_pri(id), 0);
    send_alarm(id);
    change_pri(id, 3);
    delete p;
}

TEST(Task, FinishedTaskLeavesItsThreadIdleForTheNextTaskWithANewId) {
    // Retire every idle thread first, so that the one left by the first task is the only one.
    task_timeout_sweep(system_now() + 3600);
    ASSERT_EQ(task_idle_count(), 0);
    auto* a = new Probe;
    a->release.add();
    TKEY ida = create_task(probe_task, a, 1);
    ASSERT_TRUE(a->started.wait_for(1));
    ASSERT_TRUE(wait_until([] { return task_idle_count() == 1; }));

    auto* b = new Probe;
    b->release.add();
    TKEY idb = create_task(probe_task, b, 1);
    ASSERT_TRUE(b->started.wait_for(1));
    EXPECT_TRUE(pthread_equal(a->thread, b->thread));
    EXPECT_NE(idb, ida);
    EXPECT_EQ(b->id, idb);
    ASSERT_TRUE(wait_until([] { return task_idle_count() == 1; }));
    delete a;
    delete b;
}

namespace {

constexpr int CREATORS = 8;
constexpr int PER_CREATOR = 50;

struct Creation {
    std::mutex m;
    std::multiset<TKEY> returned;
    std::multiset<TKEY> seen;
    Counter done;
};

void record_own_id(intptr_t data) {
    auto* st = reinterpret_cast<Creation*>(data);
    TKEY me = get_tid();
    {
        std::lock_guard<std::mutex> g(st->m);
        st->seen.insert(me);
    }
    st->done.add();
}

void create_many(Creation* st) {
    for (int i = 0; i < PER_CREATOR; i++) {
        TKEY id = create_task(record_own_id, st, i % 6);
        std::lock_guard<std::mutex> g(st->m);
        st->returned.insert(id);
    }
}

void creator_task(intptr_t data) {
    auto* st = reinterpret_cast<Creation*>(data);
    create_many(st);
    st->done.add();
}

}  // namespace

TEST(Task, IdsStayUniqueUnderConcurrentCreationFromSeveralThreads) {
    auto* st = new Creation;
    for (int i = 0; i < CREATORS / 2; i++)
        create_task(creator_task, st, 2);
    std::vector<std::thread> threads;
    for (int i = 0; i < CREATORS / 2; i++)
        threads.emplace_back([st] {
            create_many(st);
            st->done.add();
        });
    for (std::thread& t : threads)
        t.detach();  // they count themselves in `done`
    const int total = CREATORS * PER_CREATOR;
    ASSERT_TRUE(st->done.wait_for(total + CREATORS, 120000));
    std::unique_lock<std::mutex> g(st->m);
    ASSERT_EQ(st->returned.size(), static_cast<size_t>(total));
    std::set<TKEY> unique(st->returned.begin(), st->returned.end());
    EXPECT_EQ(unique.size(), static_cast<size_t>(total));
    EXPECT_EQ(st->seen, st->returned);  // every task ran once, under the id its creator got
    EXPECT_EQ(unique.count(2), 0u);
    g.unlock();
    delete st;
}

TEST(Task, SweepRetiresThreadsIdleForMoreThanAnHour) {
    // The thread this test's task ran on is watched, not the pool's counts: the runtime's own
    // tasks take and give back pooled threads meanwhile.
    // Earlier tests may have left the idle reserve full, and a thread whose task ends then ends
    // too: the threads idle now are retired first, so that the probe's thread is kept idle.
    task_timeout_sweep(system_now() + 3600);
    auto* p = new Probe;
    p->release.add();
    create_task(probe_task, p, 1);
    ASSERT_TRUE(p->started.wait_for(1));
    ASSERT_TRUE(wait_until([&] { return thread_exist(p->id) == -1; }));

    // Just idle: kept.
    task_timeout_sweep(system_now());
    EXPECT_TRUE(thread_alive(p->os_tid));
    // Idle for an hour: told to end, and ends (should another task have taken the thread for a
    // moment, it is idle again at a later sweep).
    ASSERT_TRUE(wait_until([&] {
        task_timeout_sweep(system_now() + 3600);
        return !thread_alive(p->os_tid);
    }));

    // The pool starts a new thread for the next task.
    auto* q = new Probe;
    q->release.add();
    TKEY idq = create_task(probe_task, q, 1);
    ASSERT_TRUE(q->started.wait_for(1));
    EXPECT_NE(q->id, p->id);
    ASSERT_TRUE(wait_until([&] { return thread_exist(idq) == -1; }));
    delete p;
    delete q;
}

TEST(Task, ThreadsOfABurstBeyondTheIdleReserveEndWhenTheirTasksEnd) {
    // 100 tasks at once need 100 threads; once they have ended, at most 64 stay idle and the
    // rest end at once rather than at a later sweep.
    constexpr int BURST = 100;
    std::vector<Probe> probes(BURST);
    int before = task_thread_count();
    for (Probe& p : probes)
        create_task(probe_task, &p, 1);
    for (Probe& p : probes)
        ASSERT_TRUE(p.started.wait_for(1));
    EXPECT_GE(task_thread_count(), BURST);
    for (Probe& p : probes)
        p.release.add();
    for (Probe& p : probes)
        ASSERT_TRUE(wait_until([&] { return thread_exist(p.id) == -1; }));
    EXPECT_TRUE(wait_until([] { return task_idle_count() <= 64; }));
    EXPECT_TRUE(wait_until([&] { return task_thread_count() <= before + 64; }))
        << task_thread_count();
    // The threads kept still serve: the next task runs.
    Probe q;
    q.release.add();
    TKEY id = create_task(probe_task, &q, 1);
    ASSERT_TRUE(q.started.wait_for(1));
    EXPECT_TRUE(wait_until([&] { return thread_exist(id) == -1; }));
}

TEST(Task, OutOfThreadsTheCreatorIsToldAtOnceAndTheNextTaskRunsOnceOneIsFree) {
    // The pool bounded at two threads more than are alive now: the idle ones and two new ones
    // take tasks, then none is left.
    int old = set_task_thread_limit(task_thread_count() + 2);
    constexpr int MOST = 200;
    std::vector<Probe> probes(MOST);
    int started = 0;
    TKEY refused = 1;
    for (; started < MOST; started++) {
        refused = try_create_task(probe_task, &probes[started], 1);
        if (refused == NO_TASK) break;
    }
    EXPECT_EQ(refused, NO_TASK);
    EXPECT_GE(started, 2);
    EXPECT_LT(started, MOST);
    // Told again as often as asked, without waiting for a thread to end.
    Probe extra;
    EXPECT_EQ(try_create_task(probe_task, &extra, 1), NO_TASK);
    // A task that ends frees its thread for the next one.
    for (int i = 0; i < started; i++) {
        ASSERT_TRUE(probes[i].started.wait_for(1));
        probes[i].release.add();
    }
    for (int i = 0; i < started; i++)
        ASSERT_TRUE(wait_until([&] { return thread_exist(probes[i].id) == -1; }));
    extra.release.add();
    TKEY id = try_create_task(probe_task, &extra, 1);
    EXPECT_NE(id, NO_TASK);
    if (id != NO_TASK) {
        ASSERT_TRUE(extra.started.wait_for(1));
        EXPECT_TRUE(wait_until([&] { return thread_exist(id) == -1; }));
    }
    set_task_thread_limit(old);
}

TEST(Task, OutOfThreadsATaskThatMustRunWaitsForAThreadAndRuns) {
    // The pool bounded one above the threads alive now, every idle one taken: at least one
    // probe holds a thread, so that releasing the probes frees one (the pool's own service
    // tasks never end).
    int old = set_task_thread_limit(task_thread_count() + 1);
    constexpr int MOST = 200;
    std::atomic<TKEY> id{-1};
    std::deque<Probe> musts;
    // Fills the pool with probes, then starts a creator of a task that must run: true once it
    // waits for a thread. A task of an earlier test that ends meanwhile frees a thread the
    // creator takes at once; the pool is then filled again and another creator tried.
    auto waiting_creator = [&](std::vector<Probe>& probes, int& count, std::thread& creator) {
        for (int round = 0; round < 8; round++) {
            while (count < MOST && try_create_task(probe_task, &probes[count], 1) != NO_TASK)
                count++;
            Probe& m = musts.emplace_back();
            m.release.add();
            id = -1;
            creator = std::thread([&id, &m] { id = create_task(probe_task, &m, 1); });
            if (!wait_until([&] { return task_waiting_creators() >= 1 || id.load() != -1; }))
                return false;
            if (id.load() == -1) return true;
            creator.join();
            if (!m.started.wait_for(1)) return false;
        }
        return false;
    };
    std::vector<Probe> held(MOST);
    int n = 0;
    // A task that must run is never refused: its creator waits for a thread.
    std::thread creator;
    EXPECT_TRUE(waiting_creator(held, n, creator)) << "the creator did not wait";
    ASSERT_LT(n, MOST);
    ASSERT_GE(n, 1);
    for (int i = 0; i < n; i++)
        held[i].release.add();
    if (creator.joinable()) creator.join();
    EXPECT_NE(id.load(), NO_TASK);
    EXPECT_TRUE(musts.back().started.wait_for(1));
    EXPECT_TRUE(wait_until([] { return task_waiting_creators() == 0; }));
    for (int i = 0; i < n; i++)
        ASSERT_TRUE(held[i].started.wait_for(1));
    for (int i = 0; i < n; i++)
        ASSERT_TRUE(wait_until([&] { return thread_exist(held[i].id) == -1; }));
    for (Probe& m : musts)
        ASSERT_TRUE(wait_until([&] { return thread_exist(m.id) == -1; }));
    // A raised bound lets a waiting creator start a thread at once.
    n = 0;
    std::vector<Probe> again(MOST);
    std::thread creator2;
    EXPECT_TRUE(waiting_creator(again, n, creator2));
    set_task_thread_limit(old);
    if (creator2.joinable()) creator2.join();
    EXPECT_NE(id.load(), NO_TASK);
    EXPECT_TRUE(musts.back().started.wait_for(1));
    for (int i = 0; i < n; i++)
        again[i].release.add();
    for (int i = 0; i < n; i++)
        ASSERT_TRUE(again[i].started.wait_for(1));
    for (int i = 0; i < n; i++)
        ASSERT_TRUE(wait_until([&] { return thread_exist(again[i].id) == -1; }));
    for (Probe& m : musts)
        ASSERT_TRUE(wait_until([&] { return thread_exist(m.id) == -1; }));
}

TEST(Task, ThreadOutsideTheTableAskingForItselfPanics) {
    // The child is forked from a plain thread, which the task table does not know.
    ChildResult r1, r2;
    std::thread t([&] {
        r1 = run_in_child([] { get_tid(); });
        r2 = run_in_child([] { get_pri(0); });
    });
    t.join();
    EXPECT_EQ(r1.exit_status, 1);
    EXPECT_EQ(r1.err, panic_banner("get_tid", r1.pid));
    EXPECT_EQ(r2.exit_status, 1);
    EXPECT_EQ(r2.err, panic_banner("get_pri(OTHER)", r2.pid));
}

namespace {

// Bytes of live tracked blocks attributed to a site.
int64_t site_bytes(const char* file, int line) {
    for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m))
        if (m->line == line && strcmp(m->file, file) == 0) return m->size;
    return 0;
}

struct Ring {
    const char* site;
    int count;         // buffers to hand to the ring
    int64_t after[2];  // site bytes after the 50th and after the last buffer
    Counter filled;
    Counter release;
};

void fill_ring(intptr_t data) {
    auto* r = reinterpret_cast<Ring*>(data);
    for (int i = 1; i <= r->count; i++) {
        set_buffer(xx_d_alloc(100, r->site, 1));
        if (i == 50) r->after[0] = site_bytes(r->site, 1);
    }
    r->after[1] = site_bytes(r->site, 1);
    r->filled.add();
    r->release.wait_for(1);
}

}  // namespace

TEST(TempRing, FiftyFirstBufferFreesTheOldestOfThatTaskOnly) {
    auto* a = new Ring{"ring-test-a", 50, {}, {}, {}};
    auto* b = new Ring{"ring-test-b", 51, {}, {}, {}};
    TKEY ida = create_task(fill_ring, a, 1);
    ASSERT_TRUE(a->filled.wait_for(1));
    TKEY idb = create_task(fill_ring, b, 1);
    ASSERT_TRUE(b->filled.wait_for(1));
    EXPECT_EQ(a->after[1], 50 * 100);
    EXPECT_EQ(b->after[0], 50 * 100);
    EXPECT_EQ(b->after[1], 50 * 100);                   // the 51st freed the first
    EXPECT_EQ(site_bytes("ring-test-a", 1), 50 * 100);  // b's calls left a's ring alone

    // When a task ends, its ring is emptied before its thread goes idle.
    a->release.add();
    b->release.add();
    ASSERT_TRUE(wait_until([&] { return thread_exist(ida) == -1 && thread_exist(idb) == -1; }));
    EXPECT_EQ(site_bytes("ring-test-a", 1), 0);
    EXPECT_EQ(site_bytes("ring-test-b", 1), 0);
    delete a;
    delete b;
}

namespace {

struct AreaRec {
    THREAD_AREA_HEADER h;
    int value;
};

Counter closed;
THREAD_AREA area_kind = {};

void close_area(THREAD_AREA_HEADER* rec) {
    EXPECT_EQ(reinterpret_cast<AreaRec*>(rec)->value, 1);
    closed.add();
}

struct AreaUse {
    TKEY tid = 0;
    bool same = false;
    bool zeroed = false;
    Counter ready;
    Counter release;
};

void use_area(intptr_t data) {
    auto* u = reinterpret_cast<AreaUse*>(data);
    auto* rec = static_cast<AreaRec*>(get_my_area(&area_kind));
    u->zeroed = rec->value == 0;
    u->tid = rec->h.tid;
    rec->value = 1;
    u->same = get_my_area(&area_kind) == rec;
    u->ready.add();
    u->release.wait_for(1);
}

int count_rec(THREAD_AREA_HEADER* rec, void* work) {
    (void)rec;
    ++*static_cast<int*>(work);
    return 0;
}

}  // namespace

TEST(ThreadArea, EachTaskHasItsOwnRecordClosedWhenTheTaskEnds) {
    THREAD_AREA param = {};
    param.close_gc = close_area;
    param.area_size = sizeof(AreaRec);
    param.ent_size = 3;
    init_thread_area(&area_kind, &param);
    init_thread_area(&area_kind, &param);  // a second call leaves the kind alone

    int closed_before = closed.get();
    auto* u = new AreaUse[4];
    TKEY ids[4];
    for (int i = 0; i < 4; i++)
        ids[i] = create_task(use_area, &u[i], 1);
    for (int i = 0; i < 4; i++)
        ASSERT_TRUE(u[i].ready.wait_for(1));
    for (int i = 0; i < 4; i++) {
        EXPECT_TRUE(u[i].zeroed);
        EXPECT_TRUE(u[i].same);
        EXPECT_EQ(u[i].tid, ids[i]);
    }
    int n = 0;
    EXPECT_EQ(scan_ta(&area_kind, count_rec, &n), 0);
    EXPECT_EQ(n, 4);
    for (int i = 0; i < 4; i++)
        u[i].release.add();
    ASSERT_TRUE(closed.wait_for(closed_before + 4));
    ASSERT_TRUE(wait_until([&] {
        for (TKEY id : ids)
            if (thread_exist(id) == 0) return false;
        return true;
    }));
    n = 0;
    scan_ta(&area_kind, count_rec, &n);
    EXPECT_EQ(n, 0);
    delete[] u;
}
