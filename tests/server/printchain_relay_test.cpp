// PrintChain sync="entry" on a relay thread: the process's standard output and error go up
// chains to the interpreter whose relay thread asked, and sync="exit" returns once the output
// written so far has been carried.
#include <gtest/gtest.h>

#include <string>

#include "base/endian.h"
#include "server_util.h"
#include "stream/chain_stream.h"
#include "support/chain_fake.h"
#include "support/sync_util.h"

namespace {

// The text of the n-th reply of p to cmd, or "" when none came in time.
std::string ask(PipeInterp& p, int n, const std::string& cmd) {
    p.send(cmd + "\n");
    std::string head = "<Result> " + std::to_string(n) + " ";
    std::string end = "</Result>\n";
    p.read_until(head);
    size_t at = p.got.find(head);
    if (at == std::string::npos) return "";
    // Earlier replies end the same way: read on (at most 20 s) until this one has ended.
    for (int i = 0; p.got.find(end, at) == std::string::npos && i < 1000; i++)
        p.read_until("\x01", 20);
    size_t stop = p.got.find(end, at);
    return stop == std::string::npos ? "" : p.got.substr(at + head.size(), stop - at - head.size());
}

void std_streams(STREAM** out, STREAM** err) {
    TaskLockGuard g(stream_lock);
    *out = s_stdout;
    *err = s_stderr;
}

// The ASCII characters of big-endian long characters.
std::string ascii(const std::string& bytes) {
    std::string r;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        uint32_t c = get_be32(reinterpret_cast<const uint8_t*>(bytes.data() + i));
        r += c < 128 ? static_cast<char>(c) : '?';
    }
    return r;
}

}  // namespace

TEST(PrintChainRelay, EntryHandsStandardOutputUpTheCallersChain) {
    STREAM *out0, *err0;
    std_streams(&out0, &err0);
    ChainFake fake;
    fake.slow(20);
    PipeInterp p;
    ASSERT_TRUE(p.open());
    EXPECT_EQ(ask(p, 1, "<PrintChain sync=\"entry\"/>"), "()");
    STREAM *out1, *err1;
    std_streams(&out1, &err1);
    ASSERT_EQ(s_is_chain(out1), 1);
    ASSERT_EQ(s_is_chain(err1), 1);
    EXPECT_EQ(ask(p, 2, "^(PrintStd \"hi\")"), "()");
    EXPECT_EQ(ask(p, 3, "<PrintChain sync=\"exit\"/>"), "()");
    EXPECT_EQ(ascii(fake.bytes("o")), "^\"hi\"\n");
    for (const ChainCall& c : fake.calls())
        EXPECT_EQ(c.iid, p.id);
    {
        TaskLockGuard g(stream_lock);
        s_stdout = out0;
        s_stderr = err0;
    }
    EXPECT_TRUE(run_task([&] {
        s_close(out1);
        s_close(err1);
    }));
    p.end_input();
    EXPECT_TRUE(wait_closed(p.id));
}
