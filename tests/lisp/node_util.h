// Building nodes and call forms for tests of the primitives, which are called directly on nodes.
#pragma once

#include <initializer_list>
#include <string>

#include "lisp/list.h"
#include "lisp/sexp.h"
#include "lisp_util.h"

namespace qn {

inline const L_CHAR* unit(const char* u) {
    return u ? _l_string_1(std_cm, u) : nullptr;
}
inline QV_SEXP* I(int64_t v, const char* u = nullptr) {
    return get_integer(v, unit(u));
}
inline QV_SEXP* F(double v, const char* u = nullptr) {
    return get_floating(v, unit(u));
}
inline QV_SEXP* Str(const char* s) {
    return n_get_string(s);
}
inline QV_SEXP* Sym(const char* s) {
    return n_get_symbol(s);
}
inline QV_SEXP* Lst(std::initializer_list<QV_SEXP*> items) {
    QV_SEXP* r = nullptr;
    for (auto it = std::rbegin(items); it != std::rend(items); ++it)
        r = cons(*it, r);
    return r;
}
// (head args...) with the head a symbol.
inline QV_SEXP* Form(const char* head, std::initializer_list<QV_SEXP*> args) {
    return cons(Sym(head), Lst(args));
}
inline QV_SEXP* call(QV_PRIM p, QVISP_ENV* env, const char* head,
                     std::initializer_list<QV_SEXP*> args, QV_SYM_FIELD* attr = nullptr) {
    return p(env, Form(head, args), nullptr, attr, nullptr);
}

inline std::string text(QV_SEXP* s) {
    return A(s->string.data);
}
inline std::string unit_text(QV_SEXP* s) {
    const L_CHAR* u = get_type(s) == QVT_INTEGER ? s->integer.unit : s->floating.unit;
    return u ? A(u) : std::string();
}

}  // namespace qn

// The value and unit of an integer or floating result.
#define EXPECT_INT(s, v, u)                           \
    do {                                              \
        QV_SEXP* s_ = (s);                            \
        ASSERT_EQ(get_type(s_), QVT_INTEGER);         \
        EXPECT_EQ(s_->integer.data, (int64_t)(v));    \
        EXPECT_EQ(qn::unit_text(s_), std::string(u)); \
    } while (0)
#define EXPECT_FLT(s, v, u)                               \
    do {                                                  \
        QV_SEXP* s_ = (s);                                \
        ASSERT_EQ(get_type(s_), QVT_FLOAT);               \
        EXPECT_DOUBLE_EQ(s_->floating.data, (double)(v)); \
        EXPECT_EQ(qn::unit_text(s_), std::string(u));     \
    } while (0)
#define EXPECT_ERR(s, c, f)                           \
    do {                                              \
        QV_SEXP* s_ = (s);                            \
        ASSERT_EQ(get_type(s_), QVT_ERROR);           \
        EXPECT_EQ(s_->error.code, (uint32_t)(c));     \
        EXPECT_EQ(A(s_->error.func), std::string(f)); \
    } while (0)
