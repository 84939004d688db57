#include "image/r64.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <numbers>
#include <vector>

#include "base/endian.h"
#include "base/ufile.h"
#include "image/fft.h"

thread_local int r64_error = 0;

namespace {

constexpr int HEADER_SIZE = 8;
constexpr size_t FILL_PIECE = 999;

bool retry_errno() {
    return errno == EAGAIN || errno == EINTR;
}

bool valid_type(int t) {
    return t == 'G' || t == 'P' || t == 'B';
}

// Bytes of one tile w x h in the file and in the cache.
size_t tile_bytes(int type, int w, int h) {
    if (type == 'B') return static_cast<size_t>((w + 7) / 8) * h;
    return static_cast<size_t>(w) * h * r64_pixel_bytes(type);
}

size_t tile_buffer_size(int type) {
    return tile_bytes(type, R64_TILE, R64_TILE);
}

// Rows of a bi-level level: the format's own rows are floor(W_L / 8) bytes, plus one when the
// level-0 width is not a multiple of 8, and its tiles lie 64 x h bytes apart; taken whole, that
// puts a level's second column of tiles onto a later band's rows and gives some levels rows
// shorter than their bits. Where a level is one tile wide and its rows hold its bits, the
// format's layout is kept (so such files of other writers read); elsewhere rows are
// ceil(W_L / 8) bytes and tiles 8 x h bytes apart, so that no two tiles share a byte.
int64_t row_bytes(const R64_FILE* f, int level) {
    int w = f->level_w[level];
    if (f->header.type == 'B') {
        int64_t sound = (w + 7) / 8;
        int64_t own = w / 8 + (f->header.width % 8 ? 1 : 0);
        return w <= R64_TILE && own >= sound ? own : sound;
    }
    return static_cast<int64_t>(w) * r64_pixel_bytes(f->header.type);
}

// File offset of the tile with origin (x0, y0) and height h.
int64_t tile_offset(const R64_FILE* f, int level, int x0, int y0, int h) {
    int64_t per_col = f->header.type == 'B' ? 8 : R64_TILE * r64_pixel_bytes(f->header.type);
    return f->level_ofs[level] + y0 * row_bytes(f, level) + (x0 / R64_TILE) * per_col * h;
}

uint64_t tile_key(int level, int x0, int y0) {
    return (static_cast<uint64_t>(level) << 40) | (static_cast<uint64_t>(y0 / R64_TILE) << 20) |
           static_cast<uint64_t>(x0 / R64_TILE);
}

// The background pattern byte at file offset pos (colour pixels repeat from the level starts,
// which all lie a multiple of 3 bytes after the header).
unsigned char background_at(const R64_FILE* f, int64_t pos) {
    if (f->header.type != 'P') return f->background[0];
    return f->background[(pos - HEADER_SIZE) % 3];
}

void fill_tile_background(const R64_FILE* f, unsigned char* buf, size_t from, size_t len) {
    if (f->header.type != 'P') {
        memset(buf + from, f->background[0], len - from);
        return;
    }
    for (size_t i = from; i < len; i++)
        buf[i] = f->background[i % 3];
}

bool level_exists(const R64_FILE* f, int level) {
    return level >= 0 && level < R64_MAX_LEVELS && f->level_w[level] > 0;
}

// Fills [from, to) of the file with the background pattern, in pieces of at most 999 bytes.
int fill_background(R64_FILE* f, int64_t from, int64_t to) {
    unsigned char piece[FILL_PIECE];
    while (from < to) {
        size_t n = static_cast<size_t>(std::min<int64_t>(to - from, FILL_PIECE));
        for (size_t i = 0; i < n; i++)
            piece[i] = background_at(f, from + static_cast<int64_t>(i));
        if (r64_pwrite(f->fd, piece, n, from) != static_cast<int64_t>(n)) {
            fprintf(stderr, "fill_background: %s\n", strerror(errno));
            r64_error = -1;
            return -1;
        }
        from += static_cast<int64_t>(n);
        f->file_size = std::max(f->file_size, from);
    }
    return 0;
}

int write_tile(R64_FILE* f, R64_CACHE_ENT* e) {
    int64_t ofs = tile_offset(f, e->level, e->w_ofs, e->h_ofs, e->h_len);
    size_t n = tile_bytes(f->header.type, e->w_len, e->h_len);
    if (ofs > f->file_size && fill_background(f, f->file_size, ofs) < 0) return -1;
    if (r64_pwrite(f->fd, e->buf, n, ofs) != static_cast<int64_t>(n)) {
        r64_error = -1;
        return -1;
    }
    f->file_size = std::max(f->file_size, ofs + static_cast<int64_t>(n));
    e->flags &= ~1;
    return 0;
}

// The cache entry holding the tile of (x, y) inside the level, moved to the front; null with
// r64_error set when it cannot be had.
R64_CACHE_ENT* get_tile(R64_FILE* f, int x, int y, int level) {
    R64_CACHE_ENT* head = &f->cache[0];
    R64_CACHE_ENT* first = head->next;
    if (first != head && first->level == level && x >= first->w_ofs &&
        x < first->w_ofs + first->w_len && y >= first->h_ofs && y < first->h_ofs + first->h_len)
        return first;
    int x0 = x / R64_TILE * R64_TILE, y0 = y / R64_TILE * R64_TILE;
    uint64_t key = tile_key(level, x0, y0);
    auto it = f->index.find(key);
    if (it != f->index.end()) {
        R64_CACHE_ENT* e = it->second;
        raster_ring_unlink(e);
        raster_ring_push_front(f, e);
        return e;
    }
    R64_CACHE_ENT* e = f->free_list;
    if (e) {
        f->free_list = e->next;
    } else {
        e = head->prev;
        if ((e->flags & 1) && write_tile(f, e) < 0) return nullptr;
        raster_ring_unlink(e);
        f->index.erase(tile_key(e->level, e->w_ofs, e->h_ofs));
    }
    e->level = static_cast<uint8_t>(level);
    e->w_ofs = x0;
    e->h_ofs = y0;
    e->w_len = static_cast<uint8_t>(std::min(R64_TILE, f->level_w[level] - x0));
    e->h_len = static_cast<uint8_t>(std::min(R64_TILE, f->level_h[level] - y0));
    e->flags = 0;
    int64_t ofs = tile_offset(f, level, x0, y0, e->h_len);
    size_t n = tile_bytes(f->header.type, e->w_len, e->h_len);
    int64_t have = std::clamp<int64_t>(f->file_size - ofs, 0, static_cast<int64_t>(n));
    if (have < static_cast<int64_t>(n) && !f->fctl) {
        r64_error = -6;
        e->next = f->free_list;
        f->free_list = e;
        return nullptr;
    }
    if (have > 0 && r64_pread(f->fd, e->buf, static_cast<size_t>(have), ofs) != have) {
        r64_error = -1;
        e->next = f->free_list;
        f->free_list = e;
        return nullptr;
    }
    if (have < static_cast<int64_t>(n)) {
        // Beyond the file: the tile starts as background (what is there is kept).
        fill_tile_background(f, e->buf, static_cast<size_t>(have), n);
        e->flags |= 1;
    }
    raster_ring_push_front(f, e);
    f->index.emplace(key, e);
    return e;
}

// Pixel (x, y) of a cached tile: the byte index, or for 'B' the byte and bit.
size_t pixel_index(const R64_FILE* f, const R64_CACHE_ENT* e, int x, int y, int* bit) {
    int dx = x - e->w_ofs, dy = y - e->h_ofs;
    if (f->header.type == 'B') {
        *bit = 7 - dx % 8;
        return static_cast<size_t>(dy) * ((e->w_len + 7) / 8) + dx / 8;
    }
    return (static_cast<size_t>(dy) * e->w_len + dx) * r64_pixel_bytes(f->header.type);
}

// Releases the file: 0, or -1 when its close failed.
int free_file(R64_FILE* f) {
    for (int i = 1; i < R64_ENT_LEN; i++)
        free(f->cache[i].buf);
    int r = f->fd >= 0 ? u_close(f->fd) : 0;
    delete f;
    return r;
}

}  // namespace

void r64_init() {
    r64_error = 0;
}

int r64_pixel_bytes(int type) {
    return type == 'P' ? 3 : 1;
}

int r64_levels(int width, int height, int* level_w, int* level_h, int* extra_w, int* extra_h) {
    int w = width, h = height, n = 0;
    for (int i = 0; i < R64_MAX_LEVELS; i++) {
        level_w[i] = 0;
        level_h[i] = 0;
    }
    while (n < R64_MAX_LEVELS) {
        int nw = (w + 1) / 2, nh = (h + 1) / 2;
        if (nw < 2 || nh < 2) break;
        level_w[n] = w;
        level_h[n] = h;
        n++;
        w = nw;
        h = nh;
    }
    if (extra_w) *extra_w = w;
    if (extra_h) *extra_h = h;
    return n;
}

int r64_open_fd(const char* filename, int ctl, int mode) {
    for (;;) {
        int fd = u_open64(filename, ctl, mode);
        if (fd >= 0) return fd;
        if (!retry_errno()) break;
    }
    r64_error = -1;
    return -1;
}

int64_t r64_pread(int fd, void* buf, size_t len, int64_t ofs) {
    size_t got = 0;
    if (u_lseek64(fd, ofs, SEEK_SET) != ofs) return -1;
    while (got < len) {
        int want = static_cast<int>(std::min<size_t>(len - got, 1u << 30));
        int n = u_read(fd, static_cast<unsigned char*>(buf) + got, want);
        if (n < 0 && retry_errno()) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(got);
}

int64_t r64_pwrite(int fd, const void* buf, size_t len, int64_t ofs) {
    if (u_lseek64(fd, ofs, SEEK_SET) != ofs || u_write_full(fd, buf, len) != 0) return -1;
    return static_cast<int64_t>(len);
}

R64_FILE* r64_open_file(const char* filename, int ctl, int mode, int filetype, int width,
                        int height) {
    R64_FILE* f = raster_file_open<R64_FILE>(filename, ctl, mode);
    if (!f) return nullptr;
    int fd = f->fd;
    int acc = ctl & O_ACCMODE;
    unsigned char hd[HEADER_SIZE];
    int64_t n = r64_pread(fd, hd, HEADER_SIZE, 0);
    if (n < 0) {
        r64_error = -1;
        free_file(f);
        return nullptr;
    }
    if (n == 0 && acc == O_RDWR) {
        if (!valid_type(filetype) || width < 1 || height < 1 || width > INT16_MAX ||
            height > INT16_MAX) {
            r64_error = -5;
            free_file(f);
            return nullptr;
        }
        memcpy(hd, "R64", 3);
        hd[3] = static_cast<unsigned char>(filetype);
        put_be16(hd + 4, static_cast<uint16_t>(width));
        put_be16(hd + 6, static_cast<uint16_t>(height));
        if (r64_pwrite(fd, hd, HEADER_SIZE, 0) != HEADER_SIZE) {
            r64_error = -1;
            free_file(f);
            return nullptr;
        }
    } else if (n < HEADER_SIZE) {
        r64_error = -4;
        free_file(f);
        return nullptr;
    }
    memcpy(f->header.preamble, hd, 3);
    f->header.type = static_cast<char>(hd[3]);
    f->header.width = static_cast<int16_t>(get_be16(hd + 4));
    f->header.height = static_cast<int16_t>(get_be16(hd + 6));
    if (memcmp(hd, "R64", 3) != 0 || !valid_type(f->header.type) || f->header.width < 1 ||
        f->header.height < 1) {
        r64_error = -5;
        free_file(f);
        return nullptr;
    }
    f->file_size = u_lseek64(fd, 0, SEEK_END);
    if (f->file_size < 0) {
        r64_error = -1;
        free_file(f);
        return nullptr;
    }
    size_t bs = tile_buffer_size(f->header.type);
    for (int i = 1; i < R64_ENT_LEN; i++) {
        f->cache[i].buf = static_cast<unsigned char*>(malloc(bs));
        if (!f->cache[i].buf) {
            r64_error = -3;
            free_file(f);
            return nullptr;
        }
        f->cache[i].next = i + 1 < R64_ENT_LEN ? &f->cache[i + 1] : nullptr;
    }
    f->free_list = &f->cache[1];
    f->cache[0].next = f->cache[0].prev = &f->cache[0];
    f->rc_type = 1;
    int64_t ofs = HEADER_SIZE;
    r64_levels(f->header.width, f->header.height, f->level_w, f->level_h, nullptr, nullptr);
    for (int i = 0; i < R64_MAX_LEVELS; i++) {
        if (f->level_w[i] == 0) break;
        f->level_ofs[i] = ofs;
        ofs +=
            static_cast<int64_t>(f->level_w[i]) * f->level_h[i] * r64_pixel_bytes(f->header.type);
    }
    return f;
}

int r64_flush(R64_FILE* f) {
    int rc = 0;
    for (R64_CACHE_ENT* e = f->cache[0].next; e != &f->cache[0]; e = e->next)
        if ((e->flags & 1) && write_tile(f, e) < 0) rc = -1;
    if (rc == 0) r64_error = 0;
    return rc;
}

int r64_close_file(R64_FILE* f) {
    if (!f) return 0;
    // Tiles that could not be written back, or a failed close, fail the close.
    int rc = f->fctl ? r64_flush(f) : 0;
    if (free_file(f) != 0) {
        r64_error = -1;
        rc = -1;
    }
    return rc;
}

int r64_ctl(R64_FILE* f, int cmd, const void* arg) {
    if (cmd == 0 && arg) {
        int v = *static_cast<const int*>(arg);
        if (v == 0 || v == 1) {
            f->rc_type = v;
            return 0;
        }
    } else if (cmd == 1 && arg) {
        memcpy(f->background, arg, static_cast<size_t>(r64_pixel_bytes(f->header.type)));
        return 0;
    }
    r64_error = -8;
    return -1;
}

int r64_red(unsigned char* pixel, R64_FILE* f, int x, int y, int level) {
    if (!level_exists(f, level)) {
        r64_error = -9;
        return -1;
    }
    int w = f->level_w[level], h = f->level_h[level];
    if (x < 0 || y < 0 || x >= w || y >= h) {
        if (f->rc_type == 0) {
            memcpy(pixel, f->background, static_cast<size_t>(r64_pixel_bytes(f->header.type)));
            return 0;
        }
        if (f->rc_type != 1) {
            r64_error = -2;
            return -1;
        }
        x = std::clamp(x, 0, w - 1);
        y = std::clamp(y, 0, h - 1);
    }
    R64_CACHE_ENT* e = get_tile(f, x, y, level);
    if (!e) return -1;
    int bit = 0;
    size_t i = pixel_index(f, e, x, y, &bit);
    switch (f->header.type) {
        case 'B':
            pixel[0] = (e->buf[i] >> bit) & 1 ? 255 : 0;
            break;
        case 'P':
            pixel[0] = e->buf[i];
            pixel[1] = e->buf[i + 1];
            pixel[2] = e->buf[i + 2];
            break;
        default:
            pixel[0] = e->buf[i];
            break;
    }
    return 0;
}

int r64_set(R64_FILE* f, int x, int y, int level, const unsigned char* pixel) {
    if (!level_exists(f, level)) {
        r64_error = -9;
        return -1;
    }
    if (x < 0 || y < 0 || x >= f->level_w[level] || y >= f->level_h[level]) {
        r64_error = -7;
        return -1;
    }
    if (!f->fctl) {
        // A change could never be written back.
        r64_error = -1;
        return -1;
    }
    R64_CACHE_ENT* e = get_tile(f, x, y, level);
    if (!e) return -1;
    int bit = 0;
    size_t i = pixel_index(f, e, x, y, &bit);
    switch (f->header.type) {
        case 'B':
            if (pixel[0])
                e->buf[i] = static_cast<unsigned char>(e->buf[i] | (1 << bit));
            else
                e->buf[i] = static_cast<unsigned char>(e->buf[i] & ~(1 << bit));
            break;
        case 'P':
            memcpy(e->buf + i, pixel, 3);
            break;
        default:
            e->buf[i] = pixel[0];
            break;
    }
    e->flags |= 1;
    return 0;
}

int r64_plane(unsigned char** data, int* w, int* h, int* size, R64_FILE* f, int x, int y,
              int level) {
    *data = nullptr;
    if (!level_exists(f, level)) {
        r64_error = -9;
        return -1;
    }
    if (x < 0 || y < 0 || x >= f->level_w[level] || y >= f->level_h[level]) return 0;
    R64_CACHE_ENT* e = get_tile(f, x, y, level);
    if (!e) return -1;
    *data = e->buf;
    *w = e->w_len;
    *h = e->h_len;
    *size = static_cast<int>(tile_bytes(f->header.type, e->w_len, e->h_len));
    return 0;
}

int r64_check_level(R64_FILE* f, int level) {
    if (!level_exists(f, level)) return 0;
    // A 'B' level's data end after its rows of ceil(W / 8) bytes, before its reserved space.
    int64_t end = f->level_ofs[level] + row_bytes(f, level) * f->level_h[level];
    return f->file_size >= end ? 1 : 0;
}

namespace {

// Both builders need the level complete in the file and a next level.
int check_new_level(R64_FILE* f, int level) {
    if (r64_flush(f) < 0) return -1;
    if (!r64_check_level(f, level) || !level_exists(f, level + 1)) {
        r64_error = -9;
        return -1;
    }
    return 0;
}

}  // namespace

int r64_new_level(R64_FILE* f, int level) {
    return r64_new_level_lofi(f, level);
}

int r64_new_level_lofi(R64_FILE* f, int level) {
    if (check_new_level(f, level) < 0) return -1;
    int w = f->level_w[level], h = f->level_h[level];
    int start = w * h / 4096, count = start;
    for (int tx = 0; tx < w; tx += R64_TILE) {
        for (int ty = 0; ty < h; ty += R64_TILE) {
            printf("total = %i/%i  \r", count--, start);
            for (int y = ty; y < std::min(ty + R64_TILE, h); y += 2) {
                for (int x = tx; x < std::min(tx + R64_TILE, w); x += 2) {
                    int sum[3] = {0, 0, 0};
                    bool ok = true;
                    for (int k = 0; k < 4 && ok; k++) {
                        unsigned char p[3] = {0, 0, 0};
                        ok = r64_red(p, f, x + (k & 1), y + (k >> 1), level) == 0;
                        for (int c = 0; c < 3; c++)
                            sum[c] += p[c];
                    }
                    unsigned char out[3];
                    for (int c = 0; c < 3; c++)
                        out[c] = static_cast<unsigned char>(sum[c] / 4);
                    if (!ok || r64_set(f, x / 2, y / 2, level + 1, out) < 0)
                        printf("writeout err %i:%i\n", x, y);
                }
            }
        }
    }
    printf("\n");
    return 0;
}

int r64_new_level_hifi(R64_FILE* f, int level) {
    if (check_new_level(f, level) < 0) return -1;
    int w = f->level_w[level], h = f->level_h[level];
    int nw = f->level_w[level + 1], nh = f->level_h[level + 1];
    int channels = f->header.type == 'P' ? 3 : 1;
    int line_len = 4 * ((w + 1) / 2 / 4) + 12;
    std::vector<double> lines(static_cast<size_t>(channels) * 4 * line_len, 0.0);
    auto line = [&](int c, int l) { return &lines[(static_cast<size_t>(c) * 4 + l) * line_len]; };
    double window[8][8];
    for (int r = 0; r < 8; r++)
        for (int c = 0; c < 8; c++)
            window[r][c] = (1 - std::cos(2 * std::numbers::pi * c / 8)) *
                           (1 - std::cos(2 * std::numbers::pi * r / 8)) / 4;
    COMPLEX block[3][8][8];
    COMPLEX spectrum[4][4];
    COMPLEX col[8];
    for (int y = -4; y < h; y += 4) {
        printf("h = %i/%i   \r", y, h);
        fflush(stdout);
        for (int x = -4; x < w; x += 4) {
            for (int r = 0; r < 8; r++)
                for (int c = 0; c < 8; c++) {
                    unsigned char p[3] = {0, 0, 0};
                    r64_red(p, f, x + c, y + r, level);
                    for (int ch = 0; ch < channels; ch++)
                        block[ch][r][c] = COMPLEX{0.0, p[ch] * window[r][c]};
                }
            for (int ch = 0; ch < channels; ch++) {
                for (int r = 0; r < 8; r++) {
                    COMPLEX* t = fastft(block[ch][r], 3);
                    memcpy(block[ch][r], t, sizeof block[ch][r]);
                    free(t);
                }
                for (int c = 0; c < 8; c++) {
                    for (int r = 0; r < 8; r++)
                        col[r] = block[ch][r][c];
                    COMPLEX* t = fastft(col, 3);
                    for (int r = 0; r < 8; r++)
                        block[ch][r][c] = t[r];
                    free(t);
                }
                static constexpr int keep[4] = {0, 1, 6, 7};
                for (int r = 0; r < 4; r++)
                    for (int c = 0; c < 4; c++)
                        spectrum[r][c] = block[ch][keep[r]][keep[c]];
                for (int r = 0; r < 4; r++) {
                    COMPLEX* t = fastdft(spectrum[r], 2);
                    memcpy(spectrum[r], t, sizeof spectrum[r]);
                    free(t);
                }
                for (int c = 0; c < 4; c++) {
                    for (int r = 0; r < 4; r++)
                        col[r] = spectrum[r][c];
                    COMPLEX* t = fastdft(col, 2);
                    for (int r = 0; r < 4; r++)
                        spectrum[r][c] = t[r];
                    free(t);
                }
                for (int r = 0; r < 4; r++)
                    for (int c = 0; c < 4; c++)
                        line(ch, r)[x / 2 + 2 + c] += spectrum[r][c].re;
            }
        }
        for (int l = 0; l < 2; l++) {
            int oy = y / 2 + l;
            if (oy < 0 || oy >= nh) continue;
            for (int ox = 0; ox < nw; ox++) {
                unsigned char p[3] = {0, 0, 0};
                for (int ch = 0; ch < channels; ch++) {
                    double v = line(ch, l)[ox + 2];
                    int iv = v >= 256 ? 255 : v <= 0 ? 0 : static_cast<int>(v);
                    p[ch] = static_cast<unsigned char>(iv);
                }
                if (r64_set(f, ox, oy, level + 1, p) < 0) return -1;
            }
        }
        for (int ch = 0; ch < channels; ch++) {
            memcpy(line(ch, 0), line(ch, 2), sizeof(double) * 2 * line_len);
            std::fill(line(ch, 2), line(ch, 2) + 2 * line_len, 0.0);
        }
    }
    printf("\n");
    return 0;
}

void save_test(double* buf[3], int size) {
    printf("save_test %i %i\n", size, 4);
    R64_FILE* f = r64_open_file("test.r64", O_RDWR | O_CREAT | O_TRUNC, 0644, 'P', size, 4);
    if (!f) return;
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < size; x++) {
            unsigned char p[3];
            if (y == 3 || x == size - 1) {
                p[0] = 255;
                p[1] = p[2] = 0;
            } else {
                for (int c = 0; c < 3; c++) {
                    double v = buf[c][y * size + x];
                    p[c] = static_cast<unsigned char>(v >= 255 ? 255
                                                      : v <= 0 ? 0
                                                               : static_cast<int>(v));
                }
            }
            r64_set(f, x, y, 0, p);
        }
    r64_close_file(f);
}
