// The file-root helper's side of the pipes (the program `qvufr`).
//
// The helper runs with the rights of one file owner, started by the program when it runs as
// root (fileroot.h). It greets with sequence 0, then reads requests one at a time from its
// request pipe, runs each with its own rights and writes the reply, until the program closes the
// pipe. It hands out only descriptors it opened itself, keeps a running byte sum per descriptor,
// and keeps its descriptors below 65,536 so that they fit the program's combined form.
//
// Every count and length of a request is checked before it is used. A request that is well
// framed but wrong (bad types for its operation, a path without its terminating zero, an unknown
// descriptor, an argument over its bound) gets an error reply and the helper goes on. A request
// that cannot be framed (a negative length, an unknown argument type, too many arguments) gets
// an error reply, and then the helper ends, since it cannot find the next request's start.
//
// The server keeps its state in its own record and makes no use of the runtime (tasks, locks,
// tracked memory), so the program starts nothing but it, and tests may run servers on threads.
#pragma once

// Writes the greeting: sequence 0, the code and system error, no buffers. 0, or -1 on failure.
int qvufr_greet(int out, int code, int sys_code);

// Serves requests read from `in`, replying on `out`. 0 when the program closed the request
// pipe between two requests; -1 when a pipe failed, the request pipe ended inside a request, or
// a request could not be framed (after its error reply).
int qvufr_serve(int in, int out);

// The program: "qvufr <request descriptor> <reply descriptor>". Refuses to serve as root (the
// greeting then carries the closed code with EPERM). Returns the exit status.
int qvufr_main(int argc, char** argv);
