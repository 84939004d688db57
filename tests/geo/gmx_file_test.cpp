// gmxCreate and open_mxread over matrix files: a second run finds the stored description, a
// file that is no matrix is made anew, a file held by a live writer is left byte for byte, and
// a read-only opening loads missing nodes through its default calibration.
#include <sys/file.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "geo/geo_util.h"
#include "gmx_util.h"
#include "matrix/mxfile.h"
#include "matrix/mxstore.h"

using namespace gmxtest;

namespace {

std::string create_text(const std::string& path, const std::string& body) {
    return "([gmxCreate filename=\"" + path + "\"] " + body + ")";
}

const std::string kBody =
    "([gmxMatrixParam channel_nos=\"2\" dim=\"2\"])"
    " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" value=\"1\"])"
    " ([gmxMatrixBlockSize dim=\"0\" value=\"8\"]) ([gmxMatrixBlockSize dim=\"1\" value=\"8\"])"
    " ([gmxMatrixPixelSize dim=\"0\" value=\"1000\"]) ([gmxMatrixPixelSize dim=\"1\" "
    "value=\"700\"])"
    " ([gmxChannelInfo channel=\"0\" type=\"int16_v\" file=\"on\"] 4464)"
    " ([gmxChannelInfo channel=\"1\" type=\"rgb8_v\" file=\"on\"])";

int node_status(MATRIX* m, const int64_t* dc) {
    TaskLockGuard g(matrix_lock);
    for (MATRIX_NODE* k = m->node_hash[_get_node_hash(m, dc)]; k; k = k->nh_next)
        if (_cmp_dim_code(m, k->dim_code, dc) == 0) return k->status;
    return -1;
}

}  // namespace

TEST_F(GmxTest, ASecondCreationFindsTheStoredMatrix) {
    geotest::TempDir dir;
    std::string path = dir.at("a.mx");
    int id = create(create_text(path, kBody));
    ASSERT_GT(id, 0);
    close_id(id);
    std::string stored = geotest::read_file(path);
    ASSERT_FALSE(stored.empty());

    // The description forms are skipped for the stored matrix: the level form before
    // gmxMatrixParam no longer fails and other dimensions change nothing.
    id = create(create_text(path,
                            "([gmxMatrixDimDivide dim=\"0\" value=\"1\"])"
                            " ([gmxMatrixParam channel_nos=\"9\" dim=\"3\"])"));
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->mode, 1);
    MATRIX* m = e->c.m;
    EXPECT_EQ(m->p.channel_nos, 2);
    EXPECT_EQ(m->p.dim, 2);
    EXPECT_EQ(m->pixel_size[1], 700);
    uint16_t d = 0;
    ASSERT_NE(m->channel_info[0].default_data, nullptr);
    memcpy(&d, m->channel_info[0].default_data, sizeof d);
    EXPECT_EQ(d, 4464);
    release_mx_entry(e);
    // The file is open already: a second creation on it is refused by the store.
    EXPECT_EQ(err(run(create_text(path, kBody))),
              "80040a06 gmxCreate (\"open file error\" \"open_matrix\")");
    close_id(id);
    // A failure after the body closes the matrix, so the file opens again at once.
    EXPECT_EQ(err(run("([gmxCreate filename=\"" + path + "\" currentPhase_mode=\"none\"])")),
              "80040503 gmxCreate (\"inv_param\" \"currentPhase_mode\")");
    close_id(create(create_text(path, "")));
    EXPECT_EQ(mx_entry_holders(), 0);
}

TEST_F(GmxTest, OnlyAFileThatIsNoMatrixIsMadeAnew) {
    geotest::TempDir dir;
    std::string foreign = dir.at("notes.mx");
    geotest::write_file(foreign, std::string("plain notes, not a matrix file\n"));
    int id = create(create_text(foreign, kBody));
    ASSERT_GT(id, 0);
    close_id(id);
    EXPECT_NE(geotest::read_file(foreign).find("64-0.6"), std::string::npos);

    // A live writer holds the matrix file: nothing is changed and the creation fails.
    std::string path = dir.at("held.mx");
    close_id(create(create_text(path, kBody)));
    std::string before = geotest::read_file(path);
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(err(run(create_text(path, kBody))),
              "80040a06 gmxCreate \"gmxCreate open file error\"");
    EXPECT_EQ(geotest::read_file(path), before);
    close(fd);
    // A damaged record file is no new matrix either.
    std::string damaged = before.substr(0, 60);
    geotest::write_file(path, damaged);
    EXPECT_EQ(err(run(create_text(path, kBody))),
              "80040a06 gmxCreate \"gmxCreate open file error\"");
    EXPECT_EQ(geotest::read_file(path), damaged);
    EXPECT_EQ(mx_entry_holders(), 0);
}

TEST_F(GmxTest, ReadOnlyOpeningsShareTheEntryAndLoadNodesFromTheFile) {
    geotest::TempDir dir;
    std::string path = dir.at("r.mx");
    const L_CHAR* name = L(path.c_str());
    // Not a matrix yet: the failed opening does not stay, so the file can be made later.
    geotest::write_file(path, std::string("garbage"));
    EXPECT_EQ(open_mxread(nullptr, name, nullptr, -1), nullptr);
    close_id(create(create_text(path, kBody)));

    MX_ENTRY* e = open_mxread(nullptr, name, nullptr, -1);
    ASSERT_NE(e, nullptr);
    MX_ENTRY* again = open_mxread(nullptr, name, nullptr, -1);
    EXPECT_EQ(again, e);
    EXPECT_EQ(e->holders, 2);
    release_mx_entry(again);
    MATRIX* m = e->c.m;
    EXPECT_EQ(m->p.write_file, nullptr);
    ASSERT_NE(m->cal[MI_FETCH_1_TP], nullptr);
    std::string fetch = printed(static_cast<QV_SEXP*>(m->cal[MI_FETCH_1_TP]->data));
    EXPECT_NE(fetch.find("normal-jump-status=\"MS_OK\""), std::string::npos) << fetch;
    EXPECT_NE(fetch.find("err-jump-status=\"MS_PROCESS_ERR_1\""), std::string::npos) << fetch;
    EXPECT_NE(fetch.find("mxLoad target=\"file\""), std::string::npos) << fetch;
    EXPECT_EQ(printed(static_cast<QV_SEXP*>(m->cal[MI_FETCH_1_TP + 1]->data)),
              printed(static_cast<QV_SEXP*>(m->cal[MI_FETCH_1_TP]->data)));
    EXPECT_EQ(m->cal[MI_FETCH_1_TP + 2]->data, m->cal[MI_FETCH_1_TP]->data);

    // A node the file does not hold fails its loading.
    std::vector<int64_t> dc = {m->total_levels - 1, 0, 0};
    int code = 0;
    MATRIX_NODE* n = get_matrix_node(&code, m, dc.data(), MI_FETCH_1_TP, nullptr, nullptr);
    if (n && code == 0) unlock_node(n, nullptr);
    int status = -1;
    for (int i = 0; i < 2000; i++) {
        status = node_status(m, dc.data());
        if (status != MS_NEW && status != MS_BUSY && status != -1) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(status, MS_PROCESS_ERR_1);
    EXPECT_EQ(close_mx_entry(e), 0);
    EXPECT_EQ(mx_entry_holders(), 0);
}

TEST_F(GmxTest, CopyTakesChannelsAndFlagsInEitherFormAndRefusesBadNamesFirst) {
    geotest::TempDir dir;
    int src = create(create_text(dir.at("s.mx"), kBody));
    int dest = create(create_text(dir.at("d.mx"), kBody));
    auto copy = [&](const std::string& attrs, const std::string& args) {
        return run("([gmxCopy " + attrs + "] " + args + ")");
    };
    std::string ids = "src=\"" + std::to_string(src) + "\" dest=\"" + std::to_string(dest) + "\"";
    MX_ENTRY* d = search_mx_entry_by_id(dest);
    ASSERT_NE(d, nullptr);
    auto create_node = [&] {
        return get_type(
            get_env_symbol(static_cast<QVISP_ENV*>(d->c.m->mx_env->data), L("create-node"), 0));
    };
    EXPECT_EQ(err(copy(ids, "0 \"MF_FILE\" \"MF_NONE\" 1")), "80030806 gmxCopy ()");
    EXPECT_EQ(err(copy(ids, "(list 0 2.5)")), "80030806 gmxCopy ()");
    EXPECT_EQ(create_node(), QVT_NIL);  // refused before anything was done
    EXPECT_EQ(show(copy(ids, "0 \"MF_FILE\" 1")), "()");
    EXPECT_EQ(show(copy(ids, "(list 0 \"MF_FILE\" 1)")), "()");
    EXPECT_EQ(create_node(), QVT_STRING);
    EXPECT_EQ(err(copy("dest=\"" + std::to_string(dest) + "\"", "0")),
              "80040503 gmxCopy (\"invalida parameter\" \"attribute src\")");
    EXPECT_EQ(err(copy("src=\"" + std::to_string(src) + "\" dest=\"999999\"", "0")),
              "80040503 gmxCopy (\"invalida parameter\" \"attribute dest\")");
    release_mx_entry(d);
    close_id(src);
    close_id(dest);
    EXPECT_EQ(mx_entry_holders(), 0);
}

// Calibrations per phase mode: stored without touching the live slots, copied by "equ",
// installed by currentPhase_mode and by readphase; a short text reads back.
TEST_F(GmxTest, PhaseModesAreStoredAndInstalledFromTheFile) {
    geotest::TempDir dir;
    std::string path = dir.at("modes.mx");
    auto slot_text = [](MATRIX* m, int slot) {
        return m->cal[slot] ? printed(static_cast<QV_SEXP*>(m->cal[slot]->data)) : "none";
    };
    std::string phases = kBody;
    std::string param = "([gmxMatrixParam channel_nos=\"2\" dim=\"2\"])";
    phases.replace(phases.find(param), param.size(),
                   "([gmxMatrixParam channel_nos=\"2\" dim=\"2\"] ([gmxPriority area=\"3\" "
                   "pri=\"7\" mode=\"server\"]))");
    phases +=
        " ([gmxPhase area=\"3\" mode=\"server\"] 1)"
        " ([gmxPhase area=\"5\" mode=\"client\"] (mxFinish))"
        " ([gmxPhase area=\"4\" mode=\"client\" type=\"equ\" equ=\"5\"])"
        " ([gmxPhase area=\"6\" mode=\"client\" type=\"equ\" equ=\"7\"])"
        " ([gmxPhase area=\"9\" mode=\"direct\"] (mxLoad))";
    int id = create(create_text(path, phases));
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    // Only the stored modes changed: the live slots are empty.
    for (int slot : {3, 4, 5, 9})
        EXPECT_EQ(slot_text(e->c.m, slot), "none") << slot;
    QV_SEXP* cals[MX_CAL_SLOTS];
    int pri[MX_CAL_SLOTS];
    ASSERT_EQ(load_mode_cal(cals, pri, e->c.m, 2), 0);
    EXPECT_EQ(printed(cals[4]), printed(cals[5]));  // "equ" copied the client's slot 5
    EXPECT_NE(cals[5], nullptr);
    EXPECT_EQ(cals[6], nullptr);  // slot 7 had nothing recorded
    ASSERT_EQ(load_mode_cal(cals, pri, e->c.m, 1), 0);
    EXPECT_EQ(pri[3], 7);
    EXPECT_EQ(printed(cals[3]), "(1)");  // a text under 8 bytes reloads
    release_mx_entry(e);
    close_id(id);

    // readphase opens read-only with the server's texts.
    id = create("([gmxCreate filename=\"" + path + "\" readphase=\"1\"])");
    e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(slot_text(e->c.m, 3), "(1)");
    EXPECT_EQ(slot_text(e->c.m, 5), "none");
    EXPECT_EQ(e->c.m->p.write_file, nullptr);
    release_mx_entry(e);
    close_id(id);

    // currentPhase_mode installs the client's texts; a bad one is refused after the body stored
    // what it recorded.
    id = create("([gmxCreate filename=\"" + path + "\" currentPhase_mode=\"client\"])");
    e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    EXPECT_NE(slot_text(e->c.m, 5), "none");
    EXPECT_EQ(slot_text(e->c.m, 4), slot_text(e->c.m, 5));
    EXPECT_EQ(slot_text(e->c.m, 3), "none");
    release_mx_entry(e);
    close_id(id);
    EXPECT_EQ(
        err(run("([gmxCreate filename=\"" + path +
                "\" currentPhase_mode=\"other\"] ([gmxPhase area=\"8\" mode=\"server\"] 2))")),
        "80040503 gmxCreate (\"inv_param\" \"currentPhase_mode\")");
    id = create("([gmxCreate filename=\"" + path + "\" readphase=\"1\"])");
    e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(slot_text(e->c.m, 8), "(2)");
    release_mx_entry(e);
    close_id(id);
    // A phase mode whose calibrations cannot be installed fails the open and lists no entry for
    // the failed matrix: the next id is unknown, and the file still opens in a known mode.
    EXPECT_EQ(err(run("([gmxCreate filename=\"" + path + "\" readphase=\"7\"])")).substr(0, 8),
              "80040a06");
    EXPECT_EQ(err(run("([gmxClose id=\"" + std::to_string(id + 1) + "\"])")).substr(0, 8),
              "80040503");
    id = create("([gmxCreate filename=\"" + path + "\" readphase=\"1\"])");
    close_id(id);
    EXPECT_EQ(mx_entry_holders(), 0);
}
