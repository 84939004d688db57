// Geographic imports measured the way a user meets them, one agent run each, against GDAL doing
// the same job in the same run, one thread a side:
//
// DTED: 16 level-1 tiles (4 x 4 degrees, 1201 x 1201 samples, made by gdal_translate -of DTED
// from generated grids) imported with gmxImportDTED1 into one 4801 x 4801 int16 matrix file in
// blocks of 256 x 256 and the matrix closed (its nodes written to the file); the yardstick is
// gdalbuildvrt of the tiles and gdal_translate of the mosaic to a 256 x 256-tiled uncompressed
// GeoTIFF (the matrix file is not compressed either). 1,000 sampled points, read back from the
// closed matrix file by a second agent run, must equal GDAL's and the grid's.
//
// UTM: a zone-54 source of 4000 x 4000 cells of 30 m (an rgb8 channel filled by gmxImportPNM
// from a picture whose pixels encode their own index) resampled by gmxImportUTM into a
// geographic matrix of 3" cells over the same area; the yardstick is gdalwarp -r near to
// EPSG:4326 from a 256 x 256-tiled GeoTIFF of the same picture, with -et 0 (exact projection of
// every cell, as ours does) and with its default error threshold. Cell centres are aligned (a
// matrix cell is named by its centre, a GDAL pixel by its corner); the share of equal cells among
// those that got a value on either side is printed.
//
// PNM: a 17000 x 17000 P5 made by netpbm (289 M pixels) imported with gmxImportPNM into a
// matrix file of a 4-byte channel in blocks of 256 x 256 and the matrix closed, memory held to
// the store's node budget; 1,000 points read back from the closed file must equal netpbm's
// (pamcut); the yardstick is gdal_translate of the picture to a 256 x 256-tiled GeoTIFF.
//
// Knobs (environment): VX_UTM_SIDE, the source's side in cells (default 4000); VX_PNM_SIDE, the
// picture's side (default 17000). Needs the agent built beside the benchmarks, gdal-bin and
// netpbm (installed by scripts/bench); without GDAL only the agent's figures print.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_net.h"

namespace {

using bench_net::numbers;

bool run(const std::vector<std::string>& args, const std::string& dir, double* secs = nullptr,
         long* peak_kb = nullptr) {
    return bench_net::run_measured(args, dir, "/dev/null", secs, peak_kb);
}

const char* kStamp = "^([Shell pipe=\"on\"] \"date +%s%N >> stamps.txt\")\n";

// A two-dimensional matrix form: w x h cells of one channel of the type, blocks of 256 x 256,
// nodes made with their defaults when first asked for; with a file name, nodes are also loaded
// from and saved to the file.
std::string matrix_form(int64_t w, int64_t h, const char* type, const std::string& file) {
    std::string s = file.empty() ? "(gmxCreate" : "([gmxCreate filename=\"" + file + "\"]";
    s += " ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
         " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
         "value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" value=\"8\"]) ([gmxMatrixBlockSize "
         "dim=\"1\" value=\"8\"]) ([gmxMatrixPixelSize dim=\"0\" value=\"" +
         std::to_string(w) + "\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"" + std::to_string(h) +
         "\"]) ([gmxChannelInfo channel=\"0\" type=\"" + type + "\"" +
         (file.empty() ? "" : " file=\"on\"") + "])";
    if (file.empty()) {
        s += " ([gmxPhase area=\"0\"] ([mxFinish normal-jump-status=\"MS_OK\"]))";
        for (int a = 1; a <= 5; a++)
            s += " ([gmxPhase area=\"" + std::to_string(a) + "\" type=\"equ\" equ=\"0\"])";
    } else {
        // Live: a node not on file yet is made with its defaults; read back later (direct
        // mode), nodes come from the file. Every level's save slot writes the node.
        s += " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\" "
             "err-jump-status=\"MS_OK\"]) ([mxLoad target=\"file\"]))"
             " ([gmxPhase area=\"3\" mode=\"direct\"] ([mxFinish normal-jump-status=\"MS_OK\"]) "
             "([mxLoad target=\"file\"]))";
        for (const char* mode : {"", " mode=\"direct\""})
            for (int a : {4, 5})
                s += " ([gmxPhase area=\"" + std::to_string(a) + "\"" + mode +
                     " type=\"equ\" equ=\"3\"])";
        s += " ([gmxPhase area=\"21\"] ([mxSave target=\"file\"])) ([gmxPhase area=\"22\" "
             "type=\"equ\" equ=\"21\"]) ([gmxPhase area=\"23\" type=\"equ\" equ=\"21\"])";
    }
    return s + ")";
}

// Runs the script in dir: the agent's replies, or "" (with a message) when it failed.
std::string agent_run(const std::string& agent, const std::string& dir, const std::string& script,
                      const char* what, long* peak_kb = nullptr) {
    bench_net::write_file(dir + "/" + what + ".qv", script);
    if (!bench_net::run_measured({agent, std::string(what) + ".qv", std::string(what) + ".out"},
                                 dir, "/dev/null", nullptr, peak_kb)) {
        fprintf(stderr, "bench_geo_import: the agent failed (%s)\n", what);
        return "";
    }
    std::string out = bench_net::read_all(dir + "/" + what + ".out");
    if (out.find("%E") != std::string::npos) {
        fprintf(stderr, "bench_geo_import: a script call failed (%s):\n%.2000s\n", what,
                out.c_str());
        return "";
    }
    return out;
}

// ---- DTED ---------------------------------------------------------------------------------------

constexpr int T = 4;             // tiles a side
constexpr int S = 1200 * T + 1;  // cells a side

// The elevation at global column X, row R (0 north) of the mosaic.
int16_t elevation(int X, int R) {
    return static_cast<int16_t>((X * 7 + R * 13 + (X * R) % 97) % 9000 - 500);
}

// Tile (i, j), i eastward from 138 E, j northward from 34 N, made by GDAL from a grid; false
// when gdal_translate failed.
bool make_tile(const std::string& dir, int i, int j) {
    char sub[16], name[16];
    snprintf(sub, sizeof sub, "e%03d", 138 + i);
    snprintf(name, sizeof name, "n%02d.dt1", 34 + j);
    mkdir((dir + "/" + sub).c_str(), 0755);
    std::vector<int16_t> g(size_t{1201} * 1201);
    for (int r = 0; r < 1201; r++)
        for (int c = 0; c < 1201; c++)
            g[size_t(r) * 1201 + c] = elevation(1200 * i + c, (T - 1 - j) * 1200 + r);
    std::ofstream(dir + "/grid.bil", std::ios::binary)
        .write(reinterpret_cast<const char*>(g.data()), static_cast<std::streamsize>(g.size() * 2));
    std::ofstream(dir + "/grid.hdr") << "BYTEORDER I\nLAYOUT BIL\nNROWS 1201\nNCOLS 1201\nNBANDS "
                                        "1\nNBITS 16\nPIXELTYPE SIGNEDINT\n";
    const double h = 0.5 / 1200;
    char ul[4][32];
    snprintf(ul[0], 32, "%.10f", 138 + i - h);
    snprintf(ul[1], 32, "%.10f", 35 + j + h);
    snprintf(ul[2], 32, "%.10f", 139 + i + h);
    snprintf(ul[3], 32, "%.10f", 34 + j - h);
    return run({"gdal_translate", "-q", "-of", "DTED", "-a_srs", "EPSG:4326", "-a_ullr", ul[0],
                ul[1], ul[2], ul[3], "grid.bil", std::string(sub) + "/" + name},
               dir);
}

int dted(const std::string& agent, const std::string& dir) {
    std::vector<std::string> tiles;
    for (int j = 0; j < T; j++)
        for (int i = 0; i < T; i++) {
            if (!make_tile(dir, i, j)) {
                printf("DTED: gdal_translate -of DTED not available: no tiles, no yardstick\n");
                return 0;
            }
            char t[32];
            snprintf(t, sizeof t, "e%03d/n%02d.dt1", 138 + i, 34 + j);
            tiles.push_back(t);
        }
    std::mt19937 rng(1201);
    std::vector<std::pair<int, int>> pts(1000);  // (column, row from the north)
    for (auto& p : pts)
        p = {static_cast<int>(rng() % S), static_cast<int>(rng() % S)};

    // Ours: the imports and the closing are timed; the points are read back from the file in a
    // second run.
    std::string s = "^" + matrix_form(S, S, "int16_v", "dem.mx") + "\n" + kStamp;
    for (const std::string& t : tiles)
        s += "^([gmxImportDTED1 id=\"1\" ch=\"0\"] \"" + dir + "/" + t + "\" " +
             std::to_string(138 * 3600) + " " + std::to_string(34 * 3600) + ")\n";
    s += "^([gmxClose id=\"1\"])\n";
    s += kStamp;
    s += "^(Exit)\n";
    long peak = 0;
    std::string out = agent_run(agent, dir, s, "dted", &peak);
    std::vector<double> t = numbers(bench_net::read_all(dir + "/stamps.txt"));
    if (out.empty() || t.size() != 2) return 1;
    double ours = (t[1] - t[0]) / 1e9;
    struct stat st {};
    stat((dir + "/dem.mx").c_str(), &st);
    printf(
        "agent gmxImportDTED1 of %d tiles into a %dx%d int16 matrix file and gmxClose: %.3f s, "
        "file %.1f MB, agent peak %ld MiB\n",
        T * T, S, S, ours, st.st_size / 1e6, peak / 1024);
    s = "^(gmxGetPoint \"dem.mx\" '(";
    for (auto& p : pts)
        s += "(0 " + std::to_string(p.first) + " " + std::to_string(S - 1 - p.second) + ")";
    s += "))\n^(Exit)\n";
    out = agent_run(agent, dir, s, "points");
    // The points' values: the last number of each (... value) item of the reply.
    std::vector<int> mine;
    {
        size_t at = out.find("<Result> 1 ");
        size_t end = out.find("</Result>", at);
        std::string r = at == std::string::npos ? "" : out.substr(at, end - at);
        for (size_t k = r.find(')'); k != std::string::npos; k = r.find(')', k + 1)) {
            size_t b = r.find_last_of(" (", k - 1);
            if (b != std::string::npos && r[k - 1] != ')') mine.push_back(atoi(r.c_str() + b + 1));
        }
    }

    double vrt = 0, tif = 0;
    std::vector<std::string> args = {"gdalbuildvrt", "-q", "mosaic.vrt"};
    args.insert(args.end(), tiles.begin(), tiles.end());
    if (!run(args, dir, &vrt) ||
        !run({"gdal_translate", "-q", "-of", "GTiff", "-co", "TILED=YES", "-co", "BLOCKXSIZE=256",
              "-co", "BLOCKYSIZE=256", "mosaic.vrt", "mosaic.tif"},
             dir, &tif, &peak)) {
        printf("DTED: gdalbuildvrt or gdal_translate failed: no yardstick\n");
        return 0;
    }
    {
        std::ofstream in(dir + "/pairs.txt");
        for (auto& p : pts)
            in << p.first << " " << p.second << "\n";
    }
    std::string cmd =
        "cd " + dir + " && gdallocationinfo -valonly mosaic.tif < pairs.txt > vals.txt";
    std::vector<int> theirs;
    if (system(cmd.c_str()) == 0) {
        std::vector<double> v = numbers(bench_net::read_all(dir + "/vals.txt"));
        theirs.assign(v.begin(), v.end());
    }
    int equal = 0;
    for (size_t k = 0; k < pts.size() && k < mine.size() && k < theirs.size(); k++) {
        auto [X, R] = pts[k];
        equal += mine[k] == theirs[k] && mine[k] == elevation(X, R);
    }
    printf(
        "gdalbuildvrt + gdal_translate to a 256x256-tiled GeoTIFF: %.3f s (%.3f + %.3f), "
        "gdal_translate peak %ld MiB\n",
        vrt + tif, vrt, tif, peak / 1024);
    printf("ratio agent / gdal: %.2fx; sampled points equal: %d of %zu\n", ours / (vrt + tif),
           equal, pts.size());
    return equal == static_cast<int>(pts.size()) ? 0 : 1;
}

// ---- UTM ----------------------------------------------------------------------------------------

int utm(const std::string& agent, const std::string& dir, int side) {
    // The source: cell (u, v) holds the index u + side * v in its three colour bytes, its centre
    // at easting E0 + 30 u, northing N0 - 30 v.
    const double E0 = 440000, N0 = 3950000, cell = 30;
    {
        std::ofstream f(dir + "/src.ppm", std::ios::binary);
        f << "P6\n" << side << " " << side << "\n255\n";
        std::vector<char> row(static_cast<size_t>(side) * 3);
        for (int v = 0; v < side; v++) {
            for (int u = 0; u < side; u++) {
                uint32_t i = static_cast<uint32_t>(u + side * v);
                row[u * 3] = static_cast<char>(i >> 16);
                row[u * 3 + 1] = static_cast<char>(i >> 8);
                row[u * 3 + 2] = static_cast<char>(i);
            }
            f.write(row.data(), static_cast<std::streamsize>(row.size()));
        }
    }
    // The target: 3" cells whose centres run from (lon0, lat0), y northward, covering the
    // source's geographic extent (computed once for the default side: 140.337..141.663 E,
    // 34.610..35.694 N; a smaller side stays inside it).
    const double reso = 1200, lon0 = 140.33, lat0 = 34.60;
    const int W = 1608, H = 1320;
    char args[640];
    snprintf(args, sizeof args,
             " %.17g %.17g %.17g %.17g 54 (list %.17g %.17g) (list (list %.17g %.17g) (list %.17g "
             "%.17g)) (list %.17g %.17g) 6378137.0 6356752.314245179)",
             lon0, lat0, reso, reso, N0, E0, N0 - cell * side, E0, N0, E0 + cell * side, 1 / cell,
             -1 / cell);
    std::string s = "^" + matrix_form(side, side, "rgb8_v", "") + "\n^" +
                    matrix_form(W, H, "rgb8_v", "") + "\n";
    s += "^([gmxImportPNM id=\"1\"] \"src.ppm\" 0 0 0 0)\n";
    s += kStamp;
    s += std::string("^([gmxImportUTM id=\"2\" utmid=\"1\" ch=\"0\" XYdir=\"reverse\"]") + args +
         "\n";
    s += kStamp;
    s += "^([gmxExportPNM id=\"2\"] \"ours.ppm\" 0 0)\n^(Exit)\n";
    if (remove((dir + "/stamps.txt").c_str()) != 0 && errno != ENOENT) return 1;
    long peak = 0;
    std::string out = agent_run(agent, dir, s, "utm", &peak);
    std::vector<double> t = numbers(bench_net::read_all(dir + "/stamps.txt"));
    if (out.empty() || t.size() != 2) return 1;
    double ours = (t[1] - t[0]) / 1e9;
    printf(
        "agent gmxImportUTM of a %dx%d zone-54 source (30 m) into a %dx%d target (3\"): %.3f s "
        "(%.1f Mcells/s of target), agent peak %ld MiB\n",
        side, side, W, H, ours, W * double(H) / ours / 1e6, peak / 1024);

    char ullr[4][32], te[4][32], tr[32];
    snprintf(ullr[0], 32, "%.17g", E0 - cell / 2);
    snprintf(ullr[1], 32, "%.17g", N0 + cell / 2);
    snprintf(ullr[2], 32, "%.17g", E0 - cell / 2 + cell * side);
    snprintf(ullr[3], 32, "%.17g", N0 + cell / 2 - cell * side);
    snprintf(te[0], 32, "%.17g", lon0 - 0.5 / reso);
    snprintf(te[1], 32, "%.17g", lat0 - 0.5 / reso);
    snprintf(te[2], 32, "%.17g", lon0 - 0.5 / reso + W / reso);
    snprintf(te[3], 32, "%.17g", lat0 - 0.5 / reso + H / reso);
    snprintf(tr, 32, "%.17g", 1 / reso);
    if (!run({"gdal_translate", "-q", "-a_srs", "EPSG:32654", "-a_ullr", ullr[0], ullr[1], ullr[2],
              ullr[3], "-co", "TILED=YES", "-co", "BLOCKXSIZE=256", "-co", "BLOCKYSIZE=256",
              "src.ppm", "src.tif"},
             dir)) {
        printf("UTM: gdal_translate not available: no yardstick\n");
        return 0;
    }
    // Share of equal cells between ours (rows northward, white or black: no value) and GDAL's
    // (rows southward, black: no value).
    auto compare = [&](const std::string& gdal_ppm, int* valued) {
        std::string a = bench_net::read_all(dir + "/ours.ppm");
        std::string b = bench_net::read_all(dir + "/" + gdal_ppm);
        std::string head = "P6\n" + std::to_string(W) + " " + std::to_string(H) + "\n255\n";
        size_t n = size_t(W) * H * 3;
        if (a.size() != head.size() + n || b.size() != head.size() + n) return -1.0;
        const auto* pa = reinterpret_cast<const uint8_t*>(a.data() + head.size());
        const auto* pb = reinterpret_cast<const uint8_t*>(b.data() + head.size());
        int64_t both = 0, same = 0;
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) {
                const uint8_t* o = pa + (size_t(y) * W + x) * 3;
                const uint8_t* g = pb + (size_t(H - 1 - y) * W + x) * 3;
                uint32_t ov = o[0] << 16 | o[1] << 8 | o[2], gv = g[0] << 16 | g[1] << 8 | g[2];
                bool on = ov != 0 && ov != 0xffffff, gn = gv != 0;
                if (!on && !gn) continue;
                both++;
                same += on && gn && ov == gv;
            }
        *valued = static_cast<int>(both);
        return both ? 100.0 * same / both : -1.0;
    };
    double g[2] = {0, 0};
    long gpeak[2] = {0, 0};
    for (int k = 0; k < 2; k++) {
        std::vector<std::string> a = {"gdalwarp", "-q",
                                      "-r",       "near",
                                      "-t_srs",   "EPSG:4326",
                                      "-te",      te[0],
                                      te[1],      te[2],
                                      te[3],      "-tr",
                                      tr,         tr,
                                      "-co",      "TILED=YES",
                                      "-co",      "BLOCKXSIZE=256",
                                      "-co",      "BLOCKYSIZE=256"};
        if (k == 0) a.insert(a.end(), {"-et", "0"});
        std::string o = "w" + std::to_string(k);
        a.insert(a.end(), {"src.tif", o + ".tif"});
        if (!run(a, dir, &g[k], &gpeak[k]) ||
            !run({"gdal_translate", "-q", "-of", "PNM", o + ".tif", o + ".ppm"}, dir)) {
            printf("UTM: gdalwarp failed: no yardstick\n");
            return 0;
        }
    }
    int v0 = 0, v1 = 0;
    double e0 = compare("w0.ppm", &v0), e1 = compare("w1.ppm", &v1);
    printf(
        "gdalwarp -r near -et 0: %.3f s; with the default error threshold: %.3f s; peak %ld and "
        "%ld MiB\n",
        g[0], g[1], gpeak[0] / 1024, gpeak[1] / 1024);
    printf(
        "ratio agent / gdal: %.2fx (-et 0), %.2fx (default); cells equal: %.3f%% and %.3f%% "
        "of %d and %d valued\n",
        ours / g[0], ours / g[1], e0, e1, v0, v1);
    return e0 >= 99.9 ? 0 : 1;
}

// ---- PNM ----------------------------------------------------------------------------------------

int pnm(const std::string& agent, const std::string& dir, int side) {
    // The picture: netpbm's noise, side x side grey samples (289 M pixels at the default side).
    std::string make = "cd " + dir + " && pgmnoise -randomseed=63 " + std::to_string(side) + " " +
                       std::to_string(side) + " > pic.pgm";
    if (system(make.c_str()) != 0) {
        printf("PNM: pgmnoise not available: no picture\n");
        return 0;
    }
    // Ours: into a matrix file of a 4-byte channel in blocks of 256 x 256, closed (its nodes
    // written to the file), the loaded nodes held within the store's node budget.
    std::string s = "^" + matrix_form(side, side, "rgb8_v", "pic.mx") + "\n" + kStamp;
    s += "^([gmxImportPNM id=\"1\"] \"pic.pgm\" 0 0 0 0)\n^([gmxClose id=\"1\"])\n" +
         std::string(kStamp) + "^(Exit)\n";
    if (remove((dir + "/stamps.txt").c_str()) != 0 && errno != ENOENT) return 1;
    long peak = 0;
    std::string out = agent_run(agent, dir, s, "pnm", &peak);
    std::vector<double> t = numbers(bench_net::read_all(dir + "/stamps.txt"));
    if (out.empty() || t.size() != 2) return 1;
    double ours = (t[1] - t[0]) / 1e9;
    struct stat st {};
    stat((dir + "/pic.mx").c_str(), &st);
    printf(
        "agent gmxImportPNM of a %dx%d P5 (netpbm) into a matrix file and gmxClose: %.3f s "
        "(%.1f Mpx/s), file %.1f MB, agent peak %ld MiB (node budget 96 MiB)\n",
        side, side, ours, double(side) * side / ours / 1e6, st.st_size / 1e6, peak / 1024);

    // 1,000 points read back from the closed file by a second run: 10 in each of 100 rows,
    // against the samples netpbm's pamcut gives for those rows.
    std::mt19937 rng(63);
    std::vector<std::pair<int, int>> pts;
    for (int r = 0; r < 100; r++) {
        int y = static_cast<int>(rng() % side);
        for (int k = 0; k < 10; k++)
            pts.push_back({static_cast<int>(rng() % side), y});
    }
    s = "^(gmxGetPoint \"pic.mx\" '(";
    for (auto& p : pts)
        s += "(0 " + std::to_string(p.first) + " " + std::to_string(p.second) + ")";
    s += "))\n^(Exit)\n";
    out = agent_run(agent, dir, s, "pnm_points");
    std::vector<int64_t> mine;
    {
        size_t at = out.find("<Result> 1 ");
        size_t end = out.find("</Result>", at);
        std::string r = at == std::string::npos ? "" : out.substr(at, end - at);
        for (size_t k = r.find(')'); k != std::string::npos; k = r.find(')', k + 1)) {
            size_t b = r.find_last_of(" (", k - 1);
            if (b != std::string::npos && r[k - 1] != ')')
                mine.push_back(strtoll(r.c_str() + b + 1, nullptr, 0));
        }
    }
    int equal = 0;
    for (size_t i = 0; i < pts.size(); i += 10) {
        std::string row = dir + "/row.pgm";
        std::string cmd = "pamcut -top " + std::to_string(pts[i].second) + " -height 1 " + dir +
                          "/pic.pgm > " + row;
        if (system(cmd.c_str()) != 0) break;
        std::string b = bench_net::read_all(row);
        if (b.size() < static_cast<size_t>(side)) break;
        const auto* px = reinterpret_cast<const uint8_t*>(b.data() + b.size() - side);
        for (size_t k = i; k < i + 10 && k < mine.size(); k++) {
            int64_t g = px[pts[k].first];
            equal += mine[k] == (g << 24 | g << 16 | g << 8);
        }
    }

    double gdal = 0;
    long gpeak = 0;
    if (!run({"gdal_translate", "-q", "-of", "GTiff", "-co", "TILED=YES", "-co", "BLOCKXSIZE=256",
              "-co", "BLOCKYSIZE=256", "pic.pgm", "pic.tif"},
             dir, &gdal, &gpeak)) {
        printf("PNM: gdal_translate failed: no yardstick\n");
        return equal == 1000 ? 0 : 1;
    }
    printf("gdal_translate to a 256x256-tiled GeoTIFF: %.3f s, peak %ld MiB\n", gdal, gpeak / 1024);
    printf("ratio agent / gdal: %.2fx; points equal to pamcut's: %d of %zu\n", ours / gdal, equal,
           pts.size());
    return equal == static_cast<int>(pts.size()) ? 0 : 1;
}

}  // namespace

int main() {
    std::string agent = bench_net::self_dir() + "/../vxmx";
    std::string dir = bench_net::temp_dir("vx_bench_geo_import");
    if (dir.empty()) return 1;
    int rc = dted(agent, dir);
    std::string rm = "rm -rf " + dir + "/*";
    if (system(rm.c_str()) != 0) rc = 1;
    rc |= utm(agent, dir, bench_net::knob("VX_UTM_SIDE", 4000));
    rm = "rm -rf " + dir + "/*";
    if (system(rm.c_str()) != 0) rc = 1;
    rc |= pnm(agent, dir, bench_net::knob("VX_PNM_SIDE", 17000));
    rm = "rm -rf " + dir;
    if (system(rm.c_str()) != 0) rc = 1;
    return rc;
}
