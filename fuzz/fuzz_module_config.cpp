// The server stand-in's module list reader: the input is a module list file.
//
// Invariants: a refused file leaves the caller's list untouched and names
// the file and a line that exists; an accepted file gives directives with
// one-word names (and paths for LoadModule only), on increasing lines that
// start with the directive's word; writing the directives out again and
// reading that back gives the same list.
#include "fuzz.h"

#include "zephra/config.hpp"

#include <sstream>
#include <strings.h>

namespace {

bool OneWord(const std::string& s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\0')
            return false;
    return true;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = Lines(text);

    std::vector<zephra::ModuleDirective> out{{zephra::ModuleDirective::Kind::Load, "kept", "p", 7}};
    std::string error;
    std::istringstream in(text);
    if (!zephra::parse_module_config(in, "list.conf", out, error)) {
        FUZZ_CHECK(out.size() == 1 && out[0].name == "kept" && out[0].line == 7);
        FUZZ_CHECK(error.rfind("list.conf:", 0) == 0);
        size_t colon = error.find(':', 10);
        FUZZ_CHECK(colon != std::string::npos && error.compare(colon, 2, ": ") == 0);
        long line = std::strtol(error.c_str() + 10, nullptr, 10);
        FUZZ_CHECK(line >= 1 && static_cast<size_t>(line) <= lines.size());
        return 0;
    }

    std::string written;
    int last = 0;
    for (const auto& d : out) {
        FUZZ_CHECK(OneWord(d.name));
        FUZZ_CHECK(d.line > last && static_cast<size_t>(d.line) <= lines.size());
        last = d.line;
        std::istringstream words(lines[d.line - 1]);
        std::string first;
        words >> first;
        bool load = d.kind == zephra::ModuleDirective::Kind::Load;
        FUZZ_CHECK(strcasecmp(first.c_str(), load ? "LoadModule" : "Module") == 0);
        FUZZ_CHECK(load ? OneWord(d.path) : d.path.empty());
        written += load ? "LoadModule " + d.name + " " + d.path + "\n" : "Module " + d.name + "\n";
    }

    std::vector<zephra::ModuleDirective> again;
    std::istringstream back(written);
    FUZZ_CHECK(zephra::parse_module_config(back, "again.conf", again, error));
    FUZZ_CHECK(again.size() == out.size());
    for (size_t i = 0; i < out.size(); ++i)
        FUZZ_CHECK(again[i].kind == out[i].kind && again[i].name == out[i].name &&
                   again[i].path == out[i].path && again[i].line == static_cast<int>(i) + 1);
    return 0;
}
