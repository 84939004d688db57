// Long characters, the code-method registry, byte-string conversion and interning.
//
// All text inside the system is a zero-terminated string of 32-bit long characters (L_CHAR,
// base/endian.h). The top bits of a long character select a class; the class fixes a mask that
// splits the value into a code set (value AND mask) and a code inside the set:
//
//   0x00000000-0x7FFFFFFF  mask 0x80000000  set 0, Unicode scalar values
//   0x80000000-0xBFFFFFFF  mask 0xFF000000  one set per top byte
//   0xC0000000-0xDFFFFFFF  mask 0xFFFF0000  one set per top 16 bits (JIS X 0208 is 0xC0010000)
//   0xE0000000-0xEFFFFFFF  mask 0xFFFFFF00  one set per top 24 bits
//   0xF0000000-0xFFFFFFFF  mask 0xFFFFFF80  one set per top 25 bits
//
// 0 ends a string, 0xDFFFFFFF means "no character", 0xDFFF0000-0xDFFF00FF name code methods.
//
// Bytes become long characters and back through code methods (CODE_METHOD): one static record
// per external encoding with an open/feed/close interface. The registry is filled once by
// `init_longchar` on the main thread before any other task exists and is read-only afterwards,
// so look-ups take no lock. The literal-interning table only grows; its buckets are published
// with a single atomic store, so it needs no lock either.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/endian.h"

constexpr L_CHAR LC_NONE = 0xDFFFFFFF;  // "no character"; also ends every code-set list

// Code sets the library itself names.
constexpr L_CHAR LCZ_UNICODE = 0x00000000;
constexpr L_CHAR LCZ_JISX0208 = 0xC0010000;
constexpr L_CHAR LCZ_HANKAKU = 0xE0000100;  // one-byte katakana 0xA1-0xDF

// One entry of a code-set list: the set and extra mask bits that narrow it. A list ends with an
// entry whose lcz is LC_NONE.
struct LCZ_SET {
    L_CHAR lcz;
    L_CHAR mask;
};

// An external encoding. The work state made by `open` belongs to one conversion (one stream
// direction, one string) and one task at a time.
struct CODE_METHOD {
    const char* name;
    L_CHAR lccode;             // identifier 0xDFFF00xx, carried by the "&cx%x;" mark
    const LCZ_SET* main_code;  // the sets written natively, or null
    int max_ret;               // most bytes one to_external call writes
    int close_max;             // most bytes close writes
    void* (*open)();
    // Writes the bytes that end the sequence (only when out is given), frees work, returns the
    // number of bytes written.
    int (*close)(unsigned char* out, void* work);
    // Feeds one byte (0-255); 1 and *out set when the byte completes a character, else 0.
    int (*to_internal)(L_CHAR* out, void* work, int byte);
    // Writes one character; the number of bytes, 0 when the encoding cannot express it.
    int (*to_external)(unsigned char* out, void* work, L_CHAR c);
    CODE_METHOD* next;  // registry link
};

// An abbreviation: another name (and identifier) for a registered method.
struct code_abb {
    code_abb* next;
    char name[32];
    CODE_METHOD* cm;
    L_CHAR lccode;
};

// One interned literal.
struct lstr_node {
    lstr_node* next;
    CODE_METHOD* cm;
    const char* str;  // the literal's address: the key
    L_CHAR* ret;      // owned by the table for the life of the process
};

constexpr int LSTR_HASH_SIZE = 1011;

// The program's default method, set once by init_longchar.
extern CODE_METHOD* std_cm;
// The method file names are written in, set once by init_longchar to the default method: the
// host takes a file name as the bytes it is given, so names read back as they were written.
extern CODE_METHOD* file_cm;

// Registers the nine methods, the abbreviation "SHIFT-JIS" and sets std_cm to the configured
// default (get_default_cm: the method named by STD_CODE, else EUC-JP), and file_cm to the same.
// Runs once; a second call does nothing.
void init_longchar();
// Appends a method to the registry; -1 when it is already registered.
int insert_code_list(CODE_METHOD* cm);
// Appends an abbreviation; -1 when the name is too long or already taken.
int insert_code_abb(const char* name, L_CHAR lccode, CODE_METHOD* cm);

// Look-ups. None allocates.
CODE_METHOD* search_cm(const char* name);  // name in any case; null when unknown
CODE_METHOD* search_cm_by_lccode(L_CHAR lccode);
L_CHAR search_lccode(const char* name);  // exact name; LC_NONE when unknown
CODE_METHOD* search_cm_by_main_code(L_CHAR code);
// True when one of cm's main code sets holds code (a code set or a character).
bool cm_main_covers(const CODE_METHOD* cm, L_CHAR code);
CODE_METHOD* get_encoding(const L_CHAR* _code);  // a protocol or HTTP header name

// Byte strings to long-character strings. The result of _l_string_1 and n_string goes to the
// calling task's ring of temporary buffers: use it at once, never free it. _l_string_2 interns
// by the text's address and returns a string owned by the table; never change it.
L_CHAR* _l_string_1(CODE_METHOD* cm, const char* str);
L_CHAR* _l_string_2(CODE_METHOD* cm, const char* str);
// A string literal is converted once per method and shared; any other text is converted anew.
#define l_string(cm, str) \
    (__builtin_constant_p(str) ? _l_string_2((cm), (str)) : _l_string_1((cm), (str)))
// Long characters to bytes. A character the method cannot express is written as the text
// "&Cx%x;" (its value in lower-case hexadecimal), itself encoded with the method.
char* n_string(CODE_METHOD* cm, const L_CHAR* str);

// Long-character string functions.
int l_strlen(const L_CHAR* str);
L_CHAR* l_strcpy(L_CHAR* d, const L_CHAR* s);
int l_strcmp(const L_CHAR* str1, const L_CHAR* str2);  // signed comparison: -1, 0 or 1
L_CHAR get_lc_mask(L_CHAR code);
// True when c lies in the list entry e (the entry's mask widened by c's own mask).
bool lcz_member(const LCZ_SET* e, L_CHAR c);
// A one-byte katakana code (low 8 bits of ch, 0xA0-0xDF) as its JIS X 0208 character; '?' else.
L_CHAR hankaku2zenkaku(L_CHAR ch);
