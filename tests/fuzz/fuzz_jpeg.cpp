// Fuzz entry for the JPEG glue: arbitrary bytes go through the header and row callbacks and, for
// pictures of at most a million pixels, through jpeg_uncompress; a decoded picture is encoded
// again. Any crash, leak, hang or sanitizer report is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "app/startup.h"
#include "image/jpeg_glue.h"

namespace {

constexpr int64_t FUZZ_PIXELS = 1 << 20;

struct Rows {
    std::vector<unsigned char> buf;
    int width = 0;
    int bpp = 0;
};

int header(LoadJPGInfo* info, void* data) {
    auto* r = static_cast<Rows*>(data);
    if (int64_t{info->width} * info->height > FUZZ_PIXELS) return 0;
    r->width = info->width;
    r->bpp = info->bpp;
    r->buf.assign(static_cast<size_t>(info->width) * 4, 0);
    return 1;
}

void* row(int, void* data) {
    return static_cast<Rows*>(data)->buf.data();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = (init_runtime("fuzz_jpeg", 0), true);
    (void)started;
    Rows r;
    if (!LoadJPGFromMemory(data, size, header, row, &r) || r.bpp != 24) return 0;
    int w = 0, h = 0;
    unsigned char* px = jpeg_uncompress(&w, &h, data, size);
    if (!px) return 0;
    size_t len = 0;
    unsigned char* again = jpeg_compress(&len, px, w, h, static_cast<int>(size % 101));
    if (!again) abort();
    free(again);
    free(px);
    return 0;
}
