// Host parameters read once at start-up, and the memory watchdog.
//
// `sys_param` holds the number of processors, the soft descriptor limit and the memory size. It
// is filled by `set_sys_param` during the utilities' start-up, before any task but the service
// tasks runs, and only read afterwards, so it needs no lock.
//
// The descriptor limit is kept sound: the soft limit is raised as far as the hard limit allows
// but never above DESCRIPTOR_CAP (descriptors above 65,535 name file-root descriptors, and a
// file-root descriptor carries its pipe's descriptor shifted left by 16 bits, which must stay a
// positive int when the process runs as root), and the hard limit is never changed: lowering it
// cannot be undone, and raising it is not ours to do.
#pragma once

#include <sys/resource.h>

#include <cstdint>

struct _SYS_PARAM {
    unsigned cpu;           // number of processors
    unsigned max_fd;        // the soft descriptor limit
    int64_t init_mem_size;  // the memory size in bytes
};
extern _SYS_PARAM sys_param;

// The highest soft descriptor limit this process sets: 65,535, or 32,767 when running as root.
unsigned descriptor_cap();

// The soft descriptor limit, clamped to 32 bits (no limit reads as 0xFFFFFFFF).
unsigned _get_fd_max();
// Sets the soft descriptor limit to n, lowered to the hard limit and to descriptor_cap(); the
// hard limit stays as it is. 0, or -1 when the limits cannot be read or set.
int _set_fd_max(unsigned n);
// Prints "<resource> :\t<soft> - <hard>\n" on standard error (no limit prints -1), or
// "<resource>\t" and the system's error text when the limits cannot be read.
void _print_rlim(int resource);

// The memory size in bytes, computed once and kept: the hard limit of the address space, capped
// at 268,435,456 bytes (256 MiB); no limit gives the cap, a limit of 0 gives 1,048,576 bytes.
int64_t _get_mem_size();
// The memory size that a hard address-space limit gives (the rule of _get_mem_size, on the full
// 64-bit limit).
int64_t mem_size_of_limit(rlim_t hard);

// The number of processors online (the system's own count; no command is run for it); 1 when it
// cannot be told.
unsigned numofcpu();
// The resident size of this process in bytes, read from /proc (no "ps" process is started); 0
// when it cannot be read.
int64_t get_usedmemory_size();

// Raises the soft descriptor limit (see above), then fills sys_param: max_fd, cpu, init_mem_size.
void set_sys_param();

// The memory watchdog (nothing in the system starts it). Records func and, on the tick
// service's immediate task, starts watchdog tasks until two have been started. Each looks every
// 20 seconds and, while func is set, calls func(resident size) when memory_watch_due says so.
typedef void (*MEMORY_WATCH_FUNC)(int64_t resident);
void memory_watchdog(MEMORY_WATCH_FUNC func);
// 1 when a resident size calls for the watchdog's function: not below the memory size, or above
// 536,870,911 bytes (0x1FFFFFFF); else 0.
int memory_watch_due(int64_t resident, int64_t mem_size);
