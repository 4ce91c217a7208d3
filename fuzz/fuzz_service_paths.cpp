// A service's command line and the layer's file names: the input is split
// at NUL bytes into a command line, a Windows path and a service name.
//
// Invariants: SplitCommandLine gives back the arguments of a command line
// built from its own result by the C runtime's quoting rules; a drive path
// maps inside its drive's folder and never climbs out of it, other paths
// are kept as given; a service's log file
// is a file directly inside the logs folder, distinct for distinct
// names; the run-time file base ignores case.
#include "fuzz.h"

#include "paths.h"
#include "stateroot.h"
#include "svc/scm.h"

namespace {

std::string gRoot;

void CheckCommandLine(const std::string& line) {
    std::vector<std::string> args = w32p::scm::SplitCommandLine(line);
    std::string rebuilt;
    for (const auto& a : args)
        rebuilt += (rebuilt.empty() ? "" : " ") + w32p::scm::QuoteCommandLineArgument(a);
    FUZZ_CHECK(w32p::scm::SplitCommandLine(rebuilt) == args);
}

bool IsDrivePath(const std::string& p) {
    return p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' &&
           (p.size() == 2 || p[2] == '\\' || p[2] == '/');
}

void CheckPath(const std::string& path) {
    std::string mapped = w32p::MapWindowsPath(path);
    if (!IsDrivePath(path)) {
        FUZZ_CHECK(mapped == path);
        return;
    }
    const std::string drive =
        gRoot + "/drives/" + static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    FUZZ_CHECK(mapped.compare(0, drive.size(), drive) == 0);
    FUZZ_CHECK(mapped.size() == drive.size() || mapped[drive.size()] == '/');
    // Walked name by name, ".." never leaves the drive's folder.
    int depth = 0;
    for (size_t at = drive.size(); at < mapped.size();) {
        size_t next = mapped.find('/', at + 1);
        std::string name = mapped.substr(at + 1, next == std::string::npos ? next : next - at - 1);
        if (name == "..")
            --depth;
        else if (!name.empty() && name != ".")
            ++depth;
        FUZZ_CHECK(depth >= 0);
        at = next == std::string::npos ? mapped.size() : next;
    }
}

void CheckNames(const std::string& name) {
    std::string log = w32p::scm::LogPath(name);
    const std::string dir = gRoot + "/logs/";
    FUZZ_CHECK(log.compare(0, dir.size(), dir) == 0);
    std::string file = log.substr(dir.size());
    FUZZ_CHECK(file.size() > 4 && file.compare(file.size() - 4, 4, ".log") == 0);
    FUZZ_CHECK(file.find('/') == std::string::npos);
    for (size_t i = 0; i < name.size(); ++i) {
        std::string other = name;
        other[i] = static_cast<char>(other[i] ^ 0x20);
        FUZZ_CHECK(w32p::scm::LogPath(other) != log);
        if (i == 2)
            break; // a few single changes are enough per input
    }
    FUZZ_CHECK(w32p::scm::LogPath(name + "x") != log);

    std::string upper = name;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    FUZZ_CHECK(w32p::scm::ServiceFileBase(upper) == w32p::scm::ServiceFileBase(name));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gRoot = fuzz::ScratchDir("paths");
    setenv("WIN32POSIX_ROOT", gRoot.c_str(), 1);
    w32p::ResetStateRootForTests();
    FUZZ_CHECK(w32p::StateRoot() == gRoot);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    CheckCommandLine(in.text());
    CheckPath(in.text());
    CheckNames(in.text());
    return 0;
}
