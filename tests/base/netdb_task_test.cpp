// The network service task: it becomes the call sequencer's loop task and tells the tasks
// waiting for it that it is up.
#include <gtest/gtest.h>

#include <atomic>

#include "base/launch.h"
#include "base/lock.h"
#include "base/netdb.h"
#include "base/task.h"
#include "support/sync_util.h"

namespace {

std::atomic<bool> waiting{false};
std::atomic<bool> woken{false};

TEST(NetdbTask, RunsTheSequencerAndWakesItsWaiters) {
    init_netutils();
    // A task asleep on the service's address before it starts; the lock is released only by
    // the sleep, so the service's wake-up cannot come first.
    create_task(
        [](intptr_t) {
            lock_task(netutils_lock);
            waiting = true;
            sleep_task(reinterpret_cast<const void*>(&netdb_task), netutils_lock);
            woken = true;
        },
        0, 1);
    ASSERT_TRUE(wait_until([] { return waiting.load(); }));
    TKEY tid = create_task(netdb_task, 0, 1);
    ASSERT_TRUE(wait_until([] { return woken.load(); }));
    EXPECT_EQ(get_userinterface_tid(), static_cast<int>(tid));
    // Calls are served by the loop and their results come back.
    MS_FUNC twice = [](void* arg, int) {
        return static_cast<int>(reinterpret_cast<intptr_t>(arg)) * 2;
    };
    EXPECT_EQ(ms_do(twice, reinterpret_cast<void*>(21), 0, "twice"), 42);
}

}  // namespace
