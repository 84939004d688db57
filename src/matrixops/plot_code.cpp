// Plot points: records, the plot code, Morton order, copies and diagnostics.
#include "matrixops/plot_code.h"

#include <cstring>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/panic.h"
#include "stream/sprintf.h"

int plot_matrix_check(const PLOT_MATRIX* m) {
    if (!m || m->dim < 1 || m->dim > PLOT_DIM_MAX) return -1;
    for (int k = 0; k < m->dim; k++) {
        if (m->block_size[k] > 16 || m->dim_divide[k] > m->block_size[k]) return -1;
        if (m->block_size[k] != m->block_size[0] || m->dim_divide[k] != m->dim_divide[0]) return -1;
    }
    return 0;
}

int64_t plot_new_obj_id(const PLOT_MATRIX* m) {
    return m->get_obj_id ? m->get_obj_id(m->owner) : 0;
}

// ---- Morton order --------------------------------------------------------------------------

int cmp_plot(const PLOT_MATRIX* m, const uint16_t* c1, const uint16_t* c2) {
    // The dimension whose highest differing bit (within its block size) is highest decides; at
    // the same bit the lower dimension is looked at first.
    int best = -1;
    unsigned bx = 0;
    for (int k = 0; k < m->dim; k++) {
        unsigned mask = (1u << m->block_size[k]) - 1;
        unsigned x = (static_cast<unsigned>(c1[k]) ^ c2[k]) & mask;
        if (bx < x && bx < (bx ^ x)) {
            bx = x;
            best = k;
        }
    }
    if (best < 0) return 0;
    unsigned mask = (1u << m->block_size[best]) - 1;
    return (c1[best] & mask) < (c2[best] & mask) ? -1 : 1;
}

bool plot_morton_key(const PLOT_MATRIX* m, const uint16_t* c, uint64_t* key) {
    int bits = 0, top = 0;
    for (int k = 0; k < m->dim; k++) {
        bits += m->block_size[k];
        if (m->block_size[k] > top) top = m->block_size[k];
    }
    if (bits > 64) return false;
    uint64_t r = 0;
    for (int b = top - 1; b >= 0; b--)
        for (int k = 0; k < m->dim; k++)
            if (m->block_size[k] > b) r = (r << 1) | ((c[k] >> b) & 1u);
    *key = r;
    return true;
}

// ---- records -------------------------------------------------------------------------------

int get_internal_plot_len(const INTERNAL_PLOT* ip) {
    int n = 0;
    for (; ip; ip = ip->next)
        n++;
    return n;
}

namespace {

INTERNAL_PLOT* dup_record(const PLOT_MATRIX* m, const INTERNAL_PLOT* ip, SIMPLE_ALLOC_T* sat,
                          const char* file, int line) {
    auto* r = static_cast<INTERNAL_PLOT*>(sat_alloc(sat, sizeof(INTERNAL_PLOT), file, line));
    *r = *ip;
    r->next = nullptr;
    r->c = static_cast<uint16_t*>(sat_alloc(sat, 2 * m->dim, file, line));
    memcpy(r->c, ip->c, static_cast<size_t>(2 * m->dim));
    if (ip->base) {
        r->base = static_cast<int64_t*>(sat_alloc(sat, 8 * m->dim, file, line));
        memcpy(r->base, ip->base, static_cast<size_t>(8 * m->dim));
    }
    r->fields = xx_copy_fields(ip->fields, sat, file, line);
    return r;
}

}  // namespace

INTERNAL_PLOT* copy_one_plot(const PLOT_MATRIX* m, const INTERNAL_PLOT* ip, SIMPLE_ALLOC_T* sat) {
    return dup_record(m, ip, sat, __FILE__, __LINE__);
}

INTERNAL_PLOT* xx_copy_internal_plot(const PLOT_MATRIX* m, const INTERNAL_PLOT* ip,
                                     const char* file, int line) {
    INTERNAL_PLOT* head = nullptr;
    INTERNAL_PLOT** tail = &head;
    for (; ip; ip = ip->next) {
        *tail = dup_record(m, ip, nullptr, file, line);
        tail = &(*tail)->next;
    }
    return head;
}

void free_internal_plot(INTERNAL_PLOT* ip) {
    if (!ip) return;
    free_fields(ip->fields);
    d_f_ree(ip->base);
    d_f_ree(ip->c);
    d_f_ree(ip);
}

void free_internal_plot_list(INTERNAL_PLOT* ip) {
    while (ip) {
        INTERNAL_PLOT* n = ip->next;
        free_internal_plot(ip);
        ip = n;
    }
}

void xx_change_st_internal_plot(INTERNAL_PLOT* ip, const char* file, int line) {
    for (; ip; ip = ip->next) {
        xx_change_st_fields(ip->fields, file, line);
        if (ip->base) xx_change_statistics(ip->base, file, line);
        xx_change_statistics(ip->c, file, line);
        xx_change_statistics(ip, file, line);
    }
}

bool internal_plot_equal(const PLOT_MATRIX* m, const INTERNAL_PLOT* a, const INTERNAL_PLOT* b) {
    for (; a && b; a = a->next, b = b->next) {
        if (a->flags != b->flags || a->id != b->id) return false;
        if (memcmp(a->c, b->c, static_cast<size_t>(2 * m->dim)) != 0) return false;
        if (!a->base != !b->base) return false;
        if (a->base && memcmp(a->base, b->base, static_cast<size_t>(8 * m->dim)) != 0) return false;
        if (!fields_equal(a->fields, b->fields)) return false;
    }
    return !a && !b;
}

// ---- the plot code -------------------------------------------------------------------------

namespace {

// The flags byte a point is written with: 0x20 exactly with a base, 0x40 exactly with an id, and
// never 0 (a 0 ends the code).
uint8_t code_flags(const INTERNAL_PLOT* ip) {
    unsigned f = (ip->flags & ~unsigned{IP_BASE | IP_ID}) | (ip->base ? unsigned{IP_BASE} : 0u) |
                 (ip->id ? unsigned{IP_ID} : 0u);
    return static_cast<uint8_t>(f ? f : unsigned{IP_MADE});
}

int64_t point_code_size(const PLOT_MATRIX* m, const INTERNAL_PLOT* ip) {
    int64_t n = 2 + 2 * m->dim;
    if (ip->base) n += 8 * m->dim;
    if (ip->id) n += 8;
    for (uint32_t i = 0; i < fields_len(ip->fields); i++) {
        const FIELD_TYPE* row = fd_row(ip->fields[i].type);
        if (!row) er_panic("one_internal2code");
        n += 1 + row->size(&ip->fields[i]);
    }
    return n + 1;
}

uint8_t* write_point(uint8_t* p, const PLOT_MATRIX* m, const INTERNAL_PLOT* ip) {
    *p++ = code_flags(ip);
    *p++ = 0;
    for (int k = 0; k < m->dim; k++, p += 2)
        put_be16(p, ip->c[k]);
    if (ip->base)
        for (int k = 0; k < m->dim; k++, p += 8)
            put_be64(p, static_cast<uint64_t>(ip->base[k]));
    if (ip->id) {
        put_be64(p, static_cast<uint64_t>(ip->id));
        p += 8;
    }
    for (uint32_t i = 0; i < fields_len(ip->fields); i++) {
        *p++ = ip->fields[i].type;
        p = fd_row(ip->fields[i].type)->to_external(&ip->fields[i], p);
    }
    *p++ = 0;
    return p;
}

void drop_decoded(INTERNAL_PLOT* head, SIMPLE_ALLOC_T* sat) {
    if (sat)
        free_smp(sat);
    else
        free_internal_plot_list(head);
}

}  // namespace

uint8_t* one_internal2code(int64_t* size_p, const PLOT_MATRIX* m, const INTERNAL_PLOT* ip) {
    int64_t n = point_code_size(m, ip);
    auto* buf = static_cast<uint8_t*>(d_alloc(n));
    write_point(buf, m, ip);
    *size_p = n;
    return buf;
}

uint8_t* internal2code(int64_t* size_p, const PLOT_MATRIX* m, const INTERNAL_PLOT* ip) {
    int64_t n = 1;
    for (const INTERNAL_PLOT* q = ip; q; q = q->next)
        n += point_code_size(m, q);
    auto* buf = static_cast<uint8_t*>(d_alloc(n));
    uint8_t* p = buf;
    for (const INTERNAL_PLOT* q = ip; q; q = q->next)
        p = write_point(p, m, q);
    *p = 0;
    *size_p = n;
    return buf;
}

INTERNAL_PLOT* code2internal(const PLOT_MATRIX* m, const uint8_t* ptr, int64_t ptr_size,
                             SIMPLE_ALLOC_T* sat, uint32_t* err) {
    *err = 0;
    if (sat) free_smp(sat);
    const uint8_t* end = ptr + (ptr_size > 0 ? ptr_size : 0);
    const uint8_t* p = ptr;
    const int dim = m->dim;
    INTERNAL_PLOT* head = nullptr;
    INTERNAL_PLOT** tail = &head;
    for (;;) {
        if (p >= end) break;  // no terminator
        uint8_t flags = *p;
        if (flags == 0) return head;
        int64_t fixed = 2 + 2 * dim + ((flags & IP_BASE) ? 8 * dim : 0) + ((flags & IP_ID) ? 8 : 0);
        if (end - p < fixed) break;
        bool outside = false;  // a coordinate beyond its block size
        for (int k = 0; k < dim; k++)
            if (get_be16(p + 2 + 2 * k) >> m->block_size[k]) outside = true;
        if (outside) break;
        // Count the fields, checking each against the end.
        const uint8_t* f = p + fixed;
        uint32_t nf = 0;
        while (f < end && *f != 0) {
            const FIELD_TYPE* row = fd_code_type_valid(*f) ? fd_row(*f) : nullptr;
            if (!row || nf == FD_LEN_MAX) {
                f = nullptr;
                break;
            }
            f = row->to_internal(nullptr, f, end, nullptr);
            if (!f) break;
            nf++;
        }
        if (!f || f >= end) break;
        int64_t id = (flags & IP_ID) ? static_cast<int64_t>(get_be64(p + fixed - 8)) : 0;
        if ((flags & IP_ID) && id == 0) break;

        auto* ip =
            static_cast<INTERNAL_PLOT*>(sat_alloc(sat, sizeof(INTERNAL_PLOT), __FILE__, __LINE__));
        memset(ip, 0, sizeof(*ip));
        ip->flags = flags;
        ip->id = id;
        ip->c = static_cast<uint16_t*>(sat_alloc(sat, 2 * dim, __FILE__, __LINE__));
        const uint8_t* q = p + 2;
        for (int k = 0; k < dim; k++, q += 2)
            ip->c[k] = get_be16(q);
        if (flags & IP_BASE) {
            ip->base = static_cast<int64_t*>(sat_alloc(sat, 8 * dim, __FILE__, __LINE__));
            for (int k = 0; k < dim; k++, q += 8)
                ip->base[k] = static_cast<int64_t>(get_be64(q));
        }
        q = p + fixed;
        if (nf) {
            ip->fields = static_cast<IP_FIELD*>(
                sat_alloc(sat, 16 * static_cast<int64_t>(nf), __FILE__, __LINE__));
            for (uint32_t i = 0; i < nf; i++) {
                ip->fields[i].len = 0;
                ip->fields[i].type = *q;
                ip->fields[i].d.p = nullptr;
                q = fd_row(*q)->to_internal(&ip->fields[i], q, end, sat);
            }
            ip->fields[0].len = nf;
        }
        *tail = ip;
        tail = &ip->next;
        p = f + 1;
    }
    drop_decoded(head, sat);
    *err = PLOT_ERR_CODE;
    return nullptr;
}

// ---- diagnostics ---------------------------------------------------------------------------

void check_internal_plot(const PLOT_MATRIX* m, const INTERNAL_PLOT* ip, const char* msg) {
    for (; ip; ip = ip->next) {
        for (uint32_t i = 0; i < fields_len(ip->fields); i++) {
            if (!fd_code_type_valid(ip->fields[i].type)) {
                ss_printf("%s %x\n", msg, ip->fields[i].type);
                er_panic("CHECK");
            }
        }
        if (ip->next && cmp_plot(m, ip->c, ip->next->c) > 0) {
            ss_printf("%s\n", msg);
            er_panic("CHECK2");
        }
    }
}

void print_internal_plot(const PLOT_MATRIX* m, const INTERNAL_PLOT* ip, const char* msg) {
    ss_printf("%s ", msg);
    for (; ip; ip = ip->next) {
        ss_printf("(%x : ", ip->flags);
        for (int k = 0; k < m->dim; k++)
            ss_printf("%x ", ip->c[k]);
        ss_printf(" : ");
        if (ip->base)
            for (int k = 0; k < m->dim; k++)
                ss_printf("%x ", static_cast<unsigned>(static_cast<uint64_t>(ip->base[k]) >> 32));
        ss_printf(")");
    }
    ss_printf("\n");
}
