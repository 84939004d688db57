// The real agent run over one scratch directory: the script written there as s.qv and run as
// `vxmx s.qv out.txt` in that directory, bounded in time.
#pragma once

#include <unistd.h>

#include <string>

#include "geo/geo_util.h"
#include "support/child.h"

namespace geotest {

struct AgentRun {
    int status = -1;      // exit status; -2 when killed for the time limit
    std::string out;      // the replies file
    std::string console;  // standard output
    std::string errors;   // standard error
};

// The child's own result: its standard output and error as they came.
inline ChildResult agent_child(const std::string& dir, const std::string& script,
                               int timeout_ms = 60000) {
    write_file(dir + "/s.qv", script);
    std::string prog = std::string(VX_BINARY_DIR) + "/vxmx";
    // Everything the child needs is made before the fork: it only changes directory and execs.
    return run_in_child(
        [&] {
            char* argv[] = {const_cast<char*>(prog.c_str()), const_cast<char*>("s.qv"),
                            const_cast<char*>("out.txt"), nullptr};
            if (chdir(dir.c_str()) == 0) execv(prog.c_str(), argv);
            _exit(127);
        },
        timeout_ms);
}

inline AgentRun agent(const std::string& dir, const std::string& script, int timeout_ms = 60000) {
    ChildResult r = agent_child(dir, script, timeout_ms);
    AgentRun run;
    run.status = r.timed_out ? -2 : r.exit_status;
    run.out = read_file(dir + "/out.txt");
    run.console = r.out;
    run.errors = r.err;
    return run;
}

}  // namespace geotest
