// The file-root helper: serves one file owner's requests on the two pipes it is given.
#include "base/qvufr_server.h"

int main(int argc, char** argv) {
    return qvufr_main(argc, argv);
}
