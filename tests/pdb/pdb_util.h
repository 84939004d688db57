// Shared helpers of the record-store tests: scratch directories, record buffers, the page limit
// set for one scope, and the independent checker (pdbcheck.py) run on a file.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "pdb/freelist64.h"
#include "pdb/pagecache.h"
#include "pdb/pdb64.h"
#include "record_pattern.h"
#include "support/temp_dir.h"

namespace pdbtest {

using ::TempDir;

// The page limit for one scope.
class PageLimit {
  public:
    explicit PageLimit(int pages) : old_(fac_set_limit(pages)) {}
    ~PageLimit() { fac_set_limit(old_); }
    PageLimit(const PageLimit&) = delete;
    PageLimit& operator=(const PageLimit&) = delete;

  private:
    int old_;
};

inline std::string file_bytes(const std::string& path) {
    std::string s;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        fclose(f);
    }
    return s;
}

inline void put_file(const std::string& path, const std::string& data) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
    fclose(f);
}

inline off_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Captures the record store's diagnostic lines for one scope.
class PrintCapture {
  public:
    PrintCapture() {
        text().clear();
        set_pdb_print(capture);
    }
    ~PrintCapture() { set_pdb_print(nullptr); }
    static std::string& text() {
        static std::string t;
        return t;
    }

  private:
    static int capture(const char* fmt, va_list ap) {
        char buf[512];
        int n = vsnprintf(buf, sizeof buf, fmt, ap);
        text() += buf;
        return n;
    }
};

struct CheckResult {
    int status = -1;  // the checker's exit status: 0 consistent, 1 damage found
    std::string out;
};

// Runs tests/pdb/pdbcheck.py with the given arguments.
inline CheckResult run_checker(const std::string& args) {
    std::string cmd = "python3 " VX_TEST_DATA_DIR "/../pdb/pdbcheck.py " + args + " 2>&1";
    CheckResult r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

constexpr int OPEN_RW = O_RDWR | O_CREAT;
constexpr int32_t WITH_FREELIST = -1;

inline PDB64* open_rw(const std::string& path, int32_t flags = WITH_FREELIST) {
    return open_filespace64(path.c_str(), OPEN_RW, 0644, flags, 11, nullptr);
}

// Allocates a record of this size and writes its body; the position or -1.
inline int64_t put_record(PDB64* p, uint16_t type, uint64_t size, uint32_t seed) {
    PN64_HEADER h = {};
    h.type = type;
    h.size = size;
    int64_t pos = alloc_filespace64(p, &h);
    if (pos < 0) return pos;
    std::vector<uint8_t> r = make_record(type, size, seed);
    if (write_filespace64f(p, static_cast<uint64_t>(pos), r.data()) < 0) return -1;
    return pos;
}

// True when the record at pos holds exactly what make_record(type, size, seed) gives.
inline bool record_is(PDB64* p, uint64_t pos, uint16_t type, uint64_t size, uint32_t seed) {
    void* got = read_filespace64f(p, pos);
    if (!got) return false;
    std::vector<uint8_t> want = make_record(type, size, seed);
    bool same = pn64_size(got) == size && memcmp(got, want.data(), size) == 0;
    d_f_ree(got);
    return same;
}

}  // namespace pdbtest
