// Log conditions: which nodes a condition selects and what its actions do with them, read from
// the Condition elements of SetLogCondition.
//
// A condition has one operator per field with low and high bounds; a node matches when every
// field passes its operator. A Condition element's children are handled in order: an element
// <Action .../> adds an action from its attributes (type save/console/relay/wait, path, option,
// ip, mask, divide, size); every other list adds a constraint, a list of selector names, operator
// symbols and values (F a selector, v, lo, hi strings or integers as the field is):
//   F = v   v = F        equal (two absent strings are equal, one absent is not)
//   F = v *   v * = F    the field begins with v
//   * v = F              the field ends with v
//   F < v                min < F <= v      F <= v        min <= F <= v
//   lo < F               lo < F <= max     lo <= F       lo <= F <= max
//   lo < F < hi, lo <= F < hi, lo < F <= hi, lo <= F <= hi
// min and max are 0 and 0x7fffffff for integer fields, the empty string and the one character
// 0x7fffffff for string fields. Integers compare as signed 32-bit values, strings by l_strcmp. A
// later constraint on a field replaces an earlier one. New actions go to the front of the list,
// so they run in the reverse order of their elements.
#pragma once

#include <cstdint>

#include "lisp/sexp.h"
#include "server/log.h"

// Operators (bit values).
enum : uint8_t {
    LOP_ANY = 0,
    LOP_EQUAL = 1,
    LOP_PREFIX = 2,
    LOP_SUFFIX = 4,
    LOP_OPEN = 8,          // low < x < high
    LOP_LOW_CLOSED = 16,   // low <= x < high
    LOP_HIGH_CLOSED = 32,  // low < x <= high
    LOP_CLOSED = 64,       // low <= x <= high
};

// Action types.
enum : int { LOG_ACT_SAVE = 1, LOG_ACT_CONSOLE = 2, LOG_ACT_RELAY = 3, LOG_ACT_WAIT = 4 };

// Option bits: the parts of a saved line, and the call-lock switch.
constexpr uint32_t LOG_OPT_TIME = 1;
constexpr uint32_t LOG_OPT_LEVEL = 2;
constexpr uint32_t LOG_OPT_URL = 4;
constexpr uint32_t LOG_OPT_LAYER = 8;
constexpr uint32_t LOG_OPT_USER = 16;
constexpr uint32_t LOG_OPT_KEY = 32;  // never written
constexpr uint32_t LOG_OPT_DATA = 64;
constexpr uint32_t LOG_OPT_ALL = 127;
constexpr uint32_t LOG_OPT_BRACKET = 31;  // any of these opens the bracket part
constexpr uint32_t LOG_OPT_UNLOCK = 0x80000000u;

struct log_cond;

struct LOG_ACTION {
    LOG_ACTION* next;
    log_cond* cond;
    int type;
    L_CHAR* path;  // tracked copy, may be null
    uint32_t option;
    int div_nos;   // rotated files
    int64_t size;  // rotation size in bytes; 0 (or less): the path itself, never rotated
    uint32_t ip;   // "wait": address and mask, in network order
    uint32_t mask;
};

struct log_cond {
    log_cond* next;
    LOG_NODE_DATA low;  // bounds; strings are tracked copies
    LOG_NODE_DATA high;
    uint8_t op[LF_COUNT];
    LOG_ACTION* action_list;
};
typedef log_cond LOG_COND;

// Error code of a malformed condition.
constexpr uint32_t QVE_LOG_CONDITION = 0x80040503;

// True when text is exactly the ASCII word.
bool log_is_word(const L_CHAR* text, const char* word);
// The field index of a selector name ("time", "level", "URL.proto", "URL.server", "URL.port",
// "URL.agent", "URL.database", "URL.resource", "user", "key", "data"), or -1.
int log_selector(const L_CHAR* name);
// A condition that matches every node and has no action.
LOG_COND* new_log_cond();
// Adds an action at the front of c's list and returns it: type, a copy of path, and the rest
// cleared.
LOG_ACTION* add_log_action(LOG_COND* c, int type, const L_CHAR* path, uint32_t option, int div_nos,
                           int64_t size);
void free_log_cond(LOG_COND* c);
// Reads a Condition element: the new condition, or null with *err the error value (placed at
// form): a constraint's leading error value as it is, else 0x80040503 with the data
// ("log condition element parameter" item) or a "log condition action attribute (...)" text.
LOG_COND* get_log_cond(QV_SEXP* element, QV_SEXP* form, QV_SEXP** err);
// True when every field of d passes c's operator.
bool log_cond_match(const LOG_COND* c, const LOG_NODE_DATA* d);
