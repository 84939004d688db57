#include "longchar/codetable.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"
#include "longchar/codetable_data.h"

L_CHAR colision[2];

namespace {

constexpr L_CHAR LCZ_JISX0208_A = 0xC0030000;  // same codes as JIS X 0208
constexpr L_CHAR LCZ_JISX0208_B = 0xC0040000;  // same codes as JIS X 0208
constexpr L_CHAR LCZ_JISX0212 = 0xC0050000;
constexpr L_CHAR LCZ_JISX0208_HIGH = 0xC0200000;  // JIS X 0208 with both bytes 0xA1-0xFE
constexpr L_CHAR LCZ_SJIS_VALUE = 0xC0220000;     // Shift_JIS byte values as 16-bit codes

// The Unicode family: sets that share the basic plane's codes.
constexpr L_CHAR LCZ_UCS_A = 0xC0130000;
constexpr L_CHAR LCZ_UCS_B = 0xC0140000;
constexpr L_CHAR LCZ_COMBINED_A = 0xC0160000;
constexpr L_CHAR LCZ_COMBINED_B = 0xC0170000;

// Sets in the first 16-bit class are indexed directly; the others are found on the list.
constexpr L_CHAR CLASS16_FIRST = 0xC0000000;
constexpr L_CHAR CLASS16_LAST = 0xDFFFFFFF;

code_table_header* ct_root = nullptr;  // searched from its head
code_table_header* by16[0x2000];       // the table of each set 0xC000xxxx - 0xDFFFxxxx
std::once_flag tables_built;

// A plain set and the set of its combined characters, with the longest sequence.
struct cn_lcz {
    L_CHAR lcz;
    L_CHAR cn;
    int max;
};
constexpr cn_lcz cn_lcz_sort[] = {
    {LCZ_UCS_PLANE, LCZ_COMBINED, 5},
    {0xE0003800, 0xE0003900, 2},
    {0xE0004000, 0xE0004100, 2},
    {0xE0004200, 0xE0004300, 2},
};

// A combined character and the sequence it stands for, sorted by node.
struct cn_pair {
    L_CHAR node;
    L_CHAR leaf[6];  // 2 to 5 characters, ended by 0
};
constexpr cn_pair node_to_leaf[] = {
    {LCZ_COMBINED | 0x0000, {LCZ_UCS_PLANE | 0x00FC, LCZ_UCS_PLANE | 0xF87F, 0}},
};
constexpr int node_count = sizeof node_to_leaf / sizeof node_to_leaf[0];

bool in_class16(L_CHAR c) {
    return c >= CLASS16_FIRST && c <= CLASS16_LAST;
}

L_CHAR set_of(L_CHAR c) {
    return c & get_lc_mask(c);
}

code_table_header* new_header(L_CHAR lcz) {
    auto* h = static_cast<code_table_header*>(d_calloc(1, sizeof(code_table_header)));
    h->lcz = lcz;
    h->mask = get_lc_mask(lcz);
    h->len = static_cast<int>(~h->mask + 1);
    h->next = ct_root;
    ct_root = h;
    if (in_class16(lcz)) by16[(lcz >> 16) - (CLASS16_FIRST >> 16)] = h;
    return h;
}

// Gives a header its entries, every one its own ring.
void materialise(code_table_header* h) {
    if (h->tbl) return;
    auto* t = static_cast<code_entry*>(
        d_alloc(static_cast<int64_t>(h->len) * static_cast<int64_t>(sizeof(code_entry))));
    for (int i = 0; i < h->len; i++) {
        t[i].code = h->lcz | static_cast<L_CHAR>(i);
        t[i].next = &t[i];
    }
    h->tbl = t;
}

code_table_header* table_of_set(L_CHAR set) {
    if (in_class16(set)) {
        code_table_header* h = by16[(set >> 16) - (CLASS16_FIRST >> 16)];
        return h && h->lcz == set ? h : nullptr;
    }
    for (code_table_header* h = ct_root; h; h = h->next)
        if (h->lcz == set) return h;
    return nullptr;
}

code_table_header* table_of_char(L_CHAR a) {
    if (in_class16(a)) return table_of_set(a & 0xFFFF0000u);
    for (code_table_header* h = ct_root; h; h = h->next)
        if ((a & h->mask) == h->lcz) return h;
    return nullptr;
}

// The entry of a in its table; for a table without entries, a ring of one in *scratch.
const code_entry* entry_of(const code_table_header* h, L_CHAR a, code_entry* scratch) {
    if (h->tbl) return &h->tbl[a & ~h->mask];
    scratch->code = h->lcz | (a & ~h->mask);
    scratch->next = scratch;
    return scratch;
}

bool same_set(L_CHAR x, L_CHAR y) {
    L_CHAR m = get_lc_mask(x);
    return get_lc_mask(y) == m && (x & m) == (y & m);
}

// True when some entry of ring a and some entry of ring b lie in the same set.
bool col_code_entry(const code_entry* a, const code_entry* b) {
    const code_entry* x = a;
    do {
        const code_entry* y = b;
        do {
            if (same_set(x->code, y->code)) return true;
            y = y->next;
        } while (y != b);
        x = x->next;
    } while (x != a);
    return false;
}

void marge_code_entry(code_entry* a, code_entry* b) {
    std::swap(a->next, b->next);
}

int correspond(L_CHAR a, L_CHAR b) {
    code_table_header* ha = table_of_char(a);
    code_table_header* hb = table_of_char(b);
    if (!ha || !hb) er_panic("set_correspond");
    materialise(ha);
    materialise(hb);
    code_entry* ea = &ha->tbl[a & ~ha->mask];
    code_entry* eb = &hb->tbl[b & ~hb->mask];
    if (col_code_entry(ea, eb)) {
        colision[0] = a;
        colision[1] = b;
        return -1;
    }
    marge_code_entry(ea, eb);
    return 0;
}

// The Shift_JIS byte pair of a JIS X 0208 row/cell code, as a 16-bit value.
L_CHAR sjis_pair(unsigned jis) {
    unsigned row = jis >> 8, cell = jis & 0xFF;
    unsigned lead = (row + 1) / 2 + (row <= 0x5E ? 0x70 : 0xB0);
    unsigned trail = (row & 1) ? cell + (cell >= 0x60 ? 0x20 : 0x1F) : cell + 0x7E;
    return static_cast<L_CHAR>((lead << 8) | trail);
}

void build_tables() {
    const L_CHAR sets16[] = {LCZ_JISX0208,      LCZ_JISX0208_A, LCZ_JISX0208_B,
                             LCZ_JISX0212,      LCZ_UCS_PLANE,  LCZ_COMBINED,
                             LCZ_JISX0208_HIGH, 0xC0210000,     LCZ_SJIS_VALUE};
    for (L_CHAR s : sets16)
        new_header(s);
    // The one-byte sets; the last made heads the list.
    new_header(LCZ_HANKAKU);
    const L_CHAR ranges8[][2] = {{0x21, 0x32}, {0x36, 0x39}, {0x3C, 0x3E}, {0x40, 0x43},
                                 {0x46, 0x46}, {0x48, 0x48}, {0x4A, 0x4E}};
    for (const auto& r : ranges8)
        for (L_CHAR b = r[0]; b <= r[1]; b++)
            if (b != 0x2C) new_header(0xE0000000u | (b << 8));

    // A join puts the second entry right after the first, so the basic plane, joined last,
    // follows the JIS X 0208 entry: reading Japanese text out as Unicode takes one step of the
    // ring.
    for (int i = 0; i < jisx0208_ucs_len; i++) {
        const L_CHAR j = jisx0208_ucs[i].code;
        correspond(LCZ_JISX0208 | j, LCZ_SJIS_VALUE | sjis_pair(j));
        correspond(LCZ_JISX0208 | j, LCZ_JISX0208_HIGH | j | 0x8080);
        correspond(LCZ_JISX0208 | j, LCZ_JISX0208_B | j);
        correspond(LCZ_JISX0208 | j, LCZ_JISX0208_A | j);
        correspond(LCZ_JISX0208 | j, LCZ_UCS_PLANE | jisx0208_ucs[i].ucs);
    }
    for (int i = 0; i < jisx0212_ucs_len; i++)
        correspond(LCZ_JISX0212 | jisx0212_ucs[i].code, LCZ_UCS_PLANE | jisx0212_ucs[i].ucs);
    for (int i = 0; i < hankaku_ucs_len; i++) {
        const L_CHAR b = hankaku_ucs[i].code;
        correspond(LCZ_HANKAKU | b, LCZ_SJIS_VALUE | b);
        correspond(LCZ_HANKAKU | b, LCZ_UCS_PLANE | hankaku_ucs[i].ucs);
    }
    // One-byte Shift_JIS values below 0x80 are ASCII, as the Shift_JIS reader takes them.
    for (L_CHAR b = 1; b < 0x80; b++)
        correspond(LCZ_SJIS_VALUE | b, LCZ_UCS_PLANE | b);
}

void ensure_tables() {
    std::call_once(tables_built, build_tables);
}

bool has_table(L_CHAR set) {
    return table_of_set(set) != nullptr;
}

// The first of the sets that has a table, else LC_NONE.
L_CHAR first_with_table(std::initializer_list<L_CHAR> sets) {
    for (L_CHAR s : sets)
        if (has_table(s)) return s;
    return LC_NONE;
}

bool in_range(L_CHAR s, L_CHAR lo, L_CHAR hi) {
    return s >= lo && s <= hi;
}

// The set whose table serves conversions to the target set t.
L_CHAR resolve_target(L_CHAR t) {
    if (t == 0 || in_range(t, 0xC00E0000, 0xC0110000) || t == LCZ_UCS_B)
        return first_with_table({LCZ_UCS_B, LCZ_UCS_A, LCZ_UCS_PLANE});
    if (in_range(t, 0xC00A0000, 0xC00D0000) || t == LCZ_UCS_A)
        return first_with_table({LCZ_UCS_A, LCZ_UCS_PLANE});
    if (in_range(t, 0xC0060000, 0xC0090000) || t == LCZ_UCS_PLANE)
        return first_with_table({LCZ_UCS_PLANE});
    if (t == LCZ_COMBINED) return has_table(LCZ_COMBINED) ? LCZ_UCS_PLANE : LC_NONE;
    if (t == LCZ_COMBINED_B && has_table(LCZ_COMBINED_B)) return LCZ_UCS_B;
    if (t == LCZ_COMBINED_A || t == LCZ_COMBINED_B) {
        if (has_table(LCZ_COMBINED_A)) return LCZ_UCS_A;
        return has_table(LCZ_COMBINED) ? LCZ_UCS_PLANE : LC_NONE;
    }
    return t;
}

// The table that holds the character from (of set s), or null.
code_table_header* resolve_source(L_CHAR from, L_CHAR s) {
    L_CHAR set;
    if (s == 0 || in_range(s, 0xC00E0000, 0xC0110000) || s == LCZ_UCS_B) {
        // The tables hold 16-bit codes: a scalar value beyond the basic plane has no entry.
        if (s == 0 && from > 0xFFFF) return nullptr;
        set = first_with_table({LCZ_UCS_B, LCZ_UCS_A, LCZ_UCS_PLANE});
    } else if (in_range(s, 0xC00A0000, 0xC00D0000) || s == LCZ_UCS_A) {
        set = first_with_table({LCZ_UCS_A, LCZ_UCS_PLANE});
    } else if (in_range(s, 0xC0060000, 0xC0090000) || s == LCZ_UCS_PLANE) {
        set = first_with_table({LCZ_UCS_PLANE});
    } else if (s == LCZ_COMBINED_B && has_table(LCZ_COMBINED_B)) {
        set = s;
    } else if (s == LCZ_COMBINED_A || s == LCZ_COMBINED_B) {
        set = first_with_table({LCZ_COMBINED_A, LCZ_COMBINED});
    } else {
        set = s;
    }
    return set == LC_NONE ? nullptr : table_of_set(set);
}

const cn_pair* find_node(L_CHAR c) {
    const cn_pair* end = node_to_leaf + node_count;
    const cn_pair* p = std::lower_bound(node_to_leaf, end, c,
                                        [](const cn_pair& e, L_CHAR v) { return e.node < v; });
    return p != end && p->node == c ? p : nullptr;
}

// The sequence a combined character stands for, or null for any other character.
const L_CHAR* leaf_of(L_CHAR c) {
    const L_CHAR s = set_of(c);
    for (const cn_lcz& row : cn_lcz_sort) {
        if (row.cn != s) continue;
        const cn_pair* p = find_node(c);
        return p ? p->leaf : nullptr;
    }
    return nullptr;
}

int leaf_len(const L_CHAR* leaf) {
    int n = 0;
    while (leaf[n])
        n++;
    return n;
}

L_CHAR* new_lstr(int n) {
    return static_cast<L_CHAR*>(
        d_alloc((static_cast<int64_t>(n) + 1) * static_cast<int64_t>(sizeof(L_CHAR))));
}

// The number of characters of str before its first 0, at most length.
int bounded_len(const L_CHAR* str, int length) {
    int n = 0;
    if (!str) return 0;
    while (n < length && str[n])
        n++;
    return n;
}

}  // namespace

code_table_header* get_code_table_by_char(L_CHAR a) {
    ensure_tables();
    return table_of_char(a);
}

code_table_header* get_code_table_by_lcz(L_CHAR lcz) {
    ensure_tables();
    const L_CHAR mask = get_lc_mask(lcz);
    // A table has one entry per code: sets of more than 16-bit codes get none.
    if (mask < 0xFFFF0000u) return nullptr;
    lcz &= mask;
    code_table_header* h = table_of_set(lcz);
    if (!h) h = new_header(lcz);
    materialise(h);
    return h;
}

int set_correspond(L_CHAR a, L_CHAR b) {
    ensure_tables();
    return correspond(a, b);
}

int cmp_l_code(L_CHAR a, L_CHAR b) {
    ensure_tables();
    const code_table_header* ha = table_of_char(a);
    if (!ha || !table_of_char(b)) return -1;
    code_entry scratch;
    const code_entry* start = entry_of(ha, a, &scratch);
    const code_entry* e = start;
    do {
        if (e->code == b) return 0;
        e = e->next;
    } while (e != start);
    return -1;
}

L_CHAR* get_all_l_char(int* sizep, L_CHAR a) {
    ensure_tables();
    *sizep = 0;
    const code_table_header* h = table_of_char(a);
    if (!h) return nullptr;
    code_entry scratch;
    const code_entry* start = entry_of(h, a, &scratch);
    int n = 0;
    const code_entry* e = start;
    do {
        n++;
        e = e->next;
    } while (e != start);
    auto* r = static_cast<L_CHAR*>(
        d_alloc(static_cast<int64_t>(n) * static_cast<int64_t>(sizeof(L_CHAR))));
    e = start;
    for (int i = 0; i < n; i++, e = e->next)
        r[i] = e->code;
    *sizep = n;
    return r;
}

L_CHAR code_convert(L_CHAR from, L_CHAR lcz_to) {
    const L_CHAR from_mask = get_lc_mask(from);
    if ((from & from_mask) == (lcz_to & from_mask)) return from;
    ensure_tables();
    const L_CHAR target = lcz_to & get_lc_mask(lcz_to);
    const L_CHAR resolved = resolve_target(target);
    if (resolved == LC_NONE) return LC_NONE;
    const code_table_header* h = resolve_source(from, from & from_mask);
    if (!h) return LC_NONE;
    const L_CHAR rmask = get_lc_mask(resolved);
    code_entry scratch;
    const code_entry* start = entry_of(h, from, &scratch);
    const code_entry* e = start;
    do {
        if ((e->code & rmask) == resolved) {
            if (resolved == target) return e->code;
            return (e->code & ~rmask) | target;
        }
        e = e->next;
    } while (e != start);
    return LC_NONE;
}

L_CHAR code_convert_set(L_CHAR from, const LCZ_SET* set1, const LCZ_SET* set2) {
    if (!set1 && !set2) return from;
    for (const LCZ_SET* list : {set1, set2}) {
        for (const LCZ_SET* e = list; e && e->lcz != LC_NONE; e++) {
            L_CHAR r = code_convert(from, e->lcz);
            if (r != LC_NONE && lcz_member(e, r)) return r;
        }
    }
    return LC_NONE;
}

L_CHAR* combine(const L_CHAR* str, int len) {
    const int n = bounded_len(str, len);
    L_CHAR* r = new_lstr(n);
    std::copy(str, str + n, r);
    r[n] = 0;
    return r;
}

L_CHAR* uncombine(const L_CHAR* str, int length) {
    const int n = bounded_len(str, length);
    int out = 0;
    for (int i = 0; i < n; i++) {
        const L_CHAR* leaf = leaf_of(str[i]);
        out += leaf ? leaf_len(leaf) : 1;
    }
    L_CHAR* r = new_lstr(out);
    L_CHAR* w = r;
    for (int i = 0; i < n; i++) {
        const L_CHAR* leaf = leaf_of(str[i]);
        if (!leaf) {
            *w++ = str[i];
            continue;
        }
        for (; *leaf; leaf++)
            *w++ = *leaf;
    }
    *w = 0;
    return r;
}

L_CHAR* code_convert_with_combine(const L_CHAR* str_input, int length, const LCZ_SET* set,
                                  int flags) {
    // The combined sets of the targets, tried after the targets themselves.
    std::vector<LCZ_SET> second;
    for (const LCZ_SET* e = set; e && e->lcz != LC_NONE; e++) {
        const L_CHAR s = set_of(e->lcz);
        for (const cn_lcz& row : cn_lcz_sort)
            if (row.cn == s) second.push_back({row.cn, get_lc_mask(row.cn)});
    }
    second.push_back({LC_NONE, 0});

    L_CHAR* combined = nullptr;
    const L_CHAR* src = str_input;
    int n = bounded_len(str_input, length);
    if (!(flags & CC_NO_COMBINE)) {
        combined = combine(str_input, n);
        src = combined;
        n = bounded_len(combined, n);
    }
    L_CHAR* r = new_lstr(n);
    for (int i = 0; i < n; i++) {
        L_CHAR c = code_convert_set(src[i], set, second.data());
        if (c == LC_NONE) {
            if (flags & CC_KEEP)
                c = src[i];
            else if (flags & CC_QUESTION)
                c = '?';
        }
        r[i] = c;
    }
    r[n] = 0;
    d_f_ree(combined);
    if (flags & CC_NO_UNCOMBINE) return r;
    L_CHAR* u = uncombine(r, n);
    d_f_ree(r);
    return u;
}

L_CHAR* cc_string(const L_CHAR* str, const LCZ_SET* set, int flags) {
    if (!str) return nullptr;
    L_CHAR* r = code_convert_with_combine(str, l_strlen(str), set, flags);
    set_buffer(r);
    return r;
}

LCF_SET* uncombine_lcf(const LCF_SET* set, int length) {
    int n = 0;
    while (set && n < length && set[n].ch)
        n++;
    int out = 0;
    for (int i = 0; i < n; i++) {
        const L_CHAR* leaf = leaf_of(set[i].ch);
        out += leaf ? leaf_len(leaf) : 1;
    }
    auto* r = static_cast<LCF_SET*>(
        d_alloc((static_cast<int64_t>(out) + 1) * static_cast<int64_t>(sizeof(LCF_SET))));
    LCF_SET* w = r;
    for (int i = 0; i < n; i++) {
        const L_CHAR* leaf = leaf_of(set[i].ch);
        if (!leaf) {
            *w++ = set[i];
            continue;
        }
        for (; *leaf; leaf++)
            *w++ = {*leaf, set[i].font, set[i].size};
    }
    *w = {0, nullptr, 0};
    return r;
}

L_CHAR* copy_out_lcf_set(const LCF_SET* s, int len, int flags) {
    const int n = std::max(len, 0);
    L_CHAR* chars = new_lstr(n);
    for (int i = 0; i < n; i++)
        chars[i] = s[i].ch;
    chars[n] = 0;
    L_CHAR* r;
    switch (flags & 17) {
        case 1:
            r = uncombine(chars, n);
            break;
        case 16:
            r = combine(chars, n);
            break;
        default:
            return chars;
    }
    d_f_ree(chars);
    return r;
}
