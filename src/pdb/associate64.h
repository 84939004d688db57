// Associative files: record files with named indexes that map integer or string keys to values
// kept as text records. This module stores and finds the text; what the text means (a QV value
// printed in the file's encoding) is the business of the layer that reads and prints QV
// (matrix/associate64_qv.h), so the record store needs nothing of the language.
//
// Open files occupy the slots 1 to 9 of a table of 10 (slot 0 is never used); the slot number is
// the file's key. A file holds, big-endian:
//
//   513 index table   one 16-byte entry per index: root position s64, type s16 (1 integer,
//                     2 string), name s16 (the user's number, unique in the file), 4 zero bytes;
//                     an index is known by its position in the table (0 the first). The table
//                     grows only: adding an index moves it to a new place of the new size.
//   514 value         the text and a 0 byte, the area at least 8 bytes
//
// An integer index is a file AVL tree of kind 256 whose 12-byte node data is {key s32, position of
// the value record s64}, ordered by signed key; a string index a character tree (dtree64.h) made
// with type 258 (top root kind 259) whose values are value-record positions.
//
// Nothing here takes a lock: the locked interface (l_favt64.h) wraps every operation. A damaged
// file gives -1, -2 or null, never a crash.
#pragma once

#include <cstdint>

#include "base/endian.h"
#include "pdb/pdb64.h"

constexpr uint16_t PN64_ASSOC_HEADER_TYPE = 513;
constexpr uint16_t PN64_ASSOC_DATA_TYPE = 514;
constexpr int ASSOC64_SLOTS = 10;
constexpr int ASSOC64_INTEGER_INDEX = 1;
constexpr int ASSOC64_STRING_INDEX = 2;
constexpr int32_t ASSOC64_INTEGER_KIND = 256;  // root kind of integer indexes
constexpr int32_t ASSOC64_STRING_TYPE = 258;   // the character tree type of string indexes
constexpr int ASSOC64_INTEGER_SIZE = 12;       // integer index node data
constexpr int ASSOC64_ENTRY_SIZE = 16;         // one index-table entry on file
constexpr int ASSOC64_MIN_AREA = 8;            // the least text area of a value record

// One index as the table holds it (host order).
struct ASSOC64_INDEX {
    int64_t fofs;  // the index's root record
    int16_t type;  // 1 integer, 2 string
    int16_t name;
};

// An open associative file's slot.
struct ASSOC64_KEY {
    PDB64* p;                  // null while the slot is free
    PN64_FILE_HEADER fheader;  // as read, host order; its encoding names the text's code method
    ASSOC64_INDEX* assoc;      // the index table, null while the file has no index
    int assoc_len;
    uint64_t assoc_fofs;  // where the table record lies, 0 for none
};

// Search options of string indexes: flags is the perfect-match flag of search_dtree64 (without
// options a perfect match is asked); size receives the number of characters matched.
struct ASSOC64_STRING_OPT {
    int flags;
    int size;
};

// Integer index node data (12 bytes, host order in memory): its byte order (else -1), the signed
// order of keys, and access to the fields.
int integer_endian64(void* data, int64_t len);
int cmp_assoc64_integer(void* node_data, void* data, void* work);

// Opens or creates a record file as an associative file (arguments as for open_filespace64; give
// it a free list, flags < 0, to add indexes and values): the key 1..9, or -1 when all 9 slots are
// in use or the file cannot be opened.
int open_associate64(const char* filename, int oflags, int mode, int32_t flags, int32_t type,
                     const char* encoding);
// Closes the file and frees the slot: 0, or -1 for a bad key or when writing it back failed.
int close_associate64(int key);
// Adds an index of type 1 or 2 named name: its number, or -1 when the name exists or lies
// outside -32768..32767 (names are stored in 16 bits), the type is unknown, or the file cannot
// take it (read-only, no free list, a write failed). The file's trees are committed first (as
// by a flush), so that the grown table names only trees that stand in the file; after -1 the file
// keeps its table.
int new_index64(int key, int type, int name);
// The number of the index named name, or -1.
int get_index64(int key, int name);
// The type of index number `index`, or -1.
int get_index_type64(int key, int index);
// The position of index number `index`'s root record (for walks and bound searches of the tree
// itself, under the record store's lock), or -1.
int64_t get_index_root64(int key, int index);
// The code method name of the file's text (its header's encoding) copied into out: 0, or -1.
int get_associate64_encoding(int key, char out[8]);
// The file of an open slot, or null.
PDB64* associate64_file(int key);

// The key value is a pointer to a signed 32-bit integer for integer indexes and a 0-terminated
// long-character string for string indexes.

// Stores len bytes of text under the key, replacing what was there (its record's space freed): 0,
// or -1 for a bad key, slot or index, an empty string key, or a file that cannot be read or
// written; after -1 the key keeps the value it had.
int insert_associate64_text(int key, int index, const void* keyvalue, const char* text,
                            int64_t len);
// The text area of the value under the key (a tracked copy, at least 8 bytes and one 0 byte more
// than the text; *lenp gets the area's length), or null when absent or unreadable. String
// indexes take the options (null: a perfect match).
char* search_associate64_text(int key, int index, const void* keyvalue, ASSOC64_STRING_OPT* opt,
                              int64_t* lenp);
// Removes every value under a string key and frees its record: 0, or -1 (always for integer
// indexes, which keep their values).
int delete_associate64(int key, int index, const void* keyvalue);
// Calls func with each value's text area, integer keys descending, string keys in the descending
// walk of the character tree (a key before its extensions): 0, the first non-zero result of func,
// -1 for a bad key, slot or index, -2 when the index cannot be read.
typedef int (*ASSOC64_VALUE_FUNC)(const char* area, int64_t len, void* work);
int get_assoc64_all_text(int key, int index, ASSOC64_VALUE_FUNC func, void* work);
