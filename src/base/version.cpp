// Version records: the global list and the copies made from a peer's answer.
#include "base/version.h"

#include <cstring>
#include <initializer_list>

#include "base/alloc.h"

VERSION* version_list = nullptr;

namespace {

char* copy_text(const char* s) {
    return s ? d_strdup(s) : nullptr;
}

}  // namespace

void set_version(VERSION* v) {
    // A record registered twice moves to the head instead of linking to itself, which would make
    // the list endless.
    for (VERSION** pp = &version_list; *pp; pp = &(*pp)->next) {
        if (*pp == v) {
            *pp = v->next;
            break;
        }
    }
    v->next = version_list;
    version_list = v;
}

VERSION* get_version(const char* layer) {
    if (!layer) return version_list;
    for (VERSION* v = version_list; v; v = v->next) {
        if (v->layer && strcmp(v->layer, layer) == 0) return v;
    }
    return nullptr;
}

void copy_version(VERSION* dst, const VERSION* src) {
    *dst = *src;
    dst->layer = copy_text(src->layer);
    dst->name = copy_text(src->name);
    dst->publisher = copy_text(src->publisher);
    dst->version = copy_text(src->version);
    dst->comment = copy_text(src->comment);
}

void free_version_v(VERSION* v) {
    // Cleared after release so that a second call frees nothing twice.
    for (char** s : {&v->layer, &v->name, &v->publisher, &v->version, &v->comment}) {
        if (*s) d_f_ree(*s);
        *s = nullptr;
    }
}

void free_version(VERSION* v) {
    free_version_v(v);
    d_f_ree(v);
}
