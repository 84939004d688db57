// Load: the built-in, the loader shared with the file getter, the raw and text generators, the
// terminator matcher, escape decoding and the collector hooks of lazy loads.
//
// A lazy load's delayed nodes all belong to one generator record of the reader (made with the
// first node), so that the reader lets one task at a time run the generator and other tasks
// looking at the same node wait for it. Each generator call rewrites its node in place into
// (piece . next delayed node) or into the end of the list; the load's state is reachable only
// through the pending node, so the pieces a consumer has passed are collectable.
#include "builtins/load.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/alloc.h"
#include "base/confpath.h"
#include "builtins/bltn_util.h"
#include "builtins/control.h"
#include "builtins/get.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/gchooks.h"
#include "lisp/heap.h"
#include "lisp/icalendar.h"
#include "lisp/lexer.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "longchar/longchar.h"
#include "stream/file_stream.h"
#include "stream/streamio.h"

namespace {

bool is_error(QV_SEXP* s) {
    return get_type(s) == QVT_ERROR;
}

SEM df_lock;
DELAY_LOAD_T* df_list;  // newest first, under df_lock

// Order key of df_lock among the collector's locks: the loader holds it alone, only to link.
constexpr int GC_LOCK_LOAD = 350;

// The longest text record kept in memory, in characters: a longer one ends the load with an
// error item instead of exhausting the agent's memory.
constexpr size_t LOAD_TEXT_MAX = size_t{1} << 26;

// Reads that fail with EINTR or EAGAIN are repeated, but not for ever.
constexpr int READ_RETRIES = 1000;

struct LOAD_TYPE_NAME {
    const char* name;
    int type;
};
constexpr LOAD_TYPE_NAME load_types[] = {
    {"raw", LOAD_RAW},
    {"qv", LOAD_QV},
    {"exec", LOAD_EXEC},
    {"text", LOAD_TEXT},
    {"html", LOAD_HTML},
    {"text.escape", LOAD_TEXT_ESCAPE},
    {"icalendar", LOAD_ICALENDAR},
};

void gc_load_block(void* p) {
    qv_load_gc(static_cast<DELAY_FUNC*>(p));
}

void lock_df() {
    lock_task(df_lock);
}
void unlock_df() {
    unlock_task(df_lock, "collector");
}

// The source name of the record the form was read from, as a copy (empty when none).
std::vector<L_CHAR> source_name(QV_SEXP* form) {
    std::vector<L_CHAR> name;
    const QV_READER_HOOKS* h = get_reader_hooks();
    lock_mem();
    QV_FILE* f = form ? form->h.file : nullptr;
    const L_CHAR* n = f && h && h->file_name ? h->file_name(f) : nullptr;
    for (; n && *n; n++)
        name.push_back(*n);
    unlock_mem();
    name.push_back(0);
    return name;
}

// The load is over: the close function is told, the stream closed, the decoder released.
void end_load(DELAY_LOAD_T* t) {
    // The collector calls the close function with 2 while it marks the load: the function and
    // its data are taken out under the memory lock, which excludes marking, before the data goes.
    lock_mem();
    LOAD_CLOSE_FUNC func = t->close_func;
    void* work = t->work;
    t->close_func = nullptr;
    t->work = nullptr;
    unlock_mem();
    if (func) func(1, work);
    if (t->st) s_close(t->st);
    t->st = nullptr;
    if (t->cm_work) t->cm->close(nullptr, t->cm_work);
    t->cm_work = nullptr;
}

void free_text_state(DELAY_LOAD_T* t) {
    if (t->term_a) free_automaton(t->term_a);
    t->term_a = nullptr;
    free(t->backbuffer);
    t->backbuffer = nullptr;
    t->bb_size = t->bb_ptr = 0;
}

// A new pending node of the load, on its record.
QV_SEXP* new_pending(DELAY_LOAD_T* t) {
    lock_mem();
    QV_SEXP* d = get_sexp(t->file, QVT_DELAY);
    d->delay.dtype = DELAY_GENERATOR;
    d->delay.d.func = &t->h;
    unlock_mem();
    return d;
}

// The node d becomes v (a pair, or nil for null).
void settle(QV_SEXP* d, QV_SEXP* v) {
    lock_parse();
    over_write_sexp(d, v);
    unlock_parse("load");
}

QV_SEXP* read_error(QV_SEXP* d) {
    return eval_error(d, QVE_CANNOT_READ, "load",
                      list(n_get_string("cannot read the file"), nullptr));
}

// One read, repeated while it is interrupted.
int read_some(STREAM* st, void* buf, int len) {
    for (int tries = 0;; tries++) {
        int n = s_read(st, buf, len);
        if (n >= 0 || (errno != EINTR && errno != EAGAIN) || tries >= READ_RETRIES) return n;
    }
}

// One long character of a text load: 1 with *ch set, 0 at the end of the file, negative when a
// read failed. The bytes are read a block at a time into the load's own buffer (the stream
// belongs to the load alone) and fed to the decoder one by one.
int load_long_char(L_CHAR* ch, DELAY_LOAD_T* t) {
    for (;;) {
        while (t->rb_ptr < t->rb_len)
            if (t->cm->to_internal(ch, t->cm_work, t->rb[t->rb_ptr++])) return 1;
        if (!t->st) return 0;
        int n = read_some(t->st, t->rb, LOAD_BLOCK);
        if (n < 0 || n > LOAD_BLOCK) return -1;
        if (n == 0) return 0;
        t->rb_len = n;
        t->rb_ptr = 0;
    }
}

// The matcher over data from the candidate start sc->stptr on. At the end of the text a match
// that could still grow waits for more (SC_MORE), unless the text is complete (at_end), where
// the longest match found stands. Every start the text read so far allows is tried at once, and
// at the end of the file a match still waiting for more ends the record: the terminator never
// stays in the last record (as it would if one start were tried per character and a waiting
// match were left as it stood).
int check_from(STATE_CHECKER* sc, const L_CHAR* data, int len, bool at_end) {
    while (sc->stptr < len) {
        A_STATE* s = sc->start;
        int best = -1;
        int i = sc->stptr;
        if (sc->state) {
            s = sc->state;
            best = sc->best;
            i = sc->pos;
        }
        for (; i < len; i++) {
            s = get_next_state(s, data[i]);
            if (!s) break;
            if (s->flags & A_FINAL) best = i + 1;
        }
        if (s && i == len && !at_end) {
            if ((s->flags & A_FINAL) && s->table_size == 0) {
                sc->endptr = len;
                sc->state = nullptr;
                return SC_MATCH;
            }
            sc->state = s;
            sc->pos = len;
            sc->best = best;
            return SC_MORE;
        }
        sc->state = nullptr;
        // best is behind at least one character: an empty match never ends a record.
        if (best > 0) {
            sc->endptr = best;
            return SC_MATCH;
        }
        sc->stptr++;
    }
    return SC_NO_MATCH;
}

int check_terminator(STATE_CHECKER* sc, const L_CHAR* data, int len, bool at_end) {
    if (!sc->start && sc->a) sc->start = search_state(sc->a, A_INITIAL);
    if (!sc->start) {
        sc->stptr = len;
        return SC_NO_MATCH;
    }
    return check_from(sc, data, len, at_end);
}

// The characters behind a terminator match go back in front of what remains of the back buffer.
void push_back(DELAY_LOAD_T* t, const L_CHAR* chars, int n) {
    int rest = t->bb_size > t->bb_ptr ? t->bb_size - t->bb_ptr : 0;
    if (n + rest == 0) {
        free(t->backbuffer);
        t->backbuffer = nullptr;
        t->bb_size = t->bb_ptr = 0;
        return;
    }
    auto* nb = static_cast<L_CHAR*>(malloc(static_cast<size_t>(n + rest) * sizeof(L_CHAR)));
    if (!nb) abort();
    if (n) memcpy(nb, chars, static_cast<size_t>(n) * sizeof(L_CHAR));
    if (rest) memcpy(nb + n, t->backbuffer + t->bb_ptr, static_cast<size_t>(rest) * sizeof(L_CHAR));
    free(t->backbuffer);
    t->backbuffer = nb;
    t->bb_size = n + rest;
    t->bb_ptr = 0;
}

// A string of the n characters at s, or null when the heap refuses the block.
QV_SEXP* text_string(const L_CHAR* s, size_t n) {
    auto* b = static_cast<L_CHAR*>(
        heap_try_alloc(static_cast<int64_t>((n + 1) * sizeof(L_CHAR)), gc_text));
    if (!b) return nullptr;
    if (n) memcpy(b, s, n * sizeof(L_CHAR));
    b[n] = 0;
    return get_string_set_data(b);
}

bool is_hex(L_CHAR c, uint32_t* v) {
    if (c >= '0' && c <= '9')
        *v = c - '0';
    else if (c >= 'a' && c <= 'f')
        *v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        *v = c - 'A' + 10;
    else
        return false;
    return true;
}

// The top-level delayed node's record.
QV_FILE* top_record(QV_SEXP* top) {
    if (sexp_raw_type(top) == QVT_DELAY &&
        (top->delay.dtype == DELAY_LIST || top->delay.dtype == DELAY_QUOTE))
        return top->delay.d.file.f;
    return top ? top->h.file : nullptr;
}

// Evaluates the items of the list top in env in order: the value of the last, nil for none. The
// first error value ends the walk; a loop break ends it quietly with its value. The items passed
// are dropped from the frame, so a long file does not stay in memory behind the walk.
QV_SEXP* exec_list(QVISP_ENV* env, QV_SEXP* top) {
    QV_SEXP* p = top;
    QV_SEXP* result = nullptr;
    gc_set(p, gc_vx_sexp);
    for (;;) {
        int t = get_type(p);
        if (t != QVT_PAIR) {
            if (t == QVT_ERROR && p->error.code != QVE_END_OF_INPUT) result = p;
            break;
        }
        QV_SEXP* item = p->pair.car;
        if (is_error(item) && item->error.code == QVE_END_OF_INPUT) break;
        QV_SEXP* v = is_error(item) ? item : eval(env, item);
        gc_set(v, gc_vx_sexp);
        if (result != v) gc_delete(result);
        result = v;
        if (is_error(v)) break;
        QV_SEXP* next = p->pair.cdr;
        gc_set(next, gc_vx_sexp);
        gc_delete(p);
        p = next;
    }
    if (is_error(result) && result->error.code == QVE_LOOP_BREAK) result = result->error.data;
    return result;
}

}  // namespace

// ------------------------------------------------------------------------------------------------

int en_state_checker(STATE_CHECKER* sc, const L_CHAR* data, int len) {
    return check_terminator(sc, data, len, false);
}

int escape_handling(L_CHAR* text, int len) {
    int w = 0;
    for (int i = 0; i < len;) {
        if (text[i] == '&' && i + 2 < len && (text[i + 1] == 'c' || text[i + 1] == 'C') &&
            (text[i + 2] == 'x' || text[i + 2] == 'X')) {
            int j = i + 3;
            uint32_t v = 0;
            uint32_t d;
            int digits = 0;
            bool wide = false;
            while (j < len && is_hex(text[j], &d)) {
                if (v > 0x0fffffffu) wide = true;
                v = v * 16 + d;
                j++;
                digits++;
            }
            // Decoded: digits whose value fits 32 bits (leading zeros count for nothing), closed
            // by ';' or the end of the text. Without digits, with a wider value or with the value
            // 0 (which would end the text) the escape stays.
            if (digits >= 1 && !wide && v != 0 && (j == len || text[j] == ';')) {
                text[w++] = v;
                i = j < len ? j + 1 : j;
                continue;
            }
            for (int k = 0; k < 3; k++)
                text[w++] = text[i++];
            continue;
        }
        text[w++] = text[i++];
    }
    return w;
}

int set_encoding(QV_SEXP* list) {
    QV_SEXP* p = list;
    for (int n = 0; n < 2 && get_type(p) == QVT_PAIR; n++, p = p->pair.cdr) {
        QV_SEXP* e = p->pair.car;
        if (get_type(e) != QVT_PAIR) continue;
        QV_SEXP* head = e->pair.car;
        if (get_type(head) != QVT_SYMBOL) continue;
        if (!text_is(head->symbol.data, "?xml") && !text_is(head->symbol.data, "?qv")) continue;
        const L_CHAR* name = attr_text(head->symbol.field, "encoding");
        if (!name) continue;
        CODE_METHOD* cm = search_cm(n_string(std_cm, name));
        if (!cm) return 0;
        // The declaration is read to its end in the old code method; what follows it is read
        // in the new one.
        for (QV_SEXP* q = e; get_type(q) == QVT_PAIR; q = q->pair.cdr) {
        }
        qv_set_cm(e, cm);
        return 1;
    }
    return 0;
}

QV_SEXP* qv_delay_load(QV_SEXP* d) {
    if (sexp_raw_type(d) != QVT_DELAY) return d;
    auto* t = reinterpret_cast<DELAY_LOAD_T*>(d->delay.d.func);
    gc_push(nullptr, nullptr, "qv_delay_load");
    gc_set(t, gc_load_block);
    auto* block = static_cast<uint8_t*>(mmalloc(LOAD_BLOCK, gc_text));
    int n = 0;
    bool failed = false;
    while (n < LOAD_BLOCK && t->st) {
        int r = read_some(t->st, block + n, LOAD_BLOCK - n);
        if (r < 0 || r > LOAD_BLOCK - n) {
            failed = true;
            break;
        }
        if (r == 0) break;
        n += r;
    }
    QV_SEXP* v;
    if (failed) {
        v = cons(read_error(d), nullptr);
    } else if (n == LOAD_BLOCK) {
        v = cons(get_raw_set_data(block, LOAD_BLOCK), new_pending(t));
    } else {
        v = n > 0 ? cons(get_raw_set_data(block, n), nullptr) : nullptr;
    }
    if (failed || n < LOAD_BLOCK) end_load(t);
    settle(d, v);
    gc_pop(nullptr, nullptr);
    return d;
}

QV_SEXP* qv_delay_load_text(QV_SEXP* d) {
    if (sexp_raw_type(d) != QVT_DELAY) return d;
    auto* t = reinterpret_cast<DELAY_LOAD_T*>(d->delay.d.func);
    gc_push(nullptr, nullptr, "qv_delay_load_text");
    gc_set(t, gc_load_block);
    std::vector<L_CHAR> text;
    STATE_CHECKER sc{t->term_a, 0, -1, nullptr, 0, -1, nullptr};
    QV_SEXP* failure = nullptr;
    bool matched = false;
    for (;;) {
        L_CHAR c;
        if (t->bb_ptr < t->bb_size) {
            c = t->backbuffer[t->bb_ptr++];
        } else {
            if (t->backbuffer) push_back(t, nullptr, 0);
            int r = load_long_char(&c, t);
            if (r < 0) {
                failure = read_error(d);
                break;
            }
            if (r == 0) {
                // The end of the file: a match still waiting for more text is complete now.
                end_load(t);
                if (check_terminator(&sc, text.data(), static_cast<int>(text.size()), true) ==
                    SC_MATCH)
                    matched = true;
                break;
            }
        }
        if (text.size() >= LOAD_TEXT_MAX) {
            failure = eval_error(d, QVE_NO_MEMORY, "load",
                                 list(n_get_string("record too long"), nullptr));
            break;
        }
        text.push_back(c);
        if (en_state_checker(&sc, text.data(), static_cast<int>(text.size())) == SC_MATCH) {
            matched = true;
            break;
        }
    }
    if (matched) {
        push_back(t, text.data() + sc.endptr, static_cast<int>(text.size()) - sc.endptr);
        text.resize(static_cast<size_t>(sc.stptr));
    }
    int len = static_cast<int>(text.size());
    if (t->escapeflag && len) len = escape_handling(text.data(), len);
    QV_SEXP* v = nullptr;
    if (!failure && (matched || len > 0)) {
        QV_SEXP* s = text_string(text.data(), static_cast<size_t>(len));
        if (!s)
            failure =
                eval_error(d, QVE_NO_MEMORY, "load", list(n_get_string("no memory"), nullptr));
        else
            v = cons(s, matched ? new_pending(t) : nullptr);
    }
    if (failure) {
        // Nothing more is read: the file goes at once.
        end_load(t);
        free_text_state(t);
        v = cons(failure, nullptr);
    } else if (!matched) {
        free_text_state(t);
    }
    settle(d, v);
    gc_pop(nullptr, nullptr);
    return d;
}

void qv_load_gc(DELAY_FUNC* df) {
    if (!df || !gc_mark_block(df)) return;
    auto* t = reinterpret_cast<DELAY_LOAD_T*>(df);
    gc_vx_file(t->file);
    if (t->close_func) t->close_func(2, t->work);
}

void sp_gc_load() {
    DELAY_LOAD_T** link = &df_list;
    while (DELAY_LOAD_T* t = *link) {
        if (mem_hdr(t)->m_flags & MEM_MARKED) {
            link = &t->next;
            continue;
        }
        *link = t->next;
        if (t->close_func) t->close_func(1, t->work);
        t->close_func = nullptr;
        // A collection must not wait for a stream: the close task closes it.
        if (t->st) s_close_queue(t->st);
        t->st = nullptr;
        if (t->cm_work) t->cm->close(nullptr, t->cm_work);
        t->cm_work = nullptr;
        free_text_state(t);
    }
}

int load_count() {
    TaskLockGuard g(df_lock);
    int n = 0;
    for (DELAY_LOAD_T* t = df_list; t; t = t->next)
        n++;
    return n;
}

QV_SEXP* load_file(QVISP_ENV* env, QV_SEXP* form, int type, const L_CHAR* filename,
                   CODE_METHOD* encode, AUTOMATON* term_a, int flags, LOAD_CLOSE_FUNC func,
                   void* work) {
    if (type != LOAD_TEXT && type != LOAD_TEXT_ESCAPE && term_a) {
        free_automaton(term_a);
        term_a = nullptr;
    }
    std::vector<L_CHAR> src = source_name(form);
    L_CHAR* path = get_script(src[0] ? src.data() : nullptr, filename);
    // Only a regular file is read: a FIFO or a device would hold the caller waiting (or never
    // end), and is refused as a file that cannot be opened.
    STREAM* st = path ? s_open_regular_file(n_string(std_cm, path), O_RDONLY, 0) : nullptr;
    if (!st) {
        d_f_ree(path);
        if (term_a) free_automaton(term_a);
        if (func) func(1, work);
        return eval_error(
            form, QVE_CANNOT_OPEN, "load",
            list(n_get_string("cannot open the file"), get_string(filename), nullptr));
    }
    gc_push(nullptr, nullptr, "load_file");
    QV_SEXP* r = nullptr;
    switch (type) {
        case LOAD_RAW:
        case LOAD_TEXT:
        case LOAD_TEXT_ESCAPE: {
            bool raw = type == LOAD_RAW;
            DELAY_LOAD_T* t;
            {
                // The collector may mark the record from its root at once, on its own thread,
                // and calls its close function: filled inside a heap section, which keeps the
                // collector out until it is.
                HeapSection hs;
                t = static_cast<DELAY_LOAD_T*>(mmalloc(sizeof(DELAY_LOAD_T), gc_load_block));
                t->h = {raw ? qv_delay_load : qv_delay_load_text, qv_load_gc, nullptr};
                t->st = st;
                t->close_func = func;
                t->work = work;
            }
            if (!raw) {
                if (encode) s_set_cm(st, encode);
                t->cm = s_get_cm(st);
                if (!t->cm) t->cm = std_cm;
                t->cm_work = t->cm->open();
                t->term_a = term_a;
                t->escapeflag = type == LOAD_TEXT_ESCAPE ? 2 : 0;
            }
            r = init_delay_func(&t->h);
            lock_mem();
            t->file = r->h.file;
            unlock_mem();
            lock_task(df_lock);
            t->next = df_list;
            df_list = t;
            unlock_task(df_lock, "load");
            break;
        }
        case LOAD_QV:
        case LOAD_HTML:
        case LOAD_EXEC: {
            r = init_parse(st, path, nullptr);
            QV_FILE* f = top_record(r);
            // The close function goes on before anything is read: looking for an encoding
            // declaration may read a short file to its end, which closes the record.
            if (func && f)
                set_close_func(f, func, work);
            else if (func)
                func(1, work);
            if (f) qvf_set(f, flags | (type == LOAD_HTML ? QVF_HTML : 0));
            if (encode)
                qv_set_cm(r, encode);
            else
                set_encoding(r);
            if (type == LOAD_EXEC) {
                L_CHAR* saved = get_script_path();
                set_script_path(path);
                r = exec_list(env, r);
                set_script_path(saved);
                d_f_ree(saved);
            }
            break;
        }
        default:
            // The calendar reader owns the stream from here and has no close hook of its own.
            r = get_cal(st, encode);
            if (func) func(1, work);
            break;
    }
    d_f_ree(path);
    gc_pop(r, gc_vx_sexp);
    return r;
}

QV_SEXP* qv_Load(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int type = LOAD_QV;
    int flags = 0;
    CODE_METHOD* encode = nullptr;
    const L_CHAR* terminate = nullptr;
    for (QV_SYM_FIELD* f = attr; f; f = f->next) {
        if (text_is(f->name, "option") || text_is(f->name, "format.mode")) {
            int found = -1;
            for (const LOAD_TYPE_NAME& lt : load_types)
                if (text_is(f->data, lt.name)) found = lt.type;
            if (found < 0)
                return bltn_error_l(form, QVE_INVALID_PARAMETER, "load", "invalid parameter");
            type = found;
            if (type == LOAD_HTML) flags |= QVF_PLAIN;
        } else if (text_is(f->name, "format.text")) {
            if (text_is(f->data, "on"))
                flags |= QVF_PLAIN;
            else
                flags &= ~QVF_PLAIN;
        } else if (text_is(f->name, "encoding")) {
            // A name no code method has reads the file in the program's default, as the
            // encoding switch does; the file's own declaration is not asked.
            encode = nullptr;
            if (f->data) {
                encode = search_cm(n_string(std_cm, f->data));
                if (!encode) encode = std_cm;
            }
        } else if (text_is(f->name, "terminate")) {
            terminate = f->data;
        }
    }
    QV_SEXP* name = get_el(form, 1);
    if (is_error(name)) return name;
    if (get_type(name) != QVT_STRING)
        return bltn_error_l(form, QVE_TYPE_MISMATCH, "load", "type missmatch");
    // An absolute name with an extension may have a rule that asks for a lock while it is read.
    LOAD_CLOSE_FUNC func = nullptr;
    void* work = nullptr;
    if (QV_SEXP* refused = load_rule_lock(form, name->string.data, &func, &work)) return refused;
    AUTOMATON* term_a = nullptr;
    if (terminate && (type == LOAD_TEXT || type == LOAD_TEXT_ESCAPE)) term_a = get_fa(terminate);
    return load_file(env, form, type, name->string.data, encode, term_a, flags, func, work);
}

void init_Load(QVISP_ENV* env) {
    static std::once_flag once;
    std::call_once(once, [] {
        new_lock(&df_lock);
        gc_hook_lock(GC_LOCK_LOAD, lock_df, unlock_df);
        gc_hook_sp(sp_gc_load);
    });
    bind_prim(env, "Load", qv_Load, FUNC_APPLICATIVE, 2, 2);
}
