// URL records in collected memory.
#include "lisp/urlcopy.h"

#include "lisp/heap.h"
#include "lisp/textcopy.h"

void mcopy_url(URL* dst, const URL* src) {
    dst->proto = ll_copy_mstr(src->proto);
    dst->server = ll_copy_mstr(src->server);
    dst->port = src->port;
    dst->agent = ll_copy_mstr(src->agent);
    dst->db = ll_copy_mstr(src->db);
    dst->resource = ll_copy_mstr(src->resource);
    dst->query = ll_copy_mstr(src->query);
    dst->name = ll_copy_mstr(src->name);
    dst->user = ll_copy_mstr(src->user);
    dst->passwd = ll_copy_mstr(src->passwd);
}

void gcv_url(URL* u) {
    if (!u) return;
    gc_text(u->proto);
    gc_text(u->server);
    gc_text(u->agent);
    gc_text(u->db);
    gc_text(u->resource);
    gc_text(u->query);
    gc_text(u->name);
    gc_text(u->user);
    gc_text(u->passwd);
}
