// Server information: records found by name and by address, the creation defaults, the set_if
// guard, the commands for throughput and data, the chains the records sit on, and several tasks
// writing and reading one record at once.
#include "server/serverinfo.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

#include "base/task.h"
#include "support/sync_util.h"

namespace {

uint32_t addr(const char* dotted) {
    return inet_addr(dotted);
}

SERVER_INFO info(int flags, const char* name = nullptr, uint32_t ip = 0) {
    SERVER_INFO si;
    memset(&si, 0, sizeof si);
    si.active_flags = flags;
    si.name = const_cast<char*>(name);
    si.ip = ip;
    return si;
}

// Every record sits on the chain of its name and, with a known address, of its address; none
// sits anywhere else. Returns the number of records with this address.
int check_chains(uint32_t ip) {
    TaskLockGuard g(serverinfo_lock);
    int with_ip = 0;
    for (int k = 0; k < SERVERINFO_HASH; k++) {
        for (_SERVER_INFO* r = serverinfo_hash[k]; r; r = r->next) {
            EXPECT_NE(r->i.name, nullptr);
            if (r->i.name) {
                EXPECT_EQ(serverinfo_name_key(r->i.name), k) << r->i.name;
            }
        }
        for (_SERVER_INFO* r = serverinfo_ip_hash[k]; r; r = r->ip_next) {
            EXPECT_TRUE(r->i.active_flags & SI_IP);
            EXPECT_NE(r->i.ip, 0u);
            EXPECT_EQ(serverinfo_ip_key(r->i.ip), k);
            if (r->i.ip == ip) with_ip++;
        }
    }
    return with_ip;
}

// The stored record of a name, or null.
_SERVER_INFO* stored(const char* name) {
    TaskLockGuard g(serverinfo_lock);
    for (_SERVER_INFO* r = serverinfo_hash[serverinfo_name_key(name)]; r; r = r->next)
        if (strcmp(r->i.name, name) == 0) return r;
    return nullptr;
}

TEST(ServerInfo, ChainKeysSumSignedBytes) {
    EXPECT_EQ(serverinfo_name_key(""), 0);
    EXPECT_EQ(serverinfo_name_key("a"), 97 % 13);
    // 122 + 122 - 128 = 116: the high byte counts as negative (unsigned it would be 372 % 13).
    EXPECT_EQ(serverinfo_name_key("zz\x80"), 116 % 13);
    // A negative sum wraps in 32 bits: 2^32 - 128 is 11 modulo 13.
    EXPECT_EQ(serverinfo_name_key("\x80"), 11);
    EXPECT_EQ(serverinfo_ip_key(27), 1);
}

TEST(ServerInfo, RecordsAreMadeAndFoundByNameOrAddress) {
    const uint32_t ip = addr("192.0.2.10");
    SERVER_INFO si = info(SI_STATUS | SI_IP | SI_NAME, "conn.example", ip);
    si.status = 16;
    ASSERT_EQ(set_serverinfo(&si, SI_CMD_SET, -1), 0);
    _SERVER_INFO* r = stored("conn.example");
    ASSERT_NE(r, nullptr);
    EXPECT_NE(r->w_time, 0u);
    EXPECT_EQ(r->r_time, 0u);
    EXPECT_NE(r->i.name, si.name);  // the record keeps its own copy

    char caller_name[] = "conn.example";
    SERVER_INFO got = info(SI_NAME, caller_name);
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(got.active_flags, SI_STATUS | SI_IP | SI_NAME);
    EXPECT_EQ(got.status, 16);
    EXPECT_EQ(got.ip, ip);
    EXPECT_EQ(got.name, caller_name);
    EXPECT_NE(r->r_time, 0u);

    got = info(SI_IP, nullptr, ip);
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(got.status, 16);

    // A name, when given, is the only key: an unknown one is not looked up by address.
    got = info(SI_NAME | SI_IP, "unknown.example", ip);
    EXPECT_EQ(get_serverinfo(&got), -1);
    got = info(SI_IP, nullptr, 0);
    EXPECT_EQ(get_serverinfo(&got), -1);
    EXPECT_EQ(check_chains(ip), 1);

    // Without a name or an address nothing is made.
    si = info(SI_STATUS | SI_THPUT, nullptr, addr("192.0.2.11"));
    EXPECT_EQ(set_serverinfo(&si, SI_CMD_SET, -1), -1);
    // An address-only record: status 1, the status flag, and nothing else but the address.
    const uint32_t ip2 = addr("192.0.2.12");
    si = info(SI_IP, nullptr, ip2);
    ASSERT_EQ(set_serverinfo(&si, SI_CMD_SET, -1), 0);
    got = info(SI_IP, nullptr, ip2);
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(got.active_flags, SI_STATUS | SI_IP);
    EXPECT_EQ(got.status, 1);
}

TEST(ServerInfo, ThroughputSmoothsLowerReportsAndTakesHigherOnes) {
    const uint32_t ip = addr("192.0.2.20");
    int expected[] = {1000, 950, 2000};
    int reported[] = {1000, 500, 2000};
    for (int i = 0; i < 3; i++) {
        SERVER_INFO si = info(SI_STATUS | SI_IP | SI_THPUT, nullptr, ip);
        si.status = 16;
        si.thput = reported[i];
        ASSERT_EQ(set_serverinfo(&si, SI_CMD_SMOOTH, -1), 0);
        SERVER_INFO got = info(SI_IP, nullptr, ip);
        ASSERT_EQ(get_serverinfo(&got), 0);
        EXPECT_EQ(got.thput, expected[i]) << "report " << i;
        EXPECT_TRUE(got.active_flags & SI_THPUT);
    }
    // The smoothed value is truncated: 0.9 * 2000 + 0.1 * 7 = 1800.7.
    SERVER_INFO si = info(SI_IP | SI_THPUT, nullptr, ip);
    si.thput = 7;
    ASSERT_EQ(set_serverinfo(&si, SI_CMD_SMOOTH, -1), 0);
    SERVER_INFO got = info(SI_IP, nullptr, ip);
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(got.thput, 1800);
    // cmd 2 does not apply to throughput.
    si.thput = 5;
    EXPECT_EQ(set_serverinfo(&si, SI_CMD_SET_EMPTY, -1), -1);
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(got.thput, 1800);
}

TEST(ServerInfo, SetIfMismatchChangesNothing) {
    SERVER_INFO si = info(SI_STATUS | SI_NAME | SI_THPUT, "guard.example");
    si.status = 16;
    si.thput = 100;
    ASSERT_EQ(set_serverinfo(&si, SI_CMD_SET, -1), 0);
    _SERVER_INFO* r = stored("guard.example");
    ASSERT_NE(r, nullptr);
    r->w_time = 1;  // so an update would show

    si.status = 32;
    si.thput = 200;
    EXPECT_EQ(set_serverinfo(&si, SI_CMD_SET, 1 | 8), -2);
    SERVER_INFO got = info(SI_NAME, "guard.example");
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(got.status, 16);
    EXPECT_EQ(got.thput, 100);
    EXPECT_EQ(r->w_time, 1u);

    // Any common bit lets the write through.
    EXPECT_EQ(set_serverinfo(&si, SI_CMD_SET, 16 | 1), 0);
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(got.status, 32);
    EXPECT_EQ(got.thput, 200);
    EXPECT_NE(r->w_time, 1u);
}

TEST(ServerInfo, DataIsSetOnlyByTheCommandsThatMayWriteIt) {
    SERVER_INFO si = info(SI_NAME | SI_DATA, "data.example");
    si.data = 7;
    ASSERT_EQ(set_serverinfo(&si, SI_CMD_SET_EMPTY, -1), 0);  // 0 before: taken
    SERVER_INFO got = info(SI_NAME, "data.example");
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(got.data, 7);

    // Non-zero data refuses cmd 2, while the other fields of the same call still apply.
    si = info(SI_NAME | SI_STATUS | SI_DATA, "data.example");
    si.status = 4;
    si.data = 9;
    EXPECT_EQ(set_serverinfo(&si, SI_CMD_SET_EMPTY, -1), -2);
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(got.data, 7);
    EXPECT_EQ(got.status, 4);

    EXPECT_EQ(set_serverinfo(&si, SI_CMD_SMOOTH, -1), -1);
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(got.data, 7);

    ASSERT_EQ(set_serverinfo(&si, SI_CMD_SET, -1), 0);
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(got.data, 9);
}

TEST(ServerInfo, ChangedAddressMovesTheRecordToItsChain) {
    const uint32_t old_ip = addr("192.0.2.30");
    const uint32_t new_ip = addr("192.0.2.31");  // a neighbouring chain
    ASSERT_NE(serverinfo_ip_key(old_ip), serverinfo_ip_key(new_ip));
    SERVER_INFO si = info(SI_STATUS | SI_IP | SI_NAME, "moving.example", old_ip);
    si.status = 16;
    ASSERT_EQ(set_serverinfo(&si, SI_CMD_SET, -1), 0);
    si.ip = new_ip;
    ASSERT_EQ(set_serverinfo(&si, SI_CMD_SET, -1), 0);
    SERVER_INFO got = info(SI_IP, nullptr, new_ip);
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(got.status, 16);
    got = info(SI_IP, nullptr, old_ip);
    EXPECT_EQ(get_serverinfo(&got), -1);
    EXPECT_EQ(check_chains(new_ip), 1);
    EXPECT_EQ(check_chains(old_ip), 0);

    // A record made by name alone joins an address chain once its address is written.
    const uint32_t late_ip = addr("192.0.2.32");
    si = info(SI_NAME, "late.example");
    ASSERT_EQ(set_serverinfo(&si, SI_CMD_SET, -1), 0);
    si = info(SI_NAME | SI_IP, "late.example", late_ip);
    ASSERT_EQ(set_serverinfo(&si, SI_CMD_SET, -1), 0);
    got = info(SI_IP, nullptr, late_ip);
    ASSERT_EQ(get_serverinfo(&got), 0);
    EXPECT_EQ(check_chains(late_ip), 1);
}

// Several tasks report throughput for one address and read it back at once: one record results,
// and every value read is one the smoothing can produce from the reports.
TEST(ServerInfo, ConcurrentWritersAndReadersShareOneRecord) {
    constexpr int TASKS = 4, ROUNDS = 400;
    static const uint32_t ip = addr("192.0.2.40");
    struct Arg {
        Counter done;
        std::atomic<int> bad{0};
        std::atomic<int> failed{0};
    };
    Arg a;
    for (int t = 0; t < TASKS; t++) {
        create_task(
            [](intptr_t d) {
                auto* a = reinterpret_cast<Arg*>(d);
                for (int i = 0; i < ROUNDS; i++) {
                    SERVER_INFO si = info(SI_STATUS | SI_IP | SI_THPUT, nullptr, ip);
                    si.status = 16;
                    si.thput = 1000 + (i % 10) * 100;
                    if (set_serverinfo(&si, SI_CMD_SMOOTH, -1) != 0) a->failed.fetch_add(1);
                    SERVER_INFO got = info(SI_IP, nullptr, ip);
                    if (get_serverinfo(&got) != 0) {
                        a->failed.fetch_add(1);
                    } else if (got.thput < 1000 || got.thput > 1900 || got.status != 16) {
                        a->bad.fetch_add(1);
                    }
                }
                a->done.add();
            },
            &a, 2);
    }
    ASSERT_TRUE(a.done.wait_for(TASKS, 60000));
    EXPECT_EQ(a.failed.load(), 0);
    EXPECT_EQ(a.bad.load(), 0);
    EXPECT_EQ(check_chains(ip), 1);
}

}  // namespace
