// The system's logging entry point. Every layer logs through log_printf; the logging service
// installs the function behind it at start-up by storing it in `__log_vprintf`. Until then every
// call returns -1 and nothing is printed.
#pragma once

#include <atomic>
#include <cstdarg>

// A log template (defined by the logging service); may be null.
union LOG_NODE_DATA;

// level 0-5, layer 0-6, template, format and its arguments; the service's result.
typedef int (*LOG_VPRINTF)(int level, int layer, LOG_NODE_DATA* opt, const char* fmt, va_list ap);
extern std::atomic<LOG_VPRINTF> __log_vprintf;

// Forward the call unchanged to the installed function; -1 when none is installed.
int log_printf(int level, int layer, LOG_NODE_DATA* opt, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
int log_vprintf(int level, int layer, LOG_NODE_DATA* opt, const char* fmt, va_list ap);
