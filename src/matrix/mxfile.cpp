#include "matrix/mxfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/tick.h"
#include "base/ufile.h"
#include "lisp/parser.h"
#include "longchar/longchar.h"
#include "matrix/compact_code.h"
#include "matrix/mxscan.h"
#include "matrix/mxtransfer.h"
#include "pdb/l_favt64.h"
#include "pdb/pagecache.h"
#include "pdb/recordlist64.h"
#include "stream/sprintf.h"

namespace {

SEM mx_file_lock = nullptr;  // guards ownership, the work list and the open count
MX_FILE_WORK* works = nullptr;
int open_files = 0;
constexpr uint32_t MX_IDLE_SECONDS = 299;
constexpr int MX_OPEN_FILES_MAX = 499;
// Bounds on what a header may declare, far above any matrix in use.
// Room for a dimension code of any dimension count a header may give (mx_bounds.h's bound is
// lower).
constexpr int MX_MAX_DIM = 64;
static_assert(MX_MAX_DIM >= mx_bounds[MXB_DIM].hi);

MX_CALL_LOCK_HOOKS call_lock_hooks{};

MX_FILE_WORK* work_of(MATRIX* m) {
    return static_cast<MX_FILE_WORK*>(m->file_work);
}

// ---- Records ----------------------------------------------------------------------------------

// A record buffer: the 16-byte header in file order, then the payload. The record may go on in
// pieces held elsewhere (`tail`, kept alive by `keep`); then the header's size counts them too
// and nothing is appended.
struct Rec {
    std::vector<uint8_t> b;
    std::vector<PDB64_PIECE> tail;
    std::shared_ptr<RECORD_LIST64> keep;
    explicit Rec(uint16_t type, size_t payload = 0) : b(PN64_HEADER_SIZE + payload, 0) {
        pn64_set(b.data(), type, b.size());
    }
    uint64_t size() const { return pn64_size(b.data()); }
    uint8_t* payload() { return b.data() + PN64_HEADER_SIZE; }
    void append(const void* p, size_t n) {
        auto* q = static_cast<const uint8_t*>(p);
        b.insert(b.end(), q, q + n);
        pn64_set(b.data(), pn64_type(b.data()), b.size());
    }
    void pad_to(size_t size, uint8_t fill) {
        if (b.size() < size) b.resize(size, fill);
        pn64_set(b.data(), pn64_type(b.data()), b.size());
    }
};

// A record read from the file: the buffer (PN64_HEADER + payload) with its type and payload
// length checked against what the buffer holds.
struct Read {
    uint8_t* rec = nullptr;
    ~Read() {
        if (rec) d_f_ree(rec);
    }
    bool load(PDB64* p, int64_t fofs, uint16_t type) {
        if (fofs <= 0) return false;
        rec = static_cast<uint8_t*>(l_read_filespace64f(p, fofs));
        return rec && pn64_type(rec) == type && pn64_size(rec) >= PN64_HEADER_SIZE;
    }
    const uint8_t* payload() const { return rec + PN64_HEADER_SIZE; }
    int64_t len() const { return static_cast<int64_t>(pn64_size(rec)) - PN64_HEADER_SIZE; }
};

// The type of the record at fofs, or -1.
int type_at(PDB64* p, int64_t fofs) {
    if (fofs <= 0) return -1;
    void* h = l_read_filespace64f_header(p, fofs);
    if (!h) return -1;
    int t = pn64_type(h);
    d_f_ree(h);
    return t;
}

// Whether the record at fofs is a node record whose body is all zeros: space an earlier build
// placed for a node's first save and named in the tree before the node's bytes were written, the
// writer then killed. A written node record always holds its code's end mark, never all zeros.
bool unfinished_node(PDB64* p, int64_t fofs) {
    Read r;
    if (!r.load(p, fofs, MX_REC_NODE)) return false;
    return std::all_of(r.payload(), r.payload() + r.len(), [](uint8_t b) { return b == 0; });
}

// Says on standard error that the node record at fofs of the file name was never written.
void report_unfinished(const char* name, int64_t fofs) {
    fprintf(
        stderr,
        "matrix %s: the node at %lld was never saved (its record is empty); taken as not stored\n",
        name, static_cast<long long>(fofs));
}

// Releases the record at fofs when it is of the given type (never another record).
void release(PDB64* p, int64_t fofs, uint16_t type) {
    if (fofs > 0 && type_at(p, fofs) == type) l_free_filespace64(p, fofs);
}

// The order of one save's writes on the file. The process may die between any two host writes
// of a flush, so what a finished save left there must stay readable until the save that replaces
// it has reached the file whole: records it gives up are only released (their space reused or
// the file cut) once the flush that stops pointing at them is done, and records placed anew are
// on the file before anything is rewritten in place to point at them.
struct SaveOrder {
    PDB64* p;
    std::vector<std::pair<int64_t, uint16_t>> released;  // released once the save's flush is done
    bool placed = false;  // a record was placed anew since the last flush

    // Releases fofs (when of that type) after the flush.
    void release_later(int64_t fofs, uint16_t type) {
        if (fofs > 0) released.emplace_back(fofs, type);
    }
    // Before a record that may point at new ones is rewritten in place: 0 or -1.
    int before_rewrite() {
        if (!placed) return 0;
        placed = false;
        return l_flush_filespace64(p) < 0 ? -1 : 0;
    }
    // The save's last flush, then the releases and their own flush: 0 or -1.
    int finish() {
        if (l_flush_filespace64(p) < 0) return -1;
        if (released.empty()) return 0;
        for (auto [fofs, type] : released)
            release(p, fofs, type);
        released.clear();
        return l_flush_filespace64(p) < 0 ? -1 : 0;
    }
};

// Writes r at old when a record of its type and size stands there, else releases old (when it
// is of that type) and writes r at new space: the offset, or -1. With order, the release waits
// for the save's flush and a rewrite in place for the records placed before it.
int64_t put_record(PDB64* p, int64_t old, Rec& r, SaveOrder* order = nullptr) {
    uint16_t type = pn64_type(r.b.data());
    if (r.tail.empty() && r.b.size() < 24) r.pad_to(24, 0);
    auto write = [&](int64_t at) {
        return l_write_filespace64f_pieces(p, static_cast<uint64_t>(at), r.b.data(), r.b.size(),
                                           r.tail) < 0
                   ? -1
                   : at;
    };
    if (old > 0) {
        void* h = l_read_filespace64f_header(p, old);
        bool same = h && pn64_type(h) == type && pn64_size(h) == r.size();
        if (h) d_f_ree(h);
        if (same) {
            // A refused flush still leaves the record written in the cache, as without order.
            int flushed = order ? order->before_rewrite() : 0;
            int64_t at = write(old);
            return flushed < 0 ? -1 : at;
        }
        if (order)
            order->release_later(old, type);
        else
            release(p, old, type);
    }
    // New space is reserved and written in one step (a record at the file's end in one write).
    int64_t at = l_put_filespace64_pieces(p, r.b.data(), r.b.size(), r.tail);
    if (order) order->placed = true;
    return at <= 0 ? -1 : at;
}

// ---- Subheader --------------------------------------------------------------------------------

void put_subheader(Rec& r, const MX_SUBHEADER& s) {
    uint8_t* q = r.payload();
    for (int i = 0; i < 3 * MX_CAL_SLOTS; i++)
        put_be32(q + i * 4, static_cast<uint32_t>(s.pri[i]));
    for (int i = 0; i < 3 * MX_CAL_SLOTS; i++)
        put_be64(q + 288 + i * 8, static_cast<uint64_t>(s.cal_fofs[i]));
    put_be64(q + 864, s.node_root);
    put_be64(q + 872, s.cache_next);
    put_be64(q + 880, s.cache_prev);
    put_be32(q + 888, s.cache_count);
    put_be32(q + 892, s.flags);
}

void get_subheader(MX_SUBHEADER& s, const uint8_t* q) {
    for (int i = 0; i < 3 * MX_CAL_SLOTS; i++)
        s.pri[i] = static_cast<int32_t>(get_be32(q + i * 4));
    for (int i = 0; i < 3 * MX_CAL_SLOTS; i++)
        s.cal_fofs[i] = static_cast<int64_t>(get_be64(q + 288 + i * 8));
    s.node_root = static_cast<int64_t>(get_be64(q + 864));
    s.cache_next = static_cast<int64_t>(get_be64(q + 872));
    s.cache_prev = static_cast<int64_t>(get_be64(q + 880));
    s.cache_count = static_cast<int32_t>(get_be32(q + 888));
    s.flags = static_cast<int32_t>(get_be32(q + 892));
}

int write_subheader(MX_FILE_WORK* w) {
    Rec r(MX_REC_SUBHEADER, MX_SUBHEADER_PAYLOAD);
    put_subheader(r, w->sh);
    return l_write_filespace64f(w->pdb, w->subheader_fofs, r.b.data()) < 0 ? -1 : 0;
}

int read_subheader(MX_FILE_WORK* w) {
    Read r;
    if (!r.load(w->pdb, w->subheader_fofs, MX_REC_SUBHEADER) || r.len() != MX_SUBHEADER_PAYLOAD)
        return -1;
    get_subheader(w->sh, r.payload());
    return 0;
}

bool writable(const MX_FILE_WORK* w) {
    return (w->oflags & O_ACCMODE) != O_RDONLY;
}

// ---- Opening and closing ----------------------------------------------------------------------

// The call lock's name: the file's absolute name, so that agents started in other directories
// meet on it.
L_CHAR* lock_name(const MX_FILE_WORK* w) {
    std::string n = w->name;
    if (n.empty() || n[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd)) n = std::string(cwd) + "/" + n;
    }
    return l_string(std_cm, n.c_str());
}

// Takes the call lock before an opening, when a lock server is there (w owned). A read-only
// opening asks for a read lock, so that agents that only read the file share it; a writer's is a
// write lock.
void take_call_lock(MX_FILE_WORK* w, MATRIX* m) {
    if (!call_lock_hooks.lock || w->lock_d) return;
    {
        TaskLockGuard g(mx_file_lock);
        w->lock_taking = true;
    }
    int seq = 0;
    void* d = call_lock_hooks.lock(lock_name(w), writable(w), mx_file_lock_event, m, &seq);
    TaskLockGuard g(mx_file_lock);
    w->lock_d = d;
    w->lock_seq = d ? seq : 0;
    w->lock_taking = false;
    wakeup_task(&works);
}

// The server may ask for a lock back as soon as it grants it, before the opening that asked has
// recorded the lock's number: an event whose number no work holds waits while any opening is
// still taking its lock (each ends within its request's bound).
void wait_for_lock_numbers(int seq) {
    lock_task(mx_file_lock);
    for (;;) {
        bool taking = false;
        MX_FILE_WORK* w = works;
        for (; w && w->lock_seq != seq; w = w->next)
            taking = taking || w->lock_taking;
        if (w || !taking) break;
        sleep_task(&works, mx_file_lock);
        lock_task(mx_file_lock);
    }
    unlock_task(mx_file_lock, "wait_for_lock_numbers");
}

void release_call_lock(MX_FILE_WORK* w) {
    void* d = nullptr;
    {
        TaskLockGuard g(mx_file_lock);
        d = w->lock_d;
        w->lock_d = nullptr;
        w->lock_seq = 0;
    }
    if (d && call_lock_hooks.unlock) call_lock_hooks.unlock(d);
}

// Closes the record file; the open flag is cleared, or with refused set put back as found (a
// refused opening leaves the file as it was).
void close_work(MX_FILE_WORK* w, bool refused = false) {
    if (!w->pdb) {
        release_call_lock(w);
        return;
    }
    if (writable(w) && w->subheader_fofs) {
        int32_t flags = refused ? w->flags_found : w->sh.flags & ~1;
        if (flags != w->sh.flags) {
            w->sh.flags = flags;
            write_subheader(w);
        }
    }
    l_close_filespace64(w->pdb);
    {
        PdbLockGuard g;
        w->pdb = nullptr;
    }
    // Until it opens again another process may write the file: what was read before is old.
    if (w->m) mx_st(w->m->file_epoch, mx_ld(w->m->file_epoch) + 1);
    {
        TaskLockGuard g(mx_file_lock);
        open_files--;
    }
    release_call_lock(w);
}

// Whether no writer holds the record file open at fd (the shared lock is granted, and given
// back at once).
bool writer_gone(int fd) {
    if (u_flock(fd, LOCK_SH | LOCK_NB) != 0) return false;
    u_flock(fd, LOCK_UN);
    return true;
}

int check_node_tree(MX_FILE_WORK* w);
bool tree_past_end(MX_FILE_WORK* w);
bool tree_lost(MX_FILE_WORK* w);
bool tree_made(MX_FILE_WORK* w);
bool unmade(MX_FILE_WORK* w);
int drop_unsaved(MX_FILE_WORK* w);

// Opens the record file of w; an existing matrix file has its header and subheader found and its
// open flag checked. creating: the file is new and holds no matrix yet.
int open_work(MX_FILE_WORK* w, bool creating, MATRIX* m) {
    bool first = !w->header_fofs;
    take_call_lock(w, m);
    ss_printf("_start_file_access %s %p\n", w->name, static_cast<void*>(m));
    errno = 0;
    {
        PdbLockGuard g;
        w->pdb = open_filespace64(w->name, w->oflags, 0644, static_cast<int32_t>(0x80000000),
                                  MX_FILE_TYPE, "utf8");
    }
    if (!w->pdb) {
        int e = errno;
        release_call_lock(w);
        if (e == EWOULDBLOCK || e == EAGAIN) {
            // A live writer holds the file: at the first opening this is the open flag found set
            // (a writer always has it set), at a later one the reopening refused.
            ss_printf(first && !creating ? "************ DESTROY-3 1\n"
                                         : "************ DESTROY-4\n");
            return MXF_DAMAGED;
        }
        ss_printf("A %s\n", w->name);
        return MXF_CANNOT_OPEN;
    }
    {
        TaskLockGuard g(mx_file_lock);
        open_files++;
    }
    // The handle's free-list check is left to the record store, which keeps a file whose free
    // list is misplaced readable (refusing only allocation) rather than stopping on it.
    if (creating) {
        ss_printf("C\n");
        return 0;
    }
    auto refuse = [w](const char* line) {
        ss_printf("%s", line);
        int64_t sub = w->subheader_fofs;
        w->subheader_fofs = 0;  // nothing of the file is written on the way out
        close_work(w, true);
        // A later opening reads the subheader where it was: a reader refused while a writer held
        // the file reads it again once the writer is gone.
        w->subheader_fofs = sub;
        return MXF_DAMAGED;
    };
    // A matrix file whose making was cut short (its header, subheader or node tree never reached
    // the file whole) and that holds nothing a save finished is no matrix yet: a writer's
    // opening empties it, so that the creation that follows makes it anew.
    auto empty_unmade = [w, &refuse](const char* line) {
        ss_printf("matrix file %s: its making was cut short and it holds no saved node; emptied\n",
                  w->name);
        w->header_fofs = w->subheader_fofs = 0;
        if (l_truncate_filespace64(w->pdb) < 0) return refuse(line);
        close_work(w, true);
        return MXF_DAMAGED;
    };
    auto refuse_or_empty = [w, first, &refuse, &empty_unmade](const char* line) {
        return first && writable(w) && unmade(w) ? empty_unmade(line) : refuse(line);
    };
    if (!w->header_fofs) {
        uint64_t at = 0;
        void* h = nullptr;
        {
            PdbLockGuard g;
            h = get_file_record64(&at, w->pdb, static_cast<int16_t>(MX_REC_HEADER), 0);
        }
        if (!h) return refuse_or_empty("************ DESTROY-1\n");
        bool ok = pn64_size(h) >= PN64_HEADER_SIZE + 32;
        if (ok)
            w->subheader_fofs =
                static_cast<int64_t>(get_be64(static_cast<uint8_t*>(h) + PN64_HEADER_SIZE + 24));
        d_f_ree(h);
        if (!ok) return refuse_or_empty("************ DESTROY-1\n");
        w->header_fofs = static_cast<int64_t>(at);
    }
    if (read_subheader(w) < 0) return refuse_or_empty("************ DESTROY-2\n");
    w->flags_found = w->sh.flags;
    // A node tree of another kind is a root the making placed but never committed.
    if (first && writable(w) && !tree_made(w) && unmade(w))
        return empty_unmade("************ DESTROY-3\n");
    // The record store's lock is ours, so a set flag was left by a process that died. The node
    // tree stands as its last commit left it; a tree that no longer walks (a machine's crash)
    // would lose saved nodes one lookup at a time, so the file is refused whole (and left as it
    // is) instead. Recovery comes before the checks below: records of a save that never
    // committed are no damage.
    // (The record file's flag tells it too: a writer killed before its first flush set only that.)
    bool stopped = writable(w) && ((w->sh.flags & 1) || w->pdb->taken_over);
    if (stopped) {
        ss_printf("matrix file %s: open flag of a stopped process cleared\n", w->name);
        if (check_node_tree(w) != 0 || drop_unsaved(w) < 0)
            return refuse("************ DESTROY-3\n");
    }
    // An empty node tree in a file that holds stored nodes lost its top link: every read would
    // give defaults and a write would orphan the old nodes.
    if (first && tree_lost(w)) return refuse("************ DESTROY-3\n");
    // A reader that finds the open flag set asks the writers' lock whether a writer holds the
    // file: one that does changes the file in place, so the file is refused as it is; when none
    // does, a process that died left the flag, and the file is read.
    if (!writable(w) && (w->sh.flags & 1) && !writer_gone(w->pdb->fid)) {
        char line[48];
        snprintf(line, sizeof line, "************ DESTROY-3 %x\n",
                 static_cast<unsigned>(w->sh.flags));
        return refuse(line);
    }
    if (!writable(w)) {
        ss_printf("C\n");
        return 0;
    }
    if (!stopped && first && tree_past_end(w)) {
        // A file cut short (or otherwise damaged) names nodes it no longer holds: a writer would
        // make them anew as default cells and build on the loss, so it is refused as it is.
        return refuse("************ DESTROY-3\n");
    }
    w->sh.flags |= 1;
    if (write_subheader(w) < 0) return refuse("************ DESTROY-2\n");
    ss_printf("C\n");
    return 0;
}

// Takes ownership of w for this task (waiting for another owner to release every level).
void own(MX_FILE_WORK* w) {
    int me = get_tid();
    lock_task(mx_file_lock);
    while (w->owner && w->owner != me) {
        sleep_task(w, mx_file_lock);
        lock_task(mx_file_lock);
    }
    w->owner = me;
    w->depth++;
    unlock_task(mx_file_lock, "own");
}

void disown(MX_FILE_WORK* w) {
    TaskLockGuard g(mx_file_lock);
    if (--w->depth == 0) {
        w->owner = 0;
        wakeup_task(w);
    }
}

MX_FILE_WORK* new_work(MATRIX* m, int oflags) {
    auto* w = static_cast<MX_FILE_WORK*>(d_calloc(1, sizeof(MX_FILE_WORK)));
    const char* name = n_string(std_cm, m->filename);
    w->name = static_cast<char*>(d_alloc(strlen(name) + 1));
    strcpy(w->name, name);
    w->oflags = oflags;
    w->m = m;
    TaskLockGuard g(mx_file_lock);
    w->next = works;
    works = w;
    return w;
}

void free_work(MATRIX* m) {
    MX_FILE_WORK* w = work_of(m);
    if (!w) return;
    {
        TaskLockGuard g(mx_file_lock);
        for (MX_FILE_WORK** pp = &works; *pp; pp = &(*pp)->next) {
            if (*pp == w) {
                *pp = w->next;
                break;
            }
        }
    }
    m->file_work = nullptr;
    d_f_ree(w->name);
    d_f_ree(w);
}

// ---- Codes and the node tree ------------------------------------------------------------------

// Reads up to dim + 1 values of a code known to be well formed (entries pass mx_dim_code_endian,
// keys are built here); the count read.
int read_code(int64_t* v, int max, const uint8_t* p) {
    int n = 0;
    const uint8_t* end = p + max * COMPACT_CODE_MAX + 1;
    while (*p != COMPACT_DIM_END && n < max) {
        p = get_uncompressed_code64_n(&v[n], p, end);
        if (!p) break;
        n++;
    }
    return n;
}

std::vector<uint8_t> tree_key(MATRIX* m, int64_t fofs, const int64_t* dc) {
    std::vector<uint8_t> k(8 + (m->p.dim + 1) * COMPACT_CODE_MAX + 1);
    memcpy(k.data(), &fofs, 8);  // host order in memory: the tree converts on file
    k.resize(get_compressed_dim_code(k.data() + 8, dc, m->p.dim) - k.data());
    return k;
}

int64_t entry_fofs(const void* data) {
    int64_t v;
    memcpy(&v, data, 8);
    return v;
}

// The node tree's root, null when it cannot be read. Record-store lock held.
FAVT64_ROOT* node_root(MX_FILE_WORK* w) {
    int err = 0;
    return get_root64(&err, w->pdb, w->sh.node_root, mx_dim_code_endian);
}

int collect_entry(FAVT64_NODE* e, void* work) {
    auto* v = static_cast<std::vector<int64_t>*>(work);
    v->push_back(e->data_len >= 8 ? entry_fofs(e->data) : 0);
    return 0;
}

// The record offsets of every entry of w's node tree in *entries: false when the tree cannot be
// walked (its root or a node cannot be read).
bool node_tree_entries(MX_FILE_WORK* w, std::vector<int64_t>* entries) {
    int err = 0;
    PdbLockGuard g;
    FAVT64_ROOT* root = node_root(w);
    FAVT64_NODE* top = root ? root_node64(&err, root) : nullptr;
    if (!root) return false;
    if (top && err >= 0) favt64_trace_from_small(&err, root, top, collect_entry, entries);
    return err >= 0;
}

// Walks the whole node tree of w: 0 when every entry is reached and names a node record, -4 (its
// fault printed) when the tree cannot be walked or an entry names something else.
int check_node_tree(MX_FILE_WORK* w) {
    std::vector<int64_t> entries;
    if (!node_tree_entries(w, &entries)) {
        ss_printf("%s: node tree cannot be walked\n", w->name);
        return -4;
    }
    for (int64_t fofs : entries) {
        if (type_at(w->pdb, fofs) != MX_REC_NODE) {
            ss_printf("%s: tree entry names %lli, no node record\n", w->name,
                      static_cast<long long>(fofs));
            return -4;
        }
        // An entry an earlier build committed before its node's bytes: the node was never saved,
        // and reads and saves take it so.
        if (unfinished_node(w->pdb, fofs)) report_unfinished(w->name, fofs);
    }
    return 0;
}

// Whether the node tree of w names records past the end of the file, or cannot be walked for
// want of its own records: the file was cut short. Nothing is read beyond the tree.
bool tree_past_end(MX_FILE_WORK* w) {
    struct stat st;
    if (fstat(w->pdb->fid, &st) != 0) return true;
    std::vector<int64_t> entries;
    bool past = !node_tree_entries(w, &entries);
    for (int64_t fofs : entries)
        // The least node record: a 4-byte header and an 8-byte channel link.
        if (fofs <= 0 || fofs > st.st_size - 12) past = true;
    if (past) ss_printf("%s: node tree names nodes past the end of the file\n", w->name);
    return past;
}

// Whether the node tree of w is empty while the file holds a node record or a tree node: the
// records of stored nodes that the tree no longer reaches. A tree that cannot be read is left to
// the checks that walk it.
bool tree_lost(MX_FILE_WORK* w) {
    int err = 0;
    PdbLockGuard g;
    FAVT64_ROOT* root = node_root(w);
    if (!root || root_node64(&err, root) || err < 0) return false;
    for (uint16_t type : {MX_REC_NODE, PN64_TREE_NODE_TYPE}) {
        void* r = get_file_record64(nullptr, w->pdb, static_cast<int16_t>(type), PN64_HEADER_SIZE);
        if (r) {
            d_f_ree(r);
            ss_printf("%s: node tree empty beside stored nodes\n", w->name);
            return true;
        }
    }
    return false;
}

// Whether the node tree of w is there as the making leaves it: a root of the node tree's kind.
bool tree_made(MX_FILE_WORK* w) {
    PdbLockGuard g;
    FAVT64_ROOT* root = node_root(w);
    return root && root->type == MX_TREE_TYPE;
}

// The positions of the records of the given types in w's file, walking its whole chain: false
// when the chain cannot be walked to the end.
bool records_of(MX_FILE_WORK* w, std::initializer_list<uint16_t> types, std::vector<int64_t>* out) {
    PdbLockGuard g;
    PDB64* p = w->pdb;
    int64_t end = fac_lseek(&p->fac, 0, SEEK_END);
    if (end < 0) return false;
    for (uint64_t pos = PN64_FIRST_RECORD; pos < static_cast<uint64_t>(end);) {
        PDB64_PHYS ph;
        if (pdb64_read_phys(p, pos, &ph) != 0 || ph.len == 0) return false;
        if (std::find(types.begin(), types.end(), ph.type) != types.end())
            out->push_back(static_cast<int64_t>(pos));
        pos += ph.len;
    }
    return true;
}

// Whether w's file is a matrix file that a writer killed while making it left (its open flag
// found set, or the file still empty and its header made by this opening) holding nothing any
// save finished: no node record, no channel record, no node tree entry, and a record chain that
// walks whole (a file damaged in its chain may hold nodes beyond the damage). A file cut short
// after a clean close is damage, and is left as it is.
bool unmade(MX_FILE_WORK* w) {
    PN64_FILE_HEADER h{};
    {
        PdbLockGuard g;
        if (!(w->pdb->taken_over || w->pdb->made) || w->pdb->freelist_broken ||
            read_file_header64(w->pdb, &h) != 0 || h.type != MX_FILE_TYPE)
            return false;
    }
    std::vector<int64_t> saved;
    return records_of(w, {MX_REC_NODE, MX_REC_DATA, PN64_TREE_NODE_TYPE}, &saved) && saved.empty();
}

// After a writer that died: when the committed node tree is empty no node save of the file ever
// finished, and the node records, channel records, child lists and cache ring entries the file
// holds are what a save placed before the commit that would have named them: they are given
// back, and the cache ring emptied. 0, or -1 when they cannot be.
int drop_unsaved(MX_FILE_WORK* w) {
    {
        int err = 0;
        PdbLockGuard g;
        FAVT64_ROOT* root = node_root(w);
        if (!root) return -1;
        if (root_node64(&err, root) || err < 0) return 0;
    }
    std::vector<int64_t> unsaved;
    if (!records_of(w, {MX_REC_NODE, MX_REC_DATA, MX_REC_DIM_ADDR, MX_REC_CACHE_RING}, &unsaved))
        return -1;
    if (unsaved.empty()) return 0;
    for (int64_t fofs : unsaved)
        if (l_free_filespace64(w->pdb, static_cast<uint64_t>(fofs)) != 0) return -1;
    w->sh.cache_next = w->sh.cache_prev = w->subheader_fofs;
    w->sh.cache_count = 0;
    ss_printf("matrix file %s: %zu records of a save that never finished freed\n", w->name,
              unsaved.size());
    return write_subheader(w) < 0 || l_flush_filespace64(w->pdb) < 0 ? -1 : 0;
}

// ---- Data records -----------------------------------------------------------------------------

// The record holding an element's net form behind `prefix` zero bytes, padded to the least
// record size. When the converter's pieces are its own copies they become the record's tail as
// they are (an element can be large: it is not copied into one buffer again); pieces that point
// into the element, which may change once the store's lock is released, and a short net form
// that needs padding are copied in.
Rec net_record(uint16_t type, size_t prefix, MATRIX_DATA_TYPE* tp, void* d) {
    std::shared_ptr<RECORD_LIST64> rl(new_recordlist64(0, 0), free_recordlist64);
    tp->convert_to_net(tp, rl.get(), d);
    Rec r(type, prefix);
    uint64_t total = r.b.size();
    bool owned = true;
    for (CHAIN_LIST64* c = rl->chain_head; c; c = c->next) {
        if (c->len > 0) total += static_cast<uint64_t>(c->len);
        if (c->len > 0 && !c->free_flag) owned = false;
    }
    bool copy = total < 24 || !owned;
    for (CHAIN_LIST64* c = rl->chain_head; c; c = c->next) {
        if (c->len <= 0) continue;
        if (copy)
            r.append(c->ptr, static_cast<size_t>(c->len));
        else
            r.tail.push_back({c->ptr, static_cast<uint64_t>(c->len)});
    }
    if (copy) {
        r.pad_to(24, 0);
    } else {
        pn64_set(r.b.data(), type, total);
        r.keep = std::move(rl);
    }
    return r;
}

// Writes a node's channel record (made by net_record with a 12-byte prefix) with its chain link
// and channel id filled in: its offset, or -1.
int64_t save_data(PDB64* p, int64_t old, Rec& r, int64_t next, int id, SaveOrder* order) {
    put_be64(r.payload(), static_cast<uint64_t>(next));
    put_be32(r.payload() + 8, static_cast<uint32_t>(id));
    return put_record(p, old, r, order);
}

// The header record of m's parameters, with the given default offsets and subheader offset.
Rec header_record(MATRIX* m, int64_t subheader_fofs) {
    int dim = m->p.dim;
    Rec r(MX_REC_HEADER, 32);
    uint8_t* q = r.payload();
    put_be32(q, m->p.channel_nos);
    put_be32(q + 4, dim);
    put_be32(q + 8, m->p.flags);
    put_be32(q + 12, m->p.total_levels);
    put_be64(q + 16, m->p.modify_time);
    put_be64(q + 24, subheader_fofs);
    r.append(m->dim_divide, dim);
    r.append(m->block_size, dim);
    for (int d = 0; d < dim; d++) {
        uint8_t c[COMPACT_CODE_MAX];
        r.append(c, get_compressed_code64(c, m->pixel_size[d]) - c);
    }
    for (int ch = 0; ch < m->p.channel_nos; ch++) {
        const MATRIX_CHANNEL_INFO& ci = m->channel_info[ch];
        uint8_t c[12] = {};
        if (ci.data_type) {
            put_be16(c, static_cast<uint16_t>(ci.data_type->type));
            put_be16(c + 2, static_cast<uint16_t>(ci.flags));
            put_be64(c + 4, static_cast<uint64_t>(ci.default_data_fofs));
        }
        r.append(c, 12);
    }
    return r;
}

}  // namespace

// ---- Access -----------------------------------------------------------------------------------

void init_mx_file() {
    if (mx_file_lock) return;
    new_lock(&mx_file_lock);
    new_tick([](intptr_t, int) { mx_close_idle_files(); }, 150, 0);
}

int mx_start_file_access(MATRIX* m) {
    MX_FILE_WORK* w = work_of(m);
    if (!w) return MXF_CANNOT_OPEN;
    own(w);
    if (!w->pdb) {
        int r = open_work(w, false, m);
        if (r < 0) {
            disown(w);
            return r;
        }
    }
    w->last_access = matrix_now();
    return 0;
}

void mx_finish_file_access(MATRIX* m) {
    if (MX_FILE_WORK* w = work_of(m)) disown(w);
}

void finish_file_access_with_wait(MATRIX* m, const void* wait_key) {
    MX_FILE_WORK* w = work_of(m);
    {
        TaskLockGuard g(mx_file_lock);
        if (!w || w->owner != get_tid() || w->depth != 1) er_panic("finish_file_access_with_wait");
    }
    disown(w);
    mx_sleep(wait_key);
}

PDB64* get_mx_file_pfd(MATRIX* m) {
    MX_FILE_WORK* w = work_of(m);
    return w ? w->pdb : nullptr;
}

void set_mx_call_lock_hooks(const MX_CALL_LOCK_HOOKS* h) {
    call_lock_hooks = h ? *h : MX_CALL_LOCK_HOOKS{};
}

namespace {

// Before a hand-over: the changes of the matrix whose file holds the call lock seq are saved, so
// the agent taking the file over reads them and never builds on older nodes. The matrix is
// found under matrix_lock (its file work is then alive, and it with it) and comes back held
// (release_matrix), null when nothing of it is to be saved.
MATRIX* save_before_hand_over(int seq) {
    MATRIX* m = nullptr;
    {
        TaskLockGuard g(matrix_lock);
        {
            TaskLockGuard f(mx_file_lock);
            MX_FILE_WORK* w = works;
            while (w && w->lock_seq != seq)
                w = w->next;
            // The lock's number is recorded before the file opens: an opening still under way
            // reads nodes that are then changed like any others, so its matrix goes through the
            // same saves and waits (a save waits for the opening to end).
            if (w && w->m && writable(w)) m = w->m;
        }
        if (!m || (m->mode != 1 && m->mode != 3)) return nullptr;
        m->access_lock++;
        if (m->mode != 1) return m;
        int64_t left = _mx_save_changes(m);
        if (left > 0)
            fprintf(stderr, "matrix %s: %lld changed nodes could not be saved before a hand-over\n",
                    m->filename ? n_string(std_cm, m->filename) : "", static_cast<long long>(left));
    }
    return m;
}

// How many times a hand-over saves again the changes its agent made meanwhile, and how long it
// waits for the tasks that hold nodes of the matrix, before it gives the file up all the same.
constexpr int HAND_OVER_SAVES = 64;
constexpr auto HAND_OVER_WAIT = std::chrono::seconds(5);

// Whether a changed node of m that has not failed to save is ready, so that a save round has
// something to write (matrix_lock held).
bool ready_changes(MATRIX* m) {
    for (MATRIX_NODE* n = m->dirty_head; n; n = n->dirty_next)
        if (!n->save_failed && n->status == MS_OK) return true;
    return false;
}

}  // namespace

void mx_file_lock_event(int seq, void*) {
    if (seq <= 0 || !mx_file_lock) return;
    wait_for_lock_numbers(seq);
    MATRIX* m = save_before_hand_over(seq);
    int me = get_tid();
    MX_FILE_WORK* w = nullptr;
    // Edits of nodes in memory take neither the file nor its call lock, and a node changed here
    // after the file is given up would be saved later over what the other agent writes there
    // meanwhile, or written on an older copy of it. So the file is given up only with no change
    // left unsaved and no node of the matrix held, all under matrix_lock (taken before the file,
    // never held while waiting for it): the nodes in memory first count as read before the file,
    // so that a look-up without matrix_lock no longer takes them, and once the file is closed a
    // look-up reads each of them again from what the other agent left. A closing matrix saves its
    // changes itself; the hand-over waits for them.
    int saves = 0;
    auto wait_until = std::chrono::steady_clock::now() + HAND_OVER_WAIT;
    auto pause = std::chrono::microseconds(500);
    for (;;) {
        enum { TAKE, SAVE, WAIT } next = TAKE;
        {
            std::optional<TaskLockGuard> ml;
            if (m) ml.emplace(matrix_lock);
            lock_task(mx_file_lock);
            for (w = works; w && w->lock_seq != seq; w = w->next) {
            }
            if (w && w->owner && w->owner != me) {
                if (ml) {
                    // Waits for the owner without matrix_lock, then looks again.
                    unlock_task(mx_file_lock, "mx_file_lock_event");
                    ml.reset();
                    lock_task(mx_file_lock);
                }
                while (w->owner && w->owner != me) {
                    sleep_task(w, mx_file_lock);
                    lock_task(mx_file_lock);
                }
                unlock_task(mx_file_lock, "mx_file_lock_event");
                continue;
            }
            if (w && m && (m->mode == 1 || m->mode == 3)) {
                bool changes = m->dirty_cnt > m->dirty_failed;
                bool waits = std::chrono::steady_clock::now() < wait_until;
                // A save round counts only when a changed node is ready to be saved: one still
                // being loaded or made is waited for, else the rounds would run out in a
                // moment with nothing saved and the file would go with those changes in it.
                if (changes && m->mode == 1 && saves < HAND_OVER_SAVES && ready_changes(m))
                    next = SAVE;
                else if (waits && (changes || _mx_nodes_in_use(m)))
                    next = WAIT;
                // Only now, not at every round: a node read meanwhile is read again otherwise,
                // and the hand-over would outrun the reader for good. A look-up without
                // matrix_lock that took a node before the count changed is seen by the check.
                if (next == TAKE) {
                    mx_st(m->file_epoch, mx_ld(m->file_epoch) + 1);
                    if (waits && _mx_nodes_in_use(m)) next = WAIT;
                }
            }
            if (w && next == TAKE) {
                w->owner = me;
                w->depth++;
            }
            unlock_task(mx_file_lock, "mx_file_lock_event");
        }
        if (next == WAIT) {
            // Looks again after a pause that grows to 50 ms: the holders are many kinds of
            // tasks, not all of which wake a waiter when they let go, and the bound is kept by
            // the clock alone.
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::microseconds(50000));
        }
        if (next == TAKE) break;
        if (next == SAVE) {
            saves++;
            TaskLockGuard g(matrix_lock);
            if (m->mode == 1) _mx_save_changes(m);
        }
    }
    if (m) {
        // Only the bound gives the file up with changes made on nodes read before (nodes made
        // since count the new opening): they are saved later on what this agent read then, over
        // what the other agent may write meanwhile, so they are said on standard error.
        int64_t left = 0;
        {
            TaskLockGuard g(matrix_lock);
            for (MATRIX_NODE* n = m->dirty_head; n; n = n->dirty_next)
                if (!n->save_failed && n->file_epoch != mx_ld(m->file_epoch)) left++;
        }
        if (left > 0)
            fprintf(stderr, "matrix %s: the file was handed over with %lld changed nodes unsaved\n",
                    m->filename ? n_string(std_cm, m->filename) : "", static_cast<long long>(left));
        release_matrix(m);
    }
    if (!w) return;
    close_work(w);
    disown(w);
}

int matrix_test(MATRIX* m) {
    int r = mx_start_file_access(m);
    if (r < 0) {
        ss_printf("load_matrix_header-1 %i %p %p\n", r, m->file_work, static_cast<void*>(m));
        return r;
    }
    uint64_t at = 0;
    void* h = nullptr;
    {
        PdbLockGuard g;
        h = get_file_record64(&at, work_of(m)->pdb, static_cast<int16_t>(MX_REC_HEADER), 0);
    }
    if (h) d_f_ree(h);
    mx_finish_file_access(m);
    return h ? 0 : MXF_DAMAGED;
}

namespace {
// Access for one scope.
struct Access {
    MATRIX* m;
    int r;
    explicit Access(MATRIX* mm) : m(mm), r(mx_start_file_access(mm)) {}
    ~Access() {
        if (r == 0) mx_finish_file_access(m);
    }
};
}  // namespace

int save_subheader(MATRIX* m, int sfa) {
    if (!sfa && mx_start_file_access(m) < 0) return -1;
    int r = write_subheader(work_of(m));
    if (!sfa) mx_finish_file_access(m);
    return r;
}

int load_subheader(MATRIX* m, int sfa) {
    if (!sfa && mx_start_file_access(m) < 0) return -1;
    int r = read_subheader(work_of(m));
    if (!sfa) mx_finish_file_access(m);
    return r;
}

// ---- Creating and opening ---------------------------------------------------------------------

int save_matrix_header(MATRIX* m) {
    if (!m->filename || m->p.dim <= 0 || !m->dim_divide) return -1;
    // A new matrix file is made where its name says, never through a symbolic link.
    if (!m->file_work) m->file_work = new_work(m, O_RDWR | O_CREAT | O_NOFOLLOW);
    MX_FILE_WORK* w = work_of(m);
    // A file that holds anything is never emptied to make a new matrix.
    struct stat st;
    if (stat(w->name, &st) == 0 && st.st_size > 0) return -1;
    own(w);
    int r = -1;
    if (!w->pdb) {
        w->oflags = O_RDWR | O_CREAT | O_NOFOLLOW;
        w->header_fofs = w->subheader_fofs = 0;
        if (open_work(w, true, m) < 0) {
            disown(w);
            return -1;
        }
    }
    w->oflags = O_RDWR | O_NOFOLLOW;
    PDB64* p = w->pdb;
    do {
        Rec hr = header_record(m, 0);
        PN64_HEADER h{};
        h.type = MX_REC_HEADER;
        h.size = hr.b.size();
        w->header_fofs = l_alloc_filespace64(p, &h);
        if (w->header_fofs <= 0) break;
        bool ok = true;
        for (int ch = 0; ch < m->p.channel_nos && ok; ch++) {
            MATRIX_CHANNEL_INFO& ci = m->channel_info[ch];
            ci.default_data_fofs = 0;
            if (!ci.data_type || !ci.default_data) continue;
            MATRIX_DATA_TYPE* tp = ci.data_type->parent ? ci.data_type->parent : ci.data_type;
            if (!tp->convert_to_net) tp = ci.data_type;
            if (!tp->convert_to_net) continue;
            Rec dr = net_record(MX_REC_DEFAULT, 0, tp, ci.default_data);
            ci.default_data_fofs = put_record(p, 0, dr);
            ok = ci.default_data_fofs > 0;
        }
        if (!ok) break;
        memset(&w->sh, 0, sizeof w->sh);
        h.type = MX_REC_SUBHEADER;
        h.size = PN64_HEADER_SIZE + MX_SUBHEADER_PAYLOAD;
        w->subheader_fofs = l_alloc_filespace64(p, &h);
        if (w->subheader_fofs <= 0) break;
        w->sh.cache_next = w->sh.cache_prev = w->subheader_fofs;
        FAVT64_ROOT* root = l_favt64_alloc_root(p, MX_TREE_TYPE, mx_dim_code_endian);
        if (!root) break;
        w->sh.node_root = static_cast<int64_t>(root->h.fofs);
        w->sh.flags = 1;
        if (write_subheader(w) < 0) break;
        hr = header_record(m, w->subheader_fofs);
        if (l_write_filespace64f(p, w->header_fofs, hr.b.data()) < 0) break;
        if (l_flush_filespace64(p) < 0) break;
        r = 0;
    } while (false);
    w->last_access = matrix_now();
    disown(w);
    return r;
}

bool mx_file_read_only(const MATRIX* m) {
    const auto* w = static_cast<const MX_FILE_WORK*>(m->file_work);
    return w && !writable(w);
}

int load_matrix_header(MATRIX* m, int oflags, int) {
    if (!m->filename) return MXF_NO_NAME;
    if (m->file_work) return MXF_DAMAGED;
    // An existing file is opened as it is: never created empty, never cut.
    m->file_work = new_work(m, oflags & ~(O_CREAT | O_TRUNC));
    MX_FILE_WORK* w = work_of(m);
    int r = mx_start_file_access(m);
    if (r < 0) {
        ss_printf("load_matrix_header-1 %i\n", r);
        free_work(m);
        return r;
    }
    r = MXF_DAMAGED;
    do {
        Read hr;
        if (!hr.load(w->pdb, w->header_fofs, MX_REC_HEADER) || hr.len() < 32) break;
        const uint8_t* q = hr.payload();
        const uint8_t* end = q + hr.len();
        int chs = static_cast<int32_t>(get_be32(q));
        int dim = static_cast<int32_t>(get_be32(q + 4));
        // Every count and size is held to the bounds creation holds it to (matrix/mx_bounds.h):
        // a header changed on disk cannot open a matrix no creation could make.
        if (!mx_in_bounds(MXB_CHANNELS, chs) || !mx_in_bounds(MXB_DIM, dim)) break;
        if (end - q < 32 + 2 * dim) break;
        MATRIX_PARAM par{};
        par.channel_nos = chs;
        par.dim = dim;
        par.flags = static_cast<int32_t>(get_be32(q + 8)) & (MXP_INDEX_HEM | MXP_CACHE_FILE);
        par.total_levels = static_cast<int32_t>(get_be32(q + 12));
        par.modify_time = static_cast<int64_t>(get_be64(q + 16));
        const uint8_t* dd = q + 32;
        const uint8_t* bs = dd + dim;
        const uint8_t* c = bs + dim;
        std::vector<int64_t> pixel(dim);
        bool ok = true;
        int64_t block_bits = 0;
        for (int d = 0; d < dim && ok; d++) {
            c = get_uncompressed_code64_n(&pixel[d], c, end);
            block_bits += bs[d];
            ok = c && mx_in_bounds(MXB_PIXEL, pixel[d]) && mx_in_bounds(MXB_DIVIDE, dd[d]) &&
                 mx_in_bounds(MXB_BLOCK, bs[d]) && mx_in_bounds(MXB_BLOCK_BITS, block_bits);
        }
        if (!ok || end - c != 12 * static_cast<int64_t>(chs)) break;
        std::vector<MATRIX_CHANNEL_INFO> infos(chs);
        for (int ch = 0; ch < chs && ok; ch++, c += 12) {
            int code = static_cast<int16_t>(get_be16(c));
            infos[ch].flags = static_cast<int16_t>(get_be16(c + 2));
            infos[ch].default_data_fofs = static_cast<int64_t>(get_be64(c + 4));
            if (code == 0) continue;
            infos[ch].data_type = get_matrix_data_type(code);
            // A type this build does not know (a newer writer's) leaves the channel unset: the
            // matrix opens with its other channels.
            if (!infos[ch].data_type) infos[ch] = MATRIX_CHANNEL_INFO{};
        }
        if (!ok) break;
        // A far larger count of levels than any pyramid needs is a damaged header, and would
        // allocate a row per level.
        if (!mx_in_bounds(MXB_LEVELS, par.total_levels)) break;
        for (int ch = 0; ch < chs; ch++) {
            MATRIX_CHANNEL_INFO& ci = infos[ch];
            MATRIX_DATA_TYPE* tp = ci.data_type;
            if (tp && ci.default_data_fofs) {
                // A default that cannot be read is left on file and the channel goes without.
                MATRIX_DATA_TYPE* dt = tp->parent && tp->parent->convert_to_host ? tp->parent : tp;
                Read dr;
                if (dt->convert_to_host && dr.load(w->pdb, ci.default_data_fofs, MX_REC_DEFAULT))
                    ci.default_data =
                        dt->convert_to_host(dt, const_cast<uint8_t*>(dr.payload()), dr.len(),
                                            MXA_TRACKED, nullptr, __FILE__, __LINE__);
            }
        }
        // The matrix is filled in without file access held: the store's lock comes first.
        mx_finish_file_access(m);
        if (set_matrix_param(m, &par) == 0) {
            for (int d = 0; d < dim; d++) {
                set_matrix_dim_divide(m, d, dd[d]);
                set_matrix_block_size(m, d, bs[d]);
                set_matrix_pixel_size(m, d, pixel[d]);
            }
            for (int ch = 0; ch < chs; ch++)
                set_matrix_channel_info(m, ch, &infos[ch]);
            // The store keeps its own copies of the defaults.
            for (MATRIX_CHANNEL_INFO& ci : infos) {
                MATRIX_DATA_TYPE* dt =
                    ci.data_type && ci.data_type->parent ? ci.data_type->parent : ci.data_type;
                if (!ci.default_data || !dt) continue;
                if (dt->free_data)
                    dt->free_data(dt, ci.default_data);
                else
                    mxt_free_data(dt, ci.default_data);
            }
            return 0;
        }
        for (MATRIX_CHANNEL_INFO& ci : infos) {
            MATRIX_DATA_TYPE* dt =
                ci.data_type && ci.data_type->parent ? ci.data_type->parent : ci.data_type;
            if (ci.default_data && dt && dt->free_data) dt->free_data(dt, ci.default_data);
        }
        own(w);
    } while (false);
    close_work(w, true);
    mx_finish_file_access(m);
    free_work(m);
    return r;
}

// Closes the file for good. A closed file is not opened again only to be closed, and the file of
// a matrix marked broken is kept as it is (its stored nodes are still good; only the matrix in
// memory is not to be used), never cut to nothing.
void close_matrix_file(MATRIX* m) {
    MX_FILE_WORK* w = work_of(m);
    if (!w) return;
    own(w);
    close_work(w);
    disown(w);
    free_work(m);
}

// ---- Nodes ------------------------------------------------------------------------------------

namespace {

// A node record as read, its parts checked against the matrix.
struct RawNode {
    int64_t channel_fofs = 0, ring_fofs = 0, dim_addr_fofs = 0;
    std::vector<int64_t> dc;
    std::vector<uint8_t> bits;
};

int read_raw_node(RawNode& out, MATRIX* m, PDB64* p, int64_t fofs) {
    Read r;
    if (!r.load(p, fofs, MX_REC_NODE)) return -1;
    const uint8_t* q = r.payload();
    const uint8_t* end = q + r.len();
    bool cache = m->p.flags & MXP_CACHE_FILE;
    int fixed = 8 + (cache ? 8 : 0) + (m->dim_bit_field ? 0 : 8);
    if (end - q < fixed) return -1;
    out.channel_fofs = static_cast<int64_t>(get_be64(q));
    q += 8;
    if (cache) out.ring_fofs = static_cast<int64_t>(get_be64(q)), q += 8;
    if (!m->dim_bit_field) out.dim_addr_fofs = static_cast<int64_t>(get_be64(q)), q += 8;
    out.dc.assign(m->p.dim + 1, 0);
    q = get_uncompressed_dim_code_n(out.dc.data(), q, end, m->p.dim);
    if (!q || end - q < m->dim_bit_field) return -1;
    out.bits.assign(q, q + m->dim_bit_field);
    return 0;
}

// The child codes of a 1541 record.
int read_dim_addr(std::vector<std::vector<int64_t>>& out, MATRIX* m, PDB64* p, int64_t fofs,
                  int64_t* size) {
    Read r;
    if (!r.load(p, fofs, MX_REC_DIM_ADDR)) return -1;
    *size = static_cast<int64_t>(pn64_size(r.rec));
    const uint8_t* q = r.payload();
    const uint8_t* end = q + r.len();
    while (q < end && *q != MX_FILLER) {
        std::vector<int64_t> c(m->p.dim + 1);
        q = get_uncompressed_dim_code_n(c.data(), q, end, m->p.dim);
        if (!q) return -1;
        out.push_back(std::move(c));
    }
    return 0;
}

struct Loaded {
    int id;
    int64_t fofs;
    void* data;
};

void drop_loaded(MATRIX* m, std::vector<Loaded>& v) {
    for (Loaded& l : v) {
        MATRIX_DATA_TYPE* tp = m->channel_info[l.id].data_type;
        if (tp->free_data) tp->free_data(tp, l.data);
    }
    v.clear();
}

// Follows a node's channel chain: ids ascending, each within the matrix and of a known type.
int read_chain(std::vector<Loaded>& out, MATRIX* m, PDB64* p, int64_t fofs) {
    int last = -1;
    while (fofs) {
        // The chain link and id come apart from the element's net form, which is read into a
        // buffer of its own and, where the type can, becomes the element where it lies.
        uint8_t head[PN64_HEADER_SIZE + 12];
        void* body = nullptr;
        uint64_t body_len = 0;
        if (l_read_filespace64f_split(p, fofs, head, 12, &body, &body_len) < 0) return -1;
        std::unique_ptr<void, void (*)(void*)> own(body, [](void* b) { d_f_ree(b); });
        if (pn64_type(head) != MX_REC_DATA) return -1;
        int64_t next = static_cast<int64_t>(get_be64(head + PN64_HEADER_SIZE));
        int id = static_cast<int32_t>(get_be32(head + PN64_HEADER_SIZE + 8));
        if (id <= last || id >= m->p.channel_nos) return -1;
        MATRIX_DATA_TYPE* tp = m->channel_info[id].data_type;
        if (!tp || !tp->convert_to_host) return -1;
        auto len = static_cast<int64_t>(body_len);
        void* v = body && tp->convert_to_host_in_place ? tp->convert_to_host_in_place(tp, body, len)
                                                       : nullptr;
        if (v)
            own.release();
        else
            v = tp->convert_to_host(tp, body ? body : head, len, MXA_TRACKED, nullptr, __FILE__,
                                    __LINE__);
        if (!v) return -1;
        out.push_back({id, fofs, v});
        last = id;
        fofs = next;
    }
    return 0;
}

// The stored entry of the code: its 1542 offset, 0 when not stored, -1 when the tree is damaged.
int64_t find_entry(MX_FILE_WORK* w, MATRIX* m, const int64_t* dc) {
    std::vector<uint8_t> key = tree_key(m, 0, dc);
    PdbLockGuard g;
    FAVT64_ROOT* root = node_root(w);
    if (!root) return -1;
    int err = 0;
    FAVT64_NODE* top = root_node64(&err, root);
    if (err < 0) return -1;
    if (!top) return 0;
    FAVT64_NODE* e = favt64_search(&err, root, top, key.data(), mx_dim_code_cmp, m);
    if (!e) return err == -1 ? 0 : -1;
    return entry_fofs(e->data);
}

}  // namespace

namespace {

// ---- The node cache ring ---------------------------------------------------------------------

int cache_count_max = 10000;

struct Ring {
    int64_t node, next, prev;
};

int ring_read(Ring& r, PDB64* p, int64_t fofs) {
    Read rd;
    if (!rd.load(p, fofs, MX_REC_CACHE_RING) || rd.len() != 24) return -1;
    r.node = static_cast<int64_t>(get_be64(rd.payload()));
    r.next = static_cast<int64_t>(get_be64(rd.payload() + 8));
    r.prev = static_cast<int64_t>(get_be64(rd.payload() + 16));
    return 0;
}

int ring_write(PDB64* p, int64_t fofs, const Ring& r) {
    Rec rec(MX_REC_CACHE_RING, 24);
    put_be64(rec.payload(), static_cast<uint64_t>(r.node));
    put_be64(rec.payload() + 8, static_cast<uint64_t>(r.next));
    put_be64(rec.payload() + 16, static_cast<uint64_t>(r.prev));
    return l_write_filespace64f(p, fofs, rec.b.data()) < 0 ? -1 : 0;
}

// Sets one link of the ring entry at fofs, or of the head (the subheader).
int ring_link(MX_FILE_WORK* w, int64_t fofs, bool next, int64_t to) {
    if (fofs == w->subheader_fofs) {
        (next ? w->sh.cache_next : w->sh.cache_prev) = to;
        return 0;
    }
    Ring r;
    if (ring_read(r, w->pdb, fofs) < 0) return -1;
    (next ? r.next : r.prev) = to;
    return ring_write(w->pdb, fofs, r);
}

// Unlinks the entry at fofs (the record stays): 0 or -1 when the ring is damaged.
int ring_delete(MX_FILE_WORK* w, int64_t fofs, Ring* out) {
    Ring r;
    if (ring_read(r, w->pdb, fofs) < 0 || w->sh.cache_count <= 0) return -1;
    if (out) *out = r;
    // The head's cache_next is the newest entry; an entry's next leads towards older ones.
    if (ring_link(w, r.prev, true, r.next) < 0) return -1;
    if (ring_link(w, r.next, false, r.prev) < 0) return -1;
    w->sh.cache_count--;
    return write_subheader(w);
}

int purge_node(MATRIX* m, MX_FILE_WORK* w, int64_t ring_fofs);

// Puts the entry at fofs at the front (newest), then purges the oldest entries beyond the limit.
int ring_insert(MATRIX* m, MX_FILE_WORK* w, int64_t fofs) {
    Ring r;
    if (ring_read(r, w->pdb, fofs) < 0) return -1;
    int64_t head = w->subheader_fofs;
    r.prev = head;
    r.next = w->sh.cache_count > 0 ? w->sh.cache_next : head;
    if (w->sh.cache_count > 0) {
        if (ring_link(w, r.next, false, fofs) < 0) return -1;
    } else {
        w->sh.cache_prev = fofs;
    }
    w->sh.cache_next = fofs;
    w->sh.cache_count++;
    if (ring_write(w->pdb, fofs, r) < 0 || write_subheader(w) < 0) return -1;
    while (w->sh.cache_count > cache_count_max)
        if (purge_node(m, w, w->sh.cache_prev) < 0) return -1;
    return 0;
}

// Removes the oldest node of the ring from the file: its tree entry and every record of it.
int purge_node(MATRIX* m, MX_FILE_WORK* w, int64_t ring_fofs) {
    PDB64* p = w->pdb;
    Ring r;
    if (ring_delete(w, ring_fofs, &r) < 0) return -1;
    RawNode node;
    if (read_raw_node(node, m, p, r.node) < 0) return -1;
    for (int64_t c = node.channel_fofs, k = 0; c && k < m->p.channel_nos; k++) {
        Read rd;
        if (!rd.load(p, c, MX_REC_DATA) || rd.len() < 12) break;
        int64_t next = static_cast<int64_t>(get_be64(rd.payload()));
        l_free_filespace64(p, c);
        c = next;
    }
    release(p, node.dim_addr_fofs, MX_REC_DIM_ADDR);
    release(p, r.node, MX_REC_NODE);
    release(p, ring_fofs, MX_REC_CACHE_RING);
    std::vector<uint8_t> key = tree_key(m, 0, node.dc.data());
    PdbLockGuard g;
    FAVT64_ROOT* root = node_root(w);
    if (!root) return -1;
    int err = 0;
    FAVT64_NODE* gone = favt64_delete(&err, root, &root->node, key.data(), mx_dim_code_cmp, m);
    if (!gone) return -1;
    favt64_free_node(gone);
    return 0;
}

// What a save writes, taken from the node under the store's lock and the node's channel lock
// before the file is touched:
// the file layer never takes matrix_lock while it holds file access (closing holds them in the
// other order).
struct NodeImage {
    std::vector<int64_t> dc;
    std::vector<uint8_t> bits;
    Rec list{MX_REC_DIM_ADDR};
    std::vector<Rec> data;  // per channel, its record less chain link and id; when `stored`
    std::vector<char> stored;
    std::vector<int64_t> data_fofs;
    int64_t fofs = 0, dim_addr_fofs = 0, ring_fofs = 0;
};

void take_image(NodeImage& s, MATRIX_NODE* n) {
    MATRIX* m = n->matrix;
    int dim = m->p.dim;
    int chs = m->p.channel_nos;
    s.dc.assign(n->dim_code, n->dim_code + dim + 1);
    s.data.assign(chs, Rec(MX_REC_DATA));
    s.stored.assign(chs, 0);
    s.data_fofs.assign(chs, 0);
    for (int ch = 0; ch < chs && n->channel; ch++) {
        s.data_fofs[ch] = n->channel[ch].data_fofs;
        MATRIX_CHANNEL_INFO& ci = m->channel_info[ch];
        void* d = n->channel[ch].data;
        if ((ci.flags & MX_CH_FILE) && d && ci.data_type && ci.data_type->convert_to_net) {
            s.data[ch] = net_record(MX_REC_DATA, 12, ci.data_type, d);
            s.stored[ch] = 1;
        }
    }
    if (m->dim_bit_field && n->nlist_dim_bit_field)
        s.bits.assign(
            n->nlist_dim_bit_field,
            n->nlist_dim_bit_field + std::min(m->dim_bit_field, n->nlist_dim_bit_field_len));
    s.bits.resize(m->dim_bit_field, 0);
    for (int i = 0; !m->dim_bit_field && i < n->nlist_dim_addr_len; i++) {
        uint8_t c[(MX_MAX_DIM + 1) * COMPACT_CODE_MAX + 1];
        s.list.append(c, get_compressed_dim_code(c, n->nlist_dim_addr[i], dim) - c);
    }
    s.list.pad_to(PN64_HEADER_SIZE + 8, MX_FILLER);
    s.fofs = n->fofs;
    s.dim_addr_fofs = n->dim_addr_fofs;
    s.ring_fofs = n->ring_fofs;
}

// Writes the image's records; its offsets then name them. File access held.
int write_image(NodeImage& s, MATRIX* m, MX_FILE_WORK* w) {
    PDB64* p = w->pdb;
    if (!writable(w)) return -1;
    SaveOrder order{p, {}};
    int chs = m->p.channel_nos;
    int dim = m->p.dim;
    bool cache = m->p.flags & MXP_CACHE_FILE;
    // Offsets the node remembers name its records only while its node record is still there
    // with its code: a node the cache ring purged is saved as never stored.
    if (s.fofs > 0) {
        RawNode mine;
        if (read_raw_node(mine, m, p, s.fofs) < 0 ||
            (normalize_dim_code(m, mine.dc.data()),
             _cmp_dim_code(m, mine.dc.data(), s.dc.data())) != 0) {
            s.fofs = s.dim_addr_fofs = s.ring_fofs = 0;
            std::fill(s.data_fofs.begin(), s.data_fofs.end(), 0);
        }
    }
    // A node never stored here whose code is in the file takes over the stored records.
    bool in_tree = s.fofs > 0;
    if (!in_tree) {
        int64_t at = find_entry(w, m, s.dc.data());
        if (at < 0) return -1;
        if (at > 0 && unfinished_node(p, at)) {
            // Its record was placed but never written: the save writes it in place.
            report_unfinished(w->name, at);
            s.fofs = at;
            in_tree = true;
        } else if (at > 0) {
            RawNode old;
            if (read_raw_node(old, m, p, at) < 0) return -1;
            s.fofs = at;
            in_tree = true;
            if (!s.dim_addr_fofs) s.dim_addr_fofs = old.dim_addr_fofs;
            s.ring_fofs = old.ring_fofs;
            for (int64_t c = old.channel_fofs, k = 0; c && k < chs; k++) {
                Read r;
                if (!r.load(p, c, MX_REC_DATA) || r.len() < 12) break;
                int id = static_cast<int32_t>(get_be32(r.payload() + 8));
                int64_t next = static_cast<int64_t>(get_be64(r.payload()));
                if (id >= 0 && id < chs && !s.data_fofs[id])
                    s.data_fofs[id] = c;
                else
                    order.release_later(c, MX_REC_DATA);
                c = next;
            }
        }
    }
    // Channels from the last to the first, so that the chain ascends.
    int64_t next = 0;
    for (int ch = chs - 1; ch >= 0; ch--) {
        if (!s.stored[ch]) {
            // A channel no longer stored gives its record back.
            order.release_later(s.data_fofs[ch], MX_REC_DATA);
            s.data_fofs[ch] = 0;
            continue;
        }
        int64_t at = save_data(p, s.data_fofs[ch], s.data[ch], next, ch, &order);
        if (at < 0) return -1;
        s.data_fofs[ch] = next = at;
    }
    if (!m->dim_bit_field) {
        s.dim_addr_fofs = put_record(p, s.dim_addr_fofs, s.list, &order);
        if (s.dim_addr_fofs < 0) return -1;
    }
    if (cache && s.ring_fofs <= 0) {
        Rec rr(MX_REC_CACHE_RING, 24);
        put_be64(rr.payload(), static_cast<uint64_t>(s.fofs));
        s.ring_fofs = put_record(p, 0, rr);
        if (s.ring_fofs < 0 || ring_insert(m, w, s.ring_fofs) < 0) return -1;
    }
    Rec node(MX_REC_NODE, 8);
    put_be64(node.payload(), static_cast<uint64_t>(next));
    uint8_t f8[8];
    if (cache) {
        put_be64(f8, static_cast<uint64_t>(s.ring_fofs));
        node.append(f8, 8);
    }
    if (!m->dim_bit_field) {
        put_be64(f8, static_cast<uint64_t>(s.dim_addr_fofs));
        node.append(f8, 8);
    }
    uint8_t c[(MX_MAX_DIM + 1) * COMPACT_CODE_MAX + 1];
    node.append(c, get_compressed_dim_code(c, s.dc.data(), dim) - c);
    if (!s.bits.empty()) node.append(s.bits.data(), s.bits.size());
    node.pad_to(24, 0);
    if (!in_tree) {
        // A node saved for the first time is placed with its bytes: the flush that commits its
        // tree entry writes the file's pages before the commit, so no committed entry ever names
        // a node record that is not on the file whole.
        s.fofs = put_record(p, 0, node, &order);
        if (s.fofs <= 0) return -1;
        std::vector<uint8_t> key = tree_key(m, s.fofs, s.dc.data());
        PdbLockGuard g;
        FAVT64_ROOT* root = node_root(w);
        FAVT64_NODE* e =
            root ? favt64_alloc_node(root, key.data(), static_cast<int64_t>(key.size())) : nullptr;
        if (!e) return -1;
        int err = 0;
        FAVT64_NODE* got = favt64_insert(&err, root, &root->node, e, mx_dim_code_cmp, m);
        if (got != e) {
            favt64_free_node(e);
            return -1;
        }
    }
    if (cache) {
        Ring r;
        if (ring_read(r, p, s.ring_fofs) < 0) return -1;
        if (r.node != s.fofs) {
            r.node = s.fofs;
            if (ring_write(p, s.ring_fofs, r) < 0) return -1;
        }
    }
    if (in_tree) {
        int flushed = order.before_rewrite();
        if (l_write_filespace64f(p, s.fofs, node.b.data()) < 0 || flushed < 0) return -1;
    }
    // The pages go to the file now, so that a refused write is seen here and a saved node
    // outlives the process.
    return order.finish();
}

}  // namespace

int save_matrix_node(MATRIX_NODE* n) {
    MATRIX* m = n->matrix;
    NodeImage s;
    bool changed = false;
    uint32_t epoch = 0;
    {
        TaskLockGuard g(matrix_lock);
        // Writers change a node's vectors under its channel lock (a cache holds it while it
        // writes), so the image is taken under it too: it is then one the node held at some
        // moment, never half of a write. Waiting for it gives matrix_lock up meanwhile; the lock
        // is the task's own when the save runs in the task that holds it.
        _matrix_node_channel_lock(n);
        take_image(s, n);
        changed = n->dirty_file_time != 0;
        epoch = n->file_epoch;
        _matrix_node_channel_unlock(n, 0);
    }
    // A node without changes that was read before the file was last closed may be older than
    // what the file holds now (another process may have written it meanwhile): writing it would
    // put the old cells back, so it is left out (a save asked twice comes here after a hand-over).
    if (!changed && epoch != mx_ld(m->file_epoch)) return 0;
    {
        Access a(m);
        if (a.r < 0) return a.r;
        if (!changed && epoch != mx_ld(m->file_epoch)) return 0;
        if (write_image(s, m, work_of(m)) < 0) return -1;
        epoch = mx_ld(m->file_epoch);
    }
    TaskLockGuard g(matrix_lock);
    mx_st(n->file_epoch, epoch);
    n->fofs = s.fofs;
    n->ring_fofs = s.ring_fofs;
    for (int ch = 0; ch < m->p.channel_nos && n->channel; ch++)
        n->channel[ch].data_fofs = s.data_fofs[ch];
    n->dim_addr_fofs = m->dim_bit_field ? 0 : s.dim_addr_fofs;
    n->dim_addr_size = m->dim_bit_field ? 0 : static_cast<int64_t>(s.list.b.size());
    mx_wake(n);
    return 0;
}

namespace {

// Loads n; t, when given, is the token whose running slot asked for it.
int load_node(MATRIX_NODE* n, MATRIX_TOKEN* t) {
    MATRIX* m = n->matrix;
    std::vector<int64_t> dc;
    {
        TaskLockGuard g(matrix_lock);
        dc.assign(n->dim_code, n->dim_code + m->p.dim + 1);
    }
    int64_t fofs = 0, list_size = 0;
    RawNode raw;
    std::vector<std::vector<int64_t>> children;
    std::vector<Loaded> chain;
    uint32_t epoch = 0;
    // What the file says: 0 the node's records read, MXF_NOT_STORED, -1 damage, or -2 when the
    // cache ring's update could not be written.
    auto read_stored = [&]() -> int {
        MX_FILE_WORK* w = work_of(m);
        epoch = mx_ld(m->file_epoch);
        fofs = find_entry(w, m, dc.data());
        if (fofs == 0) return MXF_NOT_STORED;
        if (fofs < 0) return -1;
        if (read_raw_node(raw, m, w->pdb, fofs) < 0 ||
            (normalize_dim_code(m, raw.dc.data()), _cmp_dim_code(m, raw.dc.data(), dc.data())) !=
                0) {
            if (!unfinished_node(w->pdb, fofs)) return -1;
            report_unfinished(w->name, fofs);
            return MXF_NOT_STORED;
        }
        if (!m->dim_bit_field &&
            read_dim_addr(children, m, w->pdb, raw.dim_addr_fofs, &list_size) < 0)
            return -1;
        if (read_chain(chain, m, w->pdb, raw.channel_fofs) < 0) {
            drop_loaded(m, chain);
            return -1;
        }
        // A loaded node becomes the newest of the cache ring, so it is purged last.
        if ((m->p.flags & MXP_CACHE_FILE) && writable(w) &&
            (ring_delete(w, raw.ring_fofs, nullptr) < 0 || ring_insert(m, w, raw.ring_fofs) < 0 ||
             l_flush_filespace64(w->pdb) < 0)) {
            // A write refused (a full disk) is no damage of what is stored.
            drop_loaded(m, chain);
            return -2;
        }
        return 0;
    };
    int r;
    {
        Access a(m);
        if (a.r < 0) return MXF_NO_ACCESS;
        r = read_stored();
    }
    if (r == MXF_NOT_STORED) {
        TaskLockGuard g(matrix_lock);
        mx_st(n->file_epoch, epoch);
        return r;
    }
    if (r == -2) return -1;
    if (r < 0) {
        // The tree names a node the file does not hold whole: the matrix is broken rather than
        // read on with that node's cells as defaults.
        TaskLockGuard g(matrix_lock);
        if (!(m->flags & MX_DAMAGED_FILE)) {
            const char* name = m->filename ? n_string(std_cm, m->filename) : "";
            fprintf(stderr, "matrix %s: damaged file, a stored node cannot be read\n", name);
        }
        mx_st(m->flags, m->flags | MX_DAMAGED_FILE | 2);
        mx_wake(m);
        return r;
    }
    TaskLockGuard g(matrix_lock);
    mx_st(n->file_epoch, epoch);
    n->fofs = fofs;
    n->ring_fofs = raw.ring_fofs;
    n->dim_addr_fofs = raw.dim_addr_fofs;
    n->dim_addr_size = list_size;
    if (m->dim_bit_field) _vecset_dim_code_index(n, raw.bits.data(), 0);
    for (auto& c : children)
        _insert_dim_code_index(n, c.data(), 0);
    for (Loaded& l : chain) {
        MATRIX_DATA_TYPE* tp = m->channel_info[l.id].data_type;
        MATRIX_CHANNEL& ch = n->channel[l.id];
        if (ch.data && tp->free_data) tp->free_data(tp, ch.data);
        ch.data = l.data;
        ch.data_fofs = l.fofs;
    }
    // A node its own token's slot is making turns ready when that slot ends (or parks), so no
    // reader sees it before the slot's later steps (decoding its channels, say) have run.
    if (t && n->process_token == t && t->access_target_id >= 0 && n->status < MS_OK)
        t->loaded = 1;
    else
        mx_set_status(n, MS_OK);
    mx_wake(n);
    return 0;
}

}  // namespace

int load_matrix_node(MATRIX_NODE* n) {
    return load_node(n, nullptr);
}

int matrix_standard_read_file(MATRIX_TOKEN* t) {
    return load_node(t->process_node, t);
}

int matrix_standard_write_file(MATRIX_TOKEN* t) {
    MATRIX_NODE* n = t->process_node;
    int r = save_matrix_node(n);
    if (r == 0) {
        unlock_save(n);
    } else {
        // The node keeps its changes: it stays dirty for a later save. The first failure of a
        // matrix is said on the error output (a full disk would otherwise go unnoticed until
        // the changes are lost at the close).
        int err = errno;
        TaskLockGuard g(matrix_lock);
        n->save_lock = 0;
        _set_save_failed(n, true);
        MATRIX* m = n->matrix;
        if (!(mx_ld(m->flags) & 4)) {
            mx_st(m->flags, mx_ld(m->flags) | 4);
            const char* name = m->filename ? n_string(std_cm, m->filename) : "";
            fprintf(stderr, "matrix %s: a save failed (%s); the changes are kept and tried again\n",
                    name, strerror(err ? err : EIO));
        }
        mx_wake(n);
        mx_wake(m);
    }
    return r;
}

// ---- Single records ---------------------------------------------------------------------------

namespace {
// A data record of tp's net form for target (a channel record with its link and id), written at
// fofs when a record of its type and size stands there, else at new space: the offset, or -1.
int64_t save_data_record(MATRIX* m, int64_t fofs, void* target, bool channel, int64_t next, int id,
                         MATRIX_DATA_TYPE* tp) {
    if (!tp || !tp->convert_to_net || !target) return -1;
    Access a(m);
    if (a.r < 0 || !writable(work_of(m))) return -1;
    PDB64* p = work_of(m)->pdb;
    Rec r = net_record(channel ? MX_REC_DATA : MX_REC_DEFAULT, channel ? 12 : 0, tp, target);
    int64_t at = channel ? save_data(p, fofs, r, next, id, nullptr) : put_record(p, fofs, r);
    return at > 0 && l_flush_filespace64(p) >= 0 ? at : -1;
}
}  // namespace

int64_t save_matrix_data_1(MATRIX* m, int64_t fofs, void* target, MATRIX_DATA_TYPE* tp) {
    return save_data_record(m, fofs, target, false, 0, 0, tp);
}

int64_t save_matrix_data_2(MATRIX* m, int64_t fofs, void* target, int64_t next_fofs, int id,
                           MATRIX_DATA_TYPE* tp) {
    return save_data_record(m, fofs, target, true, next_fofs, id, tp);
}

void* load_matrix_data(int64_t* next_fofs, int* id, MATRIX* m, int64_t fofs, MATRIX_DATA_TYPE* tp) {
    Access a(m);
    if (a.r < 0) return nullptr;
    PDB64* p = work_of(m)->pdb;
    int type = type_at(p, fofs);
    Read r;
    if ((type != MX_REC_DEFAULT && type != MX_REC_DATA) || !r.load(p, fofs, type)) return nullptr;
    const uint8_t* q = r.payload();
    int64_t len = r.len();
    if (type == MX_REC_DEFAULT) {
        if (!tp || !tp->convert_to_host) return nullptr;
        return tp->convert_to_host(tp, const_cast<uint8_t*>(q), len, MXA_TRACKED, nullptr, __FILE__,
                                   __LINE__);
    }
    if (len < 12) return nullptr;
    int ch = static_cast<int32_t>(get_be32(q + 8));
    if (ch < 0 || ch >= m->p.channel_nos) return nullptr;
    MATRIX_DATA_TYPE* ct = m->channel_info[ch].data_type;
    ct = ct ? get_matrix_data_type(ct->type) : nullptr;
    if (!ct || !ct->convert_to_host) return nullptr;
    void* v = ct->convert_to_host(ct, const_cast<uint8_t*>(q + 12), len - 12, MXA_TRACKED, nullptr,
                                  __FILE__, __LINE__);
    if (v && next_fofs) *next_fofs = static_cast<int64_t>(get_be64(q));
    if (v && id) *id = ch;
    return v;
}

int load_raw_matrix_node(PN64_MX_NODE* ret, uint8_t** org, int64_t* dim_code, uint8_t* bit_field,
                         MATRIX* m, int64_t fofs) {
    Access a(m);
    if (a.r < 0) return -1;
    PDB64* p = work_of(m)->pdb;
    int type = type_at(p, fofs);
    if (type < 0) {
        ss_printf("load_raw_matrix_node1\n");
        return -1;
    }
    if (type != MX_REC_NODE) {
        ss_printf("load_raw_matrix_node2 = %i\n", type);
        return -2;
    }
    RawNode raw;
    if (read_raw_node(raw, m, p, fofs) < 0) {
        ss_printf("load_raw_matrix_node1\n");
        return -1;
    }
    if (ret) *ret = PN64_MX_NODE{raw.channel_fofs, raw.ring_fofs, raw.dim_addr_fofs};
    if (dim_code) std::copy(raw.dc.begin(), raw.dc.end(), dim_code);
    if (bit_field) std::copy(raw.bits.begin(), raw.bits.end(), bit_field);
    if (org) {
        Read r;
        *org = r.load(p, fofs, MX_REC_NODE) ? std::exchange(r.rec, nullptr) : nullptr;
    }
    return 0;
}

int load_matrix_dim_addr(MATRIX_NODE* n, int64_t addr_fofs) {
    MATRIX* m = n->matrix;
    std::vector<std::vector<int64_t>> children;
    int64_t size = 0;
    {
        Access a(m);
        if (a.r < 0 || read_dim_addr(children, m, work_of(m)->pdb, addr_fofs, &size) < 0) return -1;
    }
    TaskLockGuard g(matrix_lock);
    for (auto& c : children)
        _insert_dim_code_index(n, c.data(), 0);
    n->dim_addr_fofs = addr_fofs;
    n->dim_addr_size = size;
    return 0;
}

int insert_mx_cache_ring(MATRIX* m, int64_t cr_fofs) {
    Access a(m);
    if (a.r < 0 || !writable(work_of(m))) return -1;
    return ring_insert(m, work_of(m), cr_fofs);
}

int delete_mx_cache_ring(PN64_MX_CACHE_RING* dr, MATRIX* m, int64_t cr_fofs) {
    Access a(m);
    if (a.r < 0 || !writable(work_of(m))) return -1;
    Ring r;
    if (ring_delete(work_of(m), cr_fofs, &r) < 0) return -1;
    if (dr) *dr = PN64_MX_CACHE_RING{r.node, r.next, r.prev};
    return 0;
}

int setup_mx_cache_ring(MATRIX* m, int64_t ring, int64_t node) {
    Access a(m);
    if (a.r < 0 || !writable(work_of(m))) return -1;
    Ring r;
    if (ring_read(r, work_of(m)->pdb, ring) < 0) return -1;
    r.node = node;
    return ring_write(work_of(m)->pdb, ring, r);
}

int mx_cache_purge(MATRIX* m, int64_t cr_fofs) {
    Access a(m);
    if (a.r < 0 || !writable(work_of(m))) return -1;
    return purge_node(m, work_of(m), cr_fofs);
}

// ---- Tree order -------------------------------------------------------------------------------

int mx_dim_code_cmp(void* a, void* b, void* work) {
    auto* m = static_cast<MATRIX*>(work);
    int dim = m->p.dim;
    int64_t x[MX_MAX_DIM + 1] = {}, y[MX_MAX_DIM + 1] = {};
    int nx = read_code(x, dim + 1, static_cast<uint8_t*>(a) + 8);
    int ny = read_code(y, dim + 1, static_cast<uint8_t*>(b) + 8);
    if (nx < 2 || ny < 2) return 0;
    if (x[0] != y[0]) return x[0] < y[0] ? -1 : 1;
    for (int d = 0; d < dim; d++) {
        int shift =
            static_cast<int>(std::min<int64_t>(63, x[0] * m->dim_divide[d] + m->block_size[d]));
        int64_t mask = ~mx_axis_shift_mask(shift);
        int64_t u = x[d + 1] & mask, v = y[d + 1] & mask;
        if (u != v) return u < v ? -1 : 1;
    }
    return 0;
}

int mx_dim_code_endian(void* data, int64_t len) {
    // An entry is an offset and one well-formed code that fills the rest exactly.
    if (len < 8 + 2 + 1) return -1;
    auto* p = static_cast<uint8_t*>(data);
    const uint8_t* end = p + len;
    int dims = get_dim_code_dimension(p + 8, end);
    if (dims < 0 || dims > MX_MAX_DIM) return -1;
    if (get_uncompressed_dim_code_n(nullptr, p + 8, end, dims) != end) return -1;
    uint64_t v;
    memcpy(&v, p, 8);
    v = get_be64(reinterpret_cast<uint8_t*>(&v));
    memcpy(p, &v, 8);
    return 0;
}

// ---- Idle closing -----------------------------------------------------------------------------

int mx_open_file_count() {
    TaskLockGuard g(mx_file_lock);
    return open_files;
}

void mx_close_idle_files() {
    mx_file_gc(nullptr);
}

// Walks the open files rather than the ring of matrices, and past MX_OPEN_FILES_MAX closes the
// least recently used first: a file some task owns is passed over (its owner is using it), so
// no file is closed under a reader. A matrix with tokens queued or waiting keeps its file however
// long it was idle, since its scripts are about to use it. A file is idle when neither it nor
// its matrix was used: a matrix looked up all the time whose nodes are all in memory keeps its
// file, since closing it would have those nodes read again, and lose what was changed on a level
// no script saves.
void mx_file_gc(MATRIX* leave) {
    uint32_t now = matrix_now();
    for (;;) {
        MX_FILE_WORK* pick = nullptr;
        {
            // The matrix's token counts are read under its lock, taken before mx_file_lock.
            TaskLockGuard ml(matrix_lock);
            TaskLockGuard g(mx_file_lock);
            MX_FILE_WORK* oldest = nullptr;
            uint32_t oldest_idle = 0;
            for (MX_FILE_WORK* w = works; w; w = w->next) {
                if (!w->pdb || w->owner || (leave && w->m == leave)) continue;
                // Changes not yet saved keep a file shared through the call lock: once it is
                // closed another agent may write those nodes, and the later save would put the
                // older copies back over them.
                if (w->lock_d && w->m && w->m->dirty_cnt > w->m->dirty_failed) continue;
                bool tokens = w->m && (w->m->wait_token || w->m->token_cnt > 0);
                uint32_t idle = now - w->last_access;
                if (w->m)
                    idle = std::min(idle, now - static_cast<uint32_t>(mx_ld(w->m->last_access)));
                if (!tokens && idle > MX_IDLE_SECONDS) {
                    pick = w;
                    break;
                }
                if (!oldest || idle > oldest_idle) {
                    oldest = w;
                    oldest_idle = idle;
                }
            }
            if (!pick && open_files > MX_OPEN_FILES_MAX) pick = oldest;
            if (!pick) return;
            pick->owner = get_tid();
            pick->depth = 1;
            // From here no look-up without matrix_lock takes a node read before the closing.
            if (pick->m) mx_st(pick->m->file_epoch, mx_ld(pick->m->file_epoch) + 1);
        }
        close_work(pick);
        disown(pick);
    }
}

// ---- Whole-file queries -----------------------------------------------------------------------

namespace {

struct FirstEntry {
    MATRIX* m;
    int64_t* dc;
    bool found;
};

int take_first(FAVT64_NODE* e, void* work) {
    auto* f = static_cast<FirstEntry*>(work);
    const uint8_t* end = e->data + e->data_len;
    f->found = get_uncompressed_dim_code_n(f->dc, e->data + 8, end, f->m->p.dim) != nullptr;
    return 1;
}

}  // namespace

// The queries read the stored tree: the nodes still to be written or being made are written
// first, so that what a copy or scan sees is what the matrix holds.
int mx_scale_of_dim_code(int64_t* start, int64_t* last, MATRIX* m) {
    if (int sync = mx_file_sync_create_node(m); sync < 0)
        return sync == MX_SYNC_BUSY ? MXE_BUSY : MXF_SYNC_FAILED;
    Access a(m);
    if (a.r < 0) return -1;
    MX_FILE_WORK* w = work_of(m);
    PdbLockGuard g;
    FAVT64_ROOT* root = node_root(w);
    if (!root) return -1;
    int err = 0;
    FAVT64_NODE* top = root_node64(&err, root);
    if (err < 0) return -1;
    // An empty tree is told apart from a failure: a matrix with nothing stored is not an error
    // for its callers (a copy of it copies nothing).
    if (!top) return 1;
    FirstEntry lo{m, start, false}, hi{m, last, false};
    favt64_trace_from_small(&err, root, top, take_first, &lo);
    if (err < 0 || !lo.found) return -1;
    favt64_trace_from_large(&err, root, top, take_first, &hi);
    if (err < 0 || !hi.found) return -1;
    return 0;
}

MX_DIM_CODE_LIST* mx_search_level_node(int* errp, MATRIX* m, const int64_t* start, int limit) {
    *errp = 0;
    if (int sync = mx_file_sync_create_node(m); sync < 0) {
        *errp = sync == MX_SYNC_BUSY ? MXE_BUSY : MXF_SYNC_FAILED;
        return nullptr;
    }
    Access a(m);
    if (a.r < 0) {
        *errp = a.r;
        return nullptr;
    }
    MX_FILE_WORK* w = work_of(m);
    int dim = m->p.dim;
    std::vector<int64_t> top(start, start + dim + 1);
    for (int d = 1; d <= dim; d++)
        top[d] = INT64_MAX;
    std::vector<uint8_t> lo = tree_key(m, 0, start), hi = tree_key(m, 0, top.data());
    BOUND64_LIST* found = nullptr;
    {
        PdbLockGuard g;
        FAVT64_ROOT* root = node_root(w);
        if (!root) {
            *errp = -1;
            return nullptr;
        }
        int err = 0;
        FAVT64_NODE* t = root_node64(&err, root);
        if (err < 0) {
            *errp = -1;
            return nullptr;
        }
        if (!t) return nullptr;
        found = favt64_bound_search(&err, root, t, lo.data(), hi.data(), limit, mx_dim_code_cmp, m);
        if (err < 0 && err != -4) {
            free_bound_list64(found);
            *errp = -1;
            return nullptr;
        }
    }
    MX_DIM_CODE_LIST* head = nullptr;
    MX_DIM_CODE_LIST** tail = &head;
    for (BOUND64_LIST* b = found; b; b = b->next) {
        auto* dc = static_cast<int64_t*>(d_alloc(sizeof(int64_t) * (dim + 1)));
        const uint8_t* p = static_cast<uint8_t*>(b->data);
        if (b->data_len < 9 || !get_uncompressed_dim_code_n(dc, p + 8, p + b->data_len, dim)) {
            d_f_ree(dc);
            continue;
        }
        auto* e = static_cast<MX_DIM_CODE_LIST*>(d_alloc(sizeof(MX_DIM_CODE_LIST)));
        e->dc = dc;
        e->next = nullptr;
        *tail = e;
        tail = &e->next;
    }
    free_bound_list64(found);
    return head;
}

int mx_set_cache_count_max(int n) {
    int old = cache_count_max;
    if (n > 0) cache_count_max = n;
    return old;
}

// ---- Calibration texts ------------------------------------------------------------------------

int save_mode_cal(MATRIX* m, int mode, char*** cals, int* pri) {
    if (mode < 0 || mode > 2) return -1;
    Access a(m);
    if (a.r < 0) return -2;
    MX_FILE_WORK* w = work_of(m);
    if (!writable(w)) return -2;
    int64_t* fofs = &w->sh.cal_fofs[mode * MX_CAL_SLOTS];
    bool changed = false;
    if (pri) {
        memcpy(&w->sh.pri[mode * MX_CAL_SLOTS], pri, sizeof(int32_t) * MX_CAL_SLOTS);
        changed = true;
    }
    for (int slot = 0; cals && slot < MX_CAL_SLOTS; slot++) {
        if (!cals[slot]) {
            if (fofs[slot]) {
                release(w->pdb, fofs[slot], MX_REC_CAL);
                fofs[slot] = 0;
                changed = true;
            }
            continue;
        }
        Rec r(MX_REC_CAL);
        for (char** s = cals[slot]; *s; s++)
            r.append(*s, strlen(*s));
        // A short text is padded with spaces, which the reader passes over, to a whole record.
        r.pad_to(PN64_HEADER_SIZE + 8, ' ');
        int64_t at = put_record(w->pdb, fofs[slot], r);
        if (at < 0) return -2;
        if (at != fofs[slot]) changed = true;
        fofs[slot] = at;
    }
    if (changed && (write_subheader(w) < 0 || l_flush_filespace64(w->pdb) < 0)) return -2;
    return 0;
}

int load_mode_cal(QV_SEXP** cals, int* pri, MATRIX* m, int mode) {
    if (mode < 0 || mode > 2) {
        if (cals) memset(cals, 0, sizeof(QV_SEXP*) * MX_CAL_SLOTS);
        if (pri) memset(pri, 0, sizeof(int) * MX_CAL_SLOTS);
        return -1;
    }
    Access a(m);
    if (a.r < 0) return -2;
    MX_FILE_WORK* w = work_of(m);
    if (pri) memcpy(pri, &w->sh.pri[mode * MX_CAL_SLOTS], sizeof(int32_t) * MX_CAL_SLOTS);
    for (int slot = 0; cals && slot < MX_CAL_SLOTS; slot++) {
        cals[slot] = nullptr;
        Read r;
        if (!r.load(w->pdb, w->sh.cal_fofs[mode * MX_CAL_SLOTS + slot], MX_REC_CAL)) continue;
        cals[slot] = read_qv_items(reinterpret_cast<const char*>(r.payload()),
                                   static_cast<int>(r.len()), "sexp_commands");
    }
    return 0;
}

// ---- Checks -----------------------------------------------------------------------------------

int save_cal_check(MATRIX* m) {
    Access a(m);
    if (a.r < 0) return a.r;
    MX_FILE_WORK* w = work_of(m);
    ss_printf("SCC\n");
    std::vector<int64_t> seen;
    int r = 0;
    for (int mode = 0; mode < 3; mode++) {
        for (int slot = 0; slot < MX_CAL_SLOTS; slot++) {
            int64_t fofs = w->sh.cal_fofs[mode * MX_CAL_SLOTS + slot];
            if (!fofs) continue;
            ss_printf("SCC %i-%i -- %lli\n", mode, slot, static_cast<long long>(fofs));
            if (std::find(seen.begin(), seen.end(), fofs) != seen.end()) {
                ss_printf("save_cal_check: %lli is the text of two slots\n",
                          static_cast<long long>(fofs));
                r = -1;
            } else if (type_at(w->pdb, fofs) != MX_REC_CAL) {
                ss_printf("save_cal_check: %lli is no slot text\n", static_cast<long long>(fofs));
                r = -1;
            }
            seen.push_back(fofs);
        }
    }
    return r;
}

int test_matrix(MATRIX* m) {
    for (int ch = 0; ch < m->p.channel_nos; ch++)
        if (m->channel_info && m->channel_info[ch].data_type) return 0;
    ss_printf(">>> %i\n", get_tid());
    return -1;
}

int check_pdb_fd(MATRIX* m) {
    MX_FILE_WORK* w = work_of(m);
    if (!w) {
        ss_printf("CLOSE POINT = ZERO W\n");
        return MXF_CANNOT_OPEN;
    }
    ss_printf("CLOSE POINT = %p\n", static_cast<void*>(w->pdb));
    Access a(m);
    if (a.r < 0) return a.r;
    int r;
    {
        PdbLockGuard g;
        r = check_filespace64(w->pdb);
    }
    if (r == 0 && type_at(w->pdb, w->header_fofs) != MX_REC_HEADER) r = -5;
    if (r == 0 && type_at(w->pdb, w->subheader_fofs) != MX_REC_SUBHEADER) r = -5;
    if (r == 0 && check_node_tree(w) != 0) r = -4;
    if (r == -4) ss_printf("check_pdb_fd: node tree damaged\n");
    if (r == -5) ss_printf("check_pdb_fd: header records damaged\n");
    return r;
}
