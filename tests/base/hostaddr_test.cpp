// Host addresses, well-known ports, host comparison and permission lists.
#include "base/hostaddr.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "hostdb_fake.h"
#include "longchar/longchar.h"

namespace {

uint32_t ip_of(const char* dotted) {
    return inet_addr(dotted);
}

HOST_ADDR ha(const char* dotted) {
    return getHA_v4(ip_of(dotted));
}

HOST_ADDR test_site_ip() {
    return getHA_v4(inet_addr("10.9.9.9"));
}
const char* test_site_name() {
    return "self.test";
}

// Installs this node's site for one test.
struct SiteScope {
    SiteScope() {
        qvlisp_site_ip_hook = test_site_ip;
        qvlisp_site_name_hook = test_site_name;
    }
    ~SiteScope() {
        qvlisp_site_ip_hook = nullptr;
        qvlisp_site_name_hook = nullptr;
    }
};

}  // namespace

TEST(HostAddr, AddressRecordsAndWellKnownPorts) {
    HOST_ADDR a = ha("192.168.1.2");
    EXPECT_EQ(a.type, HA_IPV4);
    EXPECT_EQ(a.size, 4);
    EXPECT_EQ(a.d[0], 192);
    EXPECT_EQ(a.d[3], 2);
    HOST_ADDR none = getHA_v4(0u);
    EXPECT_EQ(none.type, HA_NONE);
    EXPECT_EQ(none.size, 0);
    HOST_ADDR out;
    getHA_v4(&out, ip_of("192.168.1.2"));
    EXPECT_EQ(cmp_HA(out, a), 0);
    EXPECT_EQ(cmp_HA(a, ha("192.168.1.3")), -1);
    EXPECT_EQ(cmp_HA(a, none), -1);
    EXPECT_EQ(cmp_HA(none, HOST_ADDR{}), 0);

    EXPECT_EQ(get_wkp(l_string(std_cm, "http")), 80);
    EXPECT_EQ(get_wkp(l_string(std_cm, "qvp")), 0);
    EXPECT_EQ(get_wkp(l_string(std_cm, "HTTP")), -1);
    EXPECT_EQ(get_wkp(l_string(std_cm, "ftp")), -1);
    EXPECT_STREQ(get_proto_name(0), "qvp");
    EXPECT_STREQ(get_proto_name(80), "http");
    EXPECT_EQ(get_proto_name(21), nullptr);
}

TEST(HostAddr, HostsCompareByNameAndAddress) {
    FakeHostDb& db = FakeHostDb::get();
    db.add({"a.test", {}, {"10.0.0.1", "10.0.0.5"}});
    db.add({"b.test", {}, {"10.0.0.5"}});
    db.add({"c.test", {}, {"10.0.0.2"}});
    const HOST_ADDR none = {};

    EXPECT_EQ(hostcmp(nullptr, ha("10.0.0.1"), nullptr, ha("10.0.0.1")), 0);
    EXPECT_EQ(hostcmp(nullptr, ha("10.0.0.1"), nullptr, ha("10.0.0.2")), 1);
    EXPECT_EQ(hostcmp("same.test", none, "same.test", none), 0);  // equal texts: no look-up
    EXPECT_EQ(db.calls("same.test"), 0);
    EXPECT_EQ(hostcmp("a.test", none, "b.test", none), 0);  // they share an address
    EXPECT_EQ(hostcmp("a.test", none, "c.test", none), 1);
    EXPECT_EQ(hostcmp("a.test", none, "missing.test", none), -1);
    EXPECT_EQ(hostcmp("c.test", none, nullptr, ha("10.0.0.2")), 0);
    EXPECT_EQ(hostcmp(nullptr, ha("10.0.0.9"), "c.test", none), 1);
    EXPECT_EQ(hostcmp(nullptr, ha("10.0.0.9"), "gone.test", none), -1);

    // This node's own name and site address match without a look-up.
    SiteScope site;
    EXPECT_EQ(localhostcmp(test_site_ip(), "self.test"), 0);
    EXPECT_EQ(localhostcmp(test_site_ip(), "other.test"), 1);
    EXPECT_EQ(hostcmp("self.test", none, nullptr, test_site_ip()), 0);
    EXPECT_EQ(db.calls("self.test"), 0);
}

TEST(HostAddr, PermissionListsAllowAndDenyByAddressMaskAndDomain) {
    FakeHostDb& db = FakeHostDb::get();
    db.add({"pc1.lab.example.com", {}, {"10.5.0.1"}});
    db.add({"nothing.org", {"PC2.Example.COM"}, {"10.5.0.4"}});
    db.add({"badexample.com", {}, {"10.5.0.2"}});
    db.add({"host.other.org", {}, {"10.5.0.3"}});
    constexpr int ALLOW = 1, DENY = 2;

    ACCESS_PERMISSION ap;
    init_access_permission(&ap);
    EXPECT_EQ(check_permission(&ap, ip_of("10.5.0.1"), nullptr), 0);  // empty list: refused

    insert_access_list(&ap, ip_of("192.168.7.0"), ip_of("255.255.255.0"), "ignored.test", 5, 7,
                       DENY);
    insert_access_list(&ap, 0, 0, "example.com", 0, 0, ALLOW);
    insert_access_list(&ap, ip_of("10.5.0.3"), ip_of("255.255.255.255"), nullptr, 0, 0, ALLOW);
    EXPECT_EQ(ap.head->domain, nullptr);  // an address rule keeps no domain
    EXPECT_EQ(ap.head->auth_type, 0);
    EXPECT_EQ(ap.head->auth_flags, 0u);

    EXPECT_EQ(check_permission(&ap, ip_of("192.168.7.44"), nullptr), DENY);
    EXPECT_EQ(check_permission(&ap, ip_of("192.168.8.44"), nullptr), 0);
    // Names compare without regard to case, and only at a dot boundary.
    EXPECT_EQ(check_permission(&ap, ip_of("10.5.0.1"), nullptr), ALLOW);
    EXPECT_EQ(check_permission(&ap, ip_of("10.5.0.4"), nullptr), ALLOW);
    EXPECT_EQ(check_permission(&ap, ip_of("10.5.0.2"), nullptr), 0);
    EXPECT_EQ(check_permission(&ap, ip_of("10.5.0.3"), nullptr), ALLOW);
    // A peer whose reverse look-up fails never matches a domain rule.
    EXPECT_EQ(check_permission(&ap, ip_of("10.5.0.9"), nullptr), 0);

    // A catch-all rule at the end answers every peer no earlier rule matched.
    insert_access_list(&ap, 0, 0, nullptr, 0, 0, DENY);
    EXPECT_EQ(ap.tail->mask, 0u);
    EXPECT_EQ(check_permission(&ap, ip_of("10.5.0.9"), nullptr), DENY);
    EXPECT_EQ(check_permission(&ap, ip_of("10.5.0.1"), nullptr), ALLOW);

    // The rule's own address is not masked: host bits in it never match.
    ACCESS_PERMISSION odd;
    init_access_permission(&odd);
    insert_access_list(&odd, ip_of("10.6.0.5"), ip_of("255.255.0.0"), nullptr, 0, 0, ALLOW);
    EXPECT_EQ(check_permission(&odd, ip_of("10.6.0.5"), nullptr), 0);

    free_access_list(&ap);
    free_access_list(&odd);
    EXPECT_EQ(ap.head, nullptr);
    EXPECT_EQ(ap.tail, nullptr);
}
