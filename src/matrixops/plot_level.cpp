// Plot level algorithms: single ordered walks over Morton-sorted lists.
#include "matrixops/plot_level.h"

#include <cstring>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "stream/sprintf.h"

namespace {

uint64_t pow2(int64_t s) {
    return s >= 64 || s < 0 ? 0 : uint64_t{1} << s;
}
uint64_t shr(uint64_t v, int64_t s) {
    return s >= 64 ? 0 : v >> s;
}
uint64_t shl(uint64_t v, int64_t s) {
    return s >= 64 ? 0 : v << s;
}

bool same_c(const PLOT_MATRIX* m, const INTERNAL_PLOT* a, const INTERNAL_PLOT* b) {
    return memcmp(a->c, b->c, static_cast<size_t>(2 * m->dim)) == 0;
}

// The child's area inside the parent block, per dimension: (origin >> ((L + 1)·dd)) masked to
// the top dd bits of the block coordinate.
uint16_t child_offset(const PLOT_MATRIX* m, int k, const int64_t* dc, uint16_t* mask) {
    int dd = m->dim_divide[k], bs = m->block_size[k];
    auto mk = static_cast<uint16_t>(((1u << dd) - 1) << (bs - dd));
    if (mask) *mask = mk;
    return static_cast<uint16_t>(shr(static_cast<uint64_t>(dc[1 + k]), (dc[0] + 1) * dd) & mk);
}

}  // namespace

INTERNAL_PLOT* diff_pp(const PLOT_MATRIX* m, INTERNAL_PLOT** diff, const INTERNAL_PLOT* down,
                       uint32_t* err) {
    *err = 0;
    *diff = nullptr;
    ss_printf("diff-1\n");
    INTERNAL_PLOT* u_list = copy_internal_plot(m, down);
    INTERNAL_PLOT* d_list = copy_internal_plot(m, down);
    ss_printf("diff-2\n");
    for (INTERNAL_PLOT *u = u_list, *d = d_list; u; u = u->next, d = d->next) {
        d_f_ree(u->base);
        u->base = nullptr;
        u->flags &= static_cast<uint8_t>(~IP_BASE);
        for (int k = 0; k < m->dim; k++) {
            u->c[k] = static_cast<uint16_t>(u->c[k] >> m->dim_divide[k]);
            d->c[k] = static_cast<uint16_t>(d->c[k] & ((1u << m->dim_divide[k]) - 1));
        }
        // Run marks are set below; a rebuilt child carries stale ones.
        d->flags &= static_cast<uint8_t>(~IP_RUN);
    }
    INTERNAL_PLOT* d = d_list;
    for (INTERNAL_PLOT* u = u_list; u; u = u->next) {
        d->flags |= IP_RUN;
        INTERNAL_PLOT* run = d;
        IP_FIELD* f = copy_fields(u->fields, nullptr);
        uint8_t mflag = 0;
        d = d->next;
        while (u->next && same_c(m, u, u->next)) {
            INTERNAL_PLOT* s = u->next;
            IP_FIELD* g = merge_fields(&mflag, f, s->fields, err);
            mflag |= IP_MERGED;
            free_fields(f);
            f = g;
            u->next = s->next;
            free_internal_plot(s);
            d = d->next;
            if (*err) break;
        }
        for (INTERNAL_PLOT* q = run; !*err && q != d; q = q->next) {
            IP_FIELD* g = diff_fields(q->fields, f, err);
            free_fields(q->fields);
            q->fields = g;
        }
        free_fields(u->fields);
        u->fields = f;
        u->flags |= mflag;
        if (*err) {
            free_internal_plot_list(u_list);
            free_internal_plot_list(d_list);
            return nullptr;
        }
    }
    *diff = d_list;
    return u_list;
}

namespace {

// The child point made from parent p and difference q.
INTERNAL_PLOT* add_one(const PLOT_MATRIX* m, const INTERNAL_PLOT* p, const INTERNAL_PLOT* q,
                       SIMPLE_ALLOC_T* pool, uint32_t* err) {
    const int dim = m->dim;
    auto* r =
        static_cast<INTERNAL_PLOT*>(sat_alloc(pool, sizeof(INTERNAL_PLOT), __FILE__, __LINE__));
    *r = *p;
    r->next = nullptr;
    r->flags = q->flags;
    r->c = static_cast<uint16_t*>(sat_alloc(pool, 2 * dim, __FILE__, __LINE__));
    for (int k = 0; k < dim; k++) {
        unsigned v = (static_cast<unsigned>(p->c[k]) << m->dim_divide[k]) | q->c[k];
        r->c[k] = static_cast<uint16_t>(v & ((1u << m->block_size[k]) - 1));
    }
    r->base = nullptr;
    if ((q->flags & IP_BASE) && q->base) {
        r->base = static_cast<int64_t*>(sat_alloc(pool, 8 * dim, __FILE__, __LINE__));
        memcpy(r->base, q->base, static_cast<size_t>(8 * dim));
    }
    if (q->id != 0 && q->id != 1) {
        r->id = q->id;
    } else if (q->id == 1) {
        r->id = p->id;
    } else {
        bool last = !q->next || (q->next->flags & IP_RUN);
        r->id = (q->flags & IP_RUN) && last ? p->id : plot_new_obj_id(m);
    }
    r->fields = nullptr;
    const IP_FIELD* pf = p->fields;
    const IP_FIELD* qf = q->fields;
    if (qf && !pf) {
        r->fields = copy_fields(qf, pool);
    } else if (qf && pf) {
        uint32_t n = qf[0].len;
        auto* f = static_cast<IP_FIELD*>(
            sat_alloc(pool, 16 * static_cast<int64_t>(n), __FILE__, __LINE__));
        for (uint32_t i = 0; i < n; i++) {
            f[i].len = 0;
            f[i].d.p = nullptr;
            if (i >= pf[0].len || (qf[i].type >> 4) == 1) {
                fd_row(qf[i].type)->copy(&f[i], &qf[i], pool);
                continue;
            }
            const FIELD_TYPE* row = fd_row(pf[i].type);
            int rc = (pf[i].type >> 4) != (qf[i].type >> 4) || !row
                         ? (ss_printf("MF %x %x\n", pf[i].type, qf[i].type), -1)
                         : row->add(&f[i], &pf[i], &qf[i], pool);
            if (rc < 0) {
                *err = PLOT_ERR_KIND;
                if (!pool) {
                    for (uint32_t j = 0; j < i; j++)
                        d_f_ree(f[j].d.p);
                    d_f_ree(f);
                }
                r->fields = nullptr;
                if (!pool) free_internal_plot(r);
                return nullptr;
            }
        }
        f[0].len = n;
        r->fields = f;
    }
    return r;
}

}  // namespace

INTERNAL_PLOT* add_diff(const PLOT_MATRIX* m, const INTERNAL_PLOT* up, const INTERNAL_PLOT* diff,
                        const int64_t* down_code, SIMPLE_ALLOC_T* pool, uint32_t* err) {
    *err = 0;
    uint16_t mask[PLOT_DIM_MAX], want[PLOT_DIM_MAX];
    for (int k = 0; k < m->dim; k++)
        want[k] = child_offset(m, k, down_code, &mask[k]);
    auto inside = [&](const INTERNAL_PLOT* p) {
        for (int k = 0; k < m->dim; k++)
            if ((p->c[k] & mask[k]) != want[k]) return false;
        return true;
    };
    while (up && !inside(up))
        up = up->next;
    INTERNAL_PLOT* head = nullptr;
    INTERNAL_PLOT** tail = &head;
    const INTERNAL_PLOT* q = diff;
    for (; up && inside(up); up = up->next) {
        if (!q) {
            *err = PLOT_ERR_CODE;
            break;
        }
        do {
            INTERNAL_PLOT* r = add_one(m, up, q, pool, err);
            if (!r) break;
            *tail = r;
            tail = &r->next;
            q = q->next;
        } while (q && !(q->flags & IP_RUN));
        if (*err) break;
    }
    if (*err) {
        if (!pool) free_internal_plot_list(head);
        return nullptr;
    }
    return head;
}

INTERNAL_PLOT* shift_under_plot(const PLOT_MATRIX* m, const INTERNAL_PLOT* ip, int64_t level,
                                const int64_t* dc) {
    INTERNAL_PLOT* head = nullptr;
    INTERNAL_PLOT** tail = &head;
    const int64_t dcl = dc[0];
    for (; ip; ip = ip->next) {
        uint64_t a[PLOT_DIM_MAX];
        bool keep = true;
        for (int k = 0; k < m->dim && keep; k++) {
            int dd = m->dim_divide[k], bs = m->block_size[k];
            a[k] = shl(ip->c[k], dd * level) + (ip->base ? static_cast<uint64_t>(ip->base[k]) : 0);
            uint64_t msk = pow2(dd * level + bs) - pow2(dd * dcl + bs);
            keep = (a[k] & msk) == (static_cast<uint64_t>(dc[1 + k]) & msk);
        }
        if (!keep) continue;
        INTERNAL_PLOT* r = copy_one_plot(m, ip, nullptr);
        bool zero = true;
        for (int k = 0; k < m->dim; k++) {
            int dd = m->dim_divide[k], bs = m->block_size[k];
            r->c[k] = static_cast<uint16_t>(shr(a[k], dd * dcl) & (pow2(bs) - 1));
            if (r->base) {
                r->base[k] = static_cast<int64_t>(a[k] & (pow2(dd * dcl) - 1));
                if (r->base[k]) zero = false;
            }
        }
        if (r->base && zero) {
            d_f_ree(r->base);
            r->base = nullptr;
            r->flags &= static_cast<uint8_t>(~IP_BASE);
        }
        *tail = r;
        tail = &r->next;
    }
    return head;
}

int shift_insert_plot(const PLOT_MATRIX* m, INTERNAL_PLOT** head, INTERNAL_PLOT* ip,
                      const int64_t* dim_code) {
    if (!ip) return 0;
    uint16_t off[PLOT_DIM_MAX], first[PLOT_DIM_MAX], last[PLOT_DIM_MAX];
    INTERNAL_PLOT* ip_last = ip;
    while (ip_last->next)
        ip_last = ip_last->next;
    for (int k = 0; k < m->dim; k++) {
        off[k] = child_offset(m, k, dim_code, nullptr);
        first[k] = static_cast<uint16_t>(ip->c[k] | off[k]);
        last[k] = static_cast<uint16_t>(ip_last->c[k] | off[k]);
    }
    INTERNAL_PLOT** at = head;
    while (*at && cmp_plot(m, (*at)->c, first) < 0)
        at = &(*at)->next;
    if (*at && cmp_plot(m, (*at)->c, last) < 0) return -1;
    for (INTERNAL_PLOT* p = ip; p; p = p->next)
        for (int k = 0; k < m->dim; k++)
            p->c[k] = static_cast<uint16_t>(p->c[k] | off[k]);
    ip_last->next = *at;
    *at = ip;
    return 0;
}

// ---- sorting -------------------------------------------------------------------------------

namespace {

struct SortItem {
    uint64_t key;
    INTERNAL_PLOT* p;
};

// Sorts x[0..n) in place with scratch t[0..n), as the list sort does: the odd-numbered points
// (1st, 3rd, ...) and the even-numbered ones are each dealt in reverse, sorted, and merged taking
// the second half's head unless the first's is less.
template <bool Keys>
void sort_items(const PLOT_MATRIX* m, SortItem* x, SortItem* t, size_t n) {
    if (n <= 1) return;
    size_t na = (n + 1) / 2, nb = n / 2;
    for (size_t j = 0; j < na; j++)
        t[j] = x[2 * (na - 1 - j)];
    for (size_t j = 0; j < nb; j++)
        t[na + j] = x[2 * (nb - 1 - j) + 1];
    sort_items<Keys>(m, t, x, na);
    sort_items<Keys>(m, t + na, x + na, nb);
    SortItem *a = t, *ae = t + na, *b = t + na, *be = t + n, *o = x;
    while (a < ae && b < be) {
        bool take_b = Keys ? a->key >= b->key : cmp_plot(m, a->p->c, b->p->c) >= 0;
        *o++ = take_b ? *b++ : *a++;
    }
    while (a < ae)
        *o++ = *a++;
    while (b < be)
        *o++ = *b++;
}

}  // namespace

INTERNAL_PLOT* sort_plot(const PLOT_MATRIX* m, INTERNAL_PLOT* ip) {
    if (!ip || !ip->next) return ip;
    std::vector<SortItem> items;
    bool keys = true;
    for (INTERNAL_PLOT* p = ip; p; p = p->next) {
        SortItem it{0, p};
        if (keys && !plot_morton_key(m, p->c, &it.key)) keys = false;
        items.push_back(it);
    }
    std::vector<SortItem> tmp(items.size());
    if (keys)
        sort_items<true>(m, items.data(), tmp.data(), items.size());
    else
        sort_items<false>(m, items.data(), tmp.data(), items.size());
    for (size_t i = 0; i + 1 < items.size(); i++)
        items[i].p->next = items[i + 1].p;
    items.back().p->next = nullptr;
    return items.front().p;
}

// ---- coordinates ---------------------------------------------------------------------------

INTERNAL_PLOT* make_plot(const PLOT_MATRIX* m, int64_t level, const int64_t* crd,
                         const IP_FIELD* fd) {
    if (level < 0) return nullptr;
    for (int k = 0; k < m->dim; k++)
        if (m->dim_divide[k] * level >= 64) return nullptr;
    auto* r = static_cast<INTERNAL_PLOT*>(d_calloc(1, sizeof(INTERNAL_PLOT)));
    r->flags = IP_MADE;
    r->c = static_cast<uint16_t*>(d_alloc(2 * m->dim));
    bool base = false;
    for (int k = 0; k < m->dim; k++) {
        int64_t s = m->dim_divide[k] * level;
        auto v = static_cast<uint64_t>(crd[1 + k]);
        r->c[k] = static_cast<uint16_t>(shr(v, s) & (pow2(m->block_size[k]) - 1));
        int64_t lo = crd[0] > 0 ? m->dim_divide[k] * crd[0] : 0;
        if (crd[0] < level && (v & (pow2(s) - 1) & ~(pow2(lo) - 1))) base = true;
    }
    if (base) {
        r->flags |= IP_BASE;
        r->base = static_cast<int64_t*>(d_alloc(8 * m->dim));
        for (int k = 0; k < m->dim; k++)
            r->base[k] = static_cast<int64_t>(static_cast<uint64_t>(crd[1 + k]) &
                                              (pow2(m->dim_divide[k] * level) - 1));
    }
    r->fields = copy_fields(fd, nullptr);
    return r;
}

void get_plot_crd(int64_t* crd, const PLOT_MATRIX* m, const INTERNAL_PLOT* ip, int64_t level) {
    crd[0] = level;
    for (int k = 0; k < m->dim; k++)
        crd[1 + k] = static_cast<int64_t>(shl(ip->c[k], m->dim_divide[k] * level) +
                                          (ip->base ? static_cast<uint64_t>(ip->base[k]) : 0));
}
