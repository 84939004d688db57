// Running the other tools the interop tests compare with.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <string>

namespace vxtest {

// Runs a shell command under a time limit; its exit status.
inline int run(const std::string& cmd) {
    int st = std::system(("timeout 120 sh -c '" + cmd + "'").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

inline bool installed(const char* tool) {
    return run(std::string("command -v ") + tool + " >/dev/null") == 0;
}

}  // namespace vxtest
