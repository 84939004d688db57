// Regular expressions over long-character strings, run as deterministic automata.
//
// A pattern is read into a syntax tree (a_tree), the tree becomes a nondeterministic automaton
// with empty moves (one fresh initial and final state per star, plus, optional and alternative),
// and the subset construction makes it deterministic. A move is a closed range of 32-bit values,
// so a pattern names whole code sets at once; the moves of a state are disjoint and ascending.
//
// The deterministic states are built as the matching reaches them, not all at compile time: a
// pattern such as "(a|b)*a(a|b)(a|b)..." whose whole automaton would double with every repeat
// costs only the states a text leads to. The states held at once are bounded; past the bound the
// built states are dropped (all but the initial state and the one stepped from) and rebuilt as
// needed, so memory stays bounded whatever the text. What does bound a pattern is the size of its
// nondeterministic automaton (A_MAX_NFA_STATES): a step costs at most a walk over it.
//
// Syntax: '.' any character from 32 up except 0xDFFF0000-0xDFFFFFFF; "[...]" a class of single
// characters and ranges "x-y" (no negation; brackets nest); "(...)" a group; '\' quotes the next
// character ("\n", "\r", "\t" give LF, CR, TAB); '*', '+', '?' repeat the last element (plain
// characters where nothing precedes them); '|' binds weakest. Empty patterns, empty groups,
// empty classes, unclosed brackets and a '|' at either end are invalid.
//
// An automaton grows and sheds states while it runs, so one task at a time runs it. A state has
// its moves (table, table_size) from when it is made; the targets are found as the moves are
// followed. A state handed out stays valid until the next step on the same automaton, except the
// initial state, which lives as long as the automaton. AUTOMATON.flushes counts the drops, for a
// caller that keeps states from one step to a later one.
#pragma once

#include "longchar/longchar.h"

// Syntax-tree node types.
enum {
    AT_CHAR_TYPE = 1,  // from..to
    AT_STAR_TYPE = 2,  // zero or more of target
    AT_PLUS_TYPE = 3,  // one or more
    AT_OPT_TYPE = 4,   // zero or one
    AT_OR_TYPE = 5,    // a or b
    AT_AND_TYPE = 6,   // a then b
};

union a_tree;
struct AT_CHAR {
    int type;
    L_CHAR from;
    L_CHAR to;
};
struct AT_STAR {  // also the plus and optional nodes
    int type;
    a_tree* target;
};
struct AT_OR {  // also the concatenation node
    int type;
    a_tree* a;
    a_tree* b;
};
typedef AT_STAR AT_PLUS;
typedef AT_OR AT_AND;
union a_tree {
    int type;
    AT_CHAR c;
    AT_STAR s;
    AT_OR o;
};

struct A_STATE;
struct AUTOMATON;
struct A_NSET;  // the nondeterministic states a deterministic state stands for
struct A_LAZY;  // the nondeterministic automaton and the index of the states built
// A move over the closed range from..to. next_state is null until the move is first followed
// (and again after the automaton drops its states); get_next_state fills it in.
struct A_GOTO {
    uint32_t from;
    uint32_t to;
    A_STATE* next_state;
};
struct A_STATE_SET {
    A_STATE* state;
    A_STATE_SET* next;
};
constexpr int A_INITIAL = 1;
constexpr int A_FINAL = 2;
struct A_STATE {
    A_STATE* next;
    int flags;  // A_INITIAL, A_FINAL
    int table_size;
    A_GOTO* table;           // moves, disjoint and ascending
    A_STATE* work_state;     // unused
    A_STATE_SET* state_set;  // unused
    AUTOMATON* owner;
    A_NSET* nset;
};
struct AUTOMATON {
    A_STATE* state_list;  // the states built so far; the initial state first
    A_LAZY* lazy;
    uint32_t flushes;  // how often the built states other than the initial one were dropped
};

// Why get_fa_why gave no automaton.
enum {
    FA_OK = 0,
    FA_INVALID = 1,      // not a pattern (also an empty one)
    FA_TOO_COMPLEX = 2,  // its nondeterministic automaton would pass A_MAX_NFA_STATES
};
// The most states a pattern's nondeterministic automaton may have.
constexpr int A_MAX_NFA_STATES = 50000;
// The deterministic states an automaton holds at once, and the bytes they take, before it drops
// them.
constexpr int A_MAX_STATES = 10000;
constexpr int64_t A_MAX_STATE_BYTES = int64_t{8} << 20;

// Compiles a pattern; null when it is invalid, empty or too complex.
AUTOMATON* get_fa(const L_CHAR* str);
// The same, with the reason for a null result in *why (FA_OK otherwise).
AUTOMATON* get_fa_why(const L_CHAR* str, int* why);
// The message a built-in reports for a reason of get_fa_why: "parameter error: regular
// expression" for an invalid pattern, "regular expression too complex: more than N states" with
// the bound for one too complex.
const char* fa_error_text(int why);

// Runs dfa over str. Returns the characters matched or -1; *min_ptr and *max_ptr receive the
// first and last positions at which the automaton stood in a final state (-1 when none). With
// min_match_flag 0 the whole string must match, else the shortest accepted prefix is enough.
int parse_dfa_str(int* min_ptr, int* max_ptr, AUTOMATON* dfa, const L_CHAR* str,
                  int min_match_flag);
// Steps over states already followed that a run takes between two questions to its stop
// function.
constexpr int A_STOP_STRIDE = 64;
// The same, asking stop(arg) every A_STOP_STRIDE characters and after every step that had to find
// or build its target state (a walk over the nondeterministic automaton, which may take
// milliseconds): a true answer ends the run with -2, *min_ptr and *max_ptr as far as it came. A
// null stop is never asked.
int parse_dfa_str_stop(int* min_ptr, int* max_ptr, AUTOMATON* dfa, const L_CHAR* str,
                       int min_match_flag, bool (*stop)(void*), void* arg);
// The state reached from s on ch, or null; built when first reached.
A_STATE* get_next_state(A_STATE* s, L_CHAR ch);
// The first state built so far whose flags share a bit with flags (A_INITIAL finds the initial
// state), or null. When flags hold A_FINAL and no final state is built yet, the one that the
// shortest accepted text reaches is built and returned.
A_STATE* search_state(AUTOMATON* a, int flags);
void free_automaton(AUTOMATON* a);
void free_a_tree(a_tree* a);

// Debug printers on standard output.
void print_a_tree(a_tree* a);
void print_automaton(AUTOMATON* a);
// A state set in braces, each state by its address.
void print_ss(A_STATE_SET* ss);
// The alphabet cut of a's pattern: 1 - 0xFFFFFFFF split at every boundary of every range the
// pattern names, each range as "(%x-%x)", ascending, then a line end.
void print_input(AUTOMATON* a);
