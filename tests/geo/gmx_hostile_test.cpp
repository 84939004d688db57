// Hostile pictures and tiles through the real agent: every damaged or unsupported file and a
// full disk give their error values, the next expression is answered, and the matrix open
// before reads back unchanged; an export's progress report runs through its rows.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "geo/geo_util.h"
#include "gmx_io_util.h"
#include "support/child.h"

namespace {

std::string pnm(const std::string& head, size_t pixel_bytes) {
    return head + std::string(pixel_bytes, '\x41');
}

}  // namespace

TEST(GmxHostile, DamagedFilesGiveErrorValuesAndTheMatrixStays) {
    geotest::TempDir dir;
    std::string d = dir.at("");
    geotest::write_file(dir.at("good.ppm"), pnm("P6\n20 10\n255\n", 600));
    std::vector<std::pair<std::string, std::string>> files = {
        {"truncated.ppm", pnm("P6\n20 10\n255\n", 599)},
        {"huge.ppm", pnm("P6\n4000000000 4000000000\n255\n", 30)},
        {"p1.pbm", "P1\n2 2\n1 0 0 1\n"},
        {"p2.pgm", "P2\n2 2\n255\n1 2 3 4\n"},
        {"p3.ppm", "P3\n1 1\n255\n1 2 3\n"},
        {"p4.pbm", pnm("P4\n8 2\n", 2)},
        {"p7.pam", pnm("P7\n1 1\n255\n", 4)},
        {"deep.ppm", pnm("P6\n2 2\n65535\n", 24)},
        {"header.ppm", "P6\n"},
    };
    for (auto& f : files)
        geotest::write_file(dir.at(f.first), f.second);
    geotest::put_tile(dir, "e139", "N35.dt1",
                      geotest::dted_bytes(1201, [](int, int) { return 5; }).substr(0, 2900000));
    geotest::put_tile(dir, "e1x9", "N35.dt1", geotest::dted_bytes(601, [](int, int) { return 5; }));

    std::string s = "^" + gmxtest::matrix_form(40, 30) + "\n";
    s += "^([gmxImportPNM id=\"1\"] \"good.ppm\" 1 0 0 0)\n";
    s += "^([gmxExportPNM id=\"1\"] \"before.ppm\" 1 0)\n";
    for (auto& f : files)
        s += "^([gmxImportPNM id=\"1\"] \"" + f.first + "\" 1 0 0 0)\n";
    for (const char* t :
         {"e1/N35.dt1", "x139/N35.dt1", "e1x9/N35.dt1", "e139/N35.DT1", "e139/N35.dt1"})
        s += "^([gmxImportDTED1 id=\"1\" ch=\"2\"] \"" + std::string(t) + "\" 500400 129600)\n";
    s += "^([gmxExportPNM id=\"1\"] \"/dev/full\" 1 0)\n";
    s += "^([gmxExportPNM id=\"1\"] \"after.ppm\" 1 0)\n";
    s += "^(list \"answered\")\n^(Exit)\n";
    geotest::write_file(dir.at("s.qv"), s);

    std::string prog = std::string(VX_BINARY_DIR) + "/vxmx";
    ChildResult r = run_in_child(
        [&] {
            char* argv[] = {const_cast<char*>(prog.c_str()), const_cast<char*>("s.qv"),
                            const_cast<char*>("out.txt"), nullptr};
            if (chdir(d.c_str()) == 0) execv(prog.c_str(), argv);
            _exit(127);
        },
        60000);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    std::string out = geotest::read_file(dir.at("out.txt"));
    // One reply per expression; an error's reply runs over several lines.
    std::vector<std::string> results;
    for (size_t at = 0, end; (end = out.find("</Result>\n", at)) != std::string::npos;
         at = end + 10)
        results.push_back(out.substr(at, end + 9 - at));
    std::vector<std::string> want = {
        "<Result> 1 1</Result>",
        "<Result> 2 ()</Result>",
        "<Result> 3 ()</Result>",
    };
    ASSERT_GE(results.size(), 20u) << out;
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_EQ(results[i], want[i]);
    const char* codes[] = {"80040a06", "80040a06", "80040503", "80040503", "80040503",
                           "80040503", "80040503", "80040503", "80040a06", "80040a06",
                           "80040a06", "80040a06", "80040a06", "80040a06", "80040a06"};
    for (size_t i = 0; i < 15; i++)
        EXPECT_NE(results[3 + i].find(codes[i]), std::string::npos) << i << " " << results[3 + i];
    EXPECT_NE(results[3].find("cannot read the file"), std::string::npos);
    EXPECT_NE(results[8].find("not support the  format P4"), std::string::npos);
    const char* dted[] = {" -1)", " -2)", " -2)", " -3)", " -6)"};
    for (size_t i = 0; i < 5; i++)
        EXPECT_NE(results[12 + i].find(dted[i]), std::string::npos) << results[12 + i];
    EXPECT_NE(results[17].find("cannot write the file"), std::string::npos);
    EXPECT_EQ(results[18], "<Result> 19 ()</Result>");
    EXPECT_EQ(results[19], "<Result> 20 (\"answered\")</Result>");
    std::string before = geotest::read_file(dir.at("before.ppm"));
    EXPECT_EQ(before.size(), 13u + 40 * 30 * 3);
    EXPECT_EQ(geotest::read_file(dir.at("after.ppm")), before);
    // The last export's progress report ran through its 30 rows and was closed.
    std::string report = geotest::read_file(dir.at(".progressve"));
    EXPECT_NE(report.find("PROGRESSIVE ExportPNM\n"), std::string::npos) << report;
    EXPECT_NE(report.find("STAGE(0) 1 ExportPNM\n  FINISHED 30.000000/30.000000 100%"),
              std::string::npos)
        << report;
}
