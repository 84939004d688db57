// Runs the real agent program in a child process (fork and exec at once, so the child takes no
// lock of this multi-threaded test process) with a bounded wait.
#pragma once

#include <functional>
#include <string>
#include <vector>

// An agent under the thread sanitizer runs several times slower than under the address
// sanitizer: the bounds on waits for its slowest work (floods, values of many MiB) stretch by this.
#ifdef __SANITIZE_THREAD__
constexpr int AGENT_WAIT_SCALE = 3;
#else
constexpr int AGENT_WAIT_SCALE = 1;
#endif

struct VxmxResult {
    bool timed_out = false;
    int exit_status = -1;  // -1 when ended by a signal
    std::string out;
    std::string err;
};

struct VxmxRun {
    // The program in the build directory: vxmx, or vxbase (the general built-ins only).
    std::string program = "vxmx";
    std::vector<std::string> args;  // after the program name
    std::string dir;                // working directory; empty: the current one
    std::string input;              // written to its standard input
    bool close_input = true;        // close standard input after writing `input`
    // When not empty: once standard output contains this text, SIGINT is sent.
    std::string interrupt_after;
    int timeout_ms = 30000;
    // When positive: the child's soft and hard descriptor limits.
    int nofile_limit = 0;
    // When positive: the child's memory bound in MiB, past which it ends: an address-space limit,
    // or under the sanitizers (whose shadow memory alone passes any such limit) their own bound
    // on resident memory.
    int mem_limit_mb = 0;
    // "NAME=value" entries added to the child's environment, in place of inherited ones of the
    // same name.
    std::vector<std::string> env;
    // When not empty: the child's standard error goes to this file (read back when it ends), so
    // an agent that writes much while the test is busy elsewhere never waits on a full pipe.
    std::string err_file;
    // STD_CODE in the child's environment; empty: unset, so the agent runs under its default
    // code set.
    std::string std_code = "UTF-8";
    // When not empty: the child gets a mount namespace of its own in which this file is
    // /etc/resolv.conf (root only). Its network namespace is that of the thread that starts it.
    std::string resolv_conf;
};

VxmxResult run_vxmx(const VxmxRun& r);

// A started agent whose standard streams the test reads when it finishes.
struct VxmxChild {
    int pid = -1;
    int in_fd = -1;  // its standard input, -1 once closed
    int out_fd = -1;
    int err_fd = -1;
};
// Starts the agent as run_vxmx does, without waiting (input written, closed when asked).
VxmxChild start_vxmx(const VxmxRun& r);
// Collects its output until it ends or r.timeout_ms pass (then it is killed), and reaps it.
VxmxResult finish_vxmx(VxmxChild& c, const VxmxRun& r);
// Kills a started agent that is still running and reaps it (for tests that end early).
void kill_vxmx(VxmxChild& c);
// Kills and reaps the agent when the test leaves its scope, whatever assertion failed.
struct VxmxReaper {
    VxmxChild& c;
    ~VxmxReaper() { kill_vxmx(c); }
};
// A new empty directory for one test's files.
std::string make_test_dir(const std::string& name);
void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);

// An agent started on a script (written to NAME's own directory as server.qv, its replies going
// to out.txt there), killed if a failed assertion leaves it running.
struct VxmxAgent {
    VxmxRun run;
    VxmxChild child;
    VxmxAgent(const std::string& name, const std::string& script,
              const std::string& program = "vxmx");
    ~VxmxAgent();
    VxmxAgent(const VxmxAgent&) = delete;
    VxmxAgent& operator=(const VxmxAgent&) = delete;
    // Waits at most ms for its end and collects its output.
    VxmxResult finish(int ms);
    // Ends it at once with SIGKILL.
    void kill_now();
};

// The integer after the line number of a reply such as "<Result> 1 7</Result>\n", or -1.
int reply_int(const std::string& reply);

// The QV call opening a listener on the loopback port whose peers get a new environment below
// env ("Env0", "Env1", a name the script defined) and are admitted from 127.0.0.1 only.
std::string loopback_listener(const char* env, int port);
// True when path names something (lstat: a dangling link counts).
bool path_exists(const std::string& path);
// Ends the agent through the privileged listener on admin_port with "(Exit)" and collects it.
VxmxResult exit_through(int admin_port, VxmxChild& child, const VxmxRun& run);

// The descriptors and threads of a running process (from /proc), -1 when it cannot be read.
int count_fds(int pid);
int count_threads(int pid);
// Its resident memory in MiB, -1 when it cannot be read.
int rss_mb(int pid);

// An agent shared by peers: a listener on `port` for peers below Env0 and a privileged one on
// `admin` that ends it; killed if a failed assertion leaves it running.
struct SharedAgent {
    std::string dir;
    int port = -1, admin = -1;
    VxmxRun run;
    VxmxChild child;
    // Script lines ("^(...)\n" each) run after both listeners are open, made from the agent's
    // directory and ports.
    using Lines = std::function<std::string(const SharedAgent&)>;
    // nofile_limit: the agent's descriptor limit when positive; mem_limit_mb: its memory bound.
    explicit SharedAgent(const std::string& name, int nofile_limit = 0, const Lines& lines = {},
                         int mem_limit_mb = 0, const std::vector<std::string>& env = {});
    ~SharedAgent();
    SharedAgent(const SharedAgent&) = delete;
    SharedAgent& operator=(const SharedAgent&) = delete;
    // A new client on either port gets 3 for (+ 1 2).
    void expect_served();
    // Whether a new client on either port gets 3 for (+ 1 2), each answer within ms; a client
    // that the agent turns away ("Busy") is a false, not a test failure.
    bool served(int ms = 5000) const;
    // Waits up to ms for the descriptors and threads to come back within slack of the marks;
    // a test failure naming both counts when they do not. Process-wide figures: the agent's own
    // tasks move them (pooled threads, ticks), so the marks are taken once a first round has
    // run, or ANY_THREADS leaves the threads to interpreters_gone.
    bool settles(int fds, int threads, int slack, int ms);
    static constexpr int ANY_THREADS = 1 << 20;
    // The id the agent gives its next interpreter, asked through the privileged port (the asking
    // connection's own interpreter is the one before it).
    int next_iid();
    // Waits up to ms until no interpreter with an id in [from, to) is left in the agent: what the
    // test made in between (its peers' interpreters, their threads, the tasks they started as
    // internal interpreters) has ended. A test failure names those left.
    bool interpreters_gone(int from, int to, int ms);
    // Ends it through the privileged port and expects status 0.
    void end();
};
