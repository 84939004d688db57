// Test support: the runtime is brought up once per test program, in the program's own start-up
// order, before any test runs.
#pragma once

// Brings the runtime up (idempotent). Called by the shared test main.
void vx_test_runtime_start(const char* argv0);
