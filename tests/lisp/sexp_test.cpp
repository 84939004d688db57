// Expression nodes: every kind made and inspected, error values, positions, comparison.
#include <cmath>
#include <cstring>

#include "lisp/env.h"
#include "lisp/list.h"
#include "lisp_util.h"

namespace {

class SexpTest : public LispTest {};

QV_SEXP* prim_id(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return form;
}

int ptr_marks;
void mark_counter(void*) {
    ptr_marks++;
}

TEST_F(SexpTest, EveryKindIsMadeWithItsFields) {
    EXPECT_EQ(get_type(nullptr), QVT_NIL);

    L_CHAR name[4] = {'a', 'b', 'c', 0};
    QV_SEXP* sym = get_symbol(name);
    name[0] = 'x';  // the node holds a copy
    EXPECT_EQ(get_type(sym), QVT_SYMBOL);
    EXPECT_EQ(A(sym->symbol.data), "abc");
    EXPECT_EQ(sym->symbol.field, nullptr);
    EXPECT_EQ(sym->h.file, nullptr);
    EXPECT_EQ(sym->h.line, 0);
    EXPECT_EQ(sym->h.flags, 0);
    EXPECT_EQ(A(n_get_symbol("qvisp-env")->symbol.data), "qvisp-env");

    QV_SEXP* empty = get_string(nullptr);
    ASSERT_NE(empty->string.data, nullptr);
    EXPECT_EQ(empty->string.data[0], 0u);
    EXPECT_EQ(A(n_get_string("hello")->string.data), "hello");
    EXPECT_EQ(get_type(empty), QVT_STRING);

    QV_SEXP* i = get_integer(INT64_MIN, L("km"));
    EXPECT_EQ(get_type(i), QVT_INTEGER);
    EXPECT_EQ(i->integer.data, INT64_MIN);
    EXPECT_EQ(A(i->integer.unit), "km");
    EXPECT_NE(i->integer.unit, L("km"));
    QV_SEXP* n = n_get_integer(-5, nullptr);
    EXPECT_EQ(n->integer.data, -5);
    EXPECT_EQ(n->integer.unit, nullptr);
    EXPECT_EQ(A(n_get_integer(7, "m")->integer.unit), "m");

    QV_SEXP* f = get_floating(2.5, nullptr);
    EXPECT_EQ(get_type(f), QVT_FLOAT);
    EXPECT_EQ(f->floating.data, 2.5);
    EXPECT_EQ(f->floating.unit, nullptr);
    EXPECT_EQ(A(n_get_floating(1.0, "degree")->floating.unit), "degree");

    QVISP_ENV* env = new_env(nullptr);
    QV_SEXP* p = get_func_prim(prim_id, FUNC_APPLICATIVE, env, 3, FUNC_NO_MAX);
    EXPECT_EQ(get_type(p), QVT_FUNC);
    EXPECT_EQ(p->func.type, FUNC_PRIM);
    EXPECT_EQ(p->func.order, FUNC_APPLICATIVE);
    EXPECT_EQ(p->func.min, 3);
    EXPECT_EQ(p->func.max, -1);
    EXPECT_EQ(static_cast<uint8_t>(p->func.max), 0xFF);
    EXPECT_EQ(p->func.args_env, env);
    EXPECT_EQ(p->func.sp_env, nullptr);
    EXPECT_EQ(p->func.prim, prim_id);
    QV_SEXP* sp = get_func_prim_sp(prim_id, FUNC_NORMAL, nullptr, env, 2, 2);
    EXPECT_EQ(sp->func.sp_env, env);
    EXPECT_EQ(sp->func.max, 2);

    int object = 0;
    QV_SEXP* ptr = get_ptr(&object, mark_counter);
    EXPECT_EQ(get_type(ptr), QVT_PTR);
    EXPECT_EQ(ptr->ptr.ptr, &object);

    uint8_t bytes[5] = {1, 2, 3, 4, 5};
    QV_SEXP* raw = get_raw(bytes, 5);
    bytes[0] = 9;
    EXPECT_EQ(get_type(raw), QVT_RAW);
    EXPECT_EQ(raw->raw.size, 5);
    EXPECT_EQ(raw->raw.data[0], 1);
    EXPECT_EQ(get_raw(bytes, -3)->raw.size, 0);
    void* buf = mmalloc(8, gc_text);
    QV_SEXP* taken = get_raw_set_data(buf, 8);
    EXPECT_EQ(taken->raw.data, buf);

    QV_SEXP* en = get_env(env);
    EXPECT_EQ(get_type(en), QVT_ENV);
    EXPECT_EQ(en->env.data, env);

    // A foreign pointer's own mark function runs when the node is marked.
    ptr_marks = 0;
    collect();
    EXPECT_GE(ptr_marks, 1);
    EXPECT_EQ(raw->raw.data[4], 5);
    EXPECT_EQ(A(sym->symbol.data), "abc");
}

TEST_F(SexpTest, CurretCheckAndSizes) {
    EXPECT_EQ(curret_check(nullptr), 0);
    EXPECT_EQ(curret_check(cons(nullptr, nullptr)), 0);
    EXPECT_EQ(curret_check(get_integer(1, nullptr)), 0);
    EXPECT_EQ(curret_check(get_floating(1, nullptr)), 0);
    EXPECT_EQ(curret_check(n_get_string("s")), 1);
    EXPECT_EQ(curret_check(n_get_symbol("s")), 1);
    for (int t = 0; t < QVT_COUNT; t++)
        EXPECT_LE(get_sexp_size(t), get_sexp_size(QVT_DELAY));
}

TEST_F(SexpTest, ErrorValuesCarryAllFields) {
    QV_SEXP* data = n_get_string("detail");
    QV_SEXP* e = get_error(nullptr, 12, 0x80030806, L("car"), data);
    EXPECT_EQ(get_type(e), QVT_ERROR);
    ASSERT_NE(e->error.site, nullptr);
    ASSERT_NE(e->error.filename, nullptr);
    EXPECT_EQ(A(e->error.site), "");
    EXPECT_EQ(A(e->error.filename), "");
    EXPECT_EQ(e->error.line, 12);
    EXPECT_EQ(A(e->error.func), "car");
    EXPECT_NE(e->error.func, L("car"));
    EXPECT_EQ(e->error.code, 0x80030806u);
    EXPECT_EQ(e->error.data, data);
    EXPECT_EQ(e->h.file, nullptr);

    QV_FILE* f = test_file("script.qv", "host1", 3);
    auto* rec = reinterpret_cast<TEST_RECORD*>(f);
    QV_SEXP* e2 = get_error(f, 40, 0x8004070e, L("get_el_c"), nullptr);
    EXPECT_EQ(e2->error.site, rec->site);      // shared with the record
    EXPECT_NE(e2->error.filename, rec->name);  // a copy
    EXPECT_EQ(A(e2->error.filename), "script.qv");
    EXPECT_EQ(e2->error.line, 40);
    EXPECT_EQ(e2->h.file, nullptr);
    QV_FILE* bare = test_file(nullptr, nullptr, 1);
    QV_SEXP* e3 = get_error(bare, 1, 1, nullptr, nullptr);
    EXPECT_EQ(A(e3->error.site), "");
    EXPECT_EQ(A(e3->error.filename), "");

    QV_SEXP* moved = get_error_line(e2, 99);
    EXPECT_NE(moved, e2);
    EXPECT_EQ(moved->error.line, 99);
    EXPECT_EQ(moved->error.site, e2->error.site);
    EXPECT_EQ(moved->error.filename, e2->error.filename);
    EXPECT_EQ(moved->error.func, e2->error.func);
    EXPECT_EQ(moved->error.code, e2->error.code);
    EXPECT_EQ(moved->error.data, e2->error.data);

    collect();
    EXPECT_EQ(A(moved->error.filename), "script.qv");
    EXPECT_EQ(A(e2->error.site), "host1");
}

TEST_F(SexpTest, NodesTakePositionsFromRecordsAndOperands) {
    QV_FILE* f = test_file("in.qv", "", 7);
    QV_SEXP* read = get_sexp(f, QVT_NIL);
    EXPECT_EQ(read->h.file, f);
    EXPECT_EQ(read->h.line, 7);
    EXPECT_EQ(reinterpret_cast<TEST_RECORD*>(f)->sexp, read);

    QV_SEXP* made = get_integer(1, nullptr);
    QV_SEXP* c = cons(made, read);  // a made by code, b read from a file
    EXPECT_EQ(c->h.file, f);
    EXPECT_EQ(c->h.line, 7);
    QV_SEXP* c2 = cons(read, made);
    EXPECT_EQ(c2->h.file, f);
    QV_SEXP* c3 = cons(nullptr, read);
    EXPECT_EQ(c3->h.line, 7);
    QV_SEXP* c4 = cons_inh_2(read, made);
    EXPECT_EQ(c4->h.file, nullptr);
    QV_SEXP* c5 = cons_inh_2(made, read);
    EXPECT_EQ(c5->h.file, f);
    EXPECT_EQ(inherit(made, read), made);
    EXPECT_EQ(made->h.file, f);
    EXPECT_EQ(made->h.line, 7);
    QV_SEXP* inh = get_sexp_inh(nullptr, QVT_PAIR, read);
    EXPECT_EQ(inh->h.line, 7);
}

int64_t gen_value;
QV_SEXP* generate(QV_SEXP* s) {
    // The delay becomes, in place, the largest kind of node.
    set_sexp(nullptr, QVT_FUNC, s);
    s->func.type = FUNC_PRIM;
    s->func.min = static_cast<int8_t>(gen_value);
    return s;
}
void mark_state(DELAY_FUNC* df) {
    gc_mark_block(df);
}

TEST_F(SexpTest, DelayIsRealisedInPlaceIntoAnyKind) {
    auto* df = static_cast<DELAY_FUNC*>(mmalloc(sizeof(DELAY_FUNC), gc_text));
    df->func = generate;
    df->gc_func = mark_state;
    QV_SEXP* d = get_sexp(nullptr, QVT_DELAY);
    d->delay.dtype = DELAY_GENERATOR;
    d->delay.d.func = df;
    test_file(nullptr, nullptr, 0);  // installs the test reader hooks
    collect();                       // the generator state is marked through the delay
    gen_value = 4;
    EXPECT_EQ(sexp_raw_type(d), QVT_DELAY);
    EXPECT_EQ(get_type(d), QVT_FUNC);
    EXPECT_EQ(d->func.min, 4);

    QV_SEXP* big = get_sexp(nullptr, QVT_DELAY);
    over_write_sexp(big, get_error(nullptr, 5, 9, L("f"), nullptr));
    EXPECT_EQ(get_type(big), QVT_ERROR);
    EXPECT_EQ(big->error.line, 5);
    over_write_sexp(big, nullptr);
    EXPECT_EQ(get_type(big), QVT_NIL);
    collect();
    EXPECT_EQ(get_type(big), QVT_NIL);
}

TEST_F(SexpTest, CmpSexpComparesStructure) {
    EXPECT_EQ(cmp_sexp(nullptr, nullptr), 0);
    EXPECT_EQ(cmp_sexp(nullptr, n_get_symbol("a")), -1);
    EXPECT_EQ(cmp_sexp(n_get_symbol("a"), n_get_symbol("a")), 0);
    EXPECT_EQ(cmp_sexp(n_get_symbol("b"), n_get_symbol("a")), -1);
    EXPECT_EQ(cmp_sexp(n_get_string("a"), n_get_string("b")), -1);
    EXPECT_EQ(cmp_sexp(n_get_string("b"), n_get_string("a")), 1);
    EXPECT_EQ(cmp_sexp(n_get_string("a"), n_get_string("a")), 0);
    QV_SEXP* l1 = list(n_get_symbol("a"), list(n_get_string("x"), nullptr), nullptr);
    QV_SEXP* l2 = list(n_get_symbol("a"), list(n_get_string("x"), nullptr), nullptr);
    QV_SEXP* l3 = list(n_get_symbol("a"), list(n_get_string("y"), nullptr), nullptr);
    QV_SEXP* l4 = list(n_get_symbol("a"), list(n_get_string("a"), nullptr), nullptr);
    EXPECT_EQ(cmp_sexp(l1, l2), 0);
    EXPECT_EQ(cmp_sexp(l1, l3), -1);
    EXPECT_EQ(cmp_sexp(l1, l4), -1);  // any difference below the top is -1
    EXPECT_EQ(cmp_sexp(l1, n_get_symbol("a")), -1);
    EXPECT_EQ(cmp_sexp(get_integer(3, L("m")), get_integer(3, L("m"))), 0);
    EXPECT_EQ(cmp_sexp(get_integer(3, L("m")), get_integer(3, nullptr)), 1);
    EXPECT_EQ(cmp_sexp(get_floating(NAN, nullptr), get_floating(NAN, nullptr)), -1);

    // Deep nesting is compared without recursion.
    QV_SEXP* a = nullptr;
    QV_SEXP* b = nullptr;
    for (int i = 0; i < 200000; i++) {
        a = cons(a, nullptr);
        b = cons(b, nullptr);
    }
    EXPECT_EQ(cmp_sexp(a, b), 0);
}

TEST_F(SexpTest, FreeSexpReleasesNodeAndOwnText) {
    QV_SEXP* s = n_get_string("gone");
    L_CHAR* text = s->string.data;
    ASSERT_TRUE(mem_contains(s));
    free_sexp(s);
    EXPECT_FALSE(mem_contains(s));
    EXPECT_FALSE(mem_contains(text));
    free_sexp(nullptr);
}

TEST_F(SexpTest, BrokenInvariantsPanic) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(free_sexp(get_env(new_env(nullptr))), "free_sexp\\(1\\)");
    EXPECT_DEATH(free_sexp(get_sexp(nullptr, QVT_DELAY)), "free_sexp\\(1\\)");
    EXPECT_DEATH(get_sexp_size(12), "get_sexp_size\\(1\\) 12");
    EXPECT_DEATH(
        {
            QV_SEXP* s = get_sexp(nullptr, QVT_NIL);
            s->h.type = 40;
            gc_push(s, gc_vx_sexp, "bad");
            collect();
        },
        "gc_vx_sexp\\(1\\)");
}

}  // namespace
