// Fuzz entry for vxf size files: the first byte is a count n (at most 40) of characters, the next
// 2n bytes their codes (big-endian), the rest a size file that is opened and drawn at size 16 and
// at the size of a blank. Any crash, leak, hang, write outside a picture or sanitizer report is a
// fault.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "render/vxf.h"

namespace {

bool start() {
    init_runtime("fuzz_vxf", 0);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    if (size < 1) return 0;
    size_t n = data[0] % 41;
    if (size < 1 + 2 * n) return 0;
    std::vector<LCF_SET> run;
    for (size_t i = 0; i < n; i++)
        run.push_back({static_cast<L_CHAR>(data[1 + 2 * i] << 8 | data[2 + 2 * i]), nullptr, 16});
    static std::string path = "/tmp/fuzz_vxf-" + std::to_string(getpid());
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data + 1 + 2 * n, 1, size - 1 - 2 * n, f);
    fclose(f);
    for (int sz : {16, 3}) {
        VXF_DATA* d = vxf_open_size(path.c_str(), sz);
        if (!d) continue;
        LC_STRING_PIC p{};
        vxf_draw(d, &p, run.data(), static_cast<int>(run.size()));
        if (p.pic) {
            // Every byte of the picture is readable: its extent is what was allocated.
            unsigned sum = 0;
            int64_t bytes = int64_t{p.width} * (p.r.br.y - p.r.tl.y);
            for (int64_t i = 0; i < bytes; i++)
                sum += p.pic[i];
            if (sum == 0xFFFFFFFFu) fputc(' ', stderr);
            d_f_ree(p.pic);
        }
        vxf_free_size(d);
    }
    unlink(path.c_str());
    return 0;
}
