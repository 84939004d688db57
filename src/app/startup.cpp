// The process start-up.
//
// The order matters: the task system comes first (everything after it may take locks and start
// tasks), then the tracked allocator (before anything allocates through it), then the layers above
// in the order they depend on each other. The '+' hand-over argument goes to the stream layer.
#include "app/startup.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "base/alloc.h"
#include "base/endian.h"
#include "base/netdb.h"
#include "base/panic.h"
#include "base/resolve.h"
#include "base/task.h"
#include "base/tick.h"
#include "base/utils.h"
#include "longchar/longchar.h"
#include "pdb/pdb64.h"
#include "stream/flushpipe.h"
#include "stream/sprintf.h"
#include "stream/stream.h"

void init_runtime(const char* argv0, int flags) {
    static bool done = false;
    if (done) return;
    done = true;
    command_arg = argv0;
    // A standard container that cannot get memory ends the program the way the language heap
    // does, with "no memory!!" and status 1, instead of an exception escaping some module.
    std::set_new_handler([] { er_panic("no memory!!"); });
    check_endian();
    init_task(flags);
    init_tick();
    init_d_alloc();
    init_longchar();
    init_stream();
    // The record store's diagnostic lines go to the system output stream.
    set_pdb_print(
        [](const char* fmt, va_list ap) { return _s_printf(s_stdout, nullptr, fmt, ap, nullptr); });
    init_utils();
    init_netutils();
    init_resolve();
}

int vx_entry(int argc, char** argv, MAIN_FUNC main_ptr) {
    // The agent's tests can keep the tick wheel from ever serving: a wait that only a time-out
    // would end then never ends, and the test's own bounded wait finds it.
    if (const char* held = getenv("VXMX_TEST_WHEEL_HELD"); held && strcmp(held, "1") == 0)
        tick_start_lock();
    init_runtime(argc > 0 ? argv[0] : "", 2);
    // The streams a parent instance handed down are rebuilt by the stream layer.
    if (const char* handover = strip_handover_arg(&argc, &argv)) proc_recv_stream(handover);
    return call_main(argc, argv, main_ptr);
}
