// A program-wide cache of pictures fetched by URL from other agents. A caller asks for a picture
// by its URL and gets it at once when cached, or learns that it is loading (optionally leaving a
// waiter callback) while a fetch worker (one per server key) asks the remote agent for the file
// with `Get`, decodes it by its extension (".gif", ".jpg", ".jpeg", matched exactly) into pixels
// R << 2 | G << 12 | B << 22, and keeps the picture and the received bytes. Failed URLs stay
// cached as failed. At most 99 entries remain after each load; loading entries are never evicted.
//
// Pictures and bytes handed out are reference-counted: the caller holds them until it calls
// ri_release, so an eviction meanwhile never frees what a caller is using.
//
// It stands here, above the image glue and the server's sessions, because it needs both.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/queue.h"
#include "base/url.h"
#include "lisp/env.h"
#include "lisp/sexp.h"

struct RAW_IMAGE;
struct RI_QUEUE;

// Waiter operations, in the order they occur: 2 registered, 3 asked whether it already stands
// for cf_data (0: yes), 5 asked every tick while loading (nonzero: give up), 1 the picture is
// ready or failed (ri->err tells), 4 release the waiter's data.
typedef int (*ri_que_cf)(int op, RI_QUEUE* entry, void* cf_data);

struct RI_QUEUE {
    RI_QUEUE* next;
    RAW_IMAGE* ri;
    void* data;
    ri_que_cf call_function;
};

struct RAW_IMAGE_HEADER {
    Q_HEADER h;  // key: the server key of the URL
    RAW_IMAGE* ri_next;
    RAW_IMAGE* ri_prev;
};

struct RAW_IMAGE {
    RAW_IMAGE_HEADER h;
    L_CHAR* path;  // the URL, the cache key
    int width;     // 0 until loaded
    int height;
    void* data;   // width x height packed pixels (a counted buffer)
    void* ndata;  // the received file bytes (a counted buffer)
    int ndata_len;
    int err;  // 1 loading, 0 ready, -1 failed
    RI_QUEUE* ri_que;
};

// Entries cached now (changed under the cache's lock, readable anywhere).
extern std::atomic<int> ri_count;

// How the fetch worker asks an agent: by default a remote session with agent "standard", login
// mode "user" and centre command "Get"; tests put a stand-in here before init_qv_ri.
typedef QV_SEXP* (*RI_FETCH_FUNC)(QVISP_ENV* env, int session, const URL* u, QV_SEXP* cmd);
extern RI_FETCH_FUNC ri_fetch_func;

void init_qv_ri();
// The picture (a held reference, err 0, *w and *h set) when ready; null with err 1 while it
// loads (func queued as a waiter unless an equal one is there) or -1 when the fetch failed. An
// unknown path starts its fetch.
void* qv_get_ri(int* err, int* w, int* h, ri_que_cf func, void* cf_data, const L_CHAR* path);
// The received bytes (a held reference) and their length, waiting while the picture loads;
// null with *len -1 when the fetch failed.
void* qv_search_ri_org(int* err, int* len, const L_CHAR* path);
// Drops a reference that qv_get_ri or qv_search_ri_org handed out.
void ri_release(void* p);
// Removes an entry that is not loading: 0, or -1 when absent or loading.
int delete_ri(const L_CHAR* path);
// The 30-second poll of the waiters of loading entries.
void ri_tick(intptr_t data, int flag);
