// Writes the inputs of the geo walk-through (examples/geo/scenario.qv) for an N x N matrix:
// DTED level-1 tiles under DIR/dted, the picture DIR/picture.ppm, the index-coded UTM source
// picture DIR/utm.ppm and the places DIR/places.csv.
//   geo_inputs N DIR
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/geo_inputs.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: geo_inputs N DIR\n");
        return 2;
    }
    char* end = nullptr;
    long n = strtol(argv[1], &end, 10);
    if (*end || n < 256 || n > 65536 || n % 256) {
        fprintf(stderr, "geo_inputs: N must be a multiple of 256 from 256 to 65536\n");
        return 2;
    }
    std::string dir = argv[2];
    mkdir(dir.c_str(), 0755);
    std::string failed = geoinputs::write_inputs(dir, static_cast<int>(n));
    if (!failed.empty()) {
        fprintf(stderr, "geo_inputs: cannot write %s\n", failed.c_str());
        return 1;
    }
    return 0;
}
