// Record store, two measurements against the stores a user would otherwise pick, in the same run:
//
// BM_RecordChurn: random record inserts, reads and deletes in one file through the page cache, the
// same sequence of operations done by SQLite as blob rows of one table in one file (journal off,
// no syncing, a transaction per 1,000 operations, as the record file flushes every 1,000). The
// counter x_sqlite is the time of the record store over SQLite's for the whole sequence.
//
// BM_Index*: 1,000,000 integer-keyed 100-byte values in an associative file's integer index (file
// AVL tree and value records, through the locked interface), in SQLite (an INTEGER PRIMARY KEY
// table, journal off, synchronous off) and in LMDB (no sync), the same keys in the same random
// order: the inserts, 1,000,000 random point reads, ten scans of 10,000 consecutive keys, and the
// file size after 500,000 random updates and 300,000 deletes. Every store commits (the record
// store flushes) every 100,000 operations. Counters: each store's seconds (or MB) and the record
// store's over each reference (x_sqlite, x_lmdb); a table of all figures is printed at the end.
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
#include "pdb/l_favt64.h"
#include "pdb/pagecache.h"
#include "pdb/pdb64.h"

#ifdef VX_HAVE_SQLITE3
#include <sqlite3.h>
#endif
#ifdef VX_HAVE_LMDB
#include <lmdb.h>
#endif
#include <sys/stat.h>

#include <algorithm>
#include <map>

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

// ---- One million integer-keyed 100-byte values

constexpr int kKeys = 1000000;
constexpr int kValue = 100;
constexpr int kCommit = 100000;
constexpr int kScan = 10000;
constexpr int kScans = 10;
constexpr int kUpdates = 500000;
constexpr int kDeletes = 300000;

struct Plan {
    std::vector<int32_t> inserts;  // every key once, in random order
    std::vector<int32_t> reads;
    std::vector<int32_t> scans;                   // first keys of the scans
    std::vector<std::pair<char, int32_t>> churn;  // 'u' update, 'd' delete, mixed
};

const Plan& plan() {
    static Plan p = [] {
        Plan r;
        std::mt19937 rng(2024);
        r.inserts.resize(kKeys);
        for (int i = 0; i < kKeys; i++)
            r.inserts[static_cast<size_t>(i)] = i;
        std::shuffle(r.inserts.begin(), r.inserts.end(), rng);
        for (int i = 0; i < kKeys; i++)
            r.reads.push_back(static_cast<int32_t>(rng() % kKeys));
        for (int i = 0; i < kScans; i++)
            r.scans.push_back(static_cast<int32_t>(rng() % (kKeys - kScan)));
        std::vector<int32_t> order = r.inserts;
        std::shuffle(order.begin(), order.end(), rng);
        for (int i = 0; i < kDeletes; i++)
            r.churn.push_back({'d', order[static_cast<size_t>(i)]});
        for (int i = 0; i < kUpdates; i++)
            r.churn.push_back(
                {'u', order[kDeletes + static_cast<size_t>(rng() % (kKeys - kDeletes))]});
        std::shuffle(r.churn.begin(), r.churn.end(), rng);
        return r;
    }();
    return p;
}

// 100 printable bytes for a key (no 0 byte: the record store keeps values as text).
void value_of(int32_t key, int round, char* out) {
    uint32_t x = static_cast<uint32_t>(key) * 2654435761u + static_cast<uint32_t>(round);
    for (int i = 0; i < kValue; i++) {
        x = x * 1103515245u + 12345u;
        out[i] = static_cast<char>('a' + (x >> 16) % 26);
    }
}

struct Figures {
    double insert = 0, read = 0, scan = 0, churn = 0;
    int64_t size = 0;
    int64_t sum = 0;  // bytes read by the reads and scans, for comparing the stores
    bool ok = false;
};

int64_t size_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

Figures run_pdb_index(const std::string& path) {
    Figures f;
    unlink(path.c_str());
    const Plan& pl = plan();
    int k = l_open_associate64(path.c_str(), O_RDWR | O_CREAT, 0644, -1, 12, nullptr);
    if (k < 0) return f;
    int ix = l_new_index64(k, ASSOC64_INTEGER_INDEX, 1);
    PDB64* p = associate64_file(k);
    uint64_t root_at = static_cast<uint64_t>(get_index_root64(k, ix));
    char v[kValue];
    auto t0 = std::chrono::steady_clock::now();
    int n = 0;
    for (int32_t key : pl.inserts) {
        value_of(key, 0, v);
        if (l_insert_associate64_text(k, ix, &key, v, kValue) != 0) return f;
        if (++n % kCommit == 0) l_flush_filespace64(p);
    }
    l_flush_filespace64(p);
    f.insert = seconds_since(t0);

    t0 = std::chrono::steady_clock::now();
    for (int32_t key : pl.reads) {
        int64_t len = 0;
        char* a = l_search_associate64_text(k, ix, &key, nullptr, &len);
        if (!a) return f;
        f.sum += static_cast<int64_t>(strlen(a));
        d_f_ree(a);
    }
    f.read = seconds_since(t0);

    t0 = std::chrono::steady_clock::now();
    for (int32_t lo : pl.scans) {
        PdbLockGuard g;
        int e = 0;
        FAVT64_ROOT* root = get_root64(&e, p, root_at, integer_endian64);
        FAVT64_NODE* top = root ? root_node64(&e, root) : nullptr;
        int32_t hi = lo + kScan - 1;
        uint8_t a[12] = {}, b[12] = {};
        memcpy(a, &lo, 4);
        memcpy(b, &hi, 4);
        BOUND64_LIST* l =
            favt64_bound_search(&e, root, top, a, b, -1, cmp_assoc64_integer, nullptr);
        for (BOUND64_LIST* x = l; x; x = x->next) {
            int64_t at;
            memcpy(&at, static_cast<uint8_t*>(x->data) + 4, 8);
            void* rec = read_filespace64f(p, static_cast<uint64_t>(at));
            if (rec)
                f.sum += static_cast<int64_t>(strnlen(static_cast<char*>(rec) + 16, kValue + 1));
            d_f_ree(rec);
        }
        free_bound_list64(l);
    }
    f.scan = seconds_since(t0) / kScans;

    t0 = std::chrono::steady_clock::now();
    n = 0;
    for (auto [op, key] : pl.churn) {
        if (op == 'u') {
            value_of(key, 1, v);
            if (l_insert_associate64_text(k, ix, &key, v, kValue) != 0) return f;
        } else {
            // Integer indexes keep their values; the tree itself lets one go.
            PdbLockGuard g;
            int e = 0;
            FAVT64_ROOT* root = get_root64(&e, p, root_at, integer_endian64);
            FAVT64_NODE* gone =
                root ? favt64_delete(&e, root, &root->node, &key, cmp_assoc64_integer, nullptr)
                     : nullptr;
            if (gone) {
                int64_t at;
                memcpy(&at, gone->data + 4, 8);
                favt64_free_node(gone);
                free_filespace64(p, static_cast<uint64_t>(at));
            }
        }
        if (++n % kCommit == 0) l_flush_filespace64(p);
    }
    l_close_associate64(k);
    f.churn = seconds_since(t0);
    f.size = size_of(path);
    unlink(path.c_str());
    f.ok = true;
    return f;
}

#ifdef VX_HAVE_SQLITE3
Figures run_sqlite_index(const std::string& path) {
    Figures f;
    unlink(path.c_str());
    const Plan& pl = plan();
    sqlite3* db;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return f;
    sqlite3_exec(db,
                 "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                 "CREATE TABLE kv(k INTEGER PRIMARY KEY, v BLOB);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt *ins, *sel, *rng, *upd, *del;
    sqlite3_prepare_v2(db, "INSERT INTO kv VALUES(?, ?)", -1, &ins, nullptr);
    sqlite3_prepare_v2(db, "SELECT v FROM kv WHERE k = ?", -1, &sel, nullptr);
    sqlite3_prepare_v2(db, "SELECT v FROM kv WHERE k BETWEEN ? AND ?", -1, &rng, nullptr);
    sqlite3_prepare_v2(db, "UPDATE kv SET v = ? WHERE k = ?", -1, &upd, nullptr);
    sqlite3_prepare_v2(db, "DELETE FROM kv WHERE k = ?", -1, &del, nullptr);
    auto commit = [&](int n) {
        if (n % kCommit == 0) {
            sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
        }
    };
    char v[kValue];
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    int n = 0;
    for (int32_t key : pl.inserts) {
        value_of(key, 0, v);
        sqlite3_bind_int(ins, 1, key);
        sqlite3_bind_blob(ins, 2, v, kValue, SQLITE_STATIC);
        if (sqlite3_step(ins) != SQLITE_DONE) return f;
        sqlite3_reset(ins);
        commit(++n);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    f.insert = seconds_since(t0);

    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    t0 = std::chrono::steady_clock::now();
    n = 0;
    for (int32_t key : pl.reads) {
        sqlite3_bind_int(sel, 1, key);
        if (sqlite3_step(sel) == SQLITE_ROW) f.sum += sqlite3_column_bytes(sel, 0);
        sqlite3_reset(sel);
        commit(++n);
    }
    f.read = seconds_since(t0);

    t0 = std::chrono::steady_clock::now();
    for (int32_t lo : pl.scans) {
        sqlite3_bind_int(rng, 1, lo);
        sqlite3_bind_int(rng, 2, lo + kScan - 1);
        while (sqlite3_step(rng) == SQLITE_ROW)
            f.sum += sqlite3_column_bytes(rng, 0);
        sqlite3_reset(rng);
    }
    f.scan = seconds_since(t0) / kScans;
    sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);

    t0 = std::chrono::steady_clock::now();
    n = 0;
    for (auto [op, key] : pl.churn) {
        if (op == 'u') {
            value_of(key, 1, v);
            sqlite3_bind_blob(upd, 1, v, kValue, SQLITE_STATIC);
            sqlite3_bind_int(upd, 2, key);
            sqlite3_step(upd);
            sqlite3_reset(upd);
        } else {
            sqlite3_bind_int(del, 1, key);
            sqlite3_step(del);
            sqlite3_reset(del);
        }
        commit(++n);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    for (sqlite3_stmt* st : {ins, sel, rng, upd, del})
        sqlite3_finalize(st);
    sqlite3_close(db);
    f.churn = seconds_since(t0);
    f.size = size_of(path);
    unlink(path.c_str());
    f.ok = true;
    return f;
}
#endif

#ifdef VX_HAVE_LMDB
Figures run_lmdb_index(const std::string& path) {
    Figures f;
    unlink(path.c_str());
    std::string lock = path + "-lock";
    unlink(lock.c_str());
    const Plan& pl = plan();
    MDB_env* env;
    if (mdb_env_create(&env) != 0) return f;
    mdb_env_set_mapsize(env, size_t{4} << 30);
    if (mdb_env_open(env, path.c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0644) != 0) return f;
    MDB_txn* txn;
    MDB_dbi dbi;
    mdb_txn_begin(env, nullptr, 0, &txn);
    mdb_dbi_open(txn, nullptr, MDB_INTEGERKEY, &dbi);
    auto commit = [&](int n, unsigned flags) {
        if (n % kCommit == 0) {
            mdb_txn_commit(txn);
            mdb_txn_begin(env, nullptr, flags, &txn);
        }
    };
    char v[kValue];
    auto t0 = std::chrono::steady_clock::now();
    int n = 0;
    for (int32_t key : pl.inserts) {
        value_of(key, 0, v);
        MDB_val k = {sizeof key, &key}, d = {kValue, v};
        if (mdb_put(txn, dbi, &k, &d, 0) != 0) return f;
        commit(++n, 0);
    }
    mdb_txn_commit(txn);
    f.insert = seconds_since(t0);

    mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn);
    t0 = std::chrono::steady_clock::now();
    n = 0;
    for (int32_t key : pl.reads) {
        MDB_val k = {sizeof key, &key}, d;
        if (mdb_get(txn, dbi, &k, &d) == 0) f.sum += static_cast<int64_t>(d.mv_size);
        commit(++n, MDB_RDONLY);
    }
    f.read = seconds_since(t0);

    t0 = std::chrono::steady_clock::now();
    MDB_cursor* cur;
    mdb_cursor_open(txn, dbi, &cur);
    for (int32_t lo : pl.scans) {
        int32_t key = lo;
        MDB_val k = {sizeof key, &key}, d;
        int rc = mdb_cursor_get(cur, &k, &d, MDB_SET_RANGE);
        while (rc == 0 && *static_cast<int32_t*>(k.mv_data) < lo + kScan) {
            f.sum += static_cast<int64_t>(d.mv_size);
            rc = mdb_cursor_get(cur, &k, &d, MDB_NEXT);
        }
    }
    mdb_cursor_close(cur);
    f.scan = seconds_since(t0) / kScans;
    mdb_txn_abort(txn);

    mdb_txn_begin(env, nullptr, 0, &txn);
    t0 = std::chrono::steady_clock::now();
    n = 0;
    for (auto [op, key] : pl.churn) {
        MDB_val k = {sizeof key, &key};
        if (op == 'u') {
            value_of(key, 1, v);
            MDB_val d = {kValue, v};
            mdb_put(txn, dbi, &k, &d, 0);
        } else {
            mdb_del(txn, dbi, &k, nullptr);
        }
        commit(++n, 0);
    }
    mdb_txn_commit(txn);
    mdb_env_close(env);
    f.churn = seconds_since(t0);
    f.size = size_of(path);
    unlink(path.c_str());
    unlink(lock.c_str());
    f.ok = true;
    return f;
}
#endif

// The three stores, run once on first use.
struct AllFigures {
    Figures pdb, sqlite, lmdb;
};

bool index_run = false;

const AllFigures& index_figures() {
    static AllFigures a = [] {
        index_run = true;
        AllFigures r;
        r.pdb = run_pdb_index(scratch("index-pdb"));
#ifdef VX_HAVE_SQLITE3
        r.sqlite = run_sqlite_index(scratch("index-sqlite"));
#endif
#ifdef VX_HAVE_LMDB
        r.lmdb = run_lmdb_index(scratch("index-lmdb"));
#endif
        return r;
    }();
    return a;
}

void report(benchmark::State& state, double Figures::*field) {
    const AllFigures& a = index_figures();
    if (!a.pdb.ok) state.SkipWithError("the record store failed");
    for (auto _ : state)
        state.SetIterationTime(a.pdb.*field);
    state.counters["pdb_s"] = a.pdb.*field;
    if (a.sqlite.ok) {
        state.counters["sqlite_s"] = a.sqlite.*field;
        state.counters["x_sqlite"] = a.pdb.*field / a.sqlite.*field;
    }
    if (a.lmdb.ok) {
        state.counters["lmdb_s"] = a.lmdb.*field;
        state.counters["x_lmdb"] = a.pdb.*field / a.lmdb.*field;
    }
    if (a.sqlite.ok && a.lmdb.ok && (a.pdb.sum != a.sqlite.sum || a.pdb.sum != a.lmdb.sum))
        state.SkipWithError("the stores read different bytes");
}

void BM_IndexInsert1M(benchmark::State& state) {
    report(state, &Figures::insert);
}
void BM_IndexPointRead1M(benchmark::State& state) {
    report(state, &Figures::read);
}
void BM_IndexScan10k(benchmark::State& state) {
    report(state, &Figures::scan);
}
void BM_IndexUpdateDelete(benchmark::State& state) {
    report(state, &Figures::churn);
}
void BM_IndexFileSizeAfterChurn(benchmark::State& state) {
    const AllFigures& a = index_figures();
    for (auto _ : state)
        state.SetIterationTime(a.pdb.churn);
    state.counters["pdb_MB"] = static_cast<double>(a.pdb.size) / 1e6;
    if (a.sqlite.ok) {
        state.counters["sqlite_MB"] = static_cast<double>(a.sqlite.size) / 1e6;
        state.counters["x_sqlite"] =
            static_cast<double>(a.pdb.size) / static_cast<double>(a.sqlite.size);
    }
    if (a.lmdb.ok) {
        state.counters["lmdb_MB"] = static_cast<double>(a.lmdb.size) / 1e6;
        state.counters["x_lmdb"] =
            static_cast<double>(a.pdb.size) / static_cast<double>(a.lmdb.size);
    }
}

BENCHMARK(BM_IndexInsert1M)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_IndexPointRead1M)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_IndexScan10k)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_IndexUpdateDelete)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_IndexFileSizeAfterChurn)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// The figures side by side once more, as a table.
void print_table() {
    const AllFigures& a = index_figures();
    auto row = [&](const char* what, double p, double s, double l, const char* unit) {
        printf("%-34s %10.3f %s %10.3f %s (%5.2fx) %10.3f %s (%5.2fx)\n", what, p, unit, s, unit,
               s > 0 ? p / s : 0.0, l, unit, l > 0 ? p / l : 0.0);
    };
    printf("\n%-34s %13s %22s %22s\n", "1,000,000 keys, 100-byte values", "record store",
           "SQLite (ratio)", "LMDB (ratio)");
    row("insert (s)", a.pdb.insert, a.sqlite.insert, a.lmdb.insert, "s");
    row("1,000,000 point reads (s)", a.pdb.read, a.sqlite.read, a.lmdb.read, "s");
    row("scan of 10,000 keys (ms)", a.pdb.scan * 1e3, a.sqlite.scan * 1e3, a.lmdb.scan * 1e3, "ms");
    row("500k updates + 300k deletes (s)", a.pdb.churn, a.sqlite.churn, a.lmdb.churn, "s");
    row("file size after them (MB)", static_cast<double>(a.pdb.size) / 1e6,
        static_cast<double>(a.sqlite.size) / 1e6, static_cast<double>(a.lmdb.size) / 1e6, "MB");
}

}  // namespace

int quiet(const char*, va_list) {
    return 0;
}

int main(int argc, char** argv) {
    init_runtime(argv[0], 0);
    init_l_favt64();
    set_pdb_print(quiet);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    if (index_run) print_table();
    benchmark::Shutdown();
    return 0;
}
