#include "pdb/recordlist64.h"

#include <cstring>

#include "base/alloc.h"
#include "base/panic.h"

namespace {

void write_header_copy(RECORD_LIST64* l, uint64_t size) {
    pn64_set(l->data, l->header.type, size);
}

// The bytes the pieces go behind: the header's size, but never less than the header copy itself,
// which a list created with a size below 16 holds too. Pieces written over it or past a buffer
// sized without it would damage the record or the heap.
int64_t fixed_part(const RECORD_LIST64* l) {
    uint64_t n = l->header.size;
    if (l->enable_header && n < PN64_HEADER_SIZE) n = PN64_HEADER_SIZE;
    return static_cast<int64_t>(n);
}

// Joins the pieces of one list: its total size, or 0 when it has none.
int64_t join(RECORD_LIST64* l) {
    if (!l->chain_head) return 0;
    int64_t body = fixed_part(l);
    int64_t total = body;
    for (CHAIN_LIST64* c = l->chain_head; c; c = c->next)
        total += c->len;
    auto* buf = static_cast<uint8_t*>(d_alloc(total > 0 ? total : 1));
    if (body > 0) memcpy(buf, l->data, static_cast<size_t>(body));
    int64_t at = body;
    for (CHAIN_LIST64* c = l->chain_head; c; c = c->next) {
        if (c->len > 0) memcpy(buf + at, c->ptr, static_cast<size_t>(c->len));
        at += c->len;
    }
    d_f_ree(l->data);
    l->data = buf;
    // The cursor pointed into the buffer just freed.
    l->ptr = nullptr;
    l->body = body;
    if (body != 0 && l->enable_header) {
        l->header.size = static_cast<uint64_t>(total);
        write_header_copy(l, l->header.size);
    }
    free_chain_list64(l->chain_head);
    l->chain_head = l->chain_tail = nullptr;
    return total;
}

CHAIN_LIST64* new_piece(void* ptr, int64_t len, int free_flag) {
    // A negative length is a caller's fault that joining would turn into a wild copy.
    if (len < 0) er_panic("set_recordlist_chain64");
    auto* c = static_cast<CHAIN_LIST64*>(d_alloc(sizeof(CHAIN_LIST64)));
    c->next = nullptr;
    c->ptr = ptr;
    c->len = len;
    c->free_flag = free_flag;
    return c;
}

}  // namespace

RECORD_LIST64* new_recordlist64(uint16_t type, uint64_t size) {
    auto* l = static_cast<RECORD_LIST64*>(d_calloc(1, sizeof(RECORD_LIST64)));
    l->header.type = type;
    l->header.size = size;
    // A list that begins with the header holds it whole, however small the size given.
    uint64_t room = size != 0 && size < PN64_HEADER_SIZE ? PN64_HEADER_SIZE : size;
    l->data = static_cast<uint8_t*>(d_calloc(static_cast<int64_t>(room > 0 ? room : 1), 1));
    l->body = static_cast<int64_t>(size);
    l->enable_header = size != 0;
    if (l->enable_header) write_header_copy(l, size);
    return l;
}

void set_recordlist_chain64(RECORD_LIST64* list, void* ptr, int64_t len, int free_flag) {
    CHAIN_LIST64* c = new_piece(ptr, len, free_flag);
    if (list->chain_tail)
        list->chain_tail->next = c;
    else
        list->chain_head = c;
    list->chain_tail = c;
}

void set_recordlist_chain64_middle(RECORD_LIST64* list, CHAIN_LIST64* before, void* ptr,
                                   int64_t len, int free_flag) {
    if (!before) er_panic("set_recordlist_chain64_middle");
    CHAIN_LIST64* c = new_piece(ptr, len, free_flag);
    c->next = before->next;
    before->next = c;
    if (list->chain_tail == before) list->chain_tail = c;
}

void setup_recordlist64_size(RECORD_LIST64* list) {
    if (!list->chain_head || !list->enable_header) return;
    list->body = fixed_part(list);
    int64_t total = list->body;
    for (CHAIN_LIST64* c = list->chain_head; c; c = c->next)
        total += c->len;
    write_header_copy(list, static_cast<uint64_t>(total));
}

int64_t setup_recordlist64(RECORD_LIST64* list) {
    int64_t sum = 0;
    for (RECORD_LIST64* l = list; l; l = l->next)
        sum += join(l);
    return sum;
}

void free_chain_list64(CHAIN_LIST64* chain) {
    while (chain) {
        CHAIN_LIST64* next = chain->next;
        if (chain->free_flag) d_f_ree(chain->ptr);
        d_f_ree(chain);
        chain = next;
    }
}

void free_recordlist64(RECORD_LIST64* list) {
    while (list) {
        RECORD_LIST64* next = list->next;
        free_chain_list64(list->chain_head);
        d_f_ree(list->data);
        d_f_ree(list);
        list = next;
    }
}

void set_recordlist_ptr64(RECORD_LIST64* list, int64_t body) {
    if (body >= static_cast<int64_t>(list->header.size)) {
        list->body = body;
        list->ptr = reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(list->data) +
                                               static_cast<uint64_t>(body));
    } else {
        list->body = 0;
        list->ptr = nullptr;
    }
}

int check_recordlist_ptr64(RECORD_LIST64* list) {
    // Compared as addresses: the cursor may stand past the buffer's end.
    auto ptr = reinterpret_cast<uintptr_t>(list->ptr);
    auto data = reinterpret_cast<uintptr_t>(list->data);
    if (!list->ptr || ptr < data + static_cast<uint64_t>(list->body)) return -1;
    if (ptr >= data + list->header.size) return 1;
    return 0;
}
