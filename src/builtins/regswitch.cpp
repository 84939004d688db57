// RegSwitch.
#include "builtins/regswitch.h"

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "builtins/bltn_util.h"
#include "builtins/control.h"
#include "lisp/collect.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"

namespace {

constexpr const char* FUNC = "RegSwitch";

// Automaton steps between two offers of the scan to the break check.
constexpr int64_t SCAN_BREAK_STRIDE = 1 << 16;

// The prepared cases; their automata are freed with it.
struct CaseList {
    std::vector<REG_SWITCH> cases;
    ~CaseList() {
        for (REG_SWITCH& c : cases)
            free_automaton(c.fa);
    }
    REG_SWITCH* first() { return cases.empty() ? nullptr : &cases[0]; }
};

// Prepares the cases after the text; nil, or the error value that refuses them.
QV_SEXP* prepare_cases(QV_SEXP* form, CaseList* list) {
    for (QV_SEXP* c = form_rest(form, 2); get_type(c) == QVT_PAIR; c = c->pair.cdr) {
        QV_SEXP* kase = c->pair.car;
        int t = get_type(kase);
        if (t == QVT_ERROR) return kase;
        if (t != QVT_PAIR || get_type(kase->pair.car) != QVT_SYMBOL)
            return bltn_error_s(form, QVE_INVALID_PARAMETER, FUNC, "parameter error");
        QV_SYM_FIELD* attr = kase->pair.car->symbol.field;
        const L_CHAR* rex = attr_text(attr, "rex");
        if (!rex) return bltn_error_s(form, QVE_INVALID_PARAMETER, FUNC, "parameter error");
        int why;
        AUTOMATON* fa = get_fa_why(rex, &why);
        if (!fa) return bltn_error_s(form, QVE_INVALID_PARAMETER, FUNC, fa_error_text(why));
        list->cases.push_back({nullptr, rex, fa, search_state(fa, A_INITIAL), kase->pair.cdr,
                               attr_text(attr, "mode")});
    }
    for (size_t i = 0; i + 1 < list->cases.size(); i++)
        list->cases[i].next = &list->cases[i + 1];
    return nullptr;
}

// The current mode, copied (the binding may change under a running case): *has false when
// there is none; or the error value of a mode of a wrong type.
QV_SEXP* read_mode(QVISP_ENV* env, QV_SEXP* form, std::vector<L_CHAR>* mode, bool* has) {
    *has = false;
    // The look-up roots what it finds: a frame of its own keeps one read per match from piling up.
    gc_push_literal("RegMode");
    QV_SEXP* err = nullptr;
    QV_SEXP* v = nullptr;
    // Bound, it must name a mode: nil is neither a symbol nor a string.
    if (_eval_symbol(&v, env, l_string(std_cm, "RegMode"), -1) == 0) {
        const L_CHAR* text = nullptr;
        switch (get_type(v)) {
            case QVT_SYMBOL:
                text = v->symbol.data;
                break;
            case QVT_STRING:
                text = v->string.data;
                break;
            default:
                err = bltn_error_s(form, QVE_TYPE_MISMATCH, FUNC, "type missmatch / symbol mode");
        }
        if (!err) {
            mode->clear();
            for (; text && *text; text++)
                mode->push_back(*text);
            mode->push_back(0);
            *has = true;
        }
    }
    gc_pop(err, gc_vx_sexp);
    return err;
}

// A state and a text position, packed for the set of dead ends.
struct StatePos {
    const A_STATE* state;
    int pos;
    bool operator==(const StatePos& o) const { return state == o.state && pos == o.pos; }
};
struct StatePosHash {
    size_t operator()(const StatePos& p) const {
        return std::hash<const void*>()(p.state) ^
               (static_cast<size_t>(p.pos) * 0x9e3779b97f4a7c15u);
    }
};

// The longest-prefix search over one text, shared by every case and position: the dead ends
// (pairs from which no accepting state follows) found so far, and the count of steps taken.
struct Scanner {
    const L_CHAR* text;
    std::unordered_set<StatePos, StatePosHash> dead;
    std::vector<StatePos> trail;  // the pairs passed since the last accepting state
    int64_t steps = 0;
    int64_t next_break_check = SCAN_BREAK_STRIDE;

    // The length of the longest prefix from pos that the case's automaton accepts, 0 for none
    // (an empty match does not count).
    int longest(const REG_SWITCH* c, int pos) {
        const A_STATE* s = c->start;
        int best = 0;
        trail.clear();
        // The automaton builds its states as it goes and drops them past its bound; a dropped
        // state's address may come back for another, so a drop forgets the dead ends.
        uint32_t flushes = c->fa->flushes;
        for (int i = pos; s; i++) {
            if (c->fa->flushes != flushes) {
                flushes = c->fa->flushes;
                dead.clear();
                trail.clear();
            }
            if (s->flags & A_FINAL) {
                best = i - pos;
                trail.clear();
            } else if (!dead.empty() && dead.count({s, i})) {
                break;
            } else {
                trail.push_back({s, i});
            }
            if (!text[i]) break;
            s = get_next_state(const_cast<A_STATE*>(s), text[i]);
            steps++;
        }
        for (const StatePos& p : trail)
            dead.insert(p);
        return best;
    }
};

// Appends a string value's text to the output.
void append_text(std::vector<L_CHAR>* out, QV_SEXP* v) {
    if (get_type(v) != QVT_STRING) return;
    for (const L_CHAR* p = v->string.data; *p; p++)
        out->push_back(*p);
}

// Runs the winning case's forms on the prefix text[0..len). Returns nil to go on, or sets *stop
// for a Break; an error value to return ends the call.
QV_SEXP* run_case(QVISP_ENV* env, REG_SWITCH* kase, const L_CHAR* text, int len,
                  std::vector<L_CHAR>* out, bool* stop) {
    // Each match runs in a root frame of its own: a long text keeps nothing of past matches.
    gc_push_literal("RegSwitch");
    std::vector<L_CHAR> prefix(text, text + len);
    prefix.push_back(0);
    QVISP_ENV* benv = new_env(env);
    set_env(benv, l_string(std_cm, "pattern"), get_string(prefix.data()));
    QV_SEXP* r = eval_body(benv, kase->body);
    QV_SEXP* err = nullptr;
    if (get_type(r) != QVT_ERROR) {
        append_text(out, r);
    } else if (r->error.code == QVE_LOOP_BREAK) {
        QV_SEXP* data = r->error.data;
        if (get_type(data) == QVT_ERROR)
            err = data;
        else
            append_text(out, data);
        *stop = true;
    } else {
        err = r;
    }
    gc_pop(err, gc_vx_sexp);
    return err;
}

}  // namespace

QV_SEXP* qv_RegSwitch(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* tv = eval(env, get_el(form, 1));
    if (get_type(tv) == QVT_ERROR) return tv;
    if (get_type(tv) != QVT_STRING)
        return bltn_error_s(form, QVE_TYPE_MISMATCH, FUNC, "type missmatch");
    CaseList cases;
    if (QV_SEXP* e = prepare_cases(form, &cases)) return e;

    const L_CHAR* text = tv->string.data;
    std::vector<L_CHAR> out;
    std::vector<L_CHAR> mode;
    bool has_mode = false;
    if (QV_SEXP* e = read_mode(env, form, &mode, &has_mode)) return e;
    Scanner scan{text, {}, {}};
    for (int pos = 0; text[pos];) {
        if (scan.steps >= scan.next_break_check) {
            scan.next_break_check = scan.steps + SCAN_BREAK_STRIDE;
            if (QV_SEXP* b = do_break_check(form)) return b;
        }
        REG_SWITCH* best = nullptr;
        int best_len = 0;
        for (REG_SWITCH* c = cases.first(); c; c = c->next) {
            if (has_mode && c->mode && l_strcmp(c->mode, mode.data()) != 0) continue;
            int len = scan.longest(c, pos);
            if (len > best_len) {
                best = c;
                best_len = len;
            }
        }
        if (!best) {
            out.push_back(text[pos++]);
            continue;
        }
        bool stop = false;
        if (QV_SEXP* e = run_case(env, best, text + pos, best_len, &out, &stop)) return e;
        if (stop) break;
        pos += best_len;
        if (QV_SEXP* e = read_mode(env, form, &mode, &has_mode)) return e;
    }
    out.push_back(0);
    return get_string(out.data());
}

void init_RegSwitch(QVISP_ENV* env) {
    bind_prim(env, "RegSwitch", qv_RegSwitch, FUNC_NORMAL, 2, FUNC_NO_MAX);
}
