// Sessions over "http": a small web server of the test on loopback answers each request from a
// table of canned replies and keeps the requests it saw. XML replies come back as trees, other
// types as raw bytes, a status other than 200 as the error value, and a command list sends its
// requests in order with the head attributes as header lines.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/url.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/printer.h"
#include "longchar/longchar.h"
#include "server/http_session.h"
#include "server/runtime.h"
#include "server_util.h"
#include "stream/sprintf.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"

namespace {

// Serves `count` connections, one request each: the reply is the one of the request's path.
struct WebServer {
    int fd = -1;
    int port = 0;
    std::map<std::string, std::string> replies;
    std::vector<std::string> requests;
    std::mutex m;
    std::thread t;

    explicit WebServer(std::map<std::string, std::string> r, int count) : replies(std::move(r)) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd, reinterpret_cast<sockaddr*>(&a), len);
        listen(fd, 8);
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        t = std::thread([this, count] {
            for (int i = 0; i < count; i++) {
                int c = accept(fd, nullptr, nullptr);
                if (c < 0) return;
                std::string req;
                read_fd_until(c, &req, "\r\n\r\n", 5000);
                size_t cl = req.find("Content-Length: ");
                if (cl != std::string::npos) {
                    size_t want = req.find("\r\n\r\n") + 4 + std::stoul(req.substr(cl + 16));
                    timeval tv = {5, 0};
                    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
                    char buf[4096];
                    ssize_t k;
                    while (req.size() < want && (k = recv(c, buf, sizeof buf, 0)) > 0)
                        req.append(buf, static_cast<size_t>(k));
                }
                std::string path = req.substr(req.find(' ') + 1);
                path = path.substr(0, path.find(' '));
                // A target that is the whole URL: its path.
                if (path.rfind("http://", 0) == 0) path = path.substr(path.find('/', 7));
                std::string out = replies.count(path) ? replies[path] : replies["*"];
                {
                    std::lock_guard<std::mutex> g(m);
                    requests.push_back(req);
                }
                (void)!write(c, out.data(), out.size());
                close(c);
            }
        });
    }
    ~WebServer() {
        shutdown(fd, SHUT_RDWR);
        close(fd);
        t.join();
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
};

// The commands (QV text, a list of commands) sent to url through a new session; the realised
// value is handed to check on the task.
// prep, when given, may change the parsed commands first.
void run(const std::string& url, const char* cmds, const std::function<void(QV_SEXP*)>& check,
         const std::function<void(QV_SEXP*)>& prep = nullptr) {
    ASSERT_TRUE(run_task([&] {
        // The task's values are rooted in a frame of its own, as an interpreter's are: another
        // thread's allocation may start a collection at any point of the session.
        gc_push(nullptr, nullptr, "http session test");
        int id = open_session(1);
        URL u;
        get_url2(&u, _l_string_1(std_cm, url.c_str()));
        QV_SEXP* c = read_qv_items(cmds);
        if (prep) prep(c);
        QV_SEXP* v = remote_session(vxlisp_top_env1, id, &u, nullptr, nullptr, nullptr, c, nullptr,
                                    0, 1, nullptr);
        free_url(&u);
        v = realize_sexp(v);
        realize_whole(v);
        check(v);
        close_session(id);
        gc_pop(nullptr, nullptr);
    }));
}

const char kXml[] =
    "HTTP/1.0 200 OK\r\nContent-Type: text/xml; charset=UTF-8\r\n\r\n"
    "<list n=\"2\"><item>alpha</item><item>beta</item></list>";

}  // namespace

TEST(HttpSession, OpenCloseAndOutputKeepNoState) {
    EXPECT_EQ(open_session_http(0), 1);
    close_session_http(1);
    // Output towards a connection writes nothing on it and leaves it open.
    STREAM* con = s_open_string_write(std_cm, __FILE__, __LINE__);
    ASSERT_NE(con, nullptr);
    output_session_http(con, "127.0.0.1", 80);
    s_printf(con, "%s", "after");
    s_flush(con);
    EXPECT_STREQ(s_get_string(con), "after");
    s_close(con);
}

TEST(HttpSession, XmlTreeRawBytesAndErrorStatus) {
    std::string png("\x89PNG\r\n\x1a\n\0\0\xff", 11);
    WebServer w({{"/t.xml", kXml},
                 {"/p.png",
                  "HTTP/1.0 200 OK\r\nContent-Type: image/png\r\nContent-Length: 11\r\n\r\n" + png},
                 {"*", "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n<p>no</p>"}},
                3);
    run(w.url("/t.xml"), "(GET)", [](QV_SEXP* v) {
        EXPECT_EQ(print_sexp_text(v, 0),
                  "(text/xml (([list n=\"2\"] (item \"alpha\") (item \"beta\"))))");
        QV_SEXP* list_el = get_el(get_el(v, 1), 0);
        EXPECT_EQ(print_sexp_text(get_el(list_el, 2), 0), "(item \"beta\")");
    });
    run(w.url("/p.png"), "(GET)", [&png](QV_SEXP* v) {
        EXPECT_EQ(print_sexp_text(get_el(v, 0), 0), "^image/png");
        QV_SEXP* raw = get_el(v, 1);
        ASSERT_EQ(get_type(raw), QVT_RAW);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(raw->raw.data), raw->raw.size), png);
    });
    run(w.url("/gone"), "(GET)", [](QV_SEXP* v) {
        ASSERT_EQ(get_type(v), QVT_ERROR);
        EXPECT_EQ(v->error.code, QVE_SESSION_CONNECT);
        EXPECT_EQ(print_sexp_text(v->error.data, 0), "(\"http error\" 404)");
    });
    std::lock_guard<std::mutex> g(w.m);
    ASSERT_EQ(w.requests.size(), 3u);
    // GET alone: the URL is the target, no body.
    EXPECT_EQ(w.requests[0], "GET " + w.url("/t.xml") +
                                 " HTTP/1.0\r\nConnection: close\r\nHost: 127.0.0.1:" +
                                 std::to_string(w.port) + "\r\n\r\n");
}

TEST(HttpSession, CommandsGoInOrderWithHeadersAndBodies) {
    WebServer w(
        {{"/a", "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1\r\n\r\n1"},
         {"/b", "HTTP/1.0 500 Oops\r\n\r\n"},
         {"*", kXml}},
        3);
    // The replies of the first two are waited for and dropped (the failing one too); the third's
    // is the value. "*Name" attributes become header lines; a body is sent with its length.
    run(
        w.url("/"), "(post \"/a\" (x 1)) (GET \"/b\") (Put \"/c\")",
        [](QV_SEXP* v) { EXPECT_EQ(print_sexp_text(get_el(v, 0), 0), "^text/xml"); },
        [](QV_SEXP* c) {
            QV_SEXP* put = get_el(get_el(c, 2), 0);
            set_attribute(put, l_string(std_cm, "*X-Token"), l_string(std_cm, "k1"));
            set_attribute(put, l_string(std_cm, "*Accept"), l_string(std_cm, "text/xml"));
        });
    std::lock_guard<std::mutex> g(w.m);
    ASSERT_EQ(w.requests.size(), 3u);
    EXPECT_EQ(w.requests[0].substr(0, 20), "POST /a HTTP/1.0\r\nCo");
    EXPECT_NE(w.requests[0].find("Content-Length: 6\r\n"), std::string::npos);
    EXPECT_EQ(w.requests[0].substr(w.requests[0].size() - 6), "(x 1)\n");
    EXPECT_EQ(w.requests[1].substr(0, 18), "GET /b HTTP/1.0\r\nC");
    EXPECT_EQ(w.requests[2].substr(0, 17), "PUT /c HTTP/1.0\r\n");
    EXPECT_NE(w.requests[2].find("\r\nX-Token: k1\r\n"), std::string::npos);
    EXPECT_NE(w.requests[2].find("\r\nAccept: text/xml\r\n"), std::string::npos);
}

TEST(HttpSession, BadCommandsAndBrokenRepliesAreErrors) {
    // A declared length far beyond what arrives: no allocation of that size, an error.
    WebServer w(
        {{"*",
          "HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\nContent-Length: 2000000000\r\n\r\nGIF"}},
        2);
    run(w.url("/x"), "(1 2)", [](QV_SEXP* v) {
        ASSERT_EQ(get_type(v), QVT_ERROR);
        EXPECT_EQ(v->error.code, QVE_SESSION_METHOD);
    });
    run(w.url("/x"), "(GET)", [](QV_SEXP* v) {
        ASSERT_EQ(get_type(v), QVT_ERROR);
        EXPECT_EQ(print_sexp_text(v->error.data, 0), "^\"http connection error\"");
    });
    // A server that does not listen.
    int dead = free_port();
    run("http://127.0.0.1:" + std::to_string(dead) + "/", "(GET)", [](QV_SEXP* v) {
        ASSERT_EQ(get_type(v), QVT_ERROR);
        EXPECT_EQ(v->error.code, QVE_SESSION_PREFIX);
    });
    // An empty list is nil.
    run(w.url("/x"), "", [](QV_SEXP* v) { EXPECT_EQ(get_type(v), QVT_NIL); });
    // Release the server's remaining accept.
    close(connect_loopback(w.port));
}

// "encode" names the request's code method: an "Encoding:" line and the body in that code (an
// unknown name: neither); an HTML reply is parsed as HTML; return_format 2 gives the parsed
// sequence without its content-type symbol.
TEST(HttpSession, EncodeNamesTheRequestCodeAndReturnFormatTwoDropsTheTypeSymbol) {
    WebServer w(
        {{"/h", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<p>hi</p>"}, {"*", kXml}}, 3);
    auto encode = [](const char* name) {
        return [name](QV_SEXP* c) {
            set_attribute(get_el(get_el(c, 0), 0), l_string(std_cm, "encode"),
                          l_string(std_cm, name));
        };
    };
    run(
        w.url("/"), "(post \"/h\" \"x\")",
        [](QV_SEXP* v) { EXPECT_EQ(print_sexp_text(v, 0), "(text/html ((P \"hi\")))"); },
        encode("UTF-8"));
    ASSERT_TRUE(run_task([&] {
        gc_push(nullptr, nullptr, "http session test");
        int id = open_session(1);
        URL u;
        get_url2(&u, _l_string_1(std_cm, w.url("/x").c_str()));
        REMOTE_SESSION_OPT opt = {-1, 2};
        QV_SEXP* v = remote_session(vxlisp_top_env1, id, &u, nullptr, nullptr, nullptr,
                                    read_qv_items("(GET)"), nullptr, 0, 1, &opt);
        free_url(&u);
        v = realize_sexp(v);
        realize_whole(v);
        EXPECT_EQ(print_sexp_text(v, 0), "(([list n=\"2\"] (item \"alpha\") (item \"beta\")))");
        close_session(id);
        gc_pop(nullptr, nullptr);
    }));
    run(
        w.url("/"), "(get \"/u\" \"y\")",
        [](QV_SEXP* v) { EXPECT_EQ(print_sexp_text(get_el(v, 0), 0), "^text/xml"); },
        encode("no-such-code"));
    std::lock_guard<std::mutex> g(w.m);
    ASSERT_EQ(w.requests.size(), 3u);
    EXPECT_NE(w.requests[0].find("\r\nEncoding: UTF-8\r\n"), std::string::npos) << w.requests[0];
    EXPECT_EQ(w.requests[0].substr(w.requests[0].size() - 4), "\"x\"\n");
    EXPECT_EQ(w.requests[2].find("Encoding:"), std::string::npos) << w.requests[2];
    EXPECT_EQ(w.requests[2].substr(w.requests[2].size() - 4), "\"y\"\n");
}
