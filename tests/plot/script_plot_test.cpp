// The plot functions of calibration scripts through real scripts on a 3-level matrix: children
// split into a parent and differences and rebuilt, sorting, object ids, the trace lines and the
// error values.
#include <map>

#include "../matrix/mx_util.h"
#include "matrixops/plot_block.h"
#include "matrixops/plot_sb.h"
#include "matrixops/plot_script.h"
#include "plot_util.h"

namespace {

using namespace mxt;
using plottest::StdoutText;

// Items the test hands to scripts and takes back: name -> (D text, stored bytes).
struct Kept {
    std::string d;
    std::vector<uint8_t> bytes;
};
std::mutex kept_mu;
std::map<std::string, Kept> kept;

std::string text_of(QV_SEXP* s) {
    return print_sexp_text(s, 0);
}

QV_SEXP* item_of(const std::string& name) {
    std::lock_guard<std::mutex> g(kept_mu);
    auto it = kept.find(name);
    if (it == kept.end()) return nullptr;
    const Kept& k = it->second;
    return List(n_get_symbol("data"), read_qv_item(k.d.c_str()),
                get_raw(k.bytes.data(), static_cast<int32_t>(k.bytes.size())), LIST_END);
}

std::string name_arg(QV_SEXP* form, int i) {
    QV_SEXP* s = get_el(form, i);
    std::string r;
    for (const L_CHAR* p = s->string.data; *p; p++)
        r += static_cast<char>(*p);
    return r;
}

// (testItem "name"): the kept item.
QV_SEXP* qv_testItem(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return item_of(name_arg(form, 1));
}
// (testChildren "a" "b" ...): (Children item ...).
QV_SEXP* qv_testChildren(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* r = nullptr;
    for (int i = list_length(form) - 1; i >= 1; i--)
        r = cons(item_of(name_arg(form, i)), r);
    return cons(n_get_symbol("Children"), r);
}
// (testRead "text"): the value read from the text.
QV_SEXP* qv_testRead(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return read_qv_item(name_arg(form, 1).c_str());
}
// (testKeep "name" expr): evaluates expr and keeps the item, or each item of a list as name/i;
// records errors.
QV_SEXP* qv_testKeep(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    std::string name = name_arg(form, 1);
    QV_SEXP* v = eval(env, get_el(form, 2));
    if (get_type(v) == QVT_ERROR) {
        char code[16];
        snprintf(code, sizeof code, "%08x", v->error.code);
        mark(std::string("ERR ") + code + " " + text_of(v->error.data));
        return nullptr;
    }
    auto keep = [&](const std::string& n, QV_SEXP* item) {
        QV_SEXP* raw = get_el(item, 2);
        if (get_type(raw) != QVT_RAW) {
            mark("not raw " + text_of(item));
            return;
        }
        std::lock_guard<std::mutex> g(kept_mu);
        auto* b = reinterpret_cast<const uint8_t*>(raw->raw.data);
        kept[n] = Kept{text_of(get_el(item, 1)), std::vector<uint8_t>(b, b + raw->raw.size)};
    };
    if (get_type(get_el(v, 0)) == QVT_SYMBOL) {
        keep(name, v);
        mark(name + " 1");
        return nullptr;
    }
    int i = 0;
    for (QV_SEXP* p = v; get_type(p) == QVT_PAIR; p = p->pair.cdr, i++)
        keep(name + "/" + std::to_string(i), p->pair.car);
    mark(name + " " + std::to_string(i));
    return nullptr;
}

// Every point at the same place with the same base, id and fields.
bool same_points(const PLOT_MATRIX& m, const INTERNAL_PLOT* a, const INTERNAL_PLOT* b) {
    for (; a && b; a = a->next, b = b->next) {
        if (memcmp(a->c, b->c, 2 * static_cast<size_t>(m.dim)) != 0 || !a->base != !b->base ||
            a->id != b->id || !fields_equal(a->fields, b->fields))
            return false;
        if (a->base && memcmp(a->base, b->base, 8 * static_cast<size_t>(m.dim)) != 0) return false;
    }
    return !a && !b;
}

// A random sorted list whose points all carry ids (points without one get new ids on the way).
INTERNAL_PLOT* with_ids(const PLOT_MATRIX& m, std::mt19937& rng, int n) {
    INTERNAL_PLOT* l = plottest::random_list(m, rng, n, 4);
    int64_t k = 0;
    for (INTERNAL_PLOT* p = l; p; p = p->next) {
        p->flags |= IP_ID;
        p->id = (++k << 16) + 2;
    }
    return l;
}

class PlotScriptTest : public MatrixTest {
  protected:
    void SetUp() override {
        MatrixTest::SetUp();
        static std::once_flag once;
        std::call_once(once, [] {
            struct {
                const char* name;
                QV_PRIM prim;
                int min, max;
            } fns[] = {{"testItem", qv_testItem, 2, 2},
                       {"testChildren", qv_testChildren, 1, FUNC_NO_MAX},
                       {"testRead", qv_testRead, 2, 2},
                       {"testKeep", qv_testKeep, 3, 3}};
            for (auto& f : fns)
                set_env(
                    matrix_qv_env, l_string(std_cm, f.name),
                    get_func_prim(f.prim, f.prim == qv_testKeep ? FUNC_NORMAL : FUNC_APPLICATIVE,
                                  nullptr, f.min, f.max));
        });
        // 2 dimensions, blocks of 4 x 4, 16 x 16 cells: levels 0, 1 and 2.
        MATRIX_PARAM p{};
        p.total_levels = 3;
        m_ = open(Geometry{2, 16, 1, 2, 1, MXT_INT32 + MXT_VECTOR}, &p);
        EXPECT_EQ(m_->total_levels, 3);
        set_matrix_cal(m_, MI_FETCH_1_TP, script(kReady));
        set_matrix_cal(m_, MI_FETCH_1_TP + 1, script(kReady));
        set_matrix_cal(m_, MI_FETCH_1_TP + 2, script(kReady));
        plot_matrix_of(m_, &pm_);
    }
    void TearDown() override {
        for (MATRIX_NODE* n : held_)
            unlock_node(n, nullptr);
        {
            std::lock_guard<std::mutex> g(kept_mu);
            kept.clear();
        }
        MatrixTest::TearDown();
    }
    MATRIX_NODE* node(int64_t level, int64_t x, int64_t y, MATRIX* m = nullptr) {
        int err = 0;
        int64_t dc[3] = {level, x, y};
        MATRIX_NODE* n = get_matrix_node_wait(&err, m ? m : m_, dc, 3);
        EXPECT_EQ(err, 0);
        held_.push_back(n);
        return n;
    }
    // Runs the script on the node through slot group MI_VISU_1; what it recorded.
    std::vector<std::string> run(MATRIX_NODE* n, const std::string& text) {
        QV_SEXP* s = script(text.c_str());
        for (int k = 0; k < 3; k++)
            set_matrix_cal(n->matrix, MI_VISU_1_TP + k, s);
        take_marks();
        matrix_trigger_access(n, MI_VISU_1_TP, 0);
        EXPECT_TRUE(quiet(n->matrix));
        return take_marks();
    }
    // A 3-level matrix like m_ whose two channels hold blocks.
    MATRIX* block_matrix() {
        MATRIX_PARAM p{};
        p.total_levels = 3;
        MATRIX* m = open(Geometry{2, 16, 1, 2, 2, MXT_BLOCK}, &p);
        for (int k = 0; k < 3; k++)
            set_matrix_cal(m, MI_FETCH_1_TP + k, script(kReady));
        return m;
    }
    void put(const std::string& name, const std::string& d, const INTERNAL_PLOT* ip, bool z) {
        int64_t size = 0;
        uint8_t* code = internal2code(&size, &pm_, ip);
        std::vector<uint8_t> bytes(code, code + size);
        d_f_ree(code);
        if (z) {
            int64_t zs = 0;
            uint8_t* zb = pp_deflate(bytes.data(), static_cast<int64_t>(bytes.size()), &zs);
            bytes.assign(zb, zb + zs);
            d_f_ree(zb);
        }
        std::lock_guard<std::mutex> g(kept_mu);
        kept[name] = Kept{d, bytes};
    }
    // The points of a kept item (tracked), its plot code checked.
    INTERNAL_PLOT* points(const std::string& name, bool z, std::string* d = nullptr) {
        Kept k;
        {
            std::lock_guard<std::mutex> g(kept_mu);
            k = kept.at(name);
        }
        if (d) *d = k.d;
        std::vector<uint8_t> code = k.bytes;
        if (z) {
            int64_t n = 0;
            uint8_t* in = pp_inflate(k.bytes.data(), static_cast<int64_t>(k.bytes.size()), &n);
            EXPECT_TRUE(in && n >= 1 && in[0] == 13);
            if (!in) return nullptr;
            code.assign(in + 1, in + n);
            d_f_ree(in);
        }
        uint32_t err = 0;
        INTERNAL_PLOT* ip =
            code2internal(&pm_, code.data(), static_cast<int64_t>(code.size()), nullptr, &err);
        EXPECT_EQ(err, 0u);
        return ip;
    }
    std::string tag(const char* name, bool z, const std::string& args) {
        return std::string("<") + name + " compress=\"" + (z ? "on" : "off") + "\">" + args + "</" +
               name + ">";
    }
    MATRIX* m_ = nullptr;
    PLOT_MATRIX pm_{};
    std::vector<MATRIX_NODE*> held_;
};

TEST_F(PlotScriptTest, DiffThenAddGivesEveryChildBack) {
    const std::string kids[4] = {"(1 0 0)", "(1 8 0)", "(1 0 8)", "(1 8 8)"};
    StdoutText quiet_trace;
    for (bool z : {false, true}) {
        SCOPED_TRACE(z ? "compressed" : "plain");
        std::mt19937 rng(z ? 7 : 3);
        INTERNAL_PLOT* child[4];
        for (int i = 0; i < 4; i++) {
            // Child 2 holds no points.
            child[i] = i == 2 ? nullptr : with_ids(pm_, rng, 12);
            put("c" + std::to_string(i), kids[i], child[i], z);
        }
        MATRIX_NODE* top = node(2, 0, 0);
        EXPECT_EQ(
            run(top, "(testKeep \"d\" " +
                         tag("mxPgPlotDiff", z, "(testChildren \"c0\" \"c1\" \"c2\" \"c3\")") +
                         ")"),
            std::vector<std::string>{"d 5"});
        std::string d;
        free_internal_plot_list(points("d/0", z, &d));
        EXPECT_EQ(d, "(2 0 0)");
        for (int i = 0; i < 4; i++) {
            std::string ci = std::to_string(i);
            free_internal_plot_list(points("d/" + std::to_string(i + 1), z, &d));
            EXPECT_EQ(d, kids[i]);
            MATRIX_NODE* n = node(1, (i & 1) * 8, (i >> 1) * 8);
            std::vector<std::string> r = run(
                n, "(testKeep \"a" + ci + "\" " +
                       tag("mxPgPlotAdd", z,
                           "(testItem \"d/0\") (testItem \"d/" + std::to_string(i + 1) + "\")") +
                       ")");
            if (i == 2) {
                // A child without points has an empty difference: nothing to rebuild.
                ASSERT_EQ(r.size(), 1u);
                EXPECT_EQ(r[0].rfind("ERR 80040503 (\"invalid parameter in mxPgPlotAdd\" \"child "
                                     "internal plot code\" (",
                                     0),
                          0u);
                continue;
            }
            EXPECT_EQ(r, std::vector<std::string>{"a" + ci + " 1"});
            INTERNAL_PLOT* back = points("a" + ci, z, &d);
            EXPECT_EQ(d, kids[i]);
            EXPECT_TRUE(same_points(pm_, back, child[i])) << i;
            free_internal_plot_list(back);
        }
        // One item gives the parent and that child.
        EXPECT_EQ(run(top, "(testKeep \"o\" " + tag("mxPgPlotDiff", z, "(testItem \"c1\")") + ")"),
                  std::vector<std::string>{"o 2"});
        for (auto* c : child)
            free_internal_plot_list(c);
    }
}

TEST_F(PlotScriptTest, EmptyChildrenTraceAndSort) {
    MATRIX_NODE* top = node(2, 0, 0);
    std::string out;
    {
        StdoutText cap;
        EXPECT_EQ(run(top, "(testKeep \"e\" (mxPgPlotDiff (testChildren)))"),
                  std::vector<std::string>{"e 1"});
        out = cap.text();
    }
    int64_t dc[3] = {2, 0, 0};
    EXPECT_EQ(out, std::string("mxPgPlotDiff\nmxPgPlotDiff-1\nmxPgPlotDiff-2\nmxPgPlotDiff-3\n"
                               "mxPgPlotDiff-4\n") +
                       text_of(nullptr) + "\nmxPgPlotDiff-6 0\nmxPgPlotDiff-6 c-size = 1 " +
                       pt_dc(m_, dc, 1) + "\nmxPgPlotDiff-END 1\n");
    {
        std::lock_guard<std::mutex> g(kept_mu);
        EXPECT_EQ(kept.at("e/0").bytes, std::vector<uint8_t>{0});
        EXPECT_EQ(kept.at("e/0").d, "(2 0 0)");
    }

    // (The items' printed raw bytes hold zeros, which end the captured text: the per-item lines
    // are not compared here.)
    std::mt19937 rng(11);
    INTERNAL_PLOT* c = plottest::random_list(pm_, rng, 5, 4);

    // Sorting: an unsorted list comes back in Morton order, the item's own D kept.
    std::vector<INTERNAL_PLOT*> v = plottest::as_vector(c);
    std::reverse(v.begin(), v.end());
    for (auto* p : v)
        p->next = nullptr;
    INTERNAL_PLOT* rev = plottest::chain(v);
    for (bool z : {false, true}) {
        put("r", "(1 8 0)", rev, z);
        EXPECT_EQ(run(top, "(testKeep \"s\" " + tag("mxPgPlotSort", z, "(testItem \"r\")") + ")"),
                  std::vector<std::string>{"s 1"});
        std::string d;
        INTERNAL_PLOT* s = points("s", z, &d);
        EXPECT_EQ(d, "(1 8 0)");
        INTERNAL_PLOT* want = sort_plot(&pm_, copy_internal_plot(&pm_, rev));
        EXPECT_TRUE(same_points(pm_, s, want));
        free_internal_plot_list(s);
        free_internal_plot_list(want);
    }
    free_internal_plot_list(rev);
}

TEST_F(PlotScriptTest, ObjectIdsKeptAndNumberedInListOrder) {
    MATRIX_NODE* n = node(0, 4, 0);
    INTERNAL_PLOT* l = plottest::chain({plottest::point(pm_, {0, 0}),
                                        plottest::point(pm_, {1, 0}, IP_MADE | IP_ID, 0x1234502),
                                        plottest::point(pm_, {2, 0})});
    for (bool z : {false, true}) {
        put("p", "(0 4 0)", l, z);
        std::string out;
        {
            StdoutText cap;
            EXPECT_EQ(run(n, "(testKeep \"i\" " + tag("mxObjID", z, "(testItem \"p\")") + ")"),
                      std::vector<std::string>{"i 1"});
            out = cap.text();
        }
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
        EXPECT_EQ(out.rfind("---IP ", 0), 0u);
        std::string d;
        INTERNAL_PLOT* r = points("i", z, &d);
        EXPECT_EQ(d, "(0 4 0)");
        std::vector<INTERNAL_PLOT*> v = plottest::as_vector(r);
        ASSERT_EQ(v.size(), 3u);
        EXPECT_TRUE(v[0]->flags & IP_ID);
        EXPECT_GT(v[0]->id, 0);
        EXPECT_EQ(v[1]->id, 0x1234502);
        EXPECT_EQ(v[2]->id, v[0]->id + 256);
        free_internal_plot_list(r);
    }
    free_internal_plot_list(l);
}

TEST_F(PlotScriptTest, ErrorValuesCarryTheirData) {
    std::mt19937 rng(5);
    INTERNAL_PLOT* c = plottest::random_list(pm_, rng, 6, 4);
    put("c0", "(1 0 0)", c, false);
    put("short", "(1 0)", c, false);
    put("far", "(1 0 16)", c, false);
    put("empty", "(1 0 0)", nullptr, false);
    {
        std::lock_guard<std::mutex> g(kept_mu);
        kept["junk"] = Kept{"(1 0 0)", {1, 2, 3, 4}};
        kept["bad"] = Kept{"(1 0 0)", {0x20, 0, 0}};
    }
    // Two points of one parent cell whose first fields are of different kinds.
    INTERNAL_PLOT* mixed =
        plottest::chain({plottest::point(pm_, {0, 0}), plottest::point(pm_, {1, 0})});
    mixed->fields = new_fields(1);
    plottest::set_int(&mixed->fields[0], FD_INT_ADD, 3);
    mixed->next->fields = new_fields(1);
    plottest::set_str(&mixed->next->fields[0], FD_STR, "x");
    put("mixed", "(1 0 0)", mixed, false);
    free_internal_plot_list(mixed);

    MATRIX_NODE* top = node(2, 0, 0);
    const std::string P = "ERR 80040503 ";
    const std::string T = "ERR 80030806 ";
    StdoutText quiet_trace;
    auto one = [&](const std::string& expr) {
        std::vector<std::string> r = run(top, "(testKeep \"z\" " + expr + ")");
        return r.size() == 1 ? r[0] : std::string("?");
    };
    // Data that ends with the call form (as evaluated): the text before it, and a list follows.
    auto with_form = [&](const std::string& expr) {
        std::string r = one(expr);
        size_t at = r.find("\" (");
        if (at != std::string::npos) at++;
        EXPECT_EQ(r.back(), ')');
        return at == std::string::npos ? r : r.substr(0, at) + " FORM)";
    };
    const std::string diffp = "(\"invalid parameter in mxPgPlotDiff\" ";
    EXPECT_EQ(one("<mxPgPlotDiff compress=\"yes\">(testChildren)</mxPgPlotDiff>"),
              P + diffp + "\"compress\")");
    EXPECT_EQ(one("<mxPgPlotDiff sort=\"1\">(testChildren)</mxPgPlotDiff>"),
              P + diffp + "\"sort\")");
    EXPECT_EQ(one("(mxPgPlotDiff 5)"),
              T + "(\"type missmatch\" \"target-list not a LIST\" (mxPgPlotDiff 5))");
    EXPECT_EQ(with_form("(mxPgPlotDiff (testRead \"(1 2)\"))"),
              T + "(\"type missmatch\" \"target-list SYMBOL not aSYMBOL\" FORM)");
    EXPECT_EQ(with_form("(mxPgPlotDiff (testRead \"(kids 1)\"))"),
              T + "(\"type missmatch\" \"target-list data or Children is required\" FORM)");
    EXPECT_EQ(with_form("(mxPgPlotDiff (testRead \"(data (1 0 0) 7)\"))"),
              T + "(\"type missmatch\" \"CH data type(2)\" FORM)");
    EXPECT_EQ(one("(mxPgPlotDiff (testItem \"short\"))"), T + "(\"type missmatch\" \"dim_code\")");
    EXPECT_EQ(one("(mxPgPlotDiff (testItem \"far\"))"), T + "(\"type missmatch\" \"dim_code\")");
    EXPECT_EQ(one("(mxPgPlotDiff (testChildren \"c0\" \"c0\"))"), P + diffp + "\"item order\")");
    EXPECT_EQ(one("(mxPgPlotDiff (testItem \"mixed\"))"),
              T + "(\"type missmatch\" \"field kind\")");
    EXPECT_EQ(one("<mxPgPlotDiff compress=\"on\">(testItem \"junk\")</mxPgPlotDiff>"),
              P + diffp + "\"zlib uncompress\")");
    EXPECT_EQ(one("(mxPgPlotDiff (testItem \"bad\"))"), P + diffp + "\"internal plot code\")");

    const std::string sortp = "(\"invalid parameter in mxPgPlotSort\" ";
    EXPECT_EQ(one("<mxPgPlotSort compress=\"2\">(testItem \"c0\")</mxPgPlotSort>"),
              P + sortp + "\"compress\")");
    EXPECT_EQ(one("(mxPgPlotSort (testRead \"(data (1 0 0) \\\"s\\\")\"))"),
              T + "(\"type missmatch\" \"CH data type(2)\")");
    EXPECT_EQ(one("<mxPgPlotSort compress=\"on\">(testItem \"junk\")</mxPgPlotSort>"),
              P + sortp + "\"zlib uncompress\")");
    EXPECT_EQ(one("(mxPgPlotSort (testItem \"empty\"))"), P + sortp + "\"internal plot code\")");

    const std::string addp = "(\"invalid parameter in mxPgPlotAdd\" ";
    auto add = [&](const std::string& a, const std::string& b, bool z = false) {
        std::string f = z ? "<mxPgPlotAdd compress=\"on\">" + a + " " + b + "</mxPgPlotAdd>"
                          : "(mxPgPlotAdd " + a + " " + b + ")";
        return with_form(f);
    };
    struct {
        std::string a, b, kind, detail;
    } rows[] = {
        {"5", "(testItem \"c0\")", T + "(\"type missmatch\"", "parent not a LIST"},
        {"(testRead \"(1 2 3)\")", "(testItem \"c0\")", T + "(\"type missmatch\"",
         "parent SYMBOL not aSYMBOL"},
        {"(testRead \"(dat 2 3)\")", "(testItem \"c0\")", T + "(\"type missmatch\"",
         "parent data is required"},
        {"(testRead \"(data (2 0 0) 3)\")", "(testItem \"c0\")", T + "(\"type missmatch\"",
         "parent CH data type(2)"},
        {"(testItem \"c0\")", "5", T + "(\"type missmatch\"", "child not a LIST"},
        {"(testItem \"c0\")", "(testRead \"(1 2 3)\")", T + "(\"type missmatch\"",
         "child SYMBOL not aSYMBOL"},
        {"(testItem \"c0\")", "(testRead \"(dat 2 3)\")", T + "(\"type missmatch\"",
         "child data is required"},
        {"(testItem \"c0\")", "(testRead \"(data (1 0 0) 3)\")", T + "(\"type missmatch\"",
         "child CH data type(2)"},
        {"(testItem \"empty\")", "(testItem \"c0\")", P + addp.substr(0, addp.size() - 1),
         "parent internal plot code"},
        {"(testItem \"c0\")", "(testItem \"bad\")", P + addp.substr(0, addp.size() - 1),
         "child internal plot code"},
    };
    for (auto& r : rows)
        EXPECT_EQ(add(r.a, r.b), r.kind + " \"" + r.detail + "\" FORM)");
    EXPECT_EQ(add("(testItem \"junk\")", "(testItem \"c0\")", true),
              P + addp + "\"zlib uncompress parent\" FORM)");

    const std::string idp = "(\"invalid parameter in mxObjID\" ";
    EXPECT_EQ(one("<mxObjID compress=\"z\">(testItem \"c0\")</mxObjID>"),
              P + idp + "\"compress\")");
    EXPECT_EQ(one("(mxObjID (testRead \"(data (0 0 0) 1)\"))"),
              T + "(\"type missmatch\" \"CH data type(2)\")");
    EXPECT_EQ(one("<mxObjID compress=\"on\">(testItem \"junk\")</mxObjID>"),
              P + idp + "\"zlib uncompress\")");
    EXPECT_EQ(one("(mxObjID (testItem \"empty\"))"), P + idp + "\"internal plot code\")");
    free_internal_plot_list(c);
}

TEST_F(PlotScriptTest, InitializeInstallsAnEmptyBlockAndReplacesOne) {
    MATRIX* bm = block_matrix();
    MATRIX_NODE* n = node(0, 4, 0, bm);
    auto sb_of = [&](int ch) {
        TaskLockGuard g(matrix_lock);
        return n->channel ? static_cast<PP_SB*>(n->channel[ch].sb) : nullptr;
    };
    auto bytes_of = [&](int ch) {
        TaskLockGuard g(matrix_lock);
        auto* d = static_cast<MATRIX_ALLOC_BLOCK_PARAM*>(n->channel[ch].data);
        return d ? std::vector<uint8_t>(d->block, d->block + d->size) : std::vector<uint8_t>{9};
    };
    // Outside a calibration script nothing happens.
    EXPECT_EQ(qv_mxPgPlotInitialize(vxlisp_top_env0, nullptr, nullptr, nullptr, nullptr), nullptr);

    EXPECT_EQ(run(n, "(testShow <mxPgPlotInitialize channel=\"1\"/>)"),
              std::vector<std::string>{"()"});
    PP_SB* b = sb_of(1);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->h.tbl, &blk_pp_sb_tbl);
    EXPECT_EQ(b->pp->plot, nullptr);
    EXPECT_EQ(b->pp->flags, 0);
    EXPECT_EQ(sb_of(0), nullptr);
    // The empty channel got the empty block's bytes, so the node's channels all hold data.
    EXPECT_EQ(bytes_of(1), std::vector<uint8_t>{0});
    int64_t crd[3] = {0, 5, 1};
    PPC_INSERT_T in{0, crd, nullptr};
    matrix_node_channel_lock(n);
    EXPECT_EQ(pp_operation(1, b->pp, &in), 0);
    matrix_node_channel_unlock(n, 0);

    // Refusals leave the block as it was.
    const std::string P = "ERR 80040503 (\"invalid parameter in mxPgPlotInitialize\" ";
    struct {
        std::string attrs, detail;
    } rows[] = {{"channel=\"1\" compress=\"yes\"", "compress"},
                {"", "channel range"},
                {"channel=\"2\"", "channel range"},
                {"channel=\"2nd\"", "channel range"},
                {"channel=\"1\" sat=\"2\"", "attribute sat"}};
    for (auto& r : rows)
        EXPECT_EQ(run(n, "(testShow <mxPgPlotInitialize " + r.attrs + "/>)"),
                  std::vector<std::string>{P + "\"" + r.detail + "\")"})
            << r.attrs;
    EXPECT_EQ(sb_of(1), b);
    EXPECT_NE(b->pp->plot, nullptr);
    // "channel" reads as atoi does: a text that begins with no number is channel 0.
    EXPECT_EQ(run(n, "(testShow <mxPgPlotInitialize channel=\"one\"/>)"),
              std::vector<std::string>{"()"});
    EXPECT_NE(sb_of(0), nullptr);

    // A second call replaces the block by an empty one; the channel's bytes stay.
    EXPECT_EQ(run(n, "(testShow <mxPgPlotInitialize channel=\"1\" compress=\"on\" sat=\"on\"/>)"),
              std::vector<std::string>{"()"});
    PP_SB* b2 = sb_of(1);
    ASSERT_NE(b2, nullptr);
    EXPECT_EQ(b2->pp->plot, nullptr);
    EXPECT_EQ(b2->pp->flags, PP_ZLIB | PP_POOL);
    EXPECT_EQ(bytes_of(1), std::vector<uint8_t>{0});

    // A channel of another type, and geometries whose positions or lists plots cannot hold.
    EXPECT_EQ(run(node(0, 4, 0), "(testShow <mxPgPlotInitialize channel=\"0\"/>)"),
              std::vector<std::string>{P + "\"channel data type is not BLOCK\")"});
    MATRIX* uneven = block_matrix();
    set_matrix_block_size(uneven, 1, 3);
    MATRIX* wide = open(Geometry{1, 1 << 20, 1, 17, 1, MXT_BLOCK});
    for (int k = 0; k < 3; k++)
        set_matrix_cal(wide, MI_FETCH_1_TP + k, script(kReady));
    for (MATRIX* m : {uneven, wide}) {
        int err = 0;
        int64_t dc[3] = {0, 0, 0};
        MATRIX_NODE* k = get_matrix_node_wait(&err, m, dc, 3);
        ASSERT_EQ(err, 0);
        held_.push_back(k);
        EXPECT_EQ(run(k, "(testShow <mxPgPlotInitialize channel=\"0\"/>)"),
                  std::vector<std::string>{P + "\"block_size\")"});
    }
}

}  // namespace
