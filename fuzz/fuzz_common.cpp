// Scratch folders of the fuzz targets.
#include "fuzz.h"

#include <ftw.h>
#include <unistd.h>

namespace fuzz {
namespace {

std::vector<std::string>& Scratch() {
    static auto* dirs = new std::vector<std::string>;
    return *dirs;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

void RemoveScratch() {
    for (const auto& dir : Scratch())
        nftw(dir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

} // namespace

std::string ScratchDir(const char* tag) {
    const char* base = std::getenv("FUZZ_SCRATCH");
    if (!base || !*base)
        base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fuzz-" + tag + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    if (Scratch().empty())
        std::atexit(RemoveScratch);
    Scratch().push_back(buf.data());
    return buf.data();
}

} // namespace fuzz
