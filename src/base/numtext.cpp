// Numbers from text and from doubles (see numtext.h).
#include "base/numtext.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {

bool only_blanks(const char* end) {
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')
        end++;
    return *end == 0;
}

bool in_s64(double t) {
    return t >= -9223372036854775808.0 && t < 9223372036854775808.0;
}

}  // namespace

bool text_to_ll(const std::string& t, int64_t* v, int base) {
    const char* s = t.c_str();
    while (*s == ' ' || *s == '\t')
        s++;
    if (!*s) return false;
    char* end = nullptr;
    errno = 0;
    long long r = strtoll(s, &end, base);
    if (errno == ERANGE || end == s || !only_blanks(end)) return false;
    *v = r;
    return true;
}

bool text_to_double(const std::string& t, double* v) {
    const char* s = t.c_str();
    char* end = nullptr;
    errno = 0;
    double r = strtod(s, &end);
    if (errno == ERANGE || end == s || !only_blanks(end)) return false;
    *v = r;
    return true;
}

NumPrefix read_prefix_ll(const std::string& t, int64_t* v, int base) {
    const char* s = t.c_str();
    char* end = nullptr;
    errno = 0;
    long long r = strtoll(s, &end, base);
    if (end == s) return NUM_NONE;
    if (errno == ERANGE) return NUM_RANGE;
    *v = r;
    return NUM_OK;
}

NumPrefix read_prefix_int(const std::string& t, int* v) {
    int64_t wide = 0;
    NumPrefix r = read_prefix_ll(t, &wide);
    if (r != NUM_OK) return r;
    return narrow_int(wide, v) ? NUM_OK : NUM_RANGE;
}

NumPrefix read_prefix_double(const std::string& t, double* v) {
    const char* s = t.c_str();
    char* end = nullptr;
    errno = 0;
    double r = strtod(s, &end);
    if (end == s) return NUM_NONE;
    if (!std::isfinite(r)) return NUM_RANGE;
    *v = r;
    return NUM_OK;
}

bool text_atoi(const char* t, int* v) {
    *v = 0;
    if (!t) return true;
    int64_t wide = 0;
    NumPrefix r = read_prefix_ll(t, &wide, 10);
    if (r == NUM_NONE) return true;
    return r == NUM_OK && narrow_int(wide, v);
}

bool narrow_int(int64_t v, int* out) {
    if (v < INT_MIN || v > INT_MAX) return false;
    *out = static_cast<int>(v);
    return true;
}

bool trunc_s64(double x, int64_t* v) {
    if (!std::isfinite(x)) return false;
    double t = std::trunc(x);
    if (!in_s64(t)) return false;
    *v = static_cast<int64_t>(t);
    return true;
}

bool rint_s64(double x, int64_t* v) {
    if (!std::isfinite(x)) return false;
    double t = std::nearbyint(x);
    if (!in_s64(t)) return false;
    *v = static_cast<int64_t>(t);
    return true;
}
