#include "image/gif.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "base/alloc.h"
#include "base/lock.h"

namespace {

// ---- encoder ----------------------------------------------------------------------------------

constexpr int HASH_SIZE = 5003;  // a prime above 4096
constexpr int MAX_CODES = 4096;
constexpr size_t OUT_STEP = 8192;

struct code_entry {
    int prior_code;
    int code_id;  // 0: empty slot
    unsigned char added_char;
};

// The encoder's state: one encoding at a time, under gif_compres_lock.
struct GifEncoder {
    int code_size, clear_code, eof_code, free_code, max_code;
    int bit_offset;
    unsigned char code_buffer[259];
    code_entry* code_table;
    unsigned char* dst;
    size_t dst_written;
    size_t dst_malloc_num;  // 8192-byte chunks allocated
};

SEM gif_compres_lock = nullptr;
std::once_flag gif_lock_made;
GifEncoder enc;

void clear_output() {
    enc.dst = nullptr;
    enc.dst_written = 0;
    enc.dst_malloc_num = 0;
}

void init_gif_compress() {
    std::call_once(gif_lock_made, [] { _i_new_lock(&gif_compres_lock); });
    _i_lock_task(gif_compres_lock);
    clear_output();
}

void close_gif_compress() {
    clear_output();
    _i_unlock_task(gif_compres_lock);
}

void put_bytes(const void* p, size_t n) {
    if (enc.dst_written + n > enc.dst_malloc_num * OUT_STEP) {
        // Whole 8 KiB chunks, at least doubling, so a large stream is not copied over and over;
        // the slack is cut off when the stream is done.
        size_t chunks =
            std::max((enc.dst_written + n + OUT_STEP - 1) / OUT_STEP, enc.dst_malloc_num * 2);
        auto* grown = static_cast<unsigned char*>(
            d_re_alloc(enc.dst, static_cast<int64_t>(chunks * OUT_STEP)));
        if (!grown) {
            grown = static_cast<unsigned char*>(d_alloc(static_cast<int64_t>(chunks * OUT_STEP)));
            if (enc.dst_written) memcpy(grown, enc.dst, enc.dst_written);
            d_f_ree(enc.dst);
        }
        enc.dst = grown;
        enc.dst_malloc_num = chunks;
    }
    memcpy(enc.dst + enc.dst_written, p, n);
    enc.dst_written += n;
}

void put_byte(int b) {
    unsigned char c = static_cast<unsigned char>(b);
    put_bytes(&c, 1);
}

void put_le16(int v) {
    put_byte(v & 0xFF);
    put_byte((v >> 8) & 0xFF);
}

// One data sub-block of n bytes from the front of the code buffer.
void flush_codes(int n) {
    put_byte(n);
    put_bytes(enc.code_buffer, static_cast<size_t>(n));
}

// Packs a code least significant bit first; 254 or more whole pending bytes go out first as one
// sub-block, the partial byte moving to the front.
void write_code(int code) {
    int byte_offset = enc.bit_offset >> 3;
    int bits_left = enc.bit_offset & 7;
    if (byte_offset >= 254) {
        flush_codes(byte_offset);
        enc.code_buffer[0] = enc.code_buffer[byte_offset];
        enc.bit_offset = bits_left;
        byte_offset = 0;
    }
    if (bits_left > 0) {
        long temp = (static_cast<long>(code) << bits_left) | enc.code_buffer[byte_offset];
        enc.code_buffer[byte_offset] = static_cast<unsigned char>(temp);
        enc.code_buffer[byte_offset + 1] = static_cast<unsigned char>(temp >> 8);
        enc.code_buffer[byte_offset + 2] = static_cast<unsigned char>(temp >> 16);
    } else {
        enc.code_buffer[byte_offset] = static_cast<unsigned char>(code);
        enc.code_buffer[byte_offset + 1] = static_cast<unsigned char>(code >> 8);
    }
    enc.bit_offset += enc.code_size;
}

void init_table(int min_code_size) {
    enc.code_size = min_code_size + 1;
    enc.clear_code = 1 << min_code_size;
    enc.eof_code = enc.clear_code + 1;
    enc.free_code = enc.clear_code + 2;
    enc.max_code = 1 << enc.code_size;
    for (int i = 0; i < HASH_SIZE; i++)
        enc.code_table[i].code_id = 0;
}

// LZW-codes the indices as data sub-blocks; 0, or -3 for a minimum code size outside 1..9.
int enLZW_v2(const unsigned char* bitmap, size_t n, int min_code_size) {
    if (min_code_size == 1) min_code_size = 2;
    if (min_code_size < 2 || min_code_size > 9) return -3;
    enc.code_table = static_cast<code_entry*>(d_calloc(HASH_SIZE, sizeof(code_entry)));
    put_byte(min_code_size);
    enc.bit_offset = 0;
    init_table(min_code_size);
    write_code(enc.clear_code);
    if (n > 0) {
        int prefix_code = bitmap[0];
        for (size_t i = 1; i < n; i++) {
            int c = bitmap[i];
            int hx = ((c << 5) ^ prefix_code) % HASH_SIZE;
            int d = 1;
            bool found = false;
            int probes = 0;
            while (enc.code_table[hx].code_id != 0) {
                if (enc.code_table[hx].prior_code == prefix_code &&
                    enc.code_table[hx].added_char == c) {
                    prefix_code = enc.code_table[hx].code_id;
                    found = true;
                    break;
                }
                // The probe sequence visits half the slots; a table that has none of them free
                // is started afresh below instead of probing for ever.
                if (++probes >= HASH_SIZE) break;
                hx = (hx + d) % HASH_SIZE;
                d += 2;
            }
            if (found) continue;
            write_code(prefix_code);
            int code = enc.free_code;
            bool stored = false;
            if (enc.free_code < MAX_CODES && enc.code_table[hx].code_id == 0) {
                enc.code_table[hx] =
                    code_entry{prefix_code, enc.free_code++, static_cast<unsigned char>(c)};
                stored = true;
            }
            if (!stored && enc.free_code < MAX_CODES) {
                write_code(enc.clear_code);
                init_table(min_code_size);
            } else if (code == enc.max_code) {
                if (enc.code_size < 12) {
                    enc.code_size++;
                    enc.max_code *= 2;
                } else {
                    write_code(enc.clear_code);
                    init_table(min_code_size);
                }
            }
            prefix_code = c;
        }
        write_code(prefix_code);
    }
    write_code(enc.eof_code);
    // Up to 256 bytes can be pending here (253 whole, a partial one and the last two codes),
    // one more than a sub-block holds: the end goes out in sub-blocks of at most 255.
    int pending = (enc.bit_offset + 7) / 8;
    if (pending > 255) {
        flush_codes(255);
        memmove(enc.code_buffer, enc.code_buffer + 255, static_cast<size_t>(pending - 255));
        pending -= 255;
    }
    if (pending > 0) flush_codes(pending);
    flush_codes(0);
    d_f_ree(enc.code_table);
    enc.code_table = nullptr;
    return 0;
}

// ---- decoder ----------------------------------------------------------------------------------

// Reads within [pos, length) only.
struct Reader {
    const unsigned char* data;
    size_t length;
    size_t pos;

    bool has(size_t n) const { return n <= length - pos; }
    int byte() { return pos < length ? data[pos++] : -1; }
    unsigned le16() {
        unsigned v = data[pos] | (data[pos + 1] << 8);
        pos += 2;
        return v;
    }
    // Skips data sub-blocks up to and including the zero-length one (or the end of the data).
    void skip_blocks() {
        for (;;) {
            int n = byte();
            if (n <= 0) return;
            if (!has(static_cast<size_t>(n))) {
                pos = length;
                return;
            }
            pos += static_cast<size_t>(n);
        }
    }
};

struct TAB_COL {
    int sogct;  // entries in the table
    GIF_RGB paleta[256];
};

bool read_table(Reader& in, int packed, TAB_COL* tab) {
    tab->sogct = 1 << ((packed & 7) + 1);
    size_t bytes = static_cast<size_t>(tab->sogct) * 3;
    if (!in.has(bytes)) return false;
    memcpy(tab->paleta, in.data + in.pos, bytes);
    in.pos += bytes;
    return true;
}

// Row placement, interlaced or not.
struct GIF_IMAGE_ITERATOR {
    int width, height;
    bool interlaced;
    int ipass;  // 0..3
    int iypos;

    static constexpr int start[4] = {0, 4, 2, 1};
    static constexpr int step[4] = {8, 8, 4, 2};

    // The next row, or -1 when the picture is full.
    int next_row() {
        if (!interlaced) return ++iypos < height ? iypos : -1;
        iypos += step[ipass];
        while (iypos >= height) {
            if (++ipass >= 4) return -1;
            iypos = start[ipass];
        }
        return iypos;
    }
};

// The LZW data of one image into `indices` (width x height bytes). Damaged data ends the decode.
void lzw_decode_func(Reader& in, unsigned char* indices, int width, int height, bool interlaced) {
    int size = in.byte();
    if (size < 2 || size > 9) return;
    const int clear = 1 << size, ending = clear + 1, newcodes = clear + 2;
    int curr_size = size + 1, top_slot = 1 << curr_size, slot = newcodes;
    static thread_local unsigned short prefix[MAX_CODES];
    static thread_local unsigned char suffix[MAX_CODES];
    static thread_local unsigned char stack[MAX_CODES + 1];

    int block_left = 0;
    bool data_end = false;
    uint32_t bits = 0;
    int nbits = 0;
    auto get_code = [&]() -> int {
        while (nbits < curr_size) {
            if (block_left == 0) {
                int n = in.byte();
                if (n <= 0 || data_end) {
                    data_end = true;
                    return -1;
                }
                block_left = n;
            }
            int b = in.byte();
            if (b < 0) {
                data_end = true;
                return -1;
            }
            block_left--;
            bits |= static_cast<uint32_t>(b) << nbits;
            nbits += 8;
        }
        int c = static_cast<int>(bits & ((1u << curr_size) - 1));
        bits >>= curr_size;
        nbits -= curr_size;
        return c;
    };

    GIF_IMAGE_ITERATOR it{width, height, interlaced, 0, 0};
    unsigned char* row = indices;
    int col = 0;
    bool full = false;
    auto put = [&](unsigned char v) {
        row[col++] = v;
        if (col == width) {
            int y = it.next_row();
            if (y < 0) {
                full = true;
                return;
            }
            row = indices + static_cast<size_t>(y) * width;
            col = 0;
        }
    };

    int oc = 0, fc = 0;
    bool first = true;
    while (!full) {
        int c = get_code();
        if (c < 0 || c == ending) break;
        if (c == clear) {
            curr_size = size + 1;
            top_slot = 1 << curr_size;
            slot = newcodes;
            first = true;
            continue;
        }
        if (first) {
            // The first code after a clear is a single index.
            if (c >= slot) c = 0;
            oc = fc = c;
            put(static_cast<unsigned char>(c));
            first = false;
            continue;
        }
        if (c > slot) break;  // a code nothing has defined yet
        int code = c;
        int sp = 0;
        if (code == slot) {
            stack[sp++] = static_cast<unsigned char>(fc);
            code = oc;
        }
        while (code >= newcodes) {
            if (sp >= MAX_CODES) return;
            stack[sp++] = suffix[code];
            code = prefix[code];
        }
        stack[sp++] = static_cast<unsigned char>(code);
        fc = code;
        if (slot < top_slot) {
            suffix[slot] = static_cast<unsigned char>(fc);
            prefix[slot] = static_cast<unsigned short>(oc);
            slot++;
        }
        if (slot >= top_slot && curr_size < 12) {
            top_slot <<= 1;
            curr_size++;
        }
        oc = c;
        while (sp > 0 && !full)
            put(stack[--sp]);
    }
}

}  // namespace

unsigned char* gif_compress(size_t* ret_length, GIF_ENV* ret_ge, const unsigned int* data,
                            int width, int height) {
    *ret_length = 0;
    if (!data || !ret_ge || width > 65535 || height > 65535 || !image_size_ok(width, height))
        return nullptr;
    size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    auto* indices = static_cast<unsigned char*>(d_calloc(static_cast<int64_t>(n), 1));
    init_gif_compress();
    ret_ge->width = width;
    ret_ge->height = height;
    MedianCut(data, width, height, &ret_ge->cmap, indices, 1);

    // Screen descriptor with the global table: colour resolution 8, 8 bits a pixel.
    put_bytes("GIF87a", 6);
    put_le16(width);
    put_le16(height);
    put_byte(0x80 | ((8 - 1) << 4) | ((8 - 1) & 15));
    put_byte(0);
    put_byte(0);
    for (const RGB4& c : ret_ge->cmap.color) {
        GIF_RGB e{c.r, c.g, c.b};
        put_bytes(&e, 3);
    }
    // Image descriptor: no local table, not interlaced.
    put_byte(0x2C);
    put_le16(0);
    put_le16(0);
    put_le16(width);
    put_le16(height);
    put_byte(0);
    enLZW_v2(indices, n, 8);
    put_byte(0x3B);

    d_f_ree(indices);
    unsigned char* out = enc.dst;
    if (enc.dst_written < enc.dst_malloc_num * OUT_STEP) {
        if (void* shrunk = d_re_alloc(out, static_cast<int64_t>(enc.dst_written)))
            out = static_cast<unsigned char*>(shrunk);
    }
    *ret_length = enc.dst_written;
    close_gif_compress();
    return out;
}

unsigned int* gif_uncompress(int* ret_width, int* ret_height, GIF_ENV* ge,
                             const unsigned char* data, size_t length) {
    if (!data || length < 13 || memcmp(data, "GIF8", 4) != 0) return nullptr;
    Reader in{data, length, 6};
    in.le16();  // the logical screen's size
    in.le16();
    int pflds = in.byte();
    in.byte();  // background index
    in.byte();  // aspect ratio
    TAB_COL global;
    global.sogct = 0;
    if ((pflds & 0x80) && !read_table(in, pflds, &global)) return nullptr;

    bool transparent = false;
    int transp_index = 0;
    for (;;) {
        int b = in.byte();
        if (b == 0x21) {
            int label = in.byte();
            if (label == 0xF9 && in.has(5) && in.data[in.pos] >= 4) {
                // Graphic control extension: packed field, delay, transparent index.
                transparent = (in.data[in.pos + 1] & 1) != 0;
                transp_index = in.data[in.pos + 4];
            }
            if (label < 0) return nullptr;
            in.skip_blocks();
            continue;
        }
        if (b != 0x2C) return nullptr;  // the trailer, an unknown block or the end: no image
        if (!in.has(9)) return nullptr;
        in.le16();  // left, top
        in.le16();
        int w = static_cast<int>(in.le16());
        int h = static_cast<int>(in.le16());
        int pf = in.byte();
        TAB_COL local;
        local.sogct = 0;
        if ((pf & 0x80) && !read_table(in, pf, &local)) return nullptr;
        const TAB_COL& tab = (pf & 0x80) ? local : global;
        if (!image_size_ok(w, h)) return nullptr;
        *ret_width = w;
        *ret_height = h;
        size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
        auto* indices = static_cast<unsigned char*>(d_calloc(static_cast<int64_t>(n), 1));
        lzw_decode_func(in, indices, w, h, (pf & 0x40) != 0);

        ColorMap map;
        for (int i = 0; i < 256; i++) {
            RGB4 c{0, 0, 0, 255};
            if (i < tab.sogct) c = RGB4{tab.paleta[i].r, tab.paleta[i].g, tab.paleta[i].b, 255};
            if (transparent && i == transp_index) c.x = 0;
            map.color[i] = c;
        }
        auto* out = static_cast<unsigned int*>(d_alloc(static_cast<int64_t>(n * 4)));
        RGB4* px = reinterpret_cast<RGB4*>(out);
        for (size_t i = 0; i < n; i++)
            px[i] = map.color[indices[i]];
        d_f_ree(indices);
        if (ge) {
            ge->cmap = map;
            ge->width = w;
            ge->height = h;
        }
        // Of several images the first is the picture.
        return out;
    }
}
