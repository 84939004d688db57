// Starting other programs: an instance of a program that receives some of this process's
// streams, shell commands with or without streams, the web browser on a URL; the reaping of every
// child; the call sequencer (functions run on one chosen task on behalf of others) and the
// stabilizer (a keeper process that restarts the program).
//
// Every launcher calls u_child_countup (no child starts once the process is ending) and forks
// under the fork lock. The child makes only plain system calls between fork and exec, since the
// other threads of this process may hold any lock at the moment of the fork: it resets its signal
// mask, puts its standard descriptors in place, closes every other descriptor except those it
// must keep (close_range), clears close-on-exec on the kept ones and replaces itself with the
// program. Programs are searched on PATH before the fork. A program started directly (not
// through the shell) that cannot be run is reported to the launcher: the child writes the exec's
// error to a close-on-exec pipe, which the exec itself closes when it succeeds.
//
// Children are not ignored: every child is reaped by a task of its own, which keeps the exit
// status for launch_wait. Shell commands run as "/bin/sh -c command", so their status is the
// command's. A URL never passes through a shell: the browser gets it as one argument.
//
// This module uses the stream layer above it (streams handed to a child, file streams on a
// command's pipes); launch.cpp is the only file of the runtime base that does.
#pragma once

#include <cstdint>

union STREAM;

// Starts program str (searched on PATH) with the arguments argv (argument 0 first, null-
// terminated; null: str alone), handing over the streams of the null-terminated list stpp (null:
// none) through a hand-over argument put before argument 1. close_flags has one byte per stream:
// a nonzero byte closes that stream here after the launch (null: none). ret_str_parent, when
// given, is written to each handed-over stream here after the launch; ret_str_child, when given
// and not empty, is carried to the child as the hand-over message. Without streams the arguments
// pass unchanged. Returns the child's process id, or minus the error number: EINVAL when a
// stream is invalid or closed, EPERM when a stream's kind cannot be handed over (nothing is
// started then, the streams are left alone), the failure of the fork, or the failure of the
// program's start (ENOENT for a program that is not found, the exec's own error otherwise, seen
// through a close-on-exec pipe; the child has ended with status 1). After a failed fork or start
// the streams have still been written to and closed as asked. A stream that cannot be sent is
// the caller's error, not a broken invariant: the streams come from scripts, and the agent goes
// on.
int launch_proc(const char* str, const char* const* argv, STREAM** stpp, const char* close_flags,
                const char* ret_str_parent, const char* ret_str_child);

// With st_in given (and st_out, st_err): runs shell command str with its standard input, output
// and error on three new pipes and stores file streams on this process's ends (writing st_in
// feeds the command, reading st_out and st_err reads what it writes). With st_in null: runs the
// command with no streams (descriptors 0 to 2 inherited). 0, or minus the error number; *pid,
// when asked, gets the child's process id.
int launch_proc_stdio(STREAM** st_in, STREAM** st_out, STREAM** st_err, const char* str,
                      int* pid = nullptr);
// Runs "proc &" through the shell with standard output and error on /dev/null. 0 or minus the
// error number.
int launch_devnull(const char* proc);
// Runs the command proc through the shell with descriptors 0 to 2 inherited; this process does
// not wait. The child's process id, or minus the error number.
int launch_normal(const char* proc);
// Runs shell command str with its descriptor fd on a pipe back here and reads everything it
// writes there: -1 when the text search occurs in it, else 0 (also without search).
int call_system(int fd, const char* str, const char* search);

// Waits until launched child pid has ended, for at most timeout seconds (less than 0: no limit):
// 0 with its wait status in *status (as waitpid gives it; -1 when the system could not tell),
// or -1 with errno ETIMEDOUT, or ECHILD for a process that is not a child launched here. The
// status of a child nobody asks for is kept for 600 seconds after its end.
int launch_wait(int pid, int* status, int timeout);

// Shows a page in the web browser: page is a URL, or null for "http://hostname:port/". The
// browser is the command in BROWSER (its words, then the URL as one more argument), else the
// platform opener (posix_dependent_open), else "mozilla". The child's process id; -1 after
// printing "cannot open the browser %s\n" when the browser cannot be started or the URL holds a
// control character.
int http_system(const char* hostname, int port, const char* page);
// The same job for the netscape browser: looks for a running one of this user's through "ps",
// then sends it the page, or starts a new one.
int _http_netscape(const char* hostname, int port, const char* page);
// The platform opener: runs xdg-open with the URL as its one argument. Set by
// init_posix_dependent (and from the start).
extern int (*posix_dependent_open)(const char* url);
int linux_dependent_open(const char* url);
void init_posix_dependent();

// ------------------------------------------------------------------------------------------------
// Call sequencer

typedef int (*MS_FUNC)(void* arg, int);
// One sequenced call, kept in the caller's frame while it waits.
struct MS_INFO {
    MS_INFO* next;
    MS_FUNC func;  // cleared once the call has run
    void* arg;
    char str[256];
    int result;
};

// Makes the calling task the loop task and sets the sequencer up.
void init_msequence();
// The loop: runs the queued calls one at a time, highest priority first, for ever.
[[noreturn]] void ms_loop();
// Runs func(arg, 0) on the loop task and returns its result; called from the loop task itself,
// or before the loop runs, it calls func at once. Before init_msequence: panic "????\n".
int ms_do(MS_FUNC func, void* arg, int cb_flag, const char* str);
// The loop task's id.
int get_userinterface_tid();
// Calls queued and not yet taken by the loop (for diagnostics and tests).
int ms_queued();

// ------------------------------------------------------------------------------------------------
// Stabilizer

// Turns the calling process into a keeper that runs the program in a child and starts it again
// whenever it ends without the word 'e'; returns, in each such child, the reason of its start:
// 's' the first, 'a' after an end without a word, else the byte the last run sent. Only for a
// process that has no other thread yet (the child must be a whole process).
int stabilizer();
// Tells the keeper why the program ends (nothing without a keeper).
void exit_stabilizer(int ch);
// Replaces standard input, output and error by ends of pipes whose other ends are closed.
void close_std();
