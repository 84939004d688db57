// Fuzz entry for PNM files: arbitrary bytes are written to a file whose header is read; the
// pixel layer then reads and writes pixels inside and outside the picture, and the converter
// resamples the file. Any crash, leak, hang or sanitizer report is a fault.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "app/startup.h"
#include "base/ufile.h"
#include "image/ppm.h"

namespace {

int shrink(int* x, int* y, int* rw, int* rh, void*) {
    *x = *x * 3 - 1;
    *y = *y * 3 + 1;
    *rw = 2;
    *rh = (*x & 3) - 1;
    return (*y & 7) == 7 ? -1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = (init_runtime("fuzz_pnm", 0), true);
    (void)started;
    static std::string path = "/tmp/fuzz_pnm-" + std::to_string(getpid());
    static std::string out = path + ".out";
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    PPM_INFO pi{};
    pi.pi_fd = u_open64(path.c_str(), O_RDWR);
    if (pi.pi_fd >= 0 && read_header(&pi) == 0) {
        // Only small pictures are walked, so one input stays quick.
        if (uint64_t{pi.pi_width} * pi.pi_height <= 1 << 16) {
            unsigned char c[3] = {1, 2, 3};
            for (unsigned i = 0; i < 40; i++) {
                unsigned w = (i * 7) % (pi.pi_width + 2), h = (i * 13) % (pi.pi_height + 2);
                read_pixel(&pi, w, h, c);
                if (i % 3 == 0) write_pixel(&pi, h, w, c);
            }
            close_ppm(&pi);
            pi.pi_fd = -1;
            ppm_converter(path.c_str(), out.c_str(), 9, 7, shrink, nullptr);
        }
    }
    if (pi.pi_fd >= 0) close_ppm(&pi);
    unlink(path.c_str());
    unlink(out.c_str());
    return 0;
}
