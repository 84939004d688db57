// Regular expressions: pattern text to syntax tree, tree to nondeterministic automaton, the
// subset construction of the deterministic states as the matcher reaches them, and the matcher.
//
// Guards against hostile patterns: group nesting is limited (the builders recurse once per
// level; concatenations and alternatives are walked in loops), repeated operators collapse into
// one node ('a**' is 'a*'), and a pattern whose nondeterministic automaton would pass
// A_MAX_NFA_STATES states is refused as too complex. The deterministic states are built on
// demand and dropped when they pass A_MAX_STATES or A_MAX_STATE_BYTES, so neither compiling nor
// matching grows without bound; a step costs at most one walk of the nondeterministic automaton.
#include "longchar/regex.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/alloc.h"
#include "base/panic.h"

namespace {

constexpr int MAX_GROUP_DEPTH = 200;

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

// The states of the nondeterministic automaton that make_nfa builds for t: two for each range
// and repeat, two for each chain of alternatives (an alternative that is the second side of
// another continues its chain).
int64_t nfa_size(const a_tree* t) {
    struct Item {
        const a_tree* t;
        bool in_chain;
    };
    std::vector<Item> stack{{t, false}};
    int64_t n = 0;
    while (!stack.empty()) {
        Item it = stack.back();
        stack.pop_back();
        switch (it.t->type) {
            case AT_CHAR_TYPE:
                n += 2;
                break;
            case AT_STAR_TYPE:
            case AT_PLUS_TYPE:
            case AT_OPT_TYPE:
                n += 2;
                stack.push_back({it.t->s.target, false});
                break;
            case AT_AND_TYPE:
                stack.push_back({it.t->o.a, false});
                stack.push_back({it.t->o.b, false});
                break;
            case AT_OR_TYPE:
                if (!it.in_chain) n += 2;
                stack.push_back({it.t->o.a, false});
                stack.push_back({it.t->o.b, true});
                break;
            default:
                er_panic("make_automaton(1)");
        }
    }
    return n;
}

// ---------------------------------------------------------------------------------------------
// Subset construction, one deterministic state at a time.

struct SetPtrHash {
    size_t operator()(const std::vector<int>* v) const {
        uint64_t h = 1469598103934665603ull;
        for (int x : *v)
            h = (h ^ static_cast<uint32_t>(x)) * 1099511628211ull;
        return static_cast<size_t>(h);
    }
};
struct SetPtrEq {
    bool operator()(const std::vector<int>* a, const std::vector<int>* b) const { return *a == *b; }
};

struct Event {
    uint64_t pos;
    int delta;
};

}  // namespace

struct A_NSET {
    std::vector<int> members;  // ascending
};

struct A_LAZY {
    Nfa nfa;
    int final_state = 0;
    A_STATE* initial = nullptr;
    // The built states by the set they stand for (the key is the state's own set).
    std::unordered_map<const std::vector<int>*, A_STATE*, SetPtrHash, SetPtrEq> index;
    int64_t states = 0;
    int64_t bytes = 0;     // about what the built states take
    uint64_t follows = 0;  // steps that had to find or build their target (the costly ones)
    // Work space of the construction.
    std::vector<uint32_t> mark;
    uint32_t stamp = 0;
    std::vector<int> stack;
    std::vector<int> kernel;
    std::vector<Event> events;
    std::vector<A_GOTO> moves;
};

namespace {

int64_t state_bytes(const A_STATE* s) {
    // The state, its set, its moves, and the index entry.
    return static_cast<int64_t>(sizeof(A_STATE) + sizeof(A_NSET) + 64 +
                                s->nset->members.size() * sizeof(int) +
                                static_cast<size_t>(s->table_size) * sizeof(A_GOTO));
}

// The empty closure of seeds, ascending.
std::vector<int> closure(A_LAZY* L, const std::vector<int>& seeds) {
    if (++L->stamp == 0) {  // the marks of earlier closures would look current
        std::fill(L->mark.begin(), L->mark.end(), 0);
        L->stamp = 1;
    }
    uint32_t stamp = L->stamp;
    std::vector<int> out;
    std::vector<int>& stack = L->stack;
    stack.clear();
    for (int s : seeds) {
        if (L->mark[s] != stamp) {
            L->mark[s] = stamp;
            stack.push_back(s);
        }
    }
    while (!stack.empty()) {
        int s = stack.back();
        stack.pop_back();
        out.push_back(s);
        for (int t : L->nfa.eps[s]) {
            if (L->mark[t] != stamp) {
                L->mark[t] = stamp;
                stack.push_back(t);
            }
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Builds the moves of s: one for each range over which the moves of its nondeterministic
// states are constant, in ascending order, each still without its target.
void build_moves(A_LAZY* L, A_STATE* s) {
    std::vector<Event>& ev = L->events;
    ev.clear();
    for (int n : s->nset->members) {
        for (const NMove& m : L->nfa.moves[n]) {
            ev.push_back(Event{m.from, +1});
            ev.push_back(Event{uint64_t{m.to} + 1, -1});
        }
    }
    std::sort(ev.begin(), ev.end(), [](const Event& x, const Event& y) { return x.pos < y.pos; });
    std::vector<A_GOTO>& out = L->moves;
    out.clear();
    int active = 0;
    for (size_t i = 0; i < ev.size();) {
        uint64_t pos = ev[i].pos;
        for (; i < ev.size() && ev[i].pos == pos; i++)
            active += ev[i].delta;
        if (active > 0 && i < ev.size())
            out.push_back(
                A_GOTO{static_cast<uint32_t>(pos), static_cast<uint32_t>(ev[i].pos - 1), nullptr});
    }
    if (!out.empty()) {
        s->table = static_cast<A_GOTO*>(d_alloc(static_cast<int64_t>(out.size() * sizeof(A_GOTO))));
        std::copy(out.begin(), out.end(), s->table);
    }
    s->table_size = static_cast<int>(out.size());
}

// A new state for set, with its moves. New states go right behind the initial state, which
// heads the list.
A_STATE* new_state(AUTOMATON* a, std::vector<int>&& set) {
    A_LAZY* L = a->lazy;
    A_NSET* nset = new A_NSET{std::move(set)};
    A_STATE* s = static_cast<A_STATE*>(d_calloc(sizeof(A_STATE), 1));
    s->owner = a;
    s->nset = nset;
    if (std::binary_search(nset->members.begin(), nset->members.end(), L->final_state))
        s->flags |= A_FINAL;
    A_STATE** link = L->initial ? &L->initial->next : &a->state_list;
    s->next = *link;
    *link = s;
    build_moves(L, s);
    L->states++;
    L->bytes += state_bytes(s);
    L->index.emplace(&nset->members, s);
    return s;
}

void free_state(A_STATE* s) {
    delete s->nset;
    d_f_ree(s->table);
    d_f_ree(s);
}

// Drops every built state but the initial one and keep; the moves of those two lose their
// targets, which are found again when next followed.
void flush(AUTOMATON* a, A_STATE* keep) {
    A_LAZY* L = a->lazy;
    L->index.clear();
    L->states = 0;
    L->bytes = 0;
    A_STATE** link = &a->state_list;
    while (A_STATE* s = *link) {
        if (s != L->initial && s != keep) {
            *link = s->next;
            free_state(s);
            continue;
        }
        for (int k = 0; k < s->table_size; k++)
            s->table[k].next_state = nullptr;
        L->index.emplace(&s->nset->members, s);
        L->states++;
        L->bytes += state_bytes(s);
        link = &s->next;
    }
    a->flushes++;
}

// The target of move k of s, which holds ch: the state of the empty closure of what the moves
// of s's nondeterministic states that hold ch lead to (every character of the move's range
// leads to the same), made when new. A new state past the bounds first drops the others.
A_STATE* follow(A_STATE* s, int k, L_CHAR ch) {
    AUTOMATON* a = s->owner;
    A_LAZY* L = a->lazy;
    std::vector<int>& kernel = L->kernel;
    kernel.clear();
    for (int n : s->nset->members) {
        for (const NMove& m : L->nfa.moves[n]) {
            if (m.from <= ch && ch <= m.to) kernel.push_back(m.target);
        }
    }
    std::vector<int> set = closure(L, kernel);
    A_STATE* t;
    auto it = L->index.find(&set);
    if (it != L->index.end()) {
        t = it->second;
    } else {
        if (L->states >= A_MAX_STATES || L->bytes >= A_MAX_STATE_BYTES) flush(a, s);
        t = new_state(a, std::move(set));
    }
    s->table[k].next_state = t;
    return t;
}

// follow, for the matchers, which have no way to report a failure: the allocator's own end when
// memory runs out. Out of line, so that a step over a move already followed stays a leaf call.
[[gnu::noinline]] A_STATE* followed(A_STATE* s, int k, L_CHAR ch) {
    s->owner->lazy->follows++;
    try {
        return follow(s, k, ch);
    } catch (const std::bad_alloc&) {
        er_panic("get_next_state");
    }
}

AUTOMATON* compile(const a_tree* tree, int* why) {
    if (nfa_size(tree) > A_MAX_NFA_STATES) {
        *why = FA_TOO_COMPLEX;
        return nullptr;
    }
    AUTOMATON* a = static_cast<AUTOMATON*>(d_calloc(sizeof(AUTOMATON), 1));
    try {
        a->lazy = new A_LAZY;
        A_LAZY* L = a->lazy;
        Frag whole = make_nfa(L->nfa, tree);
        L->final_state = whole.end;
        L->mark.assign(L->nfa.eps.size(), 0);
        A_STATE* init = new_state(a, closure(L, std::vector<int>{whole.start}));
        init->flags |= A_INITIAL;
        L->initial = init;
    } catch (const std::bad_alloc&) {
        free_automaton(a);
        *why = FA_TOO_COMPLEX;
        return nullptr;
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

AUTOMATON* get_fa_why(const L_CHAR* str, int* why) {
    *why = FA_INVALID;
    if (!str || !str[0]) return nullptr;
    int len = l_strlen(str);
    a_tree* tree = nullptr;
    AUTOMATON* a = nullptr;
    try {
        tree = parse_alternatives(str, 0, len, 0);
    } catch (const std::bad_alloc&) {
        tree = nullptr;  // the work containers are gone; what was built of the tree is lost
    }
    if (tree) {
        *why = FA_OK;
        a = compile(tree, why);
    }
    free_a_tree(tree);
    return a;
}

AUTOMATON* get_fa(const L_CHAR* str) {
    int why;
    return get_fa_why(str, &why);
}

const char* fa_error_text(int why) {
    // Never destroyed: tasks may still use it while the process exits.
    static const std::string& too_complex =
        *new std::string("regular expression too complex: more than " +
                         std::to_string(A_MAX_NFA_STATES) + " states");
    switch (why) {
        case FA_OK:
            return "";
        case FA_TOO_COMPLEX:
            return too_complex.c_str();
        default:
            return "parameter error: regular expression";
    }
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
    if (lo >= s->table_size || s->table[lo].from > ch) return nullptr;
    if (A_STATE* t = s->table[lo].next_state) [[likely]]
        return t;
    return followed(s, lo, ch);
}

A_STATE* search_state(AUTOMATON* a, int flags) {
    if (!a) return nullptr;
    for (A_STATE* s = a->state_list; s; s = s->next) {
        if (s->flags & flags) return s;
    }
    if (!(flags & A_FINAL) || !a->lazy || !a->lazy->initial) return nullptr;
    // No final state is built yet: find the shortest text that reaches the final state of the
    // nondeterministic automaton and follow it, which builds the states on its way.
    A_LAZY* L = a->lazy;
    const int n = static_cast<int>(L->nfa.eps.size());
    struct Step {
        int from;    // the state it was reached from, -1 for a start
        int64_t ch;  // the character taken, -1 for an empty move
    };
    std::vector<Step> seen(static_cast<size_t>(n), Step{-2, -1});
    std::vector<int> queue;
    for (int m : L->initial->nset->members) {
        seen[static_cast<size_t>(m)] = Step{-1, -1};
        queue.push_back(m);
    }
    for (size_t q = 0; q < queue.size() && seen[static_cast<size_t>(L->final_state)].from == -2;
         q++) {
        const int x = queue[q];
        auto reach = [&](int y, int64_t ch) {
            if (seen[static_cast<size_t>(y)].from != -2) return;
            seen[static_cast<size_t>(y)] = Step{x, ch};
            queue.push_back(y);
        };
        for (int y : L->nfa.eps[static_cast<size_t>(x)])
            reach(y, -1);
        for (const NMove& m : L->nfa.moves[static_cast<size_t>(x)])
            reach(m.target, m.from);
    }
    if (seen[static_cast<size_t>(L->final_state)].from == -2) return nullptr;
    std::vector<L_CHAR> text;
    for (int y = L->final_state; seen[static_cast<size_t>(y)].from >= 0;
         y = seen[static_cast<size_t>(y)].from)
        if (seen[static_cast<size_t>(y)].ch >= 0)
            text.push_back(static_cast<L_CHAR>(seen[static_cast<size_t>(y)].ch));
    A_STATE* s = L->initial;
    for (auto it = text.rbegin(); s && it != text.rend(); ++it)
        s = get_next_state(s, *it);
    return s && (s->flags & A_FINAL) ? s : nullptr;
}

int parse_dfa_str(int* min_ptr, int* max_ptr, AUTOMATON* dfa, const L_CHAR* str,
                  int min_match_flag) {
    return parse_dfa_str_stop(min_ptr, max_ptr, dfa, str, min_match_flag, nullptr, nullptr);
}

int parse_dfa_str_stop(int* min_ptr, int* max_ptr, AUTOMATON* dfa, const L_CHAR* str,
                       int min_match_flag, bool (*stop)(void*), void* arg) {
    int first = -1;
    int last = -1;
    int result = -1;
    if (dfa && str) {
        A_STATE* s = search_state(dfa, A_INITIAL);
        if (!s) er_panic("parse_dfa_str");
        int i = 0;
        // Asked every A_STOP_STRIDE steps, and after every step that had to find its target,
        // which walks the nondeterministic automaton.
        const A_LAZY* L = dfa->lazy;
        uint64_t follows = L ? L->follows : 0;
        int left = A_STOP_STRIDE;
        bool stopped = false;
        for (; str[i]; i++) {
            if (s->flags & A_FINAL) {
                if (first < 0) first = i;
                last = i;
                if (min_match_flag) break;
            }
            if (stop && (--left == 0 || (L && L->follows != follows))) {
                left = A_STOP_STRIDE;
                follows = L ? L->follows : 0;
                if (stop(arg)) {
                    stopped = true;
                    break;
                }
            }
            s = get_next_state(s, str[i]);
            if (!s) break;
        }
        if (stopped) {
            result = -2;
        } else if (s && str[i]) {
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
        free_state(s);
        s = next;
    }
    delete a->lazy;
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

void print_ss(A_STATE_SET* ss) {
    printf("{");
    for (; ss; ss = ss->next)
        printf(" %p", static_cast<void*>(ss->state));
    printf(" }");
}

void print_input(AUTOMATON* a) {
    std::vector<uint64_t> cuts;
    if (a) {
        for (const std::vector<NMove>& moves : a->lazy->nfa.moves) {
            for (const NMove& m : moves) {
                cuts.push_back(m.from);
                cuts.push_back(uint64_t{m.to} + 1);
            }
        }
    }
    std::sort(cuts.begin(), cuts.end());
    uint64_t from = 1;
    for (uint64_t c : cuts) {
        if (c <= from || c > 0xFFFFFFFFu) continue;
        printf("(%x-%x)", static_cast<unsigned>(from), static_cast<unsigned>(c - 1));
        from = c;
    }
    printf("(%x-%x)\n", static_cast<unsigned>(from), 0xFFFFFFFFu);
}
