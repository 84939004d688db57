// The locked interface of the record store. The file layer, the page cache and the record cache
// share process-wide state, so every use from the rest of the system goes through the functions
// named here with the prefix l_: each takes the one global lock l_favt64_lock, runs the operation
// and releases it. The lock is the innermost of the stores (taken after the matrix lock and the
// matrix-file lock) and is not recursive: no l_ function may be called from inside a record-store
// operation, walk and comparison functions included.
//
// A pointer to a cached root or node that an l_ function returns stays valid only until the cache
// may drop the record, that is until the lock is next released: a caller that chains operations
// on returned records (look a root up, search it, insert a node it allocated, free a node it
// deleted) holds the lock across the whole sequence with PdbLockGuard and calls the unlocked
// operations inside.
#pragma once

#include <cstdint>

#include "base/lock.h"
#include "pdb/associate64.h"
#include "pdb/favt64.h"
#include "pdb/freelist64.h"
#include "pdb/pdb64.h"

extern SEM l_favt64_lock;

// Starts the record cache (init_favt64) and creates the lock; once, before any other record-store
// use (a later call does nothing; the l_ functions also make sure of it).
void init_l_favt64();

// Holds the record store's lock for a scope; the unlock carries tag.
class PdbLockGuard {
  public:
    explicit PdbLockGuard(const char* tag = "unlock", VX_HERE_FILE, VX_HERE_LINE);
    ~PdbLockGuard();
    PdbLockGuard(const PdbLockGuard&) = delete;
    PdbLockGuard& operator=(const PdbLockGuard&) = delete;

  private:
    const char* tag_;
    const char* file_;
    int line_;
};

// ---- Trees (favt64.h)
FAVT64_NODE* l_favt64_alloc_node(FAVT64_ROOT* root, const void* data, int64_t data_size,
                                 VX_HERE_FILE, VX_HERE_LINE);
FAVT64_ROOT* l_favt64_alloc_root(PDB64* p, int32_t type, FAVT64_ENDIAN endian_func, VX_HERE_FILE,
                                 VX_HERE_LINE);
FAVT64_NODE* l_favt64_delete(int* errp, FAVT64_ROOT* root, FAVT64_PTR* ref, void* data,
                             FAVT64_CMP cmp, void* work, VX_HERE_FILE, VX_HERE_LINE);
int l_favt64_free_node(FAVT64_NODE* node, VX_HERE_FILE, VX_HERE_LINE);
FAVT64_NODE* l_favt64_insert(int* errp, FAVT64_ROOT* root, FAVT64_PTR* ref, FAVT64_NODE* node,
                             FAVT64_CMP cmp, void* work, VX_HERE_FILE, VX_HERE_LINE);
FAVT64_NODE* l_favt64_search(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start, void* data,
                             FAVT64_CMP cmp, void* work, VX_HERE_FILE, VX_HERE_LINE);
int l_favt64_trace_from_small(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start,
                              FAVT64_TRACE_FUNC func, void* work, VX_HERE_FILE, VX_HERE_LINE);
int l_favt64_trace_from_large(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start,
                              FAVT64_TRACE_FUNC func, void* work, VX_HERE_FILE, VX_HERE_LINE);
BOUND64_LIST* l_favt64_bound_search(int* errp, FAVT64_ROOT* root, FAVT64_NODE* start,
                                    void* data_min, void* data_max, int limit, FAVT64_CMP cmp,
                                    void* work, VX_HERE_FILE, VX_HERE_LINE);
// Root positions are 64-bit: roots anywhere in a file can be looked up.
FAVT64_ROOT* l_get_root64(int* errp, PDB64* p, uint64_t fofs, FAVT64_ENDIAN endian_func,
                          VX_HERE_FILE, VX_HERE_LINE);
FAVT64_NODE* l_root_node64(int* errp, FAVT64_ROOT* root, VX_HERE_FILE, VX_HERE_LINE);
void l_check_cache64(const char* label, VX_HERE_FILE, VX_HERE_LINE);
int l_flush_favt64_cache(PDB64* p, VX_HERE_FILE, VX_HERE_LINE);

// ---- Record files (pdb64.h, freelist64.h)
int l_flush_filespace64(PDB64* p, VX_HERE_FILE, VX_HERE_LINE);
int l_close_filespace64(PDB64* p, VX_HERE_FILE, VX_HERE_LINE);
int l_truncate_filespace64(PDB64* p, VX_HERE_FILE, VX_HERE_LINE);
int64_t l_write_filespace64(PDB64* p, void* acc_rec, VX_HERE_FILE, VX_HERE_LINE);
int64_t l_write_filespace64f(PDB64* p, uint64_t fofs, void* rec, VX_HERE_FILE, VX_HERE_LINE);
int64_t l_write_filespace64f_pieces(PDB64* p, uint64_t fofs, const void* rec, uint64_t head_len,
                                    std::span<const PDB64_PIECE> pieces, VX_HERE_FILE,
                                    VX_HERE_LINE);
// The buffers of the readers are charged to the locked interface; the caller frees them.
void* l_read_filespace64(PDB64* p, uint64_t fofs, VX_HERE_FILE, VX_HERE_LINE);
void* l_read_filespace64_header(PDB64* p, uint64_t fofs, VX_HERE_FILE, VX_HERE_LINE);
void* l_read_filespace64f(PDB64* p, uint64_t fofs, VX_HERE_FILE, VX_HERE_LINE);
void* l_read_filespace64f_header(PDB64* p, uint64_t fofs, VX_HERE_FILE, VX_HERE_LINE);
// The body buffer of the split read is charged to the caller, whose data it becomes.
int l_read_filespace64f_split(PDB64* p, uint64_t fofs, uint8_t* head, uint64_t head_len,
                              void** body, uint64_t* body_len, VX_HERE_FILE, VX_HERE_LINE);
int l_free_filespace64(PDB64* p, uint64_t fofs, VX_HERE_FILE, VX_HERE_LINE);
int64_t l_alloc_filespace64(PDB64* p, const PN64_HEADER* h, VX_HERE_FILE, VX_HERE_LINE);
int64_t l_put_filespace64_pieces(PDB64* p, const void* rec, uint64_t head_len,
                                 std::span<const PDB64_PIECE> pieces, VX_HERE_FILE, VX_HERE_LINE);

// ---- Associative files (associate64.h; the QV-valued operations are in matrix/associate64_qv.h)
int l_open_associate64(const char* filename, int oflags, int mode, int32_t flags, int32_t type,
                       const char* encoding, VX_HERE_FILE, VX_HERE_LINE);
int l_close_associate64(int key, VX_HERE_FILE, VX_HERE_LINE);
int l_new_index64(int key, int type, int name, VX_HERE_FILE, VX_HERE_LINE);
int l_get_index64(int key, int name, VX_HERE_FILE, VX_HERE_LINE);
int l_get_index_type64(int key, int index, VX_HERE_FILE, VX_HERE_LINE);
int l_delete_associate64(int key, int index, const void* keyvalue, VX_HERE_FILE, VX_HERE_LINE);
int l_insert_associate64_text(int key, int index, const void* keyvalue, const char* text,
                              int64_t len, VX_HERE_FILE, VX_HERE_LINE);
char* l_search_associate64_text(int key, int index, const void* keyvalue, ASSOC64_STRING_OPT* opt,
                                int64_t* lenp, VX_HERE_FILE, VX_HERE_LINE);
int l_get_assoc64_all_text(int key, int index, ASSOC64_VALUE_FUNC func, void* work, VX_HERE_FILE,
                           VX_HERE_LINE);
