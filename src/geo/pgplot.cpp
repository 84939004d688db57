// gmxPgPlotField and gmxPgDisplay (see pgplot.h).
#include "geo/pgplot.h"

#include <cstdlib>

#include "base/alloc.h"
#include "builtins/bltn_util.h"
#include "geo/gmx_attr.h"
#include "geo/open_mx.h"
#include "lisp/collect.h"
#include "lisp/list.h"
#include "longchar/codemethod.h"
#include "longchar/longchar.h"
#include "matrixops/plot_block.h"
#include "matrixops/plot_script.h"

namespace {

QV_SEXP* num(int64_t v) {
    return get_integer(v, nullptr);
}

QV_SEXP* sym(const char* s) {
    return n_get_symbol(s);
}

QV_SEXP* field_form(const IP_FIELD* f) {
    int type = f->type;
    switch (type >> 4) {
        case 1:
            return List(sym("NONE"), num(type), LIST_END);
        case 2: {
            const char* t = type == FD_STR && f->d.str ? f->d.str : "";
            return List(sym("STRING"), num(type), get_string(_l_string_1(&utf8_cm, t)), LIST_END);
        }
        case 3:
            if (type == FD_INT_AVG)
                return List(sym("INT"), num(type), num(f->d.i[0]), num(f->d.i[1]), LIST_END);
            return List(sym("INT"), num(type), num(f->d.i[0]), LIST_END);
        case 4: {
            // The colour's bytes most significant first (0xRRGGBBAA), then the count.
            uint32_t colour = 0;
            for (int k = 0; k < 4; k++)
                colour = colour << 8 | f->d.rgba->rgba[k];
            return List(sym("INT"), num(type), num(colour), num(f->d.rgba->count), LIST_END);
        }
        default:
            return List(sym("DEFAULT"), num(type), LIST_END);
    }
}

QV_SEXP* point_form(const PLOT_MATRIX& pm, const INTERNAL_PLOT* p) {
    QV_SEXP* c = nullptr;
    for (int d = pm.dim - 1; d >= 0; d--)
        c = cons(num(p->c[d]), c);
    QV_SEXP* base = nullptr;
    if (p->base) {
        for (int d = pm.dim - 1; d >= 0; d--)
            base = cons(num(p->base[d]), base);
        base = cons(sym("base"), base);
    }
    QV_SEXP* fields = nullptr;
    if (p->fields) {
        for (int i = static_cast<int>(fields_len(p->fields)) - 1; i >= 0; i--)
            fields = cons(field_form(&p->fields[i]), fields);
        fields = cons(sym("fields"), fields);
    }
    return List(sym("point"), num(p->flags), cons(sym("c"), c), base, fields, LIST_END);
}

QV_SEXP* display(QV_SEXP* form, QV_SYM_FIELD* attr, MX_ENTRY* e) {
    static const char* const name = "gmxPgDisplay";
    QV_SEXP* item = get_el(form, 1);
    QV_SEXP* v = get_el(item, 2);
    if (get_type(v) != QVT_RAW || v->raw.size < 0)
        return gmx_error(form, GMX_MISMATCH, name, nullptr);
    std::string z;
    bool compress = gmx_attr_ascii(attr, "compress", &z) && z == "on";
    PLOT_MATRIX pm;
    plot_matrix_of(e->c.m, &pm);
    const char* fault = nullptr;
    QV_SEXP* r = pg_display_form(&pm, reinterpret_cast<const uint8_t*>(v->raw.data), v->raw.size,
                                 compress, &fault);
    if (fault)
        return gmx_error_d(
            form, GMX_PARAM, name,
            List(n_get_string("invalid parameter in gmxPgDisplay"), n_get_string(fault), LIST_END));
    return r;
}

}  // namespace

QV_SEXP* pg_display_form(const PLOT_MATRIX* pm, const uint8_t* bytes, int64_t stored, bool compress,
                         const char** fault) {
    *fault = nullptr;
    int64_t size = stored;
    const uint8_t* code = bytes;
    int64_t len = stored;
    uint8_t* inflated = nullptr;
    if (compress) {
        inflated = pp_inflate(bytes, stored, &size);
        if (!inflated) {
            *fault = "zlib uncompress";
            return nullptr;
        }
        code = inflated + 1;
        len = size - 1;
    }
    SIMPLE_ALLOC_T pool;
    smp_init(&pool);
    uint32_t err = 0;
    INTERNAL_PLOT* l = code2internal(pm, code, len, &pool, &err);
    QV_SEXP* r = nullptr;
    if (err) {
        *fault = "internal plot code";
    } else {
        ListOut points;
        int n = 0;
        for (const INTERNAL_PLOT* p = l; p; p = p->next, n++)
            points.add(point_form(*pm, p));
        r = List(sym("pg"), num(size), num(stored), num(n), cons(sym("ip"), points.head), LIST_END);
    }
    free_smp(&pool);
    if (inflated) d_f_ree(inflated);
    return r;
}

QV_SEXP* qv_gmxPgDisplay(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    static const char* const name = "gmxPgDisplay";
    QV_SEXP* item = get_el(form, 1);
    if (get_type(item) != QVT_PAIR || list_length(item) != 3)
        return gmx_error(form, GMX_MISMATCH, name, nullptr);
    int id = 0;
    bool have = gmx_attr_int(attr, "id", &id);
    if (!have) {
        QV_SEXP* head = item->pair.car;
        if (get_type(head) != QVT_SYMBOL) return gmx_error(form, GMX_MISMATCH, name, nullptr);
        have = gmx_attr_int(head->symbol.field, "id", &id);
    }
    MX_ENTRY* e = have ? search_mx_entry_by_id(id) : nullptr;
    if (!e) return gmx_error(form, GMX_PARAM, name, "attribute:path-type");
    gc_push(nullptr, nullptr, name);
    QV_SEXP* r = display(form, attr, e);
    gc_pop(r, gc_vx_sexp);
    release_mx_entry(e);
    return r;
}

void gc_fd_opt(void* p) {
    for (auto* o = static_cast<FD_OPT_ENTRY*>(p); o; o = o->next) {
        if (!gc_mark_block(o)) return;
        gc_vx_sexp(o->opt.init_sexp);
        const FIELD_TYPE* row = fd_row(o->opt.merge_type);
        if (row && row->gc) row->gc(&o->opt);
    }
}

void gc_fd_opt_ptr(void* p) {
    if (p && gc_mark_block(p)) gc_fd_opt(static_cast<FD_OPT_PTR*>(p)->opt);
}

MX_ENTRY* fd_set_entry(const FD_OPT_PTR* set) {
    MX_ENTRY* e = search_mx_entry_by_id(set->id);
    if (e && e->serial != set->serial) {
        release_mx_entry(e);
        e = nullptr;
    }
    return e;
}

int fd_csv_column(const std::string& name) {
    if (name.empty()) return -1;
    bool letters = true;
    for (char c : name)
        letters = letters && ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
    int64_t v = 0;
    if (letters) {
        for (char c : name) {
            v = v * 26 + ((c | 0x20) - 'a' + 1);
            if (v > INT32_MAX) return -1;
        }
        return static_cast<int>(v - 1);
    }
    // A decimal number from the start of the text: blanks first, then a sign, then digits. A
    // negative number takes the option's value from its initial value, as -1 does.
    size_t i = 0;
    while (i < name.size() && (name[i] == ' ' || (name[i] >= '\t' && name[i] <= '\r')))
        i++;
    bool negative = i < name.size() && name[i] == '-';
    if (i < name.size() && (name[i] == '-' || name[i] == '+')) i++;
    for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; i++) {
        v = v * 10 + (name[i] - '0');
        if (v > INT32_MAX) return -1;
    }
    return negative && v > 0 ? -1 : static_cast<int>(v);
}

QV_SEXP* qv_gmxPgPlotField(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    static const char* const name = "gmxPgPlotField";
    auto param = [&](QV_SEXP* detail, QV_SEXP* more = LIST_END) {
        return gmx_error_d(
            form, GMX_PARAM, name,
            List(n_get_string("invalid parameter in gmxPgPlotField"), detail, more, LIST_END));
    };
    QV_SEXP* args = cdr(form);
    if (get_type(args) != QVT_PAIR) {
        int id = 0;
        if (!gmx_attr_int(attr, "id", &id)) return param(n_get_string("id required"));
        MX_ENTRY* e = search_mx_entry_by_id(id);
        if (!e) return param(n_get_string("invalid id"));
        FD_OPT_PTR* r;
        {
            // The collector may mark the set from its root at once, on its own thread: it is
            // filled inside a heap section, which keeps the collector out until it is.
            HeapSection hs;
            r = static_cast<FD_OPT_PTR*>(
                xx_mmalloc(sizeof(FD_OPT_PTR), gc_fd_opt_ptr, __FILE__, __LINE__));
            r->opt = nullptr;
            r->id = e->id;
            r->serial = e->serial;
            r->last_label = 0;
            r->startline = 0;
        }
        release_mx_entry(e);
        gc_push(r, gc_fd_opt_ptr, name);
        QV_SEXP* v = get_ptr(r, gc_fd_opt_ptr);
        gc_pop(v, gc_vx_sexp);
        return v;
    }
    QV_SEXP* p = car(args);
    if (get_type(p) != QVT_PTR || p->ptr.gc != gc_fd_opt_ptr || !p->ptr.ptr)
        return gmx_error_d(
            form, GMX_MISMATCH, name,
            List(n_get_string("type missmatch"), n_get_string("opt_list"), LIST_END));
    auto* set = static_cast<FD_OPT_PTR*>(p->ptr.ptr);
    int dim = -1, label = -1, merge = 0;
    gmx_attr_int(attr, "dim", &dim);
    gmx_attr_int(attr, "label", &label);
    gmx_attr_int(attr, "merge-type", &merge);
    // A character beyond ASCII in a column name is neither a letter nor a digit: such a name
    // reads as a number from its start, as any other name with a character not a letter.
    int column = -1;
    if (const L_CHAR* t = attr_text(attr, "csv")) {
        std::string csv;
        for (; *t; t++)
            csv.push_back(*t < 0x80 ? static_cast<char>(*t) : '?');
        column = fd_csv_column(csv);
    }
    // A kind outside the four, a coordinate beyond the matrix or a huge label is refused here,
    // before anything reads through them.
    if (!fd_row(merge)) return param(n_get_string("merge-type"));
    MX_ENTRY* e = fd_set_entry(set);
    if (!e) return param(n_get_string("matrix closed"));
    int dims = e->c.m ? e->c.m->p.dim : 0;
    release_mx_entry(e);
    if (dim < -1 || dim >= dims) return param(n_get_string("dim"));
    if (label < -1 || label >= FD_LABEL_CAP) return param(n_get_string("label"));
    QV_SEXP* rest = cdr(args);
    // The kind parses its options into a copy of the caller's: the collector marks a listed
    // option, on its own thread, and would read what the kind is writing. What the kind
    // allocates meanwhile is rooted in this frame until the option is listed.
    FD_OPT opt{};
    opt.dim = dim;
    opt.merge_type = merge;
    gc_push(nullptr, nullptr, name);
    int r = fd_row(merge)->initial(nullptr, rest, &opt, 0);
    if (r < 0 || !fd_row(opt.merge_type)) {
        gc_pop(nullptr, nullptr);
        if (r < 0) return param(n_get_string("initialize"), get_integer(r, nullptr));
        return param(n_get_string("merge-type"));
    }
    if (list_length(rest) == 1) opt.init_sexp = car(rest);
    {
        // Made, filled and listed inside a heap section, which keeps the collector out.
        HeapSection hs;
        auto* o = static_cast<FD_OPT_ENTRY*>(
            xx_mmalloc(sizeof(FD_OPT_ENTRY), gc_fd_opt, __FILE__, __LINE__));
        *o = FD_OPT_ENTRY{};
        o->csv_label = column;
        o->target_label = label;
        o->opt = opt;
        FD_OPT_ENTRY** at = &set->opt;
        while (*at && (*at)->csv_label <= o->csv_label)
            at = &(*at)->next;
        o->next = *at;
        *at = o;
        if (label > set->last_label) set->last_label = label;
    }
    gc_pop(nullptr, nullptr);
    return p;
}

void init_gmxPgPlotField(QVISP_ENV*, QVISP_ENV* env1) {
    bind_prim(env1, "gmxPgPlotField", qv_gmxPgPlotField, FUNC_APPLICATIVE, 1, FUNC_NO_MAX);
}

void init_gmxPgDisplay(QVISP_ENV* env0, QVISP_ENV*) {
    bind_prim(env0, "gmxPgDisplay", qv_gmxPgDisplay, FUNC_APPLICATIVE, 2, 2);
}
