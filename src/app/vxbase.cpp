// The agent without the geo-matrix built-ins: the general built-ins alone, the general Get
// among them.
#include "app/startup.h"
#include "geo/app_main.h"

int main(int argc, char** argv) {
    return vx_entry(argc, argv, _main_general);
}
