// Fuzz entry for record files: arbitrary bytes are opened as a record file read-only and for
// writing with a free list; every record is walked and read, records are searched by type, the
// free list is checked, and a few records are allocated and released. Any crash, leak, hang or
// sanitizer report is a fault.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/startup.h"
#include "base/alloc.h"
#include "pdb/freelist64.h"
#include "pdb/pagecache.h"
#include "pdb/pdb64.h"

namespace {

int quiet(const char*, va_list) {
    return 0;
}

bool start() {
    init_runtime("fuzz_pdb", 0);
    fac_init_general();
    fac_set_limit(16);
    set_pdb_print(quiet);
    return true;
}

void walk(PDB64* p) {
    uint64_t pos = 0;
    for (int i = 0; i < 2000; i++) {
        PDB64_PHYS ph;
        if (pdb64_read_phys(p, pos, &ph) != 0) break;
        if (void* r = read_filespace64(p, pos)) d_f_ree(r);
        if (void* r = read_filespace64f_header(p, pos)) d_f_ree(r);
        pos += ph.len;
    }
    for (int16_t type : {0, 1, 259, 260, 300}) {
        uint64_t at = 0;
        for (int i = 0; i < 50; i++) {
            void* r = get_file_record64(&at, p, type, 24);
            if (!r) break;
            d_f_ree(r);
        }
        if (void* r = get_file_record64(nullptr, p, type, 0)) d_f_ree(r);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    static std::string path = "/tmp/fuzz_pdb-" + std::to_string(getpid());
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    if (PDB64* p = open_filespace64(path.c_str(), O_RDONLY, 0, 0, 0, nullptr)) {
        walk(p);
        close_filespace64(p);
    }
    if (PDB64* p = open_filespace64(path.c_str(), O_RDWR, 0, -1, 0, nullptr)) {
        walk(p);
        if (check_freelist64(p) == 0) {
            PN64_HEADER h = {300, {0, 0, 0}, 40};
            int64_t a = alloc_filespace64(p, &h);
            h.size = 5000;
            int64_t b = alloc_filespace64(p, &h);
            if (a > 0) free_filespace64(p, static_cast<uint64_t>(a));
            if (b > 0) free_filespace64(p, static_cast<uint64_t>(b));
            walk(p);
        }
        close_filespace64(p);
    }
    unlink(path.c_str());
    return 0;
}
