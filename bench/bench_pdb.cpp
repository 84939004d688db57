// Record store: random record inserts, reads and deletes in one file through the page cache, the
// same sequence of operations done by SQLite as blob rows of one table in one file (journal off,
// no syncing, a transaction per 1,000 operations, as the record file flushes every 1,000). The
// counter x_sqlite is the time of the record store over SQLite's for the whole sequence.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "pdb/freelist64.h"
#include "pdb/pagecache.h"
#include "pdb/pdb64.h"

#ifdef VX_HAVE_SQLITE3
#include <sqlite3.h>
#endif

namespace {

constexpr int kStart = 20000;  // records written before the timed operations
constexpr int kOps = 200000;   // timed operations: a third each insert, read, delete
constexpr int kBatch = 1000;   // operations per flush or transaction

struct Op {
    char kind;  // 'i' insert, 'r' read, 'd' delete
    int id;
    int size;  // body bytes of an insert
};

// The same sequence for both stores: ids of inserted records, reads and deletes of live ones.
const std::vector<Op>& ops() {
    static std::vector<Op> v = [] {
        std::vector<Op> r;
        std::mt19937 rng(99);
        std::vector<int> live;
        int next = 0;
        auto insert = [&] {
            r.push_back({'i', next, 8 + static_cast<int>(rng() % 1000)});
            live.push_back(next++);
        };
        for (int i = 0; i < kStart; i++)
            insert();
        for (int i = 0; i < kOps; i++) {
            int k = static_cast<int>(rng() % 3);
            if (k == 0 || live.empty()) {
                insert();
            } else {
                size_t j = rng() % live.size();
                r.push_back({k == 1 ? 'r' : 'd', live[j], 0});
                if (k == 2) {
                    live[j] = live.back();
                    live.pop_back();
                }
            }
        }
        return r;
    }();
    return v;
}

std::vector<uint8_t> body(int size, int id) {
    std::vector<uint8_t> b(static_cast<size_t>(size));
    for (int i = 0; i < size; i++)
        b[static_cast<size_t>(i)] = static_cast<uint8_t>(id * 31 + i);
    return b;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Runs the sequence on the record store; the seconds of the operations after the first kStart.
double run_pdb(const std::string& path, int64_t* checksum) {
    unlink(path.c_str());
    PDB64* p = open_filespace64(path.c_str(), O_RDWR | O_CREAT, 0644, -1, 11, nullptr);
    if (!p) return -1;
    std::vector<uint64_t> where;
    std::vector<uint8_t> rec;
    auto t0 = std::chrono::steady_clock::now();
    int n = 0;
    for (const Op& op : ops()) {
        if (n++ == kStart) t0 = std::chrono::steady_clock::now();
        if (op.kind == 'i') {
            uint64_t size = static_cast<uint64_t>(op.size) + 16;
            PN64_HEADER h = {300, {0, 0, 0}, size < 24 ? 24 : size};
            int64_t pos = alloc_filespace64(p, &h);
            std::vector<uint8_t> b = body(static_cast<int>(h.size - 16), op.id);
            rec.assign(16, 0);
            rec.insert(rec.end(), b.begin(), b.end());
            pn64_set(rec.data(), 300, h.size);
            write_filespace64f(p, static_cast<uint64_t>(pos), rec.data());
            if (where.size() <= static_cast<size_t>(op.id))
                where.resize(static_cast<size_t>(op.id) + 1);
            where[static_cast<size_t>(op.id)] = static_cast<uint64_t>(pos);
        } else if (op.kind == 'r') {
            void* r = read_filespace64f(p, where[static_cast<size_t>(op.id)]);
            *checksum += static_cast<int64_t>(pn64_size(r));
            d_f_ree(r);
        } else {
            free_filespace64(p, where[static_cast<size_t>(op.id)]);
        }
        if (n % kBatch == 0) flush_filespace64(p);
    }
    close_filespace64(p);
    double s = seconds_since(t0);
    unlink(path.c_str());
    return s;
}

#ifdef VX_HAVE_SQLITE3
double run_sqlite(const std::string& path, int64_t* checksum) {
    unlink(path.c_str());
    sqlite3* db;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return -1;
    sqlite3_exec(db,
                 "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                 "CREATE TABLE r(id INTEGER PRIMARY KEY, b BLOB);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt *ins, *sel, *del;
    sqlite3_prepare_v2(db, "INSERT INTO r VALUES(?, ?)", -1, &ins, nullptr);
    sqlite3_prepare_v2(db, "SELECT b FROM r WHERE id = ?", -1, &sel, nullptr);
    sqlite3_prepare_v2(db, "DELETE FROM r WHERE id = ?", -1, &del, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    int n = 0;
    for (const Op& op : ops()) {
        if (n++ == kStart) t0 = std::chrono::steady_clock::now();
        if (op.kind == 'i') {
            std::vector<uint8_t> b = body(op.size < 8 ? 8 : op.size, op.id);
            sqlite3_bind_int(ins, 1, op.id);
            sqlite3_bind_blob(ins, 2, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
            sqlite3_step(ins);
            sqlite3_reset(ins);
        } else if (op.kind == 'r') {
            sqlite3_bind_int(sel, 1, op.id);
            if (sqlite3_step(sel) == SQLITE_ROW) {
                const void* b = sqlite3_column_blob(sel, 0);
                benchmark::DoNotOptimize(b);
                *checksum += sqlite3_column_bytes(sel, 0) + 16;
            }
            sqlite3_reset(sel);
        } else {
            sqlite3_bind_int(del, 1, op.id);
            sqlite3_step(del);
            sqlite3_reset(del);
        }
        if (n % kBatch == 0) {
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        }
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(ins);
    sqlite3_finalize(sel);
    sqlite3_finalize(del);
    sqlite3_close(db);
    double s = seconds_since(t0);
    unlink(path.c_str());
    return s;
}
#endif

std::string scratch(const char* name) {
    return "/tmp/bench_pdb-" + std::to_string(getpid()) + "-" + name;
}

void BM_RecordChurn(benchmark::State& state) {
    double total = 0;
    int64_t sum = 0;
    for (auto _ : state) {
        double s = run_pdb(scratch("pdb"), &sum);
        if (s < 0) state.SkipWithError("cannot open the record file");
        total += s;
        state.SetIterationTime(s);
    }
    state.SetItemsProcessed(state.iterations() * kOps);
#ifdef VX_HAVE_SQLITE3
    double ref = 1e9;
    int64_t ref_sum = 0;
    for (int i = 0; i < 3; i++) {
        int64_t one = 0;
        double s = run_sqlite(scratch("sqlite"), &one);
        if (s > 0 && s < ref) ref = s;
        ref_sum = one;
    }
    if (ref_sum * static_cast<int64_t>(state.iterations()) != sum)
        state.SkipWithError("the stores read different bytes");
    state.counters["sqlite_ms"] = ref * 1000;
    if (state.iterations() > 0)
        state.counters["x_sqlite"] = total / static_cast<double>(state.iterations()) / ref;
#endif
}

BENCHMARK(BM_RecordChurn)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    fac_init_general();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
