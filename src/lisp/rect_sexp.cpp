// The rectangle shape test reads QV nodes through the node layer (lisp/list.h); the plain
// rectangle code it goes with is the runtime base's (base/rect.h).
#include "lisp/rect_sexp.h"

#include "lisp/list.h"

namespace {

bool is_number(QV_SEXP* e) {
    int t = get_type(e);
    return t == QVT_INTEGER || t == QVT_FLOAT;
}

bool is_point(QV_SEXP* s) {
    return list_length(s) == 2 && is_number(get_el(s, 0)) && is_number(get_el(s, 1));
}

}  // namespace

int rect_type(QV_SEXP* s) {
    return list_length(s) == 2 && is_point(get_el(s, 0)) && is_point(get_el(s, 1)) ? 0 : -1;
}
