#include "base/queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/task.h"
#include "base/url.h"
#include "longchar/longchar.h"
#include "support/full_pool.h"
#include "support/sync_util.h"

namespace {

// A long-character key built from ASCII text.
struct LKey {
    L_CHAR s[64];
    explicit LKey(const char* t) {
        size_t i = 0;
        for (; t[i]; ++i)
            s[i] = static_cast<unsigned char>(t[i]);
        s[i] = 0;
    }
};

struct TNode {
    Q_HEADER h;
    int value;
    int producer;
    std::atomic<bool> ready;
};

TNode* node(int value, int pri = 0, L_CHAR* key = nullptr) {
    TNode* n = static_cast<TNode*>(new_queue_node(sizeof(TNode)));
    n->value = value;
    n->h.pri = pri;
    n->h.key = key;
    return n;
}

// Takes the next node without waiting and returns its value (-1 when empty).
int take(SYS_QUEUE* q, QUEUE_COND cond = nullptr, void* work = nullptr) {
    TNode* n = reinterpret_cast<TNode*>(delete_queue(q, cond, work, 0));
    if (!n) return -1;
    EXPECT_EQ(n->h.ins, nullptr);
    EXPECT_EQ(n->h.next, nullptr);
    int v = n->value;
    d_f_ree(n);
    return v;
}

std::vector<int> drain(SYS_QUEUE* q) {
    std::vector<int> out;
    for (int v; (v = take(q)) >= 0;)
        out.push_back(v);
    return out;
}

int value_is(SYS_QUEUE*, Q_HEADER* n, void* work) {
    return reinterpret_cast<TNode*>(n)->value == *static_cast<int*>(work) ? 0 : -1;
}

int odd_stop_at_third(SYS_QUEUE*, Q_HEADER* n, void* work) {
    int* seen = static_cast<int*>(work);
    if (++*seen == 3) return 0x7FFFFFFF;
    return reinterpret_cast<TNode*>(n)->value % 2 ? 0 : -1;
}

TEST(Queue, OrdersFifoLifoAndBothPriorityOrders) {
    init_queue();  // in the program the interpreter runtime starts the queues
    SYS_QUEUE q{};
    setup_queue(&q);
    for (int i = 1; i <= 4; ++i)
        ASSERT_EQ(insert_queue(&q, node(i), 0), 0);
    TNode* queued = reinterpret_cast<TNode*>(q.head);
    EXPECT_EQ(queued->h.ins, &q);
    EXPECT_GT(queued->h.line, 0);
    EXPECT_EQ(q.total_cnt, 4);
    EXPECT_EQ(drain(&q), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(q.tail, nullptr);
    EXPECT_EQ(take(&q), -1);

    q.flags = QUEUE_LIFO;
    for (int i = 1; i <= 4; ++i)
        insert_queue(&q, node(i), 0);
    EXPECT_EQ(drain(&q), (std::vector<int>{4, 3, 2, 1}));

    // Priorities 1, 3, 3, 2 queued as values 1, 2, 3, 4.
    const int pris[] = {1, 3, 3, 2};
    q.flags = QUEUE_PRI;
    for (int i = 0; i < 4; ++i)
        insert_queue(&q, node(i + 1, pris[i]), 0);
    EXPECT_EQ(drain(&q), (std::vector<int>{2, 3, 4, 1}));
    q.flags = QUEUE_PRI_LIFO;
    for (int i = 0; i < 4; ++i)
        insert_queue(&q, node(i + 1, pris[i]), 0);
    EXPECT_EQ(reinterpret_cast<TNode*>(q.tail)->value, 1);
    EXPECT_EQ(drain(&q), (std::vector<int>{3, 2, 4, 1}));

    // Positions: beyond the end appends and becomes the tail; the FIFO append then follows it.
    q.flags = QUEUE_FIFO;
    insert_queue(&q, node(1), 0);
    insert_queue(&q, node(2), 0);
    TNode* far = node(9);
    ASSERT_EQ(insert_queue_offset(&q, &far->h, 10, 0), 0);
    EXPECT_EQ(q.tail, &far->h);
    insert_queue_offset(&q, &node(5)->h, 1, 0);
    insert_queue_offset(&q, &node(0)->h, 0, 0);
    insert_queue(&q, node(3), 0);
    EXPECT_EQ(check_queue(&q, nullptr, nullptr), 6);
    int seen = 0;
    // Values 0 1 5 2 9 3: the third node stops the count, so only the odd 1 is counted.
    EXPECT_EQ(check_queue(&q, odd_stop_at_third, &seen), 1);

    // Taking by condition from the middle and at the tail keeps the tail exact.
    int want = 5;
    EXPECT_EQ(take(&q, value_is, &want), 5);
    want = 3;
    EXPECT_EQ(take(&q, value_is, &want), 3);
    EXPECT_EQ(take(&q, value_is, &want), -1);
    insert_queue(&q, node(4), 0);
    EXPECT_EQ(reinterpret_cast<TNode*>(q.tail)->value, 4);
    EXPECT_EQ(drain(&q), (std::vector<int>{0, 1, 2, 9, 4}));
    EXPECT_EQ(release_queue(&q), 0);
}

// A node queued at an offset may stand out of the priority order; the next node is still placed
// by a walk from the head, not behind a tail of no higher priority. Once the queue has emptied,
// insertions go on as before.
TEST(Queue, PriorityOrderWalksFromTheHeadAfterAnOffsetInsertion) {
    init_queue();
    SYS_QUEUE q{};
    q.flags = QUEUE_PRI;
    setup_queue(&q);
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        ASSERT_EQ(insert_queue(&q, node(1, 5), 0), 0);                // A(5)
        ASSERT_EQ(insert_queue_offset(&q, &node(2, 1)->h, 0, 0), 0);  // B(1) at the head
        ASSERT_EQ(insert_queue(&q, node(3, 3), 0), 0);                // C(3): before B
        ASSERT_EQ(insert_queue(&q, node(4, 4), 0), 0);                // D(4): before C
        ASSERT_EQ(insert_queue(&q, node(5, 0), 0), 0);                // E(0): at the tail
        EXPECT_EQ(reinterpret_cast<TNode*>(q.tail)->value, 5);
        EXPECT_EQ(drain(&q), (std::vector<int>{4, 3, 2, 1, 5}));
    }
    // Emptied, the queue is sorted again: equal priorities keep their arrival order.
    for (int i = 1; i <= 3; i++)
        ASSERT_EQ(insert_queue(&q, node(i, 2), 0), 0);
    ASSERT_EQ(insert_queue(&q, node(4, 7), 0), 0);
    EXPECT_EQ(drain(&q), (std::vector<int>{4, 1, 2, 3}));
    EXPECT_EQ(release_queue(&q), 0);
}

// The values of the queued nodes, head first.
int collect(SYS_QUEUE*, Q_HEADER* n, void* work) {
    static_cast<std::vector<int>*>(work)->push_back(reinterpret_cast<TNode*>(n)->value);
    return 1;
}

std::vector<int> order_of(SYS_QUEUE* q) {
    std::vector<int> v;
    check_queue(q, collect, &v);
    return v;
}

// Both priority orders against a list that places each node by walking from the head, with many
// priorities at once (more than the queue keeps runs for), nodes taken from the middle, an
// insertion at an offset that breaks the order, and the queue emptied and filled again.
TEST(Queue, PriorityOrdersKeepTheirPlacesUnderAnyMix) {
    init_queue();
    std::mt19937 rng(60);
    for (int order : {QUEUE_PRI, QUEUE_PRI_LIFO}) {
        for (int pris : {1, 6, 3 * QUEUE_PRI_RUNS}) {
            SCOPED_TRACE(std::to_string(order) + " " + std::to_string(pris));
            SYS_QUEUE q{};
            q.flags = order;
            setup_queue(&q);
            struct Item {
                int value, pri;
            };
            std::vector<Item> model;
            auto place = [&](int pri) {
                // As a walk from the head places a node: behind every node of higher priority
                // (and of equal priority in the first-come order), also while a node queued at
                // an offset stands out of order.
                size_t i = 0;
                while (i < model.size() &&
                       (order == QUEUE_PRI ? model[i].pri >= pri : model[i].pri > pri))
                    i++;
                return i;
            };
            int next = 0;
            for (int step = 0; step < 3000; step++) {
                unsigned r = rng() % 100;
                if (step == 1500 && !model.empty()) {
                    // A node at an offset: the order is broken until the queue empties.
                    int pri = 1000;
                    ASSERT_EQ(insert_queue_offset(&q, &node(next, pri)->h, 1, 0), 0);
                    model.insert(model.begin() + std::min<size_t>(1, model.size()),
                                 Item{next++, pri});
                } else if (r < 55) {
                    int pri = static_cast<int>(rng() % pris);
                    ASSERT_EQ(insert_queue(&q, node(next, pri), 0), 0);
                    model.insert(model.begin() + static_cast<long>(place(pri)), Item{next++, pri});
                } else if (r < 75 && !model.empty()) {
                    ASSERT_EQ(take(&q), model.front().value);
                    model.erase(model.begin());
                } else if (!model.empty()) {
                    size_t at = rng() % model.size();
                    int want = model[at].value;
                    ASSERT_EQ(take(&q, value_is, &want), want);
                    model.erase(model.begin() + static_cast<long>(at));
                }
                if (step % 500 == 499) {
                    // Emptied now and then: the runs start afresh.
                    for (; !model.empty(); model.erase(model.begin()))
                        ASSERT_EQ(take(&q), model.front().value);
                }
                std::vector<int> want;
                for (const Item& it : model)
                    want.push_back(it.value);
                ASSERT_EQ(order_of(&q), want) << "step " << step;
                ASSERT_EQ(check_queue(&q, nullptr, nullptr), static_cast<int>(model.size()));
            }
            drain(&q);
            EXPECT_EQ(release_queue(&q), 0);
        }
    }
}

TEST(Queue, KeyCountsAndLimits) {
    init_queue();
    LKey a("a"), b("b"), zz("zz");
    SYS_QUEUE q{};
    q.key_limit = 2;
    q.total_limit = 5;
    setup_queue(&q);
    ASSERT_EQ(insert_queue(&q, node(1, 0, a.s), 0), 0);
    ASSERT_EQ(insert_queue(&q, node(2, 0, a.s), 0), 0);
    TNode* third = node(3, 0, a.s);
    EXPECT_EQ(insert_queue(&q, third, 0), -1);  // the key is full: nothing changes
    EXPECT_EQ(third->h.ins, nullptr);
    EXPECT_EQ(get_key_count(&q, a.s), 2);
    EXPECT_EQ(q.total_cnt, 2);
    EXPECT_EQ(insert_queue(&q, third, 2), 0);  // 2 ignores the limits
    EXPECT_EQ(get_key_count(&q, a.s), 3);

    EXPECT_EQ(get_key_count(&q, zz.s), 0);
    EXPECT_EQ(get_key_limit(&q, zz.s), 2.0f);
    EXPECT_EQ(set_key_limit(&q, zz.s, 9.0f), -1);
    EXPECT_EQ(set_key_limit(&q, a.s, 4.0f), 0);
    EXPECT_EQ(get_key_limit(&q, a.s), 4.0f);
    EXPECT_EQ(insert_queue(&q, node(4, 0, a.s), 0), 0);  // room again under the raised limit
    TNode* refused = node(5, 0, a.s);
    EXPECT_EQ(insert_queue(&q, refused, 0), -1);
    d_f_ree(refused);

    // The total limit counts keyless nodes as well.
    EXPECT_EQ(insert_queue(&q, node(6), 0), 0);
    EXPECT_EQ(q.total_cnt, 5);
    TNode* over = node(7, 0, b.s);
    EXPECT_EQ(insert_queue(&q, over, 0), -1);
    EXPECT_EQ(get_key_count(&q, b.s), 0);  // a refused node counts nothing
    EXPECT_EQ(insert_queue(&q, over, 2), 0);
    EXPECT_EQ(get_key_count(&q, b.s), 1);

    // Taking by key lowers that key's count; an emptied key keeps its entry.
    EXPECT_EQ(take(&q, sq_key_cond, b.s), 7);
    EXPECT_EQ(take(&q, sq_key_cond, b.s), -1);
    EXPECT_EQ(get_key_count(&q, a.s), 4);
    EXPECT_EQ(take(&q), 1);
    EXPECT_EQ(get_key_count(&q, a.s), 3);
    EXPECT_EQ(release_queue(&q), -1);  // still holds nodes
    drain(&q);
    EXPECT_EQ(get_key_count(&q, a.s), 0);
    testing::internal::CaptureStdout();
    print_key_list(&q);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "KEY\n\tb 0 0\n\ta 0 0\nKEY END\n");
    EXPECT_EQ(release_queue(&q), 0);
}

// Counts worker starts in the Counter the queue's work points to.
void count_start(intptr_t data) {
    static_cast<Counter*>(reinterpret_cast<SYS_QUEUE*>(data)->work)->add();
}

TEST(Queue, OneWorkerPerNewKeyAndReleaseStartsAnother) {
    init_queue();
    LKey k1("k1"), k2("k2");
    Counter* starts = new Counter;  // left to late tasks should the test fail
    SYS_QUEUE q{};
    q.key_func = count_start;
    q.work = starts;
    q.pri = 2;
    setup_queue(&q);
    insert_queue(&q, node(1, 0, k1.s), 0);
    ASSERT_TRUE(starts->wait_for(1));
    insert_queue(&q, node(2, 0, k1.s), 0);  // known key: no worker
    insert_queue(&q, node(3, 0, k2.s), 0);
    ASSERT_TRUE(starts->wait_for(2));

    // Claims come newest key first; with every key claimed there is nothing to claim.
    L_CHAR* c1 = touch_qkey(&q);
    L_CHAR* c2 = touch_qkey(&q);
    ASSERT_TRUE(c1 && c2);
    EXPECT_EQ(l_strcmp(c1, k2.s), 0);
    EXPECT_EQ(l_strcmp(c2, k1.s), 0);
    EXPECT_EQ(touch_qkey(&q), nullptr);
    EXPECT_EQ(get_active_que_thread(&q), 2);
    testing::internal::CaptureStdout();
    print_key_list(&q);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "KEY\n\tk2 1 1\n\tk1 2 1\nKEY END\n");

    // A drained key is removed at release; a key with nodes left gets a fresh worker.
    EXPECT_EQ(take(&q, sq_key_cond, c1), 3);
    release_qkey(&q, c1);
    EXPECT_EQ(get_active_que_thread(&q), 1);
    EXPECT_EQ(take(&q, sq_key_cond, c2), 1);
    release_qkey(&q, c2);
    ASSERT_TRUE(starts->wait_for(3));
    EXPECT_EQ(get_active_que_thread(&q), 0);
    L_CHAR* again = touch_qkey(&q);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(l_strcmp(again, k1.s), 0);
    EXPECT_EQ(take(&q, sq_key_cond, again), 2);
    release_qkey(&q, again);
    testing::internal::CaptureStdout();
    print_key_list(&q);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "KEY\nKEY END\n");
    d_f_ree(c1);
    d_f_ree(c2);
    d_f_ree(again);
    // No start beyond the three counted comes in late.
    EXPECT_FALSE(starts->wait_for(4, 500));
    EXPECT_EQ(release_queue(&q), 0);
    delete starts;
}

TEST(Queue, AKeyLeftWithoutAWorkerGetsOneOnceAThreadIsFree) {
    init_queue();
    LKey k("late"), k2("again");
    Counter* starts = new Counter;  // left to late tasks should the test fail
    SYS_QUEUE q{};
    q.key_func = count_start;
    q.work = starts;
    q.pri = 2;
    setup_queue(&q);
    {
        FullPool pool;
        ASSERT_GE(pool.held(), 1);
        ASSERT_LT(pool.held(), 200);
        // The insert holds the queue's lock, which workers take: it does not wait for a thread,
        // and the key is not lost either.
        EXPECT_EQ(insert_queue(&q, node(1, 0, k.s), 0), 0);
        EXPECT_EQ(task_waiting_creators(), 0);
        pool.free();
        EXPECT_TRUE(starts->wait_for(1));
    }
    L_CHAR* c = touch_qkey(&q);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(take(&q, sq_key_cond, c), 1);
    // A release that leaves nodes of its key wants a fresh worker: without a thread it is owed.
    insert_queue(&q, node(2, 0, k.s), 0);
    {
        FullPool pool;
        release_qkey(&q, c);
        EXPECT_EQ(get_active_que_thread(&q), 0);
        pool.free();
        EXPECT_TRUE(starts->wait_for(2));
    }
    d_f_ree(c);
    c = touch_qkey(&q);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(take(&q, sq_key_cond, c), 2);
    release_qkey(&q, c);
    d_f_ree(c);
    // Threads free again: a new key gets its worker at once.
    insert_queue(&q, node(3, 0, k2.s), 0);
    EXPECT_TRUE(starts->wait_for(3));
    c = touch_qkey(&q);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(take(&q, sq_key_cond, c), 3);
    release_qkey(&q, c);
    d_f_ree(c);
    EXPECT_TRUE(wait_until([&] { return get_active_que_thread(&q) == 0; }));
    EXPECT_EQ(release_queue(&q), 0);
    delete starts;
}

// Keyed queue served by real workers while several producers fill it.
constexpr int KEYS = 5;
struct WorkerState {
    SYS_QUEUE q{};
    LKey keys[KEYS] = {LKey("k0"), LKey("k1"), LKey("k2"), LKey("k3"), LKey("k4")};
    std::atomic<int> active[KEYS] = {};
    std::atomic<int> overlaps{0};
    std::atomic<int> null_claims{0};
    std::atomic<long> sum{0};
    std::atomic<int> runs{0};
    std::atomic<int> finished{0};
    Counter processed;
    Counter producers_done;
};

void keyed_worker(intptr_t data) {
    SYS_QUEUE* q = reinterpret_cast<SYS_QUEUE*>(data);
    WorkerState* st = static_cast<WorkerState*>(q->work);
    st->runs++;
    L_CHAR* key = touch_qkey(q);
    if (!key) {
        st->null_claims++;
        st->finished++;
        return;
    }
    int idx = key[1] - '0';
    if (st->active[idx].fetch_add(1) != 0) st->overlaps++;
    while (Q_HEADER* h = delete_queue(q, sq_key_cond, key, 0)) {
        TNode* n = reinterpret_cast<TNode*>(h);
        if (n->h.key != st->keys[idx].s) st->overlaps++;
        st->sum += n->value;
        d_f_ree(n);
        st->processed.add();
    }
    st->active[idx]--;
    release_qkey(q, key);
    d_f_ree(key);
    st->finished++;
}

constexpr int PER_PRODUCER = 400;
void keyed_producer(intptr_t data) {
    WorkerState* st = reinterpret_cast<WorkerState*>(data);
    static std::atomic<int> next_id{0};
    int id = next_id++;
    for (int i = 0; i < PER_PRODUCER; ++i) {
        // Wait for room: the key limit and the total limit both hold producers back.
        insert_queue(&st->q, node(1, 0, st->keys[(i + id) % KEYS].s), 1);
    }
    st->producers_done.add();
}

TEST(Queue, WorkersServeEveryKeyOneAtATimeUnderSeveralProducers) {
    init_queue();
    WorkerState* st = new WorkerState;
    st->q.key_func = keyed_worker;
    st->q.key_limit = 3;
    st->q.total_limit = 8;
    st->q.work = st;
    setup_queue(&st->q);
    for (int i = 0; i < 4; ++i)
        create_task(keyed_producer, st, 2);
    ASSERT_TRUE(st->producers_done.wait_for(4));
    ASSERT_TRUE(st->processed.wait_for(4 * PER_PRODUCER));
    EXPECT_EQ(st->sum.load(), 4 * PER_PRODUCER);
    // Every worker found a key and no key ever had two workers.
    ASSERT_TRUE(wait_until([&] { return st->finished.load() == st->runs.load(); }));
    EXPECT_EQ(st->null_claims.load(), 0);
    EXPECT_EQ(st->overlaps.load(), 0);
    EXPECT_EQ(get_active_que_thread(&st->q), 0);
    EXPECT_EQ(st->q.total_cnt, 0);
    EXPECT_EQ(release_queue(&st->q), 0);
    delete st;
}

// Plain producers and consumers over one FIFO queue with a small total limit.
struct FlowState {
    SYS_QUEUE q{};
    std::atomic<int> next_id{0};
    std::atomic<long> sum{0};
    std::atomic<int> count{0};
    std::atomic<int> order_faults{0};
    Counter done;
    int per_producer = 0;
};

void flow_producer(intptr_t data) {
    FlowState* st = reinterpret_cast<FlowState*>(data);
    int id = st->next_id++;
    for (int i = 0; i < st->per_producer; ++i) {
        TNode* n = node(i);
        n->producer = id;
        insert_queue(&st->q, n, 1);
    }
    st->done.add();
}

void flow_consumer(intptr_t data) {
    FlowState* st = reinterpret_cast<FlowState*>(data);
    int last[8];
    for (int& l : last)
        l = -1;
    for (;;) {
        TNode* n = reinterpret_cast<TNode*>(delete_queue(&st->q, nullptr, nullptr, 1));
        if (n->value < 0) {
            d_f_ree(n);
            break;
        }
        // FIFO: one consumer sees the items of one producer in the order they were queued.
        if (n->value <= last[n->producer]) st->order_faults++;
        last[n->producer] = n->value;
        st->sum += n->value;
        st->count++;
        d_f_ree(n);
    }
    st->done.add();
}

void drained(intptr_t data) {
    FlowState* st = reinterpret_cast<FlowState*>(data);
    wait_queue_total_cnt(&st->q, 1, 2);  // below 1: empty
    st->done.add();
}

TEST(Queue, ProducersWaitForRoomAndConsumersGetEveryItemOnce) {
    init_queue();
    for (int workers : {1, 4}) {
        FlowState* st = new FlowState;
        st->q.total_limit = 4;
        st->per_producer = 3000;
        setup_queue(&st->q);
        for (int i = 0; i < workers; ++i)
            create_task(flow_consumer, st, 2);
        for (int i = 0; i < workers; ++i)
            create_task(flow_producer, st, 2);
        ASSERT_TRUE(st->done.wait_for(workers));
        create_task(drained, st, 2);
        ASSERT_TRUE(st->done.wait_for(workers + 1));
        for (int i = 0; i < workers; ++i)
            insert_queue(&st->q, node(-1), 2);
        ASSERT_TRUE(st->done.wait_for(2 * workers + 1));
        long n = st->per_producer;
        EXPECT_EQ(st->count.load(), workers * n);
        EXPECT_EQ(st->sum.load(), workers * n * (n - 1) / 2);
        EXPECT_EQ(st->order_faults.load(), 0);
        // Every sleeper on the queue counted itself out again (wake-ups go only to counted ones).
        EXPECT_EQ(st->q.sleep_cnt, 0);
        EXPECT_EQ(release_queue(&st->q), 0);
        delete st;
    }
}

struct WaitState {
    SYS_QUEUE q{};      // conditional takers
    SYS_QUEUE timed{};  // takers with time limits, on an empty queue
    std::atomic<int> got_seven{0};
    std::atomic<int> got_ready{0};
    std::atomic<int> timed_nulls{0};
    std::atomic<int> timed_next{1};
    std::atomic<int> ready_checks{0};
    Counter cond_done;
    Counter timed_done;
};

int ready_cond(SYS_QUEUE*, Q_HEADER* n, void* work) {
    TNode* t = reinterpret_cast<TNode*>(n);
    if (t->value == 42) static_cast<WaitState*>(work)->ready_checks++;
    return t->ready.load() ? 0 : -1;
}

// The first conditional taker waits for the value 7, the second for a node marked ready.
void cond_taker(intptr_t data) {
    WaitState* st = reinterpret_cast<WaitState*>(data);
    int want = 7;
    bool first = st->cond_done.get() == 0;
    TNode* n = reinterpret_cast<TNode*>(first ? delete_queue(&st->q, value_is, &want, 1)
                                              : delete_queue(&st->q, ready_cond, st, 1));
    (first ? st->got_seven : st->got_ready) = n->value;
    d_f_ree(n);
    st->cond_done.add();
}

// Waits 1, 2 or 3 seconds on the empty queue, by the order in which the takers start.
void timed_taker(intptr_t data) {
    WaitState* st = reinterpret_cast<WaitState*>(data);
    int secs = st->timed_next++;
    if (delete_queue(&st->timed, nullptr, nullptr, -secs) == nullptr) st->timed_nulls++;
    st->timed_done.add();
}

TEST(Queue, ConditionalAndTimedTakers) {
    init_queue();
    WaitState* st = new WaitState;
    setup_queue(&st->q);
    setup_queue(&st->timed);

    // A taker that waits for one value is served when it comes, past the others.
    create_task(cond_taker, st, 2);
    for (int i = 0; i < 3; ++i)
        create_task(timed_taker, st, 2);
    insert_queue(&st->q, node(1), 0);
    insert_queue(&st->q, node(2), 0);
    insert_queue(&st->q, node(7), 0);
    ASSERT_TRUE(st->cond_done.wait_for(1));
    EXPECT_EQ(st->got_seven.load(), 7);
    EXPECT_EQ(check_queue(&st->q, nullptr, nullptr), 2);

    // A node that comes to meet the condition without any queue operation is still found: the
    // waiting taker looks again every second while nodes are queued.
    TNode* late = node(42);
    insert_queue(&st->q, late, 0);
    create_task(cond_taker, st, 2);
    ASSERT_TRUE(wait_until([&] { return st->ready_checks.load() > 0; }));
    late->ready = true;

    // Takers with different time limits on one queue each end at their own limit: the first to
    // leave does not take away the time-outs the others still wait for.
    ASSERT_TRUE(st->cond_done.wait_for(2));
    ASSERT_TRUE(st->timed_done.wait_for(3));
    EXPECT_EQ(st->got_ready.load(), 42);
    EXPECT_EQ(st->timed_nulls.load(), 3);

    // A bounded wait on an empty queue answers null.
    EXPECT_EQ(delete_queue(&st->timed, nullptr, nullptr, -1), nullptr);
    EXPECT_EQ(st->timed.timed_wait_cnt, 0);
    EXPECT_EQ(st->timed.sleep_cnt, 0);
    EXPECT_EQ(st->q.sleep_cnt, 0);
    drain(&st->q);
    EXPECT_EQ(release_queue(&st->q), 0);
    EXPECT_EQ(release_queue(&st->timed), 0);
    delete st;
}

int visits = 0;
void count_visit(Q_HEADER*) {
    ++visits;
}
int gets = 0;
void count_get(Q_HEADER*) {
    ++gets;
}

// One visit of the collector: the number of nodes it was shown.
int collector_visit() {
    visits = 0;
    gc_queue_lock_high();
    gc_queue_lock();
    gc_queue();
    gc_queue_unlock();
    return visits;
}

TEST(Queue, CollectorVisitsEveryQueuedNodeOfItsQueues) {
    init_queue();
    SYS_QUEUE plain{}, high{}, gc{}, gc_high{};
    high.flags = QUEUE_HIGH;
    gc.gc_func = count_visit;
    gc.gc_get = count_get;
    gc_high.flags = QUEUE_HIGH | QUEUE_LIFO;
    gc_high.gc_func = count_visit;
    for (SYS_QUEUE* q : {&plain, &high, &gc, &gc_high})
        setup_queue(q);
    EXPECT_EQ(plain.target_lock, queue_lock);
    EXPECT_EQ(high.target_lock, queue_lock_high);
    EXPECT_EQ(gc.target_lock, queue_lock_for_gc);
    EXPECT_EQ(gc_high.target_lock, queue_lock_for_gc_high);
    for (int i = 0; i < 3; ++i) {
        for (SYS_QUEUE* q : {&plain, &high, &gc, &gc_high})
            insert_queue(q, node(i), 0);
    }
    gets = 0;
    EXPECT_EQ(collector_visit(), 6);

    EXPECT_EQ(take(&gc), 0);
    EXPECT_EQ(gets, 1);
    EXPECT_EQ(release_queue(&gc), -1);  // not empty: stays registered and visited
    drain(&gc_high);
    EXPECT_EQ(release_queue(&gc_high), 0);
    EXPECT_EQ(collector_visit(), 2);
    for (SYS_QUEUE* q : {&plain, &high, &gc}) {
        drain(q);
        EXPECT_EQ(release_queue(q), 0);
    }
}

std::string server_key(const char* url, const char* prefix) {
    URL u;
    get_url2(&u, LKey(url).s);
    L_CHAR* k = get_server_key(&u, prefix);
    std::string out = n_string(std_cm, k);
    d_f_ree(k);
    free_url(&u);
    return out;
}

TEST(Queue, ServerKeysNameProtocolServerPortAndAgent) {
    EXPECT_EQ(server_key("qvp://host:9000/@ag/db/res", "pfx"), "qvp://host:9000/@ag-pfx");
    EXPECT_EQ(server_key("qvp://host:9000/@ag/db/res", nullptr), "qvp://host:9000/@ag");
    EXPECT_EQ(server_key("http://h/x", "p"), "http://h:80/@-p");  // well-known port filled in
    EXPECT_EQ(server_key("x/y", "p"), "-p");                      // does not print: no protocol
    EXPECT_EQ(server_key("x/y", nullptr), "-");
}

TEST(QueueDeathTest, BrokenInvariantsEndTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    init_queue();
    static SYS_QUEUE q{};
    setup_queue(&q);
    EXPECT_DEATH(
        {
            TNode* n = node(1);
            insert_queue(&q, n, 0);
            insert_queue(&q, n, 0);
        },
        "_insert_queue");
    LKey nokey("nokey");
    EXPECT_DEATH(release_qkey(&q, nokey.s), "key");
    EXPECT_DEATH(gc_queue_lock(), "required gc_queue_lock_high");
    EXPECT_EQ(release_queue(&q), 0);
}

}  // namespace
