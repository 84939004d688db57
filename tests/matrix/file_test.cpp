// Matrix files: a matrix written by one opening reads back in another, byte layouts of the
// records, nodes through the default fetch script, refusal of a second live opener and of
// damaged files without touching them, the file re-opened after the idle closer.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "geo/gmx_pnm.h"
#include "matrix/compact_code.h"
#include "matrix/mxfile.h"
#include "matrix/mxtransfer.h"
#include "mx_util.h"
#include "pdb/l_favt64.h"
#include "pdb/pdb64.h"
#include "pdb/pdb_util.h"
#include "support/child.h"
#include "support/stdout_text.h"

namespace {

using namespace mxt;
namespace fs = std::filesystem;

std::string read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}
void write_all(const std::string& path, const std::string& s) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(s.data(), static_cast<std::streamsize>(s.size()));
}

// The fetch script of a matrix that reads its nodes from its file.
const char* kFetch =
    "<mxFinish\n\tnormal-jump-status=\"MS_OK\"\n\terr-jump-status=\"MS_PROCESS_ERR_1\"/>\n"
    "<mxLoad target=\"file\"/>\n";

class FileTest : public MatrixTest {
  protected:
    // Runs the kill rounds; *refused: the rounds whose file was refused as damaged at opening.
    void killed_writers(uint32_t seed, int rounds, const std::vector<std::string>& extra,
                        int* refused = nullptr, int min_ms = 0, int spread_ms = 500);
    void SetUp() override {
        MatrixTest::SetUp();
        dir_ = fs::temp_directory_path() /
               ("vx_mxfile_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        MatrixTest::TearDown();
        // The independent checker reads the files the tests leave (tests/pdb/pdbcheck.py).
        if (const char* keep = getenv("VX_MX_SAMPLE_DIR")) {
            std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
            for (auto& e : fs::directory_iterator(dir_))
                fs::copy(e.path(), fs::path(keep) / (test + "-" + e.path().filename().string()),
                         fs::copy_options::overwrite_existing);
        }
        fs::remove_all(dir_);
    }
    std::string path(const char* name) { return (dir_ / name).string(); }

    // A matrix on a file, without parameters yet.
    MATRIX* bare(const std::string& file) {
        MATRIX* m = open_matrix(nullptr, l_string(std_cm, file.c_str()), nullptr, nullptr, nullptr);
        EXPECT_NE(m, nullptr);
        if (m) opened_.push_back(m);
        return m;
    }
    void methods(MATRIX* m) {
        MATRIX_PARAM p{};
        p.read_file = matrix_standard_read_file;
        p.write_file = matrix_standard_write_file;
        p.close_file = close_matrix_file;
        EXPECT_EQ(set_matrix_param(m, &p), 0);
    }
    // A new matrix file: 2-D, divide `divide`, int32 channels 0 (stored and sent) and 1 (sent
    // only).
    MATRIX* create(const std::string& file, int divide) {
        MATRIX* m = bare(file);
        MATRIX_PARAM p{};
        p.dim = 2;
        p.channel_nos = 2;
        EXPECT_EQ(set_matrix_param(m, &p), 0);
        methods(m);
        for (int d = 0; d < 2; d++) {
            set_matrix_dim_divide(m, d, divide);
            set_matrix_block_size(m, d, 4);
            set_matrix_pixel_size(m, d, 1 << 12);
        }
        MATRIX_CHANNEL_INFO a{get_matrix_data_type(MXT_INT32), MX_CH_FILE | MX_CH_SEND, nullptr, 0};
        MATRIX_CHANNEL_INFO b{get_matrix_data_type(MXT_INT32), MX_CH_SEND, nullptr, 0};
        set_matrix_channel_info(m, 0, &a);
        set_matrix_channel_info(m, 1, &b);
        EXPECT_EQ(save_matrix_header(m), 0);
        ready_scripts(m);
        set_matrix_mode(m, 1);
        return m;
    }
    MATRIX* reopen(const std::string& file, int* err = nullptr, const char* fetch = nullptr) {
        MATRIX* m = bare(file);
        int r = load_matrix_header(m, O_RDWR | O_CREAT, 0644);
        if (err) *err = r;
        if (r < 0) return m;
        methods(m);
        if (fetch)
            for (int s = MI_FETCH_1_TP; s <= MI_FETCH_1_TP + 2; s++)
                set_matrix_cal(m, s, script(fetch));
        else
            ready_scripts(m);
        set_matrix_mode(m, 1);
        return m;
    }
    // A new matrix file of width x height cells in blocks of 16 x 16, divide 1, with one stored
    // int32 channel; its changed nodes are saved by mxSave.
    MATRIX* saving(const std::string& file, int64_t width, int64_t height) {
        MATRIX* m = bare(file);
        MATRIX_PARAM p{};
        p.dim = 2;
        p.channel_nos = 1;
        EXPECT_EQ(set_matrix_param(m, &p), 0);
        methods(m);
        for (int d = 0; d < 2; d++) {
            set_matrix_dim_divide(m, d, 1);
            set_matrix_block_size(m, d, 4);
        }
        set_matrix_pixel_size(m, 0, width);
        set_matrix_pixel_size(m, 1, height);
        MATRIX_CHANNEL_INFO a{get_matrix_data_type(MXT_INT32), MX_CH_FILE, nullptr, 0};
        set_matrix_channel_info(m, 0, &a);
        EXPECT_EQ(save_matrix_header(m), 0);
        ready_scripts(m);
        set_matrix_cal(m, MI_SAVE_TP, script("<mxSave/>"));
        set_matrix_cal_equ(m, MI_SAVE_MD, MI_SAVE_TP);
        set_matrix_cal_equ(m, MI_SAVE_BT, MI_SAVE_TP);
        set_matrix_mode(m, 1);
        return m;
    }
    void ready_scripts(MATRIX* m) {
        for (int s = 0; s < MI_SAVE_TP; s++)
            set_matrix_cal(m, s, script(kReady));
    }
    MATRIX_NODE* node(MATRIX* m, std::vector<int64_t> dc, int* err = nullptr) {
        int e = 0;
        MATRIX_NODE* n = get_matrix_node_wait(&e, m, dc.data(), MI_FETCH_1_TP);
        if (err) *err = e;
        return n;
    }
    int value(MATRIX_NODE* n, int ch) {
        TaskLockGuard g(matrix_lock);
        void* d = n->channel ? n->channel[ch].data : nullptr;
        return d ? *static_cast<int32_t*>(d) : -999;
    }
    // The payload of the record at fofs of m's open file.
    std::string record(MATRIX* m, int64_t fofs, int* type = nullptr) {
        EXPECT_EQ(mx_start_file_access(m), 0);
        auto* w = static_cast<MX_FILE_WORK*>(m->file_work);
        auto* r = static_cast<uint8_t*>(l_read_filespace64f(w->pdb, fofs));
        mx_finish_file_access(m);
        if (!r) return "";
        if (type) *type = pn64_type(r);
        std::string s(reinterpret_cast<char*>(r) + 16, pn64_size(r) - 16);
        d_f_ree(r);
        return s;
    }
    // Closes every matrix opened so far (their files are written and closed).
    void close_all() {
        for (MATRIX* m : opened_)
            close_matrix(m);
        opened_.clear();
    }
    fs::path dir_;
};

TEST_F(FileTest, NodesWrittenByOneOpeningReadInAnother) {
    std::string file = path("a.mx");
    MATRIX* m = create(file, 7);
    ASSERT_EQ(m->dim_bit_field, 0);
    MATRIX_NODE* n = node(m, {1, 2048, 0});
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(77, nullptr)), 0);
    ASSERT_GE(set_channel_sexp(n, 1, get_integer(5, nullptr)), 0);  // not a file channel
    int64_t child[3] = {0, 16, 32};
    insert_dim_code_index(n, child, 0);
    EXPECT_EQ(save_matrix_node(n), 0);
    EXPECT_EQ(save_matrix_node(n), 0);  // in place
    MATRIX_NODE* empty = node(m, {0, 0, 0});
    EXPECT_EQ(save_matrix_node(empty), 0);

    // Layouts: the node record, its one channel record and the child lists.
    int type = 0;
    std::string rec = record(m, n->fofs, &type);
    EXPECT_EQ(type, MX_REC_NODE);
    ASSERT_EQ(rec.size(), 16u + 7u);
    EXPECT_EQ(get_be64(reinterpret_cast<const uint8_t*>(rec.data())),
              static_cast<uint64_t>(n->channel[0].data_fofs));
    EXPECT_EQ(get_be64(reinterpret_cast<const uint8_t*>(rec.data()) + 8),
              static_cast<uint64_t>(n->dim_addr_fofs));
    EXPECT_EQ(rec.substr(16), std::string("\x00\x01\x08\x00\x00\x00\xF1", 7));
    EXPECT_EQ(n->channel[1].data_fofs, 0);
    std::string data = record(m, n->channel[0].data_fofs, &type);
    EXPECT_EQ(type, MX_REC_DATA);
    EXPECT_EQ(data, std::string("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x4D", 16));
    EXPECT_EQ(record(m, n->dim_addr_fofs), std::string("\x00\x00\x00\x10\x00\x20\xF1\xF2", 8));
    EXPECT_EQ(record(m, empty->dim_addr_fofs, &type), std::string(8, '\xF2'));
    EXPECT_EQ(type, MX_REC_DIM_ADDR);
    unlock_node(n, nullptr);
    unlock_node(empty, nullptr);
    close_all();

    // The header: fixed fields, dimensions, compact pixel sizes, unaligned channel infos.
    std::string bytes = read_all(file);
    std::string head("\x00\x00\x00\x02\x00\x00\x00\x02", 8);
    size_t at = bytes.find(head);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(bytes.substr(at + 32, 4), std::string("\x07\x07\x04\x04", 4));
    EXPECT_EQ(bytes.substr(at + 36, 4), std::string("\x10\x00\x10\x00", 4));
    EXPECT_EQ(bytes.substr(at + 40, 4), std::string("\x00\x04\x00\x03", 4));
    EXPECT_EQ(bytes.substr(at + 52, 4), std::string("\x00\x04\x00\x01", 4));

    // Another opening reads the parameters and, through the fetch script, the stored nodes;
    // a node never stored fails its fetch.
    MATRIX* b = reopen(file, nullptr, kFetch);
    EXPECT_EQ(b->p.dim, 2);
    EXPECT_EQ(b->p.channel_nos, 2);
    EXPECT_EQ(b->pixel_size[1], 1 << 12);
    EXPECT_EQ(b->channel_info[0].flags, MX_CH_FILE | MX_CH_SEND);
    int err = 0;
    MATRIX_NODE* back = node(b, {1, 2048, 0}, &err);
    ASSERT_EQ(err, 0);
    EXPECT_EQ(back->status, MS_OK);
    EXPECT_EQ(value(back, 0), 77);
    EXPECT_EQ(value(back, 1), -999);
    ASSERT_EQ(back->nlist_dim_addr_len, 1);
    EXPECT_EQ(std::vector<int64_t>(back->nlist_dim_addr[0], back->nlist_dim_addr[0] + 3),
              std::vector<int64_t>({0, 16, 32}));
    unlock_node(back, nullptr);
    node(b, {1, 2048, 2048}, &err);
    EXPECT_LT(err, 0);
    EXPECT_EQ(status_of(b, {1, 2048, 2048}), MS_PROCESS_ERR_1);
}

// The single-record functions: data records written in place and read back whatever their
// kind, node records and child lists read by offset, and records of another kind refused.
TEST_F(FileTest, SingleRecordsByOffset) {
    MATRIX* m = create(path("r.mx"), 7);
    MATRIX_DATA_TYPE* i32 = get_matrix_data_type(MXT_INT32);
    int32_t v = 7;
    int64_t d1 = save_matrix_data_1(m, 0, &v, i32);
    ASSERT_GT(d1, 0);
    v = 9;
    EXPECT_EQ(save_matrix_data_1(m, d1, &v, i32), d1);  // same size: in place
    int64_t d2 = save_matrix_data_2(m, 0, &v, 123, 1, i32);
    ASSERT_GT(d2, 0);
    int64_t bad_id = save_matrix_data_2(m, 0, &v, 0, 2, i32);
    struct Case {
        int64_t fofs;
        int value, id;
        int64_t next;
    } cases[] = {{d1, 9, -1, -1}, {d2, 9, 1, 123}, {bad_id, -999, -1, -1}, {1, -999, -1, -1}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.fofs);
        int64_t next = -1;
        int id = -1;
        void* got = load_matrix_data(&next, &id, m, k.fofs, i32);
        EXPECT_EQ(got ? *static_cast<int32_t*>(got) : -999, k.value);
        EXPECT_EQ(id, k.id);
        EXPECT_EQ(next, k.next);
        if (got) mxt_free_data(i32, got);
    }
    MATRIX_NODE* n = node(m, {1, 2048, 0});
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(77, nullptr)), 0);
    int64_t child[3] = {0, 16, 32};
    insert_dim_code_index(n, child, 0);
    ASSERT_EQ(save_matrix_node(n), 0);
    PN64_MX_NODE raw{};
    uint8_t* org = nullptr;
    int64_t dc[3] = {};
    EXPECT_EQ(load_raw_matrix_node(&raw, &org, dc, nullptr, m, n->fofs), 0);
    EXPECT_EQ(raw.channel_fofs, n->channel[0].data_fofs);
    EXPECT_EQ(raw.nlist_dim_addr, n->dim_addr_fofs);
    EXPECT_EQ(std::vector<int64_t>(dc, dc + 3), std::vector<int64_t>({1, 2048, 0}));
    ASSERT_NE(org, nullptr);
    EXPECT_EQ(pn64_type(org), MX_REC_NODE);
    d_f_ree(org);
    EXPECT_EQ(load_raw_matrix_node(&raw, nullptr, nullptr, nullptr, m, d1), -2);
    MATRIX_NODE* other = node(m, {1, 0, 2048});
    EXPECT_EQ(load_matrix_dim_addr(other, d1), -1);
    EXPECT_EQ(load_matrix_dim_addr(other, n->dim_addr_fofs), 0);
    ASSERT_EQ(other->nlist_dim_addr_len, 1);
    EXPECT_EQ(other->dim_addr_fofs, n->dim_addr_fofs);
    // The ring's functions need a cache_file matrix: this one has no ring records.
    EXPECT_EQ(setup_mx_cache_ring(m, d1, n->fofs), -1);
    unlock_node(n, nullptr);
    unlock_node(other, nullptr);
}

TEST_F(FileTest, NeverStoredNodeTakesOverTheStoredRecords) {
    std::string file = path("b.mx");
    MATRIX* m = create(file, 1);
    ASSERT_EQ(m->dim_bit_field, 1);
    MATRIX_NODE* n = node(m, {1, 0, 0});
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(1, nullptr)), 0);
    {
        TaskLockGuard g(matrix_lock);
        n->nlist_dim_bit_field[0] = 0x09;
    }
    ASSERT_EQ(save_matrix_node(n), 0);
    int64_t first = n->fofs;
    int64_t data = n->channel[0].data_fofs;
    unlock_node(n, nullptr);
    close_all();
    // A second opening fills the node without loading it and saves it: same records, new value.
    MATRIX* b = reopen(file);
    n = node(b, {1, 0, 0});
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(2, nullptr)), 0);
    {
        TaskLockGuard g(matrix_lock);
        n->nlist_dim_bit_field[0] = 0x06;
    }
    EXPECT_EQ(n->fofs, 0);
    ASSERT_EQ(save_matrix_node(n), 0);
    EXPECT_EQ(n->fofs, first);
    EXPECT_EQ(n->channel[0].data_fofs, data);
    std::string rec = record(b, first);
    EXPECT_EQ(rec.substr(8), std::string("\x00\x01\x00\x00\x00\x00\xF1\x06", 8));
    unlock_node(n, nullptr);
    close_all();
    MATRIX* c = reopen(file, nullptr, kFetch);
    n = node(c, {1, 0, 0});
    EXPECT_EQ(value(n, 0), 2);
    EXPECT_EQ(n->nlist_dim_bit_field[0], 0x06);
    unlock_node(n, nullptr);
}

// (testPeek): records how a reader without token finds the node the calling script works on:
// "ready", or the look-up's code.
QV_SEXP* qv_testPeek(QVISP_ENV* env, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    MATRIX_TOKEN* t = get_env_token(env);
    if (!t) return nullptr;
    MATRIX_NODE* n = t->process_node;
    int err = 0;
    MATRIX_NODE* r = get_matrix_node(&err, n->matrix, n->dim_code, -1, nullptr, nullptr);
    if (r && err == 0) unlock_node(r, nullptr);
    mark(err == 0 ? "ready" : std::to_string(err));
    return nullptr;
}

// A node loaded by its slot is ready to readers when the slot ends, not while the slot's later
// steps still make its channels; a step failing after the load leaves it failed, not half made.
// Within the slot the node counts as loaded (it saves), a jump runs on a ready node, and tokens
// that wait on each other after their loads still go on.
TEST_F(FileTest, LoadedNodeIsReadyWhenItsSlotEnds) {
    set_env(matrix_qv_env, l_string(std_cm, "testPeek"),
            get_func_prim(qv_testPeek, FUNC_APPLICATIVE, nullptr, 1, 1));
    std::string file = path("r.mx");
    MATRIX* m = create(file, 1);
    const std::vector<std::vector<int64_t>> codes = {{0, 0, 0}, {0, 16, 0}, {1, 0, 0}};
    for (size_t i = 0; i < codes.size(); i++) {
        MATRIX_NODE* n = node(m, codes[i]);
        ASSERT_GE(set_channel_sexp(n, 0, get_integer(10 + static_cast<int>(i), nullptr)), 0);
        if (i == 2)
            for (int i2 = 0; i2 < 2; i2++)
                insert_dim_code_index(n, const_cast<int64_t*>(codes[i2].data()), 0);
        ASSERT_EQ(save_matrix_node(n), 0);
        unlock_node(n, nullptr);
    }
    close_all();

    MATRIX* b = reopen(file);
    // The trigger is told of the loaded node once its status says ready.
    static std::vector<int> told;
    told.clear();
    MATRIX_PARAM tp{};
    tp.trigger = [](int event, void* data) {
        if (event == 2) told.push_back(static_cast<MATRIX_TOKEN*>(data)->process_node->status);
    };
    ASSERT_EQ(set_matrix_param(b, &tp), 0);
    set_matrix_cal(b, MI_FETCH_1_TP + 2,
                   script("<mxLoad/> (testPeek) (testShow (mxSave)) (testPeek)"));
    MATRIX_NODE* n = node(b, {0, 0, 0});
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->status, MS_OK);
    EXPECT_EQ(told, std::vector<int>{MS_OK});
    EXPECT_EQ(value(n, 0), 10);
    unlock_node(n, nullptr);
    EXPECT_EQ(take_marks(), (std::vector<std::string>{"-103", "()", "-103"}));
    // A later step fails: the node is not served as it stands.
    set_matrix_cal(b, MI_FETCH_1_TP + 2, script("<mxLoad/> (testPeek) (noSuchFunction)"));
    int err = 0;
    MATRIX_NODE* failed = node(b, {0, 16, 0}, &err);
    EXPECT_EQ(failed, nullptr);
    if (failed) unlock_node(failed, nullptr);
    EXPECT_EQ(status_of(b, {0, 16, 0}), MS_LOADING_ERR_1);
    EXPECT_EQ(take_marks(), std::vector<std::string>{"-103"});
    // A jump goes on with the node ready, as loaded.
    set_matrix_cal(b, MI_FETCH_1_TP + 1,
                   script("<mxFinish normal-jump=\"MI_EDIT_1\"/> <mxLoad/> (testPeek)"));
    set_matrix_cal(b, MI_EDIT_1_TP + 1, script("(testPeek)"));
    n = node(b, {1, 0, 0});
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(value(n, 0), 12);
    unlock_node(n, nullptr);
    EXPECT_TRUE(quiet(b));
    EXPECT_EQ(take_marks(), (std::vector<std::string>{"-103", "ready"}));
    close_all();

    // A child that waits for its parent after its load, and the parent that reads its children
    // after its own: both end ready.
    b = reopen(file);
    set_matrix_cal(b, MI_FETCH_1_TP + 2, script("<mxLoad/> <mxCH type=\"parent\">0</mxCH>"));
    set_matrix_cal(b, MI_FETCH_1_TP + 1, script("<mxLoad/> <mxCH type=\"children\">0</mxCH>"));
    get_matrix_node(&err, b, codes[1].data(), MI_FETCH_1_TP, nullptr, nullptr);
    EXPECT_TRUE(wait_for([&] {
        return status_of(b, codes[1]) == MS_OK && status_of(b, codes[0]) == MS_OK &&
               status_of(b, codes[2]) == MS_OK;
    }));
}

TEST_F(FileTest, LiveSecondOpenerAndIdleClosing) {
    std::string file = path("c.mx");
    MATRIX* m = create(file, 7);
    MATRIX_NODE* n = node(m, {0, 0, 0});
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(3, nullptr)), 0);
    ASSERT_EQ(save_matrix_node(n), 0);
    unlock_node(n, nullptr);
    // Writes reach the file when the idle closer closes it; until then a second opener (another
    // name of the same file) is refused and changes nothing.
    std::string before = read_all(file);
    int err = 0;
    reopen(dir_.string() + "/./c.mx", &err);
    EXPECT_EQ(err, MXF_DAMAGED);
    EXPECT_EQ(read_all(file), before);
    EXPECT_GT(mx_open_file_count(), 0);
    int open_before = mx_open_file_count();
    clock_now += 300;
    mx_close_idle_files();
    EXPECT_EQ(mx_open_file_count(), open_before - 1);
    // The next access opens it again.
    n = node(m, {0, 0, 0});
    EXPECT_EQ(load_matrix_node(n), 0);
    EXPECT_EQ(value(n, 0), 3);
    EXPECT_EQ(mx_open_file_count(), open_before);
    unlock_node(n, nullptr);
    // A new file is never made over one that holds anything.
    MATRIX* again = bare(dir_.string() + "/././c.mx");
    MATRIX_PARAM p{};
    p.dim = 1;
    p.channel_nos = 1;
    set_matrix_param(again, &p);
    set_matrix_dim_divide(again, 0, 1);
    set_matrix_block_size(again, 0, 1);
    set_matrix_pixel_size(again, 0, 8);
    EXPECT_EQ(save_matrix_header(again), -1);
    close_all();
    EXPECT_NE(read_all(file), "");
}

// The idle closer goes by the later of the file's and the matrix's last use: a matrix looked up
// every 100 seconds keeps its file open and its node as changed in memory (its level has no save
// script), though the file itself is not touched; once nobody looks, the file is closed.
TEST_F(FileTest, AMatrixInUseKeepsItsFileAndItsNodes) {
    MATRIX* m = create(path("u.mx"), 7);
    MATRIX_NODE* n = node(m, {0, 0, 0});
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(41, nullptr)), 0);
    unlock_node(n, nullptr);
    int open_before = mx_open_file_count();
    for (int step = 0; step < 6; step++) {
        clock_now += 100;
        n = node(m, {0, 0, 0});
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(value(n, 0), 41) << step;
        unlock_node(n, nullptr);
        mx_close_idle_files();
        EXPECT_EQ(mx_open_file_count(), open_before) << step;
    }
    clock_now += 300;
    mx_close_idle_files();
    EXPECT_EQ(mx_open_file_count(), open_before - 1);
}

// The file probe is quiet on an open file, opens a closed one again and reports a matrix whose
// file it cannot reach; its once-a-second form skips the probe within a second of the store's
// clock and answers that second instead.
TEST_F(FileTest, FileProbe) {
    MATRIX* m = create(path("p.mx"), 7);
    {
        vxtest::StdoutText out;
        EXPECT_EQ(matrix_test(m), 0);
        EXPECT_EQ(out.text(), "");
    }
    int open_before = mx_open_file_count();
    // Idle, but with tokens queued or waiting for the matrix: the file stays open.
    clock_now += 300;
    MATRIX_TOKEN waiting{};
    for (int kind = 0; kind < 2; kind++) {
        {
            TaskLockGuard g(matrix_lock);
            if (kind == 0) m->token_cnt++;
            if (kind == 1) m->wait_token = &waiting;
        }
        mx_close_idle_files();
        EXPECT_EQ(mx_open_file_count(), open_before) << kind;
        TaskLockGuard g(matrix_lock);
        if (kind == 0) m->token_cnt--;
        if (kind == 1) m->wait_token = nullptr;
    }
    mx_close_idle_files();
    ASSERT_EQ(mx_open_file_count(), open_before - 1);
    {
        // Every opening names the file and the matrix, and says "C" when it succeeded.
        vxtest::StdoutText out;
        EXPECT_EQ(matrix_test(m), 0);
        char want[4200];
        snprintf(want, sizeof want, "_start_file_access %s %p\nC\n", path("p.mx").c_str(),
                 static_cast<void*>(m));
        EXPECT_EQ(out.text(), want);
    }
    EXPECT_EQ(mx_open_file_count(), open_before);

    MATRIX* none = bare(path("none.mx"));  // no header made or read: no file to reach
    char want[128];
    snprintf(want, sizeof want, "load_matrix_header-1 %i %p %p\n", MXF_CANNOT_OPEN,
             static_cast<void*>(nullptr), static_cast<void*>(none));
    {
        vxtest::StdoutText out;
        EXPECT_EQ(matrix_test(none), MXF_CANNOT_OPEN);
        EXPECT_EQ(out.text(), want);
    }
    clock_now += 1;
    int now = static_cast<int>(clock_now.load());
    {
        vxtest::StdoutText out;
        EXPECT_EQ(matrix_test_1sec(none), MXF_CANNOT_OPEN);
        EXPECT_EQ(matrix_test_1sec(none), now);
        EXPECT_EQ(matrix_test_1sec(m), now);  // one second for all matrices
        EXPECT_EQ(out.text(), want);
    }
    clock_now += 1;
    EXPECT_EQ(matrix_test_1sec(m), 0);
    EXPECT_EQ(matrix_test_1sec(none), now + 1);

    // Opening a header creates and cuts nothing, whatever the flags: a missing file stays
    // missing, a closed matrix file keeps its bytes.
    constexpr int kMake = O_RDWR | O_CREAT | O_TRUNC;
    EXPECT_EQ(load_matrix_header(bare(path("fresh.mx")), kMake, 0644), MXF_CANNOT_OPEN);
    EXPECT_FALSE(std::filesystem::exists(path("fresh.mx")));
    create(path("kept.mx"), 3);
    close_all();
    std::string before = read_all(path("kept.mx"));
    MATRIX* again = bare(path("kept.mx"));
    ASSERT_EQ(load_matrix_header(again, kMake, 0644), 0);
    EXPECT_EQ(again->p.dim, 2);
    methods(again);  // its close closes the file
    close_all();
    EXPECT_EQ(read_all(path("kept.mx")).size(), before.size());
}

// A second task's file access waits until the first task has released every level it took.
MATRIX* access_matrix = nullptr;
std::atomic<int> access_state{0};
void second_task(intptr_t) {
    access_state = 1;
    if (mx_start_file_access(access_matrix) == 0) {
        access_state = 2;
        mx_finish_file_access(access_matrix);
    }
    access_state = 3;
}

TEST_F(FileTest, FileAccessIsOwnedPerTask) {
    MATRIX* m = create(path("o.mx"), 7);
    access_matrix = m;
    access_state = 0;
    ASSERT_EQ(mx_start_file_access(m), 0);
    ASSERT_EQ(mx_start_file_access(m), 0);  // again, by the same task
    create_task(second_task, 0, 1);
    ASSERT_TRUE(wait_for([] { return access_state.load() == 1; }));
    mx_finish_file_access(m);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(access_state.load(), 1);  // one level is still held
    mx_finish_file_access(m);
    EXPECT_TRUE(wait_for([] { return access_state.load() == 3; }));
}

TEST_F(FileTest, CalibrationTextsPerMode) {
    std::string file = path("t.mx");
    MATRIX* m = create(file, 7);
    char a0[] = "(+ 1 ", a1[] = "2) (* 3 4)", b0[] = "7";
    char* slot3[] = {a0, a1, nullptr};
    char* slot5[] = {b0, nullptr};
    char** cals[MX_CAL_SLOTS] = {};
    cals[3] = slot3;
    cals[5] = slot5;
    int pri[MX_CAL_SLOTS] = {};
    pri[3] = 42;
    EXPECT_EQ(save_mode_cal(m, 1, cals, pri), 0);
    EXPECT_EQ(save_mode_cal(m, 3, cals, pri), -1);
    auto* w = static_cast<MX_FILE_WORK*>(m->file_work);
    int type = 0;
    // A one-byte text is padded with spaces to the smallest record.
    EXPECT_EQ(record(m, w->sh.cal_fofs[MX_CAL_SLOTS + 5], &type), "7       ");
    EXPECT_EQ(type, MX_REC_CAL);
    close_all();
    MATRIX* b = reopen(file);
    QV_SEXP* got[MX_CAL_SLOTS];
    int back[MX_CAL_SLOTS];
    ASSERT_EQ(load_mode_cal(got, back, b, 1), 0);
    EXPECT_EQ(back[3], 42);
    EXPECT_EQ(print_sexp_text(got[3], 0), "((+ 1 2) (* 3 4))");
    EXPECT_EQ(print_sexp_text(got[5], 0), "(7)");
    EXPECT_EQ(got[4], nullptr);
    ASSERT_EQ(load_mode_cal(got, back, b, 0), 0);
    EXPECT_EQ(got[3], nullptr);
    back[0] = 9;
    got[0] = got[5];
    EXPECT_EQ(load_mode_cal(got, back, b, 3), -1);
    EXPECT_EQ(back[0], 0);
    EXPECT_EQ(got[0], nullptr);
}

TEST_F(FileTest, StaleOpenFlagIsCleared) {
    std::string file = path("d.mx");
    MATRIX* m = create(file, 7);
    MATRIX_NODE* n = node(m, {0, 0, 0});
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(9, nullptr)), 0);
    ASSERT_EQ(save_matrix_node(n), 0);
    unlock_node(n, nullptr);
    close_all();
    // Set the subheader's open flag as a process that died would leave it.
    std::string bytes = read_all(file);
    MATRIX* probe = reopen(file);
    auto* w = static_cast<MX_FILE_WORK*>(probe->file_work);
    int64_t sh = w->subheader_fofs;
    close_all();
    bytes = read_all(file);
    std::string rec = bytes.substr(sh + 4, MX_SUBHEADER_PAYLOAD);
    ASSERT_EQ(rec.substr(892, 4), std::string("\0\0\0\0", 4));
    bytes[sh + 4 + 895] = 1;
    write_all(file, bytes);
    int err = 0;
    MATRIX* b = reopen(file, &err, kFetch);
    ASSERT_EQ(err, 0);
    n = node(b, {0, 0, 0});
    EXPECT_EQ(value(n, 0), 9);
    unlock_node(n, nullptr);
    close_all();
    EXPECT_EQ(read_all(file).substr(sh + 4 + 892, 4), std::string("\0\0\0\0", 4));
}

TEST_F(FileTest, RefusedWriteKeepsTheNodeDirty) {
    std::string file = path("f.mx");
    MATRIX* m = create(file, 7);
    set_matrix_cal(m, MI_SAVE_TP, script("<mxSave/>"));
    set_matrix_cal_equ(m, MI_SAVE_MD, MI_SAVE_TP);
    set_matrix_cal_equ(m, MI_SAVE_BT, MI_SAVE_TP);
    MATRIX_NODE* n = node(m, {0, 0, 0});
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(4, nullptr)), 0);
    ASSERT_NE(n->dirty_file_time, 0u);
    MATRIX_TOKEN t{};
    t.process_node = n;
    // The file may not grow: the new node's records cannot be written.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto prev = signal(SIGXFSZ, SIG_IGN);
    rlimit lim = old;
    lim.rlim_cur = fs::file_size(file);
    setrlimit(RLIMIT_FSIZE, &lim);
    lock_save(n);
    int refused = matrix_standard_write_file(&t);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, prev);
    EXPECT_EQ(refused, -1);
    EXPECT_NE(n->dirty_file_time, 0u);
    EXPECT_EQ(n->save_lock, 0u);
    lock_save(n);
    EXPECT_EQ(matrix_standard_write_file(&t), 0);
    EXPECT_EQ(n->dirty_file_time, 0u);
    unlock_node(n, nullptr);
    close_all();
    MATRIX* b = reopen(file, nullptr, kFetch);
    n = node(b, {0, 0, 0});
    EXPECT_EQ(value(n, 0), 4);
    unlock_node(n, nullptr);
}

// A close with many dirty nodes on every level (their save tokens of as many priorities as levels)
// saves each of them: another opening reads every value back.
TEST_F(FileTest, CloseSavesEveryDirtyNodeOfEveryLevel) {
    std::string file = path("many.mx");
    MATRIX* m = saving(file, 1 << 9, 1 << 9);
    ASSERT_EQ(m->total_levels, 10);
    // 32 x 32 nodes at level 0, 16 x 16 at level 1, ... one node on each of the levels 5 to 9:
    // 1,369, each with its own value.
    std::vector<std::vector<int64_t>> codes;
    for (int64_t level = 0; level < m->total_levels; level++) {
        int64_t side = std::max<int64_t>(32 >> level, 1), step = int64_t{16} << level;
        for (int64_t y = 0; y < side; y++)
            for (int64_t x = 0; x < side; x++)
                codes.push_back({level, x * step, y * step});
    }
    ASSERT_EQ(codes.size(), 1369u);
    auto value_of = [](const std::vector<int64_t>& c) {
        return static_cast<int>(c[0] * 1000000 + c[1] * 1000 + c[2] / 16);
    };
    for (const auto& c : codes) {
        int err = 0;
        MATRIX_NODE* n = node(m, c, &err);
        ASSERT_EQ(err, 0);
        ASSERT_GE(set_channel_sexp(n, 0, get_integer(value_of(c), nullptr)), 0);
        ASSERT_NE(n->dirty_file_time, 0u);
        unlock_node(n, nullptr);
    }
    close_all();
    EXPECT_FALSE(matrix_changes_lost());

    MATRIX* b = reopen(file, nullptr, kFetch);
    int wrong = 0;
    for (const auto& c : codes) {
        int err = 0;
        MATRIX_NODE* n = node(b, c, &err);
        ASSERT_EQ(err, 0) << c[0] << " " << c[1] << " " << c[2];
        if (value(n, 0) != value_of(c)) wrong++;
        unlock_node(n, nullptr);
    }
    EXPECT_EQ(wrong, 0);
}

// A matrix holding thousands of nodes: the node hash grows several times while they are made,
// and every node is still found, walked once, saved at the close and read back with its value;
// no chain grows long.
TEST_F(FileTest, ThousandsOfNodesFoundWalkedSavedAndReadBack) {
    std::string file = path("grown.mx");
    MATRIX* m = saving(file, 96 * 16, 64 * 16);
    // 96 x 64 nodes at level 0, 48 x 32 at level 1, ... up to the one top node.
    std::vector<std::vector<int64_t>> codes;
    for (int64_t level = 0; level < m->total_levels; level++) {
        int64_t step = int64_t{16} << level;
        for (int64_t y = 0; y < 64 * 16; y += step)
            for (int64_t x = 0; x < 96 * 16; x += step)
                codes.push_back({level, x, y});
    }
    ASSERT_GT(codes.size(), 8u * 2 * MX_NODE_HASH);
    auto value_of = [](const std::vector<int64_t>& c) {
        return static_cast<int>(c[0] * 1000000 + c[1] / 16 * 1000 + c[2] / 16);
    };
    std::vector<MATRIX_NODE*> made;
    for (const auto& c : codes) {
        int err = 0;
        MATRIX_NODE* n = node(m, c, &err);
        ASSERT_EQ(err, 0);
        ASSERT_GE(set_channel_sexp(n, 0, get_integer(value_of(c), nullptr)), 0);
        made.push_back(n);
        unlock_node(n, nullptr);
    }
    // Each code, asked for again at another cell of its block, finds the node it made.
    for (size_t i = 0; i < codes.size(); i++) {
        std::vector<int64_t> c = codes[i];
        c[1] += 15 << c[0];
        c[2] += 1;
        int err = 0;
        MATRIX_NODE* n = node(m, c, &err);
        ASSERT_EQ(err, 0);
        ASSERT_EQ(n, made[i]) << c[0] << " " << c[1] << " " << c[2];
        unlock_node(n, nullptr);
    }
    {
        TaskLockGuard g(matrix_lock);
        ASSERT_GE(m->node_hash_size, MX_NODE_HASH << 3);
        std::map<MATRIX_NODE*, int> seen;
        int longest = 0;
        for (int b = 0; b < m->node_hash_size; b++) {
            int chain = 0;
            for (MATRIX_NODE* n = m->node_hash[b]; n; n = n->nh_next, chain++) {
                seen[n]++;
                EXPECT_EQ(_get_node_hash(m, n->dim_code), static_cast<unsigned>(b));
            }
            longest = std::max(longest, chain);
        }
        EXPECT_EQ(seen.size(), codes.size());
        for (MATRIX_NODE* n : made)
            EXPECT_EQ(seen[n], 1);
        EXPECT_LE(longest, 12);
    }
    close_all();
    EXPECT_FALSE(matrix_changes_lost());

    MATRIX* b = reopen(file, nullptr, kFetch);
    int wrong = 0;
    for (const auto& c : codes) {
        int err = 0;
        MATRIX_NODE* n = node(b, c, &err);
        ASSERT_EQ(err, 0) << c[0] << " " << c[1] << " " << c[2];
        if (value(n, 0) != value_of(c)) wrong++;
        unlock_node(n, nullptr);
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(FileTest, CopyPassesOverAnEmptyLevel) {
    std::string file = path("g.mx");
    MATRIX* m = create(file, 7);
    // Level 0 holds two nodes, level 1 none, level 2 two; one with a negative coordinate above
    // the lowest level is not reached.
    for (auto dc :
         std::vector<std::vector<int64_t>>{{0, 0, 0}, {0, 16, 0}, {2, 0, 0}, {2, -262144, 0}}) {
        MATRIX_NODE* n = node(m, dc);
        ASSERT_GE(
            set_channel_sexp(n, 0, get_integer(static_cast<int>(dc[0] * 100 + dc[1]), nullptr)), 0);
        ASSERT_EQ(save_matrix_node(n), 0);
        unlock_node(n, nullptr);
    }
    int64_t lo[3], hi[3];
    ASSERT_EQ(mx_scale_of_dim_code(lo, hi, m), 0);
    EXPECT_EQ(std::vector<int64_t>(lo, lo + 3), std::vector<int64_t>({0, 0, 0}));
    EXPECT_EQ(std::vector<int64_t>(hi, hi + 3), std::vector<int64_t>({2, 0, 0}));
    int err = 0;
    int64_t from[3] = {0, 0, 0};
    MX_DIM_CODE_LIST* l = mx_search_level_node(&err, m, from, 1);
    ASSERT_EQ(get_mx_list_length(l), 1);
    EXPECT_EQ(l->dc[1], 0);
    free_mx_dim_code_list(l);
    close_all();
    MATRIX* src = reopen(file, nullptr, kFetch);
    MATRIX* dest = create(path("h.mx"), 7);
    int all[] = {0, -1};
    EXPECT_EQ(matrix_copy(dest, src, all, 0), 0);
    for (auto dc : std::vector<std::vector<int64_t>>{{0, 0, 0}, {0, 16, 0}, {2, 0, 0}}) {
        MATRIX_NODE* n = node(dest, dc);
        EXPECT_EQ(value(n, 0), dc[0] * 100 + dc[1]);
        unlock_node(n, nullptr);
    }
    MATRIX_NODE* n = node(dest, {2, -262144, 0});
    EXPECT_EQ(value(n, 0), -999);
    unlock_node(n, nullptr);
    MATRIX* one = open({1, 64, 1, 3, 1});
    EXPECT_EQ(matrix_copy(one, src, all, 0), MXE_DIM_DIFFER);
}

// Nodes changed and not yet written are written before the tree is read: a copy of a matrix that
// is still open copies them. The idle closer leaves the matrix it is asked to leave alone.
TEST_F(FileTest, CopyOfAnOpenMatrixWritesItsChangedNodesFirst) {
    MATRIX* src = saving(path("s.mx"), 64, 64);
    MATRIX* dest = saving(path("d.mx"), 64, 64);
    MATRIX* gone = saving(path("g.mx"), 64, 64);
    int64_t lo[3], hi[3];
    int all[] = {0, -1};
    // Nothing stored yet: an empty range, and a copy that copies nothing and succeeds.
    EXPECT_EQ(mx_scale_of_dim_code(lo, hi, src), 1);
    EXPECT_EQ(matrix_copy(dest, src, all, 0), 0);
    MATRIX_NODE* n = node(src, {0, 0, 0});
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(5, nullptr)), 0);
    set_dirty_file(n);
    unlock_node(n, nullptr);
    ASSERT_EQ(mx_scale_of_dim_code(lo, hi, src), 0);
    EXPECT_EQ(std::vector<int64_t>(lo, lo + 3), std::vector<int64_t>({0, 0, 0}));
    EXPECT_EQ(matrix_copy(dest, src, all, 0), 0);
    n = node(dest, {0, 0, 0});
    EXPECT_EQ(value(n, 0), 5);
    unlock_node(n, nullptr);
    EXPECT_NE(get_mx_file_pfd(src), nullptr);
    clock_now += 300;
    mx_file_gc(src);
    EXPECT_NE(get_mx_file_pfd(src), nullptr);
    EXPECT_EQ(get_mx_file_pfd(dest), nullptr);
    // A file that cannot be opened again: the range query fails, and so does a copy from it.
    EXPECT_EQ(get_mx_file_pfd(gone), nullptr);
    fs::remove(path("g.mx"));
    EXPECT_EQ(mx_scale_of_dim_code(lo, hi, gone), -1);
    EXPECT_EQ(matrix_copy(dest, gone, all, 0), -1);
    close_all();
}

TEST_F(FileTest, CacheFileKeepsTheNewestNodes) {
    // A cache file of at most 3 nodes (the limit is 10000 in use).
    int old = mx_set_cache_count_max(3);
    std::string file = path("r.mx");
    MATRIX* m = bare(file);
    MATRIX_PARAM p{};
    p.dim = 1;
    p.channel_nos = 1;
    p.flags = MXP_CACHE_FILE;
    ASSERT_EQ(set_matrix_param(m, &p), 0);
    methods(m);
    set_matrix_dim_divide(m, 0, 1);
    set_matrix_block_size(m, 0, 4);
    set_matrix_pixel_size(m, 0, 1 << 10);
    MATRIX_CHANNEL_INFO ci{get_matrix_data_type(MXT_INT32), MX_CH_FILE, nullptr, 0};
    set_matrix_channel_info(m, 0, &ci);
    ASSERT_EQ(save_matrix_header(m), 0);
    ready_scripts(m);
    set_matrix_mode(m, 1);
    std::vector<MATRIX_NODE*> nodes;
    auto save = [&](int64_t x) {
        MATRIX_NODE* n = node(m, {0, x});
        EXPECT_GE(set_channel_sexp(n, 0, get_integer(static_cast<int>(x), nullptr)), 0);
        EXPECT_EQ(save_matrix_node(n), 0);
        nodes.push_back(n);
        return n;
    };
    auto* w = static_cast<MX_FILE_WORK*>(m->file_work);
    save(0);
    save(16);
    save(32);
    EXPECT_EQ(w->sh.cache_count, 3);
    // Loading node 0 makes it the newest: the fourth node purges node 16, the oldest.
    EXPECT_EQ(load_matrix_node(nodes[0]), 0);
    int64_t purged_ring = nodes[1]->ring_fofs, purged_node = nodes[1]->fofs;
    save(48);
    EXPECT_EQ(w->sh.cache_count, 3);
    int type = 0;
    std::string gone = record(m, purged_node, &type);
    EXPECT_TRUE(gone.empty() || type != MX_REC_NODE);
    record(m, purged_ring, &type);
    EXPECT_NE(type, MX_REC_CACHE_RING);
    EXPECT_EQ(load_matrix_node(nodes[1]), MXF_NOT_STORED);
    EXPECT_EQ(load_matrix_node(nodes[0]), 0);
    // The node still held in memory is saved anew, not over the freed records.
    EXPECT_EQ(save_matrix_node(nodes[1]), 0);
    EXPECT_EQ(w->sh.cache_count, 3);
    EXPECT_EQ(load_matrix_node(nodes[1]), 0);
    EXPECT_EQ(value(nodes[1], 0), 16);
    // Walking the ring from the newest reaches cache_count entries and ends at the head.
    EXPECT_EQ(mx_start_file_access(m), 0);
    int64_t at = w->sh.cache_next;
    int seen = 0;
    while (at != w->subheader_fofs && seen < 10) {
        std::string r = record(m, at, &type);
        ASSERT_EQ(type, MX_REC_CACHE_RING);
        at = static_cast<int64_t>(get_be64(reinterpret_cast<const uint8_t*>(r.data()) + 8));
        seen++;
    }
    mx_finish_file_access(m);
    EXPECT_EQ(seen, 3);
    for (MATRIX_NODE* n : nodes)
        unlock_node(n, nullptr);
    mx_set_cache_count_max(old);
}

// A child saving nodes in a loop is killed with SIGKILL at random moments; each time the file
// opens again (the open flag it left is stale), nothing is cut, and every node it reported saved
// reads back with its last value, or the damage is named (by the opening, -124, or by the first
// read of the node whose record the kill cut) and a new file begins.
// Kills matrix writers (vx_mx_crash_child with the given extra arguments) rounds times, min_ms
// to min_ms + spread_ms after each reported its first completed save (however slow its start, the
// kill falls into its work); after each kill every node must read back the value of
// its last completed save (or of one begun after it).
void FileTest::killed_writers(uint32_t seed, int rounds, const std::vector<std::string>& extra,
                              int* refused_rounds, int min_ms, int spread_ms) {
    std::mt19937 rng(seed);
    std::string prog = VX_BINARY_DIR "/vx_mx_crash_child";
    int file_no = 0, saved = 0, reopened = 0, refused = 0;
    std::string file = path("crash0.mx");
    // Per node: the value of its last completed save, and values of saves begun after it.
    std::map<int64_t, std::pair<int, std::vector<int>>> last;
    for (int round = 0; round < rounds; round++) {
        std::string seed_arg = std::to_string(rng());
        std::vector<char*> argv{const_cast<char*>(prog.c_str()), const_cast<char*>(file.c_str()),
                                const_cast<char*>(seed_arg.c_str())};
        for (const std::string& a : extra)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ChildResult k = run_in_child_killed_after(
            [&] {
                execv(prog.c_str(), argv.data());
                _exit(127);
            },
            "\nF ", min_ms + static_cast<int>(rng() % static_cast<uint32_t>(spread_ms)));
        ASSERT_TRUE(k.timed_out) << "the child ended by itself: " << k.exit_status << "\n" << k.err;
        for (const std::string& line : whole_lines(k.out)) {
            std::istringstream l(line);
            char what;
            int64_t x;
            int v;
            if (!(l >> what >> x >> v)) continue;
            if (what == 'S') {
                // A node first saved here has no completed value yet.
                last.try_emplace(x, std::pair<int, std::vector<int>>{-1, {}});
                last[x].second.push_back(v);
            } else {
                last[x] = {v, {}};
                saved++;
            }
        }
        if (!fs::exists(file) || fs::file_size(file) == 0) continue;
        auto size = fs::file_size(file);
        int err = 0;
        // Records the killed writer appended and nothing names are freed by the opening, which
        // may give their space at the file's end back: only then may the file be shorter.
        static std::atomic<int> unnamed_freed;
        unnamed_freed = 0;
        set_pdb_print([](const char* fmt, va_list ap) -> int {
            va_list copy;
            va_copy(copy, ap);
            char line[512];
            vsnprintf(line, sizeof line, fmt, copy);
            va_end(copy);
            if (strstr(line, "named by nothing freed")) unnamed_freed++;
            return vprintf(fmt, ap);
        });
        MATRIX* m = reopen(file, &err, kFetch);
        set_pdb_print(nullptr);
        if (unnamed_freed == 0) {
            EXPECT_GE(fs::file_size(file), size) << "round " << round;
        }
        if (err == MXF_DAMAGED) {
            // The kill fell into a write-back: the damage is named; go on with a new file.
            refused++;
            close_all();
            file = path(("crash" + std::to_string(++file_no) + ".mx").c_str());
            last.clear();
            continue;
        }
        ASSERT_EQ(err, 0) << "round " << round;
        reopened++;
        {
            // What opens after a kill is whole: the record chain, the free list and every tree
            // entry's node record.
            vxtest::StdoutText out;
            EXPECT_EQ(check_pdb_fd(m), 0) << "round " << round << "\n" << out.text();
        }
        bool damaged = false;
        for (auto& [x, v] : last) {
            int e = 0;
            MATRIX_NODE* n = node(m, {0, x}, &e);
            if (e != 0 && v.first < 0) {
                // Its first save did not complete. When the tree already names the record the
                // kill cut short, the read names the damage for the whole file, as an opening
                // does: go on with a new file.
                if (m->flags & MX_DAMAGED_FILE) {
                    damaged = true;
                    break;
                }
                continue;
            }
            ASSERT_EQ(e, 0) << "round " << round << " x " << x;
            int got = value(n, 0);
            bool begun = std::find(v.second.begin(), v.second.end(), got) != v.second.end();
            EXPECT_TRUE(got == v.first || begun) << "round " << round << " x " << x << " " << got;
            // What was read is now the node's last value.
            v = {got, {}};
            unlock_node(n, nullptr);
        }
        close_all();
        if (damaged) {
            file = path(("crash" + std::to_string(++file_no) + ".mx").c_str());
            last.clear();
        }
    }
    EXPECT_GT(saved, 0);
    EXPECT_GT(reopened, 0);
    // No kill leaves a file refused or a node that cannot be read.
    EXPECT_EQ(file_no, 0);
    printf(
        "matrix writer: %d kills, %d saves acknowledged, %d openings refused, %d files damaged\n",
        rounds, saved, refused, file_no);
    if (refused_rounds) *refused_rounds = refused;
}

TEST_F(FileTest, KilledWriterLosesNoSavedNode) {
    killed_writers(41, 10, {});
}

// Thousands of nodes saved at random, with a small record cache: the saves' tree inserts rotate
// and evict all the time, and no saved node is ever answered as not stored after a kill: the
// tree moves from one flushed state to the next as a whole, so no opening finds it cut.
TEST_F(FileTest, KilledWriterLosesNoNodeOfItsTree) {
    int refused = 0;
    // VX_KILL_ROUNDS (scripts/tree_torture) multiplies the rounds for a long run.
    const char* f = getenv("VX_KILL_ROUNDS");
    int rounds = 24 * (f && atoi(f) > 0 ? atoi(f) : 1);
    killed_writers(43, rounds, {"4096", "12", "8"}, &refused);
    EXPECT_EQ(refused, 0);
}

// A writer that ends before the commit of its file's making, or of its first saves (the file's
// pages written, the commit mark not), leaves a file the next writer uses: one that holds no
// finished save is emptied for the creation that follows, otherwise the records of the save that
// never committed are freed. Either way the file checks whole.
TEST_F(FileTest, AWriterEndedBeforeItsFirstCommitsLeavesAFileTheNextWriterUses) {
    std::string prog = VX_BINARY_DIR "/vx_mx_crash_child";
    int emptied = 0, opened = 0;
    // -1: ended once the file was made, before anything was written in it.
    for (int stop = -1; stop <= 4; stop++) {
        SCOPED_TRACE("stop at commit " + std::to_string(stop));
        std::string file = path(("stop" + std::to_string(stop) + ".mx").c_str());
        std::string at = std::to_string(stop);
        if (stop < 0) {
            write_all(file, "");
        } else {
            ChildResult k = run_in_child([&] {
                setenv("VX_STOP_AT_COMMIT", at.c_str(), 1);
                execl(prog.c_str(), prog.c_str(), file.c_str(), "7", static_cast<char*>(nullptr));
                _exit(127);
            });
            ASSERT_EQ(k.exit_status, 9) << k.out << k.err;
        }
        int err = -1;
        vxtest::StdoutText out;
        reopen(file, &err, kFetch);
        if (err == MXF_DAMAGED) {
            // Nothing saved: the file is emptied, and a creation makes it anew.
            EXPECT_EQ(fs::file_size(file), 0u) << out.text();
            close_all();
            create(file, 7);
            emptied++;
        } else {
            ASSERT_EQ(err, 0) << out.text();
            opened++;
        }
        close_all();
        pdbtest::CheckResult c = pdbtest::run_checker("--closed --freelist --matrix " + file);
        EXPECT_EQ(c.status, 0) << c.out << out.text();
    }
    EXPECT_GE(emptied, 2);
    EXPECT_GE(opened, 2);
}

// A tree entry naming a node record whose body is all zeros (an earlier build committed the
// entry before the node's bytes, and its writer was killed between) is a node never saved: a
// read gives the defaults and says so on standard error, the other nodes read as saved, and the
// next save writes the node over the empty record.
TEST_F(FileTest, ATreeEntryNamingAnEmptyNodeRecordIsANodeNeverSaved) {
    std::string file = path("z.mx");
    MATRIX* m = create(file, 7);
    int64_t empty_at = 0;
    for (int64_t x : {0, 16}) {
        MATRIX_NODE* n = node(m, {0, x, 0});
        ASSERT_GE(set_channel_sexp(n, 0, get_integer(static_cast<int>(x) + 1, nullptr)), 0);
        ASSERT_EQ(save_matrix_node(n), 0);
        empty_at = n->fofs;
        unlock_node(n, nullptr);
    }
    close_all();
    std::string bytes = read_all(file);
    // A short record: a 2-byte type and a 2-byte on-file length, then the body.
    ASSERT_GT(bytes.size(), static_cast<size_t>(empty_at) + 4);
    const auto* h = reinterpret_cast<const uint8_t*>(bytes.data()) + empty_at;
    ASSERT_EQ(get_be16(h), MX_REC_NODE);
    size_t len = get_be16(h + 2);
    std::fill(bytes.begin() + empty_at + 4, bytes.begin() + empty_at + len, '\0');
    write_all(file, bytes);
    int err = -1;
    m = reopen(file, &err, kFetch);
    ASSERT_EQ(err, 0);
    testing::internal::CaptureStderr();
    int e = 0;
    MATRIX_NODE* n = node(m, {0, 16, 0}, &e);
    std::string said = testing::internal::GetCapturedStderr();
    // Read as a node the file does not hold, the file not taken as damaged.
    EXPECT_EQ(e, MXE_NOT_FOUND);
    EXPECT_NE(said.find("the node at " + std::to_string(empty_at) + " was never saved"),
              std::string::npos)
        << said;
    EXPECT_FALSE(m->flags & MX_DAMAGED_FILE);
    MATRIX_NODE* kept = node(m, {0, 0, 0}, &e);
    ASSERT_EQ(e, 0);
    EXPECT_EQ(value(kept, 0), 1);
    unlock_node(kept, nullptr);
    close_all();
    m = reopen(file, &err);
    ASSERT_EQ(err, 0);
    n = node(m, {0, 16, 0}, &e);
    ASSERT_EQ(e, 0);
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(5, nullptr)), 0);
    EXPECT_EQ(save_matrix_node(n), 0);
    EXPECT_EQ(n->fofs, empty_at);  // written where the empty record stood
    unlock_node(n, nullptr);
    close_all();
    m = reopen(file, &err, kFetch);
    ASSERT_EQ(err, 0);
    n = node(m, {0, 16, 0}, &e);
    ASSERT_EQ(e, 0);
    EXPECT_EQ(value(n, 0), 5);
    unlock_node(n, nullptr);
    close_all();
    pdbtest::CheckResult c = pdbtest::run_checker("--closed --freelist --matrix " + file);
    EXPECT_EQ(c.status, 0) << c.out;
}

// A channel whose element type code is unknown is left unset; the matrix opens with the others.
TEST_F(FileTest, UnknownChannelTypeLeavesTheChannelUnset) {
    std::string file = path("u.mx");
    create(file, 7);
    close_all();
    std::string bytes = read_all(file);
    // The two channel infos: int32 with flags file|send, then int32 with send, no defaults.
    const char raw[24] = {0, 4, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 1};
    std::string infos(raw, sizeof raw);
    size_t at = bytes.find(infos);
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 0x7f;  // code 0x7f04
    std::string odd = path("odd.mx");
    write_all(odd, bytes);
    int err = -1;
    MATRIX* m = reopen(odd, &err);
    ASSERT_EQ(err, 0);
    EXPECT_EQ(m->channel_info[0].data_type, nullptr);
    EXPECT_EQ(m->channel_info[0].flags, 0);
    EXPECT_EQ(m->channel_info[1].data_type, get_matrix_data_type(MXT_INT32));
    close_all();
}

TEST_F(FileTest, DamagedFilesGiveErrors) {
    std::string file = path("e.mx");
    MATRIX* m = create(file, 7);
    for (int64_t x : {0, 16}) {
        MATRIX_NODE* n = node(m, {0, x, 0});
        ASSERT_GE(set_channel_sexp(n, 0, get_integer(static_cast<int>(x) + 1, nullptr)), 0);
        ASSERT_EQ(save_matrix_node(n), 0);
        unlock_node(n, nullptr);
    }
    close_all();
    {
        MATRIX* g = reopen(file, nullptr, kFetch);
        vxtest::StdoutText out;
        EXPECT_EQ(check_pdb_fd(g), 0) << out.text();
        close_all();
    }
    std::string good = read_all(file);
    std::string bad = path("bad.mx");
    // Every byte flipped in turn, and the file cut at every 7th length: errors, no crash. Of the
    // damaged files that still open, the whole-file check names some; it never crashes either.
    int checked = 0, flagged = 0;
    auto probe = [&](const std::string& bytes) {
        write_all(bad, bytes);
        int err = 0;
        MATRIX* b = reopen(bad, &err, kFetch);
        if (err == 0) {
            {
                vxtest::StdoutText out;
                checked++;
                if (check_pdb_fd(b) != 0) flagged++;
            }
            for (int64_t x : {0, 16}) {
                int e = 0;
                MATRIX_NODE* n = node(b, {0, x, 0}, &e);
                // A flipped value byte reads as another value: only the structure is checked.
                if (e == 0) unlock_node(n, nullptr);
            }
        } else {
            EXPECT_TRUE(err == MXF_DAMAGED || err == MXF_CANNOT_OPEN) << err;
            // A refused file is left as it was (the record file's own header aside).
            if (bytes.size() > 44) {
                EXPECT_EQ(read_all(bad).substr(44), bytes.substr(44));
            }
        }
        close_all();
    };
    for (size_t i = 0; i < good.size(); i++) {
        std::string s = good;
        s[i] = static_cast<char>(s[i] ^ 0xFF);
        probe(s);
    }
    for (size_t len = 0; len < good.size(); len += 7)
        probe(good.substr(0, len));
    EXPECT_GT(checked, 0);
    EXPECT_GT(flagged, 0);
}

// The file checks find a sound file sound, and each names the damage it is there for: slot texts
// shared by two slots or pointing at other records, a node tree entry whose record is gone.
TEST_F(FileTest, DamagedStructureIsNamedByTheChecks) {
    std::string file = path("c.mx");
    MATRIX* m = create(file, 7);
    char t0[] = "(+ 1 2)", t1[] = "(* 3 4)";
    char* slot3[] = {t0, nullptr};
    char* slot5[] = {t1, nullptr};
    char** cals[MX_CAL_SLOTS] = {};
    cals[3] = slot3;
    cals[5] = slot5;
    ASSERT_EQ(save_mode_cal(m, 1, cals, nullptr), 0);
    int64_t node_at = 0;
    for (int64_t x : {0, 16}) {
        MATRIX_NODE* n = node(m, {0, x, 0});
        ASSERT_GE(set_channel_sexp(n, 0, get_integer(static_cast<int>(x) + 1, nullptr)), 0);
        ASSERT_EQ(save_matrix_node(n), 0);
        node_at = n->fofs;
        unlock_node(n, nullptr);
    }
    auto* w = static_cast<MX_FILE_WORK*>(m->file_work);
    int64_t sub_at = w->subheader_fofs;
    {
        vxtest::StdoutText out;
        EXPECT_EQ(check_pdb_fd(m), 0) << out.text();
        EXPECT_EQ(save_cal_check(m), 0);
        EXPECT_EQ(test_matrix(m), 0);
        int64_t s3 = w->sh.cal_fofs[MX_CAL_SLOTS + 3], s5 = w->sh.cal_fofs[MX_CAL_SLOTS + 5];
        EXPECT_NE(out.text().find("SCC\nSCC 1-3 -- " + std::to_string(s3) + "\nSCC 1-5 -- " +
                                  std::to_string(s5) + "\n"),
                  std::string::npos)
            << out.text();
        // Two slots naming one text, and a slot naming a node record.
        w->sh.cal_fofs[2 * MX_CAL_SLOTS + 1] = s3;
        EXPECT_EQ(save_cal_check(m), -1);
        EXPECT_NE(out.text().find(std::to_string(s3) + " is the text of two slots"),
                  std::string::npos);
        w->sh.cal_fofs[2 * MX_CAL_SLOTS + 1] = node_at;
        EXPECT_EQ(save_cal_check(m), -1);
        EXPECT_NE(out.text().find(std::to_string(node_at) + " is no slot text"), std::string::npos);
        w->sh.cal_fofs[2 * MX_CAL_SLOTS + 1] = 0;
        EXPECT_EQ(save_cal_check(m), 0);
    }
    close_all();
    // The node record's type overwritten on file: the tree entry names no node any more.
    std::string bytes = read_all(file);
    bytes[static_cast<size_t>(node_at)] = static_cast<char>(MX_REC_DATA >> 8);
    bytes[static_cast<size_t>(node_at) + 1] = static_cast<char>(MX_REC_DATA & 0xff);
    write_all(file, bytes);
    int err = 0;
    MATRIX* b = reopen(file, &err, kFetch);
    ASSERT_EQ(err, 0);
    vxtest::StdoutText out;
    EXPECT_EQ(check_pdb_fd(b), -4);
    EXPECT_NE(out.text().find("tree entry names " + std::to_string(node_at)), std::string::npos)
        << out.text();
    close_all();
    // The same file left open for writing by a process that died: the opening walks the tree and
    // refuses the file, leaving every byte of it as it was.
    std::string left = read_all(file);
    PDB64_PHYS ph;
    auto* sub = reinterpret_cast<const uint8_t*>(left.data()) + sub_at;
    ASSERT_GT(pn64_get_phys(sub, 12, &ph), 0);
    left[static_cast<size_t>(sub_at + ph.hlen + 895)] |= 1;
    write_all(file, left);
    reopen(file, &err, kFetch);
    EXPECT_EQ(err, MXF_DAMAGED);
    EXPECT_NE(out.text().find("node tree"), std::string::npos) << out.text();
    EXPECT_EQ(read_all(file), left);
    // A matrix without a file, and one without any channel type.
    MATRIX* none = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(check_pdb_fd(none), MXF_CANNOT_OPEN);
    EXPECT_NE(out.text().find("CLOSE POINT = ZERO W\n"), std::string::npos);
    EXPECT_EQ(test_matrix(none), -1);
    EXPECT_NE(out.text().find(">>> "), std::string::npos);
    close_matrix(none);
    close_all();
}

}  // namespace
// A reader finds the open flag set: while the writer lives the file is refused as it is; once the
// writer is gone (its flag left behind, as a crash leaves it) the file is read.
TEST_F(FileTest, ReaderRefusedWhileAWriterHoldsTheFile) {
    std::string file = path("p.mx");
    MATRIX* m = create(file, 7);
    MATRIX_NODE* n = node(m, {0, 0, 0});
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(3, nullptr)), 0);
    ASSERT_EQ(save_matrix_node(n), 0);
    unlock_node(n, nullptr);
    std::string before = read_all(file);
    struct Case {
        const char* name;
        int oflags;
    } cases[] = {{"/./p.mx", O_RDWR | O_CREAT}, {"/././p.mx", O_RDONLY}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        MATRIX* b = bare(dir_.string() + k.name);
        testing::internal::CaptureStdout();
        EXPECT_EQ(load_matrix_header(b, k.oflags, 0644), MXF_DAMAGED);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("************ DESTROY-3 1\n"), std::string::npos) << out;
    }
    EXPECT_EQ(read_all(file), before);
    // The bytes as the live writer left them (flag set), under another name, with no writer.
    write_all(path("q.mx"), before);
    MATRIX* c = bare(path("q.mx"));
    EXPECT_EQ(load_matrix_header(c, O_RDONLY, 0644), 0);
    EXPECT_EQ(c->p.dim, 2);
    methods(c);  // its file is closed with it, as the agent's matrices' are
    // A reader leaves the flag as it found it: the copy is no sample of a closed matrix file.
    std::filesystem::remove(path("q.mx"));
}

// A reader refused at a later opening, while a writer has the file open again, reads it again
// once that writer has closed it.
TEST_F(FileTest, ReaderRefusedAtAReopeningReadsOnceTheWriterCloses) {
    MATRIX* m = create(path("w.mx"), 7);
    MATRIX_NODE* n = node(m, {0, 0, 0});
    ASSERT_GE(set_channel_sexp(n, 0, get_integer(3, nullptr)), 0);
    ASSERT_EQ(save_matrix_node(n), 0);
    clock_now += 300;
    mx_close_idle_files();
    MATRIX* r = bare(dir_.string() + "/./w.mx");
    ASSERT_EQ(load_matrix_header(r, O_RDONLY, 0644), 0);
    clock_now += 300;
    mx_close_idle_files();
    // The writer opens the file again and saves: its open flag is on the file.
    ASSERT_EQ(load_matrix_node(n), 0);
    ASSERT_EQ(save_matrix_node(n), 0);
    unlock_node(n, nullptr);
    EXPECT_EQ(matrix_test(r), MXF_DAMAGED);
    clock_now += 300;
    mx_close_idle_files();
    EXPECT_EQ(matrix_test(r), 0);
}
