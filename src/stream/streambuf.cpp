// The block-list buffer (see streambuf.h).
#include "stream/streambuf.h"

#include <cstring>

#include "base/alloc.h"

namespace {

// Takes a real lock for the life of a scope; a null lock is the caller's to hold.
class OptLock {
  public:
    explicit OptLock(SEM s) : s_(s) {
        if (s_) lock_task(s_);
    }
    ~OptLock() {
        if (s_) unlock_task(s_, "sbuf");
    }
    OptLock(const OptLock&) = delete;
    OptLock& operator=(const OptLock&) = delete;

  private:
    SEM s_;
};

}  // namespace

void init_sbuf(STREAM_BUF* b, SEM lock) {
    OptLock g(lock);
    b->head = b->tail = nullptr;
}

void free_sbuf(STREAM_BUF* b, SEM lock) {
    OptLock g(lock);
    SBUF_DATA* d = b->head;
    b->head = b->tail = nullptr;
    while (d) {
        SBUF_DATA* next = d->next;
        d_f_ree(d);
        d = next;
    }
}

int64_t get_sbuf_data_size(STREAM_BUF* b, SEM lock) {
    OptLock g(lock);
    int64_t n = 0;
    for (SBUF_DATA* d = b->head; d; d = d->next)
        n += d->len - d->ptr;
    return n;
}

void copy_in_sbuf(STREAM_BUF* b, const void* data, int len, SEM lock) {
    if (len <= 0) return;
    SBUF_DATA* d = static_cast<SBUF_DATA*>(d_alloc(static_cast<int64_t>(sizeof(SBUF_DATA)) + len));
    d->next = nullptr;
    d->ptr = 0;
    d->len = len;
    memcpy(sbuf_bytes(d), data, static_cast<size_t>(len));
    OptLock g(lock);
    if (b->tail)
        b->tail->next = d;
    else
        b->head = d;
    b->tail = d;
}

int copy_out_sbuf(STREAM_BUF* b, void* data, int size, SEM lock) {
    OptLock g(lock);
    char* out = static_cast<char*>(data);
    int done = 0;
    while (done < size && b->head) {
        SBUF_DATA* d = b->head;
        int n = d->len - d->ptr;
        if (n > size - done) n = size - done;
        memcpy(out + done, sbuf_bytes(d) + d->ptr, static_cast<size_t>(n));
        done += n;
        d->ptr += n;
        if (d->ptr < d->len) break;
        b->head = d->next;
        if (!b->head) b->tail = nullptr;
        d_f_ree(d);
    }
    return done;
}

void move_sbuf(STREAM_BUF* b, STREAM_BUF* from, SEM lock) {
    if (!from->head) return;
    OptLock g(lock);
    if (b->tail)
        b->tail->next = from->head;
    else
        b->head = from->head;
    b->tail = from->tail;
    from->head = from->tail = nullptr;
}

SBUF_DATA* get_sbuf_head(STREAM_BUF* b, SEM lock) {
    OptLock g(lock);
    SBUF_DATA* d = b->head;
    if (!d) return nullptr;
    b->head = d->next;
    if (!b->head) b->tail = nullptr;
    d->next = nullptr;
    return d;
}
