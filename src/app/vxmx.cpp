// The agent's entry point.
#include "app/startup.h"
#include "geo/app_main.h"

int main(int argc, char** argv) {
    return vx_entry(argc, argv, _main);
}
