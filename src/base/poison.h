// Marks memory the program must not touch (kept or freed blocks) for AddressSanitizer, so that a
// touch is reported; without the sanitizer both marks cost nothing.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VX_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define VX_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define VX_POISON(p, n) ((void)(p), (void)(n))
#define VX_UNPOISON(p, n) ((void)(p), (void)(n))
#endif
