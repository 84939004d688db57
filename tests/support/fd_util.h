// Descriptors a test made: those open now that were not open at its mark. The runtime's own
// tasks open and close descriptors meanwhile (the close task, the resolver), so a test compares
// sets, not the process's count, and waits for a settled state.
#pragma once

#include <fcntl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/sync_util.h"

// The descriptors open now (below 4096).
inline std::vector<int> open_fd_list() {
    std::vector<int> open;
    for (int fd = 0; fd < 4096; fd++)
        if (fcntl(fd, F_GETFD) >= 0) open.push_back(fd);
    return open;
}

// The descriptors open now that were not in `mark`, as text (" 7 9"; empty for none).
inline std::string fds_beyond(const std::vector<int>& mark) {
    std::string left;
    for (int fd : open_fd_list())
        if (std::find(mark.begin(), mark.end(), fd) == mark.end()) left += " " + std::to_string(fd);
    return left;
}

// How many descriptors beyond `mark` are open now.
inline int count_fds_beyond(const std::vector<int>& mark) {
    int n = 0;
    for (int fd : open_fd_list())
        n += std::find(mark.begin(), mark.end(), fd) == mark.end();
    return n;
}

// Waits up to ms until exactly n descriptors beyond `mark` are open; true when they are.
inline bool fds_beyond_settle(const std::vector<int>& mark, int n, int ms = 10000) {
    return wait_until([&] { return count_fds_beyond(mark) == n; }, ms);
}
