#include "pdb/treelog.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/ufile.h"
#include "pdb/favt64.h"
#include "pdb/freelist64.h"

namespace {

constexpr char MAGIC[] = "VXTLOG02";
constexpr char MAGIC_RUNNING[] = "VXTLOG01";  // logs hashed as one run of bytes, still completed
constexpr uint64_t HEAD = 16;
constexpr uint64_t ENTRY_HEAD = 12;
size_t pending_max = 32 << 20;       // log bytes kept in memory before they are written
constexpr size_t CHUNK = 1 << 20;    // the log is read back in pieces of this size
constexpr uint64_t FETCH_MAX = 256;  // most bytes tree_log_fetch gives

constexpr uint64_t FNV_START = 0xcbf29ce484222325ull;
uint64_t fnv(uint64_t h, const uint8_t* b, size_t n) {
    for (size_t i = 0; i < n; i++)
        h = (h ^ b[i]) * 0x100000001b3ull;
    return h;
}

uint64_t mix(uint64_t h, uint64_t w) {
    h = (h ^ w) * 0x9e3779b97f4a7c15ull;
    return h ^ (h >> 32);
}

// The hash of the entry at log position at for the record at fofs (len bytes in rec), a word at a
// time: a log's commit holds the hash of its head plus the sum of its entries', so that an entry
// rewritten in place before the commit changes the sum by its own part alone.
uint64_t entry_hash(uint64_t at, uint64_t fofs, const uint8_t* rec, uint64_t len) {
    uint64_t h = mix(mix(mix(FNV_START, at), fofs), len);
    uint64_t i = 0;
    for (; i + 8 <= len; i += 8)
        h = mix(h, get_be64(rec + i));
    if (i < len) {
        uint8_t tail[8] = {};
        memcpy(tail, rec + i, len - i);
        h = mix(h, get_be64(tail));
    }
    return h;
}

}  // namespace

// The newest image of a logged record.
struct TREE_LOG_IMAGE {
    uint64_t at;    // log position of its entry
    uint64_t len;   // of the record
    uint64_t hash;  // the entry's part of the commit hash
};

// The newest image of each logged record, by record position: open addressing with linear
// probing, at most half full (a record's position is never 0, which marks a free slot). Every
// read of a tree record asks it, mostly for records that are not logged, so a lookup touches one
// slot or two where a map of linked nodes would miss the processor's cache several times; and a
// bit per record position hash, in a table an eighth of the size, answers most of those misses
// from the processor's cache alone.
class ImageIndex {
  public:
    TREE_LOG_IMAGE* find(uint64_t fofs) {
        if (n_ == 0) return nullptr;
        size_t b = bit(fofs);
        if (!(bits_[b >> 6] >> (b & 63) & 1)) return nullptr;
        for (size_t i = slot(fofs);; i = (i + 1) & mask_) {
            if (s_[i].fofs == fofs) return &s_[i].im;
            if (s_[i].fofs == 0) return nullptr;
        }
    }
    void put(uint64_t fofs, const TREE_LOG_IMAGE& im) {
        if ((n_ + 1) * 2 > s_.size()) grow();
        size_t i = slot(fofs);
        while (s_[i].fofs != 0 && s_[i].fofs != fofs)
            i = (i + 1) & mask_;
        if (s_[i].fofs == 0) n_++;
        s_[i] = {fofs, im};
        size_t b = bit(fofs);
        bits_[b >> 6] |= uint64_t{1} << (b & 63);
    }
    // Emptied, keeping its room for the next flush's records.
    void clear() {
        if (n_ == 0) return;
        std::fill(s_.begin(), s_.end(), Slot{});
        std::fill(bits_.begin(), bits_.end(), 0);
        n_ = 0;
    }
    size_t size() const { return n_; }
    // The images, by the position of their records.
    std::vector<std::pair<uint64_t, TREE_LOG_IMAGE>> sorted() const {
        std::vector<std::pair<uint64_t, TREE_LOG_IMAGE>> v;
        v.reserve(n_);
        for (const Slot& x : s_)
            if (x.fofs != 0) v.emplace_back(x.fofs, x.im);
        std::sort(v.begin(), v.end(),
                  [](const auto& a, const auto& b) { return a.first < b.first; });
        return v;
    }

  private:
    struct Slot {
        uint64_t fofs = 0;
        TREE_LOG_IMAGE im = {};
    };
    size_t slot(uint64_t fofs) const {
        return static_cast<size_t>((fofs * 0x9e3779b97f4a7c15ull) >> shift_) & mask_;
    }
    // Four bits per slot.
    size_t bit(uint64_t fofs) const {
        return static_cast<size_t>((fofs * 0xc2b2ae3d27d4eb4full) >> 20) & (mask_ * 4 + 3);
    }
    void grow() {
        std::vector<Slot> old;
        old.swap(s_);
        s_.resize(old.empty() ? 1024 : old.size() * 2);
        mask_ = s_.size() - 1;
        bits_.assign(s_.size() / 16, 0);
        shift_ = 64 - static_cast<int>(__builtin_ctzll(s_.size()));
        n_ = 0;
        for (const Slot& o : old)
            if (o.fofs != 0) put(o.fofs, o.im);
    }
    std::vector<Slot> s_;
    std::vector<uint64_t> bits_;
    size_t n_ = 0;
    size_t mask_ = 0;
    int shift_ = 64;
};

struct TREE_LOG {
    std::string path;
    int fd = -1;
    bool read_only = false;
    uint64_t written = 0;            // bytes of the log file (the head included once it exists)
    std::vector<uint8_t> pending;    // entries after `written`, not yet in the file
    uint64_t hash = 0;               // the head's hash plus every entry's, as the commit holds it
    uint64_t epoch = 0;              // in the head: counts the logs of this opening, so no commit
                                     // left further on by an earlier one checks with a later head
    ImageIndex index;                // record -> its newest image
    bool stale = false;              // an earlier image of a record stands before its newest
    std::vector<uint64_t> releases;  // held until the commit
};

namespace {

TREE_LOG* log_of(PDB64* p) {
    return static_cast<TREE_LOG*>(p->tree_log);
}

int write_at(int fd, const uint8_t* b, uint64_t n, uint64_t at) {
    while (n > 0) {
        int part = n > (1u << 30) ? (1 << 30) : static_cast<int>(n);
        iovec v = {const_cast<uint8_t*>(b), static_cast<size_t>(part)};
        int w = u_pwritev(fd, &v, 1, static_cast<int64_t>(at));
        if (w <= 0) return -1;
        b += w;
        n -= static_cast<uint64_t>(w);
        at += static_cast<uint64_t>(w);
    }
    return 0;
}

int read_at(int fd, uint8_t* b, uint64_t n, uint64_t at) {
    while (n > 0) {
        int part = n > (1u << 30) ? (1 << 30) : static_cast<int>(n);
        int r = u_pread(fd, b, part, static_cast<int64_t>(at));
        if (r <= 0) return -1;
        b += r;
        n -= static_cast<uint64_t>(r);
        at += static_cast<uint64_t>(r);
    }
    return 0;
}

// Opens the log file, made empty: 0 or -1. A regular file only: a FIFO in its place would hold
// the open, and the record store's locks with it.
int open_log(TREE_LOG* l) {
    if (l->fd >= 0) return 0;
    l->fd = u_open_regular(l->path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return l->fd < 0 ? -1 : 0;
}

// Writes the pending entries to the log file (made on first use): 0 or -1.
int write_pending(TREE_LOG* l) {
    if (l->pending.empty()) return 0;
    if (open_log(l) != 0) return -1;
    if (write_at(l->fd, l->pending.data(), l->pending.size(), l->written) != 0) return -1;
    l->written += l->pending.size();
    l->pending.clear();
    return 0;
}

void start_if_empty(TREE_LOG* l) {
    if (l->written > 0 || !l->pending.empty()) return;
    l->pending.resize(HEAD);
    memcpy(l->pending.data(), MAGIC, 8);
    put_be64(l->pending.data() + 8, l->epoch);
    l->hash = fnv(FNV_START, l->pending.data(), HEAD);
}

// Appends an entry: its log position.
uint64_t add_entry(TREE_LOG* l, uint64_t fofs, const uint8_t* rec, uint64_t len) {
    uint64_t at = l->written + l->pending.size();
    size_t o = l->pending.size();
    l->pending.resize(o + ENTRY_HEAD + len);
    uint8_t* e = l->pending.data() + o;
    put_be64(e, fofs);
    put_be32(e + 8, static_cast<uint32_t>(len));
    memcpy(e + ENTRY_HEAD, rec, len);
    return at;
}

// Reads a log from its start, entry by entry, in pieces of CHUNK bytes (from memory when the whole
// log is given there).
struct Reader {
    Reader(int f, uint64_t e, const uint8_t* m = nullptr) : fd(f), end(e), mem(m) {}
    int fd;
    uint64_t end;  // the log's length
    const uint8_t* mem;
    std::vector<uint8_t> buf;
    uint64_t buf_at = 0;  // log position of buf[0]
    uint64_t pos = HEAD;

    // The n bytes at pos in one piece, or null when the log ends or cannot be read.
    const uint8_t* at(uint64_t n) {
        if (pos + n > end || pos + n < pos) return nullptr;
        if (mem) return mem + pos;
        if (pos < buf_at || pos + n > buf_at + buf.size()) {
            uint64_t want = end - pos < CHUNK ? end - pos : CHUNK;
            if (want < n) want = n;
            buf.resize(want);
            if (read_at(fd, buf.data(), want, pos) != 0) return nullptr;
            buf_at = pos;
        }
        return buf.data() + (pos - buf_at);
    }
};

struct Entry {
    uint64_t fofs;
    uint64_t len;
    const uint8_t* rec;  // valid until the reader moves on
    uint64_t at;         // log position of the entry
};

// The next entry (a commit has fofs 0), or false at the end of what can be read.
bool next_entry(Reader& r, Entry* e) {
    const uint8_t* h = r.at(ENTRY_HEAD);
    if (!h) return false;
    e->fofs = get_be64(h);
    e->len = get_be32(h + 8);
    e->at = r.pos;
    if (e->fofs == 0 && e->len != 8) return false;
    if (e->fofs != 0 && e->len < 4) return false;
    r.pos += ENTRY_HEAD;
    e->rec = r.at(e->len);
    if (!e->rec) return false;
    r.pos += e->len;
    return true;
}

// The end of the last complete commit of the log in fd (0 when there is none), with its hash
// checked over every byte before it: the sum of the entries' hashes, or, in a log of the earlier
// form, one hash of every byte in turn.
uint64_t committed_end(int fd, uint64_t end) {
    uint8_t head[HEAD];
    if (end < HEAD || read_at(fd, head, HEAD, 0) != 0) return 0;
    bool running = memcmp(head, MAGIC_RUNNING, 8) == 0;
    if (!running && memcmp(head, MAGIC, 8) != 0) return 0;
    Reader r{fd, end};
    uint64_t hash = fnv(FNV_START, head, HEAD);
    uint64_t last = 0;
    Entry e;
    while (next_entry(r, &e)) {
        if (e.fofs == 0) {
            if (get_be64(e.rec) != hash) break;
            last = r.pos;
            if (!running) continue;
        }
        uint8_t eh[ENTRY_HEAD];
        put_be64(eh, e.fofs);
        put_be32(eh + 8, static_cast<uint32_t>(e.len));
        if (running)
            hash = fnv(fnv(hash, eh, ENTRY_HEAD), e.rec, e.len);
        else
            hash += entry_hash(e.at, e.fofs, e.rec, e.len);
    }
    return last;
}

// Every entry before end names a tree record of its length in p's file: the log belongs to it.
bool entries_fit(PDB64* p, Reader& r) {
    Entry e;
    while (next_entry(r, &e)) {
        if (e.fofs == 0) continue;
        PDB64_PHYS want, ph;
        if (pn64_get_phys(e.rec, static_cast<int>(e.len < 12 ? e.len : 12), &want) <= 0 ||
            want.len != e.len ||
            (want.type != PN64_TREE_ROOT_TYPE && want.type != PN64_TREE_NODE_TYPE))
            return false;
        if (pdb64_read_phys(p, e.fofs, &ph) != 0 || ph.type != want.type || ph.len != want.len)
            return false;
    }
    return r.pos == r.end;
}

// Copies every entry before end into its place in the file, with an index only the newest entry
// of each record: 0 or -1.
int copy_entries(PDB64* p, Reader& r, ImageIndex* newest) {
    Entry e;
    while (next_entry(r, &e)) {
        if (e.fofs == 0) continue;
        if (newest) {
            TREE_LOG_IMAGE* im = newest->find(e.fofs);
            if (im && im->at != e.at) continue;
        }
        if (fac_lseek(&p->fac, static_cast<int64_t>(e.fofs), SEEK_SET) < 0 ||
            fa_write64(p, e.rec, e.len) < 0)
            return -1;
    }
    return 0;
}

// Empties the log after its entries stand in the file, its file cut to nothing: 0 or -1.
int empty_log(TREE_LOG* l) {
    l->index.clear();
    l->stale = false;
    l->pending.clear();
    l->pending.shrink_to_fit();
    l->hash = 0;
    l->epoch++;
    bool had = l->written > 0;
    l->written = 0;
    return had && l->fd >= 0 && u_ftruncate(l->fd, 0) != 0 ? -1 : 0;
}

}  // namespace

void (*tree_log_before_commit)(PDB64* p) = nullptr;

int tree_log_open(PDB64* p, const char* name, bool fresh) {
    if (!name) return 0;
    auto* l = new TREE_LOG;
    char* host = change_delim_str(name);
    l->path = std::string(host) + ".tlog";
    d_f_ree(host);
    l->read_only = p->fac.read_only;
    p->tree_log = l;
    if (fresh) {
        if (!l->read_only) u_unlink(l->path.c_str());
        return 0;
    }
    int fd = u_open_regular(l->path.c_str(), (l->read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC, 0);
    if (fd < 0) return 0;
    int64_t end = u_lseek64(fd, 0, SEEK_END);
    uint64_t last = end > 0 ? committed_end(fd, static_cast<uint64_t>(end)) : 0;
    if (l->read_only) {
        // A reader takes the newest committed form of each record from the log.
        if (last == 0) {
            u_close(fd);
            return 0;
        }
        l->fd = fd;
        l->written = last;
        Reader r{fd, last};
        Entry e;
        while (next_entry(r, &e))
            if (e.fofs != 0) l->index.put(e.fofs, {e.at, e.len, 0});
        return 0;
    }
    if (last > 0) {
        Reader check{fd, last};
        Reader copy{fd, last};
        if (!entries_fit(p, check)) {
            pdb_printf("open_filespace64: %s: tree log does not fit the file, dropped\n", name);
        } else if (copy_entries(p, copy, nullptr) != 0 || fac_flush(&p->fac) != 0) {
            u_close(fd);
            return -1;
        } else {
            pdb_printf("open_filespace64: %s: tree records of the last flush completed\n", name);
        }
    }
    u_close(fd);
    u_unlink(l->path.c_str());
    return 0;
}

void tree_log_close(PDB64* p) {
    TREE_LOG* l = log_of(p);
    if (!l) return;
    if (l->fd >= 0) {
        u_close(l->fd);
        if (!l->read_only && l->written == 0) u_unlink(l->path.c_str());
    }
    delete l;
    p->tree_log = nullptr;
}

bool tree_log_on(PDB64* p) {
    TREE_LOG* l = log_of(p);
    return l && !l->read_only;
}

int tree_log_put(PDB64* p, uint64_t fofs, const uint8_t* rec, uint64_t len) {
    TREE_LOG* l = log_of(p);
    start_if_empty(l);
    TREE_LOG_IMAGE* found = l->index.find(fofs);
    if (found && found->len == len) {
        // A later write-back of a logged record replaces its image: the log holds one per record.
        TREE_LOG_IMAGE& im = *found;
        uint64_t h = entry_hash(im.at, fofs, rec, len);
        if (im.at >= l->written) {
            memcpy(l->pending.data() + (im.at - l->written) + ENTRY_HEAD, rec, len);
        } else if (write_at(l->fd, rec, len, im.at + ENTRY_HEAD) != 0) {
            return -1;
        }
        l->hash += h - im.hash;
        im.hash = h;
        return 0;
    }
    uint64_t at = add_entry(l, fofs, rec, len);
    uint64_t h = entry_hash(at, fofs, rec, len);
    l->hash += h;
    if (found) l->stale = true;
    l->index.put(fofs, {at, len, h});
    return l->pending.size() >= pending_max ? write_pending(l) : 0;
}

int64_t tree_log_fetch(PDB64* p, uint64_t fofs, uint8_t* out, uint64_t cap) {
    TREE_LOG* l = log_of(p);
    TREE_LOG_IMAGE* im = l ? l->index.find(fofs) : nullptr;
    if (!im) return -1;
    uint64_t at = im->at;
    if (at >= l->written) {
        const uint8_t* e = l->pending.data() + (at - l->written);
        uint64_t len = get_be32(e + 8);
        memcpy(out, e + ENTRY_HEAD, len < cap ? len : cap);
        return static_cast<int64_t>(len);
    }
    // One read for the entry's head and the record's start: most records are shorter than cap.
    uint8_t buf[ENTRY_HEAD + FETCH_MAX];
    if (cap > FETCH_MAX) cap = FETCH_MAX;
    int got = u_pread(l->fd, buf, static_cast<int>(ENTRY_HEAD + cap), static_cast<int64_t>(at));
    if (got < static_cast<int>(ENTRY_HEAD)) return -2;
    uint64_t len = get_be32(buf + 8);
    uint64_t want = len < cap ? len : cap;
    if (static_cast<uint64_t>(got) < ENTRY_HEAD + want) return -2;
    memcpy(out, buf + ENTRY_HEAD, want);
    return static_cast<int64_t>(len);
}

int tree_log_read(PDB64* p, uint64_t fofs, uint8_t* out, uint64_t n) {
    TREE_LOG* l = log_of(p);
    if (n == 0) return 0;
    TREE_LOG_IMAGE* im = l->index.find(fofs);
    if (!im) return -1;
    uint64_t at = im->at + ENTRY_HEAD;
    if (at >= l->written) {
        memcpy(out, l->pending.data() + (at - l->written), n);
        return 0;
    }
    return read_at(l->fd, out, n, at);
}

int tree_log_release(PDB64* p, uint64_t fofs) {
    TREE_LOG* l = log_of(p);
    if (!l || l->read_only) return free_filespace64(p, fofs) == 0 ? 0 : -1;
    l->releases.push_back(fofs);
    return 0;
}

int tree_log_commit(PDB64* p) {
    TREE_LOG* l = log_of(p);
    if (!l || l->read_only) return 0;
    int rc = 0;
    if (l->written > 0 || !l->pending.empty()) {
        // Every record the log names must stand in the file before the commit can name it.
        if (fac_flush(&p->fac) != 0) return -1;
        if (tree_log_before_commit) tree_log_before_commit(p);
        uint8_t c[8];
        put_be64(c, l->hash);
        add_entry(l, 0, c, 8);
        bool in_memory = l->written == 0;
        uint64_t end = l->written + l->pending.size();
        std::vector<uint8_t> all;
        if (in_memory) {
            // The whole log is still in memory: written for a kill during the copy, and copied
            // in place from memory.
            if (open_log(l) != 0 || write_at(l->fd, l->pending.data(), l->pending.size(), 0) != 0)
                return -1;
            all.swap(l->pending);
            l->written = end;
        } else if (write_pending(l) != 0) {
            return -1;
        }
        if (in_memory) {
            // In the order of the file: each page of the file's cache is met once.
            for (const auto& [fofs, im] : l->index.sorted())
                if (fac_lseek(&p->fac, static_cast<int64_t>(fofs), SEEK_SET) < 0 ||
                    fa_write64(p, all.data() + im.at + ENTRY_HEAD, im.len) < 0)
                    return -1;
        } else {
            Reader r{l->fd, end};
            if (copy_entries(p, r, l->stale ? &l->index : nullptr) != 0) return -1;
        }
        if (fac_flush(&p->fac) != 0) return -1;
        if (empty_log(l) != 0) rc = -1;
    }
    // The new trees stand in the file: what they no longer name may be given to other records,
    // in the order of the file, so that neighbours meet as they are freed.
    std::sort(l->releases.begin(), l->releases.end());
    for (uint64_t fofs : l->releases)
        if (free_filespace64(p, fofs) != 0) rc = -1;
    l->releases.clear();
    return rc;
}

void tree_log_discard(PDB64* p) {
    TREE_LOG* l = log_of(p);
    if (!l) return;
    l->releases.clear();
    if (!l->read_only) empty_log(l);
}

uint64_t tree_log_size(PDB64* p, uint64_t* images) {
    TREE_LOG* l = log_of(p);
    if (images) *images = l ? l->index.size() : 0;
    return l ? l->written + l->pending.size() : 0;
}

size_t tree_log_set_memory(size_t bytes) {
    size_t was = pending_max;
    pending_max = bytes;
    return was;
}
