// List built-ins shared with the language core.
#include "builtins/lists.h"

QV_SEXP* reverse(QV_SEXP* s) {
    QV_SEXP* r = nullptr;
    for (; get_type(s) == QVT_PAIR; s = s->pair.cdr)
        r = cons(s->pair.car, r);
    return r;
}
