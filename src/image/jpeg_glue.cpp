// The library leaves a failed call through its error exit, which must not return: ours jumps
// back with longjmp to the setjmp of the call that started the work. longjmp skips destructors,
// so the functions that call setjmp hold only plain data (C structs, raw pointers) between the
// setjmp and the library calls, and every buffer they own is reachable from the library's
// manager records to be released on the error path.
#include "image/jpeg_glue.h"

#include <bit>
#include <climits>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs size_t and FILE declared before it.
#include <jerror.h>
#include <jpeglib.h>

namespace {

// More scans than any encoder writes; a stream with more is taken for hostile (each scan can
// walk the whole picture).
constexpr int MAX_SCANS = 500;

// Rows decoded a call when they go straight into the caller's picture.
constexpr JDIMENSION DIRECT_ROWS = 16;

struct my_error_mgr {
    jpeg_error_mgr pub;
    jmp_buf setjmp_buffer;
};

void my_error_exit(j_common_ptr cinfo) {
    my_error_mgr* err = reinterpret_cast<my_error_mgr*>(cinfo->err);
    longjmp(err->setjmp_buffer, 1);
}

void scan_limit(j_common_ptr cinfo) {
    if (cinfo->is_decompressor &&
        reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > MAX_SCANS) {
        cinfo->err->msg_code = JERR_BAD_SCAN_SCRIPT;
        (*cinfo->err->error_exit)(cinfo);
    }
}

// ---- memory destination: a system-allocator buffer that doubles when full -----------------

struct my_destination_mgr {
    jpeg_destination_mgr pub;
    unsigned char* buffer;  // owned until handed to the caller; released on the error path
    size_t capacity;
};

void init_destination(j_compress_ptr cinfo) {
    my_destination_mgr* dest = reinterpret_cast<my_destination_mgr*>(cinfo->dest);
    // The raw picture's size holds the stream of any ordinary picture without growing.
    size_t cap = static_cast<size_t>(cinfo->image_width) * cinfo->image_height * 4;
    dest->buffer = static_cast<unsigned char*>(malloc(cap));
    if (!dest->buffer) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    dest->capacity = cap;
    dest->pub.next_output_byte = dest->buffer;
    dest->pub.free_in_buffer = cap;
}

boolean empty_output_buffer(j_compress_ptr cinfo) {
    my_destination_mgr* dest = reinterpret_cast<my_destination_mgr*>(cinfo->dest);
    // Called with the whole buffer written.
    size_t bigger = dest->capacity * 2;
    auto* grown = static_cast<unsigned char*>(realloc(dest->buffer, bigger));
    if (!grown) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    dest->buffer = grown;
    dest->pub.next_output_byte = grown + dest->capacity;
    dest->pub.free_in_buffer = bigger - dest->capacity;
    dest->capacity = bigger;
    return TRUE;
}

void term_destination(j_compress_ptr) {}

void jpeg_memory_dest(j_compress_ptr cinfo) {
    if (!cinfo->dest) {
        cinfo->dest = static_cast<jpeg_destination_mgr*>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(my_destination_mgr)));
    }
    my_destination_mgr* dest = reinterpret_cast<my_destination_mgr*>(cinfo->dest);
    dest->pub.init_destination = init_destination;
    dest->pub.empty_output_buffer = empty_output_buffer;
    dest->pub.term_destination = term_destination;
    dest->buffer = nullptr;
    dest->capacity = 0;
}

size_t get_jpeg_compressed_size(j_compress_ptr cinfo) {
    my_destination_mgr* dest = reinterpret_cast<my_destination_mgr*>(cinfo->dest);
    return dest->capacity - dest->pub.free_in_buffer;
}

// ---- memory source: the whole block at once, then end-of-image markers ---------------------

struct mlibjpg_source_mgr {
    jpeg_source_mgr pub;
    const JOCTET* stream;
    size_t size;
    boolean start_of_file;
};

const JOCTET eoi_marker[2] = {0xFF, JPEG_EOI};

void init_source(j_decompress_ptr cinfo) {
    reinterpret_cast<mlibjpg_source_mgr*>(cinfo->src)->start_of_file = TRUE;
}

boolean fill_input_buffer(j_decompress_ptr cinfo) {
    mlibjpg_source_mgr* src = reinterpret_cast<mlibjpg_source_mgr*>(cinfo->src);
    if (src->start_of_file) {
        if (src->size == 0) ERREXIT(cinfo, JERR_INPUT_EMPTY);
        src->pub.next_input_byte = src->stream;
        src->pub.bytes_in_buffer = src->size;
        src->start_of_file = FALSE;
        return TRUE;
    }
    // The block is used up: an end-of-image marker lets a stream cut short decode as far as it
    // goes.
    WARNMS(cinfo, JWRN_JPEG_EOF);
    src->pub.next_input_byte = eoi_marker;
    src->pub.bytes_in_buffer = 2;
    return TRUE;
}

void skip_input_data(j_decompress_ptr cinfo, long num_bytes) {
    if (num_bytes <= 0) return;
    jpeg_source_mgr* src = cinfo->src;
    while (static_cast<size_t>(num_bytes) > src->bytes_in_buffer) {
        num_bytes -= static_cast<long>(src->bytes_in_buffer);
        fill_input_buffer(cinfo);
    }
    src->next_input_byte += num_bytes;
    src->bytes_in_buffer -= static_cast<size_t>(num_bytes);
}

void term_source(j_decompress_ptr) {}

void jpeg_memory_src(j_decompress_ptr cinfo, const void* stream, size_t stream_size) {
    if (!cinfo->src) {
        cinfo->src = static_cast<jpeg_source_mgr*>((*cinfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(mlibjpg_source_mgr)));
    }
    mlibjpg_source_mgr* src = reinterpret_cast<mlibjpg_source_mgr*>(cinfo->src);
    src->pub.init_source = init_source;
    src->pub.fill_input_buffer = fill_input_buffer;
    src->pub.skip_input_data = skip_input_data;
    src->pub.resync_to_restart = jpeg_resync_to_restart;
    src->pub.term_source = term_source;
    src->pub.bytes_in_buffer = 0;
    src->pub.next_input_byte = nullptr;
    src->stream = static_cast<const JOCTET*>(stream);
    src->size = stream ? stream_size : 0;
    src->start_of_file = TRUE;
}

// R, G, B of each 4-byte pixel of the library's row into the destination, whose fourth bytes
// stay as they are.
void copy_rgb(unsigned char* dst, const unsigned char* src, unsigned width) {
    for (unsigned i = 0; i < width; i++) {
        uint32_t d, s;
        memcpy(&d, dst + 4 * i, 4);
        memcpy(&s, src + 4 * i, 4);
        if constexpr (std::endian::native == std::endian::little)
            d = (d & 0xFF000000u) | (s & 0x00FFFFFFu);
        else
            d = (d & 0x000000FFu) | (s & 0xFFFFFF00u);
        memcpy(dst + 4 * i, &d, 4);
    }
}

void clear_x(unsigned char* row, unsigned width) {
    for (unsigned i = 0; i < width; i++)
        row[4 * i + 3] = 0;
}

void copy_cmyk(unsigned char* dst, const unsigned char* src, unsigned width) {
    for (unsigned i = 0; i < width; i++) {
        const unsigned char* s = src + 4 * i;
        unsigned k = s[3];
        dst[4 * i] = static_cast<unsigned char>(s[0] * k / 255);
        dst[4 * i + 1] = static_cast<unsigned char>(s[1] * k / 255);
        dst[4 * i + 2] = static_cast<unsigned char>(s[2] * k / 255);
    }
}

struct CallbackInfo {
    unsigned char* dib;
    int width;
    int height;
};

int HeaderCallback(LoadJPGInfo* info, void* data) {
    CallbackInfo* ci = static_cast<CallbackInfo*>(data);
    if (info->bpp != 24 || !image_size_ok(info->width, info->height)) return 0;
    size_t bytes = static_cast<size_t>(info->width) * static_cast<size_t>(info->height) * 4;
    // Every byte is written by the decoder (fourth bytes included), so no zero fill.
    ci->dib = static_cast<unsigned char*>(malloc(bytes));
    ci->width = info->width;
    ci->height = info->height;
    return ci->dib != nullptr;
}

void* ReadCallback(int line_number, void* data) {
    CallbackInfo* ci = static_cast<CallbackInfo*>(data);
    return ci->dib + static_cast<size_t>(line_number) * static_cast<size_t>(ci->width) * 4;
}

}  // namespace

unsigned char* jpeg_compress(size_t* ret_jpeg_length, const unsigned char* rgb_32bit_data,
                             int image_width, int image_height, int quality) {
    *ret_jpeg_length = 0;
    if (!rgb_32bit_data || !image_size_ok(image_width, image_height)) return nullptr;
    jpeg_compress_struct cinfo;
    my_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = my_error_exit;
    cinfo.dest = nullptr;
    if (setjmp(jerr.setjmp_buffer)) {
        // The buffer is found through the destination record, which lives in the library's
        // pool until the object is destroyed.
        if (cinfo.dest) free(reinterpret_cast<my_destination_mgr*>(cinfo.dest)->buffer);
        jpeg_destroy_compress(&cinfo);
        return nullptr;
    }
    jpeg_create_compress(&cinfo);
    jpeg_memory_dest(&cinfo);
    cinfo.image_width = static_cast<JDIMENSION>(image_width);
    cinfo.image_height = static_cast<JDIMENSION>(image_height);
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_RGBX;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    size_t stride = static_cast<size_t>(image_width) * 4;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb_32bit_data + cinfo.next_scanline * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    my_destination_mgr* dest = reinterpret_cast<my_destination_mgr*>(cinfo.dest);
    size_t length = get_jpeg_compressed_size(&cinfo);
    unsigned char* buffer = dest->buffer;
    size_t dest_capacity = dest->capacity;
    dest->buffer = nullptr;
    jpeg_destroy_compress(&cinfo);
    // The caller keeps the stream, not the room it was written into.
    if (length < dest_capacity) {
        if (auto* shrunk = static_cast<unsigned char*>(realloc(buffer, length > 0 ? length : 1)))
            buffer = shrunk;
    }
    *ret_jpeg_length = length;
    return buffer;
}

namespace {

// A decompressor kept per thread between calls: creating one sets up its memory manager and
// tables, a fixed cost that dominates small pictures such as raster tiles. jpeg_abort_decompress
// returns it to its start state after every use, success or failure (the library documents the
// object as reusable then); its permanent pool keeps only the source record and the last
// Huffman and quantisation tables, a bounded size.
struct Decoder {
    jpeg_decompress_struct cinfo;
    my_error_mgr jerr;
    jpeg_progress_mgr progress;
};

// 0 when the library object is made; its error exit ends here on failure.
int create_decoder(Decoder* d) {
    d->cinfo.err = jpeg_std_error(&d->jerr.pub);
    d->jerr.pub.error_exit = my_error_exit;
    d->progress.progress_monitor = scan_limit;
    if (setjmp(d->jerr.setjmp_buffer)) return -1;
    jpeg_create_decompress(&d->cinfo);
    d->cinfo.progress = &d->progress;
    return 0;
}

Decoder* new_decoder() {
    auto* d = static_cast<Decoder*>(calloc(1, sizeof(Decoder)));
    if (d && create_decoder(d) < 0) {
        free(d);
        d = nullptr;
    }
    return d;
}

void delete_decoder(Decoder* d) {
    jpeg_destroy_decompress(&d->cinfo);
    free(d);
}

// The thread's idle decoder. A call takes it out while it works, so a callback that decodes
// another picture on the same thread gets a decoder of its own.
struct DecoderSlot {
    Decoder* idle = nullptr;
    ~DecoderSlot() {
        if (idle) delete_decoder(idle);
    }
};
thread_local DecoderSlot decoder_slot;

Decoder* take_decoder() {
    Decoder* d = decoder_slot.idle;
    decoder_slot.idle = nullptr;
    return d ? d : new_decoder();
}

void give_back_decoder(Decoder* d) {
    jpeg_abort_decompress(&d->cinfo);
    if (decoder_slot.idle)
        delete_decoder(d);
    else
        decoder_slot.idle = d;
}

// The work of load_jpeg on a taken decoder, which the caller gives back whatever the result.
int decode_with(Decoder* dec, const void* memory, size_t memory_size,
                LoadJPGHeaderCallback header_callback, LoadJPGReadCallback read_callback,
                void* data, bool direct, bool keep_x, int max_side) {
    j_decompress_ptr cinfo = &dec->cinfo;
    if (setjmp(dec->jerr.setjmp_buffer)) return 0;
    // The library prints a warning only while its count is 0: each picture starts afresh.
    dec->jerr.pub.num_warnings = 0;
    jpeg_memory_src(cinfo, memory, memory_size);
    jpeg_read_header(cinfo, TRUE);

    LoadJPGInfo info;
    info.width = static_cast<int>(cinfo->image_width);
    info.height = static_cast<int>(cinfo->image_height);
    info.bpp = 0;
    info.num_palette = 0;
    info.palette = nullptr;
    bool size_ok =
        image_size_ok(info.width, info.height) && info.width <= max_side && info.height <= max_side;
    if (!size_ok) {
        // Refused before anything is allocated for it.
    } else if (cinfo->out_color_space == JCS_RGB && cinfo->num_components == 3) {
        info.bpp = 24;
        // The library's row then holds 4-byte pixels.
        cinfo->out_color_space = JCS_EXT_RGBX;
    } else if (cinfo->out_color_space == JCS_CMYK && cinfo->num_components == 4) {
        info.bpp = 24;
    } else if (cinfo->out_color_space == JCS_GRAYSCALE && cinfo->num_components == 1) {
        info.bpp = 8;
        info.num_palette = 256;
        info.palette = static_cast<RGB4*>(malloc(256 * sizeof(RGB4)));
        if (!info.palette) info.bpp = 0;
        for (int i = 0; info.palette && i < 256; i++) {
            uint8_t v = static_cast<uint8_t>(i);
            info.palette[i] = RGB4{v, v, v, 0};
        }
    }
    if (info.bpp != 0 && !header_callback(&info, data)) info.bpp = 0;
    free(info.palette);
    if (info.bpp == 0) return 0;

    jpeg_start_decompress(cinfo);
    JSAMPARRAY row = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                                 cinfo->output_width * cinfo->output_components, 1);
    J_COLOR_SPACE space = cinfo->out_color_space;
    unsigned width = cinfo->output_width;
    bool stopped = false;
    while (cinfo->output_scanline < cinfo->output_height) {
        auto* dst = static_cast<unsigned char*>(
            read_callback(static_cast<int>(cinfo->output_scanline), data));
        if (!dst) {
            stopped = true;
            break;
        }
        if (direct && space == JCS_EXT_RGBX) {
            // Several rows a call (the library hands out what one step of it yields); rows
            // it does not fill are asked for again on the next turn.
            JSAMPROW rows[DIRECT_ROWS] = {dst};
            JDIMENSION n = 1;
            while (n < DIRECT_ROWS && cinfo->output_scanline + n < cinfo->output_height) {
                rows[n] = static_cast<JSAMPROW>(
                    read_callback(static_cast<int>(cinfo->output_scanline + n), data));
                if (!rows[n]) break;
                n++;
            }
            n = jpeg_read_scanlines(cinfo, rows, n);
            for (JDIMENSION i = 0; i < n && !keep_x; i++)
                clear_x(rows[i], width);
            continue;
        }
        jpeg_read_scanlines(cinfo, row, 1);
        if (space == JCS_EXT_RGBX) {
            copy_rgb(dst, row[0], width);
        } else if (space == JCS_CMYK) {
            copy_cmyk(dst, row[0], width);
            if (direct) clear_x(dst, width);
        } else {
            memcpy(dst, row[0], width);
        }
    }
    // A reader that stopped early leaves rows unread, which finishing would call an error.
    if (!stopped) jpeg_finish_decompress(cinfo);
    return 1;
}

// The decoder of LoadJPGFromMemory. With `direct`, RGB rows are decoded straight into the
// destination rows, whose fourth bytes are then set to 0 unless `keep_x` leaves them to the
// caller; in that mode CMYK rows are converted with fourth bytes 0. max_side bounds both sides of
// the picture before the header callback is asked.
int load_jpeg(const void* memory, size_t memory_size, LoadJPGHeaderCallback header_callback,
              LoadJPGReadCallback read_callback, void* data, bool direct, bool keep_x,
              int max_side) {
    if (!header_callback || !read_callback) return 0;
    Decoder* dec = take_decoder();
    if (!dec) return 0;
    int ok = decode_with(dec, memory, memory_size, header_callback, read_callback, data, direct,
                         keep_x, max_side);
    give_back_decoder(dec);
    return ok;
}

}  // namespace

int LoadJPGFromMemory(const void* memory, size_t memory_size, LoadJPGHeaderCallback header_callback,
                      LoadJPGReadCallback read_callback, void* data) {
    return load_jpeg(memory, memory_size, header_callback, read_callback, data, false, false,
                     INT_MAX);
}

unsigned char* jpeg_uncompress_bounded(int* ret_width, int* ret_height,
                                       const unsigned char* jpeg_data, size_t jpeg_length,
                                       int max_side, bool keep_x) {
    CallbackInfo ci{nullptr, 0, 0};
    int ok = load_jpeg(jpeg_data, jpeg_length, HeaderCallback, ReadCallback, &ci, true, keep_x,
                       max_side);
    *ret_width = ci.width;
    *ret_height = ci.height;
    if (!ok) {
        free(ci.dib);
        return nullptr;
    }
    return ci.dib;
}

unsigned char* jpeg_uncompress(int* ret_width, int* ret_height, const unsigned char* jpeg_data,
                               size_t jpeg_length) {
    return jpeg_uncompress_bounded(ret_width, ret_height, jpeg_data, jpeg_length, INT_MAX, false);
}
