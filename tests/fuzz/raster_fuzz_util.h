// The raster fuzz targets hand their input over as a file: one scratch file per process.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

inline const char* raster_fuzz_file(const uint8_t* data, size_t size) {
    static std::string path = [] {
        char tmpl[] = "/tmp/vx-fuzz-raster-XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd >= 0) close(fd);
        return std::string(tmpl);
    }();
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return nullptr;
    fwrite(data, 1, size, f);
    fclose(f);
    return path.c_str();
}
