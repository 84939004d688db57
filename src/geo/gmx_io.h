// What the importing and exporting built-ins share: numbers from arguments with their range
// checks, the element size of a channel, and one run over an entry's cache. A run holds the
// entry's use lock for its whole length (two runs on one entry never share its current node or
// pool), sets the cache's node-fetch options and the matrix's create-node key, builds the channel
// table that sends one channel to one caller buffer, and restores the options and releases the
// node on every road out.
#pragma once

#include <cstdint>
#include <mutex>
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
    // Locks e (unless the caller holds its lock already), flushes its node, sets the options and
    // the create-node key (left as it is when create_node is null).
    GmxRun(MX_ENTRY* e, int tree_node, int create, int wait, const char* create_node,
           bool take_lock = true);
    ~GmxRun();
    GmxRun(const GmxRun&) = delete;
    GmxRun& operator=(const GmxRun&) = delete;
    // Cache parameters: the entry's defaults with dc, no offsets, every channel skipped but the
    // one at position pos (when >= 0), which goes to data buffer `buf` entry 0 (`table`).
    MX_CACHE_PARAM& param(int64_t* dc, int pos, int buf, void** table);
    MX_ENTRY* entry() { return e_; }

  private:
    MX_ENTRY* e_;
    std::unique_lock<std::mutex> lock_;
    int saved_[3];
    MX_CACHE_PARAM p_{};
    MX_CACHE_PARAM_IX* ix_ = nullptr;
};

// The lock a run of an entry holds (one of a fixed set, by the entry's address).
std::mutex& gmx_entry_lock(MX_ENTRY* e);
