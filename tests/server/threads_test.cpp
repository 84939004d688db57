// Thread, DelayAppend, KillThread and Sleep through running interpreters: many threads delivering,
// growing and being cancelled at once; consumers on other tasks waiting for one value; memory
// that stays flat over many threads; a Sleep ended by a peer's <Break/> or <Cancel/>.
#include <gtest/gtest.h>

#include <string>

#include "builtins/threads.h"
#include "lisp/collect.h"
#include "lisp/heap.h"
#include "server/interp.h"
#include "server_util.h"
#include "support/collections.h"
#include "support/sync_util.h"

namespace {

// Short Sleep steps for the test, restored afterwards; every test ends with no thread left.
class Threads : public testing::Test {
  protected:
    void SetUp() override { set_sleep_step_ms(20); }
    void TearDown() override {
        EXPECT_TRUE(wait_until([] { return live_thread_count() == 0; }));
        set_sleep_step_ms(0);
    }
};

// The text of the n-th reply of p (after sending cmd), or "" when it did not come in time.
std::string ask(PipeInterp& p, int n, const std::string& cmd) {
    if (!cmd.empty()) p.send(cmd + "\n");
    std::string head = "<Result> " + std::to_string(n) + " ";
    size_t at = std::string::npos, end = std::string::npos;
    // Reads on in short slices (at most about 30 s) until the reply has ended.
    for (int i = 0; i < 600 && end == std::string::npos; i++) {
        at = p.got.find(head);
        if (at != std::string::npos) end = p.got.find("</Result>\n", at);
        if (end == std::string::npos) p.read_until("\x01", 50);
    }
    if (end == std::string::npos) return "";
    return p.got.substr(at + head.size(), end - at - head.size());
}

std::string repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; i++)
        r += s;
    return r;
}

TEST_F(Threads, ManyThreadsDeliverGrowAndAreCancelledAtOnce) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    constexpr int kThreads = 40;
    // Results of plain threads and of threads that grow their result piece by piece, one piece
    // each among them a non-list last piece, all started before any is read.
    EXPECT_EQ(ask(p, 1, "(List " + repeat("(Thread (+ 40 2))", kThreads) + ")"),
              "(" + repeat("42 ", kThreads - 1) + "42)");
    std::string grow = "(Thread (DelayAppend (List 1 2)) (DelayAppend (List 3)) 9)";
    EXPECT_EQ(ask(p, 2, "(List " + repeat(grow, kThreads) + ")"),
              "(" + repeat("(1 2 3) ", kThreads - 1) + "(1 2 3))");
    std::string last = "(Thread (DelayAppend (List 1)) (DelayAppend 2) (DelayAppend 3))";
    EXPECT_EQ(ask(p, 3, "(List " + repeat(last, kThreads) + ")"),
              "(" + repeat("(1 .2) ", kThreads - 1) + "(1 .2))");
    // Threads that would sleep for ever, cancelled by their starter: each ends with the cancel
    // error as its result.
    EXPECT_EQ(
        ask(p, 4,
            "(Define held (IgnoreDelay (List " +
                repeat("(Thread (DelayAppend (List 0)) (Sleep 100000) 1)", kThreads) + ") ()))"),
        "^held");
    EXPECT_EQ(ask(p, 5, "(KillThread)"), "()");
    std::string r = ask(p, 6, "(List held)");
    size_t cancels = 0;
    for (size_t at = r.find("0x80011405"); at != std::string::npos;
         at = r.find("0x80011405", at + 1))
        cancels++;
    EXPECT_EQ(cancels, static_cast<size_t>(kThreads)) << r;
}

TEST_F(Threads, ConsumersOnOtherTasksWaitForTheValue) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    // The producer waits until told to finish; the consumers, threads of their own, all look at
    // its result meanwhile. KillThread on the held value is the signal that ends the producer.
    EXPECT_EQ(ask(p, 1, "(Define h (IgnoreDelay (Thread (Sleep 100000) 1) ()))"), "^h");
    // (IgnoreDelay first rest) pairs values without looking at them: c holds 8 consumers.
    std::string consumers = "()";
    for (int i = 0; i < 8; i++)
        consumers = "(IgnoreDelay (Thread (car h)) " + consumers + ")";
    EXPECT_EQ(ask(p, 2, "(Define c " + consumers + ")"), "^c");
    EXPECT_EQ(ask(p, 3, "(KillThread h)"), "()");
    std::string r = ask(p, 4, "(List (ListLength c) c)");
    size_t cancels = 0;
    for (size_t at = r.find("0x80011405"); at != std::string::npos;
         at = r.find("0x80011405", at + 1))
        cancels++;
    EXPECT_EQ(r.substr(0, 3), "(8 ") << r;
    EXPECT_EQ(cancels, 8u) << r;

    // A consumer waits for a value delivered later by another thread's piece.
    EXPECT_EQ(
        ask(p, 5, "(Define g (IgnoreDelay (Thread (Sleep 3) (DelayAppend (List 5 6)) 7) ()))"),
        "^g");
    EXPECT_EQ(ask(p, 6, "(List (Thread (car g)) (Thread (car g)))"), "((5 6) (5 6))");
}

TEST_F(Threads, MemoryStaysFlatOverManyThreads) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    // Each round: 30 threads, each delivering 20 pieces of 500 characters, read and dropped.
    std::string body =
        "(ListLength (Thread " + repeat("(DelayAppend (List (CutString s 0 500)))", 20) + "))";
    ASSERT_EQ(ask(p, 1, "(Define s \"" + std::string(600, 'x') + "\")"), "^s");
    std::string want = "(" + repeat("20 ", 29) + "20)";
    auto round = [&](int n) { return ask(p, n, "(List " + repeat(body, 30) + ")"); };
    int n = 2;
    for (int i = 0; i < 2; i++, n++)
        ASSERT_EQ(round(n), want);
    ASSERT_TRUE(wait_until([] { return live_thread_count() == 0; }));
    gc_tick_notin_tick(nullptr, 0);
    int64_t before = get_malloc_count();
    for (int i = 0; i < 8; i++, n++)
        ASSERT_EQ(round(n), want);
    ASSERT_TRUE(wait_until([] { return live_thread_count() == 0; }));
    gc_tick_notin_tick(nullptr, 0);
    int64_t growth = get_malloc_count() - before;
    // Eight rounds deliver about 20 MB of text; what stays must not scale with it.
    EXPECT_LT(growth, 4 << 20) << growth;
}

// The collector marks a thread's record from its starter's frame as soon as the record exists,
// on the collector's own thread: threads started while collections run one after another are
// whole when marked (the thread sanitizer names the race when a field is filled after the
// record became reachable) and each delivers.
TEST_F(Threads, ThreadsStartedWhileCollectionsRunAreMarkedWhole) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    BackgroundCollections collections(std::chrono::microseconds(50));
    constexpr int kThreads = 20;
    const std::string want = "(" + repeat("42 ", kThreads - 1) + "42)";
    for (int n = 1; n <= 60 || (collections.count() < 20 && n <= 1000); n++)
        ASSERT_EQ(ask(p, n, "(List " + repeat("(Thread (+ 40 2))", kThreads) + ")"), want);
    EXPECT_TRUE(collections.end());
}

// Either word from the peer ends a long Sleep at its next step, and with it the interpreter's
// evaluation loop: the interpreter closes long before the Sleep would end.
TEST_F(Threads, SleepEndsOnBreakOrCancelFromThePeer) {
    set_sleep_step_ms(0);  // whole seconds, as in service
    for (const char* word : {"<Cancel/>\n", "<Break/>\n"}) {
        PipeInterp p;
        ASSERT_TRUE(p.open());
        p.send("(Sleep 100000)\n");
        ASSERT_TRUE(wait_until([&] {
            QV_INTERPRETER i{};
            return get_qvi_info(&i, static_cast<uint32_t>(p.id)) == 0 && i.silent_cnt == -1 &&
                   i.inp_line > 0;
        }));
        p.send(word);
        EXPECT_TRUE(wait_closed(p.id)) << word;
    }
}

}  // namespace
