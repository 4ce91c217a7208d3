// The host's module list file: one directive a line.
//   Module NAME             a built-in module
//   LoadModule NAME PATH    a module loaded from a shared object
// Blank lines and lines starting with "#" are ignored; directive names are
// matched without regard to case.
#ifndef ZEPHRA_CONFIG_HPP
#define ZEPHRA_CONFIG_HPP

#include <istream>
#include <string>
#include <vector>

namespace zephra {

struct ModuleDirective {
    enum class Kind { Builtin, Load };
    Kind kind;
    std::string name;
    std::string path; // Load only
    int line;         // 1-based line of the directive
};

// Reads every directive from in. On a bad line returns false and sets error
// to "<file_name>:<line>: <what is wrong>"; nothing is kept then.
bool parse_module_config(std::istream& in, const std::string& file_name,
                         std::vector<ModuleDirective>& out, std::string& error);

// Opens and reads the file at path; a file that cannot be opened is an error
// too ("<path>: cannot open: <reason>").
bool read_module_config(const std::string& path, std::vector<ModuleDirective>& out,
                        std::string& error);

} // namespace zephra

#endif
