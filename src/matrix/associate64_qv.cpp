#include "matrix/associate64_qv.h"

#include <cstring>

#include "base/alloc.h"
#include "lisp/heap.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "longchar/codemethod.h"
#include "longchar/longchar.h"
#include "stream/string_stream.h"

namespace {

// The code method of the file's text, or null when its encoding names none.
CODE_METHOD* text_cm_of(int key) {
    char enc[8];
    if (get_associate64_encoding(key, enc) != 0) return nullptr;
    return search_cm(enc);
}

// Bytes per character unit of a code method whose text may hold 0 bytes.
int unit_of(const CODE_METHOD* cm) {
    if (cm == &utf16_cm) return 2;
    if (cm == &ucs4_cm || cm == &extucs4_cm || cm == &int_cm) return 4;
    return 1;
}

// The text in a value record's area: the area ends with a 0 byte and is at least 8 bytes, so a
// longer area holds one byte less of text; a short one is cut after its last unit that is not 0.
int64_t text_length(const CODE_METHOD* cm, const char* area, int64_t len) {
    int unit = unit_of(cm);
    if (unit == 1) return static_cast<int64_t>(strnlen(area, static_cast<size_t>(len)));
    if (len > ASSOC64_MIN_AREA) return (len - 1) / unit * unit;
    int64_t n = len;
    while (n > 0 && area[n - 1] == 0)
        n--;
    return (n + unit - 1) / unit * unit;
}

// The first QV item of a value record's text, or null.
QV_SEXP* parse_value(CODE_METHOD* cm, const char* area, int64_t len) {
    int64_t n = text_length(cm, area, len);
    if (n > INT32_MAX) return nullptr;
    STREAM* st = s_open_string_read(area, cm, static_cast<int>(n), 1);
    if (!st) return nullptr;
    const L_CHAR* name = l_string(&utf8_cm, "associate");
    QV_SEXP* top = init_parse(st, name, name);
    return get_type(top) == QVT_PAIR ? top->pair.car : nullptr;
}

struct AllWork {
    CODE_METHOD* cm;
    QV_SEXP* list;
    const char* frame;
};

// One value of a listing, put at the front of the list.
int add_value(const char* area, int64_t len, void* work) {
    auto* w = static_cast<AllWork*>(work);
    gc_push(nullptr, nullptr, w->frame);
    QV_SEXP* v = parse_value(w->cm, area, len);
    QV_SEXP* list = cons(v, w->list);
    gc_pop(list, gc_vx_sexp);
    w->list = list;
    return 0;
}

}  // namespace

int insert_associate64(int key, int index, const void* keyvalue, QV_SEXP* value) {
    CODE_METHOD* cm = text_cm_of(key);
    if (!cm || get_index_type64(key, index) < 0) return -1;
    STREAM* st = s_open_string_write(cm);
    if (!st) return -1;
    int r = -1;
    if (e_print_sexp(st, nullptr, value, 0) == 0) {
        const char* text = s_get_string(st);
        r = insert_associate64_text(key, index, keyvalue, text ? text : "",
                                    text ? st->str.size : 0);
    }
    s_close(st);
    return r;
}

QV_SEXP* search_associate64(int key, int index, const void* keyvalue, ASSOC64_STRING_OPT* opt) {
    CODE_METHOD* cm = text_cm_of(key);
    if (!cm) return nullptr;
    int64_t len = 0;
    char* area = search_associate64_text(key, index, keyvalue, opt, &len);
    if (!area) return nullptr;
    QV_SEXP* v = parse_value(cm, area, len);
    d_f_ree(area);
    return v;
}

QV_SEXP* get_assoc64_all(int key, int index) {
    CODE_METHOD* cm = text_cm_of(key);
    int type = get_index_type64(key, index);
    if (!cm || type < 0) return nullptr;
    AllWork w = {cm, nullptr, type == ASSOC64_INTEGER_INDEX ? "get_all_integer" : "get_all_string"};
    gc_push(nullptr, nullptr, w.frame);
    int r = get_assoc64_all_text(key, index, add_value, &w);
    QV_SEXP* list = r == 0 ? w.list : nullptr;
    gc_pop(list, list ? gc_vx_sexp : nullptr);
    return list;
}

int l_insert_associate64(int key, int index, const void* keyvalue, QV_SEXP* value, const char* file,
                         int line) {
    PdbLockGuard g("iunlock", file, line);
    return insert_associate64(key, index, keyvalue, value);
}

QV_SEXP* l_search_associate64(int key, int index, const void* keyvalue, ASSOC64_STRING_OPT* opt,
                              const char* file, int line) {
    PdbLockGuard g("iunlock", file, line);
    return search_associate64(key, index, keyvalue, opt);
}

QV_SEXP* l_get_assoc64_all(int key, int index, const char* file, int line) {
    PdbLockGuard g("iunlock", file, line);
    return get_assoc64_all(key, index);
}
