// The option scanner: an option string and an argument vector from the
// input, scanned to the end twice.
//
// Invariants: every result is -1, '?', ':' (only with a leading ':' in the
// option string) or a letter of the option string; a letter that takes an
// argument comes with optarg inside one of the arguments, others with none;
// optind stays within 1..argc; the scan ends within one call per character;
// a restarted scan (optind = 1, optreset = 1) repeats the first exactly, so
// no state leaks from one scan into the next.
#include "fuzz.h"

#include "windows/getopt.h"

namespace w = util::windows;

namespace {

struct Step {
    int result;
    int optind;
    const char* optarg;
};

std::vector<Step> Scan(int argc, char* const* argv, const char* ostr, int opterr) {
    w::optind = 1;
    w::optreset = 1;
    w::opterr = opterr;
    size_t budget = 2;
    for (int i = 0; i < argc; ++i)
        budget += std::strlen(argv[i]) + 1;
    std::vector<Step> steps;
    for (;;) {
        int c = w::getopt(argc, argv, ostr);
        steps.push_back({c, w::optind, w::optarg});
        FUZZ_CHECK(w::optind >= 1 && w::optind <= argc);
        if (c == -1)
            break;
        FUZZ_CHECK(steps.size() <= budget); // each call uses up at least one character
        if (c == '?')
            continue;
        if (c == ':') {
            FUZZ_CHECK(ostr[0] == ':');
            continue;
        }
        const char* spec = c > 0 && c < 256 ? std::strchr(ostr, c) : nullptr;
        FUZZ_CHECK(spec != nullptr && c != ':');
        if (spec[1] == ':') {
            bool inside = false;
            for (int i = 1; i < argc && !inside; ++i)
                inside = w::optarg >= argv[i] && w::optarg <= argv[i] + std::strlen(argv[i]);
            FUZZ_CHECK(inside);
        } else {
            FUZZ_CHECK(w::optarg == nullptr);
        }
    }
    return steps;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    int opterr = in.byte() & 1;
    std::string ostr = in.text();
    std::vector<std::string> args{"/usr/bin/fuzzed"};
    while (in.left() && args.size() < 64)
        args.push_back(in.text());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());

    // Messages about bad options go nowhere; sanitizer reports are written
    // to the descriptor, not through this stream, and still appear.
    static FILE* devnull = std::fopen("/dev/null", "w");
    FILE* saved = stderr;
    if (devnull)
        stderr = devnull;
    std::vector<Step> first = Scan(argc, argv.data(), ostr.c_str(), opterr);
    std::vector<Step> again = Scan(argc, argv.data(), ostr.c_str(), opterr);
    stderr = saved;

    FUZZ_CHECK(first.size() == again.size());
    // optarg means something only after a letter that takes an argument.
    for (size_t i = 0; i < first.size(); ++i) {
        FUZZ_CHECK(first[i].result == again[i].result && first[i].optind == again[i].optind);
        const char* spec = first[i].result > 0 && first[i].result < 256 && first[i].result != ':' &&
                                   first[i].result != '?'
                               ? std::strchr(ostr.c_str(), first[i].result)
                               : nullptr;
        if (spec && spec[1] == ':')
            FUZZ_CHECK(first[i].optarg == again[i].optarg);
    }
    return 0;
}
