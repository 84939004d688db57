// Entries of the ".qvrc" configuration files.
#include "lisp/qvrc.h"

#include <fcntl.h>

#include <string>
#include <vector>

#include "base/confpath.h"
#include "lisp/collect.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "longchar/longchar.h"
#include "stream/file_stream.h"

namespace {

bool named(QV_SEXP* item, const L_CHAR* symbol) {
    if (get_type(item) != QVT_PAIR) return false;
    QV_SEXP* head = item->pair.car;
    return get_type(head) == QVT_SYMBOL && head->symbol.data &&
           l_strcmp(head->symbol.data, symbol) == 0;
}

// Hands the value of each entry named symbol to each, in file order, as it is read: the walk
// holds one item at a time, so a file of any length is walked in the memory of its largest item
// (and of what each keeps). hold is a pair rooted by the caller: its car is the rest of the file
// still to be read; each item is read in a frame of its own, let go once the car points past
// it. false when the file cannot be opened or is no regular file.
template <class Each>
bool walk(const std::string& path, const L_CHAR* symbol, QV_SEXP* hold, Each each) {
    STREAM* st = s_open_regular_file(path.c_str(), O_RDONLY, 0);
    if (!st) return false;
    // Kept aside: a temporary text is reused by later conversions, and the walk makes many.
    std::vector<L_CHAR> key;
    if (symbol) key.assign(symbol, symbol + l_strlen(symbol) + 1);
    // The first node would stay rooted in the caller's frame, and with it every item read
    // behind it: only hold keeps it.
    gc_push(nullptr, nullptr, "qvrc file");
    set_car(hold, init_parse(st, _l_string_1(std_cm, path.c_str()), nullptr));
    gc_pop(nullptr, nullptr);
    for (bool more = true; more;) {
        gc_push(nullptr, nullptr, "qvrc item");
        QV_SEXP* c = hold->pair.car;
        more = get_type(c) == QVT_PAIR;
        if (more) {
            QV_SEXP* item = c->pair.car;
            if (!key.empty() && named(item, key.data())) {
                QV_SEXP* v = get_el(item, 1);
                realize_whole(v);
                each(v);
            }
            set_car(hold, c->pair.cdr);
        }
        gc_pop(nullptr, nullptr);
    }
    set_car(hold, nullptr);
    return true;
}

// The values of the entries named symbol, the last one first (kept in hold's cdr); nil when the
// file cannot be opened. Runs inside the caller's frame.
QV_SEXP* entries(const std::string& path, const L_CHAR* symbol) {
    QV_SEXP* hold = cons(nullptr, nullptr);
    walk(path, symbol, hold, [&](QV_SEXP* v) { set_cdr(hold, cons(v, hold->pair.cdr)); });
    return hold->pair.cdr;
}

std::string file_path(const char* dir, const char* file) {
    std::string path = dir;
    if (path.empty() || path.back() != '/') path += '/';
    return path + file;
}

void qvrc_reader(const char* path, const char* symbol, void (*each)(const L_CHAR*, void*),
                 void* work) {
    gc_push(nullptr, nullptr, "get_qvrc");
    QV_SEXP* hold = cons(nullptr, nullptr);
    walk(path, _l_string_1(std_cm, symbol), hold, [&](QV_SEXP* v) {
        if (get_type(v) == QVT_STRING) each(v->string.data, work);
    });
    gc_pop(nullptr, nullptr);
}

}  // namespace

QV_SEXP* get_qvrc(const char* dir, const char* file, const L_CHAR* symbol) {
    if (!dir || !file) return nullptr;
    gc_push(nullptr, nullptr, "get_qvrc");
    QV_SEXP* r = entries(file_path(dir, file), symbol);
    gc_pop(r, gc_vx_sexp);
    return r;
}

void init_qvrc() {
    set_qvrc_reader(qvrc_reader);
}
