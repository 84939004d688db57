// The vxf bitmap-font engine.
//
// A font named N is the directory font_root/N holding "sizelist.txt" (decimal sizes ended by the
// word "end") and one file per size, "<size>.vxf". A size file is a 256-byte header (signature,
// font name, size, then st_no, end_no and nos as big-endian s32 at 244, 248 and 252), nos glyph
// entries of 16 bytes from offset 256 for the codes st_no, st_no + 1, ..., and the bitmaps at the
// offsets the entries give. An entry is the box st_x, st_y, end_x, end_y (s16, relative to the pen,
// end exclusive), the advance w (s16), the type (s16: 1 one bit per pixel, most significant first
// and packed across rows; 2 one byte per pixel; other no bitmap) and the bitmap's offset (u32).
//
// Font files come from users and peers. Every field is checked against the file before use: a
// header that does not fit its file refuses the size, a glyph entry that does not fit becomes a
// blank glyph (no ink, advance = the size), and every pixel write is clipped to the picture.
//
// The font root is the environment variable VXMX_FONT_ROOT, read once at first use; unset, no vxf
// font loads. A size's file is read into memory on its first drawing (once, under the size's own
// lock) and kept while the font lives.
#pragma once

#include <atomic>
#include <cstdint>

#include "base/lock.h"
#include "render/font.h"

constexpr int VXF_HEADER = 256;
constexpr int VXF_ENTRY = 16;
constexpr int VXF_MAX_SIDE = 4096;           // a glyph's coordinates lie in (-4096, 4096)
constexpr int VXF_MAX_SIZE = 4096;           // sizes above are left out
constexpr int64_t VXF_MAX_FILE = 64 << 20;   // a larger size file is refused
constexpr int64_t VXF_MAX_PIXELS = 1 << 24;  // a larger picture is not drawn

// Whether a picture of w x h pixels may be drawn: its width is held in 16 bits and its area is
// bounded.
inline bool vxf_picture_fits(int64_t w, int64_t h) {
    return w <= INT16_MAX && w * h <= VXF_MAX_PIXELS;
}
// One-bit glyphs of at most VXF_PIX_GLYPH pixels are kept as a byte per pixel after their first
// drawing, up to VXF_PIX_BYTES bytes a size; larger ones, and any beyond, are drawn from their
// bits.
constexpr int VXF_PIX_GLYPH = 64 * 64;
constexpr int64_t VXF_PIX_BYTES = 8 << 20;

// One glyph entry as read from the file.
struct VXF_OFS {
    int16_t st_x, st_y, end_x, end_y;
    int16_t w;
    int16_t type;
    uint32_t ofs;
};

// One size of a font.
struct VXF_DATA {
    VXF_DATA* next;
    std::atomic<const VXF_OFS*> ofs;  // the checked glyph table once loaded, else null
    char* path;
    int size;
    int32_t st_no, end_no, nos;
    int64_t file_len;      // at the header's check
    unsigned char* bytes;  // the file's contents once loaded
    int64_t len;
    SEM load_lock;  // one loader at a time
    // Per glyph of the table (set with it): its pixels, 0 ink and 255 none, once drawn, else
    // null. Drawing a run then ANDs whole rows instead of unpacking bits every time.
    std::atomic<unsigned char*>* pix;
    std::atomic<int64_t> pix_bytes;  // bytes held there
};

// The engine's work for a font: the sizes that could be read, in the order listed.
struct VXF_FONT {
    int len;
    VXF_DATA** dat;
};

extern LC_FONT_ENGINE vxf_font_engine;
extern LC_FONT_ENGINE_TYPE vxf_font_engine_type;

// Reads the font root and registers the engine (once; called by render_first_use).
void vxf_init();
// The font root in use, or null.
const char* vxf_font_root();

int vxf_get_font(LC_FONT* font, LC_FONT_ENGINE* fe);
VXF_DATA* get_vxf_dat(const char* fontname, int size);
void vxf_get_string_pic(LC_STRING_PIC* p, int dir, const LCF_SET* str, int len);
// The rectangle and width vxf_get_string_pic gives, with no raster drawn: 1 when it would draw one.
int vxf_get_string_metric(LC_STRING_PIC* p, int dir, const LCF_SET* str, int len);
// vxf_get_string_pic drawing into buf when the raster fits in cap bytes (p->pic is then buf).
void vxf_get_string_pic_into(LC_STRING_PIC* p, int dir, const LCF_SET* str, int len,
                             unsigned char* buf, int64_t cap);
int vxf_get_len(const VXF_OFS* g);

// The parts below the font registry, for tools and fuzzing: a size file read by path (its header
// checked), a run drawn with one size, a size freed.
VXF_DATA* vxf_open_size(const char* path, int size);
void vxf_draw(VXF_DATA* d, LC_STRING_PIC* p, const LCF_SET* str, int len);
// What vxf_draw gives but the raster: 1 when it would draw one.
int vxf_measure(VXF_DATA* d, LC_STRING_PIC* p, const LCF_SET* str, int len);
void vxf_free_size(VXF_DATA* d);
// The sizes read from a size list's text, in order, at most max; the count.
int vxf_parse_size_list(const char* text, int64_t len, int* sizes, int max);
