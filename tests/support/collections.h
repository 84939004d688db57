// Collections one after another on a task of their own, for tests that make collected records
// while the collector may look at them.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "base/task.h"
#include "lisp/collect.h"
#include "support/sync_util.h"

// Runs collections from construction to end(), with a pause between them: each collection
// stops the world and holds the layers' locks, and the others need a turn in between.
class BackgroundCollections {
  public:
    explicit BackgroundCollections(std::chrono::microseconds pause = std::chrono::microseconds(500))
        : s_(std::make_shared<State>()) {
        s_->pause = pause;
        create_task(
            [](intptr_t p) {
                auto* held = reinterpret_cast<std::shared_ptr<State>*>(p);
                State& s = **held;
                while (!s.stop) {
                    gc_tick_notin_tick(nullptr, 0);
                    s.count++;
                    std::this_thread::sleep_for(s.pause);
                }
                s.ended.add();
                delete held;
            },
            reinterpret_cast<intptr_t>(new std::shared_ptr<State>(s_)), 2);
    }
    ~BackgroundCollections() { end(); }
    BackgroundCollections(const BackgroundCollections&) = delete;
    BackgroundCollections& operator=(const BackgroundCollections&) = delete;

    // Collections run so far.
    int count() const { return s_->count; }
    // Stops them; false when the last one did not end in time.
    bool end() {
        s_->stop = true;
        return s_->ended.wait_for(1, 60000);
    }

  private:
    struct State {
        std::atomic<bool> stop{false};
        std::atomic<int> count{0};
        Counter ended;
        std::chrono::microseconds pause{0};
    };
    std::shared_ptr<State> s_;
};
