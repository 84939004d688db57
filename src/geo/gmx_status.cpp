// gmxStatus (see gmx_status.h).
#include "geo/gmx_status.h"

#include <cstdio>
#include <initializer_list>
#include <utility>

#include "builtins/bltn_util.h"
#include "geo/gmx_attr.h"
#include "geo/gmx_getpoint.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "matrix/mxfile.h"
#include "matrix/mxstore.h"

namespace {

const char* const F = "gmxStatus";
constexpr uint32_t GMX_PATH_REFUSED = 0x80040d10;
const char* const kModeNames[3] = {"direct", "server", "client"};

// A tag: the symbol with its attributes in the order given (null values are left out).
// An attribute value: ASCII text, or a long-character text kept whole (names of files and URLs
// may hold any character, and a peer rebuilds the matrix from them).
struct AttrVal {
    std::string s;
    const L_CHAR* l = nullptr;
    AttrVal(std::string v) : s(std::move(v)) {}
    AttrVal(const char* v) : s(v) {}
    explicit AttrVal(const L_CHAR* v) : l(v) {}
};

QV_SEXP* tag(const char* name, std::initializer_list<std::pair<const char*, AttrVal>> attrs) {
    QV_SEXP* sym = n_get_symbol(name);
    // Attributes are prepended: set from the last so that they read in the order given.
    for (auto it = std::rbegin(attrs); it != std::rend(attrs); ++it) {
        const AttrVal& v = it->second;
        if (v.l ? !*v.l : v.s.empty()) continue;
        set_attribute(sym, l_string(std_cm, it->first), v.l ? v.l : l_string(std_cm, v.s.c_str()));
    }
    return sym;
}

std::string fmt(const char* f, long long v) {
    char b[32];
    snprintf(b, sizeof b, f, v);
    return b;
}

AttrVal ltext(const L_CHAR* t) {
    static const L_CHAR empty[1] = {0};
    return AttrVal(t ? t : empty);
}

// One stored mode's slots and priorities; ok false when its record cannot be read.
struct ModeCal {
    bool ok = false;
    QV_SEXP* cals[MX_CAL_SLOTS]{};
    int pri[MX_CAL_SLOTS]{};
};

const char* const kNoRecord = "cannot access the mode record";

void add_priorities(QV_SEXP** h, QV_SEXP** t, const ModeCal& mc, int mode, bool full) {
    std::string mname = full ? kModeNames[mode] : "";
    if (!mc.ok) {
        gmx_push(h, t, List(tag("gmxPriority", {{"error", kNoRecord}, {"mode", mname}}), LIST_END));
        return;
    }
    for (int i = 0; i < MX_CAL_SLOTS; i++)
        if (mc.pri[i])
            gmx_push(
                h, t,
                List(tag("gmxPriority", {{"pri", fmt("0x%x", static_cast<unsigned>(mc.pri[i]))},
                                         {"area", fmt("%i", i)},
                                         {"mode", mname}}),
                     LIST_END));
}

void add_phases(QV_SEXP** h, QV_SEXP** t, const ModeCal& mc, int mode, bool full) {
    std::string mname = full ? kModeNames[mode] : "";
    if (!mc.ok) {
        gmx_push(h, t, List(tag("gmxPhase", {{"error", kNoRecord}, {"mode", mname}}), LIST_END));
        return;
    }
    for (int i = 0; i < MX_CAL_SLOTS; i++)
        if (mc.cals[i])
            gmx_push(h, t,
                     cons(tag("gmxPhase", {{"area", fmt("%i", i)}, {"mode", mname}}), mc.cals[i]));
}

QV_SEXP* find_and_status(int s_flag, QV_SEXP* s, QV_SYM_FIELD* attr) {
    const L_CHAR* type = attr_text(attr, "path-type");
    bool has_id = attr_text(attr, "id") != nullptr;
    if (s_flag == 0 && (!type || text_is(type, "absolute") || has_id))
        return gmx_error(s, GMX_PATH_REFUSED, F,
                         "file path(path-type = absolute, id access in Env0 mode)");
    if (has_id) {
        int id = 0;
        gmx_attr_int(attr, "id", &id);
        MX_ENTRY* e = search_mx_entry_by_id(id);
        if (!e) return gmx_error(s, GMX_PARAM, F, "id value");
        QV_SEXP* r = get_mx_status(s_flag, e);
        release_mx_entry(e);
        return r;
    }
    QV_SEXP* file = get_el(s, 1);
    if (get_type(file) != QVT_STRING) return gmx_error_d(s, GMX_MISMATCH, F, nullptr);
    const L_CHAR* name = file->string.data;
    MX_ENTRY* e = nullptr;
    bool made = false;
    if (!type || text_is(type, "absolute"))
        e = open_mxread(nullptr, name, nullptr, 0, &made);
    else if (text_is(type, "related"))
        return open_status_related(s_flag, name, s, F);
    else if (text_is(type, "network"))
        e = open_mxread(name, nullptr, nullptr, 1, &made);
    else if (text_is(type, "key"))
        e = open_mxread(nullptr, nullptr, name, 1, &made);
    else
        return gmx_error(s, GMX_PARAM, F, "attribute:path-type");
    if (!e) return gmx_error_d(s, GMX_OPEN, F, nullptr);
    QV_SEXP* r = get_mx_status(s_flag, e);
    // Only a matrix this call opened, and no one else holds, is closed: one a script or a
    // reader has open stays open for them.
    close_mx_entry_if_alone(e, made);
    return r;
}

QV_SEXP* vx_status(int s_flag, QV_SEXP* s, QV_SYM_FIELD* attr) {
    gc_push(nullptr, nullptr, F);
    QV_SEXP* r = find_and_status(s_flag, s, attr);
    gc_pop(r, gc_vx_sexp);
    return r;
}

QV_SEXP* vx_gmxStatus_n(QVISP_ENV*, QV_SEXP* s, QVISP_ENV*, QV_SYM_FIELD* a, QVISP_ENV*) {
    return vx_status(0, s, a);
}

QV_SEXP* vx_gmxStatus_s(QVISP_ENV*, QV_SEXP* s, QVISP_ENV*, QV_SYM_FIELD* a, QVISP_ENV*) {
    return vx_status(1, s, a);
}

}  // namespace

QV_SEXP* open_status_related(int s_flag, const L_CHAR* file, QV_SEXP* s, const char* func) {
    gc_push(nullptr, nullptr, "open_status_related");
    MX_ENTRY* e = nullptr;
    bool made = false;
    QV_SEXP* r = open_mxread_related(file, s, func, &e, &made);
    if (!r) {
        check_mx_entry(e);
        r = get_mx_status(s_flag, e);
        check_mx_entry(e);
        close_mx_entry_if_alone(e, made);
    }
    gc_pop(r, gc_vx_sexp);
    return r;
}

QV_SEXP* get_mx_status(int s_flag, MX_ENTRY* e) {
    MATRIX* m = e->c.m;
    QV_SEXP* dims = nullptr;
    for (int d = m->p.dim - 1; d >= 0; d--)
        dims = cons(get_integer(m->pixel_size[d], l_string(std_cm, "dot")), dims);
    dims = cons(n_get_symbol("dim"), cons(get_integer(m->total_levels, nullptr), dims));
    return List(n_get_symbol("status"), List(n_get_symbol("general"), dims, LIST_END),
                _get_mx_status(s_flag, e), LIST_END);
}

QV_SEXP* _get_mx_status(int s_flag, MX_ENTRY* e) {
    MATRIX* m = e->c.m;
    bool full = s_flag != 0;
    ModeCal modes[3];
    for (int k = 0; k < 3; k++) {
        if (!full && k != 2) continue;
        modes[k].ok = load_mode_cal(modes[k].cals, modes[k].pri, m, k) == 0;
    }
    QV_SEXP* head = nullptr;
    QV_SEXP* tail = nullptr;
    gmx_push(&head, &tail,
             tag("gmxStatus", {{"neturl", ltext(m->neturl)},
                               {"filename", ltext(m->filename)},
                               {"key", ltext(m->key)},
                               {"total_levels", fmt("%i", m->total_levels)}}));

    check_mx_entry(e);
    QV_SEXP* ph = nullptr;
    QV_SEXP* pt = nullptr;
    gmx_push(&ph, &pt,
             tag("gmxMatrixParam", {{"modify_time", fmt("%lli", m->p.modify_time)},
                                    {"total_levels", fmt("%i", m->p.total_levels)},
                                    {"index_hem", (m->p.flags & MXP_INDEX_HEM) ? "on" : ""},
                                    {"cache_file", (m->p.flags & MXP_CACHE_FILE) ? "on" : ""},
                                    {"dim", fmt("%i", m->p.dim)},
                                    {"channel_nos", fmt("%i", m->p.channel_nos)}}));
    if (full) {
        for (int i = 0; i < MX_CAL_SLOTS; i++)
            if (m->p.pri_area[i])
                gmx_push(&ph, &pt,
                         List(tag("gmxPriority",
                                  {{"pri", fmt("0x%x", static_cast<unsigned>(m->p.pri_area[i]))},
                                   {"area", fmt("%i", i)}}),
                              LIST_END));
        for (int k : {2, 1, 0})
            add_priorities(&ph, &pt, modes[k], k, true);
    } else {
        add_priorities(&ph, &pt, modes[2], 2, false);
    }
    gmx_push(&head, &tail, ph);

    check_mx_entry(e);
    for (int ch = 0; ch < m->p.channel_nos; ch++) {
        MATRIX_CHANNEL_INFO* ci = &m->channel_info[ch];
        MATRIX_DATA_TYPE* tp = ci->data_type;
        if (!tp) continue;
        auto on = [&](int bit) { return (ci->flags & bit) ? "on" : ""; };
        QV_SEXP* sym = full ? tag("gmxChannelInfo", {{"send_file", on(16)},
                                                     {"send_visu", on(32)},
                                                     {"send", on(1)},
                                                     {"file", on(2)},
                                                     {"visu", on(4)},
                                                     {"type", tp->type_name ? tp->type_name : ""},
                                                     {"channel", fmt("%i", ch)}})
                            : tag("gmxChannelInfo", {{"file", on(16)},
                                                     {"visu", on(32)},
                                                     {"type", tp->type_name ? tp->type_name : ""},
                                                     {"channel", fmt("%i", ch)}});
        MATRIX_DATA_TYPE* vt = tp->parent ? tp->parent : tp;
        if (ci->default_data && vt->md2sexp)
            gmx_push(&head, &tail, List(sym, vt->md2sexp(vt, ci->default_data), LIST_END));
        else
            gmx_push(&head, &tail, List(sym, LIST_END));
    }

    check_mx_entry(e);
    for (int d = 0; d < m->p.dim; d++)
        gmx_push(&head, &tail,
                 List(tag("gmxMatrixDimDivide",
                          {{"value", fmt("%i", m->dim_divide[d])}, {"dim", fmt("%i", d)}}),
                      LIST_END));
    for (int d = 0; d < m->p.dim; d++)
        gmx_push(&head, &tail,
                 List(tag("gmxMatrixBlockSize",
                          {{"value", fmt("%i", m->block_size[d])}, {"dim", fmt("%i", d)}}),
                      LIST_END));
    for (int d = 0; d < m->p.dim; d++)
        gmx_push(&head, &tail,
                 List(tag("gmxMatrixPixelSize",
                          {{"value", fmt("%lli", m->pixel_size[d])}, {"dim", fmt("%i", d)}}),
                      LIST_END));

    check_mx_entry(e);
    if (full) {
        QV_SEXP* current[MX_CAL_SLOTS];
        {
            TaskLockGuard g(matrix_lock);
            for (int i = 0; i < MX_CAL_SLOTS; i++)
                current[i] = m->cal[i] ? static_cast<QV_SEXP*>(m->cal[i]->data) : nullptr;
        }
        for (int i = 0; i < MX_CAL_SLOTS; i++)
            if (current[i])
                gmx_push(&head, &tail, cons(tag("gmxPhase", {{"area", fmt("%i", i)}}), current[i]));
        for (int k : {0, 1, 2})
            add_phases(&head, &tail, modes[k], k, true);
    } else {
        add_phases(&head, &tail, modes[2], 2, false);
    }
    return head;
}

void init_gmxStatus(QVISP_ENV* env0, QVISP_ENV* env1) {
    bind_prim(env0, "gmxStatus", vx_gmxStatus_n, FUNC_APPLICATIVE, 1, 2);
    bind_prim(env1, "gmxStatus", vx_gmxStatus_s, FUNC_APPLICATIVE, 1, 2);
}
