// PNM pictures in raw form: the header reader and writer, a random-access pixel layer over an
// open file (a cache of ten lines for reading, one pending line for writing), a whole-picture
// writer and a resampling converter between two files. Files are reached through the runtime's
// file primitives (base/ufile.h), so the file root applies.
//
// The header is read as netpbm writes and reads it: the magic at the start of the file, then
// width, height and (but for "P4") maximum, separated by whitespace (TAB, LF, CR, space) and
// '#' comments that run to the end of their line; the header ends with the single whitespace
// byte after its last token and is at most 64 KiB. Numbers are decimal digits only. Sizes go up
// to what the header's numbers hold (2^32 - 1 a side) as long as the raw pixels fit a file's
// offsets: the picture is read from the file a window at a time, never held whole.
#pragma once

#include <cstdint>

constexpr int PPM_CACHE_LINES = 10;

struct PPM_CACHE {
    int64_t pc_h;            // the line's row number
    unsigned char* pc_line;  // pi_width x 3 bytes, null when the entry is empty
};

struct PPM_INFO {
    int pi_fd;
    int64_t pi_offset;    // offset of the first pixel byte (the header's length)
    uint64_t pi_lastacc;  // offset just after the line read last; all ones when unknown
    char pi_type[4];      // the magic, NUL-terminated
    uint32_t pi_width;
    uint32_t pi_height;
    int pi_max;                           // 1 for "P4"
    int64_t pi_write_offset;              // offset of the pending output line
    unsigned char* pi_write;              // the pending output line, null when none
    PPM_CACHE pi_cache[PPM_CACHE_LINES];  // most recently used first
};

// Reads the header of the file open on pi_fd: 0, or -1 when it cannot be read or parsed (also
// a comment that never ends), a size is 0 or past 2^32 - 1, the raw pixels could not fit a file,
// or the magic is longer than 3 characters. Empties the cache and the pending line and leaves
// the file at pi_offset. The file's length is not checked: its readers do that.
int read_header(PPM_INFO* pi);
// Writes "P6\n%i %i\n%i\n" at the start of the file and sets pi_offset to its length; -1 when
// the seek or a write fails, or the size or maximum (1..255) is one the pixel layer cannot serve.
// A pending line is written back first and the cached lines are released.
int write_header(PPM_INFO* p);

// The pixel layer serves "P6" files with a maximum up to 255, 3 bytes a pixel, and lines of
// at most 2^28 pixels (it holds whole lines). Pixels outside the picture, and files of other
// kinds, are ignored (-1, c untouched); bytes the file lacks read as zeros.
int read_pixel(PPM_INFO* p, unsigned w, unsigned h, unsigned char* c);
// write_pixel holds one line and writes it back when a pixel of another line comes: -1 also when
// that write-back fails (the held line's new pixels are lost, this pixel is not taken).
int write_pixel(PPM_INFO* p, unsigned w, unsigned h, const unsigned char* c);
// Writes the pending line back, releases the lines and closes pi_fd: 0, or -1 when the line
// could not be written or the close failed.
int close_ppm(PPM_INFO* p);

// The header as write_header writes it, then pi_width x pi_height 3-byte pixels; 0 or -1.
int write_ppm(PPM_INFO* p, const unsigned char* data);

// Gives the source pixel and the averaging window's half-sizes for destination pixel (*x, *y);
// a negative result means no source pixel.
typedef int (*PPM_CONVERT_FUNC)(int* x, int* y, int* r_width, int* r_height, void* work);

// Resamples the "P6" or "P5" picture (maximum up to 255) in from_ppm into a new file to_ppm of
// width x height pixels of the same kind: each destination pixel is the truncated average of the
// window func names, clipped to the source picture; grey 128 where there is no source pixel or
// the window is empty. 0, or -1 (with "cannot open the file" on standard error for a file that
// does not open, and when a row could not be written or the new file's close failed).
int ppm_converter(const char* from_ppm, const char* to_ppm, int width, int height,
                  PPM_CONVERT_FUNC func, void* work);
