// The QVoHTTP client, version 2: the version probe, the download connection and the chain of
// upload requests (see qvohttp.h).
//
// Written bytes keep their order across upload requests: while no upload request is open they are
// queued, and the upload task sends the queue before any writer may write to a new request
// directly. Only one task writes to an upload request at a time (QoH2_WRITING), and a write that
// does not fit the current request queues its rest before the next writer gets its turn.
//
// The record is freed by whichever of the stream's close and the upload task lets go of it last:
// the close marks it detached, the task marks it dead when it ends.
#include <errno.h>

#include <atomic>
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/textutil.h"
#include "base/tick.h"
#include "stream/qvohttp.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"

QVoHTTP_SERVER_INFO* QVoHTTP_server_info_list = nullptr;

S_TABLE s_QVoHTTP_2_table = {
    .type = 'x',
    .flags = 0,
    .dm = {{0, 0}},
    .next = nullptr,
    .open_desc = s_error_stream,
    .close = s_close_QVoHTTP_2,
    .write = s_write_QVoHTTP_2,
    .read = s_read_QVoHTTP_2,
    .flush = s_flush_QVoHTTP_2,
    .proc_send = s_error,
    .proc_recv = s_error_stream,
    .get_socketip = s_get_socketip_QVoHTTP_2,
    .checksum = nullptr,
};

namespace {

constexpr int DEFAULT_UPLOAD_SIZE = 100000000;
constexpr int QUEUE_PIECE = 1000;

std::atomic<int> upload_size{DEFAULT_UPLOAD_SIZE};
std::atomic<void (*)()> upload_hook{nullptr};

bool same_name(const char* a, const char* b) {
    return a && b && strcmp(a, b) == 0;
}

char* dup_or_null(const char* s) {
    return s ? d_strdup(s) : nullptr;
}

void free_info_2(S_QVoHTTP_INFO_2* info) {
    free_sbuf(&info->upload_buf, nullptr);
    d_f_ree(info->proxy_server);
    d_f_ree(info->target_server);
    d_f_ree(info->host);
    d_f_ree(info);
}

// Closes both connections from the tick task and forgets them (lock held).
void drop_connections(S_QVoHTTP_INFO_2* info) {
    s_safe_close(info->upload_st);
    s_safe_close(info->download_st);
    info->upload_st = info->download_st = nullptr;
}

// Waits for the writer's turn and takes it (lock held on entry and on return).
void take_writer_turn(S_QVoHTTP_INFO_2* info) {
    while (info->flags & QoH2_WRITING) {
        sleep_task(info, QVoHTTP_lock);
        lock_task(QVoHTTP_lock);
    }
    info->flags |= QoH2_WRITING;
}

void give_writer_turn(S_QVoHTTP_INFO_2* info) {
    info->flags &= ~QoH2_WRITING;
    wakeup_task(info);
}

// Asks the agent for its protocol version: 1 or 2, or -1 after a failure (with *cerr set).
int probe_version(int* cerr, const char* target_server, int target_ip, int target_port,
                  const char* proxy_server, int proxy_ip, int proxy_port, const char* host) {
    STREAM* con = proxy_new_connection(cerr, target_server, target_ip, target_port, proxy_server,
                                       proxy_ip, proxy_port);
    if (!con) {
        qoh_diag("   **** ERR 1\n");
        return -1;
    }
    auto fail = [&](int line, int err) {
        qoh_diag("   **** ERR %i\n", line);
        *cerr = err;
        chunk_read_end(con);
        s_close(con);
        return -1;
    };
    QVoHTTP_HEADER probe = {QoH_VERSION, 0, 0, {0, 0}};
    if (output_client_header_upload(con, host, target_port, QoH_HEADER_SIZE) != 0 ||
        QoH_write_header(con, &probe) != 0)
        return fail(2, ECONNREFUSED);
    qoh_arm_guard(con);
    HTTP_INFO hi;
    int head = scan_HTTP(&hi, con, 0);
    int status = hi.err;
    bool chunked = hi.flags & HTTP_CHUNKED;
    free_HTTP_info(&hi);
    if (head != 0) {
        qoh_disarm_guard(con);
        return fail(3, ETIMEDOUT);
    }
    if (status != 200) {
        qoh_disarm_guard(con);
        return fail(4, ECONNREFUSED);
    }
    QVoHTTP_HEADER h;
    int r = chunked && chunk_read_start(con) != 0 ? -1 : QoH_read_header(con, &h);
    qoh_disarm_guard(con);
    if (r == -1) return fail(5, ECONNREFUSED);
    if (r == -2) return fail(6, ECONNREFUSED);
    chunk_read_end(con);
    s_close(con);
    // Only 2 names the second protocol; any other answer, or another reply type, means the agent
    // speaks version 1, which every agent does.
    return h.type == QoH_VERSION && h.seq == 2 ? 2 : 1;
}

// Opens the download connection of a version-2 stream and reads its reply head and frame header:
// 0, or the error number for the opener.
int open_download(S_QVoHTTP_INFO_2* info) {
    int cerr = 0;
    STREAM* con = proxy_new_connection(
        &cerr, info->target_server, static_cast<int>(info->target_ip), info->target_port,
        info->proxy_server, static_cast<int>(info->proxy_ip), info->proxy_port);
    if (!con) return cerr ? cerr : ECONNREFUSED;
    info->proxy_ip = static_cast<unsigned>(s_get_socketip(con));
    if (output_client_header_download(con, info->host, info->target_port) != 0) {
        s_close(con);
        return ECONNREFUSED;
    }
    qoh_arm_guard(con);
    HTTP_INFO hi;
    int head = scan_HTTP(&hi, con, 0);
    int status = hi.err;
    bool chunked = hi.flags & HTTP_CHUNKED;
    free_HTTP_info(&hi);
    int err = 0;
    QVoHTTP_HEADER h = {};
    if (head != 0) err = ETIMEDOUT;
    // The download body is read as a plain byte stream: a chunked one cannot be.
    else if (status != 200 || chunked || QoH_read_header(con, &h) != 0 || h.type == QoH_END ||
             h.type == QoH_ERROR)
        err = ECONNREFUSED;
    qoh_disarm_guard(con);
    if (err) {
        s_close(con);
        return err;
    }
    info->cockie[0] = h.cockie[0];
    info->cockie[1] = h.cockie[1];
    info->download_st = con;
    return 0;
}

// Sends the queued bytes into the upload request just opened, then lets writers write to it
// directly (when the queue is empty). 0, or -1 when a write failed.
int send_queue(S_QVoHTTP_INFO_2* info, STREAM* con) {
    char piece[QUEUE_PIECE];
    TaskLockGuard g(QVoHTTP_lock);
    take_writer_turn(info);
    int r = 0;
    while (info->upload_buf.head && info->remain_size > 0) {
        int want = info->remain_size < QUEUE_PIECE ? info->remain_size : QUEUE_PIECE;
        int n = copy_out_sbuf(&info->upload_buf, piece, want, nullptr);
        info->remain_size -= n;
        unlock_task(QVoHTTP_lock, "send_queue");
        test_print(">1>", piece, n);
        int done = 0;
        int w = en_do(&done, s_write, con, piece, n);
        lock_task(QVoHTTP_lock);
        if (w != 1) {
            r = -1;
            break;
        }
    }
    if (r == 0 && !info->upload_buf.head) info->flags &= ~QoH2_NO_UPLOAD;
    give_writer_turn(info);
    return r;
}

// Waits for the reply of an upload request: 0 when it is a sound type-7 reply.
int read_upload_reply(STREAM* con) {
    HTTP_INFO hi;
    int head = scan_HTTP(&hi, con, 0);
    int status = hi.err;
    bool chunked = hi.flags & HTTP_CHUNKED;
    free_HTTP_info(&hi);
    if (head != 0 || status != 200) return -1;
    QVoHTTP_HEADER h;
    int r = chunked && chunk_read_start(con) != 0 ? -1 : QoH_read_header(con, &h);
    chunk_read_end(con);
    return r == 0 && h.type == QoH_UPLOAD ? 0 : -1;
}

}  // namespace

// ------------------------------------------------------------------------------------------------
// Server versions

QVoHTTP_SERVER_INFO* begin_QVoHTTP_server_info(const char* server, int ip, int port) {
    TaskLockGuard g(QVoHTTP_lock);
    for (;;) {
        QVoHTTP_SERVER_INFO* si = QVoHTTP_server_info_list;
        for (; si; si = si->next) {
            if (si->port != port) continue;
            if (server ? same_name(si->server, server) : (!si->server && si->ip == ip)) break;
        }
        if (!si) {
            si = static_cast<QVoHTTP_SERVER_INFO*>(d_alloc(sizeof(QVoHTTP_SERVER_INFO)));
            si->server = dup_or_null(server);
            si->ip = ip;
            si->port = port;
            si->version = 0;
            si->next = QVoHTTP_server_info_list;
            QVoHTTP_server_info_list = si;
            return si;
        }
        if (si->version == -1) {
            si->version = 0;
            return si;
        }
        if (si->version != 0) return si;
        // Another task probes: its result (or its failure, which hands the probe to a waiter)
        // is looked at again once it wakes us.
        sleep_task(si, QVoHTTP_lock);
        lock_task(QVoHTTP_lock);
    }
}

void end_QVoHTTP_server_info(QVoHTTP_SERVER_INFO* si) {
    wakeup_task(si);
}

// ------------------------------------------------------------------------------------------------
// Opening

int output_client_header_upload(STREAM* con, const char* server, int port, int length) {
    int err = 0;
    e_printf(con, &err,
             "POST http://%s:%i/cgi-bin/upload.cgi HTTP/1.0\r\nPragma: no-cache\r\n"
             "Content-Type: application/qvohttp2\r\nHost: %s:%i\r\nContent-Length: %i\r\n\r\n",
             server, port, server, port, length);
    return err ? -1 : 0;
}

int output_client_header_download(STREAM* con, const char* server, int port) {
    int err = 0;
    e_printf(con, &err,
             "GET http://%s:%i/cgi-bin/download.cgi HTTP/1.0\r\nPragma: no-cache\r\n"
             "Content-Type: application/qvohttp2\r\nHost: %s:%i\r\n\r\n",
             server, port, server, port);
    return err ? -1 : 0;
}

STREAM* s_connect_QVoHTTP_2(int* cerr, const char* target_server, int target_ip, int target_port,
                            const char* proxy_server, int proxy_ip, int proxy_port, int flags) {
    int dummy = 0;
    if (!cerr) cerr = &dummy;
    char ipbuf[16];
    const char* host =
        target_server ? target_server : qoh_ip_text(static_cast<uint32_t>(target_ip), ipbuf);
    QVoHTTP_SERVER_INFO* si = begin_QVoHTTP_server_info(target_server, target_ip, target_port);
    for (;;) {
        int version;
        {
            TaskLockGuard g(QVoHTTP_lock);
            version = si->version;
        }
        if (QVoHTTP_debug)
            qoh_diag("===================VERSION %s(%i):%i -> %i\n",
                     visible_text(host ? host : "").c_str(), target_ip, target_port, version);
        if (version == 1)
            return s_connect_QVoHTTP(cerr, target_server, target_ip, target_port, proxy_server,
                                     proxy_ip, proxy_port, flags);
        if (version == 2) break;
        if (version != 0) er_panic("open QVoHTTP ver.2\n");
        int v = probe_version(cerr, target_server, target_ip, target_port, proxy_server, proxy_ip,
                              proxy_port, host);
        {
            TaskLockGuard g(QVoHTTP_lock);
            si->version = v;
            end_QVoHTTP_server_info(si);
        }
        if (v < 0) return nullptr;
        if (QVoHTTP_debug) qoh_diag("   **** RETRY\n");
    }

    S_QVoHTTP_INFO_2* info = static_cast<S_QVoHTTP_INFO_2*>(d_calloc(sizeof(S_QVoHTTP_INFO_2), 1));
    info->flags = QoH2_NO_UPLOAD | (proxy_server || proxy_ip ? QoH2_PROXY : 0);
    info->proxy_server = dup_or_null(proxy_server);
    info->proxy_ip = static_cast<unsigned>(proxy_ip);
    info->proxy_port = proxy_port;
    info->target_server = dup_or_null(target_server);
    info->target_ip = static_cast<unsigned>(target_ip);
    info->target_port = target_port;
    info->remain_size = upload_size.load();
    info->host = d_strdup(host);
    if (int err = open_download(info)) {
        *cerr = err;
        free_info_2(info);
        return nullptr;
    }
    S_QVoHTTP_2* s = static_cast<S_QVoHTTP_2*>(d_calloc(sizeof(S_QVoHTTP_2), 1));
    s->h.tbl = &s_QVoHTTP_2_table;
    s->info = info;
    STREAM* st = reinterpret_cast<STREAM*>(s);
    xx_s_open(st, ST_OTHER, 2, __FILE__, __LINE__);
    // A new session can be turned away: no thread is waited for. Without a task to upload for
    // it, the stream closes at once (its close ends the download connection, which ends the
    // session at the agent) and the record goes with it, as no task will mark it dead.
    if (try_create_task(QVoHTTP_task_2, info, 3) == NO_TASK) {
        s_close(st);
        free_info_2(info);
        *cerr = EAGAIN;
        return nullptr;
    }
    return st;
}

// ------------------------------------------------------------------------------------------------
// The upload task

void QVoHTTP_task_2(intptr_t data) {
    S_QVoHTTP_INFO_2* info = reinterpret_cast<S_QVoHTTP_INFO_2*>(data);
    bool via;
    {
        TaskLockGuard g(QVoHTTP_lock);
        via = info->flags & QoH2_PROXY;
    }
    for (;;) {
        if (void (*hook)() = upload_hook.load()) hook();
        {
            TaskLockGuard g(QVoHTTP_lock);
            if (info->flags & QoH2_CLOSING) break;
        }
        int cerr = 0;
        STREAM* con =
            proxy_new_connection(&cerr, info->target_server, static_cast<int>(info->target_ip),
                                 info->target_port, via ? info->proxy_server : nullptr,
                                 via ? static_cast<int>(info->proxy_ip) : 0, info->proxy_port);
        if (!con) break;
        int allowance = upload_size.load();
        uint32_t key[2];
        {
            TaskLockGuard g(QVoHTTP_lock);
            if (info->flags & QoH2_CLOSING) {
                s_safe_close(con);
                break;
            }
            info->upload_st = con;
            key[0] = info->cockie[0];
            key[1] = info->cockie[1];
        }
        QVoHTTP_HEADER h = {QoH_UPLOAD, 0, 0, {key[0], key[1]}};
        if (output_client_header_upload(con, info->host, info->target_port,
                                        allowance + QoH_HEADER_SIZE) != 0 ||
            QoH_write_header(con, &h) != 0)
            break;
        {
            TaskLockGuard g(QVoHTTP_lock);
            info->remain_size = allowance;
        }
        if (send_queue(info, con) != 0) break;
        int r = read_upload_reply(con);
        {
            // Writes are queued again before the connection goes; a writer still inside it has
            // written all it took (the agent answers a complete body), or fails with the close.
            TaskLockGuard g(QVoHTTP_lock);
            info->flags |= QoH2_NO_UPLOAD;
            if (info->upload_st == con) info->upload_st = nullptr;
        }
        s_close(con);
        if (r != 0) break;
    }
    TaskLockGuard g(QVoHTTP_lock);
    drop_connections(info);
    info->flags = (info->flags | QoH2_DEAD) & ~QoH2_NO_UPLOAD;
    wakeup_task(info);
    if (info->flags & QoH2_DETACHED) {
        unlock_task(QVoHTTP_lock, "QVoHTTP_task_2");
        free_info_2(info);
        lock_task(QVoHTTP_lock);
    }
}

// ------------------------------------------------------------------------------------------------
// The kind's slots

int s_write_QVoHTTP_2(STREAM* s, const void* data, int len) {
    lock_task(QVoHTTP_lock);
    S_QVoHTTP_INFO_2* info = s->qoh2.info;
    if (info) take_writer_turn(info);
    if (!info || (info->flags & (QoH2_DEAD | QoH2_CLOSING))) {
        if (info) give_writer_turn(info);
        unlock_task(QVoHTTP_lock, "s_write_QVoHTTP_2");
        return -1;
    }
    const char* bytes = static_cast<const char*>(data);
    if (info->flags & QoH2_NO_UPLOAD) {
        copy_in_sbuf(&info->upload_buf, bytes, len, nullptr);
        give_writer_turn(info);
        unlock_task(QVoHTTP_lock, "s_write_QVoHTTP_2");
        test_print(">1>", bytes, len);
        return len;
    }
    STREAM* con = info->upload_st;
    if (!con) {
        give_writer_turn(info);
        unlock_task(QVoHTTP_lock, "s_write_QVoHTTP_2");
        return -1;
    }
    int n = info->remain_size < len ? info->remain_size : len;
    info->remain_size -= n;
    unlock_task(QVoHTTP_lock, "s_write_QVoHTTP_2");
    int w = n > 0 ? s_write(con, bytes, n) : 0;
    int err = errno;
    if (w > 0) test_print(">2>", bytes, w);
    lock_task(QVoHTTP_lock);
    int result;
    if (w < 0) {
        drop_connections(info);
        result = -1;
    } else if (w < n) {
        info->remain_size += n - w;
        result = w;
    } else {
        // What the request does not take waits for the next one, ahead of every later write.
        if (len > n) copy_in_sbuf(&info->upload_buf, bytes + n, len - n, nullptr);
        result = len;
    }
    give_writer_turn(info);
    unlock_task(QVoHTTP_lock, "s_write_QVoHTTP_2");
    errno = err;
    return result;
}

int s_read_QVoHTTP_2(STREAM* s, void* data, int len) {
    STREAM* con;
    {
        TaskLockGuard g(QVoHTTP_lock);
        S_QVoHTTP_INFO_2* info = s->qoh2.info;
        if (!info || (info->flags & (QoH2_DEAD | QoH2_CLOSING)) || !info->download_st) return -1;
        con = info->download_st;
    }
    int n = s_read(con, data, len);
    int err = errno;
    if (n > 0) test_print("<<", data, n);
    if (n < 0) {
        TaskLockGuard g(QVoHTTP_lock);
        if (S_QVoHTTP_INFO_2* info = s->qoh2.info) drop_connections(info);
    }
    errno = err;
    return n;
}

int s_flush_QVoHTTP_2(STREAM*) {
    return 0;
}

int s_close_QVoHTTP_2(STREAM* s) {
    STREAM* up;
    STREAM* down;
    {
        TaskLockGuard g(QVoHTTP_lock);
        S_QVoHTTP_INFO_2* info = s->qoh2.info;
        if (!info) return 0;
        info->flags |= QoH2_CLOSING;
        up = info->upload_st;
        down = info->download_st;
        info->upload_st = info->download_st = nullptr;
        wakeup_task(info);
    }
    // Closed here and now: the tasks blocked inside them are interrupted.
    if (up) __d_s_close(up, __FILE__, __LINE__);
    if (down) __d_s_close(down, __FILE__, __LINE__);
    while (s->h.thread) {
        {
            TaskLockGuard g(QVoHTTP_lock);
            if (s->qoh2.info) wakeup_task(s->qoh2.info);
        }
        _s_sleep_until(&s->h.thread, get_qvtime() + 1);
    }
    S_QVoHTTP_INFO_2* info;
    bool task_gone;
    {
        TaskLockGuard g(QVoHTTP_lock);
        info = s->qoh2.info;
        s->qoh2.info = nullptr;
        info->flags |= QoH2_DETACHED;
        task_gone = info->flags & QoH2_DEAD;
    }
    if (task_gone) free_info_2(info);
    return 0;
}

int s_get_socketip_QVoHTTP_2(STREAM* s) {
    TaskLockGuard g(QVoHTTP_lock);
    return s->qoh2.info ? static_cast<int>(s->qoh2.info->proxy_ip) : -1;
}

// ------------------------------------------------------------------------------------------------
// Reports, traces and hooks

std::string QVoHTTP_stream_list() {
    std::string out;
    StreamPri pri;
    TaskLockGuard g(stream_lock);
    TaskLockGuard q(QVoHTTP_lock);
    for (STREAM* s = stream_list; s; s = s->h.next) {
        const char* host = nullptr;
        int port = 0;
        const char* ver = nullptr;
        if (s->h.tbl == &s_QVoHTTP_2_table && s->qoh2.info) {
            ver = "V2";
            host = s->qoh2.info->host;
            port = s->qoh2.info->target_port;
        } else if (s->h.tbl == &s_QVoHTTP_table && s->qoh.info) {
            ver = "V1";
            host = s->qoh.info->host;
            port = s->qoh.info->target_port;
        }
        if (!ver) continue;
        out += '(';
        out += ver;
        out += ',';
        out += visible_text(host ? host : "");
        out += ':';
        out += std::to_string(port);
        out += ')';
    }
    return out;
}

void check_stream() {
    qoh_diag("\n>>> %s\n\n", QVoHTTP_stream_list().c_str());
}

void test_print(const char* msg, const void* data, int len) {
    if (!QVoHTTP_debug) return;
    std::string line = std::string(msg) + " >> ";
    const unsigned char* p = static_cast<const unsigned char*>(data);
    char hex[8];
    for (int i = 0; i < len; i++) {
        if (p[i] >= 32 && p[i] <= 127) {
            line += static_cast<char>(p[i]);
        } else {
            snprintf(hex, sizeof hex, "$%x$", p[i]);
            line += hex;
        }
    }
    line += "\n\n";
    qoh_diag("%s", line.c_str());
}

void set_QVoHTTP_upload_size(int bytes) {
    upload_size.store(bytes > 0 ? bytes : DEFAULT_UPLOAD_SIZE);
}

void set_QVoHTTP_upload_hook(void (*hook)()) {
    upload_hook.store(hook);
}
