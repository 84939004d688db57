// Typed fields, flag words, divided strings, code maps, the 3-by-3 solver, points and rectangles.
#include "lisp/valutil.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

// ---------------------------------------------------------------- converters of get_field

typedef void (*GF_CONV)(QV_SEXP* v, void* d, void* d2);

void store_unit(void* d2, L_CHAR* unit) {
    if (d2) *static_cast<L_CHAR**>(d2) = unit;
}

// A double truncated toward zero into the int range (saturated; NaN gives 0).
int32_t trunc_int(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 2147483647.0) return INT32_MAX;
    if (x <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(x);
}

void gf_conv_ii(QV_SEXP* v, void* d, void* d2) {
    *static_cast<int*>(d) = static_cast<int32_t>(static_cast<uint32_t>(v->integer.data));
    store_unit(d2, v->integer.unit);
}
void gf_conv_di(QV_SEXP* v, void* d, void* d2) {
    *static_cast<int*>(d) = trunc_int(v->floating.data);
    store_unit(d2, v->floating.unit);
}
void gf_conv_if(QV_SEXP* v, void* d, void* d2) {
    *static_cast<float*>(d) = static_cast<float>(v->integer.data);
    store_unit(d2, v->integer.unit);
}
void gf_conv_df(QV_SEXP* v, void* d, void* d2) {
    *static_cast<float*>(d) = static_cast<float>(v->floating.data);
    store_unit(d2, v->floating.unit);
}
void gf_conv_id(QV_SEXP* v, void* d, void* d2) {
    *static_cast<double*>(d) = static_cast<double>(v->integer.data);
    store_unit(d2, v->integer.unit);
}
void gf_conv_dd(QV_SEXP* v, void* d, void* d2) {
    *static_cast<double*>(d) = v->floating.data;
    store_unit(d2, v->floating.unit);
}
void gf_conv_ss(QV_SEXP* v, void* d, void*) {
    *static_cast<L_CHAR**>(d) = v->string.data;
}
void gf_conv_sexp(QV_SEXP* v, void* d, void*) {
    *static_cast<QV_SEXP**>(d) = v;
}

// cf[kind][node type]: the converter, or null when the value does not convert to the kind.
constexpr GF_CONV cf[6][QVT_COUNT] = {
    {},
    {nullptr, nullptr, nullptr, nullptr, nullptr, gf_conv_ii, gf_conv_di},
    {nullptr, nullptr, nullptr, nullptr, nullptr, gf_conv_if, gf_conv_df},
    {nullptr, nullptr, nullptr, nullptr, nullptr, gf_conv_id, gf_conv_dd},
    {nullptr, nullptr, nullptr, nullptr, gf_conv_ss},
    {gf_conv_sexp, gf_conv_sexp, gf_conv_sexp, gf_conv_sexp, gf_conv_sexp, gf_conv_sexp,
     gf_conv_sexp},
};

int kind_of(const char* type) {
    if (!type) return -1;
    if (strcmp(type, "i") == 0) return GF_INT;
    if (strcmp(type, "f") == 0) return GF_FLOAT;
    if (strcmp(type, "lf") == 0) return GF_DOUBLE;
    if (strcmp(type, "s") == 0) return GF_STRING;
    if (strcmp(type, "sexp") == 0) return GF_SEXP;
    return -1;
}

// ---------------------------------------------------------------- divided strings

L_CHAR* copy_piece(const L_CHAR* from, int n) {
    auto* r = static_cast<L_CHAR*>(d_alloc((static_cast<int64_t>(n) + 1) * sizeof(L_CHAR)));
    if (n > 0) memcpy(r, from, static_cast<size_t>(n) * sizeof(L_CHAR));
    r[n] = 0;
    return r;
}

// Position of the first occurrence of div in s from `from`, or -1.
int find_text(const L_CHAR* s, int len, int from, const L_CHAR* div, int dlen) {
    for (int i = from; i + dlen <= len; i++)
        if (memcmp(s + i, div, static_cast<size_t>(dlen) * sizeof(L_CHAR)) == 0) return i;
    return -1;
}

// ---------------------------------------------------------------- code maps

void* ch_alloc(CODEHASH* ch, size_t size) {
    void* p = ch->alloc_func ? ch->alloc_func(size) : d_alloc(static_cast<int64_t>(size));
    if (!p) er_panic("codehash alloc");
    return p;
}

void ch_free(CODEHASH* ch, void* p) {
    if (ch->free_func) {
        ch->free_func(p);
    } else {
        d_f_ree(p);
    }
}

int bucket(const CODEHASH* ch, int code) {
    return static_cast<int>(static_cast<uint32_t>(code) % static_cast<uint32_t>(ch->keylen));
}

CODEHASH_ENTRY* find_forward(CODEHASH* ch, int code) {
    for (CODEHASH_ENTRY* e = ch->forward[bucket(ch, code)]; e; e = e->forward_next)
        if (e->forward == code) return e;
    return nullptr;
}

CODEHASH_ENTRY* find_reverse(CODEHASH* ch, int code) {
    for (CODEHASH_ENTRY* e = ch->reverse[bucket(ch, code)]; e; e = e->reverse_next)
        if (e->reverse == code) return e;
    return nullptr;
}

// The next code after *gen that no entry holds, restarting at 1 after the largest int.
int generate(CODEHASH* ch, int* gen, bool forward) {
    for (;;) {
        int next = static_cast<int>(static_cast<uint32_t>(*gen) + 1u);
        if (next < 0) next = 1;
        *gen = next;
        if (!(forward ? find_forward(ch, next) : find_reverse(ch, next))) return next;
    }
}

bool unlink_forward(CODEHASH* ch, CODEHASH_ENTRY* e) {
    for (CODEHASH_ENTRY** pp = &ch->forward[bucket(ch, e->forward)]; *pp;
         pp = &(*pp)->forward_next) {
        if (*pp == e) {
            *pp = e->forward_next;
            return true;
        }
    }
    return false;
}

bool unlink_reverse(CODEHASH* ch, CODEHASH_ENTRY* e) {
    for (CODEHASH_ENTRY** pp = &ch->reverse[bucket(ch, e->reverse)]; *pp;
         pp = &(*pp)->reverse_next) {
        if (*pp == e) {
            *pp = e->reverse_next;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------- points

bool number(QV_SEXP* v, double* out) {
    switch (get_type(v)) {
        case QVT_INTEGER:
            *out = static_cast<double>(v->integer.data);
            return true;
        case QVT_FLOAT:
            *out = v->floating.data;
            return true;
        default:
            return false;
    }
}

bool int_pair(QV_SEXP* s) {
    return list_length(s) == 2 && get_type(get_el(s, 0)) == QVT_INTEGER &&
           get_type(get_el(s, 1)) == QVT_INTEGER;
}

int32_t low32(QV_SEXP* v) {
    if (get_type(v) != QVT_INTEGER) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(v->integer.data));
}

}  // namespace

// ---------------------------------------------------------------- typed fields

int set_data(QV_SEXP* s, const L_CHAR* f, int kind, void* d, void* d2, int* r) {
    int st = get_type(s);
    if (st != QVT_PAIR && st != QVT_NIL) {
        *r = -3;
        return -1;
    }
    for (; get_type(s) == QVT_PAIR; s = s->pair.cdr) {
        QV_SEXP* e = s->pair.car;
        if (get_type(e) != QVT_PAIR) continue;
        QV_SEXP* head = e->pair.car;
        if (get_type(head) != QVT_SYMBOL) {
            *r = -3;
            return -1;
        }
        if (!f || l_strcmp(head->symbol.data, f) != 0) continue;
        QV_SEXP* v = get_el(e, 1);
        int vt = get_type(v);
        GF_CONV conv = kind >= GF_INT && kind <= GF_SEXP ? cf[kind][vt] : nullptr;
        if (conv) {
            conv(v, d, d2);
            *r = 0;
        } else {
            *r = -1;
        }
        return 0;
    }
    *r = -2;
    return -1;
}

int get_field(QV_SEXP* s, ...) {
    va_list ap;
    va_start(ap, s);
    int ret = 0;
    while (const L_CHAR* name = va_arg(ap, const L_CHAR*)) {
        const char* type = va_arg(ap, const char*);
        void* d = va_arg(ap, void*);
        int* r = va_arg(ap, int*);
        int kind = kind_of(type);
        if (kind < 0) {
            *r = -2;
            ret = -1;
            break;
        }
        void* d2 = kind <= GF_DOUBLE ? va_arg(ap, void*) : nullptr;
        set_data(s, name, kind, d, d2, r);
    }
    va_end(ap);
    return ret;
}

// ---------------------------------------------------------------- flag words

int get_attr_flags(int* er, const L_CHAR* attr, const ATTR_TABLE* at) {
    *er = 0;
    int flags = 0;
    if (!attr || !*attr) return 0;
    const L_CHAR* pos = attr;
    for (const ATTR_TABLE* row = at; row && row->flag_name; row++) {
        for (;;) {
            size_t n = strlen(row->flag_name);
            size_t i = 0;
            while (i < n && pos[i] && pos[i] == static_cast<unsigned char>(row->flag_name[i]))
                i++;
            if (i < n) break;  // no match: the next row
            flags |= row->flag;
            pos += n;
            if (!*pos) return flags;
            if (*pos != ':') break;
            pos++;  // a ':' is stepped over and the same row tried again
        }
    }
    *er = -1;
    return flags;
}

// ---------------------------------------------------------------- divided strings

void divide_string(DIV_STR* ds, const L_CHAR* div) {
    if (!ds) return;
    for (DIV_STR* e = ds;; e++) {
        if (e->type == 0) {
            divide_string_str(e, div);
        } else {
            divide_string(e->d.ds, div);
        }
        if (e->term == 0) break;
    }
}

void divide_string_str(DIV_STR* e, const L_CHAR* div) {
    const L_CHAR* s = e->d.str;
    int len = s ? l_strlen(s) : 0;
    int dlen = div ? l_strlen(div) : 0;
    struct Piece {
        int from, n;
    };
    Piece* pieces = static_cast<Piece*>(d_alloc((static_cast<int64_t>(len) + 1) * sizeof(Piece)));
    int count = 0;
    if (dlen == 0) {
        pieces[count++] = {0, len};
    } else {
        int start = 0;
        for (;;) {
            int at = find_text(s, len, start, div, dlen);
            if (at < 0) {
                pieces[count++] = {start, len - start};
                break;
            }
            pieces[count++] = {start, at - start};
            start = at + dlen;
            if (start >= len) break;  // a trailing delimiter gives no piece
        }
    }
    auto* arr = static_cast<DIV_STR*>(d_alloc(static_cast<int64_t>(count) * sizeof(DIV_STR)));
    for (int i = 0; i < count; i++) {
        arr[i].term = i + 1 < count ? 1 : 0;
        arr[i].type = 0;
        arr[i].flags = 1;
        arr[i].d.str = copy_piece(s ? s + pieces[i].from : nullptr, pieces[i].n);
    }
    d_f_ree(pieces);
    if (e->flags == 1 && e->d.str) d_f_ree(e->d.str);
    e->type = 1;
    e->flags = 1;
    e->d.ds = arr;
}

void free_div_str_list(DIV_STR* list) {
    if (!list) return;
    for (DIV_STR* e = list;; e++) {
        free_div_str(*e);
        if (e->term == 0) break;
    }
}

void free_div_str(DIV_STR ds) {
    if (ds.type == 1) free_div_str_list(ds.d.ds);
    if (ds.flags == 1) {
        if (ds.type == 1) {
            d_f_ree(ds.d.ds);
        } else if (ds.d.str) {
            d_f_ree(ds.d.str);
        }
    }
}

void print_div_str(DIV_STR* ds) {
    printf("[");
    for (DIV_STR* e = ds; e; e++) {
        if (e->type == 0) {
            printf("%s ", e->d.str ? n_string(std_cm, e->d.str) : "");
        } else {
            print_div_str(e->d.ds);
        }
        if (e->term == 0) break;
    }
    printf("]");
}

int cmp_part(const L_CHAR* target, const L_CHAR* data) {
    if (!data || !*data) return 1;
    if (!target) return 0;
    int tl = l_strlen(target);
    int dl = l_strlen(data);
    return find_text(target, tl, 0, data, dl) >= 0 ? 1 : 0;
}

// ---------------------------------------------------------------- code maps

void init_codehash(CODEHASH* ch) {
    if (ch->keylen <= 0) ch->keylen = 1;
    size_t size = static_cast<size_t>(ch->keylen) * sizeof(CODEHASH_ENTRY*);
    if (!ch->forward) {
        ch->forward = static_cast<CODEHASH_ENTRY**>(ch_alloc(ch, size));
        memset(ch->forward, 0, size);
    }
    if (!ch->reverse) {
        ch->reverse = static_cast<CODEHASH_ENTRY**>(ch_alloc(ch, size));
        memset(ch->reverse, 0, size);
    }
}

CODEHASH_ENTRY* insert_codehash(CODEHASH* ch, int rev, int forward, int flags) {
    init_codehash(ch);
    if (!(flags & CODEHASH_FORWARD)) forward = generate(ch, &ch->gen_forward, true);
    if (!(flags & CODEHASH_REVERSE)) rev = generate(ch, &ch->gen_reverse, false);
    auto* e = static_cast<CODEHASH_ENTRY*>(ch_alloc(ch, sizeof(CODEHASH_ENTRY)));
    e->forward = forward;
    e->reverse = rev;
    int fb = bucket(ch, forward);
    int rb = bucket(ch, rev);
    e->forward_next = ch->forward[fb];
    ch->forward[fb] = e;
    e->reverse_next = ch->reverse[rb];
    ch->reverse[rb] = e;
    return e;
}

CODEHASH_ENTRY* search_codehash(CODEHASH* ch, int rev, int forward, int flags) {
    if (!ch->forward || !ch->reverse) return nullptr;
    return (flags & CODEHASH_FORWARD) ? find_forward(ch, forward) : find_reverse(ch, rev);
}

int delete_codehash(CODEHASH* ch, int rev, int forward, int flags) {
    CODEHASH_ENTRY* e = search_codehash(ch, rev, forward, flags);
    if (!e) return -1;
    bool by_forward = flags & CODEHASH_FORWARD;
    bool found = by_forward ? unlink_forward(ch, e) : unlink_reverse(ch, e);
    bool other = by_forward ? unlink_reverse(ch, e) : unlink_forward(ch, e);
    if (!found || !other) er_panic("delete_codehash");
    ch_free(ch, e);
    return 0;
}

// ---------------------------------------------------------------- linear solver

namespace {

// Elimination of column c below the diagonal; -1 when the column has no non-zero pivot.
int _equation_a(int c, double m[3][3], double v[3]) {
    int p = c;
    for (int r = c + 1; r < 3; r++)
        if (std::fabs(m[r][c]) > std::fabs(m[p][c])) p = r;
    if (m[p][c] == 0.0) return -1;
    if (p != c) {
        for (int k = 0; k < 3; k++) {
            double t = m[c][k];
            m[c][k] = m[p][k];
            m[p][k] = t;
        }
        double t = v[c];
        v[c] = v[p];
        v[p] = t;
    }
    for (int i = c + 1; i < 3; i++) {
        if (m[i][c] == 0.0) continue;
        double f = m[c][c] / m[i][c];
        for (int k = c; k < 3; k++)
            m[i][k] = m[i][k] * f - m[c][k];
        m[i][c] = 0.0;
        v[i] = v[i] * f - v[c];
    }
    return 0;
}

}  // namespace

int equation(double result[3], double m[3][3], double v[3]) {
    for (int c = 0; c < 3; c++)
        if (_equation_a(c, m, v) < 0) return -1;
    for (int i = 2; i >= 0; i--) {
        double sum = v[i];
        for (int k = i + 1; k < 3; k++)
            sum -= m[i][k] * result[k];
        result[i] = sum / m[i][i];
    }
    return 0;
}

void print_matrix(double m[3][3]) {
    printf("---\n");
    for (int r = 0; r < 3; r++)
        printf("(%f %f %f )\n", m[r][0], m[r][1], m[r][2]);
    printf("---\n");
}

void print_vector(double v[3]) {
    printf("(%f %f %f )\n", v[0], v[1], v[2]);
}

void test_equation() {
    double m[3][3] = {{2, 1, -1}, {-3, -1, 2}, {-2, 1, 2}};
    double v[3] = {8, -11, -3};
    double result[3] = {0, 0, 0};
    printf("v = (%f %f %f)\n", v[0], v[1], v[2]);
    equation(result, m, v);
    printf("result = (%f %f %f)\n", result[0], result[1], result[2]);
}

// ---------------------------------------------------------------- points and rectangles

int qv_to_vx_point(VX_POINT* p, QV_SEXP* s) {
    double x, y;
    if (list_length(s) != 2 || !number(get_el(s, 0), &x) || !number(get_el(s, 1), &y)) return -1;
    p->x = x;
    p->y = y;
    return 0;
}

int qv_to_vx_rect(VX_RECT* r, QV_SEXP* s) {
    VX_RECT t;
    if (list_length(s) != 2 || qv_to_vx_point(&t.tl, get_el(s, 0)) != 0 ||
        qv_to_vx_point(&t.br, get_el(s, 1)) != 0)
        return -1;
    *r = t;
    return 0;
}

QV_SEXP* vx_point_to_qv(const VX_POINT* p) {
    return list(get_floating(p->x, nullptr), get_floating(p->y, nullptr), nullptr);
}

QV_SEXP* vx_rect_to_qv(const VX_RECT* r) {
    return list(vx_point_to_qv(&r->tl), vx_point_to_qv(&r->br), nullptr);
}

int i_rect_type(QV_SEXP* s) {
    return list_length(s) == 2 && int_pair(get_el(s, 0)) && int_pair(get_el(s, 1)) ? 0 : -1;
}

I_RECT qv_to_i_rect(QV_SEXP* s) {
    QV_SEXP* a = get_el(s, 0);
    QV_SEXP* b = get_el(s, 1);
    return I_RECT{{low32(get_el(a, 0)), low32(get_el(a, 1))},
                  {low32(get_el(b, 0)), low32(get_el(b, 1))}};
}

void marge_vrect(I_RECT* r1, const I_RECT* r2) {
    if (r1->tl.x < r1->br.x) {
        if (r2->tl.x < r1->tl.x) r1->tl.x = r2->tl.x;
        if (r2->tl.y < r1->tl.y) r1->tl.y = r2->tl.y;
        if (r2->br.x > r1->br.x) r1->br.x = r2->br.x;
        if (r2->br.y > r1->br.y) r1->br.y = r2->br.y;
    } else {
        *r1 = *r2;
    }
}
