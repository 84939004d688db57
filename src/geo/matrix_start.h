// The matrix store's start-up as the application runs it: the hooks through which the store
// reaches the interpreter layer (a worker's internal interpreter, deferred values) and the
// element types and script functions above it, then init_matrix.
#pragma once

// Installs the store's hooks and starts the store (idempotent).
void start_matrix_store();
// The start-up of a program that needs only the matrix store (and the tests'): the language
// runtime, the record store, the general built-ins, the interrupt hook cleared, the store.
void minimum_matrix_init(int argc, char** argv);
