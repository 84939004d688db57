#include "pdb/pagecache.h"

#include <errno.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/ufile.h"
#include "pdb/pdb64.h"

FAC_GENERAL fac_general_info;

namespace {

// Pages by offset, unsigned 64-bit; node data points at a page's offset field.
int fac_cmp(void* node_data, void* key) {
    uint64_t a = *static_cast<uint64_t*>(node_data);
    uint64_t b = *static_cast<uint64_t*>(key);
    if (a == b) return 0;
    return a > b ? 1 : -1;
}

FAC_ENTRY* entry_of(AVT_NODE* n) {
    return reinterpret_cast<FAC_ENTRY*>(reinterpret_cast<char*>(n) - offsetof(FAC_ENTRY, node));
}

// Ring links: insert l right after at; unlink l.
void fac_insert(FAC_ENTRY_HEADER* at, FAC_ENTRY_HEADER* l) {
    l->prev = at;
    l->next = at->next;
    at->next->prev = l;
    at->next = l;
}

// Every page from the least recently used end up to this one is dirty (null: nothing known), so
// eviction need not walk past them again. Kept right when a page leaves the ring or is cleaned.
FAC_ENTRY_HEADER* dirty_run = nullptr;

void fac_delete(FAC_ENTRY_HEADER* l) {
    if (l == dirty_run) dirty_run = l->next == &fac_general_info.entries ? nullptr : l->next;
    l->prev->next = l->next;
    l->next->prev = l->prev;
    l->next = l->prev = l;
}

void info_insert(FAC_INFO_HEADER* at, FAC_INFO_HEADER* l) {
    l->prev = at;
    l->next = at->next;
    at->next->prev = l;
    at->next = l;
}

void info_delete(FAC_INFO_HEADER* l) {
    l->prev->next = l->next;
    l->next->prev = l->prev;
    l->next = l->prev = l;
}

// ---- The page table: every cached page by (file, offset)

constexpr uint64_t TABLE_FIRST = 1u << 16;  // buckets at start; doubled when pages outnumber them

uint64_t bucket_of(const FAC_INFO* info, uint64_t offset) {
    uint64_t h = (offset / FAC_PAGE_SIZE) ^ (reinterpret_cast<uintptr_t>(info) >> 4);
    h *= 0x9E3779B97F4A7C15ull;
    return (h >> 20) & fac_general_info.table_mask;
}

FAC_ENTRY* table_find(const FAC_INFO* info, uint64_t offset) {
    FAC_ENTRY* e = fac_general_info.table[bucket_of(info, offset)];
    while (e && (e->offset != offset || e->info != info))
        e = e->hnext;
    return e;
}

void table_add(FAC_ENTRY* e) {
    FAC_GENERAL& g = fac_general_info;
    if (static_cast<uint64_t>(g.entries_nos) > 2 * (g.table_mask + 1)) {
        uint64_t old_size = g.table_mask + 1;
        FAC_ENTRY** old = g.table;
        g.table = static_cast<FAC_ENTRY**>(
            d_calloc(static_cast<int64_t>(2 * old_size), sizeof(FAC_ENTRY*)));
        g.table_mask = 2 * old_size - 1;
        for (uint64_t i = 0; i < old_size; i++) {
            for (FAC_ENTRY* x = old[i]; x;) {
                FAC_ENTRY* next = x->hnext;
                uint64_t b = bucket_of(x->info, x->offset);
                x->hnext = g.table[b];
                g.table[b] = x;
                x = next;
            }
        }
        d_f_ree(old);
    }
    uint64_t b = bucket_of(e->info, e->offset);
    e->hnext = g.table[b];
    g.table[b] = e;
}

void table_remove(FAC_ENTRY* e) {
    FAC_ENTRY** at = &fac_general_info.table[bucket_of(e->info, e->offset)];
    while (*at != e)
        at = &(*at)->hnext;
    *at = e->hnext;
}

// A page joins or leaves its file's dirty list; the counters follow.
void mark_dirty(FAC_ENTRY* e) {
    FAC_INFO* info = e->info;
    e->dirty = 1;
    e->dprev = nullptr;
    e->dnext = info->dirty_first;
    if (e->dnext) e->dnext->dprev = e;
    info->dirty_first = e;
    info->dirty_pages++;
    fac_general_info.dirty_nos++;
}

void mark_clean(FAC_ENTRY* e) {
    FAC_INFO* info = e->info;
    if (e->dprev)
        e->dprev->dnext = e->dnext;
    else
        info->dirty_first = e->dnext;
    if (e->dnext) e->dnext->dprev = e->dprev;
    e->dnext = e->dprev = nullptr;
    e->dirty = 0;
    info->dirty_pages--;
    fac_general_info.dirty_nos--;
}

// Removes a page from its file's tree and the ring and frees it; the counters follow.
void drop_entry(FAC_ENTRY* e, const char* label) {
    FAC_INFO* info = e->info;
    AVT_NODE* n = avt_delete(&info->entries_tree, &e->offset, fac_cmp);
    if (n != &e->node) er_panic(label);
    table_remove(e);
    fac_delete(&e->h);
    if (e->dirty) mark_clean(e);
    fac_general_info.entries_nos--;
    d_f_ree(e);
}

// Evicts least recently used clean pages while the cache holds more than its limit; `keep` (the
// page just used) and dirty pages stay.
void evict(FAC_ENTRY* keep) {
    FAC_GENERAL& g = fac_general_info;
    if (g.entries_nos <= g.total_entries) return;
    FAC_ENTRY_HEADER* l = dirty_run ? dirty_run->prev : g.entries.prev;
    bool run = true;  // every page walked so far is dirty
    while (g.entries_nos > g.total_entries && l != &g.entries) {
        FAC_ENTRY* e = reinterpret_cast<FAC_ENTRY*>(l);
        l = l->prev;
        if (e->dirty && run) dirty_run = &e->h;
        if (e->dirty || e == keep) {
            if (!e->dirty) run = false;
            continue;
        }
        drop_entry(e, "get_entry");
    }
}

// The page at offset, found (*status 0) or new (*status 1, its content not loaded); null when the
// offset lies beyond the file's length. The page becomes the most recently used.
FAC_ENTRY* get_entry(int* status, FAC_INFO* info, uint64_t offset) {
    if (offset > info->file_size) return nullptr;
    FAC_GENERAL& g = fac_general_info;
    FAC_ENTRY* e;
    if ((e = table_find(info, offset)) != nullptr) {
        *status = 0;
        fac_delete(&e->h);
    } else {
        e = static_cast<FAC_ENTRY*>(d_alloc(sizeof(FAC_ENTRY)));
        e->h.next = e->h.prev = &e->h;
        e->dirty = 0;
        e->dnext = e->dprev = nullptr;
        e->offset = offset;
        uint64_t rest = info->file_size - offset;
        e->len = rest < FAC_PAGE_SIZE ? static_cast<int>(rest) : FAC_PAGE_SIZE;
        e->info = info;
        e->node = {};
        e->node.data = &e->offset;
        if (avt_insert(&info->entries_tree, &e->node, fac_cmp) != &e->node) er_panic("get_entry");
        *status = 1;
        g.entries_nos++;
        table_add(e);
    }
    fac_insert(&g.entries, &e->h);
    evict(e);
    return e;
}

// Reads n bytes at offset from the host file into buf, one host call unless it comes short;
// 0 when all of them came, else -1 (EIO at an early end).
int host_read(int fd, uint64_t offset, uint8_t* buf, int n) {
    while (n > 0) {
        int r = u_pread(fd, buf, n, static_cast<int64_t>(offset));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            if (r == 0) errno = EIO;
            return -1;
        }
        buf += r;
        offset += static_cast<uint64_t>(r);
        n -= r;
    }
    return 0;
}

// Writes the pieces one after the other from offset on: 0 when all went, else -1. A short
// write goes on from where it stopped.
int host_writev(int fd, uint64_t offset, iovec* iov, int cnt) {
    for (;;) {
        // Empty pieces (a page cut to nothing) move nothing.
        while (cnt > 0 && iov->iov_len == 0) {
            iov++;
            cnt--;
        }
        if (cnt == 0) return 0;
        int r = u_pwritev(fd, iov, cnt, static_cast<int64_t>(offset));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            if (r == 0) errno = EIO;
            return -1;
        }
        offset += static_cast<uint64_t>(r);
        auto left = static_cast<size_t>(r);
        for (; cnt > 0 && left >= iov->iov_len; cnt--, iov++)
            left -= iov->iov_len;
        if (cnt > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
}

// Fills a new page with what the host file holds of it; the rest of its valid content lies in no
// other place (it would be a dirty page). A failed load drops the page: 0 or -1 with EIO.
int load_entry(FAC_ENTRY* e) {
    FAC_INFO* info = e->info;
    int n = 0;
    if (info->real_file_size > e->offset) {
        uint64_t rest = info->real_file_size - e->offset;
        n = rest < static_cast<uint64_t>(e->len) ? static_cast<int>(rest) : e->len;
    }
    if (n > 0) {
        fac_general_info.page_loads++;
        if (host_read(info->fd, e->offset, e->data, n) != 0) {
            drop_entry(e, "get_entry");
            errno = EIO;
            return -1;
        }
    }
    return 0;
}

constexpr int RUN_PAGES = 256;  // adjacent pages put in one host write at most

// Writes back the dirty pages of info in ascending order, adjacent full pages in one host write
// straight from the pages, so that the cost follows the dirty pages and not all the file's pages:
// 0, or the errno of the failed write.
int write_dirty(FAC_INFO* info) {
    std::vector<FAC_ENTRY*> pages;
    pages.reserve(static_cast<size_t>(info->dirty_pages));
    for (FAC_ENTRY* e = info->dirty_first; e; e = e->dnext)
        pages.push_back(e);
    std::sort(pages.begin(), pages.end(),
              [](const FAC_ENTRY* a, const FAC_ENTRY* b) { return a->offset < b->offset; });
    iovec iov[RUN_PAGES];
    for (size_t i = 0; i < pages.size();) {
        size_t j = i + 1;
        while (j < pages.size() && j - i < RUN_PAGES && pages[j - 1]->len == FAC_PAGE_SIZE &&
               pages[j]->offset == pages[j - 1]->offset + FAC_PAGE_SIZE)
            j++;
        FAC_ENTRY* first = pages[i];
        int n = 0;
        for (size_t k = i; k < j; k++) {
            iov[k - i] = {pages[k]->data, static_cast<size_t>(pages[k]->len)};
            n += pages[k]->len;
        }
        fac_general_info.page_writes += static_cast<int64_t>(j - i);
        if (info->read_only) errno = EBADF;
        if (info->read_only ||
            host_writev(info->fd, first->offset, iov, static_cast<int>(j - i)) != 0) {
            // Later pages stay dirty too: writing them would leave a hole where this failed.
            return errno ? errno : EIO;
        }
        uint64_t end = first->offset + static_cast<uint64_t>(n);
        if (end > info->real_file_size) info->real_file_size = end;
        for (size_t k = i; k < j; k++)
            mark_clean(pages[k]);
        dirty_run = nullptr;
        i = j;
    }
    return 0;
}

// Writes back one file's dirty pages (the cache lock held).
int fac_purge_onlyone(FAC_INFO* info) {
    if (int err = info->dirty_first ? write_dirty(info) : 0) {
        errno = err;
        return -1;
    }
    if (info->real_file_size != info->file_size) er_panic("fac_purge(2)");
    return 0;
}

int purge_all_locked() {
    FAC_GENERAL& g = fac_general_info;
    int r = 0, err = 0;
    for (FAC_INFO_HEADER* l = g.info_list.next; l != &g.info_list; l = l->next) {
        if (fac_purge_onlyone(reinterpret_cast<FAC_INFO*>(l)) != 0) {
            r = -1;
            err = errno;
        }
    }
    if (r == 0 && g.dirty_nos != 0) er_panic("fac_purge");
    if (r) errno = err;
    return r;
}

int largest_entry(AVT_NODE* n, void* work) {
    *static_cast<FAC_ENTRY**>(work) = entry_of(n);
    return 1;
}

}  // namespace

void fac_init_general() {
    FAC_GENERAL& g = fac_general_info;
    if (g.lock) return;
    g.entries.next = g.entries.prev = &g.entries;
    g.info_list.next = g.info_list.prev = &g.info_list;
    g.entries_nos = 0;
    g.dirty_nos = 0;
    g.total_entries = FAC_DEFAULT_LIMIT;
    g.table = static_cast<FAC_ENTRY**>(d_calloc(TABLE_FIRST, sizeof(FAC_ENTRY*)));
    g.table_mask = TABLE_FIRST - 1;
    // One lock for the pages of every record file, held across their disk reads and writes: a
    // record file is a regular file (pdb64 and the tree log open nothing else), so such a wait
    // is the disk's, never a peer's or a FIFO's; through a user's file-root helper it is bounded
    // by the file root's time-out.
    _i_new_lock(&g.lock);
}

int fac_set_limit(int pages) {
    FAC_GENERAL& g = fac_general_info;
    if (!g.lock) return -1;
    TaskLockGuard guard(g.lock);
    int old = g.total_entries;
    g.total_entries = pages < 1 ? 1 : pages;
    return old;
}

int fac_init(FAC_INFO* info) {
    info->seek_point = 0;
    info->entries_tree = nullptr;
    info->dirty_pages = 0;
    info->dirty_first = nullptr;
    info->h.next = info->h.prev = &info->h;
    int64_t end = u_lseek64(info->fd, 0, SEEK_END);
    if (end < 0) return -1;
    info->file_size = info->real_file_size = static_cast<uint64_t>(end);
    FAC_GENERAL& g = fac_general_info;
    info->cached = g.lock != nullptr;
    if (info->cached) {
        TaskLockGuard guard(g.lock);
        info_insert(&g.info_list, &info->h);
    } else if (u_lseek64(info->fd, 0, SEEK_SET) < 0) {
        return -1;
    }
    return 0;
}

int fac_read(FAC_INFO* info, void* buf, int len) {
    if (!info->cached) return u_read(info->fd, buf, len);
    TaskLockGuard guard(fac_general_info.lock);
    auto* out = static_cast<uint8_t*>(buf);
    int done = 0;
    while (len >= 1) {
        // Whole pages wanted that are not cached hold nothing but what the host file has: two
        // or more of them are read straight into buf, without taking pages that would only push
        // out the ones in use (a large record read once would flush the cache).
        if ((info->seek_point & ~FAC_PAGE_MASK) == 0 && len >= 2 * FAC_PAGE_SIZE) {
            uint64_t at = info->seek_point, end = at;
            uint64_t limit = std::min({at + static_cast<uint64_t>(len), info->real_file_size,
                                       info->file_size, at + INT32_MAX / 2});
            while (end + FAC_PAGE_SIZE <= limit && !table_find(info, end))
                end += FAC_PAGE_SIZE;
            if (end - at >= 2 * FAC_PAGE_SIZE) {
                int n = static_cast<int>(end - at);
                if (host_read(info->fd, at, out, n) != 0) {
                    errno = EIO;
                    return -1;
                }
                fac_general_info.page_loads += n / FAC_PAGE_SIZE;
                out += n;
                len -= n;
                done += n;
                info->seek_point = end;
                continue;
            }
        }
        int status;
        FAC_ENTRY* e = get_entry(&status, info, info->seek_point & FAC_PAGE_MASK);
        if (!e || (status == 1 && load_entry(e) != 0)) {
            errno = EIO;
            return -1;
        }
        uint64_t in = info->seek_point - e->offset;
        if (in > static_cast<uint64_t>(e->len)) {
            errno = EIO;
            return -1;
        }
        int n = e->len - static_cast<int>(in);
        if (n > len) n = len;
        if (n == 0) break;
        memcpy(out, e->data + in, static_cast<size_t>(n));
        out += n;
        len -= n;
        done += n;
        info->seek_point += static_cast<uint64_t>(n);
    }
    return done;
}

namespace {
std::atomic<uint64_t> debug_target_fofs{~0ull};
}  // namespace

void set_debug_target_fofs(uint64_t fofs) {
    debug_target_fofs = fofs;
}

int check_access_write(FAC_INFO* info, int64_t length) {
    uint64_t target = debug_target_fofs;
    if (target == ~0ull) return 0;
    if (static_cast<int64_t>(info->seek_point) < 0) {
        pdb_printf("CAW\n");
        return -1;
    }
    uint64_t at = info->seek_point;
    if (length > 0 && at <= target && at + static_cast<uint64_t>(length) > target) {
        pdb_printf("STOP %llu %llu\n", static_cast<unsigned long long>(at),
                   static_cast<unsigned long long>(at + static_cast<uint64_t>(length)));
        return -1;
    }
    return 0;
}

void fa_print_dump(const char* msg, const FAC_ENTRY* page, int ptr, int size) {
    int end = size < 0 ? FAC_PAGE_SIZE : ptr + size;
    pdb_printf("%s [%i %i : %i %i]\n", msg, page->len, end, ptr, end);
    int stop = end < page->len ? end : page->len;
    if (stop > FAC_PAGE_SIZE) stop = FAC_PAGE_SIZE;
    std::string line;
    for (int i = ptr < 0 ? 0 : ptr - ptr % 20; i < stop; i++) {
        char b[48];
        int col = i % 20;
        if (col == 0) {
            snprintf(b, sizeof b, "%s %04i = ", msg, i);
            line = b;
        } else if (col == 10) {
            line += "+ ";
        } else if (col == 5 || col == 15) {
            line += "- ";
        }
        snprintf(b, sizeof b, "%02x ", page->data[i]);
        line += b;
        if (col == 19 || i == stop - 1) pdb_printf("%s\n", line.c_str());
    }
}

int fac_write(FAC_INFO* info, const void* data, int len) {
    if (info->read_only) {
        errno = EBADF;
        return -1;
    }
    if (check_access_write(info, len) != 0) {
        errno = EIO;
        return -1;
    }
    if (!info->cached) return u_write(info->fd, data, len);
    FAC_GENERAL& g = fac_general_info;
    TaskLockGuard guard(g.lock);
    auto* in_data = static_cast<const uint8_t*>(data);
    int done = 0;
    while (len >= 1) {
        int status;
        FAC_ENTRY* e = get_entry(&status, info, info->seek_point & FAC_PAGE_MASK);
        if (!e) {
            errno = EIO;
            return -1;
        }
        int in = static_cast<int>(info->seek_point - e->offset);
        if (in > e->len) {
            // A write never leaves a hole.
            errno = EIO;
            return -1;
        }
        int chunk = len < FAC_PAGE_SIZE - in ? len : FAC_PAGE_SIZE - in;
        if (status == 1 && (in != 0 || in + chunk < e->len) && load_entry(e) != 0) {
            errno = EIO;
            return -1;
        }
        if (!e->dirty) mark_dirty(e);
        memcpy(e->data + in, in_data, static_cast<size_t>(chunk));
        if (in + chunk > e->len) e->len = in + chunk;
        in_data += chunk;
        len -= chunk;
        done += chunk;
        info->seek_point += static_cast<uint64_t>(chunk);
        if (info->seek_point > info->file_size) info->file_size = info->seek_point;
    }
    // The bytes are in the cache; a failed write-back here leaves its pages dirty, and the next
    // flush or close of their file reports it.
    if (static_cast<double>(g.dirty_nos) >= 0.75 * static_cast<double>(g.total_entries)) {
        int e = errno;
        purge_all_locked();
        errno = e;
    }
    return done;
}

int fac_writev(FAC_INFO* info, const iovec* iov, int cnt) {
    int64_t total = 0;
    for (int i = 0; i < cnt; i++)
        total += static_cast<int64_t>(iov[i].iov_len);
    if (total > INT32_MAX || cnt < 0) {
        errno = EINVAL;
        return -1;
    }
    if (check_access_write(info, total) != 0) {
        errno = EIO;
        return -1;
    }
    FAC_GENERAL& g = fac_general_info;
    if (info->cached && !info->read_only && total >= FAC_DIRECT_MIN && cnt <= RUN_PAGES) {
        TaskLockGuard guard(g.lock);
        uint64_t at = info->seek_point;
        if (at == info->file_size && at == info->real_file_size) {
            // The bytes go past all the host file holds, in one host write straight from the
            // pieces; the partly filled last page, when cached, takes its share so that it
            // stays what the host holds.
            iovec v[RUN_PAGES];
            std::copy(iov, iov + cnt, v);
            if (host_writev(info->fd, at, v, cnt) != 0) {
                // What reached the host is found again by the next cut or write-back.
                return -1;
            }
            if (FAC_ENTRY* e = table_find(info, at & FAC_PAGE_MASK)) {
                auto in = static_cast<int>(at - e->offset);
                for (int i = 0; i < cnt && in < FAC_PAGE_SIZE; i++) {
                    int k = std::min(static_cast<int>(iov[i].iov_len), FAC_PAGE_SIZE - in);
                    memcpy(e->data + in, iov[i].iov_base, static_cast<size_t>(k));
                    in += k;
                }
                if (in > e->len) e->len = in;
            }
            uint64_t end = at + static_cast<uint64_t>(total);
            info->seek_point = info->file_size = info->real_file_size = end;
            g.page_writes += (total + FAC_PAGE_SIZE - 1) / FAC_PAGE_SIZE;
            // The page the write ends in is taken with its bytes from the pieces: what is
            // appended next goes there without reading back what was just written.
            uint64_t last = end & FAC_PAGE_MASK;
            if (last > at && last < end && !table_find(info, last)) {
                int status;
                if (FAC_ENTRY* e = get_entry(&status, info, last)) {
                    int want = static_cast<int>(end - last);
                    for (int i = cnt - 1; i >= 0 && want > 0; i--) {
                        int k = std::min(static_cast<int>(iov[i].iov_len), want);
                        want -= k;
                        memcpy(e->data + want,
                               static_cast<const uint8_t*>(iov[i].iov_base) + iov[i].iov_len - k,
                               static_cast<size_t>(k));
                    }
                }
            }
            return static_cast<int>(total);
        }
    }
    int done = 0;
    for (int i = 0; i < cnt; i++) {
        auto* d = static_cast<const uint8_t*>(iov[i].iov_base);
        for (auto left = static_cast<int>(iov[i].iov_len); left > 0;) {
            // Without the cache a host write may come short: it goes on from there.
            int n = fac_write(info, d, left);
            if (n < 1) return -1;
            d += n;
            left -= n;
            done += n;
        }
    }
    return done;
}

int fac_write_through(FAC_INFO* info, const void* data, int len) {
    uint64_t at = info->seek_point;
    int n = fac_write(info, data, len);
    if (n != len || !info->cached) return n;
    TaskLockGuard guard(fac_general_info.lock);
    if (at + static_cast<uint64_t>(len) <= info->real_file_size) {
        iovec v{const_cast<void*>(data), static_cast<size_t>(len)};
        if (host_writev(info->fd, at, &v, 1) != 0) return -1;
    }
    return n;
}

bool fac_host_holds(FAC_INFO* info, uint64_t end) {
    if (!info->cached) return true;
    TaskLockGuard guard(fac_general_info.lock);
    return end <= info->real_file_size;
}

int64_t fac_lseek(FAC_INFO* info, int64_t offset, int whence) {
    if (!info->cached) return u_lseek64(info->fd, offset, whence);
    TaskLockGuard guard(fac_general_info.lock);
    int64_t base;
    switch (whence) {
        case SEEK_SET:
            base = 0;
            break;
        case SEEK_CUR:
            base = static_cast<int64_t>(info->seek_point);
            break;
        case SEEK_END:
            base = static_cast<int64_t>(info->file_size);
            break;
        default:
            return -1;
    }
    int64_t target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0) return -2;
    if (static_cast<uint64_t>(target) > info->file_size) return -3;
    info->seek_point = static_cast<uint64_t>(target);
    return target;
}

int fac_truncate(FAC_INFO* info, uint64_t length) {
    if (info->read_only) {
        errno = EBADF;
        return -1;
    }
    if (!info->cached) return u_ftruncate(info->fd, static_cast<int64_t>(length));
    TaskLockGuard guard(fac_general_info.lock);
    if (length > info->file_size) return -1;
    info->file_size = length;
    if (info->seek_point > length) info->seek_point = length;
    for (;;) {
        FAC_ENTRY* e = nullptr;
        avt_trace_from_large(info->entries_tree, largest_entry, &e);
        if (!e) break;
        if (e->offset > length) {
            drop_entry(e, "fac_truncate");
            continue;
        }
        if (e->offset + static_cast<uint64_t>(e->len) > length)
            e->len = static_cast<int>(length - e->offset);
        break;
    }
    int64_t host = u_lseek64(info->fd, 0, SEEK_END);
    if (host < 0) return -1;
    if (length >= static_cast<uint64_t>(host)) {
        info->real_file_size = static_cast<uint64_t>(host);
        return 0;
    }
    if (u_ftruncate(info->fd, static_cast<int64_t>(length)) != 0) return -1;
    info->real_file_size = length;
    return 0;
}

int fac_flush(FAC_INFO* info) {
    if (!info->cached) return 0;
    TaskLockGuard guard(fac_general_info.lock);
    return fac_purge_onlyone(info);
}

int fac_close(FAC_INFO* info) {
    if (!info->cached) return 0;
    TaskLockGuard guard(fac_general_info.lock);
    int r = fac_purge_onlyone(info);
    int err = errno;
    while (info->entries_tree)
        drop_entry(entry_of(info->entries_tree), "fac_close");
    // Content that could not be written back is gone: the file is what the host holds.
    info->file_size = info->real_file_size;
    if (info->seek_point > info->file_size) info->seek_point = info->file_size;
    info_delete(&info->h);
    errno = err;
    return r;
}

int fac_purge_all() {
    FAC_GENERAL& g = fac_general_info;
    if (!g.lock) return 0;
    TaskLockGuard guard(g.lock);
    return purge_all_locked();
}

FAC_STATS fac_stats() {
    FAC_GENERAL& g = fac_general_info;
    if (!g.lock) return FAC_STATS{};
    TaskLockGuard guard(g.lock);
    return FAC_STATS{g.total_entries, g.entries_nos, g.dirty_nos, g.page_loads, g.page_writes};
}

int fac_page_state(FAC_INFO* info, uint64_t offset) {
    if (!info->cached) return -1;
    TaskLockGuard guard(fac_general_info.lock);
    offset &= FAC_PAGE_MASK;
    AVT_NODE* n = avt_search(info->entries_tree, &offset, fac_cmp);
    if (!n) return -1;
    FAC_ENTRY* e = entry_of(n);
    return e->len + (e->dirty ? 0x10000 : 0);
}
