// gmxImportPNM, gmxPNMStatus and gmxExportPNM (see gmx_pnm.h).
#include "geo/gmx_pnm.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include "base/numtext.h"
#include "base/ufile.h"
#include "builtins/bltn_util.h"
#include "geo/gmx_attr.h"
#include "geo/gmx_io.h"
#include "image/picture.h"
#include "image/ppm.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "matrix/mxfile.h"
#include "matrix/mxstore.h"
#include "server/progress.h"
#include "stream/sprintf.h"

namespace {

// Pixels of a picture row written to the matrix at a time.
constexpr int64_t PNM_PIECE = int64_t{1} << 16;

QV_SEXP* id_error(QV_SEXP* form, const char* f) {
    return gmx_error_d(form, GMX_PARAM, f,
                       List(n_get_string("invalida parameter (attribute id)"), LIST_END));
}

QV_SEXP* file_error(QV_SEXP* form, uint32_t code, const char* f, const char* what,
                    const std::string& file) {
    return gmx_error_d(form, code, f,
                       List(n_get_string(what), n_get_string(file.c_str()), LIST_END));
}

// Reads exactly len bytes; false on an error or an early end.
bool read_full(int fd, uint8_t* buf, int64_t len) {
    while (len > 0) {
        int n = u_read(fd, buf, len > (1 << 30) ? (1 << 30) : static_cast<int>(len));
        if (n <= 0) return false;
        buf += n;
        len -= n;
    }
    return true;
}

// The picture's rows (or columns) [first, end) that land in the matrix.
struct Span {
    int64_t first = 0, end = 0;
    int64_t count() const { return end - first; }
};

// The indexes i in [0, n) whose coordinate origin + i * step lies in [0, limit); a step of 0
// (too large to hold) places only the first.
Span landing(int64_t origin, int64_t step, int64_t limit, int64_t n) {
    if (step <= 0) return origin >= 0 && origin < limit && n > 0 ? Span{0, 1} : Span{};
    // origin + i * step >= 0, and < limit: in 128 bits, so no product overflows.
    __int128 lo = origin >= 0 ? 0 : (-static_cast<__int128>(origin) + step - 1) / step;
    __int128 hi = origin >= limit ? 0 : (static_cast<__int128>(limit) - origin + step - 1) / step;
    Span s;
    s.first = static_cast<int64_t>(std::min<__int128>(lo, n));
    s.end = static_cast<int64_t>(std::max<__int128>(std::min<__int128>(hi, n), s.first));
    return s;
}

// The end of the last node of a level that the matrix reaches along dimension 0, in level-0
// cells: a run of cells written from within the matrix fills its nodes up to there.
int64_t node_end(MATRIX* m, int64_t level) {
    int shift = mx_node_shift(m, level, 0);
    int64_t size = m->pixel_size[0];
    if (size <= 0) return 0;
    if (shift >= 62) return INT64_MAX;
    int64_t ext = int64_t{1} << shift;
    __int128 end = (static_cast<__int128>(size) + ext - 1) / ext * ext;
    return end > INT64_MAX ? INT64_MAX : static_cast<int64_t>(end);
}

// Whether a header's magic is one of the picture kinds: "P1" to "P7", nothing else.
bool pnm_magic(const char* type) {
    return type[0] == 'P' && type[1] >= '1' && type[1] <= '7' && type[2] == 0;
}

// The open picture file, closed on every road.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) u_close(fd);
    }
};

// Opens the picture file an export writes, never waiting: a FIFO, a socket or a directory in
// the path's place is refused (the open would release a reader waiting on the FIFO, and the
// rows could not be written in place), a regular file is emptied only once it is known to be
// one, and a device such as /dev/full is written as it is. -1 when refused.
int open_export_file(const char* path) {
    int fd = u_open64(path, O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    mode_t type = 0;
    if (fd >= UFR_FD_BASE) {
        // A file-root descriptor is not ours to look at: the path stands for it.
        U_STAT us;
        type = u_stat(path, &us) == 0 ? us.us_mode : 0;
    } else {
        struct stat sb;
        type = fstat(fd, &sb) == 0 ? sb.st_mode : 0;
    }
    if (!type || S_ISFIFO(type) || S_ISSOCK(type) || S_ISDIR(type) ||
        (S_ISREG(type) && u_ftruncate(fd, 0) != 0)) {
        u_close(fd);
        return -1;
    }
    // The rows of a device are written waiting as usual (the helper's descriptor of a file
    // root keeps the flag, which changes nothing for a regular file).
    if (fd < UFR_FD_BASE) {
        int fl = fcntl(fd, F_GETFL);
        if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    }
    return fd;
}

QV_SEXP* vx_gmxImportPNM(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const char* F = "gmxImportPNM";
    QV_SEXP* a_file = get_el(form, 1);
    if (get_type(a_file) != QVT_STRING) return gmx_error_d(form, GMX_MISMATCH, F, nullptr);
    int id = 0;
    if (!gmx_attr_int(attr, "id", &id)) return id_error(form, F);
    uint32_t transparent = 0xffffffffu;
    bool has_transparent = false;
    if (attr_text(attr, "transparent")) {
        std::string t;
        int64_t v = 0;
        if (!gmx_attr_ascii(attr, "transparent", &t) || !text_to_ll(t, &v))
            return gmx_error_d(
                form, GMX_PARAM, F,
                List(n_get_string("invalida parameter (attribute transparent)"), LIST_END));
        transparent = static_cast<uint32_t>(static_cast<uint64_t>(v) << 8);
        has_transparent = true;
    }
    ss_printf("TRANSPARENT = %x\n", transparent);
    int64_t channel = 0, level = 0, x = 0, y = 0;
    if (!gmx_arg_int(get_el(form, 2), &channel) || !gmx_arg_int(get_el(form, 3), &level) ||
        !gmx_arg_rint(get_el(form, 4), &x) || !gmx_arg_rint(get_el(form, 5), &y))
        return gmx_error_d(form, GMX_MISMATCH, F, nullptr);
    level = static_cast<int32_t>(level);
    MX_ENTRY* e = search_mx_entry_by_id(id);
    if (!e) return id_error(form, F);
    GmxHold hold(e);
    MATRIX* m = e->c.m;
    int pos = gmx_access_pos(e, channel);
    // Rows step by dimension 1's divide (a row is a step along dimension 1, whatever dimension
    // 0's divide is), and a level outside the pyramid is refused: a level with no nodes would
    // write nothing a reader could find.
    if (m->p.dim < 2) return gmx_error_d(form, GMX_MISMATCH, F, nullptr);
    int64_t step = gmx_level_step(m, level, 1);
    if ((pos >= 0 && gmx_channel_size(m, channel) != 4) || level < 0 || level >= m->total_levels ||
        !step)
        return gmx_error_d(form, GMX_MISMATCH, F, nullptr);

    std::string file = gmx_arg_bytes(a_file);
    Fd f;
    f.fd = u_open_regular(file.c_str(), O_RDONLY);
    if (f.fd < 0) return file_error(form, GMX_OPEN, F, "cannot open the file", file);
    PPM_INFO pi{};
    pi.pi_fd = f.fd;
    if (read_header(&pi) < 0 || !pnm_magic(pi.pi_type))
        return file_error(form, GMX_OPEN, F, "invalid PNM header", file);
    std::string type = pi.pi_type;
    // Kinds other than P5 and P6 (P4 too) and maxima above a byte are refused with an error
    // value: ending the process over one picture would stop every other client's work.
    if (type == "P4") {
        fprintf(stderr, "not support the  format P4\n");
        return gmx_error_d(form, GMX_PARAM, F,
                           List(n_get_string("not support the  format P4"), LIST_END));
    }
    if ((type != "P5" && type != "P6") || pi.pi_max < 1 || pi.pi_max > 255)
        return gmx_error_d(
            form, GMX_PARAM, F,
            List(n_get_string("not support the  format"), n_get_string(type.c_str()), LIST_END));
    int bpp = type == "P5" ? 1 : 3;
    int64_t w = pi.pi_width, h = pi.pi_height;
    // The header's sizes are bounded by what a file can hold; this file must hold them all.
    int64_t size = u_lseek64(f.fd, 0, SEEK_END);
    if (size < pi.pi_offset ||
        static_cast<unsigned __int128>(w) * h * bpp > static_cast<uint64_t>(size - pi.pi_offset))
        return file_error(form, GMX_OPEN, F, "cannot read the file", file);

    // Only the rows and columns that land in the matrix are read; the file position goes past
    // the rest. A row lands when its coordinate lies within the matrix; a column when its cell
    // lies within a node the matrix reaches (a run that starts inside fills its node).
    const int64_t xstep = gmx_level_step(m, level, 0);
    Span rows = landing(y, step, m->pixel_size[1], h);
    Span cols = landing(x, xstep, node_end(m, level), w);
    if (pos < 0 || cols.count() == 0) rows = cols = Span{};

    // A row goes to the matrix in pieces of at most PNM_PIECE pixels, so that a picture of any
    // width needs buffers of a bounded size.
    const int64_t piece = std::min<int64_t>(std::max<int64_t>(cols.count(), 1), PNM_PIECE);
    std::vector<uint8_t> row(piece * bpp), valid(piece);
    std::vector<uint32_t> pixels(piece);
    std::vector<int64_t> dc(m->p.dim + 1, 0);
    dc[0] = level;
    void* table[1] = {pixels.data()};
    GmxRun run(e, 1, 2, 2, "enable");
    MX_CACHE_PARAM& p = run.param(dc.data(), pos, 2, table);
    p.vector_valid = valid.data();
    for (int64_t r = rows.first; r < rows.end; r++) {
        ss_printf("h = %lli/%lli   \n", static_cast<long long>(r), static_cast<long long>(h));
        dc[2] = y + r * step;
        int64_t at = pi.pi_offset + (r * w + cols.first) * bpp;
        if (u_lseek64(f.fd, at, SEEK_SET) != at)
            return file_error(form, GMX_OPEN, F, "cannot read the file", file);
        for (int64_t c = cols.first; c < cols.end; c += piece) {
            int64_t n = std::min(piece, cols.end - c);
            // The picture is read with no node held: a slow file (or the file root's helper)
            // keeps no reader or writer of the node waiting.
            run.release_node();
            if (!read_full(f.fd, row.data(), n * bpp))
                return file_error(form, GMX_OPEN, F, "cannot read the file", file);
            // A sample above the header's maximum is no sample of the picture: the file is
            // damaged, and is refused rather than written as if it were one.
            if (pi.pi_max < 255 && std::any_of(row.begin(), row.begin() + n * bpp,
                                               [&](uint8_t v) { return v > pi.pi_max; }))
                return file_error(form, GMX_OPEN, F, "sample above the maximum", file);
            for (int64_t i = 0; i < n; i++) {
                const uint8_t* s = &row[i * bpp];
                uint32_t r8 = s[0], g8 = bpp == 1 ? s[0] : s[1], b8 = bpp == 1 ? s[0] : s[2];
                uint32_t v = (r8 << 24) | (g8 << 16) | (b8 << 8);
                pixels[i] = v;
                valid[i] = !has_transparent || v != transparent;
            }
            dc[1] = x + c * xstep;
            p.vector_len = static_cast<int>(n);
            if (write_mx_cache_vector(&p) < 0 && gmx_node_failure(mx_cache_error))
                return gmx_loading_error(form, F);
        }
    }
    // Saves that failed while the picture went in (a full disk) fail the import.
    if (int64_t failed = mx_failed_saves(m)) return gmx_unsaved_error(form, F, m, failed);
    return nullptr;
}

QV_SEXP* vx_gmxPNMStatus(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    const char* F = "gmxPNMStatus";
    QV_SEXP* a_file = get_el(form, 1);
    if (get_type(a_file) != QVT_STRING) return gmx_error_d(form, GMX_MISMATCH, F, nullptr);
    std::string file = gmx_arg_bytes(a_file);
    Fd f;
    f.fd = u_open_regular(file.c_str(), O_RDONLY);
    if (f.fd < 0) return file_error(form, GMX_OPEN, F, "cannot open the file", file);
    PPM_INFO pi{};
    pi.pi_fd = f.fd;
    // Only the header is read: a header of any size it can hold is reported, whatever follows.
    if (read_header(&pi) < 0 || !pnm_magic(pi.pi_type))
        return file_error(form, GMX_OPEN, F, "invalid PNM header", file);
    return List(get_symbol(std_text("gmxPNMStatus")), n_get_string(pi.pi_type),
                get_integer(pi.pi_width, nullptr), get_integer(pi.pi_height, nullptr),
                get_integer(pi.pi_max, nullptr), LIST_END);
}

// Closes the progress report on every road.
struct Report {
    int id = -1;
    ~Report() {
        if (id >= 0) {
            next_stage(id, 0, 0, 0);
            close_progressive(id, 0);
        }
    }
};

QV_SEXP* vx_gmxExportPNM(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const char* F = "gmxExportPNM";
    QV_SEXP* a_file = get_el(form, 1);
    if (get_type(a_file) != QVT_STRING) return gmx_error_d(form, GMX_MISMATCH, F, nullptr);
    int id = 0;
    if (!gmx_attr_int(attr, "id", &id)) return id_error(form, F);
    int64_t channel = 0, level = 0;
    if (!gmx_arg_int(get_el(form, 2), &channel) || !gmx_arg_int(get_el(form, 3), &level))
        return gmx_error_d(form, GMX_MISMATCH, F, nullptr);
    level = static_cast<int32_t>(level);
    int len = list_length(form);
    int64_t x = 0, y = 0, w = 0, h = 0;
    if (len == 8) {
        if (!gmx_arg_trunc(get_el(form, 4), &x) || !gmx_arg_trunc(get_el(form, 5), &y) ||
            !gmx_arg_trunc(get_el(form, 6), &w) || !gmx_arg_trunc(get_el(form, 7), &h))
            return gmx_error_d(form, GMX_MISMATCH, F, nullptr);
    } else if (len != 4) {
        return id_error(form, F);
    }
    MX_ENTRY* e = search_mx_entry_by_id(id);
    if (!e) return id_error(form, F);
    GmxHold hold(e);
    MATRIX* m = e->c.m;
    if (m->p.dim < 2) return gmx_error_d(form, GMX_MISMATCH, F, nullptr);
    if (len == 4) {
        w = m->pixel_size[0];
        h = m->pixel_size[1];
    }
    // Clipping, then sides of at least one cell and at most 2^31 - 1 pixels.
    int64_t end = 0;
    if (!position_add(x, w, &end) || !position_add(y, h, &end)) return id_error(form, F);
    if (x + w > m->pixel_size[0]) w = m->pixel_size[0] - x;
    if (y + h > m->pixel_size[1]) h = m->pixel_size[1] - y;
    if (w < 1 || h < 1) return id_error(form, F);
    // Rows step by dimension 1's divide, as the picture's height is cut by it, and a level
    // outside the pyramid is refused: it holds no node, so its picture would be blank.
    int64_t sx = gmx_level_step(m, level, 0), sy = gmx_level_step(m, level, 1);
    if (level < 0 || level >= m->total_levels || !sx || !sy)
        return gmx_error_d(form, GMX_MISMATCH, F, nullptr);
    // A side that the level's shift takes to 0 is refused: a picture without pixels says nothing.
    int64_t width = w / sx, height = h / sy;
    if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX ||
        !image_size_ok(width, 1))
        return id_error(form, F);
    int pos = gmx_access_pos(e, channel);
    if (pos >= 0 && gmx_channel_size(m, channel) != 4)
        return gmx_error_d(form, GMX_MISMATCH, F, nullptr);

    std::string file = gmx_arg_bytes(a_file);
    Fd f;
    f.fd = open_export_file(file.c_str());
    if (f.fd < 0) return file_error(form, GMX_OPEN, F, "cannot open the file", file);
    PPM_INFO pi{};
    pi.pi_fd = f.fd;
    pi.pi_width = static_cast<uint32_t>(width);
    pi.pi_height = static_cast<uint32_t>(height);
    pi.pi_max = 255;
    ss_printf("pi_width(1) = %i %lli\n", static_cast<int>(width), static_cast<long long>(width));
    if (write_header(&pi) < 0) return file_error(form, GMX_OPEN, F, "cannot write the file", file);
    ss_printf("pi_width(2) = %i\n", static_cast<int>(width));
    std::vector<uint8_t> out(width * 3);
    std::vector<uint32_t> pixels(width);
    std::vector<int64_t> dc(m->p.dim + 1, 0);
    dc[0] = level;
    dc[1] = x;
    dc[2] = y;
    ss_printf("pi_width(3) = %i\n", static_cast<int>(width));
    if (u_lseek64(f.fd, pi.pi_offset, SEEK_SET) != pi.pi_offset)
        return file_error(form, GMX_OPEN, F, "cannot write the file", file);
    // Cells left of the matrix (a negative x) have no node: the row is read from the first cell
    // inside it, the ones before stay white.
    int64_t lead = x < 0 ? static_cast<int64_t>(
                               std::min<__int128>((-static_cast<__int128>(x) + sx - 1) / sx, width))
                         : 0;
    dc[1] = x + lead * sx;
    void* table[1] = {pixels.data() + lead};
    // The report is closed after the run has let go of its node.
    Report rep;
    // The export only reads, through a cache of its own: it takes no lock of the entry, so its
    // progress report, a back-call to the caller that may go unanswered for its full bound, never
    // holds another caller's import of the matrix.
    GmxRun run(e, 0, -1, 3, "disable", false);
    MX_CACHE_PARAM& p = run.param(dc.data(), pos, 2, table);
    p.vector_len = static_cast<int>(width - lead);
    rep.id = new_progressive(std_text("ExportPNM"), std_text(".progressve"), 0);
    if (rep.id >= 0) {
        int stage = new_stage(rep.id, std_text("ExportPNM"), -1, 0);
        next_stage(rep.id, stage, static_cast<double>(height), 0);
    }
    auto last_report = std::chrono::steady_clock::now();
    for (int64_t r = 0; r < height; r++) {
        // A report update writes the report out, which costs far more than a row: the first
        // row and then at most ten a second.
        auto now = std::chrono::steady_clock::now();
        if (rep.id >= 0 && (r == 0 || now - last_report >= std::chrono::milliseconds(100))) {
            set_stage(rep.id, nullptr, static_cast<double>(r), 0);
            last_report = now;
        }
        std::fill(pixels.begin(), pixels.end(), 255u);
        // Cells of a node the file does not hold are white; a node it names but cannot give (a
        // damaged file) ends the export with an error, never a picture with white in its place.
        // Rows above the matrix (a negative y) read nothing.
        if (pos >= 0 && p.vector_len > 0 && dc[2] >= 0 && read_mx_cache_vector(&p) < 0 &&
            gmx_node_failure(mx_cache_error))
            return gmx_read_error(form, F, m);
        // No node stays held while the row goes to the file and the report is updated.
        run.release_node();
        for (int64_t i = 0; i < width; i++) {
            uint32_t v = pixels[i];
            uint8_t* o = &out[i * 3];
            if (v & 0xff) {
                o[0] = o[1] = o[2] = 255;
            } else {
                o[0] = v >> 24;
                o[1] = (v >> 16) & 0xff;
                o[2] = (v >> 8) & 0xff;
            }
        }
        if (u_write_full(f.fd, out.data(), static_cast<size_t>(width) * 3) != 0)
            return file_error(form, GMX_OPEN, F, "cannot write the file", file);
        dc[2] += sy;
    }
    // A failed close can mean rows never reached the disk.
    int fd = f.fd;
    f.fd = -1;
    if (u_close(fd) != 0) return file_error(form, GMX_OPEN, F, "cannot write the file", file);
    return nullptr;
}

}  // namespace

void init_gmxImportPNM(QVISP_ENV*, QVISP_ENV* env1) {
    bind_prim(env1, "gmxImportPNM", vx_gmxImportPNM, FUNC_APPLICATIVE, 6, 6);
}

void init_gmxPNMStatus(QVISP_ENV*, QVISP_ENV* env1) {
    bind_prim(env1, "gmxPNMStatus", vx_gmxPNMStatus, FUNC_APPLICATIVE, 2, 2);
}

void init_gmxExportPNM(QVISP_ENV*, QVISP_ENV* env1) {
    bind_prim(env1, "gmxExportPNM", vx_gmxExportPNM, FUNC_APPLICATIVE, 4, 8);
}

int matrix_test_1sec(MATRIX* m) {
    static std::atomic<uint32_t> last{0};
    uint32_t now = matrix_now();
    if (last.exchange(now) == now) return static_cast<int>(now);
    return matrix_test(m);
}
