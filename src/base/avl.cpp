// The in-memory AVL tree. Insertion and deletion rebalance every position on the changed path
// (single or double rotations), so the height stays logarithmic and the recursion shallow
// whatever the order of operations.
#include "base/avl.h"

#include "base/alloc.h"
#include "base/panic.h"

namespace {

int level_of(const AVT_NODE* n) {
    return n ? n->level : 0;
}

// The large child becomes the root of the position; the old root becomes its small child and
// takes over its former small subtree.
void rotate_toward_small(AVT_NODE** p) {
    AVT_NODE* a = *p;
    AVT_NODE* b = a->large;
    a->large = b->small;
    b->small = a;
    set_level(a);
    set_level(b);
    *p = b;
}

// The mirror of rotate_toward_small.
void rotate_toward_large(AVT_NODE** p) {
    AVT_NODE* a = *p;
    AVT_NODE* b = a->small;
    a->small = b->large;
    b->large = a;
    set_level(a);
    set_level(b);
    *p = b;
}

AVT_NODE* insert_at(AVT_NODE** p, AVT_NODE* a, AVT_CMP cmp) {
    AVT_NODE* n = *p;
    if (!n) {
        a->level = 1;
        a->small = nullptr;
        a->large = nullptr;
        *p = a;
        return a;
    }
    AVT_NODE* r;
    switch (cmp(n->data, a->data)) {
        case 0:
            return n;
        case 1:
            r = insert_at(&n->small, a, cmp);
            break;
        case -1:
            r = insert_at(&n->large, a, cmp);
            break;
        default:
            er_panic("avt_insert(2)");
    }
    if (r == a) avt_valance(p);
    return r;
}

// Unlinks the smallest node below *p, rebalancing the path back up.
AVT_NODE* take_smallest(AVT_NODE** p) {
    AVT_NODE* n = *p;
    if (n->small) {
        AVT_NODE* r = take_smallest(&n->small);
        avt_valance(p);
        return r;
    }
    *p = n->large;
    return n;
}

AVT_NODE* take_largest(AVT_NODE** p) {
    AVT_NODE* n = *p;
    if (n->large) {
        AVT_NODE* r = take_largest(&n->large);
        avt_valance(p);
        return r;
    }
    *p = n->small;
    return n;
}

AVT_NODE* delete_at(AVT_NODE** p, void* data, AVT_CMP cmp) {
    AVT_NODE* n = *p;
    if (!n) return nullptr;
    AVT_NODE* r;
    switch (cmp(n->data, data)) {
        case 0:
            break;
        case 1:
            r = delete_at(&n->small, data, cmp);
            if (r) avt_valance(p);
            return r;
        case -1:
            r = delete_at(&n->large, data, cmp);
            if (r) avt_valance(p);
            return r;
        default:
            er_panic("avt_delete(!)");
    }
    if (n->small && n->large) {
        AVT_NODE* rep = level_of(n->small) < level_of(n->large) ? take_smallest(&n->large)
                                                                : take_largest(&n->small);
        rep->small = n->small;
        rep->large = n->large;
        *p = rep;
    } else {
        *p = n->small ? n->small : n->large;
    }
    if (*p) avt_valance(p);
    n->small = nullptr;
    n->large = nullptr;
    n->level = 1;
    return n;
}

int trace_small(AVT_NODE* a, AVT_TRACE_FUNC func, void* work) {
    if (!a) return 0;
    if (int r = trace_small(a->small, func, work)) return r;
    if (int r = func(a, work)) return r;
    return trace_small(a->large, func, work);
}

int trace_large(AVT_NODE* a, AVT_TRACE_FUNC func, void* work) {
    if (!a) return 0;
    if (int r = trace_large(a->large, func, work)) return r;
    if (int r = func(a, work)) return r;
    return trace_large(a->small, func, work);
}

int bound_cmp(BOUND_SEARCH_WORK* w, AVT_NODE* n, void* bound) {
    int c = w->cmp(n->data, bound, w->cmp_work);
    if (c < -1 || c > 1) er_panic("avt_bound_search");
    return c;
}

// Returns 1 when the limit stopped the search.
int bound_walk(BOUND_SEARCH_WORK* w, AVT_NODE* n) {
    if (!n) return 0;
    int to_max = bound_cmp(w, n, w->data_max);  // 1: the node lies above data_max
    int to_min = bound_cmp(w, n, w->data_min);  // -1: the node lies below data_min
    if (to_min == 1 && bound_walk(w, n->small)) return 1;
    if (to_min != -1 && to_max != 1) {
        if (w->limit >= 0 && w->count >= w->limit) return 1;
        auto* e = static_cast<AVT_BOUND_LIST*>(d_alloc(sizeof(AVT_BOUND_LIST)));
        e->next = nullptr;
        e->node = n;
        if (w->tail)
            w->tail->next = e;
        else
            w->head = e;
        w->tail = e;
        w->count++;
    }
    if (to_max == -1) return bound_walk(w, n->large);
    return 0;
}

void test_walk(AVT_NODE* a, AVT_TEST* t) {
    if (!a) return;
    test_walk(a->small, t);
    if (t->data && t->cmp(a->data, t->data) == -1) er_panic("avt error 1");
    int ls = level_of(a->small);
    int ll = level_of(a->large);
    if (a->level <= ll) er_panic("avt error 2");
    if (a->level <= ls) er_panic("avt error 3");
    if (a->level != ls + 1 && a->level != ll + 1) er_panic("avt error 4");
    t->data = a->data;
    test_walk(a->large, t);
}

}  // namespace

void set_level(AVT_NODE* avt) {
    int s = level_of(avt->small);
    int l = level_of(avt->large);
    avt->level = 1 + (s > l ? s : l);
}

void avt_valance(AVT_NODE** avtp) {
    AVT_NODE* a = *avtp;
    if (!a) return;
    int s = level_of(a->small);
    int l = level_of(a->large);
    if (l > s + 1) {
        // A large child leaning to its small side is first turned, so that one rotation at this
        // position restores the balance.
        if (level_of(a->large->small) > level_of(a->large->large)) rotate_toward_large(&a->large);
        rotate_toward_small(avtp);
    } else if (s > l + 1) {
        if (level_of(a->small->large) > level_of(a->small->small)) rotate_toward_small(&a->small);
        rotate_toward_large(avtp);
    } else {
        set_level(a);
    }
}

AVT_NODE* avt_insert(AVT_NODE** avtp, AVT_NODE* a, AVT_CMP cmp) {
    // Checked before the walk, so that the comparison never sees a null key.
    if (!a->data) er_panic("avt_insert(1)");
    return insert_at(avtp, a, cmp);
}

AVT_NODE* avt_search(AVT_NODE* a, void* data, AVT_CMP cmp) {
    while (a) {
        switch (cmp(a->data, data)) {
            case 0:
                return a;
            case 1:
                a = a->small;
                break;
            case -1:
                a = a->large;
                break;
            default:
                er_panic("avt_search(1)");
        }
    }
    return nullptr;
}

AVT_NODE* avt_delete(AVT_NODE** avtp, void* data, AVT_CMP cmp) {
    return delete_at(avtp, data, cmp);
}

int avt_trace_from_small(AVT_NODE* a, AVT_TRACE_FUNC func, void* work) {
    return trace_small(a, func, work);
}

int avt_trace_from_large(AVT_NODE* a, AVT_TRACE_FUNC func, void* work) {
    return trace_large(a, func, work);
}

AVT_BOUND_LIST* avt_bound_search(int* errp, AVT_NODE* start, void* data_min, void* data_max,
                                 int limit, AVT_BOUND_CMP cmp, void* cw) {
    BOUND_SEARCH_WORK w{data_min, data_max, cmp, nullptr, nullptr, cw, limit, 0};
    if (bound_walk(&w, start) && errp) *errp = -4;
    return w.head;
}

void avt_test(AVT_NODE* a, AVT_CMP cmp) {
    AVT_TEST t{nullptr, cmp};
    test_walk(a, &t);
}
