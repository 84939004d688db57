// Interpreter records and their table: internal interpreters, look-ups, ids, thread
// registration, the command queue across tasks, the output lock, the break check and closing.
#include "server/interp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "base/textutil.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "server/protocol.h"
#include "server_util.h"
#include "support/sync_util.h"

namespace {

// Opens an internal interpreter for the calling task.
int open_internal() {
    QV_INTERPRETER* q = new_qv_interpreter();
    q->a_type = QVA_INTERNAL;
    q->env = vxlisp_top_env0;
    return setup_i(q);
}

TEST(Interp, InternalInterpreterBelongsToItsTask) {
    ASSERT_TRUE(run_task([] {
        EXPECT_EQ(get_my_qvi(), nullptr);
        EXPECT_EQ(get_my_iid(), 0);
        int id = open_internal();
        ASSERT_GT(id, 0);
        EXPECT_EQ(get_my_iid(), id);
        EXPECT_EQ(check_iid(static_cast<uint32_t>(id)), 1);
        QV_INTERPRETER info;
        ASSERT_EQ(get_qvi_info(&info, 0), 0);
        EXPECT_EQ(info.id, static_cast<uint32_t>(id));
        EXPECT_EQ(info.a_type, QVA_INTERNAL);
        EXPECT_EQ(info.thread_mode, QVTM_OWN_TASK);
        EXPECT_EQ(info.front_thread, get_tid());
        EXPECT_EQ(info.result_flag, 1);
        EXPECT_EQ(info.port, 9090);
        EXPECT_EQ(info.connection_timeout, -1);
        EXPECT_EQ(info.silent_timeout, -1);
        EXPECT_EQ(get_c_timeout(static_cast<uint32_t>(id)), -1);
        EXPECT_EQ(set_c_timeout(static_cast<uint32_t>(id), 30), 0);
        EXPECT_EQ(get_c_timeout(static_cast<uint32_t>(id)), 30);
        // Internal interpreters never become the main one.
        EXPECT_EQ(get_main_interpreter(), keeper_id());
        close_self_interpreter();
        EXPECT_EQ(get_my_qvi(), nullptr);
        EXPECT_EQ(check_iid(static_cast<uint32_t>(id)), 0);
        EXPECT_EQ(get_qvi_info(&info, static_cast<uint32_t>(id)), -1);
        EXPECT_EQ(get_c_timeout(static_cast<uint32_t>(id)), -1);
    }));
}

TEST(Interp, IdsAreUniqueAndIterationVisitsEveryRecord) {
    constexpr int N = 25;  // more than the buckets
    Counter opened, release, closed;
    std::vector<int> ids(N);
    for (int i = 0; i < N; i++) {
        run_task([] {}, 1);  // keeps task ids apart
        struct Arg {
            int* id;
            Counter* opened;
            Counter* release;
            Counter* closed;
        };
        auto* a = new Arg{&ids[i], &opened, &release, &closed};
        create_task(
            [](intptr_t d) {
                auto* a = reinterpret_cast<Arg*>(d);
                *a->id = open_internal();
                a->opened->add();
                a->release->wait_for(1);
                close_self_interpreter();
                a->closed->add();
                delete a;
            },
            a, 2);
    }
    ASSERT_TRUE(opened.wait_for(N));
    std::set<int> unique(ids.begin(), ids.end());
    EXPECT_EQ(unique.size(), static_cast<size_t>(N));
    std::set<int> seen;
    for (uint32_t id = get_next_iid(0); id != 0; id = get_next_iid(static_cast<int>(id)))
        seen.insert(static_cast<int>(id));
    for (int id : ids)
        EXPECT_TRUE(seen.count(id)) << id;
    EXPECT_TRUE(seen.count(keeper_id()));
    EXPECT_GE(get_launch_interpreter_nos(), N + 1);
    release.add();
    ASSERT_TRUE(closed.wait_for(N));
    for (int id : ids)
        EXPECT_EQ(search_qvi_id(static_cast<uint32_t>(id)), nullptr);
    // The counter wraps from the largest positive id to 1 and passes over the ids in use.
    ASSERT_TRUE(run_task([] {
        std::set<uint32_t> used;
        for (uint32_t id = get_next_iid(0); id != 0; id = get_next_iid(static_cast<int>(id)))
            used.insert(id);
        uint32_t free_id = 1;
        while (used.count(free_id))
            free_id++;
        {
            TaskLockGuard g(qvi_lock);
            qvi_id = INT32_MAX;
        }
        int last = open_internal();
        EXPECT_EQ(last, INT32_MAX);
        close_self_interpreter();
        // The lowest free id (or one freed meanwhile by another test's interpreter ending).
        int next = open_internal();
        EXPECT_GE(next, 1);
        EXPECT_LE(next, static_cast<int>(free_id));
        EXPECT_NE(next, keeper_id());
        close_self_interpreter();
    }));
}

TEST(Interp, CommandQueueAcrossTasks) {
    // A consumer task sleeps in get_qv_fifo; the commands come out in order; a close request
    // ends the wait.
    std::atomic<QV_INTERPRETER*> rec{nullptr};
    Counter ready, got_all, ended;
    std::vector<long long> seen;
    struct Arg {
        std::atomic<QV_INTERPRETER*>* rec;
        Counter *ready, *got_all, *ended;
        std::vector<long long>* seen;
    } arg{&rec, &ready, &got_all, &ended, &seen};
    create_task(
        [](intptr_t d) {
            auto* a = reinterpret_cast<Arg*>(d);
            gc_push(nullptr, nullptr, "consumer");
            open_internal();
            *a->rec = get_my_qvi();
            a->ready->add();
            while (QV_SEXP* c = get_qv_fifo(a->rec->load(), 0)) {
                a->seen->push_back(c->integer.data);
                if (a->seen->size() == 100) a->got_all->add();
            }
            EXPECT_EQ(get_qv_fifo(a->rec->load(), 1), nullptr);
            gc_pop(nullptr, nullptr);
            close_self_interpreter();
            a->ended->add();
        },
        &arg, 2);
    ASSERT_TRUE(ready.wait_for(1));
    ASSERT_TRUE(run_task([&] {
        gc_push(nullptr, nullptr, "producer");
        for (int i = 0; i < 100; i++)
            EXPECT_EQ(put_qv_fifo(rec.load(), get_integer(i, nullptr)), 0);
        gc_pop(nullptr, nullptr);
    }));
    ASSERT_TRUE(got_all.wait_for(1));
    for (int i = 0; i < 100; i++)
        EXPECT_EQ(seen[static_cast<size_t>(i)], i);
    EXPECT_EQ(close_interpreter_nowait(rec.load()->id), 0);
    ASSERT_TRUE(ended.wait_for(1));
}

TEST(Interp, OutputLockIsReentrantAndExclusive) {
    std::atomic<int> id{0};
    Counter held, probed, done;
    struct Arg {
        std::atomic<int>* id;
        Counter *held, *probed, *done;
    } arg{&id, &held, &probed, &done};
    create_task(
        [](intptr_t d) {
            auto* a = reinterpret_cast<Arg*>(d);
            *a->id = open_internal();
            uint32_t me = static_cast<uint32_t>(a->id->load());
            EXPECT_EQ(lock_qvi_out_iid(me), 0);
            EXPECT_EQ(lock_qvi_out_iid(me), 0);  // its holder takes it again
            a->held->add();
            a->probed->wait_for(1);
            EXPECT_EQ(unlock_qvi_out_iid(me), 0);
            EXPECT_EQ(unlock_qvi_out_iid(me), 0);
            a->done->wait_for(1);
            close_self_interpreter();
            a->done->add();
        },
        &arg, 2);
    ASSERT_TRUE(held.wait_for(1));
    QV_INTERPRETER* q = search_qvi_id(static_cast<uint32_t>(id.load()));
    ASSERT_NE(q, nullptr);
    ASSERT_TRUE(run_task([&] { EXPECT_EQ(lock_qvi_out_no_wait(q), -2); }));
    probed.add();
    // Once released, another task takes it.
    ASSERT_TRUE(run_task([&] {
        EXPECT_EQ(lock_qvi_out_iid(static_cast<uint32_t>(id.load())), 0);
        EXPECT_EQ(unlock_qvi_out_iid(static_cast<uint32_t>(id.load())), 0);
    }));
    EXPECT_EQ(lock_qvi_out_iid(999999), -1);
    done.add();
    ASSERT_TRUE(done.wait_for(2));
}

// Tasks asleep on a held output lock are all woken when it is given back, and take it in turn;
// a release with nobody waiting leaves no wake-up owed.
TEST(Interp, EveryTaskWaitingForTheOutputLockGetsIt) {
    constexpr int WAITERS = 3;
    std::atomic<int> id{0};
    Counter held, release, got, done;
    struct Arg {
        std::atomic<int>* id;
        Counter *held, *release, *done;
    } arg{&id, &held, &release, &done};
    create_task(
        [](intptr_t d) {
            auto* a = reinterpret_cast<Arg*>(d);
            *a->id = open_internal();
            uint32_t me = static_cast<uint32_t>(a->id->load());
            EXPECT_EQ(lock_qvi_out_iid(me), 0);  // uncontended: nobody to wake on release
            EXPECT_EQ(unlock_qvi_out_iid(me), 0);
            EXPECT_EQ(lock_qvi_out_iid(me), 0);
            a->held->add();
            a->release->wait_for(1);
            EXPECT_EQ(unlock_qvi_out_iid(me), 0);
            a->done->wait_for(1);
            close_self_interpreter();
            a->done->add();
        },
        &arg, 2);
    ASSERT_TRUE(held.wait_for(1));
    uint32_t qid = static_cast<uint32_t>(id.load());
    QV_INTERPRETER* q = search_qvi_id(qid);
    ASSERT_NE(q, nullptr);
    auto sleepers = [&] {
        TaskLockGuard g(qvi_lock);
        return q->out_lock_sleepers;
    };
    EXPECT_EQ(sleepers(), 0);
    struct Waiter {
        uint32_t id;
        Counter* got;
    } w{qid, &got};
    for (int i = 0; i < WAITERS; i++)
        create_task(
            [](intptr_t d) {
                auto* a = reinterpret_cast<Waiter*>(d);
                EXPECT_EQ(lock_qvi_out_iid(a->id), 0);
                EXPECT_EQ(unlock_qvi_out_iid(a->id), 0);
                a->got->add();
            },
            &w, 2);
    ASSERT_TRUE(wait_until([&] { return sleepers() >= WAITERS; }));
    EXPECT_EQ(got.get(), 0);
    release.add();
    EXPECT_TRUE(got.wait_for(WAITERS));
    EXPECT_EQ(sleepers(), 0);
    done.add();
    ASSERT_TRUE(done.wait_for(2));
}

TEST(Interp, BreakCheck) {
    ASSERT_TRUE(run_task([] {
        gc_push(nullptr, nullptr, "break");
        QV_SEXP* form = list(n_get_symbol("x"), nullptr);
        // A task of no interpreter is told to stop.
        QV_SEXP* e = _qvi_break_check(form);
        ASSERT_EQ(get_type(e), QVT_ERROR);
        EXPECT_EQ(e->error.code, QVE_BREAK);
        int id = open_internal();
        EXPECT_EQ(_qvi_break_check(form), nullptr);
        ASSERT_EQ(send_cancel(static_cast<uint32_t>(id)), 0);
        e = _qvi_break_check(form);
        ASSERT_EQ(get_type(e), QVT_ERROR);
        EXPECT_EQ(e->error.code, QVE_CANCEL_CHECK);
        // Closing wins over cancel.
        close_interpreter_nowait(static_cast<uint32_t>(id));
        e = _qvi_break_check(form);
        ASSERT_EQ(get_type(e), QVT_ERROR);
        EXPECT_EQ(e->error.code, QVE_BREAK);
        EXPECT_EQ(send_cancel(999999), -1);
        gc_pop(nullptr, nullptr);
        close_self_interpreter();
        // The interrupt's handler takes no lock, since the signal may land on a thread holding
        // qvi_lock. With no terminal record it declines; with one it marks the terminal's record,
        // which the next break check takes in.
        auto interrupt = [] {
            TaskLockGuard g(qvi_lock);
            return qv_int_handler();
        };
        EXPECT_EQ(interrupt(), -1);
        id = open_internal();
        gc_push(nullptr, nullptr, "interrupt");
        form = list(n_get_symbol("x"), nullptr);
        {
            TaskLockGuard g(qvi_lock);
            _get_my_qvi()->flags |= QVIF_TERMINAL;
            terminal_interpreters++;
        }
        EXPECT_EQ(_qvi_break_check(form), nullptr);
        EXPECT_EQ(interrupt(), 0);
        e = _qvi_break_check(form);
        ASSERT_EQ(get_type(e), QVT_ERROR);
        EXPECT_EQ(e->error.code, QVE_CANCEL_CHECK);
        // A terminal blocked in a wait runs no break check: the tick, which wakes the remote
        // waits of a cancelled record, takes the interrupt in itself.
        auto cancelled = [] {
            TaskLockGuard g(qvi_lock);
            return (_get_my_qvi()->flags & QVIF_CANCEL) != 0;
        };
        {
            TaskLockGuard g(qvi_lock);
            _get_my_qvi()->flags &= ~QVIF_CANCEL;
        }
        EXPECT_EQ(interrupt(), 0);
        qvi_tick();
        EXPECT_TRUE(cancelled());
        gc_pop(nullptr, nullptr);
        close_self_interpreter();
        EXPECT_EQ(terminal_interpreters.load(), 0);
    }));
}

TEST(Interp, UnopenableTypesAreRefused) {
    ASSERT_TRUE(run_task([] {
        struct {
            uint8_t type;
            int code;
        } cases[] = {{QVA_IPC, QVI_ERR_LISTENER},
                     {QVA_CONNECT, QVI_ERR_NO_ANSWER},
                     {QVA_DESCRIPTER, QVI_ERR_DESCRIPTER}};  // no input descriptor
        for (auto c : cases) {
            QV_INTERPRETER* q = new_qv_interpreter();
            q->a_type = c.type;
            EXPECT_EQ(setup_i(q), c.code);
        }
        // A script file that does not exist.
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_FILE;
        q->input_file_name = _xx_nl_copy_str_1(std_cm, "/nonexistent/x.qv", __FILE__, __LINE__);
        EXPECT_EQ(setup_i(q), QVI_ERR_FILE);
    }));
}

TEST(Interp, DescriptorInterpreterAnswersOnTheCallersSocket) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int id = -1;
    ASSERT_TRUE(run_task([&] {
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_DESCRIPTER;
        q->inp_desc = q->out_desc = sv[0];  // one stream serves both ways
        q->env = vxlisp_top_env1;
        id = setup_i(q);
    }));
    ASSERT_GT(id, 0);
    ASSERT_EQ(write(sv[1], "(+ 1 2)\n", 8), 8);
    std::string got;
    read_fd_until(sv[1], &got, "</Result>\n");
    // The code set is announced before the first reply.
    EXPECT_EQ(got.rfind("&cx", 0), 0u) << got;
    EXPECT_NE(got.find(";<Result> 1 3</Result>\n"), std::string::npos) << got;
    close(sv[1]);  // the end of its input closes it, and its descriptor with it
    EXPECT_TRUE(wait_closed(id));
    for (int i = 0; i < 100 && fcntl(sv[0], F_GETFD) != -1; i++)
        usleep(20000);
    EXPECT_EQ(fcntl(sv[0], F_GETFD), -1);
}

TEST(Interp, DescriptorInterpreterWithABadOutputClosesItsInput) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int r = 0;
    ASSERT_TRUE(run_task([&] {
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_DESCRIPTER;
        q->inp_desc = sv[0];
        q->out_desc = 1000;  // not open
        r = setup_i(q);
    }));
    EXPECT_EQ(r, QVI_ERR_DESCRIPTER);
    char b;
    pollfd pf = {sv[1], POLLIN, 0};
    ASSERT_EQ(poll(&pf, 1, 10000), 1);  // the input was closed: the peer sees its end
    EXPECT_EQ(read(sv[1], &b, 1), 0);
    close(sv[1]);
}

}  // namespace
