// The size-class pool of the matrix cache.
#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"
#include "matrix/mx_cache.h"
#include "matrix/mxcache.h"

int _debug_flag;

void mxc_setup(MX_CACHE* c) {
    if (c->mblk_logsize == 0) c->mblk_logsize = 9;
    if (c->mblk_hashsize == 0) c->mblk_hashsize = 16;
    c->mblk_hash = static_cast<MBLK**>(d_calloc(c->mblk_hashsize, sizeof(MBLK*)));
    c->user_header = nullptr;
}

void* xx_mxc_alloc(MX_CACHE* c, int64_t size, const char* file, int line) {
    if (size < 0) er_panic("xx_mxc_alloc");
    int64_t granule = int64_t{1} << c->mblk_logsize;
    int64_t cls = (size + granule - 1) >> c->mblk_logsize;
    MBLK* b;
    if (!_debug_flag && cls < c->mblk_hashsize) {
        b = c->mblk_hash[cls];
        if (b) {
            c->mblk_hash[cls] = b->next;
            if (b->cnt < MBLK_CNT_MAX) b->cnt++;
            b->free_file = nullptr;
            b->free_line = 0;
        } else {
            b = static_cast<MBLK*>(xx_d_alloc(cls * granule + MBLK_HEADER, file, line));
            b->size = static_cast<uint16_t>(cls);
            b->cnt = 1;
            b->alloc_file = file;
            b->alloc_line = line;
            b->free_file = nullptr;
            b->free_line = 0;
        }
    } else {
        b = static_cast<MBLK*>(xx_d_alloc(size + MBLK_HEADER, file, line));
        b->size = MBLK_UNPOOLED;
        b->cnt = 1;
        b->alloc_file = file;
        b->alloc_line = line;
        b->free_file = nullptr;
        b->free_line = 0;
    }
    b->next = nullptr;
    return reinterpret_cast<uint8_t*>(b) + MBLK_HEADER;
}

void xx_mxc_free(MX_CACHE* c, void* ptr, const char* file, int line) {
    if (!ptr) return;
    MBLK* b = mxc_block_header(ptr);
    if (b->free_file) er_panic("xx_mxc_free");
    if (b->size == MBLK_UNPOOLED) {
        xx_d_f_ree(b, file, line);
        return;
    }
    if (b->size >= c->mblk_hashsize) er_panic("mxc_free");
    b->free_file = file ? file : "?";
    b->free_line = line;
    b->next = c->mblk_hash[b->size];
    c->mblk_hash[b->size] = b;
}

void mxc_release_pool(MX_CACHE* c) {
    if (c->user_header) {
        MX_USER_HEADER* u = c->user_header;
        c->user_header = nullptr;
        if (u->free_func) u->free_func(c);
    }
    if (!c->mblk_hash) return;
    for (int i = 0; i < c->mblk_hashsize; i++) {
        while (MBLK* b = c->mblk_hash[i]) {
            c->mblk_hash[i] = b->next;
            d_f_ree(b);
        }
    }
}

void mxc_close(MX_CACHE* c) {
    flush_mx_cache(c, 1);
    d_f_ree(c->ds);
    d_f_ree(c->el_sizes);
    c->ds = nullptr;
    c->el_sizes = nullptr;
    d_f_ree(c->mblk_hash);
    c->mblk_hash = nullptr;
}
