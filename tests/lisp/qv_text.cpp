#include "qv_text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lisp/eval.h"
#include "lisp/hostcmd.h"
#include "lisp/list.h"
#include "lisp/statements.h"
#include "lisp_util.h"

namespace {

// ---------------------------------------------------------------- reader

struct Reader {
    const char* p;
    QV_FILE* file;
    int line;

    void skip() {
        while (*p && isspace(static_cast<unsigned char>(*p))) {
            if (*p == '\n') line++;
            p++;
        }
    }

    QV_SEXP* stamp(QV_SEXP* s, int at) {
        if (s && file) {
            lock_mem();
            s->h.file = file;
            s->h.line = at;
            unlock_mem();
        }
        return s;
    }

    std::vector<L_CHAR> quoted() {
        std::vector<L_CHAR> t;
        p++;  // opening quote
        while (*p && *p != '"') {
            char c = *p++;
            if (c == '\\' && *p) {
                c = *p++;
                if (c == 'n') c = '\n';
                if (c == 't') c = '\t';
            }
            if (c == '\n') line++;
            t.push_back(static_cast<unsigned char>(c));
        }
        if (*p == '"') p++;
        t.push_back(0);
        return t;
    }

    std::string word() {
        std::string w;
        while (*p && !isspace(static_cast<unsigned char>(*p)) && !strchr("()[]\"", *p))
            w += *p++;
        return w;
    }

    QV_SEXP* atom(const std::string& w) {
        size_t i = 0;
        if (w[0] == '-' || w[0] == '+') i++;
        if (i < w.size() && isdigit(static_cast<unsigned char>(w[i]))) {
            while (i < w.size() && isdigit(static_cast<unsigned char>(w[i])))
                i++;
            bool fl = i < w.size() && w[i] == '.';
            if (fl) {
                i++;
                while (i < w.size() && isdigit(static_cast<unsigned char>(w[i])))
                    i++;
            }
            std::string num = w.substr(0, i);
            std::string unit = w.substr(i);
            const char* u = unit.empty() ? nullptr : unit.c_str();
            if (fl) return n_get_floating(strtod(num.c_str(), nullptr), u);
            return get_integer(strtoll(num.c_str(), nullptr, 10),
                               u ? _l_string_1(std_cm, u) : nullptr);
        }
        return n_get_symbol(w.c_str());
    }

    QV_SEXP* item() {
        skip();
        int at = line;
        if (*p == '(') {
            p++;
            std::vector<QV_SEXP*> items;
            std::vector<int> lines;
            QV_SEXP* tail = nullptr;
            for (;;) {
                skip();
                if (!*p) break;
                if (*p == ')') {
                    p++;
                    break;
                }
                if (p[0] == '.' && isspace(static_cast<unsigned char>(p[1]))) {
                    p++;
                    tail = item();
                    skip();
                    if (*p == ')') p++;
                    break;
                }
                lines.push_back(line);
                items.push_back(item());
            }
            QV_SEXP* r = tail;
            for (size_t i = items.size(); i-- > 0;)
                r = stamp(cons(items[i], r), i == 0 ? at : lines[i]);
            return r;
        }
        if (*p == '"') {
            std::vector<L_CHAR> t = quoted();
            return stamp(get_string(t.data()), at);
        }
        if (*p == '[') {
            p++;
            skip();
            QV_SEXP* s = n_get_symbol(word().c_str());
            std::vector<std::pair<std::vector<L_CHAR>, std::vector<L_CHAR>>> attrs;
            for (;;) {
                skip();
                if (!*p || *p == ']') break;
                std::string name;
                while (*p && *p != '=' && *p != ']' && !isspace(static_cast<unsigned char>(*p)))
                    name += *p++;
                std::vector<L_CHAR> n(name.begin(), name.end());
                n.push_back(0);
                std::vector<L_CHAR> v{0};
                if (*p == '=') {
                    p++;
                    v = quoted();
                }
                attrs.push_back({n, v});
            }
            if (*p == ']') p++;
            for (size_t i = attrs.size(); i-- > 0;)
                set_attribute(s, attrs[i].first.data(), attrs[i].second.data());
            return stamp(s, at);
        }
        std::string w = word();
        if (w.empty()) {
            if (*p) p++;
            return nullptr;
        }
        return stamp(atom(w), at);
    }
};

// ---------------------------------------------------------------- printer

std::string text(const L_CHAR* s) {
    std::string r;
    for (; s && *s; s++)
        r += *s < 128 ? static_cast<char>(*s) : '?';
    return r;
}

std::string quote_text(const L_CHAR* s) {
    std::string r = "\"";
    for (; s && *s; s++) {
        if (*s == '"' || *s == '\\') r += '\\';
        r += *s < 128 ? static_cast<char>(*s) : '?';
    }
    return r + "\"";
}

void print(std::string& out, QV_SEXP* s) {
    char buf[64];
    switch (get_type(s)) {
        case QVT_NIL:
            out += "()";
            break;
        case QVT_PAIR: {
            out += "(";
            bool first = true;
            for (; get_type(s) == QVT_PAIR; s = s->pair.cdr) {
                if (!first) out += " ";
                first = false;
                print(out, s->pair.car);
            }
            if (s) {
                out += " . ";
                print(out, s);
            }
            out += ")";
            break;
        }
        case QVT_SYMBOL:
            if (!s->symbol.field) {
                out += text(s->symbol.data);
            } else {
                out += '[';
                out += text(s->symbol.data);
                for (QV_SYM_FIELD* f = s->symbol.field; f; f = f->next) {
                    out += ' ';
                    out += text(f->name);
                    out += '=';
                    out += quote_text(f->data);
                }
                out += ']';
            }
            break;
        case QVT_STRING:
            out += quote_text(s->string.data);
            break;
        case QVT_INTEGER:
            snprintf(buf, sizeof buf, "%lld", static_cast<long long>(s->integer.data));
            out += buf;
            out += text(s->integer.unit);
            break;
        case QVT_FLOAT:
            snprintf(buf, sizeof buf, "%g", s->floating.data);
            out += buf;
            out += text(s->floating.unit);
            break;
        case QVT_ERROR:
            snprintf(buf, sizeof buf, "%%E(0x%08x ", s->error.code);
            out += buf;
            out += quote_text(s->error.func);
            out += ' ';
            print(out, s->error.data);
            out += ")";
            break;
        case QVT_FUNC:
            out += s->func.type == FUNC_PRIM ? "[prim]" : "[lambda]";
            break;
        case QVT_ENV:
            out += "+ENV+";
            break;
        case QVT_RAW:
            snprintf(buf, sizeof buf, "#%d#", s->raw.size);
            out += buf;
            break;
        case QVT_PTR:
            out += "+PTR+";
            break;
        default:
            out += "[?]";
    }
}

// ---------------------------------------------------------------- test primitives

bool num(QV_SEXP* v, double* d, bool* fl) {
    if (get_type(v) == QVT_INTEGER) {
        *d = static_cast<double>(v->integer.data);
        return true;
    }
    if (get_type(v) == QVT_FLOAT) {
        *d = v->floating.data;
        *fl = true;
        return true;
    }
    return false;
}

QV_SEXP* not_number(QV_SEXP* form) {
    return get_error(form->h.file, form->h.line, QVE_TYPE_MISMATCH, L("test-arith"),
                     list(n_get_string("not a number"), nullptr));
}

// Sum, difference or product of the (already evaluated) arguments.
QV_SEXP* arith(QV_SEXP* form, char op) {
    double acc = 0;
    int64_t iacc = 0;
    bool fl = false;
    int n = 0;
    for (QV_SEXP* c = form->pair.cdr; get_type(c) == QVT_PAIR; c = c->pair.cdr, n++) {
        double d;
        if (!num(c->pair.car, &d, &fl)) return not_number(form);
        int64_t i = get_type(c->pair.car) == QVT_INTEGER ? c->pair.car->integer.data : 0;
        if (n == 0) {
            acc = d;
            iacc = i;
        } else if (op == '+') {
            acc += d;
            iacc += i;
        } else if (op == '-') {
            acc -= d;
            iacc -= i;
        } else {
            acc *= d;
            iacc *= i;
        }
    }
    if (op == '-' && n == 1) {
        acc = -acc;
        iacc = -iacc;
    }
    return fl ? get_floating(acc, nullptr) : get_integer(iacc, nullptr);
}

QV_SEXP* t_add(QVISP_ENV*, QV_SEXP* f, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return arith(f, '+');
}
QV_SEXP* t_sub(QVISP_ENV*, QV_SEXP* f, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return arith(f, '-');
}
QV_SEXP* t_mul(QVISP_ENV*, QV_SEXP* f, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return arith(f, '*');
}
QV_SEXP* compare(QV_SEXP* f, bool less) {
    double a, b;
    bool fl = false;
    if (!num(get_el(f, 1), &a, &fl) || !num(get_el(f, 2), &b, &fl)) return not_number(f);
    return get_integer(less ? a < b : a == b, nullptr);
}
QV_SEXP* t_lt(QVISP_ENV*, QV_SEXP* f, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return compare(f, true);
}
QV_SEXP* t_eq(QVISP_ENV*, QV_SEXP* f, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return compare(f, false);
}
QV_SEXP* t_list(QVISP_ENV*, QV_SEXP* f, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return f->pair.cdr;
}

void bind(QVISP_ENV* env, const char* name, QV_PRIM prim, int order, int min, int max) {
    set_env(env, _l_string_1(std_cm, name), get_func_prim(prim, order, nullptr, min, max));
}

}  // namespace

// ---------------------------------------------------------------- interface

std::vector<QV_SEXP*> qv_all(const char* text, QV_FILE* file, int first_line) {
    Reader r{text, file, first_line};
    std::vector<QV_SEXP*> out;
    for (;;) {
        r.skip();
        if (!*r.p) break;
        out.push_back(r.item());
    }
    return out;
}

QV_SEXP* qv(const char* text, QV_FILE* file, int first_line) {
    std::vector<QV_SEXP*> all = qv_all(text, file, first_line);
    return all.empty() ? nullptr : all[0];
}

std::string show(QV_SEXP* s) {
    std::string out;
    print(out, s);
    return out;
}

TEST_ENVS make_core_envs() {
    TEST_ENVS e;
    e.top0 = new_env(nullptr);
    e.top1 = new_env(e.top0);
    QVISP_ENV* t0 = e.top0;
    bind(t0, "define", vx_define, 0, 3, -1);
    bind(t0, "while", vx_while, 0, 2, -1);
    bind(t0, "set", vx_set, 0, 3, 3);
    bind(t0, "quote", vx_quote_long, 0, 2, 2);
    bind(t0, "if", vx_if, 0, 4, 4);
    bind(t0, "let", vx_let, 0, 3, -1);
    bind(t0, "cdr", vx_cdr, 1, 2, 2);
    bind(t0, "car", vx_car, 1, 2, 2);
    bind(t0, "+", t_add, 1, 3, -1);
    bind(t0, "-", t_sub, 1, 2, 3);
    bind(t0, "*", t_mul, 1, 3, -1);
    bind(t0, "<", t_lt, 1, 3, 3);
    bind(t0, "=", t_eq, 1, 3, 3);
    bind(t0, "list", t_list, 1, 1, -1);
    QVISP_ENV* t1 = e.top1;
    bind(t1, "save", vx_save, 0, 6, 6);
    bind(t1, "shell", vx_shell, 0, 2, -1);
    bind(t1, "wait", vx_wait, 0, 2, 2);
    bind(t1, "lambda", vx_lambda, 0, 2, -1);
    return e;
}

QV_SEXP* run_sexp(QVISP_ENV* env, const char* text) {
    QV_SEXP* r = nullptr;
    for (QV_SEXP* s : qv_all(text)) {
        r = eval(env, s);
        if (get_type(r) == QVT_ERROR) break;
    }
    return r;
}

std::string run(QVISP_ENV* env, const char* text) {
    return show(run_sexp(env, text));
}
