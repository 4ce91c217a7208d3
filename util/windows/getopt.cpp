// The preconditions are programming errors and stay checked in every build.
#undef NDEBUG
#include <cassert>

#include "getopt.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace util::windows {

int optind = 1;
int opterr = 1;
int optopt = 0;
int optreset = 0;
char* optarg = nullptr;

namespace {

char emptyText[] = "";

// Where the scan stands inside the current argument; at its NUL when the
// next call must look at a new argument.
char* place = emptyText;

// The program name used in messages, taken once from argument 0.
bool haveName = false;

std::string& programName() {
    static std::string name;
    return name;
}

void takeName(const char* arg0) {
    const char* slash = std::strrchr(arg0, '/');
    programName() = slash != nullptr ? slash + 1 : arg0;
    haveName = true;
}

} // namespace

int getopt(int nargc, char* const nargv[], const char* ostr) {
    // Written out so that a failed check prints these exact expressions.
    // clang-format off
    assert(nargv != ((void *)0));
    assert(ostr != ((void *)0));
    const char* nargv0 = nargv[0];
    assert(nargv0 != ((void *)0));
    // clang-format on

    if (!haveName)
        takeName(nargv0);

    if (optreset || *place == '\0') {
        optreset = 0;
        // A negative index or a null entry before nargc cannot be scanned:
        // treat both as the end of the options rather than read past argv.
        if (optind < 0 || optind >= nargc || nargv[optind] == nullptr ||
            *(place = nargv[optind]) != '-') {
            place = emptyText;
            return -1;
        }
        if (place[1] != '\0' && *++place == '-' && place[1] == '\0') {
            // "--": end of the options, consumed.
            ++optind;
            place = emptyText;
            return -1;
        }
    }

    // Taken as unsigned so that a byte such as 0xFF can never be mistaken for
    // the end result -1.
    optopt = static_cast<unsigned char>(*place++);
    const char* oli = nullptr;
    if (optopt != ':' && optopt != '\0')
        oli = std::strchr(ostr, optopt);

    if (oli == nullptr) {
        if (optopt == '-')
            return -1; // a lone "-" ends the options and stays unconsumed
        if (*place == '\0')
            ++optind;
        if (opterr && *ostr != ':')
            std::fprintf(stderr, "%s: illegal option -- %c\n", programName().c_str(), optopt);
        return '?';
    }

    if (oli[1] != ':') {
        optarg = nullptr;
        if (*place == '\0')
            ++optind;
        return optopt;
    }

    if (*place != '\0') {
        optarg = place; // attached: -pVALUE
    } else if (++optind >= nargc) {
        place = emptyText;
        if (*ostr == ':')
            return ':';
        if (opterr)
            std::fprintf(stderr, "%s: option requires an argument -- %c\n", programName().c_str(),
                         optopt);
        return '?';
    } else {
        optarg = nargv[optind]; // the next argument, whatever it looks like
    }
    place = emptyText;
    ++optind;
    return optopt;
}

} // namespace util::windows
