// The agent's entry point.
#include <cstdio>

#include "base/entry.h"

// The application's main function: until the interpreter layers exist it only checks the
// command line.
static int _main(int argc, char** argv) {
    (void)argv;
    if (argc < 2) {
        fprintf(stderr, "too few arguments\n");
        return 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    return vx_entry(argc, argv, _main);
}
