// TCP sockets: listening on the first free port of a range, accepting clients, and connecting
// with retries, a give-up time and a per-attempt break. IPv4 only.
//
// This layer works on descriptors. The stream layer, which sits above it, wraps them: its
// listening stream, accept and connection streams (`init_server`, `accept_connection`,
// `new_connection`, `bl_new_connection`) check its shutdown flag, call these functions and turn
// the descriptor into a stream it counts among its open files.
//
// Every blocking call waits through the descriptor-wait service, so closing a listener or
// forking can break it: an accept waits in the service, a connect registers its own blocking
// call, and a break shuts the socket down. The fork read lock is held around each connect
// attempt, so a fork never copies a half-made connection into the child; an attempt a fork
// broke starts over with a new socket.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>

#include "base/task.h"

// One connect attempt, on the caller's stack; listed while the call runs so that the attempt's
// break tick finds it (or finds it gone).
struct CONNECT_T {
    CONNECT_T* next;
    int id;  // the socket, -1 once the call has returned
    sockaddr_in server;
    socklen_t len;
    int ret;
    int err;
    TKEY tid;  // the calling task, -1 once the call has returned
};

// Releases unused streams when the process runs out of descriptors (EMFILE); set by the stream
// layer, tried once per call.
extern int (*socket_gc_hook)();

// Diagnostics: the last failure kind (3 bind failed, 4 timed out, 5 refused) and the last
// connect error number.
constexpr int CON_ERR_BIND = 3;
constexpr int CON_ERR_TIMEOUT = 4;
constexpr int CON_ERR_REFUSED = 5;
extern std::atomic<int> con_err;
extern std::atomic<int> con_errno;

// A listening descriptor (SO_REUSEADDR, the system's largest backlog, blocking) bound to the IPv4
// address addr (network order; INADDR_ANY for every local address) on the first free port of
// base_port .. base_port + limit - 1. The port is stored in *open_port. -1 on failure.
int listen_socket(int* open_port, uint32_t addr, int base_port, int limit);

// Waits for the next client on the listening descriptor fd and returns its descriptor, with the
// peer's address (network order) in *ip. A broken wait ends the call (-1, EINTR) when closed is
// null or closed(work) answers nonzero; otherwise the wait starts again. -1 with errno on
// failure.
int accept_socket(int fd, uint32_t* ip, int (*closed)(void* work), void* work);

// A connected descriptor to hostname (resolved; its first address) or, when hostname is null, to
// ip (network order), port 1..65535. -1 on failure with *cerr set: ECONNREFUSED when refused,
// ETIMEDOUT when no attempt succeeded within the give-up time. func, when given, is called as
// func(0, work) before the attempts and func(1, work) when they end, except when the host name
// cannot be resolved.
int connect_socket(int* cerr, const char* hostname, uint32_t ip, int port, void (*func)(int, void*),
                   void* work);
// The same through the blacklist: a peer whose connection timed out fails at once (-1,
// ETIMEDOUT) until a retry of the blacklist task reaches it.
int bl_connect_socket(int* cerr, const char* hostname, uint32_t ip, int port,
                      void (*func)(int, void*), void* work);

// This process's own outgoing sockets, known by their local port from before they connect, with
// the privilege of the code they were opened for. A listener of this process that accepts one of
// them can so give the connection no more than its opener had: a peer that may not write files
// gains nothing by connecting through the agent to a listener that trusts the agent's address.
enum : int { OWN_NONE = 0, OWN_UNPRIVILEGED = 1, OWN_PRIVILEGED = 2 };
// For its extent, the connections the calling thread opens are opened for code with (or
// without) privilege. A thread outside every such scope opens them as OWN_UNPRIVILEGED.
class SocketOpener {
  public:
    explicit SocketOpener(bool privileged);
    ~SocketOpener();
    SocketOpener(const SocketOpener&) = delete;
    SocketOpener& operator=(const SocketOpener&) = delete;

  private:
    int saved_;
};
// The calling thread's scope: OWN_PRIVILEGED, OWN_UNPRIVILEGED, or OWN_NONE outside every one.
int socket_opener_level();
// What the accepted connection fd is for this process: OWN_NONE when its peer is not one of this
// process's live outgoing sockets (its local and remote addresses and ports are those of fd the
// other way round), else the privilege that socket was opened with.
int own_socket_level(int fd);
// Notes the socket fd (bound, not yet connected) as this process's, opened with the calling
// thread's privilege (connect_socket does this for every socket it makes).
void note_own_socket(int fd);
// Forgets the socket fd before it is closed (nothing when it is not one of them).
void forget_own_socket(int fd);

// Seconds after which connecting gives up (240), and after which one attempt is broken (480).
constexpr int CONNECT_GIVE_UP = 240;
constexpr int CONNECT_ATTEMPT_BREAK = 480;
// Test hook: other limits (0 restores the defaults).
void set_connect_limits(int give_up, int attempt_break);
