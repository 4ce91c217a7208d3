// The supervisor of one service run; started by StartServiceA only.
#include "../src/svc/scm.h"

int main(int argc, char** argv) {
    return w32p::scm::RunSupervisor(argc, argv);
}
