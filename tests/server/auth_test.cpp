// Authentication between real agents: a server whose ".qvaccess" files protect paths serves them
// only to peers that show the right preset credentials (fix-user-passwd) or prove they run on the
// same host as the same user (localhost-root); a broken access file denies; and a peer of a
// listener opened with the general environment controls only its own interpreters.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "lisp/heap.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/vxlisp.h"
#include "longchar/longchar.h"
#include "server/auth.h"
#include "server/docpath.h"
#include "server_util.h"
#include "vxmx_run.h"

namespace {

bool has(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

std::string site() {
    return n_string(std_cm, get_qvlisp_site());
}

std::string listener(int port, const std::string& env) {
    return "^(define l (OpenInterpreter \"accept\" " + env + " (Port " + std::to_string(port) +
           ") (Environment \"new\") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" "
           "\"255.255.255.255\"))))\n";
}

// The server's documents tree: /pub open, /prot needing s1 (a fixed user and password) for
// Get, /local needing the local proof, and access files that are broken in three ways.
std::string make_site() {
    std::string d = make_test_dir("auth_site");
    for (const char* sub : {"/qvdocs/pub", "/qvdocs/prot/in", "/qvdocs/local", "/qvdocs/bad",
                            "/qvdocs/deep", "/qvdocs/huge", "/qvdocs/other", "/qvsys"})
        std::filesystem::create_directories(d + sub);
    for (const char* f :
         {"/qvdocs/pub/x.qv", "/qvdocs/prot/x.qv", "/qvdocs/prot/in/y.qv", "/qvdocs/local/x.qv",
          "/qvdocs/bad/x.qv", "/qvdocs/deep/x.qv", "/qvdocs/huge/x.qv", "/qvdocs/other/x.qv"})
        write_file(d + f, "\"hello\"\n");
    write_file(d + "/qvdocs/prot/.qvaccess",
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<qvaccess>\n"
               "<service name=\"s1\" type=\"fix-user-passwd\" user=\"u\" passwd=\"p\"/>\n"
               "<target prefix=\".qv\" operation=\"Get\">s1</target>\n</qvaccess>\n");
    write_file(d + "/qvdocs/local/.qvaccess",
               "<?xml version=\"1.0\"?>\n<qvaccess>\n"
               "<service name=\"lr\" type=\"localhost-root\"/>\n<target>lr</target>\n"
               "</qvaccess>\n");
    // A target naming an undefined service, an unclosed element deep inside, a file too big.
    write_file(d + "/qvdocs/bad/.qvaccess",
               "<?xml?>\n<qvaccess>\n<target>nosuch</target>\n</qvaccess>\n");
    std::string deep = "<?xml?>\n<qvaccess>\n";
    for (int i = 0; i < 3000; i++)
        deep += "<a>";
    write_file(d + "/qvdocs/deep/.qvaccess", deep);
    write_file(d + "/qvdocs/huge/.qvaccess",
               "<?xml?>\n<qvaccess>\n" + std::string(AUTH_FILE_MAX, ' ') + "</qvaccess>\n");
    // Anything but service and target is refused too: a file cannot run code on the server.
    write_file(d + "/qvdocs/other/.qvaccess", "<?xml?>\n<qvaccess>\n(Print 1)\n</qvaccess>\n");
    return d;
}

std::string server_script(const std::string& site_dir, int port) {
    return "^(SetThisAgentName \"me\")\n^([SetDirectory url=\"/\"] \"" + site_dir +
           "\")\n^([SetPrefixMode qvdocs=\"precedence\"] \".qv\" \"me\" \"qv\" \"Get\")\n" +
           listener(port, "Env0") + "^(WaitInterpreter l)\n";
}

// A client agent: presets, then asks for each path twice, then ends.
std::string client_script(int port, const std::string& preset) {
    std::string s =
        "^(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
        "\"127.0.0.1\") (Port " +
        std::to_string(port) + ")))\n" + preset;
    for (const char* p : {"/pub/x.qv", "/prot/x.qv", "/prot/in/y.qv", "/local/x.qv", "/bad/x.qv",
                          "/deep/x.qv", "/huge/x.qv", "/other/x.qv", "/prot/x.qv"})
        s += std::string("^(Remote c (Get \"") + p + "\"))\n";
    return s + "^(Exit)\n";
}

// A preset names the server's full service name, "SERVICE://site:0/s1"; the same name written
// without the port (as older preset files hold it) names the same service.
std::string preset(const std::string& user, const std::string& passwd,
                   const std::string& port = ":0") {
    return "^(Eval authentification (quote ([service name=\"SERVICE://" + site() + port +
           "/s1\" type=\"fix-user-passwd\" user=\"" + user + "\" passwd=\"" + passwd +
           "\" result=\"1\"])))\n";
}

// The replies of a finished client, one per line number.
std::string reply(const std::string& out, int line) {
    std::string tag = "<Result> " + std::to_string(line) + " ";
    size_t a = out.find(tag);
    if (a == std::string::npos) return "";
    size_t b = out.find("</Result>", a);
    return out.substr(a, b - a);
}

const char kServed[] = "(\"\\\"hello\\\"\")";
const char kDenied[] = "0x80040d10";

std::string run_client(const std::string& name, int port, const std::string& pre) {
    VxmxAgent a(name, client_script(port, pre));
    VxmxResult r = a.finish(30000);
    EXPECT_EQ(r.exit_status, 0);
    return read_file(a.run.dir + "/out.txt");
}

}  // namespace

TEST(AuthAgents, AccessFilesProtectPathsAndOnlyTheRightCredentialsOpenThem) {
    std::string d = make_site();
    int port = free_port();
    // The server answers the general Get (file trees), without the geo-matrix one.
    VxmxAgent b("auth_server", server_script(d, port), "vxbase");
    int fd = connect_when_up(port);
    ASSERT_GE(fd, 0);
    close(fd);
    // Lines: 1 connect, 2 preset (when any), then the Gets.
    for (const char* form : {":0", ""}) {
        std::string good = run_client("auth_good", port, preset("u", "p", form));
        EXPECT_TRUE(has(reply(good, 3), kServed)) << good;  // open path
        EXPECT_TRUE(has(reply(good, 4), kServed)) << good;  // asked for credentials, served
        EXPECT_TRUE(has(reply(good, 5), kServed)) << good;  // below the protected directory
        EXPECT_TRUE(has(reply(good, 6), kServed)) << good;  // localhost-root: same host and user
        for (int line = 7; line <= 10; line++)              // broken access files deny
            EXPECT_TRUE(has(reply(good, line), kDenied)) << line << good;
        EXPECT_TRUE(has(reply(good, 11), kServed)) << good;  // still earned on this connection
    }

    std::string none = run_client("auth_none", port, "^(+ 1 1)\n");
    // What is still required is named by the full name, as the URL printer writes it.
    EXPECT_TRUE(has(reply(none, 4), "[service name=\"SERVICE://" + site() + ":0/s1\"")) << none;
    for (const std::string& bad : {run_client("auth_wrong", port, preset("u", "wrong")),
                                   run_client("auth_user", port, preset("x", "p")), none}) {
        EXPECT_TRUE(has(reply(bad, 3), kServed)) << bad;
        EXPECT_TRUE(has(reply(bad, 4), kDenied)) << bad;
        EXPECT_TRUE(has(reply(bad, 5), kDenied)) << bad;
        EXPECT_TRUE(has(reply(bad, 11), kDenied)) << bad;
        // The password is never echoed to the peer.
        EXPECT_FALSE(has(bad, "passwd=\"p\"")) << bad;
    }
    // Every key file issued was removed once its check ended.
    b.kill_now();
}

TEST(AuthAgents, APeerOfAGeneralListenerControlsOnlyItsOwnInterpreters) {
    int port = free_port();
    VxmxAgent b("auth_ctl", listener(port, "Env0") + "^(WaitInterpreter l)\n");
    LineClient c1(port);
    LineClient c2(port);
    ASSERT_GE(c1.fd, 0);
    ASSERT_GE(c2.fd, 0);
    int main_id = reply_int(c1.ask("(GetMainInterpreter)"));
    int c2_id = reply_int(c2.ask("(GetIid)"));
    ASSERT_GT(main_id, 0);
    ASSERT_GT(c2_id, 0);
    std::string r = c1.ask("(CloseInterpreter " + std::to_string(main_id) + ")");
    EXPECT_TRUE(has(r, "permission denied")) << r;
    r = c1.ask("(CloseInterpreter " + std::to_string(c2_id) + ")");
    EXPECT_TRUE(has(r, "permission denied")) << r;
    r = c1.ask("(WaitInterpreter " + std::to_string(main_id) + ")");
    EXPECT_TRUE(has(r, "permission denied")) << r;
    // Both still answer: nothing was closed.
    EXPECT_TRUE(has(c2.ask("(+ 1 2)"), " 3</Result>"));
    EXPECT_TRUE(has(c1.ask("(+ 2 2)"), " 4</Result>"));
    // Its own connection it may close.
    int c1_id = reply_int(c1.ask("(GetIid)"));
    c1.send("(CloseInterpreter " + std::to_string(c1_id) + ")\n");
    EXPECT_EQ(c1.answer(3000).find("permission"), std::string::npos);
    EXPECT_TRUE(has(c2.ask("(+ 1 2)"), " 3</Result>"));
}

// The client reads a key file only when it is a regular 4-byte file it owns, with no access for
// others, reached without following a link.
TEST(AuthKinds, TheLocalProofReadsOnlyTheCallersOwnPrivateKeyFile) {
    const AUTH_TABLE* lr = at_tbl(5);
    ASSERT_NE(lr, nullptr);
    ASSERT_EQ(at_tbl_type_name(l_string(std_cm, "localhost-root")), lr);
    AUTH_SERVICE tmpl{};
    tmpl.h.tbl = lr;
    AUTH_SERVICE* s = lr->new_auth_service(&tmpl);
    auto attempt = [&](uint32_t name) {
        AUTH_LOCALHOST_ROOT_KEYFILE k{nullptr, name, 0, 0};
        s->keyfile = &k;
        AUTH_RESULT* r = lr->new_auth_result(s, nullptr, 0);
        r->status = ARS_REQUIRED;
        lr->client_transaction(s, r);
        int st = r->status;
        uint32_t key = r->key;
        lr->free_auth_result(r, 0);
        s->keyfile = nullptr;
        return std::make_pair(st, key);
    };
    uint32_t base = 0x7a000000u + static_cast<uint32_t>(getpid() & 0xffff) * 8;
    auto path = [](uint32_t n) { return "/tmp/" + std::to_string(n); };
    unsigned char key[4] = {0x78, 0x56, 0x34, 0x12};
    auto make = [&](uint32_t n, int mode, int len) {
        unlink(path(n).c_str());
        int fd = open(path(n).c_str(), O_CREAT | O_EXCL | O_WRONLY, mode);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, key, len), len);
        fchmod(fd, mode);
        close(fd);
    };
    make(base, 0600, 4);
    EXPECT_EQ(attempt(base), std::make_pair(ARS_SEND_PERMIT, 0x12345678u));
    make(base + 1, 0644, 4);  // readable by others: not a private key
    EXPECT_EQ(attempt(base + 1).first, ARS_DENY);
    make(base + 2, 0600, 3);  // not 4 bytes
    EXPECT_EQ(attempt(base + 2).first, ARS_DENY);
    unlink(path(base + 3).c_str());
    ASSERT_EQ(symlink(path(base).c_str(), path(base + 3).c_str()), 0);  // a link
    EXPECT_EQ(attempt(base + 3).first, ARS_DENY);
    EXPECT_EQ(attempt(base + 4).first, ARS_DENY);  // absent
    if (geteuid() == 0) {
        make(base + 5, 0600, 4);
        ASSERT_EQ(chown(path(base + 5).c_str(), 65534, 65534), 0);  // another user's file
        EXPECT_EQ(attempt(base + 5).first, ARS_DENY);
    }
    for (uint32_t i = 0; i < 6; i++)
        unlink(path(base + i).c_str());
    lr->free_auth_service(s);
}

// The server side of the local proof: each evaluation issues a new private 4-byte key file
// (least significant byte first) tagged with its check's generation; a check's clean-up removes
// only its own files; an answer is judged once, with its file removed whatever the outcome, so
// the same name answered again, a wrong key or an unknown name is denied.
TEST(AuthKinds, KeyFilesLiveOnlyWhileTheirCheckRunsAndEachCheckCleansItsOwn) {
    const AUTH_TABLE* lr = at_tbl(5);
    ASSERT_NE(lr, nullptr);
    AUTH_SET_SERVER server{};
    AUTH_CONNECTION_SET set{};
    set.server_set = &server;
    AUTH_SERVICE tmpl{};
    tmpl.h.tbl = lr;
    AUTH_SERVICE* s = lr->new_auth_service(&tmpl);
    auto path = [](uint32_t n) { return "/tmp/" + std::to_string(n); };
    uint32_t names[3], keys[3];
    for (int i = 0; i < 3; i++) {
        server.auth_gc_no = static_cast<uint32_t>(i + 1);
        ASSERT_EQ(lr->authentification(&set, s, 0), nullptr);  // still required
        ASSERT_NE(s->keyfile, nullptr);
        EXPECT_EQ(s->keyfile->auth_gc_no, static_cast<uint32_t>(i + 1));
        names[i] = s->keyfile->filename;
        keys[i] = s->keyfile->key;
        struct stat st;
        ASSERT_EQ(lstat(path(names[i]).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        std::string bytes = read_file(path(names[i]));
        ASSERT_EQ(bytes.size(), 4u);
        uint32_t k = 0;
        for (int b = 3; b >= 0; b--)
            k = k << 8 | static_cast<unsigned char>(bytes[b]);
        EXPECT_EQ(k, keys[i]);
    }
    EXPECT_NE(names[0], names[1]);
    EXPECT_NE(names[1], names[2]);
    // The first check ends: only its file goes.
    lr->gc_service(&server, s, 1);
    EXPECT_FALSE(std::filesystem::exists(path(names[0])));
    EXPECT_TRUE(std::filesystem::exists(path(names[1])));
    struct Answer {
        uint32_t name, key;
        int status;
    } answers[] = {
        {names[1], keys[1], ARS_ACCEPT},    // the right key: accepted, file removed
        {names[1], keys[1], ARS_DENY},      // the same name again: no record left
        {names[2], keys[2] ^ 1, ARS_DENY},  // a wrong key: denied, file removed all the same
        {names[0], keys[0], ARS_DENY},      // a name whose check has ended
    };
    for (const Answer& a : answers) {
        AUTH_RESULT* r = lr->new_auth_result(s, nullptr, 0);
        r->filename = a.name;
        r->key = a.key;
        set.server_result = r;
        EXPECT_EQ(lr->authentification(&set, s, 1), nullptr);
        EXPECT_EQ(r->status, a.status) << a.name;
        // A result judged already is not judged again.
        r->status = ARS_ACCEPT;
        lr->authentification(&set, s, 1);
        EXPECT_EQ(r->status, ARS_ACCEPT);
        set.server_result = nullptr;
        lr->free_auth_result(r, 0);
    }
    for (uint32_t n : names)
        EXPECT_FALSE(std::filesystem::exists(path(n))) << n;
    EXPECT_EQ(s->keyfile, nullptr);
    lr->free_auth_service(s);
}

// A full service name is the URL printer's form, port included; a name a peer or a preset gives
// without the port names the same service, and any other name is compared as it is.
TEST(AuthNames, FullNamesCarryThePortAndPresetsWithoutItStillMatch) {
    auto text = [](L_CHAR* s) {
        std::string r = s ? n_string(std_cm, s) : "(null)";
        d_f_ree(s);
        return r;
    };
    auto same = [&](const char* name) { return text(auth_same_name_form(l_string(std_cm, name))); };
    EXPECT_EQ(text(auth_full_name(l_string(std_cm, "pw"))), "SERVICE://" + site() + ":0/pw");
    EXPECT_EQ(same("SERVICE://h/pw"), "SERVICE://h:0/pw");
    EXPECT_EQ(same("SERVICE://h:0/pw"), "SERVICE://h:0/pw");
    EXPECT_EQ(same("SERVICE://h:7/pw"), "SERVICE://h:7/pw");
    EXPECT_EQ(same("http://h/pw"), "http://h/pw");
    EXPECT_EQ(same("pw"), "pw");
    EXPECT_EQ(text(auth_same_name_form(nullptr)), "(null)");
}

// An access file is read in the code set its declaration names: a Shift_JIS file whose user name
// is written in Shift_JIS authenticates that user (the client's preset written in EUC-JP, its
// default code set: the same characters); a file declared UTF-8 whose bytes are Shift_JIS does
// not match the name, and a file declaring an unknown code set denies as a damaged one does.
TEST(AuthAgents, AccessFilesAreReadInTheirDeclaredEncoding) {
    std::string d = make_test_dir("auth_enc");
    for (const char* sub : {"/qvdocs/sjis", "/qvdocs/liar", "/qvdocs/unknown", "/qvsys"})
        std::filesystem::create_directories(d + sub);
    for (const char* f : {"/qvdocs/sjis/x.qv", "/qvdocs/liar/x.qv", "/qvdocs/unknown/x.qv"})
        write_file(d + f, "\"hello\"\n");
    const std::string user_sjis = "\x83\x86\x81\x5b\x83\x55";  // the user name in Shift_JIS
    const std::string user_euc = "\xa5\xe6\xa1\xbc\xa5\xb6";   // and in EUC-JP
    auto access = [&](const std::string& enc, const std::string& service) {
        return "<?xml version=\"1.0\" encoding=\"" + enc + "\"?>\n<qvaccess>\n<service name=\"" +
               service + "\" type=\"fix-user-passwd\" user=\"" + user_sjis +
               "\" passwd=\"p\"/>\n<target>" + service + "</target>\n</qvaccess>\n";
    };
    write_file(d + "/qvdocs/sjis/.qvaccess", access("Shift_JIS", "s2"));
    write_file(d + "/qvdocs/liar/.qvaccess", access("UTF-8", "s3"));
    write_file(d + "/qvdocs/unknown/.qvaccess", access("NO-SUCH-CODE", "s4"));
    int port = free_port();
    VxmxAgent b("auth_enc_server", server_script(d, port), "vxbase");
    int fd = connect_when_up(port);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string presets = "^(Sequence";
    for (const char* s : {"s2", "s3", "s4"})
        presets += std::string(" (Eval authentification (quote ([service name=\"SERVICE://") +
                   site() + ":0/" + s + "\" type=\"fix-user-passwd\" user=\"" + user_euc +
                   "\" passwd=\"p\" result=\"1\"])))";
    std::string s =
        "^(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
        "\"127.0.0.1\") (Port " +
        std::to_string(port) + ")))\n" + presets + ")\n";
    for (const char* p : {"/sjis/x.qv", "/liar/x.qv", "/unknown/x.qv"})
        s += std::string("^(Remote c (Get \"") + p + "\"))\n";
    VxmxRun run;
    run.dir = make_test_dir("auth_enc_client");
    write_file(run.dir + "/client.qv", s + "^(Exit)\n");
    run.args = {"client.qv", "out.txt"};
    run.std_code = "";
    VxmxResult r = run_vxmx(run);
    EXPECT_EQ(r.exit_status, 0);
    std::string out = read_file(run.dir + "/out.txt");
    EXPECT_TRUE(has(reply(out, 3), kServed)) << out;
    EXPECT_TRUE(has(reply(out, 4), kDenied)) << out;
    EXPECT_TRUE(has(reply(out, 5), kDenied)) << out;
    b.kill_now();
}

namespace {

// A client agent: presets, then asks for each of paths, then ends; its replies, one a line (1 the
// connection, 2 the presets, the Gets from 3).
std::string run_gets(const std::string& name, int port, const std::string& pre,
                     const std::vector<std::string>& paths) {
    std::string s =
        "^(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
        "\"127.0.0.1\") (Port " +
        std::to_string(port) + ")))\n" + pre;
    for (const std::string& p : paths)
        s += "^(Remote c (Get \"" + p + "\"))\n";
    VxmxAgent a(name, s + "^(Exit)\n");
    VxmxResult r = a.finish(30000);
    EXPECT_EQ(r.exit_status, 0);
    return read_file(a.run.dir + "/out.txt");
}

std::string access_file(const std::string& service, const std::string& user,
                        const std::string& passwd) {
    return "<?xml version=\"1.0\"?>\n<qvaccess>\n<service name=\"" + service +
           "\" type=\"fix-user-passwd\" user=\"" + user + "\" passwd=\"" + passwd +
           "\"/>\n<target prefix=\".qv\" operation=\"Get\">" + service + "</target>\n</qvaccess>\n";
}

}  // namespace

// Links in the documents tree: a file and a folder linked into a guarded folder answer to that
// folder's access file (credentials asked, and the right ones open them), and links that lead out
// of the tree (up past its root, to an absolute system file, a folder outside) are never served,
// whatever the credentials; a link that stays in an open part of the tree still serves.
TEST(AuthAgents, LinksAnswerToTheGuardsWhereTheyLeadAndNeverOutOfTheTree) {
    std::string d = make_test_dir("auth_links");
    for (const char* sub : {"/qvdocs/prot/in", "/qvdocs/pub", "/qvsys", "/outdir"})
        std::filesystem::create_directories(d + sub);
    for (const char* f : {"/qvdocs/prot/s.qv", "/qvdocs/prot/in/t.qv", "/qvdocs/pub/x.qv"})
        write_file(d + f, "\"hello\"\n");
    write_file(d + "/qvdocs/prot/.qvaccess", access_file("s1", "u", "p"));
    write_file(d + "/outside.qv", "\"SECRETWORD\"\n");
    write_file(d + "/outdir/x.qv", "\"SECRETWORD\"\n");
    const std::vector<std::pair<std::string, std::string>> links = {
        {"prot/s.qv", "/qvdocs/sl.qv"},        {"prot/in", "/qvdocs/inlink"},
        {"../../outside.qv", "/qvdocs/up.qv"}, {"/etc/hostname", "/qvdocs/host.qv"},
        {d + "/outdir", "/qvdocs/outlink"},    {"../pub/x.qv", "/qvdocs/prot/pubx.qv"},
        {"pub/x.qv", "/qvdocs/publink.qv"},
    };
    for (auto& [to, at] : links)
        ASSERT_EQ(symlink(to.c_str(), (d + at).c_str()), 0) << at;
    int port = free_port();
    VxmxAgent b("auth_links_server", server_script(d, port), "vxbase");
    int fd = connect_when_up(port);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::vector<std::string> paths = {"/sl.qv",     "/inlink/t.qv",  "/up.qv",
                                            "/host.qv",   "/outlink/x.qv", "/publink.qv",
                                            "/prot/s.qv", "/prot/pubx.qv"};
    std::string none = run_gets("auth_links_none", port, "^(+ 1 1)\n", paths);
    std::string good = run_gets("auth_links_good", port, preset("u", "p"), paths);
    std::string hostname = read_file("/etc/hostname");
    while (!hostname.empty() && (hostname.back() == '\n' || hostname.back() == ' '))
        hostname.pop_back();
    for (const std::string& out : {none, good}) {
        // Out of the tree: an error value, and nothing of what lies there.
        for (int line : {5, 6, 7}) {
            EXPECT_TRUE(has(reply(out, line), "%E")) << line << out;
            EXPECT_FALSE(has(reply(out, line), "SECRETWORD")) << line << out;
            if (!hostname.empty()) {
                EXPECT_FALSE(has(reply(out, line), hostname)) << line << out;
            }
        }
        EXPECT_TRUE(has(reply(out, 8), kServed)) << out;  // a link within the open part
    }
    // Into the guarded folder: asked for credentials without them, served with them; a link in
    // the guarded folder keeps its guard, whatever it leads to.
    for (int line : {3, 4, 9, 10}) {
        EXPECT_TRUE(has(reply(none, line), kDenied)) << line << none;
        EXPECT_TRUE(has(reply(none, line), "SERVICE://" + site() + ":0/s1")) << line << none;
        EXPECT_TRUE(has(reply(good, line), kServed)) << line << good;
    }
    b.kill_now();
}

// A published matrix in a guarded folder: the point and status reads by published path answer to
// the folder's access file as Get does (denied without credentials, served with them).
TEST(AuthAgents, AGuardedMatrixIsReadByPublishedPathOnlyWithCredentials) {
    std::string d = make_test_dir("auth_matrix");
    std::filesystem::create_directories(d + "/qvdocs/prot");
    std::filesystem::create_directories(d + "/qvsys");
    write_file(d + "/qvdocs/prot/.qvaccess",
               "<?xml version=\"1.0\"?>\n<qvaccess>\n<service name=\"s1\" "
               "type=\"fix-user-passwd\" user=\"u\" passwd=\"p\"/>\n<target prefix=\".mx\" "
               "operation=\"Get\">s1</target>\n</qvaccess>\n");
    std::string create =
        "^(define m ([gmxCreate filename=\"" + d +
        "/qvdocs/prot/m.mx\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])"
        " ([gmxMatrixDimDivide dim=\"0\" value=\"1\"]) ([gmxMatrixDimDivide dim=\"1\" "
        "value=\"1\"]) ([gmxMatrixBlockSize dim=\"0\" value=\"2\"]) ([gmxMatrixBlockSize "
        "dim=\"1\" value=\"2\"]) ([gmxMatrixPixelSize dim=\"0\" value=\"16\"]) "
        "([gmxMatrixPixelSize dim=\"1\" value=\"16\"]) ([gmxChannelInfo channel=\"0\" "
        "type=\"int16_v\" send=\"on\"] 7) ([gmxPhase area=\"3\" mode=\"client\"] ([mxFinish "
        "normal-jump-status=\"MS_OK\"]))";
    for (int a = 3; a <= 5; a++)
        create += " ([gmxPhase area=\"" + std::to_string(a) +
                  "\" mode=\"server\"] ([mxFinish normal-jump-status=\"MS_OK\"]))";
    create += "))\n^([gmxClose id=\"1\"])\n";
    int port = free_port();
    std::string server = "^(SetThisAgentName \"me\")\n^([SetDirectory url=\"/\"] \"" + d +
                         "\")\n^([SetPrefixMode qvdocs=\"precedence\"] \".mx\" \"me\" \"lod\" "
                         "\"Get\")\n" +
                         create + listener(port, "Env0") + "^(WaitInterpreter l)\n";
    VxmxAgent b("auth_matrix_server", server);
    int fd = connect_when_up(port);
    ASSERT_GE(fd, 0);
    close(fd);
    auto ask = [&](const std::string& name, const std::string& pre) {
        std::string s =
            "^(define c (OpenInterpreter \"connect\" (CurrentEnvironment) (HostName "
            "\"127.0.0.1\") (Port " +
            std::to_string(port) + ")))\n" + pre +
            "^(Remote c ([gmxGetPoint path-type=\"related\"] \"/prot/m.mx\" '(0 9 9)))\n"
            "^(Remote c ([gmxStatus path-type=\"related\"] \"/prot/m.mx\"))\n^(Exit)\n";
        VxmxAgent a(name, s);
        VxmxResult r = a.finish(30000);
        EXPECT_EQ(r.exit_status, 0);
        return read_file(a.run.dir + "/out.txt");
    };
    std::string none = ask("auth_matrix_none", "^(+ 1 1)\n");
    std::string good = ask("auth_matrix_good", preset("u", "p"));
    for (int line : {3, 4}) {
        EXPECT_TRUE(has(reply(none, line), kDenied)) << line << none;
        EXPECT_FALSE(has(reply(good, line), "%E")) << line << good;
    }
    EXPECT_TRUE(has(reply(good, 3), "((0 7))")) << good;
    b.kill_now();
}

// Two folders whose access files both define a service "s1", each with its own password, and a
// folder below the second whose file names "s1" without defining it: each client is served the
// folders of the password it holds and no other, in whichever order the folders were first read.
TEST(AuthAgents, FoldersDefiningOneServiceNameEachServeTheirOwnUsers) {
    std::string d = make_test_dir("auth_same_name");
    for (const char* sub : {"/qvdocs/prot", "/qvdocs/protB/sub", "/qvsys"})
        std::filesystem::create_directories(d + sub);
    for (const char* f : {"/qvdocs/prot/x.qv", "/qvdocs/protB/x.qv", "/qvdocs/protB/sub/x.qv"})
        write_file(d + f, "\"hello\"\n");
    write_file(d + "/qvdocs/prot/.qvaccess", access_file("s1", "u", "p"));
    write_file(d + "/qvdocs/protB/.qvaccess", access_file("s1", "u", "q"));
    write_file(d + "/qvdocs/protB/sub/.qvaccess",
               "<?xml version=\"1.0\"?>\n<qvaccess>\n<target>s1</target>\n</qvaccess>\n");
    int port = free_port();
    VxmxAgent b("auth_same_name_server", server_script(d, port), "vxbase");
    int fd = connect_when_up(port);
    ASSERT_GE(fd, 0);
    close(fd);
    // The first client has the server read protB before prot; the second reads protB/sub last.
    std::string a = run_gets("auth_same_a", port, preset("u", "p"),
                             {"/protB/x.qv", "/prot/x.qv", "/protB/x.qv", "/prot/x.qv"});
    std::string bq = run_gets("auth_same_b", port, preset("u", "q"),
                              {"/prot/x.qv", "/protB/x.qv", "/protB/sub/x.qv", "/prot/x.qv"});
    std::string a2 = run_gets("auth_same_a2", port, preset("u", "p"), {"/protB/sub/x.qv"});
    EXPECT_TRUE(has(reply(a, 3), kDenied)) << a;
    EXPECT_TRUE(has(reply(a, 4), kServed)) << a;
    EXPECT_TRUE(has(reply(a, 5), kDenied)) << a;
    EXPECT_TRUE(has(reply(a, 6), kServed)) << a;
    EXPECT_TRUE(has(reply(bq, 3), kDenied)) << bq;
    EXPECT_TRUE(has(reply(bq, 4), kServed)) << bq;
    EXPECT_TRUE(has(reply(bq, 5), kServed)) << bq;
    EXPECT_TRUE(has(reply(bq, 6), kDenied)) << bq;
    EXPECT_TRUE(has(reply(a2, 3), kDenied)) << a2;
    b.kill_now();
}

namespace {

// Runs fn on a task inside a root frame, with every service and result forgotten before and after.
void auth_in_task(const std::function<void()>& fn) {
    ASSERT_TRUE(run_task([&] {
        reset_auth();
        gc_push(nullptr, nullptr, "auth");
        fn();
        gc_pop(nullptr, nullptr);
        reset_auth();
    }));
}

std::string text_of(const L_CHAR* s) {
    return s ? n_string(std_cm, s) : "(null)";
}

}  // namespace

// A result made with copy and no template owns a copy of its service, which goes with it.
TEST(AuthResults, ANewResultWithCopyOwnsACopyOfItsService) {
    const AUTH_TABLE* fup = at_tbl(3);
    ASSERT_NE(fup, nullptr);
    AUTH_SERVICE tmpl{};
    tmpl.h.tbl = fup;
    tmpl.h.service_name = l_string(std_cm, "SERVICE://h:0/s");
    tmpl.user = l_string(std_cm, "u");
    AUTH_SERVICE* s = fup->new_auth_service(&tmpl);
    AUTH_RESULT* shared = fup->new_auth_result(s, nullptr, 0);
    EXPECT_EQ(shared->service, s);
    EXPECT_EQ(shared->status, ARS_NONE);
    fup->free_auth_result(shared, 0);
    AUTH_RESULT* own = fup->new_auth_result(s, nullptr, 1);
    ASSERT_NE(own->service, s);
    EXPECT_EQ(text_of(own->service->h.service_name), "SERVICE://h:0/s");
    EXPECT_EQ(text_of(own->service->user), "u");
    fup->free_auth_result(own, 1);
    fup->free_auth_service(s);
}

// A client result is set from a template and an element, found by its service's name and kind
// (on-demand results before presets), and searched for by name and kind as a copy whose status
// is replaced only where the mask says.
TEST(AuthResults, ClientResultsAreSetAndSearchedByNameAndKind) {
    auth_in_task([] {
        const AUTH_TABLE* fup = at_tbl(3);
        const AUTH_TABLE* lr = at_tbl(5);
        QV_SEXP* items = init_parse_text(
            "([service name=\"SERVICE://h:0/s\" type=\"fix-user-passwd\" user=\"u\" passwd=\"p\" "
            "result=\"1\"]) ([service user=\"v\" passwd=\"q\"])",
            -1, "t.qv");
        ASSERT_EQ(get_type(items), QVT_PAIR);
        {
            TaskLockGuard g(auth_lock);
            ASSERT_EQ(_auth_preset_result(car(items)), nullptr);
        }
        const L_CHAR* name = l_string(std_cm, "SERVICE://h:0/s");
        AUTH_RESULT* found = search_auth_result_in_client(name, fup, ARS_NONE, ARS_SEND_PERMIT);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->status, ARS_NONE);
        EXPECT_EQ(text_of(found->passwd), "p");
        AUTH_RESULT tmpl{};
        tmpl.service = found->service;
        tmpl.status = ARS_DENY;
        AUTH_RESULT* set = set_authentification_result(&tmpl, car(cdr(items)));
        ASSERT_NE(set, nullptr);
        EXPECT_NE(set, found);  // the client's own result, not the copy
        EXPECT_EQ(set->status, ARS_DENY);
        EXPECT_EQ(text_of(set->user), "v");
        // The element names the client's service the result belongs to; no server defines it.
        EXPECT_EQ(get_service_header(nullptr, car(items)), set->service);
        EXPECT_EQ(get_service_header(&auth_set_server, car(items)), nullptr);
        fup->free_auth_result(found, 0);
        // The mask does not meet ARS_DENY: the status stays.
        found = search_auth_result_in_client(nullptr, fup, ARS_ACCEPT, ARS_SEND_PERMIT);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->status, ARS_DENY);
        EXPECT_EQ(text_of(found->passwd), "q");
        fup->free_auth_result(found, 0);
        EXPECT_EQ(search_auth_result_in_client(name, lr, ARS_NONE, -1), nullptr);
        EXPECT_EQ(search_auth_result_in_client(l_string(std_cm, "SERVICE://h:0/t"), nullptr,
                                               ARS_NONE, -1),
                  nullptr);
        AUTH_SERVICE other{};
        other.h.tbl = fup;
        other.h.service_name = l_string(std_cm, "SERVICE://h:0/t");
        tmpl.service = &other;
        EXPECT_EQ(set_authentification_result(&tmpl, car(cdr(items))), nullptr);
    });
}

// An access file is read by its shape: its body is the second top-level item (the first carrying
// nothing, as a declaration) or its only one. A file whose requirements stand anywhere else is
// refused whole, so its folder is denied: no shape leaves a path it guards open.
TEST(AuthFiles, AnAccessFileIsReadByItsShapeAndNoShapeLeavesAGuardedPathOpen) {
    const std::string guard =
        "<qvaccess>\n<service name=\"s1\" type=\"fix-user-passwd\" user=\"u\" "
        "passwd=\"p\"/>\n<target>s1</target>\n</qvaccess>\n";
    const std::string decl = "<?xml version=\"1.0\"?>\n";
    enum Want { OPEN, REQUIRED, DENIED };
    struct Case {
        const char* name;
        std::string text;
        Want want;
    } cases[] = {
        {"declaration, then body", decl + guard, REQUIRED},
        {"empty element, then body", "<a/>\n" + guard, REQUIRED},
        {"body alone", guard, REQUIRED},
        {"body, then an empty element", decl + guard + "<a/>\n", REQUIRED},
        {"declaration alone", decl, OPEN},
        {"nothing", "", OPEN},
        {"body, then another element", guard + "<a/>\n", DENIED},
        {"two declarations, then body", decl + "<?qv?>\n" + guard, DENIED},
        {"two bodies", decl + guard + guard, DENIED},
        {"text, then body", "free text\n" + guard, DENIED},
    };
    std::string dir = make_test_dir("auth_shapes");
    for (size_t i = 0; i < std::size(cases); i++) {
        std::string sub = dir + "/qvdocs/s" + std::to_string(i);
        std::filesystem::create_directories(sub);
        write_file(sub + "/.qvaccess", cases[i].text);
    }
    auth_in_task([&] {
        reset_docpath();
        ASSERT_EQ(Reg_List_pathpair(l_string(std_cm, (dir + "/").c_str()), l_string(std_cm, "/")),
                  0);
        for (size_t i = 0; i < std::size(cases); i++) {
            std::string path = "/s" + std::to_string(i) + "/x.qv";
            AUTH_SERVICE_LIST* req = nullptr;
            int r;
            {
                TaskLockGuard g(auth_lock);
                r = _auth_required(&req, l_string(std_cm, path.c_str()), "Get");
            }
            Want got = r < 0 ? DENIED : req ? REQUIRED : OPEN;
            EXPECT_EQ(got, cases[i].want) << cases[i].name;
            free_auth_service_list(req);
        }
        reset_docpath();
    });
}
