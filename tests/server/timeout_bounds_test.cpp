// Every time-out a script, a peer or a setting chooses, taken at its bounds through the arithmetic
// that makes its deadline and the wait that uses it: 0 and negative counts end at once, 1 waits
// and ends by itself, and a huge count (past 32 bits, up to 2^63) stays a long wait that a cancel
// ends, never an instant one, a negative one or a wrapped deadline.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "base/tick.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "server/accept.h"
#include "server/interp.h"
#include "server/protocol.h"
#include "server_util.h"

namespace {

// How a wait ended: by itself with nil or a value, with an error code, or still running when the
// test gave up on it (a wait without end).
struct Outcome {
    int type = -1;
    uint32_t code = 0;
};

// Runs `text` (or, for an empty text, break_sleep of ms) in a task with an interpreter of its
// own. A wait expected to be long is cancelled once it has begun.
Outcome run_wait(const std::string& text, int64_t ms, bool long_wait) {
    auto out = std::make_shared<Outcome>();
    auto begun = std::make_shared<std::atomic<bool>>(false);
    Caller c([out, begun, text, ms] {
        QV_SEXP* r;
        begun->store(true);
        if (text.empty()) {
            r = break_sleep(list(n_get_symbol("x"), nullptr), ms);
        } else {
            QV_SEXP* forms = init_parse_text(text.c_str(), -1, "t.qv");
            r = eval(vxlisp_top_env1, get_type(forms) == QVT_PAIR ? forms->pair.car : nullptr);
        }
        out->type = get_type(r);
        if (out->type == QVT_ERROR) out->code = r->error.code;
    });
    if (long_wait) {
        EXPECT_TRUE(wait_until([&] { return begun->load() && *c.iid > 0; }));
        {
            TaskLockGuard g(qvi_lock);
            if (QV_INTERPRETER* q = _search_qvi_id(static_cast<uint32_t>(c.iid->load())))
                q->flags |= QVIF_CANCEL;
        }
        request_break_check();
    }
    if (!c.finished(30000)) return Outcome{};
    return *out;
}

TEST(TimeoutBounds, EveryWaitAtItsBoundsEndsAtOnceOrWhenCancelled) {
    constexpr int64_t kI32Max = INT32_MAX;
    const struct {
        const char* text;  // the count as a script writes it
        int64_t n;
        bool long_wait;  // past a second: ends only by the cancel
    } values[] = {
        {"0", 0, false},
        {"-1", -1, false},
        {"1", 1, false},
        {"2147483647", kI32Max, true},
        {"2147483648", kI32Max + 1, true},
        {"4294967296", int64_t{1} << 32, true},
        {"4294967297", (int64_t{1} << 32) + 1, true},
        {"9223372036854775807", INT64_MAX, true},
        {"-9223372036854775808", INT64_MIN, false},
    };
    const uint32_t clocks[] = {0, get_qvtime(), UINT32_MAX - 5};
    for (const auto& v : values) {
        SCOPED_TRACE(v.text);
        // The system time a wheel time-out, a queue wait or a child wait falls due: never before
        // now, now itself for 0 or less, and at most the last second instead of a wrap.
        for (uint32_t now : clocks) {
            int64_t want =
                std::min<int64_t>(int64_t{now} + std::clamp<int64_t>(v.n, 0, kI32Max), UINT32_MAX);
            EXPECT_EQ(qvtime_after(now, v.n), static_cast<uint32_t>(want)) << now;
        }
        EXPECT_EQ(clamp_wait_ms(v.n), std::clamp<int64_t>(v.n, 0, kI32Max * 1000));
        // The wait statement, Sleep and the interruptible sleep under both: a count of 0 or
        // less returns at once, 1 by itself, a huge one only by the cancel.
        Outcome w = run_wait("(wait " + std::string(v.text) + ")", 0, v.long_wait);
        Outcome s = run_wait("(Sleep " + std::string(v.text) + ")", 0, v.long_wait);
        Outcome b = run_wait("", v.n, v.long_wait);
        for (const Outcome& o : {w, b}) {
            EXPECT_EQ(o.type, v.long_wait ? QVT_ERROR : QVT_NIL);
            if (v.long_wait) {
                EXPECT_EQ(o.code, QVE_CANCEL_CHECK);
            }
        }
        EXPECT_EQ(s.type, v.long_wait ? QVT_ERROR : QVT_INTEGER);
        if (v.long_wait) {
            EXPECT_EQ(s.code, QVE_CANCEL_CHECK);
        }
        // A first-byte wait of 0 or less is no wait; a long one ends with the byte.
        if (v.n >= INT32_MIN && v.n <= kI32Max) {
            int sv[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
            std::atomic<int> got{-2};
            std::thread t([&] {
                uint8_t byte;
                got = accept_first_byte(sv[0], static_cast<int>(v.n), &byte);
            });
            if (v.long_wait || !wait_until([&] { return got.load() != -2; })) {
                EXPECT_EQ(write(sv[1], "x", 1), 1);
            }
            t.join();
            EXPECT_EQ(got.load(), v.long_wait ? 1 : 0);
            close(sv[0]);
            close(sv[1]);
        }
    }
    // Texts, floats and units: a count that is not an integer is refused by wait and converted
    // to whole seconds by Sleep.
    const struct {
        const char* form;
        bool long_wait;
        int type;
        uint32_t code;
    } forms[] = {
        {"(wait \"10\")", false, QVT_ERROR, QVE_TYPE_MISMATCH},
        {"(wait 1.5sec)", false, QVT_ERROR, QVE_TYPE_MISMATCH},
        {"(Sleep \"10\")", false, QVT_ERROR, QVE_TYPE_MISMATCH},
        {"(Sleep 0.5sec)", false, QVT_FLOAT, 0},
        {"(Sleep -1.5)", false, QVT_FLOAT, 0},
        {"(Sleep 1.5min)", true, QVT_ERROR, QVE_CANCEL_CHECK},
        {"(Sleep 1e300)", true, QVT_ERROR, QVE_CANCEL_CHECK},
    };
    for (const auto& f : forms) {
        Outcome o = run_wait(f.form, 0, f.long_wait);
        EXPECT_EQ(o.type, f.type) << f.form;
        EXPECT_EQ(o.code, f.code) << f.form;
    }
    // A connection time-out at the largest count, as a script or a peer may set it, goes through
    // the tick's arithmetic while a reply is being written and leaves the connection open.
    PipeInterp p;
    ASSERT_TRUE(p.open());
    auto id = static_cast<uint32_t>(p.id);
    for (int t : {INT32_MAX, INT32_MAX - 3600, 0}) {
        ASSERT_EQ(set_c_timeout(id, t), 0);
        {
            TaskLockGuard g(qvi_lock);
            QV_INTERPRETER* q = _search_qvi_id(id);
            ASSERT_NE(q, nullptr);
            q->flags |= QVIF_REPLYING;
        }
        qvi_tick();
        TaskLockGuard g(qvi_lock);
        QV_INTERPRETER* q = _search_qvi_id(id);
        ASSERT_NE(q, nullptr) << t;
        q->flags &= ~QVIF_REPLYING;
    }
}

}  // namespace
