// The service kinds: "fix-user-passwd", a user name and password the server compares, and
// "localhost-root", a proof that the client runs on the server's host as the same user: the
// server writes a random key into a new file of the temporary directory (mode 0600), tells the
// client only the file's name, and the client answers with the key read from that file.
//
// Key files hold the key as 4 bytes, least significant first. Keys and names come from
// getrandom(2). The server creates a file exclusively and without following links; the client
// reads only a regular file of exactly 4 bytes that it owns, opened without following links, so
// a server cannot make it send the head of some other file.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/alloc.h"
#include "base/confpath.h"
#include "base/textutil.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/auth.h"

namespace {

L_CHAR* copy_or_null(const L_CHAR* s) {
    return s ? ll_copy_str(s) : nullptr;
}

void replace_text(L_CHAR** dst, const L_CHAR* src) {
    d_f_ree(*dst);
    *dst = copy_or_null(src);
}

const L_CHAR* attr(QV_SEXP* head, const char* name) {
    return get_symbol_field(head, l_string(std_cm, name));
}

// An unsigned decimal attribute; false when absent or not a number below 2^32.
bool attr_u32(QV_SEXP* head, const char* name, uint32_t* out) {
    const L_CHAR* t = attr(head, name);
    if (!t || !*t) return false;
    uint64_t v = 0;
    for (; *t; t++) {
        if (*t < '0' || *t > '9') return false;
        v = v * 10 + (*t - '0');
        if (v > UINT32_MAX) return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

void set_u32(QV_SEXP* head, const char* name, uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof buf, "%u", v);
    set_attribute(head, l_string(std_cm, name), l_string(std_cm, buf));
}

void set_text(QV_SEXP* head, const char* name, const L_CHAR* v) {
    if (v) set_attribute(head, l_string(std_cm, name), v);
}

// Equal texts, in a time that depends only on the secret's length.
bool secret_equal(const L_CHAR* secret, const L_CHAR* given) {
    if (!secret || !given) return false;
    size_t ls = l_strlen(secret), lg = l_strlen(given);
    uint32_t diff = ls != lg;
    for (size_t i = 0; i < ls; i++)
        diff |= static_cast<uint32_t>(secret[i]) ^ static_cast<uint32_t>(i < lg ? given[i] : 0);
    volatile uint32_t sink = diff;
    return sink == 0;
}

uint32_t random_u32() {
    uint32_t v = 0;
    auto* p = reinterpret_cast<unsigned char*>(&v);
    size_t got = 0;
    while (got < sizeof v) {
        ssize_t n = getrandom(p + got, sizeof v - got, 0);
        if (n > 0) got += static_cast<size_t>(n);
    }
    return v;
}

void keyfile_path(char* buf, size_t cap, uint32_t name) {
    snprintf(buf, cap, "%s/%u", get_tmp_dir(), name);
}

// ---- common slots

AUTH_SERVICE* new_service(const AUTH_SERVICE* tmpl) {
    auto* s = static_cast<AUTH_SERVICE*>(d_alloc(sizeof(AUTH_SERVICE)));
    memset(s, 0, sizeof *s);
    new_auth_service_header(&s->h, &tmpl->h, tmpl->h.tbl);
    return s;
}

AUTH_SERVICE* parse_service(const AUTH_SERVICE_HEADER* h) {
    auto* s = static_cast<AUTH_SERVICE*>(d_alloc(sizeof(AUTH_SERVICE)));
    memset(s, 0, sizeof *s);
    new_auth_service_header(&s->h, h, h->tbl);
    return s;
}

AUTH_RESULT* new_result(AUTH_SERVICE* service, const AUTH_RESULT* tmpl, int copy) {
    auto* r = static_cast<AUTH_RESULT*>(d_alloc(sizeof(AUTH_RESULT)));
    memset(r, 0, sizeof *r);
    r->status = ARS_NONE;
    if (tmpl) {
        r->status = tmpl->status;
        r->service = tmpl->service;
        r->user = copy_or_null(tmpl->user);
        r->passwd = copy_or_null(tmpl->passwd);
        r->filename = tmpl->filename;
        r->key = tmpl->key;
    }
    // With copy and no template the result owns a copy of the service (freed with it when
    // free_auth_result is given its flag).
    if (service) r->service = copy && !tmpl ? service->h.tbl->new_auth_service(service) : service;
    return r;
}

void free_result(AUTH_RESULT* r, int flag) {
    if (!r) return;
    if (flag && r->service) r->service->h.tbl->free_auth_service(r->service);
    d_f_ree(r->user);
    d_f_ree(r->passwd);
    d_f_ree(r);
}

// ---- fix-user-passwd

AUTH_SERVICE* fup_new_service(const AUTH_SERVICE* tmpl) {
    AUTH_SERVICE* s = new_service(tmpl);
    s->user = copy_or_null(tmpl->user);
    s->passwd = copy_or_null(tmpl->passwd);
    return s;
}

AUTH_SERVICE* fup_parse_info(const AUTH_SERVICE_HEADER* h, QV_SYM_FIELD* attr) {
    AUTH_SERVICE* s = parse_service(h);
    s->user = copy_or_null(get_sf_attribute(attr, l_string(std_cm, "user")));
    s->passwd = copy_or_null(get_sf_attribute(attr, l_string(std_cm, "passwd")));
    return s;
}

void fup_free_service(AUTH_SERVICE* s) {
    if (!s) return;
    free_auth_service_header(&s->h);
    d_f_ree(s->user);
    d_f_ree(s->passwd);
    d_f_ree(s);
}

AUTH_RESULT* fup_authentification(AUTH_CONNECTION_SET* set, AUTH_SERVICE* service, int flag) {
    if (flag == 0) return nullptr;
    AUTH_RESULT* r = _connection_result(set, service);
    if (!r || r->status != ARS_NONE) return nullptr;
    // Both compared whatever the first gives, so the time does not tell which was wrong.
    bool user_ok = secret_equal(service->user, r->user);
    bool passwd_ok = secret_equal(service->passwd, r->passwd);
    r->status = user_ok && passwd_ok ? ARS_ACCEPT : ARS_DENY;
    return nullptr;
}

QV_SEXP* fup_send_result_info(AUTH_RESULT* r) {
    QV_SEXP* e = get_result_header_sexp(r);
    QV_SEXP* head = car(e);
    set_text(head, "user", r->user);
    set_text(head, "passwd", r->passwd);
    return e;
}

AUTH_RESULT* fup_recv_result_info(AUTH_SET_SERVER* set, QV_SEXP* element) {
    AUTH_SERVICE* s = _get_service_header(set, element);
    if (!s) return nullptr;
    QV_SEXP* head = car(element);
    AUTH_RESULT t{};
    t.service = s;
    t.status = ARS_NONE;
    t.user = const_cast<L_CHAR*>(attr(head, "user"));
    t.passwd = const_cast<L_CHAR*>(attr(head, "passwd"));
    return new_result(s, &t, 0);
}

void fup_set_result(AUTH_RESULT* r, QV_SEXP* head) {
    replace_text(&r->user, attr(head, "user"));
    replace_text(&r->passwd, attr(head, "passwd"));
}

const char* const* fup_members() {
    static const char* const m[] = {"user", "passwd", nullptr};
    return m;
}

// ---- localhost-root

void lr_free_keyfiles(AUTH_SERVICE* s) {
    while (AUTH_LOCALHOST_ROOT_KEYFILE* k = s->keyfile) {
        s->keyfile = k->next;
        d_f_ree(k);
    }
}

void lr_free_service(AUTH_SERVICE* s) {
    if (!s) return;
    free_auth_service_header(&s->h);
    lr_free_keyfiles(s);
    d_f_ree(s);
}

void lr_server_send(AUTH_SERVICE* s, QV_SEXP* head) {
    if (s->keyfile) set_u32(head, "filename", s->keyfile->filename);
}

// The client keeps only the newest name a server sent: it is the one it answers with, and a
// server that asks again and again must not make the chain grow.
void lr_client_recv(AUTH_SERVICE* s, QV_SEXP* head) {
    uint32_t name;
    if (!attr_u32(head, "filename", &name)) return;
    lr_free_keyfiles(s);
    auto* k =
        static_cast<AUTH_LOCALHOST_ROOT_KEYFILE*>(d_alloc(sizeof(AUTH_LOCALHOST_ROOT_KEYFILE)));
    memset(k, 0, sizeof *k);
    k->filename = name;
    attr_u32(head, "key", &k->key);
    s->keyfile = k;
}

AUTH_RESULT* lr_authentification(AUTH_CONNECTION_SET* set, AUTH_SERVICE* service, int flag) {
    if (flag == 0) {
        uint32_t key = random_u32();
        for (int tries = 0; tries < 100; tries++) {
            uint32_t name = random_u32();
            char path[256];
            keyfile_path(path, sizeof path, name);
            int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0) {
                if (errno == EEXIST) continue;
                break;
            }
            unsigned char b[4] = {
                static_cast<unsigned char>(key), static_cast<unsigned char>(key >> 8),
                static_cast<unsigned char>(key >> 16), static_cast<unsigned char>(key >> 24)};
            bool ok = fchmod(fd, 0600) == 0 && write(fd, b, 4) == 4;
            // A key file whose close failed may not hold the key: it is not handed out.
            if (close(fd) != 0) ok = false;
            if (!ok) {
                unlink(path);
                break;
            }
            auto* k = static_cast<AUTH_LOCALHOST_ROOT_KEYFILE*>(
                d_alloc(sizeof(AUTH_LOCALHOST_ROOT_KEYFILE)));
            k->filename = name;
            k->key = key;
            k->auth_gc_no = set->server_set->auth_gc_no;
            k->next = service->keyfile;
            service->keyfile = k;
            return nullptr;
        }
        // No key file can be made: the service cannot be satisfied.
        AUTH_RESULT* r = new_result(service, nullptr, 0);
        r->status = ARS_DENY;
        return r;
    }
    AUTH_RESULT* r = _connection_result(set, service);
    if (!r || r->status != ARS_NONE) return nullptr;
    r->status = ARS_DENY;
    for (AUTH_LOCALHOST_ROOT_KEYFILE** p = &service->keyfile; *p; p = &(*p)->next) {
        AUTH_LOCALHOST_ROOT_KEYFILE* k = *p;
        if (k->filename != r->filename) continue;
        if (k->key == r->key) r->status = ARS_ACCEPT;
        char path[256];
        keyfile_path(path, sizeof path, k->filename);
        unlink(path);
        *p = k->next;
        d_f_ree(k);
        break;
    }
    return nullptr;
}

void lr_gc(AUTH_SET_SERVER*, AUTH_SERVICE* service, uint32_t gen) {
    for (AUTH_LOCALHOST_ROOT_KEYFILE** p = &service->keyfile; *p;) {
        AUTH_LOCALHOST_ROOT_KEYFILE* k = *p;
        if (k->auth_gc_no != gen) {
            p = &k->next;
            continue;
        }
        char path[256];
        keyfile_path(path, sizeof path, k->filename);
        unlink(path);
        *p = k->next;
        d_f_ree(k);
    }
}

QV_SEXP* lr_send_result_info(AUTH_RESULT* r) {
    QV_SEXP* e = get_result_header_sexp(r);
    QV_SEXP* head = car(e);
    set_u32(head, "filename", r->filename);
    set_u32(head, "key", r->key);
    return e;
}

AUTH_RESULT* lr_recv_result_info(AUTH_SET_SERVER* set, QV_SEXP* element) {
    AUTH_SERVICE* s = _get_service_header(set, element);
    if (!s) return nullptr;
    QV_SEXP* head = car(element);
    AUTH_RESULT* r = new_result(s, nullptr, 0);
    attr_u32(head, "filename", &r->filename);
    attr_u32(head, "key", &r->key);
    return r;
}

void lr_set_result(AUTH_RESULT* r, QV_SEXP* head) {
    attr_u32(head, "filename", &r->filename);
    attr_u32(head, "key", &r->key);
}

void lr_client_transaction(AUTH_SERVICE* service, AUTH_RESULT* r) {
    if (!service->keyfile) {
        r->status = ARS_DENY;
        return;
    }
    r->filename = service->keyfile->filename;
    char path[256];
    keyfile_path(path, sizeof path, r->filename);
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    unsigned char b[4];
    bool ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 4 &&
              st.st_uid == geteuid() && (st.st_mode & 077) == 0 && read(fd, b, 4) == 4;
    if (fd >= 0) close(fd);
    if (!ok) {
        r->status = ARS_DENY;
        return;
    }
    r->key = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
             static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    if (r->status == ARS_REQUIRED) r->status = ARS_SEND_PERMIT;
}

const char* const* lr_members() {
    static const char* const m[] = {"filename", "key", nullptr};
    return m;
}

}  // namespace

const AUTH_TABLE att[] = {
    {3, "fix-user-passwd", 1, 1, fup_new_service, fup_parse_info, fup_free_service, nullptr,
     nullptr, fup_authentification, nullptr, new_result, free_result, fup_send_result_info,
     fup_recv_result_info, fup_set_result, nullptr, fup_members},
    {5, "localhost-root", 1, 1, new_service,
     [](const AUTH_SERVICE_HEADER* h, QV_SYM_FIELD*) { return parse_service(h); }, lr_free_service,
     lr_server_send, lr_client_recv, lr_authentification, lr_gc, new_result, free_result,
     lr_send_result_info, lr_recv_result_info, lr_set_result, lr_client_transaction, lr_members},
    {2, nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

const AUTH_TABLE* at_tbl(int type) {
    for (const AUTH_TABLE* t = att; t->type != 2; t++)
        if (t->type == type) return t;
    return nullptr;
}

const AUTH_TABLE* at_tbl_type_name(const L_CHAR* name) {
    if (!name) return nullptr;
    for (const AUTH_TABLE* t = att; t->type != 2; t++)
        if (l_strcmp(name, l_string(std_cm, t->name)) == 0) return t;
    return nullptr;
}
