#include "lisp/textcopy.h"

#include <cstring>

#include "lisp/heap.h"

L_CHAR* ll_copy_mstr(const L_CHAR* s) {
    if (!s) return nullptr;
    size_t n = (static_cast<size_t>(l_strlen(s)) + 1) * sizeof(L_CHAR);
    auto* r = static_cast<L_CHAR*>(mmalloc(static_cast<int64_t>(n), gc_text));
    memcpy(r, s, n);
    return r;
}

L_CHAR* _nl_copy_mstr_1(CODE_METHOD* cm, const char* s) {
    return ll_copy_mstr(_l_string_1(cm, s));
}

L_CHAR* _nl_copy_mstr_2(CODE_METHOD* cm, const char* s) {
    return ll_copy_mstr(_l_string_2(cm, s));
}
