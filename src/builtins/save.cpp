// Save: the built-in, the raw writer and the CSV writer with its two ways of making columns.
//
// Columns are matched by key (a tag name or a node type): the k-th value of a key in one record
// goes to the first column of that key still free, so each key keeps its columns in order and a
// cursor over them that only moves forward within a record. A record with many children thus
// costs time in proportion to its children, not to their product with the columns.
#include "builtins/save.h"

#include <fcntl.h>

#include <cinttypes>
#include <cstdio>
#include <map>

#include "base/numtext.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "stream/file_stream.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"

namespace {

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

constexpr int DEFAULT_MODE = 0600;

LTEXT ascii(const char* s) {
    LTEXT t;
    for (; *s; s++)
        t.push_back(static_cast<unsigned char>(*s));
    return t;
}

LTEXT ltext(const L_CHAR* s) {
    return s ? LTEXT(s) : LTEXT();
}

// A list headed by a symbol: its tag symbol, else null.
QV_SEXP* tag_of(QV_SEXP* x) {
    if (get_type(x) != QVT_PAIR) return nullptr;
    QV_SEXP* h = x->pair.car;
    return get_type(h) == QVT_SYMBOL ? h : nullptr;
}

// The columns of each key, in column order, with a cursor per record.
struct KEYED {
    std::vector<size_t> cols;
    size_t cursor = 0;
};

struct COLUMN_INDEX {
    std::map<LTEXT, KEYED> by_symbol;
    std::map<int, KEYED> by_type;

    void add(const CSV_FIELDS& f, size_t i) {
        if (f[i].has_symbol) by_symbol[f[i].symbol].cols.push_back(i);
        by_type[f[i].type].cols.push_back(i);
    }
    void new_record() {
        for (auto& [k, v] : by_symbol)
            v.cursor = 0;
        for (auto& [k, v] : by_type)
            v.cursor = 0;
    }
};

// The first column of the key that is not busy (busy(i) true), or -1; the cursor stays on it.
template <class BUSY>
long first_free(KEYED* k, BUSY busy) {
    if (!k) return -1;
    while (k->cursor < k->cols.size() && busy(k->cols[k->cursor]))
        k->cursor++;
    return k->cursor < k->cols.size() ? static_cast<long>(k->cols[k->cursor]) : -1;
}

KEYED* find_symbol(COLUMN_INDEX& ix, const L_CHAR* name) {
    auto it = ix.by_symbol.find(ltext(name));
    return it == ix.by_symbol.end() ? nullptr : &it->second;
}

KEYED* find_type(COLUMN_INDEX& ix, int type) {
    auto it = ix.by_type.find(type);
    return it == ix.by_type.end() ? nullptr : &it->second;
}

size_t append_column(CSV_FIELDS& f, COLUMN_INDEX& ix, LTEXT title, int type, const L_CHAR* sym) {
    CSV_FIELD_LIST c{std::move(title), type, ltext(sym), sym != nullptr, nullptr, 0};
    f.push_back(std::move(c));
    ix.add(f, f.size() - 1);
    return f.size() - 1;
}

// One record's share of generated columns: the columns it takes, new ones where none is free.
void generate_record(CSV_FIELDS& f, COLUMN_INDEX& ix, QV_SEXP* rec) {
    for (auto& c : f)
        c.flags = 0;
    ix.new_record();
    auto taken = [&f](size_t i) { return f[i].flags != 0; };
    auto take_type = [&](int type) {
        long i = first_free(find_type(ix, type), taken);
        if (i < 0) {
            char title[32];
            snprintf(title, sizeof title, "tp%i", type);
            i = static_cast<long>(append_column(f, ix, ascii(title), type, nullptr));
        }
        f[static_cast<size_t>(i)].flags = 1;
    };
    int rt = get_type(rec);
    if (rt == QVT_NIL) return;
    if (rt != QVT_PAIR) {
        take_type(rt);
        return;
    }
    if (!tag_of(rec)) return;
    for (QV_SEXP* c = rec->pair.cdr; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* child = c->pair.car;
        if (QV_SEXP* tag = tag_of(child)) {
            long i = first_free(find_symbol(ix, tag->symbol.data), taken);
            if (i < 0)
                i = static_cast<long>(
                    append_column(f, ix, ltext(tag->symbol.data), 0, tag->symbol.data));
            f[static_cast<size_t>(i)].flags = 1;
        } else {
            take_type(get_type(child));
        }
    }
}

// Fills the columns' data from one record.
void fill_record(CSV_FIELDS& f, COLUMN_INDEX& ix, QV_SEXP* rec) {
    for (auto& c : f) {
        c.data = nullptr;
        c.flags = 0;
    }
    ix.new_record();
    auto filled = [&f](size_t i) { return f[i].flags != 0; };
    auto put = [&f](long i, QV_SEXP* v) {
        if (i < 0) return;  // no column takes it: dropped
        f[static_cast<size_t>(i)].data = v;
        if (v) f[static_cast<size_t>(i)].flags = 1;
    };
    int rt = get_type(rec);
    if (rt == QVT_NIL) return;
    if (rt != QVT_PAIR) {
        put(first_free(find_type(ix, rt), filled), rec);
        return;
    }
    QV_SEXP* tag = tag_of(rec);
    if (!tag) return;
    put(first_free(find_type(ix, QVT_PAIR), filled), tag);
    for (QV_SEXP* c = rec->pair.cdr; get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* child = c->pair.car;
        if (QV_SEXP* t = tag_of(child)) {
            QV_SEXP* first =
                get_type(child->pair.cdr) == QVT_PAIR ? child->pair.cdr->pair.car : nullptr;
            put(first_free(find_symbol(ix, t->symbol.data), filled), first);
        } else {
            put(first_free(find_type(ix, get_type(child)), filled), child);
        }
    }
}

void append_ascii(LTEXT& out, const char* s) {
    for (; *s; s++)
        out.push_back(static_cast<unsigned char>(*s));
}

void append_cell(LTEXT& out, QV_SEXP* v) {
    char buf[64];
    switch (get_type(v)) {
        case QVT_NIL:
            return;
        case QVT_ERROR:
            append_ascii(out, "!!ERROR!!");
            return;
        case QVT_SYMBOL:
            out += ltext(v->symbol.data);
            return;
        case QVT_STRING:
            out += csv_convert_string(v->string.data);
            return;
        case QVT_INTEGER:
            snprintf(buf, sizeof buf, "%" PRId64, v->integer.data);
            append_ascii(out, buf);
            return;
        case QVT_FLOAT:
            snprintf(buf, sizeof buf, "%f", v->floating.data);
            append_ascii(out, buf);
            return;
        default:
            snprintf(buf, sizeof buf, "!!D(%i)!!", get_type(v));
            append_ascii(out, buf);
            return;
    }
}

LTEXT header_line(const CSV_FIELDS& f) {
    LTEXT out;
    for (size_t i = 0; i < f.size(); i++) {
        if (i) out.push_back(',');
        out += f[i].title;
    }
    append_ascii(out, "\n\n");
    return out;
}

LTEXT record_line(const CSV_FIELDS& f) {
    LTEXT out;
    for (size_t i = 0; i < f.size(); i++) {
        if (i) out.push_back(',');
        append_cell(out, f[i].data);
    }
    out.push_back('\n');
    return out;
}

// Walks the records, handing each line to emit; stops when emit returns false.
template <class EMIT>
void csv_lines(QV_SEXP* list, CSV_FIELDS& fields, EMIT emit) {
    COLUMN_INDEX ix;
    for (size_t i = 0; i < fields.size(); i++)
        ix.add(fields, i);
    if (!emit(header_line(fields))) return;
    for (QV_SEXP* p = list; get_type(p) == QVT_PAIR; p = p->pair.cdr) {
        fill_record(fields, ix, p->pair.car);
        if (!emit(record_line(fields))) return;
    }
}

QV_SEXP* save_error(QV_SEXP* form, uint32_t code, const char* msg, QV_SEXP* detail) {
    return eval_error(form, code, "Save", list(n_get_string(msg), detail, nullptr));
}

QV_SEXP* type_error(QV_SEXP* form, int which) {
    return save_error(form, QVE_TYPE_MISMATCH, "save:type missmatch", get_integer(which, nullptr));
}

QV_SEXP* access_error(QV_SEXP* form, QV_SEXP* name) {
    return save_error(form, QVE_CANNOT_ACCESS, "cannot access the file", name);
}

// The words of an `oflag` value as open flags; false for an unknown or empty word.
bool parse_oflag(const L_CHAR* text, int* flags) {
    *flags = 0;
    LTEXT t = ltext(text);
    size_t from = 0;
    for (;;) {
        size_t end = t.find(':', from);
        LTEXT word = t.substr(from, end == LTEXT::npos ? LTEXT::npos : end - from);
        if (word == ascii("creat"))
            *flags |= O_CREAT;
        else if (word == ascii("trunc"))
            *flags |= O_TRUNC;
        else if (word == ascii("append"))
            *flags |= O_APPEND;
        else
            return false;
        if (end == LTEXT::npos) return true;
        from = end + 1;
    }
}

// A `mode` value read as "%i" reads it (decimal, 0x hexadecimal, 0 octal); false when it is no
// number (or beyond the int range). Only permission bits are kept.
bool parse_mode(const L_CHAR* text, int* mode) {
    std::string s;
    for (const L_CHAR* p = text; p && *p && s.size() < 64; p++) {
        if (*p > 0x7f) break;
        s.push_back(static_cast<char>(*p));
    }
    // A number beyond the int range is no mode either, never the bits of its low 32.
    int v;
    if (read_prefix_int(s, &v) != NUM_OK) return false;
    *mode = v & 07777;
    return true;
}

// The raw list walked and written. The call's own form lets go of the list's head, and the
// walk keeps only its position, so the blocks already written become collectable: a lazy list
// of any length is copied in flat memory (a list bound elsewhere stays whole through that
// binding).
QV_SEXP* save_raw(QV_SEXP* form, STREAM* st, QV_SEXP* name) {
    QV_SEXP* cell = form_rest(form, 2);
    QV_SEXP* p = cell->pair.car;
    if (get_type(p) != QVT_PAIR && get_type(p) != QVT_NIL) return type_error(form, 5);
    gc_push(nullptr, nullptr, "save raw");
    gc_set(p, gc_vx_sexp);
    lock_mem();
    cell->pair.car = nullptr;
    unlock_mem();
    QV_SEXP* r = nullptr;
    for (;;) {
        int t = get_type(p);
        if (t == QVT_NIL) break;
        if (t != QVT_PAIR) {
            r = t == QVT_ERROR ? p : type_error(form, 6);
            break;
        }
        QV_SEXP* e = p->pair.car;
        int et = get_type(e);
        if (et == QVT_ERROR) {
            r = e;
            break;
        }
        if (et != QVT_RAW) {
            r = type_error(form, 6);
            break;
        }
        if (qv_save_write(st, e) < 0) {
            r = access_error(form, name);
            break;
        }
        QV_SEXP* next = p->pair.cdr;
        gc_set(next, gc_vx_sexp);
        gc_delete(p);
        p = next;
    }
    gc_pop(r, gc_vx_sexp);
    return r;
}

}  // namespace

LTEXT csv_convert_string(const L_CHAR* text) {
    LTEXT out;
    bool quote = false;
    for (const L_CHAR* p = text; p && *p; p++)
        if (*p == '"' || *p == ',') quote = true;
    if (quote) out.push_back('"');
    for (const L_CHAR* p = text; p && *p; p++) {
        L_CHAR c = *p;
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        if (c == '"') out.push_back('"');  // doubled inside the quotes, as CSV readers expect
        out.push_back(c);
    }
    if (quote) out.push_back('"');
    return out;
}

CSV_FIELDS csv_generate_field_list(QV_SEXP* list) {
    CSV_FIELDS f;
    COLUMN_INDEX ix;
    append_column(f, ix, ascii("RECORD-TYPE"), QVT_PAIR, nullptr);
    for (QV_SEXP* p = list; get_type(p) == QVT_PAIR; p = p->pair.cdr)
        generate_record(f, ix, p->pair.car);
    return f;
}

CSV_FIELDS csv_get_field_list(QV_SEXP* list) {
    CSV_FIELDS f;
    COLUMN_INDEX ix;
    for (QV_SEXP* p = list; get_type(p) == QVT_PAIR; p = p->pair.cdr) {
        QV_SEXP* e = p->pair.car;
        QV_SEXP* tag = tag_of(e);
        if (!tag) continue;
        QV_SEXP* first = get_type(e->pair.cdr) == QVT_PAIR ? e->pair.cdr->pair.car : nullptr;
        switch (get_type(first)) {
            case QVT_STRING:
                append_column(f, ix, ltext(tag->symbol.data), QVT_PAIR, first->string.data);
                break;
            case QVT_SYMBOL:
                append_column(f, ix, ltext(tag->symbol.data), QVT_PAIR, first->symbol.data);
                break;
            case QVT_INTEGER: {
                int64_t v = first->integer.data;
                int type = v < INT32_MIN || v > INT32_MAX ? -1 : static_cast<int>(v);
                append_column(f, ix, ltext(tag->symbol.data), type, nullptr);
                break;
            }
            default:
                break;
        }
    }
    return f;
}

LTEXT csv_text(QV_SEXP* list, CSV_FIELDS& fields) {
    LTEXT all;
    csv_lines(list, fields, [&all](const LTEXT& line) {
        all += line;
        return true;
    });
    return all;
}

int qv_save_csv_pat1(STREAM* st, QV_SEXP* list, CSV_FIELDS& fields) {
    S_PRINTF_SAT sat;
    if (new_spsat(&sat, st) < 0) return -1;
    bool ok = true;
    csv_lines(list, fields, [&](const LTEXT& line) {
        ok = write_spsat(&sat, line.data(), static_cast<int>(line.size())) == 0;
        return ok;
    });
    int err = 0;
    if (finish_spsat(&sat, &err) < 0) ok = false;
    return ok ? 0 : -1;
}

int qv_save_write(STREAM* st, QV_SEXP* raw) {
    const uint8_t* data = raw->raw.data;
    int left = raw->raw.size;
    while (left > 0) {
        int n = s_write(st, data, left);
        if (n <= 0 || n > left) return -1;
        data += n;
        left -= n;
    }
    return 0;
}

QV_SEXP* qv_Save(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int type = SAVE_QV;
    int oflags = 0;
    int mode = DEFAULT_MODE;
    int pflags = PF_LINES;
    CODE_METHOD* encode = nullptr;
    for (QV_SYM_FIELD* f = attr; f; f = f->next) {
        const L_CHAR* v = f->data;
        if (text_is(f->name, "option")) {
            if (text_is(v, "raw"))
                type = SAVE_RAW;
            else if (text_is(v, "qv"))
                type = SAVE_QV;
            else if (text_is(v, "csv"))
                type = SAVE_CSV;
            else
                return bltn_error_l(form, QVE_INVALID_PARAMETER, "Save", "invalid parameter");
        } else if (text_is(f->name, "oflag")) {
            if (!parse_oflag(v, &oflags))
                return bltn_error_l(form, QVE_INVALID_PARAMETER, "Save", "invalid parameter");
        } else if (text_is(f->name, "mode")) {
            parse_mode(v, &mode);
        } else if (text_is(f->name, "format.mode")) {
            if (text_is(v, "lisp")) pflags = pflags & ~3;
            if (text_is(v, "xml")) pflags = (pflags & ~3) | PF_XML;
            if (text_is(v, "html")) pflags = (pflags & ~3) | PF_HTML;
        } else if (text_is(f->name, "format.indent")) {
            if (text_is(v, "on")) pflags |= PF_PRETTY;
            if (text_is(v, "off")) pflags &= ~PF_PRETTY;
        } else if (text_is(f->name, "format.multiroot")) {
            if (text_is(v, "on")) pflags |= PF_LINES;
            if (text_is(v, "off")) pflags &= ~PF_LINES;
        } else if (text_is(f->name, "format.text")) {
            if (text_is(v, "on")) pflags |= PF_BARE;
            if (text_is(v, "off")) pflags &= ~PF_BARE;
        } else if (text_is(f->name, "encoding")) {
            encode = v ? search_cm(n_string(std_cm, v)) : nullptr;
        }
    }
    QV_SEXP* name = get_el(form, 1);
    if (is_error(name)) return name;
    if (get_type(name) != QVT_STRING) return type_error(form, 1);
    STREAM* st = s_open_file(n_string(std_cm, name->string.data), O_RDWR | oflags, mode);
    if (!st) return access_error(form, name);
    if (encode) s_set_cm(st, encode);
    QV_SEXP* data = get_el(form, 2);
    QV_SEXP* r = nullptr;
    // A write that fails in any form (qv and csv too, and the close that writes what is left)
    // answers "cannot access the file": a full disk must not be reported as a saved file.
    switch (type) {
        case SAVE_QV:
            if (is_error(data))
                r = data;
            else if (print_sexp(st, data, pflags) < 0)
                r = access_error(form, name);
            break;
        case SAVE_CSV: {
            // An error in place of the records is answered, as for the other forms, rather
            // than written as a file of no records.
            if (is_error(data)) {
                r = data;
                break;
            }
            CSV_FIELDS fields = form_rest(form, 3) && get_type(form_rest(form, 3)) == QVT_PAIR
                                    ? csv_get_field_list(get_el(form, 3))
                                    : csv_generate_field_list(data);
            if (qv_save_csv_pat1(st, data, fields) < 0) r = access_error(form, name);
            break;
        }
        default:
            r = is_error(data) ? data : save_raw(form, st, name);
            break;
    }
    if (s_close(st) < 0 && !r) r = access_error(form, name);
    return r;
}

void init_Save(QVISP_ENV* env) {
    bind_prim(env, "Save", qv_Save, FUNC_APPLICATIVE, 3, 4);
}
