#include "geo/raw_image.h"

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/panic.h"
#include "base/tick.h"
#include "image/gif.h"
#include "image/jpeg_glue.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "server/interp.h"
#include "server/session.h"
#include "stream/sprintf.h"
#include "stream/stream.h"

std::atomic<int> ri_count{0};

namespace {

constexpr int RI_MAX_ENTRIES = 99;
constexpr int RI_TICK_SECONDS = 30;
constexpr uint32_t QVE_RI_UNDEFINED = 0x8004070e;

using LString = std::basic_string<L_CHAR>;

SEM ri_lock = nullptr;
RAW_IMAGE* ri_root = nullptr;  // ring head: most recently used next to it
std::map<LString, RAW_IMAGE*>* avt_ri_root = nullptr;
SYS_QUEUE ri_que1;

// ---- counted buffers: a reference count in front of the bytes

struct alignas(16) CountedHead {
    std::atomic<int> refs;
};

void* counted_alloc(size_t n) {
    void* b = malloc(sizeof(CountedHead) + (n ? n : 1));
    if (!b) return nullptr;
    new (b) CountedHead{};
    static_cast<CountedHead*>(b)->refs.store(1);
    return static_cast<char*>(b) + sizeof(CountedHead);
}

CountedHead* head_of(void* p) {
    return reinterpret_cast<CountedHead*>(static_cast<char*>(p) - sizeof(CountedHead));
}

void* counted_hold(void* p) {
    if (p) head_of(p)->refs.fetch_add(1);
    return p;
}

// ---- ring and tree (ri_lock held)

void insert_ri_ring(RAW_IMAGE* ri) {
    ri->h.ri_next = ri_root->h.ri_next;
    ri->h.ri_prev = ri_root;
    ri_root->h.ri_next->h.ri_prev = ri;
    ri_root->h.ri_next = ri;
}

void delete_ri_ring(RAW_IMAGE* ri) {
    ri->h.ri_prev->h.ri_next = ri->h.ri_next;
    ri->h.ri_next->h.ri_prev = ri->h.ri_prev;
}

RAW_IMAGE* _search_ri(const L_CHAR* path) {
    auto it = avt_ri_root->find(LString(path));
    if (it == avt_ri_root->end()) return nullptr;
    delete_ri_ring(it->second);
    insert_ri_ring(it->second);
    return it->second;
}

// Unlinks and frees an entry that is not loading; the buffers lose the cache's reference.
void _delete_ri(RAW_IMAGE* ri) {
    delete_ri_ring(ri);
    avt_ri_root->erase(LString(ri->path));
    ri_count--;
    ri_release(ri->data);
    ri_release(ri->ndata);
    for (RI_QUEUE* q = ri->ri_que; q;) {
        RI_QUEUE* n = q->next;
        d_f_ree(q);
        q = n;
    }
    d_f_ree(ri->h.h.key);
    d_f_ree(ri->path);
    d_f_ree(ri);
}

L_CHAR* copy_path(const L_CHAR* p) {
    size_t n = static_cast<size_t>(l_strlen(p)) + 1;
    auto* c = static_cast<L_CHAR*>(d_alloc(static_cast<int64_t>(n * sizeof(L_CHAR))));
    memcpy(c, p, n * sizeof(L_CHAR));
    return c;
}

RI_QUEUE* new_waiter(RAW_IMAGE* ri, ri_que_cf func, void* cf_data) {
    auto* q = static_cast<RI_QUEUE*>(d_alloc(sizeof(RI_QUEUE)));
    q->next = ri->ri_que;
    q->ri = ri;
    q->data = cf_data;
    q->call_function = func;
    ri->ri_que = q;
    func(2, q, cf_data);
    return q;
}

// A new loading entry queued for its fetch; ri_lock held, and held again on return.
RAW_IMAGE* _insert_ri(ri_que_cf func, void* cf_data, const L_CHAR* path) {
    auto* ri = static_cast<RAW_IMAGE*>(new_queue_node(sizeof(RAW_IMAGE)));
    ri->path = copy_path(path);
    ri->err = 1;
    if (func) new_waiter(ri, func, cf_data);
    avt_ri_root->emplace(LString(path), ri);
    insert_ri_ring(ri);
    ri_count++;
    URL u;
    get_url2(&u, path);
    ri->h.h.key = get_server_key(&u, nullptr);
    free_url(&u);
    wakeup_task(&ri_root);
    // Queueing may wait for room: not under the cache's lock.
    unlock_task(ri_lock, "_insert_ri");
    insert_queue(&ri_que1, &ri->h.h, 1);
    lock_task(ri_lock);
    return ri;
}

// Calls every detached waiter with 1, then 4, and frees it.
void finish_waiters(RI_QUEUE* q) {
    while (q) {
        RI_QUEUE* n = q->next;
        if (q->call_function) {
            q->call_function(1, q, q->data);
            q->call_function(4, q, q->data);
        }
        d_f_ree(q);
        q = n;
    }
}

// ---- the fetch

QV_SEXP* default_fetch(QVISP_ENV* env, int session, const URL* u, QV_SEXP* cmd) {
    REMOTE_SESSION_OPT opt;
    setup_remote_session_opt(&opt);
    QV_SEXP* v =
        remote_session(env, session, u, l_string(std_cm, "standard"), l_string(std_cm, "user"),
                       l_string(std_cm, "Get"), cmd, nullptr, 0, 0, &opt);
    get_type(v);  // the deferred answer, waited for
    return v;
}

// The concatenated bytes of the raw elements of a list (a counted buffer), or null.
void* get_data(QV_SEXP* lst, int* len) {
    size_t total = 0;
    for (QV_SEXP* p = lst; get_type(p) == QVT_PAIR; p = cdr(p)) {
        QV_SEXP* e = car(p);
        if (get_type(e) == QVT_RAW && e->raw.size > 0) total += static_cast<size_t>(e->raw.size);
    }
    if (total > INT32_MAX) return nullptr;
    auto* out = static_cast<unsigned char*>(counted_alloc(total));
    if (!out) return nullptr;
    size_t at = 0;
    for (QV_SEXP* p = lst; get_type(p) == QVT_PAIR; p = cdr(p)) {
        QV_SEXP* e = car(p);
        if (get_type(e) != QVT_RAW || e->raw.size <= 0) continue;
        memcpy(out + at, e->raw.data, static_cast<size_t>(e->raw.size));
        at += static_cast<size_t>(e->raw.size);
    }
    *len = static_cast<int>(total);
    return out;
}

void* get_from_network(int session, const L_CHAR* path, int* len) {
    URL u;
    get_url2(&u, path);
    ss_printf("request\n");
    L_CHAR* fp = get_url_filepath(&u);
    QV_SEXP* cmd = list(list(n_get_symbol("Get"), get_string(fp), nullptr), nullptr);
    d_f_ree(fp);
    QV_SEXP* r = ri_fetch_func(vxlisp_top_env0, session, &u, cmd);
    free_url(&u);
    int t = get_type(r);
    if (t == QVT_ERROR) {
        ss_printf("raw Image error %ls ", path);
        print_sexp(s_stdout, r, 0);
        ss_printf("\n");
        return nullptr;
    }
    if (t != QVT_PAIR && t != QVT_NIL) {
        ss_printf("raw image type missmatch\n");
        return nullptr;
    }
    return get_data(r, len);
}

// The picture of the received bytes by the URL's extension (matched exactly), packed; null with
// the error value in *err when there is none.
void* decompress(const L_CHAR* path, const unsigned char* bytes, int len, int* w, int* h,
                 QV_SEXP** err) {
    *w = *h = 0;
    const L_CHAR* dot = nullptr;
    for (const L_CHAR* p = path; *p; p++)
        if (*p == '.') dot = p;
    std::string ext;
    for (const L_CHAR* p = dot; p && *p; p++)
        ext += *p < 128 ? static_cast<char>(*p) : '?';
    void* out = nullptr;
    int pw = 0, ph = 0;
    if (ext == ".gif") {
        unsigned int* px = gif_uncompress(&pw, &ph, nullptr, bytes, static_cast<size_t>(len));
        if (px) {
            out = counted_alloc(static_cast<size_t>(pw) * ph * 4);
            if (out) {
                auto* o = static_cast<uint32_t*>(out);
                auto* s = reinterpret_cast<const RGB4*>(px);
                for (size_t i = 0; i < static_cast<size_t>(pw) * ph; i++)
                    o[i] = static_cast<uint32_t>(s[i].r) << 2 |
                           static_cast<uint32_t>(s[i].g) << 12 |
                           static_cast<uint32_t>(s[i].b) << 22;
            }
            d_f_ree(px);
        }
    } else if (ext == ".jpg" || ext == ".jpeg") {
        unsigned char* px = jpeg_uncompress(&pw, &ph, bytes, static_cast<size_t>(len));
        if (px) {
            out = counted_alloc(static_cast<size_t>(pw) * ph * 4);
            if (out) {
                auto* o = static_cast<uint32_t*>(out);
                for (size_t i = 0; i < static_cast<size_t>(pw) * ph; i++)
                    o[i] = static_cast<uint32_t>(px[4 * i]) << 2 |
                           static_cast<uint32_t>(px[4 * i + 1]) << 12 |
                           static_cast<uint32_t>(px[4 * i + 2]) << 22;
            }
            free(px);
        }
    }
    if (!out) {
        *err = get_error(nullptr, 0, QVE_RI_UNDEFINED, l_string(std_cm, "raw_image"),
                         list(n_get_string("undefined the image data"), get_string(path), nullptr));
        return nullptr;
    }
    *w = pw;
    *h = ph;
    return out;
}

void fetch_one(int session, RAW_IMAGE* ri) {
    int len = 0, w = 0, h = 0;
    QV_SEXP* derr = nullptr;
    void* bytes = get_from_network(session, ri->path, &len);
    void* pic = nullptr;
    if (bytes) {
        pic = decompress(ri->path, static_cast<unsigned char*>(bytes), len, &w, &h, &derr);
        if (!pic) {
            ri_release(bytes);
            bytes = nullptr;
            fprintf(stderr, "decompress error");
            std::string e = print_sexp_text(derr, 0);
            fprintf(stderr, "%s\n", e.c_str());
        }
    }
    lock_task(ri_lock);
    if (pic) {
        ss_printf("DATA OK %i %i\n", w, h);
        ri->ndata = bytes;
        ri->ndata_len = len;
        ri->data = pic;
        ri->width = w;
        ri->height = h;
        ri->err = 0;
    } else {
        ri->err = -1;
    }
    RI_QUEUE* waiters = ri->ri_que;
    ri->ri_que = nullptr;
    wakeup_task(ri);
    unlock_task(ri_lock, "fetch_one");
    finish_waiters(waiters);
    if (!pic) return;
    lock_task(ri_lock);
    while (ri_count > RI_MAX_ENTRIES) {
        RAW_IMAGE* victim = nullptr;
        for (RAW_IMAGE* e = ri_root->h.ri_prev; e != ri_root; e = e->h.ri_prev)
            if (e->err != 1) {
                victim = e;
                break;
            }
        if (!victim) break;
        _delete_ri(victim);
    }
    unlock_task(ri_lock, "fetch_one");
}

void fetch_task(intptr_t qp) {
    auto* q = reinterpret_cast<SYS_QUEUE*>(qp);
    L_CHAR* key = touch_qkey(q);
    if (!key) return;
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_INTERNAL;
    setup_i(qvi);
    int session = open_session(1);
    gc_push(nullptr, nullptr, "raw_image");
    for (;;) {
        auto* ri = reinterpret_cast<RAW_IMAGE*>(delete_queue(q, sq_key_cond, key, 0));
        if (!ri) break;
        fetch_one(session, ri);
    }
    gc_pop(nullptr, nullptr);
    release_qkey(q, key);
    d_f_ree(key);
    close_session(session);
    close_self_interpreter();
}

}  // namespace

RI_FETCH_FUNC ri_fetch_func = default_fetch;

void ri_release(void* p) {
    if (!p) return;
    CountedHead* h = head_of(p);
    if (h->refs.fetch_sub(1) == 1) {
        h->~CountedHead();
        free(h);
    }
}

void init_qv_ri() {
    if (ri_lock) return;
    new_lock(&ri_lock);
    ri_root = static_cast<RAW_IMAGE*>(d_alloc(sizeof(RAW_IMAGE)));
    memset(ri_root, 0, sizeof(RAW_IMAGE));
    ri_root->h.ri_next = ri_root->h.ri_prev = ri_root;
    avt_ri_root = new std::map<LString, RAW_IMAGE*>();
    ri_count = 0;
    memset(&ri_que1, 0, sizeof ri_que1);
    ri_que1.flags = QUEUE_LIFO;
    ri_que1.key_func = fetch_task;
    ri_que1.pri = 4;
    setup_queue(&ri_que1);
    new_tick(ri_tick, RI_TICK_SECONDS, 0);
}

void* qv_get_ri(int* err, int* w, int* h, ri_que_cf func, void* cf_data, const L_CHAR* path) {
    lock_task(ri_lock);
    RAW_IMAGE* ri = _search_ri(path);
    void* ret = nullptr;
    if (!ri) {
        _insert_ri(func, cf_data, path);
        *err = 1;
    } else if (ri->err == 0) {
        *err = 0;
        *w = ri->width;
        *h = ri->height;
        ret = counted_hold(ri->data);
    } else if (ri->err == 1) {
        *err = 1;
        if (func) {
            bool have = false;
            for (RI_QUEUE* q = ri->ri_que; q && !have; q = q->next)
                have = q->call_function == func && func(3, q, cf_data) == 0;
            if (!have) new_waiter(ri, func, cf_data);
        }
    } else if (ri->err == -1) {
        *err = -1;
    } else {
        er_panic("get_ri");
    }
    unlock_task(ri_lock, "qv_get_ri");
    return ret;
}

void* qv_search_ri_org(int* err, int* len, const L_CHAR* path) {
    int w, h;
    void* pic = qv_get_ri(err, &w, &h, nullptr, nullptr, path);
    ri_release(pic);
    lock_task(ri_lock);
    void* ret = nullptr;
    for (;;) {
        auto it = avt_ri_root->find(LString(path));
        if (it == avt_ri_root->end()) {
            *err = -1;
            *len = -1;
            break;
        }
        RAW_IMAGE* ri = it->second;
        if (ri->err == 1) {
            sleep_task(ri, ri_lock);
            lock_task(ri_lock);
            continue;
        }
        if (ri->err == 0) {
            *err = 0;
            *len = ri->ndata_len;
            ret = counted_hold(ri->ndata);
        } else {
            *err = -1;
            *len = -1;
        }
        break;
    }
    unlock_task(ri_lock, "qv_search_ri_org");
    return ret;
}

int delete_ri(const L_CHAR* path) {
    lock_task(ri_lock);
    auto it = avt_ri_root->find(LString(path));
    int rc = -1;
    if (it != avt_ri_root->end() && it->second->err != 1) {
        _delete_ri(it->second);
        rc = 0;
    }
    unlock_task(ri_lock, "delete_ri");
    return rc;
}

void ri_tick(intptr_t, int) {
    if (!ri_lock) return;
    lock_task(ri_lock);
    for (RAW_IMAGE* ri = ri_root->h.ri_next; ri != ri_root; ri = ri->h.ri_next) {
        if (ri->err != 1) continue;
        for (RI_QUEUE* q = ri->ri_que; q; q = q->next) {
            if (!q->call_function || q->call_function(5, q, q->data) == 0) continue;
            q->call_function(4, q, q->data);
            q->call_function = nullptr;
            q->data = nullptr;
        }
    }
    unlock_task(ri_lock, "ri_tick");
}
