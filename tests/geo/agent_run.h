// The real agent run over one scratch directory: the script written there as s.qv and run as
// `vxmx s.qv out.txt` in that directory, bounded in time.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include "geo/geo_util.h"
#include "support/child.h"

namespace geotest {

struct AgentRun {
    int status = -1;      // exit status; -2 when killed for the time limit
    std::string out;      // the replies file
    std::string console;  // standard output
    std::string errors;   // standard error
};

// The child's own result: its standard output and error as they came. env: settings
// ("NAME=value") added to the environment the agent inherits.
inline ChildResult agent_child(const std::string& dir, const std::string& script,
                               int timeout_ms = 60000, const std::vector<std::string>& env = {}) {
    write_file(dir + "/s.qv", script);
    std::string prog = std::string(VX_BINARY_DIR) + "/vxmx";
    // Everything the child needs is made before the fork: it only changes directory and execs.
    // The settings given come first: a name looked up finds them before an inherited one.
    std::vector<char*> envp;
    for (const std::string& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    for (char** e = environ; *e; e++)
        envp.push_back(*e);
    envp.push_back(nullptr);
    return run_in_child(
        [&] {
            char* argv[] = {const_cast<char*>(prog.c_str()), const_cast<char*>("s.qv"),
                            const_cast<char*>("out.txt"), nullptr};
            if (chdir(dir.c_str()) == 0) execve(prog.c_str(), argv, envp.data());
            _exit(127);
        },
        timeout_ms);
}

inline AgentRun agent(const std::string& dir, const std::string& script, int timeout_ms = 60000,
                      const std::vector<std::string>& env = {}) {
    ChildResult r = agent_child(dir, script, timeout_ms, env);
    AgentRun run;
    run.status = r.timed_out ? -2 : r.exit_status;
    run.out = read_file(dir + "/out.txt");
    run.console = r.out;
    run.errors = r.err;
    return run;
}

// A script line opening the listener l on the loopback port for local clients, then waiting on it.
inline std::string listener_script(int port) {
    return "^(define l (OpenInterpreter \"accept\" (CurrentEnvironment) (Port " +
           std::to_string(port) +
           ") (Permission (quote (\"local\")) (Allow \"ip\" \"127.0.0.1\" "
           "\"255.255.255.255\"))))\n^(WaitInterpreter l)\n";
}

// Creates or opens, as m, the w x h matrix file at path: one int32 channel in blocks of 16 x 16
// with a load and a save slot, live and stored for the direct mode that a reader's opening
// installs.
inline std::string slot_matrix(const std::string& path, int w, int h) {
    std::string b = "^(define m ([gmxCreate filename=\"" + path +
                    "\"] ([gmxMatrixParam channel_nos=\"1\" dim=\"2\"])";
    for (int d = 0; d < 2; d++)
        b += " ([gmxMatrixDimDivide dim=\"" + std::to_string(d) +
             "\" value=\"1\"]) ([gmxMatrixBlockSize dim=\"" + std::to_string(d) +
             "\" value=\"4\"]) ([gmxMatrixPixelSize dim=\"" + std::to_string(d) + "\" value=\"" +
             std::to_string(d ? h : w) + "\"])";
    b += " ([gmxChannelInfo channel=\"0\" type=\"int32_v\" file=\"on\"] 7)";
    for (std::string mode : {"", " mode=\"direct\""}) {
        b += " ([gmxPhase" + mode +
             " area=\"3\"] ([mxFinish normal-jump-status=\"MS_OK\" err-jump=\"MI_FETCH_2\"]) "
             "(mxLoad)) ([gmxPhase" +
             mode + " area=\"6\"] ([mxFinish normal-jump-status=\"MS_OK\"])) ([gmxPhase" + mode +
             " area=\"21\"] (mxSave))";
        for (int a : {4, 5, 7, 8, 22, 23}) {
            int of = a < 6 ? 3 : a < 21 ? 6 : 21;
            b += " ([gmxPhase" + mode + " area=\"" + std::to_string(a) + "\" type=\"equ\" equ=\"" +
                 std::to_string(of) + "\"])";
        }
    }
    return b + "))\n";
}

}  // namespace geotest
