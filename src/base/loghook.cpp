#include "base/loghook.h"

std::atomic<LOG_VPRINTF> __log_vprintf{nullptr};

int log_vprintf(int level, int layer, LOG_NODE_DATA* opt, const char* fmt, va_list ap) {
    LOG_VPRINTF f = __log_vprintf.load();
    return f ? f(level, layer, opt, fmt, ap) : -1;
}

int log_printf(int level, int layer, LOG_NODE_DATA* opt, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = log_vprintf(level, layer, opt, fmt, ap);
    va_end(ap);
    return r;
}
