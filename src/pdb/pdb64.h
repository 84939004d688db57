// The record file: one host file holding a gap-free sequence of typed, variable-length records
// addressed by their 64-bit file position. It is the storage floor of the record store.
//
// In memory a record is a buffer that begins with the 16-byte header PN64_HEADER {type, three
// reserved words, size}, `size` being 16 plus the body length (the record size); on file the
// header is replaced by one of three physical forms chosen by the record size:
//
//   record size S          on file                       stored length (the whole on-file length)
//   S <= 65545             type u16, length u16          S - 12, 4 to 65533
//   65546 .. 2^32 - 1      type u16, 0xFFFE, length u32  S - 8
//   S >= 2^32              type u16, 0xFFFF, length u64  S - 4
//
// Every integer on file is big-endian and is read and written field by field through the
// byte-order helpers of base/endian.h; no structure is ever written as it lies in memory. Record
// buffers handed to the writers and returned by the readers hold header and body in file order:
// the buffer's type at bytes 0-1 and size at bytes 8-15, big-endian (pn64_type, pn64_size,
// pn64_set). The position prefix ACC64_HEADER of the non-"f" readers is in host order.
//
// The file header record (type 1, 32 bytes on file) stands at position 0: file type, version
// "64-0.6", encoding text, linear 0 and the flags, whose bit 0 says that the file is open for
// writing. A file created with a free list has its head (type 259) at 32 (freelist64.h).
//
// Opening for writing holds an exclusive OS advisory lock (flock) on the file until the handle is
// closed. A second writer is refused while the lock is held, and the file is never truncated
// then; an open-for-writing flag found set while the lock is granted was left by a writer that
// died, and the opening goes on after saying so in one line. Its last write-back may have been
// cut anywhere, so that opening verifies what check_filespace64 verifies and mends it from the
// records: a free list out of step with the chain is made anew from the free extents in it, and
// a record the kill cut at the end of the file is completed with zeros (only a header cut
// itself, which names no length, is cut off); a chain broken otherwise leaves allocation and
// release refused.
//
// Every length and position read from a file is checked against the file before it is used: a
// damaged file gives null or -1, never a read beyond the file or an allocation of a length the
// file merely declares. Nothing here takes a lock beyond the page cache's own; one handle is used
// by one task at a time.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <span>

#include "pdb/pagecache.h"

constexpr uint16_t PN64_FILE_HEADER_TYPE = 1;
constexpr uint16_t PN64_FREELIST_HEAD_TYPE = 259;
constexpr uint16_t PN64_FREE_EXTENT_TYPE = 260;
constexpr int PN64_HEADER_SIZE = 16;
constexpr uint64_t PN64_FILE_HEADER_SIZE = 44;  // record size of the file header (32 on file)
constexpr uint64_t PN64_FREELIST_SIZE = 24;     // record size of the head and of the least extent
constexpr uint64_t PN64_FREELIST_POS = 32;      // the head's position
constexpr uint64_t PN64_FIRST_RECORD = 44;      // the first record after the head
constexpr char PN64_VERSION[] = "64-0.6";
constexpr int32_t PN64_FLAG_WRITING = 1;  // file header flags bit 0: open for writing

// Handle flags (the low 16 bits of open_filespace64's flags are kept, none interpreted here).
constexpr int32_t PDB64_FLAGS_KEPT = 0xFFFF;
// Set by a caller on an open handle: bit 31 keeps the position map (debug_pdb64_list) and checks
// every header write against it; bit 30 also checks every read's start position.
constexpr int32_t PDB64_DEBUG_MAP = static_cast<int32_t>(0x80000000u);
constexpr int32_t PDB64_DEBUG_READS = 0x40000000;

struct PN64_HEADER {
    uint16_t type;
    uint16_t dummy[3];
    uint64_t size;  // record size: 16 plus the body length
};
static_assert(sizeof(PN64_HEADER) == PN64_HEADER_SIZE, "the record header is 16 bytes");

struct ACC64_HEADER {
    uint64_t fofs;  // where the record was read
};
struct ACC_PN64_HEADER {
    ACC64_HEADER a;
    PN64_HEADER h;
};

// In-memory forms of the file header and the free-list records (host order once converted).
struct PN64_FILE_HEADER {
    PN64_HEADER h;
    int32_t type;
    char version[8];
    char encoding[8];
    uint32_t linear;
    int32_t flags;
};
struct PN64_FREELIST {
    PN64_HEADER h;
    uint64_t next;
};

// The physical header forms, for the byte-order routines.
struct PHYS_PN64_HEADER_4 {
    uint16_t type;
    uint16_t len;
};
struct __attribute__((packed)) PHYS_PN64_HEADER_8 {
    uint16_t type;
    uint16_t mark;  // 0xFFFE
    uint32_t len;
};
struct __attribute__((packed)) PHYS_PN64_HEADER_12 {
    uint16_t type;
    uint16_t mark;  // 0xFFFF
    uint64_t len;
};
union PHYS_PN64_HEADER {
    PHYS_PN64_HEADER_4 h4;
    PHYS_PN64_HEADER_8 h8;
    PHYS_PN64_HEADER_12 h12;
};
static_assert(sizeof(PHYS_PN64_HEADER) == 12, "the longest form is 12 bytes");

constexpr uint16_t PHYS_MARK_32 = 0xFFFE;
constexpr uint16_t PHYS_MARK_64 = 0xFFFF;
constexpr uint64_t PHYS_MAX_LEN_16 = 65533;

struct FREELIST64;
struct FREELIST64_INDEX;

// An open record file.
struct PDB64 {
    int fid;
    int32_t flags;                     // the kept low 16 bits of the opening flags
    uint64_t fofs;                     // 0 from opening on; not used by this layer
    int oflags;                        // the host open flags
    FREELIST64* freelist_work;         // the loaded free-list head, null without a free list
    FREELIST64_INDEX* freelist_index;  // the loaded extents by position and length (freelist64.h)
    int freelist_broken;     // a damaged free list was met: allocation and release refused
    int tree_write_error;    // a tree record of the cache could not be written (favt64.h)
    int taken_over;          // this writer found the open-for-writing flag of one that ended
    int made;                // this opening found the file empty and wrote its header
    void* tree_log;          // where changed tree records go between flushes (treelog.h)
    void* pdb64_debug_root;  // the position map: known record starts and sizes (PDB64_DEBUG_MAP)
    FAC_INFO fac;
};

// A physical header as read from a file.
struct PDB64_PHYS {
    uint16_t type;
    int hlen;      // 4, 8 or 12
    uint64_t len;  // the whole on-file length
};

// ---- Record buffers and header forms

uint16_t pn64_type(const void* rec);
uint64_t pn64_size(const void* rec);
// Sets type and size in file order and clears the reserved words.
void pn64_set(void* rec, uint16_t type, uint64_t size);

// The header length (4, 8 or 12) and on-file length of a record of size S (S >= 16).
int pn64_phys_length(uint64_t size);
uint64_t pn64_onfile_length(uint64_t size);
// The record size of an on-file length T: T + 12, T + 8 or T + 4; 0 for the lengths that have no
// header form (65534 to 65537, 2^32 - 8 to 2^32 - 5) or are below 4.
uint64_t pn64_record_size(uint64_t onfile);
// Writes the physical header of a record of size S (>= 16) into out (12 bytes of room); returns
// its length.
int pn64_put_phys(uint8_t* out, uint16_t type, uint64_t size);
// Writes the header of a free extent by its on-file length T (>= 12): 4 bytes up to 65533, else 8
// up to 2^32 - 1, else 12; so every length has a form whose stored length is exact.
int pn64_put_extent_phys(uint8_t* out, uint16_t type, uint64_t onfile);
// Decodes a physical header from at least `avail` bytes: its length (4, 8 or 12) with *ph filled;
// 0 when more bytes are needed (avail below the form's length); -1 when the stored length is
// below its form's length.
int pn64_get_phys(const uint8_t* in, int avail, PDB64_PHYS* ph);

// Reads and checks the header of the record at fofs: 0 and *ph filled; -1 when it cannot be read,
// its length is invalid or the record runs past the end of the file.
int pdb64_read_phys(PDB64* p, uint64_t fofs, PDB64_PHYS* ph);

// Reads exactly len bytes at the current position in chunks of at most 65536: 0 or -1.
int pdb64_read_exact(PDB64* p, uint8_t* buf, uint64_t len);
// Reads the record at fofs from its physical header on, as much of it as fits in cap bytes
// (cap >= 12), in one read: the bytes read (at most the record's on-file length), *ph filled and
// the file positioned after them; -1 when the header cannot be read, its length is invalid or the
// record runs past the end of the file.
int pdb64_read_head(PDB64* p, uint64_t fofs, uint8_t* buf, int cap, PDB64_PHYS* ph);

// ---- Byte order (each swaps only on a little-endian host)

void change_endian_header64(PN64_HEADER* h);
void change_endian_phys_header64_to_net(PHYS_PN64_HEADER* h);
void change_endian_phys_header64_to_host(PHYS_PN64_HEADER* h);
// The header, `type`, `linear` and `flags` (the texts stay bytes).
void change_endian_file_header64(PN64_FILE_HEADER* h);
void change_endian_freelist64_to_net(PN64_FREELIST* f);
void change_endian_freelist64_to_host(PN64_FREELIST* f);

// ---- Files

// Opens a host file as a record-file handle (no record is read): a writable opening takes the
// advisory lock first (refused: null with errno EWOULDBLOCK, the file untouched) and truncates
// only then when O_TRUNC was asked. Null when the open fails.
PDB64* open_pdb64(const char* name, int oflags, int mode, int32_t flags);
// Writes back and drops the file's pages, closes the descriptor (releasing the lock) and frees the
// handle: 0, or -1 when the write-back or the close failed.
int close_pdb64(PDB64* p);

// Opens or creates a record file. flags < 0: the file has a free list (created with one; an
// existing file without one is refused). A new file gets the file header with file type `type`,
// version "64-0.6" and the encoding text (at most 7 bytes, "UTF-8" when null); a file opened
// read-only must exist. Null when the file cannot be opened, is no record file, is open for
// writing elsewhere, or lacks a required free list.
PDB64* open_filespace64(const char* name, int oflags, int mode, int32_t flags, int32_t type,
                        const char* encoding);
// Writes everything back (the file's cached tree records first), clears the open-for-writing flag
// (only when the write-back succeeded, so a set flag always marks a file whose last writer did not
// finish) and closes: 0, or -1 when any write failed. The handle is freed either way.
int close_filespace64(PDB64* p);
// Writes the file's cached tree records and drops them from the record cache (favt64.h), then
// writes back every page written so far: 0, or -1 when a write failed.
int flush_filespace64(PDB64* p);
// The file header in host order (the encoding text always terminated): 0, or -1 when the record
// at 0 is no file header of this version.
int read_file_header64(PDB64* p, PN64_FILE_HEADER* h);
// Panics "check_pdb64" when p is not null and has no free list.
void check_pdb64(PDB64* p);
// Cuts the file to length 0; its cached tree records are dropped unwritten.
int truncate_filespace64(PDB64* p);

// Finds a record by walking the chain of records: from *retp (or 0 when retp is null). With retp
// and type <= 0 the record at *retp is taken; with retp and type > 0 the first record after *retp
// of that type; without retp the first record from 0 whose type equals type. The buffer (tracked,
// freed by the caller) holds the record, or only max_size bytes of it (max_size 0: all; else at
// least 16) while its size field keeps the full size; *retp receives its position. Null when
// nothing matches or the chain is damaged.
void* get_file_record64(uint64_t* retp, PDB64* p, int16_t type, uint64_t max_size);

// The record at fofs: ACC64_HEADER + PN64_HEADER + body; only the headers; PN64_HEADER + body;
// only PN64_HEADER. Null when it cannot be read. The buffer is charged to file and line.
void* xx_read_filespace64(PDB64* p, uint64_t fofs, const char* file, int line);
void* xx_read_filespace64_header(PDB64* p, uint64_t fofs, const char* file, int line);
void* xx_read_filespace64f(PDB64* p, uint64_t fofs, const char* file, int line);
void* xx_read_filespace64f_header(PDB64* p, uint64_t fofs, const char* file, int line);
// The record at fofs in two parts, so that a large body is read once, into the buffer it is
// kept in: PN64_HEADER and the first head_len body bytes into head (PN64_HEADER_SIZE + head_len
// bytes, file order), the rest of the body into a new tracked buffer *body of *body_len bytes
// (charged to file and line; null when nothing is left), straight from the host file where it is
// not cached. 0; -1 (nothing given) when it cannot be read or its body is shorter than head_len.
int xx_read_filespace64f_split(PDB64* p, uint64_t fofs, uint8_t* head, uint64_t head_len,
                               void** body, uint64_t* body_len, const char* file, int line);
#define read_filespace64f_split(p, fofs, head, head_len, body, body_len)                      \
    xx_read_filespace64f_split((p), (fofs), (head), (head_len), (body), (body_len), __FILE__, \
                               __LINE__)
#define read_filespace64(p, fofs) xx_read_filespace64((p), (fofs), __FILE__, __LINE__)
#define read_filespace64_header(p, fofs) xx_read_filespace64_header((p), (fofs), __FILE__, __LINE__)
#define read_filespace64f(p, fofs) xx_read_filespace64f((p), (fofs), __FILE__, __LINE__)
#define read_filespace64f_header(p, fofs) \
    xx_read_filespace64f_header((p), (fofs), __FILE__, __LINE__)

// Rewrites a record in place, at the position of its ACC64_HEADER prefix or at fofs. A record
// keeps its on-file length for life: a buffer whose size would give another length than the
// record standing there is refused (-1), as is a position holding no valid record. The bytes
// written, or -1.
int64_t write_filespace64(PDB64* p, void* acc_rec);
int64_t write_filespace64f(PDB64* p, uint64_t fofs, void* rec);
// A piece of a record written from several buffers.
struct PDB64_PIECE {
    const void* data;
    uint64_t len;
};
// As write_filespace64f, the record given as rec's first head_len bytes (at least the header,
// whose size field is the whole record's) followed by the pieces, so that a large body need not
// be copied into one buffer first. Pieces that do not add up to the size are refused (EINVAL).
int64_t write_filespace64f_pieces(PDB64* p, uint64_t fofs, const void* rec, uint64_t head_len,
                                  std::span<const PDB64_PIECE> pieces);

// Writes len bytes at the current position in chunks of at most 65536: len, or -1.
int64_t fa_write64(PDB64* p, const void* data, uint64_t len);
// Writes the physical header of rec (chosen by its size field) and len - 16 body bytes at the
// current position: the bytes written, or -1. len 16 writes the header alone.
int64_t fa_write64_header(PDB64* p, const void* rec, uint64_t len);
// Appends a record at the end of the file and returns its position (-1 on failure, the file then
// cut back to where it was). mode & 3: 0 the whole record from rec; 1 the header only, the body
// to be written in place later; 2 and 3 the header and a zero-filled body.
int64_t fs_raw_write64(PDB64* p, const void* rec, int mode);
// Appends the record given as for write_filespace64f_pieces at the end of the file, in one write
// where the cache lets it: its position, or -1 (EINVAL for pieces that do not add up to the
// size; the file then cut back to where it was).
int64_t fs_raw_write64_pieces(PDB64* p, const void* rec, uint64_t head_len,
                              std::span<const PDB64_PIECE> pieces);

// ---- Checks

// Commands of the position map.
enum : int {
    PDB64_MAP_ADD = 1,       // register fofs (size): 0 when new, -1 when known (a size >= 0 kept)
    PDB64_MAP_KNOWN = 2,     // 0 when fofs is known, else -1
    PDB64_MAP_VERIFY = 3,    // 0 when fofs is known or the records from the nearest known start
                             // below lead exactly to it (then registered), else -1
    PDB64_MAP_FORGET = 4,    // 0 when fofs was known, else -1
    PDB64_MAP_CLEAR = 5,     // forgets every position; 0
    PDB64_MAP_SPAN = 6,      // 0 when no known start lies inside fofs + 1 .. fofs + size - 1
    PDB64_MAP_HERE = 0x8000  // added: fofs is the file's current position
};
// The position map of a handle whose flags hold PDB64_DEBUG_MAP (every command answers 0
// without it): the record starts met by writes, appends and walks. A header write at a position
// that fails PDB64_MAP_VERIFY, or whose record would cover a known start, is refused (-1); with
// PDB64_DEBUG_READS so is a read at such a position (null). Failures print one line ("B START END
// INSIDE" for a covered start). An unknown command: -1.
int debug_pdb64_list(PDB64* p, int cmd, int64_t fofs, int64_t size);
// The free-space layer wrote a header of on-file length len at fofs (a free extent, a merged one,
// or a record taking one): the map forgets the starts it now covers and knows fofs.
void pdb64_map_extent(PDB64* p, uint64_t fofs, uint64_t len);

// Checks the structure of a record file: the file header at 0, a chain of valid records that ends
// exactly at the end of the file, the free-list head at 32 when the file has one and its list of
// extents (every extent a type-260 record of the chain, in descending order, never two adjacent,
// and every type-260 record of the chain on the list). 0 when sound; -1 the chain is broken,
// -2 no file header, -3 the free list is damaged. The first fault found is printed in one line.
int check_filespace64(PDB64* p);
// Prints "POSITION H(TYPE SIZE)" for every record from 0 while the position is below limit (all
// with limit <= 0) of p, or of the named file opened read-only when p is null: the number of
// records printed, or -1 when the file cannot be opened or the chain breaks before limit (the
// line "broken at POSITION" printed).
int64_t test_file64(const char* file, PDB64* p, int64_t limit);

// Diagnostic lines of the record store go through this function (standard output until another
// one is installed; the start-up installs the system output stream).
typedef int (*PDB_PRINT_FUNC)(const char* fmt, va_list ap);
void set_pdb_print(PDB_PRINT_FUNC f);
int pdb_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
