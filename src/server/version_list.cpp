// Version records as QV lists.
#include "server/version_list.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/alloc.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

// The bytes of a string element of list, or null when it is missing or not a string.
char* string_el(QV_SEXP* list, int n) {
    QV_SEXP* e = get_el(list, n);
    if (get_type(e) != QVT_STRING) return nullptr;
    return d_strdup(n_string(std_cm, e->string.data));
}

}  // namespace

int read_numbers(const char* text, long long* n, int max) {
    int count = 0;
    const char* p = text;
    while (count < max) {
        char* end = nullptr;
        long long v = strtoll(p, &end, 0);
        if (end == p) break;
        n[count++] = v;
        p = end;
    }
    return count;
}

QV_SEXP* version_format(const VERSION* v) {
    char date[64];
    if (v->month == 0)
        snprintf(date, sizeof date, "%i", v->year);
    else if (v->date == 0)
        snprintf(date, sizeof date, "%i-%i", v->year, v->month);
    else
        snprintf(date, sizeof date, "%i-%i-%i", v->year, v->month, v->date);
    return list(n_get_string(v->layer), n_get_string(v->name), n_get_string(v->publisher),
                n_get_string(v->version), n_get_string(date), nullptr);
}

VERSION* convert_to_version(QV_SEXP* l) {
    auto* v = static_cast<VERSION*>(d_alloc(sizeof(VERSION)));
    memset(v, 0, sizeof *v);
    v->layer = string_el(l, 0);
    v->name = string_el(l, 1);
    v->publisher = string_el(l, 2);
    v->version = string_el(l, 3);
    if (list_length(l) > 5) v->comment = string_el(l, 5);
    char* date = string_el(l, 4);
    if (!v->layer || !v->name || !v->publisher || !v->version || !date ||
        (list_length(l) > 5 && !v->comment)) {
        if (date) d_f_ree(date);
        free_version(v);
        return nullptr;
    }
    for (char* c = date; *c; c++)
        if (*c == '-') *c = ' ';
    long long n[3] = {0, 0, 0};
    read_numbers(date, n, 3);
    d_f_ree(date);
    long long year = n[0], month = n[1], day = n[2];
    v->year = static_cast<int16_t>(year);
    v->month = static_cast<uint8_t>(month);
    v->date = static_cast<uint8_t>(day);
    return v;
}
