#include "image/cr.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/endian.h"
#include "base/panic.h"
#include "base/ufile.h"
#include "image/jpeg_glue.h"

namespace {

constexpr int JPEG_QUALITY = 80;
constexpr int JPEG_MIN_SIDE = 15;  // tiles with both sides above this are JPEG
constexpr int64_t MAX_TILE_OFFSET = int64_t{0xFFFFFFFF};

thread_local int64_t loading_file_size = 0;
thread_local int64_t indicate_file_size = 0;

int64_t tiles_across(int side, int rect) {
    return (side + rect - 1) / rect;
}

// Releases the file: 0, or -1 when its close failed.
int free_file(CR_FILE* f) {
    for (int i = 1; i < R64_ENT_LEN; i++)
        free(f->cache[i].b.buf);
    int r = f->fd >= 0 ? u_close(f->fd) : 0;
    delete f;
    return r;
}

uint64_t ent_key(int level, int x0, int y0) {
    return (static_cast<uint64_t>(level) << 40) | (static_cast<uint64_t>(y0) << 20) |
           static_cast<uint64_t>(x0);
}

bool level_exists(const CR_FILE* f, int level) {
    return level >= 0 && level < R64_MAX_LEVELS && f->level_entry[level] >= 0;
}

}  // namespace

unsigned char cr_cal(int v, int cal) {
    int t = v + cal;
    if (t > 223)
        t = (t * 32 - 7168) / 332 + 224;
    else if (t < 32)
        t = (t * 32 - 1024) / 332 + 32;
    return static_cast<unsigned char>(t & 0xFF);
}

int cr_inv_cal(int c, int cal) {
    if (c > 223)
        c = (c * 332 - 74368) / 32 + 224;
    else if (c < 32)
        c = (c * 332 - 10624) / 32 + 32;
    return c - static_cast<int8_t>(cal);
}

unsigned char* none_compress(int* size, const unsigned char* rgbx, int w, int h) {
    *size = 0;
    if (w < 1 || h < 1 || w > CR_MAX_RECT || h > CR_MAX_RECT) return nullptr;
    size_t n = 2 + static_cast<size_t>(3) * w * h;
    auto* out = static_cast<unsigned char*>(malloc(n));
    if (!out) return nullptr;
    out[0] = static_cast<unsigned char>(w - 1);
    out[1] = static_cast<unsigned char>(h - 1);
    for (size_t i = 0; i < static_cast<size_t>(w) * h; i++)
        memcpy(out + 2 + 3 * i, rgbx + 4 * i, 3);
    *size = static_cast<int>(n);
    return out;
}

unsigned char* none_uncompress(int* w, int* h, const unsigned char* data, size_t size) {
    *w = *h = 0;
    if (!data || size < 2) return nullptr;
    int tw = data[0] + 1, th = data[1] + 1;
    size_t px = static_cast<size_t>(tw) * th;
    if (size < 2 + 3 * px) return nullptr;
    auto* out = static_cast<unsigned char*>(malloc(4 * px));
    if (!out) return nullptr;
    for (size_t i = 0; i < px; i++) {
        memcpy(out + 4 * i, data + 2 + 3 * i, 3);
        out[4 * i + 3] = 0;
    }
    *w = tw;
    *h = th;
    return out;
}

unsigned char* cr_jpeg_uncompress(int* w, int* h, const unsigned char* data, size_t size) {
    *w = *h = 0;
    if (!data) return nullptr;
    // A tile is at most CR_MAX_RECT a side: a stream declaring more is refused from its header.
    return jpeg_uncompress_bounded(w, h, data, size, CR_MAX_RECT, false);
}

CR_FILE* cr_open_file(const char* filename, int ctl, int mode, int rect_size, int width,
                      int height) {
    CR_FILE* f = raster_file_open<CR_FILE>(filename, ctl, mode);
    if (!f) return nullptr;
    int fd = f->fd;
    int acc = ctl & O_ACCMODE;
    auto fail = [&](int code) {
        r64_error = code;
        free_file(f);
        return nullptr;
    };
    unsigned char hd[CR_HEADER_SIZE];
    int64_t n = r64_pread(fd, hd, CR_HEADER_SIZE, 0);
    if (n < 0) return fail(-1);
    bool fresh = n == 0 && acc == O_RDWR;
    if (fresh) {
        if (width < 1 || height < 1 || width > INT16_MAX || height > INT16_MAX || rect_size < 1 ||
            rect_size > CR_MAX_RECT)
            return fail(-5);
        memset(hd, 0, sizeof hd);
        memcpy(hd, "CR", 3);
        put_be16(hd + 4, static_cast<uint16_t>(width));
        put_be16(hd + 6, static_cast<uint16_t>(height));
        put_be16(hd + 8, static_cast<uint16_t>(rect_size));
    } else if (n < CR_HEADER_SIZE) {
        return fail(-4);
    }
    memcpy(f->header.preamble, hd, 3);
    f->header.type = hd[3];
    f->header.width = static_cast<int16_t>(get_be16(hd + 4));
    f->header.height = static_cast<int16_t>(get_be16(hd + 6));
    f->header.rect_size = get_be16(hd + 8);
    f->header.dummy = get_be16(hd + 10);
    if (memcmp(hd, "CR", 3) != 0 || f->header.width < 1 || f->header.height < 1 ||
        f->header.rect_size < 1 || f->header.rect_size > CR_MAX_RECT)
        return fail(-5);
    int rect = f->header.rect_size;
    int extra_w = 0, extra_h = 0;
    int levels =
        r64_levels(f->header.width, f->header.height, f->level_w, f->level_h, &extra_w, &extra_h);
    int64_t entries = 0;
    for (int i = 0; i < R64_MAX_LEVELS; i++) {
        f->level_entry[i] = -1;
        if (i < levels) {
            f->level_entry[i] = entries;
            entries += tiles_across(f->level_w[i], rect) * tiles_across(f->level_h[i], rect);
        }
    }
    // The table also reserves the level at which the halving stopped.
    entries += tiles_across(extra_w, rect) * tiles_across(extra_h, rect);
    if (fresh) {
        f->header.cr_tbl_nos = static_cast<uint32_t>(entries);
        put_be32(hd + 12, f->header.cr_tbl_nos);
        std::vector<unsigned char> table(CR_HEADER_SIZE +
                                         static_cast<size_t>(entries) * CR_TBL_SIZE);
        memcpy(table.data(), hd, CR_HEADER_SIZE);
        if (r64_pwrite(fd, table.data(), table.size(), 0) != static_cast<int64_t>(table.size()))
            return fail(-1);
    } else {
        f->header.cr_tbl_nos = get_be32(hd + 12);
    }
    f->file_size = u_lseek64(fd, 0, SEEK_END);
    if (f->file_size < 0) return fail(-1);
    f->write_ofs = f->file_size;
    for (int i = 1; i < R64_ENT_LEN; i++)
        f->cache[i].next = i + 1 < R64_ENT_LEN ? &f->cache[i + 1] : nullptr;
    f->free_list = &f->cache[1];
    f->cache[0].next = f->cache[0].prev = &f->cache[0];
    return f;
}

int cr_close_file(CR_FILE* f) {
    // A failed close can mean written tiles never reached the disk.
    return f && free_file(f) != 0 ? -1 : 0;
}

int cr_check_level(CR_FILE* f, int level) {
    if (!level_exists(f, level)) return 0;
    // The table reserves every level of the picture's size; a level the writer had no pixels
    // for keeps its entries at 0, and its first tile tells.
    unsigned char te[CR_TBL_SIZE];
    int64_t tofs = get_tbl_ofs(f, 0, 0, level);
    if ((tofs - CR_HEADER_SIZE) / CR_TBL_SIZE >= f->header.cr_tbl_nos ||
        r64_pread(f->fd, te, CR_TBL_SIZE, tofs) != CR_TBL_SIZE)
        return 0;
    return get_be32(te) != 0 ? 1 : 0;
}

int64_t get_tbl_ofs(CR_FILE* f, int x, int y, int level) {
    int rect = f->header.rect_size;
    int64_t entry =
        f->level_entry[level] + (y / rect) * tiles_across(f->level_w[level], rect) + x / rect;
    return CR_HEADER_SIZE + CR_TBL_SIZE * entry;
}

void free_cr_mem_tbl(CR_MEM_TBL* t) {
    free(t->buf);
    t->buf = nullptr;
}

int cr_read(CR_MEM_TBL* out, CR_FILE* f, int x, int y, int level) {
    out->buf = nullptr;
    if (!level_exists(f, level)) {
        r64_error = -9;
        return -1;
    }
    if (x < 0 || y < 0 || x >= f->level_w[level] || y >= f->level_h[level]) {
        r64_error = -7;
        return -1;
    }
    int rect = f->header.rect_size;
    int x0 = x / rect * rect, y0 = y / rect * rect;
    uint64_t key = ent_key(level, x0, y0);
    CR_ENT* e = nullptr;
    auto it = f->index.find(key);
    if (it != f->index.end()) {
        e = it->second;
        raster_ring_unlink(e);
        raster_ring_push_front(f, e);
    } else {
        int64_t tofs = get_tbl_ofs(f, x0, y0, level);
        if ((tofs - CR_HEADER_SIZE) / CR_TBL_SIZE >= f->header.cr_tbl_nos) {
            r64_error = -4;
            return -1;
        }
        unsigned char te[CR_TBL_SIZE];
        int64_t n = r64_pread(f->fd, te, CR_TBL_SIZE, tofs);
        if (n < 0) {
            r64_error = -1;
            return -1;
        }
        if (n < CR_TBL_SIZE) {
            r64_error = -4;
            return -1;
        }
        int64_t ofs = get_be32(te);
        int32_t size = static_cast<int32_t>(get_be32(te + 8));
        if (ofs == 0 || size <= 0 || ofs + size > f->file_size) {
            r64_error = -4;
            return -1;
        }
        auto* buf = static_cast<unsigned char*>(malloc(static_cast<size_t>(size)));
        if (!buf) {
            r64_error = -3;
            return -1;
        }
        n = r64_pread(f->fd, buf, static_cast<size_t>(size), ofs);
        if (n != size) {
            free(buf);
            r64_error = n < 0 ? -1 : -4;
            return -1;
        }
        e = f->free_list;
        if (e) {
            f->free_list = e->next;
        } else {
            e = f->cache[0].prev;
            raster_ring_unlink(e);
            f->index.erase(ent_key(e->level, e->w_ofs, e->h_ofs));
            free(e->b.buf);
        }
        e->b.buf = buf;
        e->b.type = static_cast<char>(te[4]);
        for (int c = 0; c < 3; c++)
            e->b.cal[c] = static_cast<int8_t>(te[5 + c]);
        e->b.size = size;
        e->w_ofs = x0;
        e->h_ofs = y0;
        e->w_len = std::min(rect, f->level_w[level] - x0);
        e->h_len = std::min(rect, f->level_h[level] - y0);
        e->level = static_cast<uint8_t>(level);
        raster_ring_push_front(f, e);
        f->index.emplace(key, e);
    }
    out->buf = static_cast<unsigned char*>(malloc(static_cast<size_t>(e->b.size)));
    if (!out->buf) {
        r64_error = -3;
        return -1;
    }
    memcpy(out->buf, e->b.buf, static_cast<size_t>(e->b.size));
    out->type = e->b.type;
    memcpy(out->cal, e->b.cal, 3);
    out->size = e->b.size;
    r64_error = 0;
    return 0;
}

int cr_decode_tile(CR_BUFFER* out, const CR_MEM_TBL* t, const CR_BUFFER* parent) {
    int w = 0, h = 0;
    unsigned char* px = nullptr;
    out->buf = nullptr;
    // With a parent, the fourth bytes of JPEG pixels are cleared in the calibration pass below
    // rather than in a pass of their own.
    if (t->type == 'j')
        px = jpeg_uncompress_bounded(&w, &h, t->buf, static_cast<size_t>(t->size), CR_MAX_RECT,
                                     parent != nullptr);
    else if (t->type == 'n')
        px = none_uncompress(&w, &h, t->buf, static_cast<size_t>(t->size));
    if (!px) return -1;
    out->w_len = w;
    out->h_len = h;
    out->buf = px;
    if (!parent) return 0;
    // cr_inv_cal of every byte, per channel, once per tile, and the clamp of parent plus
    // difference as a table. The difference spans -300 - 127 (byte 0, calibration 127) to
    // 545 + 128 (byte 255, calibration -128), so parent plus difference spans -427..928.
    constexpr int SAT_LO = -427, SAT_HI = 928;
    static const auto saturate = [] {
        std::array<unsigned char, SAT_HI - SAT_LO + 1> t{};
        for (int v = SAT_LO; v <= SAT_HI; v++)
            t[static_cast<size_t>(v - SAT_LO)] = static_cast<unsigned char>(std::clamp(v, 0, 255));
        return t;
    }();
    int inv[3][256];
    for (int c = 0; c < 3; c++)
        for (int b = 0; b < 256; b++)
            inv[c][b] = cr_inv_cal(b, t->cal[c]) - SAT_LO;
    // One pixel: the parent's pixel p plus the difference stored in q, fourth byte 0.
    auto calibrate = [&](unsigned char* q, const unsigned char* p) {
        q[0] = saturate[static_cast<size_t>(p[0] + inv[0][q[0]])];
        q[1] = saturate[static_cast<size_t>(p[1] + inv[1][q[1]])];
        q[2] = saturate[static_cast<size_t>(p[2] + inv[2][q[2]])];
        q[3] = 0;
    };
    // Columns whose parent pixel lies inside the parent tile: gx = (w_ofs + x) / 2 - parent
    // w_ofs in 0 .. parent w_len - 1 (origins are never negative, so the division floors).
    int x_lo = std::clamp(2 * parent->w_ofs - out->w_ofs, 0, w);
    int x_hi = std::clamp(2 * (parent->w_ofs + parent->w_len) - out->w_ofs, x_lo, w);
    int pofs = out->w_ofs - 2 * parent->w_ofs;
#if defined(__SSE2__)
    // Four pixels at a time in 16-bit lanes: cr_inv_cal of byte b is clamp(b, 32, 224), plus
    // (b - 224) * 332 / 32 above 224, minus (32 - b) * 332 / 32 below 32 (both quotients of
    // non-negative numbers, so shifts), minus the calibration; the saturating pack clamps parent
    // plus that to 0..255. The fourth lane subtracts more than it can hold, which packs to 0.
    const __m128i zero = _mm_setzero_si128();
    const __m128i cal16 = _mm_setr_epi16(t->cal[0], t->cal[1], t->cal[2], 1024, t->cal[0],
                                         t->cal[1], t->cal[2], 1024);
    const __m128i k32 = _mm_set1_epi16(32), k224 = _mm_set1_epi16(224);
    const __m128i k332 = _mm_set1_epi16(332);
    // For the test that all three bytes of four pixels lie in 32..223 (the fourth set to 128).
    const __m128i rgb_only = _mm_set1_epi32(0x00FFFFFF);
    const __m128i x_mid = _mm_set1_epi32(static_cast<int>(0x80000000u));
    const __m128i bias = _mm_set1_epi8(32);
    const __m128i span = _mm_set1_epi8(static_cast<char>(191));
    auto lanes = [&](__m128i q, __m128i p) {
        __m128i above =
            _mm_srli_epi16(_mm_mullo_epi16(_mm_max_epi16(_mm_sub_epi16(q, k224), zero), k332), 5);
        __m128i below =
            _mm_srli_epi16(_mm_mullo_epi16(_mm_max_epi16(_mm_sub_epi16(k32, q), zero), k332), 5);
        __m128i f =
            _mm_sub_epi16(_mm_add_epi16(_mm_min_epi16(_mm_max_epi16(q, k32), k224), above), below);
        return _mm_sub_epi16(_mm_add_epi16(p, f), cal16);
    };
#endif
    for (int y = 0; y < h; y++) {
        unsigned char* d = px + 4 * static_cast<size_t>(y) * w;
        int gy = (out->h_ofs + y) / 2 - parent->h_ofs;
        int lo = x_lo, hi = x_hi;
        if (gy < 0 || gy >= parent->h_len) lo = hi = w;
        for (int x = 0; x < lo; x++)
            d[4 * x + 3] = 0;
        const unsigned char* prow =
            lo < hi ? parent->buf + 4 * static_cast<size_t>(gy) * parent->w_len : nullptr;
        int x = lo;
#if defined(__SSE2__)
        // From a column that starts a parent pixel, each group of four covers two of them.
        if (x < hi && ((x + pofs) & 1)) {
            calibrate(d + 4 * x, prow + 4 * static_cast<size_t>((x + pofs) >> 1));
            x++;
        }
        for (; x + 4 <= hi; x += 4) {
            unsigned char* q = d + 4 * x;
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
            __m128i two = _mm_loadl_epi64(
                reinterpret_cast<const __m128i*>(prow + 4 * static_cast<size_t>((x + pofs) >> 1)));
            __m128i p = _mm_unpacklo_epi32(two, two);
            __m128i a, b;
            __m128i off = _mm_sub_epi8(_mm_or_si128(_mm_and_si128(v, rgb_only), x_mid), bias);
            if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(off, span), span)) == 0xFFFF) {
                // Every byte 32..223: the inverse is the byte itself.
                a = _mm_sub_epi16(
                    _mm_add_epi16(_mm_unpacklo_epi8(v, zero), _mm_unpacklo_epi8(p, zero)), cal16);
                b = _mm_sub_epi16(
                    _mm_add_epi16(_mm_unpackhi_epi8(v, zero), _mm_unpackhi_epi8(p, zero)), cal16);
            } else {
                a = lanes(_mm_unpacklo_epi8(v, zero), _mm_unpacklo_epi8(p, zero));
                b = lanes(_mm_unpackhi_epi8(v, zero), _mm_unpackhi_epi8(p, zero));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(q), _mm_packus_epi16(a, b));
        }
#endif
        for (; x < hi; x++)
            calibrate(d + 4 * x, prow + 4 * static_cast<size_t>((x + pofs) >> 1));
        for (x = hi; x < w; x++)
            d[4 * x + 3] = 0;
    }
    return 0;
}

namespace {

// Writes the tile at (x0, y0) of the level against its decoded parent tile (or none), then,
// above level 0, the four tiles below it.
int cr_write_tile(CR_FILE* cf, R64_FILE* r, const CR_BUFFER* parent, int x0, int y0, int level) {
    int lw = cf->level_w[level], lh = cf->level_h[level];
    if (x0 >= lw || y0 >= lh) return 0;
    int rect = cf->header.rect_size;
    int w = std::min(rect, lw - x0), h = std::min(rect, lh - y0);
    size_t npx = static_cast<size_t>(w) * h;
    std::vector<int> val(npx * 3);
    int lo[3] = {255, 255, 255}, hi[3] = {-255, -255, -255};
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            unsigned char p[3];
            if (r64_red(p, r, x0 + x, y0 + y, level) < 0) return -1;
            if (r->header.type != 'P') p[1] = p[2] = p[0];
            for (int c = 0; c < 3; c++) {
                int v = p[c];
                if (parent) {
                    int gx = (x0 + x) / 2 - parent->w_ofs, gy = (y0 + y) / 2 - parent->h_ofs;
                    v -= parent->buf[4 * (static_cast<size_t>(gy) * parent->w_len + gx) + c];
                }
                val[(static_cast<size_t>(y) * w + x) * 3 + c] = v;
                lo[c] = std::min(lo[c], v);
                hi[c] = std::max(hi[c], v);
            }
        }
    }
    loading_file_size += static_cast<int64_t>(3 * npx);
    if (loading_file_size >= indicate_file_size) {
        printf("loading %i   \r", static_cast<int>(loading_file_size));
        indicate_file_size += 10000;
    }
    int8_t cal[3];
    for (int c = 0; c < 3; c++)
        cal[c] = static_cast<int8_t>(std::clamp(128 - (lo[c] + hi[c]) / 2, -128, 127));
    std::vector<unsigned char> stored(npx * 4, 0);
    for (size_t i = 0; i < npx; i++)
        for (int c = 0; c < 3; c++) {
            int v = val[i * 3 + c];
            stored[i * 4 + c] = parent ? cr_cal(v, cal[c]) : static_cast<unsigned char>(v);
        }
    CR_MEM_TBL t{};
    if (w > JPEG_MIN_SIDE && h > JPEG_MIN_SIDE) {
        size_t len = 0;
        t.buf = jpeg_compress(&len, stored.data(), w, h, JPEG_QUALITY);
        t.type = 'j';
        t.size = static_cast<int>(len);
    } else {
        t.buf = none_compress(&t.size, stored.data(), w, h);
        t.type = 'n';
    }
    if (!t.buf) {
        r64_error = -1;
        return -1;
    }
    memcpy(t.cal, cal, 3);
    if (cf->write_ofs + t.size > MAX_TILE_OFFSET) {
        // Table offsets are 32-bit: refuse rather than wrap.
        free(t.buf);
        r64_error = -1;
        return -1;
    }
    unsigned char te[CR_TBL_SIZE];
    put_be32(te, static_cast<uint32_t>(cf->write_ofs));
    te[4] = static_cast<unsigned char>(t.type);
    for (int c = 0; c < 3; c++)
        te[5 + c] = static_cast<unsigned char>(cal[c]);
    put_be32(te + 8, static_cast<uint32_t>(t.size));
    if (r64_pwrite(cf->fd, t.buf, static_cast<size_t>(t.size), cf->write_ofs) != t.size ||
        r64_pwrite(cf->fd, te, CR_TBL_SIZE, get_tbl_ofs(cf, x0, y0, level)) != CR_TBL_SIZE) {
        free(t.buf);
        r64_error = -1;
        return -1;
    }
    cf->write_ofs += t.size;
    cf->file_size = std::max(cf->file_size, cf->write_ofs);
    if (level == 0) {
        free(t.buf);
        return 0;
    }
    if (t.type != 'j' && t.type != 'n') er_panic("_cr_write(1)");
    CR_BUFFER self{x0, y0, 0, 0, nullptr};
    int rc = cr_decode_tile(&self, &t, parent);
    free(t.buf);
    if (rc < 0 || self.w_len != w || self.h_len != h) er_panic("_cr_write(2)");
    int cx[4] = {2 * x0, 2 * x0 + rect, 2 * x0, 2 * x0 + rect};
    int cy[4] = {2 * y0, 2 * y0, 2 * y0 + rect, 2 * y0 + rect};
    for (int k = 0; k < 4 && rc == 0; k++)
        if (cr_write_tile(cf, r, &self, cx[k], cy[k], level - 1) < 0) rc = -1;
    free(self.buf);
    return rc;
}

}  // namespace

int cr_write_file(const char* filename, int mode, int rect_size, R64_FILE* r64) {
    loading_file_size = 0;
    indicate_file_size = 0;
    CR_FILE* cf = cr_open_file(filename, O_RDWR | O_CREAT | O_TRUNC, mode, rect_size,
                               r64->header.width, r64->header.height);
    if (!cf) return -1;
    printf("r64 width=%d height=%d", r64->header.width, r64->header.height);
    // The top is level 0 or the coarsest level above it that the R64 file holds whole: coarser
    // levels not yet computed have no pixels to take, and their CR entries stay unwritten.
    // Tiles changed in the R64 cache go to its file first, so that its length tells.
    int rc = r64_flush(r64);
    int top = r64->level_w[0] > 0 ? 0 : -1;
    while (rc == 0 && top >= 0 && top + 1 < R64_MAX_LEVELS && r64_check_level(r64, top + 1))
        top++;
    if (rc == 0 && top < 0) {
        r64_error = -2;
        rc = -1;
    }
    // Every tile of the top level, each writing the pyramid below it.
    for (int y = 0; rc == 0 && top >= 0 && y < cf->level_h[top]; y += rect_size)
        for (int x = 0; rc == 0 && x < cf->level_w[top]; x += rect_size)
            rc = cr_write_tile(cf, r64, nullptr, x, y, top);
    if (cr_close_file(cf) != 0 && rc == 0) {
        r64_error = -1;
        rc = -1;
    }
    printf("\n");
    if (rc == 0) r64_error = 0;
    return rc;
}
