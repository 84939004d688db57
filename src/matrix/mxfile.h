// Matrix files: a matrix with a file name keeps its header, its channel defaults and its nodes in
// one record file of type 31. Records (payload offsets, big-endian):
//   1536 header      channel_nos s32, dim s32, flags s32, total_levels s32, modify_time s64,
//                    subheader_fofs s64, dim_divide dim x u8, block_size dim x u8, dim compact
//                    pixel sizes, then per channel 12 unaligned bytes: type s16, flags s16,
//                    default_data_fofs s64
//   1537 subheader   72 x s32 slot priorities, 72 x s64 slot text offsets, node_root s64,
//                    cache_next s64, cache_prev s64, cache_count s32, flags s32 (bit 0: open)
//   1538 default     the element's net form, padded with zeros to a 24-byte record
//   1539 data        next_fofs s64, id s32, the element's net form
//   1541 child list  compact dimension codes each ended by 0xF1, 0xF2 filler up to 8 bytes
//   1542 node        channel_fofs s64, [ring_fofs s64 with cache_file], [child list s64 without
//                    a child bit field], the compact dimension code, [the child bit field]
// The node tree (kind 1025) maps a node's dimension code to its 1542 record: each entry is the
// record's offset (s64) followed by the compact code.
//
// File access is owned per task and re-entrant: every operation brackets its record-store calls
// with mx_start_file_access / mx_finish_file_access, and a second task waits until the owner has
// released every level. The record file is opened at the first access and closed by the idle
// closer after 300 seconds unused; the next access opens it again. A writer holds the record
// store's advisory lock for as long as the file is open, so a second live process is refused
// (-124) and the file is left as it is; the open flag found set while the lock is granted was
// left by a process that died, and is cleared. An existing non-empty file is never truncated.
// With a lock server (LockHostName, LockPort) every opening first takes a write call lock on the
// file's absolute name; another agent's opening then waits at the server while this agent is
// asked to close the file and give the lock back, instead of being refused.
//
// Lock order: matrix_lock, then the file-access lock, then the record store's lock.
#pragma once

#include <cstdint>

#include "matrix/mxstore.h"

constexpr uint16_t MX_REC_HEADER = 1536;
constexpr uint16_t MX_REC_SUBHEADER = 1537;
constexpr uint16_t MX_REC_DEFAULT = 1538;
constexpr uint16_t MX_REC_DATA = 1539;
constexpr uint16_t MX_REC_CAL = 1540;
constexpr uint16_t MX_REC_DIM_ADDR = 1541;
constexpr uint16_t MX_REC_NODE = 1542;
constexpr uint16_t MX_REC_CACHE_RING = 1543;
constexpr int32_t MX_FILE_TYPE = 31;
constexpr int32_t MX_TREE_TYPE = 1025;
constexpr int MX_SUBHEADER_PAYLOAD = 896;
constexpr uint8_t MX_FILLER = 0xF2;

// Result codes of the file layer.
constexpr int MXF_NO_NAME = -100;
constexpr int MXF_NOT_STORED = -121;
constexpr int MXF_CANNOT_OPEN = -123;
constexpr int MXF_DAMAGED = -124;  // damaged, or in use by another live process
constexpr int MXF_NO_ACCESS = -127;
constexpr int MXF_SYNC_FAILED = -2;  // the nodes to be written could not be written first

struct MX_SUBHEADER {
    int32_t pri[3 * MX_CAL_SLOTS];
    int64_t cal_fofs[3 * MX_CAL_SLOTS];
    int64_t node_root;
    int64_t cache_next;
    int64_t cache_prev;
    int32_t cache_count;
    int32_t flags;  // bit 0: open for use
};

struct PDB64;

// The work record of a matrix file (MATRIX::file_work).
struct MX_FILE_WORK {
    PDB64* pdb;  // the open record file, null while closed
    int oflags;  // host open flags of the next opening
    char* name;  // the file name as bytes
    int64_t header_fofs;
    int64_t subheader_fofs;
    MX_SUBHEADER sh;
    int32_t flags_found;  // the subheader's flags as the last opening found them
    int owner;            // the task holding access, 0 when free
    int depth;            // how often the owner took it
    uint32_t last_access;
    MX_FILE_WORK* next;  // the list of work records (idle closer)
    void* lock_d;        // the call lock held while the file is open, null when none
    int lock_seq;        // its event number, 0 for none
    bool lock_taking;    // a call lock is being asked for; its number is not recorded yet
    MATRIX* m;           // the matrix whose file this is
};

// Call locks between agents, installed by the application's start-up (absent: matrix files are
// parted between processes by the record store's advisory lock alone). lock takes a write lock on
// name (a read lock for a read-only opening, so that readers share the file) whose holder is
// asked to give it back by event(seq, data) when another agent asks for it: the descriptor with
// *seq its event number, or null when no lock server is configured, it could not be reached or
// refused. unlock gives the descriptor back and frees it.
struct MX_CALL_LOCK_HOOKS {
    void* (*lock)(const L_CHAR* name, bool write, void (*event)(int seq, void* data), void* data,
                  int* seq);
    void (*unlock)(void* d);
};
void set_mx_call_lock_hooks(const MX_CALL_LOCK_HOOKS* h);
// The event of a matrix file's call lock: another agent asks for the file. The matrix's changed
// nodes are saved first (see _mx_save_changes), so the other agent reads them; then it waits
// until no task of this process is inside the file, closes it (its open flag cleared) and gives
// the lock back; the next access opens it again and takes the lock anew. Every closing of the
// file counts in the matrix's file_epoch, so the nodes loaded before it are read again once
// nobody holds them. data is the matrix; the lock is found by seq, so an event for a file
// closed meanwhile does nothing.
void mx_file_lock_event(int seq, void* data);

// Takes access to m's file, opening it when closed: 0, MXF_CANNOT_OPEN (no work record, the
// file cannot be opened) or MXF_DAMAGED (damaged or in use elsewhere). Re-entrant per task.
int mx_start_file_access(MATRIX* m);
void mx_finish_file_access(MATRIX* m);
// Releases the calling task's one level of access to m's file and sleeps on wait_key (a key of
// the store, matrix_lock held as for mx_sleep) until woken. Holding the file at another depth, or
// not at all, is a broken invariant (panic).
void finish_file_access_with_wait(MATRIX* m, const void* wait_key);
// The open record file of m, null while it is closed or m has no file.
PDB64* get_mx_file_pfd(MATRIX* m);
// A probe of m's file: takes access (opening the file when closed), looks for the header record
// and lets it go. 0 when the header is there, MXF_DAMAGED when it is not, or the access code, in
// which case the line "load_matrix_header-1 CODE WORK MATRIX" goes to standard output.
int matrix_test(MATRIX* m);

// Creates m's file (refused with -1 when a non-empty file is there) and writes header, defaults,
// subheader and an empty node tree: 0 or -1.
int save_matrix_header(MATRIX* m);
// Opens m's existing file and installs its parameters, dimensions and channels into m: 0,
// MXF_NO_NAME, MXF_CANNOT_OPEN, MXF_DAMAGED. oflags: O_RDWR (| O_CREAT) or O_RDONLY.
int load_matrix_header(MATRIX* m, int oflags, int mode);
// Whether m's file is open for reading only (nothing m holds can be saved to it).
bool mx_file_read_only(const MATRIX* m);
int save_subheader(MATRIX* m, int sfa);
int load_subheader(MATRIX* m, int sfa);

// Writes n's file channels, child list and node record: 0, -1 (a write failed or the file is
// damaged) or the access code. The node's offsets then name its records.
int save_matrix_node(MATRIX_NODE* n);
// Reads n's stored record into n and makes it MS_OK: 0, MXF_NOT_STORED, MXF_NO_ACCESS, or -1
// when the stored record is damaged (n untouched then): a tree or node record that cannot be
// read (a file cut short) marks the matrix broken and MX_DAMAGED_FILE, so that no reader takes
// default cells for the lost ones.
int load_matrix_node(MATRIX_NODE* n);

// Single records. A channel's default (save_matrix_data_1, a 1538 record) or one channel's data
// of a node (save_matrix_data_2, a 1539 record with its chain link and channel number) is written
// at fofs when a record of that type and size stands there, else at new space, the old record
// released when it is of that type: the offset, or -1 (no access, a file open for reading, a
// failed write).
// load_matrix_data reads either kind back as a value of allocation kind 3 (a default through tp,
// a channel record through the element type of the channel it names, its link and number given
// back through the non-null pointers): null for a record of another kind, a channel number
// outside the matrix or an unknown element type.
int64_t save_matrix_data_1(MATRIX* m, int64_t fofs, void* target, MATRIX_DATA_TYPE* tp);
int64_t save_matrix_data_2(MATRIX* m, int64_t fofs, void* target, int64_t next_fofs, int id,
                           MATRIX_DATA_TYPE* tp);
void* load_matrix_data(int64_t* next_fofs, int* id, MATRIX* m, int64_t fofs, MATRIX_DATA_TYPE* tp);
// The offsets of a node record (a field the matrix's records do not have is 0).
struct PN64_MX_NODE {
    int64_t channel_fofs;
    int64_t ring_fofs;
    int64_t nlist_dim_addr;
};
// Reads the node record at fofs: its offsets into ret, its code (dim + 1 values) into dim_code,
// its child bit field (dim_bit_field bytes) into bit_field, and the record itself (header and
// payload, the caller frees it) through org; each when given. 0; -1 unreadable or not fitting
// the matrix ("load_raw_matrix_node1"); -2 a record of another type ("load_raw_matrix_node2 =
// TYPE").
int load_raw_matrix_node(PN64_MX_NODE* ret, uint8_t** org, int64_t* dim_code, uint8_t* bit_field,
                         MATRIX* m, int64_t fofs);
// Adds the child codes of the 1541 record at addr_fofs to n and remembers the record: 0 or -1.
int load_matrix_dim_addr(MATRIX_NODE* n, int64_t addr_fofs);
// The node cache ring of a cache_file matrix (the subheader is its head; entries are 1543
// records): insert_mx_cache_ring puts an entry at the front (newest) and purges the oldest beyond
// the limit; delete_mx_cache_ring unlinks one (its record stays), copying it into dr when given;
// setup_mx_cache_ring sets the node an entry names; mx_cache_purge removes the entry's node from
// the file with every record of it and its tree entry. 0, or -1 when the file cannot be written
// or a record is not what the ring says (nothing stops the program).
struct PN64_MX_CACHE_RING {
    int64_t node;
    int64_t next;
    int64_t prev;
};
int insert_mx_cache_ring(MATRIX* m, int64_t cr_fofs);
int delete_mx_cache_ring(PN64_MX_CACHE_RING* dr, MATRIX* m, int64_t cr_fofs);
int setup_mx_cache_ring(MATRIX* m, int64_t ring, int64_t node);
int mx_cache_purge(MATRIX* m, int64_t cr_fofs);

// The matrix methods over the file.
int matrix_standard_read_file(MATRIX_TOKEN* t);
int matrix_standard_write_file(MATRIX_TOKEN* t);
void close_matrix_file(MATRIX* m);

// Tree order of two tree entries (8-byte offset, compact code): level, then the coordinates
// with their in-block bits cleared; -1, 0, 1.
int mx_dim_code_cmp(void* dc1, void* dc2, void* m);
int mx_dim_code_endian(void* data, int64_t len);

// Closes the files that neither a file access nor a look-up of their matrix used for more than
// 299 seconds (and the oldest ones while more than 499 are open) at the store's clock; their next
// access opens them again. Run every 150 seconds.
void mx_close_idle_files();
// The same, leaving the file of matrix leave (null: none) open whatever its age.
void mx_file_gc(MATRIX* leave);
// Open matrix files now.
int mx_open_file_count();
// Starts the file layer (the file-access lock and the idle closer's tick).
void init_mx_file();

// The lowest and highest stored dimension codes in tree order into start and last (dim + 1
// values each): 0, 1 when nothing is stored, -1 when the tree is damaged or the file cannot be
// reached, MXF_SYNC_FAILED when the nodes still to be written could not be written first, and
// MXE_BUSY when some node stayed unwritten or in the making past the wait's bound.
int mx_scale_of_dim_code(int64_t* start, int64_t* last, MATRIX* m);
// Up to limit stored codes of start's level from start on, ascending in tree order (copies the
// caller frees with free_mx_dim_code_list); null with *errp 0 when there are none, or with a
// negative code (a failure is told apart from a level without stored nodes, so that a scan or
// copy never takes a failed search for the end of a level). Both queries first write the nodes
// still to be written and wait for those being made, so that they see what the matrix holds.
MX_DIM_CODE_LIST* mx_search_level_node(int* errp, MATRIX* m, const int64_t* start, int limit);
// The most nodes a cache_file matrix file keeps (10000); the previous limit. For tests.
int mx_set_cache_count_max(int n);

// Checks of a matrix file. save_cal_check prints "SCC" and one line "SCC MODE-SLOT -- OFFSET"
// per stored slot text and answers 0 when every text offset names a slot-text record used by no
// other slot, else -1 (or the access code). test_matrix answers 0 when a channel of m has an
// element type, else prints ">>> TASK" and answers -1. check_pdb_fd prints "CLOSE POINT = HANDLE"
// ("CLOSE POINT = ZERO W" without a work record, MXF_CANNOT_OPEN) and checks the whole file: the
// record file (check_filespace64's codes), the header and subheader records (-5) and the node
// tree, every entry naming a node record (-4); 0 when sound.
int save_cal_check(MATRIX* m);
int test_matrix(MATRIX* m);
int check_pdb_fd(MATRIX* m);

// The 24 calibration slots of a mode (0 direct, 1 server, 2 client): save_mode_cal stores the
// priorities (when pri is given) and the slot texts (when cals is given: per slot a null-ended
// array of strings joined as the text, null for an empty slot); load_mode_cal reads them back,
// each text parsed into its expression list. 0, -1 (mode outside 0..2; load zeroes the given
// outputs), -2 (no file access).
int save_mode_cal(MATRIX* m, int mode, char*** cals, int* pri);
int load_mode_cal(QV_SEXP** cals, int* pri, MATRIX* m, int mode);
