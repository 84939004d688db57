// Matrix files against SQLite: 1,000 nodes of 256 x 256 double_v (512 KiB each, 512 MiB in all),
// (a) plain and (b) as a block channel holding the level-7 zlib stream of the same values (the
// form mxCompressZ makes: the type byte, then the net form). Each is saved into a matrix file and
// read back through the fetch script that loads them, warm (a new process, the page cache
// holding the file) and cold (a new process after the file's pages were dropped from the page
// cache, so every page comes from the disk); the same net-form blobs are stored in SQLite keyed
// by the compact dimension code, one transaction per 100, journal_mode=OFF and WAL with
// synchronous=OFF, and read back the same two ways (warm, SQLite frees each value at once;
// "kept", it holds them all). The matrix store keeps its loaded-node budget (mx_node_budget)
// after each node saved or loaded, as its caches do, so its memory follows the budget rather
// than the nodes passed through; its "kept" load holds every node instead, as SQLite's does. A
// reader or writer of many nodes asks the store for the next ones (get_matrix_node without a
// token, which starts the fetch and answers at once) before it waits on the first
// (get_matrix_node_wait), as the store's own level walks do: the worker then makes one node while
// the caller takes the one before. The warm load is also timed asking for each node only when it
// waits on it ("one by one"). Every load is timed kTries times and the fastest kept. Then every
// node is saved twice more and the file sizes compared. Counters: each side's rates (nodes/s) and
// file sizes, and the matrix file's time over SQLite's (x_*, z_x_* for the zlib blocks); a table at
// the end. A file larger than the page cache would take more memory than a shared machine has to
// spare; dropping the file's pages (posix_fadvise after a write-back, checked with mincore) gives
// the cold load the same reads from the disk.
//
// Each load runs in a new process, so that none starts with memory an earlier one gave back:
// `bench_mxfile --load STORE VARIANT PATH` (STORE mx, off, wal, mx-kept, off-kept, wal-kept or
// mx-one;
// VARIANT plain or zlib) loads every node and prints "load-seconds S"; `bench_mxfile --make VARIANT
// PATH` writes a matrix file of the nodes and prints "save-seconds S", so that one phase can be
// profiled alone.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"
#include "geo/matrix_start.h"
#include "image/zlib_glue.h"
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
// How many nodes past the one waited on the matrix store is asked for.
constexpr int kAhead = 16;

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Loads are timed this many times and the fastest kept: one pass on a shared machine swings
// with the other work on it.
constexpr int kTries = 3;

// The fastest of kTries runs of `run` (seconds), or -1 when one failed.
template <typename Run>
double best_of(Run run) {
    double best = -1;
    for (int i = 0; i < kTries; i++) {
        double s = run();
        if (s < 0) return -1;
        if (best < 0 || s < best) best = s;
    }
    return best;
}

int64_t file_size(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? st.st_size : 0;
}

void start_runtime() {
    static bool started = false;
    if (started) return;
    started = true;
    static char prog[] = "bench_mxfile";
    static char* argv[] = {prog, nullptr};
    init_runtime(prog, 0);
    minimum_matrix_init(1, argv);
    gc_push(nullptr, nullptr, "bench_mxfile");
}

QV_SEXP* script(const char* text) {
    QV_SEXP* s = read_qv_items(text);
    realize_whole(s);
    return s;
}

// The element type of a variant: "plain" double_v, "zlib" blocks.
MATRIX_DATA_TYPE* type_of(bool zlib) {
    return zlib ? &mx_type_block : &mx_type_double_v;
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

// The net form of a value, a tracked buffer, its length in *len.
uint8_t* net_form(MATRIX_DATA_TYPE* tp, void* v, int64_t* len) {
    RECORD_LIST64* rl = new_recordlist64(0, 0);
    tp->convert_to_net(tp, rl, v);
    *len = setup_recordlist64(rl);
    auto* b = static_cast<uint8_t*>(d_alloc(*len));
    memcpy(b, rl->data, *len);
    free_recordlist64(rl);
    return b;
}

// The block of the level-7 zlib stream of the type byte and the net form of smooth_vector(seed).
void* smooth_block(int seed) {
    void* v = smooth_vector(seed);
    int64_t len = 0;
    uint8_t* net = net_form(&mx_type_double_v, v, &len);
    mx_type_double_v.free_data(&mx_type_double_v, v);
    std::vector<uint8_t> in(len + 1);
    in[0] = static_cast<uint8_t>(mx_type_double_v.type);
    memcpy(in.data() + 1, net, len);
    d_f_ree(net);
    size_t zlen = 0;
    void* z = zlib_compress(&zlen, in.data(), in.size(), 7);
    if (!z) return nullptr;
    MATRIX_BLOCK rec{{0, MXT_BLOCK, 0}, static_cast<int32_t>(zlen), static_cast<uint8_t*>(z)};
    void* b =
        mx_type_block.alloc_data(&mx_type_block, MXA_TRACKED, &rec, nullptr, __FILE__, __LINE__);
    d_f_ree(z);
    return b;
}

std::vector<void*> make_values(bool zlib) {
    std::vector<void*> v;
    for (int i = 0; i < kNodes; i++)
        v.push_back(zlib ? smooth_block(i) : smooth_vector(i));
    return v;
}

void free_values(bool zlib, std::vector<void*>& values) {
    for (void* v : values)
        type_of(zlib)->free_data(type_of(zlib), v);
    values.clear();
}

int64_t* node_code(int i) {
    static thread_local int64_t dc[3];
    dc[0] = 0;
    dc[1] = int64_t{i} * kSide;
    dc[2] = 0;
    return dc;
}

// Drops the file's pages from the page cache (written back first, so that they can go) and
// answers the share of its pages still resident.
double drop_pages(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) return -1;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    double share = -1;
    int64_t size = file_size(path);
    long page = sysconf(_SC_PAGESIZE);
    if (size > 0) {
        void* m = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
        if (m != MAP_FAILED) {
            std::vector<unsigned char> vec((size + page - 1) / page);
            if (mincore(m, size, vec.data()) == 0) {
                int64_t in = 0;
                for (unsigned char c : vec)
                    in += c & 1;
                share = static_cast<double>(in) / vec.size();
            }
            munmap(m, size);
        }
    }
    close(fd);
    return share;
}

// Runs `--load STORE VARIANT PATH` in new processes, cold after dropping the file's pages (the
// share still resident in *resident), warm with the pages the writes left in the page cache:
// the seconds of the fastest of kTries loads, or -1.
double child_load(const char* store, bool zlib, const std::string& path, bool cold,
                  double* resident) {
    std::string cmd = "/proc/" + std::to_string(getpid()) + "/exe --load " + store + " " +
                      (zlib ? "zlib" : "plain") + " " + path;
    return best_of([&] {
        if (cold) *resident = drop_pages(path);
        FILE* f = popen(cmd.c_str(), "r");
        if (!f) return -1.0;
        // The child's own trace lines share its output: the figure is the line with the mark.
        double s = -1;
        char line[512];
        while (fgets(line, sizeof line, f))
            sscanf(line, "load-seconds %lf", &s);
        return pclose(f) == 0 ? s : -1.0;
    });
}

MATRIX* open_file(const std::string& path, bool create, MATRIX_DATA_TYPE* tp) {
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
        MATRIX_CHANNEL_INFO ci{tp, MX_CH_FILE, nullptr, 0};
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

// Asks the store for the nodes up to `upto` not asked for yet (*asked counts them): each one not
// resident yet is fetched by the worker while the caller goes on.
void ask_ahead(MATRIX* m, int* asked, int upto) {
    for (; *asked < kNodes && *asked <= upto; ++*asked) {
        int err = 0;
        MATRIX_NODE* n =
            get_matrix_node(&err, m, node_code(*asked), MI_FETCH_1_TP, nullptr, nullptr);
        // A node found ready comes back held.
        if (err == 0 && n) unlock_node(n, nullptr);
    }
}

// Every node loaded through the fetch script, the budget kept after each or (`held`) every node
// held to the end, the next kAhead nodes asked for first or (`one`) none: the seconds, or -1.
double load_all(MATRIX* m, bool held, bool one) {
    auto t0 = std::chrono::steady_clock::now();
    int asked = 0;
    for (int i = 0; i < kNodes; i++) {
        int err = 0;
        if (!one) ask_ahead(m, &asked, i + kAhead);
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, node_code(i), MI_FETCH_1_TP);
        if (err != 0 || !n->channel[0].data) return -1;
        unlock_node(n, nullptr);
        if (!held) mx_keep_budget();
    }
    return since(t0);
}

// Every node given its value (when it has none yet) and saved, the budget kept after each: false
// when one failed.
bool save_nodes(MATRIX* m, MATRIX_DATA_TYPE* tp, const std::vector<void*>& values) {
    int asked = 0;
    for (int i = 0; i < kNodes; i++) {
        int err = 0;
        ask_ahead(m, &asked, i + kAhead);
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, node_code(i), MI_FETCH_1_TP);
        if (err != 0) return false;
        {
            TaskLockGuard g(matrix_lock);
            if (!n->channel[0].data)
                n->channel[0].data =
                    tp->alloc_copy(tp, values[i], MXA_TRACKED, nullptr, __FILE__, __LINE__);
        }
        int r = save_matrix_node(n);
        unlock_node(n, nullptr);
        if (r != 0) return false;
        mx_keep_budget();
    }
    return true;
}

struct Figures {
    double save = 0, load = 0, cold = 0, resident = 0;
    double kept = 0;  // the warm load holding every value until the last is loaded
    double one = 0;   // the warm load asking for each node only when it waits on it
    int64_t size = 0;
    bool ok = false;
};

Figures matrix_file(const std::string& path, bool zlib, const std::vector<void*>& values) {
    Figures f;
    MATRIX_DATA_TYPE* tp = type_of(zlib);
    unlink(path.c_str());
    MATRIX* m = open_file(path, true, tp);
    if (!m) return f;
    auto t0 = std::chrono::steady_clock::now();
    if (!save_nodes(m, tp, values)) return f;
    f.save = since(t0);
    close_matrix(m);
    f.load = child_load("mx", zlib, path, false, nullptr);
    f.kept = child_load("mx-kept", zlib, path, false, nullptr);
    f.one = child_load("mx-one", zlib, path, false, nullptr);
    if (f.load < 0 || f.kept < 0 || f.one < 0) return f;
    // Every node loaded and saved again, then once more: the size of a file rewritten in use.
    m = open_file(path, false, tp);
    if (!m) return f;
    for (int round = 0; round < 2; round++)
        if (!save_nodes(m, tp, values)) return f;
    close_matrix(m);
    f.size = file_size(path);
    f.cold = child_load("mx", zlib, path, true, &f.resident);
    f.ok = f.cold > 0;
    unlink(path.c_str());
    return f;
}

int load_matrix_child(bool zlib, bool held, bool one, const std::string& path) {
    start_runtime();
    MATRIX* m = open_file(path, false, type_of(zlib));
    if (!m) return 1;
    double s = load_all(m, held, one);
    close_matrix(m);
    if (s < 0) return 1;
    printf("load-seconds %.6f\n", s);
    return 0;
}

// Writes a new matrix file of every node: `--make VARIANT PATH`.
int make_matrix_child(bool zlib, const std::string& path) {
    start_runtime();
    std::vector<void*> values = make_values(zlib);
    MATRIX_DATA_TYPE* tp = type_of(zlib);
    unlink(path.c_str());
    MATRIX* m = open_file(path, true, tp);
    if (!m) return 1;
    auto t0 = std::chrono::steady_clock::now();
    if (!save_nodes(m, tp, values)) return 1;
    double s = since(t0);
    close_matrix(m);
    free_values(zlib, values);
    printf("save-seconds %.6f\n", s);
    return 0;
}

#ifdef VX_HAVE_SQLITE3
std::string sqlite_key(int i) {
    uint8_t b[3 * COMPACT_CODE_MAX + 1];
    return {reinterpret_cast<char*>(b),
            static_cast<size_t>(get_compressed_dim_code(b, node_code(i), 2) - b)};
}

std::string sqlite_pragma(const char* journal) {
    return std::string("PRAGMA journal_mode=") + journal + "; PRAGMA synchronous=OFF;";
}

// Every value read back and turned to host form, then freed at once, or with `keep` held until
// all are loaded, as the matrix store holds its nodes: the seconds, or -1.
double sqlite_load(sqlite3* db, bool zlib, bool keep = false) {
    MATRIX_DATA_TYPE* tp = type_of(zlib);
    std::vector<void*> kept;
    auto t0 = std::chrono::steady_clock::now();
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT v FROM n WHERE k = ?", -1, &st, nullptr);
    for (int i = 0; i < kNodes; i++) {
        std::string key = sqlite_key(i);
        sqlite3_bind_blob(st, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
        if (sqlite3_step(st) != SQLITE_ROW) return -1;
        const void* b = sqlite3_column_blob(st, 0);
        int n = sqlite3_column_bytes(st, 0);
        void* v = tp->convert_to_host(tp, const_cast<void*>(b), n, MXA_TRACKED, nullptr, __FILE__,
                                      __LINE__);
        if (!v) return -1;
        if (keep)
            kept.push_back(v);
        else
            tp->free_data(tp, v);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    double s = since(t0);
    for (void* v : kept)
        tp->free_data(tp, v);
    return s;
}

Figures sqlite_file(const std::string& path, const char* journal, bool zlib,
                    const std::vector<void*>& values) {
    Figures f;
    MATRIX_DATA_TYPE* tp = type_of(zlib);
    unlink(path.c_str());
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return f;
    std::string pragma = sqlite_pragma(journal);
    sqlite3_exec(db, pragma.c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE TABLE n(k BLOB PRIMARY KEY, v BLOB)", nullptr, nullptr, nullptr);
    auto save_all = [&] {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO n VALUES(?, ?)", -1, &st, nullptr);
        for (int i = 0; i < kNodes; i++) {
            if (i % 100 == 0) sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
            int64_t len = 0;
            uint8_t* net = net_form(tp, values[i], &len);
            std::string key = sqlite_key(i);
            sqlite3_bind_blob(st, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
            sqlite3_bind_blob(st, 2, net, static_cast<int>(len), SQLITE_STATIC);
            sqlite3_step(st);
            sqlite3_reset(st);
            d_f_ree(net);
            if (i % 100 == 99) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        }
        sqlite3_finalize(st);
    };
    auto t0 = std::chrono::steady_clock::now();
    save_all();
    f.save = since(t0);
    sqlite3_close(db);
    std::string store = journal[0] == 'W' ? "wal" : "off";
    f.load = child_load(store.c_str(), zlib, path, false, nullptr);
    f.kept = child_load((store + "-kept").c_str(), zlib, path, false, nullptr);
    if (f.load < 0 || f.kept < 0) return f;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, pragma.c_str(), nullptr, nullptr, nullptr);
    save_all();
    save_all();
    sqlite3_exec(db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    f.size = file_size(path) + file_size(path + "-wal");
    f.cold = child_load(store.c_str(), zlib, path, true, &f.resident);
    f.ok = f.cold > 0;
    unlink(path.c_str());
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
    return f;
}

int load_sqlite_child(const char* journal, bool zlib, bool keep, const std::string& path) {
    start_runtime();
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return 1;
    sqlite3_exec(db, sqlite_pragma(journal).c_str(), nullptr, nullptr, nullptr);
    double s = sqlite_load(db, zlib, keep);
    sqlite3_close(db);
    if (s < 0) return 1;
    printf("load-seconds %.6f\n", s);
    return 0;
}
#endif

// 1,000 new 512 KiB buffers, each written once and all held to the end: what bringing in the
// memory alone costs any store that keeps the loaded nodes, in seconds.
double fresh_memory() {
    std::vector<void*> held;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kNodes; i++) {
        void* b = d_alloc(int64_t{kSide} * kSide * 8);
        memset(b, i, size_t{kSide} * kSide * 8);
        held.push_back(b);
    }
    double s = since(t0);
    for (void* b : held)
        d_f_ree(b);
    return s;
}

void report(benchmark::State& state, bool zlib, const Figures& mx, const Figures& off,
            const Figures& wal) {
    std::string pre = zlib ? "z_" : "";
    state.counters[pre + "mx_save_per_s"] = kNodes / mx.save;
    state.counters[pre + "mx_load_per_s"] = kNodes / mx.load;
    state.counters[pre + "mx_cold_per_s"] = kNodes / mx.cold;
    state.counters[pre + "mx_MB"] = mx.size / 1e6;
    printf("\n%s\n%-20s %9s %9s %9s %9s %9s  %s\n", zlib ? "zlib blocks" : "plain double_v",
           "store", "save/s", "load/s", "kept/s", "cold/s", "size MB",
           "(resident before the cold load)");
    printf("%-20s %9.0f %9.0f %9.0f %9.0f %9.1f  (%.0f%%)   one by one: load/s %.0f\n",
           "matrix file", kNodes / mx.save, kNodes / mx.load, kNodes / mx.kept, kNodes / mx.cold,
           mx.size / 1e6, 100 * mx.resident, kNodes / mx.one);
    for (const Figures* s : {&off, &wal}) {
        if (!s->ok) continue;
        const char* name = s == &off ? "SQLite journal OFF" : "SQLite WAL";
        printf(
            "%-20s %9.0f %9.0f %9.0f %9.0f %9.1f  (%.0f%%)   x_save %.2f x_load %.2f "
            "x_kept %.2f x_cold %.2f x_size %.2f (one by one x_load %.2f)\n",
            name, kNodes / s->save, kNodes / s->load, kNodes / s->kept, kNodes / s->cold,
            s->size / 1e6, 100 * s->resident, mx.save / s->save, mx.load / s->load,
            mx.kept / s->kept, mx.cold / s->cold, static_cast<double>(mx.size) / s->size,
            mx.one / s->load);
        std::string k = s == &off ? "off" : "wal";
        state.counters[pre + "x_save_" + k] = mx.save / s->save;
        state.counters[pre + "x_load_" + k] = mx.load / s->load;
        state.counters[pre + "x_one_" + k] = mx.one / s->load;
        state.counters[pre + "x_kept_" + k] = mx.kept / s->kept;
        state.counters[pre + "x_cold_" + k] = mx.cold / s->cold;
        state.counters[pre + "x_size_" + k] = static_cast<double>(mx.size) / s->size;
    }
    if (!zlib)
        printf(
            "(1,000 new 512 KiB buffers written once and held: %.3f s; kept/s: every value "
            "loaded held to the end; load/s: the matrix store within its node budget)\n",
            fresh_memory());
}

void BM_MatrixFileNodes(benchmark::State& state) {
    start_runtime();
    std::string dir = "/tmp/bench_mxfile_" + std::to_string(getpid());
    for (auto _ : state) {
        for (bool zlib : {false, true}) {
            std::vector<void*> values = make_values(zlib);
            Figures mx, off, wal;
            std::string base = dir + (zlib ? "_z" : "");
            mx = matrix_file(base + ".mx", zlib, values);
#ifdef VX_HAVE_SQLITE3
            off = sqlite_file(base + "_off.db", "OFF", zlib, values);
            wal = sqlite_file(base + "_wal.db", "WAL", zlib, values);
#endif
            free_values(zlib, values);
            if (!mx.ok) {
                state.SkipWithError("matrix file run failed");
                return;
            }
            report(state, zlib, mx, off, wal);
        }
    }
}
BENCHMARK(BM_MatrixFileNodes)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "--make") == 0)
        return make_matrix_child(strcmp(argv[2], "zlib") == 0, argv[3]);
    if (argc == 5 && strcmp(argv[1], "--load") == 0) {
        bool zlib = strcmp(argv[3], "zlib") == 0;
        bool keep = strstr(argv[2], "-kept") != nullptr;
        if (strncmp(argv[2], "mx", 2) == 0)
            return load_matrix_child(zlib, keep, strcmp(argv[2], "mx-one") == 0, argv[4]);
#ifdef VX_HAVE_SQLITE3
        return load_sqlite_child(strncmp(argv[2], "wal", 3) == 0 ? "WAL" : "OFF", zlib, keep,
                                 argv[4]);
#else
        return 1;
#endif
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
