// The string kind 't': a stream that reads from or writes into memory.
//
// A read stream serves `size` bytes from `ptr`, reports the end once (0) and fails afterwards
// (-1). A write stream collects everything written in an owned buffer that s_get_string hands out
// as a C string. The stream's code method is given at open; s_read and s_write move bytes
// unchanged, formatted output encodes with it.
#pragma once

#include <cstdarg>

#include "stream/stream.h"

extern S_TABLE s_string_table;

void init_string_stream();

// A read stream over size bytes at str; with flag non-zero the bytes are copied and owned by the
// stream, else they are read in place (the caller keeps them alive).
STREAM* s_open_string_read(const char* str, CODE_METHOD* cm, int size, int flag, VX_HERE_FILE,
                           VX_HERE_LINE);
// An empty write stream that owns what is written.
STREAM* s_open_string_write(CODE_METHOD* cm, VX_HERE_FILE, VX_HERE_LINE);

// The collected bytes as a 0-terminated C string, still owned by the stream; null for a stream of
// another kind or one holding nothing.
char* s_get_string(STREAM* st);
// The same with four 0 bytes added, for text collected with the "Internal" method.
L_CHAR* s_get_l_string(STREAM* st);

// Appends the C library's formatting (no code conversion) to a string write stream; the
// formatter's result, -1 for a stream of another kind. The _cr form also counts every LF and CR
// appended in the stream's cr_cnt.
int s_vprintf_string(STREAM* s, const char* fmt, va_list args);
int s_vprintf_string_cr(STREAM* s, const char* fmt, va_list args);

// The kind's slots.
int s_close_string(STREAM* s);
int s_write_string(STREAM* s, const void* data, int len);
int s_read_string(STREAM* s, void* data, int len);
