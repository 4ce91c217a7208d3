#pragma once
// Mapping of Windows file paths onto this machine's file system.
//
// A drive-letter path ("C:\Users\x\NTUser.dat" or "c:/Users/x") maps to
// <state root>/drives/<lower-case letter>/<rest with '/' separators>, so
// "C:\Users\x" is <root>/drives/c/Users/x. Any other path (a POSIX path
// such as "/tmp/hive.dat", or a relative path) is used as it is.
#include <string>

namespace w32p {

std::string MapWindowsPath(const std::string& path);

// The Windows form of a folder under the state root's drive C, for values
// the layer writes itself (for example a profile folder): the inverse of
// MapWindowsPath for paths inside <root>/drives/c.
std::string DriveCPath(const std::string& relativeWithBackslashes);

} // namespace w32p
