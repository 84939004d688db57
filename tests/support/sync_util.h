// Bounded waits for the tests of tasks and locks: a test thread never waits without a limit, so
// a lost wake-up or a deadlock fails the test instead of hanging it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// A counter that tasks raise and a test waits on.
struct Counter {
    std::mutex m;
    std::condition_variable cv;
    int n = 0;

    void add(int k = 1) {
        std::lock_guard<std::mutex> g(m);
        n += k;
        cv.notify_all();
    }
    int get() {
        std::lock_guard<std::mutex> g(m);
        return n;
    }
    // True once the counter reaches target; false after ms milliseconds.
    bool wait_for(int target, int ms = 30000) {
        std::unique_lock<std::mutex> l(m);
        return cv.wait_for(l, std::chrono::milliseconds(ms), [&] { return n >= target; });
    }
};

// Polls pred every millisecond until it holds or ms milliseconds have passed.
inline bool wait_until(const std::function<bool()>& pred, int ms = 30000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
