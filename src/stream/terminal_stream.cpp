// The terminal kind (see terminal_stream.h).
#include "stream/terminal_stream.h"

#include <errno.h>

#include "base/alloc.h"
#include "stream/file_stream.h"
#include "stream/streamio.h"

S_TABLE s_terminal_table = {
    .type = 'e',
    .flags = 0,
    .dm = {{0, 0}},
    .next = nullptr,
    .open_desc = s_error_stream,
    .close = s_close_terminal,
    .write = s_write_terminal,
    .read = s_read_terminal,
    .flush = s_flush_terminal,
    .proc_send = s_error,
    .proc_recv = s_error_stream,
    .get_socketip = s_error,
    .checksum = nullptr,
};

void init_terminal_stream() {
    insert_s_table(&s_terminal_table);
}

namespace {

S_PROMPT get_prompt(STREAM* s) {
    TaskLockGuard g(stream_lock);
    return s->terminal.prompt;
}

// The stream underneath, read under the stream lock: a close clears it while the slots run with
// the lock released (null then, which s_read, s_write and s_flush refuse).
STREAM* get_inp(STREAM* s) {
    TaskLockGuard g(stream_lock);
    return s->terminal.inp;
}

STREAM* get_out(STREAM* s) {
    TaskLockGuard g(stream_lock);
    return s->terminal.out;
}

}  // namespace

STREAM* s_open_terminal(S_PROMPT prompt, const char* file, int line) {
    S_TERMINAL* t = static_cast<S_TERMINAL*>(d_calloc(sizeof(S_TERMINAL), 1));
    t->h.tbl = &s_terminal_table;
    t->inp = s_stdin;
    t->out = s_stdout;
    t->prompt = prompt;
    STREAM* s = reinterpret_cast<STREAM*>(t);
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        _xx_s_open(s, 2, ST_OTHER, file, line);
    }
    if (prompt) prompt(s, 0);
    return s;
}

int s_set_prompt(STREAM* s, S_PROMPT prompt) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_s_exist(s) || s->h.tbl != &s_terminal_table) return -1;
    s->terminal.prompt = prompt;
    return 0;
}

int s_read_terminal(STREAM* s, void* data, int len) {
    STREAM* inp = get_inp(s);
    if (!inp) {
        errno = EINVAL;  // closed meanwhile: not an interruption
        return -1;
    }
    int n = s_read(inp, data, len);
    if (n < 0 && errno == EINTR) {
        *static_cast<char*>(data) = 3;
        return 1;
    }
    if (n > 0) {
        S_PROMPT prompt = get_prompt(s);
        const char* p = static_cast<const char*>(data);
        int since = 0;
        for (int i = 0; i < n; i++) {
            if (p[i] == '\n') {
                if (prompt) prompt(s, since);
                since = 0;
            } else {
                since++;
            }
        }
    }
    return n;
}

int s_write_terminal(STREAM* s, const void* data, int len) {
    return s_write(get_out(s), data, len);
}

int s_flush_terminal(STREAM* s) {
    return s_flush(get_out(s));
}

// The streams underneath are not the terminal's: they are what stood in the standard places when
// it opened, and a redirection may have put a chain, a pipe or a file there. They stay open (the
// file kind's close on such a record would close a descriptor the record does not hold, or one
// its own stream still uses).
int s_close_terminal(STREAM* s) {
    s->terminal.inp = nullptr;
    s->terminal.out = nullptr;
    return 0;
}
