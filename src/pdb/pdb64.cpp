#include "pdb/pdb64.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/panic.h"
#include "base/ufile.h"
#include "pdb/favt64.h"
#include "pdb/freelist64.h"
#include "pdb/sweep64.h"
#include "pdb/treelog.h"

namespace {

constexpr uint64_t IO_CHUNK = 65536;
// Reads go to the page cache in pieces of at most this size: whole uncached pages of a piece
// come from the host file in one read, so a large record costs a few host calls. 1 MiB is also
// what one read through the file-root helper moves, so an uncached read is never cut short.
constexpr uint64_t READ_CHUNK = 1 << 20;
constexpr uint64_t FILLER_CHUNK = 60000;
const uint8_t filler[FILLER_CHUNK] = {};
// Pieces of a record put in one write at most.
constexpr int PIECES_AT_ONCE = 64;

// File header fields (offsets in the 44-byte record buffer).
constexpr int FH_TYPE = 16;
constexpr int FH_VERSION = 20;
constexpr int FH_ENCODING = 28;
constexpr int FH_LINEAR = 36;
constexpr int FH_FLAGS = 40;

int default_print(const char* fmt, va_list ap) {
    int n = vprintf(fmt, ap);
    fflush(stdout);
    return n;
}

std::atomic<PDB_PRINT_FUNC> pdb_print{default_print};

bool writable(const PDB64* p) {
    return !p->fac.read_only;
}

int64_t file_end(PDB64* p) {
    return fac_lseek(&p->fac, 0, SEEK_END);
}

// The header at fofs, as read (0 with *ph), short (-1), or stored with an invalid length (-2,
// *raw holding its first four bytes as they lie on file).
int read_phys_at(PDB64* p, uint64_t fofs, uint64_t end, PDB64_PHYS* ph, uint8_t raw[4]) {
    if (fofs >= end || fac_lseek(&p->fac, static_cast<int64_t>(fofs), SEEK_SET) < 0) return -1;
    uint8_t h[12];
    uint64_t rest = end - fofs;
    int want = static_cast<int>(rest < 12 ? rest : 12);
    if (fac_read(&p->fac, h, want) != want) return -1;
    int r = pn64_get_phys(h, want, ph);
    if (r == 0) return -1;
    if (r < 0) {
        memcpy(raw, h, want < 4 ? want : 4);
        return -2;
    }
    return fac_lseek(&p->fac, static_cast<int64_t>(fofs) + r, SEEK_SET) < 0 ? -1 : 0;
}

typedef std::map<uint64_t, int64_t> POSITION_MAP;

bool map_on(const PDB64* p) {
    return (p->flags & PDB64_DEBUG_MAP) != 0;
}

bool reads_checked(const PDB64* p) {
    return map_on(p) && (p->flags & PDB64_DEBUG_READS) != 0;
}

// The record at fofs with or without its position prefix and body, charged to file and line.
void* read_at(PDB64* p, uint64_t fofs, bool acc, bool body, const char* file, int line) {
    if (reads_checked(p) && debug_pdb64_list(p, PDB64_MAP_VERIFY, static_cast<int64_t>(fofs), 0))
        return nullptr;
    PDB64_PHYS ph;
    if (pdb64_read_phys(p, fofs, &ph) != 0) return nullptr;
    uint64_t size = ph.len - static_cast<uint64_t>(ph.hlen) + PN64_HEADER_SIZE;
    uint64_t pre = acc ? sizeof(ACC64_HEADER) : 0;
    uint64_t total = pre + (body ? size : PN64_HEADER_SIZE);
    auto* buf = static_cast<uint8_t*>(xx_d_alloc(static_cast<int64_t>(total), file, line));
    if (acc) {
        ACC64_HEADER a = {fofs};
        memcpy(buf, &a, sizeof a);
    }
    pn64_set(buf + pre, ph.type, size);
    if (body && pdb64_read_exact(p, buf + pre + PN64_HEADER_SIZE, size - PN64_HEADER_SIZE) != 0) {
        d_f_ree(buf);
        return nullptr;
    }
    return buf;
}

// Reads and checks the file header record: 0 with its 44-byte buffer (file order) in rec.
int read_file_header(PDB64* p, uint8_t rec[PN64_FILE_HEADER_SIZE]) {
    PDB64_PHYS ph;
    if (pdb64_read_phys(p, 0, &ph) != 0 || ph.type != PN64_FILE_HEADER_TYPE || ph.hlen != 4 ||
        ph.len != PN64_FILE_HEADER_SIZE - 12)
        return -1;
    pn64_set(rec, ph.type, PN64_FILE_HEADER_SIZE);
    if (pdb64_read_exact(p, rec + PN64_HEADER_SIZE, PN64_FILE_HEADER_SIZE - PN64_HEADER_SIZE) != 0)
        return -1;
    if (memcmp(rec + FH_VERSION, PN64_VERSION, sizeof PN64_VERSION) != 0) return -1;
    return 0;
}

// Rewrites the file header's flags in place: 0 or -1.
int write_header_flags(PDB64* p, uint8_t rec[PN64_FILE_HEADER_SIZE], int32_t flags) {
    put_be32(rec + FH_FLAGS, static_cast<uint32_t>(flags));
    return write_filespace64f(p, 0, rec) < 0 ? -1 : 0;
}

void build_file_header(uint8_t rec[PN64_FILE_HEADER_SIZE], int32_t type, const char* encoding,
                       int32_t flags) {
    memset(rec, 0, PN64_FILE_HEADER_SIZE);
    pn64_set(rec, PN64_FILE_HEADER_TYPE, PN64_FILE_HEADER_SIZE);
    put_be32(rec + FH_TYPE, static_cast<uint32_t>(type));
    memcpy(rec + FH_VERSION, PN64_VERSION, sizeof PN64_VERSION);
    const char* enc = encoding ? encoding : "UTF-8";
    size_t n = strnlen(enc, 7);
    memcpy(rec + FH_ENCODING, enc, n);
    put_be32(rec + FH_LINEAR, 0);
    put_be32(rec + FH_FLAGS, static_cast<uint32_t>(flags));
}

}  // namespace

// -------------------------------------------------------------------------------------------------
// Record buffers and header forms

uint16_t pn64_type(const void* rec) {
    return get_be16(static_cast<const uint8_t*>(rec));
}

uint64_t pn64_size(const void* rec) {
    return get_be64(static_cast<const uint8_t*>(rec) + 8);
}

void pn64_set(void* rec, uint16_t type, uint64_t size) {
    auto* b = static_cast<uint8_t*>(rec);
    put_be16(b, type);
    memset(b + 2, 0, 6);
    put_be64(b + 8, size);
}

int pn64_phys_length(uint64_t size) {
    if (size <= PHYS_MAX_LEN_16 + 12) return 4;
    if (size <= 0xFFFFFFFFull) return 8;
    return 12;
}

uint64_t pn64_onfile_length(uint64_t size) {
    return size - PN64_HEADER_SIZE + static_cast<uint64_t>(pn64_phys_length(size));
}

uint64_t pn64_record_size(uint64_t onfile) {
    if (onfile < 4) return 0;
    if (onfile <= PHYS_MAX_LEN_16) return onfile + 12;
    if (onfile >= 65538 && onfile <= 0xFFFFFFFFull - 8) return onfile + 8;
    if (onfile >= 0xFFFFFFFFull - 3) return onfile + 4;
    return 0;
}

int pn64_put_phys(uint8_t* out, uint16_t type, uint64_t size) {
    put_be16(out, type);
    int hl = pn64_phys_length(size);
    uint64_t len = size - PN64_HEADER_SIZE + static_cast<uint64_t>(hl);
    if (hl == 4) {
        put_be16(out + 2, static_cast<uint16_t>(len));
    } else if (hl == 8) {
        put_be16(out + 2, PHYS_MARK_32);
        put_be32(out + 4, static_cast<uint32_t>(len));
    } else {
        put_be16(out + 2, PHYS_MARK_64);
        put_be64(out + 4, len);
    }
    return hl;
}

int pn64_put_extent_phys(uint8_t* out, uint16_t type, uint64_t onfile) {
    put_be16(out, type);
    if (onfile <= PHYS_MAX_LEN_16) {
        put_be16(out + 2, static_cast<uint16_t>(onfile));
        return 4;
    }
    if (onfile <= 0xFFFFFFFFull) {
        put_be16(out + 2, PHYS_MARK_32);
        put_be32(out + 4, static_cast<uint32_t>(onfile));
        return 8;
    }
    put_be16(out + 2, PHYS_MARK_64);
    put_be64(out + 4, onfile);
    return 12;
}

int pn64_get_phys(const uint8_t* in, int avail, PDB64_PHYS* ph) {
    if (avail < 4) return 0;
    ph->type = get_be16(in);
    uint16_t l16 = get_be16(in + 2);
    if (l16 == PHYS_MARK_32) {
        if (avail < 8) return 0;
        ph->hlen = 8;
        ph->len = get_be32(in + 4);
    } else if (l16 == PHYS_MARK_64) {
        if (avail < 12) return 0;
        ph->hlen = 12;
        ph->len = get_be64(in + 4);
    } else {
        ph->hlen = 4;
        ph->len = l16;
    }
    return ph->len < static_cast<uint64_t>(ph->hlen) ? -1 : ph->hlen;
}

int pdb64_read_phys(PDB64* p, uint64_t fofs, PDB64_PHYS* ph) {
    int64_t end = file_end(p);
    if (end < 0) return -1;
    uint8_t raw[4];
    if (read_phys_at(p, fofs, static_cast<uint64_t>(end), ph, raw) != 0) return -1;
    if (ph->len > static_cast<uint64_t>(end) - fofs) return -1;
    return 0;
}

int pdb64_read_exact(PDB64* p, uint8_t* buf, uint64_t len) {
    while (len > 0) {
        int n = static_cast<int>(len < READ_CHUNK ? len : READ_CHUNK);
        if (fac_read(&p->fac, buf, n) != n) return -1;
        buf += n;
        len -= static_cast<uint64_t>(n);
    }
    return 0;
}

int pdb64_read_head(PDB64* p, uint64_t fofs, uint8_t* buf, int cap, PDB64_PHYS* ph) {
    int64_t end = file_end(p);
    if (end < 0 || fofs >= static_cast<uint64_t>(end) || cap < 12 ||
        fac_lseek(&p->fac, static_cast<int64_t>(fofs), SEEK_SET) < 0)
        return -1;
    uint64_t rest = static_cast<uint64_t>(end) - fofs;
    int want = rest < static_cast<uint64_t>(cap) ? static_cast<int>(rest) : cap;
    if (fac_read(&p->fac, buf, want) != want) return -1;
    int hl = pn64_get_phys(buf, want, ph);
    if (hl <= 0 || ph->len > rest) return -1;
    // Only the record's own bytes count as read.
    if (static_cast<uint64_t>(want) > ph->len) {
        want = static_cast<int>(ph->len);
        if (fac_lseek(&p->fac, static_cast<int64_t>(fofs + ph->len), SEEK_SET) < 0) return -1;
    }
    return want;
}

// -------------------------------------------------------------------------------------------------
// Byte order

void change_endian_header64(PN64_HEADER* h) {
    change_endian_16(&h->type);
    change_endian_64(&h->size);
}

void change_endian_phys_header64_to_net(PHYS_PN64_HEADER* h) {
    uint16_t len = h->h4.len;
    change_endian_16(&h->h4.type);
    change_endian_16(&h->h4.len);
    if (len == PHYS_MARK_32) change_endian_32(&h->h8.len);
    if (len == PHYS_MARK_64) change_endian_64(&h->h12.len);
}

void change_endian_phys_header64_to_host(PHYS_PN64_HEADER* h) {
    change_endian_16(&h->h4.type);
    change_endian_16(&h->h4.len);
    if (h->h4.len == PHYS_MARK_32) change_endian_32(&h->h8.len);
    if (h->h4.len == PHYS_MARK_64) change_endian_64(&h->h12.len);
}

// `linear` is converted with the other integers: it is a big-endian u32 on file like them (always
// 0 today, so files and peers see no difference).
void change_endian_file_header64(PN64_FILE_HEADER* h) {
    change_endian_header64(&h->h);
    change_endian_32(&h->type);
    change_endian_32(&h->linear);
    change_endian_32(&h->flags);
}

void change_endian_freelist64_to_net(PN64_FREELIST* f) {
    change_endian_header64(&f->h);
    change_endian_64(&f->next);
}

void change_endian_freelist64_to_host(PN64_FREELIST* f) {
    change_endian_freelist64_to_net(f);
}

// -------------------------------------------------------------------------------------------------
// Handles

PDB64* open_pdb64(const char* name, int oflags, int mode, int32_t flags) {
    if (!name) {
        errno = EINVAL;
        return nullptr;
    }
    // The cache reads the pages it completes, so a writer always opens for reading too; a
    // write-only opener is a writer like any other (the lock, the open-for-writing flag), so that
    // it can never write beside another writer.
    bool rw = (oflags & O_ACCMODE) != O_RDONLY;
    int host_flags = (oflags & ~(O_ACCMODE | O_TRUNC)) | (rw ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    char* path = change_delim_str(name);
    // Only a regular file is a record file; a FIFO or a device is refused without waiting.
    int fd = u_open_regular(path, host_flags, mode);
    d_f_ree(path);
    if (fd < 0) return nullptr;
    if (rw) {
        // A live writer holds the lock: refuse, touching nothing. Truncation comes only after.
        if (u_flock(fd, LOCK_EX | LOCK_NB) != 0 ||
            ((oflags & O_TRUNC) && u_ftruncate(fd, 0) != 0)) {
            int e = errno;
            u_close(fd);
            errno = e;
            return nullptr;
        }
    }
    auto* p = static_cast<PDB64*>(d_calloc(1, sizeof(PDB64)));
    p->fid = fd;
    p->flags = flags & PDB64_FLAGS_KEPT;
    p->oflags = oflags;
    p->fac.fd = fd;
    p->fac.long_file = 1;
    p->fac.read_only = !rw;
    if (fac_init(&p->fac) != 0) {
        int e = errno;
        u_close(fd);
        d_f_ree(p);
        errno = e;
        return nullptr;
    }
    return p;
}

int close_pdb64(PDB64* p) {
    // No cached tree record may outlive its handle.
    discard_favt64_cache(p);
    tree_log_close(p);
    delete static_cast<POSITION_MAP*>(p->pdb64_debug_root);
    p->pdb64_debug_root = nullptr;
    int r = fac_close(&p->fac);
    int e = errno;
    // Closed once: the descriptor is gone whatever close answers. A failed close can mean that
    // written pages never reached the disk, so it fails the close too.
    if (u_close(p->fid) != 0 && r == 0) {
        r = -1;
        e = errno;
    }
    d_f_ree(p);
    errno = e;
    return r;
}

namespace {

// Where the chain of records breaks, and the shortest record before that after the free-list
// head.
struct ChainWalk {
    uint64_t broken = 0;
    uint64_t least = UINT64_MAX;
};

// What check_filespace64 verifies (its codes): say prints the first fault in one line; w, when
// given, receives what the walk of the chain met. The file position moves.
int check_structure(PDB64* p, bool say, ChainWalk* w) {
    auto fault = [say](int r, const char* fmt, long long v) {
        if (say) pdb_printf(fmt, v);
        return r;
    };
    uint8_t rec[PN64_FILE_HEADER_SIZE];
    if (read_file_header(p, rec) != 0) return fault(-2, "check_filespace64: no file header\n", 0);
    int64_t send = file_end(p);
    if (send < 0) return -1;
    uint64_t end = static_cast<uint64_t>(send);
    std::map<uint64_t, uint64_t> extents;  // free extent records: position -> on-file length
    bool has_head = false;
    for (uint64_t pos = 0; pos < end;) {
        PDB64_PHYS ph;
        uint8_t raw[4];
        if (read_phys_at(p, pos, end, &ph, raw) != 0 || ph.len > end - pos) {
            if (w) w->broken = pos;
            return fault(-1, "check_filespace64: broken chain at %lli\n",
                         static_cast<long long>(pos));
        }
        if (ph.type == PN64_FREE_EXTENT_TYPE) extents[pos] = ph.len;
        if (w && pos >= PN64_FIRST_RECORD && ph.len < w->least) w->least = ph.len;
        if (ph.type == PN64_FREELIST_HEAD_TYPE) {
            if (pos != PN64_FREELIST_POS || has_head)
                return fault(-3, "check_filespace64: stray free-list head at %lli\n",
                             static_cast<long long>(pos));
            has_head = true;
        }
        pos += ph.len;
    }
    if (!has_head) {
        if (p->freelist_work || !extents.empty())
            return fault(-3, "check_filespace64: free list without its head\n", 0);
        return 0;
    }
    // The list from the head: every link a free extent, strictly descending, none adjacent to
    // the one before it, and every free extent of the chain on it.
    auto next_of = [p](uint64_t pos, uint64_t* next) {
        PDB64_PHYS ph;
        uint8_t b[8];
        return pdb64_read_phys(p, pos, &ph) == 0 && ph.len >= static_cast<uint64_t>(ph.hlen) + 8 &&
               pdb64_read_exact(p, b, 8) == 0 && (*next = get_be64(b), true);
    };
    uint64_t cur = 0;
    if (!next_of(PN64_FREELIST_POS, &cur))
        return fault(-3, "check_filespace64: unreadable free-list head\n", 0);
    uint64_t above = end;  // the extent before in the list, or the end of the file
    size_t seen = 0;
    while (cur != 0) {
        auto it = extents.find(cur);
        if (it == extents.end() || cur >= above || cur + it->second == above ||
            seen == extents.size())
            return fault(-3, "check_filespace64: free list broken at %lli\n",
                         static_cast<long long>(cur));
        seen++;
        above = cur;
        if (!next_of(cur, &cur))
            return fault(-3, "check_filespace64: free list broken at %lli\n",
                         static_cast<long long>(above));
    }
    if (seen != extents.size())
        return fault(-3, "check_filespace64: %lli free extents not on the list\n",
                     static_cast<long long>(extents.size() - seen));
    return 0;
}

// A record at fofs, the file's last, that runs past the end: what a writer killed while
// appending it leaves (a host write cut between pages, or a write-back of the cache that came
// while the record was half appended). Completed with zeros it is whole again, and the chain
// with it; it holds nothing anyone was told was saved, and the file keeps every byte it had. A
// free extent is completed alike: a writer that cut the file inside an extent whose pieces were
// joined in its cache alone leaves the host file's header of the extent running past the end. A
// header cut itself names no length: those few bytes are cut off. The free-list head is never cut
// off: one that runs past the end is damage and left alone, as is a length below least (the
// shortest record the file holds) or beyond what one write could have left missing. 0; -1 when
// no such record stands there or the file cannot be mended.
int complete_torn_record(PDB64* p, uint64_t fofs, uint64_t least) {
    int64_t send = file_end(p);
    if (send < 0 || fofs >= static_cast<uint64_t>(send)) return -1;
    uint64_t end = static_cast<uint64_t>(send);
    uint8_t h[12];
    int avail = static_cast<int>(end - fofs < 12 ? end - fofs : 12);
    PDB64_PHYS ph;
    if (fac_lseek(&p->fac, static_cast<int64_t>(fofs), SEEK_SET) < 0 ||
        fac_read(&p->fac, h, avail) != avail)
        return -1;
    int r = pn64_get_phys(h, avail, &ph);
    if (r == 0) return fac_truncate(&p->fac, fofs);
    if (r < 0 || ph.len <= end - fofs || ph.len < least || ph.type == PN64_FREELIST_HEAD_TYPE)
        return -1;
    uint64_t missing = ph.len - (end - fofs);
    if (missing > static_cast<uint64_t>(INT32_MAX)) return -1;
    if (fac_lseek(&p->fac, send, SEEK_SET) != send) return -1;
    for (uint64_t left = missing; left > 0;) {
        uint64_t n = left < FILLER_CHUNK ? left : FILLER_CHUNK;
        if (fa_write64(p, filler, n) < 0) return -1;
        left -= n;
    }
    return 0;
}

// The opening of a file whose writer died (its open-for-writing flag found set): the writer's
// last write-back may have been cut anywhere, so what check_filespace64 verifies is verified
// here and mended from the records, which alone say where the free extents are. A free list
// left inconsistent (a link written ahead of the header it names, an extent written ahead of
// its link) is made anew from the chain; a record cut at the end of the file is completed. What
// cannot be mended (a chain broken inside the file) keeps the records readable and refuses
// allocation and release, as a damaged list does.
void recover_dead_writer(PDB64* p, const char* name) {
    ChainWalk w;
    int r = check_structure(p, false, &w);
    uint64_t broken = w.broken;
    if (r == -1) {
        // Every record of a file with a free list can become a free extent, so none is shorter
        // than the least one: a shorter one is damage, and the chain after it is no writer's.
        uint64_t least = p->freelist_work ? pn64_onfile_length(PN64_FREELIST_SIZE) : 4;
        if (w.least < least || complete_torn_record(p, broken, least) != 0) {
            pdb_printf("open_filespace64: %s: chain of records broken at %lli\n", name,
                       static_cast<long long>(broken));
            p->freelist_broken = 1;
            return;
        }
        pdb_printf("open_filespace64: %s: record at %lli cut by the writer's end, mended\n", name,
                   static_cast<long long>(broken));
        r = check_structure(p, false, nullptr);
    }
    if (r == 0 && !p->freelist_broken) return;
    if (p->freelist_work && r != -1 && r != -2 && rebuild_freelist64(p) == 0 &&
        check_structure(p, false, nullptr) == 0) {
        pdb_printf("open_filespace64: %s: free list made anew\n", name);
        return;
    }
    pdb_printf("open_filespace64: %s: damaged\n", name);
    p->freelist_broken = 1;
}

}  // namespace

PDB64* open_filespace64(const char* name, int oflags, int mode, int32_t flags, int32_t type,
                        const char* encoding) {
    PDB64* p = open_pdb64(name, oflags, mode, flags & PDB64_FLAGS_KEPT);
    if (!p) return nullptr;
    uint8_t rec[PN64_FILE_HEADER_SIZE];
    int32_t found_flags = 0;
    bool flag_set = false;  // this opening set the open-for-writing flag
    int64_t end = file_end(p);
    if (end == 0) {
        if (!writable(p)) goto fail;
        build_file_header(rec, type, encoding, PN64_FLAG_WRITING);
        if (fs_raw_write64(p, rec, 0) < 0) goto fail;
        p->made = 1;
        if (flags < 0) {
            uint8_t head[PN64_FREELIST_SIZE] = {};
            pn64_set(head, PN64_FREELIST_HEAD_TYPE, PN64_FREELIST_SIZE);
            if (fs_raw_write64(p, head, 0) < 0) goto fail;
            p->freelist_work = new_freelist_head64();
        }
        if (tree_log_open(p, name, true) != 0) goto fail;
    } else {
        if (end < 0 || read_file_header(p, rec) != 0) goto fail;
        found_flags = static_cast<int32_t>(get_be32(rec + FH_FLAGS));
        if (writable(p)) {
            // We hold the writers' lock, so a set flag was left by a writer that ended.
            if (found_flags & PN64_FLAG_WRITING) {
                pdb_printf("open_filespace64: %s was left open for writing; taken over\n", name);
                p->taken_over = 1;
            }
            if (write_header_flags(p, rec, found_flags | PN64_FLAG_WRITING) != 0) goto fail;
            flag_set = !(found_flags & PN64_FLAG_WRITING);
        }
        uint64_t pos = 0;
        if (void* head = get_file_record64(&pos, p, PN64_FREELIST_HEAD_TYPE, PN64_FREELIST_SIZE)) {
            uint64_t size = pn64_size(head);
            // A head too short to hold its link counts as one pointing nowhere.
            uint64_t next = size >= PN64_FREELIST_SIZE
                                ? get_be64(static_cast<uint8_t*>(head) + PN64_HEADER_SIZE)
                                : ~0ull;
            d_f_ree(head);
            p->freelist_work = new_freelist_head64();
            p->freelist_work->f.next = next;
            // The head stands at 32 and points into the file; anything else is a damaged list,
            // which keeps the records readable but refuses allocation and release.
            if (pos != PN64_FREELIST_POS || size != PN64_FREELIST_SIZE ||
                next >= static_cast<uint64_t>(file_end(p)) || (next && next < PN64_FIRST_RECORD)) {
                pdb_printf("free list damaged at %lli: no head\n", static_cast<long long>(pos));
                p->freelist_broken = 1;
            }
        } else if (flags < 0) {
            goto fail;
        }
        // The tree records of a flush the dead writer committed go in place before anything is
        // checked or read.
        if (tree_log_open(p, name, false) != 0) goto fail;
        if (writable(p) && (found_flags & PN64_FLAG_WRITING)) {
            recover_dead_writer(p, name);
            // What the dead writer allocated or gave up after its last commit, named by nothing
            // committed, is given back. A committed structure that is damaged itself says nothing
            // sure about what is named: the file is left as it is, to be read only.
            uint64_t at = 0;
            int64_t n = sweep_unnamed64(p, &at);
            if (n > 0)
                pdb_printf("open_filespace64: %s: %lli records named by nothing freed\n", name,
                           static_cast<long long>(n));
            if (n == -2) {
                pdb_printf(
                    "open_filespace64: %s: a committed structure is damaged at %lli; left "
                    "read-only\n",
                    name, static_cast<long long>(at));
                if (fac_flush(&p->fac) != 0) goto fail;
                p->fac.read_only = 1;
            }
        }
    }
    if (fac_flush(&p->fac) != 0) goto fail;
    return p;

fail : {
    int e = errno ? errno : EINVAL;
    if (flag_set) write_header_flags(p, rec, found_flags);
    drop_freelist64(p);
    close_pdb64(p);
    errno = e;
    return nullptr;
}
}

int close_filespace64(PDB64* p) {
    int r = flush_favt64_cache(p);
    int e = errno;
    drop_freelist64(p);
    if (fac_flush(&p->fac) != 0) {
        r = -1;
        e = errno;
    }
    if (writable(p) && r == 0) {
        // The flag is cleared only over a complete file; a truncated file has no header left.
        uint8_t rec[PN64_FILE_HEADER_SIZE];
        if (read_file_header(p, rec) == 0) {
            int32_t f = static_cast<int32_t>(get_be32(rec + FH_FLAGS));
            if (write_header_flags(p, rec, f & ~PN64_FLAG_WRITING) != 0) {
                r = -1;
                e = errno;
            }
        }
    }
    if (close_pdb64(p) != 0 && r == 0) {
        r = -1;
        e = errno;
    }
    errno = e;
    return r;
}

int flush_filespace64(PDB64* p) {
    int r = flush_favt64_cache(p);
    return fac_flush(&p->fac) == 0 ? r : -1;
}

int read_file_header64(PDB64* p, PN64_FILE_HEADER* h) {
    uint8_t rec[PN64_FILE_HEADER_SIZE];
    if (read_file_header(p, rec) != 0) return -1;
    *h = PN64_FILE_HEADER{};
    h->h.type = PN64_FILE_HEADER_TYPE;
    h->h.size = PN64_FILE_HEADER_SIZE;
    h->type = static_cast<int32_t>(get_be32(rec + FH_TYPE));
    memcpy(h->version, rec + FH_VERSION, sizeof h->version);
    memcpy(h->encoding, rec + FH_ENCODING, sizeof h->encoding);
    h->encoding[sizeof h->encoding - 1] = 0;
    h->linear = get_be32(rec + FH_LINEAR);
    h->flags = static_cast<int32_t>(get_be32(rec + FH_FLAGS));
    return 0;
}

void check_pdb64(PDB64* p) {
    if (p && !p->freelist_work) er_panic("check_pdb64");
}

int truncate_filespace64(PDB64* p) {
    discard_favt64_cache(p);
    if (p->pdb64_debug_root) static_cast<POSITION_MAP*>(p->pdb64_debug_root)->clear();
    drop_freelist64(p);
    return fac_truncate(&p->fac, 0);
}

// -------------------------------------------------------------------------------------------------
// Reading

void* get_file_record64(uint64_t* retp, PDB64* p, int16_t type, uint64_t max_size) {
    uint64_t pos = retp ? *retp : 0;
    int64_t end = file_end(p);
    if (end < 0) {
        pdb_printf("get_file_record64-1 = %lli\n", static_cast<long long>(end));
        return nullptr;
    }
    uint64_t uend = static_cast<uint64_t>(end);
    if (retp && reads_checked(p) &&
        debug_pdb64_list(p, PDB64_MAP_VERIFY, static_cast<int64_t>(pos), 0) != 0)
        return nullptr;
    bool first = true;
    for (;;) {
        if (pos >= uend) {
            pdb_printf("get_file_record64-2 = %lli %lli\n", static_cast<long long>(end),
                       static_cast<long long>(pos));
            return nullptr;
        }
        PDB64_PHYS ph;
        uint8_t raw[4] = {};
        int r = read_phys_at(p, pos, uend, &ph, raw);
        if (r == -2) {
            uint16_t raw_len, raw_type;
            memcpy(&raw_type, raw, 2);
            memcpy(&raw_len, raw + 2, 2);
            pdb_printf("%i %x %x %lli\n", static_cast<int>(ph.len), raw_len, raw_type,
                       static_cast<long long>(pos));
            return nullptr;
        }
        // A short header or a record running past the end: the chain is broken here.
        if (r != 0 || ph.len > uend - pos) return nullptr;
        if (map_on(p))
            debug_pdb64_list(p, PDB64_MAP_ADD, static_cast<int64_t>(pos),
                             static_cast<int64_t>(ph.len - ph.hlen + PN64_HEADER_SIZE));
        bool match;
        if (retp && type <= 0)
            match = first;
        else if (retp)
            match = !first && ph.type == type;
        else
            match = static_cast<int>(ph.type) == type;
        first = false;
        if (!match) {
            pos += ph.len;
            continue;
        }
        uint64_t size = ph.len - static_cast<uint64_t>(ph.hlen) + PN64_HEADER_SIZE;
        uint64_t room = size;
        if (max_size != 0 && max_size < size)
            room = max_size < PN64_HEADER_SIZE ? PN64_HEADER_SIZE : max_size;
        auto* buf = static_cast<uint8_t*>(d_alloc(static_cast<int64_t>(room)));
        pn64_set(buf, ph.type, size);
        if (pdb64_read_exact(p, buf + PN64_HEADER_SIZE, room - PN64_HEADER_SIZE) != 0) {
            d_f_ree(buf);
            return nullptr;
        }
        if (retp) *retp = pos;
        return buf;
    }
}

void* xx_read_filespace64(PDB64* p, uint64_t fofs, const char* file, int line) {
    return read_at(p, fofs, true, true, file, line);
}

void* xx_read_filespace64_header(PDB64* p, uint64_t fofs, const char* file, int line) {
    return read_at(p, fofs, true, false, file, line);
}

void* xx_read_filespace64f(PDB64* p, uint64_t fofs, const char* file, int line) {
    return read_at(p, fofs, false, true, file, line);
}

void* xx_read_filespace64f_header(PDB64* p, uint64_t fofs, const char* file, int line) {
    return read_at(p, fofs, false, false, file, line);
}

int xx_read_filespace64f_split(PDB64* p, uint64_t fofs, uint8_t* head, uint64_t head_len,
                               void** body, uint64_t* body_len, const char* file, int line) {
    *body = nullptr;
    *body_len = 0;
    PDB64_PHYS ph;
    if (pdb64_read_phys(p, fofs, &ph) != 0) return -1;
    uint64_t size = ph.len - static_cast<uint64_t>(ph.hlen);
    if (size < head_len) return -1;
    pn64_set(head, ph.type, size + PN64_HEADER_SIZE);
    if (pdb64_read_exact(p, head + PN64_HEADER_SIZE, head_len) != 0) return -1;
    uint64_t rest = size - head_len;
    if (rest == 0) return 0;
    auto* b = static_cast<uint8_t*>(xx_d_alloc(static_cast<int64_t>(rest), file, line));
    // The pages are mapped in with one call rather than a fault each as the read fills them.
    prefault_for_write(b, static_cast<int64_t>(rest));
    if (pdb64_read_exact(p, b, rest) != 0) {
        d_f_ree(b);
        return -1;
    }
    *body = b;
    *body_len = rest;
    return 0;
}

// -------------------------------------------------------------------------------------------------
// Writing

int64_t write_filespace64(PDB64* p, void* acc_rec) {
    ACC64_HEADER a;
    memcpy(&a, acc_rec, sizeof a);
    return write_filespace64f(p, a.fofs, static_cast<uint8_t*>(acc_rec) + sizeof a);
}

int64_t write_filespace64f(PDB64* p, uint64_t fofs, void* rec) {
    return write_filespace64f_pieces(p, fofs, rec, pn64_size(rec), {});
}

int64_t write_filespace64f_pieces(PDB64* p, uint64_t fofs, const void* rec, uint64_t head_len,
                                  std::span<const PDB64_PIECE> pieces) {
    uint64_t size = pn64_size(rec);
    uint64_t total = head_len;
    for (const PDB64_PIECE& c : pieces)
        total += c.len;
    PDB64_PHYS ph;
    if (size < PN64_HEADER_SIZE || head_len < PN64_HEADER_SIZE || total != size ||
        pdb64_read_phys(p, fofs, &ph) != 0 || ph.len != pn64_onfile_length(size) ||
        ph.type == PN64_FREELIST_HEAD_TYPE || ph.type == PN64_FREE_EXTENT_TYPE) {
        errno = EINVAL;
        return -1;
    }
    if (fac_lseek(&p->fac, static_cast<int64_t>(fofs), SEEK_SET) < 0) return -1;
    int64_t n = fa_write64_header(p, rec, head_len);
    if (n < 0) return -1;
    for (const PDB64_PIECE& c : pieces) {
        if (c.len > 0 && fa_write64(p, c.data, c.len) < 0) return -1;
        n += static_cast<int64_t>(c.len);
    }
    return n;
}

namespace {

// A partial record would break the chain: the file is cut back to pos again. -1, errno kept.
int64_t cut_back(PDB64* p, int64_t pos) {
    int e = errno;
    fac_truncate(&p->fac, static_cast<uint64_t>(pos));
    errno = e;
    return -1;
}

// Writes the pieces at the current position: the bytes written, or -1. Pieces too large for one
// cache write go in chunks, one after the other.
int64_t fa_writev64(PDB64* p, iovec* v, int n) {
    uint64_t total = 0;
    for (int i = 0; i < n; i++)
        total += v[i].iov_len;
    if (total <= INT32_MAX / 2)
        return fac_writev(&p->fac, v, n) == static_cast<int>(total) ? static_cast<int64_t>(total)
                                                                    : -1;
    for (int i = 0; i < n; i++)
        if (fa_write64(p, v[i].iov_base, v[i].iov_len) < 0) return -1;
    return static_cast<int64_t>(total);
}

}  // namespace

int64_t fa_write64(PDB64* p, const void* data, uint64_t len) {
    auto* d = static_cast<const uint8_t*>(data);
    uint64_t left = len;
    while (left > 0) {
        int n = static_cast<int>(left < IO_CHUNK ? left : IO_CHUNK);
        int w = fac_write(&p->fac, d, n);
        if (w < 1) return -1;
        d += w;
        left -= static_cast<uint64_t>(w);
    }
    return static_cast<int64_t>(len);
}

int64_t fa_write64_header(PDB64* p, const void* rec, uint64_t len) {
    uint64_t size = pn64_size(rec);
    if (size < PN64_HEADER_SIZE || len < PN64_HEADER_SIZE) {
        errno = EINVAL;
        return -1;
    }
    uint8_t h[12];
    int hl = pn64_put_phys(h, pn64_type(rec), size);
    uint64_t body = len - PN64_HEADER_SIZE;
    if (map_on(p)) {
        // A header goes only where a record starts, and never over the start of another.
        int64_t at = static_cast<int64_t>(p->fac.seek_point);
        if (debug_pdb64_list(p, PDB64_MAP_VERIFY, at, 0) != 0 ||
            debug_pdb64_list(p, PDB64_MAP_SPAN, at, hl + static_cast<int64_t>(body)) != 0) {
            pdb_printf("fa_write64 %lli refused\n", static_cast<long long>(at));
            errno = EINVAL;
            return -1;
        }
    }
    if (fa_write64(p, h, static_cast<uint64_t>(hl)) < 0) return -1;
    if (body > 0 && fa_write64(p, static_cast<const uint8_t*>(rec) + PN64_HEADER_SIZE, body) < 0)
        return -1;
    return hl + static_cast<int64_t>(body);
}

int64_t fs_raw_write64(PDB64* p, const void* rec, int mode) {
    if ((mode & 3) == 0) return fs_raw_write64_pieces(p, rec, pn64_size(rec), {});
    int64_t pos = file_end(p);
    uint64_t size = pn64_size(rec);
    if (pos < 0 || size < PN64_HEADER_SIZE) {
        errno = EINVAL;
        return -1;
    }
    if (map_on(p)) debug_pdb64_list(p, PDB64_MAP_ADD, pos, static_cast<int64_t>(size));
    bool ok = fa_write64_header(p, rec, PN64_HEADER_SIZE) >= 0;
    // The body of modes 2 and 3 is filler: zeros, meaning nothing.
    for (uint64_t left = size - PN64_HEADER_SIZE; ok && (mode & 3) != 1 && left > 0;) {
        uint64_t n = left < FILLER_CHUNK ? left : FILLER_CHUNK;
        ok = fa_write64(p, filler, n) >= 0;
        left -= n;
    }
    return ok ? pos : cut_back(p, pos);
}

int64_t fs_raw_write64_pieces(PDB64* p, const void* rec, uint64_t head_len,
                              std::span<const PDB64_PIECE> pieces) {
    int64_t pos = file_end(p);
    uint64_t size = pn64_size(rec);
    uint64_t total = head_len;
    for (const PDB64_PIECE& c : pieces)
        total += c.len;
    if (pos < 0 || size < PN64_HEADER_SIZE || head_len < PN64_HEADER_SIZE || total != size) {
        errno = EINVAL;
        return -1;
    }
    if (map_on(p)) debug_pdb64_list(p, PDB64_MAP_ADD, pos, static_cast<int64_t>(size));
    // One write of the physical header, the head's body and the pieces, so that a large record
    // goes to the file in one piece; records of more pieces than one write takes go in turn.
    uint8_t h[12];
    int hl = pn64_put_phys(h, pn64_type(rec), size);
    iovec v[PIECES_AT_ONCE + 2];
    int n = 0;
    v[n++] = {h, static_cast<size_t>(hl)};
    if (head_len > PN64_HEADER_SIZE)
        v[n++] = {const_cast<uint8_t*>(static_cast<const uint8_t*>(rec) + PN64_HEADER_SIZE),
                  static_cast<size_t>(head_len - PN64_HEADER_SIZE)};
    bool ok = fac_lseek(&p->fac, pos, SEEK_SET) == pos;
    for (size_t i = 0; ok && i <= pieces.size(); i++) {
        if (i < pieces.size() && pieces[i].len > 0)
            v[n++] = {const_cast<void*>(pieces[i].data), static_cast<size_t>(pieces[i].len)};
        if (n == PIECES_AT_ONCE + 2 || (i == pieces.size() && n > 0)) {
            ok = fa_writev64(p, v, n) >= 0;
            n = 0;
        }
    }
    return ok ? pos : cut_back(p, pos);
}

// -------------------------------------------------------------------------------------------------
// Diagnostics

namespace {

POSITION_MAP& position_map(PDB64* p) {
    if (!p->pdb64_debug_root) p->pdb64_debug_root = new POSITION_MAP;
    return *static_cast<POSITION_MAP*>(p->pdb64_debug_root);
}

// Walks the records from start and answers whether one begins exactly at fofs; the file's
// position is kept.
bool walk_lands_on(PDB64* p, uint64_t start, uint64_t fofs) {
    uint64_t keep = p->fac.seek_point;
    int64_t end = file_end(p);
    bool hit = false;
    for (uint64_t pos = start; end > 0 && pos <= fofs;) {
        if (pos == fofs) {
            hit = true;
            break;
        }
        PDB64_PHYS ph;
        uint8_t raw[4];
        if (read_phys_at(p, pos, static_cast<uint64_t>(end), &ph, raw) != 0) break;
        pos += ph.len;
    }
    fac_lseek(&p->fac, static_cast<int64_t>(keep), SEEK_SET);
    return hit;
}

}  // namespace

int debug_pdb64_list(PDB64* p, int cmd, int64_t fofs, int64_t size) {
    if (!p || !map_on(p)) return 0;
    if (cmd & PDB64_MAP_HERE) fofs = static_cast<int64_t>(p->fac.seek_point);
    POSITION_MAP& m = position_map(p);
    uint64_t at = static_cast<uint64_t>(fofs);
    switch (cmd & 0xFF) {
        case PDB64_MAP_ADD: {
            auto [it, fresh] = m.emplace(at, size);
            if (fresh) return 0;
            if (size >= 0) it->second = size;
            return -1;
        }
        case PDB64_MAP_KNOWN:
            return m.count(at) ? 0 : -1;
        case PDB64_MAP_VERIFY: {
            if (fofs < 0) return -1;
            if (m.count(at)) return 0;
            auto it = m.lower_bound(at);
            uint64_t start = it == m.begin() ? 0 : std::prev(it)->first;
            uint64_t window = 10;
            while (window < at - start && window < at)
                window *= 2;
            pdb_printf(">>> DP SEARCH %lli %lli %lli\n", static_cast<long long>(fofs),
                       static_cast<long long>(window), static_cast<long long>(start));
            if (!walk_lands_on(p, start, at)) return -1;
            m.emplace(at, -1);
            return 0;
        }
        case PDB64_MAP_FORGET:
            return m.erase(at) ? 0 : -1;
        case PDB64_MAP_CLEAR:
            m.clear();
            return 0;
        case PDB64_MAP_SPAN: {
            if (size <= 1) return 0;
            // Starts at or beyond the end were cut off with the file: nothing stands there.
            m.erase(m.lower_bound(p->fac.file_size), m.end());
            auto it = m.upper_bound(at);
            if (it == m.end() || it->first >= at + static_cast<uint64_t>(size)) return 0;
            pdb_printf("B %lli %lli %lli\n", static_cast<long long>(fofs),
                       static_cast<long long>(fofs + size), static_cast<long long>(it->first));
            return -1;
        }
        default:
            return -1;
    }
}

void pdb64_map_extent(PDB64* p, uint64_t fofs, uint64_t len) {
    if (!p || !map_on(p)) return;
    POSITION_MAP& m = position_map(p);
    m.erase(m.upper_bound(fofs), m.lower_bound(fofs + len));
    m[fofs] = static_cast<int64_t>(pn64_record_size(len));
}

int check_filespace64(PDB64* p) {
    if (!p) return -2;
    uint64_t keep = p->fac.seek_point;
    int r = check_structure(p, true, nullptr);
    fac_lseek(&p->fac, static_cast<int64_t>(keep), SEEK_SET);
    return r;
}

int64_t test_file64(const char* file, PDB64* p, int64_t limit) {
    PDB64* own = nullptr;
    if (!p) {
        own = open_filespace64(file, O_RDONLY, 0644, 0, 11, "UCS4");
        if (!own) {
            pdb_printf("test_file64 %s: cannot open\n", file ? file : "");
            return -1;
        }
        p = own;
    }
    uint64_t keep = p->fac.seek_point;
    int64_t send = file_end(p);
    uint64_t end = send < 0 ? 0 : static_cast<uint64_t>(send);
    int64_t n = 0;
    uint64_t pos = 0;
    for (; pos < end && (limit <= 0 || pos < static_cast<uint64_t>(limit));) {
        PDB64_PHYS ph;
        uint8_t raw[4];
        if (read_phys_at(p, pos, end, &ph, raw) != 0 || ph.len > end - pos) break;
        pdb_printf("%lli H(%x %lli)\n", static_cast<long long>(pos), ph.type,
                   static_cast<long long>(ph.len - ph.hlen + PN64_HEADER_SIZE));
        n++;
        pos += ph.len;
    }
    bool broken = send < 0 || (pos < end && (limit <= 0 || pos < static_cast<uint64_t>(limit)));
    if (broken) pdb_printf("broken at %lli\n", static_cast<long long>(pos));
    if (own)
        close_filespace64(own);
    else
        fac_lseek(&p->fac, static_cast<int64_t>(keep), SEEK_SET);
    return broken ? -1 : n;
}

void set_pdb_print(PDB_PRINT_FUNC f) {
    pdb_print = f ? f : default_print;
}

int pdb_printf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = pdb_print.load()(fmt, ap);
    va_end(ap);
    return n;
}
