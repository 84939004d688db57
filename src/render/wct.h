// Code tables and font selection: for every character of a text, the character as a font knows
// it, the font and the size (ws_convert), and the one font that draws most of a text
// (lc_select_font).
//
// Answers are cached per conditional style and size in code tables that hold one LCF_SET per code
// of a code set and are filled a whole set at a time. The arrays (LC_TABLE) are shared: every 10
// seconds a merge makes code tables of equal contents use one array, and a write to a shared array
// copies it first. Everything is guarded by wct_lock.
#pragma once

#include "longchar/longchar.h"
#include "render/font.h"

struct CODE_METHOD;

// One array of answers, shared by reference count.
struct LC_TABLE {
    LC_TABLE* next;  // lc_table_list
    int flags;       // 1: made since the last merge
    LC_TABLE* relate;
    int ref;
    int size;
    LCF_SET* tbl;
};

// The answers for one code set.
struct WRITABLE_CODE_TABLE {
    WRITABLE_CODE_TABLE* next;
    L_CHAR lcz;
    L_CHAR mask;
    LC_TABLE* lc_tbl;  // null when the style has no fonts for the set
    // Filled while its WCT served every size: it holds scalable fonts only, so it answers the
    // size asked also once the WCT is kept to one size.
    bool any_size;
};

// The code tables of one conditional style for one size (-1: every size).
struct WCT {
    WCT* next;
    WRITABLE_CODE_TABLE* list;
    int size;
};

struct LC_SELECT_FONT_LIST {
    LC_SELECT_FONT_LIST* next;
    LC_FONT* font;
    int size;
    int count;
    int pri;
};

extern LC_TABLE* lc_table_list;

// flags: 1 do not combine first, 16 do not uncombine the result. A new tracked array ended by
// {0, null}; a character no font draws is replaced by its "&cx%x;" text.
LCF_SET* ws_convert(LC_WRITING_STYLE* ws, const LC_WS_COND* cond, int size, const L_CHAR* str,
                    int length, int flags);
LCF_SET* _ws_convert(LC_WRITING_STYLE* ws, const LC_WS_COND* cond, int size, const L_CHAR* str,
                     int length, int flags);
LC_FONT* lc_select_font(int* ret_size, const L_CHAR* str, int length, LC_WRITING_STYLE* ws,
                        int size, const LC_WS_COND* cond, int flags);
LC_FONT* _lc_select_font(int* ret_size, const L_CHAR* str, int length, LC_WRITING_STYLE* ws,
                         int size, const LC_WS_COND* cond, int flags);
LC_FONT* __lc_select_font(int* ret_size, const L_CHAR* str, int length, LC_WRITING_STYLE* ws,
                          int size, const LC_WS_COND* cond, int flags, int* count);

LCF_SET _wct_convert(LC_CWS* walk, L_CHAR ch, int size);
LCF_SET __wct_convert(LC_COND_WRITING_STYLE* cws, WCT* wct, L_CHAR ch, int size);
WCT* _get_wct(LC_COND_WRITING_STYLE* cws, int size);
WRITABLE_CODE_TABLE* _wct_setup(LC_COND_WRITING_STYLE* cws, L_CHAR ch, int size);
void _write_char_w(WRITABLE_CODE_TABLE* w, L_CHAR ch, LC_FONT* f, int f_size, L_CHAR after);
int _search_ws_font(LCF_SET* out, const FONT_PRI* fp, L_CHAR ch, int size);
int _wct_check_scalable_fonts(const WCT* wct);
WRITABLE_CODE_TABLE* get_wct(WCT* wct, L_CHAR ch);
WRITABLE_CODE_TABLE* _search_w(WCT* wct, L_CHAR lcz);
WCT* new_wct();

// The merge of equal tables; the tick runs it every 10 seconds under wct_lock.
void tick_lc_table(intptr_t data, int);
void _gc_lc_table();

// A new tracked array of len records {str[i], font, size} (no end record).
LCF_SET* str2lcf(const L_CHAR* str, int len, LC_FONT* font, int size);
// The first entry of set (ended by LC_NONE) holding a character of str, or null.
const LCZ_SET* get_hit_code(const LCZ_SET* set, const L_CHAR* str, int len);
// Text converted between code methods through their main code sets; new tracked byte strings.
char* code_convert_str(const char* str, CODE_METHOD* from, CODE_METHOD* to, int flags);
char* code_convert_lc2str(const L_CHAR* lstr, CODE_METHOD* to, int flags);
char* get_machine_filename_string(const L_CHAR* lstr);
extern char* (*__get_machine_filename_string)(const L_CHAR* lstr);
void check_str(const L_CHAR* str, int len);
