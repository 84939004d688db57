// The proxy-setting built-ins (see proxyset.h).
#include "builtins/proxyset.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "longchar/longchar.h"
#include "server/connect.h"
#include "server/proxy.h"
#include "stream/http_wire.h"

namespace {

// The server names of a list separated by blanks, tabs, line ends or commas.
std::vector<std::string> server_names(const L_CHAR* text) {
    std::vector<std::string> names;
    std::string all = text ? n_string(std_cm, text) : "";
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find_first_of(" \t\r\n,", at);
        if (end == std::string::npos) end = all.size();
        if (end > at) names.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    return names;
}

int proxy_type_of(const L_CHAR* name) {
    if (text_is(name, "NoProxy")) return PROXY_NONE;
    if (text_is(name, "QVoHTTP")) return PROXY_QVOHTTP;
    if (text_is(name, "HTTPProxy")) return PROXY_HTTP;
    if (text_is(name, "NativeProxy")) return PROXY_NATIVE;
    return 0;
}

QV_SEXP* invalid(QV_SEXP* form, const char* msg) {
    return bltn_error_s(form, QVE_INVALID_PARAMETER, "SetProxy", msg);
}

}  // namespace

QV_SEXP* qv_GetProxy(QVISP_ENV*, QV_SEXP*, QVISP_ENV*, QV_SYM_FIELD*, QVISP_ENV*) {
    return get_proxyinfo();
}

QV_SEXP* qv_SetProxy(QVISP_ENV*, QV_SEXP* form, QVISP_ENV*, QV_SYM_FIELD* attr, QVISP_ENV*) {
    const L_CHAR* type_name = attr_text(attr, "type");
    int type = proxy_type_of(type_name);
    if (!type) return invalid(form, "invalid proxy type");
    if (const L_CHAR* direct = attr_text(attr, "direct")) {
        if (type != PROXY_NONE && type != PROXY_QVOHTTP)
            return eval_error(form, QVE_INVALID_PARAMETER, "SetProxy",
                              list(n_get_string("invalid proxy type"),
                                   n_get_string(n_string(std_cm, type_name)), nullptr));
        std::vector<std::string> names = server_names(direct);
        if (names.empty()) return invalid(form, "invalid direct parameter");
        for (const std::string& n : names)
            set_direct_access(type, n.c_str());
        return nullptr;
    }
    if (type == PROXY_NATIVE) return invalid(form, "invalid proxy type");
    std::string server;
    int port = 80;
    if (const L_CHAR* s = attr_text(attr, "server")) {
        std::vector<std::string> names = server_names(s);
        if (names.empty()) return invalid(form, "proxy server is required");
        server = names[0];
        const L_CHAR* p = attr_text(attr, "port");
        std::string digits = p ? n_string(std_cm, p) : "";
        char* end = nullptr;
        long v = digits.empty() ? 0 : strtol(digits.c_str(), &end, 10);
        if (digits.empty() || *end || v < 1 || v > 65535)
            return invalid(form, "proxy server port is required");
        port = static_cast<int>(v);
    } else if (type == PROXY_HTTP) {
        return invalid(form, "proxy server is required");
    }
    const L_CHAR* keep = attr_text(attr, "keep-alive");
    http_proxy_keep_alive_mode = keep && text_is(keep, "off") ? 0 : QoH_KEEP_ALIVE;
    set_proxy(type, server.empty() ? nullptr : server.c_str(), port);
    return nullptr;
}

void init_GetProxy(QVISP_ENV* env) {
    bind_prim(env, "GetProxy", qv_GetProxy, FUNC_APPLICATIVE, 1, 1);
}

void init_SetProxy(QVISP_ENV* env) {
    bind_prim(env, "SetProxy", qv_SetProxy, FUNC_APPLICATIVE, 1, 1);
}
