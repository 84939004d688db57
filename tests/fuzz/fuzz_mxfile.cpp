// Fuzz entry for matrix files: the input is written as a file and opened as a matrix; when its
// header is taken, the nodes of the first levels near the origin are fetched through the fetch
// script that reads them from the file, and the matrix is closed. Any crash, leak, hang or
// out-of-bounds access is a fault; damage must come back as error values.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/startup.h"
#include "geo/matrix_start.h"
#include "lisp/collect.h"
#include "lisp/parser.h"
#include "longchar/longchar.h"
#include "matrix/mxfile.h"
#include "matrix/mxstore.h"

namespace {

std::string path;

bool start() {
    static char prog[] = "fuzz_mxfile";
    static char* argv[] = {prog, nullptr};
    init_runtime(prog, 0);
    minimum_matrix_init(1, argv);
    path = "/tmp/fuzz_mxfile_" + std::to_string(getpid()) + ".mx";
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    if (!started) return 0;
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    MATRIX* m = open_matrix(nullptr, l_string(std_cm, path.c_str()), nullptr, nullptr, nullptr);
    if (!m) return 0;
    gc_push(nullptr, nullptr, "fuzz_mxfile");
    QV_SEXP* fetch = read_qv_items(
        "<mxFinish normal-jump-status=\"MS_OK\" err-jump-status=\"MS_PROCESS_ERR_1\"/>\n"
        "<mxLoad target=\"file\"/>\n");
    realize_whole(fetch);
    if (load_matrix_header(m, O_RDWR, 0644) == 0 && m->p.dim >= 1 && m->p.dim <= 3) {
        MATRIX_PARAM p{};
        p.read_file = matrix_standard_read_file;
        p.write_file = matrix_standard_write_file;
        p.close_file = close_matrix_file;
        set_matrix_param(m, &p);
        for (int s = MI_FETCH_1_TP; s <= MI_FETCH_1_TP + 2; s++)
            set_matrix_cal(m, s, fetch);
        set_matrix_mode(m, 1);
        for (int64_t level = 0; level < 3; level++) {
            for (int64_t x : {0, 16}) {
                int64_t dc[4] = {level, x, 0, 0};
                int err = 0;
                MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, MI_FETCH_1_TP);
                if (err == 0 && n) unlock_node(n, nullptr);
            }
        }
    } else if (m->file_work) {
        close_matrix_file(m);
    }
    close_matrix(m);
    gc_pop(nullptr, nullptr);
    unlink(path.c_str());
    return 0;
}
