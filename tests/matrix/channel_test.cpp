// Channel data: storing values with their update stamps, NaN and larger vectors, vectors of
// another shape than the node's refused, the reasons of
// get_channel_data, a node's channel without data at a negative access; the deferred answer of a
// reader whose node fails; syncing a matrix.
#include <cmath>

#include "mx_util.h"

namespace {

using namespace mxt;

// A double scalar (code 11) whose comparison, like the real one, calls NaN equal to anything.
int f64_size(MATRIX_DATA_TYPE*, void*) {
    return 8;
}
void* f64_sexp2md(int* cpy, MATRIX_DATA_TYPE*, QV_SEXP* s) {
    if (get_type(s) != QVT_FLOAT) return nullptr;
    auto* p = static_cast<double*>(d_alloc(8));
    *p = s->floating.data;
    if (cpy) *cpy = 1;
    return p;
}
QV_SEXP* f64_md2sexp(MATRIX_DATA_TYPE*, void* d) {
    return get_floating(*static_cast<double*>(d), nullptr);
}
int f64_cmp(MATRIX_DATA_TYPE*, void* a, void* b) {
    double x = *static_cast<double*>(a), y = *static_cast<double*>(b);
    if (std::isnan(x) || std::isnan(y)) return 0;
    return x < y ? -1 : x > y ? 1 : 0;
}
void f64_copy(MATRIX_DATA_TYPE*, void* d, void* s, int, void*) {
    memcpy(d, s, 8);
}
MATRIX_DATA_TYPE test_f64 = [] {
    MATRIX_DATA_TYPE t{};
    t.type = MXT_DOUBLE;
    t.type_name = "double";
    t.get_size = f64_size;
    t.sexp2md = f64_sexp2md;
    t.md2sexp = f64_md2sexp;
    t.cmp = f64_cmp;
    t.copy = f64_copy;
    t.alloc_copy = xx_mxt_alloc_copy;
    t.alloc_data = xx_mxt_alloc_data;
    t.free_data = mxt_free_data;
    return t;
}();

class ChannelTest : public MatrixTest {
  protected:
    MATRIX* ready_matrix(int type) {
        if (!get_matrix_data_type(MXT_DOUBLE)) insert_matrix_type_table(&test_f64);
        Geometry g{1, 64, 1, 3, 2, type, MX_CH_FILE};
        MATRIX* m = open(g);
        for (int s = MI_FETCH_1_TP; s <= MI_FETCH_1_TP + 2; s++)
            set_matrix_cal(m, s, script(kReady));
        return m;
    }
    MATRIX_NODE* ready(MATRIX* m, int64_t x) {
        int err = 0;
        int64_t dc[2] = {0, x};
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
        EXPECT_EQ(err, 0);
        return n;
    }
};

TEST_F(ChannelTest, StoringValuesStampsAndReasons) {
    MATRIX* m = ready_matrix(MXT_INT32);
    MATRIX_NODE* n = ready(m, 0);
    ASSERT_NE(n, nullptr);
    QV_SEXP* e = get_channel_data(n, 0, nullptr);
    ASSERT_EQ(get_type(e), QVT_ERROR);
    EXPECT_EQ(e->error.code, MXE_SCRIPT_NODE);
    EXPECT_EQ(print_sexp_text(e->error.data, 0),
              "(\"invalid object in channel of NODE\" \"not sexp data / no data\" (0 0) 0)");
    e = get_channel_data(n, 5, nullptr);
    EXPECT_EQ(print_sexp_text(e->error.data, 0),
              "(\"invalid object in channel of NODE\" \"overflow the ch No.\" (0 0) 5)");

    // A negative access does not make a channel's data.
    int err = 0;
    MATRIX_NODE* np = nullptr;
    int64_t dc[2] = {0, 0};
    EXPECT_EQ(get_matrix_node_channel(&err, &np, m, dc, 1, 0, -1, nullptr, 0), nullptr);
    EXPECT_EQ(err, -122);
    // The same through a tree walk: the walk's hold on the node is given back.
    int held = mx_ld(n->locked);
    EXPECT_EQ(get_matrix_node_channel(&err, &np, m, dc, 1, 1, 0, nullptr, 0), nullptr);
    EXPECT_EQ(err, -122);
    EXPECT_EQ(np, nullptr);
    EXPECT_EQ(mx_ld(n->locked), held);
    EXPECT_EQ(get_matrix_node_channel(&err, &np, m, dc, 2, 0, 0, nullptr, 0), nullptr);
    EXPECT_EQ(err, -104);

    EXPECT_EQ(set_channel_sexp(n, 0, get_integer(5, nullptr)), 1);
    EXPECT_EQ(get_matrix_update_time(n, 0, 1), 0);  // stored
    EXPECT_EQ(get_matrix_update_time(n, 0, -2), 1);
    EXPECT_EQ(set_channel_sexp(n, 0, get_integer(5, nullptr)), 0);
    EXPECT_EQ(get_matrix_update_time(n, 0, -2), 1);  // an equal value stamps nothing
    EXPECT_EQ(set_channel_sexp(n, 0, get_integer(6, nullptr)), 1);
    EXPECT_EQ(get_matrix_update_time(n, 0, -2), 0);
    EXPECT_EQ(get_matrix_update_time(n, 0, -1), 0);
    EXPECT_EQ(get_matrix_update_time(n, 0, -2), -1);
    EXPECT_EQ(print_sexp_text(get_channel_data(n, 0, nullptr), 0), "6");
    EXPECT_EQ(set_channel_sexp(n, 0, n_get_string("x")), -2);
    EXPECT_EQ(set_channel_sexp(n, 9, get_integer(1, nullptr)), -1);
    // Without save scripts nothing is marked dirty.
    EXPECT_EQ(n->dirty_file_time, 0u);
    unlock_node(n, nullptr);
}

TEST_F(ChannelTest, NanAndLargerVectorsAreStored) {
    MATRIX* m = ready_matrix(MXT_DOUBLE);
    MATRIX_NODE* n = ready(m, 8);
    EXPECT_EQ(set_channel_sexp(n, 0, get_floating(NAN, nullptr)), 1);
    EXPECT_EQ(set_channel_sexp(n, 0, get_floating(1.5, nullptr)), 1);
    EXPECT_EQ(print_sexp_text(get_channel_data(n, 0, nullptr), 0),
              print_sexp_text(get_floating(1.5, nullptr), 0));
    EXPECT_EQ(set_channel_sexp(n, 0, get_floating(NAN, nullptr)), 1);
    EXPECT_EQ(set_channel_sexp(n, 0, get_floating(NAN, nullptr)), 0);
    unlock_node(n, nullptr);

    // A vector larger than the stored one replaces it instead of overrunning it: the stored one
    // of 4 values, as a damaged file hands it back, and the node's own shape of 8 set over it.
    // A vector of another shape than the node's block is refused and changes nothing.
    MATRIX* v = ready_matrix(MXT_INT32 + MXT_VECTOR);
    MATRIX_NODE* k = ready(v, 0);
    MATRIX_DATA_TYPE* tp = get_matrix_data_type(MXT_INT32 + MXT_VECTOR);
    auto vec = [&](int kind, int dim, int size, int value) {
        int sizes[2] = {size, 1};
        int32_t def = value;
        MATRIX_ALLOC_VECTOR_PARAM p{dim, sizes, &def, nullptr};
        return tp->alloc_data(tp, kind, &p, nullptr, __FILE__, __LINE__);
    };
    auto val = [&](int dim, int size, int value) {
        return get_ptr(vec(MXA_COLLECTED, dim, size, value), mtx_tag_vector);
    };
    {
        TaskLockGuard g(matrix_lock);
        ASSERT_NE(k->channel, nullptr);
        if (k->channel[0].data) tp->free_data(tp, k->channel[0].data);
        k->channel[0].data = vec(MXA_TRACKED, 1, 4, 1);
    }
    EXPECT_EQ(set_channel_sexp(k, 0, val(1, 8, 2)), 1);
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, k->channel[0].data);
    EXPECT_EQ(dh.total_element, 8);
    EXPECT_EQ(reinterpret_cast<int32_t*>(dh.offset)[7], 2);
    EXPECT_EQ(set_channel_sexp(k, 0, val(1, 64, 3)), -4);
    EXPECT_EQ(set_channel_sexp(k, 0, val(1, 2, 3)), -4);
    EXPECT_EQ(set_channel_sexp(k, 0, val(0, 1, 3)), -4);
    EXPECT_EQ(set_channel_sexp(k, 0, val(2, 8, 3)), -4);
    get_matrix_dh_set(&dh, k->channel[0].data);
    EXPECT_EQ(dh.total_element, 8);
    EXPECT_EQ(reinterpret_cast<int32_t*>(dh.offset)[7], 2);
    unlock_node(k, nullptr);
}

TEST_F(ChannelTest, DeferredAnswerOfAFailedNodeAndSync) {
    Geometry g{1, 64, 1, 3, 1};
    MATRIX* m = open(g);  // no fetch script: the node fails
    int err = 0;
    int64_t dc[2] = {0, 16};
    QV_SEXP* first = nullptr;
    QV_SEXP* second = nullptr;
    {
        // Both readers ask before the worker can run the node's token.
        TaskLockGuard g(matrix_lock);
        EXPECT_NE(_get_matrix_node(&err, m, dc, 3, 0, &first, 0), nullptr);
        EXPECT_EQ(err, -103);
        _get_matrix_node(&err, m, dc, 3, 0, &second, 0);
        EXPECT_EQ(first, second);  // one deferred answer per node
    }
    ASSERT_TRUE(quiet(m));
    ASSERT_EQ(get_type(first), QVT_ERROR);
    EXPECT_EQ(first->error.code, MXE_SCRIPT_NODE);
    EXPECT_EQ(print_sexp_text(first->error.data, 0), "^\"get_matrix there is no node\"");

    MATRIX* r = ready_matrix(MXT_INT32);
    for (int64_t x = 0; x < 64; x += 8)
        get_matrix_node(&err, r, std::vector<int64_t>{0, x}.data(), 3, nullptr, nullptr);
    sync_matrix(r);
    for (int64_t x = 0; x < 64; x += 8)
        EXPECT_EQ(status_of(r, {0, x}), MS_OK);
}

TEST_F(ChannelTest, SyncGivesUpOnANodeThatNeverGetsThrough) {
    MATRIX* r = ready_matrix(MXT_INT32);
    int err = 0;
    int64_t dc[2] = {0, 8};
    // A holder that never lets go: sync used to wait for it for ever.
    MATRIX_NODE* held = get_matrix_node_wait(&err, r, dc, 3);
    ASSERT_NE(held, nullptr);
    ASSERT_EQ(err, 0);
    int old = mx_sync_patience;
    mx_sync_patience = 2;
    sync_matrix(r);  // returns after two passes without progress
    mx_sync_patience = old;
    unlock_node(held, nullptr);
    sync_matrix(r);  // with the holder gone it completes at once
    EXPECT_EQ(status_of(r, {0, 8}), MS_OK);
}

}  // namespace
