// Print: the compact text of a value.
#include "builtins/print.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/textcopy.h"
#include "longchar/longchar.h"

namespace {

struct PRINT_BUF {
    std::vector<L_CHAR> text;
    QV_SEXP* err = nullptr;

    void add(const char* s) {
        for (; *s; s++)
            text.push_back(static_cast<unsigned char>(*s));
    }
    void add(const L_CHAR* s) {
        for (; s && *s; s++)
            text.push_back(*s);
    }
    // A long-character text passed through the standard code method, as the attribute texts are.
    void add_std(const L_CHAR* s) {
        if (s) add(_l_string_1(std_cm, n_string(std_cm, s)));
    }
    void addf(const char* fmt, unsigned long long v) {
        char buf[64];
        snprintf(buf, sizeof buf, fmt, v);
        add(buf);
    }
};

bool print_one(PRINT_BUF* b, QV_SEXP* s);

bool print_list(PRINT_BUF* b, QV_SEXP* s) {
    b->add("(");
    QV_SEXP* c = s;
    for (;;) {
        if (!print_one(b, c->pair.car)) return false;
        c = c->pair.cdr;
        int t = get_type(c);
        if (t == QVT_NIL) break;
        b->add(" ");
        if (t != QVT_PAIR) {
            b->add(".");
            if (!print_one(b, c)) return false;
            break;
        }
    }
    b->add(")");
    return true;
}

bool print_one(PRINT_BUF* b, QV_SEXP* s) {
    switch (get_type(s)) {
        case QVT_NIL:
            b->add("()");
            return true;
        case QVT_ERROR:
            b->err = s;
            return false;
        case QVT_PAIR:
            if (QV_SEXP* deep = eval_depth_check(s)) {
                b->err = deep;
                return false;
            }
            return print_list(b, s);
        case QVT_SYMBOL:
            if (!s->symbol.field) {
                b->add(s->symbol.data);
                return true;
            }
            b->add("[");
            b->add(s->symbol.data);
            for (QV_SYM_FIELD* f = s->symbol.field; f; f = f->next) {
                b->add(" ");
                b->add_std(f->name);
                b->add("=\"");
                b->add_std(f->data);
                b->add("\"");
            }
            b->add("]");
            return true;
        case QVT_STRING:
            b->add("\"");
            for (const L_CHAR* p = s->string.data; *p; p++) {
                if (*p == '\r' || *p == '\n')
                    b->add("\\n");
                else
                    b->text.push_back(*p);
            }
            b->add("\"");
            return true;
        case QVT_INTEGER:
        case QVT_FLOAT:
            b->add(number_unit_text(s));
            return true;
        case QVT_FUNC:
            if (s->func.type == FUNC_PRIM)
                b->addf("[prim:0x%llx]", reinterpret_cast<uintptr_t>(s->func.prim));
            else if (s->func.type == FUNC_LAMBDA)
                b->addf("[lambda:0x%llx]", reinterpret_cast<uintptr_t>(s->func.l_body));
            else
                b->addf("[%llu]", s->func.type);
            return true;
        case QVT_RAW:
            b->addf("#%llx#]", static_cast<unsigned long long>(s->raw.size));
            return true;
        case QVT_PTR:
            b->addf("+PTR:%llx+", reinterpret_cast<uintptr_t>(s->ptr.ptr));
            return true;
        case QVT_ENV:
            b->addf("+ENV:%llx+", reinterpret_cast<uintptr_t>(s->env.data));
            return true;
        default:
            b->addf("[?%llu]", static_cast<unsigned long long>(get_type(s)));
            return true;
    }
}

}  // namespace

L_CHAR* print_text(QV_SEXP* s, QV_SEXP** err) {
    PRINT_BUF b;
    if (!print_one(&b, s)) {
        *err = b.err;
        return nullptr;
    }
    b.text.push_back(0);
    return ll_copy_mstr(b.text.data());
}

QV_SEXP* qv_Print(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* err = nullptr;
    L_CHAR* text = print_text(get_el(form, 1), &err);
    if (!text) return err;
    return get_string(text);
}

void init_Print(QVISP_ENV* env) {
    bind_prim(env, "Print", qv_Print, FUNC_APPLICATIVE, 2, 2);
}
