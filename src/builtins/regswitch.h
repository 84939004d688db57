// RegSwitch: a text rewritten by regular-expression cases.
//
//   (RegSwitch text ([name rex="PATTERN" mode="MODE"] form...)...)
//
// The text is scanned from its start. At each position every active case's automaton is run over
// the rest of the text and the case with the longest non-empty accepted prefix wins (the earlier
// case on equal lengths). Its forms run in a new child of the calling environment with `pattern`
// bound to the matched prefix; a string result is appended to the output, and the scan goes on
// after the prefix. Where no case matches, the character is copied and the scan moves on by one.
// The result is the output string.
//
// The longest prefixes are found in time linear in the text for each case: a pair (automaton
// state, position) from which a scan once ran to its end without reaching an accepting state is
// remembered, and a later scan that reaches it stops there. Without this a pattern such as "a*b"
// over a long run of 'a' would rescan the rest of the text from every position. Long scans are
// offered to the break check, so an interpreter asked to stop does not wait for them.
//
// A (Break) in a case's forms ends the scan at once: its value is appended when it is a string,
// returned when it is an error. Any other error is returned.
//
// Modes: the variable `RegMode`, looked up in the calling environment before the first match and
// again after every case's forms have run (they may rebind it), names the current mode as a
// symbol or string. While a mode is current, a case whose `mode` names another mode is skipped;
// a case without `mode` takes part in every mode. RegMode unbound or nil: every case takes part.
//
// Registration: RegSwitch in the general environment, order Normal, form length 2 or more.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "longchar/regex.h"

// One prepared case, in the order written.
struct REG_SWITCH {
    REG_SWITCH* next;
    const L_CHAR* rex;   // the pattern text (the case head's attribute)
    AUTOMATON* fa;       // compiled from rex; freed when RegSwitch returns
    A_STATE* start;      // its initial state
    QV_SEXP* body;       // the forms after the case head
    const L_CHAR* mode;  // the case's mode, or null
};

QV_SEXP* qv_RegSwitch(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                      QVISP_ENV* sp_env);

void init_RegSwitch(QVISP_ENV* env);
