// Fuzz entry for the QV reader and printer: arbitrary bytes are read as QV text, every item is
// printed, and the printed text is read again. Any crash, leak or sanitizer report is a fault.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/startup.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"

namespace {

bool start() {
    init_runtime("fuzz_reader", 0);
    minit();
    init_env();
    init_gc_task();
    init_vxlisp();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    gc_push(nullptr, nullptr, "fuzz");
    QV_SEXP* items = read_qv_items(reinterpret_cast<const char*>(data), static_cast<int>(size));
    std::string printed = print_sexp_text(items, 0);
    read_qv_items(printed.data(), static_cast<int>(printed.size()));
    gc_pop(nullptr, nullptr);
    return 0;
}
