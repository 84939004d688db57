// The activity messages as a language list, and the built-in that answers them.
#include "lisp/activity_list.h"

#include <unistd.h>

#include "base/activity.h"
#include "base/task.h"
#include "lisp/env.h"
#include "lisp/list.h"
#include "lisp_util.h"

namespace {

class ActivityListTest : public LispTest {};

int64_t int_at(QV_SEXP* l, int i) {
    QV_SEXP* e = get_el(l, i);
    return get_type(e) == QVT_INTEGER ? e->integer.data : -999;
}

// The (task type pos) element of task tid, or null.
QV_SEXP* task_entry(QV_SEXP* l, TKEY tid) {
    for (int i = 1; i < list_length(l); i++)
        if (int_at(get_el(l, i), 0) == tid) return get_el(l, i);
    return nullptr;
}

TEST_F(ActivityListTest, ListsDescriptorsThenTheTasksRecords) {
    set_cpu_thr_type(5);
    set_cpu_msg(9);
    QV_SEXP* l = gv_cpu();
    ASSERT_EQ(get_type(l), QVT_PAIR);
    QV_SEXP* fd = get_el(l, 0);
    ASSERT_EQ(list_length(fd), 2);
    EXPECT_EQ(A(get_el(fd, 0)->symbol.data), "fd");
    int64_t n = int_at(fd, 1);
    EXPECT_GE(n, 3);
    QV_SEXP* me = task_entry(l, get_tid());
    ASSERT_NE(me, nullptr);
    EXPECT_EQ(list_length(me), 3);
    EXPECT_EQ(int_at(me, 1), 5);
    EXPECT_EQ(int_at(me, 2), 9);

    // Two more descriptors are counted.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    QV_SEXP* l2 = gv_cpu();
    EXPECT_EQ(int_at(get_el(l2, 0), 1), n + 2);
    close(p[0]);
    close(p[1]);
}

TEST_F(ActivityListTest, BuiltInTakesNoArguments) {
    QVISP_ENV* env = new_env(nullptr);
    init_gv_cpu(env);
    QV_SEXP* f = get_env_symbol(env, L("gv-cpu"), -1);
    ASSERT_EQ(get_type(f), QVT_FUNC);
    EXPECT_EQ(f->func.type, FUNC_PRIM);
    EXPECT_EQ(f->func.min, 1);
    EXPECT_EQ(f->func.max, 1);
    set_cpu_msg(3);
    QV_SEXP* form = list(n_get_symbol("gv-cpu"), nullptr);
    QV_SEXP* r = f->func.prim(env, form, nullptr, nullptr, nullptr);
    QV_SEXP* me = task_entry(r, get_tid());
    ASSERT_NE(me, nullptr);
    EXPECT_EQ(int_at(me, 2), 3);
}

}  // namespace
