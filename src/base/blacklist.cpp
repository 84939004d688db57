// The blacklist: the peer list, bl_do and the polling task.
//
// Peers enter at the front of the list and only the task removes them, so a scan that released
// the lock around a retry can go on from the peer it retried. A caller inside bl_do holds a user
// count on its peer: the peer is not freed while anybody can still wake on one of its states.
#include "base/blacklist.h"

#include <cstring>

#include "base/alloc.h"
#include "base/lock.h"
#include "base/panic.h"
#include "base/task.h"
#include "base/tick.h"

namespace {

SEM bl_lock = nullptr;
BLACKLIST* bl_list = nullptr;
int bl_steps[4];
int bl_step_ptr = 0;

void step(int code) {
    bl_steps[bl_step_ptr] = code;
    bl_step_ptr = (bl_step_ptr + 1) % 4;
}

BLACKLIST* find_peer(const unsigned char* key, int len) {
    for (BLACKLIST* b = bl_list; b; b = b->next)
        if (b->name_len == len && memcmp(b->name, key, static_cast<size_t>(len)) == 0) return b;
    return nullptr;
}

void free_peer(BLACKLIST* b) {
    d_f_ree(b->name);
    d_f_ree(b);
}

void unlink_peer(BLACKLIST* b) {
    for (BLACKLIST** pp = &bl_list; *pp; pp = &(*pp)->next) {
        if (*pp == b) {
            *pp = b->next;
            return;
        }
    }
    er_panic("bl_task");
}

void bl_task(intptr_t) {
    for (;;) {
        sleep_sec(1);
        bl_scan(get_qvtime());
    }
}

}  // namespace

void init_blacklist() {
    if (bl_lock) er_panic("init_blacklist");
    new_lock(&bl_lock);
    // Runs once while the agent starts (a second call panics above), before any peer or script
    // holds threads: without its sweep task no blacklisted peer would ever be let in again.
    if (create_task(bl_task, 0, 3) == NO_TASK) er_panic("init_blacklist(task)");
}

int bl_do(BL_CMD* cmd) {
    lock_task(bl_lock);
    BLACKLIST* b = find_peer(cmd->name, cmd->name_len);
    if (!b) {
        b = static_cast<BLACKLIST*>(d_calloc(1, sizeof(BLACKLIST)));
        b->name = static_cast<unsigned char*>(d_alloc(cmd->name_len));
        memcpy(b->name, cmd->name, static_cast<size_t>(cmd->name_len));
        b->name_len = cmd->name_len;
        b->polling_time = get_qvtime();
        b->next = bl_list;
        bl_list = b;
    }
    b->users++;
    BL_STATE* st = &b->state[cmd->type];
    st->func = cmd->retry;
    while (st->state == BL_BUSY) {
        sleep_task(st, bl_lock);
        lock_task(bl_lock);
    }
    int result;
    if (st->state == BL_LISTED) {
        result = BL_LISTED;
        uint32_t now = get_qvtime();
        b->polling_interval = b->polling_initial;
        if (b->polling_time > now + b->polling_initial) b->polling_time = now + b->polling_initial;
    } else {
        st->state = BL_BUSY;
        unlock_task(bl_lock, "bl_do");
        cmd->peer = b;
        cmd->ran = 1;
        result = cmd->proc(cmd);
        cmd->peer = nullptr;
        lock_task(bl_lock);
        if (result != BL_IDLE && result != BL_LISTED) er_panic("bl_do(1)");
        st->state = static_cast<uint8_t>(result);
        if (result == BL_LISTED) {
            b->polling_interval = b->polling_initial;
            b->polling_time = get_qvtime() + b->polling_initial;
        }
        wakeup_task(st);
    }
    b->users--;
    unlock_task(bl_lock, "bl_do");
    return result;
}

int bl_peer_state(BLACKLIST* b, int type) {
    lock_task(bl_lock);
    int s = b->state[type].state;
    unlock_task(bl_lock, "bl_peer_state");
    return s;
}

void bl_peer_set_port(BLACKLIST* b, int port) {
    lock_task(bl_lock);
    b->port = static_cast<uint16_t>(port);
    unlock_task(bl_lock, "bl_peer_set_port");
}

void bl_peer_set_polling_initial(BLACKLIST* b, uint32_t seconds) {
    lock_task(bl_lock);
    b->polling_initial = seconds;
    unlock_task(bl_lock, "bl_peer_set_polling_initial");
}

void bl_peer_reset_interval(BLACKLIST* b) {
    lock_task(bl_lock);
    b->polling_interval = 0;
    unlock_task(bl_lock, "bl_peer_reset_interval");
}

void bl_scan(uint32_t now) {
    lock_task(bl_lock);
    step(0);
    BLACKLIST* b = bl_list;
    while (b) {
        BLACKLIST* next = b->next;
        if (b->state[0].state == BL_IDLE && b->state[1].state == BL_IDLE) {
            if (b->users > 0) {
                step(2);
            } else {
                unlink_peer(b);
                free_peer(b);
                step(1);
            }
        } else {
            int t = b->state[0].state == BL_LISTED ? 0 : b->state[1].state == BL_LISTED ? 1 : -1;
            if (t < 0) {
                step(2);
            } else if (static_cast<int32_t>(now - b->polling_time) < 0) {
                step(3);
            } else {
                // The peer cannot go away during the retry: only this task frees peers, and a
                // blacklisted state is never changed by bl_do.
                BL_RETRY func = b->state[t].func;
                int port = b->port;
                unlock_task(bl_lock, "bl_scan");
                uint32_t start = get_qvtime();
                int r = func ? func(b->name, b->name_len, port) : BL_IDLE;
                uint32_t took = get_qvtime() - start;
                lock_task(bl_lock);
                b->state[t].state = static_cast<uint8_t>(r == BL_LISTED ? BL_LISTED : BL_IDLE);
                if (took > b->polling_interval) b->polling_interval = took;
                b->polling_time = get_qvtime() + b->polling_interval;
                b->polling_interval = b->polling_interval ? b->polling_interval * 2 : 1;
                if (b->polling_interval > BL_FORGET_INTERVAL) {
                    b->state[t].state = BL_IDLE;
                    step(4);
                } else {
                    step(5);
                }
                wakeup_task(&b->state[t]);
                next = b->next;
            }
        }
        b = next;
    }
    unlock_task(bl_lock, "bl_scan");
}

int bl_get_state(const unsigned char* key, int key_len, int type) {
    lock_task(bl_lock);
    BLACKLIST* b = find_peer(key, key_len);
    int s = b ? b->state[type].state : -1;
    unlock_task(bl_lock, "bl_get_state");
    return s;
}

void bl_last_steps(int out[4]) {
    lock_task(bl_lock);
    for (int i = 0; i < 4; i++)
        out[i] = bl_steps[(bl_step_ptr + i) % 4];
    unlock_task(bl_lock, "bl_last_steps");
}

void bl_lookup_addr_key(unsigned char key[8], uint32_t ip) {
    int32_t family = 2;
    memcpy(key, &family, 4);
    memcpy(key + 4, &ip, 4);
}

void bl_connect_addr_key(unsigned char key[8], uint32_t ip) {
    memset(key, 0, 4);
    memcpy(key + 4, &ip, 4);
}
