// The agent with an exit that takes its time: a static object of this file is made before any of
// the agent's own and so destroyed after all of them, and it lets a second and a half
// pass first, time for the agent's ticks to run too. Tasks
// that still run at the exit then meet whatever the exit has destroyed, as they would now and
// then on a loaded machine.
#include <time.h>

#include "app/startup.h"
#include "geo/app_main.h"

namespace {

struct SlowExit {
    ~SlowExit() {
        timespec left = {1, 500 * 1000 * 1000};
        while (nanosleep(&left, &left) != 0) {
        }
    }
} slow_exit;

}  // namespace

int main(int argc, char** argv) {
    return vx_entry(argc, argv, _main);
}
