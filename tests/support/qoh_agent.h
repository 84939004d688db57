// A QVoHTTP agent and an HTTP proxy for the QVoHTTP tests, written from the frame contract with
// plain sockets on 127.0.0.1 (nothing of the client's code is used to build or check the frames).
//
// The agent answers a type 1 open with 2 (or 5 when keep-alive was asked and `keep_alive` is set)
// carrying its key and first sequence number, a type 2 request with type 2 of the same sequence
// number and the pending output, type 3 with 3, a type 6 probe with 6 carrying `version` (type 4
// when version is 1), a type 7 upload with 7 once the declared body is in, and the download GET
// with a head and a header carrying the key, followed by whatever push_download sends. Every
// request and frame is recorded. A test changes a reply through `reply_hook`.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One request as the agent read it.
struct AgentRequest {
    std::string line;                            // the request line
    std::map<std::string, std::string> headers;  // names in lower case
    std::string frame;                           // the 12 bytes of the frame header ("" for a GET)
    std::string data;                            // the body after the frame header
    uint32_t time = 0;                           // the agent's clock when it arrived
};

int frame_type(const std::string& frame);
uint16_t frame_seq(const std::string& frame);
// The 12 bytes of a frame header with the checksum that makes them sum to 0 modulo 256.
std::string make_frame(int type, uint16_t seq, uint32_t k0, uint32_t k1);
// True when the bytes of the frame sum to 0 modulo 256.
bool frame_sum_ok(const std::string& frame);
// A reply: status line, Content-Length of the body, optional keep-alive line, the body.
std::string http_reply(const std::string& body, bool keep = false, int status = 200);

bool send_all(int fd, const std::string& bytes);

// A listener on 127.0.0.1 with a thread per connection; the subclass serves each one. The
// subclass's destructor calls stop() before its own members go.
class LoopbackServer {
  public:
    virtual ~LoopbackServer() = default;
    int port() const { return port_; }
    int connections() const { return connections_.load(); }

  protected:
    void start();
    void stop();
    void track(int fd);  // closed (and broken at the stop) with the server
    virtual void serve(int fd) = 0;
    std::atomic<bool> stop_{false};
    std::mutex m_;

  private:
    int port_ = 0;
    int lfd_ = -1;
    std::atomic<int> connections_{0};
    std::thread acceptor_;
    std::vector<std::thread> threads_;
    std::vector<int> fds_;
};

class FakeAgent : public LoopbackServer {
  public:
    FakeAgent() { start(); }
    ~FakeAgent() override { stop(); }

    // Settings (before the client uses the agent).
    int version = 2;
    bool keep_alive = true;
    uint32_t key[2] = {0x01020304u, 0xA0B0C0D0u};
    uint16_t first_seq = 0x1234;
    std::atomic<uint32_t (*)()> clock{nullptr};
    // Called for every request before the normal answer; when it returns true it has answered
    // (or not) on fd itself, and the connection is closed unless it sets *keep.
    std::function<bool(int fd, const AgentRequest& r, bool* keep)> reply_hook;

    // Output delivered in the next data reply.
    void add_output(const std::string& out);
    // Sends bytes on every open download connection.
    void push_download(const std::string& bytes);

    // Records, under the agent's lock.
    std::vector<AgentRequest> requests();
    std::string uploaded();
    int count(int type);
    int downloads();
    // Waits (at most ms) until pred holds over the agent's state.
    bool wait(const std::function<bool()>& pred, int ms = 20000);

  private:
    void serve(int fd) override;
    bool answer(int fd, AgentRequest& r, bool* keep);
    void record(const AgentRequest& r);

    std::condition_variable cv_;
    std::vector<int> download_fds_;
    std::vector<AgentRequest> requests_;
    std::string output_;
    std::string uploaded_;
};

// A forwarding HTTP proxy: reads a request head, connects to the port its absolute URL names on
// 127.0.0.1, passes the head on unchanged and then relays bytes both ways until one side closes.
class FakeProxy : public LoopbackServer {
  public:
    FakeProxy() { start(); }
    ~FakeProxy() override { stop(); }
    // The request lines passed on so far.
    std::vector<std::string> request_lines();

  private:
    void serve(int fd) override;
    std::vector<std::string> lines_;
};
