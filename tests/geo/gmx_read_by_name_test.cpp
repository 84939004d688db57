// Reads by file name from several interpreters at once: each gives the stored cells, the matrix
// a read opened for itself is closed by its last reader (so the file is free again for gmxCreate),
// and a matrix open for writing is read as it stands and stays open with its id.
#include <atomic>
#include <thread>
#include <vector>

#include "geo/geo_util.h"
#include "gmx_util.h"

using namespace gmxtest;

namespace {

class GmxReadByName : public GmxTest {
  protected:
    geotest::TempDir dir_;
    std::string file_, pgm_;

    void SetUp() override {
        GmxTest::SetUp();
        file_ = dir_.at("a.mx");
        pgm_ = dir_.at("in.pgm");
        std::string pgm = "P5\n4 4\n255\n";
        for (int i = 0; i < 16; i++)
            pgm += static_cast<char>(10 + i);
        geotest::write_file(pgm_, pgm);
    }
    // gmxCreate of the file, its scripts set live only (none stored in the file): the id.
    int open_for_writing() {
        return create("([gmxCreate filename=\"" + file_ +
                      "\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
                      " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"])"
                      " ([gmxMatrixDimDivide dim=\"1\" value=\"1\"])"
                      " ([gmxMatrixBlockSize dim=\"0\" value=\"2\"])"
                      " ([gmxMatrixBlockSize dim=\"1\" value=\"2\"])"
                      " ([gmxMatrixPixelSize dim=\"0\" value=\"4\"])"
                      " ([gmxMatrixPixelSize dim=\"1\" value=\"4\"])"
                      " ([gmxChannelInfo channel=\"0\" type=\"rgb8_v\" file=\"on\"])"
                      " ([gmxPhase area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\""
                      " err-jump=\"MI_FETCH_2\"]) (mxLoad))"
                      " ([gmxPhase area=\"4\" type=\"equ\" equ=\"3\"])"
                      " ([gmxPhase area=\"5\" type=\"equ\" equ=\"3\"])"
                      " ([gmxPhase area=\"6\"] ([mxFinish normal-jump-status=\"MS_OK\"]))"
                      " ([gmxPhase area=\"7\" type=\"equ\" equ=\"6\"])"
                      " ([gmxPhase area=\"8\" type=\"equ\" equ=\"6\"])"
                      " ([gmxPhase area=\"21\"] (mxSave))"
                      " ([gmxPhase area=\"22\" type=\"equ\" equ=\"21\"])"
                      " ([gmxPhase area=\"23\" type=\"equ\" equ=\"21\"]))");
    }
    std::string read_text() { return "(gmxGetPoint \"" + file_ + "\" '((0 1 1) (0 3 2)))"; }
    // Readers on `threads` interpreters at once, `rounds` reads each (every fourth a status by
    // name): the reads that did not answer `want`.
    int readers(int threads, int rounds, const std::string& want) {
        std::atomic<int> wrong{0};
        std::vector<std::thread> ts;
        for (int t = 0; t < threads; t++)
            ts.emplace_back([&, t] {
                bool ok = on_interpreter([&] {
                    QVISP_ENV* env = new_env(vxlisp_top_env1);
                    gc_push(env, gc_vxlisp_env, "reader env");
                    for (int i = 0; i < rounds; i++) {
                        if ((i + t) % 4 == 3) {
                            Val s = eval_text(env, "(car (gmxStatus \"" + file_ + "\"))");
                            if (s.text != "status") wrong++;
                        } else if (show(eval_text(env, read_text())) != want) {
                            wrong++;
                        }
                    }
                    gc_pop(nullptr, nullptr);
                });
                if (!ok) wrong++;
            });
        for (auto& t : ts)
            t.join();
        return wrong.load();
    }
};

TEST_F(GmxReadByName, ReadersGetTheStoredCellsAndLeaveTheFileFree) {
    int before = mx_entry_count();
    const std::string want = "(((0 252645120)) ((0 353703168)))";  // grey 15 and 21
    int id = open_for_writing();
    ASSERT_GT(id, 0);
    EXPECT_EQ(
        show(run("([gmxImportPNM id=\"" + std::to_string(id) + "\"] \"" + pgm_ + "\" 0 0 0 0)")),
        "()");
    // Open for writing in this agent: the readers read that matrix, and its id stays.
    EXPECT_EQ(readers(4, 12, want), 0);
    MX_ENTRY* e = search_mx_entry_by_id(id);
    ASSERT_NE(e, nullptr);
    release_mx_entry(e);
    EXPECT_EQ(show(run("([gmxClose id=\"" + std::to_string(id) + "\"])")), "()");
    EXPECT_EQ(mx_entry_count(), before);
    // Closed: every read opens it for itself, the stored cells come back, and the last reader
    // closes it.
    for (int pass = 0; pass < 3; pass++) {
        SCOPED_TRACE(pass);
        EXPECT_EQ(readers(4, 12, want), 0);
        EXPECT_EQ(mx_entry_count(), before);
        EXPECT_EQ(mx_entry_holders(), 0);
        int again = open_for_writing();
        ASSERT_GT(again, 0);
        EXPECT_EQ(show(run(read_text())), want);
        close_id(again);
    }
    // A read-only opening the script asked for keeps its id after reads by name.
    Val ro = run("([gmxCreate readphase=\"0\" filename=\"" + file_ + "\"])");
    ASSERT_EQ(ro.type, QVT_INTEGER) << ro.error;
    EXPECT_EQ(show(run(read_text())), want);
    e = search_mx_entry_by_id(static_cast<int>(ro.integer));
    ASSERT_NE(e, nullptr);
    release_mx_entry(e);
    close_id(static_cast<int>(ro.integer));
    EXPECT_EQ(mx_entry_count(), before);
    EXPECT_EQ(mx_entry_holders(), 0);
}

}  // namespace
