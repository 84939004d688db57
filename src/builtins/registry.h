// The registry of the built-in functions: binds every native built-in of the library into the
// two top environments, in one fixed order, at start-up.
//
// A built-in is a primitive function value (evaluation order, keyword environment, minimum and
// maximum length of the whole call form) bound with set_env under its name converted from the
// standard code method. General built-ins go into vxlisp_top_env0, privileged ones (files,
// processes, configuration, arguments, exit) into vxlisp_top_env1; a later binding of a name in
// the same environment replaces the earlier one. Each family binds its names through its own
// init_ function, given the one environment it belongs to.
//
// The native calling convention: (calling environment, call form with its head, keyword
// environment, attribute list of the head symbol, special environment) -> value or error value.
// With order Applicative the form's elements arrive evaluated. Options are attributes of the head
// symbol; arguments are elements 1, 2, ... of the form.
#pragma once

#include "lisp/env.h"

// Keeps the program arguments for the argument built-ins, binds Env0 and Env1, then every
// family's registration in the fixed order. Runs once on the main thread before any script.
void init_function(QVISP_ENV* env0, QVISP_ENV* env1, int argc, char** argv);
// Binds Env0 in env0 and Env1 in env1 to environment values of the two global top
// environments, whatever environments are passed in.
void init_symbols(QVISP_ENV* env0, QVISP_ENV* env1);
