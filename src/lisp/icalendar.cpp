// The iCalendar reader: characters with unfolding, terms, content lines, items, and the
// generator that rewrites the pending nodes of the open components.
//
// The reader's nodes and its open components change under the parse lock (and the memory lock for
// the components), which keeps the parser and the collector from seeing them half changed; the
// rest of its state belongs to the task the parser lets run the generator.
#include "lisp/icalendar.h"

#include <cstring>

#include "base/panic.h"
#include "lisp/collect.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "longchar/codemethod.h"
#include "stream/streamio.h"

namespace {

// The reading is over: the decoder and the stream are released.
void end_reading(QV_CAL* cal) {
    if (cal->cm_work) cal->cm->close(nullptr, cal->cm_work);
    cal->cm_work = nullptr;
    if (cal->st) s_close(cal->st);
    cal->st = nullptr;
}

// Close hook of the reader's record. The record and the reader's state keep each other: the
// realised nodes reach the record, the pending ones the state. Once neither is reachable the
// collector closes the record; the reading will never go on, and the stream goes to the stream
// layer's close task (a collection must not wait for a stream).
void close_reader(int why, void* work) {
    auto* cal = static_cast<QV_CAL*>(work);
    if (why == 2) {
        qvcal_gc(&cal->h);
        return;
    }
    if (cal->cm_work) cal->cm->close(nullptr, cal->cm_work);
    cal->cm_work = nullptr;
    s_close_queue(cal->st);
    cal->st = nullptr;
}

void gc_qv_cal_block(void* p) {
    qvcal_gc(static_cast<DELAY_FUNC*>(p));
}

// A new pending node of the reader, on its record (made with the first node).
QV_SEXP* new_pending(QV_CAL* cal) {
    if (!cal->file) {
        QV_SEXP* d = init_delay_func(&cal->h);
        lock_mem();
        cal->file = d->h.file;
        unlock_mem();
        set_close_func(cal->file, close_reader, cal);
        return d;
    }
    lock_mem();
    QV_SEXP* d = get_sexp(cal->file, QVT_DELAY);
    d->delay.dtype = DELAY_GENERATOR;
    d->delay.d.func = &cal->h;
    unlock_mem();
    return d;
}

// A pair whose source is the reader's record: what a pending node becomes keeps the record.
QV_SEXP* new_pair(QV_CAL* cal, QV_SEXP* car, QV_SEXP* cdr) {
    lock_mem();
    QV_SEXP* p = get_sexp(cal->file, QVT_PAIR);
    p->pair.car = car;
    p->pair.cdr = cdr;
    unlock_mem();
    return p;
}

// ---------------------------------------------------------------- values

std::vector<L_CHAR> ltext(const char* s) {
    std::vector<L_CHAR> t;
    for (; *s; s++)
        t.push_back(static_cast<unsigned char>(*s));
    t.push_back(0);
    return t;
}

QV_SEXP* cal_error(const char* what, QV_SEXP* data) {
    std::vector<L_CHAR> func = ltext(what);
    return get_error(nullptr, 0, QVE_ICALENDAR, func.data(), data);
}

QV_SEXP* cal_error_int(const char* what, int64_t n) {
    return cal_error(what, get_integer(n, nullptr));
}

// The error of a term that could not be read.
QV_SEXP* term_error(QV_CAL* cal, int pos) {
    if (pos == QVCAL_TERM_TOO_LONG)
        return cal_error_int("iCalendar parser (line too long)", QVCAL_LINE_MAX);
    return cal_error_int("iCalendar parser (read error)", cal->read_state);
}

bool same(const std::vector<L_CHAR>& t, const char* s) {
    size_t i = 0;
    for (; s[i]; i++)
        if (i >= t.size() || t[i] != static_cast<unsigned char>(s[i])) return false;
    return i < t.size() && t[i] == 0;
}

bool is_break(L_CHAR c) {
    return c == '\r' || c == '\n';
}

// One character with the folds removed: a line break (CR, LF or CRLF) followed by a space or a
// tab vanishes with it; any other line break is returned as '\n'.
int getc_unfolded(QV_CAL* cal, L_CHAR* c) {
    for (;;) {
        int r = qvcal_read(cal, c);
        if (r < 1 || !is_break(*c)) return r;
        L_CHAR first = *c;
        L_CHAR n;
        *c = '\n';
        // A failure or the end after a line break is reported by the next call.
        if (qvcal_read(cal, &n) < 1) return 1;
        if (first == '\r' && n == '\n' && qvcal_read(cal, &n) < 1) return 1;
        if (n == ' ' || n == '\t') continue;
        qvcal_push(cal, n);
        return 1;
    }
}

// After a content line: blank lines are skipped up to the next line's first character.
void end_line(QV_CAL* cal) {
    L_CHAR c;
    while (getc_unfolded(cal, &c) == 1)
        if (c != '\n') {
            qvcal_push(cal, c);
            return;
        }
}

// The rest of the line after a parameter list ended without a value: (NAME).
int valueless(QV_CAL* cal, int pos, int line_break, QV_SEXP* name, QV_SEXP** x) {
    if (pos == line_break) end_line(cal);
    *x = list(name, nullptr);
    return QVCAL_LINE_PROPERTY;
}

// A component opens: its pending node is pushed as the innermost open component.
QV_SEXP* open_component(QV_CAL* cal, QV_SEXP* name) {
    QV_SEXP* d = new_pending(cal);
    auto* e = static_cast<QV_CAL_STACK*>(mmalloc(sizeof(QV_CAL_STACK), gc_qv_cal_stack));
    lock_parse();
    lock_mem();
    e->delay = d;
    e->next = cal->stack;
    cal->stack = e;
    cal->depth++;
    unlock_mem();
    unlock_parse("qvcal");
    return cons(name, d);
}

// The reading ended with err: every open component gets it as its last item.
void fail_all(QV_CAL* cal, QV_SEXP* err) {
    QV_SEXP* last = cal->file ? new_pair(cal, err, nullptr) : nullptr;
    lock_parse();
    while (QV_CAL_STACK* e = cal->stack) {
        lock_mem();
        cal->stack = e->next;
        cal->depth--;
        unlock_mem();
        over_write_sexp(e->delay, last);
    }
    unlock_parse("qvcal");
}

// Reads the next item into the innermost open component e, whose pending node is p.
void read_into(QV_CAL* cal, QV_CAL_STACK* e) {
    gc_push(nullptr, nullptr, "qvcal step");
    QV_SEXP* p = e->delay;
    QV_SEXP* item = nullptr;
    switch (get_cal_component(cal, &item)) {
        case QVCAL_ITEM: {
            QV_SEXP* d = new_pending(cal);
            QV_SEXP* pair = new_pair(cal, item, d);
            lock_parse();
            lock_mem();
            e->delay = d;  // e stays the component p belonged to, even below a new BEGIN
            unlock_mem();
            over_write_sexp(p, pair);
            unlock_parse("qvcal");
            break;
        }
        case QVCAL_CLOSE:
            lock_parse();
            lock_mem();
            cal->stack = e->next;
            cal->depth--;
            unlock_mem();
            over_write_sexp(p, nullptr);
            unlock_parse("qvcal");
            if (!cal->stack) end_reading(cal);
            break;
        default:
            fail_all(cal, item);
            break;
    }
    gc_pop(nullptr, nullptr);
}

}  // namespace

// ---------------------------------------------------------------- characters

int qvcal_read(QV_CAL* cal, L_CHAR* c) {
    if (cal->push_chr_flag) {
        cal->push_chr_flag = 0;
        *c = cal->push_chr;
        return 1;
    }
    for (;;) {
        while (cal->bptr < cal->buffer_len)
            if (cal->cm->to_internal(c, cal->cm_work, cal->buffer[cal->bptr++])) return 1;
        if (cal->read_state < 1) return cal->read_state;
        if (!cal->st) return 0;
        int n = s_read(cal->st, cal->buffer, QVCAL_BUFFER);
        if (n < 1 || n > QVCAL_BUFFER) {
            cal->read_state = n > QVCAL_BUFFER ? -1 : n;
            cal->buffer_len = cal->bptr = 0;
            return cal->read_state;
        }
        cal->buffer_len = n;
        cal->bptr = 0;
    }
}

void qvcal_push(QV_CAL* cal, L_CHAR c) {
    if (cal->push_chr_flag) er_panic("qvcal_push");
    cal->push_chr = c;
    cal->push_chr_flag = 1;
}

// ---------------------------------------------------------------- terms and lines

int get_term(QV_CAL* cal, const char* terms, bool quoted, std::vector<L_CHAR>& text) {
    text.clear();
    text.reserve(10);
    bool in_quotes = false;
    int pos;
    for (;;) {
        L_CHAR c;
        int r = getc_unfolded(cal, &c);
        if (r < 1) {
            pos = r == 0 ? QVCAL_TERM_END : QVCAL_TERM_FAILED;
            break;
        }
        if (++cal->line_len > QVCAL_LINE_MAX) {
            pos = QVCAL_TERM_TOO_LONG;
            break;
        }
        if (c == '\\') {
            L_CHAR n;
            r = getc_unfolded(cal, &n);
            if (r < 1) {
                pos = r == 0 ? QVCAL_TERM_END : QVCAL_TERM_FAILED;
                break;
            }
            if (n != '\n') {
                text.push_back(n == 'n' ? '\n' : n == 't' ? '\t' : n);
                continue;
            }
            // A line break cannot be escaped: the backslash stays and the break ends the term.
            text.push_back('\\');
            c = n;
        }
        if (quoted && c == '"') {
            in_quotes = !in_quotes;
            continue;
        }
        const char* hit = c < 0x80 && c != 0 ? strchr(terms, static_cast<int>(c)) : nullptr;
        if (hit && (!in_quotes || c == '\n')) {
            pos = static_cast<int>(hit - terms);
            break;
        }
        text.push_back(c);
    }
    text.push_back(0);
    return pos;
}

int get_cal_line(QV_CAL* cal, QV_SEXP** x) {
    *x = nullptr;
    cal->line_len = 0;
    std::vector<L_CHAR> t;
    int pos = get_term(cal, ":;\n", false, t);
    if (pos < QVCAL_TERM_END) {
        *x = term_error(cal, pos);
        return QVCAL_LINE_ERROR;
    }
    if (pos != 0 && pos != 1) return QVCAL_LINE_NONE;
    int status = same(t, "BEGIN") ? QVCAL_LINE_BEGIN
                 : same(t, "END") ? QVCAL_LINE_END
                                  : QVCAL_LINE_PROPERTY;
    QV_SEXP* name = nullptr;
    if (status == QVCAL_LINE_PROPERTY) {
        name = get_symbol(t.data());
    } else if (pos == 1) {
        *x = cal_error(status == QVCAL_LINE_BEGIN ? "iCalendar parser (BEGIN with parameter)"
                                                  : "iCalendar parser (END with parameter)",
                       nullptr);
        return QVCAL_LINE_ERROR;
    }
    while (pos == 1) {
        std::vector<L_CHAR> pname, pvalue;
        pos = get_term(cal, "=\n", false, pname);
        if (pos < QVCAL_TERM_END) {
            *x = term_error(cal, pos);
            return QVCAL_LINE_ERROR;
        }
        if (pos != 0) return valueless(cal, pos, 1, name, x);
        pos = get_term(cal, ";:\n", true, pvalue);
        if (pos < QVCAL_TERM_END) {
            *x = term_error(cal, pos);
            return QVCAL_LINE_ERROR;
        }
        set_attribute(name, pname.data(), pvalue.data());
        if (pos == 1) break;
        if (pos != 0) return valueless(cal, pos, 2, name, x);
        pos = 1;  // ';': the next parameter
    }
    pos = get_term(cal, "\n", false, t);
    if (pos < QVCAL_TERM_END) {
        *x = term_error(cal, pos);
        return QVCAL_LINE_ERROR;
    }
    if (pos == 0) end_line(cal);
    if (status != QVCAL_LINE_PROPERTY) {
        *x = get_symbol(t.data());
        return status;
    }
    *x = list(name, get_string(t.data()), nullptr);
    return status;
}

int get_cal_component(QV_CAL* cal, QV_SEXP** item) {
    QV_SEXP* x = nullptr;
    int status = get_cal_line(cal, &x);
    *item = nullptr;
    switch (status) {
        case QVCAL_LINE_ERROR:
            end_reading(cal);
            *item = x;
            return QVCAL_FAILED;
        case QVCAL_LINE_END:
            if (!cal->stack) end_reading(cal);
            return QVCAL_CLOSE;
        case QVCAL_LINE_PROPERTY:
            if (!cal->stack) end_reading(cal);
            *item = x;
            return QVCAL_ITEM;
        case QVCAL_LINE_BEGIN:
            if (cal->depth >= QVCAL_MAX_DEPTH) {
                end_reading(cal);
                *item = cal_error_int("iCalendar parser (nesting too deep)", QVCAL_MAX_DEPTH);
                return QVCAL_FAILED;
            }
            *item = open_component(cal, x);
            return QVCAL_ITEM;
        default:
            end_reading(cal);
            *item = cal_error_int("iCalendar parser (invalid property)", status);
            return QVCAL_FAILED;
    }
}

// ---------------------------------------------------------------- generator

QV_SEXP* qvcal_load(QV_SEXP* s) {
    // The parser runs this with the reader's record marked busy: no other task touches the
    // reader meanwhile.
    if (sexp_raw_type(s) != QVT_DELAY) return s;
    auto* cal = reinterpret_cast<QV_CAL*>(s->delay.d.func);
    gc_push(nullptr, nullptr, "qvcal_load");
    gc_set(cal, gc_qv_cal_block);
    // Every delayed node of the reader is the pending node of an open component. Until s is
    // realised the innermost component reads on: components inside the one of s are read to
    // their END first.
    while (sexp_raw_type(s) == QVT_DELAY) {
        QV_CAL_STACK* e = cal->stack;
        if (!e) er_panic("qvcal_load");
        read_into(cal, e);
    }
    gc_pop(nullptr, nullptr);
    return s;
}

void qvcal_gc(DELAY_FUNC* df) {
    if (!df || !gc_mark_block(df)) return;
    auto* cal = reinterpret_cast<QV_CAL*>(df);
    gc_vx_file(cal->file);
    gc_qv_cal_stack(cal->stack);
}

void gc_qv_cal_stack(void* p) {
    for (auto* e = static_cast<QV_CAL_STACK*>(p); e && gc_mark_block(e); e = e->next)
        gc_vx_sexp(e->delay);
}

// ---------------------------------------------------------------- start

QV_SEXP* get_cal(STREAM* st, CODE_METHOD* cm) {
    init_parse_system();
    gc_push(nullptr, nullptr, "get_cal");
    QV_SEXP* item = nullptr;
    if (!st) {
        item = cal_error_int("iCalendar parser (read error)", -1);
    } else {
        auto* cal = static_cast<QV_CAL*>(mmalloc(sizeof(QV_CAL), gc_qv_cal_block));
        cal->h = {qvcal_load, qvcal_gc, nullptr};
        cal->st = st;
        cal->cm = cm ? cm : &utf8_cm;
        cal->cm_work = cal->cm->open();
        cal->read_state = 1;
        if (get_cal_component(cal, &item) == QVCAL_FAILED) fail_all(cal, item);
    }
    gc_pop(item, gc_vx_sexp);
    return item;
}
