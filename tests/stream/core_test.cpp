// The stream core: the kind registry, closing, the answers of dead streams, zombies and their
// reaping, the close queue.
#include <errno.h>

#include <atomic>
#include <memory>
#include <vector>

#include "longchar/codemethod.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/stream.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"
#include "stream_util.h"

namespace {

// Sets the zombie life time for one test and puts the default back afterwards.
struct LifeTime {
    explicit LifeTime(int t) {
        locked([t] { return zonbie_life_time = t; });
    }
    ~LifeTime() {
        locked([] { return zonbie_life_time = 300; });
    }
};

TEST(StreamCore, KindsAreRegisteredOnceInStartUpOrder) {
    std::string letters = locked([] {
        std::string s;
        for (S_TABLE* t = stream_table_list; t; t = t->next)
            s += t->type;
        return s;
    });
    // Newest first: file, then terminal, then flush pipe, then chain, then string were registered.
    EXPECT_NE(letters.find("tcPef"), std::string::npos) << letters;
    EXPECT_EQ(insert_s_table(&s_file_table), -1);
    EXPECT_EQ(insert_s_table(&s_string_table), -1);
}

TEST(StreamCore, StandardStreamsCannotBeClosed) {
    EXPECT_EQ(s_close(s_stdout), -1);
    EXPECT_EQ(s_close(s_stdin), -1);
    EXPECT_EQ(s_close(s_stderr), -1);
    EXPECT_EQ(s_exist(s_stdout), 1);
    EXPECT_EQ(s_printf(s_stderr, "%s", ""), 0);
    EXPECT_EQ(s_write(s_stderr, "", 0), 0);
    // Nor while another stream stands in their place (a redirected standard output, say): the
    // records themselves are refused, and stay open for when they are put back.
    std::atomic<STREAM*>* places[] = {&s_stdin, &s_stdout, &s_stderr};
    for (std::atomic<STREAM*>* place : places) {
        STREAM* other = s_open_string_write(&utf8_cm);
        ASSERT_NE(other, nullptr);
        STREAM* std_record = locked([&] { return place->exchange(other); });
        EXPECT_EQ(s_close(std_record), -1);
        EXPECT_EQ(s_exist(std_record), 1);
        locked([&] { return place->exchange(std_record); });
        EXPECT_EQ(s_close(other), 0);
    }
}

TEST(StreamCore, ClosedStreamAnswersMinusOneAndError22) {
    STREAM* s = s_open_string_write(&utf8_cm);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s_printf(s, "abc"), 3);
    int open_before = s_stream_nos();
    EXPECT_EQ(s_close(s), 0);
    EXPECT_EQ(s_stream_nos(), open_before - 1) << "zombies are not counted as open";

    char buf[8];
    int err = 0;
    EXPECT_EQ(s_exist(s), 0);
    EXPECT_EQ(s_read(s, buf, 8), -1);
    EXPECT_EQ(s_write(s, "x", 1), -1);
    EXPECT_EQ(s_flush(s), -1);
    EXPECT_EQ(s_push(s, 'a'), -1);
    EXPECT_EQ(s_printf(s, "x"), -1);
    EXPECT_EQ(e_printf(s, &err, "x"), -1);
    EXPECT_EQ(err, 22);
    EXPECT_EQ(s_get_cm(s), nullptr);
    EXPECT_EQ(s_set_cm(s, &ascii_cm), -1);
    EXPECT_EQ(s_get_thput(s), -1);
    EXPECT_EQ(s_get_socketip(s), 0);
    EXPECT_EQ(s_get_string(s), nullptr);
    EXPECT_EQ(s_seek_file(s, 0, SEEK_SET), -1);
    EXPECT_EQ(s_close(s), -1);
    // A null pointer and a pointer that never was a stream are refused without being read.
    EXPECT_EQ(s_read(nullptr, buf, 8), -1);
    EXPECT_EQ(e_printf(reinterpret_cast<STREAM*>(buf), &err, "x"), -1);
    EXPECT_EQ(s_close(reinterpret_cast<STREAM*>(buf)), -1);
}

TEST(StreamCore, LateCloseLengthensTheZombieLifeTime) {
    LifeTime life(300);
    STREAM* s = s_open_string_write(&utf8_cm);
    ASSERT_EQ(s_close(s), 0);
    // The first close happened 200 seconds ago as far as the record knows.
    locked([s] { return s->h.close_time -= 200; });
    EXPECT_EQ(s_close(s), -1);
    int late = locked([s] { return static_cast<int>(s->h.zonbie_access - s->h.close_time); });
    EXPECT_GE(late, 200);
    zonbie_tick(0, 0);
    EXPECT_GE(locked([] { return zonbie_life_time; }), 400);
    EXPECT_EQ(s_exist(s), 0);
}

TEST(StreamCore, ZombiesAreFreedOnceTheirLifeIsOver) {
    LifeTime life(0);
    STREAM* s = s_open_string_write(&utf8_cm);
    ASSERT_EQ(s_close(s), 0);
    int zombies = locked([] { return zonbie_count; });
    ASSERT_GE(zombies, 1);
    zonbie_tick(0, 0);
    EXPECT_LT(locked([] { return zonbie_count; }), zombies);
    // The record is gone: every entry point refuses the pointer without reading it (the
    // address sanitizer would report a read of the freed record).
    char buf[4];
    EXPECT_EQ(s_exist(s), 0);
    EXPECT_EQ(s_read(s, buf, 4), -1);
    EXPECT_EQ(s_close(s), -1);
    EXPECT_EQ(s_printf(s, "x"), -1);
}

TEST(StreamCore, SerialTellsANewStreamAtTheSameAddressFromTheOldOne) {
    LifeTime life(0);
    STREAM* s = s_open_string_write(&utf8_cm);
    uint32_t serial = s_serial(s);
    EXPECT_NE(serial, 0u);
    EXPECT_EQ(s_exist_serial(s, serial), 1);
    EXPECT_EQ(s_exist_serial(s, serial + 1), 0);
    STREAM* other = s_open_string_write(&utf8_cm);
    EXPECT_NE(s_serial(other), serial);
    ASSERT_EQ(s_close(s), 0);
    EXPECT_EQ(s_serial(s), 0u);
    EXPECT_EQ(s_exist_serial(s, serial), 0) << "closed";
    zonbie_tick(0, 0);
    // Streams opened after the free may take the old address (the address sanitizer keeps freed
    // blocks aside, so there it does not happen): the address alone then passes, the serial not.
    std::vector<STREAM*> opened;
    bool reused = false;
    for (int i = 0; i < 64 && !reused; i++) {
        opened.push_back(s_open_string_write(&utf8_cm));
        reused = opened.back() == s;
    }
    if (reused) {
        EXPECT_EQ(s_exist(s), 1);
        EXPECT_EQ(s_exist_serial(s, serial), 0);
        EXPECT_NE(s_serial(s), serial);
    }
    for (STREAM* o : opened)
        EXPECT_EQ(s_close(o), 0);
    // A close by serial number leaves another opening alone.
    uint32_t other_serial = s_serial(other);
    EXPECT_EQ(s_close_serial(other, other_serial + 1), -1);
    EXPECT_EQ(s_exist(other), 1);
    EXPECT_EQ(s_close_serial(other, other_serial), 0);
    EXPECT_EQ(s_exist(other), 0);
    EXPECT_EQ(s_close_serial(other, other_serial), -1) << "closed already";
}

TEST(StreamCore, ZombiesPastTheCapAreFreedOldestFirst) {
    {
        // Earlier zombies go first, so that the oldest kept are this test's own.
        LifeTime none(0);
        zonbie_tick(0, 0);
    }
    LifeTime life(300);
    int keep = locked([] { return zonbie_max; });
    int before = locked([] { return zonbie_count; });
    locked([before] { return zonbie_max = before + 3; });
    std::vector<STREAM*> closed;
    for (int i = 0; i < 5; i++) {
        STREAM* s = s_open_string_write(&utf8_cm);
        ASSERT_EQ(s_close(s), 0);
        closed.push_back(s);
    }
    // The newest three are the last on the list, oldest first; the two before them are gone
    // (their addresses may already serve the later records, so only the list tells).
    std::vector<STREAM*> tail = locked([] {
        std::vector<STREAM*> all;
        for (STREAM* z = close_zonbie_list; z; z = z->h.next)
            all.push_back(z);
        return all;
    });
    EXPECT_EQ(locked([] { return zonbie_count; }), before + 3);
    ASSERT_EQ(tail.size(), static_cast<size_t>(before + 3));
    EXPECT_EQ(std::vector<STREAM*>(tail.end() - 3, tail.end()),
              std::vector<STREAM*>(closed.begin() + 2, closed.end()));
    // Every record is refused alike, freed or kept (the address sanitizer would report a read of
    // a freed one).
    for (STREAM* s : closed) {
        EXPECT_EQ(s_exist(s), 0);
        EXPECT_EQ(s_close(s), -1);
    }
    locked([keep] { return zonbie_max = keep; });
}

TEST(StreamCore, CloseQueueClosesInTheBackground) {
    STREAM* a = s_open_string_write(&utf8_cm);
    STREAM* b = s_open_string_write(&utf8_cm);
    s_close_queue(a);
    s_close_queue(b);
    s_close_queue(nullptr);
    EXPECT_TRUE(wait_until([&] { return !s_exist(a) && !s_exist(b); }));
}

// A close that cannot wait runs on the caller; one with a task inside the stream goes to the
// close task, which interrupts the task.
TEST(StreamCore, CloseOrQueueClosesAtOnceUnlessTheCloseWouldWait) {
    EXPECT_EQ(s_close_or_queue(nullptr), -1);
    STREAM* s = s_open_string_write(&utf8_cm);
    uint32_t serial = s_serial(s);
    ASSERT_NE(serial, 0u);
    EXPECT_EQ(s_close_or_queue(s), 0);
    EXPECT_EQ(s_exist_serial(s, serial), 0);  // closed before the call returned
    EXPECT_EQ(s_close_or_queue(s), -1);       // closed already
    EXPECT_EQ(s_close_or_queue(s_stdout), -1);
    EXPECT_EQ(s_exist(s_stdout), 1);

    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    std::atomic<bool> reading{false};
    int got = 0;
    {
        TaskRun reader([&] {
            char c;
            reading = true;
            got = s_read(p[0], &c, 1);
        });
        ASSERT_TRUE(wait_until([&] { return reading.load() && tasks_inside(p[0]) > 0; }));
        uint32_t inside = s_serial(p[0]);
        EXPECT_EQ(s_close_or_queue(p[0]), 0);
        EXPECT_TRUE(wait_until([&] { return s_exist_serial(p[0], inside) == 0; }));
    }
    EXPECT_LE(got, 0);
    EXPECT_EQ(s_close(p[1]), 0);
}

TEST(StreamCore, ShutdownClosesStreamsOfTheGivenTypes) {
    STREAM* str = s_open_string_write(&utf8_cm);
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    s_shutdown_stream(ST_OTHER);
    EXPECT_TRUE(wait_until([&] { return !s_exist(str); }));
    EXPECT_EQ(s_exist(p[0]), 1);
    EXPECT_EQ(s_exist(s_stdout), 1);
    EXPECT_EQ(s_close(p[0]), 0);
    EXPECT_EQ(s_close(p[1]), 0);
}

TEST(StreamCore, ResourceCounts) {
    int limit = 0;
    int n = s_check_resource2(&limit);
    EXPECT_GE(n, 3);
    EXPECT_GT(limit, 0);
    EXPECT_EQ(s_check_resource(), 0);
    int files = locked([] { return now_open_files; });
    STREAM* p[2];
    ASSERT_EQ(s_open_pipe(p), 0);
    EXPECT_EQ(locked([] { return now_open_files; }), files + 2);
    EXPECT_EQ(s_check_resource2(nullptr), n + 2);
    s_close(p[0]);
    s_close(p[1]);
    EXPECT_EQ(locked([] { return now_open_files; }), files);
    EXPECT_EQ(s_check_resource3(), s_stream_nos());
}

// Many tasks open, use and close streams while the reaper frees zombies at once.
TEST(StreamCore, OpenAndCloseFromManyTasks) {
    LifeTime life(0);
    std::vector<std::unique_ptr<TaskRun>> tasks;
    std::atomic<int> bad{0};
    for (int t = 0; t < 6; t++) {
        tasks.push_back(std::make_unique<TaskRun>([&bad] {
            for (int i = 0; i < 200; i++) {
                STREAM* s = s_open_string_write(&utf8_cm);
                if (s_printf(s, "%d", i) <= 0) bad++;
                if (s_close(s) != 0) bad++;
                if (i % 50 == 0) zonbie_tick(0, 0);
            }
        }));
    }
    for (auto& t : tasks)
        EXPECT_TRUE(t->wait(60000));
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
