#include "reader_util.h"

#include <cstdio>

namespace {

std::string text(const L_CHAR* s) {
    std::string r;
    for (; s && *s; s++) {
        L_CHAR c = *s;
        if (c == '\n')
            r += "\\n";
        else if (c == '\r')
            r += "\\r";
        else if (c == '\t')
            r += "\\t";
        else if (c >= 0x20 && c < 0x80)
            r += static_cast<char>(c);
        else {
            char b[16];
            snprintf(b, sizeof b, "\\u%x", c);
            r += b;
        }
    }
    return r;
}

void put(std::string& out, QV_SEXP* s) {
    int t = get_type(s);
    if (t != sexp_raw_type(s)) s = realize_sexp(s);
    char b[64];
    switch (t) {
        case QVT_NIL:
            out += "()";
            break;
        case QVT_PAIR: {
            out += "(";
            QV_SEXP* p = s;
            for (;;) {
                put(out, p->pair.car);
                QV_SEXP* n = p->pair.cdr;
                int nt = get_type(n);
                if (nt == QVT_NIL) break;
                if (nt != QVT_PAIR) {
                    out += " . ";
                    put(out, n);
                    break;
                }
                out += " ";
                p = n;
            }
            out += ")";
            break;
        }
        case QVT_SYMBOL:
            out += text(s->symbol.data);
            if (s->symbol.field) {
                out += "{";
                for (QV_SYM_FIELD* f = s->symbol.field; f; f = f->next) {
                    out += text(f->name) + "=" + text(f->data);
                    if (f->next) out += ",";
                }
                out += "}";
            }
            break;
        case QVT_STRING:
            out += "\"" + text(s->string.data) + "\"";
            break;
        case QVT_INTEGER:
            snprintf(b, sizeof b, "%lld", static_cast<long long>(s->integer.data));
            out += b;
            if (s->integer.unit) out += ":" + text(s->integer.unit);
            break;
        case QVT_FLOAT:
            snprintf(b, sizeof b, "f%g", s->floating.data);
            out += b;
            if (s->floating.unit) out += ":" + text(s->floating.unit);
            break;
        case QVT_ERROR:
            snprintf(b, sizeof b, "E%x:", s->error.code);
            out += b + text(s->error.func);
            snprintf(b, sizeof b, "@%d(", s->error.line);
            out += b;
            if (s->error.data) {
                std::string d;
                put(d, s->error.data);
                out += get_type(s->error.data) == QVT_PAIR ? d.substr(1, d.size() - 2) : d;
            }
            out += ")";
            break;
        case QVT_RAW:
            out += "R";
            for (int i = 0; i < s->raw.size; i++) {
                snprintf(b, sizeof b, "%02x", s->raw.data[i]);
                out += b;
            }
            break;
        case QVT_DELAY:
            out += "<delay>";
            break;
        default:
            snprintf(b, sizeof b, "<kind %d>", t);
            out += b;
    }
}

}  // namespace

std::string dump(QV_SEXP* s) {
    std::string r;
    put(r, s);
    return r;
}

std::string items(const char* t, int len) {
    std::string r;
    QV_SEXP* top = read_qv_items(t, len, "t.qv");
    for (QV_SEXP* p = top; get_type(p) == QVT_PAIR; p = p->pair.cdr) {
        if (!r.empty()) r += " | ";
        r += dump(p->pair.car);
    }
    return r;
}
