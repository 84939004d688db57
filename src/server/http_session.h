// The "http" session protocol: RemoteSession to a plain web server.
//
// Each command of a list becomes one HTTP/1.0 request on a new connection:
// (method [target] [body]), the method being the head symbol (upper-cased), the target a string
// (else the URL itself), the body raw bytes sent as they are or any other value printed as QV
// text with a line end. The head symbol's attributes "*Name" become header lines "Name: value";
// its attribute "encode" names the code method of the request and of the printed body.
//
// Replies: a text/xml or application/xml reply is parsed lazily as QV text, a text/html one as
// HTML, both as (content-type sequence), or the sequence alone with return_format 2; any other
// content type gives (content-type raw-bytes). A status other than 200 is an error value.
//
// The replies of every command but the last are read to their end and dropped before the next
// command goes. The last command's reply is read by the worker of its server (a work queue keyed
// by the server, so a server that does not answer holds up no other server's replies) and
// delivered as a deferred value.
//
// Bounds: the request is written, and the reply head must arrive, with at most
// HTTP_SESSION_REPLY_TIMEOUT seconds without progress; the head obeys the HTTP head reader's
// limits; the body is read whole before it is parsed, in pieces, never beyond
// HTTP_SESSION_BODY_MAX bytes held whatever length the reply declares, and at most
// HTTP_SESSION_REPLY_TIMEOUT seconds may pass without a byte of it. The whole request, from its
// first byte written to its reply's last byte read, takes at most HTTP_SESSION_REQUEST_TOTAL
// seconds. A request not done in time is the error ("http reply timed out" URL). A request made for
// an interpreter (a peer's RemoteSession) ends once that interpreter has gone: its connection is
// closed.
#pragma once

#include <cstdint>

#include "server/session.h"
#include "stream/stream.h"

constexpr uint32_t QVE_SESSION_METHOD = 0x80020508;  // the command is not (method ...)
constexpr int HTTP_SESSION_BODY_MAX = 64 << 20;
// Seconds a reply may keep its reader waiting: for its head, and between pieces of its body.
constexpr int HTTP_SESSION_REPLY_TIMEOUT = 30;
// Seconds one request may take whole, however its server trickles (the tests of the agent
// shorten it through VXMX_TEST_HTTP_TOTAL in the environment).
constexpr int HTTP_SESSION_REQUEST_TOTAL = 120;
// Bytes that the bodies of replies being read may hold together, in the whole agent and for one
// caller; a body that would pass either is the error "too many reply bytes pending" (on this
// agent).
constexpr int64_t HTTP_SESSION_PENDING_MAX = int64_t{256} << 20;
constexpr int64_t HTTP_SESSION_CALLER_PENDING_MAX = int64_t{128} << 20;

// Sets up the reply queue (called by init_session).
void init_session_http();
// The protocol's session: 1; closing does nothing.
int open_session_http(int open_opt);
void close_session_http(int id);
// Output towards a connection of this protocol: every request carries its own output, so this
// does nothing (con untouched).
void output_session_http(STREAM* con, const char* server, int port);
// Runs the command list cmd at the URL u (its server and port): nil for an empty list, else the
// deferred reply of the last command (or an error value of that command).
QV_SEXP* remote_session_http(QVISP_ENV* env, int id, const URL* u, const L_CHAR* agent,
                             const L_CHAR* login_mode, const L_CHAR* center_cmd, QV_SEXP* cmd,
                             QV_FILE* f, int ln, int session_lock_enable,
                             const REMOTE_SESSION_OPT* opt);
