// The proxy setting: what set_proxy keeps and drops, the direct-access list, the route that
// check_proxy answers for one server, the expression of the setting, and readers racing writers.
#include "server/proxy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/alloc.h"
#include "base/hostaddr.h"
#include "base/task.h"
#include "lisp/heap.h"
#include "lisp/printer.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server_util.h"
#include "support/sync_util.h"

namespace {

// The setting's expression in S-expression form.
std::string proxyinfo_text() {
    std::string text;
    EXPECT_TRUE(run_task([&] {
        gc_push(nullptr, nullptr, "proxy_test");
        text = print_sexp_text(get_proxyinfo(), 0);
        gc_pop(nullptr, nullptr);
    }));
    return text;
}

// check_proxy's answer with the server text taken over and freed.
struct Route {
    int ret;
    int type;
    std::string server;  // "<null>" for none
    int port;
    bool has_list;
};
Route route(const char* server) {
    PROXY_INFO info;
    memset(&info, 0x5a, sizeof info);
    Route r;
    r.ret = check_proxy(&info, server);
    r.type = info.proxy_type;
    r.server = info.proxy_server ? info.proxy_server : "<null>";
    r.port = info.proxy_port;
    r.has_list = info.da_servers != nullptr;
    d_f_ree(info.proxy_server);
    return r;
}

void reset_direct() {
    ASSERT_EQ(set_proxy(PROXY_NONE, nullptr, 0), 0);
}

TEST(Proxy, StartsDirectAndNamesItsTypes) {
    EXPECT_EQ(proxyinfo_text(), "(proxyinfo \"NoProxy\")");
    EXPECT_STREQ(type_chr[1], "NoProxy");
    EXPECT_STREQ(type_chr[2], "QVoHTTP");
    EXPECT_STREQ(type_chr[4], "HTTPProxy");
    EXPECT_STREQ(type_chr[8], "NativeProxy");
    Route r = route("far.example");
    EXPECT_EQ(r.ret, PROXY_NONE);
    EXPECT_EQ(r.type, PROXY_NONE);
    EXPECT_EQ(r.server, "<null>");
    EXPECT_EQ(r.port, 0);
    EXPECT_FALSE(r.has_list);
}

TEST(Proxy, TunnelAfterHttpProxyDropsServerPortAndList) {
    reset_direct();
    ASSERT_EQ(set_direct_access(PROXY_NONE, "near.example"), 0);
    ASSERT_EQ(set_direct_access(PROXY_QVOHTTP, "tunnel.example"), 0);
    ASSERT_EQ(set_proxy(PROXY_HTTP, "gate.example", 8080), 0);
    // The list survives the change to type 4 and is listed oldest first.
    EXPECT_EQ(proxyinfo_text(),
              "(proxyinfo \"HTTPProxy\" \"gate.example\" 8080 (server \"NoProxy\" "
              "\"near.example\") (server \"QVoHTTP\" \"tunnel.example\"))");
    Route r = route("far.example");
    EXPECT_EQ(r.ret, PROXY_HTTP);
    EXPECT_EQ(r.server, "gate.example");
    EXPECT_EQ(r.port, 8080);
    EXPECT_FALSE(r.has_list);
    r = route("tunnel.example");
    EXPECT_EQ(r.ret, PROXY_QVOHTTP);
    EXPECT_EQ(r.server, "<null>");
    EXPECT_EQ(r.port, 0);

    ASSERT_EQ(set_proxy(PROXY_QVOHTTP, "ignored.example", 99), 0);
    EXPECT_EQ(proxyinfo_text(), "(proxyinfo \"QVoHTTP\")");
    {
        TaskLockGuard g(proxy_lock);
        EXPECT_EQ(proxyinfo.proxy_server, nullptr);
        EXPECT_EQ(proxyinfo.proxy_port, 0);
        EXPECT_EQ(proxyinfo.da_servers, nullptr);
    }
    // The list is gone: a former entry takes the global route.
    r = route("near.example");
    EXPECT_EQ(r.ret, PROXY_QVOHTTP);
    EXPECT_EQ(r.server, "<null>");
    EXPECT_EQ(r.port, 0);
    reset_direct();
}

TEST(Proxy, HttpProxyWithoutServerIsRefusedAndChangesNothing) {
    reset_direct();
    EXPECT_EQ(set_proxy(PROXY_HTTP, nullptr, 80), -1);
    EXPECT_EQ(proxyinfo_text(), "(proxyinfo \"NoProxy\")");
    ASSERT_EQ(set_proxy(PROXY_HTTP, "gate.example", 3128), 0);
    EXPECT_EQ(set_proxy(PROXY_HTTP, nullptr, 80), -1);
    EXPECT_EQ(proxyinfo_text(), "(proxyinfo \"HTTPProxy\" \"gate.example\" 3128)");
    // A second type-4 setting replaces server and port.
    ASSERT_EQ(set_proxy(PROXY_HTTP, "other.example", 81), 0);
    EXPECT_EQ(proxyinfo_text(), "(proxyinfo \"HTTPProxy\" \"other.example\" 81)");
    reset_direct();
}

TEST(Proxy, DirectEntryAddedTwiceKeepsOneWithTheLastType) {
    reset_direct();
    ASSERT_EQ(set_direct_access(PROXY_NONE, "twice.example"), 0);
    ASSERT_EQ(set_direct_access(PROXY_NONE, "once.example"), 0);
    ASSERT_EQ(set_direct_access(PROXY_QVOHTTP, "twice.example"), 0);
    EXPECT_EQ(set_direct_access(PROXY_NONE, nullptr), -1);
    ASSERT_EQ(set_proxy(PROXY_HTTP, "gate.example", 8080), 0);
    // The updated entry keeps its place: it is still the oldest.
    EXPECT_EQ(proxyinfo_text(),
              "(proxyinfo \"HTTPProxy\" \"gate.example\" 8080 (server \"QVoHTTP\" "
              "\"twice.example\") (server \"NoProxy\" \"once.example\"))");
    Route r = route("twice.example");
    EXPECT_EQ(r.ret, PROXY_QVOHTTP);
    EXPECT_EQ(r.server, "<null>");
    r = route("once.example");
    EXPECT_EQ(r.ret, PROXY_NONE);
    // Names are compared whole.
    EXPECT_EQ(route("once.exampl").ret, PROXY_HTTP);
    reset_direct();
}

TEST(Proxy, OwnHostIsDirectWhateverTheSetting) {
    reset_direct();
    std::string site8;
    std::string dotted;
    ASSERT_TRUE(run_task([&] {
        site8 = n_string(std_cm, get_qvlisp_site());
        HOST_ADDR ip;
        get_qvlisp_site_ip(&ip);
        if (ip.type == HA_IPV4) {
            char b[20];
            snprintf(b, sizeof b, "%i.%i.%i.%i", ip.d[0], ip.d[1], ip.d[2], ip.d[3]);
            dotted = b;
        }
    }));
    // Even a direct-access entry that says otherwise does not reroute this node itself.
    ASSERT_EQ(set_direct_access(PROXY_QVOHTTP, "localhost"), 0);
    ASSERT_EQ(set_direct_access(PROXY_QVOHTTP, "127.0.0.1"), 0);
    for (int type : {PROXY_QVOHTTP, PROXY_HTTP}) {
        ASSERT_EQ(set_proxy(type, "gate.example", 8080), 0);
        for (const std::string& host :
             {std::string("127.0.0.1"), std::string("localhost"), site8, dotted}) {
            if (host.empty()) continue;
            Route r = route(host.c_str());
            EXPECT_EQ(r.ret, PROXY_NONE) << host;
            EXPECT_EQ(r.type, PROXY_NONE) << host;
            EXPECT_EQ(r.server, "<null>") << host;
            EXPECT_EQ(r.port, 0) << host;
        }
        // Another loopback address takes the tunnel when it is set, never the HTTP proxy: that
        // would bring the agent's own connection back from the proxy's address.
        EXPECT_EQ(route("127.0.0.2").ret, type == PROXY_HTTP ? PROXY_NONE : type);
    }
    reset_direct();
}

TEST(Proxy, RouteServerTextOutlivesLaterSettings) {
    reset_direct();
    ASSERT_EQ(set_proxy(PROXY_HTTP, "first.example", 1), 0);
    PROXY_INFO info;
    ASSERT_EQ(check_proxy(&info, "far.example"), PROXY_HTTP);
    ASSERT_EQ(set_proxy(PROXY_HTTP, "second.example", 2), 0);
    ASSERT_EQ(set_proxy(PROXY_NONE, nullptr, 0), 0);
    // The answer is the caller's own copy: the setting's old text has been freed by now.
    EXPECT_STREQ(info.proxy_server, "first.example");
    EXPECT_EQ(info.proxy_port, 1);
    d_f_ree(info.proxy_server);
}

// Writers switch the setting and the list while readers route and list it; every answer must be
// one of the settings as a whole (server and port together), and nothing may be read after it
// was freed.
TEST(Proxy, ReadersSeeWholeSettingsWhileWritersChangeThem) {
    reset_direct();
    constexpr int WRITERS = 2, READERS = 3, ROUNDS = 300;
    Counter done;
    std::atomic<int> bad{0};
    for (int w = 0; w < WRITERS; w++) {
        create_task(
            [](intptr_t d) {
                auto* c = reinterpret_cast<Counter*>(d);
                for (int i = 0; i < ROUNDS; i++) {
                    switch (i % 3) {
                        case 0:
                            set_proxy(PROXY_HTTP, "alpha.example", 1111);
                            break;
                        case 1:
                            set_direct_access(i % 2 ? PROXY_NONE : PROXY_QVOHTTP, "list.example");
                            set_proxy(PROXY_HTTP, "beta.example", 2222);
                            break;
                        default:
                            set_proxy(PROXY_QVOHTTP, nullptr, 0);
                    }
                }
                c->add();
            },
            &done, 2);
    }
    struct ReaderArg {
        Counter* done;
        std::atomic<int>* bad;
    };
    ReaderArg ra{&done, &bad};
    for (int r = 0; r < READERS; r++) {
        create_task(
            [](intptr_t d) {
                auto* a = reinterpret_cast<ReaderArg*>(d);
                gc_push(nullptr, nullptr, "proxy readers");
                for (int i = 0; i < ROUNDS; i++) {
                    PROXY_INFO info;
                    int t = check_proxy(&info, "far.example");
                    bool ok = (t == PROXY_QVOHTTP && !info.proxy_server && info.proxy_port == 0) ||
                              (t == PROXY_HTTP && info.proxy_server &&
                               ((strcmp(info.proxy_server, "alpha.example") == 0 &&
                                 info.proxy_port == 1111) ||
                                (strcmp(info.proxy_server, "beta.example") == 0 &&
                                 info.proxy_port == 2222))) ||
                              (t == PROXY_NONE && !info.proxy_server);
                    if (!ok) a->bad->fetch_add(1);
                    d_f_ree(info.proxy_server);
                    std::string text = print_sexp_text(get_proxyinfo(), 0);
                    if (text.rfind("(proxyinfo \"", 0) != 0) a->bad->fetch_add(1);
                    t = check_proxy(&info, "list.example");
                    if (t != PROXY_NONE && t != PROXY_QVOHTTP && t != PROXY_HTTP)
                        a->bad->fetch_add(1);
                    d_f_ree(info.proxy_server);
                }
                gc_pop(nullptr, nullptr);
                a->done->add();
            },
            &ra, 2);
    }
    ASSERT_TRUE(done.wait_for(WRITERS + READERS, 60000));
    EXPECT_EQ(bad.load(), 0);
    reset_direct();
}

}  // namespace
