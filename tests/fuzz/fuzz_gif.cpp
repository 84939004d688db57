// Fuzz entry for the GIF codec: arbitrary bytes are decoded; a decoded picture of modest size is
// encoded again and the new stream must decode to the same size. Any crash, leak, hang or
// sanitizer report is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/startup.h"
#include "base/alloc.h"
#include "image/gif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = (init_runtime("fuzz_gif", 0), true);
    (void)started;
    int w = 0, h = 0;
    GIF_ENV ge;
    unsigned int* px = gif_uncompress(&w, &h, &ge, data, size);
    if (!px) return 0;
    if (int64_t{w} * h <= 1 << 16) {
        size_t len = 0;
        GIF_ENV out;
        unsigned char* g = gif_compress(&len, &out, px, w, h);
        if (!g) abort();
        int w2 = 0, h2 = 0;
        unsigned int* back = gif_uncompress(&w2, &h2, nullptr, g, len);
        if (!back || w2 != w || h2 != h) abort();
        d_f_ree(back);
        d_f_ree(g);
    }
    d_f_ree(px);
    return 0;
}
