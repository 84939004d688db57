// A shutdown of socket streams seen from a listener: its chain ends, its connections close and no
// new listener opens while the shutdown lasts.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "server/accept.h"
#include "server_util.h"
#include "stream/stream.h"
#include "support/sync_util.h"

TEST(ListenerShutdown, ASocketShutdownEndsTheListenerAndItsConnections) {
    int old_flags;
    {
        TaskLockGuard g(stream_lock);
        old_flags = shutdown_stream_flags;
    }
    Listener l(true);
    ASSERT_GT(l.id, 0);
    LineClient served(l.port);
    ASSERT_GE(served.fd, 0);
    EXPECT_NE(served.ask("(+ 1 2)").find("3</Result>\n"), std::string::npos);
    // A peer that has sent nothing yet, held in its first-byte wait.
    int silent = connect_loopback(l.port);
    ASSERT_GE(silent, 0);

    s_shutdown_stream(SHUTDOWN_NO_NEW);
    EXPECT_TRUE(wait_closed(l.id));
    // The listening socket goes through the close queue, a moment after or before the record.
    EXPECT_TRUE(wait_until(
        [&] {
            int fd = connect_loopback(l.port);
            if (fd >= 0) close(fd);
            return fd < 0;
        },
        10000));
    EXPECT_EQ(read_fd_to_end(served.fd), "");
    EXPECT_EQ(read_fd_to_end(silent), "");
    close(silent);
    int r = 0;
    ASSERT_TRUE(run_task([&] {
        QV_INTERPRETER* q = new_qv_interpreter();
        q->a_type = QVA_ACCEPT;
        q->port = 0;
        r = setup_i(q);
    }));
    EXPECT_EQ(r, QVI_ERR_LISTENER);

    // Once the flag is gone, listeners open and serve again.
    {
        TaskLockGuard g(stream_lock);
        shutdown_stream_flags = old_flags;
    }
    Listener again(true);
    ASSERT_GT(again.id, 0);
    LineClient client(again.port);
    EXPECT_NE(client.ask("(* 6 7)").find("42</Result>\n"), std::string::npos);
    ASSERT_TRUE(run_task([&] { close_interpreter((uint32_t)again.id); }));
    EXPECT_TRUE(wait_closed(again.id));
}
