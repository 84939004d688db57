// The user-information relay: which node a user's request started from, vouched for hop by hop.
//
// A request may travel along a chain of agents: the user's node opens a connection to agent A,
// A (whose main interpreter is made that connection) sends work on to B, and so on. An agent that
// wants to know where its user sits asks the peer that sent it the command:
//     (GetUserInfo "" "" "" "ip")
// An agent receiving that command on a connection relays it up the chain when its main
// interpreter is a connection (type 5): a command of this agent's own making goes to the main
// interpreter's peer as a remote query (the head and elements 1 to 4, each of which must be a
// string literal as the peer sent it: anything else is refused with error 0x80030806
// "GetUserInfo" before anything goes up, and elements after the fourth stay behind, so that no
// peer's code runs upstream), and that peer's answer, a list of integer IPv4 addresses (host order,
// as GetLocalHostIP gives them) nearest first, is checked and extended:
//   - an answer that is an error, or a list whose first element is an error, goes back as it is;
//   - a first element that is no integer: error 0x80030806 "GetUserInfo" ("type missmatch of
//     return value of GetUserInfo");
//   - a first address that is not the host of the main interpreter's peer (the node that answered
//     must name itself): error 0x80040d10 "GetUserInfo" ("permission denied(invalid ip chain)");
//   - otherwise this node's own address is put in front and the list goes back.
// The node at the top of the chain, whose main interpreter is no connection, evaluates the
// command normally (a user's client answers it with its own address). So does every agent for a
// command whose element 4 is not a string, or that comes from its main interpreter itself: the
// relay never sends a command back where it came from. A relay waits for its answer running the
// commands that arrive meanwhile, so relays nest on one thread; a chain that comes back round
// would nest them for ever: beyond 8 the invalid-chain error refuses the command.
//
// Addresses of one host: equal, or both this node's own (the loopback network or the site's
// address), so that peers on this host may connect through either.
#pragma once

#include "lisp/env.h"
#include "lisp/sexp.h"
#include "server/interp.h"

// The user's address chain as seen from the calling task's interpreter: for a terminal, a script
// or an "ipc" interpreter (or a task of none) the list of this node's address; for a connection,
// pipe or descriptor interpreter the deferred answer of its peer to (GetUserInfo "" "" "" "ip"),
// sent on that interpreter; back-calls during the wait are evaluated in env. An error 0x80030604
// "GetUserInfo" when the interpreter has no peer to ask (a listener, an internal worker).
QV_SEXP* get_user_ip(QVISP_ENV* env);

// The relay loop's offer of a command read on qvi: false when cmd is to be evaluated normally,
// else true with the value to reply in *value (see above). Waits for the main interpreter's peer;
// commands that arrive on qvi meanwhile are run by the wait.
bool user_info_relay(QV_INTERPRETER* qvi, QV_SEXP* cmd, QV_SEXP** value);

// This node's IPv4 address in host order (0 when the site has none).
uint32_t own_ip_host_order();
// 1 when the host-order address a and the network-order address peer are of one host.
int same_host_ip(uint32_t a, uint32_t peer);
