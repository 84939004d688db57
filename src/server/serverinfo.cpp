// Server information: the records of known servers and their two hash tables.
#include "server/serverinfo.h"

#include <cstring>

#include "base/alloc.h"
#include "base/tick.h"

_SERVER_INFO* serverinfo_hash[SERVERINFO_HASH];
_SERVER_INFO* serverinfo_ip_hash[SERVERINFO_HASH];
SEM serverinfo_lock;

int serverinfo_name_key(const char* name) {
    uint32_t sum = 0;
    for (const char* p = name; *p; p++)
        sum += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    return static_cast<int>(sum % SERVERINFO_HASH);
}

int serverinfo_ip_key(uint32_t ip) {
    return static_cast<int>(ip % SERVERINFO_HASH);
}

namespace {

// True when the record belongs on an address chain.
bool on_ip_chain(const _SERVER_INFO* r) {
    return (r->i.active_flags & SI_IP) && r->i.ip != 0;
}

_SERVER_INFO* find_by_name(const char* name) {
    for (_SERVER_INFO* r = serverinfo_hash[serverinfo_name_key(name)]; r; r = r->next)
        if (r->i.name && strcmp(r->i.name, name) == 0) return r;
    return nullptr;
}

_SERVER_INFO* find_by_ip(uint32_t ip) {
    for (_SERVER_INFO* r = serverinfo_ip_hash[serverinfo_ip_key(ip)]; r; r = r->ip_next)
        if (on_ip_chain(r) && r->i.ip == ip) return r;
    return nullptr;
}

// The record si names: by name when it has one, else by a known address. Null with *err -1
// when si names no server, with *err 0 when the server has no record yet.
_SERVER_INFO* find_record(const SERVER_INFO* si, int* err) {
    *err = 0;
    if ((si->active_flags & SI_NAME) && si->name) return find_by_name(si->name);
    if ((si->active_flags & SI_IP) && si->ip != 0) return find_by_ip(si->ip);
    *err = -1;
    return nullptr;
}

void link_ip(_SERVER_INFO* r) {
    int k = serverinfo_ip_key(r->i.ip);
    r->ip_next = serverinfo_ip_hash[k];
    serverinfo_ip_hash[k] = r;
}

void unlink_ip(_SERVER_INFO* r) {
    for (_SERVER_INFO** p = &serverinfo_ip_hash[serverinfo_ip_key(r->i.ip)]; *p;
         p = &(*p)->ip_next) {
        if (*p == r) {
            *p = r->ip_next;
            r->ip_next = nullptr;
            return;
        }
    }
}

_SERVER_INFO* new_record(const SERVER_INFO* si) {
    auto* r = static_cast<_SERVER_INFO*>(d_alloc(sizeof(_SERVER_INFO)));
    memset(r, 0, sizeof *r);
    r->i.active_flags = (si->active_flags & (SI_IP | SI_NAME)) | SI_STATUS;
    r->i.status = 1;
    if ((si->active_flags & SI_NAME) && si->name) {
        r->i.name = d_strdup(si->name);
        int k = serverinfo_name_key(r->i.name);
        r->next = serverinfo_hash[k];
        serverinfo_hash[k] = r;
    }
    if (si->active_flags & SI_IP) r->i.ip = si->ip;
    if (on_ip_chain(r)) link_ip(r);
    r->w_time = get_qvtime();
    r->r_time = 0;
    return r;
}

}  // namespace

void init_serverinfo() {
    new_lock(&serverinfo_lock);
}

int set_serverinfo(SERVER_INFO* si, int cmd, int set_if) {
    TaskLockGuard g(serverinfo_lock);
    int ret;
    _SERVER_INFO* r = find_record(si, &ret);
    if (ret < 0) return -1;
    bool existed = r != nullptr;
    if (!r) r = new_record(si);
    if ((r->i.status & set_if) == 0) return -2;
    if (si->active_flags & SI_STATUS) r->i.status = si->status;
    if (si->active_flags & SI_IP) {
        // Keep the address chain in step with the address, so a look-up by the new address
        // finds the record and one by the old address does not.
        bool was_linked = on_ip_chain(r);
        uint32_t old_ip = r->i.ip;
        if (was_linked && old_ip != si->ip) unlink_ip(r);
        r->i.ip = si->ip;
        r->i.active_flags |= SI_IP;
        if (on_ip_chain(r) && !(was_linked && old_ip == si->ip)) link_ip(r);
    }
    if (si->active_flags & SI_THPUT) {
        if (cmd == SI_CMD_SET) {
            r->i.thput = si->thput;
        } else if (cmd == SI_CMD_SMOOTH) {
            if (existed && r->i.thput >= si->thput)
                r->i.thput = static_cast<int>(0.9 * r->i.thput + 0.1 * si->thput);
            else
                r->i.thput = si->thput;
        } else {
            ret = -1;
        }
    }
    if (si->active_flags & SI_DATA) {
        if (cmd == SI_CMD_SET) {
            r->i.data = si->data;
        } else if (cmd == SI_CMD_SET_EMPTY) {
            if (r->i.data == 0)
                r->i.data = si->data;
            else
                ret = -2;
        } else {
            ret = -1;
        }
    }
    r->i.active_flags |= si->active_flags;
    r->w_time = get_qvtime();
    return ret;
}

int get_serverinfo(SERVER_INFO* si) {
    TaskLockGuard g(serverinfo_lock);
    _SERVER_INFO* r;
    if (si->active_flags & SI_NAME) {
        if (!si->name) return -1;
        r = find_by_name(si->name);
    } else if ((si->active_flags & SI_IP) && si->ip != 0) {
        r = find_by_ip(si->ip);
    } else {
        return -1;
    }
    if (!r) return -1;
    r->r_time = get_qvtime();
    si->active_flags = r->i.active_flags;
    si->status = r->i.status;
    si->ip = r->i.ip;
    si->thput = r->i.thput;
    si->data = r->i.data;
    return 0;
}
