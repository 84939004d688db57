// A full disk under every writer of the agent: the file-size limit (RLIMIT_FSIZE, with SIGXFSZ
// ignored) makes writes past it fail with EFBIG. Each writer must say it failed, and once the
// limit is lifted what was committed before must read back whole.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "agent_run.h"
#include "base/textutil.h"
#include "base/ufile.h"
#include "gmx_io_util.h"
#include "image/ppm.h"
#include "pdb/pdb_util.h"
#include "pdb/record_pattern.h"
#include "server/log.h"
#include "server/logcond.h"
#include "stream/file_stream.h"
#include "stream/streamio.h"

using namespace gmxtest;

namespace {

constexpr rlim_t kLimit = 4096;

// Files of this process may not grow past `limit` bytes while it lives.
class FileLimit {
  public:
    explicit FileLimit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &old_);
        old_sig_ = signal(SIGXFSZ, SIG_IGN);
        rlimit r = old_;
        r.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FileLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, old_sig_);
    }

  private:
    rlimit old_{};
    sighandler_t old_sig_;
};

// The agent on a script in dir, its files limited to kLimit bytes.
ChildResult limited_agent(const std::string& dir, const std::string& script) {
    geotest::write_file(dir + "/s.qv", script);
    std::string prog = std::string(VX_BINARY_DIR) + "/vxmx";
    return run_in_child(
        [&] {
            signal(SIGXFSZ, SIG_IGN);
            rlimit r{kLimit, kLimit};
            setrlimit(RLIMIT_FSIZE, &r);
            char* argv[] = {const_cast<char*>(prog.c_str()), const_cast<char*>("s.qv"),
                            const_cast<char*>("out.txt"), nullptr};
            if (chdir(dir.c_str()) == 0) execv(prog.c_str(), argv);
            _exit(127);
        },
        60000);
}

// A QV string literal longer than the limit.
std::string long_text() {
    return "\"" + std::string(3 * kLimit, 'a') + "\"";
}

}  // namespace

class DiskFullTest : public GmxTest {};

TEST_F(DiskFullTest, EveryWriterSaysSoAndKeepsWhatWasCommitted) {
    geotest::TempDir dir;
    struct Case {
        const char* name;
        // Writes past the limit: true when the writer said it failed. check then looks at what
        // was committed, with the limit lifted.
        std::function<bool()> write;
        std::function<void()> check;
    };
    PDB64* pdb = nullptr;
    int64_t pos = -1;
    std::string pdb_file = dir.at("rec.pdb");
    std::string ppm_in = dir.at("in.ppm"), ppm_out = dir.at("out.ppm");
    int mx = create(matrix_form(64, 64));
    ASSERT_GT(mx, 0);
    Case cases[] = {
        {"record store commit and close",
         [&] {
             pdb = pdbtest::open_rw(pdb_file);
             if (!pdb) return false;
             pos = pdbtest::put_record(pdb, 400, 100, 1);
             if (pos < 0 || flush_filespace64(pdb) != 0) return false;
             FileLimit lim(static_cast<rlim_t>(pdbtest::file_size(pdb_file)) + 100);
             bool said = pdbtest::put_record(pdb, 400, 20000, 2) < 0 || flush_filespace64(pdb) != 0;
             return close_filespace64(pdb) != 0 && said;
         },
         [&] {
             PDB64* p = open_filespace64(pdb_file.c_str(), O_RDONLY, 0, 0, 0, nullptr);
             ASSERT_NE(p, nullptr);
             EXPECT_TRUE(pdbtest::record_is(p, static_cast<uint64_t>(pos), 400, 100, 1));
             close_filespace64(p);
         }},
        {"stream write and close",
         [&] {
             STREAM* s = s_open_file(dir.at("s.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
             if (!s) return false;
             // Queued: the write answers at once, and only the close can tell.
             s_set_buffered(s);
             std::string big(3 * kLimit, 'x');
             FileLimit lim(kLimit);
             int n = s_write(s, big.data(), static_cast<int>(big.size()));
             return n == static_cast<int>(big.size()) && s_close(s) == -1;
         },
         [&] { EXPECT_EQ(geotest::read_file(dir.at("s.txt")).size(), kLimit); }},
        {"PrintStd file=",
         [&] {
             std::string d = dir.at("print");
             mkdir(d.c_str(), 0755);
             limited_agent(d, "^([PrintStd file=\"p.txt\"] " + long_text() + ")\n");
             return geotest::read_file(d + "/out.txt")
                        .find("(\"cannot write the file\" \"p.txt\")") != std::string::npos;
         },
         [] {}},
        {"PNM export",
         [&] {
             FileLimit lim(kLimit);
             Val v = run("([gmxExportPNM id=\"" + std::to_string(mx) + "\"] \"" + dir.at("e.ppm") +
                         "\" 0 0)");
             return err(v).find("cannot write the file") != std::string::npos;
         },
         [] {}},
        {"image writer",
         [&] {
             std::string px(64 * 64 * 3, '\x40');
             geotest::write_file(ppm_in, "P6\n64 64\n255\n" + px);
             FileLimit lim(kLimit);
             bool resampler = ppm_converter(
                                  ppm_in.c_str(), ppm_out.c_str(), 64, 64,
                                  [](int*, int*, int*, int*, void*) { return 0; }, nullptr) != 0;
             // The pixel writer holds a line and writes it when the next line comes, or at
             // the close.
             PPM_INFO pi{};
             pi.pi_fd = u_open64(dir.at("px.ppm").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
             pi.pi_width = pi.pi_height = 64;
             pi.pi_max = 255;
             if (pi.pi_fd < 0 || write_header(&pi) != 0) return false;
             const unsigned char red[3] = {255, 0, 0};
             bool pixel = false;
             for (unsigned h = 0; h < 64; h++)
                 if (write_pixel(&pi, 0, h, red) != 0) pixel = true;
             return resampler && pixel && close_ppm(&pi) != 0;
         },
         [] {}},
        {"script output file",
         [&] {
             std::string d = dir.at("run");
             mkdir(d.c_str(), 0755);
             ChildResult r = limited_agent(d, "^" + long_text() + "\n");
             return r.exit_status == 1;
         },
         [] {}},
        {"log file",
         [&] {
             LOG_COND* c = new_log_cond();
             c->op[LF_DATA] = LOP_PREFIX;
             c->low.w[LF_DATA].s = ll_copy_str(L("disk-full "));
             add_log_action(c, LOG_ACT_SAVE, L(dir.at("a.log").c_str()), LOG_OPT_DATA, 0, 0);
             set_log_condition(c);
             testing::internal::CaptureStderr();
             {
                 FileLimit lim(kLimit);
                 for (int i = 0; i < 200; i++)
                     log_printf(LOG_MESSAGE, LOG_LAYER_QV, nullptr,
                                "disk-full line %03i of a log that fills the disk soon", i);
                 EXPECT_TRUE(log_sync(20000));
             }
             std::string said = testing::internal::GetCapturedStderr();
             reset_log_condition();
             EXPECT_TRUE(log_sync(20000));
             std::string want = "log: cannot write " + dir.at("a.log") + ": File too large (";
             size_t at = said.find(want);
             return at != std::string::npos && said.find(want, at + 1) == std::string::npos;
         },
         [&] {
             std::string log = geotest::read_file(dir.at("a.log"));
             ASSERT_FALSE(log.empty());
             EXPECT_LE(log.size(), kLimit);
             EXPECT_EQ(log.back(), '\n') << "a cut line stays in the log";
             for (size_t at = 0; at < log.size(); at = log.find('\n', at) + 1)
                 EXPECT_EQ(log.compare(at, 10, "disk-full "), 0) << at;
         }},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(c.write()) << c.name << " did not say it failed";
        c.check();
    }
    close_id(mx);
}
