// Plot insertion measured the way a user meets it: N CSV lines "x,y,name" of random places in an
// 8192 x 8192 matrix (blocks of 256 x 256, divide 1, one plot-block channel, in memory) inserted
// by one gmxPgPlotInsert call from one interpreter; nodes that fill up pass their points down as
// the call goes. The yardstick is what a user would otherwise pick for points with a name: SQLite
// (in memory, one transaction) with an R*Tree of the positions and a table of the names, the same
// lines parsed with strtol. A second call inserts N more lines: the tracked memory after each call
// shows that memory follows the points held. The trace lines go to /dev/null.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "base/task.h"
#include "bench_qv.h"
#include "geo/app_main.h"
#include "geo/matrix_start.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/interp.h"

#ifdef VX_HAVE_SQLITE3
#include <sqlite3.h>
#endif

namespace {

constexpr int kSide = 8192;
using Clock = std::chrono::steady_clock;

using bench::eval_text;
using bench::on_task;

std::vector<std::string> make_lines(int n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::string> v;
    v.reserve(n);
    for (int i = 0; i < n; i++)
        v.push_back(std::to_string(rng() % kSide) + "," + std::to_string(rng() % kSide) +
                    ",place " + std::to_string(i));
    return v;
}

#ifdef VX_HAVE_SQLITE3
double sqlite_side(const std::vector<std::string>& lines) {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db,
                 "CREATE VIRTUAL TABLE pts USING rtree(id, x0, x1, y0, y1);"
                 "CREATE TABLE names(id INTEGER PRIMARY KEY, name TEXT);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt *p = nullptr, *q = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO pts VALUES(?, ?, ?, ?, ?)", -1, &p, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO names VALUES(?, ?)", -1, &q, nullptr);
    auto t0 = Clock::now();
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    int64_t id = 0;
    for (const std::string& l : lines) {
        char* end = nullptr;
        long x = strtol(l.c_str(), &end, 10);
        long y = strtol(end + 1, &end, 10);
        id++;
        sqlite3_bind_int64(p, 1, id);
        sqlite3_bind_int64(p, 2, x);
        sqlite3_bind_int64(p, 3, x);
        sqlite3_bind_int64(p, 4, y);
        sqlite3_bind_int64(p, 5, y);
        sqlite3_step(p);
        sqlite3_reset(p);
        sqlite3_bind_int64(q, 1, id);
        sqlite3_bind_text(q, 2, end + 1, -1, SQLITE_STATIC);
        sqlite3_step(q);
        sqlite3_reset(q);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    sqlite3_finalize(p);
    sqlite3_finalize(q);
    sqlite3_close(db);
    return s;
}
#endif

}  // namespace

int main(int argc, char** main_argv) {
    int n = argc > 1 ? atoi(main_argv[1]) : 100000;
    if (n <= 0) n = 100000;
    static char prog[] = "bench_pginsert";
    static char* argv[] = {prog, nullptr};
    int devnull = open("/dev/null", O_WRONLY);
    int saved = dup(1);
    dup2(devnull, 1);
    init_runtime("bench_pginsert", 0);
    minimum_matrix_init(1, argv);
    init_vxs();
    init_gmx_function(vxlisp_top_env0, vxlisp_top_env1);
    std::vector<std::string> first = make_lines(n, 7), second = make_lines(n, 8);
    double ours[2] = {0, 0};
    int64_t mem[3] = {0, 0, 0};
    std::string failed;
    on_task([&] {
        QVISP_ENV* env = new_env(vxlisp_top_env1);
        gc_push(env, gc_vxlisp_env, "bench");
        std::string side = std::to_string(kSide);
        QV_SEXP* id = eval_text(
            env,
            "(gmxCreate ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
            " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
            "value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" value=\"8\"])"
            " ([gmxMatrixBlockSize dim=\"1\" value=\"8\"]) ([gmxMatrixPixelSize dim=\"0\" "
            "value=\"" +
                side + "\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"" + side +
                "\"]) ([gmxChannelInfo channel=\"0\" type=\"block\"])"
                " ([gmxPhase area=\"0\"] ([mxPgPlotInitialize channel=\"0\"])"
                " ([mxFinish normal-jump-status=\"MS_OK\"]))"
                " ([gmxPhase area=\"1\" type=\"equ\" equ=\"0\"])"
                " ([gmxPhase area=\"2\" type=\"equ\" equ=\"0\"])"
                " ([gmxPhase area=\"3\" type=\"equ\" equ=\"0\"])"
                " ([gmxPhase area=\"4\" type=\"equ\" equ=\"0\"])"
                " ([gmxPhase area=\"5\" type=\"equ\" equ=\"0\"]))");
        if (get_type(id) != QVT_INTEGER) {
            failed = "gmxCreate";
            return;
        }
        std::string ids = std::to_string(id->integer.data);
        eval_text(env, "(Define s ([gmxPgPlotField id=\"" + ids +
                           "\"])) (Define s ([gmxPgPlotField merge-type=\"48\" dim=\"0\" "
                           "csv=\"A\"] s 1 1 0 0)) (Define s ([gmxPgPlotField merge-type=\"48\" "
                           "dim=\"1\" csv=\"B\"] s 1 1 0 0)) (Define s ([gmxPgPlotField "
                           "merge-type=\"32\" label=\"0\" csv=\"C\"] s \"UTF-8\"))");
        QV_SEXP* call = read_qv_items(
            ("([gmxPgPlotInsert id=\"" + ids + "\" channel=\"0\" csv=\"on\"] s lines)").c_str());
        gc_push(call, gc_vx_sexp, "bench");
        mem[0] = get_d_used_memory();
        for (int k = 0; k < 2; k++) {
            gc_push(nullptr, nullptr, "bench lines");
            QV_SEXP* list = nullptr;
            const std::vector<std::string>& src = k ? second : first;
            for (auto it = src.rbegin(); it != src.rend(); ++it)
                list = cons(get_string(l_string(std_cm, it->c_str())), list);
            set_env(env, l_string(std_cm, "lines"), list);
            auto t0 = Clock::now();
            QV_SEXP* r = eval(env, call->pair.car);
            ours[k] = std::chrono::duration<double>(Clock::now() - t0).count();
            if (get_type(r) == QVT_ERROR)
                failed = "gmxPgPlotInsert: " + print_sexp_text(r->error.data, 0);
            set_env(env, l_string(std_cm, "lines"), nullptr);
            gc_pop(nullptr, nullptr);
            mem[k + 1] = get_d_used_memory();
        }
        gc_pop(nullptr, nullptr);
        gc_pop(nullptr, nullptr);
    });
    dup2(saved, 1);
    if (!failed.empty()) {
        printf("bench_pginsert: %s failed\n", failed.c_str());
        return 1;
    }
    printf(
        "gmxPgPlotInsert of %d CSV places into an %d x %d matrix: %.3f s (%.0f points/s); %d "
        "more: %.3f s\n",
        n, kSide, kSide, ours[0], n / ours[0], n, ours[1]);
    printf("tracked memory: %.1f MiB before, %.1f MiB after %d points, %.1f MiB after %d\n",
           mem[0] / 1048576.0, mem[1] / 1048576.0, n, mem[2] / 1048576.0, 2 * n);
#ifdef VX_HAVE_SQLITE3
    double theirs = sqlite_side(first);
    printf("SQLite in memory, R*Tree + names, one transaction: %.3f s; ratio %.2fx\n", theirs,
           ours[0] / theirs);
#endif
    return 0;
}
