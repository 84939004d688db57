// Fuzz entry for DTED tiles. The first byte picks the case: the input's own bytes as a tile file
// (sizes that do not make a tile), or a tile of 601 or 1201 profiles, with trailing bytes or cut
// short by a few, whose header, framing and samples cycle through the input. The input also
// names a directory and file for the naming checks. Each tile is read as rows unstretched, as
// profiles with the stretch (the caller's buffer holds 1201 profiles), and through load_dted2. Any
// crash, leak or sanitizer report is a fault.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/startup.h"
#include "geo/dted.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = (init_runtime("fuzz_dted", 0), true);
    (void)started;
    static std::string dir = "/tmp/fuzz_dted-" + std::to_string(getpid()) + "/e139";
    static bool made =
        (mkdir(dir.substr(0, dir.size() - 5).c_str(), 0700), mkdir(dir.c_str(), 0700), true);
    (void)made;
    static std::vector<int16_t> buf(1201 * 1201);
    if (size == 0) return 0;
    int east, north, lines;
    // Names from the input: up to the first NUL the directory, then the file.
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t nul = text.find('\0');
    std::string dname = text.substr(0, nul),
                fname = nul == std::string::npos ? "" : text.substr(nul + 1);
    load_dted1(buf.data(), &east, &north, &lines, dname.c_str(), fname.c_str(), DTED_ORIGIN);
    load_dted2(buf.data(), &east, &north, dname.c_str(), fname.c_str(), 1);

    // Whole tiles are slow to write and read: one input in two stays small.
    int kind = (data[0] & 7) > 3 ? 0 : data[0] & 3;
    size_t len = size;
    if (kind != 0) {
        size_t profiles = kind == 1 ? 601 : 1201;
        int64_t delta = size > 1 ? static_cast<int8_t>(data[1]) : 0;
        if (kind == 3) delta *= 40;
        len = static_cast<size_t>(3428 + static_cast<int64_t>(profiles) * 2414 + delta);
    }
    std::string path = dir + "/N35.dt1";
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return 0;
    if (kind == 0) {
        fwrite(data, 1, size, f);
    } else {
        std::vector<uint8_t> file(len);
        for (size_t i = 0; i < len; i++)
            file[i] = data[i % size];
        fwrite(file.data(), 1, len, f);
    }
    fclose(f);
    for (int cmd : {0x03, 0x12})
        load_dted1(buf.data(), &east, &north, &lines, dir.c_str(), "N35.dt1", cmd);
    load_dted2(buf.data(), &east, &north, dir.c_str(), "N35.dt1", 0);
    unlink(path.c_str());
    return 0;
}
