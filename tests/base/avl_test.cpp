#include "base/avl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "support/child.h"

namespace {

// Keys are small positive integers carried in the data pointer.
void* key(intptr_t k) {
    return reinterpret_cast<void*>(k);
}
intptr_t key_of(const AVT_NODE* n) {
    return reinterpret_cast<intptr_t>(n->data);
}

int int_cmp(void* node_data, void* k) {
    intptr_t a = reinterpret_cast<intptr_t>(node_data);
    intptr_t b = reinterpret_cast<intptr_t>(k);
    return a == b ? 0 : (a > b ? 1 : -1);
}

int bound_cmp(void* node_data, void* bound, void* cw) {
    ++*static_cast<int*>(cw);
    return int_cmp(node_data, bound);
}

int collect(AVT_NODE* n, void* work) {
    static_cast<std::vector<intptr_t>*>(work)->push_back(key_of(n));
    return 0;
}

std::vector<intptr_t> ascending(AVT_NODE* root) {
    std::vector<intptr_t> v;
    EXPECT_EQ(avt_trace_from_small(root, collect, &v), 0);
    return v;
}

bool panicked_with(const ChildResult& r, const std::string& text) {
    return !r.timed_out && r.exit_status == 1 &&
           r.err.find("\n************\n" + text + " (") != std::string::npos;
}

}  // namespace

TEST(Avl, EmptyTreesAndEqualKeys) {
    AVT_NODE* root = nullptr;
    int calls = 0;
    EXPECT_EQ(avt_delete(&root, key(1), int_cmp), nullptr);
    EXPECT_EQ(avt_search(root, key(1), int_cmp), nullptr);
    auto count = [](AVT_NODE*, void* w) { return ++*static_cast<int*>(w), 0; };
    EXPECT_EQ(avt_trace_from_small(root, count, &calls), 0);
    EXPECT_EQ(avt_trace_from_large(root, count, &calls), 0);
    EXPECT_EQ(calls, 0);

    AVT_NODE a{0, nullptr, nullptr, key(5)}, b{0, nullptr, nullptr, key(3)};
    AVT_NODE dup{0, nullptr, nullptr, key(5)};
    EXPECT_EQ(avt_insert(&root, &a, int_cmp), &a);
    EXPECT_EQ(avt_insert(&root, &b, int_cmp), &b);
    EXPECT_EQ(avt_insert(&root, &dup, int_cmp), &a);
    EXPECT_EQ(ascending(root), (std::vector<intptr_t>{3, 5}));
    EXPECT_EQ(avt_search(root, key(5), int_cmp), &a);
    EXPECT_EQ(avt_delete(&root, key(4), int_cmp), nullptr);
    EXPECT_EQ(avt_delete(&root, key(5), int_cmp), &a);
    EXPECT_EQ(ascending(root), (std::vector<intptr_t>{3}));
    avt_test(root, int_cmp);
}

TEST(Avl, RandomInsertionsAndDeletionsKeepOrderAndBalance) {
    constexpr int N = 3000;
    std::vector<AVT_NODE> nodes(N + 1);
    std::set<intptr_t> model;
    AVT_NODE* root = nullptr;
    std::mt19937 rng(12345);
    for (int step = 0; step < 20000; step++) {
        intptr_t k = 1 + static_cast<intptr_t>(rng() % N);
        if (rng() % 3 != 0) {
            if (model.count(k)) {
                AVT_NODE spare{0, nullptr, nullptr, key(k)};
                ASSERT_EQ(avt_insert(&root, &spare, int_cmp), &nodes[k]);
            } else {
                nodes[k].data = key(k);
                ASSERT_EQ(avt_insert(&root, &nodes[k], int_cmp), &nodes[k]);
                model.insert(k);
            }
        } else {
            AVT_NODE* got = avt_delete(&root, key(k), int_cmp);
            EXPECT_EQ(got != nullptr, model.erase(k) == 1);
            if (got) {
                EXPECT_EQ(key_of(got), k);
            }
        }
        if (step % 500 == 0) avt_test(root, int_cmp);
    }
    avt_test(root, int_cmp);
    EXPECT_EQ(ascending(root), std::vector<intptr_t>(model.begin(), model.end()));
    std::vector<intptr_t> down;
    avt_trace_from_large(root, collect, &down);
    EXPECT_EQ(down, std::vector<intptr_t>(model.rbegin(), model.rend()));
    // A balanced tree: the height bound of an AVL tree.
    double bound = 1.4405 * std::log2(static_cast<double>(model.size()) + 2);
    EXPECT_LE(root->level, bound);
    for (intptr_t k : model)
        ASSERT_EQ(key_of(avt_search(root, key(k), int_cmp)), k);

    // Sorted insertion and deletion from one side keep the height logarithmic too.
    root = nullptr;
    for (int k = 1; k <= N; k++) {
        nodes[k].data = key(k);
        avt_insert(&root, &nodes[k], int_cmp);
    }
    for (int k = 1; k <= N - 100; k++)
        avt_delete(&root, key(k), int_cmp);
    avt_test(root, int_cmp);
    EXPECT_LE(root->level, 1.4405 * std::log2(102.0));
}

TEST(Avl, WalksStopAtANonZeroResult) {
    std::vector<AVT_NODE> nodes(10);
    AVT_NODE* root = nullptr;
    for (int k = 0; k < 10; k++) {
        nodes[k].data = key(k + 1);
        avt_insert(&root, &nodes[k], int_cmp);
    }
    auto stop_at_4 = [](AVT_NODE* n, void* w) {
        static_cast<std::vector<intptr_t>*>(w)->push_back(key_of(n));
        return key_of(n) == 4 ? 77 : 0;
    };
    std::vector<intptr_t> seen;
    EXPECT_EQ(avt_trace_from_small(root, stop_at_4, &seen), 77);
    EXPECT_EQ(seen, (std::vector<intptr_t>{1, 2, 3, 4}));
    seen.clear();
    EXPECT_EQ(avt_trace_from_large(root, stop_at_4, &seen), 77);
    EXPECT_EQ(seen, (std::vector<intptr_t>{10, 9, 8, 7, 6, 5, 4}));
}

TEST(Avl, RangeSearchHonoursBoundsAndLimit) {
    std::vector<AVT_NODE> nodes(20);
    AVT_NODE* root = nullptr;
    for (int k = 0; k < 20; k++) {
        nodes[k].data = key(10 * (k + 1));  // 10, 20, ..., 200
        avt_insert(&root, &nodes[k], int_cmp);
    }
    auto keys_of = [](AVT_BOUND_LIST* l) {
        std::vector<intptr_t> v;
        while (l) {
            v.push_back(key_of(l->node));
            AVT_BOUND_LIST* next = l->next;
            d_f_ree(l);
            l = next;
        }
        return v;
    };
    int calls = 0;
    int err = 0;
    EXPECT_EQ(keys_of(avt_bound_search(&err, root, key(30), key(70), -1, bound_cmp, &calls)),
              (std::vector<intptr_t>{30, 40, 50, 60, 70}));
    EXPECT_EQ(err, 0);
    EXPECT_GT(calls, 0);
    EXPECT_EQ(keys_of(avt_bound_search(&err, root, key(25), key(75), 3, bound_cmp, &calls)),
              (std::vector<intptr_t>{30, 40, 50}));
    EXPECT_EQ(err, -4);
    err = 0;
    EXPECT_EQ(keys_of(avt_bound_search(&err, root, key(25), key(55), 3, bound_cmp, &calls)),
              (std::vector<intptr_t>{30, 40, 50}));
    EXPECT_EQ(err, 0);
    EXPECT_EQ(avt_bound_search(nullptr, root, key(201), key(300), -1, bound_cmp, &calls), nullptr);
    EXPECT_EQ(avt_bound_search(nullptr, nullptr, key(1), key(300), -1, bound_cmp, &calls), nullptr);
}

TEST(Avl, BrokenTreesAndComparisonsEndInThePanic) {
    EXPECT_TRUE(panicked_with(run_in_child([] {
                                  AVT_NODE leaf{1, nullptr, nullptr, key(1)};
                                  AVT_NODE top{3, &leaf, nullptr, key(2)};
                                  avt_test(&top, int_cmp);
                              }),
                              "avt error 4"));
    EXPECT_TRUE(panicked_with(run_in_child([] {
                                  AVT_NODE leaf{1, nullptr, nullptr, key(5)};
                                  AVT_NODE top{2, &leaf, nullptr, key(2)};
                                  avt_test(&top, int_cmp);
                              }),
                              "avt error 1"));
    EXPECT_TRUE(panicked_with(run_in_child([] {
                                  AVT_NODE* root = nullptr;
                                  AVT_NODE n{0, nullptr, nullptr, nullptr};
                                  avt_insert(&root, &n, int_cmp);
                              }),
                              "avt_insert(1)"));
    EXPECT_TRUE(panicked_with(run_in_child([] {
                                  AVT_NODE n{1, nullptr, nullptr, key(1)};
                                  avt_search(&n, key(2), [](void*, void*) { return 2; });
                              }),
                              "avt_search(1)"));
}
