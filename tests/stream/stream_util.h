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
#include "support/full_pool.h"
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
