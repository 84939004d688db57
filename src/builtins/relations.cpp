// Sorting and the relational operations over tables.
#include "builtins/relations.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/operators.h"
#include "lisp/printer.h"
#include "lisp/statements.h"
#include "longchar/longchar.h"
#include "stream/sprintf.h"
#include "stream/stream.h"

namespace {

std::atomic<int64_t> join_cell_limit{int64_t{1} << 26};

// A comparison whose answer was not a number: the answer is kept aside by the caller.
constexpr int CMP_FAILED = 2;

// ---------------------------------------------------------------- lists

QV_SEXP* list_of(const std::vector<QV_SEXP*>& v) {
    gc_push(nullptr, nullptr, "list");
    QV_SEXP* r = nullptr;
    for (size_t i = v.size(); i-- > 0;)
        r = cons(v[i], r);
    gc_pop(r, gc_vx_sexp);
    return r;
}

// The elements of s while it continues with a pair.
std::vector<QV_SEXP*> elements(QV_SEXP* s) {
    std::vector<QV_SEXP*> v;
    for (; get_type(s) == QVT_PAIR; s = s->pair.cdr)
        v.push_back(s->pair.car);
    return v;
}

bool same_name(QV_SEXP* sym, QV_SEXP* f) {
    return l_strcmp(sym->symbol.data, f->symbol.data) == 0;
}

// The field symbols of a field list, or null with a type mismatch in *err when an element is not
// a symbol (a list that did not come from get_join_option).
bool field_symbols(QV_SEXP* fields, std::vector<QV_SEXP*>* out, QV_SEXP** err) {
    for (QV_SEXP* c = fields; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        if (get_type(c->pair.car) != QVT_SYMBOL) {
            *err = eval_error(c, QVE_TYPE_MISMATCH, "Sort", n_get_string("field is not a symbol"));
            return false;
        }
        out->push_back(c->pair.car);
    }
    return true;
}

// ---------------------------------------------------------------- keys

enum KeyKind : uint8_t { KEY_NIL, KEY_INT, KEY_FLOAT, KEY_STR, KEY_OTHER };

// A key with the shapes that order without the operator table: nil, and (f v) whose head has no
// attributes and whose v is an integer or floating value without unit, or a string. Under "<"
// such keys compare by v alone (equal heads are passed over), so the native comparison answers
// exactly what the table would.
struct KEY {
    KeyKind kind;
    union {
        int64_t i;
        double d;
        const L_CHAR* s;
    };
    QV_SEXP* node;
};

KEY classify(QV_SEXP* k) {
    KEY r;
    r.kind = KEY_OTHER;
    r.i = 0;
    r.node = k;
    int t = get_type(k);
    if (t == QVT_NIL) {
        r.kind = KEY_NIL;
        return r;
    }
    if (t != QVT_PAIR) return r;
    QV_SEXP* head = k->pair.car;
    QV_SEXP* rest = k->pair.cdr;
    if (get_type(head) != QVT_SYMBOL || head->symbol.field || get_type(rest) != QVT_PAIR ||
        get_type(rest->pair.cdr) != QVT_NIL)
        return r;
    QV_SEXP* v = rest->pair.car;
    switch (get_type(v)) {
        case QVT_INTEGER:
            if (v->integer.unit) break;
            r.kind = KEY_INT;
            r.i = v->integer.data;
            break;
        case QVT_FLOAT:
            if (v->floating.unit) break;
            r.kind = KEY_FLOAT;
            r.d = v->floating.data;
            break;
        case QVT_STRING:
            r.kind = KEY_STR;
            r.s = v->string.data;
            break;
        default:
            break;
    }
    return r;
}

// The answer of "<" on two keys; false with the answer in *err when it is not an integer.
bool lt_answer(QVISP_ENV* env, QV_SEXP* a, QV_SEXP* b, bool* lt, QV_SEXP** err) {
    QV_SEXP* pos = a ? a : b;
    QV_SEXP* r = binary(lt_t, env, a, b, pos ? pos->h.file : nullptr, pos ? pos->h.line : 0);
    if (get_type(r) != QVT_INTEGER) {
        *err = r;
        return false;
    }
    *lt = r->integer.data != 0;
    return true;
}

// -1 when a < b, 1 when b < a, else 0; CMP_FAILED with the answer in *err.
int key_cmp(QVISP_ENV* env, const KEY& a, const KEY& b, QV_SEXP** err) {
    if (a.kind == b.kind) {
        switch (a.kind) {
            case KEY_NIL:
                return 0;
            case KEY_INT:
                return a.i < b.i ? -1 : (b.i < a.i ? 1 : 0);
            case KEY_FLOAT:
                return a.d < b.d ? -1 : (b.d < a.d ? 1 : 0);
            case KEY_STR: {
                int c = l_strcmp(a.s, b.s);
                return c < 0 ? -1 : (c > 0 ? 1 : 0);
            }
            default:
                break;
        }
    }
    // The operator table makes truth values: in a frame of their own, so that comparing does not
    // pile up nodes in the caller's frame.
    gc_push(nullptr, nullptr, "key");
    bool lt = false;
    int c = 0;
    QV_SEXP* e = nullptr;
    if (!lt_answer(env, a.node, b.node, &lt, &e))
        c = CMP_FAILED;
    else if (lt)
        c = -1;
    else if (!lt_answer(env, b.node, a.node, &lt, &e))
        c = CMP_FAILED;
    else
        c = lt ? 1 : 0;
    gc_pop(e, e ? gc_vx_sexp : nullptr);
    if (c == CMP_FAILED) *err = e;
    return c;
}

// The keys of records for every field, row by row.
struct KEY_TABLE {
    size_t nf = 0;
    std::vector<KEY> keys;
    const KEY* row(size_t i) const { return keys.data() + i * nf; }
};

void add_keys(KEY_TABLE* t, QV_SEXP* r, const std::vector<QV_SEXP*>& fields) {
    for (QV_SEXP* f : fields)
        t->keys.push_back(classify(record_field(r, f)));
}

// Key comparison of two rows: the first field that differs decides.
int rows_cmp(QVISP_ENV* env, size_t nf, const KEY* a, const KEY* b, QV_SEXP** err) {
    for (size_t k = 0; k < nf; k++)
        if (int c = key_cmp(env, a[k], b[k], err)) return c;
    return 0;
}

// ---------------------------------------------------------------- the run merge

// The merge sort over run items. The run list starts with one run per element, the last
// element's first (cur holds the items in that order); each round merges the runs two at a time
// from the front, taking b first when cmp(a, b) < 0 and a otherwise, takes a last run without
// partner over, and puts every run in front of the new list. The sorted order is the final run
// reversed. cmp answers -1, 0, 1 or CMP_FAILED, which ends the sort (false).
template <class T, class CMP>
bool merge_runs(std::vector<T>* items, CMP cmp) {
    std::vector<T>& cur = *items;
    size_t n = cur.size();
    std::vector<T> next(n);
    std::vector<size_t> len(n, 1), nlen;
    while (len.size() > 1) {
        // Runs made in this round are laid from the end of the buffer backwards, so the buffer
        // holds them in the order of the new run list.
        nlen.clear();
        size_t in = 0, out = n;
        for (size_t k = 0; k < len.size(); k += 2) {
            if (k + 1 == len.size()) {
                out -= len[k];
                std::copy(cur.begin() + in, cur.begin() + in + len[k], next.begin() + out);
                nlen.push_back(len[k]);
                break;
            }
            size_t a = in, ae = in + len[k], b = ae, be = ae + len[k + 1];
            out -= len[k] + len[k + 1];
            size_t w = out;
            while (a < ae && b < be) {
                int c = cmp(cur[a], cur[b]);
                if (c == CMP_FAILED) return false;
                next[w++] = c < 0 ? cur[b++] : cur[a++];
            }
            while (a < ae)
                next[w++] = cur[a++];
            while (b < be)
                next[w++] = cur[b++];
            nlen.push_back(len[k] + len[k + 1]);
            in = be;
        }
        std::reverse(nlen.begin(), nlen.end());
        cur.swap(next);
        len.swap(nlen);
    }
    std::reverse(cur.begin(), cur.end());
    return true;
}

// The sorted order of n elements (indexes) under cmp on indexes.
template <class CMP>
bool merge_order(size_t n, std::vector<uint32_t>* order, CMP cmp) {
    order->resize(n);
    for (size_t i = 0; i < n; i++)
        (*order)[i] = static_cast<uint32_t>(n - 1 - i);
    return merge_runs(order, cmp);
}

// A key carried with its element through the merge, so that comparing reads memory in order.
template <class K>
struct KEYED {
    K key;
    uint32_t index;
};

// The sort over one field whose keys all have the same plain shape: the merge moves the key
// values themselves. The order is the one the general comparison gives.
template <class K, class GET, class CMP>
void merge_plain(const KEY_TABLE& keys, size_t n, std::vector<uint32_t>* order, GET get, CMP cmp) {
    std::vector<KEYED<K>> items(n);
    for (size_t i = 0; i < n; i++) {
        uint32_t e = static_cast<uint32_t>(n - 1 - i);
        items[i] = {get(keys.row(e)[0]), e};
    }
    merge_runs(&items, [&](const KEYED<K>& a, const KEYED<K>& b) { return cmp(a.key, b.key); });
    order->resize(n);
    for (size_t i = 0; i < n; i++)
        (*order)[i] = items[i].index;
}

// merge_plain when the table has one field whose keys are all integers, all floating values or
// all strings; false otherwise.
bool sort_plain_keys(const KEY_TABLE& keys, size_t n, std::vector<uint32_t>* order) {
    if (keys.nf != 1 || n == 0) return false;
    KeyKind kind = keys.row(0)[0].kind;
    for (size_t i = 0; i < n; i++)
        if (keys.row(i)[0].kind != kind) return false;
    auto sign = [](auto a, auto b) { return a < b ? -1 : (b < a ? 1 : 0); };
    switch (kind) {
        case KEY_INT:
            merge_plain<int64_t>(
                keys, n, order, [](const KEY& k) { return k.i; }, sign);
            return true;
        case KEY_FLOAT:
            merge_plain<double>(
                keys, n, order, [](const KEY& k) { return k.d; }, sign);
            return true;
        case KEY_STR:
            merge_plain<const L_CHAR*>(
                keys, n, order, [](const KEY& k) { return k.s; },
                [](const L_CHAR* a, const L_CHAR* b) {
                    int c = l_strcmp(a, b);
                    return c < 0 ? -1 : (c > 0 ? 1 : 0);
                });
            return true;
        default:
            return false;
    }
}

QV_SEXP* compare_type_error(QV_SEXP* pos) {
    return eval_error(pos, QVE_TYPE_MISMATCH, "Sort",
                      n_get_string("return value type missmatch of compare function"));
}

// Whether quoting s gives s back unchanged: no error value, no ($ x) list and no symbol with a
// '$' attribute value anywhere inside, within a modest depth.
bool quote_is_plain(QV_SEXP* s, std::vector<std::pair<QV_SEXP*, size_t>>* stack) {
    constexpr size_t kMaxDepth = 64;
    auto plain_atom = [](QV_SEXP* e) {
        int t = get_type(e);
        if (t == QVT_ERROR) return false;
        if (t == QVT_SYMBOL)
            for (QV_SYM_FIELD* f = e->symbol.field; f; f = f->next)
                if (f->data && f->data[0] == '$') return false;
        return true;
    };
    if (get_type(s) != QVT_PAIR) return plain_atom(s);
    auto& todo = *stack;
    todo.assign(1, {s, 1});
    while (!todo.empty()) {
        auto [c, depth] = todo.back();
        todo.pop_back();
        if (depth > kMaxDepth) return false;
        QV_SEXP* head = c->pair.car;
        if (get_type(head) == QVT_SYMBOL && head->symbol.data[0] == '$' && !head->symbol.data[1] &&
            list_length(c) == 2)
            return false;
        for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
            QV_SEXP* e = c->pair.car;
            if (get_type(e) == QVT_PAIR)
                todo.push_back({e, depth + 1});
            else if (!plain_atom(e))
                return false;
        }
    }
    return true;
}

// What a key sort read of its elements: each one quoted, and when the field list was there,
// their keys in element order.
struct KEY_SORT {
    std::vector<QV_SEXP*> quoted;
    KEY_TABLE keys;
    bool has_keys = false;
};

// The sort with the key primitive as compare function: every comparison would quote both
// records, read "field-list" and compare keys, so each record is quoted and its keys read once.
// Quoting a record with ($ x) parts evaluates them once per record rather than per comparison.
bool sort_by_keys(QVISP_ENV* env, const std::vector<QV_SEXP*>& el, std::vector<uint32_t>* order,
                  QV_SEXP* pos, QV_SEXP** err, KEY_SORT* ks) {
    size_t n = el.size();
    QV_SEXP* fl = nullptr;
    if (n > 1) fl = eval_symbol(env, n_get_symbol("field-list"), -1);
    std::vector<QV_SEXP*> fields;
    QV_SEXP* ferr = nullptr;
    if (get_type(fl) == QVT_ERROR)
        ferr = fl;
    else if (get_type(fl) == QVT_NIL)
        ferr = compare_type_error(pos);
    else
        field_symbols(fl, &fields, &ferr);
    // Each record is quoted and its keys read while its cells are in the cache.
    std::vector<QV_SEXP*>& quoted = ks->quoted;
    quoted.resize(n);
    std::vector<std::pair<QV_SEXP*, size_t>> stack;
    KEY_TABLE& keys = ks->keys;
    keys.nf = fields.size();
    ks->has_keys = !ferr;
    if (!ferr) keys.keys.reserve(n * fields.size());
    for (size_t i = 0; i < n; i++) {
        quoted[i] = quote_is_plain(el[i], &stack) ? el[i] : quote_trace(env, el[i]);
        if (!ferr) add_keys(&keys, quoted[i], fields);
    }
    bool quoted_ok = std::none_of(quoted.begin(), quoted.end(),
                                  [](QV_SEXP* q) { return get_type(q) == QVT_ERROR; });
    if (!ferr && quoted_ok && sort_plain_keys(keys, n, order)) return true;
    return merge_order(n, order, [&](uint32_t a, uint32_t b) {
        for (uint32_t i : {a, b})
            if (get_type(quoted[i]) == QVT_ERROR) {
                *err = quoted[i];
                return CMP_FAILED;
            }
        if (ferr) {
            *err = ferr;
            return CMP_FAILED;
        }
        QV_SEXP* e = nullptr;
        int c = rows_cmp(env, keys.nf, keys.row(a), keys.row(b), &e);
        if (c == CMP_FAILED) *err = get_type(e) == QVT_ERROR ? e : compare_type_error(pos);
        return c;
    });
}

// The sort with any compare function: (f (quote a) (quote b)) in env, each in a root frame.
bool sort_by_function(QVISP_ENV* env, QV_SEXP* f, const std::vector<QV_SEXP*>& el,
                      std::vector<uint32_t>* order, QV_SEXP* pos, QV_SEXP** err) {
    QV_SEXP* quote = n_get_symbol("quote");
    return merge_order(el.size(), order, [&](uint32_t a, uint32_t b) {
        gc_push(nullptr, nullptr, "Sort");
        // Built with cons: an element may be nil, which would end list()'s arguments.
        QV_SEXP* qa = cons(quote, cons(el[a], nullptr));
        QV_SEXP* qb = cons(quote, cons(el[b], nullptr));
        QV_SEXP* form = cons(f, cons(qa, cons(qb, nullptr)));
        QV_SEXP* r = eval(env, form);
        int t = get_type(r);
        if (t == QVT_INTEGER) {
            int64_t v = r->integer.data;
            gc_pop(nullptr, nullptr);
            return v < 0 ? -1 : (v > 0 ? 1 : 0);
        }
        gc_pop(t == QVT_ERROR ? r : nullptr, t == QVT_ERROR ? gc_vx_sexp : nullptr);
        *err = t == QVT_ERROR ? r : compare_type_error(pos);
        return CMP_FAILED;
    });
}

bool is_key_cmp(QV_SEXP* f) {
    return get_type(f) == QVT_FUNC && f->func.type == FUNC_PRIM && f->func.prim == njoin_cmp_s;
}

QV_SEXP* sort_at(QVISP_ENV* env, QV_SEXP* l, QV_SEXP* f, QV_SEXP* pos) {
    if (get_type(l) != QVT_PAIR) return l;
    std::vector<QV_SEXP*> el = elements(l);
    std::vector<uint32_t> order;
    QV_SEXP* err = nullptr;
    gc_push(nullptr, nullptr, "sort");
    KEY_SORT ks;
    bool ok = is_key_cmp(f) ? sort_by_keys(env, el, &order, pos, &err, &ks)
                            : sort_by_function(env, f, el, &order, pos, &err);
    QV_SEXP* r = err;
    if (ok) {
        std::vector<QV_SEXP*> sorted(order.size());
        for (size_t i = 0; i < order.size(); i++)
            sorted[i] = el[order[i]];
        r = list_of(sorted);
    }
    gc_pop(r, r ? gc_vx_sexp : nullptr);
    return r;
}

// One side of a join: its records in the order of the merge (sorted by the key primitive in je
// when sort is set) and their keys. The sort's keys are reused for records that quoting left
// as they were; false with the sort's error in *err.
bool join_side(QVISP_ENV* je, QV_SEXP* l, bool sort, const std::vector<QV_SEXP*>& fs, QV_SEXP* pos,
               std::vector<QV_SEXP*>* rows, KEY_TABLE* keys, QV_SEXP** err) {
    std::vector<QV_SEXP*> el = elements(l);
    keys->nf = fs.size();
    keys->keys.clear();
    keys->keys.reserve(el.size() * fs.size());
    if (!sort) {
        for (QV_SEXP* r : el)
            add_keys(keys, r, fs);
        *rows = std::move(el);
        return true;
    }
    std::vector<uint32_t> order;
    KEY_SORT ks;
    if (!sort_by_keys(je, el, &order, pos, err, &ks)) return false;
    rows->resize(el.size());
    for (size_t i = 0; i < order.size(); i++) {
        uint32_t e = order[i];
        (*rows)[i] = el[e];
        if (ks.has_keys && ks.quoted[e] == el[e])
            keys->keys.insert(keys->keys.end(), ks.keys.row(e), ks.keys.row(e) + fs.size());
        else
            add_keys(keys, el[e], fs);
    }
    return true;
}

// The environment of a key sort: a new child of parent binding "field-list".
QVISP_ENV* key_env(QVISP_ENV* parent, QV_SEXP* fields) {
    QVISP_ENV* e = new_env(parent);
    set_env(e, std_text("field-list"), fields);
    return e;
}

QV_SEXP* key_cmp_prim() {
    return get_func_prim(njoin_cmp_s, FUNC_APPLICATIVE, nullptr, 3, 3);
}

std::vector<QV_SEXP*> symbols_of(QV_SEXP* fields) {
    std::vector<QV_SEXP*> v;
    QV_SEXP* err = nullptr;
    field_symbols(fields, &v, &err);  // get_join_option gives symbols only
    return v;
}

// The header of a record's group: its tag (else `record`), then its keys, the last field first.
QV_SEXP* top_core(QV_SEXP* r, const std::vector<QV_SEXP*>& fields, QV_SEXP* record_sym) {
    std::vector<QV_SEXP*> v;
    QV_SEXP* tag = get_type(r) == QVT_PAIR ? r->pair.car : nullptr;
    v.push_back(get_type(tag) == QVT_SYMBOL ? tag : record_sym);
    for (size_t k = fields.size(); k-- > 0;)
        v.push_back(record_field(r, fields[k]));
    return list_of(v);
}

// A finished group: the header's elements followed by (table g_k ... g_1).
QV_SEXP* group_of(QV_SEXP* header, const std::vector<QV_SEXP*>& group, QV_SEXP* table_sym) {
    std::vector<QV_SEXP*> v = elements(header);
    std::vector<QV_SEXP*> t{table_sym};
    t.insert(t.end(), group.rbegin(), group.rend());
    v.push_back(list_of(t));
    return list_of(v);
}

// The joined record of make_record over field symbols. The cells are rooted in the caller's
// frame; scratch holds the elements on their way.
QV_SEXP* joined_record(QV_SEXP* x, QV_SEXP* z, const std::vector<QV_SEXP*>& fs,
                       std::vector<QV_SEXP*>* scratch) {
    std::vector<QV_SEXP*>& v = *scratch;
    v.clear();
    QV_SEXP* c = x;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr)
        v.push_back(c->pair.car);
    if (get_type(c) != QVT_NIL) return nullptr;
    c = z;
    if (get_type(c) == QVT_PAIR && get_type(c->pair.car) == QVT_SYMBOL) c = c->pair.cdr;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* e = c->pair.car;
        bool key = false;
        if (get_type(e) == QVT_PAIR && get_type(e->pair.car) == QVT_SYMBOL)
            for (QV_SEXP* f : fs)
                key = key || same_name(e->pair.car, f);
        if (!key) v.push_back(e);
    }
    // Each field's pass stops where z stops being a pair, so only a join without fields keeps
    // z's own ending.
    if (fs.empty() && get_type(c) != QVT_NIL) return nullptr;
    QV_SEXP* r = nullptr;
    for (size_t i = v.size(); i-- > 0;)
        r = cons(v[i], r);
    return r;
}

}  // namespace

int64_t set_join_cell_limit(int64_t cells) {
    return join_cell_limit.exchange(cells);
}

void print_sort_list(SORT_LIST* sl) {
    s_printf(s_stdout, "SL\n");
    for (; sl; sl = sl->next) {
        s_printf(s_stdout, "\t[");
        for (SORT_ELEMENT* e = sl->el; e; e = e->next) {
            print_sexp(s_stdout, e->el, 0);
            s_printf(s_stdout, ",");
        }
        s_printf(s_stdout, "]\n");
    }
}

QV_SEXP* sort_list(QVISP_ENV* env, QV_SEXP* list, QV_SEXP* f) {
    return sort_at(env, list, f, list);
}

QV_SEXP* get_join_option(QV_SYM_FIELD* sf) {
    const L_CHAR* text = attr_text(sf, "field");
    if (!text || !*text) return nullptr;
    std::vector<QV_SEXP*> v;
    std::vector<L_CHAR> piece;
    for (const L_CHAR* c = text;; c++) {
        if (*c == ',' || !*c) {
            piece.push_back(0);
            v.push_back(get_symbol(piece.data()));
            piece.clear();
            if (!*c) break;
        } else {
            piece.push_back(*c);
        }
    }
    return list_of(v);
}

int get_sort_option(QV_SYM_FIELD* sf) {
    int opt = 3;
    if (const L_CHAR* t = attr_text(sf, "sort1")) opt = text_is(t, "off") ? opt & ~1 : opt | 1;
    if (const L_CHAR* t = attr_text(sf, "sort2")) opt = text_is(t, "off") ? opt & ~2 : opt | 2;
    return opt;
}

QV_SEXP* record_field(QV_SEXP* r, QV_SEXP* f) {
    switch (get_type(r)) {
        case QVT_NIL:
            return nullptr;
        case QVT_ERROR:
            return r;
        case QVT_PAIR:
            break;
        default:
            return eval_error(r, QVE_TYPE_MISMATCH, "GetElement", n_get_string("type missmatch"));
    }
    // One pass finds the key and checks that r ends in nil: an improper r answers list_error
    // whatever it holds.
    QV_SEXP* found = nullptr;
    QV_SEXP* c = r;
    for (; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        if (found) continue;
        QV_SEXP* e = c->pair.car;
        int t = get_type(e);
        if (t == QVT_ERROR) {
            found = e;
        } else if (t == QVT_PAIR) {
            QV_SEXP* head = e->pair.car;
            int ht = get_type(head);
            if (ht == QVT_ERROR)
                found = head;
            else if (ht == QVT_SYMBOL && same_name(head, f))
                found = e;
        }
    }
    if (get_type(c) != QVT_NIL) return list_error(r);
    return found;
}

QV_SEXP* njoin_cmp_field_list(QVISP_ENV* env, QV_SEXP* fields, QV_SEXP* r1, QV_SEXP* r2) {
    std::vector<QV_SEXP*> fs;
    QV_SEXP* err = nullptr;
    if (!field_symbols(fields, &fs, &err)) return err;
    for (QV_SEXP* f : fs) {
        int c = key_cmp(env, classify(record_field(r1, f)), classify(record_field(r2, f)), &err);
        if (c == CMP_FAILED) return err;
        if (c) return get_integer(c, nullptr);
    }
    return get_integer(0, nullptr);
}

QV_SEXP* njoin_cmp_s(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* fl = eval_symbol(env, n_get_symbol("field-list"), -1);
    if (get_type(fl) == QVT_ERROR || get_type(fl) == QVT_NIL) return fl;
    return njoin_cmp_field_list(env, fl, get_el(form, 1), get_el(form, 2));
}

QV_SEXP* make_record(QV_SEXP* x, QV_SEXP* z, QV_SEXP* fields) {
    gc_push(nullptr, nullptr, "make_record");
    std::vector<QV_SEXP*> scratch;
    QV_SEXP* r = joined_record(x, z, symbols_of(fields), &scratch);
    gc_pop(r, r ? gc_vx_sexp : nullptr);
    return r;
}

QV_SEXP* qv_Sort(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* l = get_el(form, 1);
    if (get_type(l) != QVT_PAIR)
        return eval_error(form, QVE_TYPE_MISMATCH, "Sort",
                          list(n_get_string("list"), n_get_string("is type missmatch"), nullptr));
    gc_push(nullptr, nullptr, "Sort");
    QV_SEXP* r;
    if (QV_SEXP* fields = get_join_option(attr)) {
        r = sort_at(key_env(env, fields), l, key_cmp_prim(), form);
    } else {
        QV_SEXP* f = get_el(form, 2);
        if (get_type(f) == QVT_FUNC)
            r = sort_at(env, l, f, form);
        else
            r = eval_error(
                form, QVE_TYPE_MISMATCH, "Sort",
                list(n_get_string("compare function"), n_get_string("is type missmatch"), nullptr));
    }
    gc_pop(r, r ? gc_vx_sexp : nullptr);
    return r;
}

QV_SEXP* qv_NaturalJoin(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    gc_push(nullptr, nullptr, "NaturalJoin");
    int opt = get_sort_option(attr);
    QV_SEXP* fields = get_join_option(attr);
    QVISP_ENV* je = key_env(vxlisp_top_env0, fields);
    std::vector<QV_SEXP*> fs = symbols_of(fields);
    std::vector<QV_SEXP*> ra, rb;
    KEY_TABLE ka, kb;
    QV_SEXP* serr = nullptr;
    if (!join_side(je, get_el(form, 1), opt & 1, fs, form, &ra, &ka, &serr) ||
        !join_side(je, get_el(form, 2), opt & 2, fs, form, &rb, &kb, &serr)) {
        gc_pop(serr, gc_vx_sexp);
        return serr;
    }
    QV_SEXP* r = nullptr;
    QV_SEXP* err = nullptr;
    int64_t cells = 0, limit = join_cell_limit.load();
    std::vector<QV_SEXP*> scratch;
    size_t i = 0, j = 0;
    while (i < ra.size() && j < rb.size() && !err) {
        int c = rows_cmp(env, fs.size(), ka.row(i), kb.row(j), &err);
        if (c == CMP_FAILED) break;
        if (c < 0) {
            i++;
            continue;
        }
        if (c > 0) {
            j++;
            continue;
        }
        // x meets the group of equal keys that starts at y; b stays at y for the next x.
        for (size_t z = j; z < rb.size(); z++) {
            if (z > j) {
                int cz = rows_cmp(env, fs.size(), ka.row(i), kb.row(z), &err);
                if (cz == CMP_FAILED) break;
                if (cz != 0) break;
            }
            QV_SEXP* rec = joined_record(ra[i], rb[z], fs, &scratch);
            cells += list_length(rec) + 1;
            if (cells > limit) {
                err = bltn_error_s(form, QVE_NO_MEMORY, "NaturalJoin", "no memory");
                break;
            }
            r = cons(rec, r);
        }
        i++;
    }
    if (err) r = err;
    gc_pop(r, r ? gc_vx_sexp : nullptr);
    return r;
}

QV_SEXP* qv_Projection(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    gc_push(nullptr, nullptr, "Projection");
    int opt = get_sort_option(attr);
    QV_SEXP* fields = get_join_option(attr);
    QVISP_ENV* pe = key_env(vxlisp_top_env0, fields);
    QV_SEXP* table = get_el(form, 1);
    if (opt & 1) table = sort_at(pe, table, key_cmp_prim(), form);
    if (get_type(table) == QVT_ERROR) {
        gc_pop(table, gc_vx_sexp);
        return table;
    }
    std::vector<QV_SEXP*> fs = symbols_of(fields);
    QV_SEXP* record_sym = n_get_symbol("record");
    QV_SEXP* table_sym = n_get_symbol("table");
    QV_SEXP* record_head = list(record_sym, nullptr);
    QV_SEXP* header = nullptr;
    KEY_TABLE hk;
    hk.nf = fs.size();
    add_keys(&hk, header, fs);
    std::vector<QV_SEXP*> scratch;
    std::vector<QV_SEXP*> group;  // the current group's records in walk order
    QV_SEXP* r = nullptr;         // the finished groups, the last one first
    QV_SEXP* err = nullptr;
    for (QV_SEXP* c = table; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* rec = c->pair.car;
        KEY_TABLE rk;
        rk.nf = fs.size();
        add_keys(&rk, rec, fs);
        int cmp = rows_cmp(pe, fs.size(), hk.row(0), rk.row(0), &err);
        if (cmp == CMP_FAILED) break;
        if (cmp != 0) {
            if (!group.empty()) r = cons(group_of(header, group, table_sym), r);
            group.clear();
            header = top_core(rec, fs, record_sym);
            hk.keys.clear();
            add_keys(&hk, header, fs);
        }
        group.push_back(joined_record(record_head, rec, fs, &scratch));
    }
    if (!err && !group.empty()) r = cons(group_of(header, group, table_sym), r);
    if (err) r = err;
    gc_pop(r, r ? gc_vx_sexp : nullptr);
    return r;
}

void init_Sort(QVISP_ENV* env) {
    bind_prim(env, "Sort", qv_Sort, FUNC_APPLICATIVE, 2, 3);
}
void init_NaturalJoin(QVISP_ENV* env) {
    bind_prim(env, "NaturalJoin", qv_NaturalJoin, FUNC_APPLICATIVE, 3, 3);
}
void init_Projection(QVISP_ENV* env) {
    bind_prim(env, "Projection", qv_Projection, FUNC_APPLICATIVE, 2, 2);
}
