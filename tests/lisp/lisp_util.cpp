#include "lisp_util.h"

#include <cstring>

namespace {

TEST_RECORD* rec(QV_FILE* f) {
    return reinterpret_cast<TEST_RECORD*>(f);
}

void gc_test_file(QV_FILE* f) {
    if (!gc_mark_block(f)) return;
    gc_text(rec(f)->name);
    gc_text(rec(f)->site);
    gc_vx_sexp(rec(f)->sexp);
}

L_CHAR* site_of(QV_FILE* f) {
    return rec(f)->site;
}

L_CHAR* name_of(QV_FILE* f) {
    return rec(f)->name;
}

int take(QV_FILE* f, QV_SEXP* s) {
    rec(f)->sexp = s;
    return rec(f)->line;
}

QV_SEXP* realize(QV_SEXP* s) {
    if (sexp_raw_type(s) == QVT_DELAY && s->delay.dtype == DELAY_GENERATOR)
        return s->delay.d.func->func(s);
    return s;
}

void fix_line(QV_FILE* f, int line) {
    rec(f)->line = line;
    rec(f)->fixed = 1;
}

const QV_READER_HOOKS hooks = {gc_test_file, site_of, name_of, take, realize, fix_line, nullptr};

L_CHAR* ltext(const char* s) {
    size_t n = strlen(s) + 1;
    auto* r = static_cast<L_CHAR*>(mmalloc(static_cast<int64_t>(n * sizeof(L_CHAR)), gc_text));
    for (size_t i = 0; i < n; i++)
        r[i] = static_cast<unsigned char>(s[i]);
    return r;
}

}  // namespace

QV_FILE* test_file(const char* name, const char* site, int line) {
    set_reader_hooks(&hooks);
    lock_mem();
    auto* r = static_cast<TEST_RECORD*>(mmalloc(sizeof(TEST_RECORD), gc_vx_file));
    r->name = name ? ltext(name) : nullptr;
    r->site = site ? ltext(site) : nullptr;
    r->line = line;
    unlock_mem();
    return reinterpret_cast<QV_FILE*>(r);
}
