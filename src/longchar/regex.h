// Regular expressions over long-character strings, compiled to deterministic automata.
//
// A pattern is read into a syntax tree (a_tree), the tree becomes a nondeterministic automaton
// with empty moves (one fresh initial and final state per star, plus, optional and alternative),
// and the subset construction makes it deterministic. A move is a closed range of 32-bit values,
// so a pattern names whole code sets at once; the moves of a state are disjoint and ascending.
//
// Syntax: '.' any character from 32 up except 0xDFFF0000-0xDFFFFFFF; "[...]" a class of single
// characters and ranges "x-y" (no negation; brackets nest); "(...)" a group; '\' quotes the next
// character ("\n", "\r", "\t" give LF, CR, TAB); '*', '+', '?' repeat the last element (plain
// characters where nothing precedes them); '|' binds weakest. Empty patterns, empty groups,
// empty classes, unclosed brackets and a '|' at either end are invalid.
//
// A compiled automaton is read-only while it runs and may be shared between tasks.
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
// A move over the closed range from..to. from = to = 0 is an empty move (only while building).
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
    A_STATE* work_state;     // construction only
    A_STATE_SET* state_set;  // construction only; null in a finished automaton
};
struct AUTOMATON {
    A_STATE* state_list;
};

// Compiles a pattern; null when it is invalid, empty, or so complex that its automaton would
// exceed the size limit below.
AUTOMATON* get_fa(const L_CHAR* str);
// The most states a compiled automaton may have.
constexpr int A_MAX_STATES = 100000;

// Runs dfa over str. Returns the characters matched or -1; *min_ptr and *max_ptr receive the
// first and last positions at which the automaton stood in a final state (-1 when none). With
// min_match_flag 0 the whole string must match, else the shortest accepted prefix is enough.
int parse_dfa_str(int* min_ptr, int* max_ptr, AUTOMATON* dfa, const L_CHAR* str,
                  int min_match_flag);
A_STATE* get_next_state(A_STATE* s, L_CHAR ch);
A_STATE* search_state(AUTOMATON* a, int flags);
void free_automaton(AUTOMATON* a);
void free_a_tree(a_tree* a);

// Debug printers on standard output.
void print_a_tree(a_tree* a);
void print_automaton(AUTOMATON* a);
