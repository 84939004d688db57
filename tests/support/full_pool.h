// A task pool with no thread left, for the tests of what callers do without a task: the bound is
// lowered to one above the threads alive and every idle thread is taken by a holder task of the
// test's own (at least one, so that letting them go frees a thread: service tasks never end).
// free() (or the destructor, on every path) lets the holders go, restores the bound and waits,
// bounded, until the holders have ended. The holders share what they wait on, so that one left
// behind by a failed wait never touches freed memory.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "base/task.h"
#include "support/sync_util.h"

class FullPool {
  public:
    FullPool()
        : old_(set_task_thread_limit(task_thread_count() + 1)),
          release_(std::make_shared<Counter>()) {
        top_up();
    }
    ~FullPool() { free(); }
    FullPool(const FullPool&) = delete;
    FullPool& operator=(const FullPool&) = delete;

    // Holder tasks taken (at least 1, and below MOST when the pool was filled).
    int held() const { return static_cast<int>(ids_.size()); }
    // True when the pool ran out of threads before the holders' own bound.
    bool full() const { return ids_.size() < MOST; }

    // Takes the threads that other tasks of the program have given back since.
    void top_up() {
        while (ids_.size() < MOST) {
            auto* ref = new std::shared_ptr<Counter>(release_);
            TKEY id = try_create_task(hold, ref, 1);
            if (id == NO_TASK) {
                delete ref;
                break;
            }
            ids_.push_back(id);
        }
    }

    // Tasks running now, other than the holders, whose id is above `after` (task_last_id() taken
    // before the test started them): while it is above the tasks the test keeps, one of those it
    // started may still end and give its thread back.
    int started_since(TKEY after) const {
        std::vector<TKEY> running(MOST);
        int n;
        while ((n = task_running_ids(running.data(), static_cast<int>(running.size()))) >
               static_cast<int>(running.size()))
            running.resize(static_cast<size_t>(n) * 2);
        int k = 0;
        for (int i = 0; i < n; i++)
            if (running[i] > after && std::find(ids_.begin(), ids_.end(), running[i]) == ids_.end())
                k++;
        return k;
    }

    // top_up, then lets k threads more be started (for the next tasks of the program, while the
    // holders keep the rest).
    void leave(int k) {
        set_task_thread_limit(task_thread_count());
        top_up();
        set_task_thread_limit(task_thread_count() + k);
    }

    void free() {
        if (freed_) return;
        freed_ = true;
        release_->add();
        set_task_thread_limit(old_);
        for (TKEY id : ids_)
            wait_until([id] { return thread_exist(id) == -1; });
    }

  private:
    static constexpr size_t MOST = 1000;
    static void hold(intptr_t data) {
        auto* ref = reinterpret_cast<std::shared_ptr<Counter>*>(data);
        (*ref)->wait_for(1, 120000);
        delete ref;
    }

    int old_;
    bool freed_ = false;
    std::shared_ptr<Counter> release_;
    std::vector<TKEY> ids_;
};
