// Formatted output: every text the system writes to a stream passes through s_printf.
//
// The format and every plain-character argument are UTF-8. The whole output of a call is built
// as long characters and then encoded with the stream's own code method, so one call writes
// Shift_JIS to one stream and UTF-8 to another. A character the method cannot express is written
// as the reference "&cx%x;" (its value in lower-case hexadecimal). With line-end counting on
// (s_set_cr), every LF, CR and 3 written adds one to the stream's `cr_cnt`.
//
// Directives: '%', at most one flag of "+- 0#", a width of digits and '*', optionally '.' and a
// precision, a length ("ll" or "I64" for long long, 'l' for long, 'h', 'L'), the conversion.
//   %s       a UTF-8 char string (width and precision are not applied); "(null)" for null
//   %ls %Ls  a long-character string, appended unchanged
//   %c %d %i %o %u %x %X %e %E %f %g %G %p   the C library's formatting of the argument
//   %%       '%'
//   %n       takes its pointer argument and writes nothing
// A '*' takes an int argument. Any other conversion character takes nothing and writes nothing.
//
// The printer writes through a batch (S_PRINTF_SAT) that collects up to 1024 long characters
// across calls and encodes and writes them at once.
#pragma once

#include <atomic>
#include <cstdarg>

#include "stream/stream.h"

constexpr int SPSAT_BUF_CHARS = 1024;

struct S_PRINTF_SAT {
    char* alc[3];     // 0 the text of one call, 1 scratch, 2 the encoded bytes of one flush
    int alc_len[3];   // bytes allocated
    int alc_size[3];  // bytes handed out and zero-filled
    L_CHAR* str_buf;  // room for SPSAT_BUF_CHARS long characters
    int str_buf_ptr;  // characters waiting
    STREAM* st;
    int err;   // 0, or -1 once a flush has failed
    int hold;  // 1: the bytes may be held back for the stream's next write (see streamio.h)
    // When not 0, every flush first checks that st is still the stream of this serial number, so
    // that a writer that does not stay inside the stream between flushes never writes to another
    // stream opened at the same address after a close.
    uint32_t serial;
};

// The number of long characters formatted (also when writing failed), 0 when nothing was
// formatted, -1 for an invalid or closed stream, or for a text longer than s_printf_text_max or
// whose encoding would take more than eight times that many bytes (EFBIG; nothing is written).
extern std::atomic<int> s_printf_text_max;
int s_printf(STREAM* s, const char* fmt, ...);
// The same on s_stdout.
int ss_printf(const char* fmt, ...);
// The same with an error out-parameter (may be null): 22 for an invalid stream, else the error
// number of a failed write.
int e_printf(STREAM* s, int* erp, const char* fmt, ...);
// The common entry: into the batch sat when it is given, else straight to s.
int _s_printf(STREAM* s, int* erp, const char* fmt, va_list args, S_PRINTF_SAT* sat);

// Writes one line end, encoded by the stream's code method, to a file-kind stream without ever
// waiting (see _s_deliver_now): 1 written or kept for the stream's next write, 0 not written (the
// descriptor is full), -1 when s is no longer the stream of that serial number (0: any), is
// closed, or cannot be written so.
int s_line_end_now(STREAM* s, uint32_t serial);

// Formats into buf, ends it with 0 and returns the number of long characters. The caller gives
// room for the whole result.
int ss_sprintf(L_CHAR* buf, const char* fmt, ...);
// The same into a buffer of cap long characters: at most cap - 1 are stored, then 0. Returns the
// number the whole result has (as snprintf does).
int ss_snprintf(L_CHAR* buf, int cap, const char* fmt, ...);
// The same over an argument list, which it uses up (va_copy it first to format it again).
int ss_vsnprintf(L_CHAR* buf, int cap, const char* fmt, va_list args);

// The batch.
int new_spsat(S_PRINTF_SAT* sat, STREAM* st);
int write_spsat(S_PRINTF_SAT* sat, const L_CHAR* text, int n);
int flush_spsat(S_PRINTF_SAT* sat, int* erp);
int finish_spsat(S_PRINTF_SAT* sat, int* erp);
void* get_spsat(S_PRINTF_SAT* sat, int i, int size);
