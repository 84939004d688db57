// Helpers of the plot tests: a matrix geometry, points and field arrays built from literals,
// seeded random Morton-sorted lists with every field type, and a root frame per test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "lisp/heap.h"
#include "matrixops/plot_code.h"
#include "matrixops/plot_level.h"
#include "stream/string_stream.h"
#include "support/stdout_text.h"

namespace plottest {

inline PLOT_MATRIX geometry(int dim, int bs, int dd, int64_t pixels = 1 << 20) {
    PLOT_MATRIX m{};
    m.dim = dim;
    for (int k = 0; k < dim; k++) {
        m.block_size[k] = static_cast<uint8_t>(bs);
        m.dim_divide[k] = static_cast<uint8_t>(dd);
        m.pixel_size[k] = pixels;
    }
    return m;
}

// Object ids handed out by the fake matrix: 256, 512, ...
struct IdSource {
    int64_t next = 0;
    static int64_t get(void* self) {
        auto* s = static_cast<IdSource*>(self);
        return s->next += 256;
    }
};

inline void set_str(IP_FIELD* f, uint8_t type, const char* text) {
    f->type = type;
    f->d.str = text ? d_strdup(text) : nullptr;
}
inline void set_int(IP_FIELD* f, uint8_t type, int64_t v, int64_t count = 0) {
    f->type = type;
    f->d.i = static_cast<int64_t*>(d_alloc(16));
    f->d.i[0] = v;
    f->d.i[1] = count;
}
inline void set_rgba(IP_FIELD* f, uint32_t colour, int64_t count) {
    f->type = FD_RGBA;
    f->d.rgba = static_cast<FIELD_RGBA_T*>(d_alloc(sizeof(FIELD_RGBA_T)));
    for (int k = 0; k < 4; k++)
        f->d.rgba->rgba[k] = static_cast<uint8_t>(colour >> (24 - 8 * k));
    f->d.rgba->count = count;
}

// A tracked point at c with optional base and id, no fields.
inline INTERNAL_PLOT* point(const PLOT_MATRIX& m, std::vector<uint16_t> c, uint8_t flags = IP_MADE,
                            int64_t id = 0, std::vector<int64_t> base = {}) {
    auto* p = static_cast<INTERNAL_PLOT*>(d_calloc(1, sizeof(INTERNAL_PLOT)));
    p->flags = flags;
    p->id = id;
    p->c = static_cast<uint16_t*>(d_alloc(2 * m.dim));
    memcpy(p->c, c.data(), 2 * static_cast<size_t>(m.dim));
    if (!base.empty()) {
        p->flags |= IP_BASE;
        p->base = static_cast<int64_t*>(d_alloc(8 * m.dim));
        memcpy(p->base, base.data(), 8 * static_cast<size_t>(m.dim));
    }
    return p;
}

inline INTERNAL_PLOT* chain(std::vector<INTERNAL_PLOT*> v) {
    for (size_t i = 0; i + 1 < v.size(); i++)
        v[i]->next = v[i + 1];
    return v.empty() ? nullptr : v[0];
}

inline std::vector<INTERNAL_PLOT*> as_vector(INTERNAL_PLOT* p) {
    std::vector<INTERNAL_PLOT*> v;
    for (; p; p = p->next)
        v.push_back(p);
    return v;
}

// A random field entry of the given kind code (str kinds pick text or erase).
inline void random_field(std::mt19937& rng, IP_FIELD* f, uint8_t type) {
    switch (type >> 4) {
        case 1:
            f->type = FD_NONE;
            break;
        case 2:
            if (rng() % 3 == 0) {
                f->type = FD_STR_ERASE;
            } else {
                std::string t(rng() % 25 == 0 ? 1500 : rng() % 4, 'a');
                for (char& ch : t)
                    ch = static_cast<char>('a' + rng() % 2);
                set_str(f, FD_STR, t.c_str());
            }
            break;
        case 3:
            set_int(f, type, static_cast<int64_t>(rng() % 2000) - 1000,
                    type == FD_INT_AVG ? static_cast<int64_t>(rng() % 4) : 0);
            break;
        default:
            set_rgba(f, static_cast<uint32_t>(rng()), static_cast<int64_t>(rng() % 4));
            break;
    }
}

// A random Morton-sorted list. Field i of every point is none or of the list's kind i, so any
// two points merge; with `span` small many points share a parent cell or a position.
inline INTERNAL_PLOT* random_list(const PLOT_MATRIX& m, std::mt19937& rng, int n, int span,
                                  bool with_ids = true) {
    static const uint8_t kinds[] = {FD_NONE,    FD_STR,     FD_INT_ADD, FD_INT_AVG,
                                    FD_INT_MAX, FD_INT_MIN, FD_RGBA};
    uint8_t shape[4];
    for (auto& k : shape)
        k = kinds[rng() % 7];
    std::vector<INTERNAL_PLOT*> v;
    for (int i = 0; i < n; i++) {
        std::vector<uint16_t> c(static_cast<size_t>(m.dim));
        for (auto& x : c)
            x = static_cast<uint16_t>(rng() % static_cast<unsigned>(span));
        std::vector<int64_t> base;
        if (rng() % 3 == 0)
            for (int k = 0; k < m.dim; k++)
                base.push_back(static_cast<int64_t>(rng() % 1000));
        int64_t id = with_ids && rng() % 2 ? static_cast<int64_t>(rng() % 4096) * 256 + 2 : 0;
        INTERNAL_PLOT* p = point(m, c, IP_MADE, id, base);
        int nf = static_cast<int>(rng() % 5);
        p->fields = nf ? new_fields(static_cast<uint32_t>(nf)) : nullptr;
        for (int j = 0; j < nf; j++)
            random_field(rng, &p->fields[j], rng() % 4 == 0 ? uint8_t{FD_NONE} : shape[j]);
        v.push_back(p);
    }
    return sort_plot(&m, chain(v));
}

// The list sort exactly as first written: deal alternately by prepending, sort both, merge
// taking B's head unless A's is less.
inline INTERNAL_PLOT* literal_sort(const PLOT_MATRIX* m, INTERNAL_PLOT* ip) {
    if (!ip || !ip->next) return ip;
    INTERNAL_PLOT *a = nullptr, *b = nullptr;
    int i = 0;
    while (ip) {
        INTERNAL_PLOT* n = ip->next;
        if (i++ % 2 == 0) {
            ip->next = a;
            a = ip;
        } else {
            ip->next = b;
            b = ip;
        }
        ip = n;
    }
    a = literal_sort(m, a);
    b = literal_sort(m, b);
    INTERNAL_PLOT* head = nullptr;
    INTERNAL_PLOT** t = &head;
    while (a && b) {
        if (cmp_plot(m, a->c, b->c) >= 0) {
            *t = b;
            b = b->next;
        } else {
            *t = a;
            a = a->next;
        }
        t = &(*t)->next;
    }
    *t = a ? a : b;
    return head;
}

// What the plot code writes on the standard output stream while it lives.
using vxtest::StdoutText;

class PlotTest : public testing::Test {
  protected:
    void SetUp() override { gc_push(nullptr, nullptr, "plot test"); }
    void TearDown() override { gc_pop(nullptr, nullptr); }
};

}  // namespace plottest
