// The entry that replaces the log conditions wholesale.
#include "server/logpath.h"

#include <mutex>
#include <string>

namespace {

using LS = std::basic_string<L_CHAR>;

std::mutex log_path_mutex;
SET_LOG_PATH_FUNC service = nullptr;  // under log_path_mutex
bool pending = false;
// Never destroyed: tasks may still use it while the process exits.
LS& pending_path = *new LS;
int64_t pending_size = 0;
int64_t pending_files = 0;

}  // namespace

void install_set_log_path(SET_LOG_PATH_FUNC func) {
    LS path;
    int64_t size = 0, files = 0;
    bool apply = false;
    {
        std::lock_guard<std::mutex> g(log_path_mutex);
        service = func;
        if (func && pending) {
            apply = true;
            path = pending_path;
            size = pending_size;
            files = pending_files;
            pending = false;
        }
    }
    if (apply) func(path.c_str(), size, files);
}

int set_log_path(const L_CHAR* path, int64_t size, int64_t files) {
    SET_LOG_PATH_FUNC f;
    {
        std::lock_guard<std::mutex> g(log_path_mutex);
        f = service;
        if (!f) {
            pending = true;
            pending_path = path ? LS(path) : LS();
            pending_size = size;
            pending_files = files;
            return 0;
        }
    }
    return f(path, size, files);
}
