#include "pdb/l_favt64.h"

#include <mutex>

SEM l_favt64_lock = nullptr;

namespace {

std::once_flag started;

void ensure_started() {
    std::call_once(started, [] {
        init_favt64();
        _i_new_lock(&l_favt64_lock);
    });
}

// Runs f under the lock; the unlock carries tag.
template <class F>
auto locked(const char* tag, const char* file, int line, F&& f) {
    ensure_started();
    _i_lock_task(l_favt64_lock, file, line);
    auto r = f();
    _i_unlock_task(l_favt64_lock, tag, file, line);
    return r;
}

constexpr const char* UNLOCK = "unlock";
constexpr const char* IUNLOCK = "iunlock";

}  // namespace

void init_l_favt64() {
    ensure_started();
}

PdbLockGuard::PdbLockGuard(const char* tag, const char* file, int line)
    : tag_(tag), file_(file), line_(line) {
    ensure_started();
    _i_lock_task(l_favt64_lock, file_, line_);
}

PdbLockGuard::~PdbLockGuard() {
    _i_unlock_task(l_favt64_lock, tag_, file_, line_);
}

FAVT64_NODE* l_favt64_alloc_node(FAVT64_ROOT* root, const void* data, int64_t data_size,
                                 const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return favt64_alloc_node(root, data, data_size); });
}

FAVT64_ROOT* l_favt64_alloc_root(PDB64* p, int32_t type, FAVT64_ENDIAN endian_func,
                                 const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return favt64_alloc_root(p, type, endian_func); });
}

FAVT64_NODE* l_favt64_delete(int* errp, FAVT64_ROOT* root, FAVT64_PTR* ref, void* data,
                             FAVT64_CMP cmp, void* work, const char* file, int line) {
    return locked(UNLOCK, file, line,
                  [&] { return favt64_delete(errp, root, ref, data, cmp, work); });
}

int l_favt64_free_node(FAVT64_NODE* node, const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return favt64_free_node(node); });
}

FAVT64_NODE* l_favt64_insert(int* errp, FAVT64_ROOT* root, FAVT64_PTR* ref, FAVT64_NODE* node,
                             FAVT64_CMP cmp, void* work, const char* file, int line) {
    return locked(UNLOCK, file, line,
                  [&] { return favt64_insert(errp, root, ref, node, cmp, work); });
}

FAVT64_NODE* l_favt64_search(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start, void* data,
                             FAVT64_CMP cmp, void* work, const char* file, int line) {
    return locked(UNLOCK, file, line,
                  [&] { return favt64_search(errp, root, start, data, cmp, work); });
}

int l_favt64_trace_from_small(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start,
                              FAVT64_TRACE_FUNC func, void* work, const char* file, int line) {
    return locked(UNLOCK, file, line,
                  [&] { return favt64_trace_from_small(errp, root, start, func, work); });
}

int l_favt64_trace_from_large(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start,
                              FAVT64_TRACE_FUNC func, void* work, const char* file, int line) {
    return locked(UNLOCK, file, line,
                  [&] { return favt64_trace_from_large(errp, root, start, func, work); });
}

BOUND64_LIST* l_favt64_bound_search(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start,
                                    void* data_min, void* data_max, int limit, FAVT64_CMP cmp,
                                    void* work, const char* file, int line) {
    return locked(UNLOCK, file, line, [&] {
        return favt64_bound_search(errp, root, start, data_min, data_max, limit, cmp, work);
    });
}

FAVT64_ROOT* l_get_root64(int* errp, PDB64* p, uint64_t fofs, FAVT64_ENDIAN endian_func,
                          const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return get_root64(errp, p, fofs, endian_func); });
}

FAVT64_NODE* l_root_node64(int* errp, FAVT64_ROOT* root, const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return root_node64(errp, root); });
}

void l_check_cache64(const char* label, const char* file, int line) {
    locked(UNLOCK, file, line, [&] {
        check_cache64(label);
        return 0;
    });
}

int l_flush_favt64_cache(PDB64* p, const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return flush_favt64_cache(p); });
}

int l_flush_filespace64(PDB64* p, const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return flush_filespace64(p); });
}

int l_close_filespace64(PDB64* p, const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return close_filespace64(p); });
}

int l_truncate_filespace64(PDB64* p, const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return truncate_filespace64(p); });
}

int64_t l_write_filespace64(PDB64* p, void* acc_rec, const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return write_filespace64(p, acc_rec); });
}

int64_t l_write_filespace64f(PDB64* p, uint64_t fofs, void* rec, const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return write_filespace64f(p, fofs, rec); });
}

int64_t l_write_filespace64f_pieces(PDB64* p, uint64_t fofs, const void* rec, uint64_t head_len,
                                    std::span<const PDB64_PIECE> pieces, const char* file,
                                    int line) {
    return locked(UNLOCK, file, line,
                  [&] { return write_filespace64f_pieces(p, fofs, rec, head_len, pieces); });
}

void* l_read_filespace64(PDB64* p, uint64_t fofs, const char* file, int line) {
    return locked(UNLOCK, file, line,
                  [&] { return xx_read_filespace64(p, fofs, __FILE__, __LINE__); });
}

void* l_read_filespace64_header(PDB64* p, uint64_t fofs, const char* file, int line) {
    return locked(UNLOCK, file, line,
                  [&] { return xx_read_filespace64_header(p, fofs, __FILE__, __LINE__); });
}

void* l_read_filespace64f(PDB64* p, uint64_t fofs, const char* file, int line) {
    return locked(UNLOCK, file, line,
                  [&] { return xx_read_filespace64f(p, fofs, __FILE__, __LINE__); });
}

void* l_read_filespace64f_header(PDB64* p, uint64_t fofs, const char* file, int line) {
    return locked(UNLOCK, file, line,
                  [&] { return xx_read_filespace64f_header(p, fofs, __FILE__, __LINE__); });
}

int l_read_filespace64f_split(PDB64* p, uint64_t fofs, uint8_t* head, uint64_t head_len,
                              void** body, uint64_t* body_len, const char* file, int line) {
    return locked(UNLOCK, file, line, [&] {
        return xx_read_filespace64f_split(p, fofs, head, head_len, body, body_len, file, line);
    });
}

int l_free_filespace64(PDB64* p, uint64_t fofs, const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return free_filespace64(p, fofs); });
}

int64_t l_put_filespace64_pieces(PDB64* p, const void* rec, uint64_t head_len,
                                 std::span<const PDB64_PIECE> pieces, const char* file, int line) {
    return locked(UNLOCK, file, line,
                  [&] { return put_filespace64_pieces(p, rec, head_len, pieces); });
}

int64_t l_alloc_filespace64(PDB64* p, const PN64_HEADER* h, const char* file, int line) {
    return locked(UNLOCK, file, line, [&] { return alloc_filespace64(p, h); });
}

int l_open_associate64(const char* filename, int oflags, int mode, int32_t flags, int32_t type,
                       const char* encoding, const char* file, int line) {
    return locked(IUNLOCK, file, line,
                  [&] { return open_associate64(filename, oflags, mode, flags, type, encoding); });
}

int l_close_associate64(int key, const char* file, int line) {
    return locked("close_associate64", file, line, [&] { return close_associate64(key); });
}

int l_new_index64(int key, int type, int name, const char* file, int line) {
    return locked(IUNLOCK, file, line, [&] { return new_index64(key, type, name); });
}

int l_get_index64(int key, int name, const char* file, int line) {
    return locked(IUNLOCK, file, line, [&] { return get_index64(key, name); });
}

int l_get_index_type64(int key, int index, const char* file, int line) {
    return locked(IUNLOCK, file, line, [&] { return get_index_type64(key, index); });
}

int l_delete_associate64(int key, int index, const void* keyvalue, const char* file, int line) {
    return locked(IUNLOCK, file, line, [&] { return delete_associate64(key, index, keyvalue); });
}

int l_insert_associate64_text(int key, int index, const void* keyvalue, const char* text,
                              int64_t len, const char* file, int line) {
    return locked(IUNLOCK, file, line,
                  [&] { return insert_associate64_text(key, index, keyvalue, text, len); });
}

char* l_search_associate64_text(int key, int index, const void* keyvalue, ASSOC64_STRING_OPT* opt,
                                int64_t* lenp, const char* file, int line) {
    return locked(IUNLOCK, file, line,
                  [&] { return search_associate64_text(key, index, keyvalue, opt, lenp); });
}

int l_get_assoc64_all_text(int key, int index, ASSOC64_VALUE_FUNC func, void* work,
                           const char* file, int line) {
    return locked(IUNLOCK, file, line,
                  [&] { return get_assoc64_all_text(key, index, func, work); });
}
