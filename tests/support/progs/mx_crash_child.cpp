// A matrix-file writer that the crash test kills at random moments:
//   vx_mx_crash_child FILE SEED [NODES TREE_LIMIT PAGES]
// opens the matrix file FILE (creating it when absent, 1-D: an int32 file channel and a block file
// channel) and loops for ever saving nodes with new values; every other save also gives the node a
// block of 8 to 20 KB (records that long go to the file in one write of their own), the others
// take it away (its record is freed for later ones). It says "S X VALUE" before a save and "F X
// VALUE" once it has returned (a save writes its pages to the file): after a crash the node at X
// must read back the VALUE of its last F line or of an S line after it. Exit status 3 when the file
// cannot be opened, 4 when a save fails. NODES (64 when not given) is the number of nodes saved
// at random; TREE_LIMIT, when given, is the record cache's limit, so that a small one evicts tree
// records in the middle of the saves' inserts; PAGES the page cache's limit, so that a small one
// writes pages back at any moment. With VX_STOP_AT_COMMIT=N in its environment it ends itself
// (status 9) at its Nth commit of the tree log, the file's pages written and the commit mark not,
// as a kill there would; N = 0 ends it as soon as the record file is made, before any matrix
// record is written.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/startup.h"
#include "geo/matrix_start.h"
#include "lisp/collect.h"
#include "lisp/parser.h"
#include "longchar/longchar.h"
#include "matrix/mxfile.h"
#include "matrix/mxstore.h"
#include "pdb/favt64.h"
#include "pdb/pagecache.h"
#include "pdb/pdb64.h"
#include "pdb/treelog.h"

namespace {

void say(const std::string& s) {
    if (write(1, s.data(), s.size()) != static_cast<ssize_t>(s.size())) _exit(5);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    init_runtime(argv[0], 0);
    minimum_matrix_init(argc, argv);
    int nodes = argc > 3 ? atoi(argv[3]) : 64;
    if (nodes < 1 || nodes > 4096) return 2;
    if (argc > 4) favt64_set_limit(atoi(argv[4]));
    if (argc > 5) fac_set_limit(atoi(argv[5]));
    if (const char* stop = getenv("VX_STOP_AT_COMMIT")) {
        static int left = atoi(stop);
        if (left == 0) {
            open_filespace64(argv[1], O_RDWR | O_CREAT, 0644, static_cast<int32_t>(0x80000000),
                             MX_FILE_TYPE, "utf8");
            _exit(9);
        }
        tree_log_before_commit = [](PDB64*) {
            if (--left == 0) _exit(9);
        };
    }
    gc_push(nullptr, nullptr, "mx_crash_child");
    MATRIX* m = open_matrix(nullptr, l_string(std_cm, argv[1]), nullptr, nullptr, nullptr);
    if (access(argv[1], F_OK) == 0) {
        if (load_matrix_header(m, O_RDWR, 0644) != 0) return 3;
    } else {
        MATRIX_PARAM p{};
        p.dim = 1;
        p.channel_nos = 2;
        set_matrix_param(m, &p);
        set_matrix_dim_divide(m, 0, 1);
        set_matrix_block_size(m, 0, 4);
        set_matrix_pixel_size(m, 0, 1 << 16);
        MATRIX_CHANNEL_INFO ci{get_matrix_data_type(4), 2, nullptr, 0};
        set_matrix_channel_info(m, 0, &ci);
        MATRIX_CHANNEL_INFO bi{get_matrix_data_type(MXT_BLOCK), MX_CH_FILE, nullptr, 0};
        set_matrix_channel_info(m, 1, &bi);
        if (save_matrix_header(m) != 0) return 3;
    }
    QV_SEXP* ready = read_qv_items("<mxFinish normal-jump-status=\"MS_OK\"/>");
    realize_whole(ready);
    for (int s = 0; s < MX_CAL_SLOTS - 3; s++)
        set_matrix_cal(m, s, ready);
    set_matrix_mode(m, 1);
    std::mt19937 rng(static_cast<uint32_t>(atoi(argv[2])));
    for (;;) {
        int64_t x = static_cast<int64_t>(rng() % static_cast<uint32_t>(nodes)) * 16;
        int value = static_cast<int>(rng() % 1000000);
        int64_t dc[2] = {0, x};
        int err = 0;
        MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, 3);
        if (err != 0) return 4;
        if (set_channel_sexp(n, 0, get_integer(value, nullptr)) < 0) return 4;
        if (m->p.channel_nos > 1) {
            MATRIX_DATA_TYPE* bt = get_matrix_data_type(MXT_BLOCK);
            std::vector<uint8_t> bytes(8192 + value % 12000, static_cast<uint8_t>(value));
            MATRIX_BLOCK rec{{0, MXT_BLOCK, 0}, static_cast<int32_t>(bytes.size()), bytes.data()};
            TaskLockGuard g(matrix_lock);
            MATRIX_CHANNEL& c = n->channel[1];
            if (c.data) bt->free_data(bt, c.data);
            c.data = value % 2 ? bt->alloc_data(bt, MXA_TRACKED, &rec, nullptr, __FILE__, __LINE__)
                               : nullptr;
        }
        say("S " + std::to_string(x) + " " + std::to_string(value) + "\n");
        if (save_matrix_node(n) != 0) return 4;
        unlock_node(n, nullptr);
        say("F " + std::to_string(x) + " " + std::to_string(value) + "\n");
    }
}
