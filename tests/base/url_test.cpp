// URL records: parse, print, path form, compare, complete and compose.
#include "base/url.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "base/netdb.h"
#include "base/task.h"
#include "support/lstr.h"

namespace {

// ASCII text as long characters; the characters of URLs are their own byte values.
struct LS {
    std::vector<L_CHAR> v;
    explicit LS(const char* s) : v(lchars(s)) {}
    const L_CHAR* p() const { return v.data(); }
};

std::string S(const L_CHAR* s) {
    return lstr_text(s);
}
std::string take(L_CHAR* s) {
    return take_lstr(s);
}

struct Parsed {
    int rc;
    std::string proto, server, agent, db, resource, query, name, printed;
    int port;
};

Parsed parse(const char* text) {
    URL u;
    LS t(text);
    Parsed r;
    r.rc = get_url2(&u, t.p());
    r.proto = S(u.proto);
    r.server = S(u.server);
    r.port = u.port;
    r.agent = S(u.agent);
    r.db = S(u.db);
    r.resource = S(u.resource);
    r.query = S(u.query);
    r.name = S(u.name);
    r.printed = S(get_url_str2(&u));
    free_url(&u);
    return r;
}

int64_t site_bytes(const char* file, int line) {
    for (MEM_LIST* m = get_mem_debug_list(nullptr); m; m = get_mem_debug_list(m))
        if (m->line == line && strcmp(m->file, file) == 0) return m->size;
    return 0;
}

void flush_temp_ring() {
    for (int i = 0; i < TEMP_RING_SIZE; i++)
        set_buffer(d_alloc(1));
}

}  // namespace

TEST(Url, ParsesAndPrintsTheWrittenForm) {
    Parsed p = parse("http://host/a/b/c.txt");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.proto, "http");
    EXPECT_EQ(p.server, "host");
    EXPECT_EQ(p.port, 80);
    EXPECT_EQ(p.db, "/a/b/");
    EXPECT_EQ(p.resource, "c.txt");
    EXPECT_EQ(p.printed, "http://host/a/b/c.txt");

    p = parse("http://host:8080");
    EXPECT_EQ(p.port, 8080);
    EXPECT_EQ(p.db, "/");
    EXPECT_EQ(p.resource, "<null>");
    EXPECT_EQ(p.printed, "http://host:8080/");

    EXPECT_EQ(parse("http://host:/x").port, 80);
    EXPECT_EQ(parse("http://host:0/x").port, 80);

    p = parse("qvp://host/@ag/d/r");
    EXPECT_EQ(p.agent, "ag");
    EXPECT_EQ(p.db, "/d/");
    EXPECT_EQ(p.resource, "r");
    EXPECT_EQ(p.port, 0);
    EXPECT_EQ(p.printed, "qvp://host/@ag/d/r");
    p = parse("qvp://host/@ag/");
    EXPECT_EQ(p.agent, "ag");
    EXPECT_EQ(p.db, "/");
    EXPECT_EQ(p.printed, "qvp://host/@ag/");
    p = parse("qvp://host/@ag");
    EXPECT_EQ(p.agent, "<null>");
    EXPECT_EQ(p.db, "/");
    EXPECT_EQ(p.resource, "@ag");

    p = parse("ftp://host/x");
    EXPECT_EQ(p.port, 0);
    EXPECT_EQ(p.printed, "ftp://host:0/x");
    EXPECT_EQ(parse("qvp://h:9090/x").printed, "qvp://h:9090/x");
    EXPECT_EQ(parse("http://h:80/x").printed, "http://h/x");
}

TEST(Url, QueryAndNameTakeTheRestAfterWhicheverComesFirst) {
    Parsed p = parse("a?b#c");
    EXPECT_EQ(p.query, "b#c");
    EXPECT_EQ(p.name, "<null>");
    EXPECT_EQ(p.resource, "a");
    p = parse("a#b?c");
    EXPECT_EQ(p.name, "b?c");
    EXPECT_EQ(p.query, "<null>");
    p = parse("http://h/d/r?q=1#x");
    EXPECT_EQ(p.printed, "http://h/d/r?q=1#x");
    EXPECT_EQ(p.query, "q=1#x");
    // A '?' before "://" leaves no server at all.
    p = parse("x?http://h/");
    EXPECT_EQ(p.proto, "<null>");
    EXPECT_EQ(p.query, "http://h/");
}

TEST(Url, MalformedAndPartialTexts) {
    Parsed p = parse("http://");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.proto, "<null>");
    EXPECT_EQ(p.server, "<null>");
    EXPECT_EQ(p.port, 0);
    EXPECT_EQ(p.db, "http://");
    EXPECT_EQ(p.resource, "<null>");

    p = parse("http://:80/x");
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.proto, "http");
    EXPECT_EQ(p.server, "<null>");

    p = parse("http://h:12x/");
    EXPECT_EQ(p.rc, -2);
    EXPECT_EQ(p.server, "h");
    EXPECT_EQ(p.port, 12);

    // A port that does not fit in 16 bits is refused rather than overflowing.
    p = parse("http://h:99999999999999999999/x");
    EXPECT_EQ(p.rc, -2);
    EXPECT_EQ(p.server, "h");

    p = parse("abc");
    EXPECT_EQ(p.resource, "abc");
    EXPECT_EQ(p.db, "<null>");
    EXPECT_EQ(p.printed, "<null>");

    p = parse("http:///x");
    EXPECT_EQ(p.server, "<null>");
    EXPECT_EQ(p.db, "/");
    EXPECT_EQ(p.resource, "x");
    EXPECT_EQ(p.printed, "http:///x");
}

TEST(Url, PathFormWritesOneSlashForAMissingDb) {
    URL u;
    LS t("http://h/a/b?q#n");
    ASSERT_EQ(get_url2(&u, t.p()), 0);
    EXPECT_EQ(take(get_url_filepath(&u)), "/a/b?q#n");
    free_url(&u);
    LS t2("abc");
    get_url2(&u, t2.p());
    EXPECT_EQ(take(get_url_filepath(&u)), "/abc");
    free_url(&u);
    LS t3("d/r");
    get_url2(&u, t3.p());
    EXPECT_EQ(take(get_url_filepath(&u)), "/d/r");
    free_url(&u);
}

TEST(Url, CopyAndFreeReleaseEveryString) {
    flush_temp_ring();
    LS t("qvp://h:1/@ag/d/r?q");
    LS t2("http://h/d/#nm");
    URL u, c;
    int line = __LINE__ + 1;
    get_url2(&u, t.p());
    EXPECT_GT(site_bytes(__FILE__, line), 0);
    copy_url(&c, &u);
    EXPECT_EQ(S(get_url_str2(&c)), "qvp://h:1/@ag/d/r?q");
    free_url(&u);
    // agent and query stay readable for a while after the release.
    EXPECT_EQ(S(u.agent), "ag");
    EXPECT_EQ(S(u.query), "q");
    free_url(&c);
    int line2 = __LINE__ + 1;
    get_url2(&u, t2.p());
    free_url(&u);
    flush_temp_ring();
    EXPECT_EQ(site_bytes(__FILE__, line), 0);
    EXPECT_EQ(site_bytes(__FILE__, line2), 0);

    zero_url(&u);
    EXPECT_EQ(u.proto, nullptr);
    EXPECT_EQ(u.port, 0);
}

TEST(Url, CompareIgnoresQueryAndComparesServersAsHostsOrText) {
    auto cmp = [](const char* a, const char* b, bool as_text) {
        URL x, y;
        LS ta(a), tb(b);
        get_url2(&x, ta.p());
        get_url2(&y, tb.p());
        int r = as_text ? url_cmp_str(&x, &y) : url_cmp(&x, &y);
        free_url(&x);
        free_url(&y);
        return r;
    };
    EXPECT_EQ(cmp("http://h/a/b?x", "http://h/a/b?y", false), 0);
    EXPECT_EQ(cmp("http://h/a/b#x", "http://h/a/b", true), 0);
    EXPECT_EQ(cmp("http://h/a/b", "http://h/a/c", true), -1);
    EXPECT_EQ(cmp("http://h:81/a", "http://h/a", true), -1);
    EXPECT_EQ(cmp("qvp://h/@x/a", "qvp://h/@y/a", true), 0);
    // Servers as hosts: a name and its address are the same host (both known to the machine).
    EXPECT_EQ(cmp("http://localhost/a", "http://127.0.0.1/a", false), 0);
    EXPECT_EQ(cmp("http://localhost/a", "http://127.0.0.1/a", true), -1);
}

TEST(Url, ComposesReferencesAndPaths) {
    auto path = [](const char* a, const char* b) {
        LS x(a), y(b);
        return take(compose_path(x.p(), y.p()));
    };
    EXPECT_EQ(path("/a/b/", "../d"), "/a/d");
    EXPECT_EQ(path("/a/", "../../d"), "<null>");
    EXPECT_EQ(path("/a/b/c", "d"), "/a/b/d");
    EXPECT_EQ(path("x", "d"), "d");
    EXPECT_EQ(path("/a/b/", "./d"), "<null>");
    EXPECT_EQ(path("/a/b/", "/z"), "/z");
    EXPECT_EQ(path("a/", "../d"), "d");
    EXPECT_EQ(take(compose_path(nullptr, LS("d").p())), "<null>");

    auto url = [](const char* a, const char* b) {
        LS x(a), y(b);
        return take(compose_url(x.p(), y.p()));
    };
    EXPECT_EQ(url("http://h/a/b", "c?q"), "http://h/a/c?q");
    EXPECT_EQ(url("http://h/a/b/", "../c#n"), "http://h/a/c#n");
    // The reference's agent replaces the base's; the base's is not carried over.
    EXPECT_EQ(url("qvp://h/@ag/a/b", "/@x/c"), "qvp://h/@x/c");
    EXPECT_EQ(url("qvp://h/@ag/a/b", "c"), "qvp://h/a/c");
    EXPECT_EQ(url("http://h/a/", "http://k:8/z"), "http://k:8/z");
    EXPECT_EQ(url("relative/base", "c"), "<null>");
    // The reference's scheme gives port 0 for "qvp", so it names no complete place.
    EXPECT_EQ(url("http://h/a/", "qvp://x/y"), "<null>");
    EXPECT_EQ(url("http://h/a/", "../../c"), "<null>");
    // A URL that does not parse resolves nothing, never what was read before its fault.
    EXPECT_EQ(url("http://h:99999/a/b", "c"), "<null>");
    EXPECT_EQ(url("http://h/a/b", "http://k:8x/z"), "<null>");
}

TEST(Url, OlderParserSplitsSegments) {
    URL u = {};
    EXPECT_EQ(get_url(&u, LS("qvp://host:77/a/b/c").p()), 0);
    EXPECT_EQ(S(u.proto), "qvp");
    EXPECT_EQ(S(u.server), "host");
    EXPECT_EQ(u.port, 77);
    EXPECT_EQ(S(u.db), "a/b");
    EXPECT_EQ(S(u.resource), "c");
    free_url(&u);
    u = {};
    EXPECT_EQ(get_url(&u, LS("qvp://host/r").p()), 0);
    EXPECT_EQ(u.port, 9090);
    EXPECT_EQ(u.db, nullptr);
    free_url(&u);
    u = {};
    EXPECT_EQ(get_url(&u, LS("plain").p()), 0);
    EXPECT_EQ(S(u.resource), "plain");
    free_url(&u);
    for (const char* bad : {"", "qvp://host", "qvp:/x/y", "qvp:///x", "/a//b", "/a/", "h:1x/"}) {
        u = {};
        EXPECT_EQ(get_url(&u, LS(bad).p()), -1) << bad;
        free_url(&u);
    }
}

TEST(Url, RegulationCompletesPartialHostNames) {
    char conf[] = "/tmp/vx_resolv_XXXXXX";
    int fd = mkstemp(conf);
    ASSERT_GE(fd, 0);
    const char text[] = "nameserver 127.0.0.1\ndomain lab.example.com\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(fd);
    set_resolv_conf_path(conf);
    auto reg = [](const char* t) { return take(url_regulation(LS(t).p())); };
    EXPECT_EQ(reg("http://host/x"), "http://host.lab.example.com/x");
    EXPECT_EQ(reg("http://host.lab/x?q"), "http://host.lab.example.com/x?q");
    EXPECT_EQ(reg("http://host.la/x"), "http://host.la/x");
    EXPECT_EQ(reg("qvp://a.b.c:5/x"), "qvp://a.b.c:5/x");
    EXPECT_EQ(reg("no/server"), "no/server");
    set_resolv_conf_path("/nonexistent/resolv.conf");
    EXPECT_EQ(reg("http://host/x"), "http://host/x");
    set_resolv_conf_path(nullptr);
    unlink(conf);
}
