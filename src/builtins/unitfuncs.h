// The built-ins of physical units: the unit name a number carries (GetUnit, SetUnit), conversion
// of a number to another unit (ConvertUnit), and unit systems and aliases defined for an
// environment (UnitSystem). The units themselves, their environments and the conversion
// arithmetic are the language core's (lisp/units.h).
//
// A unit environment is built completely before it is attached to an environment or registered
// under a name, and never changed afterwards, so readers on other threads need no lock. It is
// attached to the calling environment only: an environment made for one call, a `let` or a
// client's connection keeps its units to itself and to what it calls.
//
// Registration (general environment): GetUnit 2, SetUnit 2, ConvertUnit 3 in order Applicative;
// UnitSystem 1 or more in order Normal (form length with the head).
#pragma once

#include <cstdint>

#include "lisp/env.h"
#include "lisp/sexp.h"

// The error of UnitSystem's `inherit` naming no registered unit environment.
constexpr uint32_t QVE_UNDEFINED_UENV = 0x80040501;

// (GetUnit x): the unit name of a number as a new string, empty when it has none.
QV_SEXP* qv_GetUnit(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                    QVISP_ENV* sp_env);
// (SetUnit x) with the attribute unit: a new number of the same value carrying that unit name
// (none when the attribute is absent or empty). The name is not looked up.
QV_SEXP* qv_SetUnit(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                    QVISP_ENV* sp_env);
// (ConvertUnit x to): x converted to the unit named by the string to (nil: no unit) with the
// units in force for the calling environment; an integer when the result is a whole number in
// the 32-bit range, else a floating value.
QV_SEXP* qv_ConvertUnit(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                        QVISP_ENV* sp_env);
// (UnitSystem element ...) with the attributes inherit and name: a new unit environment with the
// (System A B) units and (Alias) names of the elements added to its base, attached to the calling
// environment (and registered under name); nil, or the first error, in which case nothing
// changes.
QV_SEXP* qv_UnitSystem(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV* args_env, QV_SYM_FIELD* attr,
                       QVISP_ENV* sp_env);

void init_GetUnit(QVISP_ENV* env);
void init_SetUnit(QVISP_ENV* env);
void init_ConvertUnit(QVISP_ENV* env);
void init_UnitSystem(QVISP_ENV* env);
