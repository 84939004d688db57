// Fuzz entry for what the listener's HTTP side reads from a peer: arbitrary bytes are read as a
// request head, dispatched by the HTTP agent (the 404 page, or a registered local agent that
// reads the body the head declares and evaluates the request) and, for the tunnel's paths,
// followed by a frame header; the same bytes go through the path check and the percent
// decoders. Any crash, leak, sanitizer report or unbounded allocation is a fault.
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/startup.h"
#include "base/alloc.h"
#include "longchar/codemethod.h"
#include "server/http_agent.h"
#include "server/runtime.h"
#include "stream/http_wire.h"
#include "stream/string_stream.h"

namespace {

void quiet(const char*) {}

bool start() {
    init_runtime("fuzz_http_server", 0);
    init_qv();
    set_QVoHTTP_diag(quiet);
    // A local agent whose environment binds no handler: its requests are read and evaluated to
    // an error value (the 503 page).
    insert_http_agent_list("/a", HA_QV, vxlisp_top_env1, nullptr, nullptr, nullptr, 0);
    TaskLockGuard g(stream_lock);
    zonbie_life_time = 0;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    STREAM* s = s_open_string_read(reinterpret_cast<const char*>(data), &ascii_cm,
                                   static_cast<int>(size), 0);
    HTTP_INFO hi;
    int r = -1;
    if (scan_HTTP(&hi, s, 1) == 0) {
        r = exec_url(&hi, s, nullptr);
        if (r == 2) {
            QVoHTTP_HEADER h;
            QoH_read_header(s, &h);
        }
    }
    free_HTTP_info(&hi);
    if (r != 0) s_close(s);

    std::string text(reinterpret_cast<const char*>(data), size);
    http_path_ok(text.c_str());
    d_f_ree(convert_percent(text.c_str(), nullptr));
    d_f_ree(convert_percent(text.c_str(), "./%"));
    d_f_ree(convert_percent_reverse(text.c_str()));
    return 0;
}
