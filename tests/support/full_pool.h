// A task pool with no thread left, for the tests of what callers do without a task: the bound is
// lowered to one above the threads alive and every idle thread is taken by a holder task of the
// test's own (at least one, so that letting them go frees a thread: service tasks never end).
// free() (or the destructor, on every path) lets the holders go, restores the bound and waits,
// bounded, until the holders have ended.
#pragma once

#include <vector>

#include "base/task.h"
#include "support/sync_util.h"

class FullPool {
  public:
    FullPool() : old_(set_task_thread_limit(task_thread_count() + 1)) {
        TKEY id;
        while (ids_.size() < 200 && (id = try_create_task(hold, &release_, 1)) != NO_TASK)
            ids_.push_back(id);
    }
    ~FullPool() { free(); }
    FullPool(const FullPool&) = delete;
    FullPool& operator=(const FullPool&) = delete;

    // Holder tasks taken (at least 1 and below 200 when the pool was filled).
    int held() const { return static_cast<int>(ids_.size()); }

    void free() {
        if (freed_) return;
        freed_ = true;
        release_.add();
        set_task_thread_limit(old_);
        for (TKEY id : ids_)
            wait_until([id] { return thread_exist(id) == -1; });
    }

  private:
    static void hold(intptr_t data) { reinterpret_cast<Counter*>(data)->wait_for(1); }

    int old_;
    bool freed_ = false;
    Counter release_;
    std::vector<TKEY> ids_;
};
