// Fuzz entry for CR files: the input is opened read-only and a bounded sample of tiles of every
// level is read from the table and decoded (raw or JPEG), finer levels against a made-up parent.
// Any crash, leak or out-of-bounds access is a fault.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "image/cr.h"
#include "raster_fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = raster_fuzz_file(data, size);
    if (!path) return 0;
    CR_FILE* f = cr_open_file(path, O_RDONLY, 0, 0, 0, 0);
    if (!f) return 0;
    std::vector<unsigned char> grey(CR_MAX_RECT * CR_MAX_RECT * 4, 128);
    for (int level = 0; level < R64_MAX_LEVELS; level++) {
        if (!cr_check_level(f, level)) continue;
        int rect = f->header.rect_size, n = 0;
        for (int y = 0; y < f->level_h[level] && n < 24; y += rect)
            for (int x = 0; x < f->level_w[level] && n < 24; x += rect, n++) {
                CR_MEM_TBL t;
                if (cr_read(&t, f, x, y, level) < 0) continue;
                // A parent covering the tile's half-size area.
                CR_BUFFER parent{x / 2, y / 2, CR_MAX_RECT, CR_MAX_RECT, grey.data()};
                CR_BUFFER out{x, y, 0, 0, nullptr};
                if (cr_decode_tile(&out, &t, level > 0 ? &parent : nullptr) == 0) free(out.buf);
                free_cr_mem_tbl(&t);
            }
    }
    cr_close_file(f);
    return 0;
}
