// Test support of the matrix store: the store started once per program, a test clock, small
// int32 element types when the real ones are not registered, test built-ins in the script
// environment that record what a script did, and matrices made from a few numbers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "base/textutil.h"
#include "geo/matrix_start.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "matrix/mxcache.h"
#include "matrix/mxstore.h"

namespace mxt {

inline std::atomic<uint32_t> clock_now{1000};
inline uint32_t test_clock() {
    return clock_now.load();
}

// What the test built-ins saw, in order.
inline std::mutex marks_mu;
inline std::vector<std::string> marks;
inline void mark(const std::string& s) {
    std::lock_guard<std::mutex> g(marks_mu);
    marks.push_back(s);
}
inline std::vector<std::string> take_marks() {
    std::lock_guard<std::mutex> g(marks_mu);
    std::vector<std::string> r;
    r.swap(marks);
    return r;
}

// ---- A minimal int32 scalar (code 4) and vector (code 20), used when none is registered ----

inline int i32_size(MATRIX_DATA_TYPE*, void*) {
    return 4;
}
inline void* i32_sexp2md(int* cpy, MATRIX_DATA_TYPE*, QV_SEXP* s) {
    if (get_type(s) != QVT_INTEGER) return nullptr;
    auto* p = static_cast<int32_t*>(d_alloc(4));
    *p = static_cast<int32_t>(s->integer.data);
    if (cpy) *cpy = 1;
    return p;
}
inline QV_SEXP* i32_md2sexp(MATRIX_DATA_TYPE*, void* d) {
    return get_integer(*static_cast<int32_t*>(d), nullptr);
}
inline int i32_cmp(MATRIX_DATA_TYPE*, void* a, void* b) {
    int32_t x = *static_cast<int32_t*>(a), y = *static_cast<int32_t*>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}
inline void i32_copy(MATRIX_DATA_TYPE*, void* d, void* s, int, void*) {
    memcpy(d, s, 4);
}
inline void* v32_sexp2md(int* cpy, MATRIX_DATA_TYPE* tp, QV_SEXP* s) {
    if (get_type(s) != QVT_PTR || s->ptr.gc != mtx_tag_vector) return nullptr;
    auto* h = static_cast<MATRIX_DATA_HEADER*>(s->ptr.ptr);
    if (h->type != tp->type) return nullptr;
    if (cpy) *cpy = 0;
    return h;
}
inline QV_SEXP* v32_md2sexp(MATRIX_DATA_TYPE* tp, void* d) {
    int n = tp->get_size(tp, d);
    void* c = mmalloc(n, gc_text);
    memcpy(c, d, n);
    return get_ptr(c, mtx_tag_vector);
}
inline int v32_cmp(MATRIX_DATA_TYPE* tp, void* a, void* b) {
    int x = tp->get_size(tp, a), y = tp->get_size(tp, b);
    if (x != y) return x < y ? -1 : 1;
    int r = memcmp(a, b, x);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

inline MATRIX_DATA_TYPE make_type(int code, const char* name, MATRIX_DATA_TYPE* parent) {
    MATRIX_DATA_TYPE t{};
    t.type = code;
    t.type_name = name;
    t.parent = parent;
    t.alloc_copy = xx_mxt_alloc_copy;
    t.free_data = mxt_free_data;
    if (!parent) {
        t.get_size = i32_size;
        t.sexp2md = i32_sexp2md;
        t.md2sexp = i32_md2sexp;
        t.cmp = i32_cmp;
        t.copy = i32_copy;
        t.alloc_data = xx_mxt_alloc_data;
    } else {
        t.get_size = mxt_vector_get_size;
        t.sexp2md = v32_sexp2md;
        t.md2sexp = v32_md2sexp;
        t.cmp = v32_cmp;
        t.copy = mxt_vector_copy;
        t.alloc_data = xx_mxt_alloc_vector;
    }
    return t;
}
inline MATRIX_DATA_TYPE test_i32 = make_type(MXT_INT32, "int32", nullptr);
inline MATRIX_DATA_TYPE test_v32 = make_type(MXT_INT32 + MXT_VECTOR, "int32_v", &test_i32);

// ---- Test built-ins ----

// (testMark value): records the printed value.
inline QV_SEXP* qv_testMark(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    mark(print_sexp_text(get_el(form, 1), 0));
    return nullptr;
}
// (testShow expr): evaluates expr itself and records the printed result, error values too.
inline QV_SEXP* qv_testShow(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* v = eval(env, get_el(form, 1));
    if (get_type(v) == QVT_ERROR) {
        char code[16];
        snprintf(code, sizeof code, "%08x", v->error.code);
        mark(std::string("ERR ") + code + " " + print_sexp_text(v->error.data, 0));
    } else {
        mark(print_sexp_text(v, 0));
    }
    return nullptr;
}
// (testWait code level x [y]): waits for the node of the code (access 3) with the given
// waiting code; records "W" each time it runs.
inline QV_SEXP* qv_testWait(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    mark("W");
    MATRIX_TOKEN* t = get_env_token(env);
    if (!t) return nullptr;
    int code = static_cast<int>(get_el(form, 1)->integer.data);
    MATRIX* m = t->process_node->matrix;
    int64_t* dc = get_dim_code_from_sexp(m, cdr(cdr(form)));
    int err = 0;
    MATRIX_NODE* n = get_matrix_node(&err, m, dc, MI_FETCH_1_TP, t, nullptr);
    d_f_ree(dc);
    if (err == 0) {
        unlock_node(n, t);
        return nullptr;
    }
    return matrix_error("testWait", form, code, nullptr);
}

inline void start() {
    static std::once_flag once;
    std::call_once(once, [] {
        static char prog[] = "test_matrix";
        static char* argv[] = {prog, nullptr};
        minimum_matrix_init(1, argv);
        set_matrix_clock(test_clock);
        if (!get_matrix_data_type(MXT_INT32)) insert_matrix_type_table(&test_i32);
        if (!get_matrix_data_type(MXT_INT32 + MXT_VECTOR)) insert_matrix_type_table(&test_v32);
        // testMark and testShow keep nothing of their calling environment, so a token's
        // environment they are called in may serve the next token, as with mxFinish.
        QV_SEXP* mark = get_func_prim(qv_testMark, FUNC_APPLICATIVE, nullptr, 2, 2);
        mark->func.keeps_no_env = 1;
        set_env(matrix_qv_env, l_string(std_cm, "testMark"), mark);
        QV_SEXP* show = get_func_prim(qv_testShow, FUNC_NORMAL, nullptr, 2, 2);
        show->func.keeps_no_env = 1;
        set_env(matrix_qv_env, l_string(std_cm, "testShow"), show);
        set_env(matrix_qv_env, l_string(std_cm, "testWait"),
                get_func_prim(qv_testWait, FUNC_APPLICATIVE, nullptr, 3, FUNC_NO_MAX));
    });
}

// A script: the expressions of the text, read whole.
inline QV_SEXP* script(const char* text) {
    QV_SEXP* s = read_qv_items(text);
    realize_whole(s);
    return s;
}

struct Geometry {
    int dim = 2;
    int64_t pixel = 1024;
    int divide = 1;
    int block = 8;
    int channels = 1;
    int channel_type = MXT_INT32 + MXT_VECTOR;
    int channel_flags = 0;
};

// An open matrix (mode 1) of the geometry; no file, no methods but those given.
inline MATRIX* make_matrix(const Geometry& g, MATRIX_PARAM* extra = nullptr) {
    MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
    MATRIX_PARAM p{};
    if (extra) p = *extra;
    p.dim = g.dim;
    p.channel_nos = g.channels;
    EXPECT_EQ(set_matrix_param(m, &p), 0);
    for (int d = 0; d < g.dim; d++) {
        set_matrix_dim_divide(m, d, g.divide);
        set_matrix_block_size(m, d, g.block);
        set_matrix_pixel_size(m, d, g.pixel);
    }
    for (int ch = 0; ch < g.channels; ch++) {
        MATRIX_CHANNEL_INFO ci{get_matrix_data_type(g.channel_type), g.channel_flags, nullptr, 0};
        set_matrix_channel_info(m, ch, &ci);
    }
    set_matrix_mode(m, 1);
    return m;
}

inline const char* kReady = "<mxFinish normal-jump-status=\"MS_OK\"/>";

// Waits (bounded) until cond holds; false when it never did.
template <class F>
bool wait_for(F cond, int ms = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Waits until the store's queue is empty and no token is alive on m.
inline bool quiet(MATRIX* m) {
    return wait_for([&] {
        TaskLockGuard g(matrix_lock);
        return matrix_que_count() == 0 && m->token_cnt == 0;
    });
}

inline int status_of(MATRIX* m, std::vector<int64_t> dc) {
    TaskLockGuard g(matrix_lock);
    for (MATRIX_NODE* k = m->node_hash[_get_node_hash(m, dc.data())]; k; k = k->nh_next)
        if (_cmp_dim_code(m, k->dim_code, dc.data()) == 0) return k->status;
    return -1;
}

class MatrixTest : public ::testing::Test {
  protected:
    void SetUp() override {
        start();
        take_marks();
        gc_push(nullptr, nullptr, "MatrixTest");
    }
    void TearDown() override {
        gc_pop(nullptr, nullptr);
        for (MATRIX* m : opened_)
            close_matrix(m);
        // The holders the store let go are freed now, so that later tests count only theirs.
        gc_tick_notin_tick(nullptr, 0);
        gc_tick_notin_tick(nullptr, 0);
    }
    MATRIX* open(const Geometry& g, MATRIX_PARAM* extra = nullptr) {
        MATRIX* m = make_matrix(g, extra);
        opened_.push_back(m);
        return m;
    }
    std::vector<MATRIX*> opened_;
};

}  // namespace mxt
