// Several tasks reading, writing or flushing one stream at once, and a close under them: the
// kinds whose slots use what the close clears or frees (a string stream's bytes, which its
// writers also grow; the streams under a terminal).
#include <fcntl.h>

#include <memory>
#include <string>
#include <vector>

#include "longchar/codemethod.h"
#include "stream/file_stream.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"
#include "stream/terminal_stream.h"
#include "stream_util.h"

namespace {

const std::string big(4 << 20, 'r');  // what a read stream serves
const std::string chunk(8192, 'w');   // what a writer writes at a time

// A terminal over the given streams.
STREAM* terminal_over(STREAM* inp, STREAM* out) {
    STREAM* t = s_open_terminal(nullptr);
    locked([&] { return t->terminal.inp = inp; });
    locked([&] { return t->terminal.out = out; });
    return t;
}

struct Kind {
    const char* name;
    // Opens the stream; a terminal reads the round's string stream and writes /dev/null.
    STREAM* (*open)(STREAM* devnull, STREAM* text);
    // One operation: positive while it succeeds.
    int (*work)(STREAM*);
};

int do_read(STREAM* s) {
    char buf[256];
    return s_read(s, buf, sizeof buf);
}

int do_write(STREAM* s) {
    return s_write(s, chunk.data(), static_cast<int>(chunk.size()));
}

const Kind kinds[] = {
    {"string write", [](STREAM*, STREAM*) { return s_open_string_write(&ascii_cm); }, do_write},
    {"string read",
     [](STREAM*, STREAM*) {
         return s_open_string_read(big.data(), &ascii_cm, static_cast<int>(big.size()), 1);
     },
     do_read},
    {"terminal write", [](STREAM* d, STREAM* t) { return terminal_over(t, d); }, do_write},
    {"terminal read", [](STREAM* d, STREAM* t) { return terminal_over(t, d); }, do_read},
    {"terminal flush", [](STREAM* d, STREAM* t) { return terminal_over(t, d); },
     [](STREAM* s) { return s_flush(s) == 0 ? 1 : -1; }},
};
constexpr int n_kinds = sizeof kinds / sizeof kinds[0];

// Two tasks per kind work in its stream, all at once, until the stream is closed under them (or
// each has done 1,000 operations); the test closes each stream once they have done a few.
TEST(CloseInside, TasksInsideAStreamMeetItsCloseSafely) {
    for (int round = 0; round < 60; round++) {
        SCOPED_TRACE(round);
        STREAM* devnull = s_open_file("/dev/null", O_WRONLY, 0);
        ASSERT_NE(devnull, nullptr);
        STREAM* text = s_open_string_read(big.data(), &ascii_cm, static_cast<int>(big.size()), 0);
        STREAM* s[n_kinds];
        Counter done[n_kinds];
        std::vector<std::unique_ptr<TaskRun>> tasks;
        for (int k = 0; k < n_kinds; k++) {
            s[k] = kinds[k].open(devnull, text);
            ASSERT_NE(s[k], nullptr) << kinds[k].name;
            STREAM* st = s[k];
            const Kind* kind = &kinds[k];
            Counter* c = &done[k];
            for (int j = 0; j < 2; j++)
                tasks.push_back(std::make_unique<TaskRun>([st, kind, c] {
                    for (int i = 0; i < 1000 && kind->work(st) > 0; i++)
                        c->add();
                }));
        }
        for (int k = 0; k < n_kinds; k++) {
            EXPECT_TRUE(done[k].wait_for(2 + round % 4)) << kinds[k].name;
            EXPECT_EQ(s_close(s[k]), 0) << kinds[k].name;
        }
        for (auto& t : tasks)
            EXPECT_TRUE(t->wait(60000));
        for (int k = 0; k < n_kinds; k++)
            EXPECT_LT(kinds[k].work(s[k]), 0) << kinds[k].name << " works after its close";
        // The streams under the terminals stay open and usable.
        EXPECT_GT(do_write(devnull), 0);
        EXPECT_EQ(s_close(devnull), 0);
        EXPECT_EQ(s_close(text), 0);
    }
    // Writers at once into one string stream lose nothing.
    STREAM* w = s_open_string_write(&ascii_cm);
    {
        auto write_200 = [w] {
            for (int i = 0; i < 200; i++)
                do_write(w);
        };
        TaskRun a(write_200), b(write_200);
    }
    EXPECT_EQ(locked([w] { return w->str.size; }), 2 * 200 * static_cast<int>(chunk.size()));
    EXPECT_EQ(s_close(w), 0);
}

}  // namespace
