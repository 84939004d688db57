// The chain kind and its carrier task (see chain_stream.h).
#include "stream/chain_stream.h"

#include <errno.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/task.h"
#include "base/tick.h"
#include "lisp/list.h"
#include "longchar/codemethod.h"
#include "server/interp.h"
#include "stream/sprintf.h"

SEM chain_lock = nullptr;

S_TABLE s_chain_table = {
    .type = 'c',
    .flags = 0,
    .dm = {{0, 0}},
    .next = nullptr,
    .open_desc = s_error_stream,
    .close = s_close_chain,
    .write = s_write_chain,
    .read = s_read_chain,
    .flush = s_flush_chain,
    .proc_send = s_error,
    .proc_recv = s_error_stream,
    .get_socketip = s_error,
    .checksum = nullptr,
};

namespace {

std::atomic<CHAIN_QUERY> chain_query{nullptr};

// What the standard output and error held before their first replacement by chain streams
// (under the stream lock).
STREAM* std_before_out = nullptr;
STREAM* std_before_err = nullptr;

// True when the carrier has been delivering one batch for CHAIN_STALL_SEC or more: its receiver
// does not answer (chain_lock held).
bool _stalled(const S_CHAIN* c) {
    return c->process == 1 && get_qvtime() - c->batch_at >= CHAIN_STALL_SEC;
}

// Sleeps once on the stream's key (chain_lock held, and held again on return). While the carrier
// delivers a batch, a time-out wakes the key by the moment that batch counts as stalled, so no
// waiter sleeps past it. The time-outs of a key can only be cancelled all at once, so a pending
// one that fires in time serves every waiter; a late one only wakes them once more.
void _wait_carrier(S_CHAIN* c) {
    if (c->process == 1) {
        uint32_t now = get_qvtime();
        uint32_t due = c->batch_at + CHAIN_STALL_SEC;
        if (due > now && !(c->wake_at > now && c->wake_at <= due)) {
            new_timeout(&c->iid, static_cast<int>(due - now));
            c->wake_at = due;
        }
    }
    sleep_task(&c->iid, chain_lock);
    lock_task(chain_lock);
}

// Waits until the carrier has taken and delivered everything written and no writer is inside,
// until the carrier has ended, or until it is stalled (chain_lock held; released while asleep).
void _s_flush_chain(S_CHAIN* c) {
    while ((c->process != 0 || c->write_process != 0 || c->buf_len != 0) && c->process != -1 &&
           !_stalled(c))
        _wait_carrier(c);
}

// The note that follows the bytes a stalled carrier's writers could not queue.
std::string dropped_note(int64_t dropped) {
    return "\n[" + std::to_string(dropped / 4) +
           " characters of output dropped: the receiving interpreter did not answer in time]\n";
}

// What a chain had queued and not sent when its carrier ended, and where it goes.
struct Leftover {
    STREAM* place = nullptr;
    std::vector<char> bytes;
    int64_t dropped = 0;
};

// Takes the bytes queued in c, unsent, for the stream given back (chain_lock held).
void _take_queued(S_CHAIN* c, STREAM* place, Leftover* out) {
    out->place = place;
    out->bytes.assign(c->buf, c->buf + c->buf_len);
    out->dropped = c->dropped;
    c->buf_len = 0;
    c->dropped = 0;
}

// The carrier has ended on its own: writers waiting for room and later writes fail, and a
// standard place holding the stream gets back what it held before, so the close is not refused
// and the output goes on there, beginning with what writers had queued and the carrier had not
// yet sent (the batch it was carrying went to the receiver, which may have printed it). The other
// standard place, when it went up a chain to the same target, goes back too and its stream is
// closed: its carrier would learn of the target's end only with its next batch.
void carrier_failed(STREAM* s) {
    S_CHAIN* c = &s->chain;
    Leftover left[2];
    lock_task(stream_lock);
    lock_task(chain_lock);
    int iid = c->iid;
    STREAM* mine = s_stdout == s ? std_before_out : s_stderr == s ? std_before_err : nullptr;
    if (mine) _take_queued(c, mine, &left[0]);
    c->process = -1;
    c->iid = -1;
    c->buf_len = 0;
    c->dropped = 0;
    wakeup_task(&c->iid);
    unlock_task(chain_lock, "chain_thread");
    STREAM* sibling = nullptr;
    if (s_stdout == s && std_before_out) s_stdout = std_before_out;
    if (s_stderr == s && std_before_err) s_stderr = std_before_err;
    std::atomic<STREAM*>* places[] = {&s_stdout, &s_stderr};
    STREAM* befores[] = {std_before_out, std_before_err};
    for (int i = 0; i < 2 && iid > 0; i++) {
        STREAM* o = *places[i];
        if (o == s || !befores[i] || !o || o->h.tbl != &s_chain_table) continue;
        TaskLockGuard cg(chain_lock);
        if (o->chain.iid != iid) continue;
        *places[i] = befores[i];
        _take_queued(&o->chain, befores[i], &left[1]);
        sibling = o;
    }
    unlock_task(stream_lock, "chain_thread");
    for (Leftover& l : left) {
        if (!l.place) continue;
        if (!l.bytes.empty())
            s_print_long_chars(l.place, reinterpret_cast<const uint8_t*>(l.bytes.data()),
                               static_cast<int>(l.bytes.size()));
        if (l.dropped > 0) {
            int err = 0;
            e_printf(l.place, &err, "%s", dropped_note(l.dropped).c_str());
        }
    }
    s_close_queue(sibling);
    _d_s_close(s, __FILE__, __LINE__);
}

// One batch as the call (PrintChain type raw-bytes), sent with the installed sender: false when
// the answer is an error value or no sender is installed.
bool carry(int iid, const char* type, const char* bytes, int n) {
    CHAIN_QUERY query = chain_query.load(std::memory_order_acquire);
    if (!query) return false;
    gc_push(nullptr, nullptr, "s_write_chain");
    QV_SEXP* form =
        list(n_get_symbol("PrintChain"), n_get_string(type), get_raw(bytes, n), nullptr);
    QVISP_ENV* env = new_env(nullptr);
    QV_SEXP* answer = query(iid, env, nullptr, form);
    bool ok = get_type(answer) != QVT_ERROR;
    gc_pop(nullptr, nullptr);
    return ok;
}

// The note as long characters of four bytes, big-endian (the stream's code method).
bool carry_note(int iid, const char* type, int64_t dropped) {
    std::string text = dropped_note(dropped);
    std::vector<char> bytes(4 * text.size());
    for (size_t i = 0; i < text.size(); i++)
        put_be32(reinterpret_cast<uint8_t*>(bytes.data() + 4 * i),
                 static_cast<unsigned char>(text[i]));
    return carry(iid, type, bytes.data(), static_cast<int>(bytes.size()));
}

void chain_thread(intptr_t data) {
    STREAM* s = reinterpret_cast<STREAM*>(data);
    S_CHAIN* c = &s->chain;
    set_t_msg("chain_thread");
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_INTERNAL;
    if (setup_i(qvi) < 0) {
        carrier_failed(s);
        return;
    }
    // The batch is copied out of the stream before any language memory is allocated: an
    // allocation may wait for a collection, and the collector takes the stream lock, which a
    // look-up (s_get_chain_from_iid) may hold while it waits for chain_lock.
    char batch[S_CHAIN_BUF_SIZE];
    int target = -1;  // the receiver the stream was opened to
    for (;;) {
        lock_task(chain_lock);
        if (c->iid >= 0) target = c->iid;
        while (c->buf_len == 0 && c->iid >= 0) {
            c->process = 0;
            wakeup_task(&c->iid);
            sleep_task(&c->iid, chain_lock);
            lock_task(chain_lock);
        }
        // A close that came while a stalled batch was out (its flush does not wait for a receiver
        // that does not answer) leaves the bytes queued behind that batch: once the receiver has
        // answered, they still go to it before the carrier ends, so nothing written is lost.
        if (c->buf_len == 0 || target < 0) {
            c->process = -1;
            wakeup_task(&c->iid);
            unlock_task(chain_lock, "chain_thread");
            break;
        }
        int n = c->buf_len;
        int iid = target;
        char type[2] = {c->type[0], 0};
        memcpy(batch, c->buf, static_cast<size_t>(n));
        // Bytes dropped while the buffer was full came after everything it holds now.
        int64_t dropped = c->dropped;
        c->dropped = 0;
        c->buf_len = 0;
        c->process = 1;
        c->batch_at = get_qvtime();
        wakeup_task(&c->iid);
        unlock_task(chain_lock, "chain_thread");
        bool ok = carry(iid, type, batch, n);
        if (ok && dropped > 0) {
            lock_task(chain_lock);
            c->batch_at = get_qvtime();
            unlock_task(chain_lock, "chain_thread");
            ok = carry_note(iid, type, dropped);
        }
        if (!ok) {
            carrier_failed(s);
            break;
        }
    }
    close_self_interpreter();
}

}  // namespace

int s_print_long_chars(STREAM* target, const uint8_t* data, int size) {
    int n = size / 4;
    std::vector<L_CHAR> text;
    text.reserve(static_cast<size_t>(n) + 1);
    for (int i = 0; i < n; i++)
        if (L_CHAR ch = get_be32(data + 4 * i)) text.push_back(ch);
    text.push_back(0);
    int err = 0;
    int r = text.size() > 1 ? e_printf(target, &err, "%ls", text.data()) : 0;
    return r < 0 || err != 0 ? -1 : 0;
}

void set_chain_query(CHAIN_QUERY fn) {
    chain_query.store(fn, std::memory_order_release);
}

CHAIN_QUERY get_chain_query() {
    return chain_query.load(std::memory_order_acquire);
}

void init_chain_stream() {
    new_lock(&chain_lock);
    insert_s_table(&s_chain_table);
}

STREAM* s_open_chain(int iid, char type) {
    if ((type != 'o' && type != 'e') || iid < 1 || !get_chain_query()) return nullptr;
    S_CHAIN* c = static_cast<S_CHAIN*>(d_calloc(sizeof(S_CHAIN), 1));
    c->h.tbl = &s_chain_table;
    c->iid = iid;
    c->type[0] = type;
    c->type[1] = 0;
    STREAM* s = reinterpret_cast<STREAM*>(c);
    {
        StreamPri pri;
        TaskLockGuard g(stream_lock);
        _xx_s_open(s, 2, ST_OTHER, __FILE__, __LINE__);
        _s_replace_cm(s, &extucs4_cm);
    }
    // A new chain can be turned away: no thread is waited for. Without a carrier the chain is
    // marked ended, so that its close does not wait for one, and the opener is refused.
    if (try_create_task(chain_thread, s, 1) == NO_TASK) {
        {
            TaskLockGuard g(chain_lock);
            c->process = -1;
            c->iid = -1;
        }
        s_close(s);
        return nullptr;
    }
    return s;
}

STREAM* s_get_chain_from_iid(int iid) {
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    for (STREAM* s = stream_list; s; s = s->h.next) {
        if (s->h.tbl != &s_chain_table) continue;
        TaskLockGuard cg(chain_lock);
        if (s->chain.iid == iid) return s;
    }
    return nullptr;
}

int s_is_chain(STREAM* s) {
    TaskLockGuard g(stream_lock);
    return _s_exist(s) && s->h.tbl == &s_chain_table ? 1 : 0;
}

int s_replace_std_chain(int iid) {
    STREAM* out = s_open_chain(iid, 'o');
    STREAM* err = out ? s_open_chain(iid, 'e') : nullptr;
    if (!err) {
        if (out) s_close(out);
        return -1;
    }
    STREAM* old_out;
    STREAM* old_err;
    {
        TaskLockGuard g(stream_lock);
        old_out = s_stdout;
        old_err = s_stderr;
        bool out_chain = old_out && old_out->h.tbl == &s_chain_table;
        bool err_chain = old_err && old_err->h.tbl == &s_chain_table;
        if (!out_chain) std_before_out = old_out;
        if (!err_chain) std_before_err = old_err;
        s_stdout = out;
        s_stderr = err;
        if (!out_chain) old_out = nullptr;
        if (!err_chain) old_err = nullptr;
    }
    // Closed in the background: the close waits for their delivery, which may need the caller.
    s_close_queue(old_out);
    if (old_err != old_out) s_close_queue(old_err);
    return 0;
}

int s_replace_std_stream(char type, STREAM* s) {
    if (!s || (type != 'o' && type != 'e')) return -1;
    std::atomic<STREAM*>* place = type == 'o' ? &s_stdout : &s_stderr;
    STREAM** before = type == 'o' ? &std_before_out : &std_before_err;
    STREAM* old;
    {
        TaskLockGuard g(stream_lock);
        old = *place;
        bool old_chain = old && old->h.tbl == &s_chain_table;
        if (!old_chain && s->h.tbl == &s_chain_table) *before = old;
        *place = s;
        if (!old_chain || old == s) old = nullptr;
    }
    s_close_queue(old);
    return 0;
}

// ------------------------------------------------------------------------------------------------
// The kind's slots

int s_write_chain(STREAM* s, const void* data, int len) {
    S_CHAIN* c = &s->chain;
    if (len < 0) return -1;
    const char* p = static_cast<const char*>(data);
    int done = 0;
    int ret = len;
    lock_task(chain_lock);
    c->write_process++;
    while (done < len) {
        while (c->buf_len >= S_CHAIN_BUF_SIZE && c->iid >= 0 && !_stalled(c)) {
            wakeup_task(&c->iid);
            _wait_carrier(c);
        }
        if (c->iid < 0) {
            ret = -1;
            break;
        }
        if (c->buf_len >= S_CHAIN_BUF_SIZE) {
            // The receiver does not answer: the rest is dropped, and the carrier notes how much
            // after the bytes queued before it.
            c->dropped += len - done;
            done = len;
            break;
        }
        int n = S_CHAIN_BUF_SIZE - c->buf_len;
        if (n > len - done) n = len - done;
        memcpy(c->buf + c->buf_len, p + done, static_cast<size_t>(n));
        c->buf_len = static_cast<int16_t>(c->buf_len + n);
        done += n;
        wakeup_task(&c->iid);
    }
    c->write_process--;
    wakeup_task(&c->iid);
    s->h.last_size = done;
    s->h.last_err = ret < 0 ? EPIPE : 0;
    unlock_task(chain_lock, "s_write_chain");
    if (ret < 0) errno = EPIPE;
    return ret;
}

int s_read_chain(STREAM*, void*, int) {
    errno = 0;
    return 0;
}

int s_flush_chain(STREAM* s) {
    S_CHAIN* c = &s->chain;
    lock_task(chain_lock);
    _s_flush_chain(c);
    bool ended = c->process == -1;
    unlock_task(chain_lock, "s_flush_chain");
    if (ended) {
        errno = EPIPE;
        return -1;
    }
    return 0;
}

// Called by the stream core with the stream lock held and `tbl` already cleared. The waits run
// with the stream lock released: delivery reaches the target's output streams, which take it.
int s_close_chain(STREAM* s) {
    S_CHAIN* c = &s->chain;
    // The writers and flushers still inside finish first (they leave as the carrier takes their
    // bytes, or at once when it has ended); no new one can enter.
    while (s->h.thread) {
        sleep_task(&s->h.thread, stream_lock);
        lock_task(stream_lock);
    }
    unlock_task(stream_lock, "s_close_chain");
    lock_task(chain_lock);
    _s_flush_chain(c);
    c->iid = -1;
    wakeup_task(&c->iid);
    // The carrier's last look at the record happens before the close returns, so the record may
    // be freed any time later.
    while (c->process != -1) {
        sleep_task(&c->iid, chain_lock);
        lock_task(chain_lock);
    }
    unlock_task(chain_lock, "s_close_chain");
    del_timeout(&c->iid);
    lock_task(stream_lock);
    return 0;
}
