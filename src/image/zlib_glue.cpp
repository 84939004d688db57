#include "image/zlib_glue.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "base/alloc.h"

void* zlib_compress(size_t* compressedSize, const void* sourceMemory, size_t sourceSize, int opt) {
    *compressedSize = 0;
    if (!sourceMemory && sourceSize > 0) return nullptr;
    // zlib's classic worst-case bound, so compression is one call.
    size_t capacity = sourceSize + sourceSize / 1000 + 12;
    if (capacity < sourceSize || sourceSize > ULONG_MAX - sourceSize / 1000 - 12) return nullptr;
    auto* out = static_cast<Bytef*>(d_alloc(static_cast<int64_t>(capacity)));
    uLongf len = capacity;
    static const Bytef empty = 0;
    const Bytef* src = sourceSize > 0 ? static_cast<const Bytef*>(sourceMemory) : &empty;
    if (compress2(out, &len, src, sourceSize, opt) != Z_OK) {
        d_f_ree(out);
        return nullptr;
    }
    // The caller keeps the block: it holds the stream, not the worst case.
    if (len < capacity) {
        if (void* shrunk = d_re_alloc(out, static_cast<int64_t>(len)))
            out = static_cast<Bytef*>(shrunk);
    }
    *compressedSize = len;
    return out;
}

void* zlib_uncompress(size_t* uncompress_len, const void* data, size_t length) {
    return zlib_uncompress_within(uncompress_len, data, length, ZLIB_INFLATE_CAP);
}

void* zlib_uncompress_within(size_t* uncompress_len, const void* data, size_t length, size_t cap) {
    if (!data || length == 0 || cap == 0) return nullptr;
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return nullptr;
    // The output starts at four times the compressed size and grows fourfold while the stream
    // goes on; inflate continues where it stopped, so the stream is read once. Room never
    // written costs no memory, and the block is cut to the inflated length at the end, so large
    // steps only spare copies.
    size_t capacity = std::min(std::max<size_t>(length, 1024) * 4, cap);
    auto* out = static_cast<Bytef*>(d_alloc(static_cast<int64_t>(capacity)));
    auto* in = static_cast<const Bytef*>(data);
    size_t in_left = length;
    size_t produced = 0;
    int rc = Z_OK;
    for (;;) {
        if (zs.avail_in == 0 && in_left > 0) {
            uInt n = static_cast<uInt>(std::min<size_t>(in_left, UINT_MAX));
            zs.next_in = const_cast<Bytef*>(in);
            zs.avail_in = n;
            in += n;
            in_left -= n;
        }
        if (produced == capacity) {
            if (capacity >= cap) {
                rc = Z_MEM_ERROR;
                break;
            }
            size_t bigger = capacity > cap / 4 ? cap : capacity * 4;
            void* grown = d_re_alloc(out, static_cast<int64_t>(bigger));
            if (!grown) {
                rc = Z_MEM_ERROR;
                break;
            }
            out = static_cast<Bytef*>(grown);
            capacity = bigger;
        }
        uInt room = static_cast<uInt>(std::min<size_t>(capacity - produced, UINT_MAX));
        zs.next_out = out + produced;
        zs.avail_out = room;
        rc = inflate(&zs, Z_NO_FLUSH);
        produced += room - zs.avail_out;
        if (rc == Z_STREAM_END) break;
        if (rc == Z_BUF_ERROR) {
            // No progress: either the output is full (grow above) or the input has run out.
            if (zs.avail_out == 0) continue;
            if (zs.avail_in == 0 && in_left == 0) break;
            continue;
        }
        if (rc != Z_OK) break;
        if (zs.avail_in == 0 && in_left == 0 && zs.avail_out > 0) {
            // Everything given and room left, yet no end: the stream is cut short.
            rc = Z_DATA_ERROR;
            break;
        }
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) {
        d_f_ree(out);
        return nullptr;
    }
    if (produced < capacity) {
        if (void* shrunk = d_re_alloc(out, static_cast<int64_t>(produced)))
            out = static_cast<Bytef*>(shrunk);
    }
    *uncompress_len = produced;
    return out;
}
