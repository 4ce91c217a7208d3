// Reading the host's module list file.
#include "zephra/config.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <strings.h>

namespace zephra {

namespace {

std::vector<std::string> split_words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

bool same_word(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

} // namespace

bool parse_module_config(std::istream& in, const std::string& file_name,
                         std::vector<ModuleDirective>& out, std::string& error) {
    std::vector<ModuleDirective> found;
    std::string line;
    int number = 0;
    auto fail = [&](const std::string& what) {
        error = file_name + ":" + std::to_string(number) + ": " + what;
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find('\0') != std::string::npos)
            return fail("NUL character in line");
        std::vector<std::string> words = split_words(line);
        if (words.empty() || words[0][0] == '#')
            continue;
        const std::string& directive = words[0];
        if (same_word(directive, "Module")) {
            if (words.size() != 2)
                return fail("Module takes one argument, a module name");
            found.push_back({ModuleDirective::Kind::Builtin, words[1], {}, number});
        } else if (same_word(directive, "LoadModule")) {
            if (words.size() != 3)
                return fail("LoadModule takes two arguments, a module name and a path");
            found.push_back({ModuleDirective::Kind::Load, words[1], words[2], number});
        } else {
            return fail("unknown directive \"" + directive + "\"");
        }
    }
    if (in.bad())
        return fail("read error");
    out = std::move(found);
    return true;
}

bool read_module_config(const std::string& path, std::vector<ModuleDirective>& out,
                        std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    return parse_module_config(in, path, out, error);
}

} // namespace zephra
