// Matrix files against SQLite: 1,000 nodes of 256 x 256 double_v (512 KiB each, 512 MiB in all)
// saved into a matrix file and read back through the fetch script that loads them (a new opening
// of the file, the page cache warm), and the same net-form blobs stored in SQLite keyed by the
// compact dimension code, one transaction per 100, journal_mode=OFF and WAL with synchronous=OFF.
// Then every node is saved twice more and the file sizes compared. Counters: each side's rates
// (nodes/s) and file sizes, and the matrix file's time over SQLite's (x_*); a table at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"
#include "geo/matrix_start.h"
#include "lisp/collect.h"
#include "lisp/parser.h"
#include "longchar/longchar.h"
#include "matrix/compact_code.h"
#include "matrix/mxfile.h"
#include "matrix/mxtransfer.h"
#include "matrixops/mtx_common.h"
#include "matrixops/mtx_types.h"
#include "pdb/recordlist64.h"

#ifdef VX_HAVE_SQLITE3
#include <sqlite3.h>
#endif

namespace {

constexpr int kNodes = 1000;
constexpr int kSide = 256;

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int64_t file_size(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_size : 0;
}

QV_SEXP* script(const char* text) {
    QV_SEXP* s = read_qv_items(text);
    realize_whole(s);
    return s;
}

void* smooth_vector(int seed) {
    MATRIX_DATA_TYPE* tp = &mx_type_double_v;
    int sizes[2] = {kSide, kSide};
    MATRIX_ALLOC_VECTOR_PARAM vp{2, sizes, nullptr, nullptr};
    void* v = tp->alloc_data(tp, MXA_TRACKED, &vp, nullptr, __FILE__, __LINE__);
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    auto* d = reinterpret_cast<double*>(dh.offset);
    for (int64_t i = 0; i < dh.total_element; i++)
        d[i] = 100.0 + seed + 0.01 * static_cast<double>(i % kSide) + 0.02 * (i / kSide);
    return v;
}

MATRIX* open_file(const std::string& path, bool create) {
    MATRIX* m = open_matrix(nullptr, l_string(std_cm, path.c_str()), nullptr, nullptr, nullptr);
    MATRIX_PARAM p{};
    p.read_file = matrix_standard_read_file;
    p.write_file = matrix_standard_write_file;
    p.close_file = close_matrix_file;
    if (create) {
        p.dim = 2;
        p.channel_nos = 1;
        set_matrix_param(m, &p);
        set_matrix_dim_divide(m, 0, 1);
        set_matrix_dim_divide(m, 1, 1);
        set_matrix_block_size(m, 0, 8);
        set_matrix_block_size(m, 1, 8);
        set_matrix_pixel_size(m, 0, int64_t{kSide} * 1024);
        set_matrix_pixel_size(m, 1, kSide);
        MATRIX_CHANNEL_INFO ci{&mx_type_double_v, MX_CH_FILE, nullptr, 0};
        set_matrix_channel_info(m, 0, &ci);
        if (save_matrix_header(m) != 0) return nullptr;
    } else {
        if (load_matrix_header(m, O_RDWR, 0644) != 0) return nullptr;
        set_matrix_param(m, &p);
    }
    const char* fetch = create
                            ? "<mxFinish normal-jump-status=\"MS_OK\"/>"
                            : "<mxFinish normal-jump-status=\"MS_OK\" "
                              "err-jump-status=\"MS_PROCESS_ERR_1\"/>\n<mxLoad target=\"file\"/>";
    QV_SEXP* s = script(fetch);
    for (int slot = MI_FETCH_1_TP; slot <= MI_FETCH_1_TP + 2; slot++)
        set_matrix_cal(m, slot, s);
    set_matrix_mode(m, 1);
    return m;
}

struct Figures {
    double save = 0, load = 0;
    int64_t size = 0;
    bool ok = false;
};

Figures matrix_file(const std::string& path) {
    Figures f;
    unlink(path.c_str());
    MATRIX* m = open_file(path, true);
    if (!m) return f;
    std::vector<void*> values;
    for (int i = 0; i < kNodes; i++)
        values.push_back(smooth_vector(i));
    auto save_all = [&] {
        for (int i = 0; i < kNodes; i++) {
            int64_t dc[3] = {0, int64_t{i} * kSide, 0};
            int err = 0;
            MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, MI_FETCH_1_TP);
            if (err != 0) return false;
            {
                TaskLockGuard g(matrix_lock);
                if (!n->channel[0].data)
                    n->channel[0].data = mx_type_double_v.alloc_copy(
                        &mx_type_double_v, values[i], MXA_TRACKED, nullptr, __FILE__, __LINE__);
            }
            int r = save_matrix_node(n);
            unlock_node(n, nullptr);
            if (r != 0) return false;
        }
        return true;
    };
    auto t0 = std::chrono::steady_clock::now();
    if (!save_all()) return f;
    f.save = since(t0);
    close_matrix(m);
    m = open_file(path, false);
    if (!m) return f;
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kNodes; i++) {
        int64_t dc[3] = {0, int64_t{i} * kSide, 0};
        int err = 0;
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, MI_FETCH_1_TP);
        if (err != 0 || !n->channel[0].data) return f;
        unlock_node(n, nullptr);
    }
    f.load = since(t0);
    for (int round = 0; round < 2; round++)
        if (!save_all()) return f;
    close_matrix(m);
    for (void* v : values)
        mx_type_double_v.free_data(&mx_type_double_v, v);
    f.size = file_size(path);
    f.ok = true;
    unlink(path.c_str());
    return f;
}

#ifdef VX_HAVE_SQLITE3
Figures sqlite_file(const std::string& path, const char* journal) {
    Figures f;
    unlink(path.c_str());
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return f;
    std::string pragma =
        std::string("PRAGMA journal_mode=") + journal + "; PRAGMA synchronous=OFF;";
    sqlite3_exec(db, pragma.c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE TABLE n(k BLOB PRIMARY KEY, v BLOB)", nullptr, nullptr, nullptr);
    std::vector<std::string> keys;
    for (int i = 0; i < kNodes; i++) {
        int64_t dc[3] = {0, int64_t{i} * kSide, 0};
        uint8_t b[3 * COMPACT_CODE_MAX + 1];
        keys.emplace_back(reinterpret_cast<char*>(b), get_compressed_dim_code(b, dc, 2) - b);
    }
    auto save_all = [&] {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO n VALUES(?, ?)", -1, &st, nullptr);
        for (int i = 0; i < kNodes; i++) {
            if (i % 100 == 0) sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
            void* v = smooth_vector(i);
            RECORD_LIST64* rl = new_recordlist64(0, 0);
            mx_type_double_v.convert_to_net(&mx_type_double_v, rl, v);
            int64_t len = setup_recordlist64(rl);
            sqlite3_bind_blob(st, 1, keys[i].data(), static_cast<int>(keys[i].size()),
                              SQLITE_STATIC);
            sqlite3_bind_blob(st, 2, rl->data, static_cast<int>(len), SQLITE_STATIC);
            sqlite3_step(st);
            sqlite3_reset(st);
            free_recordlist64(rl);
            mx_type_double_v.free_data(&mx_type_double_v, v);
            if (i % 100 == 99) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        }
        sqlite3_finalize(st);
    };
    auto t0 = std::chrono::steady_clock::now();
    save_all();
    f.save = since(t0);
    sqlite3_close(db);
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, pragma.c_str(), nullptr, nullptr, nullptr);
    t0 = std::chrono::steady_clock::now();
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT v FROM n WHERE k = ?", -1, &st, nullptr);
    for (int i = 0; i < kNodes; i++) {
        sqlite3_bind_blob(st, 1, keys[i].data(), static_cast<int>(keys[i].size()), SQLITE_STATIC);
        if (sqlite3_step(st) != SQLITE_ROW) return f;
        const void* b = sqlite3_column_blob(st, 0);
        int n = sqlite3_column_bytes(st, 0);
        void* v = mx_type_double_v.convert_to_host(&mx_type_double_v, const_cast<void*>(b), n,
                                                   MXA_TRACKED, nullptr, __FILE__, __LINE__);
        if (!v) return f;
        mx_type_double_v.free_data(&mx_type_double_v, v);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    f.load = since(t0);
    save_all();
    save_all();
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    f.size = file_size(path) + file_size(path + "-wal");
    f.ok = true;
    unlink(path.c_str());
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
    return f;
}
#endif

void BM_MatrixFileNodes(benchmark::State& state) {
    static char prog[] = "bench_mxfile";
    static char* argv[] = {prog, nullptr};
    init_runtime(prog, 0);
    minimum_matrix_init(1, argv);
    gc_push(nullptr, nullptr, "bench_mxfile");
    std::string dir = "/tmp/bench_mxfile_" + std::to_string(getpid());
    Figures mx, off, wal;
    for (auto _ : state) {
        mx = matrix_file(dir + ".mx");
#ifdef VX_HAVE_SQLITE3
        off = sqlite_file(dir + "_off.db", "OFF");
        wal = sqlite_file(dir + "_wal.db", "WAL");
#endif
    }
    if (!mx.ok) {
        state.SkipWithError("matrix file run failed");
        return;
    }
    state.counters["mx_save_per_s"] = kNodes / mx.save;
    state.counters["mx_load_per_s"] = kNodes / mx.load;
    state.counters["mx_MB"] = mx.size / 1e6;
    printf("\n%-28s %12s %12s %10s\n", "store", "save/s", "load/s", "size MB");
    printf("%-28s %12.0f %12.0f %10.1f\n", "matrix file", kNodes / mx.save, kNodes / mx.load,
           mx.size / 1e6);
    for (auto* s : {&off, &wal}) {
        if (!s->ok) continue;
        const char* name = s == &off ? "SQLite journal OFF" : "SQLite WAL";
        printf("%-28s %12.0f %12.0f %10.1f   x_save %.2f x_load %.2f x_size %.2f\n", name,
               kNodes / s->save, kNodes / s->load, s->size / 1e6, mx.save / s->save,
               mx.load / s->load, static_cast<double>(mx.size) / s->size);
        std::string k = s == &off ? "off" : "wal";
        state.counters["x_save_" + k] = mx.save / s->save;
        state.counters["x_load_" + k] = mx.load / s->load;
        state.counters["x_size_" + k] = static_cast<double>(mx.size) / s->size;
    }
}
BENCHMARK(BM_MatrixFileNodes)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
