// Fuzz entry for the zlib glue: arbitrary bytes are inflated (under a small cap, so a bomb costs
// little) and the result, or the input, is compressed and inflated back to the same bytes. Any
// crash, leak, hang or sanitizer report is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "app/startup.h"
#include "base/alloc.h"
#include "image/zlib_glue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = (init_runtime("fuzz_zlib", 0), true);
    (void)started;
    size_t n = 12345;
    void* out = zlib_uncompress_within(&n, data, size, size_t{1} << 24);
    if (!out && n != 12345) abort();  // a failure leaves the length untouched
    const void* block = out ? out : data;
    size_t len = out ? n : size;
    size_t zlen = 0;
    void* z = zlib_compress(&zlen, block, len, size % 10);
    if (!z) abort();
    size_t back_len = 0;
    void* back = zlib_uncompress(&back_len, z, zlen);
    if (!back || back_len != len || (len > 0 && memcmp(back, block, len) != 0)) abort();
    d_f_ree(back);
    d_f_ree(z);
    d_f_ree(out);
    return 0;
}
