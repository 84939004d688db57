// Fuzz entry for associative files: arbitrary bytes are opened as an associative file, read-only
// and for writing; every index of its table is looked up (integer keys, string keys with perfect
// and longest matches), listed as text and as QV values, walked in both directions and searched by
// bounds; the writable opening also stores, replaces and deletes values and adds an index. The
// record cache is checked after each file. Any crash, leak, hang or sanitizer report is a fault.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/startup.h"
#include "base/alloc.h"
#include "lisp/collect.h"
#include "lisp/env.h"
#include "lisp/heap.h"
#include "lisp/parser.h"
#include "lisp/vxlisp.h"
#include "matrix/associate64_qv.h"
#include "pdb/dtree64.h"
#include "pdb/l_favt64.h"

namespace {

int quiet(const char*, va_list) {
    return 0;
}

bool start() {
    init_runtime("fuzz_assoc", 0);
    minit();
    init_env();
    init_gc_task();
    init_vxlisp();
    init_l_favt64();
    fac_set_limit(16);
    favt64_set_limit(40);
    favt64_check_on = true;
    set_pdb_print(quiet);
    return true;
}

int count_text(const char*, int64_t, void* work) {
    ++*static_cast<int*>(work);
    return 0;
}

int count_node(FAVT64_NODE*, void* work) {
    ++*static_cast<int*>(work);
    return 0;
}

int count_value(uint64_t, void*, DTREE64_TRACE_WORK* w) {
    ++*static_cast<int*>(w->w);
    return 0;
}

std::vector<L_CHAR> lkey(const char* s) {
    std::vector<L_CHAR> k;
    for (; *s; s++)
        k.push_back(static_cast<uint8_t>(*s));
    k.push_back(0);
    return k;
}

// The trees of an index, walked and searched by bounds under the store's lock.
void walk_tree(int key, int index, int type) {
    int64_t at = get_index_root64(key, index);
    PdbLockGuard g;
    PDB64* p = associate64_file(key);
    int e = 0;
    FAVT64_ROOT* root =
        get_root64(&e, p, static_cast<uint64_t>(at),
                   type == ASSOC64_INTEGER_INDEX ? integer_endian64 : dtree64_endian);
    if (!root) return;
    favt64_lock(root);
    int n = 0;
    if (type == ASSOC64_INTEGER_INDEX) {
        if (FAVT64_NODE* top = root_node64(&e, root)) {
            favt64_trace_from_small(&e, root, top, count_node, &n);
            favt64_trace_from_large(&e, root, top, count_node, &n);
            uint8_t lo[12] = {}, hi[12] = {0x7f, 0xff, 0xff, 0xff};
            free_bound_list64(
                favt64_bound_search(&e, root, top, lo, hi, 50, cmp_assoc64_integer, nullptr));
            favt64_test(&e, root, top, cmp_assoc64_integer);
        }
    } else {
        dtree64_trace_from_small(&e, root, count_value, &n);
        dtree64_trace_from_large(&e, root, count_value, &n);
    }
    favt64_unlock(root);
}

void exercise(int key, bool writable) {
    for (int index = 0; index < 4; index++) {
        int type = l_get_index_type64(key, index);
        if (type < 0) break;
        int n = 0;
        l_get_assoc64_all_text(key, index, count_text, &n);
        gc_push(nullptr, nullptr, "fuzz_assoc");
        l_get_assoc64_all(key, index);
        if (type == ASSOC64_INTEGER_INDEX) {
            for (int32_t k = -2; k < 6; k++) {
                int64_t len = 0;
                d_f_ree(l_search_associate64_text(key, index, &k, nullptr, &len));
                l_search_associate64(key, index, &k, nullptr);
            }
        } else {
            for (const char* s : {"a", "ab", "abc", "k1", "zz"}) {
                std::vector<L_CHAR> k = lkey(s);
                ASSOC64_STRING_OPT opt = {0, 0};
                l_search_associate64(key, index, k.data(), &opt);
                l_search_associate64(key, index, k.data(), nullptr);
            }
        }
        walk_tree(key, index, type);
        if (writable) {
            int32_t k = 3;
            std::vector<L_CHAR> s = lkey("ab");
            const void* kv = type == ASSOC64_INTEGER_INDEX ? static_cast<const void*>(&k)
                                                           : static_cast<const void*>(s.data());
            l_insert_associate64(key, index, kv, read_qv_item("(new 1)"));
            l_insert_associate64(key, index, kv, read_qv_item("replaced"));
            l_delete_associate64(key, index, kv);
        }
        gc_pop(nullptr, nullptr);
    }
    if (writable) l_new_index64(key, ASSOC64_STRING_INDEX, 99);
    l_check_cache64("fuzz_assoc");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool started = start();
    (void)started;
    static std::string path = "/tmp/fuzz_assoc-" + std::to_string(getpid());
    for (bool writable : {false, true}) {
        FILE* f = fopen(path.c_str(), "wb");
        if (!f) return 0;
        fwrite(data, 1, size, f);
        fclose(f);
        int key = writable ? l_open_associate64(path.c_str(), O_RDWR, 0, -1, 0, nullptr)
                           : l_open_associate64(path.c_str(), O_RDONLY, 0, 0, 0, nullptr);
        if (key < 0) continue;
        exercise(key, writable);
        l_close_associate64(key);
    }
    unlink(path.c_str());
    return 0;
}
