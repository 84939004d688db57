// The user-information relay: get_user_ip and the relay loop's handling of GetUserInfo.
#include "server/userinfo.h"

#include <arpa/inet.h>

#include "base/hostaddr.h"
#include "base/lock.h"
#include "lisp/eval.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "longchar/longchar.h"
#include "server/remote.h"

namespace {

// Relays of GetUserInfo running on this thread. A relay waiting for its answer runs the commands
// that arrive on its connection meanwhile, so relays nest: a few for a peer that sends several
// at once, without bound for a chain that comes back round to this agent.
thread_local int relaying;
constexpr int MAX_NESTED_RELAYS = 8;

bool head_is_user_info(QV_SEXP* cmd) {
    if (get_type(cmd) != QVT_PAIR) return false;
    QV_SEXP* head = cmd->pair.car;
    if (get_type(head) != QVT_SYMBOL) return false;
    static const char name[] = "GetUserInfo";
    const L_CHAR* t = head->symbol.data;
    for (const char* p = name; *p; p++, t++)
        if (*t != static_cast<unsigned char>(*p)) return false;
    return *t == 0;
}

bool text_is(QV_SEXP* s, const char* text) {
    if (get_type(s) != QVT_STRING) return false;
    const L_CHAR* t = s->string.data;
    for (; *text; text++, t++)
        if (*t != static_cast<unsigned char>(*text)) return false;
    return *t == 0;
}

QV_SEXP* relay_error(QV_SEXP* cmd, uint32_t code, const char* msg) {
    return eval_error(cmd, code, "GetUserInfo", list(n_get_string(msg), nullptr));
}

QV_SEXP* own_ip_list() {
    return list(get_integer(own_ip_host_order(), nullptr), nullptr);
}

bool is_local(uint32_t host_order) {
    return (host_order >> 24) == 127 || (host_order != 0 && host_order == own_ip_host_order());
}

// The relayed command's answer from the main interpreter main_id, whose peer is at main_ip.
QV_SEXP* checked_answer(QV_INTERPRETER* qvi, QV_SEXP* cmd, QV_SEXP* what, int main_id,
                        uint32_t main_ip) {
    if (relaying >= MAX_NESTED_RELAYS)
        return relay_error(cmd, QVE_PERMISSION_DENIED, "permission denied(invalid ip chain)");
    relaying++;
    QV_SEXP* v = remote_query(main_id, qvi->env, nullptr, cmd);
    get_type(v);
    v = realize_sexp(v);
    realize_whole(v);
    relaying--;
    if (!text_is(what, "ip") || get_type(v) == QVT_ERROR) return v;
    QV_SEXP* first = get_type(v) == QVT_PAIR ? v->pair.car : nullptr;
    if (get_type(first) == QVT_ERROR) return v;
    // A wrong answer is a type mismatch (0x80030806), not the break code 0x80011404: a break is
    // answered with an empty value and would end the asking peer's command loop.
    if (get_type(first) != QVT_INTEGER)
        return relay_error(cmd, QVE_TYPE_MISMATCH, "type missmatch of return value of GetUserInfo");
    int64_t a = first->integer.data;
    if (a < 0 || a > 0xffffffffLL || !same_host_ip(static_cast<uint32_t>(a), main_ip))
        return relay_error(cmd, QVE_PERMISSION_DENIED, "permission denied(invalid ip chain)");
    return cons(get_integer(own_ip_host_order(), nullptr), v);
}

// The command that goes up for the peer's cmd: a fresh head and elements 1 to 4, each of which
// must be a string literal as the peer sent it, so that nothing the peer wrote is evaluated
// upstream (an upstream agent evaluates what it receives in its own environment). Anything after
// element 4 stays behind. An element of another kind refuses the whole command: an error value.
QV_SEXP* relayed_command(QV_SEXP* cmd, QV_SEXP** what) {
    QV_SEXP* el[4];
    for (int i = 0; i < 4; i++) {
        el[i] = get_el(cmd, i + 1);
        if (get_type(el[i]) != QVT_STRING)
            return relay_error(cmd, QVE_TYPE_MISMATCH,
                               "type missmatch (GetUserInfo relays strings only)");
    }
    *what = el[3];
    QV_SEXP* up = list(n_get_symbol("GetUserInfo"), el[0], el[1], el[2], el[3], nullptr);
    HeapSection hs;  // a collection on another thread may be marking the new list
    up->h.file = cmd->h.file;
    up->h.line = cmd->h.line;
    return up;
}

}  // namespace

uint32_t own_ip_host_order() {
    HOST_ADDR a = site_ip();
    if (a.type != HA_IPV4 || a.size != 4) return 0;
    return (static_cast<uint32_t>(a.d[0]) << 24) | (static_cast<uint32_t>(a.d[1]) << 16) |
           (static_cast<uint32_t>(a.d[2]) << 8) | a.d[3];
}

int same_host_ip(uint32_t a, uint32_t peer) {
    uint32_t p = ntohl(peer);
    if (p == 0) return 0;  // an unknown peer vouches for nothing
    if (a == p) return 1;
    return is_local(a) && is_local(p);
}

QV_SEXP* get_user_ip(QVISP_ENV* env) {
    int id = 0;
    int type = 0;
    {
        TaskLockGuard g(qvi_lock);
        if (QV_INTERPRETER* q = _get_my_qvi()) {
            id = static_cast<int>(q->id);
            type = q->a_type;
        }
    }
    if (id == 0 || type == QVA_STDIO || type == QVA_FILE || type == QVA_IPC) return own_ip_list();
    QV_SEXP* e = n_get_string("");
    QV_SEXP* ask = list(n_get_symbol("GetUserInfo"), e, e, e, n_get_string("ip"), nullptr);
    QV_SEXP* v = remote_query(id, env, nullptr, ask);
    if (!v) return relay_error(nullptr, QVE_UNSUPPORTED, "no peer to ask for the user information");
    return v;
}

bool user_info_relay(QV_INTERPRETER* qvi, QV_SEXP* cmd, QV_SEXP** value) {
    if (!head_is_user_info(cmd)) return false;
    QV_SEXP* what = get_el(cmd, 4);
    if (get_type(what) != QVT_STRING) return false;
    int main_id = 0;
    int main_ip = 0;
    {
        TaskLockGuard g(qvi_lock);
        QV_INTERPRETER* m = main_interpreter;
        // The command goes up the chain, never back to where it came from.
        if (!m || m->a_type != QVA_CONNECT || m == qvi || m->mode != QVM_RUNNING) return false;
        main_id = static_cast<int>(m->id);
        main_ip = m->connect_ip;
    }
    *value = relayed_command(cmd, &what);
    if (get_type(*value) == QVT_PAIR)
        *value = checked_answer(qvi, *value, what, main_id, static_cast<uint32_t>(main_ip));
    return true;
}
