// Runs a fuzz target over files (or every file in folders) once each, so the
// seed corpus and the saved reproducers of earlier findings are checked by
// every ordinary build, without libFuzzer.
#include "fuzz.h"

#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool RunFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot read\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int files = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            std::fprintf(stderr, "%s: no such file or folder\n", argv[i]);
            ok = false;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            ok &= RunFile(argv[i]);
            ++files;
            continue;
        }
        DIR* d = opendir(argv[i]);
        while (dirent* e = d ? readdir(d) : nullptr) {
            if (e->d_name[0] == '.')
                continue;
            ok &= RunFile(std::string(argv[i]) + "/" + e->d_name);
            ++files;
        }
        if (d)
            closedir(d);
    }
    std::printf("%d inputs run\n", files);
    return ok && files > 0 ? 0 : 1;
}
