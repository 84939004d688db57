// SetResultFormat.
#include "builtins/resultformat.h"

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/interp.h"

QV_SEXP* qv_SetResultFormat(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    int flags;
    {
        TaskLockGuard g(qvi_lock);
        QV_INTERPRETER* q = _get_my_qvi();
        if (!q) return bltn_error_l(form, QVE_NO_OBJECT, "SetResultFormat", "no interpreter");
        for (QV_SYM_FIELD* f = attr; f; f = f->next) {
            if (text_is(f->name, "indent")) {
                if (text_is(f->data, "on")) q->ps_flags |= 128;
                if (text_is(f->data, "off")) q->ps_flags &= ~128;
            } else if (text_is(f->name, "mode")) {
                int n = text_is(f->data, "lisp")   ? 0
                        : text_is(f->data, "xml")  ? 1
                        : text_is(f->data, "html") ? 2
                                                   : -1;
                if (n >= 0) q->ps_flags = (q->ps_flags & ~3) | n;
            }
        }
        flags = q->ps_flags;
    }
    static const char* const modes[] = {"mode:LISP", "mode:XML", "mode:HTML"};
    QV_SEXP* indent = n_get_string(flags & 128 ? "indent:on" : "indent:off");
    if ((flags & 3) == 3) return list(indent, nullptr);
    return list(n_get_string(modes[flags & 3]), indent, nullptr);
}

void init_SetResultFormat(QVISP_ENV* env) {
    bind_prim(env, "SetResultFormat", qv_SetResultFormat, FUNC_APPLICATIVE, 1, 1);
}
