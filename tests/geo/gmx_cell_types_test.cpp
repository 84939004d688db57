// Every element type through the built-ins that touch cells, one table row a type: matrices in
// memory and on file, 13 x 7 cells in blocks of 4 (edge nodes 1 and 3 cells wide), with a default
// and without; cells written at fixed-seed random places and read back by point, by run, as
// blocks and node states; PNM import and export (4-byte cell types, the type error for the rest);
// the pyramid's representative thinning with the channel's default; numbers set out of range and
// vectors of other shapes and types refused; a vector of no dimension refused by runs; close and
// re-open, a scan, a copy into blocks of 8, and the copy of a stored vector with no cells. Any
// sanitizer report, hang or wrong value fails.
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "geo/geo_util.h"
#include "gmx_io_util.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_types.h"

using namespace gmxtest;

namespace {

struct TypeRow {
    const char* name;
    int code;
    const char* def;   // a default the type takes (script text), or null
    const char* bad;   // a number outside its range, or null
    const char* good;  // a number mxSet stores in a scalar channel, or null
};

const TypeRow kTypes[] = {
    {"bit", 1, "1", "2", "1"},
    {"bit_v", 17, "1", "2", nullptr},
    {"int8", 2, "-5", "200", "3"},
    {"int8_v", 18, "-5", "-129", nullptr},
    {"uint8", 6, "200", "-1", "3"},
    {"uint8_v", 22, "200", "256", nullptr},
    {"int16", 3, "-300", "40000", "3"},
    {"int16_v", 19, "-300", "-32769", nullptr},
    {"uint16", 7, "60000", "70000", "3"},
    {"uint16_v", 23, "60000", "-1", nullptr},
    {"int32", 4, "-70000", "3000000000", "3"},
    {"int32_v", 20, "-70000", "-2147483649", nullptr},
    {"uint32", 8, "4000000000", "-1", "3"},
    {"uint32_v", 24, "4000000000", "4294967296.5", nullptr},
    {"int64", 5, "-5000000000", "1.0e19", "3"},
    {"int64_v", 21, "-5000000000", "-1.0e19", nullptr},
    {"uint64", 9, "5000000000", "-1.0", "3"},
    {"uint64_v", 25, "5000000000", "2.0e19", nullptr},
    {"float_v", 10, "2.5", "1.0e39", "1.5"},  // the scalar float's name
    {"double", 11, "2.5", nullptr, "1.5"},
    {"double_v", 27, "2.5", nullptr, nullptr},
    {"rgb8", 12, "16777216", "4294967296", "3"},
    {"rgb8_v", 28, "16777216", "-1", nullptr},
    {"block", 13, nullptr, "5", nullptr},
    {"string", 14, "\"s\"", "5", nullptr},
    {"string_v", 30, "\"s\"", "5", nullptr},
    {"sexp", 15, nullptr, "5", nullptr},
};

constexpr int kW = 13, kH = 7;

bool is_vector(const TypeRow& r) {
    return r.code > 16;
}
int scalar(const TypeRow& r) {
    return r.code & 15;
}
// Bytes a cell takes in the caller's buffers; 0 for types gmxGetPoint does not show.
int width(const TypeRow& r) {
    static const int w[16] = {0, 1, 1, 2, 4, 8, 1, 2, 4, 8, 4, 8, 4, 0, 0, 0};
    return w[scalar(r)];
}
// The entry's buffer of cells of w bytes.
int buffer(int w) {
    return w == 1 ? 0 : w == 2 ? 1 : w == 4 ? 2 : 3;
}
// Vectors of numbers the pyramid walks (rgb8 included, bits not).
bool walkable(const TypeRow& r) {
    return r.code > 17 && r.code <= 28;
}
// Vectors whose cells a copy moves one by one into other blocks.
bool cellwise(const TypeRow& r) {
    return is_vector(r) && r.code != 30;
}

// A cell value as gmxGetPoint prints it (floating numbers with a space after), from its bytes.
std::string shown(const TypeRow& r, uint64_t bits) {
    char buf[64];
    switch (scalar(r)) {
        case MXT_BIT:
        case MXT_INT8:
            return std::to_string(static_cast<int8_t>(bits));
        case MXT_INT16:
            return std::to_string(static_cast<int16_t>(bits));
        case MXT_INT32:
            return std::to_string(static_cast<int32_t>(bits));
        case MXT_UINT8:
        case MXT_UINT16:
        case MXT_UINT32:
        case MXT_RGB:
            return std::to_string(bits);
        case MXT_FLOAT: {
            float f;
            uint32_t b = static_cast<uint32_t>(bits);
            memcpy(&f, &b, 4);
            snprintf(buf, sizeof buf, "%.16f ", static_cast<double>(f));
            return buf;
        }
        case MXT_DOUBLE: {
            double d;
            memcpy(&d, &bits, 8);
            snprintf(buf, sizeof buf, "%.16f ", d);
            return buf;
        }
        default:
            return std::to_string(static_cast<int64_t>(bits));
    }
}

// The bytes of a script number in the type (the default of the row).
uint64_t bits_of(const TypeRow& r, const char* text) {
    uint64_t b = 0;
    if (scalar(r) == MXT_FLOAT) {
        float f = static_cast<float>(strtod(text, nullptr));
        memcpy(&b, &f, 4);
    } else if (scalar(r) == MXT_DOUBLE) {
        double d = strtod(text, nullptr);
        memcpy(&b, &d, 8);
    } else {
        b = static_cast<uint64_t>(strtoll(text, nullptr, 10));
    }
    int w = width(r);
    return w == 8 ? b : b & ((uint64_t{1} << (8 * w)) - 1);
}

// A random value of the type, as bytes.
uint64_t random_bits(const TypeRow& r, std::mt19937& g) {
    int64_t v = static_cast<int64_t>(g() % 2001) - 1000;
    switch (scalar(r)) {
        case MXT_BIT:
            return g() & 1;
        case MXT_FLOAT:
        case MXT_DOUBLE: {
            TypeRow t = r;
            return bits_of(t, std::to_string(v / 4.0).c_str());
        }
        case MXT_INT64:
        case MXT_UINT64:
            return static_cast<uint64_t>(v * 7777777777LL);
        default:
            return static_cast<uint64_t>(v) & ((uint64_t{1} << (8 * width(r))) - 1);
    }
}

struct Layout {
    bool file;
    bool with_default;
    int bs;
};

class GmxCellTypes : public GmxTest, public testing::WithParamInterface<TypeRow> {
  protected:
    geotest::TempDir dir_;
    const TypeRow& row() const { return GetParam(); }

    std::string where(const Layout& l, const std::string& name) const {
        return l.file ? "filename=\"" + dir_.at(name) + "\"" : "key=\"" + name + "\"";
    }
    std::string create_text(const Layout& l, const std::string& name, const char* def) const {
        auto dimset = [](const char* form, int v) {
            std::string s;
            for (int d = 0; d < 2; d++)
                s += " ([" + std::string(form) + " dim=\"" + std::to_string(d) + "\" value=\"" +
                     std::to_string(v == 0 ? (d == 0 ? kW : kH) : v) + "\"])";
            return s;
        };
        auto phase = [](int area, const std::string& body) {
            return " ([gmxPhase area=\"" + std::to_string(area) + "\"] " + body + ")";
        };
        auto equ = [](int area, int to) {
            return " ([gmxPhase area=\"" + std::to_string(area) + "\" type=\"equ\" equ=\"" +
                   std::to_string(to) + "\"])";
        };
        std::string t =
            "([gmxCreate " + where(l, name) + "] ([gmxMatrixParam channel_nos=\"2\" dim=\"2\"])" +
            dimset("gmxMatrixDimDivide", 1) + dimset("gmxMatrixBlockSize", l.bs) +
            dimset("gmxMatrixPixelSize", 0) + " ([gmxChannelInfo channel=\"0\" type=\"" +
            row().name + "\" file=\"on\"]" + (def ? std::string(" ") + def : "") + ")" +
            " ([gmxChannelInfo channel=\"1\" type=\"int32_v\" file=\"on\"] 7)";
        const std::string ready = "([mxFinish normal-jump-status=\"MS_OK\"])";
        if (l.file) {
            t += phase(
                3, "([mxFinish normal-jump-status=\"MS_OK\" err-jump=\"MI_FETCH_2\"]) (mxLoad)");
            t += phase(6, ready) + equ(7, 6) + equ(8, 6);
            t += phase(21, "(mxSave)") + equ(22, 21) + equ(23, 21);
        } else {
            t += phase(3, ready);
        }
        t += equ(4, 3) + equ(5, 3);
        t += phase(9, "(mxSet 0 ([mxThinnedOut channel=\"0\"] ([mxCH type=\"children\"] 0)))") +
             equ(10, 9) + equ(11, 9);
        // Numbers set as the data items of the node (0, 0).
        auto set = [](const char* v) { return std::string("(mxSet 0 '(data (0 0 0) ") + v + "))"; };
        if (row().bad) t += phase(12, set(row().bad)) + equ(13, 12) + equ(14, 12);
        if (row().good) t += phase(15, set(row().good)) + equ(16, 15) + equ(17, 15);
        return t + ")";
    }

    // gmxGetPoint of the points on the matrix of layout l named name.
    Val points(const Layout& l, const std::string& name, const std::string& pts,
               const std::string& attrs = "") {
        std::string head = l.file
                               ? (attrs.empty() ? "(gmxGetPoint" : "([gmxGetPoint" + attrs + "]") +
                                     " \"" + dir_.at(name) + "\""
                               : "([gmxGetPoint path-type=\"key\"" + attrs + "] \"" + name + "\"";
        return run(head + " '(" + pts + "))");
    }

    // Writes the cell's bytes through the entry's cache, making its node (and recording it in
    // its parents) as an import does.
    bool put_cell(int id, int64_t x, int64_t y, uint64_t bits) {
        int buf = buffer(width(row()));
        bool ok = false;
        on_interpreter([&] {
            MX_ENTRY* e = search_mx_entry_by_id(id);
            if (!e) return;
            {
                int64_t dc[3] = {0, x, y};
                GmxRun run(e, 1, 2, 2, "enable");
                MX_CACHE_PARAM& p = run.param(dc, gmx_access_pos(e, 0), buf, nullptr);
                p.data_ptrs[buf] = &bits;
                ok = write_mx_cache(&p) == 0;
            }
            release_mx_entry(e);
        });
        return ok;
    }

    // The cells x0 .. kW - 1 of row y of channel 0 read as one run, printed; or the run's
    // failure code.
    std::vector<std::string> run_row(int id, int64_t y, int* code) {
        int w = width(row()), buf = buffer(w);
        std::vector<uint8_t> raw(kW * 8, 0);
        *code = 0;
        on_interpreter([&] {
            MX_ENTRY* e = search_mx_entry_by_id(id);
            if (!e) return;
            {
                int64_t dc[3] = {0, 0, y};
                uint8_t* start = raw.data();
                void* table[1] = {start};
                GmxRun run(e, 0, -1, 3, "disable");
                MX_CACHE_PARAM& p = run.param(dc, gmx_access_pos(e, 0), buf, table);
                p.vector_len = kW;
                if (read_mx_cache_vector(&p) != kW) *code = mx_cache_error;
            }
            release_mx_entry(e);
        });
        std::vector<std::string> out;
        for (int x = 0; x < kW; x++) {
            uint64_t b = 0;
            memcpy(&b, &raw[x * w], w);
            out.push_back(shown(row(), b));
        }
        return out;
    }

    // Runs fn with the node of dc held (made if it is not there), on an interpreter.
    void with_node(int id, int64_t level, int64_t x, int64_t y,
                   const std::function<void(MATRIX_NODE*)>& fn) {
        on_interpreter([&] {
            MX_ENTRY* e = search_mx_entry_by_id(id);
            if (!e) return;
            int err = 0;
            int64_t dc[3] = {level, x, y};
            MATRIX_NODE* n = get_matrix_node_wait(&err, e->c.m, dc, MI_FETCH_1_TP);
            EXPECT_EQ(err, 0);
            if (n && !err) {
                fn(n);
                unlock_node(n, nullptr);
            }
            release_mx_entry(e);
        });
    }

    // Runs the calibration slot `access` on the node of dc and waits (bounded) until the store
    // is quiet again.
    void trigger(int id, int64_t level, int64_t x, int64_t y, int access) {
        MATRIX* m = nullptr;
        with_node(id, level, x, y, [&](MATRIX_NODE* n) {
            m = n->matrix;
            matrix_trigger_access(n, access, 0);
        });
        bool quiet = false;
        for (int i = 0; i < 5000 && m && !quiet; i++) {
            {
                TaskLockGuard g(matrix_lock);
                quiet = matrix_que_count() == 0 && m->token_cnt == 0;
            }
            if (!quiet) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_TRUE(quiet);
    }
};

// The model of a matrix's channel 0: the bytes of written cells (by node for a scalar type),
// the fill elsewhere.
struct Model {
    const TypeRow* r;
    uint64_t fill;
    std::map<std::pair<int, int>, uint64_t> cells;
    std::pair<int, int> key(int x, int y) const {
        return is_vector(*r) ? std::make_pair(x, y) : std::make_pair(x >> 2, y >> 2);
    }
    void put(int x, int y, uint64_t b) { cells[key(x, y)] = b; }
    uint64_t at(int x, int y) const {
        auto it = cells.find(key(x, y));
        return it == cells.end() ? fill : it->second;
    }
    // gmxGetPoint's answer for the level-0 points.
    std::string answer(const std::vector<std::pair<int, int>>& pts) const {
        std::string s = "(";
        for (auto [x, y] : pts) {
            if (s.size() > 1) s += " ";
            s += width(*r) ? "((0 " + shown(*r, at(x, y)) + ") (1 7))" : "((1 7))";
        }
        return s + ")";
    }
};

std::string pts_text(const std::vector<std::pair<int, int>>& pts, int level = 0) {
    std::string s;
    for (auto [x, y] : pts)
        s += "(" + std::to_string(level) + " " + std::to_string(x) + " " + std::to_string(y) + ")";
    return s;
}

// Every cell of the region the test touches: rows 0 to 3, and the corner nodes right of x 8
// below them (nodes (0, 4) and (4, 4) stay unmade for the pyramid).
std::vector<std::pair<int, int>> touched_cells() {
    std::vector<std::pair<int, int>> v;
    for (int y = 0; y < kH; y++)
        for (int x = y < 4 ? 0 : 8; x < kW; x++)
            v.push_back({x, y});
    return v;
}

std::string pnm6(int w, int h, const std::string& px) {
    return "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" + px;
}

}  // namespace

TEST_P(GmxCellTypes, EveryCellBuiltinAnswersItsValueOrTheTypeError) {
    const TypeRow& r = row();
    const std::string id_s = "id=\"";
    std::mt19937 gen(static_cast<unsigned>(r.code) * 7919u);
    // A default out of the type's range (or of a kind it cannot take) is refused.
    if (r.bad) {
        EXPECT_EQ(err(run(create_text({false, true, 2}, "refused", r.bad))),
                  "80030806 gmxCreate/gmxChannelInfo ()");
    }

    for (Layout l : {Layout{false, false, 2}, Layout{true, true, 2}}) {
        SCOPED_TRACE(std::string(r.name) + (l.file ? " on file" : " in memory"));
        const char* def = l.with_default ? r.def : nullptr;
        int id = create(create_text(l, "a.mx", def));
        ASSERT_GT(id, 0);
        Model mod{&r, 0, {}};
        // A bit vector's default fills its bits inverted, as stored files have it.
        if (def && width(r)) mod.fill = r.code == 17 ? !bits_of(r, def) : bits_of(r, def);
        std::vector<std::pair<int, int>> all = touched_cells();
        if (width(r)) {
            for (int k = 0; k < 24; k++) {
                auto [x, y] = all[gen() % all.size()];
                uint64_t b = random_bits(r, gen);
                // A channel of one value a node without a default has no value to write into.
                bool holds = is_vector(r) || def;
                EXPECT_EQ(put_cell(id, x, y, b), holds) << x << " " << y;
                if (holds) mod.put(x, y, b);
            }
        }
        EXPECT_EQ(show(points(l, "a.mx", pts_text(all))), mod.answer(all));
        // Block and node reads of the edge node one cell wide.
        Val blk = points(l, "a.mx", "(0 12 0)", " mode=\"block\" channel=\"0\"");
        if (r.code == 15 || (!is_vector(r) && !def))
            EXPECT_EQ(blk.type, QVT_ERROR);
        else
            EXPECT_EQ(blk.type, QVT_PAIR) << err(blk);
        EXPECT_EQ(points(l, "a.mx", "(0 12 4)", " mode=\"node\"").type, QVT_PAIR);
        // Rows read as runs.
        for (int y = 0; y < 4 && width(r); y++) {
            int code = 0;
            std::vector<std::string> got = run_row(id, y, &code);
            if (!is_vector(r)) {
                EXPECT_EQ(code, -6);
                continue;
            }
            EXPECT_EQ(code, 0);
            for (int x = 0; x < kW; x++)
                EXPECT_EQ(got[x], shown(r, mod.at(x, y))) << x << " " << y;
        }

        // PNM: a picture 3 x 2 at (11, 5), cut at the right edge, and its 2 x 2 back.
        std::string px = "\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xcc\xdd\xee\xf0\x01\x02\x03";
        std::string pic = dir_.at("p.ppm"), out = dir_.at("o.ppm");
        geotest::write_file(pic, pnm6(3, 2, px));
        std::string ids = std::to_string(id);
        Val imp = run("([gmxImportPNM " + id_s + ids + "\"] \"" + pic + "\" 0 0 11 5)");
        Val exp = run("([gmxExportPNM " + id_s + ids + "\"] \"" + out + "\" 0 0 11 5 2 2)");
        if (is_vector(r) && width(r) == 4) {
            EXPECT_EQ(err(imp), "");
            EXPECT_EQ(err(exp), "");
            std::string back;
            for (int y = 0; y < 2; y++)
                for (int x = 0; x < 2; x++) {
                    const char* p = &px[(y * 3 + x) * 3];
                    uint64_t v = uint64_t(uint8_t(p[0])) << 24 | uint64_t(uint8_t(p[1])) << 16 |
                                 uint64_t(uint8_t(p[2])) << 8;
                    mod.put(11 + x, 5 + y, v);
                    back.append(p, 3);
                }
            EXPECT_EQ(geotest::read_file(out), "P6\n2 2\n255\n" + back);
            EXPECT_EQ(show(points(l, "a.mx", pts_text(all))), mod.answer(all));
        } else {
            EXPECT_EQ(err(imp), "80030806 gmxImportPNM ()");
            EXPECT_EQ(err(exp), "80030806 gmxExportPNM ()");
        }

        // The pyramid: the level-1 node from its children (0, 0) and (4, 0); its cells no child
        // reaches hold the channel's default.
        trigger(id, 1, 0, 0, MI_EDIT_1_TP);
        std::vector<std::pair<int, int>> up;
        for (int j = 0; j < 4; j++)
            for (int i = 0; i < 4; i++)
                up.push_back({2 * i, 2 * j});
        Val lv1 = points(l, "a.mx", pts_text(up, 1));
        if (walkable(r)) {
            Model parent = mod;
            for (auto [x, y] : up)
                if (y >= 4) parent.put(x, y, mod.fill);
            EXPECT_EQ(show(lv1), parent.answer(up));
        }

        // Numbers set into a scalar channel: out of range refused, in range stored.
        if (!is_vector(r) && r.bad && r.good && width(r)) {
            trigger(id, 0, 0, 0, 12);
            EXPECT_EQ(show(points(l, "a.mx", "(0 1 1)")), mod.answer({{1, 1}}));
            trigger(id, 0, 0, 0, 15);
            mod.put(0, 0, bits_of(r, r.good));
            EXPECT_EQ(show(points(l, "a.mx", "(0 1 1)")), mod.answer({{1, 1}}));
        }

        if (!l.file) {
            // Vectors set into the edge node (1 x 4 cells): its own shape and type only.
            if (is_vector(r)) {
                MATRIX_DATA_TYPE* tp = get_matrix_data_type(r.code);
                MATRIX_DATA_TYPE* other = get_matrix_data_type(r.code == 20 ? 19 : 20);
                uint64_t zero = 0;
                const char* text = "x";
                void* d0 = r.code == 30 ? const_cast<char*>(text) : static_cast<void*>(&zero);
                uint8_t one = 1;
                if (r.code == 17) d0 = &one;  // a set default clears the bits
                with_node(id, 0, 12, 0, [&](MATRIX_NODE* n) {
                    auto vec = [&](MATRIX_DATA_TYPE* t, int dim, int s0, int s1) {
                        int sizes[2] = {s0, s1};
                        uint64_t z = 0;
                        MATRIX_ALLOC_VECTOR_PARAM p{dim, sizes, t == tp ? d0 : &z, nullptr};
                        return get_ptr(
                            t->alloc_data(t, MXA_COLLECTED, &p, nullptr, __FILE__, __LINE__),
                            mtx_tag_vector);
                    };
                    EXPECT_EQ(set_channel_sexp(n, 0, vec(tp, 2, 4, 4)), -4);
                    EXPECT_EQ(set_channel_sexp(n, 0, vec(tp, 0, 0, 0)), -4);
                    EXPECT_EQ(set_channel_sexp(n, 0, vec(tp, 1, 1, 0)), -4);
                    EXPECT_EQ(set_channel_sexp(n, 0, vec(tp, 2, 4, 1)), -4);
                    EXPECT_EQ(set_channel_sexp(n, 0, vec(other, 2, 1, 4)), -2);
                    EXPECT_GE(set_channel_sexp(n, 0, vec(tp, 2, 1, 4)), 0);
                });
                for (int y = 0; y < 4; y++)
                    mod.put(12, y, 0);
                EXPECT_EQ(show(points(l, "a.mx", pts_text(all))), mod.answer(all));

                // A vector of no dimension in a node (as a damaged file hands one back): its
                // one value reads everywhere, runs and pictures refuse it.
                with_node(id, 0, 0, 0, [&](MATRIX_NODE* n) {
                    uint64_t v = 0;
                    MATRIX_ALLOC_VECTOR_PARAM p{0, nullptr, r.code == 30 || r.code == 17 ? d0 : &v,
                                                nullptr};
                    void* flat = tp->alloc_data(tp, MXA_TRACKED, &p, nullptr, __FILE__, __LINE__);
                    TaskLockGuard g(matrix_lock);
                    MATRIX_CHANNEL* c = &n->channel[0];
                    if (c->data) tp->free_data(tp, c->data);
                    c->data = flat;
                });
                if (width(r)) {
                    int code = 0;
                    run_row(id, 1, &code);
                    EXPECT_EQ(code, -11);
                    mod.cells.clear();
                    mod.fill = 0;
                    EXPECT_EQ(show(points(l, "a.mx", "(0 3 3)")), mod.answer({{3, 3}}));
                }
                if (width(r) == 4) {
                    const std::string loading =
                        "80040501 gmxImportPNM (\"invalid matrix loading\" -11)";
                    EXPECT_EQ(
                        err(run("([gmxImportPNM " + id_s + ids + "\"] \"" + pic + "\" 0 0 0 0)")),
                        loading);
                    Val ex =
                        run("([gmxExportPNM " + id_s + ids + "\"] \"" + out + "\" 0 0 0 0 2 2)");
                    EXPECT_EQ(err(ex), "80040501 gmxExportPNM (\"invalid matrix loading\" -11)");
                }
            }
            close_id(id);
            continue;
        }

        // On file: closed (its nodes saved) and opened again, read, scanned, and copied into
        // blocks of 8.
        close_id(id);
        id = create(create_text(l, "a.mx", def));
        ASSERT_GT(id, 0);
        EXPECT_EQ(show(points(l, "a.mx", pts_text(all))), mod.answer(all));
        {
            geotest::WorkIn in(dir_.at(""));
            EXPECT_EQ(
                run("([gmxScan " + id_s + std::to_string(id) + "\" area=\"6\"] '(0 0 0) '(0 12 6))")
                    .type,
                QVT_INTEGER);
        }
        int to = create(create_text(Layout{true, true, 3}, "b.mx", def));
        ASSERT_GT(to, 0);
        Val cp = run("([gmxCopy src=\"" + std::to_string(id) + "\" dest=\"" + std::to_string(to) +
                     "\"] 0 1)");
        if (cellwise(r)) {
            EXPECT_EQ(err(cp), "");
            EXPECT_EQ(show(points(l, "b.mx", pts_text(all))), mod.answer(all));
        } else if (width(r)) {
            EXPECT_EQ(cp.type, QVT_ERROR);
        }
        close_id(to);
        close_id(id);

        // A stored vector of 4 x 0 cells (a damaged file's) has no cells to copy: the copy
        // leaves the destination's cells as they were.
        if (!cellwise(r) || !width(r)) continue;
        int src = create(create_text(l, "c.mx", def));
        ASSERT_GT(src, 0);
        with_node(src, 0, 0, 0, [&](MATRIX_NODE* n) {
            MATRIX_DATA_TYPE* tp = get_matrix_data_type(r.code);
            int sizes[2] = {4, 0};
            MATRIX_ALLOC_VECTOR_PARAM p{2, sizes, nullptr, nullptr};
            void* empty = tp->alloc_data(tp, MXA_TRACKED, &p, nullptr, __FILE__, __LINE__);
            TaskLockGuard g(matrix_lock);
            MATRIX_CHANNEL* c = &n->channel[0];
            if (c->data) tp->free_data(tp, c->data);
            c->data = empty;
            _set_dirty_file(n);
        });
        close_id(src);
        src = create(create_text(l, "c.mx", def));
        to = create(create_text(Layout{true, true, 3}, "d.mx", def));
        ASSERT_GT(to, 0);
        EXPECT_EQ(err(run("([gmxCopy src=\"" + std::to_string(src) + "\" dest=\"" +
                          std::to_string(to) + "\"] 0 1)")),
                  "");
        Model fresh{&r, mod.fill, {}};
        EXPECT_EQ(show(points(l, "d.mx", "(0 0 0)(0 3 3)")), fresh.answer({{0, 0}, {3, 3}}));
        close_id(to);
        close_id(src);
    }
}

INSTANTIATE_TEST_SUITE_P(AllTypes, GmxCellTypes, testing::ValuesIn(kTypes),
                         [](const testing::TestParamInfo<TypeRow>& i) {
                             return std::string(i.param.name);
                         });
