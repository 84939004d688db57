// Markup runs, the attribute stack and the tags FONT, BR, CENTER and A.
#include "geo/markup.h"

#include <cstdlib>
#include <mutex>
#include <vector>

#include "base/alloc.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/gchooks.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "render/font.h"
#include "render/string_pic.h"

QVISP_ENV* html_env = nullptr;

namespace {
std::once_flag html_once;
// The environments of open runs, kept alive for the collector between calls.
std::mutex runs_lock;
// Never destroyed: tasks may still use it while the process exits.
std::vector<TR_HTML_INFO*>& open_runs = *new std::vector<TR_HTML_INFO*>;

const L_CHAR* lit(const char* ascii) {
    return l_string(std_cm, ascii);
}

void gc_markup() {
    std::lock_guard<std::mutex> g(runs_lock);
    for (TR_HTML_INFO* i : open_runs)
        if (i->d.env) gc_vxlisp_env(i->d.env);
}

TR_HTML_INFO* info_or_error(QVISP_ENV* env, QV_SEXP* form, const char* func, QV_SEXP** err) {
    TR_HTML_INFO* info = tr_get_html_info(env);
    if (!info) *err = eval_error(form, QVE_INVALID_PARAMETER, func, n_get_string("no markup run"));
    return info;
}

// The items of a list, rendered in order: the last value, or the first error value.
QV_SEXP* render_items(TR_HTML_INFO* info, QV_SEXP* list) {
    QV_SEXP* r = nullptr;
    for (QV_SEXP* l = list; get_type(l) == QVT_PAIR; l = cdr(l)) {
        r = tr_html_sexp(info, car(l));
        if (get_type(r) == QVT_ERROR) return r;
    }
    return r;
}

void line_feed_unless_last(TR_HTML_INFO* info) {
    static const L_CHAR lf[1] = {10};
    if (info->d.last_output != 10) tr_html_string_data(info, lf, 1);
}

QV_SEXP* html_br(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* err = nullptr;
    TR_HTML_INFO* info = info_or_error(env, form, "BR", &err);
    if (!info) return err;
    static const L_CHAR lf[1] = {10};
    tr_html_string_data(info, lf, 1);
    return nullptr;
}

QV_SEXP* html_center(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* err = nullptr;
    TR_HTML_INFO* info = info_or_error(env, form, "CENTER", &err);
    if (!info) return err;
    line_feed_unless_last(info);
    tr_push_attr_stack(info);
    TR_LINE_ATTR la{1, 1, 0, 0};
    _tr_set_line_attr(&la, &info->d.attr_stack->attr);
    line_feed_unless_last(info);
    QV_SEXP* r = render_items(info, cdr(form));
    tr_pop_attr_stack(info);
    return r;
}

QV_SEXP* html_a(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* err = nullptr;
    TR_HTML_INFO* info = info_or_error(env, form, "A", &err);
    if (!info) return err;
    tr_push_attr_stack(info);
    const L_CHAR* href = get_sf_attribute(attr, lit("HREF"));
    tr_lock(info->d.sq);
    _tr_set_attr_reference(info->d.sq, &info->d.attr_stack->attr, href);
    tr_unlock(info->d.sq);
    QV_SEXP* r = render_items(info, cdr(form));
    tr_pop_attr_stack(info);
    return r;
}

// The colour of a "COLOR" text: a leading '#' skipped, then one to eight hexadecimal digits and
// nothing else. False for anything else (the colour is then left as it is).
bool parse_color(const L_CHAR* text, uint32_t* rgb) {
    if (!text) return false;
    if (*text == '#') text++;
    uint32_t v = 0;
    int n = 0;
    for (; *text; text++, n++) {
        L_CHAR c = *text;
        int d = c >= '0' && c <= '9'   ? static_cast<int>(c - '0')
                : c >= 'a' && c <= 'f' ? static_cast<int>(c - 'a' + 10)
                : c >= 'A' && c <= 'F' ? static_cast<int>(c - 'A' + 10)
                                       : -1;
        if (d < 0 || n >= 8) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    if (n == 0) return false;
    *rgb = v;
    return true;
}

QV_SEXP* html_font(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    QV_SEXP* err = nullptr;
    TR_HTML_INFO* info = info_or_error(env, form, "FONT", &err);
    if (!info) return err;
    uint32_t rgb = 0;
    if (parse_color(get_sf_attribute(attr, lit("COLOR")), &rgb))
        _tr_set_attr_int_data(&info->d.attr_stack->attr, TRA_COLOR_T, tr_pack_color(rgb));
    return nullptr;
}
}  // namespace

void init_tr_html() {
    render_first_use();
    std::call_once(html_once, [] {
        gc_push(nullptr, nullptr, "init_tr_html");
        QVISP_ENV* e = new_env(nullptr);
        set_env(e, lit("FONT"), get_func_prim(html_font, FUNC_APPLICATIVE, nullptr, 1, 1));
        set_env(e, lit("BR"), get_func_prim(html_br, FUNC_APPLICATIVE, nullptr, 1, 1));
        set_env(e, lit("CENTER"), get_func_prim(html_center, FUNC_NORMAL, nullptr, 1, FUNC_NO_MAX));
        set_env(e, lit("A"), get_func_prim(html_a, FUNC_NORMAL, nullptr, 1, FUNC_NO_MAX));
        // Bound in the privileged top environment, which keeps it alive.
        set_env(vxlisp_top_env1, lit("___HTML"), get_env(e));
        gc_hook_mark(gc_markup);
        html_env = e;
        gc_pop(nullptr, nullptr);
    });
}

TR_HTML_INFO* tr_get_html_info(QVISP_ENV* env) {
    init_tr_html();
    QV_SEXP* v = eval(env, get_symbol(lit("___html_info")));
    return get_type(v) == QVT_PTR ? static_cast<TR_HTML_INFO*>(v->ptr.ptr) : nullptr;
}

void tr_push_attr_stack(TR_HTML_INFO* info) {
    auto* e = static_cast<TR_HTML_ATTR_STACK*>(d_calloc(1, sizeof(TR_HTML_ATTR_STACK)));
    if (TR_HTML_ATTR_STACK* top = info->d.attr_stack) {
        e->ws = top->ws;
        e->size = top->size;
        e->attr = _tr_copy_attr(top->attr);
    } else {
        e->ws = info->default_ws;
        e->size = info->default_size;
    }
    e->next = info->d.attr_stack;
    info->d.attr_stack = e;
}

void tr_pop_attr_stack(TR_HTML_INFO* info) {
    TR_HTML_ATTR_STACK* e = info->d.attr_stack;
    if (!e) return;
    info->d.attr_stack = e->next;
    _tr_free_attr(e->attr);
    d_f_ree(e);
}

void tr_html_string_data(TR_HTML_INFO* info, const L_CHAR* str, int len) {
    if (len < 0) len = l_strlen(str);
    if (len <= 0 || !info->d.sq || !info->d.attr_stack) return;
    TR_HTML_ATTR_STACK* top = info->d.attr_stack;
    info->d.p =
        tr_insert_string(info->d.sq, info->d.p, len, top->ws, top->attr, nullptr, top->size, str);
    info->d.last_output = str[len - 1];
}

QV_SEXP* tr_html_sexp(TR_HTML_INFO* info, QV_SEXP* s) {
    switch (get_type(s)) {
        case QVT_PAIR:
            if (get_type(car(s)) == QVT_SYMBOL) return eval(info->d.env, s);
            return render_items(info, s);
        case QVT_STRING:
            tr_html_string_data(info, s->string.data, -1);
            return s;
        case QVT_INTEGER:
        case QVT_FLOAT:
            tr_html_string_data(info, number_unit_text(s), -1);
            return s;
        default:
            return nullptr;
    }
}

QV_SEXP* tr_html_roll_paper(TR_HTML_INFO* info, QV_SEXP* s) {
    init_tr_html();
    tr_new_box(info->d.sq, nullptr, &info->attr);
    return tr_html_sexp(info, s);
}

QV_SEXP* tr_html_cut_paper(TR_HTML_INFO*, QV_SEXP*) {
    return nullptr;
}

QV_SEXP* tr_html(TR_HTML_INFO* info, QV_SEXP* s, int pri) {
    init_tr_html();
    info->d = {};
    gc_push(nullptr, nullptr, "tr_html");
    info->d.env = new_env(info->base_env);
    set_env(info->d.env, lit("___html_info"), get_ptr(info, nullptr));
    {
        std::lock_guard<std::mutex> g(runs_lock);
        open_runs.push_back(info);
    }
    tr_push_attr_stack(info);
    info->d.sq = tr_new_sequence(info->box_op, pri, info->sq_work);
    QV_SEXP* r = tr_html_roll_paper(info, s);
    gc_pop(r, gc_vx_sexp);
    return r;
}

void tr_close_html(TR_HTML_INFO* info) {
    {
        std::lock_guard<std::mutex> g(runs_lock);
        std::erase(open_runs, info);
    }
    if (info->d.sq) tr_close_sequence(info->d.sq);
    info->d.sq = nullptr;
    while (info->d.attr_stack)
        tr_pop_attr_stack(info);
    info->d.env = nullptr;
}
