#include "image/ppm.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/ufile.h"
#include "image/picture.h"

namespace {

// A header with its comments is read up to this many bytes, a block at a time.
constexpr size_t HEADER_MAX = size_t{64} << 10;
constexpr size_t HEADER_BLOCK = 4096;
constexpr uint64_t UNKNOWN_OFFSET = ~uint64_t{0};
// Source rows the converter keeps for its windows, at most this many bytes.
constexpr size_t CONVERTER_ROWS_BYTES = size_t{64} << 20;

bool is_space(unsigned char c) {
    return c == 9 || c == 10 || c == 13 || c == 32;
}

// Reads up to len bytes at the file's position; the count read (short at end of file).
size_t read_full(int fd, unsigned char* buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        int want = static_cast<int>(std::min<size_t>(len - got, INT_MAX));
        int n = u_read(fd, buf + got, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

bool seek_to(int fd, uint64_t offset) {
    return u_lseek64(fd, static_cast<int64_t>(offset), SEEK_SET) == static_cast<int64_t>(offset);
}

// A decimal number of digits only, at most `limit`.
bool parse_number(const char* s, size_t len, uint64_t limit, uint64_t* out) {
    if (len == 0) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < len; i++) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(s[i] - '0');
        if (v > limit) return false;
    }
    *out = v;
    return true;
}

size_t line_bytes(const PPM_INFO* p) {
    return static_cast<size_t>(p->pi_width) * 3;
}

uint64_t line_offset(const PPM_INFO* p, unsigned h) {
    return static_cast<uint64_t>(p->pi_offset) + static_cast<uint64_t>(h) * line_bytes(p);
}

// The pixel layer's 3-byte pixels fit "P6" pictures with samples of one byte only.
// Its lines are held whole in memory, so their width is under the picture cap.
bool served(const PPM_INFO* p, unsigned w, unsigned h) {
    return strcmp(p->pi_type, "P6") == 0 && p->pi_max >= 1 && p->pi_max <= 255 && w < p->pi_width &&
           h < p->pi_height && image_size_ok(p->pi_width, 1);
}

void empty_cache(PPM_INFO* p) {
    for (PPM_CACHE& e : p->pi_cache) {
        e.pc_h = 0;
        e.pc_line = nullptr;
    }
}

// Lets the cached lines go: they hold rows of the picture as its old header placed them.
void release_cache(PPM_INFO* p) {
    for (PPM_CACHE& e : p->pi_cache)
        d_f_ree(e.pc_line);
    empty_cache(p);
}

// The cached line of row h moved to the front, or null.
unsigned char* get_line(PPM_INFO* p, unsigned h) {
    for (int i = 0; i < PPM_CACHE_LINES; i++) {
        if (p->pi_cache[i].pc_line && p->pi_cache[i].pc_h == h) {
            PPM_CACHE hit = p->pi_cache[i];
            std::memmove(&p->pi_cache[1], &p->pi_cache[0], sizeof(PPM_CACHE) * i);
            p->pi_cache[0] = hit;
            return hit.pc_line;
        }
    }
    return nullptr;
}

// Takes the last entry for row h, moved to the front, with a cleared line.
unsigned char* new_line(PPM_INFO* p, unsigned h) {
    PPM_CACHE last = p->pi_cache[PPM_CACHE_LINES - 1];
    d_f_ree(last.pc_line);
    std::memmove(&p->pi_cache[1], &p->pi_cache[0], sizeof(PPM_CACHE) * (PPM_CACHE_LINES - 1));
    p->pi_cache[0].pc_h = h;
    p->pi_cache[0].pc_line =
        static_cast<unsigned char*>(d_calloc(static_cast<int64_t>(line_bytes(p)), 1));
    return p->pi_cache[0].pc_line;
}

// Writes the pending line back and drops it: 0, or -1 when the seek or the write failed (the
// line's new pixels are lost then, and the caller says so).
int flush_pending(PPM_INFO* p) {
    if (!p->pi_write) return 0;
    bool ok = seek_to(p->pi_fd, static_cast<uint64_t>(p->pi_write_offset)) &&
              u_write_full(p->pi_fd, p->pi_write, line_bytes(p)) == 0;
    // The file position moved: the next read seeks.
    p->pi_lastacc = UNKNOWN_OFFSET;
    d_f_ree(p->pi_write);
    p->pi_write = nullptr;
    return ok ? 0 : -1;
}

int write_header_as(PPM_INFO* p, const char* magic) {
    if (p->pi_width < 1 || p->pi_height < 1 || p->pi_max < 1 || p->pi_max > 255) return -1;
    // Pixels written to a held line go to the file first, where they were written.
    if (flush_pending(p) != 0) return -1;
    if (!seek_to(p->pi_fd, 0)) return -1;
    char text[64];
    int n =
        snprintf(text, sizeof text, "%s\n%u %u\n%d\n", magic, p->pi_width, p->pi_height, p->pi_max);
    if (u_write_full(p->pi_fd, text, static_cast<size_t>(n)) != 0) return -1;
    strcpy(p->pi_type, magic);
    p->pi_offset = n;
    p->pi_write_offset = 0;
    p->pi_lastacc = UNKNOWN_OFFSET;
    release_cache(p);
    return 0;
}

}  // namespace

int read_header(PPM_INFO* pi) {
    if (!seek_to(pi->pi_fd, 0)) return -1;
    // The header's bytes, read a block at a time as far as the parse needs them.
    std::vector<unsigned char> buf;
    bool eof = false;
    auto have = [&](size_t i) {
        while (i >= buf.size() && !eof && buf.size() < HEADER_MAX) {
            size_t old = buf.size(), want = std::min(HEADER_BLOCK, HEADER_MAX - old);
            buf.resize(old + want);
            size_t got = read_full(pi->pi_fd, buf.data() + old, want);
            buf.resize(old + got);
            eof = got < want;
        }
        return i < buf.size();
    };
    // A comment runs from '#' to the end of its line; its LF or CR is whitespace.
    auto skip_comment = [&](size_t* i) {
        while (have(*i) && buf[*i] != 10 && buf[*i] != 13)
            ++*i;
        return have(*i);
    };
    // The magic starts the file; each further token follows whitespace and comments.
    size_t n = 0;
    size_t tok_at[4], tok_len[4];
    int want = 4;
    for (int t = 0; t < want; t++) {
        if (t > 0) {
            for (;;) {
                if (!have(n)) return -1;
                if (buf[n] == '#') {
                    if (!skip_comment(&n)) return -1;
                } else if (is_space(buf[n])) {
                    n++;
                } else {
                    break;
                }
            }
        }
        size_t start = n;
        while (have(n) && !is_space(buf[n]) && buf[n] != '#')
            n++;
        // A token ends with a whitespace byte or a comment, never with the file.
        if (!have(n) || n == start) return -1;
        tok_at[t] = start;
        tok_len[t] = n - start;
        if (t == 0) {
            if (tok_len[0] > 3) return -1;
            if (tok_len[0] == 2 && buf[0] == 'P' && buf[1] == '4') want = 3;
        }
    }
    // The header ends with the single whitespace byte after its last token; a comment there
    // ends with its line's LF or CR.
    if (buf[n] == '#' && !skip_comment(&n)) return -1;
    n++;

    // The buffer no longer grows: its tokens stay in place.
    const char* tok[4];
    for (int t = 0; t < want; t++)
        tok[t] = reinterpret_cast<const char*>(buf.data()) + tok_at[t];
    uint64_t width, height, max = 1;
    if (!parse_number(tok[1], tok_len[1], UINT32_MAX, &width) ||
        !parse_number(tok[2], tok_len[2], UINT32_MAX, &height) || width < 1 || height < 1)
        return -1;
    if (want == 4 && (!parse_number(tok[3], tok_len[3], 65535, &max) || max < 1)) return -1;
    std::string magic(tok[0], tok_len[0]);
    // The raw kinds' pixels must fit the offsets of any file.
    unsigned __int128 row = 0;
    unsigned sample = max > 255 ? 2 : 1;
    if (magic == "P4") row = (width + 7) / 8;
    if (magic == "P5") row = static_cast<unsigned __int128>(width) * sample;
    if (magic == "P6") row = static_cast<unsigned __int128>(width) * 3 * sample;
    if (row * height + n > static_cast<unsigned __int128>(INT64_MAX)) return -1;
    memcpy(pi->pi_type, magic.c_str(), magic.size() + 1);
    pi->pi_width = static_cast<uint32_t>(width);
    pi->pi_height = static_cast<uint32_t>(height);
    pi->pi_max = static_cast<int>(max);
    pi->pi_offset = static_cast<int64_t>(n);
    pi->pi_lastacc = UNKNOWN_OFFSET;
    empty_cache(pi);
    pi->pi_write = nullptr;
    pi->pi_write_offset = 0;
    if (!seek_to(pi->pi_fd, n)) return -1;
    return 0;
}

int write_header(PPM_INFO* p) {
    return write_header_as(p, "P6");
}

int read_pixel(PPM_INFO* p, unsigned w, unsigned h, unsigned char* c) {
    if (!served(p, w, h)) return -1;
    unsigned char* line = get_line(p, h);
    if (!line) {
        uint64_t offset = line_offset(p, h);
        size_t len = line_bytes(p);
        line = new_line(p, h);
        if (p->pi_write && static_cast<uint64_t>(p->pi_write_offset) == offset) {
            // The line being written is newer than the file.
            memcpy(line, p->pi_write, len);
        } else if (offset == p->pi_lastacc || seek_to(p->pi_fd, offset)) {
            size_t got = read_full(p->pi_fd, line, len);
            p->pi_lastacc = offset + got;
        } else {
            p->pi_lastacc = UNKNOWN_OFFSET;
        }
    }
    memcpy(c, line + static_cast<size_t>(w) * 3, 3);
    return 0;
}

int write_pixel(PPM_INFO* p, unsigned w, unsigned h, const unsigned char* c) {
    if (!served(p, w, h)) return -1;
    size_t at = static_cast<size_t>(w) * 3;
    uint64_t offset = line_offset(p, h);
    bool other_line = !p->pi_write || static_cast<uint64_t>(p->pi_write_offset) != offset;
    // A line that could not be written back fails this write: its pixels are gone.
    if (other_line && flush_pending(p) != 0) return -1;
    for (PPM_CACHE& e : p->pi_cache) {
        if (e.pc_line && e.pc_h == h) {
            memcpy(e.pc_line + at, c, 3);
            break;
        }
    }
    if (other_line) {
        size_t len = line_bytes(p);
        p->pi_write = static_cast<unsigned char*>(d_calloc(static_cast<int64_t>(len), 1));
        if (seek_to(p->pi_fd, offset)) read_full(p->pi_fd, p->pi_write, len);
        p->pi_lastacc = UNKNOWN_OFFSET;
        p->pi_write_offset = static_cast<int64_t>(offset);
    }
    memcpy(p->pi_write + at, c, 3);
    return 0;
}

int close_ppm(PPM_INFO* p) {
    int r = flush_pending(p);
    for (PPM_CACHE& e : p->pi_cache) {
        d_f_ree(e.pc_line);
        e.pc_line = nullptr;
    }
    if (u_close(p->pi_fd) != 0) r = -1;
    p->pi_fd = -1;
    return r;
}

int write_ppm(PPM_INFO* p, const unsigned char* data) {
    if (write_header(p) != 0) return -1;
    size_t bytes = static_cast<size_t>(p->pi_width) * p->pi_height * 3;
    return u_write_full(p->pi_fd, data, bytes);
}

namespace {

// Whole source rows for the converter's windows: row y sits in slot y mod slots, so a window of
// up to `slots` consecutive rows reads each of its rows once, and a top-to-bottom pass reads
// every source row once.
struct RowRing {
    RowRing(const PPM_INFO* s, size_t bytes) : src(s), row_bytes(bytes) {}
    const PPM_INFO* src;
    size_t row_bytes;
    size_t slots = 0;
    std::vector<unsigned char> buf;
    std::vector<int64_t> rows;

    void reserve(int64_t window_rows) {
        int64_t limit =
            std::max<int64_t>(1, static_cast<int64_t>(CONVERTER_ROWS_BYTES / row_bytes));
        size_t want = static_cast<size_t>(
            std::min({window_rows, limit, static_cast<int64_t>(src->pi_height)}));
        if (want <= slots) return;
        slots = want;
        buf.assign(slots * row_bytes, 0);
        rows.assign(slots, -1);
    }

    const unsigned char* row(int64_t y) {
        size_t s = static_cast<size_t>(y) % slots;
        unsigned char* line = buf.data() + s * row_bytes;
        if (rows[s] != y) {
            size_t got = 0;
            if (seek_to(src->pi_fd, static_cast<uint64_t>(src->pi_offset) +
                                        static_cast<uint64_t>(y) * row_bytes))
                got = read_full(src->pi_fd, line, row_bytes);
            memset(line + got, 0, row_bytes - got);
            rows[s] = y;
        }
        return line;
    }
};

// The truncated average of the window around (x, y) clipped to the picture; false when empty.
bool get_col(unsigned char* col, RowRing& ring, int bpp, int64_t x, int64_t y, int64_t r_width,
             int64_t r_height) {
    const PPM_INFO* src = ring.src;
    if (r_width < 0 || r_height < 0) return false;
    int64_t x0 = std::max<int64_t>(0, x - r_width),
            x1 = std::min<int64_t>(src->pi_width - 1, x + r_width);
    int64_t y0 = std::max<int64_t>(0, y - r_height),
            y1 = std::min<int64_t>(src->pi_height - 1, y + r_height);
    if (x0 > x1 || y0 > y1) return false;
    ring.reserve(y1 - y0 + 1);
    int64_t sum[3] = {0, 0, 0};
    for (int64_t yy = y0; yy <= y1; yy++) {
        const unsigned char* line = ring.row(yy);
        const unsigned char* p = line + x0 * bpp;
        const unsigned char* end = line + (x1 + 1) * bpp;
        if (bpp == 3) {
            for (; p < end; p += 3) {
                sum[0] += p[0];
                sum[1] += p[1];
                sum[2] += p[2];
            }
        } else {
            for (; p < end; p++)
                sum[0] += *p;
        }
    }
    int64_t count = (x1 - x0 + 1) * (y1 - y0 + 1);
    for (int i = 0; i < bpp; i++)
        col[i] = static_cast<unsigned char>(sum[i] / count);
    return true;
}

}  // namespace

int ppm_converter(const char* from_ppm, const char* to_ppm, int width, int height,
                  PPM_CONVERT_FUNC func, void* work) {
    if (!func || !image_size_ok(width, 1) || height < 1) return -1;
    auto* src = static_cast<PPM_INFO*>(d_calloc(2, sizeof(PPM_INFO)));
    PPM_INFO* dst = src + 1;
    int rc = -1;
    src->pi_fd = u_open64(from_ppm, O_RDONLY);
    if (src->pi_fd < 0) {
        fprintf(stderr, "cannot open the file \"%s\"\n", from_ppm);
        d_f_ree(src);
        return -1;
    }
    bool p5 = false;
    // The converter keeps whole source rows: their width is under the picture cap.
    if (read_header(src) == 0 && src->pi_max <= 255 && image_size_ok(src->pi_width, 1) &&
        (strcmp(src->pi_type, "P6") == 0 || (p5 = strcmp(src->pi_type, "P5") == 0))) {
        *dst = *src;
        dst->pi_width = static_cast<uint32_t>(width);
        dst->pi_height = static_cast<uint32_t>(height);
        dst->pi_fd = u_open64(to_ppm, O_RDWR | O_CREAT | O_TRUNC, 0644);
        if (dst->pi_fd < 0) {
            fprintf(stderr, "cannot open the file \"%s\"\n", to_ppm);
        } else {
            int bpp = p5 ? 1 : 3;
            RowRing ring(src, static_cast<size_t>(src->pi_width) * bpp);
            std::vector<unsigned char> out(static_cast<size_t>(width) * bpp);
            bool good =
                write_header_as(dst, p5 ? "P5" : "P6") == 0 && seek_to(dst->pi_fd, dst->pi_offset);
            for (int y = 0; good && y < height; y++) {
                for (int x = 0; x < width; x++) {
                    int sx = x, sy = y, rw = 0, rh = 0;
                    unsigned char* col = out.data() + static_cast<size_t>(x) * bpp;
                    bool have = func(&sx, &sy, &rw, &rh, work) >= 0 && sx >= 0 && sy >= 0 &&
                                static_cast<uint32_t>(sx) < src->pi_width &&
                                static_cast<uint32_t>(sy) < src->pi_height &&
                                get_col(col, ring, bpp, sx, sy, rw, rh);
                    if (!have) memset(col, 128, bpp);
                }
                good = u_write_full(dst->pi_fd, out.data(), out.size()) == 0;
            }
            // A failed close can mean the rows never reached the disk.
            if (u_close(dst->pi_fd) != 0) good = false;
            if (good) rc = 0;
        }
    }
    u_close(src->pi_fd);
    d_f_ree(src);
    return rc;
}
