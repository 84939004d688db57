// Node children (a bit field, or a sorted list of child codes when the field would be too large),
// the walk down the pyramid to the deepest usable node, channel data under the node's channel
// lock with its update stamps, and the index odometers of the element handlers.
#include <algorithm>
#include <cstring>

#include "base/panic.h"
#include "base/task.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "matrix/mxfile.h"
#include "matrix/mxstore.h"
#include "stream/sprintf.h"

namespace {

int64_t update_clock = 0;  // the store's logical clock of update stamps (matrix_lock held)

int child_shift(MATRIX* m, int64_t child_level, int d) {
    int64_t s = child_level * m->dim_divide[d] + m->block_size[d];
    return s > 64 ? 64 : static_cast<int>(s);
}

int64_t low_bits(int64_t x, int shift, int bits) {
    if (shift >= 64) return 0;
    uint64_t v = static_cast<uint64_t>(x) >> shift;
    return bits >= 64 ? static_cast<int64_t>(v)
                      : static_cast<int64_t>(v & ((uint64_t{1} << bits) - 1));
}

// The number of child positions of a node above level 0 when they fit a bit field: 2^s, s the
// sum of the divides. Bits of the field past them (a one-byte field of fewer than 8 children)
// name no child.
int child_positions(MATRIX* m) {
    int s = 0;
    for (int d = 0; d < m->p.dim; d++)
        s += m->dim_divide[d];
    return s < 31 ? 1 << s : INT32_MAX;
}

bool is_float_type(int type) {
    int t = type & 15;
    return t == MXT_FLOAT || t == MXT_DOUBLE;
}

// Binary search of the child list: the index of dc, or -(insertion point) - 1.
int list_find(MATRIX* m, int64_t** a, int len, const int64_t* dc) {
    int lo = 0, hi = len - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        int c = _cmp_dim_code(m, a[mid], dc);
        if (c == 0) return mid;
        if (c < 0)
            lo = mid + 1;
        else
            hi = mid - 1;
    }
    return -lo - 1;
}

QV_SEXP* channel_error(MATRIX_NODE* n, int ch, QV_SEXP* s, const char* reason) {
    gc_push(nullptr, nullptr, "get_channel_data");
    QV_SEXP* data =
        List(n_get_string("invalid object in channel of NODE"), n_get_string(reason),
             get_sexp_from_dim_code(n->matrix, n->dim_code), get_integer(ch, nullptr), LIST_END);
    QV_SEXP* e = eval_error(s, MXE_SCRIPT_NODE, "mxCH:get_channel_data", data);
    gc_pop(e, gc_vx_sexp);
    return e;
}

// Whether the vector v has exactly the shape of node n's block (the cell paths address a node's
// cells by that shape): the matrix's dimensions, and the block's sizes at n's level.
bool vector_fits_node(MATRIX_NODE* n, void* v) {
    MATRIX* m = n->matrix;
    int sizes[MXT_MAX_DIM];
    if (!mxt_vector_sizes_by_dim_code(m, n->dim_code, sizes)) return false;
    MATRIX_DH_SET dh;
    get_matrix_dh_set(&dh, v);
    if (dh.hd->dim != m->p.dim) return false;
    for (int d = 0; d < m->p.dim; d++)
        if (dh.ix[d] != sizes[d]) return false;
    return true;
}

void stamp(MATRIX_CHANNEL* c, int ix) {
    c->update_time[ix] = ++update_clock;
}

}  // namespace

// ---- Children ----------------------------------------------------------------------------------

int check_children(MATRIX_NODE* n) {
    TaskLockGuard g(matrix_lock);
    if (n->dim_code[0] == 0) return 0;
    if (n->matrix->dim_bit_field) {
        int bits = std::min(n->nlist_dim_bit_field_len * 8, child_positions(n->matrix));
        for (int i = 0; i < bits; i += 8) {
            unsigned b = n->nlist_dim_bit_field[i / 8];
            if (bits - i < 8) b &= (1u << (bits - i)) - 1;
            if (b) return 1;
        }
        return 0;
    }
    return n->nlist_dim_addr_len > 0 ? 1 : 0;
}

int _get_dim_code_index(MATRIX_NODE* n, const int64_t* dc) {
    MATRIX* m = n->matrix;
    int64_t child = n->dim_code[0] - 1;
    int ix = 0;
    for (int d = 0; d < m->p.dim; d++) {
        int bits = m->dim_divide[d];
        ix = (ix << bits) | static_cast<int>(low_bits(dc[d + 1], child_shift(m, child, d), bits));
    }
    return ix;
}

int _check_dim_code(MATRIX_NODE* n, int64_t* dc) {
    if (n->dim_code[0] == 0) return 0;
    MATRIX* m = n->matrix;
    if (m->dim_bit_field) {
        int ix = _get_dim_code_index(n, dc);
        if (ix / 8 >= n->nlist_dim_bit_field_len) return 0;
        return (n->nlist_dim_bit_field[ix / 8] >> (ix % 8)) & 1;
    }
    if (!n->nlist_dim_addr_len) return 0;
    int64_t save = dc[0];
    dc[0] = n->dim_code[0] - 1;
    int r = list_find(m, n->nlist_dim_addr, n->nlist_dim_addr_len, dc) >= 0;
    dc[0] = save;
    return r;
}

void _insert_dim_code_index(MATRIX_NODE* n, int64_t* dc, int dirty) {
    if (n->dim_code[0] == 0) return;
    MATRIX* m = n->matrix;
    if (m->dim_bit_field) {
        int ix = _get_dim_code_index(n, dc);
        if (ix / 8 >= n->nlist_dim_bit_field_len) return;
        uint8_t bit = static_cast<uint8_t>(1u << (ix % 8));
        if (n->nlist_dim_bit_field[ix / 8] & bit) return;
        n->nlist_dim_bit_field[ix / 8] |= bit;
        if (dirty) _set_dirty_file(n);
        return;
    }
    int64_t* c = _copy_dim_code(m, dc);
    c[0] = n->dim_code[0] - 1;
    normalize_dim_code(m, c);
    int at = list_find(m, n->nlist_dim_addr, n->nlist_dim_addr_len, c);
    if (at >= 0) {
        d_f_ree(c);
        return;
    }
    at = -at - 1;
    int len = n->nlist_dim_addr_len;
    auto** a = static_cast<int64_t**>(d_calloc(len + 2, sizeof(int64_t*)));
    if (len) memcpy(a, n->nlist_dim_addr, sizeof(int64_t*) * at);
    a[at] = c;
    if (len) memcpy(a + at + 1, n->nlist_dim_addr + at, sizeof(int64_t*) * (len - at));
    d_f_ree(n->nlist_dim_addr);
    n->nlist_dim_addr = a;
    n->nlist_dim_addr_len = len + 1;
    if (dirty) _set_dirty_file(n);
}

void insert_dim_code_index(MATRIX_NODE* n, int64_t* dc, int dirty) {
    TaskLockGuard g(matrix_lock);
    _insert_dim_code_index(n, dc, dirty);
}

void allset_dim_code_index(MATRIX_NODE* n, int dirty) {
    TaskLockGuard g(matrix_lock);
    MATRIX* m = n->matrix;
    if (!m->dim_bit_field || !n->nlist_dim_bit_field) return;
    int bits = std::min(n->nlist_dim_bit_field_len * 8, child_positions(m));
    for (int i = 0; i < bits; i++)
        n->nlist_dim_bit_field[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    if (dirty) _set_dirty_file(n);
}

void vecset_dim_code_index(MATRIX_NODE* n, const uint8_t* bits, int dirty) {
    TaskLockGuard g(matrix_lock);
    _vecset_dim_code_index(n, bits, dirty);
}

void _vecset_dim_code_index(MATRIX_NODE* n, const uint8_t* bits, int dirty) {
    MATRIX* m = n->matrix;
    if (!m->dim_bit_field || !n->nlist_dim_bit_field) return;
    for (int i = 0; i < m->dim_bit_field; i++)
        n->nlist_dim_bit_field[i] |= bits[i];
    if (dirty) _set_dirty_file(n);
}

int64_t* get_dim_code_from_index(MATRIX* m, const int64_t* dc, int ix) {
    int64_t* r = _copy_dim_code(m, dc);
    normalize_dim_code(m, r);
    r[0] = dc[0] - 1;
    unsigned u = static_cast<unsigned>(ix);
    for (int d = m->p.dim - 1; d >= 0; d--) {
        int bits = m->dim_divide[d];
        int sh = child_shift(m, r[0], d);
        uint64_t part = bits >= 32 ? u : (u & ((1u << bits) - 1));
        if (sh < 64) r[d + 1] += static_cast<int64_t>(part << sh);
        u = bits >= 32 ? 0 : u >> bits;
    }
    return r;
}

void _free_nlist_dim_addr(int64_t** addr, int len) {
    if (!addr) return;
    for (int i = 0; i < len; i++)
        d_f_ree(addr[i]);
    d_f_ree(addr);
}

void free_mx_dim_code_list(MX_DIM_CODE_LIST* l) {
    while (l) {
        MX_DIM_CODE_LIST* next = l->next;
        d_f_ree(l->dc);
        d_f_ree(l);
        l = next;
    }
}

int get_mx_list_length(MX_DIM_CODE_LIST* l) {
    int n = 0;
    for (; l; l = l->next)
        n++;
    return n;
}

MX_DIM_CODE_LIST* get_children_list(int* errp, MATRIX* m, const int64_t* dc, int access,
                                    int wait_flag, MATRIX_TOKEN* token) {
    int err = 0;
    MATRIX_NODE* n = wait_flag ? get_matrix_node_wait(&err, m, dc, access)
                               : get_matrix_node(&err, m, dc, access, token, nullptr);
    *errp = err;
    if (err) return nullptr;
    TaskLockGuard g(matrix_lock);
    MX_DIM_CODE_LIST* head = nullptr;
    MX_DIM_CODE_LIST** tail = &head;
    auto add = [&](int64_t* c) {
        auto* e = static_cast<MX_DIM_CODE_LIST*>(d_alloc(sizeof(MX_DIM_CODE_LIST)));
        e->dc = c;
        e->next = nullptr;
        *tail = e;
        tail = &e->next;
    };
    if (n->dim_code[0] > 0) {
        if (m->dim_bit_field) {
            int bits = std::min(n->nlist_dim_bit_field_len * 8, child_positions(m));
            for (int i = 0; i < bits; i++)
                if ((n->nlist_dim_bit_field[i / 8] >> (i % 8)) & 1)
                    add(get_dim_code_from_index(m, n->dim_code, i));
        } else {
            for (int i = n->nlist_dim_addr_len - 1; i >= 0; i--)
                add(_copy_dim_code(m, n->nlist_dim_addr[i]));
        }
    }
    _unlock_node(n, wait_flag ? nullptr : token);
    return head;
}

// ---- Tree walk ---------------------------------------------------------------------------------

int power_of(uint64_t a, int n) {
    if (a == 0 || n < 2) return -1;
    while (a % static_cast<uint64_t>(n) == 0)
        a /= static_cast<uint64_t>(n);
    return a == 1 ? 0 : -1;
}

MATRIX_NODE* _get_matrix_tree(int* errp, MATRIX* m, int64_t* dc, int access, int key) {
    *errp = MXE_NOT_FOUND;
    if (m->flags & 2) {
        *errp = MXE_NOT_OPEN;
        return nullptr;
    }
    int64_t want = dc[0];
    int64_t top = m->total_levels - 1;
    if (want < 0 || want > top) return nullptr;
    int64_t start = top;
    int err = 0;
    if (access == 1) {
        for (int64_t l = top; l >= want; l--) {
            dc[0] = l;
            err = 0;
            _get_matrix_node(&err, m, dc, -1, want, nullptr, key);
            if (err == MXE_NOT_OPEN) {
                dc[0] = want;
                *errp = err;
                return nullptr;
            }
            if (err == 0) start = l;
        }
    } else {
        dc[0] = top;
        err = 0;
        _get_matrix_node(&err, m, dc, -1, want, nullptr, key);
        if (err && (err == MXE_NOT_OPEN || access == -1)) {
            dc[0] = want;
            *errp = err;
            return nullptr;
        }
    }
    MATRIX_NODE* result = nullptr;
    MATRIX_NODE* parent = nullptr;
    bool open_path = false;
    for (int64_t l = start; l >= want; l--) {
        dc[0] = l;
        int a = access;
        if (access == 1)
            a = (l == want || power_of(static_cast<uint64_t>(l - want + 1), 2) == 0) ? 0 : -1;
        err = 0;
        MATRIX_NODE* n = _get_matrix_node(&err, m, dc, a, want, nullptr, key);
        if (err == MXE_NOT_OPEN) break;
        if (err) {
            if (access == 2) {
                if (parent) _insert_dim_code_index(parent, dc, 1);
            } else if (access > 2 || access < 0) {
                break;
            } else {
                if (!parent) {
                    open_path = true;
                } else if (!open_path) {
                    if (!_check_dim_code(parent, dc)) break;
                    open_path = true;
                }
            }
        } else if (n) {
            result = n;
            if (access == 2 && parent) _insert_dim_code_index(parent, dc, 1);
        }
        // The parent of the next level is this level's node, ready or not: a node this walk has
        // just made must record the child made below it, or a walk down from the top misses it.
        if (n) parent = n;
    }
    dc[0] = want;
    if (!result) {
        *errp = err == MXE_NOT_OPEN ? MXE_NOT_OPEN : MXE_NOT_FOUND;
        return nullptr;
    }
    *errp = 0;
    _lock_node(result, nullptr);
    return result;
}

MATRIX_NODE* get_matrix_tree(int* errp, MATRIX* m, int64_t* dc, int access, int key) {
    TaskLockGuard g(matrix_lock);
    return _get_matrix_tree(errp, m, dc, access, key);
}

// ---- Channel data ------------------------------------------------------------------------------

// A failed channel request gives back what it took: the channel lock and, for a tree walk, the
// walk's hold on the node (the caller gets no node to release).
static void* no_channel_data(MATRIX_NODE* n, MATRIX_NODE** np, int type) {
    _matrix_node_channel_unlock(n, 0);
    if (type == 1) _unlock_node(n, nullptr);
    if (np) *np = nullptr;
    return nullptr;
}

void* get_matrix_node_channel(int* errp, MATRIX_NODE** np, MATRIX* m, int64_t* dc, int ch, int type,
                              int access, const int* vp, int key) {
    *errp = 0;
    if (np) *np = nullptr;
    TaskLockGuard g(matrix_lock);
    if (m->flags & 2) {
        *errp = MXE_NOT_OPEN;
        return nullptr;
    }
    if (ch < 0 || ch >= m->p.channel_nos) {
        *errp = MXE_RANGE;
        return nullptr;
    }
    MATRIX_NODE* n = nullptr;
    if (type == 1) {
        n = _get_matrix_tree(errp, m, dc, access, key);
        // The walk holds the node: the caller releases it with unlock_node.
        if (!n) return nullptr;
    } else {
        for (;;) {
            int err = 0;
            n = _get_matrix_node(&err, m, dc, access, dc[0], nullptr, key);
            // A busy node is waited for only while a token works on it: one without a token
            // never changes, so the caller gets -103 instead of a wait that never ends.
            if (err == MXE_BUSY && n && n->process_token) {
                mx_sleep(n);
                continue;
            }
            if (err || !n) {
                *errp = err ? err : MXE_NOT_FOUND;
                return nullptr;
            }
            break;
        }
    }
    if (np) *np = n;
    _matrix_node_channel_lock(n);
    if (!n->channel)
        n->channel =
            static_cast<MATRIX_CHANNEL*>(d_calloc(m->p.channel_nos, sizeof(MATRIX_CHANNEL)));
    MATRIX_CHANNEL* c = &n->channel[ch];
    if (c->data) return c->data;
    if (access < 0) {
        *errp = MXE_NO_DATA;
        return no_channel_data(n, np, type);
    }
    MATRIX_CHANNEL_INFO* ci = &m->channel_info[ch];
    MATRIX_DATA_TYPE* tp = ci->data_type;
    void* d = nullptr;
    if (tp && (tp->type & MXT_VECTOR)) {
        if (vp) {
            MATRIX_ALLOC_VECTOR_PARAM vpar{m->p.dim, const_cast<int*>(vp), ci->default_data,
                                           nullptr};
            d = tp->alloc_data(tp, MXA_TRACKED, &vpar, nullptr, __FILE__, __LINE__);
        } else {
            d = mxt_alloc_vector_by_dim_code(m, tp, MXA_TRACKED, n->dim_code, ci->default_data);
        }
        if (!d) {
            *errp = MXE_RANGE;
            return no_channel_data(n, np, type);
        }
        if (!ci->default_data) {
            // Without a default the values start at zero, never as stale memory.
            // The whole value area: a bit vector holds its values 8 to a byte.
            MATRIX_DH_SET dh;
            get_matrix_dh_set(&dh, d);
            if (tp->get_size) memset(dh.offset, 0, tp->get_size(tp, d) - dh.hd->offset);
        }
    } else if (tp && tp->alloc_copy && ci->default_data) {
        d = tp->alloc_copy(tp, ci->default_data, MXA_TRACKED, nullptr, __FILE__, __LINE__);
    }
    if (!d) {
        *errp = MXE_NO_DATA;
        return no_channel_data(n, np, type);
    }
    c->data = d;
    // Default values are no change of the file; one opened for reading only could never take
    // them, and would count the node as a change lost at the close.
    if (!mx_file_read_only(m)) _set_dirty_file(n);
    return d;
}

QV_SEXP* get_channel_data(MATRIX_NODE* n, int ch, QV_SEXP* s) {
    TaskLockGuard g(matrix_lock);
    MATRIX* m = n->matrix;
    if (m->flags & 2) return channel_error(n, ch, s, "blocken matrix");
    if (!n->channel) return channel_error(n, ch, s, "no data channel");
    if (ch < 0 || ch >= m->p.channel_nos) return channel_error(n, ch, s, "overflow the ch No.");
    MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    if (!tp) return channel_error(n, ch, s, "no data channel");
    void* d = n->channel[ch].data;
    if (tp->type == MXT_SEXP) {
        auto* ms = static_cast<MATRIX_SEXP*>(d);
        if (!ms || !ms->data) return channel_error(n, ch, s, "SEXP type no data");
        return static_cast<QV_SEXP*>(ms->data);
    }
    if (!d || !tp->md2sexp) return channel_error(n, ch, s, "not sexp data / no data");
    _matrix_node_channel_lock(n);
    QV_SEXP* v = tp->md2sexp(tp, d);
    _matrix_node_channel_unlock(n, 0);
    return v;
}

void* get_channel_struct_block(MATRIX_NODE* n, int ch) {
    TaskLockGuard g(matrix_lock);
    MATRIX* m = n->matrix;
    if (!n->channel || ch < 0 || ch >= m->p.channel_nos) return nullptr;
    MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    if (!tp || tp->type != MXT_BLOCK || !n->channel[ch].sb) return nullptr;
    _matrix_node_channel_lock(n);
    return n->channel[ch].sb;
}

int set_channel_sexp(MATRIX_NODE* n, int ch, QV_SEXP* s) {
    TaskLockGuard g(matrix_lock);
    MATRIX* m = n->matrix;
    if ((m->flags & 2) || ch < 0 || ch >= m->p.channel_nos) return -1;
    if (!n->channel)
        n->channel =
            static_cast<MATRIX_CHANNEL*>(d_calloc(m->p.channel_nos, sizeof(MATRIX_CHANNEL)));
    MATRIX_DATA_TYPE* tp = m->channel_info[ch].data_type;
    if (!tp || !tp->sexp2md) return -2;
    int cpy = 0;
    void* nd = tp->sexp2md(&cpy, tp, s);
    if (!nd) return -2;
    if (tp->parent && !vector_fits_node(n, nd)) {
        if (cpy && tp->free_data) tp->free_data(tp, nd);
        return -4;
    }
    _matrix_node_channel_lock(n);
    MATRIX_CHANNEL* c = &n->channel[ch];
    bool file = (m->channel_info[ch].flags & MX_CH_FILE) != 0;
    auto drop_new = [&] {
        if (tp->type == MXT_SEXP)
            mx_release_hold(static_cast<MATRIX_SEXP*>(nd));
        else if (cpy && tp->free_data)
            tp->free_data(tp, nd);
    };
    if (c->data) {
        int r = tp->cmp ? tp->cmp(tp, c->data, nd) : -2;
        if (r == 0 && is_float_type(tp->type)) {
            // Floats compare equal across NaN: unchanged only when the bytes are the same too.
            int a = tp->get_size(tp, c->data), b = tp->get_size(tp, nd);
            if (a != b || memcmp(c->data, nd, a) != 0) r = 1;
        }
        if (r == 0) {
            drop_new();
            _matrix_node_channel_unlock(n, 0);
            return 0;
        }
        if (r == -2) {
            drop_new();
            _matrix_node_channel_unlock(n, 0);
            return -3;
        }
        if (r != 1 && r != -1) er_panic("_set_channel_sexp");
        if (tp->type == MXT_SEXP) {
            auto* old = static_cast<MATRIX_SEXP*>(c->data);
            mx_hold_set(old, static_cast<MATRIX_SEXP*>(nd)->data);
            mx_release_hold(static_cast<MATRIX_SEXP*>(nd));
        } else if (tp->get_size(tp, nd) <= tp->get_size(tp, c->data) && tp->copy) {
            tp->copy(tp, c->data, nd, MXA_TRACKED, nullptr);
            if (cpy && tp->free_data) tp->free_data(tp, nd);
        } else {
            // A larger element does not fit the old one's block: it replaces it.
            void* put = cpy ? nd : tp->alloc_copy(tp, nd, MXA_TRACKED, nullptr, __FILE__, __LINE__);
            if (tp->free_data) tp->free_data(tp, c->data);
            c->data = put;
        }
    } else {
        c->data = cpy || tp->type == MXT_SEXP
                      ? nd
                      : tp->alloc_copy(tp, nd, MXA_TRACKED, nullptr, __FILE__, __LINE__);
    }
    stamp(c, 0);
    if (file) _set_dirty_file(n);
    _matrix_node_channel_unlock(n, 0);
    return 1;
}

int get_matrix_update_time(MATRIX_NODE* n, int ch, int ix) {
    TaskLockGuard g(matrix_lock);
    if (!n->channel || ch < 0 || ch >= n->matrix->p.channel_nos) return -1;
    MATRIX_CHANNEL* c = &n->channel[ch];
    switch (ix) {
        case 0:
        case 1:
            stamp(c, ix);
            return 0;
        case -1: {
            int64_t t =
                c->update_time[0] > c->update_time[1] ? c->update_time[0] : c->update_time[1];
            c->update_time[0] = c->update_time[1] = t;
            return 0;
        }
        case -2:
            if (c->update_time[0] == c->update_time[1]) return -1;
            return c->update_time[1] > c->update_time[0] ? 1 : 0;
        default:
            return -1;
    }
}

// ---- Index routines ----------------------------------------------------------------------------

int64_t get_seq_from_ix(const int* ix, const int* size, int dim) {
    int64_t seq = 0, mul = 1;
    for (int d = 0; d < dim; d++) {
        seq += ix[d] * mul;
        mul *= size[d];
    }
    return seq;
}

void get_ix_from_seq(int* target, const int* size, int64_t seq, int dim) {
    for (int d = 0; d < dim; d++) {
        target[d] = size[d] ? static_cast<int>(seq % size[d]) : 0;
        seq = size[d] ? seq / size[d] : 0;
    }
}

int inc_ix(int* ix, const int* st, const int* inc, const int* size, int dim) {
    for (int d = 0; d < dim; d++) {
        ix[d] += inc[d];
        if (ix[d] < size[d]) return 0;
        ix[d] = st ? st[d] : 0;
    }
    return 1;
}

int inc_dim_code_ix(int64_t* ix, const int64_t* st, const int64_t* inc, const int64_t* size,
                    int dim) {
    for (int d = 1; d <= dim; d++) {
        ix[d] += inc[d];
        if (ix[d] < size[d]) return 0;
        ix[d] = st ? st[d] : 0;
    }
    return 1;
}

void* get_vdata_from_sexp(QV_SEXP* s) {
    switch (get_type(s)) {
        case QVT_PTR:
            return s->ptr.ptr;
        case QVT_RAW:
            return s->raw.data;
        default:
            return nullptr;
    }
}

void check_bit(int ch, void* d) {
    if (ch != 9 || !d) return;
    int b = *static_cast<uint8_t*>(d);
    if (b) ss_printf("CB %i\n", b);
}
