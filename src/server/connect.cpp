// Outgoing connections: route, blacklist, stream and the permission hand-shake.
#include "server/connect.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "base/alloc.h"
#include "base/blacklist.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "lisp/heap.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/protocol.h"
#include "server/proxy.h"
#include "server/serverinfo.h"
#include "stream/connection.h"
#include "stream/qvohttp.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"

std::atomic<int> http_proxy_keep_alive_mode{QoH_KEEP_ALIVE};

namespace {

// The name the route and the blacklist know the target by: the host name, else the address.
std::string target_name(const QV_INTERPRETER* qvi) {
    if (qvi->hostname) return n_string(std_cm, qvi->hostname);
    in_addr a;
    a.s_addr = htonl(static_cast<uint32_t>(qvi->ip));
    return inet_ntoa(a);
}

// The route of the record (its proxy_type, deciding by the setting when asked to): 1, 2 or 4,
// with the proxy in *info; 0 for none.
int route(QV_INTERPRETER* qvi, PROXY_INFO* info) {
    *info = {};
    int type = qvi->proxy_type;
    if (type == '@') type = check_proxy(info, target_name(qvi).c_str());
    if (type != PROXY_NONE && type != PROXY_QVOHTTP && type != PROXY_HTTP) return 0;
    if (type == PROXY_HTTP && !info->proxy_server) return 0;
    qvi->proxy_type = static_cast<uint8_t>(type);
    return type;
}

// Opens the stream of the record on its route and registers it. *opened tells whether a stream
// was made. The id, or a negative code; without a stream the record is freed.
int open_connect(QV_INTERPRETER* qvi, const PROXY_INFO* info, bool* opened) {
    *opened = false;
    std::string name = target_name(qvi);
    const char* host = qvi->hostname ? name.c_str() : nullptr;
    uint32_t ip = htonl(static_cast<uint32_t>(qvi->ip));
    int cerr = 0;
    STREAM* st = nullptr;
    if (qvi->port >= 1 && qvi->port <= 65535 && (host || ip)) {
        switch (qvi->proxy_type) {
            case PROXY_NONE:
                st = new_connection(&cerr, host, ip, qvi->port, nullptr, nullptr);
                break;
            case PROXY_QVOHTTP:
                st = s_connect_QVoHTTP_2(&cerr, host, static_cast<int>(ip), qvi->port, nullptr, 0,
                                         0, http_proxy_keep_alive_mode);
                break;
            default:
                st = s_connect_QVoHTTP_2(&cerr, host, static_cast<int>(ip), qvi->port,
                                         info->proxy_server, 0, info->proxy_port,
                                         http_proxy_keep_alive_mode);
                break;
        }
    }
    if (!st) {
        free_qv_interpreter(qvi);
        return QVI_ERR_NO_ANSWER;
    }
    *opened = true;
    s_set_write_abort(st, SWA_CLOSE, -1);
    qvi->inp = qvi->out = qvi->err = st;
    qvi->connect_ip = connect_ip_of(s_get_socketip(st));
    SERVER_INFO si = {};
    si.active_flags = SI_STATUS | SI_IP | SI_NAME;
    si.status = 16;
    si.name = name.data();
    si.ip = static_cast<uint32_t>(qvi->connect_ip);
    set_serverinfo(&si, SI_CMD_SET, -1);
    qvi->thread_mode = QVTM_RELAY;
    qvi->msg = qvi->input_file_name ? ll_copy_str(qvi->input_file_name)
                                    : _xx_nl_copy_str_1(std_cm, "connect", __FILE__, __LINE__);
    qvi->flags |= QVIF_WAIT_PERMISSION;
    if (qvi->environment) qvi->env = new_env(qvi->env);
    return setup_qv_interpreter(qvi);
}

struct CONNECT_CMD {
    BL_CMD bl;
    QV_INTERPRETER* qvi;
    const PROXY_INFO* info;
    int result;
};

int connect_proc(BL_CMD* c) {
    auto* n = reinterpret_cast<CONNECT_CMD*>(c);
    bl_peer_set_port(c->peer, n->qvi->port);
    bl_peer_set_polling_initial(c->peer, 0);
    // A host whose name could not be looked up is not tried either.
    if (bl_peer_state(c->peer, BL_LOOKUP) == BL_LISTED) {
        free_qv_interpreter(n->qvi);
        n->result = QVI_ERR_BLACKLISTED;
        return BL_IDLE;
    }
    bool opened;
    n->result = open_connect(n->qvi, n->info, &opened);
    // Only a time-out lists the host: a peer that took the connection and never answered within
    // the permission wait. One that refused, hung up or answered nonsense is not listed, or any
    // peer could shut every client out of a host by pointing a connection at a port that
    // accepts and closes.
    return opened && n->result == QVI_ERR_NO_ANSWER ? BL_LISTED : BL_IDLE;
}

// The blacklist's retry of a listed host: a probe connection, closed at once when it opens.
int connect_retry(const unsigned char* key, int key_len, int port) {
    QV_INTERPRETER* qvi = new_qv_interpreter();
    qvi->a_type = QVA_CONNECT;
    qvi->env = vxlisp_top_env0;
    qvi->environment = 1;
    qvi->port = port;
    if (key_len >= 2 && key[key_len - 1] == 0 && key[0] != 0) {
        qvi->hostname =
            _xx_nl_copy_str_1(std_cm, reinterpret_cast<const char*>(key), __FILE__, __LINE__);
    } else if (key_len == BL_ADDR_KEY_LEN) {
        uint32_t ip;
        memcpy(&ip, key + 4, 4);
        qvi->ip = static_cast<int>(ntohl(ip));
    }
    PROXY_INFO info;
    if (!route(qvi, &info)) {
        free_qv_interpreter(qvi);
        return BL_IDLE;
    }
    gc_push(nullptr, nullptr, "connect_retry");
    bool opened;
    int r = open_connect(qvi, &info, &opened);
    gc_pop(nullptr, nullptr);
    d_f_ree(info.proxy_server);
    if (r > 0) close_interpreter_nowait(static_cast<uint32_t>(r));
    return opened && r == QVI_ERR_NO_ANSWER ? BL_LISTED : BL_IDLE;
}

}  // namespace

int setup_connect(QV_INTERPRETER* qvi) {
    if (!qvi->hostname && !qvi->ip) {
        free_qv_interpreter(qvi);
        return QVI_ERR_NO_ANSWER;
    }
    PROXY_INFO info;
    if (!route(qvi, &info)) {
        d_f_ree(info.proxy_server);
        free_qv_interpreter(qvi);
        return QVI_ERR_NO_ANSWER;
    }
    std::string name = target_name(qvi);
    unsigned char addr_key[BL_ADDR_KEY_LEN];
    CONNECT_CMD c = {};
    if (qvi->hostname) {
        c.bl.name = reinterpret_cast<const unsigned char*>(name.c_str());
        c.bl.name_len = static_cast<int>(name.size()) + 1;
    } else {
        bl_connect_addr_key(addr_key, htonl(static_cast<uint32_t>(qvi->ip)));
        c.bl.name = addr_key;
        c.bl.name_len = BL_ADDR_KEY_LEN;
    }
    c.bl.type = BL_CONNECTION;
    c.bl.retry = connect_retry;
    c.bl.proc = connect_proc;
    c.qvi = qvi;
    c.info = &info;
    c.result = QVI_ERR_BLACKLISTED;
    bl_do(&c.bl);
    if (!c.bl.ran) free_qv_interpreter(qvi);
    d_f_ree(info.proxy_server);
    return c.result;
}

int await_permission(QV_INTERPRETER* qvi, int id) {
    // The record stays while the waiting bit is set: its final close waits for this task.
    STREAM* out;
    {
        TaskLockGuard g(qvi_lock);
        out = qvi->out;
    }
    lock_qvi_out(qvi);
    if (out) {
        s_printf(out, "\n");
        s_flush(out);
    }
    unlock_qvi_out(qvi);
    lock_task(qvi_lock);
    qvi->open_timeout = get_qvtime() + CONNECT_PERMISSION_WAIT;
    while (!(qvi->flags & QVIF_PERM_MASK)) {
        sleep_task(&qvi->flags, qvi_lock);
        lock_task(qvi_lock);
    }
    int answer = qvi->flags & QVIF_PERM_MASK;
    qvi->open_timeout = 0;
    if (answer != QVIF_PERM_ALLOW) {
        // The input's end winds the record down; its close waits for the bit to clear.
        STREAM* inp = qvi->inp;
        qvi->inp = qvi->out = qvi->err = nullptr;
        s_close_queue(inp);
        qvi->flags &= ~QVIF_WAIT_PERMISSION;
        wakeup_task(&qvi->flags);
        unlock_task(qvi_lock, "await_permission");
        return answer == QVIF_PERM_DENIED    ? QVI_ERR_DENIED
               : answer == QVIF_PERM_BUSY    ? QVI_ERR_BUSY
               : answer == QVIF_PERM_TIMEOUT ? QVI_ERR_NO_ANSWER
                                             : QVI_ERR_NO_PERMISSION;
    }
    out = qvi->out;
    // The code-set line goes out before any other line on this output.
    int me = get_tid();
    while (qvi->out_lock > 0 && qvi->out_lock_task != me)
        _sleep_qvi_out(qvi);
    qvi->out_lock++;
    qvi->out_lock_task = me;
    qvi->flags &= ~(QVIF_WAIT_PERMISSION | QVIF_CODE_OWED);
    wakeup_task(&qvi->flags);
    unlock_task(qvi_lock, "await_permission");
    if (out)
        if (CODE_METHOD* cm = s_get_cm(out)) {
            s_printf(out, "&cx%x;\n", cm->lccode);
            s_flush(out);
        }
    unlock_qvi_out_iid(static_cast<uint32_t>(id));
    return id;
}

int open_agent_connection(const char* server, int port, QVISP_ENV* env) {
    QV_INTERPRETER* q = new_qv_interpreter();
    q->a_type = QVA_CONNECT;
    q->env = env;
    q->environment = 1;
    q->hostname = _xx_nl_copy_str_1(std_cm, server, __FILE__, __LINE__);
    q->port = port;
    int id = setup_i(q);
    if (id > 0) set_c_timeout(static_cast<uint32_t>(id), -1);
    return id;
}
