// gmxPgPlotInsert (see pgplot_insert.h).
#include "geo/pgplot_insert.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/tick.h"
#include "builtins/bltn_util.h"
#include "geo/gmx_attr.h"
#include "geo/gmx_io.h"
#include "geo/pgplot.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "matrix/mx_sb.h"
#include "matrixops/plot_block.h"
#include "matrixops/plot_field.h"
#include "matrixops/plot_level.h"
#include "matrixops/plot_sb.h"
#include "matrixops/plot_script.h"
#include "stream/sprintf.h"

namespace {

constexpr const char* kName = "gmxPgPlotInsert";

QV_SEXP* param(QV_SEXP* form, const char* detail) {
    return gmx_error_d(
        form, GMX_PARAM, kName,
        List(n_get_string("invalid parameter in gmxPgPlotInsert"), n_get_string(detail), LIST_END));
}

QV_SEXP* mismatch(QV_SEXP* form, const char* detail) {
    return gmx_error_d(form, GMX_MISMATCH, kName,
                       List(n_get_string("type missmatch"), n_get_string(detail), LIST_END));
}

// What one call works with.
struct Insert {
    QV_SEXP* form;
    MX_ENTRY* e;
    MATRIX* m;
    FD_OPT_PTR* set;
    int ch;
    bool csv;
    MX_CACHE* c;  // the run's cache for lines, the entry's for a record
};

// A record's coordinate slots (one per dimension) and fields (last_label + 1), all of kind none
// to begin with.
struct Record {
    IP_FIELD* crd;
    IP_FIELD* fields;
    Record(int dim, int nfields)
        : crd(new_fields(static_cast<uint32_t>(dim))),
          fields(new_fields(static_cast<uint32_t>(nfields))) {}
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    ~Record() {
        free_fields(crd);
        free_fields(fields);
    }
};

// One option's value into a slot; a slot set twice keeps the later value.
int fill(IP_FIELD* target, const void* data, FD_OPT* opt, int flag) {
    const FIELD_TYPE* row = fd_row(opt->merge_type);
    if (!row) return -8;
    d_f_ree(target->d.p);
    target->d.p = nullptr;
    target->type = FD_NONE;
    return row->initial(target, data, opt, flag);
}

// Calls option o for its coordinate slot and its field; an error value or null.
QV_SEXP* apply(const Insert& in, Record& r, FD_OPT_ENTRY* o, const void* data, int flag,
               const char* crd_detail, const char* field_detail) {
    auto failed = [&](int code, const char* detail) {
        return gmx_error_d(
            in.form, static_cast<uint32_t>(code), kName,
            List(n_get_string("type missmatch or others"), n_get_string(detail), LIST_END));
    };
    if (o->opt.dim >= 0) {
        if (o->opt.dim >= in.m->p.dim) return param(in.form, "dim");
        int rc = fill(&r.crd[o->opt.dim], data, &o->opt, flag);
        if (rc < 0) return failed(rc, crd_detail);
    }
    if (o->target_label >= 0) {
        if (o->target_label > in.set->last_label) return param(in.form, "label");
        IP_FIELD* f = &r.fields[o->target_label];
        int rc = fill(f, data, &o->opt, flag);
        // A number field given a text without a number (an empty CSV cell) is left without a
        // value, as a missing column leaves it, and the record goes in; a coordinate cannot be
        // left so and is refused above.
        if (rc < 0 && rc != FD_NO_NUMBER) return failed(rc, field_detail);
        // A coordinate-only kind (0x30) has no stored form as a field.
        if (!fd_code_type_valid(f->type)) return mismatch(in.form, "field kind");
    }
    return nullptr;
}

// Fills the record's slots from its source (a CSV line, or a list whose elements are the
// columns) and gives its level-0 position in crd; an error value or null.
QV_SEXP* read_record(const Insert& in, QV_SEXP* src, Record& r, int64_t* crd) {
    const char* init_crd = in.csv ? "get data1" : "get data";
    const char* init_field = in.csv ? "get data3" : "get data";
    const char* col_crd = in.csv ? "getDim1" : "getDim";
    const char* col_field = in.csv ? "get data2" : "get data";
    FD_OPT_ENTRY* o = in.set->opt;
    for (; o && o->csv_label < 0; o = o->next)
        if (QV_SEXP* err = apply(in, r, o, o->opt.init_sexp, 0, init_crd, init_field)) return err;
    if (in.csv) {
        const L_CHAR* s = src->string.data;
        size_t len = s ? l_strlen(s) : 0;
        std::vector<L_CHAR> cell;
        size_t at = 0;
        for (int col = 0; o && at <= len; col++) {
            size_t end = at;
            while (end < len && s[end] != ',')
                end++;
            if (o->csv_label == col) {
                cell.assign(s + at, s + end);
                cell.push_back(0);
                for (; o && o->csv_label == col; o = o->next)
                    if (QV_SEXP* err = apply(in, r, o, cell.data(), 1, col_crd, col_field))
                        return err;
            }
            at = end + 1;
        }
    } else {
        int col = 0;
        for (QV_SEXP* p = src; o && get_type(p) == QVT_PAIR; p = p->pair.cdr, col++)
            for (; o && o->csv_label == col; o = o->next)
                if (QV_SEXP* err = apply(in, r, o, p->pair.car, 0, col_crd, col_field)) return err;
    }
    crd[0] = 0;
    for (int d = 0; d < in.m->p.dim; d++) {
        const IP_FIELD& f = r.crd[d];
        int64_t v = 0;
        if ((f.type >> 4) == 3 && f.d.i)
            v = f.d.i[0];
        else if ((f.type >> 4) != 1)
            return mismatch(in.form, "dimmention data type missmatch");
        // The cell index and the node walk hold only positions inside the matrix.
        if (v < 0 || v >= in.m->pixel_size[d]) return param(in.form, "coordinate");
        crd[1 + d] = v;
    }
    return nullptr;
}

// The plot block of the node's channel, the node left channel-locked; null (not locked) when the
// channel holds no block of the plot kind.
MX_STRUCT_BLOCK* plot_block(MATRIX_NODE* n, int ch) {
    auto* sb = static_cast<MX_STRUCT_BLOCK*>(get_channel_struct_block(n, ch));
    if (sb && sb->tbl != &blk_pp_sb_tbl) {
        matrix_node_channel_unlock(n, 0);
        return nullptr;
    }
    return sb;
}

int op(MX_STRUCT_BLOCK* sb, int cmd, void* param) {
    return sb->tbl->operation(cmd, sb, param);
}

// Adds pts to the points the block holds (replacing the list by both); false, pts not taken,
// when the block refuses.
bool give(MX_STRUCT_BLOCK* sb, INTERNAL_PLOT* pts) {
    INTERNAL_PLOT* had = nullptr;
    op(sb, 5, &had);
    INTERNAL_PLOT** join = &pts;
    while (*join)
        join = &(*join)->next;
    *join = had;
    if (op(sb, 7, pts) == 0) return true;
    *join = nullptr;
    op(sb, 7, had);
    return false;
}

// Puts points that could not be passed down back into the node of dc; they are lost only when
// that node or its block cannot be had either.
void put_back(const Insert& in, const int64_t* dc, INTERNAL_PLOT* pts) {
    if (!pts) return;
    MX_CACHE* c = in.c;
    std::vector<int64_t> at(dc, dc + in.m->p.dim + 1);
    MX_STRUCT_BLOCK* sb = get_mx_cache(c, at.data()) < 0 ? nullptr : plot_block(c->n, in.ch);
    bool kept = sb && give(sb, pts);
    if (sb) matrix_node_channel_unlock(c->n, kept ? 1 : 0);
    if (kept) {
        c->dirty = 1;
    } else {
        ss_printf("LOST %i\n", get_internal_plot_len(pts));
        free_internal_plot_list(pts);
    }
}

// The child walk of a node at `level` with origin st and child steps inc.
struct Walk {
    const PLOT_MATRIX* pm;
    int64_t level;
    int dim;
    std::vector<int64_t> st, inc, end, child;
};

// Copies of the list's points whose child comes at or after the walk's current child (after it
// when `past`): those a failed walk has not placed.
INTERNAL_PLOT* not_placed(const Walk& w, const INTERNAL_PLOT* list, bool past) {
    INTERNAL_PLOT* head = nullptr;
    INTERNAL_PLOT** tail = &head;
    int64_t crd[1 + PLOT_DIM_MAX];
    for (const INTERNAL_PLOT* p = list; p; p = p->next) {
        get_plot_crd(crd, w.pm, p, w.level);
        int cmp = 0;
        for (int d = w.dim - 1; d >= 0 && cmp == 0; d--) {
            int64_t o = w.st[1 + d] + (crd[1 + d] & ~(w.inc[1 + d] - 1));
            cmp = o < w.child[1 + d] ? -1 : o > w.child[1 + d] ? 1 : 0;
        }
        if (cmp > 0 || (cmp == 0 && !past)) {
            *tail = copy_one_plot(w.pm, p, nullptr);
            tail = &(*tail)->next;
        }
    }
    return head;
}

// Pushes the points of the node at level dc[0] >= 1 (dc: the level and any level-0 position in
// the node) down to the children that hold them; null, or the failure's message with the points
// not placed in *left.
const char* push_down(const Insert& in, const int64_t* dc, INTERNAL_PLOT* list,
                      INTERNAL_PLOT** left) {
    MATRIX* m = in.m;
    MX_CACHE* c = in.c;
    ss_printf("IPD %s\n", pt_dc(m, dc, 1));
    PLOT_MATRIX pm;
    plot_matrix_of(m, &pm);
    const int dim = m->p.dim;
    Walk w{&pm,
           dc[0],
           dim,
           std::vector<int64_t>(dim + 1),
           std::vector<int64_t>(dim + 1),
           std::vector<int64_t>(dim + 1),
           {}};
    // Extents saturate at 2^62 (no matrix of the 32-bit creation sizes comes near).
    auto span = [&](int64_t l, int d) {
        return int64_t{1} << std::min(mx_node_shift(m, l, d), 62);
    };
    for (int d = 0; d < dim; d++) {
        int64_t s = span(w.level, d);
        w.st[1 + d] = dc[1 + d] & ~(s - 1);
        w.end[1 + d] = w.st[1 + d] > INT64_MAX - s ? INT64_MAX : w.st[1 + d] + s;
        w.inc[1 + d] = span(w.level - 1, d);
    }
    w.child = w.st;
    w.child[0] = w.level - 1;
    do {
        ss_printf("IPD-2 %s\n", pt_dc(m, w.child.data(), 1));
        INTERNAL_PLOT* pts = shift_under_plot(&pm, list, w.level, w.child.data());
        if (!pts) {
            ss_printf("NONE\n");
            continue;
        }
        const char* fail = nullptr;
        MX_STRUCT_BLOCK* sb = nullptr;
        if (get_mx_cache(c, w.child.data()) < 0) {
            ss_printf("A\n");
            fail = "cache error (Access to Matrix)";
        } else {
            ss_printf("IPD-3 %s\n", pt_dc(m, c->n->dim_code, 1));
            sb = plot_block(c->n, in.ch);
            if (!sb) {
                ss_printf("B\n");
                fail = "cannot get channel block";
            } else if (!give(sb, pts)) {
                ss_printf("C\n");
                matrix_node_channel_unlock(c->n, 0);
                fail = "operation of PLOT 1";
            }
        }
        if (fail) {
            free_internal_plot_list(pts);
            *left = not_placed(w, list, false);
            return fail;
        }
        MATRIX_NODE* n = c->n;
        c->dirty = 1;
        if (w.level - 1 > 0 && op(sb, 4, nullptr) == 1) {
            INTERNAL_PLOT* again = nullptr;
            op(sb, 5, &again);
            matrix_node_channel_unlock(n, 1);
            INTERNAL_PLOT* back = nullptr;
            const char* r = push_down(in, w.child.data(), again, &back);
            free_internal_plot_list(again);
            if (r) {
                put_back(in, w.child.data(), back);
                *left = not_placed(w, list, true);
                return r;
            }
        } else {
            ss_printf("D\n");
            matrix_node_channel_unlock(n, 1);
        }
    } while (inc_dim_code_ix(w.child.data(), w.st.data(), w.inc.data(), w.end.data(), dim) == 0);
    return nullptr;
}

// Inserts one point at level-0 position crd into the first node without children on its way
// down; null or the failure's message.
const char* insert_point(const Insert& in, const int64_t* crd, const IP_FIELD* fields) {
    MATRIX* m = in.m;
    MX_CACHE* c = in.c;
    std::vector<int64_t> dc(crd, crd + m->p.dim + 1);
    for (int64_t level = m->total_levels - 1; level >= 0; level--) {
        dc[0] = level;
        if (get_mx_cache(c, dc.data()) < 0) return "cache error (Access to Matrix)";
        if (level == 0 || !check_children(c->n)) break;
    }
    MATRIX_NODE* n = c->n;
    MX_STRUCT_BLOCK* sb = plot_block(n, in.ch);
    if (!sb) return "cannot get channel block";
    PPC_INSERT_T point{dc[0], crd, fields};
    if (op(sb, 1, &point) < 0) {
        matrix_node_channel_unlock(n, 0);
        return "operation of PLOT";
    }
    // The cache holds the node's channels too, so the node is marked when the cache lets it go.
    c->dirty = 1;
    if (dc[0] == 0 || op(sb, 4, nullptr) == 0) {
        matrix_node_channel_unlock(n, 1);
        return nullptr;
    }
    INTERNAL_PLOT* list = nullptr;
    op(sb, 5, &list);
    matrix_node_channel_unlock(n, 1);
    ss_printf("INSERT PLOT DATA ==========================\n");
    INTERNAL_PLOT* back = nullptr;
    const char* r = push_down(in, dc.data(), list, &back);
    ss_printf("INSERT PLOT DATA END ======================\n");
    free_internal_plot_list(list);
    // Points a failed push could not place stay in the node they came from.
    if (r) put_back(in, dc.data(), back);
    return r;
}

// One record from its source to its point; an error value or null.
QV_SEXP* insert_record(const Insert& in, QV_SEXP* src) {
    Record r(in.m->p.dim, in.set->last_label + 1);
    std::vector<int64_t> crd(in.m->p.dim + 1);
    if (QV_SEXP* err = read_record(in, src, r, crd.data())) return err;
    const char* msg = insert_point(in, crd.data(), r.fields);
    return msg ? param(in.form, msg) : nullptr;
}

// The records of a CSV data list: its elements from number startline on, strings only.
QV_SEXP* insert_lines(const Insert& in, QV_SEXP* data, int startline) {
    QV_SEXP* p = data;
    int no = 0;
    for (; no < startline && get_type(p) == QVT_PAIR; no++)
        p = p->pair.cdr;
    uint32_t printed = 0;
    bool any = false;
    for (; get_type(p) == QVT_PAIR; p = p->pair.cdr, no++) {
        uint32_t now = get_qvtime();
        if (!any || now != printed) {
            ss_printf("CNT=%i\n", no);
            printed = now;
            any = true;
        }
        QV_SEXP* line = p->pair.car;
        if (get_type(line) != QVT_STRING) continue;
        // What one record makes is let go with it.
        gc_push(nullptr, nullptr, "gmxPgPlotInsert-2");
        QV_SEXP* err = insert_record(in, line);
        gc_pop(err, gc_vx_sexp);
        if (err) return err;
    }
    return nullptr;
}

QV_SEXP* insert_call(QVISP_ENV* env, QV_SEXP* form, QV_SYM_FIELD* attr, MX_ENTRY* e) {
    QV_SEXP* data = eval(env, get_el(form, 2));
    if (get_type(data) == QVT_ERROR) return data;
    gc_push(data, gc_vx_sexp, "gmxPgPlotInsert-0");
    QV_SEXP* opts = eval(env, get_el(form, 1));
    QV_SEXP* r = nullptr;
    int ch = 0, startline = 0;
    PLOT_MATRIX pm;
    plot_matrix_of(e->c.m, &pm);
    if (get_type(opts) == QVT_ERROR)
        r = opts;
    else if (get_type(opts) != QVT_PTR || opts->ptr.gc != gc_fd_opt_ptr || !opts->ptr.ptr)
        r = mismatch(form, "fd option");
    else if (static_cast<FD_OPT_PTR*>(opts->ptr.ptr)->serial != e->serial)
        r = param(form, "matrix in the id and fd ptr");
    else if (!gmx_attr_int(attr, "channel", &ch))
        r = param(form, "channel");
    else if (plot_matrix_check(&pm) < 0)
        r = param(form, "block_size");
    else if (e->c.m->total_levels < 1)
        // A matrix of no level (its divides or pixel sizes never given) has no node to hold one.
        r = param(form, "total_levels");
    if (r) {
        gc_pop(r, gc_vx_sexp);
        return r;
    }
    gc_push(opts, gc_vx_sexp, "gmxPgPlotInsert-1");
    Insert in{form,   e,
              e->c.m, static_cast<FD_OPT_PTR*>(opts->ptr.ptr),
              ch,     get_sf_attribute(attr, l_string(std_cm, "csv")) != nullptr,
              &e->c};
    if (in.csv) {
        gmx_attr_int(attr, "startline", &startline);
        // Nodes on the way are made as the points need them, through the run's own cache and
        // with its own fetch options.
        GmxRun run(e, 1, 2, 2, "enable");
        in.c = run.cache();
        r = insert_lines(in, data, startline);
    } else {
        std::lock_guard<std::mutex> g(gmx_entry_lock(e));
        r = insert_record(in, data);
        // No node stays current (and channel-locked) between calls.
        flush_mx_cache(&e->c, 0);
    }
    gc_pop(r, gc_vx_sexp);
    gc_pop(r, gc_vx_sexp);
    return r;
}

}  // namespace

QV_SEXP* vx_gmxPgPlotInsert(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr,
                            QVISP_ENV*) {
    int id = 0;
    MX_ENTRY* e = gmx_attr_int(attr, "id", &id) ? search_mx_entry_by_id(id) : nullptr;
    if (!e) return param(form, "matrix id");
    GmxHold hold(e);
    gc_push(nullptr, nullptr, kName);
    QV_SEXP* r = insert_call(env, form, attr, e);
    gc_pop(r, gc_vx_sexp);
    return r;
}

void init_gmxPgPlotInsert(QVISP_ENV*, QVISP_ENV* env1) {
    bind_prim(env1, "gmxPgPlotInsert", vx_gmxPgPlotInsert, FUNC_NORMAL, 3, 3);
}

int see_code(const L_CHAR* str) {
    std::string line = "SEE ";
    int n = 0;
    for (const L_CHAR* p = str; p && *p; p++, n++) {
        char b[16];
        snprintf(b, sizeof b, " %x", static_cast<unsigned>(*p));
        line += b;
    }
    ss_printf("%s\n", line.c_str());
    return n;
}
