// The terminal kind 'e': reads standard input, calling a prompt callback once per line read, and
// writes standard output.
#pragma once

#include "stream/stream.h"

extern S_TABLE s_terminal_table;

void init_terminal_stream();

// A terminal stream (mode 2) over s_stdin and s_stdout; calls prompt(s, 0) once before it
// returns.
STREAM* s_open_terminal(S_PROMPT prompt, VX_HERE_FILE, VX_HERE_LINE);
// 0, or -1 when s is not a terminal stream.
int s_set_prompt(STREAM* s, S_PROMPT prompt);

// The kind's slots. A read calls prompt(s, n) for every LF read, n being the bytes since the
// previous LF of the same read; a read interrupted by a signal returns the one byte 3.
int s_read_terminal(STREAM* s, void* data, int len);
int s_write_terminal(STREAM* s, const void* data, int len);
int s_flush_terminal(STREAM* s);
// Closes the terminal only: the streams it read and wrote stay open.
int s_close_terminal(STREAM* s);
