// URL, percent-coding, host-name and proxy built-ins.
#include "builtins/urlfuncs.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/hostaddr.h"
#include "base/textutil.h"
#include "base/url.h"
#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/connect.h"
#include "server/proxy.h"
#include "server/session.h"
#include "stream/qvohttp.h"

namespace {

bool is_string(QV_SEXP* v) {
    return get_type(v) == QVT_STRING;
}

QV_SEXP* mismatch(QV_SEXP* form, const char* func, bool with_data = true) {
    return bltn_error_s(form, QVE_TYPE_MISMATCH, func, with_data ? "type missmatch" : nullptr);
}

QV_SEXP* bad(QV_SEXP* form, const char* func, const char* msg) {
    return bltn_error_s(form, QVE_INVALID_PARAMETER, func, msg);
}

QV_SEXP* bad_type(QV_SEXP* form, const char* func, const L_CHAR* type) {
    return eval_error(form, QVE_INVALID_PARAMETER, func,
                      list(n_get_string("invalid proxy type"),
                           type ? get_string(type) : n_get_string(""), nullptr));
}

QV_SEXP* text_or_empty(const L_CHAR* s) {
    return s ? get_string(s) : n_get_string("");
}

// The proxy type named by the "type" attribute, 0 for none or an unknown name.
int proxy_type_of(const L_CHAR* name) {
    for (int t : {PROXY_NONE, PROXY_HTTP, PROXY_NATIVE, PROXY_QVOHTTP})
        if (text_is(name, type_chr[t])) return t;
    return 0;
}

// The server names of a list separated by blanks, tabs, line ends or commas.
std::vector<std::string> server_names(const L_CHAR* text) {
    std::vector<std::string> out;
    if (!text) return out;
    std::string all = n_string(std_cm, text);
    std::string cur;
    for (char c : all) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

// A decimal port 1..65535, else -1. A port that is no such number is refused rather than read
// as far as its digits go: "x80" would otherwise set port 0 and every connection would fail.
int port_of(const L_CHAR* text) {
    std::string s = n_string(std_cm, text);
    if (s.empty() || s.size() > 5) return -1;
    for (char c : s)
        if (c < '0' || c > '9') return -1;
    int p = atoi(s.c_str());
    return p >= 1 && p <= 65535 ? p : -1;
}

int hex_value(L_CHAR c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return 0;
}

}  // namespace

QV_SEXP* qv_ComposeURL(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* base = get_el(form, 1);
    QV_SEXP* rel = get_el(form, 2);
    if (!is_string(base) || !is_string(rel)) return mismatch(form, "ComposeURL", false);
    URL b, r;
    // A URL that does not parse (a bad port) is refused, never composed from the part read.
    bool parsed = get_url2(&b, base->string.data) == 0;
    parsed = get_url2(&r, rel->string.data) == 0 && parsed;
    bool base_place = parsed && (b.proto || b.server || b.port);
    QV_SEXP* result = nullptr;
    if (base_place && !r.proto && !r.server && !r.port) {
        L_CHAR* db = r.db ? compose_path(b.db, r.db) : (b.db ? ll_copy_str(b.db) : nullptr);
        L_CHAR* text = nullptr;
        if (db || !r.db) {
            URL n = {};
            n.proto = b.proto;
            n.server = b.server;
            n.port = b.port;
            n.db = db;
            n.resource = r.resource;
            text = get_url_str2(&n);
        }
        if (text) result = get_string(text);
        d_f_ree(db);
    } else if (base_place && r.proto && r.server && r.port) {
        result = rel;
    }
    free_url(&b);
    free_url(&r);
    return result ? result : bad(form, "ComposeURL", "invalid path argments");
}

QV_SEXP* qv_GetURL(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* s = get_el(form, 1);
    if (get_type(s) == QVT_ERROR) return s;
    if (!is_string(s)) return mismatch(form, "GetURL", false);
    URL u;
    if (get_url2(&u, s->string.data) != 0) {
        free_url(&u);
        return bad(form, "GetURL", "invalid url");
    }
    QV_SEXP* r = list(text_or_empty(u.proto), text_or_empty(u.server), get_integer(u.port, nullptr),
                      text_or_empty(u.db), text_or_empty(u.resource), nullptr);
    free_url(&u);
    return r;
}

QV_SEXP* qv_URLStringCode(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* s = get_el(form, 1);
    if (!is_string(s)) return mismatch(form, "URLStringCode");
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char* p = n_string(std_cm, s->string.data); *p; p++) {
        auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c >= 0x80 || strchr(" #%*/:?", c)) {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return get_string(_l_string_1(std_cm, out.c_str()));
}

QV_SEXP* qv_DecodeURLString(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* s = get_el(form, 1);
    if (!is_string(s)) return mismatch(form, "DecodeURLString");
    std::string out;
    const L_CHAR* t = s->string.data;
    for (size_t i = 0; t[i];) {
        // A '%' with fewer than two characters after it is kept as it stands.
        if (t[i] == '%' && t[i + 1] && t[i + 2]) {
            out += static_cast<char>(16 * hex_value(t[i + 1]) + hex_value(t[i + 2]));
            i += 3;
        } else {
            out += static_cast<char>(t[i] & 0xff);
            i++;
        }
    }
    // A decoded zero byte ends the text.
    return get_string(_l_string_1(std_cm, out.c_str()));
}

QV_SEXP* qv_GetLocalHostName(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return text_or_empty(get_qvlisp_site());
}

QV_SEXP* qv_GetLocalHostIP(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    HOST_ADDR a;
    get_qvlisp_site_ip(&a);
    uint32_t ip = 0;
    if (a.type == HA_IPV4 && a.size == 4)
        ip = (static_cast<uint32_t>(a.d[0]) << 24) | (static_cast<uint32_t>(a.d[1]) << 16) |
             (static_cast<uint32_t>(a.d[2]) << 8) | a.d[3];
    return get_integer(ip, nullptr);
}

QV_SEXP* qv_SetLocalHostName(QVISP_ENV* env, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    QV_SEXP* name = get_el(form, 1);
    if (!is_string(name)) return mismatch(form, "SetLocalHostName");
    // The node's identity decides proxy routes and service names: not for unprivileged peers.
    if (!env_is_privileged(env)) return permission_error(form, "SetLocalHostName");
    if (set_qvlisp_site(name->string.data) != 0) return bad(form, "SetLocalHostName", "cannot set");
    return nullptr;
}

QV_SEXP* qv_GetProxy(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return get_proxyinfo();
}

QV_SEXP* qv_GetNativeProxy(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return get_native_proxyinfo();
}

// A proxy setting's direct="..." list: every server named is handed to add; only the types
// "NoProxy" and "QVoHTTP" take a list.
template <typename Add>
QV_SEXP* set_direct_list(QV_SEXP* form, const char* func, const L_CHAR* tname, int type,
                         const L_CHAR* direct, Add add) {
    if (type != PROXY_NONE && type != PROXY_QVOHTTP) return bad_type(form, func, tname);
    std::vector<std::string> names = server_names(direct);
    if (names.empty()) return bad(form, func, "invalid direct parameter");
    for (const std::string& n : names)
        add(n);
    return nullptr;
}

QV_SEXP* qv_SetProxy(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const char* func = "SetProxy";
    const L_CHAR* tname = attr_text(attr, "type");
    int type = proxy_type_of(tname);
    if (!type) return bad(form, func, "invalid proxy type");
    if (const L_CHAR* direct = attr_text(attr, "direct"))
        return set_direct_list(form, func, tname, type, direct, [type](const std::string& n) {
            set_direct_access(type, n.c_str());
        });
    // The proxy setting has no native proxy: that one is SetNativeProxy's.
    if (type == PROXY_NATIVE) return bad(form, func, "invalid proxy type");
    std::string server;
    int port = 80;
    if (const L_CHAR* sv = attr_text(attr, "server")) {
        std::vector<std::string> names = server_names(sv);
        if (names.empty()) return bad(form, func, "proxy server is required");
        server = names[0];
        const L_CHAR* p = attr_text(attr, "port");
        if (!p) return bad(form, func, "proxy server port is required");
        port = port_of(p);
        if (port < 0) return bad(form, func, "invalid proxy server port");
    }
    if (type == PROXY_HTTP && server.empty()) return bad(form, func, "proxy server is required");
    http_proxy_keep_alive_mode = text_is(attr_text(attr, "keep-alive"), "off") ? 0 : QoH_KEEP_ALIVE;
    set_proxy(type, server.empty() ? nullptr : server.c_str(), port);
    return nullptr;
}

QV_SEXP* qv_SetNativeProxy(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const char* func = "SetNativeProxy";
    const L_CHAR* tname = attr_text(attr, "type");
    int type = proxy_type_of(tname);
    if (!type) return bad(form, func, "invalid proxy type");
    if (const L_CHAR* direct = attr_text(attr, "direct"))
        return set_direct_list(form, func, tname, type, direct, [](const std::string& n) {
            set_native_proxy_direct_access(_l_string_1(std_cm, n.c_str()));
        });
    if (type != PROXY_NONE && type != PROXY_NATIVE) return bad_type(form, func, tname);
    const L_CHAR* sv = attr_text(attr, "server");
    if (!sv) {
        set_native_proxy(nullptr);
        return nullptr;
    }
    std::vector<std::string> names = server_names(sv);
    if (names.empty()) return bad(form, func, "proxy server is required");
    const L_CHAR* p = attr_text(attr, "port");
    if (!p) return bad(form, func, "proxy server port is required");
    int port = port_of(p);
    if (port < 0) return bad(form, func, "invalid proxy server port");
    // The URL is built from text, so a server name holding a character of the URL's syntax
    // (':', '/', '?', '#') would come back as another server, port or path: such a name is
    // refused and the setting left as it was.
    std::string text = "qvp://" + names[0] + ":" + std::to_string(port) + "/";
    URL u;
    int r = get_url2(&u, _l_string_1(std_cm, text.c_str()));
    bool same = r == 0 && u.server && u.port == port && !u.resource &&
                n_string(std_cm, u.server) == names[0];
    if (same) set_native_proxy(&u);
    free_url(&u);
    return same ? nullptr : bad(form, func, "invalid proxy server");
}

void init_ComposeURL(QVISP_ENV* env) {
    bind_prim(env, "ComposeURL", qv_ComposeURL, FUNC_APPLICATIVE, 3, 3);
}
void init_GetURL(QVISP_ENV* env) {
    bind_prim(env, "GetURL", qv_GetURL, FUNC_APPLICATIVE, 2, 2);
}
void init_URLStringCode(QVISP_ENV* env) {
    bind_prim(env, "URLStringCode", qv_URLStringCode, FUNC_APPLICATIVE, 2, 2);
}
void init_DecodeURLString(QVISP_ENV* env) {
    bind_prim(env, "DecodeURLString", qv_DecodeURLString, FUNC_APPLICATIVE, 2, 2);
}
void init_GetLocalHostName(QVISP_ENV* env) {
    bind_prim(env, "GetLocalHostName", qv_GetLocalHostName, FUNC_APPLICATIVE, 1, 1);
}
void init_GetLocalHostIP(QVISP_ENV* env) {
    bind_prim(env, "GetLocalHostIP", qv_GetLocalHostIP, FUNC_APPLICATIVE, 1, 1);
}
void init_SetLocalHostName(QVISP_ENV* env) {
    bind_prim(env, "SetLocalHostName", qv_SetLocalHostName, FUNC_APPLICATIVE, 2, 2);
}
void init_GetProxy(QVISP_ENV* env) {
    bind_prim(env, "GetProxy", qv_GetProxy, FUNC_APPLICATIVE, 1, 1);
}
void init_SetProxy(QVISP_ENV* env) {
    bind_prim(env, "SetProxy", qv_SetProxy, FUNC_APPLICATIVE, 1, 1);
}
void init_GetNativeProxy(QVISP_ENV* env) {
    bind_prim(env, "GetNativeProxy", qv_GetNativeProxy, FUNC_APPLICATIVE, 1, 1);
}
void init_SetNativeProxy(QVISP_ENV* env) {
    bind_prim(env, "SetNativeProxy", qv_SetNativeProxy, FUNC_APPLICATIVE, 1, 1);
}
