// PrintChain: forwarded long characters printed as text in the target's code method, raw bytes
// passed on unchanged into a chain, the error values of wrong arguments and of a missing or
// closed target, and the sync switch as seen from a task that is no relay thread.
#include "builtins/printchain.h"

#include <string>

#include "lisp/lisp_util.h"
#include "lisp/list.h"
#include "lisp/vxlisp.h"
#include "longchar/codemethod.h"
#include "server/interp.h"
#include "stream/chain_stream.h"
#include "stream/streamio.h"
#include "stream/string_stream.h"
#include "support/chain_fake.h"
#include "support/sync_util.h"

namespace {

void set_std(STREAM* out, STREAM* err) {
    TaskLockGuard g(stream_lock);
    s_stdout = out;
    s_stderr = err;
}

// Standard output and error are string streams in UTF-8 for the test, put back afterwards.
class PrintChainTest : public LispTest {
  protected:
    void SetUp() override {
        LispTest::SetUp();
        init_vxlisp();  // the top environments, which say who is privileged
        static bool table = false;
        if (!table) init_interpreter_table();  // chain carriers are internal interpreters
        table = true;
        out0_ = locked_out();
        err0_ = s_stderr;
        out_ = s_open_string_write(&utf8_cm);
        err_ = s_open_string_write(&utf8_cm);
        set_std(out_, err_);
    }
    void TearDown() override {
        set_std(out0_, err0_);
        s_close(out_);
        s_close(err_);
        LispTest::TearDown();
    }
    STREAM* locked_out() {
        TaskLockGuard g(stream_lock);
        return s_stdout;
    }
    static std::string text(STREAM* s) {
        const char* t = s_get_string(s);
        return t ? t : "";
    }
    // (PrintChain channel data) with the head's attributes; data as raw bytes unless a node is
    // given. The caller evaluates in env (the privileged top environment unless given).
    static QV_SEXP* call(QV_SEXP* channel, QV_SEXP* data, const char* sync = nullptr,
                         QVISP_ENV* env = vxlisp_top_env1) {
        QV_SEXP* head = n_get_symbol("PrintChain");
        if (sync) head = set_attribute(head, L("sync"), L(sync));
        QV_SEXP* form = list(head, channel, data, nullptr);
        return qv_PrintChain(env, form, nullptr, head->symbol.field, nullptr);
    }
    static QV_SEXP* raw(const std::string& bytes) {
        return get_raw(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    static std::string err(QV_SEXP* r) {
        if (get_type(r) != QVT_ERROR) return "not an error";
        char code[16];
        snprintf(code, sizeof code, "%x ", r->error.code);
        std::string data =
            get_type(r->error.data) == QVT_STRING ? A(r->error.data->string.data) : "?";
        return code + A(r->error.func) + " " + data;
    }
    STREAM* out0_ = nullptr;
    STREAM* err0_ = nullptr;
    STREAM* out_ = nullptr;
    STREAM* err_ = nullptr;
};

std::string be(std::initializer_list<uint32_t> chars) {
    std::string r;
    for (uint32_t c : chars) {
        uint8_t b[4];
        put_be32(b, c);
        r.append(reinterpret_cast<char*>(b), 4);
    }
    return r;
}

}  // namespace

TEST_F(PrintChainTest, LongCharactersBecomeTextOfTheTarget) {
    QV_SEXP* r = call(n_get_string("o"), raw(be({'a', 0xE9, 'b'})));
    ASSERT_EQ(get_type(r), QVT_INTEGER);
    EXPECT_EQ(r->integer.data, 12);
    EXPECT_EQ(text(out_),
              "a\xC3\xA9"
              "b");
    r = call(n_get_string("e"), raw(be({'x', '\n'})));
    EXPECT_EQ(r->integer.data, 8);
    EXPECT_EQ(text(err_), "x\n");
    // Zero characters are skipped rather than ending the text; one to three bytes left over at
    // the end are dropped; the result still counts every byte.
    r = call(n_get_string("o"), raw(be({'c', 0, 'd'}) + std::string("\0\0\0", 3)));
    EXPECT_EQ(r->integer.data, 15);
    r = call(n_get_string("o"), raw(std::string("\0\0", 2)));
    EXPECT_EQ(r->integer.data, 2);
    r = call(n_get_string("o"), raw(""));
    EXPECT_EQ(r->integer.data, 0);
    EXPECT_EQ(text(out_),
              "a\xC3\xA9"
              "bcd");
}

TEST_F(PrintChainTest, WrongArgumentsAndTargets) {
    EXPECT_EQ(err(call(get_integer(1, nullptr), raw("abcd"))),
              "80030806 PrintChain type missmatch");
    EXPECT_EQ(err(call(n_get_string("o"), n_get_string("abcd"))),
              "80030806 PrintChain type missmatch");
    EXPECT_EQ(err(call(n_get_string("o"), nullptr)), "80030806 PrintChain type missmatch");
    EXPECT_EQ(err(call(n_get_string("oe"), raw("abcd"))), "80040503 PrintChain invalid parameter");
    EXPECT_EQ(err(call(n_get_string(""), raw("abcd"))), "80040503 PrintChain invalid parameter");
    STREAM* closed = s_open_string_write(&utf8_cm);
    s_close(closed);
    set_std(closed, nullptr);
    EXPECT_EQ(err(call(n_get_string("o"), raw(be({'a'})))), "80040a12 PrintChain access stream");
    EXPECT_EQ(err(call(n_get_string("e"), raw(be({'a'})))), "80040a12 PrintChain access stream");
    set_std(out_, err_);
    EXPECT_EQ(text(out_), "");
}

TEST_F(PrintChainTest, SyncReadsNoArgumentAndRawBytesPassUnchangedIntoAChain) {
    ChainFake fake;
    // The test's thread is no relay thread: entry changes nothing.
    EXPECT_EQ(call(nullptr, nullptr, "entry"), nullptr);
    EXPECT_EQ(call(get_integer(1, nullptr), nullptr, "other"), nullptr);
    EXPECT_EQ(locked_out(), out_);
    // Sending the process's output elsewhere is a privileged change: refused to anybody else.
    for (QVISP_ENV* env : {vxlisp_top_env0, static_cast<QVISP_ENV*>(nullptr)}) {
        QV_SEXP* refused = call(nullptr, nullptr, "entry", env);
        ASSERT_EQ(get_type(refused), QVT_ERROR);
        EXPECT_EQ(refused->error.code, 0x80040d10u);
    }
    EXPECT_EQ(locked_out(), out_);
    STREAM* chain = s_open_chain(21, 'o');
    ASSERT_NE(chain, nullptr);
    set_std(chain, err_);
    std::string odd("\0\0\0a\0", 5);
    QV_SEXP* r = call(n_get_string("o"), raw(odd));
    ASSERT_EQ(get_type(r), QVT_INTEGER);
    EXPECT_EQ(r->integer.data, 5);
    // sync="exit" flushes: the bytes have arrived when it returns.
    fake.slow(50);
    EXPECT_EQ(call(nullptr, nullptr, "exit"), nullptr);
    EXPECT_TRUE(fake.bytes("o") == odd);
    set_std(out_, err_);
    s_close(chain);
    EXPECT_EQ(text(out_), "");
}
