// Authentication records, access files, path requirements and the exchange between a server and
// its client (see auth.h).
#include "server/auth.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/confpath.h"
#include "base/socket.h"
#include "base/textutil.h"
#include "base/url.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/lexer.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/docpath.h"
#include "server/protocol.h"
#include "server/remote.h"
#include "stream/sprintf.h"

SEM auth_lock;
AUTH_SET_SERVER auth_set_server;
AUTH_SET_CLIENT auth_set_client;

namespace {

const L_CHAR* lt(const char* s) {
    return l_string(std_cm, s);
}

bool is_symbol(QV_SEXP* s, const char* name) {
    return get_type(s) == QVT_SYMBOL && l_strcmp(s->symbol.data, lt(name)) == 0;
}

// The head symbol of an element (a list headed by a symbol), or null.
QV_SEXP* head_of(QV_SEXP* e) {
    if (get_type(e) != QVT_PAIR) return nullptr;
    QV_SEXP* h = car(e);
    return get_type(h) == QVT_SYMBOL ? h : nullptr;
}

const L_CHAR* head_attr(QV_SEXP* head, const char* name) {
    return head ? get_symbol_field(head, lt(name)) : nullptr;
}

bool same_text(const L_CHAR* a, const L_CHAR* b) {
    if (!a || !b) return a == b;
    return l_strcmp(a, b) == 0;
}

L_CHAR* copy_or_null(const L_CHAR* s) {
    return s ? ll_copy_str(s) : nullptr;
}

const char* combinator_name(int type) {
    return type == AUTH_LIST_AND ? "and" : type == AUTH_LIST_OR ? "or" : "none";
}

int combinator_of(const L_CHAR* t) {
    if (same_text(t, lt("and"))) return AUTH_LIST_AND;
    if (same_text(t, lt("or"))) return AUTH_LIST_OR;
    return AUTH_LIST_NONE;
}

QV_SEXP* denied(QV_SEXP* site, QV_SEXP* data) {
    if (site) return eval_error(site, QVE_AUTH_DENIED, "authentification (DENIED)", data);
    return get_error(nullptr, 0, QVE_AUTH_DENIED, lt("authentification (DENIED)"), data);
}

void free_interp_set(QV_INTERPRETER* qvi) {
    if (!qvi->auth_c_set) return;
    free_auth_connection_set(qvi->auth_c_set);
    qvi->auth_c_set = nullptr;
}

// ---- lists

AUTH_SERVICE_LIST* new_node(AUTH_SERVICE* s, AUTH_SERVICE_LIST* nested, int type) {
    auto* n = static_cast<AUTH_SERVICE_LIST*>(d_alloc(sizeof(AUTH_SERVICE_LIST)));
    n->next = nullptr;
    n->service = s;
    n->list = nested;
    n->type = type;
    return n;
}

void append_node(AUTH_SERVICE_LIST** l, AUTH_SERVICE_LIST* n) {
    while (*l)
        l = &(*l)->next;
    *l = n;
}

// Appends a remainder: a single node as itself, several as one nested node, all of type.
void append_remainder(AUTH_SERVICE_LIST** out, AUTH_SERVICE_LIST* rem, int type) {
    if (!rem) return;
    if (!rem->next) {
        rem->type = type;
        append_node(out, rem);
    } else {
        append_node(out, new_node(nullptr, rem, type));
    }
}

// ---- access files

// Reads a whole file of at most AUTH_FILE_MAX bytes: 1 read, 0 absent, -1 present but unusable.
int read_small_file(const char* path, std::string* out) {
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > AUTH_FILE_MAX) {
        close(fd);
        return -1;
    }
    out->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < out->size()) {
        ssize_t n = read(fd, out->data() + got, out->size() - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    return got == out->size() ? 1 : -1;
}

// True when an error value lies anywhere in the tree.
bool holds_error(QV_SEXP* s) {
    std::vector<QV_SEXP*> stack{s};
    while (!stack.empty()) {
        QV_SEXP* e = stack.back();
        stack.pop_back();
        switch (get_type(e)) {
            case QVT_ERROR:
                return true;
            case QVT_PAIR:
                stack.push_back(e->pair.cdr);
                stack.push_back(e->pair.car);
                break;
            default:
                break;
        }
    }
    return false;
}

// True for the head of a declaration ("?xml", "?qv").
bool is_declaration(QV_SEXP* h) {
    return h && (is_symbol(h, "?xml") || is_symbol(h, "?qv"));
}

// The items of an access or preset file. Its bytes are read as UTF-8 unless a declaration that
// opens the file names an encoding: then what follows it is read in that code set. A name no code
// method knows breaks the file (null and *broken set), as a damaged file does.
QV_SEXP* read_declared(const std::string& text, const char* name, bool* broken) {
    QV_SEXP* items = init_parse_text(text.data(), static_cast<int>(text.size()), name);
    if (get_type(items) == QVT_PAIR && is_declaration(head_of(items->pair.car))) {
        QV_SEXP* decl = items->pair.car;
        L_CHAR* enc = get_symbol_field(head_of(decl), l_string(std_cm, "encoding"));
        if (enc) {
            CODE_METHOD* cm = get_encoding(enc);
            if (!cm) {
                *broken = true;
                return nullptr;
            }
            // The declaration is read whole in the bytes' first reading, then the rest in cm.
            for (QV_SEXP* q = decl; get_type(q) == QVT_PAIR; q = q->pair.cdr) {
            }
            qv_set_cm(decl, cm);
        }
    }
    for (QV_SEXP* p = items; get_type(p) == QVT_PAIR; p = p->pair.cdr) {
    }
    return items;
}

// True for a top-level item that carries nothing to apply: a declaration or an element without
// content.
bool carries_nothing(QV_SEXP* e) {
    return head_of(e) && get_type(cdr(e)) != QVT_PAIR;
}

// The body of an access or preset file: its second top-level item, a file of one item being its
// own body (null for a lone declaration or an empty file). Every item other than the body must
// carry nothing (a declaration, an empty element): a file whose requirements stand anywhere else,
// or with an error anywhere in the text, is broken (*broken set, null), so a path that such a
// file meant to guard is denied, never left open.
QV_SEXP* file_body(const std::string& text, const char* name, bool* broken) {
    *broken = false;
    QV_SEXP* items = read_declared(text, name, broken);
    if (*broken) return nullptr;
    *broken = holds_error(items);
    if (*broken) return nullptr;
    if (get_type(items) != QVT_PAIR) return nullptr;
    QV_SEXP* first = car(items);
    if (get_type(cdr(items)) != QVT_PAIR) return is_declaration(head_of(first)) ? nullptr : first;
    QV_SEXP* body = car(cdr(items));
    for (QV_SEXP* p = items; get_type(p) == QVT_PAIR; p = cdr(p)) {
        if (car(p) != body && !carries_nothing(car(p))) {
            *broken = true;
            return nullptr;
        }
    }
    return body;
}

// Applies the `service` and `target` elements of a body; false at the first element that is
// anything else or fails (the caller then treats the whole file as broken).
bool apply_body(QV_SEXP* body, AUTH_DIR* dir) {
    if (!body) return true;
    if (!head_of(body)) return false;
    for (QV_SEXP* p = cdr(body); get_type(p) == QVT_PAIR; p = cdr(p)) {
        QV_SEXP* e = car(p);
        QV_SEXP* h = head_of(e);
        if (!h) return false;
        if (is_symbol(h, "service")) {
            const char* err = head_attr(h, "result") ? _auth_preset_result(e)
                                                     : _auth_define_service(h->symbol.field, dir);
            if (err) return false;
        } else if (dir && is_symbol(h, "target")) {
            if (_auth_add_target(dir, e, h->symbol.field)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Reads the access file of dir (documents tree first, then the system tree).
void read_access_file(AUTH_DIR* dir) {
    std::vector<L_CHAR> name;
    for (const L_CHAR* c = dir->total_path; *c; c++)
        name.push_back(*c);
    for (const char* c = ".qvaccess"; *c; c++)
        name.push_back(static_cast<L_CHAR>(*c));
    name.push_back(0);
    for (L_CHAR* local : {get_qvdocs(name.data()), get_qvsys(name.data())}) {
        if (!local) continue;
        std::string text;
        int r = read_small_file(n_string(std_cm, local), &text);
        if (r == 0) continue;
        bool broken = r < 0;
        QV_SEXP* body = broken ? nullptr : file_body(text, ".qvaccess", &broken);
        if (broken || !apply_body(body, dir)) {
            dir->broken = true;
            ss_printf("access file %s refused: every path below it is denied\n",
                      visible_text(n_string(std_cm, local)).c_str());
        }
        return;
    }
}

AUTH_DIR* new_dir(const L_CHAR* name, const L_CHAR* total, AUTH_DIR* parent) {
    auto* d = static_cast<AUTH_DIR*>(d_alloc(sizeof(AUTH_DIR)));
    memset(d, 0, sizeof *d);
    d->dir_name = ll_copy_str(name);
    d->total_path = ll_copy_str(total);
    d->parent = parent;
    read_access_file(d);
    return d;
}

// True when the directory (a path from the root without the final '/') exists in a tree.
bool dir_exists(const std::vector<L_CHAR>& path) {
    for (L_CHAR* local : {get_qvdocs(path.data()), get_qvsys(path.data())}) {
        struct stat st;
        if (local && stat(n_string(std_cm, local), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    }
    return false;
}

void free_dir(AUTH_DIR* d) {
    while (d) {
        AUTH_DIR* next = d->child_next;
        free_dir(d->child_list);
        while (AUTH_PREFIX* p = d->prefix) {
            d->prefix = p->next;
            d_f_ree(p->prefix);
            d_f_ree(p->operation);
            free_auth_service_list(p->at_list);
            d_f_ree(p);
        }
        d_f_ree(d->dir_name);
        d_f_ree(d->total_path);
        d_f_ree(d);
        d = next;
    }
}

// The matching target's list of a directory, copied; null when none matches.
AUTH_SERVICE_LIST* dir_requirement(AUTH_DIR* d, const L_CHAR* ext, const char* operation) {
    for (AUTH_PREFIX* p = d->prefix; p; p = p->next) {
        if (p->prefix || p->operation) {
            if (ext && p->prefix && !same_text(p->prefix, ext)) continue;
            if (operation && p->operation && strcmp(operation, p->operation) != 0) continue;
        }
        return copy_auth_service_list(p->at_list);
    }
    return nullptr;
}

// ---- client

void read_preset_dir(const char* base) {
    if (!base) return;
    std::string dir = std::string(base) + "authentification/clientresult";
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    for (const std::string& n : names) {
        std::string text;
        if (read_small_file((dir + "/" + n).c_str(), &text) <= 0) continue;
        bool broken = false;
        QV_SEXP* body = file_body(text, n.c_str(), &broken);
        if (broken || !apply_body(body, nullptr))
            ss_printf("preset credentials %s/%s: stopped at an error\n", dir.c_str(), n.c_str());
    }
}

AUTH_SERVICE* client_service(const AUTH_TABLE* tbl, const L_CHAR* name, QV_SEXP* head) {
    for (auto* k = auth_set_client.auth_service_list; k; k = k->next)
        if (k->service->h.tbl == tbl && same_text(k->service->h.service_name, name))
            return k->service;
    if (!tbl || auth_set_client.services >= AUTH_CLIENT_SERVICES_MAX) return nullptr;
    AUTH_SERVICE tmpl{};
    tmpl.h.tbl = tbl;
    tmpl.h.service_name = const_cast<L_CHAR*>(name);
    tmpl.h.description = const_cast<L_CHAR*>(head_attr(head, "description"));
    tmpl.h.description_url = const_cast<L_CHAR*>(head_attr(head, "description-url"));
    tmpl.h.open_service_name = name != nullptr;
    tmpl.h.open_service_type = 1;
    AUTH_SERVICE* s = tbl->new_auth_service(&tmpl);
    auto* k = static_cast<AUTH_SET_CLIENT::known*>(d_alloc(sizeof(AUTH_SET_CLIENT::known)));
    k->service = s;
    k->next = auth_set_client.auth_service_list;
    auth_set_client.auth_service_list = k;
    auth_set_client.services++;
    return s;
}

// Reads a service-list from a server into client services; *ok false when it is malformed or
// too deep or long.
AUTH_SERVICE_LIST* read_service_list(QV_SEXP* e, int depth, int* count, bool* ok) {
    QV_SEXP* h = head_of(e);
    if (!h || !is_symbol(h, "service-list") || depth > AUTH_LIST_DEPTH) {
        *ok = false;
        return nullptr;
    }
    const L_CHAR* t = head_attr(h, "type");
    if (!t) return nullptr;
    int type = combinator_of(t);
    AUTH_SERVICE_LIST* out = nullptr;
    for (QV_SEXP* p = cdr(e); get_type(p) == QVT_PAIR && *ok; p = cdr(p)) {
        if (++*count > AUTH_LIST_MAX) {
            *ok = false;
            break;
        }
        QV_SEXP* c = car(p);
        QV_SEXP* ch = head_of(c);
        if (!ch) continue;
        if (is_symbol(ch, "service")) {
            const AUTH_TABLE* tbl = at_tbl_type_name(head_attr(ch, "type"));
            if (!tbl) {
                // A kind this agent does not know cannot be answered; the others still can. It
                // stays in the list as a node without a service, which the matching counts as
                // not met.
                append_node(&out, new_node(nullptr, nullptr, type));
                continue;
            }
            AUTH_SERVICE* s = client_service(tbl, head_attr(ch, "name"), ch);
            if (!s) {
                *ok = false;
                break;
            }
            if (tbl->client_recv_sexp) tbl->client_recv_sexp(s, ch);
            append_node(&out, new_node(s, nullptr, type));
        } else if (is_symbol(ch, "service-list")) {
            AUTH_SERVICE_LIST* nested = read_service_list(c, depth + 1, count, ok);
            if (nested) append_node(&out, new_node(nullptr, nested, type));
        }
    }
    if (!*ok) {
        free_auth_service_list(out);
        return nullptr;
    }
    return out;
}

AUTH_RESULT* find_client_result(AUTH_RESULT* l, AUTH_SERVICE* s) {
    for (; l; l = l->next)
        if (l->service == s) return l;
    return nullptr;
}

// The client's result for service s to send now, or null (nothing sendable: it stays pending).
// A result in the sendable state still goes through the kind's client transaction, so what is
// sent is current (the local proof reads the key of the file this server named just now).
AUTH_RESULT* client_result(AUTH_SERVICE* s) {
    const AUTH_TABLE* tbl = s->h.tbl;
    if (AUTH_RESULT* r = find_client_result(auth_set_client.preset_result_list, s)) {
        if (r->status != ARS_SEND_PERMIT) return nullptr;
        if (!tbl->client_transaction) return r;
        tbl->client_transaction(s, r);
        if (r->status == ARS_SEND_PERMIT) return r;
        // A preset stays ready: one failed read must not disable it for the rest of the run.
        r->status = ARS_SEND_PERMIT;
        return nullptr;
    }
    AUTH_RESULT* r = find_client_result(auth_set_client.required_result_list, s);
    if (!r) {
        r = tbl->new_auth_result(s, nullptr, 0);
        r->next = auth_set_client.required_result_list;
        auth_set_client.required_result_list = r;
    }
    // A result made on demand is tried afresh each time: one failed read of a key file must not
    // keep the service unanswerable for the rest of the run.
    if (!tbl->client_transaction) return r->status == ARS_SEND_PERMIT ? r : nullptr;
    r->status = ARS_REQUIRED;
    tbl->client_transaction(s, r);
    return r->status == ARS_SEND_PERMIT ? r : nullptr;
}

// Matches a list with the client's results: what to send is appended to send; the answer is the
// number of nodes left pending (not met). "and" sends every result it has and leaves the others
// pending; "or" ends at the first node met whole (a service answered, or a nested list with
// nothing pending), after sending what the nodes before it could give.
int corresponding_results(const AUTH_SERVICE_LIST* l, std::vector<AUTH_RESULT*>* send) {
    int type = l ? l->type : AUTH_LIST_NONE;
    int pending = 0;
    for (; l; l = l->next) {
        bool met;
        if (l->service) {
            AUTH_RESULT* r = client_result(l->service);
            if (r) send->push_back(r);
            met = r != nullptr;
        } else if (l->list) {
            met = corresponding_results(l->list, send) == 0;
        } else {
            met = false;  // a service of an unknown kind
        }
        if (type == AUTH_LIST_OR && met) return 0;
        if (!met) pending++;
    }
    return pending;
}

}  // namespace

// ---- set-up

void init_auth() {
    static bool done = false;
    if (done) return;
    done = true;
    new_lock(&auth_lock);
    auth_free_qvi = free_interp_set;
}

// ---- records

void new_auth_service_header(AUTH_SERVICE_HEADER* dst, const AUTH_SERVICE_HEADER* tmpl,
                             const AUTH_TABLE* tbl) {
    dst->tbl = tmpl->tbl ? tmpl->tbl : tbl;
    dst->service_name = copy_or_null(tmpl->service_name);
    dst->description_url = copy_or_null(tmpl->description_url);
    dst->description = copy_or_null(tmpl->description);
    dst->open_service_name = tmpl->open_service_name & dst->tbl->default_open_service_name;
    dst->open_service_type = tmpl->open_service_type & dst->tbl->default_open_service_type;
}

void free_auth_service_header(AUTH_SERVICE_HEADER* h) {
    d_f_ree(h->service_name);
    d_f_ree(h->description_url);
    d_f_ree(h->description);
    h->service_name = h->description_url = h->description = nullptr;
}

QV_SEXP* get_service_header_sexp(const AUTH_SERVICE* s) {
    QV_SEXP* head = n_get_symbol("service");
    if (s->h.tbl) set_attribute(head, lt("type"), lt(s->h.tbl->name));
    if (s->h.description_url) set_attribute(head, lt("description-url"), s->h.description_url);
    if (s->h.description) set_attribute(head, lt("description"), s->h.description);
    if (s->h.service_name) set_attribute(head, lt("name"), s->h.service_name);
    return list(head, nullptr);
}

QV_SEXP* get_result_header_sexp(const AUTH_RESULT* r) {
    QV_SEXP* e = get_service_header_sexp(r->service);
    char buf[16];
    snprintf(buf, sizeof buf, "%d", r->status);
    set_attribute(car(e), lt("status"), l_string(std_cm, buf));
    return e;
}

namespace {

// While a peer's answer for a path is read (auth_lock held): what that path requires.
const AUTH_SERVICE_LIST* answering_for = nullptr;

// The service of that kind and name in l (at any depth), or null.
AUTH_SERVICE* required_service(const AUTH_SERVICE_LIST* l, const AUTH_TABLE* tbl,
                               const L_CHAR* name, int depth = 0) {
    for (; l && depth <= AUTH_LIST_DEPTH; l = l->next) {
        if (l->service) {
            if (l->service->h.tbl == tbl && (!name || same_text(l->service->h.service_name, name)))
                return l->service;
        } else if (AUTH_SERVICE* s = required_service(l->list, tbl, name, depth + 1)) {
            return s;
        }
    }
    return nullptr;
}

}  // namespace

AUTH_SERVICE* _get_service_header(AUTH_SET_SERVER* set, QV_SEXP* element) {
    QV_SEXP* h = head_of(element);
    if (!h || !is_symbol(h, "service")) return nullptr;
    const AUTH_TABLE* tbl = at_tbl_type_name(head_attr(h, "type"));
    if (!tbl) return nullptr;
    // Presets written without the port of the full name (":0") name the same service.
    L_CHAR* name = auth_same_name_form(head_attr(h, "name"));
    AUTH_SERVICE* found = nullptr;
    if (set) {
        // Only a defined service: a result for any other could never satisfy a requirement.
        // Folders may define services of one name: the answer is for the one the path requires.
        found = required_service(answering_for, tbl, name);
        for (auto* d = set->auth_service_list; d && !found; d = d->next)
            if (d->service->h.tbl == tbl && (!name || same_text(d->service->h.service_name, name)))
                found = d->service;
    } else {
        found = client_service(tbl, name, h);
    }
    d_f_ree(name);
    return found;
}

AUTH_SERVICE* get_service_header(AUTH_SET_SERVER* set, QV_SEXP* element) {
    TaskLockGuard g(auth_lock);
    return _get_service_header(set, element);
}

L_CHAR* auth_full_name(const L_CHAR* name) {
    // Through the URL printer: the protocol has no well-known port, so the port is written
    // (":0"), and a peer that builds the name the same way gets the same text.
    URL u;
    zero_url(&u);
    u.proto = l_string(std_cm, "SERVICE");
    u.server = const_cast<L_CHAR*>(get_qvlisp_site());
    u.db = l_string(std_cm, "/");
    u.resource = const_cast<L_CHAR*>(name);
    const L_CHAR* full = get_url_str2(&u);
    return ll_copy_str(full ? full : name);
}

L_CHAR* auth_same_name_form(const L_CHAR* name) {
    if (!name) return nullptr;
    URL u;
    L_CHAR* form = nullptr;
    // Only a full service name is rewritten; any other name is compared as it is.
    if (get_url2(&u, name) == 0 && u.proto && same_text(u.proto, lt("SERVICE")) && u.server &&
        u.port == 0)
        if (const L_CHAR* printed = get_url_str2(&u)) form = ll_copy_str(printed);
    free_url(&u);
    return form ? form : ll_copy_str(name);
}

// ---- connection sets

AUTH_CONNECTION_SET* _auth_connection_set(QV_INTERPRETER* qvi) {
    if (!qvi->auth_c_set) {
        auto* s = static_cast<AUTH_CONNECTION_SET*>(d_alloc(sizeof(AUTH_CONNECTION_SET)));
        s->server_set = &auth_set_server;
        s->client_set = &auth_set_client;
        s->server_result = nullptr;
        s->qvi = qvi;
        qvi->auth_c_set = s;
    }
    return qvi->auth_c_set;
}

// Only the interpreter's own tasks use its set, and they have ended by its final close: the
// results (which own nothing shared) are freed without auth_lock, which must never be taken
// under qvi_lock.
void free_auth_connection_set(AUTH_CONNECTION_SET* set) {
    if (!set) return;
    while (AUTH_RESULT* r = set->server_result) {
        set->server_result = r->next;
        r->service->h.tbl->free_auth_result(r, 0);
    }
    d_f_ree(set);
}

AUTH_RESULT* _connection_result(AUTH_CONNECTION_SET* set, AUTH_SERVICE* service) {
    for (AUTH_RESULT* r = set->server_result; r; r = r->next)
        if (r->service == service) return r;
    return nullptr;
}

// ---- definitions

namespace {

// The lowest bit of a decimal text read as a whole number from its start (leading blanks and a
// sign allowed, reading stops at the first other character): "10" is 0, "11" and "-1" are 1.
uint8_t lowest_bit(const L_CHAR* t) {
    while (*t == ' ' || *t == '\t' || *t == '\n' || *t == '\r' || *t == '\f' || *t == '\v')
        t++;
    if (*t == '+' || *t == '-') t++;
    L_CHAR last = '0';
    for (; *t >= '0' && *t <= '9'; t++)
        last = *t;
    // A number's parity is its last digit's, whatever its sign and size.
    return static_cast<uint8_t>((last - '0') & 1);
}

}  // namespace

const char* _auth_define_service(QV_SYM_FIELD* attr, AUTH_DIR* dir) {
    const L_CHAR* name = get_sf_attribute(attr, lt("name"));
    const L_CHAR* type = get_sf_attribute(attr, lt("type"));
    if (!name) return "service name required";
    if (!type) return "service type required";
    const AUTH_TABLE* tbl = at_tbl_type_name(type);
    if (!tbl) return "service type invalid";
    AUTH_SERVICE_HEADER h{};
    h.tbl = tbl;
    h.service_name = auth_full_name(name);
    h.description = const_cast<L_CHAR*>(get_sf_attribute(attr, lt("description")));
    h.description_url = const_cast<L_CHAR*>(get_sf_attribute(attr, lt("description-url")));
    h.open_service_name = 1;
    h.open_service_type = 1;
    if (const L_CHAR* t = get_sf_attribute(attr, lt("open-service-name")))
        h.open_service_name = lowest_bit(t);
    if (const L_CHAR* t = get_sf_attribute(attr, lt("open-service-type")))
        h.open_service_type = lowest_bit(t);
    AUTH_SERVICE* s = tbl->parse_info(&h, attr);
    d_f_ree(h.service_name);
    auto* d = static_cast<AUTH_SET_SERVER::defined*>(d_alloc(sizeof(AUTH_SET_SERVER::defined)));
    d->service = s;
    d->dir = dir;
    d->next = auth_set_server.auth_service_list;
    auth_set_server.auth_service_list = d;
    return nullptr;
}

const char* _auth_preset_result(QV_SEXP* element) {
    QV_SEXP* h = head_of(element);
    if (!head_attr(h, "name")) return "service name required";
    const L_CHAR* type = head_attr(h, "type");
    if (!type) return "service type required";
    const AUTH_TABLE* tbl = at_tbl_type_name(type);
    if (!tbl) return "service type invalid";
    AUTH_RESULT* r = tbl->recv_result_info(nullptr, element);
    if (!r) return "result parse error";
    // A preset credential is there to be sent: it is ready from the start.
    r->status = ARS_SEND_PERMIT;
    // A newer preset of the same service replaces the older.
    AUTH_RESULT** p = &auth_set_client.preset_result_list;
    while (*p) {
        if ((*p)->service == r->service) {
            AUTH_RESULT* old = *p;
            *p = old->next;
            tbl->free_auth_result(old, 0);
            continue;
        }
        p = &(*p)->next;
    }
    *p = r;
    return nullptr;
}

namespace {

// The defined service of that full name that dir's access file sees: the one its own file
// defines, else the nearest directory's above it, else the newest defined anywhere (by a script
// or another folder's file); null when none has that name.
AUTH_SERVICE* _scoped_service(AUTH_DIR* dir, const L_CHAR* full) {
    for (AUTH_DIR* at = dir; at; at = at->parent)
        for (auto* d = auth_set_server.auth_service_list; d; d = d->next)
            if (d->dir == at && same_text(d->service->h.service_name, full)) return d->service;
    for (auto* d = auth_set_server.auth_service_list; d; d = d->next)
        if (same_text(d->service->h.service_name, full)) return d->service;
    return nullptr;
}

}  // namespace

QV_SEXP* _auth_add_target(AUTH_DIR* dir, QV_SEXP* form, QV_SYM_FIELD* attr) {
    const L_CHAR* prefix = get_sf_attribute(attr, lt("prefix"));
    const L_CHAR* op = get_sf_attribute(attr, lt("operation"));
    AUTH_SERVICE_LIST* l = nullptr;
    int count = 0;
    for (QV_SEXP* p = cdr(form); get_type(p) == QVT_PAIR; p = cdr(p)) {
        QV_SEXP* a = car(p);
        if (get_type(a) != QVT_STRING || ++count > AUTH_LIST_MAX) {
            free_auth_service_list(l);
            return eval_error(a, 0x80030806, "target", n_get_string("arguments are STRING"));
        }
        L_CHAR* full = auth_full_name(a->string.data);
        AUTH_SERVICE* found = _scoped_service(dir, full);
        d_f_ree(full);
        if (!found) {
            free_auth_service_list(l);
            return eval_error(a, 0x80040501, "target",
                              list(n_get_string("undefined service name"), a, nullptr));
        }
        append_node(&l, new_node(found, nullptr, AUTH_LIST_AND));
    }
    char* op8 = op ? d_strdup(n_string(std_cm, op)) : nullptr;
    // Two targets of one prefix and operation are alternatives; another operation is a target
    // of its own, so it never weakens the first one's requirement.
    for (AUTH_PREFIX* t = dir->prefix; t; t = t->next) {
        if (!same_text(t->prefix, prefix) ||
            (op8 && t->operation ? strcmp(op8, t->operation) != 0 : op8 != t->operation))
            continue;
        d_f_ree(op8);
        if (!t->at_list) {
            // Already free of requirements: an alternative cannot make it stricter.
            free_auth_service_list(l);
        } else if (!l) {
            free_auth_service_list(t->at_list);
            t->at_list = nullptr;
        } else {
            if (t->at_list->type != AUTH_LIST_OR)
                t->at_list = new_node(nullptr, t->at_list, AUTH_LIST_OR);
            append_node(&t->at_list, new_node(nullptr, l, AUTH_LIST_OR));
        }
        return nullptr;
    }
    auto* t = static_cast<AUTH_PREFIX*>(d_alloc(sizeof(AUTH_PREFIX)));
    t->prefix = copy_or_null(prefix);
    t->operation = op8;
    t->at_list = l;
    t->next = dir->prefix;
    dir->prefix = t;
    return nullptr;
}

// ---- client results

namespace {

// The client's first result whose service matches name and tbl, made on demand ones first
// (auth_lock held). A null tbl matches any kind; a null name matches any name with any_name,
// else only a service without name.
AUTH_RESULT* _client_result_named(const L_CHAR* name, const AUTH_TABLE* tbl, bool any_name) {
    for (AUTH_RESULT* l :
         {auth_set_client.required_result_list, auth_set_client.preset_result_list})
        for (; l; l = l->next)
            if (((any_name && !name) || same_text(l->service->h.service_name, name)) &&
                (!tbl || l->service->h.tbl == tbl))
                return l;
    return nullptr;
}

}  // namespace

AUTH_RESULT* set_authentification_result(const AUTH_RESULT* tmpl, QV_SEXP* element) {
    if (!tmpl || !tmpl->service) return nullptr;
    QV_SEXP* head = get_type(element) == QVT_SYMBOL ? element : head_of(element);
    TaskLockGuard g(auth_lock);
    const AUTH_SERVICE* s = tmpl->service;
    // A result without name matches only a service without name, as the client's services do.
    AUTH_RESULT* r = _client_result_named(s->h.service_name, s->h.tbl, false);
    if (!r) return nullptr;
    r->status = tmpl->status;
    if (head && r->service->h.tbl->set_authentification_result)
        r->service->h.tbl->set_authentification_result(r, head);
    return r;
}

AUTH_RESULT* search_auth_result_in_client(const L_CHAR* name, const AUTH_TABLE* tbl, int status,
                                          int mask) {
    TaskLockGuard g(auth_lock);
    AUTH_RESULT* r = _client_result_named(name, tbl, true);
    if (!r) return nullptr;
    AUTH_RESULT* c = r->service->h.tbl->new_auth_result(r->service, r, 0);
    c->next = nullptr;
    if (c->status & mask) c->status = status;
    return c;
}

// ---- lists

void free_auth_service_list(AUTH_SERVICE_LIST* l) {
    while (l) {
        AUTH_SERVICE_LIST* next = l->next;
        free_auth_service_list(l->list);
        d_f_ree(l);
        l = next;
    }
}

AUTH_SERVICE_LIST* copy_auth_service_list(const AUTH_SERVICE_LIST* l) {
    AUTH_SERVICE_LIST* out = nullptr;
    AUTH_SERVICE_LIST** tail = &out;
    for (; l; l = l->next) {
        *tail = new_node(l->service, copy_auth_service_list(l->list), l->type);
        tail = &(*tail)->next;
    }
    return out;
}

QV_SEXP* auth_service_list_sexp(const AUTH_SERVICE_LIST* l) {
    if (!l) return nullptr;
    QV_SEXP* head = n_get_symbol("service-list");
    set_attribute(head, lt("type"), lt(combinator_name(l->type)));
    ListOut items;
    for (; l; l = l->next) {
        QV_SEXP* item = nullptr;
        if (l->service) {
            const AUTH_SERVICE* s = l->service;
            if (!s->h.open_service_name && !s->h.open_service_type) continue;
            QV_SEXP* h = n_get_symbol("service");
            if (s->h.open_service_type) set_attribute(h, lt("type"), lt(s->h.tbl->name));
            if (s->h.description_url) set_attribute(h, lt("description-url"), s->h.description_url);
            if (s->h.description) set_attribute(h, lt("description"), s->h.description);
            if (s->h.open_service_name) set_attribute(h, lt("name"), s->h.service_name);
            if (s->h.tbl->server_send_sexp) s->h.tbl->server_send_sexp(l->service, h);
            item = list(h, nullptr);
        } else {
            item = auth_service_list_sexp(l->list);
            if (!item) continue;
        }
        items.add(item);
    }
    return cons(head, items.head);
}

// ---- path checks

int _auth_required(AUTH_SERVICE_LIST** out, const L_CHAR* path, const char* operation) {
    *out = nullptr;
    if (!doc_path_ok(path)) return -1;
    // The extension runs from the last '.' after the last '/'; the directories end at that '/'.
    int n = l_strlen(path);
    int slash = -1, dot = -1;
    for (int i = n - 1; i >= 0; i--) {
        if (path[i] == '/') {
            slash = i;
            break;
        }
        if (path[i] == '.' && dot < 0) dot = i;
    }
    const L_CHAR* ext = dot >= 0 ? path + dot : nullptr;
    if (!auth_set_server.auth_dir_tree)
        auth_set_server.auth_dir_tree = new_dir(lt(""), lt("/"), nullptr);
    AUTH_DIR* d = auth_set_server.auth_dir_tree;
    std::vector<L_CHAR> total{'/'};
    int i = 0;
    for (;;) {
        if (d->broken) {
            free_auth_service_list(*out);
            *out = nullptr;
            return -1;
        }
        // This directory's requirement goes in front of what the directories above ask.
        if (AUTH_SERVICE_LIST* mine = dir_requirement(d, ext, operation)) {
            AUTH_SERVICE_LIST* joined = nullptr;
            if (mine->type == AUTH_LIST_AND) {
                joined = mine;
            } else {
                joined = new_node(nullptr, mine, AUTH_LIST_AND);
            }
            append_node(&joined, *out);
            *out = joined;
        }
        // The next piece of the directory part.
        while (i < slash && path[i] == '/')
            i++;
        if (i >= slash) break;
        int start = i;
        while (i < slash && path[i] != '/')
            i++;
        std::vector<L_CHAR> piece(path + start, path + i);
        piece.push_back(0);
        AUTH_DIR* c = d->child_list;
        while (c && !same_text(c->dir_name, piece.data()))
            c = c->child_next;
        total.insert(total.end(), path + start, path + i);
        if (!c) {
            // A directory no tree holds can hold no access file, nor can anything below it.
            std::vector<L_CHAR> dir_path = total;
            dir_path.push_back(0);
            if (!dir_exists(dir_path)) break;
            std::vector<L_CHAR> t = total;
            t.push_back('/');
            t.push_back(0);
            c = new_dir(piece.data(), t.data(), d);
            c->child_next = d->child_list;
            d->child_list = c;
        }
        total.push_back('/');
        d = c;
    }
    return 0;
}

AUTH_SERVICE_LIST* _ap_authentification(int* status, const AUTH_SERVICE_LIST* l,
                                        AUTH_CONNECTION_SET* set, int depth) {
    *status = ARS_ACCEPT;
    if (!l) return nullptr;
    if (depth > AUTH_LIST_DEPTH) {
        *status = ARS_DENY;
        return nullptr;
    }
    AUTH_SERVICE_LIST* rem = nullptr;
    // A list that is neither "and" nor "or" is taken strictly, as "and".
    bool is_or = l->type == AUTH_LIST_OR;
    for (; l; l = l->next) {
        if (l->service) {
            AUTH_RESULT* r = _connection_result(set, l->service);
            bool fresh = false;
            if (!r) {
                r = l->service->h.tbl->authentification(set, l->service, 0);
                if (r) {
                    r->next = set->server_result;
                    set->server_result = r;
                }
                fresh = true;
            }
            if (!r) {
                append_node(&rem,
                            new_node(l->service, nullptr, is_or ? AUTH_LIST_OR : AUTH_LIST_AND));
                continue;
            }
            if (r->status == ARS_DENY) {
                if (is_or && !fresh) continue;
                free_auth_service_list(rem);
                *status = ARS_DENY;
                return nullptr;
            }
            if (r->status == ARS_ACCEPT) {
                if (is_or) {
                    free_auth_service_list(rem);
                    return nullptr;
                }
                continue;
            }
            // A result not yet judged (ARS_NONE and the like) satisfies nothing.
            append_node(&rem, new_node(l->service, nullptr, is_or ? AUTH_LIST_OR : AUTH_LIST_AND));
            continue;
        }
        int st;
        AUTH_SERVICE_LIST* sub = _ap_authentification(&st, l->list, set, depth + 1);
        if (st == ARS_DENY) {
            // One alternative refused leaves the others to try: an "or" is met by any of them,
            // and is refused only when none is left (below).
            if (is_or) continue;
            free_auth_service_list(rem);
            *status = ARS_DENY;
            return nullptr;
        }
        if (!sub) {
            if (is_or) {
                free_auth_service_list(rem);
                return nullptr;
            }
            continue;
        }
        append_remainder(&rem, sub, is_or ? AUTH_LIST_OR : AUTH_LIST_AND);
    }
    if (is_or && !rem) *status = ARS_DENY;
    return rem;
}

QV_SEXP* _ap_server_check_path_phase(AUTH_CONNECTION_SET* set, const L_CHAR* path,
                                     const char* operation, uint32_t* gen_out) {
    *gen_out = ++auth_set_server.auth_gc_no;
    AUTH_SERVICE_LIST* req;
    if (_auth_required(&req, path, operation) < 0) return denied(nullptr, nullptr);
    int st;
    AUTH_SERVICE_LIST* rem = _ap_authentification(&st, req, set);
    free_auth_service_list(req);
    if (st == ARS_DENY) return denied(nullptr, nullptr);
    QV_SEXP* r = auth_service_list_sexp(rem);
    // What is missing but cannot be named to the peer can never be answered.
    if (rem && !r) r = denied(nullptr, nullptr);
    free_auth_service_list(rem);
    return r;
}

QV_SEXP* ap_server_check_path_phase(AUTH_CONNECTION_SET* set, const L_CHAR* path,
                                    const char* operation, uint32_t* gen_out) {
    TaskLockGuard g(auth_lock);
    return _ap_server_check_path_phase(set, path, operation, gen_out);
}

namespace {

// Reads the results of a result-list into the connection: false when it is too deep or long.
bool install_results(AUTH_CONNECTION_SET* set, QV_SEXP* e, int depth, int* count) {
    if (depth > AUTH_LIST_DEPTH) return false;
    for (QV_SEXP* p = cdr(e); get_type(p) == QVT_PAIR; p = cdr(p)) {
        if (++*count > AUTH_LIST_MAX) return false;
        QV_SEXP* c = car(p);
        QV_SEXP* h = head_of(c);
        if (!h) continue;
        if (is_symbol(h, "result-list")) {
            if (!install_results(set, c, depth + 1, count)) return false;
            continue;
        }
        if (!is_symbol(h, "service")) continue;
        const AUTH_TABLE* tbl = at_tbl_type_name(head_attr(h, "type"));
        if (!tbl) continue;
        AUTH_RESULT* r = tbl->recv_result_info(set->server_set, c);
        if (!r) continue;
        r->status = ARS_NONE;
        for (AUTH_RESULT** q = &set->server_result; *q; q = &(*q)->next) {
            if ((*q)->service == r->service) {
                AUTH_RESULT* old = *q;
                *q = old->next;
                tbl->free_auth_result(old, 0);
                break;
            }
        }
        r->next = set->server_result;
        set->server_result = r;
        tbl->authentification(set, r->service, 1);
    }
    return true;
}

}  // namespace

QV_SEXP* _ap_server_authentification(AUTH_CONNECTION_SET* set, QV_SEXP* answer, const L_CHAR* path,
                                     const char* operation) {
    QV_SEXP* h = head_of(answer);
    QV_SEXP* site = get_type(answer) == QVT_PAIR ? answer : nullptr;
    AUTH_SERVICE_LIST* req;
    if (_auth_required(&req, path, operation) < 0) return denied(site, nullptr);
    if (h && is_symbol(h, "result-list")) {
        int count = 0;
        answering_for = req;
        bool ok = install_results(set, answer, 0, &count);
        answering_for = nullptr;
        if (!ok) {
            free_auth_service_list(req);
            return denied(site, nullptr);
        }
    }
    int st;
    AUTH_SERVICE_LIST* rem = _ap_authentification(&st, req, set);
    free_auth_service_list(req);
    QV_SEXP* r = nullptr;
    if (st == ARS_DENY)
        r = denied(site, nullptr);
    else if (rem)
        r = denied(site, auth_service_list_sexp(rem));
    free_auth_service_list(rem);
    return r;
}

QV_SEXP* ap_server_authentification(AUTH_CONNECTION_SET* set, QV_SEXP* answer, const L_CHAR* path,
                                    const char* operation) {
    TaskLockGuard g(auth_lock);
    return _ap_server_authentification(set, answer, path, operation);
}

void _ap_server_gc(AUTH_SET_SERVER* set, uint32_t gen) {
    for (auto* d = set->auth_service_list; d; d = d->next)
        if (d->service->h.tbl->gc_service) d->service->h.tbl->gc_service(set, d->service, gen);
}

void ap_server_gc(AUTH_SET_SERVER* set, uint32_t gen) {
    TaskLockGuard g(auth_lock);
    _ap_server_gc(set, gen);
}

QV_SEXP* _ap_client_get_key(QV_SEXP* service_list) {
    if (!auth_set_client.enable_client_result) {
        auth_set_client.enable_client_result = true;
        read_preset_dir(get_preference_path());
        read_preset_dir(get_peripheral_path());
    }
    bool ok = true;
    int count = 0;
    AUTH_SERVICE_LIST* l = read_service_list(service_list, 0, &count, &ok);
    std::vector<AUTH_RESULT*> send;
    if (ok) corresponding_results(l, &send);
    int type = l ? l->type : AUTH_LIST_NONE;
    free_auth_service_list(l);
    if (send.empty()) return nullptr;
    QV_SEXP* head = n_get_symbol("result-list");
    set_attribute(head, lt("type"), lt(combinator_name(type)));
    QV_SEXP* items = nullptr;
    for (size_t i = send.size(); i-- > 0;)
        items = cons(send[i]->service->h.tbl->send_result_info(send[i]), items);
    return cons(head, items);
}

QV_SEXP* ap_client_get_key(QV_SEXP* service_list) {
    // Realised before the lock: reading a deferred value may wait for a peer.
    realize_whole(service_list);
    TaskLockGuard g(auth_lock);
    return _ap_client_get_key(service_list);
}

bool auth_client_may_answer() {
    TaskLockGuard g(qvi_lock);
    QV_INTERPRETER* q = command_interpreter();
    return q && q->a_type == QVA_CONNECT && q->opener_level == OWN_PRIVILEGED;
}

QV_SEXP* auth_filepath_passive(QV_SEXP* path, const char* operation) {
    if (get_type(path) != QVT_STRING || !doc_path_ok(path->string.data))
        return denied(nullptr, nullptr);
    AUTH_CONNECTION_SET* set = nullptr;
    {
        TaskLockGuard g(qvi_lock);
        QV_INTERPRETER* me = _get_my_qvi();
        if (!me) return nullptr;
        // The set of the caller's own interpreter: its tasks are the only users, so it lives
        // as long as this check runs.
        set = _auth_connection_set(me);
    }
    gc_push(nullptr, nullptr, "check_filepath");
    uint32_t gen = 0;
    QV_SEXP* r = ap_server_check_path_phase(set, path->string.data, operation, &gen);
    if (r && get_type(r) != QVT_ERROR) {
        QV_SEXP* call = list(n_get_symbol("auth-transaction"), get_integer(1, nullptr), path,
                             list(n_get_symbol("quote"), r, nullptr), nullptr);
        // Nothing is held while the peer answers; its own back-calls reach only the general
        // environment.
        QV_SEXP* answer = local_query(vxlisp_top_env0, nullptr, nullptr, call);
        realize_whole(answer);
        if (get_type(answer) == QVT_ERROR)
            r = answer;
        else
            r = ap_server_authentification(set, answer, path->string.data, operation);
    }
    ap_server_gc(&auth_set_server, gen);
    gc_pop(r, gc_vx_sexp);
    return r;
}

QV_SEXP* auth_served_file(L_CHAR** opened, const L_CHAR* local, const L_CHAR* requested,
                          const char* operation) {
    L_CHAR* url = nullptr;
    if (resolve_tree_file(local, opened, &url) < 1) {
        *opened = nullptr;
        return nullptr;
    }
    // A file reached through a link answers to the guards of the folder it lies in.
    if (same_text(url, requested)) return nullptr;
    QV_SEXP* r = auth_filepath_passive(get_string(url), operation);
    if (r) *opened = nullptr;
    return r;
}

void reset_auth() {
    init_auth();
    TaskLockGuard g(auth_lock);
    free_dir(auth_set_server.auth_dir_tree);
    auth_set_server.auth_dir_tree = nullptr;
    while (auto* d = auth_set_server.auth_service_list) {
        auth_set_server.auth_service_list = d->next;
        if (d->service->h.tbl->gc_service) {
            // Every key file still issued goes with its service.
            while (d->service->keyfile)
                d->service->h.tbl->gc_service(&auth_set_server, d->service,
                                              d->service->keyfile->auth_gc_no);
        }
        d->service->h.tbl->free_auth_service(d->service);
        d_f_ree(d);
    }
    for (AUTH_RESULT** l :
         {&auth_set_client.preset_result_list, &auth_set_client.required_result_list}) {
        while (AUTH_RESULT* r = *l) {
            *l = r->next;
            r->service->h.tbl->free_auth_result(r, 0);
        }
    }
    while (auto* k = auth_set_client.auth_service_list) {
        auth_set_client.auth_service_list = k->next;
        k->service->h.tbl->free_auth_service(k->service);
        d_f_ree(k);
    }
    auth_set_client.services = 0;
    auth_set_client.enable_client_result = false;
}
