// Fuzz entry for what the QVoHTTP layer reads from peers: arbitrary bytes are read as a request
// head, as a reply head followed by its frame header and body (chunked or of its Content-Length),
// as a chunked body on its own and as a frame header. Any crash, leak, sanitizer report or
// unbounded allocation is a fault.
#include <cstddef>
#include <cstdint>

#include "app/startup.h"
#include "longchar/codemethod.h"
#include "stream/http_wire.h"
#include "stream/string_stream.h"

namespace {

bool start() {
    init_runtime("fuzz_qvohttp", 0);
    // Closed string streams are freed at the reaper's next pass rather than kept for minutes.
    TaskLockGuard g(stream_lock);
    zonbie_life_time = 0;
    return true;
}

STREAM* open_bytes(const uint8_t* data, size_t size) {
    return s_open_string_read(reinterpret_cast<const char*>(data), &ascii_cm,
                              static_cast<int>(size), 0);
}

// A body as a client reads it, into a buffer that is then dropped.
void read_body(STREAM* s, const HTTP_INFO& hi) {
    STREAM_BUF b = {nullptr, nullptr};
    QVoHTTP_HEADER h;
    if (hi.flags & HTTP_CHUNKED) {
        if (chunk_read_start(s) == 0 && QoH_read_header(s, &h) == 0)
            copy_in_sbuf_stream(&b, s, -1, nullptr);
        chunk_read_end(s);
    } else if (hi.content_length >= QoH_HEADER_SIZE && QoH_read_header(s, &h) == 0) {
        copy_in_sbuf_stream(&b, s, hi.content_length - QoH_HEADER_SIZE, nullptr);
    }
    free_sbuf(&b, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    for (int flag = 0; flag < 2; flag++) {
        STREAM* s = open_bytes(data, size);
        HTTP_INFO hi;
        if (scan_HTTP(&hi, s, flag) == 0) read_body(s, hi);
        free_HTTP_info(&hi);
        s_close(s);
    }

    STREAM* s = open_bytes(data, size);
    STREAM_BUF b = {nullptr, nullptr};
    if (chunk_read_start(s) == 0) copy_in_sbuf_stream(&b, s, -1, nullptr);
    chunk_read_end(s);
    free_sbuf(&b, nullptr);
    s_close(s);

    if (size >= static_cast<size_t>(QoH_HEADER_SIZE)) {
        QVoHTTP_HEADER h;
        QoH_decode(data, &h);
        QoH_checksum(&h);
        uint8_t again[QoH_HEADER_SIZE];
        QoH_encode(&h, again);
    }
    return 0;
}
