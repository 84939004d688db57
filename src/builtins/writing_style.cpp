// The WritingStyle built-in and its body walkers; the styles go to the renderer's style registry
// (see writing_style.h).
#include "builtins/writing_style.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/textutil.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

constexpr const char* FN_STYLE = "WritingStyle";
constexpr const char* FN_FONT = "WritingStyle:Font";
constexpr const char* FN_LOCALE = "WritingStyle:Locale";

const L_CHAR* lit(const char* ascii) {
    return _l_string_2(std_cm, ascii);
}

bool text_is(const L_CHAR* text, const char* word) {
    if (!text) return false;
    for (; *word; word++, text++)
        if (*text != static_cast<unsigned char>(*word)) return false;
    return *text == 0;
}

// The text of an attribute of a symbol, or null.
const L_CHAR* sym_attr(QV_SEXP* sym, const char* name) {
    return get_sf_attribute(sym->symbol.field, lit(name));
}

QV_SEXP* error_text(QV_SEXP* pos, uint32_t code, const char* func, const char* msg) {
    return eval_error(pos, code, func, n_get_string(msg));
}

// A body element of the wrong kind, carried as the error's data.
QV_SEXP* loop_error(QV_SEXP* el, const char* func) {
    return eval_error(el, QVE_TYPE_MISMATCH, func, el);
}

// A code set or mask attribute: an integer as C reads it (decimal with a sign, or a 0x or 0
// prefix), of which the low 32 bits are kept. False for anything else, also for a number beyond
// 64 bits.
bool parse_lcz(const L_CHAR* text, L_CHAR* out) {
    std::string s;
    for (; *text; text++) {
        if (*text >= 0x80) return false;
        s += static_cast<char>(*text);
    }
    const char* p = s.c_str();
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(p, &end, 0);
    if (errno == ERANGE) {
        // Unsigned 64-bit values still fit: their low 32 bits are as good as any.
        errno = 0;
        unsigned long long u = strtoull(p, &end, 0);
        if (errno == ERANGE || strchr(p, '-')) return false;
        v = static_cast<long long>(u);
    }
    if (end == p) return false;
    while (*end == ' ' || *end == '\t')
        end++;
    if (*end) return false;
    *out = static_cast<L_CHAR>(static_cast<unsigned long long>(v) & 0xFFFFFFFFu);
    return true;
}

// The number of records of a list with the room of fpn_room (render/style.h), without walking all
// of them (a body may declare many fonts): the last record of each possible room (3, 7, 15, ...)
// is probed until one is empty, which lies inside the block since the probe before it was full;
// the end record is then searched between the two probes.
int fpn_count(const FONT_PRI_NAME* list) {
    if (!list) return 0;
    int lo = 0;
    int hi = 3;
    while (list[hi].font) {
        lo = hi + 1;
        hi = hi * 2 + 1;
    }
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (list[mid].font)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// The three steps of a Locale before its body: the locale attribute, the switch from the
// common list to the four language lists at the first Locale, the new target.
QV_SEXP* enter_locale(ws_work* work, QV_SEXP* element) {
    const L_CHAR* locale = sym_attr(element->pair.car, "locale");
    if (!locale) return error_text(element, QVE_INVALID_PARAMETER, FN_LOCALE, "locale is required");
    if (work->mode == 0) {
        // Fonts declared so far serve every language, ahead of the language's own fonts (the
        // language lists are still empty in mode 0).
        work->mode = 1;
        // The copies are made with insert_fpn, so that Fonts can be appended to them.
        for (FONT_PRI_NAME** l : {&work->ja, &work->tw, &work->cn, &work->kr})
            for (const FONT_PRI_NAME* f = work->un; f && f->font; f++)
                *l = insert_fpn(*l, f);
        free_font_pri_name(work->un);
        work->un = nullptr;
    }
    if (text_is(locale, "ja"))
        work->target = &work->ja;
    else if (text_is(locale, "cn"))
        work->target = &work->cn;
    else if (text_is(locale, "kr"))
        work->target = &work->kr;
    else if (text_is(locale, "tw"))
        work->target = &work->tw;
    else
        work->target = nullptr;
    return nullptr;
}

// How the registration of a walked declaration ended.
enum class Reg { OK, EXISTS, BAD_LINK };

// Registers the style of a walked declaration, all under the renderer's lock so that the checks
// and the changes are one step: nothing changes unless everything can.
Reg register_style(const L_CHAR* name, bool has_body, const L_CHAR* childof, const L_CHAR* parentof,
                   ws_work* work) {
    TaskLockGuard g(get_wct_lock());
    LC_WRITING_STYLE* self = _get_ws(name);
    if (self && has_body) return Reg::EXISTS;
    LC_WRITING_STYLE* parent = nullptr;
    LC_WRITING_STYLE* child = nullptr;
    if (childof && !(parent = _get_ws(childof))) return Reg::BAD_LINK;
    if (parentof && !(child = _get_ws(parentof))) return Reg::BAD_LINK;
    // parent -> self closes a cycle when parent is self or below it; self -> child, made after
    // it, when self is below child, or parent is (the path child .. parent -> self).
    if (parent && self && _ws_reaches(self, parent)) return Reg::BAD_LINK;
    if (child && ((self && _ws_reaches(child, self)) || (parent && _ws_reaches(child, parent))))
        return Reg::BAD_LINK;
    if (!self) self = _new_ws(name, work->un, work->ja, work->tw, work->cn, work->kr);
    if (parent) _set_ws_child(parent, self);
    if (child) _set_ws_child(self, child);
    return Reg::OK;
}

}  // namespace

FONT_PRI_NAME* insert_fpn(FONT_PRI_NAME* list, const FONT_PRI_NAME* rec) {
    int n = fpn_count(list);
    // The array grows by doubling; the records beyond the end record are kept zero.
    if (!list || n + 2 > fpn_room(n)) {
        int room = fpn_room(n + 1);
        int64_t size = static_cast<int64_t>(room) * static_cast<int64_t>(sizeof(FONT_PRI_NAME));
        auto* r = list ? static_cast<FONT_PRI_NAME*>(d_re_alloc(list, size)) : nullptr;
        if (!r) {
            // A new list, or the system refused to grow the block: a new block (d_alloc waits
            // for memory) with the records moved over.
            r = static_cast<FONT_PRI_NAME*>(d_alloc(size));
            if (list) memcpy(r, list, static_cast<size_t>(n) * sizeof(FONT_PRI_NAME));
            d_f_ree(list);
        }
        memset(&r[n], 0, static_cast<size_t>(room - n) * sizeof(FONT_PRI_NAME));
        list = r;
    }
    list[n] = *rec;
    list[n].font = ll_copy_str(rec->font);
    return list;
}

void free_ws_work(ws_work* work) {
    for (FONT_PRI_NAME** l : {&work->un, &work->ja, &work->tw, &work->cn, &work->kr}) {
        free_font_pri_name(*l);
        *l = nullptr;
    }
    work->target = nullptr;
}

QV_SEXP* qv_Font(ws_work* work, QV_SEXP* head) {
    if (get_type(head) != QVT_SYMBOL) return loop_error(head, "WritingStyle:loop 1");
    const L_CHAR* fontname = sym_attr(head, "fontname");
    if (!fontname) return error_text(head, QVE_INVALID_PARAMETER, FN_FONT, "fontname is required");
    FONT_PRI_NAME rec{};
    rec.font = const_cast<L_CHAR*>(fontname);  // copied by insert_fpn
    rec.lcz[0] = rec.lcz[1] = rec.lcz_cov = LC_NONE;
    rec.mask[0] = rec.mask[1] = rec.mask_cov = 0xFFFFFFFF;
    const L_CHAR* method = sym_attr(head, "method");
    if (!method || text_is(method, "just"))
        rec.method = FPN_JUST;
    else if (text_is(method, "nearly"))
        rec.method = FPN_NEARLY;
    else if (text_is(method, "small"))
        rec.method = FPN_SMALL;
    else if (text_is(method, "large"))
        rec.method = FPN_LARGE;
    else
        return error_text(head, QVE_INVALID_PARAMETER, FN_FONT, "method value");
    struct {
        const char* name;
        L_CHAR* slot;
    } sets[] = {{"lcz0", &rec.lcz[0]},   {"mask0", &rec.mask[0]}, {"lcz1", &rec.lcz[1]},
                {"mask1", &rec.mask[1]}, {"lcz2", &rec.lcz_cov},  {"mask2", &rec.mask_cov}};
    for (auto& s : sets) {
        const L_CHAR* v = sym_attr(head, s.name);
        if (v && !parse_lcz(v, s.slot)) {
            std::string msg = std::string(s.name) + " value";
            return error_text(head, QVE_INVALID_PARAMETER, FN_FONT, msg.c_str());
        }
    }
    if (work->mode == 0) {
        work->un = insert_fpn(work->un, &rec);
    } else if (work->target) {
        *work->target = insert_fpn(*work->target, &rec);
    } else {
        for (FONT_PRI_NAME** l : {&work->ja, &work->tw, &work->cn, &work->kr})
            *l = insert_fpn(*l, &rec);
    }
    return nullptr;
}

QV_SEXP* qv_Locale(ws_work* work, QV_SEXP* element) {
    if (get_type(element) != QVT_PAIR || get_type(element->pair.car) != QVT_SYMBOL)
        return loop_error(element, "WritingStyle:loop 1");
    FONT_PRI_NAME** saved = work->target;
    QV_SEXP* err = enter_locale(work, element);
    if (!err) err = ws_loop(work, element->pair.cdr);
    work->target = saved;
    return err;
}

QV_SEXP* ws_loop(ws_work* work, QV_SEXP* list) {
    // One entry per Locale being walked: the rest of the enclosing list and the target to
    // restore when the Locale's body ends.
    struct Frame {
        QV_SEXP* rest;
        FONT_PRI_NAME** saved;
    };
    std::vector<Frame> stack;
    QV_SEXP* rest = list;
    QV_SEXP* err = nullptr;
    while (!err) {
        int t = get_type(rest);
        if (t != QVT_PAIR) {
            if (t == QVT_ERROR) {
                err = rest;
            } else if (!stack.empty()) {
                // The end of a Locale's body (a tail other than a list or an error is ignored).
                work->target = stack.back().saved;
                rest = stack.back().rest;
                stack.pop_back();
                continue;
            }
            break;
        }
        QV_SEXP* el = rest->pair.car;
        rest = rest->pair.cdr;
        int et = get_type(el);
        if (et == QVT_ERROR) {
            // An error in the body (a part the reader could not read, say) is never skipped.
            err = el;
        } else if (et == QVT_PAIR) {
            QV_SEXP* head = el->pair.car;
            if (get_type(head) != QVT_SYMBOL) {
                err = loop_error(el, "WritingStyle:loop 1");
            } else if (text_is(head->symbol.data, "Font")) {
                err = qv_Font(work, head);
            } else if (text_is(head->symbol.data, "Locale")) {
                FONT_PRI_NAME** saved = work->target;
                err = enter_locale(work, el);
                if (!err) {
                    stack.push_back({rest, saved});
                    rest = el->pair.cdr;
                }
            } else {
                err = loop_error(el, "WritingStyle:loop 2");
            }
        }
    }
    // Leaving early still restores the target the walk began with.
    if (!stack.empty()) work->target = stack.front().saved;
    return err;
}

QV_SEXP* qv_WritingStyle(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const L_CHAR* name = get_sf_attribute(attr, lit("stylename"));
    if (!name) return error_text(form, QVE_INVALID_PARAMETER, FN_STYLE, "stylename is required");
    QV_SEXP* body = form->pair.cdr;
    bool has_body = get_type(body) != QVT_NIL;
    ws_work work{};
    QV_SEXP* err = ws_loop(&work, body);
    if (err) {
        free_ws_work(&work);
        return err;
    }
    Reg r = register_style(name, has_body, get_sf_attribute(attr, lit("childof")),
                           get_sf_attribute(attr, lit("parentof")), &work);
    free_ws_work(&work);
    switch (r) {
        case Reg::EXISTS:
            return error_text(form, QVE_INVALID_PARAMETER, FN_STYLE,
                              "invalid stylename argment (Font)");
        case Reg::BAD_LINK:
            return error_text(form, QVE_INVALID_PARAMETER, FN_STYLE,
                              "invalid stylename (parentof/childof)");
        case Reg::OK:
            break;
    }
    return nullptr;
}

void init_WritingStyle(QVISP_ENV* env) {
    set_env(env, lit("WritingStyle"),
            get_func_prim(qv_WritingStyle, FUNC_NORMAL, nullptr, 1, FUNC_NO_MAX));
}
