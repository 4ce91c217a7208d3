// The suite's entry point. On Windows nothing calls a static library's
// entry point, so main does, as the loader would for the DLL.
#include "runtime.h"
#include "suite.h"

#include <cstdio>

int main(int argc, char** argv) {
#ifdef _WIN32
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    std::printf("servane suite on %s\n", suite::SideName());
    return RUN_ALL_TESTS();
}
