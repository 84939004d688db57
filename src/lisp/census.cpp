// The code-set census: an iterative walk with an explicit stack, so any depth is safe.
#include "lisp/census.h"

#include <vector>

#include "base/alloc.h"
#include "lisp/parser.h"
#include "longchar/longchar.h"

namespace {

// Counts the characters of one text; -1 when the budget is spent.
int count_text(CS_WORK* w, const L_CHAR* t) {
    if (w->str_max == 0) return -1;
    if (w->str_max > 0) w->str_max--;
    for (; t && *t; t++) {
        if (*t <= 255) continue;
        L_CHAR code = *t & get_lc_mask(*t);
        CS_LIST* l = w->lst;
        while (l && l->code != code)
            l = l->next;
        if (l) {
            l->count++;
            continue;
        }
        l = static_cast<CS_LIST*>(d_alloc(sizeof(CS_LIST)));
        l->code = code;
        l->count = 1;
        l->next = w->lst;
        w->lst = l;
    }
    return 0;
}

// With locked null, delayed nodes are realised on the way; else they are skipped, and the walk
// takes the parse lock at the first one it meets (*locked set; the caller releases it). A node
// whose kind reads other than delayed (an acquire load, the reader storing the kind with release
// after filling the node) is never rewritten by its reader, so the nodes before it need no lock;
// a delayed one is rewritten only under the lock.
int walk(CS_WORK* w, QV_SEXP* s, bool* locked) {
    bool realise = !locked;
    std::vector<QV_SEXP*> todo;
    todo.push_back(s);
    while (!todo.empty()) {
        QV_SEXP* x = todo.back();
        todo.pop_back();
        int t = realise ? get_type(x) : sexp_raw_type(x);
        if (realise && t != sexp_raw_type(x)) x = realize_sexp(x);  // a generator's result
        if (t == QVT_DELAY && !realise && !*locked) {
            lock_parse();
            *locked = true;
            t = sexp_raw_type(x);  // it may have been read meanwhile
        }
        switch (t) {
            case QVT_ERROR:
                if (count_text(w, x->error.site) < 0 || count_text(w, x->error.filename) < 0 ||
                    count_text(w, x->error.func) < 0)
                    return -1;
                if (x->error.data) todo.push_back(x->error.data);
                break;
            case QVT_PAIR:
                if (x->pair.cdr) todo.push_back(x->pair.cdr);
                if (x->pair.car) todo.push_back(x->pair.car);
                break;
            case QVT_SYMBOL:
                if (count_text(w, x->symbol.data) < 0) return -1;
                for (QV_SYM_FIELD* f = x->symbol.field; f; f = f->next)
                    if (count_text(w, f->name) < 0 || count_text(w, f->data) < 0) return -1;
                break;
            case QVT_STRING:
                if (count_text(w, x->string.data) < 0) return -1;
                break;
            default:
                break;
        }
    }
    return 0;
}

}  // namespace

int cs_sexp(CS_WORK* w, QV_SEXP* s) {
    return walk(w, s, nullptr);
}

int cs_sexp_on_mem(CS_WORK* w, QV_SEXP* s) {
    // A value without text (a number, nil) has nothing to count: no walk, no parse lock.
    int t = sexp_raw_type(s);
    if (t != QVT_PAIR && t != QVT_ERROR && t != QVT_SYMBOL && t != QVT_STRING && t != QVT_DELAY)
        return 0;
    // A value read whole (a reply, most often) is walked without the parse lock.
    bool locked = false;
    int r = walk(w, s, &locked);
    if (locked) unlock_parse("cs_sexp_on_mem");
    return r;
}

void free_cs_work(CS_WORK* w) {
    while (CS_LIST* l = w->lst) {
        w->lst = l->next;
        d_f_ree(l);
    }
}
