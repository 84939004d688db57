// Get of the matrix application in one process: published matrix files resolved by the file
// rules of "Get", nodes answered encoded or as one deferred value per node in production, every
// production that fails or ends without a status completing it with an error, and the refusals.
#include "geo/geo_util.h"
#include "gmx_util.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "server/docpath.h"

using namespace gmxtest;

namespace {

std::string body(const std::string& server_fetch) {
    std::string b =
        "([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
        " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
        "value=\"1\"])"
        " ([gmxMatrixBlockSize dim=\"0\" value=\"2\"]) ([gmxMatrixBlockSize dim=\"1\" "
        "value=\"2\"])"
        " ([gmxMatrixPixelSize dim=\"0\" value=\"16\"]) ([gmxMatrixPixelSize dim=\"1\" "
        "value=\"16\"])"
        " ([gmxChannelInfo channel=\"0\" type=\"int16_v\" send=\"on\"] 7)"
        " ([gmxPhase area=\"3\" mode=\"client\"] ([mxFinish normal-jump-status=\"MS_OK\"]))";
    if (!server_fetch.empty())
        for (int a = 3; a <= 5; a++)
            b += " ([gmxPhase area=\"" + std::to_string(a) + "\" mode=\"server\"] " + server_fetch +
                 ")";
    return b;
}

// The published tree: one folder for the whole program, since pairs and rules stay registered;
// removed when the program ends.
const geotest::TempDir& tree() {
    static geotest::TempDir d;
    static bool made = mkdir(d.at("qvdocs").c_str(), 0755) == 0;
    (void)made;
    return d;
}

class GmxServe : public GmxTest {
  protected:
    void SetUp() override {
        GmxTest::SetUp();
        static bool once = [] {
            EXPECT_TRUE(on_interpreter([] {
                set_agent_name(L("geo"));
                Reg_List_pathpair(L(tree().at("").c_str()), L("/"));
                QV_SEXP* names = list(n_get_string("Get"), nullptr);
                insert_getfile(L(".mx"), L("geo"), L("lod"), GF_DOCS_ONLY, names);
                insert_getfile(L(".raw"), L("geo"), L("raw"), GF_DOCS_ONLY, names);
            }));
            const char* files[][2] = {
                {"ok.mx", "(Sleep 1) ([mxFinish normal-jump-status=\"MS_OK\"])"},
                {"fails.mx", "(car 1) ([mxFinish normal-jump-status=\"MS_OK\"])"},
                {"nostatus.mx", "(+ 1 2)"},
                {"empty.mx", ""}};
            for (auto& f : files) {
                std::string p = tree().at("qvdocs/") + f[0];
                Val v = run_below(vxlisp_top_env1,
                                  "([gmxCreate filename=\"" + p + "\"] " + body(f[1]) + ")");
                EXPECT_EQ(v.type, QVT_INTEGER) << v.error;
                if (v.type == QVT_INTEGER) close_id(static_cast<int>(v.integer));
            }
            return true;
        }();
        (void)once;
    }
    // The answer of a Get, deferred values realised (bounded by the interpreter's wait).
    Val get(const std::string& text) {
        Val v;
        v.error = "did not finish";
        EXPECT_TRUE(on_interpreter([&] {
            QVISP_ENV* env = new_env(vxlisp_top_env0);
            gc_push(env, gc_vxlisp_env, "get");
            QV_SEXP* items = read_qv_items(text.c_str());
            gc_push(items, gc_vx_sexp, "get");
            QV_SEXP* r = nullptr;
            for (QV_SEXP* c = items; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
                r = eval(env, c->pair.car);
                realize_whole(r);
                r = realize_sexp(r);
            }
            v = value_of(r);
            gc_pop(nullptr, nullptr);
            gc_pop(nullptr, nullptr);
        }));
        return v;
    }
    // The nodes the published matrix name holds now (the entry Get opened, found again).
    int nodes_of(const std::string& name) {
        int n = -1;
        EXPECT_TRUE(on_interpreter([&] {
            std::string p = tree().at("qvdocs/") + name;
            if (MX_ENTRY* e = open_mxread(nullptr, L(p.c_str()), nullptr, 1)) {
                lock_task(matrix_lock);
                n = e->c.m->node_hash_count;
                unlock_task(matrix_lock, "nodes_of");
                release_mx_entry(e);
            }
        }));
        return n;
    }
};

}  // namespace

TEST_F(GmxServe, RefusalsComeBeforeAnyOpening) {
    EXPECT_EQ(err(get("(Get 3 '(0 0 0))")), "80030806 Get(vxmx) \"filename\"");
    EXPECT_EQ(err(get("([Get mode=\"all\"] \"/ok.mx\" '(0 0 0))")),
              "80040503 Get(vxmx) \"mode value\"");
    EXPECT_EQ(err(get("(Get \"/x.raw\" '(0 0 0))")), "80040608 Get(vxmx) \"unsupport Get mode\"");
    // A path no rule resolves is answered as such before the access files are asked: one that
    // climbs out of the trees, one not absolute, one without an extension.
    for (const char* path : {"/a/../ok.mx", "ok.mx", "/okmx", "/a//ok.mx"})
        EXPECT_EQ(err(get(std::string("(Get \"") + path + "\" '(0 0 0))")),
                  "80040503 Get \"invalid file path\"")
            << path;
    EXPECT_EQ(err(get("(Get \"/x.qv\" '(0 0 0))")), "8004070e Get \"undefined prefix\"");
    EXPECT_EQ(err(get("(Get \"/ok.mx\")")), "80030806 Get(vxmx) \"dim_code\"");
    EXPECT_EQ(err(get("(Get \"/none.mx\" '(0 0 0))")), "80040a06 Get(vxmx) ()");
    EXPECT_EQ(err(get("(Get \"/ok.mx\" '(0 0))")), "80040503 Get(vxmx) \"dim_code format\"");
    EXPECT_EQ(err(get("(Get \"/ok.mx\" '(0 0 0 0))")), "80040503 Get(vxmx) \"dim_code format\"");
    // Every element must be an integer: a fraction or a text names no node.
    for (const char* code : {"'(0.5 0 0)", "'(0 \"1\" 0)", "'(0 0 ())"})
        EXPECT_EQ(err(get(std::string("(Get \"/ok.mx\" ") + code + ")")),
                  "80040503 Get(vxmx) \"dim_code format\"")
            << code;
    EXPECT_EQ(err(get("(Get \"/ok.mx\" '(40 0 0))")),
              "80040501 Get(vxmx) (\"get_matrix there is no node\" (40 0 0))");
    // A place outside the matrix (16 by 16 cells; a node spans 4 cells a side at level 0, twice
    // as many at each level above) or a level outside its pyramid names no node either, however
    // large: none is made for the peer.
    int nodes = nodes_of("ok.mx");
    ASSERT_GE(nodes, 0);
    for (const char* code :
         {"(0 -1 0)", "(0 0 -4)", "(0 16 0)", "(0 0 9223372036854775807)",
          "(1 -9223372036854775807 0)", "(3 32 0)", "(-1 0 0)", "(9223372036854775807 0 0)"})
        EXPECT_EQ(err(get(std::string("(Get \"/ok.mx\" '") + code + ")")),
                  std::string("80040501 Get(vxmx) (\"get_matrix there is no node\" ") + code + ")")
            << code;
    EXPECT_EQ(nodes_of("ok.mx"), nodes);
    // What Get opened stays registered: nothing else holds it.
    EXPECT_EQ(mx_entry_holders(), 0);
}

TEST_F(GmxServe, NodesInProductionAnswerOneDeferredValueEach) {
    // Two requests while the server's fetch runs: the same deferred value, completed with the
    // encoded node; a later request gets the node at once.
    Val both = get("(list (Get \"/ok.mx\" '(0 4 4)) (Get \"/ok.mx\" '(0 5 5)))");
    ASSERT_EQ(both.type, QVT_PAIR) << both.error << both.text;
    size_t raw = both.text.find(' ');
    EXPECT_EQ(both.text.substr(1, raw - 1), both.text.substr(raw + 1, raw - 1)) << both.text;
    Val again = get("(Get \"/ok.mx\" '(0 4 4))");
    EXPECT_EQ(again.type, QVT_RAW) << again.error << again.text;
    EXPECT_EQ(again.text, both.text.substr(1, raw - 1));
    // A failing fetch, one that ends without a status and an empty fetch slot complete their
    // deferred values with the error; nothing waits for ever.
    for (const char* f : {"/fails.mx", "/nostatus.mx", "/empty.mx"}) {
        Val v = get(std::string("(Get \"") + f + "\" '(0 0 0))");
        EXPECT_EQ(v.error, "80040501 Get \"get_matrix there is no node\"") << f << v.text;
    }
    // The restricted description answers "meta".
    Val meta = get("([Get mode=\"meta\"] \"/ok.mx\")");
    EXPECT_EQ(meta.text.rfind("(status (general (dim ", 0), 0u) << meta.error << meta.text;
    EXPECT_NE(meta.text.find("([gmxPhase area=\"3\"] ([mxFinish"), std::string::npos) << meta.text;
    EXPECT_EQ(mx_entry_holders(), 0);
}

TEST_F(GmxServe, StatusByPublishedPathAsClientsAndOwnersSeeIt) {
    std::string p = tree().at("qvdocs/") + "status.mx";
    std::string text =
        "([gmxCreate filename=\"" + p +
        "\"] ([gmxMatrixParam channel_nos=\"2\" dim=\"1\"] ([gmxPriority area=\"3\" pri=\"10\"])"
        " ([gmxPriority area=\"4\" pri=\"2\" mode=\"client\"]))"
        " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" "
        "value=\"2\"]) ([gmxMatrixPixelSize dim=\"0\" value=\"16\"])"
        " ([gmxChannelInfo channel=\"0\" type=\"int16_v\" send_file=\"on\" file=\"on\"] 7)"
        " ([gmxChannelInfo channel=\"1\" type=\"uint8_v\"])"
        " ([gmxPhase area=\"3\" mode=\"client\"] (mxLoad)))";
    int id = create(text);
    ASSERT_GT(id, 0);
    std::string full = run("([gmxStatus id=\"" + std::to_string(id) + "\"])").text;
    EXPECT_NE(full.find("([gmxChannelInfo send_file=\"on\" file=\"on\" type=\"int16_v\" "
                        "channel=\"0\"] 7)"),
              std::string::npos)
        << full;
    EXPECT_NE(full.find("([gmxChannelInfo type=\"uint8_v\" channel=\"1\"])"), std::string::npos);
    EXPECT_NE(full.find("([gmxPriority pri=\"0xa\" area=\"3\"]) ([gmxPriority pri=\"0x2\" "
                        "area=\"4\" mode=\"client\"])"),
              std::string::npos)
        << full;
    EXPECT_NE(full.find("([gmxPhase area=\"3\" mode=\"client\"] (mxLoad))"), std::string::npos);
    // The restricted form by published path: the client's mode only, flags renamed; the matrix
    // a script made stays open.
    std::string restricted = run0("([gmxStatus path-type=\"related\"] \"/status.mx\")").text;
    EXPECT_NE(restricted.find("([gmxMatrixParam modify_time=\""), std::string::npos) << restricted;
    EXPECT_NE(restricted.find("([gmxPriority pri=\"0x2\" area=\"4\"])"), std::string::npos);
    EXPECT_EQ(restricted.find("0xa"), std::string::npos) << restricted;
    EXPECT_NE(restricted.find("([gmxChannelInfo file=\"on\" type=\"int16_v\" channel=\"0\"] 7)"),
              std::string::npos)
        << restricted;
    EXPECT_NE(restricted.find("([gmxPhase area=\"3\"] (mxLoad))"), std::string::npos);
    EXPECT_EQ(get("([Get mode=\"meta\"] \"/status.mx\")").text, restricted);
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    release_mx_entry(e);
    EXPECT_EQ(err(run0("(gmxStatus \"" + p + "\")")),
              "80040d10 gmxStatus \"file path(path-type = absolute, id access in Env0 mode)\"");
    close_id(id);
    // Closed, a status by path opens it for itself and closes it again.
    int before = mx_entry_count();
    // (The reopened matrix reports the level count the store computed.)
    std::string reopened = run0("([gmxStatus path-type=\"related\"] \"/status.mx\")").text;
    EXPECT_NE(reopened.find("([gmxPriority pri=\"0x2\" area=\"4\"])"), std::string::npos);
    EXPECT_EQ(mx_entry_count(), before);
    EXPECT_EQ(err(run0("([gmxStatus path-type=\"related\"] \"/nothing.mx\")")),
              "80040a06 gmxStatus ()");
}

TEST_F(GmxServe, TheRestrictedPointReadOpensByPublishedPath) {
    // Served by Get, the matrix stays open (a read by name alone closes what it opened), so the
    // block read below finds the channel the point read makes from its default; the answering
    // entry's id is on the block read's data symbol.
    get("(Get \"/ok.mx\" '(0 9 9))");
    EXPECT_EQ(show(run0("([gmxGetPoint path-type=\"related\"] \"/ok.mx\" '(0 9 9))")), "((0 7))");
    std::string r =
        run0(
            "([gmxGetPoint path-type=\"related\" mode=\"block\" channel=\"0\"] \"/ok.mx\" "
            "'(0 8 8))")
            .text;
    EXPECT_EQ(r.rfind("([data id=\"", 0), 0u) << r;
    EXPECT_NE(r.find("\"] (0 8 8) "), std::string::npos) << r;
    EXPECT_EQ(err(run0("([gmxGetPoint path-type=\"related\"] \"/x.raw\" '(0 9 9))")),
              "80040608 Get \"unsupport Get mode\"");
    EXPECT_EQ(err(run0("([gmxGetPoint path-type=\"related\"] \"/none.mx\" '(0 9 9))")),
              "80040a06 gmxGetPoint ()");
    // A fetch that fails answers at once in every mode.
    EXPECT_EQ(err(run0("([gmxGetPoint path-type=\"related\" mode=\"node\"] \"/fails.mx\" "
                       "'(0 8 8))")),
              "80040501 gmxGetPoint (\"invalid object in channel of NODE\" \"others\" (-101 (0 8 "
              "8)))");
    EXPECT_EQ(err(run0("([gmxGetPoint path-type=\"related\"] \"/empty.mx\" '(0 8 8))")),
              "80040501 gmxGetPoint \"object\"");
    EXPECT_EQ(mx_entry_holders(), 0);
}
