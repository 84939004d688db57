// The proper code set of a value.
#include "server/getcode.h"

#include "lisp/census.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

bool text_is(const L_CHAR* t, const char* word) {
    for (; *word; word++, t++)
        if (*t != static_cast<unsigned char>(*word)) return false;
    return *t == 0;
}

// The lccode declared by a leading "?qv" or "?xml" with a known "encoding", else 0.
L_CHAR declared_code(QV_SEXP* s) {
    for (int depth = 0; depth < 1000 && sexp_raw_type(s) == QVT_PAIR; depth++)
        s = s->pair.car;
    if (sexp_raw_type(s) != QVT_SYMBOL) return 0;
    if (!text_is(s->symbol.data, "?qv") && !text_is(s->symbol.data, "?xml")) return 0;
    const L_CHAR* enc = get_sf_attribute(s->symbol.field, l_string(std_cm, "encoding"));
    if (!enc) return 0;
    CODE_METHOD* cm = search_cm(n_string(std_cm, enc));
    return cm ? cm->lccode : 0;
}

}  // namespace

L_CHAR get_proper_code(QV_SEXP* value, int limit, const CODE_METHOD* current) {
    if (L_CHAR code = declared_code(value)) return code;
    CS_WORK w = {};
    w.str_max = limit;
    if (limit == -2) {
        w.str_max = -1;
        cs_sexp(&w, value);
    } else {
        cs_sexp_on_mem(&w, value);
    }
    // The list is newest first; on a tie the set counted first (the later entry) wins.
    CS_LIST* best = nullptr;
    for (CS_LIST* l = w.lst; l; l = l->next)
        if (!best || l->count >= best->count) best = l;
    L_CHAR set = best ? best->code : 0;
    bool found = best != nullptr;
    free_cs_work(&w);
    if (!found) return LC_ASCII;
    if (cm_main_covers(current, set)) return current->lccode;
    // A code set no method covers cannot be switched to; the output's own method writes it
    // with references.
    CODE_METHOD* cm = search_cm_by_main_code(set);
    return cm ? cm->lccode : LC_ASCII;
}
