// Long characters: the code-method registry, byte-string conversion, literal interning and the
// small long-character string functions.
#include "longchar/longchar.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "base/confpath.h"
#include "base/task.h"
#include "longchar/codemethod.h"

CODE_METHOD* std_cm = nullptr;
CODE_METHOD* file_cm = nullptr;

// The registry: methods in registration order, then the abbreviations. Filled on the main thread
// before other tasks exist; read without a lock afterwards.
static CODE_METHOD* cm_head = nullptr;
static CODE_METHOD* cm_tail = nullptr;

// Abbreviations live in a fixed pool: registration happens at start-up only, so a small pool is
// plenty, and start-up needs no allocator for it.
constexpr int ABB_POOL_SIZE = 16;
static code_abb abb_pool[ABB_POOL_SIZE];
static int abb_used = 0;
static code_abb* abb_head = nullptr;
static code_abb* abb_tail = nullptr;

// Interned literals: chains published by one atomic store of the bucket head.
static std::atomic<lstr_node*> lstr_hash_table[LSTR_HASH_SIZE];

static bool longchar_ready = false;

int insert_code_list(CODE_METHOD* cm) {
    if (!cm || !cm->name) return -1;
    for (CODE_METHOD* p = cm_head; p; p = p->next) {
        // A second registration would link the record to itself.
        if (p == cm || strcmp(p->name, cm->name) == 0) return -1;
    }
    cm->next = nullptr;
    if (cm_tail)
        cm_tail->next = cm;
    else
        cm_head = cm;
    cm_tail = cm;
    return 0;
}

int insert_code_abb(const char* name, L_CHAR lccode, CODE_METHOD* cm) {
    if (!name || !cm || strlen(name) >= sizeof(abb_pool[0].name)) return -1;
    if (abb_used >= ABB_POOL_SIZE) return -1;
    for (code_abb* a = abb_head; a; a = a->next) {
        if (strcmp(a->name, name) == 0) return -1;
    }
    code_abb* a = &abb_pool[abb_used++];
    a->next = nullptr;
    strcpy(a->name, name);
    a->cm = cm;
    a->lccode = lccode;
    if (abb_tail)
        abb_tail->next = a;
    else
        abb_head = a;
    abb_tail = a;
    return 0;
}

void init_longchar() {
    if (longchar_ready) return;
    CODE_METHOD* methods[] = {&ascii_cm, &sjis_cm,  &jis_cm,  &euc_cm,    &int_cm,
                              &utf8_cm,  &utf16_cm, &ucs4_cm, &extucs4_cm};
    for (CODE_METHOD* cm : methods)
        insert_code_list(cm);
    insert_code_abb("SHIFT-JIS", 0xDFFF0309, &sjis_cm);
    std_cm = get_default_cm();
    file_cm = std_cm;
    longchar_ready = true;
}

static char upper_ascii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Equal after turning 'a'-'z' into upper case on both sides.
static bool same_name_upper(const char* a, const char* b) {
    for (; *a && *b; a++, b++) {
        if (upper_ascii(*a) != upper_ascii(*b)) return false;
    }
    return *a == *b;
}

CODE_METHOD* search_cm(const char* name) {
    if (!name) return nullptr;
    for (CODE_METHOD* cm = cm_head; cm; cm = cm->next) {
        // Both sides upper-cased, so the mixed-case "Internal" can be named too.
        if (same_name_upper(name, cm->name)) return cm;
    }
    for (code_abb* a = abb_head; a; a = a->next) {
        if (same_name_upper(name, a->name)) return a->cm;
    }
    return nullptr;
}

CODE_METHOD* search_cm_by_lccode(L_CHAR lccode) {
    for (CODE_METHOD* cm = cm_head; cm; cm = cm->next) {
        if (cm->lccode == lccode) return cm;
    }
    for (code_abb* a = abb_head; a; a = a->next) {
        if (a->lccode == lccode) return a->cm;
    }
    return nullptr;
}

L_CHAR search_lccode(const char* name) {
    if (!name) return LC_NONE;
    for (CODE_METHOD* cm = cm_head; cm; cm = cm->next) {
        if (strcmp(cm->name, name) == 0) return cm->lccode;
    }
    for (code_abb* a = abb_head; a; a = a->next) {
        if (strcmp(a->name, name) == 0) return a->lccode;
    }
    return LC_NONE;
}

bool lcz_member(const LCZ_SET* e, L_CHAR c) {
    L_CHAR m = e->mask | get_lc_mask(c);
    return (c & m) == (e->lcz & m);
}

bool cm_main_covers(const CODE_METHOD* cm, L_CHAR code) {
    if (!cm || !cm->main_code) return false;
    for (const LCZ_SET* e = cm->main_code; e->lcz != LC_NONE; e++) {
        if (e->lcz == code || lcz_member(e, code)) return true;
    }
    return false;
}

CODE_METHOD* search_cm_by_main_code(L_CHAR code) {
    for (CODE_METHOD* cm = cm_head; cm; cm = cm->next) {
        if (cm_main_covers(cm, code)) return cm;
    }
    return nullptr;
}

// True when the long-character text equals the ASCII name after upper-casing 'a'-'z'.
static bool lname_is(const L_CHAR* s, const char* name) {
    for (; *s && *name; s++, name++) {
        L_CHAR c = *s;
        if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
        if (c != static_cast<unsigned char>(*name)) return false;
    }
    return *s == 0 && *name == 0;
}

CODE_METHOD* get_encoding(const L_CHAR* _code) {
    if (!_code) return nullptr;
    if (lname_is(_code, "SHIFT_JIS") || lname_is(_code, "SHIFT-JIS")) return &sjis_cm;
    if (lname_is(_code, "EUC") || lname_is(_code, "EUC-JP")) return &euc_cm;
    if (lname_is(_code, "JIS")) return &jis_cm;
    if (lname_is(_code, "UTF-8")) return &utf8_cm;
    return nullptr;
}

// Converts a zero-terminated byte string into a new tracked buffer of long characters, shrunk to
// its length; *n receives the character count.
static L_CHAR* convert_bytes(CODE_METHOD* cm, const char* str, size_t* n) {
    size_t len = strlen(str);
    // Every byte completes at most one character.
    L_CHAR* buf = static_cast<L_CHAR*>(d_alloc((len + 2) * sizeof(L_CHAR)));
    size_t k = 0;
    void* work = cm->open();
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(str); *p; p++) {
        L_CHAR c;
        if (cm->to_internal(&c, work, *p)) buf[k++] = c;
    }
    cm->close(nullptr, work);
    buf[k] = 0;
    if (k < len) {
        void* small = d_re_alloc(buf, (k + 1) * sizeof(L_CHAR));
        if (small) buf = static_cast<L_CHAR*>(small);
    }
    *n = k;
    return buf;
}

L_CHAR* _l_string_1(CODE_METHOD* cm, const char* str) {
    if (!str || !cm) return nullptr;
    size_t n;
    L_CHAR* buf = convert_bytes(cm, str, &n);
    set_buffer(buf);
    return buf;
}

L_CHAR* _l_string_2(CODE_METHOD* cm, const char* str) {
    if (!str || !cm) return nullptr;
    uintptr_t key = (reinterpret_cast<uintptr_t>(cm) + reinterpret_cast<uintptr_t>(str)) %
                    static_cast<uintptr_t>(LSTR_HASH_SIZE);
    std::atomic<lstr_node*>& bucket = lstr_hash_table[key];
    lstr_node* head = bucket.load(std::memory_order_acquire);
    for (lstr_node* n = head; n; n = n->next) {
        if (n->str == str && n->cm == cm) return n->ret;
    }
    size_t len;
    lstr_node* node = static_cast<lstr_node*>(d_alloc(sizeof(lstr_node)));
    node->cm = cm;
    node->str = str;
    node->ret = convert_bytes(cm, str, &len);
    // Publish with one store; when another task got in first, look at what it added so that
    // both callers share one string.
    lstr_node* seen = head;
    for (;;) {
        node->next = head;
        if (bucket.compare_exchange_weak(head, node, std::memory_order_acq_rel,
                                         std::memory_order_acquire))
            return node->ret;
        for (lstr_node* n = head; n && n != seen; n = n->next) {
            if (n->str == str && n->cm == cm) {
                d_f_ree(node->ret);
                d_f_ree(node);
                return n->ret;
            }
        }
        seen = head;
    }
}

// A growing output buffer for n_string.
struct NBuf {
    char* p;
    size_t cap;
    size_t used;
};

// Makes room for n more bytes and the terminator.
static void nbuf_reserve(NBuf* b, size_t n) {
    if (b->cap - b->used >= n + 1) return;
    size_t want = b->used + n + 1;
    if (want < b->cap * 2) want = b->cap * 2;
    void* q = d_re_alloc(b->p, static_cast<int64_t>(want));
    if (!q) {
        // The allocator refused a resize: move by hand.
        q = d_alloc(static_cast<int64_t>(want));
        memcpy(q, b->p, b->used);
        d_f_ree(b->p);
    }
    b->p = static_cast<char*>(q);
    b->cap = want;
}

char* n_string(CODE_METHOD* cm, const L_CHAR* str) {
    if (!cm || !str) return nullptr;
    size_t len = static_cast<size_t>(l_strlen(str));
    size_t step = static_cast<size_t>(cm->max_ret > cm->close_max ? cm->max_ret : cm->close_max);
    NBuf b{nullptr, 6 * len + 1, 0};
    if (b.cap < step + 1) b.cap = step + 1;
    b.p = static_cast<char*>(d_alloc(static_cast<int64_t>(b.cap)));
    void* work = cm->open();
    for (const L_CHAR* s = str; *s; s++) {
        nbuf_reserve(&b, step);
        int k = cm->to_external(reinterpret_cast<unsigned char*>(b.p + b.used), work, *s);
        if (k > 0) {
            b.used += static_cast<size_t>(k);
            continue;
        }
        // End any shift state, then name the character in text with a fresh work state. The
        // text goes through the method too, so that the output stays in one encoding.
        b.used +=
            static_cast<size_t>(cm->close(reinterpret_cast<unsigned char*>(b.p + b.used), work));
        work = cm->open();
        char esc[16];
        snprintf(esc, sizeof esc, "&Cx%x;", static_cast<unsigned>(*s));
        for (const char* e = esc; *e; e++) {
            nbuf_reserve(&b, step);
            int m = cm->to_external(reinterpret_cast<unsigned char*>(b.p + b.used), work,
                                    static_cast<unsigned char>(*e));
            if (m > 0)
                b.used += static_cast<size_t>(m);
            else
                b.p[b.used++] = *e;
        }
    }
    nbuf_reserve(&b, step);
    b.used += static_cast<size_t>(cm->close(reinterpret_cast<unsigned char*>(b.p + b.used), work));
    b.p[b.used] = 0;
    if (b.used + 1 < b.cap) {
        void* q = d_re_alloc(b.p, static_cast<int64_t>(b.used + 1));
        if (q) b.p = static_cast<char*>(q);
    }
    set_buffer(b.p);
    return b.p;
}

int l_strlen(const L_CHAR* str) {
    int n = 0;
    while (str[n])
        n++;
    return n;
}

L_CHAR* l_strcpy(L_CHAR* d, const L_CHAR* s) {
    L_CHAR* r = d;
    while ((*d++ = *s++) != 0) {
    }
    return r;
}

int l_strcmp(const L_CHAR* str1, const L_CHAR* str2) {
    for (;; str1++, str2++) {
        int32_t a = static_cast<int32_t>(*str1);
        int32_t b = static_cast<int32_t>(*str2);
        if (*str1 == *str2) {
            if (*str1 == 0) return 0;
            continue;
        }
        // A string that ends first is the smaller one, whatever the other's sign.
        if (*str1 == 0) return -1;
        if (*str2 == 0) return 1;
        return a < b ? -1 : 1;
    }
}

L_CHAR get_lc_mask(L_CHAR code) {
    if (code < 0x80000000u) return 0x80000000u;
    if (code < 0xC0000000u) return 0xFF000000u;
    if (code < 0xE0000000u) return 0xFFFF0000u;
    if (code < 0xF0000000u) return 0xFFFFFF00u;
    return 0xFFFFFF80u;
}

// JIS X 0208 codes of the half-width katakana 0xA0-0xDF: each gives the full-width character of
// the same sound; the sound marks stay separate characters.
static const uint16_t hankaku_table[64] = {
    0x2121, 0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521,  // A0-A7
    0x2523, 0x2525, 0x2527, 0x2529, 0x2563, 0x2565, 0x2567, 0x2543,  // A8-AF
    0x213C, 0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B, 0x252D,  // B0-B7
    0x252F, 0x2531, 0x2533, 0x2535, 0x2537, 0x2539, 0x253B, 0x253D,  // B8-BF
    0x253F, 0x2541, 0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C,  // C0-C7
    0x254D, 0x254E, 0x254F, 0x2552, 0x2555, 0x2558, 0x255B, 0x255E,  // C8-CF
    0x255F, 0x2560, 0x2561, 0x2562, 0x2564, 0x2566, 0x2568, 0x2569,  // D0-D7
    0x256A, 0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C,  // D8-DF
};

L_CHAR hankaku2zenkaku(L_CHAR ch) {
    unsigned b = ch & 0xFF;
    if (b < 0xA0 || b > 0xDF) return '?';
    return LCZ_JISX0208 | hankaku_table[b - 0xA0];
}
