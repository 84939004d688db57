// Regular expressions: pattern text to syntax tree, tree to nondeterministic automaton, subset
// construction to the deterministic automaton, and the matcher.
//
// Guards against hostile patterns: group nesting is limited (the builders recurse once per
// level; concatenations and alternatives are walked in loops), repeated operators collapse into
// one node ('a**' is 'a*'), and the subset construction stops with "no automaton" when the
// result would pass A_MAX_STATES states or its work budget, instead of growing without bound.
#include "longchar/regex.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <unordered_map>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"

namespace {

constexpr int MAX_GROUP_DEPTH = 200;
// Closure entries and moves the subset construction may visit in all.
constexpr int64_t DFA_WORK_BUDGET = int64_t{1} << 22;

// ---------------------------------------------------------------------------------------------
// Syntax tree.

a_tree* new_char(L_CHAR from, L_CHAR to) {
    a_tree* t = static_cast<a_tree*>(d_alloc(sizeof(a_tree)));
    t->c = AT_CHAR{AT_CHAR_TYPE, from, to};
    return t;
}

a_tree* new_pair(int type, a_tree* a, a_tree* b) {
    a_tree* t = static_cast<a_tree*>(d_alloc(sizeof(a_tree)));
    t->o = AT_OR{type, a, b};
    return t;
}

bool is_repeat(const a_tree* t) {
    return t->type == AT_STAR_TYPE || t->type == AT_PLUS_TYPE || t->type == AT_OPT_TYPE;
}

// Applies '*', '+' or '?' to x. A repeat of a repeat is one node: the same operator twice is the
// operator, any two different ones are a star.
a_tree* new_repeat(int type, a_tree* x) {
    if (is_repeat(x)) {
        if (x->type != type) x->type = AT_STAR_TYPE;
        return x;
    }
    a_tree* t = static_cast<a_tree*>(d_alloc(sizeof(a_tree)));
    t->s = AT_STAR{type, x};
    return t;
}

// Builds a right-nested chain a1 op (a2 op (...)) from a non-empty list.
a_tree* chain(int type, const std::vector<a_tree*>& v) {
    a_tree* t = v.back();
    for (size_t i = v.size() - 1; i-- > 0;)
        t = new_pair(type, v[i], t);
    return t;
}

void free_list(std::vector<a_tree*>& v) {
    for (a_tree* t : v)
        free_a_tree(t);
    v.clear();
}

// The position of the bracket that closes the one at i, or -1. Brackets of the same kind nest;
// a backslash keeps the next character from opening or closing.
int find_close(const L_CHAR* s, int i, int e, L_CHAR open, L_CHAR close) {
    int depth = 0;
    for (int k = i; k < e; k++) {
        if (s[k] == '\\') {
            k++;
            continue;
        }
        if (s[k] == open) {
            depth++;
        } else if (s[k] == close) {
            if (--depth == 0) return k;
        }
    }
    return -1;
}

// The items of a class between b and e: single characters and ranges "x-y".
a_tree* parse_class(const L_CHAR* s, int b, int e) {
    if (b >= e) return nullptr;
    std::vector<a_tree*> items;
    for (int k = b; k < e;) {
        L_CHAR c = s[k];
        if (k + 1 < e && s[k + 1] == '-') {
            if (k + 2 >= e || c > s[k + 2]) {  // a lone '-' at the end, or a reversed range
                free_list(items);
                return nullptr;
            }
            items.push_back(new_char(c, s[k + 2]));
            k += 3;
        } else {
            items.push_back(new_char(c, c));
            k++;
        }
    }
    return chain(AT_OR_TYPE, items);
}

a_tree* parse_alternatives(const L_CHAR* s, int b, int e, int depth);

// One alternative: elements up to a '|' at this level or e. *stop receives where it ended.
// Null when the alternative is empty or invalid (*bad set for invalid).
a_tree* parse_sequence(const L_CHAR* s, int b, int e, int depth, int* stop, bool* bad) {
    std::vector<a_tree*> elems;
    int i = b;
    while (i < e) {
        L_CHAR c = s[i];
        a_tree* elem = nullptr;
        if (c == '|') break;
        if (c == '.') {
            elem = new_pair(AT_OR_TYPE, new_char(32, 0x7FFFFFFF),
                            new_pair(AT_OR_TYPE, new_char(0x80000000, 0xDFFEFFFF),
                                     new_char(0xE0000000, 0xFFFFFFFF)));
            i++;
        } else if (c == '[') {
            int j = find_close(s, i, e, '[', ']');
            if (j >= 0) elem = parse_class(s, i + 1, j);
            i = j + 1;
        } else if (c == '(') {
            int j = find_close(s, i, e, '(', ')');
            if (j > i + 1 && depth < MAX_GROUP_DEPTH)
                elem = parse_alternatives(s, i + 1, j, depth + 1);
            i = j + 1;
        } else if (c == '\\') {
            if (i + 1 < e) {
                L_CHAR q = s[i + 1];
                if (q == 'n') q = '\n';
                if (q == 'r') q = '\r';
                if (q == 't') q = '\t';
                elem = new_char(q, q);
            }
            i += 2;
        } else if ((c == '*' || c == '+' || c == '?') && !elems.empty()) {
            int type = c == '*' ? AT_STAR_TYPE : c == '+' ? AT_PLUS_TYPE : AT_OPT_TYPE;
            elems.back() = new_repeat(type, elems.back());
            i++;
            continue;
        } else {
            elem = new_char(c, c);
            i++;
        }
        if (!elem) {
            free_list(elems);
            *bad = true;
            return nullptr;
        }
        elems.push_back(elem);
    }
    *stop = i;
    if (elems.empty()) return nullptr;
    return chain(AT_AND_TYPE, elems);
}

// A whole (sub)pattern: alternatives split at '|', grouped from the right.
a_tree* parse_alternatives(const L_CHAR* s, int b, int e, int depth) {
    std::vector<a_tree*> alts;
    for (;;) {
        int stop = e;
        bool bad = false;
        a_tree* t = parse_sequence(s, b, e, depth, &stop, &bad);
        // An empty alternative means a '|' at the first or last position, or an empty pattern.
        if (!t) {
            free_list(alts);
            return nullptr;
        }
        alts.push_back(t);
        if (stop >= e) break;
        b = stop + 1;  // past the '|'
        if (b >= e) {
            free_list(alts);
            return nullptr;
        }
    }
    return chain(AT_OR_TYPE, alts);
}

// ---------------------------------------------------------------------------------------------
// Nondeterministic automaton: states are indices; the final state of the whole is `final`.

struct NMove {
    uint32_t from;
    uint32_t to;
    int target;
};

struct Nfa {
    std::vector<std::vector<int>> eps;
    std::vector<std::vector<NMove>> moves;
    int add() {
        eps.emplace_back();
        moves.emplace_back();
        return static_cast<int>(eps.size()) - 1;
    }
};

struct Frag {
    int start;
    int end;
};

Frag make_nfa(Nfa& n, const a_tree* t) {
    switch (t->type) {
        case AT_CHAR_TYPE: {
            Frag f{n.add(), n.add()};
            n.moves[f.start].push_back(NMove{t->c.from, t->c.to, f.end});
            return f;
        }
        case AT_STAR_TYPE:
        case AT_PLUS_TYPE:
        case AT_OPT_TYPE: {
            // Fresh initial and final states keep the loop and the skip of this repeat apart
            // from those of the target.
            Frag in = make_nfa(n, t->s.target);
            Frag f{n.add(), n.add()};
            n.eps[f.start].push_back(in.start);
            n.eps[in.end].push_back(f.end);
            if (t->type != AT_OPT_TYPE) n.eps[in.end].push_back(in.start);
            if (t->type != AT_PLUS_TYPE) n.eps[f.start].push_back(f.end);
            return f;
        }
        case AT_AND_TYPE: {
            Frag f = make_nfa(n, t->o.a);
            const a_tree* rest = t->o.b;
            for (;;) {
                const a_tree* part = rest->type == AT_AND_TYPE ? rest->o.a : rest;
                Frag g = make_nfa(n, part);
                n.eps[f.end].push_back(g.start);
                f.end = g.end;
                if (rest->type != AT_AND_TYPE) return f;
                rest = rest->o.b;
            }
        }
        case AT_OR_TYPE: {
            Frag f{n.add(), n.add()};
            const a_tree* rest = t;
            for (;;) {
                const a_tree* part = rest->type == AT_OR_TYPE ? rest->o.a : rest;
                Frag g = make_nfa(n, part);
                n.eps[f.start].push_back(g.start);
                n.eps[g.end].push_back(f.end);
                if (rest->type != AT_OR_TYPE) return f;
                rest = rest->o.b;
            }
        }
        default:
            er_panic("make_automaton(1)");
    }
}

// ---------------------------------------------------------------------------------------------
// Subset construction.

struct SetHash {
    size_t operator()(const std::vector<int>& v) const {
        uint64_t h = 1469598103934665603ull;
        for (int x : v)
            h = (h ^ static_cast<uint32_t>(x)) * 1099511628211ull;
        return static_cast<size_t>(h);
    }
};

struct DMove {
    uint32_t from;
    uint32_t to;
    int target;
};

struct Event {
    uint64_t pos;
    int delta;
    int target;
};

class SubsetBuilder {
  public:
    explicit SubsetBuilder(const Nfa& n) : n_(n), mark_(n.eps.size(), 0), count_(n.eps.size(), 0) {}

    // Builds every state from the closure of `start`; false when a limit was reached.
    bool build(int start) {
        std::vector<int> seed{start};
        if (state_of(closure(seed)) < 0) return false;
        for (size_t d = 0; d < sets_.size(); d++) {
            if (!expand(d)) return false;
        }
        return true;
    }

    std::vector<std::vector<int>> sets_;
    std::vector<std::vector<DMove>> moves_;

  private:
    std::vector<int> closure(const std::vector<int>& seeds) {
        stamp_++;
        std::vector<int> out;
        std::vector<int> stack;
        for (int s : seeds) {
            if (mark_[s] != stamp_) {
                mark_[s] = stamp_;
                stack.push_back(s);
            }
        }
        while (!stack.empty()) {
            int s = stack.back();
            stack.pop_back();
            out.push_back(s);
            for (int t : n_.eps[s]) {
                if (mark_[t] != stamp_) {
                    mark_[t] = stamp_;
                    stack.push_back(t);
                }
            }
        }
        std::sort(out.begin(), out.end());
        work_ += static_cast<int64_t>(out.size());
        return out;
    }

    // The state standing for `set`, made when new; -1 past a limit.
    int state_of(std::vector<int>&& set) {
        auto it = index_.find(set);
        if (it != index_.end()) return it->second;
        if (static_cast<int>(sets_.size()) >= A_MAX_STATES || work_ > DFA_WORK_BUDGET) return -1;
        int id = static_cast<int>(sets_.size());
        index_.emplace(set, id);
        sets_.push_back(std::move(set));
        moves_.emplace_back();
        return id;
    }

    // Moves of state d: the ranges where the reachable set is constant, each to the state of its
    // closure; neighbouring ranges that lead to the same state become one move.
    bool expand(size_t d) {
        std::vector<Event> ev;
        for (int s : sets_[d]) {
            for (const NMove& m : n_.moves[s]) {
                ev.push_back(Event{m.from, +1, m.target});
                ev.push_back(Event{uint64_t{m.to} + 1, -1, m.target});
            }
        }
        work_ += static_cast<int64_t>(ev.size());
        std::sort(ev.begin(), ev.end(),
                  [](const Event& a, const Event& b) { return a.pos < b.pos; });
        std::vector<int> active;
        std::vector<DMove> out;
        for (size_t i = 0; i < ev.size();) {
            uint64_t pos = ev[i].pos;
            for (; i < ev.size() && ev[i].pos == pos; i++) {
                int t = ev[i].target;
                if (ev[i].delta > 0 && count_[t]++ == 0) active.push_back(t);
                if (ev[i].delta < 0) count_[t]--;
            }
            std::erase_if(active, [this](int t) { return count_[t] == 0; });
            if (active.empty() || i == ev.size()) continue;
            int target = state_of(closure(active));
            if (target < 0) return false;
            uint32_t from = static_cast<uint32_t>(pos);
            uint32_t to = static_cast<uint32_t>(ev[i].pos - 1);
            if (!out.empty() && out.back().target == target && uint64_t{out.back().to} + 1 == from)
                out.back().to = to;
            else
                out.push_back(DMove{from, to, target});
        }
        moves_[d] = std::move(out);
        return true;
    }

    const Nfa& n_;
    std::vector<uint32_t> mark_;
    std::vector<int> count_;
    uint32_t stamp_ = 0;
    int64_t work_ = 0;
    std::unordered_map<std::vector<int>, int, SetHash> index_;
};

AUTOMATON* compile(const a_tree* tree) {
    Nfa n;
    Frag whole = make_nfa(n, tree);
    SubsetBuilder b(n);
    if (!b.build(whole.start)) return nullptr;

    size_t count = b.sets_.size();
    std::vector<A_STATE*> st(count);
    for (size_t i = 0; i < count; i++) {
        st[i] = static_cast<A_STATE*>(d_calloc(sizeof(A_STATE), 1));
        if (i == 0) st[i]->flags |= A_INITIAL;
        if (std::binary_search(b.sets_[i].begin(), b.sets_[i].end(), whole.end))
            st[i]->flags |= A_FINAL;
    }
    AUTOMATON* a = static_cast<AUTOMATON*>(d_calloc(sizeof(AUTOMATON), 1));
    // The initial state heads the list.
    for (size_t i = count; i-- > 0;) {
        const std::vector<DMove>& mv = b.moves_[i];
        A_STATE* s = st[i];
        s->table_size = static_cast<int>(mv.size());
        if (!mv.empty()) {
            s->table =
                static_cast<A_GOTO*>(d_alloc(static_cast<int64_t>(mv.size() * sizeof(A_GOTO))));
            for (size_t k = 0; k < mv.size(); k++)
                s->table[k] = A_GOTO{mv[k].from, mv[k].to, st[static_cast<size_t>(mv[k].target)]};
        }
        s->next = a->state_list;
        a->state_list = s;
    }
    return a;
}

int printable(L_CHAR c) {
    return c >= 32 && c < 127 ? static_cast<int>(c) : '?';
}

void print_char(L_CHAR c) {
    printf("%c(%x)", printable(c), c);
}

}  // namespace

AUTOMATON* get_fa(const L_CHAR* str) {
    if (!str || !str[0]) return nullptr;
    int len = l_strlen(str);
    a_tree* tree = nullptr;
    AUTOMATON* a = nullptr;
    try {
        tree = parse_alternatives(str, 0, len, 0);
        if (tree) a = compile(tree);
    } catch (const std::bad_alloc&) {
        a = nullptr;  // the work containers are gone; the tree is freed below
    }
    free_a_tree(tree);
    return a;
}

A_STATE* get_next_state(A_STATE* s, L_CHAR ch) {
    // The moves are disjoint and ascending: the first that holds ch is the only one.
    int lo = 0;
    int hi = s->table_size;
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        if (s->table[mid].to < ch)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < s->table_size && s->table[lo].from <= ch) return s->table[lo].next_state;
    return nullptr;
}

A_STATE* search_state(AUTOMATON* a, int flags) {
    if (!a) return nullptr;
    for (A_STATE* s = a->state_list; s; s = s->next) {
        if (s->flags & flags) return s;
    }
    return nullptr;
}

int parse_dfa_str(int* min_ptr, int* max_ptr, AUTOMATON* dfa, const L_CHAR* str,
                  int min_match_flag) {
    int first = -1;
    int last = -1;
    int result = -1;
    if (dfa && str) {
        A_STATE* s = search_state(dfa, A_INITIAL);
        if (!s) er_panic("parse_dfa_str");
        int i = 0;
        for (; str[i]; i++) {
            if (s->flags & A_FINAL) {
                if (first < 0) first = i;
                last = i;
                if (min_match_flag) break;
            }
            s = get_next_state(s, str[i]);
            if (!s) break;
        }
        if (s && str[i]) {
            result = i;  // the shortest accepted prefix
        } else if (s && (s->flags & A_FINAL)) {
            if (first < 0) first = i;
            last = i;
            result = i;
        }
    }
    if (min_ptr) *min_ptr = first;
    if (max_ptr) *max_ptr = last;
    return result;
}

void free_automaton(AUTOMATON* a) {
    if (!a) return;
    A_STATE* s = a->state_list;
    while (s) {
        A_STATE* next = s->next;
        A_STATE_SET* ss = s->state_set;
        while (ss) {
            A_STATE_SET* n = ss->next;
            d_f_ree(ss);
            ss = n;
        }
        d_f_ree(s->table);
        d_f_ree(s);
        s = next;
    }
    d_f_ree(a);
}

void free_a_tree(a_tree* a) {
    // An explicit stack: long concatenations and alternatives are deep chains.
    std::vector<a_tree*> stack;
    if (a) stack.push_back(a);
    while (!stack.empty()) {
        a_tree* t = stack.back();
        stack.pop_back();
        switch (t->type) {
            case AT_CHAR_TYPE:
                break;
            case AT_STAR_TYPE:
            case AT_PLUS_TYPE:
            case AT_OPT_TYPE:
                stack.push_back(t->s.target);
                break;
            case AT_OR_TYPE:
            case AT_AND_TYPE:
                stack.push_back(t->o.a);
                stack.push_back(t->o.b);
                break;
            default:
                er_panic("free_a_type");
        }
        d_f_ree(t);
    }
}

void print_a_tree(a_tree* a) {
    if (!a) return;
    switch (a->type) {
        case AT_CHAR_TYPE:
            printf("[");
            print_char(a->c.from);
            printf("-");
            print_char(a->c.to);
            printf("]");
            break;
        case AT_STAR_TYPE:
        case AT_PLUS_TYPE:
        case AT_OPT_TYPE:
            printf("(");
            print_a_tree(a->s.target);
            printf(a->type == AT_STAR_TYPE ? ")*" : a->type == AT_PLUS_TYPE ? ")+" : ")?");
            break;
        case AT_OR_TYPE:
            printf("(");
            print_a_tree(a->o.a);
            printf("|");
            print_a_tree(a->o.b);
            printf(")");
            break;
        case AT_AND_TYPE:
            print_a_tree(a->o.a);
            print_a_tree(a->o.b);
            break;
        default:
            break;
    }
}

void print_automaton(AUTOMATON* a) {
    printf("AUTOMATON\n");
    if (a) {
        for (A_STATE* s = a->state_list; s; s = s->next) {
            printf("%p flags %x :", static_cast<void*>(s), s->flags);
            for (int k = 0; k < s->table_size; k++) {
                const A_GOTO& g = s->table[k];
                printf(" ('%c'(%x)-'%c'(%x) : %p)", printable(g.from), g.from, printable(g.to),
                       g.to, static_cast<void*>(g.next_state));
            }
            printf("\n");
        }
    }
    printf("AUTOMATON END\n");
}
