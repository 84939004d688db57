// Chain streams: what a carrier sends and in which batches, the refusals at open, the close that
// waits for delivery, writers racing a close, a carrier whose target answers with an error, and
// the standard output and error handed up a chain.
#include "stream/chain_stream.h"

#include <errno.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "lisp/collect.h"
#include "lisp/heap.h"
#include "longchar/codemethod.h"
#include "server/interp.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"
#include "stream_util.h"
#include "support/chain_fake.h"

namespace {

// The carriers run as internal interpreters: the interpreter table must exist.
class ChainTest : public testing::Test {
  protected:
    void SetUp() override {
        static bool table = false;
        if (!table) init_interpreter_table();
        table = true;
        streams_ = s_stream_nos();
        interps_ = get_launch_interpreter_nos();
    }
    // Every carrier has ended and closed its interpreter; no stream is left open.
    void TearDown() override {
        EXPECT_TRUE(wait_until([&] { return get_launch_interpreter_nos() == interps_; }, 20000));
        EXPECT_TRUE(wait_until([&] { return s_stream_nos() == streams_; }, 20000));
    }
    // Closes s on a task of its own; false when the close has not returned in time.
    static bool close_bounded(STREAM* s, int* ret = nullptr) {
        auto r = std::make_shared<std::atomic<int>>(-2);
        TaskRun t([s, r] { *r = s_close(s); });
        bool ok = t.wait(20000);
        if (ret) *ret = *r;
        return ok;
    }
    int streams_ = 0;
    int interps_ = 0;
};

std::string pattern(size_t n) {
    std::string r(n, '\0');
    for (size_t i = 0; i < n; i++)
        r[i] = static_cast<char>(i * 7 + i / 251);
    return r;
}

}  // namespace

TEST_F(ChainTest, WithoutACarrierTheOpenIsRefusedAndLaterOpensWork) {
    ChainFake fake;
    {
        FullPool pool;
        ASSERT_TRUE(pool.full());
        EXPECT_EQ(s_open_chain(4400, 'o'), nullptr);
        EXPECT_EQ(s_get_chain_from_iid(4400), nullptr);
        EXPECT_EQ(s_stream_nos(), streams_);
    }
    STREAM* s = s_open_chain(4400, 'o');
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s_write(s, "\0\0\0A", 4), 4);
    ASSERT_TRUE(close_bounded(s));
    EXPECT_EQ(fake.calls().size(), 1u);
}

TEST_F(ChainTest, OpenRefusalsAndLookUp) {
    EXPECT_EQ(s_open_chain(5, 'o'), nullptr) << "no sender installed";
    ChainFake fake;
    EXPECT_EQ(s_open_chain(5, 'x'), nullptr);
    EXPECT_EQ(s_open_chain(0, 'o'), nullptr);
    EXPECT_EQ(s_open_chain(-1, 'e'), nullptr);
    STREAM* s = s_open_chain(4321, 'e');
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s_is_chain(s), 1);
    EXPECT_EQ(s_get_chain_from_iid(4321), s);
    EXPECT_EQ(s_get_chain_from_iid(4322), nullptr);
    char c;
    EXPECT_EQ(s_read(s, &c, 1), 0);
    ASSERT_TRUE(close_bounded(s));
    EXPECT_EQ(s_get_chain_from_iid(4321), nullptr);
    EXPECT_EQ(s_is_chain(s), 0);
    EXPECT_TRUE(fake.calls().empty());
}

TEST_F(ChainTest, LargeWriteArrivesInOrderedBatches) {
    ChainFake fake;
    STREAM* s = s_open_chain(17, 'o');
    ASSERT_NE(s, nullptr);
    std::string data = pattern(10000);
    std::atomic<int> w{0};
    TaskRun t([&] { w = s_write(s, data.data(), static_cast<int>(data.size())); });
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(w.load(), 10000);
    EXPECT_EQ(s_flush(s), 0);
    std::vector<ChainCall> calls = fake.calls();
    EXPECT_LE(calls.size(), 3u);
    std::string got;
    for (const ChainCall& c : calls) {
        EXPECT_EQ(c.iid, 17);
        EXPECT_EQ(c.head, "PrintChain");
        EXPECT_EQ(c.channel, "o");
        EXPECT_LE(c.bytes.size(), 4096u);
        got += c.bytes;
    }
    EXPECT_TRUE(got == data);
    // Text goes in four-byte big-endian long characters.
    s_printf(s, "a%ls", std::vector<L_CHAR>{0xC0013021, 0}.data());
    EXPECT_EQ(s_flush(s), 0);
    EXPECT_EQ(fake.bytes().substr(10000), std::string("\0\0\0a\xC0\x01\x30\x21", 8));
    ASSERT_TRUE(close_bounded(s));
}

// Delivery writes to a stream, as the target's printing does: the close must not hold the
// stream lock while it waits for it.
TEST_F(ChainTest, CloseReturnsAfterDelivery) {
    ChainFake fake;
    fake.slow(100);
    STREAM* sink = s_open_string_write(std_cm);
    fake.sink(sink);
    STREAM* s = s_open_chain(3, 'o');
    ASSERT_NE(s, nullptr);
    std::string data = pattern(300);
    ASSERT_EQ(s_write(s, data.data(), 100), 100);
    ASSERT_EQ(s_write(s, data.data() + 100, 200), 200);
    int r = -2;
    ASSERT_TRUE(close_bounded(s, &r));
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(fake.bytes() == data);
    EXPECT_EQ(locked([sink] { return sink->str.size; }), 300);
    EXPECT_EQ(s_write(s, "x", 1), -1);
    EXPECT_EQ(s_flush(s), -1);
    s_close(sink);
}

// Writers of 8-byte records (writer number, then a big-endian sequence number) race a close
// while the target is slow enough for the buffer to fill. Every write that succeeded arrives
// once and in its writer's order; the first failure is followed only by failures.
TEST_F(ChainTest, WritersRacingCloseLoseNothingAndEnd) {
    ChainFake fake;
    fake.slow(1);
    STREAM* sink = s_open_string_write(std_cm);
    fake.sink(sink);
    STREAM* s = s_open_chain(9, 'o');
    ASSERT_NE(s, nullptr);
    constexpr int kWriters = 12;
    constexpr int kMax = 3000;
    std::atomic<int> total{0};
    std::vector<int> ok(kWriters, 0);
    std::vector<int> later_ok(kWriters, 1);
    std::vector<std::unique_ptr<TaskRun>> writers;
    for (int w = 0; w < kWriters; w++) {
        writers.push_back(std::make_unique<TaskRun>([&, w] {
            int seq = 0;
            for (; seq < kMax; seq++) {
                unsigned char rec[8] = {static_cast<unsigned char>(w), 0, 0, 0};
                put_be32(rec + 4, static_cast<uint32_t>(seq));
                if (s_write(s, rec, 8) != 8) break;
                total++;
            }
            ok[static_cast<size_t>(w)] = seq;
            if (seq < kMax) {
                unsigned char rec[8] = {};
                later_ok[static_cast<size_t>(w)] = s_write(s, rec, 8) == -1 ? 1 : 0;
            }
        }));
    }
    ASSERT_TRUE(wait_until([&] { return total.load() >= 2000; }));
    int r = -2;
    ASSERT_TRUE(close_bounded(s, &r));
    EXPECT_EQ(r, 0);
    for (auto& t : writers)
        ASSERT_TRUE(t->wait()) << "a writer did not end after the close";
    std::string got = fake.bytes();
    ASSERT_EQ(got.size() % 8, 0u);
    std::vector<int> next(kWriters, 0);
    bool in_order = true;
    for (size_t i = 0; i < got.size(); i += 8) {
        const uint8_t* rec = reinterpret_cast<const uint8_t*>(got.data() + i);
        ASSERT_LT(rec[0], kWriters);
        if (get_be32(rec + 4) != static_cast<uint32_t>(next[rec[0]])) in_order = false;
        next[rec[0]]++;
    }
    EXPECT_TRUE(in_order);
    for (int w = 0; w < kWriters; w++) {
        EXPECT_EQ(next[static_cast<size_t>(w)], ok[static_cast<size_t>(w)]) << "writer " << w;
        EXPECT_TRUE(later_ok[static_cast<size_t>(w)]) << "writer " << w;
    }
    s_close(sink);
}

TEST_F(ChainTest, ErrorAnswerEndsTheCarrierAndReleasesWriters) {
    ChainFake fake;
    fake.slow(20);
    fake.fail_from(2);
    STREAM* s = s_open_chain(11, 'e');
    ASSERT_NE(s, nullptr);
    std::string data = pattern(4096);
    ASSERT_EQ(s_write(s, data.data(), 4096), 4096);
    // More than the buffer holds: the writer waits for room until the carrier has ended.
    std::string big = pattern(20000);
    std::atomic<int> w{0};
    TaskRun t([&] { w = s_write(s, big.data(), static_cast<int>(big.size())); });
    ASSERT_TRUE(t.wait());
    EXPECT_EQ(w.load(), -1);
    ASSERT_TRUE(wait_until([&] { return s_exist(s) == 0; }, 20000)) << "the carrier closed it";
    EXPECT_EQ(s_write(s, "x", 1), -1);
    ASSERT_GE(fake.calls().size(), 1u);
    EXPECT_TRUE(fake.calls()[0].bytes == data);
    EXPECT_EQ(fake.calls()[0].channel, "e");
}

TEST_F(ChainTest, StandardOutputAndErrorUpAChain) {
    STREAM* out0 = locked([]() -> STREAM* { return s_stdout; });
    STREAM* err0 = locked([]() -> STREAM* { return s_stderr; });
    EXPECT_EQ(s_replace_std_chain(8), -1) << "no sender installed";
    ChainFake fake;
    ASSERT_EQ(s_replace_std_chain(8), 0);
    STREAM* out1 = locked([]() -> STREAM* { return s_stdout; });
    EXPECT_EQ(s_is_chain(out1), 1);
    s_printf(out1, "hi");
    EXPECT_EQ(s_flush(out1), 0);
    EXPECT_EQ(fake.bytes("o"), std::string("\0\0\0h\0\0\0i", 8));
    // A second replacement closes the first chains in the background.
    ASSERT_EQ(s_replace_std_chain(9), 0);
    EXPECT_TRUE(wait_until([&] { return s_exist(out1) == 0; }, 20000));
    // Carriers that meet an error give the places back to what they held at first.
    fake.fail_from(static_cast<int>(fake.calls().size()) + 1);
    STREAM* out2 = locked([]() -> STREAM* { return s_stdout; });
    STREAM* err2 = locked([]() -> STREAM* { return s_stderr; });
    s_printf(out2, "x");
    s_printf(err2, "y");
    EXPECT_TRUE(
        wait_until([&] { return locked([]() -> STREAM* { return s_stdout; }) == out0; }, 20000));
    EXPECT_TRUE(
        wait_until([&] { return locked([]() -> STREAM* { return s_stderr; }) == err0; }, 20000));
    EXPECT_TRUE(wait_until([&] { return s_exist(out2) == 0 && s_exist(err2) == 0; }, 20000));
}

// A long-lived stream: what each batch built is collected afterwards, so the language heap does
// not grow with the bytes carried.
TEST_F(ChainTest, ManyBatchesKeepTheHeapFlat) {
    ChainFake fake;
    STREAM* s = s_open_chain(12, 'o');
    ASSERT_NE(s, nullptr);
    std::string block = pattern(4096);
    auto carry = [&](int n) {
        for (int i = 0; i < n; i++) {
            ASSERT_EQ(s_write(s, block.data(), 4096), 4096);
            ASSERT_EQ(s_flush(s), 0);
        }
        gc_tick_notin_tick(nullptr, 0);
    };
    carry(50);
    int64_t before = get_malloc_count();
    carry(1000);
    EXPECT_LT(get_malloc_count() - before, 1 << 20);
    EXPECT_EQ(fake.bytes().size(), 1050u * 4096u);
    ASSERT_TRUE(close_bounded(s));
}

// A target that does not answer keeps the batch it was sent; the writers behind it fill the
// buffer and then go on without waiting (what does not fit is dropped), flushes return, and once
// the target answers it gets the queued bytes and then a note of how many characters were lost.
TEST_F(ChainTest, ATargetThatDoesNotAnswerHoldsUpNoWriter) {
    ChainFake fake;
    fake.hold();
    STREAM* s = s_open_chain(9, 'o');
    ASSERT_NE(s, nullptr);
    std::string first = pattern(S_CHAIN_BUF_SIZE);
    std::string queued = pattern(S_CHAIN_BUF_SIZE + 4).substr(4);
    std::string lost = pattern(20000);
    std::atomic<int> w1{0}, w2{0}, w3{0}, w4{0}, flushed{-2};
    {
        TaskRun t([&] {
            w1 = s_write(s, first.data(), static_cast<int>(first.size()));
            // The carrier has taken the first batch to the target, which keeps it.
            wait_until([&] { return fake.begun() == 1; }, 20000);
            w2 = s_write(s, queued.data(), static_cast<int>(queued.size()));
            w3 = s_write(s, lost.data(), static_cast<int>(lost.size()));
            w4 = s_write(s, "\0\0\0x\0\0\0y", 8);
            flushed = s_flush(s);
        });
        ASSERT_TRUE(t.wait(30000)) << "writers waited on a target that does not answer";
    }
    EXPECT_EQ(w1.load(), S_CHAIN_BUF_SIZE);
    EXPECT_EQ(w2.load(), S_CHAIN_BUF_SIZE);
    EXPECT_EQ(w3.load(), 20000);
    EXPECT_EQ(w4.load(), 8);
    EXPECT_EQ(flushed.load(), 0);
    EXPECT_EQ(fake.begun(), 1);
    fake.release();
    ASSERT_TRUE(close_bounded(s));
    std::string note =
        "\n[5002 characters of output dropped: the receiving interpreter did not "
        "answer in time]\n";
    std::string note_bytes;
    for (char ch : note)
        note_bytes += std::string("\0\0\0", 3) + ch;
    std::vector<ChainCall> calls = fake.calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_TRUE(calls[0].bytes == first);
    EXPECT_TRUE(calls[1].bytes == queued);
    EXPECT_EQ(calls[2].bytes, note_bytes);
}

namespace {

// A carrier whose target goes away while writers have bytes queued behind the batch it is
// carrying: the batch went to the target, the queued bytes and the note of those dropped come
// out where the standard output goes back to, in their order.
TEST_F(ChainTest, BytesQueuedBehindAGoneTargetComeOutWhereTheOutputGoesBack) {
    STREAM* out0 = locked([]() -> STREAM* { return s_stdout; });
    STREAM* home = s_open_string_write(&utf8_cm);
    ASSERT_EQ(s_replace_std_stream('o', home), 0);
    ChainFake fake;
    fake.hold();
    fake.fail_from(1);  // the target has gone: its answer, once it comes, is an error
    ASSERT_EQ(s_replace_std_chain(12), 0);
    STREAM* up = locked([]() -> STREAM* { return s_stdout; });
    s_printf(up, "carried");
    // The flush returns once the carrier counts as stalled on that batch.
    EXPECT_EQ(s_flush(up), 0);
    ASSERT_EQ(fake.begun(), 1);
    s_printf(up, "queued ");
    EXPECT_EQ(s_flush(up), 0);
    // More than the buffer holds: what does not fit is dropped and counted.
    std::string big(S_CHAIN_BUF_SIZE, 'x');
    s_printf(up, "%s", big.c_str());
    EXPECT_EQ(s_flush(up), 0);
    fake.release();
    EXPECT_TRUE(
        wait_until([&] { return locked([]() -> STREAM* { return s_stdout; }) == home; }, 20000));
    ASSERT_TRUE(wait_until([&] { return s_exist(up) == 0; }, 20000));
    const char* text = s_get_string(home);
    std::string got = text ? text : "";
    EXPECT_EQ(got.find("carried"), std::string::npos) << got;
    EXPECT_EQ(got.rfind("queued xxx", 0), 0u) << got.substr(0, 40);
    EXPECT_NE(got.find("characters of output dropped"), std::string::npos) << got.substr(0, 80);
    ASSERT_EQ(s_replace_std_stream('o', out0), 0);
    s_close(home);
}

}  // namespace
