// DTED tile reading. The file is trusted for nothing: its size, its header's counts and every
// record's sentinel and checksum must agree, and every record is read whole before its fields
// are taken, each through the big-endian getter.
#include "geo/dted.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/ufile.h"
#include "stream/sprintf.h"

namespace {

constexpr int SAMPLE_OFFSET = 8;           // within a record
constexpr uint8_t RECORD_SENTINEL = 0xAA;  // a data record's first byte
// The user header label: the first 80 bytes of the header, "UHL" first; its counts of
// longitude lines and of points a line stand at bytes 47 and 51, four digits each.
constexpr int UHL_SIZE = 80;
constexpr int UHL_LON_LINES = 47;
constexpr int UHL_LAT_POINTS = 51;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Three (or two) decimal digits at p, at most max; -1 otherwise.
int degrees(const char* p, int n, int max) {
    int v = 0;
    for (int i = 0; i < n; i++) {
        if (!is_digit(p[i])) return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v <= max ? v : -1;
}

// The tile's origin from its directory and file names; 0 or the codes -1 to -4. suffixes is a
// list of accepted endings, each four characters.
int tile_origin(const char* dir_name, const char* filename, const char* const* suffixes,
                int* org_east, int* org_north) {
    size_t dl = std::strlen(dir_name);
    if (dl < 4) return -1;
    const char* d = dir_name + dl - 4;
    int sign_e;
    if (d[0] == 'E' || d[0] == 'e')
        sign_e = 1;
    else if (d[0] == 'W' || d[0] == 'w')
        sign_e = -1;
    else
        return -2;
    int lon = degrees(d + 1, 3, 180);
    if (lon < 0) return -2;
    if (std::strlen(filename) != 7) return -3;
    bool known = false;
    for (const char* const* s = suffixes; *s; s++)
        known = known || std::memcmp(filename + 3, *s, 4) == 0;
    if (!known) return -3;
    int lat = degrees(filename + 1, 2, 90);
    if (lat < 0) return -3;
    int sign_n;
    if (filename[0] == 'N' || filename[0] == 'n')
        sign_n = 1;
    else if (filename[0] == 'S' || filename[0] == 's')
        sign_n = -1;
    else
        return -4;
    *org_east = sign_e * lon * 3600;
    *org_north = (sign_n * lat + 1) * 3600;
    return 0;
}

// Reads exactly len bytes; false when the file ends or fails first.
bool read_all(int fd, uint8_t* p, int len) {
    while (len > 0) {
        int n = u_read(fd, p, len);
        if (n <= 0) return false;
        p += n;
        len -= n;
    }
    return true;
}

// The header's count at b (four decimal digits), or -1.
int header_count(const uint8_t* b) {
    int v = 0;
    for (int i = 0; i < 4; i++) {
        if (!is_digit(static_cast<char>(b[i]))) return -1;
        v = v * 10 + (b[i] - '0');
    }
    return v;
}

// Opens the tile, checks its profile count against the accepted ones and reads `profiles`
// records into dst in file order. 0, -5 or -6; *count gets the file's profile count. The file
// must be what its header says: the user header label's mark, as many longitude lines as the
// file holds records (and not a byte more), 1201 points a line; every record must start with its
// sentinel and end with the sum of its other bytes.
int read_tile(int16_t* dst, const char* dir_name, const char* filename, bool short_allowed,
              int* count) {
    std::string path = std::string(dir_name) + "/" + filename;
    int fd = u_open_regular(path.c_str(), O_RDONLY);
    if (fd < 0) return -5;
    int64_t size = u_lseek64(fd, 0, SEEK_END);
    int64_t p = size < DTED_HEADER_SIZE ? 0 : (size - DTED_HEADER_SIZE) / DTED_RECORD_SIZE;
    if (p != 1201 && !(short_allowed && p == 601)) {
        ss_printf("LENGTH %i\n", static_cast<int>(p > 0x7fffffff ? 0x7fffffff : p));
        u_close(fd);
        return -6;
    }
    auto refuse = [&](const char* why, int record) {
        if (record < 0)
            ss_printf("DTED %s: %s\n", path.c_str(), why);
        else
            ss_printf("DTED %s: record %i %s\n", path.c_str(), record, why);
        u_close(fd);
        return -6;
    };
    uint8_t uhl[UHL_SIZE];
    if (u_lseek64(fd, 0, SEEK_SET) != 0 || !read_all(fd, uhl, UHL_SIZE))
        return refuse("header cannot be read", -1);
    if (std::memcmp(uhl, "UHL", 3) != 0) return refuse("no user header label", -1);
    if (header_count(uhl + UHL_LON_LINES) != p || header_count(uhl + UHL_LAT_POINTS) != 1201 ||
        size != DTED_HEADER_SIZE + p * DTED_RECORD_SIZE)
        return refuse("size does not match the header", -1);
    *count = static_cast<int>(p);
    if (u_lseek64(fd, DTED_HEADER_SIZE, SEEK_SET) != DTED_HEADER_SIZE)
        return refuse("header cannot be read", -1);
    uint8_t rec[DTED_RECORD_SIZE];
    for (int k = 0; k < *count; k++) {
        if (!read_all(fd, rec, DTED_RECORD_SIZE)) return refuse("cannot be read", k);
        if (rec[0] != RECORD_SENTINEL) return refuse("has no sentinel", k);
        uint32_t sum = 0;
        for (int b = 0; b < SAMPLE_OFFSET; b++)
            sum += rec[b];
        int16_t* out = dst + static_cast<size_t>(k) * DTED_SAMPLES;
        for (int s = 0; s < DTED_SAMPLES; s++) {
            const uint8_t* q = rec + SAMPLE_OFFSET + 2 * s;
            sum += q[0] + q[1];
            uint16_t v = get_be16(q);
            out[s] = (v & 0x8000) ? static_cast<int16_t>(-(v & 0x7fff)) : static_cast<int16_t>(v);
        }
        if (sum != get_be32(rec + DTED_RECORD_SIZE - 4)) return refuse("checksum differs", k);
    }
    u_close(fd);
    return 0;
}

// Spreads 601 profiles over 1201: profile k to 2k, the odd ones the truncated mean of their
// neighbours (a void beside anything stays a void).
void stretch(int16_t* prof) {
    for (int k = 600; k > 0; k--)
        std::memcpy(prof + static_cast<size_t>(2 * k) * DTED_SAMPLES,
                    prof + static_cast<size_t>(k) * DTED_SAMPLES, DTED_SAMPLES * sizeof(int16_t));
    for (int i = 0; i < 600; i++) {
        const int16_t* a = prof + static_cast<size_t>(2 * i) * DTED_SAMPLES;
        const int16_t* b = a + 2 * DTED_SAMPLES;
        int16_t* m = prof + static_cast<size_t>(2 * i + 1) * DTED_SAMPLES;
        for (int s = 0; s < DTED_SAMPLES; s++)
            m[s] = (a[s] == DTED_VOID || b[s] == DTED_VOID)
                       ? DTED_VOID
                       : static_cast<int16_t>((a[s] + b[s]) / 2);
    }
}

}  // namespace

int load_dted1(int16_t* data, int* org_east, int* org_north, int* line_nos_p, const char* dir_name,
               const char* filename, int cmd) {
    static const char* const dt1[] = {".dt1", nullptr};
    int action = cmd & 0x0f;
    int rc = tile_origin(dir_name, filename, dt1, org_east, org_north);
    if (rc < 0) return rc;
    if (action < DTED_ORIGIN || action > DTED_ROWS) return -7;
    if (action == DTED_ORIGIN) return 0;
    int16_t* prof = data;
    if (action == DTED_ROWS)
        prof = static_cast<int16_t*>(d_alloc(int64_t{DTED_SAMPLES} * DTED_SAMPLES * 2));
    int p = 0;
    rc = read_tile(prof, dir_name, filename, true, &p);
    if (rc < 0) {
        if (prof != data) d_f_ree(prof);
        return rc;
    }
    if (line_nos_p) *line_nos_p = p;
    if ((cmd & 0xf0) == DTED_STRETCH && p == 601) {
        stretch(prof);
        p = 1201;
    }
    if (action == DTED_ROWS) {
        for (int r = 0; r < DTED_SAMPLES; r++) {
            int16_t* row = data + static_cast<size_t>(r) * p;
            for (int k = 0; k < p; k++)
                row[k] = prof[static_cast<size_t>(k) * DTED_SAMPLES + (DTED_SAMPLES - 1 - r)];
        }
        d_f_ree(prof);
    }
    return 0;
}

int load_dted2(int16_t* data, int* org_east, int* org_north, const char* dir_name,
               const char* filename, int flag) {
    static const char* const dt12[] = {".dt1", ".dt2", nullptr};
    int rc = tile_origin(dir_name, filename, dt12, org_east, org_north);
    if (rc < 0 || flag != 0) return rc;
    int p = 0;
    return read_tile(data, dir_name, filename, false, &p);
}
