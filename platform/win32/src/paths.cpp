#include "paths.h"

#include "stateroot.h"

#include <cctype>
#include <vector>

namespace w32p {

std::string MapWindowsPath(const std::string& path) {
    bool drive = path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                 path[1] == ':' && (path.size() == 2 || path[2] == '\\' || path[2] == '/');
    if (!drive)
        return path;
    // "." and ".." are resolved first; as on Windows, ".." stops at the drive
    // root, so no drive path reaches outside its drive folder.
    std::vector<std::string> parts;
    size_t at = 2;
    while (at < path.size()) {
        size_t end = path.find_first_of("\\/", at);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(at, end - at);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        at = end + 1;
    }
    std::string out = StateRoot() + "/drives/";
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    for (const std::string& part : parts)
        out += "/" + part;
    return out;
}

std::string DriveCPath(const std::string& relativeWithBackslashes) {
    std::string rel = relativeWithBackslashes;
    while (!rel.empty() && rel.front() == '\\')
        rel.erase(rel.begin());
    return "C:\\" + rel;
}

} // namespace w32p
