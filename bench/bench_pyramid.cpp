// The full pyramid of an 8192 x 8192 picture built by calibration scripts in a matrix file,
// against `gdaladdo -r average` on GeoTIFFs of the same pictures, in the same run.
//
// Ours: a matrix file (dim_divide 1, blocks of 256 x 256, 14 levels) with a uint8 grey and an
// rgb8 channel whose level 0 was written, each node listed in its ancestors, and closed before
// the clock starts. Timed: opening the file, a scan of its nodes children first asking each for
// its edit slot, which above level 0 sets each channel to mxThinnedOut type="average" of the
// children's channel (nodes come in through the fetch slot's mxLoad), then closing the file,
// every built node saved by the save slot's mxSave. Yardstick: one `gdaladdo -r average`
// (GDAL_NUM_THREADS 1) per picture on a 256 x 256-tiled uncompressed GeoTIFF, levels 2 to 8192,
// both runs summed. Afterwards level 1 is read back from the matrix file (a new opening that
// only loads) and compared with the 2 x 2 means computed here (exactly) and with GDAL's first
// overview (within 1: GDAL rounds, the calibration truncates).
//
// Knobs (environment): VX_PYR_SIDE, the picture's side (default 8192, a power of two >= 512).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/startup.h"
#include "bench_net.h"
#include "geo/matrix_start.h"
#include "lisp/collect.h"
#include "lisp/parser.h"
#include "longchar/longchar.h"
#include "matrix/mxfile.h"
#include "matrix/mxscan.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_types.h"

namespace {

constexpr int kBlock = 8;  // 256 cells a side

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A picture with smooth shapes and detail in every bit, so that averages are not trivial.
uint8_t grey(uint32_t x, uint32_t y) {
    uint32_t h = (x * 0x9E3779B1u) ^ (y * 0x85EBCA77u);
    return static_cast<uint8_t>((x / 7 + y / 11 + ((x ^ y) >> 4) + (h >> 29)) & 0xFF);
}
void rgb(uint32_t x, uint32_t y, uint8_t c[3]) {
    uint32_t h = (x * 0x27D4EB2Fu) ^ (y * 0x165667B1u);
    c[0] = static_cast<uint8_t>(x ^ y);
    c[1] = static_cast<uint8_t>(x * 3 + y + (h >> 30));
    c[2] = static_cast<uint8_t>((x >> 3) + (y >> 2) + (h >> 28));
}

QV_SEXP* script(const char* text) {
    QV_SEXP* s = read_qv_items(text);
    realize_whole(s);
    return s;
}

MATRIX_DATA_TYPE* grey_type() {
    return get_matrix_data_type(MXT_UINT8 + MXT_VECTOR);
}
MATRIX_DATA_TYPE* rgb_type() {
    return get_matrix_data_type(MXT_RGB + MXT_VECTOR);
}

const char* kFinish =
    "<mxFinish normal-jump-status=\"MS_OK\" err-jump-status=\"MS_PROCESS_ERR_1\"/>";
const char* kLoad =
    "<mxFinish normal-jump-status=\"MS_OK\" err-jump-status=\"MS_PROCESS_ERR_1\"/>\n"
    "<mxLoad target=\"file\"/>";
const char* kBuild =
    "(mxSet 0 <mxThinnedOut type=\"average\"><mxCH type=\"children\">0</mxCH></mxThinnedOut>)\n"
    "(mxSet 1 <mxThinnedOut type=\"average\"><mxCH type=\"children\">1</mxCH></mxThinnedOut>)";

// Opens (or creates) the matrix file with the fetch script given for every level and, when
// given, the edit script of the levels above 0.
MATRIX* open_file(const std::string& path, int side, bool create, const char* fetch,
                  const char* edit = nullptr) {
    MATRIX* m = open_matrix(nullptr, l_string(std_cm, path.c_str()), nullptr, nullptr, nullptr);
    MATRIX_PARAM p{};
    p.read_file = matrix_standard_read_file;
    p.write_file = matrix_standard_write_file;
    p.close_file = close_matrix_file;
    if (create) {
        p.dim = 2;
        p.channel_nos = 2;
        set_matrix_param(m, &p);
        for (int d = 0; d < 2; d++) {
            set_matrix_dim_divide(m, d, 1);
            set_matrix_block_size(m, d, kBlock);
            set_matrix_pixel_size(m, d, side);
        }
        MATRIX_CHANNEL_INFO g{grey_type(), MX_CH_FILE, nullptr, 0};
        MATRIX_CHANNEL_INFO c{rgb_type(), MX_CH_FILE, nullptr, 0};
        set_matrix_channel_info(m, 0, &g);
        set_matrix_channel_info(m, 1, &c);
        if (save_matrix_header(m) != 0) return nullptr;
    } else {
        if (load_matrix_header(m, O_RDWR, 0644) != 0) return nullptr;
        set_matrix_param(m, &p);
    }
    QV_SEXP* f = script(fetch);
    for (int s = MI_FETCH_1_TP; s <= MI_FETCH_1_TP + 2; s++)
        set_matrix_cal(m, s, f);
    if (edit) {
        QV_SEXP* e = script(edit);
        set_matrix_cal(m, MI_EDIT_1_TP, e);
        set_matrix_cal(m, MI_EDIT_1_TP + 1, e);
    }
    QV_SEXP* save = script("<mxSave/>");
    for (int s = MI_SAVE_TP; s <= MI_SAVE_BT; s++)
        set_matrix_cal(m, s, save);
    set_matrix_mode(m, 1);
    return m;
}

// The node of dc made ready by its fetch script (held), or null.
MATRIX_NODE* ready_node(MATRIX* m, int64_t level, int64_t x, int64_t y) {
    int64_t dc[3] = {level, x, y};
    int err = 0;
    MATRIX_NODE* n = get_matrix_node_wait(&err, m, dc, MI_FETCH_1_TP);
    if (err || !n) return nullptr;
    return n;
}

// Level 0 written node by node and saved, each node listed in its ancestors, which are saved
// with their lists and no values.
bool write_level0(const std::string& path, int side) {
    MATRIX* m = open_file(path, side, true, kFinish);
    if (!m) return false;
    int nb = side >> kBlock;
    int top = m->total_levels - 1;
    for (int by = 0; by < nb; by++)
        for (int bx = 0; bx < nb; bx++) {
            MATRIX_NODE* n = ready_node(m, 0, int64_t{bx} << kBlock, int64_t{by} << kBlock);
            if (!n) return false;
            void* g =
                mxt_alloc_vector_by_dim_code(m, grey_type(), MXA_TRACKED, n->dim_code, nullptr);
            void* c =
                mxt_alloc_vector_by_dim_code(m, rgb_type(), MXA_TRACKED, n->dim_code, nullptr);
            MATRIX_DH_SET gh, ch;
            get_matrix_dh_set(&gh, g);
            get_matrix_dh_set(&ch, c);
            auto* cv = reinterpret_cast<uint32_t*>(ch.offset);
            for (int y = 0; y < (1 << kBlock); y++)
                for (int x = 0; x < (1 << kBlock); x++) {
                    uint32_t px = (bx << kBlock) + x, py = (by << kBlock) + y;
                    int i = (y << kBlock) + x;
                    gh.offset[i] = grey(px, py);
                    uint8_t k[3];
                    rgb(px, py, k);
                    cv[i] = uint32_t{k[0]} << 24 | uint32_t{k[1]} << 16 | uint32_t{k[2]} << 8;
                }
            {
                TaskLockGuard lk(matrix_lock);
                n->channel[0].data = g;
                n->channel[1].data = c;
            }
            int r = save_matrix_node(n);
            int64_t dc[3] = {0, n->dim_code[1], n->dim_code[2]};
            unlock_node(n, nullptr);
            if (r != 0) return false;
            for (int l = 1; l <= top; l++) {
                int64_t child[3] = {dc[0], dc[1], dc[2]};
                dc[0] = l;
                normalize_dim_code(m, dc);
                MATRIX_NODE* p = ready_node(m, l, dc[1], dc[2]);
                if (!p) return false;
                insert_dim_code_index(p, child, 1);
                unlock_node(p, nullptr);
            }
        }
    close_matrix(m);
    return true;
}

// The timed build: every stored node visited children first and asked for its edit slot,
// then the file closed (every built node saved).
bool build(const std::string& path, int side, double* secs) {
    auto t0 = std::chrono::steady_clock::now();
    MATRIX* m = open_file(path, side, false, kLoad, kBuild);
    if (!m) return false;
    int64_t start[3] = {0, 0, 0}, end[3] = {0, side, side};
    bool ok = matrix_scan(m, 0, MI_EDIT_1_TP, start, end, nullptr, nullptr) == 0;

    MATRIX_NODE* n = ready_node(m, m->total_levels - 1, 0, 0);
    if (n) {
        TaskLockGuard g(matrix_lock);
        ok = ok && n->channel && n->channel[0].data && n->channel[1].data;
    }
    if (n) unlock_node(n, nullptr);
    close_matrix(m);
    *secs = since(t0);
    return ok && n;
}

// Level 1 read back from the file: grey values and rgb triples, row by row.
bool read_level1(const std::string& path, int side, std::vector<uint8_t>* g,
                 std::vector<uint8_t>* c) {
    MATRIX* m = open_file(path, side, false, kLoad);
    if (!m) return false;
    int s1 = side / 2, nb = s1 >> kBlock;
    g->assign(static_cast<size_t>(s1) * s1, 0);
    c->assign(static_cast<size_t>(s1) * s1 * 3, 0);
    bool ok = true;
    for (int by = 0; by < nb && ok; by++)
        for (int bx = 0; bx < nb && ok; bx++) {
            MATRIX_NODE* n =
                ready_node(m, 1, int64_t{bx} << (kBlock + 1), int64_t{by} << (kBlock + 1));
            if (!n) {
                ok = false;
                break;
            }
            TaskLockGuard lk(matrix_lock);
            if (!n->channel || !n->channel[0].data || !n->channel[1].data) {
                ok = false;
            } else {
                MATRIX_DH_SET gh, ch;
                get_matrix_dh_set(&gh, n->channel[0].data);
                get_matrix_dh_set(&ch, n->channel[1].data);
                auto* cv = reinterpret_cast<uint32_t*>(ch.offset);
                for (int y = 0; y < (1 << kBlock); y++)
                    for (int x = 0; x < (1 << kBlock); x++) {
                        size_t o =
                            static_cast<size_t>((by << kBlock) + y) * s1 + (bx << kBlock) + x;
                        int i = (y << kBlock) + x;
                        (*g)[o] = gh.offset[i];
                        for (int k = 0; k < 3; k++)
                            (*c)[o * 3 + k] = static_cast<uint8_t>(cv[i] >> (24 - 8 * k));
                    }
            }
            _unlock_node(n, nullptr);
        }
    close_matrix(m);
    return ok;
}

// The pixels of a binary PGM or PPM file, or empty.
std::vector<uint8_t> pnm_pixels(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string magic;
    int w = 0, h = 0, max = 0;
    f >> magic >> w >> h >> max;
    f.get();
    if (!f || (magic != "P5" && magic != "P6") || max != 255) return {};
    std::vector<uint8_t> p(static_cast<size_t>(w) * h * (magic == "P6" ? 3 : 1));
    f.read(reinterpret_cast<char*>(p.data()), static_cast<std::streamsize>(p.size()));
    return f ? p : std::vector<uint8_t>{};
}

bool run_quiet(const std::vector<std::string>& args, const std::string& dir, double* secs) {
    return bench_net::run_measured(args, dir, "/dev/null", secs);
}

}  // namespace

int main(int, char** argv) {
    int side = bench_net::knob("VX_PYR_SIDE", 8192);
    if (side < 512 || (side & (side - 1))) side = 8192;
    std::string dir = bench_net::temp_dir("vx_bench_pyramid");
    if (dir.empty()) return 1;
    // The store's trace lines (the scan prints one per node) go to a log file of the run, as a
    // service's standard output would, and the figures to the standard output the run was given.
    // The log is in place before the runtime starts, which picks the way it writes by the kind of
    // file it finds there.
    FILE* out = fdopen(dup(1), "w");
    int log = open((dir + "/trace.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!out || log < 0 || dup2(log, 1) < 0) return 1;
    close(log);
    init_runtime(argv[0], 0);
    minimum_matrix_init(1, argv);
    gc_push(nullptr, nullptr, "bench_pyramid");
    std::string mx = dir + "/p.mx";
    // The scan writes its progress report in the working directory.
    if (chdir(dir.c_str()) != 0) return 1;

    if (!write_level0(mx, side)) {
        fprintf(stderr, "bench_pyramid: writing level 0 failed\n");
        return 1;
    }
    long long level0_bytes = 0;
    {
        struct stat st;
        if (stat(mx.c_str(), &st) == 0) level0_bytes = st.st_size;
    }
    double ours = 0;
    if (!build(mx, side, &ours)) {
        fprintf(stderr, "bench_pyramid: the pyramid build failed\n");
        return 1;
    }
    long long built_bytes = 0;
    {
        struct stat st;
        if (stat(mx.c_str(), &st) == 0) built_bytes = st.st_size;
    }
    fprintf(out,
            "matrix file %dx%d uint8 + rgb8, blocks 256, %d coarser levels by mxThinnedOut "
            "average, saved: %.3f s (file %.0f MB -> %.0f MB)\n",
            side, side, __builtin_ctz(static_cast<unsigned>(side)), ours, level0_bytes / 1e6,
            built_bytes / 1e6);

    // Level 1 against the 2 x 2 means computed here.
    std::vector<uint8_t> g1, c1;
    if (!read_level1(mx, side, &g1, &c1)) {
        fprintf(stderr, "bench_pyramid: level 1 could not be read back\n");
        return 1;
    }
    int s1 = side / 2;
    long long off_ref = 0;
    for (int y = 0; y < s1; y++)
        for (int x = 0; x < s1; x++) {
            unsigned gs = 0, cs[3] = {0, 0, 0};
            for (int k = 0; k < 4; k++) {
                uint32_t px = 2 * x + (k & 1), py = 2 * y + (k >> 1);
                gs += grey(px, py);
                uint8_t t[3];
                rgb(px, py, t);
                for (int j = 0; j < 3; j++)
                    cs[j] += t[j];
            }
            size_t o = static_cast<size_t>(y) * s1 + x;
            off_ref += g1[o] != gs / 4;
            for (int j = 0; j < 3; j++)
                off_ref += c1[o * 3 + j] != cs[j] / 4;
        }
    fprintf(out, "level 1 against the reference means: %lld values differ\n", off_ref);

    // The yardstick: the same pictures as tiled GeoTIFFs, their overviews by gdaladdo.
    {
        std::ofstream pg(dir + "/g.pgm", std::ios::binary), pp(dir + "/c.ppm", std::ios::binary);
        pg << "P5\n" << side << " " << side << "\n255\n";
        pp << "P6\n" << side << " " << side << "\n255\n";
        std::vector<char> gr(side), cr(static_cast<size_t>(side) * 3);
        for (int y = 0; y < side; y++) {
            for (int x = 0; x < side; x++) {
                gr[x] = static_cast<char>(grey(x, y));
                uint8_t t[3];
                rgb(x, y, t);
                memcpy(&cr[x * 3], t, 3);
            }
            pg.write(gr.data(), side);
            pp.write(cr.data(), static_cast<std::streamsize>(cr.size()));
        }
    }
    std::vector<std::string> tiled = {
        "gdal_translate", "-q",  "-of",           "GTiff", "-co", "TILED=YES", "-co",
        "BLOCKXSIZE=256", "-co", "BLOCKYSIZE=256"};
    auto with = [](std::vector<std::string> a, std::vector<std::string> b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    if (!run_quiet(with(tiled, {"g.pgm", "g.tif"}), dir, nullptr) ||
        !run_quiet(with(tiled, {"c.ppm", "c.tif"}), dir, nullptr)) {
        fprintf(out, "gdal_translate not available: no yardstick\n");
    } else {
        std::vector<std::string> addo = {"gdaladdo",         "-q", "-r", "average", "--config",
                                         "GDAL_NUM_THREADS", "1"};
        std::vector<std::string> levels;
        for (int f = 2; f <= side; f *= 2)
            levels.push_back(std::to_string(f));
        double tg = 0, tc = 0;
        bool ok = run_quiet(with(with(addo, {"g.tif"}), levels), dir, &tg) &&
                  run_quiet(with(with(addo, {"c.tif"}), levels), dir, &tc);
        if (!ok) {
            fprintf(out, "gdaladdo failed: no yardstick\n");
        } else {
            fprintf(out,
                    "gdaladdo -r average, one thread, levels 2 to %d: grey %.3f s, rgb %.3f s, "
                    "both %.3f s\n",
                    side, tg, tc, tg + tc);
            fprintf(out, "ratio ours / gdaladdo: %.2fx\n", ours / (tg + tc));
            std::vector<std::string> ovr = {"gdal_translate",  "-q", "-of", "PNM", "-oo",
                                            "OVERVIEW_LEVEL=0"};
            if (run_quiet(with(ovr, {"g.tif", "g1.pgm"}), dir, nullptr) &&
                run_quiet(with(ovr, {"c.tif", "c1.ppm"}), dir, nullptr)) {
                std::vector<uint8_t> gg = pnm_pixels(dir + "/g1.pgm"),
                                     gc = pnm_pixels(dir + "/c1.ppm");
                if (gg.size() != g1.size() || gc.size() != c1.size()) {
                    fprintf(out, "GDAL's first overview has another size\n");
                } else {
                    long long far = 0, differ = 0;
                    auto cmp = [&](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
                        for (size_t i = 0; i < a.size(); i++) {
                            int d = a[i] - b[i];
                            differ += d != 0;
                            far += d > 1 || d < -1;
                        }
                    };
                    cmp(g1, gg);
                    cmp(c1, gc);
                    fprintf(out,
                            "level 1 against GDAL's first overview: %lld values differ, %lld by "
                            "more than 1\n",
                            differ, far);
                }
            }
        }
    }
    gc_pop(nullptr, nullptr);
    fclose(out);
    std::string rm = "rm -rf " + dir;
    return system(rm.c_str()) == 0 ? 0 : 1;
}
