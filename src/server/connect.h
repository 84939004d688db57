// Outgoing connections: interpreters of access type 5 that this agent opens to another agent.
//
// The route comes from the proxy setting (a direct TCP connection, or the QVoHTTP tunnel with or
// without an HTTP proxy); the attempt runs through the blacklist of unreachable peers under the
// host's name, so that a peer that accepted but never answered within the permission wait is not
// tried again until the blacklist's retry finds it answering. Only that time-out lists a host: a
// peer that refused the connection, hung up or answered nonsense is not listed, so that one port
// that accepts and closes cannot cut everyone off from the other ports of its host. Once the stream
// is open the record is registered, writes
// "\n" and waits at most CONNECT_PERMISSION_WAIT seconds (the interpreter tick enforces it) for
// the peer's "<Permission>"; on Allow it announces its output code set with "&cx%x;\n".
#pragma once

#include <atomic>

#include "server/interp.h"

// Seconds an outgoing connection waits for the peer's permission answer.
constexpr int CONNECT_PERMISSION_WAIT = 120;
// The keep-alive mode handed to the QVoHTTP client streams (32: keep connections alive); set by
// SetProxy while connections may be opening.
extern std::atomic<int> http_proxy_keep_alive_mode;

// Opens a prepared type-5 record that has no stream yet (HostName or IP, Port, proxy_type) and
// registers it: its id, or -1 (the host is blacklisted), -5 (no connection, or no permission
// answer in time), -6 (Busy), -7 (Denied), -8 (the main interpreter has closed), -11 (the peer
// hung up or gave no permission answer it could read). On a failure the
// record is freed, or winds down by itself when it had been registered.
int setup_connect(QV_INTERPRETER* qvi);

// The permission hand-shake of a registered outgoing connection with id (called by
// setup_qv_interpreter with no lock held): the id, or the negative answer code.
int await_permission(QV_INTERPRETER* qvi, int id);

// Opens an outgoing connection interpreter to server:port whose environment is a new child of env
// and which never times out (the HTTP agent's remote agents): its id, or a negative code as
// setup_connect gives.
int open_agent_connection(const char* server, int port, QVISP_ENV* env);
