// What is copied out of a node while another task writes its vector: every copy is one the node
// held at some moment. A writer task sets every cell of the node to one value k at a time through
// a matrix cache (as imports write); each copy taken meanwhile must hold one k in every cell.
#include <filesystem>

#include "base/task.h"
#include "matrix/mxfile.h"
#include "matrix/mxtransfer.h"
#include "mx_util.h"

namespace {

using namespace mxt;
namespace fs = std::filesystem;

constexpr int kBlock = 12;  // one node of 4,096 cells
constexpr int kCells = 1 << kBlock;

// The writer: whole-vector writes of k = 1, 2, ... until told to stop.
MATRIX* written = nullptr;
std::atomic<int> writes{0};
std::atomic<bool> stop_writing{false}, writer_done{false};
void whole_writer(intptr_t) {
    MX_CACHE c{};
    int ch[1] = {0};
    c.m = written;
    c.access_ch = ch;
    c.ds_len = 1;
    c.gn_create = 3;
    c.gn_wait = 3;
    mxc_setup(&c);
    std::vector<int32_t> run(kCells);
    int32_t* ptr[1] = {run.data()};
    for (int32_t k = 1; !stop_writing.load(); k++) {
        std::fill(run.begin(), run.end(), k);
        MX_CACHE_PARAM p{};
        MX_CACHE_PARAM_IX ix{0, 0};
        int64_t dc[2] = {0, 0};
        p.c = &c;
        p.dc = dc;
        p.data_ix = &ix;
        p.data_ptrs[0] = ptr;
        p.vector_len = kCells;
        if (write_mx_cache_vector(&p) != kCells) break;
        flush_mx_cache(&c, 0);
        writes.store(k);
    }
    mxc_close(&c);
    writer_done = true;
}

// The cells of a vector value, or empty when it is not one of kCells int32 cells.
std::vector<int32_t> cells_of(void* v) {
    MATRIX_DH_SET dh{};
    if (v) get_matrix_dh_set(&dh, v);
    if (!dh.hd || dh.total_element != kCells) return {};
    std::vector<int32_t> r(kCells);
    memcpy(r.data(), dh.offset, sizeof(int32_t) * kCells);
    return r;
}

class SaveImageTest : public MatrixTest {
  protected:
    void SetUp() override {
        MatrixTest::SetUp();
        dir_ = fs::temp_directory_path() / ("vx_mxsave_" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        MatrixTest::TearDown();
        fs::remove_all(dir_);
    }
    // A matrix of one node on a file, its one int32 vector channel stored.
    MATRIX* on_file(const char* name) {
        std::string file = (dir_ / name).string();
        MATRIX* m = open_matrix(nullptr, l_string(std_cm, file.c_str()), nullptr, nullptr, nullptr);
        if (!m) return nullptr;
        opened_.push_back(m);
        MATRIX_PARAM p{};
        p.dim = 1;
        p.channel_nos = 1;
        p.read_file = matrix_standard_read_file;
        p.write_file = matrix_standard_write_file;
        p.close_file = close_matrix_file;
        EXPECT_EQ(set_matrix_param(m, &p), 0);
        set_matrix_dim_divide(m, 0, 1);
        set_matrix_block_size(m, 0, kBlock);
        set_matrix_pixel_size(m, 0, kCells);
        MATRIX_CHANNEL_INFO ci{get_matrix_data_type(MXT_INT32 + MXT_VECTOR), MX_CH_FILE, nullptr,
                               0};
        set_matrix_channel_info(m, 0, &ci);
        EXPECT_EQ(save_matrix_header(m), 0);
        for (int s = 0; s < MI_SAVE_TP; s++)
            set_matrix_cal(m, s, script(kReady));
        set_matrix_mode(m, 1);
        return m;
    }
    fs::path dir_;
};

// Each way of copying a node's vector out, tried many times while the writer runs.
TEST_F(SaveImageTest, CopiesTakenWhileAWriterWritesAreWholeImages) {
    MATRIX* m = on_file("a.mx");
    ASSERT_NE(m, nullptr);
    MATRIX_DATA_TYPE* tp = m->channel_info[0].data_type;
    ASSERT_TRUE(tp && tp->convert_to_net);
    MATRIX* dest = open({1, kCells, 1, kBlock, 1});
    for (int s = 0; s < MI_SAVE_TP; s++)
        set_matrix_cal(dest, s, script(kReady));
    int64_t dc[2] = {0, 0};

    struct Way {
        const char* name;
        std::function<std::vector<int32_t>(MATRIX_NODE*)> copy;
    };
    const std::vector<Way> ways = {
        // The save's image, read back from the file.
        {"save",
         [&](MATRIX_NODE* n) -> std::vector<int32_t> {
             if (save_matrix_node(n) != 0) return {};
             int64_t fofs;
             {
                 TaskLockGuard g(matrix_lock);
                 fofs = n->channel[0].data_fofs;
             }
             int64_t next = 0;
             int id = -1;
             void* v = load_matrix_data(&next, &id, m, fofs, tp);
             std::vector<int32_t> r = cells_of(v);
             if (v) tp->free_data(tp, v);
             return r;
         }},
        // A copy node to node into another matrix, read there.
        {"copy",
         [&](MATRIX_NODE*) -> std::vector<int32_t> {
             int none[1] = {-1};
             if (matrix_copy_node(dest, m, dc, none, MX_CH_FILE) != 0) return {};
             int err = 0;
             MATRIX_NODE* d = get_matrix_node_wait(&err, dest, dc, MI_FETCH_1_TP);
             if (!d) return {};
             std::vector<int32_t> r;
             {
                 TaskLockGuard g(matrix_lock);
                 _matrix_node_channel_lock(d);
                 r = cells_of(d->channel ? d->channel[0].data : nullptr);
                 _matrix_node_channel_unlock(d, 0);
             }
             unlock_node(d, nullptr);
             return r;
         }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        written = m;
        writes = 0;
        stop_writing = writer_done = false;
        create_task(whole_writer, 0, 1);
        ASSERT_TRUE(wait_for([] { return writes.load() > 0 || writer_done.load(); }));
        int err = 0;
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, MI_FETCH_1_TP);
        ASSERT_NE(n, nullptr);
        int mixed = 0, failed = 0;
        for (int round = 0, seen = 0; round < 200 && !writer_done.load(); round++) {
            // Each copy after at least one more write, so copies and writes interleave.
            EXPECT_TRUE(wait_for([&] { return writes.load() > seen || writer_done.load(); }));
            seen = writes.load();
            std::vector<int32_t> img = way.copy(n);
            if (img.empty()) {
                failed++;
                continue;
            }
            if (std::count(img.begin(), img.end(), img[0]) != kCells) mixed++;
        }
        stop_writing = true;
        EXPECT_TRUE(wait_for([] { return writer_done.load(); }));
        EXPECT_GT(writes.load(), 0);
        EXPECT_EQ(failed, 0);
        EXPECT_EQ(mixed, 0);
        // Once the writer has stopped, a copy holds its last write.
        std::vector<int32_t> last = way.copy(n);
        ASSERT_EQ(last.size(), static_cast<size_t>(kCells));
        EXPECT_EQ(last[0], writes.load());
        EXPECT_EQ(std::count(last.begin(), last.end(), last[0]), kCells);
        unlock_node(n, nullptr);
    }
}

}  // namespace
