// Helpers of the import and export tests: a two-dimensional matrix in memory with channels of
// the three cell sizes, and cells read back through the entry's cache.
#pragma once

#include <cstdint>
#include <string>

#include "geo/gmx_io.h"
#include "gmx_util.h"

namespace gmxtest {

// Channel 0 rgb8, 1 int32 (default 7), 2 int16; w x h cells in blocks of 2^bs a side, nodes made
// with their defaults when first asked for.
inline std::string matrix_form(int w, int h, int bs = 3) {
    return "(gmxCreate ([gmxMatrixParam channel_nos=\"3\" dim=\"2\"])"
           " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
           "value=\"1\"])"
           " ([gmxMatrixBlockSize dim=\"0\" value=\"" +
           std::to_string(bs) + "\"]) ([gmxMatrixBlockSize dim=\"1\" value=\"" +
           std::to_string(bs) +
           "\"])"
           " ([gmxMatrixPixelSize dim=\"0\" value=\"" +
           std::to_string(w) + "\"]) ([gmxMatrixPixelSize dim=\"1\" value=\"" + std::to_string(h) +
           "\"])"
           " ([gmxChannelInfo channel=\"0\" type=\"rgb8_v\"])"
           " ([gmxChannelInfo channel=\"1\" type=\"int32_v\"] 7)"
           " ([gmxChannelInfo channel=\"2\" type=\"int16_v\"])"
           " ([gmxPhase area=\"0\"] ([mxFinish normal-jump-status=\"MS_OK\"])) ([gmxPhase "
           "area=\"1\" type=\"equ\" equ=\"0\"])"
           " ([gmxPhase area=\"2\" type=\"equ\" equ=\"0\"])"
           " ([gmxPhase area=\"3\" type=\"equ\" equ=\"0\"])"
           " ([gmxPhase area=\"4\" type=\"equ\" equ=\"0\"])"
           " ([gmxPhase area=\"5\" type=\"equ\" equ=\"0\"]))";
}

// The 4-byte cell of channel ch at level-0 position (x, y) of a level; 0xdeadbeef when it cannot
// be read.
inline uint32_t cell(int id, int ch, int64_t x, int64_t y, int64_t level = 0) {
    uint32_t v = 0xdeadbeef;
    on_interpreter([&] {
        MX_ENTRY* e = search_mx_entry_by_id(id);
        if (!e) return;
        {
            int64_t dc[3] = {level, x, y};
            GmxRun run(e, 0, -1, 3, "disable");
            MX_CACHE_PARAM& p = run.param(dc, gmx_access_pos(e, ch), 2, nullptr);
            p.data_ptrs[2] = &v;
            if (read_mx_cache(&p) < 0) v = 0xdeadbeef;
        }
        release_mx_entry(e);
    });
    return v;
}

// The 2-byte cell of channel ch; -99999 when it cannot be read.
inline int cell16(int id, int ch, int64_t x, int64_t y, int64_t level = 0) {
    int16_t v = 0;
    bool ok = false;
    on_interpreter([&] {
        MX_ENTRY* e = search_mx_entry_by_id(id);
        if (!e) return;
        {
            int64_t dc[3] = {level, x, y};
            GmxRun run(e, 0, -1, 3, "disable");
            MX_CACHE_PARAM& p = run.param(dc, gmx_access_pos(e, ch), 1, nullptr);
            p.data_ptrs[1] = &v;
            ok = read_mx_cache(&p) == 0;
        }
        release_mx_entry(e);
    });
    return ok ? v : -99999;
}

}  // namespace gmxtest
