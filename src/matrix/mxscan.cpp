#include "matrix/mxscan.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "matrix/mxfile.h"
#include "stream/sprintf.h"

std::atomic<int64_t> ind_time{0};

namespace {

MX_SCAN_PROGRESS progress_hooks{};
SEM progress_hooks_lock = nullptr;

// A copy of the progress hooks, read once per scan.
MX_SCAN_PROGRESS progress() {
    if (!progress_hooks_lock) return {};
    TaskLockGuard g(progress_hooks_lock);
    return progress_hooks;
}

// Clears the low bits of x below `shift` (toward minus infinity).
int64_t align(int64_t x, int shift) {
    return x & ~mx_axis_shift_mask(shift);
}

// x plus one span of 2^shift, saturating at the largest code.
int64_t add_span(int64_t x, int shift) {
    if (shift >= 63) return INT64_MAX;
    int64_t r;
    if (__builtin_add_overflow(x, int64_t{1} << shift, &r)) return INT64_MAX;
    return r;
}

// Aligns start and end (dim + 1 values) to `level` into s and e, e one span past the end.
void aligned_range(MATRIX* m, const int64_t* start, const int64_t* end, int64_t level, int64_t* s,
                   int64_t* e) {
    s[0] = e[0] = level;
    for (int d = 0; d < m->p.dim; d++) {
        int sh = mx_node_shift(m, level, d);
        s[d + 1] = align(start[d + 1], sh);
        e[d + 1] = add_span(align(end[d + 1], sh), sh);
    }
}

bool inside(MATRIX* m, const int64_t* dc, const int64_t* s, const int64_t* e) {
    for (int d = 1; d <= m->p.dim; d++)
        if (dc[d] < s[d] || dc[d] >= e[d]) return false;
    return true;
}

void report(SCAN_CALL_WORK* w) {
    MX_SCAN_PROGRESS p = progress();
    if (w->prog_id >= 0 && p.set) p.set(w->prog_id, nullptr, w->d_processed_total, 0);
}

// Asks for the scan's slot on n and waits until that run has ended: the group's scan byte, or
// 156 when the node's token is gone without setting it (nothing else would).
uint8_t run_slot(MATRIX_NODE* n, int access) {
    int g = access / 3;
    uint8_t* b = &n->scan_call[g];
    TaskLockGuard lk(matrix_lock);
    _matrix_trigger_access(n, access, 1);
    while (*b == 0) {
        if (!n->process_token) {
            *b = 156;
            break;
        }
        new_timeout(b, 1);
        mx_sleep(b);
        del_timeout(b);
    }
    return *b;
}

void set_scan_byte(MATRIX_NODE* n, int access, uint8_t v) {
    TaskLockGuard lk(matrix_lock);
    n->scan_call[access / 3] = v;
}

// The children list and the node of one visit, released on every way out.
struct Visit {
    MX_DIM_CODE_LIST* children = nullptr;
    MATRIX_NODE* n = nullptr;
    ~Visit() {
        free_mx_dim_code_list(children);
        if (n) unlock_node(n, nullptr);
    }
};

// Steps 2 and 3 of a stored-node visit: the children and the node held; 0 or the look-up code.
int take_node(MATRIX* m, int64_t* dc, Visit& v, bool trace) {
    // A scan loads every node it visits: the loaded-node budget is kept before each, while the
    // scan holds only the nodes above this one, so memory follows the budget, not the matrix.
    mx_keep_budget();
    int err = 0;
    v.children = get_children_list(&err, m, dc, MI_FETCH_1_TP, 1, nullptr);
    if (err) {
        if (trace) ss_printf("CLIST ERR %i\n", err);
        return err;
    }
    MATRIX_NODE* n = get_matrix_node(&err, m, dc, MI_FETCH_1_TP, nullptr, nullptr);
    if (err) {
        if (trace) ss_printf("GMN ERR %i\n", err);
        return err;
    }
    v.n = n;
    return 0;
}

int call_back(SCAN_CALL_WORK* w, int64_t* dc, MATRIX_NODE* n) {
    if (!w->func) return 0;
    MATRIX_SCAN_T mst{};
    mst.dim_code = dc;
    mst.m = w->m;
    mst.n = n;
    mst.work = w->work;
    int r = w->func(&mst);
    return r < 0 ? r : 0;
}

// Visits the children of a stored node that lie in the range aligned to the node's level; the
// others count as done at once. A stop ends the loop; another failure is kept and the loop goes
// on. The caller puts back its share afterwards.
int visit_children(SCAN_CALL_WORK* w, Visit& v, int64_t level,
                   int (*visit)(int64_t*, SCAN_CALL_WORK*)) {
    MATRIX* m = w->m;
    std::vector<int64_t> s(m->p.dim + 1), e(m->p.dim + 1);
    aligned_range(m, w->start, w->end, level, s.data(), e.data());
    int cnt = get_mx_list_length(v.children);
    if (cnt > 0) w->d_total /= cnt;
    int res = 0;
    for (MX_DIM_CODE_LIST* c = v.children; c; c = c->next) {
        if (!inside(m, c->dc, s.data(), e.data())) {
            w->d_processed_total += w->d_total;
            report(w);
            continue;
        }
        int r = visit(c->dc, w);
        if (r == MXE_SCAN_STOPPED) return r;
        if (r < 0) res = r;
    }
    return res;
}

}  // namespace

void set_matrix_scan_progress(const MX_SCAN_PROGRESS* p) {
    static std::once_flag once;
    std::call_once(once, [] { new_lock(&progress_hooks_lock); });
    TaskLockGuard g(progress_hooks_lock);
    progress_hooks = p ? *p : MX_SCAN_PROGRESS{};
}

int mx_file_sync_create_node(MATRIX* m) {
    // The wait is bounded by time: a writer wakes a node at every release of its channels, so a
    // count of wake-ups would end the wait within milliseconds beside an import.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(MX_SYNC_WAIT_SECONDS);
    TaskLockGuard g(matrix_lock);
    for (;;) {
        if (m->mode != 1 || (m->flags & 2)) return -1;
        _flush_all_dirty_file(m);
        const MATRIX_NODE* found = nullptr;
        for (int b = 0; !found && b < m->node_hash_size; b++)
            for (MATRIX_NODE* n = m->node_hash[b]; n && !found; n = n->nh_next)
                if (n->dirty_file_time || n->status < MS_OK) found = n;
        if (!found) return 0;
        // Nodes that stay unsaved or unfinished past the bound (a save that keeps failing, a
        // node nobody makes, a writer that never stops) end the wait rather than holding the
        // caller for ever.
        if (std::chrono::steady_clock::now() >= deadline) return MX_SYNC_BUSY;
        new_timeout(found, 1);
        mx_sleep(found);
        del_timeout(found);
    }
}

int64_t get_loop_amount(MATRIX* m, const int64_t* start, const int64_t* end, const int64_t* dc) {
    int dim = m->p.dim;
    int64_t l0 = dc[0];
    std::vector<int64_t> lo(dim), hi(dim);
    for (int d = 0; d < dim; d++) {
        int sh = mx_node_shift(m, l0, d);
        int64_t o = align(dc[d + 1], sh);
        lo[d] = std::max(o, start[d + 1]);
        hi[d] = std::min(add_span(o, sh), end[d + 1]);
    }
    uint64_t total = 0;
    for (int64_t l = l0; l >= 0; l--) {
        uint64_t cells = 1;
        for (int d = 0; d < dim; d++) {
            int sh = mx_node_shift(m, l, d);
            int64_t a = align(lo[d], sh);
            int64_t b = hi[d] > align(hi[d], sh) ? add_span(align(hi[d], sh), sh) : hi[d];
            // A range that misses the node counts no cells (never a negative count).
            if (b <= a) {
                cells = 0;
                break;
            }
            int ld = static_cast<int>(std::min<int64_t>(63, l * m->dim_divide[d]));
            cells *= static_cast<uint64_t>(b - a) >> ld;
        }
        total += cells;
    }
    return static_cast<int64_t>(total);
}

// ---- Stored-node scan --------------------------------------------------------------------------

int _scan_pre_call(int64_t* dc, SCAN_CALL_WORK* w) {
    MATRIX* m = w->m;
    ss_printf("pre-call %s\n", pt_dc(m, dc, 1));
    Visit v;
    int r = take_node(m, dc, v, true);
    if (r) return r;
    set_scan_byte(v.n, w->access, 0);
    double share = w->d_total;
    int res = visit_children(w, v, dc[0], _scan_pre_call);
    w->d_total = share;
    if (res == MXE_SCAN_STOPPED) return res;
    if (run_slot(v.n, w->access) == 131) return MXE_SCAN_STOPPED;
    r = call_back(w, dc, v.n);
    if (r < 0) return r;
    if (!v.children) {
        w->d_processed_total += share;
        report(w);
    }
    return res;
}

int _scan_post_call(int64_t* dc, SCAN_CALL_WORK* w) {
    MATRIX* m = w->m;
    Visit v;
    int r = take_node(m, dc, v, false);
    if (r) return r;
    set_scan_byte(v.n, w->access, 0);
    if (run_slot(v.n, w->access) == 131) return MXE_SCAN_STOPPED;
    r = call_back(w, dc, v.n);
    if (r < 0) return r;
    double share = w->d_total;
    int res = visit_children(w, v, dc[0], _scan_post_call);
    w->d_total = share;
    if (res == MXE_SCAN_STOPPED) return res;
    if (!v.children) {
        w->d_processed_total += share;
        report(w);
    }
    return res;
}

int matrix_scan(MATRIX* m, int dir, int access, const int64_t* start, const int64_t* end,
                MATRIX_SCAN_FUNC func, void* work) {
    if (!m || access < 0 || access >= MX_CAL_SLOTS || !start || !end) return MXE_RANGE;
    int sync = mx_file_sync_create_node(m);
    if (sync < 0) return sync == MX_SYNC_BUSY ? MXE_BUSY : MXE_NOT_OPEN;
    MxCreateNode create(m, "disable");
    int dim = m->p.dim;
    std::vector<int64_t> s(start, start + dim + 1), e(end, end + dim + 1);
    SCAN_CALL_WORK w{};
    w.m = m;
    w.access = access;
    w.start = s.data();
    w.end = e.data();
    w.func = func;
    w.work = work;
    w.dir = dir;
    w.d_total = 1.0;
    w.prog_id = -1;
    MX_SCAN_PROGRESS p = progress();
    if (p.open) {
        L_CHAR* desc = nl_copy_str(std_cm, "MATRIX SCAN");
        L_CHAR* file = nl_copy_str(std_cm, ".progressive");
        L_CHAR* stage = nl_copy_str(std_cm, "MATRIX SCAN(LEVELING)");
        w.prog_id = p.open(desc, file, 0);
        if (w.prog_id >= 0) {
            int sid = p.stage ? p.stage(w.prog_id, stage, -1, 0) : -1;
            if (p.next) p.next(w.prog_id, sid, 1.0, 0);
        }
        d_f_ree(desc);
        d_f_ree(file);
        d_f_ree(stage);
    }

    int64_t top = m->total_levels - 1;
    std::vector<int64_t> ts(dim + 1), te(dim + 1);
    aligned_range(m, start, end, top, ts.data(), te.data());
    std::vector<int64_t> from(dim + 1, 0), last;
    from[0] = top;
    int result = 0;
    for (bool first = true;; first = false) {
        int err = 0;
        MX_DIM_CODE_LIST* batch = mx_search_level_node(&err, m, from.data(), 100);
        if (err < 0) {
            result = err;
            break;
        }
        MX_DIM_CODE_LIST* c = batch;
        if (!first && c && cmp_dim_code(m, c->dc, last.data()) == 0) c = c->next;
        if (!c) {
            free_mx_dim_code_list(batch);
            break;
        }
        for (; c; c = c->next) {
            last.assign(c->dc, c->dc + dim + 1);
            if (!inside(m, c->dc, ts.data(), te.data())) continue;
            int r = dir == 0 ? _scan_pre_call(c->dc, &w) : _scan_post_call(c->dc, &w);
            if (r < 0) result = r;
        }
        free_mx_dim_code_list(batch);
        from = last;
    }

    if (w.prog_id >= 0) {
        if (p.next) p.next(w.prog_id, 0, 0.0, 0);
        if (p.close) p.close(w.prog_id, 0);
    }
    return result;
}

// ---- Forced scan -------------------------------------------------------------------------------

int _scan_call_loading(int64_t* dc, SCAN_CALL_WORK* w, MATRIX_SCAN_T* mst) {
    w->node_lock = 0;
    w->ch_lock = 0;
    if (mst->loading_type != 1 && mst->loading_type != 2) er_panic("_scan_call_loading");
    int err = 0;
    MATRIX_NODE* n = get_matrix_node_wait(&err, w->m, dc, mst->gn_create);
    if (mst->loading_type == 1) {
        mst->n = n;
        mst->channel = 0;
        if (!err) w->node_lock = 1;
        return err;
    }
    if (err) return err;
    MATRIX_NODE* cn = nullptr;
    void* data = get_matrix_node_channel(&err, &cn, w->m, dc, mst->channel, mst->gn_tree_node,
                                         mst->gn_create, nullptr, 0);
    // Only the tree walk (type 1) holds the node it returns; for another type the look-up's hold
    // is the one the visit counts and releases, so it is kept. Releasing it as well would take a
    // hold away from another user of the node.
    if (err || mst->gn_tree_node == 1) unlock_node(n, nullptr);
    if (err) return err;
    mst->channel_data = data;
    mst->n = cn;
    w->node_lock = 1;
    w->ch_lock = 1;
    return 0;
}

int _scan_call_force(int64_t* dc, SCAN_CALL_WORK* w) {
    MATRIX* m = w->m;
    int dim = m->p.dim;
    // As in the stored-node scan: the nodes this walk holds stay, the others may go.
    mx_keep_budget();
    {
        // Each text is copied before the next is made.
        std::string a = pt_dc(m, dc, 1), b = pt_dc(m, w->start, 1), c = pt_dc(m, w->end, 1);
        ss_printf("call-force %s %s %s\n", a.c_str(), b.c_str(), c.c_str());
    }
    MATRIX_SCAN_T mst{};
    mst.dim_code = dc;
    mst.m = m;
    mst.work = w->work;
    int node_holds = 0, ch_locks = 0;
    auto load = [&]() {
        int r = _scan_call_loading(dc, w, &mst);
        node_holds += w->node_lock;
        ch_locks += w->ch_lock;
        return r;
    };
    auto phase = [&](int ph) {
        if (!w->func) return 0;
        mst.dir = ph;
        int r = w->func(&mst);
        return r < 0 ? r : 0;
    };
    int res = 0;
    int bits = 0;
    bool descended = false;
    if (w->func) {
        mst.dir = 0;
        bits = w->func(&mst);
        if (bits < 0) return bits;
    }
    if (bits & MX_SCAN_LOAD_BEFORE) {
        res = load();
        ss_printf("ERR? %i\n", res);
        if (res < 0) goto end;
    }
    if ((res = phase(1)) < 0) goto end;
    if (dc[0] >= 1 && (bits & MX_SCAN_DESCEND)) {
        descended = true;
        int64_t l = dc[0];
        std::vector<int64_t> s(dim + 1), e(dim + 1), inc(dim + 1), pos(dim + 1);
        aligned_range(m, w->start, w->end, l - 1, s.data(), e.data());
        for (int d = 0; d < dim; d++) {
            int sh = mx_node_shift(m, l, d), csh = mx_node_shift(m, l - 1, d);
            int64_t o = align(dc[d + 1], sh);
            s[d + 1] = std::max(s[d + 1], o);
            e[d + 1] = std::min(e[d + 1], add_span(o, sh));
            inc[d + 1] = csh >= 63 ? INT64_MAX : int64_t{1} << csh;
        }
        pos = s;
        pos[0] = l - 1;
        do {
            std::vector<int64_t> child = pos;
            int r = _scan_call_force(child.data(), w);
            if (r < 0) {
                res = r;
                break;
            }
        } while (!inc_dim_code_ix(pos.data(), s.data(), inc.data(), e.data(), dim));
    }
    {
        int r = phase(2);
        if (r < 0) {
            res = r;
            goto end;
        }
    }
    if (bits & MX_SCAN_LOAD_AFTER) {
        int r = load();
        if (r < 0) {
            res = r;
            goto end;
        }
    }
    {
        int r = phase(3);
        if (r < 0) {
            res = r;
            goto end;
        }
    }
    {
        int64_t cells = 1;
        if (!descended) {
            cells = get_loop_amount(m, w->start, w->end, dc);
        } else {
            int bs = 0;
            for (int d = 0; d < dim; d++)
                bs += m->block_size[d];
            cells = bs >= 63 ? INT64_MAX : int64_t{1} << bs;
        }
        w->processed_total += cells;
        int64_t now = get_qvtime();
        if (ind_time.exchange(now) != now)
            ss_printf("TOTAL = %lli / %lli %f\n", static_cast<long long>(w->processed_total),
                      static_cast<long long>(w->loop_total),
                      w->loop_total ? w->processed_total * 100.0 / w->loop_total : 0.0);
    }
end:
    if (mst.n) {
        for (; ch_locks > 0; ch_locks--)
            matrix_node_channel_unlock(mst.n, mst.dirty_flags);
        for (; node_holds > 0; node_holds--)
            unlock_node(mst.n, nullptr);
    }
    return res;
}

int matrix_scan_force(MATRIX* m, int access, const int64_t* start, const int64_t* end,
                      MATRIX_SCAN_FUNC func, void* work) {
    if (!m || access < 0 || access >= MX_CAL_SLOTS || !start || !end) return MXE_RANGE;
    MxCreateNode create(m, "enable");
    int dim = m->p.dim;
    std::vector<int64_t> s(start, start + dim + 1), e(end, end + dim + 1), top(dim + 1, 0);
    top[0] = m->total_levels - 1;
    SCAN_CALL_WORK w{};
    w.m = m;
    w.access = access;
    w.start = s.data();
    w.end = e.data();
    w.func = func;
    w.work = work;
    w.prog_id = -1;
    w.loop_total = get_loop_amount(m, s.data(), e.data(), top.data());
    return _scan_call_force(top.data(), &w);
}
