// Log conditions: reading Condition elements, matching nodes, releasing conditions.
#include "server/logcond.h"

#include <arpa/inet.h>

#include <climits>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/textutil.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/valutil.h"
#include "longchar/longchar.h"

namespace {

constexpr int32_t INT_FIELD_MAX = 0x7fffffff;
constexpr L_CHAR STRING_FIELD_MAX[] = {0x7fffffff, 0};
constexpr L_CHAR EMPTY[] = {0};

// Selector names in field order (operators "*", "=", "<", "<=" come before them in the table of
// the condition grammar).
struct SELECTOR {
    const char* name;
    int field;
};
constexpr SELECTOR selectors[] = {
    {"time", LF_TIME},       {"level", LF_LEVEL},
    {"URL.proto", LF_PROTO}, {"URL.server", LF_SERVER},
    {"URL.port", LF_PORT},   {"URL.agent", LF_AGENT},
    {"URL.database", LF_DB}, {"URL.resource", LF_RESOURCE},
    {"user", LF_USER},       {"key", LF_KEY},
    {"data", LF_DATA},
};

const ATTR_TABLE log_cond_attr_table[] = {
    {"unlock", static_cast<int>(LOG_OPT_UNLOCK)},
    {"lock", 0},
    {"time", static_cast<int>(LOG_OPT_TIME)},
    {"level", static_cast<int>(LOG_OPT_LEVEL)},
    {"URL", static_cast<int>(LOG_OPT_URL)},
    {"layer", static_cast<int>(LOG_OPT_LAYER)},
    {"user", static_cast<int>(LOG_OPT_USER)},
    {"key", static_cast<int>(LOG_OPT_KEY)},
    {"data", static_cast<int>(LOG_OPT_DATA)},
    {"all", static_cast<int>(LOG_OPT_ALL)},
    {nullptr, 0},
};

const L_CHAR* attr(QV_SYM_FIELD* f, const char* name) {
    return get_sf_attribute(f, _l_string_1(std_cm, name));
}

bool starts_with(const L_CHAR* s, const L_CHAR* p) {
    for (; *p; s++, p++)
        if (*s != *p) return false;
    return true;
}

bool ends_with(const L_CHAR* s, const L_CHAR* p) {
    int ns = l_strlen(s), np = l_strlen(p);
    if (np > ns) return false;
    for (int i = 0; i < np; i++)
        if (s[ns - np + i] != p[i]) return false;
    return true;
}

void free_bound(LOG_NODE_DATA* b, int field) {
    if (!log_int_field(field) && b->w[field].s) d_f_ree(b->w[field].s);
    b->w[field].s = nullptr;
}

// Kinds of the items of a constraint.
enum ITEM_KIND { IK_VALUE, IK_SELECTOR, IK_ANY, IK_EQ, IK_LT, IK_LE };

struct ITEM {
    ITEM_KIND kind;
    int field;  // selectors
    QV_SEXP* v;
};

QV_SEXP* parameter_error(QV_SEXP* form, QV_SEXP* item) {
    return eval_error(form, QVE_LOG_CONDITION, "SetLogCondition",
                      list(n_get_string("log condition element parameter"), item, nullptr));
}

QV_SEXP* attribute_error(QV_SEXP* form, const char* what) {
    std::string msg = std::string("log condition action attribute (") + what + ")";
    return eval_error(form, QVE_LOG_CONDITION, "SetLogCondition", n_get_string(msg.c_str()));
}

// Stores v as a bound of field (the value's kind must be the field's): false otherwise.
bool set_bound(LOG_NODE_DATA* b, int field, QV_SEXP* v) {
    if (log_int_field(field)) {
        if (get_type(v) != QVT_INTEGER) return false;
        b->w[field].i = static_cast<int32_t>(static_cast<uint32_t>(v->integer.data));
        return true;
    }
    if (get_type(v) != QVT_STRING) return false;
    free_bound(b, field);
    b->w[field].s = ll_copy_str(v->string.data);
    return true;
}

void set_min(LOG_NODE_DATA* b, int field) {
    free_bound(b, field);
    if (log_int_field(field))
        b->w[field].i = 0;
    else
        b->w[field].s = ll_copy_str(EMPTY);
}

void set_max(LOG_NODE_DATA* b, int field) {
    free_bound(b, field);
    if (log_int_field(field))
        b->w[field].i = INT_FIELD_MAX;
    else
        b->w[field].s = ll_copy_str(STRING_FIELD_MAX);
}

bool is_order(const ITEM& it) {
    return it.kind == IK_LT || it.kind == IK_LE;
}

// One constraint, already classified: sets the field's operator and bounds, or returns the error.
QV_SEXP* apply_constraint(LOG_COND* c, QV_SEXP* form, QV_SEXP* whole, const std::vector<ITEM>& it) {
    size_t n = it.size();
    auto at = [&](size_t i) -> QV_SEXP* { return i < n ? it[i].v : whole; };
    auto is = [&](size_t i, ITEM_KIND k) { return i < n && it[i].kind == k; };
    int field = -1;
    uint8_t op = 0;
    QV_SEXP* low = nullptr;  // values; null for min/max
    QV_SEXP* high = nullptr;
    size_t used = 0;
    if (is(0, IK_SELECTOR)) {
        field = it[0].field;
        if (!is(1, IK_EQ) && !is(1, IK_LT) && !is(1, IK_LE)) return parameter_error(form, at(1));
        if (!is(2, IK_VALUE)) return parameter_error(form, at(2));
        used = 3;
        if (is(1, IK_EQ)) {
            low = it[2].v;
            op = LOP_EQUAL;
            if (is(3, IK_ANY)) {
                op = LOP_PREFIX;
                used = 4;
            }
        } else {
            // "F < v" reads min < F <= v, as conditions written for other agents expect: the
            // minimum (level 0, the empty string) is left out and v is taken in.
            op = is(1, IK_LT) ? LOP_HIGH_CLOSED : LOP_CLOSED;
            high = it[2].v;
        }
    } else if (is(0, IK_ANY)) {
        if (!is(1, IK_VALUE)) return parameter_error(form, at(1));
        if (!is(2, IK_EQ)) return parameter_error(form, at(2));
        if (!is(3, IK_SELECTOR)) return parameter_error(form, at(3));
        low = it[1].v;
        field = it[3].field;
        op = LOP_SUFFIX;
        used = 4;
    } else if (is(0, IK_VALUE)) {
        low = it[0].v;
        if (is(1, IK_EQ)) {
            if (!is(2, IK_SELECTOR)) return parameter_error(form, at(2));
            field = it[2].field;
            op = LOP_EQUAL;
            used = 3;
        } else if (is(1, IK_ANY)) {
            if (!is(2, IK_EQ)) return parameter_error(form, at(2));
            if (!is(3, IK_SELECTOR)) return parameter_error(form, at(3));
            field = it[3].field;
            op = LOP_PREFIX;
            used = 4;
        } else if (is(1, IK_LT) || is(1, IK_LE)) {
            if (!is(2, IK_SELECTOR)) return parameter_error(form, at(2));
            field = it[2].field;
            bool low_closed = is(1, IK_LE);
            if (n > 3 && is_order(it[3])) {
                if (!is(4, IK_VALUE)) return parameter_error(form, at(4));
                high = it[4].v;
                bool high_closed = is(3, IK_LE);
                op = low_closed ? (high_closed ? LOP_CLOSED : LOP_LOW_CLOSED)
                                : (high_closed ? LOP_HIGH_CLOSED : LOP_OPEN);
                used = 5;
            } else {
                op = low_closed ? LOP_CLOSED : LOP_HIGH_CLOSED;
                used = 3;
            }
        } else {
            return parameter_error(form, at(1));
        }
    } else {
        return parameter_error(form, at(0));
    }
    if (used < n) return parameter_error(form, it[used].v);
    // Bounds: a value of the wrong kind for the field is refused as the offending item.
    LOG_NODE_DATA lo{}, hi{};
    bool ranged = op >= LOP_OPEN;
    if (low) {
        if (!set_bound(&lo, field, low)) return parameter_error(form, low);
    } else if (ranged) {
        set_min(&lo, field);
    }
    if (high) {
        if (!set_bound(&hi, field, high)) {
            free_bound(&lo, field);
            return parameter_error(form, high);
        }
    } else if (ranged) {
        set_max(&hi, field);
    }
    free_bound(&c->low, field);
    free_bound(&c->high, field);
    c->low.w[field] = lo.w[field];
    c->high.w[field] = hi.w[field];
    c->op[field] = op;
    return nullptr;
}

QV_SEXP* add_constraint(LOG_COND* c, QV_SEXP* form, QV_SEXP* s) {
    QV_SEXP* first = car(s);
    if (get_type(first) == QVT_ERROR) return first;
    std::vector<ITEM> items;
    for (QV_SEXP* p = s; get_type(p) == QVT_PAIR; p = p->pair.cdr) {
        QV_SEXP* v = p->pair.car;
        switch (get_type(v)) {
            case QVT_STRING:
            case QVT_INTEGER:
                items.push_back({IK_VALUE, -1, v});
                break;
            case QVT_SYMBOL: {
                const L_CHAR* name = v->symbol.data;
                if (log_is_word(name, "*")) {
                    items.push_back({IK_ANY, -1, v});
                } else if (log_is_word(name, "=")) {
                    items.push_back({IK_EQ, -1, v});
                } else if (log_is_word(name, "<")) {
                    items.push_back({IK_LT, -1, v});
                } else if (log_is_word(name, "<=")) {
                    items.push_back({IK_LE, -1, v});
                } else {
                    int f = log_selector(name);
                    if (f < 0) return parameter_error(form, v);
                    items.push_back({IK_SELECTOR, f, v});
                }
                break;
            }
            default:
                return parameter_error(form, v);
        }
    }
    return apply_constraint(c, form, s, items);
}

// Decimal digits only; false for anything else or a value beyond the range.
bool decimal(const L_CHAR* t, int64_t limit, int64_t* out) {
    if (!t || !*t) return false;
    int64_t v = 0;
    for (; *t; t++) {
        if (*t < '0' || *t > '9') return false;
        v = v * 10 + (*t - '0');
        if (v > limit) return false;
    }
    *out = v;
    return true;
}

bool ipv4(const L_CHAR* t, uint32_t* out) {
    char text[INET_ADDRSTRLEN];
    size_t i = 0;
    for (; t[i]; i++) {
        if (i + 1 >= sizeof text || t[i] > 0x7f) return false;
        text[i] = static_cast<char>(t[i]);
    }
    text[i] = 0;
    struct in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1) return false;
    *out = a.s_addr;
    return true;
}

QV_SEXP* add_action(LOG_COND* c, QV_SEXP* form, QV_SYM_FIELD* f) {
    const L_CHAR* type_text = attr(f, "type");
    if (!type_text) return attribute_error(form, "type is required");
    static const char* const types[] = {"save", "console", "relay", "wait"};
    int type = 0;
    for (int i = 0; i < 4; i++)
        if (log_is_word(type_text, types[i])) type = i + 1;
    if (!type) return attribute_error(form, "type");
    uint32_t option = type == LOG_ACT_SAVE ? LOG_OPT_ALL : 0;
    if (const L_CHAR* o = attr(f, "option")) {
        int er = 0;
        option = static_cast<uint32_t>(get_attr_flags(&er, o, log_cond_attr_table));
        if (er < 0) return attribute_error(form, "option");
    }
    uint32_t ip = 0, mask = 0;
    if (const L_CHAR* t = attr(f, "ip"); t && !ipv4(t, &ip)) return attribute_error(form, "ip");
    if (const L_CHAR* t = attr(f, "mask"); t && !ipv4(t, &mask))
        return attribute_error(form, "mask");
    int64_t div_nos = 0, size = 0;
    if (const L_CHAR* t = attr(f, "divide"); t && !decimal(t, INT_MAX, &div_nos))
        return attribute_error(form, "divide");
    if (const L_CHAR* t = attr(f, "size"); t && !decimal(t, INT64_MAX / 10, &size))
        return attribute_error(form, "size");
    LOG_ACTION* a =
        add_log_action(c, type, attr(f, "path"), option, static_cast<int>(div_nos), size);
    a->ip = ip;
    a->mask = mask;
    return nullptr;
}

int cmp_str(const L_CHAR* a, const L_CHAR* b) {
    return l_strcmp(a ? a : EMPTY, b ? b : EMPTY);
}

bool in_range(uint8_t op, int lo_cmp, int hi_cmp) {
    // lo_cmp: x compared with low; hi_cmp: x compared with high.
    switch (op) {
        case LOP_OPEN:
            return lo_cmp > 0 && hi_cmp < 0;
        case LOP_LOW_CLOSED:
            return lo_cmp >= 0 && hi_cmp < 0;
        case LOP_HIGH_CLOSED:
            return lo_cmp > 0 && hi_cmp <= 0;
        default:
            return lo_cmp >= 0 && hi_cmp <= 0;
    }
}

int sign(int64_t d) {
    return d < 0 ? -1 : d > 0;
}

bool field_passes(const LOG_COND* c, int i, const LOG_NODE_DATA* d) {
    uint8_t op = c->op[i];
    if (op == LOP_ANY) return true;
    if (log_int_field(i)) {
        int32_t x = static_cast<int32_t>(d->w[i].i);
        int32_t lo = static_cast<int32_t>(c->low.w[i].i);
        int32_t hi = static_cast<int32_t>(c->high.w[i].i);
        if (op == LOP_EQUAL) return x == lo;
        if (op == LOP_PREFIX || op == LOP_SUFFIX) return true;
        return in_range(op, sign(int64_t{x} - lo), sign(int64_t{x} - hi));
    }
    const L_CHAR* x = d->w[i].s;
    const L_CHAR* lo = c->low.w[i].s;
    switch (op) {
        case LOP_EQUAL:
            if (!x || !lo) return !x && !lo;
            return l_strcmp(x, lo) == 0;
        case LOP_PREFIX:
            return starts_with(x ? x : EMPTY, lo ? lo : EMPTY);
        case LOP_SUFFIX:
            return ends_with(x ? x : EMPTY, lo ? lo : EMPTY);
        default:
            return in_range(op, cmp_str(x, lo), cmp_str(x, c->high.w[i].s));
    }
}

}  // namespace

bool log_is_word(const L_CHAR* text, const char* word) {
    if (!text) return false;
    for (; *word; word++, text++)
        if (*text != static_cast<unsigned char>(*word)) return false;
    return *text == 0;
}

int log_selector(const L_CHAR* name) {
    for (const SELECTOR& s : selectors)
        if (log_is_word(name, s.name)) return s.field;
    return -1;
}

LOG_COND* new_log_cond() {
    return new LOG_COND{};
}

LOG_ACTION* add_log_action(LOG_COND* c, int type, const L_CHAR* path, uint32_t option, int div_nos,
                           int64_t size) {
    auto* a = new LOG_ACTION{};
    a->cond = c;
    a->type = type;
    a->path = path ? ll_copy_str(path) : nullptr;
    a->option = option;
    a->div_nos = div_nos;
    a->size = size;
    a->next = c->action_list;
    c->action_list = a;
    return a;
}

void free_log_cond(LOG_COND* c) {
    while (c) {
        LOG_COND* next = c->next;
        for (LOG_ACTION* a = c->action_list; a;) {
            LOG_ACTION* an = a->next;
            if (a->path) d_f_ree(a->path);
            delete a;
            a = an;
        }
        for (int i = 0; i < LF_COUNT; i++) {
            free_bound(&c->low, i);
            free_bound(&c->high, i);
        }
        delete c;
        c = next;
    }
}

LOG_COND* get_log_cond(QV_SEXP* element, QV_SEXP* form, QV_SEXP** err) {
    LOG_COND* c = new_log_cond();
    QV_SEXP* e = nullptr;
    for (QV_SEXP* p = cdr(element); !e && get_type(p) == QVT_PAIR; p = p->pair.cdr) {
        QV_SEXP* child = p->pair.car;
        if (get_type(child) != QVT_PAIR) continue;
        QV_SEXP* head = child->pair.car;
        if (get_type(head) == QVT_SYMBOL && log_is_word(head->symbol.data, "Action"))
            e = add_action(c, form, head->symbol.field);
        else
            e = add_constraint(c, form, child);
    }
    if (e) {
        free_log_cond(c);
        *err = e;
        return nullptr;
    }
    return c;
}

bool log_cond_match(const LOG_COND* c, const LOG_NODE_DATA* d) {
    for (int i = 0; i < LF_COUNT; i++)
        if (!field_passes(c, i, d)) return false;
    return true;
}
