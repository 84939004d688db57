// What the importing and exporting built-ins share: numbers from arguments with their range
// checks, the element size of a channel, and one run over an entry's matrix. A run has a cache
// of its own with its own node-fetch options (the entry's cache and its options are never
// changed by a run), sets the matrix's create-node key, builds the channel table that sends one
// channel to one caller buffer, and releases its node on every road out. A writing run holds the
// entry's lock for its whole length, so two writes of one matrix do not interleave; nothing that
// waits on a peer happens under that lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "geo/open_mx.h"
#include "lisp/sexp.h"

// A 64-bit integer argument.
bool gmx_arg_int(QV_SEXP* v, int64_t* out);
// An integer or floating argument as a double (finite only).
bool gmx_arg_number(QV_SEXP* v, double* out);
// An integer, or a floating value truncated toward zero (trunc) or rounded half to even.
bool gmx_arg_trunc(QV_SEXP* v, int64_t* out);
bool gmx_arg_rint(QV_SEXP* v, int64_t* out);
// A string argument's text as bytes of the default code method.
std::string gmx_arg_bytes(QV_SEXP* v);

// The cell size of channel ch of m: the element size of its vector type; 0 for a type of one
// value per node (no cells to read or write), none, or a channel outside the matrix.
int gmx_channel_size(MATRIX* m, int64_t ch);
// The cache position of channel ch in the entry, or -1 when the entry does not access it.
int gmx_access_pos(MX_ENTRY* e, int64_t ch);
// Level-0 units of one cell of `level` along dimension d; 0 when the shift leaves 62 bits or
// the matrix has no dimension d.
int64_t gmx_level_step(MATRIX* m, int64_t level, int d);

// A vector write's failure that ends an import: a node that cannot be had (codes -1 and -10 of
// mx_cache_error) or whose vector has no dimension (-11, a damaged file's); the others are cells
// outside the matrix.
inline bool gmx_node_failure(int code) {
    return code == -1 || code == -10 || code == -11;
}
// 0x80040501 ("invalid matrix loading" mx_cache_error).
QV_SEXP* gmx_loading_error(QV_SEXP* form, const char* func);
// A read of m's cells that failed for want of a node: 0x80040501 ("invalid matrix loading" code),
// the code -124 (the damaged-file code) when m's file names a node it cannot give, else
// mx_cache_error.
QV_SEXP* gmx_read_error(QV_SEXP* form, const char* func, MATRIX* m);

// ("invalida parameter" label) with GMX_PARAM, ("type missmatch" label) with GMX_MISMATCH.
QV_SEXP* gmx_label_error(QV_SEXP* form, uint32_t code, const char* func, const char* label);

// A held registry entry, released when the call ends.
struct GmxHold {
    MX_ENTRY* e = nullptr;
    GmxHold() = default;
    explicit GmxHold(MX_ENTRY* entry) : e(entry) {}
    GmxHold(const GmxHold&) = delete;
    GmxHold& operator=(const GmxHold&) = delete;
    ~GmxHold() {
        if (e) release_mx_entry(e);
    }
};

class GmxRun {
  public:
    // Locks e (when take_lock is set and the caller does not hold its lock already), gives the
    // run a cache of its own over e's channels with these node-fetch options, and sets the
    // create-node key (left as it is when create_node is null). A run that only reads takes no
    // lock: its cache is its own, so nothing of the entry's is shared with another run.
    GmxRun(MX_ENTRY* e, int tree_node, int create, int wait, const char* create_node,
           bool take_lock = true);
    // Releases the run's node and closes its cache.
    ~GmxRun();
    GmxRun(const GmxRun&) = delete;
    GmxRun& operator=(const GmxRun&) = delete;
    // Cache parameters: the entry's defaults over the run's cache with dc, no offsets, every
    // channel skipped but the one at position pos (when >= 0), which goes to data buffer `buf`
    // entry 0 (`table`).
    MX_CACHE_PARAM& param(int64_t* dc, int pos, int buf, void** table);
    MX_ENTRY* entry() { return e_; }
    MX_CACHE* cache() { return &c_; }
    // Lets go of the current node (and its channel locks), so that nothing of the matrix is
    // held while the run waits on something else.
    void release_node() { flush_mx_cache(&c_, 0); }

  private:
    MX_ENTRY* e_;
    std::unique_lock<std::mutex> lock_;
    MX_CACHE c_{};
    MX_CACHE_PARAM p_{};
    MX_CACHE_PARAM_IX* ix_ = nullptr;
    std::optional<MxCreateNode> create_;  // the run's create-node setting
};

// The lock a run of an entry holds (one of a fixed set, by the entry's address).
std::mutex& gmx_entry_lock(MX_ENTRY* e);
