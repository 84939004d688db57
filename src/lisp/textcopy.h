// Copies of text in collected memory: long-character strings as blocks of the language heap,
// marked as text, registered in the calling thread's top root frame like every new block. A copy
// lives while a root or the node it is stored in reaches it. Null text gives null.
#pragma once

#include "base/endian.h"
#include "longchar/longchar.h"

L_CHAR* ll_copy_mstr(const L_CHAR* s);

// Bytes in code method cm as a collected long-character string. _1 converts afresh; _2 copies the
// shared conversion of literals, so it takes only string literals. nl_copy_mstr picks _2 for a
// literal and _1 for anything else.
L_CHAR* _nl_copy_mstr_1(CODE_METHOD* cm, const char* s);
L_CHAR* _nl_copy_mstr_2(CODE_METHOD* cm, const char* s);
#define nl_copy_mstr(cm, s) \
    (__builtin_constant_p(s) ? _nl_copy_mstr_2((cm), (s)) : _nl_copy_mstr_1((cm), (s)))
