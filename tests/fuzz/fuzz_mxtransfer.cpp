// Fuzz entry for node transfer records: the first byte picks the receiving node (a matrix with a
// child bit field or one with child lists, both with an int32, a double vector and an untyped
// channel); the rest is decoded into it. A record that is taken is encoded again and decoded a
// second time, which must give the same record. Any crash, leak or out-of-bounds read is a fault.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "app/startup.h"
#include "geo/matrix_start.h"
#include "lisp/collect.h"
#include "lisp/parser.h"
#include "longchar/longchar.h"
#include "matrix/mxstore.h"
#include "matrix/mxtransfer.h"

namespace {

MATRIX_NODE* nodes[2];

MATRIX_NODE* ready_node(int divide) {
    MATRIX* m = open_matrix(nullptr, nullptr, nullptr, nullptr, nullptr);
    MATRIX_PARAM p{};
    p.dim = 2;
    p.channel_nos = 3;
    set_matrix_param(m, &p);
    for (int d = 0; d < 2; d++) {
        set_matrix_dim_divide(m, d, divide);
        set_matrix_block_size(m, d, 4);
        set_matrix_pixel_size(m, d, 1 << 12);
    }
    MATRIX_CHANNEL_INFO a{get_matrix_data_type(MXT_INT32), MX_CH_SEND, nullptr, 0};
    MATRIX_CHANNEL_INFO b{get_matrix_data_type(MXT_DOUBLE + MXT_VECTOR), MX_CH_SEND, nullptr, 0};
    set_matrix_channel_info(m, 0, &a);
    set_matrix_channel_info(m, 1, &b);
    QV_SEXP* s = read_qv_items("<mxFinish normal-jump-status=\"MS_OK\"/>");
    realize_whole(s);
    for (int slot = 0; slot < MI_SAVE_TP; slot++)
        set_matrix_cal(m, slot, s);
    set_matrix_mode(m, 1);
    int err = 0;
    int64_t dc[3] = {1, 0, 0};
    return get_matrix_node_wait(&err, m, dc, MI_FETCH_1_TP);
}

bool start() {
    static char prog[] = "fuzz_mxtransfer";
    static char* argv[] = {prog, nullptr};
    init_runtime(prog, 0);
    minimum_matrix_init(1, argv);
    nodes[0] = ready_node(1);
    nodes[1] = ready_node(7);
    return nodes[0] && nodes[1];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    if (!started || size < 1) return 0;
    MATRIX_NODE* n = nodes[data[0] & 1];
    gc_push(nullptr, nullptr, "fuzz");
    QV_SEXP* rec = get_raw(data + 1, static_cast<int32_t>(size - 1));
    if (decode_matrix_node(n, rec) == 0) {
        QV_SEXP* again = encode_matrix_node(n);
        std::string first(reinterpret_cast<char*>(again->raw.data), again->raw.size);
        if (decode_matrix_node(n, again) != 0) __builtin_trap();
        QV_SEXP* third = encode_matrix_node(n);
        if (std::string(reinterpret_cast<char*>(third->raw.data), third->raw.size) != first)
            __builtin_trap();
    }
    gc_pop(nullptr, nullptr);
    return 0;
}
