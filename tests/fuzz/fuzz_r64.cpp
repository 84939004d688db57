// Fuzz entry for R64 files: the input is opened read-only and a bounded sample of pixels of every
// level is read, inside and outside each level, in both outside modes, with the tiles' planes.
// Any crash, leak or out-of-bounds access is a fault.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>

#include "image/r64.h"
#include "raster_fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = raster_fuzz_file(data, size);
    if (!path) return 0;
    R64_FILE* f = r64_open_file(path, O_RDONLY, 0, 0, 0, 0);
    if (!f) return 0;
    for (int level = 0; level < R64_MAX_LEVELS + 1; level++) {
        r64_check_level(f, level);
        int w = level < R64_MAX_LEVELS ? f->level_w[level] : 1;
        int h = level < R64_MAX_LEVELS ? f->level_h[level] : 1;
        int n = 0;
        for (int y = -1; y <= h && n < 40; y += 61)
            for (int x = -1; x <= w && n < 40; x += 61, n++) {
                unsigned char px[3];
                r64_red(px, f, x, y, level);
                unsigned char* plane;
                int pw, ph, psize;
                r64_plane(&plane, &pw, &ph, &psize, f, x, y, level);
                int mode = n & 1;
                r64_ctl(f, 0, &mode);
            }
    }
    r64_close_file(f);
    return 0;
}
