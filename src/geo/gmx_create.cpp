// gmxCreate and its creation forms (see gmx_create.h).
#include "geo/gmx_create.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/ufile.h"
#include "builtins/bltn_util.h"
#include "geo/gmx_attr.h"
#include "geo/open_mx.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "lisp/statements.h"
#include "longchar/longchar.h"
#include "matrix/mxfile.h"
#include "matrix/mxstore.h"
#include "matrixops/mtx_common.h"
#include "pdb/pdb64.h"
#include "stream/sprintf.h"

namespace {

constexpr int kSlots = MX_CAL_SLOTS;
static_assert(mx_bounds[MXB_SLOT].hi == kSlots - 1);
constexpr uint32_t kCreateMagic = 0x47435257;  // work record of a gmxCreate body
constexpr uint32_t kParamMagic = 0x47505257;   // work record of a gmxMatrixParam body
// What no matrix can have is refused with "value" before the store sees it: values outside the
// bounds of the matrix store's table (matrix/mx_bounds.h), which its file reader holds to too.
constexpr int kDimMax = mx_bounds[MXB_DIM].hi;

QVISP_ENV* E1;
QVISP_ENV* E2;

// The state of one gmxCreate body.
struct CREATE_WORK {
    uint32_t magic;
    MATRIX* mtx;
    int mode;  // 1: the file held the matrix; the description forms do nothing
    int active_phase_mode;
    uint8_t pri_active[3];
    int pri[3][kSlots];
    uint8_t phase_active[3];
    QV_SEXP* phase[3][kSlots];
    QVISP_ENV* env;
    // What "____gc_bind" and ".phase" hold: every expression installed or recorded, so the
    // collector keeps them while the body runs.
    QV_SEXP* gc_bind;
    QV_SEXP* phase_list;
};

struct MATRIX_PARAM_WORK {
    uint32_t magic;
    MATRIX_PARAM p;
    CREATE_WORK* cw;
};

struct CREATE_PARAM {
    MATRIX* m;
    int mode;
    MATRIX_PARAM p;
};

const char* const kModeNames[3] = {"direct", "server", "client"};

// ---- The matrix file.

// What a file that did not open as a matrix holds.
enum class FileFound { absent_or_empty, foreign, record_file };

// Whether the first bytes of a file carry a matrix file's own marks: the record file's header
// (its version text, or its file type with its encoding text) or a matrix header record where
// a new matrix file places it. Any one of them is enough, so that damage to another leaves the
// file known as a matrix.
bool matrix_marks(const uint8_t* b, size_t n) {
    PDB64_PHYS ph{};
    if (pn64_get_phys(b, static_cast<int>(n), &ph) > 0 && ph.type == PN64_FILE_HEADER_TYPE &&
        ph.len == pn64_onfile_length(PN64_FILE_HEADER_SIZE))
        return true;
    auto at = [&](size_t ofs, const void* mark, size_t len) {
        return n >= ofs + len && memcmp(b + ofs, mark, len) == 0;
    };
    const uint8_t type[4] = {0, 0, 0, static_cast<uint8_t>(MX_FILE_TYPE)};
    const uint8_t header[2] = {MX_REC_HEADER >> 8, MX_REC_HEADER & 0xff};
    return at(8, PN64_VERSION, sizeof PN64_VERSION - 1) || (at(4, type, 4) && at(16, "utf8", 4)) ||
           at(PN64_FIRST_RECORD, header, 2);
}

// Looks at the file without changing it and without following a symbolic link: a file that
// carries a matrix file's marks counts as a record file (a damaged matrix is left as it is), so
// does anything that cannot be looked at, a link and anything but a regular file.
FileFound inspect_file(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0)
        return errno == ENOENT ? FileFound::absent_or_empty : FileFound::record_file;
    if (!S_ISREG(st.st_mode)) return FileFound::record_file;
    if (st.st_size == 0) return FileFound::absent_or_empty;
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return FileFound::record_file;
    uint8_t head[64];
    ssize_t n = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = pread(fd, head, sizeof head, 0);
    close(fd);
    if (n <= 0) return FileFound::record_file;
    return matrix_marks(head, static_cast<size_t>(n)) ? FileFound::record_file : FileFound::foreign;
}

// Empties a foreign file in place, never through a link; 0 or -1.
int empty_file(const char* path) {
    int fd = open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return -1;
    struct stat st;
    int r = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ftruncate(fd, 0) : -1;
    close(fd);
    return r;
}

// Whether another opening holds the writer's lock of the file at path now: a shared lock is
// refused while it does (and is let go at once when granted).
bool writer_lock_held(const char* path) {
    int fd = u_open_regular(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    bool held = u_flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    u_close(fd);
    return held;
}

// How long an opening waits for a writer's lock to go: a writer killed a moment ago holds it
// until its process has ended, some milliseconds later.
constexpr auto kLockedRetry = std::chrono::seconds(2);
constexpr auto kLockedPause = std::chrono::milliseconds(20);

// Step 3: 0 when the file holds the matrix, -124 for a new one (absent, empty, or a file that
// is no record file and carries no mark of a matrix, which is emptied), -100 without a file
// name; -123 when the file is left as it is (a live writer, a damaged matrix, a symbolic link,
// anything but a regular file, a refused or failed access). The file is never opened through a
// link: a matrix is written where its name says. A file whose writer's lock is held is tried
// again for a short while first.
int load_header(MATRIX* m) {
    constexpr int kFlags = O_RDWR | O_CREAT | O_NOFOLLOW;
    if (!m->filename) return MXF_NO_NAME;
    std::string path = n_string(std_cm, m->filename);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) return MXF_CANNOT_OPEN;
    int r = load_matrix_header(m, kFlags, 0644);
    if (r == 0 || r == MXF_NO_NAME) return r;
    if ((r == MXF_DAMAGED || r == MXF_CANNOT_OPEN) && writer_lock_held(path.c_str())) {
        auto until = std::chrono::steady_clock::now() + kLockedRetry;
        bool held = true;
        while (held && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(kLockedPause);
            held = writer_lock_held(path.c_str());
        }
        if (!held && load_matrix_header(m, kFlags, 0644) == 0) return 0;
    }
    switch (inspect_file(path.c_str())) {
        case FileFound::absent_or_empty:
            return MXF_DAMAGED;
        case FileFound::foreign:
            return empty_file(path.c_str()) == 0 ? MXF_DAMAGED : MXF_CANNOT_OPEN;
        case FileFound::record_file:
        default:
            return MXF_CANNOT_OPEN;
    }
}

// ---- Work records and small helpers.

CREATE_WORK* create_work(QVISP_ENV* env) {
    auto* w = static_cast<CREATE_WORK*>(get_env_work(env));
    return w && w->magic == kCreateMagic ? w : nullptr;
}

MATRIX_PARAM_WORK* param_work(QVISP_ENV* env) {
    auto* w = static_cast<MATRIX_PARAM_WORK*>(get_env_work(env));
    return w && w->magic == kParamMagic ? w : nullptr;
}

QV_SEXP* env_error(QV_SEXP* form, const char* func) {
    return gmx_error(form, GMX_NO_WORK, func, "invalid emvironment use of gmx function");
}

QV_SEXP* pair_data(const char* a, QV_SEXP* b) {
    return List(n_get_string(a), b, LIST_END);
}

void set_gc_bind(CREATE_WORK* cw, QV_SEXP* s) {
    cw->gc_bind = cons(s, cw->gc_bind);
    set_env(cw->env, l_string(std_cm, "____gc_bind"), cw->gc_bind);
}

void cw_sexp(CREATE_WORK* cw, QV_SEXP* s) {
    cw->phase_list = cons(s, cw->phase_list);
    set_env(cw->env, l_string(std_cm, ".phase"), cw->phase_list);
}

// A body environment over (calling, args) whose work record is work.
QVISP_ENV* body_env(QVISP_ENV* env, QVISP_ENV* args_env, void* work) {
    QVISP_ENV* b = new_env(new_env_pair(env, args_env));
    set_env_work(b, work);
    return b;
}

// The work record lives on the creating call's stack: an environment that outlives the call
// (captured by the body) must not lead to it.
void end_body_env(QVISP_ENV* b) {
    set_env_work(b, nullptr);
}

// ---- Storing phase modes.

// Stores one mode's 24 expressions as printed texts (a slot without one loses its stored text).
int save_mode_cal_sexp(MATRIX* m, int mode, QV_SEXP* const* phase) {
    std::string texts[kSlots];
    char* one[kSlots][2] = {};
    char** cals[kSlots] = {};
    for (int i = 0; i < kSlots; i++) {
        if (!phase[i]) continue;
        texts[i] = print_sexp_text(phase[i], 64);
        one[i][0] = texts[i].data();
        cals[i] = one[i];
    }
    return save_mode_cal(m, mode, cals, nullptr);
}

// Steps after the body: header, priorities and texts per mode, the current mode's calibrations.
QV_SEXP* finish_creation(CREATE_WORK* cw, QV_SEXP* form, int header, QV_SYM_FIELD* attr) {
    MATRIX* m = cw->mtx;
    // A new matrix's file is written now; a file that cannot be made fails the creation, and so
    // does a matrix without channels or levels (a dimension without divide or pixel size), which
    // no reader could open again.
    if (header == MXF_DAMAGED && !mx_matrix_complete(m))
        return gmx_error(form, GMX_PARAM, "gmxCreate", "incomplete matrix parameters");
    if (header == MXF_DAMAGED && save_matrix_header(m) < 0)
        return gmx_error(form, GMX_OPEN, "gmxCreate", "gmxCreate open file error");
    static const char* const pri_names[3] = {"mode pri direct", "mode pri server",
                                             "mode pri client"};
    static const char* const phase_names[3] = {"mode phase(DIRECT save)", "mode phase(SERVER save)",
                                               "mode phase(CLIENT save)"};
    for (int md = 0; md < 3; md++) {
        if (!cw->pri_active[md]) continue;
        int r = save_mode_cal(m, md, nullptr, cw->pri[md]);
        if (r < 0)
            return gmx_error_d(form, GMX_STORE, "gmxCreate/gmxMatrixParam/gmxPriority",
                               pair_data(pri_names[md], gmx_code(r)));
    }
    for (int md = 0; md < 3; md++) {
        if (!cw->phase_active[md]) continue;
        int r = save_mode_cal_sexp(m, md, cw->phase[md]);
        if (r < 0)
            return gmx_error_d(form, GMX_STORE, "gmxCreate/gmxPhase",
                               pair_data(phase_names[md], gmx_code(r)));
    }
    if (const L_CHAR* t = attr_text(attr, "currentPhase_mode")) {
        int md = gmx_phase_mode(t);
        if (md < 0)
            return gmx_error_d(form, GMX_PARAM, "gmxCreate",
                               pair_data("inv_param", n_get_string("currentPhase_mode")));
        QV_SEXP* cals[kSlots];
        int pri[kSlots];
        int r = load_mode_cal(cals, pri, m, md);
        if (r < 0) return gmx_error_d(form, GMX_STORE, "gmxCreate/set phase", gmx_code(r));
        MATRIX_PARAM p{};
        memcpy(p.pri_area, pri, sizeof pri);
        if ((r = set_matrix_param(m, &p)) < 0)
            return gmx_error_d(form, GMX_STORE, "gmxCreate/set matrix_param", gmx_code(r));
        for (int i = 0; i < kSlots; i++)
            if ((r = set_matrix_cal(m, i, cals[i])) < 0)
                return gmx_error_d(form, GMX_STORE, "gmxCreate/set phase", gmx_code(r));
    }
    return nullptr;
}

// The creation proper: null with cp filled, or an error value (the matrix then closed).
QV_SEXP* vx_gmxCreate_matrix(CREATE_PARAM* cp, QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env,
                             QV_SYM_FIELD* attr) {
    CREATE_WORK cw{};
    cw.magic = kCreateMagic;
    cw.active_phase_mode = -1;
    if (const L_CHAR* t = attr_text(attr, "activePhase_mode")) {
        cw.active_phase_mode = gmx_phase_mode(t);
        if (cw.active_phase_mode < 0)
            return gmx_error_d(form, GMX_PARAM, "gmxCreate",
                               pair_data("inv_param", n_get_string("activePhase_mode")));
    }
    MATRIX* m = nullptr;
    int header = 0;
    // A file still held by a matrix whose entry is being closed (a read by name's own opening,
    // a gmxClose) is free once that close ends: waited for, bounded, and tried again.
    for (int round = 0; round < 4; round++) {
        uint64_t begun = mx_entry_closes_begun();
        m = open_matrix(attr_text(attr, "neturl"), attr_text(attr, "filename"),
                        attr_text(attr, "key"), nullptr, nullptr);
        header = m ? load_header(m) : 0;
        if ((m && header != MXF_CANNOT_OPEN) || round == 3 || !wait_mx_entry_closes(begun)) break;
        if (m) close_matrix(m);
        m = nullptr;
    }
    if (!m)
        return gmx_error_d(form, GMX_OPEN, "gmxCreate",
                           pair_data("open file error", n_get_string("open_matrix")));
    if (header == MXF_CANNOT_OPEN) {
        close_matrix(m);
        return gmx_error(form, GMX_OPEN, "gmxCreate", "gmxCreate open file error");
    }
    cw.mode = header == 0 ? 1 : 0;
    if (set_matrix_param(m, &cp->p) < 0) er_panic("vx_gmxCreate");

    cw.mtx = m;
    cw.env = body_env(env, args_env, &cw);
    gc_push(cw.env, gc_vxlisp_env, "gmxCreate");
    set_env(cw.env, l_string(std_cm, "____gc_bind"), nullptr);
    QV_SEXP* r = eval_body(cw.env, form_rest(form, 1));
    r = get_type(r) == QVT_ERROR ? r : nullptr;
    if (!r) r = finish_creation(&cw, form, header, attr);
    end_body_env(cw.env);
    if (r) {
        // A failure after the body closes the matrix as a body error does: left in mode 0, every
        // later open of the file would wait for ever.
        close_matrix(m);
        gc_pop(r, gc_vx_sexp);
        return r;
    }
    set_matrix_mode(m, 1);
    cp->m = m;
    cp->mode = cw.mode;
    gc_pop(nullptr, nullptr);
    return nullptr;
}

QV_SEXP* vx_gmxCreate(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                      QVISP_ENV*) {
    if (attr_text(attr, "readphase")) {
        int mode = 0;
        gmx_attr_int(attr, "readphase", &mode);
        MX_ENTRY* e = open_mxread(attr_text(attr, "neturl"), attr_text(attr, "filename"),
                                  attr_text(attr, "key"), mode);
        if (!e) return gmx_error(form, GMX_OPEN, "gmxCreate", "gmxCreate open file error");
        // The id is the script's: the entry stays open though a read may have opened it.
        keep_mx_entry(e);
        int id = e->id;
        release_mx_entry(e);
        return get_integer(id, nullptr);
    }
    CREATE_PARAM cp{};
    cp.p.read_file = matrix_standard_read_file;
    cp.p.write_file = matrix_standard_write_file;
    cp.p.close_file = close_matrix_file;
    if (QV_SEXP* r = vx_gmxCreate_matrix(&cp, env, form, args_env ? args_env : E1, attr)) return r;
    if (!cp.m) return gmx_error(form, GMX_OPEN, "gmxCreate", "gmxCreate open file error");
    auto* e = static_cast<MX_ENTRY*>(d_alloc(sizeof(MX_ENTRY)));
    memset(e, 0, sizeof *e);
    e->c.m = cp.m;
    e->mode = cp.mode;
    new_mx_entry(e, nullptr);
    int id = e->id;
    release_mx_entry(e);
    return get_integer(id, nullptr);
}

// ---- The creation forms.

QV_SEXP* vx_gmxMatrixParam(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                           QVISP_ENV*) {
    const char* F = "gmxCreate/gmxMatrixParam";
    CREATE_WORK* cw = create_work(env);
    if (!cw) return env_error(form, F);
    ss_printf("CW %p %i\n", static_cast<void*>(cw), cw->mode);
    if (cw->mode != 0) return nullptr;
    MATRIX_PARAM_WORK pw{};
    pw.magic = kParamMagic;
    pw.cw = cw;
    int channels = 0, dim = 0;
    if (!gmx_attr_int(attr, "channel_nos", &channels))
        return gmx_error(form, GMX_PARAM, F, "channel_nos is required");
    if (channels <= 0) return gmx_error(form, GMX_PARAM, F, "invalid channel_nos value");
    if (!mx_in_bounds(MXB_CHANNELS, channels)) return gmx_error(form, GMX_PARAM, F, "value");
    if (!gmx_attr_int(attr, "dim", &dim)) return gmx_error(form, GMX_PARAM, F, "dim is required");
    if (dim <= 0) return gmx_error(form, GMX_PARAM, F, "invalid dim value");
    if (dim > kDimMax) return gmx_error(form, GMX_PARAM, F, "value");
    pw.p.channel_nos = channels;
    pw.p.dim = dim;
    if (attr_on(attr, "index_hem")) pw.p.flags |= MXP_INDEX_HEM;
    if (attr_on(attr, "cache_file")) pw.p.flags |= MXP_CACHE_FILE;
    QVISP_ENV* penv = body_env(env, args_env ? args_env : E2, &pw);
    gc_push(penv, gc_vxlisp_env, "gmxMatrixParam");
    QV_SEXP* r = eval_body(penv, form_rest(form, 1));
    r = get_type(r) == QVT_ERROR ? r : nullptr;
    end_body_env(penv);
    if (!r) {
        int code = set_matrix_param(cw->mtx, &pw.p);
        if (code < 0) r = gmx_error_d(form, GMX_STORE, F, gmx_code(code));
    }
    gc_pop(r, gc_vx_sexp);
    return r;
}

QV_SEXP* vx_gmxPriority(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const char* F = "gmxCreate/gmxMatrixParam/gmxPriority";
    MATRIX_PARAM_WORK* pw = param_work(env);
    if (!pw) return env_error(form, F);
    int area = 0, pri = 0;
    if (!gmx_attr_int(attr, "area", &area)) return gmx_error(form, GMX_PARAM, F, "area");
    if (!mx_in_bounds(MXB_SLOT, area)) return gmx_error(form, GMX_PARAM, F, "area boudary error");
    if (!gmx_attr_int_or_hex(attr, "pri", &pri)) return gmx_error(form, GMX_PARAM, F, "pri");
    const L_CHAR* mode = attr_text(attr, "mode");
    if (!mode || text_is(mode, "active")) {
        pw->p.pri_area[area] = pri;
        return nullptr;
    }
    int md = gmx_phase_mode(mode);
    if (md < 0) return gmx_error(form, GMX_PARAM, F, "mode value");
    pw->cw->pri[md][area] = pri;
    pw->cw->pri_active[md] = 1;
    return nullptr;
}

// gmxMatrixDimDivide, gmxMatrixBlockSize, gmxMatrixPixelSize.
enum class DimSetter { divide, block, pixel };

QV_SEXP* dim_form(QVISP_ENV* env, QV_SEXP* form, QV_SYM_FIELD* attr, DimSetter which,
                  const char* F) {
    CREATE_WORK* cw = create_work(env);
    if (!cw) return env_error(form, F);
    if (cw->mode != 0) return nullptr;
    int d = 0;
    int64_t v = 0;
    if (!gmx_attr_int(attr, "dim", &d)) return gmx_error(form, GMX_PARAM, F, "dim");
    // The value is read whole: a number past 32 bits is refused, not clipped into the bounds.
    if (!gmx_attr_int64(attr, "value", &v)) return gmx_error(form, GMX_PARAM, F, "value");
    MATRIX* m = cw->mtx;
    static constexpr MX_BOUND_KIND kind[] = {MXB_DIVIDE, MXB_BLOCK, MXB_PIXEL};
    // A dimension out of range is the setter's to answer (with its code); a value out of bounds
    // (a text reads as 0) is refused by name.
    if (m->p.dim && d >= 0 && d < m->p.dim &&
        !mx_dim_value_ok(m, kind[static_cast<int>(which)], d, v))
        return gmx_error(form, GMX_PARAM, F, "value");
    int r = 0;
    switch (which) {
        case DimSetter::divide:
            r = set_matrix_dim_divide(m, d, static_cast<int>(v));
            break;
        case DimSetter::block:
            r = set_matrix_block_size(m, d, static_cast<int>(v));
            break;
        case DimSetter::pixel:
            r = set_matrix_pixel_size(m, d, v);
            break;
    }
    if (r < 0) return gmx_error_d(form, GMX_STORE, F, gmx_code(r));
    return nullptr;
}

QV_SEXP* vx_gmxMatrixDimDivide(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                               QVISP_ENV*) {
    return dim_form(env, form, attr, DimSetter::divide, "gmxCreate/gmxMatrixDimDivide");
}
QV_SEXP* vx_gmxMatrixBlockSize(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                               QVISP_ENV*) {
    return dim_form(env, form, attr, DimSetter::block, "gmxCreate/gmxMatrixBlockSize");
}
QV_SEXP* vx_gmxMatrixPixelSize(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                               QVISP_ENV*) {
    return dim_form(env, form, attr, DimSetter::pixel, "gmxCreate/gmxMatrixPixelSize");
}

// The default element of a channel from a script value, into buf (8 bytes) or a new element
// (*owned). False for a value of the wrong kind or size, or outside the type's range: a number
// goes in as it is or not at all, by the rule every number set into a channel follows.
bool default_element(MATRIX_DATA_TYPE* scalar, int code, QV_SEXP* v, uint64_t* buf, void** out,
                     bool* owned) {
    int low = code & 15;
    int size = scalar->get_size ? scalar->get_size(scalar, nullptr) : 0;
    *owned = false;
    *out = buf;
    auto put_int = [&](int64_t x) {
        switch (size) {
            case 1:
                *reinterpret_cast<uint8_t*>(buf) = static_cast<uint8_t>(x);
                return true;
            case 2:
                *reinterpret_cast<uint16_t*>(buf) = static_cast<uint16_t>(x);
                return true;
            case 4:
                *reinterpret_cast<uint32_t*>(buf) = static_cast<uint32_t>(x);
                return true;
            case 8:
                *reinterpret_cast<int64_t*>(buf) = x;
                return true;
            default:
                return false;
        }
    };
    int kind = get_type(v);
    if (kind == QVT_INTEGER || kind == QVT_FLOAT) {
        if (!mxt_value_in_range(low, v)) return false;
        double x = kind == QVT_FLOAT ? v->floating.data : static_cast<double>(v->integer.data);
        if (low == MXT_DOUBLE) {
            *reinterpret_cast<double*>(buf) = x;
            return true;
        }
        if (low == MXT_FLOAT) {
            *reinterpret_cast<float*>(buf) = static_cast<float>(x);
            return true;
        }
        if (kind == QVT_INTEGER) return put_int(v->integer.data);
        double t = std::trunc(x);
        // In range, a uint64 above 2^63 - 1 keeps its bit pattern.
        if (low == MXT_UINT64) return put_int(static_cast<int64_t>(static_cast<uint64_t>(t)));
        return put_int(static_cast<int64_t>(t));
    }
    if (kind == QVT_STRING) {
        if (low != MXT_STRING || !scalar->sexp2md) return false;
        // As the string type converts script values, so that the stored default reads back.
        int cpy = 0;
        void* d = scalar->sexp2md(&cpy, scalar, v);
        if (!d) return false;
        *out = d;
        *owned = cpy == 1;
        return true;
    }
    return false;
}

QV_SEXP* vx_gmxChannelInfo(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                           QVISP_ENV*) {
    const char* F = "gmxCreate/gmxChannelInfo";
    CREATE_WORK* cw = create_work(env);
    if (!cw) return env_error(form, F);
    if (cw->mode != 0) return nullptr;
    int ch = 0;
    if (!gmx_attr_int(attr, "channel", &ch)) return gmx_error(form, GMX_PARAM, F, "channel");
    const L_CHAR* tname = attr_text(attr, "type");
    if (!tname) return gmx_error(form, GMX_PARAM, F, "type");
    MATRIX_DATA_TYPE* tp = nullptr;
    for (int code = 0; code < MXT_TYPE_MAX && !tp; code++) {
        MATRIX_DATA_TYPE* t = get_matrix_data_type(code);
        if (t && t->type_name && text_is(tname, t->type_name)) tp = t;
    }
    if (!tp) return gmx_error(form, GMX_PARAM, F, "invalid type(type)");
    MATRIX_CHANNEL_INFO info{};
    info.data_type = tp;
    if (attr_on(attr, "send")) info.flags |= 1;
    if (attr_on(attr, "file")) info.flags |= 2;
    if (attr_on(attr, "visu")) info.flags |= 4;
    if (attr_on(attr, "send_visu")) info.flags |= 0x20;
    if (attr_on(attr, "send_file")) info.flags |= 0x10;
    uint64_t buf = 0;
    void* owned_el = nullptr;
    MATRIX_DATA_TYPE* scalar = tp->parent ? tp->parent : tp;
    if (get_type(form_rest(form, 1)) == QVT_PAIR) {
        bool owned = false;
        void* d = nullptr;
        if (!default_element(scalar, tp->type, get_el(form, 1), &buf, &d, &owned))
            return gmx_error(form, GMX_MISMATCH, F, nullptr);
        info.default_data = d;
        if (owned) owned_el = d;
    }
    int r = set_matrix_channel_info(cw->mtx, ch, &info);
    if (owned_el) {
        if (scalar->free_data)
            scalar->free_data(scalar, owned_el);
        else
            d_f_ree(owned_el);
    }
    if (r < 0) return gmx_error_d(form, GMX_STORE, F, gmx_code(r));
    return nullptr;
}

QV_SEXP* vx_gmxPhase(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const char* F = "gmxCreate/gmxPhase";
    CREATE_WORK* cw = create_work(env);
    if (!cw) return env_error(form, F);
    int area = 0, equ = 0;
    if (!gmx_attr_int(attr, "area", &area)) return gmx_error(form, GMX_PARAM, F, "area");
    if (!mx_in_bounds(MXB_SLOT, area)) return gmx_error(form, GMX_PARAM, F, "no value boundary");
    // The mode name is checked before the slot an "equ" copies from.
    const L_CHAR* mode = attr_text(attr, "mode");
    int md = -1;
    bool live = !mode || text_is(mode, "active");
    if (!live) {
        md = gmx_phase_mode(mode);
        if (md < 0) return gmx_error(form, GMX_PARAM, F, "mode value");
    }
    const L_CHAR* type = attr_text(attr, "type");
    bool is_equ = text_is(type, "equ");
    if (is_equ) {
        if (!gmx_attr_int(attr, "equ", &equ)) return gmx_error(form, GMX_PARAM, F, "equ");
        if (!mx_in_bounds(MXB_SLOT, equ))
            return gmx_error(form, GMX_PARAM, F, "equ value boundary");
    }
    QV_SEXP* ex = nullptr;
    if (!is_equ) {
        ex = vx_quote_trace(env, form_rest(form, 1), type);
        if (get_type(ex) == QVT_ERROR) return ex;
    }
    if (!live) {
        // Recorded for the phase mode only; the live slots stay as they are.
        cw->phase[md][area] = is_equ ? cw->phase[md][equ] : ex;
        cw->phase_active[md] = 1;
        if (!is_equ) cw_sexp(cw, ex);
        return nullptr;
    }
    int apm = cw->active_phase_mode;
    if (is_equ) {
        int r = set_matrix_cal_equ(cw->mtx, area, equ);
        if (r < 0) return gmx_error_d(form, GMX_STORE, F, gmx_code(r));
        if (apm >= 0) {
            cw->phase[apm][area] = cw->phase[apm][equ];
            cw->phase_active[apm] = 1;
        }
        return nullptr;
    }
    set_gc_bind(cw, ex);
    int r = set_matrix_cal(cw->mtx, area, ex);
    if (r < 0) return gmx_error_d(ex ? ex : form, GMX_STORE, F, gmx_code(r));
    if (apm >= 0) {
        cw->phase[apm][area] = ex;
        cw->phase_active[apm] = 1;
        cw_sexp(cw, ex);
    }
    return nullptr;
}

}  // namespace

int gmx_phase_mode(const L_CHAR* text) {
    for (int i = 0; i < 3; i++)
        if (text_is(text, kModeNames[i])) return i;
    return -1;
}

void init_gmx_format(QVISP_ENV* e1, QVISP_ENV* e2) {
    set_env(e1, l_string(std_cm, "gmxMatrixParam"),
            get_func_prim(vx_gmxMatrixParam, FUNC_NORMAL, e2, 1, FUNC_NO_MAX));
    bind_prim(e2, "gmxPriority", vx_gmxPriority, FUNC_APPLICATIVE, 1, 1);
    bind_prim(e1, "gmxMatrixDimDivide", vx_gmxMatrixDimDivide, FUNC_APPLICATIVE, 1, 1);
    bind_prim(e1, "gmxMatrixBlockSize", vx_gmxMatrixBlockSize, FUNC_APPLICATIVE, 1, 1);
    bind_prim(e1, "gmxMatrixPixelSize", vx_gmxMatrixPixelSize, FUNC_APPLICATIVE, 1, 1);
    bind_prim(e1, "gmxChannelInfo", vx_gmxChannelInfo, FUNC_APPLICATIVE, 1, 2);
    bind_prim(e1, "gmxPhase", vx_gmxPhase, FUNC_NORMAL, 1, FUNC_NO_MAX);
}

void init_gmxCreate(QVISP_ENV*, QVISP_ENV* env1) {
    E1 = new_env(nullptr);
    E2 = new_env(nullptr);
    init_gmx_format(E1, E2);
    set_env(env1, l_string(std_cm, "gmxCreate"),
            get_func_prim(vx_gmxCreate, FUNC_NORMAL, E1, 1, FUNC_NO_MAX));
}

QVISP_ENV* gmx_create_env() {
    return E1;
}
QVISP_ENV* gmx_param_env() {
    return E2;
}
