// Authentication: services a server requires for the paths it serves, and the answers a client
// gives from the credentials it holds.
//
// A service is of one kind (a row of the kind table `att`: "fix-user-passwd", "localhost-root",
// auth_kinds.cpp). The server defines services with the built-in `service` and, per directory of
// its documents tree, names in ".qvaccess" files which services a path requires (`target`
// elements, with an optional extension `prefix` and built-in name `operation`). A path's
// requirement is the "and" of what every directory from the root down to the file's asks for;
// two targets of one prefix and operation in one directory are alternatives ("or").
//
// When a peer asks for a protected path (auth_filepath_passive, called by the file-serving
// built-ins), phase 1 evaluates the requirement against the results this connection has earned;
// what is still missing goes back to the peer as a `service-list` inside an `auth-transaction`
// back-call, the peer answers with a `result-list` matched from its preset credentials, and
// phase 2 judges that answer. Nothing is held while the peer is asked.
//
// Safety rules of this implementation:
// - A ".qvaccess" file that cannot be read whole, is larger than AUTH_FILE_MAX, holds a parse
//   error anywhere, or holds an element other than `service` and `target` (or a failing one)
//   makes its directory deny every path below it: a broken file never opens a door.
// - Paths with empty, ".", ".." pieces or encoded separators are denied before the walk, and
//   only directories that exist in the documents or system tree get a record, so requests for
//   made-up paths do not make the tree grow.
// - Lists read from a peer are bounded in depth (AUTH_LIST_DEPTH) and length (AUTH_LIST_MAX);
//   beyond that the answer is denied (server) or not answered (client).
// - A served file is checked where it lies: the access files along the path of the file that
//   opening it reaches (every link resolved) apply as well as those along the requested path,
//   and a file whose links lead out of its tree is not served.
// - Access files of several folders may define services of the same name: a `target` names the
//   service its own file defines, else the nearest folder above defines, and a peer's answer
//   goes to the service of that name that the path asked for requires.
// - Passwords are compared in constant time; a refusal tells the peer only
//   "authentification (DENIED)" and what is still required, never why.
//
// Locking: auth_lock guards both global sets, every connection set, the access tree and every
// service and result. auth_lock is never taken under qvi_lock nor qvi_lock under it: a
// connection set is made and freed under qvi_lock alone, by and after its interpreter's tasks.
#pragma once

#include <cstdint>

#include "base/lock.h"
#include "lisp/env.h"
#include "lisp/sexp.h"
#include "server/interp.h"

// Result states (bit values).
constexpr int ARS_NONE = 1;
constexpr int ARS_DENY = 2;
constexpr int ARS_ACCEPT = 4;
constexpr int ARS_NOT_USE = 8;
constexpr int ARS_REQUIRED = 16;
constexpr int ARS_SEND_PERMIT = 32;

// List combinators.
constexpr int AUTH_LIST_NONE = 0;
constexpr int AUTH_LIST_AND = 1;
constexpr int AUTH_LIST_OR = 2;

// Error of a refused path.
constexpr uint32_t QVE_AUTH_DENIED = 0x80040d10;
// Largest ".qvaccess" or preset file read, deepest and longest list accepted from a peer.
constexpr long AUTH_FILE_MAX = 256 * 1024;
constexpr int AUTH_LIST_DEPTH = 16;
constexpr int AUTH_LIST_MAX = 256;
// Most client services learnt from servers.
constexpr int AUTH_CLIENT_SERVICES_MAX = 256;

struct auth_table;
typedef auth_table AUTH_TABLE;
struct auth_set_server;
typedef auth_set_server AUTH_SET_SERVER;
struct auth_set_client;
typedef auth_set_client AUTH_SET_CLIENT;

struct auth_service_header {
    const AUTH_TABLE* tbl;
    L_CHAR* service_name;  // the full name (auth_full_name), owned
    L_CHAR* description_url;
    L_CHAR* description;
    uint8_t open_service_name;  // 0: the name is never sent to clients
    uint8_t open_service_type;  // 0: the kind is never sent
};
typedef auth_service_header AUTH_SERVICE_HEADER;

// A key file issued by a localhost-root service.
struct auth_localhost_root_keyfile {
    auth_localhost_root_keyfile* next;
    uint32_t filename;  // the file is this number in decimal in the temporary directory
    uint32_t key;
    uint32_t auth_gc_no;  // the path check that issued it
};
typedef auth_localhost_root_keyfile AUTH_LOCALHOST_ROOT_KEYFILE;

// A service: the header and the fields of its kind (tbl selects which are used).
struct auth_service {
    AUTH_SERVICE_HEADER h;
    L_CHAR* user;  // fix-user-passwd
    L_CHAR* passwd;
    AUTH_LOCALHOST_ROOT_KEYFILE* keyfile;  // localhost-root, newest first
};
typedef auth_service AUTH_SERVICE;

struct auth_result {
    auth_result* next;
    AUTH_SERVICE* service;
    int status;    // an ARS value
    L_CHAR* user;  // fix-user-passwd
    L_CHAR* passwd;
    uint32_t filename;  // localhost-root
    uint32_t key;
};
typedef auth_result AUTH_RESULT;

// A node holds a service or a nested list; `type` is the combinator of the list it belongs to.
struct auth_service_list {
    auth_service_list* next;
    AUTH_SERVICE* service;
    auth_service_list* list;
    int type;
};
typedef auth_service_list AUTH_SERVICE_LIST;

struct auth_result_list {
    auth_result_list* next;
    AUTH_RESULT* result;
    auth_result_list* list;
    int type;
};
typedef auth_result_list AUTH_RESULT_LIST;

struct auth_prefix {
    auth_prefix* next;
    L_CHAR* prefix;   // an extension with its dot, or null
    char* operation;  // a built-in's name, or null
    AUTH_SERVICE_LIST* at_list;
};
typedef auth_prefix AUTH_PREFIX;

struct auth_dir {
    L_CHAR* dir_name;
    L_CHAR* total_path;  // from the root, ending with "/"
    auth_dir* child_list;
    auth_dir* child_next;
    AUTH_PREFIX* prefix;  // targets, newest first
    bool broken;          // its access file could not be read or evaluated: deny all below
    auth_dir* parent;     // null for the root
};
typedef auth_dir AUTH_DIR;

struct auth_set_server {
    struct defined {  // defined services, newest first
        defined* next;
        AUTH_SERVICE* service;
        AUTH_DIR* dir;  // the directory whose access file defined it, null for a script
    } * auth_service_list;
    AUTH_DIR* auth_dir_tree;
    uint32_t auth_gc_no;
};

struct auth_set_client {
    struct known {
        known* next;
        AUTH_SERVICE* service;
    } * auth_service_list;
    int services;
    AUTH_RESULT* preset_result_list;    // in file order
    AUTH_RESULT* required_result_list;  // newest first
    bool enable_client_result;          // the preset directories were read
};

struct auth_connection_set {
    AUTH_SET_SERVER* server_set;
    AUTH_SET_CLIENT* client_set;
    AUTH_RESULT* server_result;  // newest first
    QV_INTERPRETER* qvi;
};
typedef auth_connection_set AUTH_CONNECTION_SET;

// One row of the kind table.
struct auth_table {
    int type;
    const char* name;
    uint8_t default_open_service_name;
    uint8_t default_open_service_type;
    AUTH_SERVICE* (*new_auth_service)(const AUTH_SERVICE* tmpl);
    AUTH_SERVICE* (*parse_info)(const AUTH_SERVICE_HEADER* h, QV_SYM_FIELD* attr);
    void (*free_auth_service)(AUTH_SERVICE* service);
    void (*server_send_sexp)(AUTH_SERVICE* service, QV_SEXP* head);
    void (*client_recv_sexp)(AUTH_SERVICE* service, QV_SEXP* head);
    AUTH_RESULT* (*authentification)(AUTH_CONNECTION_SET* set, AUTH_SERVICE* service, int flag);
    void (*gc_service)(AUTH_SET_SERVER* set, AUTH_SERVICE* service, uint32_t gen);
    AUTH_RESULT* (*new_auth_result)(AUTH_SERVICE* service, const AUTH_RESULT* tmpl, int copy);
    void (*free_auth_result)(AUTH_RESULT* result, int flag);
    QV_SEXP* (*send_result_info)(AUTH_RESULT* result);
    AUTH_RESULT* (*recv_result_info)(AUTH_SET_SERVER* set, QV_SEXP* element);
    void (*set_authentification_result)(AUTH_RESULT* result, QV_SEXP* head);
    void (*client_transaction)(AUTH_SERVICE* service, AUTH_RESULT* result);
    const char* const* (*get_result_members)();
};

extern SEM auth_lock;
extern const AUTH_TABLE att[];
extern AUTH_SET_SERVER auth_set_server;
extern AUTH_SET_CLIENT auth_set_client;

// Kind rows by type and by exact name; null when none.
const AUTH_TABLE* at_tbl(int type);
const AUTH_TABLE* at_tbl_type_name(const L_CHAR* name);

// Creates auth_lock and installs the interpreter release hook; once.
void init_auth();

// ---- records (auth_lock held where they touch shared state)

// A header copied from tmpl with tmpl's row (else tbl), the strings copied and the open bits
// masked by the row's defaults, written into the caller's dst (it is part of a service record).
void new_auth_service_header(AUTH_SERVICE_HEADER* dst, const AUTH_SERVICE_HEADER* tmpl,
                             const AUTH_TABLE* tbl);
void free_auth_service_header(AUTH_SERVICE_HEADER* h);
// The `service` element of a service (name, description, description-url, type when set).
QV_SEXP* get_service_header_sexp(const AUTH_SERVICE* service);
// That element plus `status` in decimal.
QV_SEXP* get_result_header_sexp(const AUTH_RESULT* result);
// The service an element names: with a server set only a defined one (else null), and while a
// peer's answer for a path is read, first one that path requires; without, the client's one of
// that name and kind, learnt when new.
AUTH_SERVICE* _get_service_header(AUTH_SET_SERVER* set, QV_SEXP* element);
// The same, taking auth_lock.
AUTH_SERVICE* get_service_header(AUTH_SET_SERVER* set, QV_SEXP* element);
// The full name of a service: the URL {"SERVICE", this node's site, "/", name} as the URL printer
// writes it, "SERVICE://site:0/name"; a tracked copy.
L_CHAR* auth_full_name(const L_CHAR* name);
// The form in which a name given by a peer or a preset is compared: a full service name written
// without its port ("SERVICE://site/name") gets the printer's form with ":0"; any other name is
// kept. A tracked copy (null for null).
L_CHAR* auth_same_name_form(const L_CHAR* name);

// The connection set of qvi, made on first use (qvi_lock held, by a task of qvi) rather than
// with every interpreter: most never check a path.
AUTH_CONNECTION_SET* _auth_connection_set(QV_INTERPRETER* qvi);
void free_auth_connection_set(AUTH_CONNECTION_SET* set);
// The first result of the set for that very service, or null.
AUTH_RESULT* _connection_result(AUTH_CONNECTION_SET* set, AUTH_SERVICE* service);

// ---- server definitions (auth_lock held)

// Defines a server service from a `service` element's attributes: null, or an error text. dir:
// the directory whose access file holds the element (null for a script's definition).
const char* _auth_define_service(QV_SYM_FIELD* attr, AUTH_DIR* dir = nullptr);
// Presets a client result from a `service` element with a `result` attribute.
const char* _auth_preset_result(QV_SEXP* element);
// Adds a target to dir: null, or an error value for the form.
QV_SEXP* _auth_add_target(AUTH_DIR* dir, QV_SEXP* form, QV_SYM_FIELD* attr);

// ---- client results (each takes auth_lock)

// Sets the client's result for tmpl's service (same full name and kind; results made on demand
// searched before presets): it takes tmpl's status, and the kind reads its fields from element's
// attributes (a `service` element, or its head). The result set, or null when none matches.
AUTH_RESULT* set_authentification_result(const AUTH_RESULT* tmpl, QV_SEXP* element);
// A copy of the client's first result (made on demand first, then presets) whose service has
// name (when given) and is of kind tbl (when given); the copy's status becomes status when its
// own shares a bit with mask. The caller frees it with its kind's free_auth_result(result, 0).
// Null when none matches.
AUTH_RESULT* search_auth_result_in_client(const L_CHAR* name, const AUTH_TABLE* tbl, int status,
                                          int mask);

// ---- lists

void free_auth_service_list(AUTH_SERVICE_LIST* l);
AUTH_SERVICE_LIST* copy_auth_service_list(const AUTH_SERVICE_LIST* l);
// The service-list expression of l (null for an empty list).
QV_SEXP* auth_service_list_sexp(const AUTH_SERVICE_LIST* l);

// ---- path checks

// The services path requires for operation (auth_lock held): 0 with *out (null: nothing), or
// -1 when a directory on the way has a broken access file or the path is refused.
int _auth_required(AUTH_SERVICE_LIST** out, const L_CHAR* path, const char* operation);
// Evaluates l for the connection: the list still required (null: none), *status ARS_ACCEPT or
// ARS_DENY.
AUTH_SERVICE_LIST* _ap_authentification(int* status, const AUTH_SERVICE_LIST* l,
                                        AUTH_CONNECTION_SET* set, int depth = 0);

// Each of the four exchange steps takes auth_lock around its twin with a leading '_', which runs
// with the lock held.
// Phase 1: null (allowed), a service-list expression of what is missing, or the denial.
QV_SEXP* ap_server_check_path_phase(AUTH_CONNECTION_SET* set, const L_CHAR* path,
                                    const char* operation, uint32_t* gen_out);
QV_SEXP* _ap_server_check_path_phase(AUTH_CONNECTION_SET* set, const L_CHAR* path,
                                     const char* operation, uint32_t* gen_out);
// Phase 2: judges the peer's answer; null or the denial (data: what is still required).
QV_SEXP* ap_server_authentification(AUTH_CONNECTION_SET* set, QV_SEXP* answer, const L_CHAR* path,
                                    const char* operation);
QV_SEXP* _ap_server_authentification(AUTH_CONNECTION_SET* set, QV_SEXP* answer, const L_CHAR* path,
                                     const char* operation);
// Clean-up of what the kinds issued for the path check gen.
void ap_server_gc(AUTH_SET_SERVER* set, uint32_t gen);
void _ap_server_gc(AUTH_SET_SERVER* set, uint32_t gen);
// The client's answer to a service-list: a result-list expression, or null. The client set is
// the one global set, and the results that may not be sent stay with it (the only caller would
// discard them), so neither is an argument. The twin takes a list already realised.
QV_SEXP* ap_client_get_key(QV_SEXP* service_list);
QV_SEXP* _ap_client_get_key(QV_SEXP* service_list);
// True when the command running on the calling thread is a server's request on an outgoing
// connection that privileged code opened: the only place where this agent answers a credential
// request. A peer of one of its listeners, or a connection opened by code without privilege
// (which could point it at this agent's own listeners), never gets presets or keys.
bool auth_client_may_answer();

// The check a file-serving built-in makes before it serves path to the peer whose command is
// running on the calling thread: null (allowed) or an error value. A caller without an
// interpreter (no peer involved) is allowed; a path that is not a string is denied.
QV_SEXP* auth_filepath_passive(QV_SEXP* path, const char* operation);
// The same check for the file a built-in is about to open for requested (whose own check has been
// made), local being the file the tree look-up named for it: the access files are looked up along
// the path of the file that opening local reaches, every link resolved. Null with *opened that
// file (the one to open), or with *opened null when nothing is there or the file lies outside the
// tree that local was named in (it is not served); else the denial.
QV_SEXP* auth_served_file(L_CHAR** opened, const L_CHAR* local, const L_CHAR* requested,
                          const char* operation);

// Test hooks: forgets every service, result, directory and preset (no other task may use this
// module meanwhile).
void reset_auth();
