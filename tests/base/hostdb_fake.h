// The host database of the runtime-base tests: names and addresses the tests define, counted
// look-ups, and names whose look-up blocks until the test lets it go (bounded). Only "localhost"
// and 127.0.0.1 go to the system's own look-ups (answered from the machine's host table); every
// other name or address fails unless a test defined it. It is installed for the whole test
// program before anything runs, so no look-up, not even a retry of the blacklist task after a
// test has ended, ever leaves the machine.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/netdb.h"

struct FakeHost {
    std::string name;
    std::vector<std::string> aliases;
    std::vector<std::string> ips;  // dotted quads
};

class FakeHostDb {
  public:
    // The one instance; it lives for the whole process, since a helper task that a test
    // abandoned may still call it.
    static FakeHostDb& get() {
        static FakeHostDb* db = new FakeHostDb;
        return *db;
    }

    void install() {
        static const HOSTDB_CALLS calls = {by_name, by_addr};
        set_hostdb_calls(&calls);
    }

    void add(const FakeHost& h) {
        std::lock_guard<std::mutex> g(m_);
        names_[h.name] = h;
        for (const auto& ip : h.ips)
            addrs_[inet_addr(ip.c_str())] = h;
    }
    void remove(const std::string& name) {
        std::lock_guard<std::mutex> g(m_);
        names_.erase(name);
    }
    int calls(const std::string& key) {
        std::lock_guard<std::mutex> g(m_);
        return calls_[key];
    }
    // Look-ups of key (a name or a dotted quad) wait until released (at most 20 seconds).
    void block(const std::string& key) {
        std::lock_guard<std::mutex> g(m_);
        blocked_.insert(key);
    }
    void release(const std::string& key) {
        std::lock_guard<std::mutex> g(m_);
        blocked_.erase(key);
        cv_.notify_all();
    }
    // Number of look-ups now waiting in block.
    int waiting() {
        std::lock_guard<std::mutex> g(m_);
        return waiting_;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::map<std::string, FakeHost> names_;
    std::map<uint32_t, FakeHost> addrs_;
    std::map<std::string, int> calls_;
    std::set<std::string> blocked_;
    int waiting_ = 0;

    void count(const std::string& key) {
        std::lock_guard<std::mutex> g(m_);
        calls_[key]++;
    }

    // Counts the call, waits while the key is blocked, and finds the host.
    bool find(const std::string& key, bool by_addr, uint32_t ip, FakeHost* out) {
        std::unique_lock<std::mutex> l(m_);
        calls_[key]++;
        waiting_++;
        cv_.wait_for(l, std::chrono::seconds(20), [&] { return !blocked_.count(key); });
        waiting_--;
        if (by_addr) {
            auto it = addrs_.find(ip);
            if (it == addrs_.end()) return false;
            *out = it->second;
        } else {
            auto it = names_.find(key);
            if (it == names_.end()) return false;
            *out = it->second;
        }
        return true;
    }

    static int fill(const FakeHost& h, hostent* ret, char* buf, size_t buflen, hostent** result) {
        size_t need = h.name.size() + 1 + (h.aliases.size() + h.ips.size() + 2) * sizeof(char*) +
                      h.ips.size() * 4 + 16;
        for (const auto& a : h.aliases)
            need += a.size() + 1;
        if (need > buflen) return ERANGE;
        uintptr_t at = reinterpret_cast<uintptr_t>(buf);
        size_t pad = (sizeof(char*) - at % sizeof(char*)) % sizeof(char*);
        char** ptrs = reinterpret_cast<char**>(buf + pad);
        char* p = reinterpret_cast<char*>(ptrs + h.aliases.size() + h.ips.size() + 2);
        ret->h_aliases = ptrs;
        for (const auto& a : h.aliases) {
            *ptrs++ = p;
            memcpy(p, a.c_str(), a.size() + 1);
            p += a.size() + 1;
        }
        *ptrs++ = nullptr;
        ret->h_addr_list = ptrs;
        for (const auto& ip : h.ips) {
            *ptrs++ = p;
            in_addr_t v = inet_addr(ip.c_str());
            memcpy(p, &v, 4);
            p += 4;
        }
        *ptrs = nullptr;
        ret->h_name = p;
        memcpy(p, h.name.c_str(), h.name.size() + 1);
        ret->h_addrtype = AF_INET;
        ret->h_length = 4;
        *result = ret;
        return 0;
    }

    static int by_name(const char* name, hostent* ret, char* buf, size_t buflen, hostent** result,
                       int* h_errnop) {
        if (strcmp(name, "localhost") == 0 || strcmp(name, "127.0.0.1") == 0) {
            get().count(name);
            return gethostbyname_r(name, ret, buf, buflen, result, h_errnop);
        }
        FakeHost h;
        *result = nullptr;
        if (!get().find(name, false, 0, &h)) {
            *h_errnop = HOST_NOT_FOUND;
            return 0;
        }
        return fill(h, ret, buf, buflen, result);
    }

    static int by_addr(const void* addr, socklen_t len, int, hostent* ret, char* buf, size_t buflen,
                       hostent** result, int* h_errnop) {
        FakeHost h;
        *result = nullptr;
        uint32_t ip = 0;
        if (len == 4) memcpy(&ip, addr, 4);
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &ip, text, sizeof text);
        if (ip == htonl(INADDR_LOOPBACK)) {
            get().count(text);
            return gethostbyaddr_r(addr, len, AF_INET, ret, buf, buflen, result, h_errnop);
        }
        if (!get().find(text, true, ip, &h)) {
            *h_errnop = HOST_NOT_FOUND;
            return 0;
        }
        return fill(h, ret, buf, buflen, result);
    }
};

inline const bool fake_hostdb_installed = (FakeHostDb::get().install(), true);
