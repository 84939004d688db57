// The list and relation built-ins where C++ reaches further than a script: raw bytes, lists far
// longer and deeper than any machine stack, the native key comparison against the operator
// table, the root frames the comparisons leave behind, and the bound on a join's output.
#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "builtins/grouping.h"
#include "builtins/lists.h"
#include "builtins/relations.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/units.h"
#include "qv_script.h"
#include "support/stdout_text.h"

namespace {

class RelationsTest : public QvScriptTest {
  protected:
    void SetUp() override {
        QvScriptTest::SetUp();
        init_unit();
    }
    // (r (k v)): a record with the key v.
    static QV_SEXP* rec(QV_SEXP* v) {
        return list(n_get_symbol("r"), list(n_get_symbol("k"), v, nullptr), nullptr);
    }
    static QV_SEXP* from_vector(const std::vector<QV_SEXP*>& v) {
        QV_SEXP* r = nullptr;
        for (size_t i = v.size(); i-- > 0;)
            r = cons(v[i], r);
        return r;
    }
    static int64_t key_of(QV_SEXP* record) { return get_el(get_el(record, 1), 1)->integer.data; }
    static int roots() { return heap_self->stack->count; }
};

// The run merge exactly as described, on linked runs: an oracle for the order of equal elements
// that shares nothing with the implementation.
std::vector<int> described_merge(int n, int (*cmp)(int, int)) {
    std::list<std::list<int>> runs;
    for (int i = 0; i < n; i++)
        runs.push_front({i});
    while (runs.size() > 1) {
        std::list<std::list<int>> next;
        for (auto it = runs.begin(); it != runs.end();) {
            std::list<int> a = *it++;
            if (it == runs.end()) {
                next.push_front(a);
                break;
            }
            std::list<int> b = *it++, m;
            while (!a.empty() && !b.empty()) {
                if (cmp(a.front(), b.front()) < 0) {
                    m.push_back(b.front());
                    b.pop_front();
                } else {
                    m.push_back(a.front());
                    a.pop_front();
                }
            }
            m.splice(m.end(), a);
            m.splice(m.end(), b);
            next.push_front(m);
        }
        runs.swap(next);
    }
    return {runs.front().rbegin(), runs.front().rend()};
}

// The runs of a sort printed as a diagnostic: each run in brackets, its elements in list
// notation, each followed by a comma.
TEST_F(RelationsTest, SortListPrintsEachRun) {
    SORT_ELEMENT b{nullptr, list(n_get_symbol("a"), get_integer(2, nullptr), nullptr)};
    SORT_ELEMENT a{&b, get_integer(1, nullptr)};
    SORT_ELEMENT c{nullptr, n_get_string("x")};
    SORT_LIST second{nullptr, &c};
    SORT_LIST first{&second, &a};
    vxtest::StdoutText out;
    print_sort_list(&first);
    EXPECT_EQ(out.text(), "SL\n\t[1,(a 2),]\n\t[^\"x\",]\n");
}

TEST_F(RelationsTest, CutOutOnRawBytes) {
    bind("r", get_raw("\x00\x01\x02\x03", 4));
    auto bytes = [&](const char* text) {
        QV_SEXP* v = run(text);
        EXPECT_EQ(get_type(v), QVT_RAW) << text;
        if (get_type(v) != QVT_RAW) return std::string("?");
        return std::string(reinterpret_cast<const char*>(v->raw.data), v->raw.size);
    };
    EXPECT_EQ(bytes("(CutOut r 1 3)"), std::string("\x01\x02", 2));
    EXPECT_EQ(bytes("(CutOut r 2)"), std::string("\x02\x03", 2));
    EXPECT_EQ(bytes("(CutOut r 1 4)"), std::string("\x01\x02\x03", 3));
    EXPECT_EQ(bytes("(CutOut r 0 0)"), "");
    EXPECT_EQ(bytes("(CutOut r 4)"), "");
    // Offsets outside the data are refused, never read.
    for (const char* bad : {"(CutOut r 5)", "(CutOut r -1)", "(CutOut r -3 -1)", "(CutOut r 3 1)",
                            "(CutOut r 2147483647)"}) {
        QV_SEXP* v = run(bad);
        ASSERT_EQ(get_type(v), QVT_ERROR) << bad;
        EXPECT_EQ(v->error.code, QVE_INVALID_PARAMETER) << bad;
    }
    EXPECT_EQ(run("(GetSize r)")->integer.data, 4);
    EXPECT_EQ(run("(GetSize (List r \"ab\"))")->integer.data, 6);
    EXPECT_EQ(lookup("r")->raw.size, 4);
}

TEST_F(RelationsTest, OrderOfEqualElementsFollowsTheRunMerge) {
    // Keys 0..4 for 300 records: many ties, whose order only the run merge decides.
    std::vector<QV_SEXP*> recs;
    std::mt19937 rng(7);
    static std::vector<int> keys;
    keys.clear();
    for (int i = 0; i < 300; i++) {
        keys.push_back(static_cast<int>(rng() % 5));
        recs.push_back(list(n_get_symbol("r"),
                            list(n_get_symbol("k"), get_integer(keys[i], nullptr), nullptr),
                            list(n_get_symbol("n"), get_integer(i, nullptr), nullptr), nullptr));
    }
    bind("data", from_vector(recs));
    std::vector<int> want = described_merge(300, [](int a, int b) { return keys[a] - keys[b]; });
    for (const char* text : {"([Sort field=\"k\"] data)",
                             "(Sort data (lambda (a b) (- (car (cdr (car (cdr a)))) "
                             "(car (cdr (car (cdr b)))))))"}) {
        QV_SEXP* r = run(text);
        ASSERT_EQ(list_length(r), 300) << text;
        std::vector<int> got;
        for (QV_SEXP* c = r; c; c = c->pair.cdr)
            got.push_back(static_cast<int>(get_el(get_el(c->pair.car, 2), 1)->integer.data));
        EXPECT_EQ(got, want) << text;
    }
}

TEST_F(RelationsTest, NativeKeyComparisonAgreesWithTheOperatorTable) {
    // Integers, floating values, strings, keys whose head carries attributes (equal under "<"
    // whatever their values), symbols and lists as values, with many ties.
    std::mt19937 rng(11);
    std::vector<QV_SEXP*> recs;
    for (int i = 0; i < 600; i++) {
        QV_SEXP* v;
        switch (rng() % 6) {
            case 0:
                v = get_integer(static_cast<int64_t>(rng() % 7) - 3, nullptr);
                break;
            case 1:
                v = get_floating((static_cast<double>(rng() % 7) - 3) / 2, nullptr);
                break;
            case 2:
                v = n_get_string(std::string(1, static_cast<char>('a' + rng() % 4)).c_str());
                break;
            case 3:
                v = n_get_symbol(rng() % 2 ? "x" : "y");
                break;
            case 4:
                v = list(get_integer(static_cast<int64_t>(rng() % 2), nullptr), nullptr);
                break;
            default: {
                QV_SEXP* k = n_get_symbol("k");
                set_attribute(k, L("a"), L("1"));
                recs.push_back(
                    list(n_get_symbol("r"),
                         list(k, get_integer(static_cast<int64_t>(rng() % 3), nullptr), nullptr),
                         nullptr));
                continue;
            }
        }
        recs.push_back(rec(v));
    }
    bind("data", from_vector(recs));
    QV_SEXP* by_keys = run("([Sort field=\"k\"] data)");
    QV_SEXP* by_table =
        run("(Sort data (lambda (a b) (if (Lt (car (cdr a)) (car (cdr b))) -1 "
            "(if (Lt (car (cdr b)) (car (cdr a))) 1 0))))");
    ASSERT_EQ(list_length(by_keys), 600) << show(by_keys);
    EXPECT_EQ(show(by_keys), show(by_table));
    // A comparison that "<" refuses (unlike units) ends the key sort with its error.
    bind("mixed", list(rec(get_integer(1, L("m"))), rec(get_integer(1, L("s"))), nullptr));
    QV_SEXP* e = run("([Sort field=\"k\"] mixed)");
    ASSERT_EQ(get_type(e), QVT_ERROR);
    EXPECT_EQ(e->error.code, QVE_UNLIKE_DIMENSIONS);
    e = run(
        "([NaturalJoin field=\"k\" sort1=\"off\" sort2=\"off\"] (List (car mixed)) (cdr mixed))");
    ASSERT_EQ(get_type(e), QVT_ERROR);
    EXPECT_EQ(e->error.code, QVE_UNLIKE_DIMENSIONS);
}

TEST_F(RelationsTest, LongAndDeepListsStayOffTheMachineStack) {
    // Tables of 30,000 records; values nested 100,000 deep.
    constexpr int rows = 30000;
    constexpr int n = 100000;
    std::vector<QV_SEXP*> recs;
    for (int i = 0; i < rows; i++)
        recs.push_back(rec(get_integer((i * 7919) % rows, nullptr)));
    bind("data", from_vector(recs));
    QV_SEXP* s = run("([Sort field=\"k\"] data)");
    ASSERT_EQ(list_length(s), rows);
    int64_t expect = 0;
    for (QV_SEXP* c = s; c; c = c->pair.cdr)
        ASSERT_EQ(key_of(c->pair.car), expect++);
    QV_SEXP* j = run("([NaturalJoin field=\"k\"] data (Reverse data))");
    EXPECT_EQ(list_length(j), rows);
    QV_SEXP* p = run("([Projection field=\"k\"] data)");
    EXPECT_EQ(list_length(p), rows);
    EXPECT_EQ(run("(ListLength data)")->integer.data, rows);
    EXPECT_EQ(run("(GetSize data)")->integer.data, int64_t{rows} * 10);

    // A value nested n deep: sized, reversed into nested pairs, and a hierarchy n levels deep.
    QV_SEXP* deep = get_integer(1, nullptr);
    for (int i = 0; i < n; i++)
        deep = cons(deep, nullptr);
    bind("deep", deep);
    EXPECT_EQ(run("(GetSize deep)")->integer.data, 8);
    std::vector<QV_SEXP*> nums;
    for (int i = 0; i < n; i++)
        nums.push_back(get_integer(i, nullptr));
    bind("nums", from_vector(nums));
    QV_SEXP* h = run("(h2v nums)");
    int depth = 0;
    for (; get_type(h) == QVT_PAIR; h = h->pair.car)
        depth++;
    EXPECT_EQ(depth, n - 1);
    EXPECT_EQ(h->integer.data, n - 1);
    // Element i goes one level below element i - 1: (- x_{i-1} x_i) is i for x_i = -i(i+1)/2,
    // and every item (x) ends up as (x (next ...)).
    std::vector<QV_SEXP*> steps;
    for (int64_t i = 0; i < n; i++)
        steps.push_back(get_integer(-i * (i + 1) / 2, nullptr));
    bind("steps", from_vector(steps));
    h = run("(V2H steps - List)");
    ASSERT_EQ(list_length(h), 1);
    QV_SEXP* item = h->pair.car;
    for (int64_t i = 0; i < n; i++) {
        ASSERT_EQ(get_type(item), QVT_PAIR) << i;
        ASSERT_EQ(item->pair.car->integer.data, -i * (i + 1) / 2);
        item = get_el(item, 1);
    }
    EXPECT_EQ(item, nullptr);
    EXPECT_EQ(run("(CutOut nums 99998)")->pair.car->integer.data, 99998);
}

TEST_F(RelationsTest, ComparisonsLeaveOnlyTheResultInTheCallersFrame) {
    std::vector<QV_SEXP*> recs;
    for (int i = 0; i < 2000; i++)
        recs.push_back(rec(get_integer(i % 13, nullptr)));
    QV_SEXP* data = from_vector(recs);
    QV_SEXP* f = run("(lambda (a b) (- (car (cdr (car (cdr a)))) (car (cdr (car (cdr b))))))");
    bind("data", data);
    int before = roots();
    QV_SEXP* s = sort_list(env_, data, f);
    EXPECT_EQ(list_length(s), 2000);
    EXPECT_LE(roots() - before, 1);

    // Categorize and V2H place the elements in their calls unquoted: numbers stay themselves.
    std::vector<QV_SEXP*> nums;
    for (int i = 0; i < 2000; i++)
        nums.push_back(get_integer(i / 200, nullptr));
    QV_SEXP* numbers = from_vector(nums);
    QV_SEXP* eq = run("(lambda (a b) (if (= a b) 1 0))");
    QV_SEXP* form = list(n_get_symbol("Categorize"), numbers, eq, nullptr);
    before = roots();
    QV_SEXP* g = qv_Categorize(env_, form, nullptr, nullptr, nullptr);
    EXPECT_EQ(list_length(g), 10);
    EXPECT_LE(roots() - before, 1);

    QV_SEXP* zero = run("(lambda (a b) 0)");
    form = list(n_get_symbol("V2H"), numbers, zero, nullptr);
    before = roots();
    QV_SEXP* v = qv_V2H(env_, form, nullptr, nullptr, nullptr);
    EXPECT_EQ(list_length(v), 2000);
    EXPECT_LE(roots() - before, 1);
}

TEST_F(RelationsTest, JoinOutputIsBounded) {
    std::vector<QV_SEXP*> recs;
    for (int i = 0; i < 50; i++)
        recs.push_back(rec(get_integer(1, nullptr)));
    bind("same", from_vector(recs));
    int64_t saved = set_join_cell_limit(1000);
    QV_SEXP* r = run("([NaturalJoin field=\"k\"] same same)");
    set_join_cell_limit(saved);
    ASSERT_EQ(get_type(r), QVT_ERROR);
    EXPECT_EQ(r->error.code, QVE_NO_MEMORY);
    // Within the limit the same join gives every pair.
    EXPECT_EQ(list_length(run("([NaturalJoin field=\"k\"] same same)")), 2500);
}

TEST_F(RelationsTest, KeyComparisonOfRecords) {
    QV_SEXP* fields = list(n_get_symbol("k"), n_get_symbol("j"), nullptr);
    QV_SEXP* a = run("(quote (r (k 1) (j 2)))");
    QV_SEXP* b = run("(quote (r (j 1) (k 1)))");
    EXPECT_EQ(njoin_cmp_field_list(env_, fields, a, b)->integer.data, 1);
    EXPECT_EQ(njoin_cmp_field_list(env_, fields, b, a)->integer.data, -1);
    EXPECT_EQ(njoin_cmp_field_list(env_, fields, a, a)->integer.data, 0);
    EXPECT_EQ(njoin_cmp_field_list(env_, nullptr, a, b)->integer.data, 0);
    // A record without the field sorts first; one that is not a list is an error.
    EXPECT_EQ(njoin_cmp_field_list(env_, fields, run("(quote (r))"), a)->integer.data, -1);
    EXPECT_EQ(get_type(njoin_cmp_field_list(env_, fields, get_integer(3, nullptr), a)), QVT_ERROR);
    EXPECT_EQ(record_field(run("(quote (r (a 1) (k 2) (k 3)))"), n_get_symbol("k"))
                  ->pair.cdr->pair.car->integer.data,
              2);
    EXPECT_EQ(record_field(nullptr, n_get_symbol("k")), nullptr);
    EXPECT_EQ(get_sort_option(nullptr), 3);
    EXPECT_EQ(show(make_record(run("(quote (a (k 1)))"), run("(quote (b (k 1) (v 2)))"), fields)),
              "(a (k 1) (v 2))");
}

}  // namespace
