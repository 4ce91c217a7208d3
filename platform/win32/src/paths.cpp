#include "paths.h"

#include "stateroot.h"

#include <cctype>

namespace w32p {

std::string MapWindowsPath(const std::string& path) {
    bool drive = path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                 path[1] == ':' && (path.size() == 2 || path[2] == '\\' || path[2] == '/');
    if (!drive)
        return path;
    std::string out = StateRoot() + "/drives/";
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    for (size_t i = 2; i < path.size(); ++i) {
        char c = path[i] == '\\' ? '/' : path[i];
        if (c == '/' && !out.empty() && out.back() == '/')
            continue; // collapse repeated separators
        out += c;
    }
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

std::string DriveCPath(const std::string& relativeWithBackslashes) {
    std::string rel = relativeWithBackslashes;
    while (!rel.empty() && rel.front() == '\\')
        rel.erase(rel.begin());
    return "C:\\" + rel;
}

} // namespace w32p
