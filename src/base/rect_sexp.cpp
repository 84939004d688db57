// The rectangle shape test reads QV nodes through the language core's node layer (lisp/list.h);
// it is kept apart from rect.cpp so that the plain rectangle code does not stand on that layer.
#include "base/rect_sexp.h"

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
