// A stand-in for remote evaluation as the chain streams' sender: it records every form a carrier
// sends (the head, the channel string and the raw bytes), can be slowed, can write the bytes on
// to a stream as the target's printing does (which takes the stream lock), can answer with an
// error value from a given call on, as a target that has gone away does, and can keep its
// answers back, as a target that does not answer does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lisp/list.h"
#include "lisp/sexp.h"
#include "longchar/longchar.h"
#include "stream/chain_stream.h"
#include "stream/streamio.h"

struct ChainCall {
    int iid;
    std::string head;
    std::string channel;
    std::string bytes;
};

class ChainFake {
  public:
    // Installs the sender for the life of the object.
    ChainFake() {
        std::lock_guard<std::mutex> g(m());
        st() = State{};
        previous_ = get_chain_query();
        set_chain_query(query);
    }
    // Puts back the sender that was installed before (the interpreter layer's, in server tests).
    ~ChainFake() { set_chain_query(previous_); }
    ChainFake(const ChainFake&) = delete;
    ChainFake& operator=(const ChainFake&) = delete;

    // Every answer comes after ms milliseconds.
    void slow(int ms) {
        std::lock_guard<std::mutex> g(m());
        st().delay_ms = ms;
    }
    // Every call also writes its bytes to target.
    void sink(STREAM* target) {
        std::lock_guard<std::mutex> g(m());
        st().sink = target;
    }
    // The n-th call (counted from 1) and every later one answer with an error value.
    void fail_from(int n) {
        std::lock_guard<std::mutex> g(m());
        st().fail_from = n;
    }
    // From now on every call waits for release() before it answers (at most 60 s).
    void hold() {
        std::lock_guard<std::mutex> g(m());
        st().held = true;
    }
    void release() {
        {
            std::lock_guard<std::mutex> g(m());
            st().held = false;
        }
        cv().notify_all();
    }
    // Calls begun, answered or not.
    int begun() {
        std::lock_guard<std::mutex> g(m());
        return st().count;
    }
    std::vector<ChainCall> calls() {
        std::lock_guard<std::mutex> g(m());
        return st().calls;
    }
    // The bytes of every call of one channel, joined in arrival order.
    std::string bytes(const std::string& channel = "o") {
        std::string r;
        for (const ChainCall& c : calls())
            if (c.channel == channel) r += c.bytes;
        return r;
    }

  private:
    struct State {
        std::vector<ChainCall> calls;
        STREAM* sink = nullptr;
        int delay_ms = 0;
        int fail_from = 0;
        int count = 0;
        bool held = false;
    };
    static std::mutex& m() {
        static std::mutex mu;
        return mu;
    }
    static std::condition_variable& cv() {
        static std::condition_variable c;
        return c;
    }
    static State& st() {
        static State s;
        return s;
    }
    static std::string ascii(const L_CHAR* t) {
        std::string r;
        for (; t && *t; t++)
            r += static_cast<char>(*t);
        return r;
    }
    static QV_SEXP* query(int id, QVISP_ENV*, const L_CHAR*, QV_SEXP* form) {
        ChainCall c{id, "", "", ""};
        QV_SEXP* head = get_el(form, 0);
        QV_SEXP* channel = get_el(form, 1);
        QV_SEXP* data = get_el(form, 2);
        if (get_type(head) == QVT_SYMBOL) c.head = ascii(head->symbol.data);
        if (get_type(channel) == QVT_STRING) c.channel = ascii(channel->string.data);
        if (get_type(data) == QVT_RAW)
            c.bytes.assign(reinterpret_cast<const char*>(data->raw.data),
                           static_cast<size_t>(data->raw.size));
        int delay;
        bool fail;
        STREAM* out;
        {
            std::lock_guard<std::mutex> g(m());
            State& s = st();
            s.count++;
            delay = s.delay_ms;
            out = s.sink;
            fail = s.fail_from > 0 && s.count >= s.fail_from;
        }
        // A call counts as delivered when its answer comes, after the delay.
        if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        {
            std::unique_lock<std::mutex> g(m());
            cv().wait_for(g, std::chrono::seconds(60), [] { return !st().held; });
        }
        if (out && !fail) s_write(out, c.bytes.data(), static_cast<int>(c.bytes.size()));
        if (!fail) {
            std::lock_guard<std::mutex> g(m());
            st().calls.push_back(c);
        }
        if (fail)
            return get_error(nullptr, 0, 0x8004051D, l_string(std_cm, "Remote"),
                             n_get_string("invalid iid 1"));
        return get_integer(static_cast<int64_t>(c.bytes.size()), nullptr);
    }
    CHAIN_QUERY previous_ = nullptr;
};
