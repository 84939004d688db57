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

// The values of the entries named symbol, in file order; nil when the file cannot be opened.
// Runs inside the caller's frame.
QV_SEXP* entries(const std::string& path, const L_CHAR* symbol) {
    STREAM* st = s_open_file(path.c_str(), O_RDONLY, 0);
    if (!st) return nullptr;
    QV_SEXP* top = init_parse(st, _l_string_1(std_cm, path.c_str()), nullptr);
    QV_SEXP* r = nullptr;
    for (QV_SEXP* c = top; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* item = c->pair.car;
        if (!symbol || !named(item, symbol)) continue;
        QV_SEXP* v = get_el(item, 1);
        realize_whole(v);
        r = cons(v, r);
    }
    return r;  // last entry first
}

std::string file_path(const char* dir, const char* file) {
    std::string path = dir;
    if (path.empty() || path.back() != '/') path += '/';
    return path + file;
}

void qvrc_reader(const char* path, const char* symbol, void (*each)(const L_CHAR*, void*),
                 void* work) {
    gc_push(nullptr, nullptr, "get_qvrc");
    QV_SEXP* values = entries(path, _l_string_1(std_cm, symbol));
    std::vector<QV_SEXP*> in_order;
    for (QV_SEXP* c = values; get_type(c) == QVT_PAIR; c = c->pair.cdr)
        in_order.push_back(c->pair.car);
    for (auto it = in_order.rbegin(); it != in_order.rend(); ++it)
        if (get_type(*it) == QVT_STRING) each((*it)->string.data, work);
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
