// The open-matrix registry (see open_mx.h).
#include "geo/open_mx.h"

#include <fcntl.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "lisp/collect.h"
#include "lisp/heap.h"
#include "lisp/parser.h"
#include "matrix/mxfile.h"

namespace {

std::mutex mx_list_mu;  // the list, the counter, every holder count and closing flag
MX_ENTRY* mx_list;      // newest first
int new_id;
uint64_t new_serial;  // entry serials: never reused in a run
// Set when the run ends: no entry is listed from then on.
bool stopping;
// Holds given out and not yet ended (a last holder's close counts until it is over), on every
// entry, listed or not; the end of the run waits on held_cv for them.
int live_holds;
// Never destroyed: tasks may still use it while the process exits.
std::condition_variable& held_cv = *new std::condition_variable;
// Entries whose last holder is closing their matrix now, and closes begun in the run: an opening
// that failed while one ran (the file was still held by the matrix going away) tries again.
int closes_running;
uint64_t closes_begun;
std::condition_variable& closed_cv = *new std::condition_variable;

MX_ENTRY* _search(MATRIX* m) {
    for (MX_ENTRY* e = mx_list; e; e = e->next)
        if (e->c.m == m) return e;
    return nullptr;
}

MX_ENTRY* _search_id(int id) {
    for (MX_ENTRY* e = mx_list; e; e = e->next)
        if (e->id == id) return e;
    return nullptr;
}

void _unlink(MX_ENTRY* e) {
    for (MX_ENTRY** pp = &mx_list; *pp; pp = &(*pp)->next) {
        if (*pp == e) {
            *pp = e->next;
            e->next = nullptr;
            return;
        }
    }
    er_panic("delete_mx_entry");
}

// Element size through the parent's handler for a vector type.
int element_size(MATRIX_DATA_TYPE* tp) {
    MATRIX_DATA_TYPE* s = tp->parent ? tp->parent : tp;
    return s->get_size ? s->get_size(s, nullptr) : 0;
}

// The last holder's part of closing: the cache, the matrix (dirty nodes written), the record.
void finish_entry(MX_ENTRY* e) {
    check_mx_entry(e);
    flush_mx_cache(&e->c, 0);
    mxc_close(&e->c);
    MATRIX* m = e->c.m;
    if (e->c.access_ch) d_f_ree(e->c.access_ch);
    if (e->p.data_ix) d_f_ree(e->p.data_ix);
    d_f_ree(e);
    if (m) close_matrix(m);
}

// The open work that open_mxread hands to the matrix store for the open method.
struct GMX_WORK {
    MX_ENTRY* e;
    int phase_mode;
};

// The default loading calibration: load the node from the file and finish as MS_OK, or as
// MS_PROCESS_ERR_1 when loading fails.
const char kDefaultLoadCal[] =
    "<mxFinish\n"
    "\tnormal-jump-status=\"MS_OK\"\n"
    "\terr-jump-status=\"MS_PROCESS_ERR_1\"/>\n"
    "<mxLoad target=\"file\"/>\n";

// Installs the default loading calibration in the three fetch slots: 0, or -1.
int install_default_load(MATRIX* m) {
    gc_push(nullptr, nullptr, "install_default_load");
    QV_SEXP* s = read_qv_items(kDefaultLoadCal);
    realize_whole(s);
    int r = set_matrix_cal(m, MI_FETCH_1_TP, s);
    if (r == 0) r = set_matrix_cal_equ(m, MI_FETCH_1_TP + 1, MI_FETCH_1_TP);
    if (r == 0) r = set_matrix_cal_equ(m, MI_FETCH_1_TP + 2, MI_FETCH_1_TP);
    gc_pop(nullptr, nullptr);
    return r < 0 ? -1 : 0;
}

// Installs the calibrations of a read-only opening: 0, or -1 when they cannot be had.
int install_read_cal(MATRIX* m, int phase_mode) {
    if (phase_mode < 0) return install_default_load(m);
    QV_SEXP* cals[MX_CAL_SLOTS];
    gc_push(nullptr, nullptr, "install_read_cal");
    int r = load_mode_cal(cals, nullptr, m, phase_mode);
    // The texts are installed, the stored priorities are not: the parameters are already set.
    for (int i = 0; i < MX_CAL_SLOTS && r == 0; i++)
        if (set_matrix_cal(m, i, cals[i]) < 0) r = -1;
    // A file that stores no fetch text for the mode (its writer set its scripts live only) would
    // fetch no node at all: its nodes are loaded from the file as with the default.
    bool no_fetch = r == 0;
    for (int i = MI_FETCH_1_TP; i <= MI_FETCH_1_TP + 2 && no_fetch; i++)
        no_fetch = cals[i] == nullptr;
    gc_pop(nullptr, nullptr);
    if (r == 0 && no_fetch) r = install_default_load(m);
    return r < 0 ? -1 : 0;
}

// Runs on the matrix store's queue as the matrix's opening token.
void open_mxread_method(MATRIX_TOKEN* t) {
    MATRIX* m = t->wait_matrix;
    // The work lives on the stack of the open_mxread that waits for this method.
    auto* w = static_cast<GMX_WORK*>(m->open_work);
    m->open_work = nullptr;
    if (load_matrix_header(m, O_RDONLY, 0644) < 0) {
        set_matrix_mode(m, 2);
        return;
    }
    MATRIX_PARAM p{};
    p.read_file = matrix_standard_read_file;
    p.close_file = close_matrix_file;
    if (set_matrix_param(m, &p) < 0) er_panic("setup error");
    // The calibrations come before the entry: a failed matrix is freed by its last holder, and
    // an entry listed for it would leave its id naming freed memory.
    if (install_read_cal(m, w ? w->phase_mode : -1) < 0) {
        set_matrix_mode(m, 2);
        return;
    }
    MX_ENTRY* e = search_mx_entry(m);
    if (!e) e = new_mx_entry(nullptr, m);
    if (w) w->e = e;
    release_mx_entry(e);
    set_matrix_mode(m, 1);
}

}  // namespace

MX_ENTRY* open_mxread(const L_CHAR* neturl, const L_CHAR* filename, const L_CHAR* key,
                      int phase_mode, bool* made) {
    if (made) *made = false;
    // An opening that meets an entry's close (the matrix found open but its entry gone, or the
    // file still held by the matrix going away) waits for that close and tries again: a few
    // rounds, each bounded.
    for (int round = 0; round < 4; round++) {
        uint64_t begun = mx_entry_closes_begun();
        GMX_WORK w{nullptr, phase_mode};
        MATRIX* m = open_matrix_held(neturl, filename, key, open_mxread_method, &w);
        if (!m) return nullptr;
        wait_matrix_mode(m);
        // The mode is read without the store's lock: another holder's close may be setting it.
        bool open = mx_ld(m->mode) == 1;
        MX_ENTRY* e = open ? search_mx_entry(m) : nullptr;
        release_matrix(m);
        if (e) {
            if (made) *made = w.e == e;
            return e;
        }
        if (!wait_mx_entry_closes(begun)) return nullptr;
    }
    return nullptr;
}

uint64_t mx_entry_closes_begun() {
    std::lock_guard<std::mutex> g(mx_list_mu);
    return closes_begun;
}

bool wait_mx_entry_closes(uint64_t begun) {
    std::unique_lock<std::mutex> g(mx_list_mu);
    if (closes_running == 0 && closes_begun == begun) return false;
    closed_cv.wait_for(g, std::chrono::seconds(10), [] { return closes_running == 0; });
    return true;
}

void close_mx_entry_if_alone(MX_ENTRY* e, bool made) {
    if (made) {
        std::lock_guard<std::mutex> g(mx_list_mu);
        e->transient = true;
    }
    release_mx_entry(e);
}

void keep_mx_entry(MX_ENTRY* e) {
    std::lock_guard<std::mutex> g(mx_list_mu);
    e->kept = true;
}

MX_ENTRY* search_mx_entry(MATRIX* m) {
    std::lock_guard<std::mutex> g(mx_list_mu);
    MX_ENTRY* e = _search(m);
    if (e) {
        e->holders++;
        live_holds++;
    }
    return e;
}

MX_ENTRY* search_mx_entry_by_id(int id) {
    std::lock_guard<std::mutex> g(mx_list_mu);
    MX_ENTRY* e = id > 0 ? _search_id(id) : nullptr;
    if (e) {
        e->holders++;
        live_holds++;
    }
    return e;
}

// One hold ended (mx_list_mu held): the end of the run is told when it waits for them.
void _hold_ended() {
    live_holds--;
    if (stopping) held_cv.notify_all();
}

void release_mx_entry(MX_ENTRY* e) {
    if (!e) return;
    {
        std::lock_guard<std::mutex> g(mx_list_mu);
        if (--e->holders > 0 || (!e->closing && (!e->transient || e->kept))) {
            _hold_ended();
            return;
        }
        // A transient entry's last holder closes it: unlisted here, so no look-up takes it again.
        if (!e->closing) {
            e->closing = true;
            if (e->id > 0) _unlink(e);
            e->id = 0;
        }
        closes_running++;
        closes_begun++;
    }
    finish_entry(e);
    std::lock_guard<std::mutex> g(mx_list_mu);
    _hold_ended();
    if (--closes_running == 0) closed_cv.notify_all();
}

int regist_mx_entry(MX_ENTRY* e) {
    std::lock_guard<std::mutex> g(mx_list_mu);
    e->serial = ++new_serial;
    // Once the run ends nothing is listed: no look-up reaches a matrix about to be freed.
    if (stopping || _search(e->c.m)) return -1;
    // Ids grow and are not reused while the counter grows; past INT_MAX they start again at 1,
    // skipping ids in use.
    do {
        new_id = new_id < 1 || new_id == INT_MAX ? 1 : new_id + 1;
    } while (_search_id(new_id));
    e->id = new_id;
    e->next = mx_list;
    mx_list = e;
    return 0;
}

void delete_mx_entry(MX_ENTRY* e) {
    std::lock_guard<std::mutex> g(mx_list_mu);
    _unlink(e);
}

MX_ENTRY* new_mx_entry(MX_ENTRY* e, MATRIX* m) {
    if (!e) {
        e = static_cast<MX_ENTRY*>(d_alloc(sizeof(MX_ENTRY)));
        memset(e, 0, sizeof *e);
        e->c.m = m;
    }
    m = e->c.m;
    int n = m->p.channel_nos > 0 ? m->p.channel_nos : 0;
    e->c.access_ch = static_cast<int*>(d_alloc((n ? n : 1) * sizeof(int)));
    e->p.data_ix =
        static_cast<MX_CACHE_PARAM_IX*>(d_alloc((n ? n : 1) * sizeof(MX_CACHE_PARAM_IX)));
    e->c.gn_tree_node = 0;
    e->c.gn_create = MI_FETCH_1_TP;
    e->c.gn_wait = MI_FETCH_1_TP;
    e->p.c = &e->c;
    int k = 0;
    for (int ch = 0; ch < n; ch++) {
        MATRIX_DATA_TYPE* tp = m->channel_info ? m->channel_info[ch].data_type : nullptr;
        if (!tp) continue;
        e->c.access_ch[k] = ch;
        // The buffer by element size; a size of none of these skips the channel in reads.
        MX_CACHE_PARAM_IX ix{65535, 65535};
        switch (element_size(tp)) {
            case 1:
                ix = {0, static_cast<uint16_t>(ch)};
                break;
            case 2:
                ix = {1, static_cast<uint16_t>(ch)};
                break;
            case 4:
                ix = {2, static_cast<uint16_t>(ch)};
                break;
            case 8:
                ix = {3, static_cast<uint16_t>(ch)};
                break;
            default:
                break;
        }
        e->p.data_ix[k] = ix;
        k++;
    }
    e->c.ds_len = k;
    mxc_setup(&e->c);
    {
        std::lock_guard<std::mutex> g(mx_list_mu);
        e->holders = 1;
        live_holds++;
    }
    regist_mx_entry(e);
    return e;
}

void check_mx_entry(MX_ENTRY* e) {
    int n = e->c.m ? e->c.m->p.channel_nos : 0;
    for (int k = 0; k < e->c.ds_len; k++)
        if (e->c.access_ch[k] < 0 || e->c.access_ch[k] >= n) er_panic("check_mxlist");
}

int close_mx_entry(MX_ENTRY* e) {
    int r = 0;
    {
        std::lock_guard<std::mutex> g(mx_list_mu);
        if (e->closing) {
            r = -1;
        } else {
            e->closing = true;
            // An unlisted entry (a second one for a listed matrix) has nothing to unlink.
            if (e->id > 0) _unlink(e);
            e->id = 0;
        }
    }
    release_mx_entry(e);
    return r;
}

int mx_entry_count() {
    std::lock_guard<std::mutex> g(mx_list_mu);
    int n = 0;
    for (MX_ENTRY* e = mx_list; e; e = e->next)
        n++;
    return n;
}

int mx_entry_holders() {
    std::lock_guard<std::mutex> g(mx_list_mu);
    int n = 0;
    for (MX_ENTRY* e = mx_list; e; e = e->next)
        n += e->holders;
    return n;
}

int close_all_mx_entry(int wait_ms) {
    std::vector<MX_ENTRY*> mine;
    std::unique_lock<std::mutex> g(mx_list_mu);
    stopping = true;
    // Every listed entry is unlisted and closing, held by this call meanwhile: its matrix stays
    // while other holders finish the calls they are in, and no new call finds it.
    for (MX_ENTRY* e = mx_list; e; e = e->next) {
        e->closing = true;
        e->id = 0;
        e->holders++;
        live_holds++;
        mine.push_back(e);
    }
    mx_list = nullptr;
    auto others = [&] { return live_holds > static_cast<int>(mine.size()); };
    held_cv.wait_for(g, std::chrono::milliseconds(wait_ms), [&] { return !others(); });
    int left = live_holds - static_cast<int>(mine.size());
    std::vector<MATRIX*> busy;
    for (MX_ENTRY* e : mine)
        if (e->holders > 1 && e->c.m) busy.push_back(e->c.m);
    g.unlock();
    // A holder that does not let go in time keeps its matrix: the store never frees a held
    // matrix (its close gives up), so the holder's calls go on over live memory until the end.
    // This call's own hold keeps each of these matrices alive until it is taken.
    for (MATRIX* m : busy)
        hold_matrix(m);
    // The last holder closes each entry: this call for the idle ones, the others when their call
    // ends.
    for (MX_ENTRY* e : mine)
        release_mx_entry(e);
    return left;
}

void set_mx_entry_counter(int v) {
    std::lock_guard<std::mutex> g(mx_list_mu);
    new_id = v;
}
