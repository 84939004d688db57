// Matrix nodes: dimension codes, the per-matrix node hash that grows with its nodes, the ring of
// loaded nodes with its purge, the central look-up, dirty and save marks, and the counted channel
// lock.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/panic.h"
#include "base/task.h"
#include "lisp/list.h"
#include "matrix/mxstore.h"
#include "stream/sprintf.h"

namespace {

// The ring of loaded nodes of every open matrix, the most recently inserted first; its root is
// a record of its own that holds no node.
MATRIX_NODE nd_ring_root{};
MATRIX_NODE* nd_root() {
    return &nd_ring_root;
}
uint32_t last_purge = 0;
bool purge_started = false;
// The stamp clock of node accesses, and whether a lock-free look-up stamped a node since the
// ring was last put in stamp order. Concurrent look-ups may draw equal stamps: accesses at the
// same moment have no order of their own.
uint64_t touch_clock = 0;
std::atomic<bool> ring_stale{false};

[[gnu::always_inline]] inline uint64_t next_touch() {
    uint64_t v = mx_ld(touch_clock) + 1;
    mx_st(touch_clock, v);
    return v;
}

// The stripe locks of a matrix's node hash: spin locks, held for a few instructions by a reader
// or by a writer that also holds matrix_lock.
[[gnu::noinline]] void stripe_wait(uint32_t& w) {
    // The lock is taken: spins until it is free, then takes it.
    std::atomic_ref<uint32_t> a(w);
    int spins = 0;
    do {
        while (a.load(std::memory_order_relaxed) != 0) {
            if (++spins < 200)
                __builtin_ia32_pause();
            else
                std::this_thread::yield();
        }
    } while (a.exchange(1, std::memory_order_acquire) != 0);
}

[[gnu::always_inline]] inline void stripe_lock(uint32_t& w) {
    if (std::atomic_ref<uint32_t>(w).exchange(1, std::memory_order_acquire) != 0) stripe_wait(w);
}

[[gnu::always_inline]] inline void stripe_unlock(uint32_t& w) {
    std::atomic_ref<uint32_t>(w).store(0, std::memory_order_release);
}

// The stripe lock of a bucket of the starting hash (a node's hash_ix).
class StripeGuard {
  public:
    StripeGuard(MATRIX* m, unsigned bucket)
        : w_(m->hash_lock[bucket % MX_HASH_LOCKS * MX_HASH_LOCK_STRIDE]) {
        stripe_lock(w_);
    }
    ~StripeGuard() { stripe_unlock(w_); }
    StripeGuard(const StripeGuard&) = delete;
    StripeGuard& operator=(const StripeGuard&) = delete;

  private:
    uint32_t& w_;
};

// Every stripe lock of a matrix, taken in order: only the growth of the hash, under matrix_lock.
class AllStripes {
  public:
    explicit AllStripes(MATRIX* m) : m_(m) {
        for (int i = 0; i < MX_HASH_LOCKS; i++)
            stripe_lock(m_->hash_lock[i * MX_HASH_LOCK_STRIDE]);
    }
    ~AllStripes() {
        for (int i = MX_HASH_LOCKS; i-- > 0;)
            stripe_unlock(m_->hash_lock[i * MX_HASH_LOCK_STRIDE]);
    }
    AllStripes(const AllStripes&) = delete;
    AllStripes& operator=(const AllStripes&) = delete;

  private:
    MATRIX* m_;
};

bool ring_empty() {
    return nd_root()->h.next == nullptr || nd_root()->h.next == nd_root();
}

void ring_init() {
    if (!nd_root()->h.next) nd_root()->h.next = nd_root()->h.prev = nd_root();
}

// A block made by a look-up before it took matrix_lock, for the node it may have to make, and
// the `extra` it was made with (see get_matrix_node_locked); node blocks the calling thread took.
thread_local MATRIX_NODE* early_block = nullptr;
thread_local size_t early_extra = 0;
thread_local unsigned blocks_taken = 0;

// A node's block, zeroed, with `extra` bytes after the record: allocated with room to start the
// record on a cache line.
MATRIX_NODE* new_node_block(size_t extra) {
    blocks_taken++;
    if (early_block && early_extra == extra) {
        MATRIX_NODE* n = early_block;
        early_block = nullptr;
        return n;
    }
    constexpr size_t slack = alignof(MATRIX_NODE) - alignof(std::max_align_t);
    char* b =
        static_cast<char*>(d_calloc(1, static_cast<int64_t>(sizeof(MATRIX_NODE) + extra + slack)));
    size_t pad = -reinterpret_cast<uintptr_t>(b) & (alignof(MATRIX_NODE) - 1);
    if (pad > slack) er_panic("new_node_block");
    auto* n = reinterpret_cast<MATRIX_NODE*>(b + pad);
    n->block_pad = static_cast<int>(pad);
    return n;
}

// The bytes a node of m has after its record: its channels, its code and its child bit field.
size_t node_extra(const MATRIX* m) {
    size_t ch_bytes = m->p.channel_nos > 0 ? sizeof(MATRIX_CHANNEL) * m->p.channel_nos : 0;
    size_t bf_bytes = m->dim_bit_field > 0 ? m->dim_bit_field : 0;
    return ch_bytes + sizeof(int64_t) * (m->p.dim + 1) + bf_bytes;
}

void free_node_block(MATRIX_NODE* n) {
    d_f_ree(reinterpret_cast<char*>(n) - n->block_pad);
}

void ring_unlink(MATRIX_NODE* n) {
    n->h.prev->h.next = n->h.next;
    n->h.next->h.prev = n->h.prev;
    n->h.next = n->h.prev = nullptr;
    mx_st(nd_cnt, nd_cnt - 1);
    mx_st(nd_bytes, nd_bytes - n->ring_bytes);
    n->ring_bytes = 0;
}

// Puts the ring back in descending stamp order after lock-free look-ups stamped nodes (stable:
// nodes of equal stamps keep their places).
void ring_settle() {
    if (!ring_stale.exchange(false) || ring_empty()) return;
    std::vector<std::pair<uint64_t, MATRIX_NODE*>> v;
    v.reserve(nd_cnt);
    for (MATRIX_NODE* n = nd_root()->h.next; n != nd_root(); n = n->h.next)
        v.emplace_back(mx_ld(n->touch_seq), n);
    std::stable_sort(v.begin(), v.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    MATRIX_NODE* prev = nd_root();
    for (auto& e : v) {
        prev->h.next = e.second;
        e.second->h.prev = prev;
        e.second->ring_seq = e.first;
        prev = e.second;
    }
    prev->h.next = nd_root();
    nd_root()->h.prev = prev;
}

// The extent shift of a level along dimension d, in level-0 cells.
int node_shift(MATRIX* m, int64_t level, int d) {
    // Levels past 64 give the same (saturated) shift; clamping first keeps a
    // hostile level number from overflowing the product.
    if (level < 0) level = 0;
    if (level > 64) level = 64;
    int64_t s = level * m->dim_divide[d] + m->block_size[d];
    return s > 64 ? 64 : static_cast<int>(s);
}

int64_t round_down(int64_t x, int shift) {
    return x & ~mx_axis_shift_mask(shift);
}

void check_status(MATRIX_NODE* n, const char* who) {
    if (n->status < 0 || n->status > MS_EDIT_ERR_2) er_panic(who);
}

// Starts fetching a new node: status 1 and the fetch slot of its level on its token.
void _get_matrix_access(MATRIX_NODE* n) {
    if (n->status != MS_NEW) return;
    mx_set_status(n, MS_BUSY);
    mx_wake(n);
    MATRIX_TOKEN* t = n->process_token;
    bool made = false;
    if (!t) {
        t = _new_matrix_token(n);
        made = true;
    }
    _xx_insert_access_list(t, mx_slot_for_level(n->matrix, MI_FETCH_1_TP, n->dim_code[0]));
    if (made) _xx_insert_matrix_access(t, matrix_exec_cal, __FILE__, __LINE__);
}

// Asks the save group of a dirty, ready node.
void ask_save(MATRIX_NODE* n) {
    _matrix_trigger_access(n, MI_SAVE_TP, 0);
}

// The bytes of channel vectors a node of a file matrix holds once all of them are made: one
// element per cell of its block for every vector channel. Nodes of other matrices count nothing,
// since freeing them would lose what only memory holds.
int64_t node_bytes(MATRIX* m) {
    if (!m->filename || !m->channel_info || !m->block_size) return 0;
    // The sum saturates: the bounds keep a block within 2^24 cells, and a count that grew past
    // them anyway must not wrap to a small or negative size.
    int bits = 0;
    for (int d = 0; d < m->p.dim && bits < 40; d++)
        bits += m->block_size[d];
    const int64_t cells = int64_t{1} << (bits < 40 ? bits : 40);
    constexpr int64_t kMax = INT64_MAX / 2;
    int64_t bytes = 0;
    for (int ch = 0; ch < m->p.channel_nos && bytes < kMax; ch++) {
        MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
        if (!tp || !(tp->type & MXT_VECTOR) || !tp->parent || !tp->parent->get_size) continue;
        int64_t el = tp->parent->get_size(tp->parent, nullptr);
        if (el <= 0) continue;
        bytes = el > (kMax - bytes) / cells ? kMax : bytes + cells * el;
    }
    return bytes;
}

// Moves a node to the front of the ring without counting it again, its place taking its stamp.
// The ring is then no longer in stamp order, which the next full walk in order puts right.
void ring_to_front(MATRIX_NODE* n) {
    MATRIX_NODE* root = nd_root();
    n->h.prev->h.next = n->h.next;
    n->h.next->h.prev = n->h.prev;
    n->h.next = root->h.next;
    n->h.prev = root;
    root->h.next->h.prev = n;
    root->h.next = n;
    n->ring_seq = mx_ld(n->touch_seq);
    ring_stale.store(true);
}

// Brings the loaded nodes back within the budget, oldest first: a ready dirty node is asked to
// save (it is freed by a later pass once saved), a ready clean one is freed. Nodes that are held,
// busy or being saved stay. The ring is not sorted first (that would cost the whole ring on every
// call): a node the lock-free reader used since it took its place goes to the front instead, a
// second chance, and is not walked again in this pass. The walk stops once what it frees and
// what it asked to save covers the excess, so a pass costs about what it releases.
void budget_purge() {
    MATRIX_NODE* root = nd_root();
    if (ring_empty()) return;
    MATRIX_NODE* last = root->h.next;
    int64_t pending = 0;
    for (MATRIX_NODE* n = root->h.prev; n != root && nd_bytes - pending > mx_node_budget;) {
        MATRIX_NODE* prev = n->h.prev;
        bool end = n == last;
        if (mx_ld(n->touch_seq) != n->ring_seq) {
            ring_to_front(n);
        } else if (n->ring_bytes > 0 && n->status == MS_OK && !mx_ld(n->locked)) {
            // A node someone holds is still being read or written: neither saved nor freed now.
            if (n->dirty_file_time) {
                if (!n->save_lock) ask_save(n);
                pending += n->ring_bytes;
            } else {
                _free_matrix_node(n);
            }
        }
        if (end) break;
        n = prev;
    }
}

void purge_walk(MATRIX_NODE* just) {
    ring_settle();
    uint32_t now = matrix_now();
    MATRIX_NODE* n = nd_root()->h.next;
    int kept = 0;
    while (n != nd_root() && kept < total_ncache_size) {
        MATRIX_NODE* next = n->h.next;
        if (n->status == MS_OK) {
            kept++;
            if (n->dirty_file_time && now - n->dirty_file_time > 30 && !n->save_lock) ask_save(n);
        }
        n = next;
    }
    ss_printf("insert purge matrix\n");
    while (n != nd_root()) {
        MATRIX_NODE* next = n->h.next;
        if (n != just && static_cast<int64_t>(now) - n->last_access > 119) {
            if (n->dirty_file_time && n->status == MS_OK) {
                if (!n->save_lock) ask_save(n);
            } else {
                _free_matrix_node(n);
            }
        }
        n = next;
    }
}

}  // namespace

int nd_cnt = 0;
int64_t nd_bytes = 0;
int64_t mx_node_budget = int64_t{96} << 20;

int mx_node_shift(MATRIX* m, int64_t level, int d) {
    return node_shift(m, level, d);
}

int total_ncache_size = 100;
std::atomic<int> mx_hold_watch{0};

void mx_set_status(MATRIX_NODE* n, int status) {
    mx_st(n->status, status, std::memory_order_release);
}

int64_t mx_axis_shift_mask(int shift) {
    if (shift <= 0) return 0;
    if (shift >= 63) return -1;
    return (int64_t{1} << shift) - 1;
}

int mx_slot_for_level(MATRIX* m, int access, int64_t level) {
    int group = access / 3 * 3;
    if (level >= m->total_levels - 1) return group;
    if (level <= 0) return group + 2;
    return group + 1;
}

// ---- Dimension codes ---------------------------------------------------------------------------

void normalize_dim_code(MATRIX* m, int64_t* dc) {
    if (!dc) return;
    for (int d = 0; d < m->p.dim; d++)
        dc[d + 1] = round_down(dc[d + 1], node_shift(m, dc[0], d));
}

int _cmp_dim_code(MATRIX* m, const int64_t* a, const int64_t* b) {
    if (!a) return b ? -1 : 0;
    if (!b) return 1;
    if (a[0] != b[0]) return a[0] < b[0] ? -1 : 1;
    for (int d = 0; d < m->p.dim; d++) {
        int sh = node_shift(m, a[0], d);
        int64_t x = round_down(a[d + 1], sh), y = round_down(b[d + 1], sh);
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

int cmp_dim_code(MATRIX* m, const int64_t* a, const int64_t* b) {
    return _cmp_dim_code(m, a, b);
}

int64_t* _copy_dim_code(MATRIX* m, const int64_t* dc) {
    if (!dc) return nullptr;
    auto* r = static_cast<int64_t*>(d_alloc(sizeof(int64_t) * (m->p.dim + 1)));
    memcpy(r, dc, sizeof(int64_t) * (m->p.dim + 1));
    return r;
}

int64_t* copy_dim_code(MATRIX* m, const int64_t* dc) {
    return _copy_dim_code(m, dc);
}

int64_t* get_dim_code_from_sexp(MATRIX* m, QV_SEXP* s) {
    int len = list_length(s);
    if (len < 2 || len != m->p.dim + 1) return nullptr;
    // A code names one node: an element that is no integer (a fraction, a text) names none,
    // rather than reading as 0 and answering the origin.
    for (QV_SEXP* p = s; get_type(p) == QVT_PAIR; p = p->pair.cdr)
        if (get_type(p->pair.car) != QVT_INTEGER) return nullptr;
    auto* r = static_cast<int64_t*>(d_alloc(sizeof(int64_t) * len));
    int i = 0;
    for (QV_SEXP* p = s; get_type(p) == QVT_PAIR; p = p->pair.cdr, i++)
        r[i] = p->pair.car->integer.data;
    return r;
}

int* get_dim_code_from_sexp_int(QV_SEXP* s) {
    int len = list_length(s);
    if (len < 2) return nullptr;
    auto* r = static_cast<int*>(d_alloc(sizeof(int) * len));
    int i = 0;
    for (QV_SEXP* p = s; get_type(p) == QVT_PAIR; p = p->pair.cdr, i++) {
        QV_SEXP* e = p->pair.car;
        r[i] = get_type(e) == QVT_INTEGER ? static_cast<int>(e->integer.data) : 0;
    }
    return r;
}

QV_SEXP* get_sexp_from_dim_code(MATRIX* m, const int64_t* dc) {
    QV_SEXP* r = nullptr;
    gc_push(nullptr, nullptr, "get_sexp_from_dim_code");
    for (int d = m->p.dim - 1; d >= 0; d--)
        r = cons(get_integer(round_down(dc[d + 1], node_shift(m, dc[0], d)), nullptr), r);
    r = cons(get_integer(dc[0], nullptr), r);
    gc_pop(r, gc_vx_sexp);
    return r;
}

const char* pt_dc(MATRIX* m, const int64_t* dc, int fmt) {
    if (fmt != 1 && fmt != 2) er_panic("pt_dc");
    std::string s;
    char buf[64];
    snprintf(buf, sizeof buf, "+max %i+[%lli ", m->total_levels, static_cast<long long>(dc[0]));
    s += buf;
    for (int d = 0; d < m->p.dim; d++) {
        int sh = fmt == 1 ? node_shift(m, dc[0], d)
                          : static_cast<int>(std::min<int64_t>(64, dc[0] * m->dim_divide[d]));
        snprintf(buf, sizeof buf, "%llx ",
                 static_cast<unsigned long long>(round_down(dc[d + 1], sh)));
        s += buf;
    }
    s += "]";
    char* r = d_strdup(s.c_str());
    set_buffer(r);
    return r;
}

// The bits of a coordinate's block index in a packed key, by the number of dimensions (a table,
// so that no look-up divides).
constexpr auto kKeyWidth = [] {
    std::array<uint8_t, MXT_MAX_DIM + 1> w{};
    for (int d = 0; d <= MXT_MAX_DIM; d++)
        w[d] = static_cast<uint8_t>(d > 0 ? 57 / d : 57);
    return w;
}();

// The key of a normalised code, built coordinate by coordinate from the level and each
// coordinate's block index at that level. When they all fit, they are packed into one word with
// bit 63 set, so that equal keys are equal codes; else the key is a mixed hash with bit 63 clear,
// and a match is confirmed by comparing the codes.
class CodeKey {
  public:
    CodeKey(int64_t level, int dim)
        : mixed_(static_cast<uint64_t>(level)),
          packed_(static_cast<uint64_t>(level)),
          width_(dim >= 0 && dim <= MXT_MAX_DIM ? kKeyWidth[dim]
                 : dim > 0                      ? 57 / dim
                                                : 57),
          exact_(level >= 0 && level < 64) {}
    void add(int64_t coord, int shift) {
        uint64_t block = shift >= 64 ? 0 : static_cast<uint64_t>(coord) >> shift;
        mixed_ = (mixed_ ^ block) * kMix;
        if (block >> width_) exact_ = false;
        if (exact_) packed_ |= block << used_;
        used_ += width_;
    }
    uint64_t key() const { return exact_ ? packed_ | kExact : mixed_ & ~kExact; }

  private:
    static constexpr uint64_t kMix = 0x9E3779B97F4A7C15ull;
    static constexpr uint64_t kExact = uint64_t{1} << 63;
    uint64_t mixed_, packed_;
    int width_, used_ = 6;
    bool exact_;
};

static bool key_is_exact(uint64_t key) {
    return key >> 63;
}

static uint64_t code_key(MATRIX* m, const int64_t* code) {
    CodeKey k(code[0], m->p.dim);
    for (int d = 0; d < m->p.dim; d++)
        k.add(code[d + 1], node_shift(m, code[0], d));
    return k.key();
}

// Where a key goes: the key mixed again, so that the blocks of a grid spread over the buckets (a
// plain sum of coordinates puts whole anti-diagonals of a grid into one bucket), and scaled to
// [0, MX_NODE_HASH) by a multiplication, no division. The high word of the product is the
// key's bucket in the starting hash; the bits below it refine that bucket, so the bucket in a
// hash doubled k times (MX_NODE_HASH << k buckets) is the product's top 64 + k bits, and it lies
// within the starting bucket that is its index shifted down by k.
static inline unsigned __int128 bucket_product(uint64_t key) {
    uint64_t mixed = key * 0x9E3779B97F4A7C15ull;
    return static_cast<unsigned __int128>(mixed) * MX_NODE_HASH;
}

// The bucket of a key in the starting hash: the node's stripe (hash_ix).
static inline unsigned bucket_of(uint64_t key) {
    return static_cast<unsigned>(bucket_product(key) >> 64);
}

// The bucket of a key's product in a hash doubled `shift` times.
static inline unsigned bucket_in(unsigned __int128 product, int shift) {
    return static_cast<unsigned>(product >> (64 - shift));
}

// The first node of a key's chain in m's node hash (matrix_lock or the key's stripe lock held).
static inline MATRIX_NODE* chain_at(MATRIX* m, unsigned __int128 product) {
    MATRIX_NODE** table = m->node_hash;
    return table ? table[bucket_in(product, m->node_hash_shift)] : nullptr;
}

// The head of a key's chain, for a change of the chain: the hash exists (a node is in it or
// about to be put in).
static inline MATRIX_NODE** head_at(MATRIX* m, unsigned __int128 product) {
    return &m->node_hash[bucket_in(product, m->node_hash_shift)];
}

// The most a hash doubles: 403 << 20 buckets (3 GiB of heads) is far beyond any node count the
// memory holds.
constexpr int kMaxHashShift = 20;

// Makes m's node hash (MX_NODE_HASH buckets), or doubles it, matrix_lock held. Every stripe is
// held while the chains are relinked and the table is replaced, so that no lock-free reader
// walks a chain in between or keeps the old table: a reader reads the table under its stripe.
// The nodes of a bucket go to the two buckets that split it, in the order they had.
static void grow_node_hash(MATRIX* m) {
    if (m->node_hash && m->node_hash_shift >= kMaxHashShift) return;
    int shift = m->node_hash ? m->node_hash_shift + 1 : 0;
    int size = MX_NODE_HASH << shift;
    auto** table = static_cast<MATRIX_NODE**>(d_calloc(size, sizeof(MATRIX_NODE*)));
    MATRIX_NODE** old = m->node_hash;
    {
        AllStripes g(m);
        for (int b = 0; b < m->node_hash_size; b++) {
            MATRIX_NODE** tail[2] = {&table[2 * b], &table[2 * b + 1]};
            for (MATRIX_NODE *n = old[b], *next; n; n = next) {
                next = n->nh_next;
                MATRIX_NODE**& at = tail[bucket_in(bucket_product(n->code_key), shift) & 1];
                *at = n;
                at = &n->nh_next;
            }
            *tail[0] = *tail[1] = nullptr;
        }
        m->node_hash = table;
        m->node_hash_size = size;
        m->node_hash_shift = shift;
    }
    d_f_ree(old);
}

// Whether a node holds the code of a key.
static bool node_has(MATRIX_NODE* n, uint64_t key, const int64_t* code, int len) {
    if (n->code_key != key) return false;
    if (key_is_exact(key)) return true;
    for (int i = 0; i < len; i++)
        if (n->dim_code[i] != code[i]) return false;
    return true;
}

// The packed key of a code whose level is in range (0 to 63) when every block index fits its
// field, as code_key gives it for the normalised code; false when the key is a mixed hash. The
// shifts are node_shift's, and a block index is the coordinate's bits above the shift (a shift
// of 63 or more rounds every coordinate down to 0).
[[gnu::always_inline]] static inline bool packed_key(MATRIX* m, const int64_t* dc, uint64_t* key) {
    int64_t lev = dc[0];
    int dim = m->p.dim;
    if (lev >= 64 || dim < 1 || dim > MXT_MAX_DIM) return false;
    const uint8_t* divide = m->dim_divide;
    const uint8_t* block = m->block_size;
    unsigned width = kKeyWidth[dim];
    uint64_t packed = static_cast<uint64_t>(lev), over = 0;
    unsigned used = 6;
    for (int d = 0; d < dim; d++, used += width) {
        int64_t sh = lev * divide[d] + block[d];
        uint64_t b = sh >= 63 ? 0 : static_cast<uint64_t>(dc[d + 1]) >> sh;
        over |= b >> width;
        packed |= b << used;
    }
    *key = packed | uint64_t{1} << 63;
    return over == 0;
}

unsigned _get_node_hash(MATRIX* m, const int64_t* dc) {
    int64_t code[MXT_MAX_DIM + 1];
    memcpy(code, dc, sizeof(int64_t) * (m->p.dim + 1));
    normalize_dim_code(m, code);
    return bucket_in(bucket_product(code_key(m, code)), m->node_hash_shift);
}

// ---- The ring and the purge --------------------------------------------------------------------

void _insert_node_ring(MATRIX_NODE* n) {
    ring_init();
    MATRIX_NODE* root = nd_root();
    n->h.next = root->h.next;
    n->h.prev = root;
    root->h.next->h.prev = n;
    root->h.next = n;
    uint32_t now = matrix_now();
    n->last_access = now;
    uint64_t seq = next_touch();
    mx_st(n->touch_seq, seq);
    n->ring_seq = seq;
    mx_st(nd_cnt, nd_cnt + 1);
    n->ring_bytes = node_bytes(n->matrix);
    mx_st(nd_bytes, nd_bytes + n->ring_bytes);
    if (!purge_started) {
        mx_st(purge_started, true);
        mx_st(last_purge, now);
    }
    int64_t since = static_cast<int64_t>(now) - last_purge;
    if ((nd_cnt > 2 * total_ncache_size && since > 2) || since >= 121) {
        mx_st(last_purge, now);
        purge_walk(n);
    }
}

static void move_to_front(MATRIX_NODE* n) {
    ring_unlink(n);
    _insert_node_ring(n);
}

int mx_last_access(int* ret) {
    TaskLockGuard g(matrix_lock);
    ring_settle();
    if (ring_empty()) return -1;
    if (ret) *ret = static_cast<int>(nd_root()->h.next->last_access);
    return 0;
}

void mx_purge(long long) {
    TaskLockGuard g(matrix_lock);
    ring_settle();
    if (ring_empty()) return;
    int start = nd_cnt;
    MATRIX_NODE* n = nd_root()->h.prev;
    while (n != nd_root() && nd_cnt > start / 2) {
        MATRIX_NODE* prev = n->h.prev;
        if (n == nd_root()->h.next) break;
        if (n->status == MS_OK) {
            if (n->dirty_file_time && !n->save_lock) ask_save(n);
            _free_matrix_node(n);
        }
        n = prev;
    }
}

void mx_keep_budget() {
    // Most calls find the loaded nodes within the budget: that is told without the store lock.
    if (mx_ld(nd_bytes) <= mx_ld(mx_node_budget)) return;
    TaskLockGuard g(matrix_lock);
    if (nd_bytes > mx_node_budget) budget_purge();
}

MEM_PURGE_TBL mx_mpt = {mx_last_access, mx_purge, nullptr};

// ---- Freeing, dirty marks, flush ---------------------------------------------------------------

int _free_matrix_node(MATRIX_NODE* n) {
    MATRIX* m = n->matrix;
    {
        // The holder count is tested and the node unlinked under the bucket's stripe lock, so a
        // lock-free reader either holds it first or no longer finds it.
        StripeGuard g(m, n->hash_ix);
        if (!m->node_hash) er_panic("_free_matrix_node");
        MATRIX_NODE** pp = head_at(m, bucket_product(n->code_key));
        while (*pp && *pp != n)
            pp = &(*pp)->nh_next;
        if (!*pp) er_panic("_free_matrix_node");
        if (mx_ld(n->locked) || mx_ld(n->ch_lock) || n->save_lock || n->dirty_file_time) return -1;
        if (n->wait_token || n->process_token) return -2;
        *pp = n->nh_next;
        m->node_hash_count--;
    }
    ring_unlink(n);
    if (n->channel) {
        for (int ch = 0; ch < m->p.channel_nos; ch++) {
            MATRIX_CHANNEL* c = &n->channel[ch];
            if (c->data) {
                MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
                if (tp && tp->free_data) tp->free_data(tp, c->data);
                c->data = nullptr;
            }
            if (c->sb && mx_free_struct_block) mx_free_struct_block(c->sb);
        }
        if (!mx_node_owns(n, n->channel)) d_f_ree(n->channel);
    }
    if (n->send_data || n->send_data_delay) _matrix_send_result(n);
    if (!mx_node_owns(n, n->nlist_dim_bit_field)) d_f_ree(n->nlist_dim_bit_field);
    _free_nlist_dim_addr(n->nlist_dim_addr, n->nlist_dim_addr_len);
    if (!mx_node_owns(n, n->dim_code)) d_f_ree(n->dim_code);
    free_node_block(n);
    return 0;
}

bool mx_node_owns(const MATRIX_NODE* n, const void* p) {
    auto* own = reinterpret_cast<const char*>(n + 1);
    auto* q = static_cast<const char*>(p);
    return q >= own && q < own + n->own_bytes;
}

int mx_node_held(MATRIX_NODE* n) {
    StripeGuard g(n->matrix, n->hash_ix);
    return mx_ld(n->locked);
}

bool _mx_nodes_in_use(MATRIX* m) {
    if (!m->node_hash) return false;
    AllStripes g(m);
    for (int b = 0; b < m->node_hash_size; b++)
        for (MATRIX_NODE* n = m->node_hash[b]; n; n = n->nh_next)
            if (n->locked > 0 || n->ch_lock > 0 || n->process_token || n->wait_token) return true;
    return false;
}

int _sync_matrix_node(MATRIX_NODE* n) {
    if (mx_node_held(n) || mx_ld(n->ch_lock) || n->save_lock || n->dirty_file_time) return -1;
    if (n->wait_token || n->process_token) return -2;
    return n->status > MS_BUSY ? 0 : -3;
}

void _set_dirty_file(MATRIX_NODE* n) {
    MATRIX* m = n->matrix;
    // Only a node whose own level has a save script can ever be written back; marking any other
    // dirty would pin it against the purge for good and keep its matrix from closing.
    if (!m->cal[mx_slot_for_level(m, MI_SAVE_TP, n->dim_code[0])]) return;
    n->dirty_seq++;
    bool was = n->dirty_file_time != 0;
    n->dirty_file_time = matrix_now();
    if (!n->dirty_file_time) n->dirty_file_time = 1;
    if (was) return;
    if (m->save_waiters) {
        m->save_news++;
        mx_wake(m);
    }
    n->dirty_next = nullptr;
    n->dirty_prev = m->dirty_tail;
    if (m->dirty_tail)
        m->dirty_tail->dirty_next = n;
    else
        m->dirty_head = n;
    m->dirty_tail = n;
    m->dirty_cnt++;
    if (n->save_failed) m->dirty_failed++;
}

void _clear_dirty_file(MATRIX_NODE* n) {
    if (!n->dirty_file_time) return;
    MATRIX* m = n->matrix;
    n->dirty_file_time = 0;
    if (n->dirty_prev)
        n->dirty_prev->dirty_next = n->dirty_next;
    else
        m->dirty_head = n->dirty_next;
    if (n->dirty_next)
        n->dirty_next->dirty_prev = n->dirty_prev;
    else
        m->dirty_tail = n->dirty_prev;
    n->dirty_next = n->dirty_prev = nullptr;
    m->dirty_cnt--;
    if (n->save_failed) m->dirty_failed--;
}

void _set_save_failed(MATRIX_NODE* n, bool failed) {
    if (n->save_failed == static_cast<unsigned>(failed)) return;
    n->save_failed = failed;
    if (n->dirty_file_time) n->matrix->dirty_failed += failed ? 1 : -1;
}

void set_dirty_file(MATRIX_NODE* n) {
    TaskLockGuard g(matrix_lock);
    _set_dirty_file(n);
}

void _flush_all_dirty_file(MATRIX* m) {
    for (MATRIX_NODE *n = m->dirty_head, *next; n; n = next) {
        next = n->dirty_next;
        if (n->status == MS_OK) {
            if (!n->save_lock) ask_save(n);
        } else {
            // Edits of nodes that never became ready are dropped.
            _clear_dirty_file(n);
        }
    }
}

void flush_all_dirty_file(MATRIX* m) {
    TaskLockGuard g(matrix_lock);
    _flush_all_dirty_file(m);
}

// The save lock records which change the save takes (the node's change count), and clearing it
// clears the node's dirty mark only when no change came in since: a change made while the save
// ran may not have reached the file, and clearing the mark would lose it at the next purge.
void lock_save(MATRIX_NODE* n) {
    TaskLockGuard g(matrix_lock);
    n->save_lock = 1;
    n->saving_seq = n->dirty_seq;
}

void unlock_save(MATRIX_NODE* n) {
    TaskLockGuard g(matrix_lock);
    n->save_lock = 0;
    _set_save_failed(n, false);
    if (n->dirty_seq == n->saving_seq)
        _clear_dirty_file(n);
    else if (n->matrix->save_waiters)
        n->matrix->save_news++;  // its later change is to be asked for at once
    mx_wake(n);
    mx_wake(n->matrix);
    _wakeup_closers();
}

void release_save(MATRIX_NODE* n) {
    TaskLockGuard g(matrix_lock);
    n->save_lock = 0;
    mx_wake(n);
    mx_wake(n->matrix);
    _wakeup_closers();
}

// ---- Holding nodes -----------------------------------------------------------------------------

void _lock_node(MATRIX_NODE* n, MATRIX_TOKEN* token) {
    {
        StripeGuard g(n->matrix, n->hash_ix);
        mx_st(n->locked, n->locked + 1);
    }
    if (token) {
        auto* e = static_cast<MATRIX_LIST*>(d_alloc(sizeof(MATRIX_LIST)));
        e->node = n;
        e->next = token->locked_node_list;
        token->locked_node_list = e;
    }
}

void _unlock_node(MATRIX_NODE* n, MATRIX_TOKEN* token) {
    {
        StripeGuard g(n->matrix, n->hash_ix);
        if (n->locked > 0) mx_st(n->locked, n->locked - 1);
    }
    if (token) {
        for (MATRIX_LIST** pp = &token->locked_node_list; *pp; pp = &(*pp)->next) {
            if ((*pp)->node == n) {
                MATRIX_LIST* e = *pp;
                *pp = e->next;
                d_f_ree(e);
                break;
            }
        }
    }
    mx_wake(n->matrix);
    mx_wake(n);
    _wakeup_closers();
}

// The release's wake-ups, sent when a task waits on the store.
[[gnu::noinline]] static void wake_after_release(MATRIX* m, MATRIX_NODE* n) {
    TaskLockGuard g(matrix_lock);
    mx_wake(m);
    mx_wake(n);
    _wakeup_closers();
}

[[gnu::noinline]] static void unlock_node_token(MATRIX_NODE* n, MATRIX_TOKEN* token) {
    TaskLockGuard g(matrix_lock);
    _unlock_node(n, token);
}

void unlock_node(MATRIX_NODE* n, MATRIX_TOKEN* token) {
    if (!n) return;
    if (token) return unlock_node_token(n, token);
    // Without a token only the count changes: under the stripe lock, and the wake-ups are sent
    // (under matrix_lock) only when a task sleeps. Once the count is down the node may be freed:
    // only its address is used after that.
    MATRIX* m = n->matrix;
    bool wake;
    {
        StripeGuard g(m, n->hash_ix);
        if (n->locked > 0) mx_st(n->locked, n->locked - 1);
        wake = mx_hold_watch.load() != 0 || mx_sleeping();
    }
    if (wake) wake_after_release(m, n);
}

// ---- The look-up -------------------------------------------------------------------------------

MATRIX_NODE* _get_matrix_node(int* errp, MATRIX* m, const int64_t* dc, int access, int64_t lev,
                              QV_SEXP** retp, int key) {
    switch (m->mode) {
        case 0:
            mx_st(m->flags, m->flags | 1);
            *errp = MXE_NOT_OPEN;
            return nullptr;
        case 1:
            break;
        case 2:
        case 3:
            *errp = MXE_NOT_OPEN;
            return nullptr;
        default:
            er_panic("_get_matrix_node");
    }
    if (m->flags & 2) {
        *errp = MXE_NOT_OPEN;
        return nullptr;
    }
    if (!dc || dc[0] < 0 || dc[0] >= m->total_levels) {
        // A level outside the pyramid names no node.
        *errp = MXE_NOT_FOUND;
        return nullptr;
    }
    if (!(m->access_cnt & 1)) mx_st(m->access_cnt, m->access_cnt | 1);
    _touch_matrix(m);
    // Nodes keep normalised codes: the code asked for is normalised once and compared whole.
    int64_t code[MXT_MAX_DIM + 1];
    memcpy(code, dc, sizeof(int64_t) * (m->p.dim + 1));
    normalize_dim_code(m, code);
    uint64_t full = code_key(m, code);
    unsigned __int128 at = bucket_product(full);
    MATRIX_NODE* n = chain_at(m, at);
    while (n && !node_has(n, full, code, m->p.dim + 1))
        n = n->nh_next;
    // A ready node from before the file was last closed may be older than the file, which
    // another process may have written meanwhile: once nobody holds it and it keeps no changes,
    // it goes and is read again.
    if (n && n->status == MS_OK && n->file_epoch != mx_ld(m->file_epoch) &&
        _free_matrix_node(n) == 0)
        n = nullptr;
    if (n) {
        move_to_front(n);
        n->process_token_key = key;
        n->req_level = lev;
        mx_st(n->fast_second, key == 0 && lev == n->dim_code[0] ? n->last_access : 0);
        check_status(n, "_get_matrix_node");
        switch (n->status) {
            case MS_NEW:
            case MS_BUSY:
                *errp = MXE_BUSY;
                _set_send_data(n, retp);
                return n;
            case MS_OK:
                return n;
            case MS_LOADING_ERR_1:
                if (access < 0 || access == MI_FETCH_1_TP) {
                    *errp = MXE_NOT_FOUND;
                    return nullptr;
                }
                mx_set_status(n, MS_NEW);
                mx_wake(n);
                _wakeup_closers();
                _get_matrix_access(n);
                *errp = MXE_NOT_FOUND;
                return n;
            case MS_PROCESS_ERR_1:
                if (access < 0 || access == MI_FETCH_1_TP) {
                    *errp = MXE_NOT_FOUND;
                    return nullptr;
                }
                mx_set_status(n, MS_BUSY);
                mx_wake(n);
                _matrix_trigger_access(n, MI_VISU_1_TP, 0);
                *errp = MXE_NOT_FOUND;
                return n;
            default:
                if (access >= 0) return n;
                *errp = MXE_REFUSED;
                return nullptr;
        }
    }
    if (access < 0) {
        *errp = MXE_NOT_FOUND;
        return nullptr;
    }
    // One block: the record, its channels, its code and its child bit field.
    size_t ch_bytes = m->p.channel_nos > 0 ? sizeof(MATRIX_CHANNEL) * m->p.channel_nos : 0;
    size_t dc_bytes = sizeof(int64_t) * (m->p.dim + 1);
    size_t bf_bytes = m->dim_bit_field > 0 ? m->dim_bit_field : 0;
    static_assert(sizeof(MATRIX_NODE) % alignof(int64_t) == 0 &&
                  sizeof(MATRIX_CHANNEL) % alignof(int64_t) == 0);
    n = new_node_block(node_extra(m));
    char* own = reinterpret_cast<char*>(n + 1);
    n->own_bytes = static_cast<int>(ch_bytes + dc_bytes + bf_bytes);
    n->matrix = m;
    if (ch_bytes) n->channel = reinterpret_cast<MATRIX_CHANNEL*>(own);
    n->dim_code = reinterpret_cast<int64_t*>(own + ch_bytes);
    memcpy(n->dim_code, code, dc_bytes);
    mx_st(n->file_epoch, mx_ld(m->file_epoch));
    n->status = MS_NEW;
    mx_wake(n);
    if (bf_bytes) {
        n->nlist_dim_bit_field = reinterpret_cast<uint8_t*>(own + ch_bytes + dc_bytes);
        n->nlist_dim_bit_field_len = m->dim_bit_field;
    }
    n->process_token_key = key;
    n->req_level = lev;
    unsigned h = bucket_of(full);
    n->hash_ix = static_cast<int>(h);
    n->code_key = full;
    _set_send_data(n, retp);
    // The hash doubles before a chain grows long on average: a look-up walks a few nodes however
    // many the matrix holds.
    if (m->node_hash_count >= MX_NODE_CHAIN * m->node_hash_size) grow_node_hash(m);
    {
        StripeGuard g(m, h);
        MATRIX_NODE** head = head_at(m, at);
        n->nh_next = *head;
        *head = n;
        m->node_hash_count++;
    }
    _insert_node_ring(n);
    _get_matrix_access(n);
    *errp = MXE_BUSY;
    return n;
}

// Takes a node's channel lock `holds` times for task `me`, its stripe lock held: false when
// another task has it.
[[gnu::always_inline]] static inline bool take_channel(MATRIX_NODE* n, int holds, int me) {
    if (n->ch_lock > 0 && n->ch_lock_tid != me) return false;
    mx_st(n->ch_lock, n->ch_lock + holds);
    n->ch_lock_tid = me;
    return true;
}

// Holds a node the lock-free reader found, its bucket's stripe lock held: only a ready node the
// locked look-up would merely hold and stamp this second. With ch_holds, its channel lock is
// taken that many times for task `me` as well, or nothing is taken.
[[gnu::always_inline]] static inline MATRIX_NODE* hold_found(MATRIX_NODE* n, uint32_t now,
                                                             int ch_holds, int me) {
    if (!n || mx_ld(n->status, std::memory_order_acquire) != MS_OK ||
        mx_ld(n->fast_second) != now || mx_ld(n->file_epoch) != mx_ld(n->matrix->file_epoch))
        return nullptr;
    if (ch_holds > 0 && !take_channel(n, ch_holds, me)) return nullptr;
    mx_st(n->locked, n->locked + 1);
    mx_st(n->touch_seq, next_touch());
    if (!ring_stale.load(std::memory_order_relaxed)) ring_stale.store(true);
    return n;
}

// The lock-free reader's walk for a code whose key is a mixed hash: the code normalised and
// compared whole.
[[gnu::noinline]] static MATRIX_NODE* lookup_mixed(MATRIX* m, const int64_t* dc, uint32_t now,
                                                   int ch_holds, int me) {
    int64_t code[MXT_MAX_DIM + 1];
    memcpy(code, dc, sizeof(int64_t) * (m->p.dim + 1));
    normalize_dim_code(m, code);
    uint64_t full = code_key(m, code);
    unsigned __int128 at = bucket_product(full);
    StripeGuard g(m, static_cast<unsigned>(at >> 64));
    MATRIX_NODE* n = chain_at(m, at);
    while (n && !node_has(n, full, code, m->p.dim + 1))
        n = n->nh_next;
    return hold_found(n, now, ch_holds, me);
}

// The look-up of a resident, ready node without matrix_lock, for a caller without token or
// deferred answer: the node comes back held, as from the locked look-up. Null whenever the
// locked look-up has more to do than hold the node and stamp its use: the matrix not open and
// first in its ring or not stamped this second, a purge due, the node missing, not ready, or
// with another key, requested level or last-access second.
[[gnu::always_inline]] static inline MATRIX_NODE* lookup_resident(MATRIX* m, const int64_t* dc,
                                                                  int ch_holds = 0, int me = 0) {
    if (!dc || mx_ld(m->mode, std::memory_order_acquire) != 1 || (mx_ld(m->flags) & 2))
        return nullptr;
    if (mx_ld(matrices_root->mx_next) != m || !(mx_ld(m->access_cnt) & 1)) return nullptr;
    int64_t lev = dc[0];
    if (lev < 0 || lev >= m->total_levels) return nullptr;
    uint32_t now = matrix_coarse_now();
    if (now == 0 || mx_ld(m->last_access) != now || !mx_ld(purge_started)) return nullptr;
    int64_t since = static_cast<int64_t>(now) - mx_ld(last_purge);
    if (since >= 121 || (since > 2 && mx_ld(nd_cnt) > 2 * mx_ld(total_ncache_size))) return nullptr;
    uint64_t full;
    if (!packed_key(m, dc, &full)) return lookup_mixed(m, dc, now, ch_holds, me);
    // A packed key names its code: the walk compares keys alone.
    unsigned __int128 at = bucket_product(full);
    StripeGuard g(m, static_cast<unsigned>(at >> 64));
    MATRIX_NODE* n = chain_at(m, at);
    while (n && n->code_key != full)
        n = n->nh_next;
    return hold_found(n, now, ch_holds, me);
}

// The node of a code when the matrix holds one, nothing changed (matrix_lock held).
static MATRIX_NODE* find_node(MATRIX* m, const int64_t* dc) {
    if (m->mode != 1 || !dc || dc[0] < 0 || dc[0] >= m->total_levels) return nullptr;
    int64_t code[MXT_MAX_DIM + 1];
    memcpy(code, dc, sizeof(int64_t) * (m->p.dim + 1));
    normalize_dim_code(m, code);
    uint64_t full = code_key(m, code);
    MATRIX_NODE* n = chain_at(m, bucket_product(full));
    while (n && !node_has(n, full, code, m->p.dim + 1))
        n = n->nh_next;
    return n;
}

// The locked look-up of get_matrix_node.
[[gnu::noinline]] static MATRIX_NODE* get_matrix_node_locked(int* errp, MATRIX* m,
                                                             const int64_t* dc, int access,
                                                             MATRIX_TOKEN* token, QV_SEXP** retp) {
    // A caller that makes nodes (the lock-free reader found nothing ready, and its last locked
    // look-up made a node) has the block of a new node made before it takes the lock, so that
    // the allocation is not made while the worker waits for the lock; a block the look-up did
    // not use is given back after it. A caller whose locked look-ups find their nodes (a node
    // still busy, a matrix not first in the ring) makes none after the first.
    thread_local bool made_last = true;
    if (made_last && access >= 0 && !token && mx_ld(m->mode, std::memory_order_acquire) == 1) {
        early_extra = node_extra(m);
        early_block = new_node_block(early_extra);
        blocks_taken--;
    }
    struct DropEarly {
        unsigned taken = blocks_taken;
        ~DropEarly() {
            made_last = blocks_taken != taken;
            if (early_block) free_node_block(early_block);
            early_block = nullptr;
        }
    } drop;
    mx_let_workers_in();
    TaskLockGuard g(matrix_lock);
    // A token that a node's failure woke does not start that node again while it runs the same
    // slot: the node failed for it, and fetching it anew would fail and wake the token again,
    // for ever. The node is no usable node to it.
    if (token && token->failed_wait && access >= 0) {
        MATRIX_NODE* f = find_node(m, dc);
        if (f && f == token->failed_wait &&
            (f->status == MS_LOADING_ERR_1 || f->status == MS_PROCESS_ERR_1)) {
            *errp = MXE_NOT_FOUND;
            return nullptr;
        }
    }
    int err = 0;
    MATRIX_NODE* n = _get_matrix_node(&err, m, dc, access, dc ? dc[0] : 0, retp, 0);
    // A token asking for the node it is making gets it as it is: waiting for itself would never
    // end.
    if (n && token && n == token->process_node && (err == MXE_BUSY || err == MXE_NOT_FOUND))
        err = 0;
    *errp = err;
    if (err == 0) {
        if (n) _lock_node(n, token);
        return n;
    }
    if (access < 0 || err == MXE_NOT_OPEN || err == MXE_REFUSED) return nullptr;
    if (n && token && (err == MXE_NOT_FOUND || err == MXE_BUSY)) _insert_node_wait_token(n, token);
    return n;
}

MATRIX_NODE* get_matrix_node(int* errp, MATRIX* m, const int64_t* dc, int access,
                             MATRIX_TOKEN* token, QV_SEXP** retp) {
    if (!token && !retp) {
        if (MATRIX_NODE* n = lookup_resident(m, dc)) {
            *errp = 0;
            return n;
        }
    }
    return get_matrix_node_locked(errp, m, dc, access, token, retp);
}

MATRIX_NODE* get_matrix_node_wait(int* errp, MATRIX* m, const int64_t* dc, int access) {
    if (MATRIX_NODE* n = lookup_resident(m, dc)) {
        *errp = 0;
        return n;
    }
    TaskLockGuard g(matrix_lock);
    int a = access;
    std::chrono::steady_clock::time_point watch_until{};
    for (;;) {
        int err = 0;
        MATRIX_NODE* n = _get_matrix_node(&err, m, dc, a, dc ? dc[0] : 0, nullptr, 0);
        *errp = err;
        if (err == 0) {
            if (n) _lock_node(n, nullptr);
            return n;
        }
        if (!n || (err != MXE_BUSY && err != MXE_NOT_FOUND)) return nullptr;
        if (n->status > MS_BUSY) continue;
        // A node that is busy but has no token will not change: nothing makes it.
        if (!n->process_token) {
            *errp = MXE_NOT_FOUND;
            return nullptr;
        }
        // A failed node is fetched again once; a second failure answers -101.
        if (a >= 0 && err == MXE_NOT_FOUND) a = MI_FETCH_1_TP;
        // A node the worker makes at once is watched for a moment first: the reader then takes
        // it without a sleep and a wake-up. One while per call, so a long wait costs one watch.
        if (mx_watch(&watch_until)) continue;
        mx_sleep(n);
    }
}

MATRIX_NODE* mx_take_resident_channels(MATRIX* m, const int64_t* dc, int holds) {
    return lookup_resident(m, dc, holds, static_cast<int>(get_tid()));
}

bool mx_release_channels(MATRIX_NODE* n, int holds, int flags) {
    MATRIX* m = n->matrix;
    // The last release of a written node marks it dirty, which needs matrix_lock: only where its
    // level has a save script (see _set_dirty_file).
    if ((flags & 1) && mx_ld(m->cal[mx_slot_for_level(m, MI_SAVE_TP, n->dim_code[0])]))
        return false;
    bool wake;
    {
        StripeGuard g(m, n->hash_ix);
        if (n->ch_lock < holds) er_panic("mx_release_channels");
        mx_st(n->ch_lock, n->ch_lock - holds);
        if (n->ch_lock == 0) n->ch_lock_tid = 0;
        if (n->locked > 0) mx_st(n->locked, n->locked - 1);
        wake = mx_hold_watch.load() != 0 || mx_sleeping();
    }
    if (wake) wake_after_release(m, n);
    return true;
}

// ---- The channel lock --------------------------------------------------------------------------

// The channel lock's count and task change under the node's stripe lock (the cache's node change
// takes and releases it without matrix_lock).
static bool try_channel_lock(MATRIX_NODE* n, int holds, int me) {
    StripeGuard g(n->matrix, n->hash_ix);
    return take_channel(n, holds, me);
}

bool mx_try_channel_lock(MATRIX_NODE* n, int holds) {
    return try_channel_lock(n, holds, static_cast<int>(get_tid()));
}

void _matrix_node_channel_lock(MATRIX_NODE* n) {
    int me = get_tid();
    if (try_channel_lock(n, 1, me)) return;
    // A release without matrix_lock wakes only while a task counts in mx_hold_watch: counted
    // before the test that decides to sleep.
    mx_hold_watch++;
    while (!try_channel_lock(n, 1, me))
        mx_sleep(n);
    mx_hold_watch--;
}

void matrix_node_channel_lock(MATRIX_NODE* n) {
    TaskLockGuard g(matrix_lock);
    _matrix_node_channel_lock(n);
}

void _matrix_node_channel_unlock(MATRIX_NODE* n, int flags) {
    bool last;
    {
        StripeGuard g(n->matrix, n->hash_ix);
        if (n->ch_lock < 1) er_panic("_matrix_node_channel_unlock");
        mx_st(n->ch_lock, n->ch_lock - 1);
        last = n->ch_lock == 0;
        if (last) n->ch_lock_tid = 0;
    }
    if (last && (flags & 1)) _set_dirty_file(n);
    mx_wake(n->matrix);
    mx_wake(n);
    _wakeup_closers();
}

void matrix_node_channel_unlock(MATRIX_NODE* n, int flags) {
    TaskLockGuard g(matrix_lock);
    _matrix_node_channel_unlock(n, flags);
}
