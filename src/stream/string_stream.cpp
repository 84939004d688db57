// The string kind (see string_stream.h).
#include "stream/string_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/alloc.h"

S_TABLE s_string_table = {
    .type = 't',
    .flags = 0,
    .dm = {{0, 0}},
    .next = nullptr,
    .open_desc = s_error_stream,
    .close = s_close_string,
    .write = s_write_string,
    .read = s_read_string,
    .flush = s_error,
    .proc_send = s_error,
    .proc_recv = s_error_stream,
    .get_socketip = s_error,
    .checksum = nullptr,
};

namespace {

// A valid string stream collecting output (stream lock held).
bool _is_string_writer(STREAM* s) {
    return _s_exist(s) && s->h.tbl == &s_string_table && s->h.mode != 0;
}

// Grows the collected bytes to hold `extra` more plus `pad` bytes after them; false when refused.
// The room at least doubles each time, so that collecting n bytes in small writes costs O(n)
// copying, not one reallocation per write.
bool grow(S_STRING* t, int extra, int pad) {
    int64_t want = static_cast<int64_t>(t->size) + extra + pad;
    if (want > 0x7FFFFFFF) return false;
    if (t->str && want <= t->cap) return true;
    int64_t room = std::max<int64_t>({want, static_cast<int64_t>(t->cap) * 2, 64});
    if (room > 0x7FFFFFFF) room = 0x7FFFFFFF;
    void* nb = d_re_alloc(t->str, room);
    if (!nb) return false;
    t->str = static_cast<char*>(nb);
    t->cap = static_cast<int>(room);
    return true;
}

int append_format(STREAM* s, const char* fmt, va_list args, bool count_cr) {
    S_STRING* t = &s->str;
    va_list ap;
    va_copy(ap, args);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n < 0 || !grow(t, n, 1)) return -1;
    va_copy(ap, args);
    vsnprintf(t->str + t->size, static_cast<size_t>(n) + 1, fmt, ap);
    va_end(ap);
    if (count_cr)
        for (int i = 0; i < n; i++)
            if (t->str[t->size + i] == '\n' || t->str[t->size + i] == '\r') s->h.cr_cnt++;
    t->size += n;
    return n;
}

}  // namespace

void init_string_stream() {
    insert_s_table(&s_string_table);
}

STREAM* s_open_string_read(const char* str, CODE_METHOD* cm, int size, int flag, const char* file,
                           int line) {
    if (size < 0 || (!str && size > 0)) return nullptr;
    S_STRING* t = static_cast<S_STRING*>(d_calloc(sizeof(S_STRING), 1));
    t->h.tbl = &s_string_table;
    if (flag) {
        t->str = static_cast<char*>(d_alloc(size > 0 ? size : 1));
        if (size > 0) memcpy(t->str, str, static_cast<size_t>(size));
        t->flag = 1;
    } else {
        t->str = const_cast<char*>(str);
        t->flag = 0;
    }
    t->ptr = t->str;
    t->size = size;
    STREAM* s = reinterpret_cast<STREAM*>(t);
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    _xx_s_open(s, 0, ST_OTHER, file, line);
    _s_replace_cm(s, cm);
    return s;
}

STREAM* s_open_string_write(CODE_METHOD* cm, const char* file, int line) {
    S_STRING* t = static_cast<S_STRING*>(d_calloc(sizeof(S_STRING), 1));
    t->h.tbl = &s_string_table;
    t->flag = 1;
    STREAM* s = reinterpret_cast<STREAM*>(t);
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    _xx_s_open(s, 2, ST_OTHER, file, line);
    _s_replace_cm(s, cm);
    return s;
}

char* s_get_string(STREAM* st) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_is_string_writer(st) || !st->str.str || st->str.size <= 0) return nullptr;
    if (!grow(&st->str, 0, 1)) return nullptr;
    st->str.str[st->str.size] = 0;
    return st->str.str;
}

L_CHAR* s_get_l_string(STREAM* st) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_is_string_writer(st) || !st->str.str || st->str.size <= 0) return nullptr;
    if (!grow(&st->str, 0, 4)) return nullptr;
    memset(st->str.str + st->str.size, 0, 4);
    return reinterpret_cast<L_CHAR*>(st->str.str);
}

int s_vprintf_string(STREAM* s, const char* fmt, va_list args) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_is_string_writer(s) || !fmt) return -1;
    return append_format(s, fmt, args, false);
}

int s_vprintf_string_cr(STREAM* s, const char* fmt, va_list args) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    if (!_is_string_writer(s) || !fmt) return -1;
    return append_format(s, fmt, args, true);
}

// ------------------------------------------------------------------------------------------------
// The kind's slots
//
// The core calls them with the stream lock released; they take it again, so that the bytes are
// never used while a close frees them or another task moves them (a writer growing them,
// s_get_string). They never block. A close leaves size at -1, and they fail from then on.

int s_read_string(STREAM* s, void* data, int len) {
    TaskLockGuard g(stream_lock);
    S_STRING* t = &s->str;
    if (s->h.mode != 0) return -1;  // a write stream has nothing to read
    if (t->size == 0) {
        t->size = -1;
        return 0;
    }
    if (t->size < 0) return -1;
    int n = len < t->size ? len : t->size;
    memcpy(data, t->ptr, static_cast<size_t>(n));
    t->ptr += n;
    t->size -= n;
    return n;
}

int s_write_string(STREAM* s, const void* data, int len) {
    TaskLockGuard g(stream_lock);
    S_STRING* t = &s->str;
    // A read stream may not own its bytes; a closed one has none.
    if (s->h.mode == 0 || t->size < 0) return -1;
    if (len == 0) return 0;
    if (len < 0 || !grow(t, len, 0)) return -1;
    memcpy(t->str + t->size, data, static_cast<size_t>(len));
    t->size += len;
    return len;
}

int s_close_string(STREAM* s) {
    S_STRING* t = &s->str;
    if (t->flag) d_f_ree(t->str);
    t->str = t->ptr = nullptr;
    t->size = -1;
    t->cap = 0;
    return 0;
}
