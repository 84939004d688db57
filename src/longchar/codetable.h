// Code tables and conversion between code sets.
//
// The same character often exists in several code sets: a kanji in JIS X 0208 and in the Unicode
// basic plane. Each code set with a table has one entry per code; the entries of characters that
// are the same character in different sets are linked into a ring through `next` (an entry with no
// equivalent points to itself, and a ring holds at most one entry per set). Converting a character
// to another set walks its ring. The Unicode family (set 0 and the 16-bit sets 0xC0060000 -
// 0xC0170000) shares the basic plane's codes and is served by the table of 0xC0120000.
//
// The tables are built once, on first use, from the mappings of the C library's converters
// (codetable_data.h) and from the rules that tie the other Japanese sets to JIS X 0208; after that
// nothing changes them and every task reads them without a lock. The builders `set_correspond` and
// `get_code_table_by_lcz` change shared rings without a lock: they are for building tables before
// any conversion runs, never for a running system.
//
// Strings are converted to a list of target sets (`LCZ_SET`, longchar.h); one set (0xC0150000)
// holds combined characters, each standing for a sequence of basic-plane characters, which
// `uncombine` expands.
#pragma once

#include <cstdint>

#include "longchar/longchar.h"

constexpr L_CHAR LCZ_UCS_PLANE = 0xC0120000;  // the Unicode basic plane as a 16-bit set
constexpr L_CHAR LCZ_COMBINED = 0xC0150000;   // combined characters

struct code_entry {
    L_CHAR code;       // the full character: the set OR the code
    code_entry* next;  // the next entry of its ring
};

struct code_table_header {
    code_table_header* next;
    L_CHAR lcz;   // the set
    L_CHAR mask;  // the set's mask (get_lc_mask)
    int len;      // number of entries
    // One entry per code in code order; null for a set whose characters have no equivalents
    // anywhere (every entry would be its own ring) until a builder links one.
    code_entry* tbl;
};

// The pair of characters the last refused set_correspond was given.
extern L_CHAR colision[2];

// The table of the set of a, or null.
code_table_header* get_code_table_by_char(L_CHAR a);
// The table of exactly lcz, made (every entry its own ring) when there is none.
code_table_header* get_code_table_by_lcz(L_CHAR lcz);
// Makes a and b the same character. -1 (and colision set) when their rings already share a code
// set; 0 when joined. Both sets must have tables (else the panic "set_correspond").
int set_correspond(L_CHAR a, L_CHAR b);
// 0 when b lies on the ring of a; -1 otherwise and when a set has no table.
int cmp_l_code(L_CHAR a, L_CHAR b);
// A new tracked array of every character on the ring of a, a's own first, its length in *sizep;
// null and 0 when a's set has no table.
L_CHAR* get_all_l_char(int* sizep, L_CHAR a);

// The equivalent of from in the set lcz_to, or LC_NONE.
L_CHAR code_convert(L_CHAR from, L_CHAR lcz_to);
// The first equivalent of from lying in an entry of set1, else of set2 (lists ended by LC_NONE);
// from itself when both lists are null; LC_NONE when nothing fits.
L_CHAR code_convert_set(L_CHAR from, const LCZ_SET* set1, const LCZ_SET* set2);

// Flags of the string conversions.
constexpr int CC_NO_COMBINE = 1;     // do not combine before converting
constexpr int CC_NO_UNCOMBINE = 16;  // do not expand combined characters after converting
constexpr int CC_KEEP = 256;         // keep a character that has no equivalent in the targets
constexpr int CC_QUESTION = 512;     // write '?' for it (when CC_KEEP is not given)

// A new tracked string: the first `length` characters of str_input (fewer at a 0) converted to
// the sets of `set`. Without CC_KEEP or CC_QUESTION a character with no equivalent becomes
// LC_NONE. The caller frees it (d_f_ree).
L_CHAR* code_convert_with_combine(const L_CHAR* str_input, int length, const LCZ_SET* set,
                                  int flags);
// The same for a whole string, handed to the calling task's ring of temporary buffers; null for
// null.
L_CHAR* cc_string(const L_CHAR* str, const LCZ_SET* set, int flags);

// Combining. combine copies its input: a sequence is never replaced by its combined character,
// because converting the sequence's characters one by one keeps them all, where the combined
// character would have no equivalent in most targets. uncombine expands every combined character
// into its sequence. Both give new tracked strings; length counts characters
// (a 0 ends the input earlier).
L_CHAR* combine(const L_CHAR* str, int len);
L_CHAR* uncombine(const L_CHAR* str, int length);

// A character with the font and size it is drawn in (the text renderer's record).
struct LC_FONT;
struct LCF_SET {
    L_CHAR ch;
    LC_FONT* font;
    int size;
};
// A new tracked array, ended by a record whose ch is 0, in which each combined character of the
// first `length` records (fewer at a 0) is expanded into its sequence, each character keeping the
// record's font and size.
LCF_SET* uncombine_lcf(const LCF_SET* set, int length);
// The characters of the first len records as a new tracked string, expanded when flags AND 17 is
// 1, combined when it is 16, else as they are.
L_CHAR* copy_out_lcf_set(const LCF_SET* s, int len, int flags);
