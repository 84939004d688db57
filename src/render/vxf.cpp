// The vxf bitmap-font engine: size lists, size files and drawing.
#include "render/vxf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/alloc.h"
#include "longchar/longchar.h"

LC_FONT_ENGINE_TYPE vxf_font_engine_type = {
    "vxf",  vxf_get_font, vxf_get_string_pic,    nullptr,
    {0, 0}, nullptr,      vxf_get_string_metric, vxf_get_string_pic_into};
LC_FONT_ENGINE vxf_font_engine = {nullptr, "vxf", &vxf_font_engine_type, nullptr};

namespace {

char* font_root = nullptr;
std::once_flag vxf_once;
constexpr int64_t SIZE_LIST_MAX = 64 << 10;  // a longer size list is read up to here
constexpr int SIZES_MAX = 256;

// Reads up to cap bytes of the file at path into a new tracked block; its length in *len (the
// file's length in *file_len when given). Null when the file cannot be read, is longer than cap
// and whole is true, or changes length under the read.
unsigned char* read_file(const char* path, int64_t cap, bool whole, int64_t* len,
                         int64_t* file_len = nullptr) {
    // Not blocking: a FIFO in place of a font file must not stall the reader; only regular files
    // are read.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (whole && st.st_size > cap)) {
        close(fd);
        errno = EFBIG;
        return nullptr;
    }
    int64_t n = std::min<int64_t>(st.st_size, cap);
    auto* buf = static_cast<unsigned char*>(d_alloc(n + 1));
    int64_t got = 0;
    while (got < n) {
        ssize_t r = pread(fd, buf + got, static_cast<size_t>(n - got), got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += r;
    }
    close(fd);
    if (got != n) {
        d_f_ree(buf);
        errno = EIO;
        return nullptr;
    }
    buf[n] = 0;
    *len = n;
    if (file_len) *file_len = st.st_size;
    return buf;
}

struct Header {
    int32_t st_no, end_no, nos;
};

// The header's range fields, checked against a file of len bytes: the glyph table lies inside
// the file and covers every code of [st_no, end_no).
bool read_header(const unsigned char* b, int64_t len, Header* h) {
    if (len < VXF_HEADER) return false;
    h->st_no = static_cast<int32_t>(get_be32(b + 244));
    h->end_no = static_cast<int32_t>(get_be32(b + 248));
    h->nos = static_cast<int32_t>(get_be32(b + 252));
    if (h->nos < 0 || h->nos > (len - VXF_HEADER) / VXF_ENTRY) return false;
    if (h->st_no < 0 || h->end_no < h->st_no) return false;
    return int64_t{h->end_no} - h->st_no <= h->nos;
}

bool side_ok(int v) {
    return v > -VXF_MAX_SIDE && v < VXF_MAX_SIDE;
}

// One entry, checked against the file: a box that does not fit the limits, or a negative
// advance, makes the blank glyph (marked by a type of -1); a bitmap outside the file drops the
// bitmap only.
VXF_OFS read_entry(const unsigned char* b, int64_t len, int size) {
    VXF_OFS g;
    g.st_x = static_cast<int16_t>(get_be16(b));
    g.st_y = static_cast<int16_t>(get_be16(b + 2));
    g.end_x = static_cast<int16_t>(get_be16(b + 4));
    g.end_y = static_cast<int16_t>(get_be16(b + 6));
    g.w = static_cast<int16_t>(get_be16(b + 8));
    g.type = static_cast<int16_t>(get_be16(b + 10));
    g.ofs = get_be32(b + 12);
    if (!side_ok(g.st_x) || !side_ok(g.st_y) || !side_ok(g.end_x) || !side_ok(g.end_y) ||
        g.st_x > g.end_x || g.st_y > g.end_y || g.w < 0 || g.w >= VXF_MAX_SIDE) {
        g = {0, 0, 0, 0, static_cast<int16_t>(size), -1, 0};
        return g;
    }
    if (g.type != 1 && g.type != 2) g.type = 0;
    int64_t n = vxf_get_len(&g);
    if (g.type && (g.ofs == 0 || g.ofs > len || n > len - g.ofs)) g.type = 0;
    return g;
}

// Loads the size's file and glyph table once; false when the file cannot be read or no longer
// matches the header checked when the size was listed.
bool load_size(VXF_DATA* d) {
    if (d->ofs.load(std::memory_order_acquire)) return true;
    TaskLockGuard g(d->load_lock);
    if (d->ofs.load(std::memory_order_relaxed)) return true;
    int64_t len = 0;
    unsigned char* bytes = read_file(d->path, VXF_MAX_FILE, true, &len);
    Header h;
    if (!bytes || !read_header(bytes, len, &h) || h.st_no != d->st_no || h.end_no != d->end_no ||
        h.nos != d->nos) {
        fprintf(stderr, "load font : %s %s\n", d->path, bytes ? "damaged" : strerror(errno));
        if (bytes) d_f_ree(bytes);
        return false;
    }
    auto* tbl = static_cast<VXF_OFS*>(d_alloc(std::max(1, h.nos) * int64_t{sizeof(VXF_OFS)}));
    for (int i = 0; i < h.nos; i++)
        tbl[i] = read_entry(bytes + VXF_HEADER + int64_t{i} * VXF_ENTRY, len, d->size);
    auto* pix = static_cast<std::atomic<unsigned char*>*>(
        d_alloc(std::max(1, h.nos) * int64_t{sizeof(std::atomic<unsigned char*>)}));
    for (int i = 0; i < std::max(1, h.nos); i++)
        new (&pix[i]) std::atomic<unsigned char*>(nullptr);
    d->bytes = bytes;
    d->len = len;
    d->pix = pix;
    d->ofs.store(tbl, std::memory_order_release);
    return true;
}

// A font name as bytes of the default code method, in buf; false when a character cannot be
// written or the name does not fit. Works on any thread (no temporary buffers of a task).
bool encode_name(const L_CHAR* name, char* buf, size_t cap) {
    CODE_METHOD* cm = std_cm;
    if (!cm || !name || cm->max_ret > 64 || cm->close_max > 64) return false;
    void* work = cm->open();
    size_t n = 0;
    unsigned char tmp[64];
    bool ok = true;
    auto put = [&](int k) {
        if (k <= 0 || n + static_cast<size_t>(k) >= cap) return false;
        memcpy(buf + n, tmp, static_cast<size_t>(k));
        n += static_cast<size_t>(k);
        return true;
    };
    for (; ok && *name; name++)
        ok = put(cm->to_external(tmp, work, *name));
    int k = cm->close(ok ? tmp : nullptr, work);
    if (ok && k > 0) ok = put(k);
    buf[ok ? n : 0] = 0;
    return ok;
}

VXF_OFS blank_glyph(int size) {
    return {0, 0, 0, 0, static_cast<int16_t>(size), -1, 0};
}

}  // namespace

void vxf_init() {
    std::call_once(vxf_once, [] {
        const char* root = getenv("VXMX_FONT_ROOT");
        if (root && *root) font_root = d_strdup(root);
        TaskLockGuard g(get_wct_lock());
        _insert_font_engine(&vxf_font_engine);
    });
}

const char* vxf_font_root() {
    return font_root;
}

int vxf_get_len(const VXF_OFS* g) {
    int64_t cols = int64_t{g->end_x} - g->st_x, rows = int64_t{g->end_y} - g->st_y;
    if (cols <= 0 || rows <= 0) return 0;
    if (g->type == 1) return static_cast<int>((cols * rows + 7) / 8);
    if (g->type == 2) return static_cast<int>(cols * rows);
    return 0;
}

int vxf_parse_size_list(const char* text, int64_t len, int* sizes, int max) {
    int n = 0;
    int64_t i = 0;
    while (i < len) {
        while (i < len && isspace(static_cast<unsigned char>(text[i])))
            i++;
        if (i >= len) break;
        // A token of at most 19 characters; a longer one continues as the next token.
        char tok[20];
        int k = 0;
        while (i < len && k < 19 && !isspace(static_cast<unsigned char>(text[i])) && text[i])
            tok[k++] = text[i++];
        if (k == 0) break;  // a zero byte ends the list
        tok[k] = 0;
        if (strcmp(tok, "end") == 0) break;
        if (n < max) sizes[n++] = atoi(tok);
    }
    return n;
}

VXF_DATA* vxf_open_size(const char* path, int size) {
    // A size that is not positive (a listed word that is no number reads as 0) draws nothing
    // and is left out, as is one above the largest size drawn.
    if (size <= 0 || size > VXF_MAX_SIZE) return nullptr;
    int64_t len = 0, file_len = 0;
    unsigned char* head = read_file(path, VXF_HEADER, false, &len, &file_len);
    if (!head) {
        fprintf(stderr, " %s\n", strerror(errno));
        return nullptr;
    }
    Header h;
    bool ok = len == VXF_HEADER && file_len <= VXF_MAX_FILE;
    if (ok) {
        // The table's bounds are checked against the whole file's length.
        ok = read_header(head, file_len, &h);
    }
    d_f_ree(head);
    if (!ok) {
        fprintf(stderr, " %s: damaged size file\n", path);
        return nullptr;
    }
    auto* d = static_cast<VXF_DATA*>(d_calloc(1, sizeof(VXF_DATA)));
    new (&d->ofs) std::atomic<const VXF_OFS*>(nullptr);
    new (&d->pix_bytes) std::atomic<int64_t>(0);
    d->path = d_strdup(path);
    d->size = size;
    d->st_no = h.st_no;
    d->end_no = h.end_no;
    d->nos = h.nos;
    d->file_len = file_len;
    new_lock(&d->load_lock);
    return d;
}

void vxf_free_size(VXF_DATA* d) {
    if (!d) return;
    if (const VXF_OFS* t = d->ofs.load()) {
        for (int i = 0; i < d->nos; i++)
            if (unsigned char* px = d->pix[i].load()) d_f_ree(px);
        d_f_ree(d->pix);
        d_f_ree(const_cast<VXF_OFS*>(t));
    }
    if (d->bytes) d_f_ree(d->bytes);
    d_f_ree(d->path);
    close_lock(d->load_lock);
    d_f_ree(d);
}

VXF_DATA* get_vxf_dat(const char* fontname, int size) {
    if (!font_root) return nullptr;
    char path[4096];
    int n = snprintf(path, sizeof path, "%s/%s/%i.vxf", font_root, fontname, size);
    if (n < 0 || n >= static_cast<int>(sizeof path)) return nullptr;
    fprintf(stderr, "vxf load : %s\t", path);
    VXF_DATA* d = vxf_open_size(path, size);
    if (d) fputc('\n', stderr);
    return d;
}

int vxf_get_font(LC_FONT* font, LC_FONT_ENGINE* fe) {
    if (!font_root) return -1;
    char fname[1024];
    // A font is a directory directly below the root: a name that would leave it is refused.
    if (!encode_name(font->fontname, fname, sizeof fname) || !fname[0] || strchr(fname, '/') ||
        strcmp(fname, ".") == 0 || strcmp(fname, "..") == 0)
        return -1;
    char path[4096];
    int n = snprintf(path, sizeof path, "%s/%s/sizelist.txt", font_root, fname);
    if (n < 0 || n >= static_cast<int>(sizeof path)) return -1;
    int64_t len = 0;
    unsigned char* text = read_file(path, SIZE_LIST_MAX, false, &len);
    if (!text) {
        fprintf(stderr, " %s\n", strerror(errno));
        return -1;
    }
    int sizes[SIZES_MAX];
    int count = vxf_parse_size_list(reinterpret_cast<char*>(text), len, sizes, SIZES_MAX);
    d_f_ree(text);
    auto* vf = static_cast<VXF_FONT*>(d_calloc(1, sizeof(VXF_FONT)));
    vf->dat = static_cast<VXF_DATA**>(d_calloc(std::max(1, count), sizeof(VXF_DATA*)));
    for (int i = 0; i < count; i++)
        if (VXF_DATA* d = get_vxf_dat(fname, sizes[i])) {
            if (vf->len) vf->dat[vf->len - 1]->next = d;
            vf->dat[vf->len++] = d;
        }
    // A size file draws [st_no, end_no); a size list's range names its last character, so the
    // next font in a list draws end_no. A size with no characters claims none.
    for (int i = 0; i < vf->len; i++) {
        if (vf->dat[i]->end_no <= vf->dat[i]->st_no) continue;
        LC_FONT_SIZE_LIST sl{nullptr, vf->dat[i]->size,
                             font->lcz[0] | static_cast<L_CHAR>(vf->dat[i]->st_no),
                             font->lcz[0] | static_cast<L_CHAR>(vf->dat[i]->end_no - 1)};
        _insert_lc_font_size_list(font, &sl);
    }
    insert_font_work(font, fe, vf);
    return 0;
}

namespace {
// Each byte value of a 1-bit row as eight pixel masks, the first pixel in the high bit: 0xFF
// where the bit is set (no ink), 0 where it is clear.
struct BitMasks {
    uint64_t m[256];
    BitMasks() {
        for (int v = 0; v < 256; v++) {
            unsigned char px[8];
            for (int j = 0; j < 8; j++)
                px[j] = (v >> (7 - j)) & 1 ? 0xFF : 0;
            memcpy(&m[v], px, 8);
        }
    }
};
const BitMasks bit_masks;

// Inks the n pixels from dst whose bits, counted from bit `bit` of the glyph's nbytes bytes, are
// clear. Pixels already inked stay inked, so eight pixels at a time are ANDed with the masks of
// their bits.
void ink_bits(unsigned char* dst, const unsigned char* bm, int64_t nbytes, int64_t bit, int n) {
    int c = 0;
    for (; c + 8 <= n; c += 8) {
        const int64_t b = bit + c, k = b >> 3;
        const int s = static_cast<int>(b & 7);
        unsigned v = unsigned{bm[k]} << 8;
        if (s && k + 1 < nbytes) v |= bm[k + 1];
        v = (v << s >> 8) & 0xFF;
        if (v == 0xFF) continue;
        uint64_t px;
        memcpy(&px, dst + c, 8);
        px &= bit_masks.m[v];
        memcpy(dst + c, &px, 8);
    }
    for (; c < n; c++) {
        const int64_t b = bit + c;
        if (!((bm[b >> 3] >> (7 - (b & 7))) & 1)) dst[c] = 0;
    }
}
}  // namespace

namespace {
// The pixels of one-bit glyph idx (g), 0 ink and 255 none, row by row: unpacked on its first
// drawing and kept; null when the glyph is too large or the size's share is used up. Threads
// drawing one glyph at once each unpack it; the first to publish wins.
const unsigned char* glyph_pixels(VXF_DATA* d, int64_t idx, const VXF_OFS& g) {
    std::atomic<unsigned char*>& slot = d->pix[idx];
    if (unsigned char* px = slot.load(std::memory_order_acquire)) return px;
    const int cols = g.end_x - g.st_x, rows = g.end_y - g.st_y;
    const int64_t n = int64_t{cols} * rows;
    if (n <= 0 || n > VXF_PIX_GLYPH) return nullptr;
    if (d->pix_bytes.fetch_add(n, std::memory_order_relaxed) + n > VXF_PIX_BYTES) {
        d->pix_bytes.fetch_sub(n, std::memory_order_relaxed);
        return nullptr;
    }
    auto* px = static_cast<unsigned char*>(d_alloc(n));
    memset(px, 255, static_cast<size_t>(n));
    const int64_t nbytes = (n + 7) >> 3;
    for (int r = 0; r < rows; r++)
        ink_bits(px + int64_t{r} * cols, d->bytes + g.ofs, nbytes, int64_t{r} * cols, cols);
    unsigned char* none = nullptr;
    if (slot.compare_exchange_strong(none, px, std::memory_order_acq_rel)) return px;
    d_f_ree(px);
    d->pix_bytes.fetch_sub(n, std::memory_order_relaxed);
    return none;
}

// n bytes of each of rows rows ANDed into dst from src (ink over ink stays ink), the rows
// dstride and sstride bytes apart. The common glyph widths get loops of a fixed width.
template <int N>
void and_rows_n(unsigned char* dst, int64_t dstride, const unsigned char* src, int sstride,
                int rows) {
    for (int r = 0; r < rows; r++, dst += dstride, src += sstride) {
        unsigned char a[N], b[N];
        memcpy(a, dst, N);
        memcpy(b, src, N);
        for (int k = 0; k < N; k++)
            a[k] &= b[k];
        memcpy(dst, a, N);
    }
}

void and_rows(unsigned char* dst, int64_t dstride, const unsigned char* src, int sstride, int n,
              int rows) {
    switch (n) {
        case 8:
            return and_rows_n<8>(dst, dstride, src, sstride, rows);
        case 16:
            return and_rows_n<16>(dst, dstride, src, sstride, rows);
        case 32:
            return and_rows_n<32>(dst, dstride, src, sstride, rows);
    }
    for (int r = 0; r < rows; r++, dst += dstride, src += sstride)
        for (int k = 0; k < n; k++)
            dst[k] &= src[k];
}

// The run's rectangle and width; with draw, its raster too (into `into` when it fits in cap
// bytes). True when the run has a raster (drawn or, without draw, one that drawing would give).
bool draw_or_measure(VXF_DATA* d, LC_STRING_PIC* p, const LCF_SET* str, int len, bool draw,
                     unsigned char* into = nullptr, int64_t cap = 0) {
    p->pic = nullptr;
    if (!d || len <= 0 || !load_size(d)) return false;
    const VXF_OFS* tbl = d->ofs.load(std::memory_order_acquire);
    // The glyphs of the run, then the picture's extent.
    constexpr int RUN = 64;
    VXF_OFS local[RUN];
    int32_t local_idx[RUN];  // each glyph's entry in the table, -1 for a blank
    VXF_OFS* gl =
        len <= RUN ? local : static_cast<VXF_OFS*>(d_alloc(len * int64_t{sizeof(VXF_OFS)}));
    int32_t* gi =
        len <= RUN ? local_idx : static_cast<int32_t*>(d_alloc(len * int64_t{sizeof(int32_t)}));
    int64_t width = 0;
    int ymin = 0, ymax = 0;
    for (int i = 0; i < len; i++) {
        L_CHAR ch = str[i].ch;
        int64_t code = ch & ~get_lc_mask(ch);
        gi[i] = -1;
        if (code >= d->st_no && code < d->end_no) {
            gi[i] = static_cast<int32_t>(code - d->st_no);
            gl[i] = tbl[gi[i]];
        } else {
            gl[i] = blank_glyph(d->size);
        }
        width += gl[i].w;
        if (gl[i].type >= 0) {
            ymin = std::min<int>(ymin, gl[i].st_y);
            ymax = std::max<int>(ymax, gl[i].end_y);
        }
    }
    int64_t pen = 0;
    if (gl[0].st_x < 0) {
        width -= gl[0].st_x;
        pen = -gl[0].st_x;
    }
    if (gl[len - 1].end_x > gl[len - 1].w) width += gl[len - 1].end_x - gl[len - 1].w;
    if (ymax == ymin) ymin--;
    int height = ymax - ymin;
    p->r = {{0, ymin}, {static_cast<int32_t>(std::min<int64_t>(width, INT32_MAX)), ymax}};
    p->width = static_cast<int16_t>(std::clamp<int64_t>(width, 0, INT16_MAX));
    auto done = [&] {
        if (gl != local) d_f_ree(gl);
        if (gi != local_idx) d_f_ree(gi);
    };
    const bool fits = width > 0 && vxf_picture_fits(width, height);
    if (!fits || !draw) {
        done();
        return fits;
    }
    const int64_t w = width;
    auto* pic = into && w * height <= cap ? into : static_cast<unsigned char*>(d_alloc(w * height));
    memset(pic, 255, static_cast<size_t>(w * height));
    for (int i = 0; i < len; i++) {
        const VXF_OFS& g = gl[i];
        if (g.type == 1 || g.type == 2) {
            const unsigned char* bm = d->bytes + g.ofs;
            const unsigned char* px = g.type == 1 ? glyph_pixels(d, gi[i], g) : nullptr;
            const int cols = g.end_x - g.st_x, rows = g.end_y - g.st_y;
            const int64_t nbytes = (int64_t{rows} * cols + 7) >> 3;
            const int64_t x0 = pen + g.st_x;
            // The columns and rows of the glyph that fall inside the picture.
            const int c0 = static_cast<int>(std::clamp<int64_t>(-x0, 0, cols));
            const int c1 = static_cast<int>(std::clamp<int64_t>(w - x0, 0, cols));
            if (px) {
                const int r0 = std::max(0, ymin - g.st_y);
                const int r1 = std::min(rows, height + ymin - g.st_y);
                if (c1 > c0 && r1 > r0)
                    and_rows(pic + int64_t{g.st_y + r0 - ymin} * w + x0 + c0, w,
                             px + int64_t{r0} * cols + c0, cols, c1 - c0, r1 - r0);
                pen += g.w;
                continue;
            }
            for (int r = 0; r < rows; r++) {
                const int y = g.st_y + r - ymin;
                if (y < 0 || y >= height) continue;
                unsigned char* row = pic + int64_t{y} * w;
                const int64_t bit = int64_t{r} * cols;
                if (g.type == 1) {
                    if (c1 > c0) ink_bits(row + x0 + c0, bm, nbytes, bit + c0, c1 - c0);
                } else {
                    // A multiplying blend, clamped so that ink over ink stays ink.
                    for (int c = c0; c < c1; c++) {
                        unsigned char& to = row[x0 + c];
                        int v = ((to + 1) * (bm[bit + c] + 1) >> 8) - 1;
                        to = static_cast<unsigned char>(v < 0 ? 0 : v);
                    }
                }
            }
        }
        pen += g.w;
    }
    done();
    p->pic = pic;
    return true;
}

VXF_DATA* size_of(const LCF_SET* str, int len) {
    if (len <= 0 || !str[0].font) return nullptr;
    LC_FONT_WORK* fw = get_font_work(str[0].font, &vxf_font_engine);
    auto* vf = fw ? static_cast<VXF_FONT*>(fw->work) : nullptr;
    if (!vf || vf->len == 0) return nullptr;
    for (int i = 0; i < vf->len; i++)
        if (vf->dat[i]->size == str[0].size) return vf->dat[i];
    return vf->dat[vf->len - 1];
}
}  // namespace

void vxf_draw(VXF_DATA* d, LC_STRING_PIC* p, const LCF_SET* str, int len) {
    draw_or_measure(d, p, str, len, true);
}

int vxf_measure(VXF_DATA* d, LC_STRING_PIC* p, const LCF_SET* str, int len) {
    return draw_or_measure(d, p, str, len, false) ? 1 : 0;
}

void vxf_get_string_pic(LC_STRING_PIC* p, int dir, const LCF_SET* str, int len) {
    (void)dir;
    p->pic = nullptr;
    if (VXF_DATA* d = size_of(str, len)) vxf_draw(d, p, str, len);
}

void vxf_get_string_pic_into(LC_STRING_PIC* p, int dir, const LCF_SET* str, int len,
                             unsigned char* buf, int64_t cap) {
    (void)dir;
    p->pic = nullptr;
    if (VXF_DATA* d = size_of(str, len)) draw_or_measure(d, p, str, len, true, buf, cap);
}

int vxf_get_string_metric(LC_STRING_PIC* p, int dir, const LCF_SET* str, int len) {
    (void)dir;
    p->pic = nullptr;
    VXF_DATA* d = size_of(str, len);
    return d ? vxf_measure(d, p, str, len) : 0;
}
