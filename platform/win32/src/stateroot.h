#pragma once
// Where the layer keeps its persistent state (registry store, service
// database, service status, logs): the directory named by WIN32POSIX_ROOT,
// else a per-user default ($XDG_STATE_HOME/win32posix or
// ~/.local/state/win32posix). Created (mode 0700) on first use.
#include <string>

namespace w32p {

// The state root without a trailing slash, always an absolute path (a
// relative WIN32POSIX_ROOT is taken from the current directory at first
// use); empty when it cannot be created (the caller then fails with a
// Windows error).
const std::string& StateRoot();

// Creates a directory and its missing parents (mode 0700); true when the
// directory exists afterwards.
bool MakeDirs(const std::string& path);

// Re-reads WIN32POSIX_ROOT (tests switch roots inside one process).
void ResetStateRootForTests();

} // namespace w32p
