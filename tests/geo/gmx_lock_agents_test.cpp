// Two real agents and a lock server over one matrix file. Agent A holds the file open; agent B's
// opening waits at the lock server while A is asked to close the file and hand it over, and both
// agents' pictures are in the file afterwards. A lock server that goes away while B waits leaves
// B with an error value, A's file whole and both agents running.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "agent_run.h"
#include "pdb/pdb64.h"
#include "support/child.h"
#include "support/loopback.h"
#include "support/sync_util.h"

namespace {

using geotest::agent;
using geotest::AgentRun;
using geotest::listener_script;
using geotest::slot_matrix;

// A P6 picture of w x h cells, every cell the colour (r, g, b).
std::string ppm(int w, int h, int r, int g, int b) {
    std::string px;
    for (int i = 0; i < w * h; i++) {
        px.push_back(static_cast<char>(r));
        px.push_back(static_cast<char>(g));
        px.push_back(static_cast<char>(b));
    }
    return "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n" + px;
}

// The lock server's address bound in the privileged top environment, where the agent reads
// them. No agent names a port of its own: the server asks for a file back on the lock connection.
std::string lock_config(int lock_port) {
    return "^(Eval Env1 (quote (define LockHostName \"127.0.0.1\")))\n"
           "^(Eval Env1 (quote (define LockPort " +
           std::to_string(lock_port) + ")))\n";
}

// Sends commands to an agent's listener and reads until the connection ends or ms pass.
std::string tell(int port, const std::string& cmds, int ms = 30000) {
    int fd = vxtest::connect_loopback(port);
    std::string got;
    if (fd >= 0) {
        std::string msg = "\n" + cmds;
        if (write(fd, msg.data(), msg.size()) == static_cast<ssize_t>(msg.size())) {
            timeval tv{ms / 1000, (ms % 1000) * 1000};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0)
                got.append(buf, static_cast<size_t>(n));
        }
        close(fd);
    }
    return got;
}

// The connections established to the loopback listener at port (their accepted ends, as the
// kernel's table of TCP sockets shows them).
int connections_to(int port) {
    FILE* f = fopen("/proc/net/tcp", "r");
    if (!f) return 0;
    char line[512];
    int n = 0;
    while (fgets(line, sizeof line, f)) {
        unsigned local_port = 0, state = 0;
        if (sscanf(line, " %*d: %*8x:%x %*8x:%*x %x", &local_port, &state) == 2 &&
            static_cast<int>(local_port) == port && state == 1)
            n++;
    }
    fclose(f);
    return n;
}

// The record file's structure as the record store's own check finds it.
int file_check(const std::string& path) {
    PDB64* p = open_filespace64(path.c_str(), O_RDONLY, 0644, 0, 31, nullptr);
    if (!p) return -100;
    int r = check_filespace64(p);
    close_filespace64(p);
    return r;
}

struct Agents : ::testing::Test {
    geotest::TempDir dir;
    std::string ds = dir.at("server"), da = dir.at("a"), db = dir.at("b"), dc = dir.at("c");
    std::string file = dir.at("shared.mx");
    int sport = vxtest::free_loopback_port();
    int aport = vxtest::free_loopback_port();
    std::thread server, a;
    AgentRun server_run, a_run;
    std::vector<std::string> agent_env;  // settings every agent of the test starts with

    void SetUp() override {
        for (const std::string& d : {ds, da, db, dc})
            ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        geotest::write_file(da + "/pa.ppm", ppm(16, 16, 1, 2, 3));
        geotest::write_file(db + "/pb.ppm", ppm(16, 16, 4, 5, 6));
        server = std::thread([this] {
            server_run =
                agent(ds,
                      "^(define l (OpenInterpreter \"accept\" Env1 (Port " + std::to_string(sport) +
                          ") (Environment \"new\") (Permission (quote (\"local\")) "
                          "(Allow \"ip\" \"127.0.0.1\" \"255.255.255.255\"))))\n"
                          "^(WaitInterpreter l)\n",
                      60000, agent_env);
        });
        ASSERT_TRUE(vxtest::wait_listening(sport));
    }
    void TearDown() override {
        tell(aport, "(Exit)\n", 2000);
        tell(sport, "(Exit)\n", 2000);
        if (a.joinable()) a.join();
        if (server.joinable()) server.join();
    }
    // A creates the file, writes its picture into the top-left block and listens, the file open.
    // ignores_events: A answers the server's call-lock-event without doing anything, so it keeps
    // the file.
    void start_a(bool ignores_events = false) {
        std::string keep = ignores_events
                               ? "^(Eval Env1 (quote (define call-lock-event (lambda (seq) ()))))\n"
                               : "";
        std::string s = lock_config(sport) + keep + slot_matrix(file, 64, 32) +
                        "^([gmxImportPNM id=\"1\"] \"pa.ppm\" 0 0 0 0)\n" + listener_script(aport);
        a = std::thread([this, s] { a_run = agent(da, s, 60000, agent_env); });
        ASSERT_TRUE(vxtest::wait_listening(aport)) << geotest::read_file(da + "/out.txt");
    }
    // The cells of A's and B's pictures as a third agent reads them from the closed file.
    std::string read_back() {
        AgentRun c = agent(dc, "^(gmxGetPoint \"" + file + "\" '((0 3 3) (0 20 3) (0 40 20)))\n");
        return c.out;
    }
};

TEST_F(Agents, AWriterWaitsForTheHandOverAndBothPicturesAreKept) {
    start_a();
    // B opens the same file while A has it open: it waits for A to hand it over, writes its
    // picture into the next block and closes.
    AgentRun b = agent(db, lock_config(sport) + slot_matrix(file, 64, 32) +
                               "^([gmxImportPNM id=\"1\"] \"pb.ppm\" 0 0 16 0)\n"
                               "^([gmxClose id=\"1\"])\n");
    EXPECT_EQ(b.status, 0) << b.errors;
    EXPECT_EQ(b.out.find("gmxCreate open file error"), std::string::npos) << b.out;
    EXPECT_EQ(b.out.find("80"), std::string::npos)
        << b.out << "\nB:" << b.console << "\nS:" << geotest::read_file(ds + "/out.txt");
    // A reader with the lock server reads the file while A still holds it: A hands it over
    // again, and B's cell is there.
    AgentRun c = agent(dc, lock_config(sport) + "^(gmxGetPoint \"" + file + "\" '((0 20 3)))\n");
    EXPECT_EQ(c.status, 0) << c.errors;
    EXPECT_NE(c.out.find("<Result> 3 (((0 67438080)))</Result>"), std::string::npos) << c.out;
    // A takes the file back for its own close.
    std::string closed = tell(aport, "([gmxClose id=\"1\"])\n(Exit)\n");
    a.join();
    EXPECT_EQ(a_run.status, 0) << a_run.errors;
    EXPECT_EQ(a_run.console.find("DESTROY"), std::string::npos) << a_run.console << a_run.out;
    EXPECT_EQ(file_check(file), 0);
    // A's cell 0x01020300, B's cell 0x04050600, the default elsewhere.
    EXPECT_EQ(read_back(), "<Result> 1 (((0 16909056)) ((0 67438080)) ((0 7)))</Result>\n");
}

// Sends one expression to an agent's listener and answers its reply, read up to "</Result>"
// (empty when none comes within 60 s); the connection ends with it, the agent goes on.
std::string ask(int port, const std::string& expr) {
    int fd = vxtest::connect_loopback(port);
    std::string got;
    std::string msg = "\n" + expr + "\n";
    if (fd >= 0 && write(fd, msg.data(), msg.size()) == static_cast<ssize_t>(msg.size())) {
        timeval tv{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        for (int i = 0; i < 60 && got.find("</Result>") == std::string::npos; i++) {
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) {
                got.append(buf, static_cast<size_t>(n));
                if (got.find("</Result>") != std::string::npos) break;
            }
            if (n == 0) break;
        }
    }
    if (fd >= 0) close(fd);
    return got.find("</Result>") == std::string::npos ? "" : got;
}

// Two writers take turns over the file, their pictures overlapping in one node: A's cells from
// (0,0) to (23,7), C's from (16,0) to (39,7). A saves its changes before it hands the file over,
// so a reader R and C read them; R hands the file over to C in turn and reads C's cells after,
// not its old copies, and so does A, in the node it had loaded too, and A's close writes no
// older copy over C's.
TEST_F(Agents, WritersTakingTurnsKeepAndSeeEachOthersCells) {
    geotest::write_file(da + "/pa.ppm", ppm(24, 8, 1, 2, 3));
    geotest::write_file(dc + "/pc.ppm", ppm(24, 8, 4, 5, 6));
    start_a();
    int rport = vxtest::free_loopback_port();
    AgentRun r_run;
    std::thread r([&] { r_run = agent(db, lock_config(sport) + listener_script(rport)); });
    ASSERT_TRUE(vxtest::wait_listening(rport)) << geotest::read_file(db + "/out.txt");
    const std::string points = "'((0 8 1) (0 20 1) (0 28 1) (0 36 1))";
    const std::string read = "(gmxGetPoint \"" + file + "\" " + points + ")";
    // A's cells, the default 7 where nobody wrote yet.
    const std::string a_only = "(((0 16909056)) ((0 16909056)) ((0 7)) ((0 7)))";
    std::string r_first = ask(rport, read);
    EXPECT_NE(r_first.find(a_only), std::string::npos) << r_first;
    AgentRun c = agent(dc, lock_config(sport) + slot_matrix(file, 64, 32) + "^" + read +
                               "\n^([gmxImportPNM id=\"1\"] \"pc.ppm\" 0 0 16 0)\n" +
                               "^([gmxClose id=\"1\"])\n");
    EXPECT_EQ(c.status, 0) << c.errors;
    EXPECT_NE(c.out.find(a_only), std::string::npos) << c.out;
    EXPECT_EQ(c.out.find("<Result> 7 ()</Result>"), std::string::npos) << c.out;
    // C's cells where both wrote and where only C did.
    const std::string both = "(((0 16909056)) ((0 67438080)) ((0 67438080)) ((0 67438080)))";
    std::string r_again = ask(rport, read);
    EXPECT_NE(r_again.find(both), std::string::npos) << r_again;
    tell(rport, "(Exit)\n");
    r.join();
    EXPECT_EQ(r_run.status, 0) << r_run.errors;
    // A takes the file back.
    std::string got = tell(aport, read + "\n([gmxClose id=\"1\"])\n(Exit)\n");
    a.join();
    EXPECT_NE(got.find(both), std::string::npos) << got << a_run.errors;
    EXPECT_EQ(a_run.status, 0) << a_run.errors;
    EXPECT_EQ(file_check(file), 0);
    AgentRun back = agent(dc, "^" + read + "\n");
    EXPECT_EQ(back.out, "<Result> 1 " + both + "</Result>\n");
}

TEST_F(Agents, ALockServerThatGoesAwayLeavesAnErrorAndTheFileWhole) {
    // A keeps the file when asked: B's request waits at the server until it goes.
    start_a(true);
    // The server is told to go once B's request is there (one connection to it more than A's).
    int before = connections_to(sport);
    std::thread killer([this, before] {
        wait_until([this, before] { return connections_to(sport) > before; }, 60000);
        tell(sport, "(Exit)\n", 2000);
    });
    AgentRun b = agent(db, lock_config(sport) + slot_matrix(file, 64, 32) + "^(+ 1 2)\n");
    killer.join();
    EXPECT_EQ(b.status, 0) << b.errors;
    // Refused as a file another live agent has open, and B goes on.
    EXPECT_NE(b.out.find("gmxCreate open file error"), std::string::npos) << b.out;
    EXPECT_NE(b.out.find("<Result> 4 3</Result>"), std::string::npos) << b.out;
    tell(aport, "([gmxClose id=\"1\"])\n(Exit)\n");
    a.join();
    EXPECT_EQ(a_run.status, 0) << a_run.errors;
    EXPECT_EQ(file_check(file), 0);
    EXPECT_EQ(read_back(), "<Result> 1 (((0 16909056)) ((0 7)) ((0 7)))</Result>\n");
}

// Agents whose waits end only by a wake-up: neither the tick wheel (which ends every time-out)
// nor the interpreters' tick ever runs in them, so a hand-over that waits for either hangs, and
// the bounded waits of the test find it.
struct HeldAgents : Agents {
    HeldAgents() { agent_env = {"VXMX_TEST_WHEEL_HELD=1", "VXMX_TEST_TICK_MS=3600000"}; }
};

// Sends expressions one at a time on one connection, each after the last one's reply: the
// replies, an empty one where none came within 60 s (and nothing is sent after it).
std::vector<std::string> ask_in_turn(int port, const std::vector<std::string>& exprs) {
    std::vector<std::string> replies;
    int fd = vxtest::connect_loopback(port);
    if (fd < 0 || write(fd, "\n", 1) != 1) return replies;
    timeval tv{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string rest;
    for (const std::string& e : exprs) {
        std::string msg = e + "\n";
        if (write(fd, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) break;
        size_t end = std::string::npos;
        for (int i = 0; i < 60 && (end = rest.find("</Result>")) == std::string::npos; i++) {
            char buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n == 0) break;
            if (n > 0) rest.append(buf, static_cast<size_t>(n));
        }
        if (end == std::string::npos) {
            replies.push_back("");
            break;
        }
        replies.push_back(rest.substr(0, end + 9));
        rest.erase(0, end + 9);
    }
    close(fd);
    return replies;
}

// Two agents write one file at once, each cell a picture of its own, A in column a_column and B
// in column b_column: every write that needs the file asks the other agent to hand it over, and
// the other one saves its changes and gives the file back at once, though its own writes keep
// coming. Every write is answered, and each agent's cells are in the file afterwards.
void two_writers_at_once(HeldAgents& t, int a_column, int b_column) {
    const int rows = 24;
    int bport = vxtest::free_loopback_port();
    struct Writer {
        std::string dir;
        int port, column, red;
        std::vector<std::string> writes, replies;
    } w[2] = {{t.da, t.aport, a_column, 1, {}, {}}, {t.db, bport, b_column, 4, {}, {}}};
    for (Writer& x : w)
        for (int k = 0; k < rows; k++) {
            geotest::write_file(x.dir + "/p" + std::to_string(k) + ".ppm", ppm(1, 1, x.red, k, 3));
            x.writes.push_back("([gmxImportPNM id=\"1\"] \"p" + std::to_string(k) + ".ppm\" 0 0 " +
                               std::to_string(x.column) + " " + std::to_string(k) + ")");
        }
    AgentRun b_run;
    t.a = std::thread([&] {
        t.a_run = agent(
            t.da, lock_config(t.sport) + slot_matrix(t.file, 64, 32) + listener_script(t.aport),
            60000, t.agent_env);
    });
    ASSERT_TRUE(vxtest::wait_listening(t.aport)) << geotest::read_file(t.da + "/out.txt");
    std::thread b([&] {
        b_run =
            agent(t.db, lock_config(t.sport) + slot_matrix(t.file, 64, 32) + listener_script(bport),
                  60000, t.agent_env);
    });
    ASSERT_TRUE(vxtest::wait_listening(bport)) << geotest::read_file(t.db + "/out.txt");
    {
        std::thread at([&] { w[0].replies = ask_in_turn(t.aport, w[0].writes); });
        w[1].replies = ask_in_turn(bport, w[1].writes);
        at.join();
    }
    for (const Writer& x : w) {
        ASSERT_EQ(x.replies.size(), x.writes.size()) << x.dir;
        // The connection's first line is empty: write k is read on line k + 2.
        for (size_t k = 0; k < x.replies.size(); k++)
            EXPECT_NE(x.replies[k].find("<Result> " + std::to_string(k + 2) + " ()</Result>"),
                      std::string::npos)
                << x.dir << ": " << x.replies[k];
    }
    // Both close at once and end.
    std::thread bt([&] { tell(bport, "([gmxClose id=\"1\"])\n(Exit)\n"); });
    tell(t.aport, "([gmxClose id=\"1\"])\n(Exit)\n");
    bt.join();
    t.a.join();
    b.join();
    EXPECT_EQ(t.a_run.status, 0) << t.a_run.errors;
    EXPECT_EQ(b_run.status, 0) << b_run.errors;
    // Neither gave the file up with changes made on nodes it had read before the other wrote.
    for (const std::string* e : {&t.a_run.errors, &b_run.errors})
        EXPECT_EQ(e->find("handed over with"), std::string::npos) << *e;
    EXPECT_EQ(file_check(t.file), 0);
    std::string points, want;
    for (const Writer& x : w)
        for (int k = 0; k < rows; k++) {
            points += " (0 " + std::to_string(x.column) + " " + std::to_string(k) + ")";
            want += std::string(want.empty() ? "" : " ") + "((0 " +
                    std::to_string((x.red << 24) | (k << 16) | (3 << 8)) + "))";
        }
    AgentRun back = agent(t.dc, "^(gmxGetPoint \"" + t.file + "\" '(" + points.substr(1) + "))\n");
    EXPECT_EQ(back.out, "<Result> 1 (" + want + ")</Result>\n");
}

TEST_F(HeldAgents, TwoWritersAtOnceHandTheFileOverOnWakeUpsAlone) {
    two_writers_at_once(*this, 1, 40);
}

// Both agents write cells of the same nodes (columns 1 and 2): the agent that takes the file back
// reads what the other one saved there before it writes, and never saves its older copy of
// those nodes over the other's cells.
TEST_F(HeldAgents, TwoWritersAtOnceInTheSameNodesKeepEachOthersCells) {
    two_writers_at_once(*this, 1, 2);
}

}  // namespace
