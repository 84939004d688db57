// The HTTP agent on a listener of this process, spoken to by raw HTTP clients on loopback: the
// exact error pages, paths that never reach an agent, local agents by content type, forwarding,
// remote agents through the remote-evaluation seam, and malformed request heads.
#include "server/http_agent.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/alloc.h"
#include "lisp/eval.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/printer.h"
#include "server/connect.h"
#include "server/docpath.h"
#include "server_util.h"
#include "stream/file_stream.h"
#include "stream/streamio.h"

namespace {

int get_iid_for_test(HTTP_AGENT_LIST* a) {
    TaskLockGuard g(ha_lock);
    return a->iid;
}

// Sends a request on a new connection and returns everything the agent answers until it closes.
std::string http(int port, const std::string& request) {
    int fd = connect_loopback(port);
    if (fd < 0) return "<no connection>";
    std::string got;
    if (write(fd, request.data(), request.size()) == (ssize_t)request.size())
        got = read_fd_to_end(fd, 10000);
    close(fd);
    return got;
}

const char kHead200[] =
    "HTTP/1.1 200 OK\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: TORVANELL VELTARONIX "
    "SERVER\r\nConnection: close\r\n";

// Registers a local agent at path whose environment (a child of the privileged top environment)
// has the definitions of the QV text qv.
void local_agent(const char* path, const char* qv) {
    ASSERT_TRUE(run_task([&] {
        QV_INTERPRETER* qvi = new_qv_interpreter();
        qvi->a_type = QVA_INTERNAL;
        ASSERT_GT(setup_i(qvi), 0);
        gc_push(nullptr, nullptr, "local_agent");
        QVISP_ENV* env = new_env(vxlisp_top_env1);
        for (QV_SEXP* f = sexp_commands(std_cm, qv, nullptr); get_type(f) == QVT_PAIR;
             f = f->pair.cdr)
            eval(env, f->pair.car);
        insert_http_agent_list(path, HA_QV, env, nullptr, nullptr, nullptr, 0);
        gc_pop(nullptr, nullptr);
        close_self_interpreter();
    }));
}

struct AgentTest : ::testing::Test {
    Listener l{true};
    void SetUp() override {
        ASSERT_GT(l.id, 0);
        clear_http_agent_list();
        pause_http_agent_tick(true);
        set_http_agent_remote(nullptr, nullptr);
    }
    void TearDown() override {
        // Back to remote evaluation, as the runtime wires it.
        set_http_agent_remote(remote_query, open_agent_connection);
        clear_http_agent_list();
        pause_http_agent_tick(false);
        run_task([&] { close_interpreter((uint32_t)l.id); });
    }
};

TEST_F(AgentTest, UnknownPathsGetTheNotFoundPageAndBadPathsReachNoAgent) {
    EXPECT_EQ(http(l.port, "GET /no/such/page?x=1 HTTP/1.0\r\n\r\n"),
              agent_error_reply("404 Not Found", "/no/such/page?x=1"));
    // A POST of another content type gets the same page, as text/html.
    EXPECT_EQ(
        http(l.port,
             "POST /form HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nabc"),
        agent_error_reply("404 Not Found", "/form"));
    // The path is written into the page HTML-escaped.
    EXPECT_EQ(http(l.port, "GET /a<script>&\"' HTTP/1.0\r\n\r\n"),
              agent_error_reply("404 Not Found", "/a&lt;script&gt;&amp;&quot;&#39;"));
    // A forwarding agent never sees a path that climbs or hides a piece.
    local_agent("/secret", "^(define (GET) (quote (text/html \"secret\")))");
    insert_http_agent_list("/fwd/", HA_FORWARD, nullptr, l_string(std_cm, "http://127.0.0.1:1/"),
                           nullptr, nullptr, 0);
    for (const char* bad :
         {"/fwd/../secret", "/fwd/./x", "/fwd//x", "/fwd/%2e%2e/secret", "/fwd/a\\b", "relative"}) {
        std::string req = std::string("GET ") + bad + " HTTP/1.0\r\n\r\n";
        std::string got = http(l.port, req);
        EXPECT_EQ(got.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << bad << ": " << got;
    }
}

TEST_F(AgentTest, LocalAgentsAnswerTheirPathsByContentType) {
    local_agent("/hello",
                "^(define (GET) (quote (text/html \"hello <b>world</b>\")))"
                "^(define (POST body) (quote (text/html \"posted\")))");
    local_agent("/err", "^(define (GET) (car 5))");
    local_agent("/num", "^(define (GET) 42)");
    local_agent("/plain", "^(define (GET) (quote (text/plain \"x\")))");
    local_agent("/private",
                "^(define (GET) (quote ([text/html Cache-Control=\"private\"] \"p\")))");

    std::string hello = std::string(kHead200) + "Content-Type: text/html\r\n\r\nhello <b>world</b>";
    EXPECT_EQ(http(l.port, "GET /hello HTTP/1.0\r\n\r\n"), hello);
    EXPECT_EQ(http(l.port, "GET /hello?lang=en HTTP/1.0\r\n\r\n"), hello);
    EXPECT_EQ(http(l.port, "GET /hellox HTTP/1.0\r\n\r\n"),
              agent_error_reply("404 Not Found", "/hellox"));
    EXPECT_EQ(http(l.port, "POST /hello HTTP/1.0\r\nContent-Length: 4\r\n\r\nbody"),
              std::string(kHead200) + "Content-Type: text/html\r\n\r\nposted");
    // An error value: 503 with the error printed as the page's code.
    std::string err = http(l.port, "GET /err HTTP/1.0\r\n\r\n");
    EXPECT_EQ(err.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << err;
    EXPECT_NE(err.find("Message: /err<BR>\n\rQV Code:"), std::string::npos) << err;
    EXPECT_NE(err.find("0x80030806"), std::string::npos) << err;
    EXPECT_EQ(http(l.port, "GET /num HTTP/1.0\r\n\r\n"),
              agent_error_reply("500 Internal Server Error", "/num", "42"));
    EXPECT_EQ(
        http(l.port, "GET /plain HTTP/1.0\r\n\r\n"),
        agent_error_reply("500 Internal Server Error", "unsupported content type", "^text/plain"));
    EXPECT_EQ(http(l.port, "GET /private HTTP/1.0\r\n\r\n"),
              std::string(kHead200) +
                  "Content-Type: text/html\r\nExpires: -1\r\nCache-Control: no-cache\r\n"
                  "Pragma: no-cache\r\n\r\np");
}

// A web server on loopback answering one request with a fixed reply; it keeps the request head.
struct OneShotServer {
    int lfd = -1;
    int port = 0;
    std::string head;
    std::thread t;
    OneShotServer() {
        lfd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (bind(lfd, (sockaddr*)&a, sizeof a) != 0 || listen(lfd, 4) != 0) return;
        getsockname(lfd, (sockaddr*)&a, &n);
        port = ntohs(a.sin_port);
        t = std::thread([this] {
            int fd = accept(lfd, nullptr, nullptr);
            if (fd < 0) return;
            read_fd_until(fd, &head, "\r\n\r\n");
            std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nforwarded";
            ssize_t w = write(fd, reply.data(), reply.size());
            (void)w;
            close(fd);
        });
    }
    ~OneShotServer() {
        shutdown(lfd, SHUT_RDWR);
        if (t.joinable()) t.join();
        close(lfd);
    }
};

TEST_F(AgentTest, ForwardingRelaysGetsAndRefusesOtherMethods) {
    OneShotServer target;
    ASSERT_GT(target.port, 0);
    std::string url = "http://127.0.0.1:" + std::to_string(target.port) + "/base/";
    insert_http_agent_list("/fwd/", HA_FORWARD, nullptr, l_string(std_cm, url.c_str()), nullptr,
                           nullptr, 0);
    EXPECT_EQ(http(l.port, "GET /fwd/a/b.txt HTTP/1.0\r\n\r\n"),
              "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nforwarded");
    EXPECT_EQ(target.head, "GET " + url + "a/b.txt HTTP/1.0\r\nHost: 127.0.0.1:" +
                               std::to_string(target.port) + "\r\n\r\n");
    std::string head503 =
        "HTTP/1.1 503 Service Unavailable\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: "
        "TORVANELL VELTARONIX SERVER\r\nConnection: close\r\nContent-Type: text/html\r\n\r\n";
    EXPECT_EQ(http(l.port, "POST /fwd/a HTTP/1.0\r\nContent-Length: 0\r\n\r\n"), head503);
    // A target nobody listens on.
    insert_http_agent_list(
        "/gone/", HA_FORWARD, nullptr,
        l_string(std_cm, ("http://127.0.0.1:" + std::to_string(free_port()) + "/").c_str()),
        nullptr, nullptr, 0);
    EXPECT_EQ(http(l.port, "GET /gone/x HTTP/1.0\r\n\r\n"), head503);
    // An alias whose path is shorter than its root's: the root's address, nothing read past the
    // request's path.
    HTTP_AGENT_LIST* root = insert_http_agent_list(
        "/a-rather-long-forwarding-root/", HA_FORWARD, nullptr,
        l_string(std_cm, ("http://127.0.0.1:" + std::to_string(free_port()) + "/").c_str()),
        nullptr, nullptr, 0);
    insert_http_agent_list("/x", HA_FORWARD, nullptr, nullptr, root, nullptr, 0);
    EXPECT_EQ(http(l.port, "GET /x HTTP/1.0\r\n\r\n"), head503);
}

// A stand-in for remote evaluation: connections are numbered, the first connection's interpreter
// "goes away" before the first request, and every query is recorded as printed.
std::mutex remote_m;
std::vector<std::string> remote_log;
int remote_connects = 0;

int fake_connect(const char* server, int port, QVISP_ENV*) {
    std::lock_guard<std::mutex> g(remote_m);
    remote_log.push_back("connect " + std::string(server) + ":" + std::to_string(port));
    return 100 + ++remote_connects;
}

QV_SEXP* fake_query(int id, QVISP_ENV*, const L_CHAR*, QV_SEXP* cmd) {
    std::string text = print_sexp_text(cmd, 0);
    {
        std::lock_guard<std::mutex> g(remote_m);
        remote_log.push_back(std::to_string(id) + " " + text);
    }
    if (text.rfind("(HTTP", 0) != 0) return n_get_integer(1, nullptr);
    if (id == 101 || text.find("\"/gone\"") != std::string::npos)
        return eval_error(cmd, QVE_INVALID_IID, "Remote", nullptr);
    return car(sexp_commands(std_cm, "(text/html \"from remote\")", nullptr));
}

TEST_F(AgentTest, RemoteAgentsAreInitialisedAndResentThroughRemoteEvaluation) {
    ASSERT_TRUE(run_task([] {
        gc_push(nullptr, nullptr, "remote agent");
        QV_SEXP* init = sexp_commands(std_cm, "(define ready 1)", nullptr);
        insert_http_agent_list("/r", HA_QV, vxlisp_top_env1,
                               l_string(std_cm, "http://127.0.0.1:9999/@agentx/"), nullptr, init,
                               0);
        gc_pop(nullptr, nullptr);
    }));
    // Without remote evaluation the agent cannot be reached.
    std::string got = http(l.port, "GET /r HTTP/1.0\r\n\r\n");
    EXPECT_EQ(got.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << got;

    {
        std::lock_guard<std::mutex> g(remote_m);
        remote_log.clear();
        remote_connects = 0;
    }
    set_http_agent_remote(fake_query, fake_connect);
    EXPECT_EQ(http(l.port, "GET /r?q HTTP/1.0\r\n\r\n"),
              std::string(kHead200) + "Content-Type: text/html\r\n\r\nfrom remote");
    std::unique_lock<std::mutex> g(remote_m);
    std::vector<std::string> init = {"connect 127.0.0.1:9999", "SetAgent \"agentx\" \"user\")",
                                     "Define HttpAgent_path \"/r\")", "define ready 1)"};
    // Initialised, sent, told the interpreter is gone, initialised again and sent again.
    ASSERT_EQ(remote_log.size(), 10u);
    for (int round = 0; round < 2; round++) {
        EXPECT_EQ(remote_log[round * 5], init[0]);
        for (int i = 1; i < 4; i++)
            EXPECT_NE(remote_log[round * 5 + i].find(init[i]), std::string::npos)
                << remote_log[round * 5 + i];
        EXPECT_EQ(remote_log[round * 5 + 4].rfind(std::to_string(101 + round) + " (HTTP", 0), 0u)
            << remote_log[round * 5 + 4];
        EXPECT_NE(remote_log[round * 5 + 4].find("dir=\"/r?q\""), std::string::npos)
            << remote_log[round * 5 + 4];
    }
    g.unlock();

    // A connection found gone on every send: the re-sends run out, the 503 page carries the
    // error, and the agent is left marked uninitialised for the next request or tick.
    HTTP_AGENT_LIST* gone = nullptr;
    ASSERT_TRUE(run_task([&] {
        gone = insert_http_agent_list("/gone", HA_QV, vxlisp_top_env1,
                                      l_string(std_cm, "http://127.0.0.1:9999/@agentx/"), nullptr,
                                      nullptr, 0);
    }));
    got = http(l.port, "GET /gone HTTP/1.0\r\n\r\n");
    EXPECT_EQ(got.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << got;
    EXPECT_EQ(get_iid_for_test(gone), -1);
}

int keeper_connect(const char* server, int port, QVISP_ENV*) {
    std::lock_guard<std::mutex> g(remote_m);
    remote_log.push_back("connect " + std::string(server) + ":" + std::to_string(port));
    return keeper_id();
}

TEST_F(AgentTest, TheTickInitialisesRemoteAgentsThatAreNot) {
    {
        std::lock_guard<std::mutex> g(remote_m);
        remote_log.clear();
    }
    HTTP_AGENT_LIST* a = nullptr;
    ASSERT_TRUE(run_task([&] {
        a = insert_http_agent_list("/t", HA_QV, vxlisp_top_env1,
                                   l_string(std_cm, "http://localhost/"), nullptr, nullptr, 0);
    }));
    set_http_agent_remote(fake_query, keeper_connect);
    pause_http_agent_tick(false);
    tick_http_agent(0, 0);
    // The pass runs on a task of its own: wait (bounded) until it has initialised the agent.
    for (int i = 0; i < 1000 && get_iid_for_test(a) != keeper_id(); i++)
        usleep(10 * 1000);
    EXPECT_EQ(get_iid_for_test(a), keeper_id());
    pause_http_agent_tick(true);
    std::lock_guard<std::mutex> g(remote_m);
    ASSERT_GE(remote_log.size(), 3u);
    EXPECT_EQ(remote_log[0], "connect localhost:80");  // the scheme's port by default
    // The connection is alive: a second pass leaves it.
    size_t n = remote_log.size();
    remote_m.unlock();
    pause_http_agent_tick(false);
    tick_http_agent(0, 0);
    pause_http_agent_tick(true);
    remote_m.lock();
    EXPECT_EQ(remote_log.size(), n);
}

// Pauses the tick on a thread of its own: false when the pause has not come back within ms.
bool pause_within(int ms) {
    auto paused = std::make_shared<Counter>();
    std::thread([paused] {
        pause_http_agent_tick(true);
        paused->add();
    }).detach();
    return paused->wait_for(1, ms);
}

TEST_F(AgentTest, ATickWithoutAThreadLeavesTheNextTickToRunThePass) {
    HTTP_AGENT_LIST* a = nullptr;
    ASSERT_TRUE(run_task([&] {
        a = insert_http_agent_list("/t", HA_QV, vxlisp_top_env1,
                                   l_string(std_cm, "http://localhost/"), nullptr, nullptr, 0);
    }));
    set_http_agent_remote(fake_query, keeper_connect);
    {
        FullPool pool;
        ASSERT_TRUE(pool.full());
        pool.top_up();
        pause_http_agent_tick(false);
        tick_http_agent(0, 0);
        // No pass is running, so the pause comes back (it spun for ever while the running flag
        // stayed up for a pass that never started).
        EXPECT_TRUE(pause_within(20000));
    }
    // Threads are free again: the next tick runs the pass.
    pause_http_agent_tick(false);
    tick_http_agent(0, 0);
    EXPECT_TRUE(wait_until([&] { return get_iid_for_test(a) == keeper_id(); }, 20000));
    EXPECT_TRUE(pause_within(20000));
}

TEST_F(AgentTest, MalformedHeadsGetBadRequestAndTheConnectionEnds) {
    std::string bad = agent_error_reply("400 Bad Request", "bad request");
    EXPECT_EQ(http(l.port, "GET /" + std::string(9000, 'a') + " HTTP/1.0\r\n\r\n"), bad);
    std::string many = "GET / HTTP/1.0\r\n";
    for (int i = 0; i < 300; i++)
        many += "X-A: b\r\n";
    EXPECT_EQ(http(l.port, many + "\r\n"), bad);
    EXPECT_EQ(http(l.port, "POST / HTTP/1.0\r\nContent-Length: 12x\r\n\r\n"), bad);
    EXPECT_EQ(http(l.port, "GET\r\n\r\n"), bad);
    // A declared body beyond what a handler may be given.
    local_agent("/big", "^(define (POST b) (quote (text/html \"no\")))");
    std::string got = http(l.port, "POST /big HTTP/1.0\r\nContent-Length: 2000000000\r\n\r\n");
    EXPECT_EQ(got.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << got;
}

TEST(HttpAgentList, PathsMatchExactlyBeforeAQueryOrBelowAForwardingPrefix) {
    ASSERT_TRUE(run_task([] {
        clear_http_agent_list();
        HTTP_AGENT_LIST* a =
            insert_http_agent_list("/a", HA_QV, vxlisp_top_env1, nullptr, nullptr, nullptr, 0);
        HTTP_AGENT_LIST* f = insert_http_agent_list(
            "/f/", HA_FORWARD, nullptr, l_string(std_cm, "http://h/"), nullptr, nullptr, 0);
        HTTP_AGENT_LIST* alias =
            insert_http_agent_list("/b", HA_QV, vxlisp_top_env1, nullptr, a, nullptr, 0);
        EXPECT_EQ(search_http_agent_list("/a"), a);
        EXPECT_EQ(search_http_agent_list("/a?x=1"), a);
        EXPECT_EQ(search_http_agent_list("/ab"), nullptr);
        EXPECT_EQ(search_http_agent_list("/a/"), nullptr);
        EXPECT_EQ(search_http_agent_list("/f/x/y"), f);
        EXPECT_EQ(search_http_agent_list("/f/"), f);
        EXPECT_EQ(search_http_agent_list("/f"), nullptr);
        EXPECT_EQ(search_http_agent_list("/b"), alias);
        EXPECT_EQ(alias->alias_root, a);
        EXPECT_EQ(alias->iid, -1);
        EXPECT_EQ(a->iid, 0);
        EXPECT_EQ(f->iid, -1);
        // Exclusive use: the alias shares its root's.
        EXPECT_EQ(lock_ha_access(alias, 1), 0);
        EXPECT_EQ(lock_ha_access(a, 1), -1);
        unlock_ha_access(alias);
        EXPECT_EQ(lock_ha_access(a, 1), 0);
        unlock_ha_access(a);
        clear_http_agent_list();
    }));
    char* d = convert_percent("a%41%u00e9%2fb%zz", nullptr);
    EXPECT_STREQ(d, "aA\xc3\xa9/b%zz");
    d_f_ree(d);
    d = convert_percent("%41%42", "B");
    EXPECT_STREQ(d, "%41B");
    d_f_ree(d);
    d = convert_percent_reverse("a b/\xff");
    EXPECT_STREQ(d, "a%20b%2F%FF");
    d_f_ree(d);
}

}  // namespace

// Requests queued from several tasks at once are each answered by the one agent task, as the
// agent answers them directly: the not-found page for an unknown path, 2 for a QVoHTTP path
// (nothing written), -1 for a request without a path.
TEST_F(AgentTest, QueuedRequestsAreAnsweredByTheAgentTask) {
    xx_create_task(exec_url_task, 0, 2, __FILE__, __LINE__);
    constexpr int kTasks = 6;
    std::vector<std::vector<int>> answers(kTasks);
    std::vector<std::string> pages(kTasks);
    std::vector<std::thread> threads;
    for (int t = 0; t < kTasks; t++)
        threads.emplace_back([&, t] {
            EXPECT_TRUE(run_task([&] {
                STREAM* p[2];
                ASSERT_EQ(s_open_pipe(p), 0);
                std::string path = "/no/such/page" + std::to_string(t);
                std::string qvohttp = "/cgi-bin/qvsv";
                for (char* dir : {path.data(), qvohttp.data(), static_cast<char*>(nullptr)}) {
                    HTTP_INFO info = {};
                    info.dir = dir;
                    EU_LIST e = {};
                    e.st = p[1];
                    e.info = &info;
                    answers[t].push_back(insert_eu_list(&e));
                }
                char buf[512];
                for (int n; (n = s_read(p[0], buf, sizeof buf)) > 0;)
                    pages[t].append(buf, n);
                s_close(p[0]);
            }));
        });
    for (std::thread& th : threads)
        th.join();
    for (int t = 0; t < kTasks; t++) {
        EXPECT_EQ(answers[t], (std::vector<int>{0, 2, -1}));
        EXPECT_EQ(pages[t],
                  agent_error_reply("404 Not Found", "/no/such/page" + std::to_string(t)));
    }
}
