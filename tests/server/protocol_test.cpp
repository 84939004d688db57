// The line protocol through interpreters on pipes: replies in order with the code-set
// announcement, item errors, the protocol words, the reply writer's code-set switch, and the
// tick's silent time-out.
#include "server/protocol.h"

#include <gtest/gtest.h>

#include <string>

#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/getcode.h"
#include "server_util.h"
#include "stream/stream.h"
#include "stream/string_stream.h"
#include "support/sync_util.h"

namespace {

std::string announce(CODE_METHOD* cm) {
    char buf[32];
    snprintf(buf, sizeof buf, "&cx%x;", cm->lccode);
    return buf;
}

QV_INTERPRETER info_of(int id) {
    QV_INTERPRETER info{};
    get_qvi_info(&info, static_cast<uint32_t>(id));
    return info;
}

TEST(Protocol, RepliesInOrderAfterTheAnnouncement) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    p.send("(+ 1 2)\n(* 2\n 3)\n");
    p.read_until("<Result> 2 6</Result>\n");
    EXPECT_EQ(p.got, announce(std_cm) + "<Result> 1 3</Result>\n<Result> 2 6</Result>\n");
    QV_INTERPRETER i = info_of(p.id);
    EXPECT_NE(i.acc_file, nullptr);  // the parser's source record, for the collector
    EXPECT_EQ(i.a_type, QVA_PIPE);
    EXPECT_EQ(i.thread_mode, QVTM_RELAY);
    EXPECT_NE(i.relay_thread, 0);
    EXPECT_EQ(i.flags & QVIF_CODE_OWED, 0);  // announced once
    // Commands arriving later are answered as they come; the announcement is made once.
    p.send("(- 9)\n");
    p.read_until("<Result> 4 -9</Result>\n");
    EXPECT_EQ(p.got, announce(std_cm) +
                         "<Result> 1 3</Result>\n<Result> 2 6</Result>\n<Result> 4 -9</Result>\n");
    p.end_input();
    EXPECT_TRUE(wait_closed(p.id));
}

TEST(Protocol, CollectionWhileInterpretersRun) {
    // The collector takes the interpreters' locks while a front thread waits for input and a
    // relay thread for commands; afterwards both go on with their environment intact.
    PipeInterp p;
    ASSERT_TRUE(p.open());
    p.send("^(define kept (quote (a b c)))\n");
    p.read_until("</Result>\n");
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(run_task([] { gc_tick_notin_tick(nullptr, 0); }));
    EXPECT_EQ(mem_check(nullptr), 0);
    p.send("^kept\n");
    p.read_until("<Result> 2 (a b c)</Result>\n");
    EXPECT_NE(p.got.find("<Result> 2 (a b c)</Result>\n"), std::string::npos) << p.got;
    p.end_input();
    EXPECT_TRUE(wait_closed(p.id));
}

TEST(Protocol, ItemErrorsKeepTheirTurn) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    p.send("(+ 1 2)\n</x>\n(+ 3 4)\n");
    p.read_until("<Result> 3 7</Result>\n");
    size_t first = p.got.find("<Result> 1 3</Result>");
    size_t err = p.got.find("\"not correspond tag ( to\" \"x\"");
    size_t last = p.got.find("<Result> 3 7</Result>");
    ASSERT_NE(first, std::string::npos) << p.got;
    ASSERT_NE(err, std::string::npos) << p.got;
    EXPECT_LT(first, err);
    EXPECT_LT(err, last);
    p.end_input();
    EXPECT_TRUE(wait_closed(p.id));
}

TEST(Protocol, PermissionAndResultWords) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    p.send("<Permission>Allow</Permission>\n<Result> 9 whatever</Result>\n(+ 1 1)\n");
    p.read_until("</Result>\n");
    // Neither word is answered; the permission is recorded.
    EXPECT_EQ(p.got, announce(std_cm) + "<Result> 3 2</Result>\n");
    EXPECT_EQ(info_of(p.id).flags & QVIF_PERM_MASK, QVIF_PERM_ALLOW);
    // Once an answer is recorded, a later Permission is an ordinary command.
    p.send("<Permission>Busy</Permission>\n");
    p.read_until("Permission))</Result>\n");
    EXPECT_NE(p.got.find("<Result> 4 "), std::string::npos) << p.got;
    EXPECT_NE(p.got.find("0x80030705"), std::string::npos) << p.got;  // Permission is unbound
    EXPECT_EQ(info_of(p.id).flags & QVIF_PERM_MASK, QVIF_PERM_ALLOW);
    p.end_input();
    EXPECT_TRUE(wait_closed(p.id));
}

// Waits until the relay thread is evaluating a command (the queue empty, the silence counter
// off).
bool evaluating(int id) {
    return wait_until([&] {
        QV_INTERPRETER i = info_of(id);
        return i.fifo_head == nullptr && i.silent_cnt == -1 && i.inp_line > 0;
    });
}

TEST(Protocol, RepliesHeldForQueuedCommandsGoOutBehindALongOne) {
    // Replies to commands with more queued behind them may be held back to be written together;
    // behind a command that runs on, they still go out, in order and unchanged.
    PipeInterp p;
    ASSERT_TRUE(p.open());
    p.send("(+ 1 2)\n(+ 2 3)\n(while 1 0)\n");
    p.read_until("<Result> 2 5</Result>\n");
    EXPECT_EQ(p.got, announce(std_cm) + "<Result> 1 3</Result>\n<Result> 2 5</Result>\n");
    ASSERT_TRUE(evaluating(p.id));
    p.send("<Cancel/>\n");
    p.read_until("<Result> 3 ()</Result>\n");
    EXPECT_TRUE(wait_closed(p.id));
}

TEST(Protocol, CancelStopsALongEvaluation) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    p.send("(while 1 0)\n");
    ASSERT_TRUE(evaluating(p.id));
    p.send("<Cancel/>\n");
    // The cancelled command is answered with an empty value and ends the relay loop; the
    // interpreter then closes.
    p.read_until("</Result>\n");
    EXPECT_EQ(p.got, announce(std_cm) + "<Result> 1 ()</Result>\n");
    EXPECT_TRUE(wait_closed(p.id));
}

TEST(Protocol, BreakClosesTheInterpreter) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    p.send("(while 1 0)\n");
    ASSERT_TRUE(evaluating(p.id));
    p.send("<Break/>\n(+ 2 2)\n");
    EXPECT_TRUE(wait_closed(p.id));
    p.read_until("never", 500);
    EXPECT_EQ(p.got.find("<Result> 2"), std::string::npos) << p.got;
}

TEST(Protocol, AnOutputLockLeftByThePeerIsReleasedAtTheEndOfItsInput) {
    // A vertical tab makes the front thread take the output lock; the character 14 that gives it
    // back never comes. The reply waits for the lock until the input ends, then goes out, and
    // the interpreter closes.
    PipeInterp p;
    ASSERT_TRUE(p.open());
    p.send("\x0b(+ 1 2)\n");
    p.read_until("\x0b");
    p.end_input();
    p.read_until("</Result>\n");
    EXPECT_NE(p.got.find("<Result> 1 3</Result>\n"), std::string::npos) << p.got;
    EXPECT_TRUE(wait_closed(p.id));
}

TEST(Protocol, AStrayUnlockFromThePeerLeavesOthersLocksAlone) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    // Held by this test's task: the peer's character 14 must not release it.
    ASSERT_EQ(lock_qvi_out_iid((uint32_t)p.id), 0);
    p.send("\x0e(+ 1 2)\n");
    p.read_until("</Result>", 500);
    EXPECT_EQ(p.got.find("</Result>"), std::string::npos) << p.got;
    ASSERT_EQ(unlock_qvi_out_iid((uint32_t)p.id), 0);
    p.read_until("</Result>\n");
    EXPECT_NE(p.got.find("<Result> 1 3</Result>\n"), std::string::npos) << p.got;
}

TEST(Protocol, SilentTimeoutClosesAnIdleInterpreter) {
    PipeInterp p;
    ASSERT_TRUE(p.open());
    ASSERT_TRUE(run_task([&] {
        TaskLockGuard g(qvi_lock);
        _search_qvi_id(static_cast<uint32_t>(p.id))->silent_timeout = 1;
    }));
    // The tick counts seconds of real silence: after one second without input it closes.
    bool closed = wait_until(
        [&] {
            run_task(qvi_tick);
            return check_iid(static_cast<uint32_t>(p.id)) == 0;
        },
        20000);
    EXPECT_TRUE(closed);
}

// The reply writer on a string stream, for an internal interpreter of the calling task.
struct ReplyCase {
    std::string text;
    void run(QV_SEXP* (*make)(), int result_flag, bool owed) {
        ASSERT_TRUE(run_task([&] {
            gc_push(nullptr, nullptr, "reply");
            QV_INTERPRETER* q = new_qv_interpreter();
            q->a_type = QVA_INTERNAL;
            q->env = vxlisp_top_env0;
            int id = setup_i(q);
            ASSERT_GT(id, 0);
            STREAM* st = s_open_string_write(search_cm("UTF-8"));
            {
                TaskLockGuard g(qvi_lock);
                q = _search_qvi_id(static_cast<uint32_t>(id));
                q->out = st;
                q->result_flag = static_cast<uint8_t>(result_flag);
                if (owed) q->flags |= QVIF_CODE_OWED;
            }
            _reply(q, 7, make());
            {
                TaskLockGuard g(qvi_lock);
                q->out = nullptr;
            }
            const char* s = s_get_string(st);
            text = s ? s : "";
            s_close(st);
            gc_pop(nullptr, nullptr);
            close_self_interpreter();
        }));
    }
};

TEST(Protocol, ReplyWriter) {
    ReplyCase c;
    c.run([] { return get_integer(3, nullptr); }, 1, false);
    EXPECT_EQ(c.text, "<Result> 7 3</Result>\n");
    c.run([] { return get_integer(3, nullptr); }, 0, false);
    EXPECT_EQ(c.text, "3\n");
    c.run([] { return get_integer(3, nullptr); }, 1, true);
    EXPECT_EQ(c.text, "&cxdfff0016;<Result> 7 3</Result>\n");
    // A break or cancel error is answered with an empty value.
    c.run(
        [] { return get_error(nullptr, 0, QVE_CANCEL_CHECK, l_string(std_cm, "cancel"), nullptr); },
        1, false);
    EXPECT_EQ(c.text, "<Result> 7 ()</Result>\n");
    // A value whose characters the proper code covers differently is wrapped in a switch of the
    // output's code set and a switch back.
    static const L_CHAR jis[] = {0xC0010000 | 0x3441, 0};
    CODE_METHOD* proper = search_cm_by_main_code(0xC0010000);
    ASSERT_NE(proper, nullptr);
    c.run([] { return get_string(jis); }, 1, false);
    ASSERT_NE(proper, search_cm("UTF-8"));
    EXPECT_EQ(c.text.rfind(announce(proper) + "\n<Result> 7 ^\"", 0), 0u) << c.text;
    std::string tail = "\"</Result>\n&cxdfff0016;\n";
    ASSERT_GT(c.text.size(), tail.size());
    EXPECT_EQ(c.text.substr(c.text.size() - tail.size()), tail) << c.text;
}

TEST(Protocol, ProperCode) {
    ASSERT_TRUE(run_task([] {
        gc_push(nullptr, nullptr, "code");
        EXPECT_EQ(get_proper_code(n_get_string("plain ascii"), 10), LC_ASCII);
        EXPECT_EQ(get_proper_code(nullptr, 10), LC_ASCII);
        QV_SEXP* decl = set_attribute(n_get_symbol("?xml"), l_string(std_cm, "encoding"),
                                      l_string(std_cm, "UTF-8"));
        EXPECT_EQ(get_proper_code(list(list(decl, nullptr), nullptr), 10),
                  search_cm("UTF-8")->lccode);
        static const L_CHAR jis[] = {'a', 0xC0010000 | 0x3441, 0xC0010000 | 0x3442, 0};
        EXPECT_EQ(get_proper_code(get_string(jis), 10), search_cm_by_main_code(0xC0010000)->lccode);
        // An output whose method writes the set keeps it; one that does not is switched.
        EXPECT_EQ(get_proper_code(get_string(jis), 10, &euc_cm), euc_cm.lccode);
        EXPECT_EQ(get_proper_code(get_string(jis), 10, &utf8_cm),
                  search_cm_by_main_code(0xC0010000)->lccode);
        // Only the first `limit` strings are examined.
        QV_SEXP* l = list(n_get_string("x"), get_string(jis), nullptr);
        EXPECT_EQ(get_proper_code(l, 1), LC_ASCII);
        gc_pop(nullptr, nullptr);
    }));
}

}  // namespace

TEST(Protocol, APipelinedBurstIsAnsweredInOrderAroundProtocolWords) {
    // More commands at once than one hand-over to the relay thread takes, with protocol words
    // among them that act in their place: every command is answered once, in order, on its line,
    // and a definition is seen by the commands behind it.
    PipeInterp p;
    ASSERT_TRUE(p.open());
    std::string burst, want = announce(std_cm);
    for (int line = 1; line <= 90; line++) {
        if (line == 40) {
            burst += "<Permission>Allow</Permission>\n";
        } else if (line == 60) {
            burst += "<Result> 99 ignored</Result>\n";
        } else if (line == 10) {
            burst += "(define v 5)\n";
            want += "<Result> 10 ^v</Result>\n";
        } else {
            burst += line > 10 && line % 7 == 0 ? "(+ v " + std::to_string(line) + ")\n"
                                                : "(+ 0 " + std::to_string(line) + ")\n";
            int value = line > 10 && line % 7 == 0 ? line + 5 : line;
            want +=
                "<Result> " + std::to_string(line) + " " + std::to_string(value) + "</Result>\n";
        }
    }
    p.send(burst);
    p.read_until("<Result> 90 90</Result>\n");
    EXPECT_EQ(p.got, want);
    EXPECT_EQ(info_of(p.id).flags & QVIF_PERM_MASK, QVIF_PERM_ALLOW);
    // Commands that have arrived are answered while the head of the next one is still coming.
    p.send("(+ 1 2)\n(+ 2 2)\n(\n");
    p.read_until("<Result> 92 4</Result>\n");
    EXPECT_NE(p.got.find("<Result> 91 3</Result>\n<Result> 92 4</Result>\n"), std::string::npos);
    p.send("+ 3 4)\n");
    p.read_until("<Result> 94 7</Result>\n");
    EXPECT_NE(p.got.find("<Result> 94 7</Result>\n"), std::string::npos) << p.got;
    p.end_input();
    EXPECT_TRUE(wait_closed(p.id));
}

TEST(Protocol, APinnedStreamOutlivesItsCloseUntilUnpinned) {
    // A reply's stream pinned by its writer stays allocated through a close by another task and
    // past the cap on closed records, so no new stream can take its address meanwhile; the pin
    // refuses another opening's serial number.
    ASSERT_TRUE(run_task([] {
        auto stream_locked = [](auto fn) {
            TaskLockGuard g(stream_lock);
            return fn();
        };
        STREAM* st = s_open_string_write(std_cm);
        uint32_t serial = s_serial(st);
        S_FILE_THREAD pin, other;
        EXPECT_FALSE(pin_stream(st, serial + 1, &other));
        ASSERT_TRUE(pin_stream(st, serial, &pin));
        int keep_max = stream_locked([] { return zonbie_max; });
        int keep_life = stream_locked([] { return zonbie_life_time; });
        stream_locked([] { return zonbie_max = 0; });
        EXPECT_EQ(s_close(st), 0);
        s_close(s_open_string_write(std_cm));  // past the cap: a record with nobody inside goes
        zonbie_tick(0, 0);
        EXPECT_TRUE(stream_locked([&] { return _s_check_record(st); }));
        EXPECT_FALSE(s_exist_serial(st, serial));
        EXPECT_FALSE(pin_stream(st, serial, &other));
        unpin_stream(st, &pin);
        // Unpinned, it goes with the next reaping (which may lengthen the life time again).
        EXPECT_TRUE(wait_until([&] {
            stream_locked([] { return zonbie_life_time = 0; });
            zonbie_tick(0, 0);
            return !stream_locked([&] { return _s_check_record(st); });
        }));
        stream_locked([&] { return zonbie_max = keep_max; });
        stream_locked([&] { return zonbie_life_time = keep_life; });
    }));
}
