// OpenInterpreter's keyword forms, Permission with Allow and Deny, and the refusals that come
// before any interpreter is opened.
#include "builtins/openinterp.h"

#include <arpa/inet.h>

#include <string>

#include "builtins/bltn_util.h"
#include "lisp/eval.h"
#include "lisp/lisp_util.h"
#include "lisp/list.h"
#include "lisp/parser.h"
#include "lisp/units.h"
#include "lisp/vxlisp.h"
#include "server/accept.h"

namespace {

class OpenInterpTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        init_vxlisp();
        init_unit();
        init_interpreter_table();
        env_ = new_env(vxlisp_top_env1);
        init_OpenInterpreter(env_);
        QV_SEXP* f = get_env_symbol(env_, L("OpenInterpreter"), 0);
        ASSERT_EQ(get_type(f), QVT_FUNC);
        kw_ = f->func.args_env;
        ASSERT_NE(kw_, nullptr);
        qvi_ = new_qv_interpreter();
    }
    void TearDown() override {
        free_permission_list(qvi_);
        free_qv_interpreter(qvi_);
        LispTest::TearDown();
    }
    // Runs the keyword forms of text on the record: nil or the first error.
    QV_SEXP* configure(const char* text) {
        return configure_interpreter(env_, kw_, qvi_, read_qv_items(text));
    }
    static std::string err_text(QV_SEXP* e) {
        if (get_type(e) != QVT_ERROR) return "not an error";
        char buf[32];
        snprintf(buf, sizeof buf, "%x ", e->error.code);
        std::string d;
        QV_SEXP* data = e->error.data;
        if (get_type(data) == QVT_PAIR) data = data->pair.car;
        if (get_type(data) == QVT_STRING) d = A(data->string.data);
        if (get_type(data) == QVT_NIL) d = "nil";
        return buf + A(e->error.func) + " " + d;
    }
    static uint32_t addr(const char* dotted) { return inet_addr(dotted); }
    QVISP_ENV* env_ = nullptr;
    QVISP_ENV* kw_ = nullptr;
    QV_INTERPRETER* qvi_ = nullptr;
};

TEST_F(OpenInterpTest, KeywordsFillTheRecord) {
    EXPECT_EQ(configure("^(Port 7000) ^(IP 2130706433) ^(HostName \"first\") ^(HostName \"peer\")"
                        "^(MaxConnection 3) ^(InputFileName \"in.qv\") ^(OutputFileName \"o\")"
                        "^(ErrorFileName \"-\") ^(ConnectionTimeout 2min) ^(SilentTimeout 30)"
                        "^(Environment \"new\") ^(InputDescripter 4) ^(OutputDescripter 5)"
                        "^(ErrorDescripter 6) ^(Type \"pipe\") ^(Result 256) ^(FormatMode \"html\")"
                        "^(FormatIndent 1) ^(FormatIndent 0) ^(Port 4294971296)"),
              nullptr);
    EXPECT_EQ(qvi_->port, 4000);  // the later value wins; its low 32 bits
    EXPECT_EQ(qvi_->ip, 0x7f000001);
    EXPECT_EQ(A(qvi_->hostname), "peer");
    EXPECT_EQ(qvi_->max_connection, 3);
    EXPECT_EQ(A(qvi_->input_file_name), "in.qv");
    EXPECT_EQ(A(qvi_->output_file_name), "o");
    EXPECT_EQ(A(qvi_->error_file_name), "-");
    EXPECT_EQ(qvi_->connection_timeout, 120);
    EXPECT_EQ(qvi_->silent_timeout, 30);  // no unit: taken as it stands
    EXPECT_EQ(qvi_->environment, 1);
    EXPECT_EQ(qvi_->inp_desc, 4);
    EXPECT_EQ(qvi_->out_desc, 5);
    EXPECT_EQ(qvi_->err_desc, 6);
    EXPECT_EQ(qvi_->desc_type, 8);
    EXPECT_EQ(qvi_->result_flag, 0);      // low 8 bits
    EXPECT_EQ(qvi_->ps_flags, 0x80 | 2);  // FormatIndent 0 did not clear the indentation
    EXPECT_EQ(configure("^(Environment \"thisone\") ^(FormatMode \"xml\") ^(SilentTimeout 1h)"
                        "^(Type \"connect\")"),
              nullptr);
    EXPECT_EQ(qvi_->environment, 0);
    EXPECT_EQ(qvi_->ps_flags, 0x80 | 1);
    EXPECT_EQ(qvi_->silent_timeout, 3600);
    EXPECT_EQ(qvi_->desc_type, 5);
    // Defaults of the fields nobody set.
    QV_INTERPRETER* fresh = new_qv_interpreter();
    EXPECT_EQ(fresh->port, 9090);
    EXPECT_EQ(fresh->max_connection, 10);
    EXPECT_EQ(fresh->result_flag, 1);
    EXPECT_EQ(fresh->desc_type, 2);
    EXPECT_EQ(fresh->inp_desc, -1);
    free_qv_interpreter(fresh);
}

TEST_F(OpenInterpTest, KeywordErrors) {
    EXPECT_EQ(err_text(configure("^(Port \"x\")")), "80030806 Port nil");
    EXPECT_EQ(err_text(configure("^(HostName 5)")), "80030806 HostName nil");
    EXPECT_EQ(err_text(configure("^(InputDescripter \"0\")")), "80030806 InpDescripter nil");
    EXPECT_EQ(err_text(configure("^(OutputDescripter 1.5)")), "80030806 OutDescripter nil");
    EXPECT_EQ(err_text(configure("^(ErrorDescripter ())")), "80030806 ErrDescripter nil");
    EXPECT_EQ(err_text(configure("^(ConnectionTimeout 1.5min)")), "80030806 ConnectionTimeout nil");
    EXPECT_EQ(err_text(configure("^(Type \"socket\")")),
              "80040503 Type in OpenInterpreter invalid Type");
    EXPECT_EQ(err_text(configure("^(FormatMode \"tex\")")),
              "80040503 FormatMode invalid format mode");
    QV_SEXP* e = configure("^(Environment \"old\")");
    EXPECT_EQ(err_text(e), "80040503 Environment old");
    EXPECT_EQ(get_type(e->error.data), QVT_STRING);  // the value itself
    // A time in another dimension is not read as seconds.
    EXPECT_EQ(err_text(configure("^(SilentTimeout 2km)")), "80040503 SilentTimeout invalid time");
    EXPECT_EQ(qvi_->silent_timeout, -1);
    EXPECT_EQ(err_text(configure("^(Port)")).substr(0, 8), "80030502");
    // The first error ends the forms; those before it have already taken effect.
    EXPECT_EQ(err_text(configure("^(Port 1) ^(Port \"x\") ^(Port 3)")), "80030806 Port nil");
    EXPECT_EQ(qvi_->port, 1);
    // An argument that evaluates to an error is that error.
    EXPECT_EQ(err_text(configure("^(Port undefined-name)")).substr(0, 8), "80030705");
}

TEST_F(OpenInterpTest, KeywordsReachOnlyTheRecordBeingConfigured) {
    // Outside configure_interpreter a pointer to the record, or to anything else, is refused.
    QVISP_ENV* e = new_env_pair(kw_, env_);
    set_env(env_, L("__qvi"), get_ptr(qvi_, nullptr));
    QV_SEXP* r = eval(e, read_qv_item("^(Port 5)"));
    EXPECT_EQ(err_text(r), "80030806 Port __qvi type missmatch");
    set_env(env_, L("__qvi"), get_integer(5, nullptr));
    r = eval(e, read_qv_item("^(Permission (quote (\"a\")) (Allow \"all\"))"));
    EXPECT_EQ(err_text(r), "80030806 Permission __qvi type missmatch");
    EXPECT_EQ(qvi_->port, 9090);
    EXPECT_EQ(qvi_->pl_head, nullptr);
    // A keyword function kept and called after its OpenInterpreter ended finds no record.
    set_env(env_, L("keep"), get_env_symbol(kw_, L("Port"), 0));
    set_env(env_, L("__qvi"), get_ptr(qvi_, nullptr));
    EXPECT_EQ(err_text(eval(env_, read_qv_item("^(keep 77)"))),
              "80030806 Port __qvi type missmatch");
    EXPECT_EQ(qvi_->port, 9090);
}

TEST_F(OpenInterpTest, PermissionEntriesAdmitInOrder) {
    ASSERT_EQ(configure("^(Permission (quote (\"a\" \"b\"))"
                        "  (Deny \"ip\" \"127.0.0.5\" \"255.255.255.255\")"
                        "  (Allow \"ip\" \"127.0.0.0\" \"255.255.255.0\"))"
                        "^(Permission (quote (\"c\")) (Allow \"ip\" 167772160 -16777216))"),
              nullptr);
    PERMISSION_LIST* first = qvi_->pl_head;
    ASSERT_NE(first, nullptr);
    PERMISSION_LIST* second = first->next;
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(qvi_->pl_tail, second);
    EXPECT_STREQ(first->mode[0], "a");
    EXPECT_STREQ(first->mode[1], "b");
    EXPECT_EQ(first->mode[2], nullptr);
    ASSERT_NE(first->ap.head, nullptr);
    EXPECT_EQ(first->ap.head->type, 0);
    EXPECT_EQ(first->ap.head->ip, addr("127.0.0.5"));
    EXPECT_EQ(first->ap.tail->type, 1);
    EXPECT_EQ(first->ap.tail->mask, addr("255.255.255.0"));
    // Integers are addresses read most significant byte first: 10.0.0.0/8.
    EXPECT_EQ(second->ap.head->ip, addr("10.0.0.0"));
    EXPECT_EQ(second->ap.head->mask, addr("255.0.0.0"));
    EXPECT_EQ(check_permission_list(qvi_, addr("127.0.0.1")), first);
    EXPECT_EQ(check_permission_list(qvi_, addr("10.2.3.4")), second);
    // The deny rule of the first entry matches; no later entry admits the address.
    EXPECT_EQ(check_permission_list(qvi_, addr("127.0.0.5")), nullptr);
    // An entry with (Allow "all") admits every address from there on.
    ASSERT_EQ(configure("^(Permission (quote (\"any\")) (Allow \"all\"))"), nullptr);
    EXPECT_EQ(check_permission_list(qvi_, addr("127.0.0.5")), qvi_->pl_tail);
    EXPECT_EQ(check_permission_list(qvi_, addr("127.0.0.1")), first);
    // A domain rule keeps its own copy of the name.
    QV_INTERPRETER* other = new_qv_interpreter();
    ASSERT_EQ(configure_interpreter(env_, kw_, other,
                                    read_qv_items("^(Permission (quote (\"d\"))"
                                                  "  (Deny \"domain\" \"example.org\"))")),
              nullptr);
    ASSERT_NE(other->pl_head, nullptr);
    ACCESS_LIST* rule = other->pl_head->ap.head;
    ASSERT_NE(rule, nullptr);
    ASSERT_NE(rule->domain, nullptr);
    EXPECT_STREQ(rule->domain, "example.org");
    EXPECT_EQ(rule->ip, 0u);
    EXPECT_EQ(rule->type, 0);
    free_permission_list(other);
    free_qv_interpreter(other);
}

TEST_F(OpenInterpTest, AnAddressRuleCoversItsWholeNetwork) {
    // The host bits of the address do not matter: the rule is the network under the mask, so a
    // Deny written with a host's address still refuses that host's neighbours.
    ASSERT_EQ(configure("^(Permission (quote (\"e\"))"
                        "  (Deny \"ip\" \"10.9.8.7\" \"255.255.255.0\") (Allow \"all\"))"),
              nullptr);
    EXPECT_EQ(qvi_->pl_head->ap.head->ip, addr("10.9.8.0"));
    EXPECT_EQ(check_permission_list(qvi_, addr("10.9.8.200")), nullptr);
    EXPECT_EQ(check_permission_list(qvi_, addr("10.9.9.1")), qvi_->pl_head);
    // An address that masks to 0 would read as a rule for every peer: refused.
    EXPECT_EQ(err_text(configure("^(Permission (quote (\"f\")) (Allow \"ip\" \"0.0.0.9\" "
                                 "\"255.255.255.0\"))"))
                  .substr(0, 8),
              "80040503");
}

TEST_F(OpenInterpTest, PermissionErrors) {
    EXPECT_EQ(err_text(configure("^(Permission \"a\" (Allow \"all\"))")),
              "80030806 Permission type missmatch");
    EXPECT_EQ(err_text(configure("^(Permission () (Allow \"all\"))")),
              "80030806 Permission type missmatch");
    EXPECT_EQ(err_text(configure("^(Permission (quote (\"a\" 1)) (Allow \"all\"))")),
              "80030806 Permission type missmatch");
    EXPECT_EQ(qvi_->pl_head, nullptr);  // refused before any entry was made
    // An "ip" rule needs a mask.
    EXPECT_EQ(err_text(configure("^(Permission (quote (\"a\")) (Allow \"ip\" \"127.0.0.1\"))")),
              "80030806 allow/deny type missmatch");
    EXPECT_EQ(err_text(configure("^(Permission (quote (\"a\")) (Allow \"ip\" 1 \"m\" ))")),
              "80040503 allow/deny invalid address");
    EXPECT_EQ(err_text(configure("^(Permission (quote (\"a\")) (Deny \"ip\" () 1))")),
              "80030806 allow/deny type missmatch");
    EXPECT_EQ(err_text(configure("^(Permission (quote (\"a\")) (Allow \"host\" \"x\"))")),
              "80040503 allow/deny invalid type");
    EXPECT_EQ(err_text(configure("^(Permission (quote (\"a\")) (Allow 4))")),
              "80030806 allow/deny type missmatch");
    EXPECT_EQ(err_text(configure("^(Permission (quote (\"a\")) (Allow \"domain\" 4))")),
              "80030806 allow/deny type missmatch");
    // The address 0.0.0.0 with a mask other than 0 would be stored as a rule for every peer.
    EXPECT_EQ(err_text(configure(
                  "^(Permission (quote (\"a\")) (Allow \"ip\" \"0.0.0.0\" \"255.0.0.0\"))")),
              "80040503 allow/deny invalid address");
    // None of the failing rules was stored, and a failing rule ends the rules after it.
    for (PERMISSION_LIST* p = qvi_->pl_head; p; p = p->next)
        EXPECT_EQ(p->ap.head, nullptr);
    EXPECT_EQ(check_permission_list(qvi_, addr("127.0.0.1")), nullptr);
    ASSERT_NE(
        get_type(configure("^(Permission (quote (\"z\")) (Allow \"bogus\") (Allow \"all\"))")), 0);
    EXPECT_EQ(qvi_->pl_tail->ap.head, nullptr);
    // Allow and Deny are bound nowhere but in Permission's keyword environment.
    EXPECT_EQ(err_text(configure("^(Allow \"all\")")).substr(0, 8), "80030705");
}

TEST_F(OpenInterpTest, RefusalsBeforeOpening) {
    auto open = [&](QVISP_ENV* env, const char* text) {
        return err_text(eval(env, read_qv_item(text)));
    };
    EXPECT_EQ(open(env_, "^(OpenInterpreter 5 ())"),
              "80030806 OpenInterpreter first argment(interpreter type)");
    EXPECT_EQ(open(env_, "^(OpenInterpreter \"file\" 5)"),
              "80030806 OpenInterpreter first argment(interpreter environment)");
    EXPECT_EQ(open(env_, "^(OpenInterpreter \"internal\" ())"),
              "80040503 OpenInterpreter interpreter accept type");
    EXPECT_EQ(open(env_, "^(OpenInterpreter \"pipe\" ())"),
              "80040503 RecvStream in OpenInterpreter No recieved streams");
    EXPECT_EQ(open(env_, "^(OpenInterpreter \"file\" () (Port \"x\"))"), "80030806 Port nil");
    EXPECT_EQ(open(env_, "^(OpenInterpreter \"file\")").substr(0, 8), "80030502");
    // Interpreters on the host's files are privileged.
    QVISP_ENV* general = new_env(vxlisp_top_env0);
    init_OpenInterpreter(general);
    EXPECT_EQ(open(general, "^(OpenInterpreter \"file\" () (InputFileName \"x\"))"),
              "80040d10 OpenInterpreter permission denied");
    EXPECT_EQ(interpreter_type_code(L("accept")), QVA_ACCEPT);
    EXPECT_EQ(interpreter_type_code(L("connect")), QVA_CONNECT);
    EXPECT_EQ(interpreter_type_code(L("ipc")), QVA_IPC);
    EXPECT_EQ(interpreter_type_code(L("descripter")), QVA_DESCRIPTER);
    EXPECT_EQ(interpreter_type_code(L("descriptor")), 0);
}

}  // namespace
