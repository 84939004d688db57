// Casts between node kinds shared with the language core.
#include "builtins/casts.h"

#include <vector>

namespace {

void put(std::vector<L_CHAR>& out, const L_CHAR* s) {
    for (; s && *s; s++)
        out.push_back(*s);
}

void put(std::vector<L_CHAR>& out, const char* s) {
    for (; *s; s++)
        out.push_back(static_cast<unsigned char>(*s));
}

}  // namespace

QV_SEXP* cast_symbol2string(QV_SEXP* sym) {
    if (get_type(sym) != QVT_SYMBOL) return nullptr;
    if (!sym->symbol.field) return inherit(get_string(sym->symbol.data), sym);
    std::vector<L_CHAR> out;
    put(out, "[");
    put(out, sym->symbol.data);
    for (QV_SYM_FIELD* f = sym->symbol.field; f; f = f->next) {
        put(out, " ");
        put(out, f->name);
        put(out, "=\"");
        put(out, f->data);
        put(out, "\"");
    }
    put(out, "]");
    out.push_back(0);
    return inherit(get_string(out.data()), sym);
}
