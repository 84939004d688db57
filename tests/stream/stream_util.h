// Helpers of the stream tests: a scratch directory, whole-file reads, tasks a test can wait for
// with a bound, and header fields read under the stream lock. Bounded polling (wait_until) comes
// from the shared test support.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "base/task.h"
#include "stream/stream.h"
#include "support/sync_util.h"

// A fresh directory under /tmp, removed with its files at the end of the test.
struct TmpDir {
    std::string path;
    TmpDir() {
        char tmpl[] = "/tmp/vxstreamXXXXXX";
        char* p = mkdtemp(tmpl);
        EXPECT_NE(p, nullptr);
        if (p) path = p;
    }
    ~TmpDir() {
        if (!path.empty()) {
            std::string cmd = "rm -rf '" + path + "'";
            int r = system(cmd.c_str());
            (void)r;
        }
    }
    std::string file(const char* name) const { return path + "/" + name; }
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A function run as a task of the system; the test waits for its end with a bound.
class TaskRun {
  public:
    explicit TaskRun(std::function<void()> fn) : fn_(std::move(fn)) {
        tid_ = create_task(run, this, 1);
    }
    ~TaskRun() { EXPECT_TRUE(wait(60000)) << "a task of the test did not end"; }
    bool wait(int ms = 20000) {
        std::unique_lock<std::mutex> l(m_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return done_; });
    }
    bool done() {
        std::lock_guard<std::mutex> g(m_);
        return done_;
    }
    TKEY tid() const { return tid_; }

  private:
    static void run(intptr_t d) {
        TaskRun* t = reinterpret_cast<TaskRun*>(d);
        t->fn_();
        std::lock_guard<std::mutex> g(t->m_);
        t->done_ = true;
        t->cv_.notify_all();
    }
    std::function<void()> fn_;
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    TKEY tid_ = 0;
};

// Reads a header value under the stream lock.
template <typename F>
auto locked(F f) {
    TaskLockGuard g(stream_lock);
    return f();
}

// The number of tasks registered inside s.
inline int tasks_inside(STREAM* s) {
    return locked([s] {
        int n = 0;
        for (S_FILE_THREAD* t = s->h.thread; t; t = t->next)
            n++;
        return n;
    });
}

// Takes every thread a task could run on while it lives: the pool's bound is lowered to the
// threads alive plus `extra`, and tasks of its own hold every idle thread and every new one until
// release (or the end of the scope), which gives the bound back and waits, bounded, for them.
class PoolFiller {
  public:
    explicit PoolFiller(int extra = 1) : st_(std::make_shared<State>()) {
        old_limit_ = set_task_thread_limit(task_thread_count() + extra);
        while (made_ < MOST) {
            auto* ref = new std::shared_ptr<State>(st_);
            if (try_create_task(hold, ref, 1) == NO_TASK) {
                delete ref;
                break;
            }
            made_++;
        }
    }
    ~PoolFiller() { release(); }
    // True when the pool ran out before the filler's own bound on tasks.
    bool full() const { return made_ < MOST; }
    void release() {
        if (released_) return;
        released_ = true;
        set_task_thread_limit(old_limit_);
        {
            std::lock_guard<std::mutex> g(st_->m);
            st_->open = true;
        }
        st_->cv.notify_all();
        std::unique_lock<std::mutex> l(st_->m);
        EXPECT_TRUE(st_->cv.wait_for(l, std::chrono::seconds(20), [this] {
            return st_->ended == made_;
        })) << "a task holding a thread did not end";
    }
    PoolFiller(const PoolFiller&) = delete;
    PoolFiller& operator=(const PoolFiller&) = delete;

  private:
    static constexpr int MOST = 200;
    struct State {
        std::mutex m;
        std::condition_variable cv;
        bool open = false;
        int ended = 0;
    };
    static void hold(intptr_t d) {
        auto* ref = reinterpret_cast<std::shared_ptr<State>*>(d);
        {
            State* st = ref->get();
            std::unique_lock<std::mutex> l(st->m);
            st->cv.wait_for(l, std::chrono::seconds(120), [st] { return st->open; });
            st->ended++;
            st->cv.notify_all();
        }
        delete ref;
    }
    std::shared_ptr<State> st_;
    int old_limit_ = 0;
    int made_ = 0;
    bool released_ = false;
};
